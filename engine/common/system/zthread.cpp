#include "common/system/zthread.h"
#include "common/system/zinit.h"
#include "common/system/zlock.h"
#include "common/containers/zmap.h"
#include <cstdlib>
#include <new>

struct ZThread::Record
{
    volatile LONG m_nRefs;
    HANDLE m_hThread;  // INVALID_HANDLE_VALUE once closed
    DWORD m_nThreadId;
    void* m_pData;
    ZStringBuffer<256> m_Name;
    bool m_bAdopted;  // made by Current for a thread the engine did not start: the registry owns it
    // Start-up of an engine thread. The entry lives in the record, so a thread ended before it
    // ran leaves no block behind.
    ZThreadEntry m_pfnEntry;
    void* m_pArgument;
    volatile LONG m_nStart;        // START_* below
    volatile LONG m_bResumed;      // the thread was let run by Create or Resume
    volatile LONG m_bThreadHolds;  // the running thread still holds its reference
};

namespace
{
// How long Terminate waits for the end of the thread it ended.
const DWORD kTerminateWaitMs = 10000;

// Start of an engine thread: the thread moves from PENDING to ENTERED when it reaches its entry;
// Terminate moves a pending one to CANCELLED, and the thread then ends without running it.
enum
{
    START_PENDING = 0,
    START_ENTERED = 1,
    START_CANCELLED = 2,
};

typedef ZIntMap<uint32_t, ZThread::Record*> ThreadMap;
typedef ZIntMap<int32_t, ZTlsDestructor> SlotMap;

bool s_bEnabled = false;
DWORD s_nDataSlot = TLS_OUT_OF_INDEXES;
// The registry's lock is made by Init and deleted by Shutdown, not at static construction and
// exit; it lives in this block in between.
alignas(ZCriticalSection) unsigned char s_LockBlock[sizeof(ZCriticalSection)];
ZCriticalSection* s_pLock = nullptr;

ThreadMap s_Threads ZINIT_PRIORITY(ZINIT_STEP_THREAD_MAP)(&ZGetProcessArena());
SlotMap s_Slots ZINIT_PRIORITY(ZINIT_STEP_TLS_SLOTS);

uint32_t s_nDataSize = sizeof(ZThreadDataSync);
ZThreadDataConstructor s_pfnConstructData = &ZThreadDataConstructSync;
volatile LONG s_nSerial = 0;

ZThread::Record* NewRecord(HANDLE hThread, DWORD nThreadId)
{
    void* p = LocalAlloc(LMEM_FIXED, sizeof(ZThread::Record));
    if (p == nullptr)
        return nullptr;
    ZThread::Record* pRecord = static_cast<ZThread::Record*>(p);
    pRecord->m_nRefs = 1;
    pRecord->m_hThread = hThread;
    pRecord->m_nThreadId = nThreadId;
    pRecord->m_pData = nullptr;
    new (&pRecord->m_Name) ZStringBuffer<256>();
    pRecord->m_bAdopted = false;
    pRecord->m_pfnEntry = nullptr;
    pRecord->m_pArgument = nullptr;
    pRecord->m_nStart = START_PENDING;
    pRecord->m_bResumed = 0;
    pRecord->m_bThreadHolds = 0;
    return pRecord;
}

void DestroyRecord(ZThread::Record* pRecord)
{
    if (pRecord->m_hThread != INVALID_HANDLE_VALUE) {
        void* pData;
        // After shutdown the map and the lock are gone; the record was already taken out.
        if (s_bEnabled) {
            ZLockGuard guard(*s_pLock);
            ThreadMap::Node* pNode = s_Threads.Find(pRecord->m_nThreadId);
            if (pNode != nullptr && pNode->m_Value == pRecord)
                s_Threads.FreeNode(s_Threads.RemoveNode(pNode));
            pData = pRecord->m_pData;
        } else {
            pData = pRecord->m_pData;
        }
        if (pData != nullptr)
            LocalFree(pData);
        if (pRecord->m_hThread != nullptr)
            CloseHandle(pRecord->m_hThread);
        pRecord->m_hThread = INVALID_HANDLE_VALUE;
    }
    pRecord->m_Name.~ZStringBuffer<256>();
    LocalFree(pRecord);
}

void ReleaseRecord(ZThread::Record* pRecord)
{
    if (pRecord != nullptr && InterlockedDecrement(&pRecord->m_nRefs) == 0)
        DestroyRecord(pRecord);
}

// The thread's own reference goes exactly once: by the thread at its end, or by Terminate.
void ReleaseThreadReference(ZThread::Record* pRecord)
{
    if (InterlockedExchange(&pRecord->m_bThreadHolds, 0) != 0)
        ReleaseRecord(pRecord);
}

DWORD WINAPI StartRoutine(LPVOID pParameter)
{
    ZThread::Record* pRecord = static_cast<ZThread::Record*>(pParameter);
    if (InterlockedCompareExchange(&pRecord->m_nStart, START_ENTERED, START_PENDING) != START_PENDING) {
        // Terminated before it ran: ends the way a terminated thread does.
        ReleaseThreadReference(pRecord);
        return static_cast<DWORD>(-1);
    }
    int32_t nResult = pRecord->m_pfnEntry(pRecord->m_pArgument);
    ReleaseThreadReference(pRecord);
    ZTlsSlots::RunDestructors();
    return static_cast<DWORD>(nResult) & 0xFF;
}

// Swallows the debugger naming exception when no debugger took it.
LONG CALLBACK NameExceptionHandler(EXCEPTION_POINTERS* pInfo)
{
    if (pInfo->ExceptionRecord->ExceptionCode == 0x406D1388)
        return EXCEPTION_CONTINUE_EXECUTION;
    return EXCEPTION_CONTINUE_SEARCH;
}
}

