// The module handle of this test executable: the string tables and images linked into it are
// the resources the code under test loads.
#pragma once

#include <windows.h>

namespace npk::test {

inline HMODULE SelfModule()
{
    static const int anchor = 0;
    HMODULE self = NULL;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&anchor), &self);
    return self;
}

}  // namespace npk::test
