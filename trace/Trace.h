// Diagnostic event tracing: the provider's control block, trace points, TraceHelper and TraceStep.
//
// A trace point is written as
//     NPK_TRACE(TRACE_INFORMATION, TraceMsgA(TRACE_GUID_PLUGIN_ENTRY, 10, pszMime));
// The second argument is evaluated only when tracing is initialised and the flag is enabled,
// so a disabled trace point costs one comparison and one bit test.
#pragma once

#include <windows.h>
#include <atomic>

#include "trace/TraceGuids.h"

#define TRACE_ERROR       0x00000001
#define TRACE_FAILURE     0x00000002
#define TRACE_INFORMATION 0x00000004
#define TRACE_FUNCTION    0x00000008

typedef ULONG64 NPK_TRACEHANDLE;

struct TRACE_CONTROL_BLOCK {
    TRACE_CONTROL_BLOCK* Next;
    NPK_TRACEHANDLE RegistrationHandle;
    std::atomic<NPK_TRACEHANDLE> Logger;   // written by the control callback's thread
    UCHAR FlagsLen;
    std::atomic<UCHAR> Level;
    USHORT Reserved;
    std::atomic<ULONG> Flags;
};

// Points at itself while tracing is not initialised, at g_TraceControlBlock while it is.
extern void* volatile g_pTraceListHead;
extern TRACE_CONTROL_BLOCK g_TraceControlBlock;

inline bool TraceIsOn(ULONG flag)
{
    return g_pTraceListHead != (void*)&g_pTraceListHead &&
           (g_TraceControlBlock.Flags.load(std::memory_order_relaxed) & flag) != 0;
}

#define NPK_TRACE(flag, emit)        \
    do {                             \
        if (TraceIsOn(flag)) {       \
            emit;                    \
        }                            \
    } while (0)

// Start-up and shut-down, called by NP_Initialize and NP_Shutdown.
void LoadTraceSupport();
void InitTracing();
void CleanupTracing();

// Emitters, one per argument kind. They preserve the thread's last error and apply the
// text substitutions (null 8-bit text "NULL"; null wide text "NULL", empty wide text "<NULL>").
void TraceMsg(const GUID& msgGuid, USHORT number);
void TraceMsgI32(const GUID& msgGuid, USHORT number, LONG value);
void TraceMsgI64(const GUID& msgGuid, USHORT number, LONGLONG value);
void TraceMsgI32x2(const GUID& msgGuid, USHORT number, LONG value1, LONG value2);
void TraceMsgA(const GUID& msgGuid, USHORT number, LPCSTR text);
void TraceMsgW(const GUID& msgGuid, USHORT number, LPCWSTR text);
void TraceMsgAI32(const GUID& msgGuid, USHORT number, LPCSTR text, LONG value);
void TraceMsgWI32(const GUID& msgGuid, USHORT number, LPCWSTR text, LONG value);

// Scoped entry/exit tracer: event 10 on construction, 11 on destruction (TRACE_FUNCTION).
class TraceHelper {
public:
    explicit TraceHelper(LPCSTR pszFunctionName);
    virtual ~TraceHelper();
    TraceHelper(const TraceHelper&) = delete;
    TraceHelper& operator=(const TraceHelper&) = delete;

private:
    LPCSTR m_pszFunctionName;
};

// Step outcome: a negative HRESULT is event 12 (TRACE_FAILURE), anything else event 13
// (TRACE_INFORMATION), both with the text and the value.
void TraceStep(HRESULT hr, LPCWSTR pwszStep);

// The agent's and the picker's form: "%ws - %ws" from the qualified function name and a
// description, at most 511 characters; a non-negative result is sent as 0. The text is
// composed only when the event's flag is enabled.
void TraceStepEx(HRESULT hr, LPCWSTR pwszFunction, LPCWSTR pwszDescription);
