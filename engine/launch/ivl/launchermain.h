// The launcher's start-up: switches, settings files or the start script, packing, the
// crash-report mode and the run of a game client or a dedicated server.
#pragma once
#include "common/system/zwin.h"
#include "common/containers/zstringbuffer.h"

// Exit codes: 0 after a run or when nothing runs, 1 when the start script is missing (a missing
// pack list ends the process with 1 as well).
int LauncherMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, const char* szCmdLine, int nShowCmd);

// Reads the switches of a command line into options.
void ParseCommandLine(const char* szCmdLine);

// Finds a file by name: an absolute name as it is; else the current folder and its parents,
// then the start path's folder and its parents. The current folder is left as it was.
bool LocateFile(ZStringBase& result, const char* szStartPath, const char* szName);

// The script a command line names: its first token when it does not begin with '/', else
// "client.py".
ZStringBuffer<256> ScriptNameFromCommandLine(const char* szCmdLine);

// The first port from nFirst to nLast that a datagram socket can bind on 0.0.0.0; -1 when none.
int ProbeFreePort(int nFirst, int nLast);

// The instance handle that the main window is created with.
HINSTANCE GetLauncherInstance();
