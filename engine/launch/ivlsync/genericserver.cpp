#include "launch/ivlsync/genericserver.h"

#include <cstring>

const char g_szFlashPolicy[] = "<?xml version=\"1.0\"?><cross-domain-policy><allow-access-from domain=\"*\" "
                               "to-ports=\"50000-50010\"/></cross-domain-policy>\n";
static_assert(sizeof(g_szFlashPolicy) == kFlashPolicySize, "policy text, line feed and NUL");

void ServerConnection::CopyStartInfo(const ServerStartInfo& info)
{
    m_Info.m_pServer = info.m_pServer;
    m_Info.m_nPort = info.m_nPort;
    m_Info.m_sHost = info.m_sHost;
    m_Info.m_bThreadPerConnection = info.m_bThreadPerConnection;
}

GenericServer::GenericServer(ZIvlSync* pWindow) : m_pWindow(pWindow), m_StopEvent(true), m_hServerLine(nullptr)
{
}

GenericServer::~GenericServer()
{
    {
        ZLockGuard guard(m_ConnectionLock);
        m_Connections.Clear();
    }
    ZLockGuard guard(m_ThreadLock);
    m_Threads.Clear();
}

bool GenericServer::Start(const char* szHost, int nPort, bool bThreadPerConnection)
{
    if (m_ListenerThread.IsValid())
        return false;

    ServerStartInfo* pInfo = new ServerStartInfo;
    pInfo->m_pServer = this;
    pInfo->m_nPort = nPort;
    pInfo->m_sHost = szHost;
    pInfo->m_bThreadPerConnection = bThreadPerConnection;

    ZThread thread = ZThread::Create(&GenericServer::ListenThreadMain, pInfo, 0, true);
    if (!thread.IsValid()) {
        delete pInfo;
        return false;
    }
    m_ListenerThread = thread;
    thread.SetName("GenericServer");
    AddThread(thread);

    ZStringBuffer<256> sLabel("%04d %s:%d", (int)thread.GetId(), szHost, nPort);
    m_hServerLine = m_pWindow->AddStatusLine(sLabel.GetData(), "Starting up", nullptr);

    thread.Resume();
    return m_ListenerThread.IsValid();
}

int32_t GenericServer::ListenThreadMain(void* pArgument)
{
    ServerStartInfo* pInfo = static_cast<ServerStartInfo*>(pArgument);
    int nResult = pInfo->m_pServer->AcceptLoop(pInfo);
    delete pInfo;
    return nResult;
}

bool GenericServer::IsStopping()
{
    return m_StopEvent.Wait(0);
}

int GenericServer::AcceptLoop(ServerStartInfo* pInfo)
{
    Socket listener = Socket::Create(Socket::FAMILY_IPV4, Socket::TYPE_STREAM, Socket::PROTOCOL_TCP);
    SocketAddress address;
    if (listener.IsValid())
        listener.MakeAddress(address, pInfo->m_sHost.GetData(), (uint16_t)pInfo->m_nPort);

    if (!listener.IsValid() || !listener.Bind(address)) {
        m_pWindow->LogError("Error: Can't bind to port %d. Is something else using it?", pInfo->m_nPort);
        m_StopEvent.Wait(INFINITE);
    } else if (!listener.Listen(GetListenBacklog())) {
        m_pWindow->LogError("Error: Can't listen on port %d.", pInfo->m_nPort);
        m_StopEvent.Wait(INFINITE);
    } else {
        // Stop closes what is in the list; one that came first is seen here.
        AddConnection(listener);
        while (listener.IsValid()) {
            m_pWindow->SetLineStatus(m_hServerLine, m_pWindow->GetLocalizedText("ready"));
            Socket connection = listener.Accept();
            if (!connection.IsValid())
                break;

            if (pInfo->m_bThreadPerConnection) {
                // The accepted record is shared with the list and the connection thread from
                // here on, so its copies are made under the connection lock.
                ServerConnection* pConnection = new ServerConnection;
                {
                    ZLockGuard guard(m_ConnectionLock);
                    AddConnection(connection);
                    pConnection->CopyStartInfo(*pInfo);
                    pConnection->m_Socket = connection;
                    connection = Socket();
                }

                ZThread thread = ZThread::Create(&GenericServer::ConnectionThreadMain, pConnection, 0, true);
                if (!thread.IsValid()) {
                    ZLockGuard guard(m_ConnectionLock);
                    RemoveConnection(pConnection->m_Socket);
                    pConnection->m_Socket.Close();
                    delete pConnection;
                    continue;
                }
                thread.SetName("GenericServer connection");
                AddThread(thread);
                thread.Resume();
                continue;
            }

            AddConnection(connection);
            m_pWindow->SetLineStatus(m_hServerLine, m_pWindow->GetLocalizedText("connected"));
            int nResult = HandleConnection(connection);
            {
                ZLockGuard guard(m_ConnectionLock);
                RemoveConnection(connection);
                connection = Socket();
            }
            if (nResult != 0) {
                m_pWindow->SetLineStatus(m_hServerLine, m_pWindow->GetLocalizedText("Closed"));
                m_pWindow->Log("Closing incoming socket %s:%d", pInfo->m_sHost.GetData(), pInfo->m_nPort);
                break;
            }
        }
    }

    // The list still holds the listening socket; closing it here makes a server that stopped
    // listening refuse connections instead of leaving them in the backlog.
    {
        ZLockGuard guard(m_ConnectionLock);
        RemoveConnection(listener);
        if (listener.IsValid())
            listener.Close();
        listener = Socket();
    }
    m_pWindow->RemoveStatusLine(m_hServerLine);
    m_pWindow->ObjectEnded(this);
    // Last touch of this object: Stop with waiting may return and the owner delete it.
    RemoveThread(ZThread::Current());
    return 0;
}

