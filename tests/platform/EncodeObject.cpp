// CryptEncodeObject: each structure's DER compared with what OpenSSL writes for the same
// structure, the minimal length forms, the size pattern, and the errors.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
using Bytes = std::vector<BYTE>;
using OsslSignerInfo = struct pkcs7_signer_info_st;

// The system's two calls: size, then the bytes; the counts must agree.
Bytes Encode(LPCSTR type, const void* info)
{
    DWORD size = 0;
    EXPECT_TRUE(CryptEncodeObject(kEnc, type, info, nullptr, &size)) << GetLastError();
    Bytes out(size);
    DWORD size2 = size;
    EXPECT_TRUE(CryptEncodeObject(kEnc, type, info, out.data(), &size2)) << GetLastError();
    EXPECT_EQ(size2, size);
    return out;
}

HRESULT EncodeError(LPCSTR type, const void* info)
{
    DWORD size = 0;
    SetLastError(0);
    if (CryptEncodeObject(kEnc, type, info, nullptr, &size)) return S_OK;
    return static_cast<HRESULT>(GetLastError());
}

template <typename T, typename F>
Bytes Der(T* obj, F i2d)
{
    unsigned char* der = nullptr;
    const int len = i2d(obj, &der);
    EXPECT_GT(len, 0);
    Bytes out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    return out;
}

Bytes OpenSslAlgorithm(const char* oid, const Bytes* params = nullptr)
{
    X509_ALGOR* alg = X509_ALGOR_new();
    if (params == nullptr) {
        X509_ALGOR_set0(alg, OBJ_txt2obj(oid, 1), V_ASN1_NULL, nullptr);
    } else {
        const unsigned char* p = params->data();
        ASN1_TYPE* t = d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(params->size()));
        X509_ALGOR_set0(alg, OBJ_txt2obj(oid, 1), t->type, t->value.ptr);
        t->value.ptr = nullptr;
        ASN1_TYPE_free(t);
    }
    Bytes out = Der(alg, i2d_X509_ALGOR);
    X509_ALGOR_free(alg);
    return out;
}

Bytes OctetStringDer(const Bytes& content)
{
    ASN1_OCTET_STRING* os = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(os, content.data(), static_cast<int>(content.size()));
    Bytes out = Der(os, i2d_ASN1_OCTET_STRING);
    ASN1_OCTET_STRING_free(os);
    return out;
}

}  // namespace

TEST(CryptEncodeObject, AlgorithmIdentifierMatchesOpenSsl)
{
    char sha256[] = "2.16.840.1.101.3.4.2.1";
    CRYPT_ALGORITHM_IDENTIFIER alg{sha256, {0, nullptr}};
    // Empty parameters are written as NULL.
    EXPECT_EQ(Encode(X509_ALGORITHM_IDENTIFIER, &alg), OpenSslAlgorithm(sha256));

    char rsa[] = "1.2.840.113549.1.1.1";
    alg.pszObjId = rsa;
    EXPECT_EQ(Encode(X509_ALGORITHM_IDENTIFIER, &alg), OpenSslAlgorithm(rsa));

    // Parameters given are copied as they stand.
    Bytes params = {0x04, 0x03, 0xAA, 0xBB, 0xCC};
    alg.Parameters = {static_cast<DWORD>(params.size()), params.data()};
    EXPECT_EQ(Encode(X509_ALGORITHM_IDENTIFIER, &alg), OpenSslAlgorithm(rsa, &params));

    // Large arcs and the 2.x form of the first octet.
    char big[] = "2.999.18446744073709551615";
    alg = {big, {0, nullptr}};
    EXPECT_EQ(Encode(X509_ALGORITHM_IDENTIFIER, &alg), OpenSslAlgorithm(big));
}

