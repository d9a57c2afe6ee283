// The process-attach hook: records the library's own module handle and nothing else.
#include <windows.h>

#include "plugin/Module.h"

HINSTANCE g_hModuleInstance = NULL;

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved)
{
    if (dwReason == DLL_PROCESS_ATTACH) g_hModuleInstance = hInstance;
    return TRUE;
}

#if !defined(_WIN32)
// Linux has no loader notification: a library constructor stands in for it, finding the
// module that contains this code the way a Windows module would.
namespace {
__attribute__((constructor)) void AttachModule()
{
    HMODULE hModule = NULL;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(&DllMain), &hModule))
        DllMain(hModule, DLL_PROCESS_ATTACH, NULL);
}
}  // namespace
#endif
