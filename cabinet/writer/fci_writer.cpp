#include "cabinet/writer/fci_writer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "cabinet/codec/mszip_encoder.h"

namespace cab {

namespace {

constexpr uint32_t kWriterMagic = 0x46434957;  // "FCIW"
constexpr int kTempAttempts = 8;
constexpr int kTempNameSize = 1024;
constexpr size_t kIoSize = 64 * 1024;
// Room kept for the next cabinet's name and disk until the get-next-cabinet callback tells them.
constexpr size_t kNextNamesAllowance = 2 * (kMaxCabinetNameLength + 1);
constexpr int kCabinetOpenFlags = _O_BINARY | _O_CREAT | _O_TRUNC | _O_RDWR;
constexpr int kTempOpenFlags = _O_BINARY | _O_CREAT | _O_EXCL | _O_RDWR;
constexpr int kCreateMode = _S_IREAD | _S_IWRITE;
constexpr uint16_t kKeptAttributes = _A_RDONLY | _A_HIDDEN | _A_SYSTEM | _A_ARCH;
constexpr int kSeekSet = 0;
constexpr int kSeekEnd = 2;

std::string BoundedString(const char *s, size_t capacity) {
    return std::string(s, strnlen(s, capacity));
}

// Other readers show a name flagged as UTF-8 that is not as replacement characters, or refuse
// it; plain ASCII reads the same either way.
uint16_t NameFlag(const std::string &name) {
    auto bytes = reinterpret_cast<const uint8_t *>(name.data());
    bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return uint8_t(c) < 0x80; });
    return !ascii && IsValidUtf8(bytes, name.size()) ? _A_NAME_IS_UTF : 0;
}

bool CabinetNamesValid(const CCAB &ccab) {
    return strnlen(ccab.szCab, sizeof ccab.szCab) <= kMaxCabinetNameLength &&
           strnlen(ccab.szDisk, sizeof ccab.szDisk) <= kMaxCabinetNameLength &&
           strnlen(ccab.szCabPath, sizeof ccab.szCabPath) < sizeof ccab.szCabPath &&
           ccab.szCab[0] != '\0';
}

std::string CabinetPath(const CCAB &ccab) {
    return BoundedString(ccab.szCabPath, sizeof ccab.szCabPath) +
           BoundedString(ccab.szCab, sizeof ccab.szCab);
}

}  // namespace

// ---- creation and teardown ----

FciWriter::FciWriter(PERF perf, const FciCallbacks &callbacks, const CCAB &ccab)
    : magic_(kWriterMagic),
      perf_(perf),
      cb_(callbacks),
      ccab_(ccab),
      next_ccab_(ccab),
      reserve_header_(uint16_t(ccab.cbReserveCFHeader)),
      reserve_folder_(uint16_t(ccab.cbReserveCFFolder)),
      reserve_data_(uint16_t(ccab.cbReserveCFData)) {}

FciWriter::~FciWriter() {
    magic_ = 0;
}

bool FciWriter::IsWriter(const void *p) {
    return p != nullptr && static_cast<const FciWriter *>(p)->magic_ == kWriterMagic;
}

FciWriter *FciWriter::Create(PERF perf, const FciCallbacks &callbacks, const CCAB &ccab) {
    auto fail = [perf](int oper) -> FciWriter * {
        perf->erfOper = oper;
        perf->erfType = 0;
        perf->fError = TRUE;
        return nullptr;
    };
    if (callbacks.alloc == nullptr || callbacks.free == nullptr) {
        return fail(FCIERR_ALLOC_FAIL);
    }
    if (callbacks.open == nullptr || callbacks.read == nullptr || callbacks.write == nullptr ||
        callbacks.close == nullptr || callbacks.seek == nullptr || callbacks.remove == nullptr ||
        callbacks.get_temp_file == nullptr) {
        return fail(FCIERR_TEMP_FILE);
    }
    if (ccab.cbReserveCFHeader > kMaxHeaderReserve || ccab.cbReserveCFFolder > kMaxFolderReserve ||
        ccab.cbReserveCFData > kMaxDataReserve || !CabinetNamesValid(ccab)) {
        return fail(FCIERR_CAB_FORMAT_LIMIT);
    }
    void *memory = callbacks.alloc(sizeof(FciWriter));
    if (memory == nullptr) {
        return fail(FCIERR_ALLOC_FAIL);
    }
    FciWriter *writer = nullptr;
    try {
        writer = new (memory) FciWriter(perf, callbacks, ccab);
    } catch (...) {
        callbacks.free(memory);
        return fail(FCIERR_ALLOC_FAIL);
    }
    if (!writer->AllocateBuffers() || !writer->CreateTempFile()) {
        ERF saved = *perf;
        Destroy(writer);
        *perf = saved;
        return nullptr;
    }
    return writer;
}

