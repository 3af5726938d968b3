#include "common/system/zwin.h"

#include "common/net/http.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/containers/zmemorybuffer.h"
#include "common/stream/bzipstream.h"
#include "common/system/zlog.h"

namespace
{
const uint32_t kPieceSize = 10000;
const long kMaxChunkSize = 0x100000;
// A header this long is not from a file server; stop before it eats the address space.
const uint32_t kMaxHeaderSize = 1048576;
const int kMaxChunkLine = 1024;

// Low-speed limit (see HttpSetLowSpeedLimit).
std::atomic<uint32_t> g_nLowSpeedBytes(kHttpLowSpeedBytes);
std::atomic<uint32_t> g_nLowSpeedTimeMs(kHttpLowSpeedWindowMs);

void Log(const ZStringBuffer<16>& text)
{
    ZLog::Write(ZLOG_CATEGORY, __FILE__, text.GetData());
}

void FreeBody(ResponseHolder* pHolder)
{
    free(pHolder->m_pData);
    pHolder->m_pData = nullptr;
}

// malloc(0) may give null; an empty body still gets a block.
uint8_t* AllocBody(uint32_t nSize)
{
    return (uint8_t*)malloc(nSize ? nSize : 1);
}

// Waits in slices until the socket has something for a receive (bytes, the peer's close or an
// error: the receive tells which). False, without receiving, when the owner cancels or when
// bExpired() says the wait has gone on too long.
template <class Expired>
bool WaitForBytes(Socket& socket, ISocketCancel* pCancel, Expired bExpired)
{
    for (;;) {
        if (pCancel && pCancel->IsCancelled())
            return false;
        if (socket.WaitReadable(0, kSocketPollMs) != 0)
            return true;
        if (bExpired())
            return false;
    }
}

// One receive of what has arrived; only when nothing has (the socket is non-blocking from the
// header on) the wait for it, in slices: bytes that keep coming cost no wait for the owner's
// cancel or the time limit. Below 0 when it failed: kTooSlow when bExpired() ended the wait,
// kCancelled when the owner cancelled, else the receive's own result.
const int kTooSlow = -2;
const int kCancelled = -3;
template <class Expired>
int ReceiveOrWait(Socket& socket, void* pData, int nCount, ISocketCancel* pCancel, Expired bExpired)
{
    for (;;) {
        if (pCancel && pCancel->IsCancelled())
            return kCancelled;
        int n = socket.Receive(pData, nCount, 0);
        if (n != SOCKET_ERROR || WSAGetLastError() != WSAEWOULDBLOCK)
            return n;
        bool bExpiredNow = false;
        if (!WaitForBytes(socket, pCancel, [&] { return bExpiredNow = bExpired(); }))
            return bExpiredNow ? kTooSlow : kCancelled;
    }
}

// One receive of a body: never waits past the low-speed window, and counts for it.
int ReceiveBody(Socket& socket, void* pData, int nCount, SpeedGuard& speed, ISocketCancel* pCancel)
{
    int n = ReceiveOrWait(socket, pData, nCount, pCancel, [&] { return !speed.Add(0); });
    if (n > 0 && !speed.Add((uint32_t)n))
        return kTooSlow;
    return n;
}

// Splits the host text at ':' into host name and port.
void SplitHost(const char* szHost, ZStringBuffer<256>& strName, int& nPort)
{
    ZStringBuffer<256> astrPieces[3];
    int nPieces = 0;
    const char* p = szHost ? szHost : "";
    for (;;) {
        const char* pColon = strchr(p, ':');
        size_t n = pColon ? (size_t)(pColon - p) : strlen(p);
        if (nPieces < 3)
            astrPieces[nPieces].Assign(p, (int)n);
        ++nPieces;
        if (!pColon)
            break;
        p = pColon + 1;
    }
    // An empty last piece ("host:") is dropped.
    if (nPieces > 1 && nPieces <= 3 && astrPieces[nPieces - 1].IsEmpty())
        --nPieces;
    int nPortPiece = 1;
    strName = astrPieces[0];
    if (strName == "http" && nPieces > 1) {
        strName.Append(":");
        strName.Append(astrPieces[1]);
        nPortPiece = 2;
    }
    nPort = (nPieces > nPortPiece && nPortPiece < 3) ? atoi(astrPieces[nPortPiece].GetData()) : 80;
}

// Receives exactly nCount bytes; the count that arrived before a failure goes to nGot.
bool ReceiveExactly(Socket& socket, uint8_t* pData, uint32_t nCount, uint32_t& nGot, SpeedGuard& speed,
                    ISocketCancel* pCancel)
{
    nGot = 0;
    while (nGot < nCount) {
        int n = ReceiveBody(socket, pData + nGot, (int)(nCount - nGot), speed, pCancel);
        if (n <= 0)
            return false;
        nGot += (uint32_t)n;
    }
    return true;
}

int ReceiveLengthBody(ResponseHolder* pHolder, Socket& socket, std::atomic<int64_t>* pBytes, SpeedGuard& speed,
                      ISocketCancel* pCancel)
{
    uint32_t nSize = pHolder->m_nSize;
    if (nSize > kHttpMaxBody) {
        Log(ZLogText("download failed: body over %u bytes", kHttpMaxBody));
        return HTTP_ERR_BODY;
    }
    pHolder->m_pData = AllocBody(nSize);
    if (!pHolder->m_pData) {
        Log(ZLogText("download failed: no memory for %u bytes", nSize));
        return HTTP_ERR_BODY;
    }
    uint32_t nReceived = 0;
    while (nReceived < nSize) {
        uint32_t nPiece = nSize - nReceived < kPieceSize ? nSize - nReceived : kPieceSize;
        uint32_t nGot;
        bool bOk = ReceiveExactly(socket, pHolder->m_pData + nReceived, nPiece, nGot, speed, pCancel);
        nReceived += nGot;
        if (!bOk) {
            Log(ZLogText("download failed: %d/%d bytes downloaded", (int)nReceived, (int)nSize));
            FreeBody(pHolder);
            return HTTP_ERR_BODY;
        }
        if (pBytes)
            *pBytes += nPiece;
        Sleep(0);
    }
    return HTTP_OK;
}

// The trailer and the final CR LF after the last chunk: left on a persistent connection they
// would be read as the start of the next answer. The body is complete either way, so a failed
// receive here only ends the skip.
void SkipTrailer(Socket& socket, SpeedGuard& speed, ISocketCancel* pCancel)
{
    int nLine = 0;
    for (uint32_t nRead = 0; nRead < kMaxHeaderSize; ++nRead) {
        char c;
        if (ReceiveBody(socket, &c, 1, speed, pCancel) != 1)
            return;
        if (c == '\n') {
            if (nLine == 0)
                return;
            nLine = 0;
        } else if (c != '\r')
            ++nLine;
    }
}

int ReceiveChunkedBody(ResponseHolder* pHolder, Socket& socket, SpeedGuard& speed, ISocketCancel* pCancel)
{
    ZMemoryBuffer body;
    for (;;) {
        char acLine[kMaxChunkLine + 1];
        int nLine = 0;
        while (nLine < 2 || acLine[nLine - 2] != '\r') {
            if (nLine == kMaxChunkLine)
                return HTTP_ERR_BODY;
            if (ReceiveBody(socket, acLine + nLine, 1, speed, pCancel) != 1)
                return HTTP_ERR_BODY;
            ++nLine;
        }
        acLine[nLine] = 0;
        long nChunk = strtol(acLine, nullptr, 16);
        if (nChunk < 0)
            return HTTP_ERR_BODY;
        if (nChunk == 0) {
            SkipTrailer(socket, speed, pCancel);
            break;
        }
        if (nChunk > kMaxChunkSize) {
            Log(ZLogText("HTTP Chunk size %d too big", (int)nChunk));
            return HTTP_ERR_BODY;
        }
        if (body.GetSize() + (uint32_t)nChunk > kHttpMaxBody) {
            Log(ZLogText("download failed: body over %u bytes", kHttpMaxBody));
            return HTTP_ERR_BODY;
        }
        uint8_t* p = (uint8_t*)body.AppendSpace((uint32_t)nChunk);
        if (!p) {
            Log(ZLogText("download failed: no memory for %u bytes", body.GetSize() + (uint32_t)nChunk));
            return HTTP_ERR_BODY;
        }
        uint32_t nGot;
        if (!ReceiveExactly(socket, p, (uint32_t)nChunk, nGot, speed, pCancel))
            return HTTP_ERR_BODY;
        uint8_t abEnd[2];
        if (!ReceiveExactly(socket, abEnd, 2, nGot, speed, pCancel) || abEnd[0] != '\r' || abEnd[1] != '\n')
            return HTTP_ERR_BODY;
    }
    uint32_t nSize = body.GetSize();
    pHolder->m_pData = AllocBody(nSize);
    if (!pHolder->m_pData)
        return HTTP_ERR_BODY;
    if (nSize)
        memcpy(pHolder->m_pData, body.GetData(), nSize);
    pHolder->m_nSize = nSize;
    return HTTP_OK;
}

// The whole ".bz2" stream or nothing: a stream cut before its end marker, a damaged block or
// checksum and a body that would unpack past kHttpMaxBody fail the download. A body that is
// not bzip2 at all gives what came out of it: nothing.
int DecompressBody(ResponseHolder* pHolder)
{
    ZMemoryStream out;
    bool bOk;
    {
        ZMemoryReader reader(pHolder->m_pData, pHolder->m_nSize);
        ZBzipInputStream bzip(&reader);
        uint8_t abPiece[65536];
        uint32_t nTotal = 0;
        int n;
        bOk = true;
        while (bOk && (n = bzip.Read(abPiece, (int)sizeof(abPiece))) > 0) {
            nTotal += (uint32_t)n;
            bOk = nTotal <= kHttpMaxBody && out.Write(abPiece, n);
        }
        if (bOk && !bzip.HasEnded() && !bzip.IsNotBzip2()) {
            Log(ZLogText("download failed: compressed body cut short or damaged"));
            bOk = false;
        } else if (!bOk)
            Log(ZLogText("download failed: body unpacks past %u bytes", kHttpMaxBody));
    }
    uint32_t nSize = out.GetSize();
    uint8_t* pData = bOk ? AllocBody(nSize) : nullptr;
    if (!pData) {
        FreeBody(pHolder);
        return HTTP_ERR_BODY;
    }
    ZMemoryWriter writer(pData, nSize);
    out.WriteTo(writer);
    FreeBody(pHolder);
    pHolder->m_pData = pData;
    pHolder->m_nSize = nSize;
    return HTTP_OK;
}

// One request and answer on the given connection; a redirect is returned, not followed.
// bSuffix asks for the ".bz2" name; bDecompress unpacks the body.
int ReceiveNoFollow(ResponseHolder* pHolder, Socket& socket, const char* szHost, const char* szPath, bool bSuffix,
                    bool bDecompress, ZStringBase& strStatus, std::atomic<int64_t>* pBytes, ISocketCancel* pCancel)
{
    int nResult = SendRequest(socket, szHost, szPath, bSuffix);
    if (nResult != 0)
        return nResult;
    nResult = GetHttpHeader(pHolder, socket, strStatus, pCancel);
    if (nResult != 0)
        return nResult;
    if (!pHolder->m_bHasBody)
        return HTTP_ERR_HEADER;
    ZASSERT(pHolder->m_pData == nullptr);
    SpeedGuard speed(socket.GetIdleLimit());
    if (pHolder->m_nChunked)
        nResult = ReceiveChunkedBody(pHolder, socket, speed, pCancel);
    else
        nResult = ReceiveLengthBody(pHolder, socket, pBytes, speed, pCancel);
    if (nResult != 0)
        return nResult;
    if (bDecompress)
        return DecompressBody(pHolder);
    return HTTP_OK;
}

int DownloadNoFollow(ResponseHolder* pHolder, const char* szHost, const char* szPath, ZStringBase& strStatus,
                     bool bDecompress = false, std::atomic<int64_t>* pBytes = nullptr, ISocketCancel* pCancel = nullptr)
{
    if (!szHost || !*szHost)
        return HTTP_ERR_SOCKET;
    Socket socket = Socket::Create(0, 0, 0);
    // A failed connect shows up as the failure of the request's send (HTTP_ERR_SOCKET once the
    // connect was given up, which closes the socket).
    if (socket.IsValid())
        HttpConnect(socket, ParseHostAddress(szHost), pCancel);
    ZStringBuffer<256> strHost = GetHostHeaderName(szHost);
    return ReceiveNoFollow(pHolder, socket, strHost.GetData(), szPath, false, bDecompress, strStatus, pBytes, pCancel);
    // The connection closes here, with its last copy.
}

int DownloadUrlNoFollow(ResponseHolder* pHolder, const char* szUrl, ZStringBase& strStatus, bool bDecompress = false,
                        std::atomic<int64_t>* pBytes = nullptr, ISocketCancel* pCancel = nullptr)
{
    if (!szUrl || strncmp(szUrl, "http://", 7) != 0)
        return HTTP_ERR_URL;
    const char* pSlash = strchr(szUrl + 7, '/');
    if (!pSlash)
        return HTTP_ERR_URL;
    ZStringBuffer<256> strHost;
    strHost.Assign(szUrl + 7, (int)(pSlash - (szUrl + 7)));
    return DownloadNoFollow(pHolder, strHost.GetData(), pSlash + 1, strStatus, bDecompress, pBytes, pCancel);
}

// Each hop runs on a new connection that is closed before the next one opens, without the
// caller's byte counter. The Location of a ".bz2" request names the compressed file itself: it
// is fetched as given and still unpacked.
int FollowRedirects(ResponseHolder* pHolder, ZStringBase& strStatus, int nResult, bool bDecompress = false,
                    ISocketCancel* pCancel = nullptr)
{
    int nHops = 0;
    while (nResult == HTTP_ERR_REDIRECT && pHolder->m_strLocation.GetLength() > 1) {
        if (pCancel && pCancel->IsCancelled())
            return HTTP_ERR_REDIRECT;
        if (nHops == kHttpMaxRedirects) {
            Log(ZLogText("HTTP redirect limit (%d) reached at %s", kHttpMaxRedirects,
                         pHolder->m_strLocation.GetData()));
            return HTTP_ERR_REDIRECT;
        }
        ++nHops;
        ZStringBuffer<256> strUrl(pHolder->m_strLocation);
        nResult = DownloadUrlNoFollow(pHolder, strUrl.GetData(), strStatus, bDecompress, nullptr, pCancel);
    }
    return nResult;
}

bool EqualNoCaseN(const char* a, const char* b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        char ca = a[i], cb = b[i];
        if (ca >= 'A' && ca <= 'Z')
            ca = (char)(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z')
            cb = (char)(cb - 'A' + 'a');
        if (ca != cb)
            return false;
    }
    return true;
}
}  // namespace

