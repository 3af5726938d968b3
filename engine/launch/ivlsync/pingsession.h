// CMD_PING: four ICMP echoes to the named host, answered with the average round trip in ms.
#pragma once
#include <atomic>
#include <cstdint>
#include "common/containers/zstringbuffer.h"
#include "common/system/zthread.h"
#include "launch/ivlsync/session.h"

class PingSession : public Session
{
public:
    enum
    {
        kEchoCount = 4,
        kPayloadSize = 28,
        kTimeoutMs = 2000,
        kMaxErrors = 3,
        kDefaultPort = 20201,
    };

    PingSession(int nSessionId, const Socket& connection, ZIvlSync* pWindow, FlashServer* pServer, const char* szHost);

    // Starts the session's thread.
    bool Start(const char* szHost);
    int GetKind() override { return KIND_PING; }

    // One echo: > 0 round trip in ms, 0 time-out, < 0 error (as IcmpPing).
    typedef int32_t (*EchoFunction)(const SocketAddress& address, int nPayloadSize, int nTimeoutMs);
    enum Outcome
    {
        OUTCOME_RESULT = 0,
        OUTCOME_CANCELLED = 1,
        OUTCOME_ERROR = -1,
    };
    // The host text ("name" or "name:port") as the address to ping; the port (20201 when none
    // is given) only shows in the log.
    static SocketAddress MakeAddress(const char* szHost);
    // The echoes: the average round trip (rounded down) or the error text. pSession (may be
    // null) gets the log lines; the cancel flag is read before each echo.
    static Outcome Measure(EchoFunction pfnEcho, const SocketAddress& address, const std::atomic<bool>* pCancel,
                           Session* pSession, uint32_t& nAverage, ZStringBase& sError);

protected:
    void Run(SessionEnd& end) override;
    // Sends STATUS_STOPPED at once; the echo under way still runs to its end.
    void OnCancel() override;

private:
    ZStringBuffer<16> m_sHost;
};
