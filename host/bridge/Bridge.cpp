#include "host/bridge/Bridge.h"

#include "host/Browser.h"
#include "host/bridge/NativeMessage.h"

#include <cmath>
#include <cstring>
#include <deque>
#include <vector>

namespace npk::bridge {

namespace {

constexpr uint32_t kFail = 0x80004005u;  // E_FAIL: the plug-in could not serve the request
constexpr size_t kMaxNameLength = 1024;  // document ids and method names

NPNetscapeFuncs* F()
{
    return host::browser::Functions();
}

JsonValue OkReply(const JsonValue& id)
{
    JsonValue reply = JsonValue::Object();
    reply.AddMember("id", id);
    reply.AddMember("ok", JsonValue::Bool(true));
    return reply;
}

// A string member; false (with the reason) when absent or of another type.
bool StringField(const JsonValue& message, const char* name, std::string& value, std::string& why)
{
    const JsonValue* v = message.Find(name);
    if (v == nullptr) {
        why = std::string("the message has no \"") + name + "\"";
        return false;
    }
    if (!v->IsString()) {
        why = std::string("\"") + name + "\" must be a string";
        return false;
    }
    value = v->AsString();
    return true;
}

// The variant a page's value becomes, as the page runner converts it; strings point into the
// message, which outlives the call.
bool ToVariant(const JsonValue& value, NPVariant& v)
{
    VOID_TO_NPVARIANT(v);
    switch (value.GetType()) {
    case JsonValue::Type::Null:
        NULL_TO_NPVARIANT(v);
        return true;
    case JsonValue::Type::Bool:
        BOOLEAN_TO_NPVARIANT(value.AsBool(), v);
        return true;
    case JsonValue::Type::Number:
        host::browser::SetNumberVariant(&v, value.AsNumber());
        return true;
    case JsonValue::Type::String:
        STRINGN_TO_NPVARIANT(value.AsString().data(), static_cast<uint32_t>(value.AsString().size()), v);
        return true;
    default:
        return false;
    }
}

JsonValue FromVariant(const NPVariant& v)
{
    switch (v.type) {
    case NPVariantType_Bool:
        return JsonValue::Bool(v.value.boolValue);
    case NPVariantType_Int32:
        return JsonValue::Number(v.value.intValue);
    case NPVariantType_Double:
        return JsonValue::Number(v.value.doubleValue);
    case NPVariantType_String:
        if (v.value.stringValue.UTF8Characters == nullptr) {
            return JsonValue::String(std::string());
        }
        return JsonValue::String(std::string(v.value.stringValue.UTF8Characters, v.value.stringValue.UTF8Length));
    default:
        // void, null, and objects, which this plug-in does not return and a page could not use
        return JsonValue();
    }
}

// Invokes a method; the result variant is the caller's to release.
bool InvokeMethod(NPP npp, NPObject* object, NPIdentifier method, const std::vector<NPVariant>& args,
                  NPVariant& result, std::string& exception, bool& raised)
{
    VOID_TO_NPVARIANT(result);
    host::browser::ClearException();
    const bool ok = F()->invoke(npp, object, method, args.empty() ? nullptr : args.data(),
                                static_cast<uint32_t>(args.size()), &result);
    raised = host::browser::TakeException(exception);
    // Work the call queued (asynchronous calls) runs before the answer, as after a page's call.
    host::browser::RunPendingTasks();
    return ok;
}

}  // namespace

bool CodeFromDescription(const std::string& description, uint32_t& code)
{
    // "...(0x%08x)" at the very end, eight hexadecimal digits.
    constexpr size_t kTail = 12;  // "(0x" + 8 + ")"
    if (description.size() < kTail || description.back() != ')') {
        return false;
    }
    const size_t start = description.size() - kTail;
    if (description.compare(start, 3, "(0x") != 0) {
        return false;
    }
    uint32_t value = 0;
    for (size_t i = start + 3; i < start + 11; ++i) {
        const int d = HexDigitValue(description[i]);
        if (d < 0) {
            return false;
        }
        value = (value << 4) | static_cast<uint32_t>(d);
    }
    code = value;
    return true;
}

Bridge::Bridge(std::string pluginPath) : m_pluginPath(std::move(pluginPath)) {}

Bridge::~Bridge()
{
    Shutdown();
}

JsonValue Bridge::Handle(const JsonValue& message)
{
    const JsonValue* id = message.Find("id");
    if (id == nullptr || !id->IsNumber() || !std::isfinite(id->AsNumber())) {
        return ErrorReply(JsonValue(), kBridgeError,
                          id == nullptr ? "the message has no \"id\"" : "\"id\" must be a number");
    }
    std::string type;
    std::string why;
    if (!StringField(message, "type", type, why)) {
        return ErrorReply(*id, kBridgeError, why);
    }
    if (type == "call") {
        return Call(*id, message);
    }
    if (type == "open") {
        return Open(*id, message);
    }
    if (type == "close") {
        return Close(*id, message);
    }
    return ErrorReply(*id, kBridgeError, "unknown message type \"" + type + "\"");
}

bool Bridge::EnsureLibrary(std::string& error)
{
    if (m_library != nullptr) {
        return true;
    }
    auto library = host::PluginLibrary::Open(m_pluginPath, error);
    if (library == nullptr) {
        return false;
    }
    if (!library->Start(error)) {
        library->Stop();
        return false;
    }
    m_library = std::move(library);
    return true;
}

JsonValue Bridge::Open(const JsonValue& id, const JsonValue& message)
{
    std::string doc;
    std::string origin;
    std::string why;
    if (!StringField(message, "doc", doc, why) || !StringField(message, "origin", origin, why)) {
        return ErrorReply(id, kBridgeError, why);
    }
    if (doc.empty() || doc.size() > kMaxNameLength) {
        return ErrorReply(id, kBridgeError, "\"doc\" must be a non-empty id of at most 1024 bytes");
    }
    if (auto it = m_docs.find(doc); it != m_docs.end()) {
        // Opening twice gives the same instance; a document never changes its origin.
        if (it->second.origin != origin) {
            return ErrorReply(id, kBridgeError, "document \"" + doc + "\" is open for another origin");
        }
        return OkReply(id);
    }
    std::string error;
    if (!EnsureLibrary(error)) {
        return ErrorReply(id, kFail, "the plug-in cannot be loaded: " + error);
    }
    Document d;
    d.origin = origin;
    d.npp = m_library->NewInstance(error);
    if (d.npp != nullptr) {
        d.object = m_library->ScriptableObject(d.npp, error);
    }
    host::browser::RunPendingTasks();
    if (d.object == nullptr) {
        if (d.npp != nullptr) {
            m_library->DestroyInstance(d.npp);
        }
        return ErrorReply(id, kFail, "the plug-in instance cannot be created: " + error);
    }
    m_docs.emplace(doc, d);
    return OkReply(id);
}

JsonValue Bridge::Close(const JsonValue& id, const JsonValue& message)
{
    std::string doc;
    std::string why;
    if (!StringField(message, "doc", doc, why)) {
        return ErrorReply(id, kBridgeError, why);
    }
    auto it = m_docs.find(doc);
    if (it == m_docs.end()) {
        return ErrorReply(id, kBridgeError, "unknown document \"" + doc + "\"");
    }
    CloseDocument(it->second);
    m_docs.erase(it);
    return OkReply(id);
}

void Bridge::CloseDocument(Document& doc)
{
    // The browser's order: NPP_Destroy, then the page's own reference goes.
    if (m_library != nullptr && doc.npp != nullptr) {
        m_library->DestroyInstance(doc.npp);
    }
    if (doc.object != nullptr) {
        host::browser::ReleaseObject(doc.object);
    }
    doc.npp = nullptr;
    doc.object = nullptr;
    host::browser::RunPendingTasks();
}

JsonValue Bridge::Call(const JsonValue& id, const JsonValue& message)
{
    std::string doc;
    std::string method;
    std::string why;
    if (!StringField(message, "doc", doc, why) || !StringField(message, "method", method, why)) {
        return ErrorReply(id, kBridgeError, why);
    }
    const JsonValue* args = message.Find("args");
    if (args == nullptr || !args->IsArray()) {
        return ErrorReply(id, kBridgeError, args == nullptr ? "the message has no \"args\"" : "\"args\" must be an array");
    }
    auto it = m_docs.find(doc);
    if (it == m_docs.end()) {
        return ErrorReply(id, kBridgeError, "unknown document \"" + doc + "\"");
    }
    std::vector<NPVariant> values(args->Items().size());
    for (size_t i = 0; i < values.size(); ++i) {
        if (!ToVariant(args->Items()[i], values[i])) {
            return ErrorReply(id, kBridgeError,
                              "argument " + std::to_string(i + 1) +
                                  ": only strings, numbers, booleans and null can be passed to the plug-in");
        }
    }
    if (method.empty() || method.size() > kMaxNameLength || method.find('\0') != std::string::npos) {
        return ErrorReply(id, kBridgeError, "unknown method");
    }
    Document& d = it->second;
    NPIdentifier name = F()->getstringidentifier(method.c_str());
    if (name == nullptr || !F()->hasmethod(d.npp, d.object, name)) {
        host::browser::RunPendingTasks();
        return ErrorReply(id, kBridgeError, "the plug-in has no method " + method);
    }

    NPVariant result;
    std::string exception;
    bool raised = false;
    const bool ok = InvokeMethod(d.npp, d.object, name, values, result, exception, raised);
    if (ok && !raised) {
        JsonValue reply = OkReply(id);
        reply.AddMember("result", FromVariant(result));
        F()->releasevariantvalue(&result);
        return reply;
    }
    // An adapter that refuses its argument list leaves the result unwritten and the agent
    // untouched; one that ran writes null or false, and the agent's last error says why.
    const bool adapterRan = !NPVARIANT_IS_VOID(result);
    F()->releasevariantvalue(&result);
    if (!adapterRan) {
        std::string text = method + ": the plug-in refused the arguments (wrong number or type)";
        if (raised) {
            text += ": " + exception;
        }
        return ErrorReply(id, kBridgeError, text);
    }

    NPVariant desc;
    std::string descException;
    bool descRaised = false;
    const bool descOk = InvokeMethod(d.npp, d.object, F()->getstringidentifier("GetLastErrorDesc"), {}, desc,
                                     descException, descRaised);
    std::string description;
    if (descOk && NPVARIANT_IS_STRING(desc) && desc.value.stringValue.UTF8Characters != nullptr) {
        description.assign(desc.value.stringValue.UTF8Characters, desc.value.stringValue.UTF8Length);
    }
    F()->releasevariantvalue(&desc);
    uint32_t code = 0;
    if (!CodeFromDescription(description, code) || code == 0) {
        // A failure must reach the page as one, even when the last error does not name it.
        code = kFail;
        if (description.empty()) {
            description = method + " failed" + (raised ? ": " + exception : std::string());
        }
    }
    return ErrorReply(id, code, description);
}

void Bridge::Shutdown()
{
    for (auto& [name, doc] : m_docs) {
        CloseDocument(doc);
    }
    m_docs.clear();
    if (m_library != nullptr) {
        m_library->Stop();
        m_library.reset();
    }
}

}  // namespace npk::bridge
