#include "launch/ivl/selfdebugmodes.h"
#include "shared/debug/selfdebug.h"
#include "common/system/zlog.h"
#include <stdlib.h>
#include <string.h>
#include <atomic>

// The runtime's entry for a pure call; with no handler set it ends the program its own way.
extern "C" void __cdecl _purecall();

namespace
{
std::atomic<bool> s_bMessageBoxBusy;
std::atomic<bool> s_bLogFileBusy;
std::atomic<bool> s_bReporterBusy;
std::atomic<bool> s_bHandlerBusy;
// What SetCrashReportMode handed the runtime, for the g++ hook to follow.
std::atomic<_purecall_handler> s_pfnPureCall;
LPTOP_LEVEL_EXCEPTION_FILTER s_pfnFilter;

// The modes' filters. Re-entry (an exception inside a report) passes the exception on.
template <int MODE>
LONG WINAPI ModeFilter(EXCEPTION_POINTERS* pExceptionPointers)
{
    std::atomic<bool>& bBusy = MODE == CRASH_MODE_MESSAGEBOX ? s_bMessageBoxBusy
        : MODE == CRASH_MODE_LOGFILE                         ? s_bLogFileBusy
                                                             : s_bReporterBusy;
    if (bBusy.exchange(true))
        return EXCEPTION_CONTINUE_SEARCH;
    DWORD nCode = pExceptionPointers && pExceptionPointers->ExceptionRecord
        ? pExceptionPointers->ExceptionRecord->ExceptionCode
        : 0;
    if (ZSelfDebug::IsIgnoredException(nCode)) {
        bBusy = false;
        return EXCEPTION_CONTINUE_SEARCH;
    }
    int nResult;
    if (MODE == CRASH_MODE_MESSAGEBOX) {
        MessageBoxReportWriter sink;
        nResult = XptHandler(pExceptionPointers, &sink);
        sink.DestroyHeaps();
    } else if (MODE == CRASH_MODE_LOGFILE) {
        CrashLogWriter sink;
        nResult = XptHandler(pExceptionPointers, &sink);
        sink.DestroyHeaps();
    } else {
        CrashReportWriter sink(pExceptionPointers, MODE == CRASH_MODE_FULLDUMP ? 1 : 0,
                               MODE == CRASH_MODE_SILENT ? 0 : 1);
        nResult = XptHandler(pExceptionPointers, &sink);
        sink.DestroyHeaps();
    }
    bBusy = false;
    if (MODE == CRASH_MODE_MESSAGEBOX)
        return nResult;
    if (MODE == CRASH_MODE_LOGFILE && !TerminateProcess(GetCurrentProcess(), 1))
        exit(1);
    exit(1);
}

void CopyText(char* szOut, size_t nSize, const char* szText)
{
    szOut[0] = 0;
    if (szText) {
        strncpy(szOut, szText, nSize - 1);
        szOut[nSize - 1] = 0;
    }
}
}  // namespace

// g++ code never reaches the runtime's handler: a call of a pure virtual function lands here and
// takes the same way, ours once SetCrashReportMode has installed it, else the runtime's own.
// Exported, so that libraries the launcher loads can route their pure calls here as well.
extern "C" __declspec(dllexport) void __cxa_pure_virtual()
{
    if (_purecall_handler pfnHandler = s_pfnPureCall.load())
        pfnHandler();
    else
        _purecall();
    abort();  // a debugger let the breakpoint pass: the call cannot go on
}

void PureCallHandler()
{
    ZLog::Output(ZLOG_PRINT, "shared.debug", __FILE__, "#error3: pure virtual function call");
    DebugBreak();
}

void SetCrashReportMode(int nMode)
{
    // In every case, under a debugger too: the runtime's handler, and the g++ hook follows it.
    _set_purecall_handler(&PureCallHandler);
    s_pfnPureCall = &PureCallHandler;
    if (IsDebuggerPresent())
        return;
    LPTOP_LEVEL_EXCEPTION_FILTER pfnFilter;
    switch (nMode) {
    case CRASH_MODE_SYSTEM: pfnFilter = nullptr; break;
    case CRASH_MODE_MESSAGEBOX: pfnFilter = &ModeFilter<CRASH_MODE_MESSAGEBOX>; break;
    case CRASH_MODE_LOGFILE: pfnFilter = &ModeFilter<CRASH_MODE_LOGFILE>; break;
    case CRASH_MODE_REPORTER: pfnFilter = &ModeFilter<CRASH_MODE_REPORTER>; break;
    case CRASH_MODE_SILENT: pfnFilter = &ModeFilter<CRASH_MODE_SILENT>; break;
    case CRASH_MODE_FULLDUMP: pfnFilter = &ModeFilter<CRASH_MODE_FULLDUMP>; break;
    default: return;
    }
    SetUnhandledExceptionFilter(pfnFilter);
    s_pfnFilter = pfnFilter;
}

LPTOP_LEVEL_EXCEPTION_FILTER GetCrashReportFilter()
{
    return s_pfnFilter;
}

int XptHandler(EXCEPTION_POINTERS* pExceptionPointers, ReportSink* pSink)
{
    if (s_bHandlerBusy.exchange(true))
        return 0;
    // Reports of several threads (and processes) one after the other.
    HANDLE hMutex = CreateMutexA(NULL, FALSE, "ZSelfDebug::XptHandler");
    if (hMutex)
        WaitForSingleObject(hMutex, INFINITE);
    ZSelfDebug::SuspendOtherThreads(false);

    void* pContext = nullptr;
    ZCrashCloseFunc pfnCrashClose = globvals::GetCrashClose(&pContext);
    if (pfnCrashClose)
        pfnCrashClose(pContext);

    static char s_szLogFile[512];
    static char s_szUserName[100];
    static char s_szScene[200];
    globvals::GetLogFileName(s_szLogFile, sizeof(s_szLogFile));
    CopyText(s_szUserName, sizeof(s_szUserName), globvals::GetUsername());
    CopyText(s_szScene, sizeof(s_szScene), globvals::GetCurrentScene());

    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE)) {
        if (GetMessageA(&msg, NULL, 0, 0) <= 0)
            break;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    {
        ZSelfDebug self(pSink);
        self.WriteReport(pExceptionPointers, s_szLogFile, s_szUserName, s_szScene);
    }
    pSink->Finish();

    ZSelfDebug::SuspendOtherThreads(true);
    if (hMutex) {
        ReleaseMutex(hMutex);
        CloseHandle(hMutex);
    }
    s_bHandlerBusy = false;
    return 1;
}

void SetCrashClose(ZCrashCloseFunc pfnFunc, void* pContext)
{
    globvals::SetCrashClose(pfnFunc, pContext);
}
