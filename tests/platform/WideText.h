// UTF-8 test literals as the layer's wide strings.
#pragma once

#include <windows.h>

#include <string>

namespace {

using Wide = std::basic_string<WCHAR>;

inline Wide ToWide(const std::string& text)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    Wide out(n, 0);
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
    out.resize(n - 1);
    return out;
}

}  // namespace
