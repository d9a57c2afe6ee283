// Streamed file envelopes in the kernel: round trips for both algorithms and both recipient
// forms across the chunk boundary, recipient search, refusals, and the removal of the output
// file whenever an operation fails after creating it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "FixtureData.h"
#include "agent/CryptoAgent.h"
#include "kernel/CertificateQueries.h"
#include "kernel/Envelopes.h"
#include "kernel/FileEnvelopes.h"
#include "platform/CertTestSupport.h"

namespace {

namespace fs = std::filesystem;
using WString = std::basic_string<WCHAR>;
using certtest::Bytes;

constexpr size_t kChunk = 0x400000;
constexpr HRESULT kFileExists = static_cast<HRESULT>(0x80070050);  // ERROR_FILE_EXISTS
constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x80070002);
constexpr HRESULT kNoSubjectKeyId = static_cast<HRESULT>(0xA0071021);

WString Wide(const std::string& s)
{
    WString w;
    for (unsigned char c : s) w += static_cast<WCHAR>(c);
    return w;
}

std::string Fixture(const char* name)
{
    return npk::test::FixtureDir() + name;
}

Bytes ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const Bytes& data)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                static_cast<std::streamsize>(data.size()));
}

// Bytes that are not periodic within a chunk, so a chunk fed twice or out of order shows.
Bytes Pattern(size_t size)
{
    Bytes data(size);
    uint32_t x = 0x12345678u;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = static_cast<BYTE>(x >> 24);
    }
    return data;
}

class FileEnvelopesTest : public certtest::IsolatedHome {
protected:
    void SetUp() override
    {
        IsolatedHome::SetUp();
        m_dir = m_root + "/files/";
        fs::create_directories(m_dir);
    }
    void TearDown() override
    {
        ReleaseCertificateList(m_recipients);
        CloseStoreList(m_stores);
        IsolatedHome::TearDown();
    }

    void AddRecipient(const char* cerFile)
    {
        Bytes der = ReadAll(Fixture(cerFile));
        PCCERT_CONTEXT pCert = certtest::Create(der);
        ASSERT_NE(pCert, nullptr) << cerFile;
        m_recipients.push_back(pCert);
    }

    void AddStore(const char* pfxFile)
    {
        Bytes pfx = ReadAll(Fixture(pfxFile));
        CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.data()};
        HCERTSTORE hStore = PFXImportCertStore(&blob, Wide("npkeystrand").c_str(), CRYPT_USER_KEYSET);
        ASSERT_NE(hStore, nullptr) << pfxFile << " " << std::hex << GetLastError();
        m_stores.push_back(hStore);
    }

    std::string Path(const std::string& name) const { return m_dir + name; }

    HRESULT Encrypt(const std::string& plain, const std::string& env, const char* alg, bool keyId)
    {
        return EncryptPlaintextFiletoEnvelopeFile(Wide(plain).c_str(), Wide(env).c_str(), m_recipients, alg,
                                                  keyId ? TRUE : FALSE);
    }
    HRESULT Decrypt(const std::string& env, const std::string& plain)
    {
        return DecryptEnvelopeFiletoPlaintextFile(m_stores, Wide(env).c_str(), Wide(plain).c_str());
    }

    std::string m_dir;
    CertificateList m_recipients;
    StoreList m_stores;
};

struct RoundTrip {
    const char* algorithm;
    bool keyId;
    size_t size;
};

class FileEnvelopeRoundTrip : public FileEnvelopesTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(FileEnvelopeRoundTrip, DecryptsToTheSameBytes)
{
    const RoundTrip& p = GetParam();
    AddRecipient("recipient.cer");
    AddStore("recipient.pfx");
    const Bytes data = Pattern(p.size);
    WriteAll(Path("plain"), data);

    ASSERT_EQ(Encrypt(Path("plain"), Path("env"), p.algorithm, p.keyId), S_OK);
    Bytes envelope = ReadAll(Path("env"));
    ASSERT_GT(envelope.size(), p.size);
    EXPECT_EQ(envelope[0], 0x30) << "a BER SEQUENCE (ContentInfo)";

    ASSERT_EQ(Decrypt(Path("env"), Path("back")), S_OK);
    EXPECT_TRUE(ReadAll(Path("back")) == data) << "plaintext differs";
}

