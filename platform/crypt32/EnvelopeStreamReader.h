// An incremental BER reader for enveloped-data messages: it takes the message in pieces of
// any size (down to one byte), definite or indefinite lengths, and the encrypted content
// primitive or constructed. Only the header (everything up to the content-encryption
// algorithm) is held in memory; the encrypted content goes to the sink as it arrives, so
// memory stays proportional to the pieces, not to the message.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "crypt32/EnvelopeAlgorithms.h"

#include <cstdint>
#include <string>
#include <vector>

namespace npk::envelope {

struct StreamRecipient {
    DWORD version = 0;
    bool byKeyId = false;
    Bytes issuer;  // the Name's whole encoding
    Bytes serial;  // the INTEGER's content, most significant byte first
    Bytes keyId;
    std::string keyAlgorithmOid;
    Bytes keyAlgorithmParameters;  // the parameters' whole encoding, empty when absent
    Bytes encryptedKey;            // as in the message
};

struct StreamHeader {
    DWORD version = 0;
    std::vector<StreamRecipient> recipients;  // key-transport entries only, in message order
    std::string contentType;
    std::string algorithmOid;
    Bytes algorithmParameters;  // whole encoding, empty when absent
    ContentAlgorithm algorithm;
    HRESULT algorithmError = S_OK;  // an unknown or malformed content algorithm
};

class EnvelopeSink {
public:
    virtual ~EnvelopeSink() = default;
    virtual HRESULT OnCipherText(const BYTE* data, size_t len) = 0;
    // The encrypted content is complete (also when the message has none).
    virtual HRESULT OnContentEnd() = 0;
};

class EnvelopeReader {
public:
    // bare: the input is the EnvelopedData itself, without the ContentInfo around it.
    explicit EnvelopeReader(bool bare) : m_bare(bare) {}

    // Takes the next piece. Errors are sticky: once the input is found malformed, every
    // later call answers the same code.
    HRESULT Feed(const BYTE* data, size_t len, EnvelopeSink& sink);

    bool HeaderReady() const { return m_headerReady; }
    bool Done() const { return m_state == State::Done; }
    const StreamHeader& Header() const { return m_header; }

    // The header may not grow without bound while the reader waits for its end.
    static constexpr size_t kMaxHeader = 8u << 20;

private:
    enum class Kind { ContentInfo, Explicit, Enveloped, EncryptedContentInfo, Content, ContentPart, Skip };
    struct Frame {
        Kind kind;
        bool indefinite;
        uint64_t end;    // definite: the offset just past the element
        uint64_t limit;  // the nearest definite end at or above this frame
        bool childSeen = false;
    };
    enum class State { Header, Primitive, Done };

    HRESULT ParseHeader(EnvelopeSink& sink);
    HRESULT Walk(const BYTE* p, size_t n, EnvelopeSink& sink);
    HRESULT PopEnded(EnvelopeSink& sink);
    HRESULT EndFrame(EnvelopeSink& sink);
    HRESULT OnElement(BYTE tag, bool indefinite, uint64_t len, EnvelopeSink& sink);
    HRESULT Push(Kind kind, bool indefinite, uint64_t len);
    uint64_t Limit() const { return m_frames.empty() ? UINT64_MAX : m_frames.back().limit; }

    bool m_bare;
    HRESULT m_error = S_OK;
    bool m_headerReady = false;
    StreamHeader m_header;

    // The header, collected until it is whole.
    Bytes m_buf;
    int m_step = 0;
    size_t m_pos = 0;
    size_t m_retryAt = 0;

    // The rest, walked element by element.
    std::vector<Frame> m_frames;
    State m_state = State::Header;
    uint64_t m_offset = 0;
    BYTE m_hdr[6] = {};
    size_t m_hdrLen = 0;
    uint64_t m_remaining = 0;
    bool m_primitiveIsCipher = false;
};

}  // namespace npk::envelope
