// PFXImportCertStore and the PKCS#12 reader behind it.
//
// The packet is walked bag by bag rather than through PKCS12_parse, so that every certificate
// of the file is kept in file order and every key finds its certificate, and so that each step
// that needs an algorithm (the MAC, the PBE ciphers, PBKDF2) runs in the layer's own library
// context, where the legacy provider makes RC2-40 and 3DES files readable.
#include <windows.h>
#include <wincrypt.h>

#include "advapi32/CryptObjects.h"
#include "crypt32/CertKeyLink.h"
#include "crypt32/CertObjects.h"
#include "crypt32/Der.h"
#include "crypt32/LibContext.h"
#include "crypt32/PfxImport.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/params.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
using npk::der::Element;
using npk::der::Reader;

// Refuse work factors no real file uses: a hostile file could otherwise keep us hashing.
constexpr long kMaxIterations = 10'000'000;
// Nested safe-contents bags deeper than this are not something any tool writes.
constexpr int kMaxNesting = 8;

const BYTE kOidData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};

// The parts of the outer PFX structure that the reader needs.
struct Outer {
    const BYTE* authSafe = nullptr;  // content of the data ContentInfo: the AuthenticatedSafe
    size_t authSafeLen = 0;
    bool hasMac = false;
    std::string macDigestOid;
    Element macDigest;
    Element macSalt;
    long macIterations = 1;
};

HRESULT ReadSmallInteger(const Element& e, long* value)
{
    if (e.contentLen == 0 || e.contentLen > 4 || (e.content[0] & 0x80) != 0) return CRYPT_E_ASN1_CORRUPT;
    long v = 0;
    for (size_t i = 0; i < e.contentLen; ++i) v = (v << 8) | e.content[i];
    *value = v;
    return S_OK;
}

// PFX ::= SEQUENCE { version INTEGER {v3(3)}, authSafe ContentInfo, macData MacData OPTIONAL }
HRESULT ReadOuter(const BYTE* data, size_t size, Outer& o)
{
    Element pfx;
    HRESULT hr = npk::der::ReadWhole(data, size, 0x30, pfx);
    if (FAILED(hr)) return hr;
    Reader body(pfx.content, pfx.contentLen);
    Element version, authSafe;
    if (FAILED(hr = body.Expect(0x02, version))) return hr;
    long v = 0;
    if (FAILED(hr = ReadSmallInteger(version, &v))) return hr;
    if (v != 3) return CRYPT_E_ASN1_CORRUPT;
    if (FAILED(hr = body.Expect(0x30, authSafe))) return hr;

    // ContentInfo ::= SEQUENCE { contentType OID, content [0] EXPLICIT OCTET STRING }
    Reader ci(authSafe.content, authSafe.contentLen);
    Element type, explicitContent, octets;
    if (FAILED(hr = ci.Expect(0x06, type))) return hr;
    if (type.contentLen != sizeof(kOidData) || std::memcmp(type.content, kOidData, sizeof(kOidData)) != 0)
        return CRYPT_E_INVALID_MSG_TYPE;  // public-key integrity (signed data) is not supported
    if (FAILED(hr = ci.Expect(0xA0, explicitContent))) return hr;
    if (!ci.AtEnd()) return CRYPT_E_ASN1_CORRUPT;
    if (FAILED(hr = npk::der::ReadWhole(explicitContent.content, explicitContent.contentLen, 0x04, octets)))
        return hr;
    o.authSafe = octets.content;
    o.authSafeLen = octets.contentLen;

    if (body.AtEnd()) return S_OK;
    // MacData ::= SEQUENCE { mac DigestInfo, macSalt OCTET STRING, iterations INTEGER DEFAULT 1 }
    Element macData;
    if (FAILED(hr = body.Expect(0x30, macData))) return hr;
    if (!body.AtEnd()) return CRYPT_E_ASN1_CORRUPT;
    Reader md(macData.content, macData.contentLen);
    Element digestInfo, algorithm, oid;
    if (FAILED(hr = md.Expect(0x30, digestInfo))) return hr;
    Reader di(digestInfo.content, digestInfo.contentLen);
    if (FAILED(hr = di.Expect(0x30, algorithm))) return hr;
    if (FAILED(hr = di.Expect(0x04, o.macDigest))) return hr;
    if (!di.AtEnd()) return CRYPT_E_ASN1_CORRUPT;
    Reader alg(algorithm.content, algorithm.contentLen);
    if (FAILED(hr = alg.Expect(0x06, oid))) return hr;
    if (!npk::der::OidToText(oid.content, oid.contentLen, o.macDigestOid)) return CRYPT_E_ASN1_CORRUPT;
    if (FAILED(hr = md.Expect(0x04, o.macSalt))) return hr;
    if (!md.AtEnd()) {
        Element iterations;
        if (FAILED(hr = md.Expect(0x02, iterations))) return hr;
        if (FAILED(hr = ReadSmallInteger(iterations, &o.macIterations))) return hr;
        if (!md.AtEnd()) return CRYPT_E_ASN1_CORRUPT;
    }
    if (o.macIterations < 1) return CRYPT_E_ASN1_CORRUPT;
    if (o.macIterations > kMaxIterations) return CRYPT_E_ASN1_LARGE;
    o.hasMac = true;
    return S_OK;
}

