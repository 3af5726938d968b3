// Process-wide initialisation: the engine's statics are built in a fixed order before the
// deliverable's entry point (and before statics of default priority); each one's clean-up runs
// at exit in the reverse order. Statics that take part carry ZINIT_PRIORITY(step).
#pragma once
#include <cstdint>

class ZMemoryArena;

// Lower numbers are built first (GCC init_priority; 101..65535, default 65535). The gaps leave
// room for statics that must come between two steps.
enum
{
    ZINIT_STEP_SYNC_LOG_NAME = 1010,       // the sync program's log-file name
    ZINIT_STEP_SYNC_RELAUNCH_ARGS = 1020,  // the sync program's saved relaunch arguments
    ZINIT_STEP_ARENA = 1030,               // process-wide memory arena
    ZINIT_STEP_THREAD_MAP = 1040,          // thread registry's map (nodes in the arena)
    ZINIT_STEP_THREAD_REGISTRY = 1050,     // ZThreadRegistry::Init / Shutdown
    ZINIT_STEP_LOG_SINKS = 1060,           // the log's sink list
    ZINIT_STEP_WINSOCK = 1070,             // WSAStartup 2.0 / WSACleanup
    ZINIT_STEP_TLS_SLOTS = 1080,           // ZTlsSlots table
    ZINIT_STEP_DEBUG_OUTPUT = 1090,        // log to the debugger when one is attached at start-up
    ZINIT_STEP_RAD_TO_DEG = 1100,
    ZINIT_STEP_DEG_TO_RAD = 1110,
    ZINIT_STEP_FLOAT_MODE = 1120,  // MXCSR: round to nearest, denormals are zero
};

#define ZINIT_PRIORITY(step) __attribute__((init_priority(step)))

// The process-wide arena over a static 16384-byte buffer with room for 128 free ranges.
ZMemoryArena& ZGetProcessArena();

// The steps live in a static library: units that every deliverable links (threads, the timer
// that the log uses) refer to this so the linker always takes the steps in.
extern ZMemoryArena& (*const g_pfnZInitAnchor)();

// Four-lane angle factors.
struct alignas(16) ZFloat4
{
    float m_f[4];
};
extern ZFloat4 g_vRadiansToDegrees;  // 180/pi in every lane
extern ZFloat4 g_vDegreesToRadians;  // pi/180 in every lane

// MXCSR bits set by the last start-up step.
enum : uint32_t
{
    ZMXCSR_DENORMALS_ARE_ZERO = 1u << 6,
    ZMXCSR_ROUNDING = 3u << 13,
};
uint32_t ZGetMxcsr();
void ZSetMxcsr(uint32_t nValue);
// What the last step does to an MXCSR value.
inline uint32_t ZStartupMxcsr(uint32_t nValue)
{
    return (nValue & ~ZMXCSR_ROUNDING) | ZMXCSR_DENORMALS_ARE_ZERO;
}
