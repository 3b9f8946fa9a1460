// Match finders of the LZX encoder, over absolute folder positions: hash chains for the fast
// level, binary trees for the thorough one. Both look at most max_offset bytes back, and only at
// bytes the caller says are final (a finder never reads past `end`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cab::lzx {

// Bytes the buffer must hold beyond the data it is compared up to: loads are 8 bytes wide.
inline constexpr size_t kCompareSlack = 8;

// Length of the common prefix of a and b, at most `limit`.
inline uint32_t CommonLength(const uint8_t *a, const uint8_t *b, uint32_t limit) {
    uint32_t n = 0;
    while (n + 8 <= limit) {
        uint64_t x, y;
        memcpy(&x, a + n, 8);
        memcpy(&y, b + n, 8);
        if (x != y)
            return n + uint32_t(__builtin_ctzll(x ^ y) >> 3);
        n += 8;
    }
    while (n < limit && a[n] == b[n])
        ++n;
    return n;
}

inline uint32_t Load32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

struct Match {
    uint32_t length;
    uint32_t offset;
};

// The window as the finders see it: byte of absolute position q is base[q - first].
struct Window {
    const uint8_t *base;
    uint32_t first;
    const uint8_t *At(uint32_t pos) const { return base + (pos - first); }
};

// Hash chains on 8-byte prefixes, with direct tables of the last 3- and 4-byte prefixes for
// shorter matches and of the last 16- and 32-byte prefixes for longer ones.
class HashChains {
public:
    static size_t MemorySize(int window_bits);
    void Init(int window_bits, uint8_t *memory);
    void Reset();
    // Adds `pos`, of which `known` bytes (at least 4) are in the window.
    void Insert(const Window &w, uint32_t pos, uint32_t known);
    // Starts loading what Insert or Find at `pos` reads first (the tables), then, some positions
    // later, what Find reads next (the candidates the tables name). `pos` has 32 bytes known.
    void Prefetch(const Window &w, uint32_t pos) const;
    void PrefetchCandidates(const Window &w, uint32_t pos) const;
    // Matches at `pos` of 3 .. min(max_len, nice) bytes within max_offset, each longer than the
    // one before, into `out` (room for kMaxMatch entries); returns their number. `depth` bounds
    // the chain entries searched; max_len bytes must be in the window. Does not insert `pos`.
    int Find(const Window &w, uint32_t pos, uint32_t max_len, uint32_t max_offset, uint32_t depth,
             uint32_t nice, Match *out) const;

private:
    uint32_t *head3_ = nullptr;
    uint32_t *head4_ = nullptr;
    uint32_t *head8_ = nullptr;
    uint32_t *head16_ = nullptr;
    uint32_t *head32_ = nullptr;
    uint32_t *prev_ = nullptr;
    uint32_t mask_ = 0;
    int hash4_bits_ = 0;
};

// Binary trees on 4-byte hash buckets: each search also inserts the position, and reports every
// length improvement it meets, so a parse sees the shortest offset for each match length.
class BinaryTrees {
public:
    static size_t MemorySize(int window_bits);
    void Init(int window_bits, uint8_t *memory);
    void Reset();
    // Matches at `pos` of 3 .. min(max_len, nice) bytes within max_offset, each longer than the
    // one before and at the shortest offset the search met for its length, into `out` (room for
    // kMaxMatch entries); returns their number. Inserts `pos`, whose 4 bytes, like max_len bytes,
    // must be in the window. `depth` bounds the nodes visited; at `nice` bytes the search ends,
    // the candidate's subtrees taken over as they are (dropped when max_len < nice).
    int FindAndInsert(const Window &w, uint32_t pos, uint32_t max_len, uint32_t max_offset,
                      uint32_t depth, uint32_t nice, Match *out);
    // Starts loading what a search at `pos` (4 bytes in the window) reads first.
    void Prefetch(const Window &w, uint32_t pos) const;
    // Inserts `pos` without reporting matches.
    void Skip(const Window &w, uint32_t pos, uint32_t max_len, uint32_t max_offset, uint32_t depth,
              uint32_t nice);

private:
    template <bool kReport>
    int Walk(const Window &w, uint32_t pos, uint32_t max_len, uint32_t max_offset, uint32_t depth,
             uint32_t nice, Match *out);

    uint32_t *head3_ = nullptr;
    uint32_t *head4_ = nullptr;
    uint32_t *child_ = nullptr;  // two per position: smaller, larger
    uint32_t mask_ = 0;
    int hash4_bits_ = 0;
};

}  // namespace cab::lzx
