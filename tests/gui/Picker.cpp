// The certificate picker on a real X display: each test starts its own Xvfb, lets the host run
// a page that asks for a signing certificate among four in the user's "MY" store, and drives
// the "Windows Security" window with xdotool. Every wait is bounded and the display and the
// host are stopped on every path; each case keeps a screenshot under the build directory.
#include "FixtureData.h"
#include "gui/DisplaySession.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <locale.h>
#include <thread>

namespace npk::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char kCaption[] = "^Windows Security$";
const char kViewerCaption[] = "^Certificate$";
const char kCarol[] = "CN=Carol NoKeyId, O=npKeystrand, C=KR";

// The dialog's client layout in pixels (dialog 101 at 6 x 13 base units) for four cards on a
// 1024-pixel screen: the list keeps 4 x 80 + 6 pixels, so everything below it moves up by 103.
constexpr int kCardLeft = 20 + 40;
constexpr int kFirstCardTop = 60;
constexpr int kCancelX = 375;
constexpr int kCancelY = 497 - 103 + 10;
// The list's inner left edge (inside its one-pixel frame) and the buttons' edges.
constexpr int kListLeft = 21;
constexpr int kOkLeft = 255;
constexpr int kCancelLeft = 338;
constexpr int kButtonWidth = 75;
constexpr int kButtonTop = 497 - 103;

