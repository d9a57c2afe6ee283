// Signature verification of signed messages: one signer against the content
// (VerifySigner), and CryptVerifyMessageSignature / CryptVerifyDetachedMessageSignature /
// CryptGetMessageSignerCount over it.
//
// The signer's certificate is looked up as Windows does when no pfnGetSignerCertificate is
// given: among the certificates the message carries, by issuer and serial number (or by
// subject key identifier for a CMS signer). A signer whose certificate is not there fails
// with the lookup's own code, CRYPT_E_NOT_FOUND; a signer index past the last signer fails
// with CRYPT_E_NO_SIGNER; a message that is not signed data with CRYPT_E_UNEXPECTED_MSG_TYPE.
#include "crypt32/CertKeyLink.h"
#include "crypt32/MessageObjects.h"

#include "crypt32/LibContext.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace npk::crypt32 {

namespace {

struct DigestName {
    const char* oid;
    const char* name;
};

// Digest algorithms by their own OIDs.
constexpr DigestName kDigests[] = {
    {"1.2.840.113549.2.5", "MD5"},          {"1.3.14.3.2.26", "SHA1"},
    {"2.16.840.1.101.3.4.2.1", "SHA256"},   {"2.16.840.1.101.3.4.2.2", "SHA384"},
    {"2.16.840.1.101.3.4.2.3", "SHA512"},
};

// RSA signature algorithms; a hash-with-RSA one names the digest it must be used with.
constexpr DigestName kSignatures[] = {
    {"1.2.840.113549.1.1.1", nullptr},     {"1.2.840.113549.1.1.4", "MD5"},
    {"1.2.840.113549.1.1.5", "SHA1"},      {"1.2.840.113549.1.1.11", "SHA256"},
    {"1.2.840.113549.1.1.12", "SHA384"},   {"1.2.840.113549.1.1.13", "SHA512"},
    {"1.3.14.3.2.29", "SHA1"},  // the old OIW sha1WithRSASignature
};

const char* DigestFor(const std::string& oid)
{
    for (const auto& d : kDigests)
        if (oid == d.oid) return d.name;
    return nullptr;
}

bool SignatureKnown(const std::string& oid, const char** digest)
{
    for (const auto& s : kSignatures)
        if (oid == s.oid) {
            *digest = s.name;
            return true;
        }
    return false;
}

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdFree {
    void operator()(EVP_MD* p) const { EVP_MD_free(p); }
};

bool Digest(const EVP_MD* md, const BYTE* p, size_t n, Bytes* out)
{
    unsigned int len = EVP_MAX_MD_SIZE;
    out->resize(EVP_MAX_MD_SIZE);
    static const BYTE empty = 0;
    if (EVP_Digest(n != 0 ? p : &empty, n, out->data(), &len, md, nullptr) != 1) return false;
    out->resize(len);
    return true;
}

const Attribute* FindAttribute(const std::vector<Attribute>& attrs, const char* oid)
{
    for (const auto& a : attrs)
        if (a.oid == oid) return &a;
    return nullptr;
}

}  // namespace

