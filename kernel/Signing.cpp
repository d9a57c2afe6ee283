// Hash-and-sign with a certificate's private key, and the PKCS#7 wrappers over text and files.
#include "kernel/Signing.h"

#include <cstring>
#include <memory>
#include <new>

#include "agent/ErrorCodes.h"
#include "kernel/Encoding.h"
#include "kernel/Pkcs7Encoder.h"
#include "kernel/Providers.h"
#include "trace/Trace.h"

namespace {

// The key's provider and the hash object of one signature; both released on every exit.
class SigningContext {
public:
    SigningContext() = default;
    SigningContext(const SigningContext&) = delete;
    SigningContext& operator=(const SigningContext&) = delete;
    ~SigningContext()
    {
        if (m_hHash != 0) CryptDestroyHash(m_hHash);
        if (m_hProv != 0) CryptReleaseContext(m_hProv, 0);
    }

    // The certificate's key, its provider's name for the trace, and a hash of algId.
    HRESULT Begin(PCCERT_CONTEXT* ppCert, ALG_ID algId)
    {
        if (ppCert == NULL || *ppCert == NULL) {
            TraceStep(E_INVALIDARG, TEXT("CryptAcquireCertificatePrivateKey"));
            return E_INVALIDARG;
        }
        if (!CryptAcquireCertificatePrivateKey(*ppCert, 0, NULL, &m_hProv, &m_dwKeySpec, NULL)) {
            m_hProv = 0;
            HRESULT hr = HResultFromFailedCall();
            TraceStep(hr, TEXT("CryptAcquireCertificatePrivateKey"));
            return hr;
        }
        TraceStep(S_OK, TEXT("CryptAcquireCertificatePrivateKey"));

        // The provider's name is wanted by the trace alone, so the provider is asked for it
        // only when information events are on.
        if (TraceIsOn(TRACE_INFORMATION)) {
            char* pszName = NULL;
            DWORD cbName = 0;
            if (SUCCEEDED(GetProviderInfo(m_hProv, &pszName, &cbName)))
                TraceMsgAI32(TRACE_GUID_CRYPTO, 70, pszName, static_cast<LONG>(m_dwKeySpec));
            delete[] pszName;
        }

        if (!CryptCreateHash(m_hProv, algId, 0, 0, &m_hHash)) {
            m_hHash = 0;
            HRESULT hr = HResultFromFailedCall();
            TraceStep(hr, TEXT("CryptCreateHash"));
            return hr;
        }
        TraceStep(S_OK, TEXT("CryptCreateHash"));
        return S_OK;
    }

    HRESULT Hash(const BYTE* pb, DWORD cb)
    {
        if (!CryptHashData(m_hHash, pb, cb, 0)) {
            HRESULT hr = HResultFromFailedCall();
            TraceStep(hr, TEXT("CryptHashData"));
            return hr;
        }
        return S_OK;
    }

    // The signature, most significant byte first. The buffer is the caller's as soon as it
    // exists; the length is stored only with a finished signature.
    HRESULT Sign(BYTE** ppbSignature, DWORD* pcbSignature)
    {
        DWORD cbSignature = 0;
        if (!CryptSignHashW(m_hHash, m_dwKeySpec, NULL, 0, NULL, &cbSignature)) {
            HRESULT hr = HResultFromFailedCall();
            TraceStep(hr, TEXT("CryptSignHash"));
            return hr;
        }
        TraceStep(S_OK, TEXT("CryptSignHash"));
        BYTE* pbSignature = new (std::nothrow) BYTE[cbSignature > 0 ? cbSignature : 1];
        if (pbSignature == NULL) {
            TraceStep(E_OUTOFMEMORY, TEXT("New Memory"));
            return E_OUTOFMEMORY;
        }
        *ppbSignature = pbSignature;
        if (!CryptSignHashW(m_hHash, m_dwKeySpec, NULL, 0, pbSignature, &cbSignature)) {
            HRESULT hr = HResultFromFailedCall();
            TraceStep(hr, TEXT("CryptSignHash"));
            return hr;
        }
        TraceStep(S_OK, TEXT("CryptSignHash"));
        // The platform writes the least significant byte first; PKCS#1 and PKCS#7 the most.
        SwapByteOrder(pbSignature, cbSignature);
        *pcbSignature = cbSignature;
        NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_CRYPTO, 71, static_cast<LONG>(cbSignature)));
        return S_OK;
    }

