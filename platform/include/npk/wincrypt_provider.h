// Cryptographic service providers: contexts, hashes, keys, signatures.
// Names, values and prototypes as the Windows SDK declares them.
#pragma once

#include "npk/wintypes.h"
#include "winerror.h"
#include "wincrypt.h"

#ifdef __cplusplus
extern "C" {
#endif

// Provider types.
#define PROV_RSA_FULL 1
#define PROV_RSA_SIG  2
#define PROV_DSS      3
#define PROV_RSA_AES  24

// Provider names (the wide forms; UNICODE is always defined).
#define MS_DEF_PROV_W         TEXT("Microsoft Base Cryptographic Provider v1.0")
#define MS_ENHANCED_PROV_W    TEXT("Microsoft Enhanced Cryptographic Provider v1.0")
#define MS_STRONG_PROV_W      TEXT("Microsoft Strong Cryptographic Provider")
#define MS_ENH_RSA_AES_PROV_W TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider")
#define MS_DEF_PROV_A         "Microsoft Base Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_A    "Microsoft Enhanced Cryptographic Provider v1.0"
#define MS_STRONG_PROV_A      "Microsoft Strong Cryptographic Provider"
#define MS_ENH_RSA_AES_PROV_A "Microsoft Enhanced RSA and AES Cryptographic Provider"
#define MS_DEF_PROV           MS_DEF_PROV_W
#define MS_ENHANCED_PROV      MS_ENHANCED_PROV_W
#define MS_STRONG_PROV        MS_STRONG_PROV_W
#define MS_ENH_RSA_AES_PROV   MS_ENH_RSA_AES_PROV_W

// Algorithm identifiers.
#define ALG_CLASS_SIGNATURE    (1 << 13)
#define ALG_CLASS_DATA_ENCRYPT (3 << 13)
#define ALG_CLASS_HASH         (4 << 13)
#define ALG_CLASS_KEY_EXCHANGE (5 << 13)
#define ALG_TYPE_ANY           0
#define ALG_TYPE_RSA           (2 << 9)
#define ALG_TYPE_BLOCK         (3 << 9)
#define ALG_SID_RSA_ANY        0
#define ALG_SID_MD5            3
#define ALG_SID_SHA1           4
#define ALG_SID_SHA_256        12
#define ALG_SID_SHA_384        13
#define ALG_SID_SHA_512        14
#define GET_ALG_CLASS(x)       ((x) & (7 << 13))

#define CALG_MD5      (ALG_CLASS_HASH | ALG_TYPE_ANY | ALG_SID_MD5)
#define CALG_SHA      (ALG_CLASS_HASH | ALG_TYPE_ANY | ALG_SID_SHA1)
#define CALG_SHA1     (ALG_CLASS_HASH | ALG_TYPE_ANY | ALG_SID_SHA1)
#define CALG_SHA_256  (ALG_CLASS_HASH | ALG_TYPE_ANY | ALG_SID_SHA_256)
#define CALG_SHA_384  (ALG_CLASS_HASH | ALG_TYPE_ANY | ALG_SID_SHA_384)
#define CALG_SHA_512  (ALG_CLASS_HASH | ALG_TYPE_ANY | ALG_SID_SHA_512)
#define CALG_RSA_SIGN (ALG_CLASS_SIGNATURE | ALG_TYPE_RSA | ALG_SID_RSA_ANY)
#define CALG_RSA_KEYX (ALG_CLASS_KEY_EXCHANGE | ALG_TYPE_RSA | ALG_SID_RSA_ANY)
#define CALG_RC2      0x6602
#define CALG_RC4      0x6801
#define CALG_DES      0x6601
#define CALG_3DES     0x6603
#define CALG_3DES_112 0x6609
#define CALG_AES_128  0x660e
#define CALG_AES_192  0x660f
#define CALG_AES_256  0x6610

// Key specifications.
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE   2

// CryptAcquireContext flags.
#define CRYPT_VERIFYCONTEXT  0xF0000000
#define CRYPT_NEWKEYSET      0x00000008
#define CRYPT_DELETEKEYSET   0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT         0x00000040

// CryptGenKey flags; the key length in bits is in the upper 16 bits.
#define CRYPT_EXPORTABLE      0x00000001
#define CRYPT_USER_PROTECTED  0x00000002
#define CRYPT_CREATE_SALT     0x00000004
#define CRYPT_UPDATE_KEY      0x00000008
#define CRYPT_NO_SALT         0x00000010
#define CRYPT_PREGEN          0x00000040
#define CRYPT_ARCHIVABLE      0x00004000
#define CRYPT_FORCE_KEY_PROTECTION_HIGH 0x00008000
#define RSA1024BIT_KEY        0x04000000

// CryptGetProvParam parameters and flags.
#define PP_ENUMALGS          1
#define PP_ENUMCONTAINERS    2
#define PP_IMPTYPE           3
#define PP_NAME              4
#define PP_VERSION           5
#define PP_CONTAINER         6
#define PP_PROVTYPE          16
#define PP_KEYSPEC           39
#define PP_UNIQUE_CONTAINER  36
#define CRYPT_FIRST          1
#define CRYPT_NEXT           2

#define CRYPT_IMPL_HARDWARE  1
#define CRYPT_IMPL_SOFTWARE  2
#define CRYPT_IMPL_MIXED     3
#define CRYPT_IMPL_UNKNOWN   4

// Hash parameters.
#define HP_ALGID     0x0001
#define HP_HASHVAL   0x0002
#define HP_HASHSIZE  0x0004

// CryptCreateHash flags.
#define CRYPT_SECRETDIGEST 0x00000001

// CryptSignHash / CryptVerifySignature flags.
#define CRYPT_NOHASHOID     0x00000001
#define CRYPT_TYPE2_FORMAT  0x00000002
#define CRYPT_X931_FORMAT   0x00000004

// Key parameters.
#define KP_ALGID    7
#define KP_BLOCKLEN 8
#define KP_KEYLEN   9

// Key blobs.
#define SIMPLEBLOB          0x1
#define PUBLICKEYBLOB       0x6
#define PRIVATEKEYBLOB      0x7
#define CUR_BLOB_VERSION    2

typedef struct _PUBLICKEYSTRUC {
    BYTE bType;
    BYTE bVersion;
    WORD reserved;
    ALG_ID aiKeyAlg;
} BLOBHEADER, PUBLICKEYSTRUC;

typedef struct _RSAPUBKEY {
    DWORD magic;   // "RSA1" for a public key
    DWORD bitlen;
    DWORD pubexp;
} RSAPUBKEY;

#ifndef szOID_RSA_RSA
#define szOID_RSA_RSA "1.2.840.113549.1.1.1"
#endif

BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                 DWORD dwProvType, DWORD dwFlags);
BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL WINAPI CryptContextAddRef(HCRYPTPROV hProv, DWORD* pdwReserved, DWORD dwFlags);
BOOL WINAPI CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType,
                                LPWSTR szProvName, DWORD* pcbProvName);
BOOL WINAPI CryptGetDefaultProviderW(DWORD dwProvType, DWORD* pdwReserved, DWORD dwFlags,
                                     LPWSTR pszProvName, DWORD* pcbProvName);
BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                              DWORD dwFlags);

BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                            HCRYPTHASH* phHash);
BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                              DWORD dwFlags);
BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash);

BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                           BYTE* pbData, DWORD* pdwDataLen);
BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                             DWORD dwFlags);
BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey);
BOOL WINAPI CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType,
                                     PCERT_PUBLIC_KEY_INFO pInfo, HCRYPTKEY* phKey);

BOOL WINAPI CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                           BYTE* pbSignature, DWORD* pdwSigLen);
BOOL WINAPI CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                                  HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags);

#define CryptAcquireContext   CryptAcquireContextW
#define CryptEnumProviders    CryptEnumProvidersW
#define CryptGetDefaultProvider CryptGetDefaultProviderW
#define CryptSignHash         CryptSignHashW
#define CryptVerifySignature  CryptVerifySignatureW

#ifdef __cplusplus
}
#endif
