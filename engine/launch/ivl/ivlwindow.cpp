#include "launch/ivl/ivlwindow.h"
#include "launch/ivl/ivllog.h"
#include "launch/ivl/launchermain.h"
#include "launch/ivl/zivl.h"
#include "common/system/zlog.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace
{
enum : UINT
{
    WM_IVL_CALL = WM_USER,  // call the function in wParam with lParam
    WM_IVL_UPDATECURSOR = WM_USER + 1,
    WM_IVL_FOCUS = WM_USER + 2,
    STATUS_TIMER = 327,
    ICON_RESOURCE = 101,
    CURSOR_RESOURCE = 102,
};

bool s_bRawInputActive = true;
bool s_bClickActivationPending;
struct Controller
{
    USHORT m_nVendor;
    USHORT m_nProduct;
    bool m_bFound;
    HANDLE m_hDevice;
    USHORT m_nUsagePage;
    USHORT m_nUsage;
} s_aControllers[2] = {{0x45E, 0x28E, false, NULL, 0, 0}, {0x44F, 0x402, false, NULL, 0, 0}};
HFONT s_hStatusFont;
HBRUSH s_hGreyBrush, s_hBlackBrush;
HPEN s_hBasePen, s_hRedPen, s_hGreenPen;
int s_nCursorKind = -1;
IvLWindow* s_pWindow;

IPlayer* Engine()
{
    return ZIvL::Get()->GetPlayer();
}

bool IsDedicated()
{
    return ZIvL::Get()->IsDedicated();
}

void ErrorBox(const char* szCaption)
{
    char szText[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, GetLastError(), 0, szText,
                   sizeof(szText), NULL);
    MessageBoxA(NULL, szText, szCaption, MB_OK);
}

bool AnyButtonHeld()
{
    return (GetKeyState(VK_LBUTTON) | GetKeyState(VK_RBUTTON) | GetKeyState(VK_MBUTTON)) & 0x8000;
}

// Ctrl and Alt become their left or right key codes by the extended-key bit.
int MapKey(WPARAM wParam, LPARAM lParam)
{
    bool bExtended = (lParam >> 24) & 1;
    if (wParam == VK_CONTROL)
        return bExtended ? VK_RCONTROL : VK_LCONTROL;
    if (wParam == VK_MENU)
        return bExtended ? VK_RMENU : VK_LMENU;
    return static_cast<int>(wParam);
}
}  // namespace

bool FindFreeClassName(wchar_t* szName, HINSTANCE hInstance)
{
    wcscpy(szName, L"IvLWindow000");
    for (int n = 0; n <= 999; ++n) {
        swprintf(szName + 9, 4, L"%03d", n);
        WNDCLASSEXW info = {};
        info.cbSize = sizeof(info);
        if (!GetClassInfoExW(hInstance, szName, &info))
            return true;
    }
    return false;
}

void StatusSceneName(const char* szPath, char* szOut, size_t nSize)
{
    char szScene[64];
    strncpy(szScene, szPath ? szPath : "", sizeof(szScene) - 1);
    szScene[sizeof(szScene) - 1] = 0;
    const char* pName = strrchr(szScene, '\\');
    pName = pName ? pName + 1 : szScene;
    char* pDot = strrchr(const_cast<char*>(pName), '.');
    if (pDot)
        *pDot = 0;
    snprintf(szOut, nSize, "%s", pName);
}

// A graph of no or one sample has no line to draw (the count would be -1 or 0 points).
int GraphPoints(const float* pSamples, int nCount, int nWidth, int nBottom, POINT* pPoints)
{
    if (nCount > 256)
        nCount = 256;
    if (nCount < 2)
        return 0;
    for (int i = 0; i < nCount - 1; ++i) {
        float fValue = pSamples[i];
        if (!(fValue >= 0.0f))
            fValue = 0.0f;
        if (fValue > 1.0f)
            fValue = 1.0f;
        pPoints[i].x = nWidth - i * nWidth / 253 + 4;
        pPoints[i].y = (nBottom - 50) - static_cast<LONG>(50.0f * fValue);
    }
    return nCount - 1;
}

