// The host's commands and browser services: page runs and their exit status, the
// javascript: URL the plug-in requests, `npkeystrand call`, and finding the plug-in.
#include "FixtureData.h"
#include "HostHarness.h"

namespace npk::test {
namespace {

namespace fs = std::filesystem;

class HostCommandTest : public HostTest {};

TEST_F(HostCommandTest, PageRunsToItsEndWithStatusZero)
{
    HostResult r = Page("print('a', 1, 2.5, true, null, undefined);\nconsole.log('\\u4e2d\\u6587 \\ud83d\\ude00');\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "a 1 2.5 true null undefined\n\xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80\n");
}

// What `make demo` runs, from the repository's top as the Makefile does.
TEST_F(HostCommandTest, DemoPageSignsEncryptsAndRunsToItsEnd)
{
    const std::string source = RequiredEnv("NPK_SOURCE_DIR");
    const fs::path previous = fs::current_path();
    fs::current_path(source);
    HostResult r = Host({"run", source + "/examples/demo.js"});
    fs::current_path(previous);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Methods found: 30 of 30"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("VerifyMessageSignaturePKCS7(attached) gives the content -> \"Hello, world\""),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("DecryptEnvelopeMessage(envelope) -> \"secret\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("demo finished"), std::string::npos) << r.out;
}

TEST_F(HostCommandTest, UncaughtExceptionEndsThePageWithStatusOne)
{
    HostResult r = Page("print('before');\nthrow new Error('boom from the page');\nprint('after');\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "before\n");
    EXPECT_NE(r.err.find("boom from the page"), std::string::npos) << r.err;
}

TEST_F(HostCommandTest, FailedPluginCallUncaughtNamesTheMethod)
{
    HostResult r = Page("plugin.SignMessage('only one');\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("SignMessage"), std::string::npos) << r.err;
}

TEST_F(HostCommandTest, SyntaxErrorIsAnUncaughtException)
{
    HostResult r = Page("print('x'\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("SyntaxError"), std::string::npos) << r.err;
}

TEST_F(HostCommandTest, HelloRunsInThePageAfterSelectSignCertificateReturns)
{
    // Hello reads the last error: it already shows the finished call, so Hello ran after it.
    HostResult r = Page("var seen = [];\n"
                        "function Hello() { seen.push(code(plugin)); }\n"
                        "print(attempt(function () { return plugin.SelectSignCertificate('', ''); }).indexOf('threw:'));\n"
                        "print(seen.join(','));\n"
                        "attempt(function () { return plugin.SelectSignCertificate('only one'); });\n"
                        "print(seen.length);\n"
                        "attempt(function () { return plugin.SelectEncryptCertificate('', ''); });\n"
                        "attempt(function () { return plugin.SignMessage('x', 'SHA-1'); });\n"
                        "plugin();\n"
                        "print(seen.length);\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "0");
    EXPECT_EQ(lines[1], "0xa0071001") << "the empty stores hold no candidate";
    EXPECT_EQ(lines[2], "2") << "the request comes even when the arguments are refused";
    EXPECT_EQ(lines[3], "2") << "only SelectSignCertificate asks for Hello()";
    EXPECT_EQ(r.err, "");
}

TEST_F(HostCommandTest, MissingHelloIsReportedAndThePageGoesOn)
{
    HostResult r = Page("attempt(function () { return plugin.SelectSignCertificate('', ''); });\nprint('still running');\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "still running\n");
    EXPECT_NE(r.err.find("Hello"), std::string::npos) << r.err;
}

TEST_F(HostCommandTest, ErrorInsideHelloDoesNotStopThePage)
{
    HostResult r = Page("function Hello() { throw new Error('Hello broke'); }\n"
                        "attempt(function () { return plugin.SelectSignCertificate('', ''); });\nprint('went on');\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "went on\n");
    EXPECT_NE(r.err.find("Hello broke"), std::string::npos) << r.err;
}

TEST_F(HostCommandTest, CallPrintsTheResultOnSuccess)
{
    HostResult r = Host({"call", "GetLastErrorDesc"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("The operation completed successfully.", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\n(0x00000000)\n"), std::string::npos) << r.out;
}

TEST_F(HostCommandTest, CallFailureExitsOneAndDescribesTheLastError)
{
    HostResult r = Host({"call", "SignMessage", "text", "SHA-1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Certificate is not ready."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(0xa0072001)"), std::string::npos) << r.err;
}

TEST_F(HostCommandTest, CallRefusedForItsArgumentsLeavesTheLastErrorAtZero)
{
    HostResult r = Host({"call", "SignMessage", "text"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("SignMessage"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(0x00000000)"), std::string::npos) << r.err;
}

TEST_F(HostCommandTest, CallReportsThePluginException)
{
    HostResult r = Host({"call", "SelectEncryptCertificateByCERFile", "/no/such/file.cer"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Selecte ERROR"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(0x80070003)"), std::string::npos) << r.err;  // its folder does not exist
}

TEST_F(HostCommandTest, CallPrintsTheSubjectOfACertificateFile)
{
    HostResult r = Host({"call", "SelectEncryptCertificateByCERFile", FixtureDir() + "recipient.cer"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "CN=Bob Recipient, O=npKeystrand, C=KR\n");
}

TEST_F(HostCommandTest, CallOfAnUnknownMethodFails)
{
    HostResult r = Host({"call", "NoSuchMethod", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("NoSuchMethod"), std::string::npos) << r.err;
}

TEST_F(HostCommandTest, HelpAndUsage)
{
    HostResult help = RunProgram({HostPath(), "--help"}, Env());
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: npkeystrand"), std::string::npos);
    EXPECT_NE(help.out.find("call METHOD"), std::string::npos);

    HostResult none = RunProgram({HostPath()}, Env());
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("Usage: npkeystrand"), std::string::npos);

    HostResult unknown = RunProgram({HostPath(), "frobnicate"}, Env());
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("frobnicate"), std::string::npos);

    HostResult missing = Host({"run", (Dir() / "no-such-page.js").string()});
    EXPECT_EQ(missing.status, 2);
}

// A copy of the host in DIR/bin, whose ../lib is DIR/lib.
std::string InstallHostCopy(const fs::path& dir, const std::string& host)
{
    fs::create_directories(dir / "bin");
    fs::copy_file(host, dir / "bin" / "npkeystrand", fs::copy_options::overwrite_existing);
    return (dir / "bin" / "npkeystrand").string();
}

TEST_F(HostCommandTest, FindsThePluginThroughMozPluginPath)
{
    // The first directory holds only libraries that are not the plug-in.
    fs::path decoys = Dir() / "decoys";
    fs::create_directories(decoys);
    WriteFile("decoys/libbroken.so", "this is not a shared library");
    fs::path plugins = Dir() / "plugins";
    fs::create_directories(plugins);
    fs::copy_file(PluginPath(), plugins / "libnpKeystrand.so");
    std::string host = InstallHostCopy(Dir() / "inst", HostPath());

    auto env = Env();
    env["MOZ_PLUGIN_PATH"] = decoys.string() + ":" + (Dir() / "missing").string() + ":" + plugins.string();
    HostResult info = RunProgram({host, "info"}, env);
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("path: " + (plugins / "libnpKeystrand.so").string()), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("application/npKeystrand:*:npKeystrand certificate utilities"), std::string::npos);

    HostResult call = RunProgram({host, "call", "GetLastErrorDesc"}, env);
    EXPECT_EQ(call.status, 0) << call.err;
    EXPECT_NE(call.out.find("(0x00000000)"), std::string::npos);
}

TEST_F(HostCommandTest, FindsThePluginInTheLibDirectoryNextToTheHost)
{
    std::string host = InstallHostCopy(Dir() / "inst", HostPath());
    fs::create_directories(Dir() / "inst" / "lib");
    fs::copy_file(PluginPath(), Dir() / "inst" / "lib" / "libnpKeystrand.so");

    HostResult info = RunProgram({host, "info"}, Env());
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("/inst/bin/../lib/libnpKeystrand.so"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("name: NPRuntimeTest"), std::string::npos) << info.out;

    HostResult page = RunProgram({host, "run", WriteFile("p.js", "print(plugin());")}, Env());
    EXPECT_EQ(page.status, 0) << page.err;
    EXPECT_EQ(page.out, "default method return val\n");
}

TEST_F(HostCommandTest, NoPluginFoundIsAClearError)
{
    std::string host = InstallHostCopy(Dir() / "inst", HostPath());
    auto env = Env();
    env["MOZ_PLUGIN_PATH"] = (Dir() / "empty").string();
    HostResult r = RunProgram({host, "call", "GetLastErrorDesc"}, env);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("application/npKeystrand"), std::string::npos) << r.err;

    HostResult wrong = RunProgram({HostPath(), "--plugin", WriteFile("fake.so", "not a library"), "info"}, Env());
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find("fake.so"), std::string::npos) << wrong.err;
}

}  // namespace
}  // namespace npk::test
