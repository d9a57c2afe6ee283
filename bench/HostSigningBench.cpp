// Signing through the whole stack: page scripts run by the host (`npkeystrand run`) call the
// plug-in of this build, as a browser would. Each measurement subtracts a run of the same page
// without the measured calls, so start-up and the certificate selection do not count.
//   bench_HostSigningBench --benchmark_counters_tabular=true
// NPK_BENCH_FILE_MIB sets the size of the signed file (default 1024 MiB).
//
// SignMessage is compared with `openssl speed rsa2048`, run before each of its pages in the
// same run: openssl_sign_per_s is openssl's average, and vs_openssl the host's calls per
// second over it. openssl speed divides by the user CPU time it used (its -elapsed option
// documents that divisor), so vs_openssl takes the host's user time from wait4 alike
// (user_calls_per_s); calls_per_s and vs_openssl_user_sys count the system time as well.
// Wall time on a busy machine would measure the other programs too (wall_calls_per_s).
#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using npk::bench::BinDir;
using npk::bench::SourceDir;

struct Scratch : npk::bench::ScratchHome {
    Scratch() : ScratchHome("npk-hostbench") {}
};

Scratch& TheScratch()
{
    static Scratch scratch;
    return scratch;
}

struct PageTimes {
    double wall = 0;
    double cpu = 0;   // user and system time of the host
    double user = 0;  // user time alone, as openssl speed counts its own
};

// Runs a page with this build's plug-in and returns its times in seconds; aborts the benchmark
// on failure.
PageTimes RunPageTimes(benchmark::State& state, const std::string& body)
{
    fs::path page = TheScratch().Dir / "page.js";
    std::ofstream(page) << "plugin.SelectSignCertificateByPFXFile(" << '"'
                        << (SourceDir() / "tests/data/signer.pfx").string() << '"' << ", \"npkeystrand\");\n"
                        << body;
    std::string host = (BinDir() / "npkeystrand").string();
    // Never a plug-in installed on the machine: the one built beside this benchmark.
    std::string plugin = (BinDir().parent_path() / "lib" / "libnpKeystrand.so").string();
    std::vector<char*> argv = {host.data(), const_cast<char*>("--plugin"), plugin.data(), const_cast<char*>("run"),
                               const_cast<char*>(page.c_str()), nullptr};
    PageTimes times;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, host.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        state.SkipWithError("cannot start the host");
        return times;
    }
    int status = 0;
    struct rusage usage = {};
    wait4(pid, &status, 0, &usage);
    times.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    times.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    times.user = static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("the page failed");
    return times;
}

double RunPage(benchmark::State& state, const std::string& body) { return RunPageTimes(state, body).wall; }

// RSA-2048 signatures per second as `openssl speed rsa2048` counts them (CPU time) over one
// second; 0 when the command is missing or says nothing usable.
double OpenSslSignsPerSecond()
{
    double rate = 0;
    FILE* speed = popen("openssl speed -mr -seconds 1 rsa2048 2>/dev/null", "r");
    if (speed == nullptr) return rate;
    // The machine-readable result: +F2:<index>:2048:<signs per second>:<verifies per second>
    char line[512];
    while (std::fgets(line, sizeof line, speed) != nullptr) {
        std::string text(line);
        if (text.rfind("+F2:", 0) != 0) continue;
        std::vector<std::string> fields;
        std::stringstream in(text);
        for (std::string field; std::getline(in, field, ':');) fields.push_back(field);
        if (fields.size() >= 5 && fields[2] == "2048") rate = std::atof(fields[3].c_str());
    }
    pclose(speed);
    return rate;
}

void BM_HostSignMessage(benchmark::State& state)
{
    const int calls = static_cast<int>(state.range(0));
    const std::string loop = "for (var i = 0; i < " + std::to_string(calls) +
                             "; i++) plugin.SignMessage(\"benchmark text \" + i, \"SHA-256\");\n";
    double cpu = 0;
    double user = 0;
    double wall = 0;
    double openssl = 0;
    int opensslRuns = 0;
    for (auto _ : state) {
        // openssl speed between the pages, so that both meet the same machine.
        const double rate = OpenSslSignsPerSecond();
        if (rate > 0) {
            openssl += rate;
            ++opensslRuns;
        }
        PageTimes base = RunPageTimes(state, "");
        PageTimes total = RunPageTimes(state, loop);
        state.SetIterationTime(total.cpu - base.cpu);
        cpu += total.cpu - base.cpu;
        user += total.user - base.user;
        wall += total.wall - base.wall;
    }
    const double callsPerSecond = cpu > 0 ? static_cast<double>(calls) * state.iterations() / cpu : 0;
    const double userCallsPerSecond = user > 0 ? static_cast<double>(calls) * state.iterations() / user : 0;
    state.counters["calls_per_s"] = callsPerSecond;
    state.counters["user_calls_per_s"] = userCallsPerSecond;
    state.counters["wall_calls_per_s"] = wall > 0 ? static_cast<double>(calls) * state.iterations() / wall : 0;
    if (opensslRuns > 0) {
        state.counters["openssl_sign_per_s"] = openssl / opensslRuns;
        state.counters["vs_openssl"] = userCallsPerSecond / (openssl / opensslRuns);
        state.counters["vs_openssl_user_sys"] = callsPerSecond / (openssl / opensslRuns);
    }
}

fs::path LargeFile()
{
    static fs::path path;
    if (path.empty()) {
        const char* mib = std::getenv("NPK_BENCH_FILE_MIB");
        long long size = (mib != nullptr ? std::atoll(mib) : 1024) << 20;
        path = TheScratch().Dir / "large.bin";
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
        std::ofstream out(path, std::ios::binary);
        for (long long written = 0; written < size; written += static_cast<long long>(block.size()))
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    return path;
}

void BM_HostSignFileDetached(benchmark::State& state)
{
    fs::path file = LargeFile();
    const std::string sign = "var s = plugin.SignFileDetached(\"" + file.string() + "\", \"SHA-256\");\n";
    for (auto _ : state) {
        double base = RunPage(state, "");
        double total = RunPage(state, sign);
        state.SetIterationTime(total - base);
    }
    state.SetBytesProcessed(static_cast<int64_t>(fs::file_size(file)) * state.iterations());
}

void BM_HostVerifyFileSignatureDetached(benchmark::State& state)
{
    fs::path file = LargeFile();
    const std::string sign = "var s = plugin.SignFileDetached(\"" + file.string() + "\", \"SHA-256\");\n";
    const std::string verify = "if (!plugin.VerifyFileSignatureDetached(s, \"" + file.string() + "\")) throw 1;\n";
    for (auto _ : state) {
        double base = RunPage(state, sign);
        double total = RunPage(state, sign + verify);
        state.SetIterationTime(total - base);
    }
    state.SetBytesProcessed(static_cast<int64_t>(fs::file_size(file)) * state.iterations());
}

BENCHMARK(BM_HostSignMessage)->Arg(1000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_HostSignFileDetached)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_HostVerifyFileSignatureDetached)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
