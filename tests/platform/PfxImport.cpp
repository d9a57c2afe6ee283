// PFXImportCertStore: the fixture files and files openssl writes at test time import with
// every certificate, each key-bearing one signing with its own key; bad passwords and bad
// bytes fail with the codes callers rely on, and nothing is left behind.
#include "FixtureData.h"
#include "platform/CertTestSupport.h"

#include "crypt32/CertObjects.h"
#include "crypt32/PfxImport.h"

#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include <algorithm>
#include <fstream>
#include <iterator>

using namespace certtest;
namespace fs = std::filesystem;
using npk::crypt32::CertStoreObject;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kPassword[] = "npkeystrand";
#define WPASSWORD TEXT("npkeystrand")

fs::path DataDir()
{
    return fs::path(npk::test::FixtureDir());
}

Bytes ReadBytes(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Fixture(const char* name)
{
    Bytes b = ReadBytes(DataDir() / name);
    EXPECT_FALSE(b.empty()) << "missing fixture " << name << " (run tests/data/make-fixtures.sh)";
    return b;
}

bool HaveOpenssl() { return std::system("command -v openssl >/dev/null 2>&1") == 0; }

HCERTSTORE Import(const Bytes& pfx, LPCWSTR password, DWORD flags = CRYPT_USER_KEYSET)
{
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.empty() ? nullptr : const_cast<BYTE*>(pfx.data())};
    return PFXImportCertStore(&blob, password, flags);
}

// The encoded certificates of a store, in enumeration order.
std::vector<Bytes> Certificates(HCERTSTORE store)
{
    std::vector<Bytes> out;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c)) != nullptr)
        out.emplace_back(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
    return out;
}

PCCERT_CONTEXT FindByBytes(HCERTSTORE store, const Bytes& der)
{
    Bytes hash = Sha1(der);
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
    return CertFindCertificateInStore(store, kEnc, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
}

// The certificate's key signs a SHA-256 digest; OpenSSL and the layer both accept the
// signature under the certificate's public key.
void ExpectSignsWithOwnKey(PCCERT_CONTEXT cert)
{
    ASSERT_NE(cert, nullptr);
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &keySpec, &callerFree))
        << std::hex << GetLastError();
    const BYTE data[] = "a message to sign";
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, data, sizeof(data), 0));
    DWORD cb = 0;
    ASSERT_TRUE(CryptSignHashW(hash, keySpec, nullptr, 0, nullptr, &cb));
    Bytes sig(cb);
    ASSERT_TRUE(CryptSignHashW(hash, keySpec, nullptr, 0, sig.data(), &cb));

    HCRYPTKEY pub = 0;
    ASSERT_TRUE(CryptImportPublicKeyInfo(prov, kEnc, &cert->pCertInfo->SubjectPublicKeyInfo, &pub));
    EXPECT_TRUE(CryptVerifySignatureW(hash, sig.data(), cb, pub, nullptr, 0)) << std::hex << GetLastError();
    CryptDestroyKey(pub);
    CryptDestroyHash(hash);
    if (callerFree) CryptReleaseContext(prov, 0);

    std::reverse(sig.begin(), sig.end());
    const unsigned char* p = cert->pbCertEncoded;
    X509* x = d2i_X509(nullptr, &p, cert->cbCertEncoded);
    ASSERT_NE(x, nullptr);
    EVP_PKEY* key = X509_get_pubkey(x);
    X509_free(x);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    ASSERT_EQ(EVP_PKEY_verify_init(ctx), 1);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    BYTE digest[32];
    unsigned int len = 0;
    EVP_Digest(data, sizeof(data), digest, &len, EVP_sha256(), nullptr);
    EXPECT_EQ(EVP_PKEY_verify(ctx, sig.data(), sig.size(), digest, len), 1);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
}

void ExpectNoKey(PCCERT_CONTEXT cert)
{
    ASSERT_NE(cert, nullptr);
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY));
}

