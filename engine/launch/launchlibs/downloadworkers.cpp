// Download workers and the file store: up to nine threads, each with its own persistent
// connection, fetch the files that are not current by their checksum texts, check length and
// SHA-256, write them into place and record them in the local state and the journal.
#include "common/system/zwin.h"

#include "launch/launchlibs/downloader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/containers/zfilecatalog.h"
#include "common/containers/zsha256.h"
#include "common/containers/zstr.h"
#include "common/net/http.h"
#include "common/stream/bzipstream.h"
#include "common/stream/streams.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/zlog.h"
#include "common/system/ztimer.h"
#include "shared/net/remotenames.h"

namespace
{
const char* const kRepackerFiles[Downloader::REPACKER_FILE_COUNT] = {
    "texforge.dll", "globals.dll", "PhysX3_x86.dll", "PhysX3Cooking_x86.dll", "PhysX3Gpu_x86.dll",
};
const int kMaxNameLength = 10240;
const uint32_t kCatalogLimit = 0x20000;
// How far past the listed length a too long ".bz2" body is counted for the log line.
const uint32_t kMaxExcessCount = 16 * 1024 * 1024;

// Writes the whole block; false unless every byte reached the system.
bool WriteWholeFile(const char* szPath, const void* pData, size_t nSize)
{
    File file = File::Open(szPath, File::MODE_WRITE | File::MODE_CREATE);
    if (!file.IsOpen())
        return false;
    bool bOk = nSize == 0 || file.Write(pData, nSize) == nSize;
    if (fflush(file.GetStream()) != 0)
        bOk = false;
    return bOk;
}
}

// ---- servers ----

ZStringBuffer<256> Downloader::GetServer(int i) const
{
    int nCount = (int)m_Servers.Size();
    if (nCount == 0)
        return ZStringBuffer<256>();
    return ZStringBuffer<256>(m_Servers[(unsigned)(i % nCount)]);
}

ZStringBuffer<256> Downloader::GetServerName(int i) const
{
    ZStringBuffer<256> server = GetServer(i);
    if (ZStrStartsWith(server.GetData(), "http://"))
        return ZStringBuffer<256>(server.GetData() + 7);
    return server;
}

SocketAddress Downloader::GetServerAddress(int i) const
{
    ZStringBuffer<256> name = GetServerName(i);
    ZStringArray pieces;
    pieces.Split(name.GetData(), ':');
    SocketAddress address = SocketAddress::Resolve(pieces.Size() > 0 ? pieces[0].GetData() : "");
    uint16_t nPort = 80;
    if (pieces.Size() > 1)
        nPort = (uint16_t)pieces[1].ToInt();
    address.SetPort(nPort);
    return address;
}

bool Downloader::ConnectToServer(int i, Socket& socket, ZStringBase& host)
{
    socket = Socket::Create(Socket::FAMILY_IPV4, Socket::TYPE_STREAM, Socket::PROTOCOL_TCP);
    if (!socket.IsValid()) {
        ZAssertFailed("launch.launchlibs", __FILE__, __LINE__, "pSocket->IsValid()");
        return false;
    }
    bool bConnected = HttpConnect(socket, GetServerAddress(i), this, kHttpServerTimeoutMs);
    host.Assign(GetServerName(i).GetData());
    if (bConnected)
        DownloaderLog("Connected to: %s attempt %d", host.GetData(), i);
    else
        DownloaderLog("Couldn't connect to: %s attempt %d", host.GetData(), i);
    return bConnected;
}

uint32_t Downloader::CurrentRepackerFiles()
{
    uint32_t nSeen = 0;
    for (int i = 0; i < REPACKER_FILE_COUNT; ++i) {
        const ZFileRecord* pLocal = m_LocalTable.Find(kRepackerFiles[i]);
        const ZFileRecord* pRemote = m_RemoteTable.Find(kRepackerFiles[i]);
        if (pLocal && pLocal->m_nFlag1 &&
            (!pRemote || ZStrCompare(pLocal->m_Text.GetData(), pRemote->m_Text.GetData()) == 0))
            nSeen |= 1u << i;
    }
    return nSeen;
}

int Downloader::RepackerFileIndex(const char* szName)
{
    for (int i = 0; i < REPACKER_FILE_COUNT; ++i)
        if (ZStrCompare(szName, kRepackerFiles[i]) == 0)
            return i;
    return -1;
}

