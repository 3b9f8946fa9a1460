#include "cabinet/codec/mszip_encoder.h"

#include <zlib.h>

#include <cstring>
#include <new>

namespace cab {

namespace {
constexpr int kRawDeflateWindowBits = -15;
constexpr int kMemLevel = 8;
constexpr size_t kStoredRun = 32768 / 2;  // two stored blocks keep each LEN well below 65535
}  // namespace

MszipEncoder::~MszipEncoder() {
    if (stream_ != nullptr) {
        deflateEnd(static_cast<z_stream *>(stream_));
        delete static_cast<z_stream *>(stream_);
    }
    delete[] scratch_;
}

bool MszipEncoder::Init(int level) {
    if (stream_ != nullptr) {
        return true;
    }
    auto *zs = new (std::nothrow) z_stream{};
    if (zs == nullptr) {
        return false;
    }
    if (deflateInit2(zs, level, Z_DEFLATED, kRawDeflateWindowBits, kMemLevel, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        delete zs;
        return false;
    }
    // zlib may need a few bytes more than the payload limit before we can tell it did not fit.
    scratch_size_ = deflateBound(zs, kBlockSize) + 64;
    scratch_ = new (std::nothrow) uint8_t[scratch_size_];
    if (scratch_ == nullptr) {
        deflateEnd(zs);
        delete zs;
        return false;
    }
    stream_ = zs;
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
    auto *zs = static_cast<z_stream *>(stream_);
    if (zs == nullptr || size == 0 || size > kBlockSize) {
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
    zs->next_out = scratch_;
    zs->avail_out = uInt(scratch_size_);
    if (deflate(zs, Z_FINISH) != Z_STREAM_END) {
        return 0;
    }
    size_t produced = scratch_size_ - zs->avail_out;
    if (produced + 2 > kMszipMaxPayload) {
        return EncodeMszipStored(data, size, out);
    }
    out[0] = 'C';
    out[1] = 'K';
    memcpy(out + 2, scratch_, produced);
    return produced + 2;
}

}  // namespace cab
