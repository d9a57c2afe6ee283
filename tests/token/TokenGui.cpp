// The token's windows on a real X display (Xvfb, driven with xdotool): the PIN dialog with the
// right PIN, a wrong one and Cancel, and the picker listing a token certificate first with the
// smart-card image. Each case keeps screenshots under the build directory; the picker's goes
// to docs/ for the README.
#include "token/TokenSupport.h"

#include "gui/GuiSupport.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <set>

namespace npk::test {
namespace {

const char kCaption[] = "^Windows Security$";

class TokenGui : public TokenTest {
protected:
    void SetUp() override
    {
        TokenTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        m_xvfb = FindProgram("Xvfb");
        m_xdotool = FindProgram("xdotool");
        m_import = FindProgram("import");
        if (m_xvfb.empty() || m_xdotool.empty()) GTEST_SKIP() << "Xvfb and xdotool are needed (make deps)";
        m_shots = fs::path(RequiredEnv("NPK_BINARY_DIR")) / "test-output" / "token";
        fs::create_directories(m_shots);
        m_displayName = m_display.Start(m_xvfb, Dir());
        ASSERT_FALSE(m_displayName.empty()) << "no free X display";
        // The dialog is what asks now.
        Env()[kTestPinVariable] = "";
    }

    void TearDown() override
    {
        m_host.Stop();
        m_display.Stop();
        TokenTest::TearDown();
    }

    std::map<std::string, std::string> GuiEnv()
    {
        std::map<std::string, std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            size_t eq = entry.find('=');
            if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
        for (const auto& [k, v] : Env()) {
            if (v.empty())
                env.erase(k);
            else
                env[k] = v;
        }
        env["DISPLAY"] = m_displayName;
        env.erase("WAYLAND_DISPLAY");
        env["GTK_CSD"] = "0";
        env["NO_AT_BRIDGE"] = "1";
        std::string suppressions = WriteFile("lsan.supp", "leak:libfontconfig.so\n");
        std::string lsan = env.count("LSAN_OPTIONS") != 0 ? env["LSAN_OPTIONS"] + ":" : "";
        env["LSAN_OPTIONS"] = lsan + "suppressions=" + suppressions;
        return env;
    }

    void StartPage(const std::string& body)
    {
        std::string page = WriteFile("gui-page.js", Prelude() + body);
        ASSERT_TRUE(m_host.Start({HostPath(), "--plugin", PluginPath(), "run", page}, GuiEnv(), Dir() / "host.out",
                                 Dir() / "host.err"));
    }

    HostResult Xdo(const std::vector<std::string>& args, int timeoutSeconds = 20)
    {
        std::vector<std::string> argv = {m_xdotool};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, {{"DISPLAY", m_displayName}}, timeoutSeconds);
    }

    std::string WaitForWindow(int timeoutSeconds = 20)
    {
        HostResult r = Xdo({"search", "--sync", "--onlyvisible", "--name", kCaption}, timeoutSeconds);
        std::vector<std::string> ids = Lines(r.out);
        return r.status == 0 && !ids.empty() ? ids[0] : "";
    }

