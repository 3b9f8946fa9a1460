// POSIX implementation of platform/file_times.h.
#include "platform/file_times.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>

#include "platform/errors.h"
#include "platform/handle_posix.h"
#include "platform/stat_posix.h"

namespace cab {
namespace {

// FILETIME values are unsigned 64-bit; anything at or above 2^63 is not a time.
bool IsValidFileTime(const FILETIME *ft) {
    return ft != nullptr && (ft->dwHighDateTime & 0x80000000u) == 0;
}

}  // namespace
}  // namespace cab

using namespace cab;

BOOL SetFileTime(HANDLE hFile, const FILETIME * /*lpCreationTime*/,
                 const FILETIME *lpLastAccessTime, const FILETIME *lpLastWriteTime) {
    FileHandle *handle = AsFileHandle(hFile);
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return SetDescriptorTime(handle->fd, lpLastAccessTime, lpLastWriteTime);
}

BOOL cab::SetDescriptorTime(int fd, const FILETIME *lpLastAccessTime,
                            const FILETIME *lpLastWriteTime) {
    if ((lpLastAccessTime != nullptr && !IsValidFileTime(lpLastAccessTime)) ||
        (lpLastWriteTime != nullptr && !IsValidFileTime(lpLastWriteTime))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = times[0];
    if (lpLastAccessTime != nullptr)
        times[0] = ToTimespec(*lpLastAccessTime);
    if (lpLastWriteTime != nullptr)
        times[1] = ToTimespec(*lpLastWriteTime);
    if (futimens(fd, times) != 0) {
        FailWithErrno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME *lpFileTime, LPFILETIME lpLocalFileTime) {
    if (!IsValidFileTime(lpFileTime) || lpLocalFileTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct timespec ts = ToTimespec(*lpFileTime);
    struct tm local;
    if (localtime_r(&ts.tv_sec, &local) == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int64_t offset = static_cast<int64_t>(local.tm_gmtoff) * kTicksPerSecond;
    *lpLocalFileTime = FromInt64(ToInt64(*lpFileTime) + offset);
    return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME *lpLocalFileTime, LPFILETIME lpFileTime) {
    if (!IsValidFileTime(lpLocalFileTime) || lpFileTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // mktime reads the zone file's status again on every call (a stat per unpacked file);
    // localtime_r does not, so the zone is loaded once per TZ value and the local time solved
    // for with it.
    struct ZoneSeen {
        bool loaded = false;
        bool tz_set = false;
        std::string tz;
    };
    thread_local ZoneSeen zone;
    const char *tz = getenv("TZ");
    if (!zone.loaded || zone.tz_set != (tz != nullptr) || (tz != nullptr && zone.tz != tz)) {
        tzset();
        zone.loaded = false;
        try {
            zone.tz = tz != nullptr ? tz : "";
            zone.tz_set = tz != nullptr;
            zone.loaded = true;
        } catch (const std::bad_alloc &) {
            // Not kept: the next call loads the zone again.
        }
    }
    struct timespec ts = ToTimespec(*lpLocalFileTime);
    struct tm fields;
    if (gmtime_r(&ts.tv_sec, &fields) == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const time_t as_if_utc = ts.tv_sec;
    // The offset at the guessed instant, then at the instant it gives: they differ only next
    // to a change of offset, where the second is the one in force.
    time_t utc = as_if_utc;
    for (int step = 0; step < 2; ++step) {
        struct tm local;
        if (localtime_r(&utc, &local) == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        utc = as_if_utc - local.tm_gmtoff;
    }
    int64_t ticks =
        kUnixEpochInFileTime + static_cast<int64_t>(utc) * kTicksPerSecond + ts.tv_nsec / 100;
    if (ticks < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpFileTime = FromInt64(ticks);
    return TRUE;
}

BOOL FileTimeToDosDateTime(const FILETIME *lpFileTime, WORD *lpFatDate, WORD *lpFatTime) {
    if (!IsValidFileTime(lpFileTime) || lpFatDate == nullptr || lpFatTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct timespec ts = ToTimespec(*lpFileTime);
    struct tm fields;
    if (gmtime_r(&ts.tv_sec, &fields) == nullptr || fields.tm_year < 80 || fields.tm_year > 207) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpFatDate = static_cast<WORD>(((fields.tm_year - 80) << 9) | ((fields.tm_mon + 1) << 5) |
                                   fields.tm_mday);
    *lpFatTime =
        static_cast<WORD>((fields.tm_hour << 11) | (fields.tm_min << 5) | (fields.tm_sec / 2));
    return TRUE;
}

BOOL DosDateTimeToFileTime(WORD wFatDate, WORD wFatTime, LPFILETIME lpFileTime) {
    static const int kDaysInMonth[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int year = 1980 + (wFatDate >> 9);
    int month = (wFatDate >> 5) & 0x0F;
    int day = wFatDate & 0x1F;
    int hour = wFatTime >> 11;
    int minute = (wFatTime >> 5) & 0x3F;
    int second = (wFatTime & 0x1F) * 2;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (lpFileTime == nullptr || month < 1 || month > 12 || day < 1 ||
        day > kDaysInMonth[month - 1] || (month == 2 && day == 29 && !leap) || hour > 23 ||
        minute > 59 || second > 59) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct tm fields {};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    time_t seconds = timegm(&fields);
    *lpFileTime = FromInt64(kUnixEpochInFileTime + static_cast<int64_t>(seconds) * kTicksPerSecond);
    return TRUE;
}
