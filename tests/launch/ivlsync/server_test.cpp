// The generic server's listener, its two ways of serving connections and its stop, and the
// command server with a real ping session, on free loopback ports.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "launch/ivlsync/flashserver.h"
#include "launch/ivlsync/genericserver.h"
#include "testsupport.h"

namespace
{
// Echoes NUL-ended texts until the connection fails.
class EchoServer : public GenericServer
{
public:
    explicit EchoServer(ZIvlSync* pWindow) : GenericServer(pWindow) {}
    int HandleConnection(Socket& connection) override
    {
        ++m_nServed;
        ZStringBuffer<256> text;
        while (ReadUntil(connection, text, ""))
            connection.Send(text.GetData(), text.GetLength(), 0);
        ++m_nEnded;
        return m_nResult;
    }

    std::atomic<LONG> m_nServed{0};
    std::atomic<LONG> m_nEnded{0};
    int m_nResult = 0;
};

int FreePort()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = ivltest::LoopbackAddress();
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    int nPort = ivltest::LocalPort(s);
    closesocket(s);
    return nPort;
}

class Client
{
public:
    // A server just started listens a moment later: with nTries > 1 refused connects are
    // tried again.
    explicit Client(int nPort, int nTries = 40)
    {
        sockaddr_in a = ivltest::LoopbackAddress(nPort);
        m_bConnected = false;
        for (int i = 0; i < nTries && !m_bConnected; ++i) {
            if (i)
                Sleep(50);
            m_hSocket = socket(AF_INET, SOCK_STREAM, 0);
            // At most a second: a full backlog would leave a blocking connect hanging.
            u_long nNonBlocking = 1;
            ioctlsocket(m_hSocket, FIONBIO, &nNonBlocking);
            connect(m_hSocket, reinterpret_cast<sockaddr*>(&a), sizeof(a));
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(m_hSocket, &writable);
            FD_SET(m_hSocket, &failed);
            timeval tv = {1, 0};
            m_bConnected = select(0, nullptr, &writable, &failed, &tv) == 1 && FD_ISSET(m_hSocket, &writable);
            m_bRefused = false;
            if (FD_ISSET(m_hSocket, &failed)) {
                int nError = 0, nSize = sizeof(nError);
                getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&nError), &nSize);
                m_bRefused = nError == WSAECONNREFUSED;
            }
            nNonBlocking = 0;
            ioctlsocket(m_hSocket, FIONBIO, &nNonBlocking);
            if (!m_bConnected)
                Close();
        }
    }
    ~Client() { Close(); }
    void Close()
    {
        if (m_hSocket != INVALID_SOCKET)
            closesocket(m_hSocket);
        m_hSocket = INVALID_SOCKET;
    }
    void Send(const std::string& s) { send(m_hSocket, s.data(), (int)s.size(), 0); }
    // What arrives within the time; stops early at the end text or when the peer closes.
    std::string Receive(DWORD nMs, const std::string& sUntil = std::string())
    {
        std::string s;
        DWORD nStart = GetTickCount();
        for (;;) {
            DWORD nSpent = GetTickCount() - nStart;
            if (nSpent >= nMs)
                return s;
            fd_set set;
            FD_ZERO(&set);
            FD_SET(m_hSocket, &set);
            DWORD nLeft = nMs - nSpent;
            timeval tv = {(long)(nLeft / 1000), (long)(nLeft % 1000) * 1000};
            if (select(0, &set, nullptr, nullptr, &tv) != 1)
                return s;
            char buf[512];
            int n = recv(m_hSocket, buf, sizeof(buf), 0);
            if (n <= 0) {
                m_bClosedByPeer = true;
                return s;
            }
            s.append(buf, n);
            if (!sUntil.empty() && s.find(sUntil) != std::string::npos)
                return s;
        }
    }

    SOCKET m_hSocket;
    bool m_bConnected;
    bool m_bRefused = false;  // the last try was refused (not timed out)
    bool m_bClosedByPeer = false;
};

