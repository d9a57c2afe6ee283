// Binding of the message entry points to the platform's TraceMessage/TraceMessageVa, and the
// built-in fallback that builds TraceEvent records where the platform lacks them.
#include <windows.h>
#include <evntrace.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "trace/TraceSupport.h"

namespace {

ULONG NPK_TRACE_CDECL TraceMessageLoadStub(TRACEHANDLE LoggerHandle, ULONG MessageFlags,
                                           LPCGUID MessageGuid, USHORT MessageNumber, ...);
ULONG WINAPI TraceMessageVaLoadStub(TRACEHANDLE LoggerHandle, ULONG MessageFlags,
                                    LPCGUID MessageGuid, USHORT MessageNumber, va_list Args);

// Written once by LoadTraceSupport, read by every event; a second loader racing with the
// first stores the same values.
std::atomic<PFN_TRACE_MESSAGE> s_pfnTraceMessage{&TraceMessageLoadStub};
std::atomic<PFN_TRACE_MESSAGE_VA> s_pfnTraceMessageVa{&TraceMessageVaLoadStub};
std::atomic<ULONG> s_traceMessageFound{0};
std::atomic<PFN_TRACE_EVENT> s_pfnTraceEvent{&TraceEvent};

ULONG NPK_TRACE_CDECL TraceMessageLoadStub(TRACEHANDLE LoggerHandle, ULONG MessageFlags,
                                           LPCGUID MessageGuid, USHORT MessageNumber, ...)
{
    LoadTraceSupport();
    va_list args;
    va_start(args, MessageNumber);
    ULONG status = s_pfnTraceMessageVa.load(std::memory_order_acquire)(
        LoggerHandle, MessageFlags, MessageGuid, MessageNumber, args);
    va_end(args);
    return status;
}

ULONG WINAPI TraceMessageVaLoadStub(TRACEHANDLE LoggerHandle, ULONG MessageFlags,
                                    LPCGUID MessageGuid, USHORT MessageNumber, va_list Args)
{
    LoadTraceSupport();
    return s_pfnTraceMessageVa.load(std::memory_order_acquire)(LoggerHandle, MessageFlags,
                                                               MessageGuid, MessageNumber, Args);
}

// GetProcAddress returns a generic procedure; the cast goes through void(*)(void), which the
// compiler accepts as matching every function type.
template <typename Pfn>
Pfn CastProc(FARPROC proc)
{
    return reinterpret_cast<Pfn>(reinterpret_cast<void (*)(void)>(proc));
}

// The fallback's record: the standard header followed by the data fields that the
// WNODE_FLAG_USE_MOF_PTR flag says come after it.
struct FallbackEvent {
    EVENT_TRACE_HEADER Header;
    MOF_FIELD Fields[NPK_TRACE_FALLBACK_MAX_FIELDS + 1];
};
static_assert(sizeof(EVENT_TRACE_HEADER) == 48 && sizeof(MOF_FIELD) == 16,
              "the record sizes below are counted in 16-byte units");
static_assert(offsetof(FallbackEvent, Fields) == sizeof(EVENT_TRACE_HEADER));

// Header size of a record with the number field and `fields` further data fields.
USHORT FallbackRecordSize(ULONG fields)
{
    return (USHORT)(sizeof(EVENT_TRACE_HEADER) + sizeof(MOF_FIELD) * (fields + 1));
}

}  // namespace

void LoadTraceSupport()
{
    PFN_TRACE_MESSAGE pfnMessage = &TraceMessageFallback;
    PFN_TRACE_MESSAGE_VA pfnMessageVa = &TraceMessageFallbackVa;
    ULONG found = 0;

    HMODULE hAdvapi = LoadLibraryW(TEXT("advapi32"));
    if (hAdvapi != NULL) {
        FARPROC proc = GetProcAddress(hAdvapi, "TraceMessage");
        if (proc != NULL) {
            found = 1;
            pfnMessage = CastProc<PFN_TRACE_MESSAGE>(proc);
            FARPROC procVa = GetProcAddress(hAdvapi, "TraceMessageVa");
            if (procVa != NULL) {
                pfnMessageVa = CastProc<PFN_TRACE_MESSAGE_VA>(procVa);
            }
        }
        // The library stays loaded through the module's own import of it; only the
        // reference taken here is given back.
        FreeLibrary(hAdvapi);
    }

    s_pfnTraceMessageVa.store(pfnMessageVa, std::memory_order_release);
    s_pfnTraceMessage.store(pfnMessage, std::memory_order_release);
    s_traceMessageFound.store(found, std::memory_order_release);
}

