// The downloader: brings a target folder up to date from the file servers with up to nine
// worker threads, keeps the installed state ("currentfiles.txt" and its journal) in the
// folder's sync cache, and logs each run to "fetchbatch.log" in the target folder.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "common/containers/zarray.h"
#include "common/containers/zfiletable.h"
#include "common/containers/zlist.h"
#include "common/containers/zmap.h"
#include "common/containers/zstringarray.h"
#include "common/containers/zstringbuffer.h"
#include "common/system/library.h"
#include "common/system/socket.h"
#include "common/system/zlock.h"
#include "common/system/zthread.h"

class Downloader;
class RepackerInterface;
class ZFileCatalog;
class IInputStream;

// The owner's side of a run; the downloader calls it from its run thread and its workers.
class IDownloadListener
{
public:
    virtual void Log(const char* szText) = 0;
    virtual void Error(const char* szText) = 0;
    virtual bool IsCancelled() = 0;
    // Not called by the downloader; kept so owners share one table layout.
    virtual void Notify(int32_t nFirst, int32_t nSecond) {}

protected:
    ~IDownloadListener() {}
};

// One worker's state, kept from run to run (its connection stays open between files).
struct WorkerSlot
{
    WorkerSlot() : m_nBytesReceived(0), m_nFilesStored(0), m_pOwner(nullptr), m_nIndex(0) {}
    void Init(const char* szTarget, Downloader* pOwner, int nIndex);

    // Advanced by the worker (through the HTTP client), summed by the owner's progress thread.
    std::atomic<int64_t> m_nBytesReceived;
    std::atomic<int32_t> m_nFilesStored;
    Downloader* m_pOwner;
    int32_t m_nIndex;
    Socket m_Connection;
    ZStringBuffer<16> m_Host;
    ZThread m_Thread;
    ZStringBuffer<16> m_Target;
};

// The 64-bit counters are read whole on 32-bit x86 too (one instruction, no lock).
static_assert(std::atomic<int64_t>::is_always_lock_free && std::atomic<uint64_t>::is_always_lock_free,
              "progress counters read whole");

// The listener's cancel also ends the waits of its connections.
class Downloader final : private ISocketCancel
{
public:
    enum
    {
        MAX_WORKERS = 9,
        REPACKER_FILE_COUNT = 5,
        ALL_REPACKER_FILES = (1 << REPACKER_FILE_COUNT) - 1  // every bit of m_nRepackerFilesSeen
    };
    // What a store attempt came to.
    enum StoreResult
    {
        STORE_OK = 0,
        STORE_BAD_CONTENT = 1,  // length or checksum wrong: try another server
        STORE_NOT_WRITTEN = 2,  // path too long or the write failed
        STORE_POSTPROCESS = 3,  // written, but its post-processing failed
    };

    Downloader();
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    void SetListener(IDownloadListener* pListener) { m_pListener = pListener; }

    // The run: true when it failed (the opposite sense of DownloadBundle's result).
    bool DownloadAndUpdateFiles(const ZStringArray& servers, const char* szTarget, const char* szLists, bool bQuiet,
                                const char* szThreads, bool bQuickCheck);
    // Bundles: true when the bundle was processed (or not worth fetching) and the state saved.
    bool DownloadBundle(const ZStringArray& servers, const char* szTarget, const char* szManifest, const char* szBundle,
                        bool bQuickCheck, bool bUnused);

    // The counters: zeroed by ResetStatistics, read by GetProgress on the owner's progress thread
    // without a lock.
    void ResetStatistics();
    void GetProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, int32_t* pRepackTotal, int32_t* pRepackDone,
                     int32_t* pFilesTotal, int32_t* pFilesDone);

    // Where the repacker's log lines go: the owner sets its own log (the sync program its
    // window's); while none is set they go to the engine log.
    typedef void(__cdecl* RepackerLogSink)(int nArg0, int nArg1, int nArg2, const char* szText);
    static void SetRepackerLogSink(RepackerLogSink pfnSink);

    // Read by tests and the owners.
    int GetWorkerCount() const { return m_nWorkerCount; }
    // Needed files that the last bundle left to a file-by-file run (they start past 2 GB in it).
    int GetBundleLeftFiles() const { return m_nBundleLeft; }

