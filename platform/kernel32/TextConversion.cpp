// MultiByteToWideChar and WideCharToMultiByte. Every code page the system uses is UTF-8
// here: CP_UTF8 itself and the ANSI, OEM and thread code pages (as on a Windows system whose
// ANSI code page is set to UTF-8).
#include <windows.h>

#include "kernel32/Unicode.h"

namespace {

bool IsUtf8CodePage(UINT codePage)
{
    return codePage == CP_UTF8 || codePage == CP_ACP || codePage == CP_OEMCP ||
           codePage == CP_THREAD_ACP;
}

// The ANSI aliases accept the flags that callers habitually pass for them; they do not
// change anything for UTF-8.
bool MbFlagsValid(UINT codePage, DWORD flags)
{
    DWORD allowed = MB_ERR_INVALID_CHARS;
    if (codePage != CP_UTF8) allowed |= MB_PRECOMPOSED;
    return (flags & ~allowed) == 0;
}

bool WcFlagsValid(UINT codePage, DWORD flags)
{
    DWORD allowed = WC_ERR_INVALID_CHARS;
    if (codePage != CP_UTF8) allowed |= WC_NO_BEST_FIT_CHARS;
    return (flags & ~allowed) == 0;
}

size_t StrLenA(const char* s)
{
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

size_t StrLenW(const WCHAR* s)
{
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

int Fail(DWORD error)
{
    SetLastError(error);
    return 0;
}

}  // namespace

UINT WINAPI GetACP()
{
    return CP_UTF8;
}

UINT WINAPI GetOEMCP()
{
    return CP_UTF8;
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar)
{
    if (!IsUtf8CodePage(CodePage)) return Fail(ERROR_INVALID_PARAMETER);
    if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && lpWideCharStr == nullptr) ||
        (cchWideChar > 0 && (const void*)lpMultiByteStr == (const void*)lpWideCharStr)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!MbFlagsValid(CodePage, dwFlags)) return Fail(ERROR_INVALID_FLAGS);

    const bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;
    const unsigned char* src = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    size_t n = cbMultiByte == -1 ? StrLenA(lpMultiByteStr) + 1 : (size_t)cbMultiByte;

    size_t produced = 0;
    for (size_t i = 0; i < n;) {
        npk::Utf8Step step = npk::DecodeUtf8(src + i, n - i);
        if (!step.valid && strict) return Fail(ERROR_NO_UNICODE_TRANSLATION);
        i += step.consumed;
        char16_t units[2];
        size_t count = npk::EncodeUtf16(step.cp, units);
        if (cchWideChar > 0) {
            if (produced + count > (size_t)cchWideChar) return Fail(ERROR_INSUFFICIENT_BUFFER);
            for (size_t k = 0; k < count; ++k) lpWideCharStr[produced + k] = units[k];
        }
        produced += count;
        if (produced > 0x7FFFFFFF) return Fail(ERROR_ARITHMETIC_OVERFLOW);
    }
    return (int)produced;
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar)
{
    if (!IsUtf8CodePage(CodePage)) return Fail(ERROR_INVALID_PARAMETER);
    if (lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && lpMultiByteStr == nullptr) ||
        (cbMultiByte > 0 && (const void*)lpWideCharStr == (const void*)lpMultiByteStr)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // UTF-8 represents every character, so a default character makes no sense for it.
    if (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (!WcFlagsValid(CodePage, dwFlags)) return Fail(ERROR_INVALID_FLAGS);

    const bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;
    size_t n = cchWideChar == -1 ? StrLenW(lpWideCharStr) + 1 : (size_t)cchWideChar;

    size_t produced = 0;
    for (size_t i = 0; i < n;) {
        npk::Utf16Step step = npk::DecodeUtf16(lpWideCharStr + i, n - i);
        if (!step.valid && strict) return Fail(ERROR_NO_UNICODE_TRANSLATION);
        i += step.consumed;
        unsigned char bytes[4];
        size_t count = npk::EncodeUtf8(step.cp, bytes);
        if (cbMultiByte > 0) {
            if (produced + count > (size_t)cbMultiByte) return Fail(ERROR_INSUFFICIENT_BUFFER);
            for (size_t k = 0; k < count; ++k) lpMultiByteStr[produced + k] = (char)bytes[k];
        }
        produced += count;
        if (produced > 0x7FFFFFFF) return Fail(ERROR_ARITHMETIC_OVERFLOW);
    }
    return (int)produced;
}
