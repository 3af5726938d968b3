#include "launch/ivlsync/verify.h"

#include "common/containers/zfiletable.h"
#include "common/containers/zmemorybuffer.h"
#include "common/containers/zstringarray.h"
#include "common/containers/zsha256.h"
#include "common/stream/streams.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "launch/launchlibs/flashmessage.h"
#include "launch/ivlsync/flashserver.h"
#include "launch/ivlsync/folderlock.h"
#include "launch/ivlsync/ivlsyncwindowbase.h"

namespace
{
const char kRepackFile[] = "repack.bin";
const char kPackFile[] = "pack.bin";

void LogF(IVerifyListener* pListener, const char* szFormat, ...) ZPRINTF_FORMAT(2, 3);
void LogF(IVerifyListener* pListener, const char* szFormat, ...)
{
    ZStringBuffer<256> sText;
    va_list args;
    va_start(args, szFormat);
    sText.FormatV(szFormat, args);
    va_end(args);
    pListener->Log(sText.GetData());
}
}

bool GetPackFormat(const char* szName, ZStringBase& sFormat)
{
    ZStringBuffer<256> sPath(szName ? szName : "");
    sPath.Replace('\\', '/');
    if (!sPath.EndsWith("/pack.bin"))
        return false;
    sPath.Truncate(sPath.GetLength() - 9);
    int nOpen = sPath.ReverseFind('(');
    int nClose = sPath.ReverseFind(')');
    if (nOpen < 0 || nClose < 0 || nOpen > nClose)
        return false;
    sPath.Truncate(nOpen);
    int nSlash = sPath.ReverseFind('/');
    if (nSlash < 0)
        return false;
    sFormat.Assign(sPath.GetData() + nSlash + 1);
    return true;
}

bool NeedsRepackFile(const char* szName)
{
    ZStringBuffer<16> sFormat;
    if (!GetPackFormat(szName, sFormat))
        return false;
    for (char* p = sFormat.GetData(); *p; ++p)
        if (*p >= 'A' && *p <= 'Z')
            *p = (char)(*p - 'A' + 'a');
    return sFormat == "bmp" || sFormat == "tga" || sFormat == "hdr";
}

bool VerifyFile(VerifyContext& context, const char* szName, const ZFileRecord& record, ZMemoryBuffer* pScratch)
{
    ZStringBuffer<256> sPath;
    JoinPath2(sPath, context.m_sFolder.GetData(), szName);
    ZStringBuffer<80> sDigest;
    if (!GetFileSha256(sPath.GetData(), sDigest, pScratch)) {
        LogF(context.m_pListener, "%s failed (Couldn't read file)", szName);
        return false;
    }
    // The table's text may carry more after the 64 digits ("-length"); case counts.
    const char* szText = record.m_Text.GetData();
    if (sDigest.GetLength() != 64 || strncmp(szText, sDigest.GetData(), 64) != 0) {
        LogF(context.m_pListener, "%s failed (checksum error)", szName);
        return false;
    }
    if (NeedsRepackFile(szName)) {
        // The path ends with "pack.bin": its folder's companion is "repack.bin".
        ZStringBuffer<256> sCompanion(sPath);
        sCompanion.Truncate(sCompanion.GetLength() - (int)(sizeof(kPackFile) - 1));
        sCompanion.Append(kRepackFile);
        if (!File::Exists(sCompanion.GetData())) {
            LogF(context.m_pListener, "%s failed (repack.bin doesn't exist)", szName);
            return false;
        }
    }
    return true;
}

bool VerifyFileTable(VerifyContext& context, ZFileTable& table)
{
    IVerifyListener* pListener = context.m_pListener;
    int nCount = table.GetCount();
    LogF(pListener, "Verifying %d files. This may take a while...", nCount);
    int nPassed = 0;
    ZStringArray failed(32);
    // Grows to the largest file and is reused: a fresh block per file costs its page faults.
    ZMemoryBuffer scratch;
    int i = 0;
    for (ZFileTable::Node* pNode = table.First(); pNode; pNode = ZFileTable::Next(pNode)) {
        ++i;
        if (pListener->IsCancelled()) {
            pListener->Log("Verification canceled");
            return true;
        }
        if (VerifyFile(context, pNode->m_Key.GetData(), *pNode->m_Value, &scratch))
            ++nPassed;
        else
            failed.Add(pNode->m_Key.GetData());
        ZStringBuffer<32> sText("%d/%d", i, nCount);
        pListener->Progress((float)i / (float)nCount, sText.GetData());
    }
    int nFailed = (int)failed.Size();
    LogF(pListener, "%d files checked. %d of them failed", nPassed + nFailed, nFailed);
    for (unsigned j = 0; j < failed.Size(); ++j)
        table.Remove(failed[j].GetData());
    return nFailed == 0;
}

bool VerifyFiles(VerifyContext& context, const char* szFolder)
{
    IVerifyListener* pListener = context.m_pListener;
    pListener->Log("Loading file list...");
    context.m_sFolder.Assign(szFolder ? szFolder : "");
    if (!context.m_sFolder.EndsWith("\\") && !context.m_sFolder.EndsWith("/"))
        context.m_sFolder.Append("\\");
    LogF(pListener, "Checking directory %s", context.m_sFolder.GetData());

    ZStringBuffer<256> sTablePath(context.m_sFolder);
    sTablePath.Append("/synccache/currentfiles.txt");
    ZFileTable table;
    {
        ZFileInputStream input(sTablePath.GetData());
        if (!input.IsOpen()) {
            pListener->Error("Couldnt read currentfiles.txt");
            return false;
        }
        // Every listed record, present or not: a missing file must fail, not vanish unseen.
        table.Load(input, nullptr, false, true, false);
    }
    if (VerifyFileTable(context, table))
        return true;

    // Written beside the table first, then moved over it: a failed write must not leave a
    // truncated table behind (the next download would fetch everything again). Without the
    // table, the next run reads the ".1" copy.
    ZStringBuffer<256> sNewPath(sTablePath);
    sNewPath.Append(".1");
    ZMemoryStream text;
    table.Write(text);
    uint32_t nSize = 0;
    const void* pText = text.GetData(&nSize);
    bool bWritten = (pText || nSize == 0) && WriteBufferToFile(sNewPath.GetData(), pText, nSize);
    if (bWritten) {
        File::Delete(sTablePath.GetData());
        bWritten = File::Move(sNewPath.GetData(), sTablePath.GetData());
    }
    if (!bWritten)
        pListener->Error("Couldnt write to currentfiles.txt");
    return false;
}

