#include "launch/ivlsync/pingsession.h"

#include <cstdlib>
#include "launch/launchlibs/flashmessage.h"
#include "launch/ivlsync/flashserver.h"

PingSession::PingSession(int nSessionId, const Socket& connection, ZIvlSync* pWindow, FlashServer* pServer,
                         const char* szHost)
    : Session(nSessionId, connection, pWindow, pServer), m_pServer(pServer), m_sHost(szHost), m_bCancel(0)
{
}

bool PingSession::Start(const char* szHost)
{
    m_sHost = szHost;
    m_bCancel = 0;
    // Suspended until stored, so the thread never meets a half-made handle.
    m_Thread = ZThread::Create(&PingSession::ThreadMain, this, 0, true);
    if (!m_Thread.IsValid())
        return false;
    m_Thread.SetName("PingSession");
    m_Thread.Resume();
    return true;
}

void PingSession::Cancel(bool bWait)
{
    m_bCancel = 1;
    Reply(STATUS_STOPPED);
    if (bWait) {
        ZThread thread = m_Thread;
        thread.Wait(INFINITE);
    }
}

int32_t PingSession::ThreadMain(void* pArgument)
{
    PingSession* pSession = static_cast<PingSession*>(pArgument);
    pSession->Run();
    pSession->m_pServer->RemoveSession(pSession);
    delete pSession;
    return 0;
}

SocketAddress PingSession::MakeAddress(const char* szHost)
{
    ZStringBuffer<256> sHost(szHost ? szHost : "");
    int nColon = sHost.Find(':');
    int nPort = kDefaultPort;
    if (nColon >= 0) {
        nPort = atoi(sHost.GetData() + nColon + 1);
        sHost.Truncate(nColon);
    }
    SocketAddress address = SocketAddress::Resolve(sHost.GetData());
    address.SetPort((uint16_t)nPort);
    return address;
}

PingSession::Outcome PingSession::Measure(EchoFunction pfnEcho, const SocketAddress& address,
                                          const volatile uint8_t* pCancel, Session* pSession, uint32_t& nAverage,
                                          ZStringBase& sError)
{
    uint32_t nSum = 0;
    int nErrors = 0;
    int nEcho = 0;
    sError.Clear();
    nAverage = 0;
    while (nEcho < kEchoCount) {
        if (pCancel && *pCancel)
            return OUTCOME_CANCELLED;
        int32_t nResult = pfnEcho(address, kPayloadSize, kTimeoutMs);
        if (nResult > 0) {
            nSum += (uint32_t)nResult;
            ++nEcho;
        } else if (nResult == 0) {
            if (pSession)
                pSession->Log("ping %s: Timeout", address.ToString().GetData());
            sError.Assign("Timeout");
            return OUTCOME_ERROR;
        } else {
            if (pSession)
                pSession->Log("ping %s: Error: %d", address.ToString().GetData(), (int)nResult);
            sError.Format("Error: %d", (int)nResult);
            if (++nErrors >= kMaxErrors)
                return OUTCOME_ERROR;
        }
    }
    nAverage = nSum / kEchoCount;
    return OUTCOME_RESULT;
}

int PingSession::Run()
{
    SocketAddress address = MakeAddress(m_sHost.GetData());
    uint32_t nAverage = 0;
    ZStringBuffer<256> sError;
    switch (Measure(&IcmpPing, address, &m_bCancel, this, nAverage, sError)) {
    case OUTCOME_CANCELLED:
        // Cancel has sent STATUS_STOPPED already.
        return 0;
    case OUTCOME_RESULT: {
        ZStringBuffer<16> sResult("%d", (int)nAverage);
        Reply(STATUS_PINGRESULT, sResult.GetData());
        return 0;
    }
    default: Reply(ERR_FAILED, sError.GetData()); return -1;
    }
}
