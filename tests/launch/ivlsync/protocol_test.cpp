// Command messages on the wire, the byte-wise reader of the servers, the quick-check flag and
// the ping measurement.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <cstring>
#include <string>
#include <vector>

#include "launch/launchlibs/flashmessage.h"
#include "launch/ivlsync/flashserver.h"
#include "launch/ivlsync/genericserver.h"
#include "launch/ivlsync/pingsession.h"
#include "testsupport.h"

namespace
{
std::vector<std::string> Params(const FlashMessage& m)
{
    std::vector<std::string> v;
    for (int i = 0; i < m.GetParamCount(); ++i)
        v.push_back(m.GetParam(i));
    return v;
}

// A connected pair of loopback stream sockets: the engine's socket and a raw peer.
class SocketPair : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(ConnectLoopbackPair(m_Socket, m_hPeer)); }
    void TearDown() override
    {
        if (m_hPeer != INVALID_SOCKET)
            closesocket(m_hPeer);
    }

    void PeerSend(const char* pData, int nLength) { ASSERT_EQ(send(m_hPeer, pData, nLength, 0), nLength); }
    void PeerClose()
    {
        closesocket(m_hPeer);
        m_hPeer = INVALID_SOCKET;
    }
    // Everything that arrives within a short time.
    std::string PeerReceive() { return ReceiveUntilQuiet(m_hPeer, 200); }

    Socket m_Socket;
    SOCKET m_hPeer = INVALID_SOCKET;
};
}

TEST(FlashMessageText, BuiltMessagesHaveTheirWireText)
{
    struct Case
    {
        int nCode, nSession;
        const char* szText;  // null: no text
        const char* szWire;
        int nParams;
    } cases[] = {
        {1, 5, nullptr, "1;5", 0},
        {1, 5, "", "1;5", 0},  // empty text: no parameter, no trailing ';'
        {2, 7, "Timeout", "2;7;Timeout", 1},
        {101, 3, "0.500;Checking", "101;3;0.500;Checking", 2},
        {5, 1, "a;", "5;1;a", 1},       // the empty last piece is lost
        {5, 1, "a;;b", "5;1;a;;b", 3},  // two ';' in a row: an empty parameter
        {5, 1, ";a", "5;1;;a", 2},
        {4, -1, "Malformed command", "4;-1;Malformed command", 1},
        {-3, -20, nullptr, "-3;-20", 0},
        {103, 9, "\xe9\xff", "103;9;\xe9\xff", 1},  // bytes above 127 pass through
    };
    for (const Case& c : cases) {
        FlashMessage m = c.szText ? FlashMessage(c.nCode, c.nSession, c.szText) : FlashMessage(c.nCode, c.nSession);
        EXPECT_STREQ(m.ToString().GetData(), c.szWire) << c.szWire;
        EXPECT_EQ(m.GetParamCount(), c.nParams) << c.szWire;
    }
}

TEST(FlashMessageText, ParseTable)
{
    struct Case
    {
        const char* szText;
        int nCode, nSession;
        bool bValid;
        std::vector<std::string> params;
    } cases[] = {
        {"1;5", 1, 5, true, {}},
        {"1002;7;127.0.0.1", 1002, 7, true, {"127.0.0.1"}},
        {"1002;7;", 1002, 7, true, {}},  // final ';': no empty parameter
        {"1002;7;;", 1002, 7, true, {""}},
        {"1004;2;live;;", 1004, 2, true, {"live", ""}},
        {"1000", 0, 0, false, {"1000"}},  // one field: the part stays
        {"", 0, 0, false, {}},
        {"<policy-file-request/>\n", 0, 0, false, {"<policy-file-request/>\n"}},
        {"0;7", 0, 7, false, {}},
        {"5;0;x", 5, 0, false, {"x"}},
        {"5;-2", 5, -2, true, {}},    // negative ids are valid
        {" 12x;3", 12, 3, true, {}},  // atoi: blanks, digits, trailing bytes
        {"+4;-0", 4, 0, false, {}},
        {"abc;def", 0, 0, false, {}},
        {"2001;5\n", 2001, 5, true, {}},               // a line feed after the id is ignored
        {"1002;3;host\n", 1002, 3, true, {"host\n"}},  // ...but stays in a parameter
        {"1;2;a;b;c", 1, 2, true, {"a", "b", "c"}},
        // numbers that do not fit 32 bits are no numbers: wrapped they would be others
        {"2147483647;-2147483648", 2147483647, INT32_MIN, true, {}},
        {"4294968296;5;a", 0, 5, false, {"a"}},  // would wrap to 1000
        {"2147483648;1", 0, 1, false, {}},
        {"-2147483649;1", 0, 1, false, {}},
        {"1000;99999999999", 1000, 0, false, {}},
        {"1000;00000000000000000007", 1000, 7, true, {}},  // leading zeros still fit
        {"1000;123456789012345678901234567890", 1000, 0, false, {}},
    };
    for (const Case& c : cases) {
        FlashMessage m;
        m.Parse(c.szText);
        EXPECT_EQ(m.GetCode(), c.nCode) << '"' << c.szText << '"';
        EXPECT_EQ(m.GetSessionId(), c.nSession) << '"' << c.szText << '"';
        EXPECT_EQ(m.IsValid(), c.bValid) << '"' << c.szText << '"';
        EXPECT_EQ(Params(m), c.params) << '"' << c.szText << '"';
    }
}

