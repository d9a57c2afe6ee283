// How the kernel reports a step: a failure is always traced with its code, a success only as
// progress when information events are on; either way the code is passed on.
#pragma once

#include <windows.h>

#include "agent/ErrorCodes.h"
#include "trace/Trace.h"

namespace npk::kernel {

inline HRESULT Step(HRESULT hr, LPCWSTR pwszStep)
{
    if (FAILED(hr)) {
        TraceStep(hr, pwszStep);
    } else {
        NPK_TRACE(TRACE_INFORMATION, TraceStep(hr, pwszStep));
    }
    return hr;
}

// A platform call that returned FALSE: its last error, never success.
inline HRESULT Failed(LPCWSTR pwszStep)
{
    return Step(HResultFromFailedCall(), pwszStep);
}

}  // namespace npk::kernel
