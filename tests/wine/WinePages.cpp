// Pages that the Windows build carries under Wine and that the Linux suites cannot show there:
// the Windows host's own plug-in search, selections from PFX and certificate files without
// signing, signing and verification with a key from the user's store (in the AES provider,
// where Wine can sign) checked by openssl, the system's own error texts in three languages,
// and the Win32 picker's failure without a display. tools/run-wine-tests.sh runs them with
// tools/wine-host.sh as the host; anywhere else they are skipped.
#include "integration/PageSupport.h"

#include <cstdlib>

namespace npk::test {
namespace {

namespace fs = std::filesystem;

const char kSigner[] = "CN=Alice Signer, OU=Signing, O=npKeystrand, C=KR";
const char kRecipient[] = "CN=Bob Recipient, O=npKeystrand, C=KR";

struct Language {
    const char* lang;
    const char* notReady;     // 0xa0072001
    const char* invalidHash;  // 0xa0072020
    const char* malicious;    // 0xa0071006
    const char* noCert;       // 0xa0071001
};

const Language kLanguages[] = {
    {"en_US.UTF-8", "Certificate is not ready.", "Invalid hash algorithm.", "Malicious target path or file name.",
     "There is no available certificate in store."},
    {"zh_CN.UTF-8", "\xE8\xAF\x81\xE4\xB9\xA6\xE6\xB2\xA1\xE6\x9C\x89\xE5\x87\x86\xE5\xA4\x87\xE5\xA5\xBD",
     "\xE6\x97\xA0\xE6\x95\x88\xE7\x9A\x84\xE6\x95\xA3\xE5\x88\x97\xE7\xAE\x97\xE6\xB3\x95",
     "\xE6\x81\xB6\xE6\x84\x8F\xE7\x9A\x84\xE7\x9B\xAE\xE6\xA0\x87\xE8\xB7\xAF\xE5\xBE\x84\xE6\x88\x96\xE6\x96\x87\xE4\xBB\xB6"
     "\xE5\x90\x8D",
     "\xE8\xAF\x81\xE4\xB9\xA6\xE5\xBA\x93\xE4\xB8\xAD\xE6\xB2\xA1\xE6\x9C\x89\xE5\x8F\xAF\xE7\x94\xA8\xE7\x9A\x84\xE8\xAF\x81"
     "\xE4\xB9\xA6"},
    {"ko_KR.UTF-8",
     "\xEC\x9D\xB8\xEC\xA6\x9D\xEC\x84\x9C\xEA\xB0\x80 \xEC\xA4\x80\xEB\xB9\x84\xEB\x90\x98\xEC\xA7\x80 \xEC\x95\x8A\xEC\x95\x98"
     "\xEC\x8A\xB5\xEB\x8B\x88\xEB\x8B\xA4",
     "\xEC\x9E\x98\xEB\xAA\xBB\xEB\x90\x9C \xED\x95\xB4\xEC\x8B\x9C \xEC\x95\x8C\xEA\xB3\xA0\xEB\xA6\xAC\xEC\xA6\x98",
     "\xEC\x95\x85\xEC\x84\xB1 \xEB\x8C\x80\xEC\x83\x81 \xEA\xB2\xBD\xEB\xA1\x9C \xEB\x98\x90\xEB\x8A\x94 \xED\x8C\x8C\xEC\x9D\xBC"
     " \xEC\x9D\xB4\xEB\xA6\x84",
     "\xEC\x9D\xB8\xEC\xA6\x9D\xEC\x84\x9C \xEC\x9D\xB8\xEC\xA6\x9D\xEC\x84\x9C\xEB\x8A\x94 \xEB\x9D\xBC\xEC\x9D\xB4\xEB\xB8\x8C"
     "\xEB\x9F\xAC\xEB\xA6\xAC\xEC\x97\x90\xEC\x84\x9C \xEC\x82\xAC\xEC\x9A\xA9\xED\x95\xA0 \xEC\x88\x98 \xEC\x97\x86\xEC\x8A\xB5"
     "\xEB\x8B\x88\xEB\x8B\xA4"},
};

struct Record {
    std::string outcome;
    std::string code;
};

// A shell command's exit status and what it printed.
int Shell(const std::string& command, std::string* out = nullptr)
{
    std::string full = command + " 2>&1";
    FILE* p = popen(full.c_str(), "r");
    if (p == nullptr) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) text.append(buf, n);
    int status = pclose(p);
    if (out != nullptr) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class WinePages : public HostTest {
protected:
    void SetUp() override
    {
        const char* exe = std::getenv("NPK_WINE_EXE");
        if (exe == nullptr || *exe == '\0') GTEST_SKIP() << "Windows pages: run by tools/run-wine-tests.sh";
        HostTest::SetUp();
        Env()["DISPLAY"] = "";
        Env()["WAYLAND_DISPLAY"] = "";
    }

    std::string Data(const char* name) const { return DataDir() + name; }

    // The page with rec(label, f) printing "label|outcome|code" for each call.
    std::map<std::string, Record> Run(const std::string& script, const std::map<std::string, std::string>& env = {})
    {
        HostResult r = Page("var DATA = " + Js(DataDir()) + ";\n"
                            "function rec(label, f) { var r = attempt(f);"
                            " print(label + '|' + String(r).replace(/\\r?\\n/g, '') + '|' + code(plugin)); return r; }\n" +
                                script,
                            env);
        EXPECT_EQ(r.status, 0) << r.err;
        m_lastOut = r.out;
        return ParseRecords<Record>(r.out);
    }

    // The signer's key into the user's "MY" store; the page then chooses it from there.
    void ImportSigner()
    {
        HostResult r = Host({"store", "import", "MY", Data("signer.pfx"), "--password", "npkeystrand"});
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_NE(r.out.find("private key: yes"), std::string::npos) << r.out;
    }

    std::string Bin(const std::string& name, const std::string& bytes) { return WriteFile(name, bytes); }
    std::string Path(const std::string& name) const { return (Dir() / name).string(); }

    std::string m_lastOut;
};

std::string OpenSslHash(const std::string& scriptName)
{
    if (scriptName == "MD-5") return "md5";
    if (scriptName == "SHA-1") return "sha1";
    return "sha256";
}

TEST_F(WinePages, PluginIsFoundBesideTheHost)
{
    // No --plugin: the Windows host takes np*.dll beside itself.
    HostResult info = RunProgram({HostPath(), "info"}, Env());
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("npKeystrand.Standard.x86.dll"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("mime: application/npKeystrand:*:npKeystrand certificate utilities"), std::string::npos)
        << info.out;
    HostResult call = RunProgram({HostPath(), "call", "SelectDecryptCertificates"}, Env());
    EXPECT_EQ(call.status, 0) << call.err;

    // A library that is not a plug-in is refused with the reason.
    HostResult other = Host({"--plugin", Data("signer.cer"), "info"});
    EXPECT_EQ(other.status, 2);
    EXPECT_NE(other.err.find("signer.cer"), std::string::npos) << other.err;
}

TEST_F(WinePages, PfxAndCertificateFileSelections)
{
    std::string b64 = Bin("recipient.txt", ReadAll(Data("recipient.b64")));
    auto r = Run("rec('modern', function () { return plugin.SelectSignCertificateByPFXFile(DATA + 'signer.pfx', 'npkeystrand'); });\n"
                 "rec('legacy', function () { return plugin.SelectSignCertificateByPFXFile(DATA + 'signer-legacy.pfx', 'npkeystrand'); });\n"
                 "rec('nopass', function () { return plugin.SelectSignCertificateByPFXFile(DATA + 'signer-nopass.pfx', ''); });\n"
                 "rec('decrypt', function () { return plugin.SelectDecryptCertificateByPFXFile(DATA + 'recipient.pfx', 'npkeystrand'); });\n"
                 "rec('expired', function () { return plugin.SelectSignCertificateByPFXFile(DATA + 'expired.pfx', 'npkeystrand'); });\n"
                 "rec('missing-pfx', function () { return plugin.SelectSignCertificateByPFXFile(DATA + 'nope.pfx', 'x'); });\n"
                 "rec('der', function () { return plugin.SelectEncryptCertificateByCERFile(DATA + 'recipient.cer'); });\n"
                 "rec('b64', function () { return plugin.SelectEncryptCertificateByCERFile(" + Js(b64) + "); });\n"
                 "rec('missing', function () { return plugin.SelectEncryptCertificateByCERFile(DATA + 'nope.cer'); });\n"
                 "rec('js', function () { return plugin.SelectEncryptCertificateByCERFile(DATA + 'x.js'); });\n"
                 "rec('empty-path', function () { return plugin.SelectEncryptCertificateByCERFile(''); });\n");
    ASSERT_EQ(r.size(), 11u) << m_lastOut;
    for (const char* label : {"modern", "legacy", "nopass"}) {
        SCOPED_TRACE(label);
        EXPECT_EQ(r[label].outcome, std::string("ok:") + kSigner);
        EXPECT_EQ(r[label].code, "0x00000000");
    }
    EXPECT_EQ(r["decrypt"].outcome, std::string("ok:") + kRecipient);
    EXPECT_EQ(r["expired"].outcome, "ok:CN=Dave Expired, O=npKeystrand, C=KR");
    EXPECT_EQ(r["missing-pfx"].outcome, "threw:plug-in call SelectSignCertificateByPFXFile failed");
    EXPECT_EQ(r["missing-pfx"].code, "0x80070002");
    EXPECT_EQ(r["der"].outcome, std::string("ok:") + kRecipient);
    EXPECT_EQ(r["b64"].outcome, std::string("ok:") + kRecipient);
    for (const char* label : {"missing", "js", "empty-path"}) {
        SCOPED_TRACE(label);
        EXPECT_EQ(r[label].outcome, "threw:Selecte ERROR");
    }
    EXPECT_EQ(r["missing"].code, "0x80070002");
    EXPECT_EQ(r["js"].code, "0xa0071006");
    EXPECT_EQ(r["empty-path"].code, "0x80070057");
}

TEST_F(WinePages, StoreKeySignsThreeWaysWithEachHash)
{
    ImportSigner();
    const std::string text = "Pay 100 to Bob \xC3\xA9\xE4\xB8\xAD\xE6\x96\x87";
    std::string script = "rec('pick', function () { return plugin.SelectSignCertificate('Alice', ''); });\n"
                         "var text = " + Js(text) + ";\n";
    for (const char* h : {"MD-5", "SHA-1", "SHA-256"}) {
        const std::string H = Js(h);
        const std::string k = std::string(":") + h;
        script += "var a = rec('att" + k + "', function () { return plugin.SignMessage(text, " + H + "); }).substring(3);\n"
                  "rec('vatt" + k + "', function () { return plugin.VerifyMessageSignature(a); });\n"
                  "rec('content" + k + "', function () { return plugin.VerifyMessageSignaturePKCS7(a); });\n"
                  "var d = rec('det" + k + "', function () { return plugin.SignMessageDetached(text, " + H + "); }).substring(3);\n"
                  "rec('vdet" + k + "', function () { return plugin.VerifyMessageSignatureDetached(d, text); });\n"
                  "rec('p1" + k + "', function () { return plugin.SignMessagePKCS1(text, " + H + "); });\n";
    }
    auto r = Run(script);
    ASSERT_EQ(r["pick"].outcome, std::string("ok:") + kSigner) << m_lastOut;
    const std::string textFile = Bin("text.txt", text);
    const std::string ca = Data("ca.pem");
    const std::string pub = Path("signer.pub");
    ASSERT_EQ(Shell("openssl x509 -inform DER -in " + Data("signer.cer") + " -pubkey -noout > " + pub), 0);
    for (const char* h : {"MD-5", "SHA-1", "SHA-256"}) {
        SCOPED_TRACE(h);
        const std::string k = std::string(":") + h;
        for (const char* sign : {"att", "det", "p1"}) {
            ASSERT_EQ(r[sign + k].outcome.rfind("ok:", 0), 0u) << sign << ": " << r[sign + k].outcome << " " << r[sign + k].code;
        }
        EXPECT_EQ(r["vatt" + k].outcome, "ok:true");
        EXPECT_EQ(r["content" + k].outcome, "ok:" + text);
        EXPECT_EQ(r["vdet" + k].outcome, "ok:true");

        // What the plug-in wrote, openssl reads.
        const std::string att = Bin(std::string("att-") + h + ".der", FromBase64(r["att" + k].outcome.substr(3)));
        const std::string det = Bin(std::string("det-") + h + ".der", FromBase64(r["det" + k].outcome.substr(3)));
        const std::string p1 = Bin(std::string("p1-") + h + ".sig", FromBase64(r["p1" + k].outcome.substr(3)));
        std::string out;
        EXPECT_EQ(Shell("openssl cms -verify -binary -inform DER -in " + att + " -CAfile " + ca + " -purpose any", &out), 0) << out;
        EXPECT_NE(out.find(text), std::string::npos) << out;
        EXPECT_EQ(Shell("openssl cms -verify -binary -inform DER -in " + det + " -content " + textFile + " -CAfile " + ca +
                        " -purpose any -out /dev/null", &out), 0) << out;
        EXPECT_EQ(Shell("openssl dgst -" + OpenSslHash(h) + " -verify " + pub + " -signature " + p1 + " " + textFile, &out), 0)
            << out;
    }
}

TEST_F(WinePages, PkcsOneVerificationWithSha256)
{
    ImportSigner();
    auto r = Run("plugin.SelectSignCertificate('Alice', '');\n"
                 "var p = plugin.SignMessagePKCS1('m', 'SHA-256');\n"
                 "rec('v', function () { return plugin.VerifyMessageSignaturePKCS1(p, 'm', 'SHA-256'); });\n"
                 "rec('changed', function () { return plugin.VerifyMessageSignaturePKCS1(p, 'n', 'SHA-256'); });\n");
    EXPECT_EQ(r["v"].outcome, "ok:true") << m_lastOut;
    EXPECT_EQ(r["changed"].outcome, "threw:plug-in call VerifyMessageSignaturePKCS1 failed") << m_lastOut;
}

TEST_F(WinePages, OpenSslSignaturesVerify)
{
    ImportSigner();
    const std::string text = "signed by openssl";
    const std::string textFile = Bin("text.txt", text);
    const std::string key = Data("signer.key");
    const std::string cert = Data("signer.pem");
    const std::string att = Path("att.der");
    const std::string det = Path("det.der");
    const std::string p1 = Path("p1.sig");
    std::string out;
    ASSERT_EQ(Shell("openssl cms -sign -binary -nodetach -noattr -md sha1 -in " + textFile + " -signer " + cert + " -inkey " +
                    key + " -outform DER -out " + att, &out), 0) << out;
    ASSERT_EQ(Shell("openssl cms -sign -binary -noattr -md sha1 -in " + textFile + " -signer " + cert + " -inkey " + key +
                    " -outform DER -out " + det, &out), 0) << out;
    ASSERT_EQ(Shell("openssl dgst -sha1 -sign " + key + " -out " + p1 + " " + textFile, &out), 0) << out;
    auto r = Run("plugin.SelectSignCertificate('Alice', '');\n"
                 "var text = " + Js(text) + ";\n"
                 "rec('att', function () { return plugin.VerifyMessageSignature(" + Js(ToBase64(ReadAll(att))) + "); });\n"
                 "rec('content', function () { return plugin.VerifyMessageSignaturePKCS7(" + Js(ToBase64(ReadAll(att))) + "); });\n"
                 "rec('det', function () { return plugin.VerifyMessageSignatureDetached(" + Js(ToBase64(ReadAll(det))) + ", text); });\n"
                 "rec('det-other', function () { return plugin.VerifyMessageSignatureDetached(" + Js(ToBase64(ReadAll(det))) + ", text + '!'); });\n"
                 "rec('p1', function () { return plugin.VerifyMessageSignaturePKCS1(" + Js(ToBase64(ReadAll(p1))) + ", text, 'SHA-1'); });\n"
                 "rec('p1-other', function () { return plugin.VerifyMessageSignaturePKCS1(" + Js(ToBase64(ReadAll(p1))) + ", text + '!', 'SHA-1'); });\n");
    EXPECT_EQ(r["att"].outcome, "ok:true") << m_lastOut;
    EXPECT_EQ(r["content"].outcome, "ok:" + text);
    EXPECT_EQ(r["det"].outcome, "ok:true");
    EXPECT_EQ(r["det-other"].outcome.rfind("threw:", 0), 0u) << r["det-other"].outcome;
    EXPECT_EQ(r["p1"].outcome, "ok:true");
    EXPECT_EQ(r["p1-other"].outcome.rfind("threw:", 0), 0u) << r["p1-other"].outcome;
}

TEST_F(WinePages, StoreKeySignsFiles)
{
    ImportSigner();
    // 10 MB of varied bytes: the file is read in slices.
    std::string bytes(10 * 1024 * 1024 + 3, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 131 + (i >> 13)) & 0xFF);
    const std::string file = Bin("big.bin", bytes);
    const std::string exe = Bin("setup.exe", "MZ");
    auto r = Run("plugin.SelectSignCertificate('Alice', '');\n"
                 "var f = " + Js(file) + ";\n"
                 "var d = rec('det', function () { return plugin.SignFileDetached(f, 'SHA-1'); }).substring(3);\n"
                 "rec('vdet', function () { return plugin.VerifyFileSignatureDetached(d, f); });\n"
                 "var p = rec('p1', function () { return plugin.SignFilePKCS1(f, 'MD-5'); }).substring(3);\n"
                 "rec('vp1', function () { return plugin.VerifyFileSignaturePKCS1(p, f, 'MD-5'); });\n"
                 "rec('det256', function () { return plugin.SignFileDetached(f, 'SHA-256'); });\n"
                 "rec('exe', function () { return plugin.SignFileDetached(" + Js(exe) + ", 'SHA-1'); });\n");
    ASSERT_EQ(r["det"].outcome.rfind("ok:", 0), 0u) << m_lastOut;
    EXPECT_EQ(r["vdet"].outcome, "ok:true");
    ASSERT_EQ(r["p1"].outcome.rfind("ok:", 0), 0u) << m_lastOut;
    EXPECT_EQ(r["vp1"].outcome, "ok:true");
    ASSERT_EQ(r["det256"].outcome.rfind("ok:", 0), 0u) << m_lastOut;
    EXPECT_EQ(r["exe"].code, "0xa0071006");

