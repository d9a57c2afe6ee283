// Event-tracing providers: registration, the control callback delivered from a background
// thread when a controller enables or disables the provider, and the writing of events to
// the event file of the session that enabled it.
#include "EtwStore.h"

#include <npk/builtin_modules.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stop_token>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

using npk::etw::EventRecordHeader;
using npk::etw::SessionInfo;
using npk::etw::SharedState;

// ---------------------------------------------------------------------------
// Loggers this process writes to
// ---------------------------------------------------------------------------

struct OpenLogger {
    std::string Name;
    int Fd = -1;
    SharedState* State = nullptr;
};

std::mutex g_loggerMutex;
std::map<TRACEHANDLE, OpenLogger> g_loggers;
std::set<TRACEHANDLE> g_deadLoggers;  // handles known to be stopped: no directory rescans

void CloseLogger(OpenLogger& logger)
{
    if (logger.Fd >= 0) {
        close(logger.Fd);
    }
    npk::etw::UnmapSharedState(logger.State);
    logger.Fd = -1;
    logger.State = nullptr;
}

bool LoggerLive(const OpenLogger& logger, TRACEHANDLE handle)
{
    return logger.State != nullptr && logger.State->Handle == handle &&
           __atomic_load_n(&logger.State->Stopped, __ATOMIC_ACQUIRE) == 0;
}

