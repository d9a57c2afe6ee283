// The incremental enveloped-data reader. The header is small and bounded, so it is collected
// and read with the whole-buffer BER reader, one element at a time (each step resumes where
// the last one stopped). Past the header the input is walked element by element with a stack
// of open elements, holding back nothing but the few octets of a tag and length.
#include "crypt32/EnvelopeStreamReader.h"

#include "crypt32/Der.h"
#include "crypt32/EnvelopeBer.h"

#include <algorithm>
#include <cstring>

namespace npk::envelope {
namespace {

const BYTE kEnvelopedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03};
const size_t kMaxFrames = 64;

// A tag and length at pos: S_OK, S_FALSE when more octets are needed, or an error.
HRESULT HeaderAt(const Bytes& b, size_t pos, BYTE& tag, bool& indefinite, uint64_t& len, size_t& hdrLen)
{
    if (b.size() - pos < 2) return S_FALSE;
    tag = b[pos];
    if ((tag & 0x1F) == 0x1F) return CRYPT_E_ASN1_BADTAG;
    const BYTE l = b[pos + 1];
    indefinite = l == 0x80;
    len = 0;
    hdrLen = 2;
    if (indefinite) return (tag & 0x20) != 0 ? S_OK : CRYPT_E_ASN1_CORRUPT;
    if ((l & 0x80) == 0) {
        len = l;
        return S_OK;
    }
    const size_t k = l & 0x7F;
    if (k > 4) return CRYPT_E_ASN1_LARGE;
    if (b.size() - pos < 2 + k) return S_FALSE;
    for (size_t i = 0; i < k; ++i) len = (len << 8) | b[pos + 2 + i];
    hdrLen = 2 + k;
    return S_OK;
}

std::string OidText(const ber::Element& e)
{
    std::string s;
    der::OidToText(e.content, e.contentLen, s);
    return s;
}

HRESULT SmallInteger(const ber::Element& e, DWORD& out)
{
    if (e.contentLen == 0 || e.contentLen > 4) return CRYPT_E_ASN1_CORRUPT;
    out = 0;
    for (size_t i = 0; i < e.contentLen; ++i) out = (out << 8) | e.content[i];
    return S_OK;
}

// AlgorithmIdentifier: the OID's text and the parameters' whole encoding.
HRESULT ReadAlgorithm(const ber::Element& seq, std::string& oid, Bytes& params, ber::Element* oidOut = nullptr,
                      ber::Element* paramsOut = nullptr, bool* hasParams = nullptr)
{
    ber::Children c(seq);
    ber::Element o, p;
    HRESULT hr = c.Expect(0x06, o);
    if (FAILED(hr)) return hr;
    const bool has = !c.AtEnd();
    if (has) {
        hr = c.Next(p);
        if (FAILED(hr)) return hr;
        params.assign(p.header, p.header + p.totalLen);
    } else {
        params.clear();
    }
    if (!c.AtEnd()) return CRYPT_E_ASN1_CORRUPT;
    oid = OidText(o);
    if (oid.empty()) return CRYPT_E_ASN1_CORRUPT;
    if (oidOut != nullptr) *oidOut = o;
    if (paramsOut != nullptr && has) *paramsOut = p;
    if (hasParams != nullptr) *hasParams = has;
    return S_OK;
}

HRESULT ReadKeyTrans(const ber::Element& seq, StreamRecipient& out)
{
    ber::Children c(seq);
    ber::Element version, rid, algorithm, key;
    HRESULT hr = c.Expect(0x02, version);
    if (SUCCEEDED(hr)) hr = SmallInteger(version, out.version);
    if (FAILED(hr)) return hr;
    if (c.PeekTag() == 0x30) {
        hr = c.Next(rid);
        if (FAILED(hr)) return hr;
        ber::Children ias(rid);
        ber::Element issuer, serial;
        hr = ias.Expect(0x30, issuer);
        if (SUCCEEDED(hr)) hr = ias.Expect(0x02, serial);
        if (FAILED(hr)) return hr;
        if (!ias.AtEnd() || serial.contentLen == 0) return CRYPT_E_ASN1_CORRUPT;
        out.issuer.assign(issuer.header, issuer.header + issuer.totalLen);
        out.serial.assign(serial.content, serial.content + serial.contentLen);
    } else if ((c.PeekTag() & 0xDF) == 0x80) {  // [0] IMPLICIT SubjectKeyIdentifier
        hr = c.Next(rid);
        if (SUCCEEDED(hr)) hr = ber::OctetString(rid, out.keyId);
        if (FAILED(hr)) return hr;
        out.byKeyId = true;
    } else {
        return CRYPT_E_ASN1_BADTAG;
    }
    hr = c.Expect(0x30, algorithm);
    if (SUCCEEDED(hr)) hr = ReadAlgorithm(algorithm, out.keyAlgorithmOid, out.keyAlgorithmParameters);
    if (SUCCEEDED(hr)) hr = c.Next(key);
    if (FAILED(hr)) return hr;
    if ((key.tag & 0xDF) != 0x04) return CRYPT_E_ASN1_BADTAG;
    hr = ber::OctetString(key, out.encryptedKey);
    if (FAILED(hr)) return hr;
    return c.AtEnd() ? S_OK : CRYPT_E_ASN1_CORRUPT;
}

HRESULT ReadRecipients(const ber::Element& set, std::vector<StreamRecipient>& out)
{
    ber::Children c(set);
    while (!c.AtEnd()) {
        ber::Element info;
        HRESULT hr = c.Next(info);
        if (FAILED(hr)) return hr;
        if (info.tag != 0x30) continue;  // key agreement, KEK, password: not key transport
        StreamRecipient r;
        hr = ReadKeyTrans(info, r);
        if (FAILED(hr)) return hr;
        out.push_back(std::move(r));
    }
    return S_OK;
}

}  // namespace

