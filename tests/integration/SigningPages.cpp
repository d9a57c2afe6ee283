// Signing and verification as a page does it: the ten signing and verification methods and
// VerifyMessageSignaturePKCS7 through the host, with the certificate from a PFX file, their
// failures and the codes GetLastErrorDesc reports for them. The signer operations that have
// no script method are driven on an agent in this process, as a host that calls the agent
// directly would.
#include "PageSupport.h"

#include <windows.h>
#include <oleauto.h>

#include <sstream>

#include "agent/CryptoAgent.h"

namespace npk::test {
namespace {

namespace fs = std::filesystem;

constexpr const char kOk[] = "0x00000000";
constexpr const char kNotReady[] = "0xa0072001";
constexpr const char kBadHash[] = "0xa0072020";
constexpr const char kInvalidArg[] = "0x80070057";
constexpr const char kMaliciousPath[] = "0xa0071006";
constexpr const char kEmptyFile[] = "0xa0071007";
constexpr const char kFileNotFound[] = "0x80070002";
constexpr const char kSharingViolation[] = "0x80070020";

// Every recorded call prints: label|outcome|code after the call.
struct Record {
    std::string outcome;
    std::string code;
    bool ok() const { return outcome.rfind("ok:", 0) == 0; }
    std::string value() const { return ok() ? outcome.substr(3) : std::string(); }
};

class SigningPagesTest : public HostTest {
protected:
    // The page helpers: rec(label, f) records one call; pick(o) chooses the signer's PFX.
    std::string Helpers() const
    {
        return "var DATA = " + Js(DataDir()) + ";\n"
               "function rec(label, f, o) { var r = attempt(f);"
               " print(label + '|' + String(r).replace(/\\n/g, '\\\\n') + '|' + code(o || plugin)); return r; }\n"
               "function pick(o) { return (o || plugin).SelectSignCertificateByPFXFile(DATA + 'signer.pfx', 'npkeystrand'); }\n";
    }

    std::map<std::string, Record> Run(const std::string& script)
    {
        HostResult r = Page(Helpers() + script);
        EXPECT_EQ(r.status, 0) << r.err;
        m_lastOut = r.out;
        return ParseRecords<Record>(r.out);
    }

    std::string Bytes(const std::string& name, size_t size)
    {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + (i >> 11)) & 0xFF);
        return WriteFile(name, data);
    }

    std::string m_lastOut;
};

const char* const kHashNames[] = {"MD-5", "SHA-1", "SHA-256", "sha-256", "Sha-1", "md-5"};

TEST_F(SigningPagesTest, NoCertificateIsReportedBeforeTheHashName)
{
    std::string file = WriteFile("one.txt", "x");
    auto r = Run("rec('msg', function () { return plugin.SignMessage('m', 'SHA-256'); });\n"
                 "rec('msg-badhash', function () { return plugin.SignMessage('m', 'SHA256'); });\n"
                 "rec('det-badhash', function () { return plugin.SignMessageDetached('m', 'nope'); });\n"
                 "rec('p1-badhash', function () { return plugin.SignMessagePKCS1('m', 'SHA256'); });\n"
                 "rec('p1-lower', function () { return plugin.SignMessagePKCS1('m', 'sha-256'); });\n"
                 "rec('file-det', function () { return plugin.SignFileDetached(" + Js(file) + ", 'SHA256'); });\n"
                 "rec('file-p1', function () { return plugin.SignFilePKCS1(" + Js(file) + ", 'x'); });\n"
                 // The empty message is refused before the certificate is looked at.
                 "rec('empty', function () { return plugin.SignMessage('', 'SHA-1'); });\n"
                 "rec('empty-path', function () { return plugin.SignFileDetached('', 'SHA-1'); });\n"
                 // PKCS#1 verification maps the hash name before it needs the certificate.
                 "rec('vp1-badhash', function () { return plugin.VerifyMessageSignaturePKCS1('AAAA', 'm', 'SHA256'); });\n"
                 "rec('vp1', function () { return plugin.VerifyMessageSignaturePKCS1('AAAA', 'm', 'SHA-1'); });\n"
                 "rec('vfp1', function () { return plugin.VerifyFileSignaturePKCS1('AAAA', " + Js(file) + ", 'SHA-1'); });\n");
    ASSERT_EQ(r.size(), 12u) << m_lastOut;
    for (const char* label : {"msg", "msg-badhash", "det-badhash", "p1-badhash", "p1-lower", "file-det", "file-p1", "vp1", "vfp1"}) {
        SCOPED_TRACE(label);
        EXPECT_FALSE(r[label].ok()) << r[label].outcome;
        EXPECT_EQ(r[label].code, kNotReady);
    }
    EXPECT_EQ(r["empty"].code, kInvalidArg);
    EXPECT_EQ(r["empty-path"].code, kInvalidArg);
    EXPECT_EQ(r["vp1-badhash"].code, kBadHash);
    EXPECT_EQ(r["vp1-badhash"].outcome.rfind("threw:", 0), 0u) << "flag methods report a failure as a failed call";
}

