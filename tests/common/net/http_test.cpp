// Runs against tools/fileserver.py and nginx, started by run_http_tests.py, which passes the
// ports in IVL_HTTP_PORT / IVL_NGINX_PORT and the served folder in IVL_HTTP_ROOT.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/containers/zmemorybuffer.h"
#include "common/net/http.h"
#include "common/system/path.h"
#include "common/system/zlog.h"

#include "testhelpers.h"

namespace
{
using ivltest::EnvText;

std::string RootFile(const char* szName)
{
    ZStringBuffer<256> strPath;
    JoinPath2(strPath, EnvText("IVL_HTTP_ROOT").c_str(), szName);
    return ivltest::ReadWholeFile(strPath.GetData());
}

std::string Body(const ResponseHolder& holder)
{
    return holder.m_pData ? std::string((const char*)holder.m_pData, holder.m_nSize) : std::string();
}

Socket Connect(const std::string& strPort, int nReceiveTimeoutMs = 10000)
{
    Socket socket = Socket::Create(0, 0, 0);
    socket.SetReceiveTimeout(nReceiveTimeoutMs);
    SocketAddress address;
    address.Set(127, 0, 0, 1, (uint16_t)atoi(strPort.c_str()));
    EXPECT_TRUE(socket.Connect(address));
    return socket;
}

int StatValue(const std::string& stats, const std::string& key)
{
    size_t n = stats.find("\"" + key + "\": ");
    return n == std::string::npos ? -1 : atoi(stats.c_str() + n + key.size() + 4);
}

class Http : public ivltest::WinsockTest
{
protected:
    void SetUp() override
    {
        m_strPort = EnvText("IVL_HTTP_PORT");
        m_strHost = "127.0.0.1:" + m_strPort;
    }
    bool LogHas(const std::string& text) { return m_Log.Has(text, "common.net"); }

    bool NeedServer()
    {
        if (m_strPort.empty())
            return false;
        return true;
    }

    std::string Stats()
    {
        ResponseHolder holder;
        ZStringBuffer<256> strStatus;
        EXPECT_EQ(0, HttpDownload(&holder, m_strHost.c_str(), "_stats", strStatus));
        return Body(holder);
    }

