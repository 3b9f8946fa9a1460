// The cabinet manager: packs files and folder trees into cabinets through FCI, unpacks them
// through FDI, and coalesces a cabinet set into one cabinet. This is the library's public header.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cabinet/fci.h"
#include "cabinet/fdi.h"
#include "platform/wintypes.h"

#ifndef CABMGR_EXPORT
#define CABMGR_EXPORT __attribute__((visibility("default")))
#endif
#ifndef CABMGR_HIDDEN
#define CABMGR_HIDDEN __attribute__((visibility("hidden")))
#endif

namespace cab {
// Converts a wide string into the record's ANSI form; the number of bytes written with the
// terminator, 0 when it does not fit (reported by the conversion itself).
CABMGR_EXPORT int ConvertRecordString(const wchar_t *pwszSource, char *pszDest, int cbDest);
// Writes one FAIL-level report line naming pszFile, pszFunction and nLine.
CABMGR_EXPORT void ReportRecordFailure(const char *pszFile, const char *pszFunction, int nLine,
                                       const char *pszMessage);

inline constexpr HRESULT kRecordTooLong = STRSAFE_E_INSUFFICIENT_BUFFER;

// Bounded copy with the safe-string rules: always terminated, cut text reported.
inline HRESULT CopyRecordString(char *pszDest, size_t cchDest, const char *pszSource) {
    size_t i = 0;
    for (; i + 1 < cchDest && pszSource[i] != '\0'; ++i)
        pszDest[i] = pszSource[i];
    pszDest[i] = '\0';
    return pszSource[i] == '\0' ? S_OK : kRecordTooLong;
}

inline bool IsPathSeparator(char ch) {
    return ch == '\\' || ch == '/';
}
inline bool IsPathSeparator(wchar_t ch) {
    return ch == L'\\' || ch == L'/';
}

// Names inside a cabinet always use backslashes.
inline void MakeCabinetName(char *psz) {
    for (; *psz != '\0'; ++psz) {
        if (*psz == '/')
            *psz = '\\';
    }
}
}  // namespace cab

// One file to store: its path on disk and its name inside the cabinet, both ANSI, at most 259
// bytes of text each. A plain record, copied byte for byte.
class CFileInCab {
public:
    CFileInCab() {
        szFilePath[0] = '\0';
        szNameInCab[0] = '\0';
    }

    // Without a name, the name is the text after the path's first separator.
    HRESULT Initialize(const char *pszFilePath, const char *pszNameInCab) {
        HRESULT hr = cab::CopyRecordString(szFilePath, sizeof(szFilePath), pszFilePath);
        if (FAILED(hr)) {
            cab::ReportRecordFailure(__FILE__, "CFileInCab::Initialize", __LINE__,
                                     "StringCchCopyA failed");
            return hr;
        }
        if (pszNameInCab == nullptr) {
            const char *psz = pszFilePath;
            while (*psz != '\0' && !cab::IsPathSeparator(*psz))
                ++psz;
            if (*psz == '\0') {
                cab::ReportRecordFailure(__FILE__, "CFileInCab::Initialize", __LINE__,
                                         "Invalid file path");
                return E_FAIL;
            }
            pszNameInCab = psz + 1;
        }
        hr = cab::CopyRecordString(szNameInCab, sizeof(szNameInCab), pszNameInCab);
        if (FAILED(hr)) {
            cab::ReportRecordFailure(__FILE__, "CFileInCab::Initialize", __LINE__,
                                     "StringCchCopyA failed");
            return hr;
        }
        cab::MakeCabinetName(szNameInCab);
        return S_OK;
    }

