#include <gtest/gtest.h>
#include "testhelpers.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/system/file.h"
#include "common/system/zlog.h"
#include "common/system/ztimer.h"
#include "common/system/zwin.h"

namespace
{

struct HookCall
{
    int nLevel;
    std::string category;
    std::string source;
    std::string text;
    long nSinkBytes;  // what the first sink held when the hook ran
};

std::vector<HookCall> g_DisplayCalls;
std::vector<std::string> g_Order;
File g_ObservedSink;

void CapturingDisplayHook(int32_t nLevel, const char* szCategory, const char* szSource, const char* szText)
{
    long nBytes = -1;
    if (g_ObservedSink.IsOpen()) {
        g_ObservedSink.Flush();
        nBytes = g_ObservedSink.Tell();
    }
    g_DisplayCalls.push_back({nLevel, szCategory, szSource, szText, nBytes});
    g_Order.push_back("display");
}

ZStringBuffer<256> UpperFilter(int nLevel, const char* szCategory, const char* szSource, const char* szText)
{
    g_Order.push_back("filter");
    ZStringBuffer<256> s(szText);
    for (int i = 0; i < s.GetLength(); ++i)
        *s.At(i) = (char)toupper((unsigned char)*s.At(i));
    return s;
}

ZStringBuffer<256> NoLineEndFilter(int, const char*, const char*, const char*)
{
    return ZStringBuffer<256>("replaced");
}

using ivltest::ReadWholeFile;

class LogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_DisplayCalls.clear();
        g_Order.clear();
        ZLog::SetDisplayHook(CapturingDisplayHook);
    }
    void TearDown() override
    {
        ZLog::SetDisplayHook(nullptr);
        ZLog::SetFilterHook(nullptr);
        ZLog::RemoveAllSinks();
        g_ObservedSink.Close();
    }
    // A fresh file opened for writing.
    File NewFile(const char* szName, std::string* pPath)
    {
        *pPath = m_Folder.At(szName);
        return File::Open(pPath->c_str(), File::MODE_WRITE | File::MODE_CREATE);
    }
    ivltest::TempFolder m_Folder;
};

TEST_F(LogTest, TaggedMessagesReachTheDisplayHook)
{
    struct Case
    {
        const char* szTagged;
        int nLevel;
        const char* szText;
    };
    const Case cases[] = {
        {"bHello", 1, "Hello\n"}, {"aline\n", 0, "line\n"},  // no second line ending
        {"cwarn", 2, "warn\n"},   {"derr", 3, "err\n"},
        {"a", 0, "\n"},  // an empty text becomes one line ending
        {"zodd", 25, "odd\n"},    {"Aupper", 'A' - 'a', "upper\n"},
    };
    for (const Case& c : cases) {
        g_DisplayCalls.clear();
        EXPECT_TRUE(ZLog::Write("common.test", "src/file.cpp", c.szTagged));
        ASSERT_EQ(1u, g_DisplayCalls.size()) << c.szTagged;
        EXPECT_EQ(c.nLevel, g_DisplayCalls[0].nLevel) << c.szTagged;
        EXPECT_EQ(c.szText, g_DisplayCalls[0].text) << c.szTagged;
        EXPECT_EQ("common.test", g_DisplayCalls[0].category);
        EXPECT_EQ("src/file.cpp", g_DisplayCalls[0].source);
    }
    g_DisplayCalls.clear();
    EXPECT_TRUE(ZLog::Print("c", "s", "plain"));
    ASSERT_EQ(1u, g_DisplayCalls.size());
    EXPECT_EQ(0, g_DisplayCalls[0].nLevel);
    EXPECT_EQ("plain\n", g_DisplayCalls[0].text);
    g_DisplayCalls.clear();
    ZLog::Write("c", "s", ZLogTextLevel(2, "n=%d", 3).GetData());
    ASSERT_EQ(1u, g_DisplayCalls.size());
    EXPECT_EQ(2, g_DisplayCalls[0].nLevel);
    EXPECT_EQ("n=3\n", g_DisplayCalls[0].text);
}

