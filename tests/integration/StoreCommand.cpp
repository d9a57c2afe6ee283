// `npkeystrand store ...` run as a program in an isolated home: what it imports into "MY"
// keeps its private key across processes, on disk for the user alone; certificates are added
// from DER and Base64 files, listed and removed by thumbprint; failures say why.
#include "FixtureData.h"
#include "HostHarness.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <iterator>

namespace npk::test {
namespace {

namespace fs = std::filesystem;

fs::path DataDir() { return fs::path(FixtureDir()); }

std::string ThumbprintOf(const char* fixture)
{
    std::ifstream in(DataDir() / fixture, std::ios::binary);
    std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unsigned char hash[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(der.data()), der.size(), hash);
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char c : hash) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

// The lines of `store list` output for one certificate, found by its thumbprint.
std::vector<std::string> Entry(const std::string& out, const std::string& thumbprint)
{
    std::vector<std::string> lines = Lines(out);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == "thumbprint: " + thumbprint && i >= 5 && i + 1 < lines.size())
            return std::vector<std::string>(lines.begin() + static_cast<long>(i - 5), lines.begin() + static_cast<long>(i + 2));
    }
    return {};
}

class StoreCommandTest : public HostTest {
protected:
    HostResult Store(const std::vector<std::string>& args)
    {
        std::vector<std::string> all = {"store"};
        all.insert(all.end(), args.begin(), args.end());
        return Host(all);
    }
    std::string Fixture(const char* name) { return (DataDir() / name).string(); }
    fs::path CryptoDir() { return Dir() / "data" / "npkeystrand" / "Crypto"; }
};

