// Base64 with CR LF line breaks every 76 characters, and a lenient reader that skips
// everything that is not a Base64 symbol.
#include "kernel/Encoding.h"

#include <array>
#include <cstring>
#include <new>

#include "trace/Trace.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const int kGroupsPerLine = 19;  // 76 characters
const BYTE kInvalid = 0xFF;

// Two symbols for every 12-bit value, so a 3-byte group costs two lookups.
struct PairTable {
    std::array<uint16_t, 4096> pairs;
    constexpr PairTable() : pairs()
    {
        for (int i = 0; i < 4096; ++i) {
            // Stored in memory order: first symbol at the lower address.
            BYTE hi = static_cast<BYTE>(kAlphabet[i >> 6]);
            BYTE lo = static_cast<BYTE>(kAlphabet[i & 63]);
            pairs[i] = static_cast<uint16_t>(hi | (lo << 8));
        }
    }
};

struct DecodeTable {
    std::array<BYTE, 256> values;
    // The symbol's value already shifted to its place in a group; kBad marks a non-symbol,
    // so one OR of four lookups both assembles the group and tells whether all were symbols.
    std::array<DWORD, 256> shifted[4];
    static constexpr DWORD kBad = 0x80000000;
    constexpr DecodeTable() : values(), shifted()
    {
        for (int i = 0; i < 256; ++i) {
            values[i] = kInvalid;
            for (int k = 0; k < 4; ++k) shifted[k][i] = kBad;
        }
        for (int i = 0; i < 64; ++i) {
            BYTE c = static_cast<BYTE>(kAlphabet[i]);
            values[c] = static_cast<BYTE>(i);
            for (int k = 0; k < 4; ++k) shifted[k][c] = static_cast<DWORD>(i) << (18 - 6 * k);
        }
    }
};

constexpr PairTable kPairs;
constexpr DecodeTable kDecode;

inline bool DecodeGroup(const BYTE* src, BYTE* dst)
{
    DWORD v = kDecode.shifted[0][src[0]] | kDecode.shifted[1][src[1]] |
              kDecode.shifted[2][src[2]] | kDecode.shifted[3][src[3]];
    if ((v & DecodeTable::kBad) != 0) return false;
    dst[0] = static_cast<BYTE>(v >> 16);
    dst[1] = static_cast<BYTE>(v >> 8);
    dst[2] = static_cast<BYTE>(v);
    return true;
}

inline char* EncodeGroups(const BYTE* src, int groups, char* dst)
{
    for (int i = 0; i < groups; ++i, src += 3, dst += 4) {
        DWORD v = (static_cast<DWORD>(src[0]) << 16) | (static_cast<DWORD>(src[1]) << 8) | src[2];
        uint16_t a = kPairs.pairs[v >> 12];
        uint16_t b = kPairs.pairs[v & 0xFFF];
        std::memcpy(dst, &a, 2);
        std::memcpy(dst + 2, &b, 2);
    }
    return dst;
}

// The upper bound of the encoded length; false when the source is too long.
bool EncodedLengthBound(int nSrcLen, DWORD dwFlags, int* pnBound)
{
    if (nSrcLen < 0 || nSrcLen > 536870911) return false;
    LONGLONG n = nSrcLen;
    LONGLONG len = (4 * n) / 3;
    if ((dwFlags & BASE64_FLAG_NOPAD) == 0) len += n % 3;
    LONGLONG lines = len / 76 + 1;
    LONGLONG r = len % 76;
    if (r != 0 && r % 4 != 0) len += 4 - r % 4;
    if ((dwFlags & BASE64_FLAG_NOCRLF) == 0) len += 2 * lines;
    *pnBound = static_cast<int>(len);
    return true;
}

}  // namespace

