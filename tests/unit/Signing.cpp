// Hash-and-sign over bytes and files with a certificate's key, and the PKCS#7 wrappers:
// signatures are compared with OpenSSL's own deterministic PKCS#1 v1.5 signature.
#include <windows.h>
#include <oleauto.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pkcs7.h>

#include <fstream>
#include <string>
#include <vector>

#include "crypt32/CertKeyLink.h"
#include "kernel/Encoding.h"
#include "kernel/Signing.h"
#include "platform/CertTestSupport.h"

namespace {

using Bytes = std::vector<BYTE>;

const EVP_MD* Md(ALG_ID algId)
{
    switch (algId) {
    case CALG_MD5: return EVP_md5();
    case CALG_SHA1: return EVP_sha1();
    case CALG_SHA_256: return EVP_sha256();
    case CALG_SHA_384: return EVP_sha384();
    default: return EVP_sha512();
    }
}

// PKCS#1 v1.5 is deterministic: the signature OpenSSL makes with the same key must match.
Bytes OpenSslSignature(const Bytes& data, ALG_ID algId)
{
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t cb = 0;
    EVP_DigestSignInit(ctx, nullptr, Md(algId), nullptr, certtest::SharedKey(0));
    EVP_DigestSign(ctx, nullptr, &cb, data.data(), data.size());
    Bytes sig(cb);
    EVP_DigestSign(ctx, sig.data(), &cb, data.data(), data.size());
    EVP_MD_CTX_free(ctx);
    sig.resize(cb);
    return sig;
}

std::basic_string<WCHAR> Wide(const std::string& s)
{
    return std::basic_string<WCHAR>(s.begin(), s.end());
}

Bytes PatternBytes(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<BYTE>((i * 31 + (i >> 8)) & 0xFF);
    return b;
}

class Signing : public certtest::IsolatedHome {
protected:
    void SetUp() override
    {
        IsolatedHome::SetUp();
        m_cert = certtest::Create(certtest::MakeCertificate());
        ASSERT_NE(m_cert, nullptr);
        ASSERT_TRUE(NpkLinkCertificateToKey(m_cert, certtest::SharedKey(0), false)) << std::hex << GetLastError();
        m_noKey = certtest::Create(certtest::MakeCertificate());
        ASSERT_NE(m_noKey, nullptr);
    }
    void TearDown() override
    {
        if (m_cert != nullptr) CertFreeCertificateContext(m_cert);
        if (m_noKey != nullptr) CertFreeCertificateContext(m_noKey);
        IsolatedHome::TearDown();
    }

