// shell32 special folders: SHGetSpecialFolderPathW and the CSIDL values the system asks
// for, with the SDK's names and values.
#pragma once

#include <windows.h>

#define SHSTDAPI_(type) type WINAPI

#define CSIDL_STARTUP        0x0007
#define CSIDL_COMMON_STARTUP 0x0018
#define CSIDL_APPDATA        0x001A
#define CSIDL_LOCAL_APPDATA  0x001C
#define CSIDL_WINDOWS        0x0024
#define CSIDL_SYSTEM         0x0025
#define CSIDL_PROFILE        0x0028
#define CSIDL_SYSTEMX86      0x0029

#define CSIDL_FLAG_CREATE    0x8000
#define CSIDL_FLAG_DONT_VERIFY 0x4000
#define CSIDL_FLAG_MASK      0xFF00

// Writes the folder's path, without a trailing separator, into pszPath (MAX_PATH
// characters). fCreate makes a missing folder where the user may make it.
SHSTDAPI_(BOOL) SHGetSpecialFolderPathW(HWND hwnd, LPWSTR pszPath, int csidl, BOOL fCreate);
