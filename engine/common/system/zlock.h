// Thin wrappers over Win32 synchronisation objects: an in-process re-entrant lock, named
// mutexes (single instance, detection of a running instance) and events.
#pragma once
#include "common/system/zwin.h"

class ZCriticalSection
{
public:
    ZCriticalSection();
    ~ZCriticalSection();
    ZCriticalSection(const ZCriticalSection&) = delete;
    ZCriticalSection& operator=(const ZCriticalSection&) = delete;

    void Enter();  // re-entrant on the owning thread
    bool TryEnter();
    void Leave();

private:
    CRITICAL_SECTION m_Section;
};

// Holds a critical section for its scope, so early returns cannot leave it entered.
class ZLockGuard
{
public:
    explicit ZLockGuard(ZCriticalSection& lock) : m_Lock(lock) { m_Lock.Enter(); }
    ~ZLockGuard() { m_Lock.Leave(); }
    ZLockGuard(const ZLockGuard&) = delete;
    ZLockGuard& operator=(const ZLockGuard&) = delete;

private:
    ZCriticalSection& m_Lock;
};

// Takes a critical section only when that needs no wait, and holds it for its scope if it did.
class ZTryLockGuard
{
public:
    explicit ZTryLockGuard(ZCriticalSection& lock) : m_Lock(lock), m_bHeld(lock.TryEnter()) {}
    ~ZTryLockGuard()
    {
        if (m_bHeld)
            m_Lock.Leave();
    }
    ZTryLockGuard(const ZTryLockGuard&) = delete;
    ZTryLockGuard& operator=(const ZTryLockGuard&) = delete;

    bool IsHeld() const { return m_bHeld; }

private:
    ZCriticalSection& m_Lock;
    bool m_bHeld;
};

// Creates the mutex owned by the calling thread; null when it already existed (or exists under
// another security context), in which case the caller owns nothing.
HANDLE ZCreateMutex(const char* szName);
// Null when no mutex of that name exists or it cannot be opened.
HANDLE ZOpenMutex(const char* szName);
// True only when the wait returned WAIT_OBJECT_0 (abandoned, time-out and failure give false).
bool ZWaitForMutex(HANDLE hMutex, DWORD nTimeoutMs);
void ZCloseMutex(HANDLE hMutex);

class ZEvent
{
public:
    ZEvent(bool bManualReset, const char* szName = nullptr);
    ~ZEvent();
    ZEvent(const ZEvent&) = delete;
    ZEvent& operator=(const ZEvent&) = delete;

    void Set();
    void Reset();
    bool Wait(DWORD nTimeoutMs = INFINITE);  // true only for WAIT_OBJECT_0
    HANDLE GetHandle() const { return m_hEvent; }

private:
    HANDLE m_hEvent;
};