// One form of the password as OpenSSL's PKCS#12 functions take it: null with length 0 is the
// empty BMPString, "" with length 0 is the BMPString of one terminating zero.
struct Password {
    const char* text;
    int length;
};

// The forms of the password to try, the one the MAC accepts first once it is known.
class Passwords {
public:
    explicit Passwords(LPCWSTR password)
    {
        if (password != nullptr && password[0] != 0) {
            m_utf8 = NpkToUtf8(password);
            m_forms.push_back({m_utf8.c_str(), static_cast<int>(m_utf8.size())});
        } else {
            m_forms.push_back({"", 0});
            m_forms.push_back({nullptr, 0});
        }
    }
    ~Passwords() { OPENSSL_cleanse(m_utf8.data(), m_utf8.size()); }
    Passwords(const Passwords&) = delete;
    Passwords& operator=(const Passwords&) = delete;

    const std::vector<Password>& Forms() const { return m_forms; }
    void PreferForm(size_t index)
    {
        if (index != 0 && index < m_forms.size()) std::swap(m_forms[0], m_forms[index]);
    }

private:
    std::string m_utf8;
    std::vector<Password> m_forms;
};

// The integrity check: HMAC over the AuthenticatedSafe with a key derived from the password.
// 0 when it matches, ERROR_INVALID_PASSWORD when it does not, or the failure.
DWORD VerifyMac(const Outer& o, const Password& pw)
{
    OSSL_LIB_CTX* ctx = NpkLibContext();
    EVP_MD* md = EVP_MD_fetch(ctx, o.macDigestOid.c_str(), nullptr);
    if (md == nullptr) return static_cast<DWORD>(NTE_BAD_ALGID);
    const int mdSize = EVP_MD_get_size(md);
    DWORD result = static_cast<DWORD>(NTE_FAIL);
    unsigned char key[EVP_MAX_MD_SIZE];
    unsigned char mac[EVP_MAX_MD_SIZE];
    size_t macLen = 0;
    EVP_MAC* hmac = nullptr;
    EVP_MAC_CTX* mctx = nullptr;
    if (mdSize <= 0 || o.macSalt.contentLen > INT32_MAX) goto done;
    if (PKCS12_key_gen_utf8_ex(pw.text, pw.length, const_cast<unsigned char*>(o.macSalt.content),
                               static_cast<int>(o.macSalt.contentLen), PKCS12_MAC_ID, static_cast<int>(o.macIterations),
                               mdSize, key, md, ctx, nullptr) != 1)
        goto done;
    hmac = EVP_MAC_fetch(ctx, "HMAC", nullptr);
    if (hmac == nullptr || (mctx = EVP_MAC_CTX_new(hmac)) == nullptr) goto done;
    {
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(EVP_MD_get0_name(md)), 0),
            OSSL_PARAM_construct_end()};
        if (EVP_MAC_init(mctx, key, static_cast<size_t>(mdSize), params) != 1 ||
            EVP_MAC_update(mctx, o.authSafe, o.authSafeLen) != 1 || EVP_MAC_final(mctx, mac, &macLen, sizeof(mac)) != 1)
            goto done;
    }
    result = (macLen == o.macDigest.contentLen && CRYPTO_memcmp(mac, o.macDigest.content, macLen) == 0)
                 ? 0
                 : static_cast<DWORD>(ERROR_INVALID_PASSWORD);
