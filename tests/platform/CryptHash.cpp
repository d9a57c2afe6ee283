// Hash objects against OpenSSL's own digests, their parameters and their states.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Algorithm {
    ALG_ID Id;
    const char* OpenSslName;
    DWORD Size;
};

const Algorithm kAlgorithms[] = {
    {CALG_MD5, "MD5", 16},         {CALG_SHA1, "SHA1", 20},       {CALG_SHA_256, "SHA256", 32},
    {CALG_SHA_384, "SHA384", 48}, {CALG_SHA_512, "SHA512", 64},
};

std::vector<BYTE> Reference(const char* name, const std::vector<BYTE>& data)
{
    std::vector<BYTE> out(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &size, EVP_get_digestbyname(name), nullptr), 1);
    out.resize(size);
    return out;
}

std::vector<BYTE> Value(HCRYPTHASH hash)
{
    DWORD size = 0;
    EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, nullptr, &size, 0));
    std::vector<BYTE> out(size);
    EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, out.data(), &size, 0));
    out.resize(size);
    return out;
}

class CryptHashTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CryptAcquireContextW(&m_aes, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
        ASSERT_TRUE(CryptAcquireContextW(&m_full, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                                         CRYPT_VERIFYCONTEXT));
    }
    void TearDown() override
    {
        CryptReleaseContext(m_aes, 0);
        CryptReleaseContext(m_full, 0);
    }
    HCRYPTPROV m_aes = 0;
    HCRYPTPROV m_full = 0;
};

TEST_F(CryptHashTest, ValuesMatchOpenSslWholeAndInPieces)
{
    std::vector<BYTE> data(100003);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<BYTE>(i * 31 + 7);
    for (const Algorithm& alg : kAlgorithms) {
        SCOPED_TRACE(alg.OpenSslName);
        std::vector<BYTE> expected = Reference(alg.OpenSslName, data);

        HCRYPTHASH whole = 0;
        ASSERT_TRUE(CryptCreateHash(m_aes, alg.Id, 0, 0, &whole));
        ASSERT_TRUE(CryptHashData(whole, data.data(), static_cast<DWORD>(data.size()), 0));
        EXPECT_EQ(Value(whole), expected);
        EXPECT_TRUE(CryptDestroyHash(whole));

        // Uneven pieces, an empty one among them.
        HCRYPTHASH pieces = 0;
        ASSERT_TRUE(CryptCreateHash(m_aes, alg.Id, 0, 0, &pieces));
        size_t pos = 0, step = 1;
        while (pos < data.size()) {
            size_t n = std::min(step, data.size() - pos);
            ASSERT_TRUE(CryptHashData(pieces, data.data() + pos, static_cast<DWORD>(n), 0));
            ASSERT_TRUE(CryptHashData(pieces, nullptr, 0, 0));
            pos += n;
            step = step * 3 + 1;
        }
        EXPECT_EQ(Value(pieces), expected);
        EXPECT_TRUE(CryptDestroyHash(pieces));
    }
}

TEST_F(CryptHashTest, EmptyInputIsTheDigestOfNothing)
{
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(m_full, CALG_SHA1, 0, 0, &hash));
    EXPECT_EQ(Value(hash), Reference("SHA1", {}));
    CryptDestroyHash(hash);
}

TEST_F(CryptHashTest, Sha2OnlyInTheAesProviders)
{
    HCRYPTHASH hash = 0;
    for (ALG_ID id : {CALG_SHA_256, CALG_SHA_384, CALG_SHA_512}) {
        EXPECT_FALSE(CryptCreateHash(m_full, id, 0, 0, &hash));
        EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_ALGID);
        EXPECT_EQ(hash, 0u);
    }
    for (ALG_ID id : {CALG_MD5, CALG_SHA1}) {
        ASSERT_TRUE(CryptCreateHash(m_full, id, 0, 0, &hash));
        CryptDestroyHash(hash);
    }
    EXPECT_FALSE(CryptCreateHash(m_aes, CALG_RSA_SIGN, 0, 0, &hash));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_ALGID);
    EXPECT_FALSE(CryptCreateHash(m_aes, CALG_SHA1, 0, 0x100, &hash));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_FLAGS);
    EXPECT_FALSE(CryptCreateHash(0x12345, CALG_SHA1, 0, 0, &hash));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_UID);
}

