// Share modes between opens of one file. In this process a table keyed by device and
// inode holds every claim. Between processes each claim is also written as shared
// open-file-description locks on bytes far past any real data of the file: one byte per
// kind of access the opener takes ("in use for X") and one per kind it refuses to share
// ("nobody else may X"). An opener places its own locks first and then looks for the
// other side's; two racing openers may then both be refused, but never both admitted.
#include "FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace npk {
namespace {

constexpr DWORD kAllAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr off_t kLockBase = (off_t)0x7FFFFFFFFFFF0000LL;  // within off_t, past any file

constexpr off_t InUseByte(int kind) { return kLockBase + kind; }
constexpr off_t DenyByte(int kind) { return kLockBase + 3 + kind; }

struct Claim {
    uint64_t id;
    DWORD access;
    DWORD share;
};

struct ShareTable {
    std::mutex lock;
    std::map<std::pair<dev_t, ino_t>, std::vector<Claim>> files;
    uint64_t nextId = 1;
};

// Built on first use and freed when the library that holds it is unloaded (or the process
// ends): static objects' destructors may still close handles, and those run before the
// library's destructor functions.
ShareTable*& TablePointer()
{
    static ShareTable* table = new ShareTable;
    return table;
}

ShareTable& Table()
{
    return *TablePointer();
}

__attribute__((destructor)) void FreeShareTable()
{
    delete TablePointer();
    TablePointer() = nullptr;
}

bool Conflicts(DWORD access, DWORD share, const Claim& other)
{
    return (access & ~other.share & kAllAccess) != 0 || (other.access & ~share & kAllAccess) != 0;
}

int SetLock(int fd, short type, off_t start, off_t length)
{
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    return fcntl(fd, F_OFD_SETLK, &fl);
}

// True when an open file description other than fd's holds a lock on the byte.
bool HeldByOther(int fd, off_t byte)
{
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
    return fl.l_type != F_UNLCK;
}

// Places the locks of (access, share) on fd and checks the other processes' locks.
// Where the file system or the descriptor cannot carry such locks (a write-only
// descriptor cannot hold a shared lock) only this process's table guards the file.
bool ClaimAcrossProcesses(int fd, DWORD access, DWORD share)
{
    bool placed = true;
    for (int kind = 0; kind < 3 && placed; ++kind) {
        DWORD bit = 1u << kind;
        if ((access & bit) && SetLock(fd, F_RDLCK, InUseByte(kind), 1) != 0) placed = false;
        if (placed && !(share & bit) && SetLock(fd, F_RDLCK, DenyByte(kind), 1) != 0) placed = false;
    }
    if (!placed) {
        SetLock(fd, F_UNLCK, kLockBase, 6);
        return true;
    }
    for (int kind = 0; kind < 3; ++kind) {
        DWORD bit = 1u << kind;
        if (((access & bit) && HeldByOther(fd, DenyByte(kind))) ||
            (!(share & bit) && HeldByOther(fd, InUseByte(kind)))) {
            SetLock(fd, F_UNLCK, kLockBase, 6);
            return false;
        }
    }
    return true;
}

}  // namespace

bool ClaimShare(int fd, DWORD access, DWORD share, ShareClaim& claim)
{
    claim = ShareClaim();
    access &= kAllAccess;
    share &= kAllAccess;
    // An open that touches no data takes part in no share check, as on Windows.
    if (access == 0) return true;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        SetLastError(ErrorFromErrno(errno, std::string()));
        return false;
    }
    ShareTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    std::vector<Claim>& claims = t.files[{st.st_dev, st.st_ino}];
    for (const Claim& other : claims) {
        if (Conflicts(access, share, other)) {
            if (claims.empty()) t.files.erase({st.st_dev, st.st_ino});
            SetLastError(ERROR_SHARING_VIOLATION);
            return false;
        }
    }
    if (!ClaimAcrossProcesses(fd, access, share)) {
        if (claims.empty()) t.files.erase({st.st_dev, st.st_ino});
        SetLastError(ERROR_SHARING_VIOLATION);
        return false;
    }
    claim.device = st.st_dev;
    claim.inode = st.st_ino;
    claim.id = t.nextId++;
    claims.push_back({claim.id, access, share});
    return true;
}

void ReleaseShare(ShareClaim& claim)
{
    // A handle closed after the table was freed at unload has nothing left to release.
    if (claim.id == 0 || TablePointer() == nullptr) return;
    ShareTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.files.find({claim.device, claim.inode});
    if (it != t.files.end()) {
        std::vector<Claim>& claims = it->second;
        for (auto c = claims.begin(); c != claims.end(); ++c) {
            if (c->id == claim.id) {
                claims.erase(c);
                break;
            }
        }
        if (claims.empty()) t.files.erase(it);
    }
    claim.id = 0;
}

}  // namespace npk
