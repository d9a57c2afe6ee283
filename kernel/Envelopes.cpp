// Enveloped-data messages in memory, through the platform's one-call message functions.
#include "kernel/Envelopes.h"

#include <cstring>
#include <new>

#include "agent/ErrorCodes.h"
#include "kernel/CertificateQueries.h"
#include "kernel/Steps.h"
#include "trace/Trace.h"

// The blocks as the 32-bit Windows build lays them out; other builds only need cbSize to
// name their own size.
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(CRYPT_ENCRYPT_MESSAGE_PARA) == 36, "CRYPT_ENCRYPT_MESSAGE_PARA layout");
static_assert(sizeof(CRYPT_DECRYPT_MESSAGE_PARA) == 16, "CRYPT_DECRYPT_MESSAGE_PARA layout");
static_assert(sizeof(CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO) == 56, "CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO layout");
#endif

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kRsaEncryption[] = "1.2.840.113549.1.1.1";
constexpr char kRc4[] = NPK_OID_RC4;
constexpr char kDesEde3[] = NPK_OID_DES_EDE3;

// The code of a missing argument, as a Win32 error.
const HRESULT kMissingParameter = HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);

using npk::kernel::Failed;
using npk::kernel::Step;

// Exact match only: a trailing space or an extra digit is another algorithm.
LPSTR MatchContentAlgorithm(LPCSTR pszAlgorithm)
{
    if (pszAlgorithm == NULL) return NULL;
    if (std::strcmp(pszAlgorithm, kRc4) == 0) return const_cast<LPSTR>(kRc4);
    if (std::strcmp(pszAlgorithm, kDesEde3) == 0) return const_cast<LPSTR>(kDesEde3);
    return NULL;
}

// A zero-filled new[] buffer one byte longer than cb, so that text results end in a zero byte.
BYTE* NewZeroedBuffer(DWORD cb)
{
    if (cb == 0xFFFFFFFF) return NULL;  // one more byte would not fit the length
    const size_t size = static_cast<size_t>(cb) + 1;
    BYTE* pb = new (std::nothrow) BYTE[size];
    if (pb != NULL) std::memset(pb, 0, size);
    return pb;
}

}  // namespace

HRESULT GetEncryptionParameters(LPCSTR pszAlgorithm, BOOL bKeyIdRecipient, CRYPT_ENCRYPT_MESSAGE_PARA** ppPara)
{
    TraceHelper trace("GetEncryptionParameters");
    if (ppPara == NULL) return E_POINTER;
    *ppPara = NULL;
    CRYPT_ENCRYPT_MESSAGE_PARA* pPara = new (std::nothrow) CRYPT_ENCRYPT_MESSAGE_PARA;
    if (pPara == NULL) return Step(E_OUTOFMEMORY, TEXT("New Memory -CRYPT_ENCRYPT_MESSAGE_PARA"));
    std::memset(pPara, 0, sizeof(*pPara));
    *ppPara = pPara;

    LPSTR pszObjId = MatchContentAlgorithm(pszAlgorithm);
    if (pszObjId == NULL) {
        // Left unset: the encryption that follows refuses the block.
        NPK_TRACE(TRACE_ERROR, TraceMsgA(TRACE_GUID_ENVELOPES, 40, pszAlgorithm));
        Step(CRYPT_E_UNKNOWN_ALGO, TEXT("Get content encryption algorithm"));
    } else {
        NPK_TRACE(TRACE_INFORMATION, TraceMsgAI32(TRACE_GUID_ENVELOPES, 41, pszObjId, bKeyIdRecipient ? 1 : 0));
        Step(S_OK, TEXT("Get content encryption algorithm"));
    }

    pPara->cbSize = sizeof(CRYPT_ENCRYPT_MESSAGE_PARA);
    pPara->dwMsgEncodingType = kEncoding;
    pPara->hCryptProv = 0;
    pPara->ContentEncryptionAlgorithm.pszObjId = pszObjId;
    pPara->ContentEncryptionAlgorithm.Parameters.cbData = 0;
    pPara->ContentEncryptionAlgorithm.Parameters.pbData = NULL;
    pPara->pvEncryptionAuxInfo = NULL;
    pPara->dwFlags = bKeyIdRecipient ? CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG : 0;
    pPara->dwInnerContentType = 0;
    return S_OK;
}

