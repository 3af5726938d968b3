// The launcher's application object: loads the game engine library (player.dll), sizes and
// shows the main window, hands the engine the run's parameters and ticks it from the message
// loop; packs scenes through pack.dll and texforge.dll; opens the small-files catalog "bank5".
#pragma once
#include <stdint.h>
#include "common/system/zwin.h"
#include "launch/ivl/iplayer.h"

class ZIvL
{
public:
    // The one application object (made on first use, never destroyed).
    static ZIvL* Get();

    // Table of virtual operations, in slot order (the start-up and the Python module call these).
    virtual bool Pack(const char* szScene);           // slot 0
    virtual bool PackAndRepack(const char* szScene);  // slot 1
    // Null texts stand for "no value"; szParentWindow is the decimal text of a window handle.
    virtual bool RunClient(const char* szSessionId, const char* szScene, bool bLoadFromServer,
                           const char* szPlayerSessionId, bool bAllowLocalServer, int nPort, const char* szWebEntrance,
                           const char* szParentWindow);  // slot 2
    virtual bool RunServer(const char* szSessionId, const char* szScene, bool bLoadFromServer, int nPort,
                           const char* szWebEntrance);  // slot 3
    virtual const char* GetCmdLine();                   // slot 4
    virtual void OpenSmallFilesCatalog();               // slot 5

    // The start-up's pack step.
    bool PackScene(const char* szScene, bool bRepack);

    bool LoadPlayer(bool bDedicated);
    bool InitDll(bool bDedicated, const char* szPlayerSessionId, bool bAllowLocalServer, int nPort,
                 const char* szWebEntrance, const char* szScene, bool bLoadFromServer, const char* szParentWindow);
    void RunMessageLoop();

    void SetCmdLine(const char* szCmdLine) { m_szCmdLine = szCmdLine; }
    bool IsDedicated() const { return m_bDedicated; }
    IPlayer* GetPlayer() const { return m_pPlayer; }
    const char* GetSessionId() const { return m_szSessionId; }

protected:
    ZIvL();
    ~ZIvL() = default;
    ZIvL(const ZIvL&) = delete;
    ZIvL& operator=(const ZIvL&) = delete;

private:
    void SetSessionId(const char* szSessionId);
    void ReleasePlayer();
    void OnSceneBegin();

    HMODULE m_hPlayer;
    bool m_bDedicated;
    IPlayer* m_pPlayer;
    const char* m_szCmdLine;
    char m_szSessionId[40];
    PlayerStartParams m_StartParams;
};

// Main window placement for a run: the client area's size and position on a screen.
struct ZWindowPlacement
{
    int m_nX, m_nY, m_nWidth, m_nHeight;
};
// szResolution is the option "render.resolution" ("%dx%d"; anything else counts as none).
ZWindowPlacement ComputeWindowPlacement(const char* szResolution, int nScreenWidth, int nScreenHeight);
