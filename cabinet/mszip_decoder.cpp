#include <zlib.h>

#include <cstring>
#include <new>

#include "cabinet/cab_format.h"
#include "cabinet/codec.h"

namespace cab {

namespace {

// Each MSZIP block is "CK" and one complete raw deflate stream; the previous 32 KiB of the
// folder's output is the stream's preset dictionary.
class MszipDecoder final : public BlockDecoder {
public:
    ~MszipDecoder() override {
        if (initialized_) {
            inflateEnd(&stream_);
        }
    }

    bool Init() {
        memset(&stream_, 0, sizeof(stream_));
        initialized_ = inflateInit2(&stream_, -15) == Z_OK;
        return initialized_;
    }

    void Reset() override { history_size_ = 0; }

    DecodeStatus DecodeBlock(const uint8_t *in, size_t in_size, uint8_t *out,
                             size_t out_size) override {
        if (in_size < 2 || in[0] != 'C' || in[1] != 'K' || out_size > kBlockSize) {
            return DecodeStatus::kBadData;
        }
        if (inflateReset(&stream_) != Z_OK) {
            return DecodeStatus::kBadData;
        }
        if (history_size_ > 0 &&
            inflateSetDictionary(&stream_, history_, uInt(history_size_)) != Z_OK) {
            return DecodeStatus::kBadData;
        }
        stream_.next_in = const_cast<Bytef *>(in + 2);
        stream_.avail_in = uInt(in_size - 2);
        stream_.next_out = out;
        stream_.avail_out = uInt(out_size);
        int rc = inflate(&stream_, Z_FINISH);
        if (rc == Z_MEM_ERROR) {
            return DecodeStatus::kNoMemory;
        }
        // The stream must end exactly at the block's size: short or long output is damage.
        if (rc != Z_STREAM_END || stream_.avail_out != 0) {
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

    z_stream stream_;
    bool initialized_ = false;
    uint8_t history_[kBlockSize];
    size_t history_size_ = 0;
};

}  // namespace

std::unique_ptr<BlockDecoder> NewMszipDecoder() {
    std::unique_ptr<MszipDecoder> decoder(new (std::nothrow) MszipDecoder());
    if (!decoder || !decoder->Init()) {
        return nullptr;
    }
    return decoder;
}

}  // namespace cab
