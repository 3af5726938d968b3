// The downloader's pieces that need no server: set-up and log, the selection of files, the
// journal, and the file store's checks.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/containers/zsha256.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "launch/launchlibs/downloader.h"
#include "testhelpers.h"

// The tests' way in to the downloader's own steps: each call goes on to the downloader's member
// of the same name.
struct DownloaderTestAccess
{
#define DOWNLOADER_STEP(name)                                      \
    template <typename... Args>                                    \
    decltype(auto) name(Args&&... args)                            \
    {                                                              \
        return m_Downloader.name(std::forward<Args>(args)...);     \
    }
    DOWNLOADER_STEP(InitDownloader)
    DOWNLOADER_STEP(DownloaderLog)
    DOWNLOADER_STEP(GetTarget)
    DOWNLOADER_STEP(GetSyncCacheDir)
    DOWNLOADER_STEP(GetProgress)
    DOWNLOADER_STEP(SelectFiles)
    DOWNLOADER_STEP(LoadLocalState)
    DOWNLOADER_STEP(AppendJournal)
    DOWNLOADER_STEP(ReplayJournal)
    DOWNLOADER_STEP(DeleteJournal)
    DOWNLOADER_STEP(StoreFile)
    DOWNLOADER_STEP(GetLocalTable)
    DOWNLOADER_STEP(FetchFileLists)
#undef DOWNLOADER_STEP

    Downloader& m_Downloader;
};

namespace
{
// A fresh folder of the test under the temporary folder, deleted with the fixture.
class DownloaderFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Folder = m_Scratch.Path().c_str();
        ZStringArray servers;
        servers.PushBack(ZStringBuffer<16>("127.0.0.1:9"));
        ASSERT_TRUE(m_Downloader.InitDownloader(servers, m_Folder.GetData()));
    }
    void TearDown() override
    {
        // The downloader closes its log when it goes, and only then can the folder go.
        m_pDownloader.reset();
    }

    std::string Read(const char* szRelative)
    {
        ZStringBuffer<256> path;
        JoinPath2(path, m_Folder.GetData(), szRelative);
        if (GetFileAttributesW(ivltest::Wide(path.GetData()).c_str()) == INVALID_FILE_ATTRIBUTES)
            return "<missing>";
        return ivltest::ReadWholeFile(path.GetData());
    }

    static std::string Text(const std::string& sData)
    {
        ZStringBuffer<256> hex;
        Sha256Hex(hex, sData.data(), sData.size());
        return std::string(hex.GetData()) + "-" + std::to_string(sData.size());
    }

    ivltest::TempFolder m_Scratch;
    ZStringBuffer<256> m_Folder;
    std::unique_ptr<Downloader> m_pDownloader{new Downloader()};
    // The downloader as the tests call it, its own steps included.
    DownloaderTestAccess m_Downloader{*m_pDownloader};
};
}

