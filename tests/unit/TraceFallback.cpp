// The built-in fallback over TraceEvent: record layout and size rules, read back from a
// session's file; and the binding of the message entry points.
#include "TraceTestSession.h"

using namespace tracetest;

namespace {

const GUID kMsgGuid = TRACE_GUID_ENVELOPES;

class TraceFallbackTest : public TraceTest {
protected:
    void SetUp() override
    {
        TraceTest::SetUp();
        // No provider needed: the fallback writes straight to the session's handle.
        StartSession(0);
    }
    TRACEHANDLE Logger() const { return m_session->Handle(); }
};

// Calls the va form the way the platform's TraceMessage would forward to it.
ULONG CallFallbackVa(TRACEHANDLE logger, USHORT number, ...)
{
    va_list args;
    va_start(args, number);
    ULONG status = TraceMessageFallbackVa(logger, NPK_TRACE_MESSAGE_FLAGS, &kMsgGuid, number, args);
    va_end(args);
    return status;
}

TEST_F(TraceFallbackTest, RecordCarriesGuidNumberAndEachArgument)
{
    LONG value = 0x01020304;
    const char text[] = "abc";
    EXPECT_EQ(TraceMessageFallback(Logger(), NPK_TRACE_MESSAGE_FLAGS, &kMsgGuid, 31,
                                   (PVOID)text, (SIZE_T)sizeof(text), (PVOID)&value,
                                   (SIZE_T)sizeof(value), (PVOID)NULL, (SIZE_T)0),
              (ULONG)ERROR_SUCCESS);
    EXPECT_EQ(CallFallbackVa(Logger(), 32, (PVOID)NULL, (SIZE_T)0), (ULONG)ERROR_SUCCESS);

    std::vector<Event> events = StopAndRead();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].classic);
    EXPECT_EQ(events[0].classType, 255);
    EXPECT_EQ(events[0].flags, (ULONG)(WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_GUID_PTR | WNODE_FLAG_USE_MOF_PTR));
    EXPECT_EQ(events[0].guid, kMsgGuid);
    EXPECT_EQ(events[0].number, 31);
    EXPECT_EQ(events[0].data, Concat({BytesA(text, 4), BytesOf<LONG>(value)}));
    EXPECT_EQ(events[1].number, 32);
    EXPECT_TRUE(events[1].data.empty());
}

// Arguments i = 0..count-1, each `size` bytes of the value i + 1.
std::vector<std::vector<BYTE>> MakeArgs(int count, size_t size)
{
    std::vector<std::vector<BYTE>> args;
    for (int i = 0; i < count; ++i) args.emplace_back(size, (BYTE)(i + 1));
    return args;
}

ULONG SendArgs(TRACEHANDLE logger, USHORT number, const std::vector<std::vector<BYTE>>& a)
{
    auto p = [&](size_t i) { return (PVOID)a[i].data(); };
    auto n = [&](size_t i) { return (SIZE_T)a[i].size(); };
    switch (a.size()) {
    case 7:
        return TraceMessageFallback(logger, 0, &kMsgGuid, number, p(0), n(0), p(1), n(1), p(2), n(2),
                                    p(3), n(3), p(4), n(4), p(5), n(5), p(6), n(6), (PVOID)NULL, (SIZE_T)0);
    case 8:
        return TraceMessageFallback(logger, 0, &kMsgGuid, number, p(0), n(0), p(1), n(1), p(2), n(2),
                                    p(3), n(3), p(4), n(4), p(5), n(5), p(6), n(6), p(7), n(7),
                                    (PVOID)NULL, (SIZE_T)0);
    case 12:
        return TraceMessageFallback(logger, 0, &kMsgGuid, number, p(0), n(0), p(1), n(1), p(2), n(2),
                                    p(3), n(3), p(4), n(4), p(5), n(5), p(6), n(6), p(7), n(7),
                                    p(8), n(8), p(9), n(9), p(10), n(10), p(11), n(11),
                                    (PVOID)NULL, (SIZE_T)0);
    }
    ADD_FAILURE() << "unsupported argument count";
    return 0;
}

std::vector<BYTE> Joined(const std::vector<std::vector<BYTE>>& args)
{
    std::vector<BYTE> out;
    for (const auto& a : args) out.insert(out.end(), a.begin(), a.end());
    return out;
}

TEST_F(TraceFallbackTest, SevenAndMoreArgumentsArriveWhole)
{
    auto seven = MakeArgs(7, 3);
    auto eight = MakeArgs(8, 5);
    auto twelve = MakeArgs(12, 1);
    EXPECT_EQ(SendArgs(Logger(), 7, seven), (ULONG)ERROR_SUCCESS);
    EXPECT_EQ(SendArgs(Logger(), 8, eight), (ULONG)ERROR_SUCCESS);
    EXPECT_EQ(SendArgs(Logger(), 12, twelve), (ULONG)ERROR_SUCCESS);

    std::vector<Event> events = StopAndRead();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].number, 7);
    EXPECT_EQ(events[0].data, Joined(seven));
    EXPECT_EQ(events[1].number, 8);
    EXPECT_EQ(events[1].data, Joined(eight));
    EXPECT_EQ(events[2].number, 12);
    EXPECT_EQ(events[2].data, Joined(twelve));
}

