// Parsing of embedded .res images and the registry of modules that have resources.
#include "ResourceImage.h"

#include <dlfcn.h>
#include <sys/auxv.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

namespace npk::res {
namespace {

struct ModuleImage {
    const BYTE* image = nullptr;
    std::vector<ResourceEntry> entries;
};

// The registry lives while some module has resources registered: modules unregister from
// their own destructors, after ordinary static objects are gone, so it cannot be one of them,
// and it must not outlive the last module either (a plug-in may be unloaded).
struct Registry {
    std::map<HMODULE, std::unique_ptr<ModuleImage>> modules;
};

std::mutex g_registryLock;  // trivially destructible, usable at any time
Registry* g_registry = nullptr;

DWORD ReadDword(const BYTE* p)
{
    DWORD v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

WORD ReadWord(const BYTE* p)
{
    WORD v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

char16_t FoldAscii(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? (char16_t)(c - u'a' + u'A') : c;
}

// Reads an ordinal (0xFFFF, id) or a NUL-terminated UTF-16 name within [p, end).
bool ReadId(const BYTE*& p, const BYTE* end, ResourceId* id)
{
    if (end - p < 2) return false;
    if (ReadWord(p) == 0xFFFF) {
        if (end - p < 4) return false;
        id->isOrdinal = true;
        id->ordinal = ReadWord(p + 2);
        p += 4;
        return true;
    }
    id->isOrdinal = false;
    id->name.clear();
    for (;;) {
        if (end - p < 2) return false;
        WORD c = ReadWord(p);
        p += 2;
        if (c == 0) return true;
        id->name.push_back(FoldAscii((char16_t)c));
    }
}

// "#123" names the ordinal 123, as on Windows.
bool ParseOrdinalString(LPCWSTR s, WORD* ordinal)
{
    if (s[0] != u'#' || s[1] == 0) return false;
    DWORD v = 0;
    for (LPCWSTR p = s + 1; *p; ++p) {
        if (*p < u'0' || *p > u'9') return false;
        v = v * 10 + (DWORD)(*p - u'0');
        if (v > 0xFFFF) return false;
    }
    *ordinal = (WORD)v;
    return true;
}

}  // namespace

bool ResourceId::Matches(LPCWSTR id) const
{
    if (IS_INTRESOURCE(id)) return isOrdinal && ordinal == (WORD)(ULONG_PTR)id;
    WORD asOrdinal;
    if (ParseOrdinalString(id, &asOrdinal)) return isOrdinal && ordinal == asOrdinal;
    if (isOrdinal) return false;
    size_t i = 0;
    for (; id[i] != 0; ++i) {
        if (i >= name.size() || FoldAscii(id[i]) != name[i]) return false;
    }
    return i == name.size();
}

bool ParseResImage(const BYTE* image, size_t size, std::vector<ResourceEntry>* entries)
{
    entries->clear();
    if (image == nullptr) return false;
    const BYTE* end = image + size;
    const BYTE* p = image;
    bool first = true;
    while (p < end) {
        if (end - p < 8) break;  // trailing padding
        const DWORD dataSize = ReadDword(p);
        const DWORD headerSize = ReadDword(p + 4);
        if (headerSize < 16 || headerSize > (size_t)(end - p) || dataSize > (size_t)(end - p) - headerSize) {
            entries->clear();
            return false;
        }
        const BYTE* headerEnd = p + headerSize;
        const BYTE* q = p + 8;
        ResourceEntry e;
        if (!ReadId(q, headerEnd, &e.type) || !ReadId(q, headerEnd, &e.name)) {
            entries->clear();
            return false;
        }
        q = image + (((size_t)(q - image) + 3) & ~(size_t)3);
        // DataVersion (4), MemoryFlags (2), LanguageId (2), Version (4), Characteristics (4).
        if (headerEnd - q < 16) {
            entries->clear();
            return false;
        }
        e.language = ReadWord(q + 6);
        e.data = headerEnd;
        e.size = dataSize;
        // The first entry of every .res is the empty marker (type 0, name 0, no data).
        const bool marker = first && dataSize == 0 && e.type.isOrdinal && e.type.ordinal == 0;
        if (!marker) entries->push_back(e);
        first = false;
        size_t next = (size_t)(headerEnd - image) + dataSize;
        next = (next + 3) & ~(size_t)3;
        if (next > size) break;
        p = image + next;
    }
    return true;
}

bool AttachImage(HMODULE module, const BYTE* image, size_t size)
{
    auto m = std::make_unique<ModuleImage>();
    m->image = image;
    if (module == nullptr || !ParseResImage(image, size, &m->entries)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    std::lock_guard<std::mutex> guard(g_registryLock);
    if (g_registry == nullptr) {
        g_registry = new (std::nothrow) Registry;
        if (g_registry == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
    }
    g_registry->modules[module] = std::move(m);
    return true;
}

void DetachImage(HMODULE module)
{
    std::lock_guard<std::mutex> guard(g_registryLock);
    if (g_registry == nullptr) return;
    g_registry->modules.erase(module);
    if (g_registry->modules.empty()) {
        delete g_registry;
        g_registry = nullptr;
    }
}

HMODULE ModuleOfAddress(const void* address)
{
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fbase == nullptr) return nullptr;
    return (HMODULE)info.dli_fbase;
}

HMODULE MainModule()
{
    static HMODULE main = ModuleOfAddress((const void*)getauxval(AT_PHDR));
    return main;
}

std::vector<WORD> ThreadLanguageOrder()
{
    const LANGID thread = GetThreadUILanguage();
    const WORD primary = PRIMARYLANGID(thread);
    std::vector<WORD> order;
    auto add = [&order](WORD lang) {
        for (WORD l : order) {
            if (l == lang) return;
        }
        order.push_back(lang);
    };
    add(thread);
    add(MAKELANGID(primary, SUBLANG_NEUTRAL));
    add(MAKELANGID(primary, SUBLANG_DEFAULT));
    add(MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
    add(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    return order;
}

const ResourceEntry* Find(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language)
{
    if (module == nullptr) module = MainModule();
    if (type == nullptr || name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_registryLock);
    if (g_registry == nullptr) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    auto it = g_registry->modules.find(module);
    if (it == g_registry->modules.end() || it->second->entries.empty()) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    std::vector<const ResourceEntry*> named;
    bool typeSeen = false;
    for (const ResourceEntry& e : it->second->entries) {
        if (!e.type.Matches(type)) continue;
        typeSeen = true;
        if (e.name.Matches(name)) named.push_back(&e);
    }
    if (!typeSeen) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    if (named.empty()) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    if (language != MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)) {
        for (const ResourceEntry* e : named) {
            if (e->language == language) return e;
        }
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return nullptr;
    }
    for (WORD lang : ThreadLanguageOrder()) {
        for (const ResourceEntry* e : named) {
            if (e->language == lang) return e;
        }
    }
    return named.front();
}

}  // namespace npk::res

BOOL NpkRegisterModuleResources(const void* addressInModule, const BYTE* image, size_t size)
{
    HMODULE module = npk::res::ModuleOfAddress(addressInModule);
    if (module == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    return npk::res::AttachImage(module, image, size) ? TRUE : FALSE;
}

void NpkUnregisterModuleResources(const void* addressInModule)
{
    HMODULE module = npk::res::ModuleOfAddress(addressInModule);
    if (module != nullptr) npk::res::DetachImage(module);
}
