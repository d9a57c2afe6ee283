// CertFindExtension over the extensions of certificates made with OpenSSL, and the two
// decodes the system makes of what it finds: key usage and subject key identifier.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// A certificate's extensions as a CERT_INFO would list them, owning their bytes.
struct Extensions {
    std::vector<std::string> oids;
    std::vector<std::vector<BYTE>> values;
    std::vector<CERT_EXTENSION> array;
};

Extensions MakeCertificateExtensions(const std::vector<std::pair<int, const char*>>& exts)
{
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("ext"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_set_pubkey(cert, key);
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    for (const auto& [nid, value] : exts) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
        EXPECT_NE(ext, nullptr) << value;
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
    }
    EXPECT_GT(X509_sign(cert, key, EVP_sha256()), 0);

    Extensions out;
    const int n = X509_get_ext_count(cert);
    out.oids.resize(static_cast<size_t>(n));
    out.values.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        X509_EXTENSION* ext = X509_get_ext(cert, i);
        char oid[80];
        OBJ_obj2txt(oid, sizeof(oid), X509_EXTENSION_get_object(ext), 1);
        out.oids[static_cast<size_t>(i)] = oid;
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(ext);
        out.values[static_cast<size_t>(i)].assign(data->data, data->data + data->length);
    }
    for (int i = 0; i < n; ++i) {
        auto& v = out.values[static_cast<size_t>(i)];
        out.array.push_back(CERT_EXTENSION{out.oids[static_cast<size_t>(i)].data(),
                                           X509_EXTENSION_get_critical(X509_get_ext(cert, i)) ? TRUE : FALSE,
                                           {static_cast<DWORD>(v.size()), v.data()}});
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return out;
}

// Size, then a zero-filled buffer of that size: the system's two calls.
std::vector<BYTE> DecodeTwice(LPCSTR type, const CERT_EXTENSION& ext)
{
    DWORD size = 0;
    EXPECT_TRUE(CryptDecodeObjectEx(kEnc, type, ext.Value.pbData, ext.Value.cbData, CRYPT_DECODE_NOCOPY_FLAG,
                                    nullptr, nullptr, &size));
    std::vector<BYTE> block(size, 0);
    DWORD size2 = size;
    EXPECT_TRUE(CryptDecodeObjectEx(kEnc, type, ext.Value.pbData, ext.Value.cbData, CRYPT_DECODE_NOCOPY_FLAG,
                                    nullptr, block.data(), &size2));
    EXPECT_EQ(size2, size);
    return block;
}

}  // namespace

TEST(CertFindExtension, FindsTheFirstWithTheOidOrReportsNotFound)
{
    auto exts = MakeCertificateExtensions({
        {NID_basic_constraints, "critical,CA:FALSE"},
        {NID_key_usage, "critical,digitalSignature,keyEncipherment"},
        {NID_subject_key_identifier, "hash"},
    });
    ASSERT_EQ(exts.array.size(), 3u);
    PCERT_EXTENSION ku = CertFindExtension(szOID_KEY_USAGE, 3, exts.array.data());
    ASSERT_EQ(ku, &exts.array[1]);
    EXPECT_TRUE(ku->fCritical);
    EXPECT_EQ(CertFindExtension(szOID_SUBJECT_KEY_IDENTIFIER, 3, exts.array.data()), &exts.array[2]);

    // Not present, not within the count, or nothing to search.
    SetLastError(0);
    EXPECT_EQ(CertFindExtension("2.5.29.17", 3, exts.array.data()), nullptr);
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_NOT_FOUND);
    EXPECT_EQ(CertFindExtension(szOID_SUBJECT_KEY_IDENTIFIER, 2, exts.array.data()), nullptr);
    EXPECT_EQ(CertFindExtension(szOID_KEY_USAGE, 0, nullptr), nullptr);
    // A prefix of an OID is a different OID.
    EXPECT_EQ(CertFindExtension("2.5.29.1", 3, exts.array.data()), nullptr);

    // Two with the same OID: the first wins.
    CERT_EXTENSION twice[2] = {exts.array[1], exts.array[1]};
    EXPECT_EQ(CertFindExtension(szOID_KEY_USAGE, 2, twice), &twice[0]);
}

TEST(CertFindExtension, KeyUsageOfACertificateDecodesToItsBits)
{
    auto exts = MakeCertificateExtensions({{NID_key_usage, "digitalSignature,keyEncipherment"}});
    PCERT_EXTENSION ku = CertFindExtension(szOID_KEY_USAGE, static_cast<DWORD>(exts.array.size()), exts.array.data());
    ASSERT_NE(ku, nullptr);
    auto block = DecodeTwice(szOID_KEY_USAGE, *ku);
    auto* bits = reinterpret_cast<CRYPT_BIT_BLOB*>(block.data());
    ASSERT_EQ(bits->cbData, 1u);
    EXPECT_EQ(bits->pbData[0], CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_KEY_ENCIPHERMENT_KEY_USAGE);
    EXPECT_EQ(bits->cUnusedBits, 5u);

    auto all = MakeCertificateExtensions({{NID_key_usage, "nonRepudiation,keyCertSign,decipherOnly"}});
    auto block2 = DecodeTwice(X509_KEY_USAGE, all.array[0]);
    auto* bits2 = reinterpret_cast<CRYPT_BIT_BLOB*>(block2.data());
    ASSERT_EQ(bits2->cbData, 2u);
    EXPECT_EQ(bits2->pbData[0], CERT_NON_REPUDIATION_KEY_USAGE | CERT_KEY_CERT_SIGN_KEY_USAGE);
    EXPECT_EQ(bits2->pbData[1], CERT_DECIPHER_ONLY_KEY_USAGE);
    EXPECT_EQ(bits2->cUnusedBits, 7u);
}

TEST(CertFindExtension, SubjectKeyIdentifierDecodesToTheKeyIdBytes)
{
    auto exts = MakeCertificateExtensions({{NID_subject_key_identifier, "hash"}});
    PCERT_EXTENSION ski = CertFindExtension(szOID_SUBJECT_KEY_IDENTIFIER, 1, exts.array.data());
    ASSERT_NE(ski, nullptr);
    auto block = DecodeTwice(szOID_SUBJECT_KEY_IDENTIFIER, *ski);
    auto* id = reinterpret_cast<CRYPT_DATA_BLOB*>(block.data());
    // The extension value is 04 14 <20 bytes of SHA-1>; with NOCOPY the id points into it.
    ASSERT_EQ(id->cbData, 20u);
    EXPECT_EQ(id->pbData, ski->Value.pbData + 2);
    EXPECT_EQ(0, std::memcmp(id->pbData, ski->Value.pbData + 2, 20));
}
