// The registry, kept in files: each key is a directory, each value a file holding its type,
// its name as given and its data. Names are matched without regard to ASCII case, as the
// registry matches them; the stored form folds case and escapes what a file name cannot hold.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

typedef std::basic_string<WCHAR> WString;

const uint32_t kValueMagic = 0x524B504E;  // "NPKR"
const char kNameFile[] = ".name";
const size_t kMaxKeyNameChars = 255;
const size_t kMaxValueNameChars = 16383;

struct RegistryKey {
    std::string Path;   // directory of the key
    REGSAM Access = 0;
};

std::mutex g_keysMutex;
std::set<RegistryKey*> g_keys;

std::string EnvOrEmpty(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

bool MakeDirectory(const std::string& path)
{
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    return false;
}

bool IsDirectory(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The directory of a predefined key, created when missing; empty when it cannot be.
std::string RootPath(HKEY hKey)
{
    const char* hive = nullptr;
    if (hKey == HKEY_LOCAL_MACHINE) hive = "HKEY_LOCAL_MACHINE";
    else if (hKey == HKEY_CURRENT_USER) hive = "HKEY_CURRENT_USER";
    else if (hKey == HKEY_CLASSES_ROOT) hive = "HKEY_CLASSES_ROOT";
    else if (hKey == HKEY_USERS) hive = "HKEY_USERS";
    if (hive == nullptr) {
        return std::string();
    }
    std::string base = EnvOrEmpty("XDG_CONFIG_HOME");
    if (base.empty()) {
        std::string home = EnvOrEmpty("HOME");
        if (home.empty()) {
            return std::string();
        }
        base = home + "/.config";
    }
    std::string path = base + "/npkeystrand/registry/" + hive;
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] == '/' && !MakeDirectory(path.substr(0, i))) {
            return std::string();
        }
    }
    if (!MakeDirectory(path)) {
        return std::string();
    }
    return path;
}

bool IsPredefined(HKEY hKey)
{
    return hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER || hKey == HKEY_CLASSES_ROOT ||
           hKey == HKEY_USERS;
}

// Resolves a key handle to its directory and access. Predefined keys allow everything.
LSTATUS ResolveKey(HKEY hKey, std::string& path, REGSAM& access)
{
    if (IsPredefined(hKey)) {
        path = RootPath(hKey);
        access = KEY_ALL_ACCESS;
        return path.empty() ? ERROR_PATH_NOT_FOUND : ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> lock(g_keysMutex);
    RegistryKey* key = (RegistryKey*)hKey;
    if (hKey == nullptr || g_keys.count(key) == 0) {
        return ERROR_INVALID_HANDLE;
    }
    path = key->Path;
    access = key->Access;
    return ERROR_SUCCESS;
}

// Resolves a key handle that must grant `needed` and still exist on disk.
LSTATUS UsableKey(HKEY hKey, REGSAM needed, std::string& path)
{
    REGSAM access = 0;
    LSTATUS status = ResolveKey(hKey, path, access);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if ((access & needed) != needed) {
        return ERROR_ACCESS_DENIED;
    }
    return IsDirectory(path) ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

std::string ToUtf8(LPCWSTR text, size_t count)
{
    if (count == 0) {
        return std::string();
    }
    int needed = WideCharToMultiByte(CP_UTF8, 0, text, (int)count, nullptr, 0, nullptr, nullptr);
    std::string out(needed > 0 ? (size_t)needed : 0, '\0');
    if (needed > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text, (int)count, out.data(), needed, nullptr, nullptr);
    }
    return out;
}

// Stored form of a key or value name: ASCII folded to lower case, bytes outside
// [a-z0-9_-] and the dot as %XX (UTF-8).
std::string StoredName(const char* prefix, const WString& name)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out = prefix;
    WString folded = name;
    for (WCHAR& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = (WCHAR)(c - 'A' + 'a');
        }
    }
    for (unsigned char c : ToUtf8(folded.data(), folded.size())) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.') {
            out += (char)c;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// Splits a sub-key path at backslashes. A leading backslash or an empty component in the
// middle is not a key path.
LSTATUS SplitPath(LPCWSTR subKey, std::vector<WString>& parts)
{
    parts.clear();
    if (subKey == nullptr || subKey[0] == 0) {
        return ERROR_SUCCESS;
    }
    if (subKey[0] == '\\') {
        return ERROR_BAD_PATHNAME;
    }
    WString current;
    for (LPCWSTR p = subKey;; ++p) {
        if (*p == '\\' || *p == 0) {
            if (current.empty()) {
                if (*p == 0) break;           // a trailing backslash is allowed
                return ERROR_BAD_PATHNAME;
            }
            if (current.size() > kMaxKeyNameChars) {
                return ERROR_INVALID_PARAMETER;
            }
            parts.push_back(current);
            current.clear();
            if (*p == 0) break;
        } else {
            current += *p;
        }
    }
    return ERROR_SUCCESS;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes)
{
    std::string temp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(gettid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    bool ok = true;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) { ok = false; break; }
        done += (size_t)n;
    }
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream out;
    out << in.rdbuf();
    bytes = out.str();
    return true;
}

