// Bounded string copy, concatenation and formatting with the strsafe results. The printf
// family follows the Microsoft format letters: in a W function %s is wide and %hs/%S narrow
// (UTF-8), %ld is 32-bit, %I64d and %lld are 64-bit, %Id is pointer-sized and %p prints the
// pointer as upper-case hex padded to its width. Every function leaves the destination
// NUL-terminated whenever it has room for at least one character.
#pragma once

#include <windows.h>

#ifndef STRSAFE_E_INSUFFICIENT_BUFFER
#define STRSAFE_E_INSUFFICIENT_BUFFER _HRESULT_TYPEDEF_(0x8007007AL)
#endif
#ifndef STRSAFE_E_INVALID_PARAMETER
#define STRSAFE_E_INVALID_PARAMETER _HRESULT_TYPEDEF_(0x80070057L)
#endif
#ifndef STRSAFE_E_END_OF_FILE
#define STRSAFE_E_END_OF_FILE _HRESULT_TYPEDEF_(0x80070026L)
#endif

#define STRSAFE_MAX_CCH 2147483647

typedef const WCHAR* STRSAFE_PCNZWCH;
typedef const char*  STRSAFE_PCNZCH;
typedef WCHAR*       STRSAFE_LPWSTR;
typedef const WCHAR* STRSAFE_LPCWSTR;
typedef char*        STRSAFE_LPSTR;
typedef const char*  STRSAFE_LPCSTR;

HRESULT StringCchPrintfW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszFormat, ...);
HRESULT StringCchVPrintfW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszFormat,
                          va_list argList);
HRESULT StringCbPrintfW(STRSAFE_LPWSTR pszDest, size_t cbDest, STRSAFE_LPCWSTR pszFormat, ...);
HRESULT StringCchPrintfA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszFormat, ...);
HRESULT StringCchVPrintfA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszFormat,
                          va_list argList);

HRESULT StringCchCopyW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc);
HRESULT StringCchCopyNW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc,
                        size_t cchToCopy);
HRESULT StringCchCatW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc);
HRESULT StringCchLengthW(STRSAFE_PCNZWCH psz, size_t cchMax, size_t* pcchLength);
HRESULT StringCchCopyA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszSrc);
HRESULT StringCchLengthA(STRSAFE_PCNZCH psz, size_t cchMax, size_t* pcchLength);
HRESULT StringCbCopyW(STRSAFE_LPWSTR pszDest, size_t cbDest, STRSAFE_LPCWSTR pszSrc);
HRESULT StringCbCatW(STRSAFE_LPWSTR pszDest, size_t cbDest, STRSAFE_LPCWSTR pszSrc);
