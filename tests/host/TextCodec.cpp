// Text between Duktape's CESU-8 and NPAPI's UTF-8: ASCII runs are copied as blocks, everything
// else sequence by sequence, and the two must join without losing or doubling a byte.
#include "host/TextCodec.h"

#include <gtest/gtest.h>

#include <string>

namespace npk::host {
namespace {

const std::string kSmile = "\xF0\x9F\x98\x80";             // U+1F600 in UTF-8
const std::string kSmileCesu = "\xED\xA0\xBD\xED\xB8\x80";  // the same as two encoded surrogates
const std::string kReplacement = "\xEF\xBF\xBD";

TEST(TextCodec, AsciiRunsAndMultibyteSequencesJoinInBothDirections)
{
    const std::string base64(1700, 'Q');
    EXPECT_EQ(Utf8ToEngine(base64), base64);
    EXPECT_EQ(EngineToUtf8(base64), base64);

    const std::string mixed = "ab\xE5\xBC\xA0" "cd" + kSmile + "e\r\n";
    const std::string mixedCesu = "ab\xE5\xBC\xA0" "cd" + kSmileCesu + "e\r\n";
    EXPECT_EQ(Utf8ToEngine(mixed), mixedCesu);
    EXPECT_EQ(EngineToUtf8(mixedCesu), mixed);
    EXPECT_EQ(EngineToUtf8(Utf8ToEngine(mixed)), mixed);

    // Zero bytes are text like any other and keep their place.
    const std::string zeros("a\0b\0", 4);
    EXPECT_EQ(Utf8ToEngine(zeros), zeros);
    EXPECT_EQ(EngineToUtf8(zeros), zeros);
    EXPECT_EQ(Utf8ToEngine(""), "");
}

TEST(TextCodec, MalformedBytesBetweenAsciiRunsBecomeReplacements)
{
    EXPECT_EQ(Utf8ToEngine("ab\xFF" "cd"), "ab" + kReplacement + "cd");
    EXPECT_EQ(Utf8ToEngine("ab\xE5\xBC"), "ab" + kReplacement + kReplacement) << "a sequence cut at the end";
    EXPECT_EQ(Utf8ToEngine("a\xED\xA0\xBD" "b"), "a" + kReplacement + "b") << "an encoded surrogate is no UTF-8";
    EXPECT_EQ(EngineToUtf8("a\xED\xA0\xBD" "b"), "a" + kReplacement + "b") << "a lone high surrogate";
    EXPECT_EQ(EngineToUtf8("\xED\xB8\x80" "z"), kReplacement + "z") << "a lone low surrogate";
}

}  // namespace
}  // namespace npk::host
