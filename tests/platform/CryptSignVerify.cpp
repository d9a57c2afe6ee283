// PKCS#1 v1.5 signatures through the providers, against OpenSSL and its command line.
#include <windows.h>
#include <wincrypt.h>

#include "advapi32/CryptKeyContainers.h"

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::vector<BYTE> Bytes;

struct Algorithm {
    ALG_ID Id;
    const char* Name;
};
const Algorithm kAlgorithms[] = {{CALG_MD5, "MD5"},       {CALG_SHA1, "SHA1"},
                                 {CALG_SHA_256, "SHA256"}, {CALG_SHA_384, "SHA384"},
                                 {CALG_SHA_512, "SHA512"}};

Bytes Digest(const char* name, const Bytes& data)
{
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &size, EVP_get_digestbyname(name), nullptr);
    out.resize(size);
    return out;
}

Bytes OpenSslSign(EVP_PKEY* key, const char* md, const Bytes& digest)
{
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    EXPECT_EQ(EVP_PKEY_sign_init(ctx), 1);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_get_digestbyname(md));
    size_t size = 0;
    EVP_PKEY_sign(ctx, nullptr, &size, digest.data(), digest.size());
    Bytes out(size);
    EXPECT_EQ(EVP_PKEY_sign(ctx, out.data(), &size, digest.data(), digest.size()), 1);
    out.resize(size);
    EVP_PKEY_CTX_free(ctx);
    return out;
}

class CryptSignVerify : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_key = EVP_RSA_gen(2048);
        ASSERT_NE(s_key, nullptr);
    }
    static void TearDownTestSuite() { EVP_PKEY_free(s_key); }

    void SetUp() override
    {
        char pattern[] = "/tmp/npk-sign-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        for (const char* v : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"})
            setenv(v, (m_root + "/" + v).c_str(), 1);
        // The key lives in a memory-only container, as a page's PFX key does.
        ASSERT_TRUE(NpkStoreKeyInContainer(TEXT("sign-test"), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                           AT_SIGNATURE, s_key, false));
        ASSERT_TRUE(CryptAcquireContextW(&m_prov, TEXT("sign-test"), MS_ENH_RSA_AES_PROV_W,
                                         PROV_RSA_AES, 0));
        ASSERT_TRUE(CryptImportPublicKeyInfo(m_prov, X509_ASN_ENCODING, PublicKeyInfo(), &m_pub));
    }
    void TearDown() override
    {
        CryptDestroyKey(m_pub);
        CryptReleaseContext(m_prov, 0);
        std::filesystem::remove_all(m_root);
    }

    // The key's SubjectPublicKeyInfo as a CERT_PUBLIC_KEY_INFO pointing into m_spki.
    PCERT_PUBLIC_KEY_INFO PublicKeyInfo()
    {
        unsigned char* der = nullptr;
        int len = i2d_PUBKEY(s_key, &der);
        m_spki.assign(der, der + len);
        OPENSSL_free(der);
        // The RSAPublicKey is the bit string's content at the end of the SPKI.
        unsigned char* rsa = nullptr;
        int rsaLen = i2d_PublicKey(s_key, &rsa);
        m_rsa.assign(rsa, rsa + rsaLen);
        OPENSSL_free(rsa);
        m_info.Algorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_RSA);
        m_info.Algorithm.Parameters = {0, nullptr};
        m_info.PublicKey.cbData = static_cast<DWORD>(m_rsa.size());
        m_info.PublicKey.pbData = m_rsa.data();
        m_info.PublicKey.cUnusedBits = 0;
        return &m_info;
    }

    Bytes Sign(ALG_ID alg, const Bytes& data, HCRYPTPROV prov = 0)
    {
        HCRYPTHASH hash = 0;
        EXPECT_TRUE(CryptCreateHash(prov != 0 ? prov : m_prov, alg, 0, 0, &hash));
        EXPECT_TRUE(CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0));
        DWORD size = 0;
        EXPECT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &size));
        Bytes sig(size);
        EXPECT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, sig.data(), &size));
        sig.resize(size);
        CryptDestroyHash(hash);
        return sig;
    }

    BOOL Verify(ALG_ID alg, const Bytes& data, const Bytes& sig)
    {
        HCRYPTHASH hash = 0;
        EXPECT_TRUE(CryptCreateHash(m_prov, alg, 0, 0, &hash));
        EXPECT_TRUE(CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0));
        BOOL ok = CryptVerifySignatureW(hash, sig.data(), static_cast<DWORD>(sig.size()), m_pub,
                                        nullptr, 0);
        DWORD error = GetLastError();
        CryptDestroyHash(hash);
        SetLastError(error);
        return ok;
    }

    static EVP_PKEY* s_key;
    std::string m_root;
    HCRYPTPROV m_prov = 0;
    HCRYPTKEY m_pub = 0;
    Bytes m_spki, m_rsa;
    CERT_PUBLIC_KEY_INFO m_info = {};
};
EVP_PKEY* CryptSignVerify::s_key = nullptr;

