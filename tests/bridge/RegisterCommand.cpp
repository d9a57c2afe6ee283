// `npkeystrand register`: the browsers' manifests for the bridge, in a home of the test's own.
#include "BridgeHarness.h"

namespace npk::test {
namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string HostPath()
{
    return BuildPath("NPK_HOST", NPK_DEFAULT_HOST);
}

std::string ReadText(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class RegisterCommand : public ::testing::Test {
protected:
    Outcome Register(std::vector<std::string> args)
    {
        std::string command = "HOME='" + m_home.Dir().string() + "' XDG_CONFIG_HOME= '" + HostPath() + "' register";
        for (const std::string& a : args) command += " '" + a + "'";
        const std::string out = (m_home.Dir() / "cmd.out").string();
        const std::string err = (m_home.Dir() / "cmd.err").string();
        const int rc = std::system((command + " >" + out + " 2>" + err + " </dev/null").c_str());
        Outcome o;
        o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        o.out = ReadText(out);
        o.err = ReadText(err);
        return o;
    }

    std::filesystem::path Chromium() const
    {
        return m_home.Dir() / ".config/chromium/NativeMessagingHosts/org.npkeystrand.bridge.json";
    }
    std::filesystem::path Chrome() const
    {
        return m_home.Dir() / ".config/google-chrome/NativeMessagingHosts/org.npkeystrand.bridge.json";
    }
    std::filesystem::path Firefox() const
    {
        return m_home.Dir() / ".mozilla/native-messaging-hosts/org.npkeystrand.bridge.json";
    }

    static JsonValue Manifest(const std::filesystem::path& p)
    {
        JsonValue v;
        std::string error;
        EXPECT_TRUE(bridge::ParseJson(ReadText(p), v, error)) << p << ": " << error;
        return v;
    }

    // The bridge beside the host that ran, by its absolute path.
    static std::string ExpectedBridge()
    {
        return (std::filesystem::canonical(HostPath()).parent_path() / "npkeystrand-bridge").string();
    }

    TempHome m_home;
};

TEST_F(RegisterCommand, UserManifestsNameTheBridgeAndOnlyOurExtension)
{
    Outcome o = Register({});
    ASSERT_EQ(o.status, 0) << o.err;
    for (const auto& p : {Chromium(), Chrome()}) {
        SCOPED_TRACE(p.string());
        JsonValue m = Manifest(p);
        EXPECT_EQ(m.Find("name")->AsString(), "org.npkeystrand.bridge");
        EXPECT_EQ(m.Find("type")->AsString(), "stdio");
        EXPECT_EQ(m.Find("path")->AsString(), ExpectedBridge());
        ASSERT_NE(m.Find("allowed_origins"), nullptr);
        ASSERT_EQ(m.Find("allowed_origins")->Items().size(), 1u);
        EXPECT_EQ(m.Find("allowed_origins")->Items()[0].AsString(), "chrome-extension://fnipddhnahdnnplpjmcopknkncfclnnk/");
        EXPECT_EQ(m.Find("allowed_extensions"), nullptr);
    }
    JsonValue ff = Manifest(Firefox());
    EXPECT_EQ(ff.Find("path")->AsString(), ExpectedBridge());
    ASSERT_NE(ff.Find("allowed_extensions"), nullptr);
    ASSERT_EQ(ff.Find("allowed_extensions")->Items().size(), 1u);
    EXPECT_EQ(ff.Find("allowed_extensions")->Items()[0].AsString(), "npkeystrand@npkeystrand.org");
    EXPECT_EQ(ff.Find("allowed_origins"), nullptr);
    EXPECT_EQ(std::filesystem::status(Firefox()).permissions() & std::filesystem::perms::others_write,
              std::filesystem::perms::none);

    // Registering again overwrites our own manifests; nothing else is left in the folders.
    o = Register({"--browser", "firefox"});
    EXPECT_EQ(o.status, 0) << o.err;
    size_t files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(m_home.Dir() / ".mozilla")) {
        files += e.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(files, 1u);

    // --remove takes them all away again.
    o = Register({"--remove"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_FALSE(std::filesystem::exists(Chromium()));
    EXPECT_FALSE(std::filesystem::exists(Chrome()));
    EXPECT_FALSE(std::filesystem::exists(Firefox()));
}

TEST_F(RegisterCommand, AManifestOfAnotherHostIsNeitherOverwrittenNorRemoved)
{
    std::filesystem::create_directories(Chrome().parent_path());
    const std::string foreign =
        "{\"name\":\"org.npkeystrand.bridge\",\"path\":\"/opt/other/host\",\"type\":\"stdio\",\"allowed_origins\":[]}";
    std::ofstream(Chrome()) << foreign;

    Outcome o = Register({});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("/opt/other/host"), std::string::npos) << o.err;
    EXPECT_EQ(ReadText(Chrome()), foreign);
    // The other browsers got theirs.
    EXPECT_TRUE(std::filesystem::exists(Chromium()));
    EXPECT_TRUE(std::filesystem::exists(Firefox()));

    o = Register({"--remove", "--browser", "chrome"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(ReadText(Chrome()), foreign);

    // Something that is not a manifest at all is left alone too.
    std::ofstream(Chromium(), std::ios::trunc) << "not json";
    o = Register({"--browser", "chromium"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(ReadText(Chromium()), "not json");
}

TEST_F(RegisterCommand, BadOptionsAreUsageErrorsThatWriteNothing)
{
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--browser", "opera"}, "unknown browser \"opera\""},
        {{"--browser"}, "--browser needs"},
        {{"--scope", "machine"}, "unknown scope \"machine\""},
        {{"--user", "--system"}, "either --user or --system"},
        {{"--frobnicate"}, "unknown option --frobnicate"},
        {{"extra"}, "unexpected argument extra"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Outcome o = Register(c.args);
        EXPECT_EQ(o.status, 2);
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    }
    EXPECT_FALSE(std::filesystem::exists(m_home.Dir() / ".config"));
    EXPECT_FALSE(std::filesystem::exists(m_home.Dir() / ".mozilla"));
}

TEST_F(RegisterCommand, SystemManifestsGoUnderTheGivenRoot)
{
    const std::filesystem::path root = m_home.Dir() / "root";
    Outcome o = Register({"--system", "--dir", root.string(), "--browser", "chrome", "--browser", "firefox"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(Manifest(root / "etc/opt/chrome/native-messaging-hosts/org.npkeystrand.bridge.json").Find("path")->AsString(),
              ExpectedBridge());
    EXPECT_TRUE(std::filesystem::exists(root / "usr/lib/mozilla/native-messaging-hosts/org.npkeystrand.bridge.json"));
    EXPECT_FALSE(std::filesystem::exists(root / "etc/chromium"));
    EXPECT_FALSE(std::filesystem::exists(Chrome()));
    o = Register({"--scope", "system", "--dir", root.string(), "--remove"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_FALSE(std::filesystem::exists(root / "usr/lib/mozilla/native-messaging-hosts/org.npkeystrand.bridge.json"));
}

}  // namespace
}  // namespace npk::test