IvLWindow* IvLWindow::Get()
{
    if (!s_pWindow) {
        s_pWindow = new IvLWindow();
        s_pWindow->CreateMainWindow();
        atexit(&IvLWindow::DestroyAtExit);
    }
    return s_pWindow;
}

void IvLWindow::DestroyAtExit()
{
    delete s_pWindow;
    s_pWindow = nullptr;
}

IvLWindow::IvLWindow()
    : m_bShown(false), m_bImeDetached(false), m_bCursorReleased(false), m_bCursorClipped(false),
      m_bMouseLocked(false), m_RememberedCursor{0, 0}, m_nLeftShift(0), m_nRightShift(0), m_hParent(NULL), m_hWnd(NULL),
      m_hImc(NULL), m_hPreviousImc(NULL), m_hShownCursor(NULL), m_hChosenCursor(NULL), m_LastMouse{0, 0}
{
    m_szComposition[0] = 0;
    m_szClassName[0] = 0;
    m_hChosenCursor = LoadCursorA(NULL, IDC_ARROW);
}

IvLWindow::~IvLWindow()
{
    HGDIOBJ aObjects[] = {s_hGreyBrush, s_hBlackBrush, s_hBasePen, s_hRedPen, s_hGreenPen};
    for (HGDIOBJ h : aObjects)
        if (h)
            DeleteObject(h);
    s_hGreyBrush = s_hBlackBrush = NULL;
    s_hBasePen = s_hRedPen = s_hGreenPen = NULL;
    if (m_hWnd && IsDedicated())
        KillTimer(m_hWnd, STATUS_TIMER);
    if (m_hImc) {
        if (m_hWnd)
            ImmAssociateContext(m_hWnd, m_hPreviousImc);
        ImmDestroyContext(m_hImc);
    }
}

bool IvLWindow::CreateMainWindow()
{
    HINSTANCE hInstance = GetLauncherInstance();
    FindFreeClassName(m_szClassName, hInstance);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS | CS_OWNDC | CS_PARENTDC;
    wc.lpfnWndProc = &IvLWindow::WindowProc;
    wc.cbWndExtra = 4;
    wc.hInstance = hInstance;
    wc.hIcon = LoadIconW(hInstance, MAKEINTRESOURCEW(ICON_RESOURCE));
    wc.hIconSm = wc.hIcon;
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.lpszClassName = m_szClassName;
    if (!RegisterClassExW(&wc)) {
        ErrorBox("Register window class");
        return false;
    }
    const wchar_t* szTitle = L"I&V";
    DWORD nStyle = WS_CAPTION;
    if (IsDedicated()) {
        s_hStatusFont = CreateFontW(16, 8, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                    CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH, L"Lucida Console");
        szTitle = L"IvL Dedicated server";
        nStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
    }
    s_hGreyBrush = CreateSolidBrush(0xC0C0C0);
    s_hBlackBrush = CreateSolidBrush(0x000000);
    s_hBasePen = CreatePen(PS_SOLID, 1, 0x404040);
    s_hRedPen = CreatePen(PS_SOLID, 1, 0x0000FF);
    s_hGreenPen = CreatePen(PS_SOLID, 1, 0x00FF00);
    m_hWnd = CreateWindowExW(0, m_szClassName, szTitle, nStyle, 0, 0, 408, 350, NULL, NULL, hInstance, NULL);
    if (!m_hWnd) {
        ErrorBox("Couldn't create main window");
        return false;
    }
    RegisterRawInput();
    if (IsDedicated())
        SetTimer(m_hWnd, STATUS_TIMER, 50, NULL);
    m_hImc = ImmCreateContext();
    m_hPreviousImc = ImmAssociateContext(m_hWnd, m_hImc);
    return true;
}

