// The reader's contract: notifications and their fields in order, skip and abort answers, the
// next-cabinet retry loop, name conversion, the failure codes of damaged input, memory and
// handle hygiene, large reads and writes.

#include <tuple>

#include "cabinet/codec/mszip_decoder.h"
#include "tests/support/cabinet.h"

namespace {

using namespace cab::test;

std::string Strings(const Event &e) {
    return e.psz1 + "|" + e.psz2 + "|" + e.psz3;
}

Bytes Patched(Bytes b, size_t at, uint8_t value) {
    b[at] = value;
    return b;
}

class FdiTest : public ::testing::Test {
protected:
    void SetUp() override {
        Fs() = {};
        hfdi_ = CreateMemFdi(&erf_);
        ASSERT_NE(hfdi_, nullptr);
    }
    void TearDown() override {
        EXPECT_TRUE(FDIDestroy(hfdi_));
        EXPECT_EQ(Fs().handles.size(), 0u) << "a cabinet or target handle was left open";
        EXPECT_EQ(Fs().live, 0) << "memory from the caller's allocator leaked";
    }
    void Add(const std::string &name, const Bytes &bytes) { PutFile("dir/" + name, bytes); }
    BOOL Run(const std::string &name, Recorder *r) { return Copy(hfdi_, name, "dir/", r); }

