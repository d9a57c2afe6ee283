// Loading a plug-in as a Windows NPAPI browser does: LoadLibraryW, NP_GetEntryPoints before
// NP_Initialize (both stdcall; NP_Initialize takes the browser's table only), and the
// plug-in's np*.dll beside the executable.
#include "host/PluginLibrary.h"
#include "host/PluginLoader.h"

#include "host/HostPlatform.h"
#include "host/WideText.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

namespace npk::host {

namespace {

using GetMimeDescriptionFn = const char* (*)();
using GetEntryPointsFn = NPError(WINAPI*)(NPPluginFuncs*);
using InitializeFn = NPError(WINAPI*)(NPNetscapeFuncs*);
using ShutdownFn = NPError(WINAPI*)();

HMODULE Module(void* handle)
{
    return static_cast<HMODULE>(handle);
}

template <class Fn>
Fn Export(void* handle, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(Module(handle), name)));
}

std::string SystemText(DWORD code)
{
    WCHAR buf[512] = {};
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                             ARRAYSIZE(buf), nullptr);
    std::string text = Utf8FromWide(std::basic_string<WCHAR>(buf, n));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08lx", static_cast<unsigned long>(code));
    return text.empty() ? std::string("error ") + hex : text + " (" + hex + ")";
}

}  // namespace

std::vector<std::string> PluginSearchDirectories()
{
    std::vector<std::string> dirs;
    std::string exeDir = ExecutableDirectory();
    if (!exeDir.empty()) {
        dirs.push_back(exeDir);
    }
    return dirs;
}

namespace loader {

void* Load(const std::string& path, std::string& why)
{
    // The plug-in's own dependencies are looked for beside it first, as browsers load them.
    HMODULE module = LoadLibraryExW(WideFromUtf8(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        why = SystemText(GetLastError());
    }
    return module;
}

void Unload(void* handle)
{
    FreeLibrary(Module(handle));
}

const char* MimeDescription(void* handle)
{
    auto getMime = Export<GetMimeDescriptionFn>(handle, "NP_GetMIMEDescription");
    return getMime != nullptr ? getMime() : nullptr;
}

bool HasInitialize(void* handle)
{
    return Export<InitializeFn>(handle, "NP_Initialize") != nullptr;
}

NPError GetEntryPoints(void* handle, NPPluginFuncs* funcs, std::string& error)
{
    auto getEntryPoints = Export<GetEntryPointsFn>(handle, "NP_GetEntryPoints");
    if (getEntryPoints == nullptr) {
        error = "no NP_GetEntryPoints, which Windows browsers require";
        return NPERR_INVALID_FUNCTABLE_ERROR;
    }
    return getEntryPoints(funcs);
}

NPError Initialize(void* handle, NPNetscapeFuncs* browser, NPPluginFuncs*)
{
    auto initialize = Export<InitializeFn>(handle, "NP_Initialize");
    return initialize != nullptr ? initialize(browser) : NPERR_INVALID_FUNCTABLE_ERROR;
}

void Shutdown(void* handle)
{
    if (auto shutdown = Export<ShutdownFn>(handle, "NP_Shutdown")) {
        shutdown();
    }
}

std::string PluginString(void*, int)
{
    // Windows browsers read the name and description from the version resource.
    return std::string();
}

std::string UserFilePath(const std::string& path)
{
    // LoadLibrary searches the system's directories for a bare name; a full path is a file.
    std::basic_string<WCHAR> wide = WideFromUtf8(path);
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) {
        return path;
    }
    std::basic_string<WCHAR> full(n, 0);
    n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
    full.resize(n);
    return Utf8FromWide(full);
}

std::vector<std::string> LibrariesIn(const std::string& dir)
{
    // Windows browsers take np*.dll from their plug-in directories.
    std::vector<std::string> out;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(WideFromUtf8(dir + "\\np*.dll").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return out;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            out.push_back(dir + "\\" + Utf8FromWide(found.cFileName));
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(out.begin(), out.end());
    return out;
}

std::string SearchedPlaces()
{
    return "np*.dll beside the host";
}

}  // namespace loader
}  // namespace npk::host
