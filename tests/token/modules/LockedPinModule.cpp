// A PKCS#11 module for tests that stands in front of SoftHSM2 and reports the user's PIN as
// locked, which SoftHSM2 itself never does. NPK_TEST_PIN_LOCK chooses where: "flags" sets
// CKF_USER_PIN_LOCKED in the token's information, "login" lets the flags be and makes C_Login
// answer CKR_PIN_LOCKED.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#define CK_PTR *
#define CK_DECLARE_FUNCTION(returnType, name) returnType name
#define CK_DECLARE_FUNCTION_POINTER(returnType, name) returnType(*name)
#define CK_CALLBACK_FUNCTION(returnType, name) returnType(*name)
#define NULL_PTR nullptr
#include <p11-kit/pkcs11.h>

namespace {

CK_FUNCTION_LIST g_list;
CK_FUNCTION_LIST* g_inner = nullptr;

bool Stage(const char* name)
{
    const char* stage = std::getenv("NPK_TEST_PIN_LOCK");
    return stage != nullptr && std::strcmp(stage, name) == 0;
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info)
{
    CK_RV rv = g_inner->C_GetTokenInfo(slot, info);
    if (rv == CKR_OK && Stage("flags")) info->flags |= CKF_USER_PIN_LOCKED;
    return rv;
}

CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR* pin, CK_ULONG len)
{
    if (Stage("login")) return CKR_PIN_LOCKED;
    return g_inner->C_Login(session, user, pin, len);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list)
{
    if (g_inner == nullptr) {
        void* softhsm = dlopen("/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW | RTLD_LOCAL);
        if (softhsm == nullptr) return CKR_GENERAL_ERROR;
        auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(softhsm, "C_GetFunctionList"));
        if (get == nullptr || get(&g_inner) != CKR_OK) return CKR_GENERAL_ERROR;
        g_list = *g_inner;
        g_list.C_GetTokenInfo = GetTokenInfo;
        g_list.C_Login = Login;
    }
    *list = &g_list;
    return CKR_OK;
}