struct StoredValue {
    DWORD Type = REG_NONE;
    WString Name;
    std::string Data;
};

bool ReadValue(const std::string& path, StoredValue& value)
{
    std::string bytes;
    if (!ReadWholeFile(path, bytes) || bytes.size() < 12) {
        return false;
    }
    uint32_t header[3];
    std::memcpy(header, bytes.data(), sizeof(header));
    if (header[0] != kValueMagic || header[2] > kMaxValueNameChars ||
        bytes.size() - 12 < (size_t)header[2] * sizeof(WCHAR)) {
        return false;
    }
    value.Type = header[1];
    value.Name.assign((const WCHAR*)(bytes.data() + 12), header[2]);
    value.Data = bytes.substr(12 + (size_t)header[2] * sizeof(WCHAR));
    return true;
}

LSTATUS CopyOut(const std::string& data, DWORD type, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpType != nullptr) {
        *lpType = type;
    }
    if (lpcbData == nullptr) {
        return ERROR_SUCCESS;
    }
    DWORD size = (DWORD)data.size();
    if (lpData == nullptr) {
        *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpData, data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

// Entries of a key directory with the given prefix, sorted by stored name.
std::vector<std::string> ListEntries(const std::string& dir, char prefix)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return names;
    }
    while (struct dirent* entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name.size() >= 2 && name[0] == prefix && name[1] == '.' &&
            name.find(".tmp.") == std::string::npos) {
            names.push_back(name);
        }
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

