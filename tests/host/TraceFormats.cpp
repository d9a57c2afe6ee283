// Format files of `npkeystrand trace show` and the printing of recorded events.
#include <windows.h>

// The reader lives with the host; this test builds it in.
#include "host/TraceFormats.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using npk::host::FormatEventLine;
using npk::host::FormatEventText;
using npk::host::TraceFormats;

const GUID kShared = {0xE56F518A, 0x7608, 0x2490, {0xD7, 0xE6, 0xE5, 0x80, 0x60, 0xE8, 0xA3, 0xFB}};

std::vector<uint8_t> Bytes(std::initializer_list<std::pair<const void*, size_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto& part : parts) {
        const uint8_t* p = (const uint8_t*)part.first;
        out.insert(out.end(), p, p + part.second);
    }
    return out;
}

TEST(TraceFormatsTest, ParsesLinesCommentsAndModuleName)
{
    TraceFormats formats;
    std::string error;
    ASSERT_TRUE(formats.AddText("# shared: function entry and exit\n"
                                "# a second comment is not the module\n"
                                "\n"
                                "{E56F518A-7608-2490-D7E6-E58060E8A3FB} 10 Entering %1!s!\n"
                                "{e56f518a-7608-2490-d7e6-e58060e8a3fb} 12 Step failed: %1!ws! (0x%2!08x!)\r\n",
                                "shared.fmt", &error))
        << error;
    ASSERT_NE(nullptr, formats.Find(kShared, 10));
    EXPECT_EQ("Entering %1!s!", *formats.Find(kShared, 10));
    ASSERT_NE(nullptr, formats.Find(kShared, 12));
    EXPECT_EQ(nullptr, formats.Find(kShared, 11));
    EXPECT_EQ("shared", formats.ModuleName(kShared));

    TraceFormats other;
    ASSERT_TRUE(other.AddText("# Module: Base64 (Base64EncodeEx). More.\n"
                              "{E9E9752A-3C4F-5E23-8DAD-8E8F60F31E98} 10 x\n", "b.fmt", &error));
    GUID base64;
    ASSERT_TRUE(npk::etw::ParseGuid("E9E9752A-3C4F-5E23-8DAD-8E8F60F31E98", base64));
    EXPECT_EQ("Base64", other.ModuleName(base64));
    // A GUID nobody describes is named by itself.
    EXPECT_EQ("{E56F518A-7608-2490-D7E6-E58060E8A3FB}", other.ModuleName(kShared));
}

TEST(TraceFormatsTest, RejectsMalformedLines)
{
    std::string error;
    TraceFormats formats;
    EXPECT_FALSE(formats.AddText("{E56F518A-7608-2490-D7E6} 10 short guid\n", "bad.fmt", &error));
    EXPECT_NE(std::string::npos, error.find("bad.fmt:1"));
    EXPECT_FALSE(formats.AddText("# c\n{E56F518A-7608-2490-D7E6-E58060E8A3FB} ten text\n", "bad.fmt", &error));
    EXPECT_NE(std::string::npos, error.find("bad.fmt:2"));
    EXPECT_FALSE(formats.AddText("{E56F518A-7608-2490-D7E6-E58060E8A3FB} 70000 too big\n", "bad.fmt", &error));
}

TEST(TraceFormatsTest, FormatsEveryArgumentType)
{
    const char narrow[] = "NPP_New";
    const WCHAR wide[] = TEXT("Schlüssel ☃");
    int32_t negative = -5;
    uint32_t hr = 0x80070002;
    int64_t big = -1234567890123LL;
    uint64_t bigHex = 0x1122334455667788ull;
    std::vector<uint8_t> data = Bytes({{narrow, sizeof(narrow)}, {wide, sizeof(wide)}, {&negative, 4},
                                       {&hr, 4}, {&big, 8}, {&bigHex, 8}, {&hr, 4}});
    EXPECT_EQ("NPP_New / Schlüssel ☃ / -5 4294967291 / 0x80070002 80070002 / -1234567890123 1122334455667788 / 0x80070002",
              FormatEventText("%1!s! / %2!ws! / %3!d! %3!u! / 0x%4!08x! %4!X! / %5!I64d! %6!I64x! / 0x%7!x!",
                              data.data(), data.size()));

    uint32_t small = 0xAB;
    EXPECT_EQ("000000ab 100%", FormatEventText("%1!08x! 100%%", (const uint8_t*)&small, 4));
}

