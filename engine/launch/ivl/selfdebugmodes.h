// The launcher's crash-report modes: which unhandled-exception filter is in place, the handler
// that gathers the launcher's context from the globals library before the report is written,
// and the pure-call handler.
#pragma once
#include "common/system/zwin.h"
#include "launch/ivl/globvals.h"

class ReportSink;

enum
{
    CRASH_MODE_SYSTEM = 0,      // the system's handling
    CRASH_MODE_MESSAGEBOX = 1,  // the report in a box that offers the clipboard
    CRASH_MODE_LOGFILE = 2,     // "crash.log", then the process ends
    CRASH_MODE_REPORTER = 3,    // "crash.log" and the crash-report program with its dialog
    CRASH_MODE_SILENT = 4,      // as 3, the program started silently
    CRASH_MODE_FULLDUMP = 5,    // as 3, with a full-memory minidump
};

// Modes 0 to 5; the pure-call handler is installed in every case, the filter only outside a
// debugger; other values change no filter.
void SetCrashReportMode(int nMode);
// The filter that SetCrashReportMode installed last (null for the system's handling).
LPTOP_LEVEL_EXCEPTION_FILTER GetCrashReportFilter();

// Writes the report into the sink with every other thread suspended; 0 when it did nothing
// (re-entry), 1 when it reported.
int XptHandler(EXCEPTION_POINTERS* pExceptionPointers, ReportSink* pSink);

// Hands a crash-close callback to the globals library.
void SetCrashClose(ZCrashCloseFunc pfnFunc, void* pContext);

// Logs "#error3: pure virtual function call" and raises a breakpoint for the filter to report.
void PureCallHandler();
