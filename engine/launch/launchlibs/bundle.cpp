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

bool Downloader::DownloadBundle(const ZStringArray& servers, const char* szTarget, const char* szManifest,
                                const char* szBundle, bool bQuickCheck, bool bUnused)
{
    bool bOk = true;
    if (!InitDownloader(servers, szTarget))
        return false;
    // Without a server nothing can be fetched, and server numbers are taken modulo the count.
    if (m_Servers.Size() == 0)
        return false;
    ZStringBuffer<256> previousDir = File::GetCurrentDirectory();
    File::SetCurrentDirectory(szTarget);

    DownloaderLog("Fetching bundle manifest \"%s\" from %s", szManifest, GetServerName(0).GetData());
    if (!FetchFileLists(m_RemoteTable, szManifest, bQuickCheck, false, true)) {
        if (m_pListener)
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
        bOk = SaveLocalState() && bOk;
        File::SetCurrentDirectory(previousDir.GetData());
        return bOk;
    }

    // The manifest's numbers drive the offsets and the allocations. Offsets are 32-bit, and a
    // line whose offset passed 2 GB got no entry at all: such a manifest cannot describe a
    // readable bundle, and its files would be stored without ever being read.
    uint64_t nBundleSize = 0;
    for (const ZFileOffset& entry : m_RemoteTable.GetOffsets())
        nBundleSize += entry.m_pRecord->m_nNumber;
    if (nBundleSize > 0x7FFFFFFFull || m_RemoteTable.GetOffsets().Size() != nTotal) {
        DownloaderLog("Bundle manifest %s is too large: refused", szManifest);
        File::SetCurrentDirectory(previousDir.GetData());
        return false;
    }

    m_nFilesToDownload = nNeeded;
    // The repacker is loaded once its five files are in place: those already installed count,
    // those in the bundle count as they are stored, each file once (the bundle stores current
    // ones again). Loading it before the bundle is read would fail a first installation, whose
    // folder does not hold them yet.
    uint32_t nRepackerFiles = CurrentRepackerFiles();

    int nAttempts = 2 * (int)m_Servers.Size();
    bool bRead = false;
    for (int a = 0; a < nAttempts && !bRead; ++a) {
        m_nRepackerFilesSeen = nRepackerFiles;
        bRead = ReadBundle(szTarget, szBundle, a);
    }
    if (nAttempts > 0 && !bRead)
        bOk = false;

    if (!SaveLocalState())
        bOk = false;
    if (bOk)
        DownloaderLog("Download bundle success");
    File::SetCurrentDirectory(previousDir.GetData());
    return bOk;
}

// One attempt on server a modulo the count: true when every entry of the manifest was stored.
bool Downloader::ReadBundle(const char* szTarget, const char* szBundle, int a)
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
        nResult = GetHttpHeader(&holder, socket, status);
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
    HttpBodyStream body = GetRawDataStream(socket, &holder, nCode);
    if (nCode != 0) {
        DownloaderLog("GetRawDataStream GET %s failed (attempt %d): %d", szBundle, a, nCode);
        return false;
    }

    // A new attempt stores every file again: progress counts this attempt only.
    m_nBundleBytes = 0;
    m_nBundleFiles = 0;
    ZBzipInputStream stream(&body);
    uint32_t nPosition = 0;
    int nIndex = 0;
    for (const ZFileOffset& entry : m_RemoteTable.GetOffsets()) {
        const ZFileRecord& record = *entry.m_pRecord;
        if (entry.m_nOffset < nPosition) {
            DownloaderLog("Offset error on %dth file", nIndex);
            return false;
        }
        uint32_t nGap = entry.m_nOffset - nPosition;
        while (nGap > 0) {
            int nPiece = nGap > (uint32_t)INT_MAX ? INT_MAX : (int)nGap;
            int nSkipped = stream.Skip(nPiece);
            if (nSkipped != nPiece) {
                DownloaderLog("Skip error on %dth file", nIndex);
                return false;
            }
            nGap -= (uint32_t)nPiece;
            nPosition += (uint32_t)nPiece;
        }

        uint32_t nNumber = record.m_nNumber;
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
        // Counted as the bytes total counts the file, so that progress never runs past its end.
        m_nBundleBytes += (uint32_t)TransferSize(record);
        ++m_nBundleFiles;
        nPosition += nNumber;
        // Skipped paths are never handled, in a bundle neither: their bytes are only read.
        StoreResult result =
            IsSkippedPath(record.m_Name.GetData()) ? STORE_OK : StoreFile(szTarget, record, pData, nNumber);
        free(pData);
        if (result != STORE_OK) {
            DownloaderLog("Post-process error on %dth file starting at offset %d", nIndex, (int)nPosition);
            return false;
        }
        ++nIndex;
    }
    return true;
}