done:
    OPENSSL_cleanse(key, sizeof(key));
    EVP_MAC_CTX_free(mctx);
    EVP_MAC_free(hmac);
    EVP_MD_free(md);
    return result;
}

// What a failed decryption means: without the legacy provider an RC2 or RC4 file cannot be
// opened whatever the password, and saying so beats blaming the password.
DWORD DecryptFailure()
{
    return NpkLegacyProviderLoaded() ? static_cast<DWORD>(ERROR_INVALID_PASSWORD) : static_cast<DWORD>(NTE_BAD_ALGID);
}

// Every key derivation of the file is held to the MAC's limit before it runs: a file without
// a MAC, or with a modest one, could otherwise ask its encrypted parts for billions of rounds
// (PKCS#12 and PKCS#5 v1 PBE, PBES2 with PBKDF2 iterations or scrypt cost). 0 when the
// algorithm's work is within bounds or is not one of these (its decryption then fails on its
// own), CRYPT_E_ASN1_LARGE otherwise, as for the MAC.
DWORD CheckKeyDerivation(const X509_ALGOR* algorithm)
{
    if (algorithm == nullptr || algorithm->parameter == nullptr) return 0;
    const DWORD tooLarge = static_cast<DWORD>(CRYPT_E_ASN1_LARGE);
    auto withinLimit = [](const ASN1_INTEGER* value, uint64_t* out) {
        return value != nullptr && ASN1_INTEGER_get_uint64(out, value) == 1 && *out <= kMaxIterations;
    };
    uint64_t rounds = 0;
    if (OBJ_obj2nid(algorithm->algorithm) != NID_pbes2) {
        PBEPARAM* pbe = static_cast<PBEPARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), algorithm->parameter));
        if (pbe == nullptr) return 0;
        const bool ok = withinLimit(pbe->iter, &rounds);
        PBEPARAM_free(pbe);
        return ok ? 0 : tooLarge;
    }
    PBE2PARAM* pbe2 = static_cast<PBE2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), algorithm->parameter));
    if (pbe2 == nullptr) return 0;
    DWORD result = 0;
    const X509_ALGOR* kdf = pbe2->keyfunc;
    const int kdfNid = kdf != nullptr ? OBJ_obj2nid(kdf->algorithm) : NID_undef;
    if (kdfNid == NID_id_pbkdf2 && kdf->parameter != nullptr) {
        PBKDF2PARAM* p = static_cast<PBKDF2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), kdf->parameter));
        if (p != nullptr && !withinLimit(p->iter, &rounds)) result = tooLarge;
        PBKDF2PARAM_free(p);
    } else if (kdfNid == NID_id_scrypt && kdf->parameter != nullptr) {
        // scrypt's work grows with N * r * p.
        SCRYPT_PARAMS* p =
            static_cast<SCRYPT_PARAMS*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(SCRYPT_PARAMS), kdf->parameter));
        if (p != nullptr) {
            uint64_t n = 0, r = 0, par = 0;
            if (!withinLimit(p->costParameter, &n) || !withinLimit(p->blockSize, &r) ||
                !withinLimit(p->parallelizationParameter, &par) || (r != 0 && n > kMaxIterations / r) ||
                (par != 0 && n * r > kMaxIterations / par))
                result = tooLarge;
        }
        SCRYPT_PARAMS_free(p);
    }
    PBE2PARAM_free(pbe2);
    return result;
}