    // Without a name (null or empty), the name is the file's own name after the last separator.
    HRESULT Initialize(const wchar_t *pwszFilePath, const wchar_t *pwszNameInCab) {
        if (cab::ConvertRecordString(pwszFilePath, szFilePath, sizeof(szFilePath)) == 0) {
            cab::ReportRecordFailure(__FILE__, "CFileInCab::Initialize", __LINE__,
                                     "ConvertWSTRToPSTR failed");
            return E_FAIL;
        }
        if (pwszNameInCab == nullptr || pwszNameInCab[0] == L'\0') {
            const wchar_t *pwszLast = nullptr;
            for (const wchar_t *pwsz = pwszFilePath; *pwsz != L'\0'; ++pwsz) {
                if (cab::IsPathSeparator(*pwsz))
                    pwszLast = pwsz;
            }
            if (pwszLast == nullptr) {
                cab::ReportRecordFailure(__FILE__, "CFileInCab::Initialize", __LINE__,
                                         "Invalid file path");
                return E_FAIL;
            }
            pwszNameInCab = pwszLast + 1;
        }
        if (cab::ConvertRecordString(pwszNameInCab, szNameInCab, sizeof(szNameInCab)) == 0) {
            cab::ReportRecordFailure(__FILE__, "CFileInCab::Initialize", __LINE__,
                                     "ConvertWSTRToPSTR failed");
            return E_FAIL;
        }
        cab::MakeCabinetName(szNameInCab);
        return S_OK;
    }

    char szFilePath[MAX_PATH];
    char szNameInCab[MAX_PATH];
};

// Default folder threshold of LZX cabinets, in uncompressed bytes: small enough that a tree of
// some tens of MB keeps two threads busy to its end, at some 0.5% of size for the history that
// each new folder starts without.
inline constexpr ULONG kLzxFolderThreshold = 12u << 20;

// Progress events: 0 file stored (value: percent of files), 1 file extracted (percent of
// files; sent as the file begins), 2 end of CompressFiles (0), 3 end of DecompressCabFile and of
// the other operations that read a cabinet (0), 4 bytes stored or extracted (percent of bytes).
// pvContext is the pointer given when installing.
typedef void (*PFNCABPROGRESS)(void *pvContext, int nEvent, int nValue);

enum {
    CABPROGRESS_FILE_STORED = 0,
    CABPROGRESS_FILE_EXTRACTED = 1,
    CABPROGRESS_COMPRESS_DONE = 2,
    CABPROGRESS_DECOMPRESS_DONE = 3,
    CABPROGRESS_BYTES = 4,
};

// Where the operation in progress stands (GetProgress).
typedef struct {
    int cDoneFiles;
    int cTotalFiles;
    uint64_t cbDone;      // file data stored or extracted so far
    uint64_t cbTotal;     // of the files listed, or of the cabinet set being read
    const char *pszFile;  // name in the cabinet of the file in hand; "" before the first
} CABPROGRESSINFO;

// One file of a cabinet, as ListCabinet and ExtractToSink describe it.
typedef struct {
    const char *pszName;  // name in the cabinet, folder levels separated by backslashes
    ULONG cbFile;         // size in bytes
    USHORT date;          // MS-DOS date and time, local time
    USHORT time;
    USHORT attribs;  // _A_RDONLY, _A_HIDDEN, _A_SYSTEM, _A_ARCH, _A_EXEC, _A_NAME_IS_UTF
} CABMEMBER;

// Called for each file of a cabinet that passes the filters, in the cabinet's order; for
// ExtractToSink a nonzero answer takes the file, 0 passes it by.
typedef int (*PFNCABMEMBER)(void *pvContext, const CABMEMBER *pMember);
// Receives the data of the files taken, in order; answers the bytes it took (fewer stops the
// operation).
typedef UINT (*PFNCABSINK)(void *pvContext, const void *pv, UINT cb);

// Receives the report lines (the manager's failure reports) piece by piece, each line ending in
// a line feed, in place of standard output.
typedef void (*PFNCABREPORT)(void *pvContext, const char *pszText);

