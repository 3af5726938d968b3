#include "common/system/zinit.h"
#include "common/system/zthread.h"
#include "common/system/ztimer.h"
#include "common/system/zmessagebox.h"
#include "common/system/zlog.h"
#include "common/containers/zallocator.h"
#include <gtest/gtest.h>
#include <cmath>
#include <cstring>
#include <ctime>

namespace
{
// What probes placed between the start-up steps saw.
struct StartupView
{
    bool m_bRan;
    bool m_bRegistryEnabled;
    bool m_bHasCurrentThread;
    bool m_bSocketWorks;
    uint32_t m_nArenaFree;
    uint32_t m_nMxcsr;
};

StartupView s_BeforeArena, s_AfterArena, s_AfterRegistry, s_AfterWinsock, s_BeforeFloatMode, s_Default;

bool SocketWorks()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return false;
    closesocket(s);
    return true;
}

struct Probe
{
    explicit Probe(StartupView& view)
    {
        view.m_bRan = true;
        view.m_bRegistryEnabled = ZThreadRegistry::IsEnabled();
        view.m_bHasCurrentThread = ZThread::Current().IsValid();
        view.m_bSocketWorks = SocketWorks();
        view.m_nArenaFree = ZGetProcessArena().GetOffsetAllocator().GetTotalFree();
        view.m_nMxcsr = ZGetMxcsr();
    }
};

Probe s_ProbeBeforeArena ZINIT_PRIORITY(ZINIT_STEP_ARENA - 5)(s_BeforeArena);
Probe s_ProbeAfterArena ZINIT_PRIORITY(ZINIT_STEP_ARENA + 5)(s_AfterArena);
Probe s_ProbeAfterRegistry ZINIT_PRIORITY(ZINIT_STEP_THREAD_REGISTRY + 5)(s_AfterRegistry);
Probe s_ProbeAfterWinsock ZINIT_PRIORITY(ZINIT_STEP_WINSOCK + 5)(s_AfterWinsock);
Probe s_ProbeBeforeFloatMode ZINIT_PRIORITY(ZINIT_STEP_FLOAT_MODE - 5)(s_BeforeFloatMode);
Probe s_ProbeDefault(s_Default);
}

TEST(StartupTest, StepsRunBeforeMainInTheirOrder)
{
    ASSERT_TRUE(s_BeforeArena.m_bRan && s_AfterArena.m_bRan && s_AfterRegistry.m_bRan && s_AfterWinsock.m_bRan &&
                s_BeforeFloatMode.m_bRan && s_Default.m_bRan);

    // Before the arena nothing of the engine exists yet.
    EXPECT_EQ(0u, s_BeforeArena.m_nArenaFree);
    EXPECT_FALSE(s_BeforeArena.m_bRegistryEnabled);
    EXPECT_FALSE(s_BeforeArena.m_bHasCurrentThread);
    EXPECT_FALSE(s_BeforeArena.m_bSocketWorks);

    // The arena: 16384 bytes less a 128-entry range table.
    EXPECT_EQ(15360u, s_AfterArena.m_nArenaFree);
    EXPECT_FALSE(s_AfterArena.m_bRegistryEnabled);

    EXPECT_TRUE(s_AfterRegistry.m_bRegistryEnabled);
    EXPECT_TRUE(s_AfterRegistry.m_bHasCurrentThread);
    EXPECT_FALSE(s_AfterRegistry.m_bSocketWorks);

    EXPECT_TRUE(s_AfterWinsock.m_bSocketWorks);

    // Only the last step touches the floating-point mode.
    EXPECT_EQ(0u, s_BeforeFloatMode.m_nMxcsr & ZMXCSR_DENORMALS_ARE_ZERO);
    EXPECT_EQ(ZStartupMxcsr(s_BeforeFloatMode.m_nMxcsr), s_Default.m_nMxcsr);
    EXPECT_TRUE(s_Default.m_bRegistryEnabled && s_Default.m_bSocketWorks);
}

