// Signature verification against messages and signatures that OpenSSL makes.
#include "kernel/Verification.h"

#include <gtest/gtest.h>

#include <openssl/cms.h>
#include <openssl/err.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "agent/CryptoAgent.h"
#include "kernel/Encoding.h"
#include "platform/CertTestSupport.h"
#include "platform/crypt32/CertObjects.h"

namespace {

using certtest::Bytes;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct Signer {
    Bytes der;
    X509* x509 = nullptr;
    EVP_PKEY* key = nullptr;
};

const Signer& TheSigner(int which = 0)
{
    static Signer signers[2];
    Signer& s = signers[which];
    if (s.x509 == nullptr) {
        certtest::CertSpec spec;
        spec.key = certtest::SharedKey(which);
        spec.subject = which == 0 ? "Alice Verifier" : "Bob Cosigner";
        spec.serial = which == 0 ? Bytes{0x0B, 0x0A} : Bytes{0x77};
        s.key = spec.key;
        s.der = certtest::MakeCertificate(spec);
        const unsigned char* p = s.der.data();
        s.x509 = d2i_X509(nullptr, &p, static_cast<long>(s.der.size()));
    }
    return s;
}

struct SignOptions {
    const EVP_MD* md = EVP_sha256();
    bool detached = false;
    bool attributes = false;
    bool certificates = true;
    bool secondSigner = false;
};

Bytes MakeSignedMessage(const std::string& content, const SignOptions& o = SignOptions())
{
    unsigned int flags = CMS_BINARY | CMS_PARTIAL;
    if (o.detached) flags |= CMS_DETACHED;
    BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
    CMS_ContentInfo* cms = CMS_sign(nullptr, nullptr, nullptr, in, flags);
    unsigned int signerFlags = CMS_BINARY | (o.attributes ? 0 : CMS_NOATTR) | (o.certificates ? 0 : CMS_NOCERTS);
    const Signer& a = TheSigner(0);
    EXPECT_NE(CMS_add1_signer(cms, a.x509, a.key, o.md, signerFlags), nullptr);
    if (o.secondSigner) {
        const Signer& b = TheSigner(1);
        EXPECT_NE(CMS_add1_signer(cms, b.x509, b.key, o.md, signerFlags), nullptr);
    }
    BIO_reset(in);
    EXPECT_EQ(CMS_final(cms, in, nullptr, flags), 1);
    int n = i2d_CMS_ContentInfo(cms, nullptr);
    Bytes out(static_cast<size_t>(n));
    BYTE* p = out.data();
    i2d_CMS_ContentInfo(cms, &p);
    CMS_ContentInfo_free(cms);
    BIO_free(in);
    return out;
}

// A PKCS#1 v1.5 signature, most significant byte first.
Bytes Pkcs1Sign(const std::string& data, const EVP_MD* md)
{
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestSignInit(ctx, nullptr, md, nullptr, TheSigner(0).key);
    size_t n = 0;
    EVP_DigestSign(ctx, nullptr, &n, reinterpret_cast<const unsigned char*>(data.data()), data.size());
    Bytes sig(n);
    EVP_DigestSign(ctx, sig.data(), &n, reinterpret_cast<const unsigned char*>(data.data()), data.size());
    EVP_MD_CTX_free(ctx);
    return sig;
}

std::basic_string<WCHAR> Wide(const std::string& s)
{
    return std::basic_string<WCHAR>(s.begin(), s.end());
}

std::basic_string<WCHAR> Base64Text(const Bytes& b)
{
    char* psz = nullptr;
    int cch = 0;
    EXPECT_EQ(Base64EncodeEx(b.data(), static_cast<int>(b.size()), &psz, &cch, 0), S_OK);
    std::basic_string<WCHAR> text = Wide(std::string(psz, static_cast<size_t>(cch)));
    delete[] psz;
    return text;
}

bool IsSigner(PCCERT_CONTEXT pCert, int which = 0)
{
    const Bytes& der = TheSigner(which).der;
    return pCert != nullptr && pCert->cbCertEncoded == der.size() &&
           std::equal(der.begin(), der.end(), pCert->pbCertEncoded);
}

class VerificationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_contexts = npk::crypt32::CertStoreObject::LiveContexts();
        m_stores = npk::crypt32::CertStoreObject::LiveStores();
        char pattern[] = "/tmp/npk-verify-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override
    {
        std::filesystem::remove_all(m_dir);
        // Every handle, store and certificate of a check is released again.
        EXPECT_EQ(npk::crypt32::CertStoreObject::LiveContexts(), m_contexts);
        EXPECT_EQ(npk::crypt32::CertStoreObject::LiveStores(), m_stores);
    }

