// The smart-card codes the token provider fails with, as Windows' smart-card providers do.
#pragma once

#include <windows.h>

#ifndef SCARD_E_NO_SMARTCARD
#define SCARD_E_NO_SMARTCARD       _HRESULT_TYPEDEF_(0x8010000CL)
#endif
#ifndef SCARD_E_NO_ACCESS
#define SCARD_E_NO_ACCESS          _HRESULT_TYPEDEF_(0x80100027L)
#endif
#ifndef SCARD_W_REMOVED_CARD
#define SCARD_W_REMOVED_CARD       _HRESULT_TYPEDEF_(0x80100069L)
#endif
#ifndef SCARD_W_WRONG_CHV
#define SCARD_W_WRONG_CHV          _HRESULT_TYPEDEF_(0x8010006BL)
#endif
#ifndef SCARD_W_CHV_BLOCKED
#define SCARD_W_CHV_BLOCKED        _HRESULT_TYPEDEF_(0x8010006CL)
#endif
#ifndef SCARD_W_CANCELLED_BY_USER
#define SCARD_W_CANCELLED_BY_USER  _HRESULT_TYPEDEF_(0x8010006EL)
#endif
