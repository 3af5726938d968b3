#include "common/system/process.h"
#include "common/system/file.h"
#include "common/system/library.h"
#include <gtest/gtest.h>
#include "testhelpers.h"
#include <cstring>
#include <string>
#include <vector>

namespace
{
// The child program and the test DLL stand beside this executable.
std::string HelperPath(const char* szName)
{
    return std::string(Library::GetLibraryDirectory().GetData()) + szName;
}

std::string ChildPath()
{
    return HelperPath("systemtestchild.exe");
}

Process StartChild(const char* szArguments, int nPriority = Process::PRIORITY_NORMAL, bool bHidden = false)
{
    return Process::Start(ChildPath().c_str(), szArguments, nullptr, nullptr, bHidden, true, nPriority);
}

int RunChild(const char* szArguments, int nPriority = Process::PRIORITY_NORMAL, bool bHidden = false)
{
    Process child = StartChild(szArguments, nPriority, bHidden);
    if (!child.IsValid() || !child.Wait(30000))
        return -1000;
    return child.GetExitCode();
}

std::string ReadAll(File& file)
{
    std::string sText;
    char buffer[256];
    size_t n;
    while ((n = file.Read(buffer, sizeof(buffer))) > 0)
        sText.append(buffer, n);
    return sText;
}

std::vector<std::string> ToVector(const ZStringArray& args)
{
    std::vector<std::string> result;
    for (unsigned i = 0; i < args.Size(); ++i)
        result.push_back(args.At(i)->GetData());
    return result;
}
}

// Wine ignores the priority-class flags of CreateProcess (the child runs at the parent's class);
// Start sets the class again before the child runs, so the child's own view is checked here.
TEST(ProcessTest, PriorityLevelsGiveTheirClasses)
{
    const struct
    {
        int nLevel;
        DWORD nStartClass;  // Start's creation flags
        DWORD nSetClass;    // SetPriority
    } cases[] = {
        {0, GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS},  // Start: no flag, the parent's class
        {1, IDLE_PRIORITY_CLASS, IDLE_PRIORITY_CLASS},
        {2, BELOW_NORMAL_PRIORITY_CLASS, BELOW_NORMAL_PRIORITY_CLASS},
        {3, NORMAL_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS},
        {4, ABOVE_NORMAL_PRIORITY_CLASS, ABOVE_NORMAL_PRIORITY_CLASS},
        {5, HIGH_PRIORITY_CLASS, HIGH_PRIORITY_CLASS},
        {6, REALTIME_PRIORITY_CLASS, REALTIME_PRIORITY_CLASS},
        {9, BELOW_NORMAL_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS},
    };
    for (const auto& c : cases)
        EXPECT_EQ(static_cast<int>(c.nStartClass), RunChild("priority", c.nLevel)) << "level " << c.nLevel;

    Process child = StartChild("sleep 20000");
    ASSERT_TRUE(child.IsValid());
    HANDLE hChild = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, child.GetId());
    for (const auto& c : cases) {
        SetPriorityClass(hChild, c.nSetClass == IDLE_PRIORITY_CLASS ? HIGH_PRIORITY_CLASS : IDLE_PRIORITY_CLASS);
        child.SetPriority(c.nLevel);
        EXPECT_EQ(c.nSetClass, GetPriorityClass(hChild)) << "level " << c.nLevel;
    }
    CloseHandle(hChild);
    child.Terminate();
    child.Wait(10000);
}

TEST(ProcessTest, HiddenStartAsksForAHiddenWindow)
{
    EXPECT_EQ(SW_HIDE, RunChild("show", Process::PRIORITY_NORMAL, true));
    EXPECT_EQ(100, RunChild("show", Process::PRIORITY_NORMAL, false));
}

TEST(ProcessTest, ExitCodesPassThrough)
{
    for (int nCode : {0, 1, 42, 255, 1000, 259}) {
        std::string sArgs = "exit " + std::to_string(nCode);
        EXPECT_EQ(nCode, RunChild(sArgs.c_str())) << nCode;
    }
}

