// The command server's dispatch and its command frame, with stand-in sessions that live until
// the test removes them, so that busy and duplicate ids do not depend on timing.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "launch/launchlibs/flashmessage.h"
#include "launch/ivlsync/flashserver.h"
#include "testsupport.h"

namespace
{
class StandInSession : public Session
{
public:
    StandInSession(int nId, const Socket& connection, ZIvlSync* pWindow, FlashServer* pServer, int nKind)
        : Session(nId, connection, pWindow, pServer), m_nKind(nKind), m_nCancels(0)
    {
    }
    void Cancel(bool) override { ++m_nCancels; }
    int GetKind() override { return m_nKind; }
    void Run(SessionEnd&) override {}

    int m_nKind;
    std::atomic<LONG> m_nCancels;
};

class Dispatch : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_pWindow = new TestWindow;
        m_Log.Open("dispatch_test");
        m_pServer = new FlashServer(m_pWindow);
        ASSERT_NO_FATAL_FAILURE(ConnectLoopbackPair(m_Connection, m_hPeer));
    }

    void TearDown() override
    {
        for (StandInSession* p : m_Sessions)
            Remove(p);
        m_Sessions.clear();
        m_Connection = Socket();
        closesocket(m_hPeer);
        delete m_pServer;
        delete m_pWindow;
        m_Log.Remove();
    }

    StandInSession* Add(int nId, int nKind)
    {
        StandInSession* p = new StandInSession(nId, m_Connection, m_pWindow, m_pServer, nKind);
        m_pServer->AddSession(p);
        m_Sessions.push_back(p);
        return p;
    }

    void Remove(StandInSession* p)
    {
        m_pServer->RemoveSession(p);
        delete p;
    }

    // The messages that arrive within a short time, NUL-terminated each.
    std::vector<std::string> Replies()
    {
        std::string s = ReceiveUntilQuiet(m_hPeer, 150);
        std::vector<std::string> v;
        size_t nStart = 0;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == 0) {
                v.push_back(s.substr(nStart, i - nStart));
                nStart = i + 1;
            }
        }
        if (nStart < s.size())
            v.push_back("(unterminated) " + s.substr(nStart));
        return v;
    }

    std::string LogText() { return m_Log.Text(); }

    TestLog m_Log;
    TestWindow* m_pWindow = nullptr;
    FlashServer* m_pServer = nullptr;
    Socket m_Connection;
    SOCKET m_hPeer = INVALID_SOCKET;
    std::vector<StandInSession*> m_Sessions;
};

const char kPingUsage[] = "CMD_PING expects 1 parameter (hostname)";
const char kVerifyUsage[] = "CMD_VERIFY expects 2 parameter (distribution, installed_version)";
}

TEST_F(Dispatch, FrameChecksInOrderDuplicateBusyCount)
{
    // Sessions present (id 5 ping, 6 download, 7 run game) -> command -> its one reply.
    Add(5, Session::KIND_PING);
    Add(6, Session::KIND_DOWNLOAD);
    Add(7, Session::KIND_RUNGAME);
    struct Case
    {
        const char* szCommand;
        std::string sReply;
    } cases[] = {
        {"1002;5;127.0.0.1", "7;5;Session already exists"},
        {"1002;5", "7;5;Session already exists"},        // also short of parameters
        {"1004;6;live;", "7;6;Session already exists"},  // another kind, same id
        {"2001;0", "4;-1;Malformed command"},
        {"1002;8;127.0.0.1", "6;8;Already pinging"},
        {"1002;8", "6;8;Already pinging"},  // busy before the count
        {"1000;8;live;;u;true;http://x/", "6;8;Already downloading"},
        {"1003;8;live;;u;set:a;w;true;http://x/", "6;8;Already downloading"},  // both download kinds
        {"1003;8", "6;8;Already downloading"},
        {"1001;8;w;live;;1;2;en", "6;8;Already running"},
        {"1004;8;live", std::string("5;8;") + kVerifyUsage},   // verify is not busy
        {"1004;8;live;", std::string("5;8;") + kVerifyUsage},  // a final ';' is no parameter
        {"1004;8;..\\x;x", "5;8;CMD_VERIFY: invalid parameter for distribution (not a folder under the install root)"},
    };
    for (const Case& c : cases) {
        m_pServer->Dispatch(m_Connection, c.szCommand);
        EXPECT_EQ(Replies(), std::vector<std::string>{c.sReply}) << c.szCommand;
    }
}

TEST_F(Dispatch, RunGameAndVerifySessionsBlockEachOther)
{
    Add(3, Session::KIND_VERIFY);
    m_pServer->Dispatch(m_Connection, "1004;4;live;");
    EXPECT_EQ(Replies(), std::vector<std::string>{"6;4;Already running"});
    m_pServer->Dispatch(m_Connection, "1002;4");
    EXPECT_EQ(Replies(), std::vector<std::string>{std::string("5;4;") + kPingUsage});
}

