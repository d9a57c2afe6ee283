// Signed messages and the openssl command line, both ways: what `openssl smime -sign` and
// `openssl cms -sign` write verifies through CryptVerifyMessageSignature and friends, and a
// message laid out as this system writes it (no attributes, NULL digest parameters,
// rsaEncryption, the short detached contentInfo) is accepted by `openssl cms -verify`.
#include "platform/SignedMessageSupport.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using certtest::Bytes;
using namespace msgtest;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

bool HaveOpenSsl() { return std::system("openssl version >/dev/null 2>&1") == 0; }

Bytes ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& b)
{
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

class SignedMessagesOpenSsl : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!HaveOpenSsl()) GTEST_SKIP() << "openssl is not on PATH";
        char pattern[] = "/tmp/npk-msg-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_signer = MakeSigner(0);
        X509* x = ToX509(m_signer.cert);
        FILE* f = std::fopen(Path("cert.pem").c_str(), "w");
        PEM_write_X509(f, x);
        std::fclose(f);
        X509_free(x);
        f = std::fopen(Path("key.pem").c_str(), "w");
        PEM_write_PrivateKey(f, m_signer.key, nullptr, nullptr, 0, nullptr, nullptr);
        std::fclose(f);
        m_content = FromString("Content from the command line.\r\nWith a second line and \x01 binary \xff bytes.");
        WriteFile(Path("content.bin"), m_content);
    }
    void TearDown() override
    {
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir);
    }

    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    int Run(const std::string& args) const
    {
        const std::string cmd = "cd '" + m_dir + "' && openssl " + args + " >out.txt 2>err.txt";
        return std::system(cmd.c_str());
    }

    // Signs content.bin with the command line; returns the DER message.
    Bytes Sign(const std::string& args)
    {
        EXPECT_EQ(Run(args + " -binary -outform DER -signer cert.pem -inkey key.pem -in content.bin -out msg.der"), 0)
            << args;
        return ReadFile(Path("msg.der"));
    }

    std::string m_dir;
    Signer m_signer;
    Bytes m_content;
};

struct CliCase {
    const char* args;
    bool detached;
    bool attributes;
};

class SignedByOpenSsl : public SignedMessagesOpenSsl, public ::testing::WithParamInterface<CliCase> {};

TEST_P(SignedByOpenSsl, VerifiesAndRejectsAChangedByte)
{
    const CliCase c = GetParam();
    const Bytes msg = Sign(c.args);
    ASSERT_FALSE(msg.empty());
    Verified r = c.detached ? VerifyDetached(msg, m_content) : VerifyAttached(msg);
    ASSERT_TRUE(r.ok) << c.args << " " << std::hex << r.error;
    EXPECT_EQ(r.signerCert, m_signer.cert);
    if (!c.detached) {
        EXPECT_EQ(r.content, m_content);
    }

    Bytes changedContent = m_content;
    changedContent[0] ^= 1;
    const DWORD contentError = c.attributes ? static_cast<DWORD>(CRYPT_E_HASH_VALUE) : static_cast<DWORD>(NTE_BAD_SIGNATURE);
    if (c.detached) {
        Verified bad = VerifyDetached(msg, changedContent);
        EXPECT_FALSE(bad.ok);
        EXPECT_EQ(bad.error, contentError);
    } else {
        Bytes changed = msg;
        const size_t at = Find(changed, m_content);
        ASSERT_NE(at, std::string::npos);
        changed[at] ^= 1;
        Verified bad = VerifyAttached(changed);
        EXPECT_FALSE(bad.ok);
        EXPECT_EQ(bad.error, contentError);
    }
    Bytes changed = msg;
    changed[changed.size() - 6] ^= 1;  // inside the signature, the message's last element
    Verified bad = c.detached ? VerifyDetached(changed, m_content) : VerifyAttached(changed);
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.error, static_cast<DWORD>(NTE_BAD_SIGNATURE));
}

INSTANTIATE_TEST_SUITE_P(
    Cli, SignedByOpenSsl,
    ::testing::Values(CliCase{"smime -sign -nodetach", false, true}, CliCase{"smime -sign -nodetach -noattr", false, false},
                      CliCase{"smime -sign", true, true}, CliCase{"smime -sign -noattr", true, false},
                      CliCase{"smime -sign -nodetach -md sha1", false, true},
                      CliCase{"smime -sign -noattr -md sha1", true, false},
                      CliCase{"cms -sign -nodetach -md sha256", false, true},
                      CliCase{"cms -sign -nodetach -noattr -md sha256", false, false},
                      CliCase{"cms -sign -md sha256", true, true}, CliCase{"cms -sign -md sha1 -noattr", true, false},
                      CliCase{"cms -sign -nodetach -keyid -md sha384", false, true},
                      CliCase{"cms -sign -nodetach -md sha512 -noattr", false, false}));

