#include "common/system/process.h"
#include "common/system/file.h"
#include "common/system/zlog.h"
#include <tlhelp32.h>
#include <psapi.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOA) == 68, "STARTUPINFO is 68 bytes");
static_assert(sizeof(void*) != 4 || sizeof(SHELLEXECUTEINFOA) == 60, "SHELLEXECUTEINFO is 60 bytes");

namespace
{
const DWORD s_nOpenAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE;
static_assert((PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE) == 0x411, "open access");

void CloseIfSet(HANDLE& h)
{
    if (h != nullptr) {
        CloseHandle(h);
        h = nullptr;
    }
}
}

void Process::Handle::Close()
{
    if (m_hProcess != nullptr && m_hProcess != INVALID_HANDLE_VALUE)
        CloseHandle(m_hProcess);
}

Process Process::Wrap(HANDLE hProcess)
{
    Process process;
    process.m_Record.Create(Handle{hProcess});
    return process;
}

Process Process::Current()
{
    return Wrap(OpenProcess(s_nOpenAccess, FALSE, GetCurrentProcessId()));
}

Process Process::FromWindow(const char* szTitle)
{
    DWORD nId = 0;
    HWND hWnd = FindWindowA(nullptr, szTitle);
    if (hWnd != nullptr)
        GetWindowThreadProcessId(hWnd, &nId);
    return Wrap(nId != 0 ? OpenProcess(s_nOpenAccess, FALSE, nId) : nullptr);
}

Process Process::FindByName(const char* szExeName)
{
    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE)
        return Process();
    Process found;
    PROCESSENTRY32 entry;
    memset(&entry, 0, sizeof(entry));
    entry.dwSize = sizeof(entry);
    for (BOOL bMore = Process32First(hSnapshot, &entry); bMore; bMore = Process32Next(hSnapshot, &entry)) {
        if (_stricmp(entry.szExeFile, szExeName) == 0) {
            found = Wrap(OpenProcess(READ_CONTROL, FALSE, entry.th32ProcessID));
            break;
        }
    }
    CloseHandle(hSnapshot);
    return found;
}

bool Process::BuildCommandLine(char* pBuffer, const char* szPath, const char* szArguments)
{
    if (szPath == nullptr)
        szPath = "";
    if (szArguments == nullptr)
        szArguments = "";
    size_t nPath = strlen(szPath);
    size_t nArgs = strlen(szArguments);
    // CreateProcess takes the program from the line up to its first blank: a path with blanks
    // is quoted, or a child would start with a piece of its folder's name as its own. The
    // arguments stay exactly as given.
    bool bQuote = szPath[0] != '"' && strpbrk(szPath, " \t") != nullptr;
    size_t nQuotes = bQuote ? 2 : 0;
    if (nPath + nQuotes + 1 + nArgs > MAX_COMMAND_LINE)
        return false;
    char* p = pBuffer;
    if (bQuote)
        *p++ = '"';
    memcpy(p, szPath, nPath);
    p += nPath;
    if (bQuote)
        *p++ = '"';
    *p++ = ' ';
    memcpy(p, szArguments, nArgs + 1);
    return true;
}

DWORD Process::CreationFlagsOfLevel(int nLevel)
{
    switch (nLevel) {
    case PRIORITY_PARENT: return 0;
    case PRIORITY_IDLE: return IDLE_PRIORITY_CLASS;
    case PRIORITY_NORMAL: return NORMAL_PRIORITY_CLASS;
    case PRIORITY_ABOVE_NORMAL: return ABOVE_NORMAL_PRIORITY_CLASS;
    case PRIORITY_HIGH: return HIGH_PRIORITY_CLASS;
    case PRIORITY_REALTIME: return REALTIME_PRIORITY_CLASS;
    default: return BELOW_NORMAL_PRIORITY_CLASS;  // 2, and anything else
    }
}