TEST(FlashMessageText, ParseReplacesAnEarlierMessage)
{
    FlashMessage m(1000, 3, "a;b;c;d;e");
    m.Parse("nothing");
    EXPECT_FALSE(m.IsValid());
    EXPECT_EQ(Params(m), std::vector<std::string>{"nothing"});
}

TEST(FlashMessageText, ReplyTextRoundTripsThroughParse)
{
    FlashMessage sent(STATUS_PROGRESS, 42, "0.250;Downloading a;b");
    FlashMessage received;
    received.Parse(sent.ToString().GetData());
    EXPECT_EQ(received.GetCode(), STATUS_PROGRESS);
    EXPECT_EQ(received.GetSessionId(), 42);
    EXPECT_EQ(Params(received), (std::vector<std::string>{"0.250", "Downloading a", "b"}));
    EXPECT_EQ(received.GetParams().Join(';').GetData(), std::string("0.250;Downloading a;b"));
}

TEST(FlashMessageText, GetParamOutsideTheListIsEmpty)
{
    FlashMessage m(1002, 1, "x");
    EXPECT_STREQ(m.GetParam(-1), "");
    EXPECT_STREQ(m.GetParam(1), "");
}

TEST_F(SocketPair, SendPutsTextAndNulOnTheWire)
{
    FlashMessage(ERR_OK, 5).Send(m_Socket);
    FlashMessage(ERR_UNKNOWNCMD, 3, "Unknown command 999").Send(m_Socket);
    std::string wire = PeerReceive();
    EXPECT_EQ(wire,
              std::string("1;5\0"
                          "3;3;Unknown command 999\0",
                          4 + 24));
}

TEST_F(SocketPair, SendOnAClosedConnectionIsIgnored)
{
    m_Socket.Close();
    FlashMessage(ERR_OK, 5).Send(m_Socket);
    Socket empty;
    FlashMessage(ERR_OK, 5).Send(empty);
    SUCCEED();
}

TEST_F(SocketPair, ReadUntilKeepsTheEndingByte)
{
    ZStringBuffer<256> text;
    PeerSend("abc\n", 4);
    EXPECT_TRUE(ReadUntil(m_Socket, text, "\n"));
    EXPECT_EQ(std::string(text.GetData(), text.GetLength()), "abc\n");

    PeerSend("<policy-file-request/>\0", 23);
    EXPECT_TRUE(ReadUntil(m_Socket, text, "\n"));
    EXPECT_EQ(text.GetLength(), 23);  // the NUL counts, the C text ends before it
    EXPECT_STREQ(text.GetData(), "<policy-file-request/>");

    PeerSend("a\nb>c\0", 6);
    EXPECT_TRUE(ReadUntil(m_Socket, text, ""));  // empty set: up to the NUL only
    EXPECT_EQ(std::string(text.GetData(), text.GetLength()), std::string("a\nb>c\0", 6));

    PeerSend("<x>", 3);
    EXPECT_TRUE(ReadUntil(m_Socket, text, ">"));
    EXPECT_STREQ(text.GetData(), "<x>");
}

TEST_F(SocketPair, ReadUntilFailsWhenThePeerClosesFirst)
{
    ZStringBuffer<256> text;
    PeerSend("ab", 2);
    PeerClose();
    EXPECT_FALSE(ReadUntil(m_Socket, text, "\n"));
    EXPECT_STREQ(text.GetData(), "ab");

    Socket empty;
    text.Assign("old");
    EXPECT_FALSE(ReadUntil(empty, text, "\n"));
    EXPECT_STREQ(text.GetData(), "");
}

TEST_F(SocketPair, ReadUntilStopsAtItsLengthLimit)
{
    // a peer that never sends an ending byte gets no more than the limit buffered
    std::string flood(kMaxReadLength + 10, 'x');
    std::thread sender([&] { PeerSend(flood.data(), (int)flood.size()); });
    ZStringBuffer<256> text;
    EXPECT_FALSE(ReadUntil(m_Socket, text, ""));
    EXPECT_EQ(kMaxReadLength, text.GetLength());
    char rest[16];
    EXPECT_EQ(10, m_Socket.ReceiveAll(rest, 10, 0));
    sender.join();
}

