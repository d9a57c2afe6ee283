// The certificate picker on a real X display: each test starts its own Xvfb, lets the host run
// a page that asks for a signing certificate among four in the user's "MY" store, and drives
// the "Windows Security" window with xdotool. Every wait is bounded and the display and the
// host are stopped on every path; each case keeps a screenshot under the build directory.
#include "FixtureData.h"
#include "integration/HostHarness.h"

#include <X11/Xlib.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

std::string FindProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        fs::path candidate = fs::path(dirs.substr(start, end - start)) / name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
        start = end + 1;
    }
    return "";
}

// A child started in the background with its output in files; killed if still running when
// the object goes.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { Stop(); }

    bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
               const fs::path& out, const fs::path& err)
    {
        std::vector<std::string> envStrings;
        for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
        std::vector<char*> envp;
        for (auto& s : envStrings) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<std::string> args = argv;
        std::vector<char*> argp;
        for (auto& s : args) argp.push_back(s.data());
        argp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int rc = posix_spawn(&m_pid, argp[0], &actions, nullptr, argp.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) m_pid = -1;
        return rc == 0;
    }

    // The exit status, or -1 when it did not end in time (it is then killed).
    int Wait(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_pid > 0) {
            int ws = 0;
            pid_t r = waitpid(m_pid, &ws, WNOHANG);
            if (r == m_pid) {
                m_pid = -1;
                return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
            }
            if (std::chrono::steady_clock::now() > deadline) break;
            std::this_thread::sleep_for(50ms);
        }
        Stop();
        return -1;
    }

    bool Running()
    {
        if (m_pid <= 0) return false;
        int ws = 0;
        if (waitpid(m_pid, &ws, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        return true;
    }

    void Stop()
    {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        for (int i = 0; i < 40; ++i) {
            int ws = 0;
            if (waitpid(m_pid, &ws, WNOHANG) == m_pid) {
                m_pid = -1;
                return;
            }
            std::this_thread::sleep_for(50ms);
        }
        kill(m_pid, SIGKILL);
        int ws = 0;
        waitpid(m_pid, &ws, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

std::string ReadText(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class PickerGui : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        if (HasFatalFailure()) return;
        m_xvfb = FindProgram("Xvfb");
        m_xdotool = FindProgram("xdotool");
        m_import = FindProgram("import");
        m_openssl = FindProgram("openssl");
        if (m_xvfb.empty() || m_xdotool.empty()) GTEST_SKIP() << "Xvfb and xdotool are needed (make deps)";
        if (m_openssl.empty()) GTEST_SKIP() << "the openssl command is needed to make the fourth PFX";

        m_shots = fs::path(RequiredEnv("NPK_BINARY_DIR")) / "test-output" / "gui";
        fs::create_directories(m_shots);

        StartDisplay();
        if (HasFatalFailure()) return;
        ImportCertificates();
    }

    void TearDown() override
    {
        m_host.Stop();
        m_display.Stop();
        HostTest::TearDown();
    }

    void StartDisplay()
    {
        // A display number no one else holds, from a range of our own.
        for (int n = 90 + static_cast<int>(getpid() % 50); n < 200; ++n) {
            fs::path lock = "/tmp/.X" + std::to_string(n) + "-lock";
            fs::path socket = "/tmp/.X11-unix/X" + std::to_string(n);
            if (fs::exists(lock) || fs::exists(socket)) continue;
            std::string display = ":" + std::to_string(n);
            std::map<std::string, std::string> env = {{"PATH", std::getenv("PATH") ? std::getenv("PATH") : ""}};
            ASSERT_TRUE(m_display.Start({m_xvfb, display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"}, env,
                                        Dir() / "xvfb.out", Dir() / "xvfb.err"));
            for (int i = 0; i < 100 && !fs::exists(socket); ++i) {
                if (!m_display.Running()) break;
                std::this_thread::sleep_for(50ms);
            }
            if (!fs::exists(socket)) {
                m_display.Stop();
                continue;  // somebody took it meanwhile
            }
            m_displayName = display;
            return;
        }
        FAIL() << "no free X display";
    }

    void ImportCertificates()
    {
        fs::path data = fs::path(FixtureDir());
        std::string chinesePfx = (Dir() / "chinese.pfx").string();
        HostResult made = RunProgram({m_openssl, "pkcs12", "-export", "-inkey", (data / "chinese.key").string(), "-in",
                                      (data / "chinese.cer").string(), "-passout", "pass:npkeystrand", "-out",
                                      chinesePfx},
                                     {}, 30);
        ASSERT_EQ(made.status, 0) << made.err;
        for (const std::string& pfx : {(data / "signer.pfx").string(), (data / "nokeyid.pfx").string(),
                                        (data / "expired.pfx").string(), chinesePfx}) {
            HostResult r = Host({"store", "import", "MY", pfx, "--password", "npkeystrand"});
            ASSERT_EQ(r.status, 0) << pfx << ": " << r.err;
        }
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
            if (v.empty()) {
                env.erase(k);
            } else {
                env[k] = v;
            }
        }
        env["DISPLAY"] = m_displayName;
        env.erase("WAYLAND_DISPLAY");
        // No window manager runs here: server-side decorations keep the window's origin at its
        // client area, which is what the clicks below aim at.
        env["GTK_CSD"] = "0";
        env["NO_AT_BRIDGE"] = "1";
        // Fontconfig never frees its caches; a sanitizer build of the host must not call that
        // a leak of ours.
        std::string suppressions = WriteFile("lsan.supp", "leak:libfontconfig.so\n");
        std::string lsan = env.count("LSAN_OPTIONS") != 0 ? env["LSAN_OPTIONS"] + ":" : "";
        env["LSAN_OPTIONS"] = lsan + "suppressions=" + suppressions;
        return env;
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

    HostResult Xdo(const std::vector<std::string>& args, int timeoutSeconds = 20)
    {
        std::vector<std::string> argv = {m_xdotool};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, {{"DISPLAY", m_displayName}}, timeoutSeconds);
    }

    // The window's id once it is shown, or "" after the timeout.
    std::string WaitForWindow(const char* caption, int timeoutSeconds = 20)
    {
        HostResult r = Xdo({"search", "--sync", "--onlyvisible", "--name", caption}, timeoutSeconds);
        std::vector<std::string> ids = Lines(r.out);
        return r.status == 0 && !ids.empty() ? ids[0] : "";
    }

    bool WindowShown(const char* caption)
    {
        HostResult r = Xdo({"search", "--onlyvisible", "--name", caption}, 10);
        return r.status == 0 && !r.out.empty();
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

    void Screenshot(const std::string& name, const std::string& window = "root")
    {
        if (m_import.empty()) return;
        // Let the last input be painted first.
        std::this_thread::sleep_for(400ms);
        fs::path file = m_shots / (name + ".png");
        HostResult r = RunProgram({m_import, "-display", m_displayName, "-window", window, file.string()}, {}, 30);
        EXPECT_EQ(r.status, 0) << "screenshot " << file << ": " << r.err;
    }

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

    // The page's outcome line once the host has ended.
    std::string Outcome()
    {
        int status = m_host.Wait(20s);
        EXPECT_EQ(status, 0) << "host: " << ReadText(Dir() / "host.err");
        for (const std::string& line : Lines(ReadText(Dir() / "host.out"))) {
            if (line.rfind("result|", 0) == 0) return line.substr(7);
        }
        return "no outcome: " + ReadText(Dir() / "host.out") + ReadText(Dir() / "host.err");
    }

    std::string m_xvfb;
    std::string m_xdotool;
    std::string m_import;
    std::string m_openssl;
    std::string m_displayName;
    fs::path m_shots;
    Child m_display;
    Child m_host;
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
    fs::path docs = fs::path(RequiredEnv("NPK_SOURCE_DIR")) / "docs";
    const char* update = std::getenv("NPK_UPDATE_SCREENSHOTS");
    if (!m_import.empty() && fs::is_directory(docs) &&
        (!fs::exists(docs / "picker.png") || (update != nullptr && std::string(update) == "1"))) {
        fs::copy_file(m_shots / "ok-four-certificates.png", docs / "picker.png", fs::copy_options::overwrite_existing);
    }
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

}  // namespace
}  // namespace npk::test