class PickerGui : public PickerDisplayTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        if (HasFatalFailure()) return;
        const bool found = FindDisplayPrograms();
        m_openssl = FindProgram("openssl");
        if (!found) GTEST_SKIP() << "Xvfb and xdotool are needed (make deps)";
        if (m_openssl.empty()) GTEST_SKIP() << "the openssl command is needed to make the fourth PFX";

        MakeShotDir("gui");

        StartDisplay();
        if (HasFatalFailure()) return;
        ImportCertificates(m_openssl);
    }

    void TearDown() override
    {
        m_host.Stop();
        m_display.Stop();
        HostTest::TearDown();
    }

    virtual std::string Screen() const { return "1280x1024x24"; }

    void StartDisplay()
    {
        m_displayName = m_display.Start(m_xvfb, Dir(), Screen());
        ASSERT_FALSE(m_displayName.empty()) << "no free X display";
    }

    std::map<std::string, std::string> GuiEnv()
    {
        return GtkDisplayEnv(Env(), WriteFile("lsan.supp", "leak:libfontconfig.so\n"));
    }

    // Starts the page that asks for a signing certificate and prints the outcome.
    void StartPickerPage()
    {
        std::string page = WriteFile("picker-page.js", Prelude() +
                                                           "var r = attempt(function () { return plugin.SelectSignCertificate('', ''); });\n"
                                                           "print('result|' + r + '|' + code(plugin));\n");
        ASSERT_TRUE(m_host.Start({HostPath(), "--plugin", PluginPath(), "run", page}, GuiEnv(), Dir() / "host.out",
                                 Dir() / "host.err"));
    }

    // Waits until no such window is shown.
    bool WaitForWindowGone(const char* caption, std::chrono::seconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!WindowShown(caption)) return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    void Screenshot(const std::string& name, const std::string& window = "root") { SaveScreenshot(name, window, 400ms); }

    void Focus(const std::string& window) { Xdo({"windowfocus", "--sync", window}); }

    // Asks the window to close as a window manager's close box does (WM_DELETE_WINDOW).
    bool SendCloseRequest(const std::string& window)
    {
        Display* display = XOpenDisplay(m_displayName.c_str());
        if (display == nullptr) return false;
        Window w = static_cast<Window>(std::stoul(window));
        XEvent ev = {};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = w;
        ev.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
        ev.xclient.data.l[1] = CurrentTime;
        Status sent = XSendEvent(display, w, False, NoEventMask, &ev);
        XFlush(display);
        XCloseDisplay(display);
        return sent != 0;
    }

    // A rectangle of the window's pixels as the screen shows them (0xRRGGBB), read straight from
    // the server: Xvfb runs no compositor, so this is what a person would see.
    struct Pixels {
        int left = 0, top = 0, width = 0, height = 0;
        std::vector<unsigned long> rgb;
        unsigned long At(int x, int y) const { return rgb[static_cast<size_t>((y - top) * width + (x - left))]; }
        bool Contains(int x, int y) const { return x >= left && x < left + width && y >= top && y < top + height; }
    };

    Pixels Grab(const std::string& window, int left, int top, int width, int height)
    {
        // Let the last input be painted first.
        std::this_thread::sleep_for(400ms);
        Pixels p;
        Display* display = XOpenDisplay(m_displayName.c_str());
        if (display == nullptr) return p;
        XImage* image = XGetImage(display, static_cast<Window>(std::stoul(window)), left, top,
                                  static_cast<unsigned>(width), static_cast<unsigned>(height), AllPlanes, ZPixmap);
        if (image != nullptr) {
            p.left = left;
            p.top = top;
            p.width = width;
            p.height = height;
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) p.rgb.push_back(XGetPixel(image, x, y) & 0xFFFFFF);
            XDestroyImage(image);
        }
        XCloseDisplay(display);
        return p;
    }

    // The rectangle once the window has stopped changing (a scroll may still be animating, a
    // busy machine may paint late); the last grab after a few seconds otherwise.
    Pixels GrabSettled(const std::string& window, int left, int top, int width, int height)
    {
        Pixels last = Grab(window, left, top, width, height);
        for (int i = 0; i < 10; ++i) {
            Pixels next = Grab(window, left, top, width, height);
            if (next.rgb == last.rgb) return next;
            last = std::move(next);
        }
        return last;
    }

    // Pixels of a rectangle (right and bottom exclusive) dark enough to be a frame or a dot
    // drawn on purpose; the cards' and the buttons' own light colours never are.
    static int Dark(const Pixels& p, int left, int top, int right, int bottom)
    {
        int n = 0;
        for (int y = top; y < bottom; ++y) {
            for (int x = left; x < right; ++x) {
                if (!p.Contains(x, y)) continue;
                unsigned long c = p.At(x, y);
                const int luma = (299 * static_cast<int>((c >> 16) & 0xFF) + 587 * static_cast<int>((c >> 8) & 0xFF) +
                                  114 * static_cast<int>(c & 0xFF)) / 1000;
                if (luma < 110) ++n;
            }
        }
        return n;
    }

    static bool White(unsigned long c) { return c == 0xFFFFFF; }

    // The mapped override-redirect windows (tooltips, menus) with their width.
    std::map<unsigned long, int> Popups()
    {
        std::map<unsigned long, int> popups;
        Display* display = XOpenDisplay(m_displayName.c_str());
        if (display == nullptr) return popups;
        Window root = DefaultRootWindow(display), parent = 0, *children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(display, root, &root, &parent, &children, &count) != 0) {
            for (unsigned int i = 0; i < count; ++i) {
                XWindowAttributes attributes;
                if (XGetWindowAttributes(display, children[i], &attributes) != 0 && attributes.override_redirect &&
                    attributes.map_state == IsViewable) {
                    popups[children[i]] = attributes.width;
                }
            }
            if (children != nullptr) XFree(children);
        }
        XCloseDisplay(display);
        return popups;
    }

    // Waits for a popup that was not there before; its width, or 0 after the timeout.
    int WaitForNewPopup(const std::map<unsigned long, int>& before, std::chrono::seconds timeout = 5s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            for (const auto& [id, width] : Popups())
                if (before.count(id) == 0 || before.at(id) != width) return width;
            std::this_thread::sleep_for(100ms);
        }
        return 0;
    }

    // A shown top-level window whose title (_NET_WM_NAME, UTF-8) is exactly that text; its id,
    // or "" after the timeout. Unlike xdotool's search it needs no locale to read the title.
    std::string WaitForTitle(const std::string& title, std::chrono::seconds timeout = 20s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            std::string found;
            Display* display = XOpenDisplay(m_displayName.c_str());
            if (display != nullptr) {
                const Atom name = XInternAtom(display, "_NET_WM_NAME", False);
                const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
                Window root = DefaultRootWindow(display), parent = 0, *children = nullptr;
                unsigned int count = 0;
                if (XQueryTree(display, root, &root, &parent, &children, &count) != 0) {
                    for (unsigned int i = 0; i < count && found.empty(); ++i) {
                        XWindowAttributes attributes;
                        if (XGetWindowAttributes(display, children[i], &attributes) == 0 ||
                            attributes.map_state != IsViewable)
                            continue;
                        Atom type = 0;
                        int format = 0;
                        unsigned long items = 0, left = 0;
                        unsigned char* data = nullptr;
                        if (XGetWindowProperty(display, children[i], name, 0, 1024, False, utf8, &type, &format, &items,
                                               &left, &data) == Success &&
                            data != nullptr) {
                            if (std::string(reinterpret_cast<char*>(data), items) == title)
                                found = std::to_string(children[i]);
                            XFree(data);
                        }
                    }
                    if (children != nullptr) XFree(children);
                }
                XCloseDisplay(display);
            }
            if (!found.empty()) return found;
            std::this_thread::sleep_for(100ms);
        }
        return "";
    }

    // Pixels of the window that are plainly red, which nothing of the picker or the viewer is.
    int RedPixels(const std::string& window, int width, int height)
    {
        Pixels p = Grab(window, 0, 0, width, height);
        int n = 0;
        for (unsigned long c : p.rgb) {
            if (((c >> 16) & 0xFF) > 200 && ((c >> 8) & 0xFF) < 80 && (c & 0xFF) < 80) ++n;
        }
        return n;
    }

    std::string m_openssl;
};

