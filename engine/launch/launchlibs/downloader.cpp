// The downloader's set-up, its log "fetchbatch.log", the statistics and the download run.
#include "common/system/zwin.h"

#include "launch/launchlibs/downloader.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cwchar>

#include "common/containers/zfilecatalog.h"
#include "common/containers/zmemorybuffer.h"
#include "common/containers/zstr.h"
#include "common/net/http.h"
#include "common/stream/streams.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/zlog.h"
#include "common/system/ztimer.h"
#include "launch/launchlibs/texforge_iface.h"
#include "shared/net/remotenames.h"

namespace
{
// The downloader's engine-log lines belong to the launch libraries' category.
const char* const kLogCategory = "launch.launchlibs";
// What the downloader keeps in a target folder for itself: its sync cache (state, journal,
// cached lists), its log and the small-files catalog with its saving and delta files. No
// listed file may take, enter or stand in the way of one of these.
const char* const kOwnFiles[] = {
    "synccache",
    "fetchbatch.log",
    "_packed/bank5.idx",
    "_packed/bank5.bin",
    "_packed/bank5.idx.tmp",
    "_packed/bank5.bin.tmp",
    "_packed/bank5_delta.idx",
    "_packed/bank5_delta.bin",
};
}

void WorkerSlot::Init(const char* szTarget, Downloader* pOwner, int nIndex)
{
    m_Target.Assign(szTarget);
    m_pOwner = pOwner;
    m_nIndex = nIndex;
    m_nBytesReceived = 0;
    m_nFilesStored = 0;
}

// The repack flag starts set. It only tells whether a repacker load was attempted; packs that
// were not repacked keep flag2 clear and are handed over again by a later run, so nothing is
// lost. Starting clear would fail every run that downloads files but none of the five
// repacker files ("** Couldn't repack files **"), although it needed no repacking at all.
Downloader::Downloader()
    : m_nRepackTotal(0), m_nRepackDone(0), m_nBundleBytes(0), m_nBundleFiles(0), m_nTransferBytesTotal(0),
      m_Servers(32), m_bRepackFlag(true), m_pLogFile(nullptr), m_pListener(nullptr), m_nWorkerCount(0),
      m_nFilesToDownload(0), m_nBundleLeft(0), m_nRepackerFilesSeen(0), m_pRepackerInterface(nullptr),
      m_pCatalog(nullptr), m_RepackList(32), m_nRunStart(0), m_nRunEnd(0)
{
}

Downloader::~Downloader()
{
    // A run releases the log and the catalog itself; an interrupted bundle download may leave
    // them (the catalog then goes unsaved with its owner).
    CloseLog();
}

void Downloader::LogError(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    ZStringBuffer<16> text = ZLogTextV(ZLOG_ERROR, szFormat, args);
    va_end(args);
    ZLog::Write(kLogCategory, __FILE__, text.GetData());
}

void Downloader::CloseLog()
{
    ZLockGuard guard(m_LogLock);
    if (m_pLogFile)
        fclose(m_pLogFile);
    m_pLogFile = nullptr;
}

void Downloader::CloseCatalog()
{
    if (m_pCatalog) {
        m_pCatalog->Save();
        m_pCatalog.reset();
    }
}

