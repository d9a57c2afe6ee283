// Trace points, emitters, TraceHelper and TraceStep, observed through a real trace session.
#include "TraceTestSession.h"

#include <stdexcept>

using namespace tracetest;

namespace {

std::vector<Event> OfGuid(const std::vector<Event>& events, const GUID& guid)
{
    std::vector<Event> out;
    for (const Event& e : events)
        if (e.guid == guid) out.push_back(e);
    return out;
}

class TraceEventsTest : public TraceTest {};

// --- When events may be emitted at all -----------------------------------------------------

TEST_F(TraceEventsTest, NothingIsEmittedBeforeStartupWhateverTheFlags)
{
    LoadTraceSupport();
    Session& session = StartSession(0xF);
    // Even a block that claims a logger and every flag stays silent while the list head
    // points at itself.
    g_TraceControlBlock.Logger.store(session.Handle());
    g_TraceControlBlock.Flags.store(0xF);

    EXPECT_FALSE(TraceIsOn(TRACE_INFORMATION));
    int evaluated = 0;
    NPK_TRACE(TRACE_INFORMATION, (++evaluated, TraceMsgI32(TRACE_GUID_AGENT, 10, 1)));
    EXPECT_EQ(evaluated, 0) << "a disabled trace point computed its arguments";
    { TraceHelper trace("BeforeStartup"); }
    TraceStep(E_FAIL, TEXT("step"));
    TraceStepEx(S_OK, TEXT("F"), TEXT("D"));
    TraceMsgA(TRACE_GUID_AGENT, 11, "direct");
    TraceMsgW(TRACE_GUID_AGENT, 12, TEXT("direct"));

    EXPECT_TRUE(StopAndRead().empty());
    g_TraceControlBlock.Logger.store(0);
    g_TraceControlBlock.Flags.store(0);
}

TEST_F(TraceEventsTest, NothingIsEmittedAfterShutdownWhateverTheFlags)
{
    StartTracingWith(0xF);
    TraceMsgI32(TRACE_GUID_AGENT, 10, 1);
    CleanupTracing();
    EXPECT_EQ(g_pTraceListHead, (void*)&g_pTraceListHead);
    EXPECT_EQ(g_TraceControlBlock.RegistrationHandle, 0u);

    g_TraceControlBlock.Logger.store(m_session->Handle());
    g_TraceControlBlock.Flags.store(0xF);
    int evaluated = 0;
    NPK_TRACE(TRACE_INFORMATION, (++evaluated, TraceMsgI32(TRACE_GUID_AGENT, 11, 2)));
    EXPECT_EQ(evaluated, 0);
    { TraceHelper trace("AfterShutdown"); }
    TraceStep(S_OK, TEXT("step"));
    TraceMsgI32(TRACE_GUID_AGENT, 12, 3);

    std::vector<Event> events = StopAndRead();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].guid, TRACE_GUID_AGENT);
    EXPECT_EQ(events[0].number, 10);
    g_TraceControlBlock.Logger.store(0);
    g_TraceControlBlock.Flags.store(0);
}

TEST_F(TraceEventsTest, InformationFlagAtLevelZeroGivesInformationEventsOnly)
{
    StartTracingWith(TRACE_INFORMATION, 0);
    EXPECT_EQ(g_TraceControlBlock.Level.load(), 0);

    {
        TraceHelper trace("CCryptoAgent::SignMessage");
        TraceStep(E_INVALIDARG, TEXT("failed step"));
        TraceStep(S_OK, TEXT("good step"));
        NPK_TRACE(TRACE_ERROR, TraceMsg(TRACE_GUID_AGENT, 20));
        NPK_TRACE(TRACE_FAILURE, TraceMsg(TRACE_GUID_AGENT, 21));
        NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_AGENT, 22, 7));
    }

    std::vector<Event> events = StopAndRead();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].guid, TRACE_GUID_SHARED);
    EXPECT_EQ(events[0].number, 13);
    EXPECT_EQ(events[1].guid, TRACE_GUID_AGENT);
    EXPECT_EQ(events[1].number, 22);
    EXPECT_EQ(events[1].data, BytesOf<LONG>(7));
}

TEST_F(TraceEventsTest, DisablingTheProviderSilencesItAgain)
{
    StartTracingWith(TRACE_INFORMATION);
    TraceMsgI32(TRACE_GUID_AGENT, 10, 1);
    ASSERT_EQ(m_session->Disable(), (ULONG)ERROR_SUCCESS);
    ASSERT_TRUE(WaitForFlags(0));
    EXPECT_EQ(g_TraceControlBlock.Logger.load(), 0u);
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_AGENT, 11, 2));

    std::vector<Event> events = StopAndRead();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].number, 10);
}

