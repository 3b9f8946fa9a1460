// The folder being filled and its data blocks: input is gathered into 32 KiB blocks, each full
// block goes to the block queue to be compressed (on worker threads when there are several), and
// compressed blocks come back in order to be placed as CFDATA records in the cabinet's data area.
// A record that does not fit is cut, and the folder goes on in the next cabinet.
//
// SubmitBlock and PlaceBlock are the two ends of compression: whatever compresses a folder's
// blocks sits between them, behind BlockQueue.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cabinet/format/caller_memory.h"
#include "cabinet/writer/fci_block_queue.h"
#include "cabinet/writer/fci_cabinet.h"
#include "cabinet/writer/fci_context.h"

namespace cab {

class FileUndo;

// What a failed file returns the open folder to (see FileUndo).
struct FolderMark {
    bool open = false;
    uint16_t blocks = 0;  // records placed
    uint32_t size = 0;    // uncompressed bytes
    uint64_t compressed = 0;
    uint32_t history = 0;  // bytes of history and of the block being filled
    uint32_t pending = 0;
};

class FolderBuilder {
public:
    FolderBuilder(FciContext &ctx, CabinetBuilder &cabinet, FileUndo &undo)
        : ctx_(ctx), cabinet_(cabinet), undo_(undo) {}
    FolderBuilder(const FolderBuilder &) = delete;
    FolderBuilder &operator=(const FolderBuilder &) = delete;

    // Allocates the block buffers and starts the block queue.
    bool Init();

    bool is_open() const { return open_; }
    // The TCOMP the folder was opened with, an MSZIP level included.
    TCOMP type() const { return type_; }
    uint32_t size() const { return size_; }
    // Split into another cabinet by the file being added.
    bool continued() const { return continued_; }
    // Compressed bytes placed so far.
    uint64_t compressed() const { return compressed_; }

    // Makes the coders for a folder of `type` (the TCOMP of FCIAddFile) while none is open, or
    // the open one has that type; fails with FCIERR_ALLOC_FAIL.
    bool PrepareCompression(TCOMP type);
    void Open(TCOMP type);
    // Compresses and places the rest of the folder.
    bool Close();
    // Reads the whole source `hf` into the folder as the data of the file being added; with
    // `size_known`, exactly `size` bytes.
    bool ReadFile(INT_PTR hf, bool size_known, uint32_t size);

    // Places finished blocks in order: all of them with `wait_all`, otherwise those already done,
    // and at least one when the queue is full.
    bool Drain(bool wait_all);
    // Blocks being compressed, and the most they can add to the cabinet.
    size_t InFlight() const { return blocks_.InFlight(); }
    uint64_t InFlightAllowance() const;
    // Waits for the blocks in flight and forgets them (the writer cannot go on).
    void DropBlocks() { blocks_.Clear(); }

    // ---- frames compressed elsewhere (LZX) ----
    // Places one CFDATA payload of the open folder, at uncompressed offset `start`.
    bool PlaceFrame(const uint8_t *payload, uint16_t size, uint16_t uncompressed, uint32_t start);
    // The open folder goes on in the next cabinet, before the record at `next_start`.
    bool ContinueInNextCabinet(uint32_t next_start);

    // ---- undo ----
    FolderMark Mark() const;
    uint64_t blocks_submitted() const { return submitted_; }
    // Places the first `count` blocks ever submitted and drops the rest.
    bool PlaceBlocksBefore(uint64_t count);
    // Returns the folder to `mark`; the input buffers from the copies, when given.
    void Restore(const FolderMark &mark, const uint8_t *history, const uint8_t *pending);
    // Tells the undo where the folder stands once every block submitted before the file being
    // added is placed.
    void NoteUndoPoint();

private:
    // Where the record written last lies, so that it can be cut when the next one fits nowhere.
    struct LastRecord {
        bool valid;
        uint32_t offset;
        uint16_t size;
        uint16_t uncompressed;
        uint32_t start;
    };

    bool SubmitBlock();
    bool PlaceBlock(const CompressedBlock &block);
    bool PlaceRecord(const uint8_t *payload, uint16_t size, uint16_t uncompressed,
                     uint32_t block_start);
    bool MoveLastByteOn();
    bool WriteRecordPart(const uint8_t *payload, uint16_t size, uint16_t uncompressed);
    bool SplitFolder(uint32_t block_start);

    FciContext &ctx_;
    CabinetBuilder &cabinet_;
    FileUndo &undo_;

    bool open_ = false;
    bool continued_ = false;
    TCOMP type_ = 0;
    uint32_t size_ = 0;  // uncompressed bytes so far, blocks pending included
    uint64_t compressed_ = 0;
    size_t first_file_ = 0;

    // History (the previous block) and the block being filled.
    CallerMemory history_;
    CallerMemory pending_;
    uint32_t history_size_ = 0;
    uint32_t pending_size_ = 0;
    CallerMemory record_;  // the CFDATA record written last, header included
    CallerMemory carry_;   // payload of a record being cut after the fact
    LastRecord last_{};

    BlockQueue blocks_;
    uint64_t submitted_ = 0;
    uint64_t placed_ = 0;
};

}  // namespace cab
