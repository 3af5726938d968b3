// Handles to Windows processes: the running one, programs the engine starts (with a priority
// class, hidden or not, with the shell as fallback, optionally with pipes) and processes found by
// window title or executable name.
#pragma once
#include <cstdint>
#include "common/system/zwin.h"
#include "common/containers/zstringbuffer.h"
#include "common/containers/zstringarray.h"
#include "common/system/zsharedrecord.h"

// The A/W macro would rename the member in some units and not in others.
#undef GetModuleFileName

class File;

class Process
{
public:
    // Priority levels of Start and SetPriority.
    enum
    {
        PRIORITY_PARENT = 0,
        PRIORITY_IDLE = 1,
        PRIORITY_BELOW_NORMAL = 2,
        PRIORITY_NORMAL = 3,
        PRIORITY_ABOVE_NORMAL = 4,
        PRIORITY_HIGH = 5,
        PRIORITY_REALTIME = 6,
    };
    // The longest command line (path, quoted when it holds a blank, a blank, the arguments)
    // Start accepts, without its terminator.
    enum
    {
        MAX_COMMAND_LINE = 1023
    };

    Process() {}

    static Process Current();
    static Process FromWindow(const char* szTitle);
    // Empty when no process has that executable name (compared ignoring case).
    static Process FindByName(const char* szExeName);
    // Always a record; IsValid tells whether the program started.
    static Process Start(const char* szPath, const char* szArguments, const char* szWorkingDir, const char* szTitle,
                         bool bHidden, bool bNoUi, int nPriority);
    // The child's output and error go to *pOutput, *pInput feeds its input (each optional).
    // Empty on failure.
    static Process StartWithPipes(const char* szPath, const char* szArguments, File* pOutput, File* pInput,
                                  const char* szWorkingDir, const char* szTitle, bool bHidden);

    bool IsValid() const;
    bool operator==(const Process& other) const;
    bool operator!=(const Process& other) const { return !(*this == other); }
    DWORD GetId() const;
    bool IsRunning() const;
    bool Wait(DWORD nTimeoutMs) const;
    // -1 when the code cannot be read; 259 while the process runs.
    int GetExitCode() const;
    bool Terminate() const;
    void SetPriority(int nLevel) const;
    ZStringBuffer<256> GetModuleName() const;
    // Only for the running process.
    ZStringBuffer<256> GetModuleFileName() const;
    ZStringArray CommandLine() const;

    [[noreturn]] static void Exit(int nCode);

    // Splits a command line the way CommandLine does: quotes group blanks and never enter an
    // argument, a closing quote ends one, an empty quoted argument yields nothing.
    static ZStringArray SplitCommandLine(const char* szText);
    // The line Start hands to CreateProcess: the path (quoted when it holds a blank and is not
    // quoted yet), a blank, the arguments as they are. False when it would not fit
    // MAX_COMMAND_LINE; pBuffer holds MAX_COMMAND_LINE + 1 characters.
    static bool BuildCommandLine(char* pBuffer, const char* szPath, const char* szArguments);

private:
    struct Handle
    {
        HANDLE m_hProcess;
        void Close();
    };

    static Process Wrap(HANDLE hProcess);
    static DWORD CreationFlagsOfLevel(int nLevel);
    // Null for an empty handle and for a failed start or open.
    HANDLE GetHandle() const;

    // Not atomic: owners copy and release handles under their own lock.
    ZSharedRecord<Handle, ZPlainUseCount> m_Record;
};
