// The cabinet being built: its layout (header, folder and file records, the data area in a
// temporary file), the set it belongs to (names of the cabinets before and after it), and
// writing it out. Sizes are counted as records are added, so the writer can ask before every
// record whether it still fits under CCAB.cb.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cabinet/format/cab_format.h"
#include "cabinet/writer/fci_context.h"

namespace cab {

// A file's record and its name.
struct FileEntry : CabFile {
    std::string name;

    size_t EncodedSize() const { return CabFile::EncodedSize(name); }
    void Encode(uint8_t *out) const { CabFile::Encode(name, out); }
};

// The file FCIAddFile is adding: its entry is the last of files().
struct FileInProgress {
    bool active = false;
    bool placed = false;      // the file-placed callback has been called for this cabinet
    bool size_known = false;  // its size was learnt before reading
};

// What a failed file returns the cabinet to (see FileUndo).
struct CabinetMark {
    uint64_t cabinets_written = 0;
    size_t files = 0;
    size_t folders = 0;
    size_t file_bytes = 0;
    uint32_t data_size = 0;
};

// Names and path fit their records and the cabinet has a name.
bool CabinetNamesValid(const CCAB &ccab);

class CabinetBuilder {
public:
    CabinetBuilder(FciContext &ctx, const CCAB &ccab);
    // Closes and deletes the temporary file.
    ~CabinetBuilder();
    CabinetBuilder(const CabinetBuilder &) = delete;
    CabinetBuilder &operator=(const CabinetBuilder &) = delete;

    // Allocates the copy buffer and creates the temporary file of the data area.
    bool Init();

    // ---- layout ----
    // True when `extra` more bytes keep the cabinet within its limit.
    bool Fits(uint64_t extra) const;
    // Bytes left under the limit.
    uint64_t Room() const;
    // Room for one more file record of `entry_size` (and a folder record unless `folder_open`)
    // and the first byte of its data, beside `in_flight` bytes not yet placed.
    bool HasRoomForFile(size_t entry_size, bool folder_open, uint64_t in_flight) const;
    // Bytes of a CFDATA header with its reserve.
    size_t DataHeaderSize() const { return CabData::kEncodedLength + reserve_data_; }
    uint16_t data_reserve() const { return reserve_data_; }
    ULONG folder_threshold() const { return ccab_.cbFolderThresh; }

    // ---- the set ----
    // Asks the get-next-cabinet callback for the next cabinet's names, once per cabinet.
    bool RequestNext();
    // Forgets the next cabinet's names: this cabinet ends the set.
    void DropNext() { next_known_ = false; }
    // The cabinet must be written at the next flush; false after FCIFlushCabinet wrote it.
    bool pending() const { return pending_; }
    // After FCIFlushCabinet: the next file opens a new set with the next cabinet's names.
    bool StartNewSet();
    // Writes the cabinet; it then lies complete on disk under its name.
    bool Write();
    // Writes the cabinet and goes on with the next one of the set, named by RequestNext.
    bool WriteAndContinue();
    // Empties the cabinet after FCIFlushCabinet wrote the last of a set.
    void Finish();
    uint64_t cabinets_written() const { return cabinets_written_; }

    // ---- records ----
    // Adds a folder record whose data starts at the end of the data area.
    void AddFolder(uint16_t type);
    CabFolder &open_folder() { return folders_.back(); }
    bool has_folders() const { return !folders_.empty(); }
    // Adds the record of the file FCIAddFile is adding.
    void BeginFile(const FileEntry &entry, bool size_known);
    void EndFile() { current_ = FileInProgress{}; }
    FileEntry &current_file() { return files_.back(); }
    // Calls the file-placed callback for the current file once per cabinet.
    bool PlaceCurrentFile();
    // The record at uncompressed offset `block_start` of the open folder does not fit: files
    // from `first_file` on whose data reaches it are continued, the cabinet is written and the
    // folder goes on as the first folder of the next cabinet.
    bool SplitFolder(uint32_t block_start, size_t first_file, uint16_t type);
    size_t file_count() const { return files_.size(); }
    size_t folder_count() const { return folders_.size(); }

    // ---- the data area ----
    uint32_t data_size() const { return data_size_; }
    // Appends `size` bytes to the data area.
    bool AppendData(const uint8_t *data, size_t size);
    // Forgets the data area from `offset` on (the end of it is written again).
    void CutData(uint32_t offset) { data_size_ = offset; }

    // ---- undo ----
    CabinetMark Mark() const;
    // Drops the records added since `mark` and the data area past mark.data_size.
    void Restore(const CabinetMark &mark);

private:
    class Output;

    uint32_t Limit() const;
    size_t HeaderSize(bool with_next) const;
    uint64_t MetadataSize() const;
    bool CreateTempFile();
    bool SeekTemp(uint32_t position);
    CabHeader MakeHeader() const;
    bool WriteRecords(Output &out, const CabHeader &header, uint64_t data_start);
    bool CopyData(Output &out);
    bool ReportPlaced(const FileEntry &file, bool continuation);
    void StartNext(const std::string &prev_cab, const std::string &prev_disk);
    void Clear();

    FciContext &ctx_;
    CCAB ccab_;
    CCAB next_ccab_;
    bool next_known_ = false;
    uint32_t next_estimate_ = 0;
    uint16_t index_ = 0;
    bool pending_ = true;
    bool has_prev_ = false;
    std::string prev_cab_, prev_disk_;
    const uint16_t reserve_header_, reserve_folder_, reserve_data_;

    CallerVector<CabFolder> folders_;  // coffCabStart counts from the data area until written
    CallerVector<FileEntry> files_;
    size_t file_bytes_ = 0;  // encoded size of files_
    FileInProgress current_;
    uint64_t cabinets_written_ = 0;

    // The data area: a temporary file through the caller's callbacks.
    std::string temp_name_;
    INT_PTR temp_ = -1;
    uint32_t temp_pos_ = 0;
    uint32_t data_size_ = 0;
    CallerMemory io_;  // cabinet assembly and copying
};

}  // namespace cab
