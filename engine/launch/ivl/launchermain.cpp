#include "launch/ivl/launchermain.h"
#include "launch/ivl/globvals.h"
#include "launch/ivl/ipython.h"
#include "launch/ivl/ivllog.h"
#include "launch/ivl/selfdebugmodes.h"
#include "launch/ivl/textinputstream.h"
#include "launch/ivl/zivl.h"
#include "common/stream/streams.h"
#include "common/system/file.h"
#include "common/system/socket.h"
#include "common/system/zlog.h"
#include <mmsystem.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace
{
HINSTANCE s_hInstance;
char s_szStartupLog[MAX_PATH + 16];

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

const char* SkipBlanks(const char* p)
{
    while (IsBlank(*p))
        ++p;
    return p;
}

// A switch value or a plain token: quoted with " or ' up to the same quote (or the end), else
// up to a blank, a tab or the end. Returns where the scan goes on.
const char* ReadValue(const char* p, ZStringBase& value)
{
    p = SkipBlanks(p);
    if (*p == '"' || *p == '\'') {
        char cQuote = *p++;
        const char* pEnd = strchr(p, cQuote);
        if (!pEnd)
            pEnd = p + strlen(p);
        value.Assign(p, static_cast<int>(pEnd - p));
        return *pEnd ? pEnd + 1 : pEnd;
    }
    const char* pEnd = p;
    while (*pEnd && !IsBlank(*pEnd))
        ++pEnd;
    value.Assign(p, static_cast<int>(pEnd - p));
    return pEnd;
}

void __cdecl CopyStartupLogPath(char* szBuffer, int nSize)
{
    if (szBuffer && nSize > 0) {
        strncpy(szBuffer, s_szStartupLog, nSize - 1);
        szBuffer[nSize - 1] = 0;
    }
}

// Every log line, as its bare text, appended to "startup.log".
void StartupLogHook(int32_t nLevel, const char* szCategory, const char* szSource, const char* szText)
{
    FILE* pFile = fopen(s_szStartupLog, "a");
    if (!pFile)
        return;
    fputs(szText, pFile);
    fclose(pFile);
}

bool TryFolder(ZStringBase& result, const char* szFolder, const char* szName)
{
    ZStringBuffer<512> candidate(szFolder);
    candidate.AppendChar('\\');
    candidate.Append(szName);
    if (!File::Exists(candidate.c_str()))
        return false;
    result.Assign(candidate.c_str());
    return true;
}

// The folder and each of its parents; the walk ends when no '\' is left after the first character.
bool WalkUp(ZStringBase& result, const char* szFolder, const char* szName)
{
    ZStringBuffer<512> folder(szFolder);
    while (folder.GetLength() > 1 && folder.c_str()[folder.GetLength() - 1] == '\\')
        folder.Truncate(folder.GetLength() - 1);
    for (;;) {
        if (TryFolder(result, folder.c_str(), szName))
            return true;
        int nSlash = folder.ReverseFind('\\');
        if (nSlash <= 0)
            return false;
        folder.Truncate(nSlash);
    }
}

bool PackList(ZIvL* pApp, const char* szPackList, bool bRepack, const char* szProgramPath)
{
    ZStringBuffer<512> path;
    if (!LocateFile(path, szProgramPath, szPackList)) {
        LogPrint(ZStringBuffer<256>("Packlist '%s' not found", szPackList));
        exit(1);
    }
    ZFileInputStream file(path.c_str());
    TextInputStream text(&file);
    ZStringBuffer<256> line;
    while (file.IsOpen() && file.GetRemaining() > 0) {
        line.Clear();
        text.ReadTextLine(line);
        if (line.IsEmpty())
            continue;
        LogPrint(ZStringBuffer<256>("Packing:%s", line.c_str()));
        if (!pApp->PackScene(line.c_str(), bRepack))
            return false;
    }
    return true;
}

// The switches that take a value: the option it goes to.
struct ValueSwitch
{
    char m_cSwitch;
    const char* m_szOption;
    bool m_bFromServer;  // the scene comes from the server ("boot.loadfromserver")
};

const ValueSwitch kValueSwitches[] = {
    {'L', "boot.logfile", false}, {'M', "scenefile", true},       {'P', "boot.playersessionid", false},
    {'R', "scenefile", false},    {'S', "boot.sessionid", false}, {'W', "boot.webentrance", false},
};

const ValueSwitch* FindValueSwitch(char cSwitch)
{
    for (const ValueSwitch& entry : kValueSwitches)
        if (entry.m_cSwitch == cSwitch)
            return &entry;
    return nullptr;
}

// Copies the option's text, which the next change of the store may move.
ZStringBuffer<256> OptionText(const char* szName, const char* szDefault)
{
    return ZStringBuffer<256>(ZOptions::GetString(szName, szDefault));
}
}  // namespace

