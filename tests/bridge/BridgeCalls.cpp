// The bridge driven as a browser drives it: documents opened, called and closed through framed
// messages; what the page gets back is checked against the openssl command line and against
// what the plug-in answers under `npkeystrand run`.
#include "BridgeHarness.h"
#include "host/bridge/Bridge.h"

#include <openssl/evp.h>

namespace npk::test {
namespace {

constexpr double kInvalidArg = 2147942487.0;       // 0x80070057
constexpr double kInvalidHash = 2684821536.0;      // 0xA0072020
constexpr double kNotReady = 2684821505.0;         // 0xA0072001

std::string FromBase64(const std::string& text)
{
    std::string clean;
    for (char c : text) {
        if (c != '\r' && c != '\n') clean += c;
    }
    std::string out(clean.size() / 4 * 3 + 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(clean.data()), static_cast<int>(clean.size()));
    if (n < 0) return std::string();
    size_t pad = 0;
    if (!clean.empty() && clean.back() == '=') ++pad;
    if (clean.size() > 1 && clean[clean.size() - 2] == '=') ++pad;
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

class BridgeCalls : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_bridge = std::make_unique<BridgeProcess>(Env());
        ASSERT_TRUE(m_bridge->Started()) << BridgePath();
    }

    void TearDown() override
    {
        if (m_bridge != nullptr && m_expectCleanExit) {
            m_bridge->CloseInput();
            EXPECT_EQ(m_bridge->Wait(60000), 0) << m_bridge->Errors();
        }
    }

    std::map<std::string, std::string> Env() const
    {
        auto env = m_home.Env();
        env["NPKEYSTRAND_PLUGIN"] = PluginPath();
        return env;
    }

    std::string P(const std::string& name) const { return (m_home.Dir() / name).string(); }

    void Save(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(P(name), std::ios::binary) << bytes;
    }

