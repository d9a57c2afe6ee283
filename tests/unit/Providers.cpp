// The hash algorithm table, the digest OID lookup and the provider chosen for each algorithm.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kernel/Providers.h"

namespace {

struct Row {
    ALG_ID algId;
    const char* digest;
    const char* signature;
};

const Row kRows[] = {
    {CALG_MD5, "1.2.840.113549.2.5", "1.2.840.113549.1.1.4"},
    {CALG_SHA1, "1.3.14.3.2.26", "1.2.840.113549.1.1.1"},
    {CALG_SHA_256, "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11"},
    {CALG_SHA_384, "2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.12"},
    {CALG_SHA_512, "2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.13"},
};

std::string ProviderName(HCRYPTPROV hProv)
{
    char* name = nullptr;
    DWORD cb = 0;
    HRESULT hr = GetProviderInfo(hProv, &name, &cb);
    std::string s = SUCCEEDED(hr) && name != nullptr ? std::string(name) : std::string("<failed>");
    delete[] name;
    return s;
}

}  // namespace

TEST(AlgorithmIdentifiers, EveryRowOfTheTable)
{
    for (const Row& r : kRows) {
        LPCSTR digest = nullptr, signature = nullptr;
        ASSERT_TRUE(GetAlgorithmIdentifiers(&digest, &signature, r.algId)) << std::hex << r.algId;
        EXPECT_STREQ(digest, r.digest);
        EXPECT_STREQ(signature, r.signature);
    }
    // Values written out, not through the macros, so that a wrong macro shows too.
    LPCSTR digest = nullptr, signature = nullptr;
    ASSERT_TRUE(GetAlgorithmIdentifiers(&digest, &signature, 0x8004));
    EXPECT_STREQ(signature, "1.2.840.113549.1.1.1");  // SHA-1 is labelled rsaEncryption
    ASSERT_TRUE(GetAlgorithmIdentifiers(&digest, &signature, 0x800E));
    EXPECT_STREQ(digest, "2.16.840.1.101.3.4.2.3");
}

TEST(AlgorithmIdentifiers, UnknownAlgorithmLeavesOutputsAlone)
{
    const char* sentinel1 = "keep-1";
    const char* sentinel2 = "keep-2";
    for (ALG_ID algId : {0x8005u, 0x0u, 0x8001u, 0x800Fu, static_cast<ALG_ID>(CALG_3DES), static_cast<ALG_ID>(CALG_RSA_SIGN)}) {
        LPCSTR digest = sentinel1, signature = sentinel2;
        EXPECT_FALSE(GetAlgorithmIdentifiers(&digest, &signature, algId)) << std::hex << algId;
        EXPECT_EQ(digest, sentinel1);
        EXPECT_EQ(signature, sentinel2);
    }
}

TEST(HashAlgIdFromOid, ExactDigestOidsOnly)
{
    for (const Row& r : kRows) {
        ALG_ID algId = 0xDEAD;
        EXPECT_EQ(GetHashALGID(r.digest, &algId), S_OK) << r.digest;
        EXPECT_EQ(algId, r.algId);
    }
    const char* refused[] = {
        "2.16.840.1.101.3.4.2.1 ",  // trailing space
        " 2.16.840.1.101.3.4.2.1",
        "2.16.840.1.101.3.4.2.",    // a prefix
        "2.16.840.1.101.3.4.2.10",  // an extension
        "1.2.840.113549.1.1.11",    // a signature OID is not a digest OID
        "1.2.840.113549.1.1.1",
        "",
    };
    for (const char* oid : refused) {
        ALG_ID algId = 0xDEAD;
        EXPECT_EQ(GetHashALGID(oid, &algId), NTE_BAD_ALGID) << '"' << oid << '"';
        EXPECT_EQ(algId, 0u);
    }
    ALG_ID algId = 0xDEAD;
    EXPECT_EQ(GetHashALGID(nullptr, &algId), NTE_BAD_ALGID);
    EXPECT_EQ(algId, 0u);
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_ALGID), 0x80090008u);
}

