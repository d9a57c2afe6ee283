// Filter texts, the attribute checks, the filtering loop and extraction from stores.
#include "platform/CertTestSupport.h"

#include <functional>
#include <string>

#include "crypt32/CertKeyLink.h"
#include "crypt32/CertObjects.h"
#include "kernel/CertificateFilters.h"

using namespace certtest;
using npk::crypt32::CertContextObject;
using npk::crypt32::CertStoreObject;

namespace {

using WString = std::basic_string<WCHAR>;
const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

WString W(const std::string& text)
{
    WString out;
    for (unsigned char c : text) out += static_cast<WCHAR>(c);
    return out;
}

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

Bytes Named(const std::string& subject, const std::string& issuer = "Test Issuer")
{
    CertSpec spec;
    spec.subject = subject;
    spec.issuer = issuer;
    return MakeCertificate(spec);
}

Bytes WithKeyUsage(const char* usage, const std::string& subject = "Test Subject")
{
    return Rebuild(Named(subject), [usage](X509* x) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, usage);
        X509_add_ext(x, ext, -1);
        X509_EXTENSION_free(ext);
    });
}

LONG Refs(PCCERT_CONTEXT c) { return CertContextObject::FromHandle(c)->References(); }

class CertificateFilters : public IsolatedHome {
protected:
    void SetUp() override
    {
        IsolatedHome::SetUp();
        m_contexts = CertStoreObject::LiveContexts();
        m_stores = CertStoreObject::LiveStores();
    }
    void TearDown() override
    {
        ReleaseCertificateList(m_input);
        EXPECT_EQ(CertStoreObject::LiveContexts(), m_contexts);
        EXPECT_EQ(CertStoreObject::LiveStores(), m_stores);
        IsolatedHome::TearDown();
    }
    PCCERT_CONTEXT Add(const Bytes& der)
    {
        PCCERT_CONTEXT c = Create(der);
        EXPECT_NE(c, nullptr);
        m_input.push_back(c);
        return c;
    }
    // The positions in m_input of the certificates that pass.
    std::vector<size_t> Passing(const CertificateFilter* filter)
    {
        CertificateList out;
        EXPECT_EQ(FilterCertificates(filter, out, m_input), S_OK);
        std::vector<size_t> positions;
        for (PCCERT_CONTEXT c : out)
            for (size_t i = 0; i < m_input.size(); ++i)
                if (m_input[i] == c) positions.push_back(i);
        EXPECT_EQ(positions.size(), out.size());
        ReleaseCertificateList(out);
        return positions;
    }
    std::vector<size_t> PassingSubject(const WString& text)
    {
        CertificateFilter f = {};
        f.subjectFilter = text.c_str();
        return Passing(&f);
    }

    CertificateList m_input;
    LONG m_contexts = 0;
    LONG m_stores = 0;
};

using Positions = std::vector<size_t>;

}  // namespace

// ---------------------------------------------------------------------------
// Filter texts

TEST(ParseFilters, HashSeparatesAndEveryTokenIsKept)
{
    struct Case {
        const char* text;
        std::vector<std::string> tokens;
    };
    const Case cases[] = {
        {"", {""}},
        {"A#B", {"A", "B"}},
        {"CN=Signer#", {"CN=Signer", ""}},
        {"#", {"", ""}},
        {"##x", {"", "", "x"}},
        {" CN = a , b #c", {" CN = a , b ", "c"}},  // no trimming, no quoting
    };
    for (const Case& c : cases) {
        FilterTokenList tokens;
        WString text = W(c.text);
        ParseFilters(text.c_str(), tokens);
        ASSERT_EQ(tokens.size(), c.tokens.size()) << c.text;
        for (size_t i = 0; i < tokens.size(); ++i) EXPECT_EQ(tokens[i], W(c.tokens[i])) << c.text;
    }
}

TEST(ParseFilters, NullAddsNothingAndTokensAreAppended)
{
    FilterTokenList tokens{W("kept")};
    ParseFilters(nullptr, tokens);
    ASSERT_EQ(tokens.size(), 1u);
    WString text = W("x");
    ParseFilters(text.c_str(), tokens);
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(tokens[0], W("kept"));
    EXPECT_EQ(tokens[1], W("x"));
}

TEST(ParseFilters, LongTokensAreCutTo255Characters)
{
    std::string lng(300, 'a');
    std::string exact(255, 'b');
    WString text = W(lng + "#" + exact + "#" + std::string(256, 'c'));
    FilterTokenList tokens;
    ParseFilters(text.c_str(), tokens);
    ASSERT_EQ(tokens.size(), 3u);
    EXPECT_EQ(tokens[0], W(std::string(255, 'a')));
    EXPECT_EQ(tokens[1], W(exact));
    EXPECT_EQ(tokens[2], W(std::string(255, 'c')));
}