TEST_F(Dispatch, CancelReachesTheSessionWithoutAReply)
{
    StandInSession* p = Add(9, Session::KIND_PING);
    m_pServer->Dispatch(m_Connection, "2000;9");
    EXPECT_EQ(p->m_nCancels, 1);
    EXPECT_TRUE(Replies().empty());
    m_pServer->Dispatch(m_Connection, "2000;10");
    EXPECT_EQ(Replies(), std::vector<std::string>{"8;10"});
    EXPECT_EQ(p->m_nCancels, 1);
}

TEST_F(Dispatch, RemovalSendsTheLastMessageAndFreesTheId)
{
    StandInSession* p = Add(-3, Session::KIND_PING);
    {
        ZLockGuard guard(m_pServer->GetSessionLock());
        EXPECT_EQ(m_pServer->GetSessionCount(), 1);
        EXPECT_EQ(m_pServer->FindSession(-3), p);
    }

    m_Sessions.clear();
    m_pServer->RemoveSession(p);
    EXPECT_EQ(Replies(), std::vector<std::string>{"200;-3"});
    {
        ZLockGuard guard(m_pServer->GetSessionLock());
        EXPECT_EQ(m_pServer->GetSessionCount(), 0);
        EXPECT_EQ(m_pServer->FindSession(-3), nullptr);
    }
    delete p;

    // The id is free again: the next command gets past the duplicate check.
    m_pServer->Dispatch(m_Connection, "1002;-3");
    EXPECT_EQ(Replies(), std::vector<std::string>{std::string("5;-3;") + kPingUsage});
}

TEST_F(Dispatch, RemovingASessionNotInTheTable)
{
    StandInSession* pKept = Add(4, Session::KIND_PING);
    // Same id, another object: must not take the entry of the one in the table.
    StandInSession* pStray = new StandInSession(4, m_Connection, m_pWindow, m_pServer, Session::KIND_PING);
    m_pServer->RemoveSession(pStray);
    delete pStray;
    EXPECT_EQ(Replies(), std::vector<std::string>{"200;4"});
    EXPECT_NE(LogText().find("Internal error: Removing session that doesn't exist"), std::string::npos);
    {
        ZLockGuard guard(m_pServer->GetSessionLock());
        EXPECT_EQ(m_pServer->FindSession(4), pKept);
    }
}

TEST_F(Dispatch, ManySessionsKeepTheirIds)
{
    for (int i = 0; i < 200; ++i)
        Add((i * 7919) % 1000 - 500, i % 2 ? Session::KIND_DOWNLOAD : Session::KIND_RUNGAME);
    for (size_t i = 0; i < m_Sessions.size(); i += 2) {
        Remove(m_Sessions[i]);
        m_Sessions[i] = nullptr;
    }
    std::vector<StandInSession*> kept;
    for (StandInSession* p : m_Sessions)
        if (p)
            kept.push_back(p);
    m_Sessions = kept;
    {
        ZLockGuard guard(m_pServer->GetSessionLock());
        EXPECT_EQ(m_pServer->GetSessionCount(), (int)kept.size());
        for (StandInSession* p : kept)
            EXPECT_EQ(m_pServer->FindSession(p->GetSessionId()), p);
    }
    Replies();
}

namespace
{
struct LateRemoval
{
    FlashServer* pServer;
    StandInSession* pSession;
};

DWORD WINAPI RemoveLater(void* pArgument)
{
    LateRemoval* p = static_cast<LateRemoval*>(pArgument);
    Sleep(400);
    p->pServer->RemoveSession(p->pSession);
    return 0;
}
}

TEST_F(Dispatch, StopWithWaitingReturnsOnceTheTableIsEmpty)
{
    StandInSession* p = Add(12, Session::KIND_PING);
    m_Sessions.clear();
    LateRemoval removal = {m_pServer, p};
    HANDLE hThread = CreateThread(nullptr, 0, RemoveLater, &removal, 0, nullptr);
    ASSERT_TRUE(hThread);
    DWORD nStart = GetTickCount();
    m_pServer->Stop(true);
    DWORD nElapsed = GetTickCount() - nStart;
    EXPECT_GE(nElapsed, 300u);
    EXPECT_EQ(p->m_nCancels, 1);
    EXPECT_EQ(WaitForSingleObject(hThread, 5000), WAIT_OBJECT_0);
    CloseHandle(hThread);
    delete p;
}

TEST_F(Dispatch, StopWithWaitingOnAnEmptyServerReturns)
{
    DWORD nStart = GetTickCount();
    m_pServer->Stop(true);
    EXPECT_LT(GetTickCount() - nStart, 1000u);
}
