// Debug print: every failure report goes through DPF. A report is DPFLocation, then DPF, then
// (after a failed system call) DPFLastError. Each piece goes, in order, to the debugger channel,
// standard output (no line end added) and the log file of g_dpfLogFile.
#pragma once

#include <string>

#include "platform/sync.h"
#include "platform/wintypes.h"

#define DPF_PLAIN 0
#define DPF_MSG 1
#define DPF_FAIL 2
#define DPF_WARN 3
#define DPF_INFO 4
#define DPF_IN 5
#define DPF_OUT 6

// Formats the message (at most 1023 characters kept) and writes the level's tag, the message and
// a line feed. A message that was cut or could not be formatted is preceded by the notice
// "FAIL: StringCchVPrintfAf failed in DPF".
void DPF(int nLevel, const char *pszFormat, ...) __attribute__((format(printf, 2, 3)));

// Writes "[base - {function} - #line]" (at most 255 characters), base being the text after the
// last '/' or '\' of pszFile. No line end: the tag of the next DPF continues the line.
void DPFLocation(const char *pszFile, const char *pszFunction, int nLine);

// Writes the system's text for GetLastError() (when there is one) and "GetLastError: %d". Leaves
// the last error unchanged.
void DPFLastError();

// Writes one piece to the three sinks. Leaves the last error unchanged.
void DPFOutput(const char *pszText);

// Sends the pieces meant for standard output to pfnConsole instead (null: standard output again).
// Set it before any report can be written, not while other threads may report.
typedef void (*PFNDPFCONSOLE)(void *pvContext, const char *pszText);
void DPFSetConsole(PFNDPFCONSOLE pfnConsole, void *pvContext);

// The tag of a level: "[MSG ] ", "[FAIL] ", "[WARN] ", "[INFO] ", "", " [>>>] ", " [<<<] ", and
// "[Unknown] " for any other level. Static text.
const char *DPFLevelTag(int nLevel);

// The log-file sink. Unnamed (the default), it writes nothing.
class CDPFLogFile {
public:
    CDPFLogFile();
    ~CDPFLogFile();
    CDPFLogFile(const CDPFLogFile &) = delete;
    CDPFLogFile &operator=(const CDPFLogFile &) = delete;

    // Appends the text (not a format; cut to 1023 characters) and a line feed to the file,
    // opening and closing it each time. E_FAIL when the file cannot be opened.
    HRESULT WriteLine(const char *pszText);

    // Names the log file (wide, ANSI code page on disk); an empty or null name stops logging.
    void SetFileName(const wchar_t *pwszFileName);
    std::wstring GetFileName();

private:
    std::wstring m_wstrFileName;
    CRITICAL_SECTION m_cs;
};

// The process-wide sink, constructed before main.
extern CDPFLogFile g_dpfLogFile;

// Reports a FAIL-level line under the given function name from the current source location.
#define DPF_FAIL_AT(pszFunction, ...)                   \
    do {                                                \
        DPFLocation(__FILE__, (pszFunction), __LINE__); \
        DPF(DPF_FAIL, __VA_ARGS__);                     \
    } while (0)
