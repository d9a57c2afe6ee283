// CCryptoAgent: signing texts and files with the chosen signing certificate, and verifying
// PKCS#7 and PKCS#1 signatures. Signatures and signed messages travel as Base64 text.
#include "agent/CryptoAgent.h"

#include <shlwapi.h>

#include <memory>

#include "agent/AgentFrame.h"
#include "agent/ErrorCodes.h"
#include "kernel/Encoding.h"
#include "kernel/FilePaths.h"
#include "kernel/Signing.h"
#include "kernel/Verification.h"

namespace {

constexpr int kSignTypePkcs1 = 1;
constexpr int kSignTypePkcs7 = 2;

bool IsEmpty(BSTR bstr)
{
    return bstr == NULL || bstr[0] == 0;
}

// The page's hash names; anything else is 0, which the general operations refuse.
int HashNumberFromName(BSTR bstrName)
{
    if (bstrName == NULL) return 0;
    if (lstrcmpiW(bstrName, TEXT("MD-5")) == 0) return 1;
    if (lstrcmpiW(bstrName, TEXT("SHA-1")) == 0) return 2;
    if (lstrcmpiW(bstrName, TEXT("SHA-256")) == 0) return 3;
    return 0;
}

// 0 for a number outside the table.
ALG_ID AlgorithmFromHashNumber(int nHashAlgorithm)
{
    switch (nHashAlgorithm) {
    case 1: return CALG_MD5;
    case 2: return CALG_SHA1;
    case 3: return CALG_SHA_256;
    case 4: return CALG_SHA_384;
    case 5: return CALG_SHA_512;
    default: return 0;
    }
}

// A raw signature as the operation's Base64 text result.
HRESULT SetSignatureText(CAgentFrame& frame, const BYTE* pbSignature, DWORD cbSignature)
{
    char* pszBase64 = NULL;
    int cchBase64 = 0;
    HRESULT hr = frame.Step(Base64EncodeEx(pbSignature, static_cast<int>(cbSignature), &pszBase64, &cchBase64, 0),
                            TEXT("Base64EncodeEx (Kernel) FAILED."));
    std::unique_ptr<char[]> base64(pszBase64);
    if (FAILED(hr)) return hr;
    LPWSTR pwszText = NULL;
    hr = frame.Step(UTF8ToUTF16(base64.get(), &pwszText, NULL), TEXT("UTF8ToUTF16 (Kernel) FAILED."));
    std::unique_ptr<WCHAR[]> text(pwszText);
    if (SUCCEEDED(hr)) frame.SetResultText(text.get());
    return hr;
}

// The bytes of a Base64 signature from the page.
HRESULT DecodeSignatureText(const CAgentFrame& frame, BSTR bstrSignature, std::unique_ptr<BYTE[]>& signature,
                            DWORD* pcbSignature)
{
    char* pszSignature = NULL;
    UINT cbSignatureText = 0;
    HRESULT hr = frame.Step(UTF16ToUTF8(bstrSignature, &pszSignature, &cbSignatureText),
                            TEXT("UTF16ToUTF8 (Kernel) FAILED."));
    std::unique_ptr<char[]> text(pszSignature);
    if (FAILED(hr)) return hr;
    BYTE* pbSignature = NULL;
    int cbSignature = 0;
    hr = frame.Step(Base64DecodeEx(text.get(), static_cast<int>(cbSignatureText), &pbSignature, &cbSignature),
                    TEXT("Base64DecodeEx (Kernel) FAILED."));
    signature.reset(pbSignature);
    *pcbSignature = static_cast<DWORD>(cbSignature);
    return hr;
}

// A file path the page wants read: it must exist and pass the path checks.
HRESULT CheckSourceFile(const CAgentFrame& frame, BSTR bstrFilePath)
{
    if (!PathFileExistsW(bstrFilePath)) return frame.Step(HResultFromFailedCall(), TEXT("PathFileExists"));
    return frame.Step(IsMaliciousFilePathName(bstrFilePath, NPK_PATH_SOURCE),
                      TEXT("IsMaliciousFilePathName (Kernel) FAILED."));
}

}  // namespace

