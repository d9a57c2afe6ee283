// What the tests that drive windows of a host on an Xvfb display share: the programs they
// need, the display, the environment a GUI host runs in, xdotool, and screenshots. Kept apart
// from GuiSupport.h because it runs programs through the host harness, which the in-process
// GUI tests do not include.
#pragma once

#include "FixtureData.h"
#include "gui/GuiSupport.h"
#include "integration/HostHarness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace npk::test {

inline std::string ReadText(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Mixed into a host test fixture.
class DisplaySession {
protected:
    // Finds Xvfb, xdotool and import (screenshots are skipped without it); false when Xvfb or
    // xdotool is missing.
    bool FindDisplayPrograms()
    {
        m_xvfb = FindProgram("Xvfb");
        m_xdotool = FindProgram("xdotool");
        m_import = FindProgram("import");
        return !m_xvfb.empty() && !m_xdotool.empty();
    }

    // test-output/<name> under the build directory, made.
    void MakeShotDir(const std::string& name)
    {
        m_shots = fs::path(RequiredEnv("NPK_BINARY_DIR")) / "test-output" / name;
        fs::create_directories(m_shots);
    }

    // The process's environment with the test's overrides (an empty value unsets), on this
    // display and never on a Wayland one.
    std::map<std::string, std::string> DisplayEnv(const std::map<std::string, std::string>& overrides) const
    {
        std::map<std::string, std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            size_t eq = entry.find('=');
            if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
        for (const auto& [k, v] : overrides) {
            if (v.empty()) {
                env.erase(k);
            } else {
                env[k] = v;
            }
        }
        env["DISPLAY"] = m_displayName;
        env.erase("WAYLAND_DISPLAY");
        return env;
    }

    // DisplayEnv for a GTK host. No window manager runs here: server-side decorations keep a
    // window's origin at its client area, which is what clicks aim at. Fontconfig never frees
    // its caches; a sanitizer build of the host must not call that a leak of ours
    // (`suppressions` is the file that says so).
    std::map<std::string, std::string> GtkDisplayEnv(const std::map<std::string, std::string>& overrides,
                                                     const std::string& suppressions) const
    {
        std::map<std::string, std::string> env = DisplayEnv(overrides);
        env["GTK_CSD"] = "0";
        env["NO_AT_BRIDGE"] = "1";
        std::string lsan = env.count("LSAN_OPTIONS") != 0 ? env["LSAN_OPTIONS"] + ":" : "";
        env["LSAN_OPTIONS"] = lsan + "suppressions=" + suppressions;
        return env;
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

    // m_shots/<name>.png of the window, after `settle` lets the last input be painted; nothing
    // without import.
    void SaveScreenshot(const std::string& name, const std::string& window, std::chrono::milliseconds settle)
    {
        if (m_import.empty()) return;
        std::this_thread::sleep_for(settle);
        fs::path file = m_shots / (name + ".png");
        HostResult r = RunProgram({m_import, "-display", m_displayName, "-window", window, file.string()}, {}, 30);
        EXPECT_EQ(r.status, 0) << "screenshot " << file << ": " << r.err;
    }

    // Copies screenshot `shot` to docs/<picture> for the README: when it is missing there, or
    // always with NPK_UPDATE_SCREENSHOTS=1.
    void KeepReadmePicture(const std::string& shot, const std::string& picture)
    {
        fs::path docs = fs::path(RequiredEnv("NPK_SOURCE_DIR")) / "docs";
        const char* update = std::getenv("NPK_UPDATE_SCREENSHOTS");
        if (!m_import.empty() && fs::is_directory(docs) &&
            (!fs::exists(docs / picture) || (update != nullptr && std::string(update) == "1"))) {
            fs::copy_file(m_shots / (shot + ".png"), docs / picture, fs::copy_options::overwrite_existing);
        }
    }

    std::string m_xvfb, m_xdotool, m_import, m_displayName;
    fs::path m_shots;
    XvfbDisplay m_display;
};

// A host test that runs a picker page on a display of its own, with four certificates in "MY".
class PickerDisplayTest : public HostTest, protected DisplaySession {
protected:
    // signer, nokeyid, expired and chinese (its PFX made here with `openssl`).
    void ImportCertificates(const std::string& openssl)
    {
        const fs::path data = fs::path(FixtureDir());
        const std::string chinesePfx = (Dir() / "chinese.pfx").string();
        HostResult made = RunProgram({openssl, "pkcs12", "-export", "-inkey", (data / "chinese.key").string(), "-in",
                                      (data / "chinese.cer").string(), "-passout", "pass:npkeystrand", "-out", chinesePfx},
                                     {}, 30);
        ASSERT_EQ(made.status, 0) << made.err;
        for (const std::string& pfx : {(data / "signer.pfx").string(), (data / "nokeyid.pfx").string(),
                                        (data / "expired.pfx").string(), chinesePfx}) {
            HostResult r = Host({"store", "import", "MY", pfx, "--password", "npkeystrand"});
            ASSERT_EQ(r.status, 0) << pfx << ": " << r.err;
        }
    }

    // The page's outcome line once the host has ended.
    std::string Outcome()
    {
        int status = m_host.Wait(m_hostWait);
        EXPECT_EQ(status, 0) << "host: " << ReadText(Dir() / "host.err");
        for (const std::string& line : Lines(ReadText(Dir() / "host.out"))) {
            if (line.rfind("result|", 0) == 0) return line.substr(7);
        }
        return "no outcome: " + ReadText(Dir() / "host.out") + ReadText(Dir() / "host.err");
    }

    Child m_host;
    std::chrono::seconds m_hostWait{20};  // for the host to end once the picker is answered
};

}  // namespace npk::test
