// The smart-card provider over a SoftHSM2 token, in this process: the "MY" store's token part,
// the provider's answers, hashing and signing on the token with every hash, and the failures a
// user meets (wrong PIN, a token that is not there, changes refused).
#include "token/TokenSupport.h"
#include "unit/SelfModule.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <memory>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "crypt32/CertKeyLink.h"
#include "kernel/CertificateQueries.h"
#include "picker/CertificateCards.h"

namespace npk::test {
namespace {

using WString = std::basic_string<WCHAR>;

WString Wide(const std::string& s)
{
    return WString(s.begin(), s.end());
}

std::string Narrow(LPCWSTR s)
{
    std::string out;
    for (; s != nullptr && *s != 0; ++s) out += static_cast<char>(*s);
    return out;
}

std::string SubjectOf(PCCERT_CONTEXT cert)
{
    WCHAR name[256] = {};
    CertNameToStrW(X509_ASN_ENCODING, &cert->pCertInfo->Subject, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, name,
                   256);
    return Narrow(name);
}

// The token store, the PIN and the user's directories are the process's, so each process
// makes its token once (ctest runs each case in a process of its own).
class TokenProvider : public TokenTest {
protected:
    void SetUp() override
    {
        TokenTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        setenv(kTestPinVariable, kTokenPin, 1);
        unsetenv("NPKEYSTRAND_PKCS11_MODULE");
        m_my = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY"));
        ASSERT_NE(m_my, nullptr) << std::hex << GetLastError();
    }

    void TearDown() override
    {
        if (m_my != nullptr) CertCloseStore(m_my, 0);
        unsetenv(kTestPinVariable);
        TokenTest::TearDown();
    }

    PCCERT_CONTEXT Find(const std::string& commonName)
    {
        PCCERT_CONTEXT cert = nullptr;
        while ((cert = CertEnumCertificatesInStore(m_my, cert)) != nullptr) {
            if (SubjectOf(cert).find("CN=" + commonName) != std::string::npos) return cert;
        }
        return nullptr;
    }

    CRYPT_KEY_PROV_INFO* ProvInfo(PCCERT_CONTEXT cert, std::unique_ptr<BYTE[]>& block)
    {
        DWORD cb = 0;
        if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb)) return nullptr;
        block.reset(new BYTE[cb]);
        if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, block.get(), &cb)) return nullptr;
        return reinterpret_cast<CRYPT_KEY_PROV_INFO*>(block.get());
    }

    // Hashes and signs text on the provider; the signature most significant byte first, or
    // empty with *error set.
    std::string Sign(HCRYPTPROV prov, DWORD keySpec, ALG_ID alg, const std::string& text, DWORD flags, DWORD* error)
    {
        HCRYPTHASH hash = 0;
        std::string sig;
        *error = 0;
        if (!CryptCreateHash(prov, alg, 0, 0, &hash)) {
            *error = GetLastError();
            return sig;
        }
        DWORD size = 0;
        if (CryptHashData(hash, reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()), 0) &&
            CryptSignHashW(hash, keySpec, nullptr, flags, nullptr, &size)) {
            sig.assign(size, '\0');
            if (CryptSignHashW(hash, keySpec, nullptr, flags, reinterpret_cast<BYTE*>(sig.data()), &size)) {
                sig.resize(size);
                std::reverse(sig.begin(), sig.end());
            } else {
                sig.clear();
            }
        }
        if (sig.empty()) *error = GetLastError();
        CryptDestroyHash(hash);
        return sig;
    }

    HCERTSTORE m_my = nullptr;
};

EVP_PKEY* PublicKey(PCCERT_CONTEXT cert)
{
    const unsigned char* p = cert->pbCertEncoded;
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(cert->cbCertEncoded));
    EVP_PKEY* key = x != nullptr ? X509_get_pubkey(x) : nullptr;
    X509_free(x);
    return key;
}

