// Path safety checks and whole-file reading. The folder test is a case-insensitive
// substring test on purpose: a refused folder's siblings with a suffix and everything
// below it are refused too.
#include "kernel/FilePaths.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <new>

#include "agent/ErrorCodes.h"
#include "trace/Trace.h"

#ifndef ERROR_FILE_TOO_LARGE
#define ERROR_FILE_TOO_LARGE 223L
#endif

namespace {

const int kRefusedFolders[] = {
    CSIDL_SYSTEM, CSIDL_SYSTEMX86, CSIDL_WINDOWS, CSIDL_STARTUP, CSIDL_COMMON_STARTUP,
};

LPCWSTR const kRefusedExtensions[] = {
    TEXT(".com"), TEXT(".exe"), TEXT(".bat"), TEXT(".cmd"), TEXT(".vbs"), TEXT(".vbe"),
    TEXT(".js"),  TEXT(".jse"), TEXT(".wsf"), TEXT(".wsh"), TEXT(".msc"), TEXT(".dll"),
};

const int kFolderCount = sizeof kRefusedFolders / sizeof kRefusedFolders[0];

inline bool IsSeparator(WCHAR c) { return c == '\\' || c == '/'; }

#if !defined(_WIN32)
// What a Linux login or desktop session runs lies well beyond the start-up folders above:
// the shells read their start-up files from the home folder itself (~/.profile, ~/.bashrc),
// systemd, the desktop and ssh read the hidden folders there (~/.config/systemd,
// ~/.local/share/applications, ~/.ssh), and cron reads /var/spool/cron. So on Linux a path
// is refused, as a whole tree, at or below these folders, at or below the user's
// configuration and data homes (wherever XDG_CONFIG_HOME and XDG_DATA_HOME put them), and
// when any of its components below the home folder is hidden. This needs the whole path,
// not only its folder: a start-up file lies directly in the home folder.
LPCWSTR const kRefusedTrees[] = {TEXT("/etc"), TEXT("/usr"), TEXT("/var/spool/cron")};
const int kRefusedUserTrees[] = {CSIDL_APPDATA, CSIDL_LOCAL_APPDATA};

// The length of folder when path is that folder or lies below it, compared without case as
// the other folders are; 0 otherwise.
int FolderPrefix(LPCWSTR path, LPCWSTR folder)
{
    int length = lstrlenW(folder);
    while (length > 1 && IsSeparator(folder[length - 1])) --length;
    if (length == 0 || StrCmpNIW(path, folder, length) != 0) return 0;
    if (path[length] != 0 && !IsSeparator(path[length]) && !IsSeparator(folder[length - 1])) return 0;
    return length;
}

HRESULT RefuseTree(LPCWSTR folder)
{
    NPK_TRACE(TRACE_FAILURE, TraceMsgW(TRACE_GUID_PATH_CHECKS, 11, folder));
    return NPK_E_MALICIOUS_PATH;
}

HRESULT IsSessionStartupPath(LPCWSTR pwszPath)
{
    for (LPCWSTR tree : kRefusedTrees) {
        if (FolderPrefix(pwszPath, tree) != 0) return RefuseTree(tree);
    }
    WCHAR folder[MAX_PATH];
    for (int csidl : kRefusedUserTrees) {
        folder[0] = 0;
        if (SHGetSpecialFolderPathW(NULL, folder, csidl, FALSE) == TRUE && lstrcmpW(folder, TEXT("/")) != 0 &&
            FolderPrefix(pwszPath, folder) != 0)
            return RefuseTree(folder);
    }
    folder[0] = 0;
    if (SHGetSpecialFolderPathW(NULL, folder, CSIDL_PROFILE, FALSE) != TRUE) return S_OK;
    int at = FolderPrefix(pwszPath, folder);
    if (at == 0) return S_OK;
    for (LPCWSTR p = pwszPath + at; *p != 0; ++p) {
        if (IsSeparator(p[0]) && p[1] == '.') return RefuseTree(folder);
    }
    if (IsSeparator(folder[at - 1]) && pwszPath[at] == '.') return RefuseTree(folder);  // home is "/"
    return S_OK;
}
#endif

// A ':' in the file's own name names a stream of a file ("evil.exe::$DATA", "x.exe:s"): the
// extension test would see ".exe::$DATA" while the file system opens evil.exe. No name
// the plug-in reads or writes needs one, so it is refused in both builds.
HRESULT IsMaliciousFileName(LPCWSTR pwszFull)
{
    LPCWSTR name = pwszFull;
    if (name[0] != 0 && name[1] == ':') name += 2;  // the drive
    for (LPCWSTR p = name; *p != 0; ++p) {
        if (IsSeparator(*p)) name = p + 1;
    }
    for (LPCWSTR p = name; *p != 0; ++p) {
        if (*p == ':') {
            NPK_TRACE(TRACE_FAILURE, TraceMsgW(TRACE_GUID_PATH_CHECKS, 14, name));
            return NPK_E_MALICIOUS_PATH;
        }
    }
    return S_OK;
}

// Closes the handle on every path out of the function that opened it.
class FileHandle {
public:
    explicit FileHandle(HANDLE h) : m_h(h) {}
    ~FileHandle()
    {
        if (m_h != INVALID_HANDLE_VALUE) {
            DWORD saved = GetLastError();  // closing must not hide the error being reported
            CloseHandle(m_h);
            SetLastError(saved);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE get() const { return m_h; }
    bool valid() const { return m_h != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_h;
};

// Read access, no sharing: a file another program has open is refused.
HANDLE OpenExclusive(LPCWSTR pwszPath)
{
    return CreateFileW(pwszPath, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

// The path and its folder as the file system resolves them: a link, a junction or a short
// name can name a refused folder by a path of its own (on Linux /lib and /bin are links into
// /usr). A source names an existing file, whose own link is followed too; a target does not
// exist yet, so its folder is resolved and its name put back. False when there is nothing to
// open: the steps that use the path report that themselves.
bool ResolvedPath(LPCWSTR pwszFull, LPCWSTR pwszFolder, DWORD dwPathKind, WCHAR* pwszResolvedPath,
                  WCHAR* pwszResolved)
{
    LPCWSTR open = dwPathKind == NPK_PATH_SOURCE ? pwszFull : pwszFolder;
    if (open[0] == 0) return false;
    FileHandle h(CreateFileW(open, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL));
    if (!h.valid()) return false;
    WCHAR finalPath[MAX_PATH + 8];
    DWORD length = GetFinalPathNameByHandleW(h.get(), finalPath, MAX_PATH + 8, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= MAX_PATH + 8) return false;
    // "\\?\C:\..." and "\\?\UNC\server\..." are the forms folders are listed in without
    // their prefix.
    LPCWSTR text = finalPath;
    if (StrCmpNW(text, TEXT("\\\\?\\UNC\\"), 8) == 0) {
        text += 6;
        finalPath[6] = '\\';
    } else if (StrCmpNW(text, TEXT("\\\\?\\"), 4) == 0) {
        text += 4;
    }
    if (lstrlenW(text) >= MAX_PATH) return false;
    lstrcpynW(pwszResolved, text, MAX_PATH);
    if (dwPathKind == NPK_PATH_SOURCE) {
        lstrcpynW(pwszResolvedPath, text, MAX_PATH);
        SetLastError(ERROR_SUCCESS);
        PathRemoveFileSpecW(pwszResolved);
        return true;
    }
    LPCWSTR name = pwszFull + lstrlenW(pwszFolder);
    while (IsSeparator(*name)) ++name;
    int cch = lstrlenW(text);
    lstrcpynW(pwszResolvedPath, text, MAX_PATH);
    if (cch + 1 + lstrlenW(name) >= MAX_PATH) return true;  // the folder alone, then
    if (cch > 0 && !IsSeparator(text[length - 1])) {
        // The separator the resolved path uses: "C:\..." or "/...".
        pwszResolvedPath[cch++] = IsSeparator(text[0]) ? text[0] : '\\';
        pwszResolvedPath[cch] = 0;
    }
    lstrcpynW(pwszResolvedPath + cch, name, MAX_PATH - cch);
    return true;
}

}  // namespace

HRESULT IsMaliciousFileExtention(LPCWSTR pwszExtension)
{
    TraceHelper trace("IsMaliciousFileExtention");
    if (pwszExtension == NULL || pwszExtension[0] == 0) return S_OK;
    for (LPCWSTR refused : kRefusedExtensions) {
        if (lstrcmpiW(pwszExtension, refused) == 0) {
            NPK_TRACE(TRACE_FAILURE, TraceMsgW(TRACE_GUID_PATH_CHECKS, 12, pwszExtension));
            return NPK_E_MALICIOUS_PATH;
        }
    }
    return S_OK;
}

HRESULT IsMaliciousFileFolder(LPCWSTR pwszFolder)
{
    TraceHelper trace("IsMaliciousFileFolder");
    if (pwszFolder == NULL) return E_INVALIDARG;

    WCHAR folders[kFolderCount][MAX_PATH];
    int listed = 0;
    for (int csidl : kRefusedFolders) {
        folders[listed][0] = 0;
        if (SHGetSpecialFolderPathW(NULL, folders[listed], csidl, FALSE) == TRUE) {
            // An empty answer would match every path; it names no folder to refuse.
            if (folders[listed][0] != 0) ++listed;
        } else {
            NPK_TRACE(TRACE_FAILURE, TraceMsgI32x2(TRACE_GUID_PATH_CHECKS, 10, csidl,
                                                   static_cast<LONG>(GetLastError())));
        }
    }
    for (int i = 0; i < listed; ++i) {
        if (StrStrIW(pwszFolder, folders[i]) != NULL) {
            NPK_TRACE(TRACE_FAILURE, TraceMsgW(TRACE_GUID_PATH_CHECKS, 11, folders[i]));
            return NPK_E_MALICIOUS_PATH;
        }
    }
#if !defined(_WIN32)
    return IsSessionStartupPath(pwszFolder);
#else
    return S_OK;
#endif
}

HRESULT CheckFileAvailability(LPCWSTR pwszPath)
{
    TraceHelper trace("CheckFileAvailability");
    if (pwszPath == NULL) return E_INVALIDARG;
    FileHandle file(OpenExclusive(pwszPath));
    if (!file.valid()) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("CreateFile"));
        return hr;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size)) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("GetFileSizeEx"));
        return hr;
    }
    return size.QuadPart == 0 ? NPK_E_EMPTY_FILE : S_OK;
}

