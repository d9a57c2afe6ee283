// CertOpenStore and the operations on a store's certificates: enumerate, add, delete, find.
#include <windows.h>
#include <wincrypt.h>

#include "crypt32/CertObjects.h"
#include "crypt32/CertSystemStore.h"
#include "crypt32/MessageObjects.h"

#include <cstring>
#include <new>
#include <string>

using npk::crypt32::CertContextObject;
using npk::crypt32::CertificateData;
using npk::crypt32::CertStoreObject;

namespace {

using Properties = std::map<DWORD, std::vector<BYTE>>;

void Fail(DWORD code) { SetLastError(code); }

std::string NarrowStoreName(const void* pvPara, bool wide)
{
    std::string out;
    if (pvPara == nullptr) return out;
    if (!wide) return std::string(static_cast<const char*>(pvPara));
    // UTF-16 to UTF-8; store names are nearly always ASCII.
    const char16_t* p = static_cast<const char16_t*>(pvPara);
    while (*p != 0) {
        char32_t c = *p++;
        if (c >= 0xD800 && c <= 0xDBFF && *p >= 0xDC00 && *p <= 0xDFFF) c = 0x10000 + ((c - 0xD800) << 10) + (*p++ - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The context objects of a store that belong to it, or null with the last error set.
CertStoreObject* StoreOf(HCERTSTORE hStore)
{
    CertStoreObject* store = CertStoreObject::FromHandle(hStore);
    if (store == nullptr || store->OpenCount() <= 0) Fail(static_cast<DWORD>(E_INVALIDARG));
    return store;
}

// Properties that travel with a certificate into another store: the computed hashes are
// recomputed there and a cached key handle belongs to the original context only.
Properties CopyableProperties(const Properties& source)
{
    Properties out;
    for (const auto& [id, value] : source)
        if (id != CERT_SHA1_HASH_PROP_ID && id != CERT_MD5_HASH_PROP_ID && id != CERT_KEY_CONTEXT_PROP_ID &&
            id != CERT_KEY_PROV_HANDLE_PROP_ID)
            out[id] = value;
    return out;
}

// Adds data to store with the given disposition; the out context gets a caller reference.
BOOL AddToStore(CertStoreObject* store, const std::shared_ptr<CertificateData>& data, DWORD encodingType,
                const Properties& properties, DWORD disposition, PCCERT_CONTEXT* ppStoreContext)
{
    if (ppStoreContext != nullptr) *ppStoreContext = nullptr;
    if (disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_ALWAYS) {
        Fail(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    CertContextObject* result = nullptr;
    {
        std::lock_guard<std::mutex> guard(store->Lock());
        if (store->ReadOnly()) {
            Fail(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        CertContextObject* existing = store->FindEncodedLocked(data->encoded);
        if (existing != nullptr && disposition == CERT_STORE_ADD_ALWAYS && !store->AllowsDuplicates())
            disposition = CERT_STORE_ADD_REPLACE_EXISTING;
        if (existing != nullptr && disposition == CERT_STORE_ADD_NEW) {
            Fail(static_cast<DWORD>(CRYPT_E_EXISTS));
            return FALSE;
        }
        if (existing != nullptr && disposition == CERT_STORE_ADD_USE_EXISTING) {
            // The existing entry is kept; properties it lacks are taken from the new one.
            Properties merged = existing->Properties();
            bool changed = false;
            for (const auto& [id, value] : properties)
                if (merged.emplace(id, value).second) changed = true;
            if (changed) {
                DWORD error = store->PersistProperties(*existing->Data(), merged);
                if (error != 0) {
                    Fail(error);
                    return FALSE;
                }
                existing->Properties() = std::move(merged);
            }
            result = existing;
        } else {
            DWORD error = store->PersistAdd(*data, properties);
            if (error != 0) {
                Fail(error);
                return FALSE;
            }
            // A persistent store has just rewritten the files; the listing follows.
            if (existing != nullptr && disposition == CERT_STORE_ADD_REPLACE_EXISTING) store->RemoveLocked(existing);
            result = store->InsertLocked(data, encodingType, properties);
        }
        if (ppStoreContext != nullptr) result->AddRef();
    }
    if (ppStoreContext != nullptr) *ppStoreContext = result->Handle();
    return TRUE;
}

bool SerialEquals(const CRYPT_INTEGER_BLOB& a, const CRYPT_INTEGER_BLOB& b)
{
    // As CertCompareIntegerBlob: the most significant zero bytes (at the end) do not count.
    DWORD na = a.cbData, nb = b.cbData;
    while (na > 1 && a.pbData[na - 1] == 0) --na;
    while (nb > 1 && b.pbData[nb - 1] == 0) --nb;
    return na == nb && (na == 0 || std::memcmp(a.pbData, b.pbData, na) == 0);
}

bool BlobEquals(const CRYPT_DATA_BLOB& a, const CRYPT_DATA_BLOB& b)
{
    return a.cbData == b.cbData && (a.cbData == 0 || std::memcmp(a.pbData, b.pbData, a.cbData) == 0);
}

bool IssuerSerialMatches(const CertificateData& data, const CERT_NAME_BLOB& issuer, const CRYPT_INTEGER_BLOB& serial)
{
    PCERT_INFO info = data.Info();
    return BlobEquals(info->Issuer, issuer) && SerialEquals(info->SerialNumber, serial);
}

const CERT_EXTENSION* FindExtensionIn(PCERT_INFO info, const char* oid)
{
    for (DWORD i = 0; i < info->cExtension; ++i)
        if (std::strcmp(info->rgExtension[i].pszObjId, oid) == 0) return &info->rgExtension[i];
    return nullptr;
}

// The subject key identifier extension's key id (the OCTET STRING inside the value).
bool SubjectKeyId(const CertificateData& data, CRYPT_DATA_BLOB* out)
{
    const CERT_EXTENSION* ext = FindExtensionIn(data.Info(), "2.5.29.14");
    if (ext == nullptr || ext->Value.cbData < 2 || ext->Value.pbData[0] != 0x04) return false;
    const BYTE* p = ext->Value.pbData;
    DWORD n = ext->Value.cbData;
    DWORD len = p[1], header = 2;
    if (len >= 0x80) {
        DWORD count = len & 0x7F;
        if (count == 0 || count > 2 || 2 + count > n) return false;
        len = 0;
        for (DWORD k = 0; k < count; ++k) len = (len << 8) | p[2 + k];
        header = 2 + count;
    }
    if (header + len != n) return false;
    out->cbData = len;
    out->pbData = const_cast<BYTE*>(p + header);
    return true;
}

bool Matches(CertContextObject* context, DWORD findType, const void* para)
{
    const CertificateData& data = *context->Data();
    switch (findType) {
    case CERT_FIND_ANY:
        return true;
    case CERT_FIND_SHA1_HASH: {
        const CRYPT_HASH_BLOB* hash = static_cast<const CRYPT_HASH_BLOB*>(para);
        return hash->cbData == data.sha1.size() && std::memcmp(hash->pbData, data.sha1.data(), data.sha1.size()) == 0;
    }
    case CERT_FIND_MD5_HASH: {
        const CRYPT_HASH_BLOB* hash = static_cast<const CRYPT_HASH_BLOB*>(para);
        BYTE md5[16];
        unsigned int len = 0;
        if (!npk::crypt32::DigestBytes("MD5", data.encoded.data(), data.encoded.size(), md5, &len)) return false;
        return hash->cbData == len && std::memcmp(hash->pbData, md5, len) == 0;
    }
    case CERT_FIND_PROPERTY: {
        DWORD id = *static_cast<const DWORD*>(para);
        if (id == CERT_SHA1_HASH_PROP_ID || id == CERT_MD5_HASH_PROP_ID) return true;
        return context->Properties().count(id) != 0;
    }
    case CERT_FIND_EXISTING: {
        CertContextObject* other = CertContextObject::FromHandle(static_cast<PCCERT_CONTEXT>(para));
        return other != nullptr && other->Data()->encoded == data.encoded;
    }
    case CERT_FIND_SUBJECT_CERT: {
        const CERT_INFO* info = static_cast<const CERT_INFO*>(para);
        return IssuerSerialMatches(data, info->Issuer, info->SerialNumber);
    }
    case CERT_FIND_CERT_ID: {
        const CERT_ID* id = static_cast<const CERT_ID*>(para);
        switch (id->dwIdChoice) {
        case CERT_ID_ISSUER_SERIAL_NUMBER:
            return IssuerSerialMatches(data, id->IssuerSerialNumber.Issuer, id->IssuerSerialNumber.SerialNumber);
        case CERT_ID_KEY_IDENTIFIER: {
            // The certificate's key identifier, as Windows keeps it: the extension's, or for a
            // certificate without one the SHA-1 of its public key bits.
            CRYPT_DATA_BLOB keyId;
            if (SubjectKeyId(data, &keyId)) return BlobEquals(keyId, id->KeyId);
            if (FindExtensionIn(data.Info(), "2.5.29.14") != nullptr) return false;  // malformed
            const CRYPT_BIT_BLOB& bits = data.Info()->SubjectPublicKeyInfo.PublicKey;
            BYTE computed[20];
            unsigned int len = 0;
            if (id->KeyId.cbData != sizeof computed ||
                !npk::crypt32::DigestBytes("SHA1", bits.pbData, bits.cbData, computed, &len))
                return false;
            return len == sizeof computed && std::memcmp(computed, id->KeyId.pbData, len) == 0;
        }
        case CERT_ID_SHA1_HASH:
            return id->HashId.cbData == data.sha1.size() &&
                   std::memcmp(id->HashId.pbData, data.sha1.data(), data.sha1.size()) == 0;
        default:
            return false;
        }
    }
    default:
        return false;
    }
}

bool FindTypeKnown(DWORD findType)
{
    switch (findType) {
    case CERT_FIND_ANY:
    case CERT_FIND_SHA1_HASH:
    case CERT_FIND_MD5_HASH:
    case CERT_FIND_PROPERTY:
    case CERT_FIND_EXISTING:
    case CERT_FIND_SUBJECT_CERT:
    case CERT_FIND_CERT_ID:
        return true;
    default:
        return false;
    }
}

bool CertIdValid(DWORD findType, const void* para)
{
    if (findType == CERT_FIND_ANY) return true;
    if (para == nullptr) return false;
    if (findType == CERT_FIND_CERT_ID) {
        DWORD choice = static_cast<const CERT_ID*>(para)->dwIdChoice;
        return choice >= CERT_ID_ISSUER_SERIAL_NUMBER && choice <= CERT_ID_SHA1_HASH;
    }
    return true;
}

// Walks the store from pPrev (which the walk consumes) to the next context that matches.
PCCERT_CONTEXT FindNext(CertStoreObject* store, DWORD findType, const void* para, PCCERT_CONTEXT pPrev)
{
    CertContextObject* prev = nullptr;
    if (pPrev != nullptr) {
        prev = CertContextObject::FromHandle(pPrev);
        if (prev == nullptr || prev->Store() != store) {
            Fail(static_cast<DWORD>(E_INVALIDARG));
            return nullptr;
        }
    }
    CertContextObject* found = nullptr;
    {
        bool prevMissing = false;
        std::lock_guard<std::mutex> guard(store->Lock());
        CertContextObject* cursor = store->NextLocked(prev, &prevMissing);
        while (cursor != nullptr && !Matches(cursor, findType, para)) cursor = store->NextLocked(cursor, &prevMissing);
        found = cursor;
        if (found != nullptr) found->AddRef();
    }
    // Released outside the lock: the last reference to a deleted context takes it.
    if (prev != nullptr) prev->Release();
    if (found == nullptr) {
        Fail(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
        return nullptr;
    }
    return found->Handle();
}

}  // namespace

extern "C" HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType, HCRYPTPROV hCryptProv,
                                           DWORD dwFlags, const void* pvPara)
{
    (void)dwEncodingType;
    (void)hCryptProv;
    uintptr_t id = reinterpret_cast<uintptr_t>(lpszStoreProvider);
    bool memory = false, system = false, wide = true, message = false;
    if (id <= 0xFFFF) {
        message = lpszStoreProvider == CERT_STORE_PROV_MSG;
        memory = lpszStoreProvider == CERT_STORE_PROV_MEMORY;
        system = lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W || lpszStoreProvider == CERT_STORE_PROV_SYSTEM_A;
        wide = lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W;
    } else {
        message = std::strcmp(lpszStoreProvider, sz_CERT_STORE_PROV_MSG) == 0;
        memory = std::strcmp(lpszStoreProvider, sz_CERT_STORE_PROV_MEMORY) == 0;
        system = std::strcmp(lpszStoreProvider, sz_CERT_STORE_PROV_SYSTEM) == 0;
    }
    if (message) {
        DWORD error = 0;
        HCERTSTORE store = npk::crypt32::OpenMessageStore(const_cast<void*>(pvPara), &error);
        if (store == nullptr) Fail(error);
        return store;
    }
    if (memory) {
        CertStoreObject* store = new (std::nothrow) CertStoreObject();
        if (store == nullptr) {
            Fail(static_cast<DWORD>(E_OUTOFMEMORY));
            return nullptr;
        }
        return store->Handle();
    }
    if (system) {
        DWORD location = dwFlags & CERT_SYSTEM_STORE_LOCATION_MASK;
        if ((location != 0 && location != CERT_SYSTEM_STORE_CURRENT_USER) || (dwFlags & CERT_STORE_DELETE_FLAG) != 0 ||
            pvPara == nullptr) {
            Fail(static_cast<DWORD>(E_INVALIDARG));
            return nullptr;
        }
        std::string name = NarrowStoreName(pvPara, wide);
        DWORD error = 0;
        CertStoreObject* store = npk::crypt32::OpenSystemStore(name, dwFlags, &error);
        if (store == nullptr) {
            Fail(error);
            return nullptr;
        }
        return store->Handle();
    }
    Fail(static_cast<DWORD>(E_INVALIDARG));
    return nullptr;
}

extern "C" HCERTSTORE WINAPI CertDuplicateStore(HCERTSTORE hCertStore)
{
    CertStoreObject* store = StoreOf(hCertStore);
    if (store == nullptr) return nullptr;
    store->AddOpen();
    return hCertStore;
}

extern "C" PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext)
{
    CertStoreObject* store = StoreOf(hCertStore);
    if (store == nullptr) return nullptr;
    return FindNext(store, CERT_FIND_ANY, nullptr, pPrevCertContext);
}

extern "C" BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                                        DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext)
{
    if (ppStoreContext != nullptr) *ppStoreContext = nullptr;
    CertStoreObject* store = StoreOf(hCertStore);
    if (store == nullptr) return FALSE;
    CertContextObject* source = CertContextObject::FromHandle(pCertContext);
    if (source == nullptr) {
        Fail(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    Properties properties;
    {
        std::lock_guard<std::mutex> guard(source->Store()->Lock());
        properties = CopyableProperties(source->Properties());
    }
    return AddToStore(store, source->Data(), pCertContext->dwCertEncodingType, properties, dwAddDisposition,
                      ppStoreContext);
}

extern "C" BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                        const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                                        DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext)
{
    if (ppCertContext != nullptr) *ppCertContext = nullptr;
    CertStoreObject* store = StoreOf(hCertStore);
    if (store == nullptr) return FALSE;
    if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) {
        Fail(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    DWORD error = 0;
    std::shared_ptr<CertificateData> data = npk::crypt32::DecodeCertificate(pbCertEncoded, cbCertEncoded, &error);
    if (!data) {
        Fail(error);
        return FALSE;
    }
    return AddToStore(store, data, dwCertEncodingType, Properties(), dwAddDisposition, ppCertContext);
}

extern "C" BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext)
{
    CertContextObject* context = CertContextObject::FromHandle(pCertContext);
    if (context == nullptr || context->References() <= 0) {
        Fail(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    CertStoreObject* store = context->Store();
    DWORD error = 0;
    {
        std::lock_guard<std::mutex> guard(store->Lock());
        if (store->ReadOnly()) {
            error = ERROR_ACCESS_DENIED;
        } else {
            bool missing = false;
            // Only a listed context is removed; deleting twice is harmless.
            CertContextObject* cursor = store->NextLocked(nullptr, &missing);
            while (cursor != nullptr && cursor != context) cursor = store->NextLocked(cursor, &missing);
            if (cursor != nullptr) {
                error = store->PersistRemove(*context->Data());
                if (error == 0) store->RemoveLocked(context);
            }
        }
    }
    // The context passed in is freed whatever the outcome, as callers expect.
    context->Release();
    if (error != 0) {
        Fail(error);
        return FALSE;
    }
    return TRUE;
}

extern "C" PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                            DWORD dwFindFlags, DWORD dwFindType,
                                                            const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext)
{
    (void)dwCertEncodingType;
    (void)dwFindFlags;
    CertStoreObject* store = StoreOf(hCertStore);
    if (store == nullptr) {
        if (pPrevCertContext != nullptr) CertFreeCertificateContext(pPrevCertContext);
        return nullptr;
    }
    if (!FindTypeKnown(dwFindType) || !CertIdValid(dwFindType, pvFindPara)) {
        if (pPrevCertContext != nullptr) CertFreeCertificateContext(pPrevCertContext);
        Fail(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    return FindNext(store, dwFindType, pvFindPara, pPrevCertContext);
}

extern "C" PCCERT_CONTEXT WINAPI CertGetSubjectCertificateFromStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                                    PCERT_INFO pCertId)
{
    (void)dwCertEncodingType;
    CertStoreObject* store = StoreOf(hCertStore);
    if (store == nullptr) return nullptr;
    if (pCertId == nullptr) {
        Fail(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    return FindNext(store, CERT_FIND_SUBJECT_CERT, pCertId, nullptr);
}
