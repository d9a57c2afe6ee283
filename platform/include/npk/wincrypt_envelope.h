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

// ---------------------------------------------------------------------------------------
// Enveloped messages through CryptMsg: encoding (CryptMsgOpenToEncode with CMSG_ENVELOPED),
// decoding with recipient information and CMSG_CTRL_DECRYPT.
// ---------------------------------------------------------------------------------------
#ifndef NCRYPT_KEY_HANDLE_DEFINED
#define NCRYPT_KEY_HANDLE_DEFINED
typedef ULONG_PTR NCRYPT_KEY_HANDLE;
#endif
#ifndef CERT_NCRYPT_KEY_SPEC
#define CERT_NCRYPT_KEY_SPEC 0xFFFFFFFF
#endif

#ifndef CRYPT_E_STREAM_MSG_NOT_READY
#define CRYPT_E_STREAM_MSG_NOT_READY _HRESULT_TYPEDEF_(0x80091010L)
#endif
#ifndef CRYPT_E_STREAM_INSUFFICIENT_DATA
#define CRYPT_E_STREAM_INSUFFICIENT_DATA _HRESULT_TYPEDEF_(0x80091011L)
#endif
#ifndef CRYPT_E_ALREADY_DECRYPTED
#define CRYPT_E_ALREADY_DECRYPTED _HRESULT_TYPEDEF_(0x80091009L)
#endif
#ifndef CRYPT_E_NOT_DECRYPTED
#define CRYPT_E_NOT_DECRYPTED _HRESULT_TYPEDEF_(0x8009100AL)
#endif

#ifndef CMSG_ENVELOPE_ALGORITHM_PARAM
#define CMSG_ENVELOPE_ALGORITHM_PARAM 15
#endif
#ifndef CMSG_RECIPIENT_COUNT_PARAM
#define CMSG_RECIPIENT_COUNT_PARAM 17
#endif
#ifndef CMSG_RECIPIENT_INDEX_PARAM
#define CMSG_RECIPIENT_INDEX_PARAM 18
#endif
#ifndef CMSG_RECIPIENT_INFO_PARAM
#define CMSG_RECIPIENT_INFO_PARAM 19
#endif
#ifndef CMSG_CMS_RECIPIENT_COUNT_PARAM
#define CMSG_CMS_RECIPIENT_COUNT_PARAM 33
#endif
#ifndef CMSG_CMS_RECIPIENT_INDEX_PARAM
#define CMSG_CMS_RECIPIENT_INDEX_PARAM 34
#endif
#ifndef CMSG_CMS_RECIPIENT_INFO_PARAM
#define CMSG_CMS_RECIPIENT_INFO_PARAM 36
#endif
#ifndef CMSG_INDEFINITE_LENGTH
#define CMSG_INDEFINITE_LENGTH 0xFFFFFFFF
#endif

// CryptMsgControl types.
#ifndef CMSG_CTRL_VERIFY_SIGNATURE
#define CMSG_CTRL_VERIFY_SIGNATURE 1
#endif
#ifndef CMSG_CTRL_DECRYPT
#define CMSG_CTRL_DECRYPT 2
#endif
#ifndef CMSG_CTRL_KEY_TRANS_DECRYPT
#define CMSG_CTRL_KEY_TRANS_DECRYPT 16
#endif

// Recipient kinds.
#define CMSG_KEY_TRANS_RECIPIENT 1
#define CMSG_KEY_AGREE_RECIPIENT 2
#define CMSG_MAIL_LIST_RECIPIENT 3

// Versions.
#define CMSG_ENVELOPED_DATA_PKCS_1_5_VERSION 0
#define CMSG_ENVELOPED_DATA_CMS_VERSION      2
#define CMSG_ENVELOPED_DATA_V0 CMSG_ENVELOPED_DATA_PKCS_1_5_VERSION
#define CMSG_ENVELOPED_DATA_V2 CMSG_ENVELOPED_DATA_CMS_VERSION
#define CMSG_KEY_TRANS_PKCS_1_5_VERSION 0
#define CMSG_KEY_TRANS_CMS_VERSION      2
#define CMSG_ENVELOPED_RECIPIENT_V0 0
#define CMSG_ENVELOPED_RECIPIENT_V2 2
#define CMSG_ENVELOPED_RECIPIENT_V3 3
#define CMSG_ENVELOPED_RECIPIENT_V4 4