void CCryptoAgent::ForgetSignatureCert()
{
    if (m_pSignatureCert != NULL) {
        CertFreeCertificateContext(m_pSignatureCert);
        m_pSignatureCert = NULL;
    }
}

HRESULT CCryptoAgent::SignMessage(BSTR bstrMessage, int nSignType, int nHashAlgorithm, VARIANT_BOOL bAttached,
                                  BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SignMessage"), pbstrResult);
    if (IsEmpty(bstrMessage)) return frame.Finish(frame.Step(E_INVALIDARG, TEXT("Invalid parameter.")));
    if (m_vecSignCerts.empty())
        return frame.Finish(frame.Step(NPK_E_CERT_NOT_READY, TEXT("Certificate is not ready.")));
    ALG_ID algId = AlgorithmFromHashNumber(nHashAlgorithm);
    if (algId == 0) return frame.Finish(frame.Step(NPK_E_INVALID_HASH_ALGORITHM, TEXT("Invalid hash algorithm.")));

    if (nSignType == kSignTypePkcs1) {
        char* pszMessage = NULL;
        UINT cbMessage = 0;
        HRESULT hr = frame.Step(UTF16ToUTF8(bstrMessage, &pszMessage, &cbMessage), TEXT("UTF16ToUTF8 (Kernel) FAILED."));
        std::unique_ptr<char[]> message(pszMessage);
        if (FAILED(hr)) return frame.Finish(hr);
        BYTE* pbSignature = NULL;
        DWORD cbSignature = 0;
        hr = frame.Step(CalculateHashandSign(&m_vecSignCerts[0], reinterpret_cast<const BYTE*>(message.get()),
                                             cbMessage, algId, &pbSignature, &cbSignature),
                        TEXT("CalculateHashandSign (Kernel) FAILED."));
        std::unique_ptr<BYTE[]> signature(pbSignature);
        if (FAILED(hr)) return frame.Finish(hr);
        return frame.Finish(SetSignatureText(frame, signature.get(), cbSignature));
    }
    if (nSignType == kSignTypePkcs7) {
        return frame.Finish(frame.Step(SignData(pbstrResult, bstrMessage, &m_vecSignCerts[0], algId,
                                                bAttached == VARIANT_TRUE),
                                       TEXT("SignData (Kernel) FAILED.")));
    }
    return frame.Finish(frame.Step(NPK_E_INVALID_SIGN_TYPE, TEXT("Invalid sign type.")));
}

HRESULT CCryptoAgent::SignFile(BSTR bstrFilePath, int nSignType, int nHashAlgorithm, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SignFile"), pbstrResult);
    if (IsEmpty(bstrFilePath)) return frame.Finish(frame.Step(E_INVALIDARG, TEXT("Invalid parameter.")));
    if (m_vecSignCerts.empty())
        return frame.Finish(frame.Step(NPK_E_CERT_NOT_READY, TEXT("Certificate is not ready.")));
    HRESULT hr = CheckSourceFile(frame, bstrFilePath);
    if (FAILED(hr)) return frame.Finish(hr);
    ALG_ID algId = AlgorithmFromHashNumber(nHashAlgorithm);
    if (algId == 0) return frame.Finish(frame.Step(NPK_E_INVALID_HASH_ALGORITHM, TEXT("Invalid hash algorithm.")));

    if (nSignType == kSignTypePkcs1) {
        BYTE* pbSignature = NULL;
        DWORD cbSignature = 0;
        hr = frame.Step(CalculateFileHashandSign(&m_vecSignCerts[0], bstrFilePath, algId, &pbSignature, &cbSignature),
                        TEXT("CalculateFileHashandSign (Kernel) FAILED."));
        std::unique_ptr<BYTE[]> signature(pbSignature);
        if (FAILED(hr)) return frame.Finish(hr);
        return frame.Finish(SetSignatureText(frame, signature.get(), cbSignature));
    }
    if (nSignType == kSignTypePkcs7) {
        return frame.Finish(frame.Step(::SignFile(pbstrResult, bstrFilePath, &m_vecSignCerts[0], algId),
                                       TEXT("SignData (Kernel) FAILED.")));
    }
    return frame.Finish(frame.Step(NPK_E_INVALID_SIGN_TYPE, TEXT("Invalid sign type.")));
}