HRESULT GetCMSRecipientsInfo(CMSG_RECIPIENT_ENCODE_INFO* pRecipientInfo, PCCERT_CONTEXT pCert)
{
    TraceHelper trace("GetCMSRecipientsInfo");
    if (pRecipientInfo == NULL) return E_POINTER;
    std::memset(pRecipientInfo, 0, sizeof(*pRecipientInfo));
    if (pCert == NULL || pCert->pCertInfo == NULL) return E_INVALIDARG;

    BYTE* pbKeyId = NULL;
    DWORD cbKeyId = 0;
    HRESULT hr = Step(GetCertSubjectKeyID(pCert, &pbKeyId, &cbKeyId), TEXT("QueryCertContextInfo"));
    if (FAILED(hr)) {
        delete[] pbKeyId;
        return hr;
    }

    // The outer record is the caller's array entry; what it points to belongs to it from here
    // on, so RelaseCMSRecipientInfo frees whatever was made before a failure.
    CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO* pKeyTrans = new (std::nothrow) CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO;
    if (pKeyTrans == NULL) {
        delete[] pbKeyId;
        return Step(E_OUTOFMEMORY, TEXT("New Memory -CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO"));
    }
    std::memset(pKeyTrans, 0, sizeof(*pKeyTrans));
    pRecipientInfo->dwRecipientChoice = CMSG_KEY_TRANS_RECIPIENT;
    pRecipientInfo->pKeyTrans = pKeyTrans;

    pKeyTrans->cbSize = sizeof(CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO);
    pKeyTrans->KeyEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(kRsaEncryption);
    pKeyTrans->pvKeyEncryptionAuxInfo = NULL;
    pKeyTrans->hCryptProv = 0;

    const CRYPT_BIT_BLOB& publicKey = pCert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    BYTE* pbPublicKey = new (std::nothrow) BYTE[publicKey.cbData == 0 ? 1 : publicKey.cbData];
    if (pbPublicKey == NULL) {
        delete[] pbKeyId;
        return Step(E_OUTOFMEMORY, TEXT("New Memory -RecipientPublicKey"));
    }
    if (publicKey.cbData != 0) std::memcpy(pbPublicKey, publicKey.pbData, publicKey.cbData);
    pKeyTrans->RecipientPublicKey.cbData = publicKey.cbData;
    pKeyTrans->RecipientPublicKey.pbData = pbPublicKey;
    pKeyTrans->RecipientPublicKey.cUnusedBits = 0;

    BYTE* pbKeyIdCopy = new (std::nothrow) BYTE[cbKeyId == 0 ? 1 : cbKeyId];
    if (pbKeyIdCopy == NULL) {
        delete[] pbKeyId;
        return Step(E_OUTOFMEMORY, TEXT("New Memory -Key Id data"));
    }
    if (cbKeyId != 0) std::memcpy(pbKeyIdCopy, pbKeyId, cbKeyId);
    delete[] pbKeyId;
    pKeyTrans->RecipientId.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
    pKeyTrans->RecipientId.KeyId.cbData = cbKeyId;
    pKeyTrans->RecipientId.KeyId.pbData = pbKeyIdCopy;
    return S_OK;
}

void RelaseCMSRecipientInfo(CMSG_RECIPIENT_ENCODE_INFO* pRecipientInfo)
{
    TraceHelper trace("RelaseCMSRecipientInfo");
    if (pRecipientInfo == NULL) return;
    CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO* pKeyTrans = pRecipientInfo->pKeyTrans;
    if (pKeyTrans != NULL) {
        if (pKeyTrans->RecipientId.KeyId.pbData != NULL) {
            delete[] pKeyTrans->RecipientId.KeyId.pbData;
            pKeyTrans->RecipientId.KeyId.pbData = NULL;
            pKeyTrans->RecipientId.KeyId.cbData = 0;
        }
        if (pKeyTrans->RecipientPublicKey.pbData != NULL) {
            delete[] pKeyTrans->RecipientPublicKey.pbData;
            pKeyTrans->RecipientPublicKey.pbData = NULL;
            pKeyTrans->RecipientPublicKey.cbData = 0;
        }
        delete pKeyTrans;
        pRecipientInfo->pKeyTrans = NULL;
    }
}

