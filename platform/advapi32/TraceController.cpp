// Event-tracing controllers: starting, querying, updating and stopping sessions, and
// enabling providers in them.
#include "EtwStore.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

using npk::etw::SessionInfo;

const size_t kMaxNameChars = 1024;

// A NUL-terminated wide string stored in the properties block at offset, or null when the
// offset is 0 or the string does not end inside the block.
LPCWSTR StringInProperties(const EVENT_TRACE_PROPERTIES* properties, ULONG offset)
{
    ULONG size = properties->Wnode.BufferSize;
    if (offset == 0 || offset < sizeof(EVENT_TRACE_PROPERTIES) || offset >= size ||
        offset % sizeof(WCHAR) != 0) {
        return nullptr;
    }
    LPCWSTR text = (LPCWSTR)((const BYTE*)properties + offset);
    size_t count = (size - offset) / sizeof(WCHAR);
    for (size_t i = 0; i < count; ++i) {
        if (text[i] == 0) {
            return text;
        }
    }
    return nullptr;
}

// Puts one name into the properties block: at the caller's offset when one is given, else
// at the first free byte after the fixed part. False when it does not fit.
bool PlaceName(EVENT_TRACE_PROPERTIES* properties, ULONG* offset, ULONG* nextFree,
               const std::basic_string<WCHAR>& name)
{
    ULONG size = properties->Wnode.BufferSize;
    ULONG bytes = (ULONG)((name.size() + 1) * sizeof(WCHAR));
    ULONG at = *offset != 0 ? *offset : *nextFree;
    if (at < sizeof(EVENT_TRACE_PROPERTIES) || at > size || size - at < bytes) {
        return false;
    }
    std::memcpy((BYTE*)properties + at, name.c_str(), bytes);
    *offset = at;
    if (at + bytes > *nextFree) {
        *nextFree = at + bytes;
    }
    return true;
}

// Fills the properties block from a session: the fixed part always, the names when there is
// room (ERROR_MORE_DATA otherwise, the fixed part still valid).
ULONG FillProperties(EVENT_TRACE_PROPERTIES* properties, const SessionInfo& session)
{
    properties->Wnode.HistoricalContext = session.Handle;
    properties->Wnode.Flags |= WNODE_FLAG_TRACED_GUID;
    properties->BufferSize = session.BufferSize;
    properties->MinimumBuffers = session.MinimumBuffers;
    properties->MaximumBuffers = session.MaximumBuffers;
    properties->MaximumFileSize = session.MaximumFileSize;
    properties->LogFileMode = session.LogFileMode;
    properties->FlushTimer = session.FlushTimer;
    properties->EnableFlags = session.EnableFlags;
    properties->NumberOfBuffers = session.MinimumBuffers;
    properties->FreeBuffers = session.MinimumBuffers;
    properties->EventsLost = 0;
    properties->BuffersWritten = 0;
    properties->LogBuffersLost = 0;
    properties->RealTimeBuffersLost = 0;
    properties->LoggerThreadId = nullptr;

    // Names go where the caller asked; those without an offset follow the last one placed.
    ULONG nextFree = sizeof(EVENT_TRACE_PROPERTIES);
    ULONG loggerOffset = properties->LoggerNameOffset;
    ULONG fileOffset = properties->LogFileNameOffset;
    std::basic_string<WCHAR> loggerName = npk::etw::Utf8ToUtf16(session.Name);
    std::basic_string<WCHAR> fileName = npk::etw::Utf8ToUtf16(session.LogFile);
    bool fits = true;
    if (loggerOffset != 0) fits = PlaceName(properties, &loggerOffset, &nextFree, loggerName) && fits;
    if (fileOffset != 0) fits = PlaceName(properties, &fileOffset, &nextFree, fileName) && fits;
    if (loggerOffset == 0) fits = PlaceName(properties, &loggerOffset, &nextFree, loggerName) && fits;
    if (fileOffset == 0) fits = PlaceName(properties, &fileOffset, &nextFree, fileName) && fits;
    if (!fits) {
        return ERROR_MORE_DATA;
    }
    properties->LoggerNameOffset = loggerOffset;
    properties->LogFileNameOffset = fileOffset;
    return ERROR_SUCCESS;
}

bool SessionRunning(const SessionInfo& session)
{
    npk::etw::SharedState* state = npk::etw::MapSharedState(session.Name);
    if (state == nullptr) {
        return false;
    }
    bool running = state->Handle == session.Handle &&
                   __atomic_load_n(&state->Stopped, __ATOMIC_ACQUIRE) == 0;
    npk::etw::UnmapSharedState(state);
    return running;
}

