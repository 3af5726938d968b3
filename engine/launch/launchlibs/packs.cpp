// Packs and repacking: image packs arrive as their parts under "_packed/"; once every part is
// current and one is pending, the pack is handed to the image repacker texforge.dll, whose
// callback records the result in the parts' flag2 and in the journal.
#include "common/system/zwin.h"

#include "launch/launchlibs/downloader.h"

#include <atomic>
#include <cstring>

#include "common/containers/zstr.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/process.h"
#include "common/system/zlog.h"
#include "launch/launchlibs/texforge_iface.h"

namespace
{
const char* const kRepackerFiles[Downloader::REPACKER_FILE_COUNT] = {
    "texforge.dll", "globals.dll", "PhysX3_x86.dll", "PhysX3Cooking_x86.dll", "PhysX3Gpu_x86.dll",
};

// A pack's parts: "pack.bin", then "pack.bin.2", "pack.bin.3"... visit(name, record) gets each
// in order while the table holds it; the walk ends at the first part it lacks.
template <class TVisit>
void ForEachPackPart(ZFileTable& table, const char* szFolder, TVisit visit)
{
    for (int nPart = 1;; ++nPart) {
        ZStringBuffer<256> part;
        if (nPart == 1)
            part.Format("%s/pack.bin", szFolder);
        else
            part.Format("%s/pack.bin.%d", szFolder, nPart);
        const ZFileRecord* pRecord = table.Find(part.GetData());
        if (!pRecord)
            return;
        visit(part.GetData(), *pRecord);
    }
}
}

bool Downloader::PostProcessFile(const ZFileRecord& record)
{
    bool bOk = true;
    ZLockGuard lock(m_PostProcessLock);
    int nRepackerFile = RepackerFileIndex(record.m_Name.GetData());
    if (m_nRepackerFilesSeen != ALL_REPACKER_FILES && nRepackerFile >= 0) {
        m_nRepackerFilesSeen |= 1u << nRepackerFile;
        if (m_nRepackerFilesSeen == ALL_REPACKER_FILES && !LoadRepacker())
            bOk = false;
    }
    if (bOk) {
        QueuePackForRepack(record);
        if (m_nRepackerFilesSeen == ALL_REPACKER_FILES)
            bOk = RepackQueuedPacks();
    }
    return bOk;
}

void Downloader::QueuePackForRepack(const ZFileRecord& record)
{
    const char* szName = record.m_Name.GetData();
    if (!ZStrStartsWith(szName, "_packed/"))
        return;
    const char* pLast = strrchr(szName, '/');
    if (!ZStrStartsWithNoCase(pLast + 1, "pack.bin"))
        return;
    ZStringBuffer<256> folder;
    folder.Assign(szName, (int)(pLast - szName));

    bool bComplete = true;
    bool bPending = false;
    ForEachPackPart(m_RemoteTable, folder.GetData(), [&](const char* szPart, const ZFileRecord& remote) {
        const ZFileRecord* pLocal = m_LocalTable.Find(szPart);
        if (!pLocal || !pLocal->m_nFlag1 || ZStrCompare(pLocal->m_Text.GetData(), remote.m_Text.GetData()) != 0)
            bComplete = false;
        if (pLocal && !pLocal->m_nFlag2)
            bPending = true;
    });
    if (!bComplete || !bPending)
        return;

    // The repacker names packs inside "_packed": "gfx/pack.bin", or "pack.bin" at its top.
    ZStringBuffer<256> packPath;
    const char* szInside = szName + 8;
    packPath.Assign(szInside, (int)(pLast + 1 - szInside));
    packPath.Append("pack.bin");
    ZLockGuard lock(m_RepackerLock);
    if (!m_QueuedPacks.Find(packPath)) {
        m_QueuedPacks.Insert(packPath.GetData(), "");
        packPath.Replace('/', '\\');
        m_RepackList.PushBack(ZStringBuffer<16>(packPath));
    }
}

// Packs waiting while the five repacker files were already in place (a run that only finishes
// earlier failed repacks, or a bundle over an installed folder) load the repacker here, so they
// are not left pending for ever.
bool Downloader::RepackQueuedPacks()
{
    bool bOk = true;
    ZLockGuard lock(m_RepackerLock);
    if (m_RepackList.Size() > 0 && !m_Repacker.IsLoaded())
        bOk = LoadRepacker();
    if (bOk && m_pRepackerInterface && m_RepackList.Size() > 0) {
        m_nRepackTotal += (int32_t)m_RepackList.Size();
        m_pRepackerInterface->Repack(&m_RepackList, &Downloader::RepackCallbackEntry, this, "RepackDownloadedFiles");
        m_RepackList.Clear();
    }
    return bOk;
}

