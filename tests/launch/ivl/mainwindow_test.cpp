// The main window of a game client with the player.dll stand-in as its engine (it lies beside
// this test and logs every engine call in "player.log"): what the window's messages and its
// cursor and geometry interfaces ask of the engine, the cursor and the window.
#include <gtest/gtest.h>
#include "launch/ivl/ivlwindow.h"
#include "launch/ivl/zivl.h"
#include "testhelpers.h"
#include <string>
#include <vector>

namespace
{
std::string Beside(const char* szName)
{
    char szPath[MAX_PATH];
    GetModuleFileNameA(NULL, szPath, MAX_PATH);
    *(strrchr(szPath, '\\') + 1) = 0;
    return std::string(szPath) + szName;
}

class MainWindow : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        DeleteFileA(Beside("player.ctl").c_str());
        ASSERT_TRUE(ZIvL::Get()->LoadPlayer(false));
        s_pWindow = IvLWindow::Get();
        ASSERT_NE(nullptr, s_pWindow->GetHandle());
        s_pWindow->Show();
    }

    void SetUp() override
    {
        ASSERT_NE(nullptr, s_pWindow);
        m_hWnd = s_pWindow->GetHandle();
        Pump();
        DeleteFileA(Beside("player.log").c_str());
    }

    // The engine calls logged since the last call of this, of the kinds given (all when empty).
    std::vector<std::string> Calls(std::initializer_list<const char*> kinds = {})
    {
        std::vector<std::string> calls;
        std::string sText = ivltest::ReadWholeFile(Beside("player.log"));
        DeleteFileA(Beside("player.log").c_str());
        size_t nStart = 0;
        while (nStart < sText.size()) {
            size_t nEnd = sText.find("\r\n", nStart);
            std::string line = sText.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
            nStart = nEnd == std::string::npos ? sText.size() : nEnd + 2;
            bool bWanted = kinds.size() == 0;
            for (const char* szKind : kinds)
                bWanted = bWanted || line.compare(0, strlen(szKind) + 1, std::string(szKind) + " ") == 0 ||
                    line == szKind;
            if (bWanted)
                calls.push_back(line);
        }
        return calls;
    }

    static void Pump()
    {
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }

    static void SetShiftState(bool bLeft, bool bRight)
    {
        BYTE aState[256] = {};
        aState[VK_LSHIFT] = bLeft ? 0x80 : 0;
        aState[VK_RSHIFT] = bRight ? 0x80 : 0;
        aState[VK_SHIFT] = bLeft || bRight ? 0x80 : 0;
        SetKeyboardState(aState);
    }

    RECT ClientOnScreen()
    {
        RECT rect = {};
        GetClientRect(m_hWnd, &rect);
        MapWindowPoints(m_hWnd, NULL, reinterpret_cast<POINT*>(&rect), 2);
        return rect;
    }

    static IvLWindow* s_pWindow;
    HWND m_hWnd = NULL;
};
IvLWindow* MainWindow::s_pWindow;

std::string Text(const RECT& r)
{
    return std::to_string(r.left) + "," + std::to_string(r.top) + "-" + std::to_string(r.right) + "," +
        std::to_string(r.bottom);
}

const LPARAM kRepeat = 1 << 30;
const LPARAM kExtended = 1 << 24;
const LPARAM kUp = static_cast<LPARAM>(0xC0000000u);  // previous state and transition bits of a key-up

// One sequence: the Shift sides are found from the key state, and a repeat (previous-state bit)
// is reported before the Shift rule looks at the sides.
TEST_F(MainWindow, KeysReachTheEngine)
{
    struct Case
    {
        const char* m_szName;
        bool m_bLeftShift, m_bRightShift;  // key state while the message is handled
        UINT m_nMessage;
        WPARAM m_nKey;
        LPARAM m_nFlags;
        std::vector<std::string> m_Expected;
    };
    const Case cases[] = {
        {"left Shift down", true, false, WM_KEYDOWN, VK_SHIFT, 0, {"Key 0 160"}},
        {"left Shift repeat", true, false, WM_KEYDOWN, VK_SHIFT, kRepeat, {"Key 2 16"}},
        {"right Shift down beside the left", true, true, WM_KEYDOWN, VK_SHIFT, 0, {"Key 0 161"}},
        {"right Shift repeat", true, true, WM_KEYDOWN, VK_SHIFT, kRepeat, {"Key 2 16"}},
        {"left Shift up", false, true, WM_KEYUP, VK_SHIFT, kUp, {"Key 1 160"}},
        {"right Shift up", false, false, WM_KEYUP, VK_SHIFT, kUp, {"Key 1 161"}},
        {"a Shift message that changes no side", false, false, WM_KEYDOWN, VK_SHIFT, 0, {}},
        {"both sides at once", true, true, WM_KEYDOWN, VK_SHIFT, 0, {"Key 0 160", "Key 0 161"}},
        {"both sides up at once", false, false, WM_KEYUP, VK_SHIFT, kUp, {"Key 1 160", "Key 1 161"}},
        {"a letter", false, false, WM_KEYDOWN, 'A', 0, {"Key 0 65"}},
        {"its repeat", false, false, WM_KEYDOWN, 'A', kRepeat, {"Key 2 65"}},
        {"its key-up (the previous-state bit is set on every key-up)", false, false, WM_KEYUP, 'A', kUp, {"Key 1 65"}},
        {"left Ctrl", false, false, WM_KEYDOWN, VK_CONTROL, 0, {"Key 0 162"}},
        {"right Ctrl repeat", false, false, WM_KEYDOWN, VK_CONTROL, kRepeat | kExtended, {"Key 2 163"}},
        {"right Ctrl up", false, false, WM_KEYUP, VK_CONTROL, kUp | kExtended, {"Key 1 163"}},
        {"right Alt", false, false, WM_SYSKEYDOWN, VK_MENU, kExtended, {"Key 0 165"}},
        {"left Alt up", false, false, WM_SYSKEYUP, VK_MENU, kUp, {"Key 1 164"}},
        {"F10", false, false, WM_SYSKEYDOWN, VK_F10, 0, {"Key 0 121"}},
    };
    for (const Case& c : cases) {
        SetShiftState(c.m_bLeftShift, c.m_bRightShift);
        SendMessageW(m_hWnd, c.m_nMessage, c.m_nKey, c.m_nFlags);
        Pump();
        EXPECT_EQ(c.m_Expected, Calls({"Key"})) << c.m_szName;
    }
    SetShiftState(false, false);
}