// The smallest largest-cabinet size SetMaxCabinetSize takes: a header naming a previous and a
// next cabinet and disk of the longest names, one folder, one file entry of the longest name and
// one data block of one byte always fit. The largest is the format's, CB_MAX_DISK.
#define CABMGR_MIN_CABINET_SIZE 1354UL

// Packs and unpacks cabinets. One operation runs at a time; only SetCancel may be called from
// another thread while an operation runs. Every Cabinet API callback reaches a virtual member
// through a static bridge, so a derived class can replace any of them. The class is exported
// whole so that a program can derive from it; its internals are hidden.
class CABMGR_EXPORT CCabManager {
public:
    CCabManager();
    ~CCabManager();

    // Clears the settings, counters and cancel flag and releases a held context; refused with
    // E_UNEXPECTED while an operation runs (from one of its callbacks).
    HRESULT Initialize();
    int GetCancel();
    // Stores the flag and returns 1; a nonzero flag stops the running operation, which removes
    // what it had not finished (temporary files, a partial cabinet or member) and fails. The
    // flag is a lock-free atomic, so a signal handler may set it; a program stops cleanly on
    // SIGINT, SIGTERM or SIGHUP with a handler (installed with sigaction, SA_RESTART) such as
    //     static CCabManager *g_pRunning;
    //     static void OnStopSignal(int) { g_pRunning->SetCancel(1); }
    // pointed at the manager for the length of the operation.
    int SetCancel(int fCancel);

    // Lists one file; a null or empty name stands for the file's own name.
    HRESULT AddFileToCompress(const wchar_t *pwszFilePath, const wchar_t *pwszNameInCab);
    void EmptyFileList();
    // Lists every file below pwszFolder (and its sub-folders when fRecurse), named relative to
    // pwszRootFolder, which pwszFolder must begin with.
    HRESULT AddFilesInFolderToList(const wchar_t *pwszRootFolder, const wchar_t *pwszFolder,
                                   int fRecurse);
    // pwszFolder is a folder, or "@" and a file naming one folder per line.
    HRESULT CompressFilesInFolder(const wchar_t *pwszFolder, const wchar_t *pwszCabPath,
                                  int nSettingsParam, int fRecurse);
    // Stores every listed file in the cabinet pwszCabPath (folder and name); *pcFilesAdded
    // receives the number of files stored.
    HRESULT CompressFiles(const wchar_t *pwszCabPath, int nSettingsParam, int *pcFilesAdded);
    // Splits a path at its last separator: the folder keeps the separator.
    static HRESULT SplitCabPath(const wchar_t *pwszPath, char *pszFolder, size_t cchFolder,
                                char *pszName, size_t cchName);
    // Unpacks the cabinet set that begins with pwszCabPath into pwszDestinationFolder (created
    // when missing); pwszFilters is null or ";"-separated wildcards matched against file names.
    // *pstrOutFolder receives the folder actually used.
    HRESULT DecompressCabFile(const wchar_t *pwszCabPath, const wchar_t *pwszDestinationFolder,
                              const wchar_t *pwszFilters, std::wstring *pstrOutFolder);
    // Packs every file of the cabinet set that begins with pwszSourceCab into pwszTargetCab.
    HRESULT CoalesceCabinets(const wchar_t *pwszSourceCab, const wchar_t *pwszTargetCab);

    // The next three read the cabinet set that begins with pwszCabPath, as DecompressCabFile
    // does, and take only the files that match pwszFilters (null, or ";"-separated wildcards
    // matched against file names).
    // Describes each file to pfnMember, without decoding any.
    HRESULT ListCabinet(const wchar_t *pwszCabPath, const wchar_t *pwszFilters,
                        PFNCABMEMBER pfnMember, void *pvContext);
    // Decodes each file and checks every checksum, writing nothing. A damaged file is named in a
    // report line, and so is each later file of its folder, which cannot be decoded either; the
    // others are tested all the same. *pcTested and *pcDamaged (either may be null) receive the
    // counts. E_FAIL when a file is damaged or the cabinet cannot be read.
    HRESULT TestCabinet(const wchar_t *pwszCabPath, const wchar_t *pwszFilters, int *pcTested,
                        int *pcDamaged);
    // Writes the data of each file that pfnMember takes (every file when it is null) to pfnSink;
    // stops at the first damaged file.
    HRESULT ExtractToSink(const wchar_t *pwszCabPath, const wchar_t *pwszFilters,
                          PFNCABMEMBER pfnMember, PFNCABSINK pfnSink, void *pvContext);

