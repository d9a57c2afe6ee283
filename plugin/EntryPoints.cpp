// The library's exports: entry points, start-up and shut-down, and the MIME description.
#include <windows.h>

#include <string.h>

#include "plugin/BrowserTable.h"
#include "plugin/ScriptableObjectBase.h"
#include "trace/Trace.h"

NPNetscapeFuncs g_NPNFuncs = {};
NPClass* g_pScriptableClass = NULL;

namespace {
const char kMIMEDescription[] = "application/npKeystrand:*:npKeystrand certificate utilities";
const char kPluginName[] = "NPRuntimeTest";
const char kPluginDescription[] = "NPRuntime scriptability API test plugin";
}  // namespace

NPError GetEntryPoints(NPPluginFuncs* pFuncs)
{
    TraceHelper trace("GetEntryPoints");
    if (pFuncs == NULL || pFuncs->size < kPluginFuncsBytesUsed) return NPERR_INVALID_FUNCTABLE_ERROR;

    pFuncs->version = kPluginFuncsVersion;
    pFuncs->newp = NPP_New;
    pFuncs->destroy = NPP_Destroy;
    pFuncs->setwindow = NPP_SetWindow;
    pFuncs->newstream = NPP_NewStream;
    pFuncs->destroystream = NPP_DestroyStream;
    pFuncs->asfile = NPP_StreamAsFile;
    pFuncs->writeready = NPP_WriteReady;
    pFuncs->write = NPP_Write;
    pFuncs->print = NPP_Print;
    pFuncs->event = NPP_HandleEvent;
    pFuncs->urlnotify = NPP_URLNotify;
    pFuncs->javaClass = NULL;
    pFuncs->getvalue = NPP_GetValue;
    pFuncs->setvalue = NPP_SetValue;
    return NPERR_NO_ERROR;
}

NPError Initialize(NPNetscapeFuncs* pFuncs)
{
    TraceHelper trace("Initialize");
    if (pFuncs == NULL) return NPERR_INVALID_FUNCTABLE_ERROR;
    if ((pFuncs->version >> 8) > NP_VERSION_MAJOR) return NPERR_INCOMPATIBLE_VERSION_ERROR;
    if (pFuncs->size < kBrowserFuncsBytesRequired) return NPERR_INVALID_FUNCTABLE_ERROR;

    g_NPNFuncs.size = pFuncs->size;
    g_NPNFuncs.version = pFuncs->version;
    // geturl through setexception lie back to back in the table.
    const size_t first = offsetof(NPNetscapeFuncs, geturl);
    memcpy(reinterpret_cast<char*>(&g_NPNFuncs) + first, reinterpret_cast<const char*>(pFuncs) + first,
           kBrowserFuncsBytesUsed - first);
    g_NPNFuncs.getJavaEnv = NULL;
    g_NPNFuncs.getJavaPeer = NULL;
    return NPERR_NO_ERROR;
}

NPError Shutdown()
{
    TraceHelper trace("Shutdown");
    return NPERR_NO_ERROR;
}

const char* GetMIMEDescription()
{
    return kMIMEDescription;
}

const char* NPP_GetMIMEDescription(void)
{
    return GetMIMEDescription();
}

extern "C" {

NP_EXPORT(NPError) OSCALL NP_GetEntryPoints(NPPluginFuncs* pFuncs)
{
    NPK_TRACE(TRACE_INFORMATION, TraceMsg(TRACE_GUID_ENTRY_POINTS, 10));
    g_pScriptableClass = CScriptablePluginObjectBase::ScriptableClass();
    return GetEntryPoints(pFuncs);
}

#if defined(_WIN32)
NPError OSCALL NP_Initialize(NPNetscapeFuncs* pFuncs)
{
    LoadTraceSupport();
    InitTracing();
    NPK_TRACE(TRACE_INFORMATION, TraceMsg(TRACE_GUID_ENTRY_POINTS, 11));
    return Initialize(pFuncs);
}
#else
// The Unix form: the browser may hand over its plug-in table here instead of calling
// NP_GetEntryPoints.
NP_EXPORT(NPError) NP_Initialize(NPNetscapeFuncs* pFuncs, NPPluginFuncs* pPluginFuncs)
{
    LoadTraceSupport();
    InitTracing();
    NPK_TRACE(TRACE_INFORMATION, TraceMsg(TRACE_GUID_ENTRY_POINTS, 11));
    NPError err = Initialize(pFuncs);
    if (err != NPERR_NO_ERROR || pPluginFuncs == NULL) return err;
    g_pScriptableClass = CScriptablePluginObjectBase::ScriptableClass();
    return GetEntryPoints(pPluginFuncs);
}

// Unix browsers ask the library itself for its name and description.
NP_EXPORT(NPError) NP_GetValue(void* future, NPPVariable variable, void* value)
{
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_ENTRY_POINTS, 14, variable));
    if (value == NULL) return NPERR_INVALID_PARAM;
    switch (variable) {
    case NPPVpluginNameString:
        *static_cast<const char**>(value) = kPluginName;
        return NPERR_NO_ERROR;
    case NPPVpluginDescriptionString:
        *static_cast<const char**>(value) = kPluginDescription;
        return NPERR_NO_ERROR;
    default:
        return NPERR_GENERIC_ERROR;
    }
}
#endif

NP_EXPORT(NPError) OSCALL NP_Shutdown(void)
{
    NPK_TRACE(TRACE_INFORMATION, TraceMsg(TRACE_GUID_ENTRY_POINTS, 12));
    CleanupTracing();
    return Shutdown();
}

NP_EXPORT(const char*) NP_GetMIMEDescription(void)
{
    NPK_TRACE(TRACE_INFORMATION, TraceMsg(TRACE_GUID_ENTRY_POINTS, 13));
    return GetMIMEDescription();
}

}  // extern "C"
