// POSIX implementation of platform/crt.h.
#include "platform/crt.h"

#include <fcntl.h>
#include <locale.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <random>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/text.h"

namespace cab {
namespace {

bool IsFolder(const char *path) {
    struct stat st;
    return path != nullptr && path[0] != '\0' && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Writes all of [data, data + size); the errno of the failure (ENOSPC for a write that made no
// progress), or 0. *done receives the bytes written either way.
int WriteAll(int fd, const char *data, size_t size, size_t *done) {
    *done = 0;
    while (*done < size) {
        ssize_t put = write(fd, data + *done, size - *done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return put < 0 ? errno : ENOSPC;
        *done += static_cast<size_t>(put);
    }
    return 0;
}

}  // namespace
}  // namespace cab

using namespace cab;

int _open(const char *filename, int oflag, int pmode) {
    return cab::OpenWithInformation(filename, oflag, pmode, nullptr);
}

int _read(int fd, void *buffer, unsigned int count) {
    if (buffer == nullptr && count != 0) {
        FailWithErrno(EINVAL);
        return -1;
    }
    size_t want = count > static_cast<unsigned int>(INT_MAX) ? INT_MAX : count;
    ssize_t got;
    do {
        got = read(fd, buffer, want);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        FailWithErrno(errno);
        return -1;
    }
    return static_cast<int>(got);
}

int _write(int fd, const void *buffer, unsigned int count) {
    if (buffer == nullptr && count != 0) {
        FailWithErrno(EINVAL);
        return -1;
    }
    size_t want = count > static_cast<unsigned int>(INT_MAX) ? INT_MAX : count;
    size_t done = 0;
    int err = cab::WriteAll(fd, static_cast<const char *>(buffer), want, &done);
    if (err != 0) {
        FailWithErrno(err);
        return done == 0 ? -1 : static_cast<int>(done);
    }
    return static_cast<int>(done);
}

int _close(int fd) {
    if (close(fd) != 0 && errno != EINTR) {
        FailWithErrno(errno);
        return -1;
    }
    return 0;
}

long _lseek(int fd, long offset, int origin) {
    if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END) {
        FailWithErrno(EINVAL);
        return -1L;
    }
    off_t position = lseek(fd, static_cast<off_t>(offset), origin);
    if (position < 0) {
        FailWithErrno(errno);
        return -1L;
    }
    return static_cast<long>(position);
}

char *_tempnam(const char *dir, const char *prefix) {
    static const char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 generator{std::random_device{}() ^
                                           (static_cast<uint64_t>(getpid()) << 32)};
    const char *tmpdir = getenv("TMPDIR");
    std::string folder = IsFolder(tmpdir) ? tmpdir : IsFolder(dir) ? dir : "/tmp";
    if (folder.back() != '/' && folder.back() != '\\')
        folder += '/';
    folder += prefix != nullptr ? prefix : "";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = folder;
        for (int i = 0; i < 6; ++i)
            name += kAlphabet[generator() % (sizeof(kAlphabet) - 1)];
        struct stat st;
        if (lstat(name.c_str(), &st) == 0)
            continue;
        if (errno != ENOENT) {
            FailWithErrno(errno);
            return nullptr;
        }
        char *result = strdup(name.c_str());
        if (result == nullptr)
            FailWithErrno(ENOMEM);
        return result;
    }
    FailWithErrno(EEXIST);
    return nullptr;
}

int _isatty(int fd) {
    return isatty(fd) ? 1 : 0;
}

int _fileno(FILE *stream) {
    if (stream == nullptr) {
        FailWithErrno(EINVAL);
        return -1;
    }
    return fileno(stream);
}

FILE *_wfopen(const wchar_t *filename, const wchar_t *mode) {
    std::string name;
    std::string narrow_mode;
    if (filename == nullptr || mode == nullptr || !cab::WideToAcpExact(filename, &name) ||
        !cab::WideToAcpExact(mode, &narrow_mode)) {
        errno = EINVAL;
        SetLastError(filename == nullptr || mode == nullptr ? ERROR_INVALID_PARAMETER
                                                            : ERROR_INVALID_NAME);
        return nullptr;
    }
    // Text reading decodes UTF-8 and CR LF the way list files need (platform/files.h).
    if (narrow_mode == "r" || narrow_mode == "rt")
        return cab::OpenWideTextReader(name.c_str());
    FILE *file = fopen(name.c_str(), narrow_mode.c_str());
    if (file == nullptr) {
        cab::SetLastErrorFromErrno(errno, name.c_str());
    }
    return file;
}

FILE *cab::OpenWideTextReader(const char *path) {
    int fd = path != nullptr ? open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY) : -1;
    if (fd < 0) {
        int err = path != nullptr ? errno : EINVAL;
        SetLastErrorFromErrno(err, path);
        errno = err;
        return nullptr;
    }
    std::string bytes;
    char chunk[65536];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof(chunk))) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            int err = errno;
            close(fd);
            FailWithErrno(err);
            return nullptr;
        }
        bytes.append(chunk, static_cast<size_t>(got));
    }
    close(fd);

    // Names in a list are handed to the system exactly, so a file that is not UTF-8 is refused
    // whole rather than read up to its first bad byte.
    std::wstring text = AcpToWide(bytes);
    for (wchar_t unit : text) {
        if (unit >= 0xDC80 && unit <= 0xDCFF) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            errno = EILSEQ;
            return nullptr;
        }
    }
    std::string lines;
    lines.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' || i + 1 == bytes.size() || bytes[i + 1] != '\n')
            lines += bytes[i];
    }
    // The stream's decoder is fixed when it is oriented, and it points into the locale, which
    // therefore lives as long as the process.
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (utf8 == static_cast<locale_t>(0)) {
        FailWithErrno(ENOENT);
        return nullptr;
    }
    // Wide reading needs a real file stream; an anonymous in-memory file holds the text.
    int mem = memfd_create("wide-text", MFD_CLOEXEC);
    if (mem < 0) {
        FailWithErrno(errno);
        return nullptr;
    }
    size_t written = 0;
    int write_error = WriteAll(mem, lines.data(), lines.size(), &written);
    if (write_error != 0) {
        close(mem);
        FailWithErrno(write_error);
        return nullptr;
    }
    std::string proc_path = "/proc/self/fd/" + std::to_string(mem);
    FILE *stream = fopen(proc_path.c_str(), "r");
    int err = errno;
    close(mem);
    if (stream == nullptr) {
        FailWithErrno(err);
        return nullptr;
    }
    locale_t previous = uselocale(utf8);
    fwide(stream, 1);
    uselocale(previous);
    return stream;
}