// The set-up leaves its log open, as a bundle download does: a run after it on the same folder
// goes on in that log. A log that an earlier run left in a folder is replaced.
TEST_F(DownloaderFixture, TargetIsNormalisedAndTheLogStartsFreshAfterAClosedOne)
{
    ZStringBuffer<256> slashed(m_Folder);
    slashed.Replace('\\', '/');
    slashed.Append("/");
    m_Downloader.DownloaderLog("bundle run");
    ZStringArray servers;
    ASSERT_TRUE(m_Downloader.InitDownloader(servers, slashed.GetData()));
    EXPECT_STREQ(m_Downloader.GetTarget().GetData(), m_Folder.GetData());
    ZStringBuffer<256> cache(m_Folder);
    cache.Append("\\synccache");
    EXPECT_STREQ(m_Downloader.GetSyncCacheDir().GetData(), cache.GetData());
    EXPECT_TRUE(File::IsDirectory(cache.GetData()));

    // No listener: the lines still reach the file; a line's own "\n" is not doubled.
    m_Downloader.DownloaderLog("GET %s\r\n", "list.txt");
    m_Downloader.DownloaderLog("plain %d", 7);
    m_Downloader.DownloaderLog("ended\n");
    EXPECT_EQ(Read("fetchbatch.log"), "bundle run\r\nGET list.txt\r\r\nplain 7\r\nended\r\n");

    ZStringBuffer<256> other;
    JoinPath2(other, m_Folder.GetData(), "other");
    ASSERT_TRUE(CreateDirectoryPath(other.GetData()));
    ZStringBuffer<256> otherLog;
    JoinPath2(otherLog, other.GetData(), "fetchbatch.log");
    ASSERT_TRUE(WriteBufferToFile(otherLog.GetData(), "earlier run\r\n", 13));
    ASSERT_TRUE(m_Downloader.InitDownloader(servers, other.GetData()));
    m_Downloader.DownloaderLog("this run");
    EXPECT_EQ(Read("other\\fetchbatch.log"), "this run\r\n");
    EXPECT_EQ(Read("fetchbatch.log"), "bundle run\r\nGET list.txt\r\r\nplain 7\r\nended\r\n");
}

TEST_F(DownloaderFixture, SelectionCountsWhatNeedsATransfer)
{
    struct Case
    {
        const char* szName;
        const char* szLocalText;  // null: no local record
        int nFlag1, nFlag2;
        int nRemoteSize;
        bool bCounted;
    };
    const char* szText = "aa-100";
    const Case cases[] = {
        {"missing.dat", nullptr, 0, 0, 0, true},
        {"absent.dat", "aa-100", 0, 1, 0, true},     // flag1 clear: not on disk
        {"changed.dat", "bb-100", 1, 1, 500, true},  // transfer size counts, not the length
        {"current.dat", "aa-100", 1, 1, 0, false},
        {"pending.dat", "aa-100", 1, 0, 0, false},  // only post-processing is pending
        {"_Servers/WebSite/index.html", nullptr, 0, 0, 0, false},
    };
    ZFileTable local, remote;
    int nCounted = 0;
    for (const Case& c : cases) {
        remote.Add(c.szName, ZFileRecord(c.szName, 100, c.nRemoteSize, szText, 1, 1));
        if (c.szLocalText)
            local.Add(c.szName, ZFileRecord(c.szName, 100, 0, c.szLocalText, (uint8_t)c.nFlag1, (uint8_t)c.nFlag2));
        nCounted += c.bCounted ? 1 : 0;
    }
    EXPECT_EQ(m_Downloader.SelectFiles(local, remote), nCounted);
    uint64_t nDone, nTotal;
    int32_t a, b, c, d;
    m_Downloader.GetProgress(&nDone, &nTotal, &a, &b, &c, &d);
    EXPECT_EQ(nTotal, 100u + 100u + 500u);
}

TEST_F(DownloaderFixture, JournalLinesReplayInOrder)
{
    m_Downloader.LoadLocalState(false);
    m_Downloader.AppendJournal(ZFileRecord("x.dat", 5, 0, "old-5", 1, 1));
    m_Downloader.AppendJournal(ZFileRecord("x.dat", 6, 0, "new-6", 1, 0));
    ZFileTable table;
    ASSERT_TRUE(m_Downloader.ReplayJournal(table));
    ZFileRecord* pRecord = table.Find("x.dat");
    ASSERT_NE(pRecord, nullptr);
    EXPECT_STREQ(pRecord->m_Text.GetData(), "new-6");
    EXPECT_EQ(pRecord->m_nFlag2, 0);
    m_Downloader.DeleteJournal();
    EXPECT_FALSE(m_Downloader.ReplayJournal(table));
}