    // Compression of the cabinets written by later CompressFiles calls: tcompTYPE_NONE,
    // tcompTYPE_MSZIP (the default), TCOMPfromMSZIPLevel(1..9) or TCOMPfromLZXWindow(15..21);
    // E_INVALIDARG for any other value, the setting then unchanged. MSZIP levels trade time for
    // size, 1 the fastest and 9 the smallest; plain tcompTYPE_MSZIP is level 4. Every level
    // writes the same format.
    // cbFolderThreshold is where the next file starts a new folder: for LZX, the uncompressed bytes
    // of a folder (folders are compressed in parallel, one per thread, so smaller folders pack
    // faster and larger ones smaller); for the other types, its compressed bytes. 0 picks the
    // type's default (for LZX, kLzxFolderThreshold). SetCabSettings copies it into
    // CCAB.cbFolderThresh.
    HRESULT SetCompression(TCOMP typeCompress, ULONG cbFolderThreshold = 0);
    TCOMP GetCompression() const { return m_typeCompress; }
    // Largest size of one cabinet, CABMGR_MIN_CABINET_SIZE to CB_MAX_DISK (the default): files that
    // need more go on into further cabinets of a set. E_INVALIDARG outside, the size unchanged.
    HRESULT SetMaxCabinetSize(ULONG cbMaxCabinet);
    // With fKeep, an extraction never replaces an existing file: the file is named in a report
    // line and skipped, and the extraction fails at its end.
    void SetKeepExistingFiles(BOOL fKeep);
    // Compression threads of the writers created from now on, in the whole process; 0 (the
    // default) is one per core. Call it before operations start.
    static void SetCompressionThreads(unsigned cThreads);
    // With fThorough, the LZX writers created from now on, in the whole process, look harder for
    // matches: cabinets some 5 to 15 percent smaller, packed several times more slowly. Call it
    // before operations start.
    static void SetLzxThorough(BOOL fThorough);
    // Sends every report line of the process to pfnReport instead of standard output; null sends
    // them to standard output again. Call it before operations start.
    static void SetReportOutput(PFNCABREPORT pfnReport, void *pvContext);

    // Installs (or, with null, removes) the progress callback; it runs on the operation's thread.
    void SetProgressCallback(PFNCABPROGRESS pfnProgress, void *pvContext);
    int GetTotalFiles() const { return m_cTotalFiles; }
    int GetDoneFiles() const { return m_cDoneFiles; }
    // For the progress callback: counts, bytes and the file in hand.
    void GetProgress(CABPROGRESSINFO *pInfo) const;
    // Of GetTotalFiles(), those the last packing or unpacking could not store or extract (files,
    // or list folders and folders that could not be read), each named by a FAIL line.
    int GetFailedFiles() const { return m_cFailedFiles; }
    // What made the last operation fail as a whole (not one of its files), or "".
    const char *GetFailure() const { return m_strFailure.c_str(); }

protected:
    // Callback members, in the order of the virtual table.
    virtual INT_PTR FdiNotify(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin);
    virtual INT_PTR FciOpen(char *pszFile, int oflag, int pmode, int *err);
    virtual UINT FciRead(INT_PTR hf, void *memory, UINT cb, int *err);
    virtual UINT FciWrite(INT_PTR hf, void *memory, UINT cb, int *err);
    virtual int FciClose(INT_PTR hf, int *err);
    virtual long FciSeek(INT_PTR hf, long dist, int seektype, int *err);
    virtual int FciDelete(char *pszFile, int *err);
    virtual BOOL FciGetNextCabinet(PCCAB pccab, ULONG cbPrevCab);
    virtual int FciFilePlaced(PCCAB pccab, char *pszFile, long cbFile, BOOL fContinuation);
    virtual INT_PTR FciGetOpenInfo(char *pszName, USHORT *pdate, USHORT *ptime, USHORT *pattribs,
                                   int *err);
    virtual long FciStatus(UINT typeStatus, ULONG cb1, ULONG cb2);
    virtual BOOL FciGetTempFile(char *pszTempName, int cbTempName);
    // Fills m_ccab for the cabinet pszCabName in the folder pszCabFolder.
    virtual HRESULT SetCabSettings(const char *pszCabFolder, const char *pszCabName,
                                   int nSettingsParam);

