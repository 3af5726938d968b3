// Start-up pieces of the launcher: the switch parser, the script name, the file search, the
// window sizing rules and the port probe.
#include <gtest/gtest.h>
#include "launch/ivl/globvals.h"
#include "launch/ivl/launchermain.h"
#include "launch/ivl/zivl.h"
#include "common/system/socket.h"
#include "testhelpers.h"
#include <direct.h>
#include <string>
#include <vector>

namespace
{
const char* const kSwitchOptions[] = {"boot.sessionid",       "scenefile",        "boot.loadfromserver",
                                      "boot.playersessionid", "boot.webentrance", "boot.allowlocalserver",
                                      "boot.dedicated",       "boot.port",        "boot.logfile"};
const char* const kUntouched = "<untouched>";

struct SwitchCase
{
    const char* m_szName;
    const char* m_szCmdLine;
    // option=text pairs that the line must set; every other switch option stays untouched
    std::vector<std::pair<const char*, const char*>> m_Expected;
};

TEST(Switches, CommandLinesSetTheirOptions)
{
    const SwitchCase cases[] = {
        {"sync program's line with a further parameter",
         "/S 1234 /M 1234 /P abc /W web /lang en /NOSERVER /H 0 /R \"a=b\" ",
         {{"boot.sessionid", "1234"},
          {"scenefile", "a=b"},
          {"boot.loadfromserver", "true"},
          {"boot.playersessionid", "abc"},
          {"boot.webentrance", "web"},
          {"boot.allowlocalserver", "false"}}},
        {"sync program's line without further parameters",
         "/S 1234 /M 1234 /P abc /W web /lang en /NOSERVER /H 0",
         {{"boot.sessionid", "1234"},
          {"scenefile", "1234"},
          {"boot.loadfromserver", "true"},
          {"boot.playersessionid", "abc"},
          {"boot.webentrance", "web"},
          {"boot.allowlocalserver", "false"}}},
        {"the last of several /R wins",
         "/M m /R \"x=1\" /R \"y=2\"",
         {{"scenefile", "y=2"}, {"boot.loadfromserver", "true"}}},
        {"/D with a port", "/D 7778", {{"boot.dedicated", "true"}, {"boot.port", "7778"}}},
        {"/D with the port right after the letter", "/D7778", {{"boot.dedicated", "true"}, {"boot.port", "7778"}}},
        {"/D followed by a switch", "/D/S 5", {{"boot.dedicated", "true"}, {"boot.sessionid", "5"}}},
        {"/D followed by a word", "/D abc /S 6", {{"boot.dedicated", "true"}, {"boot.sessionid", "6"}}},
        {"single-quoted value with a blank", "/S'a b'", {{"boot.sessionid", "a b"}}},
        {"double-quoted value after a tab", "/W\t\"x y\" /S 2", {{"boot.webentrance", "x y"}, {"boot.sessionid", "2"}}},
        {"/NOSERVER then /R",
         "/NOSERVER /R scene.xml",
         {{"boot.allowlocalserver", "false"}, {"scenefile", "scene.xml"}}},
        {"/NOSERVER glued to a word", "/NOSERVERX /S 3", {{"boot.allowlocalserver", "false"}, {"boot.sessionid", "3"}}},
        {"/N alone is not /NOSERVER", "/N /S 3", {{"boot.sessionid", "3"}}},
        {"/L value", "/Lgame.log", {{"boot.logfile", "game.log"}}},
        {"switch letters are case-sensitive", "/s 4 /m x", {}},
        {"unknown switch drops its value", "/X value /S 4", {{"boot.sessionid", "4"}}},
        {"a leading script name is dropped", "myscript.py /S 2", {{"boot.sessionid", "2"}}},
        {"empty line", "", {}},
        {"blanks only", "  \t ", {}},
        {"ends right after a switch letter",
         "/S 1 /M",
         {{"boot.sessionid", "1"}, {"scenefile", ""}, {"boot.loadfromserver", "true"}}},
        {"ends after the slash", "/S 1 /", {{"boot.sessionid", "1"}}},
        {"ends inside a quoted value", "/S \"unterminated", {{"boot.sessionid", "unterminated"}}},
    };
    for (const SwitchCase& c : cases) {
        for (const char* szName : kSwitchOptions)
            ZOptions::SetString(szName, kUntouched);
        ParseCommandLine(c.m_szCmdLine);
        for (const char* szName : kSwitchOptions) {
            std::string sExpected = kUntouched;
            for (const auto& e : c.m_Expected)
                if (strcmp(e.first, szName) == 0)
                    sExpected = e.second;
            EXPECT_EQ(sExpected, ZOptions::GetString(szName, "")) << c.m_szName << ": " << szName;
        }
    }
}

TEST(Switches, ScriptName)
{
    const std::pair<const char*, const char*> cases[] = {
        {"", "client.py"},         {"/S 1", "client.py"},
        {"run.py /S 1", "run.py"}, {"\"my script.py\" /S 1", "my script.py"},
        {"\"open", "open"},        {"tab\tseparated /S", "tab\tseparated"},  // only a blank ends an unquoted name
    };
    for (const auto& c : cases)
        EXPECT_STREQ(c.second, ScriptNameFromCommandLine(c.first).c_str()) << c.first;
}

class LocateFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_sRoot = m_Folder.Path();
        for (const char* szSub : {"\\a", "\\a\\b", "\\a\\b\\c", "\\elsewhere"})
            CreateDirectoryA((m_sRoot + szSub).c_str(), NULL);
        GetCurrentDirectoryA(MAX_PATH, m_szSavedCwd);
        SetCurrentDirectoryA((m_sRoot + "\\elsewhere").c_str());
    }
    void TearDown() override
    {
        // the folder can go only once it is not the current one
        SetCurrentDirectoryA(m_szSavedCwd);
    }
    void Touch(const char* szName) { ASSERT_TRUE(ivltest::WriteWholeFile(m_sRoot + szName, "")); }
    ivltest::TempFolder m_Folder;
    std::string m_sRoot;
    char m_szSavedCwd[MAX_PATH];
};

