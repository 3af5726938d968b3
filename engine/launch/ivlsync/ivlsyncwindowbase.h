// Base of the sync program's windows: the program log (file and log control), the status-line
// and live-object calls that server and session threads make, the message loop, the language
// texts, the install folder and the write-access test with the elevated relaunch.
#pragma once
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include "common/system/zwin.h"
#include "common/containers/zstringbuffer.h"
#include "common/system/zlock.h"
#include "common/containers/zlist.h"

class LanguageTable;

// Messages of the sync program's dialogs. Other threads reach a window only through these.
enum
{
    WM_IVLSYNC_LOG = WM_USER + 1,          // wParam: UTF-16 text, kept by the sender
    WM_IVLSYNC_LOG_HEAP = WM_USER + 2,     // wParam: UTF-16 text from malloc, freed by the window
    WM_IVLSYNC_ADDLINE = WM_USER + 4,      // wParam: name (C string), lParam: line to insert after or 0
    WM_IVLSYNC_SETLINE = WM_USER + 5,      // wParam: line, lParam: text from malloc, freed by the window
    WM_IVLSYNC_REMOVELINE = WM_USER + 6,   // wParam: line
    WM_IVLSYNC_OBJECTENDED = WM_USER + 7,  // wParam: ILiveObject*
    WM_IVLSYNC_CLOSE = WM_USER + 8,        // ZIvlSync::Close asked for on another thread
};

// What the window cancels before the program may end: the servers, every session and the menu
// verification. Servers implement Cancel with their Stop.
class ILiveObject
{
public:
    virtual void Cancel(bool bWait) = 0;
    virtual int IsSession() = 0;

protected:
    ~ILiveObject() {}
};

class ZIvlSync
{
public:
    // Slot 0: an error line was logged (LogError). Nothing here.
    virtual void OnError(const char* szText);
    // Slot 1: the dialog is initialised: the start-up write test of the install root.
    virtual void OnInitDialog(HWND hWnd);
    virtual ~ZIvlSync();

    ZIvlSync(const ZIvlSync&) = delete;
    ZIvlSync& operator=(const ZIvlSync&) = delete;

    HWND GetHwnd() const { return m_hWnd; }
    HINSTANCE GetInstance() const { return m_hInstance; }
    bool IsElevated() const { return m_bElevated != 0; }
    bool IsClosed() const { return m_bClosed; }
    LanguageTable* GetLanguage() const { return m_pLanguage; }
    static ZIvlSync* GetCurrent() { return s_pCurrent; }

    // Log, from any thread: one line (a "\n" is added when missing) to "ivlsync.log" and the
    // log control. Nothing once the message loop has ended.
    void Log(const char* szFormat, ...) ZPRINTF_FORMAT(2, 3);
    void LogV(const char* szFormat, va_list args);
    // As Log, then shows the window and calls OnError with the text.
    void LogError(const char* szFormat, ...) ZPRINTF_FORMAT(2, 3);
    void WriteLog(const char* szText);
    static ZStringBuffer<256> GetLogFile();
    // For outside libraries (the image repacker): the fourth argument is the text.
    static void __cdecl LogCallback(int nArg1, int nArg2, int nArg3, const char* szText);

    // Status lines, from server threads (synchronous; nothing once the loop has ended).
    HWND AddStatusLine(const char* szName, const char* szText, HWND hAfter);
    void SetLineStatus(HWND hLine, const char* szText);
    void RemoveStatusLine(HWND hLine);

    // Live objects: registered objects are cancelled by Close; the loop quits when the last has
    // ended (ObjectEnded).
    void RegisterObject(ILiveObject* pObject);
    void ObjectEnded(ILiveObject* pObject);
    void Close(bool bWait);
    bool IsRegistered(ILiveObject* pObject);
    int GetObjectCount();

    void RunMessageLoop();
    void PumpMessages();

    // Language texts: the key itself when the table has no entry (or there is no table).
    const char* GetLocalizedText(const char* szKey);
    ZWideText GetLocalizedTextCopy(const char* szKey);

    // Install folder of the installed version plus the sub-folder: the registry's install root,
    // or the temporary folder's "IVL". Never fails.
    static ZStringBase& GetInstallDir(ZStringBase& path, const char* szSub, const char* szVersion);

    // 0 the folder can be written, 1 access denied (error 5), 2 any other failure.
    int TestWriteAccess(const char* szFolder);
    // Records the relaunch with "runas" and "-e" at process exit and closes the window.
    static void RequestElevation(HWND hWnd, const char* szArgs);
    static void RequestElevation(ZIvlSync* pWindow);
    static void RelaunchElevated();
    // The parameters the relaunch passes ("-e", or the recorded arguments and " -e ").
    static ZStringBuffer<256> GetElevationParameters();

    // Deletes the paths below the folder longer than its own length + 193 (Windows Disk Cleanup
    // fails on them), once: a marker file records a clean scan.
    void CleanLongFileNames(const char* szFolder);

    // The menu verification of the installed files (runs on a detached thread).
    void VerifyInstalledFiles();
    // The verification itself under the mutex "verifyfiles": -1 when another one runs, else
    // 1 when every file passed and 0 when not.
    int VerifyFilesLocked();

    static ZStringBuffer<256> s_sLogFile;

protected:
    ZIvlSync(LanguageTable* pLanguage, bool bElevated);

    // Creates the dialog (the window property "pMyself" finds this object); the caller shows it.
    bool CreateDialogWindow(int nDialogId);
    // The dialog's messages. This one handles what every window of the program shares; a
    // window handles its own and passes the rest here.
    virtual INT_PTR HandleMessage(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam);
    static ZIvlSync* FromWindow(HWND hWnd);
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam);
    // The live objects have all ended (or none was there): end the message loop.
    void QuitLoop();
    // Called on the window thread when an object has unregistered.
    void RemoveObject(ILiveObject* pObject);
    // Sends a message from any thread; false (nothing sent) once the loop has ended.
    bool SendToWindow(UINT nMsg, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    void Flush();
    void CloseOnWindowThread(bool bWait);

    HWND m_hWnd;
    HINSTANCE m_hInstance;
    LanguageTable* m_pLanguage;
    std::atomic<bool> m_bClosed;
    ZCriticalSection m_Lock;
    ZStringBuffer<16> m_sPending;
    uint8_t m_bBuffering;
    uint8_t m_bElevated;

    // The live objects, guarded by m_ObjectsLock (never held while an object is cancelled).
    ZCriticalSection m_ObjectsLock;
    ZList<ILiveObject*> m_LiveObjects;
    std::atomic<bool> m_bClosing;
    uint8_t m_bInClose;  // the window thread's own
    DWORD m_nThreadId;   // the window's thread

    static std::atomic<ZIvlSync*> s_pCurrent;
    friend bool IsElevationRequested();
    static std::atomic<bool> s_bElevating;
    static ZStringBuffer<256> s_sElevationArgs;
};

// An elevated relaunch has been asked for in this process.
bool IsElevationRequested();