TEST(StartupTest, FloatModeIsDenormalsAreZeroAndRoundToNearest)
{
    uint32_t nMxcsr = ZGetMxcsr();
    EXPECT_NE(0u, nMxcsr & ZMXCSR_DENORMALS_ARE_ZERO);
    EXPECT_EQ(0u, nMxcsr & ZMXCSR_ROUNDING);
    // The rest is left as it was: every exception stays masked.
    EXPECT_EQ(0x1F80u, nMxcsr & 0x1F80u);

#if defined(__SSE_MATH__)
    volatile float fDenormal = 1e-40f;
    volatile float fOne = 1.0f;
    EXPECT_EQ(0.0f, fDenormal * fOne);
    EXPECT_EQ(0.0f, fDenormal + 0.0f);
    // 1 + 1.5 ulp/2 lies nearer to 1 + 1 ulp than to 1: only round-to-nearest goes up.
    volatile float fSmall = 0x1.8p-24f;
    EXPECT_EQ(1.0f + 0x1p-23f, fOne + fSmall);
    volatile float fNegative = -0x1.8p-24f;
    EXPECT_EQ(-1.0f - 0x1p-23f, -fOne + fNegative);
#endif
}

TEST(StartupTest, AngleFactorsFillEveryLane)
{
    for (int i = 0; i < 4; ++i) {
        EXPECT_FLOAT_EQ(57.295776f, g_vRadiansToDegrees.m_f[i]);
        EXPECT_FLOAT_EQ(0.017453292f, g_vDegreesToRadians.m_f[i]);
    }
}

TEST(StartupTest, NoDebuggerMeansNoDebuggerOutput)
{
    if (IsDebuggerPresent())
        GTEST_SKIP() << "running under a debugger";
    EXPECT_FALSE(ZDebugOutput::IsEnabled());
}