TEST_F(CryptHashTest, ParametersAndTheSizePattern)
{
    for (const Algorithm& alg : kAlgorithms) {
        SCOPED_TRACE(alg.OpenSslName);
        HCRYPTHASH hash = 0;
        ASSERT_TRUE(CryptCreateHash(m_aes, alg.Id, 0, 0, &hash));
        DWORD value = 0, size = sizeof value;
        ASSERT_TRUE(CryptGetHashParam(hash, HP_ALGID, reinterpret_cast<BYTE*>(&value), &size, 0));
        EXPECT_EQ(value, alg.Id);
        size = sizeof value;
        ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&value), &size, 0));
        EXPECT_EQ(value, alg.Size);

        size = 0;
        ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, nullptr, &size, 0));
        EXPECT_EQ(size, alg.Size);
        BYTE buffer[64];
        size = alg.Size - 1;
        EXPECT_FALSE(CryptGetHashParam(hash, HP_HASHVAL, buffer, &size, 0));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_MORE_DATA);
        EXPECT_EQ(size, alg.Size);
        // Neither the size query nor the short buffer closed the hash.
        BYTE byte = 'x';
        EXPECT_TRUE(CryptHashData(hash, &byte, 1, 0));
        EXPECT_EQ(Value(hash), Reference(alg.OpenSslName, {'x'}));

        size = sizeof value;
        EXPECT_FALSE(CryptGetHashParam(hash, 77, reinterpret_cast<BYTE*>(&value), &size, 0));
        EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_TYPE);
        CryptDestroyHash(hash);
    }
}

TEST_F(CryptHashTest, DataAfterTheValueWasReadIsRefused)
{
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(m_aes, CALG_SHA_256, 0, 0, &hash));
    BYTE data[] = "abc";
    ASSERT_TRUE(CryptHashData(hash, data, 3, 0));
    std::vector<BYTE> first = Value(hash);
    EXPECT_FALSE(CryptHashData(hash, data, 3, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_HASH_STATE);
    // The value stays readable and unchanged.
    EXPECT_EQ(Value(hash), first);
    EXPECT_EQ(first, Reference("SHA256", {'a', 'b', 'c'}));
    CryptDestroyHash(hash);
}

TEST_F(CryptHashTest, SetHashValueFinishesTheHash)
{
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(m_aes, CALG_SHA1, 0, 0, &hash));
    BYTE digest[20];
    for (int i = 0; i < 20; ++i)
        digest[i] = static_cast<BYTE>(0xA0 + i);
    ASSERT_TRUE(CryptSetHashParam(hash, HP_HASHVAL, digest, 0));
    EXPECT_EQ(Value(hash), std::vector<BYTE>(digest, digest + 20));
    EXPECT_FALSE(CryptHashData(hash, digest, 1, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_HASH_STATE);
    EXPECT_FALSE(CryptSetHashParam(hash, HP_ALGID, digest, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_TYPE);
    CryptDestroyHash(hash);
}

TEST_F(CryptHashTest, DestroyedHandlesAreRefused)
{
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(m_aes, CALG_MD5, 0, 0, &hash));
    ASSERT_TRUE(CryptDestroyHash(hash));
    BYTE b = 0;
    EXPECT_FALSE(CryptHashData(hash, &b, 1, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_HASH);
    EXPECT_FALSE(CryptDestroyHash(hash));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_HASH);
    // A provider handle is not a hash handle.
    EXPECT_FALSE(CryptDestroyHash(m_aes));
}

TEST_F(CryptHashTest, ConcurrentHashesOnOneProvider)
{
    const std::vector<BYTE> data(4096, 0x42);
    const std::vector<BYTE> expected = Reference("SHA256", data);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                HCRYPTHASH hash = 0;
                if (!CryptCreateHash(m_aes, CALG_SHA_256, 0, 0, &hash) ||
                    !CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0)) {
                    ++wrong;
                    continue;
                }
                BYTE value[32];
                DWORD size = sizeof value;
                if (!CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0) ||
                    std::vector<BYTE>(value, value + size) != expected || !CryptDestroyHash(hash))
                    ++wrong;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
