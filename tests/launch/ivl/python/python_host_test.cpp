// The launcher's Python host with a recording application object and the globals library's
// options store: the modules emb and prop, script runs, calls by name, the search path, and
// (in a child process) the exception printer that ends the process.
#include "launch/ivl/zpython.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/zlog.h"
#include "common/system/zwin.h"
#include "launch/ivl/globvals.h"
#include "launch/ivl/zivl.h"
#include "player/component/componentmanager.h"
#include "fake_application.h"
#include "testhelpers.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <memory>
#include <string>

namespace
{
std::string s_Log;  // every log line's text since the last script run

void CaptureLog(int32_t, const char*, const char*, const char* szText)
{
    s_Log += szText;
}

std::string ProgramFolder()
{
    char szPath[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string path(szPath, n);
    return path.substr(0, path.rfind('\\') + 1);
}

std::string CurrentFolder()
{
    char szPath[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(MAX_PATH, szPath);
    return std::string(szPath, n);
}

using ivltest::Wide;

std::string ReadText(const std::string& path)
{
    return ivltest::ReadWholeFile(path);
}

void WriteText(const std::string& path, const std::string& text)
{
    ASSERT_TRUE(ivltest::WriteWholeFile(path, text)) << path;
}

ZOption* FindOption(const char* szName)
{
    return ZOptionSet::GetOptions()->Find(szName);
}
}  // namespace

class PythonHostTest : public ::testing::Test
{
protected:
    // The search path is made once per process from the current folder: every test of this
    // program runs in one scratch folder.
    static void SetUpTestSuite()
    {
        s_Previous = CurrentFolder();
        s_pFolder.reset(new ivltest::TempFolder("ivlpython"));
        s_Folder = s_pFolder->Path();
        ASSERT_TRUE(CreateDirectoryPath((s_Folder + "\\Python").c_str()));
        ASSERT_TRUE(SetCurrentDirectoryA(s_Folder.c_str()));
        ZLog::SetDisplayHook(&CaptureLog);
        ASSERT_NE(nullptr, CreatePython(ZIvL::Get()));
    }

    static void TearDownTestSuite()
    {
        DestroyPython();
        ZLog::SetDisplayHook(nullptr);
        SetCurrentDirectoryA(s_Previous.c_str());
        s_pFolder.reset();
    }

    void SetUp() override
    {
        Fake().calls.clear();
        Fake().szCmdLine = nullptr;
        Fake().bCallSceneBegin = false;
        s_Log.clear();
    }

    static IPython* Host() { return globvals::GetPython(); }

    // Runs the script text as a file of the scratch folder; the log starts empty.
    static bool Run(const std::string& script, const char* szName = "case.py")
    {
        std::string path = s_Folder + "\\" + szName;
        WriteText(path, script);
        s_Log.clear();
        Fake().calls.clear();
        return Host()->RunFile(path.c_str());
    }

    static std::string Calls()
    {
        std::string text;
        for (const std::string& call : Fake().calls)
            text += (text.empty() ? "" : " ") + call;
        return text;
    }

    static std::unique_ptr<ivltest::TempFolder> s_pFolder;
    static std::string s_Folder;
    static std::string s_Previous;
};
std::unique_ptr<ivltest::TempFolder> PythonHostTest::s_pFolder;
std::string PythonHostTest::s_Folder;
std::string PythonHostTest::s_Previous;

TEST_F(PythonHostTest, EmbPrintLogsTheText)
{
    EXPECT_TRUE(Run("import emb\nemb.Print('hello from client')\n", "client.py"));
    EXPECT_EQ("hello from client\n", s_Log);
    // Scripts saved on Windows carry CR LF line ends.
    EXPECT_TRUE(Run("import emb\r\nif True:\r\n    emb.Print('crlf')\r\n"));
    EXPECT_EQ("crlf\n", s_Log);
}

TEST_F(PythonHostTest, EmbFunctionsReachTheApplication)
{
    struct Case
    {
        const char* szCall;     // a Python expression
        const char* szCalls;    // what the application object was asked, "" for nothing
        const char* szResult;   // repr of the call's result
        const char* szLogLine;  // a line the call logs, or null
    } cases[] = {
        {"emb.Run('scene.xml')", "RunClient(1|scene.xml|0|-|1|0|-|-)", "1", nullptr},
        {"emb.Run('7', 's')", "RunClient(7|s|0|-|1|0|-|-)", "1", nullptr},
        {"emb.Run('7', 's', '4660')", "RunClient(7|s|0|-|1|0|-|4660)", "1", nullptr},
        {"emb.Run('7', 's', True)", "RunClient(7|s|1|-|1|0|-|-)", "1", nullptr},
        {"emb.Run('7', 's', 1, 'p')", "RunClient(7|s|1|p|1|0|-|-)", "1", nullptr},
        {"emb.Run('7', 's', 1, 'p', 0)", "RunClient(7|s|1|p|0|0|-|-)", "1", nullptr},
        {"emb.Run('7', 's', 1, 'p', 0, 7778, 'web')", "RunClient(7|s|1|p|0|7778|web|-)", "1", nullptr},
        {"emb.Run('7', 's', 1, 'p', 0, 7778, 'web', 4660)", "RunClient(7|s|1|p|0|7778|web|4660)", "1", nullptr},
        {"emb.Run('7', 's', 1, 'p', 0, 7778, 'web', 0)", "RunClient(7|s|1|p|0|7778|web|-)", "1", nullptr},
        {"emb.Run(5)", "", "0", "Invalid argument(s) to emb.Run\n"},
        {"emb.Run('7', 's', 'x', 'p')", "", "0", "Invalid argument(s) to emb.Run\n"},
        {"emb.RunServer('7', 's', True, 7778, 'web')", "RunServer(7|s|1|7778|web)", "1", nullptr},
        {"emb.RunServer('7', 's', True)", "RunServer(7|s|1|0|-)", "1", nullptr},
        {"emb.RunServer('7', 's', 7778, 'web')", "RunServer(7|s|0|7778|web)", "1", nullptr},
        {"emb.RunServer('7', 's')", "RunServer(7|s|0|0|-)", "1", nullptr},
        {"emb.RunServer('7')", "", "0", "Invalid argument(s) to emb.RunServer\n"},
        {"emb.Pack('a.xml')", "Pack(a.xml)", "1", nullptr},
        {"emb.PackAndRepack('a.xml')", "PackAndRepack(a.xml)", "1", nullptr},
        {"emb.Pack(3)", "", "0", "Invalid argument(s) to emb.Pack\n"},
        {"emb.PackAndRepack()", "", "0", "Invalid argument(s) to emb.Pack\n"},
        {"emb.SetCrashReport(5)", "SetCrashReportMode(5)", "1", nullptr},
        {"emb.SetCrashReport(0)", "SetCrashReportMode(0)", "1", nullptr},
        {"emb.SetCrashReport(6)", "", "0", "Invalid crash report mode 6. Not changing the report mode.\n"},
        {"emb.SetCrashReport(-1)", "", "0", "Invalid crash report mode -1. Not changing the report mode.\n"},
        {"emb.SetCrashReport('x')", "", "0", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szCall);
        EXPECT_TRUE(Run(std::string("import emb\nr = ") + c.szCall + "\nemb.Print('result ' + repr(r))\n"));
        EXPECT_EQ(c.szCalls, Calls());
        std::string expected = std::string(c.szLogLine ? c.szLogLine : "") + "result " + c.szResult + "\n";
        EXPECT_EQ(expected, s_Log);
    }
}

TEST_F(PythonHostTest, PropSetsOptionsInTheStore)
{
    struct Case
    {
        const char* szCall;
        const char* szOption;  // null: no option may be set
        int nType;
        const char* szValue;  // the option's value as text
        const char* szResult;
    } cases[] = {
        {"prop.SetInt('render', 'width', 5)", "render.width", ZOPTION_INT, "5", "1"},
        {"prop.SetInt('fps', 60)", "fps", ZOPTION_INT, "60", "1"},
        {"prop.SetFloat('cam', 'fov', 1.5)", "cam.fov", ZOPTION_FLOAT, "1.5", "1"},
        {"prop.SetFloat('gamma', 2)", "gamma", ZOPTION_FLOAT, "2", "1"},
        {"prop.SetString('net', 'host', 'a b')", "net.host", ZOPTION_STRING, "a b", "1"},
        {"prop.SetString('scenefile', 'x.xml')", "scenefile", ZOPTION_STRING, "x.xml", "1"},
        {"prop.SetBool('boot', 'run', True)", "boot.run", ZOPTION_BOOL, "true", "1"},
        {"prop.SetBool('boot.pack', 0)", "boot.pack", ZOPTION_BOOL, "false", "1"},
        {"prop.SetInt('bad', 'width', 'five')", nullptr, 0, nullptr, "0"},
        {"prop.SetFloat('bad.gamma')", nullptr, 0, nullptr, "0"},
        {"prop.SetString('bad', 'a', 'b', 'c')", nullptr, 0, nullptr, "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szCall);
        EXPECT_TRUE(Run(std::string("import emb, prop\nemb.Print(repr(") + c.szCall + "))\n"));
        EXPECT_EQ(std::string(c.szResult) + "\n", s_Log);
        if (!c.szOption)
            continue;
        ZOption* pOption = FindOption(c.szOption);
        ASSERT_NE(nullptr, pOption);
        EXPECT_EQ(c.nType, pOption->m_nType);
        EXPECT_STREQ(c.szValue, pOption->m_sValue.c_str());
    }
    EXPECT_EQ(5, FindOption("render.width")->m_nValue);
    EXPECT_EQ(1.5f, FindOption("cam.fov")->m_fValue);
    EXPECT_EQ(1, FindOption("boot.run")->m_bValue);
    EXPECT_EQ(nullptr, FindOption("bad.width"));
    EXPECT_EQ(nullptr, FindOption("bad.gamma"));
    EXPECT_EQ(nullptr, FindOption("bad.a"));
}

TEST_F(PythonHostTest, CmdLineReturnsTheStoredCommandLine)
{
    struct Case
    {
        const char* szCmdLine;
        const char* szExpected;  // "type length text"; text left out where the code page decides it
    } cases[] = {
        {"ivl.exe /S 5 /lang en", "str 21 ivl.exe /S 5 /lang en"},
        {"caf\xC3\xA9", "str 4 caf\xC3\xA9"},
        {"", "str 0 "},
        {"\xE9t\xE9 /S 5", "str 8"},  // not UTF-8: read in the ANSI code page, never an error
        {nullptr, "NoneType"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szExpected);
        Fake().szCmdLine = c.szCmdLine;
        EXPECT_TRUE(Run("import emb\nc = emb.CmdLine()\n"
                        "t = type(c).__name__\n"
                        "if c is not None: t += ' %d' % len(c)\n"
                        "if c is not None and c.isascii() or 'caf' in (c or ''): t += ' ' + c\n"
                        "emb.Print(t)\n"));
        EXPECT_EQ(std::string(c.szExpected) + "\n", s_Log);
    }
}

TEST_F(PythonHostTest, UserDirIsTheApplicationDataFolder)
{
    EXPECT_TRUE(Run("import emb\nemb.Print(emb.UserDir())\n"));
    EXPECT_EQ(std::string(File::GetAppDataFolder().GetData()) + "\n", s_Log);
}

TEST_F(PythonHostTest, SearchPathHoldsTheStandardLibraryAndTheScriptFolders)
{
    std::string expected =
        std::string(File::GetAppDataFolder().GetData()) + ";" + s_Folder + ";" + s_Folder + "\\Python;q:\\Python";
    EXPECT_EQ(expected, ZPython::GetSearchPath());

    WriteText(s_Folder + "\\Python\\helpermod.py", "WHERE = 'python folder'\n");
    WriteText(s_Folder + "\\cwdmod.py", "WHERE = 'current folder'\n");
    // A stray module named like the standard library's must not replace it.
    WriteText(s_Folder + "\\json.py", "raise RuntimeError('stray json')\n");
    EXPECT_TRUE(Run("import emb, sys, json, helpermod, cwdmod\n"
                    "emb.Print(helpermod.WHERE)\nemb.Print(cwdmod.WHERE)\n"
                    "emb.Print(sys.path[0].lower().endswith('python311.zip') and 'zip first' or sys.path[0])\n"
                    "emb.Print(json.dumps([1]))\n"));
    EXPECT_EQ("python folder\ncurrent folder\nzip first\n[1]\n", s_Log);
}

TEST_F(PythonHostTest, CallFunctionCallsTheScriptsFunctionByName)
{
    EXPECT_TRUE(Run("import emb\n"
                    "def OnSceneBegin():\n    emb.Print('scene begins')\n"
                    "Value = 3\n"));
    s_Log.clear();
    EXPECT_TRUE(Host()->CallFunction("OnSceneBegin"));
    EXPECT_EQ("scene begins\n", s_Log);

    s_Log.clear();
    EXPECT_FALSE(Host()->CallFunction("Missing"));
    EXPECT_FALSE(Host()->CallFunction("Value"));  // not callable
    EXPECT_EQ("", s_Log);

    // The engine's scene-begin callback reaches the script while its emb.Run is under way.
    Fake().bCallSceneBegin = true;
    Fake().szCmdLine = "ivl.exe /S 5";
    EXPECT_TRUE(Run("import emb\n"
                    "def OnSceneBegin():\n    emb.Print('begin ' + emb.CmdLine())\n"
                    "emb.Run('level1.xml')\nemb.Print('after run')\n"));
    Fake().bCallSceneBegin = false;
    EXPECT_EQ("RunClient(1|level1.xml|0|-|1|0|-|-)", Calls());
    EXPECT_EQ("begin ivl.exe /S 5\nafter run\n", s_Log);
}

TEST_F(PythonHostTest, RunFileOfAMissingScriptReturnsFalseSilently)
{
    EXPECT_FALSE(Host()->RunFile((s_Folder + "\\nothere.py").c_str()));
    EXPECT_FALSE(Host()->RunFile(s_Folder.c_str()));
    EXPECT_EQ("", s_Log);
    EXPECT_TRUE(Run(""));  // an empty script is a script
}

namespace
{
bool TwiceHelper(PyObject* pArgs, void* pData, uint8_t* pResult)
{
    int nValue = 0;
    if (!globvals::GetPython()->ParseArgs(pArgs, "i", &nValue))
        return false;
    *pResult = static_cast<uint8_t>(nValue * *static_cast<int*>(pData));
    return true;
}
}  // namespace

TEST_F(PythonHostTest, AddedFunctionsCallTheirHelper)
{
    static int s_nFactor = 2;
    static const ZPythonFunction s_Twice = {"Twice", &s_nFactor};
    void* pModule = Host()->AddModule("tools");
    ASSERT_NE(nullptr, pModule);
    s_Log.clear();
    ASSERT_TRUE(Host()->AddFunction(pModule, &s_Twice, reinterpret_cast<void*>(&TwiceHelper)));
    EXPECT_EQ(0u, s_Log.find("Added function. Helper 0x"));
    EXPECT_TRUE(Run("import emb, tools\nemb.Print(repr(tools.Twice(21)))\n"));
    EXPECT_EQ("42\n", s_Log);
}

namespace
{
// What a helper of an added function does with its arguments: parse them with a form, then store
// each through the converter of its destination's type.
struct Destinations
{
    bool b = false;
    int i = 0;
    long l = 0;
    float f = 0;
    ZStringBuffer<64> s;

    void* Of(const TypeDescriptor* pType)
    {
        return pType == &g_BoolType ? static_cast<void*>(&b)
            : pType == &g_IntType   ? static_cast<void*>(&i)
            : pType == &g_LongType  ? static_cast<void*>(&l)
            : pType == &g_FloatType ? static_cast<void*>(&f)
                                    : static_cast<void*>(&s);
    }
    std::string Text(const TypeDescriptor* pType) const
    {
        if (pType == &g_BoolType)
            return b ? "true" : "false";
        if (pType == &g_IntType)
            return std::to_string(i);
        if (pType == &g_LongType)
            return std::to_string(l);
        if (pType == &g_FloatType)
            return std::to_string(f);
        return s.c_str();
    }
};

struct Conversion
{
    const TypeDescriptor* pType = nullptr;
    const char* szFormat = nullptr;
    Destinations destinations;
    bool bParsed = false;
    void* pStored = nullptr;  // what the converter returned
};

bool StoreHelper(PyObject* pArgs, void* pData, uint8_t*)
{
    Conversion* p = *static_cast<Conversion**>(pData);
    union
    {
        unsigned char b;
        int i;
        long l;
        float f;
        const char* s;
    } parsed = {};
    p->bParsed = globvals::GetPython()->ParseArgs(pArgs, p->szFormat, &parsed);
    const IValueConverter* pConverter = ZPython::GetConverter(p->pType->m_nIndex);
    if (p->bParsed && pConverter)
        p->pStored = pConverter->Store(p->destinations.Of(p->pType), &parsed);
    return true;  // a failure would end the process through the exception printer
}
}  // namespace

TEST_F(PythonHostTest, ConvertersStoreParsedArgumentsByTypeIndex)
{
    static Conversion* s_pConversion = nullptr;
    static const ZPythonFunction s_Store = {"Store", &s_pConversion};
    void* pModule = Host()->AddModule("convert");
    ASSERT_NE(nullptr, pModule);
    ASSERT_TRUE(Host()->AddFunction(pModule, &s_Store, reinterpret_cast<void*>(&StoreHelper)));

    const std::string sLong(100, 'x');  // beyond the buffer's inline bytes
    struct Case
    {
        const TypeDescriptor* pType;
        const char* szFormat;  // the argument form
        const char* szValue;   // the Python argument
        const char* szStored;  // the destination afterwards
    } cases[] = {
        {&g_BoolType, "b", "True", "true"},
        {&g_BoolType, "b", "0", "false"},
        {&g_BoolType, "b", "200", "true"},
        {&g_IntType, "i", "-7", "-7"},
        {&g_IntType, "i", "2147483647", "2147483647"},
        {&g_LongType, "l", "-2147483648", "-2147483648"},
        {&g_LongType, "l", "7778", "7778"},
        {&g_FloatType, "f", "2.5", "2.500000"},
        {&g_FloatType, "f", "-0.125", "-0.125000"},
        {&g_StringType, "s", "'scenes\\\\arena.xml'", "scenes\\arena.xml"},
        {&g_StringType, "s", "''", ""},
        {&g_StringType, "s", "'caf\\u00e9'", "caf\xC3\xA9"},
        {&g_StringType, "s", "'x' * 100", sLong.c_str()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pType->m_szName) + " " + c.szValue);
        Conversion conversion;
        conversion.pType = c.pType;
        conversion.szFormat = c.szFormat;
        s_pConversion = &conversion;
        EXPECT_TRUE(Run(std::string("import convert\nconvert.Store(") + c.szValue + ")\n"));
        ASSERT_TRUE(conversion.bParsed);
        EXPECT_EQ(conversion.destinations.Of(c.pType), conversion.pStored);
        EXPECT_EQ(c.szStored, conversion.destinations.Text(c.pType));
    }
    s_pConversion = nullptr;

    // No destination: nothing stored, null returned.
    int nSource = 5;
    for (const TypeDescriptor* pType : {&g_BoolType, &g_IntType, &g_FloatType})
        EXPECT_EQ(nullptr, ZPython::GetConverter(pType->m_nIndex)->Store(nullptr, &nSource)) << pType->m_szName;
    // The two integer types share a converter; double and indexes that name no type have none.
    EXPECT_EQ(ZPython::GetConverter(g_IntType.m_nIndex), ZPython::GetConverter(g_LongType.m_nIndex));
    for (int nIndex :
         {g_DoubleType.m_nIndex, -1, TypeIndexRegistry::Get().GetCount(), int(TypeIndexRegistry::MaxTypes)})
        EXPECT_EQ(nullptr, ZPython::GetConverter(nIndex)) << nIndex;
}

// Restarts the interpreter twice, and leaves it bound to the application object.
TEST_F(PythonHostTest, RestartedHostWithoutApplicationObject)
{
    DestroyPython();
    EXPECT_EQ(nullptr, globvals::GetPython());
    ASSERT_NE(nullptr, CreatePython(nullptr));
    // A new interpreter has no script module yet: nothing to call, nothing logged.
    EXPECT_FALSE(Host()->CallFunction("OnSceneBegin"));
    EXPECT_EQ("", s_Log);
    EXPECT_TRUE(Run("import emb\nr = emb.Run('scene.xml')\nu = emb.UserDir()\n"
                    "import prop\nprop.SetInt('noapp', 1)\n"));
    EXPECT_EQ("Engine not initialized (or python doesn't know about it)\n", s_Log);
    EXPECT_EQ("", Calls());
    ASSERT_NE(nullptr, FindOption("noapp"));  // prop needs no application object
    DestroyPython();
    ASSERT_NE(nullptr, CreatePython(ZIvL::Get()));
}

// ---------------------------------------------------------------------------------------------
// The exception printer ends the process: scripts run in the child program.

namespace
{
struct ChildResult
{
    DWORD nExitCode = 99;
    std::wstring boxCaption;
    std::wstring boxText;
};

struct BoxSearch
{
    DWORD nProcessId;
    HWND hBox;
};

BOOL CALLBACK FindProcessBox(HWND hWnd, LPARAM lParam)
{
    BoxSearch* pSearch = reinterpret_cast<BoxSearch*>(lParam);
    DWORD nProcessId = 0;
    GetWindowThreadProcessId(hWnd, &nProcessId);
    char szClass[16];
    if (nProcessId == pSearch->nProcessId && GetClassNameA(hWnd, szClass, sizeof(szClass)) &&
        strcmp(szClass, "#32770") == 0 && IsWindowVisible(hWnd)) {
        pSearch->hBox = hWnd;
        return FALSE;
    }
    return TRUE;
}

// Starts the host program on the script, closes the first message box it shows and waits for
// its end (killing it after a minute).
ChildResult RunChild(const std::string& script, const char* szFunction)
{
    ChildResult result;
    std::string cmd = "\"" + ProgramFolder() + "python_script_host.exe\" \"" + script + "\"";
    if (szFunction)
        cmd += std::string(" ") + szFunction;
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        ADD_FAILURE() << "cannot start " << cmd;
        return result;
    }
    CloseHandle(pi.hThread);
    for (int nTry = 0; nTry < 1200; ++nTry) {
        if (WaitForSingleObject(pi.hProcess, 50) == WAIT_OBJECT_0)
            break;
        BoxSearch search = {pi.dwProcessId, nullptr};
        EnumWindows(&FindProcessBox, reinterpret_cast<LPARAM>(&search));
        if (search.hBox && result.boxCaption.empty()) {
            wchar_t szText[512] = {};
            GetWindowTextW(search.hBox, szText, 512);
            result.boxCaption = szText;
            szText[0] = 0;
            GetDlgItemTextW(search.hBox, 0xFFFF, szText, 512);
            result.boxText = szText;
            PostMessageW(search.hBox, WM_COMMAND, IDOK, 0);
        }
    }
    if (WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the host program did not end";
        TerminateProcess(pi.hProcess, 98);
        WaitForSingleObject(pi.hProcess, 10000);
    }
    GetExitCodeProcess(pi.hProcess, &result.nExitCode);
    CloseHandle(pi.hProcess);
    return result;
}

}  // namespace

TEST_F(PythonHostTest, ScriptErrorsAreLoggedShownAndEndTheProcess)
{
    std::string script = s_Folder + "\\client.py";
    std::string log = s_Folder + "\\startup.log";
    struct Case
    {
        const char* szName;
        const char* szScript;
        const char* szFunction;  // called by name after the run, or null
        DWORD nExitCode;
        const char* szLog;  // the whole "startup.log"; %s stands for the script's path
        const char* szBox;  // the box's text, null for no box
    } cases[] = {
        {"raise in a nested call",
         "import emb\nemb.Print('start')\ndef inner():\n    return 1 / 0\n"
         "def outer():\n    return inner()\nouter()\n",
         nullptr, 1,
         "start\nPython Exception:<class 'ZeroDivisionError'>\nCall stack:\n   %s(4)\n   %s(6)\n   %s(7)\n"
         "division by zero : \n%s(4)\n",
         "division by zero : \n%s(4)"},
        {"syntax error", "import emb\ndef broken(:\n    pass\n", nullptr, 1, nullptr,
         nullptr},  // the compiler words the message itself
        {"raise in a function called by name", "import emb\ndef OnSceneBegin():\n    raise ValueError('bad scene')\n",
         "OnSceneBegin", 1, "Python Exception:<class 'ValueError'>\nCall stack:\n   %s(3)\nbad scene : \n%s(3)\n",
         "bad scene : \n%s(3)"},
        {"clean run", "import emb\nemb.Print('fine')\ndef OnSceneBegin():\n    emb.Print('called')\n", "OnSceneBegin",
         0, "fine\ncalled\n", nullptr},
    };
    auto fill = [&](const char* szPattern) {
        std::string text;
        for (const char* p = szPattern; *p; ++p) {
            if (p[0] == '%' && p[1] == 's') {
                text += script;
                ++p;
            } else {
                text += *p;
            }
        }
        return text;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        DeleteFileA(log.c_str());
        WriteText(script, c.szScript);
        ChildResult result = RunChild(script, c.szFunction);
        EXPECT_EQ(c.nExitCode, result.nExitCode);
        std::string actual = ReadText(log);
        // The text-mode log file holds CR LF line ends.
        std::string plain;
        for (char ch : actual)
            if (ch != '\r')
                plain += ch;
        if (!c.szLog) {
            EXPECT_EQ(0u, plain.find("Python Exception:<class 'SyntaxError'>\n")) << plain;
            EXPECT_EQ(std::string::npos, plain.find("Call stack:")) << plain;
            EXPECT_NE(std::string::npos, plain.find("line 2")) << plain;
        } else {
            EXPECT_EQ(fill(c.szLog), plain);
        }
        if (c.nExitCode != 0 && c.szBox) {
            EXPECT_EQ(L"Python error", result.boxCaption);
            std::wstring box = Wide(fill(c.szBox));
            // The box shows line ends as CR LF or LF, as the system draws them.
            std::wstring shown;
            for (wchar_t ch : result.boxText)
                if (ch != L'\r')
                    shown += ch;
            EXPECT_EQ(box, shown);
        } else if (c.nExitCode != 0) {
            EXPECT_EQ(L"Python error", result.boxCaption);
        } else {
            EXPECT_EQ(L"", result.boxCaption);
        }
    }
    DeleteFileA(log.c_str());
}