void FciWriter::Destroy(FciWriter *writer) {
    const FciCallbacks cb = writer->cb_;
    if (writer->temp_ != -1) {
        int err = 0;
        cb.close(writer->temp_, &err, cb.pv);
        err = 0;
        cb.remove(writer->temp_name_.data(), &err, cb.pv);
    }
    for (uint8_t *p : {writer->history_, writer->pending_, writer->saved_history_,
                       writer->saved_pending_, writer->record_, writer->carry_, writer->io_}) {
        if (p != nullptr) {
            cb.free(p);
        }
    }
    writer->~FciWriter();
    cb.free(writer);
}

bool FciWriter::AllocateBuffers() {
    auto get = [this](size_t size) { return static_cast<uint8_t *>(cb_.alloc(ULONG(size))); };
    history_ = get(kBlockSize);
    pending_ = get(kBlockSize);
    saved_history_ = get(kBlockSize);
    saved_pending_ = get(kBlockSize);
    record_ = get(kDataFixedSize + kMaxDataReserve + kMszipMaxPayload);
    carry_ = get(kMszipMaxPayload);
    io_ = get(kIoSize);
    if (history_ == nullptr || pending_ == nullptr || saved_history_ == nullptr ||
        saved_pending_ == nullptr || record_ == nullptr || carry_ == nullptr || io_ == nullptr ||
        !blocks_.Init()) {
        return Fail(FCIERR_ALLOC_FAIL);
    }
    return true;
}

bool FciWriter::CreateTempFile() {
    char name[kTempNameSize];
    int err = 0;
    // A name can be taken between the callback and the open; _O_EXCL catches that, so ask again.
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        memset(name, 0, sizeof name);
        if (!cb_.get_temp_file(name, sizeof name, cb_.pv)) {
            return Fail(FCIERR_TEMP_FILE);
        }
        name[sizeof name - 1] = '\0';
        err = 0;
        INT_PTR hf = cb_.open(name, kTempOpenFlags, kCreateMode, &err, cb_.pv);
        if (hf != -1) {
            temp_name_ = name;
            temp_ = hf;
            temp_pos_ = 0;
            return true;
        }
    }
    return Fail(FCIERR_TEMP_FILE, err);
}

// ---- errors ----

bool FciWriter::Fail(int oper, int type) {
    perf_->erfOper = oper;
    perf_->erfType = type;
    perf_->fError = TRUE;
    return false;
}

bool FciWriter::FailStuck() {
    if (stuck_oper_ == FCIERR_NONE) {
        stuck_oper_ = perf_->erfOper != FCIERR_NONE ? perf_->erfOper : FCIERR_MCI_FAIL;
    }
    blocks_.Clear();
    return false;
}

bool FciWriter::FailOutOfMemory() {
    Fail(FCIERR_ALLOC_FAIL);
    return FailStuck();
}

// ---- cabinet layout ----

uint32_t FciWriter::CabinetLimit() const {
    ULONG cb = ccab_.cb;
    return cb == 0 || cb > kMaxCabinetSize ? kMaxCabinetSize : cb;
}

size_t FciWriter::HeaderSize(bool with_next) const {
    size_t size = kHeaderFixedSize;
    if (reserve_header_ != 0 || reserve_folder_ != 0 || reserve_data_ != 0) {
        size += kHeaderReserveFieldsSize + reserve_header_;
    }
    if (has_prev_) {
        size += prev_cab_.size() + 1 + prev_disk_.size() + 1;
    }
    if (with_next) {
        if (next_known_) {
            size += strnlen(next_ccab_.szCab, sizeof next_ccab_.szCab) + 1 +
                    strnlen(next_ccab_.szDisk, sizeof next_ccab_.szDisk) + 1;
        } else {
            size += kNextNamesAllowance;
        }
    }
    return size;
}

uint64_t FciWriter::MetadataSize() const {
    return HeaderSize(true) + folders_.size() * (kFolderFixedSize + reserve_folder_) + file_bytes_;
}

// The most the blocks being compressed can add to the cabinet.
uint64_t FciWriter::InFlightAllowance() const {
    return blocks_.InFlight() * uint64_t(kDataFixedSize + reserve_data_ + kMszipMaxPayload);
}

bool FciWriter::Fits(uint64_t extra) const {
    return MetadataSize() + data_size_ + extra <= CabinetLimit();
}

