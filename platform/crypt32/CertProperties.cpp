// CertSetCertificateContextProperty, CertGetCertificateContextProperty and
// CertEnumCertificateContextProperties.
//
// A context's properties are kept as pointer-free bytes so that a store can write them to
// a file as they are. The key provider information is kept as
//   u32 type, u32 flags, u32 key spec, u32 parameter count,
//   container (u32 length in characters or 0xFFFFFFFF for none, then UTF-16 units),
//   provider (the same), then per parameter u32 param, u32 flags, u32 size, bytes;
// every number little-endian.
#include <windows.h>
#include <wincrypt.h>

#include "crypt32/CertObjects.h"

#include <cstring>

using npk::crypt32::CertContextObject;

namespace {

constexpr DWORD kNoText = 0xFFFFFFFFu;

void PutU32(std::vector<BYTE>& out, DWORD v)
{
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}

bool GetU32(const std::vector<BYTE>& in, size_t* pos, DWORD* v)
{
    if (*pos > in.size() || in.size() - *pos < 4) return false;
    *v = 0;
    for (int i = 0; i < 4; ++i) *v |= static_cast<DWORD>(in[*pos + static_cast<size_t>(i)]) << (8 * i);
    *pos += 4;
    return true;
}

void PutText(std::vector<BYTE>& out, LPCWSTR text)
{
    if (text == nullptr) {
        PutU32(out, kNoText);
        return;
    }
    DWORD n = static_cast<DWORD>(lstrlenW(text));
    PutU32(out, n);
    for (DWORD i = 0; i < n; ++i) {
        out.push_back(static_cast<BYTE>(text[i] & 0xFF));
        out.push_back(static_cast<BYTE>(static_cast<unsigned>(text[i]) >> 8));
    }
}

std::vector<BYTE> SerializeProvInfo(const CRYPT_KEY_PROV_INFO* info)
{
    std::vector<BYTE> out;
    PutU32(out, info->dwProvType);
    PutU32(out, info->dwFlags);
    PutU32(out, info->dwKeySpec);
    DWORD params = info->rgProvParam != nullptr ? info->cProvParam : 0;
    PutU32(out, params);
    PutText(out, info->pwszContainerName);
    PutText(out, info->pwszProvName);
    for (DWORD i = 0; i < params; ++i) {
        const CRYPT_KEY_PROV_PARAM& p = info->rgProvParam[i];
        PutU32(out, p.dwParam);
        PutU32(out, p.dwFlags);
        DWORD cb = p.pbData != nullptr ? p.cbData : 0;
        PutU32(out, cb);
        out.insert(out.end(), p.pbData, p.pbData + cb);
    }
    return out;
}

struct ParsedProvInfo {
    DWORD type = 0, flags = 0, keySpec = 0;
    bool hasContainer = false, hasProvider = false;
    std::basic_string<WCHAR> container, provider;
    struct Param {
        DWORD param, flags;
        std::vector<BYTE> data;
    };
    std::vector<Param> params;
};

bool GetText(const std::vector<BYTE>& in, size_t* pos, bool* present, std::basic_string<WCHAR>* text)
{
    DWORD n = 0;
    if (!GetU32(in, pos, &n)) return false;
    *present = n != kNoText;
    if (!*present) return true;
    if ((in.size() - *pos) / 2 < n) return false;
    text->clear();
    for (DWORD i = 0; i < n; ++i) {
        text->push_back(static_cast<WCHAR>(in[*pos] | (in[*pos + 1] << 8)));
        *pos += 2;
    }
    return true;
}

bool ParseProvInfo(const std::vector<BYTE>& in, ParsedProvInfo* out)
{
    size_t pos = 0;
    DWORD count = 0;
    if (!GetU32(in, &pos, &out->type) || !GetU32(in, &pos, &out->flags) || !GetU32(in, &pos, &out->keySpec) ||
        !GetU32(in, &pos, &count) || !GetText(in, &pos, &out->hasContainer, &out->container) ||
        !GetText(in, &pos, &out->hasProvider, &out->provider))
        return false;
    for (DWORD i = 0; i < count; ++i) {
        ParsedProvInfo::Param p{};
        DWORD cb = 0;
        if (!GetU32(in, &pos, &p.param) || !GetU32(in, &pos, &p.flags) || !GetU32(in, &pos, &cb) ||
            in.size() - pos < cb)
            return false;
        p.data.assign(in.begin() + static_cast<long>(pos), in.begin() + static_cast<long>(pos + cb));
        pos += cb;
        out->params.push_back(std::move(p));
    }
    return pos == in.size();
}

size_t Align(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

// The CRYPT_KEY_PROV_INFO and everything it points to, laid out at dst (null: size only).
size_t BuildProvInfo(const ParsedProvInfo& p, BYTE* dst)
{
    size_t size = Align(sizeof(CRYPT_KEY_PROV_INFO));
    size_t paramsAt = size;
    size += Align(sizeof(CRYPT_KEY_PROV_PARAM) * p.params.size());
    size_t containerAt = size;
    if (p.hasContainer) size += Align((p.container.size() + 1) * sizeof(WCHAR));
    size_t providerAt = size;
    if (p.hasProvider) size += Align((p.provider.size() + 1) * sizeof(WCHAR));
    std::vector<size_t> dataAt;
    for (const auto& param : p.params) {
        dataAt.push_back(size);
        size += Align(param.data.size());
    }
    if (dst == nullptr) return size;

    std::memset(dst, 0, size);
    CRYPT_KEY_PROV_INFO info{};
    info.dwProvType = p.type;
    info.dwFlags = p.flags;
    info.dwKeySpec = p.keySpec;
    info.cProvParam = static_cast<DWORD>(p.params.size());
    info.rgProvParam = p.params.empty() ? nullptr : reinterpret_cast<PCRYPT_KEY_PROV_PARAM>(dst + paramsAt);
    if (p.hasContainer) {
        info.pwszContainerName = reinterpret_cast<LPWSTR>(dst + containerAt);
        std::memcpy(info.pwszContainerName, p.container.c_str(), (p.container.size() + 1) * sizeof(WCHAR));
    }
    if (p.hasProvider) {
        info.pwszProvName = reinterpret_cast<LPWSTR>(dst + providerAt);
        std::memcpy(info.pwszProvName, p.provider.c_str(), (p.provider.size() + 1) * sizeof(WCHAR));
    }
    for (size_t i = 0; i < p.params.size(); ++i) {
        CRYPT_KEY_PROV_PARAM param{};
        param.dwParam = p.params[i].param;
        param.dwFlags = p.params[i].flags;
        param.cbData = static_cast<DWORD>(p.params[i].data.size());
        if (param.cbData > 0) {
            param.pbData = dst + dataAt[i];
            std::memcpy(param.pbData, p.params[i].data.data(), param.cbData);
        }
        std::memcpy(dst + paramsAt + i * sizeof(CRYPT_KEY_PROV_PARAM), &param, sizeof(param));
    }
    std::memcpy(dst, &info, sizeof(info));
    return size;
}

bool Computed(DWORD id) { return id == CERT_SHA1_HASH_PROP_ID || id == CERT_MD5_HASH_PROP_ID; }

}  // namespace

extern "C" BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                                         const void* pvData)
{
    CertContextObject* context = CertContextObject::FromHandle(pCertContext);
    // The hashes are computed from the bytes; cached key handles are not kept.
    if (context == nullptr || dwPropId == 0 || Computed(dwPropId) || dwPropId == CERT_KEY_CONTEXT_PROP_ID ||
        dwPropId == CERT_KEY_PROV_HANDLE_PROP_ID) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    std::vector<BYTE> value;
    if (pvData != nullptr) {
        if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
            value = SerializeProvInfo(static_cast<const CRYPT_KEY_PROV_INFO*>(pvData));
        } else {
            const CRYPT_DATA_BLOB* blob = static_cast<const CRYPT_DATA_BLOB*>(pvData);
            if (blob->cbData > 0 && blob->pbData == nullptr) {
                SetLastError(static_cast<DWORD>(E_INVALIDARG));
                return FALSE;
            }
            value.assign(blob->pbData, blob->pbData + blob->cbData);
        }
    }
    npk::crypt32::CertStoreObject* store = context->Store();
    std::lock_guard<std::mutex> guard(store->Lock());
    bool persist = (dwFlags & CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG) == 0;
    if (persist && store->ReadOnly()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::map<DWORD, std::vector<BYTE>> updated = context->Properties();
    if (pvData == nullptr)
        updated.erase(dwPropId);
    else
        updated[dwPropId] = std::move(value);
    if (persist) {
        DWORD error = store->PersistProperties(*context->Data(), updated);
        if (error != 0 && (dwFlags & CERT_SET_PROPERTY_IGNORE_PERSIST_ERROR_FLAG) == 0) {
            SetLastError(error);
            return FALSE;
        }
    }
    context->Properties() = std::move(updated);
    return TRUE;
}

