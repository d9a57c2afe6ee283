// CryptDecryptMessage: opens a PKCS#7 / CMS enveloped-data message with the private key of a
// certificate found in the caller's stores.
//
// Key-transport recipients by issuer and serial number or by subject key identifier are
// understood (for a certificate without that extension, the SHA-1 of its public key counts as
// its identifier, as on Windows); other recipient kinds are passed over. Content: RC4 with keys
// of 40 to 128 bits (the length is the unwrapped key's, plus any salt in the parameters) and
// absent, NULL or OCTET STRING parameters; DES-EDE3-CBC, DES-CBC, AES-128/192/256-CBC with
// their IV; RC2-CBC with its RC2CBCParameter. BER with indefinite lengths and constructed
// OCTET STRINGs is read as well as DER.
#include <windows.h>
#include <wincrypt.h>

#include "crypt32/EnvelopeAlgorithms.h"
#include "crypt32/EnvelopeBer.h"

#include <openssl/crypto.h>

#include <cstring>
#include <vector>

using npk::envelope::Bytes;
namespace ber = npk::ber;
namespace env = npk::envelope;

namespace {

const BYTE kEnvelopedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03};
const BYTE kRsaEncryptionOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};

struct KeyTransRecipient {
    bool byKeyId = false;
    Bytes issuer;      // the Name's whole encoding
    Bytes serial;      // the INTEGER's content, most significant byte first
    Bytes keyId;
    bool rsa = false;  // key encryption algorithm is rsaEncryption
    Bytes encryptedKey;
};

struct Envelope {
    std::vector<KeyTransRecipient> recipients;
    env::ContentAlgorithm algorithm;
    Bytes cipherText;
};

bool OidIs(const ber::Element& e, const BYTE* oid, size_t len)
{
    return e.tag == 0x06 && e.contentLen == len && std::memcmp(e.content, oid, len) == 0;
}

// AlgorithmIdentifier ::= SEQUENCE { algorithm OID, parameters ANY OPTIONAL }
HRESULT ReadAlgorithm(const ber::Element& seq, ber::Element& oid, ber::Element& params, bool& hasParams)
{
    ber::Children c(seq);
    HRESULT hr = c.Expect(0x06, oid);
    if (FAILED(hr)) return hr;
    hasParams = !c.AtEnd();
    if (hasParams) {
        hr = c.Next(params);
        if (FAILED(hr)) return hr;
    }
    return c.AtEnd() ? S_OK : CRYPT_E_ASN1_CORRUPT;
}

HRESULT ReadKeyTransRecipient(const ber::Element& seq, KeyTransRecipient& out)
{
    ber::Children c(seq);
    ber::Element version, rid, algorithm, key;
    HRESULT hr = c.Expect(0x02, version);
    if (FAILED(hr)) return hr;
    if (c.PeekTag() == 0x30) {
        hr = c.Next(rid);
        if (FAILED(hr)) return hr;
        ber::Children ias(rid);
        ber::Element issuer, serial;
        hr = ias.Expect(0x30, issuer);
        if (SUCCEEDED(hr)) hr = ias.Expect(0x02, serial);
        if (FAILED(hr)) return hr;
        if (!ias.AtEnd()) return CRYPT_E_ASN1_CORRUPT;
        out.issuer.assign(issuer.header, issuer.header + issuer.totalLen);
        out.serial.assign(serial.content, serial.content + serial.contentLen);
    } else if ((c.PeekTag() & 0xDF) == 0x80) {  // [0] IMPLICIT SubjectKeyIdentifier
        hr = c.Next(rid);
        if (FAILED(hr)) return hr;
        out.byKeyId = true;
        hr = ber::OctetString(rid, out.keyId);
        if (FAILED(hr)) return hr;
    } else {
        return CRYPT_E_ASN1_BADTAG;
    }
    hr = c.Expect(0x30, algorithm);
    if (FAILED(hr)) return hr;
    ber::Element oid, params;
    bool hasParams = false;
    hr = ReadAlgorithm(algorithm, oid, params, hasParams);
    if (FAILED(hr)) return hr;
    out.rsa = OidIs(oid, kRsaEncryptionOid, sizeof kRsaEncryptionOid);
    hr = c.Next(key);
    if (FAILED(hr)) return hr;
    if ((key.tag & 0xDF) != 0x04) return CRYPT_E_ASN1_BADTAG;
    hr = ber::OctetString(key, out.encryptedKey);
    if (FAILED(hr)) return hr;
    return c.AtEnd() ? S_OK : CRYPT_E_ASN1_CORRUPT;
}

