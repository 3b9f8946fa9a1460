// Types and constants shared by the FCI and FDI declarations.
#pragma once

#include "../platform/wintypes.h"

#ifndef DIAMONDAPI
#define DIAMONDAPI
#endif
#ifndef CABINET_API
#define CABINET_API __attribute__((visibility("default")))
#endif

// Error record filled by a failed FCI or FDI call; the caller must not change it.
typedef struct {
    int erfOper;  // FCIERR_* or FDIERROR_*
    int erfType;  // for FCI: the value a callback stored in *err
    BOOL fError;
} ERF;
typedef ERF *PERF;

typedef USHORT TCOMP;

#define tcompMASK_TYPE 0x000F
#define tcompTYPE_NONE 0x0000
#define tcompTYPE_MSZIP 0x0001
#define tcompTYPE_QUANTUM 0x0002
#define tcompTYPE_LZX 0x0003
#define tcompBAD 0x000F

#define tcompMASK_LZX_WINDOW 0x1F00
#define tcompLZX_WINDOW_LO 0x0F00
#define tcompLZX_WINDOW_HI 0x1500
#define tcompSHIFT_LZX_WINDOW 8

#define tcompMASK_QUANTUM_LEVEL 0x00F0
#define tcompQUANTUM_LEVEL_LO 0x0010
#define tcompQUANTUM_LEVEL_HI 0x0070
#define tcompSHIFT_QUANTUM_LEVEL 4

#define tcompMASK_QUANTUM_MEM 0x1F00
#define tcompQUANTUM_MEM_LO 0x0A00
#define tcompQUANTUM_MEM_HI 0x1500
#define tcompSHIFT_QUANTUM_MEM 8

#define tcompMASK_RESERVED 0xE000

#define CompressionTypeFromTCOMP(tc) ((tc)&tcompMASK_TYPE)
#define CompressionLevelFromTCOMP(tc) (((tc)&tcompMASK_QUANTUM_LEVEL) >> tcompSHIFT_QUANTUM_LEVEL)
#define CompressionMemoryFromTCOMP(tc) (((tc)&tcompMASK_QUANTUM_MEM) >> tcompSHIFT_QUANTUM_MEM)
#define TCOMPfromTypeLevelMemory(t, l, m) \
    (((m) << tcompSHIFT_QUANTUM_MEM) | ((l) << tcompSHIFT_QUANTUM_LEVEL) | (t))
#define LZXCompressionWindowFromTCOMP(tc) (((tc)&tcompMASK_LZX_WINDOW) >> tcompSHIFT_LZX_WINDOW)
#define TCOMPfromLZXWindow(w) (((w) << tcompSHIFT_LZX_WINDOW) | (tcompTYPE_LZX))

// An MSZIP TCOMP may carry a compression level, 1 (fastest) to 9 (smallest), in the bits Quantum
// uses for its level; 0 there is the default level. The folder records plain tcompTYPE_MSZIP:
// the level changes how hard the writer looks for matches, not the format.
#define tcompMASK_MSZIP_LEVEL 0x00F0
#define tcompMSZIP_LEVEL_LO 1
#define tcompMSZIP_LEVEL_HI 9
#define tcompSHIFT_MSZIP_LEVEL 4
#define MSZIPCompressionLevelFromTCOMP(tc) (((tc)&tcompMASK_MSZIP_LEVEL) >> tcompSHIFT_MSZIP_LEVEL)
#define TCOMPfromMSZIPLevel(l) (((l) << tcompSHIFT_MSZIP_LEVEL) | (tcompTYPE_MSZIP))

// File attribute bits, in CFFILE and in the API.
#ifndef _A_RDONLY
#define _A_RDONLY 0x01
#define _A_HIDDEN 0x02
#define _A_SYSTEM 0x04
#define _A_ARCH 0x20
#endif
#define _A_EXEC 0x40
#define _A_NAME_IS_UTF 0x80
