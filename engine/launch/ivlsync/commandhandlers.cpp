// The handlers of the five commands that start sessions. Each runs one frame under the session
// lock: duplicate id, busy, parameter count, then the start; exactly one reply per command.
#include "launch/ivlsync/flashserver.h"

#include "launch/ivlsync/distribution.h"
#include "launch/ivlsync/downloadsession.h"
#include "launch/ivlsync/folderlock.h"
#include "launch/ivlsync/pingsession.h"
#include "launch/ivlsync/verify.h"
#include "launch/ivlsync/rungamesession.h"

namespace
{
const char kDownloadUsage[] = "CMD_DOWNLOAD expects 5+ parameters (distribution, installed_version, unique filename, "
                              "quick check, unique server1 [unique server2,])";
const char kDownloadNamedUsage[] =
    "CMD_DOWNLOADNAMED expects 7+ parameters (distribution, installed_version, unique filename, "
    "list-of-names, web_entrance, quick check, fileserver1 [fileserver2,])";
const char kPingUsage[] = "CMD_PING expects 1 parameter (hostname)";
const char kVerifyUsage[] = "CMD_VERIFY expects 2 parameter (distribution, installed_version)";
const char kRunIvlUsage[] = "CMD_RUN_IVL expects at least 6 parameters (web_entrance, distribution, installed_version, "
                            "mission id, player session id, language [, name=value]*)";
const char kStartDownloadFailed[] = "Couldn't start download";

// The file servers: every parameter from the first one's index on.
void AddParamsFrom(const FlashMessage& message, int nFirst, ZStringArray& params)
{
    for (int i = nFirst; i < message.GetParamCount(); ++i)
        params.Add(message.GetParam(i));
}

void Reply(Socket& connection, const FlashMessage& message, int nCode, const char* szText = nullptr)
{
    FlashMessage(nCode, message.GetSessionId(), szText).Send(connection);
}
}

bool IsQuickCheck(const char* szParam)
{
    ZStringBuffer<16> sText(szParam ? szParam : "");
    for (char* p = sText.GetData(); *p; ++p)
        if (*p >= 'A' && *p <= 'Z')
            *p = (char)(*p - 'A' + 'a');
    return sText == "true";
}

bool FlashServer::CheckCommand(const FlashMessage& message, Socket& connection, int nKind, const char* szBusyText,
                               int nMinParams, int nMaxParams, const char* szUsage)
{
    if (FindSession(message.GetSessionId())) {
        Reply(connection, message, ERR_SESSIONEXISTS, "Session already exists");
        return false;
    }
    for (SessionTable::Node* pNode = m_Sessions.Begin(); pNode; pNode = SessionTable::Next(pNode)) {
        if (pNode->m_Value->GetKind() == nKind) {
            Reply(connection, message, ERR_BUSY, szBusyText);
            return false;
        }
    }
    int nCount = message.GetParamCount();
    if (nCount < nMinParams || (nMaxParams >= 0 && nCount > nMaxParams)) {
        Reply(connection, message, ERR_PARAMCOUNT, szUsage);
        return false;
    }
    return true;
}

void FlashServer::HandleDownload(const FlashMessage& message, Socket& connection)
{
    ZLockGuard lock(m_SessionLock);
    if (!CheckCommand(message, connection, Session::KIND_DOWNLOAD, "Already downloading", 5, -1, kDownloadUsage))
        return;
    if (!CheckDistribution(message, connection, "CMD_DOWNLOAD"))
        return;
    DownloadSession* pSession = new DownloadSession(message.GetSessionId(), connection, m_pWindow, this);
    ZStringArray servers(32);
    AddParamsFrom(message, 4, servers);
    int nResult = pSession->Start(servers, message.GetParam(0), message.GetParam(1), message.GetParam(2),
                                  IsQuickCheck(message.GetParam(3)));
    FinishDownloadStart(message, connection, pSession, nResult);
}

void FlashServer::HandleDownloadNamed(const FlashMessage& message, Socket& connection)
{
    ZLockGuard lock(m_SessionLock);
    if (!CheckCommand(message, connection, Session::KIND_DOWNLOAD, "Already downloading", 7, -1, kDownloadNamedUsage))
        return;
    for (int i = 6; i < message.GetParamCount(); ++i) {
        if (!*message.GetParam(i)) {
            Reply(connection, message, ERR_PARAMCOUNT,
                  "CMD_DOWNLOADNAMED: invalid parameter for fileserver (empty string)");
            return;
        }
    }
    if (!CheckDistribution(message, connection, "CMD_DOWNLOADNAMED"))
        return;
    NamedDownloadSession* pSession = new NamedDownloadSession(message.GetSessionId(), connection, m_pWindow, this);
    ZStringArray servers(32);
    AddParamsFrom(message, 6, servers);
    int nResult = pSession->Start(servers, message.GetParam(0), message.GetParam(1), message.GetParam(2),
                                  message.GetParam(3), message.GetParam(4), IsQuickCheck(message.GetParam(5)));
    FinishDownloadStart(message, connection, pSession, nResult);
}

