// The certificate layer's objects behind HCERTSTORE and PCCERT_CONTEXT.
//
// A store is reference counted: every open handle and every outstanding reference to one of
// its contexts counts once, so a context handed out by a store stays valid (and its store
// stays enumerable) after the last CertCloseStore, as on Windows. The store owns its
// context objects; a context's own count covers the caller references only.
#pragma once

#include <wincrypt.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace npk::crypt32 {

class CertStoreObject;
class CertContextObject;

// The decoded form of one certificate, shared by every context made from the same bytes
// (a certificate added to several stores is one CertificateData and several contexts).
struct CertificateData {
    std::vector<BYTE> encoded;
    // The CERT_INFO and the bytes its pointers point to, one block; null until decoded.
    std::unique_ptr<BYTE[]> infoBlock;
    PCERT_INFO Info() const { return reinterpret_cast<PCERT_INFO>(infoBlock.get()); }
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

    // A caller reference: also holds the store.
    void AddRef();
    void Release();

    // Properties of this context (CERT_*_PROP_ID -> bytes), kept per store entry as on Windows.
    std::map<DWORD, std::vector<BYTE>>& Properties() { return m_properties; }

private:
    CertContextBlock m_block;
    CertStoreObject* m_store;
    std::shared_ptr<CertificateData> m_data;
    std::atomic<LONG> m_refs{0};
    std::map<DWORD, std::vector<BYTE>> m_properties;
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

    friend class CertContextObject;
};

}  // namespace npk::crypt32
