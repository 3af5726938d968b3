// The engine's Winsock layer: shared socket handles, IPv4 addresses, readiness sets and ICMP echo.
// Winsock itself is started once per process at static initialisation.
#pragma once
#include "common/system/zwin.h"
#include "common/containers/zstringbuffer.h"
#include "common/system/zsharedrecord.h"
#include <cstdint>

// The A/W macro would rename the member in some units and not in others.
#undef GetComputerName

class ZMemoryBuffer;

// How long a connect may take: a host that never answers (a black hole) must not hold the caller
// for the system's own minutes of retries.
const int kSocketConnectTimeoutMs = 10000;
// How often a wait for a socket stops to ask its owner whether to go on.
const int kSocketPollMs = 250;

// Asked between the waits of a connect (and of the HTTP client's receives): true gives up.
class ISocketCancel
{
public:
    virtual bool IsCancelled() = 0;

protected:
    ~ISocketCancel() {}
};

// An IPv4 address and port in the layout of sockaddr_in; family 255 marks it unset.
class SocketAddress
{
public:
    enum
    {
        FAMILY_IPV4 = 2,
        FAMILY_UNSET = 255,
    };

    SocketAddress();

    bool IsSet() const { return m_nFamily == FAMILY_IPV4; }
    void Set(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t nPort);
    void SetAny();
    void SetPort(uint16_t nPort);
    uint16_t GetPort() const;
    const uint8_t* GetAddressBytes() const { return m_aAddress; }
    // "a.b.c.d" keeps the port, "a.b.c.d:port" sets it; fewer numbers leave the address unset.
    bool FromString(const char* szText);
    ZStringBuffer<256> ToString() const;
    // The first IPv4 address of the host (port 0); unset when it cannot be resolved.
    static SocketAddress Resolve(const char* szHost);

    // Ports and address bytes; the family is not compared.
    bool operator==(const SocketAddress& other) const;
    bool operator!=(const SocketAddress& other) const { return !(*this == other); }

    const sockaddr* GetRecord() const { return reinterpret_cast<const sockaddr*>(this); }
    sockaddr* GetRecord() { return reinterpret_cast<sockaddr*>(this); }

private:
    uint16_t m_nFamily;
    uint16_t m_nPort;  // network order
    uint8_t m_aAddress[4];
    uint8_t m_aZero[8];
};

static_assert(sizeof(SocketAddress) == 16, "sockaddr_in layout");
static_assert(sizeof(SocketAddress) == sizeof(sockaddr_in), "sockaddr_in layout");

// A connection as the servers, streams and the HTTP client see it.
class ISocket
{
public:
    virtual ~ISocket() {}
    virtual bool IsValid() const = 0;
    virtual int Send(const void* pData, int nLength, int nFlags) = 0;
    virtual int SendFormatted(const char* szFormat, ...) ZPRINTF_FORMAT(2, 3) = 0;
    virtual int Receive(void* pData, int nLength, int nFlags) = 0;
};

class Socket : public ISocket
{
public:
    // Codes of the kind word (family, type, protocol).
    enum
    {
        FAMILY_IPV4 = 0,
        FAMILY_IPV6 = 1,
        TYPE_STREAM = 0,
        TYPE_DATAGRAM = 1,
        TYPE_RAW = 2,
        PROTOCOL_TCP = 0,
        PROTOCOL_UDP = 1,
        PROTOCOL_ICMP = 2,
    };
    // Receive flags.
    enum
    {
        RECEIVE_PEEK = 2,
        RECEIVE_WAITALL = 4,
    };

    Socket() : m_nKind(0) {}

    // (0, 0) stream, (1, 1) datagram, (2, 2) raw ICMP; anything else gives an empty socket.
    static Socket Create(int nFamily, int nType, int nProtocol);

    bool IsValid() const override;
    bool operator==(const Socket& other) const { return m_Record == other.m_Record; }
    bool operator!=(const Socket& other) const { return m_Record != other.m_Record; }
    SOCKET GetHandle() const { return m_Record ? m_Record->m_hSocket : 0; }
    int GetKind() const { return m_nKind; }

    bool Bind(const SocketAddress& address);
    // Connects within the time-out, asking pCancel (when given) every kSocketPollMs; the socket
    // is blocking afterwards. A connect given up closes the socket (it is no longer valid) and
    // fails with WSAETIMEDOUT.
    bool Connect(const SocketAddress& address, int nTimeoutMs = kSocketConnectTimeoutMs,
                 ISocketCancel* pCancel = nullptr);
    bool Listen(int nBacklog);
    Socket Accept();
    // Closes the system socket now; the handles that share it stay (and are no longer valid).
    bool Close();
    // Ends the sending side: the peer reads what was sent and then the end of the stream.
    bool ShutdownSend();

