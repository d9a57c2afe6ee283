// The scriptable object: class table and trampolines, method lookup, dispatch, the
// default call, properties, and one agent per object.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "PluginFakeBrowser.h"
#include "integration/ScriptMethods.h"
#include "plugin/ScriptablePluginObject.h"

namespace fb = fakebrowser;

namespace {

class Scriptable : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root = fb::IsolateUserDirectories();
        fb::Install();
        m_obj = fb::CreateObject(&m_npp, g_pScriptableClass);
        ASSERT_NE(m_obj, nullptr);
    }
    void TearDown() override
    {
        if (m_obj != nullptr) fb::ReleaseObject(m_obj);
        EXPECT_TRUE(fb::S().liveAllocations.empty()) << "the plug-in leaked browser memory";
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
    }

    NPIdentifier Id(const char* name) { return fb::GetStringIdentifier(name); }
    bool HasMethod(const char* name) { return m_obj->_class->hasMethod(m_obj, Id(name)); }
    bool Invoke(const char* name, const std::vector<NPVariant>& args, NPVariant* result)
    {
        return m_obj->_class->invoke(m_obj, Id(name), args.data(), static_cast<uint32_t>(args.size()), result);
    }
    CScriptablePluginObject* Object() { return static_cast<CScriptablePluginObject*>(m_obj); }

    std::string m_root;
    NPP_t m_npp{};
    NPObject* m_obj = nullptr;
};

TEST_F(Scriptable, ClassTableRoutesEveryEntry)
{
    NPClass* c = CScriptablePluginObjectBase::ScriptableClass();
    EXPECT_EQ(c->structVersion, 3u);
    EXPECT_EQ(c->allocate, &AllocateCScriptableObject);
    EXPECT_EQ(c->deallocate, &CScriptablePluginObjectBase::_Deallocate);
    EXPECT_EQ(c->invalidate, &CScriptablePluginObjectBase::_Invalidate);
    EXPECT_EQ(c->hasMethod, &CScriptablePluginObjectBase::_HasMethod);
    EXPECT_EQ(c->invoke, &CScriptablePluginObjectBase::_Invoke);
    EXPECT_EQ(c->invokeDefault, &CScriptablePluginObjectBase::_InvokeDefault);
    EXPECT_EQ(c->hasProperty, &CScriptablePluginObjectBase::_HasProperty);
    EXPECT_EQ(c->getProperty, &CScriptablePluginObjectBase::_GetProperty);
    EXPECT_EQ(c->setProperty, &CScriptablePluginObjectBase::_SetProperty);
    EXPECT_EQ(c->removeProperty, &CScriptablePluginObjectBase::_RemoveProperty);
    EXPECT_EQ(c->enumerate, &CScriptablePluginObjectBase::_Enumerate);
    EXPECT_EQ(c->construct, &CScriptablePluginObjectBase::_Construct);

    // The operations the object keeps from its base answer false.
    c->invalidate(m_obj);
    EXPECT_FALSE(c->removeProperty(m_obj, Id("SignMessage")));
    NPIdentifier* ids = nullptr;
    uint32_t count = 99;
    EXPECT_FALSE(c->enumerate(m_obj, &ids, &count));
    EXPECT_EQ(ids, nullptr);
    NPVariant result = fb::Untouched();
    EXPECT_FALSE(c->construct(m_obj, nullptr, 0, &result));
    EXPECT_TRUE(fb::IsUntouched(result));

    // A null object from the browser is a failed call, not a crash.
    EXPECT_FALSE(c->hasMethod(nullptr, Id("SignMessage")));
    EXPECT_FALSE(c->invoke(nullptr, Id("SignMessage"), nullptr, 0, &result));
    EXPECT_FALSE(c->invokeDefault(nullptr, nullptr, 0, &result));
    EXPECT_TRUE(fb::IsUntouched(result));
    c->deallocate(nullptr);
}

TEST_F(Scriptable, HasMethodKnowsExactlyTheThirtyNames)
{
    ASSERT_EQ(npk::test::ScriptMethods().size(), 30u);
    for (const auto& m : npk::test::ScriptMethods()) {
        EXPECT_TRUE(HasMethod(m.name)) << m.name;
        std::string lower = m.name;
        for (char& ch : lower) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        EXPECT_FALSE(HasMethod(lower.c_str())) << lower;
        std::string prefix(m.name, std::string(m.name).size() - 1);
        EXPECT_FALSE(HasMethod(prefix.c_str())) << prefix;
        EXPECT_FALSE(HasMethod((std::string(m.name) + " ").c_str()));
    }
    EXPECT_FALSE(HasMethod(""));
    EXPECT_FALSE(HasMethod("SignFile"));      // an agent operation without a script method
    EXPECT_FALSE(HasMethod("SelectCertificate"));
    EXPECT_FALSE(m_obj->_class->hasMethod(m_obj, nullptr));
}