TEST(ProviderByAlgorithm, EachAlgorithmGetsItsProvider)
{
    struct Case {
        ALG_ID algId;
        const char* provider;
    } cases[] = {
        {CALG_MD5, "Microsoft Enhanced Cryptographic Provider v1.0"},
        {CALG_SHA1, "Microsoft Enhanced Cryptographic Provider v1.0"},
        {CALG_3DES, "Microsoft Enhanced Cryptographic Provider v1.0"},
        {CALG_3DES_112, "Microsoft Enhanced Cryptographic Provider v1.0"},
        // The SHA-2 hashes take the system's default provider of PROV_RSA_AES.
        {CALG_SHA_256, "Microsoft Enhanced RSA and AES Cryptographic Provider"},
        {CALG_SHA_384, "Microsoft Enhanced RSA and AES Cryptographic Provider"},
        {CALG_SHA_512, "Microsoft Enhanced RSA and AES Cryptographic Provider"},
        // Everything else falls back to the Base provider rather than being refused.
        {CALG_RC2, "Microsoft Base Cryptographic Provider v1.0"},
        {CALG_RC4, "Microsoft Base Cryptographic Provider v1.0"},
        {0, "Microsoft Base Cryptographic Provider v1.0"},
        {0x8005, "Microsoft Base Cryptographic Provider v1.0"},
    };
    for (const Case& c : cases) {
        HCRYPTPROV hProv = 0;
        ASSERT_EQ(CryptAcquireContextbyAlgorithm(&hProv, c.algId), S_OK) << std::hex << c.algId;
        ASSERT_NE(hProv, 0u);
        EXPECT_EQ(ProviderName(hProv), c.provider) << std::hex << c.algId;
        EXPECT_TRUE(CryptReleaseContext(hProv, 0));
    }
}

TEST(ProviderByAlgorithm, TheContextHashesWithItsAlgorithm)
{
    for (const Row& r : kRows) {
        HCRYPTPROV hProv = 0;
        ASSERT_EQ(CryptAcquireContextbyAlgorithm(&hProv, r.algId), S_OK);
        HCRYPTHASH hHash = 0;
        EXPECT_TRUE(CryptCreateHash(hProv, r.algId, 0, 0, &hHash)) << std::hex << r.algId << " " << GetLastError();
        if (hHash != 0) CryptDestroyHash(hHash);
        CryptReleaseContext(hProv, 0);
    }
}

TEST(AesProviderName, FindsTheTypeTwentyFourProvider)
{
    LPWSTR name = nullptr;
    ASSERT_EQ(GetAESProviderName(&name), S_OK);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(lstrcmpW(name, MS_ENH_RSA_AES_PROV_W), 0);
    delete[] name;
}

TEST(ProviderInfo, SizeCountsTheTerminator)
{
    for (LPCWSTR provider : {MS_DEF_PROV_W, MS_ENHANCED_PROV_W, MS_ENH_RSA_AES_PROV_W}) {
        DWORD type = lstrcmpW(provider, MS_ENH_RSA_AES_PROV_W) == 0 ? PROV_RSA_AES : PROV_RSA_FULL;
        HCRYPTPROV hProv = 0;
        ASSERT_TRUE(CryptAcquireContextW(&hProv, nullptr, provider, type, CRYPT_VERIFYCONTEXT));
        char* name = nullptr;
        DWORD cb = 0;
        ASSERT_EQ(GetProviderInfo(hProv, &name, &cb), S_OK);
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(cb, static_cast<DWORD>(lstrlenW(provider) + 1));
        EXPECT_EQ(std::strlen(name) + 1, cb);
        delete[] name;
        CryptReleaseContext(hProv, 0);
    }
}

TEST(ProviderInfo, InvalidHandleFailsWithTheLastError)
{
    char* name = reinterpret_cast<char*>(1);
    DWORD cb = 77;
    HRESULT hr = GetProviderInfo(static_cast<HCRYPTPROV>(0x12345), &name, &cb);
    EXPECT_LT(hr, 0);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(cb, 0u);
}
