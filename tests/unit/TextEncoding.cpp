// UTF conversions, hexadecimal text and byte reversal.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/Encoding.h"

namespace {

typedef std::basic_string<WCHAR> WString;

std::string ToUtf8(LPCWSTR text, HRESULT* phr = nullptr)
{
    char* out = reinterpret_cast<char*>(1);
    UINT len = 12345;
    HRESULT hr = UTF16ToUTF8(text, &out, &len);
    if (phr) *phr = hr;
    std::string s;
    if (SUCCEEDED(hr)) {
        EXPECT_EQ(std::strlen(out), len);
        s.assign(out, len);
    }
    delete[] out;
    return s;
}

WString ToUtf16(const char* text, HRESULT* phr = nullptr)
{
    LPWSTR out = reinterpret_cast<LPWSTR>(1);
    UINT len = 12345;
    HRESULT hr = UTF8ToUTF16(text, &out, &len);
    if (phr) *phr = hr;
    WString s;
    if (SUCCEEDED(hr)) {
        EXPECT_EQ(static_cast<UINT>(lstrlenW(out)), len);
        s.assign(out, len);
    }
    delete[] out;
    return s;
}

WString Hex(const std::vector<BYTE>& data)
{
    LPWSTR out = nullptr;
    EXPECT_EQ(ConvertBinaryDataToString(static_cast<UINT>(data.size()), data.data(), &out), S_OK);
    WString s(out ? out : TEXT(""));
    delete[] out;
    return s;
}

}  // namespace

TEST(Utf16ToUtf8, CountsBytesNotCharacters)
{
    EXPECT_EQ(ToUtf8(TEXT("abc")), "abc");
    EXPECT_EQ(ToUtf8(TEXT("caf\u00e9")), "caf\xc3\xa9");
    EXPECT_EQ(ToUtf8(TEXT("\u4e2d\u6587")), "\xe4\xb8\xad\xe6\x96\x87");
    // U+1F600 is a surrogate pair in UTF-16 and one 4-byte sequence in UTF-8.
    std::string emoji = ToUtf8(TEXT("a\U0001F600b"));
    EXPECT_EQ(emoji, "a\xf0\x9f\x98\x80" "b");
    EXPECT_EQ(emoji.size(), 6u);
}

TEST(Utf16ToUtf8, EmptyAndNull)
{
    char* out = nullptr;
    UINT len = 7;
    ASSERT_EQ(UTF16ToUTF8(TEXT(""), &out, &len), S_OK);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(out[0], '\0');
    delete[] out;

    out = reinterpret_cast<char*>(1);
    EXPECT_EQ(UTF16ToUTF8(nullptr, &out, &len), E_POINTER);
    EXPECT_EQ(out, nullptr);
}

TEST(Utf16ToUtf8, LoneSurrogateBecomesReplacementCharacter)
{
    const WCHAR lone[] = {'x', 0xD800, 'y', 0};
    EXPECT_EQ(ToUtf8(lone), "x\xef\xbf\xbdy");
}

TEST(Utf8ToUtf16, CountsWideCharacters)
{
    EXPECT_EQ(ToUtf16("abc"), WString(TEXT("abc")));
    EXPECT_EQ(ToUtf16("caf\xc3\xa9"), WString(TEXT("caf\u00e9")));
    WString pair = ToUtf16("\xf0\x9f\x98\x80");
    ASSERT_EQ(pair.size(), 2u);
    EXPECT_EQ(pair[0], 0xD83D);
    EXPECT_EQ(pair[1], 0xDE00);
}

TEST(Utf8ToUtf16, EmptyAndNull)
{
    LPWSTR out = nullptr;
    UINT len = 7;
    ASSERT_EQ(UTF8ToUTF16("", &out, &len), S_OK);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(out[0], 0);
    delete[] out;

    out = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(UTF8ToUTF16(nullptr, &out, &len), E_POINTER);
    EXPECT_EQ(out, nullptr);
}

TEST(Utf8ToUtf16, InvalidBytesAreReplacedNotRejected)
{
    // With flags 0 the system conversion substitutes U+FFFD for malformed input.
    HRESULT hr = E_FAIL;
    WString s = ToUtf16("a\xc3(b", &hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(s, WString(TEXT("a\uFFFD(b")));
    s = ToUtf16("\xff", &hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(s, WString(TEXT("\uFFFD")));
}

TEST(Utf8RoundTrip, MixedScripts)
{
    LPCWSTR samples[] = {TEXT("Hello"), TEXT("\u4f60\u597d\uff0c\u4e16\u754c"), TEXT("\uc548\ub155"),
                         TEXT("\U0001F600\U00010348 mix \u00fc")};
    for (LPCWSTR sample : samples) {
        std::string utf8 = ToUtf8(sample);
        EXPECT_EQ(ToUtf16(utf8.c_str()), WString(sample));
    }
}

TEST(ConvertBinaryDataToString, ReadsFromTheLastByte)
{
    EXPECT_EQ(Hex({0x01, 0x02, 0xFF}), WString(TEXT("ff0201")));
    EXPECT_EQ(Hex({}), WString(TEXT("")));
    EXPECT_EQ(Hex({0x00}), WString(TEXT("00")));

    std::vector<BYTE> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<BYTE>(i);
    WString text = Hex(all);
    ASSERT_EQ(text.size(), 512u);
    for (int i = 0; i < 256; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", 255 - i);
        EXPECT_EQ(text[2 * i], static_cast<WCHAR>(two[0])) << i;
        EXPECT_EQ(text[2 * i + 1], static_cast<WCHAR>(two[1])) << i;
    }
}

TEST(ConvertBinaryDataToString, NullArguments)
{
    LPWSTR out = reinterpret_cast<LPWSTR>(1);
    EXPECT_TRUE(FAILED(ConvertBinaryDataToString(3, nullptr, &out)));
    EXPECT_EQ(out, nullptr);
    BYTE b = 1;
    EXPECT_TRUE(FAILED(ConvertBinaryDataToString(1, &b, nullptr)));
}

TEST(SwapByteOrder, ReversesInPlace)
{
    std::vector<BYTE> even = {1, 2, 3, 4};
    SwapByteOrder(even.data(), 4);
    EXPECT_EQ(even, (std::vector<BYTE>{4, 3, 2, 1}));
    std::vector<BYTE> odd = {1, 2, 3, 4, 5};
    SwapByteOrder(odd.data(), 5);
    EXPECT_EQ(odd, (std::vector<BYTE>{5, 4, 3, 2, 1}));
    std::vector<BYTE> one = {9};
    SwapByteOrder(one.data(), 1);
    EXPECT_EQ(one, std::vector<BYTE>{9});
    // A count shorter than the buffer reverses only that prefix.
    std::vector<BYTE> part = {1, 2, 3, 4};
    SwapByteOrder(part.data(), 2);
    EXPECT_EQ(part, (std::vector<BYTE>{2, 1, 3, 4}));
    SwapByteOrder(part.data(), 0);
    EXPECT_EQ(part, (std::vector<BYTE>{2, 1, 3, 4}));
}
