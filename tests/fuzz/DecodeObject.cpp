// Certificate fields come from files and pages: whatever the bytes, the decoders and the
// name formatter must stay inside their buffers, agree between the size query and the real
// call, and give results that survive an encode and decode round trip.
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

void FuzzDecode(LPCSTR type, bool bitString, const BYTE* data, DWORD size, DWORD flags)
{
    DWORD needed = 0;
    const BOOL ok = CryptDecodeObjectEx(kEnc, type, data, size, flags, nullptr, nullptr, &needed);
    if (!ok) {
        const HRESULT hr = static_cast<HRESULT>(GetLastError());
        Check(hr == CRYPT_E_ASN1_EOD || hr == CRYPT_E_ASN1_BADTAG || hr == CRYPT_E_ASN1_CORRUPT ||
              hr == CRYPT_E_ASN1_LARGE);
        return;
    }
    std::vector<BYTE> block(needed + 8, 0xA5);
    DWORD got = needed;
    Check(CryptDecodeObjectEx(kEnc, type, data, size, flags, nullptr, block.data(), &got));
    Check(got == needed);
    for (size_t i = needed; i < block.size(); ++i) Check(block[i] == 0xA5);

    const BYTE* p = block.data();
    DWORD count = 0;
    const BYTE* bytes = nullptr;
    if (bitString) {
        auto* bits = reinterpret_cast<const CRYPT_BIT_BLOB*>(p);
        Check(bits->cUnusedBits <= 7);
        count = bits->cbData;
        bytes = bits->pbData;
    } else {
        auto* blob = reinterpret_cast<const CRYPT_DATA_BLOB*>(p);
        count = blob->cbData;
        bytes = blob->pbData;
    }
    Check(count < size);
    if (count != 0) {
        const BYTE* lo = (flags & CRYPT_DECODE_NOCOPY_FLAG) ? data : p;
        const BYTE* hi = (flags & CRYPT_DECODE_NOCOPY_FLAG) ? data + size : p + needed;
        Check(bytes >= lo && bytes + count <= hi);
    }
    if (!bitString) {
        // Re-encoded and decoded again, the same bytes come back.
        CRYPT_DATA_BLOB in{count, const_cast<BYTE*>(bytes)};
        BYTE* der = nullptr;
        DWORD derLen = 0;
        Check(CryptEncodeObjectEx(kEnc, X509_OCTET_STRING, &in, CRYPT_ENCODE_ALLOC_FLAG, nullptr, &der, &derLen));
        CRYPT_DATA_BLOB* again = nullptr;
        DWORD againLen = 0;
        Check(CryptDecodeObjectEx(kEnc, X509_OCTET_STRING, der, derLen, CRYPT_DECODE_ALLOC_FLAG, nullptr, &again,
                                  &againLen));
        Check(again->cbData == count && (count == 0 || std::memcmp(again->pbData, bytes, count) == 0));
        LocalFree(again);
        LocalFree(der);
    }
}

void FuzzName(const BYTE* data, DWORD size, DWORD type)
{
    CERT_NAME_BLOB blob{size, const_cast<BYTE*>(data)};
    const DWORD needed = CertNameToStrW(kEnc, &blob, type, nullptr, 0);
    Check(needed >= 1);
    std::vector<WCHAR> buf(needed + 4, 0x7777);
    Check(CertNameToStrW(kEnc, &blob, type, buf.data(), needed) == needed);
    Check(buf[needed - 1] == 0 && buf[needed] == 0x7777);
    // A short buffer is filled with a prefix of the whole text.
    if (needed > 2) {
        std::vector<WCHAR> part(needed / 2 + 1, 0x7777);
        const DWORD half = needed / 2;
        Check(CertNameToStrW(kEnc, &blob, type, part.data(), half) == half);
        Check(part[half - 1] == 0 && part[half] == 0x7777);
        Check(std::memcmp(part.data(), buf.data(), (half - 1) * sizeof(WCHAR)) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16) return 0;
    // Copied so that a read past the end is seen by the sanitizer.
    std::vector<BYTE> copy(data, data + size);
    const BYTE* p = copy.empty() ? nullptr : copy.data();
    const DWORD n = static_cast<DWORD>(size);
    for (DWORD flags : {0u, static_cast<DWORD>(CRYPT_DECODE_NOCOPY_FLAG)}) {
        FuzzDecode(X509_KEY_USAGE, true, p, n, flags);
        FuzzDecode(szOID_SUBJECT_KEY_IDENTIFIER, false, p, n, flags);
    }
    FuzzName(p, n, CERT_X500_NAME_STR);
    FuzzName(p, n, CERT_SIMPLE_NAME_STR | CERT_NAME_STR_REVERSE_FLAG);
    FuzzName(p, n, CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG | CERT_NAME_STR_SEMICOLON_FLAG);
    return 0;
}
