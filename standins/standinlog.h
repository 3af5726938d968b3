// Shared by the stand-ins: files beside the stand-in's own module (its log and its control file).
#pragma once
#include "common/system/zwin.h"
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

// The module that holds this code (the stand-in DLL or program).
inline HMODULE StandinModule()
{
    HMODULE hModule = NULL;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&StandinModule), &hModule);
    return hModule;
}

inline DWORD StandinModuleFileName(HMODULE hModule, char* szPath, DWORD nSize)
{
    return GetModuleFileNameA(hModule, szPath, nSize);
}

inline DWORD StandinModuleFileName(HMODULE hModule, wchar_t* szPath, DWORD nSize)
{
    return GetModuleFileNameW(hModule, szPath, nSize);
}

// The folder of a module's file with its closing backslash (null: the program's); empty when
// it is not known.
template <typename Char>
std::basic_string<Char> StandinModuleFolder(HMODULE hModule)
{
    Char szFile[MAX_PATH];
    DWORD n = StandinModuleFileName(hModule, szFile, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return std::basic_string<Char>();
    std::basic_string<Char> folder(szFile, n);
    size_t nSlash = folder.rfind(Char('\\'));
    return nSlash == folder.npos ? std::basic_string<Char>() : folder.substr(0, nSlash + 1);
}

inline std::string StandinPath(const char* szName)
{
    return StandinModuleFolder<char>(StandinModule()) + szName;
}

// Appends one line to the log file beside the stand-in (opened and closed per line, so a
// crash loses nothing).
inline void StandinLog(const char* szFile, const char* szFormat, ...)
{
    char szLine[4096];
    va_list args;
    va_start(args, szFormat);
    _vsnprintf(szLine, sizeof(szLine) - 3, szFormat, args);
    va_end(args);
    szLine[sizeof(szLine) - 3] = 0;
    strcat(szLine, "\r\n");
    HANDLE hFile = CreateFileA(StandinPath(szFile).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_ALWAYS, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return;
    DWORD nWritten = 0;
    WriteFile(hFile, szLine, static_cast<DWORD>(strlen(szLine)), &nWritten, NULL);
    CloseHandle(hFile);
}

// Lines of the control file beside the stand-in (none when it is missing), CR and LF dropped.
inline std::vector<std::string> StandinControlLines(const char* szFile)
{
    std::vector<std::string> lines;
    FILE* pFile = fopen(StandinPath(szFile).c_str(), "rb");
    if (!pFile)
        return lines;
    char szLine[1024];
    while (fgets(szLine, sizeof(szLine), pFile)) {
        size_t n = strlen(szLine);
        while (n > 0 && (szLine[n - 1] == '\n' || szLine[n - 1] == '\r'))
            szLine[--n] = 0;
        if (n > 0)
            lines.push_back(szLine);
    }
    fclose(pFile);
    return lines;
}

// The value after "key " on the nIndex-th control line with that key, or null.
inline const char* StandinControlValue(const std::vector<std::string>& lines, const char* szKey, size_t nIndex = 0)
{
    size_t nKey = strlen(szKey);
    for (const std::string& line : lines) {
        if (line.compare(0, nKey, szKey) != 0 || line.size() <= nKey || line[nKey] != ' ')
            continue;
        if (nIndex == 0)
            return line.c_str() + nKey + 1;
        --nIndex;
    }
    return nullptr;
}

// Appends the program's whole command line and its current folder, one a line, to the log
// beside the stand-in: what the programs that start a stand-in are checked against.
inline void StandinRecordStart(const char* szFile)
{
    HANDLE hFile =
        CreateFileA(StandinPath(szFile).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return;
    char szFolder[MAX_PATH];
    if (GetCurrentDirectoryA(MAX_PATH, szFolder) == 0)
        szFolder[0] = 0;
    const char* texts[] = {GetCommandLineA(), szFolder};
    for (const char* szText : texts) {
        DWORD nWritten = 0;
        WriteFile(hFile, szText, static_cast<DWORD>(strlen(szText)), &nWritten, NULL);
        WriteFile(hFile, "\r\n", 2, &nWritten, NULL);
    }
    CloseHandle(hFile);
}

// Returns once a file of that name appears beside the stand-in (the test's "end now").
inline void StandinWaitForFile(const char* szFile)
{
    std::string sPath = StandinPath(szFile);
    while (GetFileAttributesA(sPath.c_str()) == INVALID_FILE_ATTRIBUTES)
        Sleep(50);
}