// --- Argument kinds and text substitutions --------------------------------------------------

TEST_F(TraceEventsTest, ArgumentKindsAndTextSubstitutions)
{
    StartTracingWith(TRACE_INFORMATION);
    const WCHAR wide[] = TEXT("Ab\u00e9\u4e2d");

    TraceMsg(TRACE_GUID_BASE64, 10);
    TraceMsgI32(TRACE_GUID_BASE64, 11, -2);
    TraceMsgI64(TRACE_GUID_BASE64, 12, 0x123456789ALL);
    TraceMsgI32x2(TRACE_GUID_BASE64, 13, 5, 6);
    TraceMsgA(TRACE_GUID_BASE64, 14, "text");
    TraceMsgA(TRACE_GUID_BASE64, 15, NULL);
    TraceMsgA(TRACE_GUID_BASE64, 16, "");
    TraceMsgW(TRACE_GUID_BASE64, 17, wide);
    TraceMsgW(TRACE_GUID_BASE64, 18, NULL);
    TraceMsgW(TRACE_GUID_BASE64, 19, TEXT(""));
    TraceMsgAI32(TRACE_GUID_BASE64, 20, NULL, 9);
    TraceMsgWI32(TRACE_GUID_BASE64, 21, TEXT(""), -1);

    std::vector<Event> events = OfGuid(StopAndRead(), TRACE_GUID_BASE64);
    ASSERT_EQ(events.size(), 12u);
    for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i].number, 10 + i);

    EXPECT_TRUE(events[0].data.empty());
    EXPECT_EQ(events[1].data, BytesOf<LONG>(-2));
    EXPECT_EQ(events[2].data, BytesOf<LONGLONG>(0x123456789ALL));
    EXPECT_EQ(events[3].data, Concat({BytesOf<LONG>(5), BytesOf<LONG>(6)}));
    EXPECT_EQ(events[4].data, BytesA("text", 5));
    EXPECT_EQ(events[5].data, BytesA("NULL", 5));
    EXPECT_EQ(events[6].data, BytesA("", 1));
    EXPECT_EQ(events[7].data, BytesW(wide, 5));
    EXPECT_EQ(events[8].data, BytesW(TEXT("NULL"), 5));
    EXPECT_EQ(events[8].data.size(), 10u);
    EXPECT_EQ(events[9].data, BytesW(TEXT("<NULL>"), 7));
    EXPECT_EQ(events[9].data.size(), 14u);
    EXPECT_EQ(events[10].data, Concat({BytesA("NULL", 5), BytesOf<LONG>(9)}));
    EXPECT_EQ(events[11].data, Concat({BytesW(TEXT("<NULL>"), 7), BytesOf<LONG>(-1)}));
}

TEST_F(TraceEventsTest, TracingKeepsTheThreadsLastError)
{
    StartTracingWith(0xF);
    SetLastError(1234);
    {
        TraceHelper trace("KeepsLastError");
        EXPECT_EQ(GetLastError(), 1234u);
        SetLastError(5678);
    }
    EXPECT_EQ(GetLastError(), 5678u);

    SetLastError(42);
    TraceStep(E_FAIL, TEXT("x"));
    TraceStepEx(S_OK, TEXT("F"), TEXT("D"));
    TraceMsgA(TRACE_GUID_AGENT, 10, NULL);
    TraceMsgW(TRACE_GUID_AGENT, 11, TEXT(""));
    TraceMsgI64(TRACE_GUID_AGENT, 12, 1);
    EXPECT_EQ(GetLastError(), 42u);

    // Also when the session has gone and every emission fails underneath.
    m_session->Stop();
    SetLastError(77);
    { TraceHelper trace("SessionGone"); }
    TraceMsgWI32(TRACE_GUID_AGENT, 13, TEXT("y"), 1);
    EXPECT_EQ(GetLastError(), 77u);
}

// --- TraceHelper ----------------------------------------------------------------------------

void Inner(bool fail)
{
    TraceHelper trace("Inner");
    if (fail) throw std::runtime_error("unwinding");
}

void Outer(bool fail)
{
    TraceHelper trace("Outer");
    Inner(fail);
}

