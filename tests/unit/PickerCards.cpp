// The picker's cards: texts from the certificate, the hardware-key flag and the order.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "unit/SelfModule.h"
#include "platform/CertTestSupport.h"
#include "crypt32/CertKeyLink.h"
#include "picker/CertificateCards.h"

namespace {

using WString = std::basic_string<WCHAR>;
using certtest::Bytes;
using Names = std::vector<std::pair<const char*, std::string>>;

using npk::test::SelfModule;

X509_NAME* MakeName(const Names& names)
{
    X509_NAME* name = X509_NAME_new();
    for (const auto& [key, value] : names)
        X509_NAME_add_entry_by_txt(name, key, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.c_str()),
                                   -1, -1, 0);
    return name;
}

// A certificate with exactly the names, serial and dates given.
Bytes MakeCertificate(const Names& subject, const Names& issuer, const Bytes& serial = {0x01},
                      const char* notBefore = "20200305101112Z", const char* notAfter = "20250304235959Z")
{
    EVP_PKEY* key = certtest::SharedKey(0);
    X509* x = X509_new();
    X509_set_version(x, 2);
    BIGNUM* bn = BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr);
    ASN1_INTEGER* sn = BN_to_ASN1_INTEGER(bn, nullptr);
    X509_set_serialNumber(x, sn);
    ASN1_INTEGER_free(sn);
    BN_free(bn);
    X509_NAME* s = MakeName(subject);
    X509_NAME* i = MakeName(issuer);
    X509_set_subject_name(x, s);
    X509_set_issuer_name(x, i);
    X509_NAME_free(s);
    X509_NAME_free(i);
    ASN1_TIME* t = ASN1_TIME_new();
    ASN1_TIME_set_string(t, notBefore);
    X509_set1_notBefore(x, t);
    ASN1_TIME_set_string(t, notAfter);
    X509_set1_notAfter(x, t);
    ASN1_TIME_free(t);
    X509_set_pubkey(x, key);
    X509_sign(x, key, EVP_sha256());
    int n = i2d_X509(x, nullptr);
    Bytes out(static_cast<size_t>(n));
    BYTE* p = out.data();
    i2d_X509(x, &p);
    X509_free(x);
    return out;
}

class PickerCards : public certtest::IsolatedHome {
protected:
    void SetUp() override
    {
        IsolatedHome::SetUp();
        m_language = GetThreadUILanguage();
        SetThreadUILanguage(1033);
    }
    void TearDown() override
    {
        SetThreadUILanguage(m_language);
        for (PCCERT_CONTEXT p : m_certs) CertFreeCertificateContext(p);
        IsolatedHome::TearDown();
    }

    // The card of a new certificate; the test keeps the certificate alive.
    CertificateItem Card(const Bytes& der, HRESULT expected = S_OK)
    {
        PCCERT_CONTEXT cert = certtest::Create(der);
        EXPECT_NE(cert, nullptr);
        m_certs.push_back(cert);
        CertificateItem item;
        LPCWSTR step = nullptr;
        EXPECT_EQ(BuildCertificateItem(cert, SelfModule(), &item, &step), expected);
        if (expected == S_OK) {
            EXPECT_EQ(item.pCertContext, cert) << "the card refers to the certificate itself";
            EXPECT_EQ(step, nullptr);
        }
        return item;
    }

    std::vector<PCCERT_CONTEXT> m_certs;
    LANGID m_language = 0;
};

CertificateItem Fake(const WCHAR* name, DWORD hardware)
{
    CertificateItem item = {};
    for (int i = 0; name[i] != 0; ++i) item.wszDisplayName[i] = name[i];
    item.dwHardwareKey = hardware;
    return item;
}

}  // namespace

TEST_F(PickerCards, FourLinesFromTheCertificate)
{
    CertificateItem item = Card(MakeCertificate({{"CN", "Alice Example"}, {"O", "Subject Org"}},
                                                {{"CN", "Root CA"}, {"O", "Keystrand Trust"}, {"C", "CN"}},
                                                {0x0B, 0x0A}));
    EXPECT_EQ(WString(item.wszDisplayName), WString(TEXT("Alice Example")));
    EXPECT_EQ(WString(item.wszIssuer), WString(TEXT("Issuer: Keystrand Trust"))) << "the organisation first";
    EXPECT_EQ(WString(item.wszSerialNumber), WString(TEXT("SN: 0b0a"))) << "most significant byte first, lowercase";
    EXPECT_EQ(WString(item.wszValidDate), WString(TEXT("Valid From: 03/05/2020 to 03/04/2025")));
    EXPECT_EQ(item.dwHardwareKey, 0u);
}

