#include "crypt32/LibContext.h"

#include <cstdio>
#include <cstdlib>

#include <openssl/crypto.h>
#include <openssl/provider.h>

namespace {

// One instance for the library's life; its destructor runs when the library is unloaded
// (or the process exits), after every static object that was made after it.
class LibContext {
public:
    LibContext()
    {
        m_ctx = OSSL_LIB_CTX_new();
        if (m_ctx == nullptr) {
            std::fputs("npkeystrand: cannot create the OpenSSL library context\n", stderr);
            std::abort();
        }
        m_default = OSSL_PROVIDER_load(m_ctx, "default");
        // The legacy provider is optional: without it only the old PFX ciphers are missing.
        m_legacy = OSSL_PROVIDER_load(m_ctx, "legacy");
    }
    ~LibContext()
    {
        if (m_legacy != nullptr)
            OSSL_PROVIDER_unload(m_legacy);
        if (m_default != nullptr)
            OSSL_PROVIDER_unload(m_default);
        OSSL_LIB_CTX_free(m_ctx);
    }
    LibContext(const LibContext&) = delete;
    LibContext& operator=(const LibContext&) = delete;

    OSSL_LIB_CTX* Get() const { return m_ctx; }
    bool HasLegacy() const { return m_legacy != nullptr; }

private:
    OSSL_LIB_CTX* m_ctx = nullptr;
    OSSL_PROVIDER* m_default = nullptr;
    OSSL_PROVIDER* m_legacy = nullptr;
};

LibContext& Instance()
{
    // Function-local static: constructed once, thread-safe, destroyed at unload.
    static LibContext instance;
    return instance;
}

} // namespace

OSSL_LIB_CTX* NpkLibContext() { return Instance().Get(); }

bool NpkLegacyProviderLoaded() { return Instance().HasLegacy(); }
