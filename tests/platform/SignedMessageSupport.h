// Signed messages made at test time with OpenSSL's CMS and PKCS #7 functions.
#pragma once

#include "platform/CertTestSupport.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/x509.h>

#include <algorithm>
#include <string>
#include <vector>

namespace msgtest {

using certtest::Bytes;

inline Bytes FromString(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline X509* ToX509(const Bytes& der)
{
    const unsigned char* p = der.data();
    return d2i_X509(nullptr, &p, static_cast<long>(der.size()));
}

struct Signer {
    Bytes cert;
    EVP_PKEY* key;
};

// A signer certificate for key slot `which` with its own serial and name.
inline Signer MakeSigner(int which = 0)
{
    certtest::CertSpec spec;
    spec.key = certtest::SharedKey(which);
    spec.serial = which == 0 ? Bytes{0x01, 0x02, 0x03} : Bytes{0x7F, 0x00, static_cast<BYTE>(0x10 + which)};
    spec.subject = "Signer " + std::to_string(which);
    spec.keyId = {0xA1, 0xB2, 0xC3, static_cast<BYTE>(0xD4 + which)};
    return Signer{certtest::MakeCertificate(spec), certtest::SharedKey(which)};
}

// CMS SignedData over content: flags as for CMS_sign (CMS_DETACHED, CMS_NOATTR, CMS_NOCERTS,
// CMS_USE_KEYID, CMS_STREAM for indefinite lengths).
inline Bytes CmsSign(const std::vector<Signer>& signers, const Bytes& content, unsigned flags,
                     const EVP_MD* md = EVP_sha256())
{
    BIO* in = BIO_new_mem_buf(content.empty() ? static_cast<const void*>("") : content.data(),
                              static_cast<int>(content.size()));
    CMS_ContentInfo* cms = CMS_sign(nullptr, nullptr, nullptr, nullptr,
                                    (flags | CMS_PARTIAL | CMS_BINARY) & ~static_cast<unsigned>(CMS_STREAM));
    for (const Signer& s : signers) {
        X509* x = ToX509(s.cert);
        CMS_add1_signer(cms, x, s.key, md, flags | CMS_BINARY);
        X509_free(x);
    }
    Bytes out;
    BIO* mem = BIO_new(BIO_s_mem());
    bool ok;
    if (flags & CMS_STREAM) {
        ok = i2d_CMS_bio_stream(mem, cms, in, flags | CMS_BINARY) == 1;
    } else {
        ok = CMS_final(cms, in, nullptr, flags | CMS_BINARY) == 1 && i2d_CMS_bio(mem, cms) == 1;
    }
    if (ok) {
        char* p = nullptr;
        long n = BIO_get_mem_data(mem, &p);
        out.assign(p, p + n);
    }
    BIO_free(mem);
    BIO_free(in);
    CMS_ContentInfo_free(cms);
    return out;
}

// Classic PKCS #7 (PKCS7_sign), attached or detached, with attributes.
inline Bytes Pkcs7Sign(const Signer& s, const Bytes& content, int flags)
{
    BIO* in = BIO_new_mem_buf(content.empty() ? static_cast<const void*>("") : content.data(),
                              static_cast<int>(content.size()));
    X509* x = ToX509(s.cert);
    PKCS7* p7 = PKCS7_sign(x, s.key, nullptr, in, flags | PKCS7_BINARY);
    Bytes out;
    if (p7 != nullptr) {
        int n = i2d_PKCS7(p7, nullptr);
        out.resize(static_cast<size_t>(n));
        unsigned char* p = out.data();
        i2d_PKCS7(p7, &p);
    }
    PKCS7_free(p7);
    X509_free(x);
    BIO_free(in);
    return out;
}

inline size_t Find(const Bytes& hay, const Bytes& needle)
{
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end());
    return it == hay.end() ? std::string::npos : static_cast<size_t>(it - hay.begin());
}

inline CRYPT_VERIFY_MESSAGE_PARA VerifyPara()
{
    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = sizeof(para);
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    return para;
}

struct Verified {
    BOOL ok = FALSE;
    DWORD error = 0;
    Bytes content;
    Bytes signerCert;
};

// The system's two-call pattern: the length, then the content and the signer.
inline Verified VerifyAttached(const Bytes& msg, DWORD index = 0)
{
    Verified r;
    CRYPT_VERIFY_MESSAGE_PARA para = VerifyPara();
    DWORD cb = 0;
    if (!CryptVerifyMessageSignature(&para, index, msg.data(), static_cast<DWORD>(msg.size()), nullptr, &cb,
                                     nullptr)) {
        r.error = GetLastError();
        return r;
    }
    Bytes content(cb + 1, 0);
    PCCERT_CONTEXT cert = nullptr;
    DWORD room = cb;
    r.ok = CryptVerifyMessageSignature(&para, index, msg.data(), static_cast<DWORD>(msg.size()), content.data(),
                                       &room, &cert);
    if (!r.ok) {
        r.error = GetLastError();
        return r;
    }
    content.resize(room);
    r.content = content;
    if (cert != nullptr) {
        r.signerCert.assign(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
        CertFreeCertificateContext(cert);
    }
    return r;
}

inline Verified VerifyDetached(const Bytes& msg, const Bytes& content, DWORD index = 0)
{
    Verified r;
    CRYPT_VERIFY_MESSAGE_PARA para = VerifyPara();
    const BYTE* parts[1] = {content.data()};
    DWORD sizes[1] = {static_cast<DWORD>(content.size())};
    PCCERT_CONTEXT cert = nullptr;
    r.ok = CryptVerifyDetachedMessageSignature(&para, index, msg.data(), static_cast<DWORD>(msg.size()), 1, parts,
                                               sizes, &cert);
    if (!r.ok) {
        r.error = GetLastError();
        return r;
    }
    if (cert != nullptr) {
        r.signerCert.assign(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
        CertFreeCertificateContext(cert);
    }
    return r;
}

}  // namespace msgtest