TEST_F(MainWindow, ButtonsAndCapture)
{
    struct Case
    {
        UINT m_nMessage;
        WPARAM m_wParam;
        const char* m_szExpected;
        bool m_bCaptured;  // whether the window holds the mouse capture afterwards
        LRESULT m_nResult;
    };
    const Case cases[] = {
        {WM_LBUTTONDOWN, MK_LBUTTON, "Key 0 1", true, 0},
        {WM_LBUTTONUP, 0, "Key 1 1", false, 0},
        {WM_RBUTTONDBLCLK, MK_RBUTTON, "Key 0 2", false, 0},
        {WM_MBUTTONDOWN, MK_MBUTTON, "Key 0 4", true, 0},
        {WM_MBUTTONUP, 0, "Key 1 4", false, 0},
        // the extra buttons' messages are answered TRUE
        {WM_XBUTTONDOWN, MAKEWPARAM(MK_XBUTTON1, XBUTTON1), "Key 0 5", true, TRUE},
        {WM_XBUTTONUP, MAKEWPARAM(0, XBUTTON1), "Key 1 5", false, TRUE},
        {WM_XBUTTONDOWN, MAKEWPARAM(MK_XBUTTON2, XBUTTON2), "Key 0 6", true, TRUE},
        {WM_XBUTTONUP, MAKEWPARAM(0, XBUTTON2), "Key 1 6", false, TRUE},
        {WM_XBUTTONDBLCLK, MAKEWPARAM(MK_XBUTTON2, XBUTTON2), "Key 0 6", false, TRUE},
        {WM_XBUTTONUP, MAKEWPARAM(0, XBUTTON2), "Key 1 6", false, TRUE},
    };
    for (const Case& c : cases) {
        LRESULT nResult = SendMessageW(m_hWnd, c.m_nMessage, c.m_wParam, MAKELPARAM(10, 12));
        EXPECT_EQ(c.m_nResult, nResult) << c.m_szExpected;
        EXPECT_EQ(c.m_bCaptured, GetCapture() == m_hWnd) << c.m_szExpected;
        EXPECT_EQ(std::vector<std::string>{c.m_szExpected}, Calls({"Key"})) << c.m_szExpected;
    }
    ReleaseCapture();
}