TEST_F(TokenProvider, TokenCertificatesJoinMyWithTheSmartCardProvider)
{
    PCCERT_CONTEXT alice = Find("Alice Signer");
    PCCERT_CONTEXT bob = Find("Bob Recipient");
    ASSERT_NE(alice, nullptr);
    ASSERT_NE(bob, nullptr);
    std::unique_ptr<BYTE[]> block;
    CRYPT_KEY_PROV_INFO* info = ProvInfo(alice, block);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(Narrow(info->pwszProvName), "Microsoft Base Smart Card Crypto Provider");
    EXPECT_EQ(Narrow(info->pwszContainerName), kAliceContainer);
    EXPECT_EQ(info->dwProvType, (DWORD)PROV_RSA_FULL);
    EXPECT_EQ(info->dwKeySpec, (DWORD)AT_KEYEXCHANGE);
    info = ProvInfo(bob, block);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(Narrow(info->pwszContainerName), kBobContainer);
    CertFreeCertificateContext(alice);
    CertFreeCertificateContext(bob);
}

TEST_F(TokenProvider, ProviderReportsHardwareAndItsName)
{
    PCCERT_CONTEXT alice = Find("Alice Signer");
    ASSERT_NE(alice, nullptr);
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(alice, 0, nullptr, &prov, &keySpec, &callerFree)) << std::hex << GetLastError();
    EXPECT_EQ(keySpec, (DWORD)AT_KEYEXCHANGE);
    DWORD imp = 0, cb = sizeof imp;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_IMPTYPE, reinterpret_cast<BYTE*>(&imp), &cb, 0));
    EXPECT_EQ(imp, (DWORD)CRYPT_IMPL_HARDWARE);
    char name[128] = {};
    cb = sizeof name;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &cb, 0));
    EXPECT_STREQ(name, "Microsoft Base Smart Card Crypto Provider");
    EXPECT_EQ(cb, sizeof("Microsoft Base Smart Card Crypto Provider"));
    // The public half can be exported; the private half never leaves the token.
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key)) << std::hex << GetLastError();
    DWORD blob = 0;
    EXPECT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &blob)) << std::hex << GetLastError();
    EXPECT_GT(blob, 256u);
    EXPECT_FALSE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &blob));
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);

    // The picker's test for a hardware key agrees, and the kernel names the provider as
    // Windows would for a card's certificate.
    DWORD hardware = 0;
    EXPECT_EQ(GetHardwareKeyFlag(alice, &hardware), S_OK);
    EXPECT_EQ(hardware, 1u);
    LPWSTR providerName = nullptr;
    DWORD providerChars = 0;
    ASSERT_EQ(GetCertProviderName(alice, &providerName, &providerChars), S_OK);
    EXPECT_EQ(Narrow(providerName), "Microsoft Base Smart Card Crypto Provider");
    delete[] providerName;
    CertFreeCertificateContext(alice);
}

// A self-signed certificate for a new software key, DER.
std::string SoftwareCertificate(const char* commonName, EVP_PKEY** key)
{
    *key = EVP_RSA_gen(2048);
    X509* x = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_set_pubkey(x, *key);
    X509_sign(x, *key, EVP_sha256());
    unsigned char* der = nullptr;
    int n = i2d_X509(x, &der);
    std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
    OPENSSL_free(der);
    X509_free(x);
    return out;
}

TEST_F(TokenProvider, PickerCardsPutTheTokenCertificatesBeforeASoftwareOneThatSortsFirst)
{
    // "Aaron" sorts before "Alice" and "Bob": only their keys' place can put them first.
    EVP_PKEY* key = nullptr;
    std::string der = SoftwareCertificate("Aaron Software", &key);
    PCCERT_CONTEXT aaron = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(m_my, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                 static_cast<DWORD>(der.size()), CERT_STORE_ADD_NEW, &aaron));
    ASSERT_TRUE(NpkLinkCertificateToKey(aaron, key, false)) << std::hex << GetLastError();
    EVP_PKEY_free(key);
    CertFreeCertificateContext(aaron);

    std::vector<CertificateItem> items;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(m_my, c)) != nullptr;) {
        CertificateItem item{};
        LPCWSTR step = nullptr;
        ASSERT_EQ(BuildCertificateItem(c, SelfModule(), &item, &step), S_OK) << Narrow(step);
        items.push_back(item);
    }
    ASSERT_EQ(items.size(), 3u);
    SortCertificateItems(items);
    EXPECT_EQ(Narrow(items[0].wszDisplayName), "Alice Signer");
    EXPECT_EQ(items[0].dwHardwareKey, 1u);
    EXPECT_EQ(Narrow(items[1].wszDisplayName), "Bob Recipient");
    EXPECT_EQ(items[1].dwHardwareKey, 1u);
    EXPECT_EQ(Narrow(items[2].wszDisplayName), "Aaron Software");
    EXPECT_EQ(items[2].dwHardwareKey, 0u);
}

