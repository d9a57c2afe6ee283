// A token key as OpenSSL sees it: an RSA key with the certificate's public half whose private
// operations (PKCS#1 v1.5 signing of a DigestInfo, PKCS#1 v1.5 decryption) run on the token
// with CKM_RSA_PKCS. So hashing, signing and envelope decryption take the same road for
// token keys as for software keys.

// The RSA method interface is what lets a key's private half live elsewhere.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "pkcs11/TokenProvider.h"

#include "advapi32/CryptKeyContainers.h"
#include "advapi32/CryptObjects.h"
#include "crypt32/LibContext.h"
#include "pkcs11/TokenErrors.h"
#include "pkcs11/TokenLogin.h"

#include <atomic>
#include <map>
#include <mutex>

#include <openssl/bn.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

using namespace npk::pkcs11;

namespace {

thread_local DWORD t_tokenError = 0;

// The token keys found so far, by container name (each knows its token's slot and serial): a
// key is searched for once per process and its OpenSSL form made once. A token removed or a
// key deleted in the meantime shows when the key is used.
std::mutex g_knownLock;
std::map<std::string, std::shared_ptr<EVP_PKEY>> g_known;

// Token keys alive: the RSA method may be freed only when none is left.
std::atomic<long> g_liveKeys{0};

void FreeKeyRef(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*)
{
    if (ptr == nullptr) return;
    delete static_cast<TokenKeyRef*>(ptr);
    --g_liveKeys;
}

int KeyRefIndex()
{
    static const int index = RSA_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeKeyRef);
    return index;
}

int Fail(DWORD error)
{
    t_tokenError = error;
    return -1;
}

int RunOnToken(RSA* rsa, bool sign, int inLen, const unsigned char* in, unsigned char* out, int padding)
{
    t_tokenError = 0;
    auto* ref = static_cast<TokenKeyRef*>(RSA_get_ex_data(rsa, KeyRefIndex()));
    if (ref == nullptr) return Fail(static_cast<DWORD>(NTE_BAD_KEY));
    if (padding != RSA_PKCS1_PADDING) return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    CK_ULONG outLen = static_cast<CK_ULONG>(RSA_size(rsa));
    DWORD error = RunWithTokenKey(*ref, [&](CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
        CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
        auto* data = const_cast<unsigned char*>(in);
        if (sign) {
            CK_RV rv = p11->C_SignInit(session, &mechanism, key);
            return rv != CKR_OK ? rv : p11->C_Sign(session, data, static_cast<CK_ULONG>(inLen), out, &outLen);
        }
        CK_RV rv = p11->C_DecryptInit(session, &mechanism, key);
        return rv != CKR_OK ? rv : p11->C_Decrypt(session, data, static_cast<CK_ULONG>(inLen), out, &outLen);
    });
    if (error != 0) return Fail(error);
    return static_cast<int>(outLen);
}

int TokenSign(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding)
{
    return RunOnToken(rsa, true, flen, from, to, padding);
}

int TokenDecrypt(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding)
{
    return RunOnToken(rsa, false, flen, from, to, padding);
}

// Freed when the plug-in is unloaded, unless a key that uses it is still alive (a provider
// handle its caller never released): that key must stay usable to its last release.
struct TokenRsaMethod {
    TokenRsaMethod() : Method(RSA_meth_dup(RSA_PKCS1_OpenSSL()))
    {
        if (Method != nullptr) {
            RSA_meth_set1_name(Method, "npkeystrand PKCS#11 token key");
            RSA_meth_set_priv_enc(Method, TokenSign);
            RSA_meth_set_priv_dec(Method, TokenDecrypt);
        }
    }
    ~TokenRsaMethod()
    {
        {
            std::lock_guard<std::mutex> guard(g_knownLock);
            g_known.clear();
        }
        if (g_liveKeys.load() != 0) return;
        RSA_meth_free(Method);
        // OpenSSL calls an index's free function for every RSA key it frees: once this code is
        // unloaded, it must not be called any more.
        CRYPTO_free_ex_index(CRYPTO_EX_INDEX_RSA, KeyRefIndex());
    }
    RSA_METHOD* Method;
};

const RSA_METHOD* TokenMethod()
{
    static TokenRsaMethod method;
    return method.Method;
}

