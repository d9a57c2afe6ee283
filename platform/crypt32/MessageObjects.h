// The objects behind HCRYPTMSG, and the parsed form of a signed message.
//
// Every handle points at a MessageObject: a magic, a reference count (CryptMsgDuplicate,
// CryptMsgClose) and virtual Update / GetParam / Control. The one-shot decoder of this layer
// (MessageDecode.cpp) buffers the input and, at the final update, reads the ContentInfo and
// hands the content to a MessageBody chosen by its content type: data and signed data are
// decoded here; enveloped data goes to DecodeEnvelopedBody. Streamed enveloped decoding is a
// MessageObject of its own (OpenStreamedDecoder), as is encoding (CryptMsgOpenToEncode); the
// envelope files (EnvelopeStream*.cpp) define both hooks.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace npk::crypt32 {

using Bytes = std::vector<BYTE>;

// What a message kind answers once its content is decoded.
class MessageBody {
public:
    virtual ~MessageBody() = default;
    virtual DWORD Type() const = 0;
    // CryptMsgGetParam for this kind: TRUE, or FALSE with the last error set.
    virtual BOOL GetParam(DWORD dwParamType, DWORD dwIndex, void* pvData, DWORD* pcbData) = 0;
    // CryptMsgControl for this kind.
    virtual BOOL Control(DWORD dwFlags, DWORD dwCtrlType, const void* pvCtrlPara);
    // The encoded certificates the message carries (CERT_STORE_PROV_MSG).
    virtual std::vector<Bytes> Certificates() const { return {}; }
};

class MessageObject {
public:
    static constexpr DWORD kMagic = 0x4D534748;  // "MSGH"

    MessageObject(DWORD encodingType, DWORD flags, DWORD type);
    virtual ~MessageObject();
    MessageObject(const MessageObject&) = delete;
    MessageObject& operator=(const MessageObject&) = delete;

    // The object behind a handle, or null (last error E_INVALIDARG) when it is not one of ours.
    static MessageObject* FromHandle(HCRYPTMSG hMsg);
    HCRYPTMSG Handle() { return this; }

    void AddRef() { ++m_refs; }
    void Release()
    {
        if (--m_refs == 0) delete this;
    }

    virtual BOOL Update(const BYTE* pbData, DWORD cbData, BOOL fFinal) = 0;
    virtual BOOL GetParam(DWORD dwParamType, DWORD dwIndex, void* pvData, DWORD* pcbData) = 0;
    virtual BOOL Control(DWORD dwFlags, DWORD dwCtrlType, const void* pvCtrlPara);
    // The certificates for a message store; false (with *error) when the message has none to give yet.
    virtual bool Certificates(std::vector<Bytes>* out, DWORD* error) const = 0;

    DWORD EncodingType() const { return m_encodingType; }
    DWORD Flags() const { return m_flags; }
    // The type given at open; 0 means "learn it from the content".
    DWORD RequestedType() const { return m_type; }

    // Messages alive in the process; lets tests prove that nothing leaks.
    static LONG LiveMessages();

private:
    DWORD m_magic = kMagic;
    std::atomic<LONG> m_refs{1};
    DWORD m_encodingType;
    DWORD m_flags;
    DWORD m_type;
};

// ---------------------------------------------------------------------------------------
// The parsed form of PKCS #7 / CMS signed data.
// ---------------------------------------------------------------------------------------
struct AlgorithmId {
    std::string oid;
    Bytes parameters;  // the parameters' whole encoding, or empty when absent
};

struct Attribute {
    std::string oid;
    std::vector<Bytes> values;  // each value's whole encoding
};

struct SignerData {
    DWORD version = 0;
    bool byKeyId = false;
    Bytes issuer;        // the issuer Name's whole encoding
    Bytes serial;        // INTEGER content octets, most significant first
    Bytes keyId;         // subjectKeyIdentifier, when byKeyId
    AlgorithmId digest;
    AlgorithmId signature;
    Bytes encryptedDigest;  // most significant first, as in the message
    bool hasAuthAttrs = false;
    Bytes authAttrsEncoded;  // the [0] IMPLICIT SET's whole encoding (re-tagged 0x31 when hashed)
    std::vector<Attribute> authAttrs;
    std::vector<Attribute> unauthAttrs;
};

struct SignedData {
    DWORD version = 0;
    std::vector<AlgorithmId> digestAlgorithms;
    std::string innerContentType;
    bool hasContent = false;
    Bytes content;  // the octets the signatures cover
    std::vector<Bytes> certificates;
    std::vector<Bytes> crls;
    std::vector<SignerData> signers;
};

// Reads a SignedData SEQUENCE (BER, indefinite lengths allowed). 0 or a CRYPT_E_ASN1_* code.
DWORD ParseSignedData(const BYTE* pb, size_t cb, SignedData* out);

