// Test tool: finds a message box by its caption, prints its text and presses its OK button.
//   boxcloser.exe caption    exit code 1 when no such box exists
#include "common/system/zwin.h"
#include <cstdio>

namespace
{
BOOL CALLBACK PrintStatic(HWND hChild, LPARAM)
{
    char szClass[32] = "";
    GetClassNameA(hChild, szClass, sizeof(szClass));
    if (lstrcmpiA(szClass, "Static") == 0) {
        char szText[1024] = "";
        if (SendMessageA(hChild, WM_GETTEXT, sizeof(szText), reinterpret_cast<LPARAM>(szText)) > 0)
            printf("%s\n", szText);
    }
    return TRUE;
}
}

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    HWND hBox = FindWindowA("#32770", argv[1]);
    if (!hBox)
        return 1;
    EnumChildWindows(hBox, PrintStatic, 0);
    fflush(stdout);
    PostMessageA(hBox, WM_COMMAND, IDOK, 0);
    return 0;
}