HRESULT IsMaliciousFilePathName(LPCWSTR pwszPath, DWORD dwPathKind)
{
    TraceHelper trace("IsMaliciousFilePathName");
    if (pwszPath == NULL) return E_INVALIDARG;
    NPK_TRACE(TRACE_INFORMATION, TraceMsgWI32(TRACE_GUID_PATH_CHECKS, 13, pwszPath,
                                              static_cast<LONG>(dwPathKind)));

    WCHAR full[MAX_PATH];
    SetLastError(ERROR_SUCCESS);
    DWORD length = GetFullPathNameW(pwszPath, MAX_PATH, full, NULL);
    if (length == 0 || length >= MAX_PATH) {
        // A path too long for the buffer leaves no error behind: say what it is.
        HRESULT hr = length == 0 ? HResultFromFailedCall()
                                 : HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
        TraceStep(hr, TEXT("GetFullPathName"));
        return hr;
    }

    if (dwPathKind == NPK_PATH_TARGET && PathFileExistsW(full)) {
        TraceStep(HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS), TEXT("PathFileExists"));
        return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    }

    WCHAR folder[MAX_PATH];
    lstrcpynW(folder, full, MAX_PATH);
    SetLastError(ERROR_SUCCESS);  // a root has nothing to remove and is no error by itself
    if (!PathRemoveFileSpecW(folder)) {
        HRESULT hr = HResultFromLastError();
        TraceStep(hr, TEXT("PathRemoveFileSpec"));
        if (FAILED(hr)) return hr;
    }

    HRESULT hr = IsMaliciousFileFolder(folder);
    if (FAILED(hr)) {
        TraceStep(hr, TEXT("IsMaliciousFileFolder"));
        return hr;
    }
    WCHAR resolvedPath[MAX_PATH];
    WCHAR resolved[MAX_PATH];
    const bool isResolved = ResolvedPath(full, folder, dwPathKind, resolvedPath, resolved);
    if (isResolved && lstrcmpiW(resolved, folder) != 0) {
        hr = IsMaliciousFileFolder(resolved);
        if (FAILED(hr)) {
            TraceStep(hr, TEXT("IsMaliciousFileFolder - resolved"));
            return hr;
        }
    }
