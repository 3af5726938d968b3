// Update mode ("/a"): a progress window that fetches "/settings.js" from the settings server and
// brings the four fixed distributions up to date, one after the other, with the downloader.
#pragma once
#include <atomic>
#include <cstdint>
#include "common/containers/zstringarray.h"
#include "common/containers/zstringbuffer.h"
#include "common/system/zthread.h"
#include "launch/launchlibs/downloader.h"
#include "launch/ivlsync/ivlsyncwindowbase.h"

class UniqueFileList;

struct UpdateSettings
{
    UpdateSettings() : m_Servers(32) {}

    ZStringBuffer<16> m_sDistribution;      // "distribution": the install sub-folder
    ZStringBuffer<16> m_sRegistrySelector;  // "vostxdistribution"
    ZStringArray m_Servers;                 // "unique_file_servers", split at ';'
    ZStringBuffer<16> m_sRootList;          // "uniqueversionfilename"
};

// The window class lives in a namespace of its own: its name is also a system function's.
namespace updatemode
{
class UpdateWindow;
}

struct UpdateJob
{
    UpdateJob() : m_pWindow(nullptr), m_pDownloader(nullptr), m_Distributions(32), m_nStep(0) {}

    updatemode::UpdateWindow* m_pWindow;
    std::atomic<Downloader*> m_pDownloader;
    UpdateSettings m_Settings;
    ZStringArray m_Distributions;
    std::atomic<int32_t> m_nStep;
};

// The key="value" lines of a settings file; false when one of the four keys is missing.
bool ParseSettings(const char* szText, UpdateSettings& settings);

namespace updatemode
{
class UpdateWindow : public ZIvlSync, public IDownloadListener
{
public:
    UpdateWindow(bool bElevated, bool bMinimised, LanguageTable* pLanguage);
    ~UpdateWindow() override;

    // Marks the run failed and shows the details box.
    void OnError(const char* szText) override;

    // IDownloadListener
    void Log(const char* szText) override;
    void Error(const char* szText) override;
    bool IsCancelled() override { return m_bCancelRequested; }

    void StartUpdate(const char* szSettingsServer, const ZStringArray& distributions, bool bQuiet);
    bool LoadSettings(const char* szServer, UpdateSettings& settings);
    void RequestCancel();
    void RequestClose();
    void ShowDetails(bool bShow);
    void Layout(int nWidth, int nHeight);

    bool HasFailed() const { return m_bFailed; }
    // Waits for a job that is still finishing after the loop (its last steps free memory).
    void WaitForJob();

    static int32_t RunUpdateJob(void* pJob);
    static int32_t UpdateProgressLoop(void* pJob);
    bool DownloadDistribution(const char* szName, UniqueFileList& list, UpdateJob& job);

private:
    INT_PTR HandleMessage(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam) override;

    // Controls are touched from the job and progress threads through window messages.
    void SetItemText(int nId, const char* szText);
    void SetItemKey(int nId, const char* szKey);
    void SetCloseButton(const char* szKey, int nNewId, bool bEnabled);
    void InstallFolder(const UpdateSettings& settings, ZStringBase& sFolder);

    bool m_bDetailsShown;  // the window thread's own
    std::atomic<bool> m_bCancelRequested;
    std::atomic<bool> m_bJobDone;
    std::atomic<bool> m_bFailed;
    std::atomic<bool> m_bQuitWhenDone;
    ZThread m_JobThread;
    HFONT m_hHeaderFont;
    HWND m_hCloseButton;
    HBRUSH m_hWhiteBrush;
};
}  // namespace updatemode
