#include "standins/pagehost/pagehost.h"

#include <tlhelp32.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
FILE* s_pOut = nullptr;
DWORD s_nPageThread = 0;
std::string s_FlashId = "flashObj";  // the page holds its Flash element under this id
// Flash calls may arrive on another thread than the loop that waits for them.
std::atomic<int> s_nFlashCalls{0};
bool (*s_pfnHook)(const MSG&) = nullptr;
}  // namespace

bool HostStart(int argc, char** argv, std::map<std::string, std::string>* pOptions, int* pnNext)
{
    s_nPageThread = GetCurrentThreadId();
    int i = 1;
    for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0; i += 2)
        (*pOptions)[argv[i] + 2] = argv[i + 1];
    *pnNext = i;
    if (pOptions->count("flash-id"))
        s_FlashId = (*pOptions)["flash-id"];
    s_pOut = pOptions->count("out") ? fopen((*pOptions)["out"].c_str(), "wb") : stdout;
    return s_pOut != nullptr;
}

void HostOut(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    vfprintf(s_pOut, szFormat, args);
    va_end(args);
    fputs("\n", s_pOut);
    fflush(s_pOut);
}

DWORD HostPageThread()
{
    return s_nPageThread;
}

bool HostOnPageThread()
{
    return GetCurrentThreadId() == s_nPageThread;
}

const char* HostThreadName()
{
    return HostOnPageThread() ? "thread:main" : "thread:other";
}

bool HostFindElement(const std::string& id)
{
    HostOut("page getElementById|%s|%s", id.c_str(), HostThreadName());
    return id == s_FlashId;
}

void HostFlashCall(const std::string& name, const std::vector<std::string>& args)
{
    std::string line = "flash " + name;
    for (const std::string& arg : args)
        line += "|" + arg;
    HostOut("%s|%s", line.c_str(), HostThreadName());
    ++s_nFlashCalls;
}

int HostFlashCalls()
{
    return s_nFlashCalls;
}

void HostSetMessageHook(bool (*pfnHook)(const MSG& msg))
{
    s_pfnHook = pfnHook;
}

void HostPump(DWORD nMs, int nUntilCalls)
{
    DWORD nEnd = GetTickCount() + nMs;
    for (;;) {
        if (nUntilCalls >= 0 && s_nFlashCalls >= nUntilCalls)
            return;
        DWORD nNow = GetTickCount();
        if ((LONG)(nEnd - nNow) <= 0)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, nEnd - nNow, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (s_pfnHook && s_pfnHook(msg))
                continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

int HostPumpWhile(DWORD nSeconds, const std::function<int()>& fnCount)
{
    DWORD nEnd = GetTickCount() + nSeconds * 1000;
    int nLeft = fnCount();
    while (nLeft && (LONG)(nEnd - GetTickCount()) > 0) {
        HostPump(100);
        nLeft = fnCount();
    }
    return nLeft;
}

bool HostLoopCommand(const std::string& command, int argc, char** argv, int* pi)
{
    int& i = *pi;
    if (command == "wait-flash" && i + 2 < argc) {
        int nCount = atoi(argv[++i]);
        int nSeconds = atoi(argv[++i]);
        HostPump((DWORD)nSeconds * 1000, nCount);
        HostOut("wait-flash %d", HostFlashCalls());
        return true;
    }
    if (command == "pump" && i + 1 < argc) {
        HostPump((DWORD)atoi(argv[++i]));
        return true;
    }
    return false;
}

std::set<DWORD> HostThreadIds()
{
    std::set<DWORD> ids;
    HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (hSnap == INVALID_HANDLE_VALUE)
        return ids;
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL b = Thread32First(hSnap, &entry); b; b = Thread32Next(hSnap, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ids.insert(entry.th32ThreadID);
    CloseHandle(hSnap);
    return ids;
}
