// Checks on the file paths a page names, before the agent reads or writes them, and the
// reading of a whole small file.
#pragma once

#include <windows.h>

#ifndef NPK_E_MALICIOUS_PATH
#define NPK_E_MALICIOUS_PATH ((HRESULT)0xA0071006L)
#endif
#ifndef NPK_E_EMPTY_FILE
#define NPK_E_EMPTY_FILE ((HRESULT)0xA0071007L)
#endif

// The kind of path given to IsMaliciousFilePathName.
#define NPK_PATH_SOURCE 0  // must exist, open exclusively and hold at least one byte
#define NPK_PATH_TARGET 1  // must not exist yet

// S_OK when the path may be used as the kind says. The checks work on the full path;
// nothing on disk is changed or created.
HRESULT IsMaliciousFilePathName(LPCWSTR pwszPath, DWORD dwPathKind);
// NPK_E_MALICIOUS_PATH when the folder lies in (or its path contains) one of the system's
// or the start-up folders, compared without case.
HRESULT IsMaliciousFileFolder(LPCWSTR pwszFolder);
// NPK_E_MALICIOUS_PATH for an executable or script extension (with its leading "."),
// compared whole and without case; an empty extension is accepted.
HRESULT IsMaliciousFileExtention(LPCWSTR pwszExtension);
// S_OK when the file opens exclusively for reading and is not empty; NPK_E_EMPTY_FILE for
// an empty one, otherwise the system's error.
HRESULT CheckFileAvailability(LPCWSTR pwszPath);
// Reads the whole file into a new[] buffer of size + 1 bytes, the last one 0, owned by the
// caller (delete[]). With a null ppbData only the size is given. Files of 4 GiB - 1 bytes
// or more are refused.
HRESULT ReadFileSimple(LPCWSTR pwszPath, BYTE** ppbData, DWORD* pcbData);
