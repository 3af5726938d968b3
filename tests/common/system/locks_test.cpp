#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/system/zlock.h"

namespace
{

std::string UniqueName(const char* szWhat)
{
    return std::string("ivl_test_") + szWhat + "_" + std::to_string(GetCurrentProcessId()) + "_" +
        std::to_string(GetTickCount());
}

TEST(CriticalSection, ReentrantAndExclusive)
{
    ZCriticalSection cs;
    cs.Enter();
    cs.Enter();  // the owner may enter again
    EXPECT_TRUE(cs.TryEnter());
    bool bOtherGotIt = true;
    std::thread([&] { bOtherGotIt = cs.TryEnter(); }).join();
    EXPECT_FALSE(bOtherGotIt);
    cs.Leave();
    cs.Leave();
    std::thread([&] { bOtherGotIt = cs.TryEnter(); }).join();
    EXPECT_FALSE(bOtherGotIt);  // still held once
    cs.Leave();
    std::thread([&] {
        bOtherGotIt = cs.TryEnter();
        if (bOtherGotIt)
            cs.Leave();
    }).join();
    EXPECT_TRUE(bOtherGotIt);
}

TEST(CriticalSection, TryGuardHoldsOnlyWhatItTook)
{
    ZCriticalSection cs;
    auto otherThreadTakes = [&cs] {
        bool bTaken = false;
        std::thread([&] {
            ZTryLockGuard other(cs);
            bTaken = other.IsHeld();
        }).join();
        return bTaken;
    };
    // Another thread holds the lock: the guard holds nothing and leaves nothing at its end.
    ZEvent taken(true), release(true);
    std::thread holder([&] {
        cs.Enter();
        taken.Set();
        release.Wait();
        cs.Leave();
    });
    EXPECT_TRUE(taken.Wait(10000));
    {
        ZTryLockGuard guard(cs);
        EXPECT_FALSE(guard.IsHeld());
    }
    release.Set();
    holder.join();

    // A free lock is held until the guard's scope ends, and is free again after it.
    {
        ZTryLockGuard guard(cs);
        EXPECT_TRUE(guard.IsHeld());
        EXPECT_FALSE(otherThreadTakes());
    }
    EXPECT_TRUE(otherThreadTakes());
}

TEST(CriticalSection, GuardsACounterAcrossThreads)
{
    ZCriticalSection cs;
    int nCounter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                cs.Enter();
                int n = nCounter;
                if ((i & 255) == 0)
                    Sleep(0);  // invite a switch inside the guarded section
                nCounter = n + 1;
                cs.Leave();
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(80000, nCounter);
}

TEST(NamedMutex, CreateOpenAndSecondCreate)
{
    std::string name = UniqueName("mutex");
    EXPECT_EQ(nullptr, ZOpenMutex(name.c_str()));
    HANDLE hMutex = ZCreateMutex(name.c_str());
    ASSERT_NE(nullptr, hMutex);
    EXPECT_EQ(nullptr, ZCreateMutex(name.c_str()));  // already exists: the caller owns nothing
    HANDLE hOpened = ZOpenMutex(name.c_str());
    ASSERT_NE(nullptr, hOpened);
    // The creating thread owns it (re-entrantly), another thread times out.
    EXPECT_TRUE(ZWaitForMutex(hOpened, 0));
    ReleaseMutex(hOpened);
    bool bOther = true;
    std::thread([&] { bOther = ZWaitForMutex(hOpened, 50); }).join();
    EXPECT_FALSE(bOther);
    ZCloseMutex(hOpened);
    ZCloseMutex(hMutex);
    // Every handle closed: the name is free again.
    EXPECT_EQ(nullptr, ZOpenMutex(name.c_str()));
    HANDLE hAgain = ZCreateMutex(name.c_str());
    EXPECT_NE(nullptr, hAgain);
    ZCloseMutex(hAgain);
}

TEST(NamedMutex, WaitSucceedsAfterRelease)
{
    std::string name = UniqueName("released");
    HANDLE hOpened = nullptr;
    ZEvent created(true), release(true);
    std::thread owner([&] {
        HANDLE h = ZCreateMutex(name.c_str());
        created.Set();
        release.Wait(5000);
        ReleaseMutex(h);
        ZCloseMutex(h);
    });
    ASSERT_TRUE(created.Wait(5000));
    hOpened = ZOpenMutex(name.c_str());
    ASSERT_NE(nullptr, hOpened);
    EXPECT_FALSE(ZWaitForMutex(hOpened, 20));
    release.Set();
    EXPECT_TRUE(ZWaitForMutex(hOpened, 5000));
    owner.join();
    ReleaseMutex(hOpened);
    ZCloseMutex(hOpened);
}

TEST(NamedMutex, AbandonedWaitIsFalseButTakesOwnership)
{
    std::string name = UniqueName("abandoned");
    HANDLE hCreated = nullptr;
    // The owning thread ends without releasing the mutex.
    std::thread([&] { hCreated = ZCreateMutex(name.c_str()); }).join();
    ASSERT_NE(nullptr, hCreated);
    HANDLE hOpened = ZOpenMutex(name.c_str());
    ASSERT_NE(nullptr, hOpened);
    EXPECT_FALSE(ZWaitForMutex(hOpened, 1000));
    // That wait made this thread the owner: waiting again succeeds at once.
    EXPECT_TRUE(ZWaitForMutex(hOpened, 0));
    bool bOther = true;
    std::thread([&] { bOther = ZWaitForMutex(hOpened, 20); }).join();
    EXPECT_FALSE(bOther);
    ReleaseMutex(hOpened);
    ReleaseMutex(hOpened);
    ZCloseMutex(hOpened);
    ZCloseMutex(hCreated);
}

// Runs only as the child process of the test below: holds the named mutex until told to end,
// then ends without releasing it.
TEST(NamedMutexChild, HoldUntilQuit)
{
    const char* szName = getenv("IVL_TEST_MUTEX_CHILD");
    if (!szName)
        GTEST_SKIP() << "child part of NamedMutex.SecondProcess";
    std::string name(szName);
    HANDLE hMutex = ZCreateMutex(name.c_str());
    ZEvent ready(true, (name + "_ready").c_str());
    ZEvent quit(true, (name + "_quit").c_str());
    if (hMutex)
        ready.Set();
    quit.Wait(20000);
    ExitProcess(hMutex ? 0 : 3);
}

TEST(NamedMutex, SecondProcess)
{
    std::string name = UniqueName("process");
    ZEvent ready(true, (name + "_ready").c_str());
    ZEvent quit(true, (name + "_quit").c_str());
    char szExe[MAX_PATH];
    GetModuleFileNameA(nullptr, szExe, MAX_PATH);
    std::string cmd = std::string("\"") + szExe + "\" --gtest_filter=NamedMutexChild.HoldUntilQuit";
    SetEnvironmentVariableA("IVL_TEST_MUTEX_CHILD", name.c_str());
    // The child's test output goes nowhere.
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE hNul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = hNul;
    PROCESS_INFORMATION pi = {};
    BOOL bStarted = CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(hNul);
    SetEnvironmentVariableA("IVL_TEST_MUTEX_CHILD", nullptr);
    ASSERT_TRUE(bStarted);
    CloseHandle(pi.hThread);

    ASSERT_TRUE(ready.Wait(20000));
    EXPECT_EQ(nullptr, ZCreateMutex(name.c_str()));  // the other process holds it
    HANDLE hOpened = ZOpenMutex(name.c_str());
    ASSERT_NE(nullptr, hOpened);
    EXPECT_FALSE(ZWaitForMutex(hOpened, 50));  // time-out while the owner lives

    quit.Set();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 20000));
    DWORD nExit = 99;
    GetExitCodeProcess(pi.hProcess, &nExit);
    CloseHandle(pi.hProcess);
    EXPECT_EQ(0u, nExit);
    EXPECT_FALSE(ZWaitForMutex(hOpened, 1000));  // the owner ended without releasing it
    ReleaseMutex(hOpened);
    ZCloseMutex(hOpened);

    HANDLE hMine = ZCreateMutex(name.c_str());  // the owner is gone: it can be created again
    EXPECT_NE(nullptr, hMine);
    ZCloseMutex(hMine);
}