bool Downloader::IsRepackerFile(const char* szName)
{
    return RepackerFileIndex(szName) >= 0;
}

// ---- workers ----

int Downloader::RunWorkers()
{
    // This run queues every pack that is still pending again: packs an earlier run on this
    // downloader queued, but never handed over (its repacker did not load), go with the set,
    // or they would be handed twice.
    {
        ZLockGuard lock(m_RepackerLock);
        m_QueuedPacks.Clear();
        m_RepackList.Clear();
    }
    m_nRunStart = ZTimer::Now();

    int nFiles = SelectFiles(m_LocalTable, m_RemoteTable);
    m_nFilesToDownload = nFiles;
    // Repacker files already in place count as seen; storing or post-processing them again
    // adds nothing.
    m_nRepackerFilesSeen = CurrentRepackerFiles();
    DownloaderLog("Downloading/updating %d files", nFiles);
    // Files that are current but await post-processing (a pack whose repack failed) need no
    // transfer but still work: only when there is none is there nothing to do.
    bool bWork = nFiles > 0;
    for (ZFileTable::Node* p = m_RemoteTable.First(); p && !bWork; p = ZFileTable::Next(p))
        bWork = !IsSkippedPath(p->m_Value->m_Name.GetData()) && !IsCurrent(*p->m_Value);
    if (!bWork)
        return 0;

    m_Queue.Clear();
    bool bUnsafe = false;
    for (int nPass = 0; nPass < 2; ++nPass) {
        for (ZFileTable::Node* p = m_RemoteTable.First(); p; p = ZFileTable::Next(p)) {
            ZFileRecord* pRecord = p->m_Value;
            const char* szName = pRecord->m_Name.GetData();
            if (IsSkippedPath(szName) || IsCurrent(*pRecord) || IsRepackerFile(szName) != (nPass == 0))
                continue;
            if (!IsSafeRelativeName(szName)) {
                // Never fetched: it would be written outside the target folder.
                if (nPass == 1)
                    DownloaderLog("Refusing file name %s", szName);
                bUnsafe = true;
                continue;
            }
            m_Queue.PushBack(pRecord);
        }
    }

    for (int i = 0; i < m_nWorkerCount; ++i)
        StartDownloadThread(m_Slots[i]);

    for (;;) {
        ZThread::Sleep(100);
        bool bRunning = false;
        for (int i = 0; i < m_nWorkerCount; ++i)
            if (m_Slots[i].m_Thread.IsRunning())
                bRunning = true;
        if (!bRunning)
            break;
    }

    int nResult = nFiles;
    bool bLeft;
    {
        ZLockGuard lock(m_QueueLock);
        bLeft = m_Queue.Size() > 0;
    }
    bool bCancelled = IsCancelled();
    if (bLeft) {
        DownloaderLog("Done downloading %d files, with errors", nFiles);
        if (!bCancelled)
            nResult = -1;
    } else if (bUnsafe && !bCancelled) {
        DownloaderLog("Done downloading %d files, with errors", nFiles);
        nResult = -1;
    }
    DownloaderLog("Done downloading");
    ZLockGuard lock(m_QueueLock);
    m_Queue.Clear();
    return nResult;
}

void Downloader::StartDownloadThread(WorkerSlot& slot)
{
    slot.m_Thread = ZThread::Create(&Downloader::DownloadThread, &slot);
    slot.m_Thread.SetName(ZStringBuffer<256>("Vp_pDownloader %d", slot.m_nIndex).GetData());
    slot.m_Thread.SetPriority(ZThread::PRIORITY_LOWEST);
}

int32_t Downloader::DownloadThread(void* pSlot)
{
    WorkerSlot* pWorker = static_cast<WorkerSlot*>(pSlot);
    ZThread::Current().SetName("DownloadThread");
    return pWorker->m_pOwner->DownloadWorker(*pWorker) ? 1 : 0;
}

bool Downloader::IsStored(const ZFileRecord& remote)
{
    const ZFileRecord* pLocal = m_LocalTable.Find(remote.m_Name.GetData());
    return pLocal && pLocal->m_nFlag1 && ZStrCompare(pLocal->m_Text.GetData(), remote.m_Text.GetData()) == 0;
}