    std::string WriteFile(const std::string& name, const std::string& content)
    {
        std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    HRESULT VerifyFile(const Bytes& message, const std::string& path, PCCERT_CONTEXT* ppSigner = nullptr)
    {
        return VerifyFileSignature(ppSigner, message.data(), static_cast<DWORD>(message.size()),
                                   Wide(path).c_str());
    }

    LONG m_contexts = 0;
    LONG m_stores = 0;
    std::string m_dir;
};

TEST_F(VerificationTest, AttachedMessageGivesItsContentWithATrailingZeroAndItsSigner)
{
    for (const EVP_MD* md : {EVP_md5(), EVP_sha1(), EVP_sha256()}) {
        SignOptions o;
        o.md = md;
        Bytes message = MakeSignedMessage("attached content", o);
        BYTE* pbContent = nullptr;
        DWORD cbContent = 0;
        PCCERT_CONTEXT pSigner = nullptr;
        ASSERT_EQ(VerifySignature(&cbContent, message.data(), static_cast<DWORD>(message.size()), TRUE, &pbContent,
                                  &pSigner),
                  S_OK)
            << EVP_MD_get0_name(md);
        ASSERT_EQ(cbContent, 16u);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(pbContent), cbContent), "attached content");
        EXPECT_EQ(pbContent[cbContent], 0);
        EXPECT_TRUE(IsSigner(pSigner));
        delete[] pbContent;
        CertFreeCertificateContext(pSigner);
    }
}

TEST_F(VerificationTest, AttachedMessageWithEmptyContentGivesAOneByteBuffer)
{
    Bytes message = MakeSignedMessage("");
    BYTE* pbContent = nullptr;
    DWORD cbContent = 99;
    ASSERT_EQ(VerifySignature(&cbContent, message.data(), static_cast<DWORD>(message.size()), TRUE, &pbContent,
                              nullptr),
              S_OK);
    EXPECT_EQ(cbContent, 0u);
    ASSERT_NE(pbContent, nullptr);
    EXPECT_EQ(pbContent[0], 0);
    delete[] pbContent;
}

TEST_F(VerificationTest, AttachedMessageWithAuthenticatedAttributesVerifies)
{
    SignOptions o;
    o.attributes = true;
    Bytes message = MakeSignedMessage("with attributes", o);
    BYTE* pbContent = nullptr;
    DWORD cbContent = 0;
    EXPECT_EQ(VerifySignature(&cbContent, message.data(), static_cast<DWORD>(message.size()), TRUE, &pbContent,
                              nullptr),
              S_OK);
    delete[] pbContent;
}

TEST_F(VerificationTest, ChangedSignatureByteFailsWithThePlatformsCode)
{
    Bytes message = MakeSignedMessage("attached content");
    message[message.size() - 5] ^= 0x01;  // inside the encrypted digest, the last field
    BYTE* pbContent = nullptr;
    DWORD cbContent = 0;
    PCCERT_CONTEXT pSigner = nullptr;
    HRESULT hr = VerifySignature(&cbContent, message.data(), static_cast<DWORD>(message.size()), TRUE, &pbContent,
                                 &pSigner);
    EXPECT_EQ(hr, NTE_BAD_SIGNATURE);
    EXPECT_EQ(pSigner, nullptr);
    delete[] pbContent;
}

TEST_F(VerificationTest, DetachedMessageVerifiesOnlyTheSameContent)
{
    std::string content = "detached content";
    SignOptions o;
    o.detached = true;
    Bytes message = MakeSignedMessage(content, o);

    BYTE* pbContent = reinterpret_cast<BYTE*>(content.data());
    DWORD cbContent = static_cast<DWORD>(content.size());
    PCCERT_CONTEXT pSigner = nullptr;
    ASSERT_EQ(VerifySignature(&cbContent, message.data(), static_cast<DWORD>(message.size()), FALSE, &pbContent,
                              &pSigner),
              S_OK);
    EXPECT_TRUE(IsSigner(pSigner));
    CertFreeCertificateContext(pSigner);

    std::string changed = content;
    changed[3] ^= 0x20;
    pbContent = reinterpret_cast<BYTE*>(changed.data());
    HRESULT hr = VerifySignature(&cbContent, message.data(), static_cast<DWORD>(message.size()), FALSE, &pbContent,
                                 nullptr);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(hr, NTE_BAD_SIGNATURE);
}

