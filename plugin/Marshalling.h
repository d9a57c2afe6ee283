// Conversions between script values and the plug-in's own strings.
#pragma once

#include <windows.h>

#include "npfunctions.h"

// Copies the script string's bytes into a new NUL-terminated buffer (new[]; the caller
// array-deletes it). A secret text (a password) is traced by its length only.
HRESULT ConverNPStringtoNULLEndString(char** ppszDest, const NPUTF8* pszSrc, uint32_t cbSrc, bool bSecret = false);

// Copies NUL-terminated UTF-8 text into browser memory and makes it the string result.
// A null text or a failed allocation leaves the variant untouched and answers false.
bool StringToNPVariant(const char* pszText, NPVariant* pResult);

// The agent's text result as NUL-terminated UTF-8 (new[]; the caller array-deletes it). The
// results are mostly Base64 or hexadecimal text: ASCII is narrowed here directly, anything
// else goes through UTF16ToUTF8. *pcbText receives the length without the NUL.
HRESULT ResultTextToUtf8(LPCWSTR pwszText, char** ppszText, size_t* pcbText);
