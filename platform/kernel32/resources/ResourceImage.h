// The resources of loaded modules: each module's .res image parsed into entries, looked up
// by type, name and language. Internal to the platform layer.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace npk::res {

// A resource type or name: an ordinal, or an upper-cased string as the compilers store it.
struct ResourceId {
    bool isOrdinal = true;
    WORD ordinal = 0;
    std::u16string name;

    bool Matches(LPCWSTR id) const;
};

struct ResourceEntry {
    ResourceId type;
    ResourceId name;
    WORD language = 0;
    const BYTE* data = nullptr;
    DWORD size = 0;
};

// Parses a .res image (the empty first entry, then RESOURCEHEADER entries, each DWORD
// aligned). Returns false for a malformed image; entries then holds nothing.
bool ParseResImage(const BYTE* image, size_t size, std::vector<ResourceEntry>* entries);

// Attaches a parsed image to a module handle, replacing what the module had. The image must
// outlive the attachment. Returns false with the last error set when the image is malformed.
bool AttachImage(HMODULE module, const BYTE* image, size_t size);
void DetachImage(HMODULE module);

// The module handle that an address belongs to (the load base of its object), or null.
HMODULE ModuleOfAddress(const void* address);
// The process's executable, which a null module handle means.
HMODULE MainModule();

// Looks a resource up. language 0 means the thread's choice: the thread's UI language, its
// primary language with neutral or default sublanguage, neutral, English (US), then the
// first language present. Another language must be present exactly. On failure returns
// null and sets ERROR_RESOURCE_DATA_NOT_FOUND, _TYPE_, _NAME_ or _LANG_NOT_FOUND.
const ResourceEntry* Find(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language);

// The languages tried, in order, for a lookup in the thread's language.
std::vector<WORD> ThreadLanguageOrder();

}  // namespace npk::res
