// The adapters: argument checks, conversions in both directions, flag and text results,
// the exception of the certificate-file method, and what the trace shows of arguments.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "PluginFakeBrowser.h"
#include "TraceTestSession.h"
#include "integration/ScriptMethods.h"
#include "kernel/Encoding.h"
#include "plugin/Marshalling.h"
#include "plugin/ScriptablePluginObject.h"

namespace fb = fakebrowser;
using tracetest::BytesW;
using tracetest::Event;

namespace {

typedef std::basic_string<WCHAR> WString;

class Adapters : public tracetest::TraceTest {
protected:
    void SetUp() override
    {
        TraceTest::SetUp();
        fb::Install();
        m_obj = fb::CreateObject(&m_npp, g_pScriptableClass);
        ASSERT_NE(m_obj, nullptr);
    }
    void TearDown() override
    {
        if (m_obj != nullptr) fb::ReleaseObject(m_obj);
        EXPECT_TRUE(fb::S().liveAllocations.empty()) << "the plug-in leaked browser memory";
        TraceTest::TearDown();
    }

    bool Invoke(const std::string& name, const std::vector<NPVariant>& args, NPVariant* result)
    {
        return m_obj->_class->invoke(m_obj, fb::GetStringIdentifier(name.c_str()), args.data(),
                                     static_cast<uint32_t>(args.size()), result);
    }
    HRESULT LastError() { return Agent().LastError(); }
    CCryptoAgent& Agent() { return static_cast<CScriptablePluginObject*>(m_obj)->m_objCryptoAgent; }

    // The events of one module.
    static std::vector<Event> Of(const std::vector<Event>& events, const GUID& guid)
    {
        std::vector<Event> out;
        for (const Event& e : events)
            if (IsEqualGUID(e.guid, guid)) out.push_back(e);
        return out;
    }
    static std::vector<std::vector<BYTE>> DataOf(const std::vector<Event>& events, const GUID& guid, USHORT number)
    {
        std::vector<std::vector<BYTE>> out;
        for (const Event& e : events)
            if (IsEqualGUID(e.guid, guid) && e.number == number) out.push_back(e.data);
        return out;
    }
    // Step texts of the shared step events (12 failed, 13 succeeded).
    static std::vector<WString> Steps(const std::vector<Event>& events)
    {
        std::vector<WString> out;
        for (const Event& e : events) {
            if (!IsEqualGUID(e.guid, TRACE_GUID_SHARED) || (e.number != 12 && e.number != 13)) continue;
            const WCHAR* text = reinterpret_cast<const WCHAR*>(e.data.data());
            out.emplace_back(text);
        }
        return out;
    }
    static bool Contains(const std::vector<WString>& steps, LPCWSTR text)
    {
        return std::find(steps.begin(), steps.end(), WString(text)) != steps.end();
    }

