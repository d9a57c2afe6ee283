// DER length octets and elements of our own, the platform's structure encoder, and the
// signedData message the signing functions hand back as Base64.
#include "kernel/Pkcs7Encoder.h"

#include <cstring>
#include <memory>
#include <new>

#include "agent/ErrorCodes.h"
#include "kernel/Encoding.h"
#include "trace/Trace.h"

namespace {

const DWORD kEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const BYTE kVersion1[] = {0x02, 0x01, 0x01};
char kDataOID[] = "1.2.840.113549.1.7.1";
char kSignedDataOID[] = "1.2.840.113549.1.7.2";

bool IsEncodableTag(BYTE tag)
{
    switch (tag) {
    case 0x02: case 0x04: case 0x06: case 0x13: case 0x1E:
    case 0x30: case 0x31: case 0x80: case 0xA0:
        return true;
    default:
        return false;
    }
}

// A callee-allocated buffer, released when the scope ends unless handed on.
struct Buffer {
    BYTE* pb = NULL;
    DWORD cb = 0;
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { delete[] pb; }
    void Reset()
    {
        delete[] pb;
        pb = NULL;
        cb = 0;
    }
};

}  // namespace

HRESULT CalculateASNValueLength(DWORD cbLength, BYTE** ppbLength, DWORD* pcbLength)
{
    TraceHelper trace("CalculateASNValueLength");
    if (ppbLength == NULL || pcbLength == NULL) return E_POINTER;
    *ppbLength = NULL;
    *pcbLength = 0;
    if (cbLength == 0) {
        NPK_TRACE(TRACE_ERROR, TraceMsg(TRACE_GUID_DER, 10));
        return E_FAIL;
    }

    DWORD cOctets = 1;
    if (cbLength >= 0x80) {
        DWORD n = 1;
        while (n < 4 && (cbLength >> (8 * n)) != 0) ++n;
        cOctets = 1 + n;
    }
    BYTE* pb = new (std::nothrow) BYTE[cOctets];
    if (pb == NULL) {
        TraceStep(E_OUTOFMEMORY, TEXT("New Memory"));
        return E_OUTOFMEMORY;
    }
    if (cOctets == 1) {
        pb[0] = static_cast<BYTE>(cbLength);
    } else {
        DWORD n = cOctets - 1;
        pb[0] = static_cast<BYTE>(0x80 | n);
        for (DWORD i = 0; i < n; ++i) pb[1 + i] = static_cast<BYTE>(cbLength >> (8 * (n - 1 - i)));
    }
    *ppbLength = pb;
    *pcbLength = cOctets;
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32x2(TRACE_GUID_DER, 11, static_cast<LONG>(cbLength), static_cast<LONG>(cOctets)));
    return S_OK;
}

HRESULT ASN1Encode(DWORD dwTag, const BYTE* pbValue, DWORD cbValue, BYTE** ppbElement, DWORD* pcbElement)
{
    TraceHelper trace("ASN1Encode");
    if (ppbElement == NULL || pcbElement == NULL) return E_POINTER;
    *ppbElement = NULL;
    *pcbElement = 0;

    const BYTE tag = static_cast<BYTE>(dwTag & 0xFF);
    if (!IsEncodableTag(tag)) {
        NPK_TRACE(TRACE_ERROR, TraceMsgI32(TRACE_GUID_DER, 12, static_cast<LONG>(dwTag)));
        return E_FAIL;
    }
    if (pbValue == NULL && cbValue != 0) return E_POINTER;

    Buffer length;
    HRESULT hr = CalculateASNValueLength(cbValue, &length.pb, &length.cb);
    if (hr != S_OK) {
        TraceStep(hr, TEXT("CalculateASNValueLength"));
        return hr;
    }
    // The whole element must still be countable in 32 bits.
    if (cbValue > 0xFFFFFFFFu - 1 - length.cb) {
        NPK_TRACE(TRACE_ERROR, TraceMsgI32(TRACE_GUID_DER, 13, static_cast<LONG>(cbValue)));
        return E_FAIL;
    }
    const DWORD cbElement = 1 + length.cb + cbValue;
    BYTE* pb = new (std::nothrow) BYTE[cbElement];
    if (pb == NULL) {
        TraceStep(E_OUTOFMEMORY, TEXT("New Memory"));
        return E_OUTOFMEMORY;
    }
    pb[0] = tag;
    std::memcpy(pb + 1, length.pb, length.cb);
    std::memcpy(pb + 1 + length.cb, pbValue, cbValue);
    *ppbElement = pb;
    *pcbElement = cbElement;
    return S_OK;
}

