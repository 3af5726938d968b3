// The server-mode window: dialog resources, menu texts, status lines, the log with its start-up
// buffering, live objects and closing, and the write-access test.
#include <gtest/gtest.h>
#include "common/system/zwin.h"
#include <richedit.h>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#include "common/containers/zmemorybuffer.h"
#include "common/stream/streams.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/zlock.h"
#include "common/system/zwin.h"
#include "launch/ivlsync/ivlsyncwindow.h"
#include "launch/ivlsync/languagetable.h"
#include "launch/ivlsync/resource.h"
#include "launch/ivlsync/syncmain.h"
#include "testhelpers.h"

namespace
{
const char kTexts[] = "<root language=\"en\">"
                      "<e name=\"menu_file\"><value>&amp;File</value></e>"
                      "<e name=\"menu_verify_files\"><value>Verify</value></e>"
                      "<e name=\"menu_exit\"><value>E&amp;xit</value></e>"
                      "<e name=\"closing\"><value>Closing now</value></e>"
                      "<e name=\"testing_access\"><value>testing [%s]</value></e>"
                      "<e name=\"create_failed\"><value>create failed [%d]</value></e>"
                      "<e name=\"access_ok\"><value>access ok</value></e>"
                      "</root>";

std::wstring WindowText(HWND hWnd)
{
    wchar_t szText[512] = {};
    GetWindowTextW(hWnd, szText, 512);
    return szText;
}

// Every window of a test lives in a fresh folder, where it writes "ivlsync.log".
class WindowTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ZMemoryReader reader(kTexts, static_cast<uint32_t>(strlen(kTexts)));
        m_Language.LoadFromStream(&reader);
        char szFolder[MAX_PATH];
        GetCurrentDirectoryA(MAX_PATH, szFolder);
        m_sOldFolder = szFolder;
        SetCurrentDirectoryA(m_sFolder.c_str());
    }
    void TearDown() override
    {
        m_pWindow.reset();
        SetCurrentDirectoryA(m_sOldFolder.c_str());
    }
    IvlSyncWindow& Open(bool bMinimised = false)
    {
        m_pWindow.reset(new IvlSyncWindow(bMinimised, false, &m_Language));
        return *m_pWindow;
    }
    std::string Log() { return ivltest::ReadWholeFile(m_sFolder + "\\ivlsync.log"); }
    static std::wstring Control(IvlSyncWindow& window) { return WindowText(GetDlgItem(window.GetHwnd(), IDC_LOG)); }
    // Handles what is queued, as the main loop would, and tells whether the quit message came.
    static bool Pump()
    {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                return true;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        return false;
    }

    ivltest::TempFolder m_Folder;
    const std::string m_sFolder = m_Folder.Path();
    LanguageTable m_Language;
    std::unique_ptr<IvlSyncWindow> m_pWindow;
    std::string m_sOldFolder;
};

