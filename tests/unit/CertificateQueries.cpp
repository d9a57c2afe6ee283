// Certificate attribute queries over certificates made with OpenSSL at test time.
#include "platform/CertTestSupport.h"

#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>

#include "crypt32/CertKeyLink.h"
#include "crypt32/CertObjects.h"
#include "kernel/CertificateQueries.h"

using namespace certtest;
using npk::crypt32::CertStoreObject;

namespace {

using WString = std::basic_string<WCHAR>;

WString W(const char* text)
{
    WString out;
    for (const char* p = text; *p != 0; ++p) out += static_cast<WCHAR>(static_cast<unsigned char>(*p));
    return out;
}

// The certificate re-made after a change, signed again by its own (shared) key.
Bytes Rebuild(const Bytes& der, const std::function<void(X509*)>& change)
{
    const unsigned char* p = der.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    change(x);
    X509_sign(x, SharedKey(0), EVP_sha256());
    Bytes out(static_cast<size_t>(i2d_X509(x, nullptr)));
    BYTE* q = out.data();
    i2d_X509(x, &q);
    X509_free(x);
    return out;
}

Bytes WithKeyUsage(const char* usage, const CertSpec& spec = CertSpec())
{
    return Rebuild(MakeCertificate(spec), [usage](X509* x) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, usage);
        X509_add_ext(x, ext, -1);
        X509_EXTENSION_free(ext);
    });
}

// A subject encoded country first, common name last, as most issuers write it.
Bytes WithSubject(const std::vector<std::pair<const char*, const char*>>& rdns)
{
    return Rebuild(MakeCertificate(), [&rdns](X509* x) {
        X509_NAME* name = X509_NAME_new();
        for (const auto& rdn : rdns)
            X509_NAME_add_entry_by_txt(name, rdn.first, MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(rdn.second), -1, -1, 0);
        X509_set_subject_name(x, name);
        X509_NAME_free(name);
    });
}

class CertificateQueries : public IsolatedHome {
protected:
    void SetUp() override
    {
        IsolatedHome::SetUp();
        m_contexts = CertStoreObject::LiveContexts();
    }
    void TearDown() override
    {
        for (PCCERT_CONTEXT c : m_certs) CertFreeCertificateContext(c);
        EXPECT_EQ(CertStoreObject::LiveContexts(), m_contexts);
        IsolatedHome::TearDown();
    }
    PCCERT_CONTEXT Cert(const Bytes& der)
    {
        PCCERT_CONTEXT c = Create(der);
        EXPECT_NE(c, nullptr);
        m_certs.push_back(c);
        return c;
    }
    WString Text(PCCERT_CONTEXT cert, CertInfoType type, DWORD* pLength = nullptr)
    {
        LPWSTR text = nullptr;
        DWORD length = 0xDEAD;
        HRESULT hr = QueryCertContextInfo(cert, type, &text, &length);
        EXPECT_EQ(hr, S_OK) << std::hex << hr;
        if (FAILED(hr)) return WString();
        EXPECT_NE(text, nullptr);
        WString out(text);
        delete[] text;
        if (pLength != nullptr) *pLength = length;
        return out;
    }
    Bytes Data(PCCERT_CONTEXT cert, CertInfoType type)
    {
        BYTE* data = nullptr;
        DWORD length = 0xDEAD;
        HRESULT hr = QueryCertContextInfo(cert, type, &data, &length);
        EXPECT_EQ(hr, S_OK) << std::hex << hr;
        if (FAILED(hr)) return Bytes();
        Bytes out(data, data + length);
        delete[] data;
        return out;
    }

    LONG m_contexts = 0;
    std::vector<PCCERT_CONTEXT> m_certs;
};

}  // namespace

