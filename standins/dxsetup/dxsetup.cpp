// Stands in for the DirectX setup program "dxsetup.exe" that the sync program runs from the
// install folder's "DirectX" folder: it installs nothing. It appends its command line and its
// current folder to "dxsetup.log" beside itself and exits with the code that the control file
// "dxsetup.control" beside it holds (0 when there is none). A control text "CODE wait" keeps it
// running until a file "dxsetup.end" appears beside it.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
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

static void AppendLine(HANDLE hFile, const char* szText)
{
    DWORD nWritten = 0;
    WriteFile(hFile, szText, (DWORD)strlen(szText), &nWritten, NULL);
    WriteFile(hFile, "\r\n", 2, &nWritten, NULL);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char szPath[MAX_PATH + 64];
    BesideMe(szPath, sizeof(szPath), "dxsetup.log");
    HANDLE hLog = CreateFileA(szPath, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
    if (hLog != INVALID_HANDLE_VALUE) {
        char szFolder[MAX_PATH];
        if (GetCurrentDirectoryA(MAX_PATH, szFolder) == 0)
            szFolder[0] = 0;
        AppendLine(hLog, GetCommandLineA());
        AppendLine(hLog, szFolder);
        CloseHandle(hLog);
    }

    int nExitCode = 0;
    bool bWait = false;
    BesideMe(szPath, sizeof(szPath), "dxsetup.control");
    FILE* pControl = fopen(szPath, "rb");
    if (pControl) {
        char szWord[32] = "";
        if (fscanf(pControl, "%d %31s", &nExitCode, szWord) == 2)
            bWait = strcmp(szWord, "wait") == 0;
        fclose(pControl);
    }
    if (bWait) {
        BesideMe(szPath, sizeof(szPath), "dxsetup.end");
        while (GetFileAttributesA(szPath) == INVALID_FILE_ATTRIBUTES)
            Sleep(50);
    }
    return nExitCode;
}