bool FciWriter::RequestNextCabinet() {
    if (next_known_) {
        return true;
    }
    if (get_next_ == nullptr) {
        return Fail(FCIERR_CAB_FORMAT_LIMIT);
    }
    CCAB next = ccab_;
    next.iCab = ccab_.iCab + 1;
    uint64_t estimate = MetadataSize() + data_size_;
    next_estimate_ = uint32_t(std::min<uint64_t>(estimate, CabinetLimit()));
    if (!get_next_(&next, next_estimate_, cb_.pv)) {
        return Fail(FCIERR_USER_ABORT);
    }
    if (!CabinetNamesValid(next)) {
        return Fail(FCIERR_CAB_FORMAT_LIMIT);
    }
    // The same file again would overwrite the cabinet just completed.
    if (CabinetPath(next) == CabinetPath(ccab_)) {
        return Fail(FCIERR_CAB_FILE);
    }
    next_ccab_ = next;
    next_known_ = true;
    return true;
}

bool FciWriter::WriteCabinet() {
    CabHeader header;
    header.flags = (has_prev_ ? kFlagPrevCabinet : 0) | (next_known_ ? kFlagNextCabinet : 0);
    if (reserve_header_ != 0 || reserve_folder_ != 0 || reserve_data_ != 0) {
        header.flags |= kFlagReservePresent;
        header.cbCFHeader = reserve_header_;
        header.cbCFFolder = uint8_t(reserve_folder_);
        header.cbCFData = uint8_t(reserve_data_);
    }
    header.szCabinetPrev = prev_cab_;
    header.szDiskPrev = prev_disk_;
    if (next_known_) {
        header.szCabinetNext = BoundedString(next_ccab_.szCab, sizeof next_ccab_.szCab);
        header.szDiskNext = BoundedString(next_ccab_.szDisk, sizeof next_ccab_.szDisk);
    }
    header.cFolders = uint16_t(folders_.size());
    header.cFiles = uint16_t(files_.size());
    header.setID = ccab_.setID;
    header.iCabinet = cabinet_index_;
    const size_t header_size = header.EncodedSize();
    const size_t folder_size = kFolderFixedSize + reserve_folder_;
    const uint64_t data_start = header_size + folders_.size() * folder_size + file_bytes_;
    const uint64_t total = data_start + data_size_;
    if (total > kMaxCabinetSize) {
        return Fail(FCIERR_CAB_FORMAT_LIMIT);
    }
    header.coffFiles = uint32_t(header_size + folders_.size() * folder_size);
    header.cbCabinet = uint32_t(total);

    std::string path = CabinetPath(ccab_);
    int err = 0;
    INT_PTR hf = cb_.open(path.data(), kCabinetOpenFlags, kCreateMode, &err, cb_.pv);
    if (hf == -1) {
        return Fail(FCIERR_CAB_FILE, err);
    }
    size_t used = 0;
    auto flush = [&]() -> bool {
        if (used == 0) {
            return true;
        }
        err = 0;
        UINT n = cb_.write(hf, io_, UINT(used), &err, cb_.pv);
        bool ok = n == used;
        used = 0;
        return ok || Fail(FCIERR_CAB_FILE, err);
    };
    // Records are small except the header reserve, which may be 60000 bytes: the buffer holds it.
    auto reserve = [&](size_t size) -> uint8_t * {
        if (used + size > kIoSize && !flush()) {
            return nullptr;
        }
        uint8_t *p = io_ + used;
        used += size;
        return p;
    };
    auto fail_cleanup = [&]() -> bool {
        int ignored = 0;
        cb_.close(hf, &ignored, cb_.pv);
        ignored = 0;
        cb_.remove(path.data(), &ignored, cb_.pv);
        return false;
    };

    uint8_t *p = reserve(header_size);
    if (p == nullptr) {
        return fail_cleanup();
    }
    header.Encode(p);
    for (const FolderRecord &f : folders_) {
        if ((p = reserve(folder_size)) == nullptr) {
            return fail_cleanup();
        }
        CabFolder record;
        record.coffCabStart = uint32_t(data_start + f.data_offset);
        record.cCFData = f.blocks;
        record.typeCompress = f.type;
        record.Encode(p);
        memset(p + kFolderFixedSize, 0, reserve_folder_);
    }
    for (const CabFile &f : files_) {
        if ((p = reserve(f.EncodedSize())) == nullptr) {
            return fail_cleanup();
        }
        f.Encode(p);
    }
    if (!flush() || !SeekTemp(0)) {
        return fail_cleanup();
    }
    for (size_t i = 0; i < folders_.size(); ++i) {
        uint32_t begin = folders_[i].data_offset;
        uint32_t end = i + 1 < folders_.size() ? folders_[i + 1].data_offset : data_size_;
        uint32_t copied = 0;
        do {
            uint32_t chunk = uint32_t(std::min<uint64_t>(end - begin - copied, kIoSize));
            if (chunk != 0) {
                err = 0;
                if (cb_.read(temp_, io_, chunk, &err, cb_.pv) != chunk) {
                    temp_pos_ = UINT32_MAX;
                    Fail(FCIERR_TEMP_FILE, err);
                    return fail_cleanup();
                }
                temp_pos_ += chunk;
                used = chunk;
                if (!flush()) {
                    return fail_cleanup();
                }
                copied += chunk;
            }
            if (status_ != nullptr && status_(statusFolder, copied, end - begin, cb_.pv) == -1) {
                Fail(FCIERR_USER_ABORT);
                return fail_cleanup();
            }
        } while (begin + copied < end);
    }
    err = 0;
    if (cb_.close(hf, &err, cb_.pv) != 0) {
        int ignored = 0;
        cb_.remove(path.data(), &ignored, cb_.pv);
        return Fail(FCIERR_CAB_FILE, err);
    }
    ++cabinets_written_;
    uint32_t estimate = next_known_ ? next_estimate_ : uint32_t(total);
    if (status_ != nullptr && status_(statusCabinet, estimate, ULONG(total), cb_.pv) == -1) {
        int ignored = 0;
        cb_.remove(path.data(), &ignored, cb_.pv);
        return Fail(FCIERR_USER_ABORT);
    }
    return true;
}

