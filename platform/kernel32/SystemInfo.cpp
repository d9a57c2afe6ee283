// Process and thread identity, clocks, sleeping and the FILETIME/SYSTEMTIME conversions.
#include <windows.h>

#include <cerrno>
#include <ctime>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr ULONGLONG kTicksPerSecond = 10000000ULL;         // FILETIME counts 100 ns
constexpr ULONGLONG kUnixEpochSeconds = 11644473600ULL;    // 1601-01-01 to 1970-01-01
constexpr LONGLONG kDaysFrom1601ToCivilEpoch = -134774;    // 1601-01-01 relative to 1970-01-01

ULONGLONG Combine(const FILETIME& ft)
{
    return ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

void Split(ULONGLONG v, FILETIME* ft)
{
    ft->dwLowDateTime = (DWORD)v;
    ft->dwHighDateTime = (DWORD)(v >> 32);
}

// Days since 1970-01-01 for a proleptic Gregorian date, and back.
LONGLONG DaysFromCivil(LONGLONG y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const LONGLONG era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = (unsigned)(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (LONGLONG)doe - 719468;
}

void CivilFromDays(LONGLONG z, LONGLONG* y, unsigned* m, unsigned* d)
{
    z += 719468;
    const LONGLONG era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = (unsigned)(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = (LONGLONG)yoe + era * 400 + (*m <= 2);
}

unsigned DaysInMonth(unsigned y, unsigned m)
{
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return (m == 2 && leap) ? 29 : days[m - 1];
}

ULONGLONG ClockNs(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return (ULONGLONG)ts.tv_sec * 1000000000ULL + (ULONGLONG)ts.tv_nsec;
}

}  // namespace

DWORD WINAPI GetCurrentProcessId()
{
    return (DWORD)getpid();
}

DWORD WINAPI GetCurrentThreadId()
{
    return (DWORD)syscall(SYS_gettid);
}

ULONGLONG WINAPI GetTickCount64()
{
    // Windows counts from boot, including time spent suspended.
    return ClockNs(CLOCK_BOOTTIME) / 1000000ULL;
}

DWORD WINAPI GetTickCount()
{
    return (DWORD)GetTickCount64();
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == INFINITE) {
        for (;;) pause();
    }
    timespec ts{(time_t)(dwMilliseconds / 1000), (long)(dwMilliseconds % 1000) * 1000000L};
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount)
{
    if (lpPerformanceCount == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    lpPerformanceCount->QuadPart = (LONGLONG)ClockNs(CLOCK_MONOTONIC);
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency)
{
    if (lpFrequency == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    lpFrequency->QuadPart = 1000000000LL;  // the counter is in nanoseconds
    return TRUE;
}

void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime)
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    ULONGLONG v = ((ULONGLONG)ts.tv_sec + kUnixEpochSeconds) * kTicksPerSecond + (ULONGLONG)ts.tv_nsec / 100;
    Split(v, lpSystemTimeAsFileTime);
}

void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime)
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    FileTimeToSystemTime(&ft, lpSystemTime);
}

BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime)
{
    if (lpFileTime == nullptr || lpSystemTime == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    ULONGLONG v = Combine(*lpFileTime);
    if (v > 0x7FFFFFFFFFFFFFFFULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ULONGLONG totalSeconds = v / kTicksPerSecond;
    ULONGLONG days = totalSeconds / 86400;
    ULONGLONG secOfDay = totalSeconds % 86400;
    LONGLONG y;
    unsigned m, d;
    CivilFromDays((LONGLONG)days + kDaysFrom1601ToCivilEpoch, &y, &m, &d);
    lpSystemTime->wYear = (WORD)y;
    lpSystemTime->wMonth = (WORD)m;
    lpSystemTime->wDay = (WORD)d;
    lpSystemTime->wDayOfWeek = (WORD)((days + 1) % 7);  // 1601-01-01 was a Monday
    lpSystemTime->wHour = (WORD)(secOfDay / 3600);
    lpSystemTime->wMinute = (WORD)(secOfDay / 60 % 60);
    lpSystemTime->wSecond = (WORD)(secOfDay % 60);
    lpSystemTime->wMilliseconds = (WORD)(v % kTicksPerSecond / 10000);
    return TRUE;
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime)
{
    if (lpSystemTime == nullptr || lpFileTime == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    const SYSTEMTIME& st = *lpSystemTime;
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 ||
        st.wSecond > 59 || st.wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    LONGLONG days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) - kDaysFrom1601ToCivilEpoch;
    ULONGLONG seconds = (ULONGLONG)days * 86400 + st.wHour * 3600ULL + st.wMinute * 60ULL + st.wSecond;
    Split(seconds * kTicksPerSecond + st.wMilliseconds * 10000ULL, lpFileTime);
    return TRUE;
}