TEST(CryptEncodeObject, AttributeMatchesOpenSslAndEmptyValuesEndInAnEmptySet)
{
    char sha1[] = "1.3.14.3.2.26";
    CRYPT_ATTRIBUTE none{sha1, 0, nullptr};
    Bytes empty = Encode(PKCS_ATTRIBUTE, &none);
    ASSERT_GE(empty.size(), 2u);
    EXPECT_EQ(empty[empty.size() - 2], 0x31);
    EXPECT_EQ(empty[empty.size() - 1], 0x00);
    // The signed-data builder turns this into the NULL-parameter algorithm identifier.
    empty[empty.size() - 2] = 0x05;
    EXPECT_EQ(empty, OpenSslAlgorithm(sha1));

    // Two values, given out of DER order: the SET is sorted, as OpenSSL writes it.
    Bytes v1 = OctetStringDer({0x09, 0x09});
    Bytes v2 = OctetStringDer({0x01});
    CRYPT_ATTR_BLOB values[2] = {{static_cast<DWORD>(v1.size()), v1.data()}, {static_cast<DWORD>(v2.size()), v2.data()}};
    char digestOid[] = szOID_RSA_messageDigest;
    CRYPT_ATTRIBUTE attr{digestOid, 2, values};

    X509_ATTRIBUTE* xa = X509_ATTRIBUTE_create_by_txt(nullptr, digestOid, V_ASN1_OCTET_STRING, v1.data() + 2, 2);
    ASSERT_NE(xa, nullptr);
    ASSERT_EQ(1, X509_ATTRIBUTE_set1_data(xa, V_ASN1_OCTET_STRING, v2.data() + 2, 1));
    EXPECT_EQ(Encode(PKCS_ATTRIBUTE, &attr), Der(xa, i2d_X509_ATTRIBUTE));
    X509_ATTRIBUTE_free(xa);
}

TEST(CryptEncodeObject, OctetStringLengthsUseTheMinimalForm)
{
    struct Case {
        size_t len;
        Bytes header;
    };
    const Case cases[] = {
        {0, {0x04, 0x00}},
        {127, {0x04, 0x7F}},
        {128, {0x04, 0x81, 0x80}},
        {255, {0x04, 0x81, 0xFF}},
        {256, {0x04, 0x82, 0x01, 0x00}},
        {65535, {0x04, 0x82, 0xFF, 0xFF}},
        {65536, {0x04, 0x83, 0x01, 0x00, 0x00}},
    };
    for (const auto& c : cases) {
        Bytes content(c.len);
        for (size_t i = 0; i < c.len; ++i) content[i] = static_cast<BYTE>(i * 7);
        CRYPT_DATA_BLOB blob{static_cast<DWORD>(c.len), c.len ? content.data() : nullptr};
        Bytes der = Encode(X509_OCTET_STRING, &blob);
        ASSERT_EQ(der.size(), c.header.size() + c.len) << c.len;
        EXPECT_TRUE(std::equal(c.header.begin(), c.header.end(), der.begin())) << c.len;
        EXPECT_EQ(der, OctetStringDer(content)) << c.len;
    }
}

TEST(CryptEncodeObject, ContentInfoAttachedAndDetached)
{
    char dataOid[] = szOID_RSA_data;
    Bytes text = {'h', 'i'};
    CRYPT_DATA_BLOB blob{2, text.data()};
    Bytes octets = Encode(X509_OCTET_STRING, &blob);
    CRYPT_CONTENT_INFO attached{dataOid, {static_cast<DWORD>(octets.size()), octets.data()}};

    PKCS7* p7 = PKCS7_new();
    ASSERT_EQ(1, PKCS7_set_type(p7, NID_pkcs7_data));
    ASN1_OCTET_STRING_set(p7->d.data, text.data(), 2);
    EXPECT_EQ(Encode(PKCS_CONTENT_INFO, &attached), Der(p7, i2d_PKCS7));
    PKCS7_free(p7);

    CRYPT_CONTENT_INFO detached{dataOid, {0, nullptr}};
    const Bytes expected = {0x30, 0x0B, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
    EXPECT_EQ(Encode(PKCS_CONTENT_INFO, &detached), expected);

    // Empty attached content is the empty OCTET STRING inside [0].
    CRYPT_DATA_BLOB nothing{0, nullptr};
    Bytes emptyOctets = Encode(X509_OCTET_STRING, &nothing);
    CRYPT_CONTENT_INFO emptyAttached{dataOid, {static_cast<DWORD>(emptyOctets.size()), emptyOctets.data()}};
    Bytes withEmpty = expected;
    withEmpty[1] = 0x0F;
    for (BYTE b : {0xA0, 0x02, 0x04, 0x00}) withEmpty.push_back(b);
    EXPECT_EQ(Encode(PKCS_CONTENT_INFO, &emptyAttached), withEmpty);
}

namespace {

struct SignerFixture {
    Bytes issuer;
    Bytes serialLe;
};

SignerFixture IssuerAndSerial(const Bytes& serialBe)
{
    X509_NAME* name = X509_NAME_new();
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Signer CA"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Keystrand"), -1, -1, 0);
    SignerFixture f{Der(name, i2d_X509_NAME), Bytes(serialBe.rbegin(), serialBe.rend())};
    X509_NAME_free(name);
    return f;
}

