// `npkeystrand store` on Windows: the user's real system stores. PFX files are opened with
// PFXImportCertStore; certificates imported into "MY" keep the key containers it made for
// them, or, with --csp, have their keys moved into a container of the named provider as
// exchange keys (as certutil's -csp does).
#include "host/StoreSupport.h"

#include "host/HostPlatform.h"

#include <cstdio>

namespace npk::host::store {

namespace {

// Releases what a CRYPT_KEY_PROV_INFO read from a certificate occupies.
struct KeyProvInfo {
    Bytes bytes;
    const CRYPT_KEY_PROV_INFO* get() const { return reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(bytes.data()); }
};

bool ReadKeyProvInfo(PCCERT_CONTEXT cert, KeyProvInfo& info)
{
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb) || cb == 0) return false;
    info.bytes.assign(cb, 0);
    return CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, info.bytes.data(), &cb) != FALSE;
}

// A new, empty key container of the named provider, of whichever RSA type it is.
bool NewContainer(const WideString& container, const WideString& provider, HCRYPTPROV& prov, DWORD& provType)
{
    for (DWORD type : {static_cast<DWORD>(PROV_RSA_AES), static_cast<DWORD>(PROV_RSA_FULL)}) {
        HCRYPTPROV old = 0;
        // A container left by an earlier import of the same certificate is replaced.
        if (CryptAcquireContextW(&old, container.c_str(), provider.c_str(), type, CRYPT_DELETEKEYSET)) old = 0;
        if (CryptAcquireContextW(&prov, container.c_str(), provider.c_str(), type, CRYPT_NEWKEYSET)) {
            provType = type;
            return true;
        }
        if (GetLastError() != static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH)) return false;
    }
    return false;
}

// Moves the certificate's private key into a container of the provider, as an exchange key,
// and points the certificate's key provider information at it. The old container is deleted.
bool MoveKey(PCCERT_CONTEXT cert, const WideString& provider)
{
    KeyProvInfo old;
    if (!ReadKeyProvInfo(cert, old)) return false;
    HCRYPTPROV source = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &source, &keySpec, &callerFree))
        return false;
    Bytes blob;
    HCRYPTKEY key = 0;
    DWORD cb = 0;
    // The key is looked for under the spec the certificate names, then under either spec:
    // providers differ in where an imported PFX key ends up.
    bool ok = false;
    for (DWORD spec : {keySpec, static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
        if (CryptGetUserKey(source, spec, &key)) {
            ok = true;
            break;
        }
        key = 0;
    }
    ok = ok && CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &cb);
    if (ok) {
        blob.assign(cb, 0);
        ok = CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, blob.data(), &cb) != FALSE;
        blob.resize(cb);
    }
    DWORD error = GetLastError();
    if (key != 0) CryptDestroyKey(key);
    if (callerFree) CryptReleaseContext(source, 0);
    if (!ok || blob.size() < sizeof(BLOBHEADER)) {
        SetLastError(ok ? static_cast<DWORD>(NTE_BAD_KEY) : error);
        return false;
    }
    reinterpret_cast<BLOBHEADER*>(blob.data())->aiKeyAlg = CALG_RSA_KEYX;

    const WideString container = Widen("npkeystrand-" + Thumbprint(cert));
    HCRYPTPROV target = 0;
    DWORD provType = 0;
    HCRYPTKEY imported = 0;
    ok = NewContainer(container, provider, target, provType) &&
         CryptImportKey(target, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &imported);
    error = GetLastError();
    SecureZeroMemory(blob.data(), blob.size());
    if (imported != 0) CryptDestroyKey(imported);
    if (target != 0) CryptReleaseContext(target, 0);
    if (ok) {
        CRYPT_KEY_PROV_INFO info = {};
        info.pwszContainerName = const_cast<LPWSTR>(container.c_str());
        info.pwszProvName = const_cast<LPWSTR>(provider.c_str());
        info.dwProvType = provType;
        info.dwKeySpec = AT_KEYEXCHANGE;
        ok = CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != FALSE;
        error = GetLastError();
    }
    if (ok) {
        const CRYPT_KEY_PROV_INFO* was = old.get();
        HCRYPTPROV gone = 0;
        CryptAcquireContextW(&gone, was->pwszContainerName, was->pwszProvName, was->dwProvType,
                             CRYPT_DELETEKEYSET | (was->dwFlags & CRYPT_MACHINE_KEYSET));
    }
    SetLastError(error);
    return ok;
}

void CopyFriendlyName(PCCERT_CONTEXT from, PCCERT_CONTEXT to)
{
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(from, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &cb) || cb == 0) return;
    Bytes name(cb, 0);
    if (!CertGetCertificateContextProperty(from, CERT_FRIENDLY_NAME_PROP_ID, name.data(), &cb)) return;
    CRYPT_DATA_BLOB blob{cb, name.data()};
    CertSetCertificateContextProperty(to, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob);
}