HRESULT CCryptoAgent::VerifyMessageSignature(BSTR bstrSignature, BSTR bstrContent, int nSignType, int nHashAlgorithm,
                                             VARIANT_BOOL bAttached)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("VerifyMessageSignature"));
    const bool contentOptional = (static_cast<USHORT>(bAttached) != 0);
    if (IsEmpty(bstrSignature) || (!contentOptional && IsEmpty(bstrContent)))
        return frame.Finish(frame.Step(E_INVALIDARG, TEXT("Invalid parameter.")));
    ForgetSignatureCert();

    if (nSignType == kSignTypePkcs1) {
        ALG_ID algId = AlgorithmFromHashNumber(nHashAlgorithm);
        if (algId == 0)
            return frame.Finish(frame.Step(NPK_E_INVALID_HASH_ALGORITHM, TEXT("Invalid hash algorithm.")));
        std::unique_ptr<BYTE[]> signature;
        DWORD cbSignature = 0;
        HRESULT hr = DecodeSignatureText(frame, bstrSignature, signature, &cbSignature);
        if (FAILED(hr)) return frame.Finish(hr);
        char* pszContent = NULL;
        UINT cbContent = 0;
        hr = frame.Step(UTF16ToUTF8(bstrContent, &pszContent, &cbContent), TEXT("UTF16ToUTF8 (Kernel) FAILED."));
        std::unique_ptr<char[]> content(pszContent);
        if (FAILED(hr)) return frame.Finish(hr);
        if (m_vecSignCerts.empty())
            return frame.Finish(frame.Step(NPK_E_CERT_NOT_READY, TEXT("Certificate is not ready.")));
        return frame.Finish(frame.Step(VerifyHashSignedData(algId, m_vecSignCerts[0],
                                                            reinterpret_cast<const BYTE*>(content.get()), cbContent,
                                                            signature.get(), cbSignature, NULL, FALSE),
                                       TEXT("VerifyHashSignedData (Kernel) FAILED.")));
    }
    if (nSignType == kSignTypePkcs7) {
        BYTE* pbContent = NULL;
        DWORD cbContent = 0;
        std::unique_ptr<char[]> detachedContent;
        const bool attached = (bAttached == VARIANT_TRUE);
        if (!attached) {
            char* pszContent = NULL;
            UINT cbText = 0;
            HRESULT hr = frame.Step(UTF16ToUTF8(bstrContent, &pszContent, &cbText), TEXT("UTF16ToUTF8 (Kernel) FAILED."));
            detachedContent.reset(pszContent);
            if (FAILED(hr)) return frame.Finish(hr);
            pbContent = reinterpret_cast<BYTE*>(detachedContent.get());
            cbContent = cbText;
        }
        PCCERT_CONTEXT pSigner = NULL;
        HRESULT hr = frame.Step(VerifySignatureBase64(bstrSignature, attached ? TRUE : FALSE, &pbContent, &cbContent,
                                                      &pSigner),
                                TEXT("VerifySignatureBase64 {Kernel) FAILED."));
        // The content an attached check hands back is not needed here.
        if (attached) delete[] pbContent;
        if (FAILED(hr)) {
            if (pSigner != NULL) CertFreeCertificateContext(pSigner);
            return frame.Finish(hr);
        }
        m_pSignatureCert = pSigner;
        return frame.Finish(hr);
    }
    return frame.Finish(frame.Step(NPK_E_INVALID_SIGN_TYPE, TEXT("Invalid sign type.")));
}

