// Cost of trace points: disabled (before start-up, and started but with the flag off),
// TraceHelper when disabled, and an enabled trace point writing into a running session.
#include <windows.h>
#include <evntrace.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "trace/Trace.h"

namespace {

int g_evaluated = 0;

// Stands for the work an event's arguments need (looking up a text, measuring it); a
// disabled trace point must not reach it.
LPCSTR ExpensiveArgument()
{
    ++g_evaluated;
    return "argument";
}

void BM_TracePointBeforeStartup(benchmark::State& state)
{
    CleanupTracing();
    for (auto _ : state) {
        NPK_TRACE(TRACE_INFORMATION, TraceMsgA(TRACE_GUID_AGENT, 10, ExpensiveArgument()));
        benchmark::ClobberMemory();
    }
    if (g_evaluated != 0) state.SkipWithError("a disabled trace point evaluated its arguments");
}
BENCHMARK(BM_TracePointBeforeStartup);

void BM_TracePointFlagOff(benchmark::State& state)
{
    LoadTraceSupport();
    InitTracing();
    for (auto _ : state) {
        NPK_TRACE(TRACE_INFORMATION, TraceMsgA(TRACE_GUID_AGENT, 10, ExpensiveArgument()));
        benchmark::ClobberMemory();
    }
    CleanupTracing();
    if (g_evaluated != 0) state.SkipWithError("a disabled trace point evaluated its arguments");
}
BENCHMARK(BM_TracePointFlagOff);

void BM_TraceHelperDisabled(benchmark::State& state)
{
    LoadTraceSupport();
    InitTracing();
    for (auto _ : state) {
        TraceHelper trace("CCryptoAgent::SignMessage");
        benchmark::DoNotOptimize(&trace);
    }
    CleanupTracing();
}
BENCHMARK(BM_TraceHelperDisabled);

// A session of our own, in a private directory, enabling every flag of the provider.
struct BenchSession {
    TRACEHANDLE handle = 0;
    BYTE buffer[sizeof(EVENT_TRACE_PROPERTIES) + 2 * 1024 * sizeof(WCHAR)];

    EVENT_TRACE_PROPERTIES* Properties() { return reinterpret_cast<EVENT_TRACE_PROPERTIES*>(buffer); }

    bool Start(const std::string& logFile)
    {
        std::memset(buffer, 0, sizeof(buffer));
        EVENT_TRACE_PROPERTIES* p = Properties();
        p->Wnode.BufferSize = sizeof(buffer);
        p->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
        p->LogFileMode = EVENT_TRACE_FILE_MODE_SEQUENTIAL;
        p->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
        p->LogFileNameOffset = sizeof(EVENT_TRACE_PROPERTIES) + 1024 * sizeof(WCHAR);
        WCHAR* file = reinterpret_cast<WCHAR*>(buffer + p->LogFileNameOffset);
        for (size_t i = 0; i < logFile.size() && i < 1023; ++i) file[i] = (WCHAR)logFile[i];
        if (StartTraceW(&handle, TEXT("npkBench"), p) != ERROR_SUCCESS) return false;
        return EnableTrace(TRUE, 0xF, 0, &TRACE_CONTROL_GUID, handle) == ERROR_SUCCESS;
    }

    void Stop()
    {
        EnableTrace(FALSE, 0, 0, &TRACE_CONTROL_GUID, handle);
        Properties()->Wnode.BufferSize = sizeof(buffer);
        ControlTraceW(handle, NULL, Properties(), EVENT_TRACE_CONTROL_STOP);
    }
};

void BM_TracePointEnabled(benchmark::State& state)
{
    LoadTraceSupport();
    InitTracing();
    char dirTemplate[] = "/tmp/npk-trace-bench-XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    BenchSession session;
    if (dir == nullptr || !session.Start(std::string(dir) + "/bench.etl")) {
        CleanupTracing();
        state.SkipWithError("could not start a trace session");
        return;
    }
    // The provider learns of the session on the service's thread.
    for (int i = 0; i < 500 && !TraceIsOn(TRACE_INFORMATION); ++i) Sleep(10);
    if (!TraceIsOn(TRACE_INFORMATION)) {
        session.Stop();
        CleanupTracing();
        state.SkipWithError("the provider was not enabled");
        return;
    }
    for (auto _ : state) {
        NPK_TRACE(TRACE_INFORMATION, TraceMsgA(TRACE_GUID_AGENT, 10, "argument"));
    }
    session.Stop();
    CleanupTracing();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}
// Fixed iterations keep the session's file to a few megabytes.
BENCHMARK(BM_TracePointEnabled)->Iterations(100000);

}  // namespace

int main(int argc, char** argv)
{
    // Keep the benchmark's sessions and registry away from the user's own.
    char dirTemplate[] = "/tmp/npk-trace-bench-home-XXXXXX";
    const char* home = mkdtemp(dirTemplate);
    if (home != nullptr) {
        for (const char* sub : {"/data", "/config", "/run"}) {
            std::error_code ec;
            std::filesystem::create_directories(std::string(home) + sub, ec);
        }
        setenv("HOME", home, 1);
        setenv("XDG_DATA_HOME", (std::string(home) + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (std::string(home) + "/config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (std::string(home) + "/run").c_str(), 1);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (home != nullptr) {
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
    }
    return 0;
}