X509* LoadCert(const char* name)
{
    Bytes der = Fixture(name);
    const unsigned char* p = der.data();
    return d2i_X509(nullptr, &p, static_cast<long>(der.size()));
}

EVP_PKEY* LoadKey(const char* name)
{
    BIO* bio = BIO_new_file((DataDir() / name).c_str(), "r");
    if (bio == nullptr) return nullptr;
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    return key;
}

// A packet with the signer's and the recipient's certificates and keys: something
// `openssl pkcs12 -export` cannot write. Keys go in reverse order, so that pairing by
// position would be wrong; with localKeyIds off, only the public keys can pair them.
Bytes MakePairPfx(bool localKeyIds)
{
    STACK_OF(PKCS12_SAFEBAG)* certBags = nullptr;
    STACK_OF(PKCS12_SAFEBAG)* keyBags = nullptr;
    const char* certs[] = {"signer.cer", "recipient.cer"};
    const char* keys[] = {"recipient.key", "signer.key"};
    for (int i = 0; i < 2; ++i) {
        X509* x = LoadCert(certs[i]);
        EVP_PKEY* k = LoadKey(keys[i]);
        EXPECT_TRUE(x != nullptr && k != nullptr);
        if (x == nullptr || k == nullptr) return {};
        PKCS12_SAFEBAG* cb = PKCS12_add_cert(&certBags, x);
        PKCS12_SAFEBAG* kb = PKCS12_add_key(&keyBags, k, 0, 2048, NID_pbe_WithSHA1And3_Key_TripleDES_CBC, kPassword);
        if (localKeyIds) {
            unsigned char certId = static_cast<unsigned char>(i + 1);
            unsigned char keyId = static_cast<unsigned char>(2 - i);
            PKCS12_add_localkeyid(cb, &certId, 1);
            PKCS12_add_localkeyid(kb, &keyId, 1);
        }
        X509_free(x);
        EVP_PKEY_free(k);
    }
    STACK_OF(PKCS7)* safes = nullptr;
    PKCS12_add_safe(&safes, certBags, NID_pbe_WithSHA1And3_Key_TripleDES_CBC, 2048, kPassword);
    PKCS12_add_safe(&safes, keyBags, -1, 0, nullptr);
    PKCS12* p12 = PKCS12_add_safes(safes, 0);
    PKCS12_set_mac(p12, kPassword, -1, nullptr, 0, 2048, EVP_sha256());
    int n = i2d_PKCS12(p12, nullptr);
    Bytes out(static_cast<size_t>(std::max(n, 0)));
    BYTE* p = out.data();
    i2d_PKCS12(p12, &p);
    PKCS12_free(p12);
    sk_PKCS7_pop_free(safes, PKCS7_free);
    sk_PKCS12_SAFEBAG_pop_free(certBags, PKCS12_SAFEBAG_free);
    sk_PKCS12_SAFEBAG_pop_free(keyBags, PKCS12_SAFEBAG_free);
    return out;
}

class PfxImport : public IsolatedHome {
protected:
    void SetUp() override
    {
        IsolatedHome::SetUp();
        m_stores = CertStoreObject::LiveStores();
        m_contexts = CertStoreObject::LiveContexts();
    }
    void TearDown() override
    {
        EXPECT_EQ(CertStoreObject::LiveStores(), m_stores) << "a store leaked";
        EXPECT_EQ(CertStoreObject::LiveContexts(), m_contexts) << "a context leaked";
        IsolatedHome::TearDown();
    }

    // A file openssl writes now, from the fixture key and certificates.
    Bytes OpensslExport(const std::string& options, const std::string& password)
    {
        const fs::path out = fs::path(m_root) / "export.pfx";
        const fs::path d = DataDir();
        std::string cmd = "openssl pkcs12 -export -inkey '" + (d / "recipient.key").string() + "' -in '" +
                          (d / "recipient.pem").string() + "' -certfile '" + (d / "ca.pem").string() + "' -passout 'pass:" +
                          password + "' -out '" + out.string() + "' " + options + " 2>&1";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        return ReadBytes(out);
    }

