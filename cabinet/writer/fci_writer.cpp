#include "cabinet/writer/fci_writer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "cabinet/codec/mszip_encoder.h"
#include "platform/codepage.h"

namespace cab {

namespace {

constexpr uint32_t kWriterMagic = 0x46434957;  // "FCIW"
constexpr uint16_t kKeptAttributes = _A_RDONLY | _A_HIDDEN | _A_SYSTEM | _A_ARCH;

// Other readers show a name flagged as UTF-8 that is not as replacement characters, or refuse
// it; plain ASCII reads the same either way.
uint16_t NameFlag(const std::string &name) {
    auto bytes = reinterpret_cast<const uint8_t *>(name.data());
    bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return uint8_t(c) < 0x80; });
    return !ascii && IsValidUtf8(bytes, name.size()) ? _A_NAME_IS_UTF : 0;
}

}  // namespace

// A source file from the get-open-info callback, with its size learnt first so that a file
// spanning cabinets has a right entry in each. Closed on destruction.
class FciWriter::Source {
public:
    explicit Source(const FciContext &ctx) : ctx_(ctx) {}
    ~Source() { Close(); }
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;

    bool Open(const char *path, PFNFCIGETOPENINFO get_open_info) {
        int err = 0;
        std::string path_copy = path;
        hf = get_open_info(path_copy.data(), &date, &time, &attribs, &err, ctx_.cb.pv);
        if (hf == -1) {
            return ctx_.Fail(FCIERR_OPEN_SRC, err);
        }
        err = 0;
        long end = ctx_.cb.seek(hf, 0, kSeekEnd, &err, ctx_.cb.pv);
        size_known = end >= 0;
        if (!size_known) {
            return true;  // read to its end instead
        }
        err = 0;
        if (ctx_.cb.seek(hf, 0, kSeekSet, &err, ctx_.cb.pv) != 0) {
            return ctx_.Fail(FCIERR_READ_SRC, err);
        }
        if (uint64_t(end) > kMaxFileSize) {
            return ctx_.Fail(FCIERR_CAB_FORMAT_LIMIT);
        }
        size = uint32_t(end);
        return true;
    }
    void Close() {
        if (hf != -1) {
            ctx_.CloseQuietly(hf);
            hf = -1;
        }
    }

    INT_PTR hf = -1;
    bool size_known = false;
    uint32_t size = 0;
    USHORT date = 0, time = 0, attribs = 0;

private:
    const FciContext &ctx_;
};

// ---- creation and teardown ----

FciWriter::FciWriter(PERF perf, const FciCallbacks &callbacks, const CCAB &ccab)
    : magic_(kWriterMagic),
      ctx_(perf, callbacks),
      cabinet_(ctx_, ccab),
      folder_(ctx_, cabinet_, undo_),
      lzx_(ctx_, cabinet_, folder_) {}

FciWriter::~FciWriter() {
    magic_ = 0;
}

bool FciWriter::IsWriter(const void *p) {
    return p != nullptr && static_cast<const FciWriter *>(p)->magic_ == kWriterMagic;
}

FciWriter *FciWriter::Create(PERF perf, const FciCallbacks &callbacks, const CCAB &ccab) {
    const FciContext ctx(perf, callbacks);
    if (callbacks.alloc == nullptr || callbacks.free == nullptr) {
        ctx.Fail(FCIERR_ALLOC_FAIL);
        return nullptr;
    }
    if (callbacks.open == nullptr || callbacks.read == nullptr || callbacks.write == nullptr ||
        callbacks.close == nullptr || callbacks.seek == nullptr || callbacks.remove == nullptr ||
        callbacks.get_temp_file == nullptr) {
        ctx.Fail(FCIERR_TEMP_FILE);
        return nullptr;
    }
    if (ccab.cbReserveCFHeader > kMaxHeaderReserve || ccab.cbReserveCFFolder > kMaxFolderReserve ||
        ccab.cbReserveCFData > kMaxDataReserve || !CabinetNamesValid(ccab)) {
        ctx.Fail(FCIERR_CAB_FORMAT_LIMIT);
        return nullptr;
    }
    void *memory = callbacks.alloc(sizeof(FciWriter));
    if (memory == nullptr) {
        ctx.Fail(FCIERR_ALLOC_FAIL);
        return nullptr;
    }
    FciWriter *writer = nullptr;
    try {
        writer = new (memory) FciWriter(perf, callbacks, ccab);
    } catch (...) {
        callbacks.free(memory);
        ctx.Fail(FCIERR_ALLOC_FAIL);
        return nullptr;
    }
    if (!writer->Init()) {
        ERF saved = *perf;
        Destroy(writer);
        *perf = saved;
        return nullptr;
    }
    return writer;
}

