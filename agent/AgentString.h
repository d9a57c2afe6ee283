// The owner of a BSTR result. Allocation failure is the one error that leaves the agent
// as an exception, carrying E_OUTOFMEMORY.
#pragma once

#include <windows.h>
#include <oleauto.h>

class CAgentStringError {
public:
    explicit CAgentStringError(HRESULT hr) : m_hr(hr) {}
    HRESULT Error() const { return m_hr; }

private:
    HRESULT m_hr;
};

class CAgentString {
public:
    CAgentString() : m_bstr(NULL) {}
    explicit CAgentString(LPCWSTR pwszText) : m_bstr(NULL) { Assign(pwszText); }
    ~CAgentString() { Clear(); }
    CAgentString(const CAgentString&) = delete;
    CAgentString& operator=(const CAgentString&) = delete;

    // Copies the text; a null text becomes the empty string.
    void Assign(LPCWSTR pwszText)
    {
        BSTR bstr = SysAllocString(pwszText != NULL ? pwszText : TEXT(""));
        if (bstr == NULL) throw CAgentStringError(E_OUTOFMEMORY);
        Clear();
        m_bstr = bstr;
    }
    void Clear()
    {
        if (m_bstr != NULL) SysFreeString(m_bstr);
        m_bstr = NULL;
    }
    bool IsNull() const { return m_bstr == NULL; }
    BSTR Get() const { return m_bstr; }
    // Hands the string to the caller, who frees it with SysFreeString.
    BSTR Detach()
    {
        BSTR bstr = m_bstr;
        m_bstr = NULL;
        return bstr;
    }

private:
    BSTR m_bstr;
};
