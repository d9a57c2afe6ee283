// Decoding enveloped messages through CryptMsg: streamed (CryptMsgOpenToDecode with a
// CMSG_STREAM_INFO) and in one piece (the body of a message collected until its final update),
// and CryptMsgControl.
//
// The header answers CRYPT_E_STREAM_MSG_NOT_READY until the content-encryption algorithm has
// arrived. CMSG_CTRL_DECRYPT unwraps the content key with the given provider's key, decrypts
// the encrypted content received so far and, streamed, passes the plaintext to the callback as
// more arrives; the cipher keeps the last block back until the end, where the padding is
// checked (NTE_BAD_DATA when wrong). A final update before the message is complete fails with
// CRYPT_E_STREAM_INSUFFICIENT_DATA. A callback that answers FALSE fails the update (or the
// control) in progress with the callback's last error, or CRYPT_E_MSG_ERROR when it set none;
// the message is unusable afterwards. Recipient indexes count key-transport entries only, the
// only kind this layer reads.
#include <windows.h>
#include <wincrypt.h>

#include "crypt32/EnvelopeStreamReader.h"
#include "crypt32/MessageObjects.h"

#include <openssl/crypto.h>

#include <new>

namespace npk::crypt32 {
namespace {

namespace env = npk::envelope;

BOOL FailWith(HRESULT hr)
{
    SetLastError(static_cast<DWORD>(hr));
    return FALSE;
}

void Wipe(Bytes& b)
{
    if (!b.empty()) OPENSSL_cleanse(b.data(), b.size());
    b.clear();
}

// The decoding shared by the streamed message and the one-piece body. Without a stream the
// plaintext is collected for CMSG_CONTENT_PARAM.
class EnvelopeDecoder : public env::EnvelopeSink {
public:
    EnvelopeDecoder(bool bare, const CMSG_STREAM_INFO* stream) : m_reader(bare)
    {
        if (stream != nullptr) {
            m_stream = *stream;
            m_streamed = true;
        }
    }
    ~EnvelopeDecoder() override
    {
        Wipe(m_plain);
        Wipe(m_content);
        if (m_ownedProvider != 0) {
            const DWORD error = GetLastError();
            CryptReleaseContext(m_ownedProvider, 0);
            SetLastError(error);
        }
    }

    HRESULT Update(const BYTE* pbData, DWORD cbData, BOOL fFinal)
    {
        if (FAILED(m_error)) return m_error;
        if (m_final) return CRYPT_E_MSG_ERROR;
        HRESULT hr = m_reader.Feed(pbData, cbData, *this);
        if (SUCCEEDED(hr) && fFinal) {
            m_final = true;
            if (!m_reader.Done()) hr = CRYPT_E_STREAM_INSUFFICIENT_DATA;
        }
        if (FAILED(hr)) m_error = hr;
        return hr;
    }

    BOOL GetParam(DWORD dwParamType, DWORD dwIndex, void* pvData, DWORD* pcbData, DWORD requestedType)
    {
        if (dwParamType == CMSG_TYPE_PARAM && (requestedType != 0 || m_reader.HeaderReady()))
            return ReturnDword(CMSG_ENVELOPED, pvData, pcbData);
        if (!m_reader.HeaderReady()) return FailWith(CRYPT_E_STREAM_MSG_NOT_READY);
        const env::StreamHeader& h = m_reader.Header();
        const DWORD count = static_cast<DWORD>(h.recipients.size());
        switch (dwParamType) {
        case CMSG_VERSION_PARAM:
            return ReturnDword(h.version, pvData, pcbData);
        case CMSG_INNER_CONTENT_TYPE_PARAM:
            return ReturnBytes(reinterpret_cast<const BYTE*>(h.contentType.c_str()), h.contentType.size() + 1,
                               pvData, pcbData);
        case CMSG_ENVELOPE_ALGORITHM_PARAM:
            return ReturnBlock(pvData, pcbData, [&h](BlockWriter& b) {
                const size_t at = b.Alloc(sizeof(CRYPT_ALGORITHM_IDENTIFIER));
                CRYPT_ALGORITHM_IDENTIFIER alg{};
                alg.pszObjId = b.String(h.algorithmOid);
                alg.Parameters = b.Blob(h.algorithmParameters);
                b.Write(at, &alg, sizeof(alg));
            });
        case CMSG_RECIPIENT_COUNT_PARAM:
        case CMSG_CMS_RECIPIENT_COUNT_PARAM:
            return ReturnDword(count, pvData, pcbData);
        case CMSG_RECIPIENT_INDEX_PARAM:
        case CMSG_CMS_RECIPIENT_INDEX_PARAM:
            if (!m_decrypting) return FailWith(CRYPT_E_NOT_DECRYPTED);
            return ReturnDword(m_recipientIndex, pvData, pcbData);
        case CMSG_RECIPIENT_INFO_PARAM:
            if (dwIndex >= count) return FailWith(CRYPT_E_INVALID_INDEX);
            return RecipientCertInfo(h.recipients[dwIndex], pvData, pcbData);
        case CMSG_CMS_RECIPIENT_INFO_PARAM:
            if (dwIndex >= count) return FailWith(CRYPT_E_INVALID_INDEX);
            return CmsRecipientInfo(h.recipients[dwIndex], pvData, pcbData);
        case CMSG_CONTENT_PARAM:
            // Streamed plaintext goes to the callback and is not kept.
            if (m_streamed || !m_contentDone) return FailWith(CRYPT_E_INVALID_MSG_TYPE);
            return ReturnBytes(m_content.data(), m_content.size(), pvData, pcbData);
        default:
            return FailWith(CRYPT_E_INVALID_MSG_TYPE);
        }
    }

