// Releasing certificate and store lists, over the certificate layer's reference counts.
#include <gtest/gtest.h>

#include <memory>

#include "crypt32/CertObjects.h"
#include "kernel/CertificateLists.h"

using npk::crypt32::CertContextObject;
using npk::crypt32::CertificateData;
using npk::crypt32::CertStoreObject;

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::shared_ptr<CertificateData> Data(BYTE tag)
{
    auto data = std::make_shared<CertificateData>();
    data->encoded = {0x30, 0x03, 0x02, 0x01, tag};
    return data;
}

class CertificateLists : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_stores = CertStoreObject::LiveStores();
        m_contexts = CertStoreObject::LiveContexts();
    }
    void ExpectNothingLeft()
    {
        EXPECT_EQ(CertStoreObject::LiveStores(), m_stores);
        EXPECT_EQ(CertStoreObject::LiveContexts(), m_contexts);
    }
    LONG m_stores = 0;
    LONG m_contexts = 0;
};

}  // namespace

TEST_F(CertificateLists, ReleaseFreesEveryEntryIncludingDuplicates)
{
    CertStoreObject* store = new CertStoreObject();
    PCCERT_CONTEXT first = store->AddContext(Data(1), kEncoding);
    PCCERT_CONTEXT second = store->AddContext(Data(2), kEncoding);

    CertificateList list;
    list.push_back(first);
    list.push_back(CertDuplicateCertificateContext(first));
    list.push_back(NULL);
    list.push_back(second);
    EXPECT_EQ(list[1], first);  // a duplicate is the same context with one more reference
    EXPECT_EQ(CertContextObject::FromHandle(first)->References(), 2);

    ASSERT_TRUE(CertCloseStore(store->Handle(), 0));
    // The listed references keep the store and its contexts alive.
    EXPECT_EQ(CertStoreObject::LiveStores(), m_stores + 1);
    EXPECT_EQ(first->cbCertEncoded, 5u);
    EXPECT_EQ(first->pbCertEncoded[4], 1);
    EXPECT_EQ(first->hCertStore, store->Handle());

    ReleaseCertificateList(list);
    EXPECT_TRUE(list.empty());
    ExpectNothingLeft();

    ReleaseCertificateList(list);  // an empty list stays empty
    EXPECT_TRUE(list.empty());
}

TEST_F(CertificateLists, CloseStoreListClosesEveryStore)
{
    CertStoreObject* a = new CertStoreObject();
    CertStoreObject* b = new CertStoreObject();
    PCCERT_CONTEXT kept = b->AddContext(Data(3), kEncoding);
    StoreList stores{a->Handle(), NULL, b->Handle()};
    CloseStoreList(stores);
    EXPECT_TRUE(stores.empty());
    // The context taken from b outlives the store's last handle.
    EXPECT_EQ(CertStoreObject::LiveStores(), m_stores + 1);
    EXPECT_EQ(kept->pbCertEncoded[4], 3);
    EXPECT_TRUE(CertFreeCertificateContext(kept));
    ExpectNothingLeft();
}

TEST_F(CertificateLists, NullHandlesAreAcceptedAsOnWindows)
{
    EXPECT_TRUE(CertFreeCertificateContext(NULL));
    EXPECT_TRUE(CertCloseStore(NULL, 0));
    EXPECT_EQ(CertDuplicateCertificateContext(NULL), nullptr);
}

TEST_F(CertificateLists, CheckFlagReportsContextsStillInUse)
{
    CertStoreObject* store = new CertStoreObject();
    PCCERT_CONTEXT ctx = store->AddContext(Data(4), kEncoding);
    SetLastError(0);
    EXPECT_FALSE(CertCloseStore(store->Handle(), CERT_CLOSE_STORE_CHECK_FLAG));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_PENDING_CLOSE));
    EXPECT_TRUE(CertFreeCertificateContext(ctx));
    ExpectNothingLeft();

    CertStoreObject* empty = new CertStoreObject();
    EXPECT_TRUE(CertCloseStore(empty->Handle(), CERT_CLOSE_STORE_CHECK_FLAG));
    ExpectNothingLeft();
}

TEST_F(CertificateLists, OverReleasedContextIsRefused)
{
    CertStoreObject* store = new CertStoreObject();
    store->AddOpen();
    PCCERT_CONTEXT ctx = store->AddContext(Data(5), kEncoding);
    EXPECT_TRUE(CertFreeCertificateContext(ctx));
    // The store still holds the context, but the caller has no reference left to free.
    EXPECT_FALSE(CertFreeCertificateContext(ctx));
    EXPECT_TRUE(CertCloseStore(store->Handle(), 0));
    EXPECT_EQ(CertStoreObject::LiveStores(), m_stores + 1);
    EXPECT_TRUE(CertCloseStore(store->Handle(), 0));
    ExpectNothingLeft();
}

TEST_F(CertificateLists, RemovedContextLivesUntilItsLastReference)
{
    CertStoreObject* store = new CertStoreObject();
    PCCERT_CONTEXT ctx = store->AddContext(Data(6), kEncoding);
    PCCERT_CONTEXT other = store->AddContext(Data(7), kEncoding);
    CertFreeCertificateContext(other);
    store->RemoveContext(CertContextObject::FromHandle(ctx));
    store->RemoveContext(CertContextObject::FromHandle(other));  // unreferenced: freed now
    EXPECT_EQ(store->Contexts().size(), 0u);
    EXPECT_EQ(CertStoreObject::LiveContexts(), m_contexts + 1);
    EXPECT_EQ(ctx->pbCertEncoded[4], 6);
    EXPECT_TRUE(CertFreeCertificateContext(ctx));
    EXPECT_EQ(CertStoreObject::LiveContexts(), m_contexts);
    EXPECT_TRUE(CertCloseStore(store->Handle(), 0));
    ExpectNothingLeft();
}
