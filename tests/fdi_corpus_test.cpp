// Every cabinet of the shared corpus read back through FDI, checked against EXPECTED.tsv (made
// with other tools): sizes and SHA-256 of every file in order, failures where the other tools
// failed, and spanning sets read across all their parts. Names, attributes and times are the
// crafted reader tests'.

#include <algorithm>

#include "tests/support/cabinet.h"

namespace {

using namespace cab::test;
using Row = std::map<std::string, std::string>;

// Sanitized and unoptimised builds skip the cabinets with hundreds of MiB to decode.
#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
constexpr bool kSlowBuild = true;
#else
constexpr bool kSlowBuild = false;
#endif

// Cabinets no other tool lists that FDI reads on purpose: a 256-byte name is within the format's
// limit (256 + NUL); 7-Zip and bsdtar read it too.
const std::set<std::string> kReadOnPurpose = {"libmspack/cabd/cve-2017-11423-fname-overread.cab"};

// Sets whose later parts number their folders across the whole set (iFolder 1 in a cabinet with
// one folder). FDI reads each cabinet on its own, so such a part is corrupt; the files before it
// must still come out right.
const std::set<std::string> kSetsWithForeignFolderNumbers = {
    "sevenzipjbinding/multiple-files/vol-archive1.zip.2.disk1.cab"};

// Cabinets another tool finds by scanning a file for an embedded cabinet; FDI, like the API it
// implements, reads a cabinet from the first byte of the file.
const std::set<std::string> kEmbeddedOnly = {"libmspack/cabd/search_basic.cab",
                                             "libmspack/cabd/search_tricky1.cab",
                                             "libmspack/cabextract-cabs/search.cab"};

struct Outcome {
    BOOL ok = TRUE;
    int error = 0;
    std::vector<ExtractedFile> files;
    std::vector<std::string> partial;
};

// Extracts cabinets stored under the names given (a set's parts under the names their neighbours
// give them, which the reader checks), then FDICopy on each in turn as an application would
// continue through a set, until one fails.
Outcome Extract(const std::vector<std::pair<std::string, std::string>> &parts) {  // name, path
    Fs() = {};
    Fs().keep_writes = false;
    for (const auto &[name, path] : parts)
        Fs().files["corpus/" + name] = ReadFile(CorpusDir() / path);
    ERF erf = {};
    HFDI hfdi = CreateMemFdi(&erf);
    Outcome o;
    for (size_t i = 0; i < parts.size() && o.ok; ++i) {
        Recorder r;
        o.ok = Copy(hfdi, parts[i].first, "corpus/", &r);
        o.error = o.ok ? 0 : erf.erfOper;
        o.files.insert(o.files.end(), r.files.begin(), r.files.end());
        if (i == 0)
            o.partial = r.partial;
    }
    FDIDestroy(hfdi);
    EXPECT_EQ(Fs().handles.size(), 0u) << parts[0].second;
    EXPECT_EQ(Fs().live, 0) << parts[0].second;
    return o;
}

// The cabinet alone, as if copied into an empty folder.
Outcome ExtractSingle(const std::string &rel) {
    return Extract({{fs::path(rel).filename().string(), rel}});
}

bool Ok(const Row &row) {
    return row.at("cabextract_status") == "OK";
}

// The first `count` files extracted are the expected ones, in order.
void CheckFiles(const std::string &where, const Outcome &o, const std::vector<Row> &rows,
                size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const ExtractedFile &got = o.files[i];
        EXPECT_TRUE(Ok(rows[i])) << where << ": delivered " << got.name << " which fails elsewhere";
        EXPECT_EQ(std::to_string(got.size), rows[i].at("size")) << where << " " << got.name;
        EXPECT_EQ(got.sha256, rows[i].at("sha256")) << where << " " << got.name;
    }
}

