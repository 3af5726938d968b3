// What the two browser stand-ins share: the ActiveX container (axhost) and the NPAPI browser
// (npapihost) each host the plug-in on one page thread, write every result as a line of one
// result file, offer a page whose one Flash element records the calls made on it, and run a
// message loop on the page's thread for the calls queued there.
#pragma once
#include <windows.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

// Reads the leading "--NAME VALUE" pairs of the command line into *pOptions (*pnNext becomes
// the first command's index), opens "--out" as the result file (stdout without one), takes
// "--flash-id" and the calling thread as the page's thread. False: no result file.
bool HostStart(int argc, char** argv, std::map<std::string, std::string>* pOptions, int* pnNext);

// One line of the result file, written through at once.
void HostOut(const char* szFormat, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));

DWORD HostPageThread();
bool HostOnPageThread();
// "thread:main" on the page's thread, "thread:other" elsewhere.
const char* HostThreadName();

// The page's getElementById, recorded; whether the id is the Flash element's (a browser
// answers any other with null).
bool HostFindElement(const std::string& id);
// A call on the Flash element, recorded with its arguments (as texts) and its thread.
void HostFlashCall(const std::string& name, const std::vector<std::string>& args);
int HostFlashCalls();

// Takes the messages the host handles itself (true: handled) before they are dispatched.
void HostSetMessageHook(bool (*pfnHook)(const MSG& msg));
// Runs the page thread's message loop for nMs, or until nUntilCalls Flash calls arrived
// (negative: the whole time).
void HostPump(DWORD nMs, int nUntilCalls = -1);
// Pumps until fnCount answers 0 or nSeconds are up; returns the last count.
int HostPumpWhile(DWORD nSeconds, const std::function<int()>& fnCount);
// The commands both hosts run alike: "wait-flash N SECS" and "pump MS" (true: it was one of
// them and its arguments were there; *pi moves past them).
bool HostLoopCommand(const std::string& command, int argc, char** argv, int* pi);

// The ids of this process's threads as they are now.
std::set<DWORD> HostThreadIds();