TEST_F(VerificationTest, Base64FrontEndDecodesThenVerifies)
{
    Bytes message = MakeSignedMessage("through Base64");
    BYTE* pbContent = nullptr;
    DWORD cbContent = 0;
    PCCERT_CONTEXT pSigner = nullptr;
    ASSERT_EQ(VerifySignatureBase64(Base64Text(message).c_str(), TRUE, &pbContent, &cbContent, &pSigner), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pbContent), cbContent), "through Base64");
    EXPECT_TRUE(IsSigner(pSigner));
    delete[] pbContent;
    CertFreeCertificateContext(pSigner);

    // Text that decodes to no message fails in the platform, not as success.
    pbContent = nullptr;
    EXPECT_TRUE(FAILED(VerifySignatureBase64(TEXT("AAAA"), TRUE, &pbContent, &cbContent, nullptr)));
    delete[] pbContent;
    EXPECT_TRUE(FAILED(VerifySignatureBase64(TEXT(""), TRUE, &pbContent, &cbContent, nullptr)));
}

TEST_F(VerificationTest, FileSignaturesVerifyAcrossSliceBoundaries)
{
    for (size_t size : {size_t(0), size_t(1), size_t(16383), size_t(16384), size_t(16385), size_t(100000)}) {
        std::string content(size, '\0');
        for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 131) >> 3);
        std::string path = WriteFile("file-" + std::to_string(size), content);
        for (const EVP_MD* md : {EVP_sha1(), EVP_sha256()}) {
            SignOptions o;
            o.detached = true;
            o.md = md;
            Bytes message = MakeSignedMessage(content, o);
            PCCERT_CONTEXT pSigner = nullptr;
            EXPECT_EQ(VerifyFile(message, path, &pSigner), S_OK) << size << " " << EVP_MD_get0_name(md);
            EXPECT_TRUE(IsSigner(pSigner));
            CertFreeCertificateContext(pSigner);
        }
    }
}

