#include "launch/ivlsync/rungamesession.h"

#include <cstring>
#include "common/system/process.h"
#include "launch/launchlibs/flashmessage.h"
#include "launch/ivlsync/flashserver.h"

const char* const RunGameSession::s_aszDirectXLibraries[3] = {
    "d3dx9_43.dll",
    "d3dx10_43.dll",
    "d3dx11_43.dll",
};
const char RunGameSession::s_szSetupProgram[] = "dxsetup.exe";
const char RunGameSession::s_szSetupArguments[] = "/silent";

namespace
{
const char kGameProgram[] = "ivl.exe";
// The session polls its stop flag this often while it waits for a program.
const DWORD kStopPollMs = 1000;

struct SetupExitText
{
    int m_nCode;
    const char* m_szText;
};

// The DirectX setup's documented return values.
const SetupExitText kSetupExitTexts[] = {
    {-21, "The cabinet (.cab) file is not signed. "},
    {-20, "The cabinet (.cab) file was in use."},
    {-19, "The cabinet (.cab) file failed to load."},
    {-16, "The processor type is unsupported."},
    {-15,
     "The current user does not have administrative privileges. The user may need "
     "administrative privileges for some setup operations."},
    {-11, "The operating system is unknown."},
    {-9, "An internal error occurred."},
    {-8, "The setup program could not find the working directory."},
    {-7, "A required information (.inf) file could not be found."},
    {-6, "The setup program ran out of disk space during installation."},
    {-5, "A file's version could not be verified or was incorrect."},
    {-2, "One of the required source files could not be found."},
    {-1, "Microsoft DirectX does not support the version of Microsoft Windows on the computer."},
    {0, "Setup was successful, and no restart is required."},
    {1, "Setup was successful, and a restart is required."},
};

// The launcher reads a value up to the next blank or tab, or, when it starts with a quote, up
// to the next such quote; an empty value would take the next switch as its value, and a value
// of a switch it does not know ("/lang") is read as a switch of its own when it begins with '/'.
// Quoted, each is one value to every switch.
bool NeedsQuotes(const char* szValue)
{
    if (!*szValue || *szValue == '"' || *szValue == '\'' || *szValue == '/')
        return true;
    return strpbrk(szValue, " \t") != nullptr;
}

void AppendValue(ZStringBase& out, const char* szValue)
{
    if (NeedsQuotes(szValue)) {
        out.AppendChar('"');
        out.Append(szValue);
        out.AppendChar('"');
    } else {
        out.Append(szValue);
    }
}
}

RunGameSession::RunGameSession(int nSessionId, const Socket& connection, ZIvlSync* pWindow, FlashServer* pServer)
    : Session(nSessionId, connection, pWindow, pServer), m_Params(32)
{
}

bool RunGameSession::Start(const char* szWebEntrance, const char* szDistribution, const char* szInstalledVersion,
                           const char* szMissionId, const char* szPlayerSessionId, const char* szLanguage,
                           const ZStringArray& params)
{
    m_sWebEntrance = szWebEntrance;
    m_sDistribution = szDistribution;
    m_sInstalledVersion = szInstalledVersion;
    m_sMissionId = szMissionId;
    m_sPlayerSessionId = szPlayerSessionId;
    m_sLanguage = szLanguage;
    m_Params.Clear();
    for (unsigned i = 0; i < params.Size(); ++i)
        m_Params.Add(params[i].GetData());
    if (!CreateWorkThread(nullptr))
        return false;
    StartWorkThread();
    return true;
}

void RunGameSession::Run(SessionEnd& end)
{
    ZStringBuffer<256> sInstallDir;
    ZIvlSync::GetInstallDir(sInstallDir, m_sDistribution.GetData(), m_sInstalledVersion.GetData());
    int nDirectX = CheckDirectX(sInstallDir.GetData(), end);
    if (nDirectX == DIRECTX_FAILED)
        return;
    // A cancel that came while the setup ran ends the session here: the game must not start.
    if (nDirectX == DIRECTX_CANCELLED || m_bCancel) {
        Log("Cancelled before the game was started");
        end.Set(STATUS_STOPPED);
        return;
    }
    RunGame(sInstallDir.GetData(), nDirectX, end);
}

