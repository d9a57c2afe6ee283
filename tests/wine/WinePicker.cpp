// The Win32 picker of the Windows build on a real X display under Wine, driven with xdotool
// as the GTK one is: four certificates in "MY", a page that asks for a signing certificate,
// and the "Windows Security" dialog answered with the keyboard and the mouse. Each case keeps
// a screenshot under the build directory; the first one is the README's picture.
// tools/run-wine-tests.sh runs these with tools/wine-host.sh as the host.
#include "FixtureData.h"
#include "gui/DisplaySession.h"

#include <sstream>
#include <thread>

namespace npk::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char kCaption[] = "^Windows Security$";
const char kCancelled[] = "threw:plug-in call SelectSignCertificate failed|0xa0071002";

class WinePicker : public PickerDisplayTest {
protected:
    void SetUp() override
    {
        const char* exe = std::getenv("NPK_WINE_EXE");
        if (exe == nullptr || *exe == '\0') GTEST_SKIP() << "Windows pages: run by tools/run-wine-tests.sh";
        HostTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(FindDisplayPrograms()) << "Xvfb and xdotool are needed (make test-wine installs them)";
        MakeShotDir("wine");
        m_displayName = m_display.Start(m_xvfb, Dir());
        ASSERT_FALSE(m_displayName.empty()) << "no free X display";
        // Wine's desktop belongs to the first program of a session and keeps that program's
        // display: each case starts a session of its own, every program of it on this display.
        EndWineSession();
        Env()["DISPLAY"] = m_displayName;
        ImportCertificates(FindProgram("openssl"));
        m_hostWait = 30s;
    }

    void TearDown() override
    {
        m_host.Stop();
        EndWineSession();
        m_display.Stop();
        HostTest::TearDown();
    }

    void EndWineSession()
    {
        const std::string server = FindProgram("wineserver");
        if (server.empty()) return;
        RunProgram({server, "-k"}, {}, 30);
        RunProgram({server, "-w"}, {}, 30);
    }

    // Starts the page that asks for a signing certificate and waits for the dialog.
    std::string StartPickerPage()
    {
        std::string page = WriteFile("picker-page.js", Prelude() +
                                                           "var r = attempt(function () { return plugin.SelectSignCertificate('', ''); });\n"
                                                           "print('result|' + r + '|' + code(plugin));\n");
        EXPECT_TRUE(m_host.Start({HostPath(), "--plugin", PluginPath(), "run", page}, DisplayEnv(Env()), Dir() / "host.out",
                                 Dir() / "host.err"));
        std::string window = WaitForWindow(kCaption, 60);
        if (!window.empty()) {
            HostResult geometry = Xdo({"getwindowgeometry", "--shell", window});
            for (const std::string& line : Lines(geometry.out)) {
                if (line.rfind("WIDTH=", 0) == 0) m_width = std::stoi(line.substr(6));
                if (line.rfind("HEIGHT=", 0) == 0) m_height = std::stoi(line.substr(7));
            }
            // The pointer rests outside the dialog: no card is hovered, no tooltip shows.
            Xdo({"mousemove", "2", "2"});
            Xdo({"windowfocus", "--sync", window});
        }
        return window;
    }

    // A point of the dialog's client area, from its bottom-right corner for the buttons
    // (dialog units, so the same for any window size the font gives).
    void ClickAt(const std::string& window, int x, int y, int clicks = 1)
    {
        Xdo({"mousemove", "--window", window, std::to_string(x), std::to_string(y)});
        std::this_thread::sleep_for(200ms);
        Xdo({"click", "--repeat", std::to_string(clicks), "--delay", "80", "1"});
    }
    void ClickOk(const std::string& window) { ClickAt(window, m_width - 153, m_height - 25); }
    void ClickCancel(const std::string& window) { ClickAt(window, m_width - 57, m_height - 25); }

    void Screenshot(const std::string& name, const std::string& window = "root") { SaveScreenshot(name, window, 600ms); }

    // The visible top-level windows.
    std::vector<std::string> Windows()
    {
        return Lines(Xdo({"search", "--onlyvisible", "--name", "."}).out);
    }

    int m_width = 0, m_height = 0;
};

TEST_F(WinePicker, OkAfterMovingTheSelectionChoosesTheSecondCard)
{
    std::string window = StartPickerPage();
    ASSERT_FALSE(window.empty()) << "the picker did not appear: " << ReadText(Dir() / "host.out") << ReadText(Dir() / "host.err");
    ASSERT_GT(m_width, 300);
    Screenshot("win32-four-certificates", window);
    // The README's picture: written when missing, or remade on request.
    KeepReadmePicture("win32-four-certificates", "picker-win32.png");
    Xdo({"key", "Down"});
    Screenshot("win32-second-selected", window);
    ClickOk(window);
    // The cards come in the picker's order: the Chinese name, then Alice.
    EXPECT_EQ(Outcome(), "ok:CN=Alice Signer, OU=Signing, O=npKeystrand, C=KR|0x00000000");
    EXPECT_FALSE(WindowShown(kCaption));
}

TEST_F(WinePicker, CancelButtonCancels)
{
    std::string window = StartPickerPage();
    ASSERT_FALSE(window.empty()) << ReadText(Dir() / "host.err");
    Xdo({"mousemove", "--window", window, std::to_string(m_width - 57), std::to_string(m_height - 25)});
    Screenshot("win32-cancel-button", window);
    ClickCancel(window);
    EXPECT_EQ(Outcome(), kCancelled);
    EXPECT_FALSE(WindowShown(kCaption));
}

TEST_F(WinePicker, EscapeCancels)
{
    std::string window = StartPickerPage();
    ASSERT_FALSE(window.empty()) << ReadText(Dir() / "host.err");
    Xdo({"key", "Down", "Down"});
    Screenshot("win32-escape", window);
    Xdo({"key", "Escape"});
    EXPECT_EQ(Outcome(), kCancelled);
}

TEST_F(WinePicker, DoubleClickOpensTheViewerAndThePickerGoesOn)
{
    std::string window = StartPickerPage();
    ASSERT_FALSE(window.empty()) << ReadText(Dir() / "host.err");
    const std::vector<std::string> before = Windows();
    // The first card's middle: the list starts 62 pixels down, each card is 80 high.
    ClickAt(window, 120, 62 + 40, 2);
    // Whatever Wine's CryptUIDlgViewCertificateW shows is modal over the picker; it is
    // closed like any dialog, and the picker then answers again.
    std::string viewer;
    for (int i = 0; i < 50 && viewer.empty(); ++i) {
        for (const std::string& w : Windows()) {
            if (w != window && std::find(before.begin(), before.end(), w) == before.end()) viewer = w;
        }
        if (viewer.empty()) std::this_thread::sleep_for(200ms);
    }
    Screenshot("win32-double-click");
    if (!viewer.empty()) {
        Xdo({"windowfocus", "--sync", viewer});
        Xdo({"key", "Escape"});
        for (int i = 0; i < 50 && WindowShown("^Certificate$"); ++i) std::this_thread::sleep_for(200ms);
    }
    RecordProperty("viewer", viewer.empty() ? "none" : "shown");
    Xdo({"windowfocus", "--sync", window});
    Xdo({"key", "Escape"});
    EXPECT_EQ(Outcome(), kCancelled) << "viewer window: " << (viewer.empty() ? "none" : viewer);
}

}  // namespace
}  // namespace npk::test
