// Stands in for the outside crash-report program faultscribe.exe: it shows no dialog. It
// records its command line in "faultscribe.log" beside itself and copies the report and the
// minidump it was given there as "faultscribe-report.xml" and "faultscribe-dump.dmp", so that
// tests can look at what the crash reporter handed over.
#include "standins/standinlog.h"
#include <shellapi.h>

namespace
{
std::wstring BesideMe(const wchar_t* szName)
{
    return StandinModuleFolder<wchar_t>(NULL) + szName;
}
}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    HANDLE hLog =
        CreateFileW(BesideMe(L"faultscribe.log").c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    if (hLog != INVALID_HANDLE_VALUE) {
        const char* szLine = GetCommandLineA();
        DWORD nWritten = 0;
        WriteFile(hLog, szLine, (DWORD)strlen(szLine), &nWritten, NULL);
        WriteFile(hLog, "\r\n", 2, &nWritten, NULL);
        CloseHandle(hLog);
    }
    int nArgs = 0;
    wchar_t** ppArgs = CommandLineToArgvW(GetCommandLineW(), &nArgs);
    if (ppArgs && nArgs >= 3) {
        CopyFileW(ppArgs[1], BesideMe(L"faultscribe-report.xml").c_str(), FALSE);
        CopyFileW(ppArgs[2], BesideMe(L"faultscribe-dump.dmp").c_str(), FALSE);
    }
    if (ppArgs)
        LocalFree(ppArgs);
    return 0;
}