    // Imports a recipient file written by openssl and checks its two certificates.
    void ExpectRecipientFile(const Bytes& pfx, LPCWSTR password)
    {
        HCERTSTORE store = Import(pfx, password);
        ASSERT_NE(store, nullptr) << std::hex << GetLastError();
        EXPECT_EQ(Certificates(store), (std::vector<Bytes>{Fixture("recipient.cer"), Fixture("ca.cer")}));
        PCCERT_CONTEXT leaf = FindByBytes(store, Fixture("recipient.cer"));
        ExpectSignsWithOwnKey(leaf);
        CertFreeCertificateContext(leaf);
        PCCERT_CONTEXT ca = FindByBytes(store, Fixture("ca.cer"));
        ExpectNoKey(ca);
        CertFreeCertificateContext(ca);
        EXPECT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
    }

    LONG m_stores = 0;
    LONG m_contexts = 0;
};

// --- The fixture files -------------------------------------------------------------------

TEST_F(PfxImport, ModernAndLegacyFilesGiveEveryCertificateInFileOrder)
{
    for (const char* file : {"signer.pfx", "signer-legacy.pfx"}) {
        SCOPED_TRACE(file);
        HCERTSTORE store = Import(Fixture(file), WPASSWORD);
        ASSERT_NE(store, nullptr) << std::hex << GetLastError();
        EXPECT_EQ(Certificates(store), (std::vector<Bytes>{Fixture("signer.cer"), Fixture("ca.cer")}));
        PCCERT_CONTEXT signer = FindByBytes(store, Fixture("signer.cer"));
        ExpectSignsWithOwnKey(signer);
        CertFreeCertificateContext(signer);
        PCCERT_CONTEXT ca = FindByBytes(store, Fixture("ca.cer"));
        ExpectNoKey(ca);
        CertFreeCertificateContext(ca);
        EXPECT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
    }
}

TEST_F(PfxImport, EmptyPasswordOpensWithNullAndWithEmptyString)
{
    for (LPCWSTR password : {static_cast<LPCWSTR>(nullptr), TEXT("")}) {
        HCERTSTORE store = Import(Fixture("signer-nopass.pfx"), password);
        ASSERT_NE(store, nullptr) << std::hex << GetLastError();
        PCCERT_CONTEXT signer = FindByBytes(store, Fixture("signer.cer"));
        ExpectSignsWithOwnKey(signer);
        CertFreeCertificateContext(signer);
        CertCloseStore(store, 0);
    }
}

TEST_F(PfxImport, CertificateWithoutKeyIdentifierAndExpiredCertificateImport)
{
    // Validity and extensions are the caller's business: the file's contents come back as they are.
    for (const char* name : {"nokeyid", "expired", "recipient"}) {
        SCOPED_TRACE(name);
        HCERTSTORE store = Import(Fixture((std::string(name) + ".pfx").c_str()), WPASSWORD);
        ASSERT_NE(store, nullptr) << std::hex << GetLastError();
        PCCERT_CONTEXT cert = FindByBytes(store, Fixture((std::string(name) + ".cer").c_str()));
        ExpectSignsWithOwnKey(cert);
        CertFreeCertificateContext(cert);
        CertCloseStore(store, 0);
    }
}

TEST_F(PfxImport, FriendlyNameBecomesTheProperty)
{
    HCERTSTORE store = Import(Fixture("signer.pfx"), WPASSWORD);
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT signer = FindByBytes(store, Fixture("signer.cer"));
    DWORD cb = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(signer, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &cb));
    std::vector<WCHAR> name(cb / sizeof(WCHAR));
    ASSERT_TRUE(CertGetCertificateContextProperty(signer, CERT_FRIENDLY_NAME_PROP_ID, name.data(), &cb));
    EXPECT_EQ(std::basic_string<WCHAR>(name.data()), std::basic_string<WCHAR>(TEXT("signer")));
    CertFreeCertificateContext(signer);
    PCCERT_CONTEXT ca = FindByBytes(store, Fixture("ca.cer"));
    EXPECT_FALSE(CertGetCertificateContextProperty(ca, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &cb));
    CertFreeCertificateContext(ca);
    CertCloseStore(store, 0);
}

