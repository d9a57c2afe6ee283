// Key containers: creation, opening, deletion, persistence, file permissions and the
// internal interface the certificate code links keys through.
#include <windows.h>
#include <wincrypt.h>

#include "advapi32/CryptKeyContainers.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

class CryptKeyContainers : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/npk-keys-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        for (const char* v : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"})
            setenv(v, (m_root + "/" + v).c_str(), 1);
        m_dir = m_root + "/XDG_DATA_HOME/npkeystrand/Crypto";
    }
    void TearDown() override { fs::remove_all(m_root); }

    BOOL Acquire(HCRYPTPROV* prov, LPCWSTR name, DWORD flags)
    {
        return CryptAcquireContextW(prov, name, MS_ENHANCED_PROV_W, PROV_RSA_FULL, flags);
    }

    std::vector<fs::path> Files() const
    {
        std::vector<fs::path> out;
        if (fs::exists(m_dir))
            for (const auto& e : fs::directory_iterator(m_dir))
                if (e.is_regular_file())
                    out.push_back(e.path());
        return out;
    }

    std::string m_root;
    std::string m_dir;
};

unsigned Mode(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0xFFFF;
}

TEST_F(CryptKeyContainers, NewOpenExistsDelete)
{
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(Acquire(&prov, TEXT("alpha"), 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_KEYSET);
    EXPECT_EQ(prov, 0u);

    ASSERT_TRUE(Acquire(&prov, TEXT("alpha"), CRYPT_NEWKEYSET));
    DWORD size = 0;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, nullptr, &size, 0));
    std::string name(size, '\0');
    ASSERT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name.data()), &size, 0));
    EXPECT_STREQ(name.c_str(), "alpha");
    CryptReleaseContext(prov, 0);

    HCRYPTPROV again = 0;
    EXPECT_FALSE(Acquire(&again, TEXT("alpha"), CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_EXISTS);
    // Names meet without regard to case, across providers of the RSA family.
    ASSERT_TRUE(CryptAcquireContextW(&again, TEXT("ALPHA"), nullptr, PROV_RSA_AES, 0));
    CryptReleaseContext(again, 0);

    ASSERT_TRUE(Acquire(&again, TEXT("alpha"), CRYPT_DELETEKEYSET));
    EXPECT_EQ(again, 0u);
    EXPECT_FALSE(Acquire(&again, TEXT("alpha"), 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_KEYSET);
    EXPECT_FALSE(Acquire(&again, TEXT("alpha"), CRYPT_DELETEKEYSET));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_KEYSET);
    EXPECT_TRUE(Files().empty());
}

TEST_F(CryptKeyContainers, KeysPersistAcrossAFreshOpen)
{
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(Acquire(&prov, TEXT("persist"), CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, 1024u << 16, &key));
    DWORD size = 0;
    ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size));
    std::vector<BYTE> exported(size);
    ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, exported.data(), &size));
    CryptDestroyKey(key);
    HCRYPTKEY none = 0;
    EXPECT_FALSE(CryptGetUserKey(prov, AT_SIGNATURE, &none));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_NO_KEY);
    CryptReleaseContext(prov, 0);

    ASSERT_TRUE(Acquire(&prov, TEXT("persist"), 0));
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
    DWORD bits = 0;
    size = sizeof bits;
    ASSERT_TRUE(CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0));
    EXPECT_EQ(bits, 1024u);
    size = 0;
    ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size));
    std::vector<BYTE> reread(size);
    ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, reread.data(), &size));
    EXPECT_EQ(reread, exported);

    // The reopened private key signs, and the signature verifies with its public key.
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
    BYTE sig[128];
    size = sizeof sig;
    ASSERT_TRUE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, sig, &size));
    CryptDestroyHash(hash);
    ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
    EXPECT_TRUE(CryptVerifySignatureW(hash, sig, size, key, nullptr, 0));
    CryptDestroyHash(hash);
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

TEST_F(CryptKeyContainers, FilesAreTheUsersAloneAndWrittenWithoutLeftovers)
{
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(Acquire(&prov, TEXT("private"), CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 1024u << 16, &key));
    // A second key replaces the first, through a second atomic write.
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 1024u << 16, &key));
    CryptReleaseContext(prov, 0);

    EXPECT_EQ(Mode(m_dir), 0700u);
    std::vector<fs::path> files = Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(Mode(files[0].string()), 0600u);
    for (const auto& e : fs::directory_iterator(m_dir))
        EXPECT_NE(e.path().filename().string().rfind(".tmp", 0), 0u) << e.path();
    CryptDestroyKey(key);
}