bool Downloader::InitDownloader(const ZStringArray& servers, const char* szTarget)
{
    m_nWorkerCount = MAX_WORKERS;
    m_nBundleBytes = 0;
    m_nBundleFiles = 0;
    NormalizePath(m_Target, szTarget);
    m_Servers = servers;
    // Each run reads its own lists or manifest: records and offsets left by an earlier run on
    // this downloader (a bundle before another bundle) would be read as part of this one.
    m_RemoteTable.Clear();

    if (!CreateDirectoryPath(m_Target.GetData())) {
        LogError("Couldn't create dir %s", szTarget);
        return false;
    }
    ZStringBuffer<256> cache = GetSyncCacheDir();
    if (!CreateDirectoryPath(cache.GetData())) {
        LogError("Couldn't create dir %s", cache.GetData());
        return false;
    }

    ZStringBuffer<256> logName;
    JoinPath2(logName, m_Target.GetData(), "fetchbatch.log");
    ZStringBuffer<16> logPath = File::GetFullPath(logName.GetData());
    // A bundle download leaves its log open: the run after it on this folder appends to it, so
    // the bundle's lines stay. Any other log there is an earlier run's: each run starts afresh.
    bool bAppend;
    {
        ZLockGuard guard(m_LogLock);
        bAppend = m_pLogFile && logPath == m_LogPath;
    }
    CloseLog();
    m_LogPath = logPath;
    if (!bAppend)
        File::Delete(m_LogPath.GetData());
    ZWideText widePath;
    FILE* pLog = _wfopen(m_LogPath.ToWide(widePath), L"at");
    if (!pLog) {
        LogError("Couldn't open logfile %s", m_LogPath.GetData());
        return false;
    }
    setvbuf(pLog, nullptr, _IONBF, 0);
    {
        ZLockGuard guard(m_LogLock);
        m_pLogFile = pLog;
    }

    m_pRepackerInterface = nullptr;
    m_nRepackerFilesSeen = 0;

    CloseCatalog();
    m_pCatalog.reset(new ZFileCatalog());
    ZStringBuffer<256> packed;
    JoinPath2(packed, m_Target.GetData(), "_packed");
    m_pCatalog->Open(packed.GetData(), "bank5");
    return true;
}

void Downloader::DownloaderLog(const char* szFormat, ...)
{
    ZStringBuffer<256> text;
    va_list args;
    va_start(args, szFormat);
    text.FormatLineV(szFormat, args);
    va_end(args);
    if (m_pListener)
        m_pListener->Log(text.GetData());
    ZLockGuard guard(m_LogLock);
    if (m_pLogFile)
        fwrite(text.GetData(), 1, (size_t)text.GetLength(), m_pLogFile);
}

ZStringBuffer<256> Downloader::GetSyncCacheDir() const
{
    ZStringBuffer<256> path;
    JoinPath2(path, m_Target.GetData(), "synccache");
    return path;
}

void Downloader::ResetStatistics()
{
    m_nRepackTotal = 0;
    m_nRepackDone = 0;
    m_nTransferBytesTotal = 0;
    m_nBundleBytes = 0;
    m_nBundleFiles = 0;
    for (int i = 0; i < m_nWorkerCount && i < MAX_WORKERS; ++i) {
        m_Slots[i].m_nBytesReceived = 0;
        m_Slots[i].m_nFilesStored = 0;
    }
}

uint64_t Downloader::SumWorkerCounters(int32_t* pFilesStored)
{
    uint64_t nBytes = 0;
    int32_t nFiles = 0;
    for (int i = 0; i < m_nWorkerCount && i < MAX_WORKERS; ++i) {
        nBytes += m_Slots[i].m_nBytesReceived;
        nFiles += m_Slots[i].m_nFilesStored;
    }
    if (pFilesStored)
        *pFilesStored = nFiles;
    return nBytes;
}

void Downloader::GetProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, int32_t* pRepackTotal, int32_t* pRepackDone,
                             int32_t* pFilesTotal, int32_t* pFilesDone)
{
    int32_t nFiles = 0;
    uint64_t nBytes = SumWorkerCounters(&nFiles);
    *pBytesDone = nBytes + m_nBundleBytes;
    *pBytesTotal = m_nTransferBytesTotal;
    // A bundle also stores files that were current, which the total leaves out.
    if (*pBytesDone > *pBytesTotal)
        *pBytesDone = *pBytesTotal;
    *pRepackTotal = m_nRepackTotal;
    *pRepackDone = m_nRepackDone;
    *pFilesTotal = m_nFilesToDownload;
    *pFilesDone = nFiles + m_nBundleFiles;
}

// ---- the run ----

