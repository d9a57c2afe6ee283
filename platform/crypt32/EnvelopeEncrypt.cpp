// CryptEncryptMessage: a PKCS#7 / CMS enveloped-data message for one or more RSA recipients.
//
// Recipients are named by issuer and serial number (EnvelopedData and RecipientInfo version 0)
// or, with CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG, by their subject key identifier
// ([0] IMPLICIT, RecipientInfo and EnvelopedData version 2). A recipient without that extension
// under the flag fails with CRYPT_E_NOT_FOUND: Windows would fall back to a SHA-1 of the public
// key, which peers that match on the extension (OpenSSL) cannot find.
//
// The content key is 128-bit RC4 (its salt, of no bytes, an empty OCTET STRING) or DES-EDE3-CBC
// with a random IV; the key travels RSA PKCS#1 v1.5 encrypted to each recipient.
// pvEncryptionAuxInfo is not read: the key length is always the full 128 bits.
#include <windows.h>
#include <wincrypt.h>

#include "crypt32/CertKeyLink.h"
#include "crypt32/Der.h"
#include "crypt32/EnvelopeAlgorithms.h"
#include "crypt32/LibContext.h"

#include <cstring>
#include <new>
#include <vector>

using npk::envelope::Bytes;
namespace der = npk::der;
namespace env = npk::envelope;

namespace {

const BYTE kRsaEncryptionAlgorithm[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                        0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};

// The PKCS#7 content types by their CMSG_* numbers (0 is data).
const char* InnerContentTypeOid(DWORD type)
{
    switch (type) {
    case 0:
    case 1: return "1.2.840.113549.1.7.1";
    case 2: return "1.2.840.113549.1.7.2";
    case 3: return "1.2.840.113549.1.7.3";
    case 4: return "1.2.840.113549.1.7.4";
    case 5: return "1.2.840.113549.1.7.5";
    case 6: return "1.2.840.113549.1.7.6";
    default: return nullptr;
    }
}

Bytes OidElement(const char* text)
{
    Bytes content;
    der::OidFromText(text, content);
    return der::Tlv(0x06, content);
}

struct Recipient {
    EVP_PKEY* publicKey = nullptr;
    Bytes identifier;  // the rid as it is encoded
};

struct RecipientList {
    std::vector<Recipient> items;
    ~RecipientList()
    {
        for (Recipient& r : items) EVP_PKEY_free(r.publicKey);
    }
};

HRESULT CollectRecipients(DWORD count, PCCERT_CONTEXT certs[], bool byKeyId, RecipientList& out)
{
    for (DWORD i = 0; i < count; ++i) {
        PCCERT_CONTEXT cert = certs[i];
        if (cert == nullptr || cert->pCertInfo == nullptr) return E_INVALIDARG;
        Recipient r;
        if (byKeyId) {
            Bytes keyId;
            if (!env::SubjectKeyIdOf(cert, keyId)) return CRYPT_E_NOT_FOUND;
            r.identifier = der::Tlv(0x80, keyId);
        } else {
            r.identifier = env::IssuerAndSerialOf(cert);
        }
        r.publicKey = NpkCertificatePublicKey(cert);
        out.items.push_back(r);
        if (env::WrappedKeySize(r.publicKey) == 0) return CRYPT_E_UNKNOWN_ALGO;  // only RSA transports keys
    }
    return S_OK;
}

// The whole message. With sizeOnly nothing is encrypted: every encrypted part has a size known
// in advance, so zeros of those sizes give the exact length of the real message.
HRESULT BuildEnvelope(const CRYPT_ENCRYPT_MESSAGE_PARA& para, const RecipientList& recipients,
                      const BYTE* data, DWORD cbData, bool sizeOnly, Bytes& out)
{
    env::ContentCipher cipher;
    HRESULT hr = env::ContentCipherFromOid(para.ContentEncryptionAlgorithm.pszObjId, &cipher);
    if (FAILED(hr)) return hr;
    const char* innerOid = InnerContentTypeOid(para.dwInnerContentType);
    if (innerOid == nullptr) return E_INVALIDARG;
    const bool byKeyId = (para.dwFlags & CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG) != 0;
    const BYTE version = byKeyId ? 2 : 0;

    env::ContentKey key;
    if (sizeOnly) {
        key.cipher = cipher;
        key.key.assign(cipher == env::ContentCipher::Rc4 ? 16 : 24, 0);
        if (cipher == env::ContentCipher::Des3Cbc) key.iv.assign(8, 0);
    } else {
        hr = env::NewContentKey(cipher, key);
        if (FAILED(hr)) return hr;
    }

    std::vector<Bytes> infos;
    for (const Recipient& r : recipients.items) {
        Bytes wrapped;
        if (sizeOnly) {
            wrapped.assign(env::WrappedKeySize(r.publicKey), 0);
        } else {
            hr = env::WrapContentKey(r.publicKey, key.key, wrapped);
            if (FAILED(hr)) return hr;
        }
        Bytes info = der::Tlv(0x02, &version, 1);
        der::Append(info, r.identifier);
        der::Append(info, kRsaEncryptionAlgorithm, sizeof kRsaEncryptionAlgorithm);
        der::Append(info, der::Tlv(0x04, wrapped));
        infos.push_back(der::Tlv(0x30, info));
    }

    Bytes cipherText;
    if (sizeOnly) {
        cipherText.assign(env::ContentCrypter::EncryptedSize(cipher, cbData), 0);
    } else {
        env::ContentCrypter crypter;
        hr = crypter.Init(key, true);
        if (SUCCEEDED(hr)) hr = crypter.Update(data, cbData, cipherText);
        if (SUCCEEDED(hr)) hr = crypter.Final(cipherText);
        if (FAILED(hr)) return hr;
    }

    Bytes contentInfo = OidElement(innerOid);
    der::Append(contentInfo, env::EncodeContentAlgorithm(key));
    der::Append(contentInfo, der::Tlv(0x80, cipherText));

    Bytes enveloped = der::Tlv(0x02, &version, 1);
    der::Append(enveloped, der::SetOf(0x31, std::move(infos)));
    der::Append(enveloped, der::Tlv(0x30, contentInfo));

    Bytes outer = OidElement(szOID_RSA_envelopedData);
    der::Append(outer, der::Tlv(0xA0, der::Tlv(0x30, enveloped)));
    out = der::Tlv(0x30, outer);
    return S_OK;
}

BOOL Fail(HRESULT hr)
{
    SetLastError(static_cast<DWORD>(hr));
    return FALSE;
}

}  // namespace

