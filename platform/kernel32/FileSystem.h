// What the file, path and folder functions of the layer share: turning a Win32 path into
// the native one, errno into Win32 codes, and the share-mode bookkeeping between opens.
#pragma once

#include <windows.h>

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace npk {

using WideString = std::basic_string<WCHAR>;

// The full form of a path: absolute, '/' separators ('\' counts as one), "." and ".."
// resolved in the text, a trailing separator kept. False with the last error set.
bool FullPathOf(LPCWSTR name, WideString& full);

// The full path of name in the native (UTF-8) form the file system takes. False with the
// last error set (a name that has no UTF-8 form is ERROR_INVALID_NAME).
bool NativePathOf(LPCWSTR name, std::string& native);

// UTF-8 text as UTF-16 (ill-formed bytes become U+FFFD).
WideString WideFromUtf8(const std::string& text);

// The Win32 code for an errno value from a call on path (ENOENT tells a missing file, 2,
// from a missing folder on the way, 3).
DWORD ErrorFromErrno(int err, const std::string& path);

// Share bookkeeping for one open file. Access and share are masks of the FILE_SHARE_*
// bits (read 1, write 2, delete 4): the access the opener takes and what it lets others
// take. A claim is checked against every other claim on the same file in this process
// and, through open-file-description locks placed on fd, in other processes.
struct ShareClaim {
    dev_t device = 0;
    ino_t inode = 0;
    uint64_t id = 0;  // 0: nothing was claimed
};

// Claims (access, share) for the open file fd. False with ERROR_SHARING_VIOLATION when
// it conflicts with a claim already held; nothing is claimed then.
bool ClaimShare(int fd, DWORD access, DWORD share, ShareClaim& claim);
// Gives back a claim of this process (the locks go with the fd when it is closed).
void ReleaseShare(ShareClaim& claim);

}  // namespace npk
