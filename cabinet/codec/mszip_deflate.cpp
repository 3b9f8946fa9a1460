#include "cabinet/codec/mszip_deflate.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace cab {

namespace {

constexpr uint32_t kMaxDistance = 32768;
constexpr uint32_t kMinMatch = 3;
constexpr uint32_t kMaxMatch = 258;
constexpr uint32_t kMaxBlock = 32768;
constexpr int kHashBits = 15;
constexpr uint32_t kHashSize = 1u << kHashBits;
// A 3-byte match further back than this costs more than its three literals, as a rule.
constexpr uint32_t kMaxShortDistance = 4096;

constexpr int kLitLenSymbols = 288;  // 286 used; the fixed code defines 288
constexpr int kDistSymbols = 30;
constexpr int kCodeLenSymbols = 19;
constexpr int kEndOfBlock = 256;
constexpr int kMaxCodeLength = 15;
constexpr int kMaxCodeLenCodeLength = 7;

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                    33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kCodeLenOrder[kCodeLenSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                    11, 4,  12, 3, 13, 2, 14, 1, 15};

struct SymbolTables {
    uint8_t length_slot[kMaxMatch + 1];  // match length -> slot (symbol - 257)
    uint8_t dist_slot_low[256];          // distance - 1 < 256 -> slot
    uint8_t dist_slot_high[256];         // (distance - 1) >> 7 -> slot
};

constexpr SymbolTables MakeSymbolTables() {
    SymbolTables t{};
    for (int slot = 0; slot < 29; ++slot) {
        int top = slot == 28 ? kMaxMatch : kLengthBase[slot] + (1 << kLengthExtra[slot]) - 1;
        for (int len = kLengthBase[slot]; len <= top; ++len) {
            t.length_slot[len] = uint8_t(slot);
        }
    }
    // Length 258 has a slot of its own, although slot 27 could reach it too.
    t.length_slot[kMaxMatch] = 28;
    for (int slot = 0; slot < 30; ++slot) {
        int first = kDistBase[slot] - 1, last = first + (1 << kDistExtra[slot]) - 1;
        for (int d = first; d <= last; ++d) {
            if (d < 256) {
                t.dist_slot_low[d] = uint8_t(slot);
            } else {
                t.dist_slot_high[d >> 7] = uint8_t(slot);
            }
        }
    }
    return t;
}

constexpr SymbolTables kSymbols = MakeSymbolTables();

inline int LengthSlot(uint32_t len) {
    return kSymbols.length_slot[len];
}
inline int DistSlot(uint32_t dist) {
    uint32_t d = dist - 1;
    return d < 256 ? kSymbols.dist_slot_low[d] : kSymbols.dist_slot_high[d >> 7];
}

inline uint32_t Load32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
inline uint64_t Load64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}
// How far `m` and `cur` agree, knowing the first 4 bytes do, up to `limit`.
inline uint32_t MatchLength(const uint8_t *m, const uint8_t *cur, uint32_t limit) {
    uint32_t len = 4;
    while (len + 8 <= limit) {
        uint64_t x = Load64(m + len) ^ Load64(cur + len);
        if (x != 0) {
            return len + uint32_t(__builtin_ctzll(x) >> 3);
        }
        len += 8;
    }
    while (len < limit && m[len] == cur[len]) {
        ++len;
    }
    return len;
}
inline uint32_t Hash4(const uint8_t *p) {
    return (Load32(p) * 0x9E3779B1u) >> (32 - kHashBits);
}
inline uint32_t Hash3(const uint8_t *p) {
    return ((Load32(p) & 0xFFFFFFu) * 0x9E3779B1u) >> (32 - kHashBits);
}

// Tokens: a literal is its byte; a match is (length << 16) | distance, never below 3 << 16.
inline uint32_t MatchToken(uint32_t len, uint32_t dist) {
    return (len << 16) | dist;
}

// One prefix code: lengths and the codes, bit-reversed for LSB-first output.
template <int N>
struct Code {
    uint8_t len[N];
    uint16_t bits[N];
};

