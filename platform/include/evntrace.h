// Event tracing (advapi32): sessions, controllers, classic providers and their events, with
// the SDK's names, structure layouts and constants.
#pragma once

#include "npk/wintypes.h"
#include "wmistr.h"

#define WMIAPI WINAPI
#define WMIAPIV

typedef ULONG64 TRACEHANDLE, *PTRACEHANDLE;
#define INVALID_PROCESSTRACE_HANDLE ((TRACEHANDLE)INVALID_HANDLE_VALUE)

#define KERNEL_LOGGER_NAMEW TEXT("NT Kernel Logger")
#define GLOBAL_LOGGER_NAMEW TEXT("GlobalLogger")
#define EVENT_LOGGER_NAMEW  TEXT("EventLog")
#define KERNEL_LOGGER_NAMEA "NT Kernel Logger"
#define GLOBAL_LOGGER_NAMEA "GlobalLogger"
#define KERNEL_LOGGER_NAME  KERNEL_LOGGER_NAMEW
#define GLOBAL_LOGGER_NAME  GLOBAL_LOGGER_NAMEW

#define MAX_MOF_FIELDS 16

// Event types of EVENT_TRACE_HEADER.Class.Type.
#define EVENT_TRACE_TYPE_INFO     0x00
#define EVENT_TRACE_TYPE_START    0x01
#define EVENT_TRACE_TYPE_END      0x02
#define EVENT_TRACE_TYPE_STOP     0x02
#define EVENT_TRACE_TYPE_DC_START 0x03
#define EVENT_TRACE_TYPE_DC_END   0x04
#define EVENT_TRACE_TYPE_EXTENSION 0x05
#define EVENT_TRACE_TYPE_REPLY    0x06
#define EVENT_TRACE_TYPE_DEQUEUE  0x07
#define EVENT_TRACE_TYPE_CHECKPOINT 0x08

// Levels.
#define TRACE_LEVEL_NONE        0
#define TRACE_LEVEL_CRITICAL    1
#define TRACE_LEVEL_FATAL       1
#define TRACE_LEVEL_ERROR       2
#define TRACE_LEVEL_WARNING     3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE     5

// ControlTrace codes.
#define EVENT_TRACE_CONTROL_QUERY  0
#define EVENT_TRACE_CONTROL_STOP   1
#define EVENT_TRACE_CONTROL_UPDATE 2
#define EVENT_TRACE_CONTROL_FLUSH  3

// Log file modes.
#define EVENT_TRACE_FILE_MODE_NONE       0x00000000
#define EVENT_TRACE_FILE_MODE_SEQUENTIAL 0x00000001
#define EVENT_TRACE_FILE_MODE_CIRCULAR   0x00000002
#define EVENT_TRACE_FILE_MODE_APPEND     0x00000004
#define EVENT_TRACE_FILE_MODE_NEWFILE    0x00000008
#define EVENT_TRACE_FILE_MODE_PREALLOCATE 0x00000020
#define EVENT_TRACE_NONSTOPPABLE_MODE    0x00000040
#define EVENT_TRACE_SECURE_MODE          0x00000080
#define EVENT_TRACE_REAL_TIME_MODE       0x00000100
#define EVENT_TRACE_DELAY_OPEN_FILE_MODE 0x00000200
#define EVENT_TRACE_BUFFERING_MODE       0x00000400
#define EVENT_TRACE_PRIVATE_LOGGER_MODE  0x00000800
#define EVENT_TRACE_ADD_HEADER_MODE      0x00001000
#define EVENT_TRACE_USE_GLOBAL_SEQUENCE  0x00004000
#define EVENT_TRACE_USE_LOCAL_SEQUENCE   0x00008000
#define EVENT_TRACE_RELOG_MODE           0x00010000
#define EVENT_TRACE_USE_PAGED_MEMORY     0x01000000

