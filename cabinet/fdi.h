// File Decompression Interface: reads cabinet files. Declarations as documented for the
// Cabinet API, so code written against that API compiles unchanged.
#pragma once

#include "fdi_fci_types.h"

typedef void *HFDI;

// Error codes left in ERF.erfOper by a failed FDI call, and in FDINOTIFICATION.fdie.
typedef enum {
    FDIERROR_NONE = 0x00,
    FDIERROR_CABINET_NOT_FOUND = 0x01,
    FDIERROR_NOT_A_CABINET = 0x02,
    FDIERROR_UNKNOWN_CABINET_VERSION = 0x03,
    FDIERROR_CORRUPT_CABINET = 0x04,
    FDIERROR_ALLOC_FAIL = 0x05,
    FDIERROR_BAD_COMPR_TYPE = 0x06,
    FDIERROR_MDI_FAIL = 0x07,
    FDIERROR_TARGET_FILE = 0x08,
    FDIERROR_RESERVE_MISMATCH = 0x09,
    FDIERROR_WRONG_CABINET = 0x0A,
    FDIERROR_USER_ABORT = 0x0B,
    FDIERROR_EOF = 0x0C,
} FDIERROR;

// What FDIIsCabinet learns from a cabinet header.
typedef struct {
    long cbCabinet;
    USHORT cFolders;
    USHORT cFiles;
    USHORT setID;
    USHORT iCabinet;  // 0-based number in the set
    BOOL fReserve;
    BOOL hasprev;
    BOOL hasnext;
} FDICABINETINFO;
typedef FDICABINETINFO *PFDICABINETINFO;

typedef enum {
    cpuUNKNOWN = -1,
    cpu80286 = 0,
    cpu80386 = 1,
} FDICREATE_CPU_TYPE;

typedef enum {
    fdintCABINET_INFO = 0x00,
    fdintPARTIAL_FILE = 0x01,
    fdintCOPY_FILE = 0x02,
    fdintCLOSE_FILE_INFO = 0x03,
    fdintNEXT_CABINET = 0x04,
    fdintENUMERATE = 0x05,
} FDINOTIFICATIONTYPE;

typedef struct {
    long cb;
    char *psz1;
    char *psz2;
    char *psz3;  // at fdintNEXT_CABINET: a CB_MAX_CAB_PATH buffer the application may rewrite
    void *pv;    // the pvUser given to FDICopy
    INT_PTR hf;
    USHORT date;
    USHORT time;
    USHORT attribs;
    USHORT setID;
    USHORT iCabinet;
    USHORT iFolder;
    FDIERROR fdie;
} FDINOTIFICATION;
typedef FDINOTIFICATION *PFDINOTIFICATION;

typedef enum {
    fdidtNEW_CABINET = 0,
    fdidtNEW_FOLDER = 1,
    fdidtDECRYPT = 2,
} FDIDECRYPTTYPE;

typedef struct {
    FDIDECRYPTTYPE fdidt;
    void *pvUser;
    // clang-format off
#if defined(__GNUC__) && !defined(__cplusplus)
    __extension__  // an unnamed union is C11; GNU compilers accept it in C99 too
#endif
    union {
        // clang-format on
        struct {
            void *pHeaderReserve;
            USHORT cbHeaderReserve;
            USHORT setID;
            int iCabinet;
        } cabinet;
        struct {
            void *pFolderReserve;
            USHORT cbFolderReserve;
            USHORT iFolder;
        } folder;
        struct {
            void *pDataReserve;
            USHORT cbDataReserve;
            void *pbData;
            USHORT cbData;
            BOOL fSplit;
            USHORT cbPartial;
        } decrypt;
    };
} FDIDECRYPT;
typedef FDIDECRYPT *PFDIDECRYPT;

typedef void *(DIAMONDAPI *PFNALLOC)(ULONG cb);
#define FNALLOC(fn) void *DIAMONDAPI fn(ULONG cb)

typedef void(DIAMONDAPI *PFNFREE)(void *pv);
#define FNFREE(fn) void DIAMONDAPI fn(void *pv)

typedef INT_PTR(DIAMONDAPI *PFNOPEN)(char *pszFile, int oflag, int pmode);
#define FNOPEN(fn) INT_PTR DIAMONDAPI fn(char *pszFile, int oflag, int pmode)

typedef UINT(DIAMONDAPI *PFNREAD)(INT_PTR hf, void *pv, UINT cb);
#define FNREAD(fn) UINT DIAMONDAPI fn(INT_PTR hf, void *pv, UINT cb)

typedef UINT(DIAMONDAPI *PFNWRITE)(INT_PTR hf, void *pv, UINT cb);
#define FNWRITE(fn) UINT DIAMONDAPI fn(INT_PTR hf, void *pv, UINT cb)

typedef int(DIAMONDAPI *PFNCLOSE)(INT_PTR hf);
#define FNCLOSE(fn) int DIAMONDAPI fn(INT_PTR hf)

typedef long(DIAMONDAPI *PFNSEEK)(INT_PTR hf, long dist, int seektype);
#define FNSEEK(fn) long DIAMONDAPI fn(INT_PTR hf, long dist, int seektype)

typedef int(DIAMONDAPI *PFNFDIDECRYPT)(PFDIDECRYPT pfdid);
#define FNFDIDECRYPT(fn) int DIAMONDAPI fn(PFDIDECRYPT pfdid)

typedef INT_PTR(DIAMONDAPI *PFNFDINOTIFY)(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin);
#define FNFDINOTIFY(fn) INT_PTR DIAMONDAPI fn(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin)

#ifdef __cplusplus
extern "C" {
#endif

CABINET_API HFDI DIAMONDAPI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen,
                                      PFNREAD pfnread, PFNWRITE pfnwrite, PFNCLOSE pfnclose,
                                      PFNSEEK pfnseek, int cpuType, PERF perf);

CABINET_API BOOL DIAMONDAPI FDIIsCabinet(HFDI hfdi, INT_PTR hf, PFDICABINETINFO pfdici);

CABINET_API BOOL DIAMONDAPI FDICopy(HFDI hfdi, char *pszCabinet, char *pszCabPath, int flags,
                                    PFNFDINOTIFY pfnfdin, PFNFDIDECRYPT pfnfdid, void *pvUser);

CABINET_API BOOL DIAMONDAPI FDIDestroy(HFDI hfdi);

CABINET_API BOOL DIAMONDAPI FDITruncateCabinet(HFDI hfdi, char *pszCabinetName,
                                               USHORT iFolderToDelete);

#ifdef __cplusplus
}
#endif
