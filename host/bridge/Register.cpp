#include "host/bridge/Register.h"

#include "host/HostPlatform.h"
#include "host/bridge/Json.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace npk::bridge {

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kRegisterUsage[] =
    "Usage: npkeystrand register [--user | --system] [--browser NAME]... [--remove] [--dir DIR]\n"
    "\n"
    "Writes the native-messaging manifests that let the browsers start npkeystrand-bridge\n"
    "(the program beside this one) for the npKeystrand extension, and nothing else.\n"
    "\n"
    "Options:\n"
    "  --user                  for you alone (the default): ~/.config/chromium/NativeMessagingHosts,\n"
    "                          ~/.config/google-chrome/NativeMessagingHosts (under XDG_CONFIG_HOME\n"
    "                          when it is set), ~/.mozilla/native-messaging-hosts\n"
    "  --system                for every user (needs root): /etc/chromium/native-messaging-hosts,\n"
    "                          /etc/opt/chrome/native-messaging-hosts,\n"
    "                          /usr/lib/mozilla/native-messaging-hosts\n"
    "  --scope user|system     the same as --user or --system\n"
    "  --browser NAME          chromium, chrome or firefox; repeat for several (default: all)\n"
    "  --remove                take our manifests away again\n"
    "  --dir DIR               use DIR instead of your home directory (--user) or of / (--system)\n"
    "\n"
    "A manifest that names another program is never overwritten or removed.\n"
    "\n"
    "Exit status: 0 on success, 1 when a manifest could not be written or removed, 2 on a\n"
    "usage error.\n";

int Usage(const std::string& problem)
{
    if (!problem.empty()) {
        std::fprintf(stderr, "npkeystrand register: %s\n\n", problem.c_str());
    }
    std::fputs(kRegisterUsage, problem.empty() ? stdout : stderr);
    return problem.empty() ? 0 : kExitUsage;
}

const char* BrowserName(BrowserKind b)
{
    switch (b) {
    case BrowserKind::Chromium: return "chromium";
    case BrowserKind::Chrome: return "chrome";
    case BrowserKind::Firefox: return "firefox";
    }
    return "";
}

bool ParseBrowser(const std::string& name, BrowserKind& b)
{
    for (BrowserKind k : {BrowserKind::Chromium, BrowserKind::Chrome, BrowserKind::Firefox}) {
        if (name == BrowserName(k)) {
            b = k;
            return true;
        }
    }
    return false;
}

std::string HomeDirectory()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        return home;
    }
    const passwd* pw = getpwuid(getuid());
    return pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : std::string();
}

// mkdir -p, mode 0755 for what it creates.
bool MakeDirectories(const std::string& dir, std::string& error)
{
    std::string path;
    size_t pos = 0;
    while (pos <= dir.size()) {
        size_t slash = dir.find('/', pos);
        if (slash == std::string::npos) {
            slash = dir.size();
        }
        path = dir.substr(0, slash);
        pos = slash + 1;
        if (path.empty()) {
            continue;
        }
        if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = dir + ": not a directory";
        return false;
    }
    return true;
}

bool SamePath(const std::string& a, const std::string& b)
{
    if (a == b) {
        return true;
    }
    char ra[PATH_MAX];
    char rb[PATH_MAX];
    return realpath(a.c_str(), ra) != nullptr && realpath(b.c_str(), rb) != nullptr && std::strcmp(ra, rb) == 0;
}

enum class Existing { None, Ours, Foreign };

// Whether a manifest is there, and whether it names our host.
Existing Inspect(const std::string& file, const std::string& hostPath, std::string& detail)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (access(file.c_str(), F_OK) == 0) {
            detail = "it cannot be read";
            return Existing::Foreign;
        }
        return Existing::None;
    }
    std::ostringstream text;
    text << in.rdbuf();
    JsonValue manifest;
    std::string error;
    if (!ParseJson(text.str(), manifest, error) || !manifest.IsObject()) {
        detail = "it is not a manifest this command wrote";
        return Existing::Foreign;
    }
    const JsonValue* path = manifest.Find("path");
    if (path == nullptr || !path->IsString()) {
        detail = "it names no host program";
        return Existing::Foreign;
    }
    if (!SamePath(path->AsString(), hostPath)) {
        detail = "it names another host, " + path->AsString();
        return Existing::Foreign;
    }
    return Existing::Ours;
}