HINSTANCE GetLauncherInstance()
{
    return s_hInstance;
}

int ProbeFreePort(int nFirst, int nLast)
{
    for (int nPort = nFirst; nPort <= nLast; ++nPort) {
        Socket socket = Socket::Create(Socket::FAMILY_IPV4, Socket::TYPE_DATAGRAM, Socket::PROTOCOL_UDP);
        SocketAddress address;
        address.SetAny();
        address.SetPort(static_cast<uint16_t>(nPort));
        if (socket.Bind(address))
            return nPort;
    }
    return -1;
}

void ParseCommandLine(const char* szCmdLine)
{
    if (!szCmdLine)
        return;
    const char* p = szCmdLine;
    ZStringBuffer<256> value;
    for (;;) {
        p = SkipBlanks(p);
        if (!*p)
            return;
        if (*p != '/') {
            p = ReadValue(p, value);  // a plain token: dropped
            continue;
        }
        char cSwitch = p[1];
        if (!cSwitch)
            return;
        p += 2;
        switch (cSwitch) {
        case 'D': {
            ZOptions::SetBool("boot.dedicated", true);
            p = SkipBlanks(p);
            int nPort = 0;
            if (sscanf(p, "%d", &nPort) == 1) {
                ZOptions::SetInt("boot.port", nPort);
                while (*p && !IsBlank(*p))
                    ++p;
            }
            break;
        }
        case 'N':
            if (strncmp(p - 1, "NOSERVER", 8) == 0) {
                ZOptions::SetBool("boot.allowlocalserver", false);
                p += 7;
            }
            p = SkipBlanks(p);
            break;
        default:
            if (const ValueSwitch* pSwitch = FindValueSwitch(cSwitch)) {
                p = ReadValue(p, value);
                ZOptions::SetString(pSwitch->m_szOption, value.c_str());
                if (pSwitch->m_bFromServer)
                    ZOptions::SetBool("boot.loadfromserver", true);
            }
            // Any other: the rest of the token and a value after it go as plain tokens.
            break;
        }
    }
}

