// UTF-8 / UTF-16 code-point steps and simple case folding shared by the text functions of
// the platform layer. Invalid UTF-8 is replaced per maximal ill-formed subpart (one U+FFFD
// for each), which is what Windows' UTF-8 decoder produces.
#pragma once

#include <cstddef>
#include <cstdint>

namespace npk {

constexpr char32_t kReplacementChar = 0xFFFD;

struct Utf8Step {
    char32_t cp;      // decoded code point, or U+FFFD
    size_t consumed;  // bytes taken (at least 1)
    bool valid;
};

inline Utf8Step DecodeUtf8(const unsigned char* p, size_t n)
{
    unsigned char b0 = p[0];
    if (b0 < 0x80) return {b0, 1, true};
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t cp;
    if (b0 < 0xC2) {
        return {kReplacementChar, 1, false};  // continuation byte or overlong lead
    } else if (b0 < 0xE0) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 < 0xF0) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;        // overlong
        if (b0 == 0xED) hi = 0x9F;        // encoded surrogates
    } else if (b0 < 0xF5) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;        // overlong
        if (b0 == 0xF4) hi = 0x8F;        // above U+10FFFF
    } else {
        return {kReplacementChar, 1, false};
    }
    for (size_t i = 1; i <= need; ++i) {
        if (i >= n) return {kReplacementChar, i, false};
        unsigned char b = p[i];
        unsigned char l = (i == 1) ? lo : 0x80;
        unsigned char h = (i == 1) ? hi : 0xBF;
        if (b < l || b > h) return {kReplacementChar, i, false};
        cp = (cp << 6) | (b & 0x3F);
    }
    return {cp, need + 1, true};
}

struct Utf16Step {
    char32_t cp;
    size_t consumed;  // code units taken (1 or 2)
    bool valid;       // false for a lone surrogate
};

inline Utf16Step DecodeUtf16(const char16_t* p, size_t n)
{
    char16_t u = p[0];
    if (u < 0xD800 || u > 0xDFFF) return {u, 1, true};
    if (u <= 0xDBFF && n >= 2 && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
        return {0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(p[1]) - 0xDC00), 2, true};
    }
    return {kReplacementChar, 1, false};
}

// Writes the UTF-8 form of cp into out (room for 4 bytes); returns the byte count.
inline size_t EncodeUtf8(char32_t cp, unsigned char* out)
{
    if (cp < 0x80) {
        out[0] = (unsigned char)cp;
        return 1;
    }
    if (cp < 0x800) {
        out[0] = (unsigned char)(0xC0 | (cp >> 6));
        out[1] = (unsigned char)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = (unsigned char)(0xE0 | (cp >> 12));
        out[1] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
        out[2] = (unsigned char)(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = (unsigned char)(0xF0 | (cp >> 18));
    out[1] = (unsigned char)(0x80 | ((cp >> 12) & 0x3F));
    out[2] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
    out[3] = (unsigned char)(0x80 | (cp & 0x3F));
    return 4;
}

// Writes the UTF-16 form of cp into out (room for 2 units); returns the unit count.
inline size_t EncodeUtf16(char32_t cp, char16_t* out)
{
    if (cp < 0x10000) {
        out[0] = (char16_t)cp;
        return 1;
    }
    cp -= 0x10000;
    out[0] = (char16_t)(0xD800 + (cp >> 10));
    out[1] = (char16_t)(0xDC00 + (cp & 0x3FF));
    return 2;
}

// Simple case folding to lower case of one UTF-16 code unit.
char16_t FoldCase(char16_t c);
// True when c is an upper-case letter that FoldCase changes.
inline bool IsFoldedUpper(char16_t c) { return FoldCase(c) != c; }

}  // namespace npk
