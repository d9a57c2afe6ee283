// CCryptoAgent: encrypting files into enveloped-data files for the chosen encryption
// certificates, and decrypting envelope files with a key of the chosen decryption stores.
// The output file is always a new file; the work is streamed by the kernel.
#include "agent/CryptoAgent.h"

#include <shlwapi.h>

#include <memory>

#include "agent/AgentFrame.h"
#include "agent/ErrorCodes.h"
#include "agent/WideAlgorithm.h"
#include "kernel/Encoding.h"
#include "kernel/FileEnvelopes.h"
#include "kernel/FilePaths.h"

namespace {

// The envelope type that identifies recipients by subject key identifier; every other value
// gives the PKCS#7 form (issuer and serial number).
constexpr int kEnvelopeKeyId = 2;
constexpr int kEnvelopePkcs7 = 1;

constexpr char kAlgorithmRc4[] = "1.2.840.113549.3.4";
constexpr char kAlgorithmDes3[] = "1.2.840.113549.3.7";

bool IsEmpty(BSTR bstr)
{
    return bstr == NULL || bstr[0] == 0;
}

// A source that must exist, then the path checks for the source and for the new output file.
HRESULT CheckPaths(const CAgentFrame& frame, BSTR bstrSource, BSTR bstrDestination)
{
    if (!PathFileExistsW(bstrSource)) return frame.Step(HResultFromFailedCall(), TEXT("PathFileExists"));
    HRESULT hr = frame.Step(IsMaliciousFilePathName(bstrSource, NPK_PATH_SOURCE),
                            TEXT("IsMaliciousFilePathName (Kernel) FAILED."));
    if (FAILED(hr)) return hr;
    return frame.Step(IsMaliciousFilePathName(bstrDestination, NPK_PATH_TARGET),
                      TEXT("IsMaliciousFilePathName (Kernel) FAILED."));
}

}  // namespace

HRESULT CCryptoAgent::EncryptFileW(BSTR bstrSourceFile, BSTR bstrDestinationFile, int nEnvelopeType,
                                   BSTR bstrEncryptionAlgorithm)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("EncryptFileW"));
    if (IsEmpty(bstrSourceFile) || IsEmpty(bstrDestinationFile))
        return frame.Finish(frame.Step(E_INVALIDARG, TEXT("Invalid parameter.")));
    if (IsEmpty(bstrEncryptionAlgorithm))
        return frame.Finish(frame.Step(E_INVALIDARG, TEXT("Invalid parameter(bstrEncryptionAlgorithm)")));
    HRESULT hr = CheckPaths(frame, bstrSourceFile, bstrDestinationFile);
    if (FAILED(hr)) return frame.Finish(hr);

    char* pszAlgorithm = NULL;
    UINT cbAlgorithm = 0;
    hr = frame.Step(UTF16ToUTF8(bstrEncryptionAlgorithm, &pszAlgorithm, &cbAlgorithm), TEXT("UTF16ToUTF8."));
    std::unique_ptr<char[]> algorithm(pszAlgorithm);
    if (FAILED(hr)) return frame.Finish(hr);
    if (m_vecEncryptCerts.empty())
        return frame.Finish(frame.Step(NPK_E_CERT_NOT_READY, TEXT("No certificate is ready.")));

    const BOOL bKeyId = (nEnvelopeType == kEnvelopeKeyId) ? TRUE : FALSE;
    return frame.Finish(frame.Step(EncryptPlaintextFiletoEnvelopeFile(bstrSourceFile, bstrDestinationFile,
                                                                      m_vecEncryptCerts, algorithm.get(), bKeyId),
                                   TEXT("EncryptDatatoEnvelope (Kernel) FAILED.")));
}