// TraceMessage flags.
#define TRACE_MESSAGE_SEQUENCE          1
#define TRACE_MESSAGE_GUID              2
#define TRACE_MESSAGE_COMPONENTID       4
#define TRACE_MESSAGE_TIMESTAMP         8
#define TRACE_MESSAGE_PERFORMANCE_TIMESTAMP 16
#define TRACE_MESSAGE_SYSTEMINFO        32
#define TRACE_MESSAGE_POINTER32         0x0040
#define TRACE_MESSAGE_POINTER64         0x0080
#define TRACE_MESSAGE_FLAG_MASK         0xFFFF
#define TRACE_MESSAGE_MAXIMUM_SIZE      (64 * 1024)

// EnableTraceEx2 control codes.
#define EVENT_CONTROL_CODE_DISABLE_PROVIDER 0
#define EVENT_CONTROL_CODE_ENABLE_PROVIDER  1
#define EVENT_CONTROL_CODE_CAPTURE_STATE    2

#ifndef _WMIKM_
typedef enum tagWMIDPREQUESTCODE {
    WMI_GET_ALL_DATA = 0,
    WMI_GET_SINGLE_INSTANCE = 1,
    WMI_SET_SINGLE_INSTANCE = 2,
    WMI_SET_SINGLE_ITEM = 3,
    WMI_ENABLE_EVENTS = 4,
    WMI_DISABLE_EVENTS = 5,
    WMI_ENABLE_COLLECTION = 6,
    WMI_DISABLE_COLLECTION = 7,
    WMI_REGINFO = 8,
    WMI_EXECUTE_METHOD = 9,
    WMI_CAPTURE_STATE = 10
} WMIDPREQUESTCODE;
#endif

typedef ULONG(WINAPI* WMIDPREQUEST)(WMIDPREQUESTCODE RequestCode, PVOID RequestContext,
                                    ULONG* BufferSize, PVOID Buffer);

typedef struct _EVENT_TRACE_HEADER {
    USHORT Size;
    union {
        USHORT FieldTypeFlags;
        struct {
            UCHAR HeaderType;
            UCHAR MarkerFlags;
        };
    };
    union {
        ULONG Version;
        struct {
            UCHAR Type;
            UCHAR Level;
            USHORT Version;
        } Class;
    };
    ULONG ThreadId;
    ULONG ProcessId;
    LARGE_INTEGER TimeStamp;
    union {
        GUID Guid;
        ULONGLONG GuidPtr;
    };
    union {
        struct {
            ULONG KernelTime;
            ULONG UserTime;
        };
        ULONG64 ProcessorTime;
        struct {
            ULONG ClientContext;
            ULONG Flags;
        };
    };
} EVENT_TRACE_HEADER, *PEVENT_TRACE_HEADER;

static_assert(sizeof(EVENT_TRACE_HEADER) == 48, "EVENT_TRACE_HEADER layout");

typedef struct _MOF_FIELD {
    ULONG64 DataPtr;
    ULONG Length;
    ULONG DataType;
} MOF_FIELD, *PMOF_FIELD;

static_assert(sizeof(MOF_FIELD) == 16, "MOF_FIELD layout");

typedef struct _TRACE_GUID_REGISTRATION {
    LPCGUID Guid;
    HANDLE RegHandle;
} TRACE_GUID_REGISTRATION, *PTRACE_GUID_REGISTRATION;

typedef struct _EVENT_TRACE_PROPERTIES {
    WNODE_HEADER Wnode;
    ULONG BufferSize;
    ULONG MinimumBuffers;
    ULONG MaximumBuffers;
    ULONG MaximumFileSize;
    ULONG LogFileMode;
    ULONG FlushTimer;
    ULONG EnableFlags;
    union {
        LONG AgeLimit;
        LONG FlushThreshold;
    };
    ULONG NumberOfBuffers;
    ULONG FreeBuffers;
    ULONG EventsLost;
    ULONG BuffersWritten;
    ULONG LogBuffersLost;
    ULONG RealTimeBuffersLost;
    HANDLE LoggerThreadId;
    ULONG LogFileNameOffset;
    ULONG LoggerNameOffset;
} EVENT_TRACE_PROPERTIES, *PEVENT_TRACE_PROPERTIES;