namespace {

// EncodeObject for a structure whose encoding is expected to fit cbExpected bytes: the platform
// encodes it once straight into a buffer of that size, and only a longer encoding takes the
// asking for the length first. Each signature encodes five structures, so this halves the work.
HRESULT EncodeObjectExpected(LPCSTR lpszStructType, const void* pvStructInfo, DWORD cbExpected, BYTE** ppbEncoded,
                             DWORD* pcbEncoded)
{
    TraceHelper trace("EncodeObject");
    if (ppbEncoded == NULL || pcbEncoded == NULL) return E_POINTER;
    *ppbEncoded = NULL;
    *pcbEncoded = 0;

    if (cbExpected > 0) {
        std::unique_ptr<BYTE[]> pb(new (std::nothrow) BYTE[cbExpected]);
        if (!pb) {
            TraceStep(E_OUTOFMEMORY, TEXT("New Memory"));
            return E_OUTOFMEMORY;
        }
        DWORD cbEncoded = cbExpected;
        if (CryptEncodeObject(kEncodingType, lpszStructType, pvStructInfo, pb.get(), &cbEncoded)) {
            TraceStep(S_OK, TEXT("CryptEncodeObject - get length"));
            TraceStep(S_OK, TEXT("CryptEncodeObject - get value"));
            *ppbEncoded = pb.release();
            *pcbEncoded = cbEncoded;
            NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_DER, 14, static_cast<LONG>(cbEncoded)));
            return S_OK;
        }
        if (GetLastError() != ERROR_MORE_DATA) {
            HRESULT hr = HResultFromFailedCall();
            TraceStep(hr, TEXT("CryptEncodeObject - get length"));
            return hr;
        }
    }

    DWORD cbEncoded = 0;
    if (!CryptEncodeObject(kEncodingType, lpszStructType, pvStructInfo, NULL, &cbEncoded)) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("CryptEncodeObject - get length"));
        return hr;
    }
    TraceStep(S_OK, TEXT("CryptEncodeObject - get length"));

    BYTE* pb = new (std::nothrow) BYTE[cbEncoded > 0 ? cbEncoded : 1];
    if (pb == NULL) {
        TraceStep(E_OUTOFMEMORY, TEXT("New Memory"));
        return E_OUTOFMEMORY;
    }
    // Handed over at once: the caller releases it also when the second call fails.
    *ppbEncoded = pb;
    if (!CryptEncodeObject(kEncodingType, lpszStructType, pvStructInfo, pb, &cbEncoded)) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("CryptEncodeObject - get value"));
        return hr;
    }
    TraceStep(S_OK, TEXT("CryptEncodeObject - get value"));
    *pcbEncoded = cbEncoded;
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_DER, 14, static_cast<LONG>(cbEncoded)));
    return S_OK;
}

// Room for a structure's encoding around parts of a known size: tags and lengths, and object
// identifiers, are never longer than this.
DWORD ExpectedSize(ULONGLONG cbParts)
{
    const ULONGLONG cb = cbParts + 128;
    return cb < 0x10000000u ? static_cast<DWORD>(cb) : 0;
}

}  // namespace

HRESULT EncodeObject(LPCSTR lpszStructType, const void* pvStructInfo, BYTE** ppbEncoded, DWORD* pcbEncoded)
{
    return EncodeObjectExpected(lpszStructType, pvStructInfo, 0, ppbEncoded, pcbEncoded);
}