DWORD VerifySigner(const SignerData& signer, const BYTE* content, size_t contentLen, PCCERT_CONTEXT cert)
{
    const char* digestName = DigestFor(signer.digest.oid);
    const char* impliedDigest = nullptr;
    if (digestName == nullptr || !SignatureKnown(signer.signature.oid, &impliedDigest))
        return static_cast<DWORD>(NTE_BAD_ALGID);
    if (impliedDigest != nullptr && std::strcmp(impliedDigest, digestName) != 0)
        return static_cast<DWORD>(NTE_BAD_ALGID);
    std::unique_ptr<EVP_MD, MdFree> md(EVP_MD_fetch(NpkLibContext(), digestName, nullptr));
    if (md == nullptr) return static_cast<DWORD>(NTE_BAD_ALGID);

    Bytes digest;
    if (!Digest(md.get(), content, contentLen, &digest)) return static_cast<DWORD>(NTE_BAD_ALGID);
    if (signer.hasAuthAttrs) {
        // The signature covers the attributes; they vouch for the content by its digest.
        const Attribute* md_attr = FindAttribute(signer.authAttrs, szOID_RSA_messageDigest);
        if (md_attr == nullptr || md_attr->values.size() != 1) return static_cast<DWORD>(CRYPT_E_AUTH_ATTR_MISSING);
        Bytes claimed;
        const Bytes& value = md_attr->values[0];
        if (ReadOctetString(value.data(), value.size(), &claimed) != 0 || claimed != digest)
            return static_cast<DWORD>(CRYPT_E_HASH_VALUE);
        Bytes attrs = signer.authAttrsEncoded;
        attrs[0] = 0x31;  // hashed as the SET OF it is, not as the [0] IMPLICIT field
        if (!Digest(md.get(), attrs.data(), attrs.size(), &digest)) return static_cast<DWORD>(NTE_BAD_ALGID);
    }

    // The key as the certificate's context holds it: the certificate may be a bare
    // to-be-signed part, which is no X509 of its own.
    std::unique_ptr<EVP_PKEY, PkeyFree> owned(NpkCertificatePublicKey(cert));
    EVP_PKEY* key = owned.get();
    if (key == nullptr) return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    if (!EVP_PKEY_is_a(key, "RSA")) return static_cast<DWORD>(NTE_BAD_ALGID);

    // A signature whose leading zero bytes were dropped is still the same number.
    Bytes signature = signer.encryptedDigest;
    const size_t keyBytes = static_cast<size_t>(EVP_PKEY_get_size(key));
    if (signature.empty() || signature.size() > keyBytes) return static_cast<DWORD>(NTE_BAD_SIGNATURE);
    if (signature.size() < keyBytes) signature.insert(signature.begin(), keyBytes - signature.size(), 0);

    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_from_pkey(NpkLibContext(), key, nullptr));
    if (ctx == nullptr || EVP_PKEY_verify_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), md.get()) != 1)
        return static_cast<DWORD>(NTE_BAD_ALGID);
    const int ok = EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size());
    return ok == 1 ? 0 : static_cast<DWORD>(NTE_BAD_SIGNATURE);
}

namespace {

// Decodes the message, finds the signer's certificate and checks the signature. On success
// *cert holds a reference the caller owns.
DWORD VerifyMessage(PCRYPT_VERIFY_MESSAGE_PARA para, DWORD signerIndex, const BYTE* pb, DWORD cb,
                    const Bytes* detachedContent, Bytes* contentOut, PCCERT_CONTEXT* cert)
{
    *cert = nullptr;
    if (para == nullptr || para->cbSize < 20 ||
        GET_CMSG_ENCODING_TYPE(para->dwMsgAndCertEncodingType) != PKCS_7_ASN_ENCODING || pb == nullptr)
        return static_cast<DWORD>(E_INVALIDARG);
    SignedData data;
    DWORD e = DecodeSignedMessage(pb, cb, &data);
    if (e != 0) return e;
    if (signerIndex >= data.signers.size()) return static_cast<DWORD>(CRYPT_E_NO_SIGNER);
    const SignerData& signer = data.signers[signerIndex];

    HCERTSTORE store = OpenCertificateStore(data.certificates, &e);
    if (store == nullptr) return e;
    Bytes issuer, serial;
    SignerIssuerAndSerial(signer, &issuer, &serial);
    CERT_INFO id{};
    id.Issuer.cbData = static_cast<DWORD>(issuer.size());
    id.Issuer.pbData = issuer.data();
    id.SerialNumber.cbData = static_cast<DWORD>(serial.size());
    id.SerialNumber.pbData = serial.data();
    const DWORD certEncoding = para->dwMsgAndCertEncodingType;
    PCCERT_CONTEXT found = nullptr;
    SetLastError(0);
    if (para->pfnGetSignerCertificate != nullptr) {
        found = para->pfnGetSignerCertificate(para->pvGetArg, certEncoding, &id, store);
    } else if (signer.byKeyId) {
        CERT_ID certId{};
        certId.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
        certId.KeyId.cbData = static_cast<DWORD>(signer.keyId.size());
        certId.KeyId.pbData = const_cast<BYTE*>(signer.keyId.data());
        found = CertFindCertificateInStore(store, certEncoding, 0, CERT_FIND_CERT_ID, &certId, nullptr);
    } else {
        found = CertGetSubjectCertificateFromStore(store, certEncoding, &id);
    }
    if (found == nullptr) {
        e = GetLastError();
        CertCloseStore(store, 0);
        return e != 0 ? e : static_cast<DWORD>(CRYPT_E_NOT_FOUND);
    }
    // The context keeps its store alive for as long as the caller holds it.
    CertCloseStore(store, 0);

    const Bytes& content = detachedContent != nullptr ? *detachedContent : data.content;
    e = VerifySigner(signer, content.data(), content.size(), found);
    if (e != 0) {
        CertFreeCertificateContext(found);
        return e;
    }
    if (contentOut != nullptr) *contentOut = std::move(data.content);
    *cert = found;
    return 0;
}

}  // namespace

}  // namespace npk::crypt32

