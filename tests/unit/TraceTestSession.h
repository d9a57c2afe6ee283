// Test support for the trace facility: a private user directory per test, a trace session
// of the platform's event tracing that enables the provider, and the events read back from
// the session's file.
#pragma once

#include <windows.h>
#include <evntrace.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "advapi32/EtwStore.h"
#include "trace/Trace.h"
#include "trace/TraceSupport.h"

namespace tracetest {

inline std::basic_string<WCHAR> Wide(const std::string& text)
{
    std::basic_string<WCHAR> out;
    for (unsigned char c : text) out.push_back((WCHAR)c);
    return out;
}

// One event as it reached the session: its GUID, number and argument bytes. A TraceEvent
// record (classic) carries its number as the first two data bytes.
struct Event {
    GUID guid{};
    USHORT number = 0;
    std::vector<BYTE> data;
    bool classic = false;
    UCHAR classType = 0;
    ULONG flags = 0;   // message flags, or the record's WNODE flags
};

// Argument bytes of texts and numbers, as a test expects to find them.
inline std::vector<BYTE> BytesA(const char* text, size_t length)
{
    return std::vector<BYTE>((const BYTE*)text, (const BYTE*)text + length);
}
inline std::vector<BYTE> BytesW(const WCHAR* text, size_t chars)
{
    return std::vector<BYTE>((const BYTE*)text, (const BYTE*)(text + chars));
}
template <typename T>
inline std::vector<BYTE> BytesOf(T value)
{
    std::vector<BYTE> out(sizeof(T));
    std::memcpy(out.data(), &value, sizeof(T));
    return out;
}
inline std::vector<BYTE> Concat(std::initializer_list<std::vector<BYTE>> parts)
{
    std::vector<BYTE> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A session that writes to a file of its own. Start enables the provider with the given
// flags and level; Stop ends the session; Events reads what the file holds.
class Session {
public:
    Session(std::string name, std::string file) : m_name(std::move(name)), m_file(std::move(file)) {}
    ~Session() { Stop(); }

    ULONG Start()
    {
        Prepare();
        return StartTraceW(&m_handle, Wide(m_name).c_str(), Properties());
    }

    ULONG Enable(ULONG flags, ULONG level)
    {
        return EnableTrace(TRUE, flags, level, &TRACE_CONTROL_GUID, m_handle);
    }

    ULONG Disable() { return EnableTrace(FALSE, 0, 0, &TRACE_CONTROL_GUID, m_handle); }

    void Stop()
    {
        if (m_handle == 0) return;
        Prepare();
        ControlTraceW(m_handle, NULL, Properties(), EVENT_TRACE_CONTROL_STOP);
        m_handle = 0;
    }

    TRACEHANDLE Handle() const { return m_handle; }

    std::vector<Event> Events();

private:
    EVENT_TRACE_PROPERTIES* Properties() { return reinterpret_cast<EVENT_TRACE_PROPERTIES*>(m_buffer); }

    void Prepare()
    {
        std::memset(m_buffer, 0, sizeof(m_buffer));
        EVENT_TRACE_PROPERTIES* p = Properties();
        p->Wnode.BufferSize = sizeof(m_buffer);
        p->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
        p->LogFileMode = EVENT_TRACE_FILE_MODE_SEQUENTIAL;
        p->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
        p->LogFileNameOffset = sizeof(EVENT_TRACE_PROPERTIES) + kNameChars * sizeof(WCHAR);
        std::basic_string<WCHAR> file = Wide(m_file);
        std::memcpy(m_buffer + p->LogFileNameOffset, file.c_str(), (file.size() + 1) * sizeof(WCHAR));
    }

    static constexpr size_t kNameChars = 1024;
    std::string m_name;
    std::string m_file;
    TRACEHANDLE m_handle = 0;
    alignas(8) BYTE m_buffer[sizeof(EVENT_TRACE_PROPERTIES) + 2 * kNameChars * sizeof(WCHAR)];
};

// Waits until the provider's block shows the given flags (the service tells the provider
// on its own thread).
inline bool WaitForFlags(ULONG flags)
{
    for (int i = 0; i < 500; ++i) {
        if (g_TraceControlBlock.Flags.load() == flags) return true;
        Sleep(10);
    }
    return g_TraceControlBlock.Flags.load() == flags;
}

// Each test gets a fresh HOME and XDG directories, so sessions and the registry are its own.
class TraceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/npk-trace-test-XXXXXX";
        const char* dir = mkdtemp(pattern);
        ASSERT_NE(dir, nullptr);
        m_root = dir;
        for (const char* sub : {"data", "config", "run"}) std::filesystem::create_directories(m_root + "/" + sub);
        setenv("HOME", m_root.c_str(), 1);
        setenv("XDG_DATA_HOME", (m_root + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (m_root + "/config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (m_root + "/run").c_str(), 1);
    }

    void TearDown() override
    {
        m_session.reset();
        CleanupTracing();
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
    }

    // Starts a session named `name` and enables the provider in it.
    Session& StartSession(ULONG flags, ULONG level = 0, const std::string& name = "npkTraceTest")
    {
        m_session = std::make_unique<Session>(name, m_root + "/" + name + ".etl");
        EXPECT_EQ(m_session->Start(), (ULONG)ERROR_SUCCESS);
        EXPECT_EQ(m_session->Enable(flags, level), (ULONG)ERROR_SUCCESS);
        return *m_session;
    }

    // Starts the provider and a session enabling it, and waits until the provider knows.
    void StartTracingWith(ULONG flags, ULONG level = 0)
    {
        LoadTraceSupport();
        InitTracing();
        StartSession(flags, level);
        ASSERT_TRUE(WaitForFlags(flags));
    }

    // Ends the session and returns its events.
    std::vector<Event> StopAndRead()
    {
        if (!m_session) return {};
        m_session->Stop();
        std::vector<Event> events = m_session->Events();
        return events;
    }

    std::string m_root;
    std::unique_ptr<Session> m_session;
};

inline std::vector<Event> Session::Events()
{
    std::vector<npk::etw::EventRecord> records;
    bool damaged = false;
    std::vector<Event> events;
    if (!npk::etw::ReadEventFile(m_file, records, &damaged)) return events;
    EXPECT_FALSE(damaged) << m_file;
    for (const npk::etw::EventRecord& r : records) {
        Event e;
        e.guid = r.Header.Guid;
        e.flags = r.Header.Flags;
        if (r.Header.Kind == npk::etw::RecordKindEvent) {
            e.classic = true;
            e.classType = r.Header.ClassType;
            EXPECT_GE(r.Data.size(), sizeof(USHORT));
            if (r.Data.size() < sizeof(USHORT)) continue;
            std::memcpy(&e.number, r.Data.data(), sizeof(USHORT));
            e.data.assign(r.Data.begin() + sizeof(USHORT), r.Data.end());
        } else {
            e.number = r.Header.MessageNumber;
            EXPECT_EQ(r.Header.Flags, (uint32_t)NPK_TRACE_MESSAGE_FLAGS);
            e.data.assign(r.Data.begin(), r.Data.end());
        }
        events.push_back(std::move(e));
    }
    return events;
}

// The step events of the shared module: (number, text, value).
struct Step {
    USHORT number;
    std::basic_string<WCHAR> text;
    LONG value;
};

inline std::vector<Step> StepsOf(const std::vector<Event>& events)
{
    std::vector<Step> steps;
    for (const Event& e : events) {
        if (!(e.guid == TRACE_GUID_SHARED) || (e.number != 12 && e.number != 13)) continue;
        if (e.data.size() < sizeof(WCHAR) + sizeof(LONG)) continue;
        const size_t chars = (e.data.size() - sizeof(LONG)) / sizeof(WCHAR);
        const WCHAR* text = reinterpret_cast<const WCHAR*>(e.data.data());
        LONG value = 0;
        std::memcpy(&value, e.data.data() + e.data.size() - sizeof(LONG), sizeof(LONG));
        steps.push_back(Step{e.number, std::basic_string<WCHAR>(text, text + chars - 1), value});
    }
    return steps;
}

}  // namespace tracetest
