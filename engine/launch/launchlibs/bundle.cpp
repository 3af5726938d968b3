// Bundles: one bzip2 stream of many files back to back, described by a manifest in the file-table
// text, read while it arrives and cut into files for the file store.
#include "common/system/zwin.h"

#include "launch/launchlibs/downloader.h"

#include <cinttypes>
#include <climits>
#include <cstdlib>

#include "common/net/http.h"
#include "common/stream/bzipstream.h"
#include "common/stream/streams.h"
#include "common/system/file.h"

namespace
{
// Gaps and skipped files are read and dropped in pieces of this size.
const uint32_t kSkipPiece = 65536;
}

bool Downloader::DownloadBundle(const ZStringArray& servers, const char* szTarget, const char* szManifest,
                                const char* szBundle, bool bQuickCheck, bool bUnused)
{
    bool bOk = true;
    m_nBundleLeft = 0;
    if (!InitDownloader(servers, szTarget))
        return false;
    // Without a server nothing can be fetched, and server numbers are taken modulo the count.
    if (m_Servers.Size() == 0)
        return false;
    ZStringBuffer<256> previousDir = File::GetCurrentDirectory();
    File::SetCurrentDirectory(szTarget);

    DownloaderLog("Fetching bundle manifest \"%s\" from %s", szManifest, GetServerName(0).GetData());
    if (!FetchFileLists(m_RemoteTable, szManifest, bQuickCheck, false, true)) {
        if (m_pListener && !IsCancelled())  // a cancel's stop is the owner's to report
            m_pListener->Error("Error fetching manifest file");
        DownloaderLog("Error fetching manifest file.");
        File::SetCurrentDirectory(previousDir.GetData());
        return false;
    }
    if (!LoadLocalState(bQuickCheck))
        bOk = false;
    int nNeeded = SelectFiles(m_LocalTable, m_RemoteTable);
    int nTotal = m_RemoteTable.GetCount();
    DownloaderLog("Bundle contains %d files. We need %d of them", nTotal, nNeeded);
    if ((int64_t)nNeeded * 8 < (int64_t)nTotal) {
        m_nBundleLeft = nNeeded;
        bOk = SaveLocalState() && bOk;
        File::SetCurrentDirectory(previousDir.GetData());
        return bOk;
    }

    // Files that start past 2 GB have no offset entry: the file-by-file run fetches them. A file
    // is read whole into memory, so one that no read count can hold is refused.
    ZLinearArray<uint8_t> needed;
    int nLeft = nNeeded;
    for (const ZFileOffset& entry : m_RemoteTable.GetOffsets()) {
        const ZFileRecord& record = *entry.m_pRecord;
        bool bSkipped = IsSkippedPath(record.m_Name.GetData());
        if (!bSkipped && record.m_nNumber > (uint32_t)INT32_MAX) {
            DownloaderLog("Bundle manifest %s is too large: refused", szManifest);
            File::SetCurrentDirectory(previousDir.GetData());
            return false;
        }
        bool bNeeded = !bSkipped && !IsStored(record);
        needed.PushBack(bNeeded ? 1 : 0);
        if (bNeeded)
            --nLeft;
    }
    if (nLeft > 0)
        DownloaderLog("%d of the needed files start past 2 GB in the bundle; they are fetched one by one", nLeft);
    m_nBundleLeft = nLeft;

    m_nFilesToDownload = nNeeded;
    // The repacker is loaded once its five files are in place: those already installed count,
    // those in the bundle count as they are stored, each file once (the bundle stores current
    // ones again). Loading it before the bundle is read would fail a first installation, whose
    // folder does not hold them yet.
    uint32_t nRepackerFiles = CurrentRepackerFiles();

    int nAttempts = 2 * (int)m_Servers.Size();
    bool bRead = false;
    for (int a = 0; a < nAttempts && !bRead && !IsCancelled(); ++a) {
        m_nRepackerFilesSeen = nRepackerFiles;
        bRead = ReadBundle(szTarget, szBundle, a, needed);
    }
    // A cancelled bundle is no failure: what it stored is saved, and the owner, which sees its
    // own cancel, goes no further.
    bool bCancelled = !bRead && IsCancelled();
    if (nAttempts > 0 && !bRead && !bCancelled)
        bOk = false;

    if (!SaveLocalState())
        bOk = false;
    if (bCancelled)
        DownloaderLog("Bundle download cancelled");
    else if (bOk)
        DownloaderLog("Download bundle success");
    File::SetCurrentDirectory(previousDir.GetData());
    return bOk;
}

