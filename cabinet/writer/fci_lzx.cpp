#include "cabinet/writer/fci_lzx.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "cabinet/codec/lzx_common.h"
#include "cabinet/writer/fci_block_queue.h"
#include "platform/crt.h"

namespace cab {

namespace {

std::atomic<int> g_level{int(LzxLevel::kFast)};

// Input handed to an encoder at a time.
constexpr uint32_t kChunk = 64 * 1024;
constexpr size_t kMinRing = 1u << 20;
constexpr size_t kMaxInputRing = 64u << 20;
// Input rings beyond their usual size, in all: a large file is read whole, so that the folders
// after it are read and coded while it is.
constexpr size_t kMaxGrownInput = 56u << 20;
// Slots beyond one per worker: for the folder being read and for folders coded ahead of a slow
// one, waiting to be placed.
constexpr unsigned kExtraSlots = 3;
// Frames are rarely under 64 bytes; a ring short of descriptors only makes a worker wait.
constexpr size_t kBytesPerDescriptor = 64;
// Threads beyond this much memory are not taken.
constexpr size_t kMemoryBudget = size_t(1) << 30;

struct FrameDesc {
    uint64_t start;  // in the output ring, counted from its first use
    uint32_t size;
    uint32_t uncompressed;
};

// A file of a folder not yet wholly placed.
struct PendingFile {
    FileEntry entry;
    bool size_known;
    bool complete;  // read to its end
};

// Bytes a file can add to the cabinet at most: its record, its bytes stored, and for each frame it
// touches a CFDATA header and a few bytes of block header and padding; a folder record when it
// opens a folder.
constexpr uint64_t kFrameOverhead = 64;
uint64_t LargestSize(size_t entry_size, uint32_t size, bool new_folder, size_t data_header) {
    const uint64_t frames = size / lzx::kFrameSize + 2;
    return entry_size + uint64_t(size) + frames * (data_header + kFrameOverhead) +
           (new_folder ? CabFolder::kEncodedLength + kMaxFolderReserve : 0);
}

size_t InputRingSize(uint32_t threshold) {
    return std::clamp<size_t>(threshold, kMinRing, kMaxInputRing);
}
size_t OutputRingSize(uint32_t threshold) {
    return std::max(kMinRing, InputRingSize(threshold) / 2);
}

}  // namespace

bool IsLzxType(TCOMP type) {
    const int window = LZXCompressionWindowFromTCOMP(type);
    return (type & ~tcompMASK_LZX_WINDOW) == tcompTYPE_LZX && window >= lzx::kMinWindowBits &&
           window <= lzx::kMaxWindowBits;
}

void SetFciLzxLevel(LzxLevel level) {
    g_level.store(int(level));
}

namespace {

size_t SlotMemory(uint32_t threshold) {
    const size_t output = OutputRingSize(threshold);
    return InputRingSize(threshold) + output + output / kBytesPerDescriptor * sizeof(FrameDesc);
}

}  // namespace

// A worker's encoder and the rings of the folder it codes; kExtraSlots more rings in all.
size_t LzxMemoryPerThread(int window_bits, LzxLevel level, uint32_t threshold) {
    return LzxEncoder::MemorySize(window_bits, level) + SlotMemory(threshold);
}

namespace {

// An encoder and its memory, kept from folder to folder.
struct Engine {
    ~Engine() {
        if (encoder != nullptr) {
            encoder->~LzxEncoder();
        }
    }

    // Memory for windows up to 2^bits.
    bool Allocate(const CallerAllocator &allocator, int bits, LzxLevel lvl) {
        if (memory.size() >= LzxEncoder::MemorySize(bits, lvl)) {
            return true;
        }
        Drop();
        if (!memory.Allocate(allocator, LzxEncoder::MemorySize(bits, lvl))) {
            return false;
        }
        // The match finder's tables are read at random: small pages make most reads a TLB miss.
        AdviseLargePages(memory.data(), memory.size());
        return true;
    }
    // An encoder for a new folder; the memory holds a window of 2^bits.
    LzxEncoder *For(int bits, LzxLevel lvl) {
        if (encoder != nullptr && window_bits == bits && level == lvl) {
            encoder->Reset();
            return encoder;
        }
        Drop();
        encoder = new (storage) LzxEncoder(bits, lvl, memory.data());
        window_bits = bits;
        level = lvl;
        return encoder;
    }
    void Drop() {
        if (encoder != nullptr) {
            encoder->~LzxEncoder();
            encoder = nullptr;
        }
    }