TEST_F(SigningPagesTest, TextSignedThreeWaysWithEachHashVerifies)
{
    std::string script = "rec('pick', function () { return pick(); });\n"
                         "var text = 'Pay 100 to Bob \\u00e9\\u4e2d\\u6587';\n";
    for (const char* h : kHashNames) {
        std::string H = Js(h);
        script += "var a = rec('att:" + std::string(h) + "', function () { return plugin.SignMessage(text, " + H + "); }).substring(3);\n"
                  "rec('vatt:" + h + "', function () { return plugin.VerifyMessageSignature(a); });\n"
                  "var d = rec('det:" + h + "', function () { return plugin.SignMessageDetached(text, " + H + "); }).substring(3);\n"
                  "rec('vdet:" + h + "', function () { return plugin.VerifyMessageSignatureDetached(d, text); });\n"
                  "rec('vdet-changed:" + h + "', function () { return plugin.VerifyMessageSignatureDetached(d, text + '.'); });\n"
                  "rec('vatt-of-det:" + h + "', function () { return plugin.VerifyMessageSignature(d); });\n"
                  "var p = rec('p1:" + h + "', function () { return plugin.SignMessagePKCS1(text, " + H + "); }).substring(3);\n"
                  "rec('vp1:" + h + "', function () { return plugin.VerifyMessageSignaturePKCS1(p, text, " + H + "); });\n"
                  "rec('vp1-changed:" + h + "', function () { return plugin.VerifyMessageSignaturePKCS1(p, 'Pay 900 to Bob', " + H + "); });\n"
                  "rec('pkcs7:" + h + "', function () { return plugin.VerifyMessageSignaturePKCS7(a); });\n";
    }
    auto r = Run(script);
    ASSERT_EQ(r["pick"].outcome, "ok:CN=Alice Signer, OU=Signing, O=npKeystrand, C=KR") << m_lastOut;
    EXPECT_EQ(r["pick"].code, kOk);
    const std::string text = "Pay 100 to Bob \xC3\xA9\xE4\xB8\xAD\xE6\x96\x87";
    for (const char* h : kHashNames) {
        SCOPED_TRACE(h);
        const std::string k = std::string(":") + h;
        for (const char* sign : {"att", "det", "p1"}) {
            EXPECT_TRUE(r[sign + k].ok()) << sign << ": " << r[sign + k].outcome << " " << r[sign + k].code;
            EXPECT_EQ(r[sign + k].code, kOk);
            EXPECT_FALSE(r[sign + k].value().empty());
        }
        EXPECT_EQ(r["vatt" + k].outcome, "ok:true");
        EXPECT_EQ(r["vdet" + k].outcome, "ok:true");
        EXPECT_EQ(r["vp1" + k].outcome, "ok:true");
        EXPECT_EQ(r["vp1" + k].code, kOk);
        EXPECT_FALSE(r["vdet-changed" + k].ok());
        EXPECT_NE(r["vdet-changed" + k].code, kOk);
        EXPECT_FALSE(r["vatt-of-det" + k].ok()) << "a detached message has no content to verify attached";
        EXPECT_FALSE(r["vp1-changed" + k].ok());
        EXPECT_NE(r["vp1-changed" + k].code, kOk);
        EXPECT_EQ(r["pkcs7" + k].outcome, "ok:" + text);
        // A detached signature is shorter than the attached message that carries the text.
        EXPECT_LT(r["det" + k].value().size(), r["att" + k].value().size());
    }
    // The three hashes give three different signature values; the name's letter case does not matter.
    EXPECT_NE(r["p1:MD-5"].value(), r["p1:SHA-1"].value());
    EXPECT_NE(r["p1:SHA-1"].value(), r["p1:SHA-256"].value());
    EXPECT_EQ(r["p1:SHA-256"].value(), r["p1:sha-256"].value()) << "PKCS#1 v1.5 is deterministic";
    EXPECT_EQ(r["p1:SHA-1"].value(), r["p1:Sha-1"].value());
    EXPECT_EQ(r["p1:MD-5"].value(), r["p1:md-5"].value());
}

