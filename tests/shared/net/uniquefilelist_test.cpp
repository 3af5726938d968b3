// Runs against two tools/fileserver.py instances started by run_uniquefilelist_tests.py: one
// that serves the folder IVL_UFL_ROOT on port IVL_UFL_GOOD and one that answers 500 to every
// path on IVL_UFL_REFUSING; nothing listens on IVL_UFL_CLOSED.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/containers/zmemorybuffer.h"
#include "common/net/http.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/zlog.h"
#include "common/system/zwin.h"
#include "shared/net/remotenames.h"
#include "shared/net/uniquefilelist.h"
#include "testhelpers.h"

namespace
{
using ivltest::EnvText;

std::string Host(const char* szPortVariable)
{
    return "127.0.0.1:" + EnvText(szPortVariable);
}

std::string Text(const ZMemoryBuffer& buffer)
{
    return std::string((const char*)buffer.GetData(), buffer.GetSize());
}

std::string ReadFile(const std::string& strPath)
{
    return ivltest::ReadWholeFile(strPath);
}

void WriteFile(const std::string& strPath, const std::string& text)
{
    ASSERT_TRUE(ivltest::WriteWholeFile(strPath, text)) << strPath;
}

ZStringArray Servers(std::initializer_list<std::string> hosts)
{
    ZStringArray servers;
    for (const std::string& host : hosts)
        servers.Add(host.c_str());
    return servers;
}

// Requests a server has seen for one path (its "/_stats" answer), -1 when none.
int RequestCount(const std::string& strHost, const std::string& strName)
{
    ResponseHolder holder;
    ZStringBuffer<256> strStatus;
    if (HttpDownload(&holder, strHost.c_str(), "_stats", strStatus) != 0)
        return -2;
    std::string stats((const char*)holder.m_pData, holder.m_nSize);
    std::string key = "\"/" + strName + "\": ";
    size_t n = stats.find(key);
    return n == std::string::npos ? 0 : atoi(stats.c_str() + n + key.size());
}

const char kRootList[] = "<?xml version=\"1.0\"?>\n"
                         "<uniquelists>\n"
                         "  <list id=\"Game\" uniquefile=\"game-files.txt\" uniquefilebundle=\"game-bundle\"/>\n"
                         "  <list id=\"VostX_Depends\" uniquefile=\"vostx-files.txt\"/>\n"
                         "</uniquelists>\n";

class UniqueFiles : public ivltest::WinsockTest
{
protected:
    void SetUp() override
    {
        if (EnvText("IVL_UFL_GOOD").empty())
            GTEST_SKIP() << "no file servers (run through run_uniquefilelist_tests.py)";
        m_strGood = Host("IVL_UFL_GOOD");
        m_strRefusing = Host("IVL_UFL_REFUSING");
        m_strClosed = Host("IVL_UFL_CLOSED");
        m_strRoot = EnvText("IVL_UFL_ROOT");
        const ::testing::TestInfo* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
        m_strName = pInfo->name();
        m_strCache = m_Cache.Path();
        ASSERT_FALSE(m_strCache.empty());
    }

    // A file on the servers whose name is unique to the running test.
    std::string Serve(const std::string& strSuffix, const std::string& text)
    {
        std::string strName = m_strName + strSuffix;
        WriteFile(m_strRoot + "\\" + strName, text);
        return strName;
    }
    std::string CachePath(const std::string& strName) { return m_strCache + "\\" + strName; }
    bool LogHas(const std::string& text) { return m_Log.Has(text, "shared.net"); }

