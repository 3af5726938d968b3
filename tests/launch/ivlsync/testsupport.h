// Pieces shared by the tests of the sync program's servers and their command protocol.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/system/socket.h"
#include "launch/ivlsync/ivlsyncwindowbase.h"
#include "testhelpers.h"

// The sync program's window base without a dialog, for tests of the servers: status lines and
// window messages go nowhere; log lines go to the file that s_sLogFile names.
class TestWindow : public ZIvlSync
{
public:
    TestWindow() : ZIvlSync(nullptr, false) {}
};

// A log file in a temporary folder of its own, made the window's log file.
class TestLog
{
public:
    void Open(const char* szName)
    {
        m_pFolder.reset(new ivltest::TempFolder(szName));
        m_sPath = m_pFolder->At("ivlsync.log");
        ZIvlSync::s_sLogFile = m_sPath.c_str();
    }
    void Remove()
    {
        ZIvlSync::s_sLogFile = "";
        m_pFolder.reset();
    }
    std::string Text() const { return ivltest::ReadWholeFile(m_sPath); }

private:
    std::unique_ptr<ivltest::TempFolder> m_pFolder;
    std::string m_sPath;
};

// A connected pair on a free loopback port: the engine's accepted socket and a raw peer.
// Call through ASSERT_NO_FATAL_FAILURE.
inline void ConnectLoopbackPair(Socket& accepted, SOCKET& hPeer)
{
    Socket listener = Socket::Create(0, 0, 0);
    ASSERT_TRUE(listener.IsValid());
    SocketAddress address;
    listener.MakeAddress(address, "127.0.0.1", 0);
    ASSERT_TRUE(listener.Bind(address));
    ASSERT_TRUE(listener.Listen(1));
    SocketAddress bound = listener.GetLocalAddress();
    hPeer = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(hPeer, INVALID_SOCKET);
    ASSERT_EQ(connect(hPeer, bound.GetRecord(), sizeof(SocketAddress)), 0);
    accepted = listener.Accept();
    ASSERT_TRUE(accepted.IsValid());
}

// Everything that arrives until the socket stays quiet for nQuietMs or the peer closes.
inline std::string ReceiveUntilQuiet(SOCKET h, long nQuietMs)
{
    std::string s;
    char buf[1024];
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(h, &set);
        timeval tv = {nQuietMs / 1000, (nQuietMs % 1000) * 1000};
        if (select(0, &set, nullptr, nullptr, &tv) != 1)
            return s;
        int n = recv(h, buf, sizeof(buf), 0);
        if (n <= 0)
            return s;
        s.append(buf, n);
    }
}
