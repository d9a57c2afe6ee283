// GetLastErrorDesc in three languages, and the last-error to HRESULT rule.
#include <gtest/gtest.h>

#include <string>

#include "agent/CryptoAgent.h"
#include "agent/ErrorCodes.h"
#include "plugin/Module.h"

namespace {

const int kAnchor = 0;  // an address inside this executable

typedef std::basic_string<WCHAR> WString;

class TestAgent : public CCryptoAgent {
public:
    void SetLastResult(HRESULT hr) { m_hrLastError = hr; }
};

WString Describe(CCryptoAgent& agent)
{
    BSTR text = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(agent.GetLastErrorDesc(&text), S_OK);
    EXPECT_NE(text, nullptr);
    WString s(text ? text : TEXT(""));
    SysFreeString(text);
    return s;
}

WString Describe(HRESULT hr)
{
    TestAgent agent;
    agent.SetLastResult(hr);
    return Describe(agent);
}

class ErrorDescription : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (g_hModuleInstance == NULL) {
            HMODULE self = NULL;
            ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                           reinterpret_cast<LPCWSTR>(&kAnchor), &self));
            g_hModuleInstance = self;
        }
        m_language = GetThreadUILanguage();
        SetThreadUILanguage(1033);
    }
    void TearDown() override { SetThreadUILanguage(m_language); }

    LANGID m_language = 0;
};

}  // namespace

TEST_F(ErrorDescription, FreshAgentDescribesSuccess)
{
    TestAgent agent;
    EXPECT_EQ(Describe(agent), WString(TEXT("The operation completed successfully.\r\n\n(0x00000000)")));
    EXPECT_EQ(agent.LastError(), S_OK);
}

TEST_F(ErrorDescription, OwnCodesComeFromTheStringTableInEachLanguage)
{
    EXPECT_EQ(Describe(NPK_E_NO_AVAILABLE_CERT), WString(TEXT("There is no available certificate in store.\n(0xa0071001)")));
    EXPECT_EQ(Describe(NPK_E_CERT_NOT_READY), WString(TEXT("Certificate is not ready.\n(0xa0072001)")));
    EXPECT_EQ(Describe(NPK_E_INVALID_ENVELOPE_TYPE), WString(TEXT("Invalid envelope type.\n(0xa0072023)")));

    SetThreadUILanguage(2052);
    EXPECT_EQ(Describe(NPK_E_NO_AVAILABLE_CERT), WString(TEXT("证书库中没有可用的证书\n(0xa0071001)")));
    EXPECT_EQ(Describe(NPK_E_USER_CANCELED), WString(TEXT("用户取消选择证书\n(0xa0071002)")));

    SetThreadUILanguage(1042);
    EXPECT_EQ(Describe(NPK_E_NO_AVAILABLE_CERT), WString(TEXT("인증서 인증서는 라이브러리에서 사용할 수 없습니다\n(0xa0071001)")));
    EXPECT_EQ(Describe(NPK_E_INVALID_SIGN_TYPE), WString(TEXT("잘못된 서명 유형\n(0xa0072022)")));
}

TEST_F(ErrorDescription, IdentifiersWithoutTextGiveTheCodeLineAlone)
{
    EXPECT_EQ(Describe(NPK_E_EMPTY_FILE), WString(TEXT("\n(0xa0071007)")));
    EXPECT_EQ(Describe(NPK_E_NO_SIGNER), WString(TEXT("\n(0xa0071008)")));
    // Bit 29 with an identifier nobody defined.
    EXPECT_EQ(Describe(static_cast<HRESULT>(0xA0079999L)), WString(TEXT("\n(0xa0079999)")));
}

TEST_F(ErrorDescription, PlatformCodesUseTheSystemText)
{
    EXPECT_EQ(Describe(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)),
              WString(TEXT("The system cannot find the file specified.\r\n\n(0x80070002)")));
    EXPECT_EQ(Describe(E_INVALIDARG), WString(TEXT("The parameter is incorrect.\r\n\n(0x80070057)")));
    // Not the string table: bit 29 is clear, so even a low word of 0x1001 goes to the system.
    WString unknown = Describe(static_cast<HRESULT>(0x80041001L));
    EXPECT_EQ(unknown.substr(unknown.size() - 13), WString(TEXT("\n(0x80041001)")));
}

TEST_F(ErrorDescription, DescribingDoesNotChangeTheLastError)
{
    TestAgent agent;
    agent.SetLastResult(NPK_E_CERT_NOT_READY);
    WString first = Describe(agent);
    WString second = Describe(agent);
    EXPECT_EQ(first, second);
    EXPECT_EQ(agent.LastError(), NPK_E_CERT_NOT_READY);
}

TEST_F(ErrorDescription, FailedOperationThenDescription)
{
    TestAgent agent;
    BSTR result = nullptr;
    EXPECT_TRUE(FAILED(agent.DecryptMessage(const_cast<BSTR>(TEXT("x")), &result)));
    SysFreeString(result);
    WString text = Describe(agent);
    EXPECT_EQ(text.substr(text.size() - 13), WString(TEXT("\n(0xa0072001)")));
    EXPECT_GT(text.size(), 13u);
}

TEST(LastErrorRule, Win32ErrorsBecomeFacilityWin32)
{
    EXPECT_EQ(HResultFromWin32Error(0), S_OK);
    EXPECT_EQ(HResultFromWin32Error(2), static_cast<HRESULT>(0x80070002L));
    EXPECT_EQ(HResultFromWin32Error(0x00012345), static_cast<HRESULT>(0x80072345L));
    // Application-defined errors keep bit 29 and become the system's own codes.
    EXPECT_EQ(HResultFromWin32Error(0x20001002), static_cast<HRESULT>(0xA0071002L));
    EXPECT_EQ(HResultFromWin32Error(0x20001001), NPK_E_NO_AVAILABLE_CERT);
    // Values that are already HRESULTs (negative) pass unchanged.
    EXPECT_EQ(HResultFromWin32Error(0x80090016), static_cast<HRESULT>(0x80090016L));
    EXPECT_EQ(HResultFromWin32Error(0xA0071002), static_cast<HRESULT>(0xA0071002L));
}

TEST(LastErrorRule, ReadsTheThreadsLastError)
{
    SetLastError(0x20001002);
    EXPECT_EQ(HResultFromLastError(), NPK_E_USER_CANCELED);
    SetLastError(5);
    EXPECT_EQ(HResultFromLastError(), static_cast<HRESULT>(0x80070005L));
    SetLastError(0);
    EXPECT_EQ(HResultFromLastError(), S_OK);
    // A call that failed without leaving an error is still a failure.
    EXPECT_EQ(HResultFromFailedCall(), E_FAIL);
}
