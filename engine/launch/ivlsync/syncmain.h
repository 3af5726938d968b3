// Start-up of the sync program: the single-instance mutex, the switches, the language table and
// the choice between server mode and update mode.
#pragma once
#include <cstdint>
#include "common/containers/zstringbuffer.h"
#include "launch/launchlibs/synccontract.h"

class LanguageTable;

// The program holds kSyncMutexName for its lifetime; a second copy ends at once with exit code 1.
const int32_t kDefaultCommandPort = kSyncCommandPort;
const int32_t kPolicyPort = 50009;

struct SyncSettings
{
    SyncSettings();

    bool m_bMinimised;
    bool m_bElevated;
    bool m_bUpdateMode;
    ZStringBuffer<256> m_sSettingsServer;
    bool m_bQuiet;
    int32_t m_nPort;  // 50010 after the scan when no "/p" gave a number
    ZStringBuffer<16> m_sLanguage;
    ZStringBuffer<16> m_sLanguageFolder;
};

// Applies the arguments (without the program path) in order; unknown ones are ignored. A port
// of 0 becomes the default command port.
void ScanSwitches(int nArgs, const char* const* ppArgs, SyncSettings& settings);
// "ivlsync_<language>.xml" in the language folder ("locale" when none was given); empty when
// no language was given.
void GetLanguageFilePath(const SyncSettings& settings, ZStringBase& path);

// The process's unhandled-exception filter: codes that are no crashes go on to the next handler
// (0); any other gets a crash report with the crash-report program's dialog, then the process
// ends (1).
long __stdcall SyncUnhandledExceptionFilter(struct _EXCEPTION_POINTERS* pExceptionPointers);

// The process exit code: 1 when another copy runs, 0 after server mode, else update mode's.
int SyncMain();
void RunServerMode(bool bMinimised, bool bElevated, int32_t nPort, LanguageTable* pLanguage);
// Runs the work on a thread of its own while the calling thread answers the messages that other
// threads send to its windows (shutdown after the message loop has ended).
void RunWhileAnsweringWindow(void (*pfnWork)(void* pArgument), void* pArgument);
// True when the update failed.
bool RunUpdateMode(bool bMinimised, bool bElevated, const char* szSettingsServer, bool bQuiet,
                   LanguageTable* pLanguage);
