// Every cabinet of the shared corpus read back through FDI, checked against EXPECTED.tsv (made
// with other tools): names, sizes, SHA-256, attributes and date/time of every file, failures
// where the other tools failed, and spanning sets read across all their parts.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/codepage.h"
#include "tests/support/cabinet.h"

namespace {

using namespace cab::test;

struct Row {
    std::string name, sha256, attribs, datetime, status, raw_hex;
    uint64_t size = 0;
    bool ok() const { return status == "OK"; }
};

struct Manifest {
    std::string path, prev_cab, next_cab, span_set, compression;
};

std::string FormatDosDateTime(USHORT date, USHORT time) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%02d.%02d.%04d %02d:%02d:%02d", date & 31, (date >> 5) & 15,
             (date >> 9) + 1980, time >> 11, (time >> 5) & 63, (time & 31) * 2);
    return buf;
}

std::string ExpectedName(const Row &row) {
    if (row.raw_hex == "-")
        return row.name;
    std::string raw;
    for (size_t i = 0; i + 1 < row.raw_hex.size(); i += 2) {
        raw += char(std::stoi(row.raw_hex.substr(i, 2), nullptr, 16));
    }
    auto *p = reinterpret_cast<const uint8_t *>(raw.data());
    if (cab::IsValidUtf8(p, raw.size()))
        return raw;
    std::string out(cab::Cp1252Utf8Size(p, raw.size()), '\0');
    cab::Cp1252ToUtf8(p, raw.size(), reinterpret_cast<uint8_t *>(out.data()));
    return out;
}

class CorpusTest : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_CORPUS();
        for (auto &c : ReadTsv(CorpusDir() / "MANIFEST.tsv"))
            manifest_[c["path"]] = {c["path"], c["prev_cab"], c["next_cab"], c["span_set"],
                                    c["compression"]};
        for (auto &c : ReadTsv(CorpusDir() / "EXPECTED.tsv")) {
            groups_[{c["cab"], c["mode"]}].push_back(
                Row{c["name"], c["sha256"], c["dos_attribs"], c["datetime"], c["cabextract_status"],
                    c["raw_name_hex"], std::stoull(c["size"])});
        }
    }

    // Parts of the spanning set headed by `head`, in order.
    std::vector<const Manifest *> SetParts(const std::string &head) {
        std::map<int, const Manifest *> parts;
        for (const auto &[path, m] : manifest_) {
            if (m.span_set.rfind(head + " part ", 0) != 0)
                continue;
            int k = std::stoi(m.span_set.substr(head.size() + 6));
            parts[k] = &m;
        }
        std::vector<const Manifest *> out;
        for (auto &[k, m] : parts)
            out.push_back(m);
        return out;
    }

    std::map<std::string, Manifest> manifest_;
    std::map<std::pair<std::string, std::string>, std::vector<Row>> groups_;
};

struct Outcome {
    BOOL ok = TRUE;
    int error = 0;
    std::vector<ExtractedFile> files;
    std::vector<std::string> partial;
};

// Sanitized and unoptimised builds skip the cabinets with hundreds of MiB to decode.
#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
constexpr bool kSlowBuild = true;
#else
constexpr bool kSlowBuild = false;
#endif

// Cabinets whose names the other tools rewrite before printing them (unsafe paths, bytes that are
// not UTF-8, entries they discover in the data): FDI hands names over as stored and leaves
// sanitising to its caller, so only content, sizes, attributes and times are compared.
const std::set<std::string> kNamesRewritten = {
    "libmspack/cabextract-cabs/dirwalk-vulns.cab",
    "libmspack/cabextract-old/dirwalk.cab",
    "libmspack/cabd/hidden-files.cab",
};

// Cabinets no other tool lists that FDI reads on purpose.
const std::set<std::string> kReadOnPurpose = {
    // A 256-byte name: within the format's limit (256 + NUL); 7-Zip and bsdtar read it too.
    "libmspack/cabd/cve-2017-11423-fname-overread.cab",
};

