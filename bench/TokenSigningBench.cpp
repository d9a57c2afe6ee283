// Signing with a key on a SoftHSM2 token, through the plug-in and without it, on the same token
// in one run:
//   BM_PkcsToolSign       one `pkcs11-tool --sign` (SHA256-RSA-PKCS): a process, login, sign
//   BM_PageSign           one `npkeystrand run` page that chooses the token's certificate
//                         from "MY" and signs (SignMessagePKCS1, SHA-256): a process, the
//                         plug-in, the store's token part, login, sign
//   BM_PageSelectOnly     the same page without the signature (BM_PageSign less this is
//                         what the signature costs through the page)
//   BM_TokenDirect        in this process, the PKCS#11 calls pkcs11-tool makes per signature:
//                         find the token by its information, open a session, log in, find the
//                         key, C_Sign with CKM_SHA256_RSA_PKCS, log out
//   BM_TokenThroughLayer  in this process, what the plug-in's signing makes of it:
//                         CryptAcquireCertificatePrivateKey, CryptCreateHash, CryptHashData,
//                         CryptSignHashW (the token provider finds the token and the key,
//                         logs in, C_Sign with CKM_RSA_PKCS over the DigestInfo, logs out)
// The layer's cost is BM_TokenThroughLayer against BM_TokenDirect (goal: at most 1.10).
//   bench_TokenSigningBench --benchmark_counters_tabular=true
#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <windows.h>
#include <wincrypt.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#define CK_PTR *
#define CK_DECLARE_FUNCTION(returnType, name) returnType name
#define CK_DECLARE_FUNCTION_POINTER(returnType, name) returnType(*name)
#define CK_CALLBACK_FUNCTION(returnType, name) returnType(*name)
#define NULL_PTR nullptr
#include <p11-kit-1/p11-kit/pkcs11.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using npk::bench::BinDir;
using npk::bench::SourceDir;

const char kModule[] = "/usr/lib/softhsm/libsofthsm2.so";
const char kPin[] = "1234";

