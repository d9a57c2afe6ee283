// The plug-in's script surface driven through the host: the 30 methods, their argument
// checks, the default method, properties and separate instances.
#include "HostHarness.h"
#include "ScriptMethods.h"

#include <map>
#include <set>
#include <sstream>

namespace npk::test {
namespace {

// Operations whose work is not built yet fail with E_NOTIMPL after running the agent's
// frame; the code an operation leaves shows that the call reached the agent.
constexpr const char kNotImplemented[] = "0x80004001";
constexpr const char kSuccess[] = "0x00000000";
constexpr const char kNotReady[] = "0xa0072001";

// What a method's probe leaves as last error once it reached the agent: a failure, since the
// probes' arguments name no real file, signature or certificate, and the stores are empty.
void ExpectReachedTheAgent(const std::string& name, const std::string& after)
{
    SCOPED_TRACE(name);
    EXPECT_NE(after, kSuccess);
    EXPECT_NE(after, kNotImplemented);
    EXPECT_EQ(after.rfind("0x", 0), 0u) << after;
}

// Each probe runs on a fresh instance and prints: name|code before|outcome|code after.
const char kProbe[] =
    "function probe(label, name, args) {\n"
    "  var o = embed();\n"
    "  var before = code(o);\n"
    "  var r = attempt(function () { return o[name].apply(o, args); });\n"
    "  print(label + '|' + before + '|' + String(r).replace(/\\r/g, '\\\\r').replace(/\\n/g, '\\\\n') + '|' + code(o));\n"
    "}\n";

struct Probe {
    std::string before;
    std::string outcome;
    std::string after;
};

std::map<std::string, Probe> ParseProbes(const std::string& out)
{
    std::map<std::string, Probe> probes;
    for (const std::string& line : Lines(out)) {
        std::istringstream in(line);
        std::string label;
        Probe p;
        if (std::getline(in, label, '|') && std::getline(in, p.before, '|') && std::getline(in, p.outcome, '|') &&
            std::getline(in, p.after)) {
            probes[label] = p;
        }
    }
    return probes;
}

std::string Quoted(const std::string& s)
{
    return "'" + s + "'";
}

class ScriptSurfaceTest : public HostTest {};

TEST_F(ScriptSurfaceTest, FindsExactlyTheThirtyMethodsByExactName)
{
    std::string names = "[";
    for (const auto& m : ScriptMethods()) {
        names += Quoted(m.name) + ",";
    }
    names += "]";
    HostResult r = Page("var names = " + names + ";\n"
                        "var found = names.filter(function (n) { return typeof plugin[n] === 'function' && (n in plugin); });\n"
                        "print(found.length);\n"
                        "var wrong = ['signmessage', 'SIGNMESSAGE', 'SignMessag', 'SignMessageX', '', 'GetLastError', 'Hello'];\n"
                        "print(wrong.filter(function (n) { return (n in plugin) || typeof plugin[n] !== 'undefined'; }).join(','));\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0], "30");
    EXPECT_EQ(lines[1], "") << "names that are not methods were found";
}

TEST_F(ScriptSurfaceTest, EveryMethodWithItsArgumentCountReachesTheAgent)
{
    std::string script = kProbe;
    for (const auto& m : ScriptMethods()) {
        script += "probe(" + Quoted(m.name) + ", " + Quoted(m.name) + ", " + StringArgs(m.count) + ");\n";
    }
    HostResult r = Page(script);
    ASSERT_EQ(r.status, 0) << r.err;
    auto probes = ParseProbes(r.out);
    ASSERT_EQ(probes.size(), ScriptMethods().size()) << r.out;
    for (const auto& m : ScriptMethods()) {
        SCOPED_TRACE(m.name);
        const Probe& p = probes[m.name];
        EXPECT_EQ(p.before, kSuccess);
        if (std::string(m.name) == "GetLastErrorDesc") {
            EXPECT_EQ(p.outcome, "ok:The operation completed successfully.\\r\\n\\n(0x00000000)");
            EXPECT_EQ(p.after, kSuccess) << "GetLastErrorDesc must not change the last error";
            continue;
        }
        if (std::string(m.name) == "SelectDecryptCertificates") {
            // The user's "MY" store opens even when it is empty: an empty text and success.
            EXPECT_EQ(p.outcome, "ok:");
            EXPECT_EQ(p.after, kSuccess);
            continue;
        }
        ExpectReachedTheAgent(m.name, p.after);
        if (std::string(m.name) == "SelectEncryptCertificateByCERFile") {
            EXPECT_EQ(p.outcome, "threw:Selecte ERROR");
        } else {
            EXPECT_EQ(p.outcome.rfind("threw:", 0), 0u) << p.outcome;
            EXPECT_NE(p.outcome.find(m.name), std::string::npos) << "the error should name the method: " << p.outcome;
        }
    }
}

TEST_F(ScriptSurfaceTest, WrongArgumentCountIsRefusedWithoutCallingTheAgent)
{
    std::string script = kProbe;
    for (const auto& m : ScriptMethods()) {
        script += "probe(" + Quoted(std::string(m.name) + "+1") + ", " + Quoted(m.name) + ", " +
                  StringArgs(m.count + 1) + ");\n";
        if (m.count > 0) {
            script += "probe(" + Quoted(std::string(m.name) + "-1") + ", " + Quoted(m.name) + ", " +
                      StringArgs(m.count - 1) + ");\n";
        }
    }
    HostResult r = Page(script);
    ASSERT_EQ(r.status, 0) << r.err;
    auto probes = ParseProbes(r.out);
    size_t expected = 0;
    for (const auto& m : ScriptMethods()) {
        expected += m.count > 0 ? 2 : 1;
    }
    ASSERT_EQ(probes.size(), expected) << r.out;
    for (const auto& [label, p] : probes) {
        SCOPED_TRACE(label);
        EXPECT_EQ(p.outcome.rfind("threw:", 0), 0u) << p.outcome;
        // The exception of the certificate-file method is raised only after its argument check.
        EXPECT_EQ(p.outcome.find("Selecte ERROR"), std::string::npos);
        EXPECT_EQ(p.after, kSuccess) << "a refused call must leave the last error alone";
    }
}

TEST_F(ScriptSurfaceTest, NonStringArgumentsAreRefusedExceptTheUnreadOne)
{
    const std::vector<std::string> badValues = {"42", "1.5", "null", "true", "undefined", "plugin"};
    std::string script = kProbe;
    for (const auto& m : ScriptMethods()) {
        for (int pos = 0; pos < m.count; ++pos) {
            for (size_t v = 0; v < badValues.size(); ++v) {
                std::string args = "[";
                for (int k = 0; k < m.count; ++k) {
                    args += (k ? ", " : "") + (k == pos ? badValues[v] : std::string("'s'"));
                }
                args += "]";
                script += "probe(" + Quoted(std::string(m.name) + "#" + std::to_string(pos) + "=" + badValues[v]) +
                          ", " + Quoted(m.name) + ", " + args + ");\n";
            }
        }
    }
    HostResult r = Page(script);
    ASSERT_EQ(r.status, 0) << r.err;
    auto probes = ParseProbes(r.out);
    ASSERT_GT(probes.size(), 200u) << r.out;
    for (const auto& [label, p] : probes) {
        SCOPED_TRACE(label);
        EXPECT_EQ(p.outcome.rfind("threw:", 0), 0u) << p.outcome;
        if (label.rfind("DecryptEnvelopeMessagePKCS7#1=", 0) == 0) {
            // Its second argument is neither tested nor read: any value lets the call through,
            // which then finds no decryption store chosen.
            EXPECT_EQ(p.after, kNotReady);
        } else {
            EXPECT_EQ(p.after, kSuccess) << "a refused call must leave the last error alone";
        }
    }
}

TEST_F(ScriptSurfaceTest, EmptyEmbeddedNulAndNonAsciiStringsReachTheAgent)
{
    const std::vector<std::pair<std::string, std::string>> texts = {
        {"empty", "''"},
        {"nul", "'a\\u0000b'"},
        {"nonascii", "'CN=\\u5f20\\u4e09, O=\\uc778\\uc99d\\uc11c \\ud83d\\udd11'"},
    };
    std::string script = kProbe;
    for (const auto& m : ScriptMethods()) {
        if (m.count == 0) {
            continue;
        }
        for (const auto& [label, text] : texts) {
            std::string args = "[";
            for (int k = 0; k < m.count; ++k) {
                args += (k ? ", " : "") + text;
            }
            args += "]";
            script += "probe(" + Quoted(std::string(m.name) + ":" + label) + ", " + Quoted(m.name) + ", " + args + ");\n";
        }
    }
    HostResult r = Page(script);
    ASSERT_EQ(r.status, 0) << r.err;
    auto probes = ParseProbes(r.out);
    ASSERT_EQ(probes.size(), 3u * 28u) << r.out;
    for (const auto& [label, p] : probes) {
        SCOPED_TRACE(label);
        ExpectReachedTheAgent(label.substr(0, label.find(':')), p.after);
    }
}

TEST_F(ScriptSurfaceTest, NoArgumentMethodsRefuseEvenAnEmptyString)
{
    HostResult r = Page(std::string(kProbe) +
                        "probe('sdc-empty', 'SelectDecryptCertificates', ['']);\n"
                        "probe('sdc-number', 'SelectDecryptCertificates', [0]);\n"
                        "probe('sdc-none', 'SelectDecryptCertificates', []);\n"
                        "probe('gled-empty', 'GetLastErrorDesc', ['']);\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto probes = ParseProbes(r.out);
    ASSERT_EQ(probes.size(), 4u) << r.out;
    EXPECT_EQ(probes["sdc-empty"].after, kSuccess);
    EXPECT_EQ(probes["sdc-number"].after, kSuccess);
    // Choosing the (empty) "MY" store for decryption succeeds.
    EXPECT_EQ(probes["sdc-none"].after, kSuccess);
    EXPECT_EQ(probes["gled-empty"].outcome.rfind("threw:", 0), 0u);
}

TEST_F(ScriptSurfaceTest, DecryptEnvelopeMessagePKCS7NeedsTwoArgumentsButReadsOne)
{
    HostResult r = Page(std::string(kProbe) +
                        "probe('one', 'DecryptEnvelopeMessagePKCS7', ['env']);\n"
                        "probe('three', 'DecryptEnvelopeMessagePKCS7', ['env', 'x', 'y']);\n"
                        "probe('number', 'DecryptEnvelopeMessagePKCS7', ['env', 7]);\n"
                        "probe('null', 'DecryptEnvelopeMessagePKCS7', ['env', null]);\n"
                        "probe('string', 'DecryptEnvelopeMessagePKCS7', ['env', 'x']);\n"
                        "probe('first-number', 'DecryptEnvelopeMessagePKCS7', [7, 'env']);\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto probes = ParseProbes(r.out);
    ASSERT_EQ(probes.size(), 6u) << r.out;
    EXPECT_EQ(probes["one"].after, kSuccess);
    EXPECT_EQ(probes["three"].after, kSuccess);
    EXPECT_EQ(probes["first-number"].after, kSuccess);
    EXPECT_EQ(probes["number"].after, kNotReady);
    EXPECT_EQ(probes["null"].after, kNotReady);
    EXPECT_EQ(probes["string"].after, kNotReady);
}

TEST_F(ScriptSurfaceTest, CertificateFileFailureThrowsTheFixedMessageOnlyAfterTheArgumentCheck)
{
    HostResult r = Page("print(attempt(function () { return plugin.SelectEncryptCertificateByCERFile('/no/such.cer'); }));\n"
                        "print(attempt(function () { return plugin.SelectEncryptCertificateByCERFile(); }));\n"
                        "print(attempt(function () { return plugin.SelectEncryptCertificateByCERFile(5); }));\n"
                        "try { plugin.SelectEncryptCertificateByCERFile('x'); } catch (e) { print(e instanceof Error); }\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "threw:Selecte ERROR");
    EXPECT_NE(lines[1], "threw:Selecte ERROR");
    EXPECT_EQ(lines[1].rfind("threw:", 0), 0u);
    EXPECT_NE(lines[2], "threw:Selecte ERROR");
    EXPECT_EQ(lines[3], "true");
}

TEST_F(ScriptSurfaceTest, TwoInstancesHaveIndependentAgents)
{
    HostResult r = Page("var a = embed(), b = embed();\n"
                        "attempt(function () { return a.SignMessage('x', 'SHA-1'); });\n"
                        "print(code(a), code(b), code(plugin));\n"
                        "attempt(function () { return plugin.SelectSignCertificate('', ''); });\n"
                        "print(code(a), code(b), code(plugin));\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0], std::string(kNotReady) + " 0x00000000 0x00000000");
    EXPECT_EQ(lines[1], std::string(kNotReady) + " 0x00000000 0xa0071001");
}

TEST_F(ScriptSurfaceTest, CallingTheObjectRunsTheDefaultMethodWhateverTheArguments)
{
    HostResult r = Page("print(plugin());\n"
                        "print(plugin(1, 'two', null, plugin));\n"
                        "print(embed()('x'));\n"
                        "var v = plugin(); print(typeof v, v.length);\n"
                        "print(code(plugin));\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], "default method return val");
    EXPECT_EQ(lines[1], "default method return val");
    EXPECT_EQ(lines[2], "default method return val");
    EXPECT_EQ(lines[3], "string 25");
    EXPECT_EQ(lines[4], "0x00000000") << "the default method does not involve the agent";
}

TEST_F(ScriptSurfaceTest, TheObjectHasNoProperties)
{
    HostResult r = Page("print(typeof plugin.anything, typeof plugin.length, 'anything' in plugin);\n"
                        "print(typeof plugin.SignMessage);\n"
                        "print(attempt(function () { plugin.anything = 1; return 'set'; }));\n"
                        "print(typeof plugin.anything);\n"
                        "print(attempt(function () { return plugin.NoSuchMethod('x'); }).indexOf('threw:') === 0);\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], "undefined undefined false");
    EXPECT_EQ(lines[1], "function");
    EXPECT_EQ(lines[2].rfind("threw:", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], "undefined");
    EXPECT_EQ(lines[4], "true");
}

TEST_F(ScriptSurfaceTest, LastErrorDescriptionOfAFreshAgentIsTheSuccessText)
{
    HostResult r = Page("var d = plugin.GetLastErrorDesc();\n"
                        "print(JSON.stringify(d));\n"
                        "print(d === plugin.GetLastErrorDesc());\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0].rfind("\"The operation completed successfully.", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("\\n(0x00000000)\""), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "true");
}

}  // namespace
}  // namespace npk::test
