// Basic Win32 types, macros and calling conventions with the SDK's names and sizes.
// WCHAR is UTF-16 (char16_t) so that wide text has the same layout as on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdarg>

#define WINAPI
#define CALLBACK
#define APIENTRY
#define STDAPI extern "C" HRESULT
#define STDAPICALLTYPE
#define WINAPIV
#define CONST const
#define VOID void
#define DECLSPEC_IMPORT

#ifndef UNICODE
#define UNICODE 1
#endif
#define __TEXT(quote) u##quote
#define TEXT(quote) __TEXT(quote)

typedef void*            PVOID;
typedef void*            LPVOID;
typedef const void*      LPCVOID;
typedef int              BOOL;
typedef BOOL*            PBOOL;
typedef BOOL*            LPBOOL;
typedef unsigned char    BYTE;
typedef BYTE*            PBYTE;
typedef BYTE*            LPBYTE;
typedef unsigned char    UCHAR;
typedef UCHAR*           PUCHAR;
typedef unsigned char    BOOLEAN;
typedef char             CHAR;
typedef CHAR*            PCHAR;
typedef short            SHORT;
typedef unsigned short   USHORT;
typedef unsigned short   WORD;
typedef WORD*            PWORD;
typedef WORD*            LPWORD;
typedef int              INT;
typedef unsigned int     UINT;
typedef UINT*            PUINT;
typedef int32_t          LONG;
typedef LONG*            PLONG;
typedef LONG*            LPLONG;
typedef uint32_t         ULONG;
typedef ULONG*           PULONG;
typedef uint32_t         DWORD;
typedef DWORD*           PDWORD;
typedef DWORD*           LPDWORD;
typedef int64_t          LONGLONG;
typedef uint64_t         ULONGLONG;
typedef uint64_t         DWORD64;
typedef uint64_t         ULONG64;
typedef int64_t          LONG64;
typedef ULONG64*         PULONG64;
typedef intptr_t         INT_PTR;
typedef uintptr_t        UINT_PTR;
typedef intptr_t         LONG_PTR;
typedef uintptr_t        ULONG_PTR;
typedef ULONG_PTR        DWORD_PTR;
typedef ULONG_PTR        SIZE_T;
typedef SIZE_T*          PSIZE_T;
typedef LONG_PTR         SSIZE_T;
typedef LONG             HRESULT;
typedef float            FLOAT;

typedef char16_t         WCHAR;
typedef WCHAR*           PWCHAR;
typedef WCHAR*           LPWSTR;
typedef WCHAR*           PWSTR;
typedef const WCHAR*     LPCWSTR;
typedef const WCHAR*     PCWSTR;
typedef CHAR*            LPSTR;
typedef CHAR*            PSTR;
typedef const CHAR*      LPCSTR;
typedef const CHAR*      PCSTR;
typedef WCHAR            TCHAR;
typedef LPWSTR           LPTSTR;
typedef LPCWSTR          LPCTSTR;

typedef void*            HANDLE;
typedef HANDLE*          PHANDLE;
typedef HANDLE*          LPHANDLE;
struct HINSTANCE__;
typedef HINSTANCE__*     HINSTANCE;
typedef HINSTANCE        HMODULE;
struct HKEY__;
typedef HKEY__*          HKEY;
typedef HKEY*            PHKEY;
typedef void*            HLOCAL;
typedef void*            HGLOBAL;
typedef void*            HRSRC;
typedef void*            HWND;
typedef int (*FARPROC)();
typedef WORD             LANGID;
typedef DWORD            LCID;
typedef LONG             LSTATUS;
typedef DWORD            ACCESS_MASK;
typedef ACCESS_MASK      REGSAM;

#define TRUE  1
#define FALSE 0
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t  Data4[8];
} GUID;
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
typedef GUID IID;
typedef GUID CLSID;
#define REFGUID const GUID&
inline bool IsEqualGUID(const GUID& a, const GUID& b)
{
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i) if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }

typedef union _LARGE_INTEGER {
    struct { DWORD LowPart; LONG HighPart; } u;
    struct { DWORD LowPart; LONG HighPart; };
    LONGLONG QuadPart;
} LARGE_INTEGER;
typedef LARGE_INTEGER* PLARGE_INTEGER;
typedef union _ULARGE_INTEGER {
    struct { DWORD LowPart; DWORD HighPart; } u;
    struct { DWORD LowPart; DWORD HighPart; };
    ULONGLONG QuadPart;
} ULARGE_INTEGER;

typedef struct _FILETIME { DWORD dwLowDateTime; DWORD dwHighDateTime; } FILETIME, *PFILETIME, *LPFILETIME;
typedef struct _SYSTEMTIME {
    WORD wYear; WORD wMonth; WORD wDayOfWeek; WORD wDay;
    WORD wHour; WORD wMinute; WORD wSecond; WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define LOBYTE(w) ((BYTE)(((DWORD_PTR)(w)) & 0xff))
#define HIBYTE(w) ((BYTE)((((DWORD_PTR)(w)) >> 8) & 0xff))
#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKEWORD(a, b) ((WORD)(((BYTE)(a)) | ((WORD)((BYTE)(b))) << 8))
#define MAKELONG(a, b) ((LONG)(((WORD)(a)) | ((DWORD)((WORD)(b))) << 16))

#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define PRIMARYLANGID(lgid) ((WORD)(lgid) & 0x3ff)
#define SUBLANGID(lgid) ((WORD)(lgid) >> 10)
#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define LANG_CHINESE 0x04
#define LANG_KOREAN  0x12
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_ENGLISH_US 0x01
#define SUBLANG_CHINESE_SIMPLIFIED 0x02
#define SUBLANG_KOREAN 0x01

#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define _countof(a) ARRAYSIZE(a)
#define UNREFERENCED_PARAMETER(p) (void)(p)

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH  2
#define DLL_THREAD_DETACH  3

// Automation types used across the system.
typedef WCHAR OLECHAR;
typedef OLECHAR* BSTR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef short VARIANT_BOOL;
#define VARIANT_TRUE  ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)
