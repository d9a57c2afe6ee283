// Event tracing across the layer: sessions started by a controller, providers enabled and
// disabled through their callback, events appended to the session's file and read back.
#include <windows.h>
#include <evntrace.h>

#include "advapi32/EtwStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

const GUID kControlGuid = {0x5C8F2A58, 0x369A, 0x44F0, {0x92, 0x35, 0xC0, 0x5E, 0xCB, 0x1D, 0xD7, 0x3E}};
const GUID kMessageGuid = {0xE56F518A, 0x7608, 0x2490, {0xD7, 0xE6, 0xE5, 0x80, 0x60, 0xE8, 0xA3, 0xFB}};

struct Observed {
    std::mutex Mutex;
    std::vector<ULONG> Codes;
    TRACEHANDLE Logger = 0;
    ULONG Flags = 0;
    UCHAR Level = 0;
    std::thread::id Thread;
    std::atomic<int> Calls{0};
};

ULONG WINAPI Callback(WMIDPREQUESTCODE code, PVOID context, ULONG* size, PVOID buffer)
{
    Observed* seen = (Observed*)context;
    std::lock_guard<std::mutex> lock(seen->Mutex);
    seen->Codes.push_back(code);
    seen->Thread = std::this_thread::get_id();
    seen->Logger = GetTraceLoggerHandle(buffer);
    seen->Flags = GetTraceEnableFlags(seen->Logger);
    seen->Level = GetTraceEnableLevel(seen->Logger);
    *size = 0;
    seen->Calls++;
    return ERROR_SUCCESS;
}

bool WaitForCalls(Observed& seen, int count)
{
    for (int i = 0; i < 400 && seen.Calls.load() < count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return seen.Calls.load() >= count;
}

struct PropertiesBuffer {
    EVENT_TRACE_PROPERTIES Properties;
    WCHAR Names[2048];
};

class EventTracingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/npk-etw-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_root = tmpl;
        for (const char* var : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"}) {
            setenv(var, (m_root + "/" + var).c_str(), 1);
        }
    }
    void TearDown() override
    {
        for (TRACEHANDLE registration : m_registrations) {
            UnregisterTraceGuids(registration);
        }
        std::filesystem::remove_all(m_root);
    }

    TRACEHANDLE Start(LPCWSTR name, ULONG* status = nullptr)
    {
        PropertiesBuffer buffer;
        std::memset(&buffer, 0, sizeof(buffer));
        buffer.Properties.Wnode.BufferSize = sizeof(buffer);
        buffer.Properties.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
        buffer.Properties.LogFileMode = EVENT_TRACE_FILE_MODE_SEQUENTIAL;
        buffer.Properties.LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
        TRACEHANDLE handle = 0;
        ULONG result = StartTraceW(&handle, name, &buffer.Properties);
        if (status != nullptr) {
            *status = result;
        } else {
            EXPECT_EQ(ERROR_SUCCESS, result);
            EXPECT_NE(0u, handle);
            EXPECT_EQ(handle, buffer.Properties.Wnode.HistoricalContext);
        }
        return handle;
    }

    ULONG Stop(LPCWSTR name)
    {
        PropertiesBuffer buffer;
        std::memset(&buffer, 0, sizeof(buffer));
        buffer.Properties.Wnode.BufferSize = sizeof(buffer);
        return ControlTraceW(0, name, &buffer.Properties, EVENT_TRACE_CONTROL_STOP);
    }

    TRACEHANDLE Register(Observed& seen)
    {
        TRACE_GUID_REGISTRATION registration = {&kControlGuid, nullptr};
        TRACEHANDLE handle = 0;
        EXPECT_EQ(ERROR_SUCCESS, RegisterTraceGuidsW(Callback, &seen, &kControlGuid, 1, &registration,
                                                     nullptr, nullptr, &handle));
        EXPECT_NE(0u, handle);
        m_registrations.push_back(handle);
        return handle;
    }

    void Unregister(TRACEHANDLE handle)
    {
        EXPECT_EQ(ERROR_SUCCESS, UnregisterTraceGuids(handle));
        std::erase(m_registrations, handle);
    }

    std::vector<npk::etw::EventRecord> Events(const std::string& name)
    {
        std::vector<npk::etw::EventRecord> records;
        bool damaged = true;
        EXPECT_TRUE(npk::etw::ReadEventFile(npk::etw::DefaultEventFile(name), records, &damaged));
        EXPECT_FALSE(damaged);
        return records;
    }

    std::string m_root;
    std::vector<TRACEHANDLE> m_registrations;
};

