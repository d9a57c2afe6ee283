// Certificate contexts, stores and their properties.
// Names, values, layouts and prototypes as the Windows SDK declares them.
#pragma once

#include "npk/wintypes.h"
#include "winerror.h"
#include "wincrypt.h"

#ifdef __cplusplus
extern "C" {
#endif

// Store providers.
#define CERT_STORE_PROV_MSG      ((LPCSTR)1)
#define CERT_STORE_PROV_MEMORY   ((LPCSTR)2)
#define CERT_STORE_PROV_SYSTEM_A ((LPCSTR)9)
#define CERT_STORE_PROV_SYSTEM_W ((LPCSTR)10)
#define CERT_STORE_PROV_SYSTEM   CERT_STORE_PROV_SYSTEM_W
#define sz_CERT_STORE_PROV_MEMORY "Memory"
#define sz_CERT_STORE_PROV_SYSTEM "System"

// CertOpenStore flags.
#define CERT_STORE_NO_CRYPT_RELEASE_FLAG         0x00000001
#define CERT_STORE_SET_LOCALIZED_NAME_FLAG       0x00000002
#define CERT_STORE_DEFER_CLOSE_UNTIL_LAST_FREE_FLAG 0x00000004
#define CERT_STORE_DELETE_FLAG                   0x00000010
#define CERT_STORE_SHARE_STORE_FLAG              0x00000040
#define CERT_STORE_SHARE_CONTEXT_FLAG            0x00000080
#define CERT_STORE_MANIFOLD_FLAG                 0x00000100
#define CERT_STORE_ENUM_ARCHIVED_FLAG            0x00000200
#define CERT_STORE_UPDATE_KEYID_FLAG             0x00000400
#define CERT_STORE_BACKUP_RESTORE_FLAG           0x00000800
#define CERT_STORE_READONLY_FLAG                 0x00008000
#define CERT_STORE_OPEN_EXISTING_FLAG            0x00004000
#define CERT_STORE_CREATE_NEW_FLAG               0x00002000
#define CERT_STORE_MAXIMUM_ALLOWED_FLAG          0x00001000

// System store locations.
#define CERT_SYSTEM_STORE_LOCATION_MASK  0x00FF0000
#define CERT_SYSTEM_STORE_LOCATION_SHIFT 16
#define CERT_SYSTEM_STORE_CURRENT_USER   0x00010000
#define CERT_SYSTEM_STORE_LOCAL_MACHINE  0x00020000

// Add dispositions.
#define CERT_STORE_ADD_NEW                                 1
#define CERT_STORE_ADD_USE_EXISTING                        2
#define CERT_STORE_ADD_REPLACE_EXISTING                    3
#define CERT_STORE_ADD_ALWAYS                              4
#define CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES 5
#define CERT_STORE_ADD_NEWER                               6
#define CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES            7

// Find types.
#define CERT_COMPARE_SHIFT         16
#define CERT_COMPARE_ANY           0
#define CERT_COMPARE_SHA1_HASH     1
#define CERT_COMPARE_MD5_HASH      4
#define CERT_COMPARE_PROPERTY      5
#define CERT_COMPARE_SUBJECT_CERT  11
#define CERT_COMPARE_EXISTING      13
#define CERT_COMPARE_CERT_ID       16
#define CERT_FIND_ANY          (CERT_COMPARE_ANY << CERT_COMPARE_SHIFT)
#define CERT_FIND_SHA1_HASH    (CERT_COMPARE_SHA1_HASH << CERT_COMPARE_SHIFT)
#define CERT_FIND_HASH         CERT_FIND_SHA1_HASH
#define CERT_FIND_MD5_HASH     (CERT_COMPARE_MD5_HASH << CERT_COMPARE_SHIFT)
#define CERT_FIND_PROPERTY     (CERT_COMPARE_PROPERTY << CERT_COMPARE_SHIFT)
#define CERT_FIND_SUBJECT_CERT (CERT_COMPARE_SUBJECT_CERT << CERT_COMPARE_SHIFT)
#define CERT_FIND_EXISTING     (CERT_COMPARE_EXISTING << CERT_COMPARE_SHIFT)
#define CERT_FIND_CERT_ID      (CERT_COMPARE_CERT_ID << CERT_COMPARE_SHIFT)

// Certificate properties.
#define CERT_KEY_PROV_HANDLE_PROP_ID 1
#define CERT_KEY_PROV_INFO_PROP_ID   2
#define CERT_SHA1_HASH_PROP_ID       3
#define CERT_MD5_HASH_PROP_ID        4
#define CERT_HASH_PROP_ID            CERT_SHA1_HASH_PROP_ID
#define CERT_KEY_CONTEXT_PROP_ID     5
#define CERT_KEY_SPEC_PROP_ID        6
#define CERT_FRIENDLY_NAME_PROP_ID   11
#define CERT_FIRST_USER_PROP_ID      0x00008000
#define CERT_LAST_USER_PROP_ID       0x0000FFFF

// CertSetCertificateContextProperty flags.
#define CERT_SET_PROPERTY_IGNORE_PERSIST_ERROR_FLAG 0x80000000
#define CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG      0x40000000

// CryptAcquireCertificatePrivateKey flags.
#define CRYPT_ACQUIRE_CACHE_FLAG         0x00000001
#define CRYPT_ACQUIRE_USE_PROV_INFO_FLAG 0x00000002
#define CRYPT_ACQUIRE_COMPARE_KEY_FLAG   0x00000004
#define CRYPT_ACQUIRE_NO_HEALING         0x00000008
#define CRYPT_ACQUIRE_SILENT_FLAG        0x00000040

typedef struct _CERT_ISSUER_SERIAL_NUMBER {
    CERT_NAME_BLOB Issuer;
    CRYPT_INTEGER_BLOB SerialNumber;
} CERT_ISSUER_SERIAL_NUMBER, *PCERT_ISSUER_SERIAL_NUMBER;

#define CERT_ID_ISSUER_SERIAL_NUMBER 1
#define CERT_ID_KEY_IDENTIFIER       2
#define CERT_ID_SHA1_HASH            3

typedef struct _CERT_ID {
    DWORD dwIdChoice;
    union {
        CERT_ISSUER_SERIAL_NUMBER IssuerSerialNumber;
        CRYPT_HASH_BLOB KeyId;
        CRYPT_HASH_BLOB HashId;
    };
} CERT_ID, *PCERT_ID;
typedef const CERT_ID* PCCERT_ID;

typedef struct _CRYPT_KEY_PROV_PARAM {
    DWORD dwParam;
    BYTE* pbData;
    DWORD cbData;
    DWORD dwFlags;
} CRYPT_KEY_PROV_PARAM, *PCRYPT_KEY_PROV_PARAM;

typedef struct _CRYPT_KEY_PROV_INFO {
    LPWSTR pwszContainerName;
    LPWSTR pwszProvName;
    DWORD dwProvType;
    DWORD dwFlags;
    DWORD cProvParam;
    PCRYPT_KEY_PROV_PARAM rgProvParam;
    DWORD dwKeySpec;
} CRYPT_KEY_PROV_INFO, *PCRYPT_KEY_PROV_INFO;

PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                                   DWORD cbCertEncoded);

HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType, HCRYPTPROV hCryptProv,
                                DWORD dwFlags, const void* pvPara);
HCERTSTORE WINAPI CertDuplicateStore(HCERTSTORE hCertStore);
PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext);
BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                             DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext);
BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                             const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                             DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext);
BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);
PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                 DWORD dwFindFlags, DWORD dwFindType, const void* pvFindPara,
                                                 PCCERT_CONTEXT pPrevCertContext);
PCCERT_CONTEXT WINAPI CertGetSubjectCertificateFromStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                         PCERT_INFO pCertId);

BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                              const void* pvData);
BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                              DWORD* pcbData);
DWORD WINAPI CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId);

BOOL WINAPI CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                              HCRYPTPROV* phCryptProv, DWORD* pdwKeySpec,
                                              BOOL* pfCallerFreeProv);

#ifdef __cplusplus
}
#endif
