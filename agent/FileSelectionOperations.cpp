// CCryptoAgent: choosing certificates from files the page names: a PFX file (with its
// password) for signing or decrypting, a DER or Base64 certificate file for encrypting or for
// checking PKCS#1 signatures.
#include "agent/CryptoAgent.h"

#include <memory>

#include "agent/AgentFrame.h"
#include "agent/ErrorCodes.h"
#include "agent/HandleGuards.h"
#include "agent/SubjectText.h"
#include "kernel/CertificateFilters.h"
#include "kernel/CertificateQueries.h"
#include "kernel/Encoding.h"
#include "kernel/FilePaths.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

constexpr int kUsageSign = 1;
constexpr int kUsageEncrypt = 2;
constexpr int kUsageDecrypt = 3;

// The file's bytes, read after the path checks.
HRESULT ReadPageFile(const CAgentFrame& frame, BSTR bstrFilePath, std::unique_ptr<BYTE[]>& data, DWORD* pcbData)
{
    HRESULT hr = frame.Step(IsMaliciousFilePathName(bstrFilePath, NPK_PATH_SOURCE),
                            TEXT("IsMaliciousFilePathName (Kernel) FAILED."));
    if (FAILED(hr)) return hr;
    BYTE* pbData = NULL;
    hr = frame.Step(ReadFileSimple(bstrFilePath, &pbData, pcbData), TEXT("ReadFileSimple (Kernel) FAILED."));
    data.reset(pbData);
    return hr;
}

// A certificate from DER bytes, or from Base64 text of them.
HRESULT CertificateFromFileBytes(const CAgentFrame& frame, const BYTE* pbData, DWORD cbData,
                                 LPCWSTR pwszDecodeStep, CertGuard& cert)
{
    cert.pCert = CertCreateCertificateContext(kEncoding, pbData, cbData);
    if (cert.pCert != NULL) return S_OK;

    BYTE* pbDecoded = NULL;
    int cbDecoded = 0;
    HRESULT hr = frame.Step(Base64DecodeEx(reinterpret_cast<const char*>(pbData), static_cast<int>(cbData),
                                           &pbDecoded, &cbDecoded),
                            pwszDecodeStep);
    std::unique_ptr<BYTE[]> decoded(pbDecoded);
    if (FAILED(hr)) return hr;
    cert.pCert = CertCreateCertificateContext(kEncoding, decoded.get(), static_cast<DWORD>(cbDecoded));
    if (cert.pCert == NULL)
        return frame.Step(HResultFromFailedCall(), TEXT("Try again-CertCreateCertificateContext"));
    return S_OK;
}

// Imports the PFX file and lists its certificates whose private key can be obtained.
HRESULT ImportPfx(const CAgentFrame& frame, const BYTE* pbData, DWORD cbData, LPCWSTR pwszPassword,
                  StoreGuard& store, ListGuard& keyBearing)
{
    CRYPT_DATA_BLOB blob;
    blob.cbData = cbData;
    blob.pbData = const_cast<BYTE*>(pbData);
    store.hStore = PFXImportCertStore(&blob, pwszPassword, CRYPT_USER_KEYSET);
    if (store.hStore == NULL) return frame.Step(HResultFromFailedCall(), TEXT("PFXImportCertStore"));

    CertificateFilter filter = {};
    filter.requirePrivateKey = 1;
    HRESULT hr = frame.Step(FilterCertificatesFromStore(store.hStore, &filter, keyBearing.list),
                            TEXT("FilterCertificatesFromStore (Kernel) FAILED."));
    if (FAILED(hr)) return hr;
    if (keyBearing.list.empty()) return frame.Step(NPK_E_NO_AVAILABLE_CERT, TEXT("No available certificate."));
    return S_OK;
}

}  // namespace

