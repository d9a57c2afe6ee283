// CPlugin: the per-instance object behind NPP_New and NPP_Destroy.
#include "plugin/Plugin.h"

#include "plugin/BrowserTable.h"
#include "trace/Trace.h"

CPlugin::CPlugin(NPP pNPInstance) : m_pNPInstance(pNPInstance), m_pScriptableObject(NULL)
{
    TraceHelper trace("CPlugin::CPlugin");
    m_pNPInstance->pdata = this;
}

CPlugin::~CPlugin()
{
    TraceHelper trace("CPlugin::~CPlugin");
    if (m_pScriptableObject != NULL) {
        NPN_ReleaseObject(m_pScriptableObject);
        m_pScriptableObject = NULL;
    }
}

NPObject* CPlugin::GetScriptableObject()
{
    TraceHelper trace("CPlugin::GetScriptableObject");
    if (m_pScriptableObject == NULL) {
        if (g_pScriptableClass == NULL) {
            NPK_TRACE(TRACE_ERROR, TraceMsg(TRACE_GUID_CPLUGIN, 10));
            return NULL;
        }
        m_pScriptableObject = NPN_CreateObject(m_pNPInstance, g_pScriptableClass);
    }
    if (m_pScriptableObject != NULL) NPN_RetainObject(m_pScriptableObject);
    return m_pScriptableObject;
}

int16_t CPlugin::handleEvent(void* event)
{
    TraceHelper trace("CPlugin::handleEvent");
    return 0;
}

void CPlugin::shut()
{
    TraceHelper trace("CPlugin::shut");
}