    BOOL Control(DWORD dwFlags, DWORD dwCtrlType, const void* pvCtrlPara)
    {
        if (dwCtrlType != CMSG_CTRL_DECRYPT) return FailWith(CRYPT_E_CONTROL_TYPE);
        const CMSG_CTRL_DECRYPT_PARA* para = static_cast<const CMSG_CTRL_DECRYPT_PARA*>(pvCtrlPara);
        // 16 bytes is the whole structure as 32-bit callers count it.
        if (para == nullptr || para->cbSize < 16) return FailWith(E_INVALIDARG);
        HRESULT hr = Decrypt(dwFlags, *para);
        if (FAILED(hr)) return FailWith(hr);
        SetLastError(0);
        return TRUE;
    }

private:
    static BOOL RecipientCertInfo(const env::StreamRecipient& r, void* pvData, DWORD* pcbData)
    {
        SignerData s;
        s.byKeyId = r.byKeyId;
        s.issuer = r.issuer;
        s.serial = r.serial;
        s.keyId = r.keyId;
        Bytes issuer, serial;
        SignerIssuerAndSerial(s, &issuer, &serial);
        return ReturnBlock(pvData, pcbData, [&](BlockWriter& b) {
            const size_t at = b.Alloc(sizeof(CERT_INFO));
            CERT_INFO info{};
            info.Issuer = b.Blob(issuer);
            info.SerialNumber = b.Blob(serial);
            b.Write(at, &info, sizeof(info));
        });
    }

    static BOOL CmsRecipientInfo(const env::StreamRecipient& r, void* pvData, DWORD* pcbData)
    {
        const Bytes serial(r.serial.rbegin(), r.serial.rend());
        return ReturnBlock(pvData, pcbData, [&](BlockWriter& b) {
            const size_t at = b.Alloc(sizeof(CMSG_CMS_RECIPIENT_INFO));
            const size_t kt = b.Alloc(sizeof(CMSG_KEY_TRANS_RECIPIENT_INFO));
            CMSG_KEY_TRANS_RECIPIENT_INFO info{};
            info.dwVersion = r.version;
            if (r.byKeyId) {
                info.RecipientId.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
                info.RecipientId.KeyId = b.Blob(r.keyId);
            } else {
                info.RecipientId.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
                info.RecipientId.IssuerSerialNumber.Issuer = b.Blob(r.issuer);
                info.RecipientId.IssuerSerialNumber.SerialNumber = b.Blob(serial);
            }
            info.KeyEncryptionAlgorithm.pszObjId = b.String(r.keyAlgorithmOid);
            info.KeyEncryptionAlgorithm.Parameters = b.Blob(r.keyAlgorithmParameters);
            info.EncryptedKey = b.Blob(r.encryptedKey);
            b.Write(kt, &info, sizeof(info));
            CMSG_CMS_RECIPIENT_INFO outer{};
            outer.dwRecipientChoice = CMSG_KEY_TRANS_RECIPIENT;
            outer.pKeyTrans = reinterpret_cast<PCMSG_KEY_TRANS_RECIPIENT_INFO>(b.At(kt));
            b.Write(at, &outer, sizeof(outer));
        });
    }