TEST_F(PickerCards, MissingNamesLeaveTheirLinesShort)
{
    CertificateItem byCommonName = Card(MakeCertificate({{"O", "No Common Name"}}, {{"CN", "Only CN"}}));
    EXPECT_EQ(WString(byCommonName.wszDisplayName), WString()) << "no CN: an empty name line";
    EXPECT_EQ(WString(byCommonName.wszIssuer), WString(TEXT("Issuer: Only CN")));

    CertificateItem neither = Card(MakeCertificate({{"CN", "x"}}, {{"C", "CN"}, {"L", "Somewhere"}}));
    EXPECT_EQ(WString(neither.wszIssuer), WString(TEXT("Issuer: ")));
}

TEST_F(PickerCards, ChineseTextsUnderTheSameNumbers)
{
    SetThreadUILanguage(2052);
    CertificateItem item = Card(MakeCertificate({{"CN", "张三"}}, {{"O", "测试机构"}}, {0x01, 0x02, 0x03},
                                                "20201231235959Z", "20210101000000Z"));
    EXPECT_EQ(WString(item.wszDisplayName), WString(TEXT("张三")));
    EXPECT_EQ(WString(item.wszIssuer), WString(TEXT("颁发者: 测试机构")));
    EXPECT_EQ(WString(item.wszSerialNumber), WString(TEXT("序列号: 010203")));
    EXPECT_EQ(WString(item.wszValidDate), WString(TEXT("有效期: 12/31/2020 至 01/01/2021")));

    // Korean has no picker texts of its own: the English ones are used.
    SetThreadUILanguage(1042);
    CertificateItem korean = Card(MakeCertificate({{"CN", "k"}}, {{"O", "Org"}}));
    EXPECT_EQ(WString(korean.wszIssuer), WString(TEXT("Issuer: Org")));
}

TEST_F(PickerCards, ModuleWithoutTheStringsFails)
{
    PCCERT_CONTEXT cert = certtest::Create(MakeCertificate({{"CN", "a"}}, {{"O", "b"}}));
    ASSERT_NE(cert, nullptr);
    m_certs.push_back(cert);
    CertificateItem item;
    LPCWSTR step = nullptr;
    // A handle that names no module with resources.
    HMODULE stringless = reinterpret_cast<HMODULE>(&m_language);
    HRESULT hr = BuildCertificateItem(cert, stringless, &item, &step);
    EXPECT_TRUE(FAILED(hr));
    ASSERT_NE(step, nullptr);
    EXPECT_EQ(WString(step), WString(TEXT("LoadString (Issuer)")));
}

TEST_F(PickerCards, SoftwareKeysAndMissingKeysAreNotHardware)
{
    PCCERT_CONTEXT withKey = certtest::Create(MakeCertificate({{"CN", "keyed"}}, {{"O", "o"}}));
    ASSERT_NE(withKey, nullptr);
    m_certs.push_back(withKey);
    ASSERT_TRUE(NpkLinkCertificateToKey(withKey, certtest::SharedKey(0), false));
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(withKey, 0, nullptr, &prov, &keySpec, &callerFree))
        << "the key is reachable, so the provider is asked";
    if (callerFree) CryptReleaseContext(prov, 0);
    DWORD flag = 7;
    EXPECT_EQ(GetHardwareKeyFlag(withKey, &flag), S_OK);
    EXPECT_EQ(flag, 0u) << "software keys report CRYPT_IMPL_SOFTWARE";

    PCCERT_CONTEXT noKey = certtest::Create(MakeCertificate({{"CN", "keyless"}}, {{"O", "o"}}));
    ASSERT_NE(noKey, nullptr);
    m_certs.push_back(noKey);
    flag = 7;
    EXPECT_EQ(GetHardwareKeyFlag(noKey, &flag), S_OK) << "a key that cannot be had is no failure";
    EXPECT_EQ(flag, 0u);
    EXPECT_EQ(GetHardwareKeyFlag(noKey, nullptr), E_POINTER);
}