TEST_F(TraceFallbackTest, EventsAboveEightKilobytesAreDropped)
{
    // 8192 bytes in all is the most one event may carry, with separate fields or joined.
    auto sevenAtLimit = MakeArgs(7, 1170);       // 8190
    sevenAtLimit[0].resize(1172);                // 8192
    auto sevenOver = sevenAtLimit;
    sevenOver[6].push_back(0xEE);                // 8193
    auto eightAtLimit = MakeArgs(8, 1024);       // 8192
    auto eightOver = MakeArgs(8, 1024);
    eightOver[7].push_back(0xEE);                // 8193

    EXPECT_EQ(SendArgs(Logger(), 1, sevenAtLimit), (ULONG)ERROR_SUCCESS);
    SendArgs(Logger(), 2, sevenOver);
    EXPECT_EQ(SendArgs(Logger(), 3, eightAtLimit), (ULONG)ERROR_SUCCESS);
    SendArgs(Logger(), 4, eightOver);

    // Lengths whose sum wraps around are refused before any byte is read.
    BYTE one = 1;
    CallFallbackVa(Logger(), 5, (PVOID)&one, (SIZE_T)1, (PVOID)&one, (SIZE_T)-1, (PVOID)NULL, (SIZE_T)0);
    CallFallbackVa(Logger(), 6, (PVOID)&one, (SIZE_T)8193, (PVOID)NULL, (SIZE_T)0);

    std::vector<Event> events = StopAndRead();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].number, 1);
    EXPECT_EQ(events[0].data, Joined(sevenAtLimit));
    EXPECT_EQ(events[1].number, 3);
    EXPECT_EQ(events[1].data, Joined(eightAtLimit));
}

// What the fallback hands to TraceEvent, seen on the way.
struct SeenRecord {
    USHORT size;
    ULONG flags;
    UCHAR type;
    std::vector<ULONG> fieldLengths;
};
std::vector<SeenRecord> g_seen;
PFN_TRACE_EVENT g_next = nullptr;

ULONG WINAPI ObserveTraceEvent(TRACEHANDLE handle, PEVENT_TRACE_HEADER header)
{
    SeenRecord seen{header->Size, header->Flags, header->Class.Type, {}};
    const MOF_FIELD* fields = reinterpret_cast<const MOF_FIELD*>(header + 1);
    for (size_t i = 0; i < (header->Size - sizeof(EVENT_TRACE_HEADER)) / sizeof(MOF_FIELD); ++i)
        seen.fieldLengths.push_back(fields[i].Length);
    g_seen.push_back(seen);
    return g_next(handle, header);
}

TEST_F(TraceFallbackTest, OneFieldPerArgumentUpToSevenThenOneJoinedField)
{
    g_seen.clear();
    g_next = SetTraceEventSink(&ObserveTraceEvent);
    CallFallbackVa(Logger(), 1, (PVOID)NULL, (SIZE_T)0);
    SendArgs(Logger(), 2, MakeArgs(7, 3));
    SendArgs(Logger(), 3, MakeArgs(8, 5));
    SendArgs(Logger(), 4, MakeArgs(12, 1));
    SetTraceEventSink(g_next);

    ASSERT_EQ(g_seen.size(), 4u);
    EXPECT_EQ(g_seen[0].size, 64);
    EXPECT_EQ(g_seen[0].fieldLengths, std::vector<ULONG>({2}));
    EXPECT_EQ(g_seen[1].size, 16 * (7 + 4));
    EXPECT_EQ(g_seen[1].fieldLengths, std::vector<ULONG>({2, 3, 3, 3, 3, 3, 3, 3}));
    EXPECT_EQ(g_seen[2].size, 80);
    EXPECT_EQ(g_seen[2].fieldLengths, std::vector<ULONG>({2, 40}));
    EXPECT_EQ(g_seen[3].size, 80);
    EXPECT_EQ(g_seen[3].fieldLengths, std::vector<ULONG>({2, 12}));
    for (const SeenRecord& r : g_seen) {
        EXPECT_EQ(r.flags, 0x1A0000u);
        EXPECT_EQ(r.type, 255);
    }
    // And the records reached the session whole.
    std::vector<Event> events = StopAndRead();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[2].data, Joined(MakeArgs(8, 5)));
}

TEST_F(TraceFallbackTest, BindsThePlatformsMessageFunctions)
{
    LoadTraceSupport();
    EXPECT_EQ(TraceMessageFound(), 1u);
    EXPECT_EQ((void*)TraceMessageEntryPoint(), (void*)&TraceMessage);
    EXPECT_EQ((void*)TraceMessageVaEntryPoint(), (void*)&TraceMessageVa);
}

}  // namespace
