// Enveloped messages between CryptEncryptMessage / CryptDecryptMessage and the openssl command
// line, both ways: cms and smime, RC4 and Triple DES, issuer-and-serial and key-id recipients,
// definite and indefinite (-stream) lengths.
#include "platform/CertTestSupport.h"

#include "crypt32/CertKeyLink.h"

#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using certtest::Bytes;

const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const char* kLegacy = " -provider legacy -provider default";

bool HaveOpenssl() { return std::system("command -v openssl >/dev/null 2>&1") == 0; }

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

struct Party {
    std::string name;
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT cert = nullptr;
    std::string certPem, keyPem;
};

class EnvelopeInterop : public certtest::IsolatedHome {
protected:
    void SetUp() override
    {
        IsolatedHome::SetUp();
        if (!HaveOpenssl()) GTEST_SKIP() << "openssl is not installed";
        m_data.resize(3000);
        for (size_t i = 0; i < m_data.size(); ++i) m_data[i] = static_cast<BYTE>((i * 7) ^ (i >> 3));
        WriteFileBytes(File("data.bin"), m_data);
    }
    void TearDown() override
    {
        for (Party& p : m_parties) {
            CertFreeCertificateContext(p.cert);
            CertCloseStore(p.store, 0);
        }
        IsolatedHome::TearDown();
    }

    std::string File(const std::string& name) const { return m_root + "/" + name; }

    Party& Make(int keyIndex, const std::string& name, Bytes serial)
    {
        certtest::CertSpec spec;
        spec.key = certtest::SharedKey(keyIndex);
        spec.subject = name;
        spec.serial = serial;
        spec.keyId = {0x5A, static_cast<BYTE>(keyIndex), 0x11, 0x22, 0x33, 0x44};
        Bytes der = certtest::MakeCertificate(spec);
        Party p;
        p.name = name;
        p.store = CertOpenStore(CERT_STORE_PROV_MEMORY, kEnc, 0, 0, nullptr);
        EXPECT_TRUE(CertAddEncodedCertificateToStore(p.store, kEnc, der.data(), static_cast<DWORD>(der.size()),
                                                     CERT_STORE_ADD_ALWAYS, &p.cert));
        EXPECT_TRUE(NpkLinkCertificateToKey(p.cert, spec.key, false));
        p.certPem = File(name + ".crt");
        p.keyPem = File(name + ".key");
        const unsigned char* q = der.data();
        X509* x = d2i_X509(nullptr, &q, static_cast<long>(der.size()));
        FILE* f = std::fopen(p.certPem.c_str(), "w");
        PEM_write_X509(f, x);
        std::fclose(f);
        X509_free(x);
        f = std::fopen(p.keyPem.c_str(), "w");
        PEM_write_PrivateKey(f, spec.key, nullptr, nullptr, 0, nullptr, nullptr);
        std::fclose(f);
        m_parties.push_back(p);
        return m_parties.back();
    }

    Bytes Encrypt(std::vector<PCCERT_CONTEXT> certs, const char* oid, DWORD flags)
    {
        CRYPT_ENCRYPT_MESSAGE_PARA para{};
        para.cbSize = sizeof para;
        para.dwMsgEncodingType = kEnc;
        para.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(oid);
        para.dwFlags = flags;
        DWORD cb = 0;
        EXPECT_TRUE(CryptEncryptMessage(&para, static_cast<DWORD>(certs.size()), certs.data(), m_data.data(),
                                        static_cast<DWORD>(m_data.size()), nullptr, &cb));
        Bytes out(cb);
        EXPECT_TRUE(CryptEncryptMessage(&para, static_cast<DWORD>(certs.size()), certs.data(), m_data.data(),
                                        static_cast<DWORD>(m_data.size()), out.data(), &cb));
        out.resize(cb);
        return out;
    }

    Bytes Decrypt(HCERTSTORE store, const Bytes& msg, HRESULT* phr)
    {
        CRYPT_DECRYPT_MESSAGE_PARA para{};
        para.cbSize = 16;
        para.dwMsgAndCertEncodingType = kEnc;
        para.cCertStore = 1;
        para.rghCertStore = &store;
        DWORD cb = 0;
        *phr = S_OK;
        if (!CryptDecryptMessage(&para, msg.data(), static_cast<DWORD>(msg.size()), nullptr, &cb, nullptr)) {
            *phr = static_cast<HRESULT>(GetLastError());
            return Bytes();
        }
        Bytes out(cb);
        if (!CryptDecryptMessage(&para, msg.data(), static_cast<DWORD>(msg.size()), out.data(), &cb, nullptr)) {
            *phr = static_cast<HRESULT>(GetLastError());
            return Bytes();
        }
        out.resize(cb);
        return out;
    }

    int Run(const std::string& command) { return std::system((command + " 2>" + File("stderr.txt")).c_str()); }
    std::string Stderr() const
    {
        Bytes b = ReadFileBytes(File("stderr.txt"));
        return std::string(b.begin(), b.end());
    }

    Bytes m_data;
    std::deque<Party> m_parties;
};