TEST_F(TraceEventsTest, TraceHelperPairsNestAndCloseOnUnwinding)
{
    StartTracingWith(TRACE_FUNCTION);
    Outer(false);
    EXPECT_THROW(Outer(true), std::runtime_error);
    TraceStep(S_OK, TEXT("not a function event"));
    TraceStep(E_FAIL, TEXT("not a function event"));

    std::vector<Event> events = StopAndRead();
    const std::pair<USHORT, const char*> expected[] = {
        {10, "Outer"}, {10, "Inner"}, {11, "Inner"}, {11, "Outer"},
        {10, "Outer"}, {10, "Inner"}, {11, "Inner"}, {11, "Outer"}};
    ASSERT_EQ(events.size(), std::size(expected));
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].guid, TRACE_GUID_SHARED);
        EXPECT_EQ(events[i].number, expected[i].first) << i;
        EXPECT_EQ(events[i].data, BytesA(expected[i].second, std::strlen(expected[i].second) + 1)) << i;
    }
}

// --- TraceStep and TraceStepEx --------------------------------------------------------------

TEST_F(TraceEventsTest, StepResultsChooseEventAndFlagBySign)
{
    StartTracingWith(TRACE_FAILURE | TRACE_INFORMATION);
    TraceStep(S_FALSE, TEXT("Maybe"));
    TraceStep(S_OK, TEXT(""));
    TraceStep((HRESULT)0x80090008, TEXT("Bad algorithm"));
    TraceStep(0x7FFFFFFF, NULL);

    std::vector<Event> events = StopAndRead();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].number, 13);
    EXPECT_EQ(events[0].data, Concat({BytesW(TEXT("Maybe"), 6), BytesOf<LONG>(1)}));
    EXPECT_EQ(events[1].number, 13);
    EXPECT_EQ(events[1].data, Concat({BytesW(TEXT("<NULL>"), 7), BytesOf<LONG>(0)}));
    EXPECT_EQ(events[2].number, 12);
    EXPECT_EQ(events[2].data, Concat({BytesW(TEXT("Bad algorithm"), 14), BytesOf<LONG>((LONG)0x80090008)}));
    EXPECT_EQ(events[3].number, 13);
    EXPECT_EQ(events[3].data, Concat({BytesW(TEXT("NULL"), 5), BytesOf<LONG>(0x7FFFFFFF)}));
}

TEST_F(TraceEventsTest, StepEventsFollowTheirOwnFlagOnly)
{
    StartTracingWith(TRACE_FAILURE);
    TraceStep(S_OK, TEXT("quiet"));
    TraceStepEx(S_FALSE, TEXT("F"), TEXT("quiet"));
    TraceStep(E_FAIL, TEXT("loud"));
    TraceStepEx(E_OUTOFMEMORY, TEXT("F"), TEXT("loud"));

    std::vector<Event> events = StopAndRead();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].number, 12);
    EXPECT_EQ(events[1].number, 12);
    EXPECT_EQ(events[1].data, Concat({BytesW(TEXT("F - loud"), 9), BytesOf<LONG>(E_OUTOFMEMORY)}));
}

TEST_F(TraceEventsTest, ComposedStepTextsAndTheirValues)
{
    StartTracingWith(TRACE_FAILURE | TRACE_INFORMATION);
    TraceStepEx(S_FALSE, TEXT("CCryptoAgent::SignMessage"), TEXT("Done."));
    TraceStepEx((HRESULT)0x80004005, TEXT("CCryptoAgent::SignMessage"), TEXT("SignData (Kernel) FAILED."));
    std::basic_string<WCHAR> longText(600, (WCHAR)'x');
    TraceStepEx(E_FAIL, TEXT("Fn"), longText.c_str());
    TraceStepEx(S_OK, NULL, TEXT(""));

    std::vector<Event> events = StopAndRead();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].number, 13);
    const WCHAR done[] = TEXT("CCryptoAgent::SignMessage - Done.");
    EXPECT_EQ(events[0].data, Concat({BytesW(done, ARRAYSIZE(done)), BytesOf<LONG>(0)}));
    EXPECT_EQ(events[1].number, 12);
    const WCHAR failed[] = TEXT("CCryptoAgent::SignMessage - SignData (Kernel) FAILED.");
    EXPECT_EQ(events[1].data, Concat({BytesW(failed, ARRAYSIZE(failed)), BytesOf<LONG>((LONG)0x80004005)}));

    // Cut to 511 characters and its NUL.
    std::basic_string<WCHAR> cut = TEXT("Fn - ") + longText;
    cut.resize(511);
    EXPECT_EQ(events[2].data, Concat({BytesW(cut.c_str(), 512), BytesOf<LONG>(E_FAIL)}));
    const WCHAR nulls[] = TEXT("NULL - ");
    EXPECT_EQ(events[3].data, Concat({BytesW(nulls, ARRAYSIZE(nulls)), BytesOf<LONG>(0)}));
}

}  // namespace