const Bytes kData = {'n', 'p', 'K', 'e', 'y', 's', 't', 'r', 'a', 'n', 'd'};

TEST_F(CryptSignVerify, SignThenVerifyEveryHashAndRejectChanges)
{
    for (const Algorithm& alg : kAlgorithms) {
        SCOPED_TRACE(alg.Name);
        Bytes sig = Sign(alg.Id, kData);
        ASSERT_EQ(sig.size(), 256u);
        EXPECT_TRUE(Verify(alg.Id, kData, sig));

        Bytes badSig = sig;
        badSig[100] ^= 0x01;
        EXPECT_FALSE(Verify(alg.Id, kData, badSig));
        EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_SIGNATURE);

        Bytes badData = kData;
        badData[0] ^= 0x20;
        EXPECT_FALSE(Verify(alg.Id, badData, sig));
        EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_SIGNATURE);

        Bytes shortSig(sig.begin(), sig.end() - 1);
        EXPECT_FALSE(Verify(alg.Id, kData, shortSig));
        EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_SIGNATURE);
    }
    // A signature made with one hash does not verify under another.
    EXPECT_FALSE(Verify(CALG_SHA_256, kData, Sign(CALG_SHA1, kData)));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_SIGNATURE);
}

TEST_F(CryptSignVerify, SignatureIsLeastSignificantByteFirst)
{
    for (const Algorithm& alg : kAlgorithms) {
        SCOPED_TRACE(alg.Name);
        Bytes ours = Sign(alg.Id, kData);
        std::reverse(ours.begin(), ours.end());
        EXPECT_EQ(ours, OpenSslSign(s_key, alg.Name, Digest(alg.Name, kData)));
    }
}

TEST_F(CryptSignVerify, VerifiesOpenSslSignatureAfterReversal)
{
    Bytes theirs = OpenSslSign(s_key, "SHA256", Digest("SHA256", kData));
    std::reverse(theirs.begin(), theirs.end());
    EXPECT_TRUE(Verify(CALG_SHA_256, kData, theirs));
    // Unreversed, as PKCS#1 writes it, it is not a valid CryptoAPI signature.
    std::reverse(theirs.begin(), theirs.end());
    EXPECT_FALSE(Verify(CALG_SHA_256, kData, theirs));
}

TEST_F(CryptSignVerify, MatchesTheOpenSslCommandLine)
{
    std::string keyPath = m_root + "/key.pem", digestPath = m_root + "/digest.bin",
                sigPath = m_root + "/sig.bin";
    FILE* f = std::fopen(keyPath.c_str(), "w");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(PEM_write_PrivateKey(f, s_key, nullptr, nullptr, 0, nullptr, nullptr), 1);
    std::fclose(f);
    Bytes digest = Digest("SHA256", kData);
    std::ofstream(digestPath, std::ios::binary).write(reinterpret_cast<const char*>(digest.data()),
                                                       static_cast<std::streamsize>(digest.size()));
    std::string command = "openssl pkeyutl -sign -inkey '" + keyPath + "' -pkeyopt digest:sha256 -in '" +
                          digestPath + "' -out '" + sigPath + "' 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ifstream in(sigPath, std::ios::binary);
    Bytes theirs((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    Bytes ours = Sign(CALG_SHA_256, kData);
    std::reverse(ours.begin(), ours.end());
    EXPECT_EQ(ours, theirs);
}

TEST_F(CryptSignVerify, SizeQueryShortBufferAndHashState)
{
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SHA1, 0, 0, &hash));
    DWORD size = 0;
    ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &size));
    EXPECT_EQ(size, 256u);
    Bytes sig(255);
    DWORD shortSize = 255;
    EXPECT_FALSE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, sig.data(), &shortSize));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(shortSize, 256u);
    // The size questions left the hash open.
    ASSERT_TRUE(CryptHashData(hash, kData.data(), static_cast<DWORD>(kData.size()), 0));
    sig.resize(256);
    ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, sig.data(), &size));
    EXPECT_FALSE(CryptHashData(hash, kData.data(), 1, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_HASH_STATE);
    // Signing again gives the same signature over the same value.
    Bytes again(256);
    ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, again.data(), &size));
    EXPECT_EQ(again, sig);
    CryptDestroyHash(hash);
    EXPECT_EQ(sig, Sign(CALG_SHA1, kData));
}

