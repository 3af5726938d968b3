// The command server: a generic server with a thread per connection that reads the front end's
// command messages, runs them and keeps the sessions they start in a table by session id.
#pragma once
#include <atomic>
#include <cstdint>
#include "common/containers/zmap.h"
#include "common/system/zlock.h"
#include "launch/launchlibs/flashmessage.h"
#include "launch/ivlsync/genericserver.h"
#include "launch/ivlsync/session.h"

// Send time-out of command connections: replies go out under the session lock, so a peer that
// stops reading must not keep a send, and every other command and the stop with it, waiting for
// ever. Reads have none: a command connection may idle.
const int kCommandSendTimeoutMs = 10000;

class FlashServer : public GenericServer
{
public:
    explicit FlashServer(ZIvlSync* pWindow);
    // Deletes no session: the table is empty by then.
    ~FlashServer() override;

    int HandleConnection(Socket& connection) override;
    void Dispatch(Socket& connection, const char* szText);
    // Cancels every session, closes the connections; with bWait returns once the server's
    // threads have ended and every session has left the table.
    void Stop(bool bWait) override;

    void ReplyUnknownCommand(const FlashMessage& message, Socket& connection);
    void ReplyMalformed(const FlashMessage& message, Socket& connection);
    void Close(const FlashMessage& message, Socket& connection);

    // Under the session lock: enter a started session in the table and with the window.
    void AddSession(Session* pSession);
    // The last step of every session, on its own thread; 200 is its last message.
    void RemoveSession(Session* pSession);

    // Table operations; callers hold the session lock.
    Session* FindSession(int nSessionId);
    int GetSessionCount();

    ZCriticalSection& GetSessionLock() { return m_SessionLock; }

private:
    typedef ZIntMap<int32_t, Session*> SessionTable;

    // The command handlers: each runs its frame under the session lock.
    void HandleDownload(const FlashMessage& message, Socket& connection);
    void HandleDownloadNamed(const FlashMessage& message, Socket& connection);
    void HandlePing(const FlashMessage& message, Socket& connection);
    void HandleVerify(const FlashMessage& message, Socket& connection);
    void HandleRunIvl(const FlashMessage& message, Socket& connection);
    void HandleCancel(const FlashMessage& message, Socket& connection);

    // Duplicate id, busy and parameter count; false after a failure reply.
    bool CheckCommand(const FlashMessage& message, Socket& connection, int nKind, const char* szBusyText,
                      int nMinParams, int nMaxParams, const char* szUsage);
    // A distribution outside the install root is refused; false after the reply.
    bool CheckDistribution(const FlashMessage& message, Socket& connection, const char* szCommand);
    // The reply to a session's start (nError ERR_OK: the session joins the table; otherwise it is
    // discarded and the reply carries nError and szFailure).
    void FinishStart(const FlashMessage& message, Socket& connection, Session* pSession, int nError,
                     const char* szFailure);
    // The reply to a download's start and, on success, the session's entry in the table.
    void FinishDownloadStart(const FlashMessage& message, Socket& connection, Session* pSession, int nResult);
    // A session whose start failed: it has no threads and never was in the table.
    void DiscardSession(Session* pSession);

    ZCriticalSection m_SessionLock;
    SessionTable m_Sessions;
    // Sessions in the table or still on their way out after RemoveSession; Stop waits for 0.
    std::atomic<int32_t> m_nLiveSessions;
};

// The quick-check parameter of the downloads: "true" once A-Z are lower-cased.
bool IsQuickCheck(const char* szParam);
