// CertFindExtension and the structure decoders behind CryptDecodeObjectEx: key usage and
// subject key identifier (and the plain octet string they share).
#include <windows.h>
#include <wincrypt.h>

#include <cstring>

#include "crypt32/Der.h"

namespace {

using npk::der::Element;

bool IsNumbered(LPCSTR type, uintptr_t number)
{
    return reinterpret_cast<uintptr_t>(type) == number;
}

bool IsOid(LPCSTR type, const char* oid)
{
    return (reinterpret_cast<uintptr_t>(type) >> 16) != 0 && std::strcmp(type, oid) == 0;
}

// What a decoder found: the fixed structure, and the bytes its pointer refers to.
struct Decoded {
    enum Kind { BitBlob, DataBlob } kind;
    const BYTE* bytes;
    DWORD count;
    DWORD unusedBits;
};

HRESULT DecodeBitString(const BYTE* p, DWORD len, Decoded& out)
{
    Element e;
    HRESULT hr = npk::der::ReadWhole(p, len, 0x03, e);
    if (FAILED(hr)) return hr;
    if (e.contentLen == 0) return CRYPT_E_ASN1_CORRUPT;  // the unused-bits octet is missing
    const BYTE unused = e.content[0];
    if (unused > 7 || (e.contentLen == 1 && unused != 0)) return CRYPT_E_ASN1_CORRUPT;
    out.kind = Decoded::BitBlob;
    out.bytes = e.content + 1;
    out.count = static_cast<DWORD>(e.contentLen - 1);
    out.unusedBits = unused;
    return S_OK;
}

HRESULT DecodeOctetString(const BYTE* p, DWORD len, Decoded& out)
{
    Element e;
    HRESULT hr = npk::der::ReadWhole(p, len, 0x04, e);
    if (FAILED(hr)) return hr;
    out.kind = Decoded::DataBlob;
    out.bytes = e.content;
    out.count = static_cast<DWORD>(e.contentLen);
    out.unusedBits = 0;
    return S_OK;
}

size_t FixedSize(const Decoded& d)
{
    return d.kind == Decoded::BitBlob ? sizeof(CRYPT_BIT_BLOB) : sizeof(CRYPT_DATA_BLOB);
}

// Writes the structure into block; its bytes follow it unless they may stay in the input.
void Fill(const Decoded& d, BYTE* block, bool noCopy)
{
    const size_t fixed = FixedSize(d);
    BYTE* data = const_cast<BYTE*>(d.bytes);
    if (!noCopy) {
        data = d.count != 0 ? block + fixed : nullptr;
        if (d.count != 0) std::memcpy(data, d.bytes, d.count);
    }
    if (d.count == 0) data = nullptr;
    if (d.kind == Decoded::BitBlob) {
        auto* bits = reinterpret_cast<CRYPT_BIT_BLOB*>(block);
        bits->cbData = d.count;
        bits->pbData = data;
        bits->cUnusedBits = d.unusedBits;
    } else {
        auto* blob = reinterpret_cast<CRYPT_DATA_BLOB*>(block);
        blob->cbData = d.count;
        blob->pbData = data;
    }
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

}  // namespace

extern "C" PCERT_EXTENSION WINAPI CertFindExtension(LPCSTR pszObjId, DWORD cExtensions, CERT_EXTENSION rgExtensions[])
{
    if (pszObjId != nullptr && rgExtensions != nullptr) {
        for (DWORD i = 0; i < cExtensions; ++i) {
            if (rgExtensions[i].pszObjId != nullptr && std::strcmp(rgExtensions[i].pszObjId, pszObjId) == 0)
                return &rgExtensions[i];
        }
    }
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return nullptr;
}

extern "C" BOOL WINAPI CryptDecodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                                           DWORD cbEncoded, DWORD dwFlags, PCRYPT_DECODE_PARA pDecodePara,
                                           void* pvStructInfo, DWORD* pcbStructInfo)
{
    if (pcbStructInfo == nullptr || lpszStructType == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
    if ((dwCertEncodingType & (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING)) == 0) return Fail(ERROR_FILE_NOT_FOUND);

    HRESULT (*decoder)(const BYTE*, DWORD, Decoded&) = nullptr;
    if (IsNumbered(lpszStructType, 14) || IsOid(lpszStructType, szOID_KEY_USAGE))
        decoder = DecodeBitString;
    else if (IsNumbered(lpszStructType, 25) || IsOid(lpszStructType, szOID_SUBJECT_KEY_IDENTIFIER))
        decoder = DecodeOctetString;
    if (decoder == nullptr) return Fail(ERROR_FILE_NOT_FOUND);  // no decoder is installed for this type

    if (pbEncoded == nullptr && cbEncoded != 0) return Fail(static_cast<DWORD>(E_INVALIDARG));
    Decoded d{};
    const HRESULT hr = decoder(pbEncoded, cbEncoded, d);
    if (FAILED(hr)) return Fail(static_cast<DWORD>(hr));

    const bool noCopy = (dwFlags & CRYPT_DECODE_NOCOPY_FLAG) != 0;
    const size_t size = FixedSize(d) + (noCopy ? 0 : d.count);
    if (size > 0xFFFFFFFFu) return Fail(static_cast<DWORD>(CRYPT_E_ASN1_LARGE));

    if (dwFlags & CRYPT_DECODE_ALLOC_FLAG) {
        if (pvStructInfo == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
        BYTE* block = nullptr;
        if (pDecodePara != nullptr && pDecodePara->cbSize >= sizeof(CRYPT_DECODE_PARA) && pDecodePara->pfnAlloc)
            block = static_cast<BYTE*>(pDecodePara->pfnAlloc(size));
        else
            block = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, size));
        if (block == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
        Fill(d, block, noCopy);
        *static_cast<void**>(pvStructInfo) = block;
        *pcbStructInfo = static_cast<DWORD>(size);
        return TRUE;
    }

    if (pvStructInfo == nullptr) {
        *pcbStructInfo = static_cast<DWORD>(size);
        return TRUE;
    }
    if (*pcbStructInfo < size) {
        *pcbStructInfo = static_cast<DWORD>(size);
        return Fail(ERROR_MORE_DATA);
    }
    Fill(d, static_cast<BYTE*>(pvStructInfo), noCopy);
    *pcbStructInfo = static_cast<DWORD>(size);
    return TRUE;
}

extern "C" BOOL WINAPI CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                                         DWORD cbEncoded, DWORD dwFlags, void* pvStructInfo, DWORD* pcbStructInfo)
{
    // The older form has no allocation of its own.
    return CryptDecodeObjectEx(dwCertEncodingType, lpszStructType, pbEncoded, cbEncoded,
                               dwFlags & ~static_cast<DWORD>(CRYPT_DECODE_ALLOC_FLAG), nullptr, pvStructInfo,
                               pcbStructInfo);
}