TEST(QuickCheck, OnlyTrueInAnyCase)
{
    struct Case
    {
        const char* szParam;
        bool bQuick;
    } cases[] = {
        {"true", true},   {"TRUE", true}, {"TrUe", true}, {"true ", false}, {" true", false},
        {"false", false}, {"1", false},   {"", false},    {nullptr, false}, {"tru", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsQuickCheck(c.szParam), c.bQuick) << (c.szParam ? c.szParam : "(null)");
}

namespace
{
// Echo results handed out in order; records what the echoes were asked for.
std::vector<int32_t> g_Echoes;
size_t g_nEcho;
int g_nPayload, g_nTimeout;

int32_t FakeEcho(const SocketAddress&, int nPayloadSize, int nTimeoutMs)
{
    g_nPayload = nPayloadSize;
    g_nTimeout = nTimeoutMs;
    return g_nEcho < g_Echoes.size() ? g_Echoes[g_nEcho++] : 1;
}
}

TEST(PingMeasure, EchoSequences)
{
    struct Case
    {
        std::vector<int32_t> echoes;
        PingSession::Outcome outcome;
        uint32_t nAverage;
        const char* szError;
        size_t nEchoesUsed;
    } cases[] = {
        {{10, 11, 12, 14}, PingSession::OUTCOME_RESULT, 11, "", 4},  // 47 / 4 rounded down
        {{1, 1, 1, 1}, PingSession::OUTCOME_RESULT, 1, "", 4},
        {{-5, -6, 3, 3, 3, 3}, PingSession::OUTCOME_RESULT, 3, "", 6},  // two errors are not enough
        {{-5, 3, -6, 3, 3, 3}, PingSession::OUTCOME_RESULT, 3, "", 6},
        {{5, 5, 5, 0}, PingSession::OUTCOME_ERROR, 0, "Timeout", 4},  // no result from three
        {{0}, PingSession::OUTCOME_ERROR, 0, "Timeout", 1},
        {{-1, 0}, PingSession::OUTCOME_ERROR, 0, "Timeout", 2},
        {{-30001, 4, -20011, -10002}, PingSession::OUTCOME_ERROR, 0, "Error: -10002", 4},
        {{2000, 2000, 2000, 2001}, PingSession::OUTCOME_RESULT, 2000, "", 4},
    };
    for (const Case& c : cases) {
        g_Echoes = c.echoes;
        g_nEcho = 0;
        uint32_t nAverage = 99;
        ZStringBuffer<256> sError("old");
        SocketAddress address;
        PingSession::Outcome outcome = PingSession::Measure(&FakeEcho, address, nullptr, nullptr, nAverage, sError);
        std::string sCase = ::testing::PrintToString(c.echoes);
        EXPECT_EQ(outcome, c.outcome) << sCase;
        EXPECT_EQ(nAverage, c.nAverage) << sCase;
        if (c.outcome == PingSession::OUTCOME_ERROR) {
            EXPECT_STREQ(sError.GetData(), c.szError) << sCase;
        }
        EXPECT_EQ(g_nEcho, c.nEchoesUsed) << sCase;
        EXPECT_EQ(g_nPayload, 28);
        EXPECT_EQ(g_nTimeout, 2000);
    }
}

TEST(PingMeasure, CancelIsSeenBeforeTheNextEcho)
{
    g_Echoes = {5, 5, 5, 5};
    g_nEcho = 0;
    std::atomic<bool> bCancel(true);
    uint32_t nAverage = 0;
    ZStringBuffer<256> sError;
    SocketAddress address;
    EXPECT_EQ(PingSession::Measure(&FakeEcho, address, &bCancel, nullptr, nAverage, sError),
              PingSession::OUTCOME_CANCELLED);
    EXPECT_EQ(g_nEcho, 0u);
}

TEST(PingMeasure, HostTextGivesTheAddressAndTheLoggedPort)
{
    struct Case
    {
        const char* szHost;
        bool bSet;
        const char* szLogged;
    } cases[] = {
        {"10.0.0.1:3000", true, "10.0.0.1:3000"},
        {"10.0.0.1", true, "10.0.0.1:20201"},
        {"127.0.0.1:x", true, "127.0.0.1:0"},  // no number after ':' gives port 0
        {"no-such-host.invalid", false, "0.0.0.0:20201"},
    };
    for (const Case& c : cases) {
        SocketAddress address = PingSession::MakeAddress(c.szHost);
        EXPECT_EQ(address.IsSet(), c.bSet) << c.szHost;
        EXPECT_STREQ(address.ToString().GetData(), c.szLogged) << c.szHost;
    }
}
