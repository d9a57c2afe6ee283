// Reading PKCS #7 / CMS signed data. Streaming signers (openssl cms -stream, Windows'
// streamed encoder) write indefinite lengths and constructed OCTET STRINGs, so the reader
// takes BER, not just DER; everything else fails with the CRYPT_E_ASN1_* code a Windows
// decoder gives for the same fault.
#include "crypt32/MessageObjects.h"

#include "crypt32/Der.h"

namespace npk::crypt32 {

namespace {

// Nesting deeper than this is not a message anyone writes; it would only exhaust the stack.
constexpr int kMaxDepth = 48;

struct Tlv {
    BYTE tag = 0;
    const BYTE* header = nullptr;
    const BYTE* content = nullptr;
    size_t contentLen = 0;  // without the end-of-contents octets of an indefinite length
    size_t totalLen = 0;
    bool Constructed() const { return (tag & 0x20) != 0; }
};

DWORD ReadTlv(const BYTE* p, const BYTE* end, int depth, Tlv& out);

// Walks the children of an indefinite-length element up to its end-of-contents octets.
DWORD IndefiniteContentLength(const BYTE* p, const BYTE* end, int depth, size_t* len)
{
    const BYTE* q = p;
    while (true) {
        if (end - q < 2) return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
        if (q[0] == 0 && q[1] == 0) {
            *len = static_cast<size_t>(q - p);
            return 0;
        }
        Tlv child;
        DWORD e = ReadTlv(q, end, depth + 1, child);
        if (e != 0) return e;
        q += child.totalLen;
    }
}

DWORD ReadTlv(const BYTE* p, const BYTE* end, int depth, Tlv& out)
{
    if (depth > kMaxDepth) return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    if (p >= end) return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
    const BYTE* q = p;
    const BYTE tag = *q++;
    if ((tag & 0x1F) == 0x1F) return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);
    if (q == end) return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
    size_t len = *q++;
    bool indefinite = false;
    if (len & 0x80) {
        const size_t n = len & 0x7F;
        if (n == 0) {
            if ((tag & 0x20) == 0) return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);  // primitive cannot be
            indefinite = true;
        } else {
            if (n > 4) return static_cast<DWORD>(CRYPT_E_ASN1_LARGE);
            if (static_cast<size_t>(end - q) < n) return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
            len = 0;
            for (size_t i = 0; i < n; ++i) len = (len << 8) | *q++;
        }
    }
    out.tag = tag;
    out.header = p;
    out.content = q;
    if (indefinite) {
        DWORD e = IndefiniteContentLength(q, end, depth, &len);
        if (e != 0) return e;
        out.contentLen = len;
        out.totalLen = static_cast<size_t>(q - p) + len + 2;
        return 0;
    }
    if (static_cast<size_t>(end - q) < len) return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
    out.contentLen = len;
    out.totalLen = static_cast<size_t>(q - p) + len;
    return 0;
}

// Consecutive elements of a content range.
class BerReader {
public:
    BerReader(const BYTE* p, size_t len, int depth = 0) : m_p(p), m_end(p + len), m_depth(depth) {}
    explicit BerReader(const Tlv& t, int depth) : BerReader(t.content, t.contentLen, depth) {}

    bool AtEnd() const { return m_p == m_end; }
    bool Peek(BYTE tag) const { return m_p < m_end && *m_p == tag; }
    int Depth() const { return m_depth; }

    DWORD Next(Tlv& out)
    {
        DWORD e = ReadTlv(m_p, m_end, m_depth, out);
        if (e == 0) m_p += out.totalLen;
        return e;
    }
    DWORD Expect(BYTE tag, Tlv& out)
    {
        if (m_p >= m_end) return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
        if (*m_p != tag) return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);
        return Next(out);
    }

private:
    const BYTE* m_p;
    const BYTE* m_end;
    int m_depth;
};

#define NPK_TRY(expr)                 \
    do {                              \
        const DWORD e_ = (expr);      \
        if (e_ != 0) return e_;       \
    } while (0)

Bytes Whole(const Tlv& t) { return Bytes(t.header, t.header + t.totalLen); }
Bytes ContentOf(const Tlv& t) { return Bytes(t.content, t.content + t.contentLen); }

DWORD ReadOid(BerReader& r, std::string* oid)
{
    Tlv t;
    NPK_TRY(r.Expect(0x06, t));
    if (!der::OidToText(t.content, t.contentLen, *oid)) return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    return 0;
}

DWORD ReadSmallInteger(BerReader& r, DWORD* value)
{
    Tlv t;
    NPK_TRY(r.Expect(0x02, t));
    if (t.contentLen == 0 || t.contentLen > 4 || (t.content[0] & 0x80) != 0)
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    DWORD v = 0;
    for (size_t i = 0; i < t.contentLen; ++i) v = (v << 8) | t.content[i];
    *value = v;
    return 0;
}

