// The PKCS#11 module the token provider talks to: p11-kit's proxy, which stands for every
// module registered with p11-kit (OpenSC, a vendor's middleware, SoftHSM), unless
// NPKEYSTRAND_PKCS11_MODULE names another. Loaded once per process and initialised for
// several threads; never unloaded, as middleware keeps threads and state of its own.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#define CK_PTR *
#define CK_DECLARE_FUNCTION(returnType, name) returnType name
#define CK_DECLARE_FUNCTION_POINTER(returnType, name) returnType(*name)
#define CK_CALLBACK_FUNCTION(returnType, name) returnType(*name)
#ifndef NULL_PTR
#define NULL_PTR nullptr
#endif
#include <p11-kit/pkcs11.h>

namespace npk::pkcs11 {

// The module's function list, or null with *error set (SCARD_E_NO_SMARTCARD when no module
// can be loaded: without middleware no token can be present).
CK_FUNCTION_LIST* Module(DWORD* error);

// The path loaded, for messages ("" before the first load).
std::string ModulePath();

// A Win32 code for a PKCS#11 return value.
DWORD ErrorOf(CK_RV rv);

// Token text fields are blank-padded, not terminated.
std::string TrimmedField(const CK_UTF8CHAR* field, size_t size);

}  // namespace npk::pkcs11