    NPP_t m_npp{};
    NPObject* m_obj = nullptr;
};

std::vector<NPVariant> Strings(std::vector<std::string>& keep, int count)
{
    keep.clear();
    for (int i = 0; i < count; ++i) keep.push_back("a" + std::to_string(i));
    std::vector<NPVariant> out;
    for (const std::string& s : keep) out.push_back(fb::Str(s));
    return out;
}

TEST_F(Adapters, WrongArgumentListsAreRefusedWithoutWritingOrCallingTheAgent)
{
    std::vector<std::string> keep;
    for (const auto& m : npk::test::ScriptMethods()) {
        std::vector<std::vector<NPVariant>> refused;
        refused.push_back(Strings(keep, m.count + 1));
        if (m.count > 0) refused.push_back(Strings(keep, m.count - 1));
        // A non-string in each position that the method reads.
        const int read = std::string(m.name) == "DecryptEnvelopeMessagePKCS7" ? 1 : m.count;
        for (int i = 0; i < read; ++i) {
            std::vector<NPVariant> args = Strings(keep, m.count);
            args[i] = (i % 2) ? fb::Null() : fb::Int(7);
            refused.push_back(args);
        }
        for (const std::vector<NPVariant>& args : refused) {
            NPVariant result = fb::Untouched();
            EXPECT_FALSE(Invoke(m.name, args, &result)) << m.name << " with " << args.size();
            EXPECT_TRUE(fb::IsUntouched(result)) << m.name << " with " << args.size();
            EXPECT_EQ(LastError(), S_OK) << m.name << ": the agent must not run";
        }
    }
    EXPECT_TRUE(fb::S().exceptions.empty()) << "a refused argument list raises no exception";
}

TEST_F(Adapters, NoArgumentMethodsRefuseEvenAnEmptyString)
{
    std::string empty;
    for (const char* name : {"SelectDecryptCertificates", "GetLastErrorDesc"}) {
        NPVariant result = fb::Untouched();
        EXPECT_FALSE(Invoke(name, {fb::Str(empty)}, &result));
        EXPECT_TRUE(fb::IsUntouched(result));
    }
}

TEST_F(Adapters, FlagMethodsAnswerFalseWhenTheAgentFails)
{
    std::vector<std::string> keep;
    for (const auto& m : npk::test::ScriptMethods()) {
        if (!m.flagResult) continue;
        NPVariant result = fb::Untouched();
        // Nothing is set up, so every verification and file operation fails.
        EXPECT_FALSE(Invoke(m.name, Strings(keep, m.count), &result)) << m.name;
        ASSERT_EQ(result.type, NPVariantType_Bool) << m.name;
        EXPECT_FALSE(result.value.boolValue) << m.name;
        EXPECT_LT(LastError(), 0) << m.name << ": the agent ran and recorded its failure";
    }
}

TEST_F(Adapters, TextMethodsThatFailLeaveANullResult)
{
    std::vector<std::string> keep;
    for (const char* name : {"SignMessage", "SignMessagePKCS1", "EncryptMessageasEnvelope", "DecryptEnvelopeMessage",
                             "VerifyMessageSignaturePKCS7", "SignFileDetached"}) {
        NPVariant result = fb::Untouched();
        const auto& methods = npk::test::ScriptMethods();
        auto it = std::find_if(methods.begin(), methods.end(), [&](const auto& m) { return std::string(m.name) == name; });
        ASSERT_NE(it, methods.end());
        EXPECT_FALSE(Invoke(name, Strings(keep, it->count), &result)) << name;
        EXPECT_EQ(result.type, NPVariantType_Null) << name;
        EXPECT_EQ(result.value.objectValue, nullptr) << name;
        EXPECT_LT(LastError(), 0) << name;
    }
    EXPECT_TRUE(fb::S().exceptions.empty()) << "only the certificate-file method raises";
}

TEST_F(Adapters, CertificateFileFailureRaisesTheFixedException)
{
    std::string path = m_root + "/missing.cer";
    NPVariant result = fb::Untouched();
    EXPECT_FALSE(Invoke("SelectEncryptCertificateByCERFile", {fb::Str(path)}, &result));
    EXPECT_EQ(result.type, NPVariantType_Null);
    ASSERT_EQ(fb::S().exceptions.size(), 1u);
    EXPECT_EQ(fb::S().exceptions[0].first, m_obj);
    EXPECT_EQ(fb::S().exceptions[0].second, "Selecte ERROR");
}

TEST_F(Adapters, DecryptPKCS7IgnoresItsSecondArgument)
{
    std::string envelope = "not an envelope", second = "anything";
    for (NPVariant extra : {fb::Int(5), fb::Null(), fb::Str(second)}) {
        // A fresh object each time: its agent starts with last error 0.
        NPObject* obj = fb::CreateObject(&m_npp, g_pScriptableClass);
        ASSERT_NE(obj, nullptr);
        const NPVariant args[2] = {fb::Str(envelope), extra};
        NPVariant result = fb::Untouched();
        EXPECT_FALSE(obj->_class->invoke(obj, fb::GetStringIdentifier("DecryptEnvelopeMessagePKCS7"), args, 2, &result));
        EXPECT_EQ(result.type, NPVariantType_Null);
        EXPECT_LT(static_cast<CScriptablePluginObject*>(obj)->m_objCryptoAgent.LastError(), 0) << "the agent was called";
        fb::ReleaseObject(obj);
    }
}

TEST_F(Adapters, LastErrorDescriptionDescribesTheAgentsCode)
{
    std::string message = "m", algorithm = "SHA-1";
    NPVariant result = fb::Untouched();
    EXPECT_FALSE(Invoke("SignMessage", {fb::Str(message), fb::Str(algorithm)}, &result));
    const HRESULT code = LastError();
    ASSERT_LT(code, 0);

    NPVariant desc = fb::Untouched();
    ASSERT_TRUE(Invoke("GetLastErrorDesc", {}, &desc));
    ASSERT_EQ(desc.type, NPVariantType_String);
    char hex[16];
    snprintf(hex, sizeof(hex), "(0x%08x)", static_cast<unsigned>(code));
    const std::string text = fb::Text(desc);
    EXPECT_NE(text.find(hex), std::string::npos) << text;
    EXPECT_EQ(strlen(desc.value.stringValue.UTF8Characters), desc.value.stringValue.UTF8Length);
    EXPECT_EQ(fb::S().allocationSizes.back(), desc.value.stringValue.UTF8Length + 1);
    fb::Release(desc);
    EXPECT_EQ(LastError(), code) << "describing the error keeps it";
}

TEST_F(Adapters, NonAsciiResultReturnsUnchanged)
{
    const LANGID previous = GetThreadUILanguage();
    SetThreadUILanguage(2052);
    std::string message = "m", algorithm = "SHA-1";
    NPVariant result = fb::Untouched();
    Invoke("SignMessage", {fb::Str(message), fb::Str(algorithm)}, &result);

    BSTR direct = NULL;
    ASSERT_GE(Agent().GetLastErrorDesc(&direct), 0);
    char* expected = NULL;
    ASSERT_GE(UTF16ToUTF8(direct, &expected, NULL), 0);
    SysFreeString(direct);

    NPVariant desc = fb::Untouched();
    ASSERT_TRUE(Invoke("GetLastErrorDesc", {}, &desc));
    SetThreadUILanguage(previous);
    EXPECT_EQ(fb::Text(desc), std::string(expected));
    // The system's own codes have Chinese texts; platform texts may exist in English only.
    if ((static_cast<DWORD>(LastError()) & 0x20000000) != 0) {
        const std::string text = fb::Text(desc);
        EXPECT_TRUE(std::any_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; }))
            << "the Chinese description is not ASCII: " << text;
    }
    delete[] expected;
    fb::Release(desc);
}

