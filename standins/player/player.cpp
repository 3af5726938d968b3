// Stands in for the game engine library player.dll. It renders nothing: it records in
// "player.log" beside itself the mode, the window it is attached to and its size, the start
// parameters, the options named in its control file, every tick and every input call, and ends
// the launcher's loop after a number of ticks or on a close request.
// Control file "player.ctl" beside it, one setting a line:
//   ticks N          the tick N returns -1 (quit)
//   pump             each tick posts a message to the window, so ticks run without outside input
//                    (start posts the first one in any case)
//   crash N          the tick N writes to address 0
//   purecall N       the tick N makes a pure virtual call (the call such a table entry makes)
//   option NAME      the option's text is logged at start
//   series N         the status statistics carry N samples per graph (0 by default)
//   fail init|attach|start|interface   that step fails
#include "launch/ivl/iplayer.h"
#include "launch/ivl/globvals.h"
#include "standins/standinlog.h"
#include <stdlib.h>

extern "C" void __cxa_pure_virtual();

namespace
{
const char* const kLog = "player.log";

std::vector<std::string>& Control()
{
    static std::vector<std::string> s_Lines = StandinControlLines("player.ctl");
    return s_Lines;
}

bool HasLine(const char* szLine)
{
    for (const std::string& line : Control())
        if (line == szLine)
            return true;
    return false;
}

int ControlNumber(const char* szKey, int nDefault)
{
    const char* szValue = StandinControlValue(Control(), szKey);
    return szValue ? atoi(szValue) : nDefault;
}

const char* Text(const char* sz)
{
    return sz ? sz : "(null)";
}

int s_nInputTimerStarts;
int s_nInputTimerEnds;

class Player : public IPlayer
{
public:
    explicit Player(int nMode)
        : m_nMode(nMode), m_nTicks(0), m_bCloseRequested(false), m_hWnd(NULL), m_bStatsLogged(false)
    {
    }

    bool PLAYER_CALL Initialise(int nMode) override
    {
        StandinLog(kLog, "Initialise mode=%d", nMode);
        return !HasLine("fail init");
    }

    bool PLAYER_CALL AttachWindow(HWND hWnd, int nWidth, int nHeight) override
    {
        m_hWnd = hWnd;
        RECT rect = {};
        GetClientRect(hWnd, &rect);
        POINT origin = {0, 0};
        ClientToScreen(hWnd, &origin);
        wchar_t szClass[64] = L"", szTitle[128] = L"";
        GetClassNameW(hWnd, szClass, 64);
        GetWindowTextW(hWnd, szTitle, 128);
        StandinLog(kLog, "AttachWindow size=%dx%d client=%ldx%ld at=%ld,%ld class=%ls title=%ls", nWidth, nHeight,
                   rect.right, rect.bottom, origin.x, origin.y, szClass, szTitle);
        return !HasLine("fail attach");
    }

    bool PLAYER_CALL Start(const PlayerStartParams* p) override
    {
        bool bSecondPart = p->m_pWindowObject &&
            static_cast<char*>(p->m_pWindowGeometry) == static_cast<char*>(p->m_pWindowObject) + sizeof(void*);
        StandinLog(kLog,
                   "Start session=%s playersession=%s allowlocalserver=%d port=%d web=%s loadfromserver=%d scene=%s "
                   "window=%s geometry=%s",
                   Text(p->m_szSessionId), Text(p->m_szPlayerSessionId), p->m_bAllowLocalServer ? 1 : 0, p->m_nPort,
                   Text(p->m_szWebEntrance), p->m_bLoadFromServer ? 1 : 0, Text(p->m_szScene),
                   p->m_hWindow == m_hWnd ? "attached" : "other", bSecondPart ? "second-part" : "wrong");
        for (size_t i = 0; const char* szName = StandinControlValue(Control(), "option", i); ++i) {
            ZOption* pOption = ZOptionSet::GetOptions()->Find(szName);
            StandinLog(kLog, "option %s=%s", szName, pOption ? pOption->m_sValue.c_str() : "(missing)");
        }
        if (m_Callback.m_pCallable) {
            StandinLog(kLog, "SceneBegin");
            m_Callback.Invoke();
        }
        // The loop ticks after messages only: the first one comes from here, not from the desktop.
        PostMessageW(m_hWnd, WM_NULL, 0, 0);
        return !HasLine("fail start");
    }

    int PLAYER_CALL Tick() override
    {
        ++m_nTicks;
        StandinLog(kLog, "Tick %d", m_nTicks);
        if (m_nTicks == ControlNumber("crash", -1))
            *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(0)) = 1;
        if (m_nTicks == ControlNumber("purecall", -1)) {
            StandinLog(kLog, "pure call");
            __cxa_pure_virtual();  // what the table entry of a pure function calls
        }
        if (m_bCloseRequested || m_nTicks == ControlNumber("ticks", -1))
            return -1;
        if (HasLine("pump"))
            PostMessageW(m_hWnd, WM_NULL, 0, 0);
        return 0;
    }

