// What the native-messaging bridge costs a call: the round trip of "GetLastErrorDesc" and of
// "SignMessage" through `npkeystrand-bridge` over pipes (framing, JSON both ways, the call),
// against the same calls made in-process through the host's page runner (`npkeystrand run`'s
// ScriptPage). Each benchmark reports the median of its round trips as `median_us`.
//   bench_BridgeRoundTripBench --benchmark_counters_tabular=true
#include "BenchSupport.h"
#include "host/PluginLibrary.h"
#include "host/ScriptPage.h"
#include "host/bridge/Json.h"
#include "host/bridge/NativeMessage.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using npk::bridge::JsonValue;
using npk::bench::BinDir;
using npk::bench::SourceDir;

std::string PluginPath()
{
    return (BinDir().parent_path() / "lib" / "libnpKeystrand.so").string();
}

// A home of its own, and a private copy of the signer's PFX file (the plug-in opens page
// files without sharing).
struct Scratch : npk::bench::ScratchHome {
    Scratch() : ScratchHome("npk-bridgebench")
    {
        setenv("NPKEYSTRAND_PLUGIN", PluginPath().c_str(), 1);
        fs::copy_file(SourceDir() / "tests" / "data" / "signer.pfx", Dir / "signer.pfx");
    }
    std::string Pfx() const { return (Dir / "signer.pfx").string(); }
};

Scratch& TheScratch()
{
    static Scratch scratch;
    return scratch;
}

double Median(std::vector<double>& samples)
{
    if (samples.empty()) return 0;
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

// The bridge as a browser runs it.
class BridgeChild {
public:
    BridgeChild()
    {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) std::abort();
        std::string program = (BinDir() / "npkeystrand-bridge").string();
        char* argv[] = {program.data(), nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        if (posix_spawn(&m_pid, program.c_str(), &fa, nullptr, argv, environ) != 0) std::abort();
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }

    ~BridgeChild()
    {
        close(m_in);
        close(m_out);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }

    // One request and its answer; false when the answer is not ok.
    bool Request(const std::string& json, std::string& answer)
    {
        for (const std::string& frame : npk::bridge::FrameMessage(json, JsonValue::Number(++m_id))) {
            if (!WriteAll(frame)) return false;
        }
        std::string assembled;
        for (;;) {
            uint32_t length = 0;
            std::string header;
            if (!ReadExactly(header, sizeof(length))) return false;
            std::memcpy(&length, header.data(), sizeof(length));
            std::string frame;
            if (!ReadExactly(frame, length)) return false;
            JsonValue v;
            std::string error;
            if (!npk::bridge::ParseJson(frame, v, error)) return false;
            if (v.Find("chunk") == nullptr) {
                answer = std::move(frame);
                return v.Find("ok") != nullptr && v.Find("ok")->AsBool();
            }
            assembled += v.Find("data")->AsString();
            if (v.Find("part")->AsNumber() + 1 == v.Find("parts")->AsNumber()) {
                answer = std::move(assembled);
                return answer.find("\"ok\":true") != std::string::npos;
            }
        }
    }

    int NextId() const { return m_id + 1; }

private:
    bool WriteAll(const std::string& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(m_in, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    bool ReadExactly(std::string& out, size_t size)
    {
        out.assign(size, '\0');
        size_t have = 0;
        while (have < size) {
            ssize_t n = read(m_out, out.data() + have, size - have);
            if (n <= 0) return false;
            have += static_cast<size_t>(n);
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_id = 0;
};

std::string Quote(const std::string& s)
{
    std::string out;
    npk::bridge::AppendJsonString(out, s);
    return out;
}

std::string CallJson(int id, const std::string& method, const std::vector<std::string>& args)
{
    std::string a;
    for (const std::string& x : args) a += (a.empty() ? "" : ",") + Quote(x);
    return "{\"id\":" + std::to_string(id) + ",\"type\":\"call\",\"doc\":\"d1\",\"method\":" + Quote(method) +
           ",\"args\":[" + a + "]}";
}

void ThroughBridge(benchmark::State& state, const std::string& method, const std::vector<std::string>& args)
{
    const std::string pfx = TheScratch().Pfx();
    BridgeChild bridge;
    std::string answer;
    if (!bridge.Request("{\"id\":1,\"type\":\"open\",\"doc\":\"d1\",\"origin\":\"https://bench.example\"}", answer) ||
        !bridge.Request(CallJson(bridge.NextId(), "SelectSignCertificateByPFXFile", {pfx, "npkeystrand"}), answer)) {
        state.SkipWithError(("the bridge failed: " + answer).c_str());
        return;
    }
    std::vector<double> samples;
    for (auto _ : state) {
        const std::string request = CallJson(bridge.NextId(), method, args);
        const auto start = std::chrono::steady_clock::now();
        const bool ok = bridge.Request(request, answer);
        samples.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        if (!ok) {
            state.SkipWithError(("the call failed: " + answer).c_str());
            return;
        }
        benchmark::DoNotOptimize(answer.data());
    }
    state.counters["median_us"] = Median(samples);
}

void InProcess(benchmark::State& state, const std::string& method, const std::vector<std::string>& args)
{
    const std::string pfx = TheScratch().Pfx();
    std::string error;
    auto library = npk::host::PluginLibrary::Open(PluginPath(), error);
    if (library == nullptr || !library->Start(error)) {
        state.SkipWithError(("the plug-in cannot be started: " + error).c_str());
        return;
    }
    std::vector<double> samples;
    {
        npk::host::ScriptPage page(*library);
        std::string result;
        if (!page.Open(error) || !page.Call("SelectSignCertificateByPFXFile", {pfx, "npkeystrand"}, result)) {
            state.SkipWithError(("the page failed: " + error + result).c_str());
            library->DestroyInstances();
            page.ReleaseObjects();
            return;
        }
        for (auto _ : state) {
            const auto start = std::chrono::steady_clock::now();
            const bool ok = page.Call(method, args, result);
            samples.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
            if (!ok) {
                state.SkipWithError(("the call failed: " + result).c_str());
                break;
            }
            benchmark::DoNotOptimize(result.data());
        }
        // The browser's order: instances, then the page's objects, then the library.
        library->DestroyInstances();
        page.ReleaseObjects();
    }
    library->Stop();
    state.counters["median_us"] = Median(samples);
}

const std::vector<std::string> kNoArgs;
const std::vector<std::string> kSignArgs = {"hello", "SHA-1"};

void BM_Bridge_GetLastErrorDesc(benchmark::State& state) { ThroughBridge(state, "GetLastErrorDesc", kNoArgs); }
void BM_InProcess_GetLastErrorDesc(benchmark::State& state) { InProcess(state, "GetLastErrorDesc", kNoArgs); }
void BM_Bridge_SignMessage(benchmark::State& state) { ThroughBridge(state, "SignMessage", kSignArgs); }
void BM_InProcess_SignMessage(benchmark::State& state) { InProcess(state, "SignMessage", kSignArgs); }

BENCHMARK(BM_Bridge_GetLastErrorDesc)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InProcess_GetLastErrorDesc)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Bridge_SignMessage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InProcess_SignMessage)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