TEST_F(SigningPagesTest, PkcsOneVerificationNeedsTheSameHash)
{
    auto r = Run("pick();\n"
                 "var s = plugin.SignMessagePKCS1('hash me', 'SHA-256');\n"
                 "rec('same', function () { return plugin.VerifyMessageSignaturePKCS1(s, 'hash me', 'SHA-256'); });\n"
                 "rec('sha1', function () { return plugin.VerifyMessageSignaturePKCS1(s, 'hash me', 'SHA-1'); });\n"
                 "rec('md5', function () { return plugin.VerifyMessageSignaturePKCS1(s, 'hash me', 'MD-5'); });\n"
                 "rec('nohyphen', function () { return plugin.VerifyMessageSignaturePKCS1(s, 'hash me', 'SHA256'); });\n"
                 "rec('sign-nohyphen', function () { return plugin.SignMessagePKCS1('hash me', 'SHA256'); });\n"
                 "rec('sign-384', function () { return plugin.SignMessagePKCS1('hash me', 'SHA-384'); });\n");
    ASSERT_EQ(r.size(), 6u) << m_lastOut;
    EXPECT_EQ(r["same"].outcome, "ok:true");
    EXPECT_FALSE(r["sha1"].ok());
    EXPECT_NE(r["sha1"].code, kOk);
    EXPECT_FALSE(r["md5"].ok());
    EXPECT_EQ(r["nohyphen"].code, kBadHash);
    EXPECT_EQ(r["sign-nohyphen"].code, kBadHash);
    EXPECT_EQ(r["sign-nohyphen"].outcome.rfind("threw:", 0), 0u);
    EXPECT_EQ(r["sign-384"].code, kBadHash) << "only MD-5, SHA-1 and SHA-256 have script names";
}

TEST_F(SigningPagesTest, DamagedSignaturesFail)
{
    auto r = Run("pick();\n"
                 "var a = plugin.SignMessage('signed text', 'SHA-1');\n"
                 "var d = plugin.SignMessageDetached('signed text', 'SHA-1');\n"
                 "var p = plugin.SignMessagePKCS1('signed text', 'SHA-1');\n"
                 "function half(s) { return s.substring(0, s.length >> 1); }\n"
                 // One changed Base64 letter in the middle of the signature.
                 "function flip(s) { var i = s.length - 40; var c = s.charAt(i) === 'A' ? 'B' : 'A';"
                 " return s.substring(0, i) + c + s.substring(i + 1); }\n"
                 "rec('att-half', function () { return plugin.VerifyMessageSignature(half(a)); });\n"
                 "rec('det-half', function () { return plugin.VerifyMessageSignatureDetached(half(d), 'signed text'); });\n"
                 "rec('p1-half', function () { return plugin.VerifyMessageSignaturePKCS1(half(p), 'signed text', 'SHA-1'); });\n"
                 "rec('pkcs7-half', function () { return plugin.VerifyMessageSignaturePKCS7(half(a)); });\n"
                 "rec('att-flip', function () { return plugin.VerifyMessageSignature(flip(a)); });\n"
                 "rec('det-flip', function () { return plugin.VerifyMessageSignatureDetached(flip(d), 'signed text'); });\n"
                 "rec('p1-flip', function () { return plugin.VerifyMessageSignaturePKCS1(flip(p), 'signed text', 'SHA-1'); });\n"
                 "rec('not-base64', function () { return plugin.VerifyMessageSignature('%%% not base64 %%%'); });\n"
                 "rec('att-empty', function () { return plugin.VerifyMessageSignature(''); });\n"
                 "rec('det-empty', function () { return plugin.VerifyMessageSignatureDetached('', 'signed text'); });\n"
                 "rec('det-nocontent', function () { return plugin.VerifyMessageSignatureDetached(d, ''); });\n"
                 "rec('p1-empty', function () { return plugin.VerifyMessageSignaturePKCS1('', 'signed text', 'SHA-1'); });\n"
                 "rec('still-good', function () { return plugin.VerifyMessageSignature(a); });\n");
    ASSERT_EQ(r.size(), 13u) << m_lastOut;
    for (const char* label : {"att-half", "det-half", "p1-half", "pkcs7-half", "att-flip", "det-flip", "p1-flip", "not-base64"}) {
        SCOPED_TRACE(label);
        EXPECT_FALSE(r[label].ok()) << r[label].outcome;
        EXPECT_NE(r[label].code, kOk);
        EXPECT_NE(r[label].code.rfind("0x", 0), std::string::npos) << r[label].code;
    }
    for (const char* label : {"att-empty", "det-empty", "det-nocontent", "p1-empty"}) {
        SCOPED_TRACE(label);
        EXPECT_FALSE(r[label].ok());
        EXPECT_EQ(r[label].code, kInvalidArg);
    }
    EXPECT_EQ(r["still-good"].outcome, "ok:true");
}