TEST_F(CertificateQueries, NamesComeOutReversedUnquotedWithTheirLengths)
{
    PCCERT_CONTEXT cert =
        Cert(WithSubject({{"C", "CN"}, {"O", "Acme, Inc."}, {"CN", "Doe, John \"JD\""}}));
    DWORD length = 0;
    WString dn = Text(cert, SubjectDN, &length);
    EXPECT_EQ(dn, W("CN=Doe, John \"JD\", O=Acme, Inc., C=CN"));
    EXPECT_EQ(length, dn.size() + 1);  // the terminator is counted

    // The simple form has the values alone, still last-encoded first.
    WString simple = Text(cert, SubjectName, &length);
    EXPECT_EQ(simple, W("Doe, John \"JD\", Acme, Inc., CN"));
    EXPECT_EQ(length, simple.size() + 1);

    WString issuer = Text(cert, IssuerDN, &length);
    EXPECT_EQ(issuer, W("CN=Test Issuer"));
    EXPECT_EQ(length, 15u);
}

TEST_F(CertificateQueries, NameFunctionsCalledDirectly)
{
    PCCERT_CONTEXT cert = Cert(MakeCertificate());
    LPWSTR text = nullptr;
    // The length out-parameter is optional.
    ASSERT_EQ(GetCertSubject(cert, &text, nullptr, CERT_X500_NAME_STR), S_OK);
    EXPECT_EQ(WString(text), W("O=Keystrand, CN=Test Subject"));
    delete[] text;
    text = nullptr;
    ASSERT_EQ(GetCertIssuer(cert, &text, nullptr), S_OK);
    EXPECT_EQ(WString(text), W("CN=Test Issuer"));
    delete[] text;

    EXPECT_EQ(GetCertSubject(cert, nullptr, nullptr, CERT_X500_NAME_STR), E_POINTER);
    text = nullptr;
    EXPECT_EQ(GetCertIssuer(nullptr, &text, nullptr), E_INVALIDARG);
    EXPECT_EQ(text, nullptr);
}

TEST_F(CertificateQueries, UnsupportedQueryTypesTouchNoOutput)
{
    PCCERT_CONTEXT cert = Cert(MakeCertificate());
    for (DWORD type : {0u, 10u, 0xFFFFFFFFu}) {
        LPWSTR text = reinterpret_cast<LPWSTR>(0x1234);
        DWORD length = 77;
        EXPECT_EQ(QueryCertContextInfo(cert, static_cast<CertInfoType>(type), &text, &length),
                  static_cast<HRESULT>(0xA0071003L))
            << type;
        EXPECT_EQ(text, reinterpret_cast<LPWSTR>(0x1234));
        EXPECT_EQ(length, 77u);
    }
}

TEST_F(CertificateQueries, SerialNumberIsLeastSignificantByteFirst)
{
    EXPECT_EQ(Data(Cert(MakeCertificate()), SerialNumber), (Bytes{0x03, 0x02, 0x01}));

    // A positive serial whose top bit is set keeps the sign byte the encoding adds.
    CertSpec high;
    high.serial = {0x80, 0x11};
    EXPECT_EQ(Data(Cert(MakeCertificate(high)), SerialNumber), (Bytes{0x11, 0x80, 0x00}));

    BYTE* data = nullptr;
    EXPECT_EQ(GetCertSerialNumber(Cert(MakeCertificate()), &data, nullptr), S_OK);  // length optional
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], 0x03);
    delete[] data;
}

TEST_F(CertificateQueries, SubjectKeyIdentifierPresentAbsentOrOnlyTested)
{
    CertSpec spec;
    spec.keyId = {0x10, 0x20, 0x30, 0x40, 0x50};
    PCCERT_CONTEXT with = Cert(MakeCertificate(spec));
    EXPECT_EQ(Data(with, SubjectKeyID), spec.keyId);

    // A null data pointer only asks whether the extension is there.
    DWORD length = 99;
    EXPECT_EQ(QueryCertContextInfo(with, SubjectKeyID, nullptr, &length), S_OK);
    EXPECT_EQ(length, 99u);

    CertSpec none;
    none.subjectKeyId = false;
    PCCERT_CONTEXT without = Cert(MakeCertificate(none));
    BYTE* data = reinterpret_cast<BYTE*>(0x1);
    EXPECT_EQ(GetCertSubjectKeyID(without, &data, &length), static_cast<HRESULT>(0xA0071021L));
    EXPECT_EQ(GetCertSubjectKeyID(without, nullptr, nullptr), static_cast<HRESULT>(0xA0071021L));
}

