// The structure encoders behind CryptEncodeObject(Ex): attributes, algorithm identifiers,
// octet strings, content infos, PKCS#7 signer infos and key usage, all as DER.
//
// Choices where Windows leaves room:
// - an algorithm identifier with empty parameters is written with NULL parameters (05 00),
//   as CryptoAPI writes them for the RSA and digest algorithms;
// - an OID that is not valid dotted text fails with CRYPT_E_ASN1_ERROR;
// - an "already encoded" value (attribute value, parameters, content, issuer) that is not
//   exactly one DER element fails with CRYPT_E_ASN1_CORRUPT rather than being copied blindly.
#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <new>

#include "crypt32/Der.h"

namespace {

using Bytes = std::vector<BYTE>;
using namespace npk::der;

bool IsNumbered(LPCSTR type, uintptr_t number)
{
    return reinterpret_cast<uintptr_t>(type) == number;
}

bool IsOid(LPCSTR type, const char* oid)
{
    return (reinterpret_cast<uintptr_t>(type) >> 16) != 0 && std::strcmp(type, oid) == 0;
}

HRESULT EncodeOid(const char* text, Bytes& out)
{
    Bytes content;
    if (!OidFromText(text, content)) return CRYPT_E_ASN1_ERROR;
    out = Tlv(0x06, content);
    return S_OK;
}

// An already-encoded value must be one complete element; it is copied as it stands.
HRESULT CheckEncoded(const CRYPT_DER_BLOB& blob)
{
    if (blob.cbData != 0 && blob.pbData == nullptr) return E_INVALIDARG;
    return IsSingleElement(blob.pbData, blob.cbData) ? S_OK : CRYPT_E_ASN1_CORRUPT;
}

HRESULT EncodeAttribute(const CRYPT_ATTRIBUTE& attr, Bytes& out)
{
    Bytes oid;
    HRESULT hr = EncodeOid(attr.pszObjId, oid);
    if (FAILED(hr)) return hr;
    if (attr.cValue != 0 && attr.rgValue == nullptr) return E_INVALIDARG;
    std::vector<Bytes> values;
    for (DWORD i = 0; i < attr.cValue; ++i) {
        if (FAILED(hr = CheckEncoded(attr.rgValue[i]))) return hr;
        values.emplace_back(attr.rgValue[i].pbData, attr.rgValue[i].pbData + attr.rgValue[i].cbData);
    }
    Bytes content = std::move(oid);
    Append(content, SetOf(0x31, std::move(values)));
    out = Tlv(0x30, content);
    return S_OK;
}

// The attributes as a SET OF under the given tag (0x31, or the implicit [0] / [1] of a signer).
HRESULT EncodeAttributes(const CRYPT_ATTRIBUTES& attrs, BYTE tag, Bytes& out)
{
    if (attrs.cAttr != 0 && attrs.rgAttr == nullptr) return E_INVALIDARG;
    std::vector<Bytes> members(attrs.cAttr);
    for (DWORD i = 0; i < attrs.cAttr; ++i) {
        HRESULT hr = EncodeAttribute(attrs.rgAttr[i], members[i]);
        if (FAILED(hr)) return hr;
    }
    out = SetOf(tag, std::move(members));
    return S_OK;
}

HRESULT EncodeAlgorithm(const CRYPT_ALGORITHM_IDENTIFIER& alg, Bytes& out)
{
    Bytes content;
    HRESULT hr = EncodeOid(alg.pszObjId, content);
    if (FAILED(hr)) return hr;
    if (alg.Parameters.cbData == 0) {
        content.push_back(0x05);
        content.push_back(0x00);
    } else {
        if (FAILED(hr = CheckEncoded(alg.Parameters))) return hr;
        Append(content, alg.Parameters.pbData, alg.Parameters.cbData);
    }
    out = Tlv(0x30, content);
    return S_OK;
}

HRESULT EncodeOctets(const CRYPT_DATA_BLOB& blob, Bytes& out)
{
    if (blob.cbData != 0 && blob.pbData == nullptr) return E_INVALIDARG;
    out = Tlv(0x04, blob.pbData, blob.cbData);
    return S_OK;
}

HRESULT EncodeContentInfo(const CRYPT_CONTENT_INFO& info, Bytes& out)
{
    Bytes content;
    HRESULT hr = EncodeOid(info.pszObjId, content);
    if (FAILED(hr)) return hr;
    if (info.Content.cbData != 0) {
        if (FAILED(hr = CheckEncoded(info.Content))) return hr;
        Append(content, Tlv(0xA0, info.Content.pbData, info.Content.cbData));
    }
    out = Tlv(0x30, content);
    return S_OK;
}

Bytes EncodeDwordInteger(DWORD v)
{
    const BYTE be[4] = {static_cast<BYTE>(v >> 24), static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 8),
                        static_cast<BYTE>(v)};
    return Tlv(0x02, UnsignedContent(be, 4));
}

