// Streamed file envelopes.
//
// The CMS members of CMSG_ENVELOPED_ENCODE_INFO (rgCmsRecipients and the rest) exist only when
// this is defined before the certificate header is read.
#define CMSG_ENVELOPED_ENCODE_INFO_HAS_CMS_FIELDS
#include "kernel/FileEnvelopes.h"

#include <cstring>
#include <memory>
#include <new>

#include "agent/ErrorCodes.h"
#include "kernel/CertificateQueries.h"
#include "kernel/Envelopes.h"
#include "kernel/Steps.h"
#include "trace/Trace.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kChunk = NPK_ENVELOPE_FILE_CHUNK;

using npk::kernel::Failed;
using npk::kernel::Step;

// An expected answer on the way (header not complete yet, already decrypted): shown only to
// those who follow the progress.
void Progress(HRESULT hr, LPCWSTR pwszStep)
{
    NPK_TRACE(TRACE_INFORMATION, TraceStep(hr, pwszStep));
}

// The algorithm identifier itself when the text is exactly one of the two, else null.
LPCSTR MatchAlgorithm(LPCSTR pszAlgorithm)
{
    if (pszAlgorithm == NULL) return NULL;
    if (std::strcmp(pszAlgorithm, NPK_OID_RC4) == 0) return NPK_OID_RC4;
    if (std::strcmp(pszAlgorithm, NPK_OID_DES_EDE3) == 0) return NPK_OID_DES_EDE3;
    return NULL;
}

// An input file read chunk by chunk into one zero-filled buffer, up to the size it had when
// it was opened: a file that grows meanwhile is cut at that size, one that shrinks fails.
class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile()
    {
        delete[] m_pbChunk;
        if (m_hFile != INVALID_HANDLE_VALUE) CloseHandle(m_hFile);
    }

    HRESULT Open(LPCWSTR pwszPath)
    {
        m_hFile = CreateFileW(pwszPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              NULL);
        if (m_hFile == INVALID_HANDLE_VALUE) return Failed(TEXT("CreateFile"));
        Step(S_OK, TEXT("CreateFile"));
        LARGE_INTEGER size;
        size.QuadPart = 0;
        if (!GetFileSizeEx(m_hFile, &size)) return Failed(TEXT("GetFileSizeEx"));
        Step(S_OK, TEXT("GetFileSizeEx"));
        m_size = size.QuadPart;
        m_pbChunk = new (std::nothrow) BYTE[kChunk];
        if (m_pbChunk == NULL) return Step(E_OUTOFMEMORY, TEXT("New Memory"));
        return Step(S_OK, TEXT("New Memory"));
    }

    // The next chunk in Data(); *pfFinal when it ends the file. An empty file gives one empty,
    // final chunk.
    HRESULT Read(DWORD* pcbRead, BOOL* pfFinal)
    {
        *pcbRead = 0;
        *pfFinal = FALSE;
        std::memset(m_pbChunk, 0, kChunk);
        const LONGLONG remaining = m_size - m_total;
        const DWORD cbWanted = remaining < static_cast<LONGLONG>(kChunk) ? static_cast<DWORD>(remaining) : kChunk;
        DWORD cbRead = 0;
        if (cbWanted > 0) {
            if (!ReadFile(m_hFile, m_pbChunk, cbWanted, &cbRead, NULL)) return Failed(TEXT("ReadFile"));
            // The file ended before the size it had: what is missing cannot be made up.
            if (cbRead == 0) return Step(HRESULT_FROM_WIN32(ERROR_HANDLE_EOF), TEXT("ReadFile"));
        }
        Step(S_OK, TEXT("ReadFile"));
        m_total += cbRead;
        *pcbRead = cbRead;
        *pfFinal = (m_total == m_size) ? TRUE : FALSE;
        return S_OK;
    }

    const BYTE* Data() const { return m_pbChunk; }
    bool Done() const { return m_total >= m_size; }

private:
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    BYTE* m_pbChunk = NULL;
    LONGLONG m_size = 0;
    LONGLONG m_total = 0;
};

