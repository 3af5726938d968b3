#include "launch/ivlsync/flashserver.h"

FlashServer::FlashServer(ZIvlSync* pWindow) : GenericServer(pWindow), m_nLiveSessions(0)
{
}

FlashServer::~FlashServer()
{
    ZLockGuard guard(m_SessionLock);
    m_Sessions.Clear();
}

int FlashServer::HandleConnection(Socket& connection)
{
    m_pWindow->Log("Accepted connection on flash-connection port\n");
    // The sessions share this socket, so their sends are bounded as well.
    connection.SetSendTimeout(kCommandSendTimeoutMs);

    // The first text ends at a line feed or a NUL, and the ending byte is part of it: only a
    // request ended by NUL is the policy request.
    ZStringBuffer<256> sText;
    if (ReadUntil(connection, sText, "\n")) {
        if (sText.EqualsNoCase("<policy-file-request/>")) {
            m_pWindow->Log("%s received, Sending policy file\n", sText.GetData());
            connection.Send(g_szFlashPolicy, kFlashPolicySize, 0);
        } else {
            Dispatch(connection, sText.GetData());
        }
        while (ReadUntil(connection, sText, ""))
            Dispatch(connection, sText.GetData());
    }
    return 0;
}

void FlashServer::Dispatch(Socket& connection, const char* szText)
{
    FlashMessage message;
    message.Parse(szText);
    if (!message.IsValid()) {
        ReplyMalformed(message, connection);
        return;
    }

    switch (message.GetCode()) {
    case ERR_OK: m_pWindow->Log("Received ERR_OK: %d (session %d)", message.GetCode(), message.GetSessionId()); break;
    case ERR_UNKNOWNCMD:
        m_pWindow->Log("Received ERR_UNKNOWNCMD: %d (session %d)", message.GetCode(), message.GetSessionId());
        break;
    case ERR_MALFORMED:
        m_pWindow->Log("Received ERR_MALFORMED: %d (session %d)", message.GetCode(), message.GetSessionId());
        break;
    case CMD_DOWNLOAD: HandleDownload(message, connection); break;
    case CMD_RUN_IVL: HandleRunIvl(message, connection); break;
    case CMD_PING: HandlePing(message, connection); break;
    case CMD_DOWNLOADNAMED: HandleDownloadNamed(message, connection); break;
    case CMD_VERIFY: HandleVerify(message, connection); break;
    case CMD_CANCEL: HandleCancel(message, connection); break;
    case CMD_CLOSE: Close(message, connection); break;
    default: ReplyUnknownCommand(message, connection); break;
    }
}

void FlashServer::ReplyUnknownCommand(const FlashMessage& message, Socket& connection)
{
    ZStringBuffer<256> sText("Unknown command %d", message.GetCode());
    FlashMessage(ERR_UNKNOWNCMD, message.GetSessionId(), sText.GetData()).Send(connection);
}

void FlashServer::ReplyMalformed(const FlashMessage& message, Socket& connection)
{
    int nSessionId = message.GetSessionId() > 0 ? message.GetSessionId() : -1;
    FlashMessage(ERR_MALFORMED, nSessionId, "Malformed command").Send(connection);
}

void FlashServer::Close(const FlashMessage& message, Socket& connection)
{
    FlashMessage(ERR_OK, message.GetSessionId()).Send(connection);
    m_pWindow->Close(false);
}

void FlashServer::HandleCancel(const FlashMessage& message, Socket& connection)
{
    ZLockGuard guard(m_SessionLock);
    Session* pSession = FindSession(message.GetSessionId());
    if (pSession)
        pSession->Cancel(false);
    else
        FlashMessage(ERR_NOSESSION, message.GetSessionId()).Send(connection);
}

Session* FlashServer::FindSession(int nSessionId)
{
    SessionTable::Node* pNode = m_Sessions.Find(nSessionId);
    return pNode ? pNode->m_Value : nullptr;
}

int FlashServer::GetSessionCount()
{
    return m_Sessions.Size();
}

void FlashServer::AddSession(Session* pSession)
{
    ZLockGuard guard(m_SessionLock);
    m_Sessions.Insert(pSession->m_nSessionId, pSession);
    ++m_nLiveSessions;
    m_pWindow->RegisterObject(pSession);
}

void FlashServer::DiscardSession(Session* pSession)
{
    ReleaseSocket(pSession->m_Socket);
    delete pSession;
}

void FlashServer::RemoveSession(Session* pSession)
{
    ZIvlSync* pWindow = m_pWindow;
    bool bFound = false;
    {
        ZLockGuard guard(m_SessionLock);
        SessionTable::Node* pNode = m_Sessions.Find(pSession->m_nSessionId);
        bFound = pNode && pNode->m_Value == pSession;
        if (bFound)
            m_Sessions.FreeNode(m_Sessions.RemoveNode(pNode));
        else
            pWindow->Log("Internal error: Removing session that doesn't exist");
        FlashMessage(STATUS_SESSIONREMOVED, pSession->m_nSessionId).Send(pSession->m_Socket);
        ReleaseSocket(pSession->m_Socket);
    }

    // A synchronous window message: never with the session lock held, since the window
    // thread takes that lock when it closes.
    pWindow->ObjectEnded(pSession);
    // After this the server may be gone (Stop with waiting returns).
    if (bFound)
        --m_nLiveSessions;
}

void FlashServer::Stop(bool bWait)
{
    // Cancels that do not wait may be made under the lock; the waiting is done below without
    // it, so that ending sessions can take the lock to remove themselves.
    {
        ZLockGuard guard(m_SessionLock);
        for (SessionTable::Node* pNode = m_Sessions.Begin(); pNode; pNode = SessionTable::Next(pNode))
            pNode->m_Value->Cancel(false);
    }

    GenericServer::Stop(bWait);

    if (!bWait)
        return;
    for (;;) {
        int nCount = 0;
        {
            ZLockGuard guard(m_SessionLock);
            nCount = GetSessionCount();
        }
        if (nCount == 0 && m_nLiveSessions == 0)
            break;
        Sleep(100);
    }
}