ZThread::ZThread(const ZThread& other) : m_pRecord(other.m_pRecord), m_nExitCode(other.m_nExitCode)
{
    if (m_pRecord != nullptr)
        InterlockedIncrement(&m_pRecord->m_nRefs);
}

ZThread& ZThread::operator=(const ZThread& other)
{
    if (other.m_pRecord != nullptr)
        InterlockedIncrement(&other.m_pRecord->m_nRefs);
    Record* pOld = m_pRecord;
    m_pRecord = other.m_pRecord;
    m_nExitCode = other.m_nExitCode;
    ReleaseRecord(pOld);
    return *this;
}

void ZThread::Release()
{
    Record* pRecord = m_pRecord;
    m_pRecord = nullptr;
    ReleaseRecord(pRecord);
}

ZThread ZThread::Create(ZThreadEntry pfnEntry, void* pArgument, uint32_t nStackSize, bool bStartSuspended)
{
    Record* pRecord = NewRecord(nullptr, 0);
    if (pRecord == nullptr)
        return ZThread();
    pRecord->m_pfnEntry = pfnEntry;
    pRecord->m_pArgument = pArgument;
    DWORD nThreadId = 0;
    HANDLE hThread = CreateThread(nullptr, nStackSize, &StartRoutine, pRecord, CREATE_SUSPENDED, &nThreadId);
    if (hThread == nullptr) {
        DestroyRecord(pRecord);
        return ZThread();
    }
    pRecord->m_hThread = hThread;
    pRecord->m_nThreadId = nThreadId;
    if (s_bEnabled) {
        ZLockGuard guard(*s_pLock);
        s_Threads.Insert(nThreadId, pRecord);
    }
    pRecord->m_bThreadHolds = 1;
    InterlockedIncrement(&pRecord->m_nRefs);
    ZThread thread(pRecord);
    if (!bStartSuspended)
        thread.Resume();
    return thread;
}