int _stricmp(const char *string1, const char *string2) {
    return strcasecmp(string1, string2);
}

int64_t cab::DescriptorSize(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        FailWithErrno(errno);
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

void cab::CloseDescriptors(int *fds, size_t count) {
    std::sort(fds, fds + count);
    for (size_t i = 0; i < count;) {
        size_t j = i + 1;
        while (j < count && fds[j] == fds[j - 1] + 1)
            ++j;
        if (j - i == 1 || close_range(unsigned(fds[i]), unsigned(fds[j - 1]), 0) != 0) {
            for (size_t k = i; k < j; ++k)
                close(fds[k]);
        }
        i = j;
    }
}

void cab::AdviseLargePages(void *memory, size_t size) {
    constexpr uintptr_t kLarge = uintptr_t(2) << 20;
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    if (memory == nullptr || size == 0)
        return;
    uintptr_t first = reinterpret_cast<uintptr_t>(memory) & ~(page - 1);
    uintptr_t last = (reinterpret_cast<uintptr_t>(memory) + size + page - 1) & ~(page - 1);
    uintptr_t begin = (first + kLarge - 1) & ~(kLarge - 1);
    uintptr_t end = last & ~(kLarge - 1);
    if (begin >= end) {
        begin = end = last;
    } else {
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
    }
    // Prefaulting never changes what the pages hold.
    if (first < begin)
        madvise(reinterpret_cast<void *>(first), begin - first, MADV_POPULATE_WRITE);
    if (end < last)
        madvise(reinterpret_cast<void *>(end), last - end, MADV_POPULATE_WRITE);
}
