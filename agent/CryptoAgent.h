// CCryptoAgent: the chosen certificates, the last result code and every scripted operation.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <wincrypt.h>

#include "kernel/CertificateLists.h"

// The system's own result codes: 0xA0070000 | string identifier.
#define NPK_E_NO_AVAILABLE_CERT        ((HRESULT)0xA0071001L)
#define NPK_E_USER_CANCELED            ((HRESULT)0xA0071002L)
#define NPK_E_QUERY_TYPE_NOT_SUPPORTED ((HRESULT)0xA0071003L)
#define NPK_E_BASE64_ENCODE            ((HRESULT)0xA0071004L)
#define NPK_E_BASE64_DECODE            ((HRESULT)0xA0071005L)
#define NPK_E_MALICIOUS_PATH           ((HRESULT)0xA0071006L)
#define NPK_E_EMPTY_FILE               ((HRESULT)0xA0071007L)
#define NPK_E_NO_SIGNER                ((HRESULT)0xA0071008L)
#define NPK_E_NO_KEY_USAGE             ((HRESULT)0xA0071020L)
#define NPK_E_NO_SUBJECT_KEY_ID        ((HRESULT)0xA0071021L)
#define NPK_E_CERT_NOT_FOUND           ((HRESULT)0xA0071035L)
#define NPK_E_CERT_NOT_READY           ((HRESULT)0xA0072001L)
#define NPK_E_LANGUAGE_NOT_SUPPORTED   ((HRESULT)0xA0072002L)
#define NPK_E_CERT_NOT_UNIQUE          ((HRESULT)0xA0072003L)
#define NPK_E_INVALID_HASH_ALGORITHM   ((HRESULT)0xA0072020L)
#define NPK_E_INVALID_CERT_USAGE       ((HRESULT)0xA0072021L)
#define NPK_E_INVALID_SIGN_TYPE        ((HRESULT)0xA0072022L)
#define NPK_E_INVALID_ENVELOPE_TYPE    ((HRESULT)0xA0072023L)

// The last Win32 error as an HRESULT; an application-defined error (bit 29) keeps bit 29,
// which makes it one of the system's own codes.
HRESULT HResultFromLastError();
HRESULT HResultFromWin32Error(DWORD dwError);

class CCryptoAgent {
public:
    CCryptoAgent();
    ~CCryptoAgent();
    CCryptoAgent(const CCryptoAgent&) = delete;
    CCryptoAgent& operator=(const CCryptoAgent&) = delete;