bool LocateFile(ZStringBase& result, const char* szStartPath, const char* szName)
{
    if (!szName || !*szName)
        return false;
    bool bAbsolute = (szName[0] == '\\' && szName[1] == '\\') || szName[1] == ':';
    if (bAbsolute && File::Exists(szName)) {
        result.Assign(szName);
        return true;
    }
    char szCurrent[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(MAX_PATH, szCurrent);
    if (n > 0 && n < MAX_PATH && WalkUp(result, szCurrent, szName))
        return true;
    if (!szStartPath)
        return false;
    ZStringBuffer<512> start(szStartPath);
    int nSlash = start.ReverseFind('\\');
    if (nSlash < 0)
        return false;
    start.Truncate(nSlash);
    return WalkUp(result, start.c_str(), szName);
}

ZStringBuffer<256> ScriptNameFromCommandLine(const char* szCmdLine)
{
    ZStringBuffer<256> name("client.py");
    if (!szCmdLine || !*szCmdLine || *szCmdLine == '/')
        return name;
    const char* pEnd;
    if (*szCmdLine == '"') {
        const char* pBegin = szCmdLine + 1;
        pEnd = strchr(pBegin, '"');
        name.Assign(pBegin, pEnd ? static_cast<int>(pEnd - pBegin) : -1);
    } else {
        pEnd = strchr(szCmdLine, ' ');
        name.Assign(szCmdLine, pEnd ? static_cast<int>(pEnd - szCmdLine) : -1);
    }
    return name;
}

int LauncherMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, const char* szCmdLine, int nShowCmd)
{
    timeBeginPeriod(1);
    s_hInstance = hInstance;

    // The probe stops at the last port instead of looping for ever when every port is taken.
    if (ProbeFreePort(7777, 65535) < 0)
        ZLog::Output(ZLOG_ERROR, "launch.ivl", __FILE__, "No free datagram port from 7777 to 65535");

    char szProgramPath[MAX_PATH + 1];
    DWORD nProgram = GetModuleFileNameA(NULL, szProgramPath, MAX_PATH);
    if (nProgram == 0 || nProgram >= MAX_PATH)
        szProgramPath[0] = 0;
    ZIvL* pApp = ZIvL::Get();

    ParseCommandLine(szCmdLine);

    ZStringBuffer<512> iniPath;
    if (LocateFile(iniPath, szProgramPath, "client.ini")) {
        IniFile::Read(iniPath.c_str());
        ZStringBuffer<512> localSettings(File::GetAppDataFolder());
        localSettings.Append("\\localsettings.ini");
        IniFile::Read(localSettings.c_str());
    } else {
        ZLog::Output(ZLOG_PRINT, "launch.ivl", __FILE__,
                     "** Using deprecated client.py, when client.ini is used Python and Q drive is not needed.");
        ZStringBuffer<256> scriptName = ScriptNameFromCommandLine(szCmdLine);
        ZStringBuffer<512> scriptPath;
        if (!LocateFile(scriptPath, szProgramPath, scriptName.c_str())) {
            ZStringBuffer<512> text("%s not found", scriptName.c_str());
            MessageBoxA(NULL, text.c_str(), "I&V Error", MB_OK | MB_ICONEXCLAMATION);
            return 1;
        }
        pApp->SetCmdLine(szCmdLine);
        int nSlash = scriptPath.ReverseFind('\\');
        ZStringBuffer<512> logPath(scriptPath);
        logPath.Truncate(nSlash < 0 ? 0 : nSlash + 1);
        logPath.Append("startup.log");
        if (logPath.GetLength() < static_cast<int>(sizeof(s_szStartupLog)))
            strcpy(s_szStartupLog, logPath.c_str());
        globvals::SetLogFileFunc(&CopyStartupLogPath);
        ZLog::SetDisplayHook(&StartupLogHook);
        IPython* pPython = CreatePython(pApp);
        if (pPython)
            pPython->RunFile(scriptPath.c_str());
        DestroyPython();
    }

    pApp->OpenSmallFilesCatalog();
    ZStringBuffer<256> scene = OptionText("scenefile", "");

    if (ZOptions::GetBool("boot.pack", false)) {
        bool bRepack = ZOptions::GetBool("boot.repack", true);
        ZStringBuffer<256> packList = OptionText("packlist", "");
        if (packList.IsEmpty()) {
            LogPrint(ZStringBuffer<256>("Packing:%s", scene.c_str()));
            pApp->PackScene(scene.c_str(), bRepack);
        } else {
            PackList(pApp, packList.c_str(), bRepack, szProgramPath);
        }
    }

    int nCrashMode = ZOptions::GetInt("boot.crash_report_mode", -1);
    if (nCrashMode >= 0 && nCrashMode <= 4)
        SetCrashReportMode(nCrashMode);

    if (ZOptions::GetBool("boot.run", false)) {
        ZStringBuffer<256> sessionId = OptionText("boot.sessionid", "1");
        ZStringBuffer<256> webEntrance = OptionText("boot.webentrance", "");
        ZStringBuffer<256> playerSessionId = OptionText("boot.playersessionid", "");
        bool bLoadFromServer = ZOptions::GetBool("boot.loadfromserver", false);
        int nPort = ZOptions::GetInt("boot.port", 0);
        bool bAllowLocalServer = ZOptions::GetBool("boot.allowlocalserver", true);
        bool bDedicated = ZOptions::GetBool("boot.dedicated", false);
        const char* szWeb = webEntrance.IsEmpty() ? nullptr : webEntrance.c_str();
        const char* szPlayerSession = playerSessionId.IsEmpty() ? nullptr : playerSessionId.c_str();
        if (bDedicated)
            pApp->RunServer(sessionId.c_str(), scene.c_str(), bLoadFromServer, nPort, szWeb);
        else
            pApp->RunClient(sessionId.c_str(), scene.c_str(), bLoadFromServer, szPlayerSession, bAllowLocalServer,
                            nPort, szWeb, nullptr);
    }

    timeEndPeriod(1);
    return 0;
}