    int Send(const void* pData, int nLength, int nFlags) override;
    int SendFormatted(const char* szFormat, ...) override;
    int Receive(void* pData, int nLength, int nFlags) override;
    int SendAll(const void* pData, int nLength, int nFlags);
    // The total, or the first result below 1 (0 = closed by the peer, -1 = error).
    int ReceiveAll(void* pData, int nLength, int nFlags);
    // -2345 when the system is out of buffers, else -1 on failure.
    int SendTo(const SocketAddress& address, const void* pData, int nLength, int nFlags);
    int ReceiveFrom(void* pData, int nLength, SocketAddress* pAddress, int nFlags);

    // A block is its length (4 bytes, little-endian) followed by its bytes.
    bool SendBlock(const void* pData, uint32_t nLength);
    bool SendBuffer(const ZMemoryBuffer& buffer);
    bool ReceiveBlock(ZMemoryBuffer& buffer);

    bool SetBlocking(bool bBlocking);
    bool SetNagle(bool bNagle);
    bool SetSendTimeout(int nMilliseconds);
    bool SetReceiveTimeout(int nMilliseconds);
    // The longest silence that the owner's waits for bytes allow on this connection (0: none of
    // its own). Kept in the shared record, so every copy sees it; the socket's own calls do not
    // look at it (the HTTP client's waits do).
    void SetIdleLimit(int nMilliseconds);
    int GetIdleLimit() const { return m_Record ? m_Record->m_nIdleLimitMs : 0; }
    int SetDontFragment(ZStringBase* pErrorText);
    // select's result: 1 ready, 0 time-out, -1 error.
    int WaitReadable(int nSeconds, int nMilliseconds);
    int WaitWritable(int nSeconds, int nMilliseconds);
    int GetBytesAvailable();
    int GetMaxMessageSize();
    SocketAddress GetLocalAddress() const;
    void MakeAddress(SocketAddress& address, const char* szDotted, uint16_t nPort) const;

    static int SelectReadable(int nCount, const Socket* pSockets, int nSeconds, int nMicroseconds);
    static int GetLocalAddresses(SocketAddress* pAddresses, int nMax);
    static ZStringBuffer<256> GetComputerName();
    // WSAGetLastError, with a reset connection reported as 2.
    static int GetLastError();

private:
    struct Handle
    {
        SOCKET m_hSocket;  // 0 once closed
        int m_nIdleLimitMs;
        void Close();
    };

    // 1 connected, 0 still pending, -1 failed (the error is WSAGetLastError's).
    int WaitConnected(int nMilliseconds);
    // The first handle of a new system socket; empty for INVALID_SOCKET.
    static Socket Adopt(SOCKET h, int nKind);

    // Not atomic: owners copy and release under their own lock.
    ZSharedRecord<Handle, ZPlainUseCount> m_Record;
    int m_nKind;  // bits 0-1 family, 2-3 type, 4-5 protocol
};

// Read and error sets for up to 1024 sockets.
class SocketSet
{
public:
    enum
    {
        MAX_SOCKETS = 1024,
    };

    SocketSet();
    ~SocketSet();
    SocketSet(const SocketSet&) = delete;
    SocketSet& operator=(const SocketSet&) = delete;

    void Fill(const Socket* pSockets, int nCount);
    int Wait(int nSeconds, int nMilliseconds);
    bool IsReadable(const Socket& socket) const;
    bool HasError(const Socket& socket) const;

private:
    struct Set
    {
        u_int m_nCount;
        SOCKET m_aSockets[MAX_SOCKETS];
    };
    static_assert(sizeof(void*) != 4 || sizeof(Set) == 4100, "fd_set of 1024 sockets");
    friend class Socket;

    Set* m_pRead;
    Set* m_pError;
    SOCKET m_hHighest;
};

// Results of IcmpPing: > 0 round trip in ms (at least 1), 0 no answer in time, else one of:
enum
{
    ICMP_ERROR_HANDLE = -10000,  // minus the error of IcmpCreateFile
    ICMP_ERROR_STATUS = -20000,  // minus the reply's status
    ICMP_ERROR_SEND = -30000,    // minus the send error
};
// The payload size an echo is sent with: 20..1024 bytes.
int IcmpClampPayloadSize(int nPayloadSize);
// One ICMP echo of nPayloadSize zero bytes.
int32_t IcmpPing(const SocketAddress& address, int nPayloadSize, int nTimeoutMs);