// The output file of one operation, created new. Unless Keep() was called it is removed when
// the operation ends: it was created by this operation, so nothing of the user's is lost, and
// a partial envelope or plaintext never looks like a result.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { Close(); }

    HRESULT Create(LPCWSTR pwszPath, LPCWSTR pwszStep)
    {
        m_hFile = CreateFileW(pwszPath, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              NULL);
        if (m_hFile == INVALID_HANDLE_VALUE) return Failed(pwszStep);
        m_pwszPath = pwszPath;
        return Step(S_OK, pwszStep);
    }

    HANDLE Handle() const { return m_hFile; }
    void Keep() { m_keep = true; }

    void Close()
    {
        if (m_hFile == INVALID_HANDLE_VALUE) return;
        CloseHandle(m_hFile);
        m_hFile = INVALID_HANDLE_VALUE;
        if (!m_keep) {
            if (DeleteFileW(m_pwszPath))
                Step(S_OK, TEXT("DeleteFile"));
            else
                Failed(TEXT("DeleteFile"));
        }
    }

private:
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    LPCWSTR m_pwszPath = NULL;
    bool m_keep = false;
};

// The recipient arrays of the encoding description, released on every path.
struct RecipientArrays {
    CMSG_RECIPIENT_ENCODE_INFO* pCms = NULL;
    DWORD cCmsFilled = 0;
    PCERT_INFO* ppCertInfo = NULL;
    ~RecipientArrays()
    {
        for (DWORD i = 0; i < cCmsFilled; ++i) RelaseCMSRecipientInfo(&pCms[i]);
        delete[] pCms;
        delete[] ppCertInfo;
    }
};

// What the recipient search found: the matched certificate, released when the envelope has
// been read to its end, and its private key's provider, released then unless the decryption
// has handed it to the message.
struct RecipientKey {
    bool searched = false;
    bool matched = false;
    PCCERT_CONTEXT pCert = NULL;
    HCRYPTPROV hProv = 0;
    BOOL fFreeProv = FALSE;
    CMSG_CTRL_DECRYPT_PARA para;
    RecipientKey() { std::memset(&para, 0, sizeof(para)); }
    RecipientKey(const RecipientKey&) = delete;
    RecipientKey& operator=(const RecipientKey&) = delete;
    ~RecipientKey()
    {
        if (hProv != 0 && fFreeProv) CryptReleaseContext(hProv, 0);
        if (pCert != NULL) CertFreeCertificateContext(pCert);
    }
};

// Looks through the message's recipient entries, in order, for the first one that a
// certificate of the stores with an available private key answers to.
HRESULT SearchRecipient(HCRYPTMSG hMsg, const StoreList& vecStores, RecipientKey& key)
{
    DWORD cRecipients = 0;
    DWORD cbCount = sizeof(cRecipients);
    if (!CryptMsgGetParam(hMsg, CMSG_RECIPIENT_COUNT_PARAM, 0, &cRecipients, &cbCount))
        return Failed(TEXT("CryptMsgGetParam-CMSG_RECIPIENT_COUNT_PARAM"));
    Step(S_OK, TEXT("CryptMsgGetParam-CMSG_RECIPIENT_COUNT_PARAM"));

    std::unique_ptr<BYTE[]> info;
    for (DWORD i = 0; i < cRecipients; ++i) {
        DWORD cbInfo = 0;
        if (!CryptMsgGetParam(hMsg, CMSG_CMS_RECIPIENT_INFO_PARAM, i, NULL, &cbInfo))
            return Failed(TEXT("CryptMsgGetParam-CMSG_CMS_RECIPIENT_INFO_PARAM size"));
        Step(S_OK, TEXT("CryptMsgGetParam-CMSG_CMS_RECIPIENT_INFO_PARAM size"));
        info.reset(new (std::nothrow) BYTE[cbInfo == 0 ? 1 : cbInfo]);
        if (!info) return Step(E_OUTOFMEMORY, TEXT("New Memory"));
        std::memset(info.get(), 0, cbInfo == 0 ? 1 : cbInfo);
        Step(S_OK, TEXT("New Memory"));
        if (!CryptMsgGetParam(hMsg, CMSG_CMS_RECIPIENT_INFO_PARAM, i, info.get(), &cbInfo))
            return Failed(TEXT("CryptMsgGetParam-CMSG_CMS_RECIPIENT_INFO_PARAM value"));
        Step(S_OK, TEXT("CryptMsgGetParam-CMSG_CMS_RECIPIENT_INFO_PARAM value"));

        HRESULT hr = Step(GetCertofRecipient(reinterpret_cast<const CMSG_CMS_RECIPIENT_INFO*>(info.get()), vecStores,
                                             &key.pCert, &key.hProv, &key.para.dwKeySpec, &key.fFreeProv),
                          TEXT("GetCertofRecipient"));
        if (hr == S_OK) {
            key.para.cbSize = sizeof(CMSG_CTRL_DECRYPT_PARA);
            key.para.hCryptProv = key.hProv;
            key.para.dwRecipientIndex = i;
            key.matched = true;
            break;
        }
    }
    key.searched = true;
    return S_OK;
}

}  // namespace

