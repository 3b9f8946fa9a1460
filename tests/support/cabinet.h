// The engine's test tools: a builder for crafted cabinets, a parser of written ones, mutators for
// damaged input, FDI over in-memory files with fault injection and a notification recorder, and
// FCI over a scratch folder with fault switches.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cabinet/fci.h"
#include "cabinet/fdi.h"
#include "cabinet/format/cab_format.h"
#include "tests/support/support.h"
// A broken promise of the API fails the test that made the call.
#define FUZZ_CHECK(cond, what) EXPECT_TRUE(static_cast<bool>(cond)) << (what)
#include "fuzz/mem_files.h"

namespace cab::test {

// ---- crafted cabinets: the test decides every block and entry ----

struct RawBlock {
    Bytes bytes;
    uint16_t cb_uncomp = 0;
    bool no_checksum = false;
    uint8_t reserve_fill = 0;
    int flip_after_checksum = -1;  // index of a byte damaged after the checksum was taken
};
struct RawFolder {
    uint16_t type = tcompTYPE_NONE;
    std::vector<RawBlock> blocks;
};
struct RawFile {
    std::string name;
    uint32_t size = 0, offset = 0;
    uint16_t folder = 0, date = 0x226C, time = 0x59BA, attribs = _A_ARCH;
};
struct RawCabinet {
    uint16_t set_id = 0x1234, index = 0;
    bool prev = false, next = false, reserve = false;
    std::string prev_cab, prev_disk, next_cab, next_disk;
    uint16_t reserve_header = 0;
    uint8_t reserve_folder = 0, reserve_data = 0;
    std::vector<RawFolder> folders;
    std::vector<RawFile> files;

    Bytes Encode() const;
    void Write(const fs::path &path) const;
};

// A folder's data cut into 32 KiB blocks, stored or MSZIP (each with the previous 32 KiB as
// dictionary, as the format requires).
std::vector<RawBlock> MakeBlocks(const Bytes &data, uint16_t type);
// One folder holding `contents` as files of those names.
RawCabinet SimpleCabinet(const std::vector<std::pair<std::string, Bytes>> &contents, uint16_t type);
// Two folders (stored and MSZIP), four files, one of them run-after-extract.
RawCabinet TwoFolderCabinet();

// A three-cabinet set: one MSZIP folder whose blocks are cut at both boundaries.
struct SpanSet {
    Bytes a = MakeContent(10), b = MakeContent(100000, 5), c = MakeContent(5000, 11);
    std::vector<RawCabinet> cabs;
    explicit SpanSet(uint8_t data_reserve = 0);
    void AddTo(const std::string &dir);  // set1.cab ... set3.cab in the in-memory files
};

// ---- written cabinets read back by a parser of their own ----

struct ParsedBlock {
    uint16_t cbData = 0, cbUncomp = 0;
    size_t at = 0;  // where its CFDATA starts
};
struct ParsedFolder {
    CabFolder rec;
    std::vector<ParsedBlock> blocks;
};
struct ParsedFile : CabFile {
    std::string szName;
};
struct ParsedCabinet {
    CabHeader header;
    std::vector<ParsedFolder> folders;
    std::vector<ParsedFile> files;
    std::string error;  // the first disagreement of an offset, size or checksum; empty if none
};
ParsedCabinet ParseCabinet(const std::string &bytes);
std::vector<ParsedCabinet> ParseSet(const std::vector<fs::path> &paths);

// ---- damaged input ----

// Recomputes every non-zero data checksum reachable from the folder table, so that damage in a
// block's bytes reaches the decoder instead of stopping at the checksum.
void FixChecksums(Bytes &b);

// ---- FDI over the fuzz targets' in-memory files, which each test starts afresh with Fs() = {}.
// With keep_writes false, the outputs are hashed as they are written. ----

inline fuzz::MemFiles &Fs() {
    return fuzz::g_files;
}
inline void PutFile(const std::string &name, const Bytes &bytes) {
    Fs().files[name].assign(bytes.begin(), bytes.end());
}
FNOPEN(MemOpen);  // cabinets, which FDI opens read-only
FNWRITE(MemWrite);
FNCLOSE(MemClose);
HFDI CreateMemFdi(ERF *erf);

struct Event {
    FDINOTIFICATIONTYPE type;
    std::string psz1, psz2, psz3;
    long cb = 0;
    USHORT date = 0, time = 0, attribs = 0, setID = 0, iCabinet = 0;
    FDIERROR fdie = FDIERROR_NONE;
    bool psz1_null = false;
};
struct ExtractedFile {
    std::string name;
    Bytes data;          // empty unless the outputs are kept
    std::string sha256;  // only when they are not
    uint64_t size = 0;
};

// Answers like a plain extracting caller unless told otherwise.
struct Recorder {
    std::vector<Event> events;
    std::vector<std::string> partial;  // names given by fdintPARTIAL_FILE
    std::vector<ExtractedFile> files;
    // Answer to fdintCOPY_FILE: 0 to skip, -1 to abort, 1 to extract.
    std::function<int(const Event &)> on_copy = [](const Event &) { return 1; };
    // Answers in place of the recorder unless it returns kNoOverride.
    static constexpr INT_PTR kNoOverride = 12345;
    std::function<INT_PTR(FDINOTIFICATIONTYPE, FDINOTIFICATION *)> override_answer;
    // At fdintNEXT_CABINET: may rewrite psz3; returns 0 or -1.
    std::function<INT_PTR(FDINOTIFICATION *)> on_next = [](FDINOTIFICATION *) { return 0; };

