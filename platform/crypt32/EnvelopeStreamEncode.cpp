// CryptMsgOpenToEncode for enveloped data (CMSG_ENVELOPED), streamed or in one piece.
//
// Recipients come from rgpRecipients (CERT_INFO: identified by issuer and serial number) or,
// when the caller's structure has the CMS members, from rgCmsRecipients (key transport, by
// issuer and serial number or by key identifier; a key identifier of no bytes is refused, as
// nobody could be found by it). Key transport is RSA PKCS#1 v1.5; the content is encrypted with
// 128-bit RC4 or DES-EDE3-CBC. Certificates, CRLs and unprotected attributes are not written:
// a structure asking for them is refused with E_INVALIDARG rather than silently dropping them.
//
// Streamed with cbContent CMSG_INDEFINITE_LENGTH, the output is BER with indefinite lengths:
// the header goes out with the first update, each update's ciphertext as one primitive
// OCTET STRING inside the constructed encryptedContent, and the final update adds the last
// block and the end-of-contents octets, given to the callback with fFinal TRUE. Nothing but
// the current piece is held. With a definite cbContent the output is DER whose lengths are
// known at the start; the updates must then add up to cbContent exactly. Without a stream the
// content is collected and the DER message is read back with CMSG_CONTENT_PARAM.
//
// A callback that answers FALSE fails that update with the callback's last error, or with
// CRYPT_E_MSG_ERROR when it set none; the message takes no more updates after that.
#define CMSG_ENVELOPED_ENCODE_INFO_HAS_CMS_FIELDS
#include <windows.h>
#include <wincrypt.h>

#include "crypt32/Der.h"
#include "crypt32/EnvelopeAlgorithms.h"
#include "crypt32/MessageObjects.h"

#include <openssl/crypto.h>

#include <cstddef>
#include <cstring>
#include <new>

