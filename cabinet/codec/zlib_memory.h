// zlib's allocation hooks over the caller's allocator: set zalloc, zfree and opaque (a
// CallerAllocator that outlives the stream) before the stream's init call.
#pragma once

#include <zlib.h>

#include <cstdint>

#include "cabinet/format/caller_memory.h"

namespace cab {

inline voidpf ZlibAlloc(voidpf opaque, uInt items, uInt size) {
    if (size != 0 && items > UINT32_MAX / size) {
        return Z_NULL;
    }
    return static_cast<const CallerAllocator *>(opaque)->alloc(ULONG(items * size));
}

inline void ZlibFree(voidpf opaque, voidpf address) {
    static_cast<const CallerAllocator *>(opaque)->free(address);
}

inline void UseCallerMemory(z_stream *stream, const CallerAllocator *allocator) {
    stream->zalloc = ZlibAlloc;
    stream->zfree = ZlibFree;
    stream->opaque = const_cast<CallerAllocator *>(allocator);
}

}  // namespace cab
