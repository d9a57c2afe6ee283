// Every page string crosses between the script engine's CESU-8 and NPAPI's UTF-8 in the
// host. Whatever the bytes, both directions must give valid text of the other form, and text
// that is already valid must survive the round trip unchanged. Seeds: texts in several
// scripts, with characters outside the BMP, lone surrogates and broken sequences.
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "host/TextCodec.h"

namespace {

// Strict UTF-8: shortest forms, no surrogates, nothing past U+10FFFF. With cesu, surrogates
// are allowed as three-byte sequences and four-byte forms are not.
bool Valid(std::string_view s, bool cesu)
{
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size() || (cesu && n == 4)) return false;
        unsigned long cp = n == 1 ? c : c & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        static const unsigned long kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF) return false;
        if (!cesu && cp >= 0xD800 && cp <= 0xDFFF) return false;
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16) return 0;
    std::string_view in(reinterpret_cast<const char*>(data), size);
    const std::string utf8 = npk::host::EngineToUtf8(in);
    const std::string engine = npk::host::Utf8ToEngine(in);
    fuzz::Check(Valid(engine, true));
    // The engine's form of any text goes to valid UTF-8 and comes back the same.
    const std::string there = npk::host::EngineToUtf8(engine);
    fuzz::Check(Valid(there, false));
    fuzz::Check(npk::host::Utf8ToEngine(there) == engine);
    if (Valid(in, false)) {
        fuzz::Check(npk::host::EngineToUtf8(engine) == std::string(in));
        fuzz::Check(utf8 == std::string(in));
    }
    return 0;
}