TEST_F(TokenProvider, SignsOnTheTokenWithEveryHash)
{
    PCCERT_CONTEXT alice = Find("Alice Signer");
    ASSERT_NE(alice, nullptr);
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(alice, 0, nullptr, &prov, &keySpec, nullptr));
    EVP_PKEY* pub = PublicKey(alice);
    ASSERT_NE(pub, nullptr);
    const std::string text = "Transfer 250 to 1234-5678";
    const struct {
        ALG_ID alg;
        const char* md;
    } hashes[] = {{CALG_MD5, "MD5"}, {CALG_SHA1, "SHA1"}, {CALG_SHA_256, "SHA256"}, {CALG_SHA_384, "SHA384"},
                  {CALG_SHA_512, "SHA512"}};
    for (const auto& h : hashes) {
        SCOPED_TRACE(h.md);
        DWORD error = 0;
        std::string sig = Sign(prov, keySpec, h.alg, text, 0, &error);
        ASSERT_EQ(sig.size(), 256u) << std::hex << error;
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        ASSERT_EQ(EVP_DigestVerifyInit(ctx, nullptr, EVP_get_digestbyname(h.md), nullptr, pub), 1);
        EXPECT_EQ(EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                                   reinterpret_cast<const unsigned char*>(text.data()), text.size()),
                  1);
        EVP_MD_CTX_free(ctx);
    }

    // Without the hash's identifier the bare digest is what gets padded.
    DWORD error = 0;
    std::string bare = Sign(prov, keySpec, CALG_SHA1, text, CRYPT_NOHASHOID, &error);
    ASSERT_EQ(bare.size(), 256u) << std::hex << error;
    EVP_PKEY_CTX* rec = EVP_PKEY_CTX_new(pub, nullptr);
    ASSERT_EQ(EVP_PKEY_verify_recover_init(rec), 1);
    EVP_PKEY_CTX_set_rsa_padding(rec, RSA_PKCS1_PADDING);
    unsigned char recovered[256];
    size_t n = sizeof recovered;
    ASSERT_EQ(EVP_PKEY_verify_recover(rec, recovered, &n, reinterpret_cast<const unsigned char*>(bare.data()), bare.size()), 1);
    unsigned char digest[20];
    unsigned int dn = 0;
    EVP_Digest(text.data(), text.size(), digest, &dn, EVP_sha1(), nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(recovered), n), std::string(reinterpret_cast<char*>(digest), dn));
    EVP_PKEY_CTX_free(rec);
    EVP_PKEY_free(pub);
    CryptReleaseContext(prov, 0);
    CertFreeCertificateContext(alice);
}

TEST_F(TokenProvider, WrongPinFailsWithItsOwnCodeAndText)
{
    PCCERT_CONTEXT alice = Find("Alice Signer");
    ASSERT_NE(alice, nullptr);
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(alice, 0, nullptr, &prov, &keySpec, nullptr));
    setenv(kTestPinVariable, "9999", 1);
    DWORD error = 0;
    EXPECT_TRUE(Sign(prov, keySpec, CALG_SHA_256, "text", 0, &error).empty());
    EXPECT_EQ(error, (DWORD)0x8010006B);
    WCHAR text[512] = {};
    ASSERT_GT(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, 512,
                             nullptr),
              0u);
    EXPECT_NE(Narrow(text).find("the wrong PIN was presented"), std::string::npos) << Narrow(text);

    // The right PIN works again at once: nothing of the failed login lingers.
    setenv(kTestPinVariable, kTokenPin, 1);
    EXPECT_EQ(Sign(prov, keySpec, CALG_SHA_256, "text", 0, &error).size(), 256u) << std::hex << error;
    CryptReleaseContext(prov, 0);
    CertFreeCertificateContext(alice);
}