TEST_F(VerificationTest, FileSignatureFailsForAChangedOrMissingFile)
{
    std::string path = WriteFile("signed.bin", "the file as it was signed");
    SignOptions o;
    o.detached = true;
    Bytes message = MakeSignedMessage("the file as it was signed", o);
    ASSERT_EQ(VerifyFile(message, path), S_OK);

    WriteFile("signed.bin", "the file as it was changed");
    EXPECT_EQ(VerifyFile(message, path), NTE_BAD_SIGNATURE);
    EXPECT_EQ(VerifyFile(message, m_dir + "/absent.bin"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(VerificationTest, FileSignatureOverAttributesDoesNotVerify)
{
    // The signer is checked against the file's own digest, not against signed attributes.
    std::string path = WriteFile("attrs.bin", "content");
    SignOptions o;
    o.detached = true;
    o.attributes = true;
    EXPECT_EQ(VerifyFile(MakeSignedMessage("content", o), path), NTE_BAD_SIGNATURE);
}

TEST_F(VerificationTest, FileSignatureWithoutTheSignersCertificateFails)
{
    std::string path = WriteFile("nocerts.bin", "content");
    SignOptions o;
    o.detached = true;
    o.certificates = false;
    PCCERT_CONTEXT pSigner = nullptr;
    EXPECT_TRUE(FAILED(VerifyFile(MakeSignedMessage("content", o), path, &pSigner)));
    EXPECT_EQ(pSigner, nullptr);
}

TEST_F(VerificationTest, FileSignatureWithTwoSignersGivesTheLastSigner)
{
    std::string path = WriteFile("two.bin", "countersigned");
    SignOptions o;
    o.detached = true;
    o.secondSigner = true;
    Bytes message = MakeSignedMessage("countersigned", o);
    // The signer infos are a DER SET: find which signer the encoding put last.
    const unsigned char* p = message.data();
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(message.size()));
    ASSERT_NE(cms, nullptr);
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
    ASSERT_EQ(sk_CMS_SignerInfo_num(infos), 2);
    int last = CMS_SignerInfo_cert_cmp(sk_CMS_SignerInfo_value(infos, 1), TheSigner(1).x509) == 0 ? 1 : 0;
    CMS_ContentInfo_free(cms);

    PCCERT_CONTEXT pSigner = nullptr;
    EXPECT_EQ(VerifyFile(message, path, &pSigner), S_OK);
    EXPECT_TRUE(IsSigner(pSigner, last));
    CertFreeCertificateContext(pSigner);
}

TEST_F(VerificationTest, FileSignatureBase64FrontEnd)
{
    std::string path = WriteFile("b64.bin", "base64 file");
    SignOptions o;
    o.detached = true;
    Bytes message = MakeSignedMessage("base64 file", o);
    EXPECT_EQ(VerifyFileSignatureBase64(Base64Text(message).c_str(), Wide(path).c_str(), nullptr), S_OK);
    message[message.size() - 5] ^= 0xFF;  // inside the encrypted digest, the last field
    EXPECT_TRUE(FAILED(VerifyFileSignatureBase64(Base64Text(message).c_str(), Wide(path).c_str(), nullptr)));
}

TEST_F(VerificationTest, Pkcs1SignatureIsMostSignificantByteFirstAndIsLeftReversed)
{
    PCCERT_CONTEXT pCert = certtest::Create(TheSigner(0).der);
    ASSERT_NE(pCert, nullptr);
    std::string data = "pkcs1 data";
    const struct {
        ALG_ID alg;
        const EVP_MD* md;
    } cases[] = {{CALG_MD5, EVP_md5()}, {CALG_SHA1, EVP_sha1()}, {CALG_SHA_256, EVP_sha256()},
                 {CALG_SHA_512, EVP_sha512()}};
    for (const auto& c : cases) {
        Bytes signature = Pkcs1Sign(data, c.md);
        Bytes given = signature;
        EXPECT_EQ(VerifyHashSignedData(c.alg, pCert, reinterpret_cast<const BYTE*>(data.data()),
                                       static_cast<DWORD>(data.size()), given.data(),
                                       static_cast<DWORD>(given.size()), nullptr, FALSE),
                  S_OK)
            << c.alg;
        EXPECT_TRUE(std::equal(given.begin(), given.end(), signature.rbegin()));

        // The same signature least significant byte first does not verify.
        Bytes reversed(signature.rbegin(), signature.rend());
        EXPECT_EQ(VerifyHashSignedData(c.alg, pCert, reinterpret_cast<const BYTE*>(data.data()),
                                       static_cast<DWORD>(data.size()), reversed.data(),
                                       static_cast<DWORD>(reversed.size()), nullptr, FALSE),
                  NTE_BAD_SIGNATURE);
        EXPECT_TRUE(std::equal(reversed.begin(), reversed.end(), signature.begin()));
    }
    CertFreeCertificateContext(pCert);
}

TEST_F(VerificationTest, Pkcs1SignatureOfAFile)
{
    PCCERT_CONTEXT pCert = certtest::Create(TheSigner(0).der);
    std::string content(16384, 'x');
    std::string path = WriteFile("pkcs1.bin", content);
    Bytes signature = Pkcs1Sign(content, EVP_sha256());
    EXPECT_EQ(VerifyHashSignedData(CALG_SHA_256, pCert, nullptr, 0, signature.data(),
                                   static_cast<DWORD>(signature.size()), Wide(path).c_str(), TRUE),
              S_OK);
    signature = Pkcs1Sign(content + "y", EVP_sha256());
    EXPECT_EQ(VerifyHashSignedData(CALG_SHA_256, pCert, nullptr, 0, signature.data(),
                                   static_cast<DWORD>(signature.size()), Wide(path).c_str(), TRUE),
              NTE_BAD_SIGNATURE);
    CertFreeCertificateContext(pCert);
}

TEST_F(VerificationTest, FileHashEqualsTheDigestOfTheWholeFile)
{
    for (size_t size : {size_t(0), size_t(16384), size_t(40000)}) {
        std::string content(size, 'q');
        std::string path = WriteFile("hash.bin", content);
        HCRYPTPROV hProv = 0;
        ASSERT_TRUE(CryptAcquireContextW(&hProv, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
        HCRYPTHASH hHash = 0;
        ASSERT_TRUE(CryptCreateHash(hProv, CALG_SHA_256, 0, 0, &hHash));
        EXPECT_EQ(CalculateFileHash(Wide(path).c_str(), hHash), S_OK);
        BYTE digest[32];
        DWORD cb = sizeof(digest);
        ASSERT_TRUE(CryptGetHashParam(hHash, HP_HASHVAL, digest, &cb, 0));
        BYTE expected[32];
        unsigned int n = 0;
        EVP_Digest(content.data(), content.size(), expected, &n, EVP_sha256(), nullptr);
        EXPECT_EQ(Bytes(digest, digest + 32), Bytes(expected, expected + 32)) << size;
        CryptDestroyHash(hHash);
        CryptReleaseContext(hProv, 0);
    }
}

}  // namespace