HRESULT EncryptDatatoEnvelope(const CertificateList& vecRecipientCerts, const BYTE* pbData, DWORD cbData,
                              BYTE** ppbEnvelope, DWORD* pcbEnvelope, LPCSTR pszAlgorithm, BOOL bKeyIdRecipient)
{
    TraceHelper trace("EncryptDatatoEnvelope");
    if (pbData == NULL || cbData == 0 || ppbEnvelope == NULL || pcbEnvelope == NULL || pszAlgorithm == NULL)
        Step(kMissingParameter, TEXT("Verify if the paramters are available"));
    // Without somewhere to put the envelope there is nothing to do.
    if (ppbEnvelope == NULL || pcbEnvelope == NULL) return E_POINTER;
    *ppbEnvelope = NULL;
    *pcbEnvelope = 0;

    const DWORD cRecipients = static_cast<DWORD>(vecRecipientCerts.size());
    if (cRecipients == 0) NPK_TRACE(TRACE_ERROR, TraceMsg(TRACE_GUID_ENVELOPES, 42));
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32x2(TRACE_GUID_ENVELOPES, 44, static_cast<LONG>(cbData),
                                               static_cast<LONG>(cRecipients)));

    HRESULT hr = S_OK;
    if (bKeyIdRecipient) {
        // Checked before anything is encrypted, so such a list yields no envelope at all.
        for (PCCERT_CONTEXT pCert : vecRecipientCerts) {
            hr = Step(GetCertSubjectKeyID(pCert, NULL, NULL),
                      TEXT("Verify if the certificate has subject key identifier"));
            if (FAILED(hr)) return hr;
        }
    }

    CRYPT_ENCRYPT_MESSAGE_PARA* pPara = NULL;
    hr = Step(GetEncryptionParameters(pszAlgorithm, bKeyIdRecipient, &pPara), TEXT("GetEncryptionParameters"));
    if (FAILED(hr)) {
        delete pPara;
        return hr;
    }
    // An algorithm outside the table would only fail inside the platform, with a code that
    // depends on the platform; say plainly that the algorithm is not known.
    if (pPara->ContentEncryptionAlgorithm.pszObjId == NULL) {
        delete pPara;
        return Step(CRYPT_E_UNKNOWN_ALGO, TEXT("Get content encryption algorithm"));
    }

    PCCERT_CONTEXT* rgpRecipients = const_cast<PCCERT_CONTEXT*>(vecRecipientCerts.data());
    DWORD cbEnvelope = 0;
    if (!CryptEncryptMessage(pPara, cRecipients, rgpRecipients, pbData, cbData, NULL, &cbEnvelope)) {
        hr = Failed(TEXT("CryptEncryptMessage-first invocation"));
        delete pPara;
        return hr;
    }
    Step(S_OK, TEXT("CryptEncryptMessage-first invocation"));

    BYTE* pbEnvelope = NewZeroedBuffer(cbEnvelope);
    if (pbEnvelope == NULL) {
        delete pPara;
        return Step(E_OUTOFMEMORY, TEXT("New Memory -Enveloped Data"));
    }
    *ppbEnvelope = pbEnvelope;

    if (!CryptEncryptMessage(pPara, cRecipients, rgpRecipients, pbData, cbData, pbEnvelope, &cbEnvelope)) {
        hr = Failed(TEXT("CryptEncryptMessage - Get enveloped data"));
        delete pPara;
        return hr;
    }
    Step(S_OK, TEXT("CryptEncryptMessage - Get enveloped data"));
    *pcbEnvelope = cbEnvelope;
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_ENVELOPES, 45, static_cast<LONG>(cbEnvelope)));
    delete pPara;
    return S_OK;
}

HRESULT DecryptEnvelopeData(const StoreList& vecStores, const BYTE* pbEnvelope, DWORD cbEnvelope,
                            BYTE** ppbPlaintext, DWORD* pcbPlaintext)
{
    TraceHelper trace("DecryptEnvelopeData");
    if (pbEnvelope == NULL || cbEnvelope == 0 || ppbPlaintext == NULL || pcbPlaintext == NULL)
        Step(kMissingParameter, TEXT("Verify if the paramters are available"));
    if (ppbPlaintext == NULL || pcbPlaintext == NULL) return E_POINTER;
    *ppbPlaintext = NULL;
    *pcbPlaintext = 0;
    if (vecStores.empty()) NPK_TRACE(TRACE_ERROR, TraceMsg(TRACE_GUID_ENVELOPES, 43));

    CRYPT_DECRYPT_MESSAGE_PARA para;
    std::memset(&para, 0, sizeof(para));
    para.cbSize = sizeof(CRYPT_DECRYPT_MESSAGE_PARA);
    para.dwMsgAndCertEncodingType = kEncoding;
    para.cCertStore = static_cast<DWORD>(vecStores.size());
    para.rghCertStore = const_cast<HCERTSTORE*>(vecStores.data());

    DWORD cbPlaintext = 0;
    if (!CryptDecryptMessage(&para, pbEnvelope, cbEnvelope, NULL, &cbPlaintext, NULL))
        return Failed(TEXT("CryptDecryptMessage-first invocation"));
    Step(S_OK, TEXT("CryptDecryptMessage-first invocation"));

    BYTE* pbPlaintext = NewZeroedBuffer(cbPlaintext);
    if (pbPlaintext == NULL) return Step(E_OUTOFMEMORY, TEXT("New Memory -Enveloped Data"));
    *ppbPlaintext = pbPlaintext;

    if (!CryptDecryptMessage(&para, pbEnvelope, cbEnvelope, pbPlaintext, &cbPlaintext, NULL))
        return Failed(TEXT("CryptDecryptMessage-get decrypted data"));
    Step(S_OK, TEXT("CryptDecryptMessage-get decrypted data"));
    *pcbPlaintext = cbPlaintext;
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_ENVELOPES, 46, static_cast<LONG>(cbPlaintext)));
    return S_OK;
}
