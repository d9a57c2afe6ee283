// GDI+ with the COM declarations it needs, which WIN32_LEAN_AND_MEAN leaves out of <windows.h>.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <objidl.h>

#include <algorithm>

// gdiplus.h uses min and max unqualified, which NOMINMAX builds and <windows.h> disagree on.
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus

#include <gdiplus.h>
