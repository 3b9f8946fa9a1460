// Reading a struct stat the Win32 way, for the POSIX stand-ins.
#include "platform/stat_posix.h"

#include "platform/files.h"

namespace cab {
namespace {

bool IsHiddenName(std::string_view path) {
    while (path.size() > 1 && (path.back() == '/' || path.back() == '\\'))
        path.remove_suffix(1);
    size_t slash = path.find_last_of("/\\");
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return !name.empty() && name[0] == '.' && name != "." && name != "..";
}

}  // namespace

int64_t ToInt64(const FILETIME &ft) {
    return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) |
                                ft.dwLowDateTime);
}

FILETIME FromInt64(int64_t ticks) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    return ft;
}

FILETIME FromTimespec(const struct timespec &ts) {
    return FromInt64(kUnixEpochInFileTime + static_cast<int64_t>(ts.tv_sec) * kTicksPerSecond +
                     ts.tv_nsec / 100);
}

struct timespec ToTimespec(const FILETIME &ft) {
    int64_t since_epoch = ToInt64(ft) - kUnixEpochInFileTime;
    int64_t seconds = since_epoch / kTicksPerSecond;
    int64_t rest = since_epoch % kTicksPerSecond;
    if (rest < 0) {
        rest += kTicksPerSecond;
        --seconds;
    }
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>(rest * 100);
    return ts;
}

DWORD AttributesFromStat(const struct stat &st, std::string_view path) {
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    else if (S_ISREG(st.st_mode))
        attributes |= FILE_ATTRIBUTE_ARCHIVE;
    if ((st.st_mode & S_IWUSR) == 0)
        attributes |= FILE_ATTRIBUTE_READONLY;
    if (IsHiddenName(path))
        attributes |= FILE_ATTRIBUTE_HIDDEN;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

void SplitSize(uint64_t size, DWORD *high, DWORD *low) {
    *high = static_cast<DWORD>(size >> 32);
    *low = static_cast<DWORD>(size & 0xFFFFFFFFu);
}

}  // namespace cab
