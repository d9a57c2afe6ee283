// Enveloped-data messages in memory: encryption for the recipient certificates (by issuer and
// serial number, or by subject key identifier under the key-identifier flag), decryption with a
// private key found in the given stores, and the key-transport recipient descriptions that the
// streamed file envelopes use.
//
// Buffers handed out are new[] buffers owned by the caller (delete[]), also when the function
// failed after storing them; they are one zero byte longer than the reported length.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "kernel/CertificateLists.h"

// The two content encryption algorithms, as dotted object identifiers.
#define NPK_OID_RC4      "1.2.840.113549.3.4"
#define NPK_OID_DES_EDE3 "1.2.840.113549.3.7"

// A zeroed parameter block for CryptEncryptMessage, released by the caller with delete. An
// algorithm text that is neither identifier leaves ContentEncryptionAlgorithm.pszObjId null.
HRESULT GetEncryptionParameters(LPCSTR pszAlgorithm, BOOL bKeyIdRecipient, CRYPT_ENCRYPT_MESSAGE_PARA** ppPara);

// Fills *pRecipientInfo (an entry of the caller's array) with a key-transport recipient
// identified by the certificate's subject key identifier; the public key and the key
// identifier are private copies. Release with RelaseCMSRecipientInfo, also after a failure.
HRESULT GetCMSRecipientsInfo(CMSG_RECIPIENT_ENCODE_INFO* pRecipientInfo, PCCERT_CONTEXT pCert);
void RelaseCMSRecipientInfo(CMSG_RECIPIENT_ENCODE_INFO* pRecipientInfo);

// The DER envelope of the data for every certificate of the list, in order.
HRESULT EncryptDatatoEnvelope(const CertificateList& vecRecipientCerts, const BYTE* pbData, DWORD cbData,
                              BYTE** ppbEnvelope, DWORD* pcbEnvelope, LPCSTR pszAlgorithm, BOOL bKeyIdRecipient);

// The plaintext of an envelope that a private key of one of the stores opens.
HRESULT DecryptEnvelopeData(const StoreList& vecStores, const BYTE* pbEnvelope, DWORD cbEnvelope,
                            BYTE** ppbPlaintext, DWORD* pcbPlaintext);
