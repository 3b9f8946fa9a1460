/* The Cabinet API from a C99 program: packs two files into a cabinet with FCI, unpacks it with
 * FDI, and compares. Plain C library I/O only, in the current folder; exit status 0 on success. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cabinet/fci.h"
#include "cabinet/fdi.h"

#define SIZE 100000
#define CHECK(ok) \
    ((ok) ? (void)0 : (fprintf(stderr, "c_client: line %d: %s\n", __LINE__, #ok), exit(1)))

static int temps = 0; /* the writer must ask for temporary files */

static FNOPEN(Open) {
    const char *mode = (oflag & _O_CREAT) ? "w+b" : (oflag & (_O_WRONLY | _O_RDWR)) ? "r+b" : "rb";
    FILE *f = fopen(pszFile, mode);
    return f != NULL ? (INT_PTR)f : -1;
}
static FNREAD(Read) {
    size_t got = fread(pv, 1, cb, (FILE *)hf);
    return got == 0 && ferror((FILE *)hf) ? (UINT)-1 : (UINT)got;
}
static FNWRITE(Write) {
    return (UINT)fwrite(pv, 1, cb, (FILE *)hf);
}
static FNCLOSE(Close) {
    return fclose((FILE *)hf);
}
static FNSEEK(Seek) {
    return fseek((FILE *)hf, dist, seektype) == 0 ? ftell((FILE *)hf) : -1;
}
static FNFCIALLOC(Alloc) {
    return malloc(cb);
}
static FNFCIFREE(Free) {
    free(memory);
}
static FNFCIOPEN(FciOpen) {
    INT_PTR hf = Open(pszFile, oflag, pmode);
    *err = hf == -1;
    return hf;
}
static FNFCIREAD(FciRead) {
    return Read(hf, memory, cb);
}
static FNFCIWRITE(FciWrite) {
    return Write(hf, memory, cb);
}
static FNFCICLOSE(FciClose) {
    return Close(hf);
}
static FNFCISEEK(FciSeek) {
    return Seek(hf, dist, seektype);
}
static FNFCIDELETE(FciDelete) {
    return remove(pszFile);
}
static FNFCIGETTEMPFILE(GetTemp) {
    return snprintf(pszTempName, (size_t)cbTempName, "c_client_tmp%d", temps++) < cbTempName;
}
static FNFCIGETNEXTCABINET(NextCab) {
    return FALSE;
}
static FNFCIFILEPLACED(Placed) {
    return 0;
}
static FNFCISTATUS(Status) {
    return 0;
}
static FNFCIGETOPENINFO(OpenInfo) {
    *pdate = 0x5021; /* 2020-01-01 */
    *ptime = 0;
    *pattribs = _A_ARCH;
    *err = 0;
    return Open(pszName, _O_RDONLY, 0);
}
static FNFDINOTIFY(Notify) {
    char out[64];
    if (fdint == fdintCOPY_FILE) {
        snprintf(out, sizeof out, "c_client_out_%s", pfdin->psz1);
        return Open(out, _O_CREAT | _O_WRONLY, 0);
    }
    return fdint == fdintCLOSE_FILE_INFO ? Close(pfdin->hf) == 0 : 0;
}

int main(void) {
    static char *names[2] = {"c_client_a.bin", "c_client_b.txt"};
    static char data[2][SIZE], got[SIZE + 1];
    const size_t sizes[2] = {SIZE, 12};
    unsigned state = 1;
    for (int i = 0; i < SIZE; ++i) {
        state = state * 1103515245u + 12345u;
        data[0][i] = (char)((state >> 16) % 16); /* compressible, but not trivially */
    }
    memcpy(data[1], "hello from C", 12);
    for (int i = 0; i < 2; ++i) {
        FILE *f = fopen(names[i], "wb");
        CHECK(f != NULL && fwrite(data[i], 1, sizes[i], f) == sizes[i] && fclose(f) == 0);
    }

    ERF erf = {0};
    CCAB ccab = {.cbFolderThresh = 0x7FFFFFFF, .szCab = "c_client.cab"};
    HFCI hfci = FCICreate(&erf, Placed, Alloc, Free, FciOpen, FciRead, FciWrite, FciClose, FciSeek,
                          FciDelete, GetTemp, &ccab, NULL);
    CHECK(hfci != NULL);
    for (int i = 0; i < 2; ++i) {
        CHECK(FCIAddFile(hfci, names[i], names[i], FALSE, NextCab, Status, OpenInfo,
                         tcompTYPE_MSZIP));
    }
    CHECK(FCIFlushCabinet(hfci, FALSE, NextCab, Status) && FCIDestroy(hfci) && temps > 0);

    HFDI hfdi = FDICreate(Alloc, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &erf);
    CHECK(hfdi != NULL && FDICopy(hfdi, "c_client.cab", "", 0, Notify, NULL, NULL));
    CHECK(FDIDestroy(hfdi));
    for (int i = 0; i < 2; ++i) {
        char out[64];
        snprintf(out, sizeof out, "c_client_out_%s", names[i]);
        FILE *f = fopen(out, "rb");
        CHECK(f != NULL && fread(got, 1, SIZE + 1, f) == sizes[i] &&
              memcmp(got, data[i], sizes[i]) == 0 && fclose(f) == 0);
        remove(out);
        remove(names[i]);
    }
    remove("c_client.cab");
    return 0;
}