    const char *GetFciErrorString();
    const char *GetFdiErrorString();
    HRESULT SetDecompressedFilesCount(const char *pszCabFolder, const char *pszCabName);
    INT_PTR FdiCountNotify(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin);
    INT_PTR FdiOnCopyFile(PFDINOTIFICATION pfdin);
    INT_PTR FdiOnCloseFileInfo(PFDINOTIFICATION pfdin);
    HRESULT PrepareDestination(const char *pszName);
    BOOL CheckFileSpecMatch(const char *pszName);

    // Static bridges handed to the Cabinet API; pv (or pfdin->pv) is the manager.
    CABMGR_HIDDEN static INT_PTR DIAMONDAPI BridgeFciOpen(char *pszFile, int oflag, int pmode,
                                                          int *err, void *pv);
    CABMGR_HIDDEN static UINT DIAMONDAPI BridgeFciRead(INT_PTR hf, void *memory, UINT cb, int *err,
                                                       void *pv);
    CABMGR_HIDDEN static UINT DIAMONDAPI BridgeFciWrite(INT_PTR hf, void *memory, UINT cb, int *err,
                                                        void *pv);
    CABMGR_HIDDEN static int DIAMONDAPI BridgeFciClose(INT_PTR hf, int *err, void *pv);
    CABMGR_HIDDEN static long DIAMONDAPI BridgeFciSeek(INT_PTR hf, long dist, int seektype,
                                                       int *err, void *pv);
    CABMGR_HIDDEN static int DIAMONDAPI BridgeFciDelete(char *pszFile, int *err, void *pv);
    CABMGR_HIDDEN static BOOL DIAMONDAPI BridgeFciGetNextCabinet(PCCAB pccab, ULONG cbPrevCab,
                                                                 void *pv);
    CABMGR_HIDDEN static int DIAMONDAPI BridgeFciFilePlaced(PCCAB pccab, char *pszFile, long cbFile,
                                                            BOOL fContinuation, void *pv);
    CABMGR_HIDDEN static INT_PTR DIAMONDAPI BridgeFciGetOpenInfo(char *pszName, USHORT *pdate,
                                                                 USHORT *ptime, USHORT *pattribs,
                                                                 int *err, void *pv);
    CABMGR_HIDDEN static long DIAMONDAPI BridgeFciStatus(UINT typeStatus, ULONG cb1, ULONG cb2,
                                                         void *pv);
    CABMGR_HIDDEN static BOOL DIAMONDAPI BridgeFciGetTempFile(char *pszTempName, int cbTempName,
                                                              void *pv);
    CABMGR_HIDDEN static INT_PTR DIAMONDAPI BridgeFdiNotify(FDINOTIFICATIONTYPE fdint,
                                                            PFDINOTIFICATION pfdin);
    CABMGR_HIDDEN static INT_PTR DIAMONDAPI BridgeFdiCountNotify(FDINOTIFICATIONTYPE fdint,
                                                                 PFDINOTIFICATION pfdin);
    CABMGR_HIDDEN static INT_PTR DIAMONDAPI BridgeFdiReadNotify(FDINOTIFICATIONTYPE fdint,
                                                                PFDINOTIFICATION pfdin);
    // FDI's file callbacks: the C runtime's calls, with the bytes written counted for the
    // manager whose FDICopy runs on the calling thread.
    CABMGR_HIDDEN static INT_PTR DIAMONDAPI BridgeFdiOpen(char *pszFile, int oflag, int pmode);
    CABMGR_HIDDEN static UINT DIAMONDAPI BridgeFdiRead(INT_PTR hf, void *pv, UINT cb);
    CABMGR_HIDDEN static UINT DIAMONDAPI BridgeFdiWrite(INT_PTR hf, void *pv, UINT cb);
    CABMGR_HIDDEN static int DIAMONDAPI BridgeFdiClose(INT_PTR hf);
    CABMGR_HIDDEN static long DIAMONDAPI BridgeFdiSeek(INT_PTR hf, long dist, int seektype);

