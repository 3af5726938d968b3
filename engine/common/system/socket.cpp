#include "common/system/socket.h"
#include "common/containers/zmemorybuffer.h"
#include <iphlpapi.h>
#include <icmpapi.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

int WinsockError()
{
    int n = WSAGetLastError();
    return n == WSAECONNRESET ? 2 : n;
}

timeval MakeTimeout(int nSeconds, int nMilliseconds)
{
    timeval tv;
    tv.tv_sec = nSeconds + nMilliseconds / 1000;
    tv.tv_usec = (nMilliseconds % 1000) * 1000;
    return tv;
}

int SelectOne(SOCKET h, bool bWrite, int nSeconds, int nMilliseconds)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(h, &set);
    timeval tv = MakeTimeout(nSeconds, nMilliseconds);
    return select(static_cast<int>(h + 1), bWrite ? nullptr : &set, bWrite ? &set : nullptr, nullptr, &tv);
}

}  // namespace

// SocketAddress

SocketAddress::SocketAddress()
{
    memset(this, 0, sizeof(*this));
    m_nFamily = FAMILY_UNSET;
}

void SocketAddress::Set(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t nPort)
{
    m_nFamily = FAMILY_IPV4;
    m_aAddress[0] = a;
    m_aAddress[1] = b;
    m_aAddress[2] = c;
    m_aAddress[3] = d;
    m_nPort = htons(nPort);
}

void SocketAddress::SetAny()
{
    Set(0, 0, 0, 0, 0);
}

void SocketAddress::SetPort(uint16_t nPort)
{
    m_nPort = htons(nPort);
}

uint16_t SocketAddress::GetPort() const
{
    return ntohs(m_nPort);
}

bool SocketAddress::FromString(const char* szText)
{
    int a[5] = {0, 0, 0, 0, 0};
    int n = szText ? sscanf(szText, "%d.%d.%d.%d:%d", &a[0], &a[1], &a[2], &a[3], &a[4]) : 0;
    if (n < 4) {
        m_nFamily = FAMILY_UNSET;
        return false;
    }
    m_nFamily = FAMILY_IPV4;
    for (int i = 0; i < 4; ++i)
        m_aAddress[i] = static_cast<uint8_t>(a[i]);
    if (n == 5)
        SetPort(static_cast<uint16_t>(a[4]));
    return true;
}

ZStringBuffer<256> SocketAddress::ToString() const
{
    return ZStringBuffer<256>("%d.%d.%d.%d:%d", m_aAddress[0], m_aAddress[1], m_aAddress[2], m_aAddress[3], GetPort());
}

SocketAddress SocketAddress::Resolve(const char* szHost)
{
    SocketAddress address;
    hostent* pHost = szHost ? gethostbyname(szHost) : nullptr;
    if (pHost && pHost->h_addrtype == AF_INET && pHost->h_addr_list && pHost->h_addr_list[0]) {
        in_addr in;
        memcpy(&in, pHost->h_addr_list[0], sizeof(in));
        address.FromString(inet_ntoa(in));
    }
    return address;
}

bool SocketAddress::operator==(const SocketAddress& other) const
{
    return m_nPort == other.m_nPort && memcmp(m_aAddress, other.m_aAddress, 4) == 0;
}

// Socket

void Socket::Handle::Close()
{
    if (m_hSocket) {
        shutdown(m_hSocket, SD_SEND);
        closesocket(m_hSocket);
    }
}

Socket Socket::Create(int nFamily, int nType, int nProtocol)
{
    int nAf;
    if (nFamily == FAMILY_IPV4)
        nAf = AF_INET;
    else if (nFamily == FAMILY_IPV6)
        nAf = AF_INET6;
    else
        return Socket();
    int nSockType, nProto;
    if (nType == TYPE_STREAM && nProtocol == PROTOCOL_TCP) {
        nSockType = SOCK_STREAM;
        nProto = 0;
    } else if (nType == TYPE_DATAGRAM && nProtocol == PROTOCOL_UDP) {
        nSockType = SOCK_DGRAM;
        nProto = 0;
    } else if (nType == TYPE_RAW && nProtocol == PROTOCOL_ICMP) {
        nSockType = SOCK_RAW;
        nProto = IPPROTO_ICMP;
    } else {
        return Socket();
    }
    return Adopt(socket(nAf, nSockType, nProto), nFamily | (nType << 2) | (nProtocol << 4));
}