bool FciWriter::StartNextCabinet(const std::string &prev_cab, const std::string &prev_disk) {
    has_prev_ = true;
    prev_cab_ = prev_cab;
    prev_disk_ = prev_disk;
    ccab_ = next_ccab_;
    next_known_ = false;
    ++cabinet_index_;
    ClearCabinetContents();
    cabinet_pending_ = true;
    return true;
}

void FciWriter::ClearCabinetContents() {
    folders_.clear();
    files_.clear();
    file_bytes_ = 0;
    data_size_ = 0;
    last_record_.valid = false;
}

bool FciWriter::FinishCabinetAndContinue() {
    if (!RequestNextCabinet() || !WriteCabinet()) {
        return false;
    }
    std::string cab = BoundedString(ccab_.szCab, sizeof ccab_.szCab);
    std::string disk = BoundedString(ccab_.szDisk, sizeof ccab_.szDisk);
    return StartNextCabinet(cab, disk);
}

// Room for one more file entry (and its folder record, if a folder must be opened) plus the first
// byte of its data; starts a new cabinet when the current one cannot take it.
bool FciWriter::EnsureRoomForFile(size_t entry_size) {
    const uint64_t first_data = kDataFixedSize + reserve_data_ + 1;
    auto room = [&](uint64_t in_flight) {
        uint64_t need = entry_size + first_data + in_flight;
        if (!folder_open_) {
            need += kFolderFixedSize + reserve_folder_;
        }
        return files_.size() < kMaxEntries && (folder_open_ || folders_.size() < kMaxEntries) &&
               Fits(need);
    };
    // Blocks still being compressed are counted at their largest; only when that does not fit are
    // they waited for, so threads never change where a cabinet ends.
    if (room(InFlightAllowance())) {
        return true;
    }
    if (!DrainBlocks(true)) {
        return FailStuck();
    }
    if (room(0)) {
        return true;
    }
    if (folder_open_ && !CloseFolder()) {
        return FailStuck();
    }
    if (room(0)) {
        return true;
    }
    // Without a next cabinet the file is refused and the cabinet stays as it is.
    if (!RequestNextCabinet()) {
        return false;
    }
    if (!WriteCabinet()) {
        return FailStuck();
    }
    StartNextCabinet(BoundedString(ccab_.szCab, sizeof ccab_.szCab),
                     BoundedString(ccab_.szDisk, sizeof ccab_.szDisk));
    return room(0) || Fail(FCIERR_CAB_FORMAT_LIMIT);
}

