// Subjects with the attributes Windows names by key (PostalCode, Description, POBox, Phone,
// X21Address, dnQualifier), in a certificate made by the openssl command line: the page shows
// them as Windows does and filters on the same text.
#include "OpenSslPageTest.h"

namespace npk::test {
namespace {

const char kSubject[] =
    "CN=Postal Person, dnQualifier=q7, Phone=5550100, POBox=PO 12, Description=Encryption key, "
    "PostalCode=06236, O=npKeystrand, C=KR";

class PageNamesOpenSsl : public OpenSslPageTest {
protected:
    void SetUp() override
    {
        OpenSslPageTest::SetUp();
        if (IsSkipped()) return;
        Env()["DISPLAY"] = "";  // one candidate needs no picker; more must fail, not wait
        Env()["WAYLAND_DISPLAY"] = "";
        WriteFile("cert.cnf",
                  "[ req ]\ndistinguished_name = dn\nx509_extensions = ext\nprompt = no\n"
                  "[ dn ]\nC = KR\nO = npKeystrand\npostalCode = 06236\ndescription = Encryption key\n"
                  "postOfficeBox = PO 12\ntelephoneNumber = 5550100\ndnQualifier = q7\nCN = Postal Person\n"
                  "[ ext ]\nbasicConstraints = CA:false\nkeyUsage = critical, keyEncipherment, dataEncipherment\n"
                  "subjectKeyIdentifier = hash\n");
        ASSERT_EQ(Run("openssl req -new -x509 -days 30 -newkey rsa:2048 -nodes -config " + P("cert.cnf") + " -keyout " +
                      P("cert.key") + " -outform DER -out " + P("postal.cer")),
                  0)
            << Output();
    }

    std::map<std::string, std::string> Calls(const std::string& calls)
    {
        return LabelledPage("function rec(label, f) { print(label + '|' + attempt(f) + '|' + code(plugin)); }\n" + calls);
    }
};

TEST_F(PageNamesOpenSsl, SubjectsShowAndFilterWithWindowsKeys)
{
    HostResult added = Host({"store", "add", "ADDRESSBOOK", P("postal.cer")});
    ASSERT_EQ(added.status, 0) << added.err;
    auto r = Calls("rec('file', function () { return plugin.SelectEncryptCertificateByCERFile(" + Js(P("postal.cer")) +
                 "); });\n"
                 "rec('postal', function () { return plugin.SelectEncryptCertificate('PostalCode=06236', ''); });\n"
                 "rec('phone', function () { return plugin.SelectEncryptCertificate('Phone=5550100', ''); });\n"
                 "rec('oid', function () { return plugin.SelectEncryptCertificate('OID.2.5.4.17=06236', ''); });\n");
    EXPECT_EQ(r["file"], "ok:" + std::string(kSubject) + "|0x00000000");
    EXPECT_EQ(r["postal"], "ok:" + std::string(kSubject) + "|0x00000000");
    EXPECT_EQ(r["phone"], "ok:" + std::string(kSubject) + "|0x00000000");
    // The numeric form is not what Windows shows, so a filter written that way finds nothing.
    EXPECT_EQ(r["oid"], "threw:plug-in call SelectEncryptCertificate failed|0xa0071001");
}

}  // namespace
}  // namespace npk::test
