// A file server that is out to hurt the client: bodies without end, bombs, trickles. Each
// answer comes from a server thread in this process on a free loopback port.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "common/net/http.h"
#include "common/stream/bzipstream.h"
#include "loopback.h"

namespace
{
// The whole send, or false once the client has gone.
bool SendText(SOCKET h, const std::string& s)
{
    size_t nSent = 0;
    while (nSent < s.size()) {
        int n = send(h, s.data() + nSent, (int)(s.size() - nSent), 0);
        if (n <= 0)
            return false;
        nSent += (size_t)n;
    }
    return true;
}

typedef std::function<void(SOCKET)> Answer;

// Serves one connection with the answer after reading the request's header.
class OneShotServer
{
public:
    explicit OneShotServer(Answer answer) : m_answer(answer)
    {
        m_hListen = ivltest::ListenOnLoopback(m_nPort);
        m_thread = std::thread([this] { Run(); });
    }
    ~OneShotServer()
    {
        m_thread.join();
        closesocket(m_hListen);
    }
    std::string Host() const { return "127.0.0.1:" + std::to_string(m_nPort); }

private:
    void Run()
    {
        SOCKET h = accept(m_hListen, nullptr, nullptr);
        if (h == INVALID_SOCKET)
            return;
        std::string request;
        char c;
        while (request.size() < 4 || request.compare(request.size() - 4, 4, "\r\n\r\n") != 0) {
            if (recv(h, &c, 1, 0) != 1)
                break;
            request += c;
        }
        m_answer(h);
        closesocket(h);
    }

