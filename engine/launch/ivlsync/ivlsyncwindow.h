// The server-mode window: dialog 101 with the status lines of the servers and their
// connections above the log, and the menu (verify, edit local settings, install folder, exit).
#pragma once
#include <cstdint>
#include "common/containers/zmap.h"
#include "launch/ivlsync/ivlsyncwindowbase.h"

class IvlSyncWindow : public ZIvlSync
{
public:
    IvlSyncWindow(bool bMinimised, bool bElevated, LanguageTable* pLanguage);
    ~IvlSyncWindow() override;

    // Replaces every menu item's text (a language key) by its language text.
    static void TranslateMenu(HMENU hMenu, LanguageTable* pLanguage);

    int GetStatusBottom() const { return m_nStatusBottom; }
    int GetLineHeight() const { return m_nLineHeight; }

private:
    INT_PTR HandleMessage(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam) override;

    HWND CreateLine(const char* szName, HWND hAfter);
    void SetLine(HWND hLine, char* pText);
    void DestroyLine(HWND hLine);
    // Moves every line whose top lies below nTop by nDelta pixels.
    void ShiftLinesBelow(int nTop, int nDelta);
    // The log control from the bottom of the status lines to the foot of the client area.
    void LayoutLog(int nWidth, int nHeight);
    void LayoutLog();
    void MoveLogTop(int nTop);
    RECT GetChildRect(HWND hChild);
    void OnCommand(int nCommand);

    ZIntMap<uintptr_t, ZStringBuffer<16>> m_StatusLines;
    int32_t m_nStatusBottom;
    int32_t m_nStatusLeft;
    int32_t m_nStatusWidth;
    int32_t m_nLineHeight;
    bool m_bGeometry;
};