bool FlashServer::CheckDistribution(const FlashMessage& message, Socket& connection, const char* szCommand)
{
    // The distribution names the folder in which files are deleted, written and run: nothing is
    // touched for one outside the install root.
    if (IsDistributionUnderRoot(message.GetParam(0)))
        return true;
    ZStringBuffer<256> sText("%s: invalid parameter for distribution (not a folder under the install root)", szCommand);
    Reply(connection, message, ERR_PARAMCOUNT, sText.GetData());
    return false;
}

void FlashServer::FinishStart(const FlashMessage& message, Socket& connection, Session* pSession, int nError,
                              const char* szFailure)
{
    if (nError != ERR_OK) {
        DiscardSession(pSession);
        Reply(connection, message, nError, szFailure);
        return;
    }
    AddSession(pSession);
    Reply(connection, message, ERR_OK);
}

void FlashServer::FinishDownloadStart(const FlashMessage& message, Socket& connection, Session* pSession, int nResult)
{
    if (nResult == DownloadSession::START_FOLDER_BUSY)
        FinishStart(message, connection, pSession, ERR_FAILED, kInstallFolderBusy);
    else if (nResult != DownloadSession::START_OK)
        FinishStart(message, connection, pSession, nResult, kStartDownloadFailed);
    else
        FinishStart(message, connection, pSession, ERR_OK, nullptr);
}

void FlashServer::HandlePing(const FlashMessage& message, Socket& connection)
{
    ZLockGuard lock(m_SessionLock);
    if (!CheckCommand(message, connection, Session::KIND_PING, "Already pinging", 1, 1, kPingUsage))
        return;
    PingSession* pSession = new PingSession(message.GetSessionId(), connection, m_pWindow, this, message.GetParam(0));
    bool bStarted = pSession->Start(message.GetParam(0));
    FinishStart(message, connection, pSession, bStarted ? ERR_OK : ERR_PARAMCOUNT, "Couldn't ping");
}

void FlashServer::HandleVerify(const FlashMessage& message, Socket& connection)
{
    ZLockGuard lock(m_SessionLock);
    if (!CheckCommand(message, connection, Session::KIND_VERIFY, "Already running", 2, 2, kVerifyUsage))
        return;
    if (!CheckDistribution(message, connection, "CMD_VERIFY"))
        return;
    VerifySession* pSession = new VerifySession(message.GetSessionId(), connection, m_pWindow, this);
    bool bStarted = pSession->Start(message.GetParam(0), message.GetParam(1));
    FinishStart(message, connection, pSession, bStarted ? ERR_OK : ERR_PARAMCOUNT, "Couldn't start verify");
}

void FlashServer::HandleRunIvl(const FlashMessage& message, Socket& connection)
{
    ZLockGuard lock(m_SessionLock);
    if (!CheckCommand(message, connection, Session::KIND_RUNGAME, "Already running", 6, -1, kRunIvlUsage))
        return;
    // The distribution names the folder whose programs run; the values go onto the launcher's
    // command line, where a double quote cannot be written.
    static const char* const kRunIvlNames[6] = {"web_entrance", "distribution",      "installed_version",
                                                "mission id",   "player session id", "language"};
    for (int i = 0; i < message.GetParamCount(); ++i) {
        const char* szValue = message.GetParam(i);
        const char* szName = i < 6 ? kRunIvlNames[i] : "name=value";
        const char* szProblem = nullptr;
        if (i == 1) {
            if (!IsDistributionUnderRoot(szValue))
                szProblem = "not a folder under the install root";
        } else if (i != 2 && !RunGameSession::IsValidValue(szValue)) {
            szProblem = "double quote";
        }
        if (szProblem) {
            ZStringBuffer<256> sText("CMD_RUN_IVL: invalid parameter for %s (%s)", szName, szProblem);
            Reply(connection, message, ERR_PARAMCOUNT, sText.GetData());
            return;
        }
    }
    RunGameSession* pSession = new RunGameSession(message.GetSessionId(), connection, m_pWindow, this);
    ZStringArray params(32);
    for (int i = 6; i < message.GetParamCount(); ++i)
        params.Add(message.GetParam(i));
    bool bStarted = pSession->Start(message.GetParam(0), message.GetParam(1), message.GetParam(2), message.GetParam(3),
                                    message.GetParam(4), message.GetParam(5), params);
    FinishStart(message, connection, pSession, bStarted ? ERR_OK : ERR_PARAMCOUNT, "Couldn't start IvL");
}