TEST_F(Scriptable, PropertiesDoNotExist)
{
    for (const char* name : {"SignMessage", "GetLastErrorDesc", "length", ""}) {
        EXPECT_FALSE(m_obj->_class->hasProperty(m_obj, Id(name))) << name;
        NPVariant result = fb::Untouched();
        EXPECT_FALSE(m_obj->_class->getProperty(m_obj, Id(name), &result)) << name;
        EXPECT_TRUE(fb::IsUntouched(result));
        NPVariant value = fb::Int(3);
        EXPECT_FALSE(m_obj->_class->setProperty(m_obj, Id(name), &value)) << name;
    }
}

TEST_F(Scriptable, UnknownMethodFailsAndLeavesTheResult)
{
    std::string arg = "x";
    NPVariant result = fb::Untouched();
    EXPECT_FALSE(Invoke("NoSuchMethod", {fb::Str(arg)}, &result));
    EXPECT_TRUE(fb::IsUntouched(result));
    EXPECT_FALSE(Invoke("signmessage", {fb::Str(arg), fb::Str(arg)}, &result));
    EXPECT_TRUE(fb::IsUntouched(result));
    EXPECT_TRUE(fb::S().urls.empty());
    EXPECT_EQ(Object()->m_objCryptoAgent.LastError(), S_OK);
}

TEST_F(Scriptable, SelectSignCertificateCallsThePageFirstEvenWithBadArguments)
{
    NPVariant result = fb::Untouched();
    fb::S().geturlResult = NPERR_GENERIC_ERROR;  // the browser's answer does not matter
    EXPECT_FALSE(Invoke("SelectSignCertificate", {fb::Int(1)}, &result));
    EXPECT_TRUE(fb::IsUntouched(result));
    ASSERT_EQ(fb::S().urls.size(), 1u);
    EXPECT_EQ(fb::S().urls[0].first, "javascript:Hello()");
    EXPECT_EQ(fb::S().urls[0].second, "_self");

    EXPECT_FALSE(Invoke("SelectSignCertificate", {}, &result));
    EXPECT_EQ(fb::S().urls.size(), 2u);

    // No other method calls the page.
    EXPECT_FALSE(Invoke("SelectEncryptCertificate", {}, &result));
    NPVariant desc;
    ASSERT_TRUE(Invoke("GetLastErrorDesc", {}, &desc));
    fb::Release(desc);
    EXPECT_EQ(fb::S().urls.size(), 2u);
}

TEST_F(Scriptable, DefaultCallReturnsItsFixedText)
{
    std::string arg = "ignored";
    for (const std::vector<NPVariant>& args : {std::vector<NPVariant>{}, {fb::Str(arg), fb::Int(4)}}) {
        NPVariant result = fb::Untouched();
        size_t allocations = fb::S().allocationSizes.size();
        ASSERT_TRUE(m_obj->_class->invokeDefault(m_obj, args.data(), static_cast<uint32_t>(args.size()), &result));
        ASSERT_EQ(result.type, NPVariantType_String);
        EXPECT_EQ(result.value.stringValue.UTF8Length, 25u);
        EXPECT_EQ(fb::Text(result), "default method return val");
        EXPECT_EQ(result.value.stringValue.UTF8Characters[25], '\0');
        ASSERT_EQ(fb::S().allocationSizes.size(), allocations + 1);
        EXPECT_EQ(fb::S().allocationSizes.back(), 26u);
        fb::Release(result);
    }

    fb::S().failAllocationsAfter = 0;
    NPVariant result = fb::Untouched();
    EXPECT_FALSE(m_obj->_class->invokeDefault(m_obj, nullptr, 0, &result));
    EXPECT_TRUE(fb::IsUntouched(result));
}

TEST_F(Scriptable, TwoObjectsHaveIndependentAgents)
{
    NPP_t other{};
    NPObject* second = fb::CreateObject(&other, g_pScriptableClass);
    ASSERT_NE(second, nullptr);
    std::string message = "hello", algorithm = "SHA-1";
    NPVariant result = fb::Untouched();
    // No signing certificate is chosen, so the first agent records a failure.
    EXPECT_FALSE(Invoke("SignMessage", {fb::Str(message), fb::Str(algorithm)}, &result));
    EXPECT_EQ(result.type, NPVariantType_Null);
    EXPECT_LT(Object()->m_objCryptoAgent.LastError(), 0);
    EXPECT_EQ(static_cast<CScriptablePluginObject*>(second)->m_objCryptoAgent.LastError(), S_OK);
    fb::ReleaseObject(second);
    EXPECT_EQ(fb::S().deallocations, 1);
}

}  // namespace