HRESULT CCryptoAgent::DecryptFileW(BSTR bstrEnvelopeFile, BSTR bstrDestinationFile)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("DecryptFileW"));
    // An empty envelope path is left to the existence test, which names the system's error.
    if (bstrEnvelopeFile == NULL || IsEmpty(bstrDestinationFile))
        return frame.Finish(frame.Step(E_INVALIDARG, TEXT("Invalid parameter.")));
    HRESULT hr = CheckPaths(frame, bstrEnvelopeFile, bstrDestinationFile);
    if (FAILED(hr)) return frame.Finish(hr);
    if (m_vecDecryptStores.empty())
        return frame.Finish(frame.Step(NPK_E_CERT_NOT_READY, TEXT("Certificate is not ready.")));
    return frame.Finish(frame.Step(DecryptEnvelopeFiletoPlaintextFile(m_vecDecryptStores, bstrEnvelopeFile,
                                                                      bstrDestinationFile),
                                   TEXT("DecryptEnvelopeFiletoPlaintextFile (Kernel) FAILED.")));
}

namespace {

// One script-facing file encryption: the general operation with a fixed type and algorithm.
HRESULT EncryptFileAs(CCryptoAgent& agent, CAgentFrame& frame, BSTR bstrSourceFile, BSTR bstrDestinationFile,
                      int nEnvelopeType, const char* pszAlgorithm, LPCWSTR pwszFailure)
{
    WideAlgorithm algorithm;
    HRESULT hr = algorithm.Set(frame, pszAlgorithm);
    if (FAILED(hr)) return frame.Finish(hr);
    hr = agent.EncryptFileW(bstrSourceFile, bstrDestinationFile, nEnvelopeType, algorithm.Get());
    if (FAILED(hr)) frame.Step(hr, pwszFailure);
    return frame.Finish(FAILED(hr) ? hr : S_OK);
}

}  // namespace

HRESULT CCryptoAgent::EncryptAsEnvelopeFile(BSTR bstrSourceFile, BSTR bstrDestinationFile, VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("EncryptAsEnvelopeFile"), pbResult);
    return EncryptFileAs(*this, frame, bstrSourceFile, bstrDestinationFile, kEnvelopeKeyId, kAlgorithmRc4,
                         TEXT("EncryptFile (R) FAILED."));
}

HRESULT CCryptoAgent::EncryptAsEnvelopeFilePKCS7(BSTR bstrSourceFile, BSTR bstrDestinationFile,
                                                 VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("EncryptAsEnvelopeFilePKCS7"), pbResult);
    return EncryptFileAs(*this, frame, bstrSourceFile, bstrDestinationFile, kEnvelopePkcs7, kAlgorithmRc4,
                         TEXT("EncryptFile (R) FAILED."));
}

HRESULT CCryptoAgent::EncryptAsEnvelopeFile_3DES(BSTR bstrSourceFile, BSTR bstrDestinationFile,
                                                 VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("EncryptAsEnvelopeFile_3DES"), pbResult);
    return EncryptFileAs(*this, frame, bstrSourceFile, bstrDestinationFile, kEnvelopeKeyId, kAlgorithmDes3,
                         TEXT("EncryptFile"));
}

HRESULT CCryptoAgent::EncryptAsEnvelopeFilePKCS7_3DES(BSTR bstrSourceFile, BSTR bstrDestinationFile,
                                                      VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("EncryptAsEnvelopeFilePKCS7_3DES"), pbResult);
    return EncryptFileAs(*this, frame, bstrSourceFile, bstrDestinationFile, kEnvelopePkcs7, kAlgorithmDes3,
                         TEXT("EncryptFile"));
}

HRESULT CCryptoAgent::DecryptEnvelopeFile(BSTR bstrEnvelopeFile, BSTR bstrDestinationFile, VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("DecryptEnvelopeFile"), pbResult);
    HRESULT hr = DecryptFileW(bstrEnvelopeFile, bstrDestinationFile);
    if (FAILED(hr)) frame.Step(hr, TEXT("DecryptFile (R) FAILED."));
    return frame.Finish(FAILED(hr) ? hr : S_OK);
}

HRESULT CCryptoAgent::DecryptEnvelopeFilePKCS7(BSTR bstrEnvelopeFile, BSTR bstrDestinationFile,
                                               VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("DecryptEnvelopeFilePKCS7"), pbResult);
    HRESULT hr = DecryptFileW(bstrEnvelopeFile, bstrDestinationFile);
    if (FAILED(hr)) frame.Step(hr, TEXT("DecryptFile (R) FAILED."));
    return frame.Finish(FAILED(hr) ? hr : S_OK);
}