HCERTSTORE OpenPfx(ImportRequest& request, const Bytes& file, bool keepKeys, DWORD& error)
{
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(file.size()), const_cast<BYTE*>(file.data())};
    DWORD flags = CRYPT_USER_KEYSET;
    if (!keepKeys) flags |= PKCS12_NO_PERSIST_KEY;
    if (!request.provider.empty()) flags |= CRYPT_EXPORTABLE;  // to move the keys afterwards
    WideString password = Widen(request.password);
    HCERTSTORE pfx = PFXImportCertStore(&blob, password.c_str(), flags);
    error = pfx == nullptr ? GetLastError() : 0;
    if (pfx == nullptr && !request.havePassword && error == static_cast<DWORD>(ERROR_INVALID_PASSWORD)) {
        // Files written without a password use either an empty or an absent one.
        pfx = PFXImportCertStore(&blob, nullptr, flags);
        error = pfx == nullptr ? GetLastError() : 0;
    }
    SecureZeroMemory(password.data(), password.size() * sizeof(WCHAR));
    SecureZeroMemory(request.password.data(), request.password.size());
    return pfx;
}

}  // namespace

int ImportPfx(ImportRequest& request, bool keepKeys)
{
    const std::string& path = request.path;
    Bytes file;
    if (!ReadFileBytes(path, file)) return Fail("cannot read " + path, ERROR_FILE_NOT_FOUND);
    DWORD error = 0;
    HCERTSTORE pfx = OpenPfx(request, file, keepKeys, error);
    if (pfx == nullptr && error == static_cast<DWORD>(ERROR_INVALID_PASSWORD)) {
        std::fprintf(stderr, "npkeystrand store: cannot import %s: the password is wrong (0x%08x)\n", path.c_str(),
                     static_cast<unsigned>(error));
        return kExitFailure;
    }
    if (pfx == nullptr && error == 0) {
        std::fprintf(stderr, "npkeystrand store: cannot import %s: not a PFX file, or the password is wrong "
                             "(the system gave no reason)\n", path.c_str());
        return kExitFailure;
    }
    if (pfx == nullptr) return Fail("cannot import " + path, error);
    if (CertEnumCertificatesInStore(pfx, nullptr) == nullptr) {
        std::fprintf(stderr, "npkeystrand store: %s holds no certificate\n", path.c_str());
        CertCloseStore(pfx, 0);
        return kExitFailure;
    }

    HCERTSTORE store = CertOpenSystemStoreW(0, Widen(request.storeName).c_str());
    if (store == nullptr) {
        error = GetLastError();
        CertCloseStore(pfx, 0);
        return Fail("cannot open store " + request.storeName, error);
    }
    const WideString provider = Widen(request.provider);
    int status = 0;
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(pfx, cert)) != nullptr) {
        KeyProvInfo info;
        const bool hasKey = keepKeys && ReadKeyProvInfo(cert, info);
        PCCERT_CONTEXT added = nullptr;
        if (!CertAddEncodedCertificateToStore(store, kEncoding, cert->pbCertEncoded, cert->cbCertEncoded,
                                              CERT_STORE_ADD_USE_EXISTING, &added)) {
            status = Fail("cannot add a certificate of " + path + " to " + request.storeName, GetLastError());
            CertFreeCertificateContext(cert);
            break;
        }
        CopyFriendlyName(cert, added);
        bool linked = false;
        if (hasKey) {
            // A certificate already in the store with its key keeps the container it has.
            linked = HasPrivateKey(added);
            if (!linked && !provider.empty() && !MoveKey(cert, provider)) {
                status = Fail("cannot move the private key of " + SubjectOf(cert) + " into " + request.provider,
                              GetLastError());
            } else if (!linked) {
                KeyProvInfo current;
                linked = ReadKeyProvInfo(cert, current) &&
                         CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, current.get());
                if (!linked) status = Fail("cannot keep the private key of " + SubjectOf(cert), GetLastError());
            }
        }
        if (status == 0) {
            std::printf("imported: %s (thumbprint %s, private key: %s)\n", SubjectOf(added).c_str(),
                        Thumbprint(added).c_str(), linked ? "yes" : "no");
        }
        CertFreeCertificateContext(added);
        if (status != 0) {
            CertFreeCertificateContext(cert);
            break;
        }
    }
    CertCloseStore(store, 0);
    CertCloseStore(pfx, 0);
    return status;
}

Bytes DecodeCertificateText(const Bytes& file)
{
    // CRYPT_STRING_BASE64_ANY takes bare Base64 and every PEM armour.
    const char* text = reinterpret_cast<const char*>(file.data());
    DWORD cb = 0;
    if (file.empty() ||
        !CryptStringToBinaryA(text, static_cast<DWORD>(file.size()), CRYPT_STRING_BASE64_ANY, nullptr, &cb, nullptr,
                              nullptr)) {
        return {};
    }
    Bytes out(cb);
    if (!CryptStringToBinaryA(text, static_cast<DWORD>(file.size()), CRYPT_STRING_BASE64_ANY, out.data(), &cb,
                              nullptr, nullptr)) {
        return {};
    }
    out.resize(cb);
    return out;
}

}  // namespace npk::host::store
