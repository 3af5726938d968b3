// The plug-in core without a page: its log file, the engine log copied into it, the names it
// accepts from the page, the page's arguments, the checksum test and the close command of StopSync.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/containers/zmemorybuffer.h"
#include "common/containers/zsha256.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/socket.h"
#include "common/system/zlock.h"
#include "common/system/zlog.h"
#include "launch/vostx/vostxcore.h"
#include "testhelpers.h"

namespace
{
class SilentCore : public VostxCore
{
public:
    explicit SilentCore(const char* szName) : VostxCore(szName) {}
    void CallFlash(const char*, const char*, float, const char*, void*) override {}
    void CallFlashError(const char*, const char*, const char*, void*) override {}
};

// Holds its install thread in the run's first page call until the gate opens.
class GatedCore : public VostxCore
{
public:
    GatedCore(const char* szName, ZEvent& gate) : VostxCore(szName), m_Gate(gate) {}
    void CallFlash(const char*, const char*, float, const char*, void*) override { m_Gate.Wait(30000); }
    void CallFlashError(const char*, const char*, const char*, void*) override {}

private:
    ZEvent& m_Gate;
};

// Takes down what Init is handed instead of starting a run.
class RecordingCore : public SilentCore
{
public:
    explicit RecordingCore(const char* szName) : SilentCore(szName) {}
    bool Init(const char* szDistribution, const char* szInstalledVersion, const char* szLanguage,
              const ZStringArray& servers, const char* szRootListName, const char* szFlashObjectId) override
    {
        m_sCall = std::string(szDistribution) + "|" + szInstalledVersion + "|" + szLanguage + "|";
        for (unsigned i = 0; i < servers.Size(); ++i)
            m_sCall += std::string(i ? "," : "") + servers[i].GetData();
        m_sCall += std::string("|") + szRootListName + "|" + szFlashObjectId;
        return true;
    }