    // Raises m_cDoneFiles, recomputes the percentage (100 when the total is 0) and reports it.
    CABMGR_HIDDEN void StepProgress(int nEvent);
    CABMGR_HIDDEN void ReportProgress(int nEvent, int nValue);
    // Adds cb to the bytes done and reports the byte percentage.
    CABMGR_HIDDEN void StepBytes(uint64_t cb);
    CABMGR_HIDDEN void SetCurrentFile(const char *pszName);
    // Walks one folder into pWalk, which lists the folders ahead and holds the records found.
    // FALSE, with the last error set, when the folder cannot be listed.
    struct WalkState;
    CABMGR_HIDDEN bool WalkFolder(const wchar_t *pwszRootFolder, const wchar_t *pwszFolder,
                                  int fRecurse, WalkState *pWalk);
    // Runs FDICopy on a cabinet and then on every further cabinet of its set that holds
    // files of its own; FALSE with m_erf filled (or erfOper -1 for a broken set) on failure.
    CABMGR_HIDDEN BOOL CopyCabinetSet(HFDI hfdi, const char *pszCabName, const char *pszCabFolder,
                                      PFNFDINOTIFY pfnNotify);
    // Remembers the next cabinet named by the first fdintCABINET_INFO of an FDICopy call.
    CABMGR_HIDDEN void NoteCabinetInfo(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin);

    // Finds where the cabinet of pszFolder + pszName begins: at 0 when the file begins with a
    // cabinet's signature, else at the first valid cabinet header inside it whose sizes fit the
    // file (a self-extracting installer); FDI's file callbacks then read the file from there.
    CABMGR_HIDDEN HRESULT LocateCabinet(const char *pszFolder, const char *pszName,
                                        const char *pszFunction);
    // The read of DecompressCabFile, ListCabinet, TestCabinet or ExtractToSink in progress.
    struct ReadState;
    CABMGR_HIDDEN HRESULT ReadCabinet(const wchar_t *pwszCabPath, const wchar_t *pwszFilters,
                                      ReadState *pRead);
    CABMGR_HIDDEN INT_PTR FdiReadNotify(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin);
    // After a failed FDICopy of an extraction or a test: names the file being decoded as damaged
    // (an extraction removes what it wrote of it) and answers whether the cabinet is to be read
    // again from the next file.
    CABMGR_HIDDEN BOOL NoteDamagedFile();
    // Why a file is not decoded because of damage found before it, or null.
    CABMGR_HIDDEN const char *FollowsDamage(int iFolder) const;

