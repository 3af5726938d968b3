// The browser-independent part of the plug-in: the page's InitVostX arguments, the install
// sequence on its own thread, the log "vostx.log" in the work folder (which also receives every
// engine log line), and the two page calls that each browser binding fills in.
#pragma once
#include <atomic>
#include <cstdint>
#include "common/containers/zstringbuffer.h"
#include "common/containers/zstringarray.h"
#include "common/system/zlock.h"
#include "common/system/zlog.h"

class ZFileTable;

class VostxCore
{
public:
    explicit VostxCore(const char* szName);

    // 0: keeps the root list name and the Flash object id, starts the install thread.
    virtual bool Init(const char* szDistribution, const char* szInstalledVersion, const char* szLanguage,
                      const ZStringArray& servers, const char* szRootListName, const char* szFlashObjectId);
    // Init with the seven texts of the page's InitVostX call, in the page's order: distribution,
    // installed version, language, the two unique-file servers, root list name, Flash object id.
    bool InitFromPage(const ZStringBuffer<256>* pTexts);
    // 1: one line of "vostx.log".
    virtual void CoreLog(const char* szFormat, ...) ZPRINTF_FORMAT(2, 3);
    // 2 and 3: a method of the page's Flash object with a text and a number, or with a text.
    virtual void CallFlash(const char* szMethod, const char* szText, float fValue, const char* szFlashObjectId,
                           void* pThreadData) = 0;
    virtual void CallFlashError(const char* szMethod, const char* szText, const char* szFlashObjectId,
                                void* pThreadData) = 0;
    // 4 to 6: made on the thread that calls Init, then first and last on the install thread.
    virtual void* CreateThreadData();
    virtual void OnThreadStart();
    virtual void OnThreadEnd(void* pThreadData);

    // A core lives while its maker or a running install thread holds it: makers drop theirs
    // with Release instead of deleting, so a page reload during a run frees nothing in use.
    void AddRef();
    void Release();
    // Cores not yet destroyed plus install threads not yet ended: while any is left, code of
    // this module may still run, so the DLL must stay loaded.
    static long GetInUseCount();

    // The folder of that name in "IVL" in the user's temporary folder; empty for a name that
    // would put it anywhere else.
    static ZStringBuffer<256> GetWorkDir(const char* szName);
    // One folder name: no separator, drive, "." or "..", reserved or control character, device
    // or short-name alias.
    static bool IsSafeFolderName(const char* szName);
    // Empty (the sync program then reads no language file), or one command-line word that is
    // also a piece of a file name: no blank, quote, separator, drive or control character.
    static bool IsSafeLanguage(const char* szLanguage);

    void FireProgress(const char* szText, float fFraction, void* pThreadData);
    void FireError(const char* szText, void* pThreadData);

    // True when the mutex "IvlSync_Running" is gone (after the close command, up to nSeconds
    // attempts a second apart; one attempt without waiting for 0); false for a negative count
    // or when it is still there after the last attempt.
    bool StopSync(int nSeconds);
    bool AllFilesUpToDate(const char* szFolder, ZFileTable& table);
    static bool CheckVersion(const char* szPath, const char* szChecksumText);

    const char* GetName() const { return m_Name.GetData(); }
    const char* GetLogPath() const { return m_LogPath.GetData(); }
    bool IsInitialized() const { return m_bInitialized.load(); }

    // The core made last, or null.
    static VostxCore* GetCurrent();
    static void LogDisplayHook(int32_t nLevel, const char* szCategory, const char* szSource, const char* szText);

    // Where StopSync sends the close command; the port is moved by tests only.
    static uint16_t s_nClosePort;

protected:
    virtual ~VostxCore();
    void WriteLogLine(const char* szText, bool bAddNewline);

private:
    struct InitArgs;
    static DWORD WINAPI InitThread(void* pArgument);
    bool InitSequence(InitArgs& args);
    bool UpdateFile(InitArgs& args, const char* szInstallDir, const char* szWorkDir, class UniqueFileList& list,
                    ZStringBase& response, const char* szName, const char* szChecksum);

    ZStringBuffer<16> m_RootListName;
    ZStringBuffer<256> m_LogPath;
    ZStringBuffer<256> m_Name;
    ZCriticalSection m_InitLock;
    ZCriticalSection m_LogLock;
    ZStringBuffer<256> m_FlashObjectId;
    std::atomic<bool> m_bInitialized;
    std::atomic<long> m_nRefs;

    static std::atomic<long> s_nInUse;
};

// The core of the NewPlugin export: named "dev", and its page calls go nowhere.
class VostxStandaloneCore : public VostxCore
{
public:
    VostxStandaloneCore() : VostxCore("dev") {}
    void CallFlash(const char*, const char*, float, const char*, void*) override {}
    void CallFlashError(const char*, const char*, const char*, void*) override {}
};