// ---------------------------------------------------------------------------
// Name filters

TEST_F(CertificateFilters, SubjectTokensMatchAnyOfThemIgnoringCase)
{
    Add(Named("SIGNER"));
    Add(Named("Other"));
    Add(Named("signer two"));
    Add(Named("Clerk"));
    EXPECT_EQ(PassingSubject(W("CN=Signer#CN=Clerk")), (Positions{0, 2, 3}));
    EXPECT_EQ(PassingSubject(W("cn=clerk")), (Positions{3}));
    EXPECT_EQ(PassingSubject(W("Nobody")), (Positions{}));
}

TEST_F(CertificateFilters, EmptyTokensMatchEverything)
{
    Add(Named("Signer"));
    Add(Named("Other"));
    EXPECT_EQ(PassingSubject(W("CN=Signer#")), (Positions{0, 1}));
    EXPECT_EQ(PassingSubject(W("")), (Positions{0, 1}));
    EXPECT_EQ(PassingSubject(W("#CN=Nobody")), (Positions{0, 1}));
}

TEST_F(CertificateFilters, SubjectIsComparedInReversedX500Form)
{
    // Encoded common name first, organisation last: the text reads "O=Keystrand, CN=Signer".
    Add(Named("Signer"));
    EXPECT_EQ(PassingSubject(W("O=Keystrand, CN=Sig")), (Positions{0}));
    EXPECT_EQ(PassingSubject(W("CN=Signer, O=Keystrand")), (Positions{}));
    EXPECT_EQ(PassingSubject(W("\"Signer\"")), (Positions{}));  // values are never quoted
}

TEST_F(CertificateFilters, LongTokenIsComparedByItsFirst255Characters)
{
    // A subject whose text is longer than one token can be.
    Bytes der = Rebuild(MakeCertificate(), [](X509* x) {
        X509_NAME* name = X509_NAME_new();
        for (char c : std::string("vwxyz")) {
            std::string value(60, c);
            X509_NAME_add_entry_by_txt(name, "OU", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.c_str()),
                                       -1, -1, 0);
        }
        X509_set_subject_name(x, name);
        X509_NAME_free(name);
    });
    Add(der);
    // "OU=zzz..., OU=yyy..., ..." in reverse order; 255 characters of it, then noise.
    std::string text;
    for (char c : std::string("zyxwv")) text += (text.empty() ? "" : ", ") + std::string("OU=") + std::string(60, c);
    ASSERT_GT(text.size(), 255u);
    EXPECT_EQ(PassingSubject(W(text.substr(0, 255) + std::string(45, '!'))), (Positions{0}));
    EXPECT_EQ(PassingSubject(W(text.substr(0, 254) + std::string(46, '!'))), (Positions{}));
}

TEST_F(CertificateFilters, IssuerTokensAndSubjectTokensMustBothPass)
{
    Add(Named("Alice", "Root A"));
    Add(Named("Bob", "Root B"));
    Add(Named("Alice", "Root B"));
    WString subject = W("CN=Alice");
    WString issuer = W("root b#Nobody");
    CertificateFilter f = {};
    f.issuerFilter = issuer.c_str();
    EXPECT_EQ(Passing(&f), (Positions{1, 2}));
    f.subjectFilter = subject.c_str();
    EXPECT_EQ(Passing(&f), (Positions{2}));
}

// ---------------------------------------------------------------------------
// Key usage, identifiers, private key

TEST_F(CertificateFilters, KeyUsageNeedsOneCommonBit)
{
    Add(WithKeyUsage("keyEncipherment"));
    Add(WithKeyUsage("digitalSignature"));
    Add(MakeCertificate());  // no key-usage extension at all
    Add(WithKeyUsage("digitalSignature,dataEncipherment"));
    CertificateFilter f = {};
    f.keyUsage = 0x30;
    EXPECT_EQ(Passing(&f), (Positions{0, 3}));
    f.keyUsage = 0x80;
    EXPECT_EQ(Passing(&f), (Positions{1, 3}));
    f.keyUsage = 0;
    EXPECT_EQ(Passing(&f), (Positions{0, 1, 2, 3}));

    EXPECT_EQ(CheckCertKeyUsage(0x30, m_input[2]), static_cast<HRESULT>(0xA0071020L));
    EXPECT_EQ(CheckCertKeyUsage(0x30, m_input[1]), E_FAIL);
    EXPECT_EQ(CheckCertKeyUsage(0x30, m_input[0]), S_OK);
}

