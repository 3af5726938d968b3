#include "common/system/file.h"
#include "common/system/zlog.h"
#include "common/containers/zstr.h"
#include "common/containers/zstringarray.h"
#include <share.h>
#include <io.h>
#include <shlobj.h>
#include <objbase.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace
{

// Full UTF-16 path with the "\\?\" prefix (UNC and already long paths unchanged); empty on
// failure, which makes the operation fail.
std::wstring ToLongPath(const char* szPath)
{
    if (!szPath)
        return std::wstring();
    ZWideText wide(szPath);
    if (!wide.c_str()[0])
        return std::wstring();

    const DWORD nMax = 32767;
    // Left uninitialised: every file operation converts a path, and clearing 64 KiB each time
    // cost more than the conversion itself.
    std::unique_ptr<wchar_t[]> pFull(new wchar_t[nMax + 4]);
    wchar_t* szFull = pFull.get();
    DWORD nLength = GetFullPathNameW(wide.c_str(), nMax, szFull + 4, nullptr);
    if (nLength == 0 || nLength >= nMax)
        return std::wstring();
    if (szFull[4] == L'\\' && szFull[5] == L'\\')
        return std::wstring(szFull + 4, nLength);
    szFull[0] = L'\\';
    szFull[1] = L'\\';
    szFull[2] = L'?';
    szFull[3] = L'\\';
    return std::wstring(szFull, nLength + 4);
}

bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

bool IsDotEntry(const wchar_t* szName)
{
    return (szName[0] == L'.' && szName[1] == 0) || (szName[0] == L'.' && szName[1] == L'.' && szName[2] == 0);
}

const char* StreamMode(int nMode)
{
    switch (nMode) {
    case 1: return "rb";
    case 3: return "r+b";
    case 6: return "wb";
    case 7: return "w+b";
    case 10: return "ab";
    case 11: return "a+b";
    case 17: return "rt";
    case 19: return "r+t";
    case 22: return "wt";
    case 23: return "w+t";
    case 26: return "at";
    case 27: return "a+t";
    default: return nullptr;
    }
}

void List(ZStringArray& names, const char* szPattern, bool bDirectories)
{
    std::wstring sPattern = ToLongPath(szPattern);
    if (sPattern.empty())
        return;
    WIN32_FIND_DATAW data;
    HANDLE hFind = FindFirstFileW(sPattern.c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE)
        return;
    do {
        bool bDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (bDirectory != bDirectories)
            continue;
        if (bDirectory && IsDotEntry(data.cFileName))
            continue;
        names.Add(ZStringBuffer<256>().AssignUtf16(data.cFileName).c_str());
    } while (FindNextFileW(hFind, &data));
    FindClose(hFind);
}

FileTime GetTime(const char* szPath, int nWhich)
{
    HANDLE h = File::OpenHandle(szPath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE)
        return FileTime();
    FILETIME aTimes[3];
    BOOL bOk = GetFileTime(h, &aTimes[0], &aTimes[1], &aTimes[2]);
    CloseHandle(h);
    if (!bOk)
        return FileTime();
    ULARGE_INTEGER n;
    n.LowPart = aTimes[nWhich].dwLowDateTime;
    n.HighPart = aTimes[nWhich].dwHighDateTime;
    return FileTime(static_cast<int64_t>(n.QuadPart));
}

bool SetTime(const char* szPath, int nWhich, FileTime time)
{
    HANDLE h = File::OpenHandle(szPath, GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(time.m_nTime));
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(time.m_nTime) >> 32);
    BOOL bOk = SetFileTime(h, nWhich == 0 ? &ft : nullptr, nWhich == 1 ? &ft : nullptr, nWhich == 2 ? &ft : nullptr);
    CloseHandle(h);
    return bOk != 0;
}

