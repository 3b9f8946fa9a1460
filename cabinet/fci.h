// File Compression Interface: writes cabinet files. Declarations as documented for the
// Cabinet API, so code written against that API compiles unchanged.
#pragma once

#include "fdi_fci_types.h"

// How this engine uses the callbacks:
// - cabinets are opened with _O_BINARY | _O_CREAT | _O_TRUNC | _O_RDWR, temporary files with
//   _O_EXCL added (a taken name is asked for again), both with _S_IREAD | _S_IWRITE;
// - a source handle from get-open-info is read, closed, and also given to the seek callback to
//   learn the file's size first (a file that cannot seek is read to its end instead, but may
//   then not span cabinets);
// - CCAB.cb of 0 means the largest cabinet; reserve sizes above 60000/255/255 fail FCICreate;
// - MSZIP blocks are compressed on worker threads, but every callback runs on the caller's thread,
//   inside the FCI call, and the output does not depend on the number of threads;
// - buffers, record tables and compressor state come from the allocator callbacks (on the
//   caller's thread, like every callback); only names and paths, and the compression threads
//   themselves, come from the C++ runtime, and their failure is FCIERR_ALLOC_FAIL too;
// - a failed FCIAddFile leaves no trace of that file, unless a cabinet was completed while it
//   was added: then every later call fails with the same error.

typedef void *HFCI;

// Error codes left in ERF.erfOper by a failed FCI call.
typedef enum {
    FCIERR_NONE = 0x00,
    FCIERR_OPEN_SRC = 0x01,
    FCIERR_READ_SRC = 0x02,
    FCIERR_ALLOC_FAIL = 0x03,
    FCIERR_TEMP_FILE = 0x04,
    FCIERR_BAD_COMPR_TYPE = 0x05,
    FCIERR_CAB_FILE = 0x06,
    FCIERR_USER_ABORT = 0x07,
    FCIERR_MCI_FAIL = 0x08,
    FCIERR_CAB_FORMAT_LIMIT = 0x09,
} FCIERROR;

#define CB_MAX_CHUNK 32768U
#define CB_MAX_DISK 0x7fffffffL
#define CB_MAX_FILENAME 256
#define CB_MAX_CABINET_NAME 256
#define CB_MAX_CAB_PATH 256
#define CB_MAX_DISK_NAME 256

#define statusFile 0
#define statusFolder 1
#define statusCabinet 2

// Parameters of the cabinet being written; FCI keeps its own copy.
typedef struct {
    ULONG cb;              // largest size of one cabinet, in bytes
    ULONG cbFolderThresh;  // compressed bytes after which a new folder is started
    UINT cbReserveCFHeader;
    UINT cbReserveCFFolder;
    UINT cbReserveCFData;
    int iCab;   // incremented by FCI before each get-next-cabinet call
    int iDisk;  // the application's own counter
    int fFailOnIncompressible;
    USHORT setID;
    char szDisk[CB_MAX_DISK_NAME];
    char szCab[CB_MAX_CABINET_NAME];
    char szCabPath[CB_MAX_CAB_PATH];  // folder, with its trailing separator
} CCAB;
typedef CCAB *PCCAB;

typedef void *(DIAMONDAPI *PFNFCIALLOC)(ULONG cb);
#define FNFCIALLOC(fn) void *DIAMONDAPI fn(ULONG cb)

typedef void(DIAMONDAPI *PFNFCIFREE)(void *memory);
#define FNFCIFREE(fn) void DIAMONDAPI fn(void *memory)

typedef INT_PTR(DIAMONDAPI *PFNFCIOPEN)(char *pszFile, int oflag, int pmode, int *err, void *pv);
#define FNFCIOPEN(fn) INT_PTR DIAMONDAPI fn(char *pszFile, int oflag, int pmode, int *err, void *pv)

typedef UINT(DIAMONDAPI *PFNFCIREAD)(INT_PTR hf, void *memory, UINT cb, int *err, void *pv);
#define FNFCIREAD(fn) UINT DIAMONDAPI fn(INT_PTR hf, void *memory, UINT cb, int *err, void *pv)

