// The token's windows on a real X display (Xvfb, driven with xdotool): the PIN dialog with the
// right PIN, a wrong one and Cancel, and the picker listing a token certificate first with the
// smart-card image. Each case keeps screenshots under the build directory; the picker's goes
// to docs/ for the README.
#include "token/TokenSupport.h"

#include "gui/DisplaySession.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <set>

namespace npk::test {
namespace {

const char kCaption[] = "^Windows Security$";

class TokenGui : public TokenTest, protected DisplaySession {
protected:
    void SetUp() override
    {
        TokenTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (!FindDisplayPrograms()) GTEST_SKIP() << "Xvfb and xdotool are needed (make deps)";
        MakeShotDir("token");
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
        return GtkDisplayEnv(Env(), WriteFile("lsan.supp", "leak:libfontconfig.so\n"));
    }

    void StartPage(const std::string& body)
    {
        std::string page = WriteFile("gui-page.js", Prelude() + body);
        ASSERT_TRUE(m_host.Start({HostPath(), "--plugin", PluginPath(), "run", page}, GuiEnv(), Dir() / "host.out",
                                 Dir() / "host.err"));
    }

    std::string WaitForWindow(int timeoutSeconds = 20) { return DisplaySession::WaitForWindow(kCaption, timeoutSeconds); }

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

    void Screenshot(const std::string& name, const std::string& window) { SaveScreenshot(name, window, 400ms); }

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
    KeepReadmePicture("picker-token", "picker-token.png");

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