// Canonical codes from the lengths, bit-reversed.
template <int N>
void AssignCodes(Code<N> *code) {
    int count[kMaxCodeLength + 2] = {};
    for (int i = 0; i < N; ++i) {
        ++count[code->len[i]];
    }
    count[0] = 0;
    uint16_t next[kMaxCodeLength + 2] = {};
    uint32_t c = 0;
    for (int l = 1; l <= kMaxCodeLength; ++l) {
        c = (c + count[l - 1]) << 1;
        next[l] = uint16_t(c);
    }
    for (int i = 0; i < N; ++i) {
        const int l = code->len[i];
        uint32_t v = next[l]++, r = 0;
        for (int b = 0; b < l; ++b) {
            r = (r << 1) | ((v >> b) & 1);
        }
        code->bits[i] = uint16_t(r);
    }
}

// Counts per length of a Huffman code for the `n` symbols `sym`, sorted by rising frequency, with
// depths beyond `limit` counted at `limit`. The tree is built with two queues: leaves in that
// order, internal nodes in the order they are made (which is also by weight).
template <int N>
void CountDepths(const uint32_t *freq, const uint16_t *sym, int n, int limit, int *count) {
    uint32_t weight[2 * N];
    int parent[2 * N];
    for (int i = 0; i < n; ++i) {
        weight[i] = freq[sym[i]];
    }
    int leaf = 0, node = n, next = n;
    auto take = [&]() {
        if (leaf < n && (node == next || weight[leaf] <= weight[node])) {
            return leaf++;
        }
        return node++;
    };
    while (next < 2 * n - 1) {
        int a = take(), b = take();
        weight[next] = weight[a] + weight[b];
        parent[a] = parent[b] = next;
        ++next;
    }
    // Depths from the root down; the root is the last node made.
    int depth[2 * N];
    depth[2 * n - 2] = 0;
    for (int i = 2 * n - 3; i >= 0; --i) {
        depth[i] = depth[parent[i]] + 1;
    }
    for (int i = 0; i < n; ++i) {
        ++count[std::min(depth[i], limit)];
    }
}

// Clamping made the code overfull: lengthen the deepest codes that may grow until it fits, then
// shorten codes where that leaves room, so that the code is complete.
void FitLengths(int *count, int limit) {
    const uint32_t full = 1u << limit;
    uint32_t kraft = 0;
    for (int l = 1; l <= limit; ++l) {
        kraft += uint32_t(count[l]) << (limit - l);
    }
    while (kraft > full) {
        int l = limit - 1;
        while (count[l] == 0) {
            --l;
        }
        --count[l];
        ++count[l + 1];
        kraft -= 1u << (limit - l - 1);
    }
    for (int l = limit; l >= 2 && kraft < full; --l) {
        while (count[l] > 0 && kraft + (1u << (limit - l)) <= full) {
            --count[l];
            ++count[l - 1];
            kraft += 1u << (limit - l);
        }
    }
}

// Code lengths limited to `limit` for the symbols with a non-zero frequency; at least two
// symbols always get a code, so that every code is complete (some decoders refuse others).
template <int N>
void BuildCode(const uint32_t *freq_in, int limit, Code<N> *code) {
    uint32_t freq[N];
    memcpy(freq, freq_in, sizeof(freq));
    int used = 0;
    for (int i = 0; i < N; ++i) {
        used += freq[i] != 0;
    }
    for (int i = 0; used < 2; ++i) {
        if (freq[i] == 0) {
            freq[i] = 1;
            ++used;
        }
    }
    uint16_t sym[N];
    int n = 0;
    for (int i = 0; i < N; ++i) {
        if (freq[i] != 0) {
            sym[n++] = uint16_t(i);
        }
    }
    std::sort(sym, sym + n, [&](uint16_t a, uint16_t b) {
        return freq[a] != freq[b] ? freq[a] < freq[b] : a < b;
    });
    int count[kMaxCodeLength + 2] = {};
    CountDepths<N>(freq, sym, n, limit, count);
    FitLengths(count, limit);
    // The longest codes go to the rarest symbols.
    memset(code->len, 0, sizeof(code->len));
    int at = 0;
    for (int l = limit; l >= 1; --l) {
        for (int k = 0; k < count[l]; ++k) {
            code->len[sym[at++]] = uint8_t(l);
        }
    }
    AssignCodes(code);
}

class BitWriter {
public:
    BitWriter(uint8_t *out, size_t size) : out_(out), at_(out), end_(out + size) {}

