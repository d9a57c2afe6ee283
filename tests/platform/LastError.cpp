// Last error per thread, local/heap memory and the FILETIME conversions.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

TEST(LastError, IsKeptPerThread)
{
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seenByOther = 0xFFFFFFFF;
    DWORD afterOtherSet = 0;
    std::thread other([&] {
        seenByOther = GetLastError();  // a new thread starts with no error
        SetLastError(ERROR_INVALID_DATA);
        afterOtherSet = GetLastError();
    });
    other.join();
    EXPECT_EQ(seenByOther, (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(afterOtherSet, (DWORD)ERROR_INVALID_DATA);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST(LastError, HoldsHresultValues)
{
    SetLastError((DWORD)0x80092004);
    EXPECT_EQ(GetLastError(), (DWORD)0x80092004);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), 0u);
}

TEST(LocalMemory, ZeroInitAndFree)
{
    BYTE* p = static_cast<BYTE*>(LocalAlloc(LPTR, 100));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(LocalSize(p), 100u);
    EXPECT_EQ(LocalLock(p), p);
    EXPECT_EQ(LocalFree(p), nullptr);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

TEST(LocalMemory, RejectsUnknownFlags)
{
    SetLastError(0);
    EXPECT_EQ(LocalAlloc(0x1000, 10), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(HeapMemory, ReAllocKeepsContentAndZeroesGrowth)
{
    HANDLE heap = GetProcessHeap();
    char* p = static_cast<char*>(HeapAlloc(heap, 0, 4));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "abcd", 4);
    char* q = static_cast<char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, p, 64));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(std::memcmp(q, "abcd", 4), 0);
    for (int i = 4; i < 64; ++i) ASSERT_EQ(q[i], 0) << i;
    EXPECT_EQ(HeapSize(heap, 0, q), 64u);
    EXPECT_TRUE(HeapFree(heap, 0, q));
    EXPECT_TRUE(HeapFree(heap, 0, nullptr));
}

TEST(FileTimeConversion, KnownInstantsBothWays)
{
    // 2000-02-29 12:34:56.789 UTC, a Tuesday: 125963012967890000 in 100 ns units since 1601.
    ULONGLONG v = 125963012967890000ULL;
    FILETIME ft{(DWORD)v, (DWORD)(v >> 32)};
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wYear, 2000);
    EXPECT_EQ(st.wMonth, 2);
    EXPECT_EQ(st.wDay, 29);
    EXPECT_EQ(st.wDayOfWeek, 2);
    EXPECT_EQ(st.wHour, 12);
    EXPECT_EQ(st.wMinute, 34);
    EXPECT_EQ(st.wSecond, 56);
    EXPECT_EQ(st.wMilliseconds, 789);

    FILETIME back{};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &back));
    EXPECT_EQ(back.dwLowDateTime, ft.dwLowDateTime);
    EXPECT_EQ(back.dwHighDateTime, ft.dwHighDateTime);

    FILETIME zero{0, 0};
    ASSERT_TRUE(FileTimeToSystemTime(&zero, &st));
    EXPECT_EQ(st.wYear, 1601);
    EXPECT_EQ(st.wMonth, 1);
    EXPECT_EQ(st.wDay, 1);
    EXPECT_EQ(st.wDayOfWeek, 1);
}

TEST(FileTimeConversion, RejectsInvalidDates)
{
    SYSTEMTIME st{2001, 2, 0, 29, 0, 0, 0, 0};  // 2001 is not a leap year
    FILETIME ft{};
    SetLastError(0);
    EXPECT_FALSE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    FILETIME huge{0xFFFFFFFF, 0xFFFFFFFF};
    EXPECT_FALSE(FileTimeToSystemTime(&huge, &st));
}

TEST(SystemClock, FileTimeAgreesWithTheCLibrary)
{
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    ULONGLONG v = ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    long long unixSeconds = (long long)(v / 10000000ULL) - 11644473600LL;
    long long now = (long long)time(nullptr);
    EXPECT_LE(std::llabs(unixSeconds - now), 2);
}