// Servers must be stopped with waiting before they are destroyed, also when a check fails.
class StopOnExit
{
public:
    explicit StopOnExit(GenericServer& server) : m_Server(server) {}
    ~StopOnExit() { m_Server.Stop(true); }

private:
    GenericServer& m_Server;
};

class Servers : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_pWindow = new TestWindow;
        m_Log.Open("server_test");
        m_nPort = FreePort();
    }
    void TearDown() override
    {
        delete m_pWindow;
        m_Log.Remove();
    }
    std::string LogText() { return m_Log.Text(); }
    bool WaitForLog(const std::string& sText)
    {
        for (int i = 0; i < 100; ++i) {
            if (LogText().find(sText) != std::string::npos)
                return true;
            Sleep(50);
        }
        return false;
    }
    bool Refused()
    {
        for (int i = 0; i < 40; ++i) {
            Client c(m_nPort, 1);
            if (c.m_bRefused)
                return true;
            Sleep(50);
        }
        return false;
    }

    TestWindow* m_pWindow = nullptr;
    TestLog m_Log;
    int m_nPort = 0;
};
}

TEST_F(Servers, ThreadPerConnectionServesSideBySide)
{
    EchoServer server(m_pWindow);
    StopOnExit stop(server);
    ASSERT_TRUE(server.Start("127.0.0.1", m_nPort, true));
    EXPECT_FALSE(server.Start("127.0.0.1", m_nPort, true));  // started once only

    Client a(m_nPort), b(m_nPort);
    ASSERT_TRUE(a.m_bConnected);
    ASSERT_TRUE(b.m_bConnected);
    a.Send(std::string("one\0", 4));
    b.Send(std::string("two\0", 4));
    EXPECT_EQ(b.Receive(3000, std::string("two\0", 4)), std::string("two\0", 4));
    EXPECT_EQ(a.Receive(3000, std::string("one\0", 4)), std::string("one\0", 4));

    // Without waiting: back at once, and the open connections are closed.
    DWORD nStart = GetTickCount();
    server.Stop(false);
    EXPECT_LT(GetTickCount() - nStart, 500u);
    a.Receive(3000);
    b.Receive(3000);
    EXPECT_TRUE(a.m_bClosedByPeer);
    EXPECT_TRUE(b.m_bClosedByPeer);

    server.Stop(true);
    EXPECT_EQ(server.m_nServed, 2);
    EXPECT_EQ(server.m_nEnded, 2);
    EXPECT_TRUE(Refused());
}

TEST_F(Servers, InlineServerServesOneConnectionAtATime)
{
    EchoServer server(m_pWindow);
    StopOnExit stop(server);
    ASSERT_TRUE(server.Start("127.0.0.1", m_nPort, false));
    Client a(m_nPort);
    ASSERT_TRUE(a.m_bConnected);
    a.Send(std::string("x\0", 2));
    EXPECT_EQ(a.Receive(3000, std::string("x\0", 2)), std::string("x\0", 2));

    Client b(m_nPort);
    ASSERT_TRUE(b.m_bConnected);  // waits in the backlog
    b.Send(std::string("y\0", 2));
    EXPECT_EQ(b.Receive(300), "");
    a.Close();
    EXPECT_EQ(b.Receive(3000, std::string("y\0", 2)), std::string("y\0", 2));

    server.Stop(true);
    EXPECT_EQ(server.m_nEnded, 2);
}

TEST_F(Servers, InlineHandlerResultOtherThanZeroEndsListening)
{
    EchoServer server(m_pWindow);
    server.m_nResult = 1;
    StopOnExit stop(server);
    ASSERT_TRUE(server.Start("127.0.0.1", m_nPort, false));
    {
        Client a(m_nPort);
        ASSERT_TRUE(a.m_bConnected);
    }
    EXPECT_TRUE(Refused());
    char szLine[64];
    snprintf(szLine, sizeof(szLine), "Closing incoming socket 127.0.0.1:%d", m_nPort);
    EXPECT_TRUE(WaitForLog(szLine)) << LogText();
    server.Stop(true);
}