// Where the other tools failed on a file, FDI must either fail too or have reported the file as
// continued from an earlier cabinet (fdintPARTIAL_FILE: it cannot be extracted from here, and
// nothing pretends it was). A method no tool knows fails here too, whatever the rows say.
void CheckOutcome(const std::string &where, const Outcome &o, std::vector<Row> rows,
                  const std::string &compression) {
    std::multiset<std::string> partial(o.partial.begin(), o.partial.end());
    std::erase_if(rows, [&](const Row &r) {
        std::string name = r.at("name");
        std::replace(name.begin(), name.end(), '/', '\\');
        auto it = partial.find(name);
        if (Ok(r) || it == partial.end())
            return false;
        partial.erase(it);
        return true;
    });
    if (!o.ok && o.error == FDIERROR_BAD_COMPR_TYPE &&
        compression.find("unknown") != std::string::npos) {
    } else if (std::all_of(rows.begin(), rows.end(), Ok)) {
        ASSERT_TRUE(o.ok) << where << " failed with " << o.error;
        ASSERT_EQ(o.files.size(), rows.size()) << where;
    } else {
        EXPECT_FALSE(o.ok) << where << ": the other tools failed on it";
    }
    CheckFiles(where, o, rows, std::min(o.files.size(), rows.size()));
}

class CorpusTest : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_CORPUS();
        for (auto &row : ReadTsv(CorpusDir() / "MANIFEST.tsv"))
            manifest_[row["path"]] = row;
        for (auto &row : ReadTsv(CorpusDir() / "EXPECTED.tsv"))
            groups_[{row["cab"], row["mode"]}].push_back(row);
    }

    std::map<std::string, Row> manifest_;                                     // by path
    std::map<std::pair<std::string, std::string>, std::vector<Row>> groups_;  // by cab and mode
};

TEST_F(CorpusTest, EveryListedCabinetReadsBackAsExpected) {
    int checked = 0;
    for (const auto &[key, rows] : groups_) {
        const auto &[cab, mode] = key;
        uint64_t total = 0;
        for (const auto &r : rows)
            total += Ok(r) ? std::stoull(r.at("size")) : 0;
        if (kSlowBuild && total > (uint64_t(256) << 20)) {
            printf("not in this build: %s (%llu bytes out)\n", cab.c_str(),
                   (unsigned long long)total);
            continue;
        }
        if (kEmbeddedOnly.count(cab)) {
            EXPECT_FALSE(ExtractSingle(cab).ok) << cab;
            continue;
        }
        ++checked;
        if (mode == "single") {
            CheckOutcome(cab, ExtractSingle(cab), rows, manifest_[cab]["compression"]);
            continue;
        }
        // The parts of the set headed by `cab`, in order, under the names their neighbours give.
        std::map<int, Row *> parts;
        for (auto &[path, m] : manifest_) {
            if (m["span_set"].rfind(cab + " part ", 0) == 0)
                parts[std::stoi(m["span_set"].substr(cab.size() + 6))] = &m;
        }
        ASSERT_EQ(std::to_string(parts.size()), mode.substr(4)) << cab;
        std::string methods;
        std::vector<std::pair<std::string, std::string>> named;
        for (auto [k, m] : parts) {
            methods += (*m)["compression"] + ",";
            named.emplace_back(
                named.empty() ? (*parts.at(2))["prev_cab"] : (*parts.at(k - 1))["next_cab"],
                (*m)["path"]);
        }
        Outcome o = Extract(named);
        if (kSetsWithForeignFolderNumbers.count(cab) && !o.ok &&
            o.error == FDIERROR_CORRUPT_CABINET) {
            ASSERT_LE(o.files.size(), rows.size());
            CheckFiles(cab, o, rows, o.files.size());
        } else {
            CheckOutcome(cab + " (set)", o, rows, methods);
        }
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
        EXPECT_EQ(bool(o.ok), kReadOnPurpose.count(path) == 1) << path;
        EXPECT_EQ(o.error == FDIERROR_NONE, bool(o.ok)) << path;
        count += !o.ok;
    }
    EXPECT_GT(count, 20);
}

}  // namespace
