// A BER reader over a whole buffer for enveloped messages: definite and indefinite lengths,
// and OCTET STRINGs in primitive or constructed form, as OpenSSL and Windows write them.
// Failures are the CRYPT_E_ASN1_* codes of the Windows decoders.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <vector>

namespace npk::ber {

struct Element {
    BYTE tag = 0;
    const BYTE* header = nullptr;   // the tag byte
    const BYTE* content = nullptr;  // for an indefinite length: up to the end-of-contents
    size_t contentLen = 0;
    size_t totalLen = 0;            // header, content and any end-of-contents octets
    bool constructed() const { return (tag & 0x20) != 0; }
};

// Deep enough for any message; deeper nesting is an attack on the stack, not a message.
const int kMaxDepth = 48;

inline HRESULT Read(const BYTE* p, size_t avail, Element& out, int depth = 0)
{
    if (depth > kMaxDepth) return CRYPT_E_ASN1_CORRUPT;
    if (avail == 0) return CRYPT_E_ASN1_EOD;
    const BYTE* q = p;
    const BYTE* end = p + avail;
    BYTE tag = *q++;
    if ((tag & 0x1F) == 0x1F) return CRYPT_E_ASN1_BADTAG;
    if (q == end) return CRYPT_E_ASN1_EOD;
    size_t len = *q++;
    out.tag = tag;
    out.header = p;
    if (len == 0x80) {
        if ((tag & 0x20) == 0) return CRYPT_E_ASN1_CORRUPT;  // only constructed values may be indefinite
        const BYTE* c = q;
        for (;;) {
            if (end - c < 2) return CRYPT_E_ASN1_EOD;
            if (c[0] == 0 && c[1] == 0) break;
            Element child;
            HRESULT hr = Read(c, static_cast<size_t>(end - c), child, depth + 1);
            if (FAILED(hr)) return hr;
            c += child.totalLen;
        }
        out.content = q;
        out.contentLen = static_cast<size_t>(c - q);
        out.totalLen = static_cast<size_t>(c + 2 - p);
        return S_OK;
    }
    if (len & 0x80) {
        size_t n = len & 0x7F;
        if (n > 4) return CRYPT_E_ASN1_LARGE;
        if (static_cast<size_t>(end - q) < n) return CRYPT_E_ASN1_EOD;
        len = 0;
        for (size_t i = 0; i < n; ++i) len = (len << 8) | *q++;
    }
    if (static_cast<size_t>(end - q) < len) return CRYPT_E_ASN1_EOD;
    out.content = q;
    out.contentLen = len;
    out.totalLen = static_cast<size_t>(q - p) + len;
    return S_OK;
}

// The children of a constructed element, one after the other.
class Children {
public:
    explicit Children(const Element& parent, int depth = 0)
        : m_p(parent.content), m_end(parent.content + parent.contentLen), m_depth(depth + 1) {}
    Children(const BYTE* p, size_t len) : m_p(p), m_end(p + len), m_depth(0) {}

    bool AtEnd() const { return m_p == m_end; }
    BYTE PeekTag() const { return AtEnd() ? 0 : *m_p; }

    HRESULT Next(Element& out)
    {
        HRESULT hr = Read(m_p, static_cast<size_t>(m_end - m_p), out, m_depth);
        if (SUCCEEDED(hr)) m_p += out.totalLen;
        return hr;
    }
    HRESULT Expect(BYTE tag, Element& out)
    {
        if (AtEnd()) return CRYPT_E_ASN1_EOD;
        if (*m_p != tag) return CRYPT_E_ASN1_BADTAG;
        return Next(out);
    }

private:
    const BYTE* m_p;
    const BYTE* m_end;
    int m_depth;
};

// The bytes of an OCTET STRING in either form (any tag class: [0] IMPLICIT as well), appended.
inline HRESULT OctetString(const Element& e, std::vector<BYTE>& out, int depth = 0)
{
    if (depth > kMaxDepth) return CRYPT_E_ASN1_CORRUPT;
    if (!e.constructed()) {
        out.insert(out.end(), e.content, e.content + e.contentLen);
        return S_OK;
    }
    Children parts(e, depth);
    while (!parts.AtEnd()) {
        Element part;
        HRESULT hr = parts.Next(part);
        if (FAILED(hr)) return hr;
        if ((part.tag & 0xDF) != 0x04) return CRYPT_E_ASN1_BADTAG;  // segments are OCTET STRINGs
        hr = OctetString(part, out, depth + 1);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

}  // namespace npk::ber
