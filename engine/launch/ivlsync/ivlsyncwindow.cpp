#include "launch/ivlsync/ivlsyncwindow.h"

#include <shellapi.h>
#include <cstdlib>
#include "common/system/file.h"
#include "launch/ivlsync/languagetable.h"
#include "launch/ivlsync/resource.h"

IvlSyncWindow::IvlSyncWindow(bool bMinimised, bool bElevated, LanguageTable* pLanguage)
    : ZIvlSync(pLanguage, bElevated), m_nStatusBottom(0), m_nStatusLeft(0), m_nStatusWidth(0), m_nLineHeight(0),
      m_bGeometry(false)
{
    if (!CreateDialogWindow(IDD_IVLSYNC))
        return;
    HMENU hMenu = GetMenu(m_hWnd);
    if (hMenu) {
        TranslateMenu(hMenu, m_pLanguage);
        DrawMenuBar(m_hWnd);
    }
    // Geometry before the first show: the first WM_SIZE already lays the log out below it.
    RECT status = GetChildRect(GetDlgItem(m_hWnd, IDC_STATUS));
    m_nStatusBottom = status.bottom;
    m_nStatusLeft = status.left;
    m_nStatusWidth = status.right - status.left;
    m_nLineHeight = status.bottom - status.top;
    m_bGeometry = true;
    LayoutLog();
    ShowWindow(m_hWnd, bMinimised ? SW_SHOWMINIMIZED : SW_SHOWDEFAULT);
}

IvlSyncWindow::~IvlSyncWindow()
{
}

void IvlSyncWindow::TranslateMenu(HMENU hMenu, LanguageTable* pLanguage)
{
    int nCount = GetMenuItemCount(hMenu);
    for (int i = 0; i < nCount; ++i) {
        MENUITEMINFOW info = {};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_SUBMENU;
        if (!GetMenuItemInfoW(hMenu, i, TRUE, &info))
            continue;
        if (info.hSubMenu)
            TranslateMenu(info.hSubMenu, pLanguage);
        if (info.fType & (MFT_SEPARATOR | MFT_BITMAP | MFT_OWNERDRAW))
            continue;

        wchar_t szKey[256];
        MENUITEMINFOW text = {};
        text.cbSize = sizeof(text);
        text.fMask = MIIM_STRING;
        text.dwTypeData = szKey;
        text.cch = 256;
        if (!GetMenuItemInfoW(hMenu, i, TRUE, &text) || text.cch >= 255)
            continue;
        szKey[255] = 0;
        ZStringBuffer<256> sKey(szKey);
        const char* szText = pLanguage ? pLanguage->GetText(sKey.GetData()) : sKey.GetData();
        ZWideText wide(szText);
        MENUITEMINFOW update = {};
        update.cbSize = sizeof(update);
        update.fMask = MIIM_STRING;
        update.dwTypeData = const_cast<wchar_t*>(wide.c_str());
        SetMenuItemInfoW(hMenu, i, TRUE, &update);
    }
}

INT_PTR IvlSyncWindow::HandleMessage(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    switch (nMsg) {
    case WM_IVLSYNC_ADDLINE: {
        HWND hLine = CreateLine(reinterpret_cast<const char*>(wParam), reinterpret_cast<HWND>(lParam));
        SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, reinterpret_cast<LONG_PTR>(hLine));
        return TRUE;
    }
    case WM_IVLSYNC_SETLINE: SetLine(reinterpret_cast<HWND>(wParam), reinterpret_cast<char*>(lParam)); return TRUE;
    case WM_IVLSYNC_REMOVELINE: DestroyLine(reinterpret_cast<HWND>(wParam)); return TRUE;
    case WM_IVLSYNC_OBJECTENDED: RemoveObject(reinterpret_cast<ILiveObject*>(wParam)); return TRUE;
    case WM_SIZE:
        if (wParam != SIZE_MINIMIZED && m_bGeometry)
            LayoutLog(LOWORD(lParam), HIWORD(lParam));
        return TRUE;
    case WM_GETMINMAXINFO: reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize.y = m_nLineHeight + 24; return TRUE;
    case WM_CLOSE: Close(false); return TRUE;
    case WM_COMMAND: OnCommand(LOWORD(wParam)); return TRUE;
    }
    return ZIvlSync::HandleMessage(hWnd, nMsg, wParam, lParam);
}

