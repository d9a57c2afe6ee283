// The trace provider: its control block, registration with the tracing service, the control
// callback through which a controller enables it, and the global-logger probe.
#include <windows.h>
#include <evntrace.h>

#include <cstring>

#include "trace/TraceSupport.h"

void* volatile g_pTraceListHead = (void*)&g_pTraceListHead;
TRACE_CONTROL_BLOCK g_TraceControlBlock;

namespace {

// The registration list: the provider's one trace GUID is its control GUID. The tracing
// service may keep the array, so it lives as long as the module.
TRACE_GUID_REGISTRATION s_traceGuidRegistration[1] = {{&TRACE_CONTROL_GUID, NULL}};

bool TracingInitialised()
{
    return g_pTraceListHead != (void*)&g_pTraceListHead;
}

// Reads a 32-bit registry value; false when it is missing or not a 32-bit number.
bool ReadDwordValue(HKEY hKey, LPCWSTR pwszName, DWORD* pdwValue)
{
    DWORD dwType = 0;
    DWORD dwValue = 0;
    DWORD cbValue = sizeof(dwValue);
    LSTATUS status = RegQueryValueExW(hKey, pwszName, NULL, &dwType, (LPBYTE)&dwValue, &cbValue);
    if (status != ERROR_SUCCESS || dwType != REG_DWORD || cbValue != sizeof(dwValue)) {
        return false;
    }
    *pdwValue = dwValue;
    return true;
}

// Asks the tracing service for the handle of the running "GlobalLogger" session; 0 when
// that session does not run.
TRACEHANDLE QueryGlobalLoggerHandle()
{
    // The query needs no room for the session's names: an answer of ERROR_MORE_DATA still
    // carries the handle.
    union {
        EVENT_TRACE_PROPERTIES Properties;
        BYTE Raw[sizeof(EVENT_TRACE_PROPERTIES)];
    } buffer;
#if defined(_WIN32) && !defined(_WIN64)
    static_assert(sizeof(EVENT_TRACE_PROPERTIES) == 120);
#endif
    std::memset(&buffer, 0, sizeof(buffer));
    buffer.Properties.Wnode.BufferSize = sizeof(buffer);
    buffer.Properties.Wnode.Flags = WNODE_FLAG_TRACED_GUID;

    ULONG status = ControlTraceW(0, TEXT("GlobalLogger"), &buffer.Properties,
                                 EVENT_TRACE_CONTROL_QUERY);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
        return 0;
    }
    return buffer.Properties.Wnode.HistoricalContext;
}

}  // namespace

void FormatTraceGuidKey(const GUID& guid, WCHAR (&text)[37])
{
    static const char kHex[] = "0123456789abcdef";
    BYTE bytes[16];
    DWORD data1 = (DWORD)guid.Data1;
    for (int i = 0; i < 4; ++i) {
        bytes[i] = (BYTE)(data1 >> (24 - 8 * i));
    }
    bytes[4] = (BYTE)(guid.Data2 >> 8);
    bytes[5] = (BYTE)guid.Data2;
    bytes[6] = (BYTE)(guid.Data3 >> 8);
    bytes[7] = (BYTE)guid.Data3;
    for (int i = 0; i < 8; ++i) {
        bytes[8 + i] = guid.Data4[i];
    }

    int pos = 0;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text[pos++] = (WCHAR)'-';
        }
        text[pos++] = (WCHAR)kHex[bytes[i] >> 4];
        text[pos++] = (WCHAR)kHex[bytes[i] & 0x0F];
    }
    text[pos] = 0;
}

