// Signature verification.
#include "kernel/Verification.h"

#include <cstring>
#include <new>

#include "agent/ErrorCodes.h"
#include "agent/CryptoAgent.h"
#include "kernel/Encoding.h"
#include "kernel/Providers.h"
#include "kernel/Steps.h"
#include "trace/Trace.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kFileSlice = 0x4000;

using npk::kernel::Failed;
using npk::kernel::Step;

void FillVerifyPara(CRYPT_VERIFY_MESSAGE_PARA& para)
{
    std::memset(&para, 0, sizeof(para));
    para.cbSize = sizeof(CRYPT_VERIFY_MESSAGE_PARA);
    para.dwMsgAndCertEncodingType = kEncoding;
    para.hCryptProv = 0;
    para.pfnGetSignerCertificate = NULL;
    para.pvGetArg = NULL;
}

// Base64 text (wide) to the bytes it encodes; the caller frees *ppb.
HRESULT DecodeBase64Text(LPCWSTR pwszText, BYTE** ppb, DWORD* pcb)
{
    *ppb = NULL;
    *pcb = 0;
    char* pszText = NULL;
    UINT cbText = 0;
    HRESULT hr = Step(UTF16ToUTF8(pwszText, &pszText, &cbText), TEXT("UTF16ToUTF8"));
    if (FAILED(hr)) {
        delete[] pszText;
        return hr;
    }
    BYTE* pbDecoded = NULL;
    int cbDecoded = 0;
    hr = Step(Base64DecodeEx(pszText, static_cast<int>(cbText), &pbDecoded, &cbDecoded), TEXT("Base64DecodeEx"));
    delete[] pszText;
    if (FAILED(hr)) {
        delete[] pbDecoded;
        return hr;
    }
    *ppb = pbDecoded;
    *pcb = static_cast<DWORD>(cbDecoded);
    return S_OK;
}

// Owns what one signer of a file signature needs, released on every path.
struct SignerScratch {
    BYTE* pbCertInfo = NULL;
    BYTE* pbSignerInfo = NULL;
    PCCERT_CONTEXT pCert = NULL;
    ~SignerScratch()
    {
        if (pCert != NULL) CertFreeCertificateContext(pCert);
        delete[] pbSignerInfo;
        delete[] pbCertInfo;
    }
};

// One of the message's self-contained parameter blocks, size then value, into a zeroed buffer.
HRESULT GetMessageBlock(HCRYPTMSG hMsg, DWORD dwParam, DWORD dwIndex, BYTE** ppb, LPCWSTR pwszSizeStep,
                        LPCWSTR pwszMemoryStep, LPCWSTR pwszValueStep)
{
    DWORD cb = 0;
    if (!CryptMsgGetParam(hMsg, dwParam, dwIndex, NULL, &cb)) return Failed(pwszSizeStep);
    Step(S_OK, pwszSizeStep);
    BYTE* pb = new (std::nothrow) BYTE[cb == 0 ? 1 : cb];
    if (pb == NULL) return Step(E_OUTOFMEMORY, pwszMemoryStep);
    std::memset(pb, 0, cb == 0 ? 1 : cb);
    *ppb = pb;
    if (!CryptMsgGetParam(hMsg, dwParam, dwIndex, pb, &cb)) return Failed(pwszValueStep);
    return Step(S_OK, pwszValueStep);
}

}  // namespace