HRESULT EnvelopeReader::Feed(const BYTE* data, size_t len, EnvelopeSink& sink)
{
    if (FAILED(m_error)) return m_error;
    if (data == nullptr && len != 0) return E_INVALIDARG;
    HRESULT hr;
    if (!m_headerReady) {
        if (len != 0) m_buf.insert(m_buf.end(), data, data + len);
        hr = ParseHeader(sink);
        if (SUCCEEDED(hr) && !m_headerReady && m_buf.size() > kMaxHeader) hr = CRYPT_E_ASN1_LARGE;
    } else {
        hr = Walk(data, len, sink);
    }
    if (FAILED(hr)) m_error = hr;
    return hr;
}

HRESULT EnvelopeReader::Push(Kind kind, bool indefinite, uint64_t len)
{
    if (m_frames.size() >= kMaxFrames) return CRYPT_E_ASN1_CORRUPT;
    const uint64_t limit = Limit();
    Frame f{kind, indefinite, 0, limit};
    if (!indefinite) {
        if (len > limit - m_offset) return CRYPT_E_ASN1_CORRUPT;  // longer than what holds it
        f.end = m_offset + len;
        f.limit = f.end;
    }
    m_frames.push_back(f);
    return S_OK;
}

HRESULT EnvelopeReader::ParseHeader(EnvelopeSink& sink)
{
    if (m_buf.size() < m_retryAt) return S_OK;  // the element under way is not whole yet
    for (;;) {
        if (m_step == 0 && m_bare) m_step = 3;
        if (m_step == 10) break;
        const bool opens = m_step == 0 || m_step == 2 || m_step == 3 || m_step == 7;
        if (opens) {
            static const BYTE tags[] = {0x30, 0, 0xA0, 0x30, 0, 0, 0, 0x30};
            static const Kind kinds[] = {Kind::ContentInfo, Kind::ContentInfo, Kind::Explicit, Kind::Enveloped,
                                         Kind::Enveloped,   Kind::Enveloped,   Kind::Enveloped, Kind::EncryptedContentInfo};
            BYTE tag;
            bool indefinite;
            uint64_t len;
            size_t hdrLen;
            HRESULT hr = HeaderAt(m_buf, m_pos, tag, indefinite, len, hdrLen);
            if (hr == S_FALSE) return S_OK;
            if (FAILED(hr)) return hr;
            if (tag != tags[m_step]) return CRYPT_E_ASN1_BADTAG;
            m_pos += hdrLen;
            m_offset = m_pos;
            if (m_offset > Limit()) return CRYPT_E_ASN1_CORRUPT;
            if (!m_frames.empty()) m_frames.back().childSeen = true;
            hr = Push(kinds[m_step], indefinite, len);
            if (FAILED(hr)) return hr;
            ++m_step;
            continue;
        }
        if (m_pos == m_buf.size()) return S_OK;
        if (m_step == 5 && m_buf[m_pos] != 0xA0) {  // no originatorInfo
            m_step = 6;
            continue;
        }
        ber::Element e;
        HRESULT hr = ber::Read(m_buf.data() + m_pos, m_buf.size() - m_pos, e);
        if (hr == CRYPT_E_ASN1_EOD) {
            // Try again once the element can be whole.
            BYTE tag;
            bool indefinite;
            uint64_t len;
            size_t hdrLen;
            HRESULT h = HeaderAt(m_buf, m_pos, tag, indefinite, len, hdrLen);
            m_retryAt = m_buf.size() + 1;
            if (h == S_OK && !indefinite && len <= kMaxHeader) m_retryAt = m_pos + hdrLen + static_cast<size_t>(len);
            else if (h == S_OK && !indefinite) return CRYPT_E_ASN1_LARGE;
            return S_OK;
        }
        if (FAILED(hr)) return hr;
        m_retryAt = 0;
        if (m_pos + e.totalLen > Limit()) return CRYPT_E_ASN1_CORRUPT;
        switch (m_step) {
        case 1:
            if (e.tag != 0x06) return CRYPT_E_ASN1_BADTAG;
            if (e.contentLen != sizeof kEnvelopedDataOid ||
                std::memcmp(e.content, kEnvelopedDataOid, e.contentLen) != 0)
                return CRYPT_E_INVALID_MSG_TYPE;
            break;
        case 4:
            if (e.tag != 0x02) return CRYPT_E_ASN1_BADTAG;
            hr = SmallInteger(e, m_header.version);
            break;
        case 5:  // originatorInfo: certificates for the reader, not needed here
            break;
        case 6:
            if (e.tag != 0x31) return CRYPT_E_ASN1_BADTAG;
            hr = ReadRecipients(e, m_header.recipients);
            break;
        case 8:
            if (e.tag != 0x06) return CRYPT_E_ASN1_BADTAG;
            m_header.contentType = OidText(e);
            if (m_header.contentType.empty()) return CRYPT_E_ASN1_CORRUPT;
            break;
        case 9: {
            if (e.tag != 0x30) return CRYPT_E_ASN1_BADTAG;
            ber::Element oid, params;
            bool hasParams = false;
            hr = ReadAlgorithm(e, m_header.algorithmOid, m_header.algorithmParameters, &oid, &params, &hasParams);
            if (FAILED(hr)) return hr;
            // An algorithm this layer cannot use still leaves a readable header.
            m_header.algorithmError =
                DecodeContentAlgorithm(oid.content, oid.contentLen, hasParams ? params.header : nullptr,
                                       hasParams ? params.totalLen : 0, hasParams, m_header.algorithm);
            break;
        }
        default:
            return E_UNEXPECTED;
        }
        if (FAILED(hr)) return hr;
        m_pos += e.totalLen;
        ++m_step;
    }

    m_headerReady = true;
    m_offset = m_pos;
    Bytes rest(m_buf.begin() + static_cast<long>(m_pos), m_buf.end());
    Bytes().swap(m_buf);
    return Walk(rest.data(), rest.size(), sink);
}

