// StringCchPrintfW/A: Microsoft's format letters, widths and precisions, and the strsafe
// results for short buffers and bad arguments.
#include <gtest/gtest.h>

#include <strsafe.h>

#include <climits>
#include <cstdint>
#include <string>

namespace {

std::u16string F(LPCWSTR fmt, ...)
{
    WCHAR buf[512];
    va_list args;
    va_start(args, fmt);
    HRESULT hr = StringCchVPrintfW(buf, 512, fmt, args);
    va_end(args);
    if (hr != S_OK) return u"<hr failed>";
    return buf;
}

}  // namespace

TEST(StringCchPrintfW, WideAndNarrowStrings)
{
    EXPECT_EQ(F(TEXT("[%s|%ws|%ls]"), TEXT("a"), TEXT("b"), TEXT("c")), u"[a|b|c]");
    EXPECT_EQ(F(TEXT("[%hs|%S]"), "x", "y"), u"[x|y]");
    // Narrow text is UTF-8, including characters outside the BMP.
    EXPECT_EQ(F(TEXT("%hs"), "\xC3\xA9\xF0\x9F\x98\x80"), std::u16string(u"\u00E9\xD83D\xDE00"));
    EXPECT_EQ(F(TEXT("%s/%hs"), (LPCWSTR)nullptr, (const char*)nullptr), u"(null)/(null)");
}

TEST(StringCchPrintfW, StringWidthAndPrecision)
{
    EXPECT_EQ(F(TEXT("[%.3s]"), TEXT("abcdef")), u"[abc]");
    EXPECT_EQ(F(TEXT("[%.3hs]"), "abcdef"), u"[abc]");
    EXPECT_EQ(F(TEXT("[%5s][%-5s]"), TEXT("ab"), TEXT("cd")), u"[   ab][cd   ]");
    EXPECT_EQ(F(TEXT("[%.*s]"), 2, TEXT("wxyz")), u"[wx]");
    EXPECT_EQ(F(TEXT("[%.*s]"), -1, TEXT("wxyz")), u"[wxyz]");  // negative precision: none
    // A converted character is never cut in half: the pair needs two units.
    EXPECT_EQ(F(TEXT("[%.1hs]"), "\xF0\x9F\x98\x80"), u"[]");
}

TEST(StringCchPrintfW, Characters)
{
    EXPECT_EQ(F(TEXT("%c%wc%lc"), (int)u'\u4E2D', (int)u'b', (int)u'c'), u"\u4E2Dbc");
    EXPECT_EQ(F(TEXT("%hc%C"), 'x', 'y'), u"xy");
    EXPECT_EQ(F(TEXT("[%3c]"), (int)u'z'), u"[  z]");
}

TEST(StringCchPrintfW, SignedIntegersAndFlags)
{
    EXPECT_EQ(F(TEXT("%d %i"), -42, 7), u"-42 7");
    EXPECT_EQ(F(TEXT("[%-5d][%5d][%05d]"), 42, -42, -42), u"[42   ][  -42][-0042]");
    EXPECT_EQ(F(TEXT("[%+d][% d][%+d]"), 5, 5, -5), u"[+5][ 5][-5]");
    EXPECT_EQ(F(TEXT("[%.3d][%.0d][%08.3d]"), 7, 0, 7), u"[007][][     007]");
    EXPECT_EQ(F(TEXT("[%*d][%-*d]"), 4, 1, 3, 2), u"[   1][2  ]");
    EXPECT_EQ(F(TEXT("[%*d]"), -4, 1), u"[1   ]");  // negative width means left-aligned
    EXPECT_EQ(F(TEXT("%d"), INT_MIN), u"-2147483648");
}

TEST(StringCchPrintfW, UnsignedAndHexadecimal)
{
    EXPECT_EQ(F(TEXT("%08x|%X|%x"), 0xBEEFu, 0xABCDEFu, 0u), u"0000beef|ABCDEF|0");
    EXPECT_EQ(F(TEXT("0x%08x"), (unsigned)0x80070002), u"0x80070002");
    EXPECT_EQ(F(TEXT("%#x|%#X|%#x"), 255u, 255u, 0u), u"0xff|0XFF|0");
    EXPECT_EQ(F(TEXT("%o|%#o|%#o"), 8u, 8u, 0u), u"10|010|0");
    EXPECT_EQ(F(TEXT("%u"), 4294967295u), u"4294967295");
    EXPECT_EQ(F(TEXT("%#010x"), 0x1Au), u"0x0000001a");
}