TEST_F(Adapters, BrowserOutOfMemoryGivesAFailedCall)
{
    fb::S().failAllocationsAfter = 0;
    NPVariant result = fb::Untouched();
    EXPECT_FALSE(Invoke("GetLastErrorDesc", {}, &result));
    EXPECT_EQ(result.type, NPVariantType_Null);
}

TEST_F(Adapters, FiltersReachTheAgentAsTheScriptWroteThem)
{
    StartTracingWith(TRACE_INFORMATION | TRACE_FAILURE | TRACE_FUNCTION);
    const std::string empty;
    const std::string cut("ab\0cd", 5);
    const std::string chinese = "\xE4\xB8\xAD\xE6\x96\x87";  // two Chinese characters
    NPVariant result = fb::Untouched();
    Invoke("SelectSignCertificate", {fb::Str(empty), fb::Str(cut)}, &result);
    fb::Release(result);
    Invoke("SelectEncryptCertificate", {fb::Str(chinese), fb::Str(empty)}, &result);
    fb::Release(result);
    const std::vector<Event> events = StopAndRead();

    const auto filters = DataOf(events, TRACE_GUID_SCRIPTABLE, 28);
    ASSERT_EQ(filters.size(), 4u);
    EXPECT_EQ(filters[0], BytesW(TEXT("<NULL>"), 7)) << "an empty string arrives as an empty wide string";
    EXPECT_EQ(filters[1], BytesW(TEXT("ab"), 3)) << "cut at U+0000";
    const WCHAR wide[] = {0x4E2D, 0x6587, 0};
    EXPECT_EQ(filters[2], BytesW(wide, 3));
    EXPECT_EQ(DataOf(events, TRACE_GUID_SCRIPTABLE, 27).size(), 2u);

    // The copy keeps all five bytes; the wide form stops at the NUL.
    const auto counts = DataOf(events, TRACE_GUID_GATES, 10);
    ASSERT_EQ(counts.size(), 4u);
    EXPECT_EQ(counts[1], tracetest::BytesOf<LONG>(5));

    const std::vector<WString> steps = Steps(events);
    EXPECT_TRUE(Contains(steps, TEXT("ConverNPStringtoNULLEndString - SubjectDNFilter")));
    EXPECT_TRUE(Contains(steps, TEXT("UTF8ToUTF16 - IssueDNFilter")));
    EXPECT_TRUE(Contains(steps, TEXT("m_objCryptoAgent.SelectSignCertificate")));
    EXPECT_TRUE(Contains(steps, TEXT("m_objCryptoAgent.SelectEncryptCertificate")));
}

TEST_F(Adapters, PasswordsNeverReachTheTrace)
{
    StartTracingWith(TRACE_INFORMATION | TRACE_FAILURE | TRACE_FUNCTION | TRACE_ERROR);
    const std::string path = m_root + "/missing.pfx";
    const std::string password = "Pa55-secret-word";
    NPVariant result = fb::Untouched();
    EXPECT_FALSE(Invoke("SelectSignCertificateByPFXFile", {fb::Str(path), fb::Str(password)}, &result));
    EXPECT_FALSE(Invoke("SelectDecryptCertificateByPFXFile", {fb::Str(path), fb::Str(password)}, &result));
    const std::vector<Event> events = StopAndRead();

    auto contains = [](const std::vector<BYTE>& data, const std::vector<BYTE>& needle) {
        return std::search(data.begin(), data.end(), needle.begin(), needle.end()) != data.end();
    };
    const std::vector<BYTE> narrow(password.begin(), password.end());
    WString widePassword;
    for (char c : password) widePassword.push_back(static_cast<WCHAR>(c));
    const std::vector<BYTE> wide = BytesW(widePassword.c_str(), widePassword.size());
    for (const Event& e : events) {
        EXPECT_FALSE(contains(e.data, narrow)) << "event " << e.number;
        EXPECT_FALSE(contains(e.data, wide)) << "event " << e.number;
    }
    // The path is shown; the password only by its length.
    const auto secrets = DataOf(events, TRACE_GUID_GATES, 12);
    ASSERT_EQ(secrets.size(), 2u);
    EXPECT_EQ(secrets[0], tracetest::BytesOf<LONG>(static_cast<LONG>(password.size())));
    const auto copied = DataOf(events, TRACE_GUID_GATES, 11);
    ASSERT_EQ(copied.size(), 2u);
    EXPECT_EQ(copied[0], tracetest::BytesA(path.c_str(), path.size() + 1));
    EXPECT_TRUE(Contains(Steps(events), TEXT("ConverNPStringtoNULLEndString - PFX PWD")));
}

