#include "cabinet/writer/fci_cabinet.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace cab {

namespace {

constexpr int kTempAttempts = 8;
constexpr int kTempNameSize = 1024;
constexpr size_t kIoSize = 64 * 1024;
// Room kept for the next cabinet's name and disk until the get-next-cabinet callback tells them.
constexpr size_t kNextNamesAllowance = 2 * (kMaxCabinetNameLength + 1);
constexpr int kCabinetOpenFlags = _O_BINARY | _O_CREAT | _O_TRUNC | _O_RDWR;
constexpr int kTempOpenFlags = _O_BINARY | _O_CREAT | _O_EXCL | _O_RDWR;

std::string BoundedString(const char *s, size_t capacity) {
    return std::string(s, strnlen(s, capacity));
}

std::string CabinetPath(const CCAB &ccab) {
    return BoundedString(ccab.szCabPath, sizeof ccab.szCabPath) +
           BoundedString(ccab.szCab, sizeof ccab.szCab);
}

}  // namespace

bool CabinetNamesValid(const CCAB &ccab) {
    return strnlen(ccab.szCab, sizeof ccab.szCab) <= kMaxCabinetNameLength &&
           strnlen(ccab.szDisk, sizeof ccab.szDisk) <= kMaxCabinetNameLength &&
           strnlen(ccab.szCabPath, sizeof ccab.szCabPath) < sizeof ccab.szCabPath &&
           ccab.szCab[0] != '\0';
}

// The cabinet file being written, through the copy buffer. A failure closes and deletes it.
class CabinetBuilder::Output {
public:
    Output(const FciContext &ctx, CallerMemory &io, std::string path)
        : ctx_(ctx), io_(io), path_(std::move(path)) {}
    ~Output() {
        if (hf_ != -1) {
            ctx_.CloseQuietly(hf_);
            ctx_.RemoveQuietly(path_);
        }
    }

    bool Open() {
        int err = 0;
        hf_ = ctx_.cb.open(path_.data(), kCabinetOpenFlags, kCreateMode, &err, ctx_.cb.pv);
        return hf_ != -1 || ctx_.Fail(FCIERR_CAB_FILE, err);
    }
    // Room for `size` (at most the buffer's size) bytes; null after a failed write.
    uint8_t *Reserve(size_t size) {
        if (used_ + size > io_.size() && !Flush()) {
            return nullptr;
        }
        uint8_t *p = io_.data() + used_;
        used_ += size;
        return p;
    }
    bool Flush() {
        if (used_ == 0) {
            return true;
        }
        int err = 0;
        UINT n = ctx_.cb.write(hf_, io_.data(), UINT(used_), &err, ctx_.cb.pv);
        bool ok = n == used_;
        used_ = 0;
        return ok || ctx_.Fail(FCIERR_CAB_FILE, err);
    }
    // Writes out `size` bytes already in the buffer.
    bool Put(size_t size) {
        used_ = size;
        return Flush();
    }
    bool Close() {
        int err = 0;
        INT_PTR hf = hf_;
        hf_ = -1;
        if (ctx_.cb.close(hf, &err, ctx_.cb.pv) != 0) {
            ctx_.RemoveQuietly(path_);
            return ctx_.Fail(FCIERR_CAB_FILE, err);
        }
        return true;
    }
    const std::string &path() const { return path_; }

private:
    const FciContext &ctx_;
    CallerMemory &io_;
    std::string path_;
    INT_PTR hf_ = -1;
    size_t used_ = 0;
};

CabinetBuilder::CabinetBuilder(FciContext &ctx, const CCAB &ccab)
    : ctx_(ctx),
      ccab_(ccab),
      next_ccab_(ccab),
      reserve_header_(uint16_t(ccab.cbReserveCFHeader)),
      reserve_folder_(uint16_t(ccab.cbReserveCFFolder)),
      reserve_data_(uint16_t(ccab.cbReserveCFData)),
      folders_(CallerStlAllocator<CabFolder>(ctx.allocator())),
      files_(CallerStlAllocator<FileEntry>(ctx.allocator())) {}

CabinetBuilder::~CabinetBuilder() {
    if (temp_ != -1) {
        ctx_.CloseQuietly(temp_);
        ctx_.RemoveQuietly(temp_name_);
    }
}

