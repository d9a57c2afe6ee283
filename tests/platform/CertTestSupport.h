// Keys and certificates made at test time with OpenSSL, and a per-test isolated home.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace certtest {

using Bytes = std::vector<BYTE>;

// One RSA key per size per process: generating keys is the slow part of these tests.
inline EVP_PKEY* SharedKey(int which = 0)
{
    static EVP_PKEY* keys[3] = {nullptr, nullptr, nullptr};
    if (keys[which] == nullptr) keys[which] = EVP_RSA_gen(2048);
    return keys[which];
}

struct CertSpec {
    Bytes serial = {0x01, 0x02, 0x03};  // big-endian magnitude, as written in the DER
    bool negative = false;
    std::string subject = "Test Subject";
    std::string issuer = "Test Issuer";
    bool subjectKeyId = true;
    Bytes keyId = {0xA1, 0xB2, 0xC3, 0xD4};
    const char* notBefore = "20200102030405Z";
    const char* notAfter = "20300102030405Z";
    bool basicConstraintsCritical = true;
    EVP_PKEY* key = nullptr;        // the certificate's key (default: SharedKey(0))
    EVP_PKEY* signer = nullptr;     // signs it (default: its own key)
};

inline Bytes MakeCertificate(const CertSpec& spec = CertSpec())
{
    EVP_PKEY* key = spec.key != nullptr ? spec.key : SharedKey(0);
    EVP_PKEY* signer = spec.signer != nullptr ? spec.signer : key;
    X509* x = X509_new();
    X509_set_version(x, 2);
    BIGNUM* bn = BN_bin2bn(spec.serial.data(), static_cast<int>(spec.serial.size()), nullptr);
    BN_set_negative(bn, spec.negative ? 1 : 0);
    ASN1_INTEGER* serial = BN_to_ASN1_INTEGER(bn, nullptr);
    X509_set_serialNumber(x, serial);
    ASN1_INTEGER_free(serial);
    BN_free(bn);
    X509_NAME* subject = X509_NAME_new();
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(spec.subject.c_str()), -1, -1, 0);
    X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Keystrand"),
                               -1, -1, 0);
    X509_NAME* issuer = X509_NAME_new();
    X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(spec.issuer.c_str()), -1, -1, 0);
    X509_set_subject_name(x, subject);
    X509_set_issuer_name(x, issuer);
    X509_NAME_free(subject);
    X509_NAME_free(issuer);
    ASN1_TIME* t = ASN1_TIME_new();
    ASN1_TIME_set_string(t, spec.notBefore);
    X509_set1_notBefore(x, t);
    ASN1_TIME_set_string(t, spec.notAfter);
    X509_set1_notAfter(x, t);
    ASN1_TIME_free(t);
    X509_set_pubkey(x, key);
    if (spec.subjectKeyId) {
        ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(id, spec.keyId.data(), static_cast<int>(spec.keyId.size()));
        X509_add1_ext_i2d(x, NID_subject_key_identifier, id, 0, X509V3_ADD_DEFAULT);
        ASN1_OCTET_STRING_free(id);
    }
    BASIC_CONSTRAINTS* bc = BASIC_CONSTRAINTS_new();
    bc->ca = 0;
    X509_add1_ext_i2d(x, NID_basic_constraints, bc, spec.basicConstraintsCritical ? 1 : 0, X509V3_ADD_DEFAULT);
    BASIC_CONSTRAINTS_free(bc);
    X509_sign(x, signer, EVP_sha256());
    int n = i2d_X509(x, nullptr);
    Bytes out(static_cast<size_t>(n));
    BYTE* p = out.data();
    i2d_X509(x, &p);
    X509_free(x);
    return out;
}

inline PCCERT_CONTEXT Create(const Bytes& der)
{
    return CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                        static_cast<DWORD>(der.size()));
}

inline Bytes Sha1(const Bytes& der)
{
    Bytes out(20);
    unsigned int len = 0;
    EVP_Digest(der.data(), der.size(), out.data(), &len, EVP_sha1(), nullptr);
    return out;
}

inline std::string Hex(const Bytes& b)
{
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    for (BYTE c : b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

// Gives each test its own HOME and XDG directories before the code under test reads them.
class IsolatedHome : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/npk-certs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        for (const char* v : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"})
            setenv(v, (m_root + "/" + v).c_str(), 1);
        m_stores = m_root + "/XDG_DATA_HOME/npkeystrand/SystemCertificates";
    }
    void TearDown() override { std::filesystem::remove_all(m_root); }

    std::string m_root;
    std::string m_stores;
};

}  // namespace certtest
