// The operations whose steps are not built yet. Each runs the shared frame and stops at its
// first step; the areas that implement them move them out of this file one by one.
#include "agent/CryptoAgent.h"

#include "agent/AgentFrame.h"

namespace {

HRESULT NotAvailableYet(const CAgentFrame& frame)
{
    return frame.Step(E_NOTIMPL, TEXT("Operation is not available yet."));
}

}  // namespace

HRESULT CCryptoAgent::SelectCertificate(int nUsage, BSTR bstrSubjectDNFilter, BSTR bstrIssuerDNFilter, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SelectCertificate"), pbstrResult);
    return frame.Finish(NotAvailableYet(frame));
}

HRESULT CCryptoAgent::EncryptFileW(BSTR bstrSourceFile, BSTR bstrDestinationFile, int nEnvelopeType, BSTR bstrEncryptionAlgorithm)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("EncryptFileW"));
    return frame.Finish(NotAvailableYet(frame));
}

HRESULT CCryptoAgent::DecryptFileW(BSTR bstrEnvelopeFile, BSTR bstrDestinationFile)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("DecryptFileW"));
    return frame.Finish(NotAvailableYet(frame));
}

HRESULT CCryptoAgent::SelectSignCertificate(BSTR bstrSubjectDNFilter, BSTR bstrIssuerDNFilter, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SelectSignCertificate"), pbstrResult);
    return frame.Finish(NotAvailableYet(frame));
}

HRESULT CCryptoAgent::SelectEncryptCertificate(BSTR bstrSubjectDNFilter, BSTR bstrIssuerDNFilter, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SelectEncryptCertificate"), pbstrResult);
    return frame.Finish(NotAvailableYet(frame));
}

HRESULT CCryptoAgent::SelectDecryptCertificates(BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SelectDecryptCertificates"), pbstrResult);
    return frame.Finish(NotAvailableYet(frame));
}

HRESULT CCryptoAgent::EncryptAsEnvelopeFilePKCS7(BSTR bstrSourceFile, BSTR bstrDestinationFile, VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("EncryptAsEnvelopeFilePKCS7"), pbResult);
    return frame.Finish(NotAvailableYet(frame));
}

HRESULT CCryptoAgent::EncryptAsEnvelopeFile(BSTR bstrSourceFile, BSTR bstrDestinationFile, VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("EncryptAsEnvelopeFile"), pbResult);
    return frame.Finish(NotAvailableYet(frame));
}

HRESULT CCryptoAgent::DecryptEnvelopeFilePKCS7(BSTR bstrEnvelopeFile, BSTR bstrDestinationFile, VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("DecryptEnvelopeFilePKCS7"), pbResult);
    return frame.Finish(NotAvailableYet(frame));
}

HRESULT CCryptoAgent::DecryptEnvelopeFile(BSTR bstrEnvelopeFile, BSTR bstrDestinationFile, VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("DecryptEnvelopeFile"), pbResult);
    return frame.Finish(NotAvailableYet(frame));
}

HRESULT CCryptoAgent::EncryptAsEnvelopeFilePKCS7_3DES(BSTR bstrSourceFile, BSTR bstrDestinationFile, VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("EncryptAsEnvelopeFilePKCS7_3DES"), pbResult);
    return frame.Finish(NotAvailableYet(frame));
}

HRESULT CCryptoAgent::EncryptAsEnvelopeFile_3DES(BSTR bstrSourceFile, BSTR bstrDestinationFile, VARIANT_BOOL* pbResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("EncryptAsEnvelopeFile_3DES"), pbResult);
    return frame.Finish(NotAvailableYet(frame));
}