    ivltest::LogCapture m_Log;
    std::string m_strPort;
    std::string m_strHost;
};

#define REQUIRE_SERVER()                                                                                               \
    if (!NeedServer())                                                                                                 \
    GTEST_SKIP() << "no file server (run through run_http_tests.py)"

TEST_F(Http, UrlsThatAreNotHttpFailWithoutConnecting)
{
    const char* aszUrls[] = {"HTTPS://host/x", "ftp://host/x", "http://host", "http://", "", "http:/host/x"};
    for (const char* szUrl : aszUrls) {
        ResponseHolder holder;
        ZStringBuffer<256> strStatus("before");
        EXPECT_EQ(HTTP_ERR_URL, HttpDownloadUrl(&holder, szUrl, strStatus)) << szUrl;
        EXPECT_STREQ("before", strStatus.GetData());
    }
}

TEST_F(Http, HostTextGivesAddressAndHostLine)
{
    struct Case
    {
        const char* szHost;
        const char* szHeaderName;
        int nPort;
        bool bResolved;
    };
    const Case aCases[] = {
        {"127.0.0.1:8080", "127.0.0.1", 8080, true},
        {"127.0.0.1:", "127.0.0.1", 80, true},
        {"127.0.0.1", "127.0.0.1", 80, true},
        {"10.1.2.3:1", "10.1.2.3", 1, true},
        {"http:127.0.0.1:81", "http:127.0.0.1", 81, false},
    };
    for (const Case& c : aCases) {
        EXPECT_STREQ(c.szHeaderName, GetHostHeaderName(c.szHost).GetData()) << c.szHost;
        SocketAddress address = ParseHostAddress(c.szHost);
        EXPECT_EQ(c.bResolved, address.IsSet()) << c.szHost;
        EXPECT_EQ(c.nPort, address.GetPort()) << c.szHost;
    }
    SocketAddress address = ParseHostAddress("127.0.0.1:8080");
    EXPECT_STREQ("127.0.0.1:8080", address.ToString().GetData());
}

TEST_F(Http, FindHeaderValue)
{
    const char* szHeader =
        "HTTP/1.1 200 OK\r\ncontent-length:    42\r\nX-Empty:\r\nLocation: http://a/b c\r\nLast: end";
    struct Case
    {
        const char* szName;
        bool bFound;
        const char* szValue;
    };
    const Case aCases[] = {
        {"Content-Length", true, "42"},
        {"CONTENT-LENGTH", true, "42"},
        {"X-Empty", true, ""},
        {"Location", true, "http://a/b c"},
        {"Last", true, "end"},
        {"Transfer-Encoding", false, "unchanged"},
        {"end", true, ""},
    };
    for (const Case& c : aCases) {
        ZStringBuffer<256> strValue("unchanged");
        EXPECT_EQ(c.bFound, FindHeaderValue(c.szName, szHeader, strValue)) << c.szName;
        EXPECT_STREQ(c.szValue, strValue.GetData()) << c.szName;
    }
}

TEST_F(Http, ResultOfEveryKindOfAnswer)
{
    REQUIRE_SERVER();
    struct Case
    {
        const char* szPath;
        int nResult;
        const char* szBodyFile;  // expected body: a file of the served folder
        const char* szBody;      // or this text (when no file)
        const char* szStatus;    // expected status line (prefix)
        const char* szLog;       // a log line that must appear
    };
    const Case aCases[] = {
        {"a.txt", 0, "a.txt", nullptr, "HTTP/1.1 200 OK", nullptr},
        {"dir/a.txt", 0, "dir/a.txt", nullptr, "HTTP/1.1 200 OK", nullptr},
        {"empty.bin", 0, nullptr, "", "HTTP/1.1 200 OK", nullptr},
        {"length/zero", 0, nullptr, "", "HTTP/1.1 200 OK", nullptr},
        {"big.bin", 0, "big.bin", nullptr, "HTTP/1.1 200 OK", nullptr},
        {"chunked/big.bin", 0, "big.bin", nullptr, "HTTP/1.1 200 OK", nullptr},
        {"chunked/a.txt", 0, "a.txt", nullptr, "HTTP/1.1 200 OK", nullptr},
        {"chunked/max.bin", 0, "max.bin", nullptr, "HTTP/1.1 200 OK", nullptr},
        {"chunked/empty", 0, nullptr, "", "HTTP/1.1 200 OK", nullptr},
        {"chunked/both", 0, "a.txt", nullptr, "HTTP/1.1 200 OK", nullptr},
        {"chunk/extension", 0, nullptr, "hello", "HTTP/1.1 200 OK", nullptr},
        {"slow", 0, "a.txt", nullptr, "HTTP/1.1 200 OK", nullptr},
        {"trickle", 0, "mid.bin", nullptr, "HTTP/1.1 200 OK", nullptr},
        {"redirect/301", 0, "a.txt", nullptr, "HTTP/1.1 200 OK", nullptr},
        {"redirect/302", 0, "a.txt", nullptr, "HTTP/1.1 200 OK", nullptr},
        {"redirect/303", 0, "a.txt", nullptr, "HTTP/1.1 200 OK", nullptr},
        {"redirect/chain", 0, "a.txt", nullptr, "HTTP/1.1 200 OK", nullptr},
        {"chunked/capital", HTTP_ERR_HEADER, nullptr, nullptr, "HTTP/1.1 200 OK", nullptr},
        {"length/none", HTTP_ERR_HEADER, nullptr, nullptr, "HTTP/1.1 200 OK", nullptr},
        {"missing", HTTP_ERR_HEADER, nullptr, nullptr, "HTTP/1.1 404 Not Found", nullptr},
        {"status/500", HTTP_ERR_HEADER, nullptr, nullptr, "HTTP/1.1 500 Internal Server Error", nullptr},
        {"status/garbage", HTTP_ERR_HEADER, nullptr, nullptr, "garbage", nullptr},
        {"status/closed", HTTP_ERR_HEADER, nullptr, nullptr, "", nullptr},
        {"redirect/none", HTTP_ERR_HEADER, nullptr, nullptr, "HTTP/1.1 302 Found", nullptr},
        {"redirect/missing", HTTP_ERR_HEADER, nullptr, nullptr, "HTTP/1.1 404 Not Found", nullptr},
        {"chunk/toobig", HTTP_ERR_BODY, nullptr, nullptr, "HTTP/1.1 200 OK", "HTTP Chunk size 1048577 too big"},
        {"chunk/badend", HTTP_ERR_BODY, nullptr, nullptr, "HTTP/1.1 200 OK", nullptr},
        {"chunk/short", HTTP_ERR_BODY, nullptr, nullptr, "HTTP/1.1 200 OK", nullptr},
        {"chunk/negative", HTTP_ERR_BODY, nullptr, nullptr, "HTTP/1.1 200 OK", nullptr},
        {"chunk/noline", HTTP_ERR_BODY, nullptr, nullptr, "HTTP/1.1 200 OK", nullptr},
        {"chunk/longline", HTTP_ERR_BODY, nullptr, nullptr, "HTTP/1.1 200 OK", nullptr},
        {"length/cut", HTTP_ERR_BODY, nullptr, nullptr, "HTTP/1.1 200 OK",
         "download failed: 500/1000 bytes downloaded"},
        // An announced length that cannot be held or allocated fails instead of receiving into nothing.
        {"length/huge", HTTP_ERR_BODY, nullptr, nullptr, "HTTP/1.1 200 OK", "download failed"},
        {"length/beyond32", HTTP_ERR_BODY, nullptr, nullptr, "HTTP/1.1 200 OK", "download failed"},
        // A header ended by LF LF is read until the server closes: the body is taken into it.
        {"lflf", HTTP_ERR_BODY, nullptr, nullptr, "HTTP/1.1 200 OK\nContent-Length: 3\n\nabc", "download failed: 0/3"},
        {"redirect/empty", HTTP_ERR_REDIRECT, nullptr, nullptr, "HTTP/1.1 302 Found", nullptr},
        {"redirect/short", HTTP_ERR_REDIRECT, nullptr, nullptr, "HTTP/1.1 302 Found", nullptr},
        {"redirect/loop", HTTP_ERR_REDIRECT, nullptr, nullptr, "HTTP/1.1 302 Found", "HTTP redirect limit"},
        {"redirect/ftp", HTTP_ERR_URL, nullptr, nullptr, "HTTP/1.1 302 Found", nullptr},
    };
    for (const Case& c : aCases) {
        m_Log.Clear();
        ResponseHolder holder;
        ZStringBuffer<256> strStatus;
        int nResult = HttpDownload(&holder, m_strHost.c_str(), c.szPath, strStatus);
        EXPECT_EQ(c.nResult, nResult) << c.szPath;
        EXPECT_EQ(0, strncmp(strStatus.GetData(), c.szStatus, strlen(c.szStatus)))
            << c.szPath << ": " << strStatus.GetData();
        if (c.nResult == 0) {
            std::string expected = c.szBodyFile ? RootFile(c.szBodyFile) : c.szBody;
            ASSERT_NE(nullptr, holder.m_pData) << c.szPath;
            EXPECT_EQ(expected.size(), holder.m_nSize) << c.szPath;
            EXPECT_TRUE(Body(holder) == expected) << c.szPath;
        } else {
            EXPECT_EQ(nullptr, holder.m_pData) << c.szPath << ": no body block after a failure";
        }
        if (c.szLog) {
            EXPECT_TRUE(LogHas(c.szLog)) << c.szPath << " should log " << c.szLog;
        }
    }
}

TEST_F(Http, HolderFieldsAfterHeaders)
{
    REQUIRE_SERVER();
    ZStringBuffer<256> strStatus;
    {
        ResponseHolder holder;
        EXPECT_EQ(HTTP_ERR_REDIRECT, HttpDownload(&holder, m_strHost.c_str(), "redirect/short", strStatus));
        EXPECT_STREQ("x", holder.m_strLocation.GetData());
    }
    Socket socket = Connect(m_strPort);
    {
        ResponseHolder holder;
        ASSERT_EQ(0, SendRequest(socket, "127.0.0.1", "chunked/a.txt", false));
        EXPECT_EQ(0, GetHttpHeader(&holder, socket, strStatus));
        EXPECT_EQ(1, holder.m_nChunked);
        EXPECT_EQ(0xFFFFFFFFu, holder.m_nSize);
        EXPECT_EQ(1, holder.m_bHasBody);
    }
    {
        ResponseHolder holder;
        Socket other = Connect(m_strPort);
        ASSERT_EQ(0, SendRequest(other, "127.0.0.1", "a.txt", false));
        EXPECT_EQ(0, GetHttpHeader(&holder, other, strStatus));
        EXPECT_EQ(0, holder.m_nChunked);
        EXPECT_EQ(27u, holder.m_nSize);
        EXPECT_EQ(1, holder.m_bHasBody);
        EXPECT_EQ(nullptr, holder.m_pData);
    }
}

TEST_F(Http, RedirectLoopIsBoundedAndClosesEachConnection)
{
    REQUIRE_SERVER();
    ResponseHolder reset;
    ZStringBuffer<256> strStatus;
    ASSERT_EQ(0, HttpDownload(&reset, m_strHost.c_str(), "_stats/reset", strStatus));

    ResponseHolder holder;
    std::string url = "http://" + m_strHost + "/redirect/loop";
    EXPECT_EQ(HTTP_ERR_REDIRECT, HttpDownloadUrl(&holder, url.c_str(), strStatus));
    EXPECT_EQ(nullptr, holder.m_pData);

    std::string stats = Stats();
    EXPECT_EQ(1 + kHttpMaxRedirects, StatValue(stats, "/redirect/loop")) << stats;
    // Without closing, every hop's connection would still be open at the last one.
    EXPECT_LE(StatValue(stats, "max_open"), 2) << stats;
}

TEST_F(Http, RequestIsExactlyGetHostAccept)
{
    REQUIRE_SERVER();
    struct Case
    {
        std::string url;
        const char* szExpected;
    };
    const Case aCases[] = {
        {"http://127.0.0.1:" + m_strPort + "/echo/dir/a.txt",
         "GET /echo/dir/a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n"},
        {"http://localhost:" + m_strPort + "/echo/x", "GET /echo/x HTTP/1.1\r\nHost: localhost\r\nAccept: */*\r\n\r\n"},
    };
    for (const Case& c : aCases) {
        ResponseHolder holder;
        ZStringBuffer<256> strStatus;
        ASSERT_EQ(0, HttpDownloadUrl(&holder, c.url.c_str(), strStatus)) << c.url;
        EXPECT_EQ(c.szExpected, Body(holder));
    }
    ResponseHolder holder;
    Socket socket = Connect(m_strPort);
    ZStringBuffer<256> strStatus;
    ASSERT_EQ(0, HttpReceive(&holder, socket, "files.example", "echo/packed", true, strStatus, nullptr));
    // The ".bz2" request of an echo answer is not bzip2: the body decompresses to nothing.
    EXPECT_EQ(0u, holder.m_nSize);
    ResponseHolder raw;
    ASSERT_EQ(0, SendRequest(socket, "files.example", "echo/packed", true));
    ASSERT_EQ(0, GetHttpHeader(&raw, socket, strStatus));
    std::string request(raw.m_nSize, 0);
    ASSERT_EQ((int)raw.m_nSize, socket.ReceiveAll(&request[0], (int)raw.m_nSize, 0));
    EXPECT_EQ("GET /echo/packed.bz2 HTTP/1.1\r\nHost: files.example\r\nAccept: */*\r\n\r\n", request);
}

TEST_F(Http, PersistentConnectionAndByteCounter)
{
    REQUIRE_SERVER();
    Socket socket = Connect(m_strPort);
    std::atomic<int64_t> nBytes(0);
    struct Step
    {
        const char* szPath;
        const char* szFile;
        int64_t nCounter;  // counter after the step
    };
    // Only length-delimited bodies advance the counter, and a redirect's hop (another
    // request) does not carry it.
    const Step aSteps[] = {{"a.txt", "a.txt", 27},
                           {"dir/a.txt", "dir/a.txt", 39},
                           {"chunked/a.txt", "a.txt", 39},
                           {"big.bin", "big.bin", 39 + 300000},
                           {"redirect/302", "a.txt", 39 + 300000}};
    for (const Step& s : aSteps) {
        ResponseHolder holder;
        ZStringBuffer<256> strStatus;
        ASSERT_EQ(0, HttpReceive(&holder, socket, "127.0.0.1", s.szPath, false, strStatus, &nBytes)) << s.szPath;
        EXPECT_TRUE(Body(holder) == RootFile(s.szFile)) << s.szPath;
        EXPECT_EQ(s.nCounter, nBytes) << s.szPath;
    }
}

TEST_F(Http, Bzip2Form)
{
    REQUIRE_SERVER();
    const std::string data = RootFile("data");
    ASSERT_FALSE(data.empty());
    struct Case
    {
        const char* szPath;
        int nResult;
        const std::string* pExpected;
    };
    const std::string empty;
    const Case aCases[] = {
        {"data", 0, &data},
        // A redirect of the ".bz2" name leads to the compressed file: still unpacked.
        {"redirect/data", 0, &data},
        // Not bzip2: a decompression error is not reported, the body is what came out.
        {"plain", 0, &empty},
        {"nothing", HTTP_ERR_HEADER, nullptr},
    };
    for (const Case& c : aCases) {
        Socket socket = Connect(m_strPort);
        ResponseHolder holder;
        ZStringBuffer<256> strStatus;
        std::atomic<int64_t> nBytes(0);
        EXPECT_EQ(c.nResult, HttpReceive(&holder, socket, "127.0.0.1", c.szPath, true, strStatus, &nBytes)) << c.szPath;
        if (c.pExpected) {
            EXPECT_EQ(c.pExpected->size(), holder.m_nSize) << c.szPath;
            EXPECT_TRUE(Body(holder) == *c.pExpected) << c.szPath;
        }
    }
}

TEST_F(Http, RawDataStreamStartsAtTheBody)
{
    REQUIRE_SERVER();
    Socket socket = Connect(m_strPort);
    ResponseHolder holder;
    ZStringBuffer<256> strStatus;
    ASSERT_EQ(0, SendRequest(socket, "127.0.0.1", "big.bin", false));
    ASSERT_EQ(0, GetHttpHeader(&holder, socket, strStatus));
    int nCode = 77;
    HttpBodyStream stream = GetRawDataStream(socket, &holder, nCode);
    EXPECT_EQ(0, nCode);
    ASSERT_TRUE(stream.IsOpen());
    std::string body;
    char ac[7000];
    while (body.size() < holder.m_nSize) {
        int n = stream.Read(ac, (int)std::min(sizeof(ac), holder.m_nSize - body.size()));
        ASSERT_GT(n, 0);
        body.append(ac, (size_t)n);
    }
    EXPECT_TRUE(body == RootFile("big.bin"));

    ResponseHolder missing;
    ASSERT_EQ(0, SendRequest(socket, "127.0.0.1", "missing", false));
    EXPECT_EQ(HTTP_ERR_HEADER, GetHttpHeader(&missing, socket, strStatus));
    nCode = 77;
    HttpBodyStream none = GetRawDataStream(socket, &missing, nCode);
    EXPECT_FALSE(none.IsOpen());
    EXPECT_EQ(77, nCode) << "left as it was";
}

TEST_F(Http, ConnectionFailures)
{
    ZStringBuffer<256> strStatus;
    {
        ResponseHolder holder;
        EXPECT_EQ(HTTP_ERR_SOCKET, HttpDownload(&holder, "", "a.txt", strStatus));
        EXPECT_EQ(HTTP_ERR_SOCKET, HttpReceive(&holder, Socket(), "h", "a.txt", false, strStatus, nullptr));
        EXPECT_EQ(HTTP_ERR_SOCKET, SendRequest(Socket(), "h", "a.txt", false));
    }
    // A socket that never connected: the send fails with the system's error code.
    m_Log.Clear();
    int nCode = SendRequest(Socket::Create(0, 0, 0), "nowhere", "a.txt", false);
    EXPECT_GT(nCode, 0);
    EXPECT_TRUE(LogHas("Could not send file request to host: nowhere (error 0x")) << nCode;

    // A port that nobody listens on.
    Socket probe = Socket::Create(0, 0, 0);
    SocketAddress address;
    address.Set(127, 0, 0, 1, 0);
    ASSERT_TRUE(probe.Bind(address));
    std::string host = "127.0.0.1:" + std::to_string(probe.GetLocalAddress().GetPort());
    probe = Socket();
    ResponseHolder holder;
    EXPECT_GT(HttpDownload(&holder, host.c_str(), "a.txt", strStatus), 0);
    EXPECT_EQ(nullptr, holder.m_pData);
}

// One time-out policy on every path: a server that says nothing for a whole low-speed window
// is given up (a shortened one here), also on a connection with a socket time-out of its own.
TEST_F(Http, SilentServer)
{
    REQUIRE_SERVER();
    HttpSetLowSpeedLimit(1024, 1500);
    ResponseHolder holder;
    ZStringBuffer<256> strStatus;
    DWORD nStart = GetTickCount();
    EXPECT_EQ(HTTP_ERR_HEADER,
              HttpReceive(&holder, Connect(m_strPort, 300), "127.0.0.1", "silent", false, strStatus, nullptr));
    EXPECT_GE(GetTickCount() - nStart, 1400u);
    EXPECT_LT(GetTickCount() - nStart, 10000u);

    nStart = GetTickCount();
    EXPECT_EQ(HTTP_ERR_HEADER, HttpDownload(&holder, m_strHost.c_str(), "silent", strStatus));
    EXPECT_LT(GetTickCount() - nStart, 10000u);
    HttpSetLowSpeedLimit(kHttpLowSpeedBytes, kHttpLowSpeedWindowMs);
}

// A server that pauses 9 s inside a body and then goes on is still moving: on the unique-list
// path, which has no time-out of its own, the download succeeds. A connection made as the
// workers make theirs has the file servers' time-out: the silence ends that attempt after it
// (before the server goes on, or the body would have come).
TEST_F(Http, PauseInsideABody)
{
    REQUIRE_SERVER();
    ResponseHolder viaDownload;
    ZStringBuffer<256> strStatus;
    EXPECT_EQ(0, HttpDownload(&viaDownload, m_strHost.c_str(), "pause", strStatus));
    EXPECT_TRUE(Body(viaDownload) == RootFile("mid.bin"));

    Socket socket = Socket::Create(0, 0, 0);
    ASSERT_TRUE(HttpConnect(socket, ParseHostAddress(m_strHost.c_str()), nullptr, kHttpServerTimeoutMs));
    ResponseHolder viaConnection;
    DWORD nStart = GetTickCount();
    EXPECT_EQ(HTTP_ERR_BODY, HttpReceive(&viaConnection, socket, "127.0.0.1", "pause", false, strStatus, nullptr));
    EXPECT_GE(GetTickCount() - nStart, (DWORD)kHttpServerTimeoutMs - 500);
    EXPECT_EQ(nullptr, viaConnection.m_pData);
}

// The owner's cancel ends a request that waits for its server: a silent header and a body that
// crawls just above the low-speed floor (it would take 25 s) both stop soon after it.
TEST_F(Http, CancelEndsAWaitingRequest)
{
    REQUIRE_SERVER();
    struct AfterTwoSeconds : ISocketCancel
    {
        DWORD m_nStart = GetTickCount();
        bool IsCancelled() override { return GetTickCount() - m_nStart >= 2000; }
    };
    static const struct
    {
        const char* szPath;
        int nResult;
    } kCases[] = {{"silent", HTTP_ERR_HEADER}, {"crawl", HTTP_ERR_BODY}};
    for (const auto& c : kCases) {
        AfterTwoSeconds cancel;
        ResponseHolder holder;
        ZStringBuffer<256> strStatus;
        DWORD nStart = GetTickCount();
        EXPECT_EQ(c.nResult, HttpReceive(&holder, Connect(m_strPort), "127.0.0.1", c.szPath, false, strStatus,
                                         nullptr, &cancel))
            << c.szPath;
        EXPECT_LT(GetTickCount() - nStart, 8000u) << c.szPath;
        EXPECT_EQ(nullptr, holder.m_pData) << c.szPath;
    }
}

TEST_F(Http, Nginx)
{
    const std::string port = EnvText("IVL_NGINX_PORT");
    if (port.empty())
        GTEST_SKIP() << "nginx not started";
    const std::string host = "127.0.0.1:" + port;
    ZStringBuffer<256> strStatus;
    {
        ResponseHolder holder;
        ASSERT_EQ(0, HttpDownload(&holder, host.c_str(), "big.bin", strStatus));
        EXPECT_TRUE(Body(holder) == RootFile("big.bin"));
        EXPECT_STREQ("HTTP/1.1 200 OK", strStatus.GetData());
    }
    {
        ResponseHolder holder;
        EXPECT_EQ(HTTP_ERR_HEADER, HttpDownload(&holder, host.c_str(), "no/such/file", strStatus));
        EXPECT_STREQ("HTTP/1.1 404 Not Found", strStatus.GetData());
    }
    // Keep-alive: several files and the ".bz2" form over one connection.
    Socket socket = Connect(port);
    const char* aszFiles[] = {"a.txt", "max.bin", "dir/a.txt", "empty.bin"};
    for (const char* szFile : aszFiles) {
        ResponseHolder holder;
        ASSERT_EQ(0, HttpReceive(&holder, socket, "127.0.0.1", szFile, false, strStatus, nullptr)) << szFile;
        EXPECT_TRUE(Body(holder) == RootFile(szFile)) << szFile;
    }
    ResponseHolder packed;
    ASSERT_EQ(0, HttpReceive(&packed, socket, "127.0.0.1", "data", true, strStatus, nullptr));
    EXPECT_TRUE(Body(packed) == RootFile("data"));
}
}  // namespace
