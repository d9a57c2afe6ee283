// The provider's registration, its control callback and the global-logger probe.
#include "TraceTestSession.h"

using namespace tracetest;

namespace {

const WCHAR kGlobalLoggerKey[] = TEXT("SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger");

class TraceProviderTest : public TraceTest {
protected:
    // Writes the global logger's "Start" and, when asked, the provider's sub-key.
    void ConfigureGlobalLogger(DWORD start, bool withProviderKey, DWORD flags, DWORD level)
    {
        HKEY hKey = NULL;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kGlobalLoggerKey, 0, NULL, 0, KEY_ALL_ACCESS,
                                  NULL, &hKey, NULL),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(hKey, TEXT("Start"), 0, REG_DWORD, (const BYTE*)&start, sizeof(start)),
                  ERROR_SUCCESS);
        if (withProviderKey) {
            WCHAR name[37];
            FormatTraceGuidKey(TRACE_CONTROL_GUID, name);
            HKEY hSub = NULL;
            ASSERT_EQ(RegCreateKeyExW(hKey, name, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hSub, NULL),
                      ERROR_SUCCESS);
            RegSetValueExW(hSub, TEXT("Flags"), 0, REG_DWORD, (const BYTE*)&flags, sizeof(flags));
            RegSetValueExW(hSub, TEXT("Level"), 0, REG_DWORD, (const BYTE*)&level, sizeof(level));
            RegCloseKey(hSub);
        }
        RegCloseKey(hKey);
    }

    // A running session named "GlobalLogger" that enables nothing.
    TRACEHANDLE StartGlobalLogger()
    {
        m_globalLogger = std::make_unique<Session>("GlobalLogger", m_root + "/global.etl");
        EXPECT_EQ(m_globalLogger->Start(), (ULONG)ERROR_SUCCESS);
        return m_globalLogger->Handle();
    }

    void TearDown() override
    {
        CleanupTracing();
        m_globalLogger.reset();
        TraceTest::TearDown();
    }

    static TRACE_CONTROL_BLOCK* Fill(TRACE_CONTROL_BLOCK* block, ULONG64 logger, UCHAR level, ULONG flags)
    {
        block->Next = NULL;
        block->RegistrationHandle = 0;
        block->Logger.store(logger);
        block->FlagsLen = 1;
        block->Level.store(level);
        block->Reserved = 0;
        block->Flags.store(flags);
        return block;
    }

    std::unique_ptr<Session> m_globalLogger;
};

// --- Registration and the control callback --------------------------------------------------

TEST_F(TraceProviderTest, StartupRegistersAndShutdownUnregisters)
{
    LoadTraceSupport();
    InitTracing();
    EXPECT_EQ(g_pTraceListHead, (void*)&g_TraceControlBlock);
    EXPECT_NE(g_TraceControlBlock.RegistrationHandle, 0u);
    EXPECT_EQ(g_TraceControlBlock.FlagsLen, 1);
    EXPECT_EQ(g_TraceControlBlock.Next, nullptr);
    EXPECT_EQ(g_TraceControlBlock.Flags.load(), 0u);
    EXPECT_FALSE(TraceIsOn(TRACE_ERROR | TRACE_FAILURE | TRACE_INFORMATION | TRACE_FUNCTION));

    CleanupTracing();
    EXPECT_EQ(g_pTraceListHead, (void*)&g_pTraceListHead);
    EXPECT_EQ(g_TraceControlBlock.RegistrationHandle, 0u);
    CleanupTracing();  // a second shut-down finds nothing to do
    EXPECT_EQ(g_pTraceListHead, (void*)&g_pTraceListHead);
}

TEST_F(TraceProviderTest, ControllerEnablesThroughTheCallbackWithLevelAndFlags)
{
    StartTracingWith(TRACE_ERROR | TRACE_INFORMATION, 3);
    EXPECT_EQ(g_TraceControlBlock.Logger.load(), m_session->Handle());
    EXPECT_EQ(g_TraceControlBlock.Level.load(), 3);
    EXPECT_TRUE(TraceIsOn(TRACE_INFORMATION));
    EXPECT_FALSE(TraceIsOn(TRACE_FUNCTION));
}

TEST_F(TraceProviderTest, ProviderEnabledBeforeStartupIsOnAfterIt)
{
    StartSession(TRACE_FUNCTION, 0);
    LoadTraceSupport();
    InitTracing();
    ASSERT_TRUE(WaitForFlags(TRACE_FUNCTION));
    EXPECT_EQ(g_TraceControlBlock.Logger.load(), m_session->Handle());
    { TraceHelper trace("Early"); }
    std::vector<Event> events = StopAndRead();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].number, 10);
    EXPECT_EQ(events[1].number, 11);
}

