// Streamed enveloped messages against the openssl command line, both ways: openssl cms -decrypt
// opens what CryptMsgOpenToEncode streams, and the streamed decoder opens what openssl cms and
// openssl smime write (RC4 and Triple DES, with and without -keyid and -stream).
#define CMSG_ENVELOPED_ENCODE_INFO_HAS_CMS_FIELDS
#include "platform/CertTestSupport.h"

#include "crypt32/CertKeyLink.h"

#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using certtest::Bytes;

const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const std::string kLegacy = " -provider legacy -provider default";

Bytes ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const Bytes& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

BOOL WINAPI Append(const void* pvArg, BYTE* pb, DWORD cb, BOOL)
{
    Bytes* out = static_cast<Bytes*>(const_cast<void*>(pvArg));
    if (cb != 0) out->insert(out->end(), pb, pb + cb);
    return TRUE;
}

class EnvelopeStreamInterop : public certtest::IsolatedHome {
protected:
    void SetUp() override
    {
        IsolatedHome::SetUp();
        if (std::system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl is not installed";
        m_data.resize(300000);
        for (size_t i = 0; i < m_data.size(); ++i) m_data[i] = static_cast<BYTE>((i * 7) ^ (i >> 5));
        WriteFileBytes(File("data.bin"), m_data);
        certtest::CertSpec spec;
        spec.subject = "Stream Recipient";
        spec.keyId = {0x51, 0x52, 0x53, 0x54, 0x55};
        Bytes der = certtest::MakeCertificate(spec);
        m_store = CertOpenStore(CERT_STORE_PROV_MEMORY, kEnc, 0, 0, nullptr);
        ASSERT_TRUE(CertAddEncodedCertificateToStore(m_store, kEnc, der.data(), static_cast<DWORD>(der.size()),
                                                     CERT_STORE_ADD_ALWAYS, &m_cert));
        ASSERT_TRUE(NpkLinkCertificateToKey(m_cert, certtest::SharedKey(0), false));
        ASSERT_TRUE(CryptAcquireCertificatePrivateKey(m_cert, 0, nullptr, &m_prov, &m_keySpec, nullptr));
        const unsigned char* q = der.data();
        X509* x = d2i_X509(nullptr, &q, static_cast<long>(der.size()));
        FILE* f = std::fopen(File("r.crt").c_str(), "w");
        PEM_write_X509(f, x);
        std::fclose(f);
        X509_free(x);
        f = std::fopen(File("r.key").c_str(), "w");
        PEM_write_PrivateKey(f, certtest::SharedKey(0), nullptr, nullptr, 0, nullptr, nullptr);
        std::fclose(f);
    }
    void TearDown() override
    {
        if (m_prov != 0) CryptReleaseContext(m_prov, 0);
        CertFreeCertificateContext(m_cert);
        if (m_store != nullptr) CertCloseStore(m_store, 0);
        IsolatedHome::TearDown();
    }

    std::string File(const std::string& name) const { return m_root + "/" + name; }
    int Run(const std::string& command) { return std::system((command + " 2>" + File("stderr.txt")).c_str()); }
    std::string Stderr() const
    {
        Bytes b = ReadFileBytes(File("stderr.txt"));
        return std::string(b.begin(), b.end());
    }

    Bytes Encode(const char* oid, bool byKeyId)
    {
        CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO kt{};
        kt.cbSize = sizeof kt;
        kt.KeyEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_RSA);
        kt.RecipientPublicKey = m_cert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
        BYTE keyId[] = {0x51, 0x52, 0x53, 0x54, 0x55};
        kt.RecipientId.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
        kt.RecipientId.KeyId = {sizeof keyId, keyId};
        CMSG_RECIPIENT_ENCODE_INFO cms{CMSG_KEY_TRANS_RECIPIENT, {&kt}};
        PCERT_INFO infos[] = {m_cert->pCertInfo};
        CMSG_ENVELOPED_ENCODE_INFO info{};
        info.cbSize = sizeof info;
        info.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(oid);
        info.cRecipients = 1;
        if (byKeyId)
            info.rgCmsRecipients = &cms;
        else
            info.rgpRecipients = infos;
        Bytes out;
        CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Append, &out};
        HCRYPTMSG h = CryptMsgOpenToEncode(kEnc, 0, CMSG_ENVELOPED, &info, nullptr, &stream);
        EXPECT_NE(h, nullptr);
        const size_t chunk = 65536;
        for (size_t at = 0; at < m_data.size(); at += chunk) {
            const size_t n = std::min(chunk, m_data.size() - at);
            EXPECT_TRUE(CryptMsgUpdate(h, m_data.data() + at, static_cast<DWORD>(n), at + n == m_data.size()));
        }
        CryptMsgClose(h);
        return out;
    }

    HRESULT Decode(const Bytes& msg, size_t chunk, Bytes& plain)
    {
        CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Append, &plain};
        HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, &stream);
        HRESULT hr = S_OK;
        bool decrypting = false;
        for (size_t at = 0; at < msg.size() && hr == S_OK;) {
            const size_t n = std::min(chunk, msg.size() - at);
            if (!CryptMsgUpdate(h, msg.data() + at, static_cast<DWORD>(n), at + n == msg.size())) {
                hr = static_cast<HRESULT>(GetLastError());
                break;
            }
            at += n;
            DWORD cb = 0;
            if (!decrypting && CryptMsgGetParam(h, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, nullptr, &cb)) {
                CMSG_CTRL_DECRYPT_PARA para{sizeof para, {m_prov}, m_keySpec, 0};
                if (!CryptMsgControl(h, 0, CMSG_CTRL_DECRYPT, &para)) hr = static_cast<HRESULT>(GetLastError());
                decrypting = true;
            }
        }
        CryptMsgClose(h);
        return hr;
    }

    Bytes m_data;
    HCERTSTORE m_store = nullptr;
    PCCERT_CONTEXT m_cert = nullptr;
    HCRYPTPROV m_prov = 0;
    DWORD m_keySpec = 0;
};