int CopyTreeWide(std::wstring sFrom, std::wstring sTo, bool bGoOn, DWORD* pFirstError, bool* pStop)
{
    if (!CreateDirectoryW(sTo.c_str(), nullptr)) {
        DWORD nError = GetLastError();
        if (nError != ERROR_ALREADY_EXISTS) {
            if (pFirstError && *pFirstError == 0)
                *pFirstError = nError;
            return 0;
        }
    }
    if (sFrom.empty() || sFrom.back() != L'\\')
        sFrom += L'\\';
    if (sTo.back() != L'\\')
        sTo += L'\\';

    int nCount = 0;
    WIN32_FIND_DATAW data;
    HANDLE hFind = FindFirstFileW((sFrom + L"*").c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (IsDotEntry(data.cFileName))
            continue;
        std::wstring sSource = sFrom + data.cFileName;
        std::wstring sTarget = sTo + data.cFileName;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            nCount += CopyTreeWide(sSource, sTarget, bGoOn, pFirstError, pStop);
            if (*pStop)
                break;
            continue;
        }
        if (!CopyFileW(sSource.c_str(), sTarget.c_str(), FALSE)) {
            if (pFirstError && *pFirstError == 0)
                *pFirstError = GetLastError();
            if (!bGoOn) {
                *pStop = true;
                break;
            }
        }
        ++nCount;
    } while (FindNextFileW(hFind, &data));
    FindClose(hFind);
    return nCount;
}

typedef BOOLEAN(WINAPI* CreateSymbolicLinkFn)(LPCWSTR, LPCWSTR, DWORD);
typedef HRESULT(WINAPI* GetKnownFolderPathFn)(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*);

// {A520A1A4-1780-4FF6-BD18-167343C5AF16}
const GUID kFolderLocalAppDataLow = {0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};

void LogLine(const ZStringBase& text)
{
    ZLog::Write(ZLOG_CATEGORY, __FILE__, text.c_str());
}

}  // namespace

// Handle and stream

void File::Stream::Close()
{
    if ((m_nFlags & FLAG_CLOSE) && m_pStream)
        fclose(m_pStream);
}

File File::Wrap(FILE* pStream, uint8_t nFlags)
{
    File file;
    file.m_Record.Create(Stream{nFlags, pStream});
    return file;
}

File File::Open(const char* szPath, int nMode)
{
    const char* szMode = StreamMode(nMode);
    if (!szMode)
        return File();
    std::wstring sPath = ToLongPath(szPath);
    if (sPath.empty())
        return File();
    if (nMode & MODE_CREATE)
        SetFileAttributesW(sPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    wchar_t szWideMode[8];
    ZStrWiden(szWideMode, szMode);
    FILE* pStream = _wfsopen(sPath.c_str(), szWideMode, _SH_DENYWR);
    if (!pStream)
        return File();
    return Wrap(pStream, static_cast<uint8_t>((nMode & (MODE_READ | MODE_WRITE)) | FLAG_CLOSE));
}

File File::FromStream(FILE* pStream, int nMode)
{
    if (!pStream)
        return File();
    return Wrap(pStream, static_cast<uint8_t>((nMode & (MODE_READ | MODE_WRITE)) | FLAG_CLOSE));
}

File File::StdIn()
{
    return Wrap(stdin, FLAG_READABLE);
}

File File::StdOut()
{
    return Wrap(stdout, FLAG_WRITABLE);
}

File File::StdErr()
{
    return Wrap(stderr, FLAG_WRITABLE);
}

bool File::IsReadable() const
{
    return m_Record && (m_Record->m_nFlags & FLAG_READABLE);
}

bool File::IsWritable() const
{
    return m_Record && (m_Record->m_nFlags & FLAG_WRITABLE);
}

bool File::IsEof() const
{
    return !m_Record || feof(m_Record->m_pStream) > 0;
}

int File::GetChar()
{
    return m_Record ? fgetc(m_Record->m_pStream) : -1;
}

bool File::PutChar(int nByte)
{
    return m_Record && fputc(nByte, m_Record->m_pStream) != EOF;
}

size_t File::Read(void* pBuffer, size_t nCount)
{
    return m_Record ? fread(pBuffer, 1, nCount, m_Record->m_pStream) : 0;
}

size_t File::Write(const void* pBuffer, size_t nCount)
{
    return m_Record ? fwrite(pBuffer, 1, nCount, m_Record->m_pStream) : 0;
}

long File::Tell() const
{
    return m_Record ? ftell(m_Record->m_pStream) : -1;
}

bool File::Seek(long nPosition)
{
    return m_Record && fseek(m_Record->m_pStream, nPosition, SEEK_SET) == 0;
}

bool File::SeekEnd()
{
    return m_Record && fseek(m_Record->m_pStream, 0, SEEK_END) == 0;
}

bool File::Flush()
{
    return m_Record && fflush(m_Record->m_pStream) == 0;
}

bool File::Truncate()
{
    if (!m_Record)
        return false;
    fflush(m_Record->m_pStream);
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(m_Record->m_pStream)));
    return h != INVALID_HANDLE_VALUE && SetEndOfFile(h) != 0;
}