Socket Socket::Adopt(SOCKET h, int nKind)
{
    if (h == INVALID_SOCKET)
        return Socket();
    Socket s;
    s.m_Record.Create(Handle{h, 0});
    s.m_nKind = nKind;
    return s;
}

bool Socket::IsValid() const
{
    // A closed record holds 0: that is no usable socket either.
    return m_Record && m_Record->m_hSocket != INVALID_SOCKET && m_Record->m_hSocket != 0;
}

bool Socket::Bind(const SocketAddress& address)
{
    return bind(GetHandle(), address.GetRecord(), sizeof(SocketAddress)) != SOCKET_ERROR;
}

bool Socket::Connect(const SocketAddress& address, int nTimeoutMs, ISocketCancel* pCancel)
{
    // Non-blocking, so that the wait has an end of its own.
    if (!SetBlocking(false))
        return false;
    if (connect(GetHandle(), address.GetRecord(), sizeof(SocketAddress)) != SOCKET_ERROR)
        return SetBlocking(true);
    int nError = WSAGetLastError();
    if (nError != WSAEWOULDBLOCK && nError != WSAEINPROGRESS) {
        SetBlocking(true);
        WSASetLastError(nError);
        return false;
    }
    const DWORD nStart = GetTickCount();
    for (;;) {
        int nLeft = nTimeoutMs - static_cast<int>(GetTickCount() - nStart);
        if (nLeft <= 0 || (pCancel && pCancel->IsCancelled()))
            break;
        int nResult = WaitConnected(nLeft < kSocketPollMs ? nLeft : kSocketPollMs);
        if (nResult != 0)
            return nResult > 0;
    }
    // Given up: a send on the still pending connect would wait for it, so the socket goes.
    Close();
    WSASetLastError(WSAETIMEDOUT);
    return false;
}

int Socket::WaitConnected(int nMilliseconds)
{
    SOCKET h = GetHandle();
    fd_set write, error;
    FD_ZERO(&write);
    FD_ZERO(&error);
    FD_SET(h, &write);
    FD_SET(h, &error);
    timeval tv = MakeTimeout(0, nMilliseconds < 0 ? 0 : nMilliseconds);
    int nReady = select(static_cast<int>(h + 1), nullptr, &write, &error, &tv);
    if (nReady == 0)
        return 0;
    int nError = 0;
    int nLength = sizeof(nError);
    if (nReady < 0 || getsockopt(h, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&nError), &nLength) == SOCKET_ERROR)
        nError = WSAGetLastError();
    else if (nError == 0 && !FD_ISSET(h, &write))
        nError = WSAECONNREFUSED;
    SetBlocking(true);
    if (nError != 0) {
        WSASetLastError(nError);
        return -1;
    }
    return 1;
}

bool Socket::Listen(int nBacklog)
{
    return listen(GetHandle(), nBacklog) != SOCKET_ERROR;
}

Socket Socket::Accept()
{
    return Adopt(accept(GetHandle(), nullptr, nullptr), m_nKind);
}

bool Socket::Close()
{
    if (!m_Record)
        return false;
    SOCKET h = m_Record->m_hSocket;
    m_Record->m_hSocket = 0;
    return closesocket(h) != SOCKET_ERROR;
}

bool Socket::ShutdownSend()
{
    return shutdown(GetHandle(), SD_SEND) != SOCKET_ERROR;
}

int Socket::Send(const void* pData, int nLength, int nFlags)
{
    return send(GetHandle(), static_cast<const char*>(pData), nLength, 0);
}

int Socket::Receive(void* pData, int nLength, int nFlags)
{
    int nRecvFlags = 0;
    if (nFlags & RECEIVE_WAITALL)
        nRecvFlags |= MSG_WAITALL;
    if (nFlags & RECEIVE_PEEK)
        nRecvFlags |= MSG_PEEK;
    return recv(GetHandle(), static_cast<char*>(pData), nLength, nRecvFlags);
}

int Socket::SendFormatted(const char* szFormat, ...)
{
    ZStringBuffer<4096> sText;
    va_list args;
    va_start(args, szFormat);
    sText.FormatV(szFormat, args);
    va_end(args);
    return SendAll(sText.GetData(), sText.GetLength(), 0);
}