bool FciWriter::Init() {
    if (!folder_.Init()) {
        return false;
    }
    if (!undo_.Init(ctx_.allocator())) {
        return ctx_.Fail(FCIERR_ALLOC_FAIL);
    }
    return cabinet_.Init();
}

void FciWriter::Destroy(FciWriter *writer) {
    const PFNFCIFREE free = writer->ctx_.cb.free;
    writer->~FciWriter();
    free(writer);
}

// ---- errors ----

bool FciWriter::BeginCall(PFNFCIGETNEXTCABINET get_next, PFNFCISTATUS status) {
    if (stuck_oper_ != FCIERR_NONE) {
        return ctx_.Fail(stuck_oper_);
    }
    ctx_.get_next = get_next;
    ctx_.status = status;
    return true;
}

bool FciWriter::FailStuck() {
    if (stuck_oper_ == FCIERR_NONE) {
        stuck_oper_ = ctx_.perf->erfOper != FCIERR_NONE ? ctx_.perf->erfOper : FCIERR_MCI_FAIL;
    }
    folder_.DropBlocks();
    lzx_.Abort();
    return false;
}

bool FciWriter::FailOutOfMemory() {
    ctx_.Fail(FCIERR_ALLOC_FAIL);
    return FailStuck();
}

// ---- adding a file ----

bool FciWriter::AddFile(const char *source, const char *name, bool execute,
                        PFNFCIGETNEXTCABINET get_next, PFNFCISTATUS status,
                        PFNFCIGETOPENINFO get_open_info, TCOMP type) {
    if (!BeginCall(get_next, status)) {
        return false;
    }
    if (type != tcompTYPE_NONE && !IsLzxType(type)) {
        const int level = MszipLevel(type);
        if (level == 0) {
            return ctx_.Fail(FCIERR_BAD_COMPR_TYPE);
        }
        // The default level by its number, so that it joins a folder opened with that number.
        type = TCOMP(TCOMPfromMSZIPLevel(level));
    }
    if (source == nullptr || name == nullptr || get_open_info == nullptr) {
        return ctx_.Fail(FCIERR_OPEN_SRC);
    }
    const size_t name_size = strlen(name);
    if (name_size > kMaxWrittenFileNameLength) {
        return ctx_.Fail(FCIERR_CAB_FORMAT_LIMIT);  // a cut name would be another file's name
    }
    // After FCIFlushCabinet completed the last cabinet, this file opens a new set.
    if (!cabinet_.pending() && !cabinet_.StartNewSet()) {
        return false;
    }
    Source src(ctx_);
    if (!src.Open(source, get_open_info)) {
        return false;
    }
    FileEntry entry;
    entry.cbFile = src.size;
    entry.date = src.date;
    entry.time = src.time;
    entry.name.assign(name, name_size);
    entry.attribs =
        uint16_t((src.attribs & kKeptAttributes) | (execute ? _A_EXEC : 0) | NameFlag(entry.name));
    if (IsLzxType(type)) {
        return AddLzxFile(std::move(entry), src, type);
    }
    // LZX folders still compressing go first.
    if (lzx_.busy() && !lzx_.Finish()) {
        return FailStuck();
    }
    if (!MakeRoom(type, src, entry.EncodedSize()) || !folder_.PrepareCompression(type)) {
        return false;
    }
    BeginFile(std::move(entry), type, src.size_known);
    bool ok = folder_.ReadFile(src.hf, src.size_known, src.size);
    src.Close();
    return FinishFile(ok);
}

// LZX folders settle their layout when they are placed, after the file is added.
bool FciWriter::AddLzxFile(FileEntry entry, const Source &source, TCOMP type) {
    if (!lzx_.busy() && folder_.is_open() && !folder_.Close()) {
        return FailStuck();
    }
    bool stuck = false;
    if (!lzx_.AddFile(std::move(entry), source.size_known, source.hf, type, &stuck)) {
        return stuck ? FailStuck() : false;
    }
    return true;
}

