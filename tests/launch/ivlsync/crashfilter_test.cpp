// The sync program's unhandled-exception filter: what it passes on and what it reports.
#include <gtest/gtest.h>
#include "common/system/zwin.h"
#include "launch/ivlsync/ivlsyncwindowbase.h"
#include "launch/ivlsync/syncmain.h"
#include "testhelpers.h"
#include <string>

namespace
{
std::string CrashLogPath()
{
    char szPath[MAX_PATH];
    GetModuleFileNameA(NULL, szPath, MAX_PATH);
    std::string path = szPath;
    return path.substr(0, path.rfind('\\') + 1) + "crash.log";
}

LONG Filter(DWORD nCode, CONTEXT* pContext)
{
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = nCode;
    record.ExceptionAddress = (void*)&Filter;
    EXCEPTION_POINTERS pointers = {&record, pContext};
    return SyncUnhandledExceptionFilter(&pointers);
}
}  // namespace

TEST(SyncCrashFilter, PassesOnWhatIsNoCrashAndReportsTheRest)
{
    std::string log = CrashLogPath();
    DeleteFileA(log.c_str());
    alignas(16) CONTEXT context = {};
    RtlCaptureContext(&context);

    for (DWORD code : {0xE06D7363u, 0x406D1388u, 1722u, 0x40010006u})
        EXPECT_EQ(EXCEPTION_CONTINUE_SEARCH, Filter(code, &context)) << std::hex << code;
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(log.c_str())) << "no report for passed-on codes";

    // the program's log file name is handed to the report for its tail; the report's files go
    // to the temporary folder, here one of the test's own
    ivltest::TempFolder folder;
    ivltest::EnvironmentValue tmp("TMP", folder.Path()), temp("TEMP", folder.Path());
    std::string syncLog = folder.At("ivlsync.log");
    ASSERT_TRUE(ivltest::WriteWholeFile(syncLog, "first\nlast words before the crash\n"));
    ZIvlSync::s_sLogFile = syncLog.c_str();
    EXPECT_EQ(EXCEPTION_EXECUTE_HANDLER, Filter(0xC0000094, &context));
    ZIvlSync::s_sLogFile = "";

    std::string report = ivltest::ReadWholeFile(log);
    EXPECT_NE(std::string::npos, report.find("<Description>INTEGER_DIVIDE_BY_ZERO</Description>")) << report;
    EXPECT_NE(std::string::npos, report.find("last words before the crash")) << report;
    EXPECT_EQ(std::string::npos, report.find("first\n")) << report;
    DeleteFileA(log.c_str());
}
