#include "driver/progress_bar.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/crt.h"

namespace cab {
namespace {

// The widest frame stays within 79 columns.
constexpr size_t kNameWidth = 20;
constexpr auto kFrameInterval = std::chrono::milliseconds(100);

std::string Bytes(double bytes) {
    const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof(text), unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string Duration(double seconds) {
    long total = static_cast<long>(std::min(seconds, 359999.0));
    char text[32];
    if (total >= 3600)
        snprintf(text, sizeof(text), "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        snprintf(text, sizeof(text), "%ld:%02ld", total / 60, total % 60);
    return text;
}

// The end of a long name, which tells the file apart better than its start.
std::string ShortName(const char *name) {
    std::string text = name != nullptr ? name : "";
    std::replace(text.begin(), text.end(), '\\', '/');
    if (text.size() > kNameWidth)
        text = "..." + text.substr(text.size() - (kNameWidth - 3));
    return text;
}

}  // namespace

bool IsTerminal(FILE *stream) {
    int fd = _fileno(stream);
    return fd >= 0 && _isatty(fd);
}

ProgressBar::ProgressBar(FILE *out, bool wanted) : out_(out), active_(wanted && IsTerminal(out)) {}

void ProgressBar::Update(const CABPROGRESSINFO &info, bool force) {
    if (!active_)
        return;
    auto now = std::chrono::steady_clock::now();
    if (!started_) {
        started_ = true;
        start_ = now;
    } else if (!force && now - last_draw_ < kFrameInterval) {
        return;
    }
    last_draw_ = now;

    uint64_t total = std::max(info.cbTotal, info.cbDone);
    int percent = total == 0 ? 100 : static_cast<int>(info.cbDone * 100 / total);
    double seconds = std::chrono::duration<double>(now - start_).count();
    double rate = seconds > 0 ? static_cast<double>(info.cbDone) / seconds : 0;
    // The rate and the time left once there is a rate to tell.
    std::string speed;
    if (rate > 0) {
        speed = "  " + Bytes(rate) + "/s  " +
                Duration(static_cast<double>(total - info.cbDone) / rate) + " left";
    }
    // \033[K clears what a longer earlier frame left behind.
    fprintf(out_, "\r%3d%%  %s of %s%s  %s\033[K", percent,
            Bytes(static_cast<double>(info.cbDone)).c_str(),
            Bytes(static_cast<double>(total)).c_str(), speed.c_str(),
            ShortName(info.pszFile).c_str());
    fflush(out_);
    line_open_ = true;
}

void ProgressBar::EndLine() {
    if (line_open_) {
        fputc('\n', out_);
        fflush(out_);
        line_open_ = false;
    }
}

}  // namespace cab