TEST_F(SigningPagesTest, FilesOfSliceBoundarySizesSignAndVerify)
{
    const std::vector<std::pair<std::string, size_t>> files = {
        {"one.bin", 1}, {"slice.bin", 16384}, {"slice1.bin", 16385}, {"big.bin", 3 * 1024 * 1024 + 17}};
    std::string script = "pick();\n";
    for (const auto& [name, size] : files) {
        std::string p = Js(Bytes(name, size));
        for (const char* h : {"MD-5", "SHA-1", "SHA-256"}) {
            std::string k = name + ":" + h;
            std::string H = Js(h);
            script += "var d = rec('det:" + k + "', function () { return plugin.SignFileDetached(" + p + ", " + H + "); }).substring(3);\n"
                      "rec('vdet:" + k + "', function () { return plugin.VerifyFileSignatureDetached(d, " + p + "); });\n"
                      "var s = rec('p1:" + k + "', function () { return plugin.SignFilePKCS1(" + p + ", " + H + "); }).substring(3);\n"
                      "rec('vp1:" + k + "', function () { return plugin.VerifyFileSignaturePKCS1(s, " + p + ", " + H + "); });\n"
                      "sigs[" + Js(k) + "] = [d, s];\n";
        }
    }
    script = "var sigs = {};\n" + script + "print('SIGS ' + JSON.stringify(sigs));\n";
    auto r = Run(script);
    for (const auto& [name, size] : files) {
        for (const char* h : {"MD-5", "SHA-1", "SHA-256"}) {
            std::string k = name + ":" + h;
            SCOPED_TRACE(k);
            EXPECT_TRUE(r["det:" + k].ok()) << r["det:" + k].outcome << " " << r["det:" + k].code;
            EXPECT_EQ(r["vdet:" + k].outcome, "ok:true") << r["vdet:" + k].code;
            EXPECT_TRUE(r["p1:" + k].ok()) << r["p1:" + k].outcome << " " << r["p1:" + k].code;
            EXPECT_EQ(r["vp1:" + k].outcome, "ok:true") << r["vp1:" + k].code;
        }
    }

    // The same signatures fail once one byte of the file changes: the first, a slice's last, the final.
    std::string sigsLine;
    for (const std::string& line : Lines(m_lastOut)) {
        if (line.rfind("SIGS ", 0) == 0) sigsLine = line.substr(5);
    }
    ASSERT_FALSE(sigsLine.empty());
    std::string check = "var sigs = " + sigsLine + ";\n";
    const std::vector<std::pair<std::string, size_t>> changes = {
        {"one.bin", 0}, {"slice.bin", 16383}, {"slice1.bin", 16384}, {"big.bin", 3 * 1024 * 1024 + 16}};
    for (const auto& [name, at] : changes) {
        fs::path p = Dir() / name;
        std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(static_cast<std::streamoff>(at));
        char c = 0;
        f.get(c);
        f.seekp(static_cast<std::streamoff>(at));
        f.put(static_cast<char>(c ^ 0x01));
        f.close();
        for (const char* h : {"MD-5", "SHA-1", "SHA-256"}) {
            std::string k = name + ":" + h;
            check += "rec('xdet:" + k + "', function () { return plugin.VerifyFileSignatureDetached(sigs[" + Js(k) + "][0], " + Js(p.string()) + "); });\n"
                     "rec('xp1:" + k + "', function () { return plugin.VerifyFileSignaturePKCS1(sigs[" + Js(k) + "][1], " + Js(p.string()) + ", " + Js(h) + "); });\n";
        }
    }
    auto x = Run("pick();\n" + check);
    ASSERT_EQ(x.size(), 24u) << m_lastOut;
    for (const auto& [label, rec] : x) {
        SCOPED_TRACE(label);
        EXPECT_FALSE(rec.ok()) << rec.outcome;
        EXPECT_NE(rec.code, kOk);
    }
}

