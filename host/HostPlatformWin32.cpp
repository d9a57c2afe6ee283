#include "host/HostPlatform.h"

#include "host/WideText.h"

#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <vector>

namespace npk::host {

void PrepareProcess(int& argc, char**& argv)
{
    // Pages print UTF-8 with bare line feeds, as on every other platform.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);

    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return;  // keep the ANSI arguments
    }
    static std::vector<std::string> storage;
    static std::vector<char*> pointers;
    storage.clear();
    for (int i = 0; i < count; ++i) {
        storage.push_back(Utf8FromWide(wide[i]));
    }
    LocalFree(wide);
    pointers.clear();
    for (std::string& s : storage) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    argc = count;
    argv = pointers.data();
}

bool ReadWholeFile(const std::string& path, std::string& bytes)
{
    std::basic_string<WCHAR> widePath = WideFromUtf8(path);
    HANDLE file = CreateFileW(widePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bytes.clear();
    bool ok = true;
    char buf[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buf, sizeof(buf), &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) {
            break;
        }
        bytes.append(buf, got);
    }
    CloseHandle(file);
    return ok;
}

std::string ExecutableDirectory()
{
    std::vector<WCHAR> buf(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) {
            return std::string();
        }
        if (n < buf.size()) {
            std::string path = Utf8FromWide(std::basic_string<WCHAR>(buf.data(), n));
            size_t sep = path.find_last_of("\\/");
            return sep == std::string::npos ? std::string() : path.substr(0, sep);
        }
        buf.resize(buf.size() * 2);  // truncated: try a larger buffer
    }
}

}  // namespace npk::host