TEST_F(PickerCards, HardwareKeysFirstThenNamesWithoutCase)
{
    std::vector<CertificateItem> items = {Fake(TEXT("alpha"), 0), Fake(TEXT("Zed"), 1)};
    SortCertificateItems(items);
    EXPECT_EQ(WString(items[0].wszDisplayName), WString(TEXT("Zed"))) << "the smart card comes first";
    EXPECT_EQ(WString(items[1].wszDisplayName), WString(TEXT("alpha")));

    items = {Fake(TEXT("beta"), 0), Fake(TEXT("Alpha"), 0)};
    SortCertificateItems(items);
    EXPECT_EQ(WString(items[0].wszDisplayName), WString(TEXT("Alpha")));
    EXPECT_EQ(WString(items[1].wszDisplayName), WString(TEXT("beta")));

    items = {Fake(TEXT("m"), 0), Fake(TEXT("b"), 1), Fake(TEXT("A"), 0), Fake(TEXT("c"), 1), Fake(TEXT(""), 0)};
    SortCertificateItems(items);
    const WCHAR* expected[] = {TEXT("b"), TEXT("c"), TEXT(""), TEXT("A"), TEXT("m")};
    for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(WString(items[i].wszDisplayName), WString(expected[i])) << i;

    // Equal cards keep their order.
    items = {Fake(TEXT("same"), 0), Fake(TEXT("SAME"), 0)};
    SortCertificateItems(items);
    EXPECT_EQ(WString(items[0].wszDisplayName), WString(TEXT("same")));
}

TEST(PickerNames, ValueOfTheFirstRelativeNameWithThatKey)
{
    WCHAR value[128];
    EXPECT_TRUE(CopyNameValue(TEXT("CN=Zed, OU=Unit, O=Org, C=CN"), TEXT("CN="), value, ARRAYSIZE(value)));
    EXPECT_EQ(WString(value), WString(TEXT("Zed")));
    EXPECT_TRUE(CopyNameValue(TEXT("CN=Zed, OU=Unit, O=Org, C=CN"), TEXT("O="), value, ARRAYSIZE(value)));
    EXPECT_EQ(WString(value), WString(TEXT("Org"))) << "OU= is not O=";
    EXPECT_TRUE(CopyNameValue(TEXT("O=ACN=fake, CN=Real"), TEXT("CN="), value, ARRAYSIZE(value)));
    EXPECT_EQ(WString(value), WString(TEXT("Real"))) << "a key inside a value does not count";
    EXPECT_TRUE(CopyNameValue(TEXT("CN=, O=x"), TEXT("CN="), value, ARRAYSIZE(value)));
    EXPECT_EQ(WString(value), WString());
    EXPECT_FALSE(CopyNameValue(TEXT("C=CN, L=Here"), TEXT("CN="), value, ARRAYSIZE(value)));
    EXPECT_EQ(value[0], 0);
    EXPECT_FALSE(CopyNameValue(nullptr, TEXT("CN="), value, ARRAYSIZE(value)));
}

TEST(PickerNames, LongValuesAreCutToTheBufferWithAMark)
{
    WString name = TEXT("CN=");
    for (int i = 0; i < 200; ++i) name.push_back(static_cast<WCHAR>('a' + i % 26));
    name += TEXT(", O=x");
    WCHAR value[128];
    ASSERT_TRUE(CopyNameValue(name.c_str(), TEXT("CN="), value, ARRAYSIZE(value)));
    WString got(value);
    ASSERT_EQ(got.size(), 127u);
    EXPECT_EQ(got.substr(0, 124), name.substr(3, 124));
    EXPECT_EQ(got.substr(124), WString(TEXT("...")));

    // 127 characters still fit whole.
    WString fits = TEXT("CN=") + WString(127, 'z');
    ASSERT_TRUE(CopyNameValue(fits.c_str(), TEXT("CN="), value, ARRAYSIZE(value)));
    EXPECT_EQ(WString(value), WString(127, 'z'));
}
