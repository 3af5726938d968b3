#include "common/system/zthread.h"
#include "common/system/process.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <vector>

namespace
{
int32_t ReturnArgument(void* pArgument)
{
    return static_cast<int32_t>(reinterpret_cast<intptr_t>(pArgument));
}

int32_t WaitForEvent(void* pEvent)
{
    WaitForSingleObject(static_cast<HANDLE>(pEvent), 10000);
    return 1;
}

int32_t ReturnSerial(void*)
{
    return static_cast<ZThreadDataSync*>(ZThread::GetThreadData())->m_nSerial;
}

// A manual-reset event that threads under test wait for.
struct Gate
{
    Gate() : m_hEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Gate()
    {
        Open();
        CloseHandle(m_hEvent);
    }
    void Open() { SetEvent(m_hEvent); }
    HANDLE m_hEvent;
};

int CountRegistered()
{
    return ZThreadRegistry::Enumerate(nullptr, 0);
}

bool IsRegistered(DWORD nId)
{
    char szName[8];
    return ZThreadRegistry::GetThreadName(nId, szName, sizeof(szName));
}

// Waits for the thread (at most nWaitMs) and checks that it has ended with the code.
void ExpectEndsWith(ZThread& thread, int32_t nExitCode, DWORD nWaitMs = INFINITE)
{
    thread.Wait(nWaitMs);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(nExitCode, thread.GetExitCode());
}
}

TEST(ZThreadTest, ExitCodeKeepsTheLowByteOfTheResult)
{
    const struct
    {
        int32_t nResult;
        int32_t nExitCode;
    } cases[] = {{0x1234, 0x34}, {0, 0}, {0xFF, 0xFF}, {0x100, 0}, {-1, 0xFF}};
    for (const auto& c : cases) {
        ZThread thread = ZThread::Create(&ReturnArgument, reinterpret_cast<void*>(static_cast<intptr_t>(c.nResult)));
        ASSERT_TRUE(thread.IsValid());
        SCOPED_TRACE(c.nResult);
        ExpectEndsWith(thread, c.nExitCode);
    }
}

TEST(ZThreadTest, NamesAreKeptAndFoundById)
{
    Gate gate;
    ZThread thread = ZThread::Create(&WaitForEvent, gate.m_hEvent);
    ASSERT_TRUE(thread.IsValid());
    // No debugger is attached: the naming exception must not escape.
    thread.SetName("download worker");
    EXPECT_STREQ("download worker", thread.GetName().GetData());

    char szName[64];
    ASSERT_TRUE(ZThreadRegistry::GetThreadName(thread.GetId(), szName, sizeof(szName)));
    EXPECT_STREQ("download worker", szName);
    ASSERT_TRUE(ZThreadRegistry::GetThreadName(thread.GetId(), szName, 5));
    EXPECT_STREQ("down", szName);
    EXPECT_FALSE(ZThreadRegistry::GetThreadName(0, szName, sizeof(szName)));

    ZThread copy = thread;
    EXPECT_TRUE(copy == thread);
    EXPECT_STREQ("download worker", copy.GetName().GetData());
    gate.Open();
    thread.Wait(INFINITE);
}

TEST(ZThreadTest, EmptyHandleAnswersNothing)
{
    ZThread empty;
    EXPECT_FALSE(empty.IsValid());
    EXPECT_FALSE(empty.IsRunning());
    EXPECT_FALSE(empty.Suspend());
    EXPECT_FALSE(empty.Resume());
    EXPECT_EQ(0u, empty.GetId());
    EXPECT_EQ(nullptr, empty.GetData());
    EXPECT_STREQ("Invalid", empty.GetName().GetData());
    empty.SetName("ignored");
    empty.SetPriority(ZThread::PRIORITY_HIGHEST);
    empty.Wait(0);
    EXPECT_STREQ("Invalid", empty.GetName().GetData());
    EXPECT_TRUE(empty == ZThread());
}

