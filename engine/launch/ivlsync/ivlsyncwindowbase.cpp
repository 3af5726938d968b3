#include "launch/ivlsync/ivlsyncwindowbase.h"

#include <commctrl.h>
#include <richedit.h>
#include <shellapi.h>
#include <cstdlib>
#include <cstring>
#include "common/containers/zstr.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/zinit.h"
#include "launch/ivlsync/languagetable.h"
#include "launch/ivlsync/resource.h"
#include "launch/launchlibs/downloader.h"
#include "launch/launchlibs/launchhelpers.h"

// Built before every other static: the crash filter and the exit handler read them.
ZStringBuffer<256> ZIvlSync::s_sLogFile ZINIT_PRIORITY(ZINIT_STEP_SYNC_LOG_NAME);
ZStringBuffer<256> ZIvlSync::s_sElevationArgs ZINIT_PRIORITY(ZINIT_STEP_SYNC_RELAUNCH_ARGS);
std::atomic<ZIvlSync*> ZIvlSync::s_pCurrent(nullptr);
std::atomic<bool> ZIvlSync::s_bElevating(false);

namespace
{
const wchar_t kSelfProperty[] = L"pMyself";
std::atomic<bool> s_bRelaunchRegistered(false);
}  // namespace

bool IsElevationRequested()
{
    return ZIvlSync::s_bElevating;
}

ZIvlSync::ZIvlSync(LanguageTable* pLanguage, bool bElevated)
    : m_hWnd(nullptr), m_hInstance(GetModuleHandleW(nullptr)), m_pLanguage(pLanguage), m_bClosed(false),
      m_bBuffering(1), m_bElevated(bElevated ? 1 : 0), m_bClosing(false), m_bInClose(0),
      m_nThreadId(GetCurrentThreadId())
{
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);
    LoadLibraryW(L"riched32.dll");
    s_pCurrent = this;
    s_sLogFile = File::GetFullPath("ivlsync.log");
    // The repacker's lines belong in this program's log; the callback finds the current window.
    Downloader::SetRepackerLogSink(&ZIvlSync::LogCallback);
}

ZIvlSync::~ZIvlSync()
{
    if (m_hWnd) {
        RemovePropW(m_hWnd, kSelfProperty);
        DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
    }
    ZIvlSync* pSelf = this;
    s_pCurrent.compare_exchange_strong(pSelf, nullptr);
}

void ZIvlSync::OnError(const char* szText)
{
}

void ZIvlSync::OnInitDialog(HWND hWnd)
{
    ZStringBuffer<256> sFolder;
    GetInstallDir(sFolder, "", "live");
    int nResult = TestWriteAccess(sFolder.GetData());
    if (nResult == 0) {
        Log(GetLocalizedText("access_ok"));
    } else if (nResult == 1 && !m_bElevated) {
        Log("Elevating rights");
        RequestElevation(hWnd, nullptr);
    } else {
        Log(GetLocalizedText("access_failed"), sFolder.GetData());
    }
}

INT_PTR CALLBACK ZIvlSync::DialogProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    // Until WM_INITDIALOG has stored the window property, the object comes as the parameter.
    ZIvlSync* pWindow = nMsg == WM_INITDIALOG ? reinterpret_cast<ZIvlSync*>(lParam) : FromWindow(hWnd);
    return pWindow ? pWindow->HandleMessage(hWnd, nMsg, wParam, lParam) : FALSE;
}

bool ZIvlSync::CreateDialogWindow(int nDialogId)
{
    HWND hWnd = CreateDialogParamW(m_hInstance, MAKEINTRESOURCEW(nDialogId), nullptr, DialogProc,
                                   reinterpret_cast<LPARAM>(this));
    if (!hWnd)
        return false;
    m_hWnd = hWnd;
    return true;
}

ZIvlSync* ZIvlSync::FromWindow(HWND hWnd)
{
    return static_cast<ZIvlSync*>(GetPropW(hWnd, kSelfProperty));
}

