#include "host/WideText.h"

namespace npk::host {

std::basic_string<WCHAR> WideFromUtf8(const std::string& text)
{
    if (text.empty()) {
        return std::basic_string<WCHAR>();
    }
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) {
        return std::basic_string<WCHAR>();
    }
    std::basic_string<WCHAR> out(static_cast<size_t>(n), 0);
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Utf8FromWide(const std::basic_string<WCHAR>& text)
{
    if (text.empty()) {
        return std::string();
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
        return std::string();
    }
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace npk::host
