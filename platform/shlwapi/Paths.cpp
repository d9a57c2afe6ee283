// shlwapi path helpers. Both '/' and '\' separate components, as in the file functions.
#include <shlwapi.h>

#include "kernel32/FileSystem.h"

#include <sys/stat.h>

#include <cerrno>

namespace {

inline bool IsSeparator(WCHAR c) { return c == '/' || c == '\\'; }

}  // namespace

BOOL WINAPI PathFileExistsW(LPCWSTR pszPath)
{
    std::string path;
    if (!npk::NativePathOf(pszPath, path)) return FALSE;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        SetLastError(npk::ErrorFromErrno(errno, path));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI PathRemoveFileSpecW(LPWSTR pszPath)
{
    if (pszPath == nullptr || pszPath[0] == 0) return FALSE;
    int last = -1;
    for (int i = 0; pszPath[i] != 0; ++i)
        if (IsSeparator(pszPath[i])) last = i;
    if (last < 0) {
        pszPath[0] = 0;  // a bare name: nothing of it is a folder
        return TRUE;
    }
    // The root's separator stays: "/a" becomes "/", and "/" stays as it is.
    int cut = last == 0 ? 1 : last;
    if (pszPath[cut] == 0) return FALSE;
    pszPath[cut] = 0;
    return TRUE;
}

LPWSTR WINAPI PathFindExtensionW(LPCWSTR pszPath)
{
    if (pszPath == nullptr) return nullptr;
    LPCWSTR dot = nullptr;
    LPCWSTR p = pszPath;
    for (; *p != 0; ++p) {
        if (IsSeparator(*p))
            dot = nullptr;  // a dot in a folder's name is no extension
        else if (*p == '.')
            dot = p;
    }
    return const_cast<LPWSTR>(dot != nullptr ? dot : p);
}
