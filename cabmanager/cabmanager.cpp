// CCabManager: the file list, compression through FCI, extraction through FDI, coalescing, and
// the static bridges that route every Cabinet API callback to a virtual member.
#include "cabmanager/CabManager.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cabinet/writer/fci_block_queue.h"
#include "cabinet/writer/fci_lzx.h"
#include "cabmanager/file_finisher.h"
#include "cabmanager/folder_lister.h"
#include "cabmanager/source_opener.h"
#include "diagnostics/dpf.h"
#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/file_times.h"
#include "platform/files.h"
#include "platform/folder_listing.h"
#include "platform/safe_files.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "utils/utils.h"

namespace cab {

int ConvertRecordString(const wchar_t *pwszSource, char *pszDest, int cbDest) {
    if (pwszSource == nullptr)
        return 0;
    return ConvertWSTRToPSTR(pwszSource, pszDest, cbDest);
}

void ReportRecordFailure(const char *pszFile, const char *pszFunction, int nLine,
                         const char *pszMessage) {
    DPFLocation(pszFile, pszFunction, nLine);
    DPF(DPF_FAIL, "%s", pszMessage);
}

}  // namespace cab

namespace {

constexpr USHORT kAttributeMask = _A_RDONLY | _A_HIDDEN | _A_SYSTEM | _A_ARCH;
constexpr ULONG kLargestCabinet = 0x7FFFFFFF;
constexpr size_t kFilterChars = 256;
// PrepareDestination's answer for a member with a link, or a file, where a folder should be.
constexpr HRESULT kNotAFolder = static_cast<HRESULT>(0x8007010BL);  // ERROR_DIRECTORY
// The largest file and the longest name (in bytes) the cabinet format can hold.
constexpr uint64_t kLargestFile = 0x7FFF8000;
constexpr size_t kLongestName = CB_MAX_FILENAME - 1;
// FDICopy calls after members that stopped one, per cabinet, before the rest is given up.
constexpr int kMostCopiesAgain = 1000;

// A signal handler may set the cancel flag: it must never take a lock.
static_assert(std::atomic<LONG>::is_always_lock_free);

FNALLOC(CabAlloc) {
    return malloc(cb != 0 ? cb : 1);
}
FNFREE(CabFree) {
    free(pv);
}

// The manager whose FDICopy runs on this thread: FDI's file callbacks carry no context.
thread_local CCabManager *t_pFdiManager = nullptr;

class FdiManagerScope {
public:
    explicit FdiManagerScope(CCabManager *pManager) : m_pSaved(t_pFdiManager) {
        t_pFdiManager = pManager;
    }
    ~FdiManagerScope() { t_pFdiManager = m_pSaved; }
    FdiManagerScope(const FdiManagerScope &) = delete;
    FdiManagerScope &operator=(const FdiManagerScope &) = delete;

private:
    CCabManager *m_pSaved;
};

// The handle FDI writes a file to when the file goes to a caller's sink or nowhere (a test):
// no descriptor is ever this large.
constexpr INT_PTR kSinkHandle = 0x7FFFFFFF;
// The handle of a small member held in memory: the finisher creates its file once it is whole.
constexpr int kHeldHandle = 0x7FFFFFFE;

// Splits a ";"-separated filter list into its wide patterns, empty pieces left out.
void SplitFilters(const char *pszFilters, std::vector<std::wstring> *pvecPatterns) {
    for (const char *pszPattern = pszFilters; *pszPattern != '\0';) {
        const char *pszEnd = strchr(pszPattern, ';');
        size_t cch =
            pszEnd != nullptr ? static_cast<size_t>(pszEnd - pszPattern) : strlen(pszPattern);
        if (cch != 0)
            pvecPatterns->push_back(cab::AcpToWide(std::string_view(pszPattern, cch)));
        if (pszEnd == nullptr)
            break;
        pszPattern = pszEnd + 1;
    }
}

// Converts a filter list into the manager's buffer (an empty one stands for every file) and its
// patterns, split and widened once for the run.
bool ConvertFilters(const wchar_t *pwszFilters, char *pszFilter,
                    std::vector<std::wstring> *pvecPatterns) {
    pszFilter[0] = '\0';
    if (pwszFilters != nullptr &&
        ConvertWSTRToPSTR(pwszFilters, pszFilter, static_cast<int>(kFilterChars)) == 0) {
        pszFilter[0] = '\0';
        return false;
    }
    try {
        SplitFilters(pszFilter, pvecPatterns);
    } catch (const std::bad_alloc &) {
        pszFilter[0] = '\0';
        return false;
    }
    return true;
}

// Size of a file on disk; 0 when it cannot be read (it will not be stored either).
uint64_t FileSize(const char *pszPath) {
    HANDLE h = CreateFileA(pszPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info = {};
    BOOL fOk = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    return fOk ? (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow : 0;
}

// Reports a failure that ends the operation as a whole (not one of its files); the first one is
// kept for GetFailure.
#define FAIL_RUN(pszFunction, ...)                                   \
    do {                                                             \
        char szRunFailure_[1024];                                    \
        snprintf(szRunFailure_, sizeof(szRunFailure_), __VA_ARGS__); \
        DPF_FAIL_AT((pszFunction), "%s", szRunFailure_);             \
        NoteRunFailure("%s", szRunFailure_);                         \
    } while (0)

// Why FCI refused a file: for the format-limit error, which limit, else the error's own text.
const char *AddFailureText(int nError, const char *pszText, const char *pszName, uint64_t cbFile) {
    if (nError == FCIERR_CAB_FORMAT_LIMIT && strlen(pszName) > kLongestName)
        return "Name longer than the cabinet format allows (255 bytes)";
    if (nError == FCIERR_CAB_FORMAT_LIMIT && cbFile > kLargestFile)
        return "File larger than the cabinet format allows (2147450880 bytes)";
    return pszText;
}

template <size_t N>
const char *ErrorText(const char *const (&texts)[N], int nError) {
    return nError >= 0 && static_cast<size_t>(nError) < N ? texts[nError] : "Unknown error";
}

// Indexed by FDIERROR_*.
const char *const kFdiErrorTexts[] = {
    "No error",
    "Cabinet not found",
    "Not a cabinet",
    "Unknown cabinet version",
    "Corrupt cabinet",
    "Memory allocation failed",
    "Unknown compression type",
    "Failure decompressing data",
    "Failure writing to target file",
    "Cabinets in set have different RESERVE sizes",
    "Cabinet returned on fdintNEXT_CABINET is incorrect",
    "User aborted",
};

// The path below the destination that a member's name gives: its components, separated by '\'
// or '/', joined with '/', empty and "." components dropped (':' is an ordinary character).
// False, with the reason, for a name that would land outside or nowhere.
bool MemberDiskName(const char *pszName, std::string *pstrName, const char **ppszWhy) {
    pstrName->clear();
    pstrName->reserve(strlen(pszName));  // built in pieces: one allocation, not one per doubling
    if (cab::IsPathSeparator(pszName[0])) {
        *ppszWhy = "its name is absolute";
        return false;
    }
    for (const char *pszPart = pszName; *pszPart != '\0';) {
        const char *pszEnd = pszPart;
        while (*pszEnd != '\0' && !cab::IsPathSeparator(*pszEnd))
            ++pszEnd;
        std::string_view part(pszPart, static_cast<size_t>(pszEnd - pszPart));
        if (part == "..") {
            *ppszWhy = "its name leads out of the destination";
            return false;
        }
        if (!part.empty() && part != ".") {
            if (!pstrName->empty())
                pstrName->push_back('/');
            pstrName->append(part);
        }
        pszPart = *pszEnd != '\0' ? pszEnd + 1 : pszEnd;
    }
    if (pstrName->empty()) {
        *ppszWhy = "its name names no file";
        return false;
    }
    return true;
}

// The next cabinet of a set is a file of the same folder.
bool IsPlainFileName(const char *pszName) {
    return pszName[0] != '\0' && strcmp(pszName, ".") != 0 && strcmp(pszName, "..") != 0 &&
           strpbrk(pszName, "/\\") == nullptr;
}

// Makes a folder of our own below pwszParent (which ends with a separator).
bool CreateWorkFolder(const wchar_t *pwszParent, std::wstring *pstrFolder) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        wchar_t wszSuffix[32];
        swprintf(wszSuffix, 32, L"cabmgr-%08x", static_cast<unsigned>(random()));
        std::wstring strFolder = std::wstring(pwszParent) + wszSuffix;
        int nResult = SHCreateDirectory(nullptr, strFolder.c_str());
        if (nResult == ERROR_SUCCESS) {
            *pstrFolder = strFolder + L"/";
            return true;
        }
        if (nResult != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

// Counts an operation running on the manager for as long as it lives; the outermost one starts
// with no failure noted.
class RunningScope {
public:
    RunningScope(int *pcRunning, std::string *pstrFailure) : m_pcRunning(pcRunning) {
        if ((*m_pcRunning)++ == 0)
            pstrFailure->clear();
    }
    ~RunningScope() { --*m_pcRunning; }
    RunningScope(const RunningScope &) = delete;
    RunningScope &operator=(const RunningScope &) = delete;

private:
    int *m_pcRunning;
};

// The system's text for the last error, without its line end.
std::string LastErrorText() {
    DWORD dwError = GetLastError();
    char szText[256];
    DWORD cch = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               dwError, 0, szText, sizeof(szText), nullptr);
    while (cch != 0 && (szText[cch - 1] == '\n' || szText[cch - 1] == '\r'))
        --cch;
    return cch != 0 ? std::string(szText, cch) : "error " + std::to_string(dwError);
}

std::wstring WithoutTrailingSlashes(std::wstring strPath) {
    while (strPath.size() > 1 && strPath.back() == L'/')
        strPath.pop_back();
    return strPath;
}

// The highest of the folders that making strFolder would create ('/' separates levels); empty
// when it exists.
std::wstring FirstMissingLevel(std::wstring strFolder) {
    if (PathFileExistsW(strFolder.c_str()))
        return L"";
    for (;;) {
        size_t at = strFolder.find_last_of(L'/');
        if (at == std::wstring::npos || at == 0)
            return strFolder;
        std::wstring strParent = WithoutTrailingSlashes(strFolder.substr(0, at));
        if (PathFileExistsW(strParent.c_str()))
            return strFolder;
        strFolder = strParent;
    }
}

// Removes strFolder and each parent up to strTop, as long as each is empty.
void RemoveEmptyFolders(const std::wstring &strFolder, const std::wstring &strTop) {
    std::string strNarrow, strNarrowTop;
    if (!cab::WideToAcpExact(strFolder, &strNarrow) || !cab::WideToAcpExact(strTop, &strNarrowTop))
        return;
    std::error_code ec;
    for (std::filesystem::path path = strNarrow; std::filesystem::remove(path, ec);
         path = path.parent_path()) {
        if (path == strNarrowTop || !path.has_parent_path())
            break;
    }
}

// The cabinet pszFolder + pszName and the files named as later parts of its set (base001.cab, ...):
// the run's own output, old or new, which must not go into the cabinets.
std::vector<cab::FolderIdentity> CabinetsWrittenOver(const char *pszFolder, const char *pszName,
                                                     const char *pszBase) {
    std::vector<cab::FolderIdentity> vecIds;
    cab::FolderIdentity id;
    if (cab::ReadFolderIdentity(cab::AcpToWide(std::string(pszFolder) + pszName), &id))
        vecIds.push_back(id);
    for (int iCab = 1;; ++iCab) {
        char szPart[MAX_PATH];
        if (FAILED(StringCchPrintfA(szPart, MAX_PATH, "%s%s%03d.cab", pszFolder, pszBase, iCab)) ||
            !cab::ReadFolderIdentity(cab::AcpToWide(szPart), &id))
            break;
        vecIds.push_back(id);
    }
    return vecIds;
}

bool RemoveWorkFolder(const std::wstring &strFolder) {
    std::string strNarrow;
    if (!cab::WideToAcpExact(strFolder, &strNarrow))
        return false;
    std::error_code ec;
    std::filesystem::remove_all(strNarrow, ec);
    return !ec;
}

}  // namespace

// What the FDICopy calls of one reading of a cabinet set (an extraction, a test, a listing or a
// copy to a sink) keep between notifications. FDI offers the members of a cabinet in the same
// order in every FDICopy call, so after a call stopped at a member it could not decode, the
// cabinet is copied again, answering 0 for the members dealt with already.
struct CCabManager::ReadState {
    enum Mode { kList, kTest, kSink, kExtract } nMode;
    const char *pszFunction;  // for report lines
    PFNCABMEMBER pfnMember;
    PFNCABSINK pfnSink;
    void *pvContext;
    // Ordinals of the files offered by the FDICopy call in progress: the last one offered, the
    // one being decoded, the last one an earlier attempt on the same cabinet dealt with.
    int iOffered = -1;
    int iOpen = -1;
    int iDealtWith = -1;
    int iOpenFolder = -1;
    // Folders of the cabinet whose data is damaged: what follows in them cannot be decoded.
    std::vector<int> vecDamagedFolders = {};
    int cCopiesAgain = 0;
    int cTaken = 0;
    int cDamaged = 0;
    // Extraction: the file being written, and the names below the destination written so far.
    std::string strOpenName = {};
    std::string strOpenPath = {};
    std::unordered_set<std::string> setWritten = {};
};

struct CCabManager::CRunState {
    CRunState() = default;
    CRunState(const CRunState &) = delete;
    CRunState &operator=(const CRunState &) = delete;
    ~CRunState() {
        CloseLevels(0);
        finisher.Drain();
        cab::CloseFolderHandle(hDestFolder);
        cab::CloseFolderHandle(hCabFolder);
    }

    struct Level {
        std::string strName;
        int hFolder;
        BOOL fMade;  // by this run
    };

    // A level goes once the files handed to the finisher before have been named in it.
    void CloseLevels(size_t cKeep) {
        for (; vecLevels.size() > cKeep; vecLevels.pop_back())
            finisher.CloseFolder(vecLevels.back().hFolder);
    }
    int OutputFolder() const { return vecLevels.empty() ? hDestFolder : vecLevels.back().hFolder; }
    // TRUE when pszLeaf in the output folder names a cabinet of the set being read.
    BOOL ReplacesCabinet(const char *pszLeaf) {
        for (const std::string &strCabinet : vecSetCabinets) {
            if (strCabinet != pszLeaf)
                continue;
            if (hCabFolder == -1)
                hCabFolder = cab::OpenFolderHandle(strCabFolder.c_str());
            return hCabFolder == -1 || cab::IsSameFolder(OutputFolder(), hCabFolder);
        }
        return FALSE;
    }

    // Extraction: the destination and the levels below it open for the last member, outermost
    // first (members come folder by folder, so each level is opened about once); the member
    // being written, which has no name of its own until it is complete.
    int hDestFolder = -1;
    std::vector<Level> vecLevels;
    cab::PendingFile output;
    int hOutputFolder = -1;
    // Complete members are timed, named and closed there while the next ones are written.
    cab::FileFinisher finisher;
    std::vector<std::wstring> vecFilters;
    BOOL fExtracting = FALSE;

    // The set being read: the name of every cabinet, in order (from the counting pass), so that
    // no member replaces one of them; their folder, opened when a member's name is one of them.
    std::vector<std::string> vecSetCabinets;
    int hCabFolder = -1;
    // The first FDICopy of the walk over the set, and each later one checked against the one
    // before: set ID, cabinet number, and the previous-cabinet name of its continued files.
    std::string strCabFolder;
    int cCopies = 0;
    BOOL fInfoSeen = FALSE;
    USHORT setID = 0;
    USHORT iCabinet = 0;
    std::string strPrev;
    USHORT lastSetID = 0;
    USHORT lastICabinet = 0;
    std::string strLastCabinet;
    std::string strLastPrev;
    BOOL fWrongCabinet = FALSE;
    // Set when FDI was stopped before opening a next cabinet that is not in the same folder.
    BOOL fInvalidNext = FALSE;
    // Set when the walk stopped at a later cabinet that is missing or not the next part.
    BOOL fSetCut = FALSE;
    FDIERROR fdieNext = FDIERROR_NONE;
    std::string strNext;
    // What the first FDICopy saw: a number above 0 means the cabinet given continues a set.
    USHORT firstSetID = 0;
    USHORT iFirstCabinet = 0;
    std::string strFirstPrev;
    // Set when the earlier cabinets of that set are not all there.
    BOOL fStartMissing = FALSE;

    // Compression: the files after the one being added, opened ahead; the descriptor of the one
    // FCI was handed, its size, and whether FCI's seek to its end was only answered (the file is
    // still at its start).
    cab::SourceOpener opener;
    INT_PTR hfSource = -1;
    uint64_t cbSource = 0;
    BOOL fSourceAtEnd = FALSE;
    // Set when the source had grown past that size by the time FCI closed it.
    BOOL fSourceGrew = FALSE;
    // Puts the source where FCI was told it is, before any other use of hf.
    BOOL SettleSource(INT_PTR hf) {
        if (hf != hfSource || !fSourceAtEnd)
            return TRUE;
        fSourceAtEnd = FALSE;
        return _lseek(static_cast<int>(hf), static_cast<long>(cbSource), SEEK_SET) != -1;
    }
    // Compression: cabinets written under temporary names (final name, temporary name).
    std::vector<std::pair<std::string, std::string>> vecPendingCabinets;
    // Files FCI has open (handle, name) for the reports of failed writes; a temporary file that
    // could not be created has been reported.
    std::vector<std::pair<INT_PTR, std::string>> vecFciFiles;
    BOOL fTempFailureSaid = FALSE;
};

// --- Object, cancel flag, progress ----------------------------------------------------------

CCabManager::CCabManager() {
    m_vecFiles.clear();
    m_szDestFolder[0] = '\0';
    Initialize();
}

CCabManager::~CCabManager() {
    if (m_hfci != nullptr) {
        FCIDestroy(m_hfci);
        m_hfci = nullptr;
    }
    if (m_hfdi != nullptr) {
        FDIDestroy(m_hfdi);
        m_hfdi = nullptr;
    }
}

HRESULT CCabManager::Initialize() {
    // From a callback of a running operation: the contexts released here are the ones in use.
    if (m_cRunning != 0) {
        DPF_FAIL_AT("CCabManager::Initialize", "Initialize refused: an operation is running");
        return E_UNEXPECTED;
    }
    // A library user may call this after a run: a held context still owns its temporary file.
    if (m_hfci != nullptr)
        FCIDestroy(m_hfci);
    if (m_hfdi != nullptr)
        FDIDestroy(m_hfdi);
    m_fCancel = 0;
    memset(&m_erf, 0, sizeof(m_erf));
    memset(&m_ccab, 0, sizeof(m_ccab));
    m_cTotalFiles = 0;
    m_cDoneFiles = 0;
    m_nLastPercent = 0;
    m_pfnProgress = nullptr;
    m_pvProgressContext = nullptr;
    m_cbTotalBytes = 0;
    m_cbDoneBytes = 0;
    m_szCurrentFile[0] = '\0';
    m_hfci = nullptr;
    m_hfdi = nullptr;
    m_szCabBaseName[0] = '\0';
    m_szFileFilter[0] = '\0';
    m_fCabinetInfoSeen = FALSE;
    m_szNextCabinet[0] = '\0';
    m_cKeptFiles = 0;
    m_cFailedFiles = 0;
    m_strFailure.clear();
    return S_OK;
}

int CCabManager::GetCancel() {
    return m_fCancel;
}

int CCabManager::SetCancel(int fCancel) {
    m_fCancel = fCancel;
    return 1;
}

HRESULT CCabManager::SetMaxCabinetSize(ULONG cbMaxCabinet) {
    if (cbMaxCabinet < CABMGR_MIN_CABINET_SIZE || cbMaxCabinet > ULONG(CB_MAX_DISK))
        return E_INVALIDARG;
    m_cbMaxCabinet = cbMaxCabinet;
    return S_OK;
}

void CCabManager::SetKeepExistingFiles(BOOL fKeep) {
    m_fKeepExisting = fKeep;
}

void CCabManager::SetCompressionThreads(unsigned cThreads) {
    cab::SetFciThreadCount(cThreads);
}

void CCabManager::SetLzxThorough(BOOL fThorough) {
    cab::SetFciLzxLevel(fThorough ? cab::LzxLevel::kThorough : cab::LzxLevel::kFast);
}

void CCabManager::SetReportOutput(PFNCABREPORT pfnReport, void *pvContext) {
    DPFSetConsole(pfnReport, pvContext);
}

void CCabManager::SetProgressCallback(PFNCABPROGRESS pfnProgress, void *pvContext) {
    m_pfnProgress = pfnProgress;
    m_pvProgressContext = pvContext;
}

void CCabManager::ReportProgress(int nEvent, int nValue) {
    if (m_pfnProgress != nullptr)
        m_pfnProgress(m_pvProgressContext, nEvent, nValue);
}

void CCabManager::GetProgress(CABPROGRESSINFO *pInfo) const {
    pInfo->cDoneFiles = m_cDoneFiles;
    pInfo->cTotalFiles = m_cTotalFiles;
    pInfo->cbDone = m_cbDoneBytes;
    pInfo->cbTotal = m_cbTotalBytes;
    pInfo->pszFile = m_szCurrentFile;
}

void CCabManager::SetCurrentFile(const char *pszName) {
    if (FAILED(StringCchCopyA(m_szCurrentFile, MAX_PATH, pszName != nullptr ? pszName : "")))
        m_szCurrentFile[0] = '\0';
}

void CCabManager::StepBytes(uint64_t cb) {
    m_cbDoneBytes += cb;
    if (m_pfnProgress != nullptr) {
        uint64_t cbTotal = std::max(m_cbTotalBytes, m_cbDoneBytes);
        ReportProgress(CABPROGRESS_BYTES,
                       cbTotal == 0 ? 100 : static_cast<int>(m_cbDoneBytes * 100 / cbTotal));
    }
}

void CCabManager::NoteRunFailure(const char *pszFormat, ...) {
    if (!m_strFailure.empty())
        return;
    char szText[1024];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szText, sizeof(szText), pszFormat, args);
    va_end(args);
    try {
        m_strFailure = szText;
    } catch (const std::bad_alloc &) {
        // The report line has said it; only the summary goes without.
    }
}

void CCabManager::StepProgress(int nEvent) {
    ++m_cDoneFiles;
    // A run whose total is unknown (0) counts as complete at every step.
    LONG nPercent =
        m_cTotalFiles == 0
            ? 100
            : static_cast<LONG>(static_cast<int64_t>(m_cDoneFiles) * 100 / m_cTotalFiles);
    if (nPercent != m_nLastPercent)
        m_nLastPercent = nPercent;
    ReportProgress(nEvent, nPercent);
}

// --- File list -----------------------------------------------------------------------------

HRESULT CCabManager::AddFileToCompress(const wchar_t *pwszFilePath, const wchar_t *pwszNameInCab) {
    CFileInCab file;
    HRESULT hr = file.Initialize(pwszFilePath, pwszNameInCab);
    if (FAILED(hr)) {
        DPF_FAIL_AT("CCabManager::AddFileToCompress", "file.Initialize failed");
        return hr;
    }
    // Reading a FIFO or a device would wait for ever or never end. A missing file stays
    // listed: CompressFiles passes over it.
    cab::PathKind kind = cab::GetPathKind(file.szFilePath);
    if (kind == cab::PathKind::kFolder || kind == cab::PathKind::kOther) {
        DPF_FAIL_AT("CCabManager::AddFileToCompress", "%s is not a regular file", file.szFilePath);
        return E_INVALIDARG;
    }
    try {
        m_vecFiles.push_back(file);
    } catch (const std::bad_alloc &) {
        DPF_FAIL_AT("CCabManager::AddFileToCompress", "OOM");
        return E_OUTOFMEMORY;
    }
    ++m_cTotalFiles;
    m_cbTotalBytes += FileSize(file.szFilePath);
    return S_OK;
}

void CCabManager::EmptyFileList() {
    m_vecFiles.clear();
    m_cNotListed = 0;
}

void CCabManager::OmitFile() {
    ++m_cNotListed;
    ++m_cTotalFiles;
}

// --- Folder walk and folder compression ----------------------------------------------------

// The records a walk finds are kept as their two texts and made once it is over: records
// appended one by one would move the list, a few hundred bytes a file, at every doubling.
struct CCabManager::WalkState {
    WalkState(const wchar_t *pwszFolder, int fRecurse) : lister(pwszFolder, fRecurse) {}