TEST_F(LogTest, PatternExpansion)
{
    struct Case
    {
        const char* szPattern;
        int nLevel;
        const char* szExpected;
    };
    const Case cases[] = {
        {"[%v] %M: %m", 2, "[warning] cat.x: hi\n"},
        {"%v|%m", 0, "print|hi\n"},
        {"%v|%m", 1, "message|hi\n"},
        {"%v|%m", 3, "error|hi\n"},
        {"%v|%m", 4, "|hi\n"},  // no name outside 0..3
        {"%v|%m", -1, "|hi\n"},
        {"%i %M", 0, "dir/src.cpp cat.x"},  // no line ending unless the pattern has %m
        {"100%% %m", 0, "100% hi\n"},
        {"%q%m", 0, "%qhi\n"},  // unknown code: both characters
        {"%m%", 0, "hi\n"},     // a '%' at the end is dropped
        {"", 0, ""},
        {"plain", 0, "plain"},
    };
    for (const Case& c : cases) {
        std::string path;
        File f = NewFile("pattern.log", &path);
        ASSERT_TRUE(f.IsOpen());
        ZLogSinkHandle h = ZLog::AddSink(f, c.szPattern);
        ASSERT_NE(nullptr, h);
        ZLog::Output(c.nLevel, "cat.x", "dir/src.cpp", "hi");
        ZLog::RemoveSink(h);
        f.Close();
        EXPECT_EQ(c.szExpected, ReadWholeFile(path)) << "pattern '" << c.szPattern << "' level " << c.nLevel;
    }
}

TEST_F(LogTest, PatternTimeDateAndTimer)
{
    std::string path;
    File f = NewFile("time.log", &path);
    ZLogSinkHandle h = ZLog::AddSink(f, "%t [%v] %M: %m");
    ASSERT_NE(nullptr, h);
    std::string before = ZDateTimeText("%X").GetData();
    ZLog::Output(2, "common.system", "x.cpp", "text");
    std::string after = ZDateTimeText("%X").GetData();
    ZLog::RemoveSink(h);
    f.Close();
    std::string line = ReadWholeFile(path);
    std::string tail = " [warning] common.system: text\n";
    EXPECT_TRUE(line == before + tail || line == after + tail) << line;

    File g = NewFile("timer.log", &path);
    h = ZLog::AddSink(g, "%d|%e|%m");
    std::string date = ZDateTimeText("%x").GetData();
    double dBefore = (double)ZTimer::GetTicks() / 1048576.0;
    ZLog::Output(0, "c", "s", "x");
    double dAfter = (double)ZTimer::GetTicks() / 1048576.0;
    ZLog::RemoveSink(h);
    g.Close();
    line = ReadWholeFile(path);
    ASSERT_EQ(0u, line.find(date + "|")) << line;
    std::string seconds = line.substr(date.size() + 1, line.rfind('|') - date.size() - 1);
    size_t nDot = seconds.find('.');
    ASSERT_NE(std::string::npos, nDot) << seconds;
    EXPECT_EQ(6u, seconds.size() - nDot - 1) << seconds;  // "%f": six decimals
    double dValue = atof(seconds.c_str());
    EXPECT_GE(dValue, dBefore - 0.000001);
    EXPECT_LE(dValue, dAfter + 0.000001);
    EXPECT_EQ("|x\n", line.substr(line.rfind('|')));
}

TEST_F(LogTest, SinksInOrderThenDisplayHook)
{
    std::string rawPath, patPath;
    File raw = NewFile("raw.log", &rawPath);
    File pat = NewFile("pat.log", &patPath);
    ZLogSinkHandle hRaw = ZLog::AddSink(raw, nullptr);
    ZLogSinkHandle hPat = ZLog::AddSink(pat, "<%m>");
    ASSERT_NE(nullptr, hRaw);
    ASSERT_NE(nullptr, hPat);
    EXPECT_NE(hRaw, hPat);
    g_ObservedSink = raw;
    ZLog::SetFilterHook(UpperFilter);

    ZLog::Write("c", "s", "amixed Case");
    ASSERT_EQ(1u, g_DisplayCalls.size());
    EXPECT_EQ("MIXED CASE\n", g_DisplayCalls[0].text);  // the hook gets the filtered text
    EXPECT_EQ(11, g_DisplayCalls[0].nSinkBytes);        // written to the sink before the hook
    EXPECT_EQ((std::vector<std::string>{"filter", "display"}), g_Order);

    // A handle that is not in the list changes nothing; a removed sink gets no more lines.
    int nNotASink = 0;
    ZLog::RemoveSink(&nNotASink);
    ZLog::RemoveSink(hRaw);
    ZLog::RemoveSink(hRaw);
    ZLog::Write("c", "s", "bsecond");
    ZLog::SetFilterHook(nullptr);
    ZLog::RemoveAllSinks();
    g_ObservedSink.Close();
    raw.Close();
    pat.Close();
    EXPECT_EQ("MIXED CASE\n", ReadWholeFile(rawPath));
    EXPECT_EQ("<MIXED CASE\n><SECOND\n>", ReadWholeFile(patPath));
}