TEST_F(DownloaderFixture, StoreChecksLengthChecksumAndName)
{
    m_Downloader.LoadLocalState(false);
    const std::string sData = "content of the file";
    const std::string sText = Text(sData);
    struct Case
    {
        const char* szName;
        std::string sText;
        std::string sData;
        Downloader::StoreResult result;
        bool bDevice = false;  // never read back: the read would reach the device
    } cases[] = {
        {"dir/ok.dat", sText + "_x", sData, Downloader::STORE_OK},  // more after the digest is allowed
        {"short.dat", sText, sData.substr(1), Downloader::STORE_BAD_CONTENT},
        {"long.dat", sText, sData + "!", Downloader::STORE_BAD_CONTENT},
        {"corrupt.dat", sText, "Content of the file", Downloader::STORE_BAD_CONTENT},
        {"C:/elsewhere.dat", sText, sData, Downloader::STORE_NOT_WRITTEN},
        {"dir//doubled.dat", sText, sData, Downloader::STORE_NOT_WRITTEN},
        {"dir\\..\\..\\up.dat", sText, sData, Downloader::STORE_NOT_WRITTEN},
        {"sub/nul.txt", sText, sData, Downloader::STORE_NOT_WRITTEN, true},
        {"AUX", sText, sData, Downloader::STORE_NOT_WRITTEN, true},
        {"conin$.dat", sText, sData, Downloader::STORE_NOT_WRITTEN, true},
    };
    for (const Case& c : cases) {
        ZFileRecord remote(c.szName, ZFileRecord::NumberFromText(c.sText.c_str()), 0, c.sText.c_str(), 1, 1);
        EXPECT_EQ(m_Downloader.StoreFile(m_Folder.GetData(), remote, c.sData.data(), (uint32_t)c.sData.size()),
                  c.result)
            << c.szName;
        bool bStored = c.result == Downloader::STORE_OK;
        EXPECT_EQ(m_Downloader.GetLocalTable().Find(c.szName) != nullptr, bStored) << c.szName;
        if (!c.bDevice) {
            EXPECT_EQ(Read(c.szName), bStored ? sData : "<missing>") << c.szName;
        }
    }
    const ZFileRecord* pLocal = m_Downloader.GetLocalTable().Find("dir/ok.dat");
    ASSERT_NE(pLocal, nullptr);
    EXPECT_EQ(pLocal->m_nFlag1, 1);
    EXPECT_EQ(pLocal->m_nNumber, sData.size());
}

// Small files under "_packed/" are handed to the catalog "bank5", which keeps only ".bin" names
// and logs the others itself, under its own category: the download log does not name them.
TEST_F(DownloaderFixture, SmallPackedFilesAreHandedToTheCatalog)
{
    m_Downloader.LoadLocalState(false);
    ivltest::LogCapture log;
    const std::string sBlob("\x08\0\0\0blob", 8);  // a catalog blob begins with its own size
    const std::pair<const char*, std::string> files[] = {{"_packed/gfx/a.bin", sBlob},
                                                         {"_packed/gfx/a.dds", "not for the catalog"}};
    for (const auto& file : files) {
        ZFileRecord remote(file.first, (uint32_t)file.second.size(), 0, Text(file.second).c_str(), 1, 1);
        EXPECT_EQ(m_Downloader.StoreFile(m_Folder.GetData(), remote, file.second.data(), (uint32_t)file.second.size()),
                  Downloader::STORE_OK)
            << file.first;
    }
    const std::string index = Read("_packed\\bank5_delta.idx");
    EXPECT_NE(index.find("gfx/a.bin"), std::string::npos) << index;
    EXPECT_EQ(index.find("gfx/a.dds"), std::string::npos) << index;
    EXPECT_TRUE(log.Has("Skipping file gfx/a.dds in small files catalog", "common.containers"));
    EXPECT_EQ(Read("fetchbatch.log").find("Skipping file"), std::string::npos);
}