bool Downloader::DownloadAndUpdateFiles(const ZStringArray& servers, const char* szTarget, const char* szLists,
                                        bool bQuiet, const char* szThreads, bool bQuickCheck)
{
    bool bOk = true;
    if (!InitDownloader(servers, szTarget))
        return true;

    if (szThreads) {
        int nThreads = 0;
        if (ZStrScan(szThreads, "%d", &nThreads) == 1)
            m_nWorkerCount = nThreads > MAX_WORKERS ? MAX_WORKERS : nThreads;
    }

    ZStringBuffer<256> previousDir = File::GetCurrentDirectory();
    File::SetCurrentDirectory(szTarget);

    SYSTEMTIME now;
    ::GetSystemTime(&now);
    ZStringBuffer<256> stamp("%d-%02d-%02d %02d:%02d:%02dZ", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                             now.wSecond);
    DownloaderLog("%s fetchbatch.exe -d %s -m %s", stamp.GetData(), szTarget, szLists);
    for (int i = 0; i < (int)m_Servers.Size(); ++i)
        DownloaderLog("   -u %s", m_Servers[i].GetData());

    if ((int)m_Servers.Size() == 0) {
        bOk = false;
    } else {
        for (int i = 0; i < m_nWorkerCount; ++i)
            m_Slots[i].Init(szTarget, this, i);

        DownloaderLog("Fetching file list(s) \"%s\" from %s", szLists, GetServerName(0).GetData());
        if (!FetchFileLists(m_RemoteTable, szLists, bQuickCheck, true, false)) {
            // A cancel ends the fetch too: the owner reports the stop, not an error.
            if (m_pListener && !IsCancelled())
                m_pListener->Error("Error fetching info file");
            DownloaderLog("Error fetching info file.");
            bOk = false;
        }

        if (!m_RemoteTable.IsEmpty()) {
            if (!LoadLocalState(bQuickCheck))
                bOk = false;
            ZStringBuffer<16> start = ZLocalTimeText();
            int nResult = RunWorkers();
            m_nRunEnd = ZTimer::Now();
            DownloaderLog("Transfer start: %s\n", start.GetData());
            DownloaderLog("Transfer end: %s\n", ZLocalTimeText().GetData());
            int32_t nStored = 0;
            uint64_t nReceived = SumWorkerCounters(&nStored);
            DownloaderLog("Transfer bytes: %" PRIu64 " / %" PRIu64 ", files: %d / %d\n", nReceived,
                          m_nTransferBytesTotal.load(), nStored, m_nFilesToDownload.load());
            double dSeconds = (double)(m_nRunEnd - m_nRunStart) / (double)ZTimer::TICKS_PER_SECOND;
            if (dSeconds > 0 && nReceived > 0)
                DownloaderLog("kb/s: %f\n", (double)nReceived / dSeconds / 1024.0);
            DownloaderLog("Repack: %d/%d\n", (int)m_nRepackDone.load(), (int)m_nRepackTotal.load());
            if (nResult == -1)
                bOk = false;
            else if (nResult == 0)
                m_bRepackFlag = true;
            if (!SaveLocalState())
                bOk = false;
        }
    }

    DownloaderLog("Exitcode: %d\n", bOk ? 0 : 1);
    CloseLog();
    File::SetCurrentDirectory(previousDir.GetData());
    DownloaderLog("\n");
    if (!bOk && !bQuiet && m_pListener && !IsCancelled())
        m_pListener->Error("** Couldn't download files **");
    if (!m_bRepackFlag) {
        bOk = false;
        if (!bQuiet && m_pListener)
            m_pListener->Error("** Couldn't repack files **");
    }
    return !bOk;
}

bool Downloader::FetchFileLists(ZFileTable& table, const char* szNames, bool bNoExistCheck, bool bRelative,
                                bool bWithOffsets)
{
    ZStringArray names;
    names.Split(szNames ? szNames : "", ',');
    bool bOk = true;
    for (int i = 0; i < (int)names.Size() && bOk; ++i)
        bOk = FetchFileList(table, names[i].GetData(), bNoExistCheck, bRelative, bWithOffsets);
    // Checked over all the lists together: two of them may name one file between them. A list
    // with one refused record is refused whole, so that nothing of it is fetched or recorded.
    ZStringBuffer<256> problem;
    if (!CheckListedNames(table, kOwnFiles, sizeof(kOwnFiles) / sizeof(kOwnFiles[0]), &IsSkippedPath, problem)) {
        DownloaderLog("%s", problem.GetData());
        table.Clear();
        return false;
    }
    return bOk;
}