// The cursor is hidden and clipped to the client area while the game has the input, and comes
// back (unclipped, where it was) when the engine releases it; the kind chooses its shape.
TEST_F(MainWindow, CursorKindsAndClipping)
{
    SetCursorPos(300, 300);
    s_pWindow->SetCursorReleased(false);
    Pump();
    SendMessageW(m_hWnd, WM_USER + 2, 0, 0);  // focus, and the cursor brought up to date by force
    RECT clip = {};
    GetClipCursor(&clip);
    EXPECT_EQ(Text(ClientOnScreen()), Text(clip));
    SendMessageW(m_hWnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(m_hWnd), HTCLIENT);
    EXPECT_EQ(nullptr, GetCursor());

    SetCursorPos(10, 10);
    s_pWindow->SetCursorReleased(true);
    Pump();
    RECT screen = {GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                   GetSystemMetrics(SM_XVIRTUALSCREEN) + GetSystemMetrics(SM_CXVIRTUALSCREEN),
                   GetSystemMetrics(SM_YVIRTUALSCREEN) + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
    GetClipCursor(&clip);
    EXPECT_EQ(Text(screen), Text(clip));
    POINT pos = {};
    GetCursorPos(&pos);
    EXPECT_EQ(300, pos.x);  // back where it was hidden
    EXPECT_EQ(300, pos.y);

    const std::pair<int, LPCSTR> kinds[] = {
        {1, IDC_IBEAM}, {3, IDC_SIZEALL}, {0, IDC_ARROW}, {1, IDC_IBEAM}, {7, IDC_ARROW}, {-1, IDC_ARROW},
    };
    for (const auto& kind : kinds) {
        s_pWindow->SetCursorKind(kind.first);
        Pump();
        SendMessageW(m_hWnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(m_hWnd), HTCLIENT);
        EXPECT_EQ(LoadCursorA(NULL, kind.second), GetCursor()) << "kind " << kind.first;
    }
}

TEST_F(MainWindow, LockedMouseStaysPut)
{
    s_pWindow->SetCursorReleased(true);
    Pump();
    SetCursorPos(200, 210);
    s_pWindow->LockMouse(true);
    SetCursorPos(250, 260);
    SendMessageW(m_hWnd, WM_MOUSEMOVE, 0, MAKELPARAM(40, 50));
    POINT pos = {};
    GetCursorPos(&pos);
    EXPECT_EQ(200, pos.x);
    EXPECT_EQ(210, pos.y);
    EXPECT_EQ(std::vector<std::string>{}, Calls({"Mouse"}));

    s_pWindow->LockMouse(false);
    SendMessageW(m_hWnd, WM_MOUSEMOVE, 0, MAKELPARAM(40, 50));
    SendMessageW(m_hWnd, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-120)), 0);
    EXPECT_EQ((std::vector<std::string>{"Mouse 0 0 0 0 40 50", "Mouse -7864320 0 0 -120 40 50"}), Calls({"Mouse"}));
}

// A relative mouse motion arrives as a raw-input record (the window listens for the mouse even
// when it is not in front).
TEST_F(MainWindow, RawMouseMotion)
{
    s_pWindow->SetCursorReleased(true);
    Pump();
    SendMessageW(m_hWnd, WM_MOUSEMOVE, 0, MAKELPARAM(21, 22));
    Calls();
    SetForegroundWindow(m_hWnd);
    Pump();
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dx = 5;  // below the system's acceleration threshold (6): the motion arrives as it is
    input.mi.dy = -4;
    input.mi.dwFlags = MOUSEEVENTF_MOVE;
    ASSERT_EQ(1u, SendInput(1, &input, sizeof(input)));
    std::vector<std::string> raw;
    for (int i = 0; i < 100 && raw.empty(); ++i) {
        MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_ALLINPUT);
        Pump();
        for (const std::string& call : Calls({"Mouse"}))
            if (call.find(" 5 -4 0 ") != std::string::npos)
                raw.push_back(call);
    }
    ASSERT_EQ(1u, raw.size());
    // wParam is RIM_INPUT or RIM_INPUTSINK; the position is the last one a mouse move gave
    EXPECT_TRUE(raw[0] == "Mouse 0 5 -4 0 21 22" || raw[0] == "Mouse 1 5 -4 0 21 22") << raw[0];
}

TEST_F(MainWindow, GeometryInterface)
{
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), s_pWindow->GetScreenWidth());
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), s_pWindow->GetScreenHeight());
    struct Case
    {
        bool m_bFullScreen;
        int m_nX, m_nY, m_nWidth, m_nHeight;
    };
    const Case cases[] = {
        {false, 100, 120, 320, 200},
        {false, 0, 0, 640, 480},
        {true, 0, 0, 800, 600},
        {true, 30, 40, 500, 300},
        {false, 50, 60, 400, 300},  // the frame comes back with the caption
    };
    for (const Case& c : cases) {
        s_pWindow->SetFullScreen(c.m_bFullScreen);
        LONG nStyle = GetWindowLongW(m_hWnd, GWL_STYLE);
        EXPECT_EQ(c.m_bFullScreen, (nStyle & WS_POPUP) != 0) << c.m_nX;
        EXPECT_EQ(!c.m_bFullScreen, (nStyle & WS_CAPTION) == WS_CAPTION) << c.m_nX;
        EXPECT_TRUE(IsWindowVisible(m_hWnd)) << c.m_nX;
        s_pWindow->SetClientRect(c.m_nX, c.m_nY, c.m_nWidth, c.m_nHeight);
        int nX = -1, nY = -1, nWidth = -1, nHeight = -1;
        s_pWindow->GetClientRect(&nX, &nY, &nWidth, &nHeight);
        EXPECT_EQ((std::vector<int>{c.m_nX, c.m_nY, c.m_nWidth, c.m_nHeight}),
                  (std::vector<int>{nX, nY, nWidth, nHeight}))
            << (c.m_bFullScreen ? "full screen" : "framed");
        RECT expected = {c.m_nX, c.m_nY, c.m_nX + c.m_nWidth, c.m_nY + c.m_nHeight};
        EXPECT_EQ(Text(expected), Text(ClientOnScreen()));
    }
    std::vector<std::string> resized = Calls({"Resized"});
    ASSERT_FALSE(resized.empty());
    EXPECT_EQ("Resized 400 300", resized.back());  // the engine hears of the last size
}
}  // namespace