DWORD ReadAlgorithm(BerReader& r, AlgorithmId* alg)
{
    Tlv seq;
    NPK_TRY(r.Expect(0x30, seq));
    BerReader in(seq, r.Depth() + 1);
    NPK_TRY(ReadOid(in, &alg->oid));
    alg->parameters.clear();
    if (!in.AtEnd()) {
        Tlv params;
        NPK_TRY(in.Next(params));
        alg->parameters = Whole(params);
    }
    return in.AtEnd() ? 0 : static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
}

DWORD ReadAttributes(const Tlv& set, int depth, std::vector<Attribute>* out)
{
    BerReader r(set, depth);
    while (!r.AtEnd()) {
        Tlv seq;
        NPK_TRY(r.Expect(0x30, seq));
        BerReader in(seq, depth + 1);
        Attribute attr;
        NPK_TRY(ReadOid(in, &attr.oid));
        Tlv values;
        NPK_TRY(in.Expect(0x31, values));
        if (!in.AtEnd()) return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
        BerReader v(values, depth + 2);
        while (!v.AtEnd()) {
            Tlv value;
            NPK_TRY(v.Next(value));
            attr.values.push_back(Whole(value));
        }
        out->push_back(std::move(attr));
    }
    return 0;
}

DWORD ReadOctets(const Tlv& t, int depth, Bytes* out)
{
    if ((t.tag & 0xDF) != 0x04) return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);
    if (!t.Constructed()) {
        out->insert(out->end(), t.content, t.content + t.contentLen);
        return 0;
    }
    BerReader r(t, depth + 1);
    while (!r.AtEnd()) {
        Tlv piece;
        NPK_TRY(r.Next(piece));
        NPK_TRY(ReadOctets(piece, depth + 1, out));
    }
    return 0;
}

DWORD ReadSigner(const Tlv& seq, int depth, SignerData* s)
{
    BerReader r(seq, depth);
    NPK_TRY(ReadSmallInteger(r, &s->version));
    Tlv sid;
    NPK_TRY(r.Next(sid));
    if (sid.tag == 0x30) {
        BerReader in(sid, depth + 1);
        Tlv issuer, serial;
        NPK_TRY(in.Expect(0x30, issuer));
        NPK_TRY(in.Expect(0x02, serial));
        if (!in.AtEnd() || serial.contentLen == 0) return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
        s->issuer = Whole(issuer);
        s->serial = ContentOf(serial);
    } else if (sid.tag == 0x80) {
        s->byKeyId = true;
        s->keyId = ContentOf(sid);
    } else {
        return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);
    }
    NPK_TRY(ReadAlgorithm(r, &s->digest));
    if (r.Peek(0xA0)) {
        Tlv attrs;
        NPK_TRY(r.Next(attrs));
        s->hasAuthAttrs = true;
        s->authAttrsEncoded = Whole(attrs);
        NPK_TRY(ReadAttributes(attrs, depth + 1, &s->authAttrs));
    }
    NPK_TRY(ReadAlgorithm(r, &s->signature));
    Tlv sig;
    NPK_TRY(r.Expect(0x04, sig));
    s->encryptedDigest = ContentOf(sig);
    if (r.Peek(0xA1)) {
        Tlv attrs;
        NPK_TRY(r.Next(attrs));
        NPK_TRY(ReadAttributes(attrs, depth + 1, &s->unauthAttrs));
    }
    return r.AtEnd() ? 0 : static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
}

}  // namespace

DWORD ReadOctetString(const BYTE* pb, size_t cb, Bytes* out)
{
    out->clear();
    Tlv t;
    NPK_TRY(ReadTlv(pb, pb + cb, 0, t));
    if (t.totalLen != cb) return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    return ReadOctets(t, 0, out);
}

DWORD ParseSignerInfo(const BYTE* pb, size_t cb, SignerData* out)
{
    *out = SignerData();
    Tlv seq;
    NPK_TRY(ReadTlv(pb, pb + cb, 0, seq));
    if (seq.tag != 0x30) return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);
    if (seq.totalLen != cb) return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    return ReadSigner(seq, 1, out);
}

