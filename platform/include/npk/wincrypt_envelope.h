// Enveloped messages in one call: CryptEncryptMessage and CryptDecryptMessage with their
// parameter structures. Names, values, layouts and prototypes as the Windows SDK declares them.
#pragma once

#include "npk/wintypes.h"
#include "winerror.h"
#include "wincrypt.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifndef HCRYPTPROV_LEGACY_DEFINED
#define HCRYPTPROV_LEGACY_DEFINED
typedef ULONG_PTR HCRYPTPROV_LEGACY;
#endif

#ifndef CMSG_ENVELOPED
#define CMSG_ENVELOPED 3
#endif

// Content encryption algorithms.
#ifndef szOID_RSA_RC4
#define szOID_RSA_RC4 "1.2.840.113549.3.4"
#endif
#ifndef szOID_RSA_DES_EDE3_CBC
#define szOID_RSA_DES_EDE3_CBC "1.2.840.113549.3.7"
#endif
#ifndef szOID_RSA_RSA
#define szOID_RSA_RSA "1.2.840.113549.1.1.1"
#endif
#ifndef szOID_RSA_envelopedData
#define szOID_RSA_envelopedData "1.2.840.113549.1.7.3"
#endif
#ifndef szOID_RSA_data
#define szOID_RSA_data "1.2.840.113549.1.7.1"
#endif

// CRYPT_ENCRYPT_MESSAGE_PARA.dwFlags: recipients by subject key identifier (CMS).
#ifndef CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG
#define CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG 0x00000004
#endif
#ifndef CRYPT_MESSAGE_SILENT_KEYSET_FLAG
#define CRYPT_MESSAGE_SILENT_KEYSET_FLAG 0x00000040
#endif

typedef struct _CRYPT_ENCRYPT_MESSAGE_PARA {
    DWORD cbSize;
    DWORD dwMsgEncodingType;
    HCRYPTPROV_LEGACY hCryptProv;
    CRYPT_ALGORITHM_IDENTIFIER ContentEncryptionAlgorithm;
    void* pvEncryptionAuxInfo;
    DWORD dwFlags;
    DWORD dwInnerContentType;
} CRYPT_ENCRYPT_MESSAGE_PARA, *PCRYPT_ENCRYPT_MESSAGE_PARA;

typedef struct _CRYPT_DECRYPT_MESSAGE_PARA {
    DWORD cbSize;
    DWORD dwMsgAndCertEncodingType;
    DWORD cCertStore;
    HCERTSTORE* rghCertStore;
#ifdef CRYPT_DECRYPT_MESSAGE_PARA_HAS_EXTRA_FIELDS
    DWORD dwFlags;
#endif
} CRYPT_DECRYPT_MESSAGE_PARA, *PCRYPT_DECRYPT_MESSAGE_PARA;

// pbEncryptedBlob null asks for the size; a short buffer fails with ERROR_MORE_DATA and
// the size needed in *pcbEncryptedBlob.
BOOL WINAPI CryptEncryptMessage(PCRYPT_ENCRYPT_MESSAGE_PARA pEncryptPara, DWORD cRecipientCert,
                                PCCERT_CONTEXT rgpRecipientCert[], const BYTE* pbToBeEncrypted,
                                DWORD cbToBeEncrypted, BYTE* pbEncryptedBlob, DWORD* pcbEncryptedBlob);

// Finds, among the given stores, a certificate with an available private key that opens one of
// the message's recipient entries. *ppXchgCert (optional) receives that certificate, which the
// caller frees; CRYPT_E_NO_DECRYPT_CERT when no certificate opens the message.
BOOL WINAPI CryptDecryptMessage(PCRYPT_DECRYPT_MESSAGE_PARA pDecryptPara, const BYTE* pbEncryptedBlob,
                                DWORD cbEncryptedBlob, BYTE* pbDecrypted, DWORD* pcbDecrypted,
                                PCCERT_CONTEXT* ppXchgCert);

#ifdef __cplusplus
}
#endif
