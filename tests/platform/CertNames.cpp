// CertNameToStrW over names built with OpenSSL: keys, quoting, string types, order,
// the two-call size pattern and malformed blobs.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct Entry {
    const char* field;
    int type;  // MBSTRING_* or V_ASN1_*
    std::string value;
    int set = 0;  // -1 joins the previous RDN (multi-valued)
};

std::vector<BYTE> EncodeName(const std::vector<Entry>& entries)
{
    X509_NAME* name = X509_NAME_new();
    for (const auto& e : entries) {
        EXPECT_EQ(1, X509_NAME_add_entry_by_txt(name, e.field, e.type,
                                                reinterpret_cast<const unsigned char*>(e.value.data()),
                                                static_cast<int>(e.value.size()), -1, e.set))
            << e.field;
    }
    unsigned char* der = nullptr;
    const int len = i2d_X509_NAME(name, &der);
    EXPECT_GT(len, 0) << entries.front().field;
    if (len <= 0) return {};
    std::vector<BYTE> out(der, der + len);
    OPENSSL_free(der);
    X509_NAME_free(name);
    return out;
}

// A one-attribute CN name written by hand, for values OpenSSL refuses to encode.
std::vector<BYTE> RawCn(BYTE tag, const std::string& value)
{
    const BYTE n = static_cast<BYTE>(value.size());
    const BYTE head[] = {0x30, static_cast<BYTE>(n + 11), 0x31, static_cast<BYTE>(n + 9), 0x30,
                         static_cast<BYTE>(n + 7), 0x06, 0x03, 0x55, 0x04, 0x03, tag, n};
    std::vector<BYTE> out;
    out.reserve(sizeof(head) + n);
    for (BYTE b : head) out.push_back(b);
    for (char c : value) out.push_back(static_cast<BYTE>(c));
    return out;
}

// The subject name blob of a self-signed certificate, as a certificate's info would hold it.
std::vector<BYTE> SubjectOfCertificate(const std::vector<Entry>& entries)
{
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    std::vector<BYTE> nameDer = EncodeName(entries);
    const unsigned char* p = nameDer.data();
    X509_NAME* name = d2i_X509_NAME(nullptr, &p, static_cast<long>(nameDer.size()));
    X509_set_subject_name(cert, name);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    EXPECT_GT(X509_sign(cert, key, EVP_sha256()), 0);
    unsigned char* der = nullptr;
    const int len = i2d_X509_NAME(X509_get_subject_name(cert), &der);
    std::vector<BYTE> out(der, der + len);
    OPENSSL_free(der);
    X509_NAME_free(name);
    X509_free(cert);
    EVP_PKEY_free(key);
    return out;
}

std::string Utf8(const WCHAR* s)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s, -1, out.data(), n, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

// The two calls the system makes: size, then the string; both counts must agree.
std::string NameToStr(std::vector<BYTE> der, DWORD type)
{
    CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), der.data()};
    const DWORD size = CertNameToStrW(kEnc, &blob, type, nullptr, 0);
    EXPECT_GE(size, 1u);
    std::vector<WCHAR> buf(size + 4, 0x7777);
    const DWORD written = CertNameToStrW(kEnc, &blob, type, buf.data(), size);
    EXPECT_EQ(written, size);
    EXPECT_EQ(buf[size - 1], 0);
    EXPECT_EQ(buf[size], 0x7777) << "wrote past the buffer";
    return Utf8(buf.data());
}

}  // namespace

