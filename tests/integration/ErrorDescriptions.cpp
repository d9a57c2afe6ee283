// GetLastErrorDesc through the host under English, Chinese and Korean user interfaces: the
// system message table's texts and the string table's texts for the system's own codes, both
// in the user's language.
#include "FixtureData.h"
#include "HostHarness.h"

namespace npk::test {
namespace {

struct Language {
    const char* lang;
    const char* notReady;     // 0xa0072001
    const char* invalidHash;  // 0xa0072020
    const char* malicious;    // 0xa0071006
    const char* noCert;       // 0xa0071001
    const char* success;      // 0: the system's texts, with their line break
    const char* fileNotFound; // 0x80070002
    const char* badParameter; // 0x80070057
};

const Language kLanguages[] = {
    {"en_US.UTF-8", "Certificate is not ready.", "Invalid hash algorithm.", "Malicious target path or file name.",
     "There is no available certificate in store.", "The operation completed successfully.\\r\\n",
     "The system cannot find the file specified.\\r\\n", "The parameter is incorrect.\\r\\n"},
    {"zh_CN.UTF-8", "\xE8\xAF\x81\xE4\xB9\xA6\xE6\xB2\xA1\xE6\x9C\x89\xE5\x87\x86\xE5\xA4\x87\xE5\xA5\xBD",
     "\xE6\x97\xA0\xE6\x95\x88\xE7\x9A\x84\xE6\x95\xA3\xE5\x88\x97\xE7\xAE\x97\xE6\xB3\x95",
     "\xE6\x81\xB6\xE6\x84\x8F\xE7\x9A\x84\xE7\x9B\xAE\xE6\xA0\x87\xE8\xB7\xAF\xE5\xBE\x84\xE6\x88\x96\xE6\x96\x87\xE4\xBB\xB6"
     "\xE5\x90\x8D",
     "\xE8\xAF\x81\xE4\xB9\xA6\xE5\xBA\x93\xE4\xB8\xAD\xE6\xB2\xA1\xE6\x9C\x89\xE5\x8F\xAF\xE7\x94\xA8\xE7\x9A\x84\xE8\xAF\x81"
     "\xE4\xB9\xA6",
     "\xE6\x93\x8D\xE4\xBD\x9C\xE6\x88\x90\xE5\x8A\x9F\xE5\xAE\x8C\xE6\x88\x90\xE3\x80\x82\\r\\n",
     "\xE7\xB3\xBB\xE7\xBB\x9F\xE6\x89\xBE\xE4\xB8\x8D\xE5\x88\xB0\xE6\x8C\x87\xE5\xAE\x9A\xE7\x9A\x84\xE6\x96\x87"
     "\xE4\xBB\xB6\xE3\x80\x82\\r\\n",
     "\xE5\x8F\x82\xE6\x95\xB0\xE9\x94\x99\xE8\xAF\xAF\xE3\x80\x82\\r\\n"},
    {"ko_KR.UTF-8",
     "\xEC\x9D\xB8\xEC\xA6\x9D\xEC\x84\x9C\xEA\xB0\x80 \xEC\xA4\x80\xEB\xB9\x84\xEB\x90\x98\xEC\xA7\x80 \xEC\x95\x8A\xEC\x95\x98"
     "\xEC\x8A\xB5\xEB\x8B\x88\xEB\x8B\xA4",
     "\xEC\x9E\x98\xEB\xAA\xBB\xEB\x90\x9C \xED\x95\xB4\xEC\x8B\x9C \xEC\x95\x8C\xEA\xB3\xA0\xEB\xA6\xAC\xEC\xA6\x98",
     "\xEC\x95\x85\xEC\x84\xB1 \xEB\x8C\x80\xEC\x83\x81 \xEA\xB2\xBD\xEB\xA1\x9C \xEB\x98\x90\xEB\x8A\x94 \xED\x8C\x8C\xEC\x9D\xBC"
     " \xEC\x9D\xB4\xEB\xA6\x84",
     "\xEC\x9D\xB8\xEC\xA6\x9D\xEC\x84\x9C \xEC\x9D\xB8\xEC\xA6\x9D\xEC\x84\x9C\xEB\x8A\x94 \xEB\x9D\xBC\xEC\x9D\xB4\xEB\xB8\x8C"
     "\xEB\x9F\xAC\xEB\xA6\xAC\xEC\x97\x90\xEC\x84\x9C \xEC\x82\xAC\xEC\x9A\xA9\xED\x95\xA0 \xEC\x88\x98 \xEC\x97\x86\xEC\x8A\xB5"
     "\xEB\x8B\x88\xEB\x8B\xA4",
     "\xEC\x9E\x91\xEC\x97\x85\xEC\x9D\x84 \xEC\x99\x84\xEB\xA3\x8C\xED\x96\x88\xEC\x8A\xB5\xEB\x8B\x88\xEB\x8B\xA4.\\r\\n",
     "\xEC\xA7\x80\xEC\xA0\x95\xEB\x90\x9C \xED\x8C\x8C\xEC\x9D\xBC\xEC\x9D\x84 \xEC\xB0\xBE\xEC\x9D\x84 \xEC\x88\x98 \xEC\x97\x86\xEC\x8A\xB5\xEB\x8B\x88\xEB\x8B\xA4.\\r\\n",
     "\xEB\xA7\xA4\xEA\xB0\x9C \xEB\xB3\x80\xEC\x88\x98\xEA\xB0\x80 \xED\x8B\x80\xEB\xA6\xBD\xEB\x8B\x88\xEB\x8B\xA4.\\r\\n"},
};

class ErrorDescriptionTest : public HostTest, public ::testing::WithParamInterface<Language> {};

TEST_P(ErrorDescriptionTest, SystemCodesAreDescribedWithTheCodeLine)
{
    const std::string absent = (Dir() / "absent.cer").string();
    HostResult r = Page("print(JSON.stringify(plugin.GetLastErrorDesc()));\n"
                        "attempt(function () { return plugin.SelectEncryptCertificateByCERFile('" + absent + "'); });\n"
                        "print(JSON.stringify(plugin.GetLastErrorDesc()));\n"
                        "print(JSON.stringify(plugin.GetLastErrorDesc()));\n",
                        {{"LANG", GetParam().lang}});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    // The system's own text keeps its line break; the code line follows it.
    EXPECT_EQ(lines[0], std::string("\"") + GetParam().success + "\\n(0x00000000)\"");
    EXPECT_EQ(lines[1], std::string("\"") + GetParam().fileNotFound + "\\n(0x80070002)\"");
    EXPECT_EQ(lines[2], lines[1]) << "describing the error must not change it";
}

TEST_P(ErrorDescriptionTest, TheSystemsOwnCodesInTheUsersLanguage)
{
    const std::string data = FixtureDir();
    std::string empty = WriteFile("empty.txt", "");
    std::string exe = WriteFile("setup.exe", "MZ");
    // A PFX file with a certificate and no key: nothing in it can sign.
    std::string nokey = (Dir() / "nokey.pfx").string();
    ASSERT_EQ(std::system(("openssl pkcs12 -export -nokeys -in " + data + "signer.pem -passout pass:x -out " + nokey +
                           " >/dev/null 2>&1")
                              .c_str()),
              0);
    HostResult r = Page("function desc(f) { attempt(f); print(JSON.stringify(plugin.GetLastErrorDesc())); }\n"
                        "desc(function () { return plugin.SignMessage('m', 'SHA-1'); });\n"
                        "plugin.SelectSignCertificateByPFXFile('" + data + "signer.pfx', 'npkeystrand');\n"
                        "desc(function () { return plugin.SignMessage('m', 'SHA256'); });\n"
                        "desc(function () { return plugin.SignFileDetached('" + exe + "', 'SHA-1'); });\n"
                        "desc(function () { return plugin.SignFilePKCS1('" + empty + "', 'SHA-1'); });\n"
                        "desc(function () { return plugin.SelectSignCertificateByPFXFile('" + nokey + "', 'x'); });\n"
                        "desc(function () { return plugin.SelectEncryptCertificateByCERFile(''); });\n",
                        {{"LANG", GetParam().lang}});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    const Language& l = GetParam();
    EXPECT_EQ(lines[0], std::string("\"") + l.notReady + "\\n(0xa0072001)\"");
    EXPECT_EQ(lines[1], std::string("\"") + l.invalidHash + "\\n(0xa0072020)\"");
    EXPECT_EQ(lines[2], std::string("\"") + l.malicious + "\\n(0xa0071006)\"");
    EXPECT_EQ(lines[3], "\"\\n(0xa0071007)\"") << "string 4103 has no text in any language";
    EXPECT_EQ(lines[4], std::string("\"") + l.noCert + "\\n(0xa0071001)\"");
    EXPECT_EQ(lines[5], std::string("\"") + l.badParameter + "\\n(0x80070057)\"");
}

INSTANTIATE_TEST_SUITE_P(Languages, ErrorDescriptionTest, ::testing::ValuesIn(kLanguages),
                         [](const ::testing::TestParamInfo<Language>& info) {
                             return std::string(info.param.lang).substr(0, 2);
                         });

}  // namespace
}  // namespace npk::test