TEST_F(CryptSignVerify, MissingKeysAndBadHandles)
{
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SHA1, 0, 0, &hash));
    DWORD size = 0;
    EXPECT_FALSE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_NO_KEY);
    EXPECT_FALSE(CryptVerifySignatureW(hash, nullptr, 0, 0x999, nullptr, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_KEY);
    CryptDestroyHash(hash);
    EXPECT_FALSE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_HASH);

    // A verification context holds no key until one is generated in it.
    HCRYPTPROV verify = 0;
    ASSERT_TRUE(CryptAcquireContextW(&verify, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptCreateHash(verify, CALG_SHA_256, 0, 0, &hash));
    EXPECT_FALSE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_NO_KEY);
    CryptDestroyHash(hash);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(verify, AT_SIGNATURE, 1024u << 16, &key));
    ASSERT_TRUE(CryptCreateHash(verify, CALG_SHA_256, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, kData.data(), static_cast<DWORD>(kData.size()), 0));
    BYTE sig[128];
    size = sizeof sig;
    ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, sig, &size));
    EXPECT_EQ(size, 128u);
    CryptDestroyHash(hash);
    ASSERT_TRUE(CryptCreateHash(verify, CALG_SHA_256, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, kData.data(), static_cast<DWORD>(kData.size()), 0));
    EXPECT_TRUE(CryptVerifySignatureW(hash, sig, size, key, nullptr, 0));
    // Our 2048-bit public key does not verify the 1024-bit signature.
    EXPECT_FALSE(CryptVerifySignatureW(hash, sig, size, m_pub, nullptr, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_SIGNATURE);
    CryptDestroyHash(hash);
    CryptDestroyKey(key);
    CryptReleaseContext(verify, 0);
}

TEST_F(CryptSignVerify, ImportPublicKeyInfoErrors)
{
    HCRYPTKEY key = 0;
    CERT_PUBLIC_KEY_INFO info = *PublicKeyInfo();

    info.Algorithm.pszObjId = const_cast<LPSTR>("1.2.840.10045.2.1");
    EXPECT_FALSE(CryptImportPublicKeyInfo(m_prov, X509_ASN_ENCODING, &info, &key));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_ALGID);
    info.Algorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_RSA);

    Bytes bad = m_rsa;
    bad[0] = 0x31;
    info.PublicKey.pbData = bad.data();
    EXPECT_FALSE(CryptImportPublicKeyInfo(m_prov, X509_ASN_ENCODING, &info, &key));
    EXPECT_EQ(GetLastError(), (DWORD)CRYPT_E_ASN1_BADTAG);

    info.PublicKey.pbData = m_rsa.data();
    info.PublicKey.cbData = static_cast<DWORD>(m_rsa.size() - 10);
    EXPECT_FALSE(CryptImportPublicKeyInfo(m_prov, X509_ASN_ENCODING, &info, &key));
    EXPECT_EQ(GetLastError(), (DWORD)CRYPT_E_ASN1_EOD);

    Bytes trailing = m_rsa;
    trailing.push_back(0);
    info.PublicKey.pbData = trailing.data();
    info.PublicKey.cbData = static_cast<DWORD>(trailing.size());
    EXPECT_FALSE(CryptImportPublicKeyInfo(m_prov, X509_ASN_ENCODING, &info, &key));
    EXPECT_EQ(GetLastError(), (DWORD)CRYPT_E_ASN1_CORRUPT);

    info.PublicKey.cbData = 0;
    info.PublicKey.pbData = nullptr;
    EXPECT_FALSE(CryptImportPublicKeyInfo(m_prov, X509_ASN_ENCODING, &info, &key));
    EXPECT_EQ(GetLastError(), (DWORD)CRYPT_E_ASN1_EOD);
    EXPECT_EQ(key, 0u);

    // The imported key exports as a PUBLICKEYBLOB with the modulus least significant byte first.
    DWORD size = 0;
    ASSERT_TRUE(CryptExportKey(m_pub, 0, PUBLICKEYBLOB, 0, nullptr, &size));
    EXPECT_EQ(size, sizeof(PUBLICKEYSTRUC) + sizeof(RSAPUBKEY) + 256);
    Bytes blob(size);
    ASSERT_TRUE(CryptExportKey(m_pub, 0, PUBLICKEYBLOB, 0, blob.data(), &size));
    RSAPUBKEY rsa;
    std::memcpy(&rsa, blob.data() + sizeof(PUBLICKEYSTRUC), sizeof rsa);
    EXPECT_EQ(blob[0], PUBLICKEYBLOB);
    EXPECT_EQ(rsa.magic, 0x31415352u);
    EXPECT_EQ(rsa.bitlen, 2048u);
    EXPECT_EQ(rsa.pubexp, 65537u);
    BIGNUM* n = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(s_key, "n", &n), 1);
    Bytes modulus(256);
    BN_bn2lebinpad(n, modulus.data(), 256);
    BN_free(n);
    EXPECT_TRUE(std::equal(modulus.begin(), modulus.end(), blob.end() - 256));
}