int32_t GenericServer::ConnectionThreadMain(void* pArgument)
{
    ServerConnection* pConnection = static_cast<ServerConnection*>(pArgument);
    return pConnection->m_Info.m_pServer->ServeConnection(pConnection->m_Socket, pConnection);
}

int GenericServer::ServeConnection(Socket& connection, ServerConnection* pConnection)
{
    const char* szConnected = m_pWindow->GetLocalizedText("connected");
    ZStringBuffer<256> sLabel("%04d %s", (int)GetCurrentThreadId(), szConnected);
    HWND hLine = m_pWindow->AddStatusLine(sLabel.GetData(), szConnected, m_hServerLine);

    int nResult = HandleConnection(connection);

    m_pWindow->RemoveStatusLine(hLine);
    {
        ZLockGuard guard(m_ConnectionLock);
        RemoveConnection(connection);
        delete pConnection;
    }
    RemoveThread(ZThread::Current());
    return nResult;
}

void GenericServer::Stop(bool bWait)
{
    m_StopEvent.Set();
    {
        ZLockGuard guard(m_ConnectionLock);
        for (ZList<Socket>::Iterator it = m_Connections.Begin(); it != m_Connections.End(); ++it)
            if (it->IsValid())
                it->Close();
    }

    if (!bWait)
        return;
    for (;;) {
        ZThread thread;
        {
            ZLockGuard guard(m_ThreadLock);
            while (!m_Threads.IsEmpty() && !m_Threads.Front().IsValid())
                m_Threads.Erase(m_Threads.Begin());
            if (m_Threads.IsEmpty())
                break;
            thread = m_Threads.Front();
        }
        thread.Wait(INFINITE);
        // A thread that ended without taking itself out of the list must not be waited for
        // again.
        ZLockGuard guard(m_ThreadLock);
        ZList<ZThread>::Iterator it = m_Threads.Find(thread);
        if (it != m_Threads.End() && !thread.IsRunning())
            m_Threads.Erase(it);
    }
}

void GenericServer::AddConnection(const Socket& socket)
{
    ZLockGuard guard(m_ConnectionLock);
    m_Connections.PushBack(socket);
    if (IsStopping())
        m_Connections.Back().Close();
}

void GenericServer::RemoveConnection(const Socket& socket)
{
    ZLockGuard guard(m_ConnectionLock);
    ZList<Socket>::Iterator it = m_Connections.Find(socket);
    if (it != m_Connections.End())
        m_Connections.Erase(it);
}

void GenericServer::AddThread(const ZThread& thread)
{
    ZLockGuard guard(m_ThreadLock);
    m_Threads.PushBack(thread);
}

void GenericServer::RemoveThread(const ZThread& thread)
{
    ZLockGuard guard(m_ThreadLock);
    ZList<ZThread>::Iterator it = m_Threads.Find(thread);
    if (it != m_Threads.End())
        m_Threads.Erase(it);
}

void GenericServer::ShareSocket(Socket& target, const Socket& source)
{
    ZLockGuard guard(m_ConnectionLock);
    target = source;
}

void GenericServer::ReleaseSocket(Socket& target)
{
    ZLockGuard guard(m_ConnectionLock);
    target = Socket();
}

bool ReadUntil(Socket& connection, ZStringBase& text, const char* szDelimiters, int nDeadlineMs)
{
    text.Clear();
    if (!connection.IsValid())
        return false;
    const DWORD nStart = GetTickCount();
    for (;;) {
        char c = 0;
        if (text.GetLength() >= kMaxReadLength)
            return false;
        if (nDeadlineMs > 0) {
            // Wait only for what is left of the deadline.
            DWORD nElapsed = GetTickCount() - nStart;
            if (nElapsed >= (DWORD)nDeadlineMs)
                return false;
            int nLeft = nDeadlineMs - (int)nElapsed;
            if (connection.WaitReadable(nLeft / 1000, nLeft % 1000) <= 0)
                return false;
        }
        if (connection.ReceiveAll(&c, 1, 0) != 1)
            return false;
        text.AppendChar(c);
        if (c == 0 || (szDelimiters && strchr(szDelimiters, c)))
            return true;
    }
}
