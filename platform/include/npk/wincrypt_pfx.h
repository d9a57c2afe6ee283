// Declarations of the pfx functions of crypt32.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Key flags PFXImportCertStore shares with CryptGenKey and CryptAcquireContext.
#ifndef CRYPT_EXPORTABLE
#define CRYPT_EXPORTABLE 0x00000001
#endif
#ifndef CRYPT_USER_PROTECTED
#define CRYPT_USER_PROTECTED 0x00000002
#endif
#ifndef CRYPT_MACHINE_KEYSET
#define CRYPT_MACHINE_KEYSET 0x00000020
#endif
#ifndef CRYPT_USER_KEYSET
#define CRYPT_USER_KEYSET 0x00001000
#endif

#define PKCS12_INCLUDE_EXTENDED_PROPERTIES     0x00000010
#define PKCS12_IMPORT_SILENT                   0x00000040
#define PKCS12_PREFER_CNG_KSP                  0x00000100
#define PKCS12_ALWAYS_CNG_KSP                  0x00000200
#define PKCS12_ONLY_CERTIFICATES               0x00000400
#define PKCS12_ONLY_NOT_ENCRYPTED_CERTIFICATES 0x00000800
#define PKCS12_ALLOW_OVERWRITE_KEY             0x00004000
#define PKCS12_NO_PERSIST_KEY                  0x00008000
#define PKCS12_VIRTUAL_ISOLATION_KEY           0x00010000
#define PKCS12_IMPORT_RESERVED_MASK            0xFFFF0000

// The last error of an import whose password does not open the file.
#ifndef ERROR_INVALID_PASSWORD
#define ERROR_INVALID_PASSWORD 86L
#endif

// A new memory store holding every certificate of the PFX packet, each key-bearing one
// linked to its private key. Keys are held in memory for the life of the process. Null with
// the last error set on failure; the caller closes the store.
HCERTSTORE WINAPI PFXImportCertStore(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags);

// Whether the blob is shaped like a PFX packet (decoded, not decrypted).
BOOL WINAPI PFXIsPFXBlob(CRYPT_DATA_BLOB* pPFX);

// Whether the password opens the packet (its integrity MAC verifies).
BOOL WINAPI PFXVerifyPassword(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags);

#ifdef __cplusplus
}
#endif