BOOL WINAPI CmsgStreamOutputCallback(const void* pvArg, BYTE* pbData, DWORD cbData, BOOL fFinal)
{
    TraceHelper trace("CmsgStreamOutputCallback");
    (void)fFinal;
    HANDLE hFile = const_cast<void*>(pvArg);
    if (hFile == NULL || hFile == INVALID_HANDLE_VALUE) return FALSE;
    if (pbData == NULL || cbData == 0) return TRUE;
    DWORD cbWritten = 0;
    if (!WriteFile(hFile, pbData, cbData, &cbWritten, NULL)) {
        Failed(TEXT("WriteFile"));
        return FALSE;
    }
    // A short write on a file means the disk is full: the envelope would be cut.
    if (cbWritten != cbData) {
        SetLastError(ERROR_WRITE_FAULT);
        Failed(TEXT("WriteFile"));
        return FALSE;
    }
    return TRUE;
}

HRESULT ProcessPlaintextFile(HCRYPTMSG hMsg, LPCWSTR pwszPlaintextFile)
{
    TraceHelper trace("ProcessPlaintextFile");
    InputFile input;
    HRESULT hr = input.Open(pwszPlaintextFile);
    if (FAILED(hr)) return hr;
    do {
        DWORD cbRead = 0;
        BOOL fFinal = FALSE;
        hr = input.Read(&cbRead, &fFinal);
        if (FAILED(hr)) return hr;
        if (!CryptMsgUpdate(hMsg, input.Data(), cbRead, fFinal)) return Failed(TEXT("CryptMsgUpdate"));
        Step(S_OK, TEXT("CryptMsgUpdate"));
    } while (!input.Done());
    return S_OK;
}

HRESULT ProcessEnvelopeFile(HCRYPTMSG hMsg, LPCWSTR pwszEnvelopeFile, const StoreList& vecStores)
{
    TraceHelper trace("ProcessEnvelopeFile");
    InputFile input;
    HRESULT hr = input.Open(pwszEnvelopeFile);
    if (FAILED(hr)) return hr;

    RecipientKey key;
    do {
        DWORD cbRead = 0;
        BOOL fFinal = FALSE;
        hr = input.Read(&cbRead, &fFinal);
        if (FAILED(hr)) return hr;
        if (!CryptMsgUpdate(hMsg, input.Data(), cbRead, fFinal)) return Failed(TEXT("CryptMsgUpdate"));
        Step(S_OK, TEXT("CryptMsgUpdate"));

        if (!key.searched) {
            DWORD cbAlgorithm = 0;
            if (!CryptMsgGetParam(hMsg, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, NULL, &cbAlgorithm)) {
                hr = HResultFromFailedCall();
                if (hr != CRYPT_E_STREAM_MSG_NOT_READY) return Step(hr, TEXT("CryptMsgGetParam"));
                Progress(hr, TEXT("CryptMsgGetParam"));
                continue;
            }
            Step(S_OK, TEXT("CryptMsgGetParam"));
            hr = SearchRecipient(hMsg, vecStores, key);
            if (FAILED(hr)) return hr;
        }
        // Calling the decryption with an empty key would only give an obscure code: say
        // plainly that none of the stores can open this envelope.
        if (!key.matched) return Step(CRYPT_E_NO_DECRYPT_CERT, TEXT("GetCertofRecipient"));
        // A provider we own goes to the message with the decryption: the message may still use
        // it (the content key lives in it) until the caller closes the message, after this
        // function has returned.
        const DWORD dwFlags = key.fFreeProv ? CMSG_CRYPT_RELEASE_CONTEXT_FLAG : 0;
        if (!CryptMsgControl(hMsg, dwFlags, CMSG_CTRL_DECRYPT, &key.para)) {
            hr = HResultFromFailedCall();
            if (hr != CRYPT_E_ALREADY_DECRYPTED) return Step(hr, TEXT("CryptMsgControl"));
            Progress(hr, TEXT("CryptMsgControl"));
        } else {
            key.fFreeProv = FALSE;
            Step(S_OK, TEXT("CryptMsgControl"));
        }
    } while (!input.Done());

    // The final update was given and still no header: the message cannot be a whole envelope.
    if (!key.searched) return Step(CRYPT_E_STREAM_INSUFFICIENT_DATA, TEXT("CryptMsgGetParam"));
    return S_OK;
}