TEST_F(PfxImport, CertificatesOutliveTheClosedStoreAndKeepTheirKeys)
{
    HCERTSTORE store = Import(Fixture("signer.pfx"), WPASSWORD);
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT signer = FindByBytes(store, Fixture("signer.cer"));
    CertCloseStore(store, 0);
    ExpectSignsWithOwnKey(signer);
    CertFreeCertificateContext(signer);
}

// --- Two key-bearing certificates ---------------------------------------------------------

TEST_F(PfxImport, PairFileGivesTwoLinkedCertificatesWithTheirOwnKeys)
{
    for (bool localKeyIds : {true, false}) {
        SCOPED_TRACE(localKeyIds ? "by localKeyId" : "by public key");
        Bytes pfx = MakePairPfx(localKeyIds);
        ASSERT_FALSE(pfx.empty());
        HCERTSTORE store = Import(pfx, WPASSWORD);
        ASSERT_NE(store, nullptr) << std::hex << GetLastError();
        EXPECT_EQ(Certificates(store), (std::vector<Bytes>{Fixture("signer.cer"), Fixture("recipient.cer")}));
        for (const char* name : {"signer.cer", "recipient.cer"}) {
            PCCERT_CONTEXT c = FindByBytes(store, Fixture(name));
            ExpectSignsWithOwnKey(c);  // acquiring checks that the linked key is the certificate's
            CertFreeCertificateContext(c);
        }
        CertCloseStore(store, 0);
    }
}

TEST_F(PfxImport, ParsedContentsCarryEachKeyWithItsCertificate)
{
    Bytes pfx = MakePairPfx(true);
    NpkPfxContents contents;
    ASSERT_EQ(NpkParsePfx(pfx.data(), pfx.size(), WPASSWORD, contents), 0u);
    ASSERT_EQ(contents.certificates.size(), 2u);
    EVP_PKEY* signerKey = LoadKey("signer.key");
    EVP_PKEY* recipientKey = LoadKey("recipient.key");
    ASSERT_NE(contents.certificates[0].key, nullptr);
    ASSERT_NE(contents.certificates[1].key, nullptr);
    EXPECT_EQ(EVP_PKEY_eq(contents.certificates[0].key, signerKey), 1);
    EXPECT_EQ(EVP_PKEY_eq(contents.certificates[1].key, recipientKey), 1);
    EVP_PKEY_free(signerKey);
    EVP_PKEY_free(recipientKey);
}

// --- Passwords and bad input --------------------------------------------------------------

TEST_F(PfxImport, WrongPasswordFailsWithInvalidPassword)
{
    struct Case {
        const char* file;
        LPCWSTR password;
    } cases[] = {
        {"signer.pfx", TEXT("npkeystranD")}, {"signer.pfx", nullptr},        {"signer.pfx", TEXT("")},
        {"signer-legacy.pfx", TEXT("x")},   {"signer-nopass.pfx", TEXT(" ")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        SetLastError(0);
        EXPECT_EQ(Import(Fixture(c.file), c.password), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PASSWORD));
    }
    CRYPT_DATA_BLOB blob{0, nullptr};
    Bytes pfx = Fixture("signer.pfx");
    blob = {static_cast<DWORD>(pfx.size()), pfx.data()};
    EXPECT_TRUE(PFXVerifyPassword(&blob, WPASSWORD, 0));
    EXPECT_FALSE(PFXVerifyPassword(&blob, TEXT("nope"), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PASSWORD));
}

