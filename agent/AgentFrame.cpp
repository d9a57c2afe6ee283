// The shared frame of the agent's operations.
#include "agent/AgentFrame.h"

CAgentFrame::CAgentFrame(HRESULT& hrLastError, LPCSTR pszName, LPCWSTR pwszName, BSTR* pbstrResult,
                         LastError lastError)
    : m_trace(pszName), m_hrLastError(hrLastError), m_pwszName(pwszName), m_pbstrResult(pbstrResult),
      m_pbResult(NULL), m_lastError(lastError)
{
    if (m_pbstrResult != NULL) *m_pbstrResult = NULL;
}

CAgentFrame::CAgentFrame(HRESULT& hrLastError, LPCSTR pszName, LPCWSTR pwszName, VARIANT_BOOL* pbResult)
    : m_trace(pszName), m_hrLastError(hrLastError), m_pwszName(pwszName), m_pbstrResult(NULL),
      m_pbResult(pbResult), m_lastError(LastError::Store)
{
    if (m_pbResult != NULL) *m_pbResult = VARIANT_FALSE;
}

CAgentFrame::CAgentFrame(HRESULT& hrLastError, LPCSTR pszName, LPCWSTR pwszName)
    : m_trace(pszName), m_hrLastError(hrLastError), m_pwszName(pwszName), m_pbstrResult(NULL),
      m_pbResult(NULL), m_lastError(LastError::Store)
{
}

HRESULT CAgentFrame::Step(HRESULT hr, LPCWSTR pwszDescription) const
{
    TraceStepEx(hr, m_pwszName, pwszDescription);
    return hr;
}

void CAgentFrame::SetResultText(LPCWSTR pwszText)
{
    m_text.Assign(pwszText);
}

HRESULT CAgentFrame::Finish(HRESULT hr)
{
    if (m_pbstrResult != NULL && *m_pbstrResult == NULL) {
        if (SUCCEEDED(hr) && !m_text.IsNull()) {
            *m_pbstrResult = m_text.Detach();
        } else {
            CAgentString empty(TEXT(""));
            *m_pbstrResult = empty.Detach();
        }
    }
    if (m_pbResult != NULL) *m_pbResult = SUCCEEDED(hr) ? VARIANT_TRUE : VARIANT_FALSE;
    if (m_lastError == LastError::Store) m_hrLastError = hr;
    return hr;
}