Process Process::Start(const char* szPath, const char* szArguments, const char* szWorkingDir, const char* szTitle,
                       bool bHidden, bool bNoUi, int nPriority)
{
    // A command line that does not fit is refused rather than cut or overrun.
    char szCommandLine[MAX_COMMAND_LINE + 1];
    if (!BuildCommandLine(szCommandLine, szPath, szArguments))
        return Wrap(INVALID_HANDLE_VALUE);

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.lpTitle = const_cast<char*>(szTitle);
    if (bHidden) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
    }

    PROCESS_INFORMATION info;
    memset(&info, 0, sizeof(info));
    DWORD nFlags = CreationFlagsOfLevel(nPriority);
    if (CreateProcessA(nullptr, szCommandLine, nullptr, nullptr, FALSE, nFlags | CREATE_SUSPENDED, nullptr,
                       szWorkingDir, &startup, &info)) {
        // Wine ignores the class flags of CreateProcess: set the class again before the child runs.
        if (nFlags != 0)
            SetPriorityClass(info.hProcess, nFlags);
        ResumeThread(info.hThread);
        CloseHandle(info.hThread);
        return Wrap(info.hProcess);
    }

    // Documents and programs that need elevation: let the shell start them.
    SHELLEXECUTEINFOA shell;
    memset(&shell, 0, sizeof(shell));
    shell.cbSize = sizeof(shell);
    shell.fMask = SEE_MASK_NOCLOSEPROCESS | (bNoUi ? SEE_MASK_FLAG_NO_UI : 0);
    shell.lpFile = szPath;
    shell.lpParameters = szArguments;
    shell.lpDirectory = szWorkingDir;
    shell.nShow = startup.wShowWindow;
    if (ShellExecuteExA(&shell) && shell.hProcess != nullptr)
        return Wrap(shell.hProcess);
    return Wrap(INVALID_HANDLE_VALUE);
}

Process Process::StartWithPipes(const char* szPath, const char* szArguments, File* pOutput, File* pInput,
                                const char* szWorkingDir, const char* szTitle, bool bHidden)
{
    char szCommandLine[MAX_COMMAND_LINE + 1];
    if (!BuildCommandLine(szCommandLine, szPath, szArguments))
        return Process();

    SECURITY_ATTRIBUTES security;
    memset(&security, 0, sizeof(security));
    security.nLength = sizeof(security);
    security.bInheritHandle = TRUE;

    HANDLE hOutRead = nullptr, hOutWrite = nullptr, hInRead = nullptr, hInWrite = nullptr;
    auto fail = [&](const char* szMessage) {
        if (szMessage != nullptr)
            ZLog::Print("common.system", __FILE__, szMessage);
        CloseIfSet(hOutRead);
        CloseIfSet(hOutWrite);
        CloseIfSet(hInRead);
        CloseIfSet(hInWrite);
        return Process();
    };

    if (pOutput != nullptr) {
        if (!CreatePipe(&hOutRead, &hOutWrite, &security, 0))
            return fail("CreatePipe failed (stdout)");
        if (!SetHandleInformation(hOutRead, HANDLE_FLAG_INHERIT, 0))
            return fail("SetHandleInformation failed (stdout)");
    }
    if (pInput != nullptr) {
        if (!CreatePipe(&hInRead, &hInWrite, &security, 0))
            return fail("CreatePipe failed (stdin)");
        if (!SetHandleInformation(hInWrite, HANDLE_FLAG_INHERIT, 0))
            return fail("SetHandleInformation failed (stdin)");
    }

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.lpTitle = const_cast<char*>(szTitle);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = hOutWrite;
    startup.hStdError = hOutWrite;
    startup.hStdInput = hInRead;
    if (bHidden) {
        startup.dwFlags |= STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
    }

    PROCESS_INFORMATION info;
    memset(&info, 0, sizeof(info));
    if (!CreateProcessA(nullptr, szCommandLine, nullptr, nullptr, TRUE, 0, nullptr, szWorkingDir, &startup, &info))
        return fail(nullptr);
    CloseHandle(info.hThread);
    // The child holds its own copies now; ours would keep the pipes from reporting its end.
    CloseIfSet(hOutWrite);
    CloseIfSet(hInRead);

    // The child's output is handed over whole: nothing is read from it here.
    if (pOutput != nullptr) {
        FILE* pStream = nullptr;
        int fd = _open_osfhandle(reinterpret_cast<intptr_t>(hOutRead), _O_RDONLY | _O_BINARY);
        if (fd != -1) {
            hOutRead = nullptr;  // owned by the descriptor now
            pStream = _fdopen(fd, "rb");
            if (pStream == nullptr)
                _close(fd);
        }
        *pOutput = pStream != nullptr ? File::FromStream(pStream, File::MODE_READ) : File();
    }
    if (pInput != nullptr) {
        FILE* pStream = nullptr;
        int fd = _open_osfhandle(reinterpret_cast<intptr_t>(hInWrite), _O_WRONLY | _O_BINARY);
        if (fd != -1) {
            hInWrite = nullptr;
            pStream = _fdopen(fd, "wb");
            if (pStream == nullptr)
                _close(fd);
        }
        // Unbuffered, so what the caller writes reaches the child without a flush.
        if (pStream != nullptr)
            setvbuf(pStream, nullptr, _IONBF, 0);
        *pInput = pStream != nullptr ? File::FromStream(pStream, File::MODE_WRITE) : File();
    }
    CloseIfSet(hOutRead);
    CloseIfSet(hInWrite);
    return Wrap(info.hProcess);
}