// The running session of this handle (when non-zero) or name.
bool FindRunningSession(TRACEHANDLE handle, LPCWSTR name, SessionInfo& session)
{
    bool found = handle != 0 ? npk::etw::FindSessionByHandle(handle, session)
                             : npk::etw::ReadSession(npk::etw::Utf16ToUtf8(name), session);
    return found && SessionRunning(session);
}

void StopSession(const SessionInfo& session)
{
    npk::etw::SharedState* state = npk::etw::MapSharedState(session.Name);
    if (state != nullptr) {
        if (state->Handle == session.Handle) {
            __atomic_store_n(&state->Stopped, 1u, __ATOMIC_RELEASE);
        }
        npk::etw::UnmapSharedState(state);
    }
    npk::etw::RemoveSession(session.Name);
    npk::etw::RemoveSharedState(session.Name);
}

ULONG UpdateProvider(TRACEHANDLE handle, const GUID& guid, bool enable, ULONG flags, UCHAR level)
{
    if (handle == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    npk::etw::DirectoryLock lock;
    if (!lock.Held()) {
        return ERROR_PATH_NOT_FOUND;
    }
    SessionInfo session;
    if (!npk::etw::FindSessionByHandle(handle, session) || !SessionRunning(session)) {
        return ERROR_INVALID_HANDLE;
    }
    auto it = session.Providers.begin();
    while (it != session.Providers.end() && !IsEqualGUID(it->Guid, guid)) {
        ++it;
    }
    if (enable) {
        if (it == session.Providers.end()) {
            session.Providers.push_back({guid, flags, level});
        } else {
            it->Flags = flags;
            it->Level = level;
        }
    } else if (it != session.Providers.end()) {
        session.Providers.erase(it);
    }
    return npk::etw::WriteSession(session) ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

}  // namespace

ULONG WMIAPI StartTraceW(PTRACEHANDLE TraceHandle, LPCWSTR InstanceName,
                         PEVENT_TRACE_PROPERTIES Properties)
{
    if (TraceHandle == nullptr || InstanceName == nullptr || Properties == nullptr ||
        InstanceName[0] == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if (Properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES)) {
        return ERROR_BAD_LENGTH;
    }
    if ((size_t)lstrlenW(InstanceName) >= kMaxNameChars) {
        return ERROR_BAD_LENGTH;
    }
    std::string name = npk::etw::Utf16ToUtf8(InstanceName);
    if (name.empty()) {
        return ERROR_INVALID_PARAMETER;
    }

    npk::etw::DirectoryLock lock;
    if (!lock.Held()) {
        return ERROR_PATH_NOT_FOUND;
    }
    SessionInfo existing;
    if (npk::etw::ReadSession(name, existing)) {
        if (SessionRunning(existing)) {
            return ERROR_ALREADY_EXISTS;
        }
        StopSession(existing);  // left behind by a controller that died
    }

    SessionInfo session;
    session.Name = name;
    LPCWSTR logFile = StringInProperties(Properties, Properties->LogFileNameOffset);
    session.LogFile = logFile != nullptr && logFile[0] != 0 ? npk::etw::Utf16ToUtf8(logFile)
                                                             : npk::etw::DefaultEventFile(name);
    session.LogFileMode = Properties->LogFileMode;
    session.BufferSize = Properties->BufferSize != 0 ? Properties->BufferSize : 64;
    session.MinimumBuffers = Properties->MinimumBuffers != 0 ? Properties->MinimumBuffers : 4;
    session.MaximumBuffers = std::max(Properties->MaximumBuffers, session.MinimumBuffers);
    session.MaximumFileSize = Properties->MaximumFileSize;
    session.FlushTimer = Properties->FlushTimer;
    session.EnableFlags = Properties->EnableFlags;

    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if ((Properties->LogFileMode & EVENT_TRACE_FILE_MODE_APPEND) == 0) {
        flags |= O_TRUNC;
    }
    int fd = open(session.LogFile.c_str(), flags, 0600);
    if (fd < 0) {
        return npk::etw::ErrnoToWin32(errno);
    }
    close(fd);

    session.Handle = npk::etw::NewLoggerHandle();
    if (!npk::etw::CreateSharedState(name, session.Handle)) {
        return ERROR_WRITE_FAULT;
    }
    if (!npk::etw::WriteSession(session)) {
        npk::etw::RemoveSharedState(name);
        return ERROR_WRITE_FAULT;
    }
    *TraceHandle = session.Handle;
    FillProperties(Properties, session);
    return ERROR_SUCCESS;
}

ULONG WMIAPI ControlTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName,
                           PEVENT_TRACE_PROPERTIES Properties, ULONG ControlCode)
{
    if (Properties == nullptr || (TraceHandle == 0 && (InstanceName == nullptr || InstanceName[0] == 0))) {
        return ERROR_INVALID_PARAMETER;
    }
    if (ControlCode > EVENT_TRACE_CONTROL_FLUSH) {
        return ERROR_INVALID_PARAMETER;
    }
    if (Properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES)) {
        return ERROR_BAD_LENGTH;
    }

    npk::etw::DirectoryLock lock;
    if (!lock.Held()) {
        return ERROR_PATH_NOT_FOUND;
    }
    SessionInfo session;
    if (!FindRunningSession(TraceHandle, InstanceName, session)) {
        return ERROR_WMI_INSTANCE_NOT_FOUND;
    }
    switch (ControlCode) {
    case EVENT_TRACE_CONTROL_UPDATE:
        // Only the settings a running session can change; zero keeps the current value.
        if (Properties->FlushTimer != 0) session.FlushTimer = Properties->FlushTimer;
        if (Properties->MaximumBuffers != 0)
            session.MaximumBuffers = std::max(Properties->MaximumBuffers, session.MinimumBuffers);
        session.EnableFlags = Properties->EnableFlags;
        if (!npk::etw::WriteSession(session)) {
            return ERROR_WRITE_FAULT;
        }
        break;
    case EVENT_TRACE_CONTROL_STOP:
        StopSession(session);
        break;
    default:
        // Every record reaches the event file by its own write: nothing to flush.
        break;
    }
    return FillProperties(Properties, session);
}