HRESULT CCryptoAgent::VerifyFileSignature(BSTR bstrSignature, BSTR bstrFilePath, int nSignType, int nHashAlgorithm)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("VerifyFileSignature"));
    if (IsEmpty(bstrSignature) || IsEmpty(bstrFilePath))
        return frame.Finish(frame.Step(E_INVALIDARG, TEXT("Invalid parameter.")));
    ForgetSignatureCert();
    HRESULT hr = CheckSourceFile(frame, bstrFilePath);
    if (FAILED(hr)) return frame.Finish(hr);

    if (nSignType == kSignTypePkcs1) {
        ALG_ID algId = AlgorithmFromHashNumber(nHashAlgorithm);
        if (algId == 0)
            return frame.Finish(frame.Step(NPK_E_INVALID_HASH_ALGORITHM, TEXT("Invalid hash algorithm.")));
        std::unique_ptr<BYTE[]> signature;
        DWORD cbSignature = 0;
        hr = DecodeSignatureText(frame, bstrSignature, signature, &cbSignature);
        if (FAILED(hr)) return frame.Finish(hr);
        if (m_vecSignCerts.empty())
            return frame.Finish(frame.Step(NPK_E_CERT_NOT_READY, TEXT("Certificate is not ready.")));
        return frame.Finish(frame.Step(VerifyHashSignedData(algId, m_vecSignCerts[0], NULL, 0, signature.get(),
                                                            cbSignature, bstrFilePath, TRUE),
                                       TEXT("VerifyHashSignedData (Kernel) FAILED.")));
    }
    if (nSignType == kSignTypePkcs7) {
        PCCERT_CONTEXT pSigner = NULL;
        hr = frame.Step(VerifyFileSignatureBase64(bstrSignature, bstrFilePath, &pSigner),
                        TEXT("VerifyFileSignatureBase64 (Kernel) FAILED."));
        if (FAILED(hr)) {
            if (pSigner != NULL) CertFreeCertificateContext(pSigner);
            return frame.Finish(hr);
        }
        m_pSignatureCert = pSigner;
        return frame.Finish(hr);
    }
    return frame.Finish(frame.Step(NPK_E_INVALID_SIGN_TYPE, TEXT("Invalid sign type.")));
}

HRESULT CCryptoAgent::VerifyMessageSignaturePKCS7(BSTR bstrSignedMessage, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("VerifyMessageSignaturePKCS7"), pbstrResult);
    ForgetSignatureCert();

    BYTE* pbContent = NULL;
    DWORD cbContent = 0;
    PCCERT_CONTEXT pSigner = NULL;
    HRESULT hr = frame.Step(VerifySignatureBase64(bstrSignedMessage, TRUE, &pbContent, &cbContent, &pSigner),
                            TEXT("VerifySignatureBase64 {Kernel) FAILED."));
    std::unique_ptr<BYTE[]> content(pbContent);
    LPWSTR pwszContent = NULL;
    if (SUCCEEDED(hr)) {
        hr = frame.Step(UTF8ToUTF16(reinterpret_cast<const char*>(content.get()), &pwszContent, NULL),
                        TEXT("UTF8ToUTF16 {Kernel) FAILED."));
    }
    std::unique_ptr<WCHAR[]> text(pwszContent);
    if (FAILED(hr)) {
        if (pSigner != NULL) CertFreeCertificateContext(pSigner);
        return frame.Finish(hr);
    }
    m_pSignatureCert = pSigner;
    frame.SetResultText(text.get());
    return frame.Finish(S_OK);
}

// The page's forms: a fixed sign type and a hash name.

HRESULT CCryptoAgent::SignMessage(BSTR bstrMessage, BSTR bstrHashAlgorithm, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SignMessage"), pbstrResult);
    HRESULT hr = SignMessage(bstrMessage, kSignTypePkcs7, HashNumberFromName(bstrHashAlgorithm), VARIANT_TRUE,
                             pbstrResult);
    if (FAILED(hr)) frame.Step(hr, TEXT("SignMessage (R) FAILED."));
    return frame.Finish(hr);
}

HRESULT CCryptoAgent::SignMessageDetached(BSTR bstrMessage, BSTR bstrHashAlgorithm, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SignMessageDetached"), pbstrResult);
    HRESULT hr = SignMessage(bstrMessage, kSignTypePkcs7, HashNumberFromName(bstrHashAlgorithm), VARIANT_FALSE,
                             pbstrResult);
    if (FAILED(hr)) frame.Step(hr, TEXT("SignMessage (R) FAILED."));
    return frame.Finish(hr);
}