    void Put(uint32_t bits, int count) {
        buf_ |= uint64_t(bits) << fill_;
        fill_ += count;
        if (fill_ >= 32) {
            if (end_ - at_ >= 4) {
                uint32_t v = uint32_t(buf_);
                memcpy(at_, &v, 4);
                at_ += 4;
            } else {
                overflow_ = true;
            }
            buf_ >>= 32;
            fill_ -= 32;
        }
    }
    void AlignToByte() {
        int pad = (8 - fill_ % 8) % 8;
        Put(0, pad);
    }
    void PutBytes(const uint8_t *data, size_t size) {
        AlignToByte();
        while (fill_ > 0) {
            PutByte(uint8_t(buf_));
            buf_ >>= 8;
            fill_ -= 8;
        }
        if (size_t(end_ - at_) < size) {
            overflow_ = true;
            return;
        }
        memcpy(at_, data, size);
        at_ += size;
    }
    // Bytes written, the last partial byte included; 0 when the output did not fit.
    size_t Finish() {
        while (fill_ > 0) {
            PutByte(uint8_t(buf_));
            buf_ >>= 8;
            fill_ = fill_ > 8 ? fill_ - 8 : 0;
        }
        return overflow_ ? 0 : size_t(at_ - out_);
    }

private:
    void PutByte(uint8_t b) {
        if (at_ == end_) {
            overflow_ = true;
            return;
        }
        *at_++ = b;
    }

    uint8_t *out_, *at_, *end_;
    uint64_t buf_ = 0;
    int fill_ = 0;
    bool overflow_ = false;
};

// The code-length sequence of a dynamic header, run-length coded: symbol in the low byte, extra
// bits value above it.
struct HeaderPlan {
    int hlit, hdist, hclen;
    uint16_t items[kLitLenSymbols + kDistSymbols];
    int n_items;
    Code<kCodeLenSymbols> code;
    uint64_t bits;  // the header's size
};

// The code lengths as code-length symbols, runs folded into 16, 17 and 18 (the repeat count in
// the high byte); counts each symbol in `freq`, returns how many items.
int RunLengthItems(const uint8_t *lens, int total, uint16_t *items, uint32_t *freq) {
    int n = 0;
    for (int i = 0; i < total;) {
        uint8_t v = lens[i];
        int run = 1;
        while (i + run < total && lens[i + run] == v) {
            ++run;
        }
        i += run;
        if (v == 0) {
            while (run >= 11) {
                int r = std::min(run, 138);
                items[n++] = uint16_t(18 | ((r - 11) << 8));
                ++freq[18];
                run -= r;
            }
            if (run >= 3) {
                items[n++] = uint16_t(17 | ((run - 3) << 8));
                ++freq[17];
                run = 0;
            }
        } else {
            items[n++] = v;
            ++freq[v];
            --run;
            while (run >= 3) {
                int r = std::min(run, 6);
                items[n++] = uint16_t(16 | ((r - 3) << 8));
                ++freq[16];
                run -= r;
            }
        }
        while (run-- > 0) {
            items[n++] = v;
            ++freq[v];
        }
    }
    return n;
}

void PlanHeader(const Code<kLitLenSymbols> &litlen, const Code<kDistSymbols> &dist,
                HeaderPlan *plan) {
    int hlit = 286;
    while (hlit > 257 && litlen.len[hlit - 1] == 0) {
        --hlit;
    }
    int hdist = kDistSymbols;
    while (hdist > 1 && dist.len[hdist - 1] == 0) {
        --hdist;
    }
    uint8_t lens[kLitLenSymbols + kDistSymbols];
    memcpy(lens, litlen.len, size_t(hlit));
    memcpy(lens + hlit, dist.len, size_t(hdist));
    const int total = hlit + hdist;
    uint32_t freq[kCodeLenSymbols] = {};
    const int n = RunLengthItems(lens, total, plan->items, freq);
    BuildCode(freq, kMaxCodeLenCodeLength, &plan->code);
    int hclen = kCodeLenSymbols;
    while (hclen > 4 && plan->code.len[kCodeLenOrder[hclen - 1]] == 0) {
        --hclen;
    }
    uint64_t bits = 5 + 5 + 4 + 3 * uint64_t(hclen);
    for (int s = 0; s < kCodeLenSymbols; ++s) {
        static constexpr uint8_t kExtra[kCodeLenSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                            0, 0, 0, 0, 0, 0, 2, 3, 7};
        bits += uint64_t(freq[s]) * (plan->code.len[s] + kExtra[s]);
    }
    plan->hlit = hlit;
    plan->hdist = hdist;
    plan->hclen = hclen;
    plan->n_items = n;
    plan->bits = bits;
}