ULONG WMIAPI StopTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName,
                        PEVENT_TRACE_PROPERTIES Properties)
{
    return ControlTraceW(TraceHandle, InstanceName, Properties, EVENT_TRACE_CONTROL_STOP);
}

ULONG WMIAPI QueryTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName,
                         PEVENT_TRACE_PROPERTIES Properties)
{
    return ControlTraceW(TraceHandle, InstanceName, Properties, EVENT_TRACE_CONTROL_QUERY);
}

ULONG WMIAPI FlushTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName,
                         PEVENT_TRACE_PROPERTIES Properties)
{
    return ControlTraceW(TraceHandle, InstanceName, Properties, EVENT_TRACE_CONTROL_FLUSH);
}

ULONG WMIAPI QueryAllTracesW(PEVENT_TRACE_PROPERTIES* PropertyArray, ULONG PropertyArrayCount,
                             PULONG LoggerCount)
{
    if (LoggerCount == nullptr || (PropertyArrayCount > 0 && PropertyArray == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<SessionInfo> running;
    for (SessionInfo& session : npk::etw::ListSessions()) {
        if (SessionRunning(session)) {
            running.push_back(std::move(session));
        }
    }
    *LoggerCount = (ULONG)std::min<size_t>(running.size(), PropertyArrayCount);
    ULONG result = ERROR_SUCCESS;
    for (ULONG i = 0; i < *LoggerCount; ++i) {
        if (PropertyArray[i] == nullptr ||
            PropertyArray[i]->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES)) {
            return ERROR_BAD_LENGTH;
        }
        if (FillProperties(PropertyArray[i], running[i]) != ERROR_SUCCESS) {
            result = ERROR_MORE_DATA;
        }
    }
    if (running.size() > PropertyArrayCount) {
        result = ERROR_MORE_DATA;
    }
    return result;
}

ULONG WMIAPI EnableTrace(ULONG Enable, ULONG EnableFlag, ULONG EnableLevel, LPCGUID ControlGuid,
                         TRACEHANDLE TraceHandle)
{
    if (ControlGuid == nullptr || EnableLevel > 0xFF) {
        return ERROR_INVALID_PARAMETER;
    }
    return UpdateProvider(TraceHandle, *ControlGuid, Enable != 0, EnableFlag, (UCHAR)EnableLevel);
}

ULONG WMIAPI EnableTraceEx2(TRACEHANDLE TraceHandle, LPCGUID ProviderId, ULONG ControlCode,
                            UCHAR Level, ULONGLONG MatchAnyKeyword, ULONGLONG MatchAllKeyword,
                            ULONG Timeout, PENABLE_TRACE_PARAMETERS EnableParameters)
{
    if (ProviderId == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    switch (ControlCode) {
    case EVENT_CONTROL_CODE_ENABLE_PROVIDER:
        // A classic provider sees the low 32 keyword bits as its enable flags.
        return UpdateProvider(TraceHandle, *ProviderId, true, (ULONG)MatchAnyKeyword, Level);
    case EVENT_CONTROL_CODE_DISABLE_PROVIDER:
        return UpdateProvider(TraceHandle, *ProviderId, false, 0, 0);
    default:
        return ERROR_INVALID_PARAMETER;
    }
}