namespace npk::crypt32 {
namespace {

namespace env = npk::envelope;

const BYTE kRsaEncryptionAlgorithm[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                        0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
const BYTE kEndOfContents[] = {0, 0};

BOOL FailWith(HRESULT hr)
{
    SetLastError(static_cast<DWORD>(hr));
    return FALSE;
}

Bytes OidElement(const char* text)
{
    Bytes content;
    if (!der::OidFromText(text, content)) return Bytes();
    return der::Tlv(0x06, content);
}

Bytes Header(BYTE tag, uint64_t len)
{
    Bytes out;
    der::PutHeader(out, tag, static_cast<size_t>(len));
    return out;
}

struct PendingRecipient {
    EVP_PKEY* publicKey = nullptr;
    Bytes identifier;  // the rid as it is encoded
    BYTE version = 0;
};

class EnvelopeEncoder : public MessageObject {
public:
    EnvelopeEncoder(DWORD encodingType, DWORD flags) : MessageObject(encodingType, flags, CMSG_ENVELOPED) {}
    ~EnvelopeEncoder() override
    {
        if (!m_collected.empty()) OPENSSL_cleanse(m_collected.data(), m_collected.size());
    }

    HRESULT Init(const CMSG_ENVELOPED_ENCODE_INFO& info, LPCSTR innerOid, const CMSG_STREAM_INFO* stream)
    {
        const DWORD base = offsetof(CMSG_ENVELOPED_ENCODE_INFO, rgpRecipients) + sizeof(info.rgpRecipients);
        if (info.cbSize < base) return E_INVALIDARG;
        if (stream != nullptr) {
            if (stream->pfnStreamOutput == nullptr) return E_INVALIDARG;
            m_stream = *stream;
            m_streamed = true;
            m_indefinite = stream->cbContent == CMSG_INDEFINITE_LENGTH;
        }
        env::ContentCipher cipher;
        HRESULT hr = env::ContentCipherFromOid(info.ContentEncryptionAlgorithm.pszObjId, &cipher);
        if (FAILED(hr)) return hr;

        // The CMS members exist when the caller's structure reaches them.
        const bool hasCms = info.cbSize > offsetof(CMSG_ENVELOPED_ENCODE_INFO, rgCmsRecipients);
        const bool hasRest = info.cbSize >= sizeof(CMSG_ENVELOPED_ENCODE_INFO);
        if (hasRest && (info.cCertEncoded != 0 || info.cCrlEncoded != 0 || info.cAttrCertEncoded != 0 ||
                        info.cUnprotectedAttr != 0))
            return E_INVALIDARG;
        if (info.cRecipients == 0) return E_INVALIDARG;  // an envelope nobody can open

        std::vector<PendingRecipient> recipients;
        struct FreeKeys {
            std::vector<PendingRecipient>& r;
            ~FreeKeys()
            {
                for (PendingRecipient& p : r) EVP_PKEY_free(p.publicKey);
            }
        } freeKeys{recipients};
        if (hasCms && info.rgCmsRecipients != nullptr) {
            for (DWORD i = 0; i < info.cRecipients; ++i) {
                PendingRecipient r;
                hr = CmsRecipient(info.rgCmsRecipients[i], r);
                if (r.publicKey != nullptr || SUCCEEDED(hr)) recipients.push_back(r);
                if (FAILED(hr)) return hr;
            }
        } else if (info.rgpRecipients != nullptr) {
            for (DWORD i = 0; i < info.cRecipients; ++i) {
                const CERT_INFO* ci = info.rgpRecipients[i];
                if (ci == nullptr) return E_INVALIDARG;
                PendingRecipient r;
                r.publicKey = env::PublicKeyFromInfo(ci->SubjectPublicKeyInfo);
                if (r.publicKey == nullptr) return NTE_BAD_PUBLIC_KEY;
                recipients.push_back(r);
                if (env::WrappedKeySize(r.publicKey) == 0) return CRYPT_E_UNKNOWN_ALGO;
                recipients.back().identifier = env::IssuerAndSerialOf(ci->Issuer, ci->SerialNumber);
            }
        } else {
            return E_INVALIDARG;
        }

        const char* inner = innerOid != nullptr ? innerOid : szOID_RSA_data;
        Bytes innerElement = OidElement(inner);
        if (innerElement.empty()) return CRYPT_E_OID_FORMAT;

        env::ContentKey key;
        hr = env::NewContentKey(cipher, key);
        if (SUCCEEDED(hr)) hr = m_crypter.Init(key, true);
        if (FAILED(hr)) return hr;
        m_cipher = cipher;

        BYTE version = 0;
        std::vector<Bytes> infos;
        for (const PendingRecipient& r : recipients) {
            Bytes wrapped;
            hr = env::WrapContentKey(r.publicKey, key.key, wrapped);
            if (FAILED(hr)) return hr;
            Bytes ri = der::Tlv(0x02, &r.version, 1);
            der::Append(ri, r.identifier);
            ri.insert(ri.end(), kRsaEncryptionAlgorithm, kRsaEncryptionAlgorithm + sizeof kRsaEncryptionAlgorithm);
            der::Append(ri, der::Tlv(0x04, wrapped));
            infos.push_back(der::Tlv(0x30, ri));
            if (r.version != 0) version = 2;
        }
        m_envelopedHead = der::Tlv(0x02, &version, 1);
        der::Append(m_envelopedHead, der::SetOf(0x31, std::move(infos)));
        m_contentInfoHead = innerElement;
        der::Append(m_contentInfoHead, env::EncodeContentAlgorithm(key));
        m_bare = (Flags() & CMSG_BARE_CONTENT_FLAG) != 0;
        if (m_streamed && !m_indefinite) m_expected = m_stream.cbContent;
        return S_OK;
    }

    BOOL Update(const BYTE* pbData, DWORD cbData, BOOL fFinal) override
    {
        if (FAILED(m_error)) return FailWith(m_error);
        if (m_final) return FailWith(CRYPT_E_MSG_ERROR);
        if (pbData == nullptr && cbData != 0) return FailWith(E_INVALIDARG);
        HRESULT hr = m_streamed ? StreamUpdate(pbData, cbData, fFinal != FALSE) : Collect(pbData, cbData, fFinal != FALSE);
        if (fFinal) m_final = true;
        if (FAILED(hr)) {
            m_error = hr;
            return FailWith(hr);
        }
        return TRUE;
    }

    BOOL GetParam(DWORD dwParamType, DWORD, void* pvData, DWORD* pcbData) override
    {
        switch (dwParamType) {
        case CMSG_TYPE_PARAM:
            return ReturnDword(CMSG_ENVELOPED, pvData, pcbData);
        case CMSG_CONTENT_PARAM:
        case CMSG_BARE_CONTENT_PARAM:
            // A streamed message has already gone to the callback.
            if (m_streamed || !m_final || FAILED(m_error)) return FailWith(CRYPT_E_MSG_ERROR);
            return ReturnBytes(m_message.data(), m_message.size(), pvData, pcbData);
        default:
            return FailWith(CRYPT_E_INVALID_MSG_TYPE);
        }
    }

    bool Certificates(std::vector<Bytes>*, DWORD* error) const override
    {
        *error = static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE);
        return false;
    }

private:
    static HRESULT CmsRecipient(const CMSG_RECIPIENT_ENCODE_INFO& in, PendingRecipient& r)
    {
        if (in.dwRecipientChoice != CMSG_KEY_TRANS_RECIPIENT || in.pKeyTrans == nullptr) return E_INVALIDARG;
        const CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO& kt = *in.pKeyTrans;
        if (kt.KeyEncryptionAlgorithm.pszObjId == nullptr ||
            std::strcmp(kt.KeyEncryptionAlgorithm.pszObjId, szOID_RSA_RSA) != 0)
            return CRYPT_E_UNKNOWN_ALGO;
        r.publicKey = env::RsaPublicKeyFromBits(kt.RecipientPublicKey);
        if (r.publicKey == nullptr) return NTE_BAD_PUBLIC_KEY;
        switch (kt.RecipientId.dwIdChoice) {
        case CERT_ID_ISSUER_SERIAL_NUMBER:
            r.identifier = env::IssuerAndSerialOf(kt.RecipientId.IssuerSerialNumber.Issuer,
                                                  kt.RecipientId.IssuerSerialNumber.SerialNumber);
            r.version = 0;
            return S_OK;
        case CERT_ID_KEY_IDENTIFIER:
            if (kt.RecipientId.KeyId.cbData == 0 || kt.RecipientId.KeyId.pbData == nullptr) return E_INVALIDARG;
            r.identifier = der::Tlv(0x80, kt.RecipientId.KeyId.pbData, kt.RecipientId.KeyId.cbData);
            r.version = 2;
            return S_OK;
        default:
            return E_INVALIDARG;
        }
    }

    // Everything before the first ciphertext octet.
    Bytes Prefix(bool indefinite, uint64_t cipherLen) const
    {
        const Bytes envOid = OidElement(szOID_RSA_envelopedData);
        Bytes out;
        if (indefinite) {
            if (!m_bare) {
                out = {0x30, 0x80};
                der::Append(out, envOid);
                out.insert(out.end(), {0xA0, 0x80});
            }
            out.insert(out.end(), {0x30, 0x80});
            der::Append(out, m_envelopedHead);
            out.insert(out.end(), {0x30, 0x80});
            der::Append(out, m_contentInfoHead);
            out.insert(out.end(), {0xA0, 0x80});
            return out;
        }
        const Bytes ctHdr = Header(0x80, cipherLen);
        const uint64_t eciLen = m_contentInfoHead.size() + ctHdr.size() + cipherLen;
        const Bytes eciHdr = Header(0x30, eciLen);
        const uint64_t envLen = m_envelopedHead.size() + eciHdr.size() + eciLen;
        const Bytes envHdr = Header(0x30, envLen);
        if (!m_bare) {
            const uint64_t explicitLen = envHdr.size() + envLen;
            const Bytes explicitHdr = Header(0xA0, explicitLen);
            out = Header(0x30, envOid.size() + explicitHdr.size() + explicitLen);
            der::Append(out, envOid);
            der::Append(out, explicitHdr);
        }
        der::Append(out, envHdr);
        der::Append(out, m_envelopedHead);
        der::Append(out, eciHdr);
        der::Append(out, m_contentInfoHead);
        der::Append(out, ctHdr);
        return out;
    }

    HRESULT Collect(const BYTE* data, DWORD len, bool final)
    {
        if (len != 0) m_collected.insert(m_collected.end(), data, data + len);
        if (!final) return S_OK;
        const uint64_t cipherLen = env::ContentCrypter::EncryptedSize(m_cipher, m_collected.size());
        m_message = Prefix(false, cipherLen);
        HRESULT hr = m_crypter.Update(m_collected.data(), m_collected.size(), m_message);
        if (SUCCEEDED(hr)) hr = m_crypter.Final(m_message);
        OPENSSL_cleanse(m_collected.data(), m_collected.size());
        Bytes().swap(m_collected);
        return hr;
    }

    HRESULT StreamUpdate(const BYTE* data, DWORD len, bool final)
    {
        // Both buffers keep their capacity from one update to the next: no fresh pages per chunk.
        Bytes& out = m_outBuffer;
        out.clear();
        if (!m_headerSent) {
            const uint64_t cipherLen = m_indefinite ? 0 : env::ContentCrypter::EncryptedSize(m_cipher, m_expected);
            out = Prefix(m_indefinite, cipherLen);
            m_headerSent = true;
        }
        m_total += len;
        if (!m_indefinite && m_total > m_expected) return CRYPT_E_MSG_ERROR;  // more than announced
        Bytes& cipher = m_cipherBuffer;
        cipher.clear();
        HRESULT hr = m_crypter.Update(data != nullptr ? data : kEndOfContents, len, cipher);
        if (SUCCEEDED(hr) && final) hr = m_crypter.Final(cipher);
        if (FAILED(hr)) return hr;
        if (final && !m_indefinite && m_total != m_expected) return CRYPT_E_MSG_ERROR;  // less than announced
        if (!cipher.empty()) {
            if (m_indefinite) der::PutHeader(out, 0x04, cipher.size());
            der::Append(out, cipher);
        }
        if (final && m_indefinite) {
            const int ends = m_bare ? 3 : 5;  // encryptedContent, EncryptedContentInfo, EnvelopedData, [0], ContentInfo
            for (int i = 0; i < ends; ++i) out.insert(out.end(), kEndOfContents, kEndOfContents + 2);
        }
        if (out.empty() && !final) return S_OK;
        SetLastError(0);
        const BOOL ok = m_stream.pfnStreamOutput(m_stream.pvArg, out.data(), static_cast<DWORD>(out.size()),
                                                 final ? TRUE : FALSE);
        const DWORD error = GetLastError();
        if (ok) return S_OK;
        return error == 0 ? CRYPT_E_MSG_ERROR : HRESULT_FROM_WIN32(error);
    }

    CMSG_STREAM_INFO m_stream{};
    Bytes m_outBuffer;
    Bytes m_cipherBuffer;
    bool m_streamed = false;
    bool m_indefinite = false;
    bool m_bare = false;
    uint64_t m_expected = 0;
    uint64_t m_total = 0;
    bool m_headerSent = false;
    bool m_final = false;
    HRESULT m_error = S_OK;
    env::ContentCipher m_cipher = env::ContentCipher::Rc4;
    env::ContentCrypter m_crypter;
    Bytes m_envelopedHead;    // version and recipientInfos
    Bytes m_contentInfoHead;  // contentType and contentEncryptionAlgorithm
    Bytes m_collected;        // the content, without a stream
    Bytes m_message;          // the message, without a stream
};

}  // namespace
}  // namespace npk::crypt32

extern "C" HCRYPTMSG WINAPI CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                                 void const* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                                                 PCMSG_STREAM_INFO pStreamInfo)
{
    if (GET_CMSG_ENCODING_TYPE(dwMsgEncodingType) != PKCS_7_ASN_ENCODING || pvMsgEncodeInfo == nullptr) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    if (dwMsgType != CMSG_ENVELOPED) {
        SetLastError(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
        return nullptr;
    }
    auto* msg = new (std::nothrow) npk::crypt32::EnvelopeEncoder(dwMsgEncodingType, dwFlags);
    if (msg == nullptr) {
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
        return nullptr;
    }
    HRESULT hr = msg->Init(*static_cast<const CMSG_ENVELOPED_ENCODE_INFO*>(pvMsgEncodeInfo), pszInnerContentObjID,
                           pStreamInfo);
    if (FAILED(hr)) {
        msg->Release();
        SetLastError(static_cast<DWORD>(hr));
        return nullptr;
    }
    SetLastError(0);
    return msg->Handle();
}
