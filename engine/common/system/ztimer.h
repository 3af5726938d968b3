// High-resolution clock in ticks of 1/1048576 s, local date and time texts, and the engine's
// message boxes.
#pragma once
#include <cstdint>
#include "common/containers/zstringbuffer.h"

class ZTimer
{
public:
    enum : int64_t
    {
        TICKS_PER_SECOND = 1048576
    };

    // Raw QueryPerformanceCounter value.
    static int64_t GetCounter();
    // QueryPerformanceFrequency, read once and cached.
    static int64_t GetFrequency();
    // The counter in ticks of 1/1048576 s (arbitrary origin; only differences are meaningful).
    static int64_t Now();
    static int64_t GetTicks() { return Now(); }
    static int64_t GetTicksPerSecond() { return TICKS_PER_SECOND; }

    // counter * 2^20 / frequency without overflowing 64 bits.
    static int64_t CounterToTicks(int64_t nCounter, int64_t nFrequency);
};

// time(), localtime(), strftime (at most 1023 characters).
ZStringBuffer<256> ZDateTimeText(const char* szFormat);
