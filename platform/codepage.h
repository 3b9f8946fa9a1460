// Code-page knowledge, shared by the platform's conversions (platform/text.h) and the cabinet
// engine's names: strict UTF-8 and Windows-1252.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cab {

// Decodes one strictly valid UTF-8 sequence at s[0..size): returns its length, or 0 when the
// bytes there do not form one (overlong forms, encoded surrogates and values past U+10FFFF).
size_t DecodeUtf8(const uint8_t *s, size_t size, uint32_t *code_point);
// True when the `size` bytes are strict UTF-8 throughout.
bool IsValidUtf8(const uint8_t *s, size_t size);
// Writes the UTF-8 form of a code point (at most U+10FFFF, not a surrogate) into `out`, which
// has room for 4 bytes; returns its length.
size_t EncodeUtf8(uint32_t code_point, uint8_t *out);

// Windows-1252 byte -> code point. The five bytes the code page leaves undefined (0x81, 0x8D,
// 0x8F, 0x90, 0x9D) map to the C1 controls of the same value, as Windows maps them.
uint32_t Cp1252ToCodePoint(uint8_t byte);
// Code point -> Windows-1252 byte; false when the code page has none for it.
bool CodePointToCp1252(uint32_t code_point, uint8_t *byte);
// The UTF-8 form of a Windows-1252 string: its size, and the bytes themselves written to `out`
// (Cp1252Utf8Size bytes, no NUL).
size_t Cp1252Utf8Size(const uint8_t *s, size_t size);
void Cp1252ToUtf8(const uint8_t *s, size_t size, uint8_t *out);

}  // namespace cab
