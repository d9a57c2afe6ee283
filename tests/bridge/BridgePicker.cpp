// The plug-in's picker through the bridge: a store selection with two candidates opens the
// "Windows Security" dialog on the display the browser gave the host, as under
// `npkeystrand run`, and the user's choice or cancel answers the page's call.
#include "BridgeHarness.h"
#include "gui/GuiSupport.h"

namespace npk::test {
namespace {

constexpr double kUserCanceled = 2684817410.0;  // 0xA0071002

class BridgePicker : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_xvfb = FindProgram("Xvfb");
        m_xdotool = FindProgram("xdotool");
        if (m_xvfb.empty() || m_xdotool.empty()) GTEST_SKIP() << "Xvfb and xdotool are needed (make deps)";
        m_displayName = m_display.Start(m_xvfb, m_home.Dir());
        ASSERT_FALSE(m_displayName.empty()) << "no free X display";
        for (const char* pfx : {"signer.pfx", "nokeyid.pfx"}) {
            Child store;
            ASSERT_TRUE(store.Start({BuildPath("NPK_HOST", NPK_DEFAULT_HOST), "store", "import", "MY", FixtureDir() + pfx,
                                     "--password", "npkeystrand"},
                                    Env(), m_home.Dir() / "store.out", m_home.Dir() / "store.err"));
            ASSERT_EQ(store.Wait(60s), 0) << pfx;
        }
    }

    void TearDown() override { m_display.Stop(); }

    // The test's environment with the home, the plug-in and the display of this test.
    std::map<std::string, std::string> Env()
    {
        std::map<std::string, std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            const size_t eq = entry.find('=');
            if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
        for (const auto& [k, v] : m_home.Env()) env[k] = v;
        env["NPKEYSTRAND_PLUGIN"] = PluginPath();
        env["DISPLAY"] = m_displayName;
        env.erase("WAYLAND_DISPLAY");
        env["GTK_CSD"] = "0";
        env["NO_AT_BRIDGE"] = "1";
        // GTK keeps its caches in its globals for the life of the process; unloading the
        // plug-in unloads GTK with it, and a leak checker at exit would then call them leaks.
        env["NPKEYSTRAND_KEEP_PLUGIN_LOADED"] = "1";
        // Fontconfig never frees its caches; a sanitizer build must not call that our leak.
        const std::string supp = (m_home.Dir() / "lsan.supp").string();
        std::ofstream(supp) << "leak:libfontconfig.so\n";
        env["LSAN_OPTIONS"] = (env.count("LSAN_OPTIONS") != 0 ? env["LSAN_OPTIONS"] + ":" : "") + "suppressions=" + supp;
        return env;
    }

    std::string Xdo(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {m_xdotool};
        argv.insert(argv.end(), args.begin(), args.end());
        Child xdo;
        const fs::path out = m_home.Dir() / "xdo.out";
        if (!xdo.Start(argv, {{"DISPLAY", m_displayName}}, out, m_home.Dir() / "xdo.err")) return "";
        if (xdo.Wait(20s) != 0) return "";
        std::ifstream in(out);
        std::string first;
        std::getline(in, first);
        return first;
    }

    // Waits for the picker and presses a key in it.
    void Answer(const std::string& key)
    {
        const std::string window = Xdo({"search", "--sync", "--onlyvisible", "--name", "^Windows Security$"});
        ASSERT_FALSE(window.empty()) << "the picker did not open";
        Xdo({"windowfocus", "--sync", window});
        Xdo({"key", key});
    }

    TempHome m_home;
    XvfbDisplay m_display;
    std::string m_displayName;
    std::string m_xvfb;
    std::string m_xdotool;
};

TEST_F(BridgePicker, TheStorePickerAnswersThePagesCall)
{
    BridgeProcess bridge(Env());
    ASSERT_TRUE(bridge.Started());
    ASSERT_TRUE(IsOk(bridge.Request(OpenMsg(1, "d1"))));

    ASSERT_TRUE(bridge.Send(CallMsg(2, "d1", "SelectSignCertificate", {"", ""})));
    ASSERT_NO_FATAL_FAILURE(Answer("Return"));
    JsonValue chosen = bridge.Receive();
    ASSERT_TRUE(IsOk(chosen)) << bridge::WriteJson(chosen);
    EXPECT_NE(ResultText(chosen).find("O=npKeystrand"), std::string::npos) << ResultText(chosen);
    EXPECT_TRUE(IsOk(bridge.Request(CallMsg(3, "d1", "SignMessage", {"chosen", "SHA-256"}))));

    ASSERT_TRUE(bridge.Send(CallMsg(4, "d1", "SelectSignCertificate", {"", ""})));
    ASSERT_NO_FATAL_FAILURE(Answer("Escape"));
    JsonValue canceled = bridge.Receive();
    EXPECT_FALSE(IsOk(canceled));
    EXPECT_EQ(Code(canceled), kUserCanceled);
    EXPECT_EQ(Description(canceled), "User canceled operation.\n(0xa0071002)");

    bridge.CloseInput();
    EXPECT_EQ(bridge.Wait(60000), 0) << bridge.Errors();
}

}  // namespace
}  // namespace npk::test