DWORD ParseContentInfo(const BYTE* pb, size_t cb, std::string* oid, Bytes* content, bool* hasContent)
{
    content->clear();
    *hasContent = false;
    Tlv outer;
    NPK_TRY(ReadTlv(pb, pb + cb, 0, outer));
    if (outer.tag != 0x30) return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);
    if (outer.totalLen != cb) return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    BerReader r(outer, 1);
    NPK_TRY(ReadOid(r, oid));
    if (!r.AtEnd()) {
        Tlv explicitContent;
        NPK_TRY(r.Expect(0xA0, explicitContent));
        BerReader in(explicitContent, 2);
        Tlv inner;
        NPK_TRY(in.Next(inner));
        if (!in.AtEnd()) return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
        *content = Whole(inner);
        *hasContent = true;
    }
    return r.AtEnd() ? 0 : static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
}

DWORD ParseSignedData(const BYTE* pb, size_t cb, SignedData* out)
{
    *out = SignedData();
    Tlv seq;
    NPK_TRY(ReadTlv(pb, pb + cb, 0, seq));
    if (seq.tag != 0x30) return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);
    if (seq.totalLen != cb) return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    BerReader r(seq, 1);
    NPK_TRY(ReadSmallInteger(r, &out->version));

    Tlv digests;
    NPK_TRY(r.Expect(0x31, digests));
    BerReader d(digests, 2);
    while (!d.AtEnd()) {
        AlgorithmId alg;
        NPK_TRY(ReadAlgorithm(d, &alg));
        out->digestAlgorithms.push_back(std::move(alg));
    }

    // encapContentInfo: ContentInfo { type, [0] EXPLICIT content OPTIONAL }.
    Tlv encap;
    NPK_TRY(r.Expect(0x30, encap));
    BerReader e(encap, 2);
    NPK_TRY(ReadOid(e, &out->innerContentType));
    if (!e.AtEnd()) {
        Tlv explicitContent;
        NPK_TRY(e.Expect(0xA0, explicitContent));
        BerReader in(explicitContent, 3);
        Tlv inner;
        NPK_TRY(in.Next(inner));
        if (!in.AtEnd()) return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
        out->hasContent = true;
        // CMS wraps every content in an OCTET STRING and signs its octets; PKCS #7 signs the
        // content octets of whatever type the content has.
        if ((inner.tag & 0xDF) == 0x04) {
            NPK_TRY(ReadOctets(inner, 4, &out->content));
        } else {
            out->content = ContentOf(inner);
        }
    }
    if (!e.AtEnd()) return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);

    if (r.Peek(0xA0)) {
        Tlv certs;
        NPK_TRY(r.Next(certs));
        BerReader c(certs, 2);
        while (!c.AtEnd()) {
            Tlv cert;
            NPK_TRY(c.Next(cert));
            // Attribute and other certificate choices are tagged; only X.509 ones go to stores.
            if (cert.tag == 0x30) out->certificates.push_back(Whole(cert));
        }
    }
    if (r.Peek(0xA1)) {
        Tlv crls;
        NPK_TRY(r.Next(crls));
        BerReader c(crls, 2);
        while (!c.AtEnd()) {
            Tlv crl;
            NPK_TRY(c.Next(crl));
            out->crls.push_back(Whole(crl));
        }
    }
    Tlv signers;
    NPK_TRY(r.Expect(0x31, signers));
    BerReader s(signers, 2);
    while (!s.AtEnd()) {
        Tlv one;
        NPK_TRY(s.Expect(0x30, one));
        SignerData signer;
        NPK_TRY(ReadSigner(one, 3, &signer));
        out->signers.push_back(std::move(signer));
    }
    return r.AtEnd() ? 0 : static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
}

DWORD DecodeSignedMessage(const BYTE* pb, DWORD cb, SignedData* out)
{
    if (pb == nullptr || cb == 0) return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
    std::string oid;
    Bytes content;
    bool hasContent = false;
    NPK_TRY(ParseContentInfo(pb, cb, &oid, &content, &hasContent));
    if (oid != szOID_RSA_signedData || !hasContent) return static_cast<DWORD>(CRYPT_E_UNEXPECTED_MSG_TYPE);
    return ParseSignedData(content.data(), content.size(), out);
}

void SignerIssuerAndSerial(const SignerData& signer, Bytes* issuer, Bytes* serialLsbFirst)
{
    if (!signer.byKeyId) {
        *issuer = signer.issuer;
        serialLsbFirst->assign(signer.serial.rbegin(), signer.serial.rend());
        return;
    }
    // Name { RDN { AttributeTypeAndValue { szOID_KEYID_RDN, OCTET STRING keyId } } }
    std::vector<BYTE> oid;
    der::OidFromText(szOID_KEYID_RDN, oid);
    std::vector<BYTE> atv = der::Tlv(0x06, oid);
    der::Append(atv, der::Tlv(0x04, signer.keyId));
    *issuer = der::Tlv(0x30, der::Tlv(0x31, der::Tlv(0x30, atv)));
    serialLsbFirst->assign(1, 0);
}

}  // namespace npk::crypt32
