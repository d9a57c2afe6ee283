// Memory stores: add dispositions, enumeration, deletion and every find type.
#include "CertTestSupport.h"

#include "crypt32/CertObjects.h"

#include <cstring>

using namespace certtest;
using npk::crypt32::CertStoreObject;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

class CertStores : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_contexts = CertStoreObject::LiveContexts();
        m_stores = CertStoreObject::LiveStores();
        m_store = CertOpenStore(CERT_STORE_PROV_MEMORY, kEnc, 0, 0, nullptr);
        ASSERT_NE(m_store, nullptr);
    }
    void TearDown() override
    {
        EXPECT_TRUE(CertCloseStore(m_store, CERT_CLOSE_STORE_CHECK_FLAG)) << "a context leaked";
        EXPECT_EQ(CertStoreObject::LiveContexts(), m_contexts);
        EXPECT_EQ(CertStoreObject::LiveStores(), m_stores);
    }

    void Add(const Bytes& der, DWORD disposition = CERT_STORE_ADD_NEW)
    {
        ASSERT_TRUE(CertAddEncodedCertificateToStore(m_store, kEnc, der.data(), static_cast<DWORD>(der.size()),
                                                     disposition, nullptr))
            << std::hex << GetLastError();
    }

    std::vector<Bytes> Listed()
    {
        std::vector<Bytes> out;
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertEnumCertificatesInStore(m_store, ctx)) != nullptr)
            out.emplace_back(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
        return out;
    }

    PCCERT_CONTEXT Find(DWORD type, const void* para, PCCERT_CONTEXT prev = nullptr)
    {
        return CertFindCertificateInStore(m_store, kEnc, 0, type, para, prev);
    }

    LONG m_contexts = 0, m_stores = 0;
    HCERTSTORE m_store = nullptr;
};

Bytes Cert(const char* subject, Bytes serial, bool ski = true, Bytes keyId = {0x11, 0x22})
{
    CertSpec spec;
    spec.subject = subject;
    spec.serial = std::move(serial);
    spec.subjectKeyId = ski;
    spec.keyId = std::move(keyId);
    return MakeCertificate(spec);
}

