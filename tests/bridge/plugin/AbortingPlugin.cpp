// A plug-in for "application/npKeystrand" whose every method call aborts the process: the
// bridge's tests load it to see what a page sees when the plug-in crashes inside a call.
#include "npapi.h"
#include "npfunctions.h"
#include "npruntime.h"

#include <cstdlib>
#include <cstring>

#define NPK_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

NPNetscapeFuncs* g_browser = nullptr;

bool HasMethod(NPObject*, NPIdentifier)
{
    return true;
}

bool Invoke(NPObject*, NPIdentifier, const NPVariant*, uint32_t, NPVariant*)
{
    std::abort();
}

NPClass g_class = {NP_CLASS_STRUCT_VERSION, nullptr, nullptr, nullptr, HasMethod, Invoke, nullptr,
                   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

NPError New(NPMIMEType, NPP instance, uint16_t, int16_t, char**, char**, NPSavedData*)
{
    instance->pdata = nullptr;
    return NPERR_NO_ERROR;
}

NPError Destroy(NPP instance, NPSavedData**)
{
    if (instance->pdata != nullptr) {
        g_browser->releaseobject(static_cast<NPObject*>(instance->pdata));
        instance->pdata = nullptr;
    }
    return NPERR_NO_ERROR;
}

NPError GetValue(NPP instance, NPPVariable variable, void* value)
{
    if (variable != NPPVpluginScriptableNPObject) {
        return NPERR_GENERIC_ERROR;
    }
    if (instance->pdata == nullptr) {
        instance->pdata = g_browser->createobject(instance, &g_class);
    }
    auto* object = static_cast<NPObject*>(instance->pdata);
    *static_cast<NPObject**>(value) = object != nullptr ? g_browser->retainobject(object) : nullptr;
    return object != nullptr ? NPERR_NO_ERROR : NPERR_GENERIC_ERROR;
}

}  // namespace

NPK_EXPORT const char* NP_GetMIMEDescription()
{
    return "application/npKeystrand:*:aborting test plug-in";
}

NPK_EXPORT NPError NP_Initialize(NPNetscapeFuncs* browser, NPPluginFuncs* plugin)
{
    g_browser = browser;
    if (plugin != nullptr) {
        plugin->newp = New;
        plugin->destroy = Destroy;
        plugin->getvalue = GetValue;
    }
    return NPERR_NO_ERROR;
}

NPK_EXPORT NPError NP_Shutdown()
{
    return NPERR_NO_ERROR;
}