TEST_F(TraceProviderTest, CallbackRequestsAndOutSize)
{
    TRACE_CONTROL_BLOCK block;
    ULONG size = 99;

    Fill(&block, 7, 2, 0xF);
    EXPECT_EQ(TraceControlCallback(WMI_DISABLE_EVENTS, &block, &size, NULL), (ULONG)ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(block.Logger.load(), 0u);
    EXPECT_EQ(block.Level.load(), 0);
    EXPECT_EQ(block.Flags.load(), 0u);

    for (int code : {0, 1, 2, 3, 6, 7, 8, 9, 10, 77}) {
        Fill(&block, 7, 2, 0xF);
        size = 99;
        EXPECT_EQ(TraceControlCallback((WMIDPREQUESTCODE)code, &block, &size, NULL),
                  (ULONG)ERROR_INVALID_PARAMETER) << code;
        EXPECT_EQ(size, 0u) << code;
        EXPECT_EQ(block.Logger.load(), 7u) << code;
        EXPECT_EQ(block.Level.load(), 2) << code;
        EXPECT_EQ(block.Flags.load(), 0xFu) << code;
    }
}

TEST_F(TraceProviderTest, EnableRequestReadsLoggerLevelAndFlagsFromTheService)
{
    // Let the service deliver a real enable notification to our block, then compare what
    // a direct request for the same logger reports.
    StartTracingWith(TRACE_FAILURE | TRACE_FUNCTION, 5);
    TRACEHANDLE logger = m_session->Handle();

    WNODE_HEADER wnode;
    std::memset(&wnode, 0, sizeof(wnode));
    wnode.BufferSize = sizeof(wnode);
    wnode.HistoricalContext = logger;
    wnode.Guid = TRACE_CONTROL_GUID;
    wnode.Flags = WNODE_FLAG_TRACED_GUID;
    ASSERT_EQ(GetTraceLoggerHandle(&wnode), logger);

    TRACE_CONTROL_BLOCK block;
    Fill(&block, 0, 0, 0);
    ULONG size = 99;
    EXPECT_EQ(TraceControlCallback(WMI_ENABLE_EVENTS, &block, &size, &wnode), (ULONG)ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(block.Logger.load(), logger);
    EXPECT_EQ(block.Level.load(), 5);
    EXPECT_EQ(block.Flags.load(), (ULONG)(TRACE_FAILURE | TRACE_FUNCTION));
}

// --- Global logger probe --------------------------------------------------------------------

TEST(TraceGuidKey, LowercaseDigitsWithoutBraces)
{
    WCHAR text[37];
    FormatTraceGuidKey(TRACE_CONTROL_GUID, text);
    EXPECT_EQ(std::basic_string<WCHAR>(text), TEXT("5c8f2a58-369a-44f0-9235-c05ecb1dd73e"));

    const GUID small = {0x0000000A, 0x000B, 0x00C0, {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x0F, 0xF0}};
    FormatTraceGuidKey(small, text);
    EXPECT_EQ(std::basic_string<WCHAR>(text), TEXT("0000000a-000b-00c0-0001-020304050ff0"));
}

TEST_F(TraceProviderTest, GlobalLoggerStartOneGivesConfiguredFlagsWithoutTheTopBit)
{
    TRACEHANDLE global = StartGlobalLogger();
    ConfigureGlobalLogger(1, true, 0x80000008, 0x105);

    LoadTraceSupport();
    InitTracing();
    EXPECT_EQ(g_TraceControlBlock.Flags.load(), 0x8u);
    EXPECT_EQ(g_TraceControlBlock.Level.load(), 0x05);
    EXPECT_EQ(g_TraceControlBlock.Logger.load(), global);

    // Function events now go to the global logger.
    { TraceHelper trace("ToGlobalLogger"); }
    TraceStep(S_OK, TEXT("not enabled"));
    m_globalLogger->Stop();
    std::vector<Event> events = m_globalLogger->Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].number, 10);
    EXPECT_EQ(events[0].data, BytesA("ToGlobalLogger", 15));
}

TEST_F(TraceProviderTest, GlobalLoggerStartTwoReadsTheKeyButLeavesFlagsOff)
{
    StartGlobalLogger();
    ConfigureGlobalLogger(2, true, 0x80000008, 4);
    TRACE_CONTROL_BLOCK block;
    Fill(&block, 0, 0, 0);
    ProbeGlobalLogger(&TRACE_CONTROL_GUID, &block);
    EXPECT_EQ(block.Flags.load(), 0u);
    EXPECT_EQ(block.Logger.load(), 0u);
    EXPECT_EQ(block.Level.load(), 0);
}

TEST_F(TraceProviderTest, GlobalLoggerStartOneWithoutRunningLoggerLeavesFlagsOff)
{
    ConfigureGlobalLogger(1, true, 0xF, 4);
    TRACE_CONTROL_BLOCK block;
    Fill(&block, 0, 0, 0);
    ProbeGlobalLogger(&TRACE_CONTROL_GUID, &block);
    EXPECT_EQ(block.Logger.load(), 0u);
    EXPECT_EQ(block.Flags.load(), 0u);
}

TEST_F(TraceProviderTest, GlobalLoggerProbeStopsWithoutKeyStartOrSubKey)
{
    StartGlobalLogger();
    TRACE_CONTROL_BLOCK block;

    // No key at all.
    Fill(&block, 0, 9, 0x40);
    ProbeGlobalLogger(&TRACE_CONTROL_GUID, &block);
    EXPECT_EQ(block.Logger.load(), 0u);
    EXPECT_EQ(block.Level.load(), 9);
    EXPECT_EQ(block.Flags.load(), 0x40u);

    // "Start" 0, and "Start" 1 without the provider's sub-key.
    for (bool startOne : {false, true}) {
        ConfigureGlobalLogger(startOne ? 1 : 0, false, 0, 0);
        Fill(&block, 0, 9, 0x40);
        ProbeGlobalLogger(&TRACE_CONTROL_GUID, &block);
        EXPECT_EQ(block.Logger.load(), 0u);
        EXPECT_EQ(block.Level.load(), 9);
        EXPECT_EQ(block.Flags.load(), 0x40u);
    }
}

}  // namespace