TEST_F(LocateFileTest, SearchesCurrentFolderThenProgramFolderUpwards)
{
    Touch("\\a\\client.ini");
    Touch("\\elsewhere\\local.txt");
    Touch("\\a\\b\\c\\both.txt");
    Touch("\\both.txt");
    std::string sProgram = m_sRoot + "\\a\\b\\c\\ivl.exe";
    ZStringBuffer<512> result;

    EXPECT_TRUE(LocateFile(result, sProgram.c_str(), "client.ini"));  // a parent of the program's folder
    EXPECT_STREQ((m_sRoot + "\\a\\client.ini").c_str(), result.c_str());

    EXPECT_TRUE(LocateFile(result, sProgram.c_str(), "local.txt"));  // the current folder
    EXPECT_STREQ((m_sRoot + "\\elsewhere\\local.txt").c_str(), result.c_str());

    // The current folder's parents come before the program's folder.
    EXPECT_TRUE(LocateFile(result, sProgram.c_str(), "both.txt"));
    EXPECT_STREQ((m_sRoot + "\\both.txt").c_str(), result.c_str());

    std::string sAbsolute = m_sRoot + "\\a\\client.ini";
    EXPECT_TRUE(LocateFile(result, sProgram.c_str(), sAbsolute.c_str()));
    EXPECT_STREQ(sAbsolute.c_str(), result.c_str());

    result.Assign("unchanged");
    EXPECT_FALSE(LocateFile(result, sProgram.c_str(), "missing.ini"));
    EXPECT_STREQ("unchanged", result.c_str());

    char szCwd[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, szCwd);
    EXPECT_STREQ((m_sRoot + "\\elsewhere").c_str(), szCwd);
}