ResponseHolder::~ResponseHolder()
{
    free(m_pData);
    m_pData = nullptr;
    m_nSize = 0;
    m_nChunked = 0;
    m_bHasBody = 0;
    m_strLocation.Clear();
}

int HttpDownloadUrl(ResponseHolder* pHolder, const char* szUrl, ZStringBase& strStatus)
{
    return FollowRedirects(pHolder, strStatus, DownloadUrlNoFollow(pHolder, szUrl, strStatus));
}

int HttpDownload(ResponseHolder* pHolder, const char* szHost, const char* szPath, ZStringBase& strStatus,
                 ISocketCancel* pCancel)
{
    int nResult = DownloadNoFollow(pHolder, szHost, szPath, strStatus, false, nullptr, pCancel);
    return FollowRedirects(pHolder, strStatus, nResult, false, pCancel);
}

SpeedGuard::SpeedGuard(int nIdleLimitMs)
    : m_nStart(GetTickCount()), m_nBytes(0), m_nLimit(g_nLowSpeedBytes), m_nWindow(g_nLowSpeedTimeMs),
      m_nIdleLimit(nIdleLimitMs > 0 ? (uint32_t)nIdleLimitMs : 0), m_nLastBytes(m_nStart), m_bIdle(false)
{
}

bool SpeedGuard::Add(uint32_t nBytes)
{
    m_nBytes += nBytes;
    uint32_t nNow = GetTickCount();
    if (nBytes > 0)
        m_nLastBytes = nNow;
    else if (m_nIdleLimit && nNow - m_nLastBytes >= m_nIdleLimit) {
        m_bIdle = true;
        return false;
    }
    if (nNow - m_nStart < m_nWindow)
        return true;
    if (m_nBytes < m_nLimit)
        return false;
    m_nStart = nNow;
    m_nBytes = 0;
    return true;
}

