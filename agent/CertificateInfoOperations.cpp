// CCryptoAgent: facts about the chosen signing certificate and the remembered signer.
#include "agent/CryptoAgent.h"

#include <memory>

#include "agent/AgentFrame.h"
#include "agent/ErrorCodes.h"
#include "kernel/CertificateQueries.h"
#include "kernel/Encoding.h"
#include "kernel/Providers.h"

HRESULT CCryptoAgent::GetCSPNameofSignCert(BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("GetCSPNameofSignCert"), pbstrResult);
    if (m_vecSignCerts.empty() || m_vecSignCerts[0] == NULL)
        return frame.Finish(frame.Step(NPK_E_CERT_NOT_READY, TEXT("Certificate is not ready.")));

    HCRYPTPROV hProv = 0;
    DWORD dwKeySpec = 0;
    HRESULT hr = S_OK;
    if (!CryptAcquireCertificatePrivateKey(m_vecSignCerts[0], 0, NULL, &hProv, &dwKeySpec, NULL)) {
        // A failure that left no error behind is still a failure: there is no provider to ask.
        hr = frame.Step(HResultFromFailedCall(), TEXT("CryptAcquireCertificatePrivateKey"));
        return frame.Finish(hr);
    }

    char* pszName = NULL;
    DWORD cbName = 0;
    LPWSTR pwszName = NULL;
    hr = frame.Step(GetProviderInfo(hProv, &pszName, &cbName), TEXT("GetProviderInfo (Kernel) FAILED."));
    if (SUCCEEDED(hr)) hr = frame.Step(UTF8ToUTF16(pszName, &pwszName, NULL), TEXT("UTF8ToUTF16 {Kernel) FAILED."));
    std::unique_ptr<WCHAR[]> name(pwszName);
    CryptReleaseContext(hProv, 0);
    delete[] pszName;
    if (SUCCEEDED(hr)) frame.SetResultText(name.get());
    return frame.Finish(hr);
}

HRESULT CCryptoAgent::GetSignaturePublicCertDN(BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("GetSignaturePublicCertDN"), pbstrResult);
    if (m_pSignatureCert == NULL)
        return frame.Finish(frame.Step(NPK_E_CERT_NOT_READY, TEXT("Certificate is not ready.")));

    LPWSTR pwszSubject = NULL;
    HRESULT hr = frame.Step(QueryCertContextInfo(m_pSignatureCert, SubjectDN, &pwszSubject, NULL),
                            TEXT("QueryCertContextInfo"));
    std::unique_ptr<WCHAR[]> subject(pwszSubject);
    if (SUCCEEDED(hr)) frame.SetResultText(subject.get());
    return frame.Finish(hr);
}

HRESULT CCryptoAgent::GetSignaturePublicCertSN(BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("GetSignaturePublicCertSN"), pbstrResult);
    if (m_pSignatureCert == NULL)
        return frame.Finish(frame.Step(NPK_E_CERT_NOT_READY, TEXT("Certificate is not ready.")));

    BYTE* pbSerial = NULL;
    DWORD cbSerial = 0;
    HRESULT hr = S_OK;
    {
        TraceHelper query("QueryCertContextInfo");
        hr = frame.Step(GetCertSerialNumber(m_pSignatureCert, &pbSerial, &cbSerial), TEXT("QueryCertContextInfo"));
    }
    LPWSTR pwszSerial = NULL;
    if (SUCCEEDED(hr))
        hr = frame.Step(ConvertBinaryDataToString(cbSerial, pbSerial, &pwszSerial), TEXT("FormatStringFromData"));
    delete[] pbSerial;
    std::unique_ptr<WCHAR[]> serial(pwszSerial);
    if (SUCCEEDED(hr)) frame.SetResultText(serial.get());
    return frame.Finish(hr);
}
