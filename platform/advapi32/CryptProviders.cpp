// The software RSA providers: enumeration, default providers, contexts and their parameters.
#include "advapi32/CryptObjects.h"
#include "advapi32/CryptKeyContainers.h"
#include "pkcs11/TokenProvider.h"

#include <algorithm>
#include <cstring>

namespace {

const DWORD kAcquireFlags =
    CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT;

const ProviderInfo* FindByName(LPCWSTR name)
{
    for (const ProviderInfo& p : NpkProviders())
        if (lstrcmpiW(p.WideName, name) == 0)
            return &p;
    if (lstrcmpiW(NpkTokenProviderInfo().WideName, name) == 0)
        return &NpkTokenProviderInfo();
    return nullptr;
}

const ProviderInfo* DefaultOfType(DWORD type)
{
    LPCWSTR name = nullptr;
    if (type == PROV_RSA_FULL)
        name = MS_STRONG_PROV_W;
    else if (type == PROV_RSA_AES)
        name = MS_ENH_RSA_AES_PROV_W;
    return name != nullptr ? FindByName(name) : nullptr;
}

BOOL CopyWideName(LPCWSTR name, LPWSTR buffer, DWORD* size)
{
    DWORD bytes = static_cast<DWORD>((lstrlenW(name) + 1) * sizeof(WCHAR));
    return NpkCopyOut(name, bytes, reinterpret_cast<BYTE*>(buffer), size);
}

BOOL CopyText(const std::string& text, BYTE* buffer, DWORD* size)
{
    return NpkCopyOut(text.c_str(), static_cast<DWORD>(text.size() + 1), buffer, size);
}

BOOL CopyDword(DWORD value, BYTE* buffer, DWORD* size)
{
    return NpkCopyOut(&value, sizeof value, buffer, size);
}

} // namespace

const std::vector<ProviderInfo>& NpkProviders()
{
    // In the order Windows enumerates them (its registry keys, alphabetical).
    static const std::vector<ProviderInfo> providers = {
        {MS_DEF_PROV_W, MS_DEF_PROV_A, PROV_RSA_FULL},
        {MS_ENHANCED_PROV_W, MS_ENHANCED_PROV_A, PROV_RSA_FULL},
        {MS_ENH_RSA_AES_PROV_W, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES},
        {MS_STRONG_PROV_W, MS_STRONG_PROV_A, PROV_RSA_FULL},
    };
    return providers;
}

