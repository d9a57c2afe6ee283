// A browser of the tests' own: the NPAPI browser table with memory, identifiers, objects
// with reference counts, geturl and setexception recorded, so the plug-in's side of each
// call can be checked.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "npfunctions.h"
#include "plugin/BrowserTable.h"
#include "plugin/ScriptableObjectBase.h"

namespace fakebrowser {

struct State {
    std::map<std::string, std::unique_ptr<std::string>> identifiers;  // the handle is the string's address
    std::set<void*> liveAllocations;
    std::vector<uint32_t> allocationSizes;
    int failAllocationsAfter = -1;  // allocations that succeed before every later one fails; -1 never fails
    std::vector<std::pair<std::string, std::string>> urls;  // (url, target) of geturl
    std::vector<std::pair<NPObject*, std::string>> exceptions;
    NPError geturlResult = NPERR_NO_ERROR;
    int deallocations = 0;
    int objectsCreated = 0;
};

inline State& S()
{
    static State state;
    return state;
}

inline void* MemAlloc(uint32_t size)
{
    State& s = S();
    if (s.failAllocationsAfter == 0) return nullptr;
    if (s.failAllocationsAfter > 0) --s.failAllocationsAfter;
    void* p = std::malloc(size == 0 ? 1 : size);
    s.liveAllocations.insert(p);
    s.allocationSizes.push_back(size);
    return p;
}

inline void MemFree(void* p)
{
    if (p == nullptr) return;
    EXPECT_EQ(S().liveAllocations.erase(p), 1u) << "memfree of memory the browser did not hand out";
    std::free(p);
}

inline NPIdentifier GetStringIdentifier(const NPUTF8* name)
{
    auto& ids = S().identifiers;
    auto it = ids.find(name);
    if (it == ids.end()) it = ids.emplace(name, std::make_unique<std::string>(name)).first;
    return it->second.get();
}

inline NPUTF8* UTF8FromIdentifier(NPIdentifier id)
{
    const std::string* text = static_cast<const std::string*>(id);
    NPUTF8* copy = static_cast<NPUTF8*>(MemAlloc(static_cast<uint32_t>(text->size() + 1)));
    if (copy != nullptr) std::memcpy(copy, text->c_str(), text->size() + 1);
    return copy;
}

inline NPObject* CreateObject(NPP npp, NPClass* aClass)
{
    EXPECT_NE(aClass, nullptr);
    if (aClass == nullptr || aClass->allocate == nullptr) return nullptr;
    NPObject* obj = aClass->allocate(npp, aClass);
    if (obj == nullptr) return nullptr;
    obj->_class = aClass;
    obj->referenceCount = 1;
    ++S().objectsCreated;
    return obj;
}

inline NPObject* RetainObject(NPObject* obj)
{
    if (obj != nullptr) ++obj->referenceCount;
    return obj;
}

inline void ReleaseObject(NPObject* obj)
{
    if (obj == nullptr) return;
    EXPECT_GT(obj->referenceCount, 0u);
    if (--obj->referenceCount == 0) {
        ++S().deallocations;
        obj->_class->deallocate(obj);
    }
}

inline NPError GetURL(NPP npp, const char* url, const char* target)
{
    S().urls.emplace_back(url ? url : "(null)", target ? target : "(null)");
    return S().geturlResult;
}

inline void SetException(NPObject* obj, const NPUTF8* message)
{
    S().exceptions.emplace_back(obj, message ? message : "(null)");
}

// A table as a current browser offers it: every entry the plug-in may call is set.
inline NPNetscapeFuncs Table()
{
    NPNetscapeFuncs t;
    std::memset(&t, 0, sizeof(t));
    t.size = sizeof(NPNetscapeFuncs);
    t.version = NP_VERSION_MINOR;
    t.geturl = GetURL;
    t.memalloc = MemAlloc;
    t.memfree = MemFree;
    t.getstringidentifier = GetStringIdentifier;
    t.utf8fromidentifier = UTF8FromIdentifier;
    t.createobject = CreateObject;
    t.retainobject = RetainObject;
    t.releaseobject = ReleaseObject;
    t.setexception = SetException;
    return t;
}

// Installs the browser as the plug-in's kept table and resets what was recorded.
inline void Install()
{
    State& s = S();
    for (void* p : s.liveAllocations) std::free(p);
    s.liveAllocations.clear();
    s.allocationSizes.clear();
    s.failAllocationsAfter = -1;
    s.urls.clear();
    s.exceptions.clear();
    s.geturlResult = NPERR_NO_ERROR;
    s.deallocations = 0;
    s.objectsCreated = 0;
    NPNetscapeFuncs table = Table();
    ASSERT_EQ(Initialize(&table), NPERR_NO_ERROR);
    g_pScriptableClass = CScriptablePluginObjectBase::ScriptableClass();
}

// Points HOME and the XDG directories at a fresh temporary directory, so that code that
// reaches the platform's per-user state (tracing, stores) touches only the test's own.
inline std::string IsolateUserDirectories()
{
    char pattern[] = "/tmp/npk-plugin-test-XXXXXX";
    const char* dir = mkdtemp(pattern);
    EXPECT_NE(dir, nullptr);
    if (dir == nullptr) return std::string();
    std::string root = dir;
    for (const char* sub : {"/data", "/config", "/run"}) std::filesystem::create_directories(root + sub);
    setenv("HOME", root.c_str(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1);
    return root;
}

// Script values.
inline NPVariant Str(const std::string& text)
{
    // The bytes must outlive the call; tests keep their strings alive.
    NPVariant v;
    STRINGN_TO_NPVARIANT(text.data(), text.size(), v);
    return v;
}
inline NPVariant Int(int32_t value)
{
    NPVariant v;
    INT32_TO_NPVARIANT(value, v);
    return v;
}
inline NPVariant Null()
{
    NPVariant v;
    NULL_TO_NPVARIANT(v);
    return v;
}

// A result variant filled with a marker, to see whether the plug-in wrote it.
inline NPVariant Untouched()
{
    NPVariant v;
    std::memset(&v, 0, sizeof(v));
    v.type = NPVariantType_Int32;
    v.value.intValue = 0x5A5A5A5A;
    return v;
}
inline bool IsUntouched(const NPVariant& v)
{
    return v.type == NPVariantType_Int32 && v.value.intValue == 0x5A5A5A5A;
}

inline std::string Text(const NPVariant& v)
{
    if (v.type != NPVariantType_String) return "(not a string)";
    return std::string(v.value.stringValue.UTF8Characters, v.value.stringValue.UTF8Length);
}

// Gives a string result's memory back to the browser.
inline void Release(NPVariant& v)
{
    if (v.type == NPVariantType_String) MemFree(const_cast<NPUTF8*>(v.value.stringValue.UTF8Characters));
    VOID_TO_NPVARIANT(v);
}

}  // namespace fakebrowser