TEST(ProcessTest, RunningChildCanBeWaitedForAndTerminated)
{
    Process child = StartChild("sleep 20000");
    ASSERT_TRUE(child.IsValid());
    EXPECT_TRUE(child.IsRunning());
    EXPECT_EQ(259, child.GetExitCode());
    EXPECT_FALSE(child.Wait(50));
    Process copy = child;
    EXPECT_TRUE(copy == child);
    EXPECT_NE(0u, child.GetId());
    EXPECT_TRUE(child.Terminate());
    EXPECT_TRUE(copy.Wait(10000));
    EXPECT_FALSE(child.IsRunning());
    EXPECT_EQ(0, child.GetExitCode());

    Process ended = StartChild("sleep 0");
    ASSERT_TRUE(ended.Wait(30000));
    EXPECT_EQ(7, ended.GetExitCode());
    EXPECT_FALSE(ended == child);
}

TEST(ProcessTest, FailedStartIsAnInvalidProcess)
{
    Process missing = Process::Start("C:\\no such folder\\nothing.exe", "", nullptr, nullptr, true, true, 3);
    EXPECT_FALSE(missing.IsValid());
    DWORD nStart = GetTickCount();
    EXPECT_FALSE(missing.Wait(5000));
    EXPECT_LT(GetTickCount() - nStart, 1000u);
    EXPECT_EQ(-1, missing.GetExitCode());
    EXPECT_FALSE(missing.Terminate());
    EXPECT_FALSE(missing.IsRunning());

    Process empty;
    EXPECT_FALSE(empty.IsValid());
    EXPECT_FALSE(empty.Terminate());
    EXPECT_FALSE(empty.Wait(0));
    EXPECT_STREQ("", empty.GetModuleName().GetData());
}

TEST(ProcessTest, CommandLinesLongerThanTheBufferAreRefused)
{
    // Path, one blank and the arguments must stay within 1023 characters.
    std::string sPath = ChildPath();
    std::string sBase = "exit 5 ";
    size_t nFill = Process::MAX_COMMAND_LINE - sPath.size() - 1 - sBase.size();
    std::string sFits = sBase + std::string(nFill, 'x');
    ASSERT_EQ(static_cast<size_t>(Process::MAX_COMMAND_LINE), sPath.size() + 1 + sFits.size());
    EXPECT_EQ(5, RunChild(sFits.c_str()));

    std::string sTooLong = sFits + "x";
    Process refused = StartChild(sTooLong.c_str());
    EXPECT_FALSE(refused.IsValid());
    std::string sFarTooLong = sBase + std::string(70000, 'y');
    EXPECT_FALSE(StartChild(sFarTooLong.c_str()).IsValid());
    File out;
    EXPECT_FALSE(
        Process::StartWithPipes(sPath.c_str(), sFarTooLong.c_str(), &out, nullptr, nullptr, nullptr, true).IsValid());
    EXPECT_FALSE(out.IsOpen());
}

// Wine quotes a program path that CreateProcess found at blanks itself, so a child there
// never shows an unquoted line; Windows passes the line on as it is.
TEST(ProcessTest, CommandLineQuotesAPathWithBlanks)
{
    const struct
    {
        const char* szPath;
        const char* szArguments;
        const char* szLine;
    } cases[] = {
        {"C:\\game\\ivl.exe", "/S 7", "C:\\game\\ivl.exe /S 7"},
        {"C:\\my game\\ivl.exe", "/S 7 /R \"a=1\" ", "\"C:\\my game\\ivl.exe\" /S 7 /R \"a=1\" "},
        {"C:\\tab\tgame\\ivl.exe", "", "\"C:\\tab\tgame\\ivl.exe\" "},
        {"\"C:\\my game\\ivl.exe\"", "x", "\"C:\\my game\\ivl.exe\" x"},
    };
    for (const auto& c : cases) {
        char szLine[Process::MAX_COMMAND_LINE + 1];
        ASSERT_TRUE(Process::BuildCommandLine(szLine, c.szPath, c.szArguments)) << c.szPath;
        EXPECT_STREQ(c.szLine, szLine);
    }
    // The quotes count against the limit.
    std::string sPath = "C:\\a b\\x.exe";
    std::string sFits(Process::MAX_COMMAND_LINE - sPath.size() - 3, 'y');
    char szLine[Process::MAX_COMMAND_LINE + 1];
    EXPECT_TRUE(Process::BuildCommandLine(szLine, sPath.c_str(), sFits.c_str()));
    EXPECT_EQ(strlen(szLine), static_cast<size_t>(Process::MAX_COMMAND_LINE));
    EXPECT_FALSE(Process::BuildCommandLine(szLine, sPath.c_str(), (sFits + "y").c_str()));
}

