// Process-wide state shared by the entry points, the gates and CPlugin: the kept copy of
// the browser's function table and the scriptable class handed to createobject.
#pragma once

#include <stddef.h>

#include "npfunctions.h"

// The browser table as kept by Initialize: size, version and geturl..setexception;
// getJavaEnv and getJavaPeer are stored as null and later entries stay null.
extern NPNetscapeFuncs g_NPNFuncs;

// The scriptable object's class; null until NP_GetEntryPoints has run.
extern NPClass* g_pScriptableClass;

// Bytes of NPPluginFuncs the plug-in writes: everything through setvalue.
inline constexpr size_t kPluginFuncsBytesUsed = offsetof(NPPluginFuncs, setvalue) + sizeof(NPP_SetValueProcPtr);

// Bytes of NPNetscapeFuncs the plug-in keeps and calls: everything through setexception.
inline constexpr size_t kBrowserFuncsBytesUsed =
    offsetof(NPNetscapeFuncs, setexception) + sizeof(NPN_SetExceptionProcPtr);

// A browser must offer at least the table of NPAPI 0.22 (through getauthenticationinfo),
// the interface level the plug-in announces; older browsers are refused.
inline constexpr size_t kBrowserFuncsBytesRequired =
    offsetof(NPNetscapeFuncs, getauthenticationinfo) + sizeof(NPN_GetAuthenticationInfoPtr);

// The NPAPI version written into the plug-in table: major 0, minor 22.
inline constexpr uint16_t kPluginFuncsVersion = (0 << 8) | NPVERS_HAS_PRIVATE_MODE;

#if (defined(_WIN32) && !defined(_WIN64)) || defined(__i386__)
static_assert(kPluginFuncsBytesUsed == 60, "NPPluginFuncs through setvalue is 60 bytes on 32-bit");
static_assert(kBrowserFuncsBytesUsed == 164, "NPNetscapeFuncs through setexception is 164 bytes on 32-bit");
static_assert(kBrowserFuncsBytesRequired == 196, "the NPAPI 0.22 browser table is 196 bytes on 32-bit");
#endif

// What Initialize and GetEntryPoints do behind the exports (also used by tests).
NPError GetEntryPoints(NPPluginFuncs* pFuncs);
NPError Initialize(NPNetscapeFuncs* pFuncs);
NPError Shutdown();
const char* GetMIMEDescription();