OsslSignerInfo* ParseSignerInfo(const Bytes& der)
{
    const unsigned char* p = der.data();
    OsslSignerInfo* si = d2i_PKCS7_SIGNER_INFO(nullptr, &p, static_cast<long>(der.size()));
    EXPECT_NE(si, nullptr);
    if (si != nullptr) {
        EXPECT_EQ(p, der.data() + der.size()) << "trailing bytes";
    }
    return si;
}

std::string OidText(const ASN1_OBJECT* obj)
{
    char buf[80];
    OBJ_obj2txt(buf, sizeof(buf), obj, 1);
    return buf;
}

}  // namespace

TEST(CryptEncodeObject, SignerInfoWithoutAttributesParsesBackByteIdentical)
{
    // The serial's top bit is set: DER needs a leading zero that the blob does not hold.
    const Bytes serialBe = {0x80, 0x12, 0x34};
    auto f = IssuerAndSerial(serialBe);
    Bytes signature(256);
    for (size_t i = 0; i < signature.size(); ++i) signature[i] = static_cast<BYTE>(255 - i);
    char sha256[] = "2.16.840.1.101.3.4.2.1";
    char rsa[] = szOID_RSA_RSA;
    CMSG_SIGNER_INFO info{};
    info.dwVersion = 1;
    info.Issuer = {static_cast<DWORD>(f.issuer.size()), f.issuer.data()};
    info.SerialNumber = {static_cast<DWORD>(f.serialLe.size()), f.serialLe.data()};
    info.HashAlgorithm.pszObjId = sha256;
    info.HashEncryptionAlgorithm.pszObjId = rsa;
    info.EncryptedHash = {static_cast<DWORD>(signature.size()), signature.data()};

    Bytes der = Encode(PKCS7_SIGNER_INFO, &info);
    OsslSignerInfo* si = ParseSignerInfo(der);
    ASSERT_NE(si, nullptr);
    EXPECT_EQ(ASN1_INTEGER_get(si->version), 1);
    Bytes issuer = Der(si->issuer_and_serial->issuer, i2d_X509_NAME);
    EXPECT_EQ(issuer, f.issuer);
    BIGNUM* serial = ASN1_INTEGER_to_BN(si->issuer_and_serial->serial, nullptr);
    EXPECT_EQ(BN_get_word(serial), 0x801234u);
    EXPECT_FALSE(BN_is_negative(serial));
    BN_free(serial);
    EXPECT_EQ(OidText(si->digest_alg->algorithm), sha256);
    EXPECT_EQ(OidText(si->digest_enc_alg->algorithm), rsa);
    ASSERT_EQ(si->enc_digest->length, 256);
    EXPECT_EQ(0, std::memcmp(si->enc_digest->data, signature.data(), 256));
    EXPECT_EQ(si->auth_attr, nullptr);  // absent, not an empty [0]
    EXPECT_EQ(si->unauth_attr, nullptr);
    EXPECT_EQ(Der(si, i2d_PKCS7_SIGNER_INFO), der);
    PKCS7_SIGNER_INFO_free(si);

    // Redundant leading zeros of the serial are dropped; a zero-topped one keeps its zero.
    for (const Bytes& s : {Bytes{0x00, 0x00, 0x7F}, Bytes{0x00, 0x91}}) {
        auto g = IssuerAndSerial(s);
        info.SerialNumber = {static_cast<DWORD>(g.serialLe.size()), g.serialLe.data()};
        Bytes d = Encode(PKCS7_SIGNER_INFO, &info);
        OsslSignerInfo* parsed = ParseSignerInfo(d);
        ASSERT_NE(parsed, nullptr);
        EXPECT_EQ(Der(parsed, i2d_PKCS7_SIGNER_INFO), d);
        PKCS7_SIGNER_INFO_free(parsed);
    }
}

