#include "cabinet/codec/mszip_encoder.h"

#include <zlib.h>

#include <cstring>
#include <new>

#include "cabinet/codec/zlib_memory.h"

namespace cab {

namespace {
constexpr int kRawDeflateWindowBits = -15;
constexpr int kMemLevel = 8;
constexpr size_t kStoredRun = 32768 / 2;  // two stored blocks keep each LEN well below 65535
}  // namespace

MszipEncoder::~MszipEncoder() {
    if (ready_) {
        deflateEnd(reinterpret_cast<z_stream *>(stream_.data()));
    }
}

bool MszipEncoder::Init(int level, const CallerAllocator &allocator) {
    if (ready_) {
        return true;
    }
    allocator_ = allocator;
    if (!stream_.Allocate(allocator_, sizeof(z_stream))) {
        return false;
    }
    auto *zs = new (stream_.data()) z_stream{};
    UseCallerMemory(zs, &allocator_);
    if (deflateInit2(zs, level, Z_DEFLATED, kRawDeflateWindowBits, kMemLevel, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        return false;
    }
    // zlib may need a few bytes more than the payload limit before we can tell it did not fit.
    if (!scratch_.Allocate(allocator_, deflateBound(zs, kBlockSize) + 64)) {
        deflateEnd(zs);
        return false;
    }
    ready_ = true;
    return true;
}

size_t EncodeMszipStored(const uint8_t *data, size_t size, uint8_t *out) {
    uint8_t *p = out;
    *p++ = 'C';
    *p++ = 'K';
    size_t done = 0;
    do {
        size_t run = size - done < kStoredRun ? size - done : kStoredRun;
        bool last = done + run == size;
        *p++ = last ? 1 : 0;  // BFINAL, BTYPE 00, then padding to the byte boundary
        StoreLe16(p, uint16_t(run));
        StoreLe16(p + 2, uint16_t(~run));
        p += 4;
        if (run != 0) {
            memcpy(p, data + done, run);
        }
        p += run;
        done += run;
    } while (done < size);
    return size_t(p - out);
}

size_t MszipEncoder::Encode(const uint8_t *dict, size_t dict_size, const uint8_t *data, size_t size,
                            uint8_t *out) {
    auto *zs = reinterpret_cast<z_stream *>(stream_.data());
    if (!ready_ || size == 0 || size > kBlockSize) {
        return 0;
    }
    if (deflateReset(zs) != Z_OK) {
        return 0;
    }
    if (dict_size != 0 && deflateSetDictionary(zs, dict, uInt(dict_size)) != Z_OK) {
        return 0;
    }
    zs->next_in = const_cast<Bytef *>(data);
    zs->avail_in = uInt(size);
    zs->next_out = scratch_.data();
    zs->avail_out = uInt(scratch_.size());
    if (deflate(zs, Z_FINISH) != Z_STREAM_END) {
        return 0;
    }
    size_t produced = scratch_.size() - zs->avail_out;
    if (produced + 2 > kMszipMaxPayload) {
        return EncodeMszipStored(data, size, out);
    }
    out[0] = 'C';
    out[1] = 'K';
    memcpy(out + 2, scratch_.data(), produced);
    return produced + 2;
}

}  // namespace cab