// Reads one SignerInfo SEQUENCE (also the value of a counterSignature attribute).
DWORD ParseSignerInfo(const BYTE* pb, size_t cb, SignerData* out);

// Reads a ContentInfo: its content type and the content inside [0] EXPLICIT (the inner
// element's whole encoding; empty when absent). 0 or a CRYPT_E_ASN1_* code.
DWORD ParseContentInfo(const BYTE* pb, size_t cb, std::string* oid, Bytes* content, bool* hasContent);

// The octets of an OCTET STRING, primitive or constructed (BER).
DWORD ReadOctetString(const BYTE* pb, size_t cb, Bytes* out);

// The signer's identifier as CryptoAPI reports it in a CERT_INFO: the issuer (or, for a key
// identifier, the special name holding it) and the serial number least significant byte first.
void SignerIssuerAndSerial(const SignerData& signer, Bytes* issuer, Bytes* serialLsbFirst);

// Decodes a whole signed message (ContentInfo) in one call; detached keeps the content absent.
DWORD DecodeSignedMessage(const BYTE* pb, DWORD cb, SignedData* out);

// Checks one signer's signature over the content with the given certificate.
// 0, NTE_BAD_SIGNATURE, CRYPT_E_HASH_VALUE, CRYPT_E_AUTH_ATTR_MISSING or NTE_BAD_ALGID.
DWORD VerifySigner(const SignerData& signer, const BYTE* content, size_t contentLen, PCCERT_CONTEXT cert);

// The message's certificates in a new memory store (CERT_STORE_PROV_MSG). Null with *error set.
// The store holds its own copies: it outlives the message.
HCERTSTORE OpenMessageStore(HCRYPTMSG hMsg, DWORD* error);
// A memory store holding the given encoded certificates. Null with *error set.
HCERTSTORE OpenCertificateStore(const std::vector<Bytes>& certificates, DWORD* error);

// The signed-data body behind a decoded message, or null when the message is of another kind.
const SignedData* SignedDataOf(HCRYPTMSG hMsg);

// Hooks for the enveloped-message kind (see the top of this file). The defaults fail with
// CRYPT_E_INVALID_MSG_TYPE.
std::unique_ptr<MessageBody> DecodeEnvelopedBody(const BYTE* pbContent, size_t cbContent, DWORD flags,
                                                 DWORD* error);
MessageObject* OpenStreamedDecoder(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                   HCRYPTPROV_LEGACY hCryptProv, PCERT_INFO pRecipientInfo,
                                   PCMSG_STREAM_INFO pStreamInfo, DWORD* error);

// ---------------------------------------------------------------------------------------
// Self-contained result blocks: the structure first, then the bytes its pointers point to.
// Filled twice: once without a buffer to count, once into the caller's buffer.
// ---------------------------------------------------------------------------------------
class BlockWriter {
public:
    explicit BlockWriter(BYTE* base) : m_base(base) {}

    // Room for n bytes, aligned for any pointer; returns its offset.
    size_t Alloc(size_t n)
    {
        const size_t align = alignof(void*);
        m_used = (m_used + align - 1) / align * align;
        const size_t at = m_used;
        m_used += n;
        return at;
    }
    BYTE* At(size_t offset) const { return m_base != nullptr ? m_base + offset : nullptr; }
    void Write(size_t offset, const void* p, size_t n)
    {
        if (m_base != nullptr && n != 0) std::memcpy(m_base + offset, p, n);
    }
    BYTE* Copy(const void* p, size_t n)
    {
        const size_t at = Alloc(n);
        Write(at, p, n);
        return n != 0 ? At(at) : nullptr;
    }
    CRYPT_DATA_BLOB Blob(const Bytes& b)
    {
        CRYPT_DATA_BLOB blob{static_cast<DWORD>(b.size()), Copy(b.data(), b.size())};
        return blob;
    }
    LPSTR String(const std::string& s) { return reinterpret_cast<LPSTR>(Copy(s.c_str(), s.size() + 1)); }
    size_t Used() const { return m_used; }

private:
    BYTE* m_base;
    size_t m_used = 0;
};

// Runs fill twice as the two-call size pattern requires; sets *pcbData to the size.
template <class Fill>
BOOL ReturnBlock(void* pvData, DWORD* pcbData, Fill fill)
{
    BlockWriter counter(nullptr);
    fill(counter);
    const DWORD needed = static_cast<DWORD>(counter.Used());
    if (pvData == nullptr) {
        *pcbData = needed;
        return TRUE;
    }
    if (*pcbData < needed) {
        *pcbData = needed;
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    BlockWriter writer(static_cast<BYTE*>(pvData));
    fill(writer);
    *pcbData = needed;
    return TRUE;
}

// Plain bytes by the same pattern.
BOOL ReturnBytes(const BYTE* pb, size_t cb, void* pvData, DWORD* pcbData);
BOOL ReturnDword(DWORD value, void* pvData, DWORD* pcbData);

}  // namespace npk::crypt32
