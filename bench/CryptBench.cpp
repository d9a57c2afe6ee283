// Signing, verifying and hashing through the provider functions against OpenSSL doing the
// same work directly (what `openssl speed rsa2048` and `openssl speed sha256` measure).
#include <windows.h>
#include <wincrypt.h>

#include "../platform/advapi32/CryptKeyContainers.h"

#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Fixture {
    Fixture()
    {
        char pattern[] = "/tmp/npk-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            std::abort();
        setenv("HOME", pattern, 1);
        setenv("XDG_DATA_HOME", pattern, 1);
        Key = EVP_RSA_gen(2048);
        if (Key == nullptr ||
            !NpkStoreKeyInContainer(TEXT("bench"), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, AT_SIGNATURE, Key, false) ||
            !CryptAcquireContextW(&Prov, TEXT("bench"), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, 0))
            std::abort();
        unsigned char* der = nullptr;
        int len = i2d_PublicKey(Key, &der);
        Rsa.assign(der, der + len);
        OPENSSL_free(der);
        CERT_PUBLIC_KEY_INFO info = {};
        info.Algorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_RSA);
        info.PublicKey.cbData = static_cast<DWORD>(Rsa.size());
        info.PublicKey.pbData = Rsa.data();
        if (!CryptImportPublicKeyInfo(Prov, X509_ASN_ENCODING, &info, &Pub))
            std::abort();
        Digest.resize(32);
        unsigned int size = 0;
        EVP_Digest("bench", 5, Digest.data(), &size, EVP_sha256(), nullptr);
    }
    EVP_PKEY* Key = nullptr;
    HCRYPTPROV Prov = 0;
    HCRYPTKEY Pub = 0;
    std::vector<BYTE> Rsa;
    std::vector<unsigned char> Digest;
};

Fixture& F()
{
    static Fixture fixture;
    return fixture;
}

std::vector<BYTE> SignOnce()
{
    HCRYPTHASH hash = 0;
    CryptCreateHash(F().Prov, CALG_SHA_256, 0, 0, &hash);
    CryptHashData(hash, reinterpret_cast<const BYTE*>("bench"), 5, 0);
    std::vector<BYTE> sig(256);
    DWORD size = 256;
    if (!CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, sig.data(), &size))
        std::abort();
    CryptDestroyHash(hash);
    return sig;
}

void BM_CspSignRsa2048(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(SignOnce());
}
BENCHMARK(BM_CspSignRsa2048);

void BM_OpenSslSignRsa2048(benchmark::State& state)
{
    std::vector<unsigned char> sig(256);
    for (auto _ : state) {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(F().Key, nullptr);
        EVP_PKEY_sign_init(ctx);
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
        size_t size = sig.size();
        if (EVP_PKEY_sign(ctx, sig.data(), &size, F().Digest.data(), F().Digest.size()) != 1)
            std::abort();
        EVP_PKEY_CTX_free(ctx);
        benchmark::DoNotOptimize(sig.data());
    }
}
BENCHMARK(BM_OpenSslSignRsa2048);

void BM_CspVerifyRsa2048(benchmark::State& state)
{
    std::vector<BYTE> sig = SignOnce();
    for (auto _ : state) {
        HCRYPTHASH hash = 0;
        CryptCreateHash(F().Prov, CALG_SHA_256, 0, 0, &hash);
        CryptHashData(hash, reinterpret_cast<const BYTE*>("bench"), 5, 0);
        if (!CryptVerifySignatureW(hash, sig.data(), 256, F().Pub, nullptr, 0))
            std::abort();
        CryptDestroyHash(hash);
    }
}
BENCHMARK(BM_CspVerifyRsa2048);

void BM_OpenSslVerifyRsa2048(benchmark::State& state)
{
    std::vector<BYTE> sig = SignOnce();
    std::vector<BYTE> big(sig.rbegin(), sig.rend());
    for (auto _ : state) {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(F().Key, nullptr);
        EVP_PKEY_verify_init(ctx);
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
        if (EVP_PKEY_verify(ctx, big.data(), big.size(), F().Digest.data(), F().Digest.size()) != 1)
            std::abort();
        EVP_PKEY_CTX_free(ctx);
    }
}
BENCHMARK(BM_OpenSslVerifyRsa2048);

const size_t kMiB = 1 << 20;

void CspHash(benchmark::State& state, ALG_ID alg)
{
    std::vector<BYTE> data(kMiB, 0x5A);
    for (auto _ : state) {
        HCRYPTHASH hash = 0;
        CryptCreateHash(F().Prov, alg, 0, 0, &hash);
        CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0);
        BYTE value[64];
        DWORD size = sizeof value;
        CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0);
        CryptDestroyHash(hash);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kMiB));
}

void OpenSslHash(benchmark::State& state, const EVP_MD* md)
{
    std::vector<BYTE> data(kMiB, 0x5A);
    for (auto _ : state) {
        unsigned char value[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        EVP_Digest(data.data(), data.size(), value, &size, md, nullptr);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kMiB));
}

void BM_CspSha1(benchmark::State& state) { CspHash(state, CALG_SHA1); }
void BM_OpenSslSha1(benchmark::State& state) { OpenSslHash(state, EVP_sha1()); }
void BM_CspSha256(benchmark::State& state) { CspHash(state, CALG_SHA_256); }
void BM_OpenSslSha256(benchmark::State& state) { OpenSslHash(state, EVP_sha256()); }
BENCHMARK(BM_CspSha1);
BENCHMARK(BM_OpenSslSha1);
BENCHMARK(BM_CspSha256);
BENCHMARK(BM_OpenSslSha256);

} // namespace

BENCHMARK_MAIN();
