// Stands in for the DirectX setup program "dxsetup.exe" that the sync program runs from the
// install folder's "DirectX" folder: it installs nothing. It appends its command line and its
// current folder to "dxsetup.log" beside itself and exits with the code that the control file
// "dxsetup.control" beside it holds (0 when there is none). A control text "CODE wait" keeps it
// running until a file "dxsetup.end" appears beside it.
#include "standins/standinlog.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    StandinRecordStart("dxsetup.log");

    int nExitCode = 0;
    bool bWait = false;
    FILE* pControl = fopen(StandinPath("dxsetup.control").c_str(), "rb");
    if (pControl) {
        char szWord[32] = "";
        if (fscanf(pControl, "%d %31s", &nExitCode, szWord) == 2)
            bWait = strcmp(szWord, "wait") == 0;
        fclose(pControl);
    }
    if (bWait)
        StandinWaitForFile("dxsetup.end");
    return nExitCode;
}