void IvLWindow::RegisterRawInput()
{
    UINT nDevices = 0;
    if (GetRawInputDeviceList(NULL, &nDevices, sizeof(RAWINPUTDEVICELIST)) == 0 && nDevices > 0 && nDevices < 1024) {
        RAWINPUTDEVICELIST* pList = new RAWINPUTDEVICELIST[nDevices];
        UINT nGot = GetRawInputDeviceList(pList, &nDevices, sizeof(RAWINPUTDEVICELIST));
        for (UINT i = 0; i < nGot && nGot != static_cast<UINT>(-1); ++i) {
            if (pList[i].dwType != RIM_TYPEHID)
                continue;
            RID_DEVICE_INFO info = {};
            info.cbSize = sizeof(info);
            UINT nSize = sizeof(info);
            if (GetRawInputDeviceInfoA(pList[i].hDevice, RIDI_DEVICEINFO, &info, &nSize) == static_cast<UINT>(-1))
                continue;
            for (Controller& c : s_aControllers)
                if (info.hid.dwVendorId == c.m_nVendor && info.hid.dwProductId == c.m_nProduct) {
                    c.m_bFound = true;
                    c.m_hDevice = pList[i].hDevice;
                    c.m_nUsagePage = info.hid.usUsagePage;
                    c.m_nUsage = info.hid.usUsage;
                }
        }
        delete[] pList;
    }
    RAWINPUTDEVICE aDevices[3];
    UINT nCount = 0;
    aDevices[nCount++] = {1, 2, RIDEV_INPUTSINK, m_hWnd};
    for (const Controller& c : s_aControllers)
        if (c.m_bFound)
            aDevices[nCount++] = {c.m_nUsagePage, c.m_nUsage, RIDEV_INPUTSINK, m_hWnd};
    RegisterRawInputDevices(aDevices, nCount, sizeof(RAWINPUTDEVICE));
}

void IvLWindow::Show()
{
    ShowWindow(m_hWnd, SW_SHOWNA);
    UpdateWindow(m_hWnd);
    m_bShown = true;
}

void IvLWindow::MakeChildOf(HWND hParent)
{
    m_hParent = hParent;
    SetParent(m_hWnd, hParent);
    RECT rect = {};
    ::GetClientRect(hParent, &rect);
    SetWindowPos(m_hWnd, NULL, 0, 0, rect.right - rect.left, rect.bottom - rect.top, SWP_NOZORDER | SWP_NOOWNERZORDER);
    ShowWindow(m_hWnd, SW_SHOWNA);
}

void IvLWindow::SetCursorReleased(bool bReleased)
{
    m_bCursorReleased = bReleased;
    PostMessageW(m_hWnd, WM_IVL_UPDATECURSOR, 0, 0);
}

void IvLWindow::SetCursorKind(int nKind)
{
    if (nKind == s_nCursorKind)
        return;
    s_nCursorKind = nKind;
    switch (nKind) {
    case 1: m_hChosenCursor = LoadCursorA(NULL, IDC_IBEAM); break;
    case 2: m_hChosenCursor = LoadCursorW(GetLauncherInstance(), MAKEINTRESOURCEW(CURSOR_RESOURCE)); break;
    case 3: m_hChosenCursor = LoadCursorA(NULL, IDC_SIZEALL); break;
    default: m_hChosenCursor = LoadCursorA(NULL, IDC_ARROW); break;
    }
    PostMessageW(m_hWnd, WM_IVL_UPDATECURSOR, 0, 0);
}

void IvLWindow::LockMouse(bool bLock)
{
    m_bMouseLocked = bLock;
    if (bLock)
        GetCursorPos(&m_RememberedCursor);
}

int IvLWindow::GetScreenWidth()
{
    return GetSystemMetrics(SM_CXSCREEN);
}

int IvLWindow::GetScreenHeight()
{
    return GetSystemMetrics(SM_CYSCREEN);
}

void IvLWindow::GetClientRect(int* pX, int* pY, int* pWidth, int* pHeight)
{
    RECT rect = {};
    ::GetClientRect(m_hWnd, &rect);
    POINT origin = {rect.left, rect.top};
    ClientToScreen(m_hWnd, &origin);
    if (pX)
        *pX = origin.x;
    if (pY)
        *pY = origin.y;
    if (pWidth)
        *pWidth = rect.right - rect.left;
    if (pHeight)
        *pHeight = rect.bottom - rect.top;
}

