// Enveloped messages arrive from files in pieces: whatever the bytes and however they are cut,
// the streamed decoder must fail cleanly or answer blocks that stay inside their buffers, and a
// decryption attempted once the header is there must never crash, hang or leak.
#include <cstdlib>
#include <cstring>
#include <vector>

#include <windows.h>
#include <wincrypt.h>

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

void Check(bool condition)
{
    if (!condition) std::abort();
}

BOOL WINAPI Drop(const void*, BYTE* pb, DWORD cb, BOOL)
{
    volatile BYTE sink = 0;
    for (DWORD i = 0; i < cb; ++i) sink = sink + pb[i];
    (void)sink;
    return TRUE;
}

void TouchRecipient(HCRYPTMSG h, DWORD index)
{
    DWORD cb = 0;
    if (!CryptMsgGetParam(h, CMSG_CMS_RECIPIENT_INFO_PARAM, index, nullptr, &cb)) return;
    std::vector<BYTE> block(cb);
    Check(CryptMsgGetParam(h, CMSG_CMS_RECIPIENT_INFO_PARAM, index, block.data(), &cb));
    const auto* info = reinterpret_cast<const CMSG_CMS_RECIPIENT_INFO*>(block.data());
    const CMSG_KEY_TRANS_RECIPIENT_INFO& kt = *info->pKeyTrans;
    volatile BYTE sink = 0;
    for (DWORD i = 0; i < kt.EncryptedKey.cbData; ++i) sink = sink + kt.EncryptedKey.pbData[i];
    sink = sink + static_cast<BYTE>(std::strlen(kt.KeyEncryptionAlgorithm.pszObjId));
    (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2 || size > 1 << 16) return 0;
    // The first byte chooses the cutting; the rest is the message.
    const unsigned seed = data[0];
    std::vector<BYTE> copy(data + 1, data + size);
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Drop, nullptr};
    HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, &stream);
    Check(h != nullptr);
    // A provider without keys: the unwrap fails, but everything before it runs.
    HCRYPTPROV prov = 0;
    CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    size_t at = 0;
    unsigned state = seed | 1;
    bool tried = false;
    while (at < copy.size()) {
        state = state * 1103515245u + 12345u;
        size_t n = 1 + (state >> 16) % (seed & 0x80 ? 4096 : 16);
        if (n > copy.size() - at) n = copy.size() - at;
        const bool final = at + n == copy.size();
        if (!CryptMsgUpdate(h, copy.data() + at, static_cast<DWORD>(n), final)) {
            Check(GetLastError() != 0);
            break;
        }
        at += n;
        DWORD cb = 0;
        if (!tried && CryptMsgGetParam(h, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, nullptr, &cb)) {
            tried = true;
            DWORD count = 0, size4 = sizeof count;
            Check(CryptMsgGetParam(h, CMSG_RECIPIENT_COUNT_PARAM, 0, &count, &size4));
            for (DWORD i = 0; i < count && i < 4; ++i) TouchRecipient(h, i);
            CMSG_CTRL_DECRYPT_PARA para{sizeof para, {prov}, AT_KEYEXCHANGE, 0};
            Check(!CryptMsgControl(h, 0, CMSG_CTRL_DECRYPT, &para));
        }
    }
    if (prov != 0) CryptReleaseContext(prov, 0);
    Check(CryptMsgClose(h));
    return 0;
}
