// The policy port serves one client at a time: a client that trickles its request must not hold
// it past the read's overall deadline, however often a byte arrives.
#include <gtest/gtest.h>
#include <atomic>
#include <thread>

#include <string>

#include "launch/ivlsync/genericserver.h"
#include "testsupport.h"

TEST(ReadDeadline, TrickledTextEndsAtTheDeadline)
{
    struct Case
    {
        const char* szName;
        int nDeadlineMs;  // 0: none
        int nDelayMs;     // between the peer's bytes
        int nBytes;       // sent before the '>'
        bool bResult;
    };
    const Case cases[] = {
        // Each byte comes well within any receive time-out; only the whole read is too long.
        {"trickle past the deadline", 300, 20, 150, false},
        {"request within the deadline", 2000, 0, 22, true},
        {"trickle without a deadline", 0, 5, 30, true},
    };
    for (const Case& c : cases) {
        Socket connection;
        SOCKET hPeer = INVALID_SOCKET;
        ASSERT_NO_FATAL_FAILURE(ConnectLoopbackPair(connection, hPeer));
        connection.SetReceiveTimeout(10000);
        std::atomic<bool> bStop(false);
        std::thread peer([&] {
            for (int i = 0; i < c.nBytes && !bStop; ++i) {
                if (send(hPeer, "a", 1, 0) != 1)
                    return;
                if (c.nDelayMs)
                    Sleep(c.nDelayMs);
            }
            send(hPeer, ">", 1, 0);
        });
        ZStringBuffer<256> text;
        EXPECT_EQ(c.bResult, ReadUntil(connection, text, ">", c.nDeadlineMs)) << c.szName;
        if (c.bResult)
            EXPECT_EQ(c.nBytes + 1, text.GetLength()) << c.szName;
        else
            EXPECT_LT(text.GetLength(), c.nBytes) << c.szName;
        bStop = true;
        peer.join();
        closesocket(hPeer);
    }
}