TEST(CertNameToStrW, X500KeysForEveryKnownAttribute)
{
    const auto der = SubjectOfCertificate({
        {"C", MBSTRING_ASC, "KR"},
        {"ST", MBSTRING_ASC, "Seoul"},
        {"L", MBSTRING_ASC, "Gangnam"},
        {"street", MBSTRING_ASC, "1 Main"},
        {"O", MBSTRING_ASC, "Keystrand"},
        {"OU", MBSTRING_ASC, "Dev"},
        {"title", MBSTRING_ASC, "Eng"},
        {"GN", MBSTRING_ASC, "Min"},
        {"initials", MBSTRING_ASC, "MJ"},
        {"SN", MBSTRING_ASC, "Kim"},
        {"DC", MBSTRING_ASC, "example"},
        {"serialNumber", MBSTRING_ASC, "12345"},
        {"emailAddress", MBSTRING_ASC, "mj@example.com"},
        {"CN", MBSTRING_ASC, "Min Kim"},
    });
    EXPECT_EQ(NameToStr(der, CERT_X500_NAME_STR),
              "C=KR, S=Seoul, L=Gangnam, STREET=1 Main, O=Keystrand, OU=Dev, T=Eng, G=Min, I=MJ, SN=Kim, "
              "DC=example, SERIALNUMBER=12345, E=mj@example.com, CN=Min Kim");
    EXPECT_EQ(NameToStr(der, CERT_SIMPLE_NAME_STR),
              "KR, Seoul, Gangnam, 1 Main, Keystrand, Dev, Eng, Min, MJ, Kim, example, 12345, mj@example.com, Min Kim");
}

// The rest of Windows' X.500 keys, by their OIDs (OpenSSL knows some only by number).
TEST(CertNameToStrW, PostalAndTelephoneAttributesHaveTheirWindowsKeys)
{
    const auto der = SubjectOfCertificate({
        {"2.5.4.13", MBSTRING_UTF8, "Signing key"},
        {"2.5.4.17", MBSTRING_ASC, "06236"},
        {"2.5.4.18", MBSTRING_ASC, "PO 12"},
        {"2.5.4.20", V_ASN1_PRINTABLESTRING, "+82 2 555 0100"},
        {"2.5.4.24", V_ASN1_NUMERICSTRING, "1234567"},
        {"2.5.4.46", V_ASN1_PRINTABLESTRING, "q1"},
        {"CN", MBSTRING_ASC, "Min Kim"},
    });
    EXPECT_EQ(NameToStr(der, CERT_X500_NAME_STR),
              "Description=Signing key, PostalCode=06236, POBox=PO 12, Phone=\"+82 2 555 0100\", X21Address=1234567, "
              "dnQualifier=q1, CN=Min Kim");
    EXPECT_EQ(NameToStr(der, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG),
              "CN=Min Kim, dnQualifier=q1, X21Address=1234567, Phone=+82 2 555 0100, POBox=PO 12, PostalCode=06236, "
              "Description=Signing key");
    // The OID form keeps the numbers; attributes next to these stay OID-prefixed.
    EXPECT_EQ(NameToStr(der, CERT_OID_NAME_STR),
              "2.5.4.13=Signing key, 2.5.4.17=06236, 2.5.4.18=PO 12, 2.5.4.20=\"+82 2 555 0100\", 2.5.4.24=1234567, "
              "2.5.4.46=q1, 2.5.4.3=Min Kim");
    const auto neighbours = SubjectOfCertificate({
        {"2.5.4.16", MBSTRING_ASC, "addr"},  // postalAddress: no key of its own
        {"2.5.4.19", MBSTRING_ASC, "office"},
        {"2.5.4.21", V_ASN1_PRINTABLESTRING, "555"},
    });
    EXPECT_EQ(NameToStr(neighbours, CERT_X500_NAME_STR), "OID.2.5.4.16=addr, OID.2.5.4.19=office, OID.2.5.4.21=555");
}

TEST(CertNameToStrW, UnknownAttributeIsWrittenAsOidAndOidStyleUsesDottedKeys)
{
    const auto der = EncodeName({{"1.3.6.1.4.1.99999.1", V_ASN1_UTF8STRING, "x"}, {"CN", MBSTRING_ASC, "a"}});
    EXPECT_EQ(NameToStr(der, CERT_X500_NAME_STR), "OID.1.3.6.1.4.1.99999.1=x, CN=a");
    EXPECT_EQ(NameToStr(der, CERT_OID_NAME_STR), "1.3.6.1.4.1.99999.1=x, 2.5.4.3=a");
}