    ivltest::Winsock m_Winsock;  // first in, last out
    Answer m_answer;
    SOCKET m_hListen;
    int m_nPort;
    std::thread m_thread;
};

std::string Hex(uint32_t n)
{
    char ac[16];
    snprintf(ac, sizeof(ac), "%x", n);
    return ac;
}

// A chunked body of nTotal bytes in chunks of 1 MiB (the largest the client takes).
Answer Chunked(uint64_t nTotal)
{
    return [nTotal](SOCKET h) {
        if (!SendText(h, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"))
            return;
        const std::string full = Hex(0x100000) + "\r\n" + std::string(0x100000, 'c') + "\r\n";
        for (uint64_t nSent = 0; nSent < nTotal;) {
            uint32_t n = (uint32_t)std::min<uint64_t>(0x100000, nTotal - nSent);
            if (!SendText(h, n == 0x100000 ? full : Hex(n) + "\r\n" + std::string(n, 'c') + "\r\n"))
                return;
            nSent += n;
        }
        SendText(h, "0\r\n\r\n");
    };
}

// Sends while the client takes the bytes, never blocking in a send: false once the client has
// closed (it sends nothing after its request, so a readable connection is a closed one). A
// client that refuses a body unread must not leave the server blocked for ever.
bool SendWhileTaken(SOCKET h, const std::string& s)
{
    u_long nNonBlocking = 1;
    ioctlsocket(h, FIONBIO, &nNonBlocking);
    bool bOk = true;
    for (size_t nSent = 0; bOk && nSent < s.size();) {
        fd_set read, write;
        FD_ZERO(&read);
        FD_ZERO(&write);
        FD_SET(h, &read);
        FD_SET(h, &write);
        if (select(0, &read, &write, nullptr, nullptr) <= 0 || FD_ISSET(h, &read))
            bOk = false;
        else if (FD_ISSET(h, &write)) {
            int n = send(h, s.data() + nSent, (int)(s.size() - nSent), 0);
            if (n > 0)
                nSent += (size_t)n;
            else if (WSAGetLastError() != WSAEWOULDBLOCK)
                bOk = false;
        }
    }
    nNonBlocking = 0;
    ioctlsocket(h, FIONBIO, &nNonBlocking);
    return bOk;
}

// A body of nTotal bytes with its length, sent a megabyte at a time.
Answer Length(uint32_t nTotal)
{
    return [nTotal](SOCKET h) {
        if (!SendText(h, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(nTotal) + "\r\n\r\n"))
            return;
        const std::string piece(0x100000, 'l');
        for (uint32_t nSent = 0; nSent < nTotal;) {
            uint32_t n = std::min<uint32_t>((uint32_t)piece.size(), nTotal - nSent);
            if (!SendWhileTaken(h, n == piece.size() ? piece : piece.substr(0, n)))
                return;
            nSent += n;
        }
    };
}

Answer WithLength(const std::string& body)
{
    return [body](SOCKET h) {
        SendText(h, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    };
}

std::string Packed(const std::string& data)
{
    ZMemoryStream out(65536);
    {
        ZBzipOutputStream bzip(&out);
        bzip.Write(data.data(), (int)data.size());
    }
    uint32_t n = 0;
    const char* p = (const char*)out.GetData(&n);
    return std::string(p, n);
}

// Zeros packed a megabyte at a time: a body of a few kilobytes that unpacks to nSize bytes.
std::string PackedZeros(uint32_t nSize)
{
    ZMemoryStream out(65536);
    {
        ZBzipOutputStream bzip(&out);
        const std::string zeros(0x100000, '\0');
        for (uint32_t nDone = 0; nDone < nSize;) {
            uint32_t n = std::min<uint32_t>((uint32_t)zeros.size(), nSize - nDone);
            bzip.Write(zeros.data(), (int)n);
            nDone += n;
        }
    }
    uint32_t n = 0;
    const char* p = (const char*)out.GetData(&n);
    return std::string(p, n);
}

// A slow server: the prefix at once, then nSlow bytes of the text one at a time nDelayMs apart
// (or until the client goes), then the rest at once. A client without a speed floor gets it
// all in the end.
Answer Trickle(const std::string& prefix, const std::string& text, size_t nSlow, int nDelayMs)
{
    return [=](SOCKET h) {
        if (!SendText(h, prefix))
            return;
        for (size_t i = 0; i < nSlow && i < text.size(); ++i) {
            if (!SendText(h, text.substr(i, 1)))
                return;
            Sleep(nDelayMs);
        }
        if (nSlow < text.size())
            SendText(h, text.substr(nSlow));
    };
}

struct Outcome
{
    int nResult;
    uint32_t nSize;
    std::string body;
};

Outcome Fetch(const Answer& answer, bool bBz2)
{
    OneShotServer server(answer);
    ResponseHolder holder;
    ZStringBuffer<256> status;
    int nResult;
    if (bBz2) {
        Socket socket = Socket::Create(0, 0, 0);
        SocketAddress address = ParseHostAddress(server.Host().c_str());
        socket.Connect(address);
        nResult = HttpReceive(&holder, socket, "127.0.0.1", "x", true, status, nullptr);
        socket.Close();
    } else {
        nResult = HttpDownload(&holder, server.Host().c_str(), "x", status);
    }
    Outcome o{nResult, holder.m_nSize, std::string()};
    if (nResult == 0 && holder.m_pData && holder.m_nSize <= 1000000)
        o.body.assign((const char*)holder.m_pData, holder.m_nSize);
    if (nResult != 0) {
        EXPECT_EQ(nullptr, holder.m_pData) << "a failed download keeps no body";
    }
    return o;
}
}  // namespace

TEST(HttpHostile, BodiesAtAndPastTheirBounds)
{
    const std::string text(300000, 't');
    std::string cut = Packed(text);
    cut.resize(cut.size() - 1);  // the end marker's last bits gone, every block intact
    std::string damaged = Packed(text);
    damaged[damaged.size() - 2] ^= 0x01;

    struct Case
    {
        const char* szName;
        Answer answer;
        bool bBz2;
        int nResult;
        uint32_t nSize;  // when the result is 0
    };
    const Case cases[] = {
        {"chunked body at the bound", Chunked(kHttpMaxBody), false, HTTP_OK, kHttpMaxBody},
        {"endless chunked body (past the bound)", Chunked(~0ull), false, HTTP_ERR_BODY, 0},
        // The same bound whatever the form: a body with its length fails where chunks do.
        {"body with its length at the bound", Length(kHttpMaxBody), false, HTTP_OK, kHttpMaxBody},
        {"body with its length one byte past", Length(kHttpMaxBody + 1), false, HTTP_ERR_BODY, 0},
        {".bz2 unpacking to the bound", WithLength(PackedZeros(kHttpMaxBody)), true, HTTP_OK, kHttpMaxBody},
        {".bz2 unpacking one byte past", WithLength(PackedZeros(kHttpMaxBody + 1)), true, HTTP_ERR_BODY, 0},
        {".bz2 without its end marker", WithLength(cut), true, HTTP_ERR_BODY, 0},
        {".bz2 with a wrong checksum", WithLength(damaged), true, HTTP_ERR_BODY, 0},
        {".bz2 that is whole", WithLength(Packed(text)), true, HTTP_OK, (uint32_t)text.size()},
        {"not bzip2 at all: what came out, nothing", WithLength("plain"), true, HTTP_OK, 0},
    };
    for (const Case& c : cases) {
        Outcome o = Fetch(c.answer, c.bBz2);
        EXPECT_EQ(c.nResult, o.nResult) << c.szName;
        if (c.nResult == HTTP_OK) {
            EXPECT_EQ(c.nSize, o.nSize) << c.szName;
        }
    }
}

// The low-speed floor, shortened for the test: fewer than 4 KB in 1.5 s ends the request. The
// servers would finish after their slow part, so without the floor each download succeeds. The
// slow ones send far below the floor (about 900 and 75 bytes a window), so a loaded machine only
// makes them slower; the fast one runs under the ordinary floor, which load cannot trip.
TEST(HttpHostile, SlowServersAreCutOff)
{
    HttpSetLowSpeedLimit(4096, 1500);
    std::string lines = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 200; ++i)
        lines += "X-Pad: " + std::to_string(i) + "\r\n";
    const std::string body(4000, 'b');
    struct Case
    {
        const char* szName;
        Answer answer;
        int nResult;
    };
    const Case cases[] = {
        // A header of short lines that never slows below the floor but never ends either.
        {"header of lines, one every 20 ms",
         [&](SOCKET h) {
             for (size_t i = 0, n = 0; i < lines.size(); i = n + 1) {
                 n = lines.find('\n', i);
                 if (!SendText(h, lines.substr(i, n - i + 1)))
                     return;
                 Sleep(20);
             }
             SendText(h, "Content-Length: 2\r\n\r\nok");
         },
         HTTP_ERR_HEADER},
        {"body a byte every 20 ms", Trickle("HTTP/1.1 200 OK\r\nContent-Length: 4000\r\n\r\n", body, 200, 20),
         HTTP_ERR_BODY},
        {"chunked body a byte every 20 ms",
         Trickle("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfa0\r\n", body + "\r\n0\r\n\r\n", 200, 20),
         HTTP_ERR_BODY},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.nResult, Fetch(c.answer, false).nResult) << c.szName;
    HttpSetLowSpeedLimit(1024, 30000);
    EXPECT_EQ(HTTP_OK, Fetch(WithLength(body), false).nResult) << "fast body";
}