struct FoundKey {
    EVP_PKEY* key = nullptr;
    Bytes localKeyId;
};

struct FoundCertificate {
    Bytes encoded;
    Bytes localKeyId;
    std::basic_string<WCHAR> friendlyName;
};

struct Collected {
    Collected() = default;
    ~Collected()
    {
        for (auto& k : keys) EVP_PKEY_free(k.key);
    }
    Collected(const Collected&) = delete;
    Collected& operator=(const Collected&) = delete;

    std::vector<FoundKey> keys;
    std::vector<FoundCertificate> certificates;
};

Bytes OctetAttribute(const PKCS12_SAFEBAG* bag, int nid)
{
    const ASN1_TYPE* a = PKCS12_SAFEBAG_get0_attr(bag, nid);
    if (a == nullptr || a->type != V_ASN1_OCTET_STRING || a->value.octet_string == nullptr) return {};
    const unsigned char* p = ASN1_STRING_get0_data(a->value.octet_string);
    return Bytes(p, p + ASN1_STRING_length(a->value.octet_string));
}

std::basic_string<WCHAR> FriendlyName(const PKCS12_SAFEBAG* bag)
{
    std::basic_string<WCHAR> name;
    const ASN1_TYPE* a = PKCS12_SAFEBAG_get0_attr(bag, NID_friendlyName);
    if (a == nullptr || a->type != V_ASN1_BMPSTRING || a->value.bmpstring == nullptr) return name;
    const unsigned char* p = ASN1_STRING_get0_data(a->value.bmpstring);
    const int n = ASN1_STRING_length(a->value.bmpstring);
    for (int i = 0; i + 1 < n; i += 2) {
        const WCHAR c = static_cast<WCHAR>((p[i] << 8) | p[i + 1]);
        if (c == 0) break;
        name += c;
    }
    return name;
}

// The DER certificate a certBag carries, read from the bag's own encoding so that no
// certificate object is made outside the layer's library context.
// SafeBag ::= SEQUENCE { bagId, [0] EXPLICIT CertBag, attributes SET OPTIONAL }
// CertBag ::= SEQUENCE { certId, [0] EXPLICIT OCTET STRING }
DWORD CertificateOfBag(const PKCS12_SAFEBAG* bag, Bytes& out)
{
    unsigned char* der = nullptr;
    const int len = i2d_PKCS12_SAFEBAG(bag, &der);
    if (len <= 0) return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    HRESULT hr = S_OK;
    Element safeBag, id, explicitBag, certBag, certId, explicitValue, value;
    if (SUCCEEDED(hr = npk::der::ReadWhole(der, static_cast<size_t>(len), 0x30, safeBag))) {
        Reader sb(safeBag.content, safeBag.contentLen);
        if (SUCCEEDED(hr = sb.Expect(0x06, id)) && SUCCEEDED(hr = sb.Expect(0xA0, explicitBag)) &&
            SUCCEEDED(hr = npk::der::ReadWhole(explicitBag.content, explicitBag.contentLen, 0x30, certBag))) {
            Reader cb(certBag.content, certBag.contentLen);
            if (SUCCEEDED(hr = cb.Expect(0x06, certId)) && SUCCEEDED(hr = cb.Expect(0xA0, explicitValue)) &&
                SUCCEEDED(hr = npk::der::ReadWhole(explicitValue.content, explicitValue.contentLen, 0x04, value)))
                out.assign(value.content, value.content + value.contentLen);
        }
    }
    OPENSSL_free(der);
    return FAILED(hr) ? static_cast<DWORD>(hr) : 0;
}

