// A small DER reader and writer for the structures the layer encodes and decodes itself.
// The reader reports failures with the CRYPT_E_ASN1_* codes callers of the Windows decoders
// expect, so that a malformed blob fails the same way on both platforms.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace npk::der {

// One element: its tag, where its content starts and how long it is.
struct Element {
    BYTE tag = 0;
    const BYTE* header = nullptr;  // the first byte of the element (its tag)
    const BYTE* content = nullptr;
    size_t contentLen = 0;
    size_t totalLen = 0;
};

// Reads consecutive elements from a range. Only definite lengths of at most four length
// octets are accepted; anything bigger than 4 GiB cannot be a blob we were handed.
class Reader {
public:
    Reader(const BYTE* data, size_t len) : p_(data), end_(data + len) {}

    bool AtEnd() const { return p_ == end_; }

    // The next element, any tag. Returns 0 or a CRYPT_E_ASN1_* code.
    HRESULT Next(Element& out)
    {
        if (p_ == end_) return CRYPT_E_ASN1_EOD;
        const BYTE* start = p_;
        const BYTE* q = p_;
        BYTE tag = *q++;
        // High tag numbers never occur in what we read; refuse them rather than misparse.
        if ((tag & 0x1F) == 0x1F) return CRYPT_E_ASN1_BADTAG;
        if (q == end_) return CRYPT_E_ASN1_EOD;
        size_t len = *q++;
        if (len & 0x80) {
            size_t n = len & 0x7F;
            if (n == 0) return CRYPT_E_ASN1_CORRUPT;  // indefinite length is not DER
            if (n > 4) return CRYPT_E_ASN1_LARGE;
            if (static_cast<size_t>(end_ - q) < n) return CRYPT_E_ASN1_EOD;
            len = 0;
            for (size_t i = 0; i < n; ++i) len = (len << 8) | *q++;
        }
        if (static_cast<size_t>(end_ - q) < len) return CRYPT_E_ASN1_EOD;
        out.tag = tag;
        out.header = start;
        out.content = q;
        out.contentLen = len;
        out.totalLen = static_cast<size_t>(q - start) + len;
        p_ = q + len;
        return S_OK;
    }

    // The next element, which must carry the given tag.
    HRESULT Expect(BYTE tag, Element& out)
    {
        if (p_ == end_) return CRYPT_E_ASN1_EOD;
        if (*p_ != tag) return CRYPT_E_ASN1_BADTAG;
        return Next(out);
    }

private:
    const BYTE* p_;
    const BYTE* end_;
};

// Exactly one element of the given tag filling the whole range.
inline HRESULT ReadWhole(const BYTE* data, size_t len, BYTE tag, Element& out)
{
    Reader r(data, len);
    HRESULT hr = r.Expect(tag, out);
    if (FAILED(hr)) return hr;
    return r.AtEnd() ? S_OK : CRYPT_E_ASN1_CORRUPT;
}

// Exactly one element of any tag filling the whole range: an "already encoded" value.
inline bool IsSingleElement(const BYTE* data, size_t len)
{
    if (data == nullptr || len == 0) return false;
    Reader r(data, len);
    Element e;
    return SUCCEEDED(r.Next(e)) && r.AtEnd();
}

// The dotted text of an OBJECT IDENTIFIER's content; false when the content is malformed.
inline bool OidToText(const BYTE* p, size_t len, std::string& out)
{
    out.clear();
    if (len == 0) return false;
    uint64_t value = 0;
    bool first = true;
    size_t digits = 0;
    for (size_t i = 0; i < len; ++i) {
        if (digits == 0 && p[i] == 0x80) return false;  // non-minimal arc
        if (value > (UINT64_MAX >> 7)) return false;
        value = (value << 7) | (p[i] & 0x7F);
        ++digits;
        if (p[i] & 0x80) continue;
        if (first) {
            uint64_t a = value < 40 ? 0 : value < 80 ? 1 : 2;
            out += std::to_string(a);
            out += '.';
            out += std::to_string(value - a * 40);
            first = false;
        } else {
            out += '.';
            out += std::to_string(value);
        }
        value = 0;
        digits = 0;
    }
    return digits == 0;  // the last arc must be complete
}