INSTANTIATE_TEST_SUITE_P(
    AlgorithmsFormsAndSizes, FileEnvelopeRoundTrip,
    ::testing::Values(RoundTrip{NPK_OID_RC4, true, 1}, RoundTrip{NPK_OID_RC4, false, 1},
                      RoundTrip{NPK_OID_DES_EDE3, true, 1}, RoundTrip{NPK_OID_DES_EDE3, false, 1},
                      RoundTrip{NPK_OID_DES_EDE3, false, 8}, RoundTrip{NPK_OID_DES_EDE3, true, kChunk - 1},
                      RoundTrip{NPK_OID_RC4, false, kChunk}, RoundTrip{NPK_OID_DES_EDE3, true, kChunk},
                      RoundTrip{NPK_OID_RC4, true, kChunk + 1}, RoundTrip{NPK_OID_DES_EDE3, false, kChunk + 1},
                      RoundTrip{NPK_OID_DES_EDE3, true, 3 * kChunk + 17}));

TEST_F(FileEnvelopesTest, EmptyPlaintextStillMakesAnEnvelope)
{
    // The agent refuses empty sources; the kernel itself still writes a whole envelope.
    AddRecipient("recipient.cer");
    AddStore("recipient.pfx");
    WriteAll(Path("plain"), {});
    ASSERT_EQ(Encrypt(Path("plain"), Path("env"), NPK_OID_DES_EDE3, false), S_OK);
    ASSERT_EQ(Decrypt(Path("env"), Path("back")), S_OK);
    EXPECT_TRUE(fs::exists(Path("back")));
    EXPECT_EQ(fs::file_size(Path("back")), 0u);
}

TEST_F(FileEnvelopesTest, SecondRecipientOpensWithOnlyItsOwnKey)
{
    AddRecipient("signer.cer");
    AddRecipient("recipient.cer");
    const Bytes data = Pattern(5000);
    WriteAll(Path("plain"), data);
    for (bool keyId : {false, true}) {
        SCOPED_TRACE(keyId ? "key identifier" : "issuer and serial");
        const std::string env = Path(keyId ? "env-kid" : "env-iss");
        const std::string back = Path(keyId ? "back-kid" : "back-iss");
        ASSERT_EQ(Encrypt(Path("plain"), env, NPK_OID_DES_EDE3, keyId), S_OK);
        CloseStoreList(m_stores);
        AddStore("recipient.pfx");
        ASSERT_EQ(Decrypt(env, back), S_OK);
        EXPECT_TRUE(ReadAll(back) == data);
        // The first recipient's key opens it as well.
        CloseStoreList(m_stores);
        AddStore("signer.pfx");
        ASSERT_EQ(Decrypt(env, back + "-a"), S_OK);
        EXPECT_TRUE(ReadAll(back + "-a") == data);
    }
}

TEST_F(FileEnvelopesTest, StoresAreSearchedPastOnesWithoutTheKey)
{
    AddRecipient("recipient.cer");
    WriteAll(Path("plain"), Pattern(100));
    ASSERT_EQ(Encrypt(Path("plain"), Path("env"), NPK_OID_RC4, true), S_OK);
    AddStore("signer.pfx");
    AddStore("nokeyid.pfx");
    AddStore("recipient.pfx");
    ASSERT_EQ(Decrypt(Path("env"), Path("back")), S_OK);
    EXPECT_TRUE(ReadAll(Path("back")) == Pattern(100));
}

TEST_F(FileEnvelopesTest, RecipientWithoutKeyIdentifierWorksOnlyByIssuerAndSerial)
{
    AddRecipient("recipient.cer");
    AddRecipient("nokeyid.cer");
    WriteAll(Path("plain"), Pattern(64));
    EXPECT_EQ(Encrypt(Path("plain"), Path("env-kid"), NPK_OID_DES_EDE3, true), kNoSubjectKeyId);
    EXPECT_FALSE(fs::exists(Path("env-kid"))) << "refused before any file is created";

    ASSERT_EQ(Encrypt(Path("plain"), Path("env"), NPK_OID_DES_EDE3, false), S_OK);
    AddStore("nokeyid.pfx");
    ASSERT_EQ(Decrypt(Path("env"), Path("back")), S_OK);
    EXPECT_TRUE(ReadAll(Path("back")) == Pattern(64));
}