int HttpBodyStream::Read(void* pBuffer, int nCount)
{
    int nRead = ReceiveBody(m_Stream.GetSocket(), pBuffer, nCount, m_Speed, m_pCancel);
    if (nRead == kTooSlow)
        Log(m_Speed.IsIdle() ? ZLogText("download failed: body silent past the connection's time-out")
                             : ZLogText("download failed: body below the low-speed limit"));
    return nRead < 0 ? -1 : nRead;
}

void HttpSetLowSpeedLimit(uint32_t nBytes, uint32_t nMilliseconds)
{
    g_nLowSpeedBytes = nBytes;
    g_nLowSpeedTimeMs = nMilliseconds;
}

bool HttpConnect(Socket& socket, const SocketAddress& address, ISocketCancel* pCancel, int nTimeoutMs)
{
    int nSocketMs = nTimeoutMs > 0 ? nTimeoutMs : (int)kHttpLowSpeedWindowMs;
    socket.SetSendTimeout(nSocketMs);
    socket.SetReceiveTimeout(nSocketMs);
    socket.SetIdleLimit(nTimeoutMs > 0 ? nTimeoutMs : 0);
    return socket.Connect(address, kSocketConnectTimeoutMs, pCancel);
}

int HttpReceive(ResponseHolder* pHolder, Socket socket, const char* szHost, const char* szPath, bool bBz2,
                ZStringBase& strStatus, std::atomic<int64_t>* pBytes, ISocketCancel* pCancel)
{
    int nResult = ReceiveNoFollow(pHolder, socket, szHost, szPath, bBz2, bBz2, strStatus, pBytes, pCancel);
    return FollowRedirects(pHolder, strStatus, nResult, bBz2, pCancel);
}

