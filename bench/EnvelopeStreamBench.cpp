// Streamed envelopes through CryptMsgOpenToEncode / CryptMsgOpenToDecode in 4 MiB chunks:
// file to file (throughput with the disk, and the process's peak resident memory, which must
// stay small whatever the size; 64, 256 and 1024 MiB, capped by NPK_BENCH_MAX_MIB), and memory
// to memory (the layer's own cost, comparable with `openssl speed -evp`).
//   bench_EnvelopeStreamBench --benchmark_counters_tabular=true
#include <windows.h>
#include <wincrypt.h>

#include "../platform/crypt32/CertKeyLink.h"
#include "../tests/platform/CertTestSupport.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr size_t kChunk = 4u << 20;

struct Recipient {
    Recipient()
    {
        char pattern[] = "/tmp/npk-envbench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        Dir = pattern;
        setenv("HOME", pattern, 1);
        setenv("XDG_DATA_HOME", pattern, 1);
        Cert = certtest::Create(certtest::MakeCertificate());
        if (Cert == nullptr || !NpkLinkCertificateToKey(Cert, certtest::SharedKey(0), false) ||
            !CryptAcquireCertificatePrivateKey(Cert, 0, nullptr, &Prov, &KeySpec, nullptr))
            std::abort();
    }
    ~Recipient()
    {
        CryptReleaseContext(Prov, 0);
        CertFreeCertificateContext(Cert);
        fs::remove_all(Dir);
    }
    fs::path Dir;
    PCCERT_CONTEXT Cert = nullptr;
    HCRYPTPROV Prov = 0;
    DWORD KeySpec = 0;
};

Recipient& TheRecipient()
{
    static Recipient r;
    return r;
}

BOOL WINAPI ToFile(const void* pvArg, BYTE* pb, DWORD cb, BOOL)
{
    return std::fwrite(pb, 1, cb, static_cast<FILE*>(const_cast<void*>(pvArg))) == cb ? TRUE : FALSE;
}

fs::path PlainFile(long long mib)
{
    fs::path path = TheRecipient().Dir / ("plain-" + std::to_string(mib));
    if (!fs::exists(path)) {
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 29);
        std::ofstream out(path, std::ios::binary);
        for (long long i = 0; i < mib; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    return path;
}

// Feeds the file to the message in 4 MiB chunks; on the decoding side, asks for decryption
// as soon as the header has arrived.
bool Pump(HCRYPTMSG h, const fs::path& in, bool decode)
{
    FILE* f = std::fopen(in.c_str(), "rb");
    if (f == nullptr) return false;
    std::vector<BYTE> chunk(kChunk);
    const long long size = static_cast<long long>(fs::file_size(in));
    long long done = 0;
    bool decrypting = !decode, ok = true;
    do {
        size_t n = std::fread(chunk.data(), 1, chunk.size(), f);
        done += static_cast<long long>(n);
        if (!CryptMsgUpdate(h, chunk.data(), static_cast<DWORD>(n), done >= size)) ok = false;
        if (ok && !decrypting) {
            DWORD cb = 0;
            if (CryptMsgGetParam(h, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, nullptr, &cb)) {
                CMSG_CTRL_DECRYPT_PARA para{};
                para.cbSize = sizeof para;
                para.hCryptProv = TheRecipient().Prov;
                para.dwKeySpec = TheRecipient().KeySpec;
                para.dwRecipientIndex = 0;
                ok = CryptMsgControl(h, 0, CMSG_CTRL_DECRYPT, &para) != FALSE;
                decrypting = true;
            }
        }
    } while (ok && done < size);
    std::fclose(f);
    return ok;
}

double PeakResidentMiB()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void Stream(benchmark::State& state, const char* oid, bool decrypt)
{
    const long long cap = std::getenv("NPK_BENCH_MAX_MIB") != nullptr ? std::atoll(std::getenv("NPK_BENCH_MAX_MIB")) : 1024;
    const long long mib = state.range(0);
    if (mib > cap) {
        state.SkipWithError("larger than NPK_BENCH_MAX_MIB");
        return;
    }
    Recipient& r = TheRecipient();
    fs::path plain = PlainFile(mib);
    fs::path envelope = r.Dir / "envelope.p7m";
    fs::path output = r.Dir / "output.bin";

    auto encrypt = [&]() {
        PCERT_INFO recipients[1] = {r.Cert->pCertInfo};
        CMSG_ENVELOPED_ENCODE_INFO info{};
        info.cbSize = sizeof info;
        info.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(oid);
        info.cRecipients = 1;
        info.rgpRecipients = recipients;
        FILE* out = std::fopen(envelope.c_str(), "wb");
        CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, ToFile, out};
        HCRYPTMSG h = CryptMsgOpenToEncode(kEnc, 0, CMSG_ENVELOPED, &info, nullptr, &stream);
        bool ok = h != nullptr && Pump(h, plain, false);
        if (h != nullptr) CryptMsgClose(h);
        std::fclose(out);
        return ok;
    };
    auto decryptFile = [&]() {
        FILE* out = std::fopen(output.c_str(), "wb");
        CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, ToFile, out};
        HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, &stream);
        bool ok = h != nullptr && Pump(h, envelope, true);
        if (h != nullptr) CryptMsgClose(h);
        std::fclose(out);
        return ok;
    };

    if (decrypt && !encrypt()) {
        state.SkipWithError("encryption failed");
        return;
    }
    for (auto _ : state) {
        if (!(decrypt ? decryptFile() : encrypt())) state.SkipWithError("streaming failed");
    }
    if (decrypt && fs::file_size(output) != fs::file_size(plain)) state.SkipWithError("wrong plaintext size");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (mib << 20));
    state.counters["peak_rss_MiB"] = PeakResidentMiB();
    fs::remove(output);
}

