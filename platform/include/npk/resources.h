// Resources, string tables, user-interface languages and system message texts, with the
// SDK's names and semantics. The resources of a module are the .res image compiled from its
// resource script and embedded in it; the embedding registers them at load time.
#pragma once

#include "npk/wintypes.h"

// ---------------------------------------------------------------------------
// Resource names and types
// ---------------------------------------------------------------------------
#define MAKEINTRESOURCEW(i) ((LPWSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEW
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)

#define RT_CURSOR       MAKEINTRESOURCE(1)
#define RT_BITMAP       MAKEINTRESOURCE(2)
#define RT_ICON         MAKEINTRESOURCE(3)
#define RT_MENU         MAKEINTRESOURCE(4)
#define RT_DIALOG       MAKEINTRESOURCE(5)
#define RT_STRING       MAKEINTRESOURCE(6)
#define RT_FONTDIR      MAKEINTRESOURCE(7)
#define RT_FONT         MAKEINTRESOURCE(8)
#define RT_ACCELERATOR  MAKEINTRESOURCE(9)
#define RT_RCDATA       MAKEINTRESOURCE(10)
#define RT_MESSAGETABLE MAKEINTRESOURCE(11)
#define RT_GROUP_CURSOR MAKEINTRESOURCE(12)
#define RT_GROUP_ICON   MAKEINTRESOURCE(14)
#define RT_VERSION      MAKEINTRESOURCE(16)
#define RT_HTML         MAKEINTRESOURCE(23)
#define RT_MANIFEST     MAKEINTRESOURCE(24)

#define CREATEPROCESS_MANIFEST_RESOURCE_ID  MAKEINTRESOURCE(1)
#define ISOLATIONAWARE_MANIFEST_RESOURCE_ID MAKEINTRESOURCE(2)

// ---------------------------------------------------------------------------
// Languages beyond the few of npk/wintypes.h
// ---------------------------------------------------------------------------
#ifndef LANG_GERMAN
#define LANG_GERMAN   0x07
#endif
#ifndef LANG_FRENCH
#define LANG_FRENCH   0x0c
#endif
#ifndef LANG_JAPANESE
#define LANG_JAPANESE 0x11
#endif
#ifndef SUBLANG_SYS_DEFAULT
#define SUBLANG_SYS_DEFAULT 0x02
#endif
#ifndef SUBLANG_GERMAN
#define SUBLANG_GERMAN 0x01
#endif
#ifndef SUBLANG_CHINESE_TRADITIONAL
#define SUBLANG_CHINESE_TRADITIONAL 0x01
#endif
#ifndef SUBLANG_CHINESE_HONGKONG
#define SUBLANG_CHINESE_HONGKONG 0x03
#endif
#ifndef LANG_SYSTEM_DEFAULT
#define LANG_SYSTEM_DEFAULT MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT)
#endif
#ifndef LANG_USER_DEFAULT
#define LANG_USER_DEFAULT MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)
#endif

#ifndef ERROR_MR_MID_NOT_FOUND
#define ERROR_MR_MID_NOT_FOUND 317L
#endif

// ---------------------------------------------------------------------------
// Resource functions. An HRSRC names one resource of a module; LoadResource returns its
// bytes, which stay valid while the module is loaded (FreeResource does nothing).
// ---------------------------------------------------------------------------
HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);
HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage);
HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
LPVOID WINAPI LockResource(HGLOBAL hResData);
DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);
BOOL WINAPI FreeResource(HGLOBAL hResData);
int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);

// ---------------------------------------------------------------------------
// User-interface language. The user's default comes from LANGUAGE, LC_ALL, LC_MESSAGES or
// LANG (the first that is set): zh gives 2052, ko 1042, anything else 1033. Each thread
// may choose its own with SetThreadUILanguage; resources are looked up in that language.
// ---------------------------------------------------------------------------
LANGID WINAPI GetUserDefaultUILanguage();
LANGID WINAPI GetSystemDefaultUILanguage();
LANGID WINAPI GetUserDefaultLangID();
LANGID WINAPI GetThreadUILanguage();
LANGID WINAPI SetThreadUILanguage(LANGID LangId);

// ---------------------------------------------------------------------------
// Message formatting. The system table holds the English texts of the Win32 errors and
// HRESULTs that this system can meet; a FACILITY_WIN32 HRESULT finds its Win32 text.
// ---------------------------------------------------------------------------
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS  0x00000200
#define FORMAT_MESSAGE_FROM_STRING     0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE    0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM     0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY  0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK  0x000000FF

DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPWSTR lpBuffer, DWORD nSize, va_list* Arguments);
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPSTR lpBuffer, DWORD nSize, va_list* Arguments);

// ---------------------------------------------------------------------------
// Embedding: the generated resource object of a module calls this from its static
// initialiser with an address inside that module and its .res image; the module handle is
// the load base of the shared object or executable that contains the address.
// ---------------------------------------------------------------------------
BOOL NpkRegisterModuleResources(const void* addressInModule, const BYTE* image, size_t size);
void NpkUnregisterModuleResources(const void* addressInModule);