TEST(ZTimerTest, CounterToTicksDoesNotOverflow)
{
    const int64_t nTicks = ZTimer::TICKS_PER_SECOND;
    const struct
    {
        int64_t nCounter;
        int64_t nFrequency;
        int64_t nTicks;
    } cases[] = {
        {10000000, 10000000, nTicks},
        {5000000, 10000000, nTicks / 2},
        {0, 10000000, 0},
        // 30 days at 10 MHz: counter * 2^20 is far beyond 64 bits.
        {30LL * 86400 * 10000000, 10000000, 30LL * 86400 * nTicks},
        // A year at 3 GHz plus a third of a second.
        {365LL * 86400 * 3000000000LL + 1000000000LL, 3000000000LL, 365LL * 86400 * nTicks + nTicks / 3},
        {1, 3, 349525},
        {12345, 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.nTicks, ZTimer::CounterToTicks(c.nCounter, c.nFrequency)) << c.nCounter << " / " << c.nFrequency;
}

TEST(ZTimerTest, HalfASecondIsAboutHalfAMillionTicks)
{
    EXPECT_EQ(1048576, ZTimer::GetTicksPerSecond());
    EXPECT_GT(ZTimer::GetFrequency(), 0);
    EXPECT_EQ(ZTimer::GetFrequency(), ZTimer::GetFrequency());
    // The upper bound comes from the system's own counter over the same span: a busy machine
    // may sleep far longer than asked.
    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    int64_t nStart = ZTimer::Now();
    Sleep(500);
    int64_t nElapsed = ZTimer::GetTicks() - nStart;
    QueryPerformanceCounter(&after);
    double dSeconds = static_cast<double>(after.QuadPart - before.QuadPart) / static_cast<double>(frequency.QuadPart);
    EXPECT_GE(nElapsed, 524288 - 20000);
    EXPECT_LE(nElapsed, static_cast<int64_t>(dSeconds * 1048576) + 20000);
    EXPECT_LE(ZTimer::CounterToTicks(ZTimer::GetCounter(), ZTimer::GetFrequency()) - ZTimer::Now(), 0);
}

TEST(ZDateTimeTextTest, FormatsTheLocalTime)
{
    time_t now = time(nullptr);
    char szYear[8];
    strftime(szYear, sizeof(szYear), "%Y", localtime(&now));
    ZStringBuffer<256> text = ZDateTimeText("%Y");
    if (strcmp(szYear, text.GetData()) != 0) {
        now = time(nullptr);  // the year changed between the two calls
        strftime(szYear, sizeof(szYear), "%Y", localtime(&now));
    }
    EXPECT_STREQ(szYear, text.GetData());
    EXPECT_EQ(10, ZDateTimeText("%Y-%m-%d").GetLength());
    EXPECT_STREQ("", ZDateTimeText("").GetData());
    // More than fits the 1024-byte buffer gives the empty text, not an overrun.
    std::string sLong(1100, 'x');
    EXPECT_STREQ("", ZDateTimeText(sLong.c_str()).GetData());
}

namespace
{
// Closes the next message box that the calling test thread shows, by a button's command.
struct BoxCloser
{
    BoxCloser(int nButton) : m_nButton(nButton), m_nOwnerThread(GetCurrentThreadId())
    {
        m_Thread = ZThread::Create(&Run, this);
    }
    ~BoxCloser() { m_Thread.Wait(30000); }

    static BOOL CALLBACK FindBox(HWND hWnd, LPARAM lParam)
    {
        char szClass[16];
        if (GetClassNameA(hWnd, szClass, sizeof(szClass)) && strcmp(szClass, "#32770") == 0) {
            *reinterpret_cast<HWND*>(lParam) = hWnd;
            return FALSE;
        }
        return TRUE;
    }

    static int32_t Run(void* pParameter)
    {
        BoxCloser* pThis = static_cast<BoxCloser*>(pParameter);
        for (int nTry = 0; nTry < 300; ++nTry) {
            HWND hBox = nullptr;
            EnumThreadWindows(pThis->m_nOwnerThread, &FindBox, reinterpret_cast<LPARAM>(&hBox));
            if (hBox != nullptr && IsWindowVisible(hBox)) {
                GetWindowTextW(hBox, pThis->m_szCaption, 64);
                GetDlgItemTextW(hBox, 0xFFFF, pThis->m_szText, 64);
                pThis->m_bHadCancel = GetDlgItem(hBox, IDCANCEL) != nullptr;
                PostMessageW(hBox, WM_COMMAND, pThis->m_nButton, 0);
                return 1;
            }
            Sleep(50);
        }
        return 0;
    }

    int m_nButton;
    DWORD m_nOwnerThread;
    wchar_t m_szCaption[64] = {};
    wchar_t m_szText[64] = {};
    bool m_bHadCancel = false;
    ZThread m_Thread;
};
}

TEST(ZMessageBoxTest, BoxesCloseWithTheChosenButton)
{
    {
        BoxCloser closer(IDOK);
        EXPECT_TRUE(ZMessageBoxOkCancel("Carry on?"));
        closer.m_Thread.Wait(30000);
        EXPECT_STREQ(L"vpplayer", closer.m_szCaption);
        EXPECT_STREQ(L"Carry on?", closer.m_szText);
        EXPECT_TRUE(closer.m_bHadCancel);
    }
    {
        BoxCloser closer(IDCANCEL);
        EXPECT_FALSE(ZMessageBoxOkCancel("Carry on?"));
    }
    {
        BoxCloser closer(IDOK);
        ZMessageBox("Done");
        closer.m_Thread.Wait(30000);
        EXPECT_STREQ(L"vpplayer", closer.m_szCaption);
        EXPECT_STREQ(L"Done", closer.m_szText);
    }
}

TEST(ZMessageBoxTest, WideBoxConvertsUtf8)
{
    BoxCloser closer(IDOK);
    ZMessageBoxW("Caf\xC3\xA9 \xE2\x82\xAC",
                 "\xC3\xBC"
                 "ber");
    closer.m_Thread.Wait(30000);
    EXPECT_STREQ(L"Caf\u00E9 \u20AC", closer.m_szCaption);
    EXPECT_STREQ(L"\u00FCber", closer.m_szText);
}
