// Test tool for the launcher's end-to-end tests: finds windows through the Win32 API.
//   ivlprobe box CAPTION BUTTON     prints the text of the message box with that caption and
//                                   presses its button (ok, yes, no); exit 1 when there is none
//   ivlprobe window TITLE           prints "class=... title=... style=0x..." of the top-level
//                                   window with that title; exit 1 when there is none
//   ivlprobe post TITLE MSG WPARAM LPARAM   posts a message (numbers in decimal or 0x hex)
//   ivlprobe parent TITLE           opens a window with that title (client area 640 x 480) to hold
//                                   the launcher's window: prints "hwnd N"; once a child is shown in it,
//                                   "child class=... title=... at=X,Y size=WxH" (its window in the
//                                   client area), then deactivates it and posts it a mouse move
//                                   (7, 5), prints the message the child passes back ("got MSG
//                                   WPARAM LPARAM"), closes the child and ends when it is gone;
//                                   exit 1 when that takes over 60 s
#include "common/system/zwin.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace
{
struct BoxSearch
{
    const char* m_szCaption;
    HWND m_hBox;
};

BOOL CALLBACK FindBox(HWND hWnd, LPARAM lParam)
{
    BoxSearch* pSearch = reinterpret_cast<BoxSearch*>(lParam);
    char szClass[64] = "", szCaption[256] = "";
    GetClassNameA(hWnd, szClass, sizeof(szClass));
    GetWindowTextA(hWnd, szCaption, sizeof(szCaption));
    if (strcmp(szClass, "#32770") == 0 && strcmp(szCaption, pSearch->m_szCaption) == 0 && IsWindowVisible(hWnd)) {
        pSearch->m_hBox = hWnd;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK PrintStatic(HWND hChild, LPARAM)
{
    char szClass[64] = "";
    GetClassNameA(hChild, szClass, sizeof(szClass));
    if (_stricmp(szClass, "Static") == 0) {
        char szText[4096] = "";
        GetWindowTextA(hChild, szText, sizeof(szText));
        if (szText[0])
            printf("text %s\n", szText);
    }
    return TRUE;
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

int RunParent(const char* szTitle)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = ParentProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "IvlProbeParent";
    RegisterClassA(&wc);
    RECT frame = {0, 0, 640, 480};
    AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
    HWND hParent = CreateWindowA("IvlProbeParent", szTitle, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 20, 20,
                                 frame.right - frame.left, frame.bottom - frame.top, NULL, NULL, wc.hInstance, NULL);
    if (!hParent)
        return 1;
    printf("hwnd %lld\n", static_cast<long long>(reinterpret_cast<intptr_t>(hParent)));
    fflush(stdout);
    for (DWORD nStart = GetTickCount(); GetTickCount() - nStart < 60000;) {
        MsgWaitForMultipleObjects(0, NULL, FALSE, 100, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        HWND hChild = GetWindow(hParent, GW_CHILD);
        if (!s_hChild && hChild && IsWindowVisible(hChild)) {  // placed and shown
            s_hChild = hChild;
            char szClass[64] = "", szText[128] = "";
            GetClassNameA(hChild, szClass, sizeof(szClass));
            GetWindowTextA(hChild, szText, sizeof(szText));
            RECT rect = {};
            GetWindowRect(hChild, &rect);
            MapWindowPoints(NULL, hParent, reinterpret_cast<POINT*>(&rect), 2);
            printf("child class=%s title=%s at=%ld,%ld size=%ldx%ld\n", szClass, szText, rect.left, rect.top,
                   rect.right - rect.left, rect.bottom - rect.top);
            fflush(stdout);
            PostMessageA(hChild, WM_ACTIVATE, WA_INACTIVE, 0);
            PostMessageA(hChild, WM_MOUSEMOVE, 0, MAKELPARAM(7, 5));
        }
        if (s_bForwarded && !IsWindow(s_hChild))
            return 0;
    }
    return 1;
}

unsigned long Number(const char* sz)
{
    return strtoul(sz, nullptr, 0);
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && strcmp(argv[1], "box") == 0) {
        BoxSearch search = {argv[2], NULL};
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
        if (!search.m_hBox)
            return 1;
        EnumChildWindows(search.m_hBox, PrintStatic, 0);
        int nId = strcmp(argv[3], "yes") == 0 ? IDYES : strcmp(argv[3], "no") == 0 ? IDNO : IDOK;
        PostMessageA(search.m_hBox, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(search.m_hBox, nId)));
        fflush(stdout);
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "window") == 0) {
        HWND hWnd = FindWindowA(NULL, argv[2]);
        if (!hWnd)
            return 1;
        char szClass[64] = "";
        GetClassNameA(hWnd, szClass, sizeof(szClass));
        printf("class=%s title=%s style=0x%lx\n", szClass, argv[2],
               static_cast<unsigned long>(GetWindowLongA(hWnd, GWL_STYLE)));
        return 0;
    }
    if (argc >= 6 && strcmp(argv[1], "post") == 0) {
        HWND hWnd = FindWindowA(NULL, argv[2]);
        if (!hWnd)
            return 1;
        return PostMessageA(hWnd, Number(argv[3]), Number(argv[4]), static_cast<LPARAM>(Number(argv[5]))) ? 0 : 2;
    }
    if (argc >= 3 && strcmp(argv[1], "parent") == 0)
        return RunParent(argv[2]);
    fprintf(stderr, "usage: ivlprobe box CAPTION ok|yes|no | window TITLE | post TITLE MSG WPARAM LPARAM | parent TITLE\n");
    return 2;
}