    std::vector<CFileInCab> m_vecFiles;
    std::atomic<LONG> m_fCancel;
    ERF m_erf;
    HFCI m_hfci = nullptr;
    HFDI m_hfdi = nullptr;
    CCAB m_ccab;
    char m_szCabBaseName[MAX_PATH];
    char m_szDestFolder[MAX_PATH];
    char m_szFileFilter[256];
    LONG m_cTotalFiles;
    LONG m_cDoneFiles;
    LONG m_nLastPercent;
    PFNCABPROGRESS m_pfnProgress;
    void *m_pvProgressContext;
    uint64_t m_cbTotalBytes;
    uint64_t m_cbDoneBytes;
    char m_szCurrentFile[MAX_PATH];
    // Files an extraction left alone because they existed (SetKeepExistingFiles).
    int m_cKeptFiles;
    ReadState *m_pRead = nullptr;
    // A cabinet that does not begin its file: the file's path, the offset, and the FDI handles
    // open on it.
    std::string m_strEmbeddingFile;
    long m_cbCabinetOffset = 0;
    std::vector<INT_PTR> m_vecEmbeddingHandles;
    // Spanning-set state of the FDICopy call in progress.
    BOOL m_fCabinetInfoSeen;
    char m_szNextCabinet[CB_MAX_CABINET_NAME];

private:
    // State of the operation in progress (folder handles, the file being written, cabinets
    // waiting for their final names, the set being read); null between operations.
    struct CRunState;
    // FDICreate with the manager's callbacks; a failure is reported under pszFunction.
    CABMGR_HIDDEN HFDI CreateFdi(const char *pszFunction);
    CABMGR_HIDDEN BOOL CheckNextCabinet(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin);
    // The counting pass over the set of the cabinet pszCabName, from the first cabinet of the
    // set in its folder when it continues one (pszCabName, MAX_PATH, then names that cabinet).
    CABMGR_HIDDEN HRESULT CountCabinetSet(const char *pszCabFolder, char *pszCabName,
                                          const char *pszFunction);
    CABMGR_HIDDEN HRESULT FindFirstCabinet(const char *pszCabFolder, char *pszCabName,
                                           size_t cchCabName);
    // Names a file that begins in a missing earlier part of the set, unless it is not wanted.
    CABMGR_HIDDEN void NoteMissingStart(PFDINOTIFICATION pfdin);
    CABMGR_HIDDEN void RefuseMember(const char *pszName, const char *pszReason);
    // Names the members the finisher could not write or name, as failed.
    CABMGR_HIDDEN void ReportUnnamedFiles();
    // Drops the record of the member extracted to strPath, and its name from those written.
    CABMGR_HIDDEN void ForgetMember(const std::string &strPath);
    CABMGR_HIDDEN void DiscardOutput();
    CABMGR_HIDDEN HRESULT FinishCabinets(HRESULT hr);
    // The name FCI opened hf under, or null.
    CABMGR_HIDDEN const char *FciFileName(INT_PTR hf) const;
    // Keeps the text of what made the operation fail as a whole, unless one is kept already.
    void NoteRunFailure(const char *pszFormat, ...) __attribute__((format(printf, 2, 3)));
    // Counts a file (or folder) that the list leaves out; its FAIL line says why.
    void OmitFile();

    CRunState *m_pRun = nullptr;
    // Chosen by SetCompression; kept by Initialize.
    TCOMP m_typeCompress = tcompTYPE_MSZIP;
    ULONG m_cbFolderThreshold = 0;
    // Chosen by SetMaxCabinetSize and SetKeepExistingFiles; kept by Initialize too.
    ULONG m_cbMaxCabinet = CB_MAX_DISK;
    BOOL m_fKeepExisting = FALSE;
    // The source CompressFiles opened and described for the FCIAddFile call in progress, handed
    // to FCI by FciGetOpenInfo instead of a second open; hf -1 when none.
    struct {
        int hf = -1;
        USHORT date = 0, time = 0, attribs = 0;
    } m_source;
    // Operations running (nested ones count too); Initialize is refused while any does.
    int m_cRunning = 0;
    // Files and folders left out of the list since it was last emptied.
    LONG m_cNotListed = 0;
    LONG m_cFailedFiles = 0;
    std::string m_strFailure;
};
