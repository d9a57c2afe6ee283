// CCryptoAgent::GetLastErrorDesc: the text of the last result code for the page.
#include "agent/CryptoAgent.h"

#include <strsafe.h>

#include "agent/AgentFrame.h"
#include "plugin/Module.h"

namespace {
const int kDescriptionChars = 512;  // 511 characters and the terminator
}

HRESULT CCryptoAgent::GetLastErrorDesc(BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("GetLastErrorDesc"), pbstrResult,
                      CAgentFrame::LastError::Keep);

    WCHAR wszText[kDescriptionChars] = {0};
    const DWORD code = static_cast<DWORD>(m_hrLastError);
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_AGENT, 10, m_hrLastError));
    if ((code & 0x20000000) != 0) {
        // One of the system's own codes: the low 16 bits name the string.
        if (LoadStringW(g_hModuleInstance, code & 0xFFFF, wszText, kDescriptionChars - 1) <= 0) wszText[0] = 0;
    } else {
        if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, NULL, code, 0, wszText, kDescriptionChars - 1, NULL) == 0)
            wszText[0] = 0;
    }
    wszText[kDescriptionChars - 1] = 0;

    // The code line goes after whatever text was found; truncated so the whole stays in 511.
    int used = lstrlenW(wszText);
    StringCchPrintfW(wszText + used, static_cast<size_t>(kDescriptionChars - used), TEXT("\n(0x%08x)"), code);

    NPK_TRACE(TRACE_INFORMATION, TraceMsgW(TRACE_GUID_AGENT, 11, wszText));
    frame.SetResultText(wszText);
    return frame.Finish(S_OK);
}
