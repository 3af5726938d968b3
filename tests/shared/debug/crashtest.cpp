// A program that crashes on purpose, with the same exception filter as the sync program.
//   crashtest MODE [--dialog] [--log FILE] [--user NAME] [--scene NAME]
// MODE: write10 divzero stack cppthrow threadname unknown none
#include "shared/debug/selfdebug.h"
#include "common/system/zthread.h"
#include <string.h>
#include <stdio.h>
#include <stdlib.h>

static uint8_t s_bDialog;
static const char* s_szLog;
static const char* s_szUser;
static const char* s_szScene;

static LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pInfo)
{
    if (ZSelfDebug::IsIgnoredException(pInfo->ExceptionRecord->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
    CrashHandler(pInfo, s_bDialog, s_szLog, s_szUser, s_szScene);
    return EXCEPTION_EXECUTE_HANDLER;
}

__attribute__((noinline)) static void WriteToLowAddress()
{
    volatile int* p = (volatile int*)0x10;
    *p = 1;  // the faulting line
}

__attribute__((noinline)) static int Divide(volatile int a, volatile int b)
{
    return a / b;
}

static volatile int s_nDepthLimit = -1;  // never reached: the stack runs out first

__attribute__((noinline)) static int Recurse(int n)
{
    volatile char buffer[4096];
    buffer[0] = (char)n;
    if (n == s_nDepthLimit)
        return 0;
    return Recurse(n + 1) + buffer[0];
}

int main(int argc, char** argv)
{
    SetUnhandledExceptionFilter(CrashFilter);
    const char* szMode = argc > 1 ? argv[1] : "none";
    for (int i = 2; i < argc; ++i) {
        if (!strcmp(argv[i], "--dialog"))
            s_bDialog = 1;
        else if (!strcmp(argv[i], "--log") && i + 1 < argc)
            s_szLog = argv[++i];
        else if (!strcmp(argv[i], "--user") && i + 1 < argc)
            s_szUser = argv[++i];
        else if (!strcmp(argv[i], "--scene") && i + 1 < argc)
            s_szScene = argv[++i];
    }
    ZThread::Current().SetName("crash main");

    if (!strcmp(szMode, "write10"))
        WriteToLowAddress();
    else if (!strcmp(szMode, "divzero"))
        return Divide(1, 0);
    else if (!strcmp(szMode, "stack"))
        return Recurse(0);
    else if (!strcmp(szMode, "cppthrow"))
        RaiseException(0xE06D7363, 0, 0, NULL);
    else if (!strcmp(szMode, "threadname"))
        RaiseException(0x406D1388, 0, 0, NULL);
    else if (!strcmp(szMode, "unknown"))
        RaiseException(0xE0000123, 0, 0, NULL);
    // Tells the test that the process went on: how a killed one exits is up to Wine's debugger.
    printf("went on after %s\n", szMode);
    fflush(stdout);
    return 0;
}