TEST_F(PfxImport, NullArgumentsAreInvalid)
{
    SetLastError(0);
    EXPECT_EQ(PFXImportCertStore(nullptr, WPASSWORD, CRYPT_USER_KEYSET), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    CRYPT_DATA_BLOB blob{16, nullptr};
    EXPECT_EQ(PFXImportCertStore(&blob, WPASSWORD, CRYPT_USER_KEYSET), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_FALSE(PFXIsPFXBlob(nullptr));
}

TEST_F(PfxImport, BytesThatAreNotAPfxFailWithTheDecoderCode)
{
    SetLastError(0);
    EXPECT_EQ(Import(Bytes(), WPASSWORD), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_EOD)) << "empty blob";

    EXPECT_EQ(Import(Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'p', 'f', 'x'}, WPASSWORD), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)) << "text";

    // A certificate is a SEQUENCE too, but its first element is not the version.
    EXPECT_EQ(Import(Fixture("signer.cer"), WPASSWORD), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)) << "certificate";

    Bytes trailing = Fixture("signer.pfx");
    trailing.push_back(0);
    EXPECT_EQ(Import(trailing, WPASSWORD), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT)) << "trailing byte";

    CRYPT_DATA_BLOB cert{static_cast<DWORD>(Fixture("signer.cer").size()), nullptr};
    Bytes certBytes = Fixture("signer.cer");
    cert.pbData = certBytes.data();
    EXPECT_FALSE(PFXIsPFXBlob(&cert));
    Bytes pfx = Fixture("signer.pfx");
    CRYPT_DATA_BLOB good{static_cast<DWORD>(pfx.size()), pfx.data()};
    EXPECT_TRUE(PFXIsPFXBlob(&good));
}

TEST_F(PfxImport, TruncatedFilesFailAtEveryLength)
{
    const Bytes pfx = Fixture("signer.pfx");
    for (size_t len : {size_t{1}, size_t{2}, size_t{4}, size_t{20}, size_t{100}, pfx.size() / 2, pfx.size() - 40,
                       pfx.size() - 1}) {
        SCOPED_TRACE(len);
        SetLastError(0);
        EXPECT_EQ(Import(Bytes(pfx.begin(), pfx.begin() + static_cast<long>(len)), WPASSWORD), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_EOD));
    }
}

TEST_F(PfxImport, ChangedBytesNeverImportAndNeverCrash)
{
    const Bytes pfx = Fixture("signer-legacy.pfx");
    int refused = 0;
    for (size_t at = 0; at < pfx.size(); at += 7) {
        Bytes changed = pfx;
        changed[at] ^= 0x5A;
        HCERTSTORE store = Import(changed, WPASSWORD);
        if (store == nullptr) {
            ++refused;
            EXPECT_NE(GetLastError(), 0u);
        } else {
            CertCloseStore(store, 0);  // a change inside an unused field can be harmless
        }
    }
    // The MAC covers the contents: nearly every change is caught.
    EXPECT_GT(refused, static_cast<int>(pfx.size() / 7) * 9 / 10);
}

// --- Files openssl writes now -------------------------------------------------------------

TEST_F(PfxImport, OpensslDefaultLegacyAndUnencryptedExportsImport)
{
    if (!HaveOpenssl()) GTEST_SKIP() << "openssl is not installed";
    ExpectRecipientFile(OpensslExport("", kPassword), WPASSWORD);
    ExpectRecipientFile(OpensslExport("-legacy", kPassword), WPASSWORD);
    ExpectRecipientFile(OpensslExport("-keypbe NONE -certpbe NONE", kPassword), WPASSWORD);
    ExpectRecipientFile(OpensslExport("-nomac", kPassword), WPASSWORD);
    ExpectRecipientFile(OpensslExport("-keypbe AES-128-CBC -certpbe AES-128-CBC -macalg sha512", kPassword),
                        WPASSWORD);
}

TEST_F(PfxImport, NonAsciiPasswordIsTakenAsUtf8)
{
    if (!HaveOpenssl()) GTEST_SKIP() << "openssl is not installed";
    // U+C554 U+D638 ("암호"), U+00E9, and a character outside the BMP.
    Bytes pfx = OpensslExport("", "\xEC\x95\x94\xED\x98\xB8\xC3\xA9\xF0\x9F\x94\x91");
    const WCHAR password[] = {0xC554, 0xD638, 0x00E9, 0xD83D, 0xDD11, 0};
    ExpectRecipientFile(pfx, password);
    EXPECT_EQ(Import(pfx, TEXT("\xC554\xD638")), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PASSWORD));
}

