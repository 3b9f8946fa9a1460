// The undo of a failed file: FCIAddFile either adds the whole file or leaves no trace of it.
//
// The mark is what the cabinet and the open folder were when the file began. Blocks of earlier
// files may still be compressing then, so the parts of the mark that they change (the data area,
// the folder's records and compressed size) are taken when the last of them is placed. The input
// buffers are copied only when the file's first block goes to compression, the first change to
// them that cannot be taken back by a size. A file cannot be undone once a cabinet was written
// while it was added, nor when a block of an earlier, accepted file fails.
#pragma once

#include <cstdint>

#include "cabinet/format/caller_memory.h"
#include "cabinet/writer/fci_cabinet.h"
#include "cabinet/writer/fci_folder.h"

namespace cab {

class FileUndo {
public:
    // Allocates the copies of the input buffers.
    bool Init(const CallerAllocator &allocator);

    // The file starts: `blocks_before` blocks were submitted before it.
    void Begin(const CabinetMark &cabinet, const FolderMark &folder, uint64_t blocks_before);
    // The file was accepted.
    void End() { active_ = false; }

    // ---- what the folder reports while the file is added ----
    // A block is about to go to compression.
    void SaveInput(const uint8_t *history, uint32_t history_size, const uint8_t *pending);
    // Block number `index` (from 0, in submission order) was placed, or failed.
    void BlockPlaced(uint64_t index, bool ok);
    // `placed` blocks are placed; the state when that reaches the blocks before the file.
    void NotePlaced(uint64_t placed, uint32_t data_size, uint16_t folder_blocks,
                    uint64_t folder_compressed);

    // Returns the cabinet and the folder to the mark, the error record untouched. False when the
    // file cannot be undone: then the writer cannot go on.
    bool Restore(FciContext &ctx, CabinetBuilder &cabinet, FolderBuilder &folder);

private:
    bool active_ = false;
    CabinetMark cabinet_;
    FolderMark folder_;
    uint64_t blocks_before_ = 0;
    bool input_saved_ = false;
    bool earlier_failed_ = false;  // a block of an accepted file could not be placed
    CallerMemory history_;
    CallerMemory pending_;
};

}  // namespace cab
