#include "host/TextCodec.h"

#include <cstdint>

namespace npk::host {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one sequence at s[i], accepting encoded surrogates (CESU-8) but nothing else
// that is malformed. Returns the code point and advances i; on malformed input returns
// U+FFFD and advances by one byte.
char32_t DecodeOne(std::string_view s, size_t& i)
{
    const auto b0 = static_cast<uint8_t>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int len;
    char32_t cp;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2; cp = b0 & 0x1F; min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3; cp = b0 & 0x0F; min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4; cp = b0 & 0x07; min = 0x10000;
    } else {
        ++i;
        return kReplacement;
    }
    if (i + len > s.size()) {
        ++i;
        return kReplacement;
    }
    for (int k = 1; k < len; ++k) {
        const auto b = static_cast<uint8_t>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return kReplacement;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF) {
        ++i;
        return kReplacement;
    }
    i += len;
    return cp;
}

// The end of the run of ASCII bytes that starts at i: those are the same on both sides and
// are copied as a block (results such as Base64 text are nothing else).
size_t AsciiRunEnd(std::string_view s, size_t i)
{
    while (i < s.size() && static_cast<uint8_t>(s[i]) < 0x80) ++i;
    return i;
}

bool IsHighSurrogate(char32_t cp) { return cp >= 0xD800 && cp <= 0xDBFF; }
bool IsLowSurrogate(char32_t cp) { return cp >= 0xDC00 && cp <= 0xDFFF; }

}  // namespace

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string EngineToUtf8(std::string_view engine)
{
    std::string out;
    out.reserve(engine.size());
    size_t i = 0;
    while (i < engine.size()) {
        const size_t end = AsciiRunEnd(engine, i);
        if (end > i) {
            out.append(engine.data() + i, end - i);
            i = end;
            continue;
        }
        char32_t cp = DecodeOne(engine, i);
        if (IsHighSurrogate(cp)) {
            size_t j = i;
            char32_t low = j < engine.size() ? DecodeOne(engine, j) : 0;
            if (IsLowSurrogate(low)) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                i = j;
            } else {
                cp = kReplacement;
            }
        } else if (IsLowSurrogate(cp)) {
            cp = kReplacement;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

std::string Utf8ToEngine(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        const size_t end = AsciiRunEnd(utf8, i);
        if (end > i) {
            out.append(utf8.data() + i, end - i);
            i = end;
            continue;
        }
        char32_t cp = DecodeOne(utf8, i);
        if (IsHighSurrogate(cp) || IsLowSurrogate(cp)) {
            // Encoded surrogates are not valid UTF-8.
            cp = kReplacement;
        }
        if (cp >= 0x10000) {
            const char32_t v = cp - 0x10000;
            AppendUtf8(out, 0xD800 + (v >> 10));
            AppendUtf8(out, 0xDC00 + (v & 0x3FF));
        } else {
            AppendUtf8(out, cp);
        }
    }
    return out;
}

}  // namespace npk::host
