// FindResourceW and friends, and LoadStringW over the string-table bundles.
#include <windows.h>

#include "ResourceImage.h"

#include <cstring>

using npk::res::ResourceEntry;

HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType)
{
    return (HRSRC)npk::res::Find(hModule, lpType, lpName, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
}

HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage)
{
    return (HRSRC)npk::res::Find(hModule, lpType, lpName, wLanguage);
}

HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo)
{
    if (hResInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Resource bytes are read-only and live as long as the module: the handle is the data.
    return (HGLOBAL)((const ResourceEntry*)hResInfo)->data;
}

LPVOID WINAPI LockResource(HGLOBAL hResData)
{
    return hResData;
}

DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo)
{
    if (hResInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return ((const ResourceEntry*)hResInfo)->size;
}

BOOL WINAPI FreeResource(HGLOBAL hResData)
{
    return FALSE;  // obsolete on Windows as well: nothing to free
}

int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax)
{
    if (lpBuffer == nullptr || cchBufferMax < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Strings live in bundles of sixteen: bundle id/16 + 1 holds id at position id % 16.
    const UINT id = uID & 0xFFFF;
    const ResourceEntry* e = npk::res::Find(hInstance, RT_STRING, MAKEINTRESOURCEW((id >> 4) + 1),
                                            MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
    const WCHAR* text = nullptr;
    WORD length = 0;
    if (e != nullptr) {
        const BYTE* p = e->data;
        const BYTE* end = e->data + e->size;
        for (UINT i = 0; i <= (id & 15); ++i) {
            if (end - p < 2) {
                p = nullptr;
                break;
            }
            std::memcpy(&length, p, sizeof length);
            p += 2;
            if ((size_t)(end - p) < (size_t)length * 2) {
                p = nullptr;
                break;
            }
            if (i == (id & 15)) {
                text = (const WCHAR*)p;
            } else {
                p += (size_t)length * 2;
            }
        }
        if (p == nullptr) {
            SetLastError(ERROR_INVALID_DATA);
            text = nullptr;
        }
    }
    if (text == nullptr || length == 0) {
        if (text != nullptr) SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        if (cchBufferMax > 0) lpBuffer[0] = 0;
        return 0;
    }
    if (cchBufferMax == 0) {
        // The caller receives a read-only pointer to the text, which is not NUL-terminated.
        *(const WCHAR**)lpBuffer = text;
        return length;
    }
    int n = length < cchBufferMax - 1 ? length : cchBufferMax - 1;
    std::memcpy(lpBuffer, text, (size_t)n * sizeof(WCHAR));
    lpBuffer[n] = 0;
    return n;
}
