// What a page signs, checked by the openssl command line, and what openssl signs, checked by
// a page: attached and detached PKCS#7 messages (`openssl cms`/`openssl smime`) and bare
// PKCS#1 signatures (`openssl dgst`), over texts and files, for each hash a page can name.
#include "OpenSslPageTest.h"

#include <openssl/evp.h>

namespace npk::test {
namespace {

struct Hash {
    const char* page;     // the name a page gives
    const char* openssl;  // openssl's digest name
};
const Hash kHashes[] = {{"MD-5", "md5"}, {"SHA-1", "sha1"}, {"SHA-256", "sha256"}};

const char kText[] = "Transfer 250 to account 1234-5678, reference npKeystrand interop.";

class PageSignaturesOpenSsl : public OpenSslPageTest {
protected:
    void SetUp() override
    {
        OpenSslPageTest::SetUp();
        if (IsSkipped()) return;
        m_text = WriteFile("text.txt", kText);
        std::string data(40000, '\0');
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 29 + 3) & 0xFF);
        m_file = WriteFile("data.bin", data);
        ASSERT_EQ(Run("openssl x509 -in " + DataDir() + "signer.pem -pubkey -noout -out " + P("pub.pem")), 0) << Output();
    }

    // Runs the page with the signer chosen; returns label -> text of each "label|text" line.
    std::map<std::string, std::string> SignedPage(const std::string& body)
    {
        return LabelledPage("plugin.SelectSignCertificateByPFXFile(" + Js(DataDir() + "signer.pfx") + ", 'npkeystrand');\n"
                            "function out(label, f) { var v; try { v = 'ok:' + f(); } catch (e) { v = 'threw:' + code(plugin); }"
                            " print(label + '|' + v.replace(/\\r?\\n/g, '')); }\n" +
                            body);
    }

    // Writes the page's Base64 result decoded into the named file.
    void Save(const std::string& value, const std::string& name)
    {
        ASSERT_EQ(value.rfind("ok:", 0), 0u) << value;
        std::string der = FromBase64(value.substr(3));
        ASSERT_FALSE(der.empty()) << value;
        std::ofstream(P(name), std::ios::binary) << der;
    }

    std::string m_text;
    std::string m_file;
};

TEST_F(PageSignaturesOpenSsl, WhatThePageSignsOpenSslVerifies)
{
    std::string body;
    for (const Hash& h : kHashes) {
        std::string H = Js(h.page);
        std::string n = h.openssl;
        body += "out('att-" + n + "', function () { return plugin.SignMessage(" + Js(kText) + ", " + H + "); });\n"
                "out('det-" + n + "', function () { return plugin.SignMessageDetached(" + Js(kText) + ", " + H + "); });\n"
                "out('p1-" + n + "', function () { return plugin.SignMessagePKCS1(" + Js(kText) + ", " + H + "); });\n"
                "out('fdet-" + n + "', function () { return plugin.SignFileDetached(" + Js(m_file) + ", " + H + "); });\n"
                "out('fp1-" + n + "', function () { return plugin.SignFilePKCS1(" + Js(m_file) + ", " + H + "); });\n";
    }
    auto v = SignedPage(body);
    const std::string fileBytes = ReadAll(m_file);
    for (const Hash& h : kHashes) {
        SCOPED_TRACE(h.openssl);
        const std::string n = h.openssl;
        Save(v["att-" + n], "att.p7");
        Save(v["det-" + n], "det.p7");
        Save(v["p1-" + n], "p1.sig");
        Save(v["fdet-" + n], "fdet.p7");
        Save(v["fp1-" + n], "fp1.sig");
        for (const char* tool : {"cms", "smime"}) {
            std::string verify = std::string("openssl ") + tool + " -verify -noverify -binary -inform DER -in ";
            ASSERT_EQ(Run(verify + P("att.p7") + " -out " + P("att.out")), 0) << tool << "\n" << Output();
            EXPECT_EQ(ReadAll(P("att.out")), kText);
            EXPECT_EQ(Run(verify + P("det.p7") + " -content " + m_text + " -out " + P("det.out")), 0) << tool << "\n" << Output();
            EXPECT_EQ(Run(verify + P("fdet.p7") + " -content " + m_file + " -out " + P("fdet.out")), 0) << tool << "\n" << Output();
            EXPECT_EQ(ReadAll(P("fdet.out")), fileBytes);
        }
        // The detached messages do not carry their content, and reject another one.
        EXPECT_NE(Run("openssl cms -verify -noverify -binary -inform DER -in " + P("det.p7") + " -content " + m_file +
                      " -out /dev/null"),
                  0);
        std::string dgst = "openssl dgst -" + n + " -verify " + P("pub.pem") + " -signature ";
        EXPECT_EQ(Run(dgst + P("p1.sig") + " " + m_text), 0) << Output();
        EXPECT_EQ(Run(dgst + P("fp1.sig") + " " + m_file), 0) << Output();
        EXPECT_NE(Run(dgst + P("p1.sig") + " " + m_file), 0) << "a signature over another text must not verify";
        // The value is PKCS#1 v1.5: what the public key recovers ends in the text's digest.
        ASSERT_EQ(Run("openssl pkeyutl -verifyrecover -pubin -inkey " + P("pub.pem") + " -in " + P("p1.sig") + " -out " +
                      P("p1.rec")),
                  0)
            << Output();
        ASSERT_EQ(Run("openssl dgst -" + n + " -binary -out " + P("p1.dgst") + " " + m_text), 0) << Output();
        std::string recovered = ReadAll(P("p1.rec"));
        std::string digest = ReadAll(P("p1.dgst"));
        ASSERT_GT(recovered.size(), digest.size());
        EXPECT_EQ(recovered.substr(recovered.size() - digest.size()), digest);
    }
}