TEST_F(DownloaderFixture, ListsWithARefusedRecordAreRefusedWhole)
{
    // Lists come from the cache here (no server): each case is one or two lists, read in relative
    // mode as a run reads them. Every one fails, leaves no record, and its log line names the record.
    struct Case
    {
        const char* szWhat;
        std::vector<std::string> lists;
        const char* szLog;
    } cases[] = {
        {"device", {"\"a.txt\",ab-1,0,1,1\r\n\"COM1\",ab-1,0,1,1\r\n"}, "Refusing file name COM1\r\n"},
        {"device in a folder", {"\"sub/nul.txt\",ab-1,0,1,1\r\n"}, "Refusing file name sub/nul.txt\r\n"},
        {"the state",
         {"\"synccache/currentfiles.txt\",ab-1,0,1,1\r\n"},
         "Refusing file name synccache/currentfiles.txt: the program keeps synccache for itself"},
        {"the state's backup as a folder",
         {"\"SyncCache/currentfiles.txt.1/x\",ab-1,0,1,1\r\n"},
         "Refusing file name SyncCache/currentfiles.txt.1/x: the program keeps synccache"},
        {"the log", {"\"fetchbatch.log.\",ab-1,0,1,1\r\n"}, "the program keeps fetchbatch.log"},
        {"the catalog", {"\"_packed/BANK5.idx\",ab-1,0,1,1\r\n"}, "the program keeps _packed/bank5.idx"},
        {"one file in two lists",
         {"\"Dup.txt\",ab-1,0,1,1\r\n", "\"dup.txt\",ab-1,0,1,1\r\n"},
         "Refusing file names Dup.txt and dup.txt: they name the same file"},
        {"separators",
         {"\"d/x.txt\",ab-1,0,1,1\r\n\"../d\\x.txt\",ab-1,0,1,1\r\n"},
         "Refusing file names d/x.txt and d\\x.txt"},
        {"trailing dot", {"\"t.txt\",ab-1,0,1,1\r\n\"t.txt.\",ab-1,0,1,1\r\n"}, "Refusing file names t.txt and t.txt."},
        {"file and folder",
         {"\"p\",ab-1,0,1,1\r\n\"p/q.txt\",ab-1,0,1,1\r\n"},
         "Refusing file name p: p/q.txt needs it as a folder"},
        {"climbing", {"\"..\\up2.txt\",ab-1,0,1,1\r\n"}, "Refusing file name ..\\up2.txt"},
        {"climbing midway", {"\"sub/../../up3.txt\",ab-1,0,1,1\r\n"}, "Refusing file name sub/../../up3.txt"},
    };
    int nList = 0;
    for (const Case& c : cases) {
        std::string names;
        for (const std::string& list : c.lists) {
            std::string name = "list" + std::to_string(nList++) + ".txt";
            ZStringBuffer<256> path;
            JoinPath2(path, m_Downloader.GetSyncCacheDir().GetData(), name.c_str());
            ASSERT_TRUE(WriteBufferToFile(path.GetData(), list.data(), list.size()));
            names += (names.empty() ? "" : ",") + name;
        }
        ZFileTable table;
        EXPECT_FALSE(m_Downloader.FetchFileLists(table, names.c_str(), true, true, false)) << c.szWhat;
        EXPECT_TRUE(table.IsEmpty()) << c.szWhat;
        EXPECT_NE(Read("fetchbatch.log").find(c.szLog), std::string::npos) << c.szWhat;
    }

    // The same records under ordinary names are read.
    ZStringBuffer<256> path;
    JoinPath2(path, m_Downloader.GetSyncCacheDir().GetData(), "good.txt");
    const std::string good = "\"COM10\",ab-1,0,1,1\r\n\"d/x.txt\",ab-1,0,1,1\r\n\"y.txt\",ab-1,0,1,1\r\n"
                             "\"../_packed/gfx/pack.bin\",ab-1,0,1,0\r\n";
    ASSERT_TRUE(WriteBufferToFile(path.GetData(), good.data(), good.size()));
    ZFileTable table;
    EXPECT_TRUE(m_Downloader.FetchFileLists(table, "good.txt", true, true, false));
    EXPECT_EQ(table.GetCount(), 4);
    EXPECT_NE(table.Find("d/y.txt"), nullptr);
}