    cab::FolderLister lister;
    std::string strTexts;
    size_t cRecords = 0;

    void Add(const CFileInCab &file) {
        strTexts.append(file.szFilePath, strlen(file.szFilePath) + 1);
        strTexts.append(file.szNameInCab, strlen(file.szNameInCab) + 1);
        ++cRecords;
    }
    void MoveTo(std::vector<CFileInCab> *pvecFiles) {
        size_t cNeeded = pvecFiles->size() + cRecords;
        if (pvecFiles->capacity() < cNeeded)
            pvecFiles->reserve(std::max(cNeeded, 2 * pvecFiles->capacity()));
        cab::AdviseLargePages(pvecFiles->data() + pvecFiles->size(),
                              (pvecFiles->capacity() - pvecFiles->size()) * sizeof(CFileInCab));
        for (const char *psz = strTexts.data(); cRecords != 0; --cRecords) {
            CFileInCab &file = pvecFiles->emplace_back();
            size_t cb = strlen(psz) + 1;
            memcpy(file.szFilePath, psz, cb);
            psz += cb;
            cb = strlen(psz) + 1;
            memcpy(file.szNameInCab, psz, cb);
            psz += cb;
        }
        strTexts.clear();
    }
};

HRESULT CCabManager::AddFilesInFolderToList(const wchar_t *pwszRootFolder,
                                            const wchar_t *pwszFolder, int fRecurse) {
    if (pwszRootFolder == nullptr || pwszFolder == nullptr) {
        DPF_FAIL_AT("CCabManager::AddFilesInFolderToList", "Invalid args passed");
        return E_INVALIDARG;
    }
    // A source that is missing or not a folder is a mistake to tell, not an empty folder. A
    // trailing backslash is a separator here too, as in the walk.
    std::wstring strFolder(pwszFolder);
    if (!strFolder.empty() && strFolder.back() == L'\\')
        strFolder.back() = L'/';
    if (!PathIsDirectoryW(strFolder.c_str())) {
        FAIL_RUN("CCabManager::AddFilesInFolderToList", "%s %s", cab::WideToAcp(pwszFolder).c_str(),
                 PathFileExistsW(strFolder.c_str()) ? "is not a folder" : "does not exist");
        return E_FAIL;
    }
    WalkState walk(pwszFolder, fRecurse);
    bool fWalked = WalkFolder(pwszRootFolder, pwszFolder, fRecurse, &walk);
    walk.MoveTo(&m_vecFiles);
    if (!fWalked) {
        FAIL_RUN("CCabManager::AddFilesInFolderToList", "Folder %s cannot be read: %s",
                 cab::WideToAcp(pwszFolder).c_str(), LastErrorText().c_str());
        return E_FAIL;
    }
    return S_OK;
}

bool CCabManager::WalkFolder(const wchar_t *pwszRootFolder, const wchar_t *pwszFolder, int fRecurse,
                             WalkState *pWalk) {
    // The lister went through this folder already, as this walk would have.
    cab::FolderLister::Listing listing;
    if (!pWalk->lister.Next(&listing)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    if (listing.kind == cab::FolderLister::Listing::kLoop)
        return true;
    if (listing.kind == cab::FolderLister::Listing::kFailed) {
        SetLastError(listing.error);
        return listing.error == ERROR_FILE_NOT_FOUND;
    }
    std::wstring strFolder = cab::WalkedFolder(pwszFolder);
    size_t cchRoot = wcslen(pwszRootFolder);
    for (const cab::FolderLister::Entry &entry : listing.entries) {
        std::wstring strFound = strFolder + entry.name;
        if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if (fRecurse && entry.name != L"." && entry.name != L".." &&
                !WalkFolder(pwszRootFolder, strFound.c_str(), fRecurse, pWalk)) {
                DPF_FAIL_AT("CCabManager::AddFilesInFolderToList", "Folder %s cannot be read: %s",
                            cab::WideToAcp(strFound).c_str(), LastErrorText().c_str());
                OmitFile();
            }
            continue;
        }
        if (entry.attributes == FILE_ATTRIBUTE_REPARSE_POINT) {
            DPF_FAIL_AT("CCabManager::AddFilesInFolderToList",
                        "%s not stored: it is a link to nothing", cab::WideToAcp(strFound).c_str());
            OmitFile();
            continue;
        }
        std::wstring strName = strFound.size() > cchRoot ? strFound.substr(cchRoot) : L"";
        if (!strName.empty() && cab::IsPathSeparator(strName[0]))
            strName.erase(0, 1);
        CFileInCab file;
        if (FAILED(file.Initialize(strFound.c_str(), strName.c_str()))) {
            DPF_FAIL_AT("CCabManager::AddFilesInFolderToList",
                        "%s not stored: its path or its name takes more than 259 bytes",
                        cab::WideToAcp(strFound).c_str());
            OmitFile();
            continue;
        }
        ++m_cTotalFiles;
        m_cbTotalBytes += entry.size;
        pWalk->Add(file);
    }
    return true;
}

HRESULT CCabManager::CompressFilesInFolder(const wchar_t *pwszFolder, const wchar_t *pwszCabPath,
                                           int nSettingsParam, int fRecurse) {
    RunningScope running(&m_cRunning, &m_strFailure);
    EmptyFileList();
    m_cTotalFiles = 0;
    m_cbTotalBytes = 0;
    m_cDoneFiles = 0;
    m_nLastPercent = 0;
    m_cFailedFiles = 0;

    HRESULT hr = E_FAIL;
    if (pwszFolder != nullptr && StrCmpNIW(pwszFolder, L"@", 1) == 0) {
        FILE *pFile = _wfopen(pwszFolder + 1, L"r");
        if (pFile == nullptr) {
            FAIL_RUN("CCabManager::CompressFilesInFolder", "List file %s cannot be read: %s",
                     cab::WideToAcp(pwszFolder + 1).c_str(), LastErrorText().c_str());
        } else {
            hr = S_OK;
            wchar_t wszLine[MAX_PATH];
            for (;;) {
                memset(wszLine, 0, sizeof(wszLine));
                if (fgetws(wszLine, MAX_PATH, pFile) == nullptr || wszLine[0] == L'\0')
                    break;
                size_t cch = wcslen(wszLine);
                if (wszLine[cch - 1] == L'\n')
                    wszLine[cch - 1] = L'\0';
                if (wszLine[0] == L'\0')
                    continue;  // a blank line names no folder
                // A listed folder that cannot be packed is left out, and the others packed.
                if (FAILED(AddFilesInFolderToList(wszLine, wszLine, fRecurse))) {
                    OmitFile();
                    m_strFailure.clear();
                }
            }
            fclose(pFile);
        }
    } else {
        hr = AddFilesInFolderToList(pwszFolder, pwszFolder, fRecurse);
    }
    if (FAILED(hr)) {
        DPF_FAIL_AT("CCabManager::CompressFilesInFolder", "AddFilesInFolderToList");
        return hr;
    }
    if (m_vecFiles.empty()) {
        FAIL_RUN("CCabManager::CompressFilesInFolder", "Nothing to pack in %s",
                 cab::WideToAcp(pwszFolder).c_str());
        return E_FAIL;
    }
    int cFilesAdded = 0;
    return CompressFiles(pwszCabPath, nSettingsParam, &cFilesAdded);
}

// --- Compression ---------------------------------------------------------------------------

HRESULT CCabManager::CompressFiles(const wchar_t *pwszCabPath, int nSettingsParam,
                                   int *pcFilesAdded) {
    RunningScope running(&m_cRunning, &m_strFailure);
    m_cDoneFiles = 0;
    m_nLastPercent = 0;
    m_cbDoneBytes = 0;
    m_cFailedFiles = m_cNotListed;
    HRESULT hr = S_OK;
    char szFolder[MAX_PATH] = "";
    char szName[MAX_PATH] = "";
    BOOL fFlushed = FALSE;
    CRunState run;
    CRunState *pOuterRun = m_pRun;
    m_pRun = &run;
    int nFolderResult = ERROR_SUCCESS;
    // Name in the cabinet -> the record stored under it, so that no name is stored twice.
    std::unordered_map<std::string, size_t> mapStored;
    std::vector<cab::FolderIdentity> vecWrittenOver;
    std::wstring strFolder, strFirstMade;

    if (pcFilesAdded == nullptr) {
        DPF_FAIL_AT("CCabManager::CompressFiles", "Invalid args passed");
        hr = E_INVALIDARG;
        goto Done;
    }
    hr = SplitCabPath(pwszCabPath, szFolder, MAX_PATH, szName, MAX_PATH);
    if (FAILED(hr)) {
        DPF_FAIL_AT("CCabManager::CompressFiles", "SplitCabPath failed");
        NoteRunFailure("Cabinet path %s does not name a folder and a file",
                       cab::WideToAcp(pwszCabPath != nullptr ? pwszCabPath : L"").c_str());
        goto Done;
    }
    *pcFilesAdded = 0;
    memset(&m_erf, 0, sizeof(m_erf));

    // The cabinet's folder is made before any file is compressed, as unpacking makes its own. A
    // folder given with a backslash names no folder of this system.
    if (szFolder[strlen(szFolder) - 1] == '/') {
        strFolder = WithoutTrailingSlashes(cab::AcpToWide(szFolder));
        strFirstMade = FirstMissingLevel(strFolder);
        nFolderResult = SHCreateDirectory(nullptr, strFolder.c_str());
    }
    if (nFolderResult != ERROR_SUCCESS && nFolderResult != ERROR_ALREADY_EXISTS) {
        FAIL_RUN("CCabManager::CompressFiles", "Folder %s cannot be created: %s", szFolder,
                 LastErrorText().c_str());
        hr = E_FAIL;
        goto Done;
    }
    hr = SetCabSettings(szFolder, szName, nSettingsParam);
    if (FAILED(hr)) {
        DPF_FAIL_AT("CCabManager::CompressFiles", "SetCabSettings failed");
        goto Done;
    }
    hr = StringCchCopyA(m_szCabBaseName, MAX_PATH, szName);
    if (FAILED(hr)) {
        DPF_FAIL_AT("CCabManager::CompressFiles", "StringCchCopyA failed");
        goto Done;
    }
    // Without its last extension only: backup.mon.cab and backup.tue.cab must not both go on
    // in backup001.cab.
    if (char *pszDot = strrchr(m_szCabBaseName, '.'))
        *pszDot = '\0';

    vecWrittenOver = CabinetsWrittenOver(szFolder, szName, m_szCabBaseName);

    if (m_hfci != nullptr) {
        FCIDestroy(m_hfci);
        m_hfci = nullptr;
    }
    m_hfci = FCICreate(&m_erf, BridgeFciFilePlaced, CabAlloc, CabFree, BridgeFciOpen, BridgeFciRead,
                       BridgeFciWrite, BridgeFciClose, BridgeFciSeek, BridgeFciDelete,
                       BridgeFciGetTempFile, &m_ccab, this);
    if (m_hfci == nullptr) {
        DPF_FAIL_AT("CCabManager::CompressFiles", "FCICreate failed. Error was (%d) - %s",
                    m_erf.erfOper, GetFciErrorString());
        // A path ending in a separator, which FCI refuses as a name it cannot hold.
        if (szName[0] == '\0')
            NoteRunFailure("Cabinet path %s does not name a folder and a file",
                           cab::WideToAcp(pwszCabPath).c_str());
        hr = E_FAIL;
        goto Done;
    }

    for (size_t i = 0, iAsked = 0; i < m_vecFiles.size(); ++i) {
        for (; iAsked < m_vecFiles.size() && !run.opener.Full(); ++iAsked)
            run.opener.Ask(m_vecFiles[iAsked].szFilePath);
        cab::SourceOpener::Opened opened;
        run.opener.Take(&opened);
        if (m_fCancel != 0) {
            if (opened.fd != -1)
                run.opener.Close(opened.fd);
            continue;
        }
        // A copy: a callback of a derived class may append to the list.
        CFileInCab file = m_vecFiles[i];
        auto itStored = mapStored.find(file.szNameInCab);
        if (itStored != mapStored.end()) {
            if (opened.fd != -1)
                run.opener.Close(opened.fd);
            DPF_FAIL_AT("CCabManager::CompressFiles",
                        "%s not stored: its name in the cabinet, %s, is already that of %s",
                        file.szFilePath, file.szNameInCab, m_vecFiles[itStored->second].szFilePath);
            ++m_cFailedFiles;
            StepProgress(CABPROGRESS_FILE_STORED);
            continue;
        }
        // Skipped, as an archiver skips its own archive: the old cabinet would go into the new.
        if (opened.fd != -1 && std::find(vecWrittenOver.begin(), vecWrittenOver.end(),
                                         opened.identity) != vecWrittenOver.end()) {
            run.opener.Close(opened.fd);
            DPFLocation(__FILE__, "CCabManager::CompressFiles", __LINE__);
            DPF(DPF_WARN, "%s not stored: it is named as a cabinet of the set being written",
                file.szFilePath);
            StepProgress(CABPROGRESS_FILE_STORED);
            continue;
        }
        // One open answers both whether the file can be read and FCI's request for it.
        if (opened.fd == -1) {
            SetLastError(opened.error);
            DPF_FAIL_AT("CCabManager::CompressFiles", "%s not stored: %s", file.szFilePath,
                        LastErrorText().c_str());
            ++m_cFailedFiles;
            StepProgress(CABPROGRESS_FILE_STORED);
            continue;
        }
        m_source.hf = opened.fd;
        m_source.date = opened.date;
        m_source.time = opened.time;
        m_source.attribs = opened.attribs;
        run.cbSource = opened.size;
        run.fSourceGrew = FALSE;
        SetCurrentFile(file.szNameInCab);
        BOOL fAdded =
            FCIAddFile(m_hfci, file.szFilePath, file.szNameInCab, FALSE, BridgeFciGetNextCabinet,
                       BridgeFciStatus, BridgeFciGetOpenInfo, m_typeCompress);
        // Not asked for (a derived FciGetOpenInfo, or FCI failed before opening).
        if (m_source.hf != -1) {
            run.opener.Close(m_source.hf);
            m_source.hf = -1;
        }
        if (fAdded) {
            ++*pcFilesAdded;
            mapStored.emplace(file.szNameInCab, i);
            // Stored cut short, as tar says of a file that changed as it was read.
            if (run.fSourceGrew) {
                DPF_FAIL_AT("CCabManager::CompressFiles",
                            "%s grew while it was stored: only its first %llu bytes are stored",
                            file.szFilePath, static_cast<unsigned long long>(opened.size));
                ++m_cFailedFiles;
            }
        } else {
            DPF_FAIL_AT(
                "CCabManager::CompressFiles", "FCIAddFile failed for %s. Error was (%d) - %s",
                file.szFilePath, m_erf.erfOper,
                AddFailureText(m_erf.erfOper, GetFciErrorString(), file.szNameInCab, opened.size));
            ++m_cFailedFiles;
        }
        StepProgress(CABPROGRESS_FILE_STORED);
    }

    // Every file refused: a cabinet of none would only replace whatever had the name.
    if (*pcFilesAdded == 0 && m_cFailedFiles != 0 && m_fCancel == 0) {
        DPF_FAIL_AT("CCabManager::CompressFiles", "No file could be stored; %s%s not written",
                    szFolder, szName);
        hr = E_FAIL;
        goto Done;
    }
    fFlushed = FCIFlushCabinet(m_hfci, FALSE, BridgeFciGetNextCabinet, BridgeFciStatus);
    // A stop that came after FCI's last look at the flag still leaves the old cabinet.
    if (fFlushed && m_fCancel != 0) {
        m_erf.erfOper = FCIERR_USER_ABORT;
        m_erf.fError = TRUE;
        fFlushed = FALSE;
    }
    if (!fFlushed) {
        DPF_FAIL_AT("CCabManager::CompressFiles", "FCIFlushCabinet failed. ERF was: (%d) %s",
                    m_erf.erfOper, GetFciErrorString());
        NoteRunFailure("Cabinet %s%s could not be written: %s", szFolder, szName,
                       GetFciErrorString());
        hr = E_FAIL;
        goto Done;
    }
    // Complete: the cabinets take their final names.
    hr = FinishCabinets(S_OK);
    if (FAILED(hr)) {
        NoteRunFailure("Cabinet %s%s could not be written", szFolder, szName);
        goto Done;
    }
    if (m_cFailedFiles != 0) {
        DPF_FAIL_AT("CCabManager::CompressFiles", "%d of %d file(s) could not be stored",
                    m_cFailedFiles, m_cTotalFiles);
        hr = E_FAIL;
        goto Done;
    }
    hr = S_OK;

Done:
    // Whatever is not complete goes; a file already under a final name stays as it was.
    FinishCabinets(E_FAIL);
    // A run that wrote no cabinet leaves no empty folder behind that it made for one.
    if (FAILED(hr) && !strFirstMade.empty())
        RemoveEmptyFolders(strFolder, strFirstMade);
    m_pRun = pOuterRun;
    ReportProgress(CABPROGRESS_COMPRESS_DONE, 0);
    return hr;
}

HRESULT CCabManager::FinishCabinets(HRESULT hr) {
    if (m_pRun == nullptr)
        return hr;
    // Another run writing the same set at the same time names all its parts before or after
    // these, never between them. Without the lock (a file system without locks), still named.
    int hLock = -1;
    if (SUCCEEDED(hr) && !m_pRun->vecPendingCabinets.empty())
        hLock = cab::LockFolderOf(m_pRun->vecPendingCabinets.front().first.c_str());
    for (const auto &[strFinal, strTemp] : m_pRun->vecPendingCabinets) {
        if (SUCCEEDED(hr) &&
            !MoveFileExA(strTemp.c_str(), strFinal.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            DPF_FAIL_AT("CCabManager::CompressFiles", "Could not write %s", strFinal.c_str());
            DPFLastError();
            hr = E_FAIL;
        }
        if (FAILED(hr))
            DeleteFileA(strTemp.c_str());
    }
    cab::UnlockFolder(hLock);
    m_pRun->vecPendingCabinets.clear();
    return hr;
}

HRESULT CCabManager::SplitCabPath(const wchar_t *pwszPath, char *pszFolder, size_t cchFolder,
                                  char *pszName, size_t cchName) {
    char szPath[MAX_PATH] = "";
    if (pwszPath == nullptr || pszFolder == nullptr || pszName == nullptr ||
        ConvertWSTRToPSTR(pwszPath, szPath, MAX_PATH) == 0) {
        DPF_FAIL_AT("CCabManager::SplitCabPath", "ConvertWSTRToPSTR failed");
        return E_FAIL;
    }
    char *pszLast = nullptr;
    for (char *psz = szPath; *psz != '\0'; ++psz) {
        if (cab::IsPathSeparator(*psz))
            pszLast = psz;
    }
    if (pszLast == nullptr) {
        DPF_FAIL_AT("CCabManager::SplitCabPath", "Invalid file name");
        return E_FAIL;
    }
    char chAfter = pszLast[1];
    pszLast[1] = '\0';
    HRESULT hr = StringCchCopyA(pszFolder, cchFolder, szPath);
    pszLast[1] = chAfter;
    if (FAILED(hr)) {
        DPF_FAIL_AT("CCabManager::SplitCabPath", "StringCchCopyN failed");
        return hr;
    }
    hr = StringCchCopyA(pszName, cchName, pszLast + 1);
    if (FAILED(hr)) {
        DPF_FAIL_AT("CCabManager::SplitCabPath", "StringCchCopy failed");
        return hr;
    }
    return S_OK;
}

HRESULT CCabManager::SetCabSettings(const char *pszCabFolder, const char *pszCabName,
                                    int /*nSettingsParam*/) {
    memset(&m_ccab, 0, sizeof(m_ccab));
    m_ccab.cb = m_cbMaxCabinet;
    m_ccab.cbFolderThresh = m_cbFolderThreshold != 0 ? m_cbFolderThreshold : kLargestCabinet;
    // Each set its own ID, so that a part of another set is told apart when read.
    m_ccab.setID = static_cast<USHORT>(std::random_device{}());
    HRESULT hr = StringCchCopyA(m_ccab.szCabPath, sizeof(m_ccab.szCabPath), pszCabFolder);
    if (SUCCEEDED(hr))
        hr = StringCchCopyA(m_ccab.szCab, sizeof(m_ccab.szCab), pszCabName);
    if (FAILED(hr)) {
        DPF_FAIL_AT("CCabManager::SetCabSettings", "StringCchCopyA failed");
        return hr;
    }
    return S_OK;
}

HRESULT CCabManager::SetCompression(TCOMP typeCompress, ULONG cbFolderThreshold) {
    bool fLzx = (typeCompress & ~tcompMASK_LZX_WINDOW) == tcompTYPE_LZX;
    int nWindow = LZXCompressionWindowFromTCOMP(typeCompress);
    bool fMszip = (typeCompress & ~tcompMASK_MSZIP_LEVEL) == tcompTYPE_MSZIP &&
                  MSZIPCompressionLevelFromTCOMP(typeCompress) <= tcompMSZIP_LEVEL_HI;
    if (!(typeCompress == tcompTYPE_NONE || fMszip || (fLzx && nWindow >= 15 && nWindow <= 21))) {
        DPF_FAIL_AT("CCabManager::SetCompression", "Unknown compression type 0x%04X",
                    unsigned(typeCompress));
        return E_INVALIDARG;
    }
    m_typeCompress = typeCompress;
    m_cbFolderThreshold = cbFolderThreshold != 0 || !fLzx ? cbFolderThreshold : kLzxFolderThreshold;
    return S_OK;
}

const char *CCabManager::GetFciErrorString() {
    // Indexed by FCIERR_*.
    static const char *const kTexts[] = {
        "No error",
        "Failure opening file to be stored in cabinet",
        "Failure reading file to be stored in cabinet",
        "Insufficient memory in FCI",
        "Could not create a temporary file",
        "Unknown compression type",
        "Could not create cabinet file",
        "Client requested abort",
        "Failure compressing data",
        "A limit of the cabinet format was reached",
    };
    return ErrorText(kTexts, m_erf.erfOper);
}

INT_PTR CCabManager::FciOpen(char *pszFile, int oflag, int pmode, int *err) {
    // FCI makes its temporary files with _O_EXCL and cabinets without. A cabinet is written
    // under a temporary name beside its own and takes that name only once the set is complete.
    if (m_pRun != nullptr && (oflag & _O_CREAT) != 0 && (oflag & _O_EXCL) == 0) {
        char szTemp[CB_MAX_CAB_PATH + CB_MAX_CABINET_NAME];
        int hf = cab::CreateFileBeside(pszFile, pmode, szTemp, sizeof(szTemp));
        if (hf == -1) {
            *err = errno;
            DPF_FAIL_AT("CCabManager::FciOpen", "Could not create a file beside %s", pszFile);
            DPFLastError();
            return -1;
        }
        try {
            m_pRun->vecPendingCabinets.emplace_back(pszFile, szTemp);
            m_pRun->vecFciFiles.emplace_back(hf, pszFile);
        } catch (const std::bad_alloc &) {
            _close(hf);
            DeleteFileA(szTemp);
            *err = ENOMEM;
            return -1;
        }
        return hf;
    }
    int hf = _open(pszFile, oflag, pmode);
    if (hf == -1) {
        *err = errno;
        // FCI tries other names after a clash; a read-only or full folder is said once.
        if ((oflag & _O_EXCL) != 0 && *err != EEXIST && m_pRun != nullptr &&
            !m_pRun->fTempFailureSaid) {
            m_pRun->fTempFailureSaid = TRUE;
            DPF_FAIL_AT("CCabManager::FciOpen", "Could not create the temporary file %s: %s",
                        pszFile, strerror(*err));
            NoteRunFailure("Could not create the temporary file %s: %s", pszFile, strerror(*err));
        }
        return -1;
    }
    if (m_pRun != nullptr) {
        try {
            m_pRun->vecFciFiles.emplace_back(hf, pszFile);
        } catch (const std::bad_alloc &) {
            // Only a failed write's report goes without the file's name.
        }
    }
    return hf;
}

const char *CCabManager::FciFileName(INT_PTR hf) const {
    if (m_pRun != nullptr) {
        for (const auto &[hfOpen, strName] : m_pRun->vecFciFiles) {
            if (hfOpen == hf)
                return strName.c_str();
        }
    }
    return nullptr;
}

UINT CCabManager::FciRead(INT_PTR hf, void *memory, UINT cb, int *err) {
    if (m_pRun != nullptr && !m_pRun->SettleSource(hf)) {
        *err = errno;
        return UINT(-1);
    }
    UINT cbRead = static_cast<UINT>(_read(static_cast<int>(hf), memory, cb));
    if (cbRead != cb)
        *err = errno;
    return cbRead;
}

UINT CCabManager::FciWrite(INT_PTR hf, void *memory, UINT cb, int *err) {
    UINT cbWritten = static_cast<UINT>(_write(static_cast<int>(hf), memory, cb));
    if (cbWritten != cb) {
        *err = errno;
        DPF_FAIL_AT("CCabManager::FciWrite", "_write failed with error %d", *err);
        if (const char *pszName = FciFileName(hf))
            DPF_FAIL_AT("CCabManager::FciWrite", "Could not write %s: %s", pszName, strerror(*err));
    }
    return cbWritten;
}

int CCabManager::FciClose(INT_PTR hf, int *err) {
    if (m_pRun != nullptr && hf == m_pRun->hfSource) {
        m_pRun->hfSource = -1;
        // FCI read the size it was told; what was written to the file meanwhile is not stored.
        m_pRun->fSourceGrew = cab::DescriptorSize(static_cast<int>(hf)) > int64_t(m_pRun->cbSource);
        m_pRun->opener.Close(static_cast<int>(hf));
        return 0;
    }
    if (m_pRun != nullptr) {
        auto &vecFiles = m_pRun->vecFciFiles;
        vecFiles.erase(std::remove_if(vecFiles.begin(), vecFiles.end(),
                                      [hf](const auto &file) { return file.first == hf; }),
                       vecFiles.end());
    }
    int nResult = _close(static_cast<int>(hf));
    if (nResult != 0) {
        DPF_FAIL_AT("CCabManager::FciClose", "_close failed with error %d", errno);
        *err = errno;
    }
    return nResult;
}

long CCabManager::FciSeek(INT_PTR hf, long dist, int seektype, int *err) {
    // FCI learns a source's size by seeking to its end and back: the open described it already.
    if (m_pRun != nullptr && hf == m_pRun->hfSource && dist == 0 && m_pRun->cbSource <= LONG_MAX &&
        (seektype == SEEK_END || (seektype == SEEK_SET && m_pRun->fSourceAtEnd))) {
        m_pRun->fSourceAtEnd = seektype == SEEK_END;
        return seektype == SEEK_END ? static_cast<long>(m_pRun->cbSource) : 0;
    }
    if (m_pRun != nullptr && !m_pRun->SettleSource(hf)) {
        *err = errno;
        return -1;
    }
    long nPos = _lseek(static_cast<int>(hf), dist, seektype);
    if (nPos == -1) {
        DPF_FAIL_AT("CCabManager::FciSeek", "_lseek failed with error %d", errno);
        *err = errno;
    }
    return nPos;
}

int CCabManager::FciDelete(char *pszFile, int *err) {
    // A cabinet given up: its temporary file goes, what has its final name stays.
    if (m_pRun != nullptr) {
        auto &vecPending = m_pRun->vecPendingCabinets;
        for (auto it = vecPending.begin(); it != vecPending.end(); ++it) {
            if (it->first == pszFile) {
                DeleteFileA(it->second.c_str());
                vecPending.erase(it);
                return 0;
            }
        }
    }
    int nResult = remove(pszFile);
    if (nResult != 0)
        *err = errno;
    return nResult;
}

BOOL CCabManager::FciGetNextCabinet(PCCAB pccab, ULONG /*cbPrevCab*/) {
    return SUCCEEDED(StringCchPrintfA(pccab->szCab, sizeof(pccab->szCab), "%s%03d.cab",
                                      m_szCabBaseName, pccab->iCab))
               ? TRUE
               : FALSE;
}

int CCabManager::FciFilePlaced(PCCAB /*pccab*/, char * /*pszFile*/, long /*cbFile*/,
                               BOOL /*fContinuation*/) {
    return m_fCancel != 0 ? -1 : 0;
}

INT_PTR CCabManager::FciGetOpenInfo(char *pszName, USHORT *pdate, USHORT *ptime, USHORT *pattribs,
                                    int *err) {
    // FCIAddFile asks for the one file it is adding: the one CompressFiles opened, if it did.
    if (m_source.hf != -1) {
        int hf = m_source.hf;
        m_source.hf = -1;
        *pdate = m_source.date;
        *ptime = m_source.time;
        *pattribs = m_source.attribs;
        if (m_pRun != nullptr) {
            m_pRun->hfSource = hf;
            m_pRun->fSourceAtEnd = FALSE;
        }
        return hf;
    }
    BY_HANDLE_FILE_INFORMATION info;
    int hf = cab::OpenWithInformation(pszName, _O_RDONLY | _O_BINARY, 0, &info);
    if (hf == -1) {
        DPF_FAIL_AT("CCabManager::FciGetOpenInfo", "_open failed with error %d", errno);
        *err = errno;
        return hf;
    }
    cab::StampFromInformation(info, pdate, ptime, pattribs);
    return hf;
}

long CCabManager::FciStatus(UINT /*typeStatus*/, ULONG /*cb1*/, ULONG /*cb2*/) {
    return 0;
}

BOOL CCabManager::FciGetTempFile(char *pszTempName, int cbTempName) {
    char *pszName = _tempnam("", "KWB_");
    if (pszName == nullptr) {
        DPF_FAIL_AT("CCabManager::FciGetTempFile", "_tempnam failed");
        return FALSE;
    }
    HRESULT hr = StringCchCopyA(pszTempName, static_cast<size_t>(cbTempName), pszName);
    free(pszName);
    if (FAILED(hr)) {
        DPF_FAIL_AT("CCabManager::FciGetTempFile", "StringCchCopyA failed");
        return FALSE;
    }
    return TRUE;
}

// --- Bridges ---------------------------------------------------------------------------------

INT_PTR CCabManager::BridgeFciOpen(char *pszFile, int oflag, int pmode, int *err, void *pv) {
    return static_cast<CCabManager *>(pv)->FciOpen(pszFile, oflag, pmode, err);
}

UINT CCabManager::BridgeFciRead(INT_PTR hf, void *memory, UINT cb, int *err, void *pv) {
    return static_cast<CCabManager *>(pv)->FciRead(hf, memory, cb, err);
}

UINT CCabManager::BridgeFciWrite(INT_PTR hf, void *memory, UINT cb, int *err, void *pv) {
    return static_cast<CCabManager *>(pv)->FciWrite(hf, memory, cb, err);
}

int CCabManager::BridgeFciClose(INT_PTR hf, int *err, void *pv) {
    return static_cast<CCabManager *>(pv)->FciClose(hf, err);
}

long CCabManager::BridgeFciSeek(INT_PTR hf, long dist, int seektype, int *err, void *pv) {
    return static_cast<CCabManager *>(pv)->FciSeek(hf, dist, seektype, err);
}

int CCabManager::BridgeFciDelete(char *pszFile, int *err, void *pv) {
    return static_cast<CCabManager *>(pv)->FciDelete(pszFile, err);
}

BOOL CCabManager::BridgeFciGetNextCabinet(PCCAB pccab, ULONG cbPrevCab, void *pv) {
    return static_cast<CCabManager *>(pv)->FciGetNextCabinet(pccab, cbPrevCab);
}

int CCabManager::BridgeFciFilePlaced(PCCAB pccab, char *pszFile, long cbFile, BOOL fContinuation,
                                     void *pv) {
    return static_cast<CCabManager *>(pv)->FciFilePlaced(pccab, pszFile, cbFile, fContinuation);
}

INT_PTR CCabManager::BridgeFciGetOpenInfo(char *pszName, USHORT *pdate, USHORT *ptime,
                                          USHORT *pattribs, int *err, void *pv) {
    return static_cast<CCabManager *>(pv)->FciGetOpenInfo(pszName, pdate, ptime, pattribs, err);
}

long CCabManager::BridgeFciStatus(UINT typeStatus, ULONG cb1, ULONG cb2, void *pv) {
    CCabManager *pManager = static_cast<CCabManager *>(pv);
    if (pManager->m_fCancel != 0)
        return -1;
    if (typeStatus == statusFile)
        pManager->StepBytes(cb2);
    return pManager->FciStatus(typeStatus, cb1, cb2);
}

BOOL CCabManager::BridgeFciGetTempFile(char *pszTempName, int cbTempName, void *pv) {
    if (pszTempName == nullptr || cbTempName < 1)
        return FALSE;
    pszTempName[0] = '\0';
    return static_cast<CCabManager *>(pv)->FciGetTempFile(pszTempName, cbTempName);
}

INT_PTR CCabManager::BridgeFdiNotify(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin) {
    CCabManager *pManager = static_cast<CCabManager *>(pfdin->pv);
    pManager->NoteCabinetInfo(fdint, pfdin);
    if (!pManager->CheckNextCabinet(fdint, pfdin))
        return -1;
    return pManager->FdiNotify(fdint, pfdin);
}

INT_PTR CCabManager::BridgeFdiCountNotify(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin) {
    CCabManager *pManager = static_cast<CCabManager *>(pfdin->pv);
    pManager->NoteCabinetInfo(fdint, pfdin);
    if (!pManager->CheckNextCabinet(fdint, pfdin))
        return -1;
    return pManager->FdiCountNotify(fdint, pfdin);
}

INT_PTR CCabManager::BridgeFdiOpen(char *pszFile, int oflag, int pmode) {
    // FDI opens cabinets, for reading: one that is a FIFO or a device is refused, not waited for.
    int hf = (oflag & (_O_WRONLY | _O_RDWR | _O_CREAT)) == 0 ? cab::OpenRegularFile(pszFile)
                                                             : _open(pszFile, oflag, pmode);
    CCabManager *pManager = t_pFdiManager;
    // A missing cabinet is the set's to tell; one that is there and cannot be read is told here,
    // or FDI would call it not found.
    if (hf == -1 && pManager != nullptr && GetLastError() != ERROR_FILE_NOT_FOUND &&
        GetLastError() != ERROR_PATH_NOT_FOUND) {
        std::string strWhy = LastErrorText();
        DPF_FAIL_AT("CCabManager::BridgeFdiOpen", "%s cannot be read: %s", pszFile, strWhy.c_str());
        pManager->NoteRunFailure("%s cannot be read: %s", pszFile, strWhy.c_str());
    }
    // The file of an embedded cabinet reads as if the cabinet began it.
    if (hf == -1 || pManager == nullptr || pManager->m_cbCabinetOffset == 0 ||
        pManager->m_strEmbeddingFile != pszFile)
        return hf;
    try {
        pManager->m_vecEmbeddingHandles.push_back(hf);
    } catch (const std::bad_alloc &) {
        _close(hf);
        return -1;
    }
    if (_lseek(hf, pManager->m_cbCabinetOffset, SEEK_SET) != pManager->m_cbCabinetOffset) {
        BridgeFdiClose(hf);
        return -1;
    }
    return hf;
}

UINT CCabManager::BridgeFdiRead(INT_PTR hf, void *pv, UINT cb) {
    return static_cast<UINT>(_read(static_cast<int>(hf), pv, cb));
}

UINT CCabManager::BridgeFdiWrite(INT_PTR hf, void *pv, UINT cb) {
    CCabManager *pManager = t_pFdiManager;
    UINT cbWritten;
    if (pManager != nullptr && pManager->m_fCancel != 0) {
        // A stop does not wait for a large member to be written out.
        cbWritten = UINT(-1);
    } else if (pManager != nullptr && pManager->m_pRun != nullptr &&
               pManager->m_pRun->output.fd == hf && pManager->m_pRun->finisher.holding()) {
        // A small member is written by the finisher, from a copy.
        cbWritten = pManager->m_pRun->finisher.Hold(pv, cb) ? cb : UINT(-1);
    } else if (hf != kSinkHandle) {
        cbWritten = static_cast<UINT>(_write(static_cast<int>(hf), pv, cb));
    } else if (pManager == nullptr || pManager->m_pRead == nullptr) {
        cbWritten = UINT(-1);
    } else {
        const ReadState &read = *pManager->m_pRead;
        cbWritten = read.pfnSink != nullptr ? read.pfnSink(read.pvContext, pv, cb) : cb;
    }
    if (pManager != nullptr && cbWritten == cb)
        pManager->StepBytes(cb);
    return cbWritten;
}

int CCabManager::BridgeFdiClose(INT_PTR hf) {
    if (hf == kSinkHandle || hf == kHeldHandle)
        return 0;
    if (CCabManager *pManager = t_pFdiManager) {
        std::vector<INT_PTR> &vecHandles = pManager->m_vecEmbeddingHandles;
        vecHandles.erase(std::remove(vecHandles.begin(), vecHandles.end(), hf), vecHandles.end());
    }
    return _close(static_cast<int>(hf));
}

long CCabManager::BridgeFdiSeek(INT_PTR hf, long dist, int seektype) {
    CCabManager *pManager = t_pFdiManager;
    long cbOffset = 0;
    if (pManager != nullptr &&
        std::find(pManager->m_vecEmbeddingHandles.begin(), pManager->m_vecEmbeddingHandles.end(),
                  hf) != pManager->m_vecEmbeddingHandles.end())
        cbOffset = pManager->m_cbCabinetOffset;
    long nPos =
        _lseek(static_cast<int>(hf), seektype == SEEK_SET ? dist + cbOffset : dist, seektype);
    return nPos == -1 ? -1 : nPos - cbOffset;
}

HRESULT CCabManager::LocateCabinet(const char *pszFolder, const char *pszName,
                                   const char *pszFunction) {
    m_cbCabinetOffset = 0;
    m_vecEmbeddingHandles.clear();
    try {
        m_strEmbeddingFile = std::string(pszFolder) + pszName;
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    }
    int hf = _open(m_strEmbeddingFile.c_str(), _O_RDONLY | _O_BINARY);
    if (hf == -1)
        return S_OK;  // FDI reports the file it cannot open.
    // Read in blocks; each keeps the last bytes of the one before, so that a header across
    // their border is seen whole.
    constexpr size_t kBlock = 1 << 16;
    constexpr size_t kHeader = 36;
    std::vector<unsigned char> vecBuffer;
    try {
        vecBuffer.resize(kBlock + kHeader);
    } catch (const std::bad_alloc &) {
        _close(hf);
        return E_OUTOFMEMORY;
    }
    const long cbFile = _lseek(hf, 0, SEEK_END);
    auto u32 = [](const unsigned char *p) {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    };
    HFDI hfdi = nullptr;
    bool fFound = false;
    bool fAtStart = false;
    size_t cbHeld = 0;  // bytes at the start of the buffer kept from the block before
    long cbBase = 0;    // file offset of the buffer's first byte
    if (_lseek(hf, 0, SEEK_SET) == 0) {
        for (;;) {
            int cbRead = _read(hf, vecBuffer.data() + cbHeld, kBlock);
            if (cbRead <= 0)
                break;
            size_t cbHave = cbHeld + size_t(cbRead);
            if (cbBase == 0 && cbHave >= 4 && memcmp(vecBuffer.data(), "MSCF", 4) == 0) {
                fAtStart = true;  // a cabinet from its first byte: FDI judges it, damaged or not
                break;
            }
            size_t i = 0;
            for (; i + kHeader <= cbHave && !fFound; ++i) {
                const unsigned char *p = vecBuffer.data() + i;
                if (p[0] != 'M' || memcmp(p, "MSCF\0\0\0\0", 8) != 0)
                    continue;
                // Signature, version 1.3, and sizes that fit the rest of the file.
                long cbAt = cbBase + long(i);
                uint32_t cbCabinet = u32(p + 8), coffFiles = u32(p + 16);
                if (p[24] != 3 || p[25] != 1 || cbCabinet < kHeader ||
                    uint64_t(cbAt) + cbCabinet > uint64_t(cbFile) || coffFiles >= cbCabinet)
                    continue;
                // What FDI itself makes of the header there.
                if (hfdi == nullptr)
                    hfdi =
                        FDICreate(CabAlloc, CabFree, BridgeFdiOpen, BridgeFdiRead, BridgeFdiWrite,
                                  BridgeFdiClose, BridgeFdiSeek, cpuUNKNOWN, &m_erf);
                if (hfdi == nullptr)
                    break;
                FdiManagerScope scope(this);
                m_cbCabinetOffset = cbAt;
                INT_PTR hfCab = BridgeFdiOpen(m_strEmbeddingFile.data(), _O_RDONLY | _O_BINARY, 0);
                FDICABINETINFO info;
                fFound = hfCab != -1 && FDIIsCabinet(hfdi, hfCab, &info) &&
                         uint64_t(cbAt) + uint64_t(info.cbCabinet) <= uint64_t(cbFile);
                if (hfCab != -1)
                    BridgeFdiClose(hfCab);
                if (!fFound)
                    m_cbCabinetOffset = 0;
            }
            if (fFound)
                break;
            // Keep the tail that might begin a header.
            size_t cbKeep = std::min(cbHave, kHeader - 1);
            memmove(vecBuffer.data(), vecBuffer.data() + cbHave - cbKeep, cbKeep);
            cbBase += long(cbHave - cbKeep);
            cbHeld = cbKeep;
        }
    }
    if (hfdi != nullptr)
        FDIDestroy(hfdi);
    memset(&m_erf, 0, sizeof(m_erf));
    _close(hf);
    if (fAtStart)
        return S_OK;
    if (fFound) {
        DPF(DPF_INFO, "%s: the cabinet begins at offset %ld", m_strEmbeddingFile.c_str(),
            m_cbCabinetOffset);
        return S_OK;
    }
    DPF_FAIL_AT(pszFunction, "%s holds no cabinet", m_strEmbeddingFile.c_str());
    NoteRunFailure("%s holds no cabinet", m_strEmbeddingFile.c_str());
    return E_FAIL;
}

// --- Decompression -------------------------------------------------------------------------

namespace {

// Cabinet names as Windows compares them: ASCII letters in either case.
bool SameCabinetName(const char *pszName, const std::string &strOther) {
    return pszName != nullptr && !strOther.empty() && _stricmp(pszName, strOther.c_str()) == 0;
}

// The part of a name in a cabinet after its last separator.
const char *LeafName(const char *pszName) {
    const char *pszLeaf = pszName;
    for (const char *psz = pszName; *psz != '\0'; ++psz) {
        if (cab::IsPathSeparator(*psz))
            pszLeaf = psz + 1;
    }
    return pszLeaf;
}

// What one FDICopy tells of a cabinet: its set ID and number, and the previous cabinet its
// continued files name.
struct CabinetProbe {
    BOOL fInfo = FALSE;
    USHORT setID = 0;
    USHORT iCabinet = 0;
    char szPrev[CB_MAX_CABINET_NAME] = "";
};

FNFDINOTIFY(ProbeNotify) {
    CabinetProbe *pProbe = static_cast<CabinetProbe *>(pfdin->pv);
    if (fdint == fdintCABINET_INFO && !pProbe->fInfo) {
        pProbe->fInfo = TRUE;
        pProbe->setID = pfdin->setID;
        pProbe->iCabinet = pfdin->iCabinet;
    } else if (fdint == fdintPARTIAL_FILE && pProbe->szPrev[0] == '\0' && pfdin->psz2 != nullptr) {
        StringCchCopyA(pProbe->szPrev, sizeof(pProbe->szPrev), pfdin->psz2);
    }
    return fdint == fdintNEXT_CABINET ? -1 : 0;
}

}  // namespace

const char *CCabManager::GetFdiErrorString() {
    return ErrorText(kFdiErrorTexts, m_erf.erfOper);
}

HRESULT CCabManager::DecompressCabFile(const wchar_t *pwszCabPath,
                                       const wchar_t *pwszDestinationFolder,
                                       const wchar_t *pwszFilters, std::wstring *pstrOutFolder) {
    if (pstrOutFolder == nullptr || pwszDestinationFolder == nullptr || pwszCabPath == nullptr) {
        DPF_FAIL_AT("CCabManager::DecompressCabFile", "Invalid parameter passed");
        return E_INVALIDARG;
    }
    RunningScope running(&m_cRunning, &m_strFailure);
    m_cFailedFiles = 0;
    HRESULT hr = S_OK;
    char szCabFolder[MAX_PATH] = "";
    char szCabName[MAX_PATH] = "";
    size_t cchDest = 0;
    BOOL fCopied = FALSE;
    std::string strCabPath;
    CRunState run;
    CRunState *pOuterRun = m_pRun;
    m_pRun = &run;
    std::wstring strRequested;
    std::wstring strFirstMade;
    ReadState read = {ReadState::kExtract, "CCabManager::DecompressCabFile", nullptr, nullptr,
                      nullptr};

    strCabPath = cab::WideToAcp(pwszCabPath);
    if (!PathFileExistsW(pwszCabPath)) {
        DPF_FAIL_AT("CCabManager::DecompressCabFile", "The cab file does not exist");
        NoteRunFailure("%s does not exist", strCabPath.c_str());
        hr = E_FAIL;
        goto Done;
    }
    // A FIFO would be read once by the counting pass and then wait for ever.
    if (cab::GetPathKind(strCabPath.c_str()) != cab::PathKind::kRegular) {
        DPF_FAIL_AT("CCabManager::DecompressCabFile", "The cab file %s is not a regular file",
                    strCabPath.c_str());
        hr = E_FAIL;
        goto Done;
    }
    EmptyFileList();
    m_cKeptFiles = 0;
    hr = SplitCabPath(pwszCabPath, szCabFolder, MAX_PATH, szCabName, MAX_PATH);
    if (FAILED(hr)) {
        DPF_FAIL_AT("CCabManager::DecompressCabFile", "SplitCabPath failed");
        NoteRunFailure("Cabinet path %s does not name a folder and a file", strCabPath.c_str());
        goto Done;
    }
    run.strCabFolder = szCabFolder;

    // Expanded here, once: the folder made is the folder used.
    *pstrOutFolder = UtilExpandEnvVariable(pwszDestinationFolder);
    if (pstrOutFolder->empty()) {
        DPF_FAIL_AT("CCabManager::DecompressCabFile", "pwszDestinationFolder has zero length");
        m_pRun = pOuterRun;
        return E_INVALIDARG;
    }
    strRequested = WithoutTrailingSlashes(*pstrOutFolder);
    strFirstMade = FirstMissingLevel(strRequested);
    hr = UtilCreateDirectory(pstrOutFolder);
    if (FAILED(hr)) {
        DPF_FAIL_AT("CCabManager::DecompressCabFile", "UtilCreateDirectory failed");
        NoteRunFailure("Folder %s cannot be created", cab::WideToAcp(*pstrOutFolder).c_str());
        goto Done;
    }
    m_szDestFolder[0] = '\0';
    if (ConvertWSTRToPSTR(pstrOutFolder->c_str(), m_szDestFolder, MAX_PATH) == 0) {
        DPF_FAIL_AT("CCabManager::DecompressCabFile", "ConvertWSTRToPSTR failed");
        hr = E_FAIL;
        goto Done;
    }
    cchDest = strlen(m_szDestFolder);
    // Names are joined with '/', so a trailing backslash would make them siblings of the folder.
    if (cchDest != 0 && m_szDestFolder[cchDest - 1] == '\\')
        m_szDestFolder[cchDest - 1] = '/';
    if (cchDest < MAX_PATH - 1 &&
        (cchDest == 0 || !cab::IsPathSeparator(m_szDestFolder[cchDest - 1]))) {
        m_szDestFolder[cchDest] = '/';
        m_szDestFolder[cchDest + 1] = '\0';
    }
    // Everything below is reached from this handle, level by level, never through a link; the
    // destination itself may be one, as the caller chose it.
    run.hDestFolder = cab::OpenFolderHandle(m_szDestFolder);
    if (run.hDestFolder == -1) {
        DPF_FAIL_AT("CCabManager::DecompressCabFile", "Could not open the folder %s",
                    m_szDestFolder);
        DPFLastError();
        hr = E_FAIL;
        goto Done;
    }

    if (!ConvertFilters(pwszFilters, m_szFileFilter, &run.vecFilters)) {
        DPF_FAIL_AT("CCabManager::DecompressCabFile", "ConvertWSTRToPSTR failed. Too many filters");
        hr = E_FAIL;
        goto Done;
    }

    hr = LocateCabinet(szCabFolder, szCabName, "CCabManager::DecompressCabFile");
    if (FAILED(hr))
        goto Done;
    hr = CountCabinetSet(szCabFolder, szCabName, "CCabManager::DecompressCabFile");
    if (FAILED(hr)) {
        NoteRunFailure("%s: %s", strCabPath.c_str(), GetFdiErrorString());
        goto Done;
    }

    // The records the extraction appends, allocated once rather than regrown (and every record
    // copied again) as files arrive; if that fails, growing as they come still works.
    try {
        m_vecFiles.reserve(m_vecFiles.size() + size_t(m_cTotalFiles > 0 ? m_cTotalFiles : 0));
        read.setWritten.reserve(size_t(m_cTotalFiles > 0 ? m_cTotalFiles : 0));
    } catch (const std::exception &) {
    }
    cab::AdviseLargePages(m_vecFiles.data() + m_vecFiles.size(),
                          (m_vecFiles.capacity() - m_vecFiles.size()) * sizeof(CFileInCab));

    memset(&m_erf, 0, sizeof(m_erf));
    m_cbDoneBytes = 0;
    m_hfdi = CreateFdi("CCabManager::DecompressCabFile");
    if (m_hfdi == nullptr) {
        hr = E_FAIL;
        goto Done;
    }
    run.fExtracting = TRUE;
    m_pRead = &read;
    fCopied = CopyCabinetSet(m_hfdi, szCabName, szCabFolder, BridgeFdiNotify);
    run.finisher.Drain();
    ReportUnnamedFiles();
    if (!fCopied) {
        DPF_FAIL_AT("CCabManager::DecompressCabFile", "FDICopy failed. Error (%d) - %s",
                    m_erf.erfOper, GetFdiErrorString());
        NoteRunFailure("%s: %s", strCabPath.c_str(), GetFdiErrorString());
        hr = E_FAIL;
    } else {
        if (m_cKeptFiles != 0) {
            DPF_FAIL_AT("CCabManager::DecompressCabFile", "%d existing file(s) not replaced",
                        m_cKeptFiles);
            hr = E_FAIL;
        }
        if (m_cFailedFiles != 0 || run.fStartMissing) {
            DPF_FAIL_AT("CCabManager::DecompressCabFile", "%d of %d file(s) could not be extracted",
                        m_cFailedFiles, m_cTotalFiles);
            hr = E_FAIL;
        }
    }

Done:
    // A member not complete when the run ended leaves nothing behind, not even a part of it.
    if (run.output.fd != -1 && m_fCancel == 0 && !m_vecFiles.empty()) {
        DPF_FAIL_AT("CCabManager::DecompressCabFile",
                    "%s not extracted: it could not be written whole",
                    m_vecFiles.back().szFilePath);
    }
    DiscardOutput();
    if (m_hfdi != nullptr) {
        FDIDestroy(m_hfdi);
        m_hfdi = nullptr;
    }
    m_pRun = pOuterRun;
    m_pRead = nullptr;
    // A failed run leaves no empty destination behind that it made itself.
    if (FAILED(hr) && !strFirstMade.empty() &&
        WithoutTrailingSlashes(*pstrOutFolder) == strRequested)
        RemoveEmptyFolders(strRequested, strFirstMade);
    ReportProgress(CABPROGRESS_DECOMPRESS_DONE, 0);
    return hr;
}

HFDI CCabManager::CreateFdi(const char *pszFunction) {
    HFDI hfdi = FDICreate(CabAlloc, CabFree, BridgeFdiOpen, BridgeFdiRead, BridgeFdiWrite,
                          BridgeFdiClose, BridgeFdiSeek, cpuUNKNOWN, &m_erf);
    if (hfdi == nullptr) {
        DPF_FAIL_AT(pszFunction, "FDICreate failed. Error (%d) - %s", m_erf.erfOper,
                    GetFdiErrorString());
    }
    return hfdi;
}

HRESULT CCabManager::SetDecompressedFilesCount(const char *pszCabFolder, const char *pszCabName) {
    m_cTotalFiles = 0;
    HFDI hfdi = CreateFdi("CCabManager::SetDecompressedFilesCount");
    if (hfdi == nullptr)
        return E_FAIL;
    HRESULT hr = S_OK;
    // A set cut short is counted up to the cut: the files before it can still be read.
    if (!CopyCabinetSet(hfdi, pszCabName, pszCabFolder, BridgeFdiCountNotify) &&
        (m_pRun == nullptr || !m_pRun->fSetCut)) {
        DPF_FAIL_AT("CCabManager::SetDecompressedFilesCount", "FDICopy failed. Error (%d) - %s",
                    m_erf.erfOper, GetFdiErrorString());
        hr = E_FAIL;
    }
    FDIDestroy(hfdi);
    return hr;
}

HRESULT CCabManager::CountCabinetSet(const char *pszCabFolder, char *pszCabName,
                                     const char *pszFunction) {
    HRESULT hr = SetDecompressedFilesCount(pszCabFolder, pszCabName);
    // A cabinet that continues a set: from its first cabinet, when that is there.
    if (SUCCEEDED(hr) && m_pRun->iFirstCabinet > 0) {
        char szGiven[MAX_PATH];
        StringCchCopyA(szGiven, MAX_PATH, pszCabName);
        hr = FindFirstCabinet(pszCabFolder, pszCabName, MAX_PATH);
        if (SUCCEEDED(hr) && strcmp(szGiven, pszCabName) != 0)
            hr = SetDecompressedFilesCount(pszCabFolder, pszCabName);
    }
    if (FAILED(hr))
        DPF_FAIL_AT(pszFunction, "SetFilesCount failed");
    return hr;
}

HRESULT CCabManager::FindFirstCabinet(const char *pszCabFolder, char *pszCabName,
                                      size_t cchCabName) {
    CRunState &run = *m_pRun;
    HFDI hfdi = CreateFdi("CCabManager::FindFirstCabinet");
    if (hfdi == nullptr)
        return E_FAIL;
    // Each step goes to an earlier cabinet of the same set in the same folder, so the walk ends.
    std::string strStart = pszCabName;
    std::string strPrev = run.strFirstPrev;
    USHORT iCabinet = run.iFirstCabinet;
    while (iCabinet > 0 && IsPlainFileName(strPrev.c_str())) {
        char szPrev[MAX_PATH];
        char szFolder[MAX_PATH];
        CabinetProbe probe;
        if (FAILED(StringCchCopyA(szPrev, MAX_PATH, strPrev.c_str())) ||
            FAILED(StringCchCopyA(szFolder, MAX_PATH, pszCabFolder)) ||
            cab::GetPathKind((std::string(pszCabFolder) + strPrev).c_str()) !=
                cab::PathKind::kRegular ||
            !FDICopy(hfdi, szPrev, szFolder, 0, ProbeNotify, nullptr, &probe) || !probe.fInfo ||
            probe.setID != run.firstSetID || probe.iCabinet >= iCabinet)
            break;
        strStart = strPrev;
        strPrev = probe.szPrev;
        iCabinet = probe.iCabinet;
    }
    FDIDestroy(hfdi);
    if (iCabinet > 0) {
        run.fStartMissing = TRUE;
        if (strPrev.empty()) {
            DPF_FAIL_AT("CCabManager::FindFirstCabinet",
                        "Cabinet %s is part %d of a set and does not name the one before it",
                        strStart.c_str(), iCabinet);
            NoteRunFailure("%s%s is part %d of a set whose earlier parts are missing", pszCabFolder,
                           strStart.c_str(), iCabinet);
        } else {
            DPF_FAIL_AT("CCabManager::FindFirstCabinet",
                        "Cabinet %s continues %s, which is missing or not of the same set",
                        strStart.c_str(), strPrev.c_str());
            NoteRunFailure("%s%s continues %s, which is missing or not of the same set",
                           pszCabFolder, strStart.c_str(), strPrev.c_str());
        }
    }
    return StringCchCopyA(pszCabName, cchCabName, strStart.c_str());
}

void CCabManager::NoteCabinetInfo(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin) {
    if (fdint != fdintCABINET_INFO || m_fCabinetInfoSeen)
        return;
    m_fCabinetInfoSeen = TRUE;
    if (FAILED(StringCchCopyA(m_szNextCabinet, sizeof(m_szNextCabinet), pfdin->psz1))) {
        m_szNextCabinet[0] = '\0';
    }
}

// The reader checks every cabinet it goes on into within one FDICopy; this checks the cabinet of
// each later FDICopy over the set against the one before, the same way.
BOOL CCabManager::CheckNextCabinet(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin) {
    CRunState *pRun = m_pRun;
    if (pRun == nullptr)
        return TRUE;
    try {
        switch (fdint) {
            case fdintCABINET_INFO:
                if (pRun->fInfoSeen)
                    return TRUE;
                pRun->fInfoSeen = TRUE;
                pRun->setID = pfdin->setID;
                pRun->iCabinet = pfdin->iCabinet;
                if (pRun->cCopies > 0 && (pfdin->setID != pRun->lastSetID ||
                                          pfdin->iCabinet != pRun->lastICabinet + 1)) {
                    pRun->fWrongCabinet = TRUE;
                    return FALSE;
                }
                return TRUE;
            case fdintPARTIAL_FILE:
                if (pRun->strPrev.empty() && pfdin->psz2 != nullptr)
                    pRun->strPrev = pfdin->psz2;
                // The previous cabinet named is the one before, or the one that one continues
                // (writers differ).
                if (pRun->cCopies > 0 && !SameCabinetName(pfdin->psz2, pRun->strLastCabinet) &&
                    !SameCabinetName(pfdin->psz2, pRun->strLastPrev)) {
                    pRun->fWrongCabinet = TRUE;
                    return FALSE;
                }
                // The first cabinet read continues a set whose earlier parts are not here.
                if (pRun->cCopies == 0 && m_pRead != nullptr)
                    NoteMissingStart(pfdin);
                return TRUE;
            case fdintNEXT_CABINET:
                // FDI opens it itself to go on with a file: only a cabinet of the same folder.
                if (pfdin->psz1 == nullptr || !IsPlainFileName(pfdin->psz1)) {
                    pRun->fInvalidNext = TRUE;
                    pRun->fdieNext = FDIERROR_WRONG_CABINET;
                    return FALSE;
                }
                if (pfdin->fdie != FDIERROR_NONE) {
                    pRun->fdieNext = pfdin->fdie;
                    pRun->strNext = pfdin->psz1 != nullptr ? pfdin->psz1 : "";
                }
                return TRUE;
            default:
                return TRUE;
        }
    } catch (const std::bad_alloc &) {
        return FALSE;
    }
}

void CCabManager::NoteMissingStart(PFDINOTIFICATION pfdin) {
    ReadState &read = *m_pRead;
    if (!CheckFileSpecMatch(pfdin->psz1))
        return;
    if (read.nMode == ReadState::kSink && read.pfnMember != nullptr) {
        CABMEMBER member = {pfdin->psz1, 0, 0, 0, 0};
        if (!read.pfnMember(read.pvContext, &member))
            return;
    }
    static const char *const kNot[] = {"not listed", "not tested", "not written", "not extracted"};
    DPF_FAIL_AT(read.pszFunction, "%s %s: it begins in the missing cabinet %s", pfdin->psz1,
                kNot[read.nMode], pfdin->psz2 != nullptr ? pfdin->psz2 : "");
    if (read.nMode == ReadState::kExtract)
        ++m_cFailedFiles;
}

BOOL CCabManager::CopyCabinetSet(HFDI hfdi, const char *pszCabName, const char *pszCabFolder,
                                 PFNFDINOTIFY pfnNotify) {
    char szName[MAX_PATH];
    char szFolder[MAX_PATH];
    if (FAILED(StringCchCopyA(szName, MAX_PATH, pszCabName)) ||
        FAILED(StringCchCopyA(szFolder, MAX_PATH, pszCabFolder))) {
        m_erf.erfOper = FDIERROR_CABINET_NOT_FOUND;
        m_erf.fError = TRUE;
        return FALSE;
    }
    CRunState *pRun = m_pRun;
    if (pRun != nullptr) {
        pRun->cCopies = 0;
        pRun->fSetCut = FALSE;
        pRun->fWrongCabinet = FALSE;
        pRun->fdieNext = FDIERROR_NONE;
        if (!pRun->fExtracting)
            pRun->vecSetCabinets.clear();
    }
    // FDICopy offers only the files that begin in the cabinet it is given, so each further
    // cabinet of the set is copied in turn.
    std::vector<std::string> vecSeen;
    FdiManagerScope scope(this);
    auto InvalidNext = [&]() {
        if (m_pRead != nullptr) {
            DPF_FAIL_AT("CCabManager::CopyCabinetSet", "Invalid next cabinet %s after %s",
                        m_szNextCabinet, szName);
            NoteRunFailure("%s%s names an invalid next cabinet %s", szFolder, szName,
                           m_szNextCabinet);
        }
        if (pRun != nullptr)
            pRun->fSetCut = TRUE;
        m_erf.erfOper = FDIERROR_WRONG_CABINET;
        m_erf.fError = TRUE;
        return FALSE;
    };
    for (;;) {
        m_fCabinetInfoSeen = FALSE;
        m_szNextCabinet[0] = '\0';
        if (m_pRead != nullptr)
            m_pRead->iOffered = -1;
        if (pRun != nullptr) {
            pRun->fInfoSeen = FALSE;
            pRun->fInvalidNext = FALSE;
            pRun->strPrev.clear();
        }
        if (!FDICopy(hfdi, szName, szFolder, 0, pfnNotify, nullptr, this)) {
            // FDICopy stops at a member it cannot decode or write: that one is named, and the
            // same cabinet read again from the member after it.
            if (NoteDamagedFile())
                continue;
            if (pRun != nullptr && pRun->fInvalidNext && m_fCancel == 0)
                return InvalidNext();
            // A later cabinet that cannot be opened or is not the next part ends the set there:
            // the counting pass (no m_pRead) keeps what it counted before it, and the reading
            // pass reads up to it and then fails, naming it.
            bool fCut = pRun != nullptr && !vecSeen.empty() && m_fCancel == 0 &&
                        (pRun->fWrongCabinet || !pRun->fInfoSeen);
            bool fQuiet = fCut && m_pRead == nullptr;
            if (m_fCancel != 0) {
                m_erf.erfOper = FDIERROR_USER_ABORT;
            } else if (pRun != nullptr && pRun->fWrongCabinet) {
                if (!fQuiet)
                    DPF_FAIL_AT("CCabManager::CopyCabinetSet",
                                "Cabinet %s is not the next part of the set after %s", szName,
                                pRun->strLastCabinet.c_str());
                m_erf.erfOper = FDIERROR_WRONG_CABINET;
            } else if (pRun != nullptr && pRun->fdieNext != FDIERROR_NONE) {
                DPF_FAIL_AT("CCabManager::CopyCabinetSet",
                            pRun->fdieNext == FDIERROR_WRONG_CABINET
                                ? "Cabinet %s is not the next part of the set"
                                : "Next cabinet %s could not be opened",
                            pRun->strNext.c_str());
                m_erf.erfOper = pRun->fdieNext;
            } else if (fCut && !fQuiet) {
                DPF_FAIL_AT("CCabManager::CopyCabinetSet", "Next cabinet %s could not be opened",
                            szName);
            }
            m_erf.fError = TRUE;
            if (fCut) {
                pRun->fSetCut = TRUE;
                if (!fQuiet)
                    NoteRunFailure("%s%s: %s", szFolder, szName, GetFdiErrorString());
            }
            return FALSE;
        }
        if (m_pRead != nullptr) {
            m_pRead->iDealtWith = -1;
            m_pRead->vecDamagedFolders.clear();
            m_pRead->cCopiesAgain = 0;
        }
        try {
            if (pRun != nullptr) {
                if (pRun->cCopies++ == 0) {
                    pRun->firstSetID = pRun->setID;
                    pRun->iFirstCabinet = pRun->iCabinet;
                    pRun->strFirstPrev = pRun->strPrev;
                }
                pRun->lastSetID = pRun->setID;
                pRun->lastICabinet = pRun->iCabinet;
                pRun->strLastCabinet = szName;
                pRun->strLastPrev = pRun->strPrev;
                if (!pRun->fExtracting)
                    pRun->vecSetCabinets.emplace_back(szName);
            }
            if (m_szNextCabinet[0] == '\0')
                return TRUE;
            vecSeen.emplace_back(szName);
        } catch (const std::bad_alloc &) {
            m_erf.erfOper = FDIERROR_ALLOC_FAIL;
            m_erf.fError = TRUE;
            return FALSE;
        }
        bool fLoop = false;
        for (const std::string &strSeen : vecSeen)
            fLoop = fLoop || strSeen == m_szNextCabinet;
        // The next cabinet is read from the same folder, and each only once.
        if (fLoop || !IsPlainFileName(m_szNextCabinet))
            return InvalidNext();
        StringCchCopyA(szName, MAX_PATH, m_szNextCabinet);
    }
}

INT_PTR CCabManager::FdiCountNotify(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin) {
    if (m_fCancel != 0)
        return -1;
    if (fdint == fdintCOPY_FILE) {
        ++m_cTotalFiles;
        m_cbTotalBytes += uint64_t(std::max(pfdin->cb, 0L));
        return 0;
    }
    // A file begun in a missing earlier part is one of the set's files too.
    if (fdint == fdintPARTIAL_FILE && m_pRun != nullptr && m_pRun->cCopies == 0)
        ++m_cTotalFiles;
    // Answering 0 again after a failed attempt would retry the missing cabinet for ever.
    if (fdint == fdintNEXT_CABINET && pfdin->fdie != FDIERROR_NONE)
        return -1;
    return 0;
}

// --- Listing, testing and writing to a sink ------------------------------------------------

HRESULT CCabManager::ListCabinet(const wchar_t *pwszCabPath, const wchar_t *pwszFilters,
                                 PFNCABMEMBER pfnMember, void *pvContext) {
    ReadState read = {ReadState::kList, "CCabManager::ListCabinet", pfnMember, nullptr, pvContext};
    return ReadCabinet(pwszCabPath, pwszFilters, &read);
}

HRESULT CCabManager::TestCabinet(const wchar_t *pwszCabPath, const wchar_t *pwszFilters,
                                 int *pcTested, int *pcDamaged) {
    ReadState read = {ReadState::kTest, "CCabManager::TestCabinet", nullptr, nullptr, nullptr};
    HRESULT hr = ReadCabinet(pwszCabPath, pwszFilters, &read);
    if (pcTested != nullptr)
        *pcTested = read.cTaken;
    if (pcDamaged != nullptr)
        *pcDamaged = read.cDamaged;
    if (SUCCEEDED(hr) && read.cDamaged != 0) {
        DPF_FAIL_AT("CCabManager::TestCabinet", "%d of %d file(s) damaged", read.cDamaged,
                    read.cTaken);
        hr = E_FAIL;
    }
    return hr;
}

HRESULT CCabManager::ExtractToSink(const wchar_t *pwszCabPath, const wchar_t *pwszFilters,
                                   PFNCABMEMBER pfnMember, PFNCABSINK pfnSink, void *pvContext) {
    ReadState read = {ReadState::kSink, "CCabManager::ExtractToSink", pfnMember, pfnSink,
                      pvContext};
    return ReadCabinet(pwszCabPath, pwszFilters, &read);
}

HRESULT CCabManager::ReadCabinet(const wchar_t *pwszCabPath, const wchar_t *pwszFilters,
                                 ReadState *pRead) {
    const char *pszFunction = pRead->pszFunction;
    bool fList = pRead->nMode == ReadState::kList;
    if (pwszCabPath == nullptr || (fList && pRead->pfnMember == nullptr) ||
        (pRead->nMode == ReadState::kSink && pRead->pfnSink == nullptr)) {
        DPF_FAIL_AT(pszFunction, "Invalid parameter passed");
        return E_INVALIDARG;
    }
    RunningScope running(&m_cRunning, &m_strFailure);
    HRESULT hr = S_OK;
    HFDI hfdi = nullptr;
    char szCabFolder[MAX_PATH] = "";
    char szCabName[MAX_PATH] = "";
    CRunState run;
    CRunState *pOuterRun = m_pRun;
    m_pRun = &run;
    // A bare file name is a cabinet in the current folder.
    std::wstring strPath = pwszCabPath;
    if (std::none_of(strPath.begin(), strPath.end(),
                     [](wchar_t ch) { return cab::IsPathSeparator(ch); }))
        strPath.insert(0, L"./");

    if (!PathFileExistsW(strPath.c_str())) {
        DPF_FAIL_AT(pszFunction, "The cab file does not exist");
        NoteRunFailure("%s does not exist", cab::WideToAcp(pwszCabPath).c_str());
        hr = E_FAIL;
        goto Done;
    }
    if (cab::GetPathKind(cab::WideToAcp(strPath).c_str()) != cab::PathKind::kRegular) {
        DPF_FAIL_AT(pszFunction, "The cab file %s is not a regular file",
                    cab::WideToAcp(strPath).c_str());
        hr = E_FAIL;
        goto Done;
    }
    hr = SplitCabPath(strPath.c_str(), szCabFolder, MAX_PATH, szCabName, MAX_PATH);
    if (FAILED(hr)) {
        DPF_FAIL_AT(pszFunction, "SplitCabPath failed");
        goto Done;
    }
    if (!ConvertFilters(pwszFilters, m_szFileFilter, &run.vecFilters)) {
        DPF_FAIL_AT(pszFunction, "ConvertWSTRToPSTR failed. Too many filters");
        hr = E_FAIL;
        goto Done;
    }
    hr = LocateCabinet(szCabFolder, szCabName, pszFunction);
    if (FAILED(hr))
        goto Done;
    // Counted (file tables only) also for a listing, which starts where the set starts too.
    hr = CountCabinetSet(szCabFolder, szCabName, pszFunction);
    if (FAILED(hr))
        goto Done;

    m_cDoneFiles = 0;
    m_nLastPercent = 0;
    m_cbDoneBytes = 0;
    memset(&m_erf, 0, sizeof(m_erf));
    hfdi = CreateFdi(pszFunction);
    if (hfdi == nullptr) {
        hr = E_FAIL;
        goto Done;
    }
    m_pRead = pRead;
    if (!CopyCabinetSet(hfdi, szCabName, szCabFolder, BridgeFdiReadNotify)) {
        DPF_FAIL_AT(pszFunction, "FDICopy failed. Error (%d) - %s", m_erf.erfOper,
                    GetFdiErrorString());
        hr = E_FAIL;
    } else if (run.fStartMissing) {
        hr = E_FAIL;
    }
    m_pRead = nullptr;
    FDIDestroy(hfdi);

Done:
    m_pRun = pOuterRun;
    ReportProgress(CABPROGRESS_DECOMPRESS_DONE, 0);
    return hr;
}

INT_PTR CCabManager::BridgeFdiReadNotify(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin) {
    CCabManager *pManager = static_cast<CCabManager *>(pfdin->pv);
    pManager->NoteCabinetInfo(fdint, pfdin);
    if (!pManager->CheckNextCabinet(fdint, pfdin))
        return -1;
    return pManager->FdiReadNotify(fdint, pfdin);
}

INT_PTR CCabManager::FdiReadNotify(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin) {
    ReadState &read = *m_pRead;
    if (m_fCancel != 0)
        return -1;
    switch (fdint) {
        case fdintCOPY_FILE: {
            if (++read.iOffered <= read.iDealtWith || !CheckFileSpecMatch(pfdin->psz1))
                return 0;
            CABMEMBER member = {pfdin->psz1, ULONG(std::max(pfdin->cb, 0L)), pfdin->date,
                                pfdin->time, pfdin->attribs};
            if (read.nMode == ReadState::kList) {
                read.pfnMember(read.pvContext, &member);
                return 0;
            }
            if (read.pfnMember != nullptr && !read.pfnMember(read.pvContext, &member))
                return 0;
            ++read.cTaken;
            if (const char *pszWhy = FollowsDamage(pfdin->iFolder)) {
                DPF_FAIL_AT(read.pszFunction, "%s not tested: %s", pfdin->psz1, pszWhy);
                ++read.cDamaged;
                return 0;
            }
            read.iOpen = read.iOffered;
            read.iOpenFolder = pfdin->iFolder;
            SetCurrentFile(pfdin->psz1);
            StepProgress(CABPROGRESS_FILE_EXTRACTED);
            return kSinkHandle;
        }
        case fdintCLOSE_FILE_INFO:
            read.iOpen = -1;
            return TRUE;
        case fdintNEXT_CABINET:
            if (pfdin->fdie != FDIERROR_NONE) {
                DPF_FAIL_AT(read.pszFunction, "Next cabinet %s could not be opened",
                            pfdin->psz1 != nullptr ? pfdin->psz1 : "");
                return -1;
            }
            return 0;
        default:
            return 0;
    }
}

BOOL CCabManager::NoteDamagedFile() {
    ReadState *pRead = m_pRead;
    if (pRead == nullptr || pRead->nMode == ReadState::kSink || pRead->iOpen < 0 || m_fCancel != 0)
        return FALSE;
    // A full disk leaves the data readable; anything else leaves the rest of the folder unknown.
    const char *pszWhy =
        m_erf.erfOper == FDIERROR_TARGET_FILE ? "it could not be written" : "its data is damaged";
    if (m_pRun != nullptr && m_pRun->fdieNext != FDIERROR_NONE) {
        pszWhy = m_pRun->fdieNext == FDIERROR_WRONG_CABINET
                     ? "the cabinet it goes on in is not the next part of the set"
                     : "the cabinet it goes on in could not be opened";
        m_erf.erfOper = m_pRun->fdieNext;
        m_pRun->fdieNext = FDIERROR_NONE;
    }
    if (pRead->nMode == ReadState::kExtract) {
        // FDI has closed the file: what it holds is partial.
        DiscardOutput();
        ForgetMember(pRead->strOpenPath);
        ++m_cFailedFiles;
        DPF_FAIL_AT(pRead->pszFunction, "%s not extracted: %s. Error (%d) - %s",
                    pRead->strOpenName.c_str(), pszWhy, m_erf.erfOper, GetFdiErrorString());
    } else {
        DPF_FAIL_AT(pRead->pszFunction, "%s is damaged. Error (%d) - %s", m_szCurrentFile,
                    m_erf.erfOper, GetFdiErrorString());
    }
    ++pRead->cDamaged;
    pRead->iDealtWith = pRead->iOpen;
    pRead->iOpen = -1;
    if (m_erf.erfOper != FDIERROR_TARGET_FILE) {
        try {
            pRead->vecDamagedFolders.push_back(pRead->iOpenFolder);
        } catch (const std::bad_alloc &) {
            pRead->cCopiesAgain = kMostCopiesAgain;
        }
    }
    ++pRead->cCopiesAgain;
    memset(&m_erf, 0, sizeof(m_erf));
    return TRUE;
}

// Why a member of a damaged cabinet is not decoded at all, or null: it follows damaged data in
// its folder, or the cabinet has been copied again too often (each copy re-reads its file table,
// so a cabinet of many damaged members could take hours).
const char *CCabManager::FollowsDamage(int iFolder) const {
    const ReadState &read = *m_pRead;
    if (read.cCopiesAgain >= kMostCopiesAgain)
        return "the cabinet holds too much damaged data before it";
    if (std::find(read.vecDamagedFolders.begin(), read.vecDamagedFolders.end(), iFolder) !=
        read.vecDamagedFolders.end())
        return "it follows damaged data in the cabinet";
    return nullptr;
}

// --- Extraction callbacks ------------------------------------------------------------------

INT_PTR CCabManager::FdiNotify(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin) {
    if (m_fCancel != 0) {
        if (fdint == fdintCLOSE_FILE_INFO) {
            BridgeFdiClose(pfdin->hf);
            DiscardOutput();
        }
        return -1;
    }
    switch (fdint) {
        case fdintCOPY_FILE:
            return FdiOnCopyFile(pfdin);
        case fdintCLOSE_FILE_INFO:
            return FdiOnCloseFileInfo(pfdin);
        case fdintNEXT_CABINET:
            // Reported by CopyCabinetSet once FDICopy has given up.
            return pfdin->fdie != FDIERROR_NONE ? -1 : 0;
        default:
            return 0;
    }
}

void CCabManager::RefuseMember(const char *pszName, const char *pszReason) {
    DPF_FAIL_AT("CCabManager::FdiOnCopyFile", "%s not extracted: %s", pszName, pszReason);
    ++m_cFailedFiles;
}

void CCabManager::DiscardOutput() {
    if (m_pRun == nullptr || m_pRun->output.fd == -1)
        return;
    // The descriptor is closed already (by FDI, or at a stop); only a temporary name is left.
    cab::DiscardPendingFile(m_pRun->hOutputFolder, &m_pRun->output);
    m_pRun->output.fd = -1;
}

// A member that cannot be written is named and skipped (0), and the others are extracted; only a
// cancel (FdiNotify) stops FDI.
INT_PTR CCabManager::FdiOnCopyFile(PFDINOTIFICATION pfdin) {
    ReadState &read = *m_pRead;
    CRunState &run = *m_pRun;
    ReportUnnamedFiles();
    if (++read.iOffered <= read.iDealtWith || !CheckFileSpecMatch(pfdin->psz1))
        return 0;
    const char *pszName = pfdin->psz1;
    const char *pszWhy = FollowsDamage(pfdin->iFolder);
    std::string strName;
    char szPath[MAX_PATH];
    HRESULT hr = S_OK;
    if (pszWhy != nullptr || !MemberDiskName(pszName, &strName, &pszWhy)) {
        // pszWhy says why.
    } else if (read.setWritten.count(strName) != 0) {
        pszWhy = "an earlier member of the cabinet has the same name";
    } else if (FAILED(
                   StringCchPrintfA(szPath, MAX_PATH, "%s%s", m_szDestFolder, strName.c_str()))) {
        pszWhy = "its path below the destination is longer than 259 bytes";
    } else if (FAILED(hr = PrepareDestination(strName.c_str()))) {
        pszWhy = hr == kNotAFolder ? "a folder on its path is a link or not a folder"
                                   : "its folder cannot be created";
    } else if (run.ReplacesCabinet(LeafName(szPath))) {
        pszWhy = "it would replace a cabinet being read";
    } else if (m_fKeepExisting && cab::NameExists(run.OutputFolder(), LeafName(szPath))) {
        DPF_FAIL_AT("CCabManager::FdiOnCopyFile", "%s exists; not replaced", szPath);
        ++m_cKeptFiles;
        ++m_cFailedFiles;
        return 0;
    } else if (run.finisher.Reserve(pfdin->cb >= 0 ? size_t(pfdin->cb) : SIZE_MAX)) {
        // Held in memory, then created whole by the finisher.
        run.output.fd = kHeldHandle;
    } else if (!cab::CreatePendingFile(run.OutputFolder(), &run.output)) {
        // The member has no name until it is complete: a stop or a failure leaves the file that
        // was there before, never a partial one.
        pszWhy = "";
    }
    if (pszWhy != nullptr) {
        RefuseMember(pszName, pszWhy[0] != '\0' ? pszWhy : LastErrorText().c_str());
        return 0;
    }
    run.hOutputFolder = run.OutputFolder();
    int hf = run.output.fd;
    try {
        const std::string &strDiskName = *read.setWritten.insert(std::move(strName)).first;
        read.strOpenName = pszName;
        read.strOpenPath = szPath;
        // The record keeps the member's name, so the list can be packed again as it was; both
        // strings fit, as the path did. Made in place: a copy wrote all its 520 bytes to memory
        // not yet in the cache, for the hundred or so the names take.
        m_vecFiles.emplace_back().Initialize(szPath, strDiskName.c_str());
    } catch (const std::bad_alloc &) {
        BridgeFdiClose(hf);
        DiscardOutput();
        RefuseMember(pszName, "out of memory");
        return 0;
    }
    read.iOpen = read.iOffered;
    read.iOpenFolder = pfdin->iFolder;
    SetCurrentFile(pfdin->psz1);
    StepProgress(CABPROGRESS_FILE_EXTRACTED);
    return hf;
}

INT_PTR CCabManager::FdiOnCloseFileInfo(PFDINOTIFICATION pfdin) {
    int hf = static_cast<int>(pfdin->hf);
    FILETIME ftLocal;
    FILETIME ftUtc;
    BOOL fTime = DosDateTimeToFileTime(pfdin->date, pfdin->time, &ftLocal) &&
                 LocalFileTimeToFileTime(&ftLocal, &ftUtc);
    DWORD dwAttributes = pfdin->attribs & kAttributeMask;
    CRunState *pRun = m_pRun;
    if (pRun == nullptr || pRun->output.fd != hf) {
        // A handle of a derived class's own making.
        if (fTime)
            cab::SetDescriptorTime(hf, nullptr, &ftUtc);
        cab::SetDescriptorAttributes(hf, dwAttributes);
        _close(hf);
        return TRUE;
    }
    m_pRead->iOpen = -1;
    // Timed, named and closed by the finisher while the next member is written; a failure is
    // reported at the next member or at the end of the run.
    pRun->finisher.Finish(hf == kHeldHandle ? cab::PendingFile{} : pRun->output,
                          pRun->hOutputFolder, m_pRead->strOpenPath.c_str(),
                          fTime ? &ftUtc : nullptr, dwAttributes, !m_fKeepExisting, pfdin->psz1);
    pRun->output = cab::PendingFile{};
    return TRUE;
}

void CCabManager::ForgetMember(const std::string &strPath) {
    m_pRead->setWritten.erase(strPath.substr(strlen(m_szDestFolder)));
    for (size_t i = m_vecFiles.size(); i-- > 0;) {
        if (strPath == m_vecFiles[i].szFilePath) {
            m_vecFiles.erase(m_vecFiles.begin() + static_cast<ptrdiff_t>(i));
            break;
        }
    }
}

void CCabManager::ReportUnnamedFiles() {
    std::vector<cab::FileFinisher::Failure> vecFailures;
    int cUnrecorded = 0;
    if (m_pRun == nullptr || !m_pRun->finisher.TakeFailures(&vecFailures, &cUnrecorded))
        return;
    for (const cab::FileFinisher::Failure &failure : vecFailures) {
        if (failure.step == cab::FileFinisher::Step::kCreate) {
            ForgetMember(failure.path);
            SetLastError(failure.error);
            RefuseMember(failure.member.c_str(), LastErrorText().c_str());
        } else if (failure.step == cab::FileFinisher::Step::kWrite) {
            // As when FDI cannot write a member: its record goes, and a later member of the
            // same name may still be extracted.
            ForgetMember(failure.path);
            ++m_cFailedFiles;
            DPF_FAIL_AT("CCabManager::DecompressCabFile", "%s not extracted: %s. Error (%d) - %s",
                        failure.member.c_str(), "it could not be written", FDIERROR_TARGET_FILE,
                        ErrorText(kFdiErrorTexts, FDIERROR_TARGET_FILE));
        } else if (m_fKeepExisting && failure.error == ERROR_ALREADY_EXISTS) {
            // Made meanwhile by someone else: kept as well.
            DPF_FAIL_AT("CCabManager::FdiOnCloseFileInfo", "%s exists; not replaced",
                        failure.member.c_str());
            ++m_cKeptFiles;
            ++m_cFailedFiles;
        } else {
            RefuseMember(failure.member.c_str(), "it could not be given its name");
            SetLastError(failure.error);
            DPFLastError();
        }
    }
    if (cUnrecorded != 0) {
        DPF_FAIL_AT("CCabManager::FdiOnCloseFileInfo", "%d more file(s) could not be named",
                    cUnrecorded);
        m_cFailedFiles += cUnrecorded;
    }
}

HRESULT CCabManager::PrepareDestination(const char *pszName) {
    char szFolder[MAX_PATH];
    HRESULT hr = StringCchCopyA(szFolder, MAX_PATH, m_szDestFolder);
    if (FAILED(hr)) {
        DPF_FAIL_AT("CCabManager::PrepareDestination", "StringCchCopy failed");
        return hr;
    }
    hr = StringCchCatA(szFolder, MAX_PATH, pszName);
    if (FAILED(hr)) {
        DPF_FAIL_AT("CCabManager::PrepareDestination", "StringCchCat failed");
        return hr;
    }
    if (m_pRun == nullptr || m_pRun->hDestFolder == -1) {
        DPF_FAIL_AT("CCabManager::PrepareDestination", "Invalid path");
        return E_FAIL;
    }
    // Level by level from the destination, keeping the levels the last member shared.
    CRunState &run = *m_pRun;
    size_t iLevel = 0;
    try {
        for (const char *pszPart = pszName;;) {
            const char *pszEnd = pszPart;
            while (*pszEnd != '\0' && !cab::IsPathSeparator(*pszEnd))
                ++pszEnd;
            if (*pszEnd == '\0')
                break;
            std::string_view part(pszPart, static_cast<size_t>(pszEnd - pszPart));
            pszPart = pszEnd + 1;
            if (part.empty() || part == ".")
                continue;
            if (iLevel < run.vecLevels.size() && run.vecLevels[iLevel].strName == part) {
                ++iLevel;
                continue;
            }
            run.CloseLevels(iLevel);
            std::string strPart(part);
            int hParent = iLevel == 0 ? run.hDestFolder : run.vecLevels[iLevel - 1].hFolder;
            // A member not named yet that this level's name is to be found as the file it is.
            if (run.finisher.Holds(hParent, strPart.c_str()))
                run.finisher.Drain();
            BOOL fMade = iLevel != 0 && run.vecLevels[iLevel - 1].fMade;
            int hLevel = part == ".." ? -1 : cab::OpenFolderLevel(hParent, strPart.c_str(), &fMade);
            if (hLevel == -1) {
                bool fNotAFolder = part == ".." || errno == ENOTDIR || errno == ELOOP;
                if (!fNotAFolder) {
                    DPF_FAIL_AT("CCabManager::PrepareDestination",
                                "Could not create the folder %s for %s", strPart.c_str(), pszName);
                    DPFLastError();
                }
                run.CloseLevels(iLevel);
                return fNotAFolder ? kNotAFolder : E_FAIL;
            }
            run.vecLevels.push_back({std::move(strPart), hLevel, fMade});
            ++iLevel;
        }
    } catch (const std::bad_alloc &) {
        DPF_FAIL_AT("CCabManager::PrepareDestination", "OOM");
        run.CloseLevels(iLevel);
        return E_OUTOFMEMORY;
    }
    run.CloseLevels(iLevel);
    return S_OK;
}

BOOL CCabManager::CheckFileSpecMatch(const char *pszName) {
    if (m_szFileFilter[0] == '\0')
        return TRUE;
    if (pszName == nullptr)
        return FALSE;
    // The patterns were split and widened once for the run; the name is widened once here.
    std::vector<std::wstring> vecOwn;
    const std::vector<std::wstring> *pvecPatterns =
        m_pRun != nullptr ? &m_pRun->vecFilters : &vecOwn;
    std::wstring strName;
    try {
        if (m_pRun == nullptr)
            SplitFilters(m_szFileFilter, &vecOwn);
        strName = cab::AcpToWide(LeafName(pszName));
    } catch (const std::bad_alloc &) {
        DPF_FAIL_AT("CCabManager::CheckFileSpecMatch", "UtilCompareWildCards");
        return FALSE;
    }
    for (const std::wstring &strPattern : *pvecPatterns) {
        int fMatch = 0;
        if (FAILED(UtilCompareWildCards(strName.c_str(), strPattern.c_str(), 0, &fMatch))) {
            DPF_FAIL_AT("CCabManager::CheckFileSpecMatch", "UtilCompareWildCards");
            return FALSE;
        }
        if (fMatch)
            return TRUE;
    }
    return FALSE;
}

// --- Coalescing ----------------------------------------------------------------------------

HRESULT CCabManager::CoalesceCabinets(const wchar_t *pwszSourceCab, const wchar_t *pwszTargetCab) {
    RunningScope running(&m_cRunning, &m_strFailure);
    wchar_t wszTemp[MAX_PATH];
    DWORD cch = GetTempPathW(MAX_PATH, wszTemp);
    if (cch == 0 || cch > MAX_PATH) {
        DPF_FAIL_AT("CCabManager::CoalesceCabinets", "GetTempPath failed");
        HRESULT hr = cab::HresultFromWin32OrFail(GetLastError());
        DPFLastError();
        return hr;
    }
    // A folder of our own, so nothing already in the temporary folder is overwritten or deleted.
    std::wstring strWork;
    if (!CreateWorkFolder(wszTemp, &strWork)) {
        DPF_FAIL_AT("CCabManager::CoalesceCabinets", "Could not create a work folder below %s",
                    cab::WideToAcp(wszTemp).c_str());
        DPFLastError();
        return cab::HresultFromWin32OrFail(GetLastError());
    }

    std::wstring strOutFolder;
    int cFilesAdded = 0;
    HRESULT hr = DecompressCabFile(pwszSourceCab, strWork.c_str(), nullptr, &strOutFolder);
    if (FAILED(hr)) {
        DPF_FAIL_AT("CCabManager::CoalesceCabinets", "DecompressCabFile failed");
    } else {
        hr = CompressFiles(pwszTargetCab, 1, &cFilesAdded);
        if (FAILED(hr))
            DPF_FAIL_AT("CCabManager::CoalesceCabinets", "CompressFiles failed");
    }
    for (const CFileInCab &file : m_vecFiles)
        DeleteFileA(file.szFilePath);
    if (!RemoveWorkFolder(strWork)) {
        DPF_FAIL_AT("CCabManager::CoalesceCabinets", "Could not remove %s",
                    cab::WideToAcp(strWork).c_str());
    }
    return hr;
}
