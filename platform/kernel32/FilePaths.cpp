// Full paths, the native form of a path, errno as Win32 codes, and GetFullPathNameW.
#include "FileSystem.h"
#include "Unicode.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace npk {
namespace {

inline bool IsSeparator(WCHAR c) { return c == '/' || c == '\\'; }

bool CurrentDirectory(WideString& cwd)
{
    std::vector<char> buffer(256);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) break;
        if (errno != ERANGE) {
            SetLastError(ErrorFromErrno(errno, std::string()));
            return false;
        }
        buffer.resize(buffer.size() * 2);
    }
    cwd = WideFromUtf8(buffer.data());
    return true;
}

}  // namespace

bool FullPathOf(LPCWSTR name, WideString& full)
{
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (name[0] == 0) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    WideString text;
    if (!IsSeparator(name[0])) {
        if (!CurrentDirectory(text)) return false;
        text.push_back('/');
    }
    text.append(name);

    // Walk the components: "." stays, ".." climbs (never above the root).
    std::vector<WideString> parts;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsSeparator(text[i])) ++i;
        size_t start = i;
        while (i < text.size() && !IsSeparator(text[i])) ++i;
        if (i == start) break;
        WideString part = text.substr(start, i - start);
        if (part == TEXT(".")) continue;
        if (part == TEXT("..")) {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(std::move(part));
    }
    full.clear();
    for (const WideString& part : parts) {
        full.push_back('/');
        full.append(part);
    }
    if (full.empty() || IsSeparator(text.back())) full.push_back('/');
    return true;
}

WideString WideFromUtf8(const std::string& text)
{
    WideString out;
    out.reserve(text.size());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    while (n > 0) {
        Utf8Step step = DecodeUtf8(p, n);
        char16_t units[2];
        size_t count = EncodeUtf16(step.cp, units);
        out.append(units, count);
        p += step.consumed;
        n -= step.consumed;
    }
    return out;
}

bool NativePathOf(LPCWSTR name, std::string& native)
{
    WideString full;
    if (!FullPathOf(name, full)) return false;
    native.clear();
    native.reserve(full.size());
    size_t i = 0;
    while (i < full.size()) {
        Utf16Step step = DecodeUtf16(full.data() + i, full.size() - i);
        if (!step.valid) {
            // A lone surrogate has no UTF-8 form, so no file on this system has that name.
            SetLastError(ERROR_INVALID_NAME);
            return false;
        }
        unsigned char bytes[4];
        size_t count = EncodeUtf8(step.cp, bytes);
        native.append(reinterpret_cast<const char*>(bytes), count);
        i += step.consumed;
    }
    return true;
}

DWORD ErrorFromErrno(int err, const std::string& path)
{
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT: {
        // Windows tells "no such file" from "no such folder on the way".
        size_t slash = path.find_last_of('/');
        if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;
        std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
        struct stat st;
        if (stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
        return ERROR_PATH_NOT_FOUND;
    }
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP:
        return ERROR_CANT_RESOLVE_FILENAME;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ETXTBSY:
    case EBUSY:
        return ERROR_SHARING_VIOLATION;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_GEN_FAILURE;
    }
}

}  // namespace npk

DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer,
                              LPWSTR* lpFilePart)
{
    npk::WideString full;
    if (!npk::FullPathOf(lpFileName, full)) return 0;
    if (full.size() >= 0xFFFFFFFFu) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    DWORD length = (DWORD)full.size();
    if (lpBuffer == nullptr || nBufferLength <= length) return length + 1;  // size needed
    full.copy(lpBuffer, full.size());
    lpBuffer[length] = 0;
    if (lpFilePart != nullptr) {
        size_t slash = full.find_last_of('/');
        *lpFilePart = slash + 1 < full.size() ? lpBuffer + slash + 1 : nullptr;
    }
    return length;
}
