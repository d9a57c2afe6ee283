// CertCreateCertificateContext and the decoding of a certificate into CERT_INFO.
#include <windows.h>
#include <wincrypt.h>

#include "crypt32/CertObjects.h"
#include "crypt32/Der.h"
#include "crypt32/LibContext.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <ctime>
#include <string>

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

namespace npk::crypt32 {

namespace {

std::string OidText(const ASN1_OBJECT* obj)
{
    char buffer[256];
    int n = OBJ_obj2txt(buffer, sizeof(buffer), obj, 1);
    if (n <= 0 || n >= static_cast<int>(sizeof(buffer))) return std::string();
    return std::string(buffer, static_cast<size_t>(n));
}

std::vector<BYTE> TypeDer(const ASN1_TYPE* type)
{
    std::vector<BYTE> out;
    if (type == nullptr) return out;
    int n = i2d_ASN1_TYPE(type, nullptr);
    if (n <= 0) return out;
    out.resize(static_cast<size_t>(n));
    BYTE* p = out.data();
    i2d_ASN1_TYPE(type, &p);
    return out;
}

// Length of a DER header at p (tag + length octets) and the content length, or false.
bool ParseHeader(const BYTE* p, size_t n, size_t* header, size_t* content)
{
    if (n < 2) return false;
    size_t i = 1;
    if ((p[0] & 0x1F) == 0x1F) return false;  // high tag numbers do not occur here
    BYTE first = p[i++];
    if (first < 0x80) {
        *content = first;
    } else {
        size_t count = first & 0x7F;
        if (count == 0 || count > sizeof(size_t) || i + count > n) return false;
        size_t value = 0;
        for (size_t k = 0; k < count; ++k) value = (value << 8) | p[i++];
        *content = value;
    }
    *header = i;
    return true;
}

// The serial number's content octets, least significant first as CERT_INFO holds them.
std::vector<BYTE> SerialLittleEndian(const ASN1_INTEGER* serial)
{
    std::vector<BYTE> out;
    int n = i2d_ASN1_INTEGER(serial, nullptr);
    if (n <= 0) return out;
    std::vector<BYTE> der(static_cast<size_t>(n));
    BYTE* p = der.data();
    i2d_ASN1_INTEGER(serial, &p);
    size_t header = 0, content = 0;
    if (!ParseHeader(der.data(), der.size(), &header, &content) || header + content > der.size()) return out;
    out.assign(der.begin() + static_cast<long>(header), der.begin() + static_cast<long>(header + content));
    std::reverse(out.begin(), out.end());
    return out;
}

bool TimeToFileTime(const ASN1_TIME* time, FILETIME* out)
{
    struct tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return false;
    time_t seconds = timegm(&tm);
    // 100-nanosecond intervals since 1601-01-01.
    long long ticks = (static_cast<long long>(seconds) + 11644473600LL) * 10000000LL;
    if (ticks < 0) ticks = 0;
    out->dwLowDateTime = static_cast<DWORD>(static_cast<unsigned long long>(ticks) & 0xFFFFFFFFu);
    out->dwHighDateTime = static_cast<DWORD>(static_cast<unsigned long long>(ticks) >> 32);
    return true;
}

// The code Windows gives for bytes that are not a certificate, judged from the outer framing.
DWORD MalformedCode(const BYTE* pb, DWORD cb)
{
    if (cb == 0) return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
    if (pb[0] != 0x30) return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);
    size_t header = 0, content = 0;
    if (!ParseHeader(pb, cb, &header, &content)) return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
    if (content > cb - header) return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
    return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
}

// A TBSCertificate on its own, without the signature around it: Windows' certificate
// decoder reads one as the certificate it describes, and messages from some writers carry
// certificates that way. It is read inside a Certificate with an empty signature, so OpenSSL
// decodes its fields; *consumed is the length of the to-be-signed part itself.
X509* ToBeSignedAlone(const BYTE* pb, DWORD cb, size_t* consumed)
{
    npk::der::Reader whole(pb, cb);
    npk::der::Element tbs;
    if (FAILED(whole.Expect(0x30, tbs))) return nullptr;
    // version [0] (optional), serialNumber INTEGER, signature AlgorithmIdentifier: a signed
    // Certificate starts with a SEQUENCE instead, so the two cannot be taken for each other.
    npk::der::Reader fields(tbs.content, tbs.contentLen);
    npk::der::Element e, algorithm;
    if (FAILED(fields.Next(e))) return nullptr;
    if (e.tag == 0xA0 && FAILED(fields.Next(e))) return nullptr;
    if (e.tag != 0x02 || FAILED(fields.Expect(0x30, algorithm))) return nullptr;

    std::vector<BYTE> content(tbs.header, tbs.header + tbs.totalLen);
    npk::der::Append(content, algorithm.header, algorithm.totalLen);
    npk::der::Append(content, std::vector<BYTE>{0x03, 0x01, 0x00});  // a signature of no bits
    const std::vector<BYTE> wrapped = npk::der::Tlv(0x30, content);

    X509* cert = X509_new_ex(NpkLibContext(), nullptr);
    if (cert == nullptr) return nullptr;
    const unsigned char* p = wrapped.data();
    if (d2i_X509(&cert, &p, static_cast<long>(wrapped.size())) == nullptr) {
        X509_free(cert);
        return nullptr;
    }
    if (p != wrapped.data() + wrapped.size()) {
        X509_free(cert);
        return nullptr;
    }
    *consumed = tbs.totalLen;
    return cert;
}

}  // namespace