int Socket::SendAll(const void* pData, int nLength, int nFlags)
{
    if (nLength < 1)
        return 0;
    const char* p = static_cast<const char*>(pData);
    int nSent = 0;
    while (nSent < nLength) {
        int n = Send(p + nSent, nLength - nSent, nFlags);
        if (n < 1) {
            if (WSAGetLastError() == WSAEWOULDBLOCK)
                continue;
            return n;
        }
        nSent += n;
    }
    return nSent;
}

int Socket::ReceiveAll(void* pData, int nLength, int nFlags)
{
    if (nLength < 1)
        return 0;
    char* p = static_cast<char*>(pData);
    int nReceived = 0;
    while (nReceived < nLength) {
        int n = Receive(p + nReceived, nLength - nReceived, nFlags);
        if (n < 1)
            return n;
        nReceived += n;
    }
    return nReceived;
}

int Socket::SendTo(const SocketAddress& address, const void* pData, int nLength, int nFlags)
{
    int n =
        sendto(GetHandle(), static_cast<const char*>(pData), nLength, 0, address.GetRecord(), sizeof(SocketAddress));
    if (n == SOCKET_ERROR)
        return WSAGetLastError() == WSAENOBUFS ? -2345 : -1;
    return n;
}

int Socket::ReceiveFrom(void* pData, int nLength, SocketAddress* pAddress, int nFlags)
{
    SocketAddress from;
    int nSize = sizeof(SocketAddress);
    int n = recvfrom(GetHandle(), static_cast<char*>(pData), nLength, (nFlags & RECEIVE_PEEK) ? MSG_PEEK : 0,
                     from.GetRecord(), &nSize);
    if (pAddress && n != SOCKET_ERROR)
        *pAddress = from;
    return n;
}

bool Socket::SendBlock(const void* pData, uint32_t nLength)
{
    uint8_t aLength[4] = {static_cast<uint8_t>(nLength), static_cast<uint8_t>(nLength >> 8),
                          static_cast<uint8_t>(nLength >> 16), static_cast<uint8_t>(nLength >> 24)};
    if (SendAll(aLength, 4, 0) != 4)
        return false;
    return nLength == 0 || SendAll(pData, static_cast<int>(nLength), 0) == static_cast<int>(nLength);
}

bool Socket::SendBuffer(const ZMemoryBuffer& buffer)
{
    return SendBlock(buffer.GetData(), buffer.GetSize());
}

bool Socket::ReceiveBlock(ZMemoryBuffer& buffer)
{
    if (GetBytesAvailable() < 0)
        return false;
    uint8_t aLength[4];
    if (ReceiveAll(aLength, 4, 0) != 4)
        return false;
    uint32_t nLength = aLength[0] | (aLength[1] << 8) | (aLength[2] << 16) | (static_cast<uint32_t>(aLength[3]) << 24);
    // The length comes from the peer: grow with the bytes that really arrive, not ahead of them.
    const uint32_t nPiece = 65536;
    while (nLength > 0) {
        uint32_t n = nLength < nPiece ? nLength : nPiece;
        if (!buffer.Reserve(n))
            return false;
        int nGot = ReceiveAll(buffer.GetData() + buffer.GetSize(), static_cast<int>(n), 0);
        if (nGot != static_cast<int>(n))
            return false;
        buffer.AppendSpace(n);  // reserved above: the received bytes stay where they are
        nLength -= n;
    }
    return true;
}

bool Socket::SetBlocking(bool bBlocking)
{
    u_long nNonBlocking = bBlocking ? 0 : 1;
    return ioctlsocket(GetHandle(), FIONBIO, &nNonBlocking) != SOCKET_ERROR;
}

bool Socket::SetNagle(bool bNagle)
{
    BOOL bNoDelay = bNagle ? FALSE : TRUE;
    return setsockopt(GetHandle(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&bNoDelay),
                      sizeof(bNoDelay)) != SOCKET_ERROR;
}

bool Socket::SetSendTimeout(int nMilliseconds)
{
    DWORD n = static_cast<DWORD>(nMilliseconds);
    return setsockopt(GetHandle(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&n), sizeof(n)) !=
        SOCKET_ERROR;
}