    std::string Types() const;  // the notification types in order, as digits
};
FNFDINOTIFY(RecordingNotify);
// FDICopy of `name` in `path`; erf filled.
BOOL Copy(HFDI hfdi, const std::string &name, const std::string &path, Recorder *r);
// A cabinet or a whole set read from disk, one FDICopy per cabinet as an application would,
// following the next-cabinet names: name -> contents; a failure fails the test.
std::map<std::string, std::string> FdiReadSet(const fs::path &first);

// ---- FCI over a scratch folder: sources in src/, cabinets in out/, temporary files in tmp/ ----

struct FciEvent {
    std::string kind;  // "status", "placed", "next"
    unsigned type = 0;
    unsigned long a = 0, b = 0;
    std::string name, cabinet;
};

class FciHarness {
public:
    explicit FciHarness(const std::string &tag);
    ~FciHarness();

    fs::path AddSource(const std::string &rel, const std::string &bytes);
    bool Create();
    bool Add(const fs::path &source, const std::string &name, TCOMP type = tcompTYPE_MSZIP,
             bool execute = false);
    bool FlushFolder();
    bool Flush(bool next = false);
    bool Destroy();
    // Writes `files` (name in cabinet -> bytes) with `type`, flushes and destroys.
    void WriteAll(const std::map<std::string, std::string> &files, TCOMP type = tcompTYPE_MSZIP);

    fs::path Cabinet(const std::string &name = "test.cab") const { return dir / "out" / name; }
    // test.cab, then test1.cab, test2.cab, ... in set order.
    std::vector<fs::path> SetPaths() const;
    std::vector<std::string> CabinetNames() const;
    size_t TempFilesLeft() const;
    std::map<std::string, std::string> ReadBack() const { return FdiReadSet(Cabinet()); }

    Scratch dir;
    CCAB ccab;
    ERF erf{};
    HFCI hfci = nullptr;
    std::vector<FciEvent> events;
    std::set<std::thread::id> callback_threads;  // every thread a callback with a context ran on
    std::set<FILE *> open_files, temp_files;
    int temp_counter = 0;
    std::string next_disk;

    // The allocator has no context: its switch and counters are global. fail_at N makes the Nth
    // allocation (1-based) fail; `thread` is the one allowed to allocate.
    struct AllocStats {
        int fail_at = 0, count = 0, live = 0;
        std::thread::id thread = std::this_thread::get_id();
        bool other_thread = false;
    };
    static AllocStats &allocs();

    // The fault switch: Fail(kind, n) makes the nth call (1-based, counted from now) of that kind
    // fail, or answer abort; Fail(kNone, 0) turns it off.
    enum Call { kNone, kSourceRead, kTempWrite, kStatus, kPlaced, kCabOpen, kTempName, kNextCab };
    void Fail(Call kind, int n) { fail = kind, fail_at = n, calls = 0; }
    bool Fails(Call kind) { return fail == kind && ++calls == fail_at; }
    Call fail = kNone;
    int fail_at = 0, calls = 0;
};

}  // namespace cab::test