void IvLWindow::SetClientRect(int nX, int nY, int nWidth, int nHeight)
{
    if (IsDedicated())
        return;
    RECT rect = {nX, nY, nX + nWidth, nY + nHeight};
    AdjustWindowRectEx(&rect, static_cast<DWORD>(GetWindowLongW(m_hWnd, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongW(m_hWnd, GWL_EXSTYLE)));
    SetWindowPos(m_hWnd, NULL, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, SWP_NOZORDER);
}

void IvLWindow::SetFullScreen(bool bFullScreen)
{
    SetWindowLongW(m_hWnd, GWL_STYLE, bFullScreen ? WS_POPUP : WS_CAPTION);
    ShowWindow(m_hWnd, SW_SHOWNA);
}

LRESULT CALLBACK IvLWindow::WindowProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    if (IsDedicated()) {
        switch (nMessage) {
        case WM_DESTROY: PostQuitMessage(0); break;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC hDC = BeginPaint(hWnd, &ps);
            if (s_pWindow)
                s_pWindow->PaintStatus(hDC);
            EndPaint(hWnd, &ps);
            return 0;
        }
        case WM_TIMER: InvalidateRect(hWnd, NULL, FALSE); return 0;
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
            // F10 stays away from DefWindowProcW: its key-up would open the system-menu loop,
            // and the message loop (and with it the server's tick) would stop until Esc.
            if (wParam == VK_F10) {
                if (Engine())
                    Engine()->Key(PLAYER_KEY_DOWN, VK_F10);
                return 0;
            }
            break;
        default: break;
        }
        return DefWindowProcW(hWnd, nMessage, wParam, lParam);
    }
    if (s_pWindow && hWnd == s_pWindow->m_hWnd)
        return s_pWindow->HandleMessage(nMessage, wParam, lParam);
    return DefWindowProcW(hWnd, nMessage, wParam, lParam);
}

LRESULT IvLWindow::HandleMessage(UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    if (!m_bShown)
        return DefWindowProcW(m_hWnd, nMessage, wParam, lParam);
    IPlayer* pEngine = Engine();
    switch (nMessage) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(m_hWnd, &ps);
        EndPaint(m_hWnd, &ps);
        return 1;
    }
    case WM_SIZE: {
        RECT rect = {};
        ::GetClientRect(m_hWnd, &rect);
        LogPrint(ZStringBuffer<256>("WM_SIZE received %dx%dx -> %dx%d", static_cast<int>(rect.left),
                                    static_cast<int>(rect.top), static_cast<int>(rect.right),
                                    static_cast<int>(rect.bottom)));
        if (pEngine)
            pEngine->Resized(rect.right - rect.left, rect.bottom - rect.top);
        UpdateCursor(true);
        return 0;
    }
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE) {
            if (pEngine)
                pEngine->Deactivated();
            s_bRawInputActive = false;
            UpdateCursor(false);
        } else if (LOWORD(wParam) != WA_CLICKACTIVE && !AnyButtonHeld()) {
            s_bRawInputActive = true;
            UpdateCursor(false);
        } else {
            s_bClickActivationPending = true;
        }
        return 0;
    case WM_IVL_UPDATECURSOR: UpdateCursor(false); return 0;
    case WM_IVL_FOCUS:
        SetFocus(m_hWnd);
        UpdateCursor(true);
        return 0;
    case WM_IVL_CALL:
        if (wParam)
            reinterpret_cast<void (*)(LPARAM)>(wParam)(lParam);
        return 0;
    case WM_CLOSE:
        if (pEngine)
            pEngine->CloseRequest();
        return 0;
    case WM_SETCURSOR: SetCursor(m_hShownCursor); return 1;
    case WM_ERASEBKGND: return 1;
    case WM_WINDOWPOSCHANGED:
        if (m_bCursorClipped)
            PostMessageW(m_hWnd, WM_IVL_FOCUS, 0, 0);
        break;
    case WM_SYSCOMMAND: {
        WPARAM nCommand = wParam & 0xFFF0;
        if (nCommand == SC_KEYMENU || nCommand == SC_SCREENSAVE || nCommand == SC_MONITORPOWER)
            return 0;
        break;
    }
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP: DefWindowProcW(m_hWnd, nMessage, wParam, lParam); return HandleInput(nMessage, wParam, lParam);
    case WM_CHAR:
    case WM_DEADCHAR:
    case WM_UNICHAR:
    case WM_INPUT:
    case WM_NCMOUSEMOVE: return HandleInput(nMessage, wParam, lParam);
    case WM_INPUTLANGCHANGE:
    case WM_IME_STARTCOMPOSITION:
    case WM_IME_ENDCOMPOSITION:
    case WM_IME_COMPOSITION:
    case WM_IME_REQUEST:
        if (HandleIme(nMessage, wParam, lParam))
            return 0;
        break;
    default:
        // The extra buttons' double-click (0x20D) too: without it the engine would see that
        // button's second release with no press before it.
        if (nMessage >= WM_MOUSEFIRST && nMessage <= WM_XBUTTONDBLCLK)
            return HandleInput(nMessage, wParam, lParam);
        if (nMessage >= WM_IME_SETCONTEXT && nMessage <= WM_IME_CHAR) {
            if (HandleIme(nMessage, wParam, lParam))
                return 0;
        }
        break;
    }
    return DefWindowProcW(m_hWnd, nMessage, wParam, lParam);
}

