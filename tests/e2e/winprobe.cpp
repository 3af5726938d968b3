// Test tool of the end-to-end tests: reads and presses windows of the programs under test through
// the Win32 API, as a user or another process would. Text is printed in UTF-8, one item a line.
//   winprobe [dialog] [--restore] [--click ID | --menu ID] [CAPTION]
//       (the command when none is named) the dialog window with that caption (the sync program's
//       by default): caption, state, child controls, the text of the log control, the position of
//       a progress bar and the menu where the system lets another process read it. --restore first
//       restores a minimised window; --click presses the button with that id (the command is posted
//       to the dialog, as a click does); --menu posts the command of the menu item with that id, as
//       choosing it would (Wine cannot open another process's menu).
//   winprobe box CAPTION [ok|yes|no]
//       prints "text ..." for each text of the visible message box with that caption and presses
//       its button (ok unless given)
//   winprobe window TITLE
//       prints "class=... title=... style=0x..." of the top-level window with that title
//   winprobe post TITLE MSG WPARAM LPARAM
//       posts a message to the top-level window with that title (numbers in decimal or 0x hex)
//   winprobe parent TITLE
//       opens a window with that title (client area 640 x 480) to hold the launcher's window: prints
//       "hwnd N"; once a child is shown in it, "child class=... title=... at=X,Y size=WxH" (its window
//       in the client area), then deactivates it and posts it a mouse move (7, 5), prints the message
//       the child passes back ("got MSG WPARAM LPARAM"), closes the child and ends when it is gone;
//       exit 1 when that takes over 60 s
// Exit code 1 when there is no such window, 2 for a wrong command line or a failed post.
#include "common/containers/zstringbuffer.h"
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

