// CryptAcquireCertificatePrivateKey and the linking of a certificate to its key.
#include <windows.h>
#include <wincrypt.h>

#include "advapi32/CryptKeyContainers.h"
#include "advapi32/CryptObjects.h"
#include "crypt32/CertKeyLink.h"
#include "crypt32/CertObjects.h"
#include "crypt32/LibContext.h"

#include <memory>
#include <vector>

#include <openssl/rand.h>
#include <openssl/x509.h>

namespace {

// The certificate's key provider information, or null with the last error set.
std::unique_ptr<BYTE[]> KeyProvInfo(PCCERT_CONTEXT pCert)
{
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb)) {
        if (GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND))
            SetLastError(static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY));
        return nullptr;
    }
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[cb]);
    if (!block) {
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
        return nullptr;
    }
    if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, block.get(), &cb)) return nullptr;
    return block;
}

// A new container name in the form Windows gives its own: a braced random GUID.
std::basic_string<WCHAR> NewContainerName()
{
    BYTE r[16];
    if (RAND_bytes_ex(NpkLibContext(), r, sizeof(r), 0) != 1) return std::basic_string<WCHAR>();
    r[6] = static_cast<BYTE>((r[6] & 0x0F) | 0x40);
    r[8] = static_cast<BYTE>((r[8] & 0x3F) | 0x80);
    static const char digits[] = "0123456789ABCDEF";
    std::basic_string<WCHAR> out;
    out += static_cast<WCHAR>('{');
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += static_cast<WCHAR>('-');
        out += static_cast<WCHAR>(digits[r[i] >> 4]);
        out += static_cast<WCHAR>(digits[r[i] & 0x0F]);
    }
    out += static_cast<WCHAR>('}');
    return out;
}

}  // namespace

EVP_PKEY* NpkCertificatePublicKey(PCCERT_CONTEXT pCert)
{
    if (pCert == nullptr || pCert->pbCertEncoded == nullptr) return nullptr;
    if (npk::crypt32::CertContextObject* object = npk::crypt32::CertContextObject::FromHandle(pCert)) {
        EVP_PKEY* key = object->Data()->publicKey;
        if (key != nullptr && EVP_PKEY_up_ref(key) == 1) return key;
        return nullptr;
    }
    const unsigned char* p = pCert->pbCertEncoded;
    X509* cert = X509_new_ex(NpkLibContext(), nullptr);
    if (cert == nullptr) return nullptr;
    if (d2i_X509(&cert, &p, static_cast<long>(pCert->cbCertEncoded)) == nullptr) {
        X509_free(cert);
        return nullptr;
    }
    EVP_PKEY* key = X509_get_pubkey(cert);
    X509_free(cert);
    return key;
}

BOOL NpkLinkCertificateToKey(PCCERT_CONTEXT pCert, EVP_PKEY* key, bool persist)
{
    if (pCert == nullptr || key == nullptr) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    EVP_PKEY* pub = NpkCertificatePublicKey(pCert);
    bool same = pub != nullptr && EVP_PKEY_eq(pub, key) == 1;
    EVP_PKEY_free(pub);
    if (!same) {
        SetLastError(static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
        return FALSE;
    }
    std::basic_string<WCHAR> container = NewContainerName();
    if (container.empty()) {
        SetLastError(static_cast<DWORD>(NTE_FAIL));
        return FALSE;
    }
    std::basic_string<WCHAR> provider = MS_ENH_RSA_AES_PROV_W;
    if (!NpkStoreKeyInContainer(container.c_str(), provider.c_str(), PROV_RSA_AES, AT_KEYEXCHANGE, key, persist))
        return FALSE;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container.data();
    info.pwszProvName = provider.data();
    info.dwProvType = PROV_RSA_AES;
    info.dwKeySpec = AT_KEYEXCHANGE;
    if (!CertSetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
        DWORD error = GetLastError();
        NpkDeleteKeyContainer(NpkToUtf8(container.c_str()), false);
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                                         HCRYPTPROV* phCryptProv, DWORD* pdwKeySpec,
                                                         BOOL* pfCallerFreeProv)
{
    (void)pvParameters;
    if (phCryptProv != nullptr) *phCryptProv = 0;
    if (pfCallerFreeProv != nullptr) *pfCallerFreeProv = FALSE;
    if (pCert == nullptr || phCryptProv == nullptr) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    std::unique_ptr<BYTE[]> block = KeyProvInfo(pCert);
    if (!block) return FALSE;
    const CRYPT_KEY_PROV_INFO* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(block.get());
    if (info->pwszContainerName == nullptr) {
        SetLastError(static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY));
        return FALSE;
    }
    bool machine = (info->dwFlags & CRYPT_MACHINE_KEYSET) != 0;

    // The key is compared with the certificate whatever the flags: a provider handle for
    // some other key would sign with the wrong identity.
    EVP_PKEY* priv = NpkFindKeyInContainer(info->pwszContainerName, info->dwKeySpec, machine);
    if (priv == nullptr) return FALSE;
    EVP_PKEY* pub = NpkCertificatePublicKey(pCert);
    bool same = pub != nullptr && EVP_PKEY_eq(pub, priv) == 1;
    EVP_PKEY_free(pub);
    EVP_PKEY_free(priv);
    if (!same) {
        SetLastError(static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
        return FALSE;
    }

    DWORD acquireFlags = info->dwFlags & (CRYPT_MACHINE_KEYSET | CRYPT_SILENT);
    if ((dwFlags & CRYPT_ACQUIRE_SILENT_FLAG) != 0) acquireFlags |= CRYPT_SILENT;
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, info->pwszContainerName, info->pwszProvName, info->dwProvType, acquireFlags))
        return FALSE;
    *phCryptProv = hProv;
    if (pdwKeySpec != nullptr) *pdwKeySpec = info->dwKeySpec;
    // No handle is cached on the context, so the caller always owns the one it gets.
    if (pfCallerFreeProv != nullptr) *pfCallerFreeProv = TRUE;
    SetLastError(0);
    return TRUE;
}