typedef struct _CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO {
    DWORD cbSize;
    CRYPT_ALGORITHM_IDENTIFIER KeyEncryptionAlgorithm;
    void* pvKeyEncryptionAuxInfo;
    HCRYPTPROV_LEGACY hCryptProv;
    CRYPT_BIT_BLOB RecipientPublicKey;
    CERT_ID RecipientId;
} CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO, *PCMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO;

// Key agreement and mail-list recipients are not built by this layer; their records are
// only named so that the unions keep the SDK's shape.
typedef struct _CMSG_KEY_AGREE_RECIPIENT_ENCODE_INFO* PCMSG_KEY_AGREE_RECIPIENT_ENCODE_INFO;
typedef struct _CMSG_MAIL_LIST_RECIPIENT_ENCODE_INFO* PCMSG_MAIL_LIST_RECIPIENT_ENCODE_INFO;

typedef struct _CMSG_RECIPIENT_ENCODE_INFO {
    DWORD dwRecipientChoice;
    union {
        PCMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO pKeyTrans;
        PCMSG_KEY_AGREE_RECIPIENT_ENCODE_INFO pKeyAgree;
        PCMSG_MAIL_LIST_RECIPIENT_ENCODE_INFO pMailList;
    };
} CMSG_RECIPIENT_ENCODE_INFO, *PCMSG_RECIPIENT_ENCODE_INFO;

// As in the SDK, the CMS members are there only for callers that ask for them.
typedef struct _CMSG_ENVELOPED_ENCODE_INFO {
    DWORD cbSize;
    HCRYPTPROV_LEGACY hCryptProv;
    CRYPT_ALGORITHM_IDENTIFIER ContentEncryptionAlgorithm;
    void* pvEncryptionAuxInfo;
    DWORD cRecipients;
    PCERT_INFO* rgpRecipients;
#ifdef CMSG_ENVELOPED_ENCODE_INFO_HAS_CMS_FIELDS
    PCMSG_RECIPIENT_ENCODE_INFO rgCmsRecipients;
    DWORD cCertEncoded;
    PCERT_BLOB rgCertEncoded;
    DWORD cCrlEncoded;
    PCRL_BLOB rgCrlEncoded;
    DWORD cAttrCertEncoded;
    PCERT_BLOB rgAttrCertEncoded;
    DWORD cUnprotectedAttr;
    PCRYPT_ATTRIBUTE rgUnprotectedAttr;
#endif
} CMSG_ENVELOPED_ENCODE_INFO, *PCMSG_ENVELOPED_ENCODE_INFO;

typedef struct _CMSG_KEY_TRANS_RECIPIENT_INFO {
    DWORD dwVersion;
    CERT_ID RecipientId;
    CRYPT_ALGORITHM_IDENTIFIER KeyEncryptionAlgorithm;
    CRYPT_DATA_BLOB EncryptedKey;
} CMSG_KEY_TRANS_RECIPIENT_INFO, *PCMSG_KEY_TRANS_RECIPIENT_INFO;

typedef struct _CMSG_KEY_AGREE_RECIPIENT_INFO* PCMSG_KEY_AGREE_RECIPIENT_INFO;
typedef struct _CMSG_MAIL_LIST_RECIPIENT_INFO* PCMSG_MAIL_LIST_RECIPIENT_INFO;

typedef struct _CMSG_CMS_RECIPIENT_INFO {
    DWORD dwRecipientChoice;
    union {
        PCMSG_KEY_TRANS_RECIPIENT_INFO pKeyTrans;
        PCMSG_KEY_AGREE_RECIPIENT_INFO pKeyAgree;
        PCMSG_MAIL_LIST_RECIPIENT_INFO pMailList;
    };
} CMSG_CMS_RECIPIENT_INFO, *PCMSG_CMS_RECIPIENT_INFO;

typedef struct _CMSG_CTRL_DECRYPT_PARA {
    DWORD cbSize;
    union {
        HCRYPTPROV hCryptProv;
        NCRYPT_KEY_HANDLE hNCryptKey;
    };
    DWORD dwKeySpec;
    DWORD dwRecipientIndex;
} CMSG_CTRL_DECRYPT_PARA, *PCMSG_CTRL_DECRYPT_PARA;

// With pStreamInfo, output reaches pStreamInfo->pfnStreamOutput as updates arrive; a
// cbContent of CMSG_INDEFINITE_LENGTH gives BER with indefinite lengths.
HCRYPTMSG WINAPI CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                      void const* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                                      PCMSG_STREAM_INFO pStreamInfo);
BOOL WINAPI CryptMsgControl(HCRYPTMSG hCryptMsg, DWORD dwFlags, DWORD dwCtrlType, void const* pvCtrlPara);

#ifdef __cplusplus
}
#endif