typedef UINT(DIAMONDAPI *PFNFCIWRITE)(INT_PTR hf, void *memory, UINT cb, int *err, void *pv);
#define FNFCIWRITE(fn) UINT DIAMONDAPI fn(INT_PTR hf, void *memory, UINT cb, int *err, void *pv)

typedef int(DIAMONDAPI *PFNFCICLOSE)(INT_PTR hf, int *err, void *pv);
#define FNFCICLOSE(fn) int DIAMONDAPI fn(INT_PTR hf, int *err, void *pv)

typedef long(DIAMONDAPI *PFNFCISEEK)(INT_PTR hf, long dist, int seektype, int *err, void *pv);
#define FNFCISEEK(fn) long DIAMONDAPI fn(INT_PTR hf, long dist, int seektype, int *err, void *pv)

typedef int(DIAMONDAPI *PFNFCIDELETE)(char *pszFile, int *err, void *pv);
#define FNFCIDELETE(fn) int DIAMONDAPI fn(char *pszFile, int *err, void *pv)

typedef BOOL(DIAMONDAPI *PFNFCIGETNEXTCABINET)(PCCAB pccab, ULONG cbPrevCab, void *pv);
#define FNFCIGETNEXTCABINET(fn) BOOL DIAMONDAPI fn(PCCAB pccab, ULONG cbPrevCab, void *pv)

typedef int(DIAMONDAPI *PFNFCIFILEPLACED)(PCCAB pccab, char *pszFile, long cbFile,
                                          BOOL fContinuation, void *pv);
#define FNFCIFILEPLACED(fn) \
    int DIAMONDAPI fn(PCCAB pccab, char *pszFile, long cbFile, BOOL fContinuation, void *pv)

typedef INT_PTR(DIAMONDAPI *PFNFCIGETOPENINFO)(char *pszName, USHORT *pdate, USHORT *ptime,
                                               USHORT *pattribs, int *err, void *pv);
#define FNFCIGETOPENINFO(fn)                                                                       \
    INT_PTR DIAMONDAPI fn(char *pszName, USHORT *pdate, USHORT *ptime, USHORT *pattribs, int *err, \
                          void *pv)

typedef long(DIAMONDAPI *PFNFCISTATUS)(UINT typeStatus, ULONG cb1, ULONG cb2, void *pv);
#define FNFCISTATUS(fn) long DIAMONDAPI fn(UINT typeStatus, ULONG cb1, ULONG cb2, void *pv)

typedef BOOL(DIAMONDAPI *PFNFCIGETTEMPFILE)(char *pszTempName, int cbTempName, void *pv);
#define FNFCIGETTEMPFILE(fn) BOOL DIAMONDAPI fn(char *pszTempName, int cbTempName, void *pv)

#ifdef __cplusplus
extern "C" {
#endif

CABINET_API HFCI DIAMONDAPI FCICreate(PERF perf, PFNFCIFILEPLACED pfnfcifp, PFNFCIALLOC pfna,
                                      PFNFCIFREE pfnf, PFNFCIOPEN pfnopen, PFNFCIREAD pfnread,
                                      PFNFCIWRITE pfnwrite, PFNFCICLOSE pfnclose,
                                      PFNFCISEEK pfnseek, PFNFCIDELETE pfndelete,
                                      PFNFCIGETTEMPFILE pfnfcigtf, PCCAB pccab, void *pv);

CABINET_API BOOL DIAMONDAPI FCIAddFile(HFCI hfci, LPSTR pszSourceFile, LPSTR pszFileName,
                                       BOOL fExecute, PFNFCIGETNEXTCABINET pfnfcignc,
                                       PFNFCISTATUS pfnfcis, PFNFCIGETOPENINFO pfnfcigoi,
                                       TCOMP typeCompress);

CABINET_API BOOL DIAMONDAPI FCIFlushCabinet(HFCI hfci, BOOL fGetNextCab,
                                            PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis);

CABINET_API BOOL DIAMONDAPI FCIFlushFolder(HFCI hfci, PFNFCIGETNEXTCABINET pfnfcignc,
                                           PFNFCISTATUS pfnfcis);

CABINET_API BOOL DIAMONDAPI FCIDestroy(HFCI hfci);

#ifdef __cplusplus
}
#endif