TEST(CryptEncodeObject, SignerInfoAttributesAreImplicitSortedSets)
{
    auto f = IssuerAndSerial({0x01});
    char sha1[] = szOID_OIWSEC_sha1;
    char rsa[] = szOID_RSA_RSA;
    char contentType[] = szOID_RSA_contentType;
    char messageDigest[] = szOID_RSA_messageDigest;
    char signingTime[] = szOID_RSA_signingTime;
    Bytes dataOid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
    Bytes digest = OctetStringDer(Bytes(20, 0x5A));
    Bytes time = {0x17, 0x0D, '2', '6', '0', '1', '0', '2', '0', '3', '0', '4', '0', '5', 'Z'};
    CRYPT_ATTR_BLOB ctv{static_cast<DWORD>(dataOid.size()), dataOid.data()};
    CRYPT_ATTR_BLOB mdv{static_cast<DWORD>(digest.size()), digest.data()};
    CRYPT_ATTR_BLOB stv{static_cast<DWORD>(time.size()), time.data()};
    // Given in an order that is not the DER order.
    CRYPT_ATTRIBUTE auth[3] = {{signingTime, 1, &stv}, {messageDigest, 1, &mdv}, {contentType, 1, &ctv}};
    CRYPT_ATTRIBUTE unauth[1] = {{contentType, 1, &ctv}};
    Bytes signature = {0x01, 0x02, 0x03};
    CMSG_SIGNER_INFO info{};
    info.dwVersion = 1;
    info.Issuer = {static_cast<DWORD>(f.issuer.size()), f.issuer.data()};
    info.SerialNumber = {static_cast<DWORD>(f.serialLe.size()), f.serialLe.data()};
    info.HashAlgorithm.pszObjId = sha1;
    info.HashEncryptionAlgorithm.pszObjId = rsa;
    info.EncryptedHash = {3, signature.data()};
    info.AuthAttrs = {3, auth};
    info.UnauthAttrs = {1, unauth};

    Bytes der = Encode(PKCS7_SIGNER_INFO, &info);
    OsslSignerInfo* si = ParseSignerInfo(der);
    ASSERT_NE(si, nullptr);
    EXPECT_EQ(sk_X509_ATTRIBUTE_num(si->auth_attr), 3);
    EXPECT_EQ(sk_X509_ATTRIBUTE_num(si->unauth_attr), 1);
    const ASN1_OCTET_STRING* md = PKCS7_digest_from_attributes(si->auth_attr);
    ASSERT_NE(md, nullptr);
    EXPECT_EQ(md->length, 20);
    // OpenSSL re-sorts the SETs when it writes; identical bytes mean ours were already sorted.
    EXPECT_EQ(Der(si, i2d_PKCS7_SIGNER_INFO), der);
    // What a signature covers: the attributes re-tagged as a universal SET.
    unsigned char* signedAttrs = nullptr;
    const int n = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &signedAttrs,
                                ASN1_ITEM_rptr(PKCS7_ATTR_SIGN));
    ASSERT_GT(n, 0);
    EXPECT_EQ(signedAttrs[0], 0x31);
    OPENSSL_free(signedAttrs);
    PKCS7_SIGNER_INFO_free(si);
}

