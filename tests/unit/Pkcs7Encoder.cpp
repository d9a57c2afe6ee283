// DER length octets and elements, the structure encoder wrapper, and the byte layout of the
// signedData message (checked element by element and by OpenSSL's PKCS#7 parser).
#include <windows.h>
#include <oleauto.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kernel/Encoding.h"
#include "kernel/Pkcs7Encoder.h"
#include "platform/CertTestSupport.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes LengthOctets(DWORD length, HRESULT* phr = nullptr)
{
    BYTE* pb = nullptr;
    DWORD cb = 0;
    HRESULT hr = CalculateASNValueLength(length, &pb, &cb);
    if (phr != nullptr) *phr = hr;
    Bytes out(pb, pb + (pb != nullptr ? cb : 0));
    delete[] pb;
    return out;
}

// One DER element: its tag, where its value starts and how long the value is.
struct Tlv {
    BYTE tag = 0;
    size_t header = 0;
    size_t length = 0;
    size_t Total() const { return header + length; }
};

Tlv ReadTlv(const BYTE* p, size_t avail)
{
    Tlv t;
    if (avail < 2) return t;
    t.tag = p[0];
    BYTE first = p[1];
    if (first < 0x80) {
        t.header = 2;
        t.length = first;
    } else {
        size_t n = first & 0x7F;
        t.header = 2 + n;
        for (size_t i = 0; i < n && 2 + i < avail; ++i) t.length = (t.length << 8) | p[2 + i];
    }
    return t;
}

// The children of a constructed element's value.
std::vector<std::pair<const BYTE*, Tlv>> Children(const BYTE* value, size_t length)
{
    std::vector<std::pair<const BYTE*, Tlv>> out;
    size_t off = 0;
    while (off < length) {
        Tlv t = ReadTlv(value + off, length - off);
        if (t.header == 0 || off + t.Total() > length) break;
        out.push_back({value + off, t});
        off += t.Total();
    }
    return out;
}

Bytes DecodeBstr(BSTR bstr)
{
    std::string text;
    for (UINT i = 0; i < SysStringLen(bstr); ++i) text += static_cast<char>(bstr[i]);
    BYTE* pb = nullptr;
    int cb = 0;
    EXPECT_EQ(Base64DecodeEx(text.c_str(), static_cast<int>(text.size()), &pb, &cb), S_OK);
    Bytes out(pb, pb + cb);
    delete[] pb;
    return out;
}

}  // namespace