bool ZThread::IsRunning()
{
    if (m_pRecord == nullptr)
        return false;
    DWORD nCode = 0;
    if (!GetExitCodeThread(m_pRecord->m_hThread, &nCode))
        return false;
    if (nCode == STILL_ACTIVE)
        return true;
    m_nExitCode = static_cast<int32_t>(nCode);
    return false;
}

void ZThread::Wait(DWORD nTimeoutMs)
{
    if (m_pRecord != nullptr)
        WaitForSingleObject(m_pRecord->m_hThread, nTimeoutMs);
}

void ZThread::SetPriority(int nLevel)
{
    if (m_pRecord == nullptr)
        return;
    int nPriority;
    switch (nLevel) {
    case PRIORITY_IDLE: nPriority = THREAD_PRIORITY_IDLE; break;
    case PRIORITY_LOWEST: nPriority = THREAD_PRIORITY_LOWEST; break;
    case PRIORITY_BELOW_NORMAL: nPriority = THREAD_PRIORITY_BELOW_NORMAL; break;
    case PRIORITY_ABOVE_NORMAL: nPriority = THREAD_PRIORITY_ABOVE_NORMAL; break;
    case PRIORITY_HIGHEST: nPriority = THREAD_PRIORITY_HIGHEST; break;
    case PRIORITY_TIME_CRITICAL: nPriority = THREAD_PRIORITY_TIME_CRITICAL; break;
    default: nPriority = THREAD_PRIORITY_NORMAL; break;
    }
    SetThreadPriority(m_pRecord->m_hThread, nPriority);
}

bool ZThread::Suspend()
{
    return m_pRecord != nullptr && SuspendThread(m_pRecord->m_hThread) != static_cast<DWORD>(-1);
}

bool ZThread::Resume()
{
    if (m_pRecord == nullptr)
        return false;
    InterlockedExchange(&m_pRecord->m_bResumed, 1);
    return ResumeThread(m_pRecord->m_hThread) != static_cast<DWORD>(-1);
}

void ZThread::Terminate()
{
    Record* pRecord = m_pRecord;
    if (pRecord == nullptr)
        return;
    // Ending a thread inside the loader's or the runtime's start-up (loader lock, heap, TLS
    // callbacks) or before it ever ran (which upsets Wine) leaves the process unsound. A thread
    // that has not reached its entry is told to end instead, and let run to do so.
    if (InterlockedCompareExchange(&pRecord->m_nStart, START_CANCELLED, START_PENDING) == START_PENDING) {
        if (InterlockedExchange(&pRecord->m_bResumed, 1) == 0)
            ResumeThread(pRecord->m_hThread);
        if (WaitForSingleObject(pRecord->m_hThread, kTerminateWaitMs) == WAIT_OBJECT_0)
            return;
    }
    if (!TerminateThread(pRecord->m_hThread, static_cast<DWORD>(-1)))
        return;
    // The ended thread cannot release its own reference any more.
    if (WaitForSingleObject(pRecord->m_hThread, kTerminateWaitMs) == WAIT_OBJECT_0)
        ReleaseThreadReference(pRecord);
}

void ZThread::SetIdealProcessor(DWORD nProcessor)
{
    if (m_pRecord != nullptr)
        SetThreadIdealProcessor(m_pRecord->m_hThread, nProcessor);
}

DWORD ZThread::GetId() const
{
    return m_pRecord != nullptr ? m_pRecord->m_nThreadId : 0;
}

HANDLE ZThread::GetHandle() const
{
    return m_pRecord != nullptr ? m_pRecord->m_hThread : nullptr;
}

void* ZThread::GetData() const
{
    return m_pRecord != nullptr ? m_pRecord->m_pData : nullptr;
}