    HRESULT Decrypt(DWORD dwFlags, const CMSG_CTRL_DECRYPT_PARA& para)
    {
        // With this flag a successful decryption hands the provider to the message, which
        // releases it when it is closed; after a failure the caller still owns it.
        const bool takeProvider = (dwFlags & CMSG_CRYPT_RELEASE_CONTEXT_FLAG) != 0 && para.dwKeySpec != CERT_NCRYPT_KEY_SPEC;
        HRESULT hr = DecryptWith(para);
        if (SUCCEEDED(hr) && takeProvider) m_ownedProvider = para.hCryptProv;
        return hr;
    }

    HRESULT DecryptWith(const CMSG_CTRL_DECRYPT_PARA& para)
    {
        if (FAILED(m_error)) return m_error;
        if (!m_reader.HeaderReady()) return CRYPT_E_STREAM_MSG_NOT_READY;
        if (m_decrypting) return CRYPT_E_ALREADY_DECRYPTED;
        const env::StreamHeader& h = m_reader.Header();
        if (para.dwRecipientIndex >= h.recipients.size()) return CRYPT_E_INVALID_INDEX;
        if (FAILED(h.algorithmError)) return h.algorithmError;
        const env::StreamRecipient& r = h.recipients[para.dwRecipientIndex];
        if (r.keyAlgorithmOid != szOID_RSA_RSA) return CRYPT_E_UNKNOWN_ALGO;
        // This layer has no CNG keys: a key handle of that kind cannot be one of ours.
        if (para.dwKeySpec == CERT_NCRYPT_KEY_SPEC) return NTE_BAD_KEY;

        EVP_PKEY* key = env::ProviderPrivateKey(para.hCryptProv, para.dwKeySpec);
        if (key == nullptr) return static_cast<HRESULT>(GetLastError());
        Bytes unwrapped;
        HRESULT hr = env::UnwrapContentKey(key, r.encryptedKey.data(), r.encryptedKey.size(), unwrapped);
        EVP_PKEY_free(key);
        if (FAILED(hr)) return hr;
        env::ContentKey contentKey;
        hr = env::ContentKeyFromUnwrapped(h.algorithm, unwrapped, contentKey);
        Wipe(unwrapped);
        if (SUCCEEDED(hr)) hr = m_crypter.Init(contentKey, false);
        if (FAILED(hr)) return hr;

        m_decrypting = true;
        m_recipientIndex = para.dwRecipientIndex;
        Bytes pending;
        pending.swap(m_pending);
        hr = Decipher(pending.data(), pending.size());
        if (SUCCEEDED(hr) && m_contentEnded) hr = Finish();
        if (FAILED(hr)) m_error = hr;
        return hr;
    }

    HRESULT OnCipherText(const BYTE* data, size_t len) override
    {
        if (!m_decrypting) {
            // Before the key is known the ciphertext has to wait; callers decrypt as soon as
            // the header is there, so this is at most the piece that completed it.
            m_pending.insert(m_pending.end(), data, data + len);
            return S_OK;
        }
        return Decipher(data, len);
    }

    HRESULT OnContentEnd() override
    {
        m_contentEnded = true;
        return m_decrypting ? Finish() : S_OK;
    }

    HRESULT Decipher(const BYTE* data, size_t len)
    {
        if (len == 0) return S_OK;
        HRESULT hr = m_crypter.Update(data, len, m_plain);
        if (SUCCEEDED(hr)) hr = Emit(false);
        return hr;
    }

    HRESULT Finish()
    {
        HRESULT hr = m_crypter.Final(m_plain);
        if (FAILED(hr)) {
            Wipe(m_plain);
            return hr;
        }
        hr = Emit(true);
        if (SUCCEEDED(hr)) m_contentDone = true;
        return hr;
    }

    HRESULT Emit(bool final)
    {
        if (!m_streamed) {
            m_content.insert(m_content.end(), m_plain.begin(), m_plain.end());
            Wipe(m_plain);
            return S_OK;
        }
        if (m_plain.empty() && !final) return S_OK;
        if (m_stream.pfnStreamOutput == nullptr) {
            Wipe(m_plain);
            return S_OK;
        }
        SetLastError(0);
        const BOOL ok = m_stream.pfnStreamOutput(m_stream.pvArg, m_plain.data(), static_cast<DWORD>(m_plain.size()),
                                                 final ? TRUE : FALSE);
        const DWORD error = GetLastError();
        Wipe(m_plain);
        if (ok) return S_OK;
        return error == 0 ? CRYPT_E_MSG_ERROR : HRESULT_FROM_WIN32(error);
    }

