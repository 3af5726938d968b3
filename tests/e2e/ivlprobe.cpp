// Test tool for the launcher's end-to-end tests: finds windows through the Win32 API.
//   ivlprobe box CAPTION BUTTON     prints the text of the message box with that caption and
//                                   presses its button (ok, yes, no); exit 1 when there is none
//   ivlprobe window TITLE           prints "class=... title=... style=0x..." of the top-level
//                                   window with that title; exit 1 when there is none
//   ivlprobe post TITLE MSG WPARAM LPARAM   posts a message (numbers in decimal or 0x hex)
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
    fprintf(stderr, "usage: ivlprobe box CAPTION ok|yes|no | window TITLE | post TITLE MSG WPARAM LPARAM\n");
    return 2;
}