std::wstring Wide(const char* szText)
{
    return ZWideText(szText).c_str();
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

std::string ClassName(HWND hWnd)
{
    wchar_t szClass[128] = {};
    GetClassNameW(hWnd, szClass, 128);
    return Utf8(szClass);
}

BOOL CALLBACK PrintChild(HWND hChild, LPARAM lParam)
{
    HWND hParent = reinterpret_cast<HWND>(lParam);
    if (GetParent(hChild) != hParent)
        return TRUE;
    RECT rect;
    GetWindowRect(hChild, &rect);
    MapWindowPoints(nullptr, hParent, reinterpret_cast<POINT*>(&rect), 2);
    std::string sClass = ClassName(hChild);
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

int Dialog(int argc, char** argv)
{
    std::wstring sCaption = L"I&V sync";
    bool bRestore = false;
    int nClick = 0;
    int nMenu = 0;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--restore") == 0)
            bRestore = true;
        else if (strcmp(argv[i], "--click") == 0 && i + 1 < argc)
            nClick = atoi(argv[++i]);
        else if (strcmp(argv[i], "--menu") == 0 && i + 1 < argc)
            nMenu = atoi(argv[++i]);
        else
            sCaption = Wide(argv[i]);
    }
    HWND hWnd = FindWindowW(L"#32770", sCaption.c_str());
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
    return 0;
}

struct BoxSearch
{
    std::wstring m_sCaption;
    HWND m_hBox;
};

BOOL CALLBACK FindBox(HWND hWnd, LPARAM lParam)
{
    BoxSearch* pSearch = reinterpret_cast<BoxSearch*>(lParam);
    wchar_t szCaption[256] = {};
    GetWindowTextW(hWnd, szCaption, 256);
    if (ClassName(hWnd) == "#32770" && pSearch->m_sCaption == szCaption && IsWindowVisible(hWnd)) {
        pSearch->m_hBox = hWnd;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK PrintStatic(HWND hChild, LPARAM)
{
    if (_stricmp(ClassName(hChild).c_str(), "Static") == 0) {
        std::string sText = Text(hChild);
        if (!sText.empty())
            printf("text %s\n", sText.c_str());
    }
    return TRUE;
}

int Box(const char* szCaption, const char* szButton)
{
    BoxSearch search = {Wide(szCaption), nullptr};
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    if (!search.m_hBox)
        return 1;
    EnumChildWindows(search.m_hBox, PrintStatic, 0);
    int nId = strcmp(szButton, "yes") == 0 ? IDYES : strcmp(szButton, "no") == 0 ? IDNO : IDOK;
    PostMessageW(search.m_hBox, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(search.m_hBox, nId)));
    return 0;
}

int Window(const char* szTitle)
{
    HWND hWnd = FindWindowW(nullptr, Wide(szTitle).c_str());
    if (!hWnd)
        return 1;
    printf("class=%s title=%s style=0x%lx\n", ClassName(hWnd).c_str(), szTitle,
           static_cast<unsigned long>(GetWindowLongW(hWnd, GWL_STYLE)));
    return 0;
}

unsigned long Number(const char* sz)
{
    return strtoul(sz, nullptr, 0);
}

int Post(char** argv)
{
    HWND hWnd = FindWindowW(nullptr, Wide(argv[0]).c_str());
    if (!hWnd)
        return 1;
    // the ANSI post: a character message reaches an ANSI window as the byte it was given
    return PostMessageA(hWnd, Number(argv[1]), Number(argv[2]), static_cast<LPARAM>(Number(argv[3]))) ? 0 : 2;
}

HWND s_hChild;
bool s_bForwarded;

LRESULT CALLBACK ParentProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    if (nMessage == WM_MOUSEMOVE && s_hChild) {
        printf("got 0x%x %lu 0x%lx\n", nMessage, static_cast<unsigned long>(wParam), static_cast<unsigned long>(lParam));
        fflush(stdout);
        s_bForwarded = true;
        PostMessageA(s_hChild, WM_CLOSE, 0, 0);
        return 0;
    }
    return DefWindowProcA(hWnd, nMessage, wParam, lParam);
}

int Parent(const char* szTitle)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = ParentProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "WinProbeParent";
    RegisterClassA(&wc);
    RECT frame = {0, 0, 640, 480};
    AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
    HWND hParent = CreateWindowA("WinProbeParent", szTitle, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 20, 20,
                                 frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, wc.hInstance,
                                 nullptr);
    if (!hParent)
        return 1;
    printf("hwnd %lld\n", static_cast<long long>(reinterpret_cast<intptr_t>(hParent)));
    fflush(stdout);
    for (DWORD nStart = GetTickCount(); GetTickCount() - nStart < 60000;) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        HWND hChild = GetWindow(hParent, GW_CHILD);
        if (!s_hChild && hChild && IsWindowVisible(hChild)) {  // placed and shown
            s_hChild = hChild;
            RECT rect = {};
            GetWindowRect(hChild, &rect);
            MapWindowPoints(nullptr, hParent, reinterpret_cast<POINT*>(&rect), 2);
            wchar_t szText[128] = {};
            GetWindowTextW(hChild, szText, 128);
            printf("child class=%s title=%s at=%ld,%ld size=%ldx%ld\n", ClassName(hChild).c_str(), Utf8(szText).c_str(),
                   rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
            fflush(stdout);
            PostMessageA(hChild, WM_ACTIVATE, WA_INACTIVE, 0);
            PostMessageA(hChild, WM_MOUSEMOVE, 0, MAKELPARAM(7, 5));
        }
        if (s_bForwarded && !IsWindow(s_hChild))
            return 0;
    }
    return 1;
}

int Run(int argc, char** argv)
{
    const char* szCommand = argc >= 2 ? argv[1] : "";
    if (strcmp(szCommand, "box") == 0 && argc >= 3)
        return Box(argv[2], argc >= 4 ? argv[3] : "ok");
    if (strcmp(szCommand, "window") == 0 && argc >= 3)
        return Window(argv[2]);
    if (strcmp(szCommand, "post") == 0 && argc >= 6)
        return Post(argv + 2);
    if (strcmp(szCommand, "parent") == 0 && argc >= 3)
        return Parent(argv[2]);
    if (strcmp(szCommand, "box") == 0 || strcmp(szCommand, "window") == 0 || strcmp(szCommand, "post") == 0 ||
        strcmp(szCommand, "parent") == 0) {
        fprintf(stderr, "usage: winprobe [dialog] [--restore] [--click ID | --menu ID] [CAPTION] | box CAPTION [ok|yes|no]"
                        " | window TITLE | post TITLE MSG WPARAM LPARAM | parent TITLE\n");
        return 2;
    }
    if (strcmp(szCommand, "dialog") == 0)
        return Dialog(argc - 2, argv + 2);
    return Dialog(argc - 1, argv + 1);
}
}  // namespace

int main(int argc, char** argv)
{
    int nResult = Run(argc, argv);
    fflush(stdout);
    return nResult;
}