PFN_TRACE_MESSAGE TraceMessageEntryPoint()
{
    return s_pfnTraceMessage.load(std::memory_order_acquire);
}

PFN_TRACE_MESSAGE_VA TraceMessageVaEntryPoint()
{
    return s_pfnTraceMessageVa.load(std::memory_order_acquire);
}

PFN_TRACE_EVENT SetTraceEventSink(PFN_TRACE_EVENT pfnTraceEvent)
{
    return s_pfnTraceEvent.exchange(pfnTraceEvent != NULL ? pfnTraceEvent : &TraceEvent);
}

ULONG TraceMessageFound()
{
    return s_traceMessageFound.load(std::memory_order_acquire);
}

ULONG WINAPI TraceMessageFallbackVa(TRACEHANDLE LoggerHandle, ULONG MessageFlags,
                                    LPCGUID MessageGuid, USHORT MessageNumber, va_list Args)
{
    (void)MessageFlags;

    // First pass: count the arguments and add up their lengths, refusing anything above
    // the limit before the sum can wrap.
    ULONG count = 0;
    SIZE_T total = 0;
    {
        va_list scan;
        va_copy(scan, Args);
        for (;;) {
            PVOID data = va_arg(scan, PVOID);
            if (data == NULL) {
                break;
            }
            SIZE_T length = va_arg(scan, SIZE_T);
            if (length > NPK_TRACE_FALLBACK_MAX_BYTES - total) {
                va_end(scan);
                return ERROR_BUFFER_OVERFLOW;
            }
            total += length;
            ++count;
        }
        va_end(scan);
    }

    FallbackEvent event;
    std::memset(&event, 0, sizeof(event));
    event.Header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_GUID_PTR | WNODE_FLAG_USE_MOF_PTR;
    event.Header.Class.Type = 255;
    event.Header.GuidPtr = (ULONG64)(ULONG_PTR)MessageGuid;

    USHORT number = MessageNumber;
    event.Fields[0].DataPtr = (ULONG64)(ULONG_PTR)&number;
    event.Fields[0].Length = sizeof(number);

    if (count <= NPK_TRACE_FALLBACK_MAX_FIELDS) {
        va_list walk;
        va_copy(walk, Args);
        for (ULONG i = 1; i <= count; ++i) {
            PVOID data = va_arg(walk, PVOID);
            SIZE_T length = va_arg(walk, SIZE_T);
            event.Fields[i].DataPtr = (ULONG64)(ULONG_PTR)data;
            event.Fields[i].Length = (ULONG)length;
        }
        va_end(walk);
        event.Header.Size = FallbackRecordSize(count);
        return s_pfnTraceEvent.load(std::memory_order_acquire)(LoggerHandle, &event.Header);
    }

    // Too many arguments for separate fields: send them as one concatenated block.
    BYTE* block = static_cast<BYTE*>(std::malloc(total != 0 ? total : 1));
    if (block == NULL) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    SIZE_T offset = 0;
    va_list walk;
    va_copy(walk, Args);
    for (ULONG i = 0; i < count; ++i) {
        PVOID data = va_arg(walk, PVOID);
        SIZE_T length = va_arg(walk, SIZE_T);
        if (length != 0) {
            std::memcpy(block + offset, data, length);
            offset += length;
        }
    }
    va_end(walk);
    event.Fields[1].DataPtr = (ULONG64)(ULONG_PTR)block;
    event.Fields[1].Length = (ULONG)total;
    event.Header.Size = FallbackRecordSize(1);
    ULONG status = s_pfnTraceEvent.load(std::memory_order_acquire)(LoggerHandle, &event.Header);
    std::free(block);
    return status;
}

ULONG NPK_TRACE_CDECL TraceMessageFallback(TRACEHANDLE LoggerHandle, ULONG MessageFlags,
                                           LPCGUID MessageGuid, USHORT MessageNumber, ...)
{
    va_list args;
    va_start(args, MessageNumber);
    ULONG status = TraceMessageFallbackVa(LoggerHandle, MessageFlags, MessageGuid, MessageNumber,
                                          args);
    va_end(args);
    return status;
}
