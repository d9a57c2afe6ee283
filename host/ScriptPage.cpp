#include "host/ScriptPage.h"

#include "host/TextCodec.h"

#include <duktape.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>

namespace npk::host {

namespace {

// Hidden keys (0xFF prefix) are invisible to scripts and bypass the proxy's traps.
constexpr const char kKeyObject[] = "\xFF" "npobject";   // on a wrapper's target: NPObject*
constexpr const char kKeyOwner[] = "\xFF" "owner";       // on a method: the wrapper's target
constexpr const char kKeyIdent[] = "\xFF" "ident";       // on a method: its NPIdentifier
constexpr const char kKeyHandler[] = "npkHandler";       // in the heap stash: the proxy handler

// One page per process; the engine's native functions find it here.
ScriptPage* g_page = nullptr;

// ---- errors --------------------------------------------------------------------------
// Duktape raises errors with longjmp, which must not cross C++ frames that own objects.
// The functions below that can fail push an Error and return false; the thin native entry
// points then throw it once every C++ local is gone.

bool Fail(duk_context* ctx, const std::string& message)
{
    std::string text = Utf8ToEngine(message);
    duk_push_error_object(ctx, DUK_ERR_ERROR, "%s", text.c_str());
    return false;
}

bool FailType(duk_context* ctx, const std::string& message)
{
    duk_push_error_object(ctx, DUK_ERR_TYPE_ERROR, "%s", message.c_str());
    return false;
}

std::string EngineString(duk_context* ctx, duk_idx_t idx)
{
    duk_size_t len = 0;
    const char* p = duk_get_lstring(ctx, idx, &len);
    return p != nullptr ? EngineToUtf8(std::string_view(p, len)) : std::string();
}

void PushUtf8(duk_context* ctx, std::string_view utf8)
{
    std::string engine = Utf8ToEngine(utf8);
    duk_push_lstring(ctx, engine.data(), engine.size());
}

NPObject* WrappedObject(duk_context* ctx, duk_idx_t idx)
{
    if (!duk_is_object(ctx, idx)) {
        return nullptr;
    }
    duk_get_prop_string(ctx, idx, kKeyObject);
    auto* obj = static_cast<NPObject*>(duk_get_pointer(ctx, -1));
    duk_pop(ctx);
    return obj;
}

// ---- values --------------------------------------------------------------------------

// Script values given to the plug-in for one call. String bytes live here until the call
// returns; objects are lent, as NPAPI arguments are.
class Arguments {
public:
    bool Add(duk_context* ctx, duk_idx_t idx, size_t position)
    {
        NPVariant v;
        VOID_TO_NPVARIANT(v);
        switch (duk_get_type(ctx, idx)) {
        case DUK_TYPE_NONE:
        case DUK_TYPE_UNDEFINED:
            break;
        case DUK_TYPE_NULL:
            NULL_TO_NPVARIANT(v);
            break;
        case DUK_TYPE_BOOLEAN:
            BOOLEAN_TO_NPVARIANT(duk_get_boolean(ctx, idx) != 0, v);
            break;
        case DUK_TYPE_NUMBER:
            browser::SetNumberVariant(&v, duk_get_number(ctx, idx));
            break;
        case DUK_TYPE_STRING: {
            const std::string& s = m_strings.emplace_back(EngineString(ctx, idx));
            STRINGN_TO_NPVARIANT(s.data(), static_cast<uint32_t>(s.size()), v);
            break;
        }
        case DUK_TYPE_OBJECT:
            if (NPObject* obj = WrappedObject(ctx, idx)) {
                OBJECT_TO_NPVARIANT(obj, v);
                break;
            }
            return FailType(ctx, "argument " + std::to_string(position + 1) +
                                     ": only plug-in objects can be passed to the plug-in");
        default:
            return FailType(ctx, "argument " + std::to_string(position + 1) +
                                     ": this kind of value cannot be passed to the plug-in");
        }
        m_values.push_back(v);
        return true;
    }

