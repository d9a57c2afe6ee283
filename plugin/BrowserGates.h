// The plug-in's gates to the browser: thin wrappers over the kept browser table.
// The NPN_* declarations themselves come from npapi.h and npruntime.h.
#pragma once

#include "npfunctions.h"

// Raises a script exception on the object; the message is always the same fixed text.
void NPN_SetException(NPObject* npobj);

// Releases a text the browser allocated (identifier names) through the kept memfree entry.
void FreeBrowserMemory(void* pv);
