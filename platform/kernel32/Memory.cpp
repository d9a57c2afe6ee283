// Local and process-heap memory. Each block carries a small header with its size so that
// LocalSize, HeapSize and HeapReAlloc can answer; the header keeps the block 16-byte aligned.
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

struct alignas(16) BlockHeader {
    SIZE_T size;
    DWORD magic;
};

constexpr DWORD kMagic = 0x4B504E4D;  // marks blocks made here
int g_processHeap;                    // its address is the process heap's handle

BlockHeader* HeaderOf(LPCVOID p)
{
    return reinterpret_cast<BlockHeader*>(const_cast<BYTE*>(static_cast<const BYTE*>(p)) - sizeof(BlockHeader));
}

void* Allocate(SIZE_T bytes, bool zero)
{
    if (bytes > (SIZE_T)-1 - sizeof(BlockHeader)) return nullptr;
    void* raw = zero ? std::calloc(1, sizeof(BlockHeader) + bytes) : std::malloc(sizeof(BlockHeader) + bytes);
    if (raw == nullptr) return nullptr;
    BlockHeader* h = static_cast<BlockHeader*>(raw);
    h->size = bytes;
    h->magic = kMagic;
    return h + 1;
}

void Release(void* p)
{
    BlockHeader* h = HeaderOf(p);
    h->magic = 0;
    std::free(h);
}

bool IsOurs(LPCVOID p)
{
    return p != nullptr && HeaderOf(p)->magic == kMagic;
}

}  // namespace

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    if ((uFlags & ~(UINT)LMEM_VALID_FLAGS) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Moveable blocks never move here, so their handle is their address (LocalLock returns it).
    void* p = Allocate(uBytes, (uFlags & LMEM_ZEROINIT) != 0);
    if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    if (hMem == nullptr) return nullptr;
    if (!IsOurs(hMem)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return hMem;
    }
    Release(hMem);
    return nullptr;
}

LPVOID WINAPI LocalLock(HLOCAL hMem)
{
    if (!IsOurs(hMem)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return hMem;
}

BOOL WINAPI LocalUnlock(HLOCAL hMem)
{
    // Blocks never stay locked here; Windows answers an unlocked block with FALSE and NO_ERROR.
    SetLastError(NO_ERROR);
    return FALSE;
}

SIZE_T WINAPI LocalSize(HLOCAL hMem)
{
    if (!IsOurs(hMem)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return HeaderOf(hMem)->size;
}

HANDLE WINAPI GetProcessHeap()
{
    return &g_processHeap;
}

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    if (hHeap != &g_processHeap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* p = Allocate(dwBytes, (dwFlags & HEAP_ZERO_MEMORY) != 0);
    if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

LPVOID WINAPI HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes)
{
    if (hHeap != &g_processHeap || !IsOurs(lpMem)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    SIZE_T old = HeaderOf(lpMem)->size;
    if (dwFlags & HEAP_REALLOC_IN_PLACE_ONLY) {
        if (dwBytes > old) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        HeaderOf(lpMem)->size = dwBytes;
        return lpMem;
    }
    void* p = Allocate(dwBytes, false);
    if (p == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;  // the old block stays valid, as on Windows
    }
    std::memcpy(p, lpMem, old < dwBytes ? old : dwBytes);
    if (dwBytes > old && (dwFlags & HEAP_ZERO_MEMORY)) std::memset(static_cast<BYTE*>(p) + old, 0, dwBytes - old);
    Release(lpMem);
    return p;
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem)
{
    if (hHeap != &g_processHeap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpMem == nullptr) return TRUE;
    if (!IsOurs(lpMem)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Release(lpMem);
    return TRUE;
}

SIZE_T WINAPI HeapSize(HANDLE hHeap, DWORD dwFlags, LPCVOID lpMem)
{
    if (hHeap != &g_processHeap || !IsOurs(lpMem)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return (SIZE_T)-1;
    }
    return HeaderOf(lpMem)->size;
}
