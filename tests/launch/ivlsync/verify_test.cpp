// Verification of installed files against "synccache/currentfiles.txt", the progress rule of
// the verify session, and the install-folder lock shared by downloads and verifications.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/containers/zsha256.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "launch/launchlibs/flashmessage.h"
#include "launch/ivlsync/flashserver.h"
#include "launch/ivlsync/folderlock.h"
#include "launch/ivlsync/verify.h"
#include "testsupport.h"

namespace
{
class RecordingListener : public IVerifyListener
{
public:
    void Log(const char* szText) override { m_Lines.push_back(szText); }
    void Error(const char* szText) override { m_Lines.push_back(std::string("E:") + szText); }
    bool IsCancelled() override { return m_bCancel; }
    void Progress(float fFraction, const char* szText) override { m_Progress.push_back(szText); }

    bool Has(const std::string& sLine) const
    {
        for (const std::string& s : m_Lines)
            if (s == sLine)
                return true;
        return false;
    }

    std::vector<std::string> m_Lines;
    std::vector<std::string> m_Progress;
    bool m_bCancel = false;
};

std::string Sha(const std::string& sData)
{
    ZStringBuffer<80> s;
    Sha256Hex(s, sData.data(), sData.size());
    return s.GetData();
}

std::string ReadAll(const std::string& sPath)
{
    return ivltest::ReadWholeFile(sPath);
}

class VerifyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_sRoot = m_Folder.Path();
        ASSERT_TRUE(CreateDirectoryPath((m_sRoot + "\\synccache").c_str()));
    }

    // Writes the file and returns its table line (CR LF ended).
    std::string Put(const std::string& sName, const std::string& sData, const std::string& sSuffix = "")
    {
        ZStringBuffer<256> sPath;
        JoinPath2(sPath, m_sRoot.c_str(), sName.c_str());
        ZStringBuffer<256> sFolder;
        if (GetParentDirectory(sPath.GetData(), sFolder))
            CreateDirectoryPath(sFolder.GetData());
        EXPECT_TRUE(WriteBufferToFile(sPath.GetData(), sData.data(), sData.size()));
        return Line(sName, Sha(sData) + sSuffix);
    }
    static std::string Line(const std::string& sName, const std::string& sText)
    {
        return "\"" + sName + "\"," + sText + ",0,1,1\r\n";
    }
    void WriteTable(const std::string& sText)
    {
        ASSERT_TRUE(WriteBufferToFile(TablePath().c_str(), sText.data(), sText.size()));
    }
    std::string TablePath() const { return m_sRoot + "\\synccache\\currentfiles.txt"; }
    bool Run(RecordingListener& listener)
    {
        VerifyContext context(&listener);
        return VerifyFiles(context, m_sRoot.c_str());
    }

    ivltest::TempFolder m_Folder;
    std::string m_sRoot;
};

TEST_F(VerifyTest, ChangedAndMissingFilesAreDroppedAndTheRestKeptByteForByte)
{
    std::string a = Put("a/one.txt", "first file");
    std::string b = Put("b.txt", "second file");
    std::string c = Put("c/d/three.bin", std::string(70000, 'x'));
    WriteTable(a + b + c);
    Put("b.txt", "second fild");  // one changed byte
    ZStringBuffer<256> sDeleted;
    JoinPath2(sDeleted, m_sRoot.c_str(), "c/d/three.bin");
    ASSERT_TRUE(File::Delete(sDeleted.GetData()));

    RecordingListener listener;
    EXPECT_FALSE(Run(listener));
    EXPECT_TRUE(listener.Has("b.txt failed (checksum error)"));
    EXPECT_TRUE(listener.Has("c/d/three.bin failed (Couldn't read file)"));
    EXPECT_TRUE(listener.Has("Verifying 3 files. This may take a while..."));
    EXPECT_TRUE(listener.Has("3 files checked. 2 of them failed"));
    EXPECT_EQ(ReadAll(TablePath()), a);
    EXPECT_FALSE(File::Exists((TablePath() + ".1").c_str()));
    EXPECT_EQ(listener.m_Progress, (std::vector<std::string>{"1/3", "2/3", "3/3"}));

    // The rewritten table passes as it stands.
    RecordingListener again;
    EXPECT_TRUE(Run(again));
    EXPECT_EQ(ReadAll(TablePath()), a);
}

TEST_F(VerifyTest, EmptyTablePassesWithoutProgressOrRewrite)
{
    WriteTable("");
    RecordingListener listener;
    EXPECT_TRUE(Run(listener));
    EXPECT_TRUE(listener.Has("Verifying 0 files. This may take a while..."));
    EXPECT_TRUE(listener.Has("0 files checked. 0 of them failed"));
    EXPECT_TRUE(listener.m_Progress.empty());
    EXPECT_TRUE(File::Exists(TablePath().c_str()));
}

TEST_F(VerifyTest, MissingTableIsAnError)
{
    RecordingListener listener;
    EXPECT_FALSE(Run(listener));
    EXPECT_TRUE(listener.Has("E:Couldnt read currentfiles.txt"));
    EXPECT_TRUE(listener.Has("Loading file list..."));
}

