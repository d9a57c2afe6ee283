// Provider enumeration, parameters and context acquisition with their error codes.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include "platform/CertTestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

class CryptProviders : public certtest::IsolatedHome {};

std::basic_string<WCHAR> EnumName(DWORD index, DWORD* type)
{
    DWORD size = 0;
    if (!CryptEnumProvidersW(index, nullptr, 0, type, nullptr, &size))
        return {};
    std::vector<WCHAR> name(size / sizeof(WCHAR));
    if (!CryptEnumProvidersW(index, nullptr, 0, type, name.data(), &size))
        return {};
    return name.data();
}

std::string ProvName(HCRYPTPROV prov)
{
    DWORD size = 0;
    if (!CryptGetProvParam(prov, PP_NAME, nullptr, &size, 0))
        return "<fail>";
    std::string name(size, '\0');
    if (!CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name.data()), &size, 0))
        return "<fail>";
    EXPECT_EQ(name.back(), '\0');
    name.pop_back();
    return name;
}

TEST_F(CryptProviders, EnumeratesFourRsaProvidersInOrderThenNoMoreItems)
{
    DWORD type = 0;
    EXPECT_EQ(EnumName(0, &type), MS_DEF_PROV_W);
    EXPECT_EQ(type, 1u);
    EXPECT_EQ(EnumName(1, &type), MS_ENHANCED_PROV_W);
    EXPECT_EQ(type, 1u);
    EXPECT_EQ(EnumName(2, &type), MS_ENH_RSA_AES_PROV_W);
    EXPECT_EQ(type, 24u);
    EXPECT_EQ(EnumName(3, &type), MS_STRONG_PROV_W);
    EXPECT_EQ(type, 1u);

    DWORD size = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptEnumProvidersW(4, nullptr, 0, &type, nullptr, &size));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);
}

TEST_F(CryptProviders, EnumerationSizeQueryAndShortBuffer)
{
    DWORD type = 0, size = 0;
    ASSERT_TRUE(CryptEnumProvidersW(2, nullptr, 0, &type, nullptr, &size));
    EXPECT_EQ(size, (DWORD)((lstrlenW(MS_ENH_RSA_AES_PROV_W) + 1) * sizeof(WCHAR)));
    WCHAR small[4] = {};
    DWORD shortSize = sizeof small;
    EXPECT_FALSE(CryptEnumProvidersW(2, nullptr, 0, &type, small, &shortSize));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(shortSize, size);

    DWORD reserved = 0;
    EXPECT_FALSE(CryptEnumProvidersW(0, &reserved, 0, &type, nullptr, &size));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(CryptEnumProvidersW(0, nullptr, 1, &type, nullptr, &size));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_FLAGS);
}

TEST_F(CryptProviders, NullNameGivesTheDefaultProviderOfTheType)
{
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(ProvName(prov), MS_ENH_RSA_AES_PROV_A);
    EXPECT_TRUE(CryptReleaseContext(prov, 0));

    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(ProvName(prov), MS_STRONG_PROV_A);
    EXPECT_TRUE(CryptReleaseContext(prov, 0));

    EXPECT_FALSE(CryptAcquireContextW(&prov, nullptr, nullptr, 99, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_PROV_TYPE_NOT_DEF);
    EXPECT_EQ(prov, 0u);
}

TEST_F(CryptProviders, ProviderParameters)
{
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT | CRYPT_SILENT));
    std::string name = ProvName(prov);
    EXPECT_EQ(name, MS_ENHANCED_PROV_A);

    DWORD value = 0, size = sizeof value;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_IMPTYPE, reinterpret_cast<BYTE*>(&value), &size, 0));
    EXPECT_EQ(value, (DWORD)CRYPT_IMPL_SOFTWARE);
    size = sizeof value;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_PROVTYPE, reinterpret_cast<BYTE*>(&value), &size, 0));
    EXPECT_EQ(value, (DWORD)PROV_RSA_FULL);

    // The name's size counts the terminator; a short buffer reports the size.
    size = 0;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_NAME, nullptr, &size, 0));
    EXPECT_EQ(size, name.size() + 1);
    char tiny[8];
    DWORD tinySize = sizeof tiny;
    EXPECT_FALSE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(tiny), &tinySize, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(tinySize, size);

    size = 0;
    EXPECT_FALSE(CryptGetProvParam(prov, PP_CONTAINER, nullptr, &size, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_KEYSET);
    EXPECT_FALSE(CryptGetProvParam(prov, 9999, nullptr, &size, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_TYPE);
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
}

TEST_F(CryptProviders, NamesAreMatchedWithoutCaseAndCheckedAgainstTheType)
{
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr,
                                     TEXT("microsoft enhanced rsa and aes cryptographic provider"),
                                     PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(ProvName(prov), MS_ENH_RSA_AES_PROV_A);
    CryptReleaseContext(prov, 0);

    EXPECT_FALSE(CryptAcquireContextW(&prov, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_FULL,
                                      CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_PROV_TYPE_NO_MATCH);
    EXPECT_FALSE(CryptAcquireContextW(&prov, nullptr, TEXT("No Such Provider"), PROV_RSA_FULL,
                                      CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_KEYSET_NOT_DEF);
    EXPECT_EQ(prov, 0u);
}

TEST_F(CryptProviders, BadFlagCombinations)
{
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL, 0x1));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_FLAGS);
    EXPECT_FALSE(CryptAcquireContextW(&prov, TEXT("c"), nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_FLAGS);
    EXPECT_FALSE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL,
                                      CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_FLAGS);
    EXPECT_FALSE(CryptAcquireContextW(nullptr, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(CryptProviders, ReferenceCountingAndStaleHandles)
{
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptContextAddRef(prov, nullptr, 0));
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
    // Still alive after the first release.
    DWORD size = 0;
    EXPECT_TRUE(CryptGetProvParam(prov, PP_NAME, nullptr, &size, 0));
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
    EXPECT_FALSE(CryptGetProvParam(prov, PP_NAME, nullptr, &size, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_UID);
    EXPECT_FALSE(CryptReleaseContext(prov, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_UID);
    EXPECT_FALSE(CryptContextAddRef(prov, nullptr, 0));
    EXPECT_FALSE(CryptReleaseContext(0, 0));

    // Objects made from a context keep working after the context is released.
    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash));
    ASSERT_TRUE(CryptReleaseContext(prov, 0));
    BYTE data[] = {1, 2, 3};
    EXPECT_TRUE(CryptHashData(hash, data, sizeof data, 0));
    EXPECT_TRUE(CryptDestroyHash(hash));
}

} // namespace
