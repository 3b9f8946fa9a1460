#include "cabinet/codec/lzx_match_finder.h"

#include <algorithm>

namespace cab::lzx {

namespace {

constexpr int kHash3Bits = 15;
constexpr uint32_t kNone = UINT32_MAX;
constexpr uint32_t kLongKey = 32;  // bytes the long-prefix tables need

inline uint32_t Hash3(const uint8_t *p) {
    uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
    return (v * 2654435761u) >> (32 - kHash3Bits);
}

inline uint32_t Hash4(const uint8_t *p, int bits) {
    return (Load32(p) * 2654435761u) >> (32 - bits);
}
inline uint64_t Load64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}
inline uint32_t Hash8(const uint8_t *p, int bits) {
    return uint32_t((Load64(p) * 0x9E3779B185EBCA87ull) >> (64 - bits));
}
// Keys of `words` 8-byte words, for the tables of the last long prefix.
inline uint32_t HashWords(const uint8_t *p, int words, int bits) {
    uint64_t h = 0;
    for (int i = 0; i < words; ++i)
        h = (h ^ Load64(p + 8 * i)) * 0x9E3779B185EBCA87ull;
    return uint32_t(h >> (64 - bits));
}

// About two window positions per bucket: on data without repeats a search then meets about one
// candidate, each a cache miss.
int Hash4Bits(int window_bits) {
    return std::clamp(window_bits - 1, 14, 20);
}

inline uint32_t Oldest(uint32_t pos, uint32_t max_offset) {
    return pos > max_offset ? pos - max_offset : 0;
}

}  // namespace

// ---- hash chains ----

size_t HashChains::MemorySize(int window_bits) {
    return sizeof(uint32_t) *
           ((size_t(1) << kHash3Bits) + 4 * (size_t(1) << Hash4Bits(window_bits)) +
            (size_t(1) << window_bits));
}

void HashChains::Init(int window_bits, uint8_t *memory) {
    hash4_bits_ = Hash4Bits(window_bits);
    head3_ = reinterpret_cast<uint32_t *>(memory);
    head4_ = head3_ + (size_t(1) << kHash3Bits);
    head8_ = head4_ + (size_t(1) << hash4_bits_);
    head16_ = head8_ + (size_t(1) << hash4_bits_);
    head32_ = head16_ + (size_t(1) << hash4_bits_);
    prev_ = head32_ + (size_t(1) << hash4_bits_);
    mask_ = (1u << window_bits) - 1;
    Reset();
}

void HashChains::Reset() {
    std::fill(head3_, head3_ + (size_t(1) << kHash3Bits), kNone);
    std::fill(head4_, head4_ + 4 * (size_t(1) << hash4_bits_), kNone);
}

void HashChains::Insert(const Window &w, uint32_t pos, uint32_t known) {
    const uint8_t *p = w.At(pos);
    head3_[Hash3(p)] = pos;
    head4_[Hash4(p, hash4_bits_)] = pos;
    if (known < 8)
        return;
    uint32_t &head = head8_[Hash8(p, hash4_bits_)];
    prev_[pos & mask_] = head;
    head = pos;
    if (known >= kLongKey) {
        head16_[HashWords(p, 2, hash4_bits_)] = pos;
        head32_[HashWords(p, 4, hash4_bits_)] = pos;
    }
}

void HashChains::Prefetch(const Window &w, uint32_t pos) const {
    const uint8_t *p = w.At(pos);
    __builtin_prefetch(&head3_[Hash3(p)]);
    __builtin_prefetch(&head4_[Hash4(p, hash4_bits_)]);
    __builtin_prefetch(&head8_[Hash8(p, hash4_bits_)]);
    __builtin_prefetch(&head16_[HashWords(p, 2, hash4_bits_)]);
    __builtin_prefetch(&head32_[HashWords(p, 4, hash4_bits_)]);
}

// The candidates Find meets first: the bytes of each, and the chain's next link.
void HashChains::PrefetchCandidates(const Window &w, uint32_t pos) const {
    const uint8_t *p = w.At(pos);
    const uint32_t oldest = pos > mask_ ? pos - mask_ : 0;
    auto fetch = [&](uint32_t cand) {
        if (cand < pos && cand >= oldest)
            __builtin_prefetch(w.At(cand));
    };
    fetch(head4_[Hash4(p, hash4_bits_)]);
    const uint32_t cand = head8_[Hash8(p, hash4_bits_)];
    fetch(cand);
    if (cand < pos && cand >= oldest)
        __builtin_prefetch(&prev_[cand & mask_]);
    fetch(head16_[HashWords(p, 2, hash4_bits_)]);
    fetch(head32_[HashWords(p, 4, hash4_bits_)]);
}