HRESULT Base64EncodeEx(const BYTE* pbSrc, int nSrcLen, char** ppszDest, int* pnDestLen, DWORD dwFlags)
{
    TraceHelper trace("Base64EncodeEx");
    if (ppszDest == NULL || pnDestLen == NULL) return E_POINTER;
    *ppszDest = NULL;
    *pnDestLen = 0;
    if (pbSrc == NULL && nSrcLen != 0) {
        NPK_TRACE(TRACE_ERROR, TraceMsg(TRACE_GUID_BASE64, 15));
        return E_POINTER;
    }
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32x2(TRACE_GUID_BASE64, 10, nSrcLen, static_cast<LONG>(dwFlags)));

    int bound = 0;
    if (!EncodedLengthBound(nSrcLen, dwFlags, &bound)) {
        NPK_TRACE(TRACE_ERROR, TraceMsgI32(TRACE_GUID_BASE64, 11, nSrcLen));
        return E_FAIL;
    }

    char* pszDest = new (std::nothrow) char[static_cast<size_t>(bound) + 1];
    if (pszDest == NULL) {
        TraceStep(E_OUTOFMEMORY, TEXT("New Memory"));
        return E_OUTOFMEMORY;
    }
    *ppszDest = pszDest;
    NPK_TRACE(TRACE_INFORMATION, TraceStep(S_OK, TEXT("New Memory")));

    const bool crlf = (dwFlags & BASE64_FLAG_NOCRLF) == 0;
    const int groups = nSrcLen / 3;
    const int fullLines = groups / kGroupsPerLine;
    const BYTE* src = pbSrc;
    char* dst = pszDest;
    for (int line = 0; line <= fullLines; ++line) {
        int count = line < fullLines ? kGroupsPerLine : groups % kGroupsPerLine;
        dst = EncodeGroups(src, count, dst);
        src += 3 * count;
        if (crlf) {
            *dst++ = '\r';
            *dst++ = '\n';
        }
    }
    if (crlf && dst != pszDest) {
        // The line break after the last line is taken back; the tail clearing below removes it.
        dst -= 2;
    }

    int rest = nSrcLen % 3;
    if (rest != 0) {
        DWORD v = static_cast<DWORD>(src[0]) << 16;
        if (rest == 2) v |= static_cast<DWORD>(src[1]) << 8;
        *dst++ = kAlphabet[(v >> 18) & 63];
        *dst++ = kAlphabet[(v >> 12) & 63];
        if (rest == 2) *dst++ = kAlphabet[(v >> 6) & 63];
        if ((dwFlags & BASE64_FLAG_NOPAD) == 0) {
            *dst++ = '=';
            if (rest == 1) *dst++ = '=';
        }
    }

    // Everything after the text is zero, as if the buffer had been cleared first.
    std::memset(dst, 0, static_cast<size_t>(pszDest + bound + 1 - dst));
    *pnDestLen = static_cast<int>(dst - pszDest);
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32x2(TRACE_GUID_BASE64, 12, *pnDestLen, bound));
    return S_OK;
}

HRESULT Base64DecodeEx(const char* pszSrc, int nSrcLen, BYTE** ppbDest, int* pnDestLen)
{
    TraceHelper trace("Base64DecodeEx");
    if (ppbDest == NULL || pnDestLen == NULL) return E_POINTER;
    *ppbDest = NULL;
    *pnDestLen = 0;
    if (nSrcLen <= 0) {
        NPK_TRACE(TRACE_ERROR, TraceMsgI32(TRACE_GUID_BASE64, 13, nSrcLen));
        return E_FAIL;
    }
    if (pszSrc == NULL) {
        NPK_TRACE(TRACE_ERROR, TraceMsg(TRACE_GUID_BASE64, 15));
        return E_POINTER;
    }

    BYTE* pbDest = new (std::nothrow) BYTE[static_cast<size_t>(nSrcLen)];
    if (pbDest == NULL) {
        TraceStep(E_OUTOFMEMORY, TEXT("New Memory"));
        return E_OUTOFMEMORY;
    }
    *ppbDest = pbDest;
    NPK_TRACE(TRACE_INFORMATION, TraceStep(S_OK, TEXT("New Memory")));

    const BYTE* src = reinterpret_cast<const BYTE*>(pszSrc);
    const BYTE* const end = src + nSrcLen;
    BYTE* dst = pbDest;
    while (src < end && *src != 0) {
        // Four symbols in a row: the common case of well-formed text.
        while (end - src >= 4 && DecodeGroup(src, dst)) {
            dst += 3;
            src += 4;
        }
        if (src >= end || *src == 0) break;

        // A group has begun; the non-symbols before its first symbol (a line break, and any
        // NUL among them) belong to it and are skipped.
        while (src < end && kDecode.values[*src] == kInvalid) ++src;
        if (end - src >= 4 && DecodeGroup(src, dst)) {
            dst += 3;
            src += 4;
            continue;
        }

        // A group with skipped bytes inside, or the end of the text.
        DWORD acc = 0;
        int taken = 0;
        while (taken < 4 && src < end) {
            BYTE v = kDecode.values[*src++];
            if (v != kInvalid) {
                acc = (acc << 6) | v;
                ++taken;
            }
        }
        int bits = 6 * taken;
        acc <<= 24 - bits;
        for (int i = 0; i < bits / 8; ++i) *dst++ = static_cast<BYTE>(acc >> (16 - 8 * i));
    }
    // The rest of the buffer stays zero, as if it had been cleared before decoding.
    std::memset(dst, 0, static_cast<size_t>(pbDest + nSrcLen - dst));

    *pnDestLen = static_cast<int>(dst - pbDest);
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32x2(TRACE_GUID_BASE64, 14, *pnDestLen, nSrcLen));
    return S_OK;
}
