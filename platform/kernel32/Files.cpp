// CreateFileW, ReadFile, WriteFile and the other functions of an open file, DeleteFileW
// and GetFileAttributesW.
#include "FileSystem.h"
#include "Handles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

namespace npk {
namespace {

class FileObject : public KernelObject {
public:
    FileObject(int fd, DWORD access, bool readable) : fd_(fd), access_(access), readable_(readable) {}
    ~FileObject() override
    {
        // The descriptor goes first: its locks must be gone before the table lets a
        // conflicting open of this process through.
        if (fd_ >= 0) close(fd_);
        ReleaseShare(claim_);
    }
    int fd() const { return fd_; }
    bool CanRead() const { return readable_; }
    // Disk files are read and written whole; a pipe or device gives what it has.
    bool Regular() const { return regular_; }
    void SetRegular(bool regular) { regular_ = regular; }
    void DeleteOnClose(const std::string& path) { deletePath_ = path; }
    BOOL Close() override
    {
        // The name goes when the handle does; the data lives on while a call still uses it.
        if (!deletePath_.empty()) unlink(deletePath_.c_str());
        return TRUE;
    }
    bool CanWrite() const { return (access_ & FILE_SHARE_WRITE) != 0; }
    ShareClaim& claim() { return claim_; }

private:
    int fd_;
    DWORD access_;  // FILE_SHARE_* bits of the access taken
    bool readable_;
    bool regular_ = true;
    std::string deletePath_;
    ShareClaim claim_;
};

constexpr DWORD kReadRights = GENERIC_READ | GENERIC_ALL | FILE_READ_DATA;

// The generic and specific rights as the read, write and delete bits share modes speak of
// (running a file is governed by the read share, as on Windows).
DWORD AccessBits(DWORD desired)
{
    DWORD bits = 0;
    if (desired & (kReadRights | GENERIC_EXECUTE)) bits |= FILE_SHARE_READ;
    if (desired & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA))
        bits |= FILE_SHARE_WRITE;
    if (desired & (DELETE | GENERIC_ALL)) bits |= FILE_SHARE_DELETE;
    return bits;
}

HANDLE Fail(DWORD error)
{
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

std::shared_ptr<FileObject> FileOf(HANDLE handle)
{
    return LookupHandleAs<FileObject>(handle);
}

// Opens the path, creating it when asked; tells whether it existed before.
int OpenNative(const std::string& path, int mode, DWORD disposition, mode_t perms, bool& existed,
               int& err)
{
    const int base = mode | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;  // a FIFO must not block the open
    existed = true;
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd;
        switch (disposition) {
        case CREATE_NEW:
            existed = false;
            fd = open(path.c_str(), base | O_CREAT | O_EXCL, perms);
            break;
        case OPEN_EXISTING:
        case TRUNCATE_EXISTING:
            fd = open(path.c_str(), base);
            break;
        default:  // CREATE_ALWAYS, OPEN_ALWAYS: the existing file, else a new one
            fd = open(path.c_str(), base);
            if (fd < 0 && errno == ENOENT) {
                existed = false;
                fd = open(path.c_str(), base | O_CREAT | O_EXCL, perms);
                if (fd < 0 && errno == EEXIST) {
                    existed = true;
                    continue;  // made by someone else meanwhile: open that one
                }
            }
            break;
        }
        err = fd < 0 ? errno : 0;
        return fd;
    }
    err = EEXIST;
    return -1;
}

}  // namespace
}  // namespace npk

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    using namespace npk;
    if (lpFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
        return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) return Fail(ERROR_INVALID_PARAMETER);
    if ((dwShareMode & ~(DWORD)(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) != 0)
        return Fail(ERROR_INVALID_PARAMETER);

    // Deleting on close takes delete access, which every other open must share.
    const DWORD access = AccessBits(dwDesiredAccess) |
                         ((dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) ? FILE_SHARE_DELETE : 0);
    const bool write = (access & FILE_SHARE_WRITE) != 0;
    const bool truncate =
        dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING;
    if (dwCreationDisposition == TRUNCATE_EXISTING && !write) return Fail(ERROR_INVALID_PARAMETER);

    std::string path;
    if (!NativePathOf(lpFileName, path)) return INVALID_HANDLE_VALUE;
    if (path.size() > 1 && path.back() == '/') {
        // A name that ends in a separator names a folder, which is not a file.
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
        return Fail(ERROR_INVALID_NAME);
    }

    const mode_t perms = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    // Shared locks need a readable descriptor, so writers read too where they may.
    int mode = write ? O_RDWR : O_RDONLY;
    bool existed = false;
    int err = 0;
    int fd = OpenNative(path, mode, dwCreationDisposition, perms, existed, err);
    if (fd < 0 && write && err == EACCES) {
        mode = O_WRONLY;
        fd = OpenNative(path, mode, dwCreationDisposition, perms, existed, err);
    }
    if (fd < 0) {
        if (err == EISDIR || (err == EEXIST && dwCreationDisposition != CREATE_NEW))
            return Fail(ERROR_ACCESS_DENIED);
        return Fail(ErrorFromErrno(err, path));
    }
    // The object closes fd on every path from here.
    auto file = std::make_shared<FileObject>(fd, access, (dwDesiredAccess & kReadRights) != 0);

    struct stat st;
    if (fstat(fd, &st) != 0) return Fail(ErrorFromErrno(errno, path));
    // A folder opens only for backup semantics, as on Windows, and then only to be asked
    // about (its final path): nothing is read from it or written to it.
    const bool folder = S_ISDIR(st.st_mode);
    if (folder && ((dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) == 0 || write || truncate))
        return Fail(ERROR_ACCESS_DENIED);
    file->SetRegular(S_ISREG(st.st_mode));
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

    if (!folder && !ClaimShare(fd, access, dwShareMode, file->claim())) {
        if (!existed) unlink(path.c_str());
        return INVALID_HANDLE_VALUE;
    }
    // Truncation waits for the share check: a refused open must not destroy the data.
    if (truncate && existed && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0)
        return Fail(ErrorFromErrno(errno, path));

    if (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) file->DeleteOnClose(path);
    HANDLE handle = InsertHandle(file);
    // Windows reports an existing file that CREATE_ALWAYS or OPEN_ALWAYS opened.
    bool reportExisting = existed && (dwCreationDisposition == CREATE_ALWAYS ||
                                      dwCreationDisposition == OPEN_ALWAYS);
    SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

DWORD WINAPI GetFinalPathNameByHandleW(HANDLE hFile, LPWSTR lpszFilePath, DWORD cchFilePath, DWORD dwFlags)
{
    constexpr DWORD kKnownFlags = FILE_NAME_OPENED | VOLUME_NAME_GUID | VOLUME_NAME_NT | VOLUME_NAME_NONE;
    std::shared_ptr<npk::FileObject> file = npk::FileOf(hFile);
    if (!file) return 0;
    if ((dwFlags & ~kKnownFlags) != 0 || (lpszFilePath == nullptr && cchFilePath != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // The kernel keeps the resolved name of every open descriptor.
    const std::string link = "/proc/self/fd/" + std::to_string(file->fd());
    std::string target(PATH_MAX, '\0');
    ssize_t n = readlink(link.c_str(), target.data(), target.size());
    if (n < 0 || static_cast<size_t>(n) >= target.size()) {
        SetLastError(n < 0 ? npk::ErrorFromErrno(errno, link) : static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
        return 0;
    }
    target.resize(static_cast<size_t>(n));
    if (target.empty() || target[0] != '/') {
        // A descriptor that names no path (a pipe, a socket) has no final path.
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    const npk::WideString wide = npk::WideFromUtf8(target);
    const DWORD length = static_cast<DWORD>(wide.size());
    if (cchFilePath <= length) return length + 1;
    std::copy(wide.begin(), wide.end(), lpszFilePath);
    lpszFilePath[length] = 0;
    SetLastError(ERROR_SUCCESS);
    return length;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
    std::shared_ptr<npk::FileObject> file = npk::FileOf(hFile);
    if (!file) return FALSE;
    if (!file->CanRead()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (lpBuffer == nullptr && nNumberOfBytesToRead > 0) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    off_t offset = -1;
    if (lpOverlapped != nullptr)
        offset = (off_t)(((uint64_t)lpOverlapped->OffsetHigh << 32) | lpOverlapped->Offset);
    BYTE* out = static_cast<BYTE*>(lpBuffer);
    DWORD total = 0;
    while (total < nNumberOfBytesToRead) {
        size_t want = nNumberOfBytesToRead - total;
        ssize_t got = offset >= 0 ? pread(file->fd(), out + total, want, offset + total)
                                  : read(file->fd(), out + total, want);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = total;
            SetLastError(npk::ErrorFromErrno(errno, std::string()));
            return FALSE;
        }
        if (got == 0) break;  // end of file: success with what was read
        total += (DWORD)got;
        if (!file->Regular()) break;
    }
    if (offset >= 0) lseek(file->fd(), offset + total, SEEK_SET);
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = total;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
    std::shared_ptr<npk::FileObject> file = npk::FileOf(hFile);
    if (!file) return FALSE;
    if (!file->CanWrite()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (lpBuffer == nullptr && nNumberOfBytesToWrite > 0) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    off_t offset = -1;
    if (lpOverlapped != nullptr) {
        offset = (off_t)(((uint64_t)lpOverlapped->OffsetHigh << 32) | lpOverlapped->Offset);
        // Both halves all ones means "at the end of the file".
        if (lpOverlapped->Offset == 0xFFFFFFFF && lpOverlapped->OffsetHigh == 0xFFFFFFFF) {
            offset = lseek(file->fd(), 0, SEEK_END);
            if (offset < 0) {
                SetLastError(npk::ErrorFromErrno(errno, std::string()));
                return FALSE;
            }
        }
    }
    const BYTE* in = static_cast<const BYTE*>(lpBuffer);
    DWORD total = 0;
    while (total < nNumberOfBytesToWrite) {
        size_t want = nNumberOfBytesToWrite - total;
        ssize_t put = offset >= 0 ? pwrite(file->fd(), in + total, want, offset + total)
                                  : write(file->fd(), in + total, want);
        if (put < 0) {
            if (errno == EINTR) continue;
            if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = total;
            SetLastError(npk::ErrorFromErrno(errno, std::string()));
            return FALSE;
        }
        total += (DWORD)put;
    }
    if (offset >= 0) lseek(file->fd(), offset + total, SEEK_SET);
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = total;
    return TRUE;
}

BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize)
{
    std::shared_ptr<npk::FileObject> file = npk::FileOf(hFile);
    if (!file) return FALSE;
    if (lpFileSize == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct stat st;
    if (fstat(file->fd(), &st) != 0) {
        SetLastError(npk::ErrorFromErrno(errno, std::string()));
        return FALSE;
    }
    lpFileSize->QuadPart = S_ISREG(st.st_mode) ? (LONGLONG)st.st_size : 0;
    return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(hFile, &size)) return INVALID_FILE_SIZE;
    if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = (DWORD)size.HighPart;
    // A low part of all ones is a size, not a failure, when the last error says so.
    if (size.LowPart == INVALID_FILE_SIZE) SetLastError(ERROR_SUCCESS);
    return size.LowPart;
}

BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                             PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod)
{
    std::shared_ptr<npk::FileObject> file = npk::FileOf(hFile);
    if (!file) return FALSE;
    int whence;
    switch (dwMoveMethod) {
    case FILE_BEGIN: whence = SEEK_SET; break;
    case FILE_CURRENT: whence = SEEK_CUR; break;
    case FILE_END: whence = SEEK_END; break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    off_t base = 0;
    if (whence != SEEK_SET) {
        base = lseek(file->fd(), 0, whence);
        if (base < 0) {
            SetLastError(npk::ErrorFromErrno(errno, std::string()));
            return FALSE;
        }
    }
    LONGLONG move = liDistanceToMove.QuadPart;
    if ((move < 0 && base + move < 0) || (move > 0 && base > LLONG_MAX - move)) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return FALSE;
    }
    off_t target = lseek(file->fd(), base + move, SEEK_SET);
    if (target < 0) {
        SetLastError(npk::ErrorFromErrno(errno, std::string()));
        return FALSE;
    }
    if (lpNewFilePointer != nullptr) lpNewFilePointer->QuadPart = target;
    return TRUE;
}

BOOL WINAPI SetEndOfFile(HANDLE hFile)
{
    std::shared_ptr<npk::FileObject> file = npk::FileOf(hFile);
    if (!file) return FALSE;
    if (!file->CanWrite()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    off_t here = lseek(file->fd(), 0, SEEK_CUR);
    if (here < 0 || ftruncate(file->fd(), here) != 0) {
        SetLastError(npk::ErrorFromErrno(errno, std::string()));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    std::shared_ptr<npk::FileObject> file = npk::FileOf(hFile);
    if (!file) return FALSE;
    if (!file->CanWrite()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (fsync(file->fd()) != 0) {
        SetLastError(npk::ErrorFromErrno(errno, std::string()));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName)
{
    using namespace npk;
    std::string path;
    if (!NativePathOf(lpFileName, path)) return FALSE;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        SetLastError(ErrorFromErrno(errno, path));
        return FALSE;
    }
    if (S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // Deleting takes delete access, which every open that did not share it refuses.
    int fd = S_ISREG(st.st_mode) ? open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)
                                 : -1;
    ShareClaim claim;
    if (fd >= 0 && !ClaimShare(fd, FILE_SHARE_DELETE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, claim)) {
        close(fd);
        return FALSE;
    }
    int rc = unlink(path.c_str());
    int err = errno;
    if (fd >= 0) close(fd);
    ReleaseShare(claim);
    if (rc != 0) {
        SetLastError(ErrorFromErrno(err, path));
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName)
{
    using namespace npk;
    std::string path;
    if (!NativePathOf(lpFileName, path)) return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        SetLastError(ErrorFromErrno(errno, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}