// Writes through a temporary file and a rename, so that a browser never reads half a manifest.
bool WriteManifest(const std::string& dir, const std::string& file, const std::string& text, std::string& error)
{
    std::string temp = dir + "/." + kHostName + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    bool ok = fchmod(fd, 0644) == 0;
    size_t done = 0;
    while (ok && done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    ok = ok && fsync(fd) == 0;
    const int savedErrno = errno;
    close(fd);
    if (!ok || rename(temp.c_str(), file.c_str()) != 0) {
        error = file + ": " + std::strerror(ok ? errno : savedErrno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace

std::string ManifestText(BrowserKind browser, const std::string& hostPath)
{
    std::string text = "{\n  \"name\": ";
    AppendJsonString(text, kHostName);
    text += ",\n  \"description\": ";
    AppendJsonString(text, "npKeystrand certificate utilities for web pages");
    text += ",\n  \"path\": ";
    AppendJsonString(text, hostPath);
    text += ",\n  \"type\": \"stdio\",\n";
    if (browser == BrowserKind::Firefox) {
        text += "  \"allowed_extensions\": [";
        AppendJsonString(text, kFirefoxExtension);
    } else {
        text += "  \"allowed_origins\": [";
        AppendJsonString(text, kChromiumOrigin);
    }
    text += "]\n}\n";
    return text;
}

std::string ManifestDirectory(BrowserKind browser, bool system, const std::string& home, const std::string& configHome,
                              const std::string& root)
{
    if (system) {
        switch (browser) {
        case BrowserKind::Chromium: return root + "/etc/chromium/native-messaging-hosts";
        case BrowserKind::Chrome: return root + "/etc/opt/chrome/native-messaging-hosts";
        case BrowserKind::Firefox: return root + "/usr/lib/mozilla/native-messaging-hosts";
        }
    }
    const std::string config = configHome.empty() ? home + "/.config" : configHome;
    switch (browser) {
    case BrowserKind::Chromium: return config + "/chromium/NativeMessagingHosts";
    case BrowserKind::Chrome: return config + "/google-chrome/NativeMessagingHosts";
    case BrowserKind::Firefox: return home + "/.mozilla/native-messaging-hosts";
    }
    return std::string();
}

}  // namespace npk::bridge

int RegisterCommandMain(int argc, char** argv)
{
    using namespace npk::bridge;
    int scope = -1;  // 0 user, 1 system
    bool remove = false;
    std::string dir;
    std::vector<BrowserKind> browsers;
    auto setScope = [&scope](int s) {
        if (scope >= 0 && scope != s) {
            return false;
        }
        scope = s;
        return true;
    };
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string value;
        const bool hasInline = a.rfind("--", 0) == 0 && a.find('=') != std::string::npos;
        if (hasInline) {
            value = a.substr(a.find('=') + 1);
            a = a.substr(0, a.find('='));
        }
        auto takeValue = [&](const char* option) -> bool {
            if (hasInline) {
                return true;
            }
            if (i + 1 >= argc) {
                return false;
            }
            value = argv[++i];
            (void)option;
            return true;
        };
        if (a == "-h" || a == "--help") {
            return Usage("");
        }
        if (a == "--user" || a == "--system") {
            if (!setScope(a == "--system" ? 1 : 0)) {
                return Usage("give either --user or --system, not both");
            }
        } else if (a == "--scope") {
            if (!takeValue("--scope")) {
                return Usage("--scope needs user or system");
            }
            if (value != "user" && value != "system") {
                return Usage("unknown scope \"" + value + "\" (user or system)");
            }
            if (!setScope(value == "system" ? 1 : 0)) {
                return Usage("give either --user or --system, not both");
            }
        } else if (a == "--browser") {
            if (!takeValue("--browser")) {
                return Usage("--browser needs chromium, chrome or firefox");
            }
            BrowserKind b;
            if (!ParseBrowser(value, b)) {
                return Usage("unknown browser \"" + value + "\" (chromium, chrome or firefox)");
            }
            bool seen = false;
            for (BrowserKind k : browsers) {
                seen = seen || k == b;
            }
            if (!seen) {
                browsers.push_back(b);
            }
        } else if (a == "--remove") {
            remove = true;
        } else if (a == "--dir") {
            if (!takeValue("--dir") || value.empty()) {
                return Usage("--dir needs a directory");
            }
            dir = value;
        } else {
            return Usage(a[0] == '-' ? "unknown option " + a : "unexpected argument " + a);
        }
    }
    const bool system = scope == 1;
    if (browsers.empty()) {
        browsers = {BrowserKind::Chromium, BrowserKind::Chrome, BrowserKind::Firefox};
    }

    const std::string exeDir = npk::host::ExecutableDirectory();
    if (exeDir.empty()) {
        std::fprintf(stderr, "npkeystrand register: cannot tell where this program is installed\n");
        return kExitFailed;
    }
    const std::string hostPath = exeDir + "/npkeystrand-bridge";
    if (!remove && access(hostPath.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "npkeystrand register: %s: %s (it belongs beside npkeystrand)\n", hostPath.c_str(),
                     std::strerror(errno));
        return kExitFailed;
    }
    std::string home;
    std::string configHome;
    std::string root;
    if (system) {
        root = dir;
    } else if (!dir.empty()) {
        home = dir;
    } else {
        home = HomeDirectory();
        if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/') {
            configHome = xdg;
        }
        if (home.empty()) {
            std::fprintf(stderr, "npkeystrand register: cannot find your home directory (set HOME)\n");
            return kExitFailed;
        }
    }

    int status = 0;
    for (BrowserKind b : browsers) {
        const std::string manifestDir = ManifestDirectory(b, system, home, configHome, root);
        const std::string file = manifestDir + "/" + kHostName + ".json";
        std::string detail;
        const Existing existing = Inspect(file, hostPath, detail);
        if (existing == Existing::Foreign) {
            std::fprintf(stderr, "npkeystrand register: %s: left alone: %s\n", file.c_str(), detail.c_str());
            status = kExitFailed;
            continue;
        }
        if (remove) {
            if (existing == Existing::None) {
                std::printf("%s: no manifest of ours for %s\n", file.c_str(), BrowserName(b));
            } else if (unlink(file.c_str()) != 0) {
                std::fprintf(stderr, "npkeystrand register: %s: %s\n", file.c_str(), std::strerror(errno));
                status = kExitFailed;
            } else {
                std::printf("removed %s\n", file.c_str());
            }
            continue;
        }
        std::string error;
        if (!MakeDirectories(manifestDir, error) || !WriteManifest(manifestDir, file, ManifestText(b, hostPath), error)) {
            std::fprintf(stderr, "npkeystrand register: %s\n", error.c_str());
            status = kExitFailed;
            continue;
        }
        std::printf("wrote %s (%s)\n", file.c_str(), BrowserName(b));
    }
    return status;
}