TEST_F(TokenProvider, TokenRemovedAfterTheChoiceFailsAsRemoved)
{
    PCCERT_CONTEXT alice = Find("Alice Signer");
    ASSERT_NE(alice, nullptr);
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(alice, 0, nullptr, &prov, &keySpec, nullptr));
    HostResult removed = RunProgram({"/usr/bin/softhsm2-util", "--delete-token", "--token", kTokenLabel}, Env(), 30);
    ASSERT_EQ(removed.status, 0) << removed.out << removed.err;
    DWORD error = 0;
    EXPECT_TRUE(Sign(prov, keySpec, CALG_SHA_256, "text", 0, &error).empty());
    EXPECT_EQ(error, (DWORD)0x80100069);  // SCARD_W_REMOVED_CARD
    CryptReleaseContext(prov, 0);
    CertFreeCertificateContext(alice);
}

TEST_F(TokenProvider, ContainersOfAbsentTokensAndKeysFail)
{
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(CryptAcquireContextW(&prov, Wide("\\\\.\\No Such Token\\01").c_str(),
                                      TEXT("Microsoft Base Smart Card Crypto Provider"), PROV_RSA_FULL, 0));
    EXPECT_EQ(GetLastError(), (DWORD)0x80100069);  // SCARD_W_REMOVED_CARD
    EXPECT_FALSE(CryptAcquireContextW(&prov, Wide("\\\\.\\Test Token\\7f").c_str(),
                                      TEXT("Microsoft Base Smart Card Crypto Provider"), PROV_RSA_FULL, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_KEYSET);
    EXPECT_FALSE(CryptAcquireContextW(&prov, Wide("Test Token").c_str(), TEXT("Microsoft Base Smart Card Crypto Provider"),
                                      PROV_RSA_FULL, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_KEYSET);
    // Keys are made and deleted with the card's own tools, never through this provider.
    EXPECT_FALSE(CryptAcquireContextW(&prov, Wide("\\\\.\\Test Token\\01").c_str(),
                                      TEXT("Microsoft Base Smart Card Crypto Provider"), PROV_RSA_FULL, CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_PERM);
    EXPECT_FALSE(CryptAcquireContextW(&prov, Wide("\\\\.\\Test Token\\01").c_str(),
                                      TEXT("Microsoft Base Smart Card Crypto Provider"), PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_PERM);
    // A verification context of the provider hashes, SHA-2 included, as Windows' does.
    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, TEXT("Microsoft Base Smart Card Crypto Provider"), PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT));
    HCRYPTHASH hash = 0;
    EXPECT_TRUE(CryptCreateHash(prov, CALG_SHA_512, 0, 0, &hash));
    CryptDestroyHash(hash);
    CryptReleaseContext(prov, 0);
}

TEST_F(TokenProvider, TokenItemsAreReadOnlyAndNeverWritten)
{
    PCCERT_CONTEXT alice = Find("Alice Signer");
    ASSERT_NE(alice, nullptr);
    EXPECT_FALSE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(alice)));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    // A property may be set for the session; nothing of the token item reaches the disk.
    WCHAR friendly[] = TEXT("Card key");
    CRYPT_DATA_BLOB blob{sizeof friendly, reinterpret_cast<BYTE*>(friendly)};
    EXPECT_TRUE(CertSetCertificateContextProperty(alice, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
    std::filesystem::path dir = Dir() / "data" / "npkeystrand" / "SystemCertificates" / "MY";
    if (std::filesystem::exists(dir)) {
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            EXPECT_EQ(entry.path().extension(), "") << entry.path();
    }
    CertFreeCertificateContext(alice);

    // A certificate imported as a file sits beside the token's and can go again.
    std::string der = ReadAll(DataDir() + "ca.cer");
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(m_my, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                 static_cast<DWORD>(der.size()), CERT_STORE_ADD_NEW, &added));
    CertCloseStore(m_my, 0);
    m_my = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG,
                         TEXT("MY"));
    ASSERT_NE(m_my, nullptr);
    int count = 0;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(m_my, c)) != nullptr;) ++count;
    EXPECT_EQ(count, 3);
    alice = Find("Alice Signer");
    ASSERT_NE(alice, nullptr);
    std::unique_ptr<BYTE[]> block;
    EXPECT_NE(ProvInfo(alice, block), nullptr) << "a read-only open links the token key too";
    CertFreeCertificateContext(alice);
    EXPECT_TRUE(CertDeleteCertificateFromStore(added));
}

}  // namespace
}  // namespace npk::test
