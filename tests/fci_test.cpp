// Unit tests of the cabinet writer: layouts read back by an independent parser in the test
// helper, callbacks and their order, limits, and failures that must leave nothing behind.
#include <cerrno>

#include "cabinet/writer/fci_block_queue.h"
#include "tests/support/cabinet.h"

namespace cab::test {
namespace {

// A spanning set with small cabinets: blocks are cut at cabinet ends, files are marked as
// continued, names and numbers chain, and every byte comes back.
struct SpanCase {
    TCOMP type;
    ULONG cb;
    UINT reserve_header, reserve_folder, reserve_data;
};

class FciSpanTest : public ::testing::TestWithParam<SpanCase> {};

TEST_P(FciSpanTest, SplitsAcrossCabinetsAndReadsBack) {
    const SpanCase param = GetParam();
    FciHarness h("span");
    h.ccab.cb = param.cb;
    h.ccab.cbReserveCFHeader = param.reserve_header;
    h.ccab.cbReserveCFFolder = param.reserve_folder;
    h.ccab.cbReserveCFData = param.reserve_data;
    h.next_disk = "disk";
    std::map<std::string, std::string> want;
    want["big.bin"] = RandomBytes(70000, 7);
    for (int i = 0; i < 30; ++i) {
        want["small\\" + std::to_string(i)] = CompressibleBytes(1000 + i * 97, uint32_t(i));
    }
    want["zero"] = "";
    want["text.txt"] = CompressibleBytes(150000, 99);
    h.WriteAll(want, param.type);

    auto paths = h.SetPaths();
    ASSERT_GE(paths.size(), 10u);
    EXPECT_EQ(paths.size(), h.CabinetNames().size());
    auto set = ParseSet(paths);
    // Each continued segment is reported once per cabinet after the first.
    size_t splits = 0, continued_entries = 0;
    for (size_t i = 0; i < set.size(); ++i) {
        const CabHeader &c = set[i].header;
        const bool last = i + 1 == set.size();
        ASSERT_EQ(set[i].error, "") << i;
        EXPECT_LE(fs::file_size(paths[i]), param.cb);
        EXPECT_EQ(std::tuple(c.iCabinet, c.setID, c.flags, c.cbCFHeader, c.cbCFFolder, c.cbCFData),
                  std::tuple(i, 4242,
                             (i > 0 ? kFlagPrevCabinet : 0) | (last ? 0 : kFlagNextCabinet) |
                                 (param.reserve_data ? kFlagReservePresent : 0),
                             param.reserve_header, param.reserve_folder, param.reserve_data));
        EXPECT_EQ(c.szCabinetNext + c.szDiskNext,
                  last ? "" : paths[i + 1].filename().string() + "disk");
        for (auto &f : set[i].folders)
            splits += std::count_if(f.blocks.begin(), f.blocks.end(),
                                    [](auto &b) { return b.cbUncomp == 0; });
        for (auto &f : set[i].files)
            continued_entries +=
                f.iFolder == kFolderContinuedFromPrev || f.iFolder == kFolderContinuedPrevAndNext;
    }
    EXPECT_GT(splits, 0u);
    EXPECT_EQ(h.ReadBack(), want);
    size_t next_calls = 0, continuations = 0, first_segments = 0;
    for (auto &e : h.events) {
        next_calls += e.kind == "next";
        continuations += e.kind == "placed" && e.type == 1;
        first_segments += e.kind == "placed" && e.type == 0;
    }
    // One more next call when a cabinet that had room only once its successor's names were known
    // (they replace an allowance) turned out to be the last.
    EXPECT_EQ(std::tuple(next_calls - (next_calls == set.size()), first_segments, continuations),
              std::tuple(set.size() - 1, want.size(), continued_entries));
}

// Readers join a continued folder by its cut block: a cabinet must not end between two whole
// blocks of a folder that goes on. Every cb in the sweep puts a cabinet end somewhere else.
TEST(FciWriter, ContinuedFolderEndsWithACutBlock) {
    const std::string data = RandomBytes(200000, 9);
    for (ULONG cb = 65600; cb < 65640; ++cb) {
        FciHarness h("cut");
        h.ccab.cb = cb;
        h.WriteAll({{"big", data}}, tcompTYPE_NONE);
        auto set = ParseSet(h.SetPaths());
        ASSERT_GE(set.size(), 3u);
        for (size_t i = 0; i + 1 < set.size(); ++i) {
            ASSERT_EQ(set[i].error, "");
            ASSERT_FALSE(set[i].folders.back().blocks.empty());
            EXPECT_EQ(set[i].folders.back().blocks.back().cbUncomp, 0)
                << "cb " << cb << " cab " << i;
        }
        EXPECT_EQ(h.ReadBack()["big"], data) << cb;
    }
}

INSTANTIATE_TEST_SUITE_P(Sets, FciSpanTest,
                         ::testing::Values(SpanCase{tcompTYPE_MSZIP, 8000, 0, 0, 0},
                                           SpanCase{tcompTYPE_NONE, 30000, 0, 0, 0},
                                           SpanCase{TCOMPfromLZXWindow(21), 8000, 0, 0, 0},
                                           SpanCase{TCOMPfromLZXWindow(15), 9000, 100, 7, 13},
                                           SpanCase{tcompTYPE_MSZIP, 9000, 100, 7, 13},
                                           SpanCase{tcompTYPE_MSZIP, 1200, 0, 0, 0}));

// ---- failures: the right code, the failed file leaves no trace, the writer goes on ----

class FciThreadsTest : public ::testing::TestWithParam<unsigned> {
protected:
    void SetUp() override { SetFciThreadCount(GetParam()); }
    void TearDown() override { SetFciThreadCount(0); }
};

// A file that fails after some of its blocks were compressed is taken out again, history and
// partial block included, so the files around it still decompress.
TEST_P(FciThreadsTest, FailedFileIsUndone) {
    FciHarness h("undo");
    std::string before = CompressibleBytes(50000, 1), after = CompressibleBytes(70000, 3);
    // More blocks than can be in flight, so the aborted statusFile comes before FCIAddFile returns.
    const size_t bad_size = (FciQueueSlots(GetParam()) + 4) * 32768;
    fs::path a = h.AddSource("a", before), bad = h.AddSource("bad", CompressibleBytes(bad_size, 2)),
             c = h.AddSource("c", after);
    ASSERT_TRUE(h.Create());
    ASSERT_TRUE(h.Add(a, "a"));
    h.Fail(h.kSourceRead, 6);
    EXPECT_FALSE(h.Add(bad, "bad"));
    EXPECT_EQ(h.erf.erfOper, FCIERR_READ_SRC);
    EXPECT_EQ(h.erf.erfType, 5);
    EXPECT_TRUE(h.erf.fError);
    h.Fail(h.kStatus, 3);  // a statusFile of the next attempt
    EXPECT_FALSE(h.Add(bad, "bad"));
    EXPECT_EQ(h.erf.erfOper, FCIERR_USER_ABORT);
    h.Fail(h.kPlaced, 1);
    EXPECT_FALSE(h.Add(bad, "bad"));
    EXPECT_EQ(h.erf.erfOper, FCIERR_USER_ABORT);
    h.Fail(h.kNone, 0);
    ASSERT_TRUE(h.Add(c, "c"));
    ASSERT_TRUE(h.Flush());
    ASSERT_TRUE(h.Destroy());
    EXPECT_TRUE(h.open_files.empty());
    EXPECT_EQ(h.ReadBack(), (std::map<std::string, std::string>{{"a", before}, {"c", after}}));
}

// A block still being compressed when its FCIAddFile returned can fail during the next call. Its
// file was accepted and cannot be taken out again, so the writer stops rather than store a folder
// with a block missing; with one thread the failure always lands on the file itself.
TEST_P(FciThreadsTest, LateBlockFailureStopsWriter) {
    for (int round = 0; round < 5; ++round) {
        FciHarness h("late");
        std::string x_bytes = CompressibleBytes(3 * 32768 + 100, 1);
        std::string y_bytes = CompressibleBytes(40000, 2), z_bytes = CompressibleBytes(5000, 3);
        fs::path x = h.AddSource("x", x_bytes), y = h.AddSource("y", y_bytes),
                 z = h.AddSource("z", z_bytes);
        ASSERT_TRUE(h.Create());
        h.Fail(h.kStatus, 3);  // the statusFile of x's last whole block
        bool x_added = h.Add(x, "x");
        const int x_oper = h.erf.erfOper;
        bool y_added = h.Add(y, "y");
        bool z_added = h.Add(z, "z");
        bool flushed = h.Flush();
        if (!x_added) {
            EXPECT_EQ(x_oper, FCIERR_USER_ABORT);
            EXPECT_TRUE(y_added && z_added && flushed);
            ASSERT_TRUE(h.Destroy());
            EXPECT_EQ(h.ReadBack(),
                      (std::map<std::string, std::string>{{"y", y_bytes}, {"z", z_bytes}}));
        } else {
            EXPECT_NE(GetParam(), 1u);
            EXPECT_FALSE(flushed);
            EXPECT_EQ(h.erf.erfOper, FCIERR_USER_ABORT);
            EXPECT_TRUE(h.Destroy());
            EXPECT_TRUE(h.CabinetNames().empty());
        }
        EXPECT_EQ(h.TempFilesLeft(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, FciThreadsTest, ::testing::Values(1u, 3u, 8u));

// Worker threads must not change a single byte: same inputs, same cabinets, whatever the thread
// count, including where cabinets of a set end, with ISA-L's and each kind of our own MSZIP level
// and with LZX, whose folders end every 200 KB of input here so that several are compressed at
// once.
TEST(FciParallel, SameBytesAsOneThread) {
    std::map<std::string, std::string> files{
        {"exact", CompressibleBytes(32768, 1)},   {"plus1", CompressibleBytes(32769, 2)},
        {"noise", RandomBytes(32768 * 3 + 5, 3)}, {"empty", ""},
        {"text", CompressibleBytes(300000, 4)},   {"tail", CompressibleBytes(1, 5)},
        {"last", RandomBytes(70001, 7)}};
    for (int i = 0; i < 60; ++i)
        files["s" + std::to_string(i)] = CompressibleBytes(size_t(i) * 37, 6 + i);
    auto write_set = [&](unsigned threads, TCOMP type, ULONG cb = 60000) {
        SetFciThreadCount(threads);
        FciHarness h("par");
        h.ccab.cb = cb;
        h.ccab.cbFolderThresh = 200000;
        h.WriteAll(files, type);
        SetFciThreadCount(0);
        // Worker threads compress; callbacks stay on the caller's thread.
        EXPECT_EQ(h.callback_threads, std::set<std::thread::id>{std::this_thread::get_id()});
        EXPECT_TRUE(threads > 1 || h.ReadBack() == files);
        std::vector<std::string> cabinets;
        for (auto &p : h.SetPaths())
            cabinets.push_back(ReadFile(p));
        return cabinets;
    };
    for (int type : {TCOMPfromLZXWindow(21), TCOMPfromMSZIPLevel(1), TCOMPfromMSZIPLevel(3),
                     TCOMPfromMSZIPLevel(6), TCOMPfromMSZIPLevel(9)}) {
        auto one = write_set(1, TCOMP(type));
        EXPECT_GT(one.size(), 1u);
        EXPECT_TRUE(write_set(2, TCOMP(type)) == one) << type;
        EXPECT_TRUE(write_set(5, TCOMP(type)) == one) << type;
    }
    // In one cabinet, a file larger than the input rings is read whole into a ring of its own.
    files["large"] = CompressibleBytes(1500000, 8);
    auto one = write_set(1, TCOMPfromLZXWindow(21), 1u << 30);
    EXPECT_TRUE(write_set(2, TCOMPfromLZXWindow(21), 1u << 30) == one);
}

TEST(FciWriter, RefusedRequestsLeaveTheCabinetUsable) {
    EXPECT_FALSE(FCIDestroy(nullptr));
    EXPECT_FALSE(FCIFlushCabinet(nullptr, FALSE, nullptr, nullptr));
    FciHarness h("refuse");
    fs::path ok = h.AddSource("ok", "fine");
    h.ccab.cbReserveCFData = 256;  // one more than the format holds
    EXPECT_FALSE(h.Create());
    EXPECT_EQ(h.erf.erfOper, FCIERR_CAB_FORMAT_LIMIT);
    h.ccab.cbReserveCFData = 255;
    ASSERT_TRUE(h.Create());
    for (int type : {TCOMPfromLZXWindow(14), TCOMPfromLZXWindow(22), TCOMPfromLZXWindow(21) | 0x10,
                     TCOMPfromTypeLevelMemory(tcompTYPE_QUANTUM, 2, 18), TCOMPfromMSZIPLevel(10),
                     tcompTYPE_MSZIP | 0x0100, tcompTYPE_NONE | 0x0010}) {
        EXPECT_FALSE(h.Add(ok, "refused", TCOMP(type))) << type;
        EXPECT_EQ(h.erf.erfOper, FCIERR_BAD_COMPR_TYPE) << type;
    }
    EXPECT_FALSE(h.Add(h.dir / "src" / "missing", "missing"));
    EXPECT_EQ(h.erf.erfOper, FCIERR_OPEN_SRC);
    EXPECT_EQ(h.erf.erfType, ENOENT);
    // Larger than the format allows: refused before a byte is read (the file is sparse).
    fs::path huge = h.AddSource("huge", "");
    fs::resize_file(huge, uintmax_t(kMaxFileSize) + 1);
    EXPECT_FALSE(h.Add(huge, "huge"));
    EXPECT_EQ(h.erf.erfOper, FCIERR_CAB_FORMAT_LIMIT);
    // Names are never cut: 256 bytes is refused, 255 taken.
    EXPECT_FALSE(h.Add(ok, std::string(256, 'n')));
    EXPECT_EQ(h.erf.erfOper, FCIERR_CAB_FORMAT_LIMIT);
    ASSERT_TRUE(h.Add(ok, std::string(255, 'n')));
    ASSERT_TRUE(h.Add(ok, "run.exe", tcompTYPE_MSZIP, true));
    ASSERT_TRUE(h.Add(ok, "\xc3\xa9t\xc3\xa9", tcompTYPE_NONE));
    ASSERT_TRUE(h.Add(ok, "\xe9t\xe9", tcompTYPE_NONE));  // not UTF-8: stored as its bytes
    ASSERT_TRUE(h.Flush());
    auto cab = ParseCabinet(ReadFile(h.Cabinet()));
    ASSERT_EQ(cab.error, "");
    ASSERT_EQ(cab.files.size(), 4u);
    EXPECT_EQ(cab.files[0].szName.size(), 255u);
    EXPECT_EQ(cab.files[1].attribs, _A_ARCH | _A_EXEC);
    EXPECT_EQ(cab.files[2].attribs, _A_ARCH | _A_NAME_IS_UTF);
    EXPECT_EQ(cab.files[3].attribs, _A_ARCH);
    // The change of compression type started a second folder.
    ASSERT_EQ(cab.folders.size(), 2u);
    EXPECT_EQ(cab.folders[1].rec.typeCompress, tcompTYPE_NONE);
    EXPECT_EQ(cab.files[2].iFolder, 1);
}

// Any allocation of the writer can fail, at creation or while packing a set: the call fails with
// ALLOC_FAIL, and the writer gives back all it took and leaves no temporary file. Only the
// caller's thread allocates, even with compression threads.
TEST(FciWriter, SurvivesEachAllocationFailing) {
    SetFciThreadCount(2);
    FciHarness::AllocStats &allocs = FciHarness::allocs();
    bool done = false;
    for (int n = 1; n < 1000 && !done; ++n) {
        FciHarness h("alloc");
        h.ccab.cb = 50000;
        fs::path a = h.AddSource("a", RandomBytes(70000, 1));
        fs::path b = h.AddSource("b", std::string(40000, 'b'));
        allocs = FciHarness::AllocStats{n};
        done = h.Create() && h.Add(a, "a") && h.Add(b, "b") && h.Flush();
        allocs.fail_at = 0;
        EXPECT_TRUE(done || h.erf.erfOper == FCIERR_ALLOC_FAIL) << n << ": " << h.erf.erfOper;
        EXPECT_TRUE(h.hfci == nullptr || h.Destroy());
        EXPECT_EQ(allocs.live, 0) << n;
        EXPECT_EQ(h.TempFilesLeft(), 0u) << n;
        EXPECT_FALSE(allocs.other_thread);
    }
    EXPECT_TRUE(done);
    SetFciThreadCount(0);
}

// Temporary files go away on every path, including a writer that failed, no half cabinet is left,
// and the writer does not pretend later work succeeds. The failing switch is set before the file
// is added or after; a failing block may still be in flight when FCIAddFile returns, and then the
// next call reports it.
TEST(FciWriter, FailuresLeaveNothingBehind) {
    using H = FciHarness;
    const struct {
        H::Call call;
        int n;
        int when;  // 0: before FCICreate, 1: before the file is added, 2: after
        int oper, type = 0;
        ULONG cb = 0x7FFFFFFF;
        size_t size = 200000;
    } cases[] = {{H::kTempName, 1, 0, FCIERR_TEMP_FILE},
                 {H::kTempWrite, 3, 1, FCIERR_TEMP_FILE, 28},
                 {H::kCabOpen, 1, 2, FCIERR_CAB_FILE, 13},
                 {H::kStatus, 2, 2, FCIERR_USER_ABORT},  // while the cabinet is written
                 {H::kNextCab, 1, 2, FCIERR_USER_ABORT, 0, 5000, 20000}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.call);
        FciHarness h("fail");
        h.ccab.cb = c.cb;
        fs::path f = h.AddSource("f", RandomBytes(c.size, 1));
        auto arm = [&](int when) { c.when == when ? h.Fail(c.call, c.n) : void(); };
        arm(0);
        bool created = h.Create();
        ERF failed = h.erf;
        if (created) {
            arm(1);
            bool added = h.Add(f, "f");
            EXPECT_TRUE(added || c.when == 1);
            arm(2);
            EXPECT_FALSE(added && h.Flush());
            failed = h.erf;
            // A temporary file failing inside FCIAddFile undoes that file and leaves the writer
            // usable, unless the block was still in flight: then the next call reports it.
            bool again = h.Add(f, "g");
            EXPECT_TRUE(!again || c.when == 1);
            if (!again) {
                EXPECT_EQ(h.erf.erfOper, c.oper);
            }
            EXPECT_TRUE(h.Destroy());
        }
        EXPECT_EQ(std::tuple(failed.erfOper, failed.erfType), std::tuple(c.oper, c.type));
        EXPECT_EQ(h.TempFilesLeft(), 0u);
        EXPECT_TRUE(h.CabinetNames().empty());
        EXPECT_TRUE(h.open_files.empty());
    }
}

// With one thread each block is reported as it is compressed; worker threads report them later,
// still on the caller's thread.
TEST(FciWriter, StatusCallbacksInOrder) {
    SetFciThreadCount(1);
    FciHarness h("status");
    fs::path f = h.AddSource("f", CompressibleBytes(80000, 1));
    ASSERT_TRUE(h.Create());
    ASSERT_TRUE(h.Add(f, "f"));
    ASSERT_TRUE(h.Flush());
    // Two full blocks while the file is read, the file placed, its last block at the flush.
    std::vector<std::string> order;
    std::vector<unsigned long> block_sizes;
    for (auto &e : h.events) {
        order.push_back(e.kind == "placed" ? "placed" : std::to_string(e.type));
        if (e.kind == "status" && e.type == statusFile) {
            EXPECT_GT(e.a, 0u);
            block_sizes.push_back(e.b);
        }
    }
    EXPECT_EQ(block_sizes, (std::vector<unsigned long>{32768, 32768, 80000 - 65536}));
    SetFciThreadCount(0);
    ASSERT_EQ(order, (std::vector<std::string>{"0", "0", "placed", "0", "1", "2"}));
    EXPECT_EQ(h.events[5].b, fs::file_size(h.Cabinet()));  // statusCabinet
    EXPECT_EQ(h.events[4].a, h.events[4].b);               // statusFolder
    EXPECT_GT(h.events[4].a, 0u);
    EXPECT_EQ(h.events[2].name + " " + std::to_string(h.events[2].a) + " " + h.events[2].cabinet,
              "f 80000 test.cab");
}

TEST(FciWriter, FoldersEndAtThresholdAndOnFlush) {
    FciHarness h("folders");
    h.ccab.cbFolderThresh = 20000;
    std::map<std::string, std::string> want;
    ASSERT_TRUE(h.Create());
    for (int i = 0; i < 6; ++i) {
        std::string name = "f" + std::to_string(i);
        want[name] = RandomBytes(15000, uint32_t(i));
        ASSERT_TRUE(h.Add(h.AddSource(name, want[name]), name));
        if (i == 4) {
            ASSERT_TRUE(h.FlushFolder());
            ASSERT_TRUE(h.FlushFolder());  // nothing open: no empty folder
        }
    }
    ASSERT_TRUE(h.Flush());
    auto cab = ParseCabinet(ReadFile(h.Cabinet()));
    ASSERT_EQ(cab.error, "");
    // Compressed bytes count once a block is out: the first folder ends after f2 (45000 bytes
    // in), the second at the explicit flush after f4, then f5 alone.
    ASSERT_EQ(cab.folders.size(), 3u);
    EXPECT_EQ(cab.files[3].iFolder, 1);
    EXPECT_EQ(cab.files[5].iFolder, 2);
    EXPECT_EQ(h.ReadBack(), want);
}

// Calls are translated only in LZX folders that stay within 1 GiB, where the format stops
// translating (one peer goes on past it): a folder ends below twice the threshold.
TEST(FciWriter, LzxCallsTranslatedOnlyBelowOneGib) {
    const std::map<std::string, std::string> files{{"code", CallHeavyCode(100000, 7)}};
    for (ULONG threshold : {200000u, (1u << 29) + 1}) {
        FciHarness h("calls");
        h.ccab.cbFolderThresh = threshold;
        h.WriteAll(files, TCOMPfromLZXWindow(21));
        EXPECT_EQ(h.ReadBack(), files);
        const std::string bytes = ReadFile(h.Cabinet());
        const auto cab = ParseCabinet(bytes);
        ASSERT_EQ(cab.error, "");
        // The stream's first bit, the top of its first 16-bit little-endian word.
        const size_t payload = cab.folders[0].blocks[0].at + 8;
        EXPECT_EQ((uint8_t(bytes[payload + 1]) & 0x80) != 0, threshold == 200000u) << threshold;
    }
}

// A flush with fNextCabinet links the next cabinet to this one; after a final flush a further file
// opens a new set under the next name, never overwriting the finished cabinet.
TEST(FciWriter, FlushDecidesWhetherTheNextCabinetIsLinked) {
    for (bool next : {true, false}) {
        FciHarness h("flushnext");
        ASSERT_TRUE(h.Create());
        ASSERT_TRUE(h.Add(h.AddSource("a", "first"), "a"));
        ASSERT_TRUE(h.Flush(next));
        ASSERT_TRUE(h.Add(h.AddSource("b", "second"), "b"));
        ASSERT_TRUE(h.Flush());
        ASSERT_TRUE(h.Flush());  // nothing new: no further cabinet
        EXPECT_EQ(h.CabinetNames(), (std::vector<std::string>{"test.cab", "test1.cab"}));
        auto set = ParseSet({h.Cabinet(), h.Cabinet("test1.cab")});
        ASSERT_EQ(set[0].error + set[1].error, "");
        EXPECT_EQ(set[0].header.szCabinetNext, next ? "test1.cab" : "");
        EXPECT_EQ(set[1].header.szCabinetPrev, next ? "test.cab" : "");
        EXPECT_EQ(set[1].header.iCabinet, next ? 1 : 0);
        EXPECT_EQ(set[0].files[0].szName, "a");
        EXPECT_EQ(set[1].files[0].szName, "b");
        EXPECT_EQ(set[1].files[0].iFolder, 0);
    }
}

// 65535 entries fill a cabinet; the next file opens another one, or is refused cleanly.
TEST(FciWriter, FileCountLimitPerCabinet) {
    FciHarness h("limit");
    fs::path empty = h.AddSource("e", "");
    ASSERT_TRUE(h.Create());
    for (int i = 0; i < 65535; ++i) {
        ASSERT_TRUE(h.Add(empty, std::to_string(i))) << i;
    }
    h.Fail(h.kNextCab, 1);
    EXPECT_FALSE(h.Add(empty, "over"));
    EXPECT_EQ(h.erf.erfOper, FCIERR_USER_ABORT);
    ASSERT_TRUE(h.Add(empty, "over"));
    ASSERT_TRUE(h.Flush());
    auto set = ParseSet({h.Cabinet(), h.Cabinet("test1.cab")});
    ASSERT_EQ(set[0].error + set[1].error, "");
    EXPECT_EQ(set[0].header.cFiles, 65535);
    EXPECT_EQ(set[1].header.cFiles, 1);
    EXPECT_EQ(set[1].files[0].szName, "over");
}

}  // namespace
}  // namespace cab::test
