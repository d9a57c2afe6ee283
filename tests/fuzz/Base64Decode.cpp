// Base64 text from a page is never rejected for its content: whatever the bytes, decoding
// must stay inside its buffer, emit at most three bytes per four source bytes, and agree
// with a decode of the same text without its non-symbols.
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernel/Encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 20) return 0;
    BYTE* decoded = nullptr;
    int decodedLen = -1;
    HRESULT hr = Base64DecodeEx(reinterpret_cast<const char*>(data), static_cast<int>(size), &decoded, &decodedLen);
    if (size == 0) {
        if (SUCCEEDED(hr) || decoded != nullptr) std::abort();
        return 0;
    }
    if (FAILED(hr) || decoded == nullptr || decodedLen < 0 || static_cast<size_t>(decodedLen) > size * 3 / 4 + 1) {
        std::abort();
    }

    // Only symbols count, and a NUL where a group would begin ends the text; a group begins
    // with whatever byte follows the previous group, symbol or not.
    auto isSymbol = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
    };
    std::string symbols;
    bool groupStart = true;
    int taken = 0;
    for (size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (groupStart) {
            if (c == '\0') break;
            groupStart = false;
        }
        if (isSymbol(c)) {
            symbols += c;
            if (++taken == 4) {
                taken = 0;
                groupStart = true;
            }
        }
    }
    if (!symbols.empty()) {
        BYTE* clean = nullptr;
        int cleanLen = -1;
        if (FAILED(Base64DecodeEx(symbols.data(), static_cast<int>(symbols.size()), &clean, &cleanLen))) std::abort();
        if (cleanLen != decodedLen || std::memcmp(clean, decoded, static_cast<size_t>(cleanLen)) != 0) std::abort();
        delete[] clean;
    } else if (decodedLen != 0) {
        std::abort();
    }
    delete[] decoded;
    return 0;
}
