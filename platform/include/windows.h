// The Win32 subset that npKeystrand's code calls, for POSIX systems.
// On Windows the SDK's <windows.h> is used instead; nothing here is compiled there.
#pragma once

#include "npk/wintypes.h"
#include "winerror.h"
#include "npk/kernel32.h"
#include "npk/resources.h"
#include "winreg.h"
#include "npk/files.h"
#include "oleauto.h"