TEST_F(PickerGui, OkAfterMovingTheSelectionChoosesTheSecondCard)
{
    StartPickerPage();
    std::string window = WaitForWindow(kCaption);
    ASSERT_FALSE(window.empty()) << "the picker did not appear: " << ReadText(Dir() / "host.err");
    // The pointer rests outside the window: only the selected card is highlighted.
    Xdo({"mousemove", "5", "5"});
    Screenshot("ok-four-certificates", window);
    // The README's picture: written when missing, or remade on request.
    KeepReadmePicture("ok-four-certificates", "picker.png");
    Focus(window);
    Xdo({"key", "Down"});
    Screenshot("ok-second-selected", window);
    Xdo({"key", "Return"});
    EXPECT_EQ(Outcome(), std::string("ok:") + kCarol + "|0x00000000");
    EXPECT_FALSE(WindowShown(kCaption));
}

TEST_F(PickerGui, ClickingACardAndOkChoosesIt)
{
    StartPickerPage();
    std::string window = WaitForWindow(kCaption);
    ASSERT_FALSE(window.empty()) << ReadText(Dir() / "host.err");
    // Hovering the third card, then choosing it with a click and the OK button.
    Xdo({"mousemove", "--window", window, std::to_string(kCardLeft), std::to_string(kFirstCardTop + 2 * 80 + 40)});
    Screenshot("hover-third-card", window);
    Xdo({"click", "1"});
    Screenshot("click-third-card", window);
    Xdo({"mousemove", "--window", window, std::to_string(kCancelX - 75), std::to_string(kCancelY)});
    Xdo({"click", "1"});
    EXPECT_EQ(Outcome(), "ok:CN=Dave Expired, O=npKeystrand, C=KR|0x00000000");
}

TEST_F(PickerGui, CancelButtonCancels)
{
    StartPickerPage();
    std::string window = WaitForWindow(kCaption);
    ASSERT_FALSE(window.empty()) << ReadText(Dir() / "host.err");
    Xdo({"mousemove", "--window", window, std::to_string(kCancelX), std::to_string(kCancelY)});
    Screenshot("cancel-button", window);
    Xdo({"click", "1"});
    EXPECT_EQ(Outcome(), "threw:plug-in call SelectSignCertificate failed|0xa0071002");
    EXPECT_FALSE(WindowShown(kCaption));
}

