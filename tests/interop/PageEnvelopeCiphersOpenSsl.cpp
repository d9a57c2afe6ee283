// Envelopes that `openssl cms -encrypt` writes with the content ciphers of other writers
// (AES-128/192/256-CBC, DES-CBC, RC2-CBC), opened by a page both as text
// (DecryptEnvelopeMessage) and as a file (DecryptEnvelopeFile), recipients by issuer and
// serial number and by key identifier; and a key identifier recipient whose certificate has no
// subject key identifier extension.
#include "OpenSslPageTest.h"

namespace npk::test {
namespace {

const char kText[] = "AES, DES and RC2 envelopes \xE5\xBC\xA0\xE4\xB8\x89 \xEC\x9B\x90 open as on Windows.";
const char* const kLegacy = " -provider legacy -provider default";

class PageEnvelopeCiphersOpenSsl : public OpenSslPageTest {
protected:
    void SetUp() override
    {
        OpenSslPageTest::SetUp();
        if (IsSkipped()) return;
        m_text = WriteFile("text.txt", kText);
    }

    // The page lines that open envelope `label` (written to P(label + ".der")) both ways.
    std::string Decryptions(const std::string& label)
    {
        std::string b64 = ToBase64(ReadAll(P(label + ".der")));
        EXPECT_FALSE(b64.empty()) << label;
        return "out('" + label + ".text', function () { return plugin.DecryptEnvelopeMessage('" + b64 + "'); });\n"
               "out('" + label + ".file', function () { return plugin.DecryptEnvelopeFile(" + Js(P(label + ".der")) +
               ", " + Js(P(label + ".out")) + "); });\n";
    }

    void ExpectOpened(std::map<std::string, std::string>& values, const std::string& label)
    {
        SCOPED_TRACE(label);
        EXPECT_EQ(values[label + ".text"], "ok:" + std::string(kText) + "|0x00000000");
        EXPECT_EQ(values[label + ".file"], "ok:true|0x00000000");
        EXPECT_EQ(ReadAll(P(label + ".out")), kText);
    }

    std::string m_text;
};

TEST_F(PageEnvelopeCiphersOpenSsl, AesDesAndRc2EnvelopesOpenAsTextAndAsFile)
{
    std::vector<std::string> labels;
    std::string body = "plugin.SelectDecryptCertificateByPFXFile(DATA + 'recipient.pfx', 'npkeystrand');\n";
    for (const char* cipher : {"aes128", "aes192", "aes256", "des", "rc2-40-cbc", "rc2-cbc"}) {
        const bool legacy = cipher[0] == 'd' || cipher[0] == 'r';
        struct Form {
            const char* label;
            const char* options;
        };
        for (const Form& form : {Form{"ias", ""}, Form{"keyid", " -keyid"}, Form{"keyid-stream", " -keyid -stream"}}) {
            if (std::string(form.label) == "keyid-stream" && std::string(cipher) != "aes256") continue;
            std::string label = std::string(cipher) + "-" + form.label;
            std::string cmd = "openssl cms -encrypt -binary -outform DER -in " + m_text + " -out " + P(label + ".der") +
                              " -" + cipher + form.options + (legacy ? kLegacy : "") + " " + DataDir() + "recipient.pem";
            ASSERT_EQ(Run(cmd), 0) << cmd << "\n" << Output();
            labels.push_back(label);
            body += Decryptions(label);
        }
    }
    auto values = RunPage(body);
    for (const std::string& label : labels) ExpectOpened(values, label);
}

// nokeyid.cer has no subject key identifier extension. A certificate for the same key that
// carries the identifier computed from the key (what `subjectKeyIdentifier = hash` writes, and
// what Windows computes for a certificate without the extension) lets openssl address the
// envelope by key identifier; the page holds only nokeyid.pfx and must still find its key.
TEST_F(PageEnvelopeCiphersOpenSsl, KeyIdentifierRecipientWithoutTheExtension)
{
    WriteFile("twin.cnf",
              "[ req ]\ndistinguished_name = dn\nx509_extensions = ext\nprompt = no\n"
              "[ dn ]\nCN = Carol with a key identifier\n"
              "[ ext ]\nsubjectKeyIdentifier = hash\n");
    ASSERT_EQ(Run("openssl req -new -x509 -days 2 -config " + P("twin.cnf") + " -key " + DataDir() +
                  "nokeyid.key -out " + P("twin.pem")),
              0)
        << Output();
    std::vector<std::string> labels;
    std::string body = "plugin.SelectDecryptCertificateByPFXFile(DATA + 'nokeyid.pfx', 'npkeystrand');\n";
    for (const char* cipher : {"aes256", "des3"}) {
        for (const char* stream : {"", " -stream"}) {
            std::string label = std::string("twin-") + cipher + (stream[0] == 0 ? "" : "-stream");
            ASSERT_EQ(Run("openssl cms -encrypt -binary -outform DER -keyid -" + std::string(cipher) + stream + " -in " +
                          m_text + " -out " + P(label + ".der") + " " + P("twin.pem")),
                      0)
                << Output();
            labels.push_back(label);
            body += Decryptions(label);
        }
    }
    // An identifier that belongs to no certificate in reach still fails as before.
    ASSERT_EQ(Run("openssl cms -encrypt -binary -outform DER -keyid -aes256 -in " + m_text + " -out " +
                  P("other.der") + " " + DataDir() + "recipient.pem"),
              0)
        << Output();
    body += Decryptions("other");
    auto values = RunPage(body);
    for (const std::string& label : labels) ExpectOpened(values, label);
    EXPECT_EQ(values["other.text"].rfind("threw:", 0), 0u) << values["other.text"];
    EXPECT_EQ(values["other.file"].rfind("threw:", 0), 0u) << values["other.file"];
}

}  // namespace
}  // namespace npk::test