TEST_F(FileEnvelopesTest, AlgorithmMustMatchExactly)
{
    AddRecipient("recipient.cer");
    WriteAll(Path("plain"), Pattern(10));
    for (const char* alg : {"1.2.840.113549.3.7 ", "1.2.840.113549.3.71", "1.2.840.113549.3", "", "3DES"}) {
        SCOPED_TRACE(alg);
        EXPECT_EQ(Encrypt(Path("plain"), Path("env"), alg, false), CRYPT_E_UNKNOWN_ALGO);
        EXPECT_FALSE(fs::exists(Path("env")));
    }
    EXPECT_EQ(Encrypt(Path("plain"), Path("env"), nullptr, false), E_INVALIDARG);
    EXPECT_FALSE(fs::exists(Path("env")));
}

TEST_F(FileEnvelopesTest, NoRecipientIsRefusedBeforeAnyFileExists)
{
    WriteAll(Path("plain"), Pattern(10));
    EXPECT_EQ(Encrypt(Path("plain"), Path("env"), NPK_OID_RC4, false), E_INVALIDARG);
    EXPECT_FALSE(fs::exists(Path("env")));
}

TEST_F(FileEnvelopesTest, ExistingOutputFilesAreNeverTouched)
{
    AddRecipient("recipient.cer");
    AddStore("recipient.pfx");
    WriteAll(Path("plain"), Pattern(300));
    const Bytes precious = Pattern(77);
    WriteAll(Path("taken"), precious);

    EXPECT_EQ(Encrypt(Path("plain"), Path("taken"), NPK_OID_DES_EDE3, true), kFileExists);
    EXPECT_TRUE(ReadAll(Path("taken")) == precious);

    ASSERT_EQ(Encrypt(Path("plain"), Path("env"), NPK_OID_DES_EDE3, true), S_OK);
    EXPECT_EQ(Decrypt(Path("env"), Path("taken")), kFileExists);
    EXPECT_TRUE(ReadAll(Path("taken")) == precious);
}

TEST_F(FileEnvelopesTest, FailedEncryptionLeavesNoEnvelope)
{
    AddRecipient("recipient.cer");
    // The plaintext is opened only after the envelope file was created.
    EXPECT_EQ(Encrypt(Path("missing"), Path("env"), NPK_OID_RC4, false), kFileNotFound);
    EXPECT_FALSE(fs::exists(Path("env")));
}

TEST_F(FileEnvelopesTest, FailedDecryptionLeavesNoPlaintext)
{
    AddRecipient("recipient.cer");
    AddStore("recipient.pfx");
    const Bytes data = Pattern(kChunk + 4096);
    WriteAll(Path("plain"), data);
    ASSERT_EQ(Encrypt(Path("plain"), Path("env"), NPK_OID_DES_EDE3, false), S_OK);
    const Bytes envelope = ReadAll(Path("env"));

    // Cut inside the encrypted content, after more than one chunk of plaintext was written.
    Bytes truncated(envelope.begin(), envelope.begin() + static_cast<long>(envelope.size() - 2000));
    WriteAll(Path("truncated"), truncated);
    EXPECT_TRUE(FAILED(Decrypt(Path("truncated"), Path("out-truncated"))));
    EXPECT_FALSE(fs::exists(Path("out-truncated")));

    // The last cipher block damaged: the padding no longer checks out.
    Bytes corrupted = envelope;
    size_t lastBlock = envelope.size() - 1;
    while (lastBlock > 0 && corrupted[lastBlock] == 0) --lastBlock;  // skip the end-of-contents octets
    corrupted[lastBlock - 8] ^= 0x5A;
    WriteAll(Path("corrupted"), corrupted);
    EXPECT_TRUE(FAILED(Decrypt(Path("corrupted"), Path("out-corrupted"))));
    EXPECT_FALSE(fs::exists(Path("out-corrupted")));

    // Not an envelope at all.
    WriteAll(Path("garbage"), Pattern(9000));
    EXPECT_TRUE(FAILED(Decrypt(Path("garbage"), Path("out-garbage"))));
    EXPECT_FALSE(fs::exists(Path("out-garbage")));

    EXPECT_EQ(Decrypt(Path("missing"), Path("out-missing")), kFileNotFound);
    EXPECT_FALSE(fs::exists(Path("out-missing")));
}