TEST_F(PfxImport, WithoutMacAWrongPasswordIsStillCaught)
{
    if (!HaveOpenssl()) GTEST_SKIP() << "openssl is not installed";
    Bytes pfx = OpensslExport("-nomac", kPassword);
    EXPECT_EQ(Import(pfx, TEXT("other")), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PASSWORD));
}

// A file without a MAC whose one safe holds what the arguments say: a shrouded key bag, or an
// encrypted safe, under a password-based algorithm with the given work. The encrypted bytes
// are noise: the file is built without running any key derivation.
enum class Hostile { KeyBagPbe, KeyBagPbkdf2, SafePbe, SafePbkdf2, KeyBagScrypt };

Bytes HostilePfx(Hostile kind, uint64_t rounds)
{
    unsigned char salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const unsigned char iv[8] = {8, 7, 6, 5, 4, 3, 2, 1};
    auto setRounds = [rounds](ASN1_INTEGER* value) { EXPECT_EQ(ASN1_INTEGER_set_uint64(value, rounds), 1); };
    X509_ALGOR* algorithm = nullptr;
    switch (kind) {
    case Hostile::KeyBagPbe:
    case Hostile::SafePbe: {
        algorithm = PKCS5_pbe_set(NID_pbe_WithSHA1And3_Key_TripleDES_CBC, 1, salt, sizeof salt);
        PBEPARAM* p = static_cast<PBEPARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), algorithm->parameter));
        setRounds(p->iter);
        ASN1_TYPE_free(algorithm->parameter);
        algorithm->parameter = nullptr;
        EXPECT_NE(ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(PBEPARAM), p, &algorithm->parameter), nullptr);
        PBEPARAM_free(p);
        break;
    }
    case Hostile::KeyBagPbkdf2:
    case Hostile::SafePbkdf2: {
        algorithm = PKCS5_pbe2_set_iv(EVP_des_ede3_cbc(), 1, salt, sizeof salt, const_cast<unsigned char*>(iv),
                                      NID_hmacWithSHA256);
        PBE2PARAM* p2 =
            static_cast<PBE2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), algorithm->parameter));
        PBKDF2PARAM* kdf =
            static_cast<PBKDF2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), p2->keyfunc->parameter));
        setRounds(kdf->iter);
        ASN1_TYPE_free(p2->keyfunc->parameter);
        p2->keyfunc->parameter = nullptr;
        EXPECT_NE(ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), kdf, &p2->keyfunc->parameter), nullptr);
        ASN1_TYPE_free(algorithm->parameter);
        algorithm->parameter = nullptr;
        EXPECT_NE(ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(PBE2PARAM), p2, &algorithm->parameter), nullptr);
        PBKDF2PARAM_free(kdf);
        PBE2PARAM_free(p2);
        break;
    }
    case Hostile::KeyBagScrypt:
        // N = 1024, r = 8, p = rounds: a modest N and r keep within scrypt's memory bound,
        // and the parallelisation count multiplies the work.
        algorithm = PKCS5_pbe2_set_scrypt(EVP_des_ede3_cbc(), salt, sizeof salt, const_cast<unsigned char*>(iv),
                                          1024, 8, rounds);
        break;
    }
    EXPECT_NE(algorithm, nullptr);
    ASN1_OCTET_STRING* noise = ASN1_OCTET_STRING_new();
    unsigned char bytes[64];
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    ASN1_OCTET_STRING_set(noise, bytes, sizeof bytes);

    STACK_OF(PKCS7)* safes = sk_PKCS7_new_null();
    if (kind == Hostile::SafePbe || kind == Hostile::SafePbkdf2) {
        PKCS7* p7 = PKCS7_new();
        EXPECT_EQ(PKCS7_set_type(p7, NID_pkcs7_encrypted), 1);
        X509_ALGOR_free(p7->d.encrypted->enc_data->algorithm);
        p7->d.encrypted->enc_data->algorithm = algorithm;
        ASN1_OCTET_STRING_free(p7->d.encrypted->enc_data->enc_data);
        p7->d.encrypted->enc_data->enc_data = noise;
        ASN1_OBJECT_free(p7->d.encrypted->enc_data->content_type);
        p7->d.encrypted->enc_data->content_type = OBJ_nid2obj(NID_pkcs7_data);
        sk_PKCS7_push(safes, p7);
    } else {
        // X509_SIG has no setter: it is built from its DER.
        unsigned char* algDer = nullptr;
        int algLen = i2d_X509_ALGOR(algorithm, &algDer);
        Bytes der{0x30};
        Bytes body(algDer, algDer + algLen);
        body.push_back(0x04);
        body.push_back(sizeof bytes);
        body.insert(body.end(), bytes, bytes + sizeof bytes);
        EXPECT_LT(body.size(), 0x10000u);
        der.push_back(0x82);
        der.push_back(static_cast<BYTE>(body.size() >> 8));
        der.push_back(static_cast<BYTE>(body.size()));
        der.insert(der.end(), body.begin(), body.end());
        OPENSSL_free(algDer);
        X509_ALGOR_free(algorithm);
        ASN1_OCTET_STRING_free(noise);
        const unsigned char* p = der.data();
        X509_SIG* shrouded = d2i_X509_SIG(nullptr, &p, static_cast<long>(der.size()));
        EXPECT_NE(shrouded, nullptr);
        PKCS12_SAFEBAG* bag = PKCS12_SAFEBAG_create0_pkcs8(shrouded);
        STACK_OF(PKCS12_SAFEBAG)* bags = sk_PKCS12_SAFEBAG_new_null();
        sk_PKCS12_SAFEBAG_push(bags, bag);
        sk_PKCS7_push(safes, PKCS12_pack_p7data(bags));
        sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
    }
    PKCS12* p12 = PKCS12_add_safes(safes, 0);
    sk_PKCS7_pop_free(safes, PKCS7_free);
    unsigned char* out = nullptr;
    int len = i2d_PKCS12(p12, &out);
    PKCS12_free(p12);
    Bytes pfx(out, out + std::max(len, 0));
    OPENSSL_free(out);
    return pfx;
}