TEST(DerLength, ShortAndLongForms)
{
    struct Case {
        DWORD length;
        Bytes octets;
    } cases[] = {
        {1, {0x01}},
        {127, {0x7F}},
        {128, {0x81, 0x80}},
        {255, {0x81, 0xFF}},
        {256, {0x82, 0x01, 0x00}},
        {65535, {0x82, 0xFF, 0xFF}},
        {65536, {0x83, 0x01, 0x00, 0x00}},
        {0xFFFFFF, {0x83, 0xFF, 0xFF, 0xFF}},
        {0x1000000, {0x84, 0x01, 0x00, 0x00, 0x00}},
        {0xFFFFFFFF, {0x84, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        HRESULT hr = E_UNEXPECTED;
        EXPECT_EQ(LengthOctets(c.length, &hr), c.octets) << c.length;
        EXPECT_EQ(hr, S_OK);
    }
}

TEST(DerLength, ZeroIsRefused)
{
    BYTE* pb = reinterpret_cast<BYTE*>(1);
    DWORD cb = 9;
    EXPECT_EQ(CalculateASNValueLength(0, &pb, &cb), E_FAIL);
    EXPECT_EQ(pb, nullptr);
    EXPECT_EQ(cb, 0u);
}

TEST(DerElement, TheNineTagsAndTheirLayout)
{
    Bytes value(200, 0x5A);
    for (DWORD tag : {0x02u, 0x04u, 0x06u, 0x13u, 0x1Eu, 0x30u, 0x31u, 0x80u, 0xA0u}) {
        BYTE* pb = nullptr;
        DWORD cb = 0;
        ASSERT_EQ(ASN1Encode(tag, value.data(), static_cast<DWORD>(value.size()), &pb, &cb), S_OK) << tag;
        ASSERT_EQ(cb, 203u);
        EXPECT_EQ(pb[0], tag);
        EXPECT_EQ(pb[1], 0x81);
        EXPECT_EQ(pb[2], 200);
        EXPECT_EQ(Bytes(pb + 3, pb + cb), value);
        delete[] pb;
    }
    BYTE one = 0x07;
    BYTE* pb = nullptr;
    DWORD cb = 0;
    ASSERT_EQ(ASN1Encode(0x02, &one, 1, &pb, &cb), S_OK);
    EXPECT_EQ(Bytes(pb, pb + cb), (Bytes{0x02, 0x01, 0x07}));
    delete[] pb;
}

TEST(DerElement, OtherTagsAndEmptyValuesAreRefused)
{
    BYTE v = 0;
    for (DWORD tag : {0x00u, 0x01u, 0x03u, 0x05u, 0x0Cu, 0x17u, 0x81u, 0xA1u, 0xA3u, 0xFFu}) {
        BYTE* pb = reinterpret_cast<BYTE*>(1);
        DWORD cb = 5;
        EXPECT_EQ(ASN1Encode(tag, &v, 1, &pb, &cb), E_FAIL) << tag;
        EXPECT_EQ(pb, nullptr);
        EXPECT_EQ(cb, 0u);
    }
    BYTE* pb = nullptr;
    DWORD cb = 0;
    EXPECT_EQ(ASN1Encode(0x04, &v, 0, &pb, &cb), E_FAIL);
    EXPECT_EQ(pb, nullptr);
}

TEST(StructureEncoder, AttributeWithoutValuesEndsInAnEmptySet)
{
    char oid[] = "1.3.14.3.2.26";
    CRYPT_ATTRIBUTE attr = {oid, 0, nullptr};
    BYTE* pb = nullptr;
    DWORD cb = 0;
    ASSERT_EQ(EncodeObject(PKCS_ATTRIBUTE, &attr, &pb, &cb), S_OK);
    EXPECT_EQ(Bytes(pb, pb + cb), (Bytes{0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x31, 0x00}));
    delete[] pb;
}

TEST(StructureEncoder, PlatformFailureGivesItsCode)
{
    char bad[] = "not-an-oid";
    CRYPT_ALGORITHM_IDENTIFIER alg = {bad, {0, nullptr}};
    BYTE* pb = reinterpret_cast<BYTE*>(1);
    DWORD cb = 3;
    HRESULT hr = EncodeObject(X509_ALGORITHM_IDENTIFIER, &alg, &pb, &cb);
    EXPECT_LT(hr, 0);
    EXPECT_EQ(pb, nullptr);
    EXPECT_EQ(cb, 0u);
}

class SignedDataLayout : public certtest::IsolatedHome {
protected:
    void SetUp() override
    {
        IsolatedHome::SetUp();
        m_der = certtest::MakeCertificate();
        m_cert = certtest::Create(m_der);
        ASSERT_NE(m_cert, nullptr);
        m_signature.assign(256, 0);
        for (size_t i = 0; i < m_signature.size(); ++i) m_signature[i] = static_cast<BYTE>(i * 7 + 1);
    }
    void TearDown() override
    {
        if (m_cert != nullptr) CertFreeCertificateContext(m_cert);
        IsolatedHome::TearDown();
    }

    Bytes Encapsulate(const Bytes& content, BOOL attached, const char* digest = "2.16.840.1.101.3.4.2.1",
                      const char* sigOid = "1.2.840.113549.1.1.11", std::string* base64 = nullptr)
    {
        BSTR bstr = nullptr;
        DWORD cch = 0;
        HRESULT hr = EncapsulatePKCS7(m_cert, digest, sigOid, content.data(), static_cast<DWORD>(content.size()),
                                      m_signature.data(), static_cast<DWORD>(m_signature.size()), &bstr, &cch,
                                      attached, 0);
        EXPECT_EQ(hr, S_OK);
        if (bstr == nullptr) return {};
        EXPECT_EQ(cch, SysStringLen(bstr));
        if (base64 != nullptr)
            for (UINT i = 0; i < SysStringLen(bstr); ++i) *base64 += static_cast<char>(bstr[i]);
        Bytes der = DecodeBstr(bstr);
        SysFreeString(bstr);
        return der;
    }

    Bytes m_der;
    PCCERT_CONTEXT m_cert = nullptr;
    Bytes m_signature;
};

TEST_F(SignedDataLayout, DetachedMessageElementByElement)
{
    Bytes msg = Encapsulate({}, FALSE);
    ASSERT_FALSE(msg.empty());
    Tlv outer = ReadTlv(msg.data(), msg.size());
    ASSERT_EQ(outer.tag, 0x30);
    ASSERT_EQ(outer.Total(), msg.size());
    auto top = Children(msg.data() + outer.header, outer.length);
    ASSERT_EQ(top.size(), 2u);
    const Bytes signedDataOid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    EXPECT_EQ(Bytes(top[0].first, top[0].first + top[0].second.Total()), signedDataOid);
    ASSERT_EQ(top[1].second.tag, 0xA0);

    auto explicitContent = Children(top[1].first + top[1].second.header, top[1].second.length);
    ASSERT_EQ(explicitContent.size(), 1u);
    ASSERT_EQ(explicitContent[0].second.tag, 0x30);
    auto sd = Children(explicitContent[0].first + explicitContent[0].second.header, explicitContent[0].second.length);
    ASSERT_EQ(sd.size(), 5u);

    EXPECT_EQ(Bytes(sd[0].first, sd[0].first + sd[0].second.Total()), (Bytes{0x02, 0x01, 0x01}));

    // digestAlgorithms: SET { SEQUENCE { sha256, NULL } }.
    const Bytes digestAlgs = {0x31, 0x0F, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                              0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00};
    EXPECT_EQ(Bytes(sd[1].first, sd[1].first + sd[1].second.Total()), digestAlgs);

    const Bytes detachedContentInfo = {0x30, 0x0B, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
    EXPECT_EQ(Bytes(sd[2].first, sd[2].first + sd[2].second.Total()), detachedContentInfo);

    // certificates: [0] holding exactly the stored certificate.
    ASSERT_EQ(sd[3].second.tag, 0xA0);
    EXPECT_EQ(Bytes(sd[3].first + sd[3].second.header, sd[3].first + sd[3].second.Total()), m_der);

    // signerInfos: SET { SignerInfo { 1, issuerAndSerial, digestAlg, sigAlg, signature } }.
    ASSERT_EQ(sd[4].second.tag, 0x31);
    auto infos = Children(sd[4].first + sd[4].second.header, sd[4].second.length);
    ASSERT_EQ(infos.size(), 1u);
    auto si = Children(infos[0].first + infos[0].second.header, infos[0].second.length);
    ASSERT_EQ(si.size(), 5u);
    EXPECT_EQ(Bytes(si[0].first, si[0].first + si[0].second.Total()), (Bytes{0x02, 0x01, 0x01}));
    auto ias = Children(si[1].first + si[1].second.header, si[1].second.length);
    ASSERT_EQ(ias.size(), 2u);
    const CERT_NAME_BLOB& issuer = m_cert->pCertInfo->Issuer;
    EXPECT_EQ(Bytes(ias[0].first, ias[0].first + ias[0].second.Total()),
              Bytes(issuer.pbData, issuer.pbData + issuer.cbData));
    EXPECT_EQ(Bytes(ias[1].first, ias[1].first + ias[1].second.Total()), (Bytes{0x02, 0x03, 0x01, 0x02, 0x03}));
    EXPECT_EQ(si[2].second.tag, 0x30);
    const Bytes sha256WithRsa = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B};
    EXPECT_EQ(Bytes(si[3].first + si[3].second.header, si[3].first + si[3].second.header + sha256WithRsa.size()),
              sha256WithRsa);
    ASSERT_EQ(si[4].second.tag, 0x04);
    EXPECT_EQ(Bytes(si[4].first + si[4].second.header, si[4].first + si[4].second.Total()), m_signature);
}

TEST_F(SignedDataLayout, AttachedContentAndTheEmptyOctetString)
{
    const Bytes content = {'h', 'e', 'l', 'l', 'o'};
    Bytes msg = Encapsulate(content, TRUE);
    const Bytes inner = {0x30, 0x14, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01,
                         0xA0, 0x07, 0x04, 0x05, 'h', 'e', 'l', 'l', 'o'};
    EXPECT_NE(std::search(msg.begin(), msg.end(), inner.begin(), inner.end()), msg.end());

    Bytes empty = Encapsulate({}, TRUE);
    const Bytes emptyInner = {0x30, 0x0F, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01,
                              0xA0, 0x02, 0x04, 0x00};
    EXPECT_NE(std::search(empty.begin(), empty.end(), emptyInner.begin(), emptyInner.end()), empty.end());

    // OpenSSL reads both as signed data with the content inside.
    for (const Bytes* m : {&msg, &empty}) {
        const unsigned char* p = m->data();
        PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(m->size()));
        ASSERT_NE(p7, nullptr);
        EXPECT_TRUE(PKCS7_type_is_signed(p7));
        EXPECT_FALSE(PKCS7_is_detached(p7));
        PKCS7_free(p7);
    }
}

TEST_F(SignedDataLayout, DigestIdentifierEndsInNullForEveryHash)
{
    struct Case {
        const char* oid;
        Bytes encodedOid;
    } cases[] = {
        {"1.2.840.113549.2.5", {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05}},
        {"1.3.14.3.2.26", {0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A}},
        {"2.16.840.1.101.3.4.2.3", {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03}},
    };
    for (const Case& c : cases) {
        Bytes msg = Encapsulate({}, FALSE, c.oid, "1.2.840.113549.1.1.1");
        Bytes set = {0x31, static_cast<BYTE>(c.encodedOid.size() + 4), 0x30, static_cast<BYTE>(c.encodedOid.size() + 2)};
        set.insert(set.end(), c.encodedOid.begin(), c.encodedOid.end());
        set.push_back(0x05);
        set.push_back(0x00);
        EXPECT_NE(std::search(msg.begin(), msg.end(), set.begin(), set.end()), msg.end()) << c.oid;
    }
}

TEST_F(SignedDataLayout, Base64InLinesOf76)
{
    std::string text;
    Bytes msg = Encapsulate(Bytes(3000, 'x'), TRUE, "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11", &text);
    ASSERT_GT(text.size(), 200u);
    size_t first = text.find("\r\n");
    EXPECT_EQ(first, 76u);
    EXPECT_NE(text.substr(text.size() - 2), "\r\n");
}

TEST_F(SignedDataLayout, FailuresStoreNothing)
{
    BSTR bstr = nullptr;
    DWORD cch = 42;
    // An OID the platform cannot encode fails in the encoder and leaves the outputs alone.
    EXPECT_LT(EncapsulatePKCS7(m_cert, "bad oid", "1.2.840.113549.1.1.1", nullptr, 0, m_signature.data(),
                               static_cast<DWORD>(m_signature.size()), &bstr, &cch, FALSE, 0),
              0);
    EXPECT_EQ(bstr, nullptr);
    EXPECT_EQ(cch, 42u);
    EXPECT_EQ(EncapsulatePKCS7(nullptr, "1.3.14.3.2.26", "1.2.840.113549.1.1.1", nullptr, 0, m_signature.data(),
                               static_cast<DWORD>(m_signature.size()), &bstr, &cch, FALSE, 0),
              E_INVALIDARG);
    EXPECT_EQ(bstr, nullptr);
}
