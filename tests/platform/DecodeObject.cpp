// CryptDecodeObjectEx and CryptDecodeObject: copy and no-copy results, allocation, the size
// pattern, and the error codes of malformed and unsupported input.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

HRESULT DecodeError(LPCSTR type, std::vector<BYTE> in)
{
    DWORD size = 0;
    SetLastError(0);
    const BOOL ok = CryptDecodeObjectEx(kEnc, type, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                                        CRYPT_DECODE_NOCOPY_FLAG, nullptr, nullptr, &size);
    return ok ? S_OK : static_cast<HRESULT>(GetLastError());
}

}  // namespace

TEST(CryptDecodeObjectEx, KeyUsageBitStrings)
{
    // digitalSignature + keyEncipherment, then a two-byte usage with decipherOnly.
    const BYTE one[] = {0x03, 0x02, 0x05, 0xA0};
    BYTE block[64];
    DWORD size = sizeof(block);
    ASSERT_TRUE(CryptDecodeObjectEx(kEnc, X509_KEY_USAGE, one, sizeof(one), 0, nullptr, block, &size));
    EXPECT_EQ(size, sizeof(CRYPT_BIT_BLOB) + 1);
    auto* bits = reinterpret_cast<CRYPT_BIT_BLOB*>(block);
    EXPECT_EQ(bits->cbData, 1u);
    EXPECT_EQ(bits->cUnusedBits, 5u);
    EXPECT_EQ(bits->pbData, block + sizeof(CRYPT_BIT_BLOB));  // a self-contained copy
    EXPECT_EQ(bits->pbData[0], 0xA0);

    const BYTE two[] = {0x03, 0x03, 0x07, 0x80, 0x80};
    size = sizeof(block);
    ASSERT_TRUE(CryptDecodeObjectEx(kEnc, szOID_KEY_USAGE, two, sizeof(two), CRYPT_DECODE_NOCOPY_FLAG, nullptr,
                                    block, &size));
    EXPECT_EQ(size, sizeof(CRYPT_BIT_BLOB));
    EXPECT_EQ(bits->cbData, 2u);
    EXPECT_EQ(bits->pbData, two + 3);  // points into the input
    EXPECT_EQ(bits->cUnusedBits, 7u);

    // No bits at all.
    const BYTE none[] = {0x03, 0x01, 0x00};
    size = sizeof(block);
    ASSERT_TRUE(CryptDecodeObjectEx(kEnc, X509_KEY_USAGE, none, sizeof(none), 0, nullptr, block, &size));
    EXPECT_EQ(bits->cbData, 0u);
    EXPECT_EQ(bits->pbData, nullptr);
}

TEST(CryptDecodeObjectEx, SubjectKeyIdentifierCopyAndNoCopy)
{
    std::vector<BYTE> in = {0x04, 0x05, 1, 2, 3, 4, 5};
    DWORD size = 0;
    ASSERT_TRUE(CryptDecodeObjectEx(kEnc, szOID_SUBJECT_KEY_IDENTIFIER, in.data(), 7, 0, nullptr, nullptr, &size));
    EXPECT_EQ(size, sizeof(CRYPT_DATA_BLOB) + 5);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(CryptDecodeObjectEx(kEnc, szOID_SUBJECT_KEY_IDENTIFIER, in.data(), 7, 0, nullptr, block.data(), &size));
    auto* id = reinterpret_cast<CRYPT_DATA_BLOB*>(block.data());
    ASSERT_EQ(id->cbData, 5u);
    in[2] = 0xEE;  // the copy must not depend on the input any more
    EXPECT_EQ(id->pbData[0], 1);
    EXPECT_EQ(id->pbData[4], 5);

    DWORD small = 0;
    ASSERT_TRUE(CryptDecodeObjectEx(kEnc, szOID_SUBJECT_KEY_IDENTIFIER, in.data(), 7, CRYPT_DECODE_NOCOPY_FLAG,
                                    nullptr, nullptr, &small));
    EXPECT_EQ(small, sizeof(CRYPT_DATA_BLOB));
    CRYPT_DATA_BLOB nocopy{};
    ASSERT_TRUE(CryptDecodeObjectEx(kEnc, szOID_SUBJECT_KEY_IDENTIFIER, in.data(), 7, CRYPT_DECODE_NOCOPY_FLAG,
                                    nullptr, &nocopy, &small));
    EXPECT_EQ(nocopy.pbData, in.data() + 2);
    EXPECT_EQ(nocopy.cbData, 5u);

    // The plain octet string type decodes the same, and the older form too.
    CRYPT_DATA_BLOB plain{};
    small = sizeof(plain);
    ASSERT_TRUE(CryptDecodeObject(kEnc, X509_OCTET_STRING, in.data(), 7, CRYPT_DECODE_NOCOPY_FLAG, &plain, &small));
    EXPECT_EQ(plain.pbData, in.data() + 2);
}

