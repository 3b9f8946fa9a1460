#include "diagnostics/dpf.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/text.h"

// Built ahead of ordinary static objects, so that their constructors may report too.
CDPFLogFile g_dpfLogFile __attribute__((init_priority(101)));

namespace {

constexpr size_t kMessageCapacity = 1024;
constexpr size_t kLocationCapacity = 256;
constexpr size_t kNumberCapacity = 128;
constexpr size_t kLineCapacity = 1024;

struct LevelTag {
    int level;
    const char *tag;
};

constexpr LevelTag kLevelTags[] = {
    {DPF_MSG, "[MSG ] "}, {DPF_FAIL, "[FAIL] "}, {DPF_WARN, "[WARN] "}, {DPF_INFO, "[INFO] "},
    {DPF_PLAIN, ""},      {DPF_IN, " [>>>] "},   {DPF_OUT, " [<<<] "},
};

const char *BaseName(const char *path) {
    const char *base = path;
    for (const char *p = path; *p != 0; ++p) {
        if (*p == '/' || *p == '\\') {
            base = p + 1;
        }
    }
    return base;
}

PFNDPFCONSOLE g_pfnConsole = nullptr;
void *g_pvConsoleContext = nullptr;

}  // namespace

void DPFSetConsole(PFNDPFCONSOLE pfnConsole, void *pvContext) {
    g_pfnConsole = pfnConsole;
    g_pvConsoleContext = pvContext;
}

const char *DPFLevelTag(int nLevel) {
    for (const auto &entry : kLevelTags) {
        if (entry.level == nLevel) {
            return entry.tag;
        }
    }
    return "[Unknown] ";
}

void DPFOutput(const char *pszText) {
    cab::LastErrorPreserver keep_last_error;
    const char *text = pszText != nullptr ? pszText : "";
    OutputDebugStringA(text);
    if (g_pfnConsole != nullptr) {
        g_pfnConsole(g_pvConsoleContext, text);
    } else {
        printf("%s", text);
    }
    g_dpfLogFile.WriteLine(text);
}

void DPF(int nLevel, const char *pszFormat, ...) {
    char message[kMessageCapacity];
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = StringCchVPrintfA(message, kMessageCapacity, pszFormat, args);
    va_end(args);
    if (FAILED(hr)) {
        DPFOutput("FAIL: StringCchVPrintfAf failed in DPF");
    }
    DPFOutput(DPFLevelTag(nLevel));
    DPFOutput(message);
    DPFOutput("\n");
}

void DPFLocation(const char *pszFile, const char *pszFunction, int nLine) {
    char location[kLocationCapacity];
    // A location too long for the buffer is cut without notice.
    StringCchPrintfA(location, kLocationCapacity, "[%s - {%s} - #%d]",
                     BaseName(pszFile != nullptr ? pszFile : ""),
                     pszFunction != nullptr ? pszFunction : "", nLine);
    DPFOutput(location);
}

void DPFLastError() {
    cab::LastErrorPreserver keep_last_error;
    const DWORD error = GetLastError();
    char *text = nullptr;
    FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text),
        0, nullptr);
    char number[kNumberCapacity];
    StringCchPrintfA(number, kNumberCapacity, "GetLastError: %d", static_cast<int>(error));
    if (text != nullptr) {
        DPFOutput(text);
    }
    DPFOutput(number);
    if (text != nullptr) {
        LocalFree(text);
    }
}

CDPFLogFile::CDPFLogFile() {
    InitializeCriticalSection(&m_cs);
}

CDPFLogFile::~CDPFLogFile() {
    DeleteCriticalSection(&m_cs);
}

HRESULT CDPFLogFile::WriteLine(const char *pszText) {
    cab::LastErrorPreserver keep_last_error;
    char line[kLineCapacity];
    StringCchCopyA(line, kLineCapacity, pszText);
    HRESULT hr = E_FAIL;
    EnterCriticalSection(&m_cs);
    // Unnamed, there is nothing to open; skipping the attempt saves a system call per piece.
    if (!m_wstrFileName.empty()) {
        FILE *file = _wfopen(m_wstrFileName.c_str(), L"a+");
        if (file != nullptr) {
            fprintf(file, "%s\n", line);
            fclose(file);
            hr = S_OK;
        }
    }
    LeaveCriticalSection(&m_cs);
    return hr;
}

void CDPFLogFile::SetFileName(const wchar_t *pwszFileName) {
    EnterCriticalSection(&m_cs);
    m_wstrFileName = pwszFileName != nullptr ? pwszFileName : L"";
    LeaveCriticalSection(&m_cs);
}

std::wstring CDPFLogFile::GetFileName() {
    EnterCriticalSection(&m_cs);
    std::wstring name = m_wstrFileName;
    LeaveCriticalSection(&m_cs);
    return name;
}
