#include "common/system/ztimer.h"
#include "common/system/zwin.h"
#include "common/system/zinit.h"
#include <ctime>

ZMemoryArena& (*const g_pfnZInitAnchor)() = &ZGetProcessArena;

namespace
{
// Written once; a race between two first readers stores the same value.
int64_t s_nFrequency = 0;
}

int64_t ZTimer::GetCounter()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

int64_t ZTimer::GetFrequency()
{
    if (s_nFrequency == 0) {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        s_nFrequency = frequency.QuadPart;
    }
    return s_nFrequency;
}

int64_t ZTimer::CounterToTicks(int64_t nCounter, int64_t nFrequency)
{
    if (nFrequency <= 0)
        return 0;
    // counter * 2^20 would overflow after ~10 days at 10 MHz: scale quotient and remainder apart.
    int64_t nWhole = nCounter / nFrequency;
    int64_t nRest = nCounter % nFrequency;
    return nWhole * TICKS_PER_SECOND + (nRest * TICKS_PER_SECOND) / nFrequency;
}

int64_t ZTimer::Now()
{
    return CounterToTicks(GetCounter(), GetFrequency());
}

ZStringBuffer<256> ZDateTimeText(const char* szFormat)
{
    char szText[1024];
    szText[0] = 0;
    time_t now = time(nullptr);
    struct tm* pLocal = localtime(&now);
    if (pLocal == nullptr || strftime(szText, sizeof(szText), szFormat, pLocal) == 0)
        szText[0] = 0;
    return ZStringBuffer<256>(szText);
}
