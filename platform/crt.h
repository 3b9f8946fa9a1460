// C-runtime stand-ins: low-level I/O on descriptors, temporary names, terminals, and streams of
// wide names and wide text. Results and errno as the C runtime gives them; every failing call
// also sets the thread's last error (GetLastError).
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/wintypes.h"

// oflag takes the _O_* values of platform/wintypes.h; with _O_CREAT a new file gets 0444, plus
// 0222 when pmode has _S_IWRITE, less the umask (all files are readable, as on Windows). There
// is no text mode: _O_TEXT and _O_BINARY both read bytes unchanged. A folder cannot be opened
// (EACCES).
int _open(const char *filename, int oflag, int pmode = 0);
int _read(int fd, void *buffer, unsigned int count);
// Writes everything or fails (-1); a short count only when the disk fills up.
int _write(int fd, const void *buffer, unsigned int count);
int _close(int fd);
long _lseek(int fd, long offset, int origin);

// A name for a new temporary file: $TMPDIR, else dir when it is a folder, else /tmp, followed
// by '/', prefix and six random characters. The name did not exist when it was made; open it
// with _O_EXCL. A heap string released with free(), or null with errno set.
char *_tempnam(const char *dir, const char *prefix);

// Nonzero when the descriptor is a terminal.
int _isatty(int fd);
// The descriptor of a stream, -1 (EINVAL) for null.
int _fileno(FILE *stream);

// fopen of a wide name (encoded in the ANSI code page) with a wide mode ("r", "a+", "wb", ...).
// "r" and "rt" open with OpenWideTextReader. nullptr with errno and the last error set when the
// name cannot be encoded or opened.
FILE *_wfopen(const wchar_t *filename, const wchar_t *mode);

namespace cab {

// Opens a text file for reading line by line with fgetws: its UTF-8 is decoded and a CR LF pair
// reads as one line feed, as Windows text mode reads it. The file is read whole when opened; one
// that is not valid UTF-8 is refused (EILSEQ, ERROR_NO_UNICODE_TRANSLATION) so that no line is
// read wrong or silently dropped. Null with errno and the last error set on failure; release
// with fclose.
FILE *OpenWideTextReader(const char *path);

// The size the file open on the descriptor has now; -1 on failure.
int64_t DescriptorSize(int fd);

// Closes the descriptors of the list, which it sorts: neighbouring numbers in one call.
void CloseDescriptors(int *fds, size_t count);

// Prepares a block of memory about to be filled: large pages asked for its whole 2 MiB spans, the
// rest mapped at once (where the system offers either), so that filling it takes a few page
// faults instead of one a page. Its content is kept.
void AdviseLargePages(void *memory, size_t size);

}  // namespace cab

// Compares two strings with ASCII letters folded to lower case, as cabinet names are compared.
int _stricmp(const char *string1, const char *string2);