HRESULT EnvelopeReader::EndFrame(EnvelopeSink& sink)
{
    const Frame f = m_frames.back();
    m_frames.pop_back();
    if (m_frames.empty()) m_state = State::Done;
    if (f.kind == Kind::Content || (f.kind == Kind::EncryptedContentInfo && !f.childSeen)) return sink.OnContentEnd();
    return S_OK;
}

HRESULT EnvelopeReader::PopEnded(EnvelopeSink& sink)
{
    while (!m_frames.empty() && !m_frames.back().indefinite && m_offset == m_frames.back().end) {
        HRESULT hr = EndFrame(sink);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT EnvelopeReader::OnElement(BYTE tag, bool indefinite, uint64_t len, EnvelopeSink& sink)
{
    if (tag == 0) {  // end-of-contents
        if (indefinite || len != 0 || m_frames.empty() || !m_frames.back().indefinite) return CRYPT_E_ASN1_CORRUPT;
        return EndFrame(sink);
    }
    if (indefinite && (tag & 0x20) == 0) return CRYPT_E_ASN1_CORRUPT;
    if (!indefinite && len > Limit() - m_offset) return CRYPT_E_ASN1_CORRUPT;
    if (m_frames.empty()) return CRYPT_E_ASN1_CORRUPT;
    Frame& top = m_frames.back();
    auto primitive = [this, len](bool cipher) {
        m_primitiveIsCipher = cipher;
        m_remaining = len;
        if (len != 0) m_state = State::Primitive;
        return S_OK;
    };
    switch (top.kind) {
    case Kind::ContentInfo:
    case Kind::Explicit:
        return CRYPT_E_ASN1_CORRUPT;  // nothing follows their one element
    case Kind::Enveloped:
        if (tag != 0xA1 || top.childSeen) return CRYPT_E_ASN1_CORRUPT;
        top.childSeen = true;  // unprotectedAttrs, passed over
        return Push(Kind::Skip, indefinite, len);
    case Kind::EncryptedContentInfo:
        if (top.childSeen) return CRYPT_E_ASN1_CORRUPT;
        top.childSeen = true;
        if (tag == 0x80) {
            HRESULT hr = Push(Kind::Content, false, len);
            if (FAILED(hr)) return hr;
            return primitive(true);
        }
        if (tag == 0xA0) return Push(Kind::Content, indefinite, len);
        return CRYPT_E_ASN1_BADTAG;
    case Kind::Content:
    case Kind::ContentPart:
        if (tag == 0x04) return primitive(true);
        if (tag == 0x24) return Push(Kind::ContentPart, indefinite, len);
        return CRYPT_E_ASN1_BADTAG;
    case Kind::Skip:
        if ((tag & 0x20) == 0) return primitive(false);
        return Push(Kind::Skip, indefinite, len);
    }
    return E_UNEXPECTED;
}

HRESULT EnvelopeReader::Walk(const BYTE* p, size_t n, EnvelopeSink& sink)
{
    for (;;) {
        HRESULT hr;
        if (m_state == State::Header && m_hdrLen == 0) {
            hr = PopEnded(sink);
            if (FAILED(hr)) return hr;
        }
        if (m_state == State::Done) return n != 0 ? CRYPT_E_ASN1_CORRUPT : S_OK;  // bytes after the message
        if (n == 0) return S_OK;
        if (m_state == State::Primitive) {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(n, m_remaining));
            if (m_primitiveIsCipher) {
                hr = sink.OnCipherText(p, take);
                if (FAILED(hr)) return hr;
            }
            p += take;
            n -= take;
            m_offset += take;
            m_remaining -= take;
            if (m_remaining == 0) m_state = State::Header;
            continue;
        }
        m_hdr[m_hdrLen++] = *p++;
        --n;
        ++m_offset;
        if (m_offset > Limit()) return CRYPT_E_ASN1_CORRUPT;
        if (m_hdrLen < 2) continue;
        const BYTE tag = m_hdr[0];
        if ((tag & 0x1F) == 0x1F) return CRYPT_E_ASN1_BADTAG;
        const BYTE l = m_hdr[1];
        bool indefinite = l == 0x80;
        uint64_t len = 0;
        if (!indefinite && (l & 0x80) != 0) {
            const size_t k = l & 0x7F;
            if (k > 4) return CRYPT_E_ASN1_LARGE;
            if (m_hdrLen < 2 + k) continue;
            for (size_t i = 0; i < k; ++i) len = (len << 8) | m_hdr[2 + i];
        } else if (!indefinite) {
            len = l;
        }
        m_hdrLen = 0;
        hr = OnElement(tag, indefinite, len, sink);
        if (FAILED(hr)) return hr;
    }
}

}  // namespace npk::envelope
