// Minimal HTTP/1.1 download client for the file servers: one GET, a body with Content-Length or
// chunked coding, redirects 301/302/303, optionally the ".bz2" form decompressed.
#pragma once
#include <stdint.h>

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
// Largest body collected from chunks, and largest ".bz2" body after decompression: what a
// 32-bit process can hold twice (the collecting buffer and the final block). Larger ones fail
// with HTTP_ERR_BODY.
const uint32_t kHttpMaxBody = 0x8000000;

// Low-speed limit: fewer than nBytes received in any window of nMilliseconds ends the request
// as a receive failure (the header with HTTP_ERR_HEADER, the body with HTTP_ERR_BODY); a header
// that takes longer than one window fails too. A silent server is left to the socket's receive
// time-out (HttpDownload sets its own). Default: 1024 bytes in 30 s.
void HttpSetLowSpeedLimit(uint32_t nBytes, uint32_t nMilliseconds);

// Counts the bytes of a request's receives per window of the low-speed limit (as set when it
// is made); a window that ends with fewer than the limit fails the request. Checked after each
// receive: a silent peer is left to the time-out.
class SpeedGuard
{
public:
    SpeedGuard();
    // False once a window has ended with too few bytes.
    bool Add(uint32_t nBytes);

private:
    uint32_t m_nStart;
    uint32_t m_nBytes;
    uint32_t m_nLimit;
    uint32_t m_nWindow;
};

// A body read straight from the connection (GetRawDataStream), under the low-speed limit from
// its first byte on: a read that ends a window too slow gives -1, as a failed receive does.
class HttpBodyStream : public IInputStream
{
public:
    HttpBodyStream() {}
    explicit HttpBodyStream(const Socket& socket) : m_Stream(socket) {}

    bool IsOpen() override { return m_Stream.IsOpen(); }
    int GetRemaining() override { return m_Stream.GetRemaining(); }
    int Read(void* pBuffer, int nCount) override;

private:
    ZSocketStream m_Stream;
    SpeedGuard m_Speed;
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
int HttpDownload(ResponseHolder* pHolder, const char* szHost, const char* szPath, ZStringBase& strStatus);
// pBytes (may be null) grows by each piece of a length-delimited body as it arrives.
int HttpReceive(ResponseHolder* pHolder, Socket socket, const char* szHost, const char* szPath, bool bBz2,
                ZStringBase& strStatus, int64_t* pBytes);

int SendRequest(Socket socket, const char* szHost, const char* szPath, bool bBz2);
int GetHttpHeader(ResponseHolder* pHolder, Socket socket, ZStringBase& strStatus);
// The connection positioned at the first body byte (no chunk decoding); empty without a body.
HttpBodyStream GetRawDataStream(Socket socket, ResponseHolder* pHolder, int& nCode);

SocketAddress ParseHostAddress(const char* szHost);
ZStringBuffer<256> GetHostHeaderName(const char* szHost);
// Reads up to and including the blank line (or until the peer closes); appends a NUL.
int ReadHttpHeader(Socket socket, ZMemoryBuffer& buffer);
bool FindHeaderValue(const char* szName, const char* szHeader, ZStringBase& strValue);