    // Waits until that window is no longer shown (the next dialog has the same caption).
    bool WaitForWindowGone(const std::string& window)
    {
        for (int i = 0; i < 100; ++i) {
            HostResult r = Xdo({"search", "--onlyvisible", "--name", kCaption}, 10);
            std::vector<std::string> ids = Lines(r.out);
            if (std::find(ids.begin(), ids.end(), window) == ids.end()) return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    void Screenshot(const std::string& name, const std::string& window)
    {
        if (m_import.empty()) return;
        std::this_thread::sleep_for(400ms);
        HostResult r = RunProgram({m_import, "-display", m_displayName, "-window", window, (m_shots / (name + ".png")).string()},
                                  {}, 30);
        EXPECT_EQ(r.status, 0) << r.err;
    }

    // Types a PIN into the dialog and confirms it.
    void EnterPin(const std::string& pin, const std::string& shot)
    {
        std::string window = WaitForWindow();
        ASSERT_FALSE(window.empty()) << ReadAll((Dir() / "host.err").string());
        Xdo({"windowfocus", "--sync", window});
        Xdo({"type", "--delay", "40", pin});
        Screenshot(shot, window);
        Xdo({"key", "Return"});
        EXPECT_TRUE(WaitForWindowGone(window));
    }

    // The page's lines "label|outcome" once the host has ended.
    std::map<std::string, std::string> Outcomes()
    {
        int status = m_host.Wait(30s);
        EXPECT_EQ(status, 0) << ReadAll((Dir() / "host.err").string());
        std::map<std::string, std::string> out;
        for (const std::string& line : Lines(ReadAll((Dir() / "host.out").string()))) {
            size_t bar = line.find('|');
            if (bar != std::string::npos) out[line.substr(0, bar)] = line.substr(bar + 1);
        }
        return out;
    }

    // The pixels of a window rectangle (0xRRGGBB).
    std::vector<unsigned long> Grab(const std::string& window, int left, int top, int width, int height)
    {
        std::this_thread::sleep_for(400ms);
        std::vector<unsigned long> rgb;
        Display* display = XOpenDisplay(m_displayName.c_str());
        if (display == nullptr) return rgb;
        XImage* image = XGetImage(display, static_cast<Window>(std::stoul(window)), left, top, static_cast<unsigned>(width),
                                  static_cast<unsigned>(height), AllPlanes, ZPixmap);
        if (image != nullptr) {
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) rgb.push_back(XGetPixel(image, x, y) & 0xFFFFFF);
            XDestroyImage(image);
        }
        XCloseDisplay(display);
        return rgb;
    }

    std::string m_xvfb, m_xdotool, m_import, m_displayName;
    fs::path m_shots;
    XvfbDisplay m_display;
    Child m_host;
};

const char kSignTwice[] =
    "print('select|' + attempt(function () { return plugin.SelectSignCertificate('Alice', ''); }));\n"
    "print('first|' + attempt(function () { return plugin.SignMessagePKCS1('x', 'SHA-256').length; }) + '|' + code(plugin));\n"
    "print('second|' + attempt(function () { return plugin.SignMessagePKCS1('y', 'SHA-256').length; }) + '|' + code(plugin));\n";

TEST_F(TokenGui, RightPinSignsAndEachSignatureAsksAgain)
{
    StartPage(kSignTwice);
    EnterPin(kTokenPin, "pin-dialog");
    // The PIN was held for that one login: the next signature asks again.
    EnterPin(kTokenPin, "pin-dialog-again");
    auto out = Outcomes();
    EXPECT_EQ(out["first"], "ok:352|0x00000000");
    EXPECT_EQ(out["second"], "ok:352|0x00000000");
}

TEST_F(TokenGui, WrongPinFailsAndTheNextDialogWarnsOfTheTriesLeft)
{
    StartPage(kSignTwice);
    EnterPin("0000", "pin-wrong");
    // SoftHSM2 now reports CKF_USER_PIN_COUNT_LOW: the dialog says few tries are left.
    EnterPin(kTokenPin, "pin-after-wrong");
    auto out = Outcomes();
    EXPECT_EQ(out["first"], "threw:plug-in call SignMessagePKCS1 failed|0x8010006b");
    EXPECT_EQ(out["second"], "ok:352|0x00000000");
}

TEST_F(TokenGui, CancelGivesTheUserCancelCode)
{
    StartPage(kSignTwice);
    std::string window = WaitForWindow();
    ASSERT_FALSE(window.empty()) << ReadAll((Dir() / "host.err").string());
    Xdo({"windowfocus", "--sync", window});
    Xdo({"type", "--delay", "40", "12"});
    Xdo({"key", "Escape"});
    ASSERT_TRUE(WaitForWindowGone(window));
    // The second signature's dialog: closed with its Cancel button this time.
    window = WaitForWindow();
    ASSERT_FALSE(window.empty());
    Xdo({"windowfocus", "--sync", window});
    Xdo({"key", "Tab", "space"});
    ASSERT_TRUE(WaitForWindowGone(window));
    auto out = Outcomes();
    EXPECT_EQ(out["first"], "threw:plug-in call SignMessagePKCS1 failed|0x8010006e");
    EXPECT_EQ(out["second"], "threw:plug-in call SignMessagePKCS1 failed|0x8010006e");
}

TEST_F(TokenGui, PickerListsTheTokenCertificateFirstWithTheSmartCardImage)
{
    // Carol's key on a token of its own; Alice and Dave as software keys in "MY". By name
    // Carol sorts between them, so only the token puts her first.
    fs::path carolToken = Dir() / "carol-token";
    std::string script = std::string(NPK_DEFAULT_SOURCE_DIR) + "/tests/token/make-token.sh";
    HostResult made = RunProgram({"/bin/sh", script, carolToken.string(), "Carol Card", kTokenPin, DataDir() + "nokeyid.key",
                                  DataDir() + "nokeyid.cer", "03"},
                                 {}, 60);
    ASSERT_EQ(made.status, 0) << made.err;
    Use(carolToken);
    for (const char* pfx : {"signer.pfx", "expired.pfx"}) {
        HostResult r = Host({"store", "import", "MY", DataDir() + pfx, "--password", "npkeystrand"});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    StartPage("print('result|' + attempt(function () { return plugin.SelectSignCertificate('', ''); }) + '|' + code(plugin));\n");
    std::string window = WaitForWindow();
    ASSERT_FALSE(window.empty()) << ReadAll((Dir() / "host.err").string());
    Xdo({"mousemove", "0", "0"});
    Screenshot("picker-token", window);
    fs::path docs = fs::path(RequiredEnv("NPK_SOURCE_DIR")) / "docs";
    const char* update = std::getenv("NPK_UPDATE_SCREENSHOTS");
    if (!m_import.empty() && fs::is_directory(docs) &&
        (!fs::exists(docs / "picker-token.png") || (update != nullptr && std::string(update) == "1")))
        fs::copy_file(m_shots / "picker-token.png", docs / "picker-token.png", fs::copy_options::overwrite_existing);

    // The icons: with the second card selected, the first (token) and third (software) cards
    // are both plain, so their icon squares differ only by the image drawn.
    Xdo({"windowfocus", "--sync", window});
    Xdo({"key", "Down"});
    // Cards are 80 pixels high from (20, 60); the icon is the square (14, 14)-(62, 62) of a card.
    const int left = 20 + 14, top = 60, size = 48;
    auto first = Grab(window, left, top + 14, size, size);
    auto third = Grab(window, left, top + 160 + 14, size, size);
    ASSERT_FALSE(first.empty());
    EXPECT_GT(std::set<unsigned long>(first.begin(), first.end()).size(), 20u) << "no image where the icon belongs";
    EXPECT_NE(first, third) << "the token's card shows the same image as a software one";
    Xdo({"key", "Up", "Return"});
    int status = m_host.Wait(20s);
    EXPECT_EQ(status, 0);
    std::string outcome;
    for (const std::string& line : Lines(ReadAll((Dir() / "host.out").string())))
        if (line.rfind("result|", 0) == 0) outcome = line.substr(7);
    EXPECT_EQ(outcome, "ok:CN=Carol NoKeyId, O=npKeystrand, C=KR|0x00000000");
}

}  // namespace
}  // namespace npk::test