TEST(ZThreadTest, PriorityLevelsMapToThreadPriorities)
{
    const struct
    {
        int nLevel;
        int nPriority;
    } cases[] = {
        {0, THREAD_PRIORITY_IDLE},          {1, THREAD_PRIORITY_LOWEST},       {2, THREAD_PRIORITY_BELOW_NORMAL},
        {3, THREAD_PRIORITY_NORMAL},        {4, THREAD_PRIORITY_ABOVE_NORMAL}, {5, THREAD_PRIORITY_HIGHEST},
        {6, THREAD_PRIORITY_TIME_CRITICAL}, {9, THREAD_PRIORITY_NORMAL},       {-1, THREAD_PRIORITY_NORMAL},
    };
    ZThread thread = ZThread::Create(&ReturnArgument, nullptr, 0, true);
    ASSERT_TRUE(thread.IsValid());
    HANDLE hThread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, thread.GetId());
    ASSERT_NE(nullptr, hThread);
    for (const auto& c : cases) {
        // Start from another value so a call that does nothing shows.
        SetThreadPriority(hThread,
                          c.nPriority == THREAD_PRIORITY_LOWEST ? THREAD_PRIORITY_HIGHEST : THREAD_PRIORITY_LOWEST);
        thread.SetPriority(c.nLevel);
        EXPECT_EQ(c.nPriority, GetThreadPriority(hThread)) << "level " << c.nLevel;
    }
    CloseHandle(hThread);
    EXPECT_TRUE(thread.Resume());
    thread.Wait(INFINITE);
}

TEST(ZThreadTest, SuspendedThreadRunsOnlyAfterResume)
{
    ZThread thread = ZThread::Create(&ReturnArgument, reinterpret_cast<void*>(5), 64 * 1024, true);
    ASSERT_TRUE(thread.IsValid());
    Sleep(50);
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_TRUE(thread.Suspend());
    EXPECT_TRUE(thread.Resume());
    EXPECT_TRUE(thread.Resume());
    ExpectEndsWith(thread, 5);
}

TEST(ZThreadTest, TerminatedThreadEndsWithMinusOne)
{
    Gate gate;
    ZThread thread = ZThread::Create(&WaitForEvent, gate.m_hEvent);
    ASSERT_TRUE(thread.IsValid());
    thread.Terminate();
    ExpectEndsWith(thread, -1, 5000);
}

// Ended before it ran, while starting, or while in its entry: the thread's own reference is
// released all the same, and the registry stays usable for the threads after it.
TEST(ZThreadTest, TerminatedThreadLeavesNothingInTheRegistry)
{
    Gate gate;
    for (bool bSuspended : {true, false}) {
        for (int i = 0; i < 20; ++i) {
            DWORD nId;
            {
                ZThread thread = ZThread::Create(&WaitForEvent, gate.m_hEvent, 0, bSuspended);
                ASSERT_TRUE(thread.IsValid());
                nId = thread.GetId();
                thread.Terminate();
                EXPECT_FALSE(thread.IsRunning()) << "suspended " << bSuspended << " run " << i;
                EXPECT_EQ(-1, thread.GetExitCode());
            }
            EXPECT_FALSE(IsRegistered(nId)) << "suspended " << bSuspended << " run " << i;
        }
    }
    ZThread after = ZThread::Create(&ReturnArgument, reinterpret_cast<void*>(7));
    ASSERT_TRUE(after.IsValid());
    ExpectEndsWith(after, 7);
}