int Spawn(const std::vector<std::string>& args, bool quiet = true)
{
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// A token of the run's own, selected with SOFTHSM2_CONF; user directories of its own.
struct Token : npk::bench::ScratchHome {
    Token() : ScratchHome("npk-tokenbench")
    {
        fs::path data = SourceDir() / "tests" / "data";
        Ready = fs::exists(kModule) &&
                Spawn({"/bin/sh", (SourceDir() / "tests/token/make-token.sh").string(), (Dir / "token").string(), "Bench Token",
                       kPin, (data / "signer.key").string(), (data / "signer.cer").string(), "01"}) == 0;
        setenv("SOFTHSM2_CONF", (Dir / "token" / "softhsm2.conf").c_str(), 1);
        setenv("NPKEYSTRAND_PKCS11_MODULE", kModule, 1);
        setenv("NPKEYSTRAND_TEST_ONLY_SOFTHSM_PIN", kPin, 1);
        std::ofstream(Dir / "text.txt") << "benchmark text";
    }
    bool Ready = false;
};

Token& TheToken()
{
    static Token token;
    return token;
}

void BM_PkcsToolSign(benchmark::State& state)
{
    Token& t = TheToken();
    if (!t.Ready) return state.SkipWithError("no SoftHSM2 token (make bench-tokens installs what is needed)");
    const std::vector<std::string> args = {"pkcs11-tool", "--module", kModule, "--token-label", "Bench Token", "--login",
                                           "--pin", kPin, "--sign", "--mechanism", "SHA256-RSA-PKCS", "--id", "01",
                                           "--input-file", (t.Dir / "text.txt").string(), "--output-file",
                                           (t.Dir / "text.sig").string()};
    for (auto _ : state) {
        if (Spawn(args) != 0) return state.SkipWithError("pkcs11-tool --sign failed");
    }
}

// A page that chooses the token's certificate, and signs when sign is set.
void RunPages(benchmark::State& state, bool sign)
{
    Token& t = TheToken();
    if (!t.Ready) return state.SkipWithError("no SoftHSM2 token");
    fs::path page = t.Dir / (sign ? "sign.js" : "select.js");
    std::ofstream(page) << "plugin.SelectSignCertificate('Alice', '');\n"
                        << (sign ? "if (plugin.SignMessagePKCS1('benchmark text', 'SHA-256').length == 0) throw 1;\n" : "");
    const std::vector<std::string> args = {(BinDir() / "npkeystrand").string(), "run", page.string()};
    for (auto _ : state) {
        if (Spawn(args) != 0) return state.SkipWithError("the page failed");
    }
}

void BM_PageSign(benchmark::State& state) { RunPages(state, true); }
// The same page without the signature: what BM_PageSign costs beyond it is the signing.
void BM_PageSelectOnly(benchmark::State& state) { RunPages(state, false); }

CK_FUNCTION_LIST* Direct()
{
    static CK_FUNCTION_LIST* list = [] {
        CK_FUNCTION_LIST* l = nullptr;
        void* module = dlopen(kModule, RTLD_NOW | RTLD_LOCAL);
        auto get = module != nullptr ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList")) : nullptr;
        if (get == nullptr || get(&l) != CKR_OK) return static_cast<CK_FUNCTION_LIST*>(nullptr);
        CK_C_INITIALIZE_ARGS args{};
        args.flags = CKF_OS_LOCKING_OK;
        CK_RV rv = l->C_Initialize(&args);
        return rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED ? l : nullptr;
    }();
    return list;
}

void BM_TokenDirect(benchmark::State& state)
{
    Token& t = TheToken();
    CK_FUNCTION_LIST* p11 = t.Ready ? Direct() : nullptr;
    if (p11 == nullptr) return state.SkipWithError("no SoftHSM2 token");
    CK_SLOT_ID slots[8];
    CK_ULONG count = 8;
    if (p11->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK || count == 0) return state.SkipWithError("no slot");
    const std::string text = "benchmark text";
    CK_BYTE id = 0x01;
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    for (auto _ : state) {
        // pkcs11-tool --token-label finds the token by reading the slots' token information.
        CK_SLOT_ID listed[8];
        CK_ULONG n = 8;
        CK_TOKEN_INFO info;
        p11->C_GetSlotList(CK_TRUE, listed, &n);
        p11->C_GetTokenInfo(slots[0], &info);
        CK_SESSION_HANDLE s = 0;
        p11->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &s);
        p11->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(kPin)), std::strlen(kPin));
        CK_ATTRIBUTE query[2] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, &id, 1}};
        CK_OBJECT_HANDLE key = 0;
        CK_ULONG found = 0;
        p11->C_FindObjectsInit(s, query, 2);
        p11->C_FindObjects(s, &key, 1, &found);
        p11->C_FindObjectsFinal(s);
        CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
        CK_BYTE sig[512];
        CK_ULONG sigLen = sizeof sig;
        CK_RV rv = p11->C_SignInit(s, &mechanism, key);
        if (rv == CKR_OK)
            rv = p11->C_Sign(s, reinterpret_cast<CK_BYTE*>(const_cast<char*>(text.data())), text.size(), sig, &sigLen);
        p11->C_Logout(s);
        p11->C_CloseSession(s);
        if (rv != CKR_OK || found != 1) return state.SkipWithError("C_Sign failed");
    }
}

void BM_TokenThroughLayer(benchmark::State& state)
{
    Token& t = TheToken();
    if (!t.Ready) return state.SkipWithError("no SoftHSM2 token");
    HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY"));
    PCCERT_CONTEXT cert = my != nullptr ? CertEnumCertificatesInStore(my, nullptr) : nullptr;
    if (cert == nullptr) {
        if (my != nullptr) CertCloseStore(my, 0);
        return state.SkipWithError("the token's certificate is not in MY");
    }
    const std::string text = "benchmark text";
    for (auto _ : state) {
        HCRYPTPROV prov = 0;
        DWORD spec = 0;
        HCRYPTHASH hash = 0;
        BYTE sig[512];
        DWORD sigLen = sizeof sig;
        bool ok = CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &spec, nullptr) &&
                  CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash) &&
                  CryptHashData(hash, reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()), 0) &&
                  CryptSignHashW(hash, spec, nullptr, 0, sig, &sigLen);
        if (hash != 0) CryptDestroyHash(hash);
        if (prov != 0) CryptReleaseContext(prov, 0);
        if (!ok) {
            state.SkipWithError("CryptSignHashW failed");
            break;
        }
    }
    CertFreeCertificateContext(cert);
    CertCloseStore(my, 0);
}

BENCHMARK(BM_PkcsToolSign)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PageSign)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PageSelectOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_TokenDirect)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_TokenThroughLayer)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
