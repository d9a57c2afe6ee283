#include "host/PluginLibrary.h"

#include "host/Browser.h"

#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace npk::host {

namespace {

using GetMimeDescriptionFn = const char* (*)();
using GetEntryPointsFn = NPError (*)(NPPluginFuncs*);
using InitializeFn = NPError (*)(NPNetscapeFuncs*, NPPluginFuncs*);
using ShutdownFn = NPError (*)();
using GetValueFn = NPError (*)(void*, NPPVariable, void*);

std::string ExecutableDirectory()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) {
        return std::string();
    }
    std::string path(buf, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool EndsWith(const std::string& s, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
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

// NPKEYSTRAND_KEEP_PLUGIN_LOADED keeps unloaded libraries mapped, so that a leak checker
// running at exit can still see (and name) what a plug-in's globals hold.
int OpenFlags()
{
    const char* keep = std::getenv("NPKEYSTRAND_KEEP_PLUGIN_LOADED");
    return RTLD_NOW | RTLD_LOCAL | (keep != nullptr && *keep != '\0' ? RTLD_NODELETE : 0);
}

// Opens a library and reads its MIME description; null when it is not a plug-in.
void* OpenCandidate(const std::string& path, std::string& description, std::string& why)
{
    void* handle = dlopen(path.c_str(), OpenFlags());
    if (handle == nullptr) {
        const char* e = dlerror();
        why = e != nullptr ? e : "cannot be loaded";
        return nullptr;
    }
    auto getMime = reinterpret_cast<GetMimeDescriptionFn>(dlsym(handle, "NP_GetMIMEDescription"));
    const char* text = getMime != nullptr ? getMime() : nullptr;
    if (text == nullptr) {
        why = "not an NPAPI plug-in (no NP_GetMIMEDescription)";
        dlclose(handle);
        return nullptr;
    }
    description = text;
    return handle;
}

}  // namespace

bool MimeDescriptionNames(const char* description, const char* mimeType)
{
    if (description == nullptr || mimeType == nullptr) {
        return false;
    }
    const std::string text = description;
    const size_t want = std::strlen(mimeType);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        size_t colon = text.find(':', start);
        size_t typeEnd = (colon == std::string::npos || colon > end) ? end : colon;
        // MIME types compare without regard to case; blanks around an entry are ignored.
        size_t b = start;
        while (b < typeEnd && text[b] == ' ') {
            ++b;
        }
        size_t e = typeEnd;
        while (e > b && text[e - 1] == ' ') {
            --e;
        }
        if (e - b == want && strncasecmp(text.c_str() + b, mimeType, want) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

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

std::unique_ptr<PluginLibrary> PluginLibrary::Open(const std::string& path, std::string& error)
{
    std::string description;
    std::string why;
    if (!path.empty()) {
        // dlopen searches the system's directories for a bare name; a user means a file.
        std::string file = path.find('/') == std::string::npos ? "./" + path : path;
        void* handle = OpenCandidate(file, description, why);
        if (handle == nullptr) {
            error = file + ": " + why;
            return nullptr;
        }
        if (!MimeDescriptionNames(description.c_str(), kPluginMimeType)) {
            dlclose(handle);
            error = file + ": does not handle " + kPluginMimeType;
            return nullptr;
        }
        return std::unique_ptr<PluginLibrary>(new PluginLibrary(handle, file, description));
    }
    for (const std::string& dir : PluginSearchDirectories()) {
        for (const std::string& candidate : LibrariesIn(dir)) {
            void* handle = OpenCandidate(candidate, description, why);
            if (handle == nullptr) {
                continue;
            }
            if (MimeDescriptionNames(description.c_str(), kPluginMimeType)) {
                return std::unique_ptr<PluginLibrary>(new PluginLibrary(handle, candidate, description));
            }
            dlclose(handle);
        }
    }
    error = std::string("no plug-in for ") + kPluginMimeType +
            " found (searched MOZ_PLUGIN_PATH, ~/.mozilla/plugins, /usr/lib/mozilla/plugins, ../lib and "
            "../lib/mozilla/plugins next to the host; use --plugin PATH)";
    return nullptr;
}

PluginLibrary::PluginLibrary(void* handle, std::string path, std::string mimeDescription)
    : m_handle(handle), m_path(std::move(path)), m_mimeDescription(std::move(mimeDescription))
{
    std::memset(&m_funcs, 0, sizeof(m_funcs));
}

PluginLibrary::~PluginLibrary()
{
    Stop();
}

bool PluginLibrary::Start(std::string& error)
{
    auto getEntryPoints = reinterpret_cast<GetEntryPointsFn>(dlsym(m_handle, "NP_GetEntryPoints"));
    auto initialize = reinterpret_cast<InitializeFn>(dlsym(m_handle, "NP_Initialize"));
    if (initialize == nullptr) {
        error = m_path + ": no NP_Initialize";
        return false;
    }
    std::memset(&m_funcs, 0, sizeof(m_funcs));
    m_funcs.size = sizeof(m_funcs);
    if (getEntryPoints != nullptr) {
        NPError err = getEntryPoints(&m_funcs);
        if (err != NPERR_NO_ERROR) {
            error = m_path + ": NP_GetEntryPoints failed with NPError " + std::to_string(err);
            return false;
        }
    }
    NPError err = initialize(browser::Functions(), &m_funcs);
    if (err != NPERR_NO_ERROR) {
        error = m_path + ": NP_Initialize failed with NPError " + std::to_string(err);
        return false;
    }
    m_started = true;
    if (m_funcs.newp == nullptr || m_funcs.destroy == nullptr || m_funcs.getvalue == nullptr) {
        error = m_path + ": the plug-in gave no NPP_New, NPP_Destroy or NPP_GetValue";
        return false;
    }
    return true;
}

NPP PluginLibrary::NewInstance(std::string& error)
{
    if (!m_started || m_funcs.newp == nullptr) {
        error = "the plug-in is not started";
        return nullptr;
    }
    auto npp = std::make_unique<NPP_t>();
    npp->pdata = nullptr;
    npp->ndata = this;
    char typeName[] = "type";
    char typeValue[sizeof(kPluginMimeType)];
    std::memcpy(typeValue, kPluginMimeType, sizeof(kPluginMimeType));
    char* argn[] = {typeName};
    char* argv[] = {typeValue};
    NPError err = m_funcs.newp(typeValue, npp.get(), NP_EMBED, 1, argn, argv, nullptr);
    if (err != NPERR_NO_ERROR) {
        error = "NPP_New failed with NPError " + std::to_string(err);
        return nullptr;
    }
    m_instances.push_back(std::move(npp));
    return m_instances.back().get();
}

NPObject* PluginLibrary::ScriptableObject(NPP instance, std::string& error)
{
    NPObject* object = nullptr;
    NPError err = m_funcs.getvalue(instance, NPPVpluginScriptableNPObject, &object);
    if (err != NPERR_NO_ERROR || object == nullptr) {
        error = "the plug-in instance has no scriptable object (NPError " + std::to_string(err) + ")";
        return nullptr;
    }
    return object;
}

bool PluginLibrary::DestroyInstance(NPP instance)
{
    auto it = std::find_if(m_instances.begin(), m_instances.end(),
                           [instance](const std::unique_ptr<NPP_t>& npp) { return npp.get() == instance; });
    if (it == m_instances.end()) {
        return false;
    }
    NPSavedData* saved = nullptr;
    m_funcs.destroy(instance, &saved);
    if (saved != nullptr) {
        browser::Functions()->memfree(saved->buf);
        browser::Functions()->memfree(saved);
    }
    m_instances.erase(it);
    return true;
}

void PluginLibrary::DestroyInstances()
{
    for (auto& npp : m_instances) {
        NPSavedData* saved = nullptr;
        m_funcs.destroy(npp.get(), &saved);
        if (saved != nullptr) {
            // Saved data is the browser's to free; this host never restores an instance.
            browser::Functions()->memfree(saved->buf);
            browser::Functions()->memfree(saved);
        }
    }
    m_instances.clear();
}

void PluginLibrary::Stop()
{
    if (m_handle == nullptr) {
        return;
    }
    if (m_started) {
        DestroyInstances();
        if (auto shutdown = reinterpret_cast<ShutdownFn>(dlsym(m_handle, "NP_Shutdown"))) {
            shutdown();
        }
        m_started = false;
    }
    dlclose(m_handle);
    m_handle = nullptr;
}

std::string PluginLibrary::PluginString(int variable) const
{
    if (m_handle == nullptr) {
        return std::string();
    }
    auto getValue = reinterpret_cast<GetValueFn>(dlsym(m_handle, "NP_GetValue"));
    const char* text = nullptr;
    if (getValue != nullptr &&
        getValue(nullptr, static_cast<NPPVariable>(variable), &text) == NPERR_NO_ERROR && text != nullptr) {
        return text;
    }
    return std::string();
}

std::string PluginLibrary::Name() const
{
    return PluginString(NPPVpluginNameString);
}

std::string PluginLibrary::Description() const
{
    return PluginString(NPPVpluginDescriptionString);
}

}  // namespace npk::host
