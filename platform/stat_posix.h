// What the POSIX stand-ins of files, times and folder listing read from a struct stat; shared by
// *_posix.cpp only.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string_view>

#include "platform/file_times.h"

namespace cab {

// FILETIME of 1970-01-01 00:00:00.
inline constexpr int64_t kUnixEpochInFileTime = 116444736000000000LL;
inline constexpr int64_t kTicksPerSecond = 10000000;

int64_t ToInt64(const FILETIME &ft);
FILETIME FromInt64(int64_t ticks);
FILETIME FromTimespec(const struct timespec &ts);
struct timespec ToTimespec(const FILETIME &ft);

// The Win32 attributes of a file with status st found at path (its name decides hidden).
DWORD AttributesFromStat(const struct stat &st, std::string_view path);

void SplitSize(uint64_t size, DWORD *high, DWORD *low);

}  // namespace cab
