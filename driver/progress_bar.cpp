#include "driver/progress_bar.h"

#include <algorithm>

#include "cabmanager/CabManager.h"
#include "platform/crt.h"

namespace cab {
namespace {
constexpr int kBarWidth = 30;
}  // namespace

ProgressBar::~ProgressBar() {
    Finish();
}

void ProgressBar::InstallIfTerminal() {
    int fd = _fileno(out_);
    if (fd >= 0 && _isatty(fd))
        manager_->SetProgressCallback(&ProgressBar::OnProgress, this);
}

void ProgressBar::Format(char *buffer, size_t size, int done, int total, int percent) {
    percent = std::clamp(percent, 0, 100);
    char bar[kBarWidth + 1];
    int filled = percent * kBarWidth / 100;
    for (int i = 0; i < kBarWidth; ++i)
        bar[i] = i < filled ? '#' : '.';
    bar[kBarWidth] = '\0';
    snprintf(buffer, size, "[%s] %d/%d files %3d%%", bar, done, total, percent);
}

void ProgressBar::OnProgress(void *context, int event, int value) {
    auto *self = static_cast<ProgressBar *>(context);
    switch (event) {
        case CABPROGRESS_FILE_STORED:
        case CABPROGRESS_FILE_EXTRACTED:
            self->Draw(value);
            break;
        default:
            self->Finish();
            break;
    }
}

void ProgressBar::Draw(int percent) {
    char line[96];
    Format(line, sizeof(line), manager_->GetDoneFiles(), manager_->GetTotalFiles(), percent);
    // \033[K clears what a longer earlier frame left behind.
    fprintf(out_, "\r%s\033[K", line);
    fflush(out_);
    line_open_ = true;
}

void ProgressBar::Finish() {
    if (line_open_) {
        fputc('\n', out_);
        fflush(out_);
        line_open_ = false;
    }
}

}  // namespace cab