// Candidates in order: the last position with the same 3 bytes, with the same 4, the chain of
// those with the same 8, where a long match is likely among the first few, then the last with the
// same 16 and 32 (a much longer match, often further back than the chain reaches).
int HashChains::Find(const Window &w, uint32_t pos, uint32_t max_len, uint32_t max_offset,
                     uint32_t depth, uint32_t nice, Match *out) const {
    int count = 0;
    if (max_len < 4)
        return 0;
    const uint8_t *cur = w.At(pos);
    const uint32_t oldest = Oldest(pos, max_offset);
    const uint32_t limit = std::min(nice, max_len);
    uint32_t best = 2;
    auto consider = [&](uint32_t cand) {
        if (cand < pos && cand >= oldest && w.At(cand)[best] == cur[best]) {
            const uint32_t len = CommonLength(w.At(cand), cur, limit);
            if (len > best) {
                best = len;
                out[count++] = Match{len, pos - cand};
            }
        }
    };
    consider(head3_[Hash3(cur)]);
    if (best < limit)
        consider(head4_[Hash4(cur, hash4_bits_)]);
    if (max_len < 8)
        return count;
    for (uint32_t cand = head8_[Hash8(cur, hash4_bits_)];
         cand < pos && cand >= oldest && depth != 0 && best < limit; --depth) {
        consider(cand);
        const uint32_t next = depth > 1 ? prev_[cand & mask_] : cand;
        if (next >= cand)
            break;
        cand = next;
    }
    if (max_len >= kLongKey && best < limit) {
        consider(head16_[HashWords(cur, 2, hash4_bits_)]);
        if (best < limit)
            consider(head32_[HashWords(cur, 4, hash4_bits_)]);
    }
    // The caller takes a match of `nice` bytes as it is: it gets its whole length.
    if (best == limit && limit < max_len) {
        Match &m = out[count - 1];
        m.length += CommonLength(cur + limit - m.offset, cur + limit, max_len - limit);
    }
    return count;
}

// ---- binary trees ----

size_t BinaryTrees::MemorySize(int window_bits) {
    return sizeof(uint32_t) * ((size_t(1) << kHash3Bits) + (size_t(1) << Hash4Bits(window_bits)) +
                               2 * (size_t(1) << window_bits));
}

void BinaryTrees::Init(int window_bits, uint8_t *memory) {
    hash4_bits_ = Hash4Bits(window_bits);
    head3_ = reinterpret_cast<uint32_t *>(memory);
    head4_ = head3_ + (size_t(1) << kHash3Bits);
    child_ = head4_ + (size_t(1) << hash4_bits_);
    mask_ = (1u << window_bits) - 1;
    Reset();
}

void BinaryTrees::Reset() {
    std::fill(head3_, head3_ + (size_t(1) << kHash3Bits), kNone);
    std::fill(head4_, head4_ + (size_t(1) << hash4_bits_), kNone);
}

int BinaryTrees::FindAndInsert(const Window &w, uint32_t pos, uint32_t max_len, uint32_t max_offset,
                               uint32_t depth, uint32_t nice, Match *out) {
    return Walk<true>(w, pos, max_len, max_offset, depth, nice, out);
}

void BinaryTrees::Skip(const Window &w, uint32_t pos, uint32_t max_len, uint32_t max_offset,
                       uint32_t depth, uint32_t nice) {
    Walk<false>(w, pos, max_len, max_offset, depth, nice, nullptr);
}

// Nodes below a node are older than it (a new position always becomes the root), so the walk
// meets each length first at its shortest offset, and an out-of-window node ends the walk.
void BinaryTrees::Prefetch(const Window &w, uint32_t pos) const {
    const uint8_t *p = w.At(pos);
    __builtin_prefetch(&head3_[Hash3(p)]);
    __builtin_prefetch(&head4_[Hash4(p, hash4_bits_)]);
}

template <bool kReport>
int BinaryTrees::Walk(const Window &w, uint32_t pos, uint32_t max_len, uint32_t max_offset,
                      uint32_t depth, uint32_t nice, Match *out) {
    const uint8_t *cur = w.At(pos);
    const uint32_t oldest = Oldest(pos, max_offset);
    const uint32_t limit = std::min(nice, max_len);
    int count = 0;
    uint32_t best = 2;
    uint32_t &head3 = head3_[Hash3(cur)];
    if (kReport && head3 < pos && head3 >= oldest) {
        uint32_t len = CommonLength(w.At(head3), cur, limit);
        if (len >= 3) {
            out[count++] = Match{len, pos - head3};
            best = len;
        }
    }
    head3 = pos;
    uint32_t &head4 = head4_[Hash4(cur, hash4_bits_)];
    uint32_t cand = head4;
    head4 = pos;
    uint32_t *smaller = &child_[2 * (pos & mask_)];
    uint32_t *larger = smaller + 1;
    uint32_t len_smaller = 0, len_larger = 0;
    for (;;) {
        if (cand >= pos || cand < oldest || depth-- == 0) {
            *smaller = *larger = kNone;
            return count;
        }
        // Both the node and the candidate's bytes are cache misses as a rule: ask for both at once.
        uint32_t *node = &child_[2 * (cand & mask_)];
        __builtin_prefetch(node);
        const uint8_t *c = w.At(cand);
        uint32_t len = std::min(len_smaller, len_larger);
        len += CommonLength(c + len, cur + len, limit - len);
        if (kReport && len > best) {
            best = len;
            out[count++] = Match{len, pos - cand};
        }
        if (len >= limit) {
            // No byte left to order by: the candidate's subtrees become ours. They are in order
            // for the first `nice` bytes, all a search compares; with fewer bytes to look at (the
            // end of what is known) they are dropped instead.
            *smaller = limit == nice ? node[0] : kNone;
            *larger = limit == nice ? node[1] : kNone;
            return count;
        }
        if (c[len] < cur[len]) {
            *smaller = cand;
            smaller = node + 1;
            cand = *smaller;
            len_smaller = len;
        } else {
            *larger = cand;
            larger = node;
            cand = *larger;
            len_larger = len;
        }
    }
}

}  // namespace cab::lzx