TEST_F(WindowTest, DialogResources)
{
    IvlSyncWindow& window = Open();
    HWND hWnd = window.GetHwnd();
    ASSERT_NE(hWnd, nullptr);
    EXPECT_EQ(WindowText(hWnd), L"I&V sync");

    HWND hStatus = GetDlgItem(hWnd, IDC_STATUS);
    ASSERT_NE(hStatus, nullptr);
    EXPECT_EQ(WindowText(hStatus), L"Status");
    wchar_t szClass[64];
    GetClassNameW(hStatus, szClass, 64);
    EXPECT_STREQ(szClass, L"Static");

    HWND hLog = GetDlgItem(hWnd, IDC_LOG);
    ASSERT_NE(hLog, nullptr);
    GetClassNameW(hLog, szClass, 64);
    EXPECT_STREQ(szClass, L"RichEdit20W");
    LONG nStyle = GetWindowLongW(hLog, GWL_STYLE);
    EXPECT_TRUE(nStyle & ES_MULTILINE);
    EXPECT_TRUE(nStyle & ES_READONLY);
    // Wine's rich edit drops WS_VSCROLL from the style until the text needs the scroll bar.

    // Sizes in dialog units, as the resource gives them.
    RECT dialog = {0, 0, 234, 179};
    MapDialogRect(hWnd, &dialog);
    RECT client;
    GetClientRect(hWnd, &client);
    EXPECT_EQ(client.right, dialog.right);
    RECT label = {7, 7, 7 + 247, 7 + 8};
    MapDialogRect(hWnd, &label);
    RECT actual;
    GetWindowRect(hStatus, &actual);
    MapWindowPoints(nullptr, hWnd, reinterpret_cast<POINT*>(&actual), 2);
    EXPECT_EQ(actual.left, label.left);
    EXPECT_EQ(actual.top, label.top);
    EXPECT_EQ(actual.bottom, label.bottom);
    // The log starts right below the status column.
    GetWindowRect(hLog, &actual);
    MapWindowPoints(nullptr, hWnd, reinterpret_cast<POINT*>(&actual), 2);
    EXPECT_EQ(actual.top, window.GetStatusBottom());
    EXPECT_EQ(actual.left, label.left);

    EXPECT_NE(SendMessageW(hWnd, WM_GETICON, ICON_SMALL, 0), 0);
    EXPECT_NE(SendMessageW(hWnd, WM_GETICON, ICON_BIG, 0), 0);
}

TEST_F(WindowTest, MenuShowsLanguageTexts)
{
    IvlSyncWindow& window = Open();
    HMENU hMenu = GetMenu(window.GetHwnd());
    ASSERT_NE(hMenu, nullptr);
    ASSERT_EQ(GetMenuItemCount(hMenu), 1);
    wchar_t szText[128];
    GetMenuStringW(hMenu, 0, szText, 128, MF_BYPOSITION);
    EXPECT_STREQ(szText, L"&File");
    HMENU hFile = GetSubMenu(hMenu, 0);
    ASSERT_EQ(GetMenuItemCount(hFile), 5);
    struct Item
    {
        UINT m_nId;
        const wchar_t* m_szText;
    } items[] = {
        {ID_FILE_VERIFY, L"Verify"},
        {ID_FILE_EDIT_LOCALSETTINGS, L"menu_edit_localsettings"},  // no text: the key stays
        {ID_FILE_FIND_INSTALL_DIR, L"menu_find_install_dir"},
        {ID_FILE_EXIT, L"E&xit"},
    };
    for (const Item& item : items) {
        GetMenuStringW(hFile, item.m_nId, szText, 128, MF_BYCOMMAND);
        EXPECT_STREQ(szText, item.m_szText);
    }
    EXPECT_EQ(GetMenuItemID(hFile, 3), 0u);
    EXPECT_TRUE(GetMenuState(hFile, 3, MF_BYPOSITION) & MF_SEPARATOR);
}

