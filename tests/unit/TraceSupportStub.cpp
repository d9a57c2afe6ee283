// Before the trace support is loaded, the message entry point loads it on first use and
// forwards the event. This needs a process in which nothing has loaded it yet, so it is a
// test program of its own.
#include "TraceTestSession.h"

using namespace tracetest;

namespace {

class TraceSupportStubTest : public TraceTest {};

TEST_F(TraceSupportStubTest, FirstEventLoadsSupportAndIsDelivered)
{
    ASSERT_EQ(TraceMessageFound(), 0u);
    PFN_TRACE_MESSAGE stub = TraceMessageEntryPoint();
    EXPECT_NE((void*)stub, (void*)&TraceMessage);
    EXPECT_NE((void*)stub, (void*)&TraceMessageFallback);

    Session& session = StartSession(0);
    LONG value = 17;
    stub(session.Handle(), NPK_TRACE_MESSAGE_FLAGS, &TRACE_GUID_DER, 40, (PVOID)&value,
         (SIZE_T)sizeof(value), (PVOID)NULL, (SIZE_T)0);

    EXPECT_EQ(TraceMessageFound(), 1u);
    EXPECT_EQ((void*)TraceMessageEntryPoint(), (void*)&TraceMessage);
    std::vector<Event> events = StopAndRead();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_FALSE(events[0].classic);
    EXPECT_EQ(events[0].guid, TRACE_GUID_DER);
    EXPECT_EQ(events[0].number, 40);
    EXPECT_EQ(events[0].data, BytesOf<LONG>(17));
}

}  // namespace