extern "C" BOOL WINAPI CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                                   const BYTE* pbSignedBlob, DWORD cbSignedBlob, BYTE* pbDecoded,
                                                   DWORD* pcbDecoded, PCCERT_CONTEXT* ppSignerCert)
{
    if (ppSignerCert != nullptr) *ppSignerCert = nullptr;
    const DWORD room = pcbDecoded != nullptr ? *pcbDecoded : 0;
    if (pcbDecoded != nullptr) *pcbDecoded = 0;
    npk::crypt32::Bytes content;
    PCCERT_CONTEXT cert = nullptr;
    DWORD e = npk::crypt32::VerifyMessage(pVerifyPara, dwSignerIndex, pbSignedBlob, cbSignedBlob, nullptr,
                                          &content, &cert);
    if (e != 0) {
        SetLastError(e);
        return FALSE;
    }
    if (pcbDecoded != nullptr) {
        *pcbDecoded = static_cast<DWORD>(content.size());
        if (pbDecoded != nullptr) {
            if (room < content.size()) {
                CertFreeCertificateContext(cert);
                SetLastError(ERROR_MORE_DATA);
                return FALSE;
            }
            if (!content.empty()) std::memcpy(pbDecoded, content.data(), content.size());
        }
    }
    if (ppSignerCert != nullptr)
        *ppSignerCert = cert;
    else
        CertFreeCertificateContext(cert);
    return TRUE;
}

extern "C" BOOL WINAPI CryptVerifyDetachedMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara,
                                                           DWORD dwSignerIndex, const BYTE* pbDetachedSignBlob,
                                                           DWORD cbDetachedSignBlob, DWORD cToBeSigned,
                                                           const BYTE* rgpbToBeSigned[], DWORD rgcbToBeSigned[],
                                                           PCCERT_CONTEXT* ppSignerCert)
{
    if (ppSignerCert != nullptr) *ppSignerCert = nullptr;
    if (cToBeSigned != 0 && (rgpbToBeSigned == nullptr || rgcbToBeSigned == nullptr)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    npk::crypt32::Bytes content;
    for (DWORD i = 0; i < cToBeSigned; ++i) {
        if (rgcbToBeSigned[i] == 0) continue;
        if (rgpbToBeSigned[i] == nullptr) {
            SetLastError(static_cast<DWORD>(E_INVALIDARG));
            return FALSE;
        }
        content.insert(content.end(), rgpbToBeSigned[i], rgpbToBeSigned[i] + rgcbToBeSigned[i]);
    }
    PCCERT_CONTEXT cert = nullptr;
    DWORD e = npk::crypt32::VerifyMessage(pVerifyPara, dwSignerIndex, pbDetachedSignBlob, cbDetachedSignBlob,
                                          &content, nullptr, &cert);
    if (e != 0) {
        SetLastError(e);
        return FALSE;
    }
    if (ppSignerCert != nullptr)
        *ppSignerCert = cert;
    else
        CertFreeCertificateContext(cert);
    return TRUE;
}

extern "C" LONG WINAPI CryptGetMessageSignerCount(DWORD dwMsgEncodingType, const BYTE* pbSignedBlob,
                                                  DWORD cbSignedBlob)
{
    if (GET_CMSG_ENCODING_TYPE(dwMsgEncodingType) != PKCS_7_ASN_ENCODING) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return -1;
    }
    npk::crypt32::SignedData data;
    DWORD e = npk::crypt32::DecodeSignedMessage(pbSignedBlob, cbSignedBlob, &data);
    if (e != 0) {
        SetLastError(e);
        return -1;
    }
    return static_cast<LONG>(data.signers.size());
}