bool Socket::SetReceiveTimeout(int nMilliseconds)
{
    DWORD n = static_cast<DWORD>(nMilliseconds);
    return setsockopt(GetHandle(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&n), sizeof(n)) !=
        SOCKET_ERROR;
}

void Socket::SetIdleLimit(int nMilliseconds)
{
    if (m_Record)
        m_Record->m_nIdleLimitMs = nMilliseconds;
}

int Socket::SetDontFragment(ZStringBase* pErrorText)
{
    DWORD nOn = 1;
    int nResult = setsockopt(GetHandle(), IPPROTO_IP, 14, reinterpret_cast<const char*>(&nOn), sizeof(nOn));
    if (nResult == SOCKET_ERROR && pErrorText) {
        char szText[512] = {0};
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, WSAGetLastError(), 0,
                       szText, sizeof(szText), nullptr);
        pErrorText->Assign(szText);
    }
    return nResult;
}

int Socket::WaitReadable(int nSeconds, int nMilliseconds)
{
    return SelectOne(GetHandle(), false, nSeconds, nMilliseconds);
}

int Socket::WaitWritable(int nSeconds, int nMilliseconds)
{
    return SelectOne(GetHandle(), true, nSeconds, nMilliseconds);
}

int Socket::GetBytesAvailable()
{
    if (WaitReadable(0, 0) < 0)
        return -1;
    u_long nCount = 0;
    DWORD nReturned = 0;
    if (WSAIoctl(GetHandle(), FIONREAD, nullptr, 0, &nCount, sizeof(nCount), &nReturned, nullptr, nullptr) ==
        SOCKET_ERROR)
        return -1;
    return static_cast<int>(nCount);
}

int Socket::GetMaxMessageSize()
{
    unsigned int nSize = 0;
    int nLength = sizeof(nSize);
    if (getsockopt(GetHandle(), SOL_SOCKET, SO_MAX_MSG_SIZE, reinterpret_cast<char*>(&nSize), &nLength) == SOCKET_ERROR)
        return 0;
    return static_cast<int>(nSize);
}

SocketAddress Socket::GetLocalAddress() const
{
    SocketAddress address;
    int nLength = sizeof(SocketAddress);
    if (getsockname(GetHandle(), address.GetRecord(), &nLength) == SOCKET_ERROR)
        return SocketAddress();
    return address;
}

void Socket::MakeAddress(SocketAddress& address, const char* szDotted, uint16_t nPort) const
{
    sockaddr_in* p = reinterpret_cast<sockaddr_in*>(address.GetRecord());
    p->sin_family = AF_INET;
    p->sin_port = htons(nPort);
    p->sin_addr.s_addr = inet_addr(szDotted);
}

int Socket::SelectReadable(int nCount, const Socket* pSockets, int nSeconds, int nMicroseconds)
{
    SocketSet set;
    set.Fill(pSockets, nCount);
    timeval tv;
    tv.tv_sec = nSeconds + nMicroseconds / 1000000;
    tv.tv_usec = nMicroseconds % 1000000;
    return select(static_cast<int>(set.m_hHighest + 1), reinterpret_cast<fd_set*>(set.m_pRead), nullptr, nullptr, &tv);
}

int Socket::GetLocalAddresses(SocketAddress* pAddresses, int nMax)
{
    char szName[128];
    if (gethostname(szName, sizeof(szName)) == SOCKET_ERROR)
        return 0;
    hostent* pHost = gethostbyname(szName);
    if (!pHost || pHost->h_addrtype != AF_INET || !pHost->h_addr_list)
        return 0;
    int n = 0;
    while (n < nMax && pHost->h_addr_list[n]) {
        in_addr in;
        memcpy(&in, pHost->h_addr_list[n], sizeof(in));
        pAddresses[n].FromString(inet_ntoa(in));
        ++n;
    }
    return n;
}

ZStringBuffer<256> Socket::GetComputerName()
{
    char szName[260];
    DWORD nSize = sizeof(szName);
    if (!GetComputerNameExA(ComputerNamePhysicalDnsHostname, szName, &nSize))
        return ZStringBuffer<256>();
    return ZStringBuffer<256>(szName);
}

int Socket::GetLastError()
{
    return WinsockError();
}

// SocketSet

SocketSet::SocketSet() : m_pRead(new Set), m_pError(new Set), m_hHighest(0)
{
    m_pRead->m_nCount = 0;
    m_pError->m_nCount = 0;
}

