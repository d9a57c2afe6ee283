// Names, extensions and the structure encoders and decoders.
#pragma once

#include "npk/wintypes.h"
#include "winerror.h"

// OpenSSL names a type PKCS7_SIGNER_INFO, as Windows names a structure type. Its header is
// read here, before the macro below exists, so that layer code may include both in any
// order; code of the layer that needs OpenSSL's type after this point writes
// `struct pkcs7_signer_info_st` (or undefines the macro, as Windows builds of OpenSSL do).
#if defined(__has_include)
#if __has_include(<openssl/pkcs7.h>)
#include <openssl/pkcs7.h>
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

// CertNameToStrW string types and flags.
#define CERT_SIMPLE_NAME_STR 1
#define CERT_OID_NAME_STR    2
#define CERT_X500_NAME_STR   3
#define CERT_NAME_STR_SEMICOLON_FLAG 0x40000000
#define CERT_NAME_STR_NO_PLUS_FLAG   0x20000000
#define CERT_NAME_STR_NO_QUOTING_FLAG 0x10000000
#define CERT_NAME_STR_CRLF_FLAG      0x08000000
#define CERT_NAME_STR_COMMA_FLAG     0x04000000
#define CERT_NAME_STR_REVERSE_FLAG   0x02000000

// Structure types, by number.
#define X509_KEY_USAGE            ((LPCSTR)14)
#define PKCS_ATTRIBUTE            ((LPCSTR)22)
#define X509_OCTET_STRING         ((LPCSTR)25)
#define PKCS_CONTENT_INFO         ((LPCSTR)33)
#define X509_ALGORITHM_IDENTIFIER ((LPCSTR)74)
#define PKCS7_SIGNER_INFO         ((LPCSTR)500)

// Object identifiers.
#define szOID_SUBJECT_KEY_IDENTIFIER "2.5.29.14"
#define szOID_KEY_USAGE              "2.5.29.15"
#define szOID_COMMON_NAME            "2.5.4.3"
#define szOID_SUR_NAME               "2.5.4.4"
#define szOID_DEVICE_SERIAL_NUMBER   "2.5.4.5"
#define szOID_COUNTRY_NAME           "2.5.4.6"
#define szOID_LOCALITY_NAME          "2.5.4.7"
#define szOID_STATE_OR_PROVINCE_NAME "2.5.4.8"
#define szOID_STREET_ADDRESS         "2.5.4.9"
#define szOID_ORGANIZATION_NAME      "2.5.4.10"
#define szOID_ORGANIZATIONAL_UNIT_NAME "2.5.4.11"
#define szOID_TITLE                  "2.5.4.12"
#define szOID_GIVEN_NAME             "2.5.4.42"
#define szOID_INITIALS               "2.5.4.43"
#define szOID_DOMAIN_COMPONENT       "0.9.2342.19200300.100.1.25"
#define szOID_RSA_emailAddr          "1.2.840.113549.1.9.1"
#define szOID_RSA_data               "1.2.840.113549.1.7.1"
#define szOID_RSA_signedData         "1.2.840.113549.1.7.2"
#define szOID_RSA_contentType        "1.2.840.113549.1.9.3"
#define szOID_RSA_messageDigest      "1.2.840.113549.1.9.4"
#define szOID_RSA_signingTime        "1.2.840.113549.1.9.5"
#ifndef szOID_RSA_RSA
#define szOID_RSA_RSA                "1.2.840.113549.1.1.1"
#endif
#ifndef szOID_OIWSEC_sha1
#define szOID_OIWSEC_sha1            "1.3.14.3.2.26"
#endif
#ifndef szOID_NIST_sha256
#define szOID_NIST_sha256            "2.16.840.1.101.3.4.2.1"
#endif