TEST_F(PickerGui, EscapeCancels)
{
    StartPickerPage();
    std::string window = WaitForWindow(kCaption);
    ASSERT_FALSE(window.empty()) << ReadText(Dir() / "host.err");
    Focus(window);
    Xdo({"key", "Down", "Down"});
    Screenshot("escape", window);
    Xdo({"key", "Escape"});
    EXPECT_EQ(Outcome(), "threw:plug-in call SelectSignCertificate failed|0xa0071002");
}

TEST_F(PickerGui, CloseBoxCancels)
{
    StartPickerPage();
    std::string window = WaitForWindow(kCaption);
    ASSERT_FALSE(window.empty()) << ReadText(Dir() / "host.err");
    Screenshot("close-box", window);
    ASSERT_TRUE(SendCloseRequest(window));
    EXPECT_EQ(Outcome(), "threw:plug-in call SelectSignCertificate failed|0xa0071002");
}

TEST_F(PickerGui, DoubleClickOpensTheViewerAndThePickerStaysOpen)
{
    StartPickerPage();
    std::string window = WaitForWindow(kCaption);
    ASSERT_FALSE(window.empty()) << ReadText(Dir() / "host.err");
    Xdo({"mousemove", "--window", window, std::to_string(kCardLeft), std::to_string(kFirstCardTop + 40)});
    Xdo({"click", "--repeat", "2", "--delay", "80", "1"});
    std::string viewer = WaitForWindow(kViewerCaption, 15);
    ASSERT_FALSE(viewer.empty()) << "no viewer: " << ReadText(Dir() / "host.err");
    Screenshot("double-click-viewer");
    EXPECT_EQ(RedPixels(viewer, 500, 540), 0) << "the viewer's Details line is drawn on red";
    EXPECT_TRUE(WindowShown(kCaption)) << "the picker closed";
    EXPECT_TRUE(m_host.Running()) << "the page went on as if a choice was made";

    // The viewer closes by itself; the picker is still there and still answers.
    Focus(viewer);
    Xdo({"key", "Escape"});
    EXPECT_TRUE(WaitForWindowGone(kViewerCaption));
    ASSERT_TRUE(WindowShown(kCaption));
    Focus(window);
    Xdo({"key", "Return"});
    EXPECT_EQ(Outcome(), "ok:CN=Alice Signer, OU=Signing, O=npKeystrand, C=KR|0x00000000");
}

// The keyboard's place shows: a dotted frame in the selected card while the list has the
// focus, and a dark frame on the button Enter presses, which moves with the focus to Cancel.
TEST_F(PickerGui, TheFocusAndTheDefaultButtonShowSoThatEnterNeverSurprises)
{
    StartPickerPage();
    std::string window = WaitForWindow(kCaption);
    ASSERT_FALSE(window.empty()) << ReadText(Dir() / "host.err");
    Xdo({"mousemove", "5", "5"});
    Focus(window);
    // The left edge of the first card (left of its icon), and the top and side edges of the
    // buttons, away from their labels.
    auto cardFocus = [](const Pixels& p) { return Dark(p, kListLeft + 1, kFirstCardTop + 10, kListLeft + 7, kFirstCardTop + 70); };
    auto buttonFrame = [](const Pixels& p, int left) {
        return Dark(p, left, kButtonTop, left + kButtonWidth, kButtonTop + 5) +
               Dark(p, left, kButtonTop + 5, left + 5, kButtonTop + 25) +
               Dark(p, left + kButtonWidth - 5, kButtonTop + 5, left + kButtonWidth, kButtonTop + 25);
    };

    Pixels start = GrabSettled(window, 0, 0, 420, 430);
    Screenshot("focus-on-the-list", window);
    EXPECT_GE(cardFocus(start), 15) << "the selected card shows that the list has the focus";
    EXPECT_GE(buttonFrame(start, kOkLeft), 40) << "OK shows that Enter presses it";
    EXPECT_LE(buttonFrame(start, kCancelLeft), 4) << "Cancel is not the default";

    Xdo({"key", "Tab", "Tab"});
    Pixels onCancel = GrabSettled(window, 0, 0, 420, 430);
    Screenshot("focus-on-cancel", window);
    EXPECT_LE(cardFocus(onCancel), 4) << "the list no longer has the focus";
    EXPECT_LE(buttonFrame(onCancel, kOkLeft), 4) << "Enter no longer presses OK";
    EXPECT_GE(buttonFrame(onCancel, kCancelLeft), 40) << "Cancel shows the focus and that Enter presses it";

    Xdo({"key", "Return"});
    EXPECT_EQ(Outcome(), "threw:plug-in call SelectSignCertificate failed|0xa0071002");
}

