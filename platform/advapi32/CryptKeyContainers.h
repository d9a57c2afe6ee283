// Key containers: named holders of up to one RSA key pair per key spec
// (AT_KEYEXCHANGE, AT_SIGNATURE), shared by every RSA provider as on Windows.
//
// Persistent containers are files under $XDG_DATA_HOME/npkeystrand/Crypto/ (machine key
// sets under its Machine/ subdirectory), directories 0700 and files 0600. Each file holds
// the container's name and its keys as unencrypted PKCS#8 DER: the file permissions are what
// protects them, as the user's own profile does on Windows. Files are replaced atomically
// (temporary file, fsync, rename), so a crash never leaves half a key.
//
// Memory-only containers (keys imported from a PFX file by a page) live in the process for
// its whole life and are never written. Lookups try memory first, then the disk.
// Names are matched without regard to ASCII case.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <openssl/evp.h>

struct KeyContainer {
    KeyContainer() = default;
    ~KeyContainer();
    KeyContainer(const KeyContainer&) = delete;
    KeyContainer& operator=(const KeyContainer&) = delete;

    std::string Name;       // UTF-8, as given when it was made
    bool Persistent = false;
    bool Machine = false;
    std::mutex Lock;
    EVP_PKEY* Keys[2] = {nullptr, nullptr};  // [AT_KEYEXCHANGE - 1], [AT_SIGNATURE - 1]

    // Signing contexts of the keys not in use at the moment, kept because making one costs
    // more than the rest of a call beside the signature. Guarded by Lock.
    struct SignContext {
        DWORD KeySpec;
        int DigestType;  // the digest's NID, NID_undef for none
        EVP_PKEY_CTX* Ctx;
    };
    std::vector<SignContext> IdleSignContexts;
};

// The name used when a caller passes no container name: the user's login name.
std::string NpkDefaultContainerName();

// Opens an existing container (memory first). Null with *error = NTE_BAD_KEYSET when none.
std::shared_ptr<KeyContainer> NpkOpenKeyContainer(const std::string& name, bool machine,
                                                  DWORD* error);
// Makes a new, empty persistent container. NTE_EXISTS when one of that name exists.
std::shared_ptr<KeyContainer> NpkCreateKeyContainer(const std::string& name, bool machine,
                                                    DWORD* error);
// Deletes a container from memory and from the disk; 0, or NTE_BAD_KEYSET when none existed.
DWORD NpkDeleteKeyContainer(const std::string& name, bool machine);
// The names of every container of the user (or the machine key set), memory ones included.
std::vector<std::string> NpkEnumKeyContainers(bool machine);

// Sets (or replaces) the key of a key spec, writing a persistent container through
// to its file. Takes its own reference to the key. 0 or the error code.
DWORD NpkContainerSetKey(KeyContainer& container, DWORD keySpec, EVP_PKEY* key);
// The key of a key spec with a new reference (caller frees), or null.
EVP_PKEY* NpkContainerGetKey(KeyContainer& container, DWORD keySpec);

// A signing context ready for EVP_PKEY_sign with the key of a key spec (PKCS#1 v1.5 padding,
// the DigestInfo of md unless md is null), kept from an earlier signature or new; the caller
// gives it back with NpkContainerReleaseSignContext, or frees it. Null when there is no such
// key or the context cannot be made. md must live as long as the library (NpkFetchDigest's do).
EVP_PKEY_CTX* NpkContainerTakeSignContext(KeyContainer& container, DWORD keySpec, const EVP_MD* md);
// Gives a context back for reuse; it is freed instead when the key changed meanwhile.
void NpkContainerReleaseSignContext(KeyContainer& container, DWORD keySpec, const EVP_MD* md,
                                    EVP_PKEY_CTX* ctx);

// For the certificate and PFX code: puts a key into the named container, creating the
// container if needed, in memory or on disk. provider and provType are checked against the
// known providers. FALSE with the last error set on failure.
bool NpkStoreKeyInContainer(LPCWSTR container, LPCWSTR provider, DWORD provType, DWORD keySpec,
                            EVP_PKEY* key, bool persist);
// The key of a key spec in the named container, with a new reference, or null
// with the last error NTE_BAD_KEYSET (no container) or NTE_NO_KEY (no such key).
EVP_PKEY* NpkFindKeyInContainer(LPCWSTR container, DWORD keySpec, bool machine);