TEST_F(CryptKeyContainers, GenKeyChecksAlgorithmAndLength)
{
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(Acquire(&prov, TEXT("gen"), CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    EXPECT_FALSE(CryptGenKey(prov, CALG_SHA1, 0, &key));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_ALGID);
    EXPECT_FALSE(CryptGenKey(prov, AT_SIGNATURE, 1001u << 16, &key));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_FLAGS);
    EXPECT_FALSE(CryptGenKey(prov, AT_SIGNATURE, 256u << 16, &key));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_FLAGS);
    // The default length of the enhanced provider.
    ASSERT_TRUE(CryptGenKey(prov, CALG_RSA_SIGN, 0, &key));
    DWORD value = 0, size = sizeof value;
    ASSERT_TRUE(CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&value), &size, 0));
    EXPECT_EQ(value, 1024u);
    size = sizeof value;
    ASSERT_TRUE(CryptGetKeyParam(key, KP_ALGID, reinterpret_cast<BYTE*>(&value), &size, 0));
    EXPECT_EQ(value, (DWORD)CALG_RSA_SIGN);
    EXPECT_TRUE(CryptDestroyKey(key));
    EXPECT_FALSE(CryptDestroyKey(key));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_KEY);
    CryptReleaseContext(prov, 0);
}

TEST_F(CryptKeyContainers, EnumeratesContainersAndDefaultName)
{
    HCRYPTPROV prov = 0;
    for (LPCWSTR name : {TEXT("one"), TEXT("two")}) {
        ASSERT_TRUE(Acquire(&prov, name, CRYPT_NEWKEYSET));
        CryptReleaseContext(prov, 0);
    }
    // No name means the user's default container.
    ASSERT_TRUE(Acquire(&prov, nullptr, CRYPT_NEWKEYSET));
    DWORD size = 0;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, nullptr, &size, 0));
    std::string defaultName(size, '\0');
    ASSERT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(defaultName.data()), &size, 0));
    defaultName.resize(size - 1);
    EXPECT_EQ(defaultName, NpkDefaultContainerName());

    std::set<std::string> seen;
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        char buffer[256];
        DWORD len = sizeof buffer;
        if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer), &len, flags)) {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);
            break;
        }
        seen.insert(buffer);
        flags = 0;
    }
    EXPECT_EQ(seen, (std::set<std::string>{"one", "two", defaultName}));
    CryptReleaseContext(prov, 0);
}

TEST_F(CryptKeyContainers, MemoryContainersAreNeverWritten)
{
    EVP_PKEY* key = EVP_RSA_gen(1024);
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(NpkStoreKeyInContainer(TEXT("pfx-memory"), MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                                       AT_KEYEXCHANGE, key, false));
    EXPECT_TRUE(Files().empty());

    EVP_PKEY* found = NpkFindKeyInContainer(TEXT("PFX-Memory"), AT_KEYEXCHANGE, false);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(EVP_PKEY_eq(found, key), 1);
    EVP_PKEY_free(found);
    EXPECT_EQ(NpkFindKeyInContainer(TEXT("pfx-memory"), AT_SIGNATURE, false), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)NTE_NO_KEY);
    EXPECT_EQ(NpkFindKeyInContainer(TEXT("nothing"), AT_SIGNATURE, false), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_KEYSET);

    HCRYPTPROV prov = 0;
    ASSERT_TRUE(Acquire(&prov, TEXT("pfx-memory"), 0));
    HCRYPTKEY handle = 0;
    EXPECT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &handle));
    CryptDestroyKey(handle);
    CryptReleaseContext(prov, 0);
    // Creating over it is refused, deleting it removes it.
    EXPECT_FALSE(Acquire(&prov, TEXT("pfx-memory"), CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_EXISTS);
    EXPECT_TRUE(Acquire(&prov, TEXT("pfx-memory"), CRYPT_DELETEKEYSET));
    EXPECT_FALSE(Acquire(&prov, TEXT("pfx-memory"), 0));

    EXPECT_FALSE(NpkStoreKeyInContainer(TEXT("x"), TEXT("Nope"), PROV_RSA_FULL, AT_KEYEXCHANGE, key, false));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_KEYSET_NOT_DEF);
    EXPECT_FALSE(NpkStoreKeyInContainer(TEXT("x"), MS_ENHANCED_PROV_W, PROV_RSA_AES, AT_KEYEXCHANGE, key, false));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_PROV_TYPE_NO_MATCH);
    EVP_PKEY_free(key);
}

