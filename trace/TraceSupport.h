// The trace facility's inner pieces: the message entry points and their fallback over
// TraceEvent, the provider's control callback and the global-logger probe. The system's
// modules use Trace.h; this header is for the trace code itself and its tests.
#pragma once

#include <windows.h>
#include <evntrace.h>

#include "trace/Trace.h"

#ifdef _WIN32
#define NPK_TRACE_CDECL __cdecl
#else
#define NPK_TRACE_CDECL
#endif

// The shapes of the platform's TraceMessage and TraceMessageVa: the variable part is a list
// of (PVOID data, SIZE_T length) pairs ended by a null pointer.
typedef ULONG(NPK_TRACE_CDECL* PFN_TRACE_MESSAGE)(TRACEHANDLE LoggerHandle, ULONG MessageFlags,
                                                  LPCGUID MessageGuid, USHORT MessageNumber, ...);
typedef ULONG(WINAPI* PFN_TRACE_MESSAGE_VA)(TRACEHANDLE LoggerHandle, ULONG MessageFlags,
                                            LPCGUID MessageGuid, USHORT MessageNumber,
                                            va_list MessageArgList);

// Message flags of every event: sequence number, GUID, time stamp and system information.
#define NPK_TRACE_MESSAGE_FLAGS                                                          \
    (TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_TIMESTAMP |             \
     TRACE_MESSAGE_SYSTEMINFO)

// Fallback event layout limits.
#define NPK_TRACE_FALLBACK_MAX_FIELDS 7      // arguments sent as separate data fields
#define NPK_TRACE_FALLBACK_MAX_BYTES  8192   // total argument bytes of one event

// The built-in fallback: one TraceEvent record carrying the message GUID by pointer, the
// message number and the arguments. Message flags are not part of such a record.
ULONG WINAPI TraceMessageFallbackVa(TRACEHANDLE LoggerHandle, ULONG MessageFlags,
                                    LPCGUID MessageGuid, USHORT MessageNumber, va_list Args);
ULONG NPK_TRACE_CDECL TraceMessageFallback(TRACEHANDLE LoggerHandle, ULONG MessageFlags,
                                           LPCGUID MessageGuid, USHORT MessageNumber, ...);

// Where the fallback hands its records: TraceEvent, unless a test puts an observer in
// between. Returns the previous one.
typedef ULONG(WINAPI* PFN_TRACE_EVENT)(TRACEHANDLE TraceHandle, PEVENT_TRACE_HEADER EventTrace);
PFN_TRACE_EVENT SetTraceEventSink(PFN_TRACE_EVENT pfnTraceEvent);

// The message entry points in use and whether the platform's TraceMessage was found
// (1 found, 0 not). Before LoadTraceSupport has run, both entry points are stubs that load
// the support first.
PFN_TRACE_MESSAGE TraceMessageEntryPoint();
PFN_TRACE_MESSAGE_VA TraceMessageVaEntryPoint();
ULONG TraceMessageFound();

// Sends one event through the message entry point with the block's logger handle and the
// standard message flags; the variable part is the (pointer, length) pairs, null-ended.
// The result is ignored by the callers.
#define NPK_TRACE_SEND(guid, number, ...)                                                 \
    (TraceMessageEntryPoint()(g_TraceControlBlock.Logger.load(std::memory_order_relaxed), \
                              NPK_TRACE_MESSAGE_FLAGS, &(guid), (number), __VA_ARGS__))

// Called by the tracing service: enable (4) and disable (5) requests update the block given
// as the context; anything else is refused with ERROR_INVALID_PARAMETER.
ULONG WINAPI TraceControlCallback(WMIDPREQUESTCODE RequestCode, PVOID RequestContext,
                                  ULONG* BufferSize, PVOID Buffer);

// Picks up a global logger session configured in the registry for the control GUID:
// fills in the block's logger, and its flags and level when that logger runs.
void ProbeGlobalLogger(LPCGUID ControlGuid, TRACE_CONTROL_BLOCK* Block);

// The registry sub-key name of a GUID: 36 lowercase characters without braces.
void FormatTraceGuidKey(const GUID& guid, WCHAR (&text)[37]);
