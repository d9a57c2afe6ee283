// strsafe copy, concatenation and length with their HRESULTs. A destination is always left
// NUL-terminated when it has room for one character; a truncated copy keeps what fitted.
#include <strsafe.h>

namespace {

template <class C>
HRESULT CopyWorker(C* dest, size_t cchDest, const C* src, size_t cchToCopy)
{
    if (dest == nullptr || cchDest == 0) return STRSAFE_E_INVALID_PARAMETER;
    if (cchDest > STRSAFE_MAX_CCH || src == nullptr || cchToCopy > STRSAFE_MAX_CCH) {
        dest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    size_t i = 0;
    while (i < cchToCopy && src[i] != 0) {
        if (i == cchDest - 1) {
            dest[i] = 0;
            return STRSAFE_E_INSUFFICIENT_BUFFER;
        }
        dest[i] = src[i];
        ++i;
    }
    dest[i] = 0;
    return S_OK;
}

template <class C>
HRESULT LengthWorker(const C* psz, size_t cchMax, size_t* pcchLength)
{
    if (psz == nullptr || cchMax > STRSAFE_MAX_CCH) {
        if (pcchLength) *pcchLength = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    size_t n = 0;
    while (n < cchMax && psz[n] != 0) ++n;
    if (n == cchMax) {
        // No terminator within the bound.
        if (pcchLength) *pcchLength = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (pcchLength) *pcchLength = n;
    return S_OK;
}

HRESULT CatWorker(STRSAFE_LPWSTR dest, size_t cchDest, STRSAFE_LPCWSTR src)
{
    if (dest == nullptr || cchDest == 0 || cchDest > STRSAFE_MAX_CCH) return STRSAFE_E_INVALID_PARAMETER;
    size_t used;
    // An unterminated destination is refused and left as it is.
    if (FAILED(LengthWorker(dest, cchDest, &used))) return STRSAFE_E_INVALID_PARAMETER;
    if (src == nullptr) return STRSAFE_E_INVALID_PARAMETER;
    return CopyWorker(dest + used, cchDest - used, src, (size_t)STRSAFE_MAX_CCH);
}

size_t CchFromCb(size_t cb)
{
    return cb > (size_t)STRSAFE_MAX_CCH * sizeof(WCHAR) ? (size_t)STRSAFE_MAX_CCH + 1 : cb / sizeof(WCHAR);
}

}  // namespace

HRESULT StringCchCopyW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc)
{
    return CopyWorker(pszDest, cchDest, pszSrc, (size_t)STRSAFE_MAX_CCH);
}

HRESULT StringCchCopyNW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc, size_t cchToCopy)
{
    return CopyWorker(pszDest, cchDest, pszSrc, cchToCopy);
}

HRESULT StringCchCatW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc)
{
    return CatWorker(pszDest, cchDest, pszSrc);
}

HRESULT StringCchLengthW(STRSAFE_PCNZWCH psz, size_t cchMax, size_t* pcchLength)
{
    return LengthWorker(psz, cchMax, pcchLength);
}

HRESULT StringCchCopyA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszSrc)
{
    return CopyWorker(pszDest, cchDest, pszSrc, (size_t)STRSAFE_MAX_CCH);
}

HRESULT StringCchLengthA(STRSAFE_PCNZCH psz, size_t cchMax, size_t* pcchLength)
{
    return LengthWorker(psz, cchMax, pcchLength);
}

HRESULT StringCbCopyW(STRSAFE_LPWSTR pszDest, size_t cbDest, STRSAFE_LPCWSTR pszSrc)
{
    return CopyWorker(pszDest, CchFromCb(cbDest), pszSrc, (size_t)STRSAFE_MAX_CCH);
}

HRESULT StringCbCatW(STRSAFE_LPWSTR pszDest, size_t cbDest, STRSAFE_LPCWSTR pszSrc)
{
    return CatWorker(pszDest, CchFromCb(cbDest), pszSrc);
}
