// The current user's system stores: files on disk, read-only opening, persistence of
// properties, atomic writes seen from another process.
#include "CertTestSupport.h"

#include <cstring>
#include <fstream>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace certtest;
namespace fs = std::filesystem;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

class SystemStores : public IsolatedHome {
protected:
    HCERTSTORE Open(LPCWSTR name, DWORD extra = 0)
    {
        return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEnc, 0, CERT_SYSTEM_STORE_CURRENT_USER | extra, name);
    }
    std::vector<Bytes> Listed(HCERTSTORE store)
    {
        std::vector<Bytes> out;
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr)
            out.emplace_back(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded);
        return out;
    }
    void AddTo(LPCWSTR name, const Bytes& der)
    {
        HCERTSTORE store = Open(name);
        ASSERT_NE(store, nullptr);
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEnc, der.data(), static_cast<DWORD>(der.size()),
                                                     CERT_STORE_ADD_NEW, nullptr))
            << std::hex << GetLastError();
        CertCloseStore(store, 0);
    }
    std::set<std::string> FileNames(const std::string& dir)
    {
        std::set<std::string> out;
        if (fs::exists(dir))
            for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
        return out;
    }
};

Bytes Cert(const char* subject, BYTE serial)
{
    CertSpec spec;
    spec.subject = subject;
    spec.serial = {serial};
    return MakeCertificate(spec);
}

