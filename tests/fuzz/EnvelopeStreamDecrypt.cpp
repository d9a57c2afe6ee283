// Envelope files are decrypted as they stream in. Given a provider that holds the recipient's
// key, the decoder gets past the key unwrap, so whatever the bytes and however they are cut,
// the cipher, its padding and the output callback must stay inside their buffers and every
// handle must close. Seeds: envelopes openssl made for the recipient fixture; the first byte
// chooses the cutting, as in the streamed-update target.
#include <vector>

#include <windows.h>
#include <wincrypt.h>

#include "FuzzSupport.h"

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The provider and the store it came from live as long as the process.
struct Key {
    HCERTSTORE store = nullptr;
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
};

const Key& RecipientKey()
{
    static const Key key = [] {
        std::vector<unsigned char> pfx = fuzz::Fixture("recipient.pfx");
        CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.data()};
        HCERTSTORE store = PFXImportCertStore(&blob, TEXT("npkeystrand"), CRYPT_USER_KEYSET);
        fuzz::Check(store != nullptr);
        Key k;
        k.store = store;
        PCCERT_CONTEXT c = nullptr;
        while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) {
            BOOL callerFree = FALSE;
            if (CryptAcquireCertificatePrivateKey(c, 0, nullptr, &k.prov, &k.keySpec, &callerFree)) {
                CertFreeCertificateContext(c);
                break;
            }
        }
        fuzz::Check(k.prov != 0);
        return k;
    }();
    return key;
}

BOOL WINAPI Consume(const void* arg, BYTE* pb, DWORD cb, BOOL)
{
    auto* total = static_cast<size_t*>(const_cast<void*>(arg));
    volatile BYTE sink = 0;
    for (DWORD i = 0; i < cb; ++i) sink = sink + pb[i];
    (void)sink;
    *total += cb;
    return TRUE;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2 || size > 1 << 16) return 0;
    const Key& key = RecipientKey();
    const unsigned seed = data[0];
    std::vector<BYTE> copy(data + 1, data + size);
    size_t output = 0;
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Consume, &output};
    HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, &stream);
    fuzz::Check(h != nullptr);
    size_t at = 0;
    unsigned state = seed | 1;
    bool tried = false;
    while (at < copy.size()) {
        state = state * 1103515245u + 12345u;
        size_t n = 1 + (state >> 16) % (seed & 0x80 ? 4096 : 64);
        if (n > copy.size() - at) n = copy.size() - at;
        const bool final = at + n == copy.size();
        if (!CryptMsgUpdate(h, copy.data() + at, static_cast<DWORD>(n), final)) {
            fuzz::Check(GetLastError() != 0);
            break;
        }
        at += n;
        DWORD cb = 0;
        if (!tried && CryptMsgGetParam(h, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, nullptr, &cb)) {
            tried = true;
            DWORD count = 0, cbCount = sizeof count;
            fuzz::Check(CryptMsgGetParam(h, CMSG_RECIPIENT_COUNT_PARAM, 0, &count, &cbCount));
            // The recipient the seed's bits name, so that a message for several still decrypts.
            CMSG_CTRL_DECRYPT_PARA para{sizeof para, {key.prov}, key.keySpec, count == 0 ? 0 : (seed >> 1) % count};
            if (!CryptMsgControl(h, 0, CMSG_CTRL_DECRYPT, &para)) fuzz::Check(GetLastError() != 0);
        }
    }
    fuzz::Check(CryptMsgClose(h));
    return 0;
}