TEST_F(VerifyTest, ChecksumTextRulesAndPackCompanions)
{
    struct Case
    {
        const char* szName;
        const char* szSuffix;
        bool bUpper;
        bool bCompanion;
        bool bPass;
    };
    const Case cases[] = {
        {"plain.txt", "-10", false, false, true},  // more text after the digits
        {"upper.txt", "", true, false, false},     // hex in upper case
        {"textures/bmp(1)/pack.bin", "", false, false, false},
        {"textures/tga(2)/pack.bin", "", false, true, true},
        {"textures/HDR(3)/pack.bin", "", false, false, false},
        {"textures/dds(1)/pack.bin", "", false, false, true},
        {"textures/bmp/pack.bin", "", false, false, true},  // no parentheses: no companion
    };
    std::string sTable;
    for (const Case& c : cases) {
        std::string sData = std::string("data of ") + c.szName;
        std::string sText = Sha(sData);
        if (c.bUpper)
            for (char& ch : sText)
                ch = (char)toupper((unsigned char)ch);
        Put(c.szName, sData);
        sTable += Line(c.szName, sText + c.szSuffix);
        if (c.bCompanion) {
            std::string sCompanion = std::string(c.szName);
            sCompanion.replace(sCompanion.size() - 8, 8, "repack.bin");
            Put(sCompanion, "repacked");
        }
    }
    WriteTable(sTable);
    RecordingListener listener;
    EXPECT_FALSE(Run(listener));
    for (const Case& c : cases) {
        if (c.bPass)
            continue;
        bool bPack = std::string(c.szName).find("pack.bin") != std::string::npos;
        std::string sWhy = bPack ? " failed (repack.bin doesn't exist)" : " failed (checksum error)";
        EXPECT_TRUE(listener.Has(c.szName + sWhy)) << c.szName;
    }
    std::string sAfter = ReadAll(TablePath());
    for (const Case& c : cases) {
        bool bKept = sAfter.find(std::string("\"") + c.szName + "\"") != std::string::npos;
        EXPECT_EQ(bKept, c.bPass) << c.szName;
    }
}

TEST_F(VerifyTest, CancelBeforeAFileLeavesTheTableAsItWas)
{
    std::string sTable = Put("a.txt", "a") + Line("gone.txt", Sha("gone"));
    WriteTable(sTable);
    RecordingListener listener;
    listener.m_bCancel = true;
    EXPECT_TRUE(Run(listener));
    EXPECT_TRUE(listener.Has("Verification canceled"));
    EXPECT_TRUE(listener.m_Progress.empty());
    EXPECT_EQ(ReadAll(TablePath()), sTable);
}

TEST(PackFormatTest, Table)
{
    struct Case
    {
        const char* szName;
        bool bPack;
        const char* szFormat;
        bool bNeedsRepack;
    };
    const Case cases[] = {
        {"textures/bmp(1)/pack.bin", true, "bmp", true},
        {"textures\\tga(12)\\pack.bin", true, "tga", true},
        {"a/Hdr(1)/pack.bin", true, "Hdr", true},
        {"textures/dds(1)/pack.bin", true, "dds", false},
        {"textures/bmp/pack.bin", false, "", false},
        {"bmp(1)/pack.bin", false, "", false},  // no '/' before the folder
        {"textures/bmp)1(/pack.bin", false, "", false},
        {"textures/bmp(1)/repack.bin", false, "", false},
        {"textures/bmp(1)/pack.bin.old", false, "", false},
    };
    for (const Case& c : cases) {
        ZStringBuffer<16> sFormat;
        EXPECT_EQ(GetPackFormat(c.szName, sFormat), c.bPack) << c.szName;
        if (c.bPack) {
            EXPECT_STREQ(sFormat.GetData(), c.szFormat) << c.szName;
        }
        EXPECT_EQ(NeedsRepackFile(c.szName), c.bNeedsRepack) << c.szName;
    }
}

// The session listener sends the first progress and then at most about one per hundredth, and
// none after the stop.
TEST(VerifySessionListenerTest, ProgressIsThinnedAndEndsWithTheStop)
{
    Socket accepted;
    SOCKET hPeer = INVALID_SOCKET;
    ASSERT_NO_FATAL_FAILURE(ConnectLoopbackPair(accepted, hPeer));
    TestWindow window;
    TestLog log;
    log.Open("verify_listener");
    FlashServer server(&window);
    VerifySession* pSession = new VerifySession(7, accepted, &window, &server);
    VerifySessionListener listener(pSession);
    for (int i = 1; i <= 1000; ++i) {
        ZStringBuffer<32> sText("%d/1000", i);
        listener.Progress((float)i / 1000.0f, sText.GetData());
    }
    listener.CancelAndReply();
    listener.Progress(1.5f, "late");
    std::string sText = ReceiveUntilQuiet(hPeer, 300);
    closesocket(hPeer);
    delete pSession;
    log.Remove();

    int nProgress = 0;
    size_t nPos = 0;
    while ((nPos = sText.find("101;7;", nPos)) != std::string::npos) {
        ++nProgress;
        ++nPos;
    }
    EXPECT_GE(nProgress, 90);
    EXPECT_LE(nProgress, 101);
    EXPECT_NE(sText.find("101;7;0.001;1/1000"), std::string::npos) << sText.substr(0, 200);
    EXPECT_EQ(sText.find("late"), std::string::npos);
    EXPECT_NE(sText.rfind("100;7"), std::string::npos);
    EXPECT_GT(sText.rfind("100;7"), sText.rfind("101;7"));
}

TEST(InstallFolderLockTest, OneHolderPerFolderWhateverTheSpelling)
{
    InstallFolderLock first;
    ASSERT_TRUE(first.TryAcquire("C:\\Games\\IVL\\live\\Live"));
    InstallFolderLock second;
    EXPECT_FALSE(second.TryAcquire("c:/games/ivl/live/live/"));
    InstallFolderLock other;
    EXPECT_TRUE(other.TryAcquire("C:\\Games\\IVL\\live\\test"));
    first.Release();
    EXPECT_TRUE(second.TryAcquire("c:/games/ivl/live/live/"));
}
}
