#include "launch/ivlsync/updatewindow.h"

#include <commctrl.h>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include "common/containers/zmemorybuffer.h"
#include "common/net/http.h"
#include "common/system/path.h"
#include "common/system/socket.h"
#include "launch/ivlsync/folderlock.h"
#include "launch/ivlsync/languagetable.h"
#include "launch/ivlsync/resource.h"
#include "launch/ivlsync/syncmain.h"
#include "shared/net/uniquefilelist.h"

namespace
{
const char* const kDistributions[] = {"VostX_Depends", "Game_Client_Executables", "SmallFiles", "T00M00_AllLevels"};
const char* const kSettingsKeys[] = {"unique_file_servers", "distribution", "vostxdistribution",
                                     "uniqueversionfilename"};

// The job has ended: quit the loop when quit-when-done is set.
const UINT WM_UPDATE_JOBDONE = WM_USER + 4;
// Posted by other threads: wParam control id, lParam UTF-8 text from malloc (freed here).
const UINT WM_UPDATE_SETTEXT = WM_USER + 20;
// wParam: 0 hide the bar, 1 show it, 2 marquee on, 3 marquee off, 4 position (lParam),
// 5 state (lParam: PBST_*).
const UINT WM_UPDATE_BAR = WM_USER + 21;
// wParam: the key of button 2's text (static text), lParam: new id | enabled << 16.
const UINT WM_UPDATE_BUTTON = WM_USER + 22;
// Show the details box (an error was logged); never a toggle, so that a second error keeps it open.
const UINT WM_UPDATE_SHOWDETAILS = WM_USER + 23;

#ifndef PBM_SETSTATE
#define PBM_SETSTATE (WM_USER + 16)
#endif
#ifndef PBST_NORMAL
#define PBST_NORMAL 1
#define PBST_ERROR 2
#define PBST_PAUSED 3
#endif
}  // namespace

bool ParseSettings(const char* szText, UpdateSettings& settings)
{
    ZStringArray lines(32);
    lines.Split(szText ? szText : "", '\n');
    bool aFound[4] = {false, false, false, false};
    for (unsigned i = 0; i < lines.Size(); ++i) {
        const char* szLine = lines[i].GetData();
        const char* pEquals = strchr(szLine, '=');
        if (!pEquals)
            continue;
        const char* pOpen = strchr(pEquals + 1, '"');
        if (!pOpen)
            continue;
        const char* pClose = pOpen + 1;
        while (*pClose && !(*pClose == '"' && pClose[-1] != '\\'))
            ++pClose;
        if (!*pClose)
            continue;
        ZStringBuffer<64> sKey;
        sKey.Assign(szLine, (int)(pEquals - szLine));
        ZStringBuffer<256> sValue;
        sValue.Assign(pOpen + 1, (int)(pClose - pOpen - 1));
        for (int k = 0; k < 4; ++k) {
            if (sKey != kSettingsKeys[k])
                continue;
            aFound[k] = true;
            switch (k) {
            case 0:
                settings.m_Servers.Clear();
                settings.m_Servers.Split(sValue.GetData(), ';');
                break;
            case 1: settings.m_sDistribution = sValue; break;
            case 2: settings.m_sRegistrySelector = sValue; break;
            default: settings.m_sRootList = sValue; break;
            }
        }
    }
    return aFound[0] && aFound[1] && aFound[2] && aFound[3];
}

