// Signing through the whole stack: page scripts run by the host (`npkeystrand run`) call the
// plug-in, as a browser would. Each measurement subtracts a run of the same page without the
// measured calls, so start-up and the certificate selection do not count.
//   bench_HostSigningBench --benchmark_counters_tabular=true
// NPK_BENCH_FILE_MIB sets the size of the signed file (default 1024 MiB).
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

fs::path BinDir()
{
    return fs::canonical("/proc/self/exe").parent_path();
}

fs::path SourceDir()
{
    // build/<preset>/bin -> the repository's top
    return BinDir().parent_path().parent_path().parent_path();
}

struct Scratch {
    Scratch()
    {
        char pattern[] = "/tmp/npk-hostbench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        Dir = pattern;
        setenv("HOME", pattern, 1);
        setenv("XDG_DATA_HOME", (Dir / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (Dir / "config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (Dir / "run").c_str(), 1);
    }
    ~Scratch() { fs::remove_all(Dir); }
    fs::path Dir;
};

Scratch& TheScratch()
{
    static Scratch scratch;
    return scratch;
}

// Runs a page and returns its wall time in seconds; aborts the benchmark on failure.
double RunPage(benchmark::State& state, const std::string& body)
{
    fs::path page = TheScratch().Dir / "page.js";
    std::ofstream(page) << "plugin.SelectSignCertificateByPFXFile(" << '"'
                        << (SourceDir() / "tests/data/signer.pfx").string() << '"' << ", \"npkeystrand\");\n"
                        << body;
    std::string host = (BinDir() / "npkeystrand").string();
    std::vector<char*> argv = {host.data(), const_cast<char*>("run"), const_cast<char*>(page.c_str()), nullptr};
    auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, host.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        state.SkipWithError("cannot start the host");
        return 0;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("the page failed");
    return seconds;
}

void BM_HostSignMessage(benchmark::State& state)
{
    const int calls = static_cast<int>(state.range(0));
    const std::string loop = "for (var i = 0; i < " + std::to_string(calls) +
                             "; i++) plugin.SignMessage(\"benchmark text \" + i, \"SHA-256\");\n";
    for (auto _ : state) {
        double base = RunPage(state, "");
        double total = RunPage(state, loop);
        state.SetIterationTime(total - base);
    }
    state.counters["calls_per_s"] =
        benchmark::Counter(static_cast<double>(calls) * state.iterations(), benchmark::Counter::kIsRate);
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

BENCHMARK(BM_HostSignMessage)->Arg(500)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_HostSignFileDetached)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_HostVerifyFileSignatureDetached)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