void ProbeGlobalLogger(LPCGUID ControlGuid, TRACE_CONTROL_BLOCK* Block)
{
    HKEY hGlobalLogger = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger"),
                      0, KEY_READ, &hGlobalLogger) != ERROR_SUCCESS) {
        return;
    }

    DWORD dwStart = 0;
    if (!ReadDwordValue(hGlobalLogger, TEXT("Start"), &dwStart) || dwStart == 0) {
        RegCloseKey(hGlobalLogger);
        return;
    }

    WCHAR wszGuid[37];
    FormatTraceGuidKey(*ControlGuid, wszGuid);
    HKEY hProvider = NULL;
    if (RegOpenKeyExW(hGlobalLogger, wszGuid, 0, KEY_READ, &hProvider) != ERROR_SUCCESS) {
        RegCloseKey(hGlobalLogger);
        return;
    }

    DWORD dwFlags = 0;
    DWORD dwLevel = 0;
    if (!ReadDwordValue(hProvider, TEXT("Flags"), &dwFlags)) {
        dwFlags = 0;
    }
    if (!ReadDwordValue(hProvider, TEXT("Level"), &dwLevel)) {
        dwLevel = 0;
    }

    if (dwStart == 1) {
        TRACEHANDLE hLogger = QueryGlobalLoggerHandle();
        Block->Logger.store(hLogger, std::memory_order_relaxed);
        if (hLogger != 0) {
            // The top bit of the configured flags is the registry's own marker, not a flag.
            Block->Level.store((UCHAR)(dwLevel & 0xFF), std::memory_order_relaxed);
            Block->Flags.store(dwFlags & 0x7FFFFFFF, std::memory_order_relaxed);
        }
    }

    RegCloseKey(hProvider);
    RegCloseKey(hGlobalLogger);
}

ULONG WINAPI TraceControlCallback(WMIDPREQUESTCODE RequestCode, PVOID RequestContext,
                                  ULONG* BufferSize, PVOID Buffer)
{
    if (BufferSize != NULL) {
        *BufferSize = 0;
    }
    TRACE_CONTROL_BLOCK* block = static_cast<TRACE_CONTROL_BLOCK*>(RequestContext);
    if (block == NULL) {
        return ERROR_INVALID_PARAMETER;
    }

    switch (RequestCode) {
    case WMI_ENABLE_EVENTS: {
        TRACEHANDLE hLogger = GetTraceLoggerHandle(Buffer);
        UCHAR level = GetTraceEnableLevel(hLogger);
        ULONG flags = GetTraceEnableFlags(hLogger);
        block->Logger.store(hLogger, std::memory_order_relaxed);
        block->Level.store(level, std::memory_order_relaxed);
        block->Flags.store(flags, std::memory_order_relaxed);
        return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
        // Flags first, so that a trace point racing with this never sees a stale flag
        // together with the cleared logger.
        block->Flags.store(0, std::memory_order_relaxed);
        block->Level.store(0, std::memory_order_relaxed);
        block->Logger.store(0, std::memory_order_relaxed);
        return ERROR_SUCCESS;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

void InitTracing()
{
    // A second start-up without a shut-down in between would register the provider twice
    // and lose the first registration handle.
    if (TracingInitialised()) {
        return;
    }

    TRACE_CONTROL_BLOCK* block = &g_TraceControlBlock;
    block->Next = NULL;
    block->RegistrationHandle = 0;
    block->Logger.store(0, std::memory_order_relaxed);
    block->FlagsLen = 1;
    block->Level.store(0, std::memory_order_relaxed);
    block->Reserved = 0;
    block->Flags.store(0, std::memory_order_relaxed);
    g_pTraceListHead = block;

    for (TRACE_CONTROL_BLOCK* current = block; current != NULL; current = current->Next) {
        TRACEHANDLE hRegistration = 0;
        // A failed registration leaves the provider silent; tracing never stops the plug-in.
        RegisterTraceGuidsW(&TraceControlCallback, current, &TRACE_CONTROL_GUID, 1,
                            s_traceGuidRegistration, NULL, NULL, &hRegistration);
        current->RegistrationHandle = hRegistration;
        if (current->Logger.load(std::memory_order_relaxed) == 0) {
            ProbeGlobalLogger(&TRACE_CONTROL_GUID, current);
        }
    }
}

void CleanupTracing()
{
    if (!TracingInitialised()) {
        return;
    }
    for (TRACE_CONTROL_BLOCK* current = static_cast<TRACE_CONTROL_BLOCK*>(g_pTraceListHead);
         current != NULL; current = current->Next) {
        if (current->RegistrationHandle != 0) {
            UnregisterTraceGuids(current->RegistrationHandle);
            current->RegistrationHandle = 0;
        }
    }
    g_pTraceListHead = (void*)&g_pTraceListHead;
}