int File::Printf(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    int n = PrintfV(szFormat, args);
    va_end(args);
    return n;
}

int File::PrintfV(const char* szFormat, va_list args)
{
    return m_Record ? vfprintf(m_Record->m_pStream, szFormat, args) : -1;
}

FILE* File::GetStream() const
{
    return m_Record ? m_Record->m_pStream : nullptr;
}

HANDLE File::DetachHandle()
{
    if (!m_Record)
        return INVALID_HANDLE_VALUE;
    // The stream closes its handle with the last release, so the caller gets a handle of its own.
    HANDLE hStream = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(m_Record->m_pStream)));
    HANDLE hOwn = INVALID_HANDLE_VALUE;
    if (hStream != INVALID_HANDLE_VALUE)
        fflush(m_Record->m_pStream);
    if (hStream == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), hStream, GetCurrentProcess(), &hOwn, 0, FALSE, DUPLICATE_SAME_ACCESS))
        hOwn = INVALID_HANDLE_VALUE;
    m_Record.Release();
    return hOwn;
}

// File-system operations

bool File::Exists(const char* szPath)
{
    std::wstring sPath = ToLongPath(szPath);
    if (sPath.empty())
        return false;
    WIN32_FIND_DATAW data;
    HANDLE hFind = FindFirstFileW(sPath.c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE)
        return false;
    FindClose(hFind);
    return true;
}