void IvLWindow::UpdateCursor(bool bForce)
{
    HCURSOR hCursor = (m_bCursorReleased || !s_bRawInputActive) ? m_hChosenCursor : NULL;
    if (hCursor == m_hShownCursor && !bForce)
        return;
    bool bWasHidden = m_hShownCursor == NULL;
    m_hShownCursor = hCursor;
    SetCursor(hCursor);
    if (hCursor) {
        ClipCursor(NULL);
        m_bCursorClipped = false;
        if (bWasHidden)
            SetCursorPos(m_RememberedCursor.x, m_RememberedCursor.y);
    } else {
        GetCursorPos(&m_RememberedCursor);
        RECT rect = {};
        ::GetClientRect(m_hWnd, &rect);
        MapWindowPoints(m_hWnd, NULL, reinterpret_cast<POINT*>(&rect), 2);
        ClipCursor(&rect);
        m_bCursorClipped = true;
    }
}

LRESULT IvLWindow::HandleInput(UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    IPlayer* pEngine = Engine();
    bool bKeyDown = nMessage == WM_KEYDOWN || nMessage == WM_SYSKEYDOWN;
    bool bKeyUp = nMessage == WM_KEYUP || nMessage == WM_SYSKEYUP;
    if (!s_bRawInputActive) {
        if (nMessage == WM_LBUTTONUP) {
            if (s_bClickActivationPending) {
                s_bRawInputActive = true;
                s_bClickActivationPending = false;
                UpdateCursor(false);
            }
            return 0;
        }
        if (bKeyDown || bKeyUp) {
            if ((wParam == VK_F4 || wParam == VK_MENU) && pEngine)
                pEngine->Key(bKeyDown ? PLAYER_KEY_DOWN : PLAYER_KEY_UP, static_cast<int>(wParam));
            return 0;
        }
        if (m_hParent) {
            DWORD nProcess = 0;
            if (GetWindowThreadProcessId(m_hParent, &nProcess) && nProcess)
                AllowSetForegroundWindow(ASFW_ANY);
            PostMessageA(m_hParent, nMessage, wParam, lParam);
        }
        return 0;
    }
    if (!pEngine)
        return 0;
    if (bKeyDown || bKeyUp) {
        int nCode = MapKey(wParam, lParam);
        // A repeat comes before the Shift rule: a held Shift's repeats are reported too.
        if (bKeyDown && ((lParam >> 30) & 1)) {
            pEngine->Key(PLAYER_KEY_REPEAT, nCode);
            return 0;
        }
        if (wParam == VK_SHIFT) {
            SHORT nLeft = GetKeyState(VK_LSHIFT), nRight = GetKeyState(VK_RSHIFT);
            int nState = bKeyDown ? PLAYER_KEY_DOWN : PLAYER_KEY_UP;
            if (nLeft != m_nLeftShift)
                pEngine->Key(nState, VK_LSHIFT);
            if (nRight != m_nRightShift)
                pEngine->Key(nState, VK_RSHIFT);
            m_nLeftShift = nLeft;
            m_nRightShift = nRight;
            return 0;
        }
        pEngine->Key(bKeyDown ? PLAYER_KEY_DOWN : PLAYER_KEY_UP, nCode);
        return 0;
    }
    switch (nMessage) {
    case WM_CHAR:
    case WM_UNICHAR: pEngine->Char(wParam, lParam); return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONDBLCLK:
    case WM_XBUTTONDOWN:
    case WM_XBUTTONDBLCLK:
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP:
    case WM_XBUTTONUP: {
        int nButton;
        switch (nMessage) {
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
        case WM_LBUTTONUP: nButton = 1; break;
        case WM_RBUTTONDOWN:
        case WM_RBUTTONDBLCLK:
        case WM_RBUTTONUP: nButton = 2; break;
        case WM_MBUTTONDOWN:
        case WM_MBUTTONDBLCLK:
        case WM_MBUTTONUP: nButton = 4; break;
        default: nButton = HIWORD(wParam) == XBUTTON1 ? 5 : 6; break;
        }
        bool bUp = nMessage == WM_LBUTTONUP || nMessage == WM_RBUTTONUP || nMessage == WM_MBUTTONUP ||
            nMessage == WM_XBUTTONUP;
        bool bDown = nMessage == WM_LBUTTONDOWN || nMessage == WM_RBUTTONDOWN || nMessage == WM_MBUTTONDOWN ||
            nMessage == WM_XBUTTONDOWN;
        if (bDown)
            SetCapture(m_hWnd);
        if (bUp)
            ReleaseCapture();
        pEngine->Key(bUp ? PLAYER_KEY_UP : PLAYER_KEY_DOWN, nButton);
        return nMessage == WM_XBUTTONDOWN || nMessage == WM_XBUTTONUP || nMessage == WM_XBUTTONDBLCLK;
    }
    case WM_MOUSEMOVE:
        if (m_bMouseLocked) {
            SetCursorPos(m_RememberedCursor.x, m_RememberedCursor.y);
            return 0;
        }
        m_LastMouse.x = static_cast<short>(LOWORD(lParam));
        m_LastMouse.y = static_cast<short>(HIWORD(lParam));
        pEngine->Mouse(0, 0, 0, 0, m_LastMouse.x, m_LastMouse.y);
        return 0;
    case WM_MOUSEWHEEL:
        pEngine->Mouse(static_cast<intptr_t>(wParam), 0, 0, static_cast<short>(HIWORD(wParam)), m_LastMouse.x,
                       m_LastMouse.y);
        return 0;
    case WM_INPUT: {
        static_assert(sizeof(void*) != 4 || sizeof(RAWINPUTHEADER) == 16, "raw-input header of a 32-bit program");
        UINT nSize = 0;
        GetRawInputData(reinterpret_cast<HRAWINPUT>(lParam), RID_INPUT, NULL, &nSize, sizeof(RAWINPUTHEADER));
        if (nSize > 0 && nSize <= 4096) {
            alignas(8) BYTE aBuffer[4096];
            if (GetRawInputData(reinterpret_cast<HRAWINPUT>(lParam), RID_INPUT, aBuffer, &nSize,
                                sizeof(RAWINPUTHEADER)) == nSize) {
                RAWINPUT* pInput = reinterpret_cast<RAWINPUT*>(aBuffer);
                if (pInput->header.dwType == RIM_TYPEMOUSE && !(pInput->data.mouse.usFlags & MOUSE_MOVE_ABSOLUTE)) {
                    pEngine->Mouse(static_cast<intptr_t>(wParam), pInput->data.mouse.lLastX, pInput->data.mouse.lLastY,
                                   0, m_LastMouse.x, m_LastMouse.y);
                } else if (pInput->header.dwType == RIM_TYPEHID && pInput->data.hid.dwCount == 1) {
                    for (const Controller& c : s_aControllers)
                        if (c.m_bFound && c.m_hDevice == pInput->header.hDevice)
                            pEngine->RawInput(static_cast<int>(pInput->data.hid.dwSizeHid), pInput->data.hid.bRawData);
                }
            }
        }
        return DefWindowProcW(m_hWnd, nMessage, wParam, lParam);
    }
    default: return 0;
    }
}

