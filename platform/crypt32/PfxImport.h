// Reading PKCS#12 (PFX) packets: what PFXImportCertStore builds its store from, and what the
// `npkeystrand store import` command persists into the user's stores.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <openssl/evp.h>

#include <string>
#include <vector>

// One certificate of a packet, in file order, with the private key that belongs to it.
struct NpkPfxCertificate {
    std::vector<BYTE> encoded;              // the DER certificate
    EVP_PKEY* key = nullptr;                // owned; null for a certificate without a key
    std::basic_string<WCHAR> friendlyName;  // the bag's friendlyName attribute, if any
};

struct NpkPfxContents {
    NpkPfxContents() = default;
    ~NpkPfxContents();
    NpkPfxContents(const NpkPfxContents&) = delete;
    NpkPfxContents& operator=(const NpkPfxContents&) = delete;

    std::vector<NpkPfxCertificate> certificates;
};

// Decodes the packet, verifies its integrity MAC and decrypts its bags with the password.
// A null or empty password tries both forms of the empty password, as Windows does. Keys are
// matched to certificates by localKeyId, otherwise by public key. Returns 0, or the error:
// ERROR_INVALID_PASSWORD when the password opens neither the MAC nor the encrypted parts,
// CRYPT_E_ASN1_* when the bytes are not a PFX packet, NTE_BAD_DATA / CRYPT_E_BAD_ENCODE for a
// well-formed packet whose contents cannot be read, E_OUTOFMEMORY.
DWORD NpkParsePfx(const BYTE* data, size_t size, LPCWSTR password, NpkPfxContents& out);
