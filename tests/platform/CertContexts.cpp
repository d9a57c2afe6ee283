// Certificate contexts: decoding into CERT_INFO, malformed input, reference counts.
#include "CertTestSupport.h"

#include "crypt32/CertObjects.h"

#include <cstring>

using namespace certtest;
using npk::crypt32::CertStoreObject;

namespace {

Bytes BlobBytes(const CRYPT_INTEGER_BLOB& b) { return Bytes(b.pbData, b.pbData + b.cbData); }

unsigned long long Ticks(const FILETIME& ft)
{
    return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

Bytes NameDer(X509_NAME* name)
{
    int n = i2d_X509_NAME(name, nullptr);
    Bytes out(static_cast<size_t>(n));
    BYTE* p = out.data();
    i2d_X509_NAME(name, &p);
    return out;
}

TEST(CertContexts, FieldsMatchOpenSSLView)
{
    Bytes der = MakeCertificate();
    PCCERT_CONTEXT ctx = Create(der);
    ASSERT_NE(ctx, nullptr) << std::hex << GetLastError();

    const unsigned char* p = der.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(x, nullptr);

    EXPECT_EQ(ctx->dwCertEncodingType, static_cast<DWORD>(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING));
    ASSERT_EQ(ctx->cbCertEncoded, der.size());
    EXPECT_NE(ctx->pbCertEncoded, der.data());
    EXPECT_EQ(0, std::memcmp(ctx->pbCertEncoded, der.data(), der.size()));
    EXPECT_NE(ctx->hCertStore, nullptr);

    PCERT_INFO info = ctx->pCertInfo;
    EXPECT_EQ(info->dwVersion, static_cast<DWORD>(CERT_V3));
    EXPECT_EQ(BlobBytes(info->SerialNumber), (Bytes{0x03, 0x02, 0x01}));
    EXPECT_STREQ(info->SignatureAlgorithm.pszObjId, "1.2.840.113549.1.1.11");
    EXPECT_EQ(BlobBytes(info->SignatureAlgorithm.Parameters), (Bytes{0x05, 0x00}));
    EXPECT_EQ(BlobBytes(info->Issuer), NameDer(X509_get_issuer_name(x)));
    EXPECT_EQ(BlobBytes(info->Subject), NameDer(X509_get_subject_name(x)));
    EXPECT_EQ(Ticks(info->NotBefore), 0x1d5c1194ac40080ULL);
    EXPECT_EQ(Ticks(info->NotAfter), 0x1e0f7a381c4c080ULL);

    EXPECT_STREQ(info->SubjectPublicKeyInfo.Algorithm.pszObjId, "1.2.840.113549.1.1.1");
    EXPECT_EQ(BlobBytes(info->SubjectPublicKeyInfo.Algorithm.Parameters), (Bytes{0x05, 0x00}));
    const unsigned char* keyBits = nullptr;
    int keyLen = 0;
    X509_PUBKEY_get0_param(nullptr, &keyBits, &keyLen, nullptr, X509_get_X509_PUBKEY(x));
    ASSERT_EQ(info->SubjectPublicKeyInfo.PublicKey.cbData, static_cast<DWORD>(keyLen));
    EXPECT_EQ(0, std::memcmp(info->SubjectPublicKeyInfo.PublicKey.pbData, keyBits, static_cast<size_t>(keyLen)));
    EXPECT_EQ(info->SubjectPublicKeyInfo.PublicKey.cUnusedBits, 0u);
    EXPECT_EQ(info->IssuerUniqueId.cbData, 0u);
    EXPECT_EQ(info->SubjectUniqueId.cbData, 0u);

    ASSERT_EQ(info->cExtension, 2u);
    EXPECT_STREQ(info->rgExtension[0].pszObjId, "2.5.29.14");
    EXPECT_FALSE(info->rgExtension[0].fCritical);
    // The value is the extnValue's contents: here the DER OCTET STRING holding the key id.
    EXPECT_EQ(BlobBytes(info->rgExtension[0].Value), (Bytes{0x04, 0x04, 0xA1, 0xB2, 0xC3, 0xD4}));
    EXPECT_STREQ(info->rgExtension[1].pszObjId, "2.5.29.19");
    EXPECT_TRUE(info->rgExtension[1].fCritical);
    EXPECT_EQ(BlobBytes(info->rgExtension[1].Value), (Bytes{0x30, 0x00}));

    X509_free(x);
    EXPECT_TRUE(CertFreeCertificateContext(ctx));
}

TEST(CertContexts, SerialSignByteAndNegativeSerialKeptAsEncoded)
{
    CertSpec spec;
    spec.serial = {0x80, 0x01};  // needs a leading 00 in the DER
    PCCERT_CONTEXT ctx = Create(MakeCertificate(spec));
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(BlobBytes(ctx->pCertInfo->SerialNumber), (Bytes{0x01, 0x80, 0x00}));
    CertFreeCertificateContext(ctx);

    spec.serial = {0x05};
    spec.negative = true;  // -5 is FB in two's complement
    ctx = Create(MakeCertificate(spec));
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(BlobBytes(ctx->pCertInfo->SerialNumber), (Bytes{0xFB}));
    CertFreeCertificateContext(ctx);
}

TEST(CertContexts, ContextOwnsItsCopyOfTheBytes)
{
    Bytes der = MakeCertificate();
    Bytes expected = der;
    PCCERT_CONTEXT ctx = Create(der);
    ASSERT_NE(ctx, nullptr);
    std::fill(der.begin(), der.end(), 0);
    der.clear();
    der.shrink_to_fit();
    ASSERT_EQ(ctx->cbCertEncoded, expected.size());
    EXPECT_EQ(0, std::memcmp(ctx->pbCertEncoded, expected.data(), expected.size()));
    EXPECT_EQ(BlobBytes(ctx->pCertInfo->SerialNumber), (Bytes{0x03, 0x02, 0x01}));
    CertFreeCertificateContext(ctx);
}

TEST(CertContexts, MalformedInputGivesAsn1Codes)
{
    Bytes der = MakeCertificate();
    struct Case {
        const char* what;
        Bytes bytes;
        HRESULT code;
    };
    Bytes truncated(der.begin(), der.begin() + static_cast<long>(der.size() / 2));
    Bytes wrongTag = der;
    wrongTag[0] = 0x31;
    Case cases[] = {
        {"empty", Bytes(), CRYPT_E_ASN1_EOD},
        {"one byte", Bytes{0x30}, CRYPT_E_ASN1_EOD},
        {"truncated", truncated, CRYPT_E_ASN1_EOD},
        {"wrong outer tag", wrongTag, CRYPT_E_ASN1_BADTAG},
        {"not a certificate inside", Bytes{0x30, 0x03, 0x02, 0x01, 0x01}, CRYPT_E_ASN1_CORRUPT},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, c.bytes.empty() ? nullptr : c.bytes.data(),
                                                          static_cast<DWORD>(c.bytes.size()));
        EXPECT_EQ(ctx, nullptr) << c.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.code)) << c.what;
    }
    SetLastError(0);
    EXPECT_EQ(CertCreateCertificateContext(0, der.data(), static_cast<DWORD>(der.size())), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST(CertContexts, DuplicateAndFreeCountReferences)
{
    LONG contexts = CertStoreObject::LiveContexts();
    LONG stores = CertStoreObject::LiveStores();
    PCCERT_CONTEXT ctx = Create(MakeCertificate());
    ASSERT_NE(ctx, nullptr);
    PCCERT_CONTEXT dup = CertDuplicateCertificateContext(ctx);
    EXPECT_EQ(dup, ctx);
    EXPECT_TRUE(CertFreeCertificateContext(ctx));
    // Still alive through the duplicate.
    EXPECT_EQ(dup->pCertInfo->dwVersion, static_cast<DWORD>(CERT_V3));
    EXPECT_EQ(CertStoreObject::LiveContexts(), contexts + 1);
    EXPECT_TRUE(CertFreeCertificateContext(dup));
    EXPECT_EQ(CertStoreObject::LiveContexts(), contexts);
    EXPECT_EQ(CertStoreObject::LiveStores(), stores);
    EXPECT_TRUE(CertFreeCertificateContext(nullptr));
}

TEST(CertContexts, ContextOutlivesItsStore)
{
    LONG contexts = CertStoreObject::LiveContexts();
    LONG stores = CertStoreObject::LiveStores();
    Bytes der = MakeCertificate();
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, nullptr);
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT inStore = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                                 CERT_STORE_ADD_NEW, &inStore));
    EXPECT_EQ(inStore->hCertStore, store);
    // The check flag reports the context still held, yet the handle is closed.
    SetLastError(0);
    EXPECT_FALSE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_PENDING_CLOSE));
    EXPECT_EQ(0, std::memcmp(inStore->pbCertEncoded, der.data(), der.size()));
    EXPECT_EQ(BlobBytes(inStore->pCertInfo->SerialNumber), (Bytes{0x03, 0x02, 0x01}));
    EXPECT_TRUE(CertFreeCertificateContext(inStore));
    EXPECT_EQ(CertStoreObject::LiveContexts(), contexts);
    EXPECT_EQ(CertStoreObject::LiveStores(), stores);
}

}  // namespace
