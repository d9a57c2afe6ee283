// Session files of the event-tracing layer: their directory, their text form, the shared
// page and the reader of event files.
#include "EtwStore.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace npk::etw {
namespace {

const char kSessionSuffix[] = ".session";
const char kStateSuffix[] = ".state";

bool MakeDirectory(const std::string& path)
{
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    return false;
}

bool MakeDirectories(const std::string& path)
{
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] == '/' && !MakeDirectory(path.substr(0, i))) {
            return false;
        }
    }
    return MakeDirectory(path);
}

std::string EnvOrEmpty(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

// File-name form of a session name: ASCII letters folded to lower case (session names
// compare that way), anything outside [a-z0-9_-] as %XX.
std::string SessionKey(const std::string& name)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string key;
    for (unsigned char c : name) {
        if (c >= 'A' && c <= 'Z') {
            key += (char)(c - 'A' + 'a');
        } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-') {
            key += (char)c;
        } else {
            key += '%';
            key += kHex[c >> 4];
            key += kHex[c & 15];
        }
    }
    return key;
}

std::string SessionPath(const std::string& name, const char* suffix)
{
    std::string dir = SessionDirectory();
    if (dir.empty()) {
        return std::string();
    }
    return dir + "/" + SessionKey(name) + suffix;
}

// Writes a whole file under a temporary name and renames it into place, so readers see
// either the old or the new content.
bool WriteFileAtomically(const std::string& path, const void* data, size_t size)
{
    std::string temp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(gettid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const char* p = (const char*)data;
    size_t left = size;
    bool ok = true;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= (size_t)n;
    }
    if (close(fd) != 0) {
        ok = false;
    }
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

std::string Hex64(uint64_t value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "0x%016llx", (unsigned long long)value);
    return buffer;
}

bool ParseSession(const std::string& text, SessionInfo& info)
{
    info = SessionInfo();
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, eq);
        std::string value = line.substr(eq + 1);
        unsigned long long number = std::strtoull(value.c_str(), nullptr, 0);
        if (key == "name") {
            info.Name = value;
        } else if (key == "handle") {
            info.Handle = number;
        } else if (key == "file") {
            info.LogFile = value;
        } else if (key == "mode") {
            info.LogFileMode = (ULONG)number;
        } else if (key == "buffersize") {
            info.BufferSize = (ULONG)number;
        } else if (key == "minbuffers") {
            info.MinimumBuffers = (ULONG)number;
        } else if (key == "maxbuffers") {
            info.MaximumBuffers = (ULONG)number;
        } else if (key == "maxfilesize") {
            info.MaximumFileSize = (ULONG)number;
        } else if (key == "flushtimer") {
            info.FlushTimer = (ULONG)number;
        } else if (key == "enableflags") {
            info.EnableFlags = (ULONG)number;
        } else if (key == "provider") {
            // provider={GUID} flags level
            std::istringstream fields(value);
            std::string guidText, flagsText, levelText;
            fields >> guidText >> flagsText >> levelText;
            ProviderEnable enable;
            if (!ParseGuid(guidText, enable.Guid)) {
                continue;
            }
            enable.Flags = (ULONG)std::strtoul(flagsText.c_str(), nullptr, 0);
            enable.Level = (UCHAR)std::strtoul(levelText.c_str(), nullptr, 0);
            info.Providers.push_back(enable);
        }
    }
    return !info.Name.empty() && info.Handle != 0;
}

bool ReadWholeFile(const std::string& path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream out;
    out << in.rdbuf();
    text = out.str();
    return true;
}

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

std::string SessionDirectory()
{
    std::string dir = SessionDirectoryPath();
    if (dir.empty() || !MakeDirectories(dir)) {
        return std::string();
    }
    return dir;
}

std::string SessionDirectoryPath()
{
    std::string base = EnvOrEmpty("XDG_RUNTIME_DIR");
    if (base.empty()) {
        base = EnvOrEmpty("XDG_DATA_HOME");
        if (base.empty()) {
            std::string home = EnvOrEmpty("HOME");
            if (home.empty()) {
                return std::string();
            }
            base = home + "/.local/share";
        }
    }
    return base + "/npkeystrand/etw";
}

bool IsSessionFileName(const std::string& name)
{
    auto endsWith = [&name](const char* suffix) {
        size_t n = std::strlen(suffix);
        return name.size() > n && name.compare(name.size() - n, n, suffix) == 0;
    };
    return endsWith(kSessionSuffix) || endsWith(kStateSuffix);
}

