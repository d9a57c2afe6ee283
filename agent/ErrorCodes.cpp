// Last-error to HRESULT conversion.
#include "agent/ErrorCodes.h"

HRESULT HResultFromWin32Error(DWORD dwError)
{
    if (static_cast<LONG>(dwError) <= 0) return static_cast<HRESULT>(dwError);
    DWORD code = (dwError & 0xFFFF) | 0x80070000;
    if ((dwError & 0x20000000) != 0) code |= 0x20000000;
    return static_cast<HRESULT>(code);
}

HRESULT HResultFromLastError()
{
    return HResultFromWin32Error(GetLastError());
}

HRESULT HResultFromFailedCall()
{
    HRESULT hr = HResultFromLastError();
    return FAILED(hr) ? hr : E_FAIL;
}
