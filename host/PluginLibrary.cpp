#include "host/PluginLibrary.h"

#include "host/Browser.h"
#include "host/PluginLoader.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace npk::host {

namespace {

// Opens a library and reads its MIME description; null when it is not a plug-in.
void* OpenCandidate(const std::string& path, std::string& description, std::string& why)
{
    void* handle = loader::Load(path, why);
    if (handle == nullptr) {
        return nullptr;
    }
    const char* text = loader::MimeDescription(handle);
    if (text == nullptr) {
        why = "not an NPAPI plug-in (no NP_GetMIMEDescription)";
        loader::Unload(handle);
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

std::unique_ptr<PluginLibrary> PluginLibrary::Open(const std::string& path, std::string& error)
{
    std::string description;
    std::string why;
    if (!path.empty()) {
        std::string file = loader::UserFilePath(path);
        void* handle = OpenCandidate(file, description, why);
        if (handle == nullptr) {
            error = file + ": " + why;
            return nullptr;
        }
        if (!MimeDescriptionNames(description.c_str(), kPluginMimeType)) {
            loader::Unload(handle);
            error = file + ": does not handle " + kPluginMimeType;
            return nullptr;
        }
        return std::unique_ptr<PluginLibrary>(new PluginLibrary(handle, file, description));
    }
    for (const std::string& dir : PluginSearchDirectories()) {
        for (const std::string& candidate : loader::LibrariesIn(dir)) {
            void* handle = OpenCandidate(candidate, description, why);
            if (handle == nullptr) {
                continue;
            }
            if (MimeDescriptionNames(description.c_str(), kPluginMimeType)) {
                return std::unique_ptr<PluginLibrary>(new PluginLibrary(handle, candidate, description));
            }
            loader::Unload(handle);
        }
    }
    error = std::string("no plug-in for ") + kPluginMimeType + " found (searched " + loader::SearchedPlaces() +
            "; use --plugin PATH)";
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
    if (!loader::HasInitialize(m_handle)) {
        error = m_path + ": no NP_Initialize";
        return false;
    }
    std::memset(&m_funcs, 0, sizeof(m_funcs));
    m_funcs.size = sizeof(m_funcs);
    std::string why;
    NPError err = loader::GetEntryPoints(m_handle, &m_funcs, why);
    if (err != NPERR_NO_ERROR) {
        error = m_path + ": " + (why.empty() ? "NP_GetEntryPoints failed with NPError " + std::to_string(err) : why);
        return false;
    }
    err = loader::Initialize(m_handle, browser::Functions(), &m_funcs);
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
        loader::Shutdown(m_handle);
        m_started = false;
    }
    loader::Unload(m_handle);
    m_handle = nullptr;
}

std::string PluginLibrary::PluginString(int variable) const
{
    return m_handle != nullptr ? loader::PluginString(m_handle, variable) : std::string();
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
