// Stopping the manager's helper threads.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace cab {

// Tells a worker to quit and waits for it. The flag is set under the worker's mutex so that a
// worker between testing it and sleeping cannot miss the wake-up.
template <class Flag>
void StopWorker(std::thread &worker, std::mutex &mu, Flag &quit, std::condition_variable &wake) {
    if (!worker.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mu);
        quit = true;
    }
    wake.notify_one();
    worker.join();
}

}  // namespace cab
