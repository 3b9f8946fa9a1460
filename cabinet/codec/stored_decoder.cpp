#include <cstring>
#include <new>

#include "cabinet/codec/codec.h"

namespace cab {

namespace {

// Stored blocks carry their bytes as they are: the only check is that the sizes agree.
class StoredDecoder final : public BlockDecoder {
public:
    void Reset() override {}
    DecodeStatus DecodeBlock(const uint8_t *in, size_t in_size, uint8_t *out,
                             size_t out_size) override {
        if (in_size != out_size) {
            return DecodeStatus::kBadData;
        }
        if (out_size > 0) {
            memcpy(out, in, out_size);
        }
        return DecodeStatus::kOk;
    }
};

}  // namespace

DecoderPtr NewStoredDecoder(const CallerAllocator &allocator) {
    return MakeCaller<StoredDecoder>(allocator);
}

}  // namespace cab