    // Slots 0 to 43, in this order.
    virtual HRESULT SelectCertificate(int nUsage, BSTR bstrSubjectDNFilter, BSTR bstrIssuerDNFilter, BSTR* pbstrResult);
    virtual HRESULT SelectCertificateByFile(int nUsage, BSTR bstrFilePath, BSTR bstrPassword, BSTR* pbstrResult);
    virtual HRESULT SignMessage(BSTR bstrMessage, BSTR bstrHashAlgorithm, BSTR* pbstrResult);
    virtual HRESULT SignMessage(BSTR bstrMessage, int nSignType, int nHashAlgorithm, VARIANT_BOOL bAttached, BSTR* pbstrResult);
    virtual HRESULT SignFile(BSTR bstrFilePath, int nSignType, int nHashAlgorithm, BSTR* pbstrResult);
    virtual HRESULT VerifyMessageSignature(BSTR bstrSignature, VARIANT_BOOL* pbResult);
    virtual HRESULT VerifyMessageSignature(BSTR bstrSignature, BSTR bstrContent, int nSignType, int nHashAlgorithm, VARIANT_BOOL bAttached);
    virtual HRESULT VerifyFileSignature(BSTR bstrSignature, BSTR bstrFilePath, int nSignType, int nHashAlgorithm);
    virtual HRESULT EncryptMessage(BSTR bstrMessage, int nEnvelopeType, BSTR bstrEncryptionAlgorithm, BSTR* pbstrResult);
    virtual HRESULT EncryptFileW(BSTR bstrSourceFile, BSTR bstrDestinationFile, int nEnvelopeType, BSTR bstrEncryptionAlgorithm);
    virtual HRESULT DecryptMessage(BSTR bstrEnvelope, BSTR* pbstrResult);
    virtual HRESULT DecryptFileW(BSTR bstrEnvelopeFile, BSTR bstrDestinationFile);
    virtual HRESULT GetLastErrorDesc(BSTR* pbstrResult);
    virtual HRESULT SelectSignCertificate(BSTR bstrSubjectDNFilter, BSTR bstrIssuerDNFilter, BSTR* pbstrResult);
    virtual HRESULT SelectSignCertificateWithoutPrivateKey(BSTR bstrCertificateFile, BSTR* pbstrResult);
    virtual HRESULT SelectEncryptCertificate(BSTR bstrSubjectDNFilter, BSTR bstrIssuerDNFilter, BSTR* pbstrResult);
    virtual HRESULT SelectDecryptCertificates(BSTR* pbstrResult);
    virtual HRESULT SelectSignCertificateByPFXFile(BSTR bstrPFXFile, BSTR bstrPassword, BSTR* pbstrResult);
    virtual HRESULT SelectEncryptCertificateByCERFile(BSTR bstrCertificateFile, BSTR* pbstrResult);
    virtual HRESULT SelectDecryptCertificateByPFXFile(BSTR bstrPFXFile, BSTR bstrPassword, BSTR* pbstrResult);
    virtual HRESULT SignMessageDetached(BSTR bstrMessage, BSTR bstrHashAlgorithm, BSTR* pbstrResult);
    virtual HRESULT SignMessagePKCS1(BSTR bstrMessage, BSTR bstrHashAlgorithm, BSTR* pbstrResult);
    virtual HRESULT VerifyMessageSignatureDetached(BSTR bstrSignature, BSTR bstrContent, VARIANT_BOOL* pbResult);
    virtual HRESULT VerifyMessageSignaturePKCS1(BSTR bstrSignature, BSTR bstrContent, BSTR bstrHashAlgorithm, VARIANT_BOOL* pbResult);
    virtual HRESULT SignFileDetached(BSTR bstrFilePath, BSTR bstrHashAlgorithm, BSTR* pbstrResult);
    virtual HRESULT SignFilePKCS1(BSTR bstrFilePath, BSTR bstrHashAlgorithm, BSTR* pbstrResult);
    virtual HRESULT VerifyFileSignatureDetached(BSTR bstrSignature, BSTR bstrFilePath, VARIANT_BOOL* pbResult);
    virtual HRESULT VerifyFileSignaturePKCS1(BSTR bstrSignature, BSTR bstrFilePath, BSTR bstrHashAlgorithm, VARIANT_BOOL* pbResult);
    virtual HRESULT EncryptMessageasEnvelope(BSTR bstrMessage, BSTR* pbstrResult);
    virtual HRESULT EncryptMessageasEnvelopePKCS7(BSTR bstrMessage, BSTR* pbstrResult);
    virtual HRESULT DecryptEnvelopeMessage(BSTR bstrEnvelope, BSTR* pbstrResult);
    virtual HRESULT DecryptEnvelopeMessagePKCS7(BSTR bstrEnvelope, BSTR* pbstrResult);
    virtual HRESULT EncryptAsEnvelopeFilePKCS7(BSTR bstrSourceFile, BSTR bstrDestinationFile, VARIANT_BOOL* pbResult);
    virtual HRESULT EncryptAsEnvelopeFile(BSTR bstrSourceFile, BSTR bstrDestinationFile, VARIANT_BOOL* pbResult);
    virtual HRESULT DecryptEnvelopeFilePKCS7(BSTR bstrEnvelopeFile, BSTR bstrDestinationFile, VARIANT_BOOL* pbResult);
    virtual HRESULT DecryptEnvelopeFile(BSTR bstrEnvelopeFile, BSTR bstrDestinationFile, VARIANT_BOOL* pbResult);
    virtual HRESULT VerifyMessageSignaturePKCS7(BSTR bstrSignedMessage, BSTR* pbstrResult);
    virtual HRESULT GetCSPNameofSignCert(BSTR* pbstrResult);
    virtual HRESULT GetSignaturePublicCertDN(BSTR* pbstrResult);
    virtual HRESULT GetSignaturePublicCertSN(BSTR* pbstrResult);
    virtual HRESULT EncryptMessageasEnvelope_3DES(BSTR bstrMessage, BSTR* pbstrResult);
    virtual HRESULT EncryptMessageasEnvelopePKCS7_3DES(BSTR bstrMessage, BSTR* pbstrResult);
    virtual HRESULT EncryptAsEnvelopeFilePKCS7_3DES(BSTR bstrSourceFile, BSTR bstrDestinationFile, VARIANT_BOOL* pbResult);
    virtual HRESULT EncryptAsEnvelopeFile_3DES(BSTR bstrSourceFile, BSTR bstrDestinationFile, VARIANT_BOOL* pbResult);

    // Read-only views for tests and for a host that calls the agent directly.
    HRESULT LastError() const { return m_hrLastError; }

protected:
    // Drops the signer remembered from the last PKCS#7 verification.
    void ForgetSignatureCert();

    HRESULT m_hrLastError;
    CertificateList m_vecSignCerts;
    CertificateList m_vecEncryptCerts;
    StoreList m_vecDecryptStores;
    PCCERT_CONTEXT m_pSignatureCert;
};