// Key usage bits: first byte, then the second.
#define CERT_DIGITAL_SIGNATURE_KEY_USAGE 0x80
#define CERT_NON_REPUDIATION_KEY_USAGE   0x40
#define CERT_KEY_ENCIPHERMENT_KEY_USAGE  0x20
#define CERT_DATA_ENCIPHERMENT_KEY_USAGE 0x10
#define CERT_KEY_AGREEMENT_KEY_USAGE     0x08
#define CERT_KEY_CERT_SIGN_KEY_USAGE     0x04
#define CERT_OFFLINE_CRL_SIGN_KEY_USAGE  0x02
#define CERT_CRL_SIGN_KEY_USAGE          0x02
#define CERT_ENCIPHER_ONLY_KEY_USAGE     0x01
#define CERT_DECIPHER_ONLY_KEY_USAGE     0x80

// Decoder and encoder flags.
#define CRYPT_DECODE_NOCOPY_FLAG           0x1
#define CRYPT_DECODE_TO_BE_SIGNED_FLAG     0x2
#define CRYPT_DECODE_SHARE_OID_STRING_FLAG 0x4
#define CRYPT_DECODE_NO_SIGNATURE_BYTE_REVERSAL_FLAG 0x8
#define CRYPT_DECODE_ALLOC_FLAG            0x8000
#define CRYPT_ENCODE_ALLOC_FLAG            0x8000

typedef LPVOID (WINAPI* PFN_CRYPT_ALLOC)(size_t cbSize);
typedef VOID (WINAPI* PFN_CRYPT_FREE)(LPVOID pv);

typedef struct _CRYPT_DECODE_PARA {
    DWORD cbSize;
    PFN_CRYPT_ALLOC pfnAlloc;
    PFN_CRYPT_FREE pfnFree;
} CRYPT_DECODE_PARA, *PCRYPT_DECODE_PARA;

typedef struct _CRYPT_ENCODE_PARA {
    DWORD cbSize;
    PFN_CRYPT_ALLOC pfnAlloc;
    PFN_CRYPT_FREE pfnFree;
} CRYPT_ENCODE_PARA, *PCRYPT_ENCODE_PARA;

typedef struct _CRYPT_ATTRIBUTE {
    LPSTR pszObjId;
    DWORD cValue;
    PCRYPT_ATTR_BLOB rgValue;
} CRYPT_ATTRIBUTE, *PCRYPT_ATTRIBUTE;

typedef struct _CRYPT_ATTRIBUTES {
    DWORD cAttr;
    PCRYPT_ATTRIBUTE rgAttr;
} CRYPT_ATTRIBUTES, *PCRYPT_ATTRIBUTES;

typedef struct _CRYPT_CONTENT_INFO {
    LPSTR pszObjId;
    CRYPT_DER_BLOB Content;
} CRYPT_CONTENT_INFO, *PCRYPT_CONTENT_INFO;

typedef struct _CMSG_SIGNER_INFO {
    DWORD dwVersion;
    CERT_NAME_BLOB Issuer;
    CRYPT_INTEGER_BLOB SerialNumber;
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
    CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
    CRYPT_DATA_BLOB EncryptedHash;
    CRYPT_ATTRIBUTES AuthAttrs;
    CRYPT_ATTRIBUTES UnauthAttrs;
} CMSG_SIGNER_INFO, *PCMSG_SIGNER_INFO;

DWORD WINAPI CertNameToStrW(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPWSTR psz,
                            DWORD csz);

PCERT_EXTENSION WINAPI CertFindExtension(LPCSTR pszObjId, DWORD cExtensions, CERT_EXTENSION rgExtensions[]);

BOOL WINAPI CryptDecodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                                DWORD cbEncoded, DWORD dwFlags, PCRYPT_DECODE_PARA pDecodePara, void* pvStructInfo,
                                DWORD* pcbStructInfo);
BOOL WINAPI CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                              DWORD cbEncoded, DWORD dwFlags, void* pvStructInfo, DWORD* pcbStructInfo);

BOOL WINAPI CryptEncodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                                DWORD dwFlags, PCRYPT_ENCODE_PARA pEncodePara, void* pvEncoded,
                                DWORD* pcbEncoded);
BOOL WINAPI CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                              BYTE* pbEncoded, DWORD* pcbEncoded);

#ifdef __cplusplus
}
#endif