HRESULT GetCertofRecipient(const CMSG_CMS_RECIPIENT_INFO* pRecipientInfo, const StoreList& vecStores,
                           PCCERT_CONTEXT* ppCert, HCRYPTPROV* phProv, DWORD* pdwKeySpec, BOOL* pfCallerFreeProv)
{
    TraceHelper trace("GetCertofRecipient");
    if (ppCert == NULL || phProv == NULL || pdwKeySpec == NULL) return E_POINTER;
    *ppCert = NULL;
    *phProv = 0;
    if (pfCallerFreeProv != NULL) *pfCallerFreeProv = FALSE;
    if (pRecipientInfo == NULL || pRecipientInfo->dwRecipientChoice != CMSG_KEY_TRANS_RECIPIENT ||
        pRecipientInfo->pKeyTrans == NULL) {
        return E_FAIL;
    }
    CERT_ID id = pRecipientInfo->pKeyTrans->RecipientId;

    for (HCERTSTORE hStore : vecStores) {
        PCCERT_CONTEXT pCert = CertFindCertificateInStore(hStore, kEncoding, 0, CERT_FIND_CERT_ID, &id, NULL);
        if (pCert == NULL) continue;
        HCRYPTPROV hProv = 0;
        DWORD dwKeySpec = 0;
        BOOL fCallerFree = TRUE;
        if (CryptAcquireCertificatePrivateKey(pCert, 0, NULL, &hProv, &dwKeySpec, &fCallerFree)) {
            Step(S_OK, TEXT("CryptAcquireCertificatePrivateKey"));
            *ppCert = pCert;
            *phProv = hProv;
            *pdwKeySpec = dwKeySpec;
            if (pfCallerFreeProv != NULL) *pfCallerFreeProv = fCallerFree;
            return S_OK;
        }
        Failed(TEXT("CryptAcquireCertificatePrivateKey"));
        CertFreeCertificateContext(pCert);
    }
    return E_FAIL;
}

