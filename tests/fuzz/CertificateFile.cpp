// Certificate files come from pages: SelectEncryptCertificateByCERFile reads the file, takes it
// as a DER certificate and else as Base64 of one. Whatever the bytes, the agent either chooses
// a certificate whose fields all read back, or fails with a code and keeps nothing; the DER
// parser alone answers the same for the same bytes. Seeds: the fixture certificates in DER,
// Base64 and PEM.
#include <string>
#include <vector>

#include <windows.h>
#include <oleauto.h>
#include <wincrypt.h>

#include "FuzzSupport.h"
#include "agent/CryptoAgent.h"

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

void ReadFields(PCCERT_CONTEXT cert)
{
    fuzz::Check(cert->pCertInfo != nullptr && cert->cbCertEncoded > 0);
    for (const CERT_NAME_BLOB* blob : {&cert->pCertInfo->Subject, &cert->pCertInfo->Issuer}) {
        for (DWORD type : {static_cast<DWORD>(CERT_X500_NAME_STR), static_cast<DWORD>(CERT_SIMPLE_NAME_STR)}) {
            DWORD cch = CertNameToStrW(kEnc, const_cast<CERT_NAME_BLOB*>(blob), type, nullptr, 0);
            fuzz::Check(cch >= 1);
            std::vector<WCHAR> name(cch + 4, 0x5A5A);
            fuzz::Check(CertNameToStrW(kEnc, const_cast<CERT_NAME_BLOB*>(blob), type, name.data(), cch) == cch);
            fuzz::Check(name[cch - 1] == 0 && name[cch] == 0x5A5A);
        }
    }
    const CERT_INFO* info = cert->pCertInfo;
    volatile BYTE sink = 0;
    for (DWORD i = 0; i < info->SerialNumber.cbData; ++i) sink = sink + info->SerialNumber.pbData[i];
    for (DWORD i = 0; i < info->SubjectPublicKeyInfo.PublicKey.cbData; ++i)
        sink = sink + info->SubjectPublicKeyInfo.PublicKey.pbData[i];
    for (DWORD i = 0; i < info->cExtension; ++i) sink = sink + info->rgExtension[i].Value.cbData;
    (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 1 << 16) return 0;
    static const std::string path = fuzz::PrivateHome() + "/certificate.cer";

    // The DER parser by itself.
    PCCERT_CONTEXT cert = CertCreateCertificateContext(kEnc, data, static_cast<DWORD>(size));
    if (cert != nullptr) {
        ReadFields(cert);
        fuzz::Check(CertFreeCertificateContext(cert));
    } else {
        fuzz::Check(GetLastError() != 0);
    }

    // The agent's selection, DER then Base64, from a file as a page names it.
    fuzz::WriteFile(path, data, size);
    static CCryptoAgent agent;
    std::basic_string<WCHAR> wide(path.begin(), path.end());
    BSTR file = SysAllocString(wide.c_str());
    BSTR result = nullptr;
    HRESULT hr = agent.SelectEncryptCertificateByCERFile(file, &result);
    fuzz::Check(result != nullptr);  // the empty text on failure
    if (FAILED(hr)) fuzz::Check(SysStringLen(result) == 0);
    SysFreeString(result);
    SysFreeString(file);
    return 0;
}
