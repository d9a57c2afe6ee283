// The browser side of NPAPI: the function table handed to the plug-in, object reference
// counting, variants, exceptions raised by the plug-in, and the work a plug-in call queues
// for the page (javascript: URLs, asynchronous calls), run after the call returns.
#pragma once

#include "npapi.h"
#include "npfunctions.h"
#include "npruntime.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace npk::host {

// What the page's script engine does for the browser.
class PageHooks {
public:
    virtual ~PageHooks() = default;
    // Runs the script of a javascript: URL in the page; reports its errors itself.
    virtual void RunScriptUrl(const std::string& script) = 0;
    // NPN_Evaluate: runs a script and converts its value; false when it threw.
    virtual bool Evaluate(const std::string& script, NPVariant* result) = 0;
};

namespace browser {

// The table handed to NP_Initialize; filled once, never changes.
NPNetscapeFuncs* Functions();

// The page that runs javascript: URLs; null when none (the URL is then refused).
void SetPage(PageHooks* page);

// The exception the plug-in raised with setexception since the last Clear.
void ClearException();
bool TakeException(std::string& message);

// Runs what plug-in calls have queued, including work queued while running it.
void RunPendingTasks();

// Objects created through createobject that have not been freed yet.
size_t LiveObjectCount();

// Convenience wrappers over the table's own entries.
void ReleaseObject(NPObject* object);
NPObject* RetainObject(NPObject* object);
void ReleaseVariantValue(NPVariant* variant);
// A string variant whose bytes the browser allocated (memalloc), as the plug-in expects.
bool SetStringVariant(NPVariant* variant, std::string_view utf8);
// A script number as the plug-in receives it: an int32 variant when the value is an integer
// that fits, otherwise a double.
void SetNumberVariant(NPVariant* variant, double value);

}  // namespace browser
}  // namespace npk::host
