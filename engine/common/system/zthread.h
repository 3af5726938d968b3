// Reference-counted thread handles, the process-wide registry of threads by id, per-thread data
// blocks and thread-local slots with destructors.
#pragma once
#include <cstdint>
#include "common/system/zwin.h"
#include "common/containers/zstringbuffer.h"

// Entry function of an engine thread; the thread's exit code is the result & 0xFF.
typedef int32_t (*ZThreadEntry)(void* pArgument);

class ZThread
{
public:
    // Thread priority levels of SetPriority.
    enum
    {
        PRIORITY_IDLE = 0,
        PRIORITY_LOWEST = 1,
        PRIORITY_BELOW_NORMAL = 2,
        PRIORITY_NORMAL = 3,
        PRIORITY_ABOVE_NORMAL = 4,
        PRIORITY_HIGHEST = 5,
        PRIORITY_TIME_CRITICAL = 6,
    };

    ZThread() : m_pRecord(nullptr), m_nExitCode(0) {}
    ZThread(const ZThread& other);
    ZThread& operator=(const ZThread& other);
    ~ZThread() { Release(); }

    // New thread (the handle and the running thread each hold a reference). An empty handle
    // when the thread could not be made.
    static ZThread Create(ZThreadEntry pfnEntry, void* pArgument, uint32_t nStackSize = 0,
                          bool bStartSuspended = false);

    bool IsValid() const { return m_pRecord != nullptr; }
    bool operator==(const ZThread& other) const { return m_pRecord == other.m_pRecord; }
    bool operator!=(const ZThread& other) const { return m_pRecord != other.m_pRecord; }
    // True while the thread runs; once it has ended the exit code is kept in the handle.
    bool IsRunning();
    int32_t GetExitCode() const { return m_nExitCode; }
    void Wait(DWORD nTimeoutMs);
    // Levels 0 to 6 (see the enum); any other level means normal.
    void SetPriority(int nLevel);
    bool Suspend();
    bool Resume();
    void Terminate();
    void SetIdealProcessor(DWORD nProcessor);
    DWORD GetId() const;
    // The thread's handle, owned by the record: for waits on several objects at once.
    HANDLE GetHandle() const;
    void* GetData() const;
    // Stores the name and tells an attached debugger.
    void SetName(const char* szName);
    // "Invalid" for an empty handle.
    const ZStringBuffer<256>& GetName() const;

    // Handle of the calling thread (adopted into the registry when the engine did not start
    // it); empty when the registry is not enabled.
    static ZThread Current();
    // The calling thread's per-thread data block; null when the registry is not enabled.
    static void* GetThreadData();
    static void Sleep(DWORD nMs);
    static int GetProcessorCount();

    struct Record;

private:
    explicit ZThread(Record* pRecord) : m_pRecord(pRecord), m_nExitCode(0) {}
    void Release();

    Record* m_pRecord;
    int32_t m_nExitCode;
    // Arrays of handles keep a stride of four 32-bit words.
    int32_t m_nReserved[sizeof(void*) == 4 ? 2 : 1];

    friend class ZThreadRegistry;
};

static_assert(sizeof(void*) != 4 || sizeof(ZThread) == 16, "thread handles have a 16-byte stride");

class ZThreadRegistry
{
public:
    // Enables the registry: TLS slot of the data block and the lock (process start-up).
    static void Init();
    static bool IsEnabled();
    // Copies the registered name (at most nSize - 1 characters); false when not found.
    static bool GetThreadName(DWORD nThreadId, char* pBuffer, int nSize);
    // Fills up to nMax handles in ascending thread-id order; returns the number registered.
    static int Enumerate(ZThread* pHandles, int nMax);
    // Disables the registry and releases the threads it adopted (process exit).
    static void Shutdown();
};

// Size and constructor of the per-thread data block; each deliverable sets its own before
// starting threads (the default is the sync program's 4-byte block).
typedef void (*ZThreadDataConstructor)(void* pBlock);
void ZSetThreadDataType(uint32_t nSize, ZThreadDataConstructor pfnConstruct);

// The sync program's block: byte 1 holds a serial from a process-wide 8-bit counter.
struct ZThreadDataSync
{
    uint8_t m_nUnused;
    uint8_t m_nSerial;
    uint8_t m_nPad[2];
};
static_assert(sizeof(ZThreadDataSync) == 4, "the sync program's per-thread block is 4 bytes");
void ZThreadDataConstructSync(void* pBlock);
// The plug-in's block: 4 zero bytes.
void ZThreadDataConstructNone(void* pBlock);

typedef void (*ZTlsDestructor)(void* pValue);

class ZTlsSlots
{
public:
    // Enters or replaces the destructor of a TLS index.
    static void Register(DWORD nTlsIndex, ZTlsDestructor pfnDestructor);
    // Runs each registered destructor on the calling thread's non-null slot value.
    static void RunDestructors();
    // Drops every entry (process exit).
    static void Clear();
};

HWND ZFindWindow(const char* szTitle);
// Local time as "hh:mm:ss".
ZStringBuffer<16> ZLocalTimeText();
// Local time in milliseconds since 1 January 1601.
int64_t ZLocalTimeMs();