TEST(CryptEncodeObject, SignedDataBuiltFromTheEncodingsVerifiesWithOpenSsl)
{
    // A detached signature assembled from our pieces must verify as PKCS#7.
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 0xC0FFEE);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("signer"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_set_pubkey(cert, key);
    ASSERT_GT(X509_sign(cert, key, EVP_sha256()), 0);

    const std::string content = "signed text";
    Bytes signature(EVP_PKEY_get_size(key));
    size_t sigLen = signature.size();
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    ASSERT_EQ(1, EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, key));
    ASSERT_EQ(1, EVP_DigestSign(md, signature.data(), &sigLen,
                                reinterpret_cast<const unsigned char*>(content.data()), content.size()));
    EVP_MD_CTX_free(md);

    char sha256[] = "2.16.840.1.101.3.4.2.1";
    char rsa[] = szOID_RSA_RSA;
    char dataOid[] = szOID_RSA_data;
    char signedOid[] = szOID_RSA_signedData;
    CRYPT_ALGORITHM_IDENTIFIER digestAlg{sha256, {0, nullptr}};
    Bytes digestAlgDer = Encode(X509_ALGORITHM_IDENTIFIER, &digestAlg);
    CRYPT_CONTENT_INFO inner{dataOid, {0, nullptr}};
    Bytes innerDer = Encode(PKCS_CONTENT_INFO, &inner);
    Bytes certDer = Der(cert, i2d_X509);
    Bytes issuer = Der(X509_get_issuer_name(cert), i2d_X509_NAME);
    Bytes serialLe = {0xEE, 0xFF, 0xC0};
    CMSG_SIGNER_INFO info{};
    info.dwVersion = 1;
    info.Issuer = {static_cast<DWORD>(issuer.size()), issuer.data()};
    info.SerialNumber = {3, serialLe.data()};
    info.HashAlgorithm.pszObjId = sha256;
    info.HashEncryptionAlgorithm.pszObjId = rsa;
    info.EncryptedHash = {static_cast<DWORD>(sigLen), signature.data()};
    Bytes signerDer = Encode(PKCS7_SIGNER_INFO, &info);

    auto wrap = [](BYTE tag, const Bytes& v) {
        Bytes out{tag};
        const size_t n = v.size();
        if (n < 128) {
            out.push_back(static_cast<BYTE>(n));
        } else if (n < 256) {
            out.insert(out.end(), {0x81, static_cast<BYTE>(n)});
        } else {
            out.insert(out.end(), {0x82, static_cast<BYTE>(n >> 8), static_cast<BYTE>(n)});
        }
        out.insert(out.end(), v.begin(), v.end());
        return out;
    };
    Bytes body = {0x02, 0x01, 0x01};
    for (const Bytes& part : {wrap(0x31, digestAlgDer), innerDer, wrap(0xA0, certDer), wrap(0x31, signerDer)})
        body.insert(body.end(), part.begin(), part.end());
    Bytes signedData = wrap(0x30, body);
    CRYPT_CONTENT_INFO outer{signedOid, {static_cast<DWORD>(signedData.size()), signedData.data()}};
    Bytes message = Encode(PKCS_CONTENT_INFO, &outer);

    const unsigned char* p = message.data();
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(message.size()));
    ASSERT_NE(p7, nullptr);
    X509_STORE* store = X509_STORE_new();
    BIO* data = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
    EXPECT_EQ(1, PKCS7_verify(p7, nullptr, store, data, nullptr, PKCS7_NOVERIFY | PKCS7_BINARY));
    BIO_free(data);
    X509_STORE_free(store);
    PKCS7_free(p7);
    X509_free(cert);
    EVP_PKEY_free(key);
}

TEST(CryptEncodeObject, KeyUsageRoundTripsThroughTheDecoder)
{
    struct Case {
        Bytes bits;
        DWORD unused;
        Bytes der;
    };
    const Case cases[] = {
        {{0xA0}, 0, {0x03, 0x02, 0x05, 0xA0}},
        {{0xA0, 0x00}, 0, {0x03, 0x02, 0x05, 0xA0}},  // trailing zero byte dropped
        {{0x86, 0x80}, 7, {0x03, 0x03, 0x07, 0x86, 0x80}},
        {{0x00}, 0, {0x03, 0x01, 0x00}},
    };
    for (const auto& c : cases) {
        Bytes bits = c.bits;
        CRYPT_BIT_BLOB blob{static_cast<DWORD>(bits.size()), bits.data(), c.unused};
        Bytes der = Encode(X509_KEY_USAGE, &blob);
        EXPECT_EQ(der, c.der);
        BYTE block[64];
        DWORD size = sizeof(block);
        ASSERT_TRUE(CryptDecodeObjectEx(kEnc, szOID_KEY_USAGE, der.data(), static_cast<DWORD>(der.size()), 0, nullptr,
                                        block, &size));
        auto* back = reinterpret_cast<CRYPT_BIT_BLOB*>(block);
        EXPECT_EQ(Bytes(back->pbData, back->pbData + back->cbData), Bytes(der.begin() + 3, der.end()));
    }
}

