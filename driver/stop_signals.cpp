#include "driver/stop_signals.h"

#include <atomic>

#include "cabmanager/CabManager.h"
#include "platform/signals.h"

namespace {

std::atomic<CCabManager *> g_pManager{nullptr};
std::atomic<int> g_nSignal{0};
static_assert(std::atomic<CCabManager *>::is_always_lock_free &&
              std::atomic<int>::is_always_lock_free);

void OnStopSignal(int nSignal) {
    // A second stop ends the run at once: the first cannot reach a thread blocked in a system
    // call that resumes after it, such as opening a list that is a pipe with no writer.
    if (g_nSignal.exchange(nSignal) != 0)
        cab::ExitBySignal(nSignal);
    if (CCabManager *pManager = g_pManager.load())
        pManager->SetCancel(1);
}

}  // namespace

void cab::CancelOnStopSignals(CCabManager *pManager) {
    g_pManager.store(pManager);
    if (pManager != nullptr)
        CatchStopSignals(OnStopSignal);
}

int cab::StopSignalReceived() {
    return g_nSignal.load();
}
