// Modules: loading, reference counts, procedure lookup and module names.
//
// A module handle is the load base of the shared object or executable (the start of its
// first mapped segment), as on Windows where it is the image base. The Windows system
// libraries have no file here: their names load built-in modules of the platform layer,
// whose procedures are registered by the parts of the layer that implement them.
#include <windows.h>

#include "npk/builtin_modules.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

struct BuiltinModule {
    std::string name;
    std::map<std::string, FARPROC> procs;
    long refs = 0;  // kept for balance only: a built-in module is never unloaded
};

struct LoadedModule {
    void* dl = nullptr;  // dlopen handle; one dlclose is owed per reference
    long refs = 0;
};

struct ModuleTable {
    std::recursive_mutex mu;
    std::map<std::string, std::unique_ptr<BuiltinModule>> builtins;  // by normalised name
    std::map<uintptr_t, LoadedModule> loaded;                          // by base
};

// Built on first use and kept until the library that holds it is unloaded (or the process
// ends): static objects' destructors may still look modules up, and those run before the
// library's destructor functions.
ModuleTable*& TablePointer()
{
    static ModuleTable* table = new ModuleTable;
    return table;
}

ModuleTable& Table()
{
    return *TablePointer();
}

__attribute__((destructor)) void FreeModuleTable()
{
    delete TablePointer();
    TablePointer() = nullptr;
}

const char* const kSystemLibraries[] = {
    "kernel32", "kernelbase", "ntdll",   "advapi32", "crypt32", "cryptui",  "oleaut32", "ole32",
    "shlwapi",  "shell32",    "user32",  "gdi32",    "gdiplus", "comctl32", "msimg32",  "version",
    "secur32",  "wintrust",   "ncrypt",  "bcrypt",   "rpcrt4",  "uxtheme",  "comdlg32",
};

std::string ToUtf8(LPCWSTR s)
{
    std::string out;
    int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return out;
    out.resize((size_t)n);
    WideCharToMultiByte(CP_UTF8, 0, s, -1, out.data(), n, nullptr, nullptr);
    out.resize((size_t)n - 1);
    return out;
}

// The name's last path component in lower case, without a ".dll" ending.
std::string NormaliseName(const std::string& name)
{
    size_t slash = name.find_last_of("\\/");
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    for (char& c : base) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    }
    if (base.size() > 4 && base.compare(base.size() - 4, 4, ".dll") == 0) base.resize(base.size() - 4);
    return base;
}

// Finds (or, for a system library name, creates) the built-in module; caller holds the lock.
BuiltinModule* FindBuiltinLocked(const std::string& normalised, bool create)
{
    ModuleTable& t = Table();
    auto it = t.builtins.find(normalised);
    if (it != t.builtins.end()) return it->second.get();
    bool known = create;
    for (const char* lib : kSystemLibraries) {
        if (normalised == lib) known = true;
    }
    if (!known) return nullptr;
    auto module = std::make_unique<BuiltinModule>();
    module->name = normalised;
    BuiltinModule* raw = module.get();
    t.builtins.emplace(normalised, std::move(module));
    return raw;
}

BuiltinModule* BuiltinFromHandleLocked(HMODULE h)
{
    for (auto& entry : Table().builtins) {
        if (reinterpret_cast<HMODULE>(entry.second.get()) == h) return entry.second.get();
    }
    return nullptr;
}

// A loaded object of the process: its base, file name and whether it is the executable.
struct ObjectInfo {
    uintptr_t base = 0;
    std::string path;
    bool isMain = false;
};

struct ObjectSearch {
    uintptr_t wantBase;
    const std::string* wantName;  // full path or file name
    ObjectInfo found;
    bool ok;
    int index;
};

uintptr_t ObjectBase(const dl_phdr_info* info)
{
    uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    uintptr_t lowest = (uintptr_t)-1;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && ph.p_vaddr < lowest) lowest = ph.p_vaddr;
    }
    if (lowest == (uintptr_t)-1) return 0;
    return info->dlpi_addr + (lowest & ~(page - 1));
}

std::string ExecutablePath()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    return std::string(buf, (size_t)n);
}

int SearchCallback(dl_phdr_info* info, size_t, void* data)
{
    ObjectSearch* s = static_cast<ObjectSearch*>(data);
    bool isMain = s->index++ == 0;
    uintptr_t base = ObjectBase(info);
    std::string path = isMain ? ExecutablePath() : std::string(info->dlpi_name ? info->dlpi_name : "");
    bool match;
    if (s->wantName != nullptr) {
        size_t slash = path.find_last_of('/');
        std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
        match = !path.empty() && (path == *s->wantName || file == *s->wantName);
    } else {
        match = base != 0 && base == s->wantBase;
    }
    if (!match) return 0;
    s->found.base = base;
    s->found.path = path;
    s->found.isMain = isMain;
    s->ok = true;
    return 1;
}