TEST_F(WindowTest, StatusLinesStackAndIndent)
{
    IvlSyncWindow& window = Open();
    int nBottom = window.GetStatusBottom();
    int nHeight = window.GetLineHeight();
    ASSERT_GT(nHeight, 0);
    auto Rect = [&](HWND hLine) {
        RECT rect;
        GetWindowRect(hLine, &rect);
        MapWindowPoints(nullptr, window.GetHwnd(), reinterpret_cast<POINT*>(&rect), 2);
        return rect;
    };

    HWND hA = window.AddStatusLine("A", "ready", nullptr);
    HWND hB = window.AddStatusLine("B", "starting", nullptr);
    ASSERT_NE(hA, nullptr);
    ASSERT_NE(hB, nullptr);
    EXPECT_EQ(WindowText(hA), L"A - ready");
    EXPECT_EQ(Rect(hA).top, nBottom);
    EXPECT_EQ(Rect(hB).top, nBottom + nHeight);

    HWND hC = window.AddStatusLine("C", "connected", hA);
    ASSERT_NE(hC, nullptr);
    EXPECT_EQ(Rect(hC).top, Rect(hA).top + nHeight);
    EXPECT_EQ(Rect(hC).left, Rect(hA).left + 8);
    EXPECT_EQ(Rect(hB).top, nBottom + 2 * nHeight);
    EXPECT_EQ(window.GetStatusBottom(), nBottom + 3 * nHeight);
    EXPECT_EQ(Rect(GetDlgItem(window.GetHwnd(), IDC_LOG)).top, nBottom + 3 * nHeight);

    window.SetLineStatus(hC, "busy");
    EXPECT_EQ(WindowText(hC), L"C - busy");

    // Lines that are not status lines change nothing.
    HWND hLabel = GetDlgItem(window.GetHwnd(), IDC_STATUS);
    EXPECT_EQ(window.AddStatusLine("D", "x", hLabel), nullptr);
    window.SetLineStatus(hLabel, "x");
    EXPECT_EQ(WindowText(hLabel), L"Status");
    window.RemoveStatusLine(hLabel);
    EXPECT_TRUE(IsWindow(hLabel));

    window.RemoveStatusLine(hC);
    EXPECT_FALSE(IsWindow(hC));
    EXPECT_EQ(Rect(hB).top, nBottom + nHeight);
    EXPECT_EQ(window.GetStatusBottom(), nBottom + 2 * nHeight);
    EXPECT_EQ(Rect(GetDlgItem(window.GetHwnd(), IDC_LOG)).top, nBottom + 2 * nHeight);
}

TEST_F(WindowTest, LinesBeforeTheLoopAppearTogether)
{
    IvlSyncWindow& window = Open();
    std::string sStart = Log();  // the start-up write test
    window.Log("first %d", 1);
    window.Log("second\n");
    EXPECT_EQ(Log(), sStart + "first 1\r\nsecond\r\n");  // the file has them at once
    EXPECT_EQ(Control(window).find(L"first"), std::wstring::npos);

    // The first message the loop handles flushes what was collected, in one piece.
    PostMessageW(window.GetHwnd(), WM_NULL, 0, 0);
    window.PumpMessages();
    std::wstring sControl = Control(window);
    EXPECT_NE(sControl.find(L"first 1"), std::wstring::npos);
    EXPECT_NE(sControl.find(L"second"), std::wstring::npos);

    // Later lines arrive one by one through posted messages.
    window.Log("third");
    EXPECT_EQ(Control(window).find(L"third"), std::wstring::npos);
    window.PumpMessages();
    EXPECT_NE(Control(window).find(L"third"), std::wstring::npos);
    EXPECT_EQ(Log(), sStart + "first 1\r\nsecond\r\nthird\r\n");
}

TEST_F(WindowTest, MinimisedWindowStillShowsTheLog)
{
    IvlSyncWindow& window = Open(true);
    EXPECT_TRUE(IsIconic(window.GetHwnd()));
    window.Log("while minimised");
    PostMessageW(window.GetHwnd(), WM_NULL, 0, 0);
    window.PumpMessages();
    window.Log("later");
    window.PumpMessages();
    std::wstring sControl = Control(window);
    EXPECT_NE(sControl.find(L"while minimised"), std::wstring::npos);
    EXPECT_NE(sControl.find(L"later"), std::wstring::npos);
}

TEST_F(WindowTest, LogCallbackWritesTheFourthArgument)
{
    IvlSyncWindow& window = Open();
    std::string sStart = Log();
    ZIvlSync::LogCallback(1, 2, 3, "from outside");
    EXPECT_EQ(Log(), sStart + "from outside\r\n");
    EXPECT_EQ(ZIvlSync::GetCurrent(), &window);
}

struct FakeObject : ILiveObject
{
    explicit FakeObject(std::vector<std::string>& calls, const char* szName) : m_Calls(calls), m_szName(szName) {}
    void Cancel(bool bWait) override
    {
        m_Calls.push_back(m_szName);
        m_nThread = GetCurrentThreadId();
    }
    int IsSession() override { return 1; }
    std::vector<std::string>& m_Calls;
    const char* m_szName;
    DWORD m_nThread = 0;
};

