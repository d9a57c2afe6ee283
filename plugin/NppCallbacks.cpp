// The NPP_* callbacks the browser calls through the plug-in table. The plug-in draws
// nothing and takes no streams, so most of them only answer.
#include <new>

#include "plugin/BrowserTable.h"
#include "plugin/Plugin.h"
#include "trace/Trace.h"

namespace {
const char kPluginName[] = "NPRuntimeTest";
const char kPluginDescription[] = "NPRuntime scriptability API test plugin";
}  // namespace

NPError NPP_New(NPMIMEType pluginType, NPP instance, uint16_t mode, int16_t argc, char* argn[], char* argv[],
                NPSavedData* saved)
{
    TraceHelper trace("NPP_New");
    NPK_TRACE(TRACE_INFORMATION, TraceMsgAI32(TRACE_GUID_NPP, 10, pluginType, mode));
    if (instance == NULL) return NPERR_INVALID_INSTANCE_ERROR;

    CPlugin* pPlugin = new (std::nothrow) CPlugin(instance);
    if (pPlugin == NULL) return NPERR_OUT_OF_MEMORY_ERROR;
    instance->pdata = pPlugin;
    return NPERR_NO_ERROR;
}

NPError NPP_Destroy(NPP instance, NPSavedData** save)
{
    TraceHelper trace("NPP_Destroy");
    if (instance == NULL) return NPERR_INVALID_INSTANCE_ERROR;

    CPlugin* pPlugin = static_cast<CPlugin*>(instance->pdata);
    if (pPlugin != NULL) {
        pPlugin->shut();
        delete pPlugin;
        // The instance must not keep pointing at the freed object.
        instance->pdata = NULL;
    }
    return NPERR_NO_ERROR;
}

NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value)
{
    TraceHelper trace("NPP_GetValue");
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_NPP, 11, variable));
    if (instance == NULL) return NPERR_INVALID_INSTANCE_ERROR;
    CPlugin* pPlugin = static_cast<CPlugin*>(instance->pdata);
    if (pPlugin == NULL || value == NULL) return NPERR_GENERIC_ERROR;

    switch (variable) {
    case NPPVpluginNameString:
        *static_cast<const char**>(value) = kPluginName;
        return NPERR_NO_ERROR;
    case NPPVpluginDescriptionString:
        *static_cast<const char**>(value) = kPluginDescription;
        return NPERR_NO_ERROR;
    case NPPVpluginNeedsXEmbed:
        *static_cast<NPBool*>(value) = TRUE;
        return NPERR_NO_ERROR;
    case NPPVpluginScriptableNPObject: {
        NPObject* pObject = pPlugin->GetScriptableObject();
        *static_cast<NPObject**>(value) = pObject;
        return pObject != NULL ? NPERR_NO_ERROR : NPERR_GENERIC_ERROR;
    }
    default:
        return NPERR_GENERIC_ERROR;
    }
}

NPError NPP_SetValue(NPP instance, NPNVariable variable, void* value)
{
    TraceHelper trace("NPP_SetValue");
    return instance == NULL ? NPERR_INVALID_INSTANCE_ERROR : NPERR_NO_ERROR;
}

NPError NPP_SetWindow(NPP instance, NPWindow* window)
{
    TraceHelper trace("NPP_SetWindow");
    return instance == NULL ? NPERR_INVALID_INSTANCE_ERROR : NPERR_NO_ERROR;
}

NPError NPP_NewStream(NPP instance, NPMIMEType type, NPStream* stream, NPBool seekable, uint16_t* stype)
{
    TraceHelper trace("NPP_NewStream");
    return instance == NULL ? NPERR_INVALID_INSTANCE_ERROR : NPERR_NO_ERROR;
}

NPError NPP_DestroyStream(NPP instance, NPStream* stream, NPReason reason)
{
    TraceHelper trace("NPP_DestroyStream");
    return instance == NULL ? NPERR_INVALID_INSTANCE_ERROR : NPERR_NO_ERROR;
}

int32_t NPP_WriteReady(NPP instance, NPStream* stream)
{
    TraceHelper trace("NPP_WriteReady");
    return instance == NULL ? NPERR_INVALID_INSTANCE_ERROR : 0x0FFFFFFF;
}

int32_t NPP_Write(NPP instance, NPStream* stream, int32_t offset, int32_t len, void* buffer)
{
    TraceHelper trace("NPP_Write");
    return instance == NULL ? NPERR_INVALID_INSTANCE_ERROR : len;
}

void NPP_StreamAsFile(NPP instance, NPStream* stream, const char* fname)
{
    TraceHelper trace("NPP_StreamAsFile");
}

void NPP_Print(NPP instance, NPPrint* platformPrint)
{
    TraceHelper trace("NPP_Print");
}

void NPP_URLNotify(NPP instance, const char* url, NPReason reason, void* notifyData)
{
    TraceHelper trace("NPP_URLNotify");
}

int16_t NPP_HandleEvent(NPP instance, void* event)
{
    TraceHelper trace("NPP_HandleEvent");
    if (instance == NULL) return 0;
    CPlugin* pPlugin = static_cast<CPlugin*>(instance->pdata);
    return pPlugin != NULL ? pPlugin->handleEvent(event) : 0;
}
