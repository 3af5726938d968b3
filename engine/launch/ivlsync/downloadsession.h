// CMD_DOWNLOAD and CMD_DOWNLOADNAMED: bring the distribution's folder under the install root up
// to date through the downloader, with progress replies from a thread of their own, one end
// reply and the removal from the command server.
#pragma once
#include <atomic>
#include <cstdint>
#include "common/containers/zstringarray.h"
#include "common/containers/zstringbuffer.h"
#include "common/system/zthread.h"
#include "launch/launchlibs/downloader.h"
#include "launch/ivlsync/folderlock.h"
#include "launch/ivlsync/session.h"

// The cancel flag answers the downloader and the waits of the root-list fetches alike.
class DownloadSession : public Session, public IDownloadListener, protected ISocketCancel
{
public:
    enum
    {
        START_OK = 1,
        START_ELEVATING = 9,     // ERR_ELEVATING: the install folder cannot be written
        START_FOLDER_BUSY = -1,  // another download or verification holds the install folder
        kProgressIntervalMs = 200,
    };

    DownloadSession(int nSessionId, const Socket& connection, ZIvlSync* pWindow, FlashServer* pServer);
    ~DownloadSession() override;

    // START_OK once both threads run; START_ELEVATING after the elevated relaunch was asked for.
    int Start(const ZStringArray& servers, const char* szDistribution, const char* szInstalledVersion,
              const char* szUniqueFilename, bool bQuickCheck);
    int GetKind() override { return KIND_DOWNLOAD; }

    // IDownloadListener
    void Log(const char* szText) override;
    void Error(const char* szText) override;
    // IDownloadListener and ISocketCancel
    bool IsCancelled() override { return m_bCancel; }
    void Notify(int32_t, int32_t) override {}

    // "%.3f;%.2f/%.2f MB": the done fraction (times the repack share when repacking is
    // counted) and the megabytes; false when there is nothing to report yet.
    static bool FormatProgress(ZStringBase& out, uint64_t nBytesDone, uint64_t nBytesTotal, int32_t nRepackTotal,
                               int32_t nRepackDone);

protected:
    // The work thread's body; the named download resolves its names first.
    void Run(SessionEnd& end) override;
    // Before the end reply: sets m_bDone, waits for the progress thread and releases the
    // install folder.
    void StopProgress();

    ZStringBuffer<16> m_sDistribution;
    ZStringBuffer<16> m_sLists;
    ZStringBuffer<16> m_sInstallDir;
    // Held from the start until the work has ended, before the end reply (or until the
    // session is deleted when it never ran).
    InstallFolderLock m_FolderLock;
    ZThread m_ProgressThread;
    uint8_t m_bQuickCheck;
    Downloader m_Downloader;
    ZStringArray m_Servers;
    std::atomic<bool> m_bDone;

private:
    static int32_t ProgressThreadMain(void* pArgument);
};

class NamedDownloadSession : public DownloadSession
{
public:
    NamedDownloadSession(int nSessionId, const Socket& connection, ZIvlSync* pWindow, FlashServer* pServer);

    int Start(const ZStringArray& servers, const char* szDistribution, const char* szInstalledVersion,
              const char* szUniqueFilename, const char* szNames, const char* szWebEntrance, bool bQuickCheck);

protected:
    void Run(SessionEnd& end) override;

private:
    ZStringBuffer<16> m_sNames;
    ZStringBuffer<16> m_sWebEntrance;
};
