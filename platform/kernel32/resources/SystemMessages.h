// The system message table: English texts of the Win32 errors and HRESULTs this system meets.
#pragma once

#include <windows.h>

namespace npk::res {

// The text of a message id, ending with "\r\n" as Windows' texts do, or null. A FACILITY_WIN32
// HRESULT (0x8007xxxx) without an entry of its own finds the text of its Win32 code.
const char* FindSystemMessage(DWORD id);

}  // namespace npk::res