void ZThread::SetName(const char* szName)
{
    if (m_pRecord == nullptr)
        return;
    m_pRecord->m_Name.Assign(szName);
    // Only a debugger reads the name from the exception; without one the raise would be
    // caught and ignored, and it costs a trip through the exception dispatch each time (the
    // download workers name their thread for every file).
    if (!IsDebuggerPresent())
        return;
    // The naming exception: a debugger takes it first; without one the handler below ends it,
    // standing in for a catch-all block around the raise.
    ULONG_PTR info[4] = {0x1000, reinterpret_cast<ULONG_PTR>(szName), m_pRecord->m_nThreadId, 0};
    PVOID hHandler = AddVectoredExceptionHandler(1, &NameExceptionHandler);
    RaiseException(0x406D1388, 0, 4, info);
    if (hHandler != nullptr)
        RemoveVectoredExceptionHandler(hHandler);
}

const ZStringBuffer<256>& ZThread::GetName() const
{
    if (m_pRecord != nullptr)
        return m_pRecord->m_Name;
    static const ZStringBuffer<256> s_Invalid("Invalid");
    return s_Invalid;
}

ZThread ZThread::Current()
{
    if (!s_bEnabled)
        return ZThread();
    DWORD nThreadId = GetCurrentThreadId();
    ZLockGuard guard(*s_pLock);
    Record* pRecord = nullptr;
    ThreadMap::Node* pNode = s_Threads.Find(nThreadId);
    if (pNode != nullptr) {
        pRecord = pNode->m_Value;
    } else {
        HANDLE hThread = nullptr;
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &hThread, 0, TRUE,
                        DUPLICATE_SAME_ACCESS);
        pRecord = NewRecord(hThread, nThreadId);
        if (pRecord != nullptr) {
            pRecord->m_bAdopted = true;
            s_Threads.Insert(nThreadId, pRecord);
        } else if (hThread != nullptr) {
            CloseHandle(hThread);
        }
    }
    if (pRecord != nullptr)
        InterlockedIncrement(&pRecord->m_nRefs);
    return ZThread(pRecord);
}

void* ZThread::GetThreadData()
{
    if (!s_bEnabled)
        return nullptr;
    void* pData = TlsGetValue(s_nDataSlot);
    if (pData != nullptr)
        return pData;
    pData = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, s_nDataSize);
    if (pData == nullptr)
        return nullptr;
    TlsSetValue(s_nDataSlot, pData);
    ZThread current = Current();
    if (current.m_pRecord != nullptr)
        current.m_pRecord->m_pData = pData;
    if (s_pfnConstructData != nullptr)
        s_pfnConstructData(pData);
    return pData;
}

void ZThread::Sleep(DWORD nMs)
{
    ::Sleep(nMs);
}

int ZThread::GetProcessorCount()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<int>(info.dwNumberOfProcessors);
}

void ZThreadRegistry::Init()
{
    s_bEnabled = true;
    s_nDataSlot = TlsAlloc();
    s_pLock = new (s_LockBlock) ZCriticalSection;
}

bool ZThreadRegistry::IsEnabled()
{
    return s_bEnabled;
}

bool ZThreadRegistry::GetThreadName(DWORD nThreadId, char* pBuffer, int nSize)
{
    if (!s_bEnabled || pBuffer == nullptr || nSize <= 0)
        return false;
    ZLockGuard guard(*s_pLock);
    ThreadMap::Node* pNode = s_Threads.Find(nThreadId);
    if (pNode != nullptr) {
        const ZStringBuffer<256>& name = pNode->m_Value->m_Name;
        int n = name.GetLength() < nSize - 1 ? name.GetLength() : nSize - 1;
        memcpy(pBuffer, name.GetData(), n);
        pBuffer[n] = 0;
    }
    return pNode != nullptr;
}

