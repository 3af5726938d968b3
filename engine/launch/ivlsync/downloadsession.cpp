#include "launch/ivlsync/downloadsession.h"

#include <cstring>
#include "common/system/path.h"
#include "launch/launchlibs/flashmessage.h"
#include "launch/ivlsync/flashserver.h"
#include "shared/net/uniquefilelist.h"

DownloadSession::DownloadSession(int nSessionId, const Socket& connection, ZIvlSync* pWindow, FlashServer* pServer)
    : Session(nSessionId, connection, pWindow, pServer), m_bQuickCheck(0), m_Servers(32), m_bDone(false)
{
}

DownloadSession::~DownloadSession()
{
}

int DownloadSession::Start(const ZStringArray& servers, const char* szDistribution, const char* szInstalledVersion,
                           const char* szUniqueFilename, bool bQuickCheck)
{
    m_Servers.Clear();
    for (unsigned i = 0; i < servers.Size(); ++i)
        m_Servers.Add(servers[i].GetData());
    m_sDistribution = szDistribution;
    m_sLists = szUniqueFilename;
    m_bQuickCheck = bQuickCheck ? 1 : 0;
    ZIvlSync::GetInstallDir(m_sInstallDir, szDistribution, szInstalledVersion);
    // A verification of the same folder would rewrite its state under us.
    if (!m_FolderLock.TryAcquire(m_sInstallDir.GetData())) {
        Session::Log("Download %s: %s", m_sInstallDir.GetData(), kInstallFolderBusy);
        return START_FOLDER_BUSY;
    }

    m_pWindow->CleanLongFileNames(m_sInstallDir.GetData());

    if (m_pWindow->TestWriteAccess(m_sInstallDir.GetData()) == 1) {
        Session::Log("WriteAccess denied; elevating");
        ZIvlSync::RequestElevation(m_pWindow);
        return START_ELEVATING;
    }

    m_bDone = false;
    m_Downloader.SetListener(this);
    // Both suspended until stored: the work thread waits on the progress thread's handle.
    m_ProgressThread = ZThread::Create(&DownloadSession::ProgressThreadMain, this, 0, true);
    if (!CreateWorkThread("DownloadSession") || !m_ProgressThread.IsValid()) {
        // Neither has run: end the one that was made before it can touch the session.
        if (m_ProgressThread.IsValid())
            m_ProgressThread.Terminate();
        if (m_WorkThread.IsValid())
            m_WorkThread.Terminate();
        return ERR_FAILED;
    }
    m_ProgressThread.Resume();
    StartWorkThread();
    return START_OK;
}

void DownloadSession::Log(const char* szText)
{
    Session::Log("%s", szText);
}

void DownloadSession::Error(const char* szText)
{
    Reply(ERR_FAILED, szText);
}

bool DownloadSession::FormatProgress(ZStringBase& out, uint64_t nBytesDone, uint64_t nBytesTotal, int32_t nRepackTotal,
                                     int32_t nRepackDone)
{
    if (nBytesTotal == 0)
        return false;
    double fFraction = (double)nBytesDone / (double)nBytesTotal;
    if (nRepackTotal != 0)
        fFraction *= (double)(uint32_t)nRepackDone / (double)(uint32_t)nRepackTotal;
    out.Format("%.3f;%.2f/%.2f MB", fFraction, nBytesDone / 1048576.0, nBytesTotal / 1048576.0);
    return true;
}

int32_t DownloadSession::ProgressThreadMain(void* pArgument)
{
    DownloadSession* pSession = static_cast<DownloadSession*>(pArgument);
    ZThread::Current().SetName("Download progress");
    while (!pSession->m_bDone && !pSession->m_bCancel) {
        uint64_t nDone = 0, nTotal = 0;
        int32_t nRepackTotal = 0, nRepackDone = 0, nFilesTotal = 0, nFilesDone = 0;
        pSession->m_Downloader.GetProgress(&nDone, &nTotal, &nRepackTotal, &nRepackDone, &nFilesTotal, &nFilesDone);
        ZStringBuffer<256> sText;
        if (FormatProgress(sText, nDone, nTotal, nRepackTotal, nRepackDone))
            pSession->Reply(STATUS_PROGRESS, sText.GetData());
        ZThread::Sleep(kProgressIntervalMs);
    }
    return 0;
}

