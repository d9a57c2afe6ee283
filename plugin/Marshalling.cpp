// ConverNPStringtoNULLEndString and StringToNPVariant.
#include "plugin/Marshalling.h"

#include <string.h>

#include <new>

#include "kernel/Encoding.h"
#include "trace/Trace.h"

HRESULT ConverNPStringtoNULLEndString(char** ppszDest, const NPUTF8* pszSrc, uint32_t cbSrc, bool bSecret)
{
    TraceHelper trace("ConverNPStringtoNULLEndString");
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_GATES, 10, static_cast<LONG>(cbSrc)));
    if (ppszDest == NULL || (pszSrc == NULL && cbSrc != 0)) return E_POINTER;

    char* pszDest = new (std::nothrow) char[static_cast<size_t>(cbSrc) + 1];
    *ppszDest = pszDest;
    if (pszDest == NULL) {
        TraceStep(E_OUTOFMEMORY, TEXT("New Memory"));
        return E_OUTOFMEMORY;
    }
    memset(pszDest, 0, static_cast<size_t>(cbSrc) + 1);
    if (cbSrc != 0) memcpy(pszDest, pszSrc, cbSrc);

    // Passwords never go to the trace, not even in part.
    if (bSecret)
        NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_GATES, 12, static_cast<LONG>(cbSrc)));
    else
        NPK_TRACE(TRACE_INFORMATION, TraceMsgA(TRACE_GUID_GATES, 11, pszDest));
    return S_OK;
}

bool StringToNPVariant(const char* pszText, NPVariant* pResult)
{
    TraceHelper trace("StringToNPVariant");
    if (pszText == NULL || pResult == NULL) {
        NPK_TRACE(TRACE_FAILURE, TraceMsg(TRACE_GUID_SCRIPTABLE, 19));
        return false;
    }
    const size_t cbText = strlen(pszText);
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_SCRIPTABLE, 20, static_cast<LONG>(cbText)));
    if (cbText >= 0xFFFFFFFFu) {
        NPK_TRACE(TRACE_FAILURE, TraceMsg(TRACE_GUID_SCRIPTABLE, 21));
        return false;
    }

    char* pszCopy = static_cast<char*>(NPN_MemAlloc(static_cast<uint32_t>(cbText + 1)));
    if (pszCopy == NULL) {
        NPK_TRACE(TRACE_FAILURE, TraceMsg(TRACE_GUID_SCRIPTABLE, 21));
        return false;
    }
    memset(pszCopy, 0, cbText + 1);
    memcpy(pszCopy, pszText, cbText);
    STRINGN_TO_NPVARIANT(pszCopy, strlen(pszCopy), *pResult);
    return true;
}

HRESULT ResultTextToUtf8(LPCWSTR pwszText, char** ppszText, size_t* pcbText)
{
    if (ppszText == NULL || pcbText == NULL) return E_POINTER;
    *ppszText = NULL;
    *pcbText = 0;
    if (pwszText == NULL) return UTF16ToUTF8(pwszText, ppszText, NULL);
    const size_t cch = static_cast<size_t>(lstrlenW(pwszText));
    char* pszText = new (std::nothrow) char[cch + 1];
    if (pszText == NULL) return E_OUTOFMEMORY;
    // Narrowed while checked; the first unit that is not ASCII hands the text to UTF16ToUTF8.
    for (size_t i = 0; i < cch; ++i) {
        if (pwszText[i] >= 0x80) {
            delete[] pszText;
            UINT cb = 0;
            HRESULT hr = UTF16ToUTF8(pwszText, ppszText, &cb);
            if (SUCCEEDED(hr)) *pcbText = cb;
            return hr;
        }
        pszText[i] = static_cast<char>(pwszText[i]);
    }
    pszText[cch] = '\0';
    *ppszText = pszText;
    *pcbText = cch;
    return S_OK;
}
