// Sockets over the loopback interface only (127.0.0.1, ports chosen by the system at run time),
// addresses and ICMP echo.
#include "common/system/socket.h"
#include "common/containers/zmemorybuffer.h"
#include <gtest/gtest.h>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "testhelpers.h"

namespace
{

class SocketTest : public ivltest::WinsockTest
{
protected:
    // A listening socket on 127.0.0.1 and a free port picked by the system.
    void Listen()
    {
        m_listener = Socket::Create(0, 0, 0);
        ASSERT_TRUE(m_listener.IsValid());
        SocketAddress address;
        address.Set(127, 0, 0, 1, 0);
        ASSERT_TRUE(m_listener.Bind(address));
        ASSERT_TRUE(m_listener.Listen(4));
        m_address = m_listener.GetLocalAddress();
        ASSERT_TRUE(m_address.IsSet());
        ASSERT_NE(0, m_address.GetPort());
    }
    // A connected pair: m_client and m_server.
    void Connect()
    {
        Listen();
        m_client = Socket::Create(0, 0, 0);
        ASSERT_TRUE(m_client.Connect(m_address));
        m_server = m_listener.Accept();
        ASSERT_TRUE(m_server.IsValid());
    }

    Socket m_listener, m_client, m_server;
    SocketAddress m_address;
};

TEST_F(SocketTest, LoopbackSendAndReceive)
{
    Connect();
    EXPECT_EQ(0, m_server.GetBytesAvailable());
    EXPECT_EQ(0, m_server.WaitReadable(0, 50));  // nothing yet: time-out
    EXPECT_EQ(1, m_client.WaitWritable(1, 0));

    EXPECT_EQ(5, m_client.SendAll("hello", 5, 0));
    EXPECT_EQ(1, m_server.WaitReadable(2, 0));
    EXPECT_EQ(5, m_server.GetBytesAvailable());
    char aText[16] = {0};
    EXPECT_EQ(2, m_server.Receive(aText, 2, Socket::RECEIVE_PEEK));
    EXPECT_STREQ("he", aText);
    EXPECT_EQ(5, m_server.ReceiveAll(aText, 5, 0));  // the peeked bytes are still there
    EXPECT_STREQ("hello", aText);

    EXPECT_EQ(8, m_server.SendFormatted("%d:%s;", 42, "abcd"));
    memset(aText, 0, sizeof(aText));
    ASSERT_EQ(8, m_client.ReceiveAll(aText, 8, Socket::RECEIVE_WAITALL));
    EXPECT_STREQ("42:abcd;", aText);

    EXPECT_EQ(0, m_client.SendAll("x", 0, 0));
    EXPECT_EQ(0, m_server.ReceiveAll(aText, 0, 0));

    // Through the interface, as servers and streams hold connections.
    ISocket* pConnection = &m_client;
    EXPECT_TRUE(pConnection->IsValid());
    EXPECT_EQ(3, pConnection->Send("abc", 3, 0));
    EXPECT_EQ(3, m_server.ReceiveAll(aText, 3, 0));
    EXPECT_TRUE(m_client.SetNagle(false));
    EXPECT_TRUE(m_client.SetNagle(true));
}

TEST_F(SocketTest, BlocksCarryTheirLength)
{
    Connect();
    std::vector<char> big(200000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
    std::thread sender([&] {
        EXPECT_TRUE(m_client.SendBlock("abc", 3));
        EXPECT_TRUE(m_client.SendBlock(nullptr, 0));
        ZMemoryBuffer buffer;
        buffer.Append(big.data(), static_cast<unsigned>(big.size()));
        EXPECT_TRUE(m_client.SendBuffer(buffer));
    });
    // The length is four little-endian bytes.
    unsigned char aHeader[4];
    ASSERT_EQ(4, m_server.ReceiveAll(aHeader, 4, Socket::RECEIVE_PEEK));
    EXPECT_EQ(3, aHeader[0]);
    EXPECT_EQ(0, aHeader[1] | aHeader[2] | aHeader[3]);

    ZMemoryBuffer received;
    received.Append("x", 1);
    ASSERT_TRUE(m_server.ReceiveBlock(received));
    ASSERT_EQ(4u, received.GetSize());  // appended
    EXPECT_EQ(0, memcmp(received.GetData(), "xabc", 4));
    ZMemoryBuffer empty;
    EXPECT_TRUE(m_server.ReceiveBlock(empty));
    EXPECT_EQ(0u, empty.GetSize());
    ZMemoryBuffer large;
    ASSERT_TRUE(m_server.ReceiveBlock(large));
    sender.join();
    ASSERT_EQ(big.size(), large.GetSize());
    EXPECT_EQ(0, memcmp(large.GetData(), big.data(), big.size()));
}

TEST_F(SocketTest, BlockLengthFromThePeerIsNotTrusted)
{
    Connect();
    // A peer that announces almost 4 GiB and then closes: no huge buffer, just failure.
    const unsigned char aHeader[4] = {0xF0, 0xFF, 0xFF, 0xFF};
    ASSERT_EQ(4, m_client.SendAll(aHeader, 4, 0));
    ASSERT_EQ(3, m_client.SendAll("abc", 3, 0));
    m_client = Socket();
    ZMemoryBuffer buffer;
    EXPECT_FALSE(m_server.ReceiveBlock(buffer));
    EXPECT_LE(buffer.GetCapacity(), 1u << 20);
    // A closed connection has no block either.
    EXPECT_FALSE(m_server.ReceiveBlock(buffer));
}

TEST_F(SocketTest, ReceiveAllEndsWhenThePeerCloses)
{
    Connect();
    ASSERT_EQ(2, m_client.SendAll("ab", 2, 0));
    m_client = Socket();  // last release: shutdown and close
    char aText[8];
    EXPECT_EQ(0, m_server.ReceiveAll(aText, 8, 0));  // some bytes came, but not all
    EXPECT_EQ(0, m_server.Receive(aText, 8, 0));
}

TEST_F(SocketTest, ReceiveTimesOut)
{
    Connect();
    ASSERT_TRUE(m_server.SetReceiveTimeout(200));
    ASSERT_TRUE(m_server.SetSendTimeout(200));
    char c;
    DWORD nStart = GetTickCount();
    EXPECT_EQ(-1, m_server.Receive(&c, 1, 0));
    EXPECT_EQ(WSAETIMEDOUT, Socket::GetLastError());
    EXPECT_EQ(-1, m_server.ReceiveAll(&c, 1, 0));
    DWORD nElapsed = GetTickCount() - nStart;
    EXPECT_GE(nElapsed, 300u);
    EXPECT_LT(nElapsed, 5000u);
}

TEST_F(SocketTest, NonBlockingSendAllRetriesUntilEverythingWent)
{
    Connect();
    int nSmall = 4096;
    setsockopt(m_client.GetHandle(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&nSmall), sizeof(nSmall));
    ASSERT_TRUE(m_client.SetBlocking(false));
    char c;
    EXPECT_EQ(-1, m_client.Receive(&c, 1, 0));
    EXPECT_EQ(WSAEWOULDBLOCK, Socket::GetLastError());

    // Far more than the socket buffers hold; the reader starts late and reads slowly.
    std::vector<char> data(8 << 20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i % 251);
    std::vector<char> received(data.size());
    std::thread reader([&] {
        Sleep(200);
        int nTotal = 0;
        while (nTotal < static_cast<int>(received.size())) {
            int n = m_server.Receive(&received[nTotal], 65536, 0);
            if (n < 1)
                break;
            nTotal += n;
        }
        EXPECT_EQ(static_cast<int>(received.size()), nTotal);
    });
    EXPECT_EQ(static_cast<int>(data.size()), m_client.SendAll(data.data(), static_cast<int>(data.size()), 0));
    reader.join();
    EXPECT_TRUE(data == received);
    EXPECT_TRUE(m_client.SetBlocking(true));
}

TEST_F(SocketTest, SetsTellWhichSocketsAreReady)
{
    Connect();
    Socket other = Socket::Create(0, 0, 0);
    ASSERT_TRUE(other.Connect(m_address));
    Socket otherServer = m_listener.Accept();
    ASSERT_TRUE(otherServer.IsValid());

    Socket aSockets[3] = {m_listener, m_server, otherServer};
    SocketSet set;
    set.Fill(aSockets, 3);
    EXPECT_EQ(0, set.Wait(0, 100));
    EXPECT_EQ(0, Socket::SelectReadable(3, aSockets, 0, 1000));

    ASSERT_EQ(1, other.SendAll("!", 1, 0));
    set.Fill(aSockets, 3);  // select changed the sets
    EXPECT_EQ(1, set.Wait(2, 0));
    EXPECT_FALSE(set.IsReadable(m_listener));
    EXPECT_FALSE(set.IsReadable(m_server));
    EXPECT_TRUE(set.IsReadable(otherServer));
    EXPECT_FALSE(set.HasError(otherServer));
    EXPECT_EQ(1, Socket::SelectReadable(3, aSockets, 2, 0));

    // A pending connection makes the listener readable.
    Socket third = Socket::Create(0, 0, 0);
    ASSERT_TRUE(third.Connect(m_address));
    set.Fill(aSockets, 3);
    EXPECT_EQ(2, set.Wait(2, 500));
    EXPECT_TRUE(set.IsReadable(m_listener));
}

TEST_F(SocketTest, CloseEndsAPendingAccept)
{
    Listen();
    std::atomic<bool> bAccepted(false);
    Socket accepted;
    std::thread waiter([&] {
        accepted = m_listener.Accept();
        bAccepted = true;
    });
    Sleep(100);
    Socket copy = m_listener;
    EXPECT_TRUE(copy.Close());
    waiter.join();
    EXPECT_TRUE(bAccepted);
    EXPECT_FALSE(accepted.IsValid());
    // A closed socket is no longer valid through any handle that shares it.
    EXPECT_FALSE(m_listener.IsValid());
    EXPECT_FALSE(copy.IsValid());
    EXPECT_TRUE(copy == m_listener);
    EXPECT_FALSE(copy.Close());
    m_listener = Socket();  // releasing a closed record closes nothing
}

TEST_F(SocketTest, CreateTakesOnlyTheKnownCombinations)
{
    struct CreateCase
    {
        int nFamily, nType, nProtocol;
        bool bValid;
    };
    const CreateCase aCases[] = {
        {0, 0, 0, true},  {0, 1, 1, true},  {0, 0, 1, false}, {0, 0, 2, false},  {0, 1, 0, false}, {0, 2, 0, false},
        {0, 2, 1, false}, {0, 1, 2, false}, {2, 0, 0, false}, {-1, 0, 0, false}, {0, 3, 3, false},
    };
    for (const CreateCase& c : aCases) {
        Socket s = Socket::Create(c.nFamily, c.nType, c.nProtocol);
        EXPECT_EQ(c.bValid, s.IsValid()) << c.nFamily << "," << c.nType << "," << c.nProtocol;
        if (c.bValid) {
            EXPECT_EQ(c.nFamily | (c.nType << 2) | (c.nProtocol << 4), s.GetKind());
        }
    }
    Socket empty;
    EXPECT_FALSE(empty.IsValid());
    Socket copy(empty);
    EXPECT_TRUE(copy == empty);
    EXPECT_FALSE(Socket::Create(0, 0, 0) == Socket::Create(0, 0, 0));

    Socket udp = Socket::Create(0, 1, 1);
    Socket& same = udp;
    udp = same;  // assigning a handle to itself keeps its socket
    EXPECT_TRUE(udp.IsValid());
    EXPECT_EQ(0x14, udp.GetKind());
    Socket shared;
    shared = udp;
    udp = Socket();
    EXPECT_TRUE(shared.IsValid());
    EXPECT_EQ(0x14, shared.GetKind());
}

TEST_F(SocketTest, DatagramsOverLoopback)
{
    Socket receiver = Socket::Create(0, 1, 1);
    Socket sender = Socket::Create(0, 1, 1);
    ASSERT_TRUE(receiver.IsValid());
    SocketAddress address;
    address.Set(127, 0, 0, 1, 0);
    ASSERT_TRUE(receiver.Bind(address));
    SocketAddress target = receiver.GetLocalAddress();
    EXPECT_GT(receiver.GetMaxMessageSize(), 0);
    EXPECT_EQ(0, sender.SetDontFragment(nullptr));

    EXPECT_EQ(4, sender.SendTo(target, "ping", 4, 0));
    ASSERT_EQ(1, receiver.WaitReadable(2, 0));
    char aText[8] = {0};
    SocketAddress from;
    EXPECT_EQ(4, receiver.ReceiveFrom(aText, sizeof(aText), &from, Socket::RECEIVE_PEEK));
    EXPECT_EQ(4, receiver.ReceiveFrom(aText, sizeof(aText), &from, 0));
    EXPECT_STREQ("ping", aText);
    EXPECT_EQ(sender.GetLocalAddress().GetPort(), from.GetPort());
    EXPECT_EQ(127, from.GetAddressBytes()[0]);
    EXPECT_EQ(0, receiver.GetBytesAvailable());
}

TEST(SocketAddressTest, ParsingAndPrinting)
{
    SocketAddress fresh;
    EXPECT_FALSE(fresh.IsSet());
    EXPECT_STREQ("0.0.0.0:0", fresh.ToString().c_str());

    struct ParseCase
    {
        const char* szText;
        bool bSet;
        const char* szPrinted;  // after a port of 1234 was set
    };
    const ParseCase aCases[] = {
        {"10.1.2.3", true, "10.1.2.3:1234"},
        {"10.1.2.3:80", true, "10.1.2.3:80"},
        {"127.0.0.1:65535", true, "127.0.0.1:65535"},
        {"1.2.3", false, "0.0.0.0:1234"},
        {"", false, "0.0.0.0:1234"},
        {"host:80", false, "0.0.0.0:1234"},
        {"256.257.1.2", true, "0.1.1.2:1234"},
        {"1.2.3.4:70000", true, "1.2.3.4:4464"},
    };
    for (const ParseCase& c : aCases) {
        SocketAddress address;
        address.SetPort(1234);
        EXPECT_EQ(c.bSet, address.FromString(c.szText)) << c.szText;
        EXPECT_EQ(c.bSet, address.IsSet()) << c.szText;
        EXPECT_STREQ(c.szPrinted, address.ToString().c_str()) << c.szText;
    }

    // Three numbers leave an address unset but keep its bytes.
    SocketAddress address;
    address.Set(192, 168, 0, 7, 8080);
    EXPECT_TRUE(address.IsSet());
    EXPECT_STREQ("192.168.0.7:8080", address.ToString().c_str());
    EXPECT_FALSE(address.FromString("1.2.3"));
    EXPECT_FALSE(address.IsSet());
    EXPECT_EQ(192, address.GetAddressBytes()[0]);

    // The record is sockaddr_in: network byte order.
    SocketAddress record;
    record.Set(127, 0, 0, 1, 0x1234);
    const sockaddr_in* pIn = reinterpret_cast<const sockaddr_in*>(record.GetRecord());
    EXPECT_EQ(AF_INET, pIn->sin_family);
    EXPECT_EQ(htons(0x1234), pIn->sin_port);
    EXPECT_EQ(inet_addr("127.0.0.1"), pIn->sin_addr.s_addr);
    record.SetAny();
    EXPECT_STREQ("0.0.0.0:0", record.ToString().c_str());

    // Equality looks at port and address only.
    SocketAddress a, b;
    a.Set(127, 0, 0, 1, 80);
    b.FromString("127.0.0.1:80");
    EXPECT_TRUE(a == b);
    b.FromString("1.2");
    EXPECT_TRUE(a == b);  // unset now, same bytes and port
    b.SetPort(81);
    EXPECT_TRUE(a != b);

    Socket s = Socket::Create(0, 0, 0);
    SocketAddress made;
    s.MakeAddress(made, "127.0.0.1", 5000);
    EXPECT_STREQ("127.0.0.1:5000", made.ToString().c_str());
}

TEST(SocketAddressTest, Resolve)
{
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 0), &data));
    SocketAddress address = SocketAddress::Resolve("127.0.0.1");
    EXPECT_TRUE(address.IsSet());
    EXPECT_STREQ("127.0.0.1:0", address.ToString().c_str());
    EXPECT_FALSE(SocketAddress::Resolve(nullptr).IsSet());
    EXPECT_GT(Socket::GetComputerName().GetLength(), 0);
    WSASetLastError(WSAECONNRESET);
    EXPECT_EQ(2, Socket::GetLastError());
    WSASetLastError(WSAEWOULDBLOCK);
    EXPECT_EQ(WSAEWOULDBLOCK, Socket::GetLastError());
    WSACleanup();
}

