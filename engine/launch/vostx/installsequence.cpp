// The install sequence: brings the work folder's copy of the sync program up to date from the
// install folder or the unique-file servers, stops a running sync program first, starts it.
#include "launch/vostx/vostxcore.h"

#include "common/containers/zfiletable.h"
#include "common/containers/zmemorybuffer.h"
#include "common/containers/zsha256.h"
#include "common/containers/zstr.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/process.h"
#include "common/system/socket.h"
#include "common/system/zthread.h"
#include "common/system/zwin.h"
#include "launch/launchlibs/flashmessage.h"
#include "launch/launchlibs/launchhelpers.h"
#include "launch/launchlibs/synccontract.h"
#include "shared/net/remotenames.h"
#include "shared/net/uniquefilelist.h"

namespace
{
const int kStopSeconds = 30;
const unsigned kServerGrowMin = 32;
// What the work folder holds besides the table's files: the root list's cache, the plug-in's log
// and the log of the sync program, which runs there.
const char* const kWorkFolderOwnFiles[] = {"synccache", "vostx.log", "ivlsync.log"};
const char kPartSuffix[] = ".part";
}

uint16_t VostxCore::s_nClosePort = kSyncCommandPort;

// Everything a run needs, copied on the page's thread: the page may call again meanwhile.
struct VostxCore::InitArgs
{
    InitArgs() : m_Servers(kServerGrowMin), m_pCore(nullptr), m_pThreadData(nullptr), m_hModule(nullptr) {}

    ZStringBuffer<256> m_Distribution;
    ZStringBuffer<256> m_InstalledVersion;
    ZStringBuffer<256> m_Language;
    ZStringArray m_Servers;
    VostxCore* m_pCore;
    void* m_pThreadData;
    ZStringBuffer<256> m_RootListName;
    ZStringBuffer<256> m_FlashObjectId;
    // The thread's reference on the module that holds its code.
    HMODULE m_hModule;

    void Progress(float fFraction)
    {
        m_pCore->CallFlash("VostxProgress", "initializing", fFraction, m_FlashObjectId.GetData(), m_pThreadData);
    }
    void Error(const char* szText)
    {
        m_pCore->CallFlashError("VostxError", szText, m_FlashObjectId.GetData(), m_pThreadData);
    }
};

bool VostxCore::Init(const char* szDistribution, const char* szInstalledVersion, const char* szLanguage,
                     const ZStringArray& servers, const char* szRootListName, const char* szFlashObjectId)
{
    m_RootListName.Assign(szRootListName ? szRootListName : "");
    m_FlashObjectId.Assign(szFlashObjectId ? szFlashObjectId : "");

    InitArgs* pArgs = new InitArgs;
    pArgs->m_Distribution.Assign(szDistribution ? szDistribution : "");
    pArgs->m_InstalledVersion.Assign(szInstalledVersion ? szInstalledVersion : "");
    pArgs->m_Language.Assign(szLanguage ? szLanguage : "");
    for (unsigned i = 0; i < servers.Size(); ++i)
        pArgs->m_Servers.Add(servers[i].GetData());
    pArgs->m_RootListName.AssignFrom(m_RootListName);
    pArgs->m_FlashObjectId.AssignFrom(m_FlashObjectId);
    pArgs->m_pCore = this;
    pArgs->m_pThreadData = CreateThreadData();

    // The thread's own reference keeps the core until the thread has ended; the thread also
    // counts as live by itself, since it runs on after it has dropped the core. It holds the
    // module too: a browser unloads the plug-in after NP_Shutdown whether a run goes on or not.
    AddRef();
    ++s_nInUse;
    static const char s_cInModule = 0;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&s_cInModule),
                            &pArgs->m_hModule))
        pArgs->m_hModule = nullptr;
    HANDLE hThread = CreateThread(nullptr, 0, &VostxCore::InitThread, pArgs, 0, nullptr);
    if (!hThread) {
        // No OnThreadEnd here: it belongs to the install thread's apartment, not the caller's;
        // the small thread-data block is left behind on this rare path.
        if (pArgs->m_hModule)
            FreeLibrary(pArgs->m_hModule);
        delete pArgs;
        --s_nInUse;
        Release();
        return false;
    }
    CloseHandle(hThread);
    return true;
}

