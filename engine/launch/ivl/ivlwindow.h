// The launcher's one top-level window. For a game client it is the engine's render and input
// window (keyboard, mouse, raw input and input-method messages become engine calls; the cursor is
// clipped and hidden while the game has the input); for a dedicated server it paints the status
// page (twelve lines of server statistics and two traffic graphs, refreshed every 50 ms).
#pragma once
#include "common/system/zwin.h"
#include "launch/ivl/iplayer.h"
#include <imm.h>

class IvLWindow final : public IWindowCursor, public IWindowGeometry
{
public:
    // Created on first use.
    static IvLWindow* Get();

    void Show();
    void MakeChildOf(HWND hParent);
    HWND GetHandle() const { return m_hWnd; }

    // Cursor interface
    void PLAYER_CALL SetCursorReleased(bool bReleased) override;
    void PLAYER_CALL SetCursorKind(int nKind) override;
    void PLAYER_CALL LockMouse(bool bLock) override;
    // Window-geometry interface
    int PLAYER_CALL GetScreenWidth() override;
    int PLAYER_CALL GetScreenHeight() override;
    void PLAYER_CALL GetClientRect(int* pX, int* pY, int* pWidth, int* pHeight) override;
    void PLAYER_CALL SetClientRect(int nX, int nY, int nWidth, int nHeight) override;
    void PLAYER_CALL SetFullScreen(bool bFullScreen) override;

    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam);

private:
    IvLWindow();
    ~IvLWindow();
    bool CreateMainWindow();
    void RegisterRawInput();
    LRESULT HandleMessage(UINT nMessage, WPARAM wParam, LPARAM lParam);
    LRESULT HandleInput(UINT nMessage, WPARAM wParam, LPARAM lParam);
    bool HandleIme(UINT nMessage, WPARAM wParam, LPARAM& lParam);
    void UpdateCursor(bool bForce);
    void PaintStatus(HDC hDC);
    static void DestroyAtExit();

    bool m_bShown;
    bool m_bImeDetached;
    bool m_bCursorReleased;
    bool m_bCursorClipped;
    bool m_bMouseLocked;
    POINT m_RememberedCursor;
    wchar_t m_szComposition[256];
    SHORT m_nLeftShift;
    SHORT m_nRightShift;
    HWND m_hParent;
    HWND m_hWnd;
    HIMC m_hImc;
    HIMC m_hPreviousImc;
    HCURSOR m_hShownCursor;
    HCURSOR m_hChosenCursor;
    POINT m_LastMouse;
    wchar_t m_szClassName[16];
};

// The class name a launcher registers: "IvLWindow000" to "IvLWindow999", the first free one.
bool FindFreeClassName(wchar_t* szName, HINSTANCE hInstance);

// Scene path as the status page shows it: without its folder and its extension, at most 63 characters.
void StatusSceneName(const char* szPath, char* szOut, size_t nSize);

// Points of one traffic graph: samples 0 to n - 2; returns how many were written (0 for fewer
// than two samples).
int GraphPoints(const float* pSamples, int nCount, int nWidth, int nBottom, POINT* pPoints);
// Draws the status page of the given statistics over rect (the client area).
void PaintStatusPage(HDC hDC, const RECT& rect, const PlayerServerStats& stats);