// The open logger of a running session, opened on first use. Caller holds g_loggerMutex.
OpenLogger* FindLogger(TRACEHANDLE handle)
{
    auto it = g_loggers.find(handle);
    if (it != g_loggers.end()) {
        if (LoggerLive(it->second, handle)) {
            return &it->second;
        }
        CloseLogger(it->second);
        g_loggers.erase(it);
        g_deadLoggers.insert(handle);
        return nullptr;
    }
    if (handle == 0 || g_deadLoggers.count(handle) != 0) {
        return nullptr;
    }
    SessionInfo session;
    if (!npk::etw::FindSessionByHandle(handle, session)) {
        return nullptr;
    }
    OpenLogger logger;
    logger.Name = session.Name;
    logger.State = npk::etw::MapSharedState(session.Name);
    if (!LoggerLive(logger, handle)) {
        CloseLogger(logger);
        g_deadLoggers.insert(handle);
        return nullptr;
    }
    logger.Fd = open(session.LogFile.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (logger.Fd < 0) {
        CloseLogger(logger);
        return nullptr;
    }
    return &g_loggers.emplace(handle, logger).first->second;
}

// Appends one record with a single write, so that records of concurrent writers, in this
// process or another, never interleave.
ULONG WriteRecord(TRACEHANDLE handle, EventRecordHeader header, const BYTE* data, size_t size)
{
    std::lock_guard<std::mutex> lock(g_loggerMutex);
    OpenLogger* logger = FindLogger(handle);
    if (logger == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    header.Magic = npk::etw::kRecordMagic;
    header.Size = (uint32_t)(sizeof(header) + size);
    header.Sequence = __atomic_add_fetch(&logger->State->Sequence, 1u, __ATOMIC_RELAXED);
    std::unique_ptr<BYTE[]> record(new (std::nothrow) BYTE[header.Size]);
    if (!record) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::memcpy(record.get(), &header, sizeof(header));
    if (size > 0) {
        std::memcpy(record.get() + sizeof(header), data, size);
    }
    ssize_t written;
    do {
        written = write(logger->Fd, record.get(), header.Size);
    } while (written < 0 && errno == EINTR);
    if (written != (ssize_t)header.Size) {
        return written < 0 ? npk::etw::ErrnoToWin32(errno) : ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Registered providers and the thread that tells them of controllers' changes
// ---------------------------------------------------------------------------

struct Registration {
    TRACEHANDLE Handle = 0;
    WMIDPREQUEST Callback = nullptr;
    PVOID Context = nullptr;
    GUID ControlGuid{};
    TRACEHANDLE Logger = 0;  // 0 while disabled
    ULONG Flags = 0;
    UCHAR Level = 0;
};

// Held while the registrations are read or changed and while a callback runs, so that no
// callback of a registration runs after UnregisterTraceGuids has returned. Recursive: a
// callback may ask for its flags or unregister.
std::recursive_mutex g_providerMutex;
std::condition_variable_any g_providerWake;
std::map<TRACEHANDLE, Registration> g_registrations;
std::jthread g_poller;
TRACEHANDLE g_nextRegistration = 0x4E504B0000000001ull;

// What the callback of the moment reports through GetTraceEnableFlags and GetTraceEnableLevel.
struct EnableContext {
    TRACEHANDLE Logger = 0;
    ULONG Flags = 0;
    UCHAR Level = 0;
    bool Active = false;
};
thread_local EnableContext t_enableContext;

const std::chrono::milliseconds kPollInterval(50);

void CallCallback(Registration& registration, WMIDPREQUESTCODE code, TRACEHANDLE logger,
                  ULONG flags, UCHAR level)
{
    WNODE_HEADER wnode;
    std::memset(&wnode, 0, sizeof(wnode));
    wnode.BufferSize = sizeof(wnode);
    wnode.HistoricalContext = logger;
    wnode.Guid = registration.ControlGuid;
    wnode.Flags = WNODE_FLAG_TRACED_GUID;
    ULONG size = sizeof(wnode);

    EnableContext saved = t_enableContext;
    t_enableContext = {logger, flags, level, true};
    WMIDPREQUEST callback = registration.Callback;
    PVOID context = registration.Context;
    callback(code, context, &size, &wnode);
    t_enableContext = saved;
}

// Brings one registration in line with the sessions: enable, re-enable with new flags, or
// disable, calling its callback on the calling thread. Caller holds g_providerMutex.
void Reconcile(TRACEHANDLE handle, const std::vector<SessionInfo>& sessions)
{
    auto it = g_registrations.find(handle);
    if (it == g_registrations.end()) {
        return;
    }
    TRACEHANDLE logger = 0;
    ULONG flags = 0;
    UCHAR level = 0;
    for (const SessionInfo& session : sessions) {
        for (const npk::etw::ProviderEnable& enable : session.Providers) {
            if (logger == 0 && IsEqualGUID(enable.Guid, it->second.ControlGuid)) {
                logger = session.Handle;
                flags = enable.Flags;
                level = enable.Level;
            }
        }
    }
    Registration& registration = it->second;
    if (registration.Logger == logger && (logger == 0 || (registration.Flags == flags && registration.Level == level))) {
        return;
    }
    if (registration.Logger != 0 && registration.Logger != logger) {
        TRACEHANDLE old = registration.Logger;
        registration.Logger = 0;
        registration.Flags = 0;
        registration.Level = 0;
        CallCallback(registration, WMI_DISABLE_EVENTS, old, 0, 0);
        // The callback may have unregistered.
        it = g_registrations.find(handle);
        if (it == g_registrations.end()) {
            return;
        }
    }
    if (logger != 0) {
        it->second.Logger = logger;
        it->second.Flags = flags;
        it->second.Level = level;
        CallCallback(it->second, WMI_ENABLE_EVENTS, logger, flags, level);
    }
}

// Sessions that are running now; a session file whose page says stopped is one that is
// being torn down.
std::vector<SessionInfo> RunningSessions()
{
    std::vector<SessionInfo> running;
    for (SessionInfo& session : npk::etw::ListSessions()) {
        SharedState* state = npk::etw::MapSharedState(session.Name);
        bool live = state != nullptr && state->Handle == session.Handle &&
                    __atomic_load_n(&state->Stopped, __ATOMIC_ACQUIRE) == 0;
        npk::etw::UnmapSharedState(state);
        if (live) {
            running.push_back(std::move(session));
        }
    }
    return running;
}

// What wakes the thread that follows the sessions: a session's file made, replaced or removed
// in the session directory (inotify), or a stop request. Without inotify the thread looks
// at the sessions every interval instead.
class SessionWatch {
public:
    SessionWatch()
        : m_inotify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), m_stop(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
    }
    ~SessionWatch()
    {
        if (m_inotify >= 0) {
            close(m_inotify);
        }
        if (m_stop >= 0) {
            close(m_stop);
        }
    }
    SessionWatch(const SessionWatch&) = delete;
    SessionWatch& operator=(const SessionWatch&) = delete;

    enum class Watching { No, Same, New };

    // Watches the session directory of the moment: New when it was not watched before (so its
    // sessions are still to be read), No when it cannot be watched. The directory moves with
    // the environment, so it is checked again at every wake.
    Watching Follow()
    {
        if (m_inotify < 0 || m_stop < 0) {
            return Watching::No;
        }
        std::string dir = npk::etw::SessionDirectoryPath();
        if (m_watch >= 0 && dir == m_dir) {
            return Watching::Same;
        }
        if (m_watch >= 0) {
            inotify_rm_watch(m_inotify, m_watch);
            m_watch = -1;
        }
        m_dir = npk::etw::SessionDirectory();  // made when missing, so that it can be watched
        if (m_dir.empty()) {
            return Watching::No;
        }
        m_watch = inotify_add_watch(m_inotify, m_dir.c_str(),
                                    IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_CLOSE_WRITE |
                                        IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
        return m_watch >= 0 ? Watching::New : Watching::No;
    }

    // Waits for a change of a session file, a stop request or the end of the interval;
    // true when sessions may have changed.
    bool Wait(std::chrono::milliseconds interval)
    {
        pollfd fds[2] = {{m_inotify, POLLIN, 0}, {m_stop, POLLIN, 0}};
        int ready = poll(fds, 2, static_cast<int>(interval.count()));
        if (ready <= 0) {
            return false;
        }
        bool changed = false;
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            ssize_t n = read(m_inotify, buffer, sizeof(buffer));
            if (n <= 0) {
                break;
            }
            for (ssize_t at = 0; at < n;) {
                const inotify_event* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if ((event->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
                    changed = true;
                    if ((event->mask & IN_IGNORED) != 0 && event->wd == m_watch) {
                        m_watch = -1;  // the directory went away: watched again when it is back
                    }
                } else if (event->len > 0 && npk::etw::IsSessionFileName(event->name)) {
                    changed = true;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return changed;
    }

    void Stop()
    {
        uint64_t one = 1;
        ssize_t written = write(m_stop, &one, sizeof(one));
        (void)written;
    }

private:
    int m_inotify;
    int m_stop;
    int m_watch = -1;
    std::string m_dir;
};

void PollSessions(std::stop_token stop)
{
    SessionWatch watch;
    std::stop_callback wake(stop, [&watch] { watch.Stop(); });
    std::unique_lock<std::recursive_mutex> lock(g_providerMutex);
    bool look = true;
    while (!stop.stop_requested()) {
        // Watched before the sessions are read, so that no change between the two is missed.
        SessionWatch::Watching state = watch.Follow();
        bool watching = state != SessionWatch::Watching::No;
        look = look || state == SessionWatch::Watching::New;
        if (!look && watching) {
            lock.unlock();
            look = watch.Wait(kPollInterval);
            lock.lock();
            continue;
        }
        look = false;
        std::vector<SessionInfo> sessions = RunningSessions();
        std::vector<TRACEHANDLE> handles;
        for (const auto& entry : g_registrations) {
            handles.push_back(entry.first);
        }
        for (TRACEHANDLE handle : handles) {
            if (stop.stop_requested()) {
                break;
            }
            Reconcile(handle, sessions);
        }
        if (!watching) {
            g_providerWake.wait_for(lock, stop, kPollInterval, [] { return false; });
            look = true;
        }
    }
}

template <typename F>
FARPROC AsProc(F function)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

const bool s_builtinProcs =
    (NpkRegisterBuiltinProc("advapi32", "TraceMessage", AsProc(&TraceMessage)),
     NpkRegisterBuiltinProc("advapi32", "TraceMessageVa", AsProc(&TraceMessageVa)),
     NpkRegisterBuiltinProc("advapi32", "TraceEvent", AsProc(&TraceEvent)),
     NpkRegisterBuiltinProc("advapi32", "RegisterTraceGuidsW", AsProc(&RegisterTraceGuidsW)),
     NpkRegisterBuiltinProc("advapi32", "UnregisterTraceGuids", AsProc(&UnregisterTraceGuids)),
     NpkRegisterBuiltinProc("advapi32", "GetTraceLoggerHandle", AsProc(&GetTraceLoggerHandle)),
     NpkRegisterBuiltinProc("advapi32", "GetTraceEnableFlags", AsProc(&GetTraceEnableFlags)),
     NpkRegisterBuiltinProc("advapi32", "GetTraceEnableLevel", AsProc(&GetTraceEnableLevel)),
     NpkRegisterBuiltinProc("advapi32", "ControlTraceW", AsProc(&ControlTraceW)),
     NpkRegisterBuiltinProc("advapi32", "StartTraceW", AsProc(&StartTraceW)),
     NpkRegisterBuiltinProc("advapi32", "EnableTrace", AsProc(&EnableTrace)),
     true);

}  // namespace

ULONG WMIAPI RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext,
                                 LPCGUID ControlGuid, ULONG GuidCount,
                                 PTRACE_GUID_REGISTRATION TraceGuidReg, LPCWSTR MofImagePath,
                                 LPCWSTR MofResourceName, PTRACEHANDLE RegistrationHandle)
{
    (void)s_builtinProcs;
    if (RequestAddress == nullptr || ControlGuid == nullptr || RegistrationHandle == nullptr ||
        (GuidCount > 0 && TraceGuidReg == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < GuidCount; ++i) {
        if (TraceGuidReg[i].Guid == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
    }

    std::unique_lock<std::recursive_mutex> lock(g_providerMutex);
    TRACEHANDLE handle = g_nextRegistration++;
    Registration registration;
    registration.Handle = handle;
    registration.Callback = RequestAddress;
    registration.Context = RequestContext;
    registration.ControlGuid = *ControlGuid;
    g_registrations.emplace(handle, registration);
    for (ULONG i = 0; i < GuidCount; ++i) {
        TraceGuidReg[i].RegHandle = (HANDLE)(ULONG_PTR)(handle + i + 1);
    }
    *RegistrationHandle = handle;

    // Already enabled by a running session: the provider hears of it before this returns.
    Reconcile(handle, RunningSessions());

    if (!g_poller.joinable()) {
        g_poller = std::jthread(PollSessions);
    }
    return ERROR_SUCCESS;
}

ULONG WMIAPI UnregisterTraceGuids(TRACEHANDLE RegistrationHandle)
{
    std::jthread poller;
    {
        std::lock_guard<std::recursive_mutex> lock(g_providerMutex);
        if (g_registrations.erase(RegistrationHandle) == 0) {
            return ERROR_INVALID_PARAMETER;
        }
        if (g_registrations.empty()) {
            poller = std::move(g_poller);
            poller.request_stop();
        }
    }
    if (poller.joinable()) {
        if (poller.get_id() == std::this_thread::get_id()) {
            poller.detach();  // unregistered from its own callback: the loop ends by itself
        } else {
            poller.join();
        }
    }
    return ERROR_SUCCESS;
}

TRACEHANDLE WMIAPI GetTraceLoggerHandle(PVOID Buffer)
{
    if (Buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return (TRACEHANDLE)INVALID_HANDLE_VALUE;
    }
    TRACEHANDLE handle = ((const WNODE_HEADER*)Buffer)->HistoricalContext;
    if (handle == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return (TRACEHANDLE)INVALID_HANDLE_VALUE;
    }
    return handle;
}

namespace {

// The enable settings for a logger handle: those of the callback running on this thread,
// else those a registration of this process holds for that logger.
bool EnableSettings(TRACEHANDLE handle, ULONG* flags, UCHAR* level)
{
    if (t_enableContext.Active && t_enableContext.Logger == handle) {
        *flags = t_enableContext.Flags;
        *level = t_enableContext.Level;
        return true;
    }
    std::lock_guard<std::recursive_mutex> lock(g_providerMutex);
    for (const auto& entry : g_registrations) {
        if (handle != 0 && entry.second.Logger == handle) {
            *flags = entry.second.Flags;
            *level = entry.second.Level;
            return true;
        }
    }
    return false;
}

}  // namespace

UCHAR WMIAPI GetTraceEnableLevel(TRACEHANDLE TraceHandle)
{
    ULONG flags = 0;
    UCHAR level = 0;
    if (!EnableSettings(TraceHandle, &flags, &level)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    SetLastError(ERROR_SUCCESS);
    return level;
}

ULONG WMIAPI GetTraceEnableFlags(TRACEHANDLE TraceHandle)
{
    ULONG flags = 0;
    UCHAR level = 0;
    if (!EnableSettings(TraceHandle, &flags, &level)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    SetLastError(ERROR_SUCCESS);
    return flags;
}

ULONG WMIAPI TraceMessageVa(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                            USHORT MessageNumber, va_list MessageArgList)
{
    if ((MessageFlags & TRACE_MESSAGE_GUID) != 0 && MessageGuid == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    // The arguments: (PVOID data, SIZE_T length) pairs up to a null pointer.
    std::vector<BYTE> data;
    va_list args;
    va_copy(args, MessageArgList);
    for (;;) {
        PVOID argument = va_arg(args, PVOID);
        if (argument == nullptr) {
            break;
        }
        SIZE_T length = va_arg(args, SIZE_T);
        if (length > npk::etw::kMaxRecordData - data.size()) {
            va_end(args);
            return ERROR_MORE_DATA;
        }
        const BYTE* bytes = (const BYTE*)argument;
        data.insert(data.end(), bytes, bytes + length);
    }
    va_end(args);

    EventRecordHeader header;
    std::memset(&header, 0, sizeof(header));
    header.Kind = npk::etw::RecordKindMessage;
    header.MessageNumber = MessageNumber;
    header.Flags = MessageFlags & TRACE_MESSAGE_FLAG_MASK;
    if ((MessageFlags & TRACE_MESSAGE_GUID) != 0) {
        header.Guid = *MessageGuid;
    }
    if ((MessageFlags & TRACE_MESSAGE_TIMESTAMP) != 0) {
        header.TimeStamp = npk::etw::FileTimeNow();
    }
    if ((MessageFlags & TRACE_MESSAGE_SYSTEMINFO) != 0) {
        header.ProcessId = GetCurrentProcessId();
        header.ThreadId = GetCurrentThreadId();
    }
    return WriteRecord(LoggerHandle, header, data.data(), data.size());
}

ULONG WMIAPIV TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                           USHORT MessageNumber, ...)
{
    va_list args;
    va_start(args, MessageNumber);
    ULONG result = TraceMessageVa(LoggerHandle, MessageFlags, MessageGuid, MessageNumber, args);
    va_end(args);
    return result;
}

ULONG WMIAPI TraceEvent(TRACEHANDLE TraceHandle, PEVENT_TRACE_HEADER EventTrace)
{
    if (EventTrace == nullptr || EventTrace->Size < sizeof(EVENT_TRACE_HEADER)) {
        return ERROR_INVALID_PARAMETER;
    }
    ULONG wnodeFlags = EventTrace->Flags;
    if ((wnodeFlags & WNODE_FLAG_TRACED_GUID) == 0) {
        return ERROR_INVALID_FLAGS;
    }
    std::vector<BYTE> data;
    size_t extra = EventTrace->Size - sizeof(EVENT_TRACE_HEADER);
    const BYTE* after = (const BYTE*)EventTrace + sizeof(EVENT_TRACE_HEADER);
    if ((wnodeFlags & WNODE_FLAG_USE_MOF_PTR) != 0) {
        // The header is followed by MOF_FIELD entries naming the data.
        if (extra % sizeof(MOF_FIELD) != 0 || extra / sizeof(MOF_FIELD) > MAX_MOF_FIELDS) {
            return ERROR_INVALID_PARAMETER;
        }
        const MOF_FIELD* fields = (const MOF_FIELD*)after;
        for (size_t i = 0; i < extra / sizeof(MOF_FIELD); ++i) {
            if (fields[i].Length > npk::etw::kMaxRecordData - data.size()) {
                return ERROR_MORE_DATA;
            }
            if (fields[i].Length == 0) {
                continue;
            }
            if (fields[i].DataPtr == 0) {
                return ERROR_INVALID_PARAMETER;
            }
            const BYTE* bytes = (const BYTE*)(ULONG_PTR)fields[i].DataPtr;
            data.insert(data.end(), bytes, bytes + fields[i].Length);
        }
    } else {
        data.assign(after, after + extra);
    }

    GUID guid = EventTrace->Guid;
    if ((wnodeFlags & WNODE_FLAG_USE_GUID_PTR) != 0) {
        if (EventTrace->GuidPtr == 0) {
            return ERROR_INVALID_PARAMETER;
        }
        guid = *(const GUID*)(ULONG_PTR)EventTrace->GuidPtr;
    }

    EventRecordHeader header;
    std::memset(&header, 0, sizeof(header));
    header.Kind = npk::etw::RecordKindEvent;
    header.Flags = wnodeFlags;
    header.ClassType = EventTrace->Class.Type;
    header.ClassLevel = EventTrace->Class.Level;
    header.ClassVersion = EventTrace->Class.Version;
    header.Guid = guid;
    header.TimeStamp = npk::etw::FileTimeNow();
    header.ProcessId = GetCurrentProcessId();
    header.ThreadId = GetCurrentThreadId();
    return WriteRecord(TraceHandle, header, data.data(), data.size());
}
