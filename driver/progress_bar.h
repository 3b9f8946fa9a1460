// A progress line for the console tool on standard error: bytes done of the total, percent,
// rate, time left and the file in hand, redrawn in place at most ten times a second. Drawn only
// when standard error is a terminal, so nothing of it reaches a pipe, a file or standard output.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "cabmanager/CabManager.h"

namespace cab {

bool IsTerminal(FILE *stream);

class ProgressBar {
public:
    // Draws on `out` when `out` is a terminal and `wanted` is true.
    ProgressBar(FILE *out, bool wanted);
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;
    ~ProgressBar() { EndLine(); }

    bool active() const { return active_; }
    // Redraws, unless the last frame is younger than a tenth of a second and `force` is false.
    void Update(const CABPROGRESSINFO &info, bool force);
    // Ends a drawn line, so that other output starts on a line of its own.
    void EndLine();

private:
    FILE *out_;
    bool active_ = false;
    bool line_open_ = false;
    bool started_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace cab