const Code<kLitLenSymbols> &FixedLitLen() {
    static const Code<kLitLenSymbols> code = [] {
        Code<kLitLenSymbols> c{};
        for (int i = 0; i < kLitLenSymbols; ++i) {
            c.len[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        }
        AssignCodes(&c);
        return c;
    }();
    return code;
}

const Code<kDistSymbols> &FixedDist() {
    static const Code<kDistSymbols> code = [] {
        Code<kDistSymbols> c{};
        for (int i = 0; i < kDistSymbols; ++i) {
            c.len[i] = 5;
        }
        AssignCodes(&c);
        return c;
    }();
    return code;
}

// Adds the bits the symbols take with the dynamic codes and with the fixed ones.
void AddSymbolBits(const uint32_t *litlen_freq, const uint32_t *dist_freq,
                   const Code<kLitLenSymbols> &litlen, const Code<kDistSymbols> &dist,
                   uint64_t *dynamic_bits, uint64_t *fixed_bits) {
    const Code<kLitLenSymbols> &fl = FixedLitLen();
    for (int s = 0; s < kLitLenSymbols; ++s) {
        uint32_t f = litlen_freq[s];
        if (f == 0) {
            continue;
        }
        uint64_t extra = s >= 257 ? kLengthExtra[s - 257] : 0;
        *dynamic_bits += f * (litlen.len[s] + extra);
        *fixed_bits += f * (fl.len[s] + extra);
    }
    for (int s = 0; s < kDistSymbols; ++s) {
        uint64_t f = dist_freq[s];
        *dynamic_bits += f * (dist.len[s] + kDistExtra[s]);
        *fixed_bits += f * (5 + kDistExtra[s]);
    }
}

void PutHeader(const HeaderPlan &h, BitWriter *bw) {
    bw->Put(uint32_t(h.hlit - 257), 5);
    bw->Put(uint32_t(h.hdist - 1), 5);
    bw->Put(uint32_t(h.hclen - 4), 4);
    for (int i = 0; i < h.hclen; ++i) {
        bw->Put(h.code.len[kCodeLenOrder[i]], 3);
    }
    for (int i = 0; i < h.n_items; ++i) {
        int s = h.items[i] & 0xFF, extra = h.items[i] >> 8;
        bw->Put(h.code.bits[s], h.code.len[s]);
        if (s >= 16) {
            bw->Put(uint32_t(extra), s == 16 ? 2 : s == 17 ? 3 : 7);
        }
    }
}

void PutTokens(const uint32_t *tokens, uint32_t n_tokens, const Code<kLitLenSymbols> &lc,
               const Code<kDistSymbols> &dc, BitWriter *bw) {
    for (uint32_t i = 0; i < n_tokens; ++i) {
        uint32_t tok = tokens[i];
        uint32_t len = tok >> 16;
        if (len == 0) {
            bw->Put(lc.bits[tok], lc.len[tok]);
            continue;
        }
        uint32_t dist = tok & 0xFFFF;
        int ls = LengthSlot(len), ds = DistSlot(dist);
        bw->Put(lc.bits[257 + ls], lc.len[257 + ls]);
        bw->Put(len - kLengthBase[ls], kLengthExtra[ls]);
        bw->Put(dc.bits[ds], dc.len[ds]);
        bw->Put(dist - kDistBase[ds], kDistExtra[ds]);
    }
    bw->Put(lc.bits[kEndOfBlock], lc.len[kEndOfBlock]);
}

}  // namespace

struct BlockDeflater::Tables {
    uint16_t head4[kHashSize];  // position + 1 of the latest 4-byte prefix; 0: none
    uint16_t head3[kHashSize];  // the same for 3-byte prefixes, one position per bucket
    uint16_t prev[2 * kMaxBlock];
    uint32_t tokens[kMaxBlock];
    uint32_t litlen_freq[kLitLenSymbols];
    uint32_t dist_freq[kDistSymbols];
    Code<kLitLenSymbols> litlen;
    Code<kDistSymbols> dist;
    HeaderPlan header;
};

