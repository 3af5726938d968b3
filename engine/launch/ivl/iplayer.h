// The game engine library's interface (player.dll): "GetPlayerInterface"(mode) returns it.
// Shared by the launcher and the player.dll stand-in.
#pragma once
#include <stdint.h>
#include <string.h>
#include "common/system/zwin.h"

#define PLAYER_CALL __stdcall

enum
{
    PLAYER_MODE_CLIENT = 0,
    PLAYER_MODE_DEDICATED = 3,
    PLAYER_TICK_QUIT = -1,
};

enum
{
    PLAYER_KEY_DOWN = 0,
    PLAYER_KEY_UP = 1,
    PLAYER_KEY_REPEAT = 2,
};

// The main window's two interfaces handed to the engine (one object; the second part follows the
// first table pointer).
class IWindowCursor
{
public:
    virtual void PLAYER_CALL SetCursorReleased(bool bReleased) = 0;  // 0
    virtual void PLAYER_CALL SetCursorKind(int nKind) = 0;           // 1: 1 I-beam, 2 own, 3 size-all, else arrow
    virtual void PLAYER_CALL LockMouse(bool bLock) = 0;              // 2

protected:
    ~IWindowCursor() = default;
};

class IWindowGeometry
{
public:
    virtual int PLAYER_CALL GetScreenWidth() = 0;                                             // 0
    virtual int PLAYER_CALL GetScreenHeight() = 0;                                            // 1
    virtual void PLAYER_CALL GetClientRect(int* pX, int* pY, int* pWidth, int* pHeight) = 0;  // 2
    virtual void PLAYER_CALL SetClientRect(int nX, int nY, int nWidth, int nHeight) = 0;      // 3
    virtual void PLAYER_CALL SetFullScreen(bool bFullScreen) = 0;                             // 4

protected:
    ~IWindowGeometry() = default;
};

// What the engine is given when it starts.
struct PlayerStartParams
{
    HWND m_hWindow;
    const char* m_szSessionId;
    const char* m_szPlayerSessionId;  // null for a dedicated server
    bool m_bAllowLocalServer;
    int32_t m_nPort;
    const char* m_szWebEntrance;
    bool m_bLoadFromServer;
    const char* m_szScene;
    void* m_pWindowObject;    // the main window's cursor interface
    void* m_pWindowGeometry;  // its second part (window geometry), null without a window object
};

// The engine's input-method object.
class IPlayerIme
{
public:
    virtual void PLAYER_CALL BeginComposition() = 0;                                                    // 0
    virtual void PLAYER_CALL EndComposition() = 0;                                                      // 1
    virtual void PLAYER_CALL UpdateComposition(const wchar_t* szText, const uint8_t* pAttributes) = 0;  // 2
    virtual void PLAYER_CALL OpenCandidates() = 0;                                                      // 3
    virtual void PLAYER_CALL CloseCandidates() = 0;                                                     // 4
    virtual void PLAYER_CALL ChangeCandidates(const void* pCandidateList) = 0;                          // 5

protected:
    ~IPlayerIme() = default;
};

// Scene-begin callback: a holder passed by value with 32 bytes of inline storage that holds the
// callable; a copy points its pointer at its own storage.
class ZCallable
{
public:
    virtual void PLAYER_CALL Destroy(int bFree) = 0;  // 0
    virtual void PLAYER_CALL Invoke() = 0;            // 1

protected:
    ~ZCallable() = default;
};

struct ZCallbackHolder
{
    uint8_t m_aStorage[32];  // at offset 0: aligned as the holder, for pointers
    ZCallable* m_pCallable;

    ZCallbackHolder() : m_pCallable(nullptr) { memset(m_aStorage, 0, sizeof(m_aStorage)); }
    ZCallbackHolder(const ZCallbackHolder& other)
    {
        memcpy(m_aStorage, other.m_aStorage, sizeof(m_aStorage));
        m_pCallable = other.m_pCallable ? reinterpret_cast<ZCallable*>(m_aStorage) : nullptr;
    }
    ZCallbackHolder& operator=(const ZCallbackHolder&) = delete;
    void Invoke()
    {
        if (m_pCallable)
            m_pCallable->Invoke();
    }
    // Destroys the callable held in the storage (not freed: it lives in the storage).
    void Reset()
    {
        if (m_pCallable)
            m_pCallable->Destroy(0);
        m_pCallable = nullptr;
    }
};

static_assert(sizeof(void*) != 4 || sizeof(ZCallbackHolder) == 36, "32 bytes of storage and a pointer");
static_assert(sizeof(void*) != 4 || sizeof(PlayerStartParams) == 40, "start parameters as the engine reads them");

// Filled by the engine for the dedicated server's status page.
struct PlayerServerStats
{
    int32_t m_nUploadBytesPerSecond;
    int32_t m_nStatePacketSize;
    int32_t m_nBytesDownloaded;
    int32_t m_nDownloadBytesPerSecond;
    int32_t m_nBytesUploaded;
    int32_t m_nClients;
    int32_t m_nTick;
    float m_fFrameTime;  // seconds
    char m_szScene[64];
    char m_szAddress[64];
    char m_szName[64];
    float m_afSeries1[256];
    int32_t m_nSeries1Count;
    float m_afSeries2[256];
    int32_t m_nSeries2Count;
};
static_assert(sizeof(PlayerServerStats) == 2280, "statistics record as the engine fills it");

class IPlayer
{
public:
    virtual bool PLAYER_CALL Initialise(int nMode) = 0;                             // 0
    virtual bool PLAYER_CALL AttachWindow(HWND hWnd, int nWidth, int nHeight) = 0;  // 1
    virtual bool PLAYER_CALL Start(const PlayerStartParams* pParams) = 0;           // 2
    virtual int PLAYER_CALL Tick() = 0;                                             // 3, -1: quit
    virtual void PLAYER_CALL Release() = 0;                                         // 4
    virtual void PLAYER_CALL CloseRequest() = 0;                                    // 5
    virtual void PLAYER_CALL Key(int nState, int nCode) = 0;                        // 6
    virtual void PLAYER_CALL Char(WPARAM wParam, LPARAM lParam) = 0;                // 7
    virtual void PLAYER_CALL Mouse(intptr_t nButtons, int nDeltaX, int nDeltaY, int nWheel, int nX, int nY) = 0;  // 8
    virtual void PLAYER_CALL RawInput(int nSize, const void* pData) = 0;                                          // 9
    virtual void PLAYER_CALL Resized(int nWidth, int nHeight) = 0;                                                // 10
    virtual void PLAYER_CALL Unused11() = 0;                                                                      // 11
    virtual IPlayerIme* PLAYER_CALL GetIme() = 0;                                                                 // 12
    virtual void PLAYER_CALL Deactivated() = 0;                                                                   // 13
    virtual void PLAYER_CALL Unused14() = 0;                                                                      // 14
    virtual void PLAYER_CALL SetSceneBeginCallback(int nZero, ZCallbackHolder callback) = 0;                      // 15
    virtual void PLAYER_CALL Unused16() = 0;                                                                      // 16
    virtual void PLAYER_CALL GetServerStats(PlayerServerStats* pStats) = 0;                                       // 17

protected:
    ~IPlayer() = default;
};

// Exports of player.dll (plain names, C calling convention).
typedef IPlayer*(__cdecl* GetPlayerInterfaceFunc)(int nMode);
typedef void(__cdecl* InputTimerFunc)();