HRESULT VerifySignature(DWORD* pcbContent, const BYTE* pbSignedMessage, DWORD cbSignedMessage, BOOL bAttached,
                        BYTE** ppbContent, PCCERT_CONTEXT* ppSignerCert)
{
    TraceHelper trace("VerifySignature");
    if (pcbContent == NULL || ppbContent == NULL || pbSignedMessage == NULL) return E_POINTER;

    CRYPT_VERIFY_MESSAGE_PARA para;
    FillVerifyPara(para);

    if (!bAttached) {
        const BYTE* rgpbToBeSigned[1] = {*ppbContent};
        DWORD rgcbToBeSigned[1] = {*pcbContent};
        if (!CryptVerifyDetachedMessageSignature(&para, 0, pbSignedMessage, cbSignedMessage, 1, rgpbToBeSigned,
                                                 rgcbToBeSigned, ppSignerCert)) {
            return Failed(TEXT("CryptVerifyDetachedMessageSignature"));
        }
        return Step(S_OK, TEXT("CryptVerifyDetachedMessageSignature"));
    }

    DWORD cbContent = 0;
    if (!CryptVerifyMessageSignature(&para, 0, pbSignedMessage, cbSignedMessage, NULL, &cbContent, NULL)) {
        return Failed(TEXT("CryptVerifyMessageSignature"));
    }
    Step(S_OK, TEXT("CryptVerifyMessageSignature"));

    BYTE* pbContent = new (std::nothrow) BYTE[static_cast<size_t>(cbContent) + 1];
    if (pbContent == NULL) return Step(E_OUTOFMEMORY, TEXT("New Memory -Source Data"));
    std::memset(pbContent, 0, static_cast<size_t>(cbContent) + 1);
    *ppbContent = pbContent;
    Step(S_OK, TEXT("New Memory -Source Data"));

    if (!CryptVerifyMessageSignature(&para, 0, pbSignedMessage, cbSignedMessage, pbContent, &cbContent,
                                     ppSignerCert)) {
        return Failed(TEXT("CryptVerifyMessageSignature-second time"));
    }
    *pcbContent = cbContent;
    return Step(S_OK, TEXT("CryptVerifyMessageSignature-second time"));
}

HRESULT VerifySignatureBase64(LPCWSTR pwszSignature, BOOL bAttached, BYTE** ppbContent, DWORD* pcbContent,
                              PCCERT_CONTEXT* ppSignerCert)
{
    TraceHelper trace("VerifySignatureBase64");
    BYTE* pbMessage = NULL;
    DWORD cbMessage = 0;
    HRESULT hr = DecodeBase64Text(pwszSignature, &pbMessage, &cbMessage);
    if (FAILED(hr)) return hr;
    hr = Step(VerifySignature(pcbContent, pbMessage, cbMessage, bAttached, ppbContent, ppSignerCert),
              TEXT("VerifySignature"));
    delete[] pbMessage;
    return hr;
}

