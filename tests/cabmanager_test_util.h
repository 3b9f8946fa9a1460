// Helpers for the cabinet manager suite: scratch folders, files, captured reports, and a manager
// that opens its protected members to the tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cabmanager/CabManager.h"
#include "platform/text.h"
#include "tests/cab_test_util.h"

namespace cab::test {

namespace fs = std::filesystem;

// Read-only files and folders are made writable first so that everything goes.
inline void RemoveTree(const fs::path &path) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_symlink())
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path, ec);
}

// A disk path as the manager takes it.
inline std::wstring W(const fs::path &path) {
    return AcpToWide(path.string());
}

inline void WriteFile(const fs::path &path, const std::string &data) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

inline std::string ReadFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every regular file below root as "relative/name size digest", sorted.
inline std::vector<std::string> ReadTree(const fs::path &root) {
    std::vector<std::string> files;
    for (auto &entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            std::string data = ReadFile(entry.path());
            files.push_back(fs::relative(entry.path(), root).generic_string() + " " +
                            std::to_string(data.size()) + " " +
                            std::to_string(std::hash<std::string>()(data)));
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Standard output (where the reports go) captured for the life of the object.
class CapturedReports {
public:
    CapturedReports() { ::testing::internal::CaptureStdout(); }
    ~CapturedReports() { Take(); }
    CapturedReports(const CapturedReports &) = delete;
    CapturedReports &operator=(const CapturedReports &) = delete;

    const std::string &Take() {
        if (!taken_) {
            fflush(stdout);
            text_ = ::testing::internal::GetCapturedStdout();
            taken_ = true;
        }
        return text_;
    }

private:
    std::string text_;
    bool taken_ = false;
};

// Points TMPDIR elsewhere for the life of the object.
class ScopedTmpdir {
public:
    explicit ScopedTmpdir(const fs::path &folder) {
        if (const char *old = std::getenv("TMPDIR"))
            old_ = old, had_ = true;
        setenv("TMPDIR", folder.c_str(), 1);
    }
    ~ScopedTmpdir() { had_ ? setenv("TMPDIR", old_.c_str(), 1) : unsetenv("TMPDIR"); }
    ScopedTmpdir(const ScopedTmpdir &) = delete;
    ScopedTmpdir &operator=(const ScopedTmpdir &) = delete;

private:
    std::string old_;
    bool had_ = false;
};

// The manager with its protected members open to the tests.
class OpenManager : public CCabManager {
public:
    using CCabManager::GetFciErrorString;
    using CCabManager::GetFdiErrorString;
    using CCabManager::m_ccab;
    using CCabManager::m_cTotalFiles;
    using CCabManager::m_erf;
    using CCabManager::m_szDestFolder;
    using CCabManager::m_vecFiles;

    std::vector<std::string> Names(bool sorted = false) const {
        std::vector<std::string> names;
        for (const CFileInCab &file : m_vecFiles)
            names.emplace_back(file.szNameInCab);
        if (sorted)
            std::sort(names.begin(), names.end());
        return names;
    }
};

// Cabinets smaller than the files force a spanning set: FCI asks for further cabinets.
class SmallCabinetManager : public OpenManager {
public:
    explicit SmallCabinetManager(ULONG cbCabinet) : cb_(cbCabinet) {}

protected:
    HRESULT SetCabSettings(const char *pszCabFolder, const char *pszCabName,
                           int nSettingsParam) override {
        HRESULT hr = CCabManager::SetCabSettings(pszCabFolder, pszCabName, nSettingsParam);
        m_ccab.cb = cb_;
        m_ccab.cbFolderThresh = cb_;
        return hr;
    }

private:
    ULONG cb_;
};

}  // namespace cab::test
