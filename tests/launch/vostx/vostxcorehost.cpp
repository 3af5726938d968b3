// Test host of the plug-in core: makes one core, hands it the page's seven InitVostX texts and
// prints every page call it receives, then the result once each install thread has ended.
//
//   vostxcorehost [--calls N] dist version language server1 server2 rootlist flashid
//
// --calls N: N InitVostX calls on the same core in a row (as a page that calls again before the
// first run ends), then one more after they have all ended.
// Output lines: "workdir PATH", then "progress TEXT VALUE THREAD" / "error TEXT THREAD" where
// THREAD is "install" when the call came on an install thread, and "initialized 0|1" last.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/system/zlock.h"
#include "common/system/zthread.h"
#include "common/system/zwin.h"
#include "launch/vostx/vostxcore.h"

namespace
{
class RecordingCore : public VostxCore
{
public:
    explicit RecordingCore(const char* szName) : VostxCore(szName), m_Ended(false), m_nEnded(0), m_nGate(0) {}

    // The run's first page call waits until nCount other threads have ended, so further calls
    // surely meet a running sequence.
    void SetGate(long nCount) { m_nGate = nCount; }

    void CallFlash(const char* szMethod, const char* szText, float fValue, const char* szId, void* pData) override
    {
        long nGate = m_nGate.exchange(0);
        if (nGate)
            WaitForThreads(nGate);
        Print("progress", szMethod, szText, fValue, szId, pData);
    }
    void CallFlashError(const char* szMethod, const char* szText, const char* szId, void* pData) override
    {
        Print("error", szMethod, szText, -1.0f, szId, pData);
    }
    void* CreateThreadData() override { return this; }
    void OnThreadStart() override
    {
        HANDLE hThread = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
        ZLockGuard guard(m_Lock);
        if (hThread)
            m_Threads.push_back(hThread);
    }
    void OnThreadEnd(void* pData) override
    {
        ++m_nEnded;
        m_Ended.Set();
    }
    void WaitForThreads(long nCount)
    {
        while (m_nEnded < nCount)
            m_Ended.Wait(1000);
    }
    // OnThreadEnd comes before the thread's own teardown. Exiting during that teardown races
    // it: Wine then stops the thread mid-way, and the exit can stall on a runtime lock it left
    // held until the wineserver kills the process (exit code 137).
    void WaitForThreadsGone()
    {
        std::vector<HANDLE> threads;
        {
            ZLockGuard guard(m_Lock);
            threads.swap(m_Threads);
        }
        for (HANDLE hThread : threads) {
            WaitForSingleObject(hThread, 60000);
            CloseHandle(hThread);
        }
    }

private:
    void Print(const char* szKind, const char* szMethod, const char* szText, float fValue, const char* szId,
               void* pData)
    {
        char szThread[64] = "";
        ZThreadRegistry::GetThreadName(GetCurrentThreadId(), szThread, sizeof(szThread));
        ZLockGuard guard(m_Lock);
        if (fValue >= 0.0f)
            printf("%s %s|%s|%.6f|%s|%s|%s\n", szKind, szMethod, szText, fValue, szId, szThread,
                   pData == this ? "data" : "nodata");
        else
            printf("%s %s|%s|%s|%s|%s\n", szKind, szMethod, szText, szId, szThread, pData == this ? "data" : "nodata");
        fflush(stdout);
    }

    ZEvent m_Ended;
    std::atomic<long> m_nEnded;
    std::atomic<long> m_nGate;
    ZCriticalSection m_Lock;
    std::vector<HANDLE> m_Threads;
};
}

int main(int argc, char** argv)
{
    int nCalls = 1;
    int i = 1;
    if (i + 1 < argc && strcmp(argv[i], "--calls") == 0) {
        nCalls = atoi(argv[i + 1]);
        i += 2;
    }
    if (argc - i != 7) {
        fprintf(stderr, "usage: vostxcorehost [--calls N] dist version language server1 server2 rootlist flashid\n");
        return 2;
    }
    char** args = argv + i;
    RecordingCore* pCore = new RecordingCore(args[0]);
    printf("workdir %s\n", VostxCore::GetWorkDir(args[0]).GetData());
    fflush(stdout);
    ZStringArray servers(32);
    servers.Add(args[3]);
    servers.Add(args[4]);
    pCore->SetGate(nCalls - 1);
    for (int n = 0; n < nCalls; ++n)
        pCore->Init(args[0], args[1], args[2], servers, args[5], args[6]);
    pCore->WaitForThreads(nCalls);
    if (nCalls > 1) {
        pCore->Init(args[0], args[1], args[2], servers, args[5], args[6]);
        pCore->WaitForThreads(nCalls + 1);
    }
    pCore->WaitForThreadsGone();
    printf("initialized %d\n", pCore->IsInitialized() ? 1 : 0);
    fflush(stdout);
    pCore->Release();
    return 0;
}