    ERF erf_ = {};
    HFDI hfdi_ = nullptr;
};

TEST_F(FdiTest, NotifiesEachFileInOrderWithItsFields) {
    Add("t.cab", TwoFolderCabinet().Encode());
    Recorder r;
    ASSERT_TRUE(Run("t.cab", &r)) << erf_.erfOper;
    EXPECT_EQ(r.Types(), "023232323");
    const Event &info = r.events[0];
    EXPECT_FALSE(info.psz1_null) << "no next cabinet is an empty string, not NULL";
    EXPECT_EQ(Strings(info), "||dir/");
    EXPECT_EQ(std::tuple(info.setID, info.iCabinet), std::tuple(0x1234, 0));

    const Event &copy = r.events[5];
    EXPECT_EQ(copy.psz1, "c.txt");
    EXPECT_EQ(copy.cb, 40000);
    EXPECT_EQ(copy.attribs, _A_ARCH | _A_EXEC | _A_RDONLY)
        << "fdintCOPY_FILE shows the stored bits";
    EXPECT_EQ(copy.date, 0x5A21);
    EXPECT_EQ(copy.time, 0x7BDF);
    const Event &close = r.events[6];
    EXPECT_EQ(close.attribs, _A_ARCH | _A_RDONLY) << "_A_EXEC moves to cb at fdintCLOSE_FILE_INFO";
    EXPECT_EQ(close.cb, 1);
    EXPECT_EQ(r.events[4].cb, 0);

    ASSERT_EQ(r.files.size(), 4u);
    EXPECT_EQ(r.files[0].data, MakeContent(100));
    EXPECT_EQ(r.files[1].name, "sub\\b.bin");
    EXPECT_EQ(r.files[1].data, MakeContent(70000, 7));
    EXPECT_EQ(r.files[2].data, MakeContent(40000, 3));
    EXPECT_TRUE(r.files[3].data.empty());
}

// Files listed out of folder order, or sharing data, make the reader restart a folder.
TEST_F(FdiTest, RereadsAFolderForOverlappingOrUnorderedEntries) {
    RawCabinet c =
        SimpleCabinet({{"x", MakeContent(50000)}, {"y", MakeContent(30000, 9)}}, tcompTYPE_MSZIP);
    std::swap(c.files[0], c.files[1]);
    RawFile again = c.files[1];
    again.name = "x-again";
    c.files.push_back(again);
    Add("t.cab", c.Encode());
    Recorder r;
    ASSERT_TRUE(Run("t.cab", &r)) << erf_.erfOper;
    ASSERT_EQ(r.files.size(), 3u);
    EXPECT_EQ(r.files[0].data, MakeContent(30000, 9));
    EXPECT_EQ(r.files[1].data, MakeContent(50000));
    EXPECT_EQ(r.files[2].data, MakeContent(50000));
}

// Entries that send the reader back to a folder's start again and again would keep it decoding
// for hours; past a bound of about twice the cabinet's listed data the cabinet is refused.
TEST_F(FdiTest, BoundsTheWorkOfRereadingFolders) {
    Bytes big = MakeContent(3 << 20, 8);
    RawCabinet c = SimpleCabinet({{"big", big}}, tcompTYPE_MSZIP);
    // Many one-byte entries near the end, listed backwards: each one restarts the folder.
    for (uint32_t i = 0; i < 400; ++i) {
        c.files.push_back(RawFile{"tail" + std::to_string(i), 1, uint32_t(big.size() - 1 - i), 0});
    }
    c.files.erase(c.files.begin());
    Add("t.cab", c.Encode());
    Recorder r;
    EXPECT_FALSE(Run("t.cab", &r));
    EXPECT_EQ(erf_.erfOper, FDIERROR_CORRUPT_CABINET);
    EXPECT_LT(r.files.size(), 200u);
}

// An abort answered at any notification, or a failing write (FDI then closes the target it was
// handed), ends the copy with nothing sent after it.
TEST_F(FdiTest, StopsAtAnAbortOrAFailedWrite) {
    Add("t.cab", TwoFolderCabinet().Encode());
    const struct {
        FDINOTIFICATIONTYPE type;
        INT_PTR answer;
        int error = FDIERROR_USER_ABORT;
    } cases[] = {{fdintCABINET_INFO, -1},
                 {fdintCOPY_FILE, -1},
                 {fdintCLOSE_FILE_INFO, FALSE},
                 {fdintCLOSE_FILE_INFO, -1},
                 {fdintCOPY_FILE, Recorder::kNoOverride, FDIERROR_TARGET_FILE}};
    for (const auto &c : cases) {
        Recorder r;
        r.override_answer = [&](FDINOTIFICATIONTYPE t, FDINOTIFICATION *n) -> INT_PTR {
            if (t == fdintCLOSE_FILE_INFO && t == c.type)
                MemClose(n->hf);
            return t == c.type ? c.answer : Recorder::kNoOverride;
        };
        Fs().failing_write = c.error == FDIERROR_TARGET_FILE ? Fs().writes + 2 : 0;
        erf_ = {};
        EXPECT_FALSE(Run("t.cab", &r)) << c.type;
        EXPECT_EQ(erf_.erfOper, c.error) << c.type;
        EXPECT_TRUE(erf_.fError);
        EXPECT_EQ(r.events.back().type, c.type) << "nothing is sent after the abort";
    }
}

TEST_F(FdiTest, FollowsAFolderAcrossASetAndJoinsSplitBlocks) {
    SpanSet set(3);
    set.AddTo("dir/");
    Recorder r;
    ASSERT_TRUE(Run("set1.cab", &r)) << erf_.erfOper;
    EXPECT_EQ(r.Types(), "023240403");
    EXPECT_EQ(Strings(r.events[0]), "set2.cab|Disk 2|dir/");
    EXPECT_EQ(Strings(r.events[4]), "set2.cab|Disk 2|dir/");
    EXPECT_EQ(r.events[4].fdie, FDIERROR_NONE);
    EXPECT_EQ(r.events[5].iCabinet, 1);
    EXPECT_EQ(r.events[7].psz1, "") << "the last cabinet names no next one";
    ASSERT_EQ(r.files.size(), 2u);
    EXPECT_EQ(r.files[0].data, set.a);
    EXPECT_EQ(r.files[1].data, set.b);

    // Continuing through the set: continued files are announced, not offered.
    Recorder r2;
    ASSERT_TRUE(Run("set2.cab", &r2));
    EXPECT_EQ(r2.Types(), "01");
    EXPECT_EQ(Strings(r2.events[1]), "b|set1.cab|Disk 1");
    Recorder r3;
    ASSERT_TRUE(Run("set3.cab", &r3));
    EXPECT_EQ(r3.Types(), "0123");
    ASSERT_EQ(r3.files.size(), 1u);
    EXPECT_EQ(r3.files[0].data, set.c);
}

// The caller may point psz3 elsewhere; each failed attempt is reported through fdie and asked
// again, until the right cabinet comes or the caller gives up.
TEST_F(FdiTest, RetriesTheNextCabinetWithTheReasonOfEachFailure) {
    SpanSet set;
    set.AddTo("real/");
    PutFile("dir/set1.cab", set.cabs[0].Encode());
    const std::vector<std::tuple<std::string, FDIERROR, std::function<Bytes(RawCabinet)>>> tries = {
        {"missing/", FDIERROR_CABINET_NOT_FOUND, nullptr},
        {"wrongset/", FDIERROR_WRONG_CABINET,
         [](RawCabinet c) { return c.set_id = 99, c.Encode(); }},
        {"wrongindex/", FDIERROR_WRONG_CABINET,
         [](RawCabinet c) { return c.index = 5, c.Encode(); }},
        {"wrongprev/", FDIERROR_WRONG_CABINET,
         [](RawCabinet c) { return c.prev_cab = "other1.cab", c.Encode(); }},
        {"reserve/", FDIERROR_RESERVE_MISMATCH,
         [](RawCabinet c) { return c.reserve = true, c.reserve_data = 4, c.Encode(); }},
        {"junk/", FDIERROR_NOT_A_CABINET,
         [](RawCabinet) { return ToBytes("not a cabinet, text"); }},
        {"version/", FDIERROR_UNKNOWN_CABINET_VERSION,
         [](RawCabinet c) { return Patched(c.Encode(), 0x19, 2); }},
        {"real/", FDIERROR_NONE, nullptr}};
    std::vector<FDIERROR> want = {FDIERROR_NONE}, fdies;
    for (const auto &[dir, fdie, make] : tries) {
        if (make)
            PutFile(dir + "set2.cab", make(set.cabs[1]));
        want.push_back(fdie);
    }
    Recorder r;
    size_t call = 0;
    r.on_next = [&](FDINOTIFICATION *n) -> INT_PTR {
        if (call < tries.size())
            strcpy(n->psz3, std::get<0>(tries[call++]).c_str());
        return 0;
    };
    ASSERT_TRUE(Run("set1.cab", &r)) << erf_.erfOper;
    for (const auto &e : r.events) {
        if (e.type == fdintNEXT_CABINET)
            fdies.push_back(e.fdie);
    }
    EXPECT_EQ(fdies, want);
    ASSERT_EQ(r.files.size(), 2u);
    EXPECT_EQ(r.files[1].data, set.b);
    EXPECT_EQ(Fs().opened.back(), "real/set3.cab") << "later cabinets come from the new folder";

    // Giving up ends the loop, and so does a caller that always says "try again" for a cabinet
    // that is not there: no hang.
    for (int give_up_at : {3, 0}) {
        Recorder again;
        int calls = 0;
        again.on_next = [&](FDINOTIFICATION *) -> INT_PTR {
            return ++calls == give_up_at ? -1 : 0;
        };
        EXPECT_FALSE(Run("set1.cab", &again));
        EXPECT_EQ(erf_.erfOper, give_up_at ? FDIERROR_USER_ABORT : FDIERROR_CABINET_NOT_FOUND);
        EXPECT_TRUE(give_up_at == 0 || calls == 3);
    }
}

// Names without the UTF-8 flag that are not UTF-8 were written in a Windows code page.
TEST_F(FdiTest, ConvertsWindows1252NamesToUtf8) {
    struct Case {
        std::string stored;
        uint16_t attribs;
        std::string seen;
    } cases[] = {
        {"caf\xE9.txt", _A_ARCH, "caf\xC3\xA9.txt"},
        {"\x80\x9F\xFF", _A_ARCH, "\xE2\x82\xAC\xC5\xB8\xC3\xBF"},
        {"\x81\x8D", _A_ARCH, "\xC2\x81\xC2\x8D"},  // undefined in the code page: C1 controls
        {"d\xC3\xA9j\xC3\xA0", _A_ARCH, "d\xC3\xA9j\xC3\xA0"},      // already UTF-8
        {"\xC0\xAF", _A_ARCH, "\xC3\x80\xC2\xAF"},                  // overlong: not UTF-8
        {"\xED\xA0\x80", _A_ARCH, "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},  // a surrogate: not UTF-8
        {"\xE9t\xE9", _A_ARCH | _A_NAME_IS_UTF, "\xE9t\xE9"},       // flagged: passed on as is
        {"plain", _A_ARCH, "plain"},
    };
    std::vector<std::pair<std::string, Bytes>> contents;
    for (const auto &c : cases)
        contents.push_back({c.stored, ToBytes("x")});
    RawCabinet cab = SimpleCabinet(contents, tcompTYPE_NONE);
    for (size_t i = 0; i < std::size(cases); ++i)
        cab.files[i].attribs = cases[i].attribs;
    Add("n.cab", cab.Encode());
    Recorder r;
    ASSERT_TRUE(Run("n.cab", &r));
    ASSERT_EQ(r.files.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(r.files[i].name, cases[i].seen) << i;
        EXPECT_EQ(r.events[1 + 2 * i].psz1, cases[i].seen) << "fdintCOPY_FILE gets it too";
    }
}

// Each kind of damage ends in its own code, with no notification after the header fails.
TEST_F(FdiTest, MapsDamageToTheDocumentedErrors) {
    using Edit = std::function<void(RawCabinet &)>;
    using Patch = std::function<void(Bytes &)>;
    const int corrupt = FDIERROR_CORRUPT_CABINET, mdi = FDIERROR_MDI_FAIL;
    struct Case {
        const char *what;
        Edit edit;
        Patch patch;
        int error;
    } cases[] = {
        {"no file", nullptr, [](Bytes &b) { b.clear(); }, FDIERROR_CABINET_NOT_FOUND},
        {"signature", nullptr, [](Bytes &b) { b[0] = 'Z'; }, FDIERROR_NOT_A_CABINET},
        {"short file", nullptr, [](Bytes &b) { b.resize(2); }, FDIERROR_NOT_A_CABINET},
        {"version", nullptr, [](Bytes &b) { b[0x18] = 4; }, FDIERROR_UNKNOWN_CABINET_VERSION},
        {"truncated header", nullptr, [](Bytes &b) { b.resize(30); }, corrupt},
        {"truncated entries", nullptr, [](Bytes &b) { b.resize(70); }, corrupt},
        {"cbCabinet cuts entries", nullptr, [](Bytes &b) { cab::StoreLe32(&b[8], 60); }, corrupt},
        {"huge cbCabinet", nullptr, [](Bytes &b) { cab::StoreLe32(&b[8], 0x90000000); }, corrupt},
        {"header reserve too large",
         [](RawCabinet &c) { c.reserve = true, c.reserve_header = 60001; }, nullptr, corrupt},
        {"iFolder out of range", [](RawCabinet &c) { c.files[0].folder = 2; }, nullptr, corrupt},
        {"file past folder end", [](RawCabinet &c) { c.files[3].size = 5; }, nullptr, corrupt},
        {"checksum", [](RawCabinet &c) { c.folders[1].blocks[0].flip_after_checksum = 9; }, nullptr,
         corrupt},
        {"cbUncomp too large", [](RawCabinet &c) { c.folders[0].blocks[0].cb_uncomp = 40000; },
         nullptr, corrupt},
        {"stored size mismatch", [](RawCabinet &c) { c.folders[0].blocks[2].cb_uncomp -= 1; },
         nullptr, mdi},
        {"mszip signature", [](RawCabinet &c) { c.folders[1].blocks[0].bytes[0] = 'X'; }, nullptr,
         mdi},
        {"mszip short output", [](RawCabinet &c) { c.folders[1].blocks[1].cb_uncomp += 1; },
         nullptr, mdi},
        {"mszip damaged unchecked",
         [](RawCabinet &c) {
             auto &b = c.folders[1].blocks[0];
             b.no_checksum = true;
             for (size_t i = 2; i < b.bytes.size(); i += 7)
                 b.bytes[i] ^= 0x5A;
         },
         nullptr, mdi},
        {"split block in mid folder", [](RawCabinet &c) { c.folders[0].blocks[0].cb_uncomp = 0; },
         nullptr, corrupt},
        {"unknown method", [](RawCabinet &c) { c.folders[1].type = 0x000F; }, nullptr,
         FDIERROR_BAD_COMPR_TYPE},
        {"LZX window 22", [](RawCabinet &c) { c.folders[1].type = TCOMPfromLZXWindow(22); },
         nullptr, FDIERROR_BAD_COMPR_TYPE},
        {"LZX window 14", [](RawCabinet &c) { c.folders[1].type = TCOMPfromLZXWindow(14); },
         nullptr, FDIERROR_BAD_COMPR_TYPE},
        {"Quantum window 22",
         [](RawCabinet &c) {
             c.folders[1].type = TCOMPfromTypeLevelMemory(tcompTYPE_QUANTUM, 4, 22);
         },
         nullptr, FDIERROR_BAD_COMPR_TYPE},
        {"nameless entry", [](RawCabinet &c) { c.files[1].name = ""; }, nullptr, corrupt},
    };
    for (const auto &c : cases) {
        Fs().files.clear();
        RawCabinet cabinet = TwoFolderCabinet();
        if (c.edit)
            c.edit(cabinet);
        Bytes bytes = cabinet.Encode();
        if (c.patch)
            c.patch(bytes);
        if (!bytes.empty())
            Add("d.cab", bytes);
        Recorder r;
        erf_ = {};
        EXPECT_FALSE(Run("d.cab", &r)) << c.what;
        EXPECT_EQ(erf_.erfOper, c.error) << c.what;
        EXPECT_TRUE(erf_.fError) << c.what;
        if (c.error != corrupt && c.error != mdi && c.error != FDIERROR_BAD_COMPR_TYPE) {
            EXPECT_TRUE(r.events.empty()) << c.what;
        }
    }
    // A read error is damage too.
    Add("t.cab", TwoFolderCabinet().Encode());
    Fs().failing_read = Fs().reads + 1;
    Recorder r;
    EXPECT_FALSE(Run("t.cab", &r));
    EXPECT_EQ(erf_.erfOper, FDIERROR_CORRUPT_CABINET);
}

// Only what is wanted is decoded: a folder nobody wants is never read (its damaged block, unknown
// method or missing next cabinet goes unnoticed), skipped files are decoded through when a later
// one of the folder is wanted, and a stored folder is entered past a skipped file. A zero checksum
// means none was stored. Reserve areas are skipped and bytes after the cabinet ignored. An empty
// cabinet gives its header alone, one whose folder starts past its end nothing. A file said to
// start in a folder that only continues an earlier cabinet's cannot be decoded from there: its
// offset counts from the folder's real start.
TEST_F(FdiTest, ReadsWhatIsWantedWhereItCanBeRead) {
    RawCabinet damaged = TwoFolderCabinet(), unchecked = damaged, unknown = damaged,
               reserve = damaged;
    damaged.folders[0].blocks[1].flip_after_checksum = 5;
    for (auto &f : unchecked.folders) {
        for (auto &b : f.blocks)
            b.no_checksum = true;
    }
    unknown.folders[1].type = 0x000F;
    reserve.reserve = true;
    reserve.reserve_header = 6144;
    reserve.reserve_folder = reserve.reserve_data = 255;
    for (auto &f : reserve.folders) {
        for (auto &b : f.blocks)
            b.reserve_fill = 0xAA;
    }
    Bytes reserve_bytes = reserve.Encode(), tail = ToBytes("signature bytes after cbCabinet");
    reserve_bytes.insert(reserve_bytes.end(), tail.begin(), tail.end());
    SpanSet set;
    set.cabs[2].files.push_back(RawFile{"late", 10, uint32_t(set.a.size() + set.b.size()), 0});
    set.AddTo("dir/");
    Add("damaged.cab", damaged.Encode());
    Add("unchecked.cab", unchecked.Encode());
    Add("unknown.cab", unknown.Encode());
    Add("reserve.cab", reserve_bytes);
    Add("empty.cab", RawCabinet().Encode());
    Bytes late = TwoFolderCabinet().Encode();  // folder 1's first block header ends past the end
    cab::StoreLe32(&late[cab::CabHeader::kEncodedLength + cab::CabFolder::kEncodedLength],
                   uint32_t(late.size() - cab::CabData::kEncodedLength + 1));
    Add("late.cab", late);
    const std::map<std::string, Bytes> contents = {{"a.txt", MakeContent(100)},
                                                   {"sub\\b.bin", MakeContent(70000, 7)},
                                                   {"c.txt", MakeContent(40000, 3)},
                                                   {"empty", {}},
                                                   {"a", set.a},
                                                   {"b", set.b}};
    const struct {
        std::string cab;
        std::set<std::string> wanted;  // empty: every file
        int error;
        std::string types;
    } cases[] = {{"damaged.cab", {"c.txt", "empty"}, FDIERROR_NONE, "0222323"},
                 {"damaged.cab", {"sub\\b.bin"}, FDIERROR_CORRUPT_CABINET, "022"},
                 {"unchecked.cab", {"sub\\b.bin"}, FDIERROR_NONE, "022322"},
                 {"unchecked.cab", {}, FDIERROR_NONE, "023232323"},
                 {"reserve.cab", {}, FDIERROR_NONE, "023232323"},
                 {"unknown.cab", {"a.txt"}, FDIERROR_NONE, "023222"},
                 {"empty.cab", {}, FDIERROR_NONE, "0"},
                 {"late.cab", {"a.txt"}, FDIERROR_CORRUPT_CABINET, ""},
                 {"set1.cab", {"a"}, FDIERROR_NONE, "0232"},
                 {"set3.cab", {"late"}, FDIERROR_CORRUPT_CABINET, "0122"}};
    for (const auto &c : cases) {
        Recorder r;
        r.on_copy = [&](const Event &e) { return c.wanted.empty() || c.wanted.count(e.psz1); };
        erf_ = {};
        EXPECT_EQ(Run(c.cab, &r), c.error == FDIERROR_NONE) << c.cab;
        EXPECT_EQ(erf_.erfOper, c.error) << c.cab;
        EXPECT_EQ(r.Types(), c.types) << c.cab;
        for (const auto &f : r.files)
            EXPECT_TRUE(f.data == contents.at(f.name)) << c.cab << " " << f.name;
    }
    EXPECT_EQ(Fs().opened.size(), std::size(cases)) << "no next cabinet opened";
}

// Every allocation can fail: the call fails with ALLOC_FAIL and gives back what it took.
TEST_F(FdiTest, SurvivesEachAllocationFailing) {
    Add("t.cab", TwoFolderCabinet().Encode());
    bool succeeded = false;
    for (int n = 1; n < 100 && !succeeded; ++n) {
        Fs().allocs = 0;
        Fs().failing_alloc = n;
        Recorder r;
        erf_ = {};
        succeeded = Run("t.cab", &r);
        if (!succeeded) {
            EXPECT_EQ(erf_.erfOper, FDIERROR_ALLOC_FAIL) << n;
        } else {
            EXPECT_EQ(r.files.size(), 4u);
        }
        EXPECT_EQ(Fs().live, 1) << "only the context stays allocated, after failure " << n;
    }
    EXPECT_TRUE(succeeded);

    ERF erf = {};
    Fs().allocs = 0;
    Fs().failing_alloc = 1;
    EXPECT_EQ(CreateMemFdi(&erf), nullptr);
    EXPECT_EQ(erf.erfOper, FDIERROR_ALLOC_FAIL);
    Fs().failing_alloc = 0;
}

// From the file's start, wherever the handle stands.
TEST_F(FdiTest, IsCabinetReadsTheHeaderFromTheStart) {
    SpanSet set(8);
    Bytes second = set.cabs[1].Encode(), version = Patched(second, 0x19, 9);
    PutFile("s2", second);
    PutFile("v", version);
    Fs().files["text"] = "plain text, no cabinet here";
    for (auto [name, error] : {std::pair("s2", FDIERROR_NONE),
                               {"text", FDIERROR_NOT_A_CABINET},
                               {"v", FDIERROR_UNKNOWN_CABINET_VERSION}}) {
        INT_PTR hf = fuzz::OpenName(name, false);
        fuzz::Seek(hf, 17, 0);
        FDICABINETINFO info = {};
        erf_ = {};
        EXPECT_EQ(FDIIsCabinet(hfdi_, hf, &info), error == FDIERROR_NONE) << name;
        EXPECT_EQ(erf_.erfOper, error) << name;
        MemClose(hf);
        EXPECT_TRUE(error || std::tuple(info.cbCabinet, info.cFolders, info.cFiles, info.setID,
                                        info.iCabinet, info.fReserve, info.hasprev, info.hasnext) ==
                                 std::tuple(long(second.size()), 1, 1, 0x1234, 1, 1, 1, 1));
    }
}

TEST(FdiApi, RejectsInvalidHandlesAndCallbacks) {
    EXPECT_FALSE(FDIDestroy(nullptr));
    EXPECT_FALSE(FDICopy(nullptr, nullptr, nullptr, 0, RecordingNotify, nullptr, nullptr));
    EXPECT_FALSE(FDIIsCabinet(nullptr, 1, nullptr));
    ERF erf = {};
    EXPECT_EQ(FDICreate(fuzz::Alloc, fuzz::Free, nullptr, fuzz::Read, MemWrite, MemClose,
                        fuzz::Seek, cpuUNKNOWN, &erf),
              nullptr);
    EXPECT_TRUE(erf.fError);
}

// Words fold little-endian and a tail of 1 to 3 bytes is packed in reverse (an off-by-one there
// breaks every odd block); the wide inner loop agrees with word-by-word folding at every length
// and alignment.
TEST(Checksum, FoldsWordsAndTheTailInReverse) {
    const uint8_t v[] = {1, 2, 3, 4, 5, 6, 7}, abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(cab::Checksum(v, 3, 0), 0x00010203u);
    EXPECT_EQ(cab::Checksum(v, 6, 0), 0x04030707u);
    EXPECT_EQ(cab::Checksum(v, 7, 0), 0x04060406u);
    EXPECT_EQ(cab::DataBlockChecksum(abc, 3, 3), 0x00626260u);
    std::vector<uint8_t> buf(100);
    for (size_t i = 0; i < buf.size(); ++i)
        buf[i] = uint8_t(i * 37 + 11);
    for (size_t off = 0; off < 4; ++off) {
        for (size_t n = 0; n + off <= buf.size(); ++n) {
            uint32_t acc = 0;
            size_t w = 0;
            for (; w + 4 <= n; w += 4)
                acc ^= cab::LoadLe32(&buf[off + w]);
            for (size_t k = w; k < n; ++k)
                acc ^= uint32_t(buf[off + k]) << (8 * (n - 1 - k));
            EXPECT_EQ(cab::Checksum(&buf[off], n, 0), acc) << off << " " << n;
        }
    }
}

// The faster MSZIP decoder (when built) must agree with zlib's on every block: history across
// blocks, a short last block, incompressible data, and damage.
TEST(FdiMszip, DecodersAgreeWithTheZlibReference) {
    auto fast = cab::NewIsalMszipDecoder(), reference = cab::NewZlibMszipDecoder();
    if (!fast)
        GTEST_SKIP() << "built without ISA-L";
    Bytes data = MakeContent(200000, 4), noise = ToBytes(RandomBytes(40000, 5)),
          tail = MakeContent(1000, 4);  // repeats text from far back: needs the history
    data.insert(data.end(), noise.begin(), noise.end());
    data.insert(data.end(), tail.begin(), tail.end());
    auto blocks = MakeBlocks(data, tcompTYPE_MSZIP);
    for (int damage = 0; damage < 3; ++damage) {
        fast->Reset();
        reference->Reset();
        for (size_t i = 0; i < blocks.size(); ++i) {
            Bytes in = blocks[i].bytes;
            size_t out_size = blocks[i].cb_uncomp - (damage == 2 && i == 2);
            in[in.size() / 2] ^= damage == 1 && i == 3 ? 0x40 : 0;
            Bytes a(out_size), b(out_size);
            auto ra = fast->DecodeBlock(in.data(), in.size(), a.data(), out_size);
            ASSERT_EQ(ra, reference->DecodeBlock(in.data(), in.size(), b.data(), out_size)) << i;
            if (ra != cab::DecodeStatus::kOk)
                break;
            ASSERT_EQ(a, b) << "block " << i;
            ASSERT_TRUE(damage ||
                        std::equal(a.begin(), a.end(), data.begin() + i * cab::kBlockSize));
        }
    }
}

}  // namespace
