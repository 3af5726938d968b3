// Stands in for the game launcher "ivl.exe" where tests copy it into an install folder under
// that name: it runs no game. It writes "ivlrecorder.log" beside itself: its whole command line,
// then its current folder, one a line. It then stays alive
// until a file "ivlrecorder.end" appears beside it, and exits with code 0.
#include <windows.h>
#include <stdio.h>
#include <string.h>

static void BesideMe(char* szOut, size_t nSize, const char* szName)
{
    char szSelf[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, szSelf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        szSelf[0] = 0;
    char* pSlash = strrchr(szSelf, '\\');
    if (pSlash)
        pSlash[1] = 0;
    else
        szSelf[0] = 0;
    _snprintf(szOut, nSize - 1, "%s%s", szSelf, szName);
    szOut[nSize - 1] = 0;
}

static void WriteLine(HANDLE hFile, const char* szText)
{
    DWORD nWritten = 0;
    WriteFile(hFile, szText, (DWORD)strlen(szText), &nWritten, NULL);
    WriteFile(hFile, "\r\n", 2, &nWritten, NULL);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char szPath[MAX_PATH + 64];
    BesideMe(szPath, sizeof(szPath), "ivlrecorder.log");
    HANDLE hLog = CreateFileA(szPath, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    if (hLog != INVALID_HANDLE_VALUE) {
        char szFolder[MAX_PATH];
        if (GetCurrentDirectoryA(MAX_PATH, szFolder) == 0)
            szFolder[0] = 0;
        WriteLine(hLog, GetCommandLineA());
        WriteLine(hLog, szFolder);
        CloseHandle(hLog);
    }
    BesideMe(szPath, sizeof(szPath), "ivlrecorder.end");
    while (GetFileAttributesA(szPath) == INVALID_FILE_ATTRIBUTES)
        Sleep(50);
    return 0;
}