bool VostxCore::InitFromPage(const ZStringBuffer<256>* pTexts)
{
    ZStringArray servers(kServerGrowMin);
    servers.Add(pTexts[3].GetData());
    servers.Add(pTexts[4].GetData());
    return Init(pTexts[0].GetData(), pTexts[1].GetData(), pTexts[2].GetData(), servers, pTexts[5].GetData(),
                pTexts[6].GetData());
}

DWORD WINAPI VostxCore::InitThread(void* pArgument)
{
    InitArgs* pArgs = static_cast<InitArgs*>(pArgument);
    VostxCore* pCore = pArgs->m_pCore;
    HMODULE hModule = pArgs->m_hModule;
    ZThread::Current().SetName("Vostx_init");
    pCore->OnThreadStart();
    void* pThreadData = pArgs->m_pThreadData;
    bool bResult = false;
    // Tried, not waited for: a second run of the same core ends at once. Left before the core
    // is released, which may destroy it.
    {
        ZTryLockGuard guard(pCore->m_InitLock);
        if (guard.IsHeld()) {
            bResult = pCore->InitSequence(*pArgs);
            pCore->m_bInitialized = bResult;
        }
    }
    delete pArgs;
    pCore->OnThreadEnd(pThreadData);
    pCore->Release();
    ZTlsSlots::RunDestructors();
    --s_nInUse;
    // Last: dropping the module and ending the thread in one call, so that no code of an
    // unloaded module runs.
    if (hModule)
        FreeLibraryAndExitThread(hModule, bResult ? 1 : 0);
    return bResult ? 1 : 0;
}