// Sets whose later parts number their folders across the whole set (iFolder 1 in a cabinet with
// one folder). FDI reads each cabinet on its own, so such a part is corrupt; the files before it
// must still come out right.
const std::set<std::string> kSetsWithForeignFolderNumbers = {
    "sevenzipjbinding/multiple-files/vol-archive1.zip.2.disk1.cab",
};

// Cabinets another tool finds by scanning a file for an embedded cabinet; FDI, like the API it
// implements, reads a cabinet from the first byte of the file.
const std::set<std::string> kEmbeddedOnly = {
    "libmspack/cabd/search_basic.cab",
    "libmspack/cabd/search_tricky1.cab",
    "libmspack/cabextract-cabs/search.cab",
};

// Extracts the cabinet alone, as if copied into an empty folder.
Outcome ExtractSingle(const std::string &rel) {
    Fs().Reset();
    Fs().keep_output = false;
    Fs().files["corpus/" + fs::path(rel).filename().string()] =
        ToBytes(ReadFile(CorpusDir() / rel));
    ERF erf = {};
    HFDI hfdi = CreateMemFdi(&erf);
    Recorder r;
    Outcome o;
    o.ok = Copy(hfdi, fs::path(rel).filename().string(), "corpus/", &r);
    o.error = erf.erfOper;
    o.files = r.files;
    o.partial = r.partial;
    FDIDestroy(hfdi);
    EXPECT_EQ(Fs().OpenHandles(), 0u) << rel;
    EXPECT_EQ(Fs().live_allocs, 0) << rel;
    return o;
}

// Extracts a whole set: each part stored under the name its neighbours give it (the reader
// checks), then FDICopy on each part in turn, as an application would continue through a set.
Outcome ExtractSet(const std::vector<const Manifest *> &parts) {
    Fs().Reset();
    Fs().keep_output = false;
    std::vector<std::string> names;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string name = i == 0 ? parts[1]->prev_cab : parts[i - 1]->next_cab;
        names.push_back(name);
        Fs().files["corpus/" + name] = ToBytes(ReadFile(CorpusDir() / parts[i]->path));
    }
    ERF erf = {};
    HFDI hfdi = CreateMemFdi(&erf);
    Outcome o;
    for (const auto &name : names) {
        Recorder r;
        o.ok = Copy(hfdi, name, "corpus/", &r);
        o.files.insert(o.files.end(), r.files.begin(), r.files.end());
        if (!o.ok) {
            o.error = erf.erfOper;
            break;
        }
    }
    FDIDestroy(hfdi);
    EXPECT_EQ(Fs().OpenHandles(), 0u);
    EXPECT_EQ(Fs().live_allocs, 0);
    return o;
}

void CheckFile(const std::string &where, const ExtractedFile &got, const Row &want,
               bool compare_name) {
    std::string name = got.name;
    std::replace(name.begin(), name.end(), '\\', '/');
    bool by_position = !want.name.empty() && want.name.back() == '~';
    // Names flagged UTF-8 that are not (or hold noncharacters) are printed by the other tools
    // with U+FFFD in place of the bytes; FDI passes them on unchanged.
    bool replaced =
        (got.attribs & _A_NAME_IS_UTF) &&
        (ExpectedName(want).find("\xEF\xBF\xBD") != std::string::npos ||
         !cab::IsValidUtf8(reinterpret_cast<const uint8_t *>(got.name.data()), got.name.size()));
    if (compare_name && !by_position && !replaced) {
        EXPECT_EQ(name, ExpectedName(want)) << where;
    }
    EXPECT_EQ(got.size, want.size) << where << " " << name;
    EXPECT_EQ(got.sha256, want.sha256) << where << " " << name;
    // Rows of rewritten names were paired with entries by the printed name, so their
    // attributes may belong to another entry.
    if (!compare_name)
        return;
    USHORT stored = USHORT(got.attribs | (got.exec ? _A_EXEC : 0));
    EXPECT_EQ(stored, std::stoul(want.attribs.substr(0, 6), nullptr, 16)) << where << " " << name;
    EXPECT_EQ(FormatDosDateTime(got.date, got.time), want.datetime) << where << " " << name;
}

