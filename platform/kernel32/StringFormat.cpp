// The strsafe printf family with the Microsoft C runtime's format letters, written over
// UTF-16 (W functions) and UTF-8 (A functions) output.
//
// Text of the other width is converted: a narrow argument in a W function is UTF-8, a wide
// argument in an A function becomes UTF-8. Width and precision count output code units; when
// a string is converted, precision never cuts a character in half.
#include <strsafe.h>

#include <cstdio>
#include <cstring>
#include <locale.h>
#include <new>

#include "kernel32/Unicode.h"

namespace {

template <class C>
struct Sink {
    C* dst;
    size_t room;  // code units available before the terminating NUL
    size_t len = 0;
    bool truncated = false;

    void Put(C c)
    {
        if (len < room) {
            dst[len++] = c;
        } else {
            truncated = true;
        }
    }
    void Fill(C c, size_t n)
    {
        for (size_t i = 0; i < n; ++i) Put(c);
    }
};

struct Spec {
    bool minus = false, plus = false, space = false, hash = false, zero = false;
    int width = 0;
    int precision = -1;  // -1: none
    enum Size { kDefault, kChar, kShort, kLong32, kLong64, kPtr, kLongDouble } size = kDefault;
    enum Width { kNatural, kNarrow, kWide } textWidth = kNatural;
};

// ---------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------

// Visits the output units of one string argument, stopping once `limit` units would be
// exceeded; a multi-unit character that does not fit entirely is left out.
template <class C, class Src, class F>
size_t VisitText(const Src* s, size_t limit, F&& emit)
{
    size_t produced = 0;
    if constexpr (sizeof(Src) == sizeof(C)) {
        for (size_t i = 0; s[i] != 0 && produced < limit; ++i) {
            emit(C(s[i]));
            ++produced;
        }
    } else if constexpr (sizeof(C) == sizeof(char16_t)) {
        // UTF-8 argument, UTF-16 output.
        const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
        size_t n = std::strlen(reinterpret_cast<const char*>(p));
        for (size_t i = 0; i < n;) {
            npk::Utf8Step st = npk::DecodeUtf8(p + i, n - i);
            char16_t units[2];
            size_t k = npk::EncodeUtf16(st.cp, units);
            if (produced + k > limit) break;
            for (size_t j = 0; j < k; ++j) emit(C(units[j]));
            produced += k;
            i += st.consumed;
        }
    } else {
        // UTF-16 argument, UTF-8 output.
        size_t n = 0;
        while (s[n]) ++n;
        for (size_t i = 0; i < n;) {
            npk::Utf16Step st = npk::DecodeUtf16(reinterpret_cast<const char16_t*>(s) + i, n - i);
            unsigned char bytes[4];
            size_t k = npk::EncodeUtf8(st.cp, bytes);
            if (produced + k > limit) break;
            for (size_t j = 0; j < k; ++j) emit(C(bytes[j]));
            produced += k;
            i += st.consumed;
        }
    }
    return produced;
}

template <class C, class Src>
void PutText(Sink<C>& out, const Spec& spec, const Src* s)
{
    static const Src kNull[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
    if (s == nullptr) s = kNull;
    size_t limit = spec.precision >= 0 ? (size_t)spec.precision : (size_t)-1;
    size_t n = VisitText<C>(s, limit, [](C) {});
    size_t pad = (size_t)spec.width > n ? (size_t)spec.width - n : 0;
    if (!spec.minus) out.Fill(C(spec.zero ? '0' : ' '), pad);
    VisitText<C>(s, limit, [&](C c) { out.Put(c); });
    if (spec.minus) out.Fill(C(' '), pad);
}

template <class C>
void PutChar(Sink<C>& out, const Spec& spec, char32_t cp)
{
    C units[4];
    size_t n;
    if constexpr (sizeof(C) == sizeof(char16_t)) {
        char16_t u[2];
        n = npk::EncodeUtf16(cp, u);
        for (size_t i = 0; i < n; ++i) units[i] = C(u[i]);
    } else {
        unsigned char b[4];
        n = npk::EncodeUtf8(cp, b);
        for (size_t i = 0; i < n; ++i) units[i] = C(b[i]);
    }
    size_t pad = (size_t)spec.width > n ? (size_t)spec.width - n : 0;
    if (!spec.minus) out.Fill(C(spec.zero ? '0' : ' '), pad);
    for (size_t i = 0; i < n; ++i) out.Put(units[i]);
    if (spec.minus) out.Fill(C(' '), pad);
}

// ---------------------------------------------------------------------------
// Numbers
// ---------------------------------------------------------------------------

template <class C>
void PutInteger(Sink<C>& out, const Spec& spec, ULONGLONG magnitude, bool negative, unsigned base,
                bool upper, bool isSigned, bool pointer)
{
    char digits[72];
    size_t nd = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (ULONGLONG v = magnitude; v != 0; v /= base) digits[nd++] = set[v % base];

    int precision = spec.precision;
    size_t minDigits = precision >= 0 ? (size_t)precision : 1;
    if (precision == 0 && magnitude == 0) minDigits = 0;

    char prefix[3];
    size_t np = 0;
    if (isSigned) {
        if (negative) prefix[np++] = '-';
        else if (spec.plus) prefix[np++] = '+';
        else if (spec.space) prefix[np++] = ' ';
    }
    if (spec.hash && !pointer && magnitude != 0 && base == 16) {
        prefix[np++] = '0';
        prefix[np++] = upper ? 'X' : 'x';
    }
    size_t zeros = minDigits > nd ? minDigits - nd : 0;
    if (spec.hash && base == 8 && zeros == 0 && (nd == 0 || digits[nd - 1] != '0')) zeros = 1;

    size_t body = np + zeros + nd;
    size_t pad = (size_t)spec.width > body ? (size_t)spec.width - body : 0;
    // The 0 flag pads with zeros after the sign, unless a precision or the - flag is given.
    bool zeroPad = spec.zero && !spec.minus && precision < 0;
    if (!spec.minus && !zeroPad) out.Fill(C(' '), pad);
    for (size_t i = 0; i < np; ++i) out.Put(C(prefix[i]));
    if (zeroPad) out.Fill(C('0'), pad);
    out.Fill(C('0'), zeros);
    while (nd > 0) out.Put(C(digits[--nd]));
    if (spec.minus) out.Fill(C(' '), pad);
}

// Floating point goes through the C library's narrow formatter in the "C" locale, so that a
// host that set another locale still gets a decimal point.
template <class C>
void PutFloat(Sink<C>& out, const Spec& spec, char conv, long double value, bool isLong)
{
    char fmt[32];
    size_t f = 0;
    fmt[f++] = '%';
    if (spec.minus) fmt[f++] = '-';
    if (spec.plus) fmt[f++] = '+';
    if (spec.space) fmt[f++] = ' ';
    if (spec.hash) fmt[f++] = '#';
    if (spec.zero) fmt[f++] = '0';
    fmt[f++] = '*';
    fmt[f++] = '.';
    fmt[f++] = '*';
    if (isLong) fmt[f++] = 'L';
    fmt[f++] = conv;
    fmt[f] = 0;
    int precision = spec.precision;  // negative means "default" to the C library too

    static locale_t cLocale = newlocale(LC_ALL_MASK, "C", (locale_t)0);
    locale_t previous = cLocale ? uselocale(cLocale) : (locale_t)0;

    char stackBuf[128];
    char* buf = stackBuf;
    int n = isLong ? std::snprintf(buf, sizeof stackBuf, fmt, spec.width, precision, value)
                   : std::snprintf(buf, sizeof stackBuf, fmt, spec.width, precision, (double)value);
    char* heapBuf = nullptr;
    if (n >= (int)sizeof stackBuf) {
        heapBuf = new (std::nothrow) char[(size_t)n + 1];
        if (heapBuf != nullptr) {
            buf = heapBuf;
            n = isLong ? std::snprintf(buf, (size_t)n + 1, fmt, spec.width, precision, value)
                       : std::snprintf(buf, (size_t)n + 1, fmt, spec.width, precision, (double)value);
        } else {
            n = (int)sizeof stackBuf - 1;  // keep what fitted; the output is marked truncated below
            out.truncated = true;
        }
    }
    if (previous) uselocale(previous);
    for (int i = 0; i < n; ++i) out.Put(C(buf[i]));
    delete[] heapBuf;
}

// ---------------------------------------------------------------------------
// The format walker
// ---------------------------------------------------------------------------

template <class C>
bool ParseNumber(const C*& p, int* value)
{
    if (*p < C('0') || *p > C('9')) return false;
    long long v = 0;
    while (*p >= C('0') && *p <= C('9')) {
        v = v * 10 + (*p - C('0'));
        if (v > 0x7FFFFFFF) v = 0x7FFFFFFF;
        ++p;
    }
    *value = (int)v;
    return true;
}

// Returns false for a format the runtime rejects (an unknown letter, %n, a lone % at the end).
template <class C>
bool Format(Sink<C>& out, const C* fmt, va_list args)
{
    constexpr bool kWideFunction = sizeof(C) == sizeof(char16_t);
    for (const C* p = fmt; *p;) {
        if (*p != C('%')) {
            out.Put(*p++);
            continue;
        }
        ++p;
        if (*p == C('%')) {
            out.Put(*p++);
            continue;
        }
        Spec spec;
        for (;; ++p) {
            if (*p == C('-')) spec.minus = true;
            else if (*p == C('+')) spec.plus = true;
            else if (*p == C(' ')) spec.space = true;
            else if (*p == C('#')) spec.hash = true;
            else if (*p == C('0')) spec.zero = true;
            else break;
        }
        if (*p == C('*')) {
            ++p;
            int w = va_arg(args, int);
            if (w < 0) {
                spec.minus = true;
                w = w == (int)0x80000000 ? 0x7FFFFFFF : -w;
            }
            spec.width = w;
        } else {
            ParseNumber(p, &spec.width);
        }
        if (*p == C('.')) {
            ++p;
            if (*p == C('*')) {
                ++p;
                int pr = va_arg(args, int);
                spec.precision = pr < 0 ? -1 : pr;
            } else if (!ParseNumber(p, &spec.precision)) {
                spec.precision = 0;
            }
        }
        // Length modifiers, Microsoft's and C99's.
        if (*p == C('h')) {
            ++p;
            spec.textWidth = Spec::kNarrow;
            if (*p == C('h')) {
                ++p;
                spec.size = Spec::kChar;
            } else {
                spec.size = Spec::kShort;
            }
        } else if (*p == C('l')) {
            ++p;
            if (*p == C('l')) {
                ++p;
                spec.size = Spec::kLong64;
            } else {
                spec.size = Spec::kLong32;
                spec.textWidth = Spec::kWide;
            }
        } else if (*p == C('w')) {
            ++p;
            spec.textWidth = Spec::kWide;
        } else if (*p == C('L')) {
            ++p;
            spec.size = Spec::kLongDouble;
        } else if (*p == C('I')) {
            ++p;
            if (p[0] == C('6') && p[1] == C('4')) {
                p += 2;
                spec.size = Spec::kLong64;
            } else if (p[0] == C('3') && p[1] == C('2')) {
                p += 2;
                spec.size = Spec::kLong32;
            } else {
                spec.size = Spec::kPtr;
            }
        } else if (*p == C('z') || *p == C('t') || *p == C('j')) {
            spec.size = *p == C('j') ? Spec::kLong64 : Spec::kPtr;
            ++p;
        }

        C conv = *p;
        if (conv == 0) return false;
        ++p;
        switch ((char)conv) {
        case 'd':
        case 'i': {
            LONGLONG v;
            switch (spec.size) {
            case Spec::kChar: v = (signed char)va_arg(args, int); break;
            case Spec::kShort: v = (short)va_arg(args, int); break;
            case Spec::kLong64: v = va_arg(args, long long); break;
            case Spec::kPtr: v = (LONGLONG)va_arg(args, intptr_t); break;
            default: v = va_arg(args, int); break;
            }
            ULONGLONG mag = v < 0 ? (ULONGLONG)0 - (ULONGLONG)v : (ULONGLONG)v;
            PutInteger(out, spec, mag, v < 0, 10, false, true, false);
            break;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            ULONGLONG v;
            switch (spec.size) {
            case Spec::kChar: v = (unsigned char)va_arg(args, unsigned int); break;
            case Spec::kShort: v = (unsigned short)va_arg(args, unsigned int); break;
            case Spec::kLong64: v = va_arg(args, unsigned long long); break;
            case Spec::kPtr: v = (ULONGLONG)va_arg(args, uintptr_t); break;
            default: v = va_arg(args, unsigned int); break;
            }
            unsigned base = conv == C('u') ? 10 : (conv == C('o') ? 8 : 16);
            PutInteger(out, spec, v, false, base, conv == C('X'), false, false);
            break;
        }
        case 'p': {
            Spec ps = spec;
            ps.precision = (int)(2 * sizeof(void*));
            ps.zero = false;
            PutInteger(out, ps, (ULONGLONG)(uintptr_t)va_arg(args, void*), false, 16, true, false, true);
            break;
        }
        case 'c':
        case 'C': {
            int v = va_arg(args, int);
            bool narrow = spec.textWidth == Spec::kNarrow ||
                          (spec.textWidth == Spec::kNatural && ((conv == C('c')) != kWideFunction));
            char32_t cp;
            if (narrow) {
                unsigned char b = (unsigned char)v;
                cp = b < 0x80 ? char32_t(b) : npk::kReplacementChar;  // a lone byte of UTF-8 text
            } else {
                char16_t u = (char16_t)v;
                if constexpr (kWideFunction) {
                    cp = u;  // a wide character is copied as it is
                } else {
                    cp = (u >= 0xD800 && u <= 0xDFFF) ? npk::kReplacementChar : char32_t(u);
                }
            }
            PutChar(out, spec, cp);
            break;
        }
        case 's':
        case 'S': {
            bool narrow = spec.textWidth == Spec::kNarrow ||
                          (spec.textWidth == Spec::kNatural && ((conv == C('s')) != kWideFunction));
            if (narrow) {
                PutText(out, spec, va_arg(args, const char*));
            } else {
                PutText(out, spec, va_arg(args, const WCHAR*));
            }
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            if (spec.size == Spec::kLongDouble) {
                PutFloat(out, spec, (char)conv, va_arg(args, long double), true);
            } else {
                PutFloat(out, spec, (char)conv, va_arg(args, double), false);
            }
            break;
        }
        default:
            // %n is refused by the runtime; unknown letters are invalid formats.
            return false;
        }
    }
    return true;
}

template <class C>
HRESULT PrintfWorker(C* pszDest, size_t cchDest, const C* pszFormat, va_list args)
{
    if (pszDest == nullptr || cchDest == 0) return STRSAFE_E_INVALID_PARAMETER;
    if (cchDest > STRSAFE_MAX_CCH || pszFormat == nullptr) {
        pszDest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    Sink<C> out{pszDest, cchDest - 1};
    if (!Format(out, pszFormat, args)) {
        pszDest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    pszDest[out.len] = 0;
    return out.truncated ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}

}  // namespace

HRESULT StringCchVPrintfW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszFormat,
                          va_list argList)
{
    va_list args;
    va_copy(args, argList);
    HRESULT hr = PrintfWorker<WCHAR>(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}

HRESULT StringCchPrintfW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = PrintfWorker<WCHAR>(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}

HRESULT StringCbPrintfW(STRSAFE_LPWSTR pszDest, size_t cbDest, STRSAFE_LPCWSTR pszFormat, ...)
{
    size_t cchDest = cbDest / sizeof(WCHAR);
    if (cbDest > (size_t)STRSAFE_MAX_CCH * sizeof(WCHAR)) cchDest = (size_t)STRSAFE_MAX_CCH + 1;
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = PrintfWorker<WCHAR>(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}

HRESULT StringCchVPrintfA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszFormat,
                          va_list argList)
{
    va_list args;
    va_copy(args, argList);
    HRESULT hr = PrintfWorker<char>(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}

HRESULT StringCchPrintfA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = PrintfWorker<char>(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}