TEST_F(LogTest, FilterResultIsUsedAsReturned)
{
    std::string path;
    File f = NewFile("filter.log", &path);
    ZLog::AddSink(f, nullptr);
    ZLog::SetFilterHook(NoLineEndFilter);
    ZLog::Write("c", "s", "boriginal");
    ZLog::RemoveAllSinks();
    f.Close();
    ASSERT_EQ(1u, g_DisplayCalls.size());
    EXPECT_EQ("replaced", g_DisplayCalls[0].text);  // no second line-ending check
    EXPECT_EQ("replaced", ReadWholeFile(path));
}

TEST_F(LogTest, HookSettersReturnWhatTheyGet)
{
    EXPECT_EQ(&UpperFilter, ZLog::SetFilterHook(UpperFilter));
    EXPECT_EQ(nullptr, ZLog::SetFilterHook(nullptr));
    EXPECT_EQ(&CapturingDisplayHook, ZLog::SetDisplayHook(CapturingDisplayHook));
    ZLog::SetDisplayHook(nullptr);
    ZLog::Write("c", "s", "bnobody listens");
    EXPECT_TRUE(g_DisplayCalls.empty());
}

TEST_F(LogTest, PrintRawIsUnchanged)
{
    std::string rawPath, patPath;
    File raw = NewFile("praw.log", &rawPath);
    File pat = NewFile("ppat.log", &patPath);
    ZLog::AddSink(raw, nullptr);
    ZLog::AddSink(pat, "[%v] %m");     // patterns are ignored for raw text
    ZLog::SetFilterHook(UpperFilter);  // and so is the filter
    EXPECT_TRUE(ZLog::PrintRaw("no line end"));
    EXPECT_TRUE(ZLog::PrintRaw(" more"));
    ZLog::RemoveAllSinks();
    raw.Close();
    pat.Close();
    EXPECT_EQ("no line end more", ReadWholeFile(rawPath));
    EXPECT_EQ("no line end more", ReadWholeFile(patPath));
    ASSERT_EQ(2u, g_DisplayCalls.size());
    EXPECT_EQ(0, g_DisplayCalls[0].nLevel);
    EXPECT_EQ("", g_DisplayCalls[0].category);
    EXPECT_EQ("", g_DisplayCalls[0].source);
    EXPECT_EQ("no line end", g_DisplayCalls[0].text);
    EXPECT_TRUE(std::find(g_Order.begin(), g_Order.end(), "filter") == g_Order.end());
}

TEST_F(LogTest, AddSinkRefusesFilesThatCannotBeWritten)
{
    std::string path;
    File w = NewFile("ro.log", &path);
    w.Write("x", 1);
    w.Close();
    File ro = File::Open(path.c_str(), File::MODE_READ);
    ASSERT_TRUE(ro.IsOpen());
    EXPECT_EQ(nullptr, ZLog::AddSink(ro, nullptr));
    File empty;
    EXPECT_EQ(nullptr, ZLog::AddSink(empty, "%m"));
    ro.Close();

    // Nothing was added: a sink added now is the only one that gets the line.
    std::string path2;
    File f = NewFile("only.log", &path2);
    ZLog::AddSink(f, nullptr);
    ZLog::Write("c", "s", "aone");
    ZLog::RemoveAllSinks();
    f.Close();
    EXPECT_EQ("x", ReadWholeFile(path));
    EXPECT_EQ("one\n", ReadWholeFile(path2));
}