TEST_F(SystemStores, NeverWrittenStoreOpensEmptyAndReadOnlyCreatesNothing)
{
    HCERTSTORE store = Open(TEXT("MY"), CERT_STORE_READONLY_FLAG);
    ASSERT_NE(store, nullptr) << std::hex << GetLastError();
    SetLastError(0);
    EXPECT_EQ(CertEnumCertificatesInStore(store, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    EXPECT_TRUE(CertCloseStore(store, 0));
    EXPECT_FALSE(fs::exists(m_root + "/XDG_DATA_HOME"));

    // A writable store that is only read writes nothing either.
    store = Open(TEXT("ADDRESSBOOK"));
    ASSERT_NE(store, nullptr);
    EXPECT_TRUE(Listed(store).empty());
    CertCloseStore(store, 0);
    EXPECT_FALSE(fs::exists(m_stores));

    SetLastError(0);
    EXPECT_EQ(Open(TEXT("CA"), CERT_STORE_OPEN_EXISTING_FLAG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SystemStores, AddThenReopenFindsItWithItsKeyProvInfo)
{
    Bytes der = Cert("Persisted", 7);
    HCERTSTORE store = Open(TEXT("my"));
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT ctx = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEnc, der.data(), static_cast<DWORD>(der.size()),
                                                 CERT_STORE_ADD_NEW, &ctx));
    std::basic_string<WCHAR> container = TEXT("{11111111-2222-4333-8444-555555555555}");
    std::basic_string<WCHAR> provider = MS_ENH_RSA_AES_PROV_W;
    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_AES, 0, 0, nullptr, AT_KEYEXCHANGE};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    CertFreeCertificateContext(ctx);
    CertCloseStore(store, 0);

    // Store names do not depend on case; the file is named by the thumbprint.
    std::string dir = m_stores + "/MY";
    std::string thumb = Hex(Sha1(der));
    std::set<std::string> files = FileNames(dir);
    EXPECT_TRUE(files.count(thumb + ".cer")) << thumb;
    for (const std::string& f : files) EXPECT_NE(f.rfind(".tmp", 0), 0u) << "temporary file left: " << f;
    std::ifstream cer(dir + "/" + thumb + ".cer", std::ios::binary);
    Bytes onDisk((std::istreambuf_iterator<char>(cer)), std::istreambuf_iterator<char>());
    EXPECT_EQ(onDisk, der);
    struct stat st{};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((m_root + "/XDG_DATA_HOME/npkeystrand").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    store = Open(TEXT("MY"), CERT_STORE_READONLY_FLAG);
    ASSERT_NE(store, nullptr);
    Bytes hash = Sha1(der);
    CRYPT_HASH_BLOB blob{20, hash.data()};
    ctx = CertFindCertificateInStore(store, kEnc, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
    ASSERT_NE(ctx, nullptr);
    std::vector<BYTE> block(512);
    DWORD cb = static_cast<DWORD>(block.size());
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, block.data(), &cb));
    const CRYPT_KEY_PROV_INFO* out = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(block.data());
    EXPECT_EQ(std::basic_string<WCHAR>(out->pwszContainerName), container);
    EXPECT_EQ(std::basic_string<WCHAR>(out->pwszProvName), provider);
    EXPECT_EQ(out->dwProvType, static_cast<DWORD>(PROV_RSA_AES));
    EXPECT_EQ(out->dwKeySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
    CertFreeCertificateContext(ctx);
    CertCloseStore(store, 0);
}

TEST_F(SystemStores, ReadOnlyStoreRefusesWrites)
{
    Bytes der = Cert("Existing", 1);
    AddTo(TEXT("ROOT"), der);
    std::set<std::string> before = FileNames(m_stores + "/ROOT");

    HCERTSTORE store = Open(TEXT("ROOT"), CERT_STORE_READONLY_FLAG);
    ASSERT_NE(store, nullptr);
    Bytes other = Cert("Other", 2);
    SetLastError(0);
    EXPECT_FALSE(CertAddEncodedCertificateToStore(store, kEnc, other.data(), static_cast<DWORD>(other.size()),
                                                  CERT_STORE_ADD_ALWAYS, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(HRESULT_FROM_WIN32(GetLastError()), E_ACCESSDENIED);

    PCCERT_CONTEXT ctx = CertEnumCertificatesInStore(store, nullptr);
    ASSERT_NE(ctx, nullptr);
    CRYPT_DATA_BLOB name{4, reinterpret_cast<BYTE*>(const_cast<char*>("abcd"))};
    EXPECT_FALSE(CertSetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, 0, &name));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetLastError(0);
    EXPECT_FALSE(CertDeleteCertificateFromStore(ctx));  // frees ctx all the same
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Listed(store).size(), 1u);
    EXPECT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
    EXPECT_EQ(FileNames(m_stores + "/ROOT"), before);
}

TEST_F(SystemStores, OrderSurvivesReopenAndDeleteRemovesFiles)
{
    Bytes a = Cert("A", 1), b = Cert("B", 2), c = Cert("C", 3);
    AddTo(TEXT("CA"), c);
    AddTo(TEXT("CA"), a);
    AddTo(TEXT("CA"), b);
    HCERTSTORE store = Open(TEXT("CA"));
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(Listed(store), (std::vector<Bytes>{c, a, b}));

    Bytes hash = Sha1(a);
    CRYPT_HASH_BLOB blob{20, hash.data()};
    PCCERT_CONTEXT ctx = CertFindCertificateInStore(store, kEnc, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
    ASSERT_NE(ctx, nullptr);
    EXPECT_TRUE(CertDeleteCertificateFromStore(ctx));
    // Adding a duplicate to a file store replaces it rather than listing it twice.
    EXPECT_TRUE(CertAddEncodedCertificateToStore(store, kEnc, c.data(), static_cast<DWORD>(c.size()),
                                                 CERT_STORE_ADD_ALWAYS, nullptr));
    EXPECT_EQ(Listed(store).size(), 2u);
    CertCloseStore(store, 0);

    EXPECT_FALSE(fs::exists(m_stores + "/CA/" + Hex(Sha1(a)) + ".cer"));
    store = Open(TEXT("CA"), CERT_STORE_READONLY_FLAG);
    EXPECT_EQ(Listed(store), (std::vector<Bytes>{c, b}));
    CertCloseStore(store, 0);

    store = Open(TEXT("CA"));
    PCCERT_CONTEXT each = nullptr;
    while ((each = CertEnumCertificatesInStore(store, each)) != nullptr)
        EXPECT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(each)));
    CertCloseStore(store, 0);
    std::set<std::string> left = FileNames(m_stores + "/CA");
    for (const std::string& f : left) EXPECT_EQ(f, "index");
}

TEST_F(SystemStores, DamagedOrForeignFilesAreSkipped)
{
    Bytes a = Cert("A", 1), b = Cert("B", 2);
    AddTo(TEXT("MY"), a);
    std::string dir = m_stores + "/MY";
    // A certificate under the wrong name and a truncated one are not trusted.
    std::string wrongName = Hex(Sha1(a));
    wrongName[0] = wrongName[0] == '0' ? '1' : '0';  // never a's own file
    std::ofstream(dir + "/" + wrongName + ".cer", std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    std::ofstream(dir + "/" + Hex(Sha1(b)) + ".cer", std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size() / 2));
    std::ofstream(dir + "/" + Hex(Sha1(a)) + ".prop", std::ios::binary) << "garbage";
    HCERTSTORE store = Open(TEXT("MY"), CERT_STORE_READONLY_FLAG);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(Listed(store), (std::vector<Bytes>{a}));
    CertCloseStore(store, 0);
}

TEST_F(SystemStores, AnotherProcessSeesNothingOrTheWholeCertificate)
{
    std::vector<Bytes> certs;
    for (int i = 1; i <= 60; ++i) certs.push_back(Cert("Many", static_cast<BYTE>(i)));
    std::string dir = m_stores + "/MY";
    std::set<std::string> known;
    for (const Bytes& c : certs) known.insert(Hex(Sha1(c)) + ".cer");

    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Reads every certificate file as fast as it can until the writer is done: each must
        // be one whole certificate, the one its name says.
        close(ready[0]);
        close(done[1]);
        fcntl(done[0], F_SETFL, O_NONBLOCK);
        ssize_t ignored = write(ready[1], "x", 1);
        (void)ignored;
        int bad = 0;
        char c;
        while (bad == 0 && read(done[0], &c, 1) < 0) {
            DIR* d = opendir(dir.c_str());
            if (d == nullptr) continue;
            while (struct dirent* e = readdir(d)) {
                std::string name = e->d_name;
                if (name.size() < 4 || name.compare(name.size() - 4, 4, ".cer") != 0) continue;
                Bytes content;
                int fd = open((dir + "/" + name).c_str(), O_RDONLY);
                if (fd < 0) continue;  // removed meanwhile
                BYTE buffer[4096];
                ssize_t n;
                while ((n = read(fd, buffer, sizeof(buffer))) > 0) content.insert(content.end(), buffer, buffer + n);
                close(fd);
                if (!known.count(name) || Hex(Sha1(content)) + ".cer" != name) bad = 1;
            }
            closedir(d);
        }
        _exit(bad);
    }
    close(ready[1]);
    close(done[0]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    for (const Bytes& cert : certs) AddTo(TEXT("MY"), cert);
    close(done[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a reader saw a partial certificate";
    for (const std::string& f : FileNames(dir)) EXPECT_NE(f.rfind(".tmp", 0), 0u) << f;
    HCERTSTORE store = Open(TEXT("MY"), CERT_STORE_READONLY_FLAG);
    EXPECT_EQ(Listed(store), certs);
    CertCloseStore(store, 0);
}

TEST_F(SystemStores, BadNamesAndLocationsAreRefused)
{
    for (LPCWSTR name : {TEXT(""), TEXT(".."), TEXT("a/b"), TEXT("a\\b")}) {
        SetLastError(0);
        EXPECT_EQ(Open(name), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    }
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEnc, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("MY")), nullptr);
    EXPECT_EQ(Open(nullptr), nullptr);
    EXPECT_FALSE(fs::exists(m_stores));
}

}  // namespace