extern "C" BOOL WINAPI CryptEncryptMessage(PCRYPT_ENCRYPT_MESSAGE_PARA pEncryptPara, DWORD cRecipientCert,
                                           PCCERT_CONTEXT rgpRecipientCert[], const BYTE* pbToBeEncrypted,
                                           DWORD cbToBeEncrypted, BYTE* pbEncryptedBlob, DWORD* pcbEncryptedBlob)
{
    if (pcbEncryptedBlob == nullptr) return Fail(E_INVALIDARG);
    const DWORD cbGiven = pbEncryptedBlob != nullptr ? *pcbEncryptedBlob : 0;
    *pcbEncryptedBlob = 0;
    if (pEncryptPara == nullptr || pEncryptPara->cbSize < sizeof(CRYPT_ENCRYPT_MESSAGE_PARA) ||
        (GET_CMSG_ENCODING_TYPE(pEncryptPara->dwMsgEncodingType) & PKCS_7_ASN_ENCODING) == 0)
        return Fail(E_INVALIDARG);
    // An envelope nobody can open is no use to anyone.
    if (cRecipientCert == 0 || rgpRecipientCert == nullptr) return Fail(E_INVALIDARG);
    if (pbToBeEncrypted == nullptr && cbToBeEncrypted != 0) return Fail(E_INVALIDARG);

    // The algorithm is checked first, so that an unknown one fails the same way in both calls.
    env::ContentCipher cipher;
    HRESULT hr = env::ContentCipherFromOid(pEncryptPara->ContentEncryptionAlgorithm.pszObjId, &cipher);
    if (FAILED(hr)) return Fail(hr);

    RecipientList recipients;
    hr = CollectRecipients(cRecipientCert, rgpRecipientCert,
                           (pEncryptPara->dwFlags & CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG) != 0, recipients);
    if (FAILED(hr)) return Fail(hr);

    static const BYTE kNothing = 0;
    const BYTE* data = pbToBeEncrypted != nullptr ? pbToBeEncrypted : &kNothing;

    Bytes sized;
    hr = BuildEnvelope(*pEncryptPara, recipients, data, cbToBeEncrypted, true, sized);
    if (FAILED(hr)) return Fail(hr);
    if (sized.size() > 0xFFFFFFFFu) return Fail(HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW));
    const DWORD needed = static_cast<DWORD>(sized.size());
    sized.clear();
    sized.shrink_to_fit();
    if (pbEncryptedBlob == nullptr) {
        *pcbEncryptedBlob = needed;
        SetLastError(0);
        return TRUE;
    }
    if (cbGiven < needed) {
        *pcbEncryptedBlob = needed;
        return Fail(static_cast<HRESULT>(ERROR_MORE_DATA));
    }

    Bytes message;
    hr = BuildEnvelope(*pEncryptPara, recipients, data, cbToBeEncrypted, false, message);
    if (FAILED(hr)) return Fail(hr);
    if (message.size() != needed) return Fail(E_UNEXPECTED);  // the sizes are fixed by construction
    std::memcpy(pbEncryptedBlob, message.data(), message.size());
    *pcbEncryptedBlob = needed;
    SetLastError(0);
    return TRUE;
}
