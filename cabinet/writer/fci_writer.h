// The cabinet writer behind the FCI entry points (fci.cpp only forwards to it).
//
// Data flow: a file's bytes are read through the caller's callbacks into a 32 KiB block buffer;
// each full block (and a folder's last, shorter one) is compressed and appended as a CFDATA record
// to one temporary file that holds the data area of the cabinet being built. File and folder
// records stay in memory (at most 65535 of each per cabinet). When the next record would push the
// cabinet past CCAB.cb, the record is split, the cabinet is written out (header, folders, files,
// then the data copied from the temporary file) and the folder continues in the next cabinet. So
// memory stays at a few blocks whatever the input size.
//
// A failed FCIAddFile is undone (the file leaves no trace) unless a cabinet was written while it
// was being added; a failure that cannot be undone makes every later call fail with the same error.
// A block still being compressed when FCIAddFile returns can fail in the next call (FCIAddFile or a
// flush); its file was accepted and cannot be taken back, so that failure stops the writer too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cabinet/fci.h"
#include "cabinet/format/cab_format.h"
#include "cabinet/writer/fci_block_queue.h"

namespace cab {

struct FciCallbacks {
    PFNFCIFILEPLACED file_placed;
    PFNFCIALLOC alloc;
    PFNFCIFREE free;
    PFNFCIOPEN open;
    PFNFCIREAD read;
    PFNFCIWRITE write;
    PFNFCICLOSE close;
    PFNFCISEEK seek;
    PFNFCIDELETE remove;
    PFNFCIGETTEMPFILE get_temp_file;
    void *pv;
};

class FciWriter {
public:
    // Allocates the writer (through the caller's allocator) and its temporary file; on failure
    // fills *perf and returns null.
    static FciWriter *Create(PERF perf, const FciCallbacks &callbacks, const CCAB &ccab);
    // Closes and deletes the temporary file and frees the writer. Nothing is flushed.
    static void Destroy(FciWriter *writer);
    // True when `p` points at a live writer.
    static bool IsWriter(const void *p);

    bool AddFile(const char *source, const char *name, bool execute, PFNFCIGETNEXTCABINET get_next,
                 PFNFCISTATUS status, PFNFCIGETOPENINFO get_open_info, TCOMP type);
    bool FlushFolder(PFNFCIGETNEXTCABINET get_next, PFNFCISTATUS status);
    bool FlushCabinet(bool get_next_cabinet, PFNFCIGETNEXTCABINET get_next, PFNFCISTATUS status);

    // Records an allocation failure met outside the writer's own checks (a C++ container).
    bool FailOutOfMemory();

private:
    struct FolderRecord {
        uint32_t data_offset;  // in the cabinet's data area
        uint16_t blocks;
        uint16_t type;
    };
    // State at the start of FCIAddFile, to undo a failed file.
    struct Snapshot {
        uint64_t cabinets_written;
        size_t files;
        size_t folders;
        size_t file_bytes;
        uint32_t data_size;
        bool folder_open;
        uint16_t folder_blocks;
        uint32_t folder_size;
        uint64_t folder_compressed;
        uint32_t pending;
        uint32_t history;
        uint64_t blocks_before;  // blocks submitted before the file
        bool buffers_saved;
        bool earlier_failed;  // a block of an accepted file could not be placed
    };

    FciWriter(PERF perf, const FciCallbacks &callbacks, const CCAB &ccab);
    ~FciWriter();

    bool Fail(int oper, int type = 0);
    bool FailStuck();
    bool CreateTempFile();
    bool AllocateBuffers();

    // Cabinet layout.
    uint32_t CabinetLimit() const;
    size_t HeaderSize(bool with_next) const;
    uint64_t MetadataSize() const;
    bool Fits(uint64_t extra) const;
    uint64_t InFlightAllowance() const;
    bool EnsureRoomForFile(size_t entry_size);
    bool RequestNextCabinet();
    bool WriteCabinet();
    bool StartNextCabinet(const std::string &prev_cab, const std::string &prev_disk);
    bool FinishCabinetAndContinue();
    void ClearCabinetContents();
    bool SplitFolder(uint32_t block_start);

    // Folder data.
    bool OpenFolder(uint16_t type);
    bool CloseFolder();
    bool SubmitBlock();
    bool DrainBlocks(bool wait_all);
    bool PlaceBlock(const CompressedBlock &block);
    bool WriteRecordPart(const uint8_t *payload, uint16_t size, uint16_t uncompressed);
    bool PlaceRecord(const uint8_t *payload, uint16_t size, uint16_t uncompressed,
                     uint32_t block_start);
    bool WriteTemp(const uint8_t *data, size_t size);
    bool SeekTemp(uint32_t position);
    bool ReadSource(INT_PTR hf, bool size_known, uint32_t size, uint32_t *read_total);
    bool ReportPlaced(const CabFile &file, bool continuation);
    bool Undo();
    void NotePlacedBefore();

    uint32_t magic_;
    PERF perf_;
    FciCallbacks cb_;
    PFNFCIGETNEXTCABINET get_next_ = nullptr;
    PFNFCISTATUS status_ = nullptr;
    int stuck_oper_ = FCIERR_NONE;  // non-zero once the writer cannot go on

    // Temporary file with the data area of the cabinet being built.
    std::string temp_name_;
    INT_PTR temp_ = -1;
    uint32_t temp_pos_ = 0;

    // Cabinet being built.
    CCAB ccab_;
    CCAB next_ccab_;
    bool next_known_ = false;
    uint32_t next_estimate_ = 0;
    uint16_t cabinet_index_ = 0;
    bool cabinet_pending_ = true;  // the current cabinet must be written at the next flush
    bool has_prev_ = false;
    std::string prev_cab_, prev_disk_;
    std::vector<FolderRecord> folders_;
    std::vector<CabFile> files_;
    size_t file_bytes_ = 0;  // encoded size of files_
    uint32_t data_size_ = 0;
    uint64_t cabinets_written_ = 0;
    uint16_t reserve_header_, reserve_folder_, reserve_data_;

    // Folder being filled; it is always the last of folders_.
    // Where the record written last lies, so that it can be cut when the next one fits nowhere.
    struct LastRecord {
        bool valid;
        uint32_t offset;
        uint16_t size;
        uint16_t uncompressed;
        uint32_t start;
    };
    LastRecord last_record_{};

    bool folder_open_ = false;
    bool folder_continued_ = false;  // split into another cabinet by the file being added
    uint16_t folder_type_ = 0;
    uint32_t folder_size_ = 0;  // uncompressed bytes so far, blocks pending included
    uint64_t folder_compressed_ = 0;
    size_t folder_first_file_ = 0;

    // File being added: index in files_, or -1.
    long current_file_ = -1;
    bool current_placed_ = false;
    bool current_size_known_ = false;

    // Block buffers: history (the previous block) and the block being filled.
    uint8_t *history_ = nullptr;
    uint8_t *pending_ = nullptr;
    uint32_t history_size_ = 0;
    uint32_t pending_size_ = 0;
    uint8_t *saved_history_ = nullptr;
    uint8_t *saved_pending_ = nullptr;
    uint8_t *record_ = nullptr;  // the CFDATA record written last, header included
    uint8_t *carry_ = nullptr;   // payload of a record being cut after the fact
    uint8_t *io_ = nullptr;      // cabinet assembly and copying
    Snapshot snap_{};
    bool snap_active_ = false;

    BlockQueue blocks_;
    uint64_t blocks_submitted_ = 0;
    uint64_t blocks_placed_ = 0;
};

}  // namespace cab