bool Downloader::LoadRepacker()
{
    m_bRepackFlag = true;
    ZLockGuard lock(m_RepackerLock);
    if (m_Repacker.IsLoaded())
        return true;
    for (const char* szFile : kRepackerFiles) {
        if (!CopyToExecutableDir(szFile)) {
            DownloaderLog("Couldn't copy %s to executable directory: %d", szFile, (int)GetLastError());
            return false;
        }
        DownloaderLog("Copied %s to executable directory", szFile);
    }
    m_Repacker = Library::Load("texforge");
    if (!m_Repacker.IsLoaded()) {
        DownloaderLog("Couldn't load texforge.dll: %s", Library::GetLastErrorText().GetData());
        return false;
    }
    TexforgeGetInterfaceFunc pfnGetInterface = (TexforgeGetInterfaceFunc)m_Repacker.GetSymbol("GetInterface");
    if (pfnGetInterface) {
        m_pRepackerInterface = pfnGetInterface();
        if (m_pRepackerInterface)
            m_pRepackerInterface->Initialise("_packed", &Downloader::RepackerLogEntry, 0, m_pCatalog.get());
    }
    return true;
}

bool Downloader::CopyToExecutableDir(const char* szName)
{
    ZStringArray pieces = Process::Current().CommandLine();
    ZStringBuffer<256> commandLine;
    for (unsigned i = 0; i < pieces.Size(); ++i) {
        if (i > 0)
            commandLine.Append(" ");
        bool bQuote = pieces[i].Find(' ') >= 0;
        if (bQuote)
            commandLine.Append("\"");
        commandLine.Append(pieces[i]);
        if (bQuote)
            commandLine.Append("\"");
    }
    ZStringBuffer<256> programDir = Library::GetLibraryDirectory();
    DownloaderLog("Process::Current().CommandLine().ToString: %s", commandLine.GetData());
    DownloaderLog("Library::GetLibraryDirectory(): %s", programDir.GetData());

    ZStringBuffer<256> program, target;
    NormalizePath(program, programDir.GetData());
    NormalizePath(target, m_Target.GetData());
    if (ZStrICompare(program.GetData(), target.GetData()) == 0)
        return true;
    ZStringBuffer<256> from, to;
    JoinPath2(from, target.GetData(), szName);
    JoinPath2(to, program.GetData(), szName);
    DownloaderLog("Copying %s to %s", from.GetData(), to.GetData());
    return File::Copy(from.GetData(), to.GetData());
}

void Downloader::OnRepackDone(const char* szPackPath, bool bResult)
{
    if (!bResult)
        DownloaderLog("RepackFailed %s", szPackPath);
    ZLockGuard lock(m_RepackDoneLock);
    ++m_nRepackDone;
    ZStringBuffer<256> path("_packed/%s", szPackPath);
    path.Replace('\\', '/');
    if (path.EndsWith("/pack.bin")) {
        ZStringBuffer<256> folder;
        folder.Assign(path.GetData(), path.GetLength() - 9);
        ForEachPackPart(m_LocalTable, folder.GetData(), [&](const char* szPart, const ZFileRecord& local) {
            // A copy first: adding replaces the record the walk found.
            ZFileRecord record(local);
            record.m_nFlag2 = bResult ? 1 : 0;
            m_LocalTable.Add(szPart, record);
            AppendJournal(record);
        });
    }
}

void __cdecl Downloader::RepackCallbackEntry(const char* szPackPath, bool bResult, void* pContext)
{
    static_cast<Downloader*>(pContext)->OnRepackDone(szPackPath, bResult);
}

namespace
{
// Set by the owner on its thread, read on the repacker's.
std::atomic<Downloader::RepackerLogSink> s_pfnRepackerLogSink(nullptr);
}

void Downloader::SetRepackerLogSink(RepackerLogSink pfnSink)
{
    s_pfnRepackerLogSink = pfnSink;
}

// The repacker's own log lines: the fourth argument is the text.
void __cdecl Downloader::RepackerLogEntry(int nArg0, int nArg1, int nArg2, const char* szText)
{
    RepackerLogSink pfnSink = s_pfnRepackerLogSink;
    if (pfnSink)
        pfnSink(nArg0, nArg1, nArg2, szText ? szText : "");
    else
        ZLog::Output(ZLOG_PRINT, ZLOG_CATEGORY, __FILE__, szText ? szText : "");
}