TEST_F(EnvelopeInterop, OpensslCmsDecryptsWhatWeEncrypt)
{
    Party& alice = Make(0, "alice", {0x01, 0x02, 0x03});
    Party& bob = Make(1, "bob", {0x00, 0x9C});  // a serial whose top bit needs a leading zero
    struct Case {
        const char* oid;
        DWORD flags;
        bool legacy;
    } cases[] = {
        {szOID_RSA_RC4, 0, true},
        {szOID_RSA_RC4, CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG, true},
        {szOID_RSA_DES_EDE3_CBC, 0, false},
        {szOID_RSA_DES_EDE3_CBC, CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG, false},
    };
    for (const Case& c : cases) {
        Bytes msg = Encrypt({alice.cert, bob.cert}, c.oid, c.flags);
        WriteFileBytes(File("ours.der"), msg);
        for (Party* p : {&alice, &bob}) {
            std::remove(File("plain.bin").c_str());
            std::string cmd = "openssl cms -decrypt -binary -inform DER -in " + File("ours.der") + " -recip " +
                              p->certPem + " -inkey " + p->keyPem + " -out " + File("plain.bin") +
                              (c.legacy ? kLegacy : "");
            ASSERT_EQ(Run(cmd), 0) << c.oid << " " << c.flags << " " << p->name << ": " << Stderr();
            EXPECT_EQ(ReadFileBytes(File("plain.bin")), m_data) << c.oid << " " << c.flags << " " << p->name;
        }
        // The older PKCS#7 reader opens the issuer-and-serial form too.
        if (c.flags == 0) {
            std::string cmd = "openssl smime -decrypt -binary -inform DER -in " + File("ours.der") + " -recip " +
                              bob.certPem + " -inkey " + bob.keyPem + " -out " + File("plain.bin") +
                              (c.legacy ? kLegacy : "");
            ASSERT_EQ(Run(cmd), 0) << c.oid << ": " << Stderr();
            EXPECT_EQ(ReadFileBytes(File("plain.bin")), m_data);
        }
    }
}

TEST_F(EnvelopeInterop, WeDecryptWhatOpensslCmsAndSmimeEncrypt)
{
    Party& alice = Make(0, "alice", {0x01, 0x02, 0x03});
    Party& bob = Make(1, "bob", {0x00, 0x9C});
    struct Case {
        const char* tool;
        const char* options;
        bool legacy;
    } cases[] = {
        {"cms", "-rc4", true},
        {"cms", "-rc4 -keyid", true},
        {"cms", "-rc4 -stream", true},
        {"cms", "-rc4 -keyid -stream", true},
        {"cms", "-des3", false},
        {"cms", "-des3 -keyid", false},
        {"cms", "-des3 -stream", false},
        {"cms", "-des3 -keyid -stream", false},
        {"smime", "-rc4", true},
        {"smime", "-des3", false},
        {"smime", "-des3 -stream", false},
    };
    for (const Case& c : cases) {
        std::string cmd = std::string("openssl ") + c.tool + " -encrypt -binary -outform DER " + c.options +
                          (c.legacy ? kLegacy : "") + " -in " + File("data.bin") + " -out " + File("theirs.der") +
                          " " + alice.certPem + " " + bob.certPem;
        ASSERT_EQ(Run(cmd), 0) << cmd << ": " << Stderr();
        Bytes msg = ReadFileBytes(File("theirs.der"));
        for (Party* p : {&alice, &bob}) {
            HRESULT hr = E_FAIL;
            EXPECT_EQ(Decrypt(p->store, msg, &hr), m_data) << c.tool << " " << c.options << " " << p->name;
            EXPECT_EQ(hr, S_OK) << std::hex << hr;
        }
    }
}

TEST_F(EnvelopeInterop, AMessageForSomeoneElseIsNotOurs)
{
    Party& alice = Make(0, "alice", {0x01, 0x02, 0x03});
    Party& carol = Make(2, "carol", {0x77});
    std::string cmd = "openssl cms -encrypt -binary -outform DER -des3 -in " + File("data.bin") + " -out " +
                      File("theirs.der") + " " + carol.certPem;
    ASSERT_EQ(Run(cmd), 0) << Stderr();
    HRESULT hr = S_OK;
    EXPECT_TRUE(Decrypt(alice.store, ReadFileBytes(File("theirs.der")), &hr).empty());
    EXPECT_EQ(hr, CRYPT_E_NO_DECRYPT_CERT);
}

TEST_F(EnvelopeInterop, Rfc4134EnvelopedDataOpensWithBobsKey)
{
    std::string dir = std::string(NPK_DEFAULT_SOURCE_DIR) + "/tests/data/rfc4134/";
    Bytes msg = ReadFileBytes(dir + "5.1.bin");
    Bytes certDer = ReadFileBytes(dir + "BobRSASignByCarl.cer");
    Bytes keyDer = ReadFileBytes(dir + "BobPrivRSAEncrypt.pri");
    ASSERT_FALSE(msg.empty() || certDer.empty() || keyDer.empty()) << "RFC 4134 vectors missing in " << dir;
    Bytes content = ReadFileBytes(dir + "ExContent.bin");

    const unsigned char* p = keyDer.data();
    EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(keyDer.size()));
    ASSERT_NE(key, nullptr);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, kEnc, 0, 0, nullptr);
    PCCERT_CONTEXT cert = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEnc, certDer.data(), static_cast<DWORD>(certDer.size()),
                                                 CERT_STORE_ADD_ALWAYS, &cert));
    ASSERT_TRUE(NpkLinkCertificateToKey(cert, key, false)) << std::hex << GetLastError();
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Decrypt(store, msg, &hr), content);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);
    EVP_PKEY_free(key);
}

}  // namespace
