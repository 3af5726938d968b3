#include "fake_application.h"
#include "launch/ivl/globvals.h"
#include "launch/ivl/ipython.h"
#include "launch/ivl/selfdebugmodes.h"
#include "launch/ivl/zivl.h"
#include <stdarg.h>
#include <stdio.h>

FakeApplication& Fake()
{
    static FakeApplication s_Fake;
    return s_Fake;
}

namespace
{
const char* Text(const char* sz)
{
    return sz ? sz : "-";
}

void Record(const char* szFormat, ...)
{
    char szLine[512];
    va_list args;
    va_start(args, szFormat);
    vsnprintf(szLine, sizeof(szLine), szFormat, args);
    va_end(args);
    Fake().calls.push_back(szLine);
}
}  // namespace

ZIvL::ZIvL() : m_hPlayer(nullptr), m_bDedicated(false), m_pPlayer(nullptr), m_szCmdLine(nullptr), m_szSessionId{}
{
}

ZIvL* ZIvL::Get()
{
    static ZIvL* s_pApplication = new ZIvL();
    return s_pApplication;
}

bool ZIvL::Pack(const char* szScene)
{
    Record("Pack(%s)", Text(szScene));
    return true;
}

bool ZIvL::PackAndRepack(const char* szScene)
{
    Record("PackAndRepack(%s)", Text(szScene));
    return true;
}

bool ZIvL::RunClient(const char* szSessionId, const char* szScene, bool bLoadFromServer, const char* szPlayerSessionId,
                     bool bAllowLocalServer, int nPort, const char* szWebEntrance, const char* szParentWindow)
{
    Record("RunClient(%s|%s|%d|%s|%d|%d|%s|%s)", Text(szSessionId), Text(szScene), bLoadFromServer,
           Text(szPlayerSessionId), bAllowLocalServer, nPort, Text(szWebEntrance), Text(szParentWindow));
    if (Fake().bCallSceneBegin && globvals::GetPython())
        globvals::GetPython()->CallFunction("OnSceneBegin");
    return true;
}

bool ZIvL::RunServer(const char* szSessionId, const char* szScene, bool bLoadFromServer, int nPort,
                     const char* szWebEntrance)
{
    Record("RunServer(%s|%s|%d|%d|%s)", Text(szSessionId), Text(szScene), bLoadFromServer, nPort, Text(szWebEntrance));
    return true;
}

const char* ZIvL::GetCmdLine()
{
    return Fake().szCmdLine;
}

void ZIvL::OpenSmallFilesCatalog()
{
    Record("OpenSmallFilesCatalog()");
}

void SetCrashReportMode(int nMode)
{
    Record("SetCrashReportMode(%d)", nMode);
}