HRESULT VerifyFileSignature(PCCERT_CONTEXT* ppSignerCert, const BYTE* pbSignedMessage, DWORD cbSignedMessage,
                            LPCWSTR pwszFilePath)
{
    TraceHelper trace("VerifyFileSignature");
    if (pbSignedMessage == NULL || pwszFilePath == NULL) return E_POINTER;

    HCRYPTMSG hMsg = CryptMsgOpenToDecode(kEncoding, CMSG_DETACHED_FLAG, 0, 0, NULL, NULL);
    if (hMsg == NULL) return Failed(TEXT("CryptMsgOpenToDecode"));
    Step(S_OK, TEXT("CryptMsgOpenToDecode"));

    HRESULT hr = S_OK;
    HCERTSTORE hStore = NULL;
    DWORD cSigners = 0;
    DWORD cbCount = sizeof(cSigners);
    if (!CryptMsgUpdate(hMsg, pbSignedMessage, cbSignedMessage, TRUE)) {
        hr = Failed(TEXT("CryptMsgUpdate"));
    } else if ((Step(S_OK, TEXT("CryptMsgUpdate")),
                hStore = CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, hMsg)) == NULL) {
        hr = Failed(TEXT("CertOpenStore"));
    } else if ((Step(S_OK, TEXT("CertOpenStore")),
                !CryptMsgGetParam(hMsg, CMSG_SIGNER_COUNT_PARAM, 0, &cSigners, &cbCount))) {
        hr = Failed(TEXT("CryptMsgGetParam"));
    } else {
        Step(S_OK, TEXT("CryptMsgGetParam"));
        if (cSigners != 1) {
            NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_CRYPTO, 40, static_cast<LONG>(cSigners)));
            hr = NPK_E_NO_SIGNER;
        }
        for (DWORD i = 0; i < cSigners; ++i) {
            SignerScratch signer;
            hr = GetMessageBlock(hMsg, CMSG_SIGNER_CERT_INFO_PARAM, i, &signer.pbCertInfo,
                                 TEXT("CryptMsgGetParam-CMSG_SIGNER_CERT_INFO_PARAM"),
                                 TEXT("New Memory -Signer certificate Info"),
                                 TEXT("CryptMsgGetParam-CMSG_SIGNER_CERT_INFO_PARAM-second time"));
            if (FAILED(hr)) break;
            hr = GetMessageBlock(hMsg, CMSG_SIGNER_INFO_PARAM, i, &signer.pbSignerInfo,
                                 TEXT("CryptMsgGetParam-CMSG_SIGNER_INFO_PARAM"), TEXT("New Memory -Signer info"),
                                 TEXT("CryptMsgGetParam-CMSG_SIGNER_INFO_PARAM-second time"));
            if (FAILED(hr)) break;

            PCERT_INFO pCertInfo = reinterpret_cast<PCERT_INFO>(signer.pbCertInfo);
            PCMSG_SIGNER_INFO pSignerInfo = reinterpret_cast<PCMSG_SIGNER_INFO>(signer.pbSignerInfo);
            signer.pCert = CertGetSubjectCertificateFromStore(hStore, kEncoding, pCertInfo);
            if (signer.pCert == NULL) {
                hr = Failed(TEXT("CryptMsgGetParam-CertGetSubjectCertificateFromStore"));
                break;
            }
            Step(S_OK, TEXT("CryptMsgGetParam-CertGetSubjectCertificateFromStore"));

            ALG_ID algId = 0;
            hr = Step(GetHashALGID(pSignerInfo->HashAlgorithm.pszObjId, &algId),
                      TEXT("CryptMsgGetParam-GetHashALGID"));
            if (FAILED(hr)) break;

            hr = Step(VerifyHashSignedData(algId, signer.pCert, NULL, 0, pSignerInfo->EncryptedHash.pbData,
                                           pSignerInfo->EncryptedHash.cbData, pwszFilePath, TRUE),
                      TEXT("CryptMsgGetParam-VerifyHashSignedData"));
            if (FAILED(hr)) break;

            if (ppSignerCert != NULL) {
                if (*ppSignerCert != NULL) CertFreeCertificateContext(*ppSignerCert);
                *ppSignerCert = CertDuplicateCertificateContext(signer.pCert);
                Step(S_OK, TEXT("CryptMsgGetParam-CertDuplicateCertificateContext"));
            }
        }
    }

    CryptMsgClose(hMsg);
    if (hStore != NULL) CertCloseStore(hStore, 0);
    return hr;
}

HRESULT VerifyFileSignatureBase64(LPCWSTR pwszSignature, LPCWSTR pwszFilePath, PCCERT_CONTEXT* ppSignerCert)
{
    TraceHelper trace("VerifyFileSignatureBase64");
    BYTE* pbMessage = NULL;
    DWORD cbMessage = 0;
    HRESULT hr = DecodeBase64Text(pwszSignature, &pbMessage, &cbMessage);
    if (FAILED(hr)) return hr;
    hr = Step(VerifyFileSignature(ppSignerCert, pbMessage, cbMessage, pwszFilePath), TEXT("VerifyFileSignature"));
    delete[] pbMessage;
    return hr;
}