int ZThreadRegistry::Enumerate(ZThread* pHandles, int nMax)
{
    if (!s_bEnabled)
        return 0;
    // References are taken under the lock; the array is assigned after it, since releasing what
    // the array held before may destroy records and change the map.
    ZThread::Record** pRecords = nullptr;
    int nTaken = 0;
    int nCount;
    {
        ZLockGuard guard(*s_pLock);
        nCount = s_Threads.Size();
        int nWant = nMax < nCount ? nMax : nCount;
        if (nWant > 0 && pHandles != nullptr)
            pRecords = static_cast<ZThread::Record**>(malloc(sizeof(ZThread::Record*) * nWant));
        if (pRecords != nullptr) {
            for (ThreadMap::Node* pNode = s_Threads.Begin(); pNode != nullptr && nTaken < nWant;
                 pNode = ThreadMap::Next(pNode)) {
                InterlockedIncrement(&pNode->m_Value->m_nRefs);
                pRecords[nTaken++] = pNode->m_Value;
            }
        }
    }
    for (int i = 0; i < nTaken; ++i) {
        ZThread::Record* pOld = pHandles[i].m_pRecord;
        pHandles[i].m_pRecord = pRecords[i];
        pHandles[i].m_nExitCode = 0;
        ReleaseRecord(pOld);
    }
    free(pRecords);
    return nCount;
}

void ZThreadRegistry::Shutdown()
{
    if (!s_bEnabled)
        return;
    ZThread::Record** pAdopted;
    int nAdopted = 0;
    {
        ZLockGuard guard(*s_pLock);
        s_bEnabled = false;
        // Only the adopted records belong to the registry; records of engine threads are taken
        // out of the map and live on with their handles.
        int nCount = s_Threads.Size();
        pAdopted = static_cast<ZThread::Record**>(malloc(sizeof(ZThread::Record*) * (nCount + 1)));
        for (ThreadMap::Node* pNode = s_Threads.Begin(); pNode != nullptr; pNode = ThreadMap::Next(pNode)) {
            if (pNode->m_Value->m_bAdopted && pAdopted != nullptr)
                pAdopted[nAdopted++] = pNode->m_Value;
        }
        s_Threads.Clear();
    }
    for (int i = 0; i < nAdopted; ++i)
        ReleaseRecord(pAdopted[i]);
    free(pAdopted);
    s_pLock->~ZCriticalSection();
    s_pLock = nullptr;
    TlsFree(s_nDataSlot);
    s_nDataSlot = TLS_OUT_OF_INDEXES;
}

void ZSetThreadDataType(uint32_t nSize, ZThreadDataConstructor pfnConstruct)
{
    s_nDataSize = nSize;
    s_pfnConstructData = pfnConstruct;
}

void ZThreadDataConstructSync(void* pBlock)
{
    // Serials come from one 8-bit counter: the 257th thread gets the first one's again.
    static_cast<ZThreadDataSync*>(pBlock)->m_nSerial = static_cast<uint8_t>(InterlockedIncrement(&s_nSerial) - 1);
}

void ZThreadDataConstructNone(void*)
{
}

void ZTlsSlots::Register(DWORD nTlsIndex, ZTlsDestructor pfnDestructor)
{
    s_Slots.Insert(static_cast<int32_t>(nTlsIndex), pfnDestructor);
}

void ZTlsSlots::RunDestructors()
{
    for (SlotMap::Node* pNode = s_Slots.Begin(); pNode != nullptr; pNode = SlotMap::Next(pNode)) {
        void* pValue = TlsGetValue(static_cast<DWORD>(pNode->m_Key));
        if (pNode->m_Value != nullptr && pValue != nullptr)
            pNode->m_Value(pValue);
    }
}

void ZTlsSlots::Clear()
{
    s_Slots.Clear();
}

HWND ZFindWindow(const char* szTitle)
{
    return FindWindowA(nullptr, szTitle);
}

ZStringBuffer<16> ZLocalTimeText()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return ZStringBuffer<16>("%02d:%02d:%02d", now.wHour, now.wMinute, now.wSecond);
}

int64_t ZLocalTimeMs()
{
    SYSTEMTIME now;
    FILETIME time;
    GetLocalTime(&now);
    SystemTimeToFileTime(&now, &time);
    uint64_t n = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<int64_t>(n / 10000);
}