int SendRequest(Socket socket, const char* szHost, const char* szPath, bool bBz2)
{
    if (!socket.IsValid())
        return HTTP_ERR_SOCKET;
    ZStringBuffer<4096> strRequest;
    strRequest.Format("GET /%s%s HTTP/1.1\r\nHost: %s\r\nAccept: */*\r\n\r\n", szPath ? szPath : "", bBz2 ? ".bz2" : "",
                      szHost ? szHost : "");
    int nLength = strRequest.GetLength();
    int nSent = socket.SendAll(strRequest.GetData(), nLength, 0);
    if (nSent != nLength) {
        int nCode = WSAGetLastError();
        if (nCode == 0)
            nCode = HTTP_ERR_SEND;
        Log(ZLogText("Could not send file request to host: %s (error 0x%p)", szHost ? szHost : "",
                     (void*)(intptr_t)nCode));
        return nCode;
    }
    return HTTP_OK;
}

int ReadHttpHeader(Socket socket, ZMemoryBuffer& buffer, ISocketCancel* pCancel)
{
    int nEnds = 0;
    char cLastEnd = '\n';
    uint32_t nRead = 0;
    const uint32_t nStart = GetTickCount();
    const uint32_t nWindow = g_nLowSpeedTimeMs;
    // On a connection with a time-out of its own, a silence that long ends the header too.
    const uint32_t nIdleLimit = (uint32_t)socket.GetIdleLimit();
    uint32_t nQuietSince = nStart, nSeen = 0;
    auto bExpired = [&] {
        uint32_t nNow = GetTickCount();
        if (nSeen != nRead) {  // bytes came since the last look
            nSeen = nRead;
            nQuietSince = nNow;
        }
        return nNow - nStart >= nWindow || (nIdleLimit && nNow - nQuietSince >= nIdleLimit);
    };
    // Non-blocking from here on, for the body too: each receive takes what has arrived, and
    // only an empty socket is waited for (ReceiveOrWait).
    if (!socket.SetBlocking(false))
        return HTTP_ERR_HEADER;
    while (nEnds < 4) {
        char c;
        int n = ReceiveOrWait(socket, &c, 1, pCancel, bExpired);
        if (n == 0)
            break;
        // Bounded in size and in time: a header is a few hundred bytes that come at once.
        if (n < 0 || ++nRead > kMaxHeaderSize || GetTickCount() - nStart >= nWindow)
            return HTTP_ERR_HEADER;
        if (!buffer.AppendByte((unsigned char)c))
            return HTTP_ERR_HEADER;
        if (c == cLastEnd)
            continue;
        if (c == '\r' || c == '\n') {
            ++nEnds;
            cLastEnd = c;
        } else {
            nEnds = 0;
            cLastEnd = '\n';
        }
    }
    if (!buffer.AppendByte(0))
        return HTTP_ERR_HEADER;
    return HTTP_OK;
}

