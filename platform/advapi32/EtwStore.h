// Where event-tracing sessions live between processes: one directory holds, per session, a
// description file (name, logger handle, event file, enabled providers), a small shared page
// (sequence counter and stopped mark) and the event file itself. Controllers, providers and
// `npkeystrand trace show` meet only through these files.
#pragma once

#include <windows.h>
#include <evntrace.h>

#include <cstdint>
#include <string>
#include <vector>

namespace npk::etw {

struct ProviderEnable {
    GUID Guid{};
    ULONG Flags = 0;
    UCHAR Level = 0;
};

struct SessionInfo {
    std::string Name;          // as the controller spelled it (UTF-8)
    TRACEHANDLE Handle = 0;
    std::string LogFile;       // UTF-8 path of the event file
    ULONG LogFileMode = 0;
    ULONG BufferSize = 0;
    ULONG MinimumBuffers = 0;
    ULONG MaximumBuffers = 0;
    ULONG MaximumFileSize = 0;
    ULONG FlushTimer = 0;
    ULONG EnableFlags = 0;
    std::vector<ProviderEnable> Providers;
};

// The page shared by every process that writes to a session.
struct SharedState {
    uint64_t Handle;
    uint32_t Sequence;
    uint32_t Stopped;
};

// Fixed part of one record of an event file; Size counts the header and the data after it.
struct EventRecordHeader {
    uint32_t Magic;
    uint32_t Size;
    uint16_t Kind;            // RecordKindMessage or RecordKindEvent
    uint16_t MessageNumber;   // TraceMessage records
    uint32_t Flags;           // TraceMessage flags, or the event header's WNODE flags
    uint32_t Sequence;
    uint32_t ProcessId;
    uint32_t ThreadId;
    uint8_t ClassType;        // TraceEvent records
    uint8_t ClassLevel;
    uint16_t ClassVersion;
    int64_t TimeStamp;        // 100-ns intervals since 1601-01-01 UTC
    GUID Guid;                // message GUID, or the event's GUID
};
static_assert(sizeof(EventRecordHeader) == 56, "event record layout");

constexpr uint32_t kRecordMagic = 0x454B504E;  // "NPKE"
constexpr uint16_t RecordKindMessage = 1;
constexpr uint16_t RecordKindEvent = 2;
constexpr size_t kMaxRecordData = 64 * 1024;

struct EventRecord {
    EventRecordHeader Header{};
    std::vector<uint8_t> Data;
};

// The directory of the sessions, created (mode 0700) when missing; empty if it cannot be.
std::string SessionDirectory();
// The same directory's path, neither created nor looked at.
std::string SessionDirectoryPath();
// Whether a file name in that directory is a session's description or shared page, whose
// changes are what a provider must hear of (not temporary files, not event files).
bool IsSessionFileName(const std::string& name);
// The event file a session of this name writes unless told otherwise.
std::string DefaultEventFile(const std::string& name);

std::string Utf16ToUtf8(LPCWSTR text);
std::string Utf16ToUtf8(LPCWSTR text, size_t count);
std::basic_string<WCHAR> Utf8ToUtf16(const std::string& text);

// Session descriptions. Names compare without regard to ASCII case.
bool ReadSession(const std::string& name, SessionInfo& info);
bool FindSessionByHandle(TRACEHANDLE handle, SessionInfo& info);
std::vector<SessionInfo> ListSessions();
bool WriteSession(const SessionInfo& info);
void RemoveSession(const std::string& name);

// The shared page of a running session: created with the session, marked stopped when it
// ends. MapSharedState returns null when the session has no page.
bool CreateSharedState(const std::string& name, TRACEHANDLE handle);
SharedState* MapSharedState(const std::string& name);
void UnmapSharedState(SharedState* state);
void RemoveSharedState(const std::string& name);

// Serialises controllers that change session files; released by the destructor.
class DirectoryLock {
public:
    DirectoryLock();
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    bool Held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// A non-zero 64-bit logger handle that no running session uses.
TRACEHANDLE NewLoggerHandle();
// The current time in FILETIME units.
int64_t FileTimeNow();

// Reads every whole record of an event file in file order. A truncated or damaged tail is
// reported through *damaged and ends the reading.
bool ReadEventFile(const std::string& path, std::vector<EventRecord>& records, bool* damaged);

// GUID text in registry form, {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, and back (braces optional).
std::string GuidToString(const GUID& guid);
bool ParseGuid(const std::string& text, GUID& guid);

// Win32 code for an errno value of a failed file operation.
DWORD ErrnoToWin32(int error);

}  // namespace npk::etw
