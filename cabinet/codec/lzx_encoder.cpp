#include "cabinet/codec/lzx_encoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "cabinet/codec/lzx_block_coder.h"
#include "cabinet/codec/lzx_common.h"
#include "cabinet/codec/lzx_match_finder.h"
#include "cabinet/format/cab_format.h"

namespace cab {

using namespace lzx;

namespace {

constexpr uint32_t kSegmentSize = kSegmentFrames * kFrameSize;
// The translation size other writers put in the stream header; any value below 2^31 decodes.
constexpr uint32_t kE8TranslationSize = 12000000;
// Positions of one optimal-parse run; a run also ends at a frame end or before a long match.
constexpr uint32_t kOptimumRun = 2048;
constexpr uint32_t kInfinite = UINT32_MAX;
// The format's largest offset is the window size - 3, but 7-Zip (26.02) copies a match at that
// offset wrongly when it is used again as a repeated offset; one byte less it reads right.
constexpr uint32_t kOffsetMargin = 4;
constexpr uint32_t kSkipAfter = 64;
constexpr int kAnchorBits = 6;           // one position in 64 is an anchor
constexpr uint32_t kPrefetchKnown = 32;  // bytes the chains' Prefetch reads

struct LevelSettings {
    uint32_t depth;  // chain entries or tree nodes per search
    uint32_t nice;   // a match this long is taken as it is
    uint32_t lazy;   // fast level: no second look past a match this long
};

constexpr LevelSettings kFastSettings{4, 32, 16};
constexpr LevelSettings kThoroughSettings{32, 96, 0};

size_t Align64(size_t n) {
    return (n + 63) & ~size_t(63);
}

// The window, what is being coded, and one frame beyond it to look ahead into.
size_t BufferSize(int window_bits) {
    size_t w = size_t(1) << window_bits;
    return 2 * std::max<size_t>(w, kSegmentSize) + kSegmentSize + kFrameSize;
}

// x86 CALL operands made absolute, so that calls to one target look alike (lzx-format.md §9,
// inverted): relative r in [-cur, T) becomes r + cur in [0, T) or r - T in [-cur, 0).
void TranslateE8(uint8_t *frame, uint32_t size, uint64_t frame_start) {
    if (frame_start >= kE8StopPosition || size <= 10)
        return;
    const int64_t t = kE8TranslationSize;
    const uint32_t limit = size - 10;
    for (uint32_t i = 0; i < limit;) {
        const void *hit = memchr(frame + i, 0xE8, limit - i);
        if (hit == nullptr)
            break;
        i = uint32_t(static_cast<const uint8_t *>(hit) - frame);
        const int64_t cur = int64_t(frame_start + i);
        const int64_t r = int32_t(LoadLe32(frame + i + 1));
        if (r >= -cur && r < t)
            StoreLe32(frame + i + 1, uint32_t(r < t - cur ? r + cur : r - t));
        i += 5;
    }
}

// One node of an optimal-parse run: the cheapest way found to reach it.
struct Node {
    uint32_t cost;
    uint32_t length;  // of the step arriving here: 0 for a literal
    uint32_t code;    // formatted offset of that step
    uint32_t r[3];    // repeated offsets after it
};

}  // namespace

struct LzxEncoder::State {
    int window_bits;
    LzxLevel level;
    LevelSettings settings;
    uint32_t max_offset;
    uint8_t *buf;
    size_t capacity;
    uint32_t first = 0;       // folder position of buf[0]
    uint32_t filled = 0;      // bytes in buf
    uint32_t done = 0;        // folder bytes coded
    uint32_t translated = 0;  // folder bytes whose E8 operands are translated
    bool translate_calls = true;
    uint32_t inserted = 0;  // next position for the match finder
    uint32_t r[3] = {1, 1, 1};
    uint32_t misses = 0;  // positions since a match was last found
    Item *items;
    uint32_t item_count = 0;
    uint32_t *literal_cost;  // prefix sums over the segment
    Node *nodes;
    uint32_t path[kOptimumRun + 1];
    Match matches[kMaxMatch];
    HashChains chains;
    BinaryTrees trees;
    BlockCoder coder;
    CostModel model;
    FrameItems frames[kSegmentFrames];