void BM_Encrypt3DES(benchmark::State& s) { Stream(s, szOID_RSA_DES_EDE3_CBC, false); }
void BM_Decrypt3DES(benchmark::State& s) { Stream(s, szOID_RSA_DES_EDE3_CBC, true); }
void BM_EncryptRC4(benchmark::State& s) { Stream(s, szOID_RSA_RC4, false); }
void BM_DecryptRC4(benchmark::State& s) { Stream(s, szOID_RSA_RC4, true); }

#define NPK_SIZES ->Arg(64)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond)->Iterations(1)
BENCHMARK(BM_Encrypt3DES) NPK_SIZES;
BENCHMARK(BM_Decrypt3DES) NPK_SIZES;
BENCHMARK(BM_EncryptRC4) NPK_SIZES;
BENCHMARK(BM_DecryptRC4) NPK_SIZES;


// Memory to memory: the same 4 MiB chunks, the output only counted.
BOOL WINAPI Count(const void* pvArg, BYTE*, DWORD cb, BOOL)
{
    *static_cast<unsigned long long*>(const_cast<void*>(pvArg)) += cb;
    return TRUE;
}

bool FeedMemory(HCRYPTMSG h, const std::vector<BYTE>& data, bool decode)
{
    bool decrypting = !decode;
    for (size_t at = 0; at < data.size();) {
        const size_t n = std::min(kChunk, data.size() - at);
        if (!CryptMsgUpdate(h, data.data() + at, static_cast<DWORD>(n), at + n == data.size())) return false;
        at += n;
        if (!decrypting) {
            DWORD cb = 0;
            if (CryptMsgGetParam(h, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, nullptr, &cb)) {
                CMSG_CTRL_DECRYPT_PARA para{};
                para.cbSize = sizeof para;
                para.hCryptProv = TheRecipient().Prov;
                para.dwKeySpec = TheRecipient().KeySpec;
                if (!CryptMsgControl(h, 0, CMSG_CTRL_DECRYPT, &para)) return false;
                decrypting = true;
            }
        }
    }
    return true;
}

BOOL WINAPI Collect(const void* pvArg, BYTE* pb, DWORD cb, BOOL)
{
    auto* out = static_cast<std::vector<BYTE>*>(const_cast<void*>(pvArg));
    out->insert(out->end(), pb, pb + cb);
    return TRUE;
}

void InMemory(benchmark::State& state, const char* oid, bool decrypt)
{
    Recipient& r = TheRecipient();
    const size_t size = static_cast<size_t>(state.range(0)) << 20;
    std::vector<BYTE> plain(size);
    for (size_t i = 0; i < size; ++i) plain[i] = static_cast<BYTE>(i * 29);
    PCERT_INFO recipients[1] = {r.Cert->pCertInfo};
    CMSG_ENVELOPED_ENCODE_INFO info{};
    info.cbSize = sizeof info;
    info.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(oid);
    info.cRecipients = 1;
    info.rgpRecipients = recipients;

    std::vector<BYTE> envelope;
    if (decrypt) {
        CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Collect, &envelope};
        HCRYPTMSG h = CryptMsgOpenToEncode(kEnc, 0, CMSG_ENVELOPED, &info, nullptr, &stream);
        bool ok = h != nullptr && FeedMemory(h, plain, false);
        if (h != nullptr) CryptMsgClose(h);
        if (!ok) {
            state.SkipWithError("encryption failed");
            return;
        }
    }
    for (auto _ : state) {
        unsigned long long produced = 0;
        CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Count, &produced};
        HCRYPTMSG h = decrypt ? CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, &stream)
                              : CryptMsgOpenToEncode(kEnc, 0, CMSG_ENVELOPED, &info, nullptr, &stream);
        bool ok = h != nullptr && FeedMemory(h, decrypt ? envelope : plain, decrypt);
        if (h != nullptr) CryptMsgClose(h);
        if (!ok || (decrypt && produced != size)) state.SkipWithError("streaming failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void BM_Memory3DESEncrypt(benchmark::State& s) { InMemory(s, szOID_RSA_DES_EDE3_CBC, false); }
void BM_Memory3DESDecrypt(benchmark::State& s) { InMemory(s, szOID_RSA_DES_EDE3_CBC, true); }
void BM_MemoryRC4Encrypt(benchmark::State& s) { InMemory(s, szOID_RSA_RC4, false); }
void BM_MemoryRC4Decrypt(benchmark::State& s) { InMemory(s, szOID_RSA_RC4, true); }

BENCHMARK(BM_Memory3DESEncrypt)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memory3DESDecrypt)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemoryRC4Encrypt)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemoryRC4Decrypt)->Arg(256)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
