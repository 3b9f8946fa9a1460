#include <errno.h>

#include <string>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/text.h"

FILE *_wfopen(const wchar_t *filename, const wchar_t *mode) {
    std::string name;
    std::string narrow_mode;
    if (filename == nullptr || mode == nullptr || !cab::WideToAcpExact(filename, &name) ||
        !cab::WideToAcpExact(mode, &narrow_mode)) {
        errno = EINVAL;
        SetLastError(filename == nullptr || mode == nullptr ? ERROR_INVALID_PARAMETER
                                                            : ERROR_INVALID_NAME);
        return nullptr;
    }
    // Text reading decodes UTF-8 and CR LF the way list files need (platform/files.h).
    if (narrow_mode == "r" || narrow_mode == "rt")
        return cab::OpenWideTextReader(name.c_str());
    FILE *file = fopen(name.c_str(), narrow_mode.c_str());
    if (file == nullptr) {
        cab::SetLastErrorFromErrno(errno, name.c_str());
    }
    return file;
}
