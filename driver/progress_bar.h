// A progress bar for the console tool: files done of total and percent, redrawn in place on
// standard error. Installed only when standard error is a terminal, so nothing of it reaches a
// pipe, a file or standard output.
#pragma once

#include <cstdio>

class CCabManager;

namespace cab {

class ProgressBar {
public:
    // Draws on `out`, reading the counts of `manager`; both must outlive the bar.
    ProgressBar(CCabManager *manager, FILE *out) : manager_(manager), out_(out) {}
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;
    // Ends a line left open by an interrupted run.
    ~ProgressBar();

    // Installs the bar as the manager's progress callback when `out` is a terminal.
    void InstallIfTerminal();

    // The text of one frame, without the leading carriage return.
    static void Format(char *buffer, size_t size, int done, int total, int percent);

private:
    static void OnProgress(void *context, int event, int value);
    void Draw(int percent);
    void Finish();

    CCabManager *manager_;
    FILE *out_;
    bool line_open_ = false;
};

}  // namespace cab