    void PLAYER_CALL Release() override
    {
        StandinLog(kLog, "Release ticks=%d inputtimer=%d/%d", m_nTicks, s_nInputTimerStarts, s_nInputTimerEnds);
        m_Callback.Reset();
    }

    void PLAYER_CALL CloseRequest() override
    {
        StandinLog(kLog, "CloseRequest");
        m_bCloseRequested = true;
    }

    void PLAYER_CALL Key(int nState, int nCode) override { StandinLog(kLog, "Key %d %d", nState, nCode); }
    void PLAYER_CALL Char(WPARAM wParam, LPARAM lParam) override
    {
        StandinLog(kLog, "Char %d %d", static_cast<int>(wParam), static_cast<int>(lParam));
    }
    void PLAYER_CALL Mouse(intptr_t nButtons, int nDeltaX, int nDeltaY, int nWheel, int nX, int nY) override
    {
        StandinLog(kLog, "Mouse %d %d %d %d %d %d", static_cast<int>(nButtons), nDeltaX, nDeltaY, nWheel, nX, nY);
    }
    void PLAYER_CALL RawInput(int nSize, const void*) override { StandinLog(kLog, "RawInput %d", nSize); }
    void PLAYER_CALL Resized(int nWidth, int nHeight) override { StandinLog(kLog, "Resized %d %d", nWidth, nHeight); }
    void PLAYER_CALL Unused11() override {}
    IPlayerIme* PLAYER_CALL GetIme() override { return nullptr; }
    void PLAYER_CALL Deactivated() override { StandinLog(kLog, "Deactivated"); }
    void PLAYER_CALL Unused14() override {}
    void PLAYER_CALL SetSceneBeginCallback(int nZero, ZCallbackHolder callback) override
    {
        StandinLog(kLog, "SetSceneBeginCallback %d %s", nZero, callback.m_pCallable ? "set" : "none");
        m_Callback.Reset();
        new (&m_Callback) ZCallbackHolder(callback);
    }
    void PLAYER_CALL Unused16() override {}
    void PLAYER_CALL GetServerStats(PlayerServerStats* pStats) override
    {
        if (!m_bStatsLogged) {
            StandinLog(kLog, "GetServerStats");
            m_bStatsLogged = true;
        }
        memset(pStats, 0, sizeof(*pStats));
        strcpy(pStats->m_szName, "stand-in server");
        strcpy(pStats->m_szAddress, "127.0.0.1:7777");
        strcpy(pStats->m_szScene, "scenes\\arena.xml");
        pStats->m_nClients = 3;
        pStats->m_nTick = m_nTicks;
        pStats->m_fFrameTime = 0.0125f;
        pStats->m_nBytesUploaded = 4096;
        pStats->m_nBytesDownloaded = 2048;
        pStats->m_nStatePacketSize = 120;
        pStats->m_nUploadBytesPerSecond = 131072;
        pStats->m_nDownloadBytesPerSecond = 512;
        int nSamples = ControlNumber("series", 0);
        if (nSamples < 0 || nSamples > 256)
            nSamples = 256;
        for (int i = 0; i < nSamples; ++i) {
            pStats->m_afSeries1[i] = (i % 10) / 10.0f;
            pStats->m_afSeries2[i] = ((i + 5) % 10) / 10.0f;
        }
        pStats->m_nSeries1Count = pStats->m_nSeries2Count = nSamples;
    }

private:
    int m_nMode;
    int m_nTicks;
    bool m_bCloseRequested;
    HWND m_hWnd;
    bool m_bStatsLogged;
    ZCallbackHolder m_Callback;
};
}  // namespace

// A pure call in the engine reaches the program's handler, as with a runtime shared by both.
extern "C" void __cxa_pure_virtual()
{
    typedef void (*Handler)();
    Handler pfnHandler = reinterpret_cast<Handler>(GetProcAddress(GetModuleHandleW(NULL), "__cxa_pure_virtual"));
    if (pfnHandler)
        pfnHandler();
    abort();
}

extern "C" IPlayer* __cdecl GetPlayerInterface(int nMode)
{
    StandinLog(kLog, "GetPlayerInterface mode=%d", nMode);
    if (HasLine("fail interface"))
        return nullptr;
    static Player* s_pPlayer = new Player(nMode);
    return s_pPlayer;
}

extern "C" void __cdecl StartInputTimer()
{
    ++s_nInputTimerStarts;
}

extern "C" void __cdecl EndInputTimer()
{
    ++s_nInputTimerEnds;
}