TEST_F(DownloaderFixture, ShortNameAliasesOfTheStateOrOfAListedFileAreRefused)
{
    // Wine gives long names short aliases as Windows does, and opens a file by either: a list
    // line under an alias would write the state, or a second record of one file, past every
    // check made on the long names. The aliases here are the file system's own.
    m_Downloader.LoadLocalState(false);
    const std::string sState = "\"longfilename.txt\"," + Text("A") + ",1,1,1\r\n";
    ZStringBuffer<256> statePath, filePath;
    JoinPath2(statePath, m_Downloader.GetSyncCacheDir().GetData(), "currentfiles.txt");
    JoinPath2(filePath, m_Folder.GetData(), "longfilename.txt");
    ASSERT_TRUE(WriteBufferToFile(statePath.GetData(), sState.data(), sState.size()));
    ASSERT_TRUE(WriteBufferToFile(filePath.GetData(), "A", 1));
    // The last nPieces pieces of the path's short form, '/'-separated.
    auto Alias = [](const ZStringBase& path, int nPieces) {
        wchar_t szShort[1024];
        DWORD n = GetShortPathNameW(ivltest::Wide(path.GetData()).c_str(), szShort, 1024);
        EXPECT_TRUE(n > 0 && n < 1024) << path.GetData();
        ZStringBuffer<256> shortPath;
        shortPath.AssignUtf16(n > 0 && n < 1024 ? szShort : L"");
        std::string s = shortPath.GetData();
        size_t nStart = s.size();
        for (int i = 0; i < nPieces && nStart != std::string::npos && nStart > 0; ++i)
            nStart = s.find_last_of("\\/", nStart - 1);
        std::string tail = nStart == std::string::npos ? s : s.substr(nStart + 1);
        for (char& c : tail)
            c = c == '\\' ? '/' : c;
        return tail;
    };
    const std::string sStateAlias = Alias(statePath, 2), sFileAlias = Alias(filePath, 1);
    ASSERT_NE(sStateAlias.find('~'), std::string::npos) << sStateAlias;
    ASSERT_NE(sFileAlias.find('~'), std::string::npos) << sFileAlias;

    struct Case
    {
        const char* szWhat;
        std::string sList;
        std::string sAlias;
    } cases[] = {
        {"the state", "\"" + sStateAlias + "\"," + Text("B") + ",1,1,1\r\n", sStateAlias},
        {"a second record of one file",
         "\"longfilename.txt\"," + Text("A") + ",1,1,1\r\n\"" + sFileAlias + "\"," + Text("B") + ",1,1,1\r\n",
         sFileAlias},
    };
    int nList = 0;
    for (const Case& c : cases) {
        std::string name = "alias" + std::to_string(nList++) + ".txt";
        ZStringBuffer<256> path;
        JoinPath2(path, m_Downloader.GetSyncCacheDir().GetData(), name.c_str());
        ASSERT_TRUE(WriteBufferToFile(path.GetData(), c.sList.data(), c.sList.size()));
        ZFileTable table;
        EXPECT_FALSE(m_Downloader.FetchFileLists(table, name.c_str(), true, true, false)) << c.szWhat;
        EXPECT_TRUE(table.IsEmpty()) << c.szWhat;
        EXPECT_NE(Read("fetchbatch.log").find("Refusing file name " + c.sAlias + "\r\n"), std::string::npos)
            << c.szWhat << ": " << Read("fetchbatch.log");
    }
    EXPECT_EQ(Read("synccache/currentfiles.txt"), sState);
    EXPECT_EQ(Read("longfilename.txt"), "A");
}
