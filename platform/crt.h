// C-runtime wide-name stand-ins.
#pragma once

#include <cstdio>

#include "platform/wintypes.h"

// fopen of a wide name (encoded in the ANSI code page) with a wide mode ("r", "a+", "wb", ...).
// nullptr with errno and the last error set when the name cannot be encoded or opened.
FILE *_wfopen(const wchar_t *filename, const wchar_t *mode);
