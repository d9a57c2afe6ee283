// Signed messages come from pages and files: whatever the bytes, decoding (attached and
// detached, whole or split in two updates), every parameter, the message store and message
// verification must fail cleanly or give blocks that stay inside their buffers and agree
// between the size query and the real call.
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

void FuzzParam(HCRYPTMSG h, DWORD type, DWORD index)
{
    DWORD needed = 0;
    if (!CryptMsgGetParam(h, type, index, nullptr, &needed)) return;
    std::vector<BYTE> block(needed + 8, 0xA5);
    DWORD cb = needed;
    Check(CryptMsgGetParam(h, type, index, block.data(), &cb));
    Check(cb == needed);
    for (size_t i = needed; i < block.size(); ++i) Check(block[i] == 0xA5);
    if (needed > 0) {
        DWORD shortBy = needed - 1;
        Check(!CryptMsgGetParam(h, type, index, block.data(), &shortBy));
        Check(GetLastError() == ERROR_MORE_DATA && shortBy == needed);
    }
    // Touch what the blocks point to, so that a pointer out of the block is caught.
    volatile BYTE sink = 0;
    if (type == CMSG_SIGNER_INFO_PARAM) {
        const CMSG_SIGNER_INFO* si = reinterpret_cast<const CMSG_SIGNER_INFO*>(block.data());
        for (DWORD i = 0; i < si->EncryptedHash.cbData; ++i) sink = sink + si->EncryptedHash.pbData[i];
        for (DWORD i = 0; i < si->Issuer.cbData; ++i) sink = sink + si->Issuer.pbData[i];
        sink = sink + static_cast<BYTE>(std::strlen(si->HashAlgorithm.pszObjId));
        for (DWORD a = 0; a < si->AuthAttrs.cAttr; ++a)
            for (DWORD v = 0; v < si->AuthAttrs.rgAttr[a].cValue; ++v)
                for (DWORD i = 0; i < si->AuthAttrs.rgAttr[a].rgValue[v].cbData; ++i)
                    sink = sink + si->AuthAttrs.rgAttr[a].rgValue[v].pbData[i];
    } else if (type == CMSG_SIGNER_CERT_INFO_PARAM) {
        const CERT_INFO* ci = reinterpret_cast<const CERT_INFO*>(block.data());
        for (DWORD i = 0; i < ci->SerialNumber.cbData; ++i) sink = sink + ci->SerialNumber.pbData[i];
    }
    (void)sink;
}

void FuzzDecode(const BYTE* p, DWORD n, DWORD flags, bool split)
{
    HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, flags, 0, 0, nullptr, nullptr);
    Check(h != nullptr);
    BOOL ok;
    if (split && n > 1) {
        ok = CryptMsgUpdate(h, p, n / 2, FALSE) && CryptMsgUpdate(h, p + n / 2, n - n / 2, TRUE);
    } else {
        ok = CryptMsgUpdate(h, p, n, TRUE);
    }
    if (ok) {
        DWORD signers = 0, cb = sizeof(signers);
        const bool isSigned = CryptMsgGetParam(h, CMSG_SIGNER_COUNT_PARAM, 0, &signers, &cb) != FALSE;
        const DWORD params[] = {CMSG_TYPE_PARAM,        CMSG_CONTENT_PARAM,        CMSG_INNER_CONTENT_TYPE_PARAM,
                                CMSG_CERT_COUNT_PARAM,  CMSG_CRL_COUNT_PARAM,      CMSG_VERSION_PARAM,
                                CMSG_CERT_PARAM,        CMSG_CRL_PARAM};
        for (DWORD type : params) FuzzParam(h, type, 0);
        if (isSigned) {
            for (DWORD i = 0; i <= signers && i < 4; ++i)
                for (DWORD type : {CMSG_SIGNER_INFO_PARAM, CMSG_SIGNER_CERT_INFO_PARAM, CMSG_SIGNER_HASH_ALGORITHM_PARAM,
                                   CMSG_SIGNER_AUTH_ATTR_PARAM, CMSG_SIGNER_UNAUTH_ATTR_PARAM, CMSG_SIGNER_CERT_ID_PARAM})
                    FuzzParam(h, static_cast<DWORD>(type), i);
        }
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, kEnc, 0, 0, h);
        if (store != nullptr) CertCloseStore(store, 0);
    } else {
        Check(GetLastError() != 0);
    }
    Check(CryptMsgClose(h));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16) return 0;
    // Copied so that a read past the end is seen by the sanitizer.
    std::vector<BYTE> copy(data, data + size);
    const BYTE* p = copy.empty() ? nullptr : copy.data();
    const DWORD n = static_cast<DWORD>(size);
    FuzzDecode(p, n, 0, false);
    FuzzDecode(p, n, CMSG_DETACHED_FLAG, true);

    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = sizeof(para);
    para.dwMsgAndCertEncodingType = kEnc;
    DWORD cb = 0;
    PCCERT_CONTEXT cert = nullptr;
    if (CryptVerifyMessageSignature(&para, 0, p, n, nullptr, &cb, &cert)) {
        std::vector<BYTE> content(cb + 1);
        DWORD room = cb;
        Check(CryptVerifyMessageSignature(&para, 0, p, n, content.data(), &room, nullptr) && room == cb);
        CertFreeCertificateContext(cert);
    } else {
        Check(cb == 0 && cert == nullptr);
    }
    const BYTE* parts[1] = {p};
    DWORD sizes[1] = {n / 3};
    cert = nullptr;
    if (CryptVerifyDetachedMessageSignature(&para, 0, p, n, 1, parts, sizes, &cert)) CertFreeCertificateContext(cert);
    (void)CryptGetMessageSignerCount(kEnc, p, n);
    return 0;
}