// Live objects that record their cancels, the first of them registered with the window.
class LiveObjectTest : public WindowTest
{
protected:
    // The window opened, with what its opening queued handled, and m_Server registered.
    IvlSyncWindow& OpenWithServer()
    {
        IvlSyncWindow& window = Open();
        Pump();
        window.RegisterObject(&m_Server);
        return window;
    }

    std::vector<std::string> m_Calls;
    FakeObject m_Server{m_Calls, "server"};
};

TEST_F(WindowTest, CloseWithNothingRegisteredQuitsAtOnce)
{
    IvlSyncWindow& window = Open();
    Pump();
    window.Close(false);
    EXPECT_EQ(WindowText(window.GetHwnd()), L"Closing now");
    EXPECT_TRUE(Pump());
}

TEST_F(LiveObjectTest, CloseQuitsAfterTheLastObjectHasEnded)
{
    IvlSyncWindow& window = OpenWithServer();
    FakeObject session(m_Calls, "session"), late(m_Calls, "late");
    window.RegisterObject(&session);
    window.Close(false);
    EXPECT_EQ(m_Calls, (std::vector<std::string>{"server", "session"}));
    EXPECT_FALSE(Pump());

    window.RegisterObject(&late);  // closing: no new live objects
    EXPECT_FALSE(window.IsRegistered(&late));

    window.ObjectEnded(&m_Server);
    EXPECT_FALSE(Pump());
    window.ObjectEnded(&session);
    EXPECT_TRUE(Pump());
    EXPECT_EQ(window.GetObjectCount(), 0);
}

TEST_F(LiveObjectTest, MenuExitClosesAndLogs)
{
    IvlSyncWindow& window = OpenWithServer();
    SendMessageW(window.GetHwnd(), WM_COMMAND, ID_FILE_EXIT, 0);
    EXPECT_EQ(m_Calls.size(), 1u);
    EXPECT_NE(Log().find("Received CLOSE message\r\n"), std::string::npos);
    window.ObjectEnded(&m_Server);
    EXPECT_TRUE(Pump());
}

DWORD WINAPI CloseFromThread(void* pWindow)
{
    static_cast<ZIvlSync*>(pWindow)->Close(false);
    return 0;
}

TEST_F(LiveObjectTest, CloseFromAnotherThreadRunsOnTheWindowThread)
{
    IvlSyncWindow& window = OpenWithServer();
    HANDLE hThread = CreateThread(nullptr, 0, CloseFromThread, &window, 0, nullptr);
    ASSERT_NE(hThread, nullptr);
    WaitForSingleObject(hThread, 10000);
    CloseHandle(hThread);
    EXPECT_TRUE(m_Calls.empty());
    EXPECT_FALSE(Pump());
    ASSERT_EQ(m_Calls.size(), 1u);
    EXPECT_EQ(m_Server.m_nThread, GetCurrentThreadId());
    window.ObjectEnded(&m_Server);
    EXPECT_TRUE(Pump());
}

TEST_F(WindowTest, AfterTheLoopLogAndStatusCallsDoNothing)
{
    IvlSyncWindow& window = Open();
    PostQuitMessage(0);
    window.RunMessageLoop();
    EXPECT_TRUE(window.IsClosed());
    std::string sBefore = Log();
    window.Log("late line");
    EXPECT_EQ(Log(), sBefore);
    EXPECT_EQ(window.AddStatusLine("late", "x", nullptr), nullptr);
}

struct BlockedSender
{
    HWND m_hWnd;
    HWND m_hLine;
    HANDLE m_hThread;
    DWORD m_nWait;
};

DWORD WINAPI SendRemoveLine(void* pArgument)
{
    BlockedSender* pSender = static_cast<BlockedSender*>(pArgument);
    SendMessageW(pSender->m_hWnd, WM_IVLSYNC_REMOVELINE, reinterpret_cast<WPARAM>(pSender->m_hLine), 0);
    return 0;
}

