// The frame that every CCryptoAgent operation runs in: entry and exit traces, the
// out-parameter reset on entry and filled at the end, step traces of the form
// "CCryptoAgent::Name - description", and the final code stored as the agent's last error.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "agent/AgentString.h"
#include "trace/Trace.h"

// Both spellings of an operation's qualified name, from one literal.
#define NPK_AGENT_OPERATION(name) "CCryptoAgent::" name, TEXT("CCryptoAgent::") TEXT(name)

class CAgentFrame {
public:
    enum class LastError { Store, Keep };

    // An operation with a text result.
    CAgentFrame(HRESULT& hrLastError, LPCSTR pszName, LPCWSTR pwszName, BSTR* pbstrResult,
                LastError lastError = LastError::Store);
    // An operation with a yes/no result.
    CAgentFrame(HRESULT& hrLastError, LPCSTR pszName, LPCWSTR pwszName, VARIANT_BOOL* pbResult);
    // An operation without an out-parameter.
    CAgentFrame(HRESULT& hrLastError, LPCSTR pszName, LPCWSTR pwszName);
    CAgentFrame(const CAgentFrame&) = delete;
    CAgentFrame& operator=(const CAgentFrame&) = delete;

    LPCWSTR Name() const { return m_pwszName; }

    // Traces one step's outcome and returns its code, so a step reads
    //     if (FAILED(hr = frame.Step(hr, TEXT("SignData (Kernel) FAILED.")))) ...
    HRESULT Step(HRESULT hr, LPCWSTR pwszDescription) const;

    // The text of a successful operation; copied now, handed out by Finish.
    void SetResultText(LPCWSTR pwszText);

    // Ends the operation with hr: fills the out-parameter (the result text on success, the
    // empty string on failure; the flag true only on success), stores hr as the agent's
    // last error unless told to keep it, and returns hr.
    HRESULT Finish(HRESULT hr);

private:
    TraceHelper m_trace;
    HRESULT& m_hrLastError;
    LPCWSTR m_pwszName;
    BSTR* m_pbstrResult;
    VARIANT_BOOL* m_pbResult;
    LastError m_lastError;
    CAgentString m_text;
};
