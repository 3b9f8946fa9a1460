// Crafted LZX streams the corpus does not reach: E8 translation at frame ends, padding after odd
// uncompressed blocks, the farthest offset of every window size, and noise behind each block type.
// Corpus streams are checked end to end, and under damage, by the FDI suites. Then the encoder:
// folders that stress it, read back by the decoder at every window size and both levels.

#include "cabinet/codec/codec.h"
#include "cabinet/codec/lzx_encoder.h"
#include "cabinet/format/cab_format.h"
#include "tests/support/support.h"

namespace cab::test {
namespace {

// Writes an LZX bit stream: 16-bit little-endian words, most significant bit first.
class StreamWriter {
public:
    void Bits(uint32_t value, int n) {
        for (int i = n - 1; i >= 0; --i) {
            word_ = uint16_t(word_ << 1 | ((value >> i) & 1));
            if (++fill_ == 16)
                Flush();
        }
    }
    // Pads to the word boundary (a whole word if already aligned, as uncompressed blocks need).
    void PadForBytes() { Bits(0, fill_ == 0 ? 16 : 16 - fill_); }
    void Byte(uint8_t b) { bytes_.push_back(b); }
    void Le32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            Byte(uint8_t(v >> (8 * i)));
    }
    // Header of an uncompressed block with R0 = R1 = R2 = 1 and its data, padded to even length.
    void Uncompressed(const std::vector<uint8_t> &data, uint32_t size) {
        Bits(3, 3);
        Bits(size, 24);
        PadForBytes();
        for (int i = 0; i < 3; ++i)
            Le32(1);
        for (uint8_t b : data)
            Byte(b);
    }
    std::vector<uint8_t> Take() { return std::move(bytes_); }

private:
    void Flush() {
        bytes_.push_back(uint8_t(word_));
        bytes_.push_back(uint8_t(word_ >> 8));
        word_ = 0;
        fill_ = 0;
    }
    std::vector<uint8_t> bytes_;
    uint16_t word_ = 0;
    int fill_ = 0;
};

std::vector<uint8_t> Decode(BlockDecoder &decoder, const std::vector<uint8_t> &in, size_t size,
                            DecodeStatus expect = DecodeStatus::kOk) {
    std::vector<uint8_t> out(size);
    EXPECT_EQ(decoder.DecodeBlock(in.data(), in.size(), out.data(), out.size()), expect);
    return out;
}

DecoderPtr Window(int bits) {
    bool supported = false;
    auto decoder = NewLzxDecoder(bits, &supported);
    EXPECT_TRUE(supported && decoder);
    return decoder;
}

// An odd-sized uncompressed block is followed by a pad byte; the next block header must be read
// after it, from a fresh word.
TEST(LzxDecoder, OddUncompressedBlockIsPadded) {
    auto decoder = Window(15);
    // The documented "abc" stream, byte for byte.
    std::vector<uint8_t> abc = {0x00, 0x30, 0x30, 0x00, 1, 0, 0,   0,   1,   0,
                                0,    0,    1,    0,    0, 0, 'a', 'b', 'c', 0};
    EXPECT_EQ(Decode(*decoder, abc, 3), (std::vector<uint8_t>{'a', 'b', 'c'}));

    decoder->Reset();
    StreamWriter w;
    w.Bits(0, 1);  // no E8
    w.Uncompressed({'a', 'b', 'c', 0}, 3);
    w.Uncompressed({'d', 'e'}, 2);
    EXPECT_EQ(Decode(*decoder, w.Take(), 5), (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e'}));
}

// E8 reversal works per frame with the frame's folder offset, never touches the last 10 bytes'
// opcodes, and the window keeps the untranslated bytes (a later frame copies them verbatim).
TEST(LzxDecoder, E8ReversalStopsTenBytesBeforeFrameEnd) {
    const uint32_t translation = 12000000;
    std::vector<uint8_t> frame1(32768, 0x90), frame2(32, 0x90);
    auto put_call = [](std::vector<uint8_t> &f, size_t at, uint32_t operand) {
        f[at] = 0xE8;
        StoreLe32(f.data() + at + 1, operand);
    };
    put_call(frame1, 32768 - 16, 40000);  // translated: 40000 - 32752
    put_call(frame1, 32768 - 10, 5);      // first position past the scan limit
    put_call(frame2, 0, 32768 + 100);     // frame offset counts: 100
    put_call(frame2, 21, 7);              // 32 - 10 = 22 > 21: translated, -32789 + 7
    StreamWriter w;
    w.Bits(1, 1);
    w.Bits(translation >> 16, 16);
    w.Bits(translation & 0xFFFF, 16);
    std::vector<uint8_t> data = frame1;
    data.insert(data.end(), frame2.begin(), frame2.end());
    w.Uncompressed(data, uint32_t(data.size()));
    std::vector<uint8_t> stream = w.Take();
    // The first CFDATA ends where frame 1's data ends; the rest continues in byte mode.
    size_t split = stream.size() - frame2.size();
    std::vector<uint8_t> in1(stream.begin(), stream.begin() + split),
        in2(stream.begin() + split, stream.end());
    auto decoder = Window(15);
    std::vector<uint8_t> out1 = Decode(*decoder, in1, 32768);
    std::vector<uint8_t> out2 = Decode(*decoder, in2, 32);
    EXPECT_EQ(LoadLe32(out1.data() + 32768 - 15), 40000u - (32768 - 16));
    EXPECT_EQ(LoadLe32(out1.data() + 32768 - 9), 5u);
    EXPECT_EQ(LoadLe32(out2.data() + 1), 100u);
    EXPECT_EQ(LoadLe32(out2.data() + 22), uint32_t(7 - (32768 + 21)));
}

// cbUncomp is the frame size: only the last frame may be short, and nothing may follow it.
TEST(LzxDecoder, ShortFrameEndsTheFolder) {
    auto decoder = Window(16);
    StreamWriter w;
    w.Bits(0, 1);
    w.Uncompressed({'x', 'y'}, 2);
    std::vector<uint8_t> in = w.Take();
    Decode(*decoder, in, 2);
    Decode(*decoder, in, 2, DecodeStatus::kBadData);
    decoder->Reset();
    Decode(*decoder, in, 1, DecodeStatus::kBadData);  // block promises more than the folder holds
    decoder->Reset();
    Decode(*decoder, in, 3, DecodeStatus::kBadData);  // input runs out
}

// Writes the path lengths of one tree part with a pretree that gives symbols 0, 16, 17 and 18
// two-bit codes (00, 01, 10, 11). `lengths` are 0 or 1, deltas against all-zero previous lengths.
void WriteLengths(StreamWriter &w, const std::vector<int> &lengths) {
    for (int i = 0; i < 20; ++i)
        w.Bits(i == 0 || i == 16 || i == 17 || i == 18 ? 2 : 0, 4);
    size_t i = 0;
    while (i < lengths.size()) {
        size_t zeros = 0;
        while (i + zeros < lengths.size() && lengths[i + zeros] == 0)
            ++zeros;
        if (zeros >= 20) {
            size_t run = std::min<size_t>(zeros, 51);
            w.Bits(3, 2);
            w.Bits(uint32_t(run - 20), 5);
            i += run;
        } else if (zeros >= 4) {
            w.Bits(2, 2);
            w.Bits(uint32_t(zeros - 4), 4);
            i += zeros;
        } else if (zeros > 0) {
            w.Bits(0, 2);  // (0 - 0) mod 17 = 0
            ++i;
        } else {
            w.Bits(1, 2);  // symbol 16: (0 - 16 + 17) mod 17 = 1
            ++i;
        }
    }
}

// For every window size: a whole window of uncompressed data spread over frames, then a verbatim
// block whose only token is a match from the last position slot at the largest offset the format
// allows (W - 3). A wrong slot count misreads the main tree; a wrong slot base copies other bytes.
TEST(LzxDecoder, FarthestOffsetOfEveryWindowSize) {
    const int slot_counts[] = {30, 32, 34, 36, 38, 42, 50};
    for (int bits = 15; bits <= 21; ++bits) {
        const uint32_t window = 1u << bits;
        const int slots = slot_counts[bits - 15];
        std::vector<uint8_t> data(window);
        for (uint32_t i = 0; i < window; ++i)
            data[i] = uint8_t(i * 7 ^ (i >> 9));
        StreamWriter w;
        w.Bits(0, 1);
        w.Uncompressed({}, window);
        std::vector<uint8_t> head = w.Take();
        auto decoder = Window(bits);
        for (uint32_t at = 0; at < window; at += 32768) {
            std::vector<uint8_t> in = at == 0 ? head : std::vector<uint8_t>();
            in.insert(in.end(), data.begin() + at, data.begin() + at + 32768);
            ASSERT_EQ(Decode(*decoder, in, 32768),
                      std::vector<uint8_t>(data.begin() + at, data.begin() + at + 32768))
                << bits;
        }
        // Slot bases: 0,1,2,3 then doubling steps of 2^((p-2)/2), 17 bits from slot 36.
        uint32_t base = 0, extra = 0;
        for (int p = 0; p < slots; ++p) {
            extra = p < 4 ? 0 : (p < 36 ? (p - 2) / 2 : 17);
            if (p < slots - 1)
                base += 1u << extra;
        }
        const uint32_t footer = (window - 3 + 2) - base;  // formatted offset = offset + 2
        ASSERT_LT(footer, 1u << extra) << bits;
        const int match_symbol = (slots - 1) * 8 + 6;  // length header 6: 8 bytes
        w.Bits(1, 3);                                  // verbatim
        w.Bits(8, 24);
        std::vector<int> main_low(256, 0), main_high(size_t(slots) * 8, 0);
        main_low['a'] = 1;
        main_high[size_t(match_symbol)] = 1;
        WriteLengths(w, main_low);
        WriteLengths(w, main_high);
        WriteLengths(w, std::vector<int>(249, 0));  // empty length tree
        w.Bits(1, 1);                               // the match symbol: code "1" ('a' is "0")
        w.Bits(footer, int(extra));
        w.PadForBytes();
        std::vector<uint8_t> out = Decode(*decoder, w.Take(), 8);
        EXPECT_EQ(out, std::vector<uint8_t>(data.begin() + 3, data.begin() + 11)) << bits;
    }
}

// Noise at every window size, for LZX behind each block-type header: decoding ends in kOk or
// kBadData within the buffers (the sanitizers watch), some noise is refused, and after Reset the
// same frames decode the same way, whatever came before.
TEST(Decoders, NoiseEndsCleanlyAndResetForgetsIt) {
    Rng rng(0x2545F491);
    int bad = 0;
    for (int bits = 10; bits <= 21; ++bits) {
        for (bool lzx : {true, false}) {
            if (lzx && bits < 15)
                continue;
            SCOPED_TRACE((lzx ? "lzx " : "quantum ") + std::to_string(bits));
            bool supported = false;
            auto decoder =
                lzx ? NewLzxDecoder(bits, &supported) : NewQuantumDecoder(1, bits, &supported);
            ASSERT_TRUE(supported && decoder);
            for (int run = 0; run < 30; ++run) {
                std::vector<Bytes> frames(3);
                StreamWriter w;
                w.Bits(run & 1, 1);
                if (run & 1)
                    w.Bits(uint32_t(rng.Next()), 32);
                w.Bits(1 + run % 3, 3);  // verbatim, aligned, uncompressed
                w.Bits(uint32_t(rng.Next() % 100000) + 1, 24);
                frames[0] = lzx ? w.Take() : Bytes();
                for (Bytes &frame : frames) {
                    for (size_t size = 16 + rng.Next() % 4000; frame.size() < size;)
                        frame.push_back(uint8_t(rng.Next()));
                }
                std::string first, again;
                for (std::string *log : {&first, &again}) {
                    decoder->Reset();
                    for (const Bytes &frame : frames) {
                        Bytes out(32768);
                        auto s = decoder->DecodeBlock(frame.data(), frame.size(), out.data(),
                                                      out.size());
                        ASSERT_NE(s, DecodeStatus::kNoMemory);
                        *log += std::to_string(int(s)) + std::string(out.begin(), out.end());
                        if (s == DecodeStatus::kBadData) {
                            bad += log == &first;
                            break;
                        }
                    }
                }
                ASSERT_TRUE(first == again) << run;
            }
        }
    }
    EXPECT_GT(bad, 0);
}

// ---- encoder ----

struct FrameList : LzxFrameSink {
    std::vector<Bytes> payloads;
    std::vector<uint32_t> sizes;
    bool TakeFrame(const uint8_t *payload, uint32_t size, uint32_t uncompressed) override {
        payloads.emplace_back(payload, payload + size);
        sizes.push_back(uncompressed);
        return true;
    }
};

// Encodes `data` as one folder. Every frame is within the payload limit, even, 32768 bytes but
// the last, and decodes back to `data`. The payloads' total goes to `packed`.
void ExpectRoundTrip(const Bytes &data, int bits, LzxLevel level, const std::string &what,
                     size_t *packed = nullptr) {
    SCOPED_TRACE(what + " window " + std::to_string(bits) +
                 (level == LzxLevel::kFast ? " fast" : " thorough"));
    std::vector<uint64_t> memory(LzxEncoder::MemorySize(bits, level) / 8 + 1);
    LzxEncoder encoder(bits, level, memory.data());
    FrameList frames;
    ASSERT_TRUE(encoder.Write(data.data(), data.size(), frames) && encoder.Finish(frames));
    ASSERT_EQ(frames.payloads.size(), (data.size() + 32767) / 32768);
    auto decoder = Window(bits);
    Bytes out;
    for (size_t f = 0; f < frames.payloads.size(); ++f) {
        const Bytes &payload = frames.payloads[f];
        ASSERT_LE(payload.size(), kMaxLzxBlock);
        ASSERT_EQ(payload.size() % 2, 0u);
        ASSERT_EQ(frames.sizes[f], std::min<size_t>(32768, data.size() - 32768 * f));
        Bytes frame = Decode(*decoder, payload, frames.sizes[f]);
        out.insert(out.end(), frame.begin(), frame.end());
        if (packed != nullptr)
            *packed += payload.size();
    }
    ASSERT_TRUE(out == data);
}

TEST(LzxEncoder, FoldersReadBackAtEveryWindowSize) {
    for (int bits = 15; bits <= 21; ++bits) {
        const size_t window = size_t(1) << bits;
        const std::string far = RandomBytes(300, 3), gap = RandomBytes(window - 4 - 300, 4);
        const std::pair<std::string, Bytes> inputs[] = {
            {"empty", {}},
            {"one byte", {42}},
            {"zeros", Bytes(200000, 0)},
            {"random", ToBytes(RandomBytes(100000, 1))},
            {"text", MakeContent(300000, 2)},
            {"x86 code", ToBytes(CallHeavyCode(100000, 7))},
            {"all E8", Bytes(70000, 0xE8)},
            {"one frame", MakeContent(32768, 5)},
            {"a frame and a byte", MakeContent(32769, 6)},
            // The repeat lies at the largest offset the encoder uses (one short of the format's,
            // which 7-Zip misreads as a repeated offset), then one byte further.
            {"repeat inside the window", ToBytes(far + gap + far)},
            {"repeat outside the window", ToBytes(far + gap + '\1' + far)},
        };
        // Incompressible data seen twice (a compressed file packed twice) is found again.
        const std::string random = RandomBytes(20000, 8);
        for (LzxLevel level : {LzxLevel::kFast, LzxLevel::kThorough}) {
            for (const auto &[what, data] : inputs)
                ExpectRoundTrip(data, bits, level, what);
            size_t packed = 0;
            ExpectRoundTrip(ToBytes(random + random), bits, level, "random twice", &packed);
            EXPECT_LT(packed, random.size() * 11 / 10);
        }
    }
}

}  // namespace
}  // namespace cab::test
