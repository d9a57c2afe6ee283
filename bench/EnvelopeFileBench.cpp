// File envelopes over a large file: throughput of the page's file methods (Triple DES and RC4,
// encryption and decryption) and the process's peak resident memory, which must stay small
// because both directions stream in 4 MiB chunks.
//   bench_EnvelopeFileBench --benchmark_counters_tabular=true
// NPK_BENCH_FILE_MIB sets the file size (default 1024 MiB; written once, in /tmp).
// NPK_BENCH_KEEP=1 keeps the directory with the envelopes and the recipient's cert.pem and
// key.pem, so that other tools (openssl cms -decrypt) can be measured on the same envelopes.
#include <windows.h>
#include <wincrypt.h>

#include "agent/CryptoAgent.h"
#include "../platform/crypt32/CertKeyLink.h"
#include "../tests/platform/CertTestSupport.h"

#include <benchmark/benchmark.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using WString = std::basic_string<WCHAR>;

// The agent with its recipient and decryption store chosen directly, as the selections would.
class BenchAgent : public CCryptoAgent {
public:
    void Choose(PCCERT_CONTEXT pRecipient, HCERTSTORE hStore)
    {
        m_vecEncryptCerts.push_back(CertDuplicateCertificateContext(pRecipient));
        m_vecDecryptStores.push_back(CertDuplicateStore(hStore));
    }
};

class Arg {
public:
    explicit Arg(const std::string& s)
    {
        WString w(s.begin(), s.end());
        m_bstr = SysAllocString(w.c_str());
    }
    ~Arg() { SysFreeString(m_bstr); }
    Arg(const Arg&) = delete;
    Arg& operator=(const Arg&) = delete;
    operator BSTR() const { return m_bstr; }

private:
    BSTR m_bstr = nullptr;
};

struct Fixture {
    Fixture()
    {
        const char* mib = std::getenv("NPK_BENCH_FILE_MIB");
        Size = static_cast<unsigned long long>(mib != nullptr ? std::atoll(mib) : 1024) << 20;
        char pattern[] = "/tmp/npk-envbench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        Dir = pattern;
        setenv("HOME", pattern, 1);
        setenv("XDG_DATA_HOME", pattern, 1);
        Plain = Dir + "/large.bin";
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 131) ^ (i >> 9));
        std::ofstream out(Plain, std::ios::binary);
        for (unsigned long long written = 0; written < Size; written += block.size())
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        out.close();

        Store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
        PCCERT_CONTEXT created = certtest::Create(certtest::MakeCertificate(certtest::CertSpec()));
        if (Store == nullptr || created == nullptr ||
            !CertAddCertificateContextToStore(Store, created, CERT_STORE_ADD_ALWAYS, &Cert) ||
            !NpkLinkCertificateToKey(Cert, certtest::SharedKey(0), false)) {
            std::abort();
        }
        CertFreeCertificateContext(created);
        Agent.Choose(Cert, Store);
        const char* keep = std::getenv("NPK_BENCH_KEEP");
        Keep = keep != nullptr && *keep != '\0' && *keep != '0';
        if (Keep) WritePem();
    }
    ~Fixture()
    {
        CertFreeCertificateContext(Cert);
        CertCloseStore(Store, 0);
        if (Keep) {
            std::printf("kept %s (envelopes, cert.pem, key.pem)\n", Dir.c_str());
            return;
        }
        for (const std::string& f : {Plain, Dir + "/env-3des.p7m", Dir + "/env-rc4.p7m", Dir + "/out.bin"})
            std::remove(f.c_str());
        std::remove(Dir.c_str());
    }

    void WritePem() const
    {
        const unsigned char* p = Cert->pbCertEncoded;
        X509* x = d2i_X509(nullptr, &p, static_cast<long>(Cert->cbCertEncoded));
        FILE* certFile = std::fopen((Dir + "/cert.pem").c_str(), "w");
        FILE* keyFile = std::fopen((Dir + "/key.pem").c_str(), "w");
        if (x == nullptr || certFile == nullptr || keyFile == nullptr || PEM_write_X509(certFile, x) != 1 ||
            PEM_write_PrivateKey(keyFile, certtest::SharedKey(0), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
            std::abort();
        }
        std::fclose(certFile);
        std::fclose(keyFile);
        X509_free(x);
    }

    unsigned long long Size = 0;
    bool Keep = false;
    std::string Dir;
    std::string Plain;
    HCERTSTORE Store = nullptr;
    PCCERT_CONTEXT Cert = nullptr;
    BenchAgent Agent;
};

Fixture& Shared()
{
    static Fixture fixture;
    return fixture;
}

void Report(benchmark::State& state, unsigned long long bytes)
{
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * static_cast<int64_t>(state.iterations()));
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(bytes) / 1e6 * static_cast<double>(state.iterations()),
                                                benchmark::Counter::kIsRate);
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    state.counters["file_MiB"] = static_cast<double>(bytes) / (1024.0 * 1024.0);
}

using EncryptMethod = HRESULT (CCryptoAgent::*)(BSTR, BSTR, VARIANT_BOOL*);

void Encrypt(benchmark::State& state, EncryptMethod method, const char* envName)
{
    Fixture& f = Shared();
    const std::string env = f.Dir + "/" + envName;
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(env.c_str());
        state.ResumeTiming();
        VARIANT_BOOL ok = VARIANT_FALSE;
        if ((f.Agent.*method)(Arg(f.Plain), Arg(env), &ok) != S_OK) state.SkipWithError("encryption failed");
    }
    Report(state, f.Size);
}

void Decrypt(benchmark::State& state, EncryptMethod method, const char* envName)
{
    Fixture& f = Shared();
    const std::string env = f.Dir + "/" + envName;
    const std::string out = f.Dir + "/out.bin";
    std::remove(env.c_str());
    VARIANT_BOOL ok = VARIANT_FALSE;
    if ((f.Agent.*method)(Arg(f.Plain), Arg(env), &ok) != S_OK) {
        state.SkipWithError("making the envelope failed");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(out.c_str());
        state.ResumeTiming();
        if (f.Agent.DecryptEnvelopeFile(Arg(env), Arg(out), &ok) != S_OK) state.SkipWithError("decryption failed");
    }
    std::remove(out.c_str());
    Report(state, f.Size);
}

void BM_EncryptAsEnvelopeFile_3DES(benchmark::State& state)
{
    Encrypt(state, &CCryptoAgent::EncryptAsEnvelopeFile_3DES, "env-3des.p7m");
}
void BM_DecryptEnvelopeFile_3DES(benchmark::State& state)
{
    Decrypt(state, &CCryptoAgent::EncryptAsEnvelopeFile_3DES, "env-3des.p7m");
}
void BM_EncryptAsEnvelopeFile_RC4(benchmark::State& state)
{
    Encrypt(state, &CCryptoAgent::EncryptAsEnvelopeFile, "env-rc4.p7m");
}
void BM_DecryptEnvelopeFile_RC4(benchmark::State& state)
{
    Decrypt(state, &CCryptoAgent::EncryptAsEnvelopeFile, "env-rc4.p7m");
}

BENCHMARK(BM_EncryptAsEnvelopeFile_3DES)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_DecryptEnvelopeFile_3DES)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_EncryptAsEnvelopeFile_RC4)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_DecryptEnvelopeFile_RC4)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