TEST_F(SigningPagesTest, FileSignatureIsTheTextSignatureOfTheSameBytes)
{
    // A file's PKCS#1 signature is over its bytes, so it verifies as the signature of the same text.
    std::string p = WriteFile("hello.txt", "hello, file");
    auto r = Run("pick();\n"
                 "var f = plugin.SignFilePKCS1(" + Js(p) + ", 'SHA-256');\n"
                 "var t = plugin.SignMessagePKCS1('hello, file', 'SHA-256');\n"
                 "print('same|' + (f === t) + '|' + code(plugin));\n"
                 "rec('text-of-file', function () { return plugin.VerifyMessageSignaturePKCS1(f, 'hello, file', 'SHA-256'); });\n"
                 "rec('file-of-text', function () { return plugin.VerifyFileSignaturePKCS1(t, " + Js(p) + ", 'SHA-256'); });\n");
    EXPECT_EQ(r["same"].outcome, "true");
    EXPECT_EQ(r["text-of-file"].outcome, "ok:true");
    EXPECT_EQ(r["file-of-text"].outcome, "ok:true");
}

TEST_F(SigningPagesTest, FilePathsThatMayNotBeUsed)
{
    std::string empty = WriteFile("empty.txt", "");
    std::string exe = WriteFile("tool.EXE", "MZ not really");
    std::string js = WriteFile("page.js", "alert(1)");
    std::string autostart = WriteFile("config/autostart/run.desktop", "[Desktop Entry]");
    std::string missing = (Dir() / "no-such-file.txt").string();
    auto r = Run("pick();\n"
                 "var good = plugin.SignMessageDetached('x', 'SHA-1');\n"
                 "rec('missing-det', function () { return plugin.SignFileDetached(" + Js(missing) + ", 'SHA-1'); });\n"
                 "rec('missing-p1', function () { return plugin.SignFilePKCS1(" + Js(missing) + ", 'SHA-1'); });\n"
                 "rec('missing-vdet', function () { return plugin.VerifyFileSignatureDetached(good, " + Js(missing) + "); });\n"
                 "rec('missing-vp1', function () { return plugin.VerifyFileSignaturePKCS1(good, " + Js(missing) + ", 'SHA-1'); });\n"
                 "rec('etc', function () { return plugin.SignFileDetached('/etc/hostname', 'SHA-1'); });\n"
                 "rec('etc-verify', function () { return plugin.VerifyFileSignatureDetached(good, '/etc/hostname'); });\n"
                 "rec('exe', function () { return plugin.SignFileDetached(" + Js(exe) + ", 'SHA-1'); });\n"
                 "rec('js', function () { return plugin.SignFilePKCS1(" + Js(js) + ", 'SHA-256'); });\n"
                 "rec('autostart', function () { return plugin.SignFileDetached(" + Js(autostart) + ", 'SHA-1'); });\n"
                 "rec('empty', function () { return plugin.SignFileDetached(" + Js(empty) + ", 'SHA-1'); });\n"
                 "rec('empty-vp1', function () { return plugin.VerifyFileSignaturePKCS1(good, " + Js(empty) + ", 'SHA-1'); });\n"
                 "rec('empty-desc', function () { return JSON.stringify(plugin.GetLastErrorDesc()); });\n"
                 "rec('etc-badhash', function () { return plugin.SignFileDetached('/etc/hostname', 'SHA256'); });\n");
    ASSERT_EQ(r.size(), 13u) << m_lastOut;
    for (const char* label : {"missing-det", "missing-p1", "missing-vdet", "missing-vp1"}) {
        SCOPED_TRACE(label);
        EXPECT_FALSE(r[label].ok());
        EXPECT_EQ(r[label].code, kFileNotFound) << "the existence test's error, not E_INVALIDARG";
    }
    if (fs::exists("/etc/hostname")) {
        EXPECT_EQ(r["etc"].code, kMaliciousPath);
        EXPECT_EQ(r["etc-verify"].code, kMaliciousPath);
        // The path is checked before the hash name is mapped.
        EXPECT_EQ(r["etc-badhash"].code, kMaliciousPath);
    }
    EXPECT_EQ(r["exe"].code, kMaliciousPath);
    EXPECT_EQ(r["js"].code, kMaliciousPath);
    EXPECT_EQ(r["autostart"].code, kMaliciousPath);
    EXPECT_EQ(r["empty"].code, kEmptyFile);
    EXPECT_EQ(r["empty-vp1"].code, kEmptyFile);
    // The string table has no text for the empty-file code: the description is the code line alone.
    EXPECT_EQ(r["empty-desc"].outcome, "ok:\"\\n(0xa0071007)\"");
}

