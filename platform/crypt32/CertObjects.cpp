// Reference counting of the certificate layer's stores and contexts.
#include "crypt32/CertObjects.h"

#include <algorithm>

#include <openssl/evp.h>

namespace npk::crypt32 {

namespace {
std::atomic<LONG> g_liveStores{0};
std::atomic<LONG> g_liveContexts{0};
}

CertificateData::~CertificateData()
{
    EVP_PKEY_free(publicKey);
}

CertContextObject::CertContextObject(CertStoreObject* store, std::shared_ptr<CertificateData> data,
                                     DWORD encodingType)
    : m_store(store), m_data(std::move(data))
{
    m_block.context.dwCertEncodingType = encodingType;
    m_block.context.pbCertEncoded = m_data->encoded.data();
    m_block.context.cbCertEncoded = static_cast<DWORD>(m_data->encoded.size());
    m_block.context.pCertInfo = m_data->Info();
    m_block.context.hCertStore = store;
    m_block.magic = kMagic;
    m_block.owner = this;
    ++g_liveContexts;
}

CertContextObject::~CertContextObject()
{
    m_block.magic = 0;
    --g_liveContexts;
}

CertContextObject* CertContextObject::FromHandle(PCCERT_CONTEXT pContext)
{
    if (pContext == nullptr) return nullptr;
    const CertContextBlock* block = reinterpret_cast<const CertContextBlock*>(pContext);
    if (block->magic != kMagic || block->owner == nullptr || block->owner->Handle() != pContext) return nullptr;
    return block->owner;
}

void CertContextObject::AddRef()
{
    m_store->AddRef();
    ++m_refs;
}

void CertContextObject::Release()
{
    CertStoreObject* store = m_store;
    if (--m_refs == 0) {
        // A context that left its store's list is freed with its last reference.
        std::lock_guard<std::mutex> guard(store->m_lock);
        auto& removed = store->m_removed;
        auto it = std::find_if(removed.begin(), removed.end(),
                               [this](const std::unique_ptr<CertContextObject>& p) { return p.get() == this; });
        if (it != removed.end()) removed.erase(it);
    }
    store->Release();
}

CertStoreObject::CertStoreObject()
{
    ++g_liveStores;
}

CertStoreObject::~CertStoreObject()
{
    m_magic = 0;
    m_listed.clear();
    m_removed.clear();
    --g_liveStores;
}

CertStoreObject* CertStoreObject::FromHandle(HCERTSTORE hStore)
{
    if (hStore == nullptr) return nullptr;
    CertStoreObject* store = static_cast<CertStoreObject*>(hStore);
    return store->m_magic == kMagic ? store : nullptr;
}

PCCERT_CONTEXT CertStoreObject::AddContext(std::shared_ptr<CertificateData> data, DWORD encodingType)
{
    auto object = std::make_unique<CertContextObject>(this, std::move(data), encodingType);
    CertContextObject* raw = object.get();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        object->m_sequence = m_nextSequence++;
        m_listed.push_back(std::move(object));
    }
    raw->AddRef();
    return raw->Handle();
}

void CertStoreObject::RemoveContext(CertContextObject* pContext)
{
    std::lock_guard<std::mutex> guard(m_lock);
    RemoveLocked(pContext);
}

CertContextObject* CertStoreObject::InsertLocked(std::shared_ptr<CertificateData> data, DWORD encodingType,
                                                std::map<DWORD, std::vector<BYTE>> properties)
{
    auto object = std::make_unique<CertContextObject>(this, std::move(data), encodingType);
    object->Properties() = std::move(properties);
    object->m_sequence = m_nextSequence++;
    CertContextObject* raw = object.get();
    m_listed.push_back(std::move(object));
    return raw;
}

void CertStoreObject::RemoveLocked(CertContextObject* pContext)
{
    auto it = std::find_if(m_listed.begin(), m_listed.end(),
                           [pContext](const std::unique_ptr<CertContextObject>& p) { return p.get() == pContext; });
    if (it == m_listed.end()) return;
    std::unique_ptr<CertContextObject> object = std::move(*it);
    m_listed.erase(it);
    if (object->References() > 0) m_removed.push_back(std::move(object));
}

CertContextObject* CertStoreObject::FindEncodedLocked(const std::vector<BYTE>& encoded)
{
    for (auto& p : m_listed)
        if (p->Data()->encoded == encoded) return p.get();
    return nullptr;
}

CertContextObject* CertStoreObject::NextLocked(CertContextObject* pPrev, bool* prevMissing)
{
    *prevMissing = false;
    if (pPrev == nullptr) return m_listed.empty() ? nullptr : m_listed.front().get();
    for (size_t i = 0; i < m_listed.size(); ++i) {
        if (m_listed[i].get() == pPrev) return i + 1 < m_listed.size() ? m_listed[i + 1].get() : nullptr;
    }
    *prevMissing = true;
    for (auto& p : m_listed)
        if (p->m_sequence > pPrev->m_sequence) return p.get();
    return nullptr;
}

std::vector<CertContextObject*> CertStoreObject::Contexts()
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<CertContextObject*> out;
    out.reserve(m_listed.size());
    for (auto& p : m_listed) out.push_back(p.get());
    return out;
}

void CertStoreObject::AddOpen()
{
    ++m_opens;
    AddRef();
}

LONG CertStoreObject::CloseOpen()
{
    LONG outstanding = m_refs.load() - m_opens.load();
    if (--m_opens == 0) OnLastClose();
    Release();
    return outstanding;
}

void CertStoreObject::AddRef()
{
    ++m_refs;
}

void CertStoreObject::Release()
{
    if (--m_refs == 0) delete this;
}

LONG CertStoreObject::LiveStores() { return g_liveStores.load(); }
LONG CertStoreObject::LiveContexts() { return g_liveContexts.load(); }

}  // namespace npk::crypt32