// The record starting at uncompressed offset `block_start` of the open folder does not fit: files
// whose data reaches that block are continued, the cabinet is written and the folder goes on as
// the first folder of the next one.
bool FciWriter::SplitFolder(uint32_t block_start) {
    std::vector<CabFile> continued;
    bool first_from_prev = false;
    for (size_t i = folder_first_file_; i < files_.size(); ++i) {
        CabFile &f = files_[i];
        bool is_current = long(i) == current_file_;
        if (!is_current && uint64_t(f.uoffFolderStart) + f.cbFile <= block_start) {
            continue;
        }
        if (is_current && !current_size_known_) {
            // Its entry is written now and its size is not known yet.
            return Fail(FCIERR_READ_SRC);
        }
        bool from_prev = f.iFolder == kFolderContinuedFromPrev;
        if (continued.empty()) {
            first_from_prev = from_prev;
        }
        f.iFolder = from_prev ? kFolderContinuedPrevAndNext : kFolderContinuedToNext;
        continued.push_back(f);
        continued.back().iFolder = kFolderContinuedFromPrev;
    }
    if (current_file_ >= 0 && !current_placed_) {
        current_placed_ = true;
        if (!ReportPlaced(files_[size_t(current_file_)], false)) {
            return false;
        }
    }
    if (!RequestNextCabinet() || !WriteCabinet()) {
        return false;
    }
    // The previous-cabinet name points at the cabinet where the first continued file begins.
    std::string cab = prev_cab_, disk = prev_disk_;
    if (!first_from_prev || !has_prev_) {
        cab = BoundedString(ccab_.szCab, sizeof ccab_.szCab);
        disk = BoundedString(ccab_.szDisk, sizeof ccab_.szDisk);
    }
    StartNextCabinet(cab, disk);
    folders_.push_back(FolderRecord{0, 0, folder_type_});
    folder_first_file_ = 0;
    long new_current = -1;
    for (const CabFile &f : continued) {
        files_.push_back(f);
        file_bytes_ += f.EncodedSize();
    }
    if (current_file_ >= 0) {
        new_current = long(files_.size()) - 1;  // the file being added is always the last one
    }
    current_file_ = new_current;
    folder_continued_ = true;
    for (const CabFile &f : files_) {
        if (!ReportPlaced(f, true)) {
            return false;
        }
    }
    // Every cabinet must take some data, or a tiny cb would make cabinets without end.
    if (!Fits(kDataFixedSize + reserve_data_ + 1) && !RequestNextCabinet()) {
        return false;
    }
    return Fits(kDataFixedSize + reserve_data_ + 1) || Fail(FCIERR_CAB_FORMAT_LIMIT);
}

// ---- folder data ----

bool FciWriter::OpenFolder(uint16_t type) {
    folders_.push_back(FolderRecord{data_size_, 0, type});
    folder_open_ = true;
    folder_continued_ = false;
    folder_type_ = type;
    folder_size_ = 0;
    folder_compressed_ = 0;
    folder_first_file_ = files_.size();
    last_record_.valid = false;
    history_size_ = 0;
    pending_size_ = 0;
    return true;
}

bool FciWriter::CloseFolder() {
    if (!folder_open_) {
        return true;
    }
    if (pending_size_ != 0 && !SubmitBlock()) {
        return false;
    }
    if (!DrainBlocks(true)) {
        return false;
    }
    folder_open_ = false;
    folder_continued_ = false;
    return true;
}

bool FciWriter::SubmitBlock() {
    if (snap_active_ && !snap_.buffers_saved) {
        // First block of the file being added: keep what a failure would have to restore.
        memcpy(saved_history_, history_, history_size_);
        memcpy(saved_pending_, pending_, snap_.pending);
        snap_.buffers_saved = true;
    }
    if (blocks_.Full() && !DrainBlocks(false)) {
        return false;
    }
    blocks_.Submit(folder_type_, history_, history_size_, pending_, pending_size_,
                   folder_size_ - pending_size_);
    ++blocks_submitted_;
    std::swap(history_, pending_);
    history_size_ = pending_size_;
    pending_size_ = 0;
    return DrainBlocks(false);
}

// Places finished blocks in order: all of them with `wait_all`, otherwise those already done,
// and at least one when the queue is full.
bool FciWriter::DrainBlocks(bool wait_all) {
    CompressedBlock block;
    while (blocks_.Front(wait_all || blocks_.Full(), &block)) {
        if (!PlaceBlock(block)) {
            return false;
        }
    }
    return true;
}

bool FciWriter::PlaceBlock(const CompressedBlock &block) {
    bool ok = block.size != 0 || Fail(FCIERR_MCI_FAIL);
    ok = ok &&
         (status_ == nullptr || status_(statusFile, block.size, block.uncompressed, cb_.pv) != -1 ||
          Fail(FCIERR_USER_ABORT));
    ok = ok && PlaceRecord(block.payload, block.size, block.uncompressed, block.start);
    if (!ok && snap_active_ && blocks_placed_ < snap_.blocks_before) {
        // Compressed after its file was accepted: that file is lost, not the one being added.
        snap_.earlier_failed = true;
    }
    blocks_.Pop();
    ++blocks_placed_;
    folder_compressed_ += block.size;
    NotePlacedBefore();
    return ok;
}

