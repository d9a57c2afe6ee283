// Base64EncodeEx and Base64DecodeEx: line layout, flags, limits and the lenient reader.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernel/Encoding.h"

namespace {

struct Encoded {
    HRESULT hr;
    std::string text;
    char* raw;
};

Encoded Encode(const std::vector<BYTE>& data, DWORD flags = 0)
{
    char* out = reinterpret_cast<char*>(1);
    int len = -1;
    HRESULT hr = Base64EncodeEx(data.data(), static_cast<int>(data.size()), &out, &len, flags);
    Encoded e{hr, {}, out};
    if (SUCCEEDED(hr)) {
        e.text.assign(out, static_cast<size_t>(len));
        // The text is terminated right after the reported count.
        EXPECT_EQ(std::strlen(out), static_cast<size_t>(len));
    }
    delete[] out;
    return e;
}

std::vector<BYTE> Decode(const std::string& text, HRESULT* phr = nullptr)
{
    BYTE* out = nullptr;
    int len = -1;
    HRESULT hr = Base64DecodeEx(text.data(), static_cast<int>(text.size()), &out, &len);
    if (phr) *phr = hr;
    std::vector<BYTE> bytes;
    if (SUCCEEDED(hr)) {
        EXPECT_NE(out, nullptr);
        EXPECT_LE(len * 4, static_cast<int>(text.size()) * 3);
        bytes.assign(out, out + len);
        // The buffer is as large as the source and zero beyond what was decoded.
        for (int i = len; i < static_cast<int>(text.size()); ++i) EXPECT_EQ(out[i], 0) << i;
    }
    delete[] out;
    return bytes;
}

std::vector<BYTE> Bytes(size_t n, unsigned seed = 1)
{
    std::mt19937 rng(seed);
    std::vector<BYTE> v(n);
    for (auto& b : v) b = static_cast<BYTE>(rng());
    return v;
}

// OpenSSL's unbroken, padded Base64 of the same bytes.
std::string Reference(const std::vector<BYTE>& data)
{
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(), static_cast<int>(data.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string WithoutLineBreaks(std::string s)
{
    std::string out;
    for (char c : s)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

std::string Repeat(char c, size_t n) { return std::string(n, c); }

}  // namespace

TEST(Base64Encode, ShortInputsWithDefaultFlags)
{
    EXPECT_EQ(Encode({}).text, "");
    EXPECT_EQ(Encode({0x00}).text, "AA==");
    EXPECT_EQ(Encode({0xFF, 0xFE}).text, "//4=");
    EXPECT_EQ(Encode({'A', 'B', 'C'}).text, "QUJD");
    EXPECT_EQ(Encode({'A', 'B', 'C', 'D'}).text, "QUJDRA==");
}

TEST(Base64Encode, LineBreaksAroundTheFirstFullLine)
{
    std::vector<BYTE> zeros57(57, 0), zeros58(58, 0), zeros60(60, 0);
    Encoded e57 = Encode(zeros57);
    EXPECT_EQ(e57.text, Repeat('A', 76) + "\r\n");
    Encoded e58 = Encode(zeros58);
    EXPECT_EQ(e58.text, Repeat('A', 76) + "\r\nAA==");
    Encoded e60 = Encode(zeros60);
    EXPECT_EQ(e60.text, Repeat('A', 76) + "\r\nAAAA");
    EXPECT_EQ(Encode(std::vector<BYTE>(56, 0)).text, Repeat('A', 75) + "=");
}

TEST(Base64Encode, MultiplesOfNineteenGroupsKeepTheLastBreak)
{
    for (int k = 1; k <= 5; ++k) {
        std::vector<BYTE> data = Bytes(57 * k, k);
        std::string text = Encode(data).text;
        ASSERT_EQ(text.size(), static_cast<size_t>(78 * k)) << k;
        for (int line = 0; line < k; ++line) EXPECT_EQ(text.substr(78 * line + 76, 2), "\r\n") << k;

        std::vector<BYTE> more = Bytes(57 * k + 1, k);
        std::string text2 = Encode(more).text;
        EXPECT_EQ(text2.size(), static_cast<size_t>(78 * k + 4)) << k;
        EXPECT_EQ(text2.substr(text2.size() - 6, 2), "\r\n");
        EXPECT_EQ(text2.substr(text2.size() - 2), "==");

        std::vector<BYTE> less = Bytes(57 * k - 1, k);
        std::string text3 = Encode(less).text;
        EXPECT_NE(text3.substr(text3.size() - 2), "\r\n") << k;
        EXPECT_EQ(text3.back(), '=');
    }
}

TEST(Base64Encode, EveryLineHoldsSeventySixCharacters)
{
    std::string text = Encode(Bytes(1000)).text;
    size_t start = 0;
    std::vector<size_t> lengths;
    for (size_t pos; (pos = text.find("\r\n", start)) != std::string::npos; start = pos + 2) lengths.push_back(pos - start);
    lengths.push_back(text.size() - start);
    ASSERT_EQ(lengths.size(), 18u);  // 1336 symbols
    for (size_t i = 0; i + 1 < lengths.size(); ++i) EXPECT_EQ(lengths[i], 76u);
    EXPECT_EQ(lengths.back(), 1336u - 17 * 76);
}

TEST(Base64Encode, FlagsDropPaddingAndLineBreaks)
{
    EXPECT_EQ(Encode({0x00}, BASE64_FLAG_NOPAD).text, "AA");
    EXPECT_EQ(Encode({0xFF, 0xFE}, BASE64_FLAG_NOPAD).text, "//4");
    std::vector<BYTE> data = Bytes(300);
    std::string oneLine = Encode(data, BASE64_FLAG_NOCRLF).text;
    EXPECT_EQ(oneLine.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(oneLine, Reference(data));
    std::string bare = Encode(Bytes(301), BASE64_FLAG_NOPAD | BASE64_FLAG_NOCRLF).text;
    EXPECT_EQ(bare.find_first_of("\r\n="), std::string::npos);
    EXPECT_EQ(bare.size(), 402u);
    EXPECT_EQ(Encode(std::vector<BYTE>(57, 0), BASE64_FLAG_NOCRLF).text, Repeat('A', 76));
}

TEST(Base64Encode, MatchesOpenSslForManySizesAndFlags)
{
    for (size_t n = 0; n < 700; ++n) {
        std::vector<BYTE> data = Bytes(n, static_cast<unsigned>(n));
        std::string ref = Reference(data);
        for (DWORD flags = 0; flags < 4; ++flags) {
            Encoded e = Encode(data, flags);
            ASSERT_EQ(e.hr, S_OK);
            std::string got = WithoutLineBreaks(e.text);
            std::string want = ref;
            if (flags & BASE64_FLAG_NOPAD) want.erase(want.find_last_not_of('=') + 1);
            ASSERT_EQ(got, want) << "n=" << n << " flags=" << flags;
            if (flags & BASE64_FLAG_NOCRLF) {
                ASSERT_EQ(got, e.text);
            }
            ASSERT_EQ(Decode(e.text), data) << "n=" << n << " flags=" << flags;
        }
    }
}

TEST(Base64Encode, RefusesSourcesAboveTheLimit)
{
    BYTE small[4] = {1, 2, 3, 4};
    char* out = reinterpret_cast<char*>(1);
    int len = -1;
    // Refused before anything is read or allocated.
    EXPECT_EQ(Base64EncodeEx(small, 536870912, &out, &len, 0), E_FAIL);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(Base64EncodeEx(small, 0x7FFFFFFF, &out, &len, 0), E_FAIL);
    EXPECT_EQ(Base64EncodeEx(small, -1, &out, &len, 0), E_FAIL);
    EXPECT_EQ(out, nullptr);
}

TEST(Base64Encode, NullSourceGivesNullOutput)
{
    char* out = reinterpret_cast<char*>(1);
    int len = -1;
    EXPECT_TRUE(FAILED(Base64EncodeEx(nullptr, 5, &out, &len, 0)));
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(FAILED(Base64EncodeEx(reinterpret_cast<const BYTE*>("x"), 1, nullptr, &len, 0)));
}

TEST(Base64Decode, LineBreaksAndOtherNonSymbolsAreSkipped)
{
    std::vector<BYTE> data = Bytes(500, 7);
    std::string broken = Encode(data).text;
    ASSERT_NE(broken.find("\r\n"), std::string::npos);
    std::string flat = Encode(data, BASE64_FLAG_NOCRLF).text;
    EXPECT_EQ(Decode(broken), data);
    EXPECT_EQ(Decode(flat), data);

    EXPECT_EQ(Decode(" Q U\tJ\nD "), (std::vector<BYTE>{'A', 'B', 'C'}));
    EXPECT_EQ(Decode("Q\x80U\xffJ\x01" "D"), (std::vector<BYTE>{'A', 'B', 'C'}));
    EXPECT_EQ(Decode("=QUJD="), (std::vector<BYTE>{'A', 'B', 'C'}));
}

TEST(Base64Decode, PaddingNeverEndsTheStream)
{
    EXPECT_EQ(Decode("QQ==QQ=="), (std::vector<BYTE>{0x41, 0x04, 0x10}));
    // "QQ==" alone is one byte; more symbols after the pad continue the stream.
    EXPECT_EQ(Decode("QQ=="), (std::vector<BYTE>{'A'}));
    EXPECT_EQ(Decode("QUI=QUJD"), (std::vector<BYTE>{0x41, 0x42, 0x10, 0x50, 0x90}));
}

TEST(Base64Decode, ShortFinalGroups)
{
    EXPECT_EQ(Decode("QUJDRA"), (std::vector<BYTE>{'A', 'B', 'C', 'D'}));
    EXPECT_EQ(Decode("QUJDREU"), (std::vector<BYTE>{'A', 'B', 'C', 'D', 'E'}));
    // A lone final symbol carries fewer than 8 bits and gives nothing.
    EXPECT_EQ(Decode("QUJDR"), (std::vector<BYTE>{'A', 'B', 'C'}));
    EXPECT_EQ(Decode("R"), std::vector<BYTE>{});
    EXPECT_EQ(Decode("\r\n=="), std::vector<BYTE>{});
}

TEST(Base64Decode, NulEndsOnlyBetweenGroups)
{
    EXPECT_EQ(Decode(std::string("QUJD\0QUJD", 9)), (std::vector<BYTE>{'A', 'B', 'C'}));
    EXPECT_EQ(Decode(std::string("QU\0JD", 5)), (std::vector<BYTE>{'A', 'B', 'C'}));
    EXPECT_EQ(Decode(std::string("QUJDQ\0UJD", 9)), (std::vector<BYTE>{'A', 'B', 'C', 'A', 'B', 'C'}));
    EXPECT_EQ(Decode(std::string("\0QUJD", 5)), std::vector<BYTE>{});
    // A group begins at the CR, so the NUL after it is inside the group and skipped.
    EXPECT_EQ(Decode(std::string("QUJD\r\n\0QUJD", 11)), (std::vector<BYTE>{'A', 'B', 'C', 'A', 'B', 'C'}));
}

TEST(Base64Decode, NonPositiveCountsFail)
{
    BYTE* out = reinterpret_cast<BYTE*>(1);
    int len = -1;
    EXPECT_EQ(Base64DecodeEx("QUJD", 0, &out, &len), E_FAIL);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<BYTE*>(1);
    EXPECT_EQ(Base64DecodeEx("QUJD", -4, &out, &len), E_FAIL);
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(FAILED(Base64DecodeEx(nullptr, 4, &out, &len)));
    EXPECT_EQ(out, nullptr);
}

TEST(Base64Decode, CountLimitsTheRead)
{
    // Only the first four characters are given: the rest of the string is never read.
    const char text[] = "QUJDREVG";
    BYTE* out = nullptr;
    int len = 0;
    ASSERT_EQ(Base64DecodeEx(text, 4, &out, &len), S_OK);
    EXPECT_EQ(len, 3);
    delete[] out;
}

TEST(Base64Decode, AgreesWithOpenSslOnCleanText)
{
    for (size_t n = 1; n < 400; n += 7) {
        std::vector<BYTE> data = Bytes(n, static_cast<unsigned>(n) + 100);
        std::string ref = Reference(data);
        EXPECT_EQ(Decode(ref), data) << n;
    }
}