    ivltest::LogCapture m_Log;
    ivltest::TempFolder m_Cache;
    std::string m_strGood, m_strRefusing, m_strClosed, m_strRoot, m_strName, m_strCache;
};

TEST_F(UniqueFiles, FirstServerThatAnswersDeliversAndTheFirstIsAlwaysTriedAgain)
{
    struct Case
    {
        const char* szFirst;
        std::string strHost;
        bool bCounts;  // the first server counts its requests
    } aCases[] = {{"refusing", m_strRefusing, true}, {"closed", m_strClosed, false}};
    for (const Case& c : aCases) {
        SCOPED_TRACE(c.szFirst);
        std::string strName = Serve(std::string("_") + c.szFirst, "payload");
        UniqueFileList list(Servers({c.strHost, m_strGood}));
        for (int i = 1; i <= 2; ++i) {
            ZMemoryBuffer buffer;
            ZStringBuffer<256> response;
            ASSERT_TRUE(list.DownloadToBuffer(buffer, strName.c_str(), response));
            EXPECT_EQ("payload", Text(buffer));
            EXPECT_EQ(i, RequestCount(m_strGood, strName));
            if (c.bCounts) {
                EXPECT_EQ(i, RequestCount(m_strRefusing, strName)) << "the first server is asked every time";
            }
        }
    }
}

TEST_F(UniqueFiles, NoServerOrEveryServerFailing)
{
    ZStringBuffer<256> response;
    ZMemoryBuffer buffer;
    UniqueFileList none(Servers({}));
    EXPECT_FALSE(none.DownloadToBuffer(buffer, "anything", response));

    std::string strName = Serve("", "x");
    UniqueFileList failing(Servers({m_strClosed, m_strRefusing}));
    EXPECT_FALSE(failing.DownloadToBuffer(buffer, strName.c_str(), response));
    EXPECT_EQ(0u, buffer.GetSize());
    EXPECT_NE(std::string::npos, std::string(response.GetData()).find("500")) << "the last attempt's status stays";
}

TEST_F(UniqueFiles, GetServerWrapsAround)
{
    UniqueFileList list(Servers({"a:1", "b:2", "c"}));
    EXPECT_STREQ("a:1", list.GetServer(0).GetData());
    EXPECT_STREQ("c", list.GetServer(2).GetData());
    EXPECT_STREQ("b:2", list.GetServer(4).GetData());
}

TEST_F(UniqueFiles, CachedRootListIsReadUnchangedWithoutAskingTheServers)
{
    std::string strName = Serve(".xml", kRootList);
    UniqueFileList list(Servers({m_strGood}));
    ZStringBuffer<256> response;
    ZMemoryBuffer first;
    ASSERT_TRUE(list.GetCachedFile(first, m_strCache.c_str(), strName.c_str(), response));
    EXPECT_EQ(kRootList, Text(first));
    EXPECT_EQ(kRootList, ReadFile(CachePath(strName)));

    WriteFile(m_strRoot + "\\" + strName, "<uniquelists><list id=\"Game\" uniquefile=\"newer.txt\"/></uniquelists>");
    ZMemoryBuffer second;
    ASSERT_TRUE(list.GetCachedFile(second, m_strCache.c_str(), strName.c_str(), response));
    EXPECT_EQ(kRootList, Text(second));
    EXPECT_EQ(1, RequestCount(m_strGood, strName));
    EXPECT_STREQ("game-files.txt",
                 list.GetListUniqueName("Game", m_strCache.c_str(), strName.c_str(), response, nullptr).GetData());
    EXPECT_EQ(1, RequestCount(m_strGood, strName));
}

TEST_F(UniqueFiles, OnlyAWholeSuccessfulDownloadIsCached)
{
    // An error page, a cut body and a cache file that cannot be created: none may leave a
    // file under the list's name that a later call would take for the list.
    std::string strName = Serve(".xml", kRootList);
    struct Case
    {
        const char* szWhat;
        std::vector<std::string> servers;
        std::string strName;
        bool bDelivered;
    } aCases[] = {
        {"error page", {m_strRefusing}, strName, false},
        {"nothing listening", {m_strClosed}, strName, false},
        {"cut body", {m_strGood}, "cut/" + strName, false},
        {"cache file cannot be created", {m_strGood}, "nosuchfolder/" + strName, true},
    };
    // "cut/..." is served short by the good server's script; the plain file stands behind it.
    CreateDirectoryPath((m_strRoot + "\\cut").c_str());
    WriteFile(m_strRoot + "\\cut\\" + strName, kRootList);
    CreateDirectoryPath((m_strRoot + "\\nosuchfolder").c_str());
    WriteFile(m_strRoot + "\\nosuchfolder\\" + strName, kRootList);

    for (const Case& c : aCases) {
        SCOPED_TRACE(c.szWhat);
        ZStringArray servers;
        for (const std::string& s : c.servers)
            servers.Add(s.c_str());
        UniqueFileList list(servers);
        ZMemoryBuffer buffer;
        ZStringBuffer<256> response;
        EXPECT_EQ(c.bDelivered, list.GetCachedFile(buffer, m_strCache.c_str(), c.strName.c_str(), response));
        if (c.bDelivered) {
            EXPECT_EQ(kRootList, Text(buffer));
        }
        std::string strPath = CachePath(c.strName);
        for (char& ch : strPath)
            if (ch == '/')
                ch = '\\';
        EXPECT_FALSE(File::Exists(strPath.c_str())) << strPath;
        EXPECT_FALSE(File::Exists((strPath + ".part").c_str())) << strPath;
    }

    // After all of that the list still arrives and is cached whole.
    UniqueFileList good(Servers({m_strGood}));
    ZMemoryBuffer buffer;
    ZStringBuffer<256> response;
    ASSERT_TRUE(good.GetCachedFile(buffer, m_strCache.c_str(), strName.c_str(), response));
    EXPECT_EQ(kRootList, ReadFile(CachePath(strName)));
}

// A buffer that already holds nearly 4 GB (as it claims) cannot take a body: each call fails,
// says why, and caches nothing.
TEST_F(UniqueFiles, BodyTheBufferCannotTakeIsAFailure)
{
    std::string strName = Serve(".xml", kRootList);
    UniqueFileList list(Servers({m_strGood}));
    char acBlock[16] = {};
    for (bool bCached : {false, true}) {
        SCOPED_TRACE(bCached ? "GetCachedFile" : "DownloadToBuffer");
        m_Log.Clear();
        ZMemoryBuffer full;
        full.Attach(acBlock, 0xFFFFFFF0u, 0, true);
        ZStringBuffer<256> response;
        EXPECT_FALSE(bCached ? list.GetCachedFile(full, m_strCache.c_str(), strName.c_str(), response)
                             : list.DownloadToBuffer(full, strName.c_str(), response));
        EXPECT_EQ(0xFFFFFFF0u, full.GetSize());
        EXPECT_TRUE(LogHas("No memory for " + strName));
        EXPECT_FALSE(File::Exists(CachePath(strName).c_str()));
    }
}

TEST_F(UniqueFiles, LeftoverPartFileIsNotTakenForTheList)
{
    std::string strName = Serve(".xml", kRootList);
    WriteFile(CachePath(strName) + ".part", "<uniquelists><list id=\"Ga");
    UniqueFileList list(Servers({m_strGood}));
    ZStringBuffer<256> response;
    ZStringBuffer<256> bundle;
    EXPECT_STREQ("game-files.txt",
                 list.GetListUniqueName("Game", m_strCache.c_str(), strName.c_str(), response, &bundle).GetData());
    EXPECT_STREQ("game-bundle", bundle.GetData());
    EXPECT_EQ(kRootList, ReadFile(CachePath(strName)));
    EXPECT_FALSE(File::Exists((CachePath(strName) + ".part").c_str()));
}

TEST_F(UniqueFiles, NamesThatWouldLeaveTheCacheAreRefusedWithoutARequest)
{
    // A root list name comes from the page; none of these may be read or written outside the
    // cache folder, and none reaches a server. The cache folder is also the downloader's sync
    // cache: a list named after its state would be read from it, or written over it once a
    // server answers that name; a device name would read or write the device.
    const std::string strState = "\"a.dat\",ab-1,1,1,1\r\n";
    WriteFile(CachePath("currentfiles.txt"), strState);
    const char* aszNames[] = {"",
                              "currentfiles.txt",
                              "CurrentFiles.TXT.",
                              "currentfiles.txt.1",
                              "currentfiles.txt.journal",
                              "currentfiles.txt.1/x.xml",
                              "nul",
                              "NUL.xml",
                              "lists/aux .xml",
                              "com1",
                              "..\\escape.xml",
                              "../escape.xml",
                              "a/../../escape.xml",
                              "C:\\x.xml",
                              "\\x.xml",
                              "/x.xml",
                              "a//b.xml",
                              "..",
                              ".",
                              ". .\\x.xml",
                              "list.xml\r\nHost: x"};
    UniqueFileList list(Servers({m_strGood}));
    for (const char* szName : aszNames) {
        SCOPED_TRACE(szName);
        ZMemoryBuffer buffer;
        ZStringBuffer<256> response;
        EXPECT_FALSE(list.GetCachedFile(buffer, m_strCache.c_str(), szName, response));
        EXPECT_EQ(0u, buffer.GetSize());
        EXPECT_EQ(0, RequestCount(m_strGood, szName));
    }
    EXPECT_EQ(0, RequestCount(m_strGood, "escape.xml"));
    EXPECT_EQ(0, RequestCount(m_strGood, "x.xml"));
    EXPECT_EQ(strState, ReadFile(CachePath("currentfiles.txt")));

    // Sub-folders inside the cache are fine.
    EXPECT_TRUE(IsSafeRelativeName("lists/root.xml"));
    EXPECT_TRUE(IsSafeRelativeName("a\\b\\c..d.xml"));
}

TEST_F(UniqueFiles, FindUniqueFileLookups)
{
    struct Case
    {
        const char* szWhat;
        const char* szXml;
        const char* szId;
        const char* szFile;
        const char* szBundle;  // the caller's bundle name afterwards (it starts as "keep")
    } aCases[] = {
        {"duplicate id, first without uniquefile",
         "<uniquelists><list id=\"A\" uniquefilebundle=\"b1\"/><list id=\"A\" uniquefile=\"f2\" "
         "uniquefilebundle=\"b2\"/></uniquelists>",
         "A", "f2", "b2"},
        {"duplicate id, both complete: the first",
         "<uniquelists><list id=\"A\" uniquefile=\"f1\"/><list id=\"A\" uniquefile=\"f2\"/></uniquelists>", "A", "f1",
         "keep"},
        {"no bundle leaves the name", "<uniquelists><list id=\"A\" uniquefile=\"f\"/></uniquelists>", "A", "f", "keep"},
        {"ids are case-sensitive", "<uniquelists><list id=\"a\" uniquefile=\"f\"/></uniquelists>", "A", "", "keep"},
        {"no match", "<uniquelists><list id=\"B\" uniquefile=\"f\"/></uniquelists>", "A", "", "keep"},
        {"no uniquelists element", "<lists><list id=\"A\" uniquefile=\"f\"/></lists>", "A", "", "keep"},
        {"other elements ignored",
         "<uniquelists><item id=\"A\" uniquefile=\"no\"/><list id=\"A\" uniquefile=\"yes\"/></uniquelists>", "A", "yes",
         "keep"},
        {"not XML at all", "<html><body>500 Internal Server Error</body></html>", "A", "", "keep"},
        {"empty", "", "A", "", "keep"},
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(c.szWhat);
        ZMemoryBuffer buffer;
        buffer.Append(c.szXml, (unsigned)strlen(c.szXml));
        ZStringBuffer<256> bundle("keep");
        EXPECT_STREQ(c.szFile, UniqueFileList::FindUniqueFile(c.szId, buffer, &bundle).GetData());
        EXPECT_STREQ(c.szBundle, bundle.GetData());
        EXPECT_STREQ(c.szFile, UniqueFileList::FindUniqueFile(c.szId, buffer, nullptr).GetData());
    }
}

TEST_F(UniqueFiles, DownloadToFileWritesTheBodyOrSaysWhy)
{
    std::string strName = Serve(".bin", std::string("binary\0body\r\n", 13));
    UniqueFileList list(Servers({m_strGood}));
    ZStringBuffer<256> response;
    std::string strTarget = CachePath("out.bin");
    WriteFile(strTarget, "an older and longer file that must be truncated");
    ASSERT_TRUE(list.DownloadToFile(strTarget.c_str(), strName.c_str(), response));
    EXPECT_EQ(std::string("binary\0body\r\n", 13), ReadFile(strTarget));

    EXPECT_FALSE(list.DownloadToFile(CachePath("no\\such\\folder.bin").c_str(), strName.c_str(), response));
    EXPECT_TRUE(LogHas("Create file failed: 3")) << "ERROR_PATH_NOT_FOUND";

    EXPECT_FALSE(list.DownloadToFile(CachePath("missing.bin").c_str(), "no-such-file", response));
    EXPECT_TRUE(LogHas("Download failed"));
    EXPECT_FALSE(File::Exists(CachePath("missing.bin").c_str()));
}

TEST_F(UniqueFiles, GetListUniqueNameWithoutRootList)
{
    UniqueFileList list(Servers({m_strGood}));
    ZStringBuffer<256> response;
    ZStringBuffer<256> bundle;
    EXPECT_STREQ("",
                 list.GetListUniqueName("Game", m_strCache.c_str(), "no-such-root.xml", response, &bundle).GetData());
    EXPECT_NE(std::string::npos, std::string(response.GetData()).find("404"));
}
}  // namespace