bool BlockDeflater::Init(const CallerAllocator &allocator, const DeflateSettings &settings) {
    settings_ = settings;
    if (!memory_.Allocate(allocator, sizeof(Tables))) {
        return false;
    }
    t_ = reinterpret_cast<Tables *>(memory_.data());
    return true;
}

namespace {

struct Match {
    uint32_t len;
    uint32_t dist;
};

// The match finder over one window. Positions below `next_` are in the hash chains.
class Finder {
public:
    Finder(const uint8_t *w, uint32_t end, uint16_t *head4, uint16_t *head3, uint16_t *prev,
           const DeflateSettings &s)
        : w_(w), end_(end), head4_(head4), head3_(head3), prev_(prev), s_(s) {}

    // Adds positions up to `to` (exclusive) to the chains without looking for matches.
    void InsertUpTo(uint32_t to) {
        const uint32_t stop = std::min(to, end_ >= 4 ? end_ - 3 : 0);
        // The 3-byte table is only asked about the last kMaxShortDistance positions.
        const uint32_t stop4 = std::min(stop, to > kMaxShortDistance ? to - kMaxShortDistance : 0);
        uint32_t p = next_;
        for (; p < stop4; ++p) {
            const uint32_t h = Hash4(w_ + p);
            prev_[p] = head4_[h];
            head4_[h] = uint16_t(p + 1);
        }
        for (; p < stop; ++p) {
            const uint32_t h = Hash4(w_ + p);
            prev_[p] = head4_[h];
            head4_[h] = uint16_t(p + 1);
            head3_[Hash3(w_ + p)] = uint16_t(p + 1);
        }
        next_ = std::max(next_, to);
    }
    // Moves on to `to` without adding the positions before it.
    void SkipTo(uint32_t to) { next_ = to; }

    // The longest match at `p` (p == next_), which is then added to the chains. len 0: none.
    Match Find(uint32_t p) {
        Match best{0, 0};
        next_ = p + 1;
        const uint32_t limit = std::min(kMaxMatch, end_ - p);
        if (limit < 4) {
            return best;
        }
        const uint8_t *cur = w_ + p;
        const uint32_t h3 = Hash3(cur);
        const uint32_t c3 = head3_[h3];
        head3_[h3] = uint16_t(p + 1);
        const uint32_t h4 = Hash4(cur);
        uint32_t cand = head4_[h4];
        head4_[h4] = uint16_t(p + 1);
        prev_[p] = uint16_t(cand);
        uint32_t best_len = kMinMatch;
        if (c3 != 0 && p - (c3 - 1) <= kMaxShortDistance &&
            (Load32(w_ + c3 - 1) & 0xFFFFFFu) == (Load32(cur) & 0xFFFFFFu)) {
            best = Match{kMinMatch, p - (c3 - 1)};
        }
        const uint32_t cur4 = Load32(cur);
        for (int depth = s_.max_depth; cand != 0 && depth > 0; --depth) {
            const uint32_t c = cand - 1;
            if (p - c > kMaxDistance) {
                break;
            }
            cand = prev_[c];
            const uint8_t *m = w_ + c;
            if (Load32(m + best_len - 3) != Load32(cur + best_len - 3) || Load32(m) != cur4) {
                continue;
            }
            uint32_t len = MatchLength(m, cur, limit);
            if (len > best_len) {
                best_len = len;
                best = Match{len, p - c};
                if (len >= s_.nice_length || len == limit) {
                    break;
                }
            }
        }
        return best;
    }

private:
    const uint8_t *w_;
    uint32_t end_;
    uint16_t *head4_, *head3_, *prev_;
    const DeflateSettings &s_;
    uint32_t next_ = 0;
};

// The tokens of one block, with the counts of their symbols.
struct TokenSink {
    const uint8_t *w;
    uint32_t *tokens;
    uint32_t *litlen_freq;
    uint32_t *dist_freq;
    uint32_t n = 0;