TEST(ProcessTest, ShellStartsADocumentWithItsProgram)
{
    // A document type of our own whose open command is the child program.
    ivltest::TempFolder folder;
    std::string sDoc = folder.At("ivl process test.ivlsystestdoc");
    ASSERT_TRUE(ivltest::WriteWholeFile(sDoc, ""));
    std::string sCommand = "\"" + ChildPath() + "\" doc \"%1\"";
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueA(HKEY_CLASSES_ROOT, ".ivlsystestdoc", nullptr, REG_SZ, "IvlSysTest.Document", 20));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueA(HKEY_CLASSES_ROOT, "IvlSysTest.Document\\shell\\open\\command", nullptr, REG_SZ,
                              sCommand.c_str(), static_cast<DWORD>(sCommand.size() + 1)));

    // The working folder is not the test's own, which must go at the end.
    char szTemp[MAX_PATH];
    GetTempPathA(sizeof(szTemp), szTemp);
    Process opened = Process::Start(sDoc.c_str(), "", szTemp, nullptr, true, true, Process::PRIORITY_NORMAL);
    EXPECT_TRUE(opened.IsValid());
    EXPECT_TRUE(opened.Wait(30000));
    EXPECT_EQ(42, opened.GetExitCode());

    RegDeleteTreeA(HKEY_CLASSES_ROOT, ".ivlsystestdoc");
    RegDeleteTreeA(HKEY_CLASSES_ROOT, "IvlSysTest.Document");
}

TEST(ProcessTest, PipesCarryInputAndOutput)
{
    File out, in;
    Process child = Process::StartWithPipes(ChildPath().c_str(), "echo", &out, &in, nullptr, nullptr, true);
    ASSERT_TRUE(child.IsValid());
    ASSERT_TRUE(out.IsOpen() && out.IsReadable());
    ASSERT_TRUE(in.IsOpen() && in.IsWritable());
    // The first bytes of the child's output belong to the caller too.
    const char szText[] = "first line\nsecond line\n";
    EXPECT_EQ(sizeof(szText) - 1, in.Write(szText, sizeof(szText) - 1));
    in.Close();
    EXPECT_EQ(szText, ReadAll(out));
    EXPECT_TRUE(child.Wait(30000));
    EXPECT_EQ(0, child.GetExitCode());
}

TEST(ProcessTest, PipesCanBeOneWay)
{
    File in;
    Process counter = Process::StartWithPipes(ChildPath().c_str(), "count", nullptr, &in, nullptr, nullptr, true);
    ASSERT_TRUE(counter.IsValid());
    in.Write("12345678901", 11);
    in.Close();
    ASSERT_TRUE(counter.Wait(30000));
    EXPECT_EQ(11, counter.GetExitCode());

    char szTemp[MAX_PATH];
    GetTempPathA(sizeof(szTemp), szTemp);
    File out;
    Process cwd = Process::StartWithPipes(ChildPath().c_str(), "cwd", &out, nullptr, szTemp, nullptr, true);
    ASSERT_TRUE(cwd.IsValid());
    std::string sDir = ReadAll(out);
    std::string sExpected = szTemp;
    if (!sExpected.empty() && sExpected.back() == '\\')
        sExpected.pop_back();
    EXPECT_EQ(0, _stricmp(sExpected.c_str(), sDir.c_str())) << sDir;
    EXPECT_TRUE(cwd.Wait(30000));
}

