// shlwapi string search and bounded comparison.
#include <shlwapi.h>

#include "kernel32/Unicode.h"

namespace {

// Compares at most n units; folded selects case-insensitive comparison. A tie in the folded
// comparison of the case-sensitive form is broken by case, lower case first.
int CompareN(LPCWSTR a, LPCWSTR b, int n, bool folded)
{
    if (a == nullptr || b == nullptr) {
        int d = (a != nullptr) - (b != nullptr);
        return d < 0 ? -1 : (d > 0 ? 1 : 0);
    }
    int tie = 0;
    for (int i = 0; i < n; ++i) {
        char16_t ca = a[i], cb = b[i];
        char16_t fa = npk::FoldCase(ca), fb = npk::FoldCase(cb);
        if (fa != fb) return fa < fb ? -1 : 1;
        if (ca == 0) break;
        if (!folded && tie == 0 && ca != cb) tie = npk::IsFoldedUpper(ca) ? 1 : -1;
    }
    return folded ? 0 : tie;
}

LPWSTR Find(LPCWSTR hay, LPCWSTR needle, bool folded)
{
    if (hay == nullptr || needle == nullptr) return nullptr;
    for (LPCWSTR p = hay; *p; ++p) {
        size_t i = 0;
        for (; needle[i] != 0; ++i) {
            char16_t h = p[i];
            if (h == 0) return nullptr;  // the rest of the haystack is shorter than the needle
            if (folded ? npk::FoldCase(h) != npk::FoldCase(needle[i]) : h != needle[i]) break;
        }
        if (needle[i] == 0) return const_cast<LPWSTR>(p);
    }
    return nullptr;
}

}  // namespace

LPWSTR WINAPI StrStrIW(LPCWSTR lpFirst, LPCWSTR lpSrch)
{
    // An empty search text matches nothing, as in shlwapi.
    if (lpSrch != nullptr && *lpSrch == 0) return nullptr;
    return Find(lpFirst, lpSrch, true);
}

LPWSTR WINAPI StrStrW(LPCWSTR lpFirst, LPCWSTR lpSrch)
{
    if (lpSrch != nullptr && *lpSrch == 0) return nullptr;
    return Find(lpFirst, lpSrch, false);
}

int WINAPI StrCmpNIW(LPCWSTR lpStr1, LPCWSTR lpStr2, int nChar)
{
    return CompareN(lpStr1, lpStr2, nChar, true);
}

int WINAPI StrCmpIW(LPCWSTR psz1, LPCWSTR psz2)
{
    return CompareN(psz1, psz2, 0x7FFFFFFF, true);
}

int WINAPI StrCmpNW(LPCWSTR lpStr1, LPCWSTR lpStr2, int nChar)
{
    return CompareN(lpStr1, lpStr2, nChar, false);
}

int WINAPI StrCmpW(LPCWSTR psz1, LPCWSTR psz2)
{
    return CompareN(psz1, psz2, 0x7FFFFFFF, false);
}

LPWSTR WINAPI StrChrW(LPCWSTR lpStart, WCHAR wMatch)
{
    if (lpStart == nullptr) return nullptr;
    for (LPCWSTR p = lpStart; *p; ++p) {
        if (*p == wMatch) return const_cast<LPWSTR>(p);
    }
    return nullptr;
}

LPWSTR WINAPI StrRChrW(LPCWSTR lpStart, LPCWSTR lpEnd, WCHAR wMatch)
{
    if (lpStart == nullptr) return nullptr;
    if (lpEnd == nullptr) lpEnd = lpStart + lstrlenW(lpStart);
    LPCWSTR found = nullptr;
    for (LPCWSTR p = lpStart; p < lpEnd && *p; ++p) {
        if (*p == wMatch) found = p;
    }
    return const_cast<LPWSTR>(found);
}