LSTATUS NewHandle(const std::string& path, REGSAM access, PHKEY phkResult)
{
    RegistryKey* key = new (std::nothrow) RegistryKey;
    if (key == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    key->Path = path;
    key->Access = access;
    {
        std::lock_guard<std::mutex> lock(g_keysMutex);
        g_keys.insert(key);
    }
    *phkResult = (HKEY)key;
    return ERROR_SUCCESS;
}

// Copies a name out with the size rules of the enumeration functions: the count is in
// characters, the terminator needs room but is not counted on return.
LSTATUS CopyName(const WString& name, LPWSTR buffer, LPDWORD count)
{
    if (buffer == nullptr || count == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (*count < name.size() + 1) {
        *count = (DWORD)name.size() + 1;
        return ERROR_MORE_DATA;
    }
    std::memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
    buffer[name.size()] = 0;
    *count = (DWORD)name.size();
    return ERROR_SUCCESS;
}

// The directory and access of an open key, and the parts of a sub-key path below it.
LSTATUS ParentAndSubKey(HKEY hKey, LPCWSTR lpSubKey, std::string& path, REGSAM& access,
                        std::vector<WString>& parts)
{
    LSTATUS status = ResolveKey(hKey, path, access);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    status = SplitPath(lpSubKey, parts);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return IsDirectory(path) ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

}  // namespace

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult)
{
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    std::string path;
    REGSAM access = 0;
    std::vector<WString> parts;
    LSTATUS status = ParentAndSubKey(hKey, lpSubKey, path, access, parts);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    for (const WString& part : parts) {
        path += "/" + StoredName("k.", part);
        if (!IsDirectory(path)) {
            return ERROR_FILE_NOT_FOUND;
        }
    }
    return NewHandle(path, samDesired & ~(REGSAM)KEY_WOW64_RES, phkResult);
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                               DWORD dwOptions, REGSAM samDesired,
                               const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition)
{
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    std::string path;
    REGSAM access = 0;
    std::vector<WString> parts;
    LSTATUS status = ParentAndSubKey(hKey, lpSubKey, path, access, parts);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    for (const WString& part : parts) {
        path += "/" + StoredName("k.", part);
        if (IsDirectory(path)) {
            continue;
        }
        if ((access & KEY_CREATE_SUB_KEY) == 0 && disposition == REG_OPENED_EXISTING_KEY) {
            return ERROR_ACCESS_DENIED;
        }
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE;
        }
        // The name as first spelled, for enumeration.
        std::string spelled = ToUtf8(part.data(), part.size());
        if (!WriteWholeFile(path + "/" + kNameFile, spelled)) {
            return ERROR_CANTWRITE;
        }
        disposition = REG_CREATED_NEW_KEY;
    }
    if (lpdwDisposition != nullptr) {
        *lpdwDisposition = disposition;
    }
    return NewHandle(path, samDesired & ~(REGSAM)KEY_WOW64_RES, phkResult);
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpData != nullptr && lpcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string path;
    LSTATUS status = UsableKey(hKey, KEY_QUERY_VALUE, path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    WString name = lpValueName != nullptr ? WString(lpValueName) : WString();
    StoredValue value;
    if (!ReadValue(path + "/" + StoredName("v.", name), value)) {
        return ERROR_FILE_NOT_FOUND;
    }
    return CopyOut(value.Data, value.Type, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE* lpData, DWORD cbData)
{
    if (lpData == nullptr && cbData != 0) {
        return ERROR_NOACCESS;
    }
    std::string path;
    LSTATUS status = UsableKey(hKey, KEY_SET_VALUE, path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    WString name = lpValueName != nullptr ? WString(lpValueName) : WString();
    if (name.size() > kMaxValueNameChars) {
        return ERROR_INVALID_PARAMETER;
    }
    uint32_t header[3] = {kValueMagic, dwType, (uint32_t)name.size()};
    std::string bytes((const char*)header, sizeof(header));
    bytes.append((const char*)name.data(), name.size() * sizeof(WCHAR));
    if (cbData > 0) {
        bytes.append((const char*)lpData, cbData);
    }
    return WriteWholeFile(path + "/" + StoredName("v.", name), bytes) ? ERROR_SUCCESS
                                                                        : ERROR_CANTWRITE;
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName)
{
    std::string path;
    LSTATUS status = UsableKey(hKey, KEY_SET_VALUE, path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    WString name = lpValueName != nullptr ? WString(lpValueName) : WString();
    if (unlink((path + "/" + StoredName("v.", name)).c_str()) != 0) {
        return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey)
{
    if (lpSubKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string path;
    REGSAM access = 0;
    LSTATUS status = ResolveKey(hKey, path, access);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::vector<WString> parts;
    status = SplitPath(lpSubKey, parts);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (parts.empty() && IsPredefined(hKey)) {
        return ERROR_ACCESS_DENIED;
    }
    for (const WString& part : parts) {
        path += "/" + StoredName("k.", part);
    }
    if (!IsDirectory(path)) {
        return parts.empty() ? ERROR_KEY_DELETED : ERROR_FILE_NOT_FOUND;
    }
    // A key with sub-keys is not deleted.
    if (!ListEntries(path, 'k').empty()) {
        return ERROR_ACCESS_DENIED;
    }
    for (const std::string& value : ListEntries(path, 'v')) {
        unlink((path + "/" + value).c_str());
    }
    unlink((path + "/" + kNameFile).c_str());
    if (rmdir(path.c_str()) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                             LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                             PFILETIME lpftLastWriteTime)
{
    std::string path;
    LSTATUS status = UsableKey(hKey, KEY_ENUMERATE_SUB_KEYS, path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::vector<std::string> keys = ListEntries(path, 'k');
    if (dwIndex >= keys.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    std::string spelled;
    ReadWholeFile(path + "/" + keys[dwIndex] + "/" + kNameFile, spelled);
    WString name;
    if (!spelled.empty()) {
        int count = MultiByteToWideChar(CP_UTF8, 0, spelled.data(), (int)spelled.size(), nullptr, 0);
        name.resize(count > 0 ? (size_t)count : 0);
        if (count > 0) {
            MultiByteToWideChar(CP_UTF8, 0, spelled.data(), (int)spelled.size(), name.data(), count);
        }
    }
    status = CopyName(name, lpName, lpcchName);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
        lpClass[0] = 0;
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime != nullptr) {
        struct stat st;
        if (stat((path + "/" + keys[dwIndex]).c_str(), &st) == 0) {
            uint64_t ft = 116444736000000000ull + (uint64_t)st.st_mtim.tv_sec * 10000000ull +
                          (uint64_t)st.st_mtim.tv_nsec / 100;
            lpftLastWriteTime->dwLowDateTime = (DWORD)ft;
            lpftLastWriteTime->dwHighDateTime = (DWORD)(ft >> 32);
        }
    }
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpData != nullptr && lpcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string path;
    LSTATUS status = UsableKey(hKey, KEY_QUERY_VALUE, path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::vector<std::string> values = ListEntries(path, 'v');
    if (dwIndex >= values.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    StoredValue value;
    if (!ReadValue(path + "/" + values[dwIndex], value)) {
        return ERROR_CANTREAD;
    }
    status = CopyName(value.Name, lpValueName, lpcchValueName);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return CopyOut(value.Data, value.Type, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    if (IsPredefined(hKey)) {
        return ERROR_SUCCESS;
    }
    RegistryKey* key = (RegistryKey*)hKey;
    {
        std::lock_guard<std::mutex> lock(g_keysMutex);
        if (hKey == nullptr || g_keys.erase(key) == 0) {
            return ERROR_INVALID_HANDLE;
        }
    }
    delete key;
    return ERROR_SUCCESS;
}