TEST_F(SigningPagesTest, FileHeldExclusivelyByAnotherProcessIsRefused)
{
    std::string path = WriteFile("locked.txt", "locked content");
    std::basic_string<WCHAR> wide(path.begin(), path.end());
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    auto r = Run("pick();\n"
                 "rec('det', function () { return plugin.SignFileDetached(" + Js(path) + ", 'SHA-1'); });\n"
                 "rec('p1', function () { return plugin.SignFilePKCS1(" + Js(path) + ", 'SHA-1'); });\n");
    CloseHandle(h);
    auto after = Run("pick();\n"
                     "rec('det', function () { return plugin.SignFileDetached(" + Js(path) + ", 'SHA-1'); });\n");
    EXPECT_EQ(r["det"].code, kSharingViolation);
    EXPECT_EQ(r["p1"].code, kSharingViolation);
    EXPECT_TRUE(after["det"].ok()) << after["det"].outcome << " " << after["det"].code;
}

TEST_F(SigningPagesTest, DescriptionsOfSigningFailures)
{
    auto r = Run("rec('nocert', function () { plugin.SignMessage('m', 'SHA-1'); });\n"
                 "rec('nocert-desc', function () { return JSON.stringify(plugin.GetLastErrorDesc()); });\n"
                 "pick();\n"
                 "rec('badhash', function () { plugin.SignMessage('m', 'SHA256'); });\n"
                 "rec('badhash-desc', function () { return JSON.stringify(plugin.GetLastErrorDesc()); });\n"
                 "rec('exe', function () { plugin.SignFileDetached(DATA + '../../no.exe', 'SHA-1'); });\n"
                 "rec('empty', function () { plugin.VerifyMessageSignature(''); });\n"
                 "rec('empty-desc', function () { return JSON.stringify(plugin.GetLastErrorDesc()); });\n"
                 "rec('ok', function () { return plugin.SignMessage('m', 'SHA-1').length > 0; });\n"
                 "rec('ok-desc', function () { return JSON.stringify(plugin.GetLastErrorDesc()); });\n");
    EXPECT_EQ(r["nocert-desc"].outcome, "ok:\"Certificate is not ready.\\n(0xa0072001)\"");
    EXPECT_EQ(r["badhash-desc"].outcome, "ok:\"Invalid hash algorithm.\\n(0xa0072020)\"");
    EXPECT_EQ(r["empty-desc"].outcome, "ok:\"The parameter is incorrect.\\r\\n\\n(0x80070057)\"");
    EXPECT_EQ(r["ok"].outcome, "ok:true");
    EXPECT_EQ(r["ok-desc"].outcome, "ok:\"The operation completed successfully.\\r\\n\\n(0x00000000)\"")
        << "a successful operation sets the last error back to 0";
    // A missing .exe: the existence test comes before the path checks.
    EXPECT_EQ(r["exe"].code, kFileNotFound);
}

TEST_F(SigningPagesTest, SigningDoesNotChangeTheSelectionAndInstancesAreApart)
{
    auto r = Run("var other = embed();\n"
                 "pick();\n"
                 "rec('sign1', function () { return plugin.SignMessage('a', 'SHA-1').length > 0; });\n"
                 "rec('sign2', function () { return plugin.SignMessagePKCS1('b', 'SHA-256').length > 0; });\n"
                 "rec('other', function () { return other.SignMessage('a', 'SHA-1'); }, other);\n"
                 // A message signed in one instance verifies in another: the signer travels in the message.
                 "var m = plugin.SignMessage('travels', 'SHA-256');\n"
                 "rec('other-verify', function () { return other.VerifyMessageSignature(m); }, other);\n"
                 "rec('other-pkcs7', function () { return other.VerifyMessageSignaturePKCS7(m); }, other);\n");
    EXPECT_EQ(r["sign1"].outcome, "ok:true");
    EXPECT_EQ(r["sign2"].outcome, "ok:true");
    EXPECT_EQ(r["other"].code, kNotReady);
    EXPECT_EQ(r["other-verify"].outcome, "ok:true");
    EXPECT_EQ(r["other-pkcs7"].outcome, "ok:travels");
}