private:
    HCRYPTPROV m_hProv = 0;
    DWORD m_dwKeySpec = 0;
    HCRYPTHASH m_hHash = 0;
};

class FileHandle {
public:
    explicit FileHandle(HANDLE h) : m_h(h) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle()
    {
        if (m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
    }
    HANDLE Get() const { return m_h; }

private:
    HANDLE m_h;
};

}  // namespace

HRESULT CalculateHashandSign(PCCERT_CONTEXT* ppCert, const BYTE* pbData, DWORD cbData, ALG_ID algId,
                             BYTE** ppbSignature, DWORD* pcbSignature)
{
    TraceHelper trace("CalculateHashandSign");
    if (ppbSignature == NULL || pcbSignature == NULL) return E_POINTER;
    *ppbSignature = NULL;
    *pcbSignature = 0;
    if (pbData == NULL && cbData != 0) return E_POINTER;
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32x2(TRACE_GUID_CRYPTO, 72, static_cast<LONG>(cbData), static_cast<LONG>(algId)));

    SigningContext ctx;
    HRESULT hr = ctx.Begin(ppCert, algId);
    if (FAILED(hr)) return hr;

    for (DWORD cbDone = 0; cbDone < cbData;) {
        DWORD cbSlice = cbData - cbDone < SIGNING_SLICE_SIZE ? cbData - cbDone : SIGNING_SLICE_SIZE;
        if (FAILED(hr = ctx.Hash(pbData + cbDone, cbSlice))) return hr;
        cbDone += cbSlice;
    }
    return ctx.Sign(ppbSignature, pcbSignature);
}

HRESULT CalculateFileHashandSign(PCCERT_CONTEXT* ppCert, LPCWSTR pwszFilePath, ALG_ID algId, BYTE** ppbSignature,
                                 DWORD* pcbSignature)
{
    TraceHelper trace("CalculateFileHashandSign");
    if (ppbSignature == NULL || pcbSignature == NULL) return E_POINTER;
    *ppbSignature = NULL;
    *pcbSignature = 0;
    NPK_TRACE(TRACE_INFORMATION, TraceMsgWI32(TRACE_GUID_CRYPTO, 73, pwszFilePath, static_cast<LONG>(algId)));

    SigningContext ctx;
    HRESULT hr = ctx.Begin(ppCert, algId);
    if (FAILED(hr)) return hr;

    if (pwszFilePath == NULL) {
        TraceStep(E_INVALIDARG, TEXT("CreateFile"));
        return E_INVALIDARG;
    }
    FileHandle file(CreateFileW(pwszFilePath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("CreateFile"));
        return hr;
    }
    TraceStep(S_OK, TEXT("CreateFile"));

    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.Get(), &size)) {
        hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("GetFileSizeEx"));
        return hr;
    }
    TraceStep(S_OK, TEXT("GetFileSizeEx"));
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI64(TRACE_GUID_CRYPTO, 74, size.QuadPart));

    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[SIGNING_SLICE_SIZE]);
    if (!buffer) {
        TraceStep(E_OUTOFMEMORY, TEXT("New Memory"));
        return E_OUTOFMEMORY;
    }

    // The size taken at the start is what is signed: a file that grows meanwhile is read
    // only that far, and one that shrinks fails instead of being signed short.
    const ULONGLONG cbSize = static_cast<ULONGLONG>(size.QuadPart);
    ULONGLONG cbTotal = 0;
    while (cbTotal < cbSize) {
        std::memset(buffer.get(), 0, SIGNING_SLICE_SIZE);
        ULONGLONG cbLeft = cbSize - cbTotal;
        DWORD cbWant = cbLeft < SIGNING_SLICE_SIZE ? static_cast<DWORD>(cbLeft) : SIGNING_SLICE_SIZE;
        DWORD cbRead = 0;
        if (!ReadFile(file.Get(), buffer.get(), cbWant, &cbRead, NULL)) {
            hr = HResultFromFailedCall();
            TraceStep(hr, TEXT("ReadFile"));
            return hr;
        }
        if (cbRead == 0) {
            NPK_TRACE(TRACE_ERROR, TraceMsgI64(TRACE_GUID_CRYPTO, 75, static_cast<LONGLONG>(cbTotal)));
            hr = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
            TraceStep(hr, TEXT("ReadFile"));
            return hr;
        }
        cbTotal += cbRead;
        if (FAILED(hr = ctx.Hash(buffer.get(), cbRead))) return hr;
    }
    buffer.reset();
    return ctx.Sign(ppbSignature, pcbSignature);
}

