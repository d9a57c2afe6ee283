// npk-sizes32.exe DLL: the 32-bit sizes the plug-in relies on, checked at run time in the
// Windows build and against the real DLL: the structures it hands to Windows (the tooltip,
// the certificate viewer, event tracing, message encryption) against the sizes Windows
// documents for 32-bit programs, and the NPAPI table sizes as NP_GetEntryPoints and
// NP_Initialize of the DLL itself accept and refuse them. Prints one line per check and
// "sizes: N passed, N failed"; exits 1 when a check failed.
#include <windows.h>
#include <commctrl.h>
#include <wincrypt.h>
#include <cryptuiapi.h>
#include <evntrace.h>

#include "npapi.h"
#include "npfunctions.h"
#include "npruntime.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(const char* what, long long actual, long long expected)
{
    const bool ok = actual == expected;
    std::printf("%s %s: %lld%s\n", ok ? "ok" : "FAILED", what, actual,
                ok ? "" : (" (expected " + std::to_string(expected) + ")").c_str());
    (ok ? g_passed : g_failed)++;
}

using GetEntryPointsFn = NPError(WINAPI*)(NPPluginFuncs*);
using InitializeFn = NPError(WINAPI*)(NPNetscapeFuncs*);
using ShutdownFn = NPError(WINAPI*)();

void CheckTheDll(const char* path)
{
    HMODULE dll = LoadLibraryA(path);
    if (dll == nullptr) {
        std::printf("FAILED cannot load %s: error %lu\n", path, GetLastError());
        ++g_failed;
        return;
    }
    auto getEntryPoints = reinterpret_cast<GetEntryPointsFn>(reinterpret_cast<void*>(GetProcAddress(dll, "NP_GetEntryPoints")));
    auto initialize = reinterpret_cast<InitializeFn>(reinterpret_cast<void*>(GetProcAddress(dll, "NP_Initialize")));
    auto shutdown = reinterpret_cast<ShutdownFn>(reinterpret_cast<void*>(GetProcAddress(dll, "NP_Shutdown")));
    if (getEntryPoints == nullptr || initialize == nullptr || shutdown == nullptr) {
        std::printf("FAILED the DLL lacks an NPAPI entry point\n");
        ++g_failed;
        FreeLibrary(dll);
        return;
    }
    // The plug-in table: 60 bytes (through setvalue) are enough, 59 are refused untouched.
    NPPluginFuncs funcs;
    std::memset(&funcs, 0, sizeof(funcs));
    funcs.size = 59;
    Check("NP_GetEntryPoints with a 59-byte table", getEntryPoints(&funcs), NPERR_INVALID_FUNCTABLE_ERROR);
    Check("  and the table's version stays", funcs.version, 0);
    funcs.size = 60;
    Check("NP_GetEntryPoints with a 60-byte table", getEntryPoints(&funcs), NPERR_NO_ERROR);
    Check("  version written", funcs.version, 22);
    Check("  NPP_SetValue, the last field written, is set", funcs.setvalue != nullptr, 1);

    // The browser table: 196 bytes (through setexception) are required.
    NPNetscapeFuncs browser;
    std::memset(&browser, 0, sizeof(browser));
    browser.version = 0x0013;
    browser.size = 195;
    Check("NP_Initialize with a 195-byte browser table", initialize(&browser), NPERR_INVALID_FUNCTABLE_ERROR);
    browser.size = 196;
    Check("NP_Initialize with a 196-byte browser table", initialize(&browser), NPERR_NO_ERROR);
    Check("NP_Shutdown", shutdown(), NPERR_NO_ERROR);
    FreeLibrary(dll);
}

}  // namespace

int main(int argc, char** argv)
{
    Check("pointer", sizeof(void*), 4);
    Check("NPPluginFuncs through setvalue", offsetof(NPPluginFuncs, setvalue) + sizeof(void*), 60);
    Check("NPNetscapeFuncs through setexception (what the plug-in keeps)", offsetof(NPNetscapeFuncs, setexception) + sizeof(void*), 164);
    Check("NPNetscapeFuncs of NPAPI 0.22 (through getauthenticationinfo)",
          offsetof(NPNetscapeFuncs, getauthenticationinfo) + sizeof(void*), 196);
    Check("NPObject", sizeof(NPObject), 8);
    Check("NPClass", sizeof(NPClass), 52);
    Check("NPVariant", sizeof(NPVariant), 16);
    Check("NPString", sizeof(NPString), 8);
    Check("TOOLINFOW", sizeof(TOOLINFOW), 48);
    Check("CRYPTUI_VIEWCERTIFICATE_STRUCTW", sizeof(CRYPTUI_VIEWCERTIFICATE_STRUCTW), 72);
    Check("TRACE_GUID_REGISTRATION", sizeof(TRACE_GUID_REGISTRATION), 8);
    Check("EVENT_TRACE_HEADER", sizeof(EVENT_TRACE_HEADER), 48);
    Check("MOF_FIELD", sizeof(MOF_FIELD), 16);
    Check("EVENT_TRACE_PROPERTIES", sizeof(EVENT_TRACE_PROPERTIES), 120);
    Check("CRYPT_ENCRYPT_MESSAGE_PARA", sizeof(CRYPT_ENCRYPT_MESSAGE_PARA), 36);
    Check("CRYPT_DECRYPT_MESSAGE_PARA", sizeof(CRYPT_DECRYPT_MESSAGE_PARA), 16);
    Check("CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO", sizeof(CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO), 56);
    Check("CRYPT_KEY_PROV_INFO", sizeof(CRYPT_KEY_PROV_INFO), 28);
    if (argc > 1) {
        CheckTheDll(argv[1]);
    } else {
        std::printf("FAILED no DLL named\n");
        ++g_failed;
    }
    std::printf("sizes: %d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