TEST(TraceFormatsTest, FlagsTakeOnlyFlagCharacters)
{
    // A NUL inside a placeholder is not a flag: the placeholder is left as written.
    uint32_t v = 7;
    std::vector<uint8_t> data = Bytes({{&v, 4}});
    std::string format = std::string("[%1!5") + '\0' + "d!]";
    EXPECT_EQ(format, FormatEventText(format, data.data(), data.size()));
    EXPECT_EQ("[    7]", FormatEventText("[%1!5d!]", data.data(), data.size()));
}

TEST(TraceFormatsTest, InsertNumbersStopAtTwoDigits)
{
    uint32_t v = 7;
    std::vector<uint8_t> data = Bytes({{&v, 4}});
    // 4294967297 wraps to 1 in 32 bits: it must stay text, not show the first argument.
    EXPECT_EQ("[%4294967297!d!]", FormatEventText("[%4294967297!d!]", data.data(), data.size()));
    EXPECT_EQ("%100!d! 7", FormatEventText("%100!d! %1!d!", data.data(), data.size()));
    EXPECT_EQ("m%09000000000\xff  ", FormatEventText("m%09000000000\xff  ", data.data(), data.size()));
    // Two digits are an insert; 01 is insert 1.
    EXPECT_EQ("7 <missing>", FormatEventText("%01!d! %99!d!", data.data(), data.size()));
}

TEST(TraceFormatsTest, MissingOrShortArguments)
{
    uint32_t one = 1;
    // Two 32-bit arguments announced, one present.
    EXPECT_EQ("1 <missing>", FormatEventText("%1!d! %2!d!", (const uint8_t*)&one, 4));
    // A text without its terminator is not read past the end.
    const char unterminated[3] = {'a', 'b', 'c'};
    EXPECT_EQ("<missing>", FormatEventText("%1!s!", (const uint8_t*)unterminated, 3));
    // An empty text and an empty wide text are arguments too.
    const WCHAR emptyWide[] = TEXT("");
    std::vector<uint8_t> data = Bytes({{"", 1}, {emptyWide, 2}, {&one, 4}});
    EXPECT_EQ("[] [] 1", FormatEventText("[%1!s!] [%2!ws!] %3!u!", data.data(), data.size()));
    // Unknown placeholder types stay as written.
    EXPECT_EQ("%1!q!", FormatEventText("%1!q!", nullptr, 0));
}

TEST(TraceFormatsTest, EventLinesWithAndWithoutFormat)
{
    TraceFormats formats;
    ASSERT_TRUE(formats.AddText("# shared: x\n{E56F518A-7608-2490-D7E6-E58060E8A3FB} 12 Step failed: %1!ws! (0x%2!08x!)\n",
                                "shared.fmt", nullptr));
    const WCHAR step[] = TEXT("New Memory");
    uint32_t hr = 0x8007000E;

    npk::etw::EventRecord message;
    message.Header.Kind = npk::etw::RecordKindMessage;
    message.Header.MessageNumber = 12;
    message.Header.Guid = kShared;
    message.Header.Sequence = 7;
    message.Header.ProcessId = 42;
    message.Header.ThreadId = 43;
    message.Data = Bytes({{step, sizeof(step)}, {&hr, 4}});
    std::string line = FormatEventLine(message, formats);
    EXPECT_NE(std::string::npos, line.find("shared 12: Step failed: New Memory (0x8007000e)")) << line;
    EXPECT_NE(std::string::npos, line.find("42.43")) << line;
    EXPECT_EQ(0u, line.find("     7 ")) << line;

    // A text with line breaks still makes one line.
    const WCHAR multiLine[] = TEXT("Not implemented\r\n\n(0x80004001)");
    message.Data = Bytes({{multiLine, sizeof(multiLine)}, {&hr, 4}});
    line = FormatEventLine(message, formats);
    EXPECT_EQ(std::string::npos, line.find('\n')) << line;
    EXPECT_NE(std::string::npos, line.find("Not implemented\\r\\n\\n(0x80004001)")) << line;

    // The same event as the fallback sends it: class type 255, the number first.
    npk::etw::EventRecord fallback = message;
    fallback.Header.Kind = npk::etw::RecordKindEvent;
    fallback.Header.ClassType = 255;
    fallback.Header.MessageNumber = 0;
    uint16_t number = 12;
    fallback.Data = Bytes({{&number, 2}, {step, sizeof(step)}, {&hr, 4}});
    EXPECT_NE(std::string::npos, FormatEventLine(fallback, formats).find("shared 12: Step failed: New Memory"));

    // No format line: GUID, number and the bytes in hex.
    message.Header.MessageNumber = 99;
    message.Data = {0x01, 0xAB};
    line = FormatEventLine(message, formats);
    EXPECT_NE(std::string::npos, line.find("{E56F518A-7608-2490-D7E6-E58060E8A3FB} 99 [01 ab]")) << line;
}

}  // namespace
