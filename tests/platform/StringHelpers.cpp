// lstr*, shlwapi Str* and the strsafe copy/concatenate/length functions.
#include <gtest/gtest.h>

#include <shlwapi.h>
#include <strsafe.h>

#include <string>

TEST(Lstr, LengthsWithNull)
{
    EXPECT_EQ(lstrlenW(nullptr), 0);
    EXPECT_EQ(lstrlenA(nullptr), 0);
    EXPECT_EQ(lstrlenW(TEXT("\u4E2D\u6587")), 2);
    EXPECT_EQ(lstrlenA("abc"), 3);
}

TEST(Lstr, CompareOrdersLikeWordSort)
{
    EXPECT_EQ(lstrcmpW(TEXT("abc"), TEXT("abc")), 0);
    EXPECT_LT(lstrcmpW(TEXT("a"), TEXT("B")), 0);   // letters before case
    EXPECT_LT(lstrcmpW(TEXT("a"), TEXT("A")), 0);   // then lower case first
    EXPECT_GT(lstrcmpW(TEXT("Ab"), TEXT("ab")), 0);
    EXPECT_LT(lstrcmpW(TEXT("ab"), TEXT("abc")), 0);
    EXPECT_EQ(lstrcmpW(nullptr, nullptr), 0);
    EXPECT_LT(lstrcmpW(nullptr, TEXT("")), 0);
    EXPECT_GT(lstrcmpW(TEXT(""), nullptr), 0);
}

TEST(Lstr, CaseInsensitiveCompareFoldsBeyondAscii)
{
    EXPECT_EQ(lstrcmpiW(TEXT("SHA-1"), TEXT("sha-1")), 0);
    EXPECT_EQ(lstrcmpiW(TEXT("\u00C4BC\u00DE"), TEXT("\u00E4bc\u00FE")), 0);
    EXPECT_EQ(lstrcmpiW(TEXT("\u041F\u0420\u0418\u0412\u0415\u0422"), TEXT("\u043F\u0440\u0438\u0432\u0435\u0442")), 0);
    EXPECT_EQ(lstrcmpiW(TEXT("\u0391\u0392"), TEXT("\u03B1\u03B2")), 0);
    EXPECT_EQ(lstrcmpiW(TEXT("\u0178\u0141"), TEXT("\u00FF\u0142")), 0);
    EXPECT_NE(lstrcmpiW(TEXT("\u00D7"), TEXT("\u00F7")), 0);  // multiplication and division signs
    EXPECT_LT(lstrcmpiW(TEXT("abc"), TEXT("ABD")), 0);
    EXPECT_GT(lstrcmpiW(TEXT("abcd"), TEXT("ABC")), 0);
}

