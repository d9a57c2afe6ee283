// Cryptographic messages: CryptMsg* decoding, message signature verification, the
// message-store provider. Names, values, layouts and prototypes as the Windows SDK declares them.
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

// Message types.
#define CMSG_DATA                 1
#define CMSG_SIGNED               2
#define CMSG_ENVELOPED            3
#define CMSG_SIGNED_AND_ENVELOPED 4
#define CMSG_HASHED               5
#define CMSG_ENCRYPTED            6

// CryptMsgOpenToDecode / CryptMsgOpenToEncode flags.
#define CMSG_BARE_CONTENT_FLAG             0x00000001
#define CMSG_LENGTH_ONLY_FLAG              0x00000002
#define CMSG_DETACHED_FLAG                 0x00000004
#define CMSG_AUTHENTICATED_ATTRIBUTES_FLAG 0x00000008
#define CMSG_CONTENTS_OCTETS_FLAG          0x00000010
#define CMSG_MAX_LENGTH_FLAG               0x00000020
#define CMSG_CMS_ENCAPSULATED_CONTENT_FLAG 0x00000040
#define CMSG_CRYPT_RELEASE_CONTEXT_FLAG    0x00008000

#define CMSG_INDEFINITE_LENGTH 0xFFFFFFFF

// CryptMsgGetParam parameter types.
#define CMSG_TYPE_PARAM                 1
#define CMSG_CONTENT_PARAM              2
#define CMSG_BARE_CONTENT_PARAM         3
#define CMSG_INNER_CONTENT_TYPE_PARAM   4
#define CMSG_SIGNER_COUNT_PARAM         5
#define CMSG_SIGNER_INFO_PARAM          6
#define CMSG_SIGNER_CERT_INFO_PARAM     7
#define CMSG_SIGNER_HASH_ALGORITHM_PARAM 8
#define CMSG_SIGNER_AUTH_ATTR_PARAM     9
#define CMSG_SIGNER_UNAUTH_ATTR_PARAM   10
#define CMSG_CERT_COUNT_PARAM           11
#define CMSG_CERT_PARAM                 12
#define CMSG_CRL_COUNT_PARAM            13
#define CMSG_CRL_PARAM                  14
#define CMSG_ENVELOPE_ALGORITHM_PARAM   15
#define CMSG_RECIPIENT_COUNT_PARAM      17
#define CMSG_RECIPIENT_INDEX_PARAM      18
#define CMSG_RECIPIENT_INFO_PARAM       19
#define CMSG_HASH_ALGORITHM_PARAM       20
#define CMSG_HASH_DATA_PARAM            21
#define CMSG_COMPUTED_HASH_PARAM        22
#define CMSG_ENCRYPT_PARAM              26
#define CMSG_ENCRYPTED_DIGEST           27
#define CMSG_ENCODED_SIGNER             28
#define CMSG_ENCODED_MESSAGE            29
#define CMSG_VERSION_PARAM              30
#define CMSG_ATTR_CERT_COUNT_PARAM      31
#define CMSG_ATTR_CERT_PARAM            32
#define CMSG_CMS_RECIPIENT_COUNT_PARAM  33
#define CMSG_CMS_RECIPIENT_INDEX_PARAM  34
#define CMSG_CMS_RECIPIENT_ENCRYPTED_KEY_INDEX_PARAM 35
#define CMSG_CMS_RECIPIENT_INFO_PARAM   36
#define CMSG_UNPROTECTED_ATTR_PARAM     37
#define CMSG_SIGNER_CERT_ID_PARAM       38
#define CMSG_CMS_SIGNER_INFO_PARAM      39

// Signer versions.
#define CMSG_SIGNER_INFO_PKCS_1_5_VERSION 1
#define CMSG_SIGNER_INFO_CMS_VERSION      3

// The issuer name Windows reports for a signer identified by subject key identifier:
// one RDN with this attribute, whose value is the key identifier.
#ifndef szOID_KEYID_RDN
#define szOID_KEYID_RDN "1.3.6.1.4.1.311.10.7.1"
#endif

#ifndef sz_CERT_STORE_PROV_MSG
#define sz_CERT_STORE_PROV_MSG "Msg"
#endif
#ifndef CERT_STORE_PROV_MSG
#define CERT_STORE_PROV_MSG ((LPCSTR)1)
#endif

// Streaming: output reaches the callback piece by piece.
typedef BOOL (WINAPI* PFN_CMSG_STREAM_OUTPUT)(const void* pvArg, BYTE* pbData, DWORD cbData, BOOL fFinal);

typedef struct _CMSG_STREAM_INFO {
    DWORD cbContent;
    PFN_CMSG_STREAM_OUTPUT pfnStreamOutput;
    void* pvArg;
} CMSG_STREAM_INFO, *PCMSG_STREAM_INFO;

// Message verification.
typedef PCCERT_CONTEXT (WINAPI* PFN_CRYPT_GET_SIGNER_CERTIFICATE)(void* pvGetArg, DWORD dwCertEncodingType,
                                                                 PCERT_INFO pSignerId, HCERTSTORE hMsgCertStore);

typedef struct _CRYPT_VERIFY_MESSAGE_PARA {
    DWORD cbSize;
    DWORD dwMsgAndCertEncodingType;
    HCRYPTPROV_LEGACY hCryptProv;
    PFN_CRYPT_GET_SIGNER_CERTIFICATE pfnGetSignerCertificate;
    void* pvGetArg;
} CRYPT_VERIFY_MESSAGE_PARA, *PCRYPT_VERIFY_MESSAGE_PARA;

BOOL WINAPI CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                        const BYTE* pbSignedBlob, DWORD cbSignedBlob, BYTE* pbDecoded,
                                        DWORD* pcbDecoded, PCCERT_CONTEXT* ppSignerCert);
BOOL WINAPI CryptVerifyDetachedMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                                const BYTE* pbDetachedSignBlob, DWORD cbDetachedSignBlob,
                                                DWORD cToBeSigned, const BYTE* rgpbToBeSigned[],
                                                DWORD rgcbToBeSigned[], PCCERT_CONTEXT* ppSignerCert);
LONG WINAPI CryptGetMessageSignerCount(DWORD dwMsgEncodingType, const BYTE* pbSignedBlob, DWORD cbSignedBlob);

HCRYPTMSG WINAPI CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                      HCRYPTPROV_LEGACY hCryptProv, PCERT_INFO pRecipientInfo,
                                      PCMSG_STREAM_INFO pStreamInfo);
BOOL WINAPI CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData, BOOL fFinal);
BOOL WINAPI CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData, DWORD* pcbData);
HCRYPTMSG WINAPI CryptMsgDuplicate(HCRYPTMSG hCryptMsg);
BOOL WINAPI CryptMsgClose(HCRYPTMSG hCryptMsg);

#ifdef __cplusplus
}
#endif