TEST(CryptDecodeObjectEx, AllocFlagReturnsALocalBlockTheCallerFrees)
{
    const BYTE in[] = {0x04, 0x03, 9, 8, 7};
    CRYPT_DATA_BLOB* id = nullptr;
    DWORD size = 0;
    ASSERT_TRUE(CryptDecodeObjectEx(kEnc, szOID_SUBJECT_KEY_IDENTIFIER, in, sizeof(in), CRYPT_DECODE_ALLOC_FLAG,
                                    nullptr, &id, &size));
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(size, sizeof(CRYPT_DATA_BLOB) + 3);
    EXPECT_EQ(id->cbData, 3u);
    EXPECT_EQ(id->pbData, reinterpret_cast<BYTE*>(id) + sizeof(CRYPT_DATA_BLOB));
    EXPECT_EQ(id->pbData[2], 7);
    EXPECT_EQ(LocalFree(id), nullptr);

    // A caller's allocator is used when given.
    static int allocations = 0;
    CRYPT_DECODE_PARA para{sizeof(para), [](size_t n) -> LPVOID { ++allocations; return LocalAlloc(LMEM_FIXED, n); },
                           [](LPVOID p) { LocalFree(p); }};
    CRYPT_BIT_BLOB* bits = nullptr;
    const BYTE ku[] = {0x03, 0x02, 0x07, 0x80};
    ASSERT_TRUE(CryptDecodeObjectEx(kEnc, X509_KEY_USAGE, ku, sizeof(ku), CRYPT_DECODE_ALLOC_FLAG, &para, &bits, &size));
    EXPECT_EQ(allocations, 1);
    EXPECT_EQ(bits->pbData[0], 0x80);
    para.pfnFree(bits);
}

TEST(CryptDecodeObjectEx, ShortBufferGivesMoreDataAndTheNeededSize)
{
    const BYTE in[] = {0x04, 0x04, 1, 2, 3, 4};
    BYTE block[sizeof(CRYPT_DATA_BLOB) + 4];
    std::memset(block, 0x55, sizeof(block));
    DWORD size = sizeof(block) - 1;
    SetLastError(0);
    EXPECT_FALSE(CryptDecodeObjectEx(kEnc, szOID_SUBJECT_KEY_IDENTIFIER, in, sizeof(in), 0, nullptr, block, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, sizeof(block));
    EXPECT_EQ(block[0], 0x55) << "nothing is written to a short buffer";
}

TEST(CryptDecodeObjectEx, MalformedInputFailsWithAsn1Codes)
{
    EXPECT_EQ(DecodeError(X509_KEY_USAGE, {}), CRYPT_E_ASN1_EOD);
    EXPECT_EQ(DecodeError(X509_KEY_USAGE, {0x03}), CRYPT_E_ASN1_EOD);
    EXPECT_EQ(DecodeError(X509_KEY_USAGE, {0x03, 0x02, 0x05}), CRYPT_E_ASN1_EOD);
    EXPECT_EQ(DecodeError(X509_KEY_USAGE, {0x04, 0x02, 0x05, 0xA0}), CRYPT_E_ASN1_BADTAG);
    EXPECT_EQ(DecodeError(X509_KEY_USAGE, {0x03, 0x00}), CRYPT_E_ASN1_CORRUPT);          // no unused-bits octet
    EXPECT_EQ(DecodeError(X509_KEY_USAGE, {0x03, 0x02, 0x08, 0xA0}), CRYPT_E_ASN1_CORRUPT);  // 8 unused bits
    EXPECT_EQ(DecodeError(X509_KEY_USAGE, {0x03, 0x01, 0x03}), CRYPT_E_ASN1_CORRUPT);    // unused bits of nothing
    EXPECT_EQ(DecodeError(X509_KEY_USAGE, {0x03, 0x02, 0x05, 0xA0, 0x00}), CRYPT_E_ASN1_CORRUPT);  // trailing
    EXPECT_EQ(DecodeError(X509_KEY_USAGE, {0x03, 0x80, 0x05, 0xA0, 0x00, 0x00}), CRYPT_E_ASN1_CORRUPT);
    EXPECT_EQ(DecodeError(szOID_SUBJECT_KEY_IDENTIFIER, {0x04, 0x81}), CRYPT_E_ASN1_EOD);
    EXPECT_EQ(DecodeError(szOID_SUBJECT_KEY_IDENTIFIER, {0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}), CRYPT_E_ASN1_EOD);
    EXPECT_EQ(DecodeError(szOID_SUBJECT_KEY_IDENTIFIER, {0x04, 0x85, 1, 0, 0, 0, 0}), CRYPT_E_ASN1_LARGE);
    EXPECT_EQ(DecodeError(szOID_SUBJECT_KEY_IDENTIFIER, {0x1F, 0x04, 0x00}), CRYPT_E_ASN1_BADTAG);
    // A long-form length is accepted where the data is there.
    std::vector<BYTE> longForm = {0x04, 0x81, 0x80};
    longForm.resize(3 + 0x80, 0x11);
    EXPECT_EQ(DecodeError(szOID_SUBJECT_KEY_IDENTIFIER, longForm), S_OK);
}

TEST(CryptDecodeObjectEx, UnsupportedTypesAndBadArguments)
{
    const BYTE in[] = {0x04, 0x01, 0x00};
    DWORD size = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptDecodeObjectEx(kEnc, "1.2.3.4", in, sizeof(in), 0, nullptr, nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CryptDecodeObjectEx(kEnc, reinterpret_cast<LPCSTR>(9999), in, sizeof(in), 0, nullptr, nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // No ASN.1 encoding type asked for.
    EXPECT_FALSE(CryptDecodeObjectEx(0, X509_OCTET_STRING, in, sizeof(in), 0, nullptr, nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CryptDecodeObjectEx(kEnc, X509_OCTET_STRING, in, sizeof(in), 0, nullptr, nullptr, nullptr));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
}