// The card under the pointer has the name as its tooltip, and the tip follows to the next card.
TEST_F(PickerGui, TooltipShowsTheNameOfTheCardUnderThePointer)
{
    StartPickerPage();
    std::string window = WaitForWindow(kCaption);
    ASSERT_FALSE(window.empty()) << ReadText(Dir() / "host.err");
    Xdo({"mousemove", "5", "5"});
    const std::map<unsigned long, int> none = Popups();

    // "Carol NoKeyId", then "张三": the second tip is a different, narrower one.
    Xdo({"mousemove", "--window", window, std::to_string(kCardLeft), std::to_string(kFirstCardTop + 80 + 40)});
    const int carol = WaitForNewPopup(none);
    Screenshot("tooltip-carol");
    EXPECT_GT(carol, 0) << "no tooltip over the second card";
    Xdo({"mousemove", "--window", window, std::to_string(kCardLeft), std::to_string(kFirstCardTop + 3 * 80 + 40)});
    std::map<unsigned long, int> shown = Popups();
    const int chinese = WaitForNewPopup(shown);
    Screenshot("tooltip-chinese");
    EXPECT_GT(chinese, 0) << "the tooltip did not follow to the fourth card";
    EXPECT_LT(chinese, carol) << "the fourth card's name is the shorter one";

    Focus(window);
    Xdo({"key", "Escape"});
    EXPECT_EQ(Outcome(), "threw:plug-in call SelectSignCertificate failed|0xa0071002");
}

// A screen 768 pixels high holds three of the four cards: the list scrolls.
class PickerGuiSmallScreen : public PickerGui {
protected:
    std::string Screen() const override { return "1280x768x24"; }
};

TEST_F(PickerGuiSmallScreen, WheelScrollingMovesTheHoverToTheCardNowUnderThePointer)
{
    StartPickerPage();
    std::string window = WaitForWindow(kCaption);
    ASSERT_FALSE(window.empty()) << ReadText(Dir() / "host.err");
    // Over the second card, at a spot of the card no text reaches.
    const int x = kListLeft + 340;
    const int y = kFirstCardTop + 80 + 20;
    Xdo({"mousemove", "--window", window, std::to_string(x), std::to_string(y)});
    Pixels before = GrabSettled(window, x, kFirstCardTop, 1, 240);
    Screenshot("wheel-before", window);
    EXPECT_FALSE(White(before.At(x, y))) << "the card under the pointer is highlighted";
    EXPECT_TRUE(White(before.At(x, kFirstCardTop + 2 * 80 + 40))) << "the third card is not";

    // Two notches down: the cards move up under the pointer, which now rests on the third.
    Xdo({"click", "5"});
    Xdo({"click", "5"});
    Pixels after = GrabSettled(window, x, kFirstCardTop, 1, 240);
    Screenshot("wheel-after", window);
    EXPECT_FALSE(White(after.At(x, y))) << "the card now under the pointer is highlighted";
    // The second card now sits at the top of the list, under no pointer and not selected.
    EXPECT_TRUE(White(after.At(x, kFirstCardTop + 30))) << "the highlight stayed on a card that moved away";

    // A click there chooses the third card: the pointer's card, not the one it was over before.
    Xdo({"click", "1"});
    Focus(window);
    Xdo({"key", "Return"});
    EXPECT_EQ(Outcome(), "ok:CN=Dave Expired, O=npKeystrand, C=KR|0x00000000");
}

