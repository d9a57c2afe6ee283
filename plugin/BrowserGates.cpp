// Gates to the browser. Each traces its entry and exit and returns what the browser
// returned; a missing browser entry answers as a failing browser would.
#include "plugin/BrowserGates.h"

#include "plugin/BrowserTable.h"
#include "trace/Trace.h"

namespace {
const NPUTF8 kExceptionMessage[] = "Selecte ERROR";
}

void* NPN_MemAlloc(uint32_t size)
{
    TraceHelper trace("NPN_MemAlloc");
    return g_NPNFuncs.memalloc != NULL ? g_NPNFuncs.memalloc(size) : NULL;
}

NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name)
{
    TraceHelper trace("NPN_GetStringIdentifier");
    return g_NPNFuncs.getstringidentifier != NULL ? g_NPNFuncs.getstringidentifier(name) : NULL;
}

NPUTF8* NPN_UTF8FromIdentifier(NPIdentifier identifier)
{
    TraceHelper trace("NPN_UTF8FromIdentifier");
    return g_NPNFuncs.utf8fromidentifier != NULL ? g_NPNFuncs.utf8fromidentifier(identifier) : NULL;
}

NPObject* NPN_CreateObject(NPP npp, NPClass* aClass)
{
    TraceHelper trace("NPN_CreateObject");
    return g_NPNFuncs.createobject != NULL ? g_NPNFuncs.createobject(npp, aClass) : NULL;
}

NPObject* NPN_RetainObject(NPObject* npobj)
{
    TraceHelper trace("NPN_RetainObject");
    return g_NPNFuncs.retainobject != NULL ? g_NPNFuncs.retainobject(npobj) : NULL;
}

void NPN_ReleaseObject(NPObject* npobj)
{
    TraceHelper trace("NPN_ReleaseObject");
    if (g_NPNFuncs.releaseobject != NULL) g_NPNFuncs.releaseobject(npobj);
}

void NPN_SetException(NPObject* npobj)
{
    TraceHelper trace("NPN_SetException");
    if (g_NPNFuncs.setexception != NULL) g_NPNFuncs.setexception(npobj, kExceptionMessage);
}

void FreeBrowserMemory(void* pv)
{
    if (pv != NULL && g_NPNFuncs.memfree != NULL) g_NPNFuncs.memfree(pv);
}