TEST_F(EventTracingTest, EnableAfterRegistrationCallsBackOnAnotherThread)
{
    Observed seen;
    Register(seen);
    EXPECT_EQ(0, seen.Calls.load());

    TRACEHANDLE logger = Start(TEXT("npKeystrand"));
    ASSERT_EQ(ERROR_SUCCESS, EnableTrace(TRUE, 0x6, 3, &kControlGuid, logger));
    ASSERT_TRUE(WaitForCalls(seen, 1));
    {
        std::lock_guard<std::mutex> lock(seen.Mutex);
        EXPECT_EQ((ULONG)WMI_ENABLE_EVENTS, seen.Codes[0]);
        EXPECT_EQ(logger, seen.Logger);
        EXPECT_EQ(0x6u, seen.Flags);
        EXPECT_EQ(3, seen.Level);
        EXPECT_NE(std::this_thread::get_id(), seen.Thread);
    }

    // New flags reach the provider as another enable; disabling as a disable.
    ASSERT_EQ(ERROR_SUCCESS, EnableTrace(TRUE, 0x8, 0, &kControlGuid, logger));
    ASSERT_TRUE(WaitForCalls(seen, 2));
    {
        std::lock_guard<std::mutex> lock(seen.Mutex);
        EXPECT_EQ((ULONG)WMI_ENABLE_EVENTS, seen.Codes[1]);
        EXPECT_EQ(0x8u, seen.Flags);
    }
    ASSERT_EQ(ERROR_SUCCESS, EnableTrace(FALSE, 0, 0, &kControlGuid, logger));
    ASSERT_TRUE(WaitForCalls(seen, 3));
    {
        std::lock_guard<std::mutex> lock(seen.Mutex);
        EXPECT_EQ((ULONG)WMI_DISABLE_EVENTS, seen.Codes[2]);
        EXPECT_EQ(logger, seen.Logger);
    }
    EXPECT_EQ(ERROR_SUCCESS, Stop(TEXT("npKeystrand")));
}

TEST_F(EventTracingTest, RegistrationWhileEnabledCallsBackBeforeReturning)
{
    TRACEHANDLE logger = Start(TEXT("npKeystrand"));
    ASSERT_EQ(ERROR_SUCCESS, EnableTrace(TRUE, 0xF, 0, &kControlGuid, logger));
    Observed seen;
    Register(seen);
    ASSERT_EQ(1, seen.Calls.load());
    EXPECT_EQ((ULONG)WMI_ENABLE_EVENTS, seen.Codes[0]);
    EXPECT_EQ(std::this_thread::get_id(), seen.Thread);
    EXPECT_EQ(logger, seen.Logger);
    EXPECT_EQ(0xFu, seen.Flags);

    // Stopping the session disables the provider.
    ASSERT_EQ(ERROR_SUCCESS, Stop(TEXT("NPKEYSTRAND")));
    ASSERT_TRUE(WaitForCalls(seen, 2));
    std::lock_guard<std::mutex> lock(seen.Mutex);
    EXPECT_EQ((ULONG)WMI_DISABLE_EVENTS, seen.Codes[1]);
}