TEST_F(CertificateFilters, SubjectKeyIdentifierAndSerialMatchExactly)
{
    CertSpec a;
    a.keyId = {1, 2, 3, 4};
    a.serial = {0x0A, 0x0B};
    CertSpec b;
    b.keyId = {1, 2, 3, 5};
    b.serial = {0x0A, 0x0C};
    CertSpec none;
    none.subjectKeyId = false;
    Add(MakeCertificate(a));
    Add(MakeCertificate(b));
    Add(MakeCertificate(none));

    const BYTE id[] = {1, 2, 3, 4};
    CertificateFilter f = {};
    f.subjectKeyID = id;
    f.cbSubjectKeyID = sizeof(id);
    EXPECT_EQ(Passing(&f), (Positions{0}));
    // A longer expectation that starts with the identifier is another identifier.
    const BYTE longer[] = {1, 2, 3, 4, 9};
    f.subjectKeyID = longer;
    f.cbSubjectKeyID = sizeof(longer);
    EXPECT_EQ(Passing(&f), (Positions{}));
    f.cbSubjectKeyID = 3;  // and so is a shorter one
    EXPECT_EQ(Passing(&f), (Positions{}));
    EXPECT_EQ(CheckCertSubjectKeyID(id, sizeof(id), m_input[2]), static_cast<HRESULT>(0xA0071021L));

    const BYTE serial[] = {0x0C, 0x0A};  // least significant byte first
    CertificateFilter g = {};
    g.serialNumber = serial;
    g.cbSerialNumber = sizeof(serial);
    EXPECT_EQ(Passing(&g), (Positions{1}));
    const BYTE bigEndian[] = {0x0A, 0x0C};
    g.serialNumber = bigEndian;
    EXPECT_EQ(Passing(&g), (Positions{}));
    EXPECT_EQ(CheckCertSerialNumber(nullptr, 0, m_input[0]), S_OK);
}

TEST_F(CertificateFilters, PrivateKeyIsTestedOnlyWhenRequiredIsExactlyOne)
{
    Add(MakeCertificate());
    PCCERT_CONTEXT linked = Add(MakeCertificate());
    ASSERT_TRUE(NpkLinkCertificateToKey(linked, SharedKey(0), false)) << std::hex << GetLastError();
    CertificateFilter f = {};
    f.requirePrivateKey = 1;
    EXPECT_EQ(Passing(&f), (Positions{1}));
    f.requirePrivateKey = 2;
    EXPECT_EQ(Passing(&f), (Positions{0, 1}));
    f.requirePrivateKey = -1;
    EXPECT_EQ(Passing(&f), (Positions{0, 1}));
}

// ---------------------------------------------------------------------------
// The loop and its references

TEST_F(CertificateFilters, NullRecordCopiesEveryCertificateWithANewReference)
{
    PCCERT_CONTEXT a = Add(Named("A"));
    PCCERT_CONTEXT b = Add(Named("B"));
    m_input.push_back(CertDuplicateCertificateContext(a));  // duplicates are kept
    CertificateList out;
    PCCERT_CONTEXT earlier = CertDuplicateCertificateContext(b);
    out.push_back(earlier);  // the output is appended to, not replaced
    LONG refsA = Refs(a);
    LONG refsB = Refs(b);

    ASSERT_EQ(FilterCertificates(nullptr, out, m_input), S_OK);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0], earlier);
    EXPECT_EQ(out[1], a);
    EXPECT_EQ(out[2], b);
    EXPECT_EQ(out[3], a);
    EXPECT_EQ(Refs(a), refsA + 2);
    EXPECT_EQ(Refs(b), refsB + 1);
    EXPECT_EQ(m_input.size(), 3u);  // the input list is not changed

    ReleaseCertificateList(out);
    EXPECT_EQ(Refs(a), refsA);
    EXPECT_EQ(Refs(b), refsB - 1);

    // An empty input leaves the output as it was.
    CertificateList none;
    EXPECT_EQ(FilterCertificates(nullptr, out, none), S_OK);
    EXPECT_TRUE(out.empty());
}

TEST_F(CertificateFilters, CertificatesFailingToBeReadAreRejectedNotFatal)
{
    m_input.push_back(NULL);
    PCCERT_CONTEXT ok = Add(Named("Fine"));
    WString any = W("#");
    CertificateFilter f = {};
    f.subjectFilter = any.c_str();
    EXPECT_EQ(Passing(&f), (Positions{1}));
    EXPECT_EQ(Passing(nullptr), (Positions{1}));
    EXPECT_EQ(CheckCertSubjectName(nullptr, CERT_X500_NAME_STR, FilterTokenList{W("x")}), E_INVALIDARG);
    EXPECT_EQ(CheckCertSubjectName(nullptr, CERT_X500_NAME_STR, FilterTokenList{}), S_OK);
    EXPECT_EQ(CheckCertIssuer(ok, FilterTokenList{W("TEST ISSUER")}), S_OK);
    EXPECT_EQ(CheckCertIssuer(ok, FilterTokenList{W("Fine")}), E_FAIL);
}

// ---------------------------------------------------------------------------
// Extraction

