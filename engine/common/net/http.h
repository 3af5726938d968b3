// Minimal HTTP/1.1 download client for the file servers: one GET, a body with Content-Length or
// chunked coding, redirects 301/302/303, optionally the ".bz2" form decompressed.
#pragma once
#include <stdint.h>

#include <atomic>

#include "common/containers/zstringbuffer.h"
#include "common/stream/streams.h"
#include "common/system/socket.h"

class ZMemoryBuffer;

// Result codes (0 = success; a positive value is a Winsock error from sending the request).
enum
{
    HTTP_OK = 0,
    HTTP_ERR_SOCKET = -1,    // socket not valid, or empty host text
    HTTP_ERR_SEND = -2,      // request not sent in full, no system error code
    HTTP_ERR_HEADER = -3,    // header failed, unexpected code, no body length, redirect without Location
    HTTP_ERR_BODY = -4,      // body short or malformed, chunk too big, no memory for the body
    HTTP_ERR_REDIRECT = -5,  // redirect not followed (Location too short, or too many hops)
    HTTP_ERR_URL = -6,       // not "http://host/path"
};

// Redirects followed in a row before a download gives up with HTTP_ERR_REDIRECT.
const int kHttpMaxRedirects = 5;
// Largest body held in memory, whatever its form (with a length, in chunks, unpacked from
// ".bz2"): what a 32-bit process can hold twice (the collecting buffer and the final block), so
// that one file succeeds or fails alike however a server sends it. Larger ones fail with
// HTTP_ERR_BODY.
const uint32_t kHttpMaxBody = 0x8000000;

// The time-out policy of the HTTP paths: a request ends when fewer than kHttpLowSpeedBytes
// arrive in a window of kHttpLowSpeedWindowMs, silence included (the header must arrive within
// one window), and never while it moves faster; a connect ends after kSocketConnectTimeoutMs.
// A connection made with a time-out of its own (HttpConnect's nTimeoutMs) also ends a request
// after that much silence, and has it as the sockets' send and receive time-outs; elsewhere
// those are one window, the last resort for a send.
const uint32_t kHttpLowSpeedBytes = 1024;
const uint32_t kHttpLowSpeedWindowMs = 30000;
// The send and receive time-out of the downloader's connections to the file servers and of
// update mode's to the settings server.
const int kHttpServerTimeoutMs = 8000;

// Changes the low-speed limit of the requests that start from now on (tests shorten it).
void HttpSetLowSpeedLimit(uint32_t nBytes, uint32_t nMilliseconds);

// Every HTTP connection is made here: the socket's time-outs (nTimeoutMs, or none of its own
// when 0), then a connect under the policy.
bool HttpConnect(Socket& socket, const SocketAddress& address, ISocketCancel* pCancel = nullptr, int nTimeoutMs = 0);

// Counts the bytes of a request's receives per window of the low-speed limit (as set when it
// is made); a window that ends with fewer than the limit fails the request, and so does a
// silence of the connection's idle limit (Socket::GetIdleLimit; 0 for none).
class SpeedGuard
{
public:
    explicit SpeedGuard(int nIdleLimitMs = 0);
    // False once a window has ended with too few bytes or the silence has lasted too long
    // (Add(0) asks without receiving).
    bool Add(uint32_t nBytes);
    // The last false came from the silence.
    bool IsIdle() const { return m_bIdle; }

private:
    uint32_t m_nStart;
    uint32_t m_nBytes;
    uint32_t m_nLimit;
    uint32_t m_nWindow;
    uint32_t m_nIdleLimit;
    uint32_t m_nLastBytes;
    bool m_bIdle;
};

// A body read straight from the connection (GetRawDataStream), under the low-speed limit from
// its first byte on: a read that ends a window too slow, or that the owner cancels, gives -1,
// as a failed receive does.
class HttpBodyStream : public IInputStream
{
public:
    HttpBodyStream() : m_pCancel(nullptr) {}
    HttpBodyStream(const Socket& socket, ISocketCancel* pCancel)
        : m_Stream(socket), m_Speed(socket.GetIdleLimit()), m_pCancel(pCancel)
    {
    }

    bool IsOpen() override { return m_Stream.IsOpen(); }
    int GetRemaining() override { return m_Stream.GetRemaining(); }
    int Read(void* pBuffer, int nCount) override;

private:
    ZSocketStream m_Stream;
    SpeedGuard m_Speed;
    ISocketCancel* m_pCancel;
};

class ResponseHolder
{
public:
    ResponseHolder() : m_nSize(0), m_pData(nullptr), m_nChunked(0), m_bHasBody(0) {}
    virtual ~ResponseHolder();
    ResponseHolder(const ResponseHolder&) = delete;
    ResponseHolder& operator=(const ResponseHolder&) = delete;

    uint32_t m_nSize;  // Content-Length, 0xFFFFFFFF while chunked, then bytes in m_pData
    ZStringBuffer<16> m_strLocation;
    uint8_t* m_pData;  // body block (malloc), owned by the holder
    int32_t m_nChunked;
    uint8_t m_bHasBody;
};
static_assert(sizeof(void*) != 4 || sizeof(ResponseHolder) == 52, "ResponseHolder layout");

int HttpDownloadUrl(ResponseHolder* pHolder, const char* szUrl, ZStringBase& strStatus);
// pCancel as for HttpReceive.
int HttpDownload(ResponseHolder* pHolder, const char* szHost, const char* szPath, ZStringBase& strStatus,
                 ISocketCancel* pCancel = nullptr);
// pBytes (may be null) grows by each piece of a length-delimited body as it arrives; another
// thread may read it. pCancel (may be null) is asked while the request waits for the server:
// when it answers true the request ends as a failed receive (or connect).
int HttpReceive(ResponseHolder* pHolder, Socket socket, const char* szHost, const char* szPath, bool bBz2,
                ZStringBase& strStatus, std::atomic<int64_t>* pBytes, ISocketCancel* pCancel = nullptr);

int SendRequest(Socket socket, const char* szHost, const char* szPath, bool bBz2);
int GetHttpHeader(ResponseHolder* pHolder, Socket socket, ZStringBase& strStatus, ISocketCancel* pCancel = nullptr);
// The connection positioned at the first body byte (no chunk decoding); empty without a body.
HttpBodyStream GetRawDataStream(Socket socket, ResponseHolder* pHolder, int& nCode, ISocketCancel* pCancel = nullptr);

SocketAddress ParseHostAddress(const char* szHost);
ZStringBuffer<256> GetHostHeaderName(const char* szHost);
// Reads up to and including the blank line (or until the peer closes); appends a NUL.
int ReadHttpHeader(Socket socket, ZMemoryBuffer& buffer, ISocketCancel* pCancel = nullptr);
bool FindHeaderValue(const char* szName, const char* szHeader, ZStringBase& strValue);