TEST(WindowPlacement, SizesOnAGivenScreen)
{
    struct Case
    {
        const char* m_szResolution;
        int m_nScreenWidth, m_nScreenHeight;
        ZWindowPlacement m_Expected;  // x, y, width, height
    };
    const Case cases[] = {
        {"800x600", 1920, 1080, {560, 240, 800, 600}},
        {"320x200", 1920, 1080, {640, 300, 640, 480}},
        {"639x600", 1920, 1080, {640, 300, 640, 480}},
        {"0x0", 1920, 1080, {320, 180, 1280, 720}},  // ratio 1777
        {"0x0", 1920, 1200, {320, 200, 1280, 800}},  // ratio 1600
        {"0x0", 2560, 1080, {640, 140, 1280, 800}},  // ratio 2370
        {"0x0", 1366, 768, {0, 0, 1366, 768}},
        {"0x0", 1024, 768, {0, 0, 1024, 768}},
        {"0x0", 1400, 700, {0, 0, 1400, 700}},  // 1280 x 800 does not fit: the screen
        {"3000x2000", 1920, 1080, {0, 0, 1920, 1080}},
        {"0x600", 1920, 1080, {320, 180, 1280, 720}},
        {"big", 1920, 1080, {320, 180, 1280, 720}},
        {"", 1920, 1200, {320, 200, 1280, 800}},
        {"1920x1080", 1920, 1080, {0, 0, 1920, 1080}},
        {"0x0", 1920, 0, {0, 0, 1920, 0}},  // no height: no division by it
    };
    for (const Case& c : cases) {
        ZWindowPlacement p = ComputeWindowPlacement(c.m_szResolution, c.m_nScreenWidth, c.m_nScreenHeight);
        EXPECT_EQ(c.m_Expected.m_nX, p.m_nX)
            << c.m_szResolution << " on " << c.m_nScreenWidth << "x" << c.m_nScreenHeight;
        EXPECT_EQ(c.m_Expected.m_nY, p.m_nY)
            << c.m_szResolution << " on " << c.m_nScreenWidth << "x" << c.m_nScreenHeight;
        EXPECT_EQ(c.m_Expected.m_nWidth, p.m_nWidth)
            << c.m_szResolution << " on " << c.m_nScreenWidth << "x" << c.m_nScreenHeight;
        EXPECT_EQ(c.m_Expected.m_nHeight, p.m_nHeight)
            << c.m_szResolution << " on " << c.m_nScreenWidth << "x" << c.m_nScreenHeight;
    }
}

// The probe ends at its last port instead of running on for ever when every port is taken.
TEST(PortProbe, StopsAtTheLastPortWhenAllAreTaken)
{
    Socket held = Socket::Create(Socket::FAMILY_IPV4, Socket::TYPE_DATAGRAM, Socket::PROTOCOL_UDP);
    SocketAddress any;
    any.SetAny();
    any.SetPort(0);
    ASSERT_TRUE(held.Bind(any));
    sockaddr_in bound = {};
    int nLength = sizeof(bound);
    ASSERT_EQ(0, getsockname(held.GetHandle(), reinterpret_cast<sockaddr*>(&bound), &nLength));
    int nPort = ntohs(bound.sin_port);
    EXPECT_EQ(-1, ProbeFreePort(nPort, nPort));
    held = Socket();
    EXPECT_EQ(nPort, ProbeFreePort(nPort, nPort));
}
// A settings line longer than any read buffer stays one setting: its tail must not become a
// key of its own.
TEST(SettingsFile, LongLinesStayWhole)
{
    ivltest::TempFolder folder;
    const std::string sTail = "smuggled.key = 1";
    const std::string sAtEdge = std::string(2047 - 7, 'a') + sTail;  // "edge = " fills the first 2047 bytes
    std::string sText = "edge = " + sAtEdge + "\n";
    sText += "huge = " + std::string(10000, 'b') + "[smuggled] key = 2\r\n";
    sText += "[after]\nvalue = 3\n";
    ASSERT_TRUE(ivltest::WriteWholeFile(folder.At("long.ini"), sText));
    ASSERT_TRUE(IniFile::Read(folder.At("long.ini").c_str()));
    ZOptionSet* pOptions = ZOptionSet::GetOptions();
    ZOption* pEdge = pOptions->Find("edge");
    ASSERT_NE(nullptr, pEdge);
    EXPECT_EQ(sAtEdge, pEdge->m_sValue.c_str());
    ZOption* pHuge = pOptions->Find("huge");
    ASSERT_NE(nullptr, pHuge);
    EXPECT_EQ(std::string(10000, 'b') + "[smuggled] key = 2", pHuge->m_sValue.c_str());
    EXPECT_EQ(nullptr, pOptions->Find("smuggled.key"));
    EXPECT_EQ(nullptr, pOptions->Find("key"));
    ZOption* pAfter = pOptions->Find("after.value");
    ASSERT_NE(nullptr, pAfter);
    EXPECT_EQ(ZOPTION_INT, pAfter->m_nType);
    EXPECT_EQ(3, pAfter->m_nValue);
}
}  // namespace
