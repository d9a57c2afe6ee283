// lstr* string helpers and the simple case folding the case-insensitive comparisons share.
// Windows catches faults inside the lstr* functions; null pointers therefore give a defined
// result here instead of a crash.
#include <windows.h>

#include "kernel32/Unicode.h"

namespace npk {

char16_t FoldCase(char16_t c)
{
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
    if (c < 0x100) return (c >= 0xC0 && c <= 0xDE && c != 0xD7) ? char16_t(c + 32) : c;
    if (c < 0x180) {
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        if (c == 0x178) return 0xFF;
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? char16_t(c + 1) : c;
        return (c & 1) ? c : char16_t(c + 1);
    }
    if (c >= 0x370 && c < 0x400) {
        if (c == 0x386) return 0x3AC;
        if (c >= 0x388 && c <= 0x38A) return char16_t(c + 37);
        if (c == 0x38C) return 0x3CC;
        if (c == 0x38E || c == 0x38F) return char16_t(c + 63);
        if ((c >= 0x391 && c <= 0x3A1) || (c >= 0x3A3 && c <= 0x3AB)) return char16_t(c + 32);
        return c;
    }
    if (c >= 0x400 && c < 0x530) {
        if (c <= 0x40F) return char16_t(c + 80);
        if (c <= 0x42F) return char16_t(c + 32);
        if (c == 0x4C0) return 0x4CF;
        if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F))
            return (c & 1) ? c : char16_t(c + 1);
        if (c >= 0x4C1 && c <= 0x4CE) return (c & 1) ? char16_t(c + 1) : c;
        return c;
    }
    if (c >= 0x531 && c <= 0x556) return char16_t(c + 48);
    if ((c >= 0x1E00 && c <= 0x1E95) || (c >= 0x1EA0 && c <= 0x1EFF)) return (c & 1) ? c : char16_t(c + 1);
    if (c >= 0xFF21 && c <= 0xFF3A) return char16_t(c + 32);
    return c;
}

}  // namespace npk

namespace {

int Sign(int v)
{
    return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

// Folded comparison first; on a tie the first difference in case decides, lower case first.
int CompareWordSort(LPCWSTR a, LPCWSTR b)
{
    int tie = 0;
    for (size_t i = 0;; ++i) {
        char16_t ca = a[i], cb = b[i];
        char16_t fa = npk::FoldCase(ca), fb = npk::FoldCase(cb);
        if (fa != fb) return fa < fb ? -1 : 1;
        if (ca == 0) return tie;
        if (tie == 0 && ca != cb) tie = npk::IsFoldedUpper(ca) ? 1 : -1;
    }
}

int CompareFolded(LPCWSTR a, LPCWSTR b)
{
    for (size_t i = 0;; ++i) {
        char16_t fa = npk::FoldCase(a[i]), fb = npk::FoldCase(b[i]);
        if (fa != fb) return fa < fb ? -1 : 1;
        if (fa == 0) return 0;
    }
}

}  // namespace

int WINAPI lstrlenW(LPCWSTR lpString)
{
    if (lpString == nullptr) return 0;
    int n = 0;
    while (lpString[n]) ++n;
    return n;
}

int WINAPI lstrlenA(LPCSTR lpString)
{
    if (lpString == nullptr) return 0;
    int n = 0;
    while (lpString[n]) ++n;
    return n;
}

int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2)
{
    if (lpString1 == nullptr || lpString2 == nullptr) {
        return Sign((lpString1 != nullptr) - (lpString2 != nullptr));
    }
    return CompareWordSort(lpString1, lpString2);
}

int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2)
{
    if (lpString1 == nullptr || lpString2 == nullptr) {
        return Sign((lpString1 != nullptr) - (lpString2 != nullptr));
    }
    return CompareFolded(lpString1, lpString2);
}

LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2)
{
    if (lpString1 == nullptr || lpString2 == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    size_t i = 0;
    do {
        lpString1[i] = lpString2[i];
    } while (lpString2[i++] != 0);
    return lpString1;
}

LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength)
{
    if (lpString1 == nullptr || lpString2 == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (iMaxLength <= 0) return lpString1;
    int i = 0;
    for (; i < iMaxLength - 1 && lpString2[i] != 0; ++i) lpString1[i] = lpString2[i];
    lpString1[i] = 0;
    return lpString1;
}

LPWSTR WINAPI lstrcatW(LPWSTR lpString1, LPCWSTR lpString2)
{
    if (lpString1 == nullptr || lpString2 == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    lstrcpyW(lpString1 + lstrlenW(lpString1), lpString2);
    return lpString1;
}