TEST_F(FileEnvelopesTest, WrongKeyOrNoStoreSaysNoDecryptionCertificate)
{
    AddRecipient("recipient.cer");
    WriteAll(Path("plain"), Pattern(1000));
    ASSERT_EQ(Encrypt(Path("plain"), Path("env"), NPK_OID_RC4, true), S_OK);

    EXPECT_EQ(Decrypt(Path("env"), Path("out-none")), CRYPT_E_NO_DECRYPT_CERT);
    EXPECT_FALSE(fs::exists(Path("out-none")));

    AddStore("signer.pfx");
    AddStore("nokeyid.pfx");
    EXPECT_EQ(Decrypt(Path("env"), Path("out-wrong")), CRYPT_E_NO_DECRYPT_CERT);
    EXPECT_FALSE(fs::exists(Path("out-wrong")));
}

// A write refused by the file system (here: over the process's file-size limit) fails the
// operation and removes what was written.
TEST_F(FileEnvelopesTest, WriteFailureFailsAndRemovesTheOutput)
{
    AddRecipient("recipient.cer");
    AddStore("recipient.pfx");
    const Bytes data = Pattern(2 * kChunk);
    WriteAll(Path("plain"), data);
    ASSERT_EQ(Encrypt(Path("plain"), Path("env"), NPK_OID_RC4, false), S_OK);

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 1024 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    HRESULT hrEncrypt = Encrypt(Path("plain"), Path("env-big"), NPK_OID_RC4, false);
    HRESULT hrDecrypt = Decrypt(Path("env"), Path("back-big"));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);

    EXPECT_TRUE(FAILED(hrEncrypt)) << std::hex << hrEncrypt;
    EXPECT_FALSE(fs::exists(Path("env-big")));
    EXPECT_TRUE(FAILED(hrDecrypt)) << std::hex << hrDecrypt;
    EXPECT_FALSE(fs::exists(Path("back-big")));
}