TEST_F(SigningPagesTest, ExampleSigningPageRuns)
{
    // The example names its fixtures relative to the repository's top.
    std::string source = RequiredEnv("NPK_SOURCE_DIR");
    fs::path previous = fs::current_path();
    fs::current_path(source);
    HostResult r = Host({"run", source + "/examples/signing.js"});
    fs::current_path(previous);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Signer: CN=Alice Signer, OU=Signing, O=npKeystrand, C=KR"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("attached PKCS#7 verifies: true"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("detached PKCS#7 verifies: true"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("PKCS#1 verifies: true"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("content read back: Keystrand example text"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("changed text verifies: false"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Invalid hash algorithm. (0xa0072020)"), std::string::npos) << r.out;
}

// --- The signer operations without script methods, on an agent in this process. ---

using WString = std::basic_string<WCHAR>;

WString W(const std::string& s)
{
    // The fixtures' paths and the texts compared here are ASCII.
    return WString(s.begin(), s.end());
}

std::string Narrow(const WCHAR* p, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        WCHAR c = p[i];
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += '?';
        }
    }
    return out;
}

// A BSTR argument that frees itself.
class Arg {
public:
    explicit Arg(const std::string& s) : m_b(SysAllocStringLen(W(s).c_str(), static_cast<UINT>(s.size()))) {}
    ~Arg() { SysFreeString(m_b); }
    Arg(const Arg&) = delete;
    Arg& operator=(const Arg&) = delete;
    operator BSTR() const { return m_b; }

private:
    BSTR m_b;
};

// The text result, freed here; the agent always hands one out.
std::string Take(BSTR b)
{
    EXPECT_NE(b, nullptr);
    if (b == nullptr) return std::string();
    std::string s = Narrow(b, SysStringLen(b));
    SysFreeString(b);
    return s;
}

class SignerInformationTest : public HostTest {
protected:
    std::string Call(HRESULT (CCryptoAgent::*op)(BSTR*), HRESULT expected)
    {
        BSTR out = nullptr;
        EXPECT_EQ((m_agent.*op)(&out), expected) << std::hex << m_agent.LastError();
        return Take(out);
    }
    std::string SignAttached(const std::string& text)
    {
        BSTR out = nullptr;
        EXPECT_EQ(m_agent.SignMessage(Arg(text), Arg("SHA-256"), &out), S_OK) << std::hex << m_agent.LastError();
        return Take(out);
    }
    bool Verify(const std::string& sig)
    {
        VARIANT_BOOL ok = VARIANT_FALSE;
        m_agent.VerifyMessageSignature(Arg(sig), &ok);
        return ok == VARIANT_TRUE;
    }
    void Pick()
    {
        BSTR out = nullptr;
        ASSERT_EQ(m_agent.SelectSignCertificateByPFXFile(Arg(DataDir() + "signer.pfx"), Arg("npkeystrand"), &out), S_OK)
            << std::hex << m_agent.LastError();
        Take(out);
    }
    CCryptoAgent m_agent;
};

TEST_F(SignerInformationTest, ProviderNameAfterAPfxSelection)
{
    EXPECT_EQ(Call(&CCryptoAgent::GetCSPNameofSignCert, NPK_E_CERT_NOT_READY), "");
    Pick();
    std::string name = Call(&CCryptoAgent::GetCSPNameofSignCert, S_OK);
    EXPECT_EQ(name, "Microsoft Enhanced RSA and AES Cryptographic Provider");
    EXPECT_EQ(m_agent.LastError(), S_OK);
    // Asking again changes nothing: the same name, and signing still works.
    EXPECT_EQ(Call(&CCryptoAgent::GetCSPNameofSignCert, S_OK), name);
    EXPECT_FALSE(SignAttached("still signs").empty());
}

