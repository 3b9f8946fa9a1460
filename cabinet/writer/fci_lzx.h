// LZX folders for the writer, several compressed at once.
//
// An LZX stream runs through its whole folder, so parallel work comes from folders: a folder ends
// at the end of the file that brings its input to CCAB.cbFolderThresh bytes (for LZX the
// threshold counts input, which is known when the file ends, not compressed bytes, which are
// not), and a file larger than the threshold opens a folder of its own. Each folder is
// compressed by whichever worker is free while the caller reads the next ones. A folder's place
// in the cabinet (its record and its files' records) is settled only when it is placed, after
// every folder before it and in the order frames and files come in it, so the cabinet bytes are
// the same whatever the number of threads.
//
// Per worker the writer holds an encoder (MemorySize of the largest window), and per folder on
// its way (three more than the workers) an input ring as large as the folder threshold and
// an output ring of half that, so that folders after a slow one are read and coded while it is;
// a large file's ring is as large as the file, up to a bound. All of it is taken from the
// caller's allocator on the caller's thread; workers allocate nothing and call nothing of the
// caller's. With one thread the encoder runs inside the FCI calls, frames placed as they come.
// A failed file is taken out of its folder's file list; the bytes it had read stay in the
// folder, where no file points.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cabinet/codec/lzx_encoder.h"
#include "cabinet/format/caller_memory.h"
#include "cabinet/writer/fci_cabinet.h"
#include "cabinet/writer/fci_context.h"
#include "cabinet/writer/fci_folder.h"

namespace cab {

struct LzxFoldersImpl;

// True for TCOMPfromLZXWindow(15 .. 21), nothing else.
bool IsLzxType(TCOMP type);
// Level of the LZX encoders of writers created from now on (kFast by default). For the
// manager, tests and benchmarks.
void SetFciLzxLevel(LzxLevel level);

// Bytes an LZX writer holds per compression thread with a folder threshold of `threshold`, large
// files aside.
size_t LzxMemoryPerThread(int window_bits, LzxLevel level, uint32_t threshold);

class LzxFolders {
public:
    LzxFolders(FciContext &ctx, CabinetBuilder &cabinet, FolderBuilder &folder);
    // Stops the workers; whatever was not placed is lost.
    ~LzxFolders();
    LzxFolders(const LzxFolders &) = delete;
    LzxFolders &operator=(const LzxFolders &) = delete;

    // Folders not yet wholly placed.
    bool busy() const;
    // Adds the file `entry` (its size in entry.cbFile when `size_known`) read from `hf`, to the
    // folder being filled, or to a new one. False with the error record filled: with `*stuck`
    // false the file left no trace and the writer goes on, else the writer cannot go on.
    bool AddFile(FileEntry entry, bool size_known, INT_PTR hf, TCOMP type, bool *stuck);
    // Ends the folder being filled (FCIFlushFolder); false when the writer cannot go on.
    bool EndFolder();
    // Ends the folder being filled and places every folder; false when the writer cannot go on.
    bool Finish();
    // Drops everything in flight (the writer cannot go on).
    void Abort();

private:
    FciContext &ctx_;
    CabinetBuilder &cabinet_;
    FolderBuilder &folder_;
    CallerPtr<LzxFoldersImpl> impl_;
};

}  // namespace cab