HRESULT EncodeSignerInfo(const CMSG_SIGNER_INFO& si, Bytes& out)
{
    HRESULT hr = S_OK;
    if (si.Issuer.cbData == 0) return E_INVALIDARG;
    if (FAILED(hr = CheckEncoded(si.Issuer))) return hr;
    if (si.SerialNumber.cbData != 0 && si.SerialNumber.pbData == nullptr) return E_INVALIDARG;

    // The serial is held least significant byte first, as CryptoAPI keeps integers.
    Bytes serialBe(si.SerialNumber.pbData, si.SerialNumber.pbData + si.SerialNumber.cbData);
    std::reverse(serialBe.begin(), serialBe.end());
    Bytes issuerAndSerial(si.Issuer.pbData, si.Issuer.pbData + si.Issuer.cbData);
    Append(issuerAndSerial, Tlv(0x02, UnsignedContent(serialBe.data(), serialBe.size())));

    Bytes digestAlg, encryptionAlg, digest, auth, unauth;
    if (FAILED(hr = EncodeAlgorithm(si.HashAlgorithm, digestAlg))) return hr;
    if (FAILED(hr = EncodeAlgorithm(si.HashEncryptionAlgorithm, encryptionAlg))) return hr;
    if (FAILED(hr = EncodeOctets(si.EncryptedHash, digest))) return hr;
    if (si.AuthAttrs.cAttr != 0 && FAILED(hr = EncodeAttributes(si.AuthAttrs, 0xA0, auth))) return hr;
    if (si.UnauthAttrs.cAttr != 0 && FAILED(hr = EncodeAttributes(si.UnauthAttrs, 0xA1, unauth))) return hr;

    Bytes content = EncodeDwordInteger(si.dwVersion);
    Append(content, Tlv(0x30, issuerAndSerial));
    Append(content, digestAlg);
    Append(content, auth);
    Append(content, encryptionAlg);
    Append(content, digest);
    Append(content, unauth);
    out = Tlv(0x30, content);
    return S_OK;
}

// Key usage as a DER named bit list: trailing zero bits and bytes are not written.
HRESULT EncodeKeyUsage(const CRYPT_BIT_BLOB& bits, Bytes& out)
{
    if ((bits.cbData != 0 && bits.pbData == nullptr) || bits.cUnusedBits > 7) return E_INVALIDARG;
    Bytes value(bits.pbData, bits.pbData + bits.cbData);
    if (!value.empty()) value.back() &= static_cast<BYTE>(0xFF << bits.cUnusedBits);
    while (!value.empty() && value.back() == 0) value.pop_back();
    BYTE unused = 0;
    if (!value.empty())
        while (((value.back() >> unused) & 1) == 0) ++unused;
    Bytes content{unused};
    Append(content, value);
    out = Tlv(0x03, content);
    return S_OK;
}

HRESULT Encode(LPCSTR type, const void* info, Bytes& out)
{
    if (IsNumbered(type, 22)) return EncodeAttribute(*static_cast<const CRYPT_ATTRIBUTE*>(info), out);
    if (IsNumbered(type, 74)) return EncodeAlgorithm(*static_cast<const CRYPT_ALGORITHM_IDENTIFIER*>(info), out);
    if (IsNumbered(type, 25) || IsOid(type, szOID_SUBJECT_KEY_IDENTIFIER))
        return EncodeOctets(*static_cast<const CRYPT_DATA_BLOB*>(info), out);
    if (IsNumbered(type, 33)) return EncodeContentInfo(*static_cast<const CRYPT_CONTENT_INFO*>(info), out);
    if (IsNumbered(type, 500)) return EncodeSignerInfo(*static_cast<const CMSG_SIGNER_INFO*>(info), out);
    if (IsNumbered(type, 14) || IsOid(type, szOID_KEY_USAGE))
        return EncodeKeyUsage(*static_cast<const CRYPT_BIT_BLOB*>(info), out);
    return static_cast<HRESULT>(ERROR_FILE_NOT_FOUND);  // no encoder is installed for this type
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

}  // namespace

extern "C" BOOL WINAPI CryptEncodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                                           DWORD dwFlags, PCRYPT_ENCODE_PARA pEncodePara, void* pvEncoded,
                                           DWORD* pcbEncoded)
{
    if (pcbEncoded == nullptr || lpszStructType == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
    if ((dwCertEncodingType & (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING)) == 0) return Fail(ERROR_FILE_NOT_FOUND);
    Bytes out;
    HRESULT hr = pvStructInfo == nullptr ? E_INVALIDARG : S_OK;
    try {
        if (SUCCEEDED(hr)) hr = Encode(lpszStructType, pvStructInfo, out);
    } catch (const std::bad_alloc&) {
        hr = static_cast<HRESULT>(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (hr != S_OK) return Fail(static_cast<DWORD>(hr));
    if (out.size() > 0xFFFFFFFFu) return Fail(static_cast<DWORD>(CRYPT_E_ASN1_LARGE));
    const DWORD size = static_cast<DWORD>(out.size());

    if (dwFlags & CRYPT_ENCODE_ALLOC_FLAG) {
        if (pvEncoded == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
        BYTE* block = nullptr;
        if (pEncodePara != nullptr && pEncodePara->cbSize >= sizeof(CRYPT_ENCODE_PARA) && pEncodePara->pfnAlloc)
            block = static_cast<BYTE*>(pEncodePara->pfnAlloc(size));
        else
            block = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, size));
        if (block == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
        std::memcpy(block, out.data(), size);
        *static_cast<BYTE**>(pvEncoded) = block;
        *pcbEncoded = size;
        return TRUE;
    }
    if (pvEncoded == nullptr) {
        *pcbEncoded = size;
        return TRUE;
    }
    if (*pcbEncoded < size) {
        *pcbEncoded = size;
        return Fail(ERROR_MORE_DATA);
    }
    std::memcpy(pvEncoded, out.data(), size);
    *pcbEncoded = size;
    return TRUE;
}

extern "C" BOOL WINAPI CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                                         BYTE* pbEncoded, DWORD* pcbEncoded)
{
    return CryptEncodeObjectEx(dwCertEncodingType, lpszStructType, pvStructInfo, 0, nullptr, pbEncoded, pcbEncoded);
}