HRESULT EncryptPlaintextFiletoEnvelopeFile(LPCWSTR pwszPlaintextFile, LPCWSTR pwszEnvelopeFile,
                                           const CertificateList& vecRecipientCerts, LPCSTR pszAlgorithm,
                                           BOOL bKeyIdRecipient)
{
    TraceHelper trace("EncryptPlaintextFiletoEnvelopeFile");
    if (pwszPlaintextFile == NULL || pwszEnvelopeFile == NULL || pszAlgorithm == NULL)
        return Step(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), TEXT("Verify if the paramters are available"));
    // Without a recipient nobody could ever open the envelope.
    if (vecRecipientCerts.empty())
        return Step(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), TEXT("Verify if the recipient list is not empty"));

    // An unknown algorithm is refused before any file exists.
    LPCSTR pszObjId = MatchAlgorithm(pszAlgorithm);
    HRESULT hr = Step(pszObjId != NULL ? S_OK : CRYPT_E_UNKNOWN_ALGO, TEXT("Get content encryption algorithm"));
    if (FAILED(hr)) return hr;

    const DWORD cRecipients = static_cast<DWORD>(vecRecipientCerts.size());
    if (bKeyIdRecipient) {
        for (PCCERT_CONTEXT pCert : vecRecipientCerts) {
            hr = Step(GetCertSubjectKeyID(pCert, NULL, NULL),
                      TEXT("Verify if the certificate has subject key identifier"));
            if (FAILED(hr)) return hr;
        }
    }

    CMSG_ENVELOPED_ENCODE_INFO info;
    std::memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(CMSG_ENVELOPED_ENCODE_INFO);
    info.hCryptProv = 0;
    info.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(pszObjId);
    info.pvEncryptionAuxInfo = NULL;
    info.cRecipients = cRecipients;

    RecipientArrays arrays;
    if (bKeyIdRecipient) {
        arrays.pCms = new (std::nothrow) CMSG_RECIPIENT_ENCODE_INFO[cRecipients];
        if (arrays.pCms == NULL) return Step(E_OUTOFMEMORY, TEXT("New Memory -Recipient Info"));
        std::memset(arrays.pCms, 0, sizeof(CMSG_RECIPIENT_ENCODE_INFO) * cRecipients);
        Step(S_OK, TEXT("New Memory -Recipient Info"));
        for (DWORD i = 0; i < cRecipients; ++i) {
            arrays.cCmsFilled = i + 1;
            hr = Step(GetCMSRecipientsInfo(&arrays.pCms[i], vecRecipientCerts[i]), TEXT("GetCMSRecipientsInfo"));
            if (FAILED(hr)) return hr;
        }
        info.rgCmsRecipients = arrays.pCms;
    } else {
        arrays.ppCertInfo = new (std::nothrow) PCERT_INFO[cRecipients];
        if (arrays.ppCertInfo == NULL) return Step(E_OUTOFMEMORY, TEXT("New Memory -PCertificate Info"));
        Step(S_OK, TEXT("New Memory -PCertificate Info"));
        for (DWORD i = 0; i < cRecipients; ++i) arrays.ppCertInfo[i] = vecRecipientCerts[i]->pCertInfo;
        info.rgpRecipients = arrays.ppCertInfo;
    }

    OutputFile output;
    hr = output.Create(pwszEnvelopeFile, TEXT("CreateFile"));
    if (FAILED(hr)) return hr;

    CMSG_STREAM_INFO stream;
    std::memset(&stream, 0, sizeof(stream));
    stream.cbContent = CMSG_INDEFINITE_LENGTH;
    stream.pfnStreamOutput = CmsgStreamOutputCallback;
    stream.pvArg = output.Handle();

    HCRYPTMSG hMsg = CryptMsgOpenToEncode(kEncoding, 0, CMSG_ENVELOPED, &info, NULL, &stream);
    if (hMsg == NULL) return Failed(TEXT("CryptMsgOpenToEncode"));
    Step(S_OK, TEXT("CryptMsgOpenToEncode"));

    hr = Step(ProcessPlaintextFile(hMsg, pwszPlaintextFile), TEXT("ProcessPlaintextFile"));
    // The message is closed while the file is still open, in case closing still hands it bytes.
    CryptMsgClose(hMsg);
    if (SUCCEEDED(hr)) output.Keep();
    output.Close();
    return hr;
}

HRESULT DecryptEnvelopeFiletoPlaintextFile(const StoreList& vecStores, LPCWSTR pwszEnvelopeFile,
                                           LPCWSTR pwszPlaintextFile)
{
    TraceHelper trace("DecryptEnvelopeFiletoPlaintextFile");
    if (pwszEnvelopeFile == NULL || pwszPlaintextFile == NULL)
        return Step(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), TEXT("Verify if the paramters are available"));
    // No store means no key: the search below will say so.
    if (vecStores.empty()) TraceStep(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), TEXT("Verify if the store list is not empty"));

    OutputFile output;
    HRESULT hr = output.Create(pwszPlaintextFile, TEXT("CreateFile --Plaintext"));
    if (FAILED(hr)) return hr;

    CMSG_STREAM_INFO stream;
    std::memset(&stream, 0, sizeof(stream));
    stream.cbContent = CMSG_INDEFINITE_LENGTH;
    stream.pfnStreamOutput = CmsgStreamOutputCallback;
    stream.pvArg = output.Handle();

    HCRYPTMSG hMsg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, NULL, &stream);
    if (hMsg == NULL) return Failed(TEXT("CryptMsgOpenToDecode"));
    Step(S_OK, TEXT("CryptMsgOpenToDecode"));

    hr = Step(ProcessEnvelopeFile(hMsg, pwszEnvelopeFile, vecStores), TEXT("ProcessEnvelopeFile"));
    CryptMsgClose(hMsg);
    if (SUCCEEDED(hr)) output.Keep();
    output.Close();
    return hr;
}
