#include <zlib.h>

#include <cstring>
#include <new>

#include "cabinet/cab_format.h"
#include "cabinet/codec.h"

namespace cab {

namespace {

// Each MSZIP block is "CK" and one complete raw deflate stream whose preset dictionary is the
// previous 32 KiB of the folder's output. That history is exactly what zlib's own window holds
// after the previous block, so the stream is reset with the window kept (inflateResetKeep)
// instead of copying the history out and back in through inflateSetDictionary.
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
    z_stream stream_;
    bool initialized_ = false;
    bool folder_start_ = true;
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
