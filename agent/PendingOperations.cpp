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

