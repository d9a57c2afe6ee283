// Base64 encode and decode throughput, ours against OpenSSL's EVP_EncodeBlock/EVP_DecodeBlock
// on the same buffers.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "kernel/Encoding.h"

namespace {

std::vector<BYTE> Input(size_t n)
{
    std::mt19937 rng(42);
    std::vector<BYTE> v(n);
    for (auto& b : v) b = static_cast<BYTE>(rng());
    return v;
}

std::string OurText(const std::vector<BYTE>& data)
{
    char* text = nullptr;
    int len = 0;
    Base64EncodeEx(data.data(), static_cast<int>(data.size()), &text, &len, 0);
    std::string s(text, static_cast<size_t>(len));
    delete[] text;
    return s;
}

std::string OpenSslText(const std::vector<BYTE>& data)
{
    std::string s(4 * ((data.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(s.data()), data.data(), static_cast<int>(data.size()));
    s.resize(static_cast<size_t>(n));
    return s;
}

void BM_Encode_Ours(benchmark::State& state)
{
    std::vector<BYTE> data = Input(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        char* text = nullptr;
        int len = 0;
        Base64EncodeEx(data.data(), static_cast<int>(data.size()), &text, &len, 0);
        benchmark::DoNotOptimize(text);
        delete[] text;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Encode_OpenSSL(benchmark::State& state)
{
    std::vector<BYTE> data = Input(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        // Allocated per call as ours is, so both sides pay for their output buffer.
        unsigned char* text = new unsigned char[4 * ((data.size() + 2) / 3) + 1];
        benchmark::DoNotOptimize(EVP_EncodeBlock(text, data.data(), static_cast<int>(data.size())));
        delete[] text;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Decode_Ours(benchmark::State& state)
{
    std::string text = OurText(Input(static_cast<size_t>(state.range(0))));
    for (auto _ : state) {
        BYTE* bytes = nullptr;
        int len = 0;
        Base64DecodeEx(text.data(), static_cast<int>(text.size()), &bytes, &len);
        benchmark::DoNotOptimize(bytes);
        delete[] bytes;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Decode_OpenSSL(benchmark::State& state)
{
    // EVP_DecodeBlock takes no line breaks, so it gets the unbroken text of the same bytes.
    std::string text = OpenSslText(Input(static_cast<size_t>(state.range(0))));
    for (auto _ : state) {
        unsigned char* bytes = new unsigned char[text.size()];
        benchmark::DoNotOptimize(EVP_DecodeBlock(bytes, reinterpret_cast<const unsigned char*>(text.data()),
                                                 static_cast<int>(text.size())));
        delete[] bytes;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_Encode_Ours)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_Encode_OpenSSL)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_Decode_Ours)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_Decode_OpenSSL)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);

BENCHMARK_MAIN();