// Passes over nCount bytes of the stream (read and dropped, in pieces larger than a default
// skip takes); false when it ends first or the owner cancels.
bool Downloader::SkipBundleBytes(IInputStream& stream, uint64_t nCount)
{
    uint8_t abPiece[kSkipPiece];
    while (nCount > 0) {
        if (IsCancelled())
            return false;
        int nWant = nCount > kSkipPiece ? (int)kSkipPiece : (int)nCount;
        int nRead = stream.Read(abPiece, nWant);
        if (nRead <= 0)
            return false;
        nCount -= (uint64_t)nRead;
    }
    return true;
}

// One attempt on server a modulo the count: true when every entry of the manifest was stored.
bool Downloader::ReadBundle(const char* szTarget, const char* szBundle, int a, const ZLinearArray<uint8_t>& needed)
{
    Socket socket;
    ZStringBuffer<16> host;
    ResponseHolder holder;
    ZStringBuffer<256> status;
    for (int nRedirects = 0;;) {
        ConnectToServer(a, socket, host);
        int nResult = SendRequest(socket, host.GetData(), szBundle, true);
        if (nResult != 0) {
            DownloaderLog("SendRequest GET %s failed (attempt %d): %d", szBundle, a, nResult);
            return false;
        }
        nResult = GetHttpHeader(&holder, socket, status, this);
        // A redirect is asked again of the attempt's own server (at most twice).
        if (nResult == HTTP_ERR_REDIRECT && holder.m_strLocation.GetLength() > 1 && nRedirects < 2) {
            socket.Close();
            ++nRedirects;
            continue;
        }
        if (nResult != 0) {
            DownloaderLog("GetHttpHeader GET %s failed (attempt %d): %d", szBundle, a, nResult);
            return false;
        }
        break;
    }
    int nCode = -1;
    // Under the low-speed limit: a server that trickles the bundle must not hold it for ever.
    HttpBodyStream body = GetRawDataStream(socket, &holder, nCode, this);
    if (nCode != 0) {
        DownloaderLog("GetRawDataStream GET %s failed (attempt %d): %d", szBundle, a, nCode);
        return false;
    }

    // A new attempt stores every file again: progress counts this attempt only.
    m_nBundleBytes = 0;
    m_nBundleFiles = 0;
    ZBzipInputStream stream(&body);
    uint64_t nPosition = 0;
    int nIndex = 0;
    for (const ZFileOffset& entry : m_RemoteTable.GetOffsets()) {
        if (IsCancelled())
            return false;
        const ZFileRecord& record = *entry.m_pRecord;
        if (entry.m_nOffset < nPosition) {
            DownloaderLog("Offset error on %dth file", nIndex);
            return false;
        }
        uint32_t nNumber = record.m_nNumber;
        // Skipped paths are never handled, in a bundle neither: their bytes are passed over
        // like a gap.
        bool bSkipped = IsSkippedPath(record.m_Name.GetData());
        if (!SkipBundleBytes(stream, entry.m_nOffset - nPosition + (bSkipped ? nNumber : 0))) {
            DownloaderLog(bSkipped ? "Read error on %dth file" : "Skip error on %dth file", nIndex);
            return false;
        }
        nPosition = entry.m_nOffset;
        if (bSkipped) {
            nPosition += nNumber;
            ++nIndex;
            continue;
        }

        uint8_t* pData = (uint8_t*)malloc(nNumber ? nNumber : 1);
        if (!pData) {
            DownloaderLog("Not enough memory for file %s (%u bytes)", record.m_Name.GetData(), nNumber);
            return false;
        }
        uint32_t nGot = 0;
        while (nGot < nNumber) {
            uint32_t nWant = nNumber - nGot > 0x10000000u ? 0x10000000u : nNumber - nGot;
            int nRead = stream.Read(pData + nGot, (int)nWant);
            if (nRead <= 0)
                break;
            nGot += (uint32_t)nRead;
        }
        if (nGot != nNumber) {
            free(pData);
            DownloaderLog("Read error on %dth file", nIndex);
            return false;
        }
        nPosition += nNumber;
        StoreResult result = StoreFile(szTarget, record, pData, nNumber);
        free(pData);
        if (result != STORE_OK) {
            DownloaderLog("Post-process error on %dth file starting at offset %" PRIu64, nIndex, nPosition);
            return false;
        }
        // Only what the bytes total counts is reported, as the total counts it (transfer size):
        // files that were current before the bundle are stored again but were never to come.
        if (needed[(unsigned)nIndex]) {
            m_nBundleBytes += TransferSize(record);
            ++m_nBundleFiles;
        }
        ++nIndex;
    }
    return true;
}