// The content octets of an OBJECT IDENTIFIER from dotted text; false when the text is not a
// valid OID (at least two arcs, digits only, first arc 0 to 2, second below 40 under 0 and 1).
inline bool OidFromText(const char* text, std::vector<BYTE>& out)
{
    out.clear();
    if (text == nullptr) return false;
    std::vector<uint64_t> arcs;
    const char* s = text;
    while (true) {
        if (*s < '0' || *s > '9') return false;
        uint64_t v = 0;
        while (*s >= '0' && *s <= '9') {
            const uint64_t d = static_cast<uint64_t>(*s - '0');
            if (v > (UINT64_MAX - d) / 10) return false;
            v = v * 10 + d;
            ++s;
        }
        arcs.push_back(v);
        if (*s == '\0') break;
        if (*s != '.') return false;
        ++s;
    }
    if (arcs.size() < 2 || arcs[0] > 2) return false;
    if (arcs[0] < 2 && arcs[1] >= 40) return false;
    if (arcs[0] == 2 && arcs[1] > UINT64_MAX - 80) return false;
    auto put = [&out](uint64_t v) {
        BYTE tmp[10];
        int n = 0;
        do {
            tmp[n++] = static_cast<BYTE>(v & 0x7F);
            v >>= 7;
        } while (v != 0);
        while (n > 1) out.push_back(static_cast<BYTE>(tmp[--n] | 0x80));
        out.push_back(tmp[0]);
    };
    put(arcs[0] * 40 + arcs[1]);
    for (size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
    return true;
}

// Appends a tag and a minimal-form length.
inline void PutHeader(std::vector<BYTE>& out, BYTE tag, size_t len)
{
    out.push_back(tag);
    if (len < 0x80) {
        out.push_back(static_cast<BYTE>(len));
        return;
    }
    BYTE tmp[sizeof(size_t)];
    int n = 0;
    while (len != 0) {
        tmp[n++] = static_cast<BYTE>(len & 0xFF);
        len >>= 8;
    }
    out.push_back(static_cast<BYTE>(0x80 | n));
    while (n > 0) out.push_back(tmp[--n]);
}

inline std::vector<BYTE> Tlv(BYTE tag, const BYTE* content, size_t len)
{
    std::vector<BYTE> out;
    out.reserve(len + 6);
    PutHeader(out, tag, len);
    if (len != 0) out.insert(out.end(), content, content + len);
    return out;
}

inline std::vector<BYTE> Tlv(BYTE tag, const std::vector<BYTE>& content)
{
    return Tlv(tag, content.data(), content.size());
}

inline void Append(std::vector<BYTE>& out, const std::vector<BYTE>& more)
{
    out.insert(out.end(), more.begin(), more.end());
}

inline void Append(std::vector<BYTE>& out, const BYTE* p, size_t len)
{
    if (len != 0) out.insert(out.end(), p, p + len);
}

// A SET OF: the members' encodings in ascending order, as DER requires.
inline std::vector<BYTE> SetOf(BYTE tag, std::vector<std::vector<BYTE>> members)
{
    std::sort(members.begin(), members.end(), [](const std::vector<BYTE>& a, const std::vector<BYTE>& b) {
        const size_t n = std::min(a.size(), b.size());
        const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
        return c != 0 ? c < 0 : a.size() < b.size();
    });
    std::vector<BYTE> content;
    for (const auto& m : members) Append(content, m);
    return Tlv(tag, content);
}

// An unsigned 32-bit INTEGER's content octets, minimal, with a leading zero when the top bit is set.
inline std::vector<BYTE> UnsignedContent(const BYTE* msbFirst, size_t len)
{
    std::vector<BYTE> out;
    size_t i = 0;
    while (i + 1 < len && msbFirst[i] == 0 && (msbFirst[i + 1] & 0x80) == 0) ++i;
    if (len == 0) {
        out.push_back(0);
        return out;
    }
    if (msbFirst[i] & 0x80) out.push_back(0);
    out.insert(out.end(), msbFirst + i, msbFirst + len);
    return out;
}

}  // namespace npk::der