TEST(ProcessTest, ChildSplitsItsOwnCommandLine)
{
    File out;
    std::string sPath = ChildPath();
    std::string sQuoted = "\"" + sPath + "\"";
    Process child =
        Process::StartWithPipes(sQuoted.c_str(), "args \"a b\"  c\t\"\"", &out, nullptr, nullptr, nullptr, true);
    ASSERT_TRUE(child.IsValid());
    EXPECT_EQ(sPath + "\nargs\na b\nc\n", ReadAll(out));
    EXPECT_TRUE(child.Wait(30000));
}

TEST(ProcessTest, SplitCommandLineTable)
{
    const struct
    {
        const char* szLine;
        std::vector<std::string> args;
    } cases[] = {
        {"prog \"a b\" c", {"prog", "a b", "c"}},
        {"prog  a\tb", {"prog", "a", "b"}},
        {"prog \"\"", {"prog"}},
        {"prog \"\" x", {"prog", "x"}},
        {"\"\" x", {"x"}},
        {"  prog", {"prog"}},
        {"prog   ", {"prog"}},
        {"prog \"a\"b", {"prog", "a", "b"}},
        {"a\"b c\"d", {"ab c", "d"}},
        {"prog \"open ended", {"prog", "open ended"}},
        {"\"C:\\Program Files\\x.exe\" /m", {"C:\\Program Files\\x.exe", "/m"}},
        {"", {}},
        {"\t ", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.args, ToVector(Process::SplitCommandLine(c.szLine))) << c.szLine;
}

TEST(ProcessTest, CurrentProcessKnowsItself)
{
    Process self = Process::Current();
    ASSERT_TRUE(self.IsValid());
    EXPECT_EQ(GetCurrentProcessId(), self.GetId());
    EXPECT_TRUE(self == Process::Current());
    EXPECT_TRUE(self.IsRunning());
    EXPECT_EQ(0, _stricmp("test_threads_process.exe", self.GetModuleName().GetData()));
    char szPath[MAX_PATH];
    GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
    EXPECT_STREQ(szPath, self.GetModuleFileName().GetData());
    ZStringArray args = self.CommandLine();
    ASSERT_GE(args.Size(), 1u);
    EXPECT_TRUE(File::GetFileName(args.At(0)->GetData()).EqualsNoCase("test_threads_process.exe") ||
                File::GetFileName(args.At(0)->GetData()).EqualsNoCase("test_threads_process"))
        << args.At(0)->GetData();
}

TEST(ProcessTest, FindByNameTakesAMatchingProcess)
{
    EXPECT_TRUE(Process::FindByName("TEST_THREADS_PROCESS.EXE").IsValid());
    EXPECT_FALSE(Process::FindByName("no-such-program-7f3a.exe").IsValid());
}

TEST(ProcessTest, CleanupsRunInReverseOrderAtExit)
{
    // In a child: probes built between the start-up steps are destroyed between their clean-ups.
    File out;
    Process child = Process::StartWithPipes(ChildPath().c_str(), "cleanup", &out, nullptr, nullptr, nullptr, true);
    ASSERT_TRUE(child.IsValid());
    EXPECT_EQ("after-winsock registry=1 socket=1\n"
              "before-winsock registry=1 socket=0\n"
              "after-registry registry=1 socket=0\n"
              "before-registry registry=0 socket=0\n",
              ReadAll(out));
    EXPECT_TRUE(child.Wait(30000));
    EXPECT_EQ(0, child.GetExitCode());
}

TEST(ProcessTest, RegistryShutdownLeavesEngineThreadsUsable)
{
    // In a child, since it takes the thread registry down.
    EXPECT_EQ(0, RunChild("shutdown"));
}
