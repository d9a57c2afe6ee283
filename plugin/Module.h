// The library's own module handle, recorded when the process attaches the library.
#pragma once

#include <windows.h>

extern HINSTANCE g_hModuleInstance;
