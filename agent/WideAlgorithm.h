// The envelope operations' algorithm identifier, a narrow constant, as the BSTR the general
// operations take.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <memory>

#include "agent/AgentFrame.h"
#include "kernel/Encoding.h"

class WideAlgorithm {
public:
    WideAlgorithm() = default;
    WideAlgorithm(const WideAlgorithm&) = delete;
    WideAlgorithm& operator=(const WideAlgorithm&) = delete;
    ~WideAlgorithm()
    {
        if (m_bstr != NULL) SysFreeString(m_bstr);
    }

    // Traced under "UTF8ToUTF16" when it fails.
    HRESULT Set(const CAgentFrame& frame, const char* pszAlgorithm)
    {
        LPWSTR pwsz = NULL;
        HRESULT hr = UTF8ToUTF16(pszAlgorithm, &pwsz, NULL);
        std::unique_ptr<WCHAR[]> wide(pwsz);
        if (SUCCEEDED(hr)) {
            // The general operation takes a BSTR, so it gets a real one.
            m_bstr = SysAllocString(wide.get());
            if (m_bstr == NULL) hr = E_OUTOFMEMORY;
        }
        if (FAILED(hr)) frame.Step(hr, TEXT("UTF8ToUTF16"));
        return hr;
    }
    BSTR Get() const { return m_bstr; }

private:
    BSTR m_bstr = NULL;
};