    void Literal(uint32_t p) {
        tokens[n++] = w[p];
        ++litlen_freq[w[p]];
    }
    void Literals(uint32_t *p, uint32_t stop) {
        while (*p < stop) {
            Literal((*p)++);
        }
    }
    void Put(const Match &m) {
        tokens[n++] = MatchToken(m.len, m.dist);
        ++litlen_freq[257 + LengthSlot(m.len)];
        ++dist_freq[DistSlot(m.dist)];
    }
};

// Lazy matching from the match `cur` at *p: a longer match one or two bytes on is worth the
// literals before it. Returns the match to take at *p.
Match Lazier(Finder *finder, TokenSink *sink, const DeflateSettings &s, uint32_t *p, uint32_t end,
             Match cur) {
    while (s.lazy != 0 && cur.len < s.nice_length && *p + 1 < end) {
        Match next = finder->Find(*p + 1);
        if (next.len > cur.len) {
            sink->Literal((*p)++);
            cur = next;
            continue;
        }
        if (s.lazy < 2 || *p + 2 >= end || cur.len < 4) {
            break;
        }
        Match after = finder->Find(*p + 2);
        if (after.len <= cur.len + 1) {
            break;
        }
        sink->Literals(p, *p + 2);
        cur = after;
    }
    return cur;
}

}  // namespace

// Turns window[start, end) into literals and matches in t_->tokens, counting the symbols.
uint32_t BlockDeflater::Parse(const uint8_t *window, uint32_t start, uint32_t end) {
    Tables &t = *t_;
    Finder finder(window, end, t.head4, t.head3, t.prev, settings_);
    finder.InsertUpTo(start);
    TokenSink sink{window, t.tokens, t.litlen_freq, t.dist_freq};
    uint32_t p = start;
    uint32_t misses = 0;  // lookups without a match since the last match
    while (p < end) {
        Match cur = finder.Find(p);
        if (cur.len < kMinMatch) {
            sink.Literal(p++);
            if (settings_.skip != 0 && ++misses > settings_.skip) {
                // One more position stepped over for every 64 further misses.
                sink.Literals(&p, std::min(end, p + ((misses - settings_.skip) >> 6)));
                finder.SkipTo(p);
            }
            continue;
        }
        misses = 0;
        cur = Lazier(&finder, &sink, settings_, &p, end, cur);
        sink.Put(cur);
        p += cur.len;
        finder.InsertUpTo(p);
    }
    ++t.litlen_freq[kEndOfBlock];
    return sink.n;
}

size_t BlockDeflater::Deflate(const uint8_t *window, size_t history, size_t size, uint8_t *out,
                              size_t out_size) {
    if (t_ == nullptr || size == 0 || size > kMaxBlock || history > kMaxDistance) {
        return 0;
    }
    Tables &t = *t_;
    memset(t.head4, 0, sizeof(t.head4));
    memset(t.head3, 0, sizeof(t.head3));
    memset(t.litlen_freq, 0, sizeof(t.litlen_freq));
    memset(t.dist_freq, 0, sizeof(t.dist_freq));
    const uint32_t start = uint32_t(history), end = uint32_t(history + size);
    const uint32_t n_tokens = Parse(window, start, end);
    // The cheapest of the three block kinds, its size known before anything is written.
    BuildCode(t.litlen_freq, kMaxCodeLength, &t.litlen);
    BuildCode(t.dist_freq, kMaxCodeLength, &t.dist);
    PlanHeader(t.litlen, t.dist, &t.header);
    uint64_t dynamic_bits = 3 + t.header.bits, fixed_bits = 3;
    AddSymbolBits(t.litlen_freq, t.dist_freq, t.litlen, t.dist, &dynamic_bits, &fixed_bits);
    const uint64_t stored_bits = (5 + uint64_t(size)) * 8;
    BitWriter bw(out, out_size);
    if (stored_bits <= dynamic_bits && stored_bits <= fixed_bits) {
        bw.Put(1, 3);  // BFINAL, BTYPE 00
        uint8_t len[4] = {uint8_t(size), uint8_t(size >> 8), uint8_t(~size), uint8_t(~size >> 8)};
        bw.PutBytes(len, 4);
        bw.PutBytes(window + start, size);
        return bw.Finish();
    }
    const bool fixed = fixed_bits <= dynamic_bits;
    const Code<kLitLenSymbols> &lc = fixed ? FixedLitLen() : t.litlen;
    const Code<kDistSymbols> &dc = fixed ? FixedDist() : t.dist;
    if (fixed) {
        bw.Put(1 | (1 << 1), 3);
    } else {
        bw.Put(1 | (2 << 1), 3);
        PutHeader(t.header, &bw);
    }
    PutTokens(t.tokens, n_tokens, lc, dc, &bw);
    return bw.Finish();
}

}  // namespace cab
