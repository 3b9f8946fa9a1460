#include <errno.h>

#include <string>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/strings.h"

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
    FILE *file = fopen(name.c_str(), narrow_mode.c_str());
    if (file == nullptr) {
        cab::SetLastErrorFromErrno(errno, name.c_str());
    }
    return file;
}
