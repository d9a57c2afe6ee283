// Text envelopes as a page makes them: the recipient from a certificate file, the decryption
// key from a PFX file, the four encrypting methods against the two decrypting ones, and the
// codes GetLastErrorDesc reports when something is missing or wrong.
#include "PageSupport.h"

namespace npk::test {
namespace {

constexpr const char kOk[] = "0x00000000";
constexpr const char kNotReady[] = "0xa0072001";
constexpr const char kInvalidArg[] = "0x80070057";
constexpr const char kNoKeyId[] = "0xa0071021";
constexpr const char kNoDecryptCert[] = "0x8009200c";

const char* const kEncrypts[] = {"EncryptMessageasEnvelope", "EncryptMessageasEnvelopePKCS7",
                                 "EncryptMessageasEnvelope_3DES", "EncryptMessageasEnvelopePKCS7_3DES"};

struct Record {
    std::string outcome;
    std::string code;
    bool ok() const { return outcome.rfind("ok:", 0) == 0; }
    std::string value() const { return ok() ? outcome.substr(3) : std::string(); }
};

class EnvelopePagesTest : public HostTest {
protected:
    // rec(label, f) prints label|outcome|code; enc(file) and dec(file) choose the certificates.
    std::map<std::string, Record> Run(const std::string& script)
    {
        HostResult r = Page("var DATA = " + Js(DataDir()) + ";\n"
                            "function rec(label, f) { var r = attempt(f);"
                            " print(label + '|' + String(r).replace(/\\r?\\n/g, '') + '|' + code(plugin)); return r; }\n"
                            "function enc(f) { return plugin.SelectEncryptCertificateByCERFile(DATA + f); }\n"
                            "function dec(f) { return plugin.SelectDecryptCertificateByPFXFile(DATA + f, 'npkeystrand'); }\n" +
                            script);
        EXPECT_EQ(r.status, 0) << r.err;
        m_out = r.out + r.err;
        std::map<std::string, Record> records;
        for (const std::string& line : Lines(r.out)) {
            size_t a = line.find('|');
            size_t b = line.rfind('|');
            if (a == std::string::npos || a == b) continue;
            records[line.substr(0, a)] = {line.substr(a + 1, b - a - 1), line.substr(b + 1)};
        }
        return records;
    }
    std::string m_out;
};

TEST_F(EnvelopePagesTest, EachEncryptingMethodOpensWithBothDecryptingMethods)
{
    std::string script = "enc('recipient.cer'); dec('recipient.pfx');\n"
                         "var msg = 'Transfer 250 to 1234-5678 \\u5f20\\u4e09 \\uc6d0';\n";
    for (const char* m : kEncrypts) {
        std::string e = std::string(m);
        script += "var env_" + e + " = plugin." + e + "(msg); rec('" + e + "', function () { return env_" + e +
                  ".length > 0; });\n"
                  "rec('" + e + ".dec', function () { return plugin.DecryptEnvelopeMessage(env_" + e + ") === msg; });\n"
                  "rec('" + e + ".decPKCS7', function () { return plugin.DecryptEnvelopeMessagePKCS7(env_" + e +
                  ", 0) === msg; });\n";
    }
    // Two envelopes of the same text differ: a fresh content key each time.
    script += "rec('fresh', function () { return plugin.EncryptMessageasEnvelopePKCS7(msg) !== "
              "plugin.EncryptMessageasEnvelopePKCS7(msg); });\n";
    auto rec = Run(script);
    for (const char* m : kEncrypts) {
        std::string e = m;
        for (const std::string& label : {e, e + ".dec", e + ".decPKCS7"}) {
            EXPECT_EQ(rec[label].outcome, "ok:true") << label << "\n" << m_out;
            EXPECT_EQ(rec[label].code, kOk) << label;
        }
    }
    EXPECT_EQ(rec["fresh"].outcome, "ok:true");
}

TEST_F(EnvelopePagesTest, RecipientWithoutKeyIdentifierWorksOnlyForThePkcs7Methods)
{
    std::string script = "enc('nokeyid.cer'); dec('nokeyid.pfx');\n";
    for (const char* m : kEncrypts) {
        std::string e = m;
        script += "var env_" + e + " = rec('" + e + "', function () { return plugin." + e + "('for Carol'); });\n"
                  "if (env_" + e + ".indexOf('ok:') === 0) rec('" + e + ".dec', function () {"
                  " return plugin.DecryptEnvelopeMessage(env_" + e + ".substring(3)); });\n";
    }
    auto rec = Run(script);
    for (const char* e : {"EncryptMessageasEnvelope", "EncryptMessageasEnvelope_3DES"}) {
        EXPECT_EQ(rec[e].outcome.rfind("threw:", 0), 0u) << e << ": " << rec[e].outcome;
        EXPECT_EQ(rec[e].code, kNoKeyId) << e;
        EXPECT_EQ(rec.count(std::string(e) + ".dec"), 0u);
    }
    for (const char* e : {"EncryptMessageasEnvelopePKCS7", "EncryptMessageasEnvelopePKCS7_3DES"}) {
        EXPECT_TRUE(rec[e].ok()) << e;
        EXPECT_GT(rec[e].value().size(), 100u) << e;
        EXPECT_EQ(rec[e].code, kOk) << e;
        EXPECT_EQ(rec[std::string(e) + ".dec"].outcome, "ok:for Carol") << e;
    }
}

TEST_F(EnvelopePagesTest, MissingSelectionsAndEmptyArgumentsAreRefused)
{
    auto rec = Run("rec('emptyFirst', function () { return plugin.EncryptMessageasEnvelope(''); });\n"
                   "rec('noCert', function () { return plugin.EncryptMessageasEnvelopePKCS7_3DES('m'); });\n"
                   "rec('noStore', function () { return plugin.DecryptEnvelopeMessage('MIIB'); });\n"
                   "rec('noStorePKCS7', function () { return plugin.DecryptEnvelopeMessagePKCS7('MIIB', 1); });\n"
                   "enc('recipient.cer');\n"
                   "var env = plugin.EncryptMessageasEnvelope_3DES('kept');\n"
                   "rec('encrypted', function () { return env.length > 0; });\n"
                   "rec('stillNoStore', function () { return plugin.DecryptEnvelopeMessage(env); });\n"
                   "rec('emptyEnvelope', function () { return plugin.DecryptEnvelopeMessage(''); });\n"
                   "dec('nokeyid.pfx');\n"
                   "rec('wrongKey', function () { return plugin.DecryptEnvelopeMessage(env); });\n"
                   "dec('recipient.pfx');\n"
                   "rec('rightKey', function () { return plugin.DecryptEnvelopeMessagePKCS7(env, null); });\n"
                   "rec('oneArgument', function () { return plugin.DecryptEnvelopeMessagePKCS7(env); });\n");
    // A failed call is an exception in the page; the code tells why.
    EXPECT_EQ(rec["emptyFirst"].outcome.rfind("threw:", 0), 0u) << rec["emptyFirst"].outcome;
    EXPECT_EQ(rec["emptyFirst"].code, kInvalidArg);
    EXPECT_EQ(rec["noCert"].code, kNotReady);
    EXPECT_EQ(rec["noStore"].code, kNotReady);
    EXPECT_EQ(rec["noStorePKCS7"].code, kNotReady);
    EXPECT_EQ(rec["encrypted"].outcome, "ok:true");
    EXPECT_EQ(rec["stillNoStore"].outcome.rfind("threw:", 0), 0u);
    EXPECT_EQ(rec["stillNoStore"].code, kNotReady);
    EXPECT_EQ(rec["emptyEnvelope"].code, kInvalidArg);
    EXPECT_EQ(rec["wrongKey"].outcome.rfind("threw:", 0), 0u);
    EXPECT_EQ(rec["wrongKey"].code, kNoDecryptCert);
    EXPECT_EQ(rec["rightKey"].outcome, "ok:kept");
    EXPECT_EQ(rec["rightKey"].code, kOk);
    // Refused by the adapter, which needs the second argument.
    EXPECT_EQ(rec["oneArgument"].outcome.rfind("threw:", 0), 0u) << rec["oneArgument"].outcome;
}

TEST_F(EnvelopePagesTest, DescriptionsNameTheCause)
{
    auto rec = Run("enc('nokeyid.cer');\n"
                   "attempt(function () { return plugin.EncryptMessageasEnvelope('m'); });\n"
                   "print('keyid|' + plugin.GetLastErrorDesc().replace(/\\r?\\n/g, ' / ') + '|');\n"
                   "attempt(function () { return plugin.DecryptEnvelopeMessage('m'); });\n"
                   "print('store|' + plugin.GetLastErrorDesc().replace(/\\r?\\n/g, ' / ') + '|');\n");
    EXPECT_EQ(rec["keyid"].outcome, "Specified certificate doesn't contain subject key ID attribute. / (0xa0071021)");
    EXPECT_EQ(rec["store"].outcome, "Certificate is not ready. / (0xa0072001)");
}

TEST_F(EnvelopePagesTest, ExampleEnvelopePageRuns)
{
    // The example names its fixtures relative to the repository's top.
    const std::string source = RequiredEnv("NPK_SOURCE_DIR");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(source);
    HostResult r = Host({"run", source + "/examples/envelopes.js"});
    std::filesystem::current_path(previous);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    size_t opened = 0;
    for (size_t at = r.out.find("DecryptEnvelopeMessage: A message for Bob only"); at != std::string::npos;
         at = r.out.find("DecryptEnvelopeMessage: A message for Bob only", at + 1)) {
        ++opened;
    }
    EXPECT_EQ(opened, 4u) << r.out;
    EXPECT_NE(r.out.find("doesn't contain subject key ID attribute. (0xa0071021)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("EncryptMessageasEnvelopePKCS7 still works: MII"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace npk::test