RECT IvlSyncWindow::GetChildRect(HWND hChild)
{
    RECT rect = {};
    if (hChild && GetWindowRect(hChild, &rect))
        MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void IvlSyncWindow::ShiftLinesBelow(int nTop, int nDelta)
{
    for (ZIntMap<uintptr_t, ZStringBuffer<16>>::Node* pNode = m_StatusLines.Begin(); pNode;
         pNode = m_StatusLines.Next(pNode)) {
        HWND hLine = reinterpret_cast<HWND>(pNode->m_Key);
        RECT rect = GetChildRect(hLine);
        if (rect.top > nTop)
            SetWindowPos(hLine, nullptr, rect.left, rect.top + nDelta, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

HWND IvlSyncWindow::CreateLine(const char* szName, HWND hAfter)
{
    int nX = m_nStatusLeft;
    int nY = m_nStatusBottom;
    if (hAfter) {
        if (!m_StatusLines.Find(reinterpret_cast<uintptr_t>(hAfter)))
            return nullptr;
        RECT after = GetChildRect(hAfter);
        ShiftLinesBelow(after.top, m_nLineHeight);
        nX = after.left + 8;
        nY = after.top + m_nLineHeight;
    }
    ZWideText name(szName ? szName : "");
    HWND hLine = CreateWindowExW(0, L"STATIC", name.c_str(), WS_CHILD | WS_VISIBLE, nX, nY, m_nStatusWidth,
                                 m_nLineHeight, m_hWnd, nullptr, m_hInstance, nullptr);
    if (!hLine)
        return nullptr;
    SendMessageW(hLine, WM_SETFONT, SendMessageW(m_hWnd, WM_GETFONT, 0, 0), FALSE);
    m_StatusLines.Insert(reinterpret_cast<uintptr_t>(hLine), ZStringBuffer<16>(szName ? szName : ""));
    m_nStatusBottom += m_nLineHeight;
    HWND hLog = GetDlgItem(m_hWnd, IDC_LOG);
    if (GetChildRect(hLog).top < m_nStatusBottom)
        MoveLogTop(m_nStatusBottom);
    LayoutLog();
    return hLine;
}

void IvlSyncWindow::SetLine(HWND hLine, char* pText)
{
    ZIntMap<uintptr_t, ZStringBuffer<16>>::Node* pNode = m_StatusLines.Find(reinterpret_cast<uintptr_t>(hLine));
    if (pNode) {
        ZStringBuffer<256> sText(pNode->m_Value);
        sText.Append(" - ");
        sText.Append(pText ? pText : "");
        ZWideText wide(sText.GetData());
        SetWindowTextW(hLine, wide.c_str());
    }
    free(pText);
}

void IvlSyncWindow::DestroyLine(HWND hLine)
{
    ZIntMap<uintptr_t, ZStringBuffer<16>>::Node* pNode = m_StatusLines.Find(reinterpret_cast<uintptr_t>(hLine));
    if (!pNode)
        return;
    RECT rect = GetChildRect(hLine);
    m_StatusLines.FreeNode(m_StatusLines.RemoveNode(pNode));
    ShiftLinesBelow(rect.top, -m_nLineHeight);
    m_nStatusBottom -= m_nLineHeight;
    DestroyWindow(hLine);
    MoveLogTop(m_nStatusBottom);
}

void IvlSyncWindow::MoveLogTop(int nTop)
{
    HWND hLog = GetDlgItem(m_hWnd, IDC_LOG);
    if (!hLog)
        return;
    RECT rect = GetChildRect(hLog);
    int nHeight = rect.bottom - nTop;
    MoveWindow(hLog, rect.left, nTop, rect.right - rect.left, nHeight > 0 ? nHeight : 0, TRUE);
}

void IvlSyncWindow::LayoutLog()
{
    RECT client;
    if (m_hWnd && !IsIconic(m_hWnd) && GetClientRect(m_hWnd, &client))
        LayoutLog(client.right - client.left, client.bottom - client.top);
}

void IvlSyncWindow::LayoutLog(int nWidth, int nHeight)
{
    HWND hLog = GetDlgItem(m_hWnd, IDC_LOG);
    if (!hLog)
        return;
    RECT margins = {7, 56, 14, 79};
    MapDialogRect(m_hWnd, &margins);
    int nLogWidth = nWidth - margins.right;
    int nLogHeight = nHeight - (margins.bottom + m_nStatusBottom - 117);
    MoveWindow(hLog, margins.left, m_nStatusBottom, nLogWidth > 0 ? nLogWidth : 0, nLogHeight > 0 ? nLogHeight : 0,
               TRUE);
}

void IvlSyncWindow::OnCommand(int nCommand)
{
    switch (nCommand) {
    case ID_FILE_VERIFY:
    case IDC_VERIFY: VerifyInstalledFiles(); break;
    case ID_FILE_EDIT_LOCALSETTINGS: {
        ZStringBuffer<256> sPath(File::GetAppDataFolder());
        sPath.Append("\\localsettings.py");
        if (!File::Exists(sPath.GetData())) {
            ZWideText message = GetLocalizedTextCopy("no_localsettings_long");
            ZWideText caption = GetLocalizedTextCopy("no_localsettings");
            MessageBoxW(m_hWnd, message.c_str(), caption.c_str(), MB_OK);
        } else {
            ZStringBuffer<256> sParameter;
            sParameter.Format("\"%s\"", sPath.GetData());
            ZWideText parameter(sParameter.GetData());
            ShellExecuteW(m_hWnd, L"open", L"wordpad.exe", parameter.c_str(), nullptr, SW_SHOW);
        }
        break;
    }
    case ID_FILE_FIND_INSTALL_DIR: {
        ZStringBuffer<256> sFolder;
        GetInstallDir(sFolder, "", "live");
        ZWideText folder(sFolder.GetData());
        ShellExecuteW(m_hWnd, L"open", folder.c_str(), nullptr, nullptr, SW_SHOW);
        break;
    }
    case ID_FILE_EXIT:
    case IDC_EXIT:
        Log("Received CLOSE message");
        Close(false);
        break;
    }
}