TEST_F(Servers, BindFailureIsLoggedAndStopEndsTheWaitingListener)
{
    SOCKET hHolder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = ivltest::LoopbackAddress(m_nPort);
    ASSERT_EQ(bind(hHolder, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(listen(hHolder, 1), 0);

    EchoServer server(m_pWindow);
    StopOnExit stop(server);
    EXPECT_TRUE(server.Start("127.0.0.1", m_nPort, true));
    char szLine[96];
    snprintf(szLine, sizeof(szLine), "Error: Can't bind to port %d. Is something else using it?", m_nPort);
    EXPECT_TRUE(WaitForLog(szLine)) << LogText();

    DWORD nStart = GetTickCount();
    server.Stop(true);
    EXPECT_LT(GetTickCount() - nStart, 3000u);
    EXPECT_EQ(server.m_nServed, 0);
    closesocket(hHolder);
}

TEST_F(Servers, StopRightAfterStartDoesNotHang)
{
    for (int i = 0; i < 10; ++i) {
        EchoServer server(m_pWindow);
        ASSERT_TRUE(server.Start("127.0.0.1", m_nPort, true));
        server.Stop(true);
    }
    EXPECT_TRUE(Refused());
}

TEST_F(Servers, CommandServerRunsAPingAndStopsWithIdleConnections)
{
    FlashServer server(m_pWindow);
    StopOnExit stop(server);
    ASSERT_TRUE(server.Start("127.0.0.1", m_nPort, true));
    Client idle(m_nPort);
    Client c(m_nPort);
    ASSERT_TRUE(c.m_bConnected);
    c.Send(std::string("1002;3;127.0.0.1\0", 17));
    std::string s = c.Receive(10000, std::string("200;3\0", 6));
    // ERR_OK and the result in either order (the session may answer first), 200 last.
    ASSERT_GE(s.size(), 6u);
    EXPECT_EQ(s.substr(s.size() - 6), std::string("200;3\0", 6)) << s;
    EXPECT_NE(s.find(std::string("1;3\0", 4)), std::string::npos) << s;
    EXPECT_NE(s.find("103;3;"), std::string::npos) << "ICMP echo to 127.0.0.1: " << s;

    // A ping that is still running when the server stops: Stop waits until it has gone.
    c.Send(std::string("1002;4;127.0.0.1\0", 17));
    server.Stop(true);
    {
        ZLockGuard guard(server.GetSessionLock());
        EXPECT_EQ(server.GetSessionCount(), 0);
    }
    EXPECT_TRUE(Refused());
}

namespace
{
// A call on a thread of its own, so that the test can bound how long it blocks.
class Call
{
public:
    explicit Call(std::function<void()> fn) : m_Fn(std::move(fn))
    {
        m_hThread = CreateThread(nullptr, 0, &Call::Main, this, 0, nullptr);
    }
    ~Call()
    {
        Wait(INFINITE);
        CloseHandle(m_hThread);
    }
    bool Wait(DWORD nMs) { return WaitForSingleObject(m_hThread, nMs) == WAIT_OBJECT_0; }

private:
    static DWORD WINAPI Main(void* pArgument)
    {
        static_cast<Call*>(pArgument)->m_Fn();
        return 0;
    }
    std::function<void()> m_Fn;
    HANDLE m_hThread;
};

// Closing the peer with unread data resets the connection, which ends a send that would block
// for ever; so the test also ends when the server hangs.
class ResetOnExit
{
public:
    explicit ResetOnExit(SOCKET& hPeer) : m_hPeer(hPeer) {}
    ~ResetOnExit() { Reset(); }
    void Reset()
    {
        if (m_hPeer != INVALID_SOCKET)
            closesocket(m_hPeer);
        m_hPeer = INVALID_SOCKET;
    }

private:
    SOCKET& m_hPeer;
};

DWORD Remaining(DWORD nDeadline)
{
    DWORD nNow = GetTickCount();
    return (LONG)(nDeadline - nNow) > 0 ? nDeadline - nNow : 0;
}
}

TEST_F(Servers, ACommandConnectionThatNeverReadsHoldsOthersUpOnlyUntilTheSendTimeOut)
{
    FlashServer server(m_pWindow);
    // Served by the command server's handler as its accept loop does; small buffers stand in for
    // the megabytes of unread replies a loopback connection takes before a send blocks.
    Socket stuck;
    SOCKET hStuckPeer = INVALID_SOCKET;
    ASSERT_NO_FATAL_FAILURE(ConnectLoopbackPair(stuck, hStuckPeer));
    int nBuffer = 4096;
    setsockopt(stuck.GetHandle(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&nBuffer), sizeof(nBuffer));
    setsockopt(hStuckPeer, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&nBuffer), sizeof(nBuffer));
    server.AddConnection(stuck);
    Call serving([&] { server.HandleConnection(stuck); });
    std::unique_ptr<Call> pProbe, pStopping;
    ResetOnExit reset(hStuckPeer);  // before the calls above wait for their threads

    // Commands whose long usage reply is sent under the session lock, never read.
    std::string sCommands;
    for (int i = 0; i < 20000; ++i)
        sCommands.append("1003;1\0", 7);
    u_long nNonBlocking = 1;
    ioctlsocket(hStuckPeer, FIONBIO, &nNonBlocking);
    size_t nSent = 0;
    for (DWORD nLast = GetTickCount(); nSent < sCommands.size() && GetTickCount() - nLast < 1000;) {
        int n = send(hStuckPeer, sCommands.data() + nSent, (int)(sCommands.size() - nSent), 0);
        if (n > 0) {
            nSent += n;
            nLast = GetTickCount();
        } else {
            Sleep(10);
        }
    }

    // Cancels of an unknown id on another connection take the lock: answered at once until the
    // stuck connection's send holds it.
    Socket other;
    SOCKET hOtherPeer = INVALID_SOCKET;
    ASSERT_NO_FATAL_FAILURE(ConnectLoopbackPair(other, hOtherPeer));
    DWORD nStart = GetTickCount(), nProbe = 0;
    std::string sExpected;
    for (int nId = 100;; ++nId) {
        ASSERT_LT(GetTickCount() - nStart, 30000u) << "the stuck connection never held the lock";
        std::string sCommand = "2000;" + std::to_string(nId);
        sExpected = "8;" + std::to_string(nId) + std::string(1, '\0');
        nProbe = GetTickCount();
        pProbe.reset(new Call([&server, &other, sCommand] { server.Dispatch(other, sCommand.c_str()); }));
        if (!pProbe->Wait(1000))
            break;
        ASSERT_EQ(ReceiveUntilQuiet(hOtherPeer, 50), sExpected);
    }

    // Both that command and a stop get through once the stuck send has timed out. The lock is not
    // handed over first come, first served, so the stuck connection may take it once more with its
    // next command; every one of its sends ends within the time-out.
    pStopping.reset(new Call([&server] { server.Stop(true); }));
    DWORD nDeadline = nProbe + 2 * kCommandSendTimeoutMs + 2000;
    EXPECT_TRUE(pProbe->Wait(Remaining(nDeadline))) << "a command waited beyond the send time-out";
    EXPECT_TRUE(pStopping->Wait(Remaining(nDeadline))) << "the stop waited beyond the send time-out";
    EXPECT_TRUE(serving.Wait(Remaining(nDeadline))) << "the stuck connection outlived the stop";
    reset.Reset();
    pProbe.reset();
    pStopping.reset();
    EXPECT_EQ(ReceiveUntilQuiet(hOtherPeer, 200), sExpected);
    closesocket(hOtherPeer);
    server.RemoveConnection(stuck);
}