// Closes the open folder when the file cannot join it, and makes room for the file's record.
bool FciWriter::MakeRoom(TCOMP type, const Source &source, size_t entry_size) {
    if (folder_.is_open() &&
        (folder_.type() != type ||
         (source.size_known && uint64_t(folder_.size()) + source.size > kMaxFolderSize)) &&
        !folder_.Close()) {
        return FailStuck();
    }
    return EnsureRoomForFile(entry_size);
}

// Room for one more file entry (and its folder record, if a folder must be opened) plus the first
// byte of its data; starts a new cabinet when the current one cannot take it.
bool FciWriter::EnsureRoomForFile(size_t entry_size) {
    auto room = [&](uint64_t in_flight) {
        return cabinet_.HasRoomForFile(entry_size, folder_.is_open(), in_flight);
    };
    // Blocks still being compressed are counted at their largest; only when that does not fit are
    // they waited for, so threads never change where a cabinet ends.
    if (room(folder_.InFlightAllowance())) {
        return true;
    }
    if (!folder_.Drain(true)) {
        return FailStuck();
    }
    if (room(0)) {
        return true;
    }
    if (folder_.is_open() && !folder_.Close()) {
        return FailStuck();
    }
    if (room(0)) {
        return true;
    }
    // Without a next cabinet the file is refused and the cabinet stays as it is.
    if (!cabinet_.RequestNext()) {
        return false;
    }
    if (!cabinet_.WriteAndContinue()) {
        return FailStuck();
    }
    return room(0) || ctx_.Fail(FCIERR_CAB_FORMAT_LIMIT);
}

void FciWriter::BeginFile(FileEntry entry, TCOMP type, bool size_known) {
    undo_.Begin(cabinet_.Mark(), folder_.Mark(), folder_.blocks_submitted());
    if (!folder_.is_open()) {
        folder_.Open(type);
    }
    folder_.NoteUndoPoint();
    entry.uoffFolderStart = folder_.size();
    entry.iFolder = uint16_t(cabinet_.folder_count() - 1);
    cabinet_.BeginFile(entry, size_known);
}

bool FciWriter::FinishFile(bool ok) {
    // Blocks that might not fit are placed while this file is still the one being added, as
    // with one thread: where the cabinet ends must not depend on timing.
    if (ok && !cabinet_.Fits(folder_.InFlightAllowance())) {
        ok = folder_.Drain(true);
    }
    ok = ok && cabinet_.PlaceCurrentFile();
    if (!ok) {
        return undo_.Restore(ctx_, cabinet_, folder_) ? false : FailStuck();
    }
    undo_.End();
    cabinet_.EndFile();
    return CloseFolderAtThreshold();
}

// A folder continued into another cabinet ends with the file that crossed over; any other ends
// once its compressed size reaches the threshold.
bool FciWriter::CloseFolderAtThreshold() {
    const ULONG threshold = cabinet_.folder_threshold();
    if (folder_.continued() ||
        folder_.compressed() + folder_.InFlight() * kMszipMaxPayload >= threshold) {
        if (!folder_.Drain(true)) {
            return FailStuck();
        }
        if ((folder_.continued() || folder_.compressed() >= threshold) && !folder_.Close()) {
            return FailStuck();
        }
    }
    return true;
}

// ---- flushing ----

bool FciWriter::FlushFolder(PFNFCIGETNEXTCABINET get_next, PFNFCISTATUS status) {
    if (!BeginCall(get_next, status)) {
        return false;
    }
    if (lzx_.busy()) {
        return lzx_.EndFolder() || FailStuck();
    }
    return folder_.Close() || FailStuck();
}

bool FciWriter::FlushCabinet(bool get_next_cabinet, PFNFCIGETNEXTCABINET get_next,
                             PFNFCISTATUS status) {
    if (!BeginCall(get_next, status)) {
        return false;
    }
    if (!cabinet_.pending()) {
        return true;
    }
    if (!lzx_.Finish() || !folder_.Close()) {
        return FailStuck();
    }
    if (get_next_cabinet) {
        // A cabinet that names a next one must be followed by it, even an empty one.
        return cabinet_.WriteAndContinue() || FailStuck();
    }
    // A next cabinet asked for while the data still seemed not to fit would hold nothing, and
    // readers refuse a cabinet without folders: this one ends the set.
    cabinet_.DropNext();
    if (!cabinet_.Write()) {
        return FailStuck();
    }
    cabinet_.Finish();
    return true;
}

}  // namespace cab
