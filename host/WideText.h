// UTF-8 and the UTF-16 of the Windows interfaces, for the Windows build of the host.
#pragma once

#include <windows.h>

#include <string>

namespace npk::host {

std::basic_string<WCHAR> WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::basic_string<WCHAR>& text);

}  // namespace npk::host
