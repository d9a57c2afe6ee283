// A page signs and decrypts with keys on a SoftHSM2 token reached through p11-kit's proxy, as
// a browser's page would with a smart card, and OpenSSL checks what it made; the PIN comes
// from the test-only variable, and failures reach GetLastErrorDesc with the card's texts.
#include "token/TokenSupport.h"

namespace npk::test {
namespace {

namespace fs = std::filesystem;

struct Record {
    std::string outcome;
    std::string code;
    bool ok() const { return outcome.rfind("ok:", 0) == 0; }
    std::string value() const { return ok() ? outcome.substr(3) : std::string(); }
};

const std::string kText = "Transfer 250 to 1234-5678";

class TokenPages : public TokenTest {
protected:
    std::map<std::string, Record> Run(const std::string& script, const std::map<std::string, std::string>& env = {})
    {
        HostResult r = Page("function rec(label, f) { var r = attempt(f);"
                            " print(label + '|' + String(r).replace(/\\n/g, '') + '|' + code(plugin)); return r; }\n" +
                                script,
                            env);
        EXPECT_EQ(r.status, 0) << r.err;
        m_out = r.out + r.err;
        return ParseRecords<Record>(r.out);
    }

    std::string Save(const std::string& name, const std::string& bytes)
    {
        return WriteFile(name, bytes);
    }