TEST(CertNameToStrW, ReverseFlagReversesRdnsButNotTheAvasInsideOne)
{
    const auto der = EncodeName({
        {"C", MBSTRING_ASC, "CN"},
        {"O", MBSTRING_ASC, "Org"},
        {"OU", MBSTRING_ASC, "Unit"},
        {"CN", MBSTRING_ASC, "Two", -1},
    });
    // DER sorts the SET: CN=Two (a shorter SEQUENCE) is encoded before OU=Unit.
    EXPECT_EQ(NameToStr(der, CERT_X500_NAME_STR), "C=CN, O=Org, CN=Two + OU=Unit");
    EXPECT_EQ(NameToStr(der, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG), "CN=Two + OU=Unit, O=Org, C=CN");
    EXPECT_EQ(NameToStr(der, CERT_SIMPLE_NAME_STR | CERT_NAME_STR_REVERSE_FLAG), "Two + Unit, Org, CN");
    EXPECT_EQ(NameToStr(der, CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG | CERT_NAME_STR_NO_PLUS_FLAG),
              "C=CN; O=Org; CN=Two OU=Unit");
    EXPECT_EQ(NameToStr(der, CERT_X500_NAME_STR | CERT_NAME_STR_CRLF_FLAG), "C=CN\r\nO=Org\r\nCN=Two + OU=Unit");
}

TEST(CertNameToStrW, SpecialCharactersAreQuotedUnlessNoQuoting)
{
    const auto der = EncodeName({
        {"O", MBSTRING_ASC, "Acme, Inc."},
        {"OU", MBSTRING_ASC, "say \"hi\""},
        {"L", MBSTRING_ASC, " padded"},
        {"CN", MBSTRING_ASC, "a+b=c"},
        {"ST", MBSTRING_ASC, "plain"},
    });
    EXPECT_EQ(NameToStr(der, CERT_X500_NAME_STR),
              "O=\"Acme, Inc.\", OU=\"say \"\"hi\"\"\", L=\" padded\", CN=\"a+b=c\", S=plain");
    EXPECT_EQ(NameToStr(der, CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG),
              "O=Acme, Inc., OU=say \"hi\", L= padded, CN=a+b=c, S=plain");
    for (const char* c : {";", "<", ">", "#x", "\n", "tail "}) {
        EXPECT_EQ(NameToStr(EncodeName({{"CN", MBSTRING_ASC, c}}), CERT_SIMPLE_NAME_STR),
                  std::string("\"") + c + "\"");
    }
}

