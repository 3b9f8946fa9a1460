// File names as the reader hands them to the caller: UTF-8 always. A name stored without
// _A_NAME_IS_UTF that is not valid UTF-8 was written in a Windows code page; it is taken as
// Windows-1252 and converted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cabinet/format/cab_format.h"

namespace cab {

// Bytes a Windows-1252 string takes in UTF-8 (each byte becomes 1 to 3 bytes).
size_t Cp1252Utf8Size(const uint8_t *s, size_t size);

// Writes the UTF-8 form of the Windows-1252 string into `out` (Cp1252Utf8Size bytes, no NUL).
// Bytes the code page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) become U+0081 and so on.
void Cp1252ToUtf8(const uint8_t *s, size_t size, uint8_t *out);

}  // namespace cab
