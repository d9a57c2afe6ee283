// The layer's own OpenSSL library context, so that the host process's OpenSSL state
// (its default context, its loaded providers) is never touched by what the layer does.
#pragma once

#include <openssl/types.h>

// The context with the "default" and "legacy" providers loaded; created on first use,
// from any thread, and freed when the library that holds it is unloaded.
// Never null: if the context cannot be made the process cannot do any cryptography.
OSSL_LIB_CTX* NpkLibContext();

// True when the "legacy" provider could be loaded (RC2 and RC4 need it).
bool NpkLegacyProviderLoaded();