TEST_F(CryptKeyContainers, PersistentStoreThroughTheInternalInterface)
{
    EVP_PKEY* key = EVP_RSA_gen(1024);
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(NpkStoreKeyInContainer(TEXT("{0F1E2D3C-imported}"), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                       AT_KEYEXCHANGE, key, true));
    ASSERT_EQ(Files().size(), 1u);
    EVP_PKEY* found = NpkFindKeyInContainer(TEXT("{0F1E2D3C-imported}"), AT_KEYEXCHANGE, false);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(EVP_PKEY_eq(found, key), 1);
    EVP_PKEY_free(found);
    EVP_PKEY_free(key);
}

// A container on disk is read once while its file stays as it is, so the key OpenSSL prepared
// for signing is kept; a file written over in place by anyone is read again.
TEST_F(CryptKeyContainers, DiskContainerIsReadAgainOnlyWhenItsFileChanges)
{
    EVP_PKEY* first = EVP_RSA_gen(1024);
    EVP_PKEY* second = EVP_RSA_gen(1024);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    const fs::path savedFirst = m_root + "/first.key", savedSecond = m_root + "/second.key";
    ASSERT_TRUE(NpkStoreKeyInContainer(TEXT("kept"), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, AT_SIGNATURE, first, true));
    ASSERT_EQ(Files().size(), 1u);
    fs::copy_file(Files()[0], savedFirst);
    ASSERT_TRUE(NpkStoreKeyInContainer(TEXT("kept"), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, AT_SIGNATURE, second, true));
    const fs::path file = Files()[0];
    fs::copy_file(file, savedSecond);

    // Freshly written files are read on every open; one written an hour ago is kept.
    EVP_PKEY* fresh = NpkFindKeyInContainer(TEXT("kept"), AT_SIGNATURE, false);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(EVP_PKEY_eq(fresh, second), 1);
    EVP_PKEY_free(fresh);
    fs::copy_file(savedFirst, file, fs::copy_options::overwrite_existing);
    fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(1));
    EVP_PKEY* a = NpkFindKeyInContainer(TEXT("kept"), AT_SIGNATURE, false);
    EVP_PKEY* b = NpkFindKeyInContainer(TEXT("KEPT"), AT_SIGNATURE, false);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);  // the same key object, not decoded again
    EXPECT_EQ(EVP_PKEY_eq(a, first), 1);
    EVP_PKEY_free(a);
    EVP_PKEY_free(b);

    // Written over in place (same file): the other key.
    fs::copy_file(savedSecond, file, fs::copy_options::overwrite_existing);
    EVP_PKEY* c = NpkFindKeyInContainer(TEXT("kept"), AT_SIGNATURE, false);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(EVP_PKEY_eq(c, second), 1);
    EVP_PKEY_free(c);

    // Deleted: gone, also for the next open.
    EXPECT_EQ(NpkDeleteKeyContainer("kept", false), 0u);
    EXPECT_EQ(NpkFindKeyInContainer(TEXT("kept"), AT_SIGNATURE, false), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_KEYSET);
    EVP_PKEY_free(first);
    EVP_PKEY_free(second);
}

TEST_F(CryptKeyContainers, DamagedFileIsReportedNotTrusted)
{
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(Acquire(&prov, TEXT("damaged"), CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 1024u << 16, &key));
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    std::vector<fs::path> files = Files();
    ASSERT_EQ(files.size(), 1u);
    fs::resize_file(files[0], fs::file_size(files[0]) / 2);
    EXPECT_FALSE(Acquire(&prov, TEXT("damaged"), 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_KEYSET_ENTRY_BAD);
    // It can still be deleted.
    EXPECT_TRUE(Acquire(&prov, TEXT("damaged"), CRYPT_DELETEKEYSET));
}

TEST_F(CryptKeyContainers, MachineKeySetIsSeparate)
{
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(Acquire(&prov, TEXT("shared"), CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET));
    CryptReleaseContext(prov, 0);
    EXPECT_FALSE(Acquire(&prov, TEXT("shared"), 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_KEYSET);
    ASSERT_TRUE(Acquire(&prov, TEXT("shared"), CRYPT_MACHINE_KEYSET));
    CryptReleaseContext(prov, 0);
    EXPECT_EQ(Mode(m_dir + "/Machine"), 0700u);
}

} // namespace