bool RunGameSession::IsLibraryPresent(const char* szName)
{
    HMODULE hModule = LoadLibraryExA(szName, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (hModule == nullptr)
        return false;
    FreeLibrary(hModule);
    return true;
}

int RunGameSession::CheckDirectX(const char* szInstallDir, SessionEnd& end)
{
    Reply(STATUS_PROGRESS, "0.1;Checking DirectX");
    ZStringBuffer<256> sDirectXDir(szInstallDir);
    sDirectXDir.Append("\\DirectX");

    bool bInstalled = true;
    for (const char* szLibrary : s_aszDirectXLibraries) {
        bool bPresent = IsLibraryPresent(szLibrary);
        Log("Check for %s installed: %s\n", szLibrary, bPresent ? "yes" : "no");
        bInstalled = bInstalled && bPresent;
    }
    Log("Check for DX installed: %s\n", bInstalled ? "yes" : "no");
    if (bInstalled)
        return DIRECTX_READY;

    ZStringBuffer<256> sSetup("%s\\%s", sDirectXDir.GetData(), s_szSetupProgram);
    Log("Executing %s %s\n", sSetup.GetData(), s_szSetupArguments);
    Process setup = Process::Start(sSetup.GetData(), s_szSetupArguments, sDirectXDir.GetData(), nullptr, false, false,
                                   Process::PRIORITY_PARENT);
    if (!setup.IsValid()) {
        ZStringBuffer<256> sText("Failed to run: %s\\%s %s\n", sDirectXDir.GetData(), s_szSetupProgram,
                                 s_szSetupArguments);
        end.Set(ERR_FAILED, sText.GetData());
        return DIRECTX_FAILED;
    }

    // The setup is waited for without limit, but a cancel stops the waiting: the setup itself
    // is left to finish its work.
    while (!setup.Wait(kStopPollMs)) {
        if (m_bCancel) {
            Log("Cancelled while %s runs; it is left to end by itself\n", s_szSetupProgram);
            return DIRECTX_CANCELLED;
        }
    }
    int nExitCode = setup.GetExitCode();
    if (nExitCode == 0)
        return DIRECTX_READY;
    ZStringBuffer<256> sText("%s exit code %d: %s\n", s_szSetupProgram, nExitCode, GetDirectXSetupErrorText(nExitCode));
    end.Set(ERR_FAILED, sText.GetData());
    return DIRECTX_FAILED;
}

const char* RunGameSession::GetDirectXSetupErrorText(int nExitCode)
{
    for (const SetupExitText& entry : kSetupExitTexts)
        if (entry.m_nCode == nExitCode)
            return entry.m_szText;
    return "Unknown error";
}

bool RunGameSession::IsValidValue(const char* szValue)
{
    return szValue != nullptr && strchr(szValue, '"') == nullptr;
}

void RunGameSession::BuildCommandLine(ZStringBase& out, const char* szMissionId, const char* szPlayerSessionId,
                                      const char* szWebEntrance, const char* szLanguage, int nDirectX,
                                      const ZStringArray& params)
{
    out.Assign("/S ");
    AppendValue(out, szMissionId);
    out.Append(" /M ");
    AppendValue(out, szMissionId);
    out.Append(" /P ");
    AppendValue(out, szPlayerSessionId);
    out.Append(" /W ");
    AppendValue(out, szWebEntrance);
    out.Append(" /lang ");
    AppendValue(out, szLanguage);
    out.AppendFormat(" /NOSERVER  /H %d", nDirectX);
    for (unsigned i = 0; i < params.Size(); ++i) {
        out.Append(" /R \"");
        out.Append(params[i].GetData());
        out.Append("\" ");
    }
}

void RunGameSession::RunGame(const char* szInstallDir, int nDirectX, SessionEnd& end)
{
    ZStringBuffer<256> sCommandLine;
    BuildCommandLine(sCommandLine, m_sMissionId.GetData(), m_sPlayerSessionId.GetData(), m_sWebEntrance.GetData(),
                     m_sLanguage.GetData(), nDirectX, m_Params);
    ZStringBuffer<256> sProgram("%s\\%s", szInstallDir, kGameProgram);
    Process game = Process::Start(sProgram.GetData(), sCommandLine.GetData(), szInstallDir, nullptr, false, false,
                                  Process::PRIORITY_NORMAL);
    if (!game.IsValid()) {
        // Missing program, or a command line over the limit of a start.
        Log("Failed to run: %s %s\n", sProgram.GetData(), sCommandLine.GetData());
        ZStringBuffer<256> sText("Failed to run: %s\n", sProgram.GetData());
        end.Set(ERR_FAILED, sText.GetData());
        return;
    }
    Reply(STATUS_PROGRESS, "1;Started");
    while (!m_bCancel) {
        if (game.Wait(kStopPollMs))
            break;
    }
    // Ends a game that still runs after a cancel; nothing after a normal end.
    game.Terminate();
    end.Set(m_bCancel ? STATUS_STOPPED : STATUS_FINISHED);
}