TEST_F(PageSignaturesOpenSsl, WhatOpenSslSignsThePageVerifies)
{
    const std::string signer = " -signer " + DataDir() + "signer.pem -inkey " + DataDir() + "signer.key";
    struct Made {
        std::string label;
        std::string command;
        std::string input;
    };
    std::vector<Made> made;
    for (const Hash& h : kHashes) {
        const std::string n = h.openssl;
        for (const char* tool : {"cms", "smime"}) {
            for (const char* attrs : {"", " -noattr"}) {
                std::string key = std::string(tool) + (*attrs ? "-noattr-" : "-attr-") + n;
                std::string base = std::string("openssl ") + tool + " -sign -binary -outform DER -md " + n + attrs + signer;
                made.push_back({"att-" + key, base + " -nodetach -in " + m_text + " -out " + P("att-" + key), "att-" + key});
                made.push_back({"det-" + key, base + " -in " + m_text + " -out " + P("det-" + key), "det-" + key});
                made.push_back({"fdet-" + key, base + " -in " + m_file + " -out " + P("fdet-" + key), "fdet-" + key});
            }
        }
        made.push_back({"p1-" + n, "openssl dgst -" + n + " -sign " + DataDir() + "signer.key -out " + P("p1-" + n) + " " + m_text,
                        "p1-" + n});
        made.push_back({"fp1-" + n, "openssl dgst -" + n + " -sign " + DataDir() + "signer.key -out " + P("fp1-" + n) + " " + m_file,
                        "fp1-" + n});
    }
    std::string body;
    for (const Made& m : made) {
        ASSERT_EQ(Run(m.command), 0) << m.command << "\n" << Output();
        std::string der = ReadAll(P(m.input));
        std::string changed = der;
        changed[changed.size() - 7] = static_cast<char>(changed[changed.size() - 7] ^ 0x20);  // inside the signature value
        std::string good = Js(ToBase64(der));
        std::string bad = Js(ToBase64(changed));
        const std::string& l = m.label;
        std::string hash = l.substr(l.rfind('-') + 1);
        std::string pageHash = hash == "md5" ? "MD-5" : hash == "sha1" ? "SHA-1" : "SHA-256";
        if (l.rfind("att-", 0) == 0) {
            body += "out('" + l + "', function () { return plugin.VerifyMessageSignature(" + good + "); });\n"
                    "out('" + l + "-content', function () { return plugin.VerifyMessageSignaturePKCS7(" + good + "); });\n"
                    "out('" + l + "-changed', function () { return plugin.VerifyMessageSignature(" + bad + "); });\n";
        } else if (l.rfind("det-", 0) == 0) {
            body += "out('" + l + "', function () { return plugin.VerifyMessageSignatureDetached(" + good + ", " + Js(kText) + "); });\n"
                    "out('" + l + "-changed', function () { return plugin.VerifyMessageSignatureDetached(" + bad + ", " + Js(kText) + "); });\n";
        } else if (l.rfind("fdet-", 0) == 0) {
            body += "out('" + l + "', function () { return plugin.VerifyFileSignatureDetached(" + good + ", " + Js(m_file) + "); });\n"
                    "out('" + l + "-changed', function () { return plugin.VerifyFileSignatureDetached(" + bad + ", " + Js(m_file) + "); });\n";
        } else if (l.rfind("p1-", 0) == 0) {
            body += "out('" + l + "', function () { return plugin.VerifyMessageSignaturePKCS1(" + good + ", " + Js(kText) + ", " + Js(pageHash) + "); });\n"
                    "out('" + l + "-changed', function () { return plugin.VerifyMessageSignaturePKCS1(" + bad + ", " + Js(kText) + ", " + Js(pageHash) + "); });\n";
        } else {
            body += "out('" + l + "', function () { return plugin.VerifyFileSignaturePKCS1(" + good + ", " + Js(m_file) + ", " + Js(pageHash) + "); });\n"
                    "out('" + l + "-changed', function () { return plugin.VerifyFileSignaturePKCS1(" + bad + ", " + Js(m_file) + ", " + Js(pageHash) + "); });\n";
        }
    }
    auto v = SignedPage(body);
    for (const Made& m : made) {
        const std::string& l = m.label;
        SCOPED_TRACE(l);
        EXPECT_EQ(v[l + "-changed"].rfind("threw:", 0), 0u) << v[l + "-changed"];
        EXPECT_NE(v[l + "-changed"], "threw:0x00000000");
        if (l.rfind("fdet-", 0) == 0 && l.find("-attr-") != std::string::npos) {
            // A file signature is checked over the file's digest alone: signed attributes fail it.
            EXPECT_EQ(v[l].rfind("threw:", 0), 0u) << v[l];
            continue;
        }
        EXPECT_EQ(v[l], "ok:true");
        if (l.rfind("att-", 0) == 0) {
            EXPECT_EQ(v[l + "-content"], std::string("ok:") + kText);
        }
    }
}

}  // namespace
}  // namespace npk::test
