// Child program for the process tests. The first argument picks what it does:
//   exit N       ends with code N
//   priority     ends with its priority class
//   show         ends with the show value it was started with (100 when none was set)
//   sleep N      sleeps N ms, ends with 7
//   echo         copies its input to its output until the input ends
//   count        ends with the number of bytes on its input
//   args         prints the engine's split of its command line, one argument a line
//   cwd          prints its current folder
//   doc PATH     ends with 42 when PATH exists (started by the shell for a document)
//   shutdown     takes the thread registry down early, then uses and drops thread handles
//   cleanup      at exit, prints what probes between the clean-ups saw (see ExitProbe)
#include "common/system/zwin.h"
#include "common/system/process.h"
#include "common/system/zthread.h"
#include "common/system/zinit.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>

static bool s_bReportCleanup = false;

// Destroyed at exit between two clean-ups: tells whether the registry and Winsock still work.
struct ExitProbe
{
    explicit ExitProbe(const char* szName) : m_szName(szName) {}
    ~ExitProbe()
    {
        if (!s_bReportCleanup)
            return;
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        bool bSocket = s != INVALID_SOCKET;
        if (bSocket)
            closesocket(s);
        char szLine[64];
        int n = snprintf(szLine, sizeof(szLine), "%s registry=%d socket=%d\n", m_szName,
                         ZThreadRegistry::IsEnabled() ? 1 : 0, bSocket ? 1 : 0);
        DWORD nWritten = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), szLine, n, &nWritten, nullptr);
    }
    const char* m_szName;
};

static ExitProbe s_BeforeRegistry ZINIT_PRIORITY(ZINIT_STEP_THREAD_REGISTRY - 5)("before-registry");
static ExitProbe s_AfterRegistry ZINIT_PRIORITY(ZINIT_STEP_THREAD_REGISTRY + 5)("after-registry");
static ExitProbe s_BeforeWinsock ZINIT_PRIORITY(ZINIT_STEP_WINSOCK - 5)("before-winsock");
static ExitProbe s_AfterWinsock ZINIT_PRIORITY(ZINIT_STEP_WINSOCK + 5)("after-winsock");

static int32_t ReturnNine(void*)
{
    return 9;
}

int main(int argc, char** argv)
{
    const char* szMode = argc > 1 ? argv[1] : "";
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    if (strcmp(szMode, "exit") == 0)
        return argc > 2 ? atoi(argv[2]) : 0;
    if (strcmp(szMode, "priority") == 0)
        return static_cast<int>(GetPriorityClass(GetCurrentProcess()));
    if (strcmp(szMode, "show") == 0) {
        STARTUPINFOA startup;
        GetStartupInfoA(&startup);
        return (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : 100;
    }
    if (strcmp(szMode, "sleep") == 0) {
        Sleep(argc > 2 ? atoi(argv[2]) : 0);
        return 7;
    }
    if (strcmp(szMode, "echo") == 0) {
        char buffer[256];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), stdin)) > 0) {
            fwrite(buffer, 1, n, stdout);
            fflush(stdout);
        }
        return 0;
    }
    if (strcmp(szMode, "count") == 0) {
        int nTotal = 0;
        while (fgetc(stdin) != EOF)
            ++nTotal;
        return nTotal;
    }
    if (strcmp(szMode, "args") == 0) {
        ZStringArray args = Process::Current().CommandLine();
        for (unsigned i = 0; i < args.Size(); ++i)
            printf("%s\n", args.At(i)->GetData());
        return 0;
    }
    if (strcmp(szMode, "cwd") == 0) {
        char szDir[MAX_PATH];
        GetCurrentDirectoryA(sizeof(szDir), szDir);
        printf("%s", szDir);
        return 0;
    }
    if (strcmp(szMode, "doc") == 0)
        return argc > 2 && GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES ? 42 : 41;
    if (strcmp(szMode, "cleanup") == 0) {
        s_bReportCleanup = true;
        return 0;
    }
    if (strcmp(szMode, "shutdown") == 0) {
        ZThread finished = ZThread::Create(&ReturnNine, nullptr);
        finished.Wait(INFINITE);
        finished.SetName("finished");
        ZThread self = ZThread::Current();
        ZThreadRegistry::Shutdown();
        // The engine thread's record outlives the registry with its handle.
        if (ZThreadRegistry::IsEnabled() || ZThread::Current().IsValid() || ZThread::GetThreadData() != nullptr)
            return 1;
        if (finished.GetName() != "finished" || finished.IsRunning() || finished.GetExitCode() != 9)
            return 2;
        ZThread late = ZThread::Create(&ReturnNine, nullptr);
        late.Wait(INFINITE);
        if (late.IsRunning() || late.GetExitCode() != 9)
            return 3;
        return 0;  // the registry's own clean-up at exit must now do nothing
    }
    return 99;
}
