// CryptMsgOpenToDecode, CryptMsgUpdate, CryptMsgGetParam, CryptMsgDuplicate, CryptMsgClose
// for data and signed data decoded in one piece.
//
// Without a stream the message is collected until the final update and decoded then, as on
// Windows: until that point no parameter but the requested type is known, and a parameter
// asked for early fails with CRYPT_E_INVALID_MSG_TYPE. Updates after the final one fail with
// CRYPT_E_MSG_ERROR. A message that fails to decode stays undecoded.
#include "crypt32/MessageObjects.h"

#include <new>

namespace npk::crypt32 {

namespace {

std::atomic<LONG> g_liveMessages{0};

void Fail(DWORD code) { SetLastError(code); }

BOOL FailWith(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

// CMSG_DATA: the content octets and nothing else.
class DataBody : public MessageBody {
public:
    explicit DataBody(Bytes content) : m_content(std::move(content)) {}
    DWORD Type() const override { return CMSG_DATA; }
    BOOL GetParam(DWORD dwParamType, DWORD, void* pvData, DWORD* pcbData) override
    {
        switch (dwParamType) {
        case CMSG_TYPE_PARAM:
            return ReturnDword(CMSG_DATA, pvData, pcbData);
        case CMSG_CONTENT_PARAM:
            return ReturnBytes(m_content.data(), m_content.size(), pvData, pcbData);
        default:
            return FailWith(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
        }
    }

private:
    Bytes m_content;
};

void FillAlgorithm(BlockWriter& b, const AlgorithmId& alg, CRYPT_ALGORITHM_IDENTIFIER* out)
{
    out->pszObjId = b.String(alg.oid);
    out->Parameters = b.Blob(alg.parameters);
}

// A CRYPT_ATTRIBUTE array and everything it points to; returns the array's address.
PCRYPT_ATTRIBUTE FillAttributes(BlockWriter& b, const std::vector<Attribute>& attrs)
{
    if (attrs.empty()) return nullptr;
    const size_t at = b.Alloc(attrs.size() * sizeof(CRYPT_ATTRIBUTE));
    std::vector<CRYPT_ATTRIBUTE> out(attrs.size());
    for (size_t i = 0; i < attrs.size(); ++i) {
        out[i].pszObjId = b.String(attrs[i].oid);
        out[i].cValue = static_cast<DWORD>(attrs[i].values.size());
        const size_t vat = b.Alloc(attrs[i].values.size() * sizeof(CRYPT_ATTR_BLOB));
        std::vector<CRYPT_ATTR_BLOB> values(attrs[i].values.size());
        for (size_t j = 0; j < values.size(); ++j) values[j] = b.Blob(attrs[i].values[j]);
        b.Write(vat, values.data(), values.size() * sizeof(CRYPT_ATTR_BLOB));
        out[i].rgValue = values.empty() ? nullptr : reinterpret_cast<PCRYPT_ATTR_BLOB>(b.At(vat));
    }
    b.Write(at, out.data(), out.size() * sizeof(CRYPT_ATTRIBUTE));
    return reinterpret_cast<PCRYPT_ATTRIBUTE>(b.At(at));
}

class SignedBody : public MessageBody {
public:
    explicit SignedBody(SignedData data) : m_data(std::move(data)) {}
    DWORD Type() const override { return CMSG_SIGNED; }
    const SignedData& Data() const { return m_data; }
    std::vector<Bytes> Certificates() const override { return m_data.certificates; }

    BOOL GetParam(DWORD dwParamType, DWORD dwIndex, void* pvData, DWORD* pcbData) override
    {
        switch (dwParamType) {
        case CMSG_TYPE_PARAM:
            return ReturnDword(CMSG_SIGNED, pvData, pcbData);
        case CMSG_CONTENT_PARAM:
            return ReturnBytes(m_data.content.data(), m_data.content.size(), pvData, pcbData);
        case CMSG_INNER_CONTENT_TYPE_PARAM:
            return ReturnBytes(reinterpret_cast<const BYTE*>(m_data.innerContentType.c_str()),
                               m_data.innerContentType.size() + 1, pvData, pcbData);
        case CMSG_VERSION_PARAM:
            return ReturnDword(m_data.version, pvData, pcbData);
        case CMSG_SIGNER_COUNT_PARAM:
            return ReturnDword(static_cast<DWORD>(m_data.signers.size()), pvData, pcbData);
        case CMSG_CERT_COUNT_PARAM:
            return ReturnDword(static_cast<DWORD>(m_data.certificates.size()), pvData, pcbData);
        case CMSG_CRL_COUNT_PARAM:
            return ReturnDword(static_cast<DWORD>(m_data.crls.size()), pvData, pcbData);
        case CMSG_CERT_PARAM:
            if (dwIndex >= m_data.certificates.size()) return FailWith(static_cast<DWORD>(CRYPT_E_INVALID_INDEX));
            return ReturnBytes(m_data.certificates[dwIndex].data(), m_data.certificates[dwIndex].size(), pvData,
                               pcbData);
        case CMSG_CRL_PARAM:
            if (dwIndex >= m_data.crls.size()) return FailWith(static_cast<DWORD>(CRYPT_E_INVALID_INDEX));
            return ReturnBytes(m_data.crls[dwIndex].data(), m_data.crls[dwIndex].size(), pvData, pcbData);
        case CMSG_SIGNER_INFO_PARAM:
        case CMSG_SIGNER_CERT_INFO_PARAM:
        case CMSG_SIGNER_HASH_ALGORITHM_PARAM:
        case CMSG_SIGNER_AUTH_ATTR_PARAM:
        case CMSG_SIGNER_UNAUTH_ATTR_PARAM:
        case CMSG_SIGNER_CERT_ID_PARAM:
            if (dwIndex >= m_data.signers.size()) return FailWith(static_cast<DWORD>(CRYPT_E_INVALID_INDEX));
            return SignerParam(dwParamType, m_data.signers[dwIndex], pvData, pcbData);
        default:
            return FailWith(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
        }
    }

private:
    static BOOL SignerParam(DWORD type, const SignerData& s, void* pvData, DWORD* pcbData)
    {
        switch (type) {
        case CMSG_SIGNER_INFO_PARAM:
            return ReturnBlock(pvData, pcbData, [&s](BlockWriter& b) {
                const size_t at = b.Alloc(sizeof(CMSG_SIGNER_INFO));
                CMSG_SIGNER_INFO info{};
                info.dwVersion = s.version;
                Bytes issuer, serial;
                SignerIssuerAndSerial(s, &issuer, &serial);
                info.Issuer = b.Blob(issuer);
                info.SerialNumber = b.Blob(serial);
                FillAlgorithm(b, s.digest, &info.HashAlgorithm);
                FillAlgorithm(b, s.signature, &info.HashEncryptionAlgorithm);
                info.EncryptedHash = b.Blob(s.encryptedDigest);
                info.AuthAttrs.cAttr = static_cast<DWORD>(s.authAttrs.size());
                info.AuthAttrs.rgAttr = FillAttributes(b, s.authAttrs);
                info.UnauthAttrs.cAttr = static_cast<DWORD>(s.unauthAttrs.size());
                info.UnauthAttrs.rgAttr = FillAttributes(b, s.unauthAttrs);
                b.Write(at, &info, sizeof(info));
            });
        case CMSG_SIGNER_CERT_INFO_PARAM:
            return ReturnBlock(pvData, pcbData, [&s](BlockWriter& b) {
                const size_t at = b.Alloc(sizeof(CERT_INFO));
                CERT_INFO info{};
                Bytes issuer, serial;
                SignerIssuerAndSerial(s, &issuer, &serial);
                info.Issuer = b.Blob(issuer);
                info.SerialNumber = b.Blob(serial);
                b.Write(at, &info, sizeof(info));
            });
        case CMSG_SIGNER_CERT_ID_PARAM:
            return ReturnBlock(pvData, pcbData, [&s](BlockWriter& b) {
                const size_t at = b.Alloc(sizeof(CERT_ID));
                CERT_ID id{};
                if (s.byKeyId) {
                    id.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
                    id.KeyId = b.Blob(s.keyId);
                } else {
                    id.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
                    Bytes serial(s.serial.rbegin(), s.serial.rend());
                    id.IssuerSerialNumber.Issuer = b.Blob(s.issuer);
                    id.IssuerSerialNumber.SerialNumber = b.Blob(serial);
                }
                b.Write(at, &id, sizeof(id));
            });
        case CMSG_SIGNER_HASH_ALGORITHM_PARAM:
            return ReturnBlock(pvData, pcbData, [&s](BlockWriter& b) {
                const size_t at = b.Alloc(sizeof(CRYPT_ALGORITHM_IDENTIFIER));
                CRYPT_ALGORITHM_IDENTIFIER alg{};
                FillAlgorithm(b, s.digest, &alg);
                b.Write(at, &alg, sizeof(alg));
            });
        default: {
            const std::vector<Attribute>& attrs = type == CMSG_SIGNER_AUTH_ATTR_PARAM ? s.authAttrs : s.unauthAttrs;
            if (attrs.empty()) return FailWith(static_cast<DWORD>(CRYPT_E_ATTRIBUTES_MISSING));
            return ReturnBlock(pvData, pcbData, [&attrs](BlockWriter& b) {
                const size_t at = b.Alloc(sizeof(CRYPT_ATTRIBUTES));
                CRYPT_ATTRIBUTES out{};
                out.cAttr = static_cast<DWORD>(attrs.size());
                out.rgAttr = FillAttributes(b, attrs);
                b.Write(at, &out, sizeof(out));
            });
        }
        }
    }

    SignedData m_data;
};

// The one-shot decoder; with a stream (signed or data only) it hands the content to the
// callback once the message is complete.
class DecodeMessage : public MessageObject {
public:
    DecodeMessage(DWORD encodingType, DWORD flags, DWORD type, const CMSG_STREAM_INFO* stream)
        : MessageObject(encodingType, flags, type)
    {
        if (stream != nullptr) {
            m_stream = *stream;
            m_streamed = true;
        }
    }

    BOOL Update(const BYTE* pbData, DWORD cbData, BOOL fFinal) override
    {
        if (m_final) return FailWith(static_cast<DWORD>(CRYPT_E_MSG_ERROR));
        if (pbData == nullptr && cbData != 0) return FailWith(static_cast<DWORD>(E_INVALIDARG));
        if (cbData != 0) m_input.insert(m_input.end(), pbData, pbData + cbData);
        if (!fFinal) return TRUE;
        m_final = true;
        Bytes input;
        input.swap(m_input);
        DWORD error = Decode(input);
        if (error != 0) return FailWith(error);
        if (m_streamed && m_stream.pfnStreamOutput != nullptr) {
            Bytes content;
            DWORD size = 0;
            if (m_body->GetParam(CMSG_CONTENT_PARAM, 0, nullptr, &size) && size != 0) {
                content.resize(size);
                m_body->GetParam(CMSG_CONTENT_PARAM, 0, content.data(), &size);
            }
            if (!m_stream.pfnStreamOutput(m_stream.pvArg, content.data(), static_cast<DWORD>(content.size()), TRUE))
                return FALSE;  // the callback set its own last error
        }
        return TRUE;
    }

    BOOL GetParam(DWORD dwParamType, DWORD dwIndex, void* pvData, DWORD* pcbData) override
    {
        if (m_body == nullptr) {
            if (dwParamType == CMSG_TYPE_PARAM && RequestedType() != 0)
                return ReturnDword(RequestedType(), pvData, pcbData);
            return FailWith(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
        }
        return m_body->GetParam(dwParamType, dwIndex, pvData, pcbData);
    }

    BOOL Control(DWORD dwFlags, DWORD dwCtrlType, const void* pvCtrlPara) override
    {
        if (m_body == nullptr) return FailWith(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
        return m_body->Control(dwFlags, dwCtrlType, pvCtrlPara);
    }

    bool Certificates(std::vector<Bytes>* out, DWORD* error) const override
    {
        if (m_body == nullptr) {
            *error = static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE);
            return false;
        }
        *out = m_body->Certificates();
        return true;
    }

    const MessageBody* Body() const { return m_body.get(); }

private:
    DWORD Decode(const Bytes& input)
    {
        if (input.empty()) return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
        DWORD type = RequestedType();
        Bytes content;
        bool hasContent = false;
        if ((Flags() & CMSG_BARE_CONTENT_FLAG) != 0 && type != 0) {
            // No ContentInfo around it: the bytes are the content of the given type.
            content = input;
            hasContent = true;
        } else {
            std::string oid;
            DWORD e = ParseContentInfo(input.data(), input.size(), &oid, &content, &hasContent);
            if (e != 0) return e;
            DWORD found = oid == szOID_RSA_data ? CMSG_DATA
                          : oid == szOID_RSA_signedData ? CMSG_SIGNED
                          : oid == "1.2.840.113549.1.7.3" ? CMSG_ENVELOPED
                          : 0;
            if (found == 0 || (type != 0 && type != found)) return static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE);
            type = found;
        }
        switch (type) {
        case CMSG_DATA: {
            Bytes octets;
            if (hasContent) {
                DWORD e = ReadOctetString(content.data(), content.size(), &octets);
                if (e != 0) return e;
            }
            m_body = std::unique_ptr<MessageBody>(new (std::nothrow) DataBody(std::move(octets)));
            break;
        }
        case CMSG_SIGNED: {
            if (!hasContent) return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
            SignedData data;
            DWORD e = ParseSignedData(content.data(), content.size(), &data);
            if (e != 0) return e;
            m_body = std::unique_ptr<MessageBody>(new (std::nothrow) SignedBody(std::move(data)));
            break;
        }
        case CMSG_ENVELOPED: {
            if (!hasContent) return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
            DWORD e = 0;
            m_body = DecodeEnvelopedBody(content.data(), content.size(), Flags(), &e);
            if (m_body == nullptr) return e != 0 ? e : static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE);
            break;
        }
        default:
            return static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE);
        }
        return m_body != nullptr ? 0 : static_cast<DWORD>(E_OUTOFMEMORY);
    }

    Bytes m_input;
    bool m_final = false;
    bool m_streamed = false;
    CMSG_STREAM_INFO m_stream{};
    std::unique_ptr<MessageBody> m_body;
};

}  // namespace

// ---------------------------------------------------------------------------------------

BOOL MessageBody::Control(DWORD, DWORD, const void*)
{
    return FailWith(static_cast<DWORD>(CRYPT_E_CONTROL_TYPE));
}

MessageObject::MessageObject(DWORD encodingType, DWORD flags, DWORD type)
    : m_encodingType(encodingType), m_flags(flags), m_type(type)
{
    ++g_liveMessages;
}

MessageObject::~MessageObject()
{
    m_magic = 0;
    --g_liveMessages;
}

MessageObject* MessageObject::FromHandle(HCRYPTMSG hMsg)
{
    MessageObject* msg = static_cast<MessageObject*>(hMsg);
    if (msg == nullptr || msg->m_magic != kMagic) {
        Fail(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    return msg;
}

BOOL MessageObject::Control(DWORD, DWORD, const void*)
{
    return FailWith(static_cast<DWORD>(CRYPT_E_CONTROL_TYPE));
}

LONG MessageObject::LiveMessages() { return g_liveMessages.load(); }

BOOL ReturnBytes(const BYTE* pb, size_t cb, void* pvData, DWORD* pcbData)
{
    if (pvData == nullptr) {
        *pcbData = static_cast<DWORD>(cb);
        return TRUE;
    }
    if (*pcbData < cb) {
        *pcbData = static_cast<DWORD>(cb);
        return FailWith(ERROR_MORE_DATA);
    }
    if (cb != 0) std::memcpy(pvData, pb, cb);
    *pcbData = static_cast<DWORD>(cb);
    return TRUE;
}

BOOL ReturnDword(DWORD value, void* pvData, DWORD* pcbData)
{
    return ReturnBytes(reinterpret_cast<const BYTE*>(&value), sizeof(value), pvData, pcbData);
}

const SignedData* SignedDataOf(HCRYPTMSG hMsg)
{
    MessageObject* msg = static_cast<MessageObject*>(hMsg);
    DecodeMessage* decode = dynamic_cast<DecodeMessage*>(msg);
    if (decode == nullptr || decode->Body() == nullptr || decode->Body()->Type() != CMSG_SIGNED) return nullptr;
    return &static_cast<const SignedBody*>(decode->Body())->Data();
}

}  // namespace npk::crypt32

using npk::crypt32::MessageObject;

extern "C" HCRYPTMSG WINAPI CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                                 HCRYPTPROV_LEGACY hCryptProv, PCERT_INFO pRecipientInfo,
                                                 PCMSG_STREAM_INFO pStreamInfo)
{
    if (GET_CMSG_ENCODING_TYPE(dwMsgEncodingType) != PKCS_7_ASN_ENCODING) {
        npk::crypt32::Fail(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    if (dwMsgType != 0 && dwMsgType != CMSG_DATA && dwMsgType != CMSG_SIGNED && dwMsgType != CMSG_ENVELOPED) {
        npk::crypt32::Fail(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
        return nullptr;
    }
    // Envelopes are decoded piece by piece when streamed; that is the enveloped kind's reader.
    if (pStreamInfo != nullptr && (dwMsgType == 0 || dwMsgType == CMSG_ENVELOPED)) {
        DWORD error = 0;
        MessageObject* msg = npk::crypt32::OpenStreamedDecoder(dwMsgEncodingType, dwFlags, dwMsgType, hCryptProv,
                                                               pRecipientInfo, pStreamInfo, &error);
        if (msg == nullptr) npk::crypt32::Fail(error != 0 ? error : static_cast<DWORD>(E_OUTOFMEMORY));
        return msg;
    }
    MessageObject* msg =
        new (std::nothrow) npk::crypt32::DecodeMessage(dwMsgEncodingType, dwFlags, dwMsgType, pStreamInfo);
    if (msg == nullptr) {
        npk::crypt32::Fail(static_cast<DWORD>(E_OUTOFMEMORY));
        return nullptr;
    }
    return msg->Handle();
}

extern "C" BOOL WINAPI CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData, BOOL fFinal)
{
    MessageObject* msg = MessageObject::FromHandle(hCryptMsg);
    if (msg == nullptr) return FALSE;
    return msg->Update(pbData, cbData, fFinal);
}

extern "C" BOOL WINAPI CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData,
                                        DWORD* pcbData)
{
    MessageObject* msg = MessageObject::FromHandle(hCryptMsg);
    if (msg == nullptr) return FALSE;
    if (pcbData == nullptr) return npk::crypt32::FailWith(static_cast<DWORD>(E_INVALIDARG));
    return msg->GetParam(dwParamType, dwIndex, pvData, pcbData);
}

extern "C" HCRYPTMSG WINAPI CryptMsgDuplicate(HCRYPTMSG hCryptMsg)
{
    if (hCryptMsg == nullptr) return nullptr;
    MessageObject* msg = MessageObject::FromHandle(hCryptMsg);
    if (msg == nullptr) return nullptr;
    msg->AddRef();
    return hCryptMsg;
}

extern "C" BOOL WINAPI CryptMsgClose(HCRYPTMSG hCryptMsg)
{
    if (hCryptMsg == nullptr) return TRUE;
    MessageObject* msg = MessageObject::FromHandle(hCryptMsg);
    if (msg == nullptr) return FALSE;
    msg->Release();
    return TRUE;
}
