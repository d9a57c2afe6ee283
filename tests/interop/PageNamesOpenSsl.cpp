// Subjects with the attributes Windows names by key (PostalCode, Description, POBox, Phone,
// X21Address, dnQualifier), in a certificate made by the openssl command line: the page shows
// them as Windows does and filters on the same text.
#include "integration/PageSupport.h"

namespace npk::test {
namespace {

const char kSubject[] =
    "CN=Postal Person, dnQualifier=q7, Phone=5550100, POBox=PO 12, Description=Encryption key, "
    "PostalCode=06236, O=npKeystrand, C=KR";

class PageNamesOpenSsl : public HostTest {
protected:
    void SetUp() override
    {
        if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl is not on PATH";
        HostTest::SetUp();
        Env()["DISPLAY"] = "";  // one candidate needs no picker; more must fail, not wait
        Env()["WAYLAND_DISPLAY"] = "";
        WriteFile("cert.cnf",
                  "[ req ]\ndistinguished_name = dn\nx509_extensions = ext\nprompt = no\n"
                  "[ dn ]\nC = KR\nO = npKeystrand\npostalCode = 06236\ndescription = Encryption key\n"
                  "postOfficeBox = PO 12\ntelephoneNumber = 5550100\ndnQualifier = q7\nCN = Postal Person\n"
                  "[ ext ]\nbasicConstraints = CA:false\nkeyUsage = critical, keyEncipherment, dataEncipherment\n"
                  "subjectKeyIdentifier = hash\n");
        const std::string cmd = "openssl req -new -x509 -days 30 -newkey rsa:2048 -nodes -config " + P("cert.cnf") +
                                " -keyout " + P("cert.key") + " -outform DER -out " + P("postal.cer") + " >" +
                                P("openssl.out") + " 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << ReadAll(P("openssl.out"));
    }

    std::string P(const std::string& name) const { return (Dir() / name).string(); }

    std::map<std::string, std::string> Run(const std::string& calls)
    {
        HostResult r = Page("function rec(label, f) { print(label + '|' + attempt(f) + '|' + code(plugin)); }\n" + calls);
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<std::string, std::string> values;
        for (const std::string& line : Lines(r.out)) {
            size_t bar = line.find('|');
            if (bar != std::string::npos) values[line.substr(0, bar)] = line.substr(bar + 1);
        }
        return values;
    }
};

TEST_F(PageNamesOpenSsl, SubjectsShowAndFilterWithWindowsKeys)
{
    HostResult added = Host({"store", "add", "ADDRESSBOOK", P("postal.cer")});
    ASSERT_EQ(added.status, 0) << added.err;
    auto r = Run("rec('file', function () { return plugin.SelectEncryptCertificateByCERFile(" + Js(P("postal.cer")) +
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
