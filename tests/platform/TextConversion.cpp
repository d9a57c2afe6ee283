// MultiByteToWideChar / WideCharToMultiByte over UTF-8 with Windows' results and errors.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

std::u16string ToWide(const std::string& s, DWORD flags = 0, UINT cp = CP_UTF8)
{
    int n = MultiByteToWideChar(cp, flags, s.data(), (int)s.size(), nullptr, 0);
    if (n == 0) return u"<fail>";
    std::u16string out((size_t)n, u'\0');
    int m = MultiByteToWideChar(cp, flags, s.data(), (int)s.size(), out.data(), n);
    EXPECT_EQ(m, n);
    return out;
}

std::string ToUtf8(const std::u16string& s, DWORD flags = 0)
{
    int n = WideCharToMultiByte(CP_UTF8, flags, s.data(), (int)s.size(), nullptr, 0, nullptr, nullptr);
    if (n == 0) return "<fail>";
    std::string out((size_t)n, '\0');
    int m = WideCharToMultiByte(CP_UTF8, flags, s.data(), (int)s.size(), out.data(), n, nullptr, nullptr);
    EXPECT_EQ(m, n);
    return out;
}

}  // namespace

TEST(MultiByteToWideChar, SizeQueryCountsTheTerminatorOnlyForMinusOne)
{
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0), 4);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 0), 3);
    WCHAR buf[4] = {1, 1, 1, 1};
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, buf, 4), 4);
    EXPECT_EQ(std::u16string(buf), u"abc");
    // An explicit count converts an embedded NUL like any character.
    EXPECT_EQ(ToWide(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(MultiByteToWideChar, ShortBufferFails)
{
    WCHAR buf[3];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, buf, 3), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    // A supplementary character needs two units; one is not enough.
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, buf, 1), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
}

TEST(MultiByteToWideChar, MultiByteAndSupplementaryCharacters)
{
    EXPECT_EQ(ToWide("\xC3\xA9"), u"\u00E9");
    EXPECT_EQ(ToWide("\xE4\xB8\xAD\xED\x95\x9C"), u"\u4E2D\uD55C");
    EXPECT_EQ(ToWide("\xF0\x9F\x98\x80"), std::u16string(u"\xD83D\xDE00"));
    EXPECT_EQ(ToWide("\xF4\x8F\xBF\xBF"), std::u16string(u"\xDBFF\xDFFF"));
}

TEST(MultiByteToWideChar, InvalidInputBecomesReplacementCharacters)
{
    // A stray continuation byte, a cut sequence, an overlong form, an encoded surrogate and a
    // value above U+10FFFF: one U+FFFD per maximal ill-formed part.
    EXPECT_EQ(ToWide("a\x80" "b"), u"a\uFFFDb");
    EXPECT_EQ(ToWide("\xE2\x82" "A"), u"\uFFFDA");
    EXPECT_EQ(ToWide("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(ToWide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(ToWide("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(ToWide("\xF0\x9F\x98"), u"\uFFFD");  // cut at the end of the input
}

TEST(MultiByteToWideChar, StrictFlagRejectsInvalidInput)
{
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", 2, nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(ToWide("\xC3\xA9", MB_ERR_INVALID_CHARS), u"\u00E9");
}

TEST(MultiByteToWideChar, ParameterErrors)
{
    WCHAR buf[8];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", 1, buf, 8), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a", 0, buf, 8), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 1, buf, 8), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a", 1, nullptr, 8), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", 1, buf, 8), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FLAGS);
}

TEST(MultiByteToWideChar, AnsiCodePagesAreUtf8)
{
    for (UINT cp : {(UINT)CP_ACP, (UINT)CP_OEMCP, (UINT)CP_THREAD_ACP}) {
        EXPECT_EQ(ToWide("\xC3\xA9", 0, cp), u"\u00E9") << cp;
    }
    EXPECT_EQ(ToWide("x", MB_PRECOMPOSED, CP_ACP), u"x");
    EXPECT_EQ(GetACP(), (UINT)CP_UTF8);
}

TEST(WideCharToMultiByte, SizeQueryAndShortBuffer)
{
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u00E9", -1, nullptr, 0, nullptr, nullptr), 3);
    char buf[3];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u4E2D", -1, buf, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    char big[8];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u4E2D", -1, big, 8, nullptr, nullptr), 4);
    EXPECT_STREQ(big, "\xE4\xB8\xAD");
}

TEST(WideCharToMultiByte, SurrogatePairsAndLoneSurrogates)
{
    EXPECT_EQ(ToUtf8(std::u16string(u"\xD83D\xDE00")), "\xF0\x9F\x98\x80");
    // Lone or reversed surrogates are replaced, each by U+FFFD.
    EXPECT_EQ(ToUtf8(std::u16string(u"a\xD800" u"b")), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(ToUtf8(std::u16string(u"\xDE00\xD83D")), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(ToUtf8(std::u16string(u"\xD83D")), "\xEF\xBF\xBD");  // high surrogate at the end
    SetLastError(0);
    EXPECT_EQ(ToUtf8(std::u16string(u"a\xDC00"), WC_ERR_INVALID_CHARS), "<fail>");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);
}

TEST(WideCharToMultiByte, DefaultCharacterArgumentsAreRefusedForUtf8)
{
    BOOL used = FALSE;
    char buf[8];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", -1, buf, 8, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", -1, buf, 8, "?", nullptr), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, u"a", -1, buf, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FLAGS);
}

TEST(TextConversion, RoundTripOfEveryPlane)
{
    std::u16string all;
    for (char32_t cp = 1; cp <= 0x10FFFF; cp += 0x3F1) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        if (cp < 0x10000) {
            all.push_back((char16_t)cp);
        } else {
            all.push_back((char16_t)(0xD800 + ((cp - 0x10000) >> 10)));
            all.push_back((char16_t)(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        }
    }
    std::string utf8 = ToUtf8(all, WC_ERR_INVALID_CHARS);
    EXPECT_EQ(ToWide(utf8, MB_ERR_INVALID_CHARS), all);
}
