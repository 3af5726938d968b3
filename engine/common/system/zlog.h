// Process-wide log: lines with a category, a source path and a level go to the debugger output
// (when enabled), to file sinks and to an optional display hook. Also the ZASSERT check.
#pragma once
#include <cstdint>
#include "common/containers/zstringbuffer.h"

class File;

enum
{
    ZLOG_PRINT = 0,
    ZLOG_MESSAGE = 1,
    ZLOG_WARNING = 2,
    ZLOG_ERROR = 3,
};

// Returns the replacement for a line (the text it gets already ends in '\n').
typedef ZStringBuffer<256> (*ZLogFilterHook)(int nLevel, const char* szCategory, const char* szSource,
                                             const char* szText);
typedef void (*ZLogDisplayHook)(int32_t nLevel, const char* szCategory, const char* szSource, const char* szText);
// A sink's handle: its node in the sink list.
typedef void* ZLogSinkHandle;

class ZLog
{
public:
    // Tagged message: first character 'a' + level, then the text.
    static bool Write(const char* szCategory, const char* szSource, const char* szTagged);
    static bool Print(const char* szCategory, const char* szSource, const char* szText);
    static bool Output(int nLevel, const char* szCategory, const char* szSource, const char* szText);
    // The text as it is (no line ending, no filter, no pattern) to debugger, sinks and hook.
    static bool PrintRaw(const char* szText);

    // Each returns what it was given.
    static ZLogFilterHook SetFilterHook(ZLogFilterHook pfnHook);
    static ZLogDisplayHook SetDisplayHook(ZLogDisplayHook pfnHook);

    // Null unless the file is open and writable. The pattern is not copied: it must outlive the
    // sink. Codes: %% %M category, %i source, %m text, %v level name, %e timer seconds,
    // %d local date, %t local time.
    static ZLogSinkHandle AddSink(File& file, const char* szPattern);
    static void RemoveSink(ZLogSinkHandle hSink);
    // Releases every sink (runs at process exit as well).
    static void RemoveAllSinks();

    // "print", "message", "warning", "error"; null for any other level.
    static const char* GetLevelName(int nLevel);
};

class ZDebugOutput
{
public:
    // Sends UTF-8 text to OutputDebugStringW when enabled.
    static void Write(const char* szText);
    static void Enable();
    static void Disable();
    static bool IsEnabled();
};

// Logs "%s(%d): ZASSERT(%s)[, this=0x%x]" at the print level under szCategory; then breaks
// only when a debugger is attached. Outside a debugger it goes on: the checks guard callers'
// preconditions, and a crash there would only lose the rest of the log.
void ZAssertFailed(const char* szCategory, const char* szFile, int nLine, const char* szCondition);
void ZAssertFailed(const char* szCategory, const char* szFile, int nLine, const char* szCondition, const void* pObject);

// ZASSERT(cond) or ZASSERT(cond, pObject); the category is that of the file that expands it.
#define ZASSERT_PICK_(a, b, name, ...) name
#define ZASSERT_1_(cond)                                                                                               \
    do {                                                                                                               \
        if (!(cond))                                                                                                   \
            ZAssertFailed(ZLOG_CATEGORY, __FILE__, __LINE__, #cond);                                                   \
    } while (0)
#define ZASSERT_2_(cond, obj)                                                                                          \
    do {                                                                                                               \
        if (!(cond))                                                                                                   \
            ZAssertFailed(ZLOG_CATEGORY, __FILE__, __LINE__, #cond, (const void*)(obj));                               \
    } while (0)
#define ZASSERT(...) ZASSERT_PICK_(__VA_ARGS__, ZASSERT_2_, ZASSERT_1_, unused)(__VA_ARGS__)