HRESULT ParseEnvelope(const BYTE* pb, DWORD cb, Envelope& out)
{
    ber::Element contentInfo;
    HRESULT hr = ber::Read(pb, cb, contentInfo);
    if (FAILED(hr)) return hr;
    if (contentInfo.tag != 0x30) return CRYPT_E_ASN1_BADTAG;
    if (contentInfo.totalLen != cb) return CRYPT_E_ASN1_CORRUPT;  // bytes after the message

    ber::Children ci(contentInfo);
    ber::Element type, explicitContent, enveloped;
    hr = ci.Expect(0x06, type);
    if (FAILED(hr)) return hr;
    if (!OidIs(type, kEnvelopedDataOid, sizeof kEnvelopedDataOid)) return CRYPT_E_UNEXPECTED_MSG_TYPE;
    hr = ci.Expect(0xA0, explicitContent);
    if (FAILED(hr)) return hr;
    ber::Children ec(explicitContent);
    hr = ec.Expect(0x30, enveloped);
    if (FAILED(hr)) return hr;

    ber::Children ed(enveloped);
    ber::Element version, recipients, encryptedContentInfo;
    hr = ed.Expect(0x02, version);
    if (FAILED(hr)) return hr;
    if (ed.PeekTag() == 0xA0) {  // originatorInfo: certificates for the reader, not needed here
        ber::Element originator;
        hr = ed.Next(originator);
        if (FAILED(hr)) return hr;
    }
    hr = ed.Expect(0x31, recipients);
    if (FAILED(hr)) return hr;
    hr = ed.Expect(0x30, encryptedContentInfo);
    if (FAILED(hr)) return hr;

    ber::Children ri(recipients);
    while (!ri.AtEnd()) {
        ber::Element info;
        hr = ri.Next(info);
        if (FAILED(hr)) return hr;
        if (info.tag != 0x30) continue;  // key agreement, KEK, password: not key transport
        KeyTransRecipient r;
        hr = ReadKeyTransRecipient(info, r);
        if (FAILED(hr)) return hr;
        out.recipients.push_back(std::move(r));
    }

    ber::Children eci(encryptedContentInfo);
    ber::Element contentType, algorithm;
    hr = eci.Expect(0x06, contentType);
    if (SUCCEEDED(hr)) hr = eci.Expect(0x30, algorithm);
    if (FAILED(hr)) return hr;
    ber::Element oid, params;
    bool hasParams = false;
    hr = ReadAlgorithm(algorithm, oid, params, hasParams);
    if (FAILED(hr)) return hr;
    hr = env::DecodeContentAlgorithm(oid.content, oid.contentLen, hasParams ? params.header : nullptr,
                                     hasParams ? params.totalLen : 0, hasParams, out.algorithm);
    if (FAILED(hr)) return hr;
    if (!eci.AtEnd()) {
        ber::Element content;
        hr = eci.Next(content);
        if (FAILED(hr)) return hr;
        if ((content.tag & 0xDF) != 0x80) return CRYPT_E_ASN1_BADTAG;
        hr = ber::OctetString(content, out.cipherText);
        if (FAILED(hr)) return hr;
    }
    return eci.AtEnd() ? S_OK : CRYPT_E_ASN1_CORRUPT;
}

// An INTEGER's content without the sign octets that do not change its value.
Bytes MinimalInteger(const Bytes& content)
{
    size_t i = 0;
    while (i + 1 < content.size() &&
           ((content[i] == 0x00 && (content[i + 1] & 0x80) == 0) ||
            (content[i] == 0xFF && (content[i + 1] & 0x80) != 0)))
        ++i;
    return Bytes(content.begin() + static_cast<long>(i), content.end());
}

bool Matches(PCCERT_CONTEXT cert, const KeyTransRecipient& r)
{
    if (cert->pCertInfo == nullptr) return false;
    if (r.byKeyId) {
        Bytes id;
        if (!env::SubjectKeyIdOf(cert, id) && !env::ComputedKeyIdOf(cert, id)) return false;
        return id == r.keyId;
    }
    const CERT_NAME_BLOB& issuer = cert->pCertInfo->Issuer;
    if (issuer.cbData != r.issuer.size() || std::memcmp(issuer.pbData, r.issuer.data(), issuer.cbData) != 0)
        return false;
    const CRYPT_INTEGER_BLOB& serial = cert->pCertInfo->SerialNumber;
    Bytes mine(serial.pbData, serial.pbData + serial.cbData);
    Bytes msbFirst(mine.rbegin(), mine.rend());
    return MinimalInteger(msbFirst) == MinimalInteger(r.serial);
}

HRESULT DecryptContent(const Envelope& envelope, const Bytes& unwrapped, Bytes& plain)
{
    env::ContentKey key;
    HRESULT hr = env::ContentKeyFromUnwrapped(envelope.algorithm, unwrapped, key);
    if (FAILED(hr)) return hr;
    env::ContentCrypter crypter;
    hr = crypter.Init(key, false);
    if (SUCCEEDED(hr)) hr = crypter.Update(envelope.cipherText.data(), envelope.cipherText.size(), plain);
    if (SUCCEEDED(hr)) hr = crypter.Final(plain);
    return hr;
}

