// CertNameToStrW: an encoded X.500 name as the text Windows shows for it.
#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "crypt32/Der.h"

namespace {

using npk::der::Element;
using npk::der::Reader;
using Text = std::u16string;

struct KeyName {
    const char* oid;
    const char16_t* key;
};

// The X.500 keys Windows writes; any other attribute is written as "OID.<dotted>".
const KeyName kKeys[] = {
    {"2.5.4.3", u"CN"},      {"2.5.4.7", u"L"},      {"2.5.4.10", u"O"},         {"2.5.4.11", u"OU"},
    {"1.2.840.113549.1.9.1", u"E"}, {"2.5.4.6", u"C"}, {"2.5.4.8", u"S"},       {"2.5.4.9", u"STREET"},
    {"2.5.4.12", u"T"},      {"2.5.4.42", u"G"},     {"2.5.4.43", u"I"},         {"2.5.4.4", u"SN"},
    {"0.9.2342.19200300.100.1.25", u"DC"},           {"2.5.4.5", u"SERIALNUMBER"},
    {"2.5.4.13", u"Description"}, {"2.5.4.17", u"PostalCode"}, {"2.5.4.18", u"POBox"},
    {"2.5.4.20", u"Phone"},  {"2.5.4.24", u"X21Address"},      {"2.5.4.46", u"dnQualifier"},
};

void AppendAscii(Text& out, const std::string& s)
{
    for (char c : s) out += static_cast<char16_t>(static_cast<unsigned char>(c));
}

void AppendCodePoint(Text& out, uint32_t cp)
{
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
        out += static_cast<char16_t>(cp);
    }
}

// UTF-8 as UTF-16; each malformed sequence becomes U+FFFD rather than failing the whole name.
void AppendUtf8(Text& out, const BYTE* p, size_t len)
{
    size_t i = 0;
    while (i < len) {
        const BYTE b = p[i];
        int extra = 0;
        uint32_t cp = 0;
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            extra = 1;
            cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2;
            cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3;
            cp = b & 0x07;
        } else {
            out += u'\xFFFD';
            ++i;
            continue;
        }
        size_t j = 1;
        for (; j <= static_cast<size_t>(extra); ++j) {
            if (i + j >= len || (p[i + j] & 0xC0) != 0x80) break;
            cp = (cp << 6) | (p[i + j] & 0x3F);
        }
        if (j <= static_cast<size_t>(extra)) {
            out += u'\xFFFD';
            i += j;
            continue;
        }
        static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        AppendCodePoint(out, cp < kMin[extra] ? 0xFFFD : cp);
        i += static_cast<size_t>(extra) + 1;
    }
}

void AppendHex(Text& out, const BYTE* p, size_t len)
{
    static const char16_t kDigits[] = u"0123456789ABCDEF";
    for (size_t i = 0; i < len; ++i) {
        out += kDigits[p[i] >> 4];
        out += kDigits[p[i] & 0x0F];
    }
}

// The value of one attribute as text. Returns false when a string's content is malformed.
bool ValueText(const Element& v, Text& out, bool& hex)
{
    hex = false;
    switch (v.tag) {
    case 0x0C:  // UTF8String
        AppendUtf8(out, v.content, v.contentLen);
        return true;
    case 0x12:  // NumericString
    case 0x13:  // PrintableString
    case 0x14:  // TeletexString, taken as Latin-1
    case 0x15:  // VideotexString
    case 0x16:  // IA5String
    case 0x19:  // GraphicString
    case 0x1A:  // VisibleString
    case 0x1B:  // GeneralString
        for (size_t i = 0; i < v.contentLen; ++i) out += static_cast<char16_t>(v.content[i]);
        return true;
    case 0x1E:  // BMPString, UTF-16 big-endian
        if (v.contentLen % 2 != 0) return false;
        for (size_t i = 0; i < v.contentLen; i += 2)
            out += static_cast<char16_t>((v.content[i] << 8) | v.content[i + 1]);
        return true;
    case 0x1C:  // UniversalString, UTF-32 big-endian
        if (v.contentLen % 4 != 0) return false;
        for (size_t i = 0; i < v.contentLen; i += 4) {
            const uint32_t cp = (static_cast<uint32_t>(v.content[i]) << 24) | (v.content[i + 1] << 16) |
                                (v.content[i + 2] << 8) | v.content[i + 3];
            AppendCodePoint(out, cp);
        }
        return true;
    default:
        // Not a string: the whole encoding in hexadecimal, marked with '#'.
        hex = true;
        out += u'#';
        AppendHex(out, v.header, v.totalLen);
        return true;
    }
}

bool NeedsQuotes(const Text& v)
{
    if (v.empty()) return false;
    if (v.front() == u' ' || v.back() == u' ') return true;
    for (char16_t c : v) {
        switch (c) {
        case u',': case u'+': case u'=': case u'"': case u'\n': case u'\r':
        case u'<': case u'>': case u'#': case u';':
            return true;
        default:
            break;
        }
    }
    return false;
}

struct Ava {
    std::string oid;
    Text value;
    bool hex = false;  // written as '#' and the encoding's hex digits: never quoted
};

