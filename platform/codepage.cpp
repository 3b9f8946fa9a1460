// Code-page conversions: UTF-8 (the ANSI code page here) with lone surrogates standing for
// undecodable bytes, and Windows-1252.
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/text.h"

namespace cab {

// Windows-1252 bytes 0x80..0x9F; the five undefined ones map to the C1 controls, as Windows does.
constexpr uint16_t k1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

size_t DecodeUtf8(const uint8_t *s, size_t len, uint32_t *cp) {
    uint8_t b0 = s[0];
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    }
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) {
            lo = 0xA0;
        } else if (b0 == 0xED) {
            hi = 0x9F;
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) {
            lo = 0x90;
        } else if (b0 == 0xF4) {
            hi = 0x8F;
        }
    } else {
        return 0;
    }
    if (len < need + 1) {
        return 0;
    }
    uint32_t value = b0 & (0x3F >> need);
    for (size_t i = 1; i <= need; ++i) {
        uint8_t b = s[i];
        uint8_t min = i == 1 ? lo : 0x80;
        uint8_t max = i == 1 ? hi : 0xBF;
        if (b < min || b > max) {
            return 0;
        }
        value = (value << 6) | (b & 0x3F);
    }
    *cp = value;
    return need + 1;
}

bool IsValidUtf8(const uint8_t *s, size_t size) {
    uint32_t cp;
    for (size_t i = 0, n; i < size; i += n) {
        if ((n = DecodeUtf8(s + i, size - i, &cp)) == 0) {
            return false;
        }
    }
    return true;
}

size_t EncodeUtf8(uint32_t u, uint8_t *out) {
    if (u < 0x80) {
        out[0] = static_cast<uint8_t>(u);
        return 1;
    }
    if (u < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | (u >> 6));
        out[1] = static_cast<uint8_t>(0x80 | (u & 0x3F));
        return 2;
    }
    if (u < 0x10000) {
        out[0] = static_cast<uint8_t>(0xE0 | (u >> 12));
        out[1] = static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | (u & 0x3F));
        return 3;
    }
    out[0] = static_cast<uint8_t>(0xF0 | (u >> 18));
    out[1] = static_cast<uint8_t>(0x80 | ((u >> 12) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (u & 0x3F));
    return 4;
}

uint32_t Cp1252ToCodePoint(uint8_t byte) {
    return byte >= 0x80 && byte <= 0x9F ? k1252High[byte - 0x80] : byte;
}

bool CodePointToCp1252(uint32_t u, uint8_t *byte) {
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
        *byte = static_cast<uint8_t>(u);
        return true;
    }
    for (int i = 0; i < 32; ++i) {
        if (k1252High[i] == u) {
            *byte = static_cast<uint8_t>(0x80 + i);
            return true;
        }
    }
    return false;
}

size_t Cp1252Utf8Size(const uint8_t *s, size_t size) {
    size_t n = 0;
    for (size_t i = 0; i < size; ++i) {
        uint32_t cp = Cp1252ToCodePoint(s[i]);
        n += cp < 0x80 ? 1 : cp < 0x800 ? 2 : 3;
    }
    return n;
}

void Cp1252ToUtf8(const uint8_t *s, size_t size, uint8_t *out) {
    for (size_t i = 0; i < size; ++i) {
        out += EncodeUtf8(Cp1252ToCodePoint(s[i]), out);
    }
}

}  // namespace cab

