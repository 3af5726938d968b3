// Entry of the sync program.
#include "common/system/zwin.h"
#include "launch/ivlsync/syncmain.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR szCommandLine, int nShowCommand)
{
    SetUnhandledExceptionFilter(SyncUnhandledExceptionFilter);
    // The switches come from the process command line.
    return SyncMain();
}
