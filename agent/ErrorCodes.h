// The rule that turns the thread's last Win32 error into an HRESULT, for every layer.
#pragma once

#include <windows.h>

// e <= 0 (as a signed value) is returned unchanged; otherwise (e & 0xFFFF) | 0x80070000,
// keeping bit 29 so that an application-defined error becomes one of the system's own codes.
HRESULT HResultFromLastError();
HRESULT HResultFromWin32Error(DWORD dwError);

// For a platform call that reported failure: the HRESULT of the last error, and E_FAIL when
// the call left no error behind, so that a failure is never reported as success.
HRESULT HResultFromFailedCall();
