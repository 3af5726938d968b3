#include "shared/debug/selfdebug.h"
#include "common/containers/zsha256.h"
#include "common/system/zthread.h"

#include <dbghelp.h>
#include <tlhelp32.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <atomic>

// The report formats with the C runtime's own printf (8 hex digits for %p on 32-bit).
#define CRASH_VSNPRINTF _vsnprintf

namespace
{
// ---------------------------------------------------------------------------------------------
// Symbol services, loaded by name. The 64-bit build uses the 64-bit forms of the same calls:
// the plain names there take 32-bit address records.
#ifdef _WIN64
typedef STACKFRAME64 ZStackFrame;
typedef IMAGEHLP_LINE64 ZImageLine;
typedef IMAGEHLP_MODULE64 ZImageModule;
typedef IMAGEHLP_SYMBOL64 ZImageSymbol;
typedef DWORD64 ZAddress;
const DWORD kMachine = IMAGE_FILE_MACHINE_AMD64;
const char* const kEntryNames[12] = {"StackWalk64",
                                     "SymCleanup",
                                     "SymFunctionTableAccess64",
                                     "SymGetLineFromAddr64",
                                     "SymGetModuleBase64",
                                     "SymGetModuleInfo64",
                                     "SymGetOptions",
                                     "SymGetSymFromAddr64",
                                     "SymInitialize",
                                     "SymSetOptions",
                                     "SymRegisterCallback64",
                                     "MiniDumpWriteDump"};
#else
typedef STACKFRAME ZStackFrame;
typedef IMAGEHLP_LINE ZImageLine;
typedef IMAGEHLP_MODULE ZImageModule;
typedef IMAGEHLP_SYMBOL ZImageSymbol;
typedef DWORD ZAddress;
const DWORD kMachine = IMAGE_FILE_MACHINE_I386;
const char* const kEntryNames[12] = {"StackWalk",          "SymCleanup",          "SymFunctionTableAccess",
                                     "SymGetLineFromAddr", "SymGetModuleBase",    "SymGetModuleInfo",
                                     "SymGetOptions",      "SymGetSymFromAddr",   "SymInitialize",
                                     "SymSetOptions",      "SymRegisterCallback", "MiniDumpWriteDump"};
static_assert(sizeof(IMAGEHLP_SYMBOL) == 24, "symbol record size");
#endif

typedef PVOID(WINAPI* FunctionTableAccessFn)(HANDLE, ZAddress);
typedef ZAddress(WINAPI* GetModuleBaseFn)(HANDLE, ZAddress);
typedef BOOL(WINAPI* StackWalkFn)(DWORD, HANDLE, HANDLE, ZStackFrame*, PVOID, PVOID, FunctionTableAccessFn,
                                  GetModuleBaseFn, PVOID);
typedef BOOL(WINAPI* SymCleanupFn)(HANDLE);
typedef BOOL(WINAPI* SymGetLineFromAddrFn)(HANDLE, ZAddress, PDWORD, ZImageLine*);
typedef BOOL(WINAPI* SymGetModuleInfoFn)(HANDLE, ZAddress, ZImageModule*);
typedef DWORD(WINAPI* SymGetOptionsFn)();
typedef BOOL(WINAPI* SymGetSymFromAddrFn)(HANDLE, ZAddress, ZAddress*, ZImageSymbol*);
typedef BOOL(WINAPI* SymInitializeFn)(HANDLE, PCSTR, BOOL);
typedef DWORD(WINAPI* SymSetOptionsFn)(DWORD);
typedef BOOL(WINAPI* MiniDumpWriteDumpFn)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

struct DbgHelp
{
    int nUseCount;
    bool bTried;
    bool bLoaded;
    HMODULE hModule;
    FARPROC apEntries[12];
    union
    {
        ZImageSymbol symbol;
        char raw[sizeof(ZImageSymbol) + 1024];
    } record;