    CallerMemory memory;
    int window_bits = 0;
    LzxLevel level = LzxLevel::kFast;
    LzxEncoder *encoder = nullptr;
    alignas(LzxEncoder) unsigned char storage[sizeof(LzxEncoder)];
    std::thread thread;  // a worker's, taking whichever folder is next
};

// A folder on its way: its input, its frames, its files.
struct Slot {
    explicit Slot(const CallerAllocator &allocator)
        : files(CallerStlAllocator<PendingFile>(allocator)) {}

    LzxEncoder *encoder = nullptr;  // the folder's, while it is coded
    CallerMemory input, output, descriptors;
    size_t input_size = 0, output_size = 0, descriptor_count = 0;
    std::condition_variable space_cv;  // the worker waits for room in the output ring

    // The folder, shared with the worker under the lock.
    bool busy = false;       // holds a folder not yet wholly placed
    bool on_caller = false;  // coded on the caller's thread (one thread, or in step)
    bool claimed = false;    // a worker codes it
    bool input_closed = false;
    bool done = false;
    bool failed = false;
    uint64_t in_written = 0, in_read = 0;
    uint64_t out_reserved = 0, out_read = 0;
    uint64_t frames_written = 0, frames_read = 0;

    // The folder, caller's side only.
    TCOMP type = 0;
    uint64_t bound = 0;  // the most bytes the folder can come to, told to its encoder
    // Placed as it is coded, its frames flushed at each file end: it may be continued into the
    // next cabinet, and then ends with the file that crossed over.
    bool in_step = false;
    uint32_t input_bytes = 0;
    uint32_t placed_bytes = 0;
    CallerVector<PendingFile> files;
    size_t next_file = 0;             // first file whose record is not in the cabinet
    bool current_in_cabinet = false;  // the file being read has its record in the cabinet
    uint64_t current_cabinets = 0;    // cabinets written when it got there

    FrameDesc *Descriptors() { return reinterpret_cast<FrameDesc *>(descriptors.data()); }

    // Rings for a worker; with one thread, only a little input is kept.
    bool Allocate(const CallerAllocator &allocator, uint32_t threshold, bool worker) {
        input_size = worker ? InputRingSize(threshold) : kChunk;
        if (!input.Allocate(allocator, input_size)) {
            return false;
        }
        if (!worker) {
            return true;
        }
        output_size = OutputRingSize(threshold);
        descriptor_count = output_size / kBytesPerDescriptor;
        return output.Allocate(allocator, output_size) &&
               descriptors.Allocate(allocator, descriptor_count * sizeof(FrameDesc));
    }
};

}  // namespace

// The caller's side places frames and file records; workers only compress.
struct LzxFoldersImpl {
    LzxFoldersImpl(FciContext &c, CabinetBuilder &cab, FolderBuilder &fold)
        : ctx(c),
          cabinet(cab),
          folder(fold),
          slots(CallerStlAllocator<CallerPtr<Slot>>(c.allocator())),
          engines(CallerStlAllocator<CallerPtr<Engine>>(c.allocator())) {}
    ~LzxFoldersImpl() { Stop(); }

    FciContext &ctx;
    CabinetBuilder &cabinet;
    FolderBuilder &folder;
    std::mutex mu;
    std::condition_variable caller_cv;  // workers report progress
    std::condition_variable work_cv;    // workers wait for a folder or its input
    uint64_t progress = 0;              // counts it
    bool stop = false;
    bool threaded = false;
    CallerVector<CallerPtr<Slot>> slots;
    CallerVector<CallerPtr<Engine>> engines;  // the workers'
    Engine inline_engine;                     // for folders coded on the caller's thread
    uint64_t started = 0;                     // folders ever started
    uint64_t oldest = 0;                      // first folder not wholly placed
    bool filling = false;                     // the newest folder takes files
    uint32_t threshold = 0;
    size_t grown = 0;  // input ring bytes beyond the usual size
    LzxLevel level = LzxLevel::kFast;
    // What the cabinet can still take of folders compressed ahead, counted at their largest: room
    // and records left when everything was last placed, less what was queued since.
    uint64_t room = 0;
    uint32_t files_room = 0, folders_room = 0;
    bool need_measure = true;