TEST_F(CertificateQueries, KeyUsageIsTheFirstByteOnly)
{
    DWORD usage = 0;
    DWORD length = 0;
    PCCERT_CONTEXT signing = Cert(WithKeyUsage("digitalSignature,nonRepudiation"));
    EXPECT_EQ(QueryCertContextInfo(signing, KeyUsage, &usage, &length), S_OK);
    EXPECT_EQ(usage, 0xC0u);
    EXPECT_EQ(length, 4u);

    // Decipher-only lives in a second byte that is not reported.
    PCCERT_CONTEXT twoBytes = Cert(WithKeyUsage("keyAgreement,decipherOnly"));
    EXPECT_EQ(GetCertKeyUsage(twoBytes, &usage, nullptr), S_OK);
    EXPECT_EQ(usage, 0x08u);

    PCCERT_CONTEXT all = Cert(WithKeyUsage("digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment,"
                                           "keyAgreement,keyCertSign,cRLSign,encipherOnly"));
    EXPECT_EQ(GetCertKeyUsage(all, &usage, nullptr), S_OK);
    EXPECT_EQ(usage, 0xFFu);

    usage = 5;
    EXPECT_EQ(QueryCertContextInfo(Cert(MakeCertificate()), KeyUsage, &usage, &length),
              static_cast<HRESULT>(0xA0071020L));
    EXPECT_EQ(usage, 5u);
}

TEST_F(CertificateQueries, DatesAreNotBeforeAndNotAfterInUtc)
{
    // A zone far from UTC: a local-time conversion would move the hour.
    const char* saved = getenv("TZ");
    std::string savedTz = saved != nullptr ? saved : "";
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();

    CertSpec spec;
    spec.notBefore = "20240101000000Z";
    spec.notAfter = "20341231235958Z";
    PCCERT_CONTEXT cert = Cert(MakeCertificate(spec));
    SYSTEMTIME from = {};
    SYSTEMTIME to = {};
    DWORD length = 0;
    EXPECT_EQ(QueryCertContextInfo(cert, FromDate, &from, &length), S_OK);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(from.wYear, 2024);
    EXPECT_EQ(from.wMonth, 1);
    EXPECT_EQ(from.wDay, 1);
    EXPECT_EQ(from.wDayOfWeek, 1);  // a Monday
    EXPECT_EQ(from.wHour, 0);
    EXPECT_EQ(from.wMinute, 0);

    length = 0;
    EXPECT_EQ(QueryCertContextInfo(cert, ToDate, &to, &length), S_OK);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(to.wYear, 2034);
    EXPECT_EQ(to.wMonth, 12);
    EXPECT_EQ(to.wDay, 31);
    EXPECT_EQ(to.wHour, 23);
    EXPECT_EQ(to.wMinute, 59);
    EXPECT_EQ(to.wSecond, 58);

    if (saved != nullptr)
        setenv("TZ", savedTz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(CertificateQueries, ProviderNameOfALinkedKey)
{
    PCCERT_CONTEXT cert = Cert(MakeCertificate());
    ASSERT_TRUE(NpkLinkCertificateToKey(cert, SharedKey(0), false)) << std::hex << GetLastError();
    DWORD length = 0;
    WString name = Text(cert, ProviderName, &length);
    EXPECT_EQ(name, W("Microsoft Enhanced RSA and AES Cryptographic Provider"));
    EXPECT_EQ(length, name.size());  // no terminator counted here
}

TEST_F(CertificateQueries, ProviderNameWithoutAKeyLeavesTheOutputAlone)
{
    PCCERT_CONTEXT cert = Cert(MakeCertificate());
    LPWSTR text = reinterpret_cast<LPWSTR>(0x4321);
    DWORD length = 8;
    EXPECT_EQ(QueryCertContextInfo(cert, ProviderName, &text, &length), static_cast<HRESULT>(CRYPT_E_NO_KEY_PROPERTY));
    EXPECT_EQ(text, reinterpret_cast<LPWSTR>(0x4321));
    EXPECT_EQ(length, 8u);
}