TEST_F(SignedMessagesOpenSsl, StreamedIndefiniteLengthMessage)
{
    const Bytes msg = Sign("cms -sign -nodetach -stream -md sha256");
    ASSERT_GE(msg.size(), 2u);
    EXPECT_EQ(msg[1], 0x80) << "openssl wrote definite lengths; the case is not exercised";
    Verified r = VerifyAttached(msg);
    ASSERT_TRUE(r.ok) << std::hex << r.error;
    EXPECT_EQ(r.content, m_content);
}

TEST_F(SignedMessagesOpenSsl, WithoutCertificatesTheSignerIsNotFound)
{
    const Bytes msg = Sign("smime -sign -nodetach -nocerts");
    Verified r = VerifyAttached(msg);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
    ASSERT_TRUE(CryptMsgUpdate(h, msg.data(), static_cast<DWORD>(msg.size()), TRUE));
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, kEnc, 0, 0, h);
    ASSERT_NE(store, nullptr);
    DWORD cb = 0;
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &cb));
    Bytes info(cb);
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &cb));
    EXPECT_EQ(CertGetSubjectCertificateFromStore(store, kEnc, reinterpret_cast<PCERT_INFO>(info.data())), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    CertCloseStore(store, 0);
    CryptMsgClose(h);
}

// ---------------------------------------------------------------------------------------
// The system's own layout, assembled with the layer's encoder, read by openssl and by us.
// ---------------------------------------------------------------------------------------
Bytes Encode(LPCSTR type, const void* structure)
{
    DWORD cb = 0;
    EXPECT_TRUE(CryptEncodeObject(kEnc, type, structure, nullptr, &cb)) << std::hex << GetLastError();
    Bytes out(cb);
    EXPECT_TRUE(CryptEncodeObject(kEnc, type, structure, out.data(), &cb));
    out.resize(cb);
    return out;
}