VerifySessionListener::VerifySessionListener(VerifySession* pSession)
    : m_pSession(pSession), m_fLastProgress(-1.0f), m_bCancel(false)
{
}

void VerifySessionListener::Log(const char* szText)
{
    m_pSession->Log("%s", szText);
}

void VerifySessionListener::Error(const char* szText)
{
    m_pSession->Log("%s", szText);
    m_sLastError.Assign(szText);
}

void VerifySessionListener::Progress(float fFraction, const char* szText)
{
    if (!(fFraction > m_fLastProgress + 0.01f))
        return;
    m_fLastProgress = fFraction;
    ZStringBuffer<64> sParams("%.3f;%s", (double)fFraction, szText);
    ZLockGuard guard(m_ReplyLock);
    if (!m_bCancel)
        m_pSession->Reply(STATUS_PROGRESS, sParams.GetData());
}

void VerifySessionListener::CancelAndReply()
{
    ZLockGuard guard(m_ReplyLock);
    m_bCancel = true;
    m_pSession->Reply(STATUS_STOPPED);
}

VerifySession::VerifySession(int nSessionId, const Socket& connection, ZIvlSync* pWindow, FlashServer* pServer)
    : Session(nSessionId, connection, pWindow, pServer), m_pListener(nullptr), m_pContext(nullptr)
{
}

VerifySession::~VerifySession()
{
    delete m_pContext;
    delete m_pListener;
}

bool VerifySession::Start(const char* szDistribution, const char* szInstalledVersion)
{
    m_sDistribution.Assign(szDistribution ? szDistribution : "");
    m_sInstalledVersion.Assign(szInstalledVersion ? szInstalledVersion : "");
    m_pListener = new VerifySessionListener(this);
    m_pContext = new VerifyContext(m_pListener);
    if (!CreateWorkThread(nullptr))
        return false;
    StartWorkThread();
    return true;
}

void VerifySession::OnCancel()
{
    m_pListener->CancelAndReply();
}

void VerifySession::Run(SessionEnd& end)
{
    ZStringBuffer<256> sFolder;
    ZIvlSync::GetInstallDir(sFolder, m_sDistribution.GetData(), m_sInstalledVersion.GetData());
    InstallFolderLock folderLock;
    if (!folderLock.TryAcquire(sFolder.GetData())) {
        Log("Verify %s: %s", sFolder.GetData(), kInstallFolderBusy);
        end.Set(ERR_FAILED, kInstallFolderBusy);
        return;
    }
    bool bOk = VerifyFiles(*m_pContext, sFolder.GetData());
    folderLock.Release();
    if (m_pListener->IsCancelled())
        return;  // Cancel has sent STATUS_STOPPED
    if (bOk) {
        end.Set(STATUS_FINISHED);
    } else {
        const ZStringBase& sError = m_pListener->GetLastError();
        end.Set(ERR_FAILED,
                sError.IsEmpty() ? "Some files failed verification and will be downloaded again" : sError.GetData());
    }
}

namespace
{
// The menu command's listener: lines go to the window's log; closing the window cancels.
class WindowVerifyListener : public IVerifyListener, public ILiveObject
{
public:
    explicit WindowVerifyListener(ZIvlSync* pWindow) : m_pWindow(pWindow), m_bCancel(false) {}

    void Cancel(bool bWait) override { m_bCancel = true; }
    int IsSession() override { return 1; }

    void Log(const char* szText) override { m_pWindow->Log("%s", szText); }
    void Error(const char* szText) override { m_pWindow->LogError("%s", szText); }
    bool IsCancelled() override { return m_bCancel; }
    void Progress(float fFraction, const char* szText) override {}

private:
    ZIvlSync* m_pWindow;
    std::atomic<bool> m_bCancel;
};

int32_t VerifyThreadMain(void* pArgument)
{
    static_cast<ZIvlSync*>(pArgument)->VerifyFilesLocked();
    return 0;
}
}

int ZIvlSync::VerifyFilesLocked()
{
    HANDLE hMutex = ZCreateMutex("verifyfiles");
    if (!hMutex)
        return -1;
    WindowVerifyListener listener(this);
    RegisterObject(&listener);
    ZStringBuffer<256> sFolder;
    GetInstallDir(sFolder, "live", "live");
    int nResult = 0;
    InstallFolderLock folderLock;
    if (folderLock.TryAcquire(sFolder.GetData())) {
        VerifyContext context(&listener);
        nResult = VerifyFiles(context, sFolder.GetData()) ? 1 : 0;
        folderLock.Release();
    } else {
        LogError("Verify %s: %s", sFolder.GetData(), kInstallFolderBusy);
    }
    if (IsRegistered(&listener))
        ObjectEnded(&listener);
    ZCloseMutex(hMutex);
    return nResult;
}

void ZIvlSync::VerifyInstalledFiles()
{
    ZThread thread = ZThread::Create(&VerifyThreadMain, this);
}