// Work factors past the MAC's limit fail at once with the MAC's code wherever they are in the
// file; within it, the noise fails as a wrong password after the derivation has run.
TEST_F(PfxImport, EveryKeyDerivationIsHeldToTheIterationLimit)
{
    const LONG stores = CertStoreObject::LiveStores();
    for (Hostile kind : {Hostile::KeyBagPbe, Hostile::KeyBagPbkdf2, Hostile::SafePbe, Hostile::SafePbkdf2}) {
        SCOPED_TRACE(static_cast<int>(kind));
        for (uint64_t rounds : {uint64_t{10'000'001}, uint64_t{2'139'095'040}, uint64_t{1} << 40}) {
            SetLastError(0);
            EXPECT_EQ(Import(HostilePfx(kind, rounds), WPASSWORD), nullptr);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_LARGE)) << rounds;
        }
        SetLastError(0);
        EXPECT_EQ(Import(HostilePfx(kind, 2048), WPASSWORD), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PASSWORD));
    }
    // scrypt: N * r * p counts.
    SetLastError(0);
    EXPECT_EQ(Import(HostilePfx(Hostile::KeyBagScrypt, 2048), WPASSWORD), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_LARGE));
    SetLastError(0);
    EXPECT_EQ(Import(HostilePfx(Hostile::KeyBagScrypt, 1), WPASSWORD), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PASSWORD));
    EXPECT_EQ(CertStoreObject::LiveStores(), stores);
}

}  // namespace