HRESULT EncapsulatePKCS7(PCCERT_CONTEXT pCert, LPCSTR pszDigestOID, LPCSTR pszSignatureOID, const BYTE* pbContent,
                         DWORD cbContent, const BYTE* pbSignature, DWORD cbSignature, BSTR* pbstrBase64,
                         DWORD* pcchBase64, BOOL bAttached, DWORD dwBase64Flags)
{
    TraceHelper trace("EncapsulatePKCS7");
    if (pbstrBase64 == NULL || pcchBase64 == NULL) return E_POINTER;
    if (pCert == NULL || pCert->pCertInfo == NULL || pCert->pbCertEncoded == NULL || pszDigestOID == NULL ||
        pszSignatureOID == NULL || (pbSignature == NULL && cbSignature != 0) ||
        (bAttached && pbContent == NULL && cbContent != 0)) {
        NPK_TRACE(TRACE_ERROR, TraceMsg(TRACE_GUID_DER, 15));
        return E_INVALIDARG;
    }
    NPK_TRACE(TRACE_INFORMATION,
              TraceMsgI32x2(TRACE_GUID_DER, 16, static_cast<LONG>(cbContent), bAttached ? 1 : 0));

    HRESULT hr = S_OK;
    char* pszDigest = const_cast<char*>(pszDigestOID);

    // 1. The digest algorithm identifier: SEQUENCE { OID, SET {} } from the attribute
    //    encoder, whose empty SET becomes the NULL parameters.
    Buffer digestAlg;
    CRYPT_ATTRIBUTE attr = {};
    attr.pszObjId = pszDigest;
    hr = EncodeObjectExpected(PKCS_ATTRIBUTE, &attr, ExpectedSize(0), &digestAlg.pb, &digestAlg.cb);
    TraceStep(hr, TEXT("EncodeObject-PKCS_ATTRIBUTE"));
    if (hr != S_OK) {
        digestAlg.Reset();
        CRYPT_ALGORITHM_IDENTIFIER alg = {};
        alg.pszObjId = pszDigest;
        hr = EncodeObject(X509_ALGORITHM_IDENTIFIER, &alg, &digestAlg.pb, &digestAlg.cb);
        TraceStep(hr, TEXT("EncodeObject"));
        if (FAILED(hr)) return hr;
    }
    if (digestAlg.cb < 2) {
        TraceStep(E_FAIL, TEXT("EncodeObject"));
        return E_FAIL;
    }
    digestAlg.pb[digestAlg.cb - 2] = 0x05;
    digestAlg.pb[digestAlg.cb - 1] = 0x00;

    // 2. digestAlgorithms: a SET of that one identifier.
    Buffer digestAlgs;
    hr = ASN1Encode(0x31, digestAlg.pb, digestAlg.cb, &digestAlgs.pb, &digestAlgs.cb);
    TraceStep(hr, TEXT("ASN1Encode"));
    if (FAILED(hr)) return hr;

    // 3. The content as an OCTET STRING, only when it travels inside the message.
    Buffer octets;
    if (bAttached) {
        static const BYTE kNoBytes[1] = {0};
        CRYPT_DATA_BLOB data = {cbContent, const_cast<BYTE*>(pbContent != NULL ? pbContent : kNoBytes)};
        hr = EncodeObjectExpected(X509_OCTET_STRING, &data, ExpectedSize(cbContent), &octets.pb, &octets.cb);
        TraceStep(hr, TEXT("EncodeObject"));
        if (FAILED(hr)) return hr;
    }

    // 4. The inner contentInfo: data, with [0] { OCTET STRING } only when attached.
    Buffer contentInfo;
    CRYPT_CONTENT_INFO inner = {};
    inner.pszObjId = kDataOID;
    if (bAttached) {
        inner.Content.cbData = octets.cb;
        inner.Content.pbData = octets.pb;
    }
    hr = EncodeObjectExpected(PKCS_CONTENT_INFO, &inner, ExpectedSize(octets.cb), &contentInfo.pb, &contentInfo.cb);
    TraceStep(hr, TEXT("EncodeObject"));
    if (FAILED(hr)) return hr;

    // 5. certificates: [0] holding exactly the signer's certificate as stored.
    Buffer certificates;
    hr = ASN1Encode(0xA0, pCert->pbCertEncoded, pCert->cbCertEncoded, &certificates.pb, &certificates.cb);
    TraceStep(hr, TEXT("ASN1Encode"));
    if (FAILED(hr)) return hr;

    // 6. The SignerInfo, without attributes: the signature covers the content's digest.
    Buffer signerInfo;
    CMSG_SIGNER_INFO si = {};
    si.dwVersion = 1;
    si.Issuer = pCert->pCertInfo->Issuer;
    si.SerialNumber = pCert->pCertInfo->SerialNumber;
    si.HashAlgorithm.pszObjId = pszDigest;
    si.HashEncryptionAlgorithm.pszObjId = const_cast<char*>(pszSignatureOID);
    si.EncryptedHash.cbData = cbSignature;
    si.EncryptedHash.pbData = const_cast<BYTE*>(pbSignature);
    hr = EncodeObjectExpected(PKCS7_SIGNER_INFO, &si,
                              ExpectedSize(static_cast<ULONGLONG>(si.Issuer.cbData) + si.SerialNumber.cbData + cbSignature),
                              &signerInfo.pb, &signerInfo.cb);
    TraceStep(hr, TEXT("EncodeObject"));
    if (FAILED(hr)) return hr;

    // 7. signerInfos: a SET of that one SignerInfo.
    Buffer signerInfos;
    hr = ASN1Encode(0x31, signerInfo.pb, signerInfo.cb, &signerInfos.pb, &signerInfos.cb);
    TraceStep(hr, TEXT("ASN1Encode"));
    if (FAILED(hr)) return hr;

    // 8. SignedData = SEQUENCE { version 1, digestAlgorithms, contentInfo, certificates, signerInfos }.
    const ULONGLONG cbBody = sizeof(kVersion1) + static_cast<ULONGLONG>(digestAlgs.cb) + contentInfo.cb +
                             certificates.cb + signerInfos.cb;
    if (cbBody > 0xFFFFFFF0u) {
        TraceStep(E_FAIL, TEXT("ASN1Encode"));
        return E_FAIL;
    }
    Buffer body;
    body.pb = new (std::nothrow) BYTE[static_cast<size_t>(cbBody)];
    if (body.pb == NULL) {
        TraceStep(E_OUTOFMEMORY, TEXT("New Memory"));
        return E_OUTOFMEMORY;
    }
    body.cb = static_cast<DWORD>(cbBody);
    BYTE* p = body.pb;
    std::memcpy(p, kVersion1, sizeof(kVersion1));
    p += sizeof(kVersion1);
    for (const Buffer* part : {&digestAlgs, &contentInfo, &certificates, &signerInfos}) {
        std::memcpy(p, part->pb, part->cb);
        p += part->cb;
    }
    Buffer signedData;
    hr = ASN1Encode(0x30, body.pb, body.cb, &signedData.pb, &signedData.cb);
    TraceStep(hr, TEXT("ASN1Encode"));
    if (FAILED(hr)) return hr;

    // 9. The outer ContentInfo { signedData, [0] EXPLICIT SignedData }.
    Buffer message;
    CRYPT_CONTENT_INFO outer = {};
    outer.pszObjId = kSignedDataOID;
    outer.Content.cbData = signedData.cb;
    outer.Content.pbData = signedData.pb;
    hr = EncodeObjectExpected(PKCS_CONTENT_INFO, &outer, ExpectedSize(signedData.cb), &message.pb, &message.cb);
    TraceStep(hr, TEXT("EncodeObject"));
    if (FAILED(hr)) return hr;

    // 10. Base64, widened into the automation string. Base64 text is ASCII, which every ANSI
    //     code page maps to the same UTF-16 units, so it is widened unit by unit.
    if (message.cb > 0x7FFFFFFFu) {
        TraceStep(E_FAIL, TEXT("Base64EncodeEx"));
        return E_FAIL;
    }
    char* pszEncoded = NULL;
    int cchEncoded = 0;
    hr = Base64EncodeEx(message.pb, static_cast<int>(message.cb), &pszEncoded, &cchEncoded, dwBase64Flags);
    std::unique_ptr<char[]> encoded(pszEncoded);
    TraceStep(hr, TEXT("Base64EncodeEx"));
    if (FAILED(hr)) return hr;
    message.Reset();
    // An attached message carries the page's text: its length only.
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_DER, 17, static_cast<LONG>(cchEncoded)));

    BSTR bstr = SysAllocStringLen(NULL, static_cast<UINT>(cchEncoded));
    if (bstr == NULL) {
        TraceStep(E_OUTOFMEMORY, TEXT("New Memory"));
        return E_OUTOFMEMORY;
    }
    for (int i = 0; i < cchEncoded; ++i) bstr[i] = static_cast<WCHAR>(static_cast<BYTE>(encoded[static_cast<size_t>(i)]));
    *pbstrBase64 = bstr;
    *pcchBase64 = static_cast<DWORD>(cchEncoded);
    return S_OK;
}