TEST_F(StoreCommandTest, ImportedKeyInMyIsFoundByALaterProcess)
{
    HostResult r = Store({"import", "MY", Fixture("signer.pfx"), "--password", "npkeystrand"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("imported: CN=Alice Signer, OU=Signing, O=npKeystrand, C=KR"), std::string::npos) << r.out;

    // The key is in a container file that only the user can read.
    ASSERT_TRUE(fs::is_directory(CryptoDir()));
    int files = 0;
    for (const auto& e : fs::recursive_directory_iterator(CryptoDir())) {
        if (!e.is_regular_file()) continue;
        ++files;
        struct stat st{};
        ASSERT_EQ(stat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << e.path();
    }
    EXPECT_EQ(files, 1) << "one key, the signer's; the CA has none";

    HostResult list = Store({"list", "MY"});
    ASSERT_EQ(list.status, 0) << list.err;
    std::vector<std::string> signer = Entry(list.out, ThumbprintOf("signer.cer"));
    ASSERT_EQ(signer.size(), 7u) << list.out;
    EXPECT_EQ(signer[0], "subject: CN=Alice Signer, OU=Signing, O=npKeystrand, C=KR");
    EXPECT_EQ(signer[1], "issuer: CN=npKeystrand Test CA, O=npKeystrand, C=KR");
    EXPECT_EQ(signer[2], "serial: 010203");
    EXPECT_EQ(signer[3], "valid from: 2020-01-01 00:00:00 UTC");
    EXPECT_EQ(signer[4], "valid to: 2045-01-01 00:00:00 UTC");
    EXPECT_EQ(signer[6], "private key: yes");
    std::vector<std::string> ca = Entry(list.out, ThumbprintOf("ca.cer"));
    ASSERT_EQ(ca.size(), 7u) << list.out;
    EXPECT_EQ(ca[6], "private key: no");

    // Importing again changes nothing: no second entry, no second key.
    r = Store({"import", "MY", Fixture("signer.pfx"), "--password=npkeystrand"});
    ASSERT_EQ(r.status, 0) << r.err;
    HostResult again = Store({"list", "MY"});
    EXPECT_EQ(again.out, list.out);
    files = 0;
    for (const auto& e : fs::recursive_directory_iterator(CryptoDir())) files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 1);
}

TEST_F(StoreCommandTest, ImportOutsideMyKeepsCertificatesOnly)
{
    HostResult r = Store({"import", "ADDRESSBOOK", Fixture("recipient.pfx"), "--password", "npkeystrand"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(CryptoDir()) && !fs::is_empty(CryptoDir()));
    HostResult list = Store({"list", "ADDRESSBOOK"});
    std::vector<std::string> entry = Entry(list.out, ThumbprintOf("recipient.cer"));
    ASSERT_EQ(entry.size(), 7u) << list.out;
    EXPECT_EQ(entry[6], "private key: no");
}

TEST_F(StoreCommandTest, EmptyPasswordFileImportsWithoutThePasswordOption)
{
    HostResult r = Store({"import", "MY", Fixture("signer-nopass.pfx")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> entry = Entry(Store({"list", "MY"}).out, ThumbprintOf("signer.cer"));
    ASSERT_EQ(entry.size(), 7u);
    EXPECT_EQ(entry[6], "private key: yes");
}

TEST_F(StoreCommandTest, AddTakesDerBase64AndPemAndRemoveTakesAnyCase)
{
    for (const char* file : {"recipient.cer", "recipient.b64", "recipient.pem"}) {
        SCOPED_TRACE(file);
        HostResult r = Store({"add", "ADDRESSBOOK", Fixture(file)});
        ASSERT_EQ(r.status, 0) << r.err;
        HostResult list = Store({"list", "ADDRESSBOOK"});
        std::vector<std::string> entry = Entry(list.out, ThumbprintOf("recipient.cer"));
        ASSERT_EQ(entry.size(), 7u) << list.out;
        EXPECT_EQ(entry[0], "subject: CN=Bob Recipient, O=npKeystrand, C=KR");
        EXPECT_EQ(entry[2], "serial: 0A");
        EXPECT_EQ(Lines(list.out).size(), 7u) << "one certificate, however often it was added";

        std::string thumb = ThumbprintOf("recipient.cer");
        for (char& c : thumb) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        r = Store({"remove", "ADDRESSBOOK", thumb});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Store({"list", "ADDRESSBOOK"}).out, "");
    }
}

TEST_F(StoreCommandTest, ChineseSubjectIsListedAsUtf8)
{
    ASSERT_EQ(Store({"add", "ADDRESSBOOK", Fixture("chinese.cer")}).status, 0);
    std::vector<std::string> entry = Entry(Store({"list", "ADDRESSBOOK"}).out, ThumbprintOf("chinese.cer"));
    ASSERT_EQ(entry.size(), 7u);
    EXPECT_EQ(entry[0], "subject: CN=\xE5\xBC\xA0\xE4\xB8\x89, O=npKeystrand, C=CN");
}

TEST_F(StoreCommandTest, FailuresSayWhyAndExitNonZero)
{
    HostResult r = Store({"import", "MY", Fixture("signer.pfx"), "--password", "wrong"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("password is wrong"), std::string::npos) << r.err;
    EXPECT_EQ(Store({"list", "MY"}).out, "") << "nothing was imported";

    r = Store({"import", "MY", (Dir() / "missing.pfx").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read"), std::string::npos) << r.err;

    r = Store({"import", "MY", Fixture("signer.cer")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("0x8009310b"), std::string::npos) << r.err;

    r = Store({"add", "ADDRESSBOOK", (Dir() / "missing.cer").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read"), std::string::npos) << r.err;

    r = Store({"add", "ADDRESSBOOK", WriteFile("junk.cer", "not a certificate at all!")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("neither a DER nor a Base64"), std::string::npos) << r.err;

    r = Store({"remove", "MY", ThumbprintOf("signer.cer")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no certificate with thumbprint " + ThumbprintOf("signer.cer")), std::string::npos) << r.err;

    r = Store({"remove", "MY", "1234"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("40 hexadecimal digits"), std::string::npos) << r.err;
}

TEST_F(StoreCommandTest, UsageTextForStoreAloneAndForBadCommands)
{
    HostResult r = Store({});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Usage: npkeystrand store"), std::string::npos) << r.err;
    r = Store({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("import STORE FILE.pfx [--password P]"), std::string::npos) << r.out;
    r = Store({"frobnicate", "MY"});
    EXPECT_EQ(r.status, 2);
    r = Store({"list"});
    EXPECT_EQ(r.status, 2);
    r = Store({"import", "MY", Fixture("signer.pfx"), "--password"});
    EXPECT_EQ(r.status, 2);
}

}  // namespace
}  // namespace npk::test