    const std::string ca = Data("ca.pem");
    const std::string pub = Path("signer.pub");
    ASSERT_EQ(Shell("openssl x509 -inform DER -in " + Data("signer.cer") + " -pubkey -noout > " + pub), 0);
    std::string out;
    for (const char* label : {"det", "det256"}) {
        const std::string sig = Bin(std::string(label) + ".der", FromBase64(r[label].outcome.substr(3)));
        EXPECT_EQ(Shell("openssl cms -verify -binary -inform DER -in " + sig + " -content " + file + " -CAfile " + ca +
                        " -purpose any -out /dev/null", &out), 0) << label << ": " << out;
    }
    const std::string p1 = Bin("p1.sig", FromBase64(r["p1"].outcome.substr(3)));
    EXPECT_EQ(Shell("openssl dgst -md5 -verify " + pub + " -signature " + p1 + " " + file, &out), 0) << out;
}

TEST_F(WinePages, SeveralCandidatesWithoutADisplay)
{
    ImportSigner();
    ASSERT_EQ(Host({"store", "import", "MY", Data("nokeyid.pfx"), "--password", "npkeystrand"}).status, 0);
    auto r = Run("rec('first', function () { return plugin.SelectSignCertificate('Alice', ''); });\n"
                 "rec('several', function () { return plugin.SelectSignCertificate('', ''); });\n"
                 "rec('verify', function () { return plugin.VerifyMessageSignature(plugin.SignMessage('kept', 'SHA-256')); });\n");
    EXPECT_EQ(r["first"].outcome, std::string("ok:") + kSigner) << m_lastOut;
    // The Win32 picker cannot make its window: it fails at once, and the choice stays.
    EXPECT_EQ(r["several"].outcome, "threw:plug-in call SelectSignCertificate failed");
    EXPECT_EQ(r["several"].code, "0x80070578");
    EXPECT_EQ(r["verify"].outcome, "ok:true");
}

class WineErrorTexts : public WinePages, public ::testing::WithParamInterface<Language> {};

TEST_P(WineErrorTexts, ErrorDescriptionsInThreeLanguages)
{
    std::string empty = WriteFile("empty.txt", "");
    std::string exe = WriteFile("setup.exe", "MZ");
    HostResult r = Page("function desc(f) { attempt(f); print(JSON.stringify(plugin.GetLastErrorDesc())); }\n"
                        "desc(function () { return plugin.SignMessage('m', 'SHA-1'); });\n"
                        "plugin.SelectSignCertificateByPFXFile(" + Js(Data("signer.pfx")) + ", 'npkeystrand');\n"
                        "desc(function () { return plugin.SignMessage('m', 'SHA256'); });\n"
                        "desc(function () { return plugin.SignFileDetached(" + Js(exe) + ", 'SHA-1'); });\n"
                        "desc(function () { return plugin.SignFilePKCS1(" + Js(empty) + ", 'SHA-1'); });\n"
                        "desc(function () { return plugin.SelectSignCertificate('Nobody', ''); });\n"
                        "desc(function () { return plugin.SelectEncryptCertificateByCERFile(" + Js(Path("absent.cer")) + "); });\n",
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
    // A system code: the system's text (Wine's own wording), its line break, the code line.
    const std::string codeLine = "\\r\\n\\n(0x80070002)\"";
    ASSERT_GT(lines[5].size(), codeLine.size() + 2) << "the system has a text for a missing file: " << lines[5];
    EXPECT_EQ(lines[5].substr(lines[5].size() - codeLine.size()), codeLine) << lines[5];
}

INSTANTIATE_TEST_SUITE_P(Languages, WineErrorTexts, ::testing::ValuesIn(kLanguages),
                         [](const ::testing::TestParamInfo<Language>& info) { return std::string(info.param.lang).substr(0, 2); });

}  // namespace
}  // namespace npk::test