    StackWalkFn StackWalk() const { return (StackWalkFn)apEntries[0]; }
    SymCleanupFn SymCleanup() const { return (SymCleanupFn)apEntries[1]; }
    FunctionTableAccessFn FunctionTableAccess() const { return (FunctionTableAccessFn)apEntries[2]; }
    SymGetLineFromAddrFn SymGetLineFromAddr() const { return (SymGetLineFromAddrFn)apEntries[3]; }
    GetModuleBaseFn GetModuleBase() const { return (GetModuleBaseFn)apEntries[4]; }
    SymGetModuleInfoFn SymGetModuleInfo() const { return (SymGetModuleInfoFn)apEntries[5]; }
    SymGetOptionsFn SymGetOptions() const { return (SymGetOptionsFn)apEntries[6]; }
    SymGetSymFromAddrFn SymGetSymFromAddr() const { return (SymGetSymFromAddrFn)apEntries[7]; }
    SymInitializeFn SymInitialize() const { return (SymInitializeFn)apEntries[8]; }
    SymSetOptionsFn SymSetOptions() const { return (SymSetOptionsFn)apEntries[9]; }
    MiniDumpWriteDumpFn MiniDumpWriteDump() const { return (MiniDumpWriteDumpFn)apEntries[11]; }
};
DbgHelp g_DbgHelp;

char g_szDetails[128];

// A thread spared from suspension: the one that writes a report for a stack overflow.
DWORD g_nSparedThread;
// The thread that met the exception (the report may run on another one).
DWORD g_nFaultingThread;

// ---------------------------------------------------------------------------------------------
// A fault inside a guarded step (thread name, log tail) is caught and the step skipped.
// Other threads are suspended while a report runs, so one process-wide guard suffices.
void* g_aGuardJump[5];
std::atomic<DWORD> g_nGuardThread{0};  // read by the handler, on whichever thread faults
PVOID g_hGuardHandler;

LONG WINAPI GuardHandler(EXCEPTION_POINTERS* pInfo)
{
    if (g_nGuardThread != 0 && g_nGuardThread == GetCurrentThreadId() &&
        !ZSelfDebug::IsIgnoredException(pInfo->ExceptionRecord->ExceptionCode)) {
        g_nGuardThread = 0;
        __builtin_longjmp(g_aGuardJump, 1);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

template <typename F>
bool RunGuarded(F f)
{
    if (!g_hGuardHandler)
        g_hGuardHandler = AddVectoredExceptionHandler(1, GuardHandler);
    if (__builtin_setjmp(g_aGuardJump) == 0) {
        g_nGuardThread = GetCurrentThreadId();
        f();
        g_nGuardThread = 0;
        return true;
    }
    return false;
}

void VFormat(char* szOut, size_t nSize, const char* szFormat, va_list args)
{
    int n = CRASH_VSNPRINTF(szOut, nSize - 1, szFormat, args);
    if (n < 0 || (size_t)n >= nSize - 1)
        szOut[nSize - 1] = 0;
}

// The part of a path after its last '\', '/' or ':'.
const char* FileNamePart(const char* szPath)
{
    const char* p = szPath;
    for (const char* q = szPath; *q; ++q)
        if (*q == '\\' || *q == '/' || *q == ':')
            p = q + 1;
    return p;
}

// The program's folder: module path up to its last '\', '/' or ':'.
void ProgramFolder(char* szOut, size_t nSize)
{
    char szPath[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, szPath, sizeof(szPath));
    if (n == 0 || n >= sizeof(szPath))
        szPath[0] = 0;
    size_t nCut = FileNamePart(szPath) - szPath;
    if (nCut > 0)
        --nCut;
    if (nCut >= nSize)
        nCut = nSize - 1;
    memcpy(szOut, szPath, nCut);
    szOut[nCut] = 0;
}

void WriteWholeFile(HANDLE hFile, const void* pData, DWORD nLength)
{
    const char* p = static_cast<const char*>(pData);
    while (nLength > 0) {
        DWORD nWritten = 0;
        if (!WriteFile(hFile, p, nLength, &nWritten, NULL) || nWritten == 0)
            return;
        p += nWritten;
        nLength -= nWritten;
    }
}

void WriteNameWithUnderscores(ReportSink& sink, const char* szName)
{
    for (const char* p = szName; *p; ++p) {
        char c = *p == ' ' ? '_' : *p;
        sink.Write(&c, 1);
    }
}
}  // namespace

// =============================================================================================
PrivateHeapBuffer::PrivateHeapBuffer() : m_pData(NULL), m_nSize(0), m_nCapacity(0)
{
    m_hHeap = HeapCreate(0, 0, 0);
    if (m_hHeap)
        m_pData = static_cast<char*>(HeapAlloc(m_hHeap, HEAP_ZERO_MEMORY, 32));
    if (m_pData)
        m_nCapacity = 32;
}

PrivateHeapBuffer::~PrivateHeapBuffer()
{
    DestroyHeap();
}

void PrivateHeapBuffer::DestroyHeap()
{
    if (m_hHeap)
        HeapDestroy(m_hHeap);
    m_hHeap = NULL;
    m_pData = NULL;
    m_nSize = m_nCapacity = 0;
}

void PrivateHeapBuffer::Append(const void* pData, uint32_t nLength)
{
    if (!m_pData || nLength == 0)
        return;
    if (m_nSize + nLength >= m_nCapacity) {
        uint32_t nCapacity = m_nCapacity;
        while (nCapacity <= m_nSize + nLength) {
            if (nCapacity > 0x7FFFFFFF)
                return;
            nCapacity *= 2;
        }
        void* pNew = HeapReAlloc(m_hHeap, HEAP_ZERO_MEMORY, m_pData, nCapacity);
        if (!pNew)
            return;
        m_pData = static_cast<char*>(pNew);
        m_nCapacity = nCapacity;
    }
    memcpy(m_pData + m_nSize, pData, nLength);
    m_nSize += nLength;
    m_pData[m_nSize] = 0;
}

void PrivateHeapBuffer::Truncate(uint32_t nLength)
{
    if (!m_pData || nLength >= m_nSize)
        return;
    memset(m_pData + nLength, 0, m_nSize - nLength);
    m_nSize = nLength;
}

// =============================================================================================
void ReportSink::Write(const void* pData, uint32_t nLength)
{
    m_Text.Append(pData, nLength);
}

void ReportSink::WriteString(const char* szText)
{
    Write(szText, (uint32_t)strlen(szText));
}

void ReportSink::Printf(const char* szFormat, ...)
{
    char szBuffer[10480];
    va_list args;
    va_start(args, szFormat);
    VFormat(szBuffer, sizeof(szBuffer), szFormat, args);
    va_end(args);
    WriteString(szBuffer);
}

void ReportSink::WriteValue(const char*, int32_t)
{
}
void ReportSink::WriteTextValue(const char*, const char*)
{
}

void ReportSink::WriteLine(const char* szText)
{
    WriteString(szText);
}

void ReportSink::PrintLine(const char* szFormat, ...)
{
    char szBuffer[51000];
    va_list args;
    va_start(args, szFormat);
    VFormat(szBuffer, sizeof(szBuffer) - 1, szFormat, args);
    va_end(args);
    strcat(szBuffer, "\n");
    WriteString(szBuffer);
}

void ReportSink::BeginSection(const char* szName)
{
    Printf("----- %s %s", szName, ZSelfDebug::SectionDashes(szName));
}

void ReportSink::EndSection(const char*)
{
}

// =============================================================================================
CrashLogWriter::CrashLogWriter()
{
    char szPath[MAX_PATH + 16];
    DWORD n = GetModuleFileNameA(NULL, szPath, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        szPath[0] = 0;
    char* pSlash = strrchr(szPath, '\\');
    strcpy(pSlash ? pSlash + 1 : szPath, "crash.log");
    m_hFile = CreateFileA(szPath, GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

CrashLogWriter::~CrashLogWriter()
{
    if (m_hFile != INVALID_HANDLE_VALUE)
        CloseHandle(m_hFile);
}

void CrashLogWriter::Finish()
{
    WriteString("\n\n\n");
    if (m_hFile == INVALID_HANDLE_VALUE)
        return;
    LARGE_INTEGER nZero = {}, nEnd = {};
    SetFilePointerEx(m_hFile, nZero, &nEnd, FILE_END);
    DWORD nLength = m_Text.GetSize();
    // another crashing copy may append at the same time
    BOOL bLocked = LockFile(m_hFile, nEnd.LowPart, (DWORD)nEnd.HighPart, nLength, 0);
    WriteWholeFile(m_hFile, m_Text.GetData(), nLength);
    if (bLocked)
        UnlockFile(m_hFile, nEnd.LowPart, (DWORD)nEnd.HighPart, nLength, 0);
    CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
}

// =============================================================================================
void MessageBoxReportWriter::AddCarriageReturns(const char* szText, PrivateHeapBuffer& out)
{
    for (size_t i = 0; szText[i]; ++i) {
        if (i > 0 && szText[i] == '\n' && szText[i - 1] != '\r')
            out.Append("\r", 1);
        out.Append(szText + i, 1);
    }
}

void MessageBoxReportWriter::Finish()
{
    WriteString("\n\nWould you like to copy the info to the clipboard?");
    if (MessageBoxA(NULL, m_Text.GetData(), "Error log!", MB_YESNO) != IDYES)
        return;
    PrivateHeapBuffer copy;
    AddCarriageReturns(m_Text.GetData(), copy);
    HGLOBAL hMem = GlobalAlloc(GMEM_MOVEABLE, copy.GetSize() + 1);
    if (!hMem)
        return;
    void* p = GlobalLock(hMem);
    if (!p) {
        GlobalFree(hMem);
        return;
    }
    memcpy(p, copy.GetData(), copy.GetSize() + 1);
    GlobalUnlock(hMem);
    if (OpenClipboard(NULL)) {
        EmptyClipboard();
        if (!SetClipboardData(CF_TEXT, hMem))
            GlobalFree(hMem);
        CloseClipboard();
    } else
        GlobalFree(hMem);
}

// =============================================================================================
CrashReportWriter::CrashReportWriter(EXCEPTION_POINTERS* pExceptionPointers, int nDumpMode, uint8_t bDialog)
    : m_nDepth(0), m_pExceptionPointers(pExceptionPointers), m_nDumpMode(nDumpMode), m_bDialog(bDialog)
{
}

void CrashReportWriter::DestroyHeaps()
{
    m_Text.DestroyHeap();
    m_HumanReadable.DestroyHeap();
}

void CrashReportWriter::WriteValue(const char* szName, int32_t nValue)
{
    Printf("<%s>%d</%s>\n", szName, (int)nValue, szName);
}

void CrashReportWriter::WriteTextValue(const char* szName, const char* szText)
{
    Printf("<%s>", szName);
    ZSelfDebug::EscapeXml(szText, m_Text);
    Printf("</%s>\n", szName);
}

void CrashReportWriter::WriteLine(const char* szText)
{
    m_HumanReadable.Append(szText, (uint32_t)strlen(szText));
    m_HumanReadable.Append("\n", 1);
}

void CrashReportWriter::PrintLine(const char* szFormat, ...)
{
    char szBuffer[51000];
    va_list args;
    va_start(args, szFormat);
    VFormat(szBuffer, sizeof(szBuffer), szFormat, args);
    va_end(args);
    WriteLine(szBuffer);
}

void CrashReportWriter::BeginSection(const char* szName)
{
    if (m_nDepth >= 0 && m_nDepth < kMaxDepth)
        m_anSaved[m_nDepth] = m_HumanReadable.GetSize();
    ++m_nDepth;
    WriteString("<");
    WriteNameWithUnderscores(*this, szName);
    WriteString(">");
    PrintLine("----- %s %s\n", szName, ZSelfDebug::SectionDashes(szName));
}

void CrashReportWriter::EndSection(const char* szName)
{
    --m_nDepth;
    uint32_t nSaved = (m_nDepth >= 0 && m_nDepth < kMaxDepth) ? m_anSaved[m_nDepth] : 0;
    if (m_HumanReadable.GetSize() > nSaved) {
        WriteString("<HumanReadable><![CDATA[");
        Write(m_HumanReadable.GetData() + nSaved, m_HumanReadable.GetSize() - nSaved);
        WriteString("]]></HumanReadable>\n");
        m_HumanReadable.Truncate(nSaved);
    }
    WriteString("</");
    WriteNameWithUnderscores(*this, szName);
    WriteString(">\n");
}

void CrashReportWriter::BuildReporterCommandLine(char* szOut, size_t nSize, const char* szXml, const char* szDump,
                                                 uint8_t bDialog)
{
    _snprintf(szOut, nSize - 1, "faultscribe.exe \"%s\" \"%s\" %s", szXml, szDump, bDialog ? "" : "-silent");
    szOut[nSize - 1] = 0;
}

void CrashReportWriter::Finish()
{
    char szTemp[MAX_PATH], szDump[MAX_PATH], szXml[MAX_PATH];
    if (!GetTempPathA(sizeof(szTemp), szTemp))
        strcpy(szTemp, ".");

    szDump[0] = 0;
    if (GetTempFileNameA(szTemp, "mdm", 0, szDump)) {
        HANDLE hDump = CreateFileA(szDump, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (hDump != INVALID_HANDLE_VALUE) {
            if (g_DbgHelp.bLoaded) {
                MINIDUMP_EXCEPTION_INFORMATION info;
                info.ThreadId = g_nFaultingThread ? g_nFaultingThread : GetCurrentThreadId();
                info.ExceptionPointers = m_pExceptionPointers;
                info.ClientPointers = FALSE;
                MINIDUMP_TYPE nType = (MINIDUMP_TYPE)(m_nDumpMode == 1 ? 34 : 32);
                g_DbgHelp.MiniDumpWriteDump()(GetCurrentProcess(), GetCurrentProcessId(), hDump, nType,
                                              m_pExceptionPointers ? &info : NULL, NULL, NULL);
            }
            CloseHandle(hDump);
        }
    }

    if (GetTempFileNameA(szTemp, "xml", 0, szXml)) {
        HANDLE hXml = CreateFileA(szXml, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (hXml != INVALID_HANDLE_VALUE) {
            WriteWholeFile(hXml, m_Text.GetData(), m_Text.GetSize());
            CloseHandle(hXml);

            char szCommand[3 * MAX_PATH + 64];
            BuildReporterCommandLine(szCommand, sizeof(szCommand), szXml, szDump, m_bDialog);
            STARTUPINFOA si = {};
            si.cb = sizeof(si);
            PROCESS_INFORMATION pi = {};
            if (CreateProcessA(NULL, szCommand, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
                CloseHandle(pi.hThread);
                CloseHandle(pi.hProcess);
            }
        }
    }

    CrashLogWriter::Finish();
}

// =============================================================================================
ZSelfDebug::ZSelfDebug(ReportSink* pSink) : m_hProcess(NULL), m_pSink(pSink), m_bStarted(false)
{
    ProgramFolder(m_szFolder, sizeof(m_szFolder));
}

ZSelfDebug::~ZSelfDebug()
{
    if (m_bStarted)
        UnloadDbgHelp();
}

bool ZSelfDebug::IsIgnoredException(DWORD nCode)
{
    switch (nCode) {
    case 1722:
    case 1753:
    case 1780:
    case 0x40010006:
    case 0xE06D7363:
    case 0x406D1388: return true;
    default: return false;
    }
}

void ZSelfDebug::SuspendOtherThreads(bool bResume)
{
    HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (hSnap == INVALID_HANDLE_VALUE)
        return;
    DWORD nProcess = GetCurrentProcessId(), nSelf = GetCurrentThreadId();
    THREADENTRY32 te;
    te.dwSize = sizeof(te);
    for (BOOL b = Thread32First(hSnap, &te); b; b = Thread32Next(hSnap, &te)) {
        if (te.th32OwnerProcessID != nProcess || te.th32ThreadID == nSelf || te.th32ThreadID == g_nSparedThread)
            continue;
        HANDLE hThread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, te.th32ThreadID);
        if (!hThread)
            continue;
        if (bResume)
            ResumeThread(hThread);
        else
            SuspendThread(hThread);
        CloseHandle(hThread);
    }
    CloseHandle(hSnap);
}

bool ZSelfDebug::IsDebuggerPresent()
{
    return ::IsDebuggerPresent() != FALSE;
}

const char* ZSelfDebug::SectionDashes(const char* szName)
{
    static const char s_szDashes[] = "----------------------------------------------------------------";
    size_t n = strlen(szName);
    if (n > 63)
        n = 63;
    return s_szDashes + n;  // 64 - n dashes
}

void ZSelfDebug::EscapeXml(const char* szText, PrivateHeapBuffer& out)
{
    for (const unsigned char* p = (const unsigned char*)szText; *p; ++p) {
        switch (*p) {
        case '&': out.Append("&amp;", 5); break;
        case '<': out.Append("&lt;", 4); break;
        case '>': out.Append("&gt;", 4); break;
        case '"': out.Append("&quot;", 6); break;
        case '\'': out.Append("&apos;", 6); break;
        default:
            if (*p >= 32 && *p <= 127)
                out.Append(p, 1);
            else {
                char sz[16];
                int n = _snprintf(sz, sizeof(sz), "&#%d;", *p);
                out.Append(sz, (uint32_t)n);
            }
        }
    }
}

const char* ZSelfDebug::GetExceptionName(const EXCEPTION_RECORD* pRecord, const char** pszDetails)
{
    g_szDetails[0] = 0;
    *pszDetails = g_szDetails;
    switch (pRecord->ExceptionCode) {
    case 0x80000001: return "GUARD_PAGE_VIOLATION";
    case 0x80000002: return "DATATYPE_MISALIGNMENT";
    case 0x80000003: return "BREAKPOINT";
    case 0x80000004: return "SINGLE_STEP";
    case 0x40000005: return "SEGMENT_NOTIFICATION";
    case 0xC0000005: {
        const char* szOp = "access";
        void* pAddress = NULL;
        if (pRecord->NumberParameters >= 2) {
            switch (pRecord->ExceptionInformation[0]) {
            case 0: szOp = "read from"; break;
            case 1: szOp = "write to"; break;
            case 8: szOp = "DEP violation at"; break;
            }
            pAddress = (void*)pRecord->ExceptionInformation[1];
        }
        _snprintf(g_szDetails, sizeof(g_szDetails) - 1, "(%s %p)", szOp, pAddress);
        return "ACCESS_VIOLATION";
    }
    case 0xC0000006: return "IN_PAGE_ERROR";
    case 0xC0000008: return "INVALID_HANDLE";
    case 0xC0000017: return "NO_MEMORY";
    case 0xC000001D: return "ILLEGAL_INSTRUCTION";
    case 0xC0000025: return "NONCONTINUABLE_EXCEPTION";
    case 0xC0000026: return "INVALID_DISPOSITION";
    case 0xC000008C: return "ARRAY_BOUNDS_EXCEEDED";
    case 0xC000008D: return "FLOAT_DENORMAL_OPERAND";
    case 0xC000008E: return "FLOAT_DIVIDE_BY_ZERO";
    case 0xC000008F: return "FLOAT_INEXACT_RESULT";
    case 0xC0000090: return "FLOAT_INVALID_OPERATION";
    case 0xC0000091: return "FLOAT_OVERFLOW";
    case 0xC0000092: return "FLOAT_STACK_CHECK";
    case 0xC0000093: return "FLOAT_UNDERFLOW";
    case 0xC0000094: return "INTEGER_DIVIDE_BY_ZERO";
    case 0xC0000095: return "INTEGER_OVERFLOW";
    case 0xC0000096: return "PRIVILEGED_INSTRUCTION";
    case 0xC00000FD: return "STACK_OVERFLOW";
    case 0xC000013A: return "CONTROL_C_EXIT";
    case 0xC00002B4: return "FLOAT_MULTIPLE_FAULTS";
    case 0xC00002B5: return "FLOAT_MULTIPLE_TRAPS";
    case 0xC00002C0: return "ILLEGAL_VLM_REFERENCE";
    default:
        _snprintf(g_szDetails, sizeof(g_szDetails) - 1, "code %p", (void*)(uintptr_t)pRecord->ExceptionCode);
        return "Unknown exception";
    }
}

bool ZSelfDebug::LoadDbgHelp()
{
    ++g_DbgHelp.nUseCount;
    m_bStarted = true;
    m_hProcess = GetCurrentProcess();
    if (g_DbgHelp.bTried)
        return g_DbgHelp.bLoaded;
    g_DbgHelp.bTried = true;

    g_DbgHelp.hModule = LoadLibraryA("dbghelp.dll");
    if (!g_DbgHelp.hModule) {
        m_pSink->PrintLine("Couldn't load dbghelp.dll");
        m_pSink->WriteTextValue("Error", "Couldn't load dbghelp.dll");
        return false;
    }
    for (int i = 0; i < 12; ++i) {
        g_DbgHelp.apEntries[i] = GetProcAddress(g_DbgHelp.hModule, kEntryNames[i]);
        if (!g_DbgHelp.apEntries[i]) {
            FreeLibrary(g_DbgHelp.hModule);
            g_DbgHelp.hModule = NULL;
            return false;
        }
    }
    g_DbgHelp.SymSetOptions()(g_DbgHelp.SymGetOptions()() | SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES);

    char szPath[4096];
    char szDir[MAX_PATH];
    if (!GetCurrentDirectoryA(sizeof(szDir), szDir))
        szDir[0] = 0;
    _snprintf(szPath, sizeof(szPath) - 1, "%s;%s;", m_szFolder, szDir);
    szPath[sizeof(szPath) - 1] = 0;
    static const char* const s_aVars[] = {"_NT_SYMBOL_PATH", "_NT_ALTERNATE_SYMBOL_PATH", "SYSTEMROOT"};
    for (const char* szVar : s_aVars) {
        char szValue[1024];
        DWORD n = GetEnvironmentVariableA(szVar, szValue, sizeof(szValue));
        if (n == 0 || n >= sizeof(szValue))
            continue;
        size_t nUsed = strlen(szPath);
        if (nUsed + n + 2 < sizeof(szPath)) {
            strcat(szPath, szValue);
            strcat(szPath, ";");
        }
    }
    if (!g_DbgHelp.SymInitialize()(m_hProcess, szPath, TRUE)) {
        FreeLibrary(g_DbgHelp.hModule);
        g_DbgHelp.hModule = NULL;
        return false;
    }
    memset(&g_DbgHelp.record, 0, sizeof(g_DbgHelp.record));
    g_DbgHelp.bLoaded = true;
    return true;
}

void ZSelfDebug::UnloadDbgHelp()
{
    // the library stays loaded for the rest of the process
    if (g_DbgHelp.nUseCount > 0)
        --g_DbgHelp.nUseCount;
    m_bStarted = false;
}

void ZSelfDebug::FormatFrame(uintptr_t nAddress, char* szOut, size_t nSize)
{
    const char* szModule = "[unknown]";
    ZImageModule module;
    memset(&module, 0, sizeof(module));
    module.SizeOfStruct = sizeof(module);
    if (g_DbgHelp.SymGetModuleInfo()(m_hProcess, nAddress, &module))
        szModule = module.ModuleName;

    char szLocation[MAX_PATH + 64];
    szLocation[0] = 0;
    ZImageLine line;
    memset(&line, 0, sizeof(line));
    line.SizeOfStruct = sizeof(line);
    DWORD nLineDisplacement = 0;
    if (g_DbgHelp.SymGetLineFromAddr()(m_hProcess, nAddress, &nLineDisplacement, &line) && line.FileName)
        _snprintf(szLocation, sizeof(szLocation) - 1, "%s(%d) + %d bytes", FileNamePart(line.FileName),
                  (int)line.LineNumber, (int)nLineDisplacement);
    szLocation[sizeof(szLocation) - 1] = 0;

    ZImageSymbol* pSymbol = &g_DbgHelp.record.symbol;
    memset(&g_DbgHelp.record, 0, sizeof(g_DbgHelp.record));
    pSymbol->SizeOfStruct = sizeof(ZImageSymbol);
    pSymbol->MaxNameLength = 1024;
    ZAddress nDisplacement = 0;
    if (g_DbgHelp.SymGetSymFromAddr()(m_hProcess, nAddress, &nDisplacement, pSymbol))
        _snprintf(szOut, nSize - 1, "%16s: %p %s() %s", szModule, (void*)nAddress, pSymbol->Name, szLocation);
    else
        _snprintf(szOut, nSize - 1, "%16s: %p %s", szModule, (void*)nAddress, szLocation);
    szOut[nSize - 1] = 0;
}

void ZSelfDebug::PrintStackTrace(const CONTEXT* pContext)
{
    m_pSink->BeginSection("Stack trace");
    // the walk changes its context: work on an aligned copy
    alignas(16) CONTEXT context = *pContext;
    ZStackFrame frame;
    memset(&frame, 0, sizeof(frame));
#ifdef _WIN64
    frame.AddrPC.Offset = context.Rip;
    frame.AddrFrame.Offset = context.Rbp;
    frame.AddrStack.Offset = context.Rsp;
#else
    frame.AddrPC.Offset = context.Eip;
    frame.AddrFrame.Offset = context.Ebp;
    frame.AddrStack.Offset = context.Esp;
#endif
    frame.AddrPC.Mode = frame.AddrFrame.Mode = frame.AddrStack.Mode = AddrModeFlat;

    HANDLE hThread = GetCurrentThread();
    ZAddress nPrevious = 0;
    for (int i = 0; i < 20; ++i) {
        if (!g_DbgHelp.StackWalk()(kMachine, m_hProcess, hThread, &frame, &context, NULL,
                                   g_DbgHelp.FunctionTableAccess(), g_DbgHelp.GetModuleBase(), NULL))
            break;
        char szFrame[2048];
        FormatFrame((uintptr_t)frame.AddrPC.Offset, szFrame, sizeof(szFrame));
        m_pSink->PrintLine("%s", szFrame);
        if (i > 0 && frame.AddrPC.Offset == nPrevious) {
            m_pSink->PrintLine("Breaking stack walk");
            break;
        }
        nPrevious = frame.AddrPC.Offset;
    }
    m_pSink->EndSection("Stack trace");
}

void ZSelfDebug::PrintFunctionDump(uintptr_t nAddress)
{
    ZImageLine line;
    memset(&line, 0, sizeof(line));
    line.SizeOfStruct = sizeof(line);
    DWORD nDisplacement = 0;
    if (!g_DbgHelp.SymGetLineFromAddr()(m_hProcess, nAddress, &nDisplacement, &line) || !line.FileName)
        return;
    int nLine = (int)line.LineNumber;
    int nFirst = nLine > 8 ? nLine - 8 : 1;
    int nLast = nLine + 8;

    HANDLE hFile =
        CreateFileA(line.FileName, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        // Sources shipped beside the program: "Source\" + the last five parts of the file's path.
        const char* pTail = line.FileName + strlen(line.FileName);
        int nParts = 0;
        while (pTail > line.FileName) {
            --pTail;
            if ((*pTail == '\\' || *pTail == '/') && ++nParts == 5) {
                ++pTail;
                break;
            }
        }
        char szAlt[2 * MAX_PATH];
        _snprintf(szAlt, sizeof(szAlt) - 1, "%s\\Source\\%s", m_szFolder, pTail);
        szAlt[sizeof(szAlt) - 1] = 0;
        for (char* p = szAlt; *p; ++p)
            if (*p == '/')
                *p = '\\';
        hFile = CreateFileA(szAlt, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
        if (hFile == INVALID_HANDLE_VALUE)
            return;
    }
    DWORD nSize = GetFileSize(hFile, NULL);
    char* pData = nSize == INVALID_FILE_SIZE ? NULL : (char*)HeapAlloc(GetProcessHeap(), 0, nSize + 1);
    DWORD nRead = 0;
    bool bOk = pData && ReadFile(hFile, pData, nSize, &nRead, NULL) && nRead == nSize;
    CloseHandle(hFile);
    if (!bOk) {
        if (pData)
            HeapFree(GetProcessHeap(), 0, pData);
        return;
    }
    pData[nSize] = 0;

    const char* p = pData;
    for (int n = 1; n < nFirst && p; ++n) {
        p = strchr(p, '\n');
        if (p)
            ++p;
    }
    if (p && *p) {
        m_pSink->BeginSection("Function dump");
        m_pSink->PrintLine("%s (line %d to %d):\n", line.FileName, nFirst, nLast);
        for (int n = nFirst; n <= nLast; ++n) {
            const char* pEnd = strchr(p, '\n');
            if (!pEnd)
                break;
            int nLength = (int)(pEnd - p);
            if (nLength > 0 && p[nLength - 1] == '\r')
                --nLength;
            if (nLength > 50000 - 16)
                nLength = 50000 - 16;
            m_pSink->PrintLine("%.*s%s", nLength, p, n == nLine ? "    <<-----" : "");
            p = pEnd + 1;
        }
        m_pSink->EndSection("Function dump");
    }
    HeapFree(GetProcessHeap(), 0, pData);
}

void ZSelfDebug::PrintFileInfo()
{
    char szPath[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, szPath, sizeof(szPath));
    char* pSlash = (n > 0 && n < sizeof(szPath)) ? strrchr(szPath, '\\') : NULL;
    if (!pSlash) {
        m_pSink->PrintLine("PrintFileInfo failed: Couldn't GetModuleFileName(), error code %d", (int)GetLastError());
        return;
    }
    *pSlash = 0;
    SetCurrentDirectoryA(szPath);

    m_pSink->BeginSection("File info");
    static const char* const s_aFiles[] = {"ivl.exe", "player.dll", "ivlsync.exe"};
    for (const char* szName : s_aFiles) {
        HANDLE hFile = CreateFileA(szName, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        if (hFile == INVALID_HANDLE_VALUE) {
            m_pSink->PrintLine("PrintFileInfo failed: Couldn't open '%s'", szName);
            continue;
        }
        DWORD nSize = GetFileSize(hFile, NULL);
        void* pData = nSize == INVALID_FILE_SIZE ? NULL : HeapAlloc(GetProcessHeap(), 0, nSize ? nSize : 1);
        if (!pData) {
            m_pSink->PrintLine("PrintFileInfo failed: Unable to allocate memory for %s (%d bytes)", szName, (int)nSize);
            CloseHandle(hFile);
            continue;
        }
        DWORD nRead = 0;
        if (!ReadFile(hFile, pData, nSize, &nRead, NULL) || nRead != nSize)
            m_pSink->PrintLine("PrintFileInfo failed: Couldn't read file %s", szName);
        else {
            char szHex[65];
            Sha256 sha;
            sha.HashToHex(pData, nSize, szHex);
            szHex[64] = 0;
            m_pSink->PrintLine("'%s' %d bytes, SHA256: %s", szName, (int)nSize, szHex);
        }
        HeapFree(GetProcessHeap(), 0, pData);
        CloseHandle(hFile);
    }
    m_pSink->EndSection("File info");
}

void ZSelfDebug::PrintLogTail(const char* szLogFile)
{
    enum
    {
        kTail = 50000
    };
    char szTail[kTail + 1];
    HANDLE hFile =
        CreateFileA(szLogFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        m_pSink->PrintLine("\n\nCouldn't open log file %s, but you might be able to\n", szLogFile);
        return;
    }
    LARGE_INTEGER nSize = {};
    if (GetFileSizeEx(hFile, &nSize) && nSize.QuadPart > 0) {
        m_pSink->PrintLine("\nThe last lines from %s:\n", szLogFile);
        DWORD nWant = nSize.QuadPart < kTail ? (DWORD)nSize.QuadPart : (DWORD)kTail;
        LARGE_INTEGER nStart;
        nStart.QuadPart = nSize.QuadPart - nWant;
        DWORD nRead = 0;
        if (SetFilePointerEx(hFile, nStart, NULL, FILE_BEGIN) && ReadFile(hFile, szTail, nWant, &nRead, NULL)) {
            for (DWORD i = 0; i < nRead; ++i) {
                unsigned char c = (unsigned char)szTail[i];
                if (c < 8 || c >= 128)
                    szTail[i] = ' ';
            }
            szTail[nRead] = 0;
            const char* pLf = strchr(szTail, '\n');
            m_pSink->PrintLine("%s", pLf ? pLf + 1 : szTail);
        }
    }
    CloseHandle(hFile);
}

int ZSelfDebug::WriteReport(EXCEPTION_POINTERS* pExceptionPointers, const char* szLogFile, const char* szUserName,
                            const char* szSceneName)
{
    ReportSink& sink = *m_pSink;
    sink.BeginSection("Exception");

    ProgramFolder(m_szFolder, sizeof(m_szFolder));
    char szVersionPath[MAX_PATH + 16];
    _snprintf(szVersionPath, sizeof(szVersionPath) - 1, "%s\\version.txt", m_szFolder);
    szVersionPath[sizeof(szVersionPath) - 1] = 0;
    HANDLE hVersion = CreateFileA(szVersionPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (hVersion != INVALID_HANDLE_VALUE) {
        char szVersion[100];
        DWORD nRead = 0;
        if (!ReadFile(hVersion, szVersion, 99, &nRead, NULL))
            nRead = 0;
        szVersion[nRead] = 0;
        CloseHandle(hVersion);
        sink.PrintLine("Version %s", szVersion);
        sink.WriteTextValue("Version", szVersion);
    }

    void* pAddress = NULL;
    if (pExceptionPointers && pExceptionPointers->ExceptionRecord) {
        const char* szDetails = "";
        const char* szName = GetExceptionName(pExceptionPointers->ExceptionRecord, &szDetails);
        pAddress = pExceptionPointers->ExceptionRecord->ExceptionAddress;
        sink.PrintLine("Exception at %p: %s %s", pAddress, szName, szDetails);
        sink.WriteValue("ExceptionAddress", (int32_t)(intptr_t)pAddress);
        sink.WriteTextValue("Description", szName);
        if (szDetails[0])
            sink.WriteTextValue("Details", szDetails);
    }
    if (szUserName && szUserName[0]) {
        sink.PrintLine("Username: %s", szUserName);
        sink.WriteTextValue("Username", szUserName);
    }
    if (szSceneName && szSceneName[0]) {
        sink.PrintLine("Scene: %s", szSceneName);
        sink.WriteTextValue("Scene", szSceneName);
    }

    bool bSymbols = LoadDbgHelp();
    if (bSymbols && pAddress) {
        char szFrame[2048];
        FormatFrame((uintptr_t)pAddress, szFrame, sizeof(szFrame));
        sink.PrintLine("%s", szFrame);
    }

    char szComputer[260];
    DWORD nComputer = sizeof(szComputer);
    if (GetComputerNameA(szComputer, &nComputer))
        sink.PrintLine("Computer name: %s", szComputer);
    sink.PrintLine("Command line: %s", GetCommandLineA());

    char szThreadName[1024];
    bool bNamed = false;
    RunGuarded([&] {
        bNamed = ZThreadRegistry::GetThreadName(g_nFaultingThread ? g_nFaultingThread : GetCurrentThreadId(),
                                                szThreadName, sizeof(szThreadName));
    });
    if (bNamed)
        sink.PrintLine("Thread name: %s\n", szThreadName);

    time_t now = time(NULL);
    const struct tm* pTime = gmtime(&now);
    sink.PrintLine("Time (UTC): %s\n", pTime ? asctime(pTime) : "");

    if (bSymbols && pExceptionPointers && pExceptionPointers->ContextRecord) {
        PrintStackTrace(pExceptionPointers->ContextRecord);
        PrintFunctionDump((uintptr_t)pAddress);
    }
    if (bSymbols)
        PrintFileInfo();

    if (szLogFile && szLogFile[0])
        RunGuarded([&] { PrintLogTail(szLogFile); });

    sink.EndSection("Exception");
    return 0;
}

// =============================================================================================
namespace
{
struct ReportJob
{
    EXCEPTION_POINTERS* pExceptionPointers;
    uint8_t bDialog;
    const char* szLogFile;
    const char* szUserName;
    const char* szSceneName;
};

void RunReport(const ReportJob& job)
{
    CrashReportWriter writer(job.pExceptionPointers, 0, job.bDialog);
    ZSelfDebug self(&writer);
    self.WriteReport(job.pExceptionPointers, job.szLogFile, job.szUserName, job.szSceneName);
    writer.Finish();
    writer.DestroyHeaps();
}

DWORD WINAPI ReportThread(LPVOID pJob)
{
    RunReport(*static_cast<ReportJob*>(pJob));
    return 0;
}
}  // namespace

int CrashHandler(EXCEPTION_POINTERS* pExceptionPointers, uint8_t bDialog, const char* szLogFile, const char* szUserName,
                 const char* szSceneName)
{
    ReportJob job = {pExceptionPointers, bDialog, szLogFile, szUserName, szSceneName};
    g_nFaultingThread = GetCurrentThreadId();
    bool bStackOverflow = pExceptionPointers && pExceptionPointers->ExceptionRecord &&
        pExceptionPointers->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW;
    if (bStackOverflow) {
        // The faulting thread has no stack left for the report's buffers: a fresh thread writes
        // it while this one waits.
        HANDLE hThread = CreateThread(NULL, 1 << 20, ReportThread, &job, CREATE_SUSPENDED, &g_nSparedThread);
        if (hThread) {
            ZSelfDebug::SuspendOtherThreads(false);
            ResumeThread(hThread);
            WaitForSingleObject(hThread, INFINITE);
            CloseHandle(hThread);
            ZSelfDebug::SuspendOtherThreads(true);
            g_nSparedThread = g_nFaultingThread = 0;
            return 0;
        }
        g_nSparedThread = 0;
    }
    ZSelfDebug::SuspendOtherThreads(false);
    RunReport(job);
    ZSelfDebug::SuspendOtherThreads(true);
    g_nFaultingThread = 0;
    return 0;
}
