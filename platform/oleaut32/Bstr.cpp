// BSTR allocation with the automation layout: a 4-byte byte count, the text, and a zero
// WCHAR after it. The count may be odd (SysAllocStringByteLen); the block is always long
// enough that the WCHAR following the last byte is zero as well.
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kPrefix = sizeof(DWORD);

DWORD* PrefixOf(BSTR s)
{
    return reinterpret_cast<DWORD*>(reinterpret_cast<BYTE*>(s) - kPrefix);
}

// Makes a string of `bytes` bytes, copying from `src` when it is given; the rest is zero.
BSTR Allocate(const void* src, size_t bytes)
{
    // Windows refuses lengths whose block would not fit a 32-bit count.
    if (bytes > 0xFFFFFFFFu - kPrefix - 4) return nullptr;
    size_t total = kPrefix + bytes + sizeof(WCHAR) + 1;  // one more byte when the count is odd
    BYTE* block = static_cast<BYTE*>(std::malloc(total));
    if (block == nullptr) return nullptr;
    DWORD count = (DWORD)bytes;
    std::memcpy(block, &count, sizeof count);
    BYTE* text = block + kPrefix;
    if (src != nullptr) {
        std::memcpy(text, src, bytes);
    } else {
        std::memset(text, 0, bytes);
    }
    std::memset(text + bytes, 0, total - kPrefix - bytes);
    return reinterpret_cast<BSTR>(text);
}

size_t WideLen(const OLECHAR* s)
{
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

}  // namespace

BSTR WINAPI SysAllocString(const OLECHAR* psz)
{
    if (psz == nullptr) return nullptr;
    return Allocate(psz, WideLen(psz) * sizeof(OLECHAR));
}

BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui)
{
    return Allocate(strIn, (size_t)ui * sizeof(OLECHAR));
}

BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len)
{
    return Allocate(psz, len);
}

INT WINAPI SysReAllocString(BSTR* pbstr, const OLECHAR* psz)
{
    if (pbstr == nullptr) return FALSE;
    // The new text may lie inside the old string, so it is copied before the old one goes.
    BSTR fresh = psz != nullptr ? Allocate(psz, WideLen(psz) * sizeof(OLECHAR)) : nullptr;
    if (psz != nullptr && fresh == nullptr) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

INT WINAPI SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, unsigned int len)
{
    if (pbstr == nullptr) return FALSE;
    BSTR fresh;
    if (psz != nullptr) {
        fresh = Allocate(psz, (size_t)len * sizeof(OLECHAR));
    } else {
        // Without new text the old text is kept as far as it reaches; the rest is zero.
        fresh = Allocate(nullptr, (size_t)len * sizeof(OLECHAR));
        if (fresh != nullptr && *pbstr != nullptr) {
            size_t keep = SysStringByteLen(*pbstr);
            if (keep > (size_t)len * sizeof(OLECHAR)) keep = (size_t)len * sizeof(OLECHAR);
            std::memcpy(fresh, *pbstr, keep);
        }
    }
    if (fresh == nullptr) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

UINT WINAPI SysStringLen(BSTR pbstr)
{
    return pbstr == nullptr ? 0 : *PrefixOf(pbstr) / sizeof(OLECHAR);
}

UINT WINAPI SysStringByteLen(BSTR bstr)
{
    return bstr == nullptr ? 0 : *PrefixOf(bstr);
}

void WINAPI SysFreeString(BSTR bstrString)
{
    if (bstrString == nullptr) return;
    std::free(PrefixOf(bstrString));
}
