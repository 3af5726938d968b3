// Raw Winsock pieces for tests and tools that play a server or a client on 127.0.0.1 themselves,
// so that a fault in the engine's socket code cannot hide behind their own helpers.
#pragma once
#include "common/system/zwin.h"

namespace ivltest
{
// Winsock started while it lives.
class Winsock
{
public:
    Winsock()
    {
        WSADATA data;
        m_bStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~Winsock()
    {
        if (m_bStarted)
            WSACleanup();
    }
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;
    bool IsStarted() const { return m_bStarted; }

private:
    bool m_bStarted;
};

// 127.0.0.1 with the port (0: one the system picks at bind).
inline sockaddr_in LoopbackAddress(int nPort = 0)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((u_short)nPort);
    return a;
}

// The local port of a bound socket; 0 when it has none.
inline int LocalPort(SOCKET h)
{
    sockaddr_in a = {};
    int n = sizeof(a);
    if (getsockname(h, reinterpret_cast<sockaddr*>(&a), &n) != 0)
        return 0;
    return ntohs(a.sin_port);
}

// A socket listening on a loopback port the system picked, given in nPort; INVALID_SOCKET
// (nPort 0) when there is none.
inline SOCKET ListenOnLoopback(int& nPort, int nBacklog = 1)
{
    nPort = 0;
    SOCKET h = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (h == INVALID_SOCKET)
        return h;
    sockaddr_in a = LoopbackAddress();
    if (bind(h, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(h, nBacklog) != 0) {
        closesocket(h);
        return INVALID_SOCKET;
    }
    nPort = LocalPort(h);
    return h;
}
}  // namespace ivltest