DWORD KeyFromPkcs8(const PKCS8_PRIV_KEY_INFO* p8, const PKCS12_SAFEBAG* bag, Collected& out)
{
    EVP_PKEY* key = EVP_PKCS82PKEY_ex(p8, NpkLibContext(), nullptr);
    if (key == nullptr) return static_cast<DWORD>(NTE_BAD_DATA);
    FoundKey k;
    k.key = key;
    k.localKeyId = OctetAttribute(bag, NID_localKeyID);
    out.keys.push_back(std::move(k));
    return 0;
}

DWORD ReadBags(const STACK_OF(PKCS12_SAFEBAG) * bags, Passwords& passwords, Collected& out, int depth)
{
    if (depth > kMaxNesting) return static_cast<DWORD>(CRYPT_E_ASN1_LARGE);
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
        const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
        DWORD error = 0;
        switch (PKCS12_SAFEBAG_get_nid(bag)) {
        case NID_keyBag: {
            const PKCS8_PRIV_KEY_INFO* p8 = PKCS12_SAFEBAG_get0_p8inf(bag);
            error = p8 != nullptr ? KeyFromPkcs8(p8, bag, out) : static_cast<DWORD>(NTE_BAD_DATA);
            break;
        }
        case NID_pkcs8ShroudedKeyBag: {
            const X509_SIG* shrouded = PKCS12_SAFEBAG_get0_pkcs8(bag);
            PKCS8_PRIV_KEY_INFO* p8 = nullptr;
            if (shrouded != nullptr) {
                const X509_ALGOR* algorithm = nullptr;
                X509_SIG_get0(shrouded, &algorithm, nullptr);
                if ((error = CheckKeyDerivation(algorithm)) != 0) break;
            }
            for (const Password& pw : passwords.Forms()) {
                if (shrouded == nullptr) break;
                p8 = PKCS8_decrypt_ex(shrouded, pw.text, pw.length, NpkLibContext(), nullptr);
                if (p8 != nullptr) break;
            }
            if (p8 == nullptr) {
                error = DecryptFailure();
                break;
            }
            error = KeyFromPkcs8(p8, bag, out);
            PKCS8_PRIV_KEY_INFO_free(p8);
            break;
        }
        case NID_certBag: {
            // Only X.509 certificates; SDSI certificates are skipped as Windows skips them.
            if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate) break;
            FoundCertificate c;
            error = CertificateOfBag(bag, c.encoded);
            if (error != 0) break;
            c.localKeyId = OctetAttribute(bag, NID_localKeyID);
            c.friendlyName = FriendlyName(bag);
            out.certificates.push_back(std::move(c));
            break;
        }
        case NID_safeContentsBag:
            error = ReadBags(PKCS12_SAFEBAG_get0_safes(bag), passwords, out, depth + 1);
            break;
        default:
            break;  // CRLs and secrets are not certificates or keys: nothing to import
        }
        if (error != 0) return error;
    }
    return 0;
}

