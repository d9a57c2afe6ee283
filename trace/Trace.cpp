// The event emitters of each argument kind, TraceHelper and TraceStep.
#include <windows.h>
#include <evntrace.h>
#include <strsafe.h>

#include <cstring>

#include "trace/TraceSupport.h"

namespace {

// Keeps the thread's last error across an event, so that tracing never changes what the
// traced code reads next.
class LastErrorKeeper {
public:
    LastErrorKeeper() : m_dwError(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(m_dwError); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD m_dwError;
};

const CHAR kNullTextA[] = "NULL";
const WCHAR kNullTextW[] = TEXT("NULL");
const WCHAR kEmptyTextW[] = TEXT("<NULL>");

// The bytes sent for an 8-bit text, its NUL counted.
void TextArgA(LPCSTR text, PVOID* data, SIZE_T* length)
{
    if (text == NULL) {
        *data = (PVOID)kNullTextA;
        *length = sizeof(kNullTextA);
        return;
    }
    *data = (PVOID)text;
    *length = std::strlen(text) + 1;
}

// The bytes sent for a wide text, its NUL counted; an empty text is shown as "<NULL>".
void TextArgW(LPCWSTR text, PVOID* data, SIZE_T* length)
{
    if (text == NULL) {
        *data = (PVOID)kNullTextW;
        *length = sizeof(kNullTextW);
        return;
    }
    if (text[0] == 0) {
        *data = (PVOID)kEmptyTextW;
        *length = sizeof(kEmptyTextW);
        return;
    }
    *data = (PVOID)text;
    *length = ((SIZE_T)lstrlenW(text) + 1) * sizeof(WCHAR);
}

bool TraceListActive()
{
    return g_pTraceListHead != (void*)&g_pTraceListHead;
}

}  // namespace

// Each emitter also refuses to send while tracing is not initialised, so a direct call that
// bypasses the trace point's test still emits nothing before start-up or after shut-down.

void TraceMsg(const GUID& msgGuid, USHORT number)
{
    if (!TraceListActive()) return;
    LastErrorKeeper keep;
    NPK_TRACE_SEND(msgGuid, number, (PVOID)NULL, (SIZE_T)0);
}

void TraceMsgI32(const GUID& msgGuid, USHORT number, LONG value)
{
    if (!TraceListActive()) return;
    LastErrorKeeper keep;
    NPK_TRACE_SEND(msgGuid, number, (PVOID)&value, (SIZE_T)sizeof(value), (PVOID)NULL, (SIZE_T)0);
}

void TraceMsgI64(const GUID& msgGuid, USHORT number, LONGLONG value)
{
    if (!TraceListActive()) return;
    LastErrorKeeper keep;
    NPK_TRACE_SEND(msgGuid, number, (PVOID)&value, (SIZE_T)sizeof(value), (PVOID)NULL, (SIZE_T)0);
}

void TraceMsgI32x2(const GUID& msgGuid, USHORT number, LONG value1, LONG value2)
{
    if (!TraceListActive()) return;
    LastErrorKeeper keep;
    NPK_TRACE_SEND(msgGuid, number, (PVOID)&value1, (SIZE_T)sizeof(value1), (PVOID)&value2,
                   (SIZE_T)sizeof(value2), (PVOID)NULL, (SIZE_T)0);
}

void TraceMsgA(const GUID& msgGuid, USHORT number, LPCSTR text)
{
    if (!TraceListActive()) return;
    LastErrorKeeper keep;
    PVOID data;
    SIZE_T length;
    TextArgA(text, &data, &length);
    NPK_TRACE_SEND(msgGuid, number, data, length, (PVOID)NULL, (SIZE_T)0);
}

void TraceMsgW(const GUID& msgGuid, USHORT number, LPCWSTR text)
{
    if (!TraceListActive()) return;
    LastErrorKeeper keep;
    PVOID data;
    SIZE_T length;
    TextArgW(text, &data, &length);
    NPK_TRACE_SEND(msgGuid, number, data, length, (PVOID)NULL, (SIZE_T)0);
}

void TraceMsgAI32(const GUID& msgGuid, USHORT number, LPCSTR text, LONG value)
{
    if (!TraceListActive()) return;
    LastErrorKeeper keep;
    PVOID data;
    SIZE_T length;
    TextArgA(text, &data, &length);
    NPK_TRACE_SEND(msgGuid, number, data, length, (PVOID)&value, (SIZE_T)sizeof(value),
                   (PVOID)NULL, (SIZE_T)0);
}

void TraceMsgWI32(const GUID& msgGuid, USHORT number, LPCWSTR text, LONG value)
{
    if (!TraceListActive()) return;
    LastErrorKeeper keep;
    PVOID data;
    SIZE_T length;
    TextArgW(text, &data, &length);
    NPK_TRACE_SEND(msgGuid, number, data, length, (PVOID)&value, (SIZE_T)sizeof(value),
                   (PVOID)NULL, (SIZE_T)0);
}

TraceHelper::TraceHelper(LPCSTR pszFunctionName) : m_pszFunctionName(pszFunctionName)
{
    NPK_TRACE(TRACE_FUNCTION, TraceMsgA(TRACE_GUID_SHARED, 10, m_pszFunctionName));
}

TraceHelper::~TraceHelper()
{
    NPK_TRACE(TRACE_FUNCTION, TraceMsgA(TRACE_GUID_SHARED, 11, m_pszFunctionName));
}

void TraceStep(HRESULT hr, LPCWSTR pwszStep)
{
    if (hr < 0) {
        NPK_TRACE(TRACE_FAILURE, TraceMsgWI32(TRACE_GUID_SHARED, 12, pwszStep, hr));
    } else {
        NPK_TRACE(TRACE_INFORMATION, TraceMsgWI32(TRACE_GUID_SHARED, 13, pwszStep, hr));
    }
}

void TraceStepEx(HRESULT hr, LPCWSTR pwszFunction, LPCWSTR pwszDescription)
{
    ULONG flag = hr < 0 ? TRACE_FAILURE : TRACE_INFORMATION;
    if (!TraceIsOn(flag)) {
        return;
    }
    LastErrorKeeper keep;
    WCHAR wszStep[512];
    // A text longer than the buffer is cut short; the formatter always ends it with a NUL.
    StringCchPrintfW(wszStep, ARRAYSIZE(wszStep), TEXT("%ws - %ws"),
                     pwszFunction != NULL ? pwszFunction : kNullTextW,
                     pwszDescription != NULL ? pwszDescription : kNullTextW);
    if (hr < 0) {
        TraceMsgWI32(TRACE_GUID_SHARED, 12, wszStep, hr);
    } else {
        TraceMsgWI32(TRACE_GUID_SHARED, 13, wszStep, 0);
    }
}