bool Downloader::NextJob(ZFileRecord** ppRecord)
{
    ZLockGuard lock(m_QueueLock);
    while (m_Queue.Size() > 0) {
        ZFileRecord* pRecord = m_Queue.Front();
        if (!IsStored(*pRecord) && !IsSkippedPath(pRecord->m_Name.GetData())) {
            m_Queue.Erase(m_Queue.Begin());
            *ppRecord = pRecord;
            return true;
        }
        if (!PostProcessFile(*pRecord))
            return false;
        m_Queue.Erase(m_Queue.Begin());
    }
    return false;
}

void Downloader::RequeueJob(ZFileRecord* pRecord)
{
    ZLockGuard lock(m_QueueLock);
    m_Queue.PushBack(pRecord);
}

// One request for the job's file on the slot's connection. True with the file's bytes (a
// malloc block the caller frees) and their count; false with the failed attempt's result.
bool Downloader::ReceiveFile(WorkerSlot& slot, const ZFileRecord& job, int nAttempt, uint8_t** ppData,
                             uint32_t* pnLength, int* pnResult, ZStringBase& status)
{
    bool bBz2 = job.m_nSize > 0;
    ZStringBuffer<256> path(job.m_Text);
    // The ".bz2" form is asked for by its name and unpacked here, into a block of exactly the
    // listed length: a body that unpacks to more is never held whole.
    if (bBz2)
        path.Append(".bz2");
    ResponseHolder holder;
    int nResult = HttpReceive(&holder, slot.m_Connection, slot.m_Host.GetData(), path.GetData(), false, status,
                              &slot.m_nBytesReceived, this);
    *pnResult = nResult;
    // A missing file is a failed request (HTTP_ERR_HEADER), not an answer without a body: it is
    // tried on the next server like any other failure.
    if (nResult != 0)
        return false;
    if (!holder.m_bHasBody || !holder.m_pData) {
        DownloaderLog("File %s not found on server", job.m_Name.GetData());
        *pnResult = HTTP_ERR_HEADER;
        return false;
    }
    if (!bBz2) {
        *ppData = holder.m_pData;
        *pnLength = holder.m_nSize;
        holder.m_pData = nullptr;
        return true;
    }

    uint32_t nExpected = job.m_nNumber;
    // Unpacked, it is held in memory like any body: the same bound.
    if (nExpected > kHttpMaxBody) {
        DownloaderLog("File %s too large (%u bytes)", job.m_Name.GetData(), nExpected);
        *pnResult = HTTP_ERR_BODY;
        return false;
    }
    uint8_t* pData = (uint8_t*)malloc(nExpected ? nExpected : 1);
    if (!pData) {
        DownloaderLog("Not enough memory for file %s (%u bytes)", job.m_Name.GetData(), nExpected);
        *pnResult = HTTP_ERR_BODY;
        return false;
    }
    ZMemoryReader reader(holder.m_pData, holder.m_nSize);
    ZBzipInputStream unpack(&reader);
    uint32_t nGot = 0;
    while (nGot < nExpected) {
        uint32_t nWant = nExpected - nGot;
        if (nWant > 0x10000000)
            nWant = 0x10000000;
        int nRead = unpack.Read(pData + nGot, (int)nWant);
        if (nRead <= 0)
            break;
        nGot += (uint32_t)nRead;
    }
    if (nGot == nExpected) {
        // Anything after the listed length makes the file too long; count it for the log line.
        uint8_t abExcess[4096];
        for (;;) {
            int nRead = unpack.Read(abExcess, sizeof(abExcess));
            if (nRead <= 0)
                break;
            nGot += (uint32_t)nRead;
            if (nGot - nExpected > kMaxExcessCount)
                break;
        }
    }
    *ppData = pData;
    *pnLength = nGot;
    return true;
}