// The provider follows the sessions wherever the directory is: after it was removed and made
// again, and after the environment moved it.
TEST_F(EventTracingTest, ProviderFollowsTheSessionDirectory)
{
    Observed seen;
    Register(seen);
    TRACEHANDLE first = Start(TEXT("npKeystrand"));
    ASSERT_EQ(ERROR_SUCCESS, EnableTrace(TRUE, 0x1, 0, &kControlGuid, first));
    ASSERT_TRUE(WaitForCalls(seen, 1));
    ASSERT_EQ(ERROR_SUCCESS, Stop(TEXT("npKeystrand")));
    ASSERT_TRUE(WaitForCalls(seen, 2));

    // The provider's thread may make the directory again at once; it must watch the new one.
    std::error_code error;
    std::filesystem::remove_all(npk::etw::SessionDirectoryPath(), error);
    EXPECT_FALSE(error) << error.message();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    TRACEHANDLE second = Start(TEXT("npKeystrand"));
    ASSERT_EQ(ERROR_SUCCESS, EnableTrace(TRUE, 0x2, 0, &kControlGuid, second));
    ASSERT_TRUE(WaitForCalls(seen, 3));
    {
        std::lock_guard<std::mutex> lock(seen.Mutex);
        EXPECT_EQ((ULONG)WMI_ENABLE_EVENTS, seen.Codes[2]);
        EXPECT_EQ(second, seen.Logger);
        EXPECT_EQ(0x2u, seen.Flags);
    }

    // Another session directory: the session left behind is no longer seen, the new one is.
    std::string moved = m_root + "/moved";
    setenv("XDG_RUNTIME_DIR", moved.c_str(), 1);
    TRACEHANDLE third = Start(TEXT("npKeystrand"));
    ASSERT_EQ(ERROR_SUCCESS, EnableTrace(TRUE, 0x4, 0, &kControlGuid, third));
    ASSERT_TRUE(WaitForCalls(seen, 5));
    {
        std::lock_guard<std::mutex> lock(seen.Mutex);
        EXPECT_EQ((ULONG)WMI_DISABLE_EVENTS, seen.Codes[3]);
        EXPECT_EQ((ULONG)WMI_ENABLE_EVENTS, seen.Codes[4]);
        EXPECT_EQ(third, seen.Logger);
        EXPECT_EQ(0x4u, seen.Flags);
    }
    EXPECT_EQ(ERROR_SUCCESS, Stop(TEXT("npKeystrand")));
    ASSERT_TRUE(WaitForCalls(seen, 6));
}

TEST_F(EventTracingTest, NoCallbackAfterUnregistration)
{
    Observed seen;
    TRACEHANDLE registration = Register(seen);
    Unregister(registration);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, UnregisterTraceGuids(registration));
    TRACEHANDLE logger = Start(TEXT("npKeystrand"));
    ASSERT_EQ(ERROR_SUCCESS, EnableTrace(TRUE, 0xF, 0, &kControlGuid, logger));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(0, seen.Calls.load());
}