HRESULT SignData(BSTR* pbstrResult, LPCWSTR pwszText, PCCERT_CONTEXT* ppCert, ALG_ID algId, BOOL bAttached)
{
    TraceHelper trace("SignData");
    if (pbstrResult == NULL) return E_POINTER;
    if (pwszText == NULL) NPK_TRACE(TRACE_ERROR, TraceMsg(TRACE_GUID_CRYPTO, 76));

    LPCSTR pszDigestOID = NULL;
    LPCSTR pszSignatureOID = NULL;
    if (!GetAlgorithmIdentifiers(&pszDigestOID, &pszSignatureOID, algId)) return NTE_BAD_ALGID;

    char* pszUtf8 = NULL;
    UINT cbUtf8 = 0;
    HRESULT hr = UTF16ToUTF8(pwszText, &pszUtf8, &cbUtf8);
    std::unique_ptr<char[]> utf8(pszUtf8);
    TraceStep(hr, TEXT("UTF16ToUTF8"));
    if (FAILED(hr)) return hr;

    BYTE* pbSignature = NULL;
    DWORD cbSignature = 0;
    const BYTE* pbContent = reinterpret_cast<const BYTE*>(utf8.get());
    hr = CalculateHashandSign(ppCert, pbContent, cbUtf8, algId, &pbSignature, &cbSignature);
    std::unique_ptr<BYTE[]> signature(pbSignature);
    TraceStep(hr, TEXT("CalculateHashandSign"));
    if (FAILED(hr)) return hr;

    DWORD cchBase64 = 0;
    hr = EncapsulatePKCS7(*ppCert, pszDigestOID, pszSignatureOID, pbContent, cbUtf8, signature.get(), cbSignature,
                          pbstrResult, &cchBase64, bAttached, 0);
    TraceStep(hr, TEXT("EncapsulatePKCS7"));
    return hr;
}

HRESULT SignFile(BSTR* pbstrResult, LPCWSTR pwszFilePath, PCCERT_CONTEXT* ppCert, ALG_ID algId)
{
    TraceHelper trace("SignFile");
    if (pbstrResult == NULL) return E_POINTER;
    if (pwszFilePath == NULL) NPK_TRACE(TRACE_ERROR, TraceMsg(TRACE_GUID_CRYPTO, 77));

    LPCSTR pszDigestOID = NULL;
    LPCSTR pszSignatureOID = NULL;
    if (!GetAlgorithmIdentifiers(&pszDigestOID, &pszSignatureOID, algId)) return NTE_BAD_ALGID;

    BYTE* pbSignature = NULL;
    DWORD cbSignature = 0;
    HRESULT hr = CalculateFileHashandSign(ppCert, pwszFilePath, algId, &pbSignature, &cbSignature);
    std::unique_ptr<BYTE[]> signature(pbSignature);
    TraceStep(hr, TEXT("CalculateFileHashandSign"));
    if (FAILED(hr)) return hr;

    DWORD cchBase64 = 0;
    hr = EncapsulatePKCS7(*ppCert, pszDigestOID, pszSignatureOID, NULL, 0, signature.get(), cbSignature, pbstrResult,
                          &cchBase64, FALSE, 0);
    TraceStep(hr, TEXT("EncapsulatePKCS7"));
    return hr;
}