Bytes Tlv(BYTE tag, const Bytes& value)
{
    Bytes out{tag};
    const size_t n = value.size();
    if (n < 0x80) {
        out.push_back(static_cast<BYTE>(n));
    } else if (n < 0x100) {
        out.insert(out.end(), {0x81, static_cast<BYTE>(n)});
    } else if (n < 0x10000) {
        out.insert(out.end(), {0x82, static_cast<BYTE>(n >> 8), static_cast<BYTE>(n)});
    } else {
        out.insert(out.end(), {0x83, static_cast<BYTE>(n >> 16), static_cast<BYTE>(n >> 8), static_cast<BYTE>(n)});
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes SystemLayoutMessage(const Signer& signer, const Bytes& content, bool attached, const char* digestOid,
                          const char* signatureOid, const EVP_MD* md)
{
    PCCERT_CONTEXT cert = certtest::Create(signer.cert);
    // SEQUENCE { OID, NULL }: the attribute encoding with its empty SET replaced by 05 00.
    CRYPT_ATTRIBUTE attr{const_cast<LPSTR>(digestOid), 0, nullptr};
    Bytes digestAlg = Encode(PKCS_ATTRIBUTE, &attr);
    digestAlg[digestAlg.size() - 2] = 0x05;
    digestAlg[digestAlg.size() - 1] = 0x00;

    CRYPT_CONTENT_INFO inner{const_cast<LPSTR>(szOID_RSA_data), {0, nullptr}};
    Bytes octets;
    if (attached) {
        CRYPT_DATA_BLOB blob{static_cast<DWORD>(content.size()), const_cast<BYTE*>(content.data())};
        octets = Encode(X509_OCTET_STRING, &blob);
        inner.Content.cbData = static_cast<DWORD>(octets.size());
        inner.Content.pbData = octets.data();
    }
    const Bytes contentInfo = Encode(PKCS_CONTENT_INFO, &inner);

    // RSA PKCS #1 v1.5 over the content digest, most significant byte first.
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t sigLen = 0;
    EVP_DigestSignInit(ctx, nullptr, md, nullptr, signer.key);
    EVP_DigestSign(ctx, nullptr, &sigLen, content.data(), content.size());
    Bytes signature(sigLen);
    EVP_DigestSign(ctx, signature.data(), &sigLen, content.data(), content.size());
    EVP_MD_CTX_free(ctx);

    CMSG_SIGNER_INFO si{};
    si.dwVersion = 1;
    si.Issuer = cert->pCertInfo->Issuer;
    si.SerialNumber = cert->pCertInfo->SerialNumber;
    si.HashAlgorithm.pszObjId = const_cast<LPSTR>(digestOid);
    si.HashEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(signatureOid);
    si.EncryptedHash.cbData = static_cast<DWORD>(signature.size());
    si.EncryptedHash.pbData = signature.data();
    const Bytes signerInfo = Encode(PKCS7_SIGNER_INFO, &si);

    Bytes body = {0x02, 0x01, 0x01};
    for (const Bytes& part : {Tlv(0x31, digestAlg), contentInfo, Tlv(0xA0, signer.cert), Tlv(0x31, signerInfo)})
        body.insert(body.end(), part.begin(), part.end());
    const Bytes signedData = Tlv(0x30, body);
    CRYPT_CONTENT_INFO outer{const_cast<LPSTR>(szOID_RSA_signedData),
                             {static_cast<DWORD>(signedData.size()), const_cast<BYTE*>(signedData.data())}};
    const Bytes message = Encode(PKCS_CONTENT_INFO, &outer);
    CertFreeCertificateContext(cert);
    return message;
}

struct LayoutCase {
    const char* digestOid;
    const char* signatureOid;
    const char* md;
};

class SystemLayout : public SignedMessagesOpenSsl, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(SystemLayout, OpenSslAndWeAcceptIt)
{
    const LayoutCase c = GetParam();
    const EVP_MD* md = EVP_get_digestbyname(c.md);
    const Bytes detached = SystemLayoutMessage(m_signer, m_content, false, c.digestOid, c.signatureOid, md);
    const Bytes attached = SystemLayoutMessage(m_signer, m_content, true, c.digestOid, c.signatureOid, md);
    const Bytes shortInfo = {0x30, 0x0B, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
    ASSERT_NE(Find(detached, shortInfo), std::string::npos);

    WriteFile(Path("detached.der"), detached);
    WriteFile(Path("attached.der"), attached);
    EXPECT_EQ(Run("cms -verify -noverify -binary -inform DER -in detached.der -content content.bin -out v1.bin"), 0);
    EXPECT_EQ(ReadFile(Path("v1.bin")), m_content);
    EXPECT_EQ(Run("cms -verify -noverify -binary -inform DER -in attached.der -out v2.bin"), 0);
    EXPECT_EQ(ReadFile(Path("v2.bin")), m_content);
    EXPECT_EQ(Run("smime -verify -noverify -binary -inform DER -in attached.der -out v3.bin"), 0);

    Verified a = VerifyAttached(attached);
    ASSERT_TRUE(a.ok) << std::hex << a.error;
    EXPECT_EQ(a.content, m_content);
    Verified d = VerifyDetached(detached, m_content);
    ASSERT_TRUE(d.ok) << std::hex << d.error;

    // And the file-signature path: decode, signer, its certificate from the message store.
    HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr);
    ASSERT_TRUE(CryptMsgUpdate(h, detached.data(), static_cast<DWORD>(detached.size()), TRUE));
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, kEnc, 0, 0, h);
    DWORD count = 0, cb = sizeof(count);
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_COUNT_PARAM, 0, &count, &cb));
    EXPECT_EQ(count, 1u);
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &cb));
    Bytes info(cb);
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_INFO_PARAM, 0, info.data(), &cb));
    const CMSG_SIGNER_INFO* si = reinterpret_cast<const CMSG_SIGNER_INFO*>(info.data());
    EXPECT_STREQ(si->HashAlgorithm.pszObjId, c.digestOid);
    EXPECT_EQ(si->AuthAttrs.cAttr, 0u);
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &cb));
    Bytes certInfo(cb);
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_CERT_INFO_PARAM, 0, certInfo.data(), &cb));
    PCCERT_CONTEXT cert = CertGetSubjectCertificateFromStore(store, kEnc, reinterpret_cast<PCERT_INFO>(certInfo.data()));
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(Bytes(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded), m_signer.cert);
    CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);
    CryptMsgClose(h);

    Bytes other = m_content;
    other.back() ^= 0x10;
    Verified bad = VerifyDetached(detached, other);
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.error, static_cast<DWORD>(NTE_BAD_SIGNATURE));
    WriteFile(Path("other.bin"), other);
    EXPECT_NE(Run("cms -verify -noverify -binary -inform DER -in detached.der -content other.bin"), 0);
}

INSTANTIATE_TEST_SUITE_P(Algorithms, SystemLayout,
                         ::testing::Values(LayoutCase{"1.3.14.3.2.26", "1.2.840.113549.1.1.1", "SHA1"},
                                           LayoutCase{"1.2.840.113549.2.5", "1.2.840.113549.1.1.4", "MD5"},
                                           LayoutCase{"2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11", "SHA256"}));

}  // namespace