TEST(StringCchPrintfW, LengthModifiersHaveWindowsSizes)
{
    // %l is 32-bit as on Windows: a DWORD argument prints as it is.
    DWORD dw = 0xFFFFFFFF;
    LONG neg = -1;
    EXPECT_EQ(F(TEXT("%lu %lx %ld"), dw, dw, neg), u"4294967295 ffffffff -1");
    EXPECT_EQ(F(TEXT("%I64d %I64u %I64x"), (LONGLONG)LLONG_MIN, (ULONGLONG)ULLONG_MAX, 0x123456789ABCDEFULL),
              u"-9223372036854775808 18446744073709551615 123456789abcdef");
    EXPECT_EQ(F(TEXT("%lld %llu %llx"), -5LL, 5ULL, 0xFFFFFFFFFULL), u"-5 5 fffffffff");
    EXPECT_EQ(F(TEXT("%I32d %I32x"), -3, 0xABu), u"-3 ab");
    SIZE_T big = (SIZE_T)1 << (sizeof(SIZE_T) * 8 - 1);
    EXPECT_EQ(F(TEXT("%Iu"), big), sizeof(SIZE_T) == 8 ? u"9223372036854775808" : u"2147483648");
    EXPECT_EQ(F(TEXT("%Id %Ix"), (INT_PTR)-2, (SIZE_T)0xFF), u"-2 ff");
    EXPECT_EQ(F(TEXT("%hd %hu"), 70000, 65537), u"4464 1");
    EXPECT_EQ(F(TEXT("%zu"), (size_t)12), u"12");
}

TEST(StringCchPrintfW, PointersAreUpperCasePaddedHex)
{
    void* p = reinterpret_cast<void*>((uintptr_t)0xAB12);
    std::u16string expected = sizeof(void*) == 8 ? u"000000000000AB12" : u"0000AB12";
    EXPECT_EQ(F(TEXT("%p"), p), expected);
    EXPECT_EQ(F(TEXT("%p"), (void*)nullptr), std::u16string(sizeof(void*) * 2, u'0'));
}

TEST(StringCchPrintfW, FloatingPoint)
{
    EXPECT_EQ(F(TEXT("%f|%.2f|%8.3f|%-8.1f|"), 1.5, 3.14159, -2.5, 0.26), u"1.500000|3.14|  -2.500|0.3     |");
    EXPECT_EQ(F(TEXT("%e|%E"), 12345.678, 0.00012), u"1.234568e+04|1.200000E-04");
    EXPECT_EQ(F(TEXT("%g|%G|%g"), 0.0001, 1e20, 100.0), u"0.0001|1E+20|100");
    EXPECT_EQ(F(TEXT("%+.1f|%05.1f"), 2.0, 2.0), u"+2.0|002.0");
}

TEST(StringCchPrintfW, PercentAndMixedArguments)
{
    EXPECT_EQ(F(TEXT("100%%")), u"100%");
    EXPECT_EQ(F(TEXT("%ws - %ws (0x%08x) %I64d %hs"), TEXT("Sign"), TEXT("step"), 0x80004005u, (LONGLONG)-1, "end"),
              u"Sign - step (0x80004005) -1 end");
}

TEST(StringCchPrintfW, TruncationKeepsATerminatedPrefix)
{
    WCHAR buf[5];
    EXPECT_EQ(StringCchPrintfW(buf, 5, TEXT("%s"), TEXT("abcdefgh")), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buf), u"abcd");
    EXPECT_EQ(StringCchPrintfW(buf, 5, TEXT("%d"), 1234), S_OK);  // exactly fits
    EXPECT_EQ(std::u16string(buf), u"1234");
    EXPECT_EQ(StringCchPrintfW(buf, 5, TEXT("%d"), 12345), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buf), u"1234");
    WCHAR one[1] = {'x'};
    EXPECT_EQ(StringCchPrintfW(one, 1, TEXT("a")), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(one[0], 0);
}

TEST(StringCchPrintfW, InvalidArguments)
{
    WCHAR buf[8] = {'x'};
    EXPECT_EQ(StringCchPrintfW(buf, 0, TEXT("a")), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(buf[0], 'x');  // nothing written without room
    EXPECT_EQ(StringCchPrintfW(buf, 8, nullptr), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(buf[0], 0);
    buf[0] = 'x';
    EXPECT_EQ(StringCchPrintfW(buf, (size_t)STRSAFE_MAX_CCH + 1, TEXT("a")), STRSAFE_E_INVALID_PARAMETER);
    int n = 0;
    EXPECT_EQ(StringCchPrintfW(buf, 8, TEXT("%n"), &n), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(StringCchPrintfW(buf, 8, TEXT("%k")), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(StringCchPrintfW(buf, 8, TEXT("abc%")), STRSAFE_E_INVALID_PARAMETER);
}

TEST(StringCbPrintfW, CountsBytes)
{
    WCHAR buf[8];
    EXPECT_EQ(StringCbPrintfW(buf, 9, TEXT("%s"), TEXT("abcdef")), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buf), u"abc");  // 9 bytes hold 4 WCHARs
    EXPECT_EQ(StringCbPrintfW(buf, sizeof buf, TEXT("%d"), 42), S_OK);
    EXPECT_EQ(std::u16string(buf), u"42");
    EXPECT_EQ(StringCbPrintfW(buf, 1, TEXT("x")), STRSAFE_E_INVALID_PARAMETER);
}

TEST(StringCchPrintfA, NarrowDefaultsAndWideToUtf8)
{
    char buf[64];
    ASSERT_EQ(StringCchPrintfA(buf, 64, "%s|%ws|%S|%c|%5.1f", "n", TEXT("\u00E9"), TEXT("w"), 'c', 1.26), S_OK);
    EXPECT_STREQ(buf, "n|\xC3\xA9|w|c|  1.3");
    char small[3];
    EXPECT_EQ(StringCchPrintfA(small, 3, "%ws", TEXT("\u00E9\u00E9")), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(small, "\xC3\xA9");
}