bool CabinetBuilder::Init() {
    if (!io_.Allocate(ctx_.allocator(), kIoSize)) {
        return ctx_.Fail(FCIERR_ALLOC_FAIL);
    }
    return CreateTempFile();
}

bool CabinetBuilder::CreateTempFile() {
    char name[kTempNameSize];
    int err = 0;
    // A name can be taken between the callback and the open; _O_EXCL catches that, so ask again.
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        memset(name, 0, sizeof name);
        if (!ctx_.cb.get_temp_file(name, sizeof name, ctx_.cb.pv)) {
            return ctx_.Fail(FCIERR_TEMP_FILE);
        }
        name[sizeof name - 1] = '\0';
        err = 0;
        INT_PTR hf = ctx_.cb.open(name, kTempOpenFlags, kCreateMode, &err, ctx_.cb.pv);
        if (hf != -1) {
            temp_name_ = name;
            temp_ = hf;
            temp_pos_ = 0;
            return true;
        }
    }
    return ctx_.Fail(FCIERR_TEMP_FILE, err);
}

// ---- layout ----

uint32_t CabinetBuilder::Limit() const {
    ULONG cb = ccab_.cb;
    return cb == 0 || cb > kMaxCabinetSize ? kMaxCabinetSize : cb;
}

size_t CabinetBuilder::HeaderSize(bool with_next) const {
    size_t size = CabHeader::kEncodedLength;
    if (reserve_header_ != 0 || reserve_folder_ != 0 || reserve_data_ != 0) {
        size += CabHeader::kReserveSizesLength + reserve_header_;
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

uint64_t CabinetBuilder::MetadataSize() const {
    return HeaderSize(true) + folders_.size() * (CabFolder::kEncodedLength + reserve_folder_) +
           file_bytes_;
}

bool CabinetBuilder::Fits(uint64_t extra) const {
    return MetadataSize() + data_size_ + extra <= Limit();
}

uint64_t CabinetBuilder::Room() const {
    uint64_t used = MetadataSize() + data_size_;
    return Limit() > used ? Limit() - used : 0;
}

bool CabinetBuilder::HasRoomForFile(size_t entry_size, bool folder_open, uint64_t in_flight) const {
    uint64_t need = entry_size + DataHeaderSize() + 1 + in_flight;
    if (!folder_open) {
        need += CabFolder::kEncodedLength + reserve_folder_;
    }
    return files_.size() < kMaxEntries && (folder_open || folders_.size() < kMaxEntries) &&
           Fits(need);
}

// ---- the set ----

bool CabinetBuilder::RequestNext() {
    if (next_known_) {
        return true;
    }
    if (ctx_.get_next == nullptr) {
        return ctx_.Fail(FCIERR_CAB_FORMAT_LIMIT);
    }
    CCAB next = ccab_;
    next.iCab = ccab_.iCab + 1;
    uint64_t estimate = MetadataSize() + data_size_;
    next_estimate_ = uint32_t(std::min<uint64_t>(estimate, Limit()));
    if (!ctx_.get_next(&next, next_estimate_, ctx_.cb.pv)) {
        return ctx_.Fail(FCIERR_USER_ABORT);
    }
    if (!CabinetNamesValid(next)) {
        return ctx_.Fail(FCIERR_CAB_FORMAT_LIMIT);
    }
    // The same file again would overwrite the cabinet just completed.
    if (CabinetPath(next) == CabinetPath(ccab_)) {
        return ctx_.Fail(FCIERR_CAB_FILE);
    }
    next_ccab_ = next;
    next_known_ = true;
    return true;
}

bool CabinetBuilder::StartNewSet() {
    if (!RequestNext()) {
        return false;
    }
    ccab_ = next_ccab_;
    next_known_ = false;
    has_prev_ = false;
    prev_cab_.clear();
    prev_disk_.clear();
    index_ = 0;
    pending_ = true;
    return true;
}

void CabinetBuilder::StartNext(const std::string &prev_cab, const std::string &prev_disk) {
    has_prev_ = true;
    prev_cab_ = prev_cab;
    prev_disk_ = prev_disk;
    ccab_ = next_ccab_;
    next_known_ = false;
    ++index_;
    Clear();
    pending_ = true;
}

bool CabinetBuilder::WriteAndContinue() {
    if (!RequestNext() || !Write()) {
        return false;
    }
    StartNext(BoundedString(ccab_.szCab, sizeof ccab_.szCab),
              BoundedString(ccab_.szDisk, sizeof ccab_.szDisk));
    return true;
}

void CabinetBuilder::Finish() {
    Clear();
    pending_ = false;
}

void CabinetBuilder::Clear() {
    folders_.clear();
    files_.clear();
    file_bytes_ = 0;
    data_size_ = 0;
}

// ---- writing ----

CabHeader CabinetBuilder::MakeHeader() const {
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
    header.iCabinet = index_;
    return header;
}

bool CabinetBuilder::Write() {
    CabHeader header = MakeHeader();
    const size_t header_size = header.EncodedSize();
    const uint64_t data_start =
        header_size + folders_.size() * (CabFolder::kEncodedLength + reserve_folder_) + file_bytes_;
    const uint64_t total = data_start + data_size_;
    if (total > kMaxCabinetSize) {
        return ctx_.Fail(FCIERR_CAB_FORMAT_LIMIT);
    }
    header.coffFiles = uint32_t(data_start - file_bytes_);
    header.cbCabinet = uint32_t(total);

    Output out(ctx_, io_, CabinetPath(ccab_));
    if (!out.Open() || !WriteRecords(out, header, data_start) || !out.Flush() || !SeekTemp(0) ||
        !CopyData(out) || !out.Close()) {
        return false;
    }
    ++cabinets_written_;
    uint32_t estimate = next_known_ ? next_estimate_ : uint32_t(total);
    if (!ctx_.Status(statusCabinet, estimate, ULONG(total))) {
        ctx_.RemoveQuietly(out.path());
        return false;
    }
    return true;
}

// Records are small except the header reserve, which may be 60000 bytes: the buffer holds it.
bool CabinetBuilder::WriteRecords(Output &out, const CabHeader &header, uint64_t data_start) {
    uint8_t *p = out.Reserve(header.EncodedSize());
    if (p == nullptr) {
        return false;
    }
    header.Encode(p);
    for (CabFolder record : folders_) {
        if ((p = out.Reserve(CabFolder::kEncodedLength + reserve_folder_)) == nullptr) {
            return false;
        }
        record.coffCabStart = uint32_t(data_start + record.coffCabStart);
        record.Encode(p);
        memset(p + CabFolder::kEncodedLength, 0, reserve_folder_);
    }
    for (const FileEntry &f : files_) {
        if ((p = out.Reserve(f.EncodedSize())) == nullptr) {
            return false;
        }
        f.Encode(p);
    }
    return true;
}

// Copies the data area into the cabinet folder by folder, with a status call per chunk.
bool CabinetBuilder::CopyData(Output &out) {
    for (size_t i = 0; i < folders_.size(); ++i) {
        uint32_t begin = folders_[i].coffCabStart;
        uint32_t end = i + 1 < folders_.size() ? folders_[i + 1].coffCabStart : data_size_;
        uint32_t copied = 0;
        do {
            uint32_t chunk = uint32_t(std::min<uint64_t>(end - begin - copied, io_.size()));
            if (chunk != 0) {
                int err = 0;
                if (ctx_.cb.read(temp_, io_.data(), chunk, &err, ctx_.cb.pv) != chunk) {
                    temp_pos_ = UINT32_MAX;
                    return ctx_.Fail(FCIERR_TEMP_FILE, err);
                }
                temp_pos_ += chunk;
                if (!out.Put(chunk)) {
                    return false;
                }
                copied += chunk;
            }
            if (!ctx_.Status(statusFolder, copied, end - begin)) {
                return false;
            }
        } while (begin + copied < end);
    }
    return true;
}

// ---- records ----

void CabinetBuilder::AddFolder(uint16_t type) {
    folders_.push_back(CabFolder{data_size_, 0, type});
}

void CabinetBuilder::BeginFile(const FileEntry &entry, bool size_known) {
    files_.push_back(entry);
    file_bytes_ += entry.EncodedSize();
    current_ = FileInProgress{true, false, size_known};
}

bool CabinetBuilder::PlaceCurrentFile() {
    if (!current_.active || current_.placed) {
        return true;
    }
    current_.placed = true;
    return ReportPlaced(files_.back(), false);
}

bool CabinetBuilder::ReportPlaced(const FileEntry &file, bool continuation) {
    if (ctx_.cb.file_placed == nullptr) {
        return true;
    }
    std::string name = file.name;
    CCAB ccab = ccab_;
    if (ctx_.cb.file_placed(&ccab, name.data(), long(file.cbFile), continuation ? TRUE : FALSE,
                            ctx_.cb.pv) == -1) {
        return ctx_.Fail(FCIERR_USER_ABORT);
    }
    return true;
}

bool CabinetBuilder::SplitFolder(uint32_t block_start, size_t first_file, uint16_t type) {
    CallerVector<FileEntry> continued(files_.get_allocator());
    bool first_from_prev = false;
    for (size_t i = first_file; i < files_.size(); ++i) {
        FileEntry &f = files_[i];
        bool is_current = current_.active && i + 1 == files_.size();
        if (!is_current && uint64_t(f.uoffFolderStart) + f.cbFile <= block_start) {
            continue;
        }
        if (is_current && !current_.size_known) {
            // Its entry is written now and its size is not known yet.
            return ctx_.Fail(FCIERR_READ_SRC);
        }
        bool from_prev = f.iFolder == kFolderContinuedFromPrev;
        if (continued.empty()) {
            first_from_prev = from_prev;
        }
        f.iFolder = from_prev ? kFolderContinuedPrevAndNext : kFolderContinuedToNext;
        continued.push_back(f);
        continued.back().iFolder = kFolderContinuedFromPrev;
    }
    if (!PlaceCurrentFile() || !RequestNext() || !Write()) {
        return false;
    }
    // The previous-cabinet name points at the cabinet where the first continued file begins.
    std::string cab = prev_cab_, disk = prev_disk_;
    if (!first_from_prev || !has_prev_) {
        cab = BoundedString(ccab_.szCab, sizeof ccab_.szCab);
        disk = BoundedString(ccab_.szDisk, sizeof ccab_.szDisk);
    }
    StartNext(cab, disk);
    folders_.push_back(CabFolder{0, 0, type});
    for (const FileEntry &f : continued) {
        files_.push_back(f);
        file_bytes_ += f.EncodedSize();
    }
    for (const FileEntry &f : files_) {
        if (!ReportPlaced(f, true)) {
            return false;
        }
    }
    // Every cabinet must take some data, or a tiny cb would make cabinets without end.
    if (!Fits(DataHeaderSize() + 1) && !RequestNext()) {
        return false;
    }
    return Fits(DataHeaderSize() + 1) || ctx_.Fail(FCIERR_CAB_FORMAT_LIMIT);
}

// ---- the data area ----

bool CabinetBuilder::SeekTemp(uint32_t position) {
    if (temp_pos_ == position) {
        return true;
    }
    int err = 0;
    if (ctx_.cb.seek(temp_, long(position), kSeekSet, &err, ctx_.cb.pv) != long(position)) {
        temp_pos_ = UINT32_MAX;
        return ctx_.Fail(FCIERR_TEMP_FILE, err);
    }
    temp_pos_ = position;
    return true;
}

bool CabinetBuilder::AppendData(const uint8_t *data, size_t size) {
    if (!SeekTemp(data_size_)) {
        return false;
    }
    int err = 0;
    UINT n = ctx_.cb.write(temp_, const_cast<uint8_t *>(data), UINT(size), &err, ctx_.cb.pv);
    if (n != size) {
        temp_pos_ = UINT32_MAX;
        return ctx_.Fail(FCIERR_TEMP_FILE, err);
    }
    temp_pos_ += uint32_t(size);
    data_size_ += uint32_t(size);
    return true;
}

// ---- undo ----

CabinetMark CabinetBuilder::Mark() const {
    return CabinetMark{cabinets_written_, files_.size(), folders_.size(), file_bytes_, data_size_};
}

void CabinetBuilder::Restore(const CabinetMark &mark) {
    current_ = FileInProgress{};
    files_.resize(mark.files);
    folders_.resize(mark.folders);
    file_bytes_ = mark.file_bytes;
    data_size_ = mark.data_size;
}

}  // namespace cab
