#include "launch/ivlsync/pingsession.h"

#include <cstdlib>
#include "launch/launchlibs/flashmessage.h"
#include "launch/ivlsync/flashserver.h"

PingSession::PingSession(int nSessionId, const Socket& connection, ZIvlSync* pWindow, FlashServer* pServer,
                         const char* szHost)
    : Session(nSessionId, connection, pWindow, pServer), m_sHost(szHost)
{
}

bool PingSession::Start(const char* szHost)
{
    m_sHost = szHost;
    if (!CreateWorkThread("PingSession"))
        return false;
    StartWorkThread();
    return true;
}

void PingSession::OnCancel()
{
    Reply(STATUS_STOPPED);
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
                                          const std::atomic<bool>* pCancel, Session* pSession, uint32_t& nAverage,
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

void PingSession::Run(SessionEnd& end)
{
    SocketAddress address = MakeAddress(m_sHost.GetData());
    uint32_t nAverage = 0;
    ZStringBuffer<256> sError;
    switch (Measure(&IcmpPing, address, &m_bCancel, this, nAverage, sError)) {
    case OUTCOME_CANCELLED:
        // Cancel has sent STATUS_STOPPED already.
        return;
    case OUTCOME_RESULT: {
        ZStringBuffer<16> sResult("%d", (int)nAverage);
        end.Set(STATUS_PINGRESULT, sResult.GetData());
        return;
    }
    default: end.Set(ERR_FAILED, sError.GetData()); return;
    }
}