std::string DefaultEventFile(const std::string& name)
{
    return SessionPath(name, ".etl");
}

std::string Utf16ToUtf8(LPCWSTR text, size_t count)
{
    if (text == nullptr || count == 0) {
        return std::string();
    }
    int needed = WideCharToMultiByte(CP_UTF8, 0, text, (int)count, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return std::string();
    }
    std::string out((size_t)needed, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, (int)count, out.data(), needed, nullptr, nullptr);
    return out;
}

std::string Utf16ToUtf8(LPCWSTR text)
{
    return text != nullptr ? Utf16ToUtf8(text, (size_t)lstrlenW(text)) : std::string();
}

std::basic_string<WCHAR> Utf8ToUtf16(const std::string& text)
{
    if (text.empty()) {
        return std::basic_string<WCHAR>();
    }
    int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    if (needed <= 0) {
        return std::basic_string<WCHAR>();
    }
    std::basic_string<WCHAR> out((size_t)needed, 0);
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), out.data(), needed);
    return out;
}

bool ReadSession(const std::string& name, SessionInfo& info)
{
    std::string path = SessionPath(name, kSessionSuffix);
    std::string text;
    return !path.empty() && ReadWholeFile(path, text) && ParseSession(text, info);
}

std::vector<SessionInfo> ListSessions()
{
    std::vector<SessionInfo> sessions;
    std::string dir = SessionDirectory();
    if (dir.empty()) {
        return sessions;
    }
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return sessions;
    }
    std::vector<std::string> files;
    while (struct dirent* entry = readdir(d)) {
        std::string file = entry->d_name;
        size_t n = sizeof(kSessionSuffix) - 1;
        if (file.size() > n && file.compare(file.size() - n, n, kSessionSuffix) == 0) {
            files.push_back(file);
        }
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
        std::string text;
        SessionInfo info;
        if (ReadWholeFile(dir + "/" + file, text) && ParseSession(text, info)) {
            sessions.push_back(std::move(info));
        }
    }
    return sessions;
}

bool FindSessionByHandle(TRACEHANDLE handle, SessionInfo& info)
{
    if (handle == 0) {
        return false;
    }
    for (SessionInfo& session : ListSessions()) {
        if (session.Handle == handle) {
            info = std::move(session);
            return true;
        }
    }
    return false;
}

bool WriteSession(const SessionInfo& info)
{
    std::string path = SessionPath(info.Name, kSessionSuffix);
    if (path.empty()) {
        return false;
    }
    std::ostringstream out;
    out << "name=" << info.Name << "\n"
        << "handle=" << Hex64(info.Handle) << "\n"
        << "file=" << info.LogFile << "\n"
        << "mode=" << info.LogFileMode << "\n"
        << "buffersize=" << info.BufferSize << "\n"
        << "minbuffers=" << info.MinimumBuffers << "\n"
        << "maxbuffers=" << info.MaximumBuffers << "\n"
        << "maxfilesize=" << info.MaximumFileSize << "\n"
        << "flushtimer=" << info.FlushTimer << "\n"
        << "enableflags=" << info.EnableFlags << "\n";
    for (const ProviderEnable& enable : info.Providers) {
        char line[96];
        std::snprintf(line, sizeof(line), "provider=%s 0x%08x %u\n", GuidToString(enable.Guid).c_str(),
                      (unsigned)enable.Flags, (unsigned)enable.Level);
        out << line;
    }
    std::string text = out.str();
    return WriteFileAtomically(path, text.data(), text.size());
}

void RemoveSession(const std::string& name)
{
    std::string path = SessionPath(name, kSessionSuffix);
    if (!path.empty()) {
        unlink(path.c_str());
    }
}

bool CreateSharedState(const std::string& name, TRACEHANDLE handle)
{
    std::string path = SessionPath(name, kStateSuffix);
    if (path.empty()) {
        return false;
    }
    // A new file rather than a rewrite: writers still mapping the page of an earlier session
    // of the same name keep seeing it stopped.
    SharedState state{handle, 0, 0};
    return WriteFileAtomically(path, &state, sizeof(state));
}