// Whether an OpenSSL key verifies our (reversed) signature over the digest; no md for a bare
// digest signed with CRYPT_NOHASHOID.
bool OpenSslVerifies(EVP_PKEY* key, const char* md, const Bytes& digest, Bytes sig)
{
    std::reverse(sig.begin(), sig.end());
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    bool ok = EVP_PKEY_verify_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
              (md == nullptr || EVP_PKEY_CTX_set_signature_md(ctx, EVP_get_digestbyname(md)) == 1) &&
              EVP_PKEY_verify(ctx, sig.data(), sig.size(), digest.data(), digest.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

// Signing state kept between calls must follow the digest, the flags and the key in the
// container, also when several threads sign at once.
TEST_F(CryptSignVerify, RepeatedSignaturesFollowDigestFlagsAndKey)
{
    for (int round = 0; round < 2; ++round) {
        for (const Algorithm& alg : kAlgorithms) {
            SCOPED_TRACE(alg.Name);
            EXPECT_TRUE(OpenSslVerifies(s_key, alg.Name, Digest(alg.Name, kData), Sign(alg.Id, kData)));
        }
    }

    // Without the hash OID the bare digest is padded; then with it again.
    for (int round = 0; round < 2; ++round) {
        HCRYPTHASH hash = 0;
        ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SHA1, 0, 0, &hash));
        ASSERT_TRUE(CryptHashData(hash, kData.data(), static_cast<DWORD>(kData.size()), 0));
        Bytes sig(256);
        DWORD size = static_cast<DWORD>(sig.size());
        ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, CRYPT_NOHASHOID, sig.data(), &size));
        CryptDestroyHash(hash);
        EXPECT_TRUE(OpenSslVerifies(s_key, nullptr, Digest("SHA1", kData), sig));
        EXPECT_FALSE(OpenSslVerifies(s_key, "SHA1", Digest("SHA1", kData), sig));
        EXPECT_TRUE(OpenSslVerifies(s_key, "SHA1", Digest("SHA1", kData), Sign(CALG_SHA1, kData)));
    }

    // Threads signing at once each get a whole, correct signature.
    std::vector<std::thread> threads;
    std::vector<Bytes> sigs(4);
    for (size_t i = 0; i < sigs.size(); ++i)
        threads.emplace_back([&, i] {
            for (int n = 0; n < 3; ++n)
                sigs[i] = Sign(CALG_SHA_256, kData);
        });
    for (std::thread& t : threads)
        t.join();
    for (const Bytes& sig : sigs)
        EXPECT_TRUE(OpenSslVerifies(s_key, "SHA256", Digest("SHA256", kData), sig));

    // A new key in the container signs from then on, through the provider handle already open.
    EVP_PKEY* other = EVP_RSA_gen(1024);
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(NpkStoreKeyInContainer(TEXT("sign-test"), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, AT_SIGNATURE,
                                       other, false));
    Bytes sig = Sign(CALG_SHA_256, kData);
    EXPECT_EQ(sig.size(), 128u);
    EXPECT_TRUE(OpenSslVerifies(other, "SHA256", Digest("SHA256", kData), sig));
    EXPECT_FALSE(OpenSslVerifies(s_key, "SHA256", Digest("SHA256", kData), sig));
    EVP_PKEY_free(other);
}

} // namespace