bool FindObjectByBase(uintptr_t base, ObjectInfo* out)
{
    ObjectSearch s{base, nullptr, {}, false, 0};
    dl_iterate_phdr(SearchCallback, &s);
    if (s.ok) *out = s.found;
    return s.ok;
}

bool FindObjectByName(const std::string& name, ObjectInfo* out)
{
    ObjectSearch s{0, &name, {}, false, 0};
    dl_iterate_phdr(SearchCallback, &s);
    if (s.ok) *out = s.found;
    return s.ok;
}

uintptr_t MainBase()
{
    struct First {
        static int Take(dl_phdr_info* info, size_t, void* data)
        {
            *static_cast<uintptr_t*>(data) = ObjectBase(info);
            return 1;
        }
    };
    uintptr_t base = 0;
    dl_iterate_phdr(First::Take, &base);
    return base;
}

// A dlopen handle that holds one more reference to an object that is already loaded.
void* ReferenceObject(const ObjectInfo& info, int extraFlags)
{
    return dlopen(info.isMain ? nullptr : info.path.c_str(), RTLD_NOW | RTLD_NOLOAD | extraFlags);
}

uintptr_t BaseOfHandle(void* dl)
{
    link_map* lm = nullptr;
    if (dlinfo(dl, RTLD_DI_LINKMAP, &lm) != 0 || lm == nullptr) return 0;
    Dl_info di{};
    const void* inside = lm->l_ld != nullptr ? (const void*)lm->l_ld : reinterpret_cast<const void*>(lm->l_addr);
    if (dladdr(inside, &di) == 0) return 0;
    return (uintptr_t)di.dli_fbase;
}

// Adds one reference held through the table; caller holds the lock.
bool AddReferenceLocked(const ObjectInfo& info)
{
    void* dl = ReferenceObject(info, 0);
    if (dl == nullptr) return false;
    LoadedModule& m = Table().loaded[info.base];
    if (m.dl == nullptr) m.dl = dl;
    ++m.refs;
    return true;
}

HMODULE Fail(DWORD error)
{
    SetLastError(error);
    return nullptr;
}

// Looks a module up by name without taking a reference; caller holds the lock.
HMODULE FindModuleLocked(LPCWSTR lpModuleName)
{
    if (lpModuleName == nullptr) return reinterpret_cast<HMODULE>(MainBase());
    std::string name = ToUtf8(lpModuleName);
    if (BuiltinModule* b = FindBuiltinLocked(NormaliseName(name), false)) return reinterpret_cast<HMODULE>(b);
    ObjectInfo info;
    if (!name.empty() && FindObjectByName(name, &info)) return reinterpret_cast<HMODULE>(info.base);
    return nullptr;
}

}  // namespace

void NpkRegisterBuiltinProc(LPCSTR moduleName, LPCSTR procName, FARPROC proc)
{
    if (moduleName == nullptr || procName == nullptr || proc == nullptr) return;
    std::lock_guard<std::recursive_mutex> lock(Table().mu);
    BuiltinModule* m = FindBuiltinLocked(NormaliseName(moduleName), true);
    m->procs[procName] = proc;
}

HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags)
{
    // The search-order flags choose directories, which dlopen does by its own rules; loading
    // as a data file or image resource is not available.
    const DWORD searchFlags = LOAD_WITH_ALTERED_SEARCH_PATH | LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                              LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32;
    if (lpLibFileName == nullptr || hFile != nullptr || (dwFlags & ~searchFlags) != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::string name = ToUtf8(lpLibFileName);
    if (name.empty()) return Fail(ERROR_INVALID_PARAMETER);
    {
        std::lock_guard<std::recursive_mutex> lock(Table().mu);
        if (BuiltinModule* b = FindBuiltinLocked(NormaliseName(name), false)) {
            ++b->refs;
            return reinterpret_cast<HMODULE>(b);
        }
    }
    // Not under the lock: the library's constructors may call back into this layer.
    void* dl = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (dl == nullptr) return Fail(ERROR_MOD_NOT_FOUND);
    uintptr_t base = BaseOfHandle(dl);
    if (base == 0) {
        dlclose(dl);
        return Fail(ERROR_MOD_NOT_FOUND);
    }
    std::lock_guard<std::recursive_mutex> lock(Table().mu);
    LoadedModule& m = Table().loaded[base];
    if (m.dl == nullptr) m.dl = dl;
    ++m.refs;
    return reinterpret_cast<HMODULE>(base);
}

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName)
{
    return LoadLibraryExW(lpLibFileName, nullptr, 0);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    if (hLibModule == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    void* toClose = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(Table().mu);
        if (BuiltinModule* b = BuiltinFromHandleLocked(hLibModule)) {
            if (b->refs > 0) --b->refs;
            return TRUE;
        }
        auto it = Table().loaded.find(reinterpret_cast<uintptr_t>(hLibModule));
        if (it != Table().loaded.end()) {
            toClose = it->second.dl;
            if (--it->second.refs == 0) Table().loaded.erase(it);
        } else {
            // A module this layer holds no reference to (the executable, or one loaded by
            // other means) stays loaded.
            ObjectInfo info;
            if (!FindObjectByBase(reinterpret_cast<uintptr_t>(hLibModule), &info)) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return FALSE;
            }
            return TRUE;
        }
    }
    // Outside the lock: the library's destructors may call back into this layer.
    dlclose(toClose);
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    // Ordinals (values below 0x10000) name nothing here.
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    uintptr_t base = hModule == nullptr ? MainBase() : reinterpret_cast<uintptr_t>(hModule);
    void* dl = nullptr;
    bool temporary = false;
    {
        std::lock_guard<std::recursive_mutex> lock(Table().mu);
        if (BuiltinModule* b = BuiltinFromHandleLocked(hModule)) {
            auto it = b->procs.find(lpProcName);
            if (it == b->procs.end()) {
                SetLastError(ERROR_PROC_NOT_FOUND);
                return nullptr;
            }
            return it->second;
        }
        auto it = Table().loaded.find(base);
        if (it != Table().loaded.end()) dl = it->second.dl;
    }
    if (dl == nullptr) {
        ObjectInfo info;
        if (!FindObjectByBase(base, &info) || (dl = ReferenceObject(info, 0)) == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        temporary = true;
    }
    void* sym = dlsym(dl, lpProcName);
    // dlsym also searches the object's dependencies; GetProcAddress finds only the module's own.
    Dl_info di{};
    bool own = sym != nullptr && dladdr(sym, &di) != 0 && (uintptr_t)di.dli_fbase == base;
    if (temporary) dlclose(dl);
    if (!own) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(sym);
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName)
{
    std::lock_guard<std::recursive_mutex> lock(Table().mu);
    HMODULE h = FindModuleLocked(lpModuleName);
    if (h == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
    return h;
}

BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule)
{
    const DWORD known = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
    if (phModule != nullptr) *phModule = nullptr;
    if (phModule == nullptr || (dwFlags & ~known) != 0 ||
        ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) && (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::recursive_mutex> lock(Table().mu);
    HMODULE h;
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        Dl_info di{};
        if (lpModuleName == nullptr || dladdr(reinterpret_cast<const void*>(lpModuleName), &di) == 0 ||
            di.dli_fbase == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        h = reinterpret_cast<HMODULE>(di.dli_fbase);
    } else {
        h = FindModuleLocked(lpModuleName);
        if (h == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
    }
    if (BuiltinModule* b = BuiltinFromHandleLocked(h)) {
        if (!(dwFlags & (GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT | GET_MODULE_HANDLE_EX_FLAG_PIN))) ++b->refs;
    } else if (!(dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) {
        ObjectInfo info;
        if (!FindObjectByBase(reinterpret_cast<uintptr_t>(h), &info)) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) {
            // Pinned: the object stays loaded for the life of the process.
            if (void* dl = ReferenceObject(info, RTLD_NODELETE)) dlclose(dl);
        } else if (!AddReferenceLocked(info)) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
    }
    *phModule = h;
    return TRUE;
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    std::string path;
    {
        std::lock_guard<std::recursive_mutex> lock(Table().mu);
        if (hModule == nullptr) {
            path = ExecutablePath();
        } else {
            ObjectInfo info;
            uintptr_t base = reinterpret_cast<uintptr_t>(hModule);
            // A built-in module's code lives in the object that contains this layer.
            if (BuiltinFromHandleLocked(hModule) != nullptr) {
                Dl_info di{};
                if (dladdr(reinterpret_cast<const void*>(&GetModuleFileNameW), &di) != 0) {
                    base = (uintptr_t)di.dli_fbase;
                }
            }
            if (!FindObjectByBase(base, &info)) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return 0;
            }
            path = info.path;
        }
    }
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    int needed = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
    if (needed <= 0) return 0;
    if (nSize == 0 || lpFilename == nullptr) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::basic_string<WCHAR> wide((size_t)needed, 0);
    MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(), needed);
    DWORD len = (DWORD)needed - 1;
    if (len < nSize) {
        for (DWORD i = 0; i <= len; ++i) lpFilename[i] = wide[i];
        return len;
    }
    // Truncated to the buffer and terminated, with the buffer's size as the result.
    for (DWORD i = 0; i + 1 < nSize; ++i) lpFilename[i] = wide[i];
    lpFilename[nSize - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule)
{
    // No thread notifications are sent to libraries here, so there is nothing to turn off.
    return TRUE;
}
