#include "common/system/zlock.h"

ZCriticalSection::ZCriticalSection()
{
    InitializeCriticalSection(&m_Section);
}
ZCriticalSection::~ZCriticalSection()
{
    DeleteCriticalSection(&m_Section);
}
void ZCriticalSection::Enter()
{
    EnterCriticalSection(&m_Section);
}
bool ZCriticalSection::TryEnter()
{
    return TryEnterCriticalSection(&m_Section) != FALSE;
}
void ZCriticalSection::Leave()
{
    LeaveCriticalSection(&m_Section);
}

HANDLE ZCreateMutex(const char* szName)
{
    SetLastError(0);  // a stale error code must not make a new mutex look taken
    HANDLE hMutex = CreateMutexA(nullptr, TRUE, szName);
    DWORD nError = GetLastError();
    if (nError == ERROR_ALREADY_EXISTS || nError == ERROR_ACCESS_DENIED) {
        // Someone else made it first (or it lives under another security context): the
        // handle we may have got does not own it, so it is not handed out.
        if (hMutex)
            CloseHandle(hMutex);
        return nullptr;
    }
    return hMutex;
}

HANDLE ZOpenMutex(const char* szName)
{
    return OpenMutexA(SYNCHRONIZE, TRUE, szName);
}

bool ZWaitForMutex(HANDLE hMutex, DWORD nTimeoutMs)
{
    return WaitForSingleObject(hMutex, nTimeoutMs) == WAIT_OBJECT_0;
}

void ZCloseMutex(HANDLE hMutex)
{
    CloseHandle(hMutex);
}

ZEvent::ZEvent(bool bManualReset, const char* szName)
    : m_hEvent(CreateEventA(nullptr, bManualReset ? TRUE : FALSE, FALSE, szName))
{
}

ZEvent::~ZEvent()
{
    if (m_hEvent)
        CloseHandle(m_hEvent);
}

void ZEvent::Set()
{
    SetEvent(m_hEvent);
}
void ZEvent::Reset()
{
    ResetEvent(m_hEvent);
}
bool ZEvent::Wait(DWORD nTimeoutMs)
{
    return WaitForSingleObject(m_hEvent, nTimeoutMs) == WAIT_OBJECT_0;
}