    std::string WriteFile(const std::string& name, const Bytes& bytes)
    {
        std::string path = m_root + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    Bytes SignBytes(const Bytes& data, ALG_ID algId, HRESULT* phr = nullptr)
    {
        BYTE* pb = nullptr;
        DWORD cb = 0;
        HRESULT hr = CalculateHashandSign(&m_cert, data.data(), static_cast<DWORD>(data.size()), algId, &pb, &cb);
        if (phr != nullptr) *phr = hr;
        Bytes out(pb, pb + (pb != nullptr ? cb : 0));
        delete[] pb;
        return out;
    }

    Bytes SignPath(const std::string& path, ALG_ID algId, HRESULT* phr = nullptr)
    {
        BYTE* pb = nullptr;
        DWORD cb = 0;
        HRESULT hr = CalculateFileHashandSign(&m_cert, Wide(path).c_str(), algId, &pb, &cb);
        if (phr != nullptr) *phr = hr;
        Bytes out(pb, pb + (pb != nullptr ? cb : 0));
        delete[] pb;
        return out;
    }

    PCCERT_CONTEXT m_cert = nullptr;
    PCCERT_CONTEXT m_noKey = nullptr;
};

const ALG_ID kHashes[] = {CALG_MD5, CALG_SHA1, CALG_SHA_256, CALG_SHA_384, CALG_SHA_512};

}  // namespace

TEST_F(Signing, BytesSignedMostSignificantByteFirstForEveryHash)
{
    const Bytes data = PatternBytes(1000);
    for (ALG_ID algId : kHashes) {
        HRESULT hr = E_UNEXPECTED;
        Bytes sig = SignBytes(data, algId, &hr);
        ASSERT_EQ(hr, S_OK) << std::hex << algId;
        EXPECT_EQ(sig.size(), 256u);
        EXPECT_EQ(sig, OpenSslSignature(data, algId)) << std::hex << algId;
    }
}

TEST_F(Signing, SliceBoundariesGiveTheWholeDigest)
{
    for (size_t n : {size_t(0), size_t(1), size_t(16383), size_t(16384), size_t(16385), size_t(3 * 16384 + 7)}) {
        const Bytes data = PatternBytes(n);
        HRESULT hr = E_UNEXPECTED;
        Bytes sig = SignBytes(data, CALG_SHA_256, &hr);
        ASSERT_EQ(hr, S_OK) << n;
        EXPECT_EQ(sig, OpenSslSignature(data, CALG_SHA_256)) << n;
    }
}

TEST_F(Signing, FileSignatureEqualsTheSignatureOfItsBytes)
{
    for (size_t n : {size_t(0), size_t(1), size_t(16383), size_t(16384), size_t(16385), size_t(3u << 20)}) {
        const Bytes data = PatternBytes(n);
        std::string path = WriteFile("data-" + std::to_string(n), data);
        for (ALG_ID algId : {CALG_SHA1, CALG_SHA_256}) {
            HRESULT hr = E_UNEXPECTED;
            Bytes fromFile = SignPath(path, algId, &hr);
            ASSERT_EQ(hr, S_OK) << n;
            EXPECT_EQ(fromFile, SignBytes(data, algId)) << n;
            EXPECT_EQ(fromFile, OpenSslSignature(data, algId)) << n;
        }
    }
}

TEST_F(Signing, FileFailuresCarryThePlatformCode)
{
    HRESULT hr = S_OK;
    Bytes sig = SignPath(m_root + "/missing.bin", CALG_SHA1, &hr);
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(sig.empty());

    // Another handle that shares nothing keeps the file from us.
    std::string path = WriteFile("held.bin", PatternBytes(10));
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    sig = SignPath(path, CALG_SHA1, &hr);
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
    CloseHandle(h);
    sig = SignPath(path, CALG_SHA1, &hr);
    EXPECT_EQ(hr, S_OK);
}

TEST_F(Signing, CertificateWithoutKeyFailsAtTheKey)
{
    const Bytes data = {1, 2, 3};
    BYTE* pb = nullptr;
    DWORD cb = 0;
    EXPECT_EQ(CalculateHashandSign(&m_noKey, data.data(), 3, CALG_SHA1, &pb, &cb), CRYPT_E_NO_KEY_PROPERTY);
    EXPECT_EQ(pb, nullptr);
    BSTR bstr = nullptr;
    EXPECT_EQ(SignData(&bstr, TEXT("text"), &m_noKey, CALG_SHA1, TRUE), CRYPT_E_NO_KEY_PROPERTY);
    EXPECT_EQ(bstr, nullptr);
    std::string path = WriteFile("f.bin", data);
    EXPECT_EQ(SignFile(&bstr, Wide(path).c_str(), &m_noKey, CALG_SHA1), CRYPT_E_NO_KEY_PROPERTY);
    EXPECT_EQ(bstr, nullptr);
}

TEST_F(Signing, UnknownHashIsRefusedBeforeTheKeyIsTouched)
{
    BSTR bstr = nullptr;
    // The certificate has no key: only a refusal before the key lookup gives NTE_BAD_ALGID.
    for (ALG_ID algId : {0x8005u, 0u, static_cast<ALG_ID>(CALG_RC2)}) {
        EXPECT_EQ(SignData(&bstr, TEXT("x"), &m_noKey, algId, TRUE), static_cast<HRESULT>(0x80090008)) << algId;
        EXPECT_EQ(SignFile(&bstr, TEXT("/nonexistent"), &m_noKey, algId), static_cast<HRESULT>(0x80090008));
        EXPECT_EQ(bstr, nullptr);
    }
    // The raw function passes any ALG_ID to the platform, which refuses it at the hash.
    HRESULT hr = S_OK;
    Bytes sig = SignBytes({1}, CALG_RC2, &hr);
    EXPECT_LT(hr, 0);
    EXPECT_TRUE(sig.empty());
}

TEST_F(Signing, SignDataCarriesTheUtf8Text)
{
    // "签名 test": the content is the UTF-8 form of the wide text, without its terminator.
    const WCHAR text[] = {0x7B7E, 0x540D, ' ', 't', 'e', 's', 't', 0};
    const std::string utf8 = "\xE7\xAD\xBE\xE5\x90\x8D test";
    BSTR bstr = nullptr;
    ASSERT_EQ(SignData(&bstr, text, &m_cert, CALG_SHA_256, TRUE), S_OK);
    ASSERT_NE(bstr, nullptr);
    std::string b64;
    for (UINT i = 0; i < SysStringLen(bstr); ++i) b64 += static_cast<char>(bstr[i]);
    SysFreeString(bstr);
    BYTE* pb = nullptr;
    int cb = 0;
    ASSERT_EQ(Base64DecodeEx(b64.c_str(), static_cast<int>(b64.size()), &pb, &cb), S_OK);
    const unsigned char* p = pb;
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, cb);
    delete[] pb;
    ASSERT_NE(p7, nullptr);
    BIO* out = BIO_new(BIO_s_mem());
    EXPECT_EQ(PKCS7_verify(p7, nullptr, nullptr, nullptr, out, PKCS7_NOVERIFY | PKCS7_BINARY), 1);
    char* data = nullptr;
    long n = BIO_get_mem_data(out, &data);
    EXPECT_EQ(std::string(data, static_cast<size_t>(n)), utf8);
    BIO_free(out);
    PKCS7_free(p7);
}

TEST_F(Signing, SignDataWithoutTextFailsAtTheConversion)
{
    BSTR bstr = nullptr;
    EXPECT_EQ(SignData(&bstr, nullptr, &m_cert, CALG_SHA1, TRUE), E_POINTER);
    EXPECT_EQ(bstr, nullptr);
}

TEST_F(Signing, SignFileEqualsDetachedSignDataOverTheSameBytes)
{
    const std::string ascii = "the same bytes, signed twice";
    std::string path = WriteFile("same.txt", Bytes(ascii.begin(), ascii.end()));
    for (ALG_ID algId : {CALG_MD5, CALG_SHA1, CALG_SHA_256}) {
        BSTR fromText = nullptr, fromFile = nullptr;
        ASSERT_EQ(SignData(&fromText, Wide(ascii).c_str(), &m_cert, algId, FALSE), S_OK);
        ASSERT_EQ(SignFile(&fromFile, Wide(path).c_str(), &m_cert, algId), S_OK);
        ASSERT_NE(fromText, nullptr);
        ASSERT_NE(fromFile, nullptr);
        EXPECT_EQ(lstrcmpW(fromText, fromFile), 0);
        SysFreeString(fromText);
        SysFreeString(fromFile);
    }
}
