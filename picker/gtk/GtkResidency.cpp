// GTK, GLib and the libraries under them cannot be unloaded: their type registrations, caches
// and threads live until the process ends, and unloading them leaves dangling state behind.
// So when the plug-in is loaded, every library it brought in stays resident; the plug-in
// itself may still be unloaded by the browser, and its own clean-up runs as before.
#include <dlfcn.h>
#include <link.h>

#include <cstring>

namespace {

int PinLibrary(struct dl_phdr_info* pInfo, size_t, void* pSelf)
{
    const char* pszName = pInfo->dlpi_name;
    if (pszName == nullptr || pszName[0] == 0) return 0;  // the program itself
    if (std::strcmp(pszName, static_cast<const char*>(pSelf)) == 0) return 0;
    // RTLD_NOLOAD: only libraries already loaded; the reference is kept on purpose.
    dlopen(pszName, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    return 0;
}

__attribute__((constructor)) void KeepGtkResident()
{
    Dl_info self;
    if (dladdr(reinterpret_cast<void*>(&KeepGtkResident), &self) == 0 || self.dli_fname == nullptr) return;
    dl_iterate_phdr(PinLibrary, const_cast<char*>(self.dli_fname));
}

}  // namespace