    env::EnvelopeReader m_reader;
    env::ContentCrypter m_crypter;
    CMSG_STREAM_INFO m_stream{};
    bool m_streamed = false;
    HRESULT m_error = S_OK;
    bool m_final = false;
    bool m_decrypting = false;
    bool m_contentEnded = false;
    bool m_contentDone = false;
    DWORD m_recipientIndex = 0;
    HCRYPTPROV m_ownedProvider = 0;  // given with CMSG_CRYPT_RELEASE_CONTEXT_FLAG
    Bytes m_pending;  // ciphertext that arrived before the key
    Bytes m_plain;    // plaintext on its way out
    Bytes m_content;  // the whole plaintext, without a stream
};

class StreamedEnvelopeMessage : public MessageObject {
public:
    StreamedEnvelopeMessage(DWORD encodingType, DWORD flags, DWORD type, const CMSG_STREAM_INFO* stream)
        : MessageObject(encodingType, flags, type), m_decoder((flags & CMSG_BARE_CONTENT_FLAG) != 0 && type != 0, stream)
    {
    }

    BOOL Update(const BYTE* pbData, DWORD cbData, BOOL fFinal) override
    {
        HRESULT hr = m_decoder.Update(pbData, cbData, fFinal);
        if (FAILED(hr)) return FailWith(hr);
        return TRUE;
    }
    BOOL GetParam(DWORD dwParamType, DWORD dwIndex, void* pvData, DWORD* pcbData) override
    {
        return m_decoder.GetParam(dwParamType, dwIndex, pvData, pcbData, RequestedType());
    }
    BOOL Control(DWORD dwFlags, DWORD dwCtrlType, const void* pvCtrlPara) override
    {
        return m_decoder.Control(dwFlags, dwCtrlType, pvCtrlPara);
    }
    bool Certificates(std::vector<Bytes>* out, DWORD*) const override
    {
        out->clear();  // originator certificates are passed over
        return true;
    }

private:
    EnvelopeDecoder m_decoder;
};

class EnvelopedBody : public MessageBody {
public:
    EnvelopedBody() : m_decoder(true, nullptr) {}
    HRESULT Load(const BYTE* pb, size_t cb)
    {
        if (cb > 0xFFFFFFFFu) return CRYPT_E_ASN1_LARGE;
        return m_decoder.Update(pb, static_cast<DWORD>(cb), TRUE);
    }
    DWORD Type() const override { return CMSG_ENVELOPED; }
    BOOL GetParam(DWORD dwParamType, DWORD dwIndex, void* pvData, DWORD* pcbData) override
    {
        return m_decoder.GetParam(dwParamType, dwIndex, pvData, pcbData, CMSG_ENVELOPED);
    }
    BOOL Control(DWORD dwFlags, DWORD dwCtrlType, const void* pvCtrlPara) override
    {
        return m_decoder.Control(dwFlags, dwCtrlType, pvCtrlPara);
    }

private:
    EnvelopeDecoder m_decoder;
};

}  // namespace

std::unique_ptr<MessageBody> DecodeEnvelopedBody(const BYTE* pbContent, size_t cbContent, DWORD, DWORD* error)
{
    std::unique_ptr<EnvelopedBody> body(new (std::nothrow) EnvelopedBody());
    if (!body) {
        *error = static_cast<DWORD>(E_OUTOFMEMORY);
        return nullptr;
    }
    HRESULT hr = body->Load(pbContent, cbContent);
    if (FAILED(hr)) {
        *error = static_cast<DWORD>(hr);
        return nullptr;
    }
    return body;
}

MessageObject* OpenStreamedDecoder(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType, HCRYPTPROV_LEGACY,
                                   PCERT_INFO, PCMSG_STREAM_INFO pStreamInfo, DWORD* error)
{
    MessageObject* msg =
        new (std::nothrow) StreamedEnvelopeMessage(dwMsgEncodingType, dwFlags, dwMsgType, pStreamInfo);
    if (msg == nullptr) *error = static_cast<DWORD>(E_OUTOFMEMORY);
    return msg;
}

}  // namespace npk::crypt32

extern "C" BOOL WINAPI CryptMsgControl(HCRYPTMSG hCryptMsg, DWORD dwFlags, DWORD dwCtrlType, void const* pvCtrlPara)
{
    npk::crypt32::MessageObject* msg = npk::crypt32::MessageObject::FromHandle(hCryptMsg);
    if (msg == nullptr) return FALSE;
    return msg->Control(dwFlags, dwCtrlType, pvCtrlPara);
}