TEST(ZThreadTest, RecordLivesWhileAHandleOrTheThreadHoldsIt)
{
    Gate gate;
    DWORD nId;
    {
        ZThread thread = ZThread::Create(&WaitForEvent, gate.m_hEvent);
        ASSERT_TRUE(thread.IsValid());
        nId = thread.GetId();
        EXPECT_TRUE(IsRegistered(nId));
    }
    // Only the running thread holds it now.
    EXPECT_TRUE(IsRegistered(nId));
    HANDLE hThread = OpenThread(SYNCHRONIZE, FALSE, nId);
    ASSERT_NE(nullptr, hThread);
    gate.Open();
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    EXPECT_FALSE(IsRegistered(nId));

    // The other way round: the thread has ended, the handle keeps the entry.
    ZThread ended = ZThread::Create(&ReturnArgument, nullptr);
    ended.Wait(INFINITE);
    EXPECT_TRUE(IsRegistered(ended.GetId()));
    DWORD nEndedId = ended.GetId();
    ended = ZThread();
    EXPECT_FALSE(IsRegistered(nEndedId));
}

namespace
{
struct ForeignResult
{
    bool m_bValid;
    bool m_bSame;
    DWORD m_nId;
    bool m_bDataInRecord;
};

DWORD WINAPI ForeignThread(LPVOID pParameter)
{
    ForeignResult* pResult = static_cast<ForeignResult*>(pParameter);
    ZThread first = ZThread::Current();
    ZThread second = ZThread::Current();
    pResult->m_bValid = first.IsValid();
    pResult->m_bSame = first == second;
    pResult->m_nId = first.GetId();
    void* pData = ZThread::GetThreadData();
    pResult->m_bDataInRecord = pData != nullptr && first.GetData() == pData && ZThread::GetThreadData() == pData;
    return 0;
}
}

TEST(ZThreadTest, CurrentAdoptsAThreadTheEngineDidNotStart)
{
    ForeignResult result = {};
    DWORD nId = 0;
    HANDLE hThread = CreateThread(nullptr, 0, &ForeignThread, &result, 0, &nId);
    ASSERT_NE(nullptr, hThread);
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    EXPECT_TRUE(result.m_bValid);
    EXPECT_TRUE(result.m_bSame);
    EXPECT_EQ(nId, result.m_nId);
    EXPECT_TRUE(result.m_bDataInRecord);
    // The registry keeps an adopted thread until it shuts down.
    EXPECT_TRUE(IsRegistered(nId));

    ZThread main1 = ZThread::Current();
    ZThread main2 = ZThread::Current();
    EXPECT_TRUE(main1 == main2);
    EXPECT_EQ(GetCurrentThreadId(), main1.GetId());
    EXPECT_TRUE(main1.IsRunning());
}

TEST(ZThreadRegistryTest, EnumerateFillsLowestIdsFirstAndCountsAll)
{
    int nBefore = CountRegistered();
    std::vector<ZThread> threads;
    for (int i = 0; i < 5; ++i) {
        threads.push_back(ZThread::Create(&ReturnArgument, nullptr, 0, true));
        ASSERT_TRUE(threads.back().IsValid());
    }
    int nAll = nBefore + 5;

    std::vector<ZThread> all(nAll + 3);
    EXPECT_EQ(nAll, ZThreadRegistry::Enumerate(all.data(), static_cast<int>(all.size())));
    for (int i = 1; i < nAll; ++i)
        EXPECT_LT(all[i - 1].GetId(), all[i].GetId());
    EXPECT_FALSE(all[nAll].IsValid());
    for (const ZThread& thread : threads)
        EXPECT_NE(all.begin() + nAll, std::find(all.begin(), all.begin() + nAll, thread));

    // Refilling an array that already holds handles replaces them.
    ZThread two[2];
    EXPECT_EQ(nAll, ZThreadRegistry::Enumerate(two, 2));
    EXPECT_EQ(nAll, ZThreadRegistry::Enumerate(two, 2));
    EXPECT_EQ(all[0].GetId(), two[0].GetId());
    EXPECT_EQ(all[1].GetId(), two[1].GetId());

    for (ZThread& thread : threads) {
        thread.Resume();
        thread.Wait(INFINITE);
    }
    all.clear();
    threads.clear();
    two[0] = two[1] = ZThread();
    EXPECT_EQ(nBefore, CountRegistered());
}