extern "C" BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                                         DWORD* pcbData)
{
    CertContextObject* context = CertContextObject::FromHandle(pCertContext);
    if (context == nullptr || pcbData == nullptr) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    const npk::crypt32::CertificateData& data = *context->Data();
    std::vector<BYTE> raw;
    ParsedProvInfo provInfo;
    bool isProvInfo = false;
    if (dwPropId == CERT_SHA1_HASH_PROP_ID) {
        raw.assign(data.sha1.begin(), data.sha1.end());
    } else if (dwPropId == CERT_MD5_HASH_PROP_ID) {
        raw.resize(16);
        unsigned int len = 0;
        if (!npk::crypt32::DigestBytes("MD5", data.encoded.data(), data.encoded.size(), raw.data(), &len)) {
            SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
            return FALSE;
        }
    } else {
        std::lock_guard<std::mutex> guard(context->Store()->Lock());
        auto it = context->Properties().find(dwPropId);
        if (it == context->Properties().end()) {
            SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
            return FALSE;
        }
        if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
            if (!ParseProvInfo(it->second, &provInfo)) {
                SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
                return FALSE;
            }
            isProvInfo = true;
        } else {
            raw = it->second;
        }
    }
    size_t size = isProvInfo ? BuildProvInfo(provInfo, nullptr) : raw.size();
    if (pvData == nullptr) {
        *pcbData = static_cast<DWORD>(size);
        return TRUE;
    }
    if (*pcbData < size) {
        *pcbData = static_cast<DWORD>(size);
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    if (isProvInfo)
        BuildProvInfo(provInfo, static_cast<BYTE*>(pvData));
    else if (!raw.empty())
        std::memcpy(pvData, raw.data(), raw.size());
    *pcbData = static_cast<DWORD>(size);
    return TRUE;
}

extern "C" DWORD WINAPI CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId)
{
    CertContextObject* context = CertContextObject::FromHandle(pCertContext);
    if (context == nullptr) return 0;
    std::lock_guard<std::mutex> guard(context->Store()->Lock());
    auto it = context->Properties().upper_bound(dwPropId);
    return it == context->Properties().end() ? 0 : it->first;
}
