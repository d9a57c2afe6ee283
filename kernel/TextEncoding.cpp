// UTF-8 <-> UTF-16 through the system conversion, hexadecimal text and byte reversal.
#include "kernel/Encoding.h"

#include <cstring>
#include <new>

#include "agent/ErrorCodes.h"
#include "trace/Trace.h"

HRESULT UTF16ToUTF8(LPCWSTR pwszSrc, char** ppszDest, UINT* pcbDest)
{
    TraceHelper trace("UTF16ToUTF8");
    if (ppszDest != NULL) *ppszDest = NULL;
    if (pcbDest != NULL) *pcbDest = 0;
    if (pwszSrc == NULL || ppszDest == NULL) {
        NPK_TRACE(TRACE_ERROR, TraceMsg(TRACE_GUID_CRYPTO, 10));
        return E_POINTER;
    }

    int cchSrc = lstrlenW(pwszSrc) + 1;  // the NUL is converted too
    int cbDest = WideCharToMultiByte(CP_UTF8, 0, pwszSrc, cchSrc, NULL, 0, NULL, NULL);
    if (cbDest <= 0) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("WideCharToMultiByte"));
        return hr;
    }

    char* pszDest = new (std::nothrow) char[static_cast<size_t>(cbDest)];
    if (pszDest == NULL) {
        TraceStep(E_OUTOFMEMORY, TEXT("New Memory"));
        return E_OUTOFMEMORY;
    }
    std::memset(pszDest, 0, static_cast<size_t>(cbDest));
    *ppszDest = pszDest;

    if (WideCharToMultiByte(CP_UTF8, 0, pwszSrc, cchSrc, pszDest, cbDest, NULL, NULL) <= 0) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("WideCharToMultiByte"));
        return hr;
    }
    if (pcbDest != NULL) *pcbDest = static_cast<UINT>(cbDest - 1);
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_CRYPTO, 11, cbDest - 1));
    return S_OK;
}

HRESULT UTF8ToUTF16(const char* pszSrc, LPWSTR* ppwszDest, UINT* pcchDest)
{
    TraceHelper trace("UTF8ToUTF16");
    if (ppwszDest != NULL) *ppwszDest = NULL;
    if (pcchDest != NULL) *pcchDest = 0;
    if (pszSrc == NULL || ppwszDest == NULL) {
        NPK_TRACE(TRACE_ERROR, TraceMsg(TRACE_GUID_CRYPTO, 12));
        return E_POINTER;
    }

    size_t cbLen = std::strlen(pszSrc);
    if (cbLen >= 0x7FFFFFFF) {
        TraceStep(E_INVALIDARG, TEXT("MultiByteToWideChar"));
        return E_INVALIDARG;
    }
    int cbSrc = static_cast<int>(cbLen) + 1;
    int cchDest = MultiByteToWideChar(CP_UTF8, 0, pszSrc, cbSrc, NULL, 0);
    if (cchDest <= 0) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("MultiByteToWideChar"));
        return hr;
    }

    LPWSTR pwszDest = new (std::nothrow) WCHAR[static_cast<size_t>(cchDest)];
    if (pwszDest == NULL) {
        TraceStep(E_OUTOFMEMORY, TEXT("New Memory"));
        return E_OUTOFMEMORY;
    }
    std::memset(pwszDest, 0, sizeof(WCHAR) * static_cast<size_t>(cchDest));
    *ppwszDest = pwszDest;

    if (MultiByteToWideChar(CP_UTF8, 0, pszSrc, cbSrc, pwszDest, cchDest) <= 0) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("MultiByteToWideChar"));
        return hr;
    }
    if (pcchDest != NULL) *pcchDest = static_cast<UINT>(cchDest - 1);
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_CRYPTO, 13, cchDest - 1));
    return S_OK;
}

HRESULT ConvertBinaryDataToString(UINT cbData, const BYTE* pbData, LPWSTR* ppwszText)
{
    TraceHelper trace("ConvertBinaryDataToString");
    if (ppwszText == NULL) return E_POINTER;
    *ppwszText = NULL;
    if (pbData == NULL && cbData != 0) {
        NPK_TRACE(TRACE_ERROR, TraceMsg(TRACE_GUID_CRYPTO, 15));
        return E_POINTER;
    }
    // 2 * cbData + 1 must not wrap around in a 32-bit size.
    if (cbData > 0x3FFFFFFE) {
        TraceStep(E_OUTOFMEMORY, TEXT("Dispatch memory failed."));
        return E_OUTOFMEMORY;
    }

    size_t cch = 2 * static_cast<size_t>(cbData) + 1;
    LPWSTR pwszText = new (std::nothrow) WCHAR[cch];
    if (pwszText == NULL) {
        TraceStep(E_OUTOFMEMORY, TEXT("Dispatch memory failed."));
        return E_OUTOFMEMORY;
    }
    std::memset(pwszText, 0, sizeof(WCHAR) * cch);

    static const char kDigits[] = "0123456789abcdef";
    for (UINT i = 0; i < cbData; ++i) {
        BYTE b = pbData[cbData - 1 - i];
        pwszText[2 * i] = static_cast<WCHAR>(kDigits[b >> 4]);
        pwszText[2 * i + 1] = static_cast<WCHAR>(kDigits[b & 15]);
    }
    *ppwszText = pwszText;
    NPK_TRACE(TRACE_INFORMATION, TraceMsgW(TRACE_GUID_CRYPTO, 14, pwszText));
    return S_OK;
}

void SwapByteOrder(BYTE* pbData, UINT cbData)
{
    TraceHelper trace("SwapByteOrder");
    if (pbData == NULL || cbData < 2) return;
    for (UINT front = 0, back = cbData - 1; front < back; ++front, --back) {
        BYTE t = pbData[front];
        pbData[front] = pbData[back];
        pbData[back] = t;
    }
}