static_assert(sizeof(EVENT_TRACE_PROPERTIES) == 120, "EVENT_TRACE_PROPERTIES layout");

typedef struct _EVENT_FILTER_DESCRIPTOR {
    ULONGLONG Ptr;
    ULONG Size;
    ULONG Type;
} EVENT_FILTER_DESCRIPTOR, *PEVENT_FILTER_DESCRIPTOR;

#define ENABLE_TRACE_PARAMETERS_VERSION   1
#define ENABLE_TRACE_PARAMETERS_VERSION_2 2

typedef struct _ENABLE_TRACE_PARAMETERS {
    ULONG Version;
    ULONG EnableProperty;
    ULONG ControlFlags;
    GUID SourceId;
    PEVENT_FILTER_DESCRIPTOR EnableFilterDesc;
    ULONG FilterDescCount;
} ENABLE_TRACE_PARAMETERS, *PENABLE_TRACE_PARAMETERS;

// Providers.
ULONG WMIAPI RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext,
                                 LPCGUID ControlGuid, ULONG GuidCount,
                                 PTRACE_GUID_REGISTRATION TraceGuidReg, LPCWSTR MofImagePath,
                                 LPCWSTR MofResourceName, PTRACEHANDLE RegistrationHandle);
ULONG WMIAPI UnregisterTraceGuids(TRACEHANDLE RegistrationHandle);
TRACEHANDLE WMIAPI GetTraceLoggerHandle(PVOID Buffer);
UCHAR WMIAPI GetTraceEnableLevel(TRACEHANDLE TraceHandle);
ULONG WMIAPI GetTraceEnableFlags(TRACEHANDLE TraceHandle);
ULONG WMIAPI TraceEvent(TRACEHANDLE TraceHandle, PEVENT_TRACE_HEADER EventTrace);
ULONG WMIAPIV TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                           USHORT MessageNumber, ...);
ULONG WMIAPI TraceMessageVa(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                            USHORT MessageNumber, va_list MessageArgList);

// Controllers.
ULONG WMIAPI StartTraceW(PTRACEHANDLE TraceHandle, LPCWSTR InstanceName,
                         PEVENT_TRACE_PROPERTIES Properties);
ULONG WMIAPI ControlTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName,
                           PEVENT_TRACE_PROPERTIES Properties, ULONG ControlCode);
ULONG WMIAPI StopTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName,
                        PEVENT_TRACE_PROPERTIES Properties);
ULONG WMIAPI QueryTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName,
                         PEVENT_TRACE_PROPERTIES Properties);
ULONG WMIAPI FlushTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName,
                         PEVENT_TRACE_PROPERTIES Properties);
ULONG WMIAPI QueryAllTracesW(PEVENT_TRACE_PROPERTIES* PropertyArray, ULONG PropertyArrayCount,
                             PULONG LoggerCount);
ULONG WMIAPI EnableTrace(ULONG Enable, ULONG EnableFlag, ULONG EnableLevel, LPCGUID ControlGuid,
                         TRACEHANDLE TraceHandle);
ULONG WMIAPI EnableTraceEx2(TRACEHANDLE TraceHandle, LPCGUID ProviderId, ULONG ControlCode,
                            UCHAR Level, ULONGLONG MatchAnyKeyword, ULONGLONG MatchAllKeyword,
                            ULONG Timeout, PENABLE_TRACE_PARAMETERS EnableParameters);

#define StartTrace    StartTraceW
#define ControlTrace  ControlTraceW
#define StopTrace     StopTraceW
#define QueryTrace    QueryTraceW
#define FlushTrace    FlushTraceW
#define QueryAllTraces QueryAllTracesW
#define RegisterTraceGuids RegisterTraceGuidsW