// Tries every recipient entry against every certificate of every store, in order. The first
// certificate whose key opens the content wins; *ppCert gets a reference to it.
HRESULT OpenEnvelope(const Envelope& envelope, DWORD cStores, HCERTSTORE* stores, Bytes& plain,
                     PCCERT_CONTEXT* ppCert)
{
    HRESULT failure = CRYPT_E_NO_DECRYPT_CERT;
    for (const KeyTransRecipient& r : envelope.recipients) {
        if (!r.rsa) {
            failure = failure == CRYPT_E_NO_DECRYPT_CERT ? CRYPT_E_UNKNOWN_ALGO : failure;
            continue;
        }
        for (DWORD s = 0; s < cStores; ++s) {
            if (stores[s] == nullptr) continue;
            PCCERT_CONTEXT cert = nullptr;
            while ((cert = CertEnumCertificatesInStore(stores[s], cert)) != nullptr) {
                if (!Matches(cert, r)) continue;
                EVP_PKEY* key = env::CertificatePrivateKey(cert);
                if (key == nullptr) continue;  // a certificate without its key cannot open it
                Bytes unwrapped;
                HRESULT hr = env::UnwrapContentKey(key, r.encryptedKey.data(), r.encryptedKey.size(), unwrapped);
                EVP_PKEY_free(key);
                if (SUCCEEDED(hr)) {
                    plain.clear();
                    hr = DecryptContent(envelope, unwrapped, plain);
                    OPENSSL_cleanse(unwrapped.data(), unwrapped.size());
                }
                if (SUCCEEDED(hr)) {
                    *ppCert = cert;  // the enumeration's reference passes to the caller
                    return S_OK;
                }
                if (!plain.empty()) OPENSSL_cleanse(plain.data(), plain.size());
                plain.clear();
                failure = hr;
            }
        }
    }
    return failure;
}

BOOL Fail(HRESULT hr)
{
    SetLastError(static_cast<DWORD>(hr));
    return FALSE;
}

}  // namespace

extern "C" BOOL WINAPI CryptDecryptMessage(PCRYPT_DECRYPT_MESSAGE_PARA pDecryptPara, const BYTE* pbEncryptedBlob,
                                           DWORD cbEncryptedBlob, BYTE* pbDecrypted, DWORD* pcbDecrypted,
                                           PCCERT_CONTEXT* ppXchgCert)
{
    if (ppXchgCert != nullptr) *ppXchgCert = nullptr;
    const DWORD cbGiven = pcbDecrypted != nullptr && pbDecrypted != nullptr ? *pcbDecrypted : 0;
    if (pcbDecrypted != nullptr) *pcbDecrypted = 0;
    // The first four members are all a caller must give (16 bytes, as 32-bit callers count
    // them, which is what callers write whatever the build); dwFlags is optional.
    const DWORD kMinimumSize = 16;
    if (pDecryptPara == nullptr || pDecryptPara->cbSize < kMinimumSize ||
        (GET_CMSG_ENCODING_TYPE(pDecryptPara->dwMsgAndCertEncodingType) & PKCS_7_ASN_ENCODING) == 0 ||
        (pDecryptPara->cCertStore != 0 && pDecryptPara->rghCertStore == nullptr))
        return Fail(E_INVALIDARG);
    if (pbDecrypted != nullptr && pcbDecrypted == nullptr) return Fail(E_INVALIDARG);
    if (pbEncryptedBlob == nullptr || cbEncryptedBlob == 0) return Fail(CRYPT_E_ASN1_EOD);

    Envelope envelope;
    HRESULT hr = ParseEnvelope(pbEncryptedBlob, cbEncryptedBlob, envelope);
    if (FAILED(hr)) return Fail(hr);

    Bytes plain;
    PCCERT_CONTEXT cert = nullptr;
    hr = OpenEnvelope(envelope, pDecryptPara->cCertStore, pDecryptPara->rghCertStore, plain, &cert);
    if (FAILED(hr)) return Fail(hr);

    struct Wipe {
        Bytes& b;
        ~Wipe()
        {
            if (!b.empty()) OPENSSL_cleanse(b.data(), b.size());
        }
    } wipe{plain};

    if (plain.size() > 0xFFFFFFFFu) {
        CertFreeCertificateContext(cert);
        return Fail(HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW));
    }
    const DWORD size = static_cast<DWORD>(plain.size());
    if (pbDecrypted != nullptr) {
        if (cbGiven < size) {
            CertFreeCertificateContext(cert);
            if (pcbDecrypted != nullptr) *pcbDecrypted = size;
            return Fail(static_cast<HRESULT>(ERROR_MORE_DATA));
        }
        if (size != 0) std::memcpy(pbDecrypted, plain.data(), size);
    }
    if (pcbDecrypted != nullptr) *pcbDecrypted = size;
    if (ppXchgCert != nullptr)
        *ppXchgCert = cert;
    else
        CertFreeCertificateContext(cert);
    SetLastError(0);
    return TRUE;
}