private:
    friend struct DownloaderTestAccess;

    // Set-up, log and statistics
    bool InitDownloader(const ZStringArray& servers, const char* szTarget);
    void DownloaderLog(const char* szFormat, ...) ZPRINTF_FORMAT(2, 3);
    ZStringBuffer<256> GetSyncCacheDir() const;
    uint64_t SumWorkerCounters(int32_t* pFilesStored);

    // Local state and journal
    bool LoadLocalState(bool bQuickCheck);
    ZStringBuffer<256> GetJournalPath() const;
    bool ReplayJournal(ZFileTable& table);
    void DeleteJournal();
    void AppendJournal(const ZFileRecord& record);
    int SelectFiles(ZFileTable& local, ZFileTable& remote);
    static bool IsSkippedPath(const char* szName);
    // What a record adds to the bytes total: its transfer size (compressed form), else its length.
    static uint64_t TransferSize(const ZFileRecord& record);
    bool IsCurrent(const ZFileRecord& remote);

    // Workers and the file store
    int RunWorkers();
    void StartDownloadThread(WorkerSlot& slot);
    static int32_t DownloadThread(void* pSlot);
    bool DownloadWorker(WorkerSlot& slot);
    bool NextJob(ZFileRecord** ppRecord);
    void RequeueJob(ZFileRecord* pRecord);
    StoreResult StoreFile(const char* szTarget, const ZFileRecord& remote, const void* pData, uint32_t nLength);
    ZStringBuffer<256> GetServer(int i) const;
    ZStringBuffer<256> GetServerName(int i) const;
    SocketAddress GetServerAddress(int i) const;
    bool ConnectToServer(int i, Socket& socket, ZStringBase& host);
    static bool IsRepackerFile(const char* szName);
    // The file's place among the five repacker files, or -1.
    static int RepackerFileIndex(const char* szName);

    // Post-processing (packs)
    bool PostProcessFile(const ZFileRecord& record);
    void QueuePackForRepack(const ZFileRecord& record);
    bool RepackQueuedPacks();
    bool LoadRepacker();
    bool CopyToExecutableDir(const char* szName);
    void OnRepackDone(const char* szPackPath, bool bResult);
    static void __cdecl RepackCallbackEntry(const char* szPackPath, bool bResult, void* pContext);
    static void __cdecl RepackerLogEntry(int nArg0, int nArg1, int nArg2, const char* szText);

    // The run's steps
    bool FetchFileLists(ZFileTable& table, const char* szNames, bool bNoExistCheck, bool bRelative, bool bWithOffsets);
    bool FetchFileList(ZFileTable& table, const char* szName, bool bNoExistCheck, bool bRelative, bool bWithOffsets);
    bool SaveLocalState();

    // Read by the tests.
    const ZStringBase& GetTarget() const { return m_Target; }
    ZFileTable& GetLocalTable() { return m_LocalTable; }

    bool IsCancelled() override { return m_pListener && m_pListener->IsCancelled(); }
    // The local table holds the remote record's file as stored (its post-processing aside).
    bool IsStored(const ZFileRecord& remote);
    bool WriteStateFile(const char* szBackupPath);
    // Loads one list's text; false (logged, the table emptied) when a record of it is refused.
    bool LoadListText(ZFileTable& table, const void* pData, uint32_t nSize, bool bNoExistCheck, bool bRelative,
                      bool bWithOffsets);
    void CloseLog();
    // Saves the run's small-files catalog, when one is open, and lets it go.
    void CloseCatalog();
    void LogError(const char* szFormat, ...) ZPRINTF_FORMAT(2, 3);
    bool ReadBundle(const char* szTarget, const char* szBundle, int nAttempt, const ZLinearArray<uint8_t>& needed);
    bool SkipBundleBytes(IInputStream& stream, uint64_t nCount);
    // One bit per repacker file (by RepackerFileIndex) that is installed and current.
    uint32_t CurrentRepackerFiles();
    bool ReceiveFile(WorkerSlot& slot, const ZFileRecord& job, int nAttempt, uint8_t** ppData, uint32_t* pnLength,
                     int* pnResult, ZStringBase& status);

    ZFileTable m_LocalTable;
    ZFileTable m_RemoteTable;
    // Written by the run and the repacker's callbacks, read by the owner's progress thread.
    std::atomic<int32_t> m_nRepackTotal;
    std::atomic<int32_t> m_nRepackDone;
    std::atomic<uint64_t> m_nBundleBytes;  // a bundle may pass 4 GB
    std::atomic<int32_t> m_nBundleFiles;
    std::atomic<uint64_t> m_nTransferBytesTotal;
    ZStringBuffer<16> m_LogPath;
    ZStringArray m_Servers;
    bool m_bRepackFlag;
    ZCriticalSection m_LogLock;
    FILE* m_pLogFile;
    IDownloadListener* m_pListener;
    ZStringBuffer<16> m_StatePath;
    int32_t m_nWorkerCount;
    WorkerSlot m_Slots[MAX_WORKERS];
    ZList<ZFileRecord*> m_Queue;
    ZCriticalSection m_QueueLock;
    ZCriticalSection m_JournalLock;
    ZCriticalSection m_PostProcessLock;
    ZCriticalSection m_RepackerLock;
    ZCriticalSection m_RepackDoneLock;
    std::atomic<int32_t> m_nFilesToDownload;
    int32_t m_nBundleLeft;
    // One bit per repacker file seen in place: a file stored twice (a bundle stores current
    // ones again) must not stand in for a missing one.
    uint32_t m_nRepackerFilesSeen;
    Library m_Repacker;
    RepackerInterface* m_pRepackerInterface;
    std::unique_ptr<ZFileCatalog> m_pCatalog;
    ZStringArray m_RepackList;
    ZStringMap m_QueuedPacks;
    ZStringBuffer<16> m_Target;
    int64_t m_nRunStart;
    int64_t m_nRunEnd;
};