TEST(CryptEncodeObject, SizePatternAllocAndErrors)
{
    Bytes content(10, 0x42);
    CRYPT_DATA_BLOB blob{10, content.data()};
    BYTE buf[12];
    std::memset(buf, 0x77, sizeof(buf));
    DWORD size = 11;
    SetLastError(0);
    EXPECT_FALSE(CryptEncodeObject(kEnc, X509_OCTET_STRING, &blob, buf, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(buf[0], 0x77);
    size = sizeof(buf);
    EXPECT_TRUE(CryptEncodeObject(kEnc, X509_OCTET_STRING, &blob, buf, &size));
    EXPECT_EQ(size, 12u);

    BYTE* allocated = nullptr;
    size = 0;
    ASSERT_TRUE(CryptEncodeObjectEx(kEnc, X509_OCTET_STRING, &blob, CRYPT_ENCODE_ALLOC_FLAG, nullptr, &allocated, &size));
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(0, std::memcmp(allocated, buf, 12));
    LocalFree(allocated);

    // OIDs that are not valid dotted text.
    for (const char* bad : {"", "1", "1.", ".1.2", "1..2", "3.1", "1.40", "0.39.x", "1.2.-3", "1.2.99999999999999999999"}) {
        CRYPT_ALGORITHM_IDENTIFIER alg{const_cast<char*>(bad), {0, nullptr}};
        EXPECT_EQ(EncodeError(X509_ALGORITHM_IDENTIFIER, &alg), CRYPT_E_ASN1_ERROR) << bad;
    }
    CRYPT_ALGORITHM_IDENTIFIER nullOid{nullptr, {0, nullptr}};
    EXPECT_EQ(EncodeError(X509_ALGORITHM_IDENTIFIER, &nullOid), CRYPT_E_ASN1_ERROR);
    char ok[] = "1.39";
    CRYPT_ALGORITHM_IDENTIFIER okAlg{ok, {0, nullptr}};
    EXPECT_EQ(EncodeError(X509_ALGORITHM_IDENTIFIER, &okAlg), S_OK);

    // Already-encoded parts must be one whole element.
    Bytes broken = {0x04, 0x05, 0x01};
    CRYPT_ALGORITHM_IDENTIFIER withBroken{ok, {static_cast<DWORD>(broken.size()), broken.data()}};
    EXPECT_EQ(EncodeError(X509_ALGORITHM_IDENTIFIER, &withBroken), CRYPT_E_ASN1_CORRUPT);
    Bytes two = {0x05, 0x00, 0x05, 0x00};
    CRYPT_CONTENT_INFO twoElements{ok, {static_cast<DWORD>(two.size()), two.data()}};
    EXPECT_EQ(EncodeError(PKCS_CONTENT_INFO, &twoElements), CRYPT_E_ASN1_CORRUPT);
    CMSG_SIGNER_INFO noIssuer{};
    noIssuer.HashAlgorithm.pszObjId = ok;
    noIssuer.HashEncryptionAlgorithm.pszObjId = ok;
    EXPECT_EQ(EncodeError(PKCS7_SIGNER_INFO, &noIssuer), E_INVALIDARG);

    EXPECT_EQ(EncodeError(reinterpret_cast<LPCSTR>(9999), &blob), static_cast<HRESULT>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(EncodeError("1.2.3", &blob), static_cast<HRESULT>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(EncodeError(X509_OCTET_STRING, nullptr), E_INVALIDARG);
}