// Once every block submitted before the file being added is placed, that is the state a failure
// of the file returns to.
void FciWriter::NotePlacedBefore() {
    if (snap_active_ && blocks_placed_ == snap_.blocks_before) {
        snap_.data_size = data_size_;
        snap_.folder_blocks = folders_.empty() ? 0 : folders_.back().blocks;
        snap_.folder_compressed = folder_compressed_;
    }
}

bool FciWriter::PlaceRecord(const uint8_t *payload, uint16_t size, uint16_t uncompressed,
                            uint32_t block_start) {
    const size_t header_size = kDataFixedSize + reserve_data_;
    for (;;) {
        uint16_t part = size;
        if (!Fits(header_size + size)) {
            if (!RequestNextCabinet()) {
                return false;
            }
            uint64_t used = MetadataSize() + data_size_;
            uint64_t space = CabinetLimit() > used ? CabinetLimit() - used : 0;
            part =
                space > header_size ? uint16_t(std::min<uint64_t>(space - header_size, size)) : 0;
            if (part == 0 && folders_.back().blocks != 0) {
                // A continued folder never ends a cabinet with a whole block: some readers cannot
                // join such a set. The block placed last gives its final byte to the next one.
                if (!last_record_.valid || last_record_.size < 2) {
                    return Fail(FCIERR_CAB_FORMAT_LIMIT);
                }
                const LastRecord last = last_record_;
                memcpy(carry_, record_ + header_size, last.size);
                data_size_ = last.offset;
                --folders_.back().blocks;
                if (!WriteRecordPart(carry_, uint16_t(last.size - 1), 0) ||
                    !SplitFolder(last.start) ||
                    !WriteRecordPart(carry_ + last.size - 1, 1, last.uncompressed)) {
                    return false;
                }
                last_record_.start = last.start;
                continue;
            }
        }
        if (part != 0) {
            if (!WriteRecordPart(payload, part, part == size ? uncompressed : 0)) {
                return false;
            }
            last_record_.start = block_start;
            payload += part;
            size = uint16_t(size - part);
        }
        if (size == 0) {
            return true;
        }
        if (!SplitFolder(block_start)) {
            return false;
        }
    }
}

bool FciWriter::WriteRecordPart(const uint8_t *payload, uint16_t size, uint16_t uncompressed) {
    const size_t header_size = kDataFixedSize + reserve_data_;
    if (folders_.back().blocks == UINT16_MAX) {
        return Fail(FCIERR_CAB_FORMAT_LIMIT);
    }
    CabData record;
    record.cbData = size;
    record.cbUncomp = uncompressed;
    record.csum = DataBlockChecksum(payload, record.cbData, record.cbUncomp);
    record.Encode(record_);
    memset(record_ + kDataFixedSize, 0, reserve_data_);
    memcpy(record_ + header_size, payload, size);
    if (!WriteTemp(record_, header_size + size)) {
        return false;
    }
    last_record_ = LastRecord{true, data_size_, size, uncompressed, 0};
    data_size_ += uint32_t(header_size + size);
    ++folders_.back().blocks;
    return true;
}

bool FciWriter::SeekTemp(uint32_t position) {
    if (temp_pos_ == position) {
        return true;
    }
    int err = 0;
    if (cb_.seek(temp_, long(position), kSeekSet, &err, cb_.pv) != long(position)) {
        temp_pos_ = UINT32_MAX;
        return Fail(FCIERR_TEMP_FILE, err);
    }
    temp_pos_ = position;
    return true;
}

bool FciWriter::WriteTemp(const uint8_t *data, size_t size) {
    if (!SeekTemp(data_size_)) {
        return false;
    }
    int err = 0;
    UINT n = cb_.write(temp_, const_cast<uint8_t *>(data), UINT(size), &err, cb_.pv);
    if (n != size) {
        temp_pos_ = UINT32_MAX;
        return Fail(FCIERR_TEMP_FILE, err);
    }
    temp_pos_ += uint32_t(size);
    return true;
}

bool FciWriter::ReportPlaced(const CabFile &file, bool continuation) {
    if (cb_.file_placed == nullptr) {
        return true;
    }
    std::string name = file.szName;
    CCAB ccab = ccab_;
    if (cb_.file_placed(&ccab, name.data(), long(file.cbFile), continuation ? TRUE : FALSE,
                        cb_.pv) == -1) {
        return Fail(FCIERR_USER_ABORT);
    }
    return true;
}