TEST_F(SignerInformationTest, SignerOfTheLastPkcs7Verification)
{
    EXPECT_EQ(Call(&CCryptoAgent::GetSignaturePublicCertDN, NPK_E_CERT_NOT_READY), "");
    EXPECT_EQ(Call(&CCryptoAgent::GetSignaturePublicCertSN, NPK_E_CERT_NOT_READY), "");
    Pick();
    std::string message = SignAttached("who signed this?");
    BSTR content = nullptr;
    ASSERT_EQ(m_agent.VerifyMessageSignaturePKCS7(Arg(message), &content), S_OK) << std::hex << m_agent.LastError();
    EXPECT_EQ(Take(content), "who signed this?");
    EXPECT_EQ(Call(&CCryptoAgent::GetSignaturePublicCertDN, S_OK), "CN=Alice Signer, OU=Signing, O=npKeystrand, C=KR");
    EXPECT_EQ(Call(&CCryptoAgent::GetSignaturePublicCertSN, S_OK), "010203");

    // An empty signature fails its argument test before the signer is dropped.
    VARIANT_BOOL ok = VARIANT_TRUE;
    EXPECT_EQ(m_agent.VerifyMessageSignature(Arg(""), &ok), E_INVALIDARG);
    EXPECT_EQ(ok, VARIANT_FALSE);
    EXPECT_EQ(Call(&CCryptoAgent::GetSignaturePublicCertSN, S_OK), "010203");

    // A following PKCS#1 verification, even a good one, forgets the signer.
    BSTR p1 = nullptr;
    ASSERT_EQ(m_agent.SignMessagePKCS1(Arg("bare"), Arg("SHA-1"), &p1), S_OK);
    std::string bare = Take(p1);
    ok = VARIANT_FALSE;
    EXPECT_EQ(m_agent.VerifyMessageSignaturePKCS1(Arg(bare), Arg("bare"), Arg("SHA-1"), &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    EXPECT_EQ(Call(&CCryptoAgent::GetSignaturePublicCertDN, NPK_E_CERT_NOT_READY), "");
    EXPECT_EQ(Call(&CCryptoAgent::GetSignaturePublicCertSN, NPK_E_CERT_NOT_READY), "");

    // An attached verification remembers the signer too; a failed one after it forgets it.
    EXPECT_TRUE(Verify(message));
    EXPECT_EQ(Call(&CCryptoAgent::GetSignaturePublicCertSN, S_OK), "010203");
    EXPECT_FALSE(Verify(message.substr(0, message.size() / 2)));
    EXPECT_EQ(Call(&CCryptoAgent::GetSignaturePublicCertDN, NPK_E_CERT_NOT_READY), "");
}

TEST_F(SignerInformationTest, DetachedAndFileVerificationsRememberTheSigner)
{
    Pick();
    BSTR d = nullptr;
    ASSERT_EQ(m_agent.SignMessageDetached(Arg("detached"), Arg("MD-5"), &d), S_OK);
    std::string detached = Take(d);
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(m_agent.VerifyMessageSignatureDetached(Arg(detached), Arg("detached"), &ok), S_OK);
    EXPECT_EQ(Call(&CCryptoAgent::GetSignaturePublicCertDN, S_OK), "CN=Alice Signer, OU=Signing, O=npKeystrand, C=KR");

    std::string file = WriteFile("signed.bin", std::string(20000, 'z'));
    BSTR f = nullptr;
    ASSERT_EQ(m_agent.SignFileDetached(Arg(file), Arg("SHA-256"), &f), S_OK);
    std::string fileSig = Take(f);
    // A PKCS#7 message is no bare signature value.
    EXPECT_LT(m_agent.VerifyFileSignaturePKCS1(Arg(fileSig), Arg(file), Arg("SHA-256"), &ok), 0);
    EXPECT_EQ(ok, VARIANT_FALSE);
    EXPECT_EQ(Call(&CCryptoAgent::GetSignaturePublicCertDN, NPK_E_CERT_NOT_READY), "")
        << "a failed file verification forgets the signer";
    ok = VARIANT_FALSE;
    EXPECT_EQ(m_agent.VerifyFileSignatureDetached(Arg(fileSig), Arg(file), &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    EXPECT_EQ(Call(&CCryptoAgent::GetSignaturePublicCertSN, S_OK), "010203");
}

}  // namespace
}  // namespace npk::test