bool Process::IsValid() const
{
    // A failed open leaves a null handle: that is no process either.
    return GetHandle() != nullptr;
}

// INVALID_HANDLE_VALUE is also the pseudo-handle of the running process, so a failed start
// must never reach a system call: it would wait for, query or end the caller itself.
HANDLE Process::GetHandle() const
{
    if (!m_Record || m_Record->m_hProcess == INVALID_HANDLE_VALUE)
        return nullptr;
    return m_Record->m_hProcess;
}

bool Process::operator==(const Process& other) const
{
    return GetId() == other.GetId();
}

DWORD Process::GetId() const
{
    HANDLE h = GetHandle();
    return h != nullptr ? GetProcessId(h) : 0;
}

bool Process::IsRunning() const
{
    HANDLE h = GetHandle();
    DWORD nCode = 0;
    return h != nullptr && GetExitCodeProcess(h, &nCode) && nCode == STILL_ACTIVE;
}

bool Process::Wait(DWORD nTimeoutMs) const
{
    HANDLE h = GetHandle();
    return h != nullptr && WaitForSingleObject(h, nTimeoutMs) == WAIT_OBJECT_0;
}

int Process::GetExitCode() const
{
    HANDLE h = GetHandle();
    DWORD nCode = 0;
    if (h == nullptr || !GetExitCodeProcess(h, &nCode))
        return -1;
    return static_cast<int>(nCode);
}

bool Process::Terminate() const
{
    HANDLE h = GetHandle();
    return h != nullptr && TerminateProcess(h, 0) != 0;
}

void Process::SetPriority(int nLevel) const
{
    DWORD nClass;
    switch (nLevel) {
    case PRIORITY_IDLE: nClass = IDLE_PRIORITY_CLASS; break;
    case PRIORITY_BELOW_NORMAL: nClass = BELOW_NORMAL_PRIORITY_CLASS; break;
    case PRIORITY_ABOVE_NORMAL: nClass = ABOVE_NORMAL_PRIORITY_CLASS; break;
    case PRIORITY_HIGH: nClass = HIGH_PRIORITY_CLASS; break;
    case PRIORITY_REALTIME: nClass = REALTIME_PRIORITY_CLASS; break;
    default: nClass = NORMAL_PRIORITY_CLASS; break;
    }
    if (GetHandle() != nullptr)
        SetPriorityClass(GetHandle(), nClass);
}

ZStringBuffer<256> Process::GetModuleName() const
{
    HANDLE h = GetHandle();
    HMODULE hModule = nullptr;
    DWORD nNeeded = 0;
    char szName[1024];
    if (h == nullptr || !EnumProcessModules(h, &hModule, sizeof(hModule), &nNeeded) ||
        GetModuleBaseNameA(h, hModule, szName, sizeof(szName)) == 0)
        return ZStringBuffer<256>();
    return ZStringBuffer<256>(szName);
}

ZStringBuffer<256> Process::GetModuleFileName() const
{
    char szPath[260];
    DWORD n = ::GetModuleFileNameA(nullptr, szPath, 259);
    szPath[n < 259 ? n : 259] = 0;
    return ZStringBuffer<256>(szPath);
}

ZStringArray Process::SplitCommandLine(const char* szText)
{
    ZStringArray args;
    ZStringBuffer<256> token;
    bool bInQuotes = false;
    bool bSeparator = false;
    for (const char* p = szText != nullptr ? szText : ""; *p != 0; ++p) {
        char c = *p;
        if (c == '"') {
            if (bInQuotes)
                bSeparator = true;
            bInQuotes = !bInQuotes;
            continue;
        }
        if (!bInQuotes && (c == ' ' || c == '\t')) {
            bSeparator = true;
            continue;
        }
        if (bSeparator) {
            // Nothing collected yet (leading blanks, a leading "") makes no argument.
            bSeparator = false;
            if (token.GetLength() > 0)
                args.Add(token.GetData());
            token.Clear();
        }
        token.AppendChar(c);
    }
    if (token.GetLength() > 0)
        args.Add(token.GetData());
    return args;
}

ZStringArray Process::CommandLine() const
{
    return SplitCommandLine(GetCommandLineA());
}

void Process::Exit(int nCode)
{
    exit(nCode);
}