TEST(IcmpPingTest, PayloadSizeIsClamped)
{
    const int aCases[][2] = {{-5, 20}, {0, 20},      {5, 20},      {19, 20},    {20, 20},
                             {28, 28}, {1024, 1024}, {1025, 1024}, {5000, 1024}};
    for (const auto& c : aCases)
        EXPECT_EQ(c[1], IcmpClampPayloadSize(c[0])) << c[0];
}

// Wine answers echoes to 127.0.0.1 itself when it may open ICMP sockets (as root here).
TEST(IcmpPingTest, LoopbackAnswersWithARoundTripOfAtLeastOneMs)
{
    SocketAddress address;
    address.Set(127, 0, 0, 1, 20201);  // the port plays no part in an echo
    int32_t nFirst = IcmpPing(address, 28, 2000);
    if (nFirst <= ICMP_ERROR_HANDLE && nFirst > ICMP_ERROR_STATUS)
        GTEST_SKIP() << "no ICMP handle here: " << nFirst;
    if (nFirst <= ICMP_ERROR_SEND)
        GTEST_SKIP() << "ICMP echoes cannot be sent here: " << nFirst;
    EXPECT_GE(nFirst, 1);
    // Payloads outside 20..1024 are clamped, so these are sent and answered too.
    EXPECT_GE(IcmpPing(address, 5, 2000), 1);
    EXPECT_GE(IcmpPing(address, 5000, 2000), 1);
    EXPECT_GE(IcmpPing(address, 1024, 2000), 1);
}

}  // namespace
