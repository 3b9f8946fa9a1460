#include "cabinet/codec/mszip_encoder.h"

#include <cstring>
#include <new>

#include "cabinet/codec/mszip_deflate.h"

#if CABMGR_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

namespace cab {

namespace {

constexpr size_t kStoredRun = 32768 / 2;  // two stored blocks keep each LEN well below 65535

// What each level uses. ISA-L (level > 0 here) when the build has it; our own deflater otherwise,
// and for every level ISA-L does not serve. Level 9 is the best size for its time: deeper chains
// cost more time than they save (a third deeper, a sixth more time for 0.04% less).
struct LevelPlan {
    int isal_level;  // 0: not ISA-L
    DeflateSettings own;
};

constexpr LevelPlan kLevels[tcompMSZIP_LEVEL_HI + 1] = {
    {0, {}},
    {2, {4, 8, 0, 64}},
    {0, {2, 8, 0, 64}},
    {0, {4, 16, 0, 64}},
    {0, {8, 16, 0, 64}},
    {0, {16, 32, 1, 64}},
    {0, {32, 64, 1, 64}},
    {0, {64, 128, 1, 0}},
    {0, {64, 258, 2, 0}},
    {0, {96, 258, 2, 0}},
};

class OwnCoder final : public MszipCoder {
public:
    bool Init(const CallerAllocator &allocator, const DeflateSettings &settings) {
        return deflater_.Init(allocator, settings);
    }

protected:
    size_t Deflate(const uint8_t *window, size_t history, size_t size, uint8_t *out,
                   size_t out_size) override {
        return deflater_.Deflate(window, history, size, out, out_size);
    }

private:
    BlockDeflater deflater_;
};

#if CABMGR_HAVE_ISAL
// ISA-L's deflate, primed with the history through its dictionary. Its stream and level buffer
// come from the caller's allocator.
class IsalCoder final : public MszipCoder {
public:
    bool Init(const CallerAllocator &allocator, int level) {
        level_ = level;
        level_buf_size_ = level == 1   ? ISAL_DEF_LVL1_MEDIUM
                          : level == 2 ? ISAL_DEF_LVL2_MEDIUM
                                       : ISAL_DEF_LVL3_MEDIUM;
        if (!memory_.Allocate(allocator, sizeof(isal_zstream) + level_buf_size_)) {
            return false;
        }
        stream_ = new (memory_.data()) isal_zstream;
        return true;
    }

protected:
    size_t Deflate(const uint8_t *window, size_t history, size_t size, uint8_t *out,
                   size_t out_size) override {
        isal_zstream &s = *stream_;
        // A fresh stream for every block: nothing of the previous block may shape this one.
        isal_deflate_init(&s);
        s.level = uint32_t(level_);
        s.level_buf = memory_.data() + sizeof(isal_zstream);
        s.level_buf_size = uint32_t(level_buf_size_);
        if (history != 0 && isal_deflate_set_dict(&s, const_cast<uint8_t *>(window),
                                                  uint32_t(history)) != COMP_OK) {
            return 0;
        }
        s.end_of_stream = 1;
        s.flush = NO_FLUSH;
        s.next_in = const_cast<uint8_t *>(window + history);
        s.avail_in = uint32_t(size);
        s.next_out = out;
        s.avail_out = uint32_t(out_size);
        if (isal_deflate(&s) != COMP_OK || s.internal_state.state != ZSTATE_END) {
            return 0;
        }
        return out_size - s.avail_out;
    }

private:
    CallerMemory memory_;
    isal_zstream *stream_ = nullptr;
    int level_ = 0;
    size_t level_buf_size_ = 0;
};
#endif

}  // namespace

int MszipLevel(TCOMP type) {
    if ((type & ~(tcompMASK_TYPE | tcompMASK_MSZIP_LEVEL)) != 0 ||
        CompressionTypeFromTCOMP(type) != tcompTYPE_MSZIP) {
        return 0;
    }
    int level = MSZIPCompressionLevelFromTCOMP(type);
    if (level == 0) {
        return kMszipDefaultLevel;
    }
    return level <= tcompMSZIP_LEVEL_HI ? level : 0;
}

CallerPtr<MszipCoder> NewMszipCoder(int level, const CallerAllocator &allocator) {
    if (level < tcompMSZIP_LEVEL_LO || level > tcompMSZIP_LEVEL_HI) {
        return CallerPtr<MszipCoder>(nullptr, CallerDelete{allocator});
    }
    const LevelPlan &plan = kLevels[level];
#if CABMGR_HAVE_ISAL
    if (plan.isal_level != 0) {
        CallerPtr<IsalCoder> coder = MakeCaller<IsalCoder>(allocator);
        if (coder && !coder->Init(allocator, plan.isal_level)) {
            coder.reset();
        }
        return coder;
    }
#endif
    CallerPtr<OwnCoder> coder = MakeCaller<OwnCoder>(allocator);
    if (coder && !coder->Init(allocator, plan.own)) {
        coder.reset();
    }
    return coder;
}

size_t MszipCoder::Encode(const uint8_t *window, size_t history, size_t size, uint8_t *out) {
    if (size == 0 || size > kBlockSize || history > kBlockSize) {
        return 0;
    }
    // A stream that does not fit is one that stored blocks beat.
    size_t produced = Deflate(window, history, size, out + 2, kMszipMaxPayload - 2);
    if (produced == 0) {
        return EncodeMszipStored(window + history, size, out);
    }
    out[0] = 'C';
    out[1] = 'K';
    return produced + 2;
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

}  // namespace cab