namespace {

constexpr uint32_t kEscapeBase = 0xDC00;  // undecodable byte B <-> U+DC00+B
constexpr uint32_t kReplacement = 0xFFFD;

enum class PageKind { kUtf8Acp, kUtf8, k1252, kUnknown };

PageKind Classify(UINT code_page) {
    switch (code_page) {
        case CP_ACP:
        case CP_OEMCP:
        case CP_THREAD_ACP:
            return PageKind::kUtf8Acp;
        case CP_UTF8:
            return PageKind::kUtf8;
        case CP_WINDOWS_1252:
            return PageKind::k1252;
        default:
            return PageKind::kUnknown;
    }
}

// Writes units or bytes while they fit and counts them all, so one pass both sizes and fills.
template <typename T>
class BoundedOut {
public:
    BoundedOut(T *buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}
    void Put(T value) {
        if (count_ < capacity_) {
            buffer_[count_] = value;
        }
        ++count_;
    }
    size_t count() const { return count_; }

private:
    T *buffer_;
    size_t capacity_;
    size_t count_ = 0;
};

// Encodes one unit as the ANSI code page does into out (at most 4 bytes): a lone surrogate that
// stands for an undecodable byte becomes that byte again. 0 when UTF-8 cannot carry the unit.
int EncodeAcpUnit(uint32_t u, unsigned char *out) {
    if (u >= kEscapeBase + 0x80 && u <= kEscapeBase + 0xFF) {
        out[0] = static_cast<unsigned char>(u - kEscapeBase);
        return 1;
    }
    if ((u >= 0xD800 && u <= 0xDFFF) || u > 0x10FFFF) {
        return 0;
    }
    return static_cast<int>(cab::EncodeUtf8(u, out));
}

int Fail(DWORD code) {
    SetLastError(code);
    return 0;
}

}  // namespace

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        BOOL *lpUsedDefaultChar) {
    const PageKind page = Classify(CodePage);
    if (page == PageKind::kUnknown || lpWideCharStr == nullptr || cchWideChar == 0 ||
        cchWideChar < -1 || cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (page == PageKind::kUtf8) {
        if (dwFlags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) {
            return Fail(ERROR_INVALID_FLAGS);
        }
        if (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
    } else if (dwFlags &
               ~static_cast<DWORD>(WC_COMPOSITECHECK | WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR |
                                   WC_NO_BEST_FIT_CHARS | WC_ERR_INVALID_CHARS)) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    const size_t length =
        cchWideChar == -1 ? std::wcslen(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    const char default_char = lpDefaultChar != nullptr ? *lpDefaultChar : cab::kDefaultChar;
    BOOL used_default = FALSE;
    BoundedOut<char> out(lpMultiByteStr, static_cast<size_t>(cbMultiByte));
    for (size_t i = 0; i < length; ++i) {
        const uint32_t u = static_cast<uint32_t>(lpWideCharStr[i]);
        unsigned char bytes[4];
        int n = 0;
        if (page == PageKind::k1252) {
            if (cab::CodePointToCp1252(u, bytes)) {
                n = 1;
            }
        } else {
            n = EncodeAcpUnit(u, bytes);
        }
        if (n == 0) {
            if (dwFlags & WC_ERR_INVALID_CHARS) {
                return Fail(ERROR_NO_UNICODE_TRANSLATION);
            }
            if (page == PageKind::kUtf8) {
                n = static_cast<int>(cab::EncodeUtf8(kReplacement, bytes));
            } else {
                bytes[0] = static_cast<unsigned char>(default_char);
                n = 1;
                used_default = TRUE;
            }
        }
        for (int k = 0; k < n; ++k) {
            out.Put(static_cast<char>(bytes[k]));
        }
    }
    if (lpUsedDefaultChar != nullptr) {
        *lpUsedDefaultChar = used_default;
    }
    if (out.count() > 0x7FFFFFFF) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (cbMultiByte != 0 && out.count() > static_cast<size_t>(cbMultiByte)) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    return static_cast<int>(out.count());
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
    const PageKind page = Classify(CodePage);
    if (page == PageKind::kUnknown || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
        cbMultiByte < -1 || cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const DWORD allowed = page == PageKind::kUtf8 ? MB_ERR_INVALID_CHARS
                                                  : MB_PRECOMPOSED | MB_COMPOSITE |
                                                        MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS;
    if ((dwFlags & ~allowed) || ((dwFlags & MB_PRECOMPOSED) && (dwFlags & MB_COMPOSITE))) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    const auto *s = reinterpret_cast<const uint8_t *>(lpMultiByteStr);
    const size_t length =
        cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    BoundedOut<wchar_t> out(lpWideCharStr, static_cast<size_t>(cchWideChar));
    for (size_t i = 0; i < length;) {
        if (page == PageKind::k1252) {
            const unsigned char b = s[i++];
            out.Put(static_cast<wchar_t>(cab::Cp1252ToCodePoint(b)));
            continue;
        }
        uint32_t cp;
        size_t n = cab::DecodeUtf8(s + i, length - i, &cp);
        if (n == 0) {
            if (dwFlags & MB_ERR_INVALID_CHARS) {
                return Fail(ERROR_NO_UNICODE_TRANSLATION);
            }
            cp = kEscapeBase + s[i];
            n = 1;
        }
        out.Put(static_cast<wchar_t>(cp));
        i += n;
    }
    if (out.count() > 0x7FFFFFFF) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (cchWideChar != 0 && out.count() > static_cast<size_t>(cchWideChar)) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    return static_cast<int>(out.count());
}

namespace cab {

std::wstring AcpToWide(std::string_view text) {
    std::wstring wide;
    if (text.empty()) {
        return wide;
    }
    // Every byte yields at most one unit, so one pass into a buffer of that size suffices.
    wide.resize(text.size());
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return wide;
}

namespace {

std::string EncodeAcp(std::wstring_view text, DWORD flags, bool *ok) {
    std::string narrow;
    *ok = true;
    if (text.empty()) {
        return narrow;
    }
    narrow.resize(text.size() * 4);
    int n = WideCharToMultiByte(CP_ACP, flags, text.data(), static_cast<int>(text.size()),
                                narrow.data(), static_cast<int>(narrow.size()), nullptr, nullptr);
    *ok = n > 0;
    narrow.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return narrow;
}

}  // namespace

std::string WideToAcp(std::wstring_view text) {
    bool ok;
    return EncodeAcp(text, 0, &ok);
}

bool WideToAcpExact(std::wstring_view text, std::string *out) {
    bool ok;
    std::string narrow = EncodeAcp(text, WC_ERR_INVALID_CHARS, &ok);
    if (!ok || narrow.find('\0') != std::string::npos) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    *out = std::move(narrow);
    return true;
}

}  // namespace cab