HRESULT CCryptoAgent::SelectCertificateByFile(int nUsage, BSTR bstrFilePath, BSTR bstrPassword, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SelectCertificateByFile"), pbstrResult);
    if (bstrFilePath == NULL || bstrFilePath[0] == 0)
        return frame.Finish(frame.Step(E_INVALIDARG, TEXT("Invalid parameter.")));
    LPCWSTR pwszPassword = bstrPassword != NULL ? bstrPassword : TEXT("");

    std::unique_ptr<BYTE[]> data;
    DWORD cbData = 0;
    HRESULT hr = ReadPageFile(frame, bstrFilePath, data, &cbData);
    if (FAILED(hr)) return frame.Finish(hr);

    if (nUsage == kUsageSign || nUsage == kUsageDecrypt) {
        StoreGuard store;
        ListGuard keyBearing;
        hr = ImportPfx(frame, data.get(), cbData, pwszPassword, store, keyBearing);
        if (FAILED(hr)) return frame.Finish(hr);
        hr = SetSubjectText(frame, keyBearing.list[0]);
        if (FAILED(hr)) return frame.Finish(hr);

        if (nUsage == kUsageSign) {
            // The agent keeps every key-bearing certificate of the file, in file order, and signs
            // with the first; the imported store closes, the certificates live on by reference.
            ReleaseCertificateList(m_vecSignCerts);
            hr = frame.Step(FilterCertificates(NULL, m_vecSignCerts, keyBearing.list),
                            TEXT("FilterCertificates (Kernel) FAILED."));
            return frame.Finish(hr);
        }
        // Decryption later searches the whole imported store for its key.
        CloseStoreList(m_vecDecryptStores);
        m_vecDecryptStores.push_back(store.Release());
        return frame.Finish(S_OK);
    }
    if (nUsage == kUsageEncrypt) {
        CertGuard cert;
        hr = CertificateFromFileBytes(frame, data.get(), cbData, TEXT("Base64DecodeEx"), cert);
        if (FAILED(hr)) return frame.Finish(hr);
        hr = SetSubjectText(frame, cert.pCert);
        if (FAILED(hr)) return frame.Finish(hr);
        ReleaseCertificateList(m_vecEncryptCerts);
        m_vecEncryptCerts.push_back(cert.Release());
        return frame.Finish(S_OK);
    }
    return frame.Finish(frame.Step(NPK_E_INVALID_CERT_USAGE, TEXT("Invalid certificate usage.")));
}

HRESULT CCryptoAgent::SelectSignCertificateWithoutPrivateKey(BSTR bstrCertificateFile, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SelectSignCertificateWithoutPrivateKey"), pbstrResult);
    std::unique_ptr<BYTE[]> data;
    DWORD cbData = 0;
    HRESULT hr = ReadPageFile(frame, bstrCertificateFile, data, &cbData);
    if (FAILED(hr)) return frame.Finish(hr);

    CertGuard cert;
    hr = CertificateFromFileBytes(frame, data.get(), cbData, TEXT("Base64 decode failed."), cert);
    if (FAILED(hr)) return frame.Finish(hr);
    hr = SetSubjectText(frame, cert.pCert);
    if (FAILED(hr)) return frame.Finish(hr);
    ReleaseCertificateList(m_vecSignCerts);
    m_vecSignCerts.push_back(cert.Release());
    return frame.Finish(S_OK);
}

HRESULT CCryptoAgent::SelectSignCertificateByPFXFile(BSTR bstrPFXFile, BSTR bstrPassword, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SelectSignCertificateByPFXFile"), pbstrResult);
    HRESULT hr = SelectCertificateByFile(kUsageSign, bstrPFXFile, bstrPassword, pbstrResult);
    if (FAILED(hr)) frame.Step(hr, TEXT("SelectCertificateByFile (R) FAILED."));
    return frame.Finish(hr);
}

HRESULT CCryptoAgent::SelectEncryptCertificateByCERFile(BSTR bstrCertificateFile, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SelectEncryptCertificateByCERFile"), pbstrResult);
    HRESULT hr = SelectCertificateByFile(kUsageEncrypt, bstrCertificateFile, NULL, pbstrResult);
    if (FAILED(hr)) frame.Step(hr, TEXT("SelectCertificateByFile (R) FAILED."));
    return frame.Finish(hr);
}

HRESULT CCryptoAgent::SelectDecryptCertificateByPFXFile(BSTR bstrPFXFile, BSTR bstrPassword, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SelectDecryptCertificateByPFXFile"), pbstrResult);
    HRESULT hr = SelectCertificateByFile(kUsageDecrypt, bstrPFXFile, bstrPassword, pbstrResult);
    if (FAILED(hr)) frame.Step(hr, TEXT("SelectCertificateByFile (R) FAILED."));
    return frame.Finish(hr);
}