bool DigestBytes(const char* algorithm, const BYTE* pb, size_t cb, BYTE* out, unsigned int* outLen)
{
    EVP_MD* md = EVP_MD_fetch(NpkLibContext(), algorithm, nullptr);
    if (md == nullptr) return false;
    bool ok = EVP_Digest(pb, cb, out, outLen, md, nullptr) == 1;
    EVP_MD_free(md);
    return ok;
}

std::shared_ptr<CertificateData> DecodeCertificate(const BYTE* pb, DWORD cb, DWORD* error)
{
    if (pb == nullptr || cb == 0) {
        *error = static_cast<DWORD>(CRYPT_E_ASN1_EOD);
        return nullptr;
    }
    X509* cert = X509_new_ex(NpkLibContext(), nullptr);
    if (cert == nullptr) {
        *error = static_cast<DWORD>(E_OUTOFMEMORY);
        return nullptr;
    }
    const unsigned char* p = pb;
    size_t consumed = 0;
    if (d2i_X509(&cert, &p, static_cast<long>(cb)) != nullptr) {
        consumed = static_cast<size_t>(p - pb);
    } else {
        X509_free(cert);  // d2i has already freed and nulled it; this is for safety
        cert = ToBeSignedAlone(pb, cb, &consumed);
        if (cert == nullptr) {
            *error = MalformedCode(pb, cb);
            return nullptr;
        }
    }

    auto data = std::make_shared<CertificateData>();
    data->encoded.assign(pb, pb + consumed);
    // d2i_X509 has decoded the key already; keeping it spares every later check the decoders.
    data->publicKey = X509_get_pubkey(cert);
    unsigned int len = 0;
    if (!DigestBytes("SHA1", data->encoded.data(), data->encoded.size(), data->sha1.data(), &len)) {
        X509_free(cert);
        *error = static_cast<DWORD>(NTE_BAD_ALGID);
        return nullptr;
    }

    // Gather every variable-length piece first, then lay them out in one block.
    const X509_ALGOR* sigAlg = X509_get0_tbs_sigalg(cert);
    const ASN1_OBJECT* sigOid = nullptr;
    int sigParamType = 0;
    const void* sigParam = nullptr;
    X509_ALGOR_get0(&sigOid, &sigParamType, &sigParam, sigAlg);
    std::string sigOidText = OidText(sigOid);
    std::vector<BYTE> sigParams;
    if (sigParamType != V_ASN1_UNDEF && sigAlg->parameter != nullptr) sigParams = TypeDer(sigAlg->parameter);

    std::vector<BYTE> serial = SerialLittleEndian(X509_get0_serialNumber(cert));

    const unsigned char* der = nullptr;
    size_t derLen = 0;
    std::vector<BYTE> issuer, subject;
    if (X509_NAME_get0_der(X509_get_issuer_name(cert), &der, &derLen) == 1) issuer.assign(der, der + derLen);
    if (X509_NAME_get0_der(X509_get_subject_name(cert), &der, &derLen) == 1) subject.assign(der, der + derLen);

    X509_PUBKEY* pubkey = X509_get_X509_PUBKEY(cert);
    ASN1_OBJECT* keyOid = nullptr;
    const unsigned char* keyBits = nullptr;
    int keyBitsLen = 0;
    X509_ALGOR* keyAlg = nullptr;
    std::string keyOidText;
    std::vector<BYTE> keyParams, keyData;
    if (pubkey != nullptr && X509_PUBKEY_get0_param(&keyOid, &keyBits, &keyBitsLen, &keyAlg, pubkey) == 1) {
        keyOidText = OidText(keyOid);
        if (keyAlg != nullptr && keyAlg->parameter != nullptr) keyParams = TypeDer(keyAlg->parameter);
        if (keyBits != nullptr && keyBitsLen > 0) keyData.assign(keyBits, keyBits + keyBitsLen);
    }

    const ASN1_BIT_STRING* issuerUid = nullptr;
    const ASN1_BIT_STRING* subjectUid = nullptr;
    X509_get0_uids(cert, &issuerUid, &subjectUid);
    auto bits = [](const ASN1_BIT_STRING* s, DWORD* unused) {
        std::vector<BYTE> out;
        *unused = 0;
        if (s == nullptr) return out;
        out.assign(s->data, s->data + s->length);
        if ((s->flags & ASN1_STRING_FLAG_BITS_LEFT) != 0) *unused = static_cast<DWORD>(s->flags & 0x07);
        return out;
    };
    DWORD issuerUnused = 0, subjectUnused = 0;
    std::vector<BYTE> issuerUidBytes = bits(issuerUid, &issuerUnused);
    std::vector<BYTE> subjectUidBytes = bits(subjectUid, &subjectUnused);

    struct Ext {
        std::string oid;
        BOOL critical;
        std::vector<BYTE> value;
    };
    std::vector<Ext> exts;
    int extCount = X509_get_ext_count(cert);
    for (int i = 0; i < extCount; ++i) {
        X509_EXTENSION* ext = X509_get_ext(cert, i);
        Ext e;
        e.oid = OidText(X509_EXTENSION_get_object(ext));
        e.critical = X509_EXTENSION_get_critical(ext) > 0 ? TRUE : FALSE;
        const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(ext);
        if (value != nullptr) e.value.assign(value->data, value->data + value->length);
        exts.push_back(std::move(e));
    }

    CERT_INFO info{};
    info.dwVersion = static_cast<DWORD>(X509_get_version(cert));
    bool timesOk = TimeToFileTime(X509_get0_notBefore(cert), &info.NotBefore) &&
                   TimeToFileTime(X509_get0_notAfter(cert), &info.NotAfter);
    X509_free(cert);
    if (!timesOk || sigOidText.empty() || keyOidText.empty()) {
        *error = static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
        return nullptr;
    }

    auto align = [](size_t n) { return (n + 7) & ~static_cast<size_t>(7); };
    size_t total = align(sizeof(CERT_INFO)) + align(sizeof(CERT_EXTENSION) * exts.size());
    auto add = [&](size_t n) { total += align(n); };
    add(sigOidText.size() + 1);
    add(sigParams.size());
    add(serial.size());
    add(issuer.size());
    add(subject.size());
    add(keyOidText.size() + 1);
    add(keyParams.size());
    add(keyData.size());
    add(issuerUidBytes.size());
    add(subjectUidBytes.size());
    for (const Ext& e : exts) {
        add(e.oid.size() + 1);
        add(e.value.size());
    }

    data->infoBlock.reset(new (std::nothrow) BYTE[total]);
    if (!data->infoBlock) {
        *error = static_cast<DWORD>(E_OUTOFMEMORY);
        return nullptr;
    }
    BYTE* base = data->infoBlock.get();
    std::memset(base, 0, total);
    size_t offset = align(sizeof(CERT_INFO));
    PCERT_EXTENSION rgExt = reinterpret_cast<PCERT_EXTENSION>(base + offset);
    offset += align(sizeof(CERT_EXTENSION) * exts.size());
    auto place = [&](const void* src, size_t n) -> BYTE* {
        BYTE* dst = base + offset;
        if (n > 0) std::memcpy(dst, src, n);
        offset += align(n);
        return n > 0 ? dst : nullptr;
    };
    auto placeText = [&](const std::string& text) {
        return reinterpret_cast<LPSTR>(place(text.c_str(), text.size() + 1));
    };
    auto placeBlob = [&](const std::vector<BYTE>& bytes, CRYPT_INTEGER_BLOB* blob) {
        blob->cbData = static_cast<DWORD>(bytes.size());
        blob->pbData = place(bytes.data(), bytes.size());
    };

    info.SignatureAlgorithm.pszObjId = placeText(sigOidText);
    placeBlob(sigParams, &info.SignatureAlgorithm.Parameters);
    placeBlob(serial, &info.SerialNumber);
    placeBlob(issuer, &info.Issuer);
    placeBlob(subject, &info.Subject);
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = placeText(keyOidText);
    placeBlob(keyParams, &info.SubjectPublicKeyInfo.Algorithm.Parameters);
    info.SubjectPublicKeyInfo.PublicKey.cbData = static_cast<DWORD>(keyData.size());
    info.SubjectPublicKeyInfo.PublicKey.pbData = place(keyData.data(), keyData.size());
    info.SubjectPublicKeyInfo.PublicKey.cUnusedBits = 0;
    info.IssuerUniqueId.cbData = static_cast<DWORD>(issuerUidBytes.size());
    info.IssuerUniqueId.pbData = place(issuerUidBytes.data(), issuerUidBytes.size());
    info.IssuerUniqueId.cUnusedBits = issuerUnused;
    info.SubjectUniqueId.cbData = static_cast<DWORD>(subjectUidBytes.size());
    info.SubjectUniqueId.pbData = place(subjectUidBytes.data(), subjectUidBytes.size());
    info.SubjectUniqueId.cUnusedBits = subjectUnused;
    info.cExtension = static_cast<DWORD>(exts.size());
    info.rgExtension = exts.empty() ? nullptr : rgExt;
    for (size_t i = 0; i < exts.size(); ++i) {
        rgExt[i].pszObjId = placeText(exts[i].oid);
        rgExt[i].fCritical = exts[i].critical;
        placeBlob(exts[i].value, &rgExt[i].Value);
    }
    std::memcpy(base, &info, sizeof(info));
    *error = 0;
    return data;
}

}  // namespace npk::crypt32

using npk::crypt32::CertStoreObject;

extern "C" PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                                              DWORD cbCertEncoded)
{
    if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    DWORD error = 0;
    std::shared_ptr<npk::crypt32::CertificateData> data =
        npk::crypt32::DecodeCertificate(pbCertEncoded, cbCertEncoded, &error);
    if (!data) {
        SetLastError(error);
        return nullptr;
    }
    // The context lives in a store of its own that no caller holds open: the context's
    // last reference frees both.
    CertStoreObject* store = new (std::nothrow) CertStoreObject();
    if (store == nullptr) {
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
        return nullptr;
    }
    PCCERT_CONTEXT context = store->AddContext(std::move(data), dwCertEncodingType);
    store->CloseOpen();
    return context;
}
