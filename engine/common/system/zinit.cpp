#include "common/system/zinit.h"
#include "common/system/zwin.h"
#include "common/system/zthread.h"
#include "common/system/zlog.h"
#include "common/containers/zallocator.h"

namespace
{
alignas(16) unsigned char s_ArenaBuffer[16384];

struct ThreadRegistryStep
{
    ThreadRegistryStep() { ZThreadRegistry::Init(); }
    ~ThreadRegistryStep() { ZThreadRegistry::Shutdown(); }
};

struct WinsockStep
{
    // A failure is not checked here: sockets then fail when they are made.
    WinsockStep()
    {
        WSADATA data;
        m_bStarted = WSAStartup(MAKEWORD(2, 0), &data) == 0;
    }
    ~WinsockStep()
    {
        if (m_bStarted)
            WSACleanup();
    }
    bool m_bStarted;
};

struct DebugOutputStep
{
    DebugOutputStep()
    {
        if (IsDebuggerPresent())
            ZDebugOutput::Enable();
        else
            ZDebugOutput::Disable();
    }
};

struct FloatModeStep
{
    FloatModeStep() { ZSetMxcsr(ZStartupMxcsr(ZGetMxcsr())); }
};

ZMemoryArena s_Arena ZINIT_PRIORITY(ZINIT_STEP_ARENA)(s_ArenaBuffer, sizeof(s_ArenaBuffer), 128);
ThreadRegistryStep s_ThreadRegistry ZINIT_PRIORITY(ZINIT_STEP_THREAD_REGISTRY);
WinsockStep s_Winsock ZINIT_PRIORITY(ZINIT_STEP_WINSOCK);
DebugOutputStep s_DebugOutput ZINIT_PRIORITY(ZINIT_STEP_DEBUG_OUTPUT);
FloatModeStep s_FloatMode ZINIT_PRIORITY(ZINIT_STEP_FLOAT_MODE);
}

// Constant-initialised, so they hold their values before any dynamic step runs.
ZFloat4 g_vRadiansToDegrees = {{57.295776f, 57.295776f, 57.295776f, 57.295776f}};
ZFloat4 g_vDegreesToRadians = {{0.017453292f, 0.017453292f, 0.017453292f, 0.017453292f}};

ZMemoryArena& ZGetProcessArena()
{
    return s_Arena;
}

uint32_t ZGetMxcsr()
{
    uint32_t nValue = 0;
    __asm__ __volatile__("stmxcsr %0" : "=m"(nValue));
    return nValue;
}

void ZSetMxcsr(uint32_t nValue)
{
    __asm__ __volatile__("ldmxcsr %0" : : "m"(nValue));
}