// Parses Name ::= SEQUENCE OF RelativeDistinguishedName into RDNs of AVAs.
HRESULT ParseName(const BYTE* data, size_t len, std::vector<std::vector<Ava>>& rdns)
{
    Element name;
    HRESULT hr = npk::der::ReadWhole(data, len, 0x30, name);
    if (FAILED(hr)) return hr;
    Reader rr(name.content, name.contentLen);
    while (!rr.AtEnd()) {
        Element set;
        if (FAILED(hr = rr.Expect(0x31, set))) return hr;
        std::vector<Ava> rdn;
        Reader ar(set.content, set.contentLen);
        while (!ar.AtEnd()) {
            Element seq, oid, value;
            if (FAILED(hr = ar.Expect(0x30, seq))) return hr;
            Reader vr(seq.content, seq.contentLen);
            if (FAILED(hr = vr.Expect(0x06, oid))) return hr;
            if (FAILED(hr = vr.Next(value))) return hr;
            if (!vr.AtEnd()) return CRYPT_E_ASN1_CORRUPT;
            Ava ava;
            if (!npk::der::OidToText(oid.content, oid.contentLen, ava.oid)) return CRYPT_E_ASN1_CORRUPT;
            if (!ValueText(value, ava.value, ava.hex)) return CRYPT_E_ASN1_CORRUPT;
            rdn.push_back(std::move(ava));
        }
        if (rdn.empty()) return CRYPT_E_ASN1_CORRUPT;  // an RDN holds at least one attribute
        rdns.push_back(std::move(rdn));
    }
    return S_OK;
}

Text Format(const std::vector<std::vector<Ava>>& rdns, DWORD strType, DWORD flags)
{
    const DWORD type = strType & 0xFFFF;
    const char16_t* rdnSep = u", ";
    if (flags & CERT_NAME_STR_SEMICOLON_FLAG)
        rdnSep = u"; ";
    else if (flags & CERT_NAME_STR_CRLF_FLAG)
        rdnSep = u"\r\n";
    const char16_t* avaSep = (flags & CERT_NAME_STR_NO_PLUS_FLAG) ? u" " : u" + ";
    const bool quote = (flags & CERT_NAME_STR_NO_QUOTING_FLAG) == 0;

    Text out;
    const size_t n = rdns.size();
    for (size_t k = 0; k < n; ++k) {
        const auto& rdn = rdns[(flags & CERT_NAME_STR_REVERSE_FLAG) ? n - 1 - k : k];
        if (k != 0) out += rdnSep;
        for (size_t a = 0; a < rdn.size(); ++a) {
            if (a != 0) out += avaSep;
            const Ava& ava = rdn[a];
            if (type == CERT_X500_NAME_STR) {
                const char16_t* key = nullptr;
                for (const auto& kn : kKeys)
                    if (ava.oid == kn.oid) key = kn.key;
                if (key != nullptr) {
                    out += key;
                } else {
                    out += u"OID.";
                    AppendAscii(out, ava.oid);
                }
                out += u'=';
            } else if (type == CERT_OID_NAME_STR) {
                AppendAscii(out, ava.oid);
                out += u'=';
            }
            if (quote && !ava.hex && NeedsQuotes(ava.value)) {
                out += u'"';
                for (char16_t c : ava.value) {
                    if (c == u'"') out += u'"';
                    out += c;
                }
                out += u'"';
            } else {
                out += ava.value;
            }
        }
    }
    return out;
}

// Copies text into the caller's buffer the Windows way: the size when there is no buffer,
// otherwise what fits, always terminated, and the count written including the terminator.
DWORD Deliver(const Text& text, LPWSTR psz, DWORD csz)
{
    const DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (psz == nullptr || csz == 0) return needed;
    const DWORD copy = std::min<DWORD>(needed - 1, csz - 1);
    for (DWORD i = 0; i < copy; ++i) psz[i] = static_cast<WCHAR>(text[i]);
    psz[copy] = 0;
    return copy + 1;
}

}  // namespace

extern "C" DWORD WINAPI CertNameToStrW(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPWSTR psz,
                                       DWORD csz)
{
    const DWORD type = dwStrType & 0xFFFF;
    HRESULT hr = S_OK;
    if (pName == nullptr || (pName->cbData != 0 && pName->pbData == nullptr) ||
        (type != CERT_SIMPLE_NAME_STR && type != CERT_OID_NAME_STR && type != CERT_X500_NAME_STR)) {
        hr = E_INVALIDARG;
    } else if ((dwCertEncodingType & (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING)) == 0) {
        hr = static_cast<HRESULT>(ERROR_FILE_NOT_FOUND);
    }
    std::vector<std::vector<Ava>> rdns;
    if (SUCCEEDED(hr)) hr = ParseName(pName->pbData, pName->cbData, rdns);
    if (FAILED(hr) || hr != S_OK) {
        SetLastError(static_cast<DWORD>(hr));
        return Deliver(Text(), psz, csz);
    }
    return Deliver(Format(rdns, dwStrType, dwStrType & 0xFFFF0000), psz, csz);
}