bool Downloader::DownloadWorker(WorkerSlot& slot)
{
    int nServers = (int)m_Servers.Size();
    for (;;) {
        if (IsCancelled())
            return true;
        ZFileRecord* pJob = nullptr;
        if (!NextJob(&pJob))
            return true;
        if (!slot.m_Connection.IsValid())
            ConnectToServer(0, slot.m_Connection, slot.m_Host);
        if (GetServerName(0) != slot.m_Host)
            ConnectToServer(0, slot.m_Connection, slot.m_Host);

        const char* szName = pJob->m_Name.GetData();
        const char* pLast = strrchr(szName, '\\');
        if (!pLast)
            pLast = strrchr(szName, '/');
        ZThread::Current().SetName(pLast ? pLast + 1 : szName);

        for (int n = 0;;) {
            uint8_t* pData = nullptr;
            uint32_t nLength = 0;
            int nResult = 0;
            ZStringBuffer<256> status;
            if (ReceiveFile(slot, *pJob, n, &pData, &nLength, &nResult, status)) {
                DownloaderLog("download file \"%s\" to %s -- Done!\n", pJob->m_Text.GetData(), szName);
                StoreResult result = StoreFile(slot.m_Target.GetData(), *pJob, pData, nLength);
                free(pData);
                if (result == STORE_OK) {
                    ++slot.m_nFilesStored;
                    break;
                }
                if (result == STORE_POSTPROCESS) {
                    // Written but not post-processed: left for a run that can finish it.
                    RequeueJob(pJob);
                    return false;
                }
                // A wrong length or checksum, or a file that could not be written, is a failed
                // attempt like a failed request: the next server is tried.
            }
            // A cancel ends the transfer at once; the file stays queued, not stored.
            if (IsCancelled()) {
                RequeueJob(pJob);
                return true;
            }
            if (++n > 2 * nServers) {
                DownloaderLog("Download file2 %s failed, error code=%d, response:%s", pJob->m_Text.GetData(), nResult,
                              status.GetData());
                RequeueJob(pJob);
                return false;
            }
            ConnectToServer(n, slot.m_Connection, slot.m_Host);
        }
    }
}

Downloader::StoreResult Downloader::StoreFile(const char* szTarget, const ZFileRecord& remote, const void* pData,
                                              uint32_t nLength)
{
    const char* szName = remote.m_Name.GetData();
    if (nLength != remote.m_nNumber) {
        DownloaderLog("File %s content length invalid (%d!=%d)", szName, (int)nLength, (int)remote.m_nNumber);
        return STORE_BAD_CONTENT;
    }
    ZStringBuffer<256> hex;
    Sha256Hex(hex, pData, nLength);
    if (!ZStrStartsWith(remote.m_Text.GetData(), hex.GetData())) {
        DownloaderLog("File %s checksum invalid (%s!=%s)", szName, hex.GetData(), remote.m_Text.GetData());
        return STORE_BAD_CONTENT;
    }
    if (remote.m_Name.GetLength() > kMaxNameLength) {
        ZStringBuffer<16> shortName;
        shortName.Assign(szName, 1000);
        DownloaderLog("Filepath too long for file %s...", shortName.GetData());
        return STORE_NOT_WRITTEN;
    }
    if (!IsSafeRelativeName(szName)) {
        DownloaderLog("Refusing file name %s", szName);
        return STORE_NOT_WRITTEN;
    }

    ZStringBuffer<256> path;
    JoinPath2(path, szTarget, szName);
    int nSlash = path.ReverseFind('\\');
    if (nSlash > 0) {
        ZStringBuffer<256> folder;
        folder.Assign(path.GetData(), nSlash);
        if (!CreateDirectoryPath(folder.GetData()))
            DownloaderLog("Couldn't create directory %s: %d", folder.GetData(), (int)GetLastError());
    }
    if (!WriteWholeFile(path.GetData(), pData, nLength)) {
        DownloaderLog("Error writing %s: %d", path.GetData(), (int)GetLastError());
        return STORE_NOT_WRITTEN;
    }

    ZFileRecord local(szName, nLength, remote.m_nSize, remote.m_Text.GetData(), 1, remote.m_nFlag2);
    m_LocalTable.Add(szName, local);
    if (!PostProcessFile(local))
        return STORE_POSTPROCESS;
    AppendJournal(local);

    if (m_pCatalog && ZStrStartsWith(szName, "_packed/")) {
        const char* szCatalogName = szName + 8;
        // The catalog keeps only ".bin" names and logs the others itself.
        if (nLength >= kCatalogLimit)
            m_pCatalog->Remove(szCatalogName);
        else
            m_pCatalog->Store(szCatalogName, pData, (int32_t)nLength);
    }
    return STORE_OK;
}
