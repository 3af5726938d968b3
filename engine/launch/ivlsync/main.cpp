// Entry of the sync program.
#include "common/system/zwin.h"
#include "launch/ivlsync/syncmain.h"

namespace
{
// The crash reporter is not wired in yet: let the system's default handling end the process.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pException)
{
    return EXCEPTION_CONTINUE_SEARCH;
}
}  // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR szCommandLine, int nShowCommand)
{
    SetUnhandledExceptionFilter(CrashFilter);
    // The switches come from the process command line.
    return SyncMain();
}