TEST(ZThreadTest, PerThreadSerialsWrapAfter256Threads)
{
    std::vector<int> serials;
    for (int i = 0; i < 257; ++i) {
        ZThread thread = ZThread::Create(&ReturnSerial, nullptr);
        ASSERT_TRUE(thread.IsValid());
        thread.Wait(INFINITE);
        ASSERT_FALSE(thread.IsRunning());
        serials.push_back(thread.GetExitCode());
    }
    for (int i = 1; i < 257; ++i)
        EXPECT_EQ((serials[0] + i) & 0xFF, serials[i]) << i;
    EXPECT_EQ(serials[0], serials[256]);
}

namespace
{
DWORD s_nSlot = TLS_OUT_OF_INDEXES;
DWORD s_nEmptySlot = TLS_OUT_OF_INDEXES;
void* s_pDestroyed = nullptr;
int s_nDestroyCalls = 0;

void DestroySlot(void* pValue)
{
    s_pDestroyed = pValue;
    ++s_nDestroyCalls;
}

int32_t SetSlot(void* pValue)
{
    TlsSetValue(s_nSlot, pValue);
    return 0;
}
}

TEST(ZTlsSlotsTest, DestructorsRunWhenAnEngineThreadEnds)
{
    s_nSlot = TlsAlloc();
    s_nEmptySlot = TlsAlloc();
    ASSERT_NE(TLS_OUT_OF_INDEXES, s_nSlot);
    ZTlsSlots::Register(s_nSlot, &DestroySlot);
    ZTlsSlots::Register(s_nEmptySlot, &DestroySlot);  // never set: its destructor must not run

    int nValue = 0;
    ZThread thread = ZThread::Create(&SetSlot, &nValue);
    thread.Wait(INFINITE);
    EXPECT_EQ(&nValue, s_pDestroyed);
    EXPECT_EQ(1, s_nDestroyCalls);

    // Replacing with no destructor stops the calls. The slots stay allocated, since the table
    // has no way to drop them.
    ZTlsSlots::Register(s_nSlot, nullptr);
    thread = ZThread::Create(&SetSlot, &nValue);
    thread.Wait(INFINITE);
    EXPECT_EQ(1, s_nDestroyCalls);
}

TEST(ZThreadTest, ProcessorCountIsPositive)
{
    EXPECT_GE(ZThread::GetProcessorCount(), 1);
}

TEST(ZLocalTimeTest, TextAndMillisecondsAgree)
{
    for (int nTry = 0; nTry < 3; ++nTry) {
        int64_t nMs = ZLocalTimeMs();
        ZStringBuffer<16> text = ZLocalTimeText();
        ASSERT_EQ(8, text.GetLength());
        int h = -1, m = -1, s = -1;
        ASSERT_EQ(3, sscanf(text.GetData(), "%2d:%2d:%2d", &h, &m, &s));
        EXPECT_EQ(':', text.GetData()[2]);
        int64_t nDaySeconds = (nMs / 1000) % 86400;
        if (nDaySeconds == h * 3600 + m * 60 + s)
            return;
        Sleep(100);  // crossed a second between the two readings
    }
    ADD_FAILURE() << "ZLocalTimeMs and ZLocalTimeText disagree";
}

TEST(ZFindWindowTest, FindsAWindowByTitle)
{
    const char* szTitle = "ivl thread test window 7f3a";
    HWND hWnd = CreateWindowA("STATIC", szTitle, 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, hWnd);
    EXPECT_EQ(hWnd, ZFindWindow(szTitle));
    Process owner = Process::FromWindow(szTitle);
    EXPECT_TRUE(owner.IsValid());
    EXPECT_EQ(GetCurrentProcessId(), owner.GetId());
    DestroyWindow(hWnd);
    EXPECT_EQ(nullptr, ZFindWindow(szTitle));
    EXPECT_FALSE(Process::FromWindow(szTitle).IsValid());
}
