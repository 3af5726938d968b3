// The download sessions' pieces that need no file server: the progress text and the
// long-file-name clean-up of the install folder.
#include <gtest/gtest.h>

#include <string>

#include "common/system/file.h"
#include "common/system/path.h"
#include "launch/ivlsync/downloadsession.h"
#include "testsupport.h"

TEST(DownloadProgress, Text)
{
    const uint64_t kMiB = 1048576;
    const struct
    {
        uint64_t nDone, nTotal;
        int32_t nRepackTotal, nRepackDone;
        const char* szText;  // null: nothing is sent
    } cases[] = {
        {5 * kMiB, 10 * kMiB, 0, 0, "0.500;5.00/10.00 MB"},
        {5 * kMiB, 10 * kMiB, 2, 1, "0.250;5.00/10.00 MB"},
        {10 * kMiB, 10 * kMiB, 4, 4, "1.000;10.00/10.00 MB"},
        {0, 3 * kMiB, 0, 0, "0.000;0.00/3.00 MB"},
        {1, 3, 0, 0, "0.333;0.00/0.00 MB"},
        // past 4 GiB the counts stay 64-bit
        {5ull * 1024 * kMiB, 10ull * 1024 * kMiB, 0, 0, "0.500;5120.00/10240.00 MB"},
        {0, 0, 0, 0, nullptr},
        {7, 0, 2, 1, nullptr},
    };
    for (const auto& c : cases) {
        ZStringBuffer<256> s;
        bool bSent = DownloadSession::FormatProgress(s, c.nDone, c.nTotal, c.nRepackTotal, c.nRepackDone);
        SCOPED_TRACE(c.szText ? c.szText : "(none)");
        ASSERT_EQ(bSent, c.szText != nullptr);
        if (c.szText) {
            EXPECT_STREQ(s.GetData(), c.szText);
        }
    }
}

class LongNames : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_pWindow = new TestWindow;
        m_Log.Open("longnames_test");
        char szTemp[MAX_PATH];
        GetTempPathA(MAX_PATH, szTemp);
        m_sFolder.Format("%slongnames_%lu", szTemp, GetCurrentProcessId());
        DeleteTree(m_sFolder.GetData());
        ASSERT_TRUE(CreateDirectoryPath(m_sFolder.GetData()));
    }
    void TearDown() override
    {
        DeleteTree(m_sFolder.GetData());
        delete m_pWindow;
        m_Log.Remove();
    }

    // A path below the folder whose whole text is nLength characters long.
    std::string PathOfLength(const char* szSub, int nLength)
    {
        std::string s = std::string(m_sFolder.GetData()) + "\\" + szSub;
        if (!s.empty() && s.back() != '\\')
            s += "\\";
        s.append(nLength - (int)s.size(), 'x');
        return s;
    }
    void Touch(const std::string& sPath) { ASSERT_TRUE(WriteBufferToFile(sPath.c_str(), "1", 1)) << sPath; }
    std::string Marker() const { return std::string(m_sFolder.GetData()) + "\\longfilesscanned1.txt"; }

    TestLog m_Log;
    TestWindow* m_pWindow;
    ZStringBuffer<256> m_sFolder;
};

TEST_F(LongNames, PathsOverTheLimitGoFoldersAfterTheirContents)
{
    const int nLimit = m_sFolder.GetLength() + 193;
    std::string sAtLimit = PathOfLength("", nLimit);
    std::string sOver = PathOfLength("", nLimit + 1);
    ASSERT_TRUE(CreateDirectoryPath((std::string(m_sFolder.GetData()) + "\\a").c_str()));
    std::string sDeepOver = PathOfLength("a", nLimit + 1);
    // a folder over the limit, with a file inside
    std::string sLongFolder = PathOfLength("", nLimit + 5);
    ASSERT_TRUE(CreateDirectoryPath(sLongFolder.c_str()));
    std::string sInside = sLongFolder + "\\f";
    for (const std::string& s : {sAtLimit, sOver, sDeepOver, sInside})
        Touch(s);

    m_pWindow->CleanLongFileNames(m_sFolder.GetData());

    EXPECT_TRUE(File::Exists(sAtLimit.c_str()));
    for (const std::string& s : {sOver, sDeepOver, sInside, sLongFolder})
        EXPECT_FALSE(File::Exists(s.c_str()) || File::IsDirectory(s.c_str())) << s;
    EXPECT_TRUE(File::Exists(Marker().c_str()));
    std::string sLog = m_Log.Text();
    EXPECT_NE(sLog.find("Looking for files with long names (known to create problems with Windows Disk Cleanup)"),
              std::string::npos);
    EXPECT_NE(sLog.find("Deleting 4 files with long names"), std::string::npos) << sLog;
    // the folder's file is logged before the folder
    EXPECT_LT(sLog.find(sInside), sLog.find(sLongFolder + "\n")) << sLog;
}

TEST_F(LongNames, MarkerStopsTheNextScan)
{
    const int nLimit = m_sFolder.GetLength() + 193;
    m_pWindow->CleanLongFileNames(m_sFolder.GetData());
    ASSERT_TRUE(File::Exists(Marker().c_str()));
    std::string sOver = PathOfLength("", nLimit + 1);
    Touch(sOver);
    m_pWindow->CleanLongFileNames(m_sFolder.GetData());
    EXPECT_TRUE(File::Exists(sOver.c_str()));
}

TEST_F(LongNames, FailedDeleteLeavesNoMarker)
{
    const int nLimit = m_sFolder.GetLength() + 193;
    std::string sOver = PathOfLength("", nLimit + 1);
    Touch(sOver);
    // held open without delete sharing: the delete fails
    HANDLE h = CreateFileA(sOver.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    m_pWindow->CleanLongFileNames(m_sFolder.GetData());
    CloseHandle(h);
    EXPECT_NE(m_Log.Text().find("Couldn't delete " + sOver), std::string::npos);
    EXPECT_FALSE(File::Exists(Marker().c_str()));
    // the next start scans again and now succeeds
    m_pWindow->CleanLongFileNames(m_sFolder.GetData());
    EXPECT_FALSE(File::Exists(sOver.c_str()));
    EXPECT_TRUE(File::Exists(Marker().c_str()));
}
