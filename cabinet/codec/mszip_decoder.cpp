#include <zlib.h>

#include <cstring>
#include <new>

#include "cabinet/codec/codec.h"
#include "cabinet/codec/mszip_decoder.h"
#include "cabinet/codec/zlib_memory.h"
#include "cabinet/format/cab_format.h"

#if CABMGR_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

namespace cab {

namespace {

// Each MSZIP block is "CK" and one complete raw deflate stream whose preset dictionary is the
// previous 32 KiB of the folder's output. That history is exactly what zlib's own window holds
// after the previous block, so the stream is reset with the window kept (inflateResetKeep)
// instead of copying the history out and back in through inflateSetDictionary.
class MszipDecoder final : public BlockDecoder {
public:
    explicit MszipDecoder(const CallerAllocator &allocator) : allocator_(allocator) {}
    ~MszipDecoder() override {
        if (initialized_) {
            inflateEnd(&stream_);
        }
    }

    bool Init() {
        memset(&stream_, 0, sizeof(stream_));
        UseCallerMemory(&stream_, &allocator_);
        initialized_ = inflateInit2(&stream_, -15) == Z_OK;
        // zlib takes its window at the first output; setting a dictionary takes it now, on the
        // caller's thread, as blocks may be decoded on a worker.
        const Bytef none = 0;
        return initialized_ && inflateSetDictionary(&stream_, &none, 1) == Z_OK;
    }

    void Reset() override { folder_start_ = true; }

    DecodeStatus DecodeBlock(const uint8_t *in, size_t in_size, uint8_t *out,
                             size_t out_size) override {
        if (in_size < 2 || in[0] != 'C' || in[1] != 'K' || out_size > kBlockSize) {
            return DecodeStatus::kBadData;
        }
        // A new folder starts with an empty window; later blocks keep it as their history.
        int rc = folder_start_ ? inflateReset(&stream_) : inflateResetKeep(&stream_);
        if (rc != Z_OK) {
            return DecodeStatus::kBadData;
        }
        folder_start_ = false;
        stream_.next_in = const_cast<Bytef *>(in + 2);
        stream_.avail_in = uInt(in_size - 2);
        stream_.next_out = out;
        stream_.avail_out = uInt(out_size);
        // Not Z_FINISH: with it zlib may skip filling its window when the stream ends at once.
        rc = inflate(&stream_, Z_NO_FLUSH);
        if (rc == Z_MEM_ERROR) {
            return DecodeStatus::kNoMemory;
        }
        // The stream must end exactly at the block's size: short or long output is damage, and
        // the window is then no history for a next block.
        if (rc != Z_STREAM_END || stream_.avail_out != 0) {
            folder_start_ = true;
            return DecodeStatus::kBadData;
        }
        return DecodeStatus::kOk;
    }

private:
    const CallerAllocator allocator_;
    z_stream stream_;
    bool initialized_ = false;
    bool folder_start_ = true;
};

#if CABMGR_HAVE_ISAL
// The same format through ISA-L's inflate, about twice as fast as zlib's. Its state cannot keep a
// window across streams, so the last 32 KiB of output is kept here and set as the dictionary.
class IsalMszipDecoder final : public BlockDecoder {
public:
    IsalMszipDecoder() { isal_inflate_init(&state_); }

    void Reset() override { history_size_ = 0; }

    DecodeStatus DecodeBlock(const uint8_t *in, size_t in_size, uint8_t *out,
                             size_t out_size) override {
        if (in_size < 2 || in[0] != 'C' || in[1] != 'K' || out_size > kBlockSize) {
            return DecodeStatus::kBadData;
        }
        isal_inflate_reset(&state_);
        state_.crc_flag = ISAL_DEFLATE;
        state_.hist_bits = 0;
        if (history_size_ > 0 &&
            isal_inflate_set_dict(&state_, history_, uint32_t(history_size_)) != COMP_OK) {
            return DecodeStatus::kBadData;
        }
        state_.next_in = const_cast<uint8_t *>(in + 2);
        state_.avail_in = uint32_t(in_size - 2);
        state_.next_out = out;
        state_.avail_out = uint32_t(out_size);
        int rc = isal_inflate(&state_);
        if (rc == ISAL_DECOMP_OK && state_.block_state != ISAL_BLOCK_FINISH &&
            state_.avail_out == 0) {
            // With the output exactly full the end of the stream may still be unread: any
            // further byte would be output beyond the block's size.
            uint8_t spare[8];
            state_.next_out = spare;
            state_.avail_out = sizeof(spare);
            rc = isal_inflate(&state_);
        }
        if (rc != ISAL_DECOMP_OK || state_.block_state != ISAL_BLOCK_FINISH ||
            state_.total_out != out_size) {
            history_size_ = 0;
            return DecodeStatus::kBadData;
        }
        KeepHistory(out, out_size);
        return DecodeStatus::kOk;
    }

private:
    void KeepHistory(const uint8_t *out, size_t size) {
        if (size >= kBlockSize) {
            memcpy(history_, out + size - kBlockSize, kBlockSize);
            history_size_ = kBlockSize;
            return;
        }
        size_t keep = history_size_ + size > kBlockSize ? kBlockSize - size : history_size_;
        memmove(history_, history_ + history_size_ - keep, keep);
        memcpy(history_ + keep, out, size);
        history_size_ = keep + size;
    }

    inflate_state state_;
    uint8_t history_[kBlockSize];
    size_t history_size_ = 0;
};
#endif

}  // namespace

DecoderPtr NewZlibMszipDecoder(const CallerAllocator &allocator) {
    auto decoder = MakeCaller<MszipDecoder>(allocator, allocator);
    if (!decoder || !decoder->Init()) {
        return nullptr;
    }
    return decoder;
}

DecoderPtr NewIsalMszipDecoder(const CallerAllocator &allocator) {
#if CABMGR_HAVE_ISAL
    return MakeCaller<IsalMszipDecoder>(allocator);
#else
    (void)allocator;
    return nullptr;
#endif
}

DecoderPtr NewMszipDecoder(const CallerAllocator &allocator) {
#if CABMGR_HAVE_ISAL
    return NewIsalMszipDecoder(allocator);
#else
    return NewZlibMszipDecoder(allocator);
#endif
}

}  // namespace cab
