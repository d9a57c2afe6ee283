// What a page encrypts, opened by the openssl command line, and what openssl encrypts, opened
// by a page: text envelopes under RC4 and Triple DES, recipients by issuer and serial number
// or by subject key identifier, written by `openssl cms` and `openssl smime`, with definite
// and indefinite lengths.
#include "OpenSslPageTest.h"

#include <openssl/evp.h>

namespace npk::test {
namespace {

// UTF-8, with Chinese and Korean, so the text conversions on both sides are in play.
const char kText[] = "Transfer 250 to account 1234-5678 \xE5\xBC\xA0\xE4\xB8\x89 \xEC\x9B\x90, reference interop.";

struct PageMethod {
    const char* name;
    bool rc4;
};
const PageMethod kEncrypts[] = {
    {"EncryptMessageasEnvelope", true},
    {"EncryptMessageasEnvelopePKCS7", true},
    {"EncryptMessageasEnvelope_3DES", false},
    {"EncryptMessageasEnvelopePKCS7_3DES", false},
};

class PageEnvelopesOpenSsl : public OpenSslPageTest {
protected:
    void SetUp() override
    {
        OpenSslPageTest::SetUp();
        if (IsSkipped()) return;
        m_text = WriteFile("text.txt", kText);
    }

    std::string m_text;
};

TEST_F(PageEnvelopesOpenSsl, WhatThePageEncryptsOpenSslDecrypts)
{
    std::string body = "plugin.SelectEncryptCertificateByCERFile(DATA + 'recipient.cer');\n"
                       "var msg = " + Js(kText) + ";\n";
    for (const PageMethod& m : kEncrypts) body += "out('" + std::string(m.name) + "', function () { return plugin." + m.name + "(msg); });\n";
    auto values = RunPage(body);

    for (const PageMethod& m : kEncrypts) {
        SCOPED_TRACE(m.name);
        std::string value = values[m.name];
        ASSERT_EQ(value.rfind("ok:", 0), 0u) << value;
        value = value.substr(3, value.rfind('|') - 3);
        std::string der = FromBase64(value);
        ASSERT_FALSE(der.empty()) << value;
        std::ofstream(P("env.der"), std::ios::binary) << der;
        std::remove(P("plain.txt").c_str());
        std::string providers = m.rc4 ? " -provider legacy -provider default" : "";
        ASSERT_EQ(Run("openssl cms -decrypt -binary -inform DER -in " + P("env.der") + " -recip " + DataDir() +
                      "recipient.pem -inkey " + DataDir() + "recipient.key -out " + P("plain.txt") + providers),
                  0)
            << Output();
        EXPECT_EQ(ReadAll(P("plain.txt")), kText);
        // The recipient form is visible to openssl too.
        ASSERT_EQ(Run("openssl cms -cmsout -print -inform DER -in " + P("env.der")), 0) << Output();
        std::string printed = Output();
        bool keyId = std::string(m.name).find("PKCS7") == std::string::npos;
        EXPECT_EQ(printed.find("subjectKeyIdentifier") != std::string::npos, keyId) << printed;
        EXPECT_NE(printed.find(m.rc4 ? "rc4" : "des-ede3-cbc"), std::string::npos) << printed;
    }
}

TEST_F(PageEnvelopesOpenSsl, WhatOpenSslEncryptsThePageDecrypts)
{
    struct Variant {
        std::string label;
        std::string command;
    };
    std::vector<Variant> variants;
    for (const char* cipher : {"rc4", "des3"}) {
        const std::string providers = std::string(cipher) == "rc4" ? " -provider legacy -provider default" : "";
        for (const char* tool : {"cms", "smime"}) {
            for (bool keyId : {false, true}) {
                if (keyId && std::string(tool) == "smime") continue;  // smime has no -keyid
                for (bool stream : {false, true}) {
                    std::string label = std::string(tool) + "-" + cipher + (keyId ? "-keyid" : "") + (stream ? "-stream" : "");
                    std::string cmd = "openssl " + std::string(tool) + " -encrypt -binary -outform DER -in " + m_text +
                                      " -out " + P(label + ".der") + " -" + cipher + (keyId ? " -keyid" : "") +
                                      (stream ? " -stream" : "") + providers + " " + DataDir() + "recipient.pem";
                    variants.push_back({label, cmd});
                }
            }
        }
    }
    std::string body = "plugin.SelectDecryptCertificateByPFXFile(DATA + 'recipient.pfx', 'npkeystrand');\n";
    for (const Variant& v : variants) {
        ASSERT_EQ(Run(v.command), 0) << v.command << "\n" << Output();
        std::string b64 = ToBase64(ReadAll(P(v.label + ".der")));
        ASSERT_FALSE(b64.empty());
        body += "out('" + v.label + "', function () { return plugin.DecryptEnvelopeMessage('" + b64 + "'); });\n"
                "out('" + v.label + ".pkcs7', function () { return plugin.DecryptEnvelopeMessagePKCS7('" + b64 +
                "', 0); });\n";
    }
    auto values = RunPage(body);
    for (const Variant& v : variants) {
        for (const std::string& label : {v.label, v.label + ".pkcs7"}) {
            EXPECT_EQ(values[label], "ok:" + std::string(kText) + "|0x00000000") << label;
        }
    }
}

}  // namespace
}  // namespace npk::test
