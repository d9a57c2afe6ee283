// Tracing a page's calls end to end: `npkeystrand trace start`, a page run, `trace stop`
// and `trace show`.
#include "FixtureData.h"
#include "HostHarness.h"

#include <algorithm>
#include <regex>

namespace npk::test {
namespace {

class TraceEndToEndTest : public HostTest {
protected:
    // Traces one page with the given flags and returns what `trace show` prints.
    std::string TracePage(const std::string& flags, const std::string& script)
    {
        HostResult start = RunProgram({HostPath(), "trace", "start", "--flags", flags}, Env());
        EXPECT_EQ(start.status, 0) << start.out << start.err;
        HostResult page = Page(script);
        EXPECT_EQ(page.status, 0) << page.err;
        HostResult stop = RunProgram({HostPath(), "trace", "stop"}, Env());
        EXPECT_EQ(stop.status, 0) << stop.out << stop.err;
        HostResult show = RunProgram({HostPath(), "trace", "show"}, Env());
        EXPECT_EQ(show.status, 0) << show.err;
        return show.out;
    }
};

struct Call {
    std::string name;
    std::vector<Call> inner;
};

// Rebuilds the call tree from the entry and exit events; false when they do not pair up.
bool CallTree(const std::string& out, std::vector<Call>& roots, std::string& problem)
{
    std::vector<Call> top;
    // Pointers into vectors move when they grow, so the open calls are kept as index paths.
    std::vector<size_t> path;
    auto at = [&](const std::vector<size_t>& p) -> std::vector<Call>& {
        std::vector<Call>* level = &top;
        for (size_t i : p) {
            level = &(*level)[i].inner;
        }
        return *level;
    };
    std::vector<std::string> names;
    for (const std::string& line : Lines(out)) {
        size_t e = line.find("Entering ");
        size_t l = line.find("Leaving ");
        if (e != std::string::npos) {
            std::string name = line.substr(e + 9);
            std::vector<Call>& level = at(path);
            level.push_back(Call{name, {}});
            path.push_back(level.size() - 1);
            names.push_back(name);
        } else if (l != std::string::npos) {
            std::string name = line.substr(l + 8);
            if (names.empty() || names.back() != name) {
                problem = "exit of " + name + " does not match entry of " + (names.empty() ? "nothing" : names.back());
                return false;
            }
            names.pop_back();
            path.pop_back();
        }
    }
    if (!names.empty()) {
        problem = names.back() + " was entered and never left";
        return false;
    }
    roots = std::move(top);
    return true;
}

const Call* Find(const std::vector<Call>& calls, const std::string& name)
{
    for (const Call& c : calls) {
        if (c.name == name) {
            return &c;
        }
    }
    return nullptr;
}

TEST_F(TraceEndToEndTest, FunctionFlagShowsNestedEntryAndExitOfAScriptCall)
{
    std::string out = TracePage("8", "attempt(function () { return plugin.SignMessage('abc', 'SHA-1'); });\n");
    std::vector<Call> roots;
    std::string problem;
    ASSERT_TRUE(CallTree(out, roots, problem)) << problem << "\n" << out;

    const Call* invokeTrampoline = Find(roots, "CScriptablePluginObjectBase::_Invoke");
    ASSERT_NE(invokeTrampoline, nullptr) << out;
    const Call* invoke = Find(invokeTrampoline->inner, "CScriptablePluginObject::Invoke");
    ASSERT_NE(invoke, nullptr) << out;
    const Call* adapter = Find(invoke->inner, "CScriptablePluginObject::npSignMessage");
    ASSERT_NE(adapter, nullptr) << out;
    EXPECT_EQ(std::count_if(adapter->inner.begin(), adapter->inner.end(),
                            [](const Call& c) { return c.name == "ConverNPStringtoNULLEndString"; }),
              2)
        << out;
    EXPECT_NE(Find(adapter->inner, "CCryptoAgent::SignMessage"), nullptr) << out;

    EXPECT_EQ(out.find("Step failed"), std::string::npos) << "only TRACE_FUNCTION was enabled";
    EXPECT_EQ(out.find("Step succeeded"), std::string::npos) << "only TRACE_FUNCTION was enabled";
}

TEST_F(TraceEndToEndTest, InformationShowsArgumentsAsTheAgentReceivesThem)
{
    std::string out = TracePage("4",
                                "attempt(function () { return plugin.SelectSignCertificate('before\\u0000after', ''); });\n"
                                "attempt(function () { return plugin.SelectSignCertificate('CN=\\u5f20\\u4e09', ''); });\n");
    EXPECT_NE(out.find("before"), std::string::npos) << out;
    // Other events may say "after"; the one that shows the text must end where U+0000 was.
    for (const std::string& line : Lines(out)) {
        if (line.find("before") != std::string::npos) {
            EXPECT_EQ(line.find("after"), std::string::npos) << "the text is cut at U+0000\n" << line;
        }
    }
    EXPECT_NE(out.find("CN=\xE5\xBC\xA0\xE4\xB8\x89"), std::string::npos) << out;
    EXPECT_EQ(out.find("Entering "), std::string::npos) << "TRACE_FUNCTION was not enabled";
}

TEST_F(TraceEndToEndTest, PfxPasswordNeverReachesTheTrace)
{
    std::string out = TracePage("0xF",
                                "attempt(function () { return plugin.SelectSignCertificateByPFXFile('/tmp/none.pfx', 'Sw0rdf1sh!pw'); });\n"
                                "attempt(function () { return plugin.SelectDecryptCertificateByPFXFile('/tmp/none.pfx', 'Sw0rdf1sh!pw'); });\n");
    EXPECT_NE(out.find("/tmp/none.pfx"), std::string::npos) << "the trace should show the file name\n" << out;
    EXPECT_EQ(out.find("Sw0rdf1sh!pw"), std::string::npos) << out;
}

// The texts a page signs or encrypts, attached signatures and decrypted texts reach the trace
// as lengths only; file names and algorithm names still show.
TEST_F(TraceEndToEndTest, PageTextsReachTheTraceAsLengthsOnly)
{
    const std::string data = FixtureDir();
    std::string out = TracePage(
        "0xF",
        "plugin.SelectSignCertificateByPFXFile('" + data + "signer.pfx', 'npkeystrand');\n"
        "var sig = plugin.SignMessage('Quokka-signed-text', 'SHA-256');\n"
        "plugin.VerifyMessageSignature(sig);\n"
        "if (plugin.VerifyMessageSignaturePKCS7(sig) !== 'Quokka-signed-text') throw new Error('content');\n"
        "plugin.VerifyMessageSignaturePKCS1(plugin.SignMessagePKCS1('Quokka-pkcs1-text', 'MD-5'), 'Quokka-pkcs1-text', 'MD-5');\n"
        "plugin.VerifyMessageSignatureDetached(plugin.SignMessageDetached('Quokka-detached', 'SHA-1'), 'Quokka-detached');\n"
        "plugin.SelectEncryptCertificateByCERFile('" + data + "recipient.cer');\n"
        "plugin.SelectDecryptCertificateByPFXFile('" + data + "recipient.pfx', 'npkeystrand');\n"
        "var plain = plugin.DecryptEnvelopeMessage(plugin.EncryptMessageasEnvelope('Quokka-sealed-text'));\n"
        "if (plain !== 'Quokka-sealed-text') throw new Error('decrypted');\n"
        "plugin.DecryptEnvelopeMessagePKCS7(plugin.EncryptMessageasEnvelopePKCS7_3DES('Quokka-3des-text'), 0);\n"
        "print('SIG ' + sig);\n");
    EXPECT_EQ(out.find("Quokka"), std::string::npos) << out;
    // The attached signature carries the text, so it is not shown either.
    HostResult again = Page("plugin.SelectSignCertificateByPFXFile('" + data + "signer.pfx', 'npkeystrand');\n"
                            "print(plugin.SignMessage('Quokka-signed-text', 'SHA-256'));\n");
    ASSERT_EQ(again.status, 0) << again.err;
    const std::string sig = again.out.substr(0, again.out.find('\n'));
    ASSERT_GT(sig.size(), 60u);  // its first line
    EXPECT_EQ(out.find(sig.substr(0, 60)), std::string::npos) << out;
    EXPECT_NE(out.find("signer.pfx"), std::string::npos) << out;
    EXPECT_NE(out.find("SHA-256"), std::string::npos) << out;
    EXPECT_NE(out.find("characters (not shown)"), std::string::npos) << out;
}

// Every module's events are described by the formats `trace show` reads: one shown as its bare
// GUID, number and bytes went out under a GUID or number nobody describes.
TEST_F(TraceEndToEndTest, EveryEventOfASigningAndEnvelopePageHasAFormat)
{
    const std::string data = FixtureDir();
    std::string out = TracePage(
        "0xF",
        "plugin.SelectSignCertificateByPFXFile('" + data + "signer.pfx', 'npkeystrand');\n"
        "plugin.VerifyMessageSignature(plugin.SignMessage('hello', 'SHA-256'));\n"
        "plugin.VerifyMessageSignaturePKCS1(plugin.SignMessagePKCS1('hello', 'MD-5'), 'hello', 'MD-5');\n"
        "plugin.SelectEncryptCertificateByCERFile('" + data + "recipient.cer');\n"
        "plugin.SelectDecryptCertificateByPFXFile('" + data + "recipient.pfx', 'npkeystrand');\n"
        "plugin.DecryptEnvelopeMessage(plugin.EncryptMessageasEnvelope('x'));\n"
        "plugin.DecryptEnvelopeMessagePKCS7(plugin.EncryptMessageasEnvelopePKCS7_3DES('x'), 0);\n"
        "attempt(function () { return plugin.SignMessage('m', 'SHA256'); });\n");
    const std::regex undescribed(R"(\{[0-9A-F-]{36}\} [0-9]+ \[)");
    for (const std::string& line : Lines(out)) {
        EXPECT_FALSE(std::regex_search(line, undescribed)) << line;
    }
    // The provider lookup has a module of its own.
    EXPECT_NE(out.find("file reading and provider lookup 10: CryptAcquireContextbyAlgorithm: provider"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("file reading and provider lookup 13: GetProviderInfo: "), std::string::npos) << out;
}

TEST_F(TraceEndToEndTest, StartWithoutOptionsEnablesEveryFlagAtLevelZeroAndListShowsIt)
{
    HostResult start = RunProgram({HostPath(), "trace", "start"}, Env());
    ASSERT_EQ(start.status, 0) << start.err;
    HostResult list = RunProgram({HostPath(), "trace", "list"}, Env());
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("provider {5C8F2A58-369A-44F0-9235-C05ECB1DD73E}  flags 0xf  level 0"), std::string::npos)
        << list.out;
    HostResult page = Page("attempt(function () { return plugin.SignMessage('abc', 'SHA-1'); });\n");
    EXPECT_EQ(page.status, 0) << page.err;
    ASSERT_EQ(RunProgram({HostPath(), "trace", "stop"}, Env()).status, 0);
    HostResult show = RunProgram({HostPath(), "trace", "show"}, Env());
    // Function entries (0x8), information (0x4) and the failed step (0x2) all reach the file.
    EXPECT_NE(show.out.find("Entering CCryptoAgent::SignMessage"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("NP_Initialize called"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("Step failed"), std::string::npos) << show.out;
    HostResult after = RunProgram({HostPath(), "trace", "list"}, Env());
    EXPECT_EQ(after.out.find("5C8F2A58"), std::string::npos) << "the stopped session is gone\n" << after.out;
}

TEST_F(TraceEndToEndTest, NothingIsTracedWhenTheSessionIsStopped)
{
    HostResult start = RunProgram({HostPath(), "trace", "start", "--flags", "0xF"}, Env());
    ASSERT_EQ(start.status, 0) << start.err;
    HostResult stop = RunProgram({HostPath(), "trace", "stop"}, Env());
    ASSERT_EQ(stop.status, 0) << stop.err;
    HostResult page = Page("attempt(function () { return plugin.SignMessage('abc', 'SHA-1'); });\n");
    ASSERT_EQ(page.status, 0) << page.err;
    HostResult show = RunProgram({HostPath(), "trace", "show"}, Env());
    EXPECT_EQ(show.out.find("SignMessage"), std::string::npos) << show.out;
}

// The host calls NP_GetEntryPoints before NP_Initialize and nothing after NP_Shutdown: the
// provider is registered only in between, so the session's first event is NP_Initialize's and
// its last NP_Shutdown's, even with every flag on from the start.
TEST_F(TraceEndToEndTest, NothingIsTracedBeforeInitializeOrAfterShutdown)
{
    std::string out = TracePage("0xF", "attempt(function () { return plugin.SignMessage('abc', 'SHA-1'); });\n");
    std::vector<std::string> lines = Lines(out);
    ASSERT_GE(lines.size(), 3u) << out;
    EXPECT_NE(lines.front().find("NP_Initialize called"), std::string::npos) << out;
    EXPECT_NE(lines.back().find("NP_Shutdown called"), std::string::npos) << out;
    EXPECT_EQ(out.find("NP_GetEntryPoints called"), std::string::npos) << out;
    EXPECT_NE(out.find("CCryptoAgent::SignMessage"), std::string::npos) << out;
}

}  // namespace
}  // namespace npk::test
