// The private key of a certificate: linking a key, acquiring it, signing with it.
#include "CertTestSupport.h"

#include "advapi32/CryptKeyContainers.h"
#include "crypt32/CertKeyLink.h"

#include <algorithm>
#include <cstring>

using namespace certtest;
namespace fs = std::filesystem;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

class CertPrivateKey : public IsolatedHome {};

// Signs data with SHA-256 through the provider and checks the signature with OpenSSL.
void ExpectSignsFor(HCRYPTPROV prov, DWORD keySpec, EVP_PKEY* pub)
{
    const BYTE data[] = "the quick brown fox";
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash)) << std::hex << GetLastError();
    ASSERT_TRUE(CryptHashData(hash, data, sizeof(data), 0));
    DWORD cb = 0;
    ASSERT_TRUE(CryptSignHashW(hash, keySpec, nullptr, 0, nullptr, &cb)) << std::hex << GetLastError();
    Bytes sig(cb);
    ASSERT_TRUE(CryptSignHashW(hash, keySpec, nullptr, 0, sig.data(), &cb));
    EXPECT_TRUE(CryptDestroyHash(hash));
    std::reverse(sig.begin(), sig.end());  // the provider writes it least significant byte first

    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pub, nullptr);
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(EVP_PKEY_verify_init(ctx), 1);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    BYTE digest[32];
    unsigned int len = 0;
    EVP_Digest(data, sizeof(data), digest, &len, EVP_sha256(), nullptr);
    EXPECT_EQ(EVP_PKEY_verify(ctx, sig.data(), sig.size(), digest, len), 1);
    EVP_PKEY_CTX_free(ctx);
}

TEST_F(CertPrivateKey, LinkedKeyIsAcquiredAndSigns)
{
    PCCERT_CONTEXT cert = Create(MakeCertificate());
    ASSERT_NE(cert, nullptr);
    ASSERT_TRUE(NpkLinkCertificateToKey(cert, SharedKey(0), false)) << std::hex << GetLastError();

    std::vector<BYTE> block(512);
    DWORD cb = static_cast<DWORD>(block.size());
    ASSERT_TRUE(CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, block.data(), &cb));
    const CRYPT_KEY_PROV_INFO* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(block.data());
    EXPECT_EQ(std::basic_string<WCHAR>(info->pwszProvName), std::basic_string<WCHAR>(MS_ENH_RSA_AES_PROV_W));
    EXPECT_EQ(info->dwProvType, static_cast<DWORD>(PROV_RSA_AES));
    EXPECT_EQ(info->dwKeySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
    EXPECT_EQ(lstrlenW(info->pwszContainerName), 38);

    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &keySpec, &callerFree))
        << std::hex << GetLastError();
    EXPECT_NE(prov, 0u);
    EXPECT_EQ(keySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
    EXPECT_TRUE(callerFree);
    ExpectSignsFor(prov, keySpec, SharedKey(0));
    EXPECT_TRUE(CryptReleaseContext(prov, 0));

    // The free flag is optional, as the system calls it.
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &keySpec, nullptr));
    EXPECT_TRUE(CryptReleaseContext(prov, 0));

    // A memory-only link writes no key to the disk.
    EXPECT_FALSE(fs::exists(m_root + "/XDG_DATA_HOME/npkeystrand/Crypto"));
    CertFreeCertificateContext(cert);
}

TEST_F(CertPrivateKey, NoLinkedKey)
{
    PCCERT_CONTEXT cert = Create(MakeCertificate());
    ASSERT_NE(cert, nullptr);
    HCRYPTPROV prov = 123;
    DWORD keySpec = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &keySpec, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY));
    EXPECT_EQ(prov, 0u);

    // A property naming a container that does not exist fails with the provider's code.
    std::basic_string<WCHAR> container = TEXT("no-such-container");
    CRYPT_KEY_PROV_INFO info{container.data(), nullptr, PROV_RSA_AES, 0, 0, nullptr, AT_KEYEXCHANGE};
    ASSERT_TRUE(CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    SetLastError(0);
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &keySpec, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    CertFreeCertificateContext(cert);
}

TEST_F(CertPrivateKey, KeyOfAnotherCertificateIsRefused)
{
    PCCERT_CONTEXT cert = Create(MakeCertificate());
    ASSERT_NE(cert, nullptr);
    EVP_PKEY* other = SharedKey(1);
    SetLastError(0);
    EXPECT_FALSE(NpkLinkCertificateToKey(cert, other, false));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));

    // A container holding some other key, named by the property, is not the certificate's key.
    ASSERT_TRUE(NpkStoreKeyInContainer(TEXT("wrong-key"), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, AT_KEYEXCHANGE, other,
                                       false));
    std::basic_string<WCHAR> container = TEXT("wrong-key");
    CRYPT_KEY_PROV_INFO info{container.data(), nullptr, PROV_RSA_AES, 0, 0, nullptr, AT_KEYEXCHANGE};
    ASSERT_TRUE(CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &keySpec, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
    EXPECT_EQ(prov, 0u);
    CertFreeCertificateContext(cert);
}

TEST_F(CertPrivateKey, PersistedLinkSurvivesReopeningTheStore)
{
    Bytes der = MakeCertificate();
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEnc, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY"));
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT cert = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEnc, der.data(), static_cast<DWORD>(der.size()),
                                                 CERT_STORE_ADD_NEW, &cert));
    ASSERT_TRUE(NpkLinkCertificateToKey(cert, SharedKey(0), true)) << std::hex << GetLastError();
    CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);

    store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEnc, 0, CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG,
                          TEXT("MY"));
    ASSERT_NE(store, nullptr);
    cert = CertEnumCertificatesInStore(store, nullptr);
    ASSERT_NE(cert, nullptr);
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &keySpec, nullptr))
        << std::hex << GetLastError();
    ExpectSignsFor(prov, keySpec, SharedKey(0));
    CryptReleaseContext(prov, 0);
    CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);
}

}  // namespace