// Reads the whole source into the folder, block by block.
bool FciWriter::ReadSource(INT_PTR hf, bool size_known, uint32_t size, uint32_t *read_total) {
    uint32_t total = 0;
    for (;;) {
        uint32_t want = kBlockSize - pending_size_;
        if (size_known) {
            want = std::min(want, size - total);
            if (want == 0) {
                break;
            }
        }
        int err = 0;
        UINT n = cb_.read(hf, pending_ + pending_size_, want, &err, cb_.pv);
        if (n == UINT(-1) || n > want) {
            return Fail(FCIERR_READ_SRC, err);
        }
        if (n == 0) {
            if (size_known) {
                return Fail(FCIERR_READ_SRC, err);  // the file shrank while being read
            }
            break;
        }
        if (uint64_t(total) + n > kMaxFileSize || uint64_t(folder_size_) + n > kMaxFolderSize) {
            return Fail(FCIERR_CAB_FORMAT_LIMIT);
        }
        total += n;
        pending_size_ += n;
        folder_size_ += n;
        if (!size_known) {
            files_[size_t(current_file_)].cbFile = total;
        }
        if (pending_size_ == kBlockSize && !SubmitBlock()) {
            return false;
        }
    }
    *read_total = total;
    return true;
}

bool FciWriter::Undo() {
    current_file_ = -1;
    ERF error = *perf_;
    // Blocks of earlier files are placed; the failed file's own are dropped.
    CompressedBlock block;
    bool ok = true;
    while (ok && blocks_placed_ < snap_.blocks_before && blocks_.Front(true, &block)) {
        ok = PlaceBlock(block);
    }
    snap_active_ = false;
    blocks_placed_ += blocks_.InFlight();
    blocks_.Clear();
    *perf_ = error;
    if (!ok || snap_.earlier_failed || cabinets_written_ != snap_.cabinets_written) {
        return FailStuck();
    }
    last_record_.valid = false;
    files_.resize(snap_.files);
    folders_.resize(snap_.folders);
    file_bytes_ = snap_.file_bytes;
    data_size_ = snap_.data_size;
    folder_open_ = snap_.folder_open;
    if (folder_open_) {
        folders_.back().blocks = snap_.folder_blocks;
        folder_size_ = snap_.folder_size;
        folder_compressed_ = snap_.folder_compressed;
        if (snap_.buffers_saved) {
            memcpy(history_, saved_history_, snap_.history);
            memcpy(pending_, saved_pending_, snap_.pending);
        }
        history_size_ = snap_.history;
        pending_size_ = snap_.pending;
    }
    return false;
}

// ---- entry points ----

