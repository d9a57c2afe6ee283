// Links a certificate to a private key for the rest of the layer (PFX import, the user's
// stores): the key goes into a new key container and the certificate gets the key provider
// information that names it.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <openssl/evp.h>

// Stores key under a new container of the "Microsoft Enhanced RSA and AES Cryptographic
// Provider" as its exchange key (in memory, or on disk when persist) and sets the
// certificate's CERT_KEY_PROV_INFO_PROP_ID (written through when the context is in a writable
// system store). NTE_BAD_PUBLIC_KEY when the key is not the certificate's. FALSE with the last
// error set on failure.
BOOL NpkLinkCertificateToKey(PCCERT_CONTEXT pCert, EVP_PKEY* key, bool persist);

// The certificate's public key as OpenSSL sees it (caller frees), or null.
EVP_PKEY* NpkCertificatePublicKey(PCCERT_CONTEXT pCert);