// A connection thread that was already sending to the window when the loop ended must not keep
// the shutdown, which waits for that thread, waiting for ever.
TEST_F(WindowTest, ShutdownAnswersThreadsStillSendingToTheWindow)
{
    IvlSyncWindow& window = Open();
    HWND hLine = window.AddStatusLine("connection", "connected", nullptr);
    PostQuitMessage(0);
    window.RunMessageLoop();

    BlockedSender sender = {window.GetHwnd(), hLine, nullptr, WAIT_FAILED};
    sender.m_hThread = CreateThread(nullptr, 0, SendRemoveLine, &sender, 0, nullptr);
    ASSERT_NE(sender.m_hThread, nullptr);
    RunWhileAnsweringWindow(
        [](void* pArgument) {
            BlockedSender* pSender = static_cast<BlockedSender*>(pArgument);
            pSender->m_nWait = WaitForSingleObject(pSender->m_hThread, 10000);
        },
        &sender);
    CloseHandle(sender.m_hThread);
    EXPECT_EQ(sender.m_nWait, WAIT_OBJECT_0);
    EXPECT_FALSE(IsWindow(hLine));
}

TEST_F(WindowTest, WriteAccessResults)
{
    IvlSyncWindow& window = Open();
    std::string sBase = m_sFolder + "\\probe";

    // A writable folder, created with its parents; the probes are removed again.
    std::string sWritable = sBase + "\\a\\b\\";
    EXPECT_EQ(window.TestWriteAccess(sWritable.c_str()), 0);
    EXPECT_TRUE(File::IsDirectory((sBase + "\\a\\b").c_str()));
    EXPECT_FALSE(File::Exists((sBase + "\\a\\b\\ivlsync.writetest").c_str()));
    EXPECT_FALSE(File::Exists((sBase + "\\a\\b\\ivlsync.writetest.2").c_str()));
    EXPECT_NE(Log().find("testing [" + sWritable + "]\r\n"), std::string::npos);

    // A file where a folder of the path should be: not an access problem.
    std::string sFile = sBase + "\\file";
    ASSERT_TRUE(WriteBufferToFile(sFile.c_str(), "x", 1));
    EXPECT_EQ(window.TestWriteAccess((sFile + "\\sub").c_str()), 2);

    // A folder in the probe file's place: opening it for writing is refused with error 5.
    std::string sBlocked = sBase + "\\blocked";
    ASSERT_TRUE(CreateDirectoryPath((sBlocked + "\\ivlsync.writetest").c_str()));
    EXPECT_EQ(window.TestWriteAccess(sBlocked.c_str()), 1);
    EXPECT_NE(Log().find("create failed [5]\r\n"), std::string::npos);
}

// The system refuses folders under /sys with EPERM, which Wine reports as error 5, even to root.
TEST_F(WindowTest, WriteAccessDeniedBySystem)
{
    IvlSyncWindow& window = Open();
    if (!File::IsDirectory("Z:\\sys"))
        GTEST_SKIP() << "no /sys";
    EXPECT_EQ(window.TestWriteAccess("Z:\\sys\\ivlsync_denied\\"), 1);
}

// The named mutex keeps the menu verification to one run in the whole system.
TEST_F(WindowTest, MenuVerificationIsRefusedWhileTheMutexIsHeld)
{
    IvlSyncWindow& window = Open();
    HANDLE hHeld = ZCreateMutex("verifyfiles");
    ASSERT_NE(hHeld, nullptr);
    std::string sBefore = Log();
    EXPECT_EQ(window.VerifyFilesLocked(), -1);
    EXPECT_EQ(Log(), sBefore);  // nothing was checked
    ZCloseMutex(hHeld);
    EXPECT_NE(window.VerifyFilesLocked(), -1);
    EXPECT_NE(Log(), sBefore);
}

TEST(Elevation, ParametersAreExactlyDashE)
{
    EXPECT_FALSE(IsElevationRequested());
    EXPECT_STREQ(ZIvlSync::GetElevationParameters().GetData(), "-e");
}
}  // namespace