    std::string m_out;
};

TEST_F(TokenPages, SignsInAllThreeFormsAndOpenSslVerifies)
{
    const std::string text = Save("text.txt", kText);
    const std::string pub = (Dir() / "alice.pem").string();
    ASSERT_EQ(RunProgram({"/usr/bin/openssl", "x509", "-inform", "DER", "-in", DataDir() + "signer.cer", "-pubkey", "-noout", "-out", pub}).status, 0);
    std::string script = "rec('select', function () { return plugin.SelectSignCertificate('Alice', ''); });\n";
    const struct {
        const char* page;
        const char* openssl;
    } hashes[] = {{"MD-5", "md5"}, {"SHA-1", "sha1"}, {"SHA-256", "sha256"}};
    for (const auto& h : hashes) {
        std::string n = h.openssl, H = Js(h.page);
        script += "rec('att-" + n + "', function () { return plugin.SignMessage(" + Js(kText) + ", " + H + "); });\n"
                  "rec('det-" + n + "', function () { return plugin.SignMessageDetached(" + Js(kText) + ", " + H + "); });\n"
                  "rec('p1-" + n + "', function () { return plugin.SignMessagePKCS1(" + Js(kText) + ", " + H + "); });\n";
    }
    auto v = Run(script);
    ASSERT_TRUE(v["select"].ok()) << m_out;
    for (const auto& h : hashes) {
        SCOPED_TRACE(h.openssl);
        const std::string n = h.openssl;
        for (const char* form : {"att-", "det-", "p1-"}) ASSERT_TRUE(v[form + n].ok()) << form << " " << v[form + n].code << m_out;
        std::string att = Save("att.p7", FromBase64(v["att-" + n].value()));
        std::string det = Save("det.p7", FromBase64(v["det-" + n].value()));
        std::string p1 = Save("p1.sig", FromBase64(v["p1-" + n].value()));
        HostResult r = RunProgram({"/usr/bin/openssl", "cms", "-verify", "-noverify", "-binary", "-inform", "DER", "-in", att});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, kText);
        r = RunProgram({"/usr/bin/openssl", "cms", "-verify", "-noverify", "-binary", "-inform", "DER", "-in", det, "-content", text});
        EXPECT_EQ(r.status, 0) << r.err;
        r = RunProgram({"/usr/bin/openssl", "dgst", "-" + n, "-verify", pub, "-signature", p1, text});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
}

TEST_F(TokenPages, TheModuleCanBeNamedInsteadOfTheProxy)
{
    auto v = Run("rec('select', function () { return plugin.SelectSignCertificate('Alice', ''); });\n"
                 "rec('sign', function () { return plugin.SignMessagePKCS1('x', 'SHA-256'); });\n",
                 {{"NPKEYSTRAND_PKCS11_MODULE", kSoftHsmModule}});
    EXPECT_TRUE(v["sign"].ok()) << m_out;
    // A module that cannot be loaded leaves "MY" without the token's certificates.
    v = Run("rec('select', function () { return plugin.SelectSignCertificate('Alice', ''); });\n",
            {{"NPKEYSTRAND_PKCS11_MODULE", (Dir() / "missing.so").string()}});
    EXPECT_EQ(v["select"].code, "0xa0071001") << m_out;
}

TEST_F(TokenPages, WrongPinAndAbsentPinAreExplained)
{
    auto v = Run("rec('select', function () { return plugin.SelectSignCertificate('Alice', ''); });\n"
                 "rec('sign', function () { return plugin.SignMessage('x', 'SHA-1'); });\n"
                 "print('desc|' + plugin.GetLastErrorDesc().replace(/\\s+/g, ' ') + '|');\n",
                 {{kTestPinVariable, "9999"}});
    EXPECT_EQ(v["sign"].code, "0x8010006b") << m_out;
    EXPECT_NE(v["desc"].outcome.find("the wrong PIN was presented"), std::string::npos) << m_out;
    // Without the variable and without a display the dialog cannot ask: the page fails at once.
    v = Run("rec('select', function () { return plugin.SelectSignCertificate('Alice', ''); });\n"
            "rec('sign', function () { return plugin.SignMessage('x', 'SHA-1'); });\n",
            {{kTestPinVariable, ""}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
    EXPECT_EQ(v["sign"].code, "0x80070032") << m_out;
}

TEST_F(TokenPages, LockedPinIsExplainedWhetherTheFlagsOrTheLoginSayIt)
{
    for (const char* stage : {"flags", "login"}) {
        SCOPED_TRACE(stage);
        auto v = Run("rec('select', function () { return plugin.SelectSignCertificate('Alice', ''); });\n"
                     "rec('sign', function () { return plugin.SignMessageDetached('x', 'SHA-256'); });\n"
                     "print('desc|' + plugin.GetLastErrorDesc().replace(/\\s+/g, ' ') + '|');\n",
                     {{"NPKEYSTRAND_PKCS11_MODULE", NPK_LOCKED_PIN_MODULE}, {"NPK_TEST_PIN_LOCK", stage}});
        ASSERT_TRUE(v["select"].ok()) << m_out;
        EXPECT_EQ(v["sign"].code, "0x8010006c") << m_out;
        EXPECT_NE(v["desc"].outcome.find("maximum number of PIN entry attempts"), std::string::npos) << m_out;
    }
}

TEST_F(TokenPages, ThePinNeverReachesTheTrace)
{
    // A PIN no other text contains, so any trace of it would show.
    const std::string pin = "tr4ce-pin-93d1";
    fs::path token = Dir() / "pin-token";
    std::string script = std::string(NPK_DEFAULT_SOURCE_DIR) + "/tests/token/make-token.sh";
    HostResult made = RunProgram({"/bin/sh", script, token.string(), kTokenLabel, pin, DataDir() + "signer.key",
                                  DataDir() + "signer.cer", "01"},
                                 {}, 60);
    ASSERT_EQ(made.status, 0) << made.err;
    Use(token);
    ASSERT_EQ(Host({"trace", "start", "--flags", "0xF", "--level", "5"}).status, 0);
    auto v = Run("rec('select', function () { return plugin.SelectSignCertificate('Alice', ''); });\n"
                 "rec('sign', function () { return plugin.SignMessage('x', 'SHA-1'); });\n",
                 {{kTestPinVariable, pin}});
    EXPECT_TRUE(v["sign"].ok()) << m_out;
    ASSERT_EQ(Host({"trace", "stop"}).status, 0);
    HostResult shown = Host({"trace", "show"});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("SignMessage"), std::string::npos) << "the trace recorded nothing";
    EXPECT_EQ(shown.out.find(pin), std::string::npos);
    // Nor any file the layer keeps: the stores, the key containers, the trace sessions.
    for (const char* sub : {"data", "config", "runtime", "home"}) {
        for (const auto& entry : fs::recursive_directory_iterator(Dir() / sub)) {
            if (!entry.is_regular_file()) continue;
            EXPECT_EQ(ReadAll(entry.path().string()).find(pin), std::string::npos) << entry.path();
        }
    }
}

TEST_F(TokenPages, OpenSslEnvelopeForTheTokenDecryptsInMemoryAndStreamed)
{
    const std::string plain = Save("plain.txt", kText);
    const std::string env = (Dir() / "env.p7m").string();
    HostResult r = RunProgram({"/usr/bin/openssl", "cms", "-encrypt", "-binary", "-des3", "-outform", "DER", "-in", plain, "-out",
                               env, DataDir() + "recipient.pem"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string out = (Dir() / "env.out").string();
    auto v = Run("rec('select', function () { return plugin.SelectDecryptCertificates(); });\n"
                 "rec('memory', function () { return plugin.DecryptEnvelopeMessage(" + Js(ToBase64(ReadAll(env))) + "); });\n"
                 "rec('file', function () { return plugin.DecryptEnvelopeFile(" + Js(env) + ", " + Js(out) + "); });\n");
    ASSERT_TRUE(v["select"].ok()) << m_out;
    EXPECT_EQ(v["memory"].value(), kText) << v["memory"].code << m_out;
    EXPECT_TRUE(v["file"].ok()) << v["file"].code << m_out;
    EXPECT_EQ(ReadAll(out), kText);

    // A wrong PIN fails the decryption with the card's code, not as a message no key opens.
    v = Run("rec('select', function () { return plugin.SelectDecryptCertificates(); });\n"
            "rec('memory', function () { return plugin.DecryptEnvelopeMessage(" + Js(ToBase64(ReadAll(env))) + "); });\n",
            {{kTestPinVariable, "9999"}});
    EXPECT_EQ(v["memory"].code, "0x8010006b") << m_out;
}

TEST_F(TokenPages, StoreListShowsTheTokenAndRemoveRefuses)
{
    HostResult imported = Host({"store", "import", "MY", DataDir() + "nokeyid.pfx", "--password", "npkeystrand"});
    ASSERT_EQ(imported.status, 0) << imported.err;
    HostResult list = Host({"store", "list", "MY"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("Alice Signer"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("token: Test Token"), std::string::npos) << list.out;
    // Each token certificate says its token; the imported ones do not.
    size_t tokens = 0;
    for (size_t p = 0; (p = list.out.find("token: Test Token", p)) != std::string::npos; ++p) ++tokens;
    EXPECT_EQ(tokens, 2u) << list.out;

    std::string thumb;
    {
        HostResult fp = RunProgram({"/usr/bin/openssl", "x509", "-inform", "DER", "-in", DataDir() + "signer.cer", "-noout", "-fingerprint", "-sha1"});
        thumb = fp.out.substr(fp.out.find('=') + 1);
        thumb.erase(std::remove(thumb.begin(), thumb.end(), ':'), thumb.end());
        thumb.erase(std::remove(thumb.begin(), thumb.end(), '\n'), thumb.end());
    }
    HostResult removed = Host({"store", "remove", "MY", thumb});
    EXPECT_NE(removed.status, 0);
    EXPECT_NE(removed.err.find("token \"Test Token\""), std::string::npos) << removed.out << removed.err;
    list = Host({"store", "list", "MY"});
    EXPECT_NE(list.out.find("Alice Signer"), std::string::npos);
}

}  // namespace
}  // namespace npk::test