bool IvLWindow::HandleIme(UINT nMessage, WPARAM wParam, LPARAM& lParam)
{
    IPlayer* pEngine = Engine();
    IPlayerIme* pIme = pEngine ? pEngine->GetIme() : nullptr;
    if (!pIme) {
        if (!m_bImeDetached) {
            ImmAssociateContext(m_hWnd, NULL);
            m_bImeDetached = true;
        }
        return false;
    }
    if (m_bImeDetached) {
        ImmAssociateContext(m_hWnd, m_hImc);
        m_bImeDetached = false;
    }
    switch (nMessage) {
    case WM_IME_STARTCOMPOSITION: pIme->BeginComposition(); return true;
    case WM_IME_ENDCOMPOSITION:
        for (const wchar_t* p = m_szComposition; *p; ++p)
            PostMessageW(m_hWnd, WM_CHAR, *p, 0);
        m_szComposition[0] = 0;
        pIme->EndComposition();
        return true;
    case WM_IME_COMPOSITION: {
        if (wParam == 0 && lParam == 0) {
            m_szComposition[0] = 0;
            return true;
        }
        HIMC hImc = ImmGetContext(m_hWnd);
        LONG nBytes = ImmGetCompositionStringW(hImc, GCS_COMPSTR, m_szComposition, sizeof(m_szComposition) - 2);
        bool bText = nBytes > 0;
        m_szComposition[bText ? nBytes / 2 : 0] = 0;
        uint8_t aAttributes[256];
        LONG nAttributes = ImmGetCompositionStringW(hImc, GCS_COMPATTR, aAttributes, sizeof(aAttributes));
        ImmReleaseContext(m_hWnd, hImc);
        pIme->UpdateComposition(bText ? m_szComposition : nullptr, nAttributes > 0 ? aAttributes : nullptr);
        return true;
    }
    case WM_IME_NOTIFY:
        if (wParam == IMN_CHANGECANDIDATE) {
            HIMC hImc = ImmGetContext(m_hWnd);
            DWORD nSize = ImmGetCandidateListW(hImc, 0, NULL, 0);
            BYTE* pList = nSize > 0 && nSize < (1u << 20) ? new BYTE[nSize] : nullptr;
            if (pList && ImmGetCandidateListW(hImc, 0, reinterpret_cast<CANDIDATELIST*>(pList), nSize) > 0)
                pIme->ChangeCandidates(pList);
            else
                LogPrint(ZStringBuffer<64>("ImmGetCandidateListW failed %d", static_cast<int>(GetLastError())));
            delete[] pList;
            ImmReleaseContext(m_hWnd, hImc);
            return true;
        }
        if (wParam == IMN_CLOSECANDIDATE) {
            pIme->CloseCandidates();
            return true;
        }
        if (wParam == IMN_OPENCANDIDATE) {
            pIme->OpenCandidates();
            return true;
        }
        return false;
    case WM_IME_SETCONTEXT:
        lParam = 0;  // no composition windows of the system
        DefWindowProcW(m_hWnd, nMessage, wParam, lParam);
        return true;
    default: return false;
    }
}

