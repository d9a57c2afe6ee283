// Text between the script engine and NPAPI.
//
// Duktape keeps strings in CESU-8 (characters outside the BMP as two encoded surrogates);
// NPAPI strings are UTF-8. U+0000 is a plain zero byte on both sides, so lengths are
// always carried explicitly.
#pragma once

#include <string>
#include <string_view>

namespace npk::host {

// CESU-8 (or plain UTF-8) to UTF-8: surrogate pairs become one 4-byte sequence, a lone
// surrogate becomes U+FFFD.
std::string EngineToUtf8(std::string_view engine);

// UTF-8 to CESU-8 for the engine: 4-byte sequences become surrogate pairs; malformed
// bytes become U+FFFD so that the engine never sees invalid text.
std::string Utf8ToEngine(std::string_view utf8);

// Appends code point cp (at most U+10FFFF) as UTF-8.
void AppendUtf8(std::string& out, char32_t cp);

}  // namespace npk::host