bool FindHeaderValue(const char* szName, const char* szHeader, ZStringBase& strValue)
{
    size_t nName = strlen(szName);
    if (nName == 0)
        return false;
    for (const char* p = szHeader; *p; ++p) {
        if (!EqualNoCaseN(p, szName, nName))
            continue;
        const char* v = p + nName;
        if (*v)
            ++v;  // the ':'
        while (*v == ' ')
            ++v;
        size_t n = strcspn(v, "\r\n");
        strValue.Assign(v, (int)n);
        return true;
    }
    return false;
}

int GetHttpHeader(ResponseHolder* pHolder, Socket socket, ZStringBase& strStatus, ISocketCancel* pCancel)
{
    ZMemoryBuffer buffer;
    int nResult = ReadHttpHeader(socket, buffer, pCancel);
    if (nResult != 0)
        return nResult;
    const char* szHeader = (const char*)buffer.GetData();
    const char* pCr = strchr(szHeader, '\r');
    strStatus.Assign(szHeader, pCr ? (int)(pCr - szHeader) : -1);

    char acProtocol[1024], acReason[1024];
    int nCode = 0;
    if (sscanf(strStatus.GetData(), "%1023s %d %1023s", acProtocol, &nCode, acReason) < 2)
        nCode = 0;

    ZStringBuffer<256> strValue;
    if (nCode == 200) {
        pHolder->m_bHasBody = 0;
        if (FindHeaderValue("Transfer-Encoding", szHeader, strValue) && strValue == "chunked") {
            pHolder->m_nChunked = 1;
            pHolder->m_nSize = 0xFFFFFFFFu;
            pHolder->m_bHasBody = 1;
        }
        if (FindHeaderValue("Content-Length", szHeader, strValue)) {
            // Lengths beyond 32 bits cannot be held; they fail at the allocation.
            unsigned long long nLength = strtoull(strValue.GetData(), nullptr, 10);
            if (strValue.GetData()[strspn(strValue.GetData(), " \t")] == '-' || nLength > 0xFFFFFFFFull)
                nLength = 0xFFFFFFFFull;
            pHolder->m_nSize = (uint32_t)nLength;
            pHolder->m_bHasBody = 1;
        }
        return HTTP_OK;
    }
    if (nCode == 301 || nCode == 302 || nCode == 303) {
        if (FindHeaderValue("Location", szHeader, strValue)) {
            pHolder->m_strLocation = strValue;
            return HTTP_ERR_REDIRECT;
        }
        pHolder->m_bHasBody = 0;
        return HTTP_ERR_HEADER;
    }
    return HTTP_ERR_HEADER;
}

HttpBodyStream GetRawDataStream(Socket socket, ResponseHolder* pHolder, int& nCode, ISocketCancel* pCancel)
{
    if (pHolder->m_bHasBody) {
        nCode = 0;
        return HttpBodyStream(socket, pCancel);
    }
    return HttpBodyStream();
}

SocketAddress ParseHostAddress(const char* szHost)
{
    ZStringBuffer<256> strName;
    int nPort;
    SplitHost(szHost, strName, nPort);
    SocketAddress address = SocketAddress::Resolve(strName.GetData());
    address.SetPort((uint16_t)nPort);
    return address;
}

ZStringBuffer<256> GetHostHeaderName(const char* szHost)
{
    ZStringBuffer<256> strName;
    int nPort;
    SplitHost(szHost, strName, nPort);
    return strName;
}
