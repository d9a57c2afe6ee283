// Built-in modules: the Windows system libraries ("advapi32", "crypt32", ...) that
// LoadLibraryW finds inside the platform layer instead of on disk. A part of the layer makes
// a procedure reachable through GetProcAddress by registering it, typically from a static
// initialiser:
//     static const bool s_reg = (NpkRegisterBuiltinProc("advapi32", "TraceMessage",
//                                    (FARPROC)&TraceMessage), true);
// Module names are matched case-insensitively, with or without ".dll". Thread-safe.
#pragma once

#include "npk/wintypes.h"

void NpkRegisterBuiltinProc(LPCSTR moduleName, LPCSTR procName, FARPROC proc);
