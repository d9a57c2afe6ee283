// Script strings reach the system as arbitrary bytes: UTF-8 to UTF-16 and back must never
// read or write outside its buffers, and valid UTF-8 must come back unchanged.
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernel/Encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16) return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(std::strlen(text.c_str()));  // the adapters cut at the first NUL

    LPWSTR wide = nullptr;
    UINT wideLen = 0;
    if (FAILED(UTF8ToUTF16(text.c_str(), &wide, &wideLen))) {
        delete[] wide;
        return 0;
    }
    char* back = nullptr;
    UINT backLen = 0;
    if (FAILED(UTF16ToUTF8(wide, &back, &backLen))) std::abort();
    if (back[backLen] != '\0') std::abort();

    // Re-encoding its own output must be stable.
    LPWSTR wide2 = nullptr;
    UINT wide2Len = 0;
    if (FAILED(UTF8ToUTF16(back, &wide2, &wide2Len)) || wide2Len != wideLen ||
        std::memcmp(wide2, wide, wideLen * sizeof(WCHAR)) != 0) {
        std::abort();
    }
    delete[] wide;
    delete[] wide2;
    delete[] back;
    return 0;
}