    std::string m_sCall;
};

bool InUseCountReaches(long nCount, DWORD nTimeoutMs)
{
    DWORD nStart = GetTickCount();
    while (VostxCore::GetInUseCount() != nCount) {
        if (GetTickCount() - nStart > nTimeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

std::string ReadAll(const char* szPath)
{
    return ivltest::ReadWholeFile(szPath);
}

// The log's lines without their time stamps ("Www Mmm dd hh:mm:ss yyyyZ ").
std::string Messages(const std::string& log)
{
    std::string out;
    size_t nStart = 0;
    while (nStart < log.size()) {
        size_t nEnd = log.find("\r\n", nStart);
        if (nEnd == std::string::npos)
            nEnd = log.size();
        std::string line = log.substr(nStart, nEnd - nStart);
        EXPECT_GE(line.size(), 26u) << line;
        EXPECT_EQ('Z', line[24]) << line;
        EXPECT_EQ(' ', line[25]) << line;
        out += line.size() >= 26 ? line.substr(26) : line;
        out += "|";
        nStart = nEnd + 2;
    }
    return out;
}

TEST(VostxCore, LogLinesAndEngineLines)
{
    SilentCore* pCore = new SilentCore("vostxcore_test");
    std::string strLog = pCore->GetLogPath();
    ZStringBuffer<256> workDir = VostxCore::GetWorkDir("vostxcore_test");
    EXPECT_EQ(std::string(workDir.GetData()) + "\\vostx.log", strLog);

    pCore->CoreLog("with its own end %d\n", 1);
    pCore->CoreLog("without one %s", "x");
    ZLog::Print("test", __FILE__, "engine line with %s and %d in it");
    std::string log = ReadAll(strLog.c_str());
    EXPECT_EQ(std::string::npos, log.find("\n\r\n")) << "no doubled line ends";
    EXPECT_EQ("with its own end 1|without one x|engine line with %s and %d in it|", Messages(log));

    // A new core of the same name starts a fresh log; engine lines go to the newest core.
    SilentCore* pSecond = new SilentCore("vostxcore_test");
    EXPECT_EQ(pSecond, VostxCore::GetCurrent());
    EXPECT_EQ("", ReadAll(strLog.c_str()));
    ZLog::Print("test", __FILE__, "after");
    EXPECT_EQ("after|", Messages(ReadAll(strLog.c_str())));

    // With the current core gone the hook drops lines.
    pSecond->Release();
    EXPECT_EQ(nullptr, VostxCore::GetCurrent());
    ZLog::Print("test", __FILE__, "dropped");
    EXPECT_EQ("after|", Messages(ReadAll(strLog.c_str())));
    pCore->Release();
    DeleteTree(workDir.GetData());
}

TEST(VostxCore, WorkFolderNames)
{
    ZStringBuffer<256> expected;
    JoinPath3(expected, File::GetTempPath().GetData(), "IVL", "dev");
    EXPECT_STREQ(expected.GetData(), VostxCore::GetWorkDir("dev").GetData());

    struct Case
    {
        const char* szName;
        bool bSafe;
    } aCases[] = {
        {"live", true},    {"beta-2_x", true},
        {"my dist", true}, {"", false},
        {"..", false},     {".", false},
        {". .", false},    {"..\\x", false},
        {"a/b", false},    {"C:", false},
        {"C:\\x", false},  {"\\\\server", false},
        {"a|b", false},    {"a\tb", false},
        {"x<y", false},    {"0123456789012345678901234567890123456789012345678901234567890123456789", true},
        {"NUL", false},    {"com1.txt", false},
        {"LIVEBE~1", false}, {"live~beta~2", true},
    };
    for (const Case& c : aCases) {
        EXPECT_EQ(c.bSafe, VostxCore::IsSafeFolderName(c.szName)) << c.szName;
        EXPECT_EQ(c.bSafe, !VostxCore::GetWorkDir(c.szName).IsEmpty()) << c.szName;
    }
}

TEST(VostxCore, LanguageCodes)
{
    struct Case
    {
        const char* szLanguage;
        bool bSafe;
    } aCases[] = {
        {"en", true},
        {"pt-BR", true},
        {"zh_Hant", true},
        {"x1", true},
        {"", true},
        {"de%s", true},
        {"0123456789012345678901234567890123", true},
        {"en /a /rs h:80", false},
        {"en\"", false},
        {"en\t", false},
        {"../en", false},
        {"..\\en", false},
        {"C:en", false},
        {"/a", false},
        {"en*", false},
    };
    for (const Case& c : aCases)
        EXPECT_EQ(c.bSafe, VostxCore::IsSafeLanguage(c.szLanguage)) << c.szLanguage;
}

TEST(VostxCore, PageArgumentsReachInitInThePagesOrder)
{
    // Both bindings hand the page's texts to this one mapping: a wrong index would give the
    // install sequence a server for the language or the root list name for the Flash object.
    const ZStringBuffer<256> texts[7] = {"dist", "version", "lang", "server1", "server2", "roots.xml", "flashObj"};
    RecordingCore* pCore = new RecordingCore("vostxcore_page");
    EXPECT_TRUE(pCore->InitFromPage(texts));
    EXPECT_EQ("dist|version|lang|server1,server2|roots.xml|flashObj", pCore->m_sCall);
    pCore->Release();
    DeleteTree(VostxCore::GetWorkDir("vostxcore_page").GetData());
}

TEST(VostxCore, CheckVersionComparesTheDigestPrefixWithoutCase)
{
    ZStringBuffer<256> path;
    JoinPath2(path, File::GetTempPath().GetData(), "vostxcore_check.bin");
    const char kData[] = "some file body\n";
    ASSERT_TRUE(WriteBufferToFile(path.GetData(), kData, sizeof(kData) - 1));
    ZStringBuffer<256> digest;
    Sha256Hex(digest, kData, sizeof(kData) - 1);
    std::string lower = digest.GetData();
    std::string upper = lower;
    for (char& c : upper)
        c = (char)toupper((unsigned char)c);
    std::string wrong = lower;
    wrong[10] = wrong[10] == '0' ? '1' : '0';
    struct Case
    {
        std::string text;
        bool bMatch;
    } aCases[] = {
        {lower, true}, {upper, true}, {lower + "-15", true}, {wrong + "-15", false}, {lower.substr(0, 40), false},
        {"", false},
    };
    for (const Case& c : aCases)
        EXPECT_EQ(c.bMatch, VostxCore::CheckVersion(path.GetData(), c.text.c_str())) << c.text;
    File::Delete(path.GetData());
    EXPECT_FALSE(VostxCore::CheckVersion(path.GetData(), lower.c_str())) << "missing file";
}

TEST(VostxCore, InUseCountCoversCoresAndInstallThreads)
{
    long nBase = VostxCore::GetInUseCount();
    ZEvent gate(true);
    GatedCore* pCore = new GatedCore("vostxcore_inuse", gate);
    ZStringBuffer<256> workDir = VostxCore::GetWorkDir("vostxcore_inuse");
    EXPECT_EQ(nBase + 1, VostxCore::GetInUseCount());
    // Two runs on one core: one waits at the gate, the other finds it running and ends at once.
    ZStringArray servers(4);
    ASSERT_TRUE(pCore->Init("..", "live", "en", servers, "roots.xml", "flashObj"));
    ASSERT_TRUE(pCore->Init("..", "live", "en", servers, "roots.xml", "flashObj"));
    EXPECT_TRUE(InUseCountReaches(nBase + 2, 10000)) << VostxCore::GetInUseCount();
    // The maker lets go: the waiting run keeps the core and counts by itself.
    pCore->Release();
    EXPECT_EQ(nBase + 2, VostxCore::GetInUseCount());
    gate.Set();
    EXPECT_TRUE(InUseCountReaches(nBase, 10000)) << VostxCore::GetInUseCount();
    DeleteTree(workDir.GetData());
}

TEST(VostxCore, OlderCoreEndingLateKeepsTheNewerCoreCurrent)
{
    // The first core's run outlives its maker and a newer core; when it ends, engine lines must
    // still reach the newer core's log.
    ZEvent gate(true);
    long nBase = VostxCore::GetInUseCount();
    GatedCore* pOld = new GatedCore("vostxcore_old", gate);
    ZStringArray servers(4);
    ASSERT_TRUE(pOld->Init("..", "live", "en", servers, "roots.xml", "flashObj"));
    pOld->Release();
    SilentCore* pNew = new SilentCore("vostxcore_new");
    gate.Set();
    EXPECT_TRUE(InUseCountReaches(nBase + 1, 10000)) << VostxCore::GetInUseCount();
    EXPECT_EQ(pNew, VostxCore::GetCurrent());
    ZLog::Print("test", __FILE__, "after the old run");
    EXPECT_EQ("after the old run|", Messages(ReadAll(pNew->GetLogPath())));
    pNew->Release();
    DeleteTree(VostxCore::GetWorkDir("vostxcore_old").GetData());
    DeleteTree(VostxCore::GetWorkDir("vostxcore_new").GetData());
}

// Texts that arrived on the listener, one a connection, until none is waiting.
std::string Received(Socket& listener)
{
    std::string all;
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(listener.GetHandle(), &set);
        timeval wait = {0, 200000};
        if (select(0, &set, nullptr, nullptr, &wait) != 1)
            return all;
        Socket connection = listener.Accept();
        char buffer[256];
        int n = 0;
        while ((n = connection.Receive(buffer, sizeof(buffer), 0)) > 0)
            all.append(buffer, (size_t)n);
        all += "|";
    }
}

TEST(VostxCore, StopSyncAttempts)
{
    SilentCore* pCore = new SilentCore("vostxcore_stop");
    Socket listener = Socket::Create(0, 0, 0);
    SocketAddress address;
    address.Set(127, 0, 0, 1, 0);
    ASSERT_TRUE(listener.Bind(address));
    ASSERT_TRUE(listener.Listen(8));
    uint16_t nOldPort = VostxCore::s_nClosePort;
    VostxCore::s_nClosePort = listener.GetLocalAddress().GetPort();

    // No sync program: nothing to stop.
    EXPECT_FALSE(pCore->StopSync(-1));
    EXPECT_TRUE(pCore->StopSync(0));
    EXPECT_TRUE(pCore->StopSync(3));
    EXPECT_EQ("", Received(listener));

    // A holder of the mutex (this thread, so the waits return at once) that never goes.
    HANDLE hMutex = ZCreateMutex("IvlSync_Running");
    ASSERT_NE(nullptr, hMutex);
    const std::string kClose("2001;1443355140\0|", 17);
    EXPECT_FALSE(pCore->StopSync(-1));
    EXPECT_EQ("", Received(listener));
    EXPECT_TRUE(pCore->StopSync(0)) << "one attempt without waiting";
    EXPECT_EQ(kClose, Received(listener));
    EXPECT_FALSE(pCore->StopSync(2));
    EXPECT_EQ(kClose + kClose, Received(listener));
    ZCloseMutex(hMutex);

    std::string log = ReadAll(pCore->GetLogPath());
    EXPECT_NE(std::string::npos, log.find(" ivlsync didn't shut down after 2 seconds. Giving up!\r\n"));
    VostxCore::s_nClosePort = nOldPort;
    ZStringBuffer<256> workDir = VostxCore::GetWorkDir("vostxcore_stop");
    pCore->Release();
    DeleteTree(workDir.GetData());
}
}  // namespace