HRESULT CalculateFileHash(LPCWSTR pwszFilePath, HCRYPTHASH hHash)
{
    TraceHelper trace("CalculateFileHash");
    HANDLE hFile = CreateFileW(pwszFilePath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE) return Failed(TEXT("CreateFile"));
    Step(S_OK, TEXT("CreateFile"));
    NPK_TRACE(TRACE_INFORMATION, TraceMsgW(TRACE_GUID_CRYPTO, 41, pwszFilePath));

    HRESULT hr = S_OK;
    LARGE_INTEGER size;
    size.QuadPart = 0;
    BYTE* pbSlice = NULL;
    if (!GetFileSizeEx(hFile, &size)) {
        hr = Failed(TEXT("GetFileSizeEx"));
    } else if ((pbSlice = new (std::nothrow) BYTE[kFileSlice]) == NULL) {
        hr = Step(E_OUTOFMEMORY, TEXT("New Memory"));
    } else {
        ULONGLONG total = 0;
        const ULONGLONG expected = static_cast<ULONGLONG>(size.QuadPart);
        while (total < expected) {
            std::memset(pbSlice, 0, kFileSlice);
            DWORD cbRead = 0;
            if (!ReadFile(hFile, pbSlice, kFileSlice, &cbRead, NULL)) {
                hr = Failed(TEXT("ReadFile"));
                break;
            }
            // A file that shrank while it was read: stop with an error instead of hashing forever.
            if (cbRead == 0) {
                hr = Step(HRESULT_FROM_WIN32(ERROR_HANDLE_EOF), TEXT("ReadFile"));
                break;
            }
            if (!CryptHashData(hHash, pbSlice, cbRead, 0)) {
                hr = Failed(TEXT("CryptHashData"));
                break;
            }
            total += cbRead;
        }
    }
    delete[] pbSlice;
    CloseHandle(hFile);
    return hr;
}

HRESULT VerifyHashSignedData(ALG_ID algId, PCCERT_CONTEXT pCert, const BYTE* pbData, DWORD cbData,
                             BYTE* pbSignature, DWORD cbSignature, LPCWSTR pwszFilePath, BOOL bFromFile)
{
    TraceHelper trace("VerifyHashSignedData");
    if (pCert == NULL || pCert->pCertInfo == NULL || pbSignature == NULL) return E_POINTER;

    CERT_PUBLIC_KEY_INFO publicKey;
    const CERT_PUBLIC_KEY_INFO& source = pCert->pCertInfo->SubjectPublicKeyInfo;
    publicKey.Algorithm.pszObjId = source.Algorithm.pszObjId;
    publicKey.Algorithm.Parameters.cbData = source.Algorithm.Parameters.cbData;
    publicKey.Algorithm.Parameters.pbData = source.Algorithm.Parameters.pbData;
    publicKey.PublicKey.cbData = source.PublicKey.cbData;
    publicKey.PublicKey.pbData = source.PublicKey.pbData;
    publicKey.PublicKey.cUnusedBits = source.PublicKey.cUnusedBits;

    SwapByteOrder(pbSignature, cbSignature);

    HCRYPTPROV hProv = 0;
    HRESULT hr = Step(CryptAcquireContextbyAlgorithm(&hProv, algId), TEXT("CryptAcquireContextbyAlgorithm"));
    if (FAILED(hr)) return hr;

    HCRYPTHASH hHash = 0;
    HCRYPTKEY hKey = 0;
    if (!CryptCreateHash(hProv, algId, 0, 0, &hHash)) {
        hr = Failed(TEXT("CryptCreateHash"));
    } else {
        Step(S_OK, TEXT("CryptCreateHash"));
        if (bFromFile) {
            hr = Step(CalculateFileHash(pwszFilePath, hHash), TEXT("CalculateFileHash"));
        } else if (!CryptHashData(hHash, pbData, cbData, 0)) {
            hr = Failed(TEXT("CryptHashData"));
        } else {
            hr = Step(S_OK, TEXT("CryptHashData"));
        }
        if (SUCCEEDED(hr)) {
            if (!CryptImportPublicKeyInfo(hProv, kEncoding, &publicKey, &hKey)) {
                hr = Failed(TEXT("CryptImportPublicKeyInfo"));
            } else if ((Step(S_OK, TEXT("CryptImportPublicKeyInfo")),
                        !CryptVerifySignatureW(hHash, pbSignature, cbSignature, hKey, NULL, 0))) {
                hr = Failed(TEXT("CryptVerifySignature"));
            } else {
                hr = Step(S_OK, TEXT("CryptVerifySignature"));
            }
        }
    }
    if (hKey != 0) CryptDestroyKey(hKey);
    if (hHash != 0) CryptDestroyHash(hHash);
    CryptReleaseContext(hProv, 0);
    return hr;
}
