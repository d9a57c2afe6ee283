// The provider layer's objects behind HCRYPTPROV, HCRYPTHASH and HCRYPTKEY handles.
// Handles are numbers looked up in one table, so a stale or forged handle fails with
// the provider's "bad handle" code instead of touching freed memory.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>

struct KeyContainer;

// One software provider as the enumeration lists it.
struct ProviderInfo {
    LPCWSTR WideName;
    const char* Name;
    DWORD Type;
};

const std::vector<ProviderInfo>& NpkProviders();

enum class CryptObjectKind { Provider, Hash, Key };

struct CryptObject {
    explicit CryptObject(CryptObjectKind kind) : Kind(kind) {}
    virtual ~CryptObject() = default;
    const CryptObjectKind Kind;
};

struct CryptProvider : CryptObject {
    CryptProvider() : CryptObject(CryptObjectKind::Provider) {}
    const ProviderInfo* Info = nullptr;
    bool VerifyContext = false;
    bool Machine = false;
    // The key container; for a verification context an anonymous one that lives and dies
    // with the context and holds only keys generated in it.
    std::shared_ptr<KeyContainer> Container;
    DWORD References = 1;  // guarded by the handle table's lock

    std::mutex EnumLock;
    std::vector<std::string> EnumNames;
    size_t EnumNext = 0;
    bool EnumStarted = false;
};

struct CryptHash : CryptObject {
    CryptHash() : CryptObject(CryptObjectKind::Hash) {}
    ~CryptHash() override;
    std::shared_ptr<CryptProvider> Provider;
    ALG_ID AlgId = 0;
    EVP_MD* Md = nullptr;
    EVP_MD_CTX* Ctx = nullptr;
    std::mutex Lock;
    // Once the value was read or used, no more data may be added.
    bool Finished = false;
    unsigned char Value[EVP_MAX_MD_SIZE] = {};
    unsigned int ValueSize = 0;

    // Finishes the hash if needed; false with the last error set when the digest fails.
    // The caller holds Lock.
    bool FinishLocked();
};

struct CryptKey : CryptObject {
    CryptKey() : CryptObject(CryptObjectKind::Key) {}
    ~CryptKey() override { EVP_PKEY_free(Key); }
    std::shared_ptr<CryptProvider> Provider;
    ALG_ID AlgId = 0;
    EVP_PKEY* Key = nullptr;  // owned reference
};

ULONG_PTR NpkRegisterCryptObject(std::shared_ptr<CryptObject> object);
std::shared_ptr<CryptObject> NpkLookupCryptObject(ULONG_PTR handle, CryptObjectKind kind);
// Removes the handle; false when it is not a live handle of that kind.
bool NpkUnregisterCryptObject(ULONG_PTR handle, CryptObjectKind kind);
// Provider references: AddRef and Release under the table's lock.
bool NpkAddRefProvider(ULONG_PTR handle);
bool NpkReleaseProvider(ULONG_PTR handle);

template <typename T>
std::shared_ptr<T> NpkLookup(ULONG_PTR handle, CryptObjectKind kind)
{
    return std::static_pointer_cast<T>(NpkLookupCryptObject(handle, kind));
}

// Fails with the given code as the thread's last error.
// OpenSSL's error queue is emptied so that nothing of ours lingers in the host's thread.
inline BOOL NpkFail(DWORD error)
{
    ERR_clear_error();
    SetLastError(error);
    return FALSE;
}
inline BOOL NpkFail(HRESULT error) { return NpkFail(static_cast<DWORD>(error)); }

// The two-call size pattern: a null buffer asks for the size, a short one fails with
// ERROR_MORE_DATA; either way the size needed is reported.
BOOL NpkCopyOut(const void* data, DWORD size, BYTE* buffer, DWORD* bufferSize);

// UTF-16 to UTF-8; empty for null.
std::string NpkToUtf8(LPCWSTR text);

// The digest of a hash algorithm in the layer's library context (caller frees), or null.
EVP_MD* NpkFetchDigest(ALG_ID algId);