    Window Win() const { return Window{buf, first}; }
    uint32_t End() const { return first + filled; }
    void Restart();
    void Slide();
    void Translate(bool final);
    bool Encode(uint32_t size, uint32_t data_end, LzxFrameSink &sink);

    // Parses.
    void CatchUp(uint32_t pos, uint32_t data_end);
    bool Passing(uint32_t pos, uint32_t data_end) const;
    uint32_t MatchCost(uint32_t length, uint32_t code) const;
    uint32_t Gain(uint32_t pos, uint32_t seg_start, uint32_t length, uint32_t code) const;
    void AddLiteral(uint32_t pos);
    void AddMatch(uint32_t length, uint32_t code);
    uint32_t RepeatCode(uint32_t offset, const uint32_t *reps) const;
    struct Choice {
        uint32_t length = 0, code = 0;
        int32_t gain = 0;
    };
    Choice BestAt(uint32_t pos, uint32_t frame_end, uint32_t seg_start, uint32_t data_end) const;
    void ParseLazy(uint32_t frame_start, uint32_t frame_end, uint32_t seg_start, uint32_t data_end);
    void ParseOptimal(uint32_t frame_start, uint32_t frame_end, uint32_t data_end);
    uint32_t RunOptimal(uint32_t pos, uint32_t frame_end, uint32_t data_end, Item *taken);
    int FindMatches(uint32_t at, uint32_t data_end);
    Item Longest(const Node &node, uint32_t at, uint32_t max_len, int found,
                 uint32_t *rep_len) const;
    void RelaxFrom(uint32_t i, uint32_t at, uint32_t max_len, int found, const uint32_t *rep_len);
    void Relax(uint32_t i, uint32_t first, uint32_t last, uint32_t code);
    void AddPath(uint32_t pos, uint32_t stop);
};

size_t LzxEncoder::MemorySize(int window_bits, LzxLevel level) {
    const size_t segment = kSegmentSize;
    size_t finder = level == LzxLevel::kFast ? HashChains::MemorySize(window_bits)
                                             : BinaryTrees::MemorySize(window_bits);
    return Align64(sizeof(State)) + Align64(BufferSize(window_bits) + kCompareSlack) +
           Align64(segment * sizeof(Item)) + Align64((segment + 1) * sizeof(uint32_t)) +
           Align64((kOptimumRun + kMaxMatch + 1) * sizeof(Node)) + finder;
}

LzxEncoder::LzxEncoder(int window_bits, LzxLevel level, void *memory) {
    auto *p = static_cast<uint8_t *>(memory);
    s_ = new (p) State;
    p += Align64(sizeof(State));
    s_->window_bits = window_bits;
    s_->level = level;
    s_->settings = level == LzxLevel::kFast ? kFastSettings : kThoroughSettings;
    s_->max_offset = (1u << window_bits) - kOffsetMargin;
    s_->capacity = BufferSize(window_bits);
    s_->buf = p;
    memset(p + s_->capacity, 0, kCompareSlack);
    p += Align64(s_->capacity + kCompareSlack);
    s_->items = reinterpret_cast<Item *>(p);
    p += Align64(kSegmentSize * sizeof(Item));
    s_->literal_cost = reinterpret_cast<uint32_t *>(p);
    p += Align64((kSegmentSize + 1) * sizeof(uint32_t));
    s_->nodes = reinterpret_cast<Node *>(p);
    p += Align64((kOptimumRun + kMaxMatch + 1) * sizeof(Node));
    if (level == LzxLevel::kFast)
        s_->chains.Init(window_bits, p);
    else
        s_->trees.Init(window_bits, p);
    s_->coder.Init(window_bits, true, kE8TranslationSize);
    s_->Restart();
}

LzxEncoder::~LzxEncoder() {
    s_->~State();
}

void LzxEncoder::Reset() {
    s_->Restart();
}

void LzxEncoder::SetFolderBound(uint64_t most) {
    s_->translate_calls = most <= kE8StopPosition;
    s_->coder.SetE8(s_->translate_calls);
}

void LzxEncoder::State::Restart() {
    first = filled = done = translated = inserted = misses = 0;
    translate_calls = true;
    coder.SetE8(true);
    r[0] = r[1] = r[2] = 1;
    if (level == LzxLevel::kFast)
        chains.Reset();
    else
        trees.Reset();
    coder.Reset();
    model.SetDefaults();
}

// Keeps the window behind the next byte to code and what follows it.
void LzxEncoder::State::Slide() {
    const uint32_t window = 1u << window_bits;
    const uint32_t keep_from = done > window ? done - window : 0;
    const uint32_t drop = keep_from - first;
    memmove(buf, buf + drop, filled - drop);
    filled -= drop;
    first = keep_from;
}

// Frames are translated as soon as they are whole (a frame's translation does not depend on
// what follows it), so the match finders only ever see bytes as they will stay.
void LzxEncoder::State::Translate(bool final) {
    while (End() - translated >= kFrameSize || (final && End() > translated)) {
        const uint32_t size = std::min(kFrameSize, End() - translated);
        if (translate_calls)
            TranslateE8(buf + (translated - first), size, translated);
        translated += size;
    }
}

// A segment is coded once the frame after it is buffered too, for the match finders to look
// ahead into; so what is coded depends on the folder's bytes alone.
bool LzxEncoder::Write(const uint8_t *data, size_t size, LzxFrameSink &sink) {
    State &s = *s_;
    while (size != 0) {
        if (s.filled == s.capacity)
            s.Slide();
        const size_t n = std::min(size, s.capacity - s.filled);
        memcpy(s.buf + s.filled, data, n);
        s.filled += uint32_t(n);
        data += n;
        size -= n;
        s.Translate(false);
        while (s.End() - s.done >= kSegmentSize + kFrameSize) {
            if (!s.Encode(kSegmentSize, s.done + kSegmentSize + kFrameSize, sink))
                return false;
        }
    }
    return true;
}

bool LzxEncoder::Flush(LzxFrameSink &sink) {
    State &s = *s_;
    while (s.translated - s.done >= kFrameSize) {
        const uint32_t whole = (s.translated - s.done) / kFrameSize * kFrameSize;
        if (!s.Encode(std::min(kSegmentSize, whole), s.translated, sink))
            return false;
    }
    return true;
}

bool LzxEncoder::Finish(LzxFrameSink &sink) {
    State &s = *s_;
    s.Translate(true);
    bool ok = true;
    while (ok && s.End() > s.done) {
        const uint32_t size = std::min(kSegmentSize, s.End() - s.done);
        ok = s.Encode(size, std::min(s.End(), s.done + size + kFrameSize), sink);
    }
    s.Restart();
    return ok;
}

bool LzxEncoder::State::Encode(uint32_t size, uint32_t data_end, LzxFrameSink &sink) {
    const uint32_t seg_start = done, seg_end = done + size;
    const int count = int((size + kFrameSize - 1) / kFrameSize);
    for (int f = 0; f < count; ++f) {
        const uint32_t start = seg_start + uint32_t(f) * kFrameSize;
        FrameItems &frame = frames[f];
        frame.size = std::min(kFrameSize, seg_end - start);
        frame.data = buf + (start - first);
    }
    uint32_t sum = 0;
    literal_cost[0] = 0;
    for (uint32_t i = 0; i < size; ++i) {
        sum += model.main[buf[seg_start - first + i]];
        literal_cost[i + 1] = sum;
    }
    item_count = 0;
    for (int f = 0; f < count; ++f) {
        const uint32_t start = seg_start + uint32_t(f) * kFrameSize;
        FrameItems &frame = frames[f];
        frame.first_item = item_count;
        if (level == LzxLevel::kFast)
            ParseLazy(start, start + frame.size, seg_start, data_end);
        else
            ParseOptimal(start, start + frame.size, data_end);
        frame.end_item = item_count;
        std::copy(r, r + 3, frame.r);
    }
    done = seg_end;
    return coder.EncodeFrames(items, frames, count, sink, &model);
}

// ---- parsing ----

// Adds the positions before `pos` to the match finder. The binary trees order their nodes by up to
// `nice` bytes; they get that many but where the known input ends (a flush, the folder's end).
// The chains' tables are asked for 16 positions ahead and the candidates they name 8 ahead, so
// that a search finds both in the cache.
void LzxEncoder::State::CatchUp(uint32_t pos, uint32_t data_end) {
    const uint32_t limit = std::min(pos, data_end >= 4 ? data_end - 3 : 0);
    const Window w = Win();
    for (; inserted < limit; ++inserted) {
        if (level == LzxLevel::kFast) {
            if (inserted + 16 + kPrefetchKnown <= data_end) {
                chains.Prefetch(w, inserted + 16);
                chains.PrefetchCandidates(w, inserted + 8);
            }
            chains.Insert(w, inserted, data_end - inserted);
        } else
            trees.Skip(w, inserted, data_end - inserted, max_offset, settings.depth, settings.nice);
    }
}

// After a long stretch without matches (data that does not compress), only anchors are searched
// and added to the match finder: positions chosen by their bytes, so that a second copy of such
// data meets the anchors of the first.
bool LzxEncoder::State::Passing(uint32_t pos, uint32_t data_end) const {
    if (misses <= kSkipAfter || pos + 8 > data_end)
        return false;
    uint64_t v;
    memcpy(&v, Win().At(pos), 8);
    return (v * 0x9E3779B185EBCA87ull) >> (64 - kAnchorBits) != 0;
}

uint32_t LzxEncoder::State::MatchCost(uint32_t length, uint32_t code) const {
    const int slot = SlotOf(code);
    const uint32_t header = std::min<uint32_t>(length - kMinMatch, kNumPrimaryLengths);
    uint32_t cost = model.main[kNumChars + slot * 8 + int(header)] + kSlots.bits[slot];
    if (header == kNumPrimaryLengths)
        cost += model.length[length - kMinMatch - kNumPrimaryLengths];
    return cost;
}

// Bits a match saves over literals (negative when it costs more).
uint32_t LzxEncoder::State::Gain(uint32_t pos, uint32_t seg_start, uint32_t length,
                                 uint32_t code) const {
    const uint32_t literals =
        literal_cost[pos - seg_start + length] - literal_cost[pos - seg_start];
    return literals - MatchCost(length, code);
}

void LzxEncoder::State::AddLiteral(uint32_t pos) {
    items[item_count++] = Item{buf[pos - first], 0};
}

void LzxEncoder::State::AddMatch(uint32_t length, uint32_t code) {
    items[item_count++] = Item{code, length};
    if (code == 1) {
        std::swap(r[0], r[1]);
    } else if (code == 2) {
        std::swap(r[0], r[2]);
    } else if (code >= 3) {
        r[2] = r[1];
        r[1] = r[0];
        r[0] = code - 2;
    }
}

// The code for `offset`: a repeated offset's slot when it is one.
uint32_t LzxEncoder::State::RepeatCode(uint32_t offset, const uint32_t *reps) const {
    for (uint32_t k = 0; k < 3; ++k) {
        if (reps[k] == offset)
            return k;
    }
    return offset + 2;
}

// The match at `pos` that saves the most bits, a repeated offset's or the finder's.
LzxEncoder::State::Choice LzxEncoder::State::BestAt(uint32_t pos, uint32_t frame_end,
                                                    uint32_t seg_start, uint32_t data_end) const {
    Choice best;
    const uint32_t max_len = std::min<uint32_t>(kMaxMatch, frame_end - pos);
    if (max_len < kMinMatch)
        return best;
    const Window w = Win();
    const uint8_t *cur = w.At(pos);
    for (uint32_t k = 0; k < 3; ++k) {
        if (r[k] > pos)
            continue;
        uint32_t len = CommonLength(cur, cur - r[k], max_len);
        if (len < kMinMatch)
            continue;
        int32_t gain = int32_t(Gain(pos, seg_start, len, k));
        if (gain > best.gain || (gain == best.gain && len > best.length))
            best = Choice{len, k, gain};
    }
    if (pos + 4 <= data_end) {
        Match found[kMaxMatch];
        const int n = chains.Find(w, pos, std::min(max_len, data_end - pos), max_offset,
                                  settings.depth, settings.nice, found);
        for (int j = 0; j < n; ++j) {
            const Match &m = found[j];
            uint32_t code = RepeatCode(m.offset, r);
            int32_t gain = int32_t(Gain(pos, seg_start, m.length, code));
            if (gain > best.gain || (gain == best.gain && m.length > best.length))
                best = Choice{m.length, code, gain};
        }
    }
    return best;
}

void LzxEncoder::State::ParseLazy(uint32_t frame_start, uint32_t frame_end, uint32_t seg_start,
                                  uint32_t data_end) {
    uint32_t pos = frame_start;
    Choice next;
    bool have_next = false;
    while (pos < frame_end) {
        CatchUp(pos, data_end);
        if (pos + 1 + kPrefetchKnown <= data_end)
            chains.Prefetch(Win(), pos + 1);
        Choice cur = have_next ? next : BestAt(pos, frame_end, seg_start, data_end);
        have_next = false;
        if (cur.gain <= 0) {
            AddLiteral(pos++);
            if (++misses > kSkipAfter) {
                CatchUp(pos, data_end);
                while (pos < frame_end && Passing(pos, data_end))
                    AddLiteral(pos++);
                inserted = std::max(inserted, pos);
            }
            continue;
        }
        misses = 0;
        if (cur.length < settings.lazy && pos + 1 < frame_end) {
            CatchUp(pos + 1, data_end);
            next = BestAt(pos + 1, frame_end, seg_start, data_end);
            if (next.gain > cur.gain) {
                have_next = true;
                AddLiteral(pos++);
                continue;
            }
        }
        AddMatch(cur.length, cur.code);
        pos += cur.length;
    }
}

// Cheapest path through runs of positions by bit cost, matches and repeated offsets tried at
// every length; the repeated offsets along the path are those of each node's best arrival.
void LzxEncoder::State::ParseOptimal(uint32_t frame_start, uint32_t frame_end, uint32_t data_end) {
    uint32_t pos = frame_start;
    while (pos < frame_end) {
        Item taken{0, 0};
        const uint32_t stop = RunOptimal(pos, frame_end, data_end, &taken);
        AddPath(pos, stop);
        pos += stop;
        if (taken.length != 0) {
            AddMatch(taken.length, taken.code);
            pos += taken.length;
            CatchUp(pos, data_end);
        }
    }
}

// Costs the nodes of one run from `pos`; returns where the run stops. A long match is taken as
// it is: the run ends before it, the match in `*taken`.
uint32_t LzxEncoder::State::RunOptimal(uint32_t pos, uint32_t frame_end, uint32_t data_end,
                                       Item *taken) {
    const uint32_t span = std::min(frame_end - pos, kOptimumRun);
    nodes[0].cost = 0;
    std::copy(r, r + 3, nodes[0].r);
    for (uint32_t i = 1; i <= span + kMaxMatch; ++i)
        nodes[i].cost = kInfinite;
    uint32_t i = 0;
    for (; i < span; ++i) {
        const uint32_t at = pos + i;
        const uint32_t max_len = std::min<uint32_t>(kMaxMatch, frame_end - at);
        const int found = FindMatches(at, data_end);
        uint32_t rep_len[3] = {0, 0, 0};
        const Item longest = Longest(nodes[i], at, max_len, found, rep_len);
        misses = longest.length < 3 ? misses + 1 : 0;
        if (longest.length >= settings.nice) {
            *taken = longest;
            break;
        }
        RelaxFrom(i, at, max_len, found, rep_len);
    }
    return i;
}

// The matches at `at` into `matches`, `at` inserted into the trees; while passing, neither.
inline int LzxEncoder::State::FindMatches(uint32_t at, uint32_t data_end) {
    const Window w = Win();
    CatchUp(at, data_end);
    if (Passing(at, data_end)) {
        inserted = std::max(inserted, at + 1);
        return 0;
    }
    if (at + 4 > data_end)
        return 0;
    if (at + 5 <= data_end)
        trees.Prefetch(w, at + 1);
    const int found = trees.FindAndInsert(w, at, data_end - at, max_offset, settings.depth,
                                          settings.nice, matches);
    ++inserted;
    return found;
}

// The longest match at `at` arriving by `node`, a repeated offset's unless the finder's longest
// is longer by two; the repeated offsets' lengths into `rep_len`.
inline Item LzxEncoder::State::Longest(const Node &node, uint32_t at, uint32_t max_len, int found,
                                       uint32_t *rep_len) const {
    const uint8_t *cur = Win().At(at);
    Item longest{0, 0};
    for (uint32_t k = 0; k < 3 && max_len >= kMinMatch; ++k) {
        if (node.r[k] <= at)
            rep_len[k] = CommonLength(cur, cur - node.r[k], max_len);
        if (rep_len[k] > longest.length)
            longest = Item{k, rep_len[k]};
    }
    if (found > 0) {
        const Match &m = matches[found - 1];
        const uint32_t len = std::min(m.length, max_len);
        if (len > longest.length + 1)
            longest = Item{RepeatCode(m.offset, node.r), len};
    }
    return longest;
}

// Every step out of node i: a literal, each repeated offset, and each length at the shortest
// offset that reaches it.
inline void LzxEncoder::State::RelaxFrom(uint32_t i, uint32_t at, uint32_t max_len, int found,
                                         const uint32_t *rep_len) {
    const Node &node = nodes[i];
    const uint32_t lit = node.cost + model.main[*Win().At(at)];
    if (lit < nodes[i + 1].cost) {
        Node &next = nodes[i + 1];
        next.cost = lit;
        next.length = 0;
        std::copy(node.r, node.r + 3, next.r);
    }
    for (uint32_t k = 0; k < 3; ++k)
        Relax(i, kMinMatch, rep_len[k], k);
    uint32_t from = 3;
    for (int j = 0; j < found; ++j) {
        const uint32_t len = std::min(matches[j].length, max_len);
        Relax(i, from, len, RepeatCode(matches[j].offset, node.r));
        from = std::max(from, len + 1);
    }
}

// Tries the steps out of node i of lengths first .. last with one offset code.
inline void LzxEncoder::State::Relax(uint32_t i, uint32_t first, uint32_t last, uint32_t code) {
    const Node &node = nodes[i];
    const int slot = SlotOf(code);
    const uint8_t *row = model.main + kNumChars + slot * 8;
    const uint32_t base = node.cost + kSlots.bits[slot];
    for (uint32_t length = first; length <= last; ++length) {
        const uint32_t header = length - kMinMatch;
        const uint32_t cost =
            base + (header < kNumPrimaryLengths
                        ? row[header]
                        : row[kNumPrimaryLengths] + model.length[header - kNumPrimaryLengths]);
        Node &next = nodes[i + length];
        if (cost >= next.cost)
            continue;
        next.cost = cost;
        next.length = length;
        next.code = code;
        std::copy(node.r, node.r + 3, next.r);
        if (code == 1) {
            std::swap(next.r[0], next.r[1]);
        } else if (code == 2) {
            std::swap(next.r[0], next.r[2]);
        } else if (code >= 3) {
            next.r[2] = next.r[1];
            next.r[1] = next.r[0];
            next.r[0] = code - 2;
        }
    }
}

// The path to node `stop`, walked back from it, then added forwards.
void LzxEncoder::State::AddPath(uint32_t pos, uint32_t stop) {
    uint32_t steps = 0;
    for (uint32_t i = stop; i > 0; i -= nodes[i].length == 0 ? 1 : nodes[i].length)
        path[steps++] = i;
    while (steps > 0) {
        const uint32_t i = path[--steps];
        if (nodes[i].length == 0)
            AddLiteral(pos + i - 1);
        else
            AddMatch(nodes[i].length, nodes[i].code);
    }
}

}  // namespace cab
