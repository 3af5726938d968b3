// CMD_RUN_IVL: makes sure the DirectX runtime the game needs is there (running the DirectX setup
// of the install folder when it is not), starts the game launcher "ivl.exe" of the install folder
// with the session's switches and watches it until it ends or the session is cancelled.
#pragma once
#include <cstdint>
#include "common/containers/zstringarray.h"
#include "common/containers/zstringbuffer.h"
#include "common/system/zthread.h"
#include "launch/ivlsync/session.h"

class RunGameSession : public Session
{
public:
    // CheckDirectX results.
    enum
    {
        DIRECTX_READY = 0,
        DIRECTX_CANCELLED = 1,  // the session was cancelled while the setup ran; nothing sent
        DIRECTX_FAILED = 2,     // reported with ERR_FAILED
    };

    RunGameSession(int nSessionId, const Socket& connection, ZIvlSync* pWindow, FlashServer* pServer);

    // Copies the parameters and starts the session's thread; false when it could not be made.
    bool Start(const char* szWebEntrance, const char* szDistribution, const char* szInstalledVersion,
               const char* szMissionId, const char* szPlayerSessionId, const char* szLanguage,
               const ZStringArray& params);
    int GetKind() override { return KIND_RUNGAME; }

    // A failure sets its end reply.
    int CheckDirectX(const char* szInstallDir, SessionEnd& end);
    // Starts the game and waits for it; the end reply tells how it ended.
    void RunGame(const char* szInstallDir, int nDirectX, SessionEnd& end);

    // The text for an exit code of the DirectX setup.
    static const char* GetDirectXSetupErrorText(int nExitCode);
    // The launcher's command line. Values the launcher would read wrongly unquoted (empty, with
    // a blank or tab, or starting with a quote or '/') are written in double quotes.
    static void BuildCommandLine(ZStringBase& out, const char* szMissionId, const char* szPlayerSessionId,
                                 const char* szWebEntrance, const char* szLanguage, int nDirectX,
                                 const ZStringArray& params);
    // A value the launcher can be given: the launcher's values end at the next double quote,
    // and quotes are not escaped there, so no value may hold one.
    static bool IsValidValue(const char* szValue);

    static const char* const s_aszDirectXLibraries[3];
    static const char s_szSetupProgram[];
    static const char s_szSetupArguments[];

protected:
    // A cancel ends the game (or stops waiting for the setup), and the end reply is then
    // STATUS_STOPPED.
    void Run(SessionEnd& end) override;

private:
    // Loads the library as a data file only; true when it is there.
    static bool IsLibraryPresent(const char* szName);

    ZStringBuffer<16> m_sWebEntrance;
    ZStringBuffer<16> m_sDistribution;
    ZStringBuffer<16> m_sInstalledVersion;
    ZStringBuffer<16> m_sMissionId;
    ZStringBuffer<16> m_sPlayerSessionId;
    ZStringBuffer<16> m_sLanguage;
    ZStringArray m_Params;
};