void DownloadSession::StopProgress()
{
    m_bDone = true;
    ZThread progress = m_ProgressThread;
    progress.Wait(INFINITE);
    // The front end sends its next command of this folder as soon as it reads the end: the
    // folder is free before that reply goes out, not once the session is deleted.
    m_FolderLock.Release();
}

void DownloadSession::Run(SessionEnd& end)
{
    bool bFailed = m_Downloader.DownloadAndUpdateFiles(m_Servers, m_sInstallDir.GetData(), m_sLists.GetData(), false,
                                                       nullptr, m_bQuickCheck != 0);
    // The progress thread has ended and the folder is free before the end reply: no progress
    // follows it, and a command of the same folder sent on it is not refused.
    StopProgress();
    if (m_bCancel) {
        end.Set(STATUS_STOPPED);
    } else if (bFailed) {
        ZStringBuffer<256> sText("Download failed. For details, please see %s", ZIvlSync::s_sLogFile.GetData());
        end.Set(ERR_FAILED, sText.GetData());
    } else {
        end.Set(STATUS_FINISHED);
    }
}

NamedDownloadSession::NamedDownloadSession(int nSessionId, const Socket& connection, ZIvlSync* pWindow,
                                           FlashServer* pServer)
    : DownloadSession(nSessionId, connection, pWindow, pServer)
{
}

int NamedDownloadSession::Start(const ZStringArray& servers, const char* szDistribution, const char* szInstalledVersion,
                                const char* szUniqueFilename, const char* szNames, const char* szWebEntrance,
                                bool bQuickCheck)
{
    m_sNames = szNames;
    m_sWebEntrance = szWebEntrance;
    return DownloadSession::Start(servers, szDistribution, szInstalledVersion, szUniqueFilename, bQuickCheck);
}

void NamedDownloadSession::Run(SessionEnd& end)
{
    ZStringBuffer<16> sRootList(m_sLists);
    m_sLists.Clear();
    ZStringArray names;
    names.Split(m_sNames.GetData(), ',');
    UniqueFileList lists(m_Servers, this);

    for (unsigned i = 0; i < names.Size(); ++i) {
        const char* szName = names[i].GetData();
        ZStringBuffer<256> sError;
        ZStringBuffer<256> sCacheDir;
        JoinPath2(sCacheDir, m_sInstallDir.GetData(), "synccache");
        if (!CreateDirectoryPath(sCacheDir.GetData()))
            sError.Format("Couldn't create dir %s", sCacheDir.GetData());

        ZStringBuffer<16> sResolved;
        if (sError.IsEmpty()) {
            if (strncmp(szName, "set:", 4) != 0) {
                sResolved = szName;
            } else {
                const char* szListId = szName + 4;
                ZStringBuffer<256> sResponse;
                ZStringBuffer<16> sBundle;
                sResolved =
                    lists.GetListUniqueName(szListId, sCacheDir.GetData(), sRootList.GetData(), sResponse, &sBundle);
                if (sResolved.IsEmpty()) {
                    Session::Log("GetListUniqueName(%s) failed: %s", szListId, sResponse.GetData());
                    sError.Format("GetListUniqueName for %s failed", szListId);
                } else if (!sBundle.IsEmpty() &&
                           !m_Downloader.DownloadBundle(m_Servers, m_sInstallDir.GetData(), sResolved.GetData(),
                                                        sBundle.GetData(), true, true)) {
                    sError.Assign("Bundle download failed");
                }
            }
        }
        if (!m_sLists.IsEmpty())
            m_sLists.AppendChar(',');
        m_sLists.Append(sResolved);
        if (!sError.IsEmpty()) {
            Session::Log("%s", sError.GetData());
            // The progress thread ends first: no progress may follow the end reply.
            StopProgress();
            // A cancel also ends a bundle being read: that is a stop, not a failure.
            if (m_bCancel)
                end.Set(STATUS_STOPPED);
            else
                end.Set(ERR_FAILED, sError.GetData());
            return;
        }
    }
    DownloadSession::Run(end);
}
