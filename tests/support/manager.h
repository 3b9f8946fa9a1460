// The manager with its protected members open to the tests.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "cabmanager/CabManager.h"
#include "platform/text.h"
#include "tests/support/support.h"

namespace cab::test {

// A disk path as the manager takes it.
inline std::wstring W(const fs::path &path) {
    return AcpToWide(path.string());
}

class OpenManager : public CCabManager {
public:
    using CCabManager::m_ccab;
    using CCabManager::m_cTotalFiles;
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