TEST_F(CertificateFilters, ExtractionTakesEveryCertificateInOrderEachWithItsReference)
{
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, kEnc, 0, 0, nullptr);
    ASSERT_NE(store, nullptr);
    std::vector<Bytes> ders = {Named("One"), WithKeyUsage("keyEncipherment", "Two"), Named("Three")};
    for (const Bytes& der : ders) {
        PCCERT_CONTEXT c = Create(der);
        ASSERT_TRUE(CertAddCertificateContextToStore(store, c, CERT_STORE_ADD_USE_EXISTING, nullptr));
        CertFreeCertificateContext(c);
    }

    CertificateList list;
    ASSERT_EQ(ExtractCertificatesFromStore(store, list), S_OK);
    ASSERT_EQ(ExtractCertificatesFromStore(store, list), S_OK);  // a second pass lists them twice
    ASSERT_EQ(list.size(), 6u);
    for (size_t i = 0; i < list.size(); ++i)
        EXPECT_EQ(Bytes(list[i]->pbCertEncoded, list[i]->pbCertEncoded + list[i]->cbCertEncoded), ders[i % 3]) << i;

    // Filtering straight from the store, with a temporary list that is released.
    CertificateList filtered;
    CertificateFilter f = {};
    f.keyUsage = 0x20;
    LONG live = CertStoreObject::LiveContexts();
    ASSERT_EQ(FilterCertificatesFromStore(store, &f, filtered), S_OK);
    ASSERT_EQ(filtered.size(), 1u);
    EXPECT_EQ(filtered[0], list[1]);
    EXPECT_EQ(CertStoreObject::LiveContexts(), live);

    // The listed references outlive the store.
    ASSERT_TRUE(CertCloseStore(store, 0));
    EXPECT_EQ(Bytes(list[5]->pbCertEncoded, list[5]->pbCertEncoded + list[5]->cbCertEncoded), ders[2]);
    ReleaseCertificateList(filtered);
    ReleaseCertificateList(list);
}

TEST_F(CertificateFilters, NullStoreReleasesTheListAndEmptyStoreAddsNothing)
{
    PCCERT_CONTEXT held = Create(Named("Held"));
    CertificateList list{held};
    EXPECT_EQ(ExtractCertificatesFromStore(nullptr, list), E_INVALIDARG);
    EXPECT_TRUE(list.empty());  // the reference it held was released

    HCERTSTORE empty = CertOpenStore(CERT_STORE_PROV_MEMORY, kEnc, 0, 0, nullptr);
    ASSERT_NE(empty, nullptr);
    list.push_back(Create(Named("Kept")));
    EXPECT_EQ(ExtractCertificatesFromStore(empty, list), S_OK);
    EXPECT_EQ(list.size(), 1u);

    // Filtering from a null store fails and leaves the output alone.
    EXPECT_EQ(FilterCertificatesFromStore(nullptr, nullptr, list), E_INVALIDARG);
    EXPECT_EQ(list.size(), 1u);
    CertificateList out;
    EXPECT_EQ(FilterCertificatesFromStore(empty, nullptr, out), S_OK);
    EXPECT_TRUE(out.empty());
    ReleaseCertificateList(list);
    CertCloseStore(empty, 0);
}

TEST_F(CertificateFilters, LocalStoreIsReadFromTheUsersSystemStore)
{
    CertificateList list;
    ASSERT_EQ(ExtractCertificatesFromLocalStore(TEXT("MY"), list), S_OK);  // never written: empty
    EXPECT_TRUE(list.empty());

    HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEnc, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY"));
    ASSERT_NE(my, nullptr);
    std::vector<Bytes> ders = {Named("First"), Named("Second")};
    for (const Bytes& der : ders) {
        PCCERT_CONTEXT c = Create(der);
        ASSERT_TRUE(CertAddCertificateContextToStore(my, c, CERT_STORE_ADD_USE_EXISTING, nullptr))
            << std::hex << GetLastError();
        CertFreeCertificateContext(c);
    }
    ASSERT_TRUE(CertCloseStore(my, 0));

    ASSERT_EQ(ExtractCertificatesFromLocalStore(TEXT("MY"), list), S_OK);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(Bytes(list[0]->pbCertEncoded, list[0]->pbCertEncoded + list[0]->cbCertEncoded), ders[0]);
    EXPECT_EQ(Bytes(list[1]->pbCertEncoded, list[1]->pbCertEncoded + list[1]->cbCertEncoded), ders[1]);
    ASSERT_EQ(ExtractCertificatesFromLocalStore(TEXT("ADDRESSBOOK"), list), S_OK);
    EXPECT_EQ(list.size(), 2u);

    EXPECT_EQ(ExtractCertificatesFromLocalStore(nullptr, list), E_INVALIDARG);
    EXPECT_TRUE(list.empty());
}
