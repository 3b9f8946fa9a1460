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
// The parts: CabinetBuilder (fci_cabinet.h) holds the cabinet's layout and writes it;
// FolderBuilder (fci_folder.h) fills the open folder and places its blocks; FileUndo (fci_undo.h)
// takes back a failed file; LzxFolders (fci_lzx.h) compresses LZX folders, several at once, and
// places them through FolderBuilder. FciWriter decides, file by file, where each goes.
//
// A failed FCIAddFile is undone (the file leaves no trace) unless a cabinet was written while it
// was being added; a failure that cannot be undone makes every later call fail with the same error.
// A block still being compressed when FCIAddFile returns can fail in the next call (FCIAddFile or a
// flush); its file was accepted and cannot be taken back, so that failure stops the writer too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cabinet/fci.h"
#include "cabinet/writer/fci_cabinet.h"
#include "cabinet/writer/fci_context.h"
#include "cabinet/writer/fci_folder.h"
#include "cabinet/writer/fci_lzx.h"
#include "cabinet/writer/fci_undo.h"

namespace cab {

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
    class Source;

    FciWriter(PERF perf, const FciCallbacks &callbacks, const CCAB &ccab);
    ~FciWriter();

    bool Init();
    // Starts an FCI call: false when the writer cannot go on.
    bool BeginCall(PFNFCIGETNEXTCABINET get_next, PFNFCISTATUS status);
    bool FailStuck();

    bool AddLzxFile(FileEntry entry, const Source &source, TCOMP type);
    bool MakeRoom(TCOMP type, const Source &source, size_t entry_size);
    bool EnsureRoomForFile(size_t entry_size);
    void BeginFile(FileEntry entry, TCOMP type, bool size_known);
    bool FinishFile(bool ok);
    bool CloseFolderAtThreshold();

    uint32_t magic_;
    FciContext ctx_;
    int stuck_oper_ = FCIERR_NONE;  // non-zero once the writer cannot go on
    CabinetBuilder cabinet_;
    FileUndo undo_;
    FolderBuilder folder_;
    LzxFolders lzx_;
};

}  // namespace cab
