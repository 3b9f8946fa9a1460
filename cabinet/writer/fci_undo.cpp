#include "cabinet/writer/fci_undo.h"

#include <cstring>

namespace cab {

bool FileUndo::Init(const CallerAllocator &allocator) {
    return history_.Allocate(allocator, kBlockSize) && pending_.Allocate(allocator, kBlockSize);
}

void FileUndo::Begin(const CabinetMark &cabinet, const FolderMark &folder, uint64_t blocks_before) {
    active_ = true;
    cabinet_ = cabinet;
    folder_ = folder;
    blocks_before_ = blocks_before;
    input_saved_ = false;
    earlier_failed_ = false;
}

void FileUndo::SaveInput(const uint8_t *history, uint32_t history_size, const uint8_t *pending) {
    if (!active_ || input_saved_) {
        return;
    }
    memcpy(history_.data(), history, history_size);
    memcpy(pending_.data(), pending, folder_.pending);
    input_saved_ = true;
}

void FileUndo::BlockPlaced(uint64_t index, bool ok) {
    if (!ok && active_ && index < blocks_before_) {
        // Compressed after its file was accepted: that file is lost, not the one being added.
        earlier_failed_ = true;
    }
}

void FileUndo::NotePlaced(uint64_t placed, uint32_t data_size, uint16_t folder_blocks,
                          uint64_t folder_compressed) {
    if (active_ && placed == blocks_before_) {
        cabinet_.data_size = data_size;
        folder_.blocks = folder_blocks;
        folder_.compressed = folder_compressed;
    }
}

bool FileUndo::Restore(FciContext &ctx, CabinetBuilder &cabinet, FolderBuilder &folder) {
    cabinet.EndFile();
    const ERF error = *ctx.perf;
    // Blocks of earlier files are placed; the failed file's own are dropped.
    bool ok = folder.PlaceBlocksBefore(blocks_before_);
    active_ = false;
    *ctx.perf = error;
    if (!ok || earlier_failed_ || cabinet.cabinets_written() != cabinet_.cabinets_written) {
        return false;
    }
    cabinet.Restore(cabinet_);
    folder.Restore(folder_, input_saved_ ? history_.data() : nullptr, pending_.data());
    return true;
}

}  // namespace cab
