// `npkeystrand store` on POSIX: PFX files are read with the platform layer's own parser, and
// keys imported into "MY" go into its key containers on disk.
#include "host/StoreSupport.h"

#include "platform/crypt32/CertKeyLink.h"
#include "platform/crypt32/PfxImport.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstdio>

namespace npk::host::store {

int ImportPfx(ImportRequest& request, bool keepKeys)
{
    const std::string& path = request.path;
    if (!request.provider.empty()) {
        return Usage("--csp names a Windows provider; here keys are kept by the platform layer");
    }
    Bytes file;
    if (!ReadFileBytes(path, file)) return Fail("cannot read " + path, ERROR_FILE_NOT_FOUND);
    WideString widePassword = Widen(request.password);
    NpkPfxContents contents;
    DWORD error = NpkParsePfx(file.data(), file.size(), request.havePassword ? widePassword.c_str() : nullptr, contents);
    OPENSSL_cleanse(widePassword.data(), widePassword.size() * sizeof(WCHAR));
    OPENSSL_cleanse(request.password.data(), request.password.size());
    if (error == static_cast<DWORD>(ERROR_INVALID_PASSWORD)) {
        std::fprintf(stderr, "npkeystrand store: cannot import %s: the password is wrong (0x%08x)\n", path.c_str(),
                     static_cast<unsigned>(error));
        return kExitFailure;
    }
    if (error != 0) return Fail("cannot import " + path, error);
    if (contents.certificates.empty()) {
        std::fprintf(stderr, "npkeystrand store: %s holds no certificate\n", path.c_str());
        return kExitFailure;
    }

    HCERTSTORE store = OpenUserStore(request.storeName, true);
    if (store == nullptr) return Fail("cannot open store " + request.storeName, GetLastError());
    int status = 0;
    for (const NpkPfxCertificate& c : contents.certificates) {
        PCCERT_CONTEXT added = nullptr;
        if (!CertAddEncodedCertificateToStore(store, kEncoding, c.encoded.data(), static_cast<DWORD>(c.encoded.size()),
                                              CERT_STORE_ADD_USE_EXISTING, &added)) {
            status = Fail("cannot add a certificate of " + path + " to " + request.storeName, GetLastError());
            break;
        }
        if (!c.friendlyName.empty()) {
            CRYPT_DATA_BLOB name{static_cast<DWORD>((c.friendlyName.size() + 1) * sizeof(WCHAR)),
                                 reinterpret_cast<BYTE*>(const_cast<WCHAR*>(c.friendlyName.c_str()))};
            CertSetCertificateContextProperty(added, CERT_FRIENDLY_NAME_PROP_ID, 0, &name);
        }
        bool linked = false;
        if (keepKeys && c.key != nullptr) {
            // A certificate already in the store with its key keeps the container it has.
            linked = HasPrivateKey(added);
            if (!linked) {
                if (!NpkLinkCertificateToKey(added, c.key, true)) {
                    status = Fail("cannot keep the private key of " + SubjectOf(added), GetLastError());
                    CertFreeCertificateContext(added);
                    break;
                }
                linked = true;
            }
        }
        std::printf("imported: %s (thumbprint %s, private key: %s)\n", SubjectOf(added).c_str(),
                    Thumbprint(added).c_str(), linked ? "yes" : "no");
        CertFreeCertificateContext(added);
    }
    CertCloseStore(store, 0);
    return status;
}

Bytes DecodeCertificateText(const Bytes& file)
{
    std::string text(file.begin(), file.end());
    // Only what lies between the armour lines, when there are any.
    size_t begin = text.find("-----BEGIN");
    if (begin != std::string::npos) {
        size_t bodyStart = text.find('\n', begin);
        size_t end = text.find("-----END", begin);
        if (bodyStart == std::string::npos || end == std::string::npos || end < bodyStart) return {};
        text = text.substr(bodyStart + 1, end - bodyStart - 1);
    }
    std::string b64;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=') return {};
        b64 += c;
    }
    if (b64.empty() || b64.size() % 4 != 0) return {};
    Bytes out(b64.size() / 4 * 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(b64.data()), static_cast<int>(b64.size()));
    if (n < 0) return {};
    size_t pad = 0;
    while (pad < 2 && b64[b64.size() - 1 - pad] == '=') ++pad;
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

}  // namespace npk::host::store
