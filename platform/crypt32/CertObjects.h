// The certificate layer's objects behind HCERTSTORE and PCCERT_CONTEXT.
//
// A store is reference counted: every open handle and every outstanding reference to one of
// its contexts counts once, so a context handed out by a store stays valid (and its store
// stays enumerable) after the last CertCloseStore, as on Windows. The store owns its
// context objects; a context's own count covers the caller references only.
#pragma once

#include <wincrypt.h>

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace npk::crypt32 {

class CertStoreObject;
class CertContextObject;

// The decoded form of one certificate, shared by every context made from the same bytes
// (a certificate added to several stores is one CertificateData and several contexts).
struct CertificateData {
    std::vector<BYTE> encoded;
    // SHA-1 of the encoded bytes: the thumbprint, and the name of the file in a system store.
    std::array<BYTE, 20> sha1{};
    // The CERT_INFO and the bytes its pointers point to, one block; null until decoded.
    std::unique_ptr<BYTE[]> infoBlock;
    PCERT_INFO Info() const { return reinterpret_cast<PCERT_INFO>(infoBlock.get()); }

    // The public key as OpenSSL decoded it with the certificate (null when it could not),
    // kept because every signature and envelope checks a key against it and OpenSSL's key
    // decoders cost more than the RSA operation itself. Owned; freed with the data.
    EVP_PKEY* publicKey = nullptr;

    CertificateData() = default;
    ~CertificateData();
    CertificateData(const CertificateData&) = delete;
    CertificateData& operator=(const CertificateData&) = delete;
};

// What a PCCERT_CONTEXT points at: the SDK structure first, so the handle converts back.
struct CertContextBlock {
    CERT_CONTEXT context;
    DWORD magic;
    CertContextObject* owner;
};

class CertContextObject {
public:
    static constexpr DWORD kMagic = 0x43455254;  // "CERT"

    CertContextObject(CertStoreObject* store, std::shared_ptr<CertificateData> data, DWORD encodingType);
    ~CertContextObject();
    CertContextObject(const CertContextObject&) = delete;
    CertContextObject& operator=(const CertContextObject&) = delete;

    // The context object behind a handle, or null when the handle is not one of ours.
    static CertContextObject* FromHandle(PCCERT_CONTEXT pContext);

    PCCERT_CONTEXT Handle() const { return &m_block.context; }
    CertStoreObject* Store() const { return m_store; }
    const std::shared_ptr<CertificateData>& Data() const { return m_data; }
    LONG References() const { return m_refs.load(); }
    // Position in the store's insertion order; lets an enumeration go on past a context
    // that was deleted while the caller held it.
    unsigned long long Sequence() const { return m_sequence; }

    // A caller reference: also holds the store.
    void AddRef();
    void Release();

    // Properties of this context (CERT_*_PROP_ID -> bytes), kept per store entry as on Windows.
    // Held under the store's lock; values are pointer-free (see CertProperties.cpp).
    std::map<DWORD, std::vector<BYTE>>& Properties() { return m_properties; }

private:
    CertContextBlock m_block;
    CertStoreObject* m_store;
    std::shared_ptr<CertificateData> m_data;
    std::atomic<LONG> m_refs{0};
    unsigned long long m_sequence = 0;
    std::map<DWORD, std::vector<BYTE>> m_properties;

    friend class CertStoreObject;
};

class CertStoreObject {
public:
    static constexpr DWORD kMagic = 0x53544F52;  // "STOR"

    // A new store with one open handle.
    CertStoreObject();
    virtual ~CertStoreObject();
    CertStoreObject(const CertStoreObject&) = delete;
    CertStoreObject& operator=(const CertStoreObject&) = delete;

    static CertStoreObject* FromHandle(HCERTSTORE hStore);
    HCERTSTORE Handle() { return this; }

    // Appends a context for the given certificate and returns it with one caller reference.
    PCCERT_CONTEXT AddContext(std::shared_ptr<CertificateData> data, DWORD encodingType);
    // The same with the store's lock already held and the properties given; no reference taken.
    CertContextObject* InsertLocked(std::shared_ptr<CertificateData> data, DWORD encodingType,
                                    std::map<DWORD, std::vector<BYTE>> properties);
    // Removes a listed context with the store's lock held; it lives on while callers hold it.
    void RemoveLocked(CertContextObject* pContext);
    // The listed context holding the same encoded certificate, or null (lock held).
    CertContextObject* FindEncodedLocked(const std::vector<BYTE>& encoded);
    // The listed context after pPrev (the first for null; for a context no longer listed, the
    // first one added after it), or null at the end (lock held).
    CertContextObject* NextLocked(CertContextObject* pPrev, bool* prevMissing);

    // What a persistent store does around changes, each called with the lock held and before
    // the change is visible; a non-zero Win32/HRESULT code refuses the change.
    virtual bool ReadOnly() const { return false; }
    // Whether two contexts of the same certificate may be listed (memory stores: yes).
    virtual bool AllowsDuplicates() const { return true; }
    virtual DWORD PersistAdd(const CertificateData&, const std::map<DWORD, std::vector<BYTE>>&) { return 0; }
    virtual DWORD PersistRemove(const CertificateData&) { return 0; }
    virtual DWORD PersistProperties(const CertificateData&, const std::map<DWORD, std::vector<BYTE>>&) { return 0; }
    // Removes a context from the enumeration; it lives on while callers hold it.
    void RemoveContext(CertContextObject* pContext);
    // The contexts currently listed, in insertion order (no references taken).
    std::vector<CertContextObject*> Contexts();

    // Open handles (CertOpenStore, CertDuplicateStore) and context references.
    void AddOpen();
    // Drops one open handle; returns the number of caller references to contexts that
    // remain outstanding (for CERT_CLOSE_STORE_CHECK_FLAG).
    LONG CloseOpen();
    LONG OpenCount() const { return m_opens.load(); }
    void AddRef();
    void Release();

    // Objects alive in the process; lets tests prove that nothing leaks.
    static LONG LiveStores();
    static LONG LiveContexts();

    std::mutex& Lock() { return m_lock; }

protected:
    // Called once when the last open handle closes; a persistent store may flush here.
    virtual void OnLastClose() {}

private:
    DWORD m_magic = kMagic;
    std::atomic<LONG> m_refs{1};
    std::atomic<LONG> m_opens{1};
    std::mutex m_lock;
    std::vector<std::unique_ptr<CertContextObject>> m_listed;
    std::vector<std::unique_ptr<CertContextObject>> m_removed;
    unsigned long long m_nextSequence = 1;

    friend class CertContextObject;
};

// Decodes one DER certificate into a self-contained CERT_INFO block. Null with *error set to
// a CRYPT_E_ASN1_* code (or E_OUTOFMEMORY) when the bytes are not a certificate.
std::shared_ptr<CertificateData> DecodeCertificate(const BYTE* pb, DWORD cb, DWORD* error);

// SHA-1 / MD5 of a byte range through the layer's library context.
bool DigestBytes(const char* algorithm, const BYTE* pb, size_t cb, BYTE* out, unsigned int* outLen);

}  // namespace npk::crypt32
