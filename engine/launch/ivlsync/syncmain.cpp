#include "launch/ivlsync/syncmain.h"

#include <climits>
#include <memory>
#include <vector>
#include "common/containers/zstr.h"
#include "common/containers/zstringarray.h"
#include "common/system/path.h"
#include "common/system/process.h"
#include "common/system/zlock.h"
#include "common/system/zthread.h"
#include "common/system/zwin.h"
#include "launch/ivlsync/flashserver.h"
#include "launch/ivlsync/ivlsyncwindow.h"
#include "launch/ivlsync/languagetable.h"
#include "launch/ivlsync/policyserver.h"
#include "shared/debug/selfdebug.h"

long __stdcall SyncUnhandledExceptionFilter(EXCEPTION_POINTERS* pExceptionPointers)
{
    if (ZSelfDebug::IsIgnoredException(pExceptionPointers->ExceptionRecord->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
    CrashHandler(pExceptionPointers, 1, ZIvlSync::s_sLogFile.GetData(), NULL, NULL);
    return EXCEPTION_EXECUTE_HANDLER;
}

namespace
{
// Update mode's settings server when "/rs" names none: the host of the game's web entrance.
const char kDefaultSettingsServer[] = "www.ironvale.com";

enum SwitchKind
{
    SWITCH_PORT,
    SWITCH_MINIMISED,
    SWITCH_ELEVATED,
    SWITCH_UPDATE,
    SWITCH_SETTINGS_SERVER,
    SWITCH_QUIET,
    SWITCH_LANGUAGE,
    SWITCH_LANGUAGE_FOLDER,
};

struct SwitchName
{
    const char* m_szSlash;
    const char* m_szDash;
    SwitchKind m_nKind;
};

const SwitchName kSwitches[] = {
    {"/p", "-p", SWITCH_PORT},     {"/m", "-m", SWITCH_MINIMISED},         {"/e", "-e", SWITCH_ELEVATED},
    {"/a", "-a", SWITCH_UPDATE},   {"/rs", "-rs", SWITCH_SETTINGS_SERVER}, {"/q", "-q", SWITCH_QUIET},
    {"/l", "-l", SWITCH_LANGUAGE}, {"/ld", "-ld", SWITCH_LANGUAGE_FOLDER},
};

// The decimal number at the start of the text; 0 without digits (a sign is no digit).
int32_t LeadingNumber(const char* szText)
{
    int64_t nValue = 0;
    for (const char* p = szText; *p >= '0' && *p <= '9'; ++p) {
        nValue = nValue * 10 + (*p - '0');
        if (nValue > INT_MAX)
            return INT_MAX;
    }
    return static_cast<int32_t>(nValue);
}
}  // namespace

SyncSettings::SyncSettings()
    : m_bMinimised(false), m_bElevated(false), m_bUpdateMode(false), m_sSettingsServer(kDefaultSettingsServer),
      m_bQuiet(false), m_nPort(0)
{
}

void ScanSwitches(int nArgs, const char* const* ppArgs, SyncSettings& settings)
{
    for (int i = 0; i < nArgs; ++i) {
        const char* szArg = ppArgs[i];
        const char* szValue = i + 1 < nArgs ? ppArgs[i + 1] : "";
        for (const SwitchName& name : kSwitches) {
            if (ZStrICompare(szArg, name.m_szSlash) != 0 && ZStrICompare(szArg, name.m_szDash) != 0)
                continue;
            switch (name.m_nKind) {
            case SWITCH_PORT:
                // The value is not consumed: the scan looks at it as a switch too.
                settings.m_nPort = LeadingNumber(szValue);
                break;
            case SWITCH_MINIMISED: settings.m_bMinimised = true; break;
            case SWITCH_ELEVATED: settings.m_bElevated = true; break;
            case SWITCH_UPDATE: settings.m_bUpdateMode = true; break;
            case SWITCH_SETTINGS_SERVER:
                settings.m_sSettingsServer = szValue;
                ++i;
                break;
            case SWITCH_QUIET: settings.m_bQuiet = true; break;
            case SWITCH_LANGUAGE:
                settings.m_sLanguage = szValue;
                ++i;
                break;
            case SWITCH_LANGUAGE_FOLDER:
                settings.m_sLanguageFolder = szValue;
                ++i;
                break;
            }
            break;
        }
    }
    if (settings.m_nPort == 0)
        settings.m_nPort = kDefaultCommandPort;
}

void GetLanguageFilePath(const SyncSettings& settings, ZStringBase& path)
{
    path.Clear();
    if (settings.m_sLanguage.IsEmpty())
        return;
    ZStringBuffer<256> sFile;
    sFile.Format("ivlsync_%s.xml", settings.m_sLanguage.GetData());
    const char* szFolder = settings.m_sLanguageFolder.IsEmpty() ? "locale" : settings.m_sLanguageFolder.GetData();
    JoinPath2(path, szFolder, sFile.GetData());
}

int SyncMain()
{
    HANDLE hMutex = ZCreateMutex(kSyncMutexName);
    if (!hMutex)
        return 1;

    SyncSettings settings;
    {
        ZStringArray args = Process::Current().CommandLine();
        int nArgs = args.GetArgCount();
        std::vector<const char*> argTexts(nArgs > 0 ? nArgs : 1);
        for (int i = 0; i < nArgs; ++i)
            argTexts[i] = args.GetArgText(i);
        ScanSwitches(nArgs, argTexts.data(), settings);
    }

    // Destroyed before the settings, after the mutex is closed.
    LanguageTable language;
    ZStringBuffer<256> sLanguageFile;
    GetLanguageFilePath(settings, sLanguageFile);
    if (!sLanguageFile.IsEmpty())
        language.LoadFile(sLanguageFile.GetData());

    int nExitCode = 0;
    if (settings.m_bUpdateMode)
        nExitCode = RunUpdateMode(settings.m_bMinimised, settings.m_bElevated, settings.m_sSettingsServer.GetData(),
                                  settings.m_bQuiet, &language)
            ? 1
            : 0;
    else
        RunServerMode(settings.m_bMinimised, settings.m_bElevated, settings.m_nPort, &language);

    ZCloseMutex(hMutex);
    return nExitCode;
}

namespace
{
struct ShutdownWork
{
    void (*m_pfnWork)(void* pArgument);
    void* m_pArgument;
};

int32_t ShutdownThreadMain(void* pArgument)
{
    ShutdownWork* pWork = static_cast<ShutdownWork*>(pArgument);
    pWork->m_pfnWork(pWork->m_pArgument);
    return 0;
}
}  // namespace

// Runs the work on a thread of its own while this thread answers the messages sent to its
// window: a server or connection thread that was already sending to the window when the loop
// ended would otherwise wait for ever, and the work waits for that thread.
void RunWhileAnsweringWindow(void (*pfnWork)(void*), void* pArgument)
{
    ShutdownWork work = {pfnWork, pArgument};
    ZThread thread = ZThread::Create(&ShutdownThreadMain, &work);
    if (!thread.IsValid()) {
        pfnWork(pArgument);
        return;
    }
    HANDLE hThread = thread.GetHandle();
    for (;;) {
        DWORD nWait = MsgWaitForMultipleObjects(1, &hThread, FALSE, INFINITE, QS_SENDMESSAGE);
        if (nWait != WAIT_OBJECT_0 + 1)
            break;
        MSG msg;
        // Handles the sent messages only; posted ones stay queued.
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

void RunServerMode(bool bMinimised, bool bElevated, int32_t nPort, LanguageTable* pLanguage)
{
    std::unique_ptr<IvlSyncWindow> pWindow(new IvlSyncWindow(bMinimised, bElevated, pLanguage));
    if (!pWindow->GetHwnd())
        return;

    if (!SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS))
        pWindow->Log(pWindow->GetLocalizedText("setpriority_failed"), static_cast<int>(GetLastError()));

    std::unique_ptr<PolicyServer> pPolicyServer;
    std::unique_ptr<FlashServer> pFlashServer;
    if (!IsElevationRequested()) {
        // A server that cannot bind or listen reports it itself and waits to be stopped.
        pPolicyServer.reset(new PolicyServer(pWindow.get()));
        pFlashServer.reset(new FlashServer(pWindow.get()));
        pPolicyServer->Start("127.0.0.1", kPolicyPort, false);
        pFlashServer->Start("127.0.0.1", nPort, true);
        pWindow->RegisterObject(pFlashServer.get());
        pWindow->RegisterObject(pPolicyServer.get());
    }

    pWindow->RunMessageLoop();

    if (pFlashServer) {
        // Stop and wait: the command server, then the policy server; then destroy both.
        struct Servers
        {
            FlashServer* m_pFlash;
            PolicyServer* m_pPolicy;
        } servers = {pFlashServer.get(), pPolicyServer.get()};
        RunWhileAnsweringWindow(
            [](void* pArgument) {
                Servers* pServers = static_cast<Servers*>(pArgument);
                pServers->m_pFlash->Stop(true);
                pServers->m_pPolicy->Stop(true);
            },
            &servers);
        pFlashServer.reset();
        pPolicyServer.reset();
    }
    // The window goes last: the servers and their threads report to it until they are gone.
}
