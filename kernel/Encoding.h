// Text and binary encodings: UTF-8 <-> UTF-16, Base64, hexadecimal, byte reversal.
// Every output buffer is allocated with new[] by the function and owned by the caller (delete[]).
#pragma once

#include <windows.h>

#define BASE64_FLAG_NOPAD 0x1
#define BASE64_FLAG_NOCRLF 0x2

HRESULT Base64EncodeEx(const BYTE* pbSrc, int nSrcLen, char** ppszDest, int* pnDestLen, DWORD dwFlags);
HRESULT Base64DecodeEx(const char* pszSrc, int nSrcLen, BYTE** ppbDest, int* pnDestLen);
HRESULT UTF16ToUTF8(LPCWSTR pwszSrc, char** ppszDest, UINT* pcbDest);
HRESULT UTF8ToUTF16(const char* pszSrc, LPWSTR* ppwszDest, UINT* pcchDest);
HRESULT ConvertBinaryDataToString(UINT cbData, const BYTE* pbData, LPWSTR* ppwszText);
void SwapByteOrder(BYTE* pbData, UINT cbData);
