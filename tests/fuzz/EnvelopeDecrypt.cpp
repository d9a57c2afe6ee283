// Envelopes reach DecryptEnvelopeMessage from pages as Base64 of any bytes: whatever they are,
// CryptDecryptMessage with a store that holds the recipient's key (so that the key unwrap,
// the cipher and its padding are reached, not only the header) fails cleanly with an error
// or answers a size it keeps to, and leaves no context behind. Seeds: envelopes openssl made
// for the recipient fixture with every cipher, and the RFC 4134 one.
#include <cstring>
#include <vector>

#include <windows.h>
#include <wincrypt.h>

#include "FuzzSupport.h"
#include "crypt32/CertObjects.h"

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
using npk::crypt32::CertStoreObject;

HCERTSTORE RecipientStore()
{
    static HCERTSTORE store = [] {
        std::vector<unsigned char> pfx = fuzz::Fixture("recipient.pfx");
        CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.data()};
        HCERTSTORE s = PFXImportCertStore(&blob, TEXT("npkeystrand"), CRYPT_USER_KEYSET);
        fuzz::Check(s != nullptr);
        return s;
    }();
    return store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16) return 0;
    HCERTSTORE store = RecipientStore();
    const LONG contexts = CertStoreObject::LiveContexts();
    std::vector<BYTE> copy(data, data + size);
    CRYPT_DECRYPT_MESSAGE_PARA para{sizeof para, kEnc, 1, &store};

    DWORD needed = 0;
    SetLastError(0);
    if (!CryptDecryptMessage(&para, copy.data(), static_cast<DWORD>(copy.size()), nullptr, &needed, nullptr)) {
        fuzz::Check(GetLastError() != 0);
        fuzz::Check(CertStoreObject::LiveContexts() == contexts);
        return 0;
    }
    std::vector<BYTE> plain(needed + 16, 0xA5);
    DWORD got = needed;
    PCCERT_CONTEXT recipient = nullptr;
    if (CryptDecryptMessage(&para, copy.data(), static_cast<DWORD>(copy.size()), plain.data(), &got, &recipient)) {
        fuzz::Check(got <= needed);
        for (size_t i = needed; i < plain.size(); ++i) fuzz::Check(plain[i] == 0xA5);
        fuzz::Check(recipient != nullptr && recipient->pCertInfo != nullptr);
        CertFreeCertificateContext(recipient);
    } else {
        fuzz::Check(GetLastError() != 0 && recipient == nullptr);
    }
    fuzz::Check(CertStoreObject::LiveContexts() == contexts);
    return 0;
}