    const NPVariant* Data() const { return m_values.empty() ? nullptr : m_values.data(); }
    uint32_t Count() const { return static_cast<uint32_t>(m_values.size()); }

private:
    std::deque<std::string> m_strings;  // stable addresses while values point into them
    std::vector<NPVariant> m_values;
};

void PushWrapper(duk_context* ctx, NPObject* object);

// Pushes the value of a variant the plug-in returned; the variant keeps its own ownership.
void PushVariant(duk_context* ctx, const NPVariant& v)
{
    switch (v.type) {
    case NPVariantType_Null:
        duk_push_null(ctx);
        break;
    case NPVariantType_Bool:
        duk_push_boolean(ctx, v.value.boolValue);
        break;
    case NPVariantType_Int32:
        duk_push_int(ctx, v.value.intValue);
        break;
    case NPVariantType_Double:
        duk_push_number(ctx, v.value.doubleValue);
        break;
    case NPVariantType_String:
        PushUtf8(ctx, std::string_view(v.value.stringValue.UTF8Characters != nullptr
                                           ? v.value.stringValue.UTF8Characters : "",
                                       v.value.stringValue.UTF8Characters != nullptr
                                           ? v.value.stringValue.UTF8Length : 0));
        break;
    case NPVariantType_Object:
        if (v.value.objectValue != nullptr) {
            PushWrapper(ctx, browser::RetainObject(v.value.objectValue));
        } else {
            duk_push_null(ctx);
        }
        break;
    case NPVariantType_Void:
    default:
        duk_push_undefined(ctx);
        break;
    }
}

// A value of the page as a variant the plug-in owns (strings allocated with memalloc).
bool ToOwnedVariant(duk_context* ctx, duk_idx_t idx, NPVariant* out)
{
    VOID_TO_NPVARIANT(*out);
    switch (duk_get_type(ctx, idx)) {
    case DUK_TYPE_NULL:
        NULL_TO_NPVARIANT(*out);
        return true;
    case DUK_TYPE_BOOLEAN:
        BOOLEAN_TO_NPVARIANT(duk_get_boolean(ctx, idx) != 0, *out);
        return true;
    case DUK_TYPE_NUMBER:
        browser::SetNumberVariant(out, duk_get_number(ctx, idx));
        return true;
    case DUK_TYPE_STRING:
        return browser::SetStringVariant(out, EngineString(ctx, idx));
    case DUK_TYPE_OBJECT:
        if (NPObject* obj = WrappedObject(ctx, idx)) {
            OBJECT_TO_NPVARIANT(browser::RetainObject(obj), *out);
            return true;
        }
        return false;
    default:
        return true;  // undefined
    }
}

// ---- calls into the plug-in ------------------------------------------------------------

NPObject* TargetObject(duk_context* ctx, duk_idx_t targetIdx)
{
    duk_get_prop_string(ctx, targetIdx, kKeyObject);
    auto* obj = static_cast<NPObject*>(duk_get_pointer(ctx, -1));
    duk_pop(ctx);
    return obj;
}

std::string IdentifierText(NPIdentifier id)
{
    NPUTF8* name = browser::Functions()->utf8fromidentifier(id);
    std::string text = name != nullptr ? name : "";
    browser::Functions()->memfree(name);
    return text;
}

enum class CallKind { Method, Default, Construct };

// Calls the plug-in with the values at [first, top) as arguments; pushes the result or an Error.
bool CallPlugin(duk_context* ctx, NPObject* obj, CallKind kind, NPIdentifier method, duk_idx_t first)
{
    const std::string label = kind == CallKind::Method ? IdentifierText(method)
                             : kind == CallKind::Default ? std::string("(default method)")
                                                         : std::string("(constructor)");
    if (obj == nullptr) {
        return Fail(ctx, "plug-in call " + label + " failed: the object has been released");
    }
    Arguments args;
    const duk_idx_t top = duk_get_top(ctx);
    for (duk_idx_t i = first; i < top; ++i) {
        if (!args.Add(ctx, i, static_cast<size_t>(i - first))) {
            return false;
        }
    }
    NPNetscapeFuncs* f = browser::Functions();
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    browser::ClearException();
    bool ok = false;
    switch (kind) {
    case CallKind::Method:
        ok = f->invoke(nullptr, obj, method, args.Data(), args.Count(), &result);
        break;
    case CallKind::Default:
        ok = f->invokeDefault(nullptr, obj, args.Data(), args.Count(), &result);
        break;
    case CallKind::Construct:
        ok = f->construct(nullptr, obj, args.Data(), args.Count(), &result);
        break;
    }
    std::string exception;
    const bool raised = browser::TakeException(exception);
    if (ok && !raised) {
        PushVariant(ctx, result);
    }
    // A failed call may still have written its result variant; it is released either way.
    f->releasevariantvalue(&result);
    g_page->AfterPluginCall();
    if (raised) {
        return Fail(ctx, exception);
    }
    if (!ok) {
        return Fail(ctx, "plug-in call " + label + " failed");
    }
    return true;
}

// Names a property key for NPAPI; false (nothing pushed) for symbols.
bool KeyIdentifier(duk_context* ctx, duk_idx_t idx, NPIdentifier& id, std::string& name)
{
    if (!duk_is_string(ctx, idx) || duk_is_symbol(ctx, idx)) {
        return false;
    }
    name = EngineString(ctx, idx);
    id = browser::Functions()->getstringidentifier(name.c_str());
    return id != nullptr;
}

duk_ret_t MethodEntry(duk_context* ctx);
duk_ret_t ToStringEntry(duk_context* ctx);

// get(target, key, receiver)
bool GetTrap(duk_context* ctx)
{
    NPIdentifier id;
    std::string name;
    if (!KeyIdentifier(ctx, 1, id, name)) {
        duk_push_undefined(ctx);
        return true;
    }
    NPObject* obj = TargetObject(ctx, 0);
    if (obj == nullptr) {
        return Fail(ctx, "reading " + name + ": the plug-in object has been released");
    }
    NPNetscapeFuncs* f = browser::Functions();
    browser::ClearException();
    if (f->hasproperty(nullptr, obj, id)) {
        NPVariant value;
        VOID_TO_NPVARIANT(value);
        const bool ok = f->getproperty(nullptr, obj, id, &value);
        std::string exception;
        const bool raised = browser::TakeException(exception);
        if (ok && !raised) {
            PushVariant(ctx, value);
        }
        f->releasevariantvalue(&value);
        g_page->AfterPluginCall();
        if (raised) {
            return Fail(ctx, exception);
        }
        if (!ok) {
            return Fail(ctx, "reading the plug-in property " + name + " failed");
        }
        return true;
    }
    const bool isMethod = f->hasmethod(nullptr, obj, id);
    g_page->AfterPluginCall();
    if (isMethod) {
        duk_push_c_function(ctx, MethodEntry, DUK_VARARGS);
        duk_dup(ctx, 0);
        duk_put_prop_string(ctx, -2, kKeyOwner);
        duk_push_pointer(ctx, id);
        duk_put_prop_string(ctx, -2, kKeyIdent);
        return true;
    }
    if (name == "toString") {
        duk_push_c_function(ctx, ToStringEntry, 0);
        return true;
    }
    duk_push_undefined(ctx);
    return true;
}

// has(target, key)
bool HasTrap(duk_context* ctx)
{
    NPIdentifier id;
    std::string name;
    if (!KeyIdentifier(ctx, 1, id, name)) {
        duk_push_false(ctx);
        return true;
    }
    NPObject* obj = TargetObject(ctx, 0);
    NPNetscapeFuncs* f = browser::Functions();
    const bool has = obj != nullptr && (f->hasproperty(nullptr, obj, id) || f->hasmethod(nullptr, obj, id));
    g_page->AfterPluginCall();
    duk_push_boolean(ctx, has);
    return true;
}

// set(target, key, value, receiver)
bool SetTrap(duk_context* ctx)
{
    NPIdentifier id;
    std::string name;
    if (!KeyIdentifier(ctx, 1, id, name)) {
        return FailType(ctx, "plug-in objects have no symbol properties");
    }
    NPObject* obj = TargetObject(ctx, 0);
    Arguments value;
    if (!value.Add(ctx, 2, 0)) {
        return false;
    }
    browser::ClearException();
    const bool ok = obj != nullptr && browser::Functions()->setproperty(nullptr, obj, id, value.Data());
    std::string exception;
    const bool raised = browser::TakeException(exception);
    g_page->AfterPluginCall();
    if (raised) {
        return Fail(ctx, exception);
    }
    if (!ok) {
        return Fail(ctx, "setting the plug-in property " + name + " failed");
    }
    duk_push_true(ctx);
    return true;
}

// deleteProperty(target, key)
bool DeleteTrap(duk_context* ctx)
{
    NPIdentifier id;
    std::string name;
    bool ok = false;
    if (KeyIdentifier(ctx, 1, id, name)) {
        NPObject* obj = TargetObject(ctx, 0);
        ok = obj != nullptr && browser::Functions()->removeproperty(nullptr, obj, id);
        g_page->AfterPluginCall();
    }
    duk_push_boolean(ctx, ok);
    return true;
}

// Spreads the array at idx onto the stack and returns the index of its first element.
duk_idx_t SpreadArray(duk_context* ctx, duk_idx_t idx)
{
    const duk_idx_t first = duk_get_top(ctx);
    const duk_size_t n = duk_is_object(ctx, idx) ? duk_get_length(ctx, idx) : 0;
    for (duk_size_t i = 0; i < n; ++i) {
        duk_get_prop_index(ctx, idx, static_cast<duk_uarridx_t>(i));
    }
    return first;
}

// apply(target, thisArg, args)
bool ApplyTrap(duk_context* ctx)
{
    NPObject* obj = TargetObject(ctx, 0);
    return CallPlugin(ctx, obj, CallKind::Default, nullptr, SpreadArray(ctx, 2));
}

// construct(target, args, newTarget)
bool ConstructTrap(duk_context* ctx)
{
    NPObject* obj = TargetObject(ctx, 0);
    return CallPlugin(ctx, obj, CallKind::Construct, nullptr, SpreadArray(ctx, 1));
}

bool Method(duk_context* ctx)
{
    duk_push_current_function(ctx);
    duk_get_prop_string(ctx, -1, kKeyOwner);
    NPObject* obj = TargetObject(ctx, -1);
    duk_get_prop_string(ctx, -2, kKeyIdent);
    auto id = static_cast<NPIdentifier>(duk_get_pointer(ctx, -1));
    duk_pop_3(ctx);
    return CallPlugin(ctx, obj, CallKind::Method, id, 0);
}

// The page's print(...): arguments separated by blanks, then a line feed.
bool Print(duk_context* ctx)
{
    const duk_idx_t n = duk_get_top(ctx);
    std::string line;
    for (duk_idx_t i = 0; i < n; ++i) {
        if (i > 0) {
            line += ' ';
        }
        duk_size_t len = 0;
        const char* p = duk_safe_to_lstring(ctx, i, &len);
        line += EngineToUtf8(std::string_view(p, len));
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    return true;
}

bool Embed(duk_context* ctx)
{
    std::string error;
    NPP npp = g_page->Library().NewInstance(error);
    NPObject* obj = npp != nullptr ? g_page->Library().ScriptableObject(npp, error) : nullptr;
    g_page->AfterPluginCall();
    if (obj == nullptr) {
        return Fail(ctx, "embed: " + error);
    }
    PushWrapper(ctx, obj);
    return true;
}

duk_ret_t Finalizer(duk_context* ctx)
{
    NPObject* obj = TargetObject(ctx, 0);
    if (obj != nullptr && g_page != nullptr && g_page->Unhold(obj)) {
        browser::ReleaseObject(obj);
    }
    duk_push_pointer(ctx, nullptr);
    duk_put_prop_string(ctx, 0, kKeyObject);
    return 0;
}

duk_ret_t TargetEntry(duk_context*)
{
    return 0;  // never reached: the proxy's apply trap takes every call
}

// ---- native entry points: throw only after the C++ work is done --------------------------

#define NPK_NATIVE_ENTRY(entry, impl)        \
    duk_ret_t entry(duk_context* ctx)        \
    {                                        \
        if (!impl(ctx)) {                    \
            return duk_throw(ctx);           \
        }                                    \
        return 1;                            \
    }

NPK_NATIVE_ENTRY(GetEntry, GetTrap)
NPK_NATIVE_ENTRY(HasEntry, HasTrap)
NPK_NATIVE_ENTRY(SetEntry, SetTrap)
NPK_NATIVE_ENTRY(DeleteEntry, DeleteTrap)
NPK_NATIVE_ENTRY(ApplyEntry, ApplyTrap)
NPK_NATIVE_ENTRY(ConstructEntry, ConstructTrap)
NPK_NATIVE_ENTRY(MethodEntry, Method)
NPK_NATIVE_ENTRY(EmbedEntry, Embed)

duk_ret_t PrintEntry(duk_context* ctx)
{
    Print(ctx);
    return 0;
}

duk_ret_t ToStringEntry(duk_context* ctx)
{
    duk_push_string(ctx, "[object NPObject]");
    return 1;
}

// Pushes the page's value for a plug-in object; takes over one reference.
void PushWrapper(duk_context* ctx, NPObject* object)
{
    duk_push_c_function(ctx, TargetEntry, DUK_VARARGS);
    duk_push_pointer(ctx, object);
    duk_put_prop_string(ctx, -2, kKeyObject);
    duk_push_c_function(ctx, Finalizer, 2);
    duk_set_finalizer(ctx, -2);
    g_page->Hold(object);
    duk_push_heap_stash(ctx);
    duk_get_prop_string(ctx, -1, kKeyHandler);
    duk_remove(ctx, -2);
    duk_push_proxy(ctx, 0);
}

void MakeHandler(duk_context* ctx)
{
    duk_push_heap_stash(ctx);
    duk_push_object(ctx);
    const struct {
        const char* trap;
        duk_c_function fn;
        duk_idx_t nargs;
    } traps[] = {
        {"get", GetEntry, 3},       {"has", HasEntry, 2},         {"set", SetEntry, 4},
        {"deleteProperty", DeleteEntry, 2}, {"apply", ApplyEntry, 3}, {"construct", ConstructEntry, 3},
    };
    for (const auto& t : traps) {
        duk_push_c_function(ctx, t.fn, t.nargs);
        duk_put_prop_string(ctx, -2, t.trap);
    }
    duk_put_prop_string(ctx, -2, kKeyHandler);
    duk_pop(ctx);
}

void FatalHandler(void*, const char* message)
{
    std::fprintf(stderr, "npkeystrand: fatal script engine error: %s\n", message != nullptr ? message : "");
    std::fflush(stderr);
    std::abort();
}

// The text of the error on top of the stack: its stack trace when it has one.
std::string ErrorText(duk_context* ctx)
{
    if (duk_is_error(ctx, -1)) {
        duk_get_prop_string(ctx, -1, "stack");
        if (duk_is_string(ctx, -1)) {
            std::string text = EngineString(ctx, -1);
            duk_pop(ctx);
            return text;
        }
        duk_pop(ctx);
    }
    duk_size_t len = 0;
    const char* p = duk_safe_to_lstring(ctx, -1, &len);
    return EngineToUtf8(std::string_view(p, len));
}

// The message of the error on top of the stack, without its stack trace.
std::string ErrorMessage(duk_context* ctx)
{
    if (duk_is_error(ctx, -1)) {
        duk_get_prop_string(ctx, -1, "message");
        std::string text = EngineString(ctx, -1);
        duk_pop(ctx);
        return text;
    }
    duk_size_t len = 0;
    const char* p = duk_safe_to_lstring(ctx, -1, &len);
    return EngineToUtf8(std::string_view(p, len));
}

struct CallRequest {
    const char* method;
    const std::vector<std::string>* args;  // already in the engine's encoding
};

// Runs protected: plugin[method](args...). Leaves the result on the stack.
duk_ret_t CallUnsafe(duk_context* ctx, void* udata)
{
    auto* req = static_cast<CallRequest*>(udata);
    duk_get_global_string(ctx, "plugin");
    duk_get_prop_string(ctx, -1, req->method);
    if (!duk_is_callable(ctx, -1)) {
        return duk_type_error(ctx, "the plug-in has no method %s", req->method);
    }
    duk_swap_top(ctx, -2);
    for (const std::string& a : *req->args) {
        duk_push_lstring(ctx, a.data(), a.size());
    }
    duk_call_method(ctx, static_cast<duk_idx_t>(req->args->size()));
    return 1;
}

}  // namespace

ScriptPage::ScriptPage(PluginLibrary& library) : m_library(library) {}

ScriptPage::~ScriptPage()
{
    ReleaseObjects();
    if (m_ctx != nullptr) {
        duk_context* ctx = m_ctx;
        m_ctx = nullptr;
        duk_destroy_heap(ctx);  // finalizers find nothing held any more
    }
    if (g_page == this) {
        g_page = nullptr;
    }
    browser::SetPage(nullptr);
}

bool ScriptPage::Open(std::string& error)
{
    m_ctx = duk_create_heap(nullptr, nullptr, nullptr, nullptr, FatalHandler);
    if (m_ctx == nullptr) {
        error = "cannot create the script engine";
        return false;
    }
    g_page = this;
    browser::SetPage(this);
    MakeHandler(m_ctx);

    duk_push_c_function(m_ctx, PrintEntry, DUK_VARARGS);
    duk_put_global_string(m_ctx, "print");
    duk_push_object(m_ctx);
    duk_push_c_function(m_ctx, PrintEntry, DUK_VARARGS);
    duk_put_prop_string(m_ctx, -2, "log");
    duk_push_c_function(m_ctx, PrintEntry, DUK_VARARGS);
    duk_put_prop_string(m_ctx, -2, "error");
    duk_put_global_string(m_ctx, "console");
    duk_push_c_function(m_ctx, EmbedEntry, 0);
    duk_put_global_string(m_ctx, "embed");

    NPP npp = m_library.NewInstance(error);
    NPObject* obj = npp != nullptr ? m_library.ScriptableObject(npp, error) : nullptr;
    if (obj == nullptr) {
        return false;
    }
    PushWrapper(m_ctx, obj);
    duk_put_global_string(m_ctx, "plugin");
    AfterPluginCall();
    return true;
}

int ScriptPage::Run(const std::string& source, const std::string& fileName)
{
    duk_context* ctx = m_ctx;
    std::string engineSource = Utf8ToEngine(source);
    duk_push_string(ctx, fileName.c_str());
    int rc = duk_pcompile_lstring_filename(ctx, 0, engineSource.data(), engineSource.size());
    if (rc == 0) {
        rc = duk_pcall(ctx, 0);
    }
    int status = 0;
    if (rc != 0) {
        std::fprintf(stderr, "npkeystrand: %s: uncaught exception: %s\n", fileName.c_str(), ErrorText(ctx).c_str());
        status = 1;
    }
    duk_pop(ctx);
    AfterPluginCall();
    std::fflush(stdout);
    std::fflush(stderr);
    return status;
}

bool ScriptPage::Call(const std::string& method, const std::vector<std::string>& args, std::string& result)
{
    std::vector<std::string> engineArgs;
    engineArgs.reserve(args.size());
    for (const std::string& a : args) {
        engineArgs.push_back(Utf8ToEngine(a));
    }
    std::string engineMethod = Utf8ToEngine(method);
    CallRequest req{engineMethod.c_str(), &engineArgs};
    const bool ok = duk_safe_call(m_ctx, CallUnsafe, &req, 0, 1) == DUK_EXEC_SUCCESS;
    if (!ok) {
        result = ErrorMessage(m_ctx);
    } else if (duk_is_boolean(m_ctx, -1)) {
        result = duk_get_boolean(m_ctx, -1) ? "true" : "false";
    } else {
        duk_size_t len = 0;
        const char* p = duk_safe_to_lstring(m_ctx, -1, &len);
        result = EngineToUtf8(std::string_view(p, len));
    }
    duk_pop(m_ctx);
    return ok;
}

bool ScriptPage::Unhold(NPObject* object)
{
    auto it = m_held.find(object);
    if (it == m_held.end()) {
        return false;
    }
    m_held.erase(it);
    return true;
}

void ScriptPage::ReleaseObjects()
{
    // Wrappers still in the engine keep their pointer; their finalizers find nothing to drop.
    std::unordered_multiset<NPObject*> held;
    held.swap(m_held);
    for (NPObject* obj : held) {
        browser::ReleaseObject(obj);
    }
}

void ScriptPage::AfterPluginCall()
{
    // A javascript: URL requested from inside a URL's own script runs when that one is done.
    if (m_runningTasks || m_ctx == nullptr) {
        return;
    }
    m_runningTasks = true;
    browser::RunPendingTasks();
    m_runningTasks = false;
}

void ScriptPage::RunScriptUrl(const std::string& script)
{
    std::string engineScript = Utf8ToEngine(script);
    if (duk_peval_lstring(m_ctx, engineScript.data(), engineScript.size()) != 0) {
        duk_size_t len = 0;
        const char* p = duk_safe_to_lstring(m_ctx, -1, &len);
        std::fprintf(stderr, "npkeystrand: javascript:%s: %s\n", script.c_str(),
                     EngineToUtf8(std::string_view(p, len)).c_str());
        std::fflush(stderr);
    }
    duk_pop(m_ctx);
}

bool ScriptPage::Evaluate(const std::string& script, NPVariant* result)
{
    if (m_ctx == nullptr) {
        return false;
    }
    std::string engineScript = Utf8ToEngine(script);
    bool ok = duk_peval_lstring(m_ctx, engineScript.data(), engineScript.size()) == 0 &&
              ToOwnedVariant(m_ctx, -1, result);
    duk_pop(m_ctx);
    return ok;
}

}  // namespace npk::host