// Each ContentInfo of the AuthenticatedSafe: plain data, or data encrypted with the password.
DWORD ReadAuthenticatedSafe(const Outer& o, Passwords& passwords, Collected& out)
{
    const unsigned char* p = o.authSafe;
    auto* safes = static_cast<STACK_OF(PKCS7)*>(static_cast<void*>(
        ASN1_item_d2i(nullptr, &p, static_cast<long>(o.authSafeLen), ASN1_ITEM_rptr(PKCS12_AUTHSAFES))));
    if (safes == nullptr) return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    DWORD error = 0;
    for (int i = 0; i < sk_PKCS7_num(safes) && error == 0; ++i) {
        PKCS7* p7 = sk_PKCS7_value(safes, i);
        STACK_OF(PKCS12_SAFEBAG)* bags = nullptr;
        const int type = OBJ_obj2nid(p7->type);
        if (type == NID_pkcs7_data) {
            if (p7->d.data == nullptr) {
                error = static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
                break;
            }
            bags = static_cast<STACK_OF(PKCS12_SAFEBAG)*>(
                ASN1_item_unpack(p7->d.data, ASN1_ITEM_rptr(PKCS12_SAFEBAGS)));
            if (bags == nullptr) error = static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
        } else if (type == NID_pkcs7_encrypted) {
            if (p7->d.encrypted == nullptr || p7->d.encrypted->enc_data == nullptr ||
                p7->d.encrypted->enc_data->enc_data == nullptr) {
                error = static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
                break;
            }
            if ((error = CheckKeyDerivation(p7->d.encrypted->enc_data->algorithm)) != 0) break;
            for (const Password& pw : passwords.Forms()) {
                bags = static_cast<STACK_OF(PKCS12_SAFEBAG)*>(PKCS12_item_decrypt_d2i_ex(
                    p7->d.encrypted->enc_data->algorithm, ASN1_ITEM_rptr(PKCS12_SAFEBAGS), pw.text, pw.length,
                    p7->d.encrypted->enc_data->enc_data, 1, NpkLibContext(), nullptr));
                if (bags != nullptr) break;
            }
            if (bags == nullptr) error = DecryptFailure();
        } else {
            // Enveloped (public-key privacy) safes need a key we do not have.
            error = static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE);
        }
        if (bags != nullptr) {
            error = ReadBags(bags, passwords, out, 0);
            sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
        }
    }
    sk_PKCS7_pop_free(safes, PKCS7_free);
    return error;
}

EVP_PKEY* PublicKeyOf(const Bytes& encoded, DWORD* error)
{
    const unsigned char* p = encoded.data();
    X509* x = X509_new_ex(NpkLibContext(), nullptr);
    if (x == nullptr) {
        *error = static_cast<DWORD>(E_OUTOFMEMORY);
        return nullptr;
    }
    EVP_PKEY* key = nullptr;
    if (d2i_X509(&x, &p, static_cast<long>(encoded.size())) != nullptr) key = X509_get_pubkey(x);
    X509_free(x);
    if (key == nullptr) {
        // The layer's own decoder names the fault the way every other certificate API does.
        DWORD code = static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
        npk::crypt32::DecodeCertificate(encoded.data(), static_cast<DWORD>(encoded.size()), &code);
        *error = code != 0 ? code : static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    }
    return key;
}

// The key for a certificate: the one with its localKeyId if that key really is its key,
// otherwise any key with its public key.
EVP_PKEY* MatchKey(const FoundCertificate& cert, EVP_PKEY* publicKey, const std::vector<FoundKey>& keys)
{
    if (!cert.localKeyId.empty()) {
        for (const FoundKey& k : keys)
            if (k.localKeyId == cert.localKeyId && EVP_PKEY_eq(publicKey, k.key) == 1) return k.key;
    }
    for (const FoundKey& k : keys)
        if (EVP_PKEY_eq(publicKey, k.key) == 1) return k.key;
    return nullptr;
}

DWORD Parse(const BYTE* data, size_t size, LPCWSTR password, NpkPfxContents& out)
{
    Outer outer;
    HRESULT hr = ReadOuter(data, size, outer);
    if (FAILED(hr)) return static_cast<DWORD>(hr);

    Passwords passwords(password);
    if (outer.hasMac) {
        DWORD error = static_cast<DWORD>(ERROR_INVALID_PASSWORD);
        size_t matched = 0;
        for (; matched < passwords.Forms().size(); ++matched) {
            error = VerifyMac(outer, passwords.Forms()[matched]);
            if (error != static_cast<DWORD>(ERROR_INVALID_PASSWORD)) break;
        }
        if (error != 0) return error;
        passwords.PreferForm(matched);
    }

    Collected found;
    DWORD error = ReadAuthenticatedSafe(outer, passwords, found);
    if (error != 0) return error;

    for (FoundCertificate& c : found.certificates) {
        EVP_PKEY* pub = PublicKeyOf(c.encoded, &error);
        if (pub == nullptr) return error;
        EVP_PKEY* key = MatchKey(c, pub, found.keys);
        EVP_PKEY_free(pub);
        NpkPfxCertificate entry;
        entry.encoded = std::move(c.encoded);
        entry.friendlyName = std::move(c.friendlyName);
        if (key != nullptr && EVP_PKEY_up_ref(key) == 1) entry.key = key;
        out.certificates.push_back(std::move(entry));
    }
    return 0;
}