extern "C" {

BOOL WINAPI CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType,
                                LPWSTR szProvName, DWORD* pcbProvName)
{
    if (pdwReserved != nullptr || pcbProvName == nullptr)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (dwFlags != 0)
        return NpkFail(NTE_BAD_FLAGS);
    const auto& providers = NpkProviders();
    if (dwIndex >= providers.size())
        return NpkFail(static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    const ProviderInfo& p = providers[dwIndex];
    if (pdwProvType != nullptr)
        *pdwProvType = p.Type;
    return CopyWideName(p.WideName, szProvName, pcbProvName);
}

BOOL WINAPI CryptGetDefaultProviderW(DWORD dwProvType, DWORD* pdwReserved, DWORD dwFlags,
                                     LPWSTR pszProvName, DWORD* pcbProvName)
{
    if (pdwReserved != nullptr || pcbProvName == nullptr)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const DWORD CRYPT_MACHINE_DEFAULT = 1, CRYPT_USER_DEFAULT = 2;
    if ((dwFlags & ~(CRYPT_MACHINE_DEFAULT | CRYPT_USER_DEFAULT)) != 0)
        return NpkFail(NTE_BAD_FLAGS);
    const ProviderInfo* p = DefaultOfType(dwProvType);
    if (p == nullptr)
        return NpkFail(NTE_PROV_TYPE_NOT_DEF);
    return CopyWideName(p->WideName, pszProvName, pcbProvName);
}

BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                 DWORD dwProvType, DWORD dwFlags)
{
    if (phProv == nullptr)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    *phProv = 0;
    if ((dwFlags & ~kAcquireFlags) != 0)
        return NpkFail(NTE_BAD_FLAGS);
    const bool verify = (dwFlags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT;
    const bool create = (dwFlags & CRYPT_NEWKEYSET) != 0;
    const bool remove = (dwFlags & CRYPT_DELETEKEYSET) != 0;
    const bool machine = (dwFlags & CRYPT_MACHINE_KEYSET) != 0;
    if ((dwFlags & CRYPT_VERIFYCONTEXT) != 0 && !verify)
        return NpkFail(NTE_BAD_FLAGS);  // a stray bit of the verification value
    if ((verify && (create || remove)) || (create && remove))
        return NpkFail(NTE_BAD_FLAGS);

    const ProviderInfo* info = nullptr;
    if (szProvider != nullptr && szProvider[0] != 0) {
        info = FindByName(szProvider);
        if (info == nullptr)
            return NpkFail(NTE_KEYSET_NOT_DEF);
        if (info->Type != dwProvType)
            return NpkFail(NTE_PROV_TYPE_NO_MATCH);
    } else {
        info = DefaultOfType(dwProvType);
        if (info == nullptr)
            return NpkFail(NTE_PROV_TYPE_NOT_DEF);
    }

    if (verify && szContainer != nullptr && szContainer[0] != 0)
        return NpkFail(NTE_BAD_FLAGS);

    auto provider = std::make_shared<CryptProvider>();
    provider->Info = info;
    provider->Machine = machine;
    provider->VerifyContext = verify;
    if (verify) {
        provider->Container = std::make_shared<KeyContainer>();
    } else if (NpkIsTokenProvider(info)) {
        // Token keys are opened where they are; making or deleting them is the card's own tools' job.
        DWORD error = (create || remove) ? static_cast<DWORD>(NTE_PERM) : 0;
        if (error == 0)
            provider->Container = NpkOpenTokenContainer(NpkToUtf8(szContainer), &error);
        if (provider->Container == nullptr)
            return NpkFail(error);
    } else {
        std::string name = szContainer != nullptr && szContainer[0] != 0 ? NpkToUtf8(szContainer)
                                                                         : NpkDefaultContainerName();
        DWORD error = 0;
        if (remove) {
            error = NpkDeleteKeyContainer(name, machine);
            return error == 0 ? TRUE : NpkFail(error);
        }
        provider->Container = create ? NpkCreateKeyContainer(name, machine, &error)
                                     : NpkOpenKeyContainer(name, machine, &error);
        if (provider->Container == nullptr)
            return NpkFail(error);
    }
    *phProv = NpkRegisterCryptObject(provider);
    return TRUE;
}

BOOL WINAPI CryptContextAddRef(HCRYPTPROV hProv, DWORD* pdwReserved, DWORD dwFlags)
{
    if (pdwReserved != nullptr)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (dwFlags != 0)
        return NpkFail(NTE_BAD_FLAGS);
    if (!NpkAddRefProvider(hProv))
        return NpkFail(NTE_BAD_UID);
    return TRUE;
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags)
{
    if (!NpkReleaseProvider(hProv))
        return NpkFail(NTE_BAD_UID);
    // Reserved flags are refused, but the reference is released all the same so that a
    // caller's mistake does not leak the context.
    if (dwFlags != 0)
        return NpkFail(NTE_BAD_FLAGS);
    return TRUE;
}

BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                              DWORD dwFlags)
{
    auto provider = NpkLookup<CryptProvider>(hProv, CryptObjectKind::Provider);
    if (provider == nullptr)
        return NpkFail(NTE_BAD_UID);
    if (pdwDataLen == nullptr)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (dwParam != PP_ENUMCONTAINERS && dwFlags != 0)
        return NpkFail(NTE_BAD_FLAGS);
    switch (dwParam) {
    case PP_NAME:
        return CopyText(provider->Info->Name, pbData, pdwDataLen);
    case PP_IMPTYPE:
        return CopyDword(NpkIsTokenProvider(provider->Info) ? CRYPT_IMPL_HARDWARE : CRYPT_IMPL_SOFTWARE, pbData,
                         pdwDataLen);
    case PP_PROVTYPE:
        return CopyDword(provider->Info->Type, pbData, pdwDataLen);
    case PP_VERSION:
        return CopyDword(0x0200, pbData, pdwDataLen);
    case PP_KEYSPEC:
        return CopyDword(AT_KEYEXCHANGE | AT_SIGNATURE, pbData, pdwDataLen);
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER:
        // A verification context has no container to name.
        if (provider->VerifyContext)
            return NpkFail(NTE_BAD_KEYSET);
        return CopyText(provider->Container->Name, pbData, pdwDataLen);
    case PP_ENUMCONTAINERS: {
        if ((dwFlags & ~(DWORD)(CRYPT_FIRST | CRYPT_NEXT | CRYPT_MACHINE_KEYSET)) != 0)
            return NpkFail(NTE_BAD_FLAGS);
        std::lock_guard<std::mutex> guard(provider->EnumLock);
        if ((dwFlags & CRYPT_FIRST) != 0 || !provider->EnumStarted) {
            bool machine = (dwFlags & CRYPT_MACHINE_KEYSET) != 0 || provider->Machine;
            provider->EnumNames = NpkEnumKeyContainers(machine);
            provider->EnumNext = 0;
            provider->EnumStarted = true;
        }
        // A size query answers the longest name, so that one buffer fits every step.
        if (pbData == nullptr) {
            DWORD longest = 1;
            for (const std::string& n : provider->EnumNames)
                longest = std::max(longest, static_cast<DWORD>(n.size() + 1));
            *pdwDataLen = longest;
            return TRUE;
        }
        if (provider->EnumNext >= provider->EnumNames.size())
            return NpkFail(static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        if (!CopyText(provider->EnumNames[provider->EnumNext], pbData, pdwDataLen))
            return FALSE;
        provider->EnumNext++;
        return TRUE;
    }
    default:
        return NpkFail(NTE_BAD_TYPE);
    }
}

} // extern "C"
