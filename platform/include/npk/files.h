// kernel32 files and handles: CreateFileW and its companions, with the SDK's names,
// structures, constants and error behaviour. Paths use '/' as the separator; a '\' is
// taken as a separator too, and "." and ".." are resolved in the text before the file
// system sees the path, as Windows does.
#pragma once

#include "npk/wintypes.h"

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

// Codes the file functions give that the shared error table may lack.
#ifndef ERROR_FILE_TOO_LARGE
#define ERROR_FILE_TOO_LARGE 223L
#endif
#ifndef ERROR_CANT_RESOLVE_FILENAME
#define ERROR_CANT_RESOLVE_FILENAME 1921L
#endif

// Access rights
#ifndef DELETE
#define DELETE 0x00010000L
#endif
#define GENERIC_READ    0x80000000L
#define GENERIC_WRITE   0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL     0x10000000L
#define FILE_READ_DATA   0x0001
#define FILE_WRITE_DATA  0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_READ_ATTRIBUTES 0x0080

// Share modes
#define FILE_SHARE_READ   0x00000001
#define FILE_SHARE_WRITE  0x00000002
#define FILE_SHARE_DELETE 0x00000004

// Creation dispositions
#define CREATE_NEW        1
#define CREATE_ALWAYS     2
#define OPEN_EXISTING     3
#define OPEN_ALWAYS       4
#define TRUNCATE_EXISTING 5

// Attributes and flags
#define FILE_ATTRIBUTE_READONLY  0x00000001
#define FILE_ATTRIBUTE_HIDDEN    0x00000002
#define FILE_ATTRIBUTE_SYSTEM    0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE   0x00000020
#define FILE_ATTRIBUTE_NORMAL    0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define FILE_FLAG_WRITE_THROUGH    0x80000000
#define FILE_FLAG_OVERLAPPED       0x40000000
#define FILE_FLAG_NO_BUFFERING     0x20000000
#define FILE_FLAG_RANDOM_ACCESS    0x10000000
#define FILE_FLAG_SEQUENTIAL_SCAN  0x08000000
#define FILE_FLAG_DELETE_ON_CLOSE  0x04000000
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000

// GetFinalPathNameByHandleW flags
#define FILE_NAME_NORMALIZED 0x0
#define FILE_NAME_OPENED     0x8
#define VOLUME_NAME_DOS      0x0
#define VOLUME_NAME_GUID     0x1
#define VOLUME_NAME_NT       0x2
#define VOLUME_NAME_NONE     0x4

#define INVALID_FILE_SIZE       ((DWORD)0xFFFFFFFF)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)

// Move methods
#define FILE_BEGIN   0
#define FILE_CURRENT 1
#define FILE_END     2

// Handles of files (and of the other kernel objects the layer may add). Anything that
// is not a live handle of this layer fails with ERROR_INVALID_HANDLE.
BOOL WINAPI CloseHandle(HANDLE hObject);

// Files. Share modes are honoured between every open through this layer, in this
// process and in others: a conflicting open fails with ERROR_SHARING_VIOLATION.
// Overlapped handles (FILE_FLAG_OVERLAPPED) are not offered; an OVERLAPPED structure
// passed to ReadFile or WriteFile gives the offset of a synchronous transfer.
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize);
BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                             PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod);
BOOL WINAPI SetEndOfFile(HANDLE hFile);
BOOL WINAPI FlushFileBuffers(HANDLE hFile);
BOOL WINAPI DeleteFileW(LPCWSTR lpFileName);
DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName);

// The path of an open file or folder as the file system resolves it, every link followed.
// There are no volumes here, so every VOLUME_NAME_* form is the plain absolute path (Windows
// puts "\\?\" before a DOS one). The length without the NUL, or the size the buffer needs
// with it when it is too small; 0 with the last error set on failure.
DWORD WINAPI GetFinalPathNameByHandleW(HANDLE hFile, LPWSTR lpszFilePath, DWORD cchFilePath, DWORD dwFlags);

// Paths
DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer,
                              LPWSTR* lpFilePart);
