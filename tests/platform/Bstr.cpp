// BSTR layout and lengths: the byte-count prefix, the trailing zero WCHAR, odd byte counts.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

namespace {

DWORD Prefix(BSTR s)
{
    DWORD v;
    std::memcpy(&v, reinterpret_cast<BYTE*>(s) - 4, 4);
    return v;
}

}  // namespace

TEST(Bstr, LayoutOfAllocString)
{
    BSTR s = SysAllocString(TEXT("h\u00E9llo"));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Prefix(s), 10u);
    EXPECT_EQ(SysStringLen(s), 5u);
    EXPECT_EQ(SysStringByteLen(s), 10u);
    EXPECT_EQ(s[5], 0);
    EXPECT_EQ(std::u16string(s), u"h\u00E9llo");
    SysFreeString(s);

    BSTR empty = SysAllocString(TEXT(""));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    EXPECT_EQ(empty[0], 0);
    SysFreeString(empty);
}

TEST(Bstr, NullInputs)
{
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);

    // A length without text gives an allocated, zero-filled string of that length.
    BSTR s = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 4u);
    for (int i = 0; i <= 4; ++i) EXPECT_EQ(s[i], 0) << i;
    SysFreeString(s);
}

TEST(Bstr, AllocStringLenKeepsEmbeddedZeros)
{
    const WCHAR text[] = {'a', 0, 'b', 'c', 'X'};
    BSTR s = SysAllocStringLen(text, 4);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 4u);
    EXPECT_EQ(s[2], 'b');
    EXPECT_EQ(s[3], 'c');
    EXPECT_EQ(s[4], 0);  // 'X' was not copied
    SysFreeString(s);
}

TEST(Bstr, OddByteLengthStillEndsInZeroWchar)
{
    BSTR s = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringByteLen(s), 3u);
    EXPECT_EQ(SysStringLen(s), 1u);
    const BYTE* b = reinterpret_cast<const BYTE*>(s);
    EXPECT_EQ(std::memcmp(b, "abc", 3), 0);
    EXPECT_EQ(b[3], 0);
    EXPECT_EQ(s[2], 0);  // the WCHAR after the last byte
    SysFreeString(s);

    BSTR z = SysAllocStringByteLen(nullptr, 5);
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(SysStringByteLen(z), 5u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(reinterpret_cast<const BYTE*>(z)[i], 0) << i;
    SysFreeString(z);
}

TEST(Bstr, ReAllocFromItsOwnText)
{
    BSTR s = SysAllocString(TEXT("hello world"));
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(SysReAllocString(&s, s + 6));
    EXPECT_EQ(std::u16string(s), u"world");
    EXPECT_EQ(SysStringLen(s), 5u);

    ASSERT_TRUE(SysReAllocStringLen(&s, s + 1, 2));
    EXPECT_EQ(std::u16string(s), u"or");

    // Without new text the old text is kept and the growth is zero.
    ASSERT_TRUE(SysReAllocStringLen(&s, nullptr, 4));
    EXPECT_EQ(SysStringLen(s), 4u);
    EXPECT_EQ(s[0], 'o');
    EXPECT_EQ(s[1], 'r');
    EXPECT_EQ(s[2], 0);
    EXPECT_EQ(s[4], 0);
    SysFreeString(s);

    EXPECT_FALSE(SysReAllocString(nullptr, TEXT("x")));
}