    int Run(const std::string& command) const
    {
        const int rc = std::system((command + " >" + P("openssl.out") + " 2>&1").c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }

    std::string Read(const std::string& name) const
    {
        std::ifstream in(P(name), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    JsonValue Call(const std::string& doc, const std::string& method, const std::vector<std::string>& args = {})
    {
        return m_bridge->Request(CallMsg(++m_id, doc, method, args));
    }

    void Open(const std::string& doc)
    {
        JsonValue r = m_bridge->Request(OpenMsg(++m_id, doc));
        ASSERT_TRUE(IsOk(r)) << bridge::WriteJson(r);
        ASSERT_EQ(Id(r), m_id);
    }

    void SelectSigner(const std::string& doc)
    {
        JsonValue r = Call(doc, "SelectSignCertificateByPFXFile", {FixtureDir() + "signer.pfx", "npkeystrand"});
        ASSERT_TRUE(IsOk(r)) << bridge::WriteJson(r);
        ASSERT_NE(ResultText(r).find("Alice Signer"), std::string::npos) << ResultText(r);
    }

    TempHome m_home;
    std::unique_ptr<BridgeProcess> m_bridge;
    int m_id = 0;
    bool m_expectCleanExit = true;
};

TEST_F(BridgeCalls, SignaturesOpenSslAcceptsAndVerificationBothWays)
{
    if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl is not on PATH";
    ASSERT_NO_FATAL_FAILURE(Open("d1"));
    ASSERT_NO_FATAL_FAILURE(SelectSigner("d1"));
    const std::string text = "Pay 100 to 1234 \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80";
    Save("text.txt", text);
    ASSERT_EQ(Run("openssl x509 -in " + FixtureDir() + "signer.pem -pubkey -noout -out " + P("pub.pem")), 0);

    JsonValue attached = Call("d1", "SignMessage", {text, "SHA-1"});
    ASSERT_TRUE(IsOk(attached)) << bridge::WriteJson(attached);
    Save("att.p7", FromBase64(ResultText(attached)));
    ASSERT_EQ(Run("openssl cms -verify -noverify -binary -inform DER -in " + P("att.p7") + " -out " + P("att.out")), 0)
        << Read("openssl.out");
    EXPECT_EQ(Read("att.out"), text);

    JsonValue detached = Call("d1", "SignMessageDetached", {text, "SHA-256"});
    ASSERT_TRUE(IsOk(detached)) << bridge::WriteJson(detached);
    Save("det.p7", FromBase64(ResultText(detached)));
    EXPECT_EQ(Run("openssl cms -verify -noverify -binary -inform DER -in " + P("det.p7") + " -content " + P("text.txt")), 0)
        << Read("openssl.out");

    JsonValue pkcs1 = Call("d1", "SignMessagePKCS1", {text, "MD-5"});
    ASSERT_TRUE(IsOk(pkcs1)) << bridge::WriteJson(pkcs1);
    Save("p1.sig", FromBase64(ResultText(pkcs1)));
    EXPECT_EQ(Run("openssl dgst -md5 -verify " + P("pub.pem") + " -signature " + P("p1.sig") + " " + P("text.txt")), 0)
        << Read("openssl.out");

    // The plug-in verifies what it signed: flags come back as booleans.
    JsonValue ok = Call("d1", "VerifyMessageSignatureDetached", {ResultText(detached), text});
    ASSERT_TRUE(IsOk(ok)) << bridge::WriteJson(ok);
    ASSERT_TRUE(ok.Find("result")->IsBool());
    EXPECT_TRUE(ok.Find("result")->AsBool());
    JsonValue content = Call("d1", "VerifyMessageSignaturePKCS7", {ResultText(attached)});
    ASSERT_TRUE(IsOk(content)) << bridge::WriteJson(content);
    EXPECT_EQ(ResultText(content), text);

    // A signature over another text fails as a call, with the agent's code and description.
    JsonValue bad = Call("d1", "VerifyMessageSignatureDetached", {ResultText(detached), text + "!"});
    EXPECT_FALSE(IsOk(bad));
    EXPECT_GE(Code(bad), 2147483648.0) << bridge::WriteJson(bad);
    uint32_t code = 0;
    ASSERT_TRUE(bridge::CodeFromDescription(Description(bad), code)) << Description(bad);
    EXPECT_EQ(static_cast<double>(code), Code(bad));
}

TEST_F(BridgeCalls, FailuresCarryTheCodeAndTheDescriptionOfGetLastErrorDesc)
{
    ASSERT_NO_FATAL_FAILURE(Open("d1"));
    JsonValue fresh = Call("d1", "GetLastErrorDesc");
    ASSERT_TRUE(IsOk(fresh));
    EXPECT_NE(ResultText(fresh).find("(0x00000000)"), std::string::npos) << ResultText(fresh);

    // No certificate chosen yet.
    JsonValue notReady = Call("d1", "SignMessage", {"hello", "SHA-1"});
    EXPECT_FALSE(IsOk(notReady));
    EXPECT_EQ(Code(notReady), kNotReady);
    EXPECT_EQ(Description(notReady), "Certificate is not ready.\n(0xa0072001)");

    ASSERT_NO_FATAL_FAILURE(SelectSigner("d1"));
    JsonValue badHash = Call("d1", "SignMessage", {"x", "SHA256"});
    EXPECT_FALSE(IsOk(badHash));
    EXPECT_EQ(Code(badHash), kInvalidHash);
    EXPECT_EQ(Description(badHash), "Invalid hash algorithm.\n(0xa0072020)");
    // The page can still ask, and gets the same text: asking changes nothing.
    JsonValue again = Call("d1", "GetLastErrorDesc");
    EXPECT_EQ(ResultText(again), "Invalid hash algorithm.\n(0xa0072020)");

    // Argument lists the adapters refuse: the agent does not run, so its last error stays.
    for (const std::string& args : {std::string("\"hello\""), std::string("\"a\",\"b\",\"c\""),
                                    std::string("\"hello\",1"), std::string("\"hello\",null")}) {
        SCOPED_TRACE(args);
        JsonValue refused = m_bridge->Request(CallMsgJson(++m_id, "d1", "SignMessage", {args}));
        EXPECT_FALSE(IsOk(refused));
        EXPECT_EQ(Code(refused), kInvalidArg);
        EXPECT_NE(Description(refused).find("refused the arguments"), std::string::npos) << Description(refused);
    }
    EXPECT_EQ(ResultText(Call("d1", "GetLastErrorDesc")), "Invalid hash algorithm.\n(0xa0072020)");
    JsonValue withArg = Call("d1", "GetLastErrorDesc", {""});
    EXPECT_EQ(Code(withArg), kInvalidArg);

    // The path checks are the plug-in's: a PFX under /etc is refused by it, not by the bridge.
    JsonValue path = Call("d1", "SelectSignCertificateByPFXFile", {"/etc/npk-none.pfx", "x"});
    EXPECT_FALSE(IsOk(path));
    EXPECT_EQ(Code(path), 2684817414.0) << Description(path);  // 0xA0071006
}

TEST_F(BridgeCalls, EnvelopesRoundTripAndNumbersReachThePluginAsNumbers)
{
    ASSERT_NO_FATAL_FAILURE(Open("d1"));
    JsonValue enc = Call("d1", "SelectEncryptCertificateByCERFile", {FixtureDir() + "recipient.cer"});
    ASSERT_TRUE(IsOk(enc)) << bridge::WriteJson(enc);
    const std::string secret = "Envelope \xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4 text";
    JsonValue envelope = Call("d1", "EncryptMessageasEnvelopePKCS7_3DES", {secret});
    ASSERT_TRUE(IsOk(envelope)) << bridge::WriteJson(envelope);
    JsonValue dec = Call("d1", "SelectDecryptCertificateByPFXFile", {FixtureDir() + "recipient.pfx", "npkeystrand"});
    ASSERT_TRUE(IsOk(dec)) << bridge::WriteJson(dec);
    JsonValue plain = Call("d1", "DecryptEnvelopeMessage", {ResultText(envelope)});
    ASSERT_TRUE(IsOk(plain)) << bridge::WriteJson(plain);
    EXPECT_EQ(ResultText(plain), secret);
    // The second argument of this method is required but never read: a number does.
    JsonValue pkcs7 = m_bridge->Request(
        CallMsgJson(++m_id, "d1", "DecryptEnvelopeMessagePKCS7", {Quote(ResultText(envelope)), "5"}));
    ASSERT_TRUE(IsOk(pkcs7)) << bridge::WriteJson(pkcs7);
    EXPECT_EQ(ResultText(pkcs7), secret);
    // A failed decryption of garbage is an agent failure with its code.
    JsonValue garbage = Call("d1", "DecryptEnvelopeMessage", {"AAAA"});
    EXPECT_FALSE(IsOk(garbage));
    EXPECT_GE(Code(garbage), 2147483648.0);
    EXPECT_NE(Description(garbage).find("(0x"), std::string::npos);
    // The default method is not a method a page can name.
    EXPECT_EQ(Code(Call("d1", "")), kInvalidArg);

    // Files are written only where the plug-in's path checks allow: a page aiming at the
    // user's autostart folder is refused by the plug-in, and nothing is written.
    Save("plain.txt", secret);
    const std::string autostart = (m_home.Dir() / "config" / "autostart").string();
    std::filesystem::create_directories(autostart);
    JsonValue refused = Call("d1", "EncryptAsEnvelopeFile", {P("plain.txt"), autostart + "/run.desktop"});
    EXPECT_FALSE(IsOk(refused));
    EXPECT_EQ(Code(refused), 2684817414.0) << Description(refused);  // 0xA0071006
    EXPECT_FALSE(std::filesystem::exists(autostart + "/run.desktop"));
    JsonValue written = Call("d1", "EncryptAsEnvelopeFile", {P("plain.txt"), P("plain.p7")});
    ASSERT_TRUE(IsOk(written)) << bridge::WriteJson(written);
    EXPECT_TRUE(written.Find("result")->AsBool());
    JsonValue back = Call("d1", "DecryptEnvelopeFile", {P("plain.p7"), P("back.txt")});
    ASSERT_TRUE(IsOk(back)) << bridge::WriteJson(back);
    EXPECT_EQ(Read("back.txt"), secret);
}

TEST_F(BridgeCalls, DocumentsHaveTheirOwnInstancesUntilTheyClose)
{
    ASSERT_NO_FATAL_FAILURE(Open("d1"));
    ASSERT_NO_FATAL_FAILURE(Open("d2"));
    ASSERT_NO_FATAL_FAILURE(SelectSigner("d1"));
    EXPECT_TRUE(IsOk(Call("d1", "SignMessage", {"one", "SHA-1"})));
    JsonValue other = Call("d2", "SignMessage", {"two", "SHA-1"});
    EXPECT_FALSE(IsOk(other));
    EXPECT_EQ(Code(other), kNotReady);

    // Opening again with the same origin is the same instance; another origin is refused.
    EXPECT_TRUE(IsOk(m_bridge->Request(OpenMsg(++m_id, "d1"))));
    EXPECT_TRUE(IsOk(Call("d1", "SignMessage", {"still", "SHA-1"})));
    JsonValue stolen = m_bridge->Request(OpenMsg(++m_id, "d1", "https://evil.example"));
    EXPECT_FALSE(IsOk(stolen));
    EXPECT_EQ(Code(stolen), kInvalidArg);

    EXPECT_TRUE(IsOk(m_bridge->Request(CloseMsg(++m_id, "d1"))));
    JsonValue closed = Call("d1", "GetLastErrorDesc");
    EXPECT_FALSE(IsOk(closed));
    EXPECT_EQ(Code(closed), kInvalidArg);
    EXPECT_NE(Description(closed).find("unknown document"), std::string::npos);
    EXPECT_EQ(Code(m_bridge->Request(CloseMsg(++m_id, "d1"))), kInvalidArg);
    EXPECT_TRUE(IsOk(Call("d2", "GetLastErrorDesc")));

    // A document opened anew under the old id starts with nothing chosen.
    ASSERT_NO_FATAL_FAILURE(Open("d1"));
    EXPECT_EQ(Code(Call("d1", "SignMessage", {"x", "SHA-1"})), kNotReady);
}

TEST_F(BridgeCalls, BadMessagesAreAnsweredAndTheHostGoesOn)
{
    ASSERT_NO_FATAL_FAILURE(Open("d1"));
    struct Case {
        const char* name;
        std::string frame;
        bool idKnown;
    };
    const Case cases[] = {
        {"not JSON", "{\"id\":1,", false},
        {"trailing text", "{\"id\":2,\"type\":\"close\",\"doc\":\"x\"} x", false},
        {"not an object", "[1,2]", false},
        {"empty frame", "", false},
        {"invalid UTF-8", "{\"id\":3,\"type\":\"call\",\"doc\":\"\xC3\x28\"}", false},
        {"duplicate member", "{\"id\":4,\"id\":5,\"type\":\"open\",\"doc\":\"a\",\"origin\":\"o\"}", false},
        {"too deep", std::string(100, '[') + std::string(100, ']'), false},
        {"no id", "{\"type\":\"open\",\"doc\":\"a\",\"origin\":\"o\"}", false},
        {"id a string", "{\"id\":\"7\",\"type\":\"open\",\"doc\":\"a\",\"origin\":\"o\"}", false},
        {"no type", "{\"id\":8,\"doc\":\"d1\"}", true},
        {"unknown type", "{\"id\":9,\"type\":\"eval\",\"doc\":\"d1\"}", true},
        {"doc a number", "{\"id\":10,\"type\":\"open\",\"doc\":1,\"origin\":\"o\"}", true},
        {"no origin", "{\"id\":11,\"type\":\"open\",\"doc\":\"d9\"}", true},
        {"no args", "{\"id\":12,\"type\":\"call\",\"doc\":\"d1\",\"method\":\"GetLastErrorDesc\"}", true},
        {"object argument", "{\"id\":13,\"type\":\"call\",\"doc\":\"d1\",\"method\":\"SignMessage\",\"args\":[{},\"SHA-1\"]}", true},
        {"unknown method", "{\"id\":14,\"type\":\"call\",\"doc\":\"d1\",\"method\":\"signmessage\",\"args\":[]}", true},
        {"unknown doc", "{\"id\":15,\"type\":\"call\",\"doc\":\"zz\",\"method\":\"GetLastErrorDesc\",\"args\":[]}", true},
        {"part 1 first", "{\"chunk\":16,\"part\":1,\"parts\":2,\"data\":\"x\"}", true},
        {"chunk without data", "{\"chunk\":17,\"part\":0,\"parts\":2}", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JsonValue r = m_bridge->Request(c.frame);
        EXPECT_FALSE(IsOk(r)) << bridge::WriteJson(r);
        EXPECT_EQ(Code(r), kInvalidArg);
        EXPECT_FALSE(Description(r).empty());
        if (c.idKnown) {
            EXPECT_GT(Id(r), 0) << bridge::WriteJson(r);
        } else {
            EXPECT_TRUE(IdIsNull(r)) << bridge::WriteJson(r);
        }
    }

    // A chunk run broken by another message: the run is answered broken, the message is served.
    ASSERT_TRUE(m_bridge->Send(std::string("{\"chunk\":30,\"part\":0,\"parts\":3,\"data\":\"{\\\"id\\\":30\"}")));
    ASSERT_TRUE(m_bridge->Send(CallMsg(31, "d1", "GetLastErrorDesc")));
    JsonValue broken = m_bridge->Receive();
    EXPECT_EQ(Id(broken), 30);
    EXPECT_EQ(Code(broken), kInvalidArg);
    EXPECT_NE(Description(broken).find("broken chunk sequence"), std::string::npos);
    JsonValue served = m_bridge->Receive();
    EXPECT_EQ(Id(served), 31);
    EXPECT_TRUE(IsOk(served));

    // A frame over 64 MiB is read in pieces and dropped; the stream stays in step.
    std::string huge = "{\"id\":40,\"type\":\"call\",\"doc\":\"d1\",\"method\":\"SignMessage\",\"args\":[\"";
    huge.append((64u << 20) + 16 - huge.size() - 3, 'a');
    huge += "\"]}";
    ASSERT_TRUE(m_bridge->Send(huge));
    JsonValue tooLong = m_bridge->Receive();
    EXPECT_TRUE(IdIsNull(tooLong));
    EXPECT_EQ(Code(tooLong), kInvalidArg);
    EXPECT_NE(Description(tooLong).find("longer than the host accepts"), std::string::npos);

    JsonValue after = Call("d1", "GetLastErrorDesc");
    EXPECT_TRUE(IsOk(after)) << bridge::WriteJson(after);
}

TEST_F(BridgeCalls, LongTextsTravelInChunksBothWays)
{
    if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl is not on PATH";
    ASSERT_NO_FATAL_FAILURE(Open("d1"));
    ASSERT_NO_FATAL_FAILURE(SelectSigner("d1"));

    // 3 MB of text with characters of every UTF-8 length and characters JSON escapes, so that
    // pieces must be cut between characters and the escaped frames stay within the limit.
    std::string text;
    const std::string pattern = "abc \"q\" \\ \n\t \xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80 ";
    while (text.size() < 3000000) text += pattern;
    Save("big.txt", text);

    JsonValue request = JsonValue::Object();
    request.Set("id", JsonValue::Number(++m_id));
    request.Set("type", JsonValue::String("call"));
    request.Set("doc", JsonValue::String("d1"));
    request.Set("method", JsonValue::String("SignMessageDetached"));
    request.Set("args", JsonValue::Array().Append(JsonValue::String(text)).Append(JsonValue::String("SHA-256")));
    const std::vector<std::string> frames = bridge::FrameMessage(bridge::WriteJson(request), JsonValue::Number(m_id));
    ASSERT_GT(frames.size(), 3u);
    for (const std::string& f : frames) {
        ASSERT_LE(f.size() - 4, bridge::kMaxFrameOut);
        ASSERT_TRUE(m_bridge->WriteRaw(f));
    }
    JsonValue detached = m_bridge->Receive();
    ASSERT_TRUE(IsOk(detached)) << Description(detached);
    EXPECT_EQ(Id(detached), m_id);
    Save("big-det.p7", FromBase64(ResultText(detached)));
    EXPECT_EQ(Run("openssl cms -verify -noverify -binary -inform DER -in " + P("big-det.p7") + " -content " + P("big.txt")), 0)
        << Read("openssl.out");

    // 2 MB signed attached: the answer (about 2.7 MB of Base64) comes back in chunks.
    const std::string two = text.substr(0, 2000000 - 2000000 % pattern.size());
    Save("two.txt", two);
    request.Set("id", JsonValue::Number(++m_id));
    request.Set("method", JsonValue::String("SignMessage"));
    request.Set("args", JsonValue::Array().Append(JsonValue::String(two)).Append(JsonValue::String("SHA-1")));
    for (const std::string& f : bridge::FrameMessage(bridge::WriteJson(request), JsonValue::Number(m_id))) {
        ASSERT_TRUE(m_bridge->WriteRaw(f));
    }
    const size_t chunksBefore = m_bridge->ChunkFrames();
    JsonValue attached = m_bridge->Receive();
    ASSERT_TRUE(IsOk(attached)) << Description(attached);
    EXPECT_EQ(Id(attached), m_id);
    EXPECT_GE(m_bridge->ChunkFrames() - chunksBefore, 3u);
    EXPECT_LE(m_bridge->LargestFrame(), bridge::kMaxFrameOut);
    Save("two.p7", FromBase64(ResultText(attached)));
    ASSERT_EQ(Run("openssl cms -verify -noverify -binary -inform DER -in " + P("two.p7") + " -out " + P("two.out")), 0)
        << Read("openssl.out");
    EXPECT_TRUE(Read("two.out") == two);
}

TEST_F(BridgeCalls, EndOfInputEndsTheHostCleanlyWithDocumentsOpen)
{
    ASSERT_NO_FATAL_FAILURE(Open("d1"));
    ASSERT_NO_FATAL_FAILURE(Open("d2"));
    ASSERT_NO_FATAL_FAILURE(SelectSigner("d2"));
    // Half a frame, then the browser goes: the instances go, the plug-in is unloaded, status 0
    // (under the sanitizers a leak would make it non-zero).
    ASSERT_TRUE(m_bridge->WriteRaw(std::string("\x20\x00\x00\x00{\"id\"", 9)));
    m_expectCleanExit = false;
    m_bridge->CloseInput();
    EXPECT_EQ(m_bridge->Wait(60000), 0) << m_bridge->Errors();
}

TEST(BridgeProcessFaults, APluginCrashEndsTheHostAndItsOutput)
{
    TempHome home;
    auto env = home.Env();
    env["NPKEYSTRAND_PLUGIN"] = NPK_DEFAULT_ABORTING_PLUGIN;
    BridgeProcess bridge(env);
    ASSERT_TRUE(bridge.Started());
    JsonValue opened = bridge.Request(OpenMsg(1, "d1"));
    ASSERT_TRUE(IsOk(opened)) << bridge::WriteJson(opened);
    ASSERT_TRUE(bridge.Send(CallMsg(2, "d1", "SignMessage", {"x", "SHA-1"})));
    EXPECT_TRUE(bridge.OutputEnds(60000));
    EXPECT_EQ(bridge.Wait(60000), 128 + SIGABRT);
}

TEST(BridgeProcessFaults, WithoutTheVariableThePluginIsFoundAsTheHostFindsIt)
{
    // A browser passes no plug-in path: the library beside the bridge (../lib) is found.
    TempHome home;
    auto env = home.Env();
    env["NPKEYSTRAND_PLUGIN"] = "";
    env["MOZ_PLUGIN_PATH"] = "";
    BridgeProcess bridge(env);
    ASSERT_TRUE(bridge.Started());
    ASSERT_TRUE(IsOk(bridge.Request(OpenMsg(1, "d1")))) << bridge.Errors();
    JsonValue desc = bridge.Request(CallMsg(2, "d1", "GetLastErrorDesc"));
    EXPECT_NE(ResultText(desc).find("(0x00000000)"), std::string::npos) << bridge::WriteJson(desc);
    bridge.CloseInput();
    EXPECT_EQ(bridge.Wait(60000), 0);
}

TEST(BridgeProcessFaults, APluginThatCannotLoadFailsTheOpen)
{
    TempHome home;
    auto env = home.Env();
    env["NPKEYSTRAND_PLUGIN"] = (home.Dir() / "missing.so").string();
    BridgeProcess bridge(env);
    ASSERT_TRUE(bridge.Started());
    JsonValue opened = bridge.Request(OpenMsg(1, "d1"));
    EXPECT_FALSE(IsOk(opened));
    EXPECT_EQ(Code(opened), 2147500037.0);  // 0x80004005
    EXPECT_NE(Description(opened).find("missing.so"), std::string::npos) << Description(opened);
    JsonValue call = bridge.Request(CallMsg(2, "d1", "GetLastErrorDesc"));
    EXPECT_EQ(Code(call), kInvalidArg);
    bridge.CloseInput();
    EXPECT_EQ(bridge.Wait(60000), 0);
}

}  // namespace
}  // namespace npk::test