TEST_F(CertStores, EmptyStoreEnumeratesNothing)
{
    SetLastError(0);
    EXPECT_EQ(CertEnumCertificatesInStore(m_store, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    EXPECT_EQ(Find(CERT_FIND_ANY, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
}

TEST_F(CertStores, EnumerationKeepsInsertionOrder)
{
    Bytes a = Cert("A", {1}), b = Cert("B", {2}), c = Cert("C", {3});
    Add(b);
    Add(a);
    Add(c);
    EXPECT_EQ(Listed(), (std::vector<Bytes>{b, a, c}));
}

TEST_F(CertStores, AddDispositions)
{
    Bytes a = Cert("A", {1});
    PCCERT_CONTEXT first = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(m_store, kEnc, a.data(), static_cast<DWORD>(a.size()),
                                                 CERT_STORE_ADD_NEW, &first));

    PCCERT_CONTEXT out = reinterpret_cast<PCCERT_CONTEXT>(1);
    SetLastError(0);
    EXPECT_FALSE(CertAddEncodedCertificateToStore(m_store, kEnc, a.data(), static_cast<DWORD>(a.size()),
                                                  CERT_STORE_ADD_NEW, &out));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_EXISTS));
    EXPECT_EQ(out, nullptr);

    // The duplicate is found by its bytes, from a context made elsewhere.
    PCCERT_CONTEXT outside = Create(a);
    ASSERT_TRUE(CertAddCertificateContextToStore(m_store, outside, CERT_STORE_ADD_USE_EXISTING, &out));
    EXPECT_EQ(out, first);
    CertFreeCertificateContext(out);
    ASSERT_TRUE(CertAddCertificateContextToStore(m_store, outside, CERT_STORE_ADD_USE_EXISTING, nullptr));
    EXPECT_EQ(Listed().size(), 1u);

    ASSERT_TRUE(CertAddCertificateContextToStore(m_store, outside, CERT_STORE_ADD_REPLACE_EXISTING, &out));
    EXPECT_NE(out, first);
    EXPECT_EQ(out->hCertStore, m_store);
    CertFreeCertificateContext(out);
    EXPECT_EQ(Listed().size(), 1u);
    // The replaced context stays usable for the caller that holds it.
    EXPECT_EQ(0, std::memcmp(first->pbCertEncoded, a.data(), a.size()));
    CertFreeCertificateContext(first);

    ASSERT_TRUE(CertAddCertificateContextToStore(m_store, outside, CERT_STORE_ADD_ALWAYS, nullptr));
    EXPECT_EQ(Listed().size(), 2u);
    CertFreeCertificateContext(outside);

    SetLastError(0);
    EXPECT_FALSE(CertAddEncodedCertificateToStore(m_store, kEnc, a.data(), static_cast<DWORD>(a.size()), 99, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    Bytes junk = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_FALSE(CertAddEncodedCertificateToStore(m_store, kEnc, junk.data(), static_cast<DWORD>(junk.size()),
                                                  CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
}

TEST_F(CertStores, DeleteRemovesAndFreesTheContext)
{
    Bytes a = Cert("A", {1}), b = Cert("B", {2}), c = Cert("C", {3});
    Add(a);
    Add(b);
    Add(c);
    // Deleting while enumerating: duplicate the current one first, as callers must.
    PCCERT_CONTEXT ctx = nullptr;
    while ((ctx = CertEnumCertificatesInStore(m_store, ctx)) != nullptr) {
        if (ctx->cbCertEncoded == b.size() && std::memcmp(ctx->pbCertEncoded, b.data(), b.size()) == 0) {
            PCCERT_CONTEXT next = CertEnumCertificatesInStore(m_store, CertDuplicateCertificateContext(ctx));
            EXPECT_TRUE(CertDeleteCertificateFromStore(ctx));
            ctx = next;
            ASSERT_NE(ctx, nullptr);
            EXPECT_EQ(0, std::memcmp(ctx->pbCertEncoded, c.data(), c.size()));
        }
    }
    EXPECT_EQ(Listed(), (std::vector<Bytes>{a, c}));
    SetLastError(0);
    EXPECT_FALSE(CertDeleteCertificateFromStore(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST_F(CertStores, EnumerationGoesOnPastADeletedPrevious)
{
    Bytes a = Cert("A", {1}), b = Cert("B", {2}), c = Cert("C", {3});
    Add(a);
    Add(b);
    Add(c);
    // The usual way to empty a store: delete a duplicate, enumerate on from the original.
    int seen = 0;
    PCCERT_CONTEXT ctx = nullptr;
    while ((ctx = CertEnumCertificatesInStore(m_store, ctx)) != nullptr) {
        ++seen;
        EXPECT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(ctx)));
    }
    EXPECT_EQ(seen, 3);
    EXPECT_TRUE(Listed().empty());

    // A certificate added after the deleted one is still reached.
    Add(a);
    PCCERT_CONTEXT first = CertEnumCertificatesInStore(m_store, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(first)));
    Add(b);
    PCCERT_CONTEXT next = CertEnumCertificatesInStore(m_store, first);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(0, std::memcmp(next->pbCertEncoded, b.data(), b.size()));
    CertFreeCertificateContext(next);
}

TEST_F(CertStores, FindByHashExistingAndProperty)
{
    Bytes a = Cert("A", {1}), b = Cert("B", {2});
    Add(a);
    Add(b);
    Bytes hash = Sha1(b);
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
    PCCERT_CONTEXT found = Find(CERT_FIND_SHA1_HASH, &blob);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(0, std::memcmp(found->pbCertEncoded, b.data(), b.size()));
    SetLastError(0);
    EXPECT_EQ(Find(CERT_FIND_SHA1_HASH, &blob, found), nullptr);  // the previous one is consumed
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));

    hash[0] ^= 1;
    EXPECT_EQ(Find(CERT_FIND_SHA1_HASH, &blob), nullptr);

    PCCERT_CONTEXT outside = Create(a);
    found = Find(CERT_FIND_EXISTING, outside);
    ASSERT_NE(found, nullptr);
    EXPECT_NE(found, outside);
    EXPECT_EQ(found->hCertStore, m_store);
    CertFreeCertificateContext(found);
    CertFreeCertificateContext(outside);

    DWORD prop = CERT_FRIENDLY_NAME_PROP_ID;
    EXPECT_EQ(Find(CERT_FIND_PROPERTY, &prop), nullptr);

    SetLastError(0);
    EXPECT_EQ(Find(0x12345678, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST_F(CertStores, FindByIssuerAndSerial)
{
    Bytes a = Cert("A", {0x01, 0x02, 0x03}), b = Cert("B", {0x01, 0x02, 0x04});
    Add(a);
    Add(b);
    PCCERT_CONTEXT ref = Create(b);
    CERT_ID id{};
    id.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
    id.IssuerSerialNumber.Issuer = ref->pCertInfo->Issuer;
    id.IssuerSerialNumber.SerialNumber = ref->pCertInfo->SerialNumber;
    PCCERT_CONTEXT found = Find(CERT_FIND_CERT_ID, &id);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(0, std::memcmp(found->pbCertEncoded, b.data(), b.size()));
    CertFreeCertificateContext(found);

    // A most significant zero byte does not change the number.
    BYTE padded[] = {0x04, 0x02, 0x01, 0x00};
    id.IssuerSerialNumber.SerialNumber = {sizeof(padded), padded};
    found = Find(CERT_FIND_CERT_ID, &id);
    ASSERT_NE(found, nullptr);
    CertFreeCertificateContext(found);

    // The same serial under another issuer name does not match.
    BYTE other[] = {0x04, 0x02, 0x01};
    id.IssuerSerialNumber.SerialNumber = {sizeof(other), other};
    Bytes issuer(ref->pCertInfo->Issuer.pbData, ref->pCertInfo->Issuer.pbData + ref->pCertInfo->Issuer.cbData);
    issuer.back() ^= 0x01;
    id.IssuerSerialNumber.Issuer = {static_cast<DWORD>(issuer.size()), issuer.data()};
    SetLastError(0);
    EXPECT_EQ(Find(CERT_FIND_CERT_ID, &id), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));

    // The subject-certificate lookups take a CERT_INFO's issuer and serial.
    CERT_INFO info{};
    info.Issuer = ref->pCertInfo->Issuer;
    info.SerialNumber = ref->pCertInfo->SerialNumber;
    found = CertGetSubjectCertificateFromStore(m_store, kEnc, &info);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(0, std::memcmp(found->pbCertEncoded, b.data(), b.size()));
    CertFreeCertificateContext(found);
    found = Find(CERT_FIND_SUBJECT_CERT, &info);
    ASSERT_NE(found, nullptr);
    CertFreeCertificateContext(found);
    BYTE missing[] = {0x09};
    info.SerialNumber = {1, missing};
    SetLastError(0);
    EXPECT_EQ(CertGetSubjectCertificateFromStore(m_store, kEnc, &info), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    EXPECT_EQ(CertGetSubjectCertificateFromStore(m_store, kEnc, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    CertFreeCertificateContext(ref);
}

TEST_F(CertStores, FindByKeyIdentifier)
{
    Bytes none = Cert("NoSki", {1}, false);
    Bytes with = Cert("Ski", {2}, true, {0xDE, 0xAD, 0xBE, 0xEF});
    Add(none);
    Add(with);
    BYTE keyId[] = {0xDE, 0xAD, 0xBE, 0xEF};
    CERT_ID id{};
    id.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
    id.KeyId = {sizeof(keyId), keyId};
    PCCERT_CONTEXT found = Find(CERT_FIND_CERT_ID, &id);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(0, std::memcmp(found->pbCertEncoded, with.data(), with.size()));
    EXPECT_EQ(Find(CERT_FIND_CERT_ID, &id, found), nullptr);

    // A prefix of the identifier is not the identifier; nor is an empty one the absent one.
    id.KeyId.cbData = 3;
    EXPECT_EQ(Find(CERT_FIND_CERT_ID, &id), nullptr);
    id.KeyId.cbData = 0;
    EXPECT_EQ(Find(CERT_FIND_CERT_ID, &id), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));

    Bytes hash = Sha1(none);
    id.dwIdChoice = CERT_ID_SHA1_HASH;
    id.HashId = {static_cast<DWORD>(hash.size()), hash.data()};
    found = Find(CERT_FIND_CERT_ID, &id);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(0, std::memcmp(found->pbCertEncoded, none.data(), none.size()));
    CertFreeCertificateContext(found);

    id.dwIdChoice = 7;
    SetLastError(0);
    EXPECT_EQ(Find(CERT_FIND_CERT_ID, &id), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST_F(CertStores, PreviousContextFromAnotherStoreIsRefused)
{
    Bytes a = Cert("A", {1});
    Add(a);
    PCCERT_CONTEXT outside = Create(a);
    SetLastError(0);
    EXPECT_EQ(CertEnumCertificatesInStore(m_store, outside), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    CertFreeCertificateContext(outside);
}

TEST(CertOpenStore, UnsupportedProvidersAndDuplicateHandles)
{
    SetLastError(0);
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_MSG, kEnc, 0, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_EQ(CertOpenStore(reinterpret_cast<LPCSTR>(77), kEnc, 0, 0, nullptr), nullptr);

    HCERTSTORE store = CertOpenStore(sz_CERT_STORE_PROV_MEMORY, kEnc, 0, 0, nullptr);
    ASSERT_NE(store, nullptr);
    HCERTSTORE dup = CertDuplicateStore(store);
    EXPECT_EQ(dup, store);
    EXPECT_TRUE(CertCloseStore(store, 0));
    Bytes a = Cert("A", {1});
    EXPECT_TRUE(CertAddEncodedCertificateToStore(dup, kEnc, a.data(), static_cast<DWORD>(a.size()), CERT_STORE_ADD_NEW,
                                                 nullptr));
    EXPECT_TRUE(CertCloseStore(dup, CERT_CLOSE_STORE_CHECK_FLAG));
}

}  // namespace
