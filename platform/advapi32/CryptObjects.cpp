#include "advapi32/CryptObjects.h"

#include "crypt32/LibContext.h"

#include <cstring>
#include <unordered_map>

namespace {

struct HandleTable {
    HandleTable()
    {
        // The table may hold keys and digests when the library unloads, so the library
        // context must outlive it: make sure the context is built first.
        NpkLibContext();
    }
    std::mutex Lock;
    std::unordered_map<ULONG_PTR, std::shared_ptr<CryptObject>> Objects;
    ULONG_PTR Next = 0x1000;
};

HandleTable& Table()
{
    static HandleTable table;
    return table;
}

} // namespace

ULONG_PTR NpkRegisterCryptObject(std::shared_ptr<CryptObject> object)
{
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    table.Next += 4;
    ULONG_PTR handle = table.Next;
    table.Objects.emplace(handle, std::move(object));
    return handle;
}

std::shared_ptr<CryptObject> NpkLookupCryptObject(ULONG_PTR handle, CryptObjectKind kind)
{
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    auto it = table.Objects.find(handle);
    if (it == table.Objects.end() || it->second->Kind != kind)
        return nullptr;
    return it->second;
}

bool NpkUnregisterCryptObject(ULONG_PTR handle, CryptObjectKind kind)
{
    std::shared_ptr<CryptObject> doomed;  // released after the lock
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    auto it = table.Objects.find(handle);
    if (it == table.Objects.end() || it->second->Kind != kind)
        return false;
    doomed = std::move(it->second);
    table.Objects.erase(it);
    return true;
}

bool NpkAddRefProvider(ULONG_PTR handle)
{
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    auto it = table.Objects.find(handle);
    if (it == table.Objects.end() || it->second->Kind != CryptObjectKind::Provider)
        return false;
    static_cast<CryptProvider*>(it->second.get())->References++;
    return true;
}

bool NpkReleaseProvider(ULONG_PTR handle)
{
    std::shared_ptr<CryptObject> doomed;
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    auto it = table.Objects.find(handle);
    if (it == table.Objects.end() || it->second->Kind != CryptObjectKind::Provider)
        return false;
    auto* provider = static_cast<CryptProvider*>(it->second.get());
    if (--provider->References == 0) {
        doomed = std::move(it->second);
        table.Objects.erase(it);
    }
    return true;
}

BOOL NpkCopyOut(const void* data, DWORD size, BYTE* buffer, DWORD* bufferSize)
{
    if (bufferSize == nullptr)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (buffer == nullptr) {
        *bufferSize = size;
        return TRUE;
    }
    if (*bufferSize < size) {
        *bufferSize = size;
        return NpkFail(static_cast<DWORD>(ERROR_MORE_DATA));
    }
    if (size != 0)
        std::memcpy(buffer, data, size);
    *bufferSize = size;
    return TRUE;
}

std::string NpkToUtf8(LPCWSTR text)
{
    if (text == nullptr || text[0] == 0)
        return std::string();
    int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1)
        return std::string();
    std::string out(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), needed, nullptr, nullptr);
    out.resize(static_cast<size_t>(needed - 1));
    return out;
}

namespace {

// Each digest is fetched once for the library's life: a fetch searches the providers' tables,
// which costs more than hashing a short message. Made after the library context, so freed
// before it at unload.
class DigestCache {
public:
    ~DigestCache()
    {
        for (EVP_MD* md : m_digests)
            EVP_MD_free(md);
    }
    // A new reference to the digest, or null.
    EVP_MD* Get(size_t index, const char* name)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_digests[index] == nullptr)
            m_digests[index] = EVP_MD_fetch(NpkLibContext(), name, nullptr);
        EVP_MD* md = m_digests[index];
        return md != nullptr && EVP_MD_up_ref(md) == 1 ? md : nullptr;
    }

private:
    std::mutex m_lock;
    EVP_MD* m_digests[5] = {};
};

} // namespace

EVP_MD* NpkFetchDigest(ALG_ID algId)
{
    static const struct {
        ALG_ID AlgId;
        const char* Name;
    } kDigests[] = {{CALG_MD5, "MD5"},
                    {CALG_SHA1, "SHA1"},
                    {CALG_SHA_256, "SHA2-256"},
                    {CALG_SHA_384, "SHA2-384"},
                    {CALG_SHA_512, "SHA2-512"}};
    for (size_t i = 0; i < sizeof(kDigests) / sizeof(kDigests[0]); ++i) {
        if (kDigests[i].AlgId == algId) {
            NpkLibContext();  // the context first, so that it outlives the cache
            static DigestCache cache;
            return cache.Get(i, kDigests[i].Name);
        }
    }
    return nullptr;
}
