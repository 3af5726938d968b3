#include "launch/ivlsync/session.h"

#include <cstdarg>
#include "launch/ivlsync/flashserver.h"

Session::Session(int nSessionId, const Socket& connection, ZIvlSync* pWindow, FlashServer* pServer)
    : m_nSessionId(nSessionId), m_pWindow(pWindow), m_pServer(pServer), m_bCancel(false)
{
    pServer->ShareSocket(m_Socket, connection);
}

Session::~Session()
{
}

bool Session::CreateWorkThread(const char* szName)
{
    m_WorkThread = ZThread::Create(&Session::WorkThreadMain, this, 0, true);
    if (!m_WorkThread.IsValid())
        return false;
    if (szName)
        m_WorkThread.SetName(szName);
    return true;
}

int32_t Session::WorkThreadMain(void* pArgument)
{
    Session* pSession = static_cast<Session*>(pArgument);
    SessionEnd end;
    pSession->Run(end);
    if (end.m_nCode != 0)
        pSession->Reply(end.m_nCode, end.m_bHasText ? end.m_sText.GetData() : nullptr);
    pSession->m_pServer->RemoveSession(pSession);
    delete pSession;
    return 0;
}

void Session::Cancel(bool bWait)
{
    m_bCancel = true;
    OnCancel();
    if (bWait) {
        // The session deletes itself at its end: wait on a handle of our own.
        ZThread thread = m_WorkThread;
        thread.Wait(INFINITE);
    }
}

void Session::Log(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    m_pWindow->LogV(szFormat, args);
    va_end(args);
}

void Session::Reply(int nCode, const char* szText)
{
    FlashMessage(nCode, m_nSessionId, szText).Send(m_Socket);
}
