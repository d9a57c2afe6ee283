#include "host/Browser.h"

#include "host/HostMutex.h"
#include "host/Identifiers.h"

#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <deque>
#include <mutex>

namespace npk::host::browser {

namespace {

struct Task {
    std::string script;                  // a javascript: URL's script, or
    void (*func)(void*) = nullptr;       // an asynchronous call with its data
    void* data = nullptr;
};

struct State {
    HostMutex lock;                      // pluginthreadasynccall may come from any thread
    std::deque<Task> tasks;
    PageHooks* page = nullptr;
    bool exceptionSet = false;
    std::string exception;
    std::atomic<size_t> liveObjects{0};
};

State& S()
{
    static State state;
    return state;
}

constexpr const char kUserAgent[] = "Mozilla/5.0 (X11; Linux x86_64) npkeystrand/3.2";
constexpr const char kScriptScheme[] = "javascript:";

// A javascript: URL is percent-encoded like any other URL.
std::string DecodeUrlText(const char* text)
{
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (p[0] == '%' && std::isxdigit(static_cast<unsigned char>(p[1])) &&
            std::isxdigit(static_cast<unsigned char>(p[2]))) {
            const char hex[3] = {p[1], p[2], '\0'};
            out += static_cast<char>(std::strtol(hex, nullptr, 16));
            p += 2;
        } else {
            out += *p;
        }
    }
    return out;
}

bool ClassHas(const NPObject* obj)
{
    return obj != nullptr && obj->_class != nullptr;
}

// ---- memory -------------------------------------------------------------------------

void* MemAlloc(uint32_t size)
{
    // A zero-byte request still yields a pointer that memfree accepts.
    return std::malloc(size == 0 ? 1 : size);
}

void MemFree(void* ptr)
{
    std::free(ptr);
}

uint32_t MemFlush(uint32_t)
{
    return 0;
}

void ReloadPlugins(NPBool) {}

// ---- URLs, streams, status ------------------------------------------------------------

NPError GetURL(NPP instance, const char* url, const char* target)
{
    if (url == nullptr) {
        return NPERR_INVALID_URL;
    }
    if (strncasecmp(url, kScriptScheme, sizeof(kScriptScheme) - 1) != 0) {
        // The host has no network and no documents: only scripts run in the page.
        return NPERR_INVALID_URL;
    }
    State& s = S();
    std::lock_guard<HostMutex> guard(s.lock);
    if (s.page == nullptr) {
        return NPERR_GENERIC_ERROR;
    }
    Task t;
    t.script = DecodeUrlText(url + sizeof(kScriptScheme) - 1);
    s.tasks.push_back(std::move(t));
    return NPERR_NO_ERROR;
}

NPError GetURLNotify(NPP, const char*, const char*, void*)
{
    // Notification needs streams, which the host does not deliver.
    return NPERR_GENERIC_ERROR;
}

NPError PostURL(NPP, const char*, const char*, uint32_t, const char*, NPBool)
{
    return NPERR_GENERIC_ERROR;
}

NPError PostURLNotify(NPP, const char*, const char*, uint32_t, const char*, NPBool, void*)
{
    return NPERR_GENERIC_ERROR;
}

NPError RequestRead(NPStream*, NPByteRange*)
{
    return NPERR_STREAM_NOT_SEEKABLE;
}

NPError NewStream(NPP, NPMIMEType, const char*, NPStream** stream)
{
    if (stream != nullptr) {
        *stream = nullptr;
    }
    return NPERR_GENERIC_ERROR;
}

int32_t Write(NPP, NPStream*, int32_t, void*)
{
    return -1;
}

NPError DestroyStream(NPP, NPStream*, NPReason)
{
    return NPERR_GENERIC_ERROR;
}

void Status(NPP, const char*) {}

const char* UserAgent(NPP)
{
    return kUserAgent;
}

void* GetJavaEnv()
{
    return nullptr;
}

void* GetJavaPeer(NPP)
{
    return nullptr;
}

// ---- values ----------------------------------------------------------------------------

NPError GetValue(NPP, NPNVariable variable, void* value)
{
    if (value == nullptr) {
        return NPERR_INVALID_PARAM;
    }
    switch (variable) {
    case NPNVToolkit:
        *static_cast<NPNToolkitType*>(value) = NPNVGtk2;
        return NPERR_NO_ERROR;
    case NPNVSupportsXEmbedBool:
    case NPNVjavascriptEnabledBool:
    case NPNVSupportsWindowless:
        *static_cast<NPBool*>(value) = true;
        return NPERR_NO_ERROR;
    case NPNVasdEnabledBool:
    case NPNVisOfflineBool:
    case NPNVprivateModeBool:
        *static_cast<NPBool*>(value) = false;
        return NPERR_NO_ERROR;
    default:
        // No display, no window object, no service manager.
        return NPERR_GENERIC_ERROR;
    }
}

NPError SetValue(NPP, NPPVariable variable, void*)
{
    switch (variable) {
    case NPPVpluginWindowBool:
    case NPPVpluginTransparentBool:
        // Nothing is drawn, so windowed or not makes no difference.
        return NPERR_NO_ERROR;
    default:
        return NPERR_GENERIC_ERROR;
    }
}

NPError GetValueForURL(NPP, NPNURLVariable, const char*, char** value, uint32_t* len)
{
    if (value != nullptr) {
        *value = nullptr;
    }
    if (len != nullptr) {
        *len = 0;
    }
    return NPERR_GENERIC_ERROR;
}

NPError SetValueForURL(NPP, NPNURLVariable, const char*, const char*, uint32_t)
{
    return NPERR_GENERIC_ERROR;
}

NPError GetAuthenticationInfo(NPP, const char*, const char*, int32_t, const char*, const char*,
                              char** username, uint32_t* ulen, char** password, uint32_t* plen)
{
    if (username != nullptr) {
        *username = nullptr;
    }
    if (password != nullptr) {
        *password = nullptr;
    }
    if (ulen != nullptr) {
        *ulen = 0;
    }
    if (plen != nullptr) {
        *plen = 0;
    }
    return NPERR_GENERIC_ERROR;
}

// ---- drawing and events: nothing is drawn --------------------------------------------------

void InvalidateRect(NPP, NPRect*) {}
void InvalidateRegion(NPP, NPRegion) {}
void ForceRedraw(NPP) {}
void PushPopupsEnabledState(NPP, NPBool) {}
void PopPopupsEnabledState(NPP) {}

uint32_t ScheduleTimer(NPP, uint32_t, NPBool, void (*)(NPP, uint32_t))
{
    return 0;  // 0 means no timer was scheduled
}

void UnscheduleTimer(NPP, uint32_t) {}

NPError PopUpContextMenu(NPP, NPMenu*)
{
    return NPERR_GENERIC_ERROR;
}

NPBool ConvertPoint(NPP, double, double, NPCoordinateSpace, double*, double*, NPCoordinateSpace)
{
    return false;
}

NPBool HandleEvent(NPP, void*, NPBool)
{
    return false;
}

NPBool UnfocusInstance(NPP, NPFocusDirection)
{
    return false;
}

void URLRedirectResponse(NPP, void*, NPBool) {}

// ---- identifiers -----------------------------------------------------------------------

NPIdentifier GetStringIdentifier(const NPUTF8* name)
{
    return static_cast<NPIdentifier>(InternStringIdentifier(name));
}

void GetStringIdentifiers(const NPUTF8** names, int32_t count, NPIdentifier* identifiers)
{
    if (names == nullptr || identifiers == nullptr) {
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        identifiers[i] = GetStringIdentifier(names[i]);
    }
}

NPIdentifier GetIntIdentifier(int32_t value)
{
    return static_cast<NPIdentifier>(InternIntIdentifier(value));
}

bool IdentifierIsStringEntry(NPIdentifier id)
{
    return IdentifierIsString(id);
}

NPUTF8* UTF8FromIdentifier(NPIdentifier id)
{
    const std::string* name = IdentifierName(id);
    if (name == nullptr) {
        return nullptr;
    }
    // The caller frees the copy with memfree.
    auto* copy = static_cast<NPUTF8*>(MemAlloc(static_cast<uint32_t>(name->size() + 1)));
    if (copy != nullptr) {
        std::memcpy(copy, name->c_str(), name->size() + 1);
    }
    return copy;
}

int32_t IntFromIdentifier(NPIdentifier id)
{
    return IdentifierInt(id);
}

// ---- objects ---------------------------------------------------------------------------

NPObject* CreateObject(NPP npp, NPClass* aClass)
{
    if (aClass == nullptr) {
        return nullptr;
    }
    NPObject* obj = aClass->allocate != nullptr ? aClass->allocate(npp, aClass)
                                                : static_cast<NPObject*>(std::malloc(sizeof(NPObject)));
    if (obj == nullptr) {
        return nullptr;
    }
    obj->_class = aClass;
    obj->referenceCount = 1;
    ++S().liveObjects;
    return obj;
}

NPObject* RetainObjectEntry(NPObject* obj)
{
    if (obj != nullptr) {
        ++obj->referenceCount;
    }
    return obj;
}

void ReleaseObjectEntry(NPObject* obj)
{
    if (obj == nullptr) {
        return;
    }
    if (obj->referenceCount == 0) {
        std::fprintf(stderr, "npkeystrand: an object was released more often than retained\n");
        return;
    }
    if (--obj->referenceCount != 0) {
        return;
    }
    NPClass* cls = obj->_class;
    if (cls != nullptr && cls->deallocate != nullptr) {
        cls->deallocate(obj);
    } else {
        std::free(obj);
    }
    --S().liveObjects;
}

bool Invoke(NPP, NPObject* obj, NPIdentifier name, const NPVariant* args, uint32_t count, NPVariant* result)
{
    if (result != nullptr) {
        VOID_TO_NPVARIANT(*result);
    }
    if (!ClassHas(obj) || obj->_class->invoke == nullptr) {
        return false;
    }
    return obj->_class->invoke(obj, name, args, count, result);
}

bool InvokeDefault(NPP, NPObject* obj, const NPVariant* args, uint32_t count, NPVariant* result)
{
    if (result != nullptr) {
        VOID_TO_NPVARIANT(*result);
    }
    if (!ClassHas(obj) || obj->_class->invokeDefault == nullptr) {
        return false;
    }
    return obj->_class->invokeDefault(obj, args, count, result);
}

bool Evaluate(NPP, NPObject*, NPString* script, NPVariant* result)
{
    if (result != nullptr) {
        VOID_TO_NPVARIANT(*result);
    }
    PageHooks* page = S().page;
    if (page == nullptr || script == nullptr || result == nullptr) {
        return false;
    }
    std::string text(script->UTF8Characters != nullptr ? script->UTF8Characters : "",
                     script->UTF8Characters != nullptr ? script->UTF8Length : 0);
    return page->Evaluate(text, result);
}

bool GetProperty(NPP, NPObject* obj, NPIdentifier name, NPVariant* result)
{
    if (result != nullptr) {
        VOID_TO_NPVARIANT(*result);
    }
    if (!ClassHas(obj) || obj->_class->getProperty == nullptr) {
        return false;
    }
    return obj->_class->getProperty(obj, name, result);
}

bool SetProperty(NPP, NPObject* obj, NPIdentifier name, const NPVariant* value)
{
    if (!ClassHas(obj) || obj->_class->setProperty == nullptr) {
        return false;
    }
    return obj->_class->setProperty(obj, name, value);
}

bool RemoveProperty(NPP, NPObject* obj, NPIdentifier name)
{
    if (!ClassHas(obj) || obj->_class->removeProperty == nullptr) {
        return false;
    }
    return obj->_class->removeProperty(obj, name);
}

bool HasProperty(NPP, NPObject* obj, NPIdentifier name)
{
    if (!ClassHas(obj) || obj->_class->hasProperty == nullptr) {
        return false;
    }
    return obj->_class->hasProperty(obj, name);
}

bool HasMethod(NPP, NPObject* obj, NPIdentifier name)
{
    if (!ClassHas(obj) || obj->_class->hasMethod == nullptr) {
        return false;
    }
    return obj->_class->hasMethod(obj, name);
}

bool Enumerate(NPP, NPObject* obj, NPIdentifier** ids, uint32_t* count)
{
    if (ids != nullptr) {
        *ids = nullptr;
    }
    if (count != nullptr) {
        *count = 0;
    }
    if (!ClassHas(obj) || obj->_class->structVersion < NP_CLASS_STRUCT_VERSION_ENUM ||
        obj->_class->enumerate == nullptr) {
        return false;
    }
    return obj->_class->enumerate(obj, ids, count);
}

bool Construct(NPP, NPObject* obj, const NPVariant* args, uint32_t count, NPVariant* result)
{
    if (result != nullptr) {
        VOID_TO_NPVARIANT(*result);
    }
    if (!ClassHas(obj) || obj->_class->structVersion < NP_CLASS_STRUCT_VERSION_CTOR ||
        obj->_class->construct == nullptr) {
        return false;
    }
    return obj->_class->construct(obj, args, count, result);
}

void ReleaseVariantValueEntry(NPVariant* v)
{
    if (v == nullptr) {
        return;
    }
    if (NPVARIANT_IS_STRING(*v)) {
        MemFree(const_cast<NPUTF8*>(v->value.stringValue.UTF8Characters));
    } else if (NPVARIANT_IS_OBJECT(*v)) {
        ReleaseObjectEntry(v->value.objectValue);
    }
    VOID_TO_NPVARIANT(*v);
}

void SetException(NPObject*, const NPUTF8* message)
{
    State& s = S();
    s.exceptionSet = true;
    s.exception = message != nullptr ? message : "";
}

void PluginThreadAsyncCall(NPP, void (*func)(void*), void* data)
{
    if (func == nullptr) {
        return;
    }
    State& s = S();
    std::lock_guard<HostMutex> guard(s.lock);
    Task t;
    t.func = func;
    t.data = data;
    s.tasks.push_back(std::move(t));
}

NPNetscapeFuncs MakeTable()
{
    NPNetscapeFuncs f;
    std::memset(&f, 0, sizeof(f));
    f.size = sizeof(NPNetscapeFuncs);
    f.version = (NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR;
    f.geturl = GetURL;
    f.posturl = PostURL;
    f.requestread = RequestRead;
    f.newstream = NewStream;
    f.write = Write;
    f.destroystream = DestroyStream;
    f.status = Status;
    f.uagent = UserAgent;
    f.memalloc = MemAlloc;
    f.memfree = MemFree;
    f.memflush = MemFlush;
    f.reloadplugins = ReloadPlugins;
    f.getJavaEnv = GetJavaEnv;
    f.getJavaPeer = GetJavaPeer;
    f.geturlnotify = GetURLNotify;
    f.posturlnotify = PostURLNotify;
    f.getvalue = GetValue;
    f.setvalue = SetValue;
    f.invalidaterect = InvalidateRect;
    f.invalidateregion = InvalidateRegion;
    f.forceredraw = ForceRedraw;
    f.getstringidentifier = GetStringIdentifier;
    f.getstringidentifiers = GetStringIdentifiers;
    f.getintidentifier = GetIntIdentifier;
    f.identifierisstring = IdentifierIsStringEntry;
    f.utf8fromidentifier = UTF8FromIdentifier;
    f.intfromidentifier = IntFromIdentifier;
    f.createobject = CreateObject;
    f.retainobject = RetainObjectEntry;
    f.releaseobject = ReleaseObjectEntry;
    f.invoke = Invoke;
    f.invokeDefault = InvokeDefault;
    f.evaluate = Evaluate;
    f.getproperty = GetProperty;
    f.setproperty = SetProperty;
    f.removeproperty = RemoveProperty;
    f.hasproperty = HasProperty;
    f.hasmethod = HasMethod;
    f.releasevariantvalue = ReleaseVariantValueEntry;
    f.setexception = SetException;
    f.pushpopupsenabledstate = PushPopupsEnabledState;
    f.poppopupsenabledstate = PopPopupsEnabledState;
    f.enumerate = Enumerate;
    f.pluginthreadasynccall = PluginThreadAsyncCall;
    f.construct = Construct;
    f.getvalueforurl = GetValueForURL;
    f.setvalueforurl = SetValueForURL;
    f.getauthenticationinfo = GetAuthenticationInfo;
    f.scheduletimer = ScheduleTimer;
    f.unscheduletimer = UnscheduleTimer;
    f.popupcontextmenu = PopUpContextMenu;
    f.convertpoint = ConvertPoint;
    f.handleevent = HandleEvent;
    f.unfocusinstance = UnfocusInstance;
    f.urlredirectresponse = URLRedirectResponse;
    return f;
}

}  // namespace

NPNetscapeFuncs* Functions()
{
    static NPNetscapeFuncs table = MakeTable();
    return &table;
}

void SetPage(PageHooks* page)
{
    State& s = S();
    std::lock_guard<HostMutex> guard(s.lock);
    s.page = page;
    if (page == nullptr) {
        s.tasks.clear();
    }
}

void ClearException()
{
    S().exceptionSet = false;
    S().exception.clear();
}

bool TakeException(std::string& message)
{
    State& s = S();
    if (!s.exceptionSet) {
        return false;
    }
    message = std::move(s.exception);
    s.exception.clear();
    s.exceptionSet = false;
    return true;
}

void RunPendingTasks()
{
    State& s = S();
    for (;;) {
        Task t;
        PageHooks* page;
        {
            std::lock_guard<HostMutex> guard(s.lock);
            if (s.tasks.empty()) {
                return;
            }
            t = std::move(s.tasks.front());
            s.tasks.pop_front();
            page = s.page;
        }
        if (t.func != nullptr) {
            t.func(t.data);
        } else if (page != nullptr) {
            page->RunScriptUrl(t.script);
        }
    }
}

size_t LiveObjectCount()
{
    return S().liveObjects.load();
}

void ReleaseObject(NPObject* object)
{
    ReleaseObjectEntry(object);
}

NPObject* RetainObject(NPObject* object)
{
    return RetainObjectEntry(object);
}

void ReleaseVariantValue(NPVariant* variant)
{
    ReleaseVariantValueEntry(variant);
}

bool SetStringVariant(NPVariant* variant, std::string_view utf8)
{
    auto* bytes = static_cast<NPUTF8*>(MemAlloc(static_cast<uint32_t>(utf8.size() + 1)));
    if (bytes == nullptr) {
        return false;
    }
    std::memcpy(bytes, utf8.data(), utf8.size());
    bytes[utf8.size()] = '\0';
    STRINGN_TO_NPVARIANT(bytes, static_cast<uint32_t>(utf8.size()), *variant);
    return true;
}

void SetNumberVariant(NPVariant* variant, double value)
{
    if (std::isfinite(value) && value == std::trunc(value) && value >= INT32_MIN && value <= INT32_MAX) {
        INT32_TO_NPVARIANT(static_cast<int32_t>(value), *variant);
    } else {
        DOUBLE_TO_NPVARIANT(value, *variant);
    }
}

}  // namespace npk::host::browser