// The files extracted must be the expected ones, in order. Where the other tools failed on a
// file, FDI must either fail too or have reported the file as continued from an earlier cabinet
// (fdintPARTIAL_FILE: it cannot be extracted from here, and nothing pretends it was).
void CheckOutcome(const std::string &where, const Outcome &o, std::vector<Row> rows,
                  const std::string &compression, bool compare_names) {
    std::multiset<std::string> partial(o.partial.begin(), o.partial.end());
    std::erase_if(rows, [&](const Row &r) {
        std::string name = ExpectedName(r);
        std::replace(name.begin(), name.end(), '/', '\\');
        auto it = partial.find(name);
        if (r.ok() || it == partial.end())
            return false;
        partial.erase(it);
        return true;
    });
    bool all_ok = std::all_of(rows.begin(), rows.end(), [](const Row &r) { return r.ok(); });
    // A method no tool knows fails here too, whatever the rows say.
    if (!o.ok && o.error == FDIERROR_BAD_COMPR_TYPE &&
        compression.find("unknown") != std::string::npos) {
    } else if (all_ok) {
        ASSERT_TRUE(o.ok) << where << " failed with " << o.error;
        ASSERT_EQ(o.files.size(), rows.size()) << where;
    } else {
        EXPECT_FALSE(o.ok) << where << ": the other tools failed on it";
    }
    for (size_t i = 0; i < o.files.size() && i < rows.size(); ++i) {
        if (!rows[i].ok()) {
            ADD_FAILURE() << where << ": delivered " << o.files[i].name << " which fails elsewhere";
            continue;
        }
        CheckFile(where + " #" + std::to_string(i), o.files[i], rows[i], compare_names);
    }
}

TEST_F(CorpusTest, EveryListedCabinetReadsBackAsExpected) {
    int checked = 0;
    for (const auto &[key, rows] : groups_) {
        const auto &[cab, mode] = key;
        const std::string compression = manifest_.count(cab) ? manifest_[cab].compression : "";
        const bool names = !kNamesRewritten.count(cab);
        uint64_t total = 0;
        for (const auto &r : rows) {
            total += r.ok() ? r.size : 0;
        }
        if (kSlowBuild && total > (uint64_t(256) << 20)) {
            printf("not in this build: %s (%llu bytes out)\n", cab.c_str(),
                   (unsigned long long)total);
            continue;
        }
        if (kEmbeddedOnly.count(cab)) {
            Outcome o = ExtractSingle(cab);
            EXPECT_FALSE(o.ok) << cab;
            continue;
        }
        if (mode == "single") {
            Outcome o = ExtractSingle(cab);
            CheckOutcome(cab, o, rows, compression, names);
        } else {
            auto parts = SetParts(cab);
            ASSERT_EQ(std::to_string(parts.size()), mode.substr(4)) << cab;
            std::string methods;
            for (auto *p : parts)
                methods += p->compression + ",";
            Outcome o = ExtractSet(parts);
            if (kSetsWithForeignFolderNumbers.count(cab) && !o.ok &&
                o.error == FDIERROR_CORRUPT_CABINET) {
                ASSERT_LE(o.files.size(), rows.size());
                for (size_t i = 0; i < o.files.size(); ++i) {
                    CheckFile(cab + " #" + std::to_string(i), o.files[i], rows[i], names);
                }
                continue;
            }
            CheckOutcome(cab + " (set)", o, rows, methods, names);
        }
        ++checked;
    }
    EXPECT_GT(checked, 150);
}

// Cabinets no other tool could open at all must fail here too, with an error and no crash.
TEST_F(CorpusTest, UnlistedCabinetsFail) {
    std::set<std::string> listed;
    for (const auto &[key, rows] : groups_)
        listed.insert(key.first);
    int count = 0;
    for (const auto &[path, m] : manifest_) {
        if (listed.count(path))
            continue;
        Outcome o = ExtractSingle(path);
        if (kReadOnPurpose.count(path)) {
            EXPECT_TRUE(o.ok) << path;
            continue;
        }
        EXPECT_FALSE(o.ok) << path;
        EXPECT_NE(o.error, FDIERROR_NONE) << path;
        ++count;
    }
    EXPECT_GT(count, 20);
}

}  // namespace
