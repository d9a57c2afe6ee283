// The exported entry points, the kept browser table and the instance lifecycle (NPP_*,
// CPlugin), driven through a fake browser.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "PluginFakeBrowser.h"
#include "plugin/BrowserTable.h"
#include "plugin/Module.h"

namespace fb = fakebrowser;

namespace {

NPPluginFuncs PluginTable(uint16_t size)
{
    NPPluginFuncs t;
    std::memset(&t, 0xCD, sizeof(t));
    t.size = size;
    t.version = 0x7777;
    return t;
}

TEST(PluginEntryPoints, PluginTableBelowSixtyBytesIsRefusedAndUntouched)
{
    NPPluginFuncs t = PluginTable(static_cast<uint16_t>(kPluginFuncsBytesUsed - 1));
    NPPluginFuncs before = t;
    EXPECT_EQ(NP_GetEntryPoints(&t), NPERR_INVALID_FUNCTABLE_ERROR);
    EXPECT_EQ(std::memcmp(&t, &before, sizeof(t)), 0);
    EXPECT_EQ(NP_GetEntryPoints(nullptr), NPERR_INVALID_FUNCTABLE_ERROR);
}

TEST(PluginEntryPoints, PluginTableOfExactSizeIsFilled)
{
    NPPluginFuncs t = PluginTable(static_cast<uint16_t>(kPluginFuncsBytesUsed));
    EXPECT_EQ(NP_GetEntryPoints(&t), NPERR_NO_ERROR);
    EXPECT_EQ(t.size, kPluginFuncsBytesUsed);
    EXPECT_EQ(t.version, 22);
    EXPECT_EQ(t.newp, &NPP_New);
    EXPECT_EQ(t.destroy, &NPP_Destroy);
    EXPECT_EQ(t.setwindow, &NPP_SetWindow);
    EXPECT_EQ(t.newstream, &NPP_NewStream);
    EXPECT_EQ(t.destroystream, &NPP_DestroyStream);
    EXPECT_EQ(t.asfile, &NPP_StreamAsFile);
    EXPECT_EQ(t.writeready, &NPP_WriteReady);
    EXPECT_EQ(t.write, &NPP_Write);
    EXPECT_EQ(t.print, &NPP_Print);
    EXPECT_EQ(t.event, &NPP_HandleEvent);
    EXPECT_EQ(t.urlnotify, &NPP_URLNotify);
    EXPECT_EQ(t.javaClass, nullptr);
    EXPECT_EQ(t.getvalue, &NPP_GetValue);
    EXPECT_EQ(t.setvalue, &NPP_SetValue);
    // Entries after setvalue belong to later interface levels and are left alone.
    NPPluginFuncs marker = PluginTable(0);
    EXPECT_EQ(std::memcmp(&t.gotfocus, &marker.gotfocus, sizeof(t) - offsetof(NPPluginFuncs, gotfocus)), 0);
    EXPECT_EQ(g_pScriptableClass, CScriptablePluginObjectBase::ScriptableClass());
    EXPECT_EQ(g_pScriptableClass->structVersion, 3u);
}

TEST(PluginEntryPoints, BrowserVersionIsTestedBeforeSize)
{
    NPNetscapeFuncs t = fb::Table();
    t.version = 0x0100;
    EXPECT_EQ(Initialize(&t), NPERR_INCOMPATIBLE_VERSION_ERROR);
    t.size = 0;
    EXPECT_EQ(Initialize(&t), NPERR_INCOMPATIBLE_VERSION_ERROR);
    EXPECT_EQ(Initialize(nullptr), NPERR_INVALID_FUNCTABLE_ERROR);
}

TEST(PluginEntryPoints, BrowserTableMustReachTheRequiredSize)
{
    NPNetscapeFuncs t = fb::Table();
    t.version = 0x0013;
    t.size = static_cast<uint16_t>(kBrowserFuncsBytesRequired - 1);
    EXPECT_EQ(Initialize(&t), NPERR_INVALID_FUNCTABLE_ERROR);
    t.size = static_cast<uint16_t>(kBrowserFuncsBytesRequired);
    EXPECT_EQ(Initialize(&t), NPERR_NO_ERROR);
    EXPECT_EQ(g_NPNFuncs.size, kBrowserFuncsBytesRequired);
    EXPECT_EQ(g_NPNFuncs.version, 0x0013);
#if defined(__i386__)
    EXPECT_EQ(kBrowserFuncsBytesRequired, 196u);
#endif
}

void* JavaEnv() { return nullptr; }
void* JavaPeer(NPP) { return nullptr; }
void PushPopups(NPP, NPBool) {}

TEST(PluginEntryPoints, KeptTableCopiesGeturlThroughSetexceptionOnly)
{
    NPNetscapeFuncs t = fb::Table();
    t.getJavaEnv = JavaEnv;
    t.getJavaPeer = JavaPeer;
    t.pushpopupsenabledstate = PushPopups;
    ASSERT_EQ(Initialize(&t), NPERR_NO_ERROR);
    EXPECT_EQ(g_NPNFuncs.geturl, t.geturl);
    EXPECT_EQ(g_NPNFuncs.memalloc, t.memalloc);
    EXPECT_EQ(g_NPNFuncs.getstringidentifier, t.getstringidentifier);
    EXPECT_EQ(g_NPNFuncs.releaseobject, t.releaseobject);
    EXPECT_EQ(g_NPNFuncs.setexception, t.setexception);
    EXPECT_EQ(g_NPNFuncs.getJavaEnv, nullptr);
    EXPECT_EQ(g_NPNFuncs.getJavaPeer, nullptr);
    EXPECT_EQ(g_NPNFuncs.pushpopupsenabledstate, nullptr);
}

TEST(PluginEntryPoints, MimeDescriptionAndLibraryValues)
{
    EXPECT_STREQ(NP_GetMIMEDescription(), "application/npKeystrand:*:npKeystrand certificate utilities");
    EXPECT_EQ(NPP_GetMIMEDescription(), NP_GetMIMEDescription());

    const char* text = nullptr;
    EXPECT_EQ(NP_GetValue(nullptr, NPPVpluginNameString, &text), NPERR_NO_ERROR);
    EXPECT_STREQ(text, "NPRuntimeTest");
    EXPECT_EQ(NP_GetValue(nullptr, NPPVpluginDescriptionString, &text), NPERR_NO_ERROR);
    EXPECT_STREQ(text, "NPRuntime scriptability API test plugin");
    EXPECT_EQ(NP_GetValue(nullptr, NPPVpluginWindowBool, &text), NPERR_GENERIC_ERROR);
    EXPECT_NE(NP_GetValue(nullptr, NPPVpluginNameString, nullptr), NPERR_NO_ERROR);
    EXPECT_NE(g_hModuleInstance, nullptr) << "the attach hook records the module";
}

TEST(PluginEntryPoints, UnixInitializeFillsThePluginTableAndShutdownSucceeds)
{
    const std::string root = fb::IsolateUserDirectories();
    NPNetscapeFuncs browser = fb::Table();
    NPPluginFuncs plugin = PluginTable(sizeof(NPPluginFuncs));
    g_pScriptableClass = nullptr;
    EXPECT_EQ(NP_Initialize(&browser, &plugin), NPERR_NO_ERROR);
    EXPECT_EQ(plugin.newp, &NPP_New);
    EXPECT_EQ(plugin.version, 22);
    EXPECT_NE(g_pScriptableClass, nullptr);
    EXPECT_EQ(NP_Shutdown(), NPERR_NO_ERROR);

    NPPluginFuncs small = PluginTable(static_cast<uint16_t>(kPluginFuncsBytesUsed - 1));
    EXPECT_EQ(NP_Initialize(&browser, &small), NPERR_INVALID_FUNCTABLE_ERROR);
    EXPECT_EQ(NP_Shutdown(), NPERR_NO_ERROR);
    browser.version = 0x0200;
    EXPECT_EQ(NP_Initialize(&browser, nullptr), NPERR_INCOMPATIBLE_VERSION_ERROR);
    EXPECT_EQ(NP_Shutdown(), NPERR_NO_ERROR);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
}

class PluginInstance : public ::testing::Test {
protected:
    void SetUp() override
    {
        fb::Install();
        char mime[] = "application/npKeystrand";
        ASSERT_EQ(NPP_New(mime, &m_npp, NP_EMBED, 0, nullptr, nullptr, nullptr), NPERR_NO_ERROR);
        ASSERT_NE(m_npp.pdata, nullptr);
    }
    void TearDown() override
    {
        if (m_npp.pdata != nullptr) NPP_Destroy(&m_npp, nullptr);
    }

