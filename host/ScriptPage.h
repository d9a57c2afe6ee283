// The page: a Duktape context whose globals are the plug-in's scriptable object (`plugin`),
// `embed()` for further instances and `print(...)`. Script values cross to NPAPI and back
// here; javascript: URLs the plug-in requests run here after the plug-in call returns.
#pragma once

#include "host/Browser.h"
#include "host/PluginLibrary.h"

#include <string>
#include <unordered_set>
#include <vector>

struct duk_hthread;
typedef struct duk_hthread duk_context;

namespace npk::host {

class ScriptPage : public PageHooks {
public:
    explicit ScriptPage(PluginLibrary& library);
    ~ScriptPage() override;
    ScriptPage(const ScriptPage&) = delete;
    ScriptPage& operator=(const ScriptPage&) = delete;

    // Creates the context and the globals, with `plugin` the object of a first instance.
    bool Open(std::string& error);

    // Runs a page script. 0 when it ran to its end; 1 when an exception escaped (printed on
    // standard error).
    int Run(const std::string& source, const std::string& fileName);

    // One method call on `plugin` with string arguments. True on success with the result as
    // text (booleans as true/false); false with the error message.
    bool Call(const std::string& method, const std::vector<std::string>& args, std::string& result);

    // Drops every reference the page holds on plug-in objects; the page is unusable after.
    void ReleaseObjects();

    void RunScriptUrl(const std::string& script) override;
    bool Evaluate(const std::string& script, NPVariant* result) override;

    // Used by the engine's native functions.
    duk_context* Context() const { return m_ctx; }
    PluginLibrary& Library() { return m_library; }
    void Hold(NPObject* object) { m_held.insert(object); }
    bool Unhold(NPObject* object);
    void AfterPluginCall();

private:
    PluginLibrary& m_library;
    duk_context* m_ctx = nullptr;
    std::unordered_multiset<NPObject*> m_held;  // one entry per reference a wrapper owns
    bool m_runningTasks = false;
};

}  // namespace npk::host
