// Finding, starting and stopping the plug-in library, and its instances, as a Unix NPAPI
// browser does.
#pragma once

#include "npapi.h"
#include "npfunctions.h"
#include "npruntime.h"

#include <memory>
#include <string>
#include <vector>

namespace npk::host {

inline constexpr const char kPluginMimeType[] = "application/npKeystrand";

// True when an NP_GetMIMEDescription text ("type:exts:desc;type:exts:desc") names the type.
bool MimeDescriptionNames(const char* description, const char* mimeType);

// The directories searched, in order, when no library is given.
std::vector<std::string> PluginSearchDirectories();

class PluginLibrary {
public:
    // Opens the library at path, or when path is empty the first library of the search
    // directories whose MIME description names the plug-in's type. Null with a message on failure.
    static std::unique_ptr<PluginLibrary> Open(const std::string& path, std::string& error);

    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // NP_GetEntryPoints (when exported) and NP_Initialize.
    bool Start(std::string& error);

    // NPP_New with the plug-in's MIME type; null with a message on failure.
    NPP NewInstance(std::string& error);
    // The instance's scriptable object (NPP_GetValue); the caller owns the reference.
    NPObject* ScriptableObject(NPP instance, std::string& error);

    // NPP_Destroy for one instance this library created; false when it is not one of them.
    bool DestroyInstance(NPP instance);
    // NPP_Destroy for every instance still alive.
    void DestroyInstances();
    // NP_Shutdown (after DestroyInstances) and unloading; also done by the destructor.
    void Stop();

    const std::string& Path() const { return m_path; }
    const std::string& MimeDescription() const { return m_mimeDescription; }
    // NP_GetValue's name and description; empty when the library does not answer.
    std::string Name() const;
    std::string Description() const;

private:
    PluginLibrary(void* handle, std::string path, std::string mimeDescription);
    std::string PluginString(int variable) const;

    void* m_handle;
    std::string m_path;
    std::string m_mimeDescription;
    NPPluginFuncs m_funcs;
    bool m_started = false;
    std::vector<std::unique_ptr<NPP_t>> m_instances;
};

}  // namespace npk::host
