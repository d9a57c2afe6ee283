// SHGetSpecialFolderPathW for the folders that play the Windows folders' roles here:
//
//   CSIDL_SYSTEM         (0x25)  /usr/lib                     the system's libraries
//   CSIDL_SYSTEMX86      (0x29)  /usr/bin                     the system's programs
//   CSIDL_WINDOWS        (0x24)  /etc                         the system's configuration
//   CSIDL_STARTUP        (0x07)  $XDG_CONFIG_HOME/autostart   what starts when the user logs in
//                                (~/.config/autostart when XDG_CONFIG_HOME is unset or not absolute)
//   CSIDL_COMMON_STARTUP (0x18)  /etc/xdg/autostart           what starts for every user
//   CSIDL_APPDATA        (0x1A)  $XDG_CONFIG_HOME             the user's programs' settings
//   CSIDL_LOCAL_APPDATA  (0x1C)  $XDG_DATA_HOME               the user's programs' data
//                                (~/.local/share when XDG_DATA_HOME is unset or not absolute)
//   CSIDL_PROFILE        (0x28)  $HOME                        the user's own folder
//
// The path is given whether or not the folder exists, so that checks against it hold
// before anything has been put there. Only the user's own folder is made on request;
// the system's folders belong to the system. Any other CSIDL fails with
// ERROR_INVALID_PARAMETER.
#include <shlobj.h>

#include "kernel32/FileSystem.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

std::string HomeDirectory()
{
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/') return home;
    struct passwd pw;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        return found->pw_dir;
    return std::string();
}

// An XDG base directory: the variable when it holds an absolute path, else its default
// below the home folder; empty without a home folder.
std::string BaseDirectory(const char* variable, const char* fallback)
{
    const char* value = getenv(variable);
    if (value != nullptr && value[0] == '/') return value;
    std::string home = HomeDirectory();
    if (home.empty()) return std::string();
    return home + fallback;
}

// Makes the folder and the missing ones above it, readable by the user alone as new
// configuration folders should be.
bool MakeFolders(const std::string& path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i != path.size() && path[i] != '/') continue;
        std::string prefix = path.substr(0, i);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            SetLastError(npk::ErrorFromErrno(errno, prefix));
            return false;
        }
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return true;
}

}  // namespace

BOOL WINAPI SHGetSpecialFolderPathW(HWND hwnd, LPWSTR pszPath, int csidl, BOOL fCreate)
{
    if (pszPath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const bool create = fCreate || (csidl & CSIDL_FLAG_CREATE) != 0;
    std::string folder;
    bool userFolder = false;
    switch (csidl & ~CSIDL_FLAG_MASK) {
    case CSIDL_SYSTEM: folder = "/usr/lib"; break;
    case CSIDL_SYSTEMX86: folder = "/usr/bin"; break;
    case CSIDL_WINDOWS: folder = "/etc"; break;
    case CSIDL_COMMON_STARTUP: folder = "/etc/xdg/autostart"; break;
    case CSIDL_STARTUP:
        folder = BaseDirectory("XDG_CONFIG_HOME", "/.config");
        if (!folder.empty()) folder += "/autostart";
        userFolder = true;
        break;
    case CSIDL_APPDATA:
        folder = BaseDirectory("XDG_CONFIG_HOME", "/.config");
        userFolder = true;
        break;
    case CSIDL_LOCAL_APPDATA:
        folder = BaseDirectory("XDG_DATA_HOME", "/.local/share");
        userFolder = true;
        break;
    case CSIDL_PROFILE:
        folder = HomeDirectory();
        userFolder = true;
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (userFolder && folder.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);  // no home directory to hold it
        return FALSE;
    }

    // The variables may carry "..", "." or doubled and trailing separators.
    npk::WideString full;
    npk::WideString raw = npk::WideFromUtf8(folder);
    if (!npk::FullPathOf(raw.c_str(), full)) return FALSE;
    while (full.size() > 1 && full.back() == '/') full.pop_back();
    if (full.size() >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    if (create && userFolder) {
        std::string native;
        if (!npk::NativePathOf(full.c_str(), native) || !MakeFolders(native)) return FALSE;
    }
    full.copy(pszPath, full.size());
    pszPath[full.size()] = 0;
    return TRUE;
}
