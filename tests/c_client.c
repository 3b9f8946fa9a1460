/* The Cabinet API from a C99 program: packs two files into a cabinet with FCI, unpacks it with
 * FDI, and compares. Plain C library I/O only, in the current folder; exit status 0 on success. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cabinet/fci.h"
#include "cabinet/fdi.h"

#define SOURCE_SIZE 100000

static const char *const kNames[2] = {"c_client_a.bin", "c_client_b.txt"};
static int temp_count = 0;
static int failures = 0;

static void Check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "c_client: %s\n", what);
        ++failures;
    }
}

static INT_PTR OpenFile(const char *name, int oflag) {
    const char *mode = (oflag & _O_CREAT) ? "w+b" : (oflag & (_O_WRONLY | _O_RDWR)) ? "r+b" : "rb";
    FILE *f = fopen(name, mode);
    return f != NULL ? (INT_PTR)f : -1;
}

static UINT ReadFile(INT_PTR hf, void *memory, UINT cb) {
    size_t got = fread(memory, 1, cb, (FILE *)hf);
    return got == 0 && ferror((FILE *)hf) ? (UINT)-1 : (UINT)got;
}

static UINT WriteFile(INT_PTR hf, void *memory, UINT cb) {
    return (UINT)fwrite(memory, 1, cb, (FILE *)hf);
}

static long SeekFile(INT_PTR hf, long dist, int seektype) {
    return fseek((FILE *)hf, dist, seektype) == 0 ? ftell((FILE *)hf) : -1;
}

static FNFCIALLOC(Alloc) {
    return malloc(cb);
}
static FNFCIFREE(Free) {
    free(memory);
}
static FNFCIOPEN(FciOpen) {
    INT_PTR hf = OpenFile(pszFile, oflag);
    (void)pmode, (void)pv;
    *err = hf == -1;
    return hf;
}
static FNFCIREAD(FciRead) {
    (void)err, (void)pv;
    return ReadFile(hf, memory, cb);
}
static FNFCIWRITE(FciWrite) {
    (void)err, (void)pv;
    return WriteFile(hf, memory, cb);
}
static FNFCICLOSE(FciClose) {
    (void)err, (void)pv;
    return fclose((FILE *)hf);
}
static FNFCISEEK(FciSeek) {
    (void)err, (void)pv;
    return SeekFile(hf, dist, seektype);
}
static FNFCIDELETE(FciDelete) {
    (void)err, (void)pv;
    return remove(pszFile);
}
static FNFCIGETTEMPFILE(GetTemp) {
    (void)pv;
    return snprintf(pszTempName, (size_t)cbTempName, "c_client_tmp%d", temp_count++) < cbTempName;
}
static FNFCIGETNEXTCABINET(NextCab) {
    (void)pccab, (void)cbPrevCab, (void)pv;
    return FALSE;
}
static FNFCIFILEPLACED(Placed) {
    (void)pccab, (void)pszFile, (void)cbFile, (void)fContinuation, (void)pv;
    return 0;
}
static FNFCISTATUS(Status) {
    (void)typeStatus, (void)cb1, (void)cb2, (void)pv;
    return 0;
}
static FNFCIGETOPENINFO(OpenInfo) {
    (void)pv;
    *pdate = 0x5021; /* 2020-01-01 */
    *ptime = 0;
    *pattribs = _A_ARCH;
    *err = 0;
    return OpenFile(pszName, _O_RDONLY);
}

static FNOPEN(FdiOpen) {
    (void)pmode;
    return OpenFile(pszFile, oflag);
}
static FNREAD(FdiRead) {
    return ReadFile(hf, pv, cb);
}
static FNWRITE(FdiWrite) {
    return WriteFile(hf, pv, cb);
}
static FNCLOSE(FdiClose) {
    return fclose((FILE *)hf);
}
static FNSEEK(FdiSeek) {
    return SeekFile(hf, dist, seektype);
}
static FNFDINOTIFY(Notify) {
    char out[64];
    switch (fdint) {
        case fdintCOPY_FILE:
            snprintf(out, sizeof out, "c_client_out_%s", pfdin->psz1);
            return OpenFile(out, _O_CREAT | _O_WRONLY);
        case fdintCLOSE_FILE_INFO:
            fclose((FILE *)pfdin->hf);
            return TRUE;
        default:
            return 0;
    }
}

/* Returns the file's first `size` bytes compared with `expect`, and that it has no more. */
static int SameContent(const char *name, const char *expect, size_t size) {
    char *got = malloc(size + 1);
    FILE *f = fopen(name, "rb");
    int same = got != NULL && f != NULL && fread(got, 1, size + 1, f) == size &&
               memcmp(got, expect, size) == 0;
    if (f != NULL) {
        fclose(f);
    }
    free(got);
    return same;
}

int main(void) {
    static char data[2][SOURCE_SIZE];
    const size_t sizes[2] = {SOURCE_SIZE, 12};
    unsigned state = 1;
    int i;
    for (i = 0; i < SOURCE_SIZE; ++i) {
        state = state * 1103515245u + 12345u;
        data[0][i] = (char)((state >> 16) % 16); /* compressible, but not trivially */
    }
    memcpy(data[1], "hello from C", 12);
    for (i = 0; i < 2; ++i) {
        FILE *f = fopen(kNames[i], "wb");
        Check(f != NULL && fwrite(data[i], 1, sizes[i], f) == sizes[i], "cannot write a source");
        if (f != NULL) {
            fclose(f);
        }
    }

    ERF erf;
    CCAB ccab;
    memset(&erf, 0, sizeof erf);
    memset(&ccab, 0, sizeof ccab);
    ccab.cbFolderThresh = 0x7FFFFFFF;
    strcpy(ccab.szCab, "c_client.cab");
    HFCI hfci = FCICreate(&erf, Placed, Alloc, Free, FciOpen, FciRead, FciWrite, FciClose, FciSeek,
                          FciDelete, GetTemp, &ccab, NULL);
    Check(hfci != NULL, "FCICreate failed");
    for (i = 0; hfci != NULL && i < 2; ++i) {
        Check(FCIAddFile(hfci, (char *)kNames[i], (char *)kNames[i], FALSE, NextCab, Status,
                         OpenInfo, tcompTYPE_MSZIP),
              "FCIAddFile failed");
    }
    Check(hfci != NULL && FCIFlushCabinet(hfci, FALSE, NextCab, Status), "FCIFlushCabinet failed");
    Check(hfci != NULL && FCIDestroy(hfci), "FCIDestroy failed");

    HFDI hfdi =
        FDICreate(Alloc, Free, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpuUNKNOWN, &erf);
    Check(hfdi != NULL, "FDICreate failed");
    Check(hfdi != NULL && FDICopy(hfdi, "c_client.cab", "", 0, Notify, NULL, NULL),
          "FDICopy failed");
    Check(hfdi != NULL && FDIDestroy(hfdi), "FDIDestroy failed");

    for (i = 0; i < 2; ++i) {
        char out[64];
        snprintf(out, sizeof out, "c_client_out_%s", kNames[i]);
        Check(SameContent(out, data[i], sizes[i]), "an unpacked file differs from its source");
        remove(out);
        remove(kNames[i]);
    }
    Check(temp_count > 0, "no temporary file was asked for");
    remove("c_client.cab");
    return failures == 0 ? 0 : 1;
}
