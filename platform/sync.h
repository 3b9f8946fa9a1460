// Critical sections: re-entrant locks for the calling thread, as on Windows.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

// Opaque storage for the POSIX mutex behind it; only the functions below touch it.
struct CRITICAL_SECTION {
    alignas(std::max_align_t) unsigned char opaque[64];
};
typedef CRITICAL_SECTION *LPCRITICAL_SECTION;

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
