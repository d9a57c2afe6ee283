// What `npkeystrand store` shares between its platforms: the stores are opened and read
// through the certificate functions both platforms have; importing a PFX file and decoding a
// certificate's text are each platform's own (StoreCommandPosix.cpp, StoreCommandWin32.cpp).
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

namespace npk::host::store {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

using Bytes = std::vector<BYTE>;
using WideString = std::basic_string<WCHAR>;

// Prints the usage, with the problem first when there is one; the exit status for it.
int Usage(const char* problem);
// Prints "what: the system's text (code)"; returns kExitFailure.
int Fail(const std::string& what, DWORD code);

WideString Widen(const std::string& text);
std::string Narrow(LPCWSTR text);
std::string SubjectOf(PCCERT_CONTEXT cert);
std::string Thumbprint(PCCERT_CONTEXT cert);
// Whether the certificate's key can really be had through its key provider information.
bool HasPrivateKey(PCCERT_CONTEXT cert);
bool ReadFileBytes(const std::string& path, Bytes& out);
// The current user's system store of that name.
HCERTSTORE OpenUserStore(const std::string& name, bool writable);

// What `store import` was asked to do.
struct ImportRequest {
    std::string storeName;
    std::string path;
    bool havePassword = false;
    std::string password;
    std::string provider;  // --csp: keep the keys in this provider (Windows)
};

// ---- each platform's own ----------------------------------------------------------------

// Adds the certificates of a PFX file to the request's store, with their keys when
// keepKeys; prints one line per certificate. The exit status.
int ImportPfx(ImportRequest& request, bool keepKeys);

// The DER bytes of a certificate given as Base64 text, with or without PEM armour; empty
// when the text is neither.
Bytes DecodeCertificateText(const Bytes& file);

}  // namespace npk::host::store