void IvLWindow::PaintStatus(HDC hDC)
{
    RECT rect = {};
    ::GetClientRect(m_hWnd, &rect);
    static PlayerServerStats s_Stats;
    memset(&s_Stats, 0, sizeof(s_Stats));
    if (IPlayer* pEngine = Engine())
        pEngine->GetServerStats(&s_Stats);
    PaintStatusPage(hDC, rect, s_Stats);
}

void PaintStatusPage(HDC hDC, const RECT& rect, const PlayerServerStats& stats)
{
    FillRect(hDC, &rect, s_hGreyBrush);
    RECT band = {rect.left, rect.bottom - 100, rect.right, rect.bottom};
    FillRect(hDC, &band, s_hBlackBrush);

    // The engine's texts need not be terminated.
    const int nText = static_cast<int>(sizeof(stats.m_szName) - 1);
    char szPath[sizeof(stats.m_szScene)];
    snprintf(szPath, sizeof(szPath), "%.*s", nText, stats.m_szScene);
    char szScene[64];
    StatusSceneName(szPath, szScene, sizeof(szScene));
    char aszValues[12][96];
    snprintf(aszValues[0], 96, "%.*s", nText, stats.m_szName);
    snprintf(aszValues[1], 96, "%.*s", nText, stats.m_szAddress);
    snprintf(aszValues[2], 96, "%d", stats.m_nClients);
    snprintf(aszValues[3], 96, "%.2f ms", stats.m_fFrameTime * 1000.0);
    snprintf(aszValues[4], 96, "%d", stats.m_nTick);
    snprintf(aszValues[5], 96, "%d Kb", stats.m_nBytesUploaded / 1024);
    snprintf(aszValues[6], 96, "%d", stats.m_nStatePacketSize);
    snprintf(aszValues[7], 96, "%d", stats.m_nClients * 20);
    snprintf(aszValues[8], 96, "%.2f mbit/s", stats.m_nUploadBytesPerSecond * 8.0 / 1048576.0);
    snprintf(aszValues[9], 96, "%d Kb", stats.m_nBytesDownloaded / 1024);
    snprintf(aszValues[10], 96, "%d", stats.m_nDownloadBytesPerSecond);
    snprintf(aszValues[11], 96, "%s", szScene);
    static const char* const s_aszLabels[12] = {"Name",
                                                "Address",
                                                "Clients",
                                                "Time",
                                                "Tick",
                                                "Bytes uploaded",
                                                "State packet byte size",
                                                "Packets per second",
                                                "Upload",
                                                "Bytes downloaded",
                                                "Download bytes per second",
                                                "Scene"};
    HGDIOBJ hOldFont = s_hStatusFont ? SelectObject(hDC, s_hStatusFont) : NULL;
    SetTextColor(hDC, 0x000000);
    SetBkColor(hDC, 0xC0C0C0);
    for (int n = 0; n < 12; ++n) {
        char szLine[160];
        snprintf(szLine, sizeof(szLine), "%-48s%s", s_aszLabels[n], aszValues[n]);
        TextOutA(hDC, 8, 16 * n + 8, szLine, static_cast<int>(strlen(szLine)));
    }
    if (hOldFont)
        SelectObject(hDC, hOldFont);

    int nWidth = rect.right - rect.left;
    HGDIOBJ hOldPen = SelectObject(hDC, s_hBasePen);
    MoveToEx(hDC, rect.left, rect.bottom - 50, NULL);
    LineTo(hDC, rect.right, rect.bottom - 50);
    static POINT s_aPoints[256];
    SelectObject(hDC, s_hRedPen);
    int nPoints = GraphPoints(stats.m_afSeries1, stats.m_nSeries1Count, nWidth, rect.bottom, s_aPoints);
    if (nPoints > 0)
        Polyline(hDC, s_aPoints, nPoints);
    SelectObject(hDC, s_hGreenPen);
    nPoints = GraphPoints(stats.m_afSeries2, stats.m_nSeries2Count, nWidth, rect.bottom, s_aPoints);
    if (nPoints > 0)
        Polyline(hDC, s_aPoints, nPoints);
    SelectObject(hDC, hOldPen);
}
