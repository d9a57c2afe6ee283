// Certificate context properties: key provider information, hashes, the size pattern.
#include "CertTestSupport.h"

#include <cstring>

using namespace certtest;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::basic_string<WCHAR> W(LPCWSTR s) { return s != nullptr ? std::basic_string<WCHAR>(s) : std::basic_string<WCHAR>(); }

TEST(CertProperties, KeyProvInfoIsOneSelfContainedBlock)
{
    PCCERT_CONTEXT ctx = Create(MakeCertificate());
    ASSERT_NE(ctx, nullptr);
    std::basic_string<WCHAR> container = TEXT("{0E0A1C2B-ABCD-4EF0-9123-456789ABCDEF}");
    std::basic_string<WCHAR> provider = MS_ENH_RSA_AES_PROV_W;
    BYTE paramData[] = {9, 8, 7};
    CRYPT_KEY_PROV_PARAM param{42, paramData, sizeof(paramData), 5};
    CRYPT_KEY_PROV_INFO in{container.data(), provider.data(), PROV_RSA_AES, CRYPT_SILENT, 1, &param, AT_KEYEXCHANGE};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &in));
    // The caller's strings may go away once the property is set.
    container.assign(container.size(), static_cast<WCHAR>('x'));

    DWORD cb = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb));
    ASSERT_GT(cb, sizeof(CRYPT_KEY_PROV_INFO));
    DWORD small = cb - 1;
    std::vector<BYTE> buffer(cb + 16, 0xCC);
    SetLastError(0);
    EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &small));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(small, cb);
    DWORD got = static_cast<DWORD>(buffer.size());
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &got));
    EXPECT_EQ(got, cb);
    CertFreeCertificateContext(ctx);  // the block must not depend on the context either

    const CRYPT_KEY_PROV_INFO* out = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    auto inside = [&](const void* p, size_t n) {
        const BYTE* b = static_cast<const BYTE*>(p);
        return b >= buffer.data() && b + n <= buffer.data() + cb;
    };
    EXPECT_EQ(W(out->pwszContainerName), W(TEXT("{0E0A1C2B-ABCD-4EF0-9123-456789ABCDEF}")));
    EXPECT_EQ(W(out->pwszProvName), W(MS_ENH_RSA_AES_PROV_W));
    EXPECT_TRUE(inside(out->pwszContainerName, 2));
    EXPECT_TRUE(inside(out->pwszProvName, 2));
    EXPECT_EQ(out->dwProvType, static_cast<DWORD>(PROV_RSA_AES));
    EXPECT_EQ(out->dwFlags, static_cast<DWORD>(CRYPT_SILENT));
    EXPECT_EQ(out->dwKeySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
    ASSERT_EQ(out->cProvParam, 1u);
    ASSERT_TRUE(inside(out->rgProvParam, sizeof(CRYPT_KEY_PROV_PARAM)));
    EXPECT_EQ(out->rgProvParam[0].dwParam, 42u);
    EXPECT_EQ(out->rgProvParam[0].dwFlags, 5u);
    ASSERT_EQ(out->rgProvParam[0].cbData, 3u);
    EXPECT_TRUE(inside(out->rgProvParam[0].pbData, 3));
    EXPECT_EQ(0, std::memcmp(out->rgProvParam[0].pbData, paramData, 3));
}

TEST(CertProperties, MissingPropertyAndDeletion)
{
    PCCERT_CONTEXT ctx = Create(MakeCertificate());
    ASSERT_NE(ctx, nullptr);
    DWORD cb = 0;
    SetLastError(0);
    EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));

    std::basic_string<WCHAR> name = TEXT("My signing certificate");
    CRYPT_DATA_BLOB blob{static_cast<DWORD>((name.size() + 1) * sizeof(WCHAR)), reinterpret_cast<BYTE*>(name.data())};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
    std::vector<BYTE> out(blob.cbData);
    cb = static_cast<DWORD>(out.size());
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, out.data(), &cb));
    EXPECT_EQ(W(reinterpret_cast<LPCWSTR>(out.data())), name);
    EXPECT_EQ(CertEnumCertificateContextProperties(ctx, 0), static_cast<DWORD>(CERT_FRIENDLY_NAME_PROP_ID));
    EXPECT_EQ(CertEnumCertificateContextProperties(ctx, CERT_FRIENDLY_NAME_PROP_ID), 0u);

    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, 0, nullptr));
    EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));

    SetLastError(0);
    EXPECT_FALSE(CertSetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, 0, &blob));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    CertFreeCertificateContext(ctx);
}

TEST(CertProperties, HashesAreComputedFromTheBytes)
{
    Bytes der = MakeCertificate();
    PCCERT_CONTEXT ctx = Create(der);
    ASSERT_NE(ctx, nullptr);
    DWORD cb = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_HASH_PROP_ID, nullptr, &cb));
    EXPECT_EQ(cb, 20u);
    Bytes sha1(cb);
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, sha1.data(), &cb));
    EXPECT_EQ(sha1, Sha1(der));

    Bytes md5(16), expected(16);
    unsigned int len = 0;
    EVP_Digest(der.data(), der.size(), expected.data(), &len, EVP_md5(), nullptr);
    cb = 16;
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_MD5_HASH_PROP_ID, md5.data(), &cb));
    EXPECT_EQ(md5, expected);
    cb = 19;
    EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, sha1.data(), &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    CertFreeCertificateContext(ctx);
}

TEST(CertProperties, PropertiesTravelWithTheCertificateIntoAStore)
{
    PCCERT_CONTEXT ctx = Create(MakeCertificate());
    ASSERT_NE(ctx, nullptr);
    std::basic_string<WCHAR> container = TEXT("travelling");
    CRYPT_KEY_PROV_INFO info{container.data(), nullptr, PROV_RSA_FULL, 0, 0, nullptr, AT_SIGNATURE};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, kEnc, 0, 0, nullptr);
    PCCERT_CONTEXT copy = nullptr;
    ASSERT_TRUE(CertAddCertificateContextToStore(store, ctx, CERT_STORE_ADD_NEW, &copy));
    // Each store entry has its own properties: changing the original leaves the copy alone.
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr));
    std::vector<BYTE> block(512);
    DWORD cb = static_cast<DWORD>(block.size());
    ASSERT_TRUE(CertGetCertificateContextProperty(copy, CERT_KEY_PROV_INFO_PROP_ID, block.data(), &cb));
    const CRYPT_KEY_PROV_INFO* out = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(block.data());
    EXPECT_EQ(W(out->pwszContainerName), container);
    EXPECT_EQ(out->pwszProvName, nullptr);
    EXPECT_EQ(out->dwKeySpec, static_cast<DWORD>(AT_SIGNATURE));
    CertFreeCertificateContext(copy);
    CertFreeCertificateContext(ctx);
    EXPECT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
}

}  // namespace