TEST_F(Adapters, StepTextsNameEachArgument)
{
    StartTracingWith(TRACE_INFORMATION | TRACE_FAILURE);
    std::string a = "sig", b = "/nonexistent/file", c = "SHA-1";
    NPVariant result = fb::Untouched();
    Invoke("VerifyFileSignaturePKCS1", {fb::Str(a), fb::Str(b), fb::Str(c)}, &result);
    Invoke("SignMessage", {fb::Str(a), fb::Str(c)}, &result);
    Invoke("SignMessage", {fb::Str(a)}, &result);
    const std::vector<Event> events = StopAndRead();
    const std::vector<WString> steps = Steps(events);
    EXPECT_TRUE(Contains(steps, TEXT("ConverNPStringtoNULLEndString - Signature")));
    EXPECT_TRUE(Contains(steps, TEXT("ConverNPStringtoNULLEndString - File Name")));
    EXPECT_TRUE(Contains(steps, TEXT("UTF8ToUTF16 - FileName")));
    EXPECT_TRUE(Contains(steps, TEXT("UTF8ToUTF16 - Algorithm")));
    EXPECT_TRUE(Contains(steps, TEXT("m_objCryptoAgent.VerifyFileSignaturePKCS1")));
    EXPECT_TRUE(Contains(steps, TEXT("UTF8ToUTF16 - Source Msg")));
    EXPECT_TRUE(Contains(steps, TEXT("m_objCryptoAgent.SignMessage")));

    // The refused call names itself and its count.
    const auto refused = DataOf(events, TRACE_GUID_SCRIPTABLE, 22);
    ASSERT_EQ(refused.size(), 1u);
    const char name[] = "CScriptablePluginObject::npSignMessage";
    EXPECT_EQ(refused[0], tracetest::Concat({tracetest::BytesA(name, sizeof(name)), tracetest::BytesOf<LONG>(1)}));
}

TEST(Marshalling, CopyIsExactAndTerminated)
{
    char* copy = nullptr;
    ASSERT_EQ(ConverNPStringtoNULLEndString(&copy, "ab\0cd", 5), S_OK);
    EXPECT_EQ(std::memcmp(copy, "ab\0cd\0", 6), 0);
    delete[] copy;

    copy = nullptr;
    ASSERT_EQ(ConverNPStringtoNULLEndString(&copy, "xyz", 0), S_OK);
    EXPECT_EQ(copy[0], '\0');
    delete[] copy;

    copy = nullptr;
    ASSERT_EQ(ConverNPStringtoNULLEndString(&copy, nullptr, 0, true), S_OK);
    EXPECT_EQ(copy[0], '\0');
    delete[] copy;
    EXPECT_EQ(ConverNPStringtoNULLEndString(&copy, nullptr, 3), E_POINTER);
}

TEST(Marshalling, StringResultIsBrowserMemory)
{
    fb::Install();
    NPVariant v = fb::Untouched();
    ASSERT_TRUE(StringToNPVariant("", &v));
    EXPECT_EQ(v.type, NPVariantType_String);
    EXPECT_EQ(v.value.stringValue.UTF8Length, 0u);
    EXPECT_EQ(fb::S().allocationSizes.back(), 1u);
    fb::Release(v);

    v = fb::Untouched();
    ASSERT_TRUE(StringToNPVariant("\xED\x95\x9C", &v));
    EXPECT_EQ(fb::Text(v), "\xED\x95\x9C");
    fb::Release(v);

    v = fb::Untouched();
    EXPECT_FALSE(StringToNPVariant(nullptr, &v));
    EXPECT_TRUE(fb::IsUntouched(v));
    fb::S().failAllocationsAfter = 0;
    EXPECT_FALSE(StringToNPVariant("abc", &v));
    EXPECT_TRUE(fb::IsUntouched(v));
    EXPECT_TRUE(fb::S().liveAllocations.empty());
}

}  // namespace