TEST_F(EnvelopeStreamInterop, OpensslDecryptsOurStream)
{
    for (const char* oid : {szOID_RSA_RC4, szOID_RSA_DES_EDE3_CBC}) {
        for (bool byKeyId : {false, true}) {
            SCOPED_TRACE(std::string(oid) + (byKeyId ? " keyid" : " issuer"));
            WriteFileBytes(File("ours.p7m"), Encode(oid, byKeyId));
            std::remove(File("out.bin").c_str());
            const std::string cmd = "openssl cms -decrypt -binary -inform DER -in " + File("ours.p7m") + " -recip " +
                                    File("r.crt") + " -inkey " + File("r.key") + " -out " + File("out.bin") +
                                    (std::string(oid) == szOID_RSA_RC4 ? kLegacy : "");
            ASSERT_EQ(Run(cmd), 0) << Stderr();
            EXPECT_TRUE(ReadFileBytes(File("out.bin")) == m_data);
        }
    }
}

TEST_F(EnvelopeStreamInterop, WeDecryptWhatOpensslWrites)
{
    struct Case {
        std::string tool, cipher, extra;
    };
    const Case cases[] = {
        {"cms", "-des3", ""},          {"cms", "-des3", "-stream"},        {"cms", "-des3", "-keyid"},
        {"cms", "-des3", "-keyid -stream"}, {"cms", "-rc4", kLegacy},     {"cms", "-rc4", "-stream" + kLegacy},
        {"cms", "-rc4", "-keyid" + kLegacy}, {"smime", "-des3", ""},       {"smime", "-rc4", kLegacy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tool + " " + c.cipher + " " + c.extra);
        const std::string cmd = "openssl " + c.tool + " -encrypt -binary -outform DER -in " + File("data.bin") +
                                " -out " + File("theirs.p7m") + " " + c.cipher + " " + c.extra + " " + File("r.crt");
        ASSERT_EQ(Run(cmd), 0) << Stderr();
        const Bytes msg = ReadFileBytes(File("theirs.p7m"));
        for (size_t chunk : {size_t(1) << 22, size_t(4093)}) {
            Bytes plain;
            ASSERT_EQ(Decode(msg, chunk, plain), S_OK);
            EXPECT_TRUE(plain == m_data);
        }
    }
}

}  // namespace