TEST(Event, ZeroTimeoutReturnsAtOnce)
{
    ZEvent e(true);
    DWORD t0 = GetTickCount();
    EXPECT_FALSE(e.Wait(0));
    EXPECT_LT(GetTickCount() - t0, 500u);
    EXPECT_FALSE(e.Wait(30));
}

TEST(Event, ManualResetStaysSignalled)
{
    ZEvent e(true);
    e.Set();
    EXPECT_TRUE(e.Wait(0));
    EXPECT_TRUE(e.Wait(0));
    e.Reset();
    EXPECT_FALSE(e.Wait(0));

    ZEvent auto1(false);
    auto1.Set();
    EXPECT_TRUE(auto1.Wait(0));
    EXPECT_FALSE(auto1.Wait(0));  // an auto-reset event resets on the wake-up
}

TEST(Event, AutoResetWakesOneWaiterPerSet)
{
    ZEvent e(false);
    ZEvent started(true);
    std::atomic<int> nWoken(0), nWaiting(0);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            ++nWaiting;
            if (e.Wait(10000))
                ++nWoken;
        });
    }
    while (nWaiting < 2)
        Sleep(1);
    Sleep(100);  // both threads are inside the wait
    e.Set();
    // One waiter wakes however slow the machine is; a second one would show up meanwhile.
    for (int i = 0; i < 1000 && nWoken.load() == 0; ++i)
        Sleep(10);
    Sleep(200);
    EXPECT_EQ(1, nWoken.load());
    e.Set();
    for (std::thread& t : waiters)
        t.join();
    EXPECT_EQ(2, nWoken.load());
}

TEST(Event, ManualResetWakesAllWaitersAcrossThreads)
{
    ZEvent e(true);
    std::atomic<int> nWoken(0);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (e.Wait(10000))
                ++nWoken;
        });
    }
    Sleep(50);
    e.Set();
    for (std::thread& t : waiters)
        t.join();
    EXPECT_EQ(3, nWoken.load());
}

TEST(Event, NamedEventsShareState)
{
    std::string name = UniqueName("event");
    ZEvent a(true, name.c_str());
    ZEvent b(true, name.c_str());
    EXPECT_FALSE(b.Wait(0));
    a.Set();
    EXPECT_TRUE(b.Wait(0));
    b.Reset();
    EXPECT_FALSE(a.Wait(0));
}

}  // namespace