bool VostxCore::InitSequence(InitArgs& args)
{
    args.Progress(0.0f);
    if (m_bInitialized) {
        CoreLog("Already initialized. Skipping the rest.");
        return true;
    }
    // The distribution names a folder inside the install root and inside "IVL"; the language
    // goes onto the sync program's command line. Both come from the page.
    if (!IsSafeFolderName(args.m_Distribution.GetData())) {
        args.Error("Invalid distribution name");
        CoreLog("Refused distribution name \"%s\"", args.m_Distribution.GetData());
        return false;
    }
    if (!IsSafeLanguage(args.m_Language.GetData())) {
        args.Error("Invalid language");
        CoreLog("Refused language \"%s\"", args.m_Language.GetData());
        return false;
    }

    ZStringBuffer<256> installDir;
    if (!GetInstallDirFromRegistry(args.m_Distribution.GetData(), args.m_InstalledVersion.GetData(), installDir)) {
        args.Error("Couldn't resolve install path");
        CoreLog("Couldn't resolve install path. Quitting");
        return false;
    }
    ZStringBuffer<256> workDir = GetWorkDir(args.m_Distribution.GetData());
    if (!CreateDirectoryPath(workDir.GetData())) {
        args.Error("Failed to create temp directory");
        CoreLog("Failed to create directory %s", workDir.GetData());
        return false;
    }
    CoreLog("GlobalInitVostX params: Dist:%s Uniquefile:%s FlashObj:%s\n", args.m_Distribution.GetData(),
            args.m_RootListName.GetData(), args.m_FlashObjectId.GetData());
    args.Progress(0.1f);

    UniqueFileList list(args.m_Servers);
    CoreLog("UniqueFileList initialized\n");
    ZStringBuffer<256> response;

    ZStringBuffer<256> cacheDir;
    JoinPath2(cacheDir, workDir.GetData(), "synccache");
    if (!CreateDirectoryPath(cacheDir.GetData())) {
        CoreLog("Couldn't create dir %s", cacheDir.GetData());
        args.Error("Couldn't create cache directory");
        return false;
    }
    ZMemoryBuffer rootList;
    if (!list.GetCachedFile(rootList, cacheDir.GetData(), args.m_RootListName.GetData(), response)) {
        args.Error("Failed to download root file list");
        CoreLog("Failed to download root file list: %s", response.GetData());
        return false;
    }
    ZStringBuffer<16> tableName = UniqueFileList::FindUniqueFile("VostX_Depends", rootList, nullptr);
    if (tableName.IsEmpty()) {
        CoreLog("GetListUniqueName(VostX_Depends) returned empty name. HTTP Response: %s", response.GetData());
        args.Error("GetListUniqueName(VostX_Depends) returned empty name");
        return false;
    }
    CoreLog("Unique list name downloaded\n");
    args.Progress(0.2f);
    CoreLog("Downloading file table\n");

    ZMemoryBuffer tableText;
    if (!list.DownloadToBuffer(tableText, tableName.GetData(), response)) {
        CoreLog("DownloadUniqueFile failed: %s\n", response.GetData());
        args.Error("DownloadUniqueFile failed");
        return false;
    }
    CoreLog("DownloadUniqueFile done\n");
    CoreLog("Loading file table (relative)\n");
    ZFileTable table;
    table.ParseText(tableText, nullptr, true, false, false);
    // The table's reader drops a record that climbs out midway: the table is refused instead.
    ZStringBuffer<256> problem;
    if (!CheckClimbingRecords((const char*)tableText.GetData(), tableText.GetSize(), problem) ||
        !CheckListedNames(table, kWorkFolderOwnFiles, sizeof(kWorkFolderOwnFiles) / sizeof(kWorkFolderOwnFiles[0]),
                          nullptr, problem)) {
        args.Error("Invalid file name in file table");
        CoreLog("%s\n", problem.GetData());
        return false;
    }

    if (!AllFilesUpToDate(workDir.GetData(), table)) {
        if (!StopSync(kStopSeconds)) {
            args.Error("Couldn't close ivlsync");
            CoreLog("Couldn't close ivlsync\n");
            return false;
        }
        for (ZFileTable::Node* pNode = table.First(); pNode; pNode = ZFileTable::Next(pNode)) {
            const ZFileRecord& record = *pNode->m_Value;
            if (!UpdateFile(args, installDir.GetData(), workDir.GetData(), list, response, record.m_Name.GetData(),
                            record.m_Text.GetData()))
                return false;
        }
    }

    CoreLog("Testing ivlync global mutex");
    HANDLE hMutex = ZOpenMutex(kSyncMutexName);
    if (hMutex) {
        CoreLog("ivlync is running");
        ZCloseMutex(hMutex);
        args.Progress(1.0f);
        return true;
    }
    CoreLog("ivlync is not running. Launching now");
    ZStringBuffer<256> program;
    JoinPath2(program, workDir.GetData(), "ivlsync.exe");
    ZStringBuffer<256> arguments;
    arguments.Format("/m /l %s", args.m_Language.GetData());
    CoreLog("Command (in %s): %s %s", workDir.GetData(), program.GetData(), arguments.GetData());
    Process process = Process::Start(program.GetData(), arguments.GetData(), workDir.GetData(), nullptr, false, false,
                                     Process::PRIORITY_PARENT);
    if (!process.IsValid()) {
        args.Error("Couldn't spawn ivlsync.exe");
        return false;
    }
    CoreLog("ivlsync launched successfully\n");
    args.Progress(1.0f);
    return true;
}