TEST_F(FileEnvelopesTest, OutputCallbackAppendsOrRefuses)
{
    const std::string path = Path("out");
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    BYTE abc[] = {'a', 'b', 'c'};
    EXPECT_TRUE(CmsgStreamOutputCallback(h, abc, 3, FALSE));
    EXPECT_TRUE(CmsgStreamOutputCallback(h, abc, 2, TRUE));
    EXPECT_TRUE(CmsgStreamOutputCallback(h, nullptr, 5, FALSE)) << "nothing to write is not a failure";
    EXPECT_TRUE(CmsgStreamOutputCallback(h, abc, 0, FALSE));
    EXPECT_FALSE(CmsgStreamOutputCallback(nullptr, abc, 3, FALSE));
    CloseHandle(h);
    EXPECT_TRUE(ReadAll(path) == (Bytes{'a', 'b', 'c', 'a', 'b'}));

    HANDLE hReadOnly = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(hReadOnly, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(CmsgStreamOutputCallback(hReadOnly, abc, 3, FALSE));
    CloseHandle(hReadOnly);
}

TEST_F(FileEnvelopesTest, RecipientLookupByEitherIdentifier)
{
    AddStore("signer.pfx");
    AddStore("recipient.pfx");
    Bytes der = ReadAll(Fixture("recipient.cer"));
    PCCERT_CONTEXT pBob = certtest::Create(der);
    ASSERT_NE(pBob, nullptr);

    BYTE* pbKeyId = nullptr;
    DWORD cbKeyId = 0;
    ASSERT_EQ(GetCertSubjectKeyID(pBob, &pbKeyId, &cbKeyId), S_OK);

    CMSG_KEY_TRANS_RECIPIENT_INFO keyTrans{};
    CMSG_CMS_RECIPIENT_INFO info{};
    info.dwRecipientChoice = CMSG_KEY_TRANS_RECIPIENT;
    info.pKeyTrans = &keyTrans;

    for (int kind = 0; kind < 2; ++kind) {
        SCOPED_TRACE(kind == 0 ? "issuer and serial" : "key identifier");
        if (kind == 0) {
            keyTrans.RecipientId.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
            keyTrans.RecipientId.IssuerSerialNumber.Issuer = pBob->pCertInfo->Issuer;
            keyTrans.RecipientId.IssuerSerialNumber.SerialNumber = pBob->pCertInfo->SerialNumber;
        } else {
            keyTrans.RecipientId.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
            keyTrans.RecipientId.KeyId.cbData = cbKeyId;
            keyTrans.RecipientId.KeyId.pbData = pbKeyId;
        }
        PCCERT_CONTEXT pFound = nullptr;
        HCRYPTPROV hProv = 0;
        DWORD dwKeySpec = 0;
        BOOL fFree = FALSE;
        ASSERT_EQ(GetCertofRecipient(&info, m_stores, &pFound, &hProv, &dwKeySpec, &fFree), S_OK);
        ASSERT_NE(pFound, nullptr);
        EXPECT_TRUE(Bytes(pFound->pbCertEncoded, pFound->pbCertEncoded + pFound->cbCertEncoded) == der);
        EXPECT_NE(hProv, 0u);
        EXPECT_NE(dwKeySpec, 0u);
        if (fFree) CryptReleaseContext(hProv, 0);
        CertFreeCertificateContext(pFound);
    }

    // A key identifier nobody has, and a recipient that is not key transport.
    BYTE other[] = {1, 2, 3, 4};
    keyTrans.RecipientId.KeyId.cbData = sizeof(other);
    keyTrans.RecipientId.KeyId.pbData = other;
    PCCERT_CONTEXT pFound = reinterpret_cast<PCCERT_CONTEXT>(&info);  // must be cleared
    HCRYPTPROV hProv = 1;
    DWORD dwKeySpec = 0;
    EXPECT_EQ(GetCertofRecipient(&info, m_stores, &pFound, &hProv, &dwKeySpec), E_FAIL);
    EXPECT_EQ(pFound, nullptr);
    EXPECT_EQ(hProv, 0u);
    info.dwRecipientChoice = CMSG_KEY_AGREE_RECIPIENT;
    EXPECT_EQ(GetCertofRecipient(&info, m_stores, &pFound, &hProv, &dwKeySpec), E_FAIL);

    delete[] pbKeyId;
    CertFreeCertificateContext(pBob);
}

// The general operation: any envelope type other than 2 is the PKCS#7 form, and an algorithm
// outside the two is refused with a clear code before a file exists.
TEST_F(FileEnvelopesTest, GeneralOperationTypesAndAlgorithms)
{
    CCryptoAgent agent;
    BSTR cer = SysAllocString(Wide(Fixture("nokeyid.cer")).c_str());
    BSTR subject = nullptr;
    ASSERT_EQ(agent.SelectEncryptCertificateByCERFile(cer, &subject), S_OK);
    SysFreeString(subject);
    SysFreeString(cer);
    WriteAll(Path("plain"), Pattern(33));
    BSTR src = SysAllocString(Wide(Path("plain")).c_str());
    BSTR des3 = SysAllocString(Wide(NPK_OID_DES_EDE3).c_str());
    BSTR unknown = SysAllocString(Wide("1.2.840.113549.3.2").c_str());
    struct Case {
        int type;
        BSTR algorithm;
        HRESULT expected;
    } cases[] = {{2, des3, kNoSubjectKeyId}, {1, des3, S_OK}, {0, des3, S_OK}, {7, des3, S_OK},
                 {-1, des3, S_OK}, {1, unknown, CRYPT_E_UNKNOWN_ALGO}};
    int n = 0;
    for (const Case& c : cases) {
        const std::string out = Path("env" + std::to_string(++n));
        BSTR dst = SysAllocString(Wide(out).c_str());
        EXPECT_EQ(agent.EncryptFileW(src, dst, c.type, c.algorithm), c.expected) << "type " << c.type;
        EXPECT_EQ(agent.LastError(), c.expected);
        EXPECT_EQ(fs::exists(out), c.expected == S_OK) << "type " << c.type;
        SysFreeString(dst);
    }
    SysFreeString(unknown);
    SysFreeString(des3);
    SysFreeString(src);
}

}  // namespace