SocketSet::~SocketSet()
{
    delete m_pRead;
    delete m_pError;
}

void SocketSet::Fill(const Socket* pSockets, int nCount)
{
    if (nCount > MAX_SOCKETS)
        nCount = MAX_SOCKETS;
    m_hHighest = 0;
    int n = 0;
    for (int i = 0; i < nCount; ++i) {
        SOCKET h = pSockets[i].GetHandle();
        m_pRead->m_aSockets[n] = h;
        m_pError->m_aSockets[n] = h;
        ++n;
        if (h > m_hHighest)
            m_hHighest = h;
    }
    m_pRead->m_nCount = n;
    m_pError->m_nCount = n;
}

int SocketSet::Wait(int nSeconds, int nMilliseconds)
{
    timeval tv = MakeTimeout(nSeconds, nMilliseconds);
    return select(static_cast<int>(m_hHighest + 1), reinterpret_cast<fd_set*>(m_pRead), nullptr,
                  reinterpret_cast<fd_set*>(m_pError), &tv);
}

bool SocketSet::IsReadable(const Socket& socket) const
{
    return __WSAFDIsSet(socket.GetHandle(), reinterpret_cast<fd_set*>(m_pRead)) != 0;
}

bool SocketSet::HasError(const Socket& socket) const
{
    return __WSAFDIsSet(socket.GetHandle(), reinterpret_cast<fd_set*>(m_pError)) != 0;
}

// ICMP echo

int IcmpClampPayloadSize(int nPayloadSize)
{
    if (nPayloadSize < 20)
        return 20;
    if (nPayloadSize > 1024)
        return 1024;
    return nPayloadSize;
}

namespace
{

int LastErrorCode()
{
    DWORD n = GetLastError();
    return n == WSAECONNRESET ? 2 : static_cast<int>(n);
}

bool IsNoAnswer(int nCode)
{
    return nCode == IP_REQ_TIMED_OUT || nCode == IP_TTL_EXPIRED_TRANSIT || nCode == IP_TTL_EXPIRED_REASSEM;
}

}  // namespace

int32_t IcmpPing(const SocketAddress& address, int nPayloadSize, int nTimeoutMs)
{
    int nPayload = IcmpClampPayloadSize(nPayloadSize);
    HANDLE hIcmp = IcmpCreateFile();
    if (hIcmp == INVALID_HANDLE_VALUE)
        return ICMP_ERROR_HANDLE - LastErrorCode();

    // Room for one reply record, the echoed payload and an ICMP error (36 + payload on 32-bit).
    const DWORD nReplySize = static_cast<DWORD>(sizeof(ICMP_ECHO_REPLY) + 8 + nPayload);
    static_assert(sizeof(void*) != 4 || sizeof(ICMP_ECHO_REPLY) + 8 == 36, "reply buffer of payload + 36 bytes");
    char aRequest[1024];
    memset(aRequest, 0, sizeof(aRequest));
    void* pReply = calloc(1, nReplySize);
    IPAddr nDestination;
    memcpy(&nDestination, address.GetAddressBytes(), 4);
    DWORD nReplies =
        IcmpSendEcho2(hIcmp, nullptr, nullptr, nullptr, nDestination, aRequest, static_cast<WORD>(nPayload), nullptr,
                      pReply, nReplySize, static_cast<DWORD>(nTimeoutMs));
    int nError = LastErrorCode();
    IcmpCloseHandle(hIcmp);

    int32_t nResult;
    if (nReplies > 0) {
        const ICMP_ECHO_REPLY* pEcho = static_cast<const ICMP_ECHO_REPLY*>(pReply);
        if (pEcho->Status == IP_SUCCESS)
            nResult = pEcho->RoundTripTime == 0 ? 1 : static_cast<int32_t>(pEcho->RoundTripTime);
        else if (IsNoAnswer(static_cast<int>(pEcho->Status)))
            nResult = 0;
        else
            nResult = ICMP_ERROR_STATUS - static_cast<int32_t>(pEcho->Status);
    } else if (IsNoAnswer(nError)) {
        nResult = 0;
    } else {
        nResult = ICMP_ERROR_SEND - nError;
    }
    free(pReply);
    return nResult;
}