bool FciWriter::AddFile(const char *source, const char *name, bool execute,
                        PFNFCIGETNEXTCABINET get_next, PFNFCISTATUS status,
                        PFNFCIGETOPENINFO get_open_info, TCOMP type) {
    if (stuck_oper_ != FCIERR_NONE) {
        return Fail(stuck_oper_);
    }
    get_next_ = get_next;
    status_ = status;
    if (type != tcompTYPE_NONE && type != tcompTYPE_MSZIP) {
        return Fail(FCIERR_BAD_COMPR_TYPE);
    }
    if (source == nullptr || name == nullptr || get_open_info == nullptr) {
        return Fail(FCIERR_OPEN_SRC);
    }
    const size_t name_size = strlen(name);
    if (name_size > kMaxWrittenFileNameLength) {
        return Fail(FCIERR_CAB_FORMAT_LIMIT);  // a cut name would be another file's name
    }
    if (!cabinet_pending_) {
        // The last cabinet was completed by FCIFlushCabinet: this file opens a new set.
        if (!RequestNextCabinet()) {
            return false;
        }
        ccab_ = next_ccab_;
        next_known_ = false;
        has_prev_ = false;
        prev_cab_.clear();
        prev_disk_.clear();
        cabinet_index_ = 0;
        cabinet_pending_ = true;
    }

    USHORT date = 0, time = 0, attribs = 0;
    int err = 0;
    std::string source_copy = source;
    INT_PTR hf = get_open_info(source_copy.data(), &date, &time, &attribs, &err, cb_.pv);
    if (hf == -1) {
        return Fail(FCIERR_OPEN_SRC, err);
    }
    auto close_source = [&] {
        int ignored = 0;
        cb_.close(hf, &ignored, cb_.pv);
    };
    // The size is learnt first so that a file spanning cabinets has a right entry in each.
    err = 0;
    long end = cb_.seek(hf, 0, kSeekEnd, &err, cb_.pv);
    bool size_known = end >= 0;
    if (size_known) {
        err = 0;
        if (cb_.seek(hf, 0, kSeekSet, &err, cb_.pv) != 0) {
            close_source();
            return Fail(FCIERR_READ_SRC, err);
        }
        if (uint64_t(end) > kMaxFileSize) {
            close_source();
            return Fail(FCIERR_CAB_FORMAT_LIMIT);
        }
    }
    const uint32_t size = size_known ? uint32_t(end) : 0;

    CabFile entry;
    entry.cbFile = size;
    entry.date = date;
    entry.time = time;
    entry.szName.assign(name, name_size);
    entry.attribs =
        uint16_t((attribs & kKeptAttributes) | (execute ? _A_EXEC : 0) | NameFlag(entry.szName));

    bool ready = true;
    if (folder_open_ &&
        (folder_type_ != type || (size_known && uint64_t(folder_size_) + size > kMaxFolderSize))) {
        ready = CloseFolder();
    }
    if (!ready) {
        close_source();
        return FailStuck();
    }
    if (!EnsureRoomForFile(entry.EncodedSize())) {
        close_source();
        return false;
    }

    snap_ = Snapshot{};
    snap_.cabinets_written = cabinets_written_;
    snap_.files = files_.size();
    snap_.folders = folders_.size();
    snap_.file_bytes = file_bytes_;
    snap_.folder_open = folder_open_;
    snap_.folder_size = folder_size_;
    snap_.pending = pending_size_;
    snap_.history = history_size_;
    snap_.blocks_before = blocks_submitted_;
    if (!folder_open_) {
        OpenFolder(type);
    }
    snap_active_ = true;
    NotePlacedBefore();
    entry.uoffFolderStart = folder_size_;
    entry.iFolder = uint16_t(folders_.size() - 1);
    files_.push_back(entry);
    file_bytes_ += entry.EncodedSize();
    current_file_ = long(files_.size()) - 1;
    current_placed_ = false;
    current_size_known_ = size_known;

    uint32_t read_total = 0;
    bool ok = ReadSource(hf, size_known, size, &read_total);
    close_source();
    // Blocks that might not fit are placed while this file is still the one being added, as
    // with one thread: where the cabinet ends must not depend on timing.
    if (ok && !Fits(InFlightAllowance())) {
        ok = DrainBlocks(true);
    }
    if (ok && !current_placed_) {
        current_placed_ = true;
        ok = ReportPlaced(files_[size_t(current_file_)], false);
    }
    if (!ok) {
        return Undo();
    }
    snap_active_ = false;
    current_file_ = -1;
    // A folder continued into another cabinet ends with the file that crossed over.
    if (folder_continued_ ||
        folder_compressed_ + blocks_.InFlight() * kMszipMaxPayload >= ccab_.cbFolderThresh) {
        if (!DrainBlocks(true)) {
            return FailStuck();
        }
        if ((folder_continued_ || folder_compressed_ >= ccab_.cbFolderThresh) && !CloseFolder()) {
            return FailStuck();
        }
    }
    return true;
}

bool FciWriter::FlushFolder(PFNFCIGETNEXTCABINET get_next, PFNFCISTATUS status) {
    if (stuck_oper_ != FCIERR_NONE) {
        return Fail(stuck_oper_);
    }
    get_next_ = get_next;
    status_ = status;
    return CloseFolder() || FailStuck();
}

bool FciWriter::FlushCabinet(bool get_next_cabinet, PFNFCIGETNEXTCABINET get_next,
                             PFNFCISTATUS status) {
    if (stuck_oper_ != FCIERR_NONE) {
        return Fail(stuck_oper_);
    }
    get_next_ = get_next;
    status_ = status;
    if (!cabinet_pending_) {
        return true;
    }
    if (!CloseFolder()) {
        return FailStuck();
    }
    if (get_next_cabinet) {
        // A cabinet that names a next one must be followed by it, even an empty one.
        if (!FinishCabinetAndContinue()) {
            return FailStuck();
        }
        return true;
    }
    // A next cabinet asked for while the data still seemed not to fit would hold nothing, and
    // readers refuse a cabinet without folders: this one ends the set.
    next_known_ = false;
    if (!WriteCabinet()) {
        return FailStuck();
    }
    ClearCabinetContents();
    cabinet_pending_ = false;
    return true;
}

}  // namespace cab