TEST_F(EventTracingTest, EventsAreAppendedInOrderWithTheirArguments)
{
    TRACEHANDLE logger = Start(TEXT("npKeystrand"));
    const char name[] = "CCryptoAgent::SignMessage";
    const WCHAR step[] = TEXT("<NULL>");
    DWORD hr = 0x80070002;
    ULONG flags = TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_TIMESTAMP | TRACE_MESSAGE_SYSTEMINFO;
    ASSERT_EQ(ERROR_SUCCESS, TraceMessage(logger, flags, &kMessageGuid, 10, name, sizeof(name), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, TraceMessage(logger, flags, &kMessageGuid, 12, step, sizeof(step), &hr, sizeof(hr), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, TraceMessage(logger, flags, &kMessageGuid, 11, nullptr));

    // The shape the trace facility's fallback sends: the number, then the arguments.
    struct {
        EVENT_TRACE_HEADER Header;
        MOF_FIELD Fields[2];
    } event;
    std::memset(&event, 0, sizeof(event));
    USHORT number = 13;
    event.Header.Size = sizeof(event);
    event.Header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_GUID_PTR | WNODE_FLAG_USE_MOF_PTR;
    event.Header.Class.Type = 255;
    event.Header.GuidPtr = (ULONGLONG)(ULONG_PTR)&kMessageGuid;
    event.Fields[0] = {(ULONG64)(ULONG_PTR)&number, sizeof(number), 0};
    event.Fields[1] = {(ULONG64)(ULONG_PTR)&hr, sizeof(hr), 0};
    ASSERT_EQ(ERROR_SUCCESS, TraceEvent(logger, &event.Header));

    std::vector<npk::etw::EventRecord> records = Events("npKeystrand");
    ASSERT_EQ(4u, records.size());
    EXPECT_EQ(10, records[0].Header.MessageNumber);
    EXPECT_TRUE(IsEqualGUID(kMessageGuid, records[0].Header.Guid));
    EXPECT_EQ(std::string(name, sizeof(name)), std::string(records[0].Data.begin(), records[0].Data.end()));
    EXPECT_EQ((uint32_t)getpid(), records[0].Header.ProcessId);
    EXPECT_EQ(GetCurrentThreadId(), records[0].Header.ThreadId);
    EXPECT_GT(records[0].Header.TimeStamp, 116444736000000000LL);

    EXPECT_EQ(12, records[1].Header.MessageNumber);
    ASSERT_EQ(sizeof(step) + 4, records[1].Data.size());
    EXPECT_EQ(0, memcmp(records[1].Data.data(), step, sizeof(step)));
    EXPECT_EQ(0, memcmp(records[1].Data.data() + sizeof(step), &hr, 4));
    EXPECT_TRUE(records[2].Data.empty());

    EXPECT_EQ(npk::etw::RecordKindEvent, records[3].Header.Kind);
    EXPECT_EQ(255, records[3].Header.ClassType);
    EXPECT_TRUE(IsEqualGUID(kMessageGuid, records[3].Header.Guid));
    ASSERT_EQ(6u, records[3].Data.size());
    EXPECT_EQ(13, records[3].Data[0] | (records[3].Data[1] << 8));

    for (size_t i = 1; i < records.size(); ++i) {
        EXPECT_EQ(records[i - 1].Header.Sequence + 1, records[i].Header.Sequence);
    }
    EXPECT_EQ(ERROR_SUCCESS, Stop(TEXT("npKeystrand")));
}

TEST_F(EventTracingTest, StoppedOrUnknownLoggerWritesNothing)
{
    TRACEHANDLE logger = Start(TEXT("npKeystrand"));
    DWORD value = 1;
    ASSERT_EQ(ERROR_SUCCESS, TraceMessage(logger, TRACE_MESSAGE_GUID, &kMessageGuid, 10, &value, 4, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, Stop(TEXT("npKeystrand")));
    EXPECT_EQ(ERROR_INVALID_HANDLE, TraceMessage(logger, TRACE_MESSAGE_GUID, &kMessageGuid, 11, &value, 4, nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, TraceMessage(logger + 1, TRACE_MESSAGE_GUID, &kMessageGuid, 11, &value, 4, nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, TraceMessage(0, TRACE_MESSAGE_GUID, &kMessageGuid, 11, &value, 4, nullptr));
    // The event file outlives the session.
    std::vector<npk::etw::EventRecord> records = Events("npKeystrand");
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(10, records[0].Header.MessageNumber);

    // A new session of the same name starts a fresh file; the old handle stays dead.
    TRACEHANDLE again = Start(TEXT("npKeystrand"));
    EXPECT_NE(logger, again);
    EXPECT_EQ(ERROR_INVALID_HANDLE, TraceMessage(logger, TRACE_MESSAGE_GUID, &kMessageGuid, 11, &value, 4, nullptr));
    EXPECT_TRUE(Events("npKeystrand").empty());
    EXPECT_EQ(ERROR_SUCCESS, Stop(TEXT("npKeystrand")));
    EXPECT_EQ(ERROR_WMI_INSTANCE_NOT_FOUND, Stop(TEXT("npKeystrand")));
}

TEST_F(EventTracingTest, TwoProcessesDoNotInterleaveRecords)
{
    TRACEHANDLE logger = Start(TEXT("Shared"));
    const int kEvents = 300;
    std::vector<BYTE> payload(3000);
    auto writeAll = [&](BYTE fill) {
        std::fill(payload.begin(), payload.end(), fill);
        for (int i = 0; i < kEvents; ++i) {
            if (TraceMessage(logger, TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_SYSTEMINFO | TRACE_MESSAGE_GUID,
                             &kMessageGuid, (USHORT)i, payload.data(), payload.size(), nullptr) != ERROR_SUCCESS) {
                return false;
            }
        }
        return true;
    };
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(writeAll(0xCC) ? 0 : 1);
    }
    EXPECT_TRUE(writeAll(0x33));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));

    std::vector<npk::etw::EventRecord> records = Events("Shared");
    ASSERT_EQ(2u * kEvents, records.size());
    std::set<uint32_t> sequences;
    int fromChild = 0;
    for (const npk::etw::EventRecord& record : records) {
        ASSERT_EQ(payload.size(), record.Data.size());
        BYTE fill = record.Data[0];
        for (BYTE b : record.Data) {
            ASSERT_EQ(fill, b);
        }
        EXPECT_EQ(fill == 0xCC ? (uint32_t)child : (uint32_t)getpid(), record.Header.ProcessId);
        fromChild += fill == 0xCC;
        sequences.insert(record.Header.Sequence);
    }
    EXPECT_EQ(kEvents, fromChild);
    EXPECT_EQ(2u * kEvents, sequences.size());
    EXPECT_EQ(ERROR_SUCCESS, Stop(TEXT("Shared")));
}

TEST_F(EventTracingTest, QueryOfTheGlobalLogger)
{
    EVENT_TRACE_PROPERTIES small;
    std::memset(&small, 0, sizeof(small));
    small.Wnode.BufferSize = sizeof(small);
    small.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    EXPECT_EQ(ERROR_WMI_INSTANCE_NOT_FOUND, ControlTraceW(0, GLOBAL_LOGGER_NAMEW, &small, EVENT_TRACE_CONTROL_QUERY));

    TRACEHANDLE logger = Start(GLOBAL_LOGGER_NAMEW);
    ULONG status = 0;
    Start(TEXT("globallogger"), &status);
    EXPECT_EQ(ERROR_ALREADY_EXISTS, status);

    // No room for the names: the handle is still reported.
    std::memset(&small, 0, sizeof(small));
    small.Wnode.BufferSize = sizeof(small);
    EXPECT_EQ(ERROR_MORE_DATA, ControlTraceW(0, GLOBAL_LOGGER_NAMEW, &small, EVENT_TRACE_CONTROL_QUERY));
    EXPECT_EQ(logger, small.Wnode.HistoricalContext);

    PropertiesBuffer big;
    std::memset(&big, 0, sizeof(big));
    big.Properties.Wnode.BufferSize = sizeof(big);
    ASSERT_EQ(ERROR_SUCCESS, ControlTraceW(logger, nullptr, &big.Properties, EVENT_TRACE_CONTROL_QUERY));
    EXPECT_EQ(logger, big.Properties.Wnode.HistoricalContext);
    ASSERT_NE(0u, big.Properties.LoggerNameOffset);
    EXPECT_EQ(0, lstrcmpW(GLOBAL_LOGGER_NAMEW, (LPCWSTR)((BYTE*)&big + big.Properties.LoggerNameOffset)));
    ASSERT_NE(0u, big.Properties.LogFileNameOffset);
    EXPECT_EQ(npk::etw::DefaultEventFile("GlobalLogger"),
              npk::etw::Utf16ToUtf8((LPCWSTR)((BYTE*)&big + big.Properties.LogFileNameOffset)));

    EVENT_TRACE_PROPERTIES tooSmall;
    std::memset(&tooSmall, 0, sizeof(tooSmall));
    tooSmall.Wnode.BufferSize = sizeof(tooSmall) - 1;
    EXPECT_EQ(ERROR_BAD_LENGTH, ControlTraceW(logger, nullptr, &tooSmall, EVENT_TRACE_CONTROL_QUERY));

    ULONG count = 0;
    PropertiesBuffer all[2];
    std::memset(all, 0, sizeof(all));
    PEVENT_TRACE_PROPERTIES array[2] = {&all[0].Properties, &all[1].Properties};
    all[0].Properties.Wnode.BufferSize = all[1].Properties.Wnode.BufferSize = sizeof(PropertiesBuffer);
    EXPECT_EQ(ERROR_SUCCESS, QueryAllTracesW(array, 2, &count));
    EXPECT_EQ(1u, count);

    EXPECT_EQ(ERROR_SUCCESS, Stop(GLOBAL_LOGGER_NAMEW));
    std::memset(&small, 0, sizeof(small));
    small.Wnode.BufferSize = sizeof(small);
    EXPECT_EQ(ERROR_WMI_INSTANCE_NOT_FOUND, ControlTraceW(0, GLOBAL_LOGGER_NAMEW, &small, EVENT_TRACE_CONTROL_QUERY));
}

TEST_F(EventTracingTest, MessageProceduresAreReachableThroughAdvapi32)
{
    HMODULE module = LoadLibraryW(TEXT("advapi32"));
    ASSERT_NE(nullptr, module);
    EXPECT_EQ(reinterpret_cast<void (*)()>(&TraceMessage),
              reinterpret_cast<void (*)()>(GetProcAddress(module, "TraceMessage")));
    EXPECT_EQ(reinterpret_cast<void (*)()>(&TraceMessageVa),
              reinterpret_cast<void (*)()>(GetProcAddress(module, "TraceMessageVa")));
    FreeLibrary(module);
}

}  // namespace
