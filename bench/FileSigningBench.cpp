// Signing and verifying a large file: throughput and the process's peak resident memory, which
// must stay small because files are hashed in slices, never read whole.
//   bench_FileSigningBench --benchmark_counters_tabular=true
// NPK_BENCH_FILE_MIB sets the file size (default 2048 MiB; the file is written once, in /tmp).
#include <windows.h>
#include <wincrypt.h>

#include "kernel/Signing.h"
#include "kernel/Verification.h"
#include "../platform/crypt32/CertKeyLink.h"
#include "../tests/platform/CertTestSupport.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct FileFixture {
    FileFixture()
    {
        const char* mib = std::getenv("NPK_BENCH_FILE_MIB");
        Size = static_cast<unsigned long long>(mib != nullptr ? std::atoll(mib) : 2048) << 20;
        char pattern[] = "/tmp/npk-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        Dir = pattern;
        setenv("HOME", pattern, 1);
        setenv("XDG_DATA_HOME", pattern, 1);
        Path = Dir + "/large.bin";
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131);
        std::ofstream out(Path, std::ios::binary);
        for (unsigned long long written = 0; written < Size; written += block.size())
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        WidePath.assign(Path.begin(), Path.end());

        certtest::CertSpec spec;
        Cert = certtest::Create(certtest::MakeCertificate(spec));
        if (Cert == nullptr || !NpkLinkCertificateToKey(Cert, certtest::SharedKey(0), false)) std::abort();
    }
    ~FileFixture()
    {
        CertFreeCertificateContext(Cert);
        std::remove(Path.c_str());
        std::remove(Dir.c_str());
    }

    unsigned long long Size = 0;
    std::string Dir;
    std::string Path;
    std::basic_string<WCHAR> WidePath;
    PCCERT_CONTEXT Cert = nullptr;
};

FileFixture& Fixture()
{
    static FileFixture fixture;
    return fixture;
}

double PeakResidentMiB()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

void BM_SignFilePKCS1(benchmark::State& state)
{
    FileFixture& f = Fixture();
    for (auto _ : state) {
        BYTE* pbSignature = nullptr;
        DWORD cbSignature = 0;
        if (CalculateFileHashandSign(&f.Cert, f.WidePath.c_str(), CALG_SHA_256, &pbSignature, &cbSignature) != S_OK)
            state.SkipWithError("signing failed");
        delete[] pbSignature;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.Size));
    state.counters["peak_rss_MiB"] = PeakResidentMiB();
}

void BM_VerifyFilePKCS1(benchmark::State& state)
{
    FileFixture& f = Fixture();
    BYTE* pbSignature = nullptr;
    DWORD cbSignature = 0;
    if (CalculateFileHashandSign(&f.Cert, f.WidePath.c_str(), CALG_SHA_256, &pbSignature, &cbSignature) != S_OK) {
        state.SkipWithError("signing failed");
        return;
    }
    std::vector<BYTE> signature(pbSignature, pbSignature + cbSignature);
    delete[] pbSignature;
    for (auto _ : state) {
        std::vector<BYTE> copy = signature;  // verification reverses it in place
        if (VerifyHashSignedData(CALG_SHA_256, f.Cert, nullptr, 0, copy.data(), static_cast<DWORD>(copy.size()),
                                 f.WidePath.c_str(), TRUE) != S_OK)
            state.SkipWithError("verification failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.Size));
    state.counters["peak_rss_MiB"] = PeakResidentMiB();
}

BENCHMARK(BM_SignFilePKCS1)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_VerifyFilePKCS1)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