bool VostxCore::UpdateFile(InitArgs& args, const char* szInstallDir, const char* szWorkDir, UniqueFileList& list,
                           ZStringBase& response, const char* szName, const char* szChecksum)
{
    // The table's reader drops ".." pieces already; a drive or a leading separator would still
    // put the copy somewhere other than the work folder.
    if (!IsSafeRelativeName(szName)) {
        args.Error("Invalid file name in file table");
        CoreLog("Refused file name \"%s\"\n", szName);
        return false;
    }
    ZStringBuffer<256> source;
    ZStringBuffer<256> target;
    JoinPath2(source, szInstallDir, szName);
    JoinPath2(target, szWorkDir, szName);
    ZStringBuffer<256> parent;
    if (GetParentDirectory(target.GetData(), parent)) {
        CoreLog("Creating directory %s", parent.GetData());
        if (!CreateDirectoryPath(parent.GetData()))
            CoreLog("Couldn't create directory %s: %d", parent.GetData(), (int)GetLastError());
    }
    CoreLog("Checking version %s -> %s\n", szChecksum, source.GetData());
    if (CheckVersion(source.GetData(), szChecksum)) {
        if (!File::Copy(source.GetData(), target.GetData())) {
            DWORD nError = GetLastError();
            args.Error("File copy failed");
            CoreLog("Couldn't copy %s -> %s: %d\n", source.GetData(), target.GetData(), (int)nError);
            return false;
        }
        return true;
    }
    CoreLog("%s is not the latest version (or doesn't exist). Downloading it now to %s.\n", szName, target.GetData());
    // Downloaded beside the target and moved over it only once its sum is right: the copy in
    // place stays whole until then.
    ZStringBuffer<256> localPath;
    NormalizePath(localPath, target.GetData());
    ZStringBuffer<256> partPath(localPath);
    partPath.Append(kPartSuffix);
    if (!list.DownloadToFile(partPath.GetData(), szChecksum, response)) {
        File::Delete(partPath.GetData());
        args.Error("Couldn't download file");
        CoreLog("Couldn't download %s: %s\n", target.GetData(), response.GetData());
        return false;
    }
    if (!CheckVersion(partPath.GetData(), szChecksum)) {
        File::Delete(partPath.GetData());
        args.Error("Checksum mismatch");
        CoreLog("Checksum on newly downloaded %s doesn't match %s\n", target.GetData(), szChecksum);
        return false;
    }
    if (!File::MoveReplacing(partPath.GetData(), localPath.GetData())) {
        DWORD nError = GetLastError();
        File::Delete(partPath.GetData());
        args.Error("Couldn't download file");
        CoreLog("Couldn't move %s into place: %d\n", target.GetData(), (int)nError);
        return false;
    }
    return true;
}

bool VostxCore::StopSync(int nSeconds)
{
    if (nSeconds < 0)
        return false;
    bool bWait = nSeconds > 0;
    int nAttempts = bWait ? nSeconds : 1;
    for (int i = 0; i < nAttempts; ++i) {
        HANDLE hMutex = ZOpenMutex(kSyncMutexName);
        if (!hMutex)
            return true;
        CoreLog("Sending shutdown message to ivlsync");
        Socket socket = Socket::Create(0, 0, 0);
        SocketAddress address;
        address.Set(127, 0, 0, 1, s_nClosePort);
        if (socket.IsValid() && socket.Connect(address)) {
            FlashMessage(CMD_CLOSE, kSyncCloseSessionId).Send(socket);
            socket.Close();
        }
        if (bWait)
            ZWaitForMutex(hMutex, 1000);
        ZCloseMutex(hMutex);
        if (!bWait)
            return true;
    }
    CoreLog("ivlsync didn't shut down after %d seconds. Giving up!", nSeconds);
    return false;
}

bool VostxCore::AllFilesUpToDate(const char* szFolder, ZFileTable& table)
{
    for (ZFileTable::Node* pNode = table.First(); pNode; pNode = ZFileTable::Next(pNode)) {
        const ZFileRecord& record = *pNode->m_Value;
        CoreLog("Checking version %s -> %s\n", record.m_Text.GetData(), record.m_Name.GetData());
        ZStringBuffer<256> path;
        JoinPath2(path, szFolder, record.m_Name.GetData());
        if (IsSafeRelativeName(record.m_Name.GetData()) && CheckVersion(path.GetData(), record.m_Text.GetData())) {
            CoreLog("%s is up to date", record.m_Name.GetData());
            continue;
        }
        CoreLog("%s is not the latest version (or doesn't exist)", record.m_Name.GetData());
        return false;
    }
    return true;
}

bool VostxCore::CheckVersion(const char* szPath, const char* szChecksumText)
{
    ZStringBuffer<256> digest;
    if (!GetFileSha256(szPath, digest))
        return false;
    return ZStrNICompare(szChecksumText, digest.GetData(), digest.GetLength()) == 0;
}