INT_PTR ZIvlSync::HandleMessage(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    switch (nMsg) {
    case WM_INITDIALOG: {
        SetPropW(hWnd, kSelfProperty, this);
        m_hWnd = hWnd;
        HICON hSmall = static_cast<HICON>(LoadImageW(m_hInstance, MAKEINTRESOURCEW(IDI_IVLSYNC), IMAGE_ICON,
                                                     GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
        HICON hLarge = static_cast<HICON>(LoadImageW(m_hInstance, MAKEINTRESOURCEW(IDI_IVLSYNC), IMAGE_ICON,
                                                     GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
        SendMessageW(hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(hSmall));
        SendMessageW(hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(hLarge));
        // The control keeps 32K characters unless told otherwise; the program runs for long.
        SendDlgItemMessageW(hWnd, IDC_LOG, EM_EXLIMITTEXT, 0, 0x7FFFFFFF);
        OnInitDialog(hWnd);
        return TRUE;
    }
    case WM_IVLSYNC_LOG:
    case WM_IVLSYNC_LOG_HEAP: {
        const wchar_t* szText = reinterpret_cast<const wchar_t*>(wParam);
        HWND hLog = GetDlgItem(hWnd, IDC_LOG);
        if (hLog && szText) {
            // Past the end is clamped, so CR LF counting differences do not matter.
            int nLength = GetWindowTextLengthW(hLog);
            SendMessageW(hLog, EM_SETSEL, nLength, nLength);
            SendMessageW(hLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(szText));
        }
        if (nMsg == WM_IVLSYNC_LOG_HEAP)
            free(reinterpret_cast<void*>(wParam));
        return TRUE;
    }
    case WM_IVLSYNC_CLOSE: CloseOnWindowThread(wParam != 0); return TRUE;
    }
    return FALSE;
}

void ZIvlSync::Log(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    LogV(szFormat, args);
    va_end(args);
}

void ZIvlSync::LogV(const char* szFormat, va_list args)
{
    if (m_bClosed)
        return;
    ZStringBuffer<256> sLine;
    sLine.FormatLineV(szFormat, args);
    WriteLog(sLine.GetData());
}

void ZIvlSync::LogError(const char* szFormat, ...)
{
    if (m_bClosed)
        return;
    ZStringBuffer<256> sLine;
    va_list args;
    va_start(args, szFormat);
    sLine.FormatLineV(szFormat, args);
    va_end(args);
    WriteLog(sLine.GetData());
    if (m_hWnd) {
        // Asynchronous from other threads: a thread must not block on the window for this.
        if (GetCurrentThreadId() == m_nThreadId)
            ShowWindow(m_hWnd, SW_SHOWNORMAL);
        else
            ShowWindowAsync(m_hWnd, SW_SHOWNORMAL);
    }
    OnError(sLine.GetData());
}

void ZIvlSync::WriteLog(const char* szText)
{
    if (m_bClosed)
        return;
    AppendTextToFile(s_sLogFile.GetData(), szText, strlen(szText));
    {
        ZLockGuard guard(m_Lock);
        if (m_bBuffering) {
            m_sPending.Append(szText);
            return;
        }
    }
    if (!m_hWnd)
        return;
    // The receiver of the message frees the text.
    wchar_t* pWide = ZWideText(szText).Detach();
    if (pWide && !PostMessageW(m_hWnd, WM_IVLSYNC_LOG_HEAP, reinterpret_cast<WPARAM>(pWide), 0))
        free(pWide);
}

void ZIvlSync::Flush()
{
    ZLockGuard guard(m_Lock);
    if (!m_sPending.IsEmpty()) {
        ZWideText text(m_sPending.GetData());
        SendMessageW(m_hWnd, WM_IVLSYNC_LOG, reinterpret_cast<WPARAM>(text.c_str()), 0);
        m_sPending.Clear();
    }
    m_bBuffering = 0;
}

ZStringBuffer<256> ZIvlSync::GetLogFile()
{
    return s_sLogFile;
}

void __cdecl ZIvlSync::LogCallback(int nArg1, int nArg2, int nArg3, const char* szText)
{
    ZIvlSync* pWindow = s_pCurrent;
    if (pWindow && szText)
        pWindow->Log("%s", szText);
}

bool ZIvlSync::SendToWindow(UINT nMsg, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    if (m_bClosed || !m_hWnd)
        return false;
    LRESULT nResult = SendMessageW(m_hWnd, nMsg, wParam, lParam);
    if (pResult)
        *pResult = nResult;
    return true;
}

HWND ZIvlSync::AddStatusLine(const char* szName, const char* szText, HWND hAfter)
{
    LRESULT nLine = 0;
    if (!SendToWindow(WM_IVLSYNC_ADDLINE, reinterpret_cast<WPARAM>(szName), reinterpret_cast<LPARAM>(hAfter), &nLine))
        return nullptr;
    HWND hLine = reinterpret_cast<HWND>(nLine);
    if (hLine)
        SetLineStatus(hLine, szText);
    return hLine;
}

void ZIvlSync::SetLineStatus(HWND hLine, const char* szText)
{
    char* pCopy = _strdup(szText ? szText : "");
    if (!pCopy)
        return;
    if (!SendToWindow(WM_IVLSYNC_SETLINE, reinterpret_cast<WPARAM>(hLine), reinterpret_cast<LPARAM>(pCopy), nullptr))
        free(pCopy);
}

void ZIvlSync::RemoveStatusLine(HWND hLine)
{
    SendToWindow(WM_IVLSYNC_REMOVELINE, reinterpret_cast<WPARAM>(hLine), 0, nullptr);
}

void ZIvlSync::RegisterObject(ILiveObject* pObject)
{
    ZLockGuard guard(m_ObjectsLock);
    if (!m_bClosing)
        m_LiveObjects.PushBack(pObject);
}

bool ZIvlSync::IsRegistered(ILiveObject* pObject)
{
    ZLockGuard guard(m_ObjectsLock);
    return m_LiveObjects.Find(pObject) != m_LiveObjects.End();
}

int ZIvlSync::GetObjectCount()
{
    ZLockGuard guard(m_ObjectsLock);
    return m_LiveObjects.Size();
}

void ZIvlSync::ObjectEnded(ILiveObject* pObject)
{
    SendToWindow(WM_IVLSYNC_OBJECTENDED, reinterpret_cast<WPARAM>(pObject), 0, nullptr);
}

void ZIvlSync::RemoveObject(ILiveObject* pObject)
{
    bool bEmpty = false;
    {
        ZLockGuard guard(m_ObjectsLock);
        ZList<ILiveObject*>::Iterator it = m_LiveObjects.Find(pObject);
        if (it != m_LiveObjects.End())
            m_LiveObjects.Erase(it);
        bEmpty = m_LiveObjects.IsEmpty();
    }
    if (bEmpty && !m_bClosed)
        QuitLoop();
}

void ZIvlSync::QuitLoop()
{
    if (GetCurrentThreadId() == m_nThreadId)
        PostQuitMessage(0);
    else
        PostThreadMessageW(m_nThreadId, WM_QUIT, 0, 0);
}

void ZIvlSync::Close(bool bWait)
{
    // The live-object list and the quit message belong to the window thread: a close that
    // arrives on a command connection's thread is handed over to it.
    if (GetCurrentThreadId() != m_nThreadId) {
        if (!m_hWnd || !PostMessageW(m_hWnd, WM_IVLSYNC_CLOSE, bWait ? 1 : 0, 0))
            QuitLoop();
        return;
    }
    CloseOnWindowThread(bWait);
}

void ZIvlSync::CloseOnWindowThread(bool bWait)
{
    if (m_bInClose || m_bClosed)
        return;
    m_bInClose = 1;
    m_bClosing = true;
    if (m_hWnd) {
        ZWideText title = GetLocalizedTextCopy("closing");
        SetWindowTextW(m_hWnd, title.c_str());
    }
    if (GetObjectCount() == 0) {
        QuitLoop();
        m_bInClose = 0;
        return;
    }
    PumpMessages();
    // Cancel outside the guard: an ending object waits on the window thread, which takes it.
    ILiveObject** pObjects = nullptr;
    int i = 0;
    {
        ZLockGuard guard(m_ObjectsLock);
        int nCount = m_LiveObjects.Size();
        pObjects = static_cast<ILiveObject**>(malloc(sizeof(ILiveObject*) * (nCount ? nCount : 1)));
        for (ZList<ILiveObject*>::Iterator it = m_LiveObjects.Begin(); it != m_LiveObjects.End() && pObjects; ++it)
            pObjects[i++] = *it;
    }
    if (pObjects) {
        for (int n = 0; n < i; ++n)
            pObjects[n]->Cancel(bWait);
        free(pObjects);
    }
    m_bInClose = 0;
}

void ZIvlSync::RunMessageLoop()
{
    MSG msg;
    for (;;) {
        BOOL nResult = GetMessageW(&msg, nullptr, 0, 0);
        if (nResult == 0 || nResult == -1)
            break;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
        if (m_bBuffering)
            Flush();
    }
    m_bClosed = true;
}

void ZIvlSync::PumpMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // The main loop must still see it.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
        if (m_bBuffering)
            Flush();
    }
}

const char* ZIvlSync::GetLocalizedText(const char* szKey)
{
    return m_pLanguage ? m_pLanguage->GetText(szKey) : szKey;
}

ZWideText ZIvlSync::GetLocalizedTextCopy(const char* szKey)
{
    return ZWideText(GetLocalizedText(szKey));
}

ZStringBase& ZIvlSync::GetInstallDir(ZStringBase& path, const char* szSub, const char* szVersion)
{
    if (GetInstallDirFromRegistry(szSub, szVersion, path))
        return path;
    path.AssignFrom(File::GetTempPath());
    path.Append(szSub ? "IVL\\" : "IVL");
    if (szSub)
        path.Append(szSub);
    return path;
}

int ZIvlSync::TestWriteAccess(const char* szFolder)
{
    DWORD nError = 0;
    Log(GetLocalizedText("testing_access"), szFolder);
    // The install root comes with its trailing '\': no second one before the probe names.
    ZStringBuffer<256> sBase(szFolder);
    if (sBase.EndsWith("\\") || sBase.EndsWith("/"))
        sBase.Truncate(sBase.GetLength() - 1);
    ZStringBuffer<256> sProbeFile(sBase);
    sProbeFile.Append("\\ivlsync.writetest");
    ZStringBuffer<256> sProbeFolder(sBase);
    sProbeFolder.Append("\\ivlsync.writetest.2");

    SetLastError(0);
    if (!CreateDirectoryPath(szFolder)) {
        nError = GetLastError();
    } else {
        SetLastError(0);
        File file = File::Open(sProbeFile.GetData(), File::MODE_WRITE | File::MODE_CREATE);
        if (!file.IsOpen()) {
            nError = GetLastError();
            Log(GetLocalizedText("create_failed"), static_cast<int>(nError));
        } else {
            // The byte must reach the file: a buffered write alone succeeds on a full disk.
            const unsigned char nByte = 1;
            SetLastError(0);
            if (file.Write(&nByte, 1) != 1 || !file.Flush()) {
                nError = GetLastError();
                Log(GetLocalizedText("write_failed"), static_cast<int>(nError));
                file.Close();
            } else {
                file.Close();
                File::Delete(sProbeFile.GetData());
                if (File::CreateDirectory(sProbeFolder.GetData())) {
                    File::RemoveDirectory(sProbeFolder.GetData());
                    return 0;
                }
            }
        }
    }
    return nError == ERROR_ACCESS_DENIED ? 1 : 2;
}

void ZIvlSync::RequestElevation(HWND hWnd, const char* szArgs)
{
    s_bElevating = true;
    s_sElevationArgs = szArgs ? szArgs : "";
    // One relaunch per process, however many places ask for it.
    if (!s_bRelaunchRegistered.exchange(true))
        atexit(RelaunchElevated);
    PostMessageW(hWnd, WM_COMMAND, MAKEWPARAM(ID_FILE_EXIT, 0), 0);
}

void ZIvlSync::RequestElevation(ZIvlSync* pWindow)
{
    RequestElevation(pWindow ? pWindow->GetHwnd() : nullptr, nullptr);
}

ZStringBuffer<256> ZIvlSync::GetElevationParameters()
{
    if (s_sElevationArgs.IsEmpty())
        return ZStringBuffer<256>("-e");
    ZStringBuffer<256> sParameters(s_sElevationArgs);
    sParameters.Append(" -e ");
    return sParameters;
}

void ZIvlSync::RelaunchElevated()
{
    wchar_t szPath[1024];
    DWORD nLength = GetModuleFileNameW(nullptr, szPath, 1024);
    if (nLength >= 1024)
        nLength = 1023;
    szPath[nLength] = 0;
    ZWideText parameters(GetElevationParameters().GetData());

    SHELLEXECUTEINFOW info;
    memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(info);
    info.fMask = 0;
    info.hwnd = nullptr;
    info.lpVerb = L"runas";
    info.lpFile = szPath;
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOW;
    if (!ShellExecuteExW(&info)) {
        wchar_t szText[128];
        _snwprintf(szText, 128, L"ShellExecuteEx failed, error code %d", static_cast<int>(GetLastError()));
        szText[127] = 0;
        MessageBoxW(nullptr, szText, L"ShellExecuteEx failed", MB_OK);
    }
}
