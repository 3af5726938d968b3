// Stands in for the game launcher "ivl.exe" where tests copy it into an install folder under
// that name: it runs no game. It writes "ivlrecorder.log" beside itself: its whole command line,
// then its current folder, one a line. It then stays alive
// until a file "ivlrecorder.end" appears beside it, and exits with code 0.
#include "standins/standinlog.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // One run's record: the log starts empty.
    DeleteFileA(StandinPath("ivlrecorder.log").c_str());
    StandinRecordStart("ivlrecorder.log");
    StandinWaitForFile("ivlrecorder.end");
    return 0;
}