TEST(Lstr, CopyAndConcatenate)
{
    WCHAR buf[8];
    EXPECT_EQ(lstrcpynW(buf, TEXT("abcdef"), 4), buf);
    EXPECT_EQ(std::u16string(buf), u"abc");
    lstrcpynW(buf, TEXT("abc"), 1);
    EXPECT_EQ(buf[0], 0);
    lstrcpyW(buf, TEXT("ab"));
    lstrcatW(buf, TEXT("cd"));
    EXPECT_EQ(std::u16string(buf), u"abcd");
    SetLastError(0);
    EXPECT_EQ(lstrcpyW(buf, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(lstrcatW(nullptr, TEXT("x")), nullptr);
}

TEST(StrSearch, StrStrIW)
{
    LPCWSTR hay = TEXT("CN=Hello World, O=Example");
    EXPECT_EQ(StrStrIW(hay, TEXT("WORLD")), hay + 9);
    EXPECT_EQ(StrStrIW(hay, TEXT("o=ex")), hay + 16);
    EXPECT_EQ(StrStrIW(hay, TEXT("Worlds")), nullptr);
    EXPECT_EQ(StrStrIW(hay, TEXT("")), nullptr);
    EXPECT_EQ(StrStrIW(nullptr, TEXT("a")), nullptr);
    EXPECT_EQ(StrStrIW(TEXT("ab"), TEXT("abc")), nullptr);  // needle longer than the rest
    LPCWSTR accented = TEXT("une \u00E9cole");
    EXPECT_EQ(StrStrIW(accented, TEXT("\u00C9COLE")), accented + 4);
    EXPECT_EQ(StrStrW(hay, TEXT("world")), nullptr);
    EXPECT_EQ(StrStrW(hay, TEXT("World")), hay + 9);
    // A partial match followed by the real one.
    LPCWSTR rep = TEXT("aaab");
    EXPECT_EQ(StrStrIW(rep, TEXT("AAB")), rep + 1);
}

TEST(StrSearch, BoundedComparisons)
{
    EXPECT_EQ(StrCmpNIW(TEXT("abcdef"), TEXT("ABCxyz"), 3), 0);
    EXPECT_LT(StrCmpNIW(TEXT("abcdef"), TEXT("ABCxyz"), 4), 0);
    EXPECT_EQ(StrCmpNIW(TEXT("x"), TEXT("y"), 0), 0);
    EXPECT_EQ(StrCmpNIW(TEXT("ab"), TEXT("AB"), 10), 0);  // both end before the bound
    EXPECT_LT(StrCmpNIW(TEXT("ab"), TEXT("ABC"), 10), 0);
    EXPECT_EQ(StrCmpIW(TEXT("MiXeD"), TEXT("mixed")), 0);
    EXPECT_NE(StrCmpNW(TEXT("abc"), TEXT("ABC"), 3), 0);
    EXPECT_EQ(StrCmpNW(TEXT("abcX"), TEXT("abcY"), 3), 0);
}

TEST(StrSearch, Characters)
{
    LPCWSTR s = TEXT("a.b.c");
    EXPECT_EQ(StrChrW(s, '.'), s + 1);
    EXPECT_EQ(StrChrW(s, 'z'), nullptr);
    EXPECT_EQ(StrRChrW(s, nullptr, '.'), s + 3);
    EXPECT_EQ(StrRChrW(s, s + 3, '.'), s + 1);  // the end pointer is excluded
    EXPECT_EQ(StrRChrW(s, nullptr, 'q'), nullptr);
}

TEST(StringCchCopy, ResultsAndTruncation)
{
    WCHAR buf[4];
    EXPECT_EQ(StringCchCopyW(buf, 4, TEXT("abc")), S_OK);
    EXPECT_EQ(std::u16string(buf), u"abc");
    EXPECT_EQ(StringCchCopyW(buf, 4, TEXT("abcd")), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buf), u"abc");
    EXPECT_EQ(StringCchCopyW(buf, 0, TEXT("a")), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(StringCchCopyW(buf, 4, nullptr), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(buf[0], 0);

    EXPECT_EQ(StringCchCopyNW(buf, 4, TEXT("abcdef"), 2), S_OK);
    EXPECT_EQ(std::u16string(buf), u"ab");
    EXPECT_EQ(StringCchCopyNW(buf, 4, TEXT("abcdef"), 5), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buf), u"abc");

    char narrow[3];
    EXPECT_EQ(StringCchCopyA(narrow, 3, "xyz"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(narrow, "xy");
}

TEST(StringCchCat, FillsAndRefusesUnterminatedDestination)
{
    WCHAR buf[6];
    StringCchCopyW(buf, 6, TEXT("ab"));
    EXPECT_EQ(StringCchCatW(buf, 6, TEXT("cd")), S_OK);
    EXPECT_EQ(std::u16string(buf), u"abcd");
    EXPECT_EQ(StringCchCatW(buf, 6, TEXT("efg")), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buf), u"abcde");
    EXPECT_EQ(StringCchCatW(buf, 6, TEXT("")), S_OK);

    WCHAR full[3] = {'x', 'y', 'z'};
    EXPECT_EQ(StringCchCatW(full, 3, TEXT("a")), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(full[2], 'z');  // left as it was
}

TEST(StringCchLength, BoundsAndNull)
{
    size_t n = 99;
    EXPECT_EQ(StringCchLengthW(TEXT("abc"), 4, &n), S_OK);
    EXPECT_EQ(n, 3u);
    n = 99;
    EXPECT_EQ(StringCchLengthW(TEXT("abc"), 3, &n), STRSAFE_E_INVALID_PARAMETER);  // no NUL within 3
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(StringCchLengthW(nullptr, 10, &n), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(StringCchLengthW(TEXT("a"), (size_t)STRSAFE_MAX_CCH + 1, &n), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(StringCchLengthW(TEXT(""), 1, nullptr), S_OK);
}