HRESULT CCryptoAgent::SignMessagePKCS1(BSTR bstrMessage, BSTR bstrHashAlgorithm, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SignMessagePKCS1"), pbstrResult);
    HRESULT hr = SignMessage(bstrMessage, kSignTypePkcs1, HashNumberFromName(bstrHashAlgorithm), VARIANT_FALSE,
                             pbstrResult);
    if (FAILED(hr)) frame.Step(hr, TEXT("SignMessage (R) FAILED."));
    return frame.Finish(hr);
}

HRESULT CCryptoAgent::VerifyMessageSignature(BSTR bstrSignature, VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("VerifyMessageSignature"), pbResult);
    HRESULT hr = VerifyMessageSignature(bstrSignature, NULL, kSignTypePkcs7, 0, VARIANT_TRUE);
    if (FAILED(hr)) frame.Step(hr, TEXT("VerifyMessageSignature (R) FAILED."));
    return frame.Finish(hr);
}

HRESULT CCryptoAgent::VerifyMessageSignatureDetached(BSTR bstrSignature, BSTR bstrContent, VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("VerifyMessageSignatureDetached"), pbResult);
    HRESULT hr = VerifyMessageSignature(bstrSignature, bstrContent, kSignTypePkcs7, 0, VARIANT_FALSE);
    if (FAILED(hr)) frame.Step(hr, TEXT("VerifyMessageSignature (R) FAILED."));
    return frame.Finish(hr);
}

HRESULT CCryptoAgent::VerifyMessageSignaturePKCS1(BSTR bstrSignature, BSTR bstrContent, BSTR bstrHashAlgorithm,
                                                  VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("VerifyMessageSignaturePKCS1"), pbResult);
    HRESULT hr = VerifyMessageSignature(bstrSignature, bstrContent, kSignTypePkcs1,
                                        HashNumberFromName(bstrHashAlgorithm), VARIANT_FALSE);
    if (FAILED(hr)) frame.Step(hr, TEXT("VerifyMessageSignature (R) FAILED."));
    return frame.Finish(hr);
}

HRESULT CCryptoAgent::SignFileDetached(BSTR bstrFilePath, BSTR bstrHashAlgorithm, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SignFileDetached"), pbstrResult);
    HRESULT hr = SignFile(bstrFilePath, kSignTypePkcs7, HashNumberFromName(bstrHashAlgorithm), pbstrResult);
    if (FAILED(hr)) frame.Step(hr, TEXT("SignFile (R) FAILED."));
    return frame.Finish(hr);
}

HRESULT CCryptoAgent::SignFilePKCS1(BSTR bstrFilePath, BSTR bstrHashAlgorithm, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SignFilePKCS1"), pbstrResult);
    HRESULT hr = SignFile(bstrFilePath, kSignTypePkcs1, HashNumberFromName(bstrHashAlgorithm), pbstrResult);
    if (FAILED(hr)) frame.Step(hr, TEXT("SignFile (R) FAILED."));
    return frame.Finish(hr);
}

HRESULT CCryptoAgent::VerifyFileSignatureDetached(BSTR bstrSignature, BSTR bstrFilePath, VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("VerifyFileSignatureDetached"), pbResult);
    HRESULT hr = VerifyFileSignature(bstrSignature, bstrFilePath, kSignTypePkcs7, 0);
    if (FAILED(hr)) frame.Step(hr, TEXT("VerifyFileSignature (R) FAILED."));
    return frame.Finish(hr);
}

HRESULT CCryptoAgent::VerifyFileSignaturePKCS1(BSTR bstrSignature, BSTR bstrFilePath, BSTR bstrHashAlgorithm,
                                               VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("VerifyFileSignaturePKCS1"), pbResult);
    HRESULT hr = VerifyFileSignature(bstrSignature, bstrFilePath, kSignTypePkcs1, HashNumberFromName(bstrHashAlgorithm));
    if (FAILED(hr)) frame.Step(hr, TEXT("VerifyFileSignature (R) FAILED."));
    return frame.Finish(hr);
}