    NPObject* Scriptable(NPError expected = NPERR_NO_ERROR)
    {
        NPObject* obj = nullptr;
        EXPECT_EQ(NPP_GetValue(&m_npp, NPPVpluginScriptableNPObject, &obj), expected);
        return obj;
    }

    NPP_t m_npp{};
};

TEST_F(PluginInstance, NullInstanceAnswers)
{
    char mime[] = "application/npKeystrand";
    EXPECT_EQ(NPP_New(mime, nullptr, NP_EMBED, 0, nullptr, nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(NPP_Destroy(nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    void* value = nullptr;
    EXPECT_EQ(NPP_GetValue(nullptr, NPPVpluginNameString, &value), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(NPP_SetWindow(nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(NPP_NewStream(nullptr, mime, nullptr, 0, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(NPP_DestroyStream(nullptr, nullptr, NPRES_DONE), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(NPP_WriteReady(nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(NPP_Write(nullptr, nullptr, 0, 77, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(NPP_SetValue(nullptr, NPNVprivateModeBool, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(NPP_HandleEvent(nullptr, nullptr), 0);

    NPP_t bare{};
    EXPECT_EQ(NPP_GetValue(&bare, NPPVpluginNameString, &value), NPERR_GENERIC_ERROR);
    EXPECT_EQ(NPP_HandleEvent(&bare, nullptr), 0);
    EXPECT_EQ(NPP_Destroy(&bare, nullptr), NPERR_NO_ERROR);
}

TEST_F(PluginInstance, StreamsAndEventsAreAcceptedAndDropped)
{
    char mime[] = "text/plain";
    uint16_t stype = NP_SEEK;
    EXPECT_EQ(NPP_NewStream(&m_npp, mime, nullptr, 0, &stype), NPERR_NO_ERROR);
    EXPECT_EQ(stype, NP_SEEK);
    EXPECT_EQ(NPP_WriteReady(&m_npp, nullptr), 268435455);
    char bytes[5] = "abcd";
    EXPECT_EQ(NPP_Write(&m_npp, nullptr, 0, 4, bytes), 4);
    EXPECT_EQ(NPP_Write(&m_npp, nullptr, 100, 123456, bytes), 123456);
    EXPECT_EQ(NPP_DestroyStream(&m_npp, nullptr, NPRES_DONE), NPERR_NO_ERROR);
    EXPECT_EQ(NPP_SetWindow(&m_npp, nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(NPP_SetValue(&m_npp, NPNVprivateModeBool, nullptr), NPERR_NO_ERROR);
    NPEvent event{};
    EXPECT_EQ(NPP_HandleEvent(&m_npp, &event), 0);
    NPP_StreamAsFile(&m_npp, nullptr, "x");
    NPP_Print(&m_npp, nullptr);
    NPP_URLNotify(&m_npp, "about:blank", NPRES_DONE, nullptr);
}

TEST_F(PluginInstance, GetValueVariables)
{
    const char* text = nullptr;
    EXPECT_EQ(NPP_GetValue(&m_npp, NPPVpluginNameString, &text), NPERR_NO_ERROR);
    EXPECT_STREQ(text, "NPRuntimeTest");
    EXPECT_EQ(NPP_GetValue(&m_npp, NPPVpluginDescriptionString, &text), NPERR_NO_ERROR);
    EXPECT_STREQ(text, "NPRuntime scriptability API test plugin");

    unsigned char needs[2] = {0, 0xEE};
    EXPECT_EQ(NPP_GetValue(&m_npp, NPPVpluginNeedsXEmbed, needs), NPERR_NO_ERROR);
    EXPECT_EQ(needs[0], 1);
    EXPECT_EQ(needs[1], 0xEE) << "NPBool is one byte";

    void* marker = reinterpret_cast<void*>(0x1234);
    void* value = marker;
    EXPECT_EQ(NPP_GetValue(&m_npp, NPPVpluginWindowBool, &value), NPERR_GENERIC_ERROR);
    EXPECT_EQ(value, marker);
    EXPECT_EQ(NPP_GetValue(&m_npp, NPPVformValue, &value), NPERR_GENERIC_ERROR);
    EXPECT_EQ(value, marker);
}

TEST_F(PluginInstance, EachRequestAddsAReferenceToTheOneObject)
{
    NPObject* first = Scriptable();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->referenceCount, 2u);  // the instance's own and the browser's
    NPObject* second = Scriptable();
    EXPECT_EQ(second, first);
    EXPECT_EQ(first->referenceCount, 3u);
    EXPECT_EQ(fb::S().objectsCreated, 1);

    fb::ReleaseObject(first);
    fb::ReleaseObject(second);
    EXPECT_EQ(first->referenceCount, 1u);
    EXPECT_EQ(fb::S().deallocations, 0);
    EXPECT_EQ(NPP_Destroy(&m_npp, nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(fb::S().deallocations, 1) << "the instance drops its reference and the object goes";
    EXPECT_EQ(m_npp.pdata, nullptr);
}

TEST_F(PluginInstance, DestroyWithoutARequestReleasesNothing)
{
    EXPECT_EQ(NPP_Destroy(&m_npp, nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(fb::S().objectsCreated, 0);
    EXPECT_EQ(fb::S().deallocations, 0);
}

TEST_F(PluginInstance, ObjectOutlivesTheInstanceWhileTheBrowserHoldsIt)
{
    NPObject* obj = Scriptable();
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(NPP_Destroy(&m_npp, nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(fb::S().deallocations, 0);
    EXPECT_EQ(obj->referenceCount, 1u);
    fb::ReleaseObject(obj);
    EXPECT_EQ(fb::S().deallocations, 1);
}

TEST_F(PluginInstance, NoScriptableClassYieldsNoObject)
{
    g_pScriptableClass = nullptr;
    void* marker = reinterpret_cast<void*>(0x1);
    NPObject* obj = static_cast<NPObject*>(marker);
    EXPECT_EQ(NPP_GetValue(&m_npp, NPPVpluginScriptableNPObject, &obj), NPERR_GENERIC_ERROR);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(fb::S().objectsCreated, 0);
}

NPObject* FailingCreate(NPP, NPClass*) { return nullptr; }

TEST_F(PluginInstance, BrowserThatCannotCreateTheObject)
{
    NPNetscapeFuncs t = fb::Table();
    t.createobject = FailingCreate;
    ASSERT_EQ(Initialize(&t), NPERR_NO_ERROR);
    EXPECT_EQ(Scriptable(NPERR_GENERIC_ERROR), nullptr);
    fb::Install();  // a later request may still succeed
    NPObject* obj = Scriptable();
    ASSERT_NE(obj, nullptr);
    fb::ReleaseObject(obj);
}

}  // namespace
