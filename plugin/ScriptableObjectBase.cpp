// The base operations (trace only) and the trampolines of the scriptable class.
#include "plugin/ScriptableObjectBase.h"

#include <new>

#include "plugin/ScriptablePluginObject.h"
#include "trace/Trace.h"

namespace {
NPClass s_ScriptableClass = {
    NP_CLASS_STRUCT_VERSION,
    AllocateCScriptableObject,
    CScriptablePluginObjectBase::_Deallocate,
    CScriptablePluginObjectBase::_Invalidate,
    CScriptablePluginObjectBase::_HasMethod,
    CScriptablePluginObjectBase::_Invoke,
    CScriptablePluginObjectBase::_InvokeDefault,
    CScriptablePluginObjectBase::_HasProperty,
    CScriptablePluginObjectBase::_GetProperty,
    CScriptablePluginObjectBase::_SetProperty,
    CScriptablePluginObjectBase::_RemoveProperty,
    CScriptablePluginObjectBase::_Enumerate,
    CScriptablePluginObjectBase::_Construct,
};

// The browser's pointer is the NPObject part of our object.
CScriptablePluginObjectBase* FromNPObject(NPObject* npobj)
{
    return static_cast<CScriptablePluginObjectBase*>(npobj);
}
}  // namespace

NPClass* CScriptablePluginObjectBase::ScriptableClass()
{
    return &s_ScriptableClass;
}

NPObject* AllocateCScriptableObject(NPP npp, NPClass* aClass)
{
    NPK_TRACE(TRACE_INFORMATION, TraceMsg(TRACE_GUID_SCRIPTABLE, 10));
    return new (std::nothrow) CScriptablePluginObject(npp);
}

void CScriptablePluginObjectBase::Invalidate()
{
    TraceHelper trace("CScriptablePluginObjectBase::Invalidate");
}

bool CScriptablePluginObjectBase::HasMethod(NPIdentifier name)
{
    TraceHelper trace("CScriptablePluginObjectBase::HasMethod");
    return false;
}

bool CScriptablePluginObjectBase::Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                                         NPVariant* result)
{
    TraceHelper trace("CScriptablePluginObjectBase::Invoke");
    return false;
}

bool CScriptablePluginObjectBase::InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result)
{
    TraceHelper trace("CScriptablePluginObjectBase::InvokeDefault");
    return false;
}

bool CScriptablePluginObjectBase::HasProperty(NPIdentifier name)
{
    TraceHelper trace("CScriptablePluginObjectBase::HasProperty");
    return false;
}

bool CScriptablePluginObjectBase::GetProperty(NPIdentifier name, NPVariant* result)
{
    TraceHelper trace("CScriptablePluginObjectBase::GetProperty");
    return false;
}

bool CScriptablePluginObjectBase::SetProperty(NPIdentifier name, const NPVariant* value)
{
    TraceHelper trace("CScriptablePluginObjectBase::SetProperty");
    return false;
}

bool CScriptablePluginObjectBase::RemoveProperty(NPIdentifier name)
{
    TraceHelper trace("CScriptablePluginObjectBase::RemoveProperty");
    return false;
}

bool CScriptablePluginObjectBase::Enumerate(NPIdentifier** identifier, uint32_t* count)
{
    TraceHelper trace("CScriptablePluginObjectBase::Enumerate");
    return false;
}

bool CScriptablePluginObjectBase::Construct(const NPVariant* args, uint32_t argCount, NPVariant* result)
{
    TraceHelper trace("CScriptablePluginObjectBase::Construct");
    return false;
}

// Trampolines. A null object pointer from the browser is answered as a failed call.

void CScriptablePluginObjectBase::_Deallocate(NPObject* npobj)
{
    TraceHelper trace("CScriptablePluginObjectBase::_Deallocate");
    delete FromNPObject(npobj);
}

void CScriptablePluginObjectBase::_Invalidate(NPObject* npobj)
{
    TraceHelper trace("CScriptablePluginObjectBase::_Invalidate");
    if (CScriptablePluginObjectBase* p = FromNPObject(npobj)) p->Invalidate();
}

bool CScriptablePluginObjectBase::_HasMethod(NPObject* npobj, NPIdentifier name)
{
    TraceHelper trace("CScriptablePluginObjectBase::_HasMethod");
    CScriptablePluginObjectBase* p = FromNPObject(npobj);
    return p != NULL && p->HasMethod(name);
}

bool CScriptablePluginObjectBase::_Invoke(NPObject* npobj, NPIdentifier name, const NPVariant* args,
                                          uint32_t argCount, NPVariant* result)
{
    TraceHelper trace("CScriptablePluginObjectBase::_Invoke");
    CScriptablePluginObjectBase* p = FromNPObject(npobj);
    return p != NULL && p->Invoke(name, args, argCount, result);
}

bool CScriptablePluginObjectBase::_InvokeDefault(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                                                 NPVariant* result)
{
    TraceHelper trace("CScriptablePluginObjectBase::_InvokeDefault");
    CScriptablePluginObjectBase* p = FromNPObject(npobj);
    return p != NULL && p->InvokeDefault(args, argCount, result);
}

bool CScriptablePluginObjectBase::_HasProperty(NPObject* npobj, NPIdentifier name)
{
    TraceHelper trace("CScriptablePluginObjectBase::_HasProperty");
    CScriptablePluginObjectBase* p = FromNPObject(npobj);
    return p != NULL && p->HasProperty(name);
}

bool CScriptablePluginObjectBase::_GetProperty(NPObject* npobj, NPIdentifier name, NPVariant* result)
{
    TraceHelper trace("CScriptablePluginObjectBase::_GetProperty");
    CScriptablePluginObjectBase* p = FromNPObject(npobj);
    return p != NULL && p->GetProperty(name, result);
}

bool CScriptablePluginObjectBase::_SetProperty(NPObject* npobj, NPIdentifier name, const NPVariant* value)
{
    TraceHelper trace("CScriptablePluginObjectBase::_SetProperty");
    CScriptablePluginObjectBase* p = FromNPObject(npobj);
    return p != NULL && p->SetProperty(name, value);
}

bool CScriptablePluginObjectBase::_RemoveProperty(NPObject* npobj, NPIdentifier name)
{
    TraceHelper trace("CScriptablePluginObjectBase::_RemoveProperty");
    CScriptablePluginObjectBase* p = FromNPObject(npobj);
    return p != NULL && p->RemoveProperty(name);
}

bool CScriptablePluginObjectBase::_Enumerate(NPObject* npobj, NPIdentifier** identifier, uint32_t* count)
{
    TraceHelper trace("CScriptablePluginObjectBase::_Enumerate");
    CScriptablePluginObjectBase* p = FromNPObject(npobj);
    return p != NULL && p->Enumerate(identifier, count);
}

bool CScriptablePluginObjectBase::_Construct(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                                             NPVariant* result)
{
    TraceHelper trace("CScriptablePluginObjectBase::_Construct");
    CScriptablePluginObjectBase* p = FromNPObject(npobj);
    return p != NULL && p->Construct(args, argCount, result);
}
