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

// The folder of path as the file system resolves it: a link, a junction or a short name
// can name a refused folder by a path of its own (on Linux /lib and /bin are links into
// /usr). A source names an existing file, whose own link is followed too; a target does not
// exist yet, so its folder is resolved. False when there is nothing to open: the steps that
// use the path report that themselves.
bool ResolvedFolder(LPCWSTR pwszFull, LPCWSTR pwszFolder, DWORD dwPathKind, WCHAR* pwszResolved)
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
        SetLastError(ERROR_SUCCESS);
        PathRemoveFileSpecW(pwszResolved);
    }
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
    return S_OK;
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
    WCHAR resolved[MAX_PATH];
    if (ResolvedFolder(full, folder, dwPathKind, resolved) && lstrcmpiW(resolved, folder) != 0) {
        hr = IsMaliciousFileFolder(resolved);
        if (FAILED(hr)) {
            TraceStep(hr, TEXT("IsMaliciousFileFolder - resolved"));
            return hr;
        }
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