int64_t File::GetSize(const char* szPath)
{
    std::wstring sPath = ToLongPath(szPath);
    if (sPath.empty())
        return -1;
    WIN32_FIND_DATAW data;
    HANDLE hFind = FindFirstFileW(sPath.c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE)
        return -1;
    FindClose(hFind);
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool File::Delete(const char* szPath)
{
    std::wstring sPath = ToLongPath(szPath);
    return !sPath.empty() && DeleteFileW(sPath.c_str()) != 0;
}

bool File::Copy(const char* szFrom, const char* szTo)
{
    std::wstring sFrom = ToLongPath(szFrom);
    std::wstring sTo = ToLongPath(szTo);
    BOOL bOk = CopyFileW(sFrom.c_str(), sTo.c_str(), FALSE);
    SetFileAttributesW(sTo.c_str(), FILE_ATTRIBUTE_NORMAL);
    return bOk != 0;
}

bool File::Move(const char* szFrom, const char* szTo)
{
    std::wstring sFrom = ToLongPath(szFrom);
    std::wstring sTo = ToLongPath(szTo);
    return MoveFileW(sFrom.c_str(), sTo.c_str()) != 0;
}

bool File::MoveReplacing(const char* szFrom, const char* szTo)
{
    std::wstring sFrom = ToLongPath(szFrom);
    std::wstring sTo = ToLongPath(szTo);
    return MoveFileExW(sFrom.c_str(), sTo.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool File::CreateLink(const char* szExisting, const char* szLink)
{
    static bool s_bLookedUp = false;
    static CreateSymbolicLinkFn s_pfnCreateSymbolicLink = nullptr;
    if (!s_bLookedUp) {
        HMODULE hKernel = LoadLibraryW(L"kernel32.dll");
        if (hKernel)
            s_pfnCreateSymbolicLink = reinterpret_cast<CreateSymbolicLinkFn>(
                reinterpret_cast<void*>(GetProcAddress(hKernel, "CreateSymbolicLinkW")));
        s_bLookedUp = true;
    }
    std::wstring sExisting = ToLongPath(szExisting);
    std::wstring sLink = ToLongPath(szLink);
    if (sExisting.empty() || sLink.empty())
        return false;
    DWORD nAttributes = GetFileAttributesW(sExisting.c_str());
    bool bDirectory = nAttributes != INVALID_FILE_ATTRIBUTES && (nAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (s_pfnCreateSymbolicLink) {
        if (!s_pfnCreateSymbolicLink(sLink.c_str(), sExisting.c_str(), bDirectory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0))
            return false;
        // Some systems (Wine) report success and create nothing.
        if (GetFileAttributesW(sLink.c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
    }
    if (bDirectory)
        return false;
    return CopyFileW(sExisting.c_str(), sLink.c_str(), FALSE) != 0;
}

bool File::IsDirectory(const char* szPath)
{
    std::wstring sPath = ToLongPath(szPath);
    DWORD n = sPath.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(sPath.c_str());
    return n != INVALID_FILE_ATTRIBUTES && (n & FILE_ATTRIBUTE_DIRECTORY);
}

bool File::IsReadOnly(const char* szPath)
{
    std::wstring sPath = ToLongPath(szPath);
    DWORD n = sPath.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(sPath.c_str());
    return n != INVALID_FILE_ATTRIBUTES && (n & FILE_ATTRIBUTE_READONLY);
}

bool File::CreateDirectory(const char* szPath)
{
    std::wstring sPath = ToLongPath(szPath);
    if (sPath.empty())
        return false;
    if (CreateDirectoryW(sPath.c_str(), nullptr))
        return true;
    DWORD nError = GetLastError();
    if (nError == ERROR_ALREADY_EXISTS) {
        // A file of that name exists too with this error: that is no folder.
        DWORD n = GetFileAttributesW(sPath.c_str());
        bool bFolder = n != INVALID_FILE_ATTRIBUTES && (n & FILE_ATTRIBUTE_DIRECTORY);
        SetLastError(ERROR_ALREADY_EXISTS);
        return bFolder;
    }
    return nError == 0;
}

bool File::RemoveDirectory(const char* szPath)
{
    std::wstring sPath = ToLongPath(szPath);
    return !sPath.empty() && RemoveDirectoryW(sPath.c_str()) != 0;
}

void File::SetCurrentDirectory(const char* szPath)
{
    std::wstring sPath = ToLongPath(szPath);
    if (!sPath.empty())
        SetCurrentDirectoryW(sPath.c_str());
}

ZStringBuffer<256> File::GetCurrentDirectory()
{
    char szBuffer[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(MAX_PATH, szBuffer);
    return ZStringBuffer<256>(n > 0 && n < MAX_PATH ? szBuffer : "");
}

ZStringBuffer<256> File::GetTempPath()
{
    char szBuffer[MAX_PATH];
    DWORD n = GetTempPathA(MAX_PATH, szBuffer);
    return ZStringBuffer<256>(n > 0 && n < MAX_PATH ? szBuffer : "");
}

ZStringBuffer<256> File::GetTempFileName(const char* szSuffix)
{
    ZStringBuffer<256> sFolder = GetTempPath();
    if (sFolder.GetLength() > 0 && IsSeparator(sFolder.GetData()[sFolder.GetLength() - 1]))
        sFolder.Truncate(sFolder.GetLength() - 1);
    ZStringBuffer<256> sPath;
    do {
        char szName[L_tmpnam + 16] = {0};
        if (!tmpnam(szName))
            return ZStringBuffer<256>();
        // The runtime's names begin with '\'; some runtimes give a whole path instead.
        if (strchr(szName, ':'))
            sPath.Assign(szName);
        else {
            sPath.Assign(sFolder.c_str());
            if (!IsSeparator(szName[0]))
                sPath.AppendChar('\\');
            sPath.Append(szName);
        }
        sPath.Append(szSuffix ? szSuffix : "");
    } while (Exists(sPath.c_str()));
    return sPath;
}

FileTime File::GetCreationTime(const char* szPath)
{
    return GetTime(szPath, 0);
}

FileTime File::GetLastAccessTime(const char* szPath)
{
    return GetTime(szPath, 1);
}

FileTime File::GetLastWriteTime(const char* szPath)
{
    return GetTime(szPath, 2);
}

bool File::SetCreationTime(const char* szPath, FileTime time)
{
    // Same path handling as the other times, so UTF-8 and long paths work here too.
    return SetTime(szPath, 0, time);
}

bool File::SetLastAccessTime(const char* szPath, FileTime time)
{
    return SetTime(szPath, 1, time);
}

bool File::SetLastWriteTime(const char* szPath, FileTime time)
{
    return SetTime(szPath, 2, time);
}

FileTime File::GetSystemTime()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER n;
    n.LowPart = ft.dwLowDateTime;
    n.HighPart = ft.dwHighDateTime;
    return FileTime(static_cast<int64_t>(n.QuadPart));
}

HANDLE File::OpenHandle(const char* szPath, DWORD nAccess, DWORD nShare, DWORD nDisposition)
{
    std::wstring sPath = ToLongPath(szPath);
    if (sPath.empty())
        return INVALID_HANDLE_VALUE;
    return CreateFileW(sPath.c_str(), nAccess, nShare, nullptr, nDisposition, 0, nullptr);
}

ZStringBuffer<256> File::GetFileTimeText(FileTime time)
{
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(time.m_nTime));
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(time.m_nTime) >> 32);
    SYSTEMTIME utc, local;
    if (!FileTimeToSystemTime(&ft, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        return ZStringBuffer<256>();
    return ZStringBuffer<256>("%d/%d/%d %02d:%02d:%02d", local.wDay, local.wMonth, local.wYear, local.wHour,
                              local.wMinute, local.wSecond);
}

ZStringBuffer<256> File::GetFullPath(const char* szPath)
{
    ZStringBuffer<256> sPath(szPath);
    if (sPath.GetLength() >= 2 && sPath.GetData()[1] == ':') {
        char szDrive[3] = {sPath.GetData()[0], ':', 0};
        char szTarget[1024];
        if (!QueryDosDeviceA(szDrive, szTarget, sizeof(szTarget))) {
            LogLine(ZLogTextLevel(ZLOG_ERROR, "QueryDosDevice failed. Error code 0x%p",
                                  reinterpret_cast<void*>(static_cast<uintptr_t>(GetLastError()))));
            return ZStringBuffer<256>();
        }
        // A substituted drive maps to "\??\" and the folder it stands for.
        if (strncmp(szTarget, "\\??\\", 4) == 0) {
            ZStringBuffer<256> sReal(szTarget + 4);
            sReal.Append(szPath + 2);
            sPath = sReal;
        }
    }
    char szFull[1024];
    DWORD n = GetFullPathNameA(sPath.c_str(), sizeof(szFull), szFull, nullptr);
    if (n == 0 || n >= sizeof(szFull)) {
        LogLine(ZLogTextLevel(ZLOG_ERROR, "GetFullPathName failed. Error code 0x%p",
                              reinterpret_cast<void*>(static_cast<uintptr_t>(GetLastError()))));
        return ZStringBuffer<256>();
    }
    return ZStringBuffer<256>(szFull);
}

ZStringBuffer<256> File::GetAppDataFolder()
{
    ZStringBuffer<256> sFolder;
    bool bFound = false;
    HMODULE hShell = LoadLibraryW(L"shell32.dll");
    if (hShell) {
        GetKnownFolderPathFn pfnGet = reinterpret_cast<GetKnownFolderPathFn>(
            reinterpret_cast<void*>(GetProcAddress(hShell, "SHGetKnownFolderPath")));
        if (pfnGet) {
            bFound = true;
            PWSTR pPath = nullptr;
            HRESULT hr = pfnGet(kFolderLocalAppDataLow, 0x8000, nullptr, &pPath);
            if (FAILED(hr)) {
                if (pPath)
                    CoTaskMemFree(pPath);
                FreeLibrary(hShell);
                LogLine(ZLogText("Failed to query AppData filder (HRESULT 0x%08x)", static_cast<unsigned>(hr)));
                return ZStringBuffer<256>();
            }
            sFolder.AssignUtf16(pPath);
            CoTaskMemFree(pPath);
        }
        FreeLibrary(hShell);
    }
    if (!bFound) {
        char szPath[MAX_PATH];
        if (!SHGetSpecialFolderPathA(nullptr, szPath, CSIDL_LOCAL_APPDATA, FALSE)) {
            LogLine(ZLogText("Failed to get folder path for CSIDL_LOCAL_APPDATA"));
            return ZStringBuffer<256>();
        }
        sFolder.Assign(szPath);
    }
    sFolder.Append("\\Ironvale");
    if (!CreateDirectory(sFolder.c_str()))
        LogLine(ZLogText("Failed to create directory %s (error code 0x%08x)", sFolder.c_str(),
                         static_cast<unsigned>(GetLastError())));
    return sFolder;
}

void File::ListFiles(ZStringArray& names, const char* szPattern)
{
    List(names, szPattern, false);
}

void File::ListDirectories(ZStringArray& names, const char* szPattern)
{
    List(names, szPattern, true);
}

int File::CopyTree(const char* szFrom, const char* szTo, bool bGoOn, DWORD* pFirstError)
{
    std::wstring sFrom = ToLongPath(szFrom);
    std::wstring sTo = ToLongPath(szTo);
    if (sTo.empty()) {
        if (pFirstError && *pFirstError == 0)
            *pFirstError = ERROR_INVALID_NAME;
        return 0;
    }
    bool bStop = false;
    return CopyTreeWide(sFrom, sTo, bGoOn, pFirstError, &bStop);
}

// Path pieces

char File::GetDriveLetter(const char* szPath)
{
    return szPath[0] && szPath[1] == ':' ? szPath[0] : 0;
}

ZStringBuffer<256> File::GetFileName(const char* szPath)
{
    const char* pName = szPath;
    for (const char* p = szPath; *p; ++p)
        if (IsSeparator(*p))
            pName = p + 1;
    return ZStringBuffer<256>(pName);
}

ZStringBuffer<256> File::GetExtension(const char* szPath)
{
    const char* pDot = strrchr(szPath, '.');
    return ZStringBuffer<256>(pDot ? pDot + 1 : "");
}

ZStringBuffer<256> File::GetFileNameWithoutExtension(const char* szPath)
{
    ZStringBuffer<256> sName = GetFileName(szPath);
    int nDot = sName.ReverseFind('.');
    if (nDot >= 0)
        sName.Truncate(nDot);
    return sName;
}

ZStringBuffer<256> File::RemoveExtension(const char* szPath)
{
    ZStringBuffer<256> sPath(szPath);
    int nDot = sPath.ReverseFind('.');
    if (nDot >= 0)
        sPath.Truncate(nDot);
    return sPath;
}

ZStringBuffer<256> File::GetDirectory(const char* szPath)
{
    int nEnd = -1;
    for (int i = 0; szPath[i]; ++i)
        if (IsSeparator(szPath[i]))
            nEnd = i;
    ZStringBuffer<256> s;
    if (nEnd < 0)
        s.Assign(szPath);
    else
        s.Assign(szPath, nEnd + 1);
    return s;
}

ZStringBuffer<256> File::StripDrive(const char* szPath)
{
    if (szPath[0] && szPath[1] == ':') {
        szPath += 2;
        while (IsSeparator(*szPath))
            ++szPath;
    }
    return ZStringBuffer<256>(szPath);
}

ZStringBuffer<256> File::ToBackslashes(const char* szPath)
{
    ZStringBuffer<256> s(szPath);
    s.Replace('/', '\\');
    return s;
}

ZStringBuffer<256> File::GetRelativePath(const char* szFrom, const char* szTo)
{
    int i = 0;
    int nCommon = 0;  // the text before it is shared and ends in a separator or ':'
    bool bSeparatorSeen = false;
    while (szFrom[i] && szTo[i]) {
        char a = szFrom[i], b = szTo[i];
        bool bSep = IsSeparator(a);
        if (bSep != IsSeparator(b) || (!bSep && ZCharToLower(a) != ZCharToLower(b)))
            break;
        if (bSep) {
            nCommon = i + 1;
            bSeparatorSeen = true;
        } else if (a == ':' && !bSeparatorSeen) {
            nCommon = i + 1;
        }
        ++i;
    }
    if (!szFrom[i]) {
        if (!szTo[i])
            return ZStringBuffer<256>();
        if (i > 0 && IsSeparator(szFrom[i - 1]))
            nCommon = i;
    }
    // One "../" for each folder of the rest of from (a trailing separator adds none).
    ZStringBuffer<256> sResult;
    const char* pRest = szFrom + nCommon;
    for (const char* p = pRest; *p; ++p)
        if (IsSeparator(*p))
            sResult.Append("../");
    size_t nRest = strlen(pRest);
    if (nRest > 0 && !IsSeparator(pRest[nRest - 1]))
        sResult.Append("../");
    const char* pTo = szTo + nCommon;
    if (IsSeparator(*pTo))
        ++pTo;
    sResult.Append(pTo);
    return sResult;
}
