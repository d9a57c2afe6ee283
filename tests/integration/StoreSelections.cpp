// Pages that choose certificates from the user's stores, with the stores filled by
// `npkeystrand store import/add` in an isolated home and no display: one candidate is taken
// without the picker, none fails and keeps the earlier choice, "MY" and "ADDRESSBOOK" are
// merged for encryption, and several candidates fail at once with a code the page can read.
#include "FixtureData.h"
#include "HostHarness.h"

namespace npk::test {
namespace {

namespace fs = std::filesystem;

const char kSigner[] = "CN=Alice Signer, OU=Signing, O=npKeystrand, C=KR";
const char kRecipient[] = "CN=Bob Recipient, O=npKeystrand, C=KR";

class StoreSelectionPages : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        // Nothing here may need the picker, and when it does it must fail rather than wait.
        Env()["DISPLAY"] = "";
        Env()["WAYLAND_DISPLAY"] = "";
    }

    std::string Fixture(const char* name)
    {
        return FixtureDir() + name;
    }

    void Import(const char* store, const char* pfx)
    {
        HostResult r = Host({"store", "import", store, Fixture(pfx), "--password", "npkeystrand"});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    void Add(const char* store, const char* cer)
    {
        HostResult r = Host({"store", "add", store, Fixture(cer)});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // Runs the calls; each prints "label|outcome|code".
    std::vector<std::string> Run(const std::string& calls)
    {
        HostResult r = Page("function rec(label, f) { print(label + '|' + attempt(f) + '|' + code(plugin)); }\n" + calls);
        EXPECT_EQ(r.status, 0) << r.err;
        return Lines(r.out);
    }
};

TEST_F(StoreSelectionPages, TheOnlyCandidateIsChosenWithoutThePicker)
{
    Import("MY", "signer.pfx");  // with the CA certificate, which cannot sign
    Import("MY", "recipient.pfx");  // a key, but no signing usage
    auto lines = Run("rec('sign', function () { return plugin.SelectSignCertificate('', ''); });\n"
                     "rec('signs', function () { return plugin.VerifyMessageSignature(plugin.SignMessage('m', 'SHA-1')); });\n"
                     "rec('encrypt', function () { return plugin.SelectEncryptCertificate('Bob', ''); });\n");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], std::string("sign|ok:") + kSigner + "|0x00000000");
    EXPECT_EQ(lines[1], "signs|ok:true|0x00000000");
    EXPECT_EQ(lines[2], std::string("encrypt|ok:") + kRecipient + "|0x00000000");
}

TEST_F(StoreSelectionPages, NoCandidateFailsAndTheEarlierChoiceStillSigns)
{
    Import("MY", "signer.pfx");
    auto lines = Run(
        "rec('first', function () { return plugin.SelectSignCertificate('Alice', 'Test CA'); });\n"
        "rec('none', function () { return plugin.SelectSignCertificate('Nobody', ''); });\n"
        "rec('issuer', function () { return plugin.SelectSignCertificate('', 'Other CA'); });\n"
        "var sig = plugin.SignMessage('kept', 'SHA-256');\n"
        "rec('verify', function () { return plugin.VerifyMessageSignature(sig); });\n");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], std::string("first|ok:") + kSigner + "|0x00000000");
    EXPECT_EQ(lines[1], "none|threw:plug-in call SelectSignCertificate failed|0xa0071001");
    EXPECT_EQ(lines[2], "issuer|threw:plug-in call SelectSignCertificate failed|0xa0071001");
    // Signing still works: the certificate chosen first is still there.
    EXPECT_EQ(lines[3], "verify|ok:true|0x00000000");
}

TEST_F(StoreSelectionPages, EncryptionCandidatesMergeMyAndTheAddressBook)
{
    Add("MY", "recipient.cer");
    Add("ADDRESSBOOK", "recipient.cer");
    Add("ADDRESSBOOK", "signer.cer");  // no encipherment usage
    auto lines = Run("rec('encrypt', function () { return plugin.SelectEncryptCertificate('', ''); });\n"
                     "rec('sign', function () { return plugin.SelectSignCertificate('', ''); });\n");
    ASSERT_EQ(lines.size(), 2u);
    // Counted twice, the picker would have been needed here and failed.
    EXPECT_EQ(lines[0], std::string("encrypt|ok:") + kRecipient + "|0x00000000");
    // A certificate file brings no key: there is nothing to sign with.
    EXPECT_EQ(lines[1], "sign|threw:plug-in call SelectSignCertificate failed|0xa0071001");
}

TEST_F(StoreSelectionPages, AnAddressBookCertificateAloneIsChosen)
{
    Add("ADDRESSBOOK", "recipient.cer");
    auto lines = Run("rec('encrypt', function () { return plugin.SelectEncryptCertificate('', ''); });\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::string("encrypt|ok:") + kRecipient + "|0x00000000");
}

TEST_F(StoreSelectionPages, DecryptionStoresAreSelectedFromAnEmptyMy)
{
    auto lines = Run("rec('decrypt', function () { return plugin.SelectDecryptCertificates(); });\n"
                     "rec('again', function () { return plugin.SelectDecryptCertificates(); });\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "decrypt|ok:|0x00000000");
    EXPECT_EQ(lines[1], "again|ok:|0x00000000");
}

TEST_F(StoreSelectionPages, SeveralCandidatesWithoutADisplayFailAtOnceAndKeepTheChoice)
{
    Import("MY", "signer.pfx");
    Import("MY", "nokeyid.pfx");
    auto lines = Run(
        "rec('first', function () { return plugin.SelectSignCertificate('Alice', ''); });\n"
        "rec('several', function () { return plugin.SelectSignCertificate('', ''); });\n"
        "print(JSON.stringify(plugin.GetLastErrorDesc()));\n"
        "rec('verify', function () { return plugin.VerifyMessageSignature(plugin.SignMessage('kept', 'SHA-256')); });\n");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], std::string("first|ok:") + kSigner + "|0x00000000");
    EXPECT_EQ(lines[1], "several|threw:plug-in call SelectSignCertificate failed|0x80070032");
    EXPECT_EQ(lines[2], "\"The request is not supported.\\r\\n\\n(0x80070032)\"");
    EXPECT_EQ(lines[3], "verify|ok:true|0x00000000");
}

}  // namespace
}  // namespace npk::test
