#include "pkcs11/Pkcs11Module.h"

#include "pkcs11/TokenErrors.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>

#ifndef NPK_P11_KIT_PROXY
#define NPK_P11_KIT_PROXY "p11-kit-proxy.so"
#endif

namespace npk::pkcs11 {

namespace {

// The module is never finalised: at process exit its own static objects may be gone before
// ours (SoftHSM2 then crashes in C_Finalize), and what it holds stays reachable from its code,
// which stays mapped.
struct LoadedModule {
    std::once_flag Once;
    std::string Path;
    CK_FUNCTION_LIST* Functions = nullptr;
    DWORD Error = 0;
};

LoadedModule& Loaded()
{
    static LoadedModule module;
    return module;
}

void Load(LoadedModule& m)
{
    const char* chosen = std::getenv("NPKEYSTRAND_PKCS11_MODULE");
    m.Path = chosen != nullptr && chosen[0] != 0 ? chosen : NPK_P11_KIT_PROXY;
    // The module's own symbols stay private to it; RTLD_NODELETE keeps its threads' code.
    void* handle = dlopen(m.Path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
        m.Error = static_cast<DWORD>(SCARD_E_NO_SMARTCARD);
        return;
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
    CK_FUNCTION_LIST* functions = nullptr;
    if (getList == nullptr || getList(&functions) != CKR_OK || functions == nullptr) {
        m.Error = static_cast<DWORD>(SCARD_E_NO_SMARTCARD);
        return;
    }
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    CK_RV rv = functions->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        m.Error = ErrorOf(rv);
        return;
    }
    m.Functions = functions;
}

}  // namespace

CK_FUNCTION_LIST* Module(DWORD* error)
{
    LoadedModule& m = Loaded();
    std::call_once(m.Once, Load, std::ref(m));
    if (m.Functions == nullptr && error != nullptr) *error = m.Error;
    return m.Functions;
}

std::string ModulePath()
{
    return Loaded().Path;
}

DWORD ErrorOf(CK_RV rv)
{
    switch (rv) {
    case CKR_OK: return 0;
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE: return static_cast<DWORD>(SCARD_W_WRONG_CHV);
    case CKR_PIN_LOCKED: return static_cast<DWORD>(SCARD_W_CHV_BLOCKED);
    case CKR_DEVICE_REMOVED:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
    case CKR_SLOT_ID_INVALID: return static_cast<DWORD>(SCARD_W_REMOVED_CARD);
    case CKR_TOKEN_NOT_RECOGNIZED: return static_cast<DWORD>(SCARD_E_NO_SMARTCARD);
    case CKR_HOST_MEMORY:
    case CKR_DEVICE_MEMORY: return static_cast<DWORD>(NTE_NO_MEMORY);
    case CKR_KEY_TYPE_INCONSISTENT:
    case CKR_KEY_FUNCTION_NOT_PERMITTED:
    case CKR_MECHANISM_INVALID: return static_cast<DWORD>(NTE_BAD_KEY);
    case CKR_ENCRYPTED_DATA_INVALID:
    case CKR_ENCRYPTED_DATA_LEN_RANGE:
    case CKR_DATA_LEN_RANGE: return static_cast<DWORD>(NTE_BAD_DATA);
    case CKR_USER_NOT_LOGGED_IN:
    case CKR_USER_PIN_NOT_INITIALIZED: return static_cast<DWORD>(SCARD_E_NO_ACCESS);
    case CKR_FUNCTION_CANCELED: return static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER);
    default: return static_cast<DWORD>(NTE_FAIL);
    }
}

std::string TrimmedField(const CK_UTF8CHAR* field, size_t size)
{
    std::string text(reinterpret_cast<const char*>(field), size);
    size_t end = text.find_last_not_of(" \0", std::string::npos, 2);
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

}  // namespace npk::pkcs11