// The public half from the token: a public key object of the same CKA_ID, else the
// certificate, else the private key's public attributes when they are visible.
bool PublicHalf(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, const Bytes& id, Bytes* modulus, Bytes* exponent)
{
    for (CK_OBJECT_CLASS c : {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
        for (CK_OBJECT_HANDLE o : FindObjects(p11, session, c, &id)) {
            if (ReadAttribute(p11, session, o, CKA_MODULUS, modulus) && !modulus->empty() &&
                ReadAttribute(p11, session, o, CKA_PUBLIC_EXPONENT, exponent) && !exponent->empty())
                return true;
        }
        if (c != CKO_PUBLIC_KEY) break;
        for (CK_OBJECT_HANDLE o : FindObjects(p11, session, CKO_CERTIFICATE, &id)) {
            Bytes der;
            if (!ReadAttribute(p11, session, o, CKA_VALUE, &der)) continue;
            const unsigned char* p = der.data();
            X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
            if (cert == nullptr) continue;
            const RSA* rsa = EVP_PKEY_get0_RSA(X509_get0_pubkey(cert));
            bool ok = false;
            if (rsa != nullptr) {
                const BIGNUM *n = nullptr, *e = nullptr;
                RSA_get0_key(rsa, &n, &e, nullptr);
                modulus->assign(static_cast<size_t>(BN_num_bytes(n)), 0);
                exponent->assign(static_cast<size_t>(BN_num_bytes(e)), 0);
                BN_bn2bin(n, modulus->data());
                BN_bn2bin(e, exponent->data());
                ok = true;
            }
            X509_free(cert);
            if (ok) return true;
        }
    }
    return false;
}

EVP_PKEY* MakeTokenKey(const Bytes& modulus, const Bytes& exponent, TokenKeyRef ref)
{
    const RSA_METHOD* method = TokenMethod();
    if (method == nullptr) return nullptr;
    RSA* rsa = RSA_new();
    if (rsa == nullptr) return nullptr;
    BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
    BIGNUM* e = BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr);
    size_t skip = 0;
    while (skip < modulus.size() && modulus[skip] == 0) ++skip;
    ref.Modulus.assign(modulus.begin() + static_cast<long>(skip), modulus.end());
    auto* owned = new (std::nothrow) TokenKeyRef(std::move(ref));
    EVP_PKEY* key = EVP_PKEY_new();
    bool ok = n != nullptr && e != nullptr && owned != nullptr && key != nullptr && RSA_set_method(rsa, method) == 1 &&
              RSA_set0_key(rsa, n, e, nullptr) == 1;
    if (ok) {
        n = e = nullptr;  // owned by the key now
        ok = RSA_set_ex_data(rsa, KeyRefIndex(), owned) == 1;
        if (ok) {
            owned = nullptr;
            ++g_liveKeys;
        }
    }
    if (ok && EVP_PKEY_assign_RSA(key, rsa) == 1) return key;
    BN_free(n);
    BN_free(e);
    delete owned;
    RSA_free(rsa);
    EVP_PKEY_free(key);
    return nullptr;
}

}  // namespace

const ProviderInfo& NpkTokenProviderInfo()
{
    static const ProviderInfo info{MS_SCARD_PROV_W, MS_SCARD_PROV_A, PROV_RSA_FULL};
    return info;
}

bool NpkIsTokenProvider(const ProviderInfo* info)
{
    return info == &NpkTokenProviderInfo();
}

bool NpkIsTokenContainerName(const std::string& utf8Name)
{
    std::string label;
    Bytes id;
    return ParseContainerName(utf8Name, &label, &id);
}

namespace {

// A container holding its own reference to the key.
std::shared_ptr<KeyContainer> ContainerOf(const std::string& utf8Name, EVP_PKEY* key, DWORD* error)
{
    if (key == nullptr || EVP_PKEY_up_ref(key) != 1) {
        *error = static_cast<DWORD>(NTE_NO_MEMORY);
        return nullptr;
    }
    auto container = std::make_shared<KeyContainer>();
    container->Name = utf8Name;
    container->Keys[AT_KEYEXCHANGE - 1] = key;
    return container;
}

}  // namespace

std::shared_ptr<KeyContainer> NpkOpenTokenContainer(const std::string& utf8Name, DWORD* error)
{
    TokenKeyRef ref;
    if (!ParseContainerName(utf8Name, &ref.Label, &ref.Id)) {
        *error = static_cast<DWORD>(NTE_BAD_KEYSET);
        return nullptr;
    }
    CK_FUNCTION_LIST* p11 = Module(error);
    if (p11 == nullptr) return nullptr;
    {
        // Whether the token is still there is checked by each operation, which has to read
        // its state anyway (the PIN's flags).
        std::shared_ptr<EVP_PKEY> known;
        {
            std::lock_guard<std::mutex> guard(g_knownLock);
            auto it = g_known.find(utf8Name);
            if (it != g_known.end()) known = it->second;
        }
        if (known) return ContainerOf(utf8Name, known.get(), error);
    }
    bool tokenSeen = false;
    for (const Token& token : PresentTokens(p11, error)) {
        if (token.Label != ref.Label) continue;
        tokenSeen = true;
        Session session(p11, token.Slot);
        if (session.Result() != CKR_OK) continue;
        Bytes modulus, exponent;
        if (!PublicHalf(p11, session.Handle(), ref.Id, &modulus, &exponent)) continue;
        ref.Serial = token.Serial;
        ref.Slot = token.Slot;
        ref.HaveSlot = true;
        std::shared_ptr<EVP_PKEY> key(MakeTokenKey(modulus, exponent, ref), EVP_PKEY_free);
        if (!key) {
            *error = static_cast<DWORD>(NTE_NO_MEMORY);
            return nullptr;
        }
        {
            std::lock_guard<std::mutex> guard(g_knownLock);
            g_known[utf8Name] = key;
        }
        return ContainerOf(utf8Name, key.get(), error);
    }
    *error = static_cast<DWORD>(tokenSeen ? NTE_BAD_KEYSET : SCARD_W_REMOVED_CARD);
    return nullptr;
}

DWORD NpkTakeTokenError(DWORD fallback)
{
    DWORD error = t_tokenError;
    t_tokenError = 0;
    return error != 0 ? error : fallback;
}
