// The game launcher ivl.exe.
#include "launch/ivl/launchermain.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR szCmdLine, int nShowCmd)
{
    return LauncherMain(hInstance, hPrevInstance, szCmdLine, nShowCmd);
}
