// Stands in for the outside crash-report program faultscribe.exe: it shows no dialog. It
// records its command line in "faultscribe.log" beside itself and copies the report and the
// minidump it was given there as "faultscribe-report.xml" and "faultscribe-dump.dmp", so that
// tests can look at what the crash reporter handed over.
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <wchar.h>

static void BesideMe(wchar_t* szOut, size_t nSize, const wchar_t* szName)
{
    wchar_t szSelf[MAX_PATH];
    DWORD n = GetModuleFileNameW(NULL, szSelf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        szSelf[0] = 0;
    wchar_t* pSlash = wcsrchr(szSelf, L'\\');
    if (pSlash)
        pSlash[1] = 0;
    else
        szSelf[0] = 0;
    _snwprintf(szOut, nSize - 1, L"%ls%ls", szSelf, szName);
    szOut[nSize - 1] = 0;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    wchar_t szPath[MAX_PATH + 64];
    BesideMe(szPath, MAX_PATH + 64, L"faultscribe.log");
    HANDLE hLog = CreateFileW(szPath, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
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
        BesideMe(szPath, MAX_PATH + 64, L"faultscribe-report.xml");
        CopyFileW(ppArgs[1], szPath, FALSE);
        BesideMe(szPath, MAX_PATH + 64, L"faultscribe-dump.dmp");
        CopyFileW(ppArgs[2], szPath, FALSE);
    }
    if (ppArgs)
        LocalFree(ppArgs);
    return 0;
}