BOOL Fail(DWORD error)
{
    ERR_clear_error();
    SetLastError(error);
    return FALSE;
}

bool ValidBlob(const CRYPT_DATA_BLOB* blob)
{
    return blob != nullptr && (blob->cbData == 0 || blob->pbData != nullptr);
}

}  // namespace

NpkPfxContents::~NpkPfxContents()
{
    for (auto& c : certificates) EVP_PKEY_free(c.key);
}

DWORD NpkParsePfx(const BYTE* data, size_t size, LPCWSTR password, NpkPfxContents& out)
{
    if (data == nullptr && size != 0) return static_cast<DWORD>(E_INVALIDARG);
    NpkPfxContents parsed;
    DWORD error = Parse(data, size, password, parsed);
    ERR_clear_error();
    if (error != 0) return error;
    for (auto& c : out.certificates) EVP_PKEY_free(c.key);
    out.certificates = std::move(parsed.certificates);
    parsed.certificates.clear();
    return 0;
}

extern "C" HCERTSTORE WINAPI PFXImportCertStore(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags)
{
    (void)dwFlags;  // keys from a packet are always memory-only here, whatever the key-set flags
    if (!ValidBlob(pPFX)) {
        Fail(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    NpkPfxContents contents;
    DWORD error = NpkParsePfx(pPFX->pbData, pPFX->cbData, szPassword, contents);
    if (error != 0) {
        Fail(error);
        return nullptr;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (store == nullptr) return nullptr;
    for (const NpkPfxCertificate& c : contents.certificates) {
        PCCERT_CONTEXT context = nullptr;
        bool ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, c.encoded.data(),
                                                   static_cast<DWORD>(c.encoded.size()), CERT_STORE_ADD_USE_EXISTING,
                                                   &context) != FALSE;
        if (ok && c.key != nullptr) ok = NpkLinkCertificateToKey(context, c.key, false) != FALSE;
        if (ok && !c.friendlyName.empty()) {
            CRYPT_DATA_BLOB name{static_cast<DWORD>((c.friendlyName.size() + 1) * sizeof(WCHAR)),
                                 reinterpret_cast<BYTE*>(const_cast<WCHAR*>(c.friendlyName.c_str()))};
            ok = CertSetCertificateContextProperty(context, CERT_FRIENDLY_NAME_PROP_ID, 0, &name) != FALSE;
        }
        if (!ok) {
            error = GetLastError();
            if (context != nullptr) CertFreeCertificateContext(context);
            CertCloseStore(store, 0);
            Fail(error != 0 ? error : static_cast<DWORD>(NTE_FAIL));
            return nullptr;
        }
        CertFreeCertificateContext(context);
    }
    SetLastError(0);
    return store;
}

extern "C" BOOL WINAPI PFXIsPFXBlob(CRYPT_DATA_BLOB* pPFX)
{
    if (!ValidBlob(pPFX) || pPFX->cbData == 0) return FALSE;
    Outer outer;
    return SUCCEEDED(ReadOuter(pPFX->pbData, pPFX->cbData, outer)) ? TRUE : FALSE;
}

extern "C" BOOL WINAPI PFXVerifyPassword(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags)
{
    (void)dwFlags;
    if (!ValidBlob(pPFX)) return Fail(static_cast<DWORD>(E_INVALIDARG));
    NpkPfxContents contents;
    DWORD error = NpkParsePfx(pPFX->pbData, pPFX->cbData, szPassword, contents);
    if (error != 0) return Fail(error);
    return TRUE;
}