SharedState* MapSharedState(const std::string& name)
{
    std::string path = SessionPath(name, kStateSuffix);
    if (path.empty()) {
        return nullptr;
    }
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    void* page = MAP_FAILED;
    if (fstat(fd, &st) == 0 && (size_t)st.st_size >= sizeof(SharedState)) {
        page = mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    close(fd);
    return page == MAP_FAILED ? nullptr : (SharedState*)page;
}

void UnmapSharedState(SharedState* state)
{
    if (state != nullptr) {
        munmap(state, sizeof(SharedState));
    }
}

void RemoveSharedState(const std::string& name)
{
    std::string path = SessionPath(name, kStateSuffix);
    if (!path.empty()) {
        unlink(path.c_str());
    }
}

DirectoryLock::DirectoryLock()
{
    std::string dir = SessionDirectory();
    if (dir.empty()) {
        return;
    }
    m_fd = open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd >= 0) {
        while (flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                close(m_fd);
                m_fd = -1;
                break;
            }
        }
    }
}

DirectoryLock::~DirectoryLock()
{
    if (m_fd >= 0) {
        close(m_fd);  // releases the lock
    }
}

TRACEHANDLE NewLoggerHandle()
{
    for (;;) {
        uint64_t value = 0;
        if (getrandom(&value, sizeof(value), 0) != (ssize_t)sizeof(value)) {
            struct timespec ts;
            clock_gettime(CLOCK_MONOTONIC, &ts);
            value = ((uint64_t)ts.tv_sec << 32) ^ (uint64_t)ts.tv_nsec ^ ((uint64_t)getpid() << 16);
        }
        // Keep clear of 0 and of INVALID_PROCESSTRACE_HANDLE.
        value &= 0x7FFFFFFFFFFFFFFFull;
        if (value == 0) {
            continue;
        }
        SessionInfo existing;
        if (!FindSessionByHandle(value, existing)) {
            return value;
        }
    }
}

int64_t FileTimeNow()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const int64_t kEpochDifference = 116444736000000000LL;  // 1601 to 1970 in 100 ns
    return kEpochDifference + (int64_t)ts.tv_sec * 10000000LL + ts.tv_nsec / 100;
}

bool ReadEventFile(const std::string& path, std::vector<EventRecord>& records, bool* damaged)
{
    if (damaged != nullptr) {
        *damaged = false;
    }
    std::string bytes;
    if (!ReadWholeFile(path, bytes)) {
        return false;
    }
    size_t offset = 0;
    while (offset < bytes.size()) {
        EventRecord record;
        if (bytes.size() - offset < sizeof(EventRecordHeader)) {
            if (damaged != nullptr) *damaged = true;
            break;
        }
        std::memcpy(&record.Header, bytes.data() + offset, sizeof(EventRecordHeader));
        uint32_t size = record.Header.Size;
        if (record.Header.Magic != kRecordMagic || size < sizeof(EventRecordHeader) ||
            size > bytes.size() - offset) {
            if (damaged != nullptr) *damaged = true;
            break;
        }
        const uint8_t* data = (const uint8_t*)bytes.data() + offset + sizeof(EventRecordHeader);
        record.Data.assign(data, data + (size - sizeof(EventRecordHeader)));
        records.push_back(std::move(record));
        offset += size;
    }
    return true;
}

std::string GuidToString(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  (unsigned)guid.Data1, (unsigned)guid.Data2, (unsigned)guid.Data3,
                  guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

bool ParseGuid(const std::string& input, GUID& guid)
{
    std::string text = input;
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
        text = text.substr(1, 36);
    }
    if (text.size() != 36) {
        return false;
    }
    for (size_t i = 0; i < 36; ++i) {
        bool dash = (i == 8 || i == 13 || i == 18 || i == 23);
        if (dash ? text[i] != '-' : !IsHexDigit(text[i])) {
            return false;
        }
    }
    auto hex = [&](size_t pos, size_t count) {
        return std::strtoull(text.substr(pos, count).c_str(), nullptr, 16);
    };
    guid.Data1 = (uint32_t)hex(0, 8);
    guid.Data2 = (uint16_t)hex(9, 4);
    guid.Data3 = (uint16_t)hex(14, 4);
    guid.Data4[0] = (uint8_t)hex(19, 2);
    guid.Data4[1] = (uint8_t)hex(21, 2);
    for (int i = 0; i < 6; ++i) {
        guid.Data4[2 + i] = (uint8_t)hex(24 + 2 * (size_t)i, 2);
    }
    return true;
}

DWORD ErrnoToWin32(int error)
{
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    default: return ERROR_GEN_FAILURE;
    }
}

}  // namespace npk::etw
