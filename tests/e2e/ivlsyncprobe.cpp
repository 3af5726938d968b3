// Test tool: finds the sync program's window by its caption and prints, one item a line,
// what the end-to-end tests check through the Win32 API: caption, state, child controls and
// the text of the log control (UTF-8), the position of a progress bar, and the menu where the
// system lets another process read it.
//   ivlsyncprobe.exe [--restore] [--click ID | --menu ID] [caption]   exit code 1 when no such window exists
// --restore first restores a minimised window; --click presses the button with that id (as a
// click would: the command is posted to the dialog); --menu posts the command of the menu item
// with that id, as choosing it would (Wine cannot open another process's menu).
#include "common/system/zwin.h"
#include <commctrl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
std::string Utf8(const wchar_t* szText)
{
    int nBytes = WideCharToMultiByte(CP_UTF8, 0, szText, -1, nullptr, 0, nullptr, nullptr);
    std::string sText(nBytes > 0 ? nBytes - 1 : 0, '\0');
    if (nBytes > 1)
        WideCharToMultiByte(CP_UTF8, 0, szText, -1, &sText[0], nBytes, nullptr, nullptr);
    return sText;
}

// Line breaks become "\n" so that every item stays on one line.
std::string OneLine(const std::string& sText)
{
    std::string sOut;
    for (char c : sText) {
        if (c == '\r')
            continue;
        if (c == '\n')
            sOut += "\\n";
        else
            sOut += c;
    }
    return sOut;
}

// WM_GETTEXT itself: GetWindowText gives only the stored caption of another process's window.
std::string Text(HWND hWnd)
{
    LRESULT nLength = SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0);
    std::wstring sText(nLength + 1, L'\0');
    SendMessageW(hWnd, WM_GETTEXT, nLength + 1, reinterpret_cast<LPARAM>(&sText[0]));
    return Utf8(sText.c_str());
}

BOOL CALLBACK PrintChild(HWND hChild, LPARAM lParam)
{
    HWND hParent = reinterpret_cast<HWND>(lParam);
    if (GetParent(hChild) != hParent)
        return TRUE;
    wchar_t szClass[128] = {};
    GetClassNameW(hChild, szClass, 128);
    RECT rect;
    GetWindowRect(hChild, &rect);
    MapWindowPoints(nullptr, hParent, reinterpret_cast<POINT*>(&rect), 2);
    std::string sClass = Utf8(szClass);
    std::string sText = sClass == "RichEdit20W" ? std::string() : OneLine(Text(hChild));
    printf("control %d %s %ld %ld %ld %ld %s\n", GetDlgCtrlID(hChild), sClass.c_str(), rect.left, rect.top,
           rect.right - rect.left, rect.bottom - rect.top, sText.c_str());
    printf("state %d %d %d\n", GetDlgCtrlID(hChild), IsWindowVisible(hChild) ? 1 : 0, IsWindowEnabled(hChild) ? 1 : 0);
    if (sClass == "RichEdit20W")
        printf("log %s\n", OneLine(Text(hChild)).c_str());
    // PBM_GETPOS carries no pointer, so it answers across processes.
    if (sClass == "msctls_progress32")
        printf("bar %d %ld\n", GetDlgCtrlID(hChild), static_cast<long>(SendMessageW(hChild, PBM_GETPOS, 0, 0)));
    return TRUE;
}

void PrintMenu(HMENU hMenu, int nDepth)
{
    int nCount = GetMenuItemCount(hMenu);
    for (int i = 0; i < nCount; ++i) {
        wchar_t szText[256] = {};
        GetMenuStringW(hMenu, i, szText, 256, MF_BYPOSITION);
        UINT nState = GetMenuState(hMenu, i, MF_BYPOSITION);
        HMENU hSub = GetSubMenu(hMenu, i);
        if (nState & MF_SEPARATOR)
            printf("menu %d separator\n", nDepth);
        else
            printf("menu %d %d %s\n", nDepth, hSub ? -1 : static_cast<int>(GetMenuItemID(hMenu, i)),
                   Utf8(szText).c_str());
        if (hSub)
            PrintMenu(hSub, nDepth + 1);
    }
}
}  // namespace

int main(int argc, char** argv)
{
    wchar_t szCaption[256] = L"I&V sync";
    bool bRestore = false;
    int nClick = 0;
    int nMenu = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--restore") == 0)
            bRestore = true;
        else if (strcmp(argv[i], "--click") == 0 && i + 1 < argc)
            nClick = atoi(argv[++i]);
        else if (strcmp(argv[i], "--menu") == 0 && i + 1 < argc)
            nMenu = atoi(argv[++i]);
        else
            MultiByteToWideChar(CP_UTF8, 0, argv[i], -1, szCaption, 256);
    }
    HWND hWnd = FindWindowW(L"#32770", szCaption);
    if (!hWnd)
        return 1;
    if (bRestore) {
        ShowWindow(hWnd, SW_RESTORE);
        Sleep(500);
    }
    if (nClick) {
        HWND hButton = GetDlgItem(hWnd, nClick);
        if (!hButton)
            return 1;
        PostMessageW(hWnd, WM_COMMAND, MAKEWPARAM(nClick, BN_CLICKED), reinterpret_cast<LPARAM>(hButton));
        return 0;
    }
    if (nMenu) {
        PostMessageW(hWnd, WM_COMMAND, MAKEWPARAM(nMenu, 0), 0);
        return 0;
    }
    printf("caption %s\n", Text(hWnd).c_str());
    printf("iconic %d\n", IsIconic(hWnd) ? 1 : 0);
    printf("visible %d\n", IsWindowVisible(hWnd) ? 1 : 0);
    RECT client;
    GetClientRect(hWnd, &client);
    printf("client %ld %ld\n", client.right, client.bottom);
    EnumChildWindows(hWnd, PrintChild, reinterpret_cast<LPARAM>(hWnd));
    HMENU hMenu = GetMenu(hWnd);
    if (hMenu)
        PrintMenu(hMenu, 0);
    fflush(stdout);
    return 0;
}