    Slot &At(uint64_t index) { return *slots[size_t(index % slots.size())]; }
    Slot &Filling() { return At(started - 1); }

    bool Init();
    void Stop();
    void Work(Engine &engine);
    Slot *Unclaimed();
    bool Encode(Slot &s, LzxFrameSink &sink, std::unique_lock<std::mutex> &lock);

    bool Idle() const { return oldest == started && !filling; }
    void Measure();
    bool Queue(uint64_t bytes, bool new_folder);
    bool StartFolder(TCOMP type, bool in_step, uint32_t first_size, uint64_t bound);
    bool SizeInput(Slot &s, uint32_t first_size);
    bool ChooseFolder(const FileEntry &entry, bool size_known, TCOMP type);
    uint64_t FolderBound(const FileEntry &entry, bool size_known) const;
    bool RoomInStep(size_t entry_size, bool *stuck);
    bool EndFile(Slot &s);
    bool EndFolder();
    bool RunInline(Slot &s);
    bool FlushInline(Slot &s);
    enum class ReadResult { kOk, kFileFailed, kStuck };
    ReadResult Read(Slot &s, INT_PTR hf, bool size_known, uint32_t size);
    bool Count(Slot &s, uint32_t n, bool size_known, uint32_t *total);
    bool Forget(Slot &s);
    bool PlaceAvailable(bool *placed);
    template <typename Ready>
    bool WaitUntil(Ready ready);
    bool PlaceFrame(Slot &s, const uint8_t *payload, uint32_t size, uint32_t uncompressed);
    bool PlaceFiles(Slot &s, uint64_t end);
    bool PlaceFile(Slot &s, PendingFile &file);
    bool CompleteFolder(Slot &s);
};

namespace {

// A worker's frames go to its slot's output ring, waiting there for room.
class RingSink final : public LzxFrameSink {
public:
    RingSink(LzxFoldersImpl &q, Slot &s) : q_(q), s_(s) {}

