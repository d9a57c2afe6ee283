// Loading a plug-in as a Unix NPAPI browser does: dlopen, NP_Initialize with both tables,
// and the directories Unix browsers search.
#include "host/PluginLibrary.h"
#include "host/PluginLoader.h"

#include "host/HostPlatform.h"

#include <dirent.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace npk::host {

namespace {

using GetMimeDescriptionFn = const char* (*)();
using GetEntryPointsFn = NPError (*)(NPPluginFuncs*);
using InitializeFn = NPError (*)(NPNetscapeFuncs*, NPPluginFuncs*);
using ShutdownFn = NPError (*)();
using GetValueFn = NPError (*)(void*, NPPVariable, void*);

bool EndsWith(const std::string& s, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// NPKEYSTRAND_KEEP_PLUGIN_LOADED keeps unloaded libraries mapped, so that a leak checker
// running at exit can still see (and name) what a plug-in's globals hold.
int OpenFlags()
{
    const char* keep = std::getenv("NPKEYSTRAND_KEEP_PLUGIN_LOADED");
    return RTLD_NOW | RTLD_LOCAL | (keep != nullptr && *keep != '\0' ? RTLD_NODELETE : 0);
}

}  // namespace

std::vector<std::string> PluginSearchDirectories()
{
    std::vector<std::string> dirs;
    if (const char* env = std::getenv("MOZ_PLUGIN_PATH")) {
        std::string list = env;
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find(':', start);
            if (end == std::string::npos) {
                end = list.size();
            }
            if (end > start) {
                dirs.push_back(list.substr(start, end - start));
            }
            start = end + 1;
        }
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        dirs.push_back(std::string(home) + "/.mozilla/plugins");
    }
    dirs.push_back("/usr/lib/mozilla/plugins");
    std::string exeDir = ExecutableDirectory();
    if (!exeDir.empty()) {
        dirs.push_back(exeDir + "/../lib");
        // An installed host keeps its plug-in in the NPAPI directory under its own prefix.
        dirs.push_back(exeDir + "/../lib/mozilla/plugins");
    }
    return dirs;
}

namespace loader {

void* Load(const std::string& path, std::string& why)
{
    void* handle = dlopen(path.c_str(), OpenFlags());
    if (handle == nullptr) {
        const char* e = dlerror();
        why = e != nullptr ? e : "cannot be loaded";
    }
    return handle;
}

void Unload(void* handle)
{
    dlclose(handle);
}

const char* MimeDescription(void* handle)
{
    auto getMime = reinterpret_cast<GetMimeDescriptionFn>(dlsym(handle, "NP_GetMIMEDescription"));
    return getMime != nullptr ? getMime() : nullptr;
}

bool HasInitialize(void* handle)
{
    return dlsym(handle, "NP_Initialize") != nullptr;
}

NPError GetEntryPoints(void* handle, NPPluginFuncs* funcs, std::string&)
{
    // Unix plug-ins may fill their table in NP_Initialize instead.
    auto getEntryPoints = reinterpret_cast<GetEntryPointsFn>(dlsym(handle, "NP_GetEntryPoints"));
    return getEntryPoints != nullptr ? getEntryPoints(funcs) : NPERR_NO_ERROR;
}

NPError Initialize(void* handle, NPNetscapeFuncs* browser, NPPluginFuncs* funcs)
{
    auto initialize = reinterpret_cast<InitializeFn>(dlsym(handle, "NP_Initialize"));
    return initialize != nullptr ? initialize(browser, funcs) : NPERR_INVALID_FUNCTABLE_ERROR;
}

void Shutdown(void* handle)
{
    if (auto shutdown = reinterpret_cast<ShutdownFn>(dlsym(handle, "NP_Shutdown"))) {
        shutdown();
    }
}

std::string PluginString(void* handle, int variable)
{
    auto getValue = reinterpret_cast<GetValueFn>(dlsym(handle, "NP_GetValue"));
    const char* text = nullptr;
    if (getValue != nullptr &&
        getValue(nullptr, static_cast<NPPVariable>(variable), &text) == NPERR_NO_ERROR && text != nullptr) {
        return text;
    }
    return std::string();
}

std::string UserFilePath(const std::string& path)
{
    // dlopen searches the system's directories for a bare name.
    return path.find('/') == std::string::npos ? "./" + path : path;
}

std::vector<std::string> LibrariesIn(const std::string& dir)
{
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return out;
    }
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name[0] != '.' && EndsWith(name, ".so")) {
            out.push_back(dir + "/" + name);
        }
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

std::string SearchedPlaces()
{
    return "MOZ_PLUGIN_PATH, ~/.mozilla/plugins, /usr/lib/mozilla/plugins, ../lib and ../lib/mozilla/plugins "
           "next to the host";
}

}  // namespace loader
}  // namespace npk::host