bool Downloader::FetchFileList(ZFileTable& table, const char* szName, bool bNoExistCheck, bool bRelative,
                               bool bWithOffsets)
{
    // List names come from the servers' root lists or from settings: the list is written to the
    // cache under its name, so a name that climbs out of the cache or takes the state kept there
    // is never fetched.
    ZStringBuffer<256> problem;
    if (!CheckListedName(szName, kSyncCacheOwnFiles, kSyncCacheOwnFileCount, problem)) {
        DownloaderLog("Refusing list name %s", szName ? szName : "");
        return false;
    }
    ZStringBuffer<256> cachePath = GetSyncCacheDir();
    cachePath.Append("/");
    cachePath.Append(szName);
    if (File::Exists(cachePath.GetData())) {
        ZMemoryBuffer text;
        size_t nRead = ReadFileToBuffer(cachePath.GetData(), &text);
        return LoadListText(table, text.GetData(), (uint32_t)nRead, bNoExistCheck, bRelative, bWithOffsets);
    }

    Socket socket;
    ZStringBuffer<16> host;
    if (host != GetServerName(0))
        ConnectToServer(0, socket, host);
    DownloaderLog("GET %s\r\n", szName);
    int nServers = (int)m_Servers.Size();
    for (int n = 0;;) {
        ResponseHolder holder;
        ZStringBuffer<256> status;
        // A list or a manifest may be long and come slowly: the cancel ends its wait as it ends
        // every other one.
        int nResult = HttpReceive(&holder, socket, host.GetData(), szName, false, status, nullptr, this);
        if (nResult == 0) {
            if (holder.m_bHasBody && holder.m_pData) {
                if (!LoadListText(table, holder.m_pData, holder.m_nSize, bNoExistCheck, bRelative, bWithOffsets))
                    return false;  // and not cached: a list the server mends is fetched again
                // Lists are cached for ever: only a whole list may ever be found under its name,
                // so it is written beside it first and then moved into place.
                ZStringBuffer<256> partial(cachePath);
                partial.Append(".part");
                if (WriteBufferToFile(partial.GetData(), holder.m_pData, holder.m_nSize))
                    File::Move(partial.GetData(), cachePath.GetData());
                File::Delete(partial.GetData());
            }
            return true;
        }
        if (++n > 2 * nServers || IsCancelled()) {
            DownloaderLog("Download file1 %s failed, error code=%d, response: %s", szName, nResult, status.GetData());
            return false;
        }
        ConnectToServer(n, socket, host);
    }
}

bool Downloader::LoadListText(ZFileTable& table, const void* pData, uint32_t nSize, bool bNoExistCheck, bool bRelative,
                              bool bWithOffsets)
{
    // The table's reader drops a record whose name climbs out midway without a word: such a
    // list is refused whole, with whatever the lists before it gave.
    ZStringBuffer<256> problem;
    if (!CheckClimbingRecords((const char*)pData, nSize, problem)) {
        DownloaderLog("%s", problem.GetData());
        table.Clear();
        return false;
    }
    ZMemoryReader reader(pData, nSize);
    table.Load(reader, nullptr, bRelative, bNoExistCheck, bWithOffsets);
    return true;
}

bool Downloader::SaveLocalState()
{
    bool bOk = true;
    {
        ZLockGuard guard(m_RepackerLock);
        if (m_pRepackerInterface)
            m_pRepackerInterface->Release();
        m_pRepackerInterface = nullptr;
        m_Repacker = Library();
    }

    ZStringBuffer<256> backup(m_StatePath);
    backup.Append(".1");
    if (!WriteStateFile(backup.GetData())) {
        // A short ".1" must not replace the state, and the journal still holds this run's
        // files: both stay for the next run.
        DownloaderLog("Couldn't write %s: %d", backup.GetData(), (int)GetLastError());
        bOk = false;
    } else {
        if (File::Exists(m_StatePath.GetData())) {
            if (File::Delete(m_StatePath.GetData())) {
                DownloaderLog("Successfully deleted %s", m_StatePath.GetData());
            } else {
                DownloaderLog("Failed to delete %s: %d", m_StatePath.GetData(), (int)GetLastError());
                bOk = false;
            }
        } else {
            DownloaderLog("Not deleting %s (it doesn't exist)", m_StatePath.GetData());
        }
        if (File::Move(backup.GetData(), m_StatePath.GetData())) {
            DownloaderLog("Successfully moved %s to %s", backup.GetData(), m_StatePath.GetData());
        } else {
            DownloaderLog("Failed to move %s to %s: %d", backup.GetData(), m_StatePath.GetData(), (int)GetLastError());
            bOk = false;
        }
        if (bOk)
            DeleteJournal();
    }
    m_LocalTable.Clear();
    CloseCatalog();
    return bOk;
}