TEST_F(LogTest, SinkKeepsItsOwnShareOfTheFile)
{
    std::string path;
    ZLogSinkHandle h;
    {
        File f = NewFile("share.log", &path);
        h = ZLog::AddSink(f, nullptr);
        ASSERT_NE(nullptr, h);
    }  // the caller's handle is gone; the sink's copy keeps the file open
    ZLog::Write("c", "s", "astill open");
    ZLog::RemoveSink(h);  // last reference: the file is closed
    EXPECT_EQ("still open\n", ReadWholeFile(path));
}

TEST_F(LogTest, LinesOfThreadsDoNotInterleave)
{
    std::string path;
    File f = NewFile("threads.log", &path);
    ZLog::AddSink(f, "%M %m");
    ZLog::SetDisplayHook(nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            std::string cat = "t" + std::to_string(t);
            for (int i = 0; i < 300; ++i)
                ZLog::Write(cat.c_str(), "s",
                            ZLogText("line %03d of %d %s", i, t, std::string(60, 'a' + t).c_str()).GetData());
        });
    }
    for (std::thread& th : threads)
        th.join();
    ZLog::RemoveAllSinks();
    f.Close();
    std::string text = ReadWholeFile(path);
    int nLines = 0;
    size_t nPos = 0;
    while (nPos < text.size()) {
        size_t nEnd = text.find('\n', nPos);
        ASSERT_NE(std::string::npos, nEnd);
        std::string line = text.substr(nPos, nEnd - nPos);
        int t = line[1] - '0';
        ASSERT_TRUE(t >= 0 && t < 4) << line;
        std::string expected = "t" + std::to_string(t) + " line " + line.substr(8, 3) + " of " + std::to_string(t) +
            " " + std::string(60, 'a' + t);
        EXPECT_EQ(expected, line);
        nPos = nEnd + 1;
        ++nLines;
    }
    EXPECT_EQ(1200, nLines);
}

TEST_F(LogTest, DebuggerOutputOfLongText)
{
    // A text far larger than any stack buffer must not bring the process down.
    bool bWasEnabled = ZDebugOutput::IsEnabled();
    ZDebugOutput::Enable();
    std::string big(4 * 1024 * 1024, 'd');
    EXPECT_TRUE(ZLog::PrintRaw(big.c_str()));
    ZLog::Write("c", "s", ZLogText("%s", "\xE2\x82\xAC short").GetData());
    if (!bWasEnabled)
        ZDebugOutput::Disable();
    ASSERT_EQ(2u, g_DisplayCalls.size());
    EXPECT_EQ(big.size(), g_DisplayCalls[0].text.size());
}

struct Checked
{
    int n = 0;
};

TEST_F(LogTest, AssertLogsAndGoesOn)
{
    // Without a debugger a failed check logs its line and carries on.
    ASSERT_FALSE(IsDebuggerPresent());
    Checked object;
    int nEvaluated = 0;
    ZASSERT(++nEvaluated == 1);
    EXPECT_EQ(1, nEvaluated);  // the condition runs once
    EXPECT_TRUE(g_DisplayCalls.empty());

    int nLine = __LINE__ + 1;
    ZASSERT(object.n == 5);
    ASSERT_EQ(1u, g_DisplayCalls.size());
    EXPECT_EQ(0, g_DisplayCalls[0].nLevel);
    EXPECT_EQ(ZLOG_CATEGORY, g_DisplayCalls[0].category);
    EXPECT_EQ("test.locks_log", g_DisplayCalls[0].category);
    EXPECT_EQ(__FILE__, g_DisplayCalls[0].source);
    EXPECT_EQ(std::string(__FILE__) + "(" + std::to_string(nLine) + "): ZASSERT(object.n == 5)\n",
              g_DisplayCalls[0].text);

    nLine = __LINE__ + 1;
    ZASSERT(std::max(1, 2) == 3, &object);
    ASSERT_EQ(2u, g_DisplayCalls.size());
    char szAddress[32];
    snprintf(szAddress, sizeof(szAddress), "0x%x", (unsigned)(uintptr_t)&object);
    EXPECT_EQ(std::string(__FILE__) + "(" + std::to_string(nLine) +
                  "): ZASSERT(std::max(1, 2) == 3), this=" + szAddress + "\n",
              g_DisplayCalls[1].text);

    ZASSERT(object.n == 0, &object);
    EXPECT_EQ(2u, g_DisplayCalls.size());
}

}  // namespace