#if !defined(_WIN32)
    // The file's own name counts too: ~/.profile lies in no refused folder.
    hr = IsSessionStartupPath(full);
    if (SUCCEEDED(hr) && isResolved) hr = IsSessionStartupPath(resolvedPath);
    if (FAILED(hr)) {
        TraceStep(hr, TEXT("IsMaliciousFileFolder - start-up file"));
        return hr;
    }
#endif

    hr = IsMaliciousFileName(full);
    if (FAILED(hr)) {
        TraceStep(hr, TEXT("IsMaliciousFileName"));
        return hr;
    }

    hr = IsMaliciousFileExtention(PathFindExtensionW(full));
    if (FAILED(hr)) {
        TraceStep(hr, TEXT("IsMaliciousFileExtention"));
        return hr;
    }

    if (dwPathKind == NPK_PATH_SOURCE) {
        hr = CheckFileAvailability(full);
        if (FAILED(hr)) {
            TraceStep(hr, TEXT("CheckFileAvailablity"));
            return hr;
        }
    }
    return S_OK;
}

HRESULT ReadFileSimple(LPCWSTR pwszPath, BYTE** ppbData, DWORD* pcbData)
{
    TraceHelper trace("ReadFileSimple");
    if (pwszPath == NULL) return E_INVALIDARG;
    if (ppbData != NULL) *ppbData = NULL;

    if (!PathFileExistsW(pwszPath)) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("PathFileExists"));
        return hr;
    }
    FileHandle file(OpenExclusive(pwszPath));
    if (!file.valid()) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("CreateFile"));
        return hr;
    }

    // The high half is asked for too: a size cut to its low 32 bits would read a
    // different amount than the buffer holds.
    DWORD high = 0;
    SetLastError(ERROR_SUCCESS);
    DWORD size = GetFileSize(file.get(), &high);
    if (size == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("GetFileSize"));
        return hr;
    }
    if (high != 0 || size == 0xFFFFFFFF) {
        HRESULT hr = HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
        TraceStep(hr, TEXT("GetFileSize"));
        return hr;
    }

    if (ppbData == NULL) {
        if (pcbData != NULL) *pcbData = size;
        return S_OK;
    }

    BYTE* pbData = new (std::nothrow) BYTE[static_cast<size_t>(size) + 1]();
    if (pbData == NULL) {
        TraceStep(E_OUTOFMEMORY, TEXT("Dispatch memory failed."));
        return E_OUTOFMEMORY;
    }
    DWORD cbRead = 0;
    SetLastError(ERROR_SUCCESS);
    if (!ReadFile(file.get(), pbData, size, &cbRead, NULL) || cbRead != size) {
        // A short read is never data: the file changed under us or the read failed.
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("CreateFile"));
        delete[] pbData;
        return hr;
    }
    *ppbData = pbData;
    if (pcbData != NULL) *pcbData = size;
    return S_OK;
}
