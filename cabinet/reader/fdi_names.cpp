#include "cabinet/reader/fdi_names.h"

namespace cab {

namespace {

// Code points of 0x80..0x9F in Windows-1252; the rest of the upper half is Latin-1.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

uint32_t Cp1252CodePoint(uint8_t b) {
    return (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : b;
}

size_t Utf8Length(uint32_t cp) {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : 3;
}

}  // namespace

size_t Cp1252Utf8Size(const uint8_t *s, size_t size) {
    size_t n = 0;
    for (size_t i = 0; i < size; ++i) {
        n += Utf8Length(Cp1252CodePoint(s[i]));
    }
    return n;
}

void Cp1252ToUtf8(const uint8_t *s, size_t size, uint8_t *out) {
    for (size_t i = 0; i < size; ++i) {
        uint32_t cp = Cp1252CodePoint(s[i]);
        if (cp < 0x80) {
            *out++ = uint8_t(cp);
        } else if (cp < 0x800) {
            *out++ = uint8_t(0xC0 | (cp >> 6));
            *out++ = uint8_t(0x80 | (cp & 0x3F));
        } else {
            *out++ = uint8_t(0xE0 | (cp >> 12));
            *out++ = uint8_t(0x80 | ((cp >> 6) & 0x3F));
            *out++ = uint8_t(0x80 | (cp & 0x3F));
        }
    }
}

}  // namespace cab