TEST(CertNameToStrW, StringTypesBecomeText)
{
    // Chinese and Korean as UTF8String, BMPString and UniversalString; Latin-1 as TeletexString.
    EXPECT_EQ(NameToStr(EncodeName({{"CN", V_ASN1_UTF8STRING, "张伟"}}), CERT_X500_NAME_STR), "CN=张伟");
    EXPECT_EQ(NameToStr(EncodeName({{"CN", V_ASN1_BMPSTRING, std::string("\xD5\x5C\xAD\x6D", 4)}}),
                        CERT_X500_NAME_STR),
              "CN=한국");
    EXPECT_EQ(NameToStr(EncodeName({{"CN", V_ASN1_UNIVERSALSTRING, std::string("\0\x01\xF6\x00\0\0\0A", 8)}}),
                        CERT_SIMPLE_NAME_STR),
              "\xF0\x9F\x98\x80" "A");
    EXPECT_EQ(NameToStr(EncodeName({{"CN", V_ASN1_T61STRING, "caf\xE9"}}), CERT_SIMPLE_NAME_STR), "café");
    EXPECT_EQ(NameToStr(EncodeName({{"emailAddress", V_ASN1_IA5STRING, "a@b.c"}}), CERT_X500_NAME_STR),
              "E=a@b.c");
    EXPECT_EQ(NameToStr(EncodeName({{"C", V_ASN1_PRINTABLESTRING, "US"}}), CERT_X500_NAME_STR), "C=US");
    // A malformed UTF-8 byte is replaced, not fatal.
    EXPECT_EQ(NameToStr(RawCn(V_ASN1_UTF8STRING, "a\xFF" "b\xE4\xB8"), CERT_SIMPLE_NAME_STR), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    // Not a string at all: the encoding in hexadecimal.
    EXPECT_EQ(NameToStr(RawCn(0x04, "\x01\xAB"), CERT_X500_NAME_STR), "CN=#040201AB");
}

TEST(CertNameToStrW, SizeQueryShortBufferAndEmptyName)
{
    auto der = EncodeName({{"CN", MBSTRING_ASC, "Hello"}, {"O", MBSTRING_ASC, "World"}});
    CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), der.data()};
    const DWORD size = CertNameToStrW(kEnc, &blob, CERT_X500_NAME_STR, nullptr, 0);
    EXPECT_EQ(size, 18u);  // "CN=Hello, O=World" and the terminator
    WCHAR small[6];
    std::fill(std::begin(small), std::end(small), WCHAR(0x7777));
    EXPECT_EQ(CertNameToStrW(kEnc, &blob, CERT_X500_NAME_STR, small, 6), 6u);
    EXPECT_EQ(Utf8(small), "CN=He");

    BYTE empty[] = {0x30, 0x00};
    CERT_NAME_BLOB emptyBlob{2, empty};
    WCHAR one[1] = {0x7777};
    EXPECT_EQ(CertNameToStrW(kEnc, &emptyBlob, CERT_X500_NAME_STR, nullptr, 0), 1u);
    EXPECT_EQ(CertNameToStrW(kEnc, &emptyBlob, CERT_X500_NAME_STR, one, 1), 1u);
    EXPECT_EQ(one[0], 0);
}

TEST(CertNameToStrW, MalformedBlobsGiveAnEmptyStringAndAnAsn1Error)
{
    struct Case {
        std::vector<BYTE> der;
        HRESULT expected;
    };
    const std::vector<Case> cases = {
        {{}, CRYPT_E_ASN1_EOD},
        {{0x31, 0x00}, CRYPT_E_ASN1_BADTAG},                                   // not a SEQUENCE
        {{0x30, 0x05, 0x31, 0x03}, CRYPT_E_ASN1_EOD},                          // truncated
        {{0x30, 0x80, 0x00, 0x00}, CRYPT_E_ASN1_CORRUPT},                      // indefinite length
        {{0x30, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00}, CRYPT_E_ASN1_LARGE},      // five length octets
        {{0x30, 0x02, 0x31, 0x00}, CRYPT_E_ASN1_CORRUPT},                      // empty RDN
        {{0x30, 0x00, 0x00}, CRYPT_E_ASN1_CORRUPT},                            // trailing byte
        {{0x30, 0x08, 0x31, 0x06, 0x30, 0x04, 0x04, 0x00, 0x0C, 0x00}, CRYPT_E_ASN1_BADTAG},  // key not an OID
        {{0x30, 0x0B, 0x31, 0x09, 0x30, 0x07, 0x06, 0x03, 0x55, 0x04, 0x03, 0x1E, 0x01}, CRYPT_E_ASN1_EOD},
        {{0x30, 0x0C, 0x31, 0x0A, 0x30, 0x08, 0x06, 0x03, 0x55, 0x04, 0x03, 0x1E, 0x01, 0x41}, CRYPT_E_ASN1_CORRUPT},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        auto der = cases[i].der;
        CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), der.empty() ? nullptr : der.data()};
        WCHAR buf[8] = {0x7777};
        SetLastError(0);
        EXPECT_EQ(CertNameToStrW(kEnc, &blob, CERT_X500_NAME_STR, buf, 8), 1u) << "case " << i;
        EXPECT_EQ(buf[0], 0) << "case " << i;
        EXPECT_EQ(static_cast<HRESULT>(GetLastError()), cases[i].expected) << "case " << i;
    }
}