namespace updatemode
{
UpdateWindow::UpdateWindow(bool bElevated, bool bMinimised, LanguageTable* pLanguage)
    : ZIvlSync(pLanguage, bElevated), m_bDetailsShown(false), m_bCancelRequested(false), m_bJobDone(false),
      m_bFailed(false), m_bQuitWhenDone(false), m_hHeaderFont(nullptr), m_hCloseButton(nullptr),
      m_hWhiteBrush(CreateSolidBrush(RGB(255, 255, 255)))
{
    if (!CreateDialogWindow(IDD_UPDATE))
        return;
    m_hCloseButton = GetDlgItem(m_hWnd, IDCANCEL);
    m_hHeaderFont = CreateFontW(14, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"MS Shell Dlg");
    if (m_hHeaderFont)
        SendDlgItemMessageW(m_hWnd, IDC_UPDATE_HEADER, WM_SETFONT, reinterpret_cast<WPARAM>(m_hHeaderFont), TRUE);
    SetItemKey(IDC_UPDATE_HEADER, "downloading_header");
    SetItemKey(IDC_UPDATE_DETAILS, "show_details");
    RECT client;
    GetClientRect(m_hWnd, &client);
    Layout(client.right, client.bottom);
    ShowWindow(m_hWnd, bMinimised ? SW_SHOWMINIMIZED : SW_SHOWNORMAL);
}

UpdateWindow::~UpdateWindow()
{
    if (m_hHeaderFont)
        DeleteObject(m_hHeaderFont);
    if (m_hWhiteBrush)
        DeleteObject(m_hWhiteBrush);
}

void UpdateWindow::OnError(const char* szText)
{
    m_bFailed = true;
    if (m_hWnd)
        PostMessageW(m_hWnd, WM_UPDATE_SHOWDETAILS, 0, 0);
}

void UpdateWindow::Log(const char* szText)
{
    ZIvlSync::Log("%s", szText);
}

void UpdateWindow::Error(const char* szText)
{
    LogError("%s", szText);
}

void UpdateWindow::SetItemText(int nId, const char* szText)
{
    if (!m_hWnd || IsClosed())
        return;
    if (GetCurrentThreadId() == m_nThreadId) {
        ZWideText wide(szText);
        SetDlgItemTextW(m_hWnd, nId, wide.Get());
        return;
    }
    char* pCopy = _strdup(szText ? szText : "");
    if (pCopy && !PostMessageW(m_hWnd, WM_UPDATE_SETTEXT, (WPARAM)nId, reinterpret_cast<LPARAM>(pCopy)))
        free(pCopy);
}

void UpdateWindow::SetItemKey(int nId, const char* szKey)
{
    SetItemText(nId, GetLocalizedText(szKey));
}

void UpdateWindow::SetCloseButton(const char* szKey, int nNewId, bool bEnabled)
{
    if (m_hWnd)
        PostMessageW(m_hWnd, WM_UPDATE_BUTTON, reinterpret_cast<WPARAM>(szKey),
                     (LPARAM)(nNewId | (bEnabled ? 0x10000 : 0)));
}

void UpdateWindow::InstallFolder(const UpdateSettings& settings, ZStringBase& sFolder)
{
    GetInstallDir(sFolder, settings.m_sDistribution.GetData(), settings.m_sRegistrySelector.GetData());
}

bool UpdateWindow::LoadSettings(const char* szServer, UpdateSettings& settings)
{
    ZIvlSync::Log(GetLocalizedText("loading_settings"), szServer);
    ZStringBuffer<256> sHost(szServer ? szServer : "");
    int nPort = 80;
    int nColon = sHost.Find(':');
    if (nColon >= 0) {
        nPort = (uint16_t)atoi(sHost.GetData() + nColon + 1);
        sHost.Truncate(nColon);
    }
    Socket socket = Socket::Create(0, 0, 0);
    SocketAddress address = SocketAddress::Resolve(sHost.GetData());
    if (!address.IsSet()) {
        LogError(GetLocalizedText("dns_error"), sHost.GetData());
        return false;
    }
    address.SetPort((uint16_t)nPort);
    if (!HttpConnect(socket, address, nullptr, kHttpServerTimeoutMs)) {
        LogError(GetLocalizedText("connect_error"), sHost.GetData(), nPort);
        return false;
    }
    ResponseHolder holder;
    ZStringBuffer<256> sStatus;
    // The request adds the path's '/' itself; the Host line names the host alone.
    int nResult = HttpReceive(&holder, socket, sHost.GetData(), "settings.js", false, sStatus, nullptr);
    socket.Close();
    if (nResult != 0) {
        LogError(GetLocalizedText("http_error"), nResult);
        return false;
    }
    ZStringBuffer<256> sText;
    if (holder.m_pData && holder.m_nSize)
        sText.Assign(reinterpret_cast<const char*>(holder.m_pData), (int)holder.m_nSize);
    return ParseSettings(sText.GetData(), settings);
}

void UpdateWindow::StartUpdate(const char* szSettingsServer, const ZStringArray& distributions, bool bQuiet)
{
    m_bFailed = false;
    m_bQuitWhenDone = bQuiet;
    std::unique_ptr<UpdateJob> pJob(new UpdateJob);
    pJob->m_pWindow = this;
    pJob->m_Distributions = distributions;
    SetCloseButton("cancel", IDCANCEL, true);
    SetItemKey(IDC_UPDATE_STATUS, "contacting_server");
    SetItemText(IDC_UPDATE_DETAIL, "");

    if (!LoadSettings(szSettingsServer, pJob->m_Settings)) {
        m_bFailed = true;
        SetItemKey(IDC_UPDATE_STATUS, "error");
        LogError("%s", GetLocalizedText("error_load_settings"));
        if (bQuiet)
            QuitLoop();
        else
            SetCloseButton("close", IDC_UPDATE_CLOSE, true);
        return;
    }

    ZStringBuffer<256> sFolder;
    InstallFolder(pJob->m_Settings, sFolder);
    if (TestWriteAccess(sFolder.GetData()) == 1) {
        ZIvlSync::Log("%s", GetLocalizedText("write_error_elevate"));
        RequestElevation(m_hWnd, nullptr);
        return;
    }
    m_JobThread = ZThread::Create(&UpdateWindow::RunUpdateJob, pJob.get(), 0, true);
    if (!m_JobThread.IsValid()) {
        m_bFailed = true;
        SetItemKey(IDC_UPDATE_STATUS, "error");
        SetCloseButton("close", IDC_UPDATE_CLOSE, true);
        return;
    }
    // The job thread owns the job from here and destroys it at its end.
    pJob.release();
    m_JobThread.SetName("Download");
    m_JobThread.Resume();
}

bool UpdateWindow::DownloadDistribution(const char* szName, UniqueFileList& list, UpdateJob& job)
{
    ZStringBuffer<256> sFolder;
    InstallFolder(job.m_Settings, sFolder);
    ZStringBuffer<256> sCache;
    JoinPath2(sCache, sFolder.GetData(), "synccache");
    ZStringBuffer<256> sResponse;
    ZStringBuffer<16> sBundle;
    ZStringBuffer<16> sUnique =
        list.GetListUniqueName(szName, sCache.GetData(), job.m_Settings.m_sRootList.GetData(), sResponse, &sBundle);
    if (sUnique.IsEmpty())
        ZIvlSync::Log("GetListUniqueName(%s) failed: %s", szName, sResponse.GetData());
    Downloader* pDownloader = job.m_pDownloader;
    pDownloader->ResetStatistics();

    // One downloader or verifier a folder at a time: both rewrite its "currentfiles.txt".
    InstallFolderLock folderLock;
    if (!folderLock.TryAcquire(sFolder.GetData())) {
        LogError("%s: %s", sFolder.GetData(), kInstallFolderBusy);
        return false;
    }
    if (!sBundle.IsEmpty()) {
        if (!pDownloader->DownloadBundle(job.m_Settings.m_Servers, sFolder.GetData(), sUnique.GetData(),
                                         sBundle.GetData(), true, true)) {
            PostMessageW(m_hWnd, WM_UPDATE_BAR, 5, PBST_ERROR);
            return false;
        }
        // Files the bundle could not hold (past its first 2 GB) come one by one.
        if (pDownloader->GetBundleLeftFiles() == 0 || IsCancelled())
            return true;
    }
    pDownloader->DownloadAndUpdateFiles(job.m_Settings.m_Servers, sFolder.GetData(), sUnique.GetData(), false, nullptr,
                                        false);
    return true;
}

int32_t UpdateWindow::RunUpdateJob(void* pArgument)
{
    std::unique_ptr<UpdateJob> pJob(static_cast<UpdateJob*>(pArgument));
    UpdateWindow* pWindow = pJob->m_pWindow;
    pWindow->m_bCancelRequested = false;
    pWindow->m_bJobDone = false;
    pWindow->SetItemKey(IDC_UPDATE_STATUS, "checking_status");

    UniqueFileList list(pJob->m_Settings.m_Servers);
    Downloader downloader;
    downloader.SetListener(pWindow);
    pJob->m_pDownloader = &downloader;

    PostMessageW(pWindow->m_hWnd, WM_UPDATE_BAR, 1, 0);
    ZThread progress = ZThread::Create(&UpdateWindow::UpdateProgressLoop, pJob.get(), 0, true);
    if (progress.IsValid()) {
        progress.SetName("Download progress");
        progress.Resume();
    }

    int nCount = (int)pJob->m_Distributions.Size();
    for (int i = 0; i < nCount; ++i) {
        ZStringBuffer<64> sStep;
        sStep.Format(pWindow->GetLocalizedText("step_x_of_x"), i + 1, nCount);
        pWindow->SetItemText(IDC_UPDATE_STEP, sStep.GetData());
        if (pWindow->m_bCancelRequested)
            break;
        pJob->m_nStep = i;
        if (!pWindow->DownloadDistribution(pJob->m_Distributions[i].GetData(), list, *pJob)) {
            pWindow->m_bFailed = true;
            break;
        }
    }

    pWindow->SetItemText(IDC_UPDATE_STEP, "");
    pWindow->m_bJobDone = true;
    if (progress.IsValid())
        progress.Wait(INFINITE);

    const char* szKey = pWindow->m_bFailed ? "errors_during_download"
        : pWindow->m_bCancelRequested      ? "cancelled"
                                           : "finished";
    pWindow->SetItemKey(IDC_UPDATE_STATUS, szKey);
    pWindow->ZIvlSync::Log("%s", pWindow->GetLocalizedText(szKey));
    pWindow->SetCloseButton("close", IDC_UPDATE_CLOSE, true);
    PostMessageW(pWindow->m_hWnd, WM_UPDATE_BAR, 0, 0);
    PostMessageW(pWindow->m_hWnd, WM_UPDATE_JOBDONE, 0, 0);

    // The progress thread has ended; the downloader, then the job, go with this scope.
    pJob->m_pDownloader = nullptr;
    return 0;
}

int32_t UpdateWindow::UpdateProgressLoop(void* pArgument)
{
    UpdateJob* pJob = static_cast<UpdateJob*>(pArgument);
    UpdateWindow* pWindow = pJob->m_pWindow;
    HWND hWnd = pWindow->m_hWnd;
    PostMessageW(hWnd, WM_UPDATE_BAR, 2, 0);
    PostMessageW(hWnd, WM_UPDATE_BAR, 5, PBST_NORMAL);
    bool bMarquee = true;
    while (!pWindow->m_bCancelRequested && !pWindow->m_bJobDone) {
        Sleep(100);
        Downloader* pDownloader = pJob->m_pDownloader;
        if (!pDownloader)
            continue;
        uint64_t nBytesDone = 0, nBytesTotal = 0;
        int32_t nRepackTotal = 0, nRepackDone = 0, nFilesTotal = 0, nFilesDone = 0;
        pDownloader->GetProgress(&nBytesDone, &nBytesTotal, &nRepackTotal, &nRepackDone, &nFilesTotal, &nFilesDone);
        if ((int64_t)nBytesTotal <= 0) {
            pWindow->SetItemKey(IDC_UPDATE_STATUS, "checking_status");
            pWindow->SetItemText(IDC_UPDATE_DETAIL, "");
            PostMessageW(hWnd, WM_UPDATE_BAR, 4, 0);
            continue;
        }
        double fFraction = nFilesTotal > 0 ? (double)nFilesDone / (double)nFilesTotal : 0.0;
        ZStringBuffer<64> sText;
        sText.Format(pWindow->GetLocalizedText("downloading_x_of_x"), (int)nFilesDone, (int)nFilesTotal);
        pWindow->SetItemText(IDC_UPDATE_STATUS, sText.GetData());
        sText.Format(pWindow->GetLocalizedText("downloading_x_of_x_mb"), (double)nBytesDone / 1048576.0,
                     (double)nBytesTotal / 1048576.0);
        pWindow->SetItemText(IDC_UPDATE_DETAIL, sText.GetData());
        if (bMarquee) {
            PostMessageW(hWnd, WM_UPDATE_BAR, 3, 0);
            bMarquee = false;
        }
        PostMessageW(hWnd, WM_UPDATE_BAR, 4, (LPARAM)lround(fFraction * 1000.0));
    }
    pWindow->SetItemText(IDC_UPDATE_DETAIL, "");
    if (pWindow->m_bCancelRequested) {
        pWindow->SetItemKey(IDC_UPDATE_STATUS, "stopping");
        PostMessageW(hWnd, WM_UPDATE_BAR, 3, 0);
        PostMessageW(hWnd, WM_UPDATE_BAR, 5, PBST_PAUSED);
    }
    return 0;
}

void UpdateWindow::RequestCancel()
{
    m_bCancelRequested = true;
    SetCloseButton("cancel", IDCANCEL, false);
}

void UpdateWindow::RequestClose()
{
    if (m_JobThread.IsValid() && !m_JobThread.IsRunning())
        m_JobThread = ZThread();
    if (m_JobThread.IsValid()) {
        m_bQuitWhenDone = true;
        RequestCancel();
        return;
    }
    QuitLoop();
}

void UpdateWindow::WaitForJob()
{
    if (m_JobThread.IsValid())
        m_JobThread.Wait(INFINITE);
}

void UpdateWindow::ShowDetails(bool bShow)
{
    m_bDetailsShown = bShow;
    ShowWindow(GetDlgItem(m_hWnd, IDC_LOG), bShow ? SW_SHOW : SW_HIDE);
    SetItemKey(IDC_UPDATE_DETAILS, bShow ? "hide_details" : "show_details");
}

void UpdateWindow::Layout(int nWidth, int nHeight)
{
    if (!m_hWnd)
        return;
    // The dialog's own units, in pixels for its font.
    auto Units = [this](int x, int y) {
        RECT r = {0, 0, x, y};
        MapDialogRect(m_hWnd, &r);
        return POINT{r.right, r.bottom};
    };
    POINT margin = Units(7, 107);
    POINT details = Units(14, 131);
    POINT button = Units(57, 21);
    POINT buttonSize = Units(50, 14);
    POINT bar = Units(7, 59);
    POINT banner = Units(2, 38);
    MoveWindow(GetDlgItem(m_hWnd, IDC_LOG), margin.x, margin.y, nWidth - details.x, nHeight - details.y, TRUE);
    MoveWindow(m_hCloseButton, nWidth - button.x, nHeight - button.y, buttonSize.x, buttonSize.y, TRUE);
    MoveWindow(GetDlgItem(m_hWnd, IDC_UPDATE_PROGRESS), bar.x, bar.y, nWidth - details.x, buttonSize.y, TRUE);
    MoveWindow(GetDlgItem(m_hWnd, IDC_UPDATE_BANNER), -banner.x, -banner.x, nWidth + 8, banner.y, TRUE);
}

INT_PTR UpdateWindow::HandleMessage(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    switch (nMsg) {
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_UPDATE_DETAILS: ShowDetails(!m_bDetailsShown); return TRUE;
        case IDCANCEL:
            // Escape sends this id too: once the button has become Close it closes.
            if (GetDlgCtrlID(m_hCloseButton) == IDCANCEL)
                RequestCancel();
            else
                RequestClose();
            return TRUE;
        case IDC_UPDATE_CLOSE:
        case ID_FILE_EXIT: RequestClose(); return TRUE;
        }
        break;
    case WM_CLOSE: RequestClose(); return TRUE;
    case WM_UPDATE_SHOWDETAILS: ShowDetails(true); return TRUE;
    case WM_UPDATE_JOBDONE:
        if (m_bQuitWhenDone)
            QuitLoop();
        return TRUE;
    case WM_UPDATE_SETTEXT: {
        char* pText = reinterpret_cast<char*>(lParam);
        ZWideText wide(pText ? pText : "");
        SetDlgItemTextW(hWnd, (int)wParam, wide.Get());
        free(pText);
        return TRUE;
    }
    case WM_UPDATE_BUTTON: {
        HWND hButton = m_hCloseButton;
        if (hButton) {
            ZWideText wide(GetLocalizedText(reinterpret_cast<const char*>(wParam)));
            SetWindowTextW(hButton, wide.Get());
            SetWindowLongPtrW(hButton, GWLP_ID, (LONG_PTR)(lParam & 0xFFFF));
            EnableWindow(hButton, (lParam & 0x10000) ? TRUE : FALSE);
        }
        return TRUE;
    }
    case WM_UPDATE_BAR: {
        HWND hBar = GetDlgItem(hWnd, IDC_UPDATE_PROGRESS);
        switch (wParam) {
        case 0:
        case 1: ShowWindow(hBar, wParam ? SW_SHOW : SW_HIDE); break;
        case 2:
            SetWindowLongPtrW(hBar, GWL_STYLE, GetWindowLongPtrW(hBar, GWL_STYLE) | PBS_MARQUEE);
            SendMessageW(hBar, PBM_SETRANGE32, 0, 1000);
            SendMessageW(hBar, PBM_SETMARQUEE, TRUE, 30);
            break;
        case 3:
            SendMessageW(hBar, PBM_SETMARQUEE, FALSE, 0);
            SetWindowLongPtrW(hBar, GWL_STYLE, GetWindowLongPtrW(hBar, GWL_STYLE) & ~(LONG_PTR)PBS_MARQUEE);
            break;
        case 4: SendMessageW(hBar, PBM_SETPOS, (WPARAM)lParam, 0); break;
        case 5: SendMessageW(hBar, PBM_SETSTATE, (WPARAM)lParam, 0); break;
        }
        return TRUE;
    }
    case WM_SIZE:
        if (wParam != SIZE_MINIMIZED)
            Layout(LOWORD(lParam), HIWORD(lParam));
        return TRUE;
    case WM_GETMINMAXINFO:
        reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize.x = 400;
        reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize.y = 217;
        return TRUE;
    case WM_CTLCOLORSTATIC: {
        int nId = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
        if (nId == IDC_UPDATE_HEADER || nId == IDC_UPDATE_STEP) {
            SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
            return reinterpret_cast<INT_PTR>(m_hWhiteBrush);
        }
        break;
    }
    }
    return ZIvlSync::HandleMessage(hWnd, nMsg, wParam, lParam);
}

}  // namespace updatemode

bool RunUpdateMode(bool bMinimised, bool bElevated, const char* szSettingsServer, bool bQuiet, LanguageTable* pLanguage)
{
    std::unique_ptr<updatemode::UpdateWindow> pWindow(new updatemode::UpdateWindow(bElevated, bMinimised, pLanguage));
    if (!pWindow->GetHwnd())
        return true;
    if (!SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS))
        pWindow->ZIvlSync::Log(pWindow->GetLocalizedText("setpriority_failed"), static_cast<int>(GetLastError()));
    ZStringArray distributions(32);
    for (const char* szName : kDistributions)
        distributions.Add(szName);
    pWindow->StartUpdate(szSettingsServer, distributions, bQuiet);
    pWindow->RunMessageLoop();
    pWindow->WaitForJob();
    return pWindow->HasFailed();
}