// Under a Chinese desktop the viewer, like the picker, speaks Chinese: gcr's texts, its title
// and its button.
TEST_F(PickerGui, TheViewerFollowsTheUsersLanguage)
{
    locale_t chinese = newlocale(LC_ALL_MASK, "zh_CN.UTF-8", static_cast<locale_t>(0));
    if (chinese == static_cast<locale_t>(0))
        GTEST_SKIP() << "the zh_CN.UTF-8 locale is not generated here (make test-gui generates it)";
    freelocale(chinese);
    if (!fs::exists("/usr/share/locale/zh_CN/LC_MESSAGES/gcr.mo"))
        GTEST_SKIP() << "gcr's Chinese translation is not installed (package gcr; make test-gui installs it)";

    Env()["LANG"] = "zh_CN.UTF-8";
    StartPickerPage();
    std::string window = WaitForTitle("Windows \xE5\xAE\x89\xE5\x85\xA8");  // Windows 安全
    ASSERT_FALSE(window.empty()) << "no Chinese picker: " << ReadText(Dir() / "host.err");
    Xdo({"mousemove", "--window", window, std::to_string(kCardLeft), std::to_string(kFirstCardTop + 40)});
    Xdo({"click", "--repeat", "2", "--delay", "80", "1"});
    std::string viewer = WaitForTitle("\xE8\xAF\x81\xE4\xB9\xA6", 15s);  // 证书
    Screenshot("viewer-chinese");
    ASSERT_FALSE(viewer.empty()) << "no viewer titled in Chinese: " << ReadText(Dir() / "host.err");
    EXPECT_EQ(RedPixels(viewer, 500, 540), 0);

    Focus(viewer);
    Xdo({"key", "Escape"});
    Focus(window);
    Xdo({"key", "Escape"});
    EXPECT_EQ(Outcome(), "threw:plug-in call SelectSignCertificate failed|0xa0071002");
}

// Two pickers, one after the other, in the same page and process.
TEST_F(PickerGui, ASecondPickerInTheSameProcessWorksAndStaysQuiet)
{
    std::string page = WriteFile("two-pickers.js", Prelude() +
                                                       "var a = attempt(function () { return plugin.SelectSignCertificate('', ''); });\n"
                                                       "print('first|' + a + '|' + code(plugin));\n"
                                                       "var b = attempt(function () { return plugin.SelectSignCertificate('', ''); });\n"
                                                       "print('second|' + b + '|' + code(plugin));\n");
    ASSERT_TRUE(m_host.Start({HostPath(), "--plugin", PluginPath(), "run", page}, GuiEnv(), Dir() / "host.out",
                             Dir() / "host.err"));
    std::string first = WaitForWindow(kCaption);
    ASSERT_FALSE(first.empty()) << ReadText(Dir() / "host.err");
    Focus(first);
    Xdo({"key", "Return"});

    // The second picker is a window of its own, shown once the first has gone.
    std::string second;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        second = WaitForWindow(kCaption, 5);
        if (!second.empty() && second != first) break;
        second.clear();
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_FALSE(second.empty()) << "no second picker: " << ReadText(Dir() / "host.err");
    Screenshot("second-picker", second);
    Focus(second);
    Xdo({"key", "Down"});
    Xdo({"key", "Return"});
    EXPECT_EQ(m_host.Wait(20s), 0);
    const std::string out = ReadText(Dir() / "host.out");
    EXPECT_NE(out.find("first|ok:CN=Alice Signer, OU=Signing, O=npKeystrand, C=KR|0x00000000"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("second|ok:") + kCarol + "|0x00000000"), std::string::npos) << out;
    const std::string err = ReadText(Dir() / "host.err");
    EXPECT_EQ(err.find("gtk_disable_setlocale"), std::string::npos) << err;
    EXPECT_EQ(err.find("Gtk-WARNING"), std::string::npos) << err;
}

}  // namespace
}  // namespace npk::test