    bool TakeFrame(const uint8_t *payload, uint32_t size, uint32_t uncompressed) override {
        std::unique_lock<std::mutex> lock(q_.mu);
        uint64_t start = 0;
        for (;;) {
            if (q_.stop) {
                return false;
            }
            const uint64_t offset = s_.out_reserved % s_.output_size;
            start =
                s_.out_reserved + (offset + size > s_.output_size ? s_.output_size - offset : 0);
            if (start + size - s_.out_read <= s_.output_size &&
                s_.frames_written - s_.frames_read < s_.descriptor_count) {
                break;
            }
            s_.space_cv.wait(lock);
        }
        s_.out_reserved = start + size;
        lock.unlock();
        memcpy(s_.output.data() + start % s_.output_size, payload, size);
        lock.lock();
        s_.Descriptors()[s_.frames_written % s_.descriptor_count] =
            FrameDesc{start, size, uncompressed};
        ++s_.frames_written;
        ++q_.progress;
        q_.caller_cv.notify_one();
        return true;
    }

private:
    LzxFoldersImpl &q_;
    Slot &s_;
};

// With one thread, frames are placed as the encoder makes them.
class PlacingSink final : public LzxFrameSink {
public:
    PlacingSink(LzxFoldersImpl &q, Slot &s) : q_(q), s_(s) {}
    bool TakeFrame(const uint8_t *payload, uint32_t size, uint32_t uncompressed) override {
        return q_.PlaceFrame(s_, payload, size, uncompressed);
    }

private:
    LzxFoldersImpl &q_;
    Slot &s_;
};

}  // namespace

bool LzxFoldersImpl::Init() {
    threshold = cabinet.folder_threshold();
    level = LzxLevel(g_level.load());
    const CallerAllocator allocator = ctx.allocator();
    const size_t per_thread = LzxMemoryPerThread(lzx::kMaxWindowBits, level, threshold);
    const unsigned threads = std::max<size_t>(
        1, std::min<size_t>(FciThreadCount(),
                            (kMemoryBudget - kExtraSlots * SlotMemory(threshold)) / per_thread));
    const unsigned count = threads > 1 ? threads + kExtraSlots : 1;
    try {
        slots.reserve(count);
        for (unsigned i = 0; i < count; ++i) {
            slots.push_back(MakeCaller<Slot>(allocator, allocator));
            if (!slots.back() || !slots.back()->Allocate(allocator, threshold, threads > 1)) {
                return false;
            }
        }
        for (unsigned i = 0; i < threads && threads > 1; ++i) {
            engines.push_back(MakeCaller<Engine>(allocator));
            if (!engines.back() ||
                !engines.back()->Allocate(allocator, lzx::kMaxWindowBits, level)) {
                return false;
            }
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    if (threads > 1) {
        try {
            for (auto &engine : engines) {
                Engine *e = engine.get();
                e->thread = std::thread([this, e] { Work(*e); });
            }
            threaded = true;
        } catch (...) {
            // Without every worker the rings stay, and the work is done inline.
            Stop();
            stop = false;
        }
    }
    return true;
}

void LzxFoldersImpl::Stop() {
    {
        std::lock_guard<std::mutex> lock(mu);
        stop = true;
    }
    work_cv.notify_all();
    for (auto &slot : slots) {
        slot->space_cv.notify_all();
    }
    for (auto &engine : engines) {
        if (engine->thread.joinable()) {
            engine->thread.join();
        }
    }
}

// Hands the encoder what input there is, or ends the folder once the input is closed. Called with
// the lock held; returns with it held.
bool LzxFoldersImpl::Encode(Slot &s, LzxFrameSink &sink, std::unique_lock<std::mutex> &lock) {
    if (s.in_read == 0) {
        s.encoder->SetFolderBound(s.bound);
    }
    if (s.in_written > s.in_read) {
        const size_t offset = size_t(s.in_read % s.input_size);
        const uint32_t n =
            uint32_t(std::min<uint64_t>({s.in_written - s.in_read, s.input_size - offset, kChunk}));
        lock.unlock();
        const bool ok = s.encoder->Write(s.input.data() + offset, n, sink);
        lock.lock();
        s.in_read += n;
        if (!ok) {
            s.failed = s.done = true;
        }
        return ok;
    }
    lock.unlock();
    const bool ok = s.encoder->Finish(sink);
    lock.lock();
    s.failed = !ok;
    s.done = true;
    return ok;
}

// The oldest folder no worker codes yet. Called with the lock held.
Slot *LzxFoldersImpl::Unclaimed() {
    for (uint64_t i = oldest; i < started; ++i) {
        Slot &s = At(i);
        if (s.busy && !s.on_caller && !s.done && !s.claimed) {
            return &s;
        }
    }
    return nullptr;
}

// A worker codes one folder to its end, then takes the next.
void LzxFoldersImpl::Work(Engine &engine) {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
        Slot *s = nullptr;
        work_cv.wait(lock, [&] { return stop || (s = Unclaimed()) != nullptr; });
        if (stop) {
            return;
        }
        s->claimed = true;
        const int bits = LZXCompressionWindowFromTCOMP(s->type);
        lock.unlock();
        LzxEncoder *encoder = engine.For(bits, level);
        lock.lock();
        s->encoder = encoder;
        RingSink sink(*this, *s);
        while (!s->done) {
            work_cv.wait(lock,
                         [&] { return stop || s->in_written > s->in_read || s->input_closed; });
            if (stop) {
                return;
            }
            Encode(*s, sink, lock);
            ++progress;
            caller_cv.notify_one();
        }
        s->claimed = false;
    }
}

// ---- the caller's side ----

bool LzxFoldersImpl::StartFolder(TCOMP type, bool in_step, uint32_t first_size, uint64_t bound) {
    Slot &s = At(started);
    // The folder the slot held before must be placed first.
    if (!WaitUntil([&] { return !s.busy; })) {
        return false;
    }
    const bool on_caller = in_step || !threaded;
    const int bits = LZXCompressionWindowFromTCOMP(type);
    if ((on_caller && !inline_engine.Allocate(ctx.allocator(), bits, level)) ||
        (!on_caller && !SizeInput(s, first_size))) {
        return ctx.Fail(FCIERR_ALLOC_FAIL);
    }
    std::lock_guard<std::mutex> lock(mu);
    s.encoder = on_caller ? inline_engine.For(bits, level) : nullptr;
    s.busy = true;
    s.in_step = in_step;
    s.on_caller = on_caller;
    s.input_closed = s.done = s.failed = s.claimed = false;
    s.in_written = s.in_read = 0;
    s.out_reserved = s.out_read = 0;
    s.frames_written = s.frames_read = 0;
    s.type = type;
    s.bound = bound;
    s.input_bytes = s.placed_bytes = 0;
    s.files.clear();
    s.next_file = 0;
    s.current_in_cabinet = false;
    ++started;
    filling = true;
    return true;
}

// A worker's input ring for a folder opened by a file of `first_size` bytes: the file's size
// while the memory allows, else the usual size. The slot is idle.
bool LzxFoldersImpl::SizeInput(Slot &s, uint32_t first_size) {
    const size_t usual = InputRingSize(threshold);
    const size_t whole =
        std::min<size_t>(kMaxInputRing, (size_t(first_size) + kChunk - 1) / kChunk * kChunk);
    grown -= s.input_size - usual;
    size_t want = whole > usual && grown + (whole - usual) <= kMaxGrownInput ? whole : usual;
    if (want != s.input_size && !s.input.Allocate(ctx.allocator(), want)) {
        // No room for the whole file: it streams through a ring of the usual size.
        want = usual;
        if (!s.input.Allocate(ctx.allocator(), want)) {
            return false;  // the writer cannot go on
        }
    }
    s.input_size = want;
    grown += want - usual;
    return true;
}

bool LzxFoldersImpl::EndFolder() {
    if (!filling) {
        return true;
    }
    filling = false;
    Slot &s = Filling();
    if (s.on_caller) {
        PlacingSink sink(*this, s);
        std::unique_lock<std::mutex> lock(mu);
        s.input_closed = true;
        while (!s.done) {
            if (!Encode(s, sink, lock)) {
                return false;
            }
        }
        lock.unlock();
        // A folder coded in step changed the cabinet outside the count of room.
        need_measure = need_measure || s.in_step;
        return CompleteFolder(s);
    }
    {
        std::lock_guard<std::mutex> lock(mu);
        s.input_closed = true;
    }
    work_cv.notify_all();
    bool placed = false;
    return PlaceAvailable(&placed);
}

// Reads the source into the input ring, making room by placing what the workers finished (or,
// with one thread, by encoding).
LzxFoldersImpl::ReadResult LzxFoldersImpl::Read(Slot &s, INT_PTR hf, bool size_known,
                                                uint32_t size) {
    auto room = [&] { return s.in_written - s.in_read < s.input_size; };
    uint32_t total = 0;
    for (;;) {
        uint32_t want = kChunk;
        if (size_known) {
            want = std::min(want, size - total);
            if (want == 0) {
                return ReadResult::kOk;
            }
        }
        if (!s.on_caller && !WaitUntil(room)) {
            return ReadResult::kStuck;
        }
        size_t offset = 0, free = 0;
        {
            std::lock_guard<std::mutex> lock(mu);
            offset = size_t(s.in_written % s.input_size);
            free = std::min(s.input_size - size_t(s.in_written - s.in_read), s.input_size - offset);
        }
        want = uint32_t(std::min<size_t>(want, free));
        int err = 0;
        UINT n = ctx.cb.read(hf, s.input.data() + offset, want, &err, ctx.cb.pv);
        if (n == UINT(-1) || n > want) {
            ctx.Fail(FCIERR_READ_SRC, err);
            return ReadResult::kFileFailed;
        }
        if (n == 0) {
            // A file whose size was learnt first has shrunk while being read.
            if (!size_known) {
                return ReadResult::kOk;
            }
            ctx.Fail(FCIERR_READ_SRC, err);
            return ReadResult::kFileFailed;
        }
        if (!Count(s, n, size_known, &total)) {
            return ReadResult::kFileFailed;
        }
        if (s.on_caller) {
            if (!RunInline(s)) {
                return ReadResult::kStuck;
            }
            continue;
        }
        work_cv.notify_all();
        bool placed = false;
        if (!PlaceAvailable(&placed)) {
            return ReadResult::kStuck;
        }
    }
}

// Counts `n` bytes just read into the ring, for the file, the folder and the workers.
bool LzxFoldersImpl::Count(Slot &s, uint32_t n, bool size_known, uint32_t *total) {
    if (uint64_t(*total) + n > kMaxFileSize || uint64_t(s.input_bytes) + n > kMaxFolderSize) {
        ctx.Fail(FCIERR_CAB_FORMAT_LIMIT);
        return false;
    }
    *total += n;
    s.input_bytes += n;
    if (!size_known) {
        s.files.back().entry.cbFile = *total;
        if (s.current_in_cabinet) {
            cabinet.current_file().cbFile = *total;
        }
    }
    std::lock_guard<std::mutex> lock(mu);
    s.in_written += n;
    return true;
}

// Codes what the input ring holds, frames placed as they come.
bool LzxFoldersImpl::RunInline(Slot &s) {
    PlacingSink sink(*this, s);
    std::unique_lock<std::mutex> lock(mu);
    while (s.in_written > s.in_read) {
        if (!Encode(s, sink, lock)) {
            return false;
        }
    }
    return true;
}

// Codes and places every whole frame the folder has: at a file end, so that a folder continued
// into the next cabinet can end with it.
bool LzxFoldersImpl::FlushInline(Slot &s) {
    if (!RunInline(s)) {
        return false;
    }
    PlacingSink sink(*this, s);
    if (!s.encoder->Flush(sink)) {
        std::lock_guard<std::mutex> lock(mu);
        s.failed = s.done = true;
        return false;
    }
    return true;
}

// Takes the cabinet's room now that everything is placed.
void LzxFoldersImpl::Measure() {
    need_measure = false;
    room = cabinet.Room();
    files_room = uint32_t(kMaxEntries - std::min<size_t>(cabinet.file_count(), kMaxEntries));
    folders_room = uint32_t(kMaxEntries - std::min<size_t>(cabinet.folder_count(), kMaxEntries));
}

// Counts `bytes` (a file at its largest) against the room; false when they may not fit.
bool LzxFoldersImpl::Queue(uint64_t bytes, bool new_folder) {
    if (bytes > room || files_room == 0 || (new_folder && folders_room == 0)) {
        return false;
    }
    room -= bytes;
    --files_room;
    folders_room -= new_folder;
    return true;
}

// Takes the failed file out of its folder; its bytes stay. False when it cannot be taken back:
// its record went out with a cabinet.
bool LzxFoldersImpl::Forget(Slot &s) {
    PendingFile &file = s.files.back();
    if (s.current_in_cabinet) {
        if (cabinet.cabinets_written() != s.current_cabinets) {
            return false;
        }
        CabinetMark mark = cabinet.Mark();
        --mark.files;
        mark.file_bytes -= file.entry.EncodedSize();
        cabinet.Restore(mark);
        s.current_in_cabinet = false;
        --s.next_file;
    }
    s.files.pop_back();
    return true;
}

// Places the frames the workers finished, oldest folder first, and the folders they complete.
bool LzxFoldersImpl::PlaceAvailable(bool *placed) {
    std::unique_lock<std::mutex> lock(mu);
    while (oldest < started) {
        Slot &s = At(oldest);
        if (s.frames_read < s.frames_written) {
            const FrameDesc d = s.Descriptors()[s.frames_read % s.descriptor_count];
            lock.unlock();
            const bool ok =
                PlaceFrame(s, s.output.data() + d.start % s.output_size, d.size, d.uncompressed);
            lock.lock();
            ++s.frames_read;
            s.out_read = d.start + d.size;
            s.space_cv.notify_one();
            if (!ok) {
                return false;
            }
        } else if (s.done) {
            lock.unlock();
            if (!CompleteFolder(s)) {
                return false;
            }
            lock.lock();
        } else {
            return true;
        }
        *placed = true;
    }
    return true;
}

// Places what the workers finish until `ready()` (called under the lock) holds.
template <typename Ready>
bool LzxFoldersImpl::WaitUntil(Ready ready) {
    std::unique_lock<std::mutex> lock(mu);
    while (!ready()) {
        const uint64_t seen = progress;
        lock.unlock();
        bool placed = false;
        if (!PlaceAvailable(&placed)) {
            return false;
        }
        lock.lock();
        if (!placed && !ready()) {
            caller_cv.wait(lock, [&] { return progress != seen; });
        }
    }
    return true;
}

bool LzxFoldersImpl::PlaceFrame(Slot &s, const uint8_t *payload, uint32_t size,
                                uint32_t uncompressed) {
    const uint32_t start = s.placed_bytes;
    if (!PlaceFiles(s, uint64_t(start) + uncompressed)) {
        return false;
    }
    if (!folder.is_open()) {
        folder.Open(s.type);
    }
    if (!folder.PlaceFrame(payload, uint16_t(size), uint16_t(uncompressed), start)) {
        return false;
    }
    s.placed_bytes = start + uncompressed;
    return true;
}

// The records of the files whose data begins before `end`.
bool LzxFoldersImpl::PlaceFiles(Slot &s, uint64_t end) {
    while (s.next_file < s.files.size() && s.files[s.next_file].entry.uoffFolderStart < end) {
        if (!PlaceFile(s, s.files[s.next_file])) {
            return false;
        }
        ++s.next_file;
    }
    return true;
}

// Room was made for the record before: by the count of room for a folder compressed ahead, by
// AddFile for one coded in step.
bool LzxFoldersImpl::PlaceFile(Slot &s, PendingFile &file) {
    if (!cabinet.HasRoomForFile(file.entry.EncodedSize(), folder.is_open(), 0)) {
        return ctx.Fail(FCIERR_CAB_FORMAT_LIMIT);
    }
    if (!folder.is_open()) {
        folder.Open(s.type);
    }
    FileEntry entry = file.entry;
    entry.iFolder = uint16_t(cabinet.folder_count() - 1);
    cabinet.BeginFile(entry, file.size_known);
    if (!file.complete) {
        s.current_in_cabinet = true;
        s.current_cabinets = cabinet.cabinets_written();
        return true;
    }
    bool ok = cabinet.PlaceCurrentFile();
    cabinet.EndFile();
    return ok;
}

bool LzxFoldersImpl::CompleteFolder(Slot &s) {
    if (s.failed) {
        return ctx.Fail(FCIERR_MCI_FAIL);
    }
    if (!PlaceFiles(s, UINT64_MAX) || (folder.is_open() && !folder.Close())) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mu);
    s.busy = false;
    s.files.clear();
    ++oldest;
    return true;
}

// Ends the folder being filled where the file cannot join it, and starts one where none is.
bool LzxFoldersImpl::ChooseFolder(const FileEntry &entry, bool size_known, TCOMP type) {
    // A file above the threshold opens a folder of its own, which a worker can take whole.
    if (filling &&
        (Filling().type != type ||
         (size_known && (uint64_t(Filling().input_bytes) + entry.cbFile > kMaxFolderSize ||
                         (entry.cbFile > threshold && Filling().input_bytes != 0))))) {
        if (!EndFolder()) {
            return false;
        }
    }
    const size_t entry_size = entry.EncodedSize();
    // A folder coded in step ends before a file whose record does not fit; the file starts the
    // next folder, in the next cabinet.
    if (filling && Filling().in_step && !cabinet.HasRoomForFile(entry_size, folder.is_open(), 0) &&
        !EndFolder()) {
        return false;
    }
    if (need_measure) {
        Measure();  // everything is placed here
    }
    // A file goes to a folder compressed ahead only while the cabinet is sure to take it whole:
    // a folder continued into the next cabinet must end with the file that crossed over.
    auto largest = [&](bool new_folder) {
        return size_known
                   ? LargestSize(entry_size, entry.cbFile, new_folder, cabinet.DataHeaderSize())
                   : UINT64_MAX;
    };
    if (filling && !Filling().in_step && !Queue(largest(false), false) && !EndFolder()) {
        return false;
    }
    if (filling) {
        // Matters only while the folder holds nothing: later files fit within its bound (but one
        // of unknown size, which comes too late to turn translation off).
        std::lock_guard<std::mutex> lock(mu);
        Filling().bound = std::max(Filling().bound, FolderBound(entry, size_known));
        return true;
    }
    bool in_step = !Queue(largest(true), true);
    if (in_step) {
        // Look again with what the cabinet really holds.
        if (!WaitUntil([&] { return oldest == started; })) {
            return false;
        }
        Measure();
        in_step = !Queue(largest(true), true);
    }
    return StartFolder(type, in_step, size_known ? entry.cbFile : 0,
                       FolderBound(entry, size_known));
}

// A file above the threshold has its folder to itself; other folders end below twice the
// threshold.
uint64_t LzxFoldersImpl::FolderBound(const FileEntry &entry, bool size_known) const {
    return size_known ? std::max<uint64_t>(entry.cbFile, 2 * uint64_t(threshold)) : UINT64_MAX;
}

// Room for a record of `entry_size` bytes in a folder coded in step, in the next cabinet if need
// be. False with `*stuck` cleared when the file is refused and the cabinet stays as it is.
bool LzxFoldersImpl::RoomInStep(size_t entry_size, bool *stuck) {
    if (cabinet.HasRoomForFile(entry_size, folder.is_open(), 0)) {
        return true;
    }
    if (!cabinet.RequestNext()) {
        *stuck = false;
        return false;
    }
    if (!cabinet.WriteAndContinue()) {
        return false;
    }
    if (!cabinet.HasRoomForFile(entry_size, folder.is_open(), 0)) {
        *stuck = false;
        return ctx.Fail(FCIERR_CAB_FORMAT_LIMIT);
    }
    return true;
}

// The file read whole: its record completed, and its folder ended at the threshold, or in step
// when the folder crossed into the next cabinet.
bool LzxFoldersImpl::EndFile(Slot &s) {
    s.files.back().complete = true;
    if (s.in_step && !FlushInline(s)) {
        return false;
    }
    if (s.current_in_cabinet) {
        s.current_in_cabinet = false;
        bool ok = cabinet.PlaceCurrentFile();
        cabinet.EndFile();
        if (!ok) {
            return false;
        }
    }
    const bool full = s.input_bytes >= threshold || (s.in_step && folder.continued());
    return !full || EndFolder();
}

// ---- LzxFolders ----

LzxFolders::LzxFolders(FciContext &ctx, CabinetBuilder &cabinet, FolderBuilder &folder)
    : ctx_(ctx),
      cabinet_(cabinet),
      folder_(folder),
      impl_(nullptr, CallerDelete{ctx.allocator()}) {}

LzxFolders::~LzxFolders() = default;

bool LzxFolders::busy() const {
    return impl_ != nullptr && impl_->oldest < impl_->started;
}

bool LzxFolders::AddFile(FileEntry entry, bool size_known, INT_PTR hf, TCOMP type, bool *stuck) {
    *stuck = false;
    if (impl_ == nullptr) {
        impl_ = MakeCaller<LzxFoldersImpl>(ctx_.allocator(), ctx_, cabinet_, folder_);
        if (impl_ == nullptr || !impl_->Init()) {
            impl_.reset();
            return ctx_.Fail(FCIERR_ALLOC_FAIL);
        }
    }
    LzxFoldersImpl &q = *impl_;
    *stuck = true;
    if (!q.ChooseFolder(entry, size_known, type)) {
        return false;
    }
    Slot &s = q.Filling();
    if (s.in_step && !q.RoomInStep(entry.EncodedSize(), stuck)) {
        return false;
    }
    entry.uoffFolderStart = s.input_bytes;
    try {
        s.files.push_back(PendingFile{std::move(entry), size_known, false});
    } catch (const std::bad_alloc &) {
        return ctx_.Fail(FCIERR_ALLOC_FAIL);
    }
    // In step, the record goes in now, as the writer does for other folders.
    if (s.in_step && !q.PlaceFiles(s, UINT64_MAX)) {
        return false;
    }
    const auto read = q.Read(s, hf, size_known, s.files.back().entry.cbFile);
    if (read != LzxFoldersImpl::ReadResult::kOk) {
        *stuck = read == LzxFoldersImpl::ReadResult::kStuck || !q.Forget(s);
        return false;
    }
    if (!q.EndFile(s)) {
        return false;
    }
    *stuck = false;
    return true;
}

bool LzxFolders::EndFolder() {
    return impl_ == nullptr || impl_->EndFolder();
}

bool LzxFolders::Finish() {
    if (impl_ == nullptr) {
        return true;
    }
    LzxFoldersImpl &q = *impl_;
    if (!q.EndFolder() || !q.WaitUntil([&] { return q.oldest == q.started; })) {
        return false;
    }
    q.need_measure = true;  // others write to the cabinet now
    return true;
}

void LzxFolders::Abort() {
    impl_.reset();
}

}  // namespace cab
