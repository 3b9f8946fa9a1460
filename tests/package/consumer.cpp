// Packs a folder through a class derived from CCabManager, unpacks the cabinet, and checks that
// every file came back (their contents are the other suites'). Exit status 0 when all is well.
#include <cstdio>
#include <filesystem>
#include <string>

#include "cabmanager/CabManager.h"

namespace fs = std::filesystem;

namespace {

// Overriding a protected virtual member needs the class's vtable and typeinfo from the library.
class CountingManager : public CCabManager {
public:
    int settings_calls = 0;

protected:
    HRESULT SetCabSettings(const char *pszCabFolder, const char *pszCabName,
                           int nSettingsParam) override {
        ++settings_calls;
        return CCabManager::SetCabSettings(pszCabFolder, pszCabName, nSettingsParam);
    }
};

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: consumer FOLDER WORKDIR\n");
        return 2;
    }
    fs::path folder = fs::absolute(argv[1]);
    fs::path work = fs::absolute(argv[2]);
    fs::path cabinet = work / "out.cab";
    fs::path unpacked = work / "unpacked";

    CountingManager packer;
    if (FAILED(packer.CompressFilesInFolder(folder.wstring().c_str(), cabinet.wstring().c_str(), 0,
                                            1)) ||
        packer.settings_calls != 1) {
        fprintf(stderr, "packing failed\n");
        return 1;
    }
    CCabManager unpacker;
    std::wstring used;
    if (FAILED(unpacker.DecompressCabFile(cabinet.wstring().c_str(), unpacked.wstring().c_str(),
                                          nullptr, &used))) {
        fprintf(stderr, "unpacking failed\n");
        return 1;
    }
    int files = 0;
    for (const auto &entry : fs::recursive_directory_iterator(folder))
        files += entry.is_regular_file() && fs::exists(unpacked / fs::relative(entry, folder));
    if (files == 0 || unpacker.GetTotalFiles() != files) {
        fprintf(stderr, "expected %d files, the cabinet held %d\n", files,
                unpacker.GetTotalFiles());
        return 1;
    }
    printf("consumer: %d files packed and unpacked\n", files);
    return 0;
}
