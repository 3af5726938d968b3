#include "launch/ivl/zivl.h"
#include "launch/ivl/globvals.h"
#include "launch/ivl/ipython.h"
#include "launch/ivl/ivllog.h"
#include "launch/ivl/ivlwindow.h"
#include "launch/ivl/packdll.h"
#include "launch/launchlibs/texforge_iface.h"
#include "common/containers/zfilecatalog.h"
#include "common/system/library.h"
#include "common/system/zlog.h"
#include "common/system/zthread.h"
#include "common/system/ztimer.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace
{
// The scene-begin callable: a target object and a function, kept in the holder's storage.
class SceneBeginCallable : public ZCallable
{
public:
    typedef void (*Function)(ZIvL* pTarget);
    SceneBeginCallable(ZIvL* pTarget, Function pfn) : m_pTarget(pTarget), m_pfn(pfn) {}
    void PLAYER_CALL Destroy(int bFree) override { this->~SceneBeginCallable(); }
    void PLAYER_CALL Invoke() override { m_pfn(m_pTarget); }

private:
    ZIvL* m_pTarget;
    Function m_pfn;
};
static_assert(sizeof(SceneBeginCallable) <= sizeof(ZCallbackHolder::m_aStorage), "callable fits the holder");

void CallOnSceneBegin(ZIvL*)
{
    if (IPython* pPython = globvals::GetPython())
        pPython->CallFunction("OnSceneBegin");
}

ZStringBuffer<8> FourCcText(uint32_t nCode)
{
    if (nCode == 0)
        return ZStringBuffer<8>("ZERO");
    char sz[5] = {static_cast<char>(nCode >> 24), static_cast<char>(nCode >> 16), static_cast<char>(nCode >> 8),
                  static_cast<char>(nCode), 0};
    ZStringBuffer<8> text;
    text.Assign(sz, 4);
    return text;
}

struct PackPaths
{
    ZStringBuffer<256> m_Resources;
    ZStringBuffer<256> m_Gfx;
};

PackPaths ReadPackPaths()
{
    PackPaths paths;
    paths.m_Resources.Assign(ZOptions::GetString("resource.ResourcesPath", ""));
    paths.m_Gfx.Assign(ZOptions::GetString("resource.GfxPath", ""));
    if (paths.m_Gfx.IsEmpty())
        paths.m_Gfx.Assign(ZOptions::GetString("resourcePack.GfxPath", ""));
    return paths;
}

// Calls "Pack"; null (logged) when pack.dll failed.
PackResult* CallPack(PackFunc pfnPack, const char* szScene, const PackPaths& paths)
{
    PackResult* pResult = pfnPack(0, szScene, paths.m_Resources.c_str(), paths.m_Gfx.c_str());
    if (!pResult)
        LogPrint(ZStringBuffer<256>("Invalid scene/xml file '%s'", szScene ? szScene : ""));
    return pResult;
}

void RepackSequence(TexforgeGetInterfaceFunc pfnGetInterface, const PackPaths& paths, PackResult* pResult,
                    const char* szOperation)
{
    RepackerInterface* pRepacker = pfnGetInterface();
    if (!pRepacker)
        return;
    pRepacker->SetUp(paths.m_Resources.c_str(), 0, 0);
    bool bAll = ZOptions::GetBool("resource.repack", false);
    if (!bAll) {
        TexforgeTypeList* pTypes = pRepacker->GetImageTypes();
        for (int i = 0; pTypes && i < pTypes->m_nCount; ++i) {
            TexforgeTypeEntry& entry = pTypes->m_pEntries[i];
            ZStringBuffer<64> name("resource.repack.");
            name.Append(FourCcText(entry.m_nCode));
            entry.m_bRepack = ZOptions::GetBool(name.c_str(), false) ? 1 : 0;
        }
    }
    pRepacker->RepackFiles(&pResult->m_Files, bAll, 0, 0, szOperation);
    pRepacker->Release();
}

// Packs with pack.dll, then with an operation name repacks with texforge.dll. The result lives
// in pack.dll, which stays loaded until the repack is done.
bool PackWithDlls(ZIvL* pApp, const char* szScene, const char* szRepackOperation)
{
    pApp->OpenSmallFilesCatalog();
    HMODULE hPack = LoadLibraryA("pack.dll");
    if (!hPack)
        return false;
    bool bResult = false;
    if (PackFunc pfnPack = reinterpret_cast<PackFunc>(GetProcAddress(hPack, "Pack"))) {
        PackPaths paths = ReadPackPaths();
        PackResult* pResult = CallPack(pfnPack, szScene, paths);
        bResult = pResult && pResult->m_bSuccess;
        HMODULE hTexforge = bResult && szRepackOperation ? LoadLibraryA("texforge.dll") : nullptr;
        if (hTexforge) {
            auto pfnGetInterface =
                reinterpret_cast<TexforgeGetInterfaceFunc>(GetProcAddress(hTexforge, "GetInterface"));
            if (pfnGetInterface)
                RepackSequence(pfnGetInterface, paths, pResult, szRepackOperation);
            FreeLibrary(hTexforge);
        }
    }
    FreeLibrary(hPack);
    return bResult;
}
}  // namespace

ZIvL* ZIvL::Get()
{
    static ZIvL* s_pApplication = new ZIvL();  // lives for the whole process
    return s_pApplication;
}

ZIvL::ZIvL() : m_hPlayer(NULL), m_bDedicated(false), m_pPlayer(nullptr), m_szCmdLine(nullptr)
{
    m_szSessionId[0] = 0;
    memset(&m_StartParams, 0, sizeof(m_StartParams));
}

void ZIvL::SetSessionId(const char* szSessionId)
{
    if (!szSessionId)
        return;
    m_szSessionId[0] = 0;
    if (strlen(szSessionId) < sizeof(m_szSessionId))
        strcpy(m_szSessionId, szSessionId);
}

const char* ZIvL::GetCmdLine()
{
    return m_szCmdLine;
}

void ZIvL::OpenSmallFilesCatalog()
{
    if (globvals::GetSmallFilesCatalog())
        return;
    ZFileCatalog* pCatalog = new ZFileCatalog();
    pCatalog->Open(globvals::GetRootResourcePath().c_str(), "bank5");
    globvals::SetSmallFilesCatalog(pCatalog);
}

// pack.dll is freed on every path, and a pack that pack.dll reports as failed is a failure.
bool ZIvL::Pack(const char* szScene)
{
    return PackWithDlls(this, szScene, nullptr);
}

bool ZIvL::PackAndRepack(const char* szScene)
{
    return PackWithDlls(this, szScene, "PackAndRepack");
}

bool ZIvL::PackScene(const char* szScene, bool bRepack)
{
    Library pack = Library::Load("pack");
    PackFunc pfnPack = reinterpret_cast<PackFunc>(pack.GetSymbol("Pack"));
    if (!pfnPack)
        return false;
    PackPaths paths = ReadPackPaths();
    PackResult* pResult = CallPack(pfnPack, szScene, paths);
    if (!pResult || !pResult->m_bSuccess)
        return false;
    if (bRepack) {
        Library texforge = Library::Load("texforge");
        auto pfnGetInterface = reinterpret_cast<TexforgeGetInterfaceFunc>(texforge.GetSymbol("GetInterface"));
        if (pfnGetInterface)
            RepackSequence(pfnGetInterface, paths, pResult, "PackRepack");
    }
    return true;
}

bool ZIvL::LoadPlayer(bool bDedicated)
{
    UINT nPreviousMode = SetErrorMode(0);
    m_hPlayer = LoadLibraryA("player.dll");
    if (!m_hPlayer) {
        MessageBoxA(NULL, "LoadLibrary \"player.dll\" failed", "LaunchServer", MB_OK);
        return false;
    }
    SetErrorMode(nPreviousMode);
    auto pfnGetInterface = reinterpret_cast<GetPlayerInterfaceFunc>(GetProcAddress(m_hPlayer, "GetPlayerInterface"));
    if (!pfnGetInterface)
        return false;
    int nMode = bDedicated ? PLAYER_MODE_DEDICATED : PLAYER_MODE_CLIENT;
    m_pPlayer = pfnGetInterface(nMode);
    if (!m_pPlayer)
        return false;
    return m_pPlayer->Initialise(nMode);
}

void ZIvL::ReleasePlayer()
{
    if (m_pPlayer) {
        m_pPlayer->Release();
        m_pPlayer = nullptr;
    }
    if (m_hPlayer) {
        FreeLibrary(m_hPlayer);
        m_hPlayer = NULL;
    }
}

bool ZIvL::RunServer(const char* szSessionId, const char* szScene, bool bLoadFromServer, int nPort,
                     const char* szWebEntrance)
{
    SetSessionId(szSessionId);
    m_bDedicated = true;
    bool bResult = false;
    if (LoadPlayer(true) && InitDll(true, nullptr, true, nPort, szWebEntrance, szScene, bLoadFromServer, nullptr)) {
        RunMessageLoop();
        bResult = true;
    }
    ReleasePlayer();
    return bResult;
}

bool ZIvL::RunClient(const char* szSessionId, const char* szScene, bool bLoadFromServer, const char* szPlayerSessionId,
                     bool bAllowLocalServer, int nPort, const char* szWebEntrance, const char* szParentWindow)
{
    OpenSmallFilesCatalog();
    ZStringBuffer<512> localeFile(globvals::GetRootGfxPath().c_str());
    localeFile.Append(ZOptions::GetString("Locale.LocaleFile", ""));
    GetLocale()->Load(localeFile.c_str());
    SetSessionId(szSessionId);
    bool bResult = false;
    if (LoadPlayer(false)) {
        ZCallbackHolder callback;
        new (callback.m_aStorage) SceneBeginCallable(this, &CallOnSceneBegin);
        callback.m_pCallable = reinterpret_cast<ZCallable*>(callback.m_aStorage);
        m_pPlayer->SetSceneBeginCallback(0, callback);
        if (InitDll(false, szPlayerSessionId, bAllowLocalServer, nPort, szWebEntrance, szScene, bLoadFromServer,
                    szParentWindow)) {
            RunMessageLoop();
            bResult = true;
        }
        callback.Reset();
    }
    ReleasePlayer();
    return bResult;
}

ZWindowPlacement ComputeWindowPlacement(const char* szResolution, int nScreenWidth, int nScreenHeight)
{
    ZWindowPlacement placement;
    int nWidth = 0, nHeight = 0;
    // Text that does not scan counts as no resolution.
    if (!szResolution || sscanf(szResolution, "%dx%d", &nWidth, &nHeight) != 2)
        nWidth = nHeight = 0;
    if (nWidth > 0 && nHeight > 0) {
        if (nWidth < 640 || nHeight < 480) {
            nWidth = 640;
            nHeight = 480;
        }
    } else if (nScreenWidth > 1366 && nScreenHeight > 0) {
        nWidth = 1280;
        int nRatio = static_cast<int>(static_cast<int64_t>(nScreenWidth) * 1000 / nScreenHeight);
        nHeight = nRatio == 1777 ? 720 : 800;
    } else {
        nWidth = nScreenWidth;
        nHeight = nScreenHeight;
    }
    if (nWidth > nScreenWidth || nHeight > nScreenHeight) {
        nWidth = nScreenWidth;
        nHeight = nScreenHeight;
    }
    placement.m_nWidth = nWidth;
    placement.m_nHeight = nHeight;
    placement.m_nX = (nScreenWidth - nWidth) / 2;
    placement.m_nY = (nScreenHeight - nHeight) / 2;
    return placement;
}

bool ZIvL::InitDll(bool bDedicated, const char* szPlayerSessionId, bool bAllowLocalServer, int nPort,
                   const char* szWebEntrance, const char* szScene, bool bLoadFromServer, const char* szParentWindow)
{
    int64_t nStart = ZTimer::Now();
    ZStringBuffer<64> resolution(ZOptions::GetString("render.resolution", "0x0"));
    ZWindowPlacement placement =
        ComputeWindowPlacement(resolution.c_str(), GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));

    while (ZFindWindow("Windows Security Alert"))
        Sleep(1000);

    IvLWindow* pWindow = IvLWindow::Get();
    if (bDedicated)
        ZOptions::SetBool("render.forcenull", true);
    else if (szParentWindow)
        pWindow->MakeChildOf(reinterpret_cast<HWND>(static_cast<intptr_t>(atoi(szParentWindow))));
    else
        pWindow->SetClientRect(placement.m_nX, placement.m_nY, placement.m_nWidth, placement.m_nHeight);
    pWindow->Show();

    if (!m_pPlayer->AttachWindow(pWindow->GetHandle(), placement.m_nWidth, placement.m_nHeight))
        return false;

    m_StartParams.m_hWindow = pWindow->GetHandle();
    m_StartParams.m_szSessionId = m_szSessionId;
    m_StartParams.m_szPlayerSessionId = szPlayerSessionId;
    m_StartParams.m_bAllowLocalServer = bAllowLocalServer;
    m_StartParams.m_nPort = nPort;
    m_StartParams.m_szWebEntrance = szWebEntrance;
    m_StartParams.m_bLoadFromServer = bLoadFromServer;
    m_StartParams.m_szScene = szScene;
    m_StartParams.m_pWindowObject = static_cast<IWindowCursor*>(pWindow);
    m_StartParams.m_pWindowGeometry = static_cast<IWindowGeometry*>(pWindow);

    double fMs = static_cast<double>(ZTimer::Now() - nStart) * 1000.0 / ZTimer::TICKS_PER_SECOND;
    LogPrint(ZStringBuffer<256>("Timer 1 %.2fms ZIvL::InitDll", fMs));
    return m_pPlayer->Start(&m_StartParams);
}

void ZIvL::RunMessageLoop()
{
    auto pfnStart =
        m_hPlayer ? reinterpret_cast<InputTimerFunc>(GetProcAddress(m_hPlayer, "StartInputTimer")) : nullptr;
    auto pfnEnd = m_hPlayer ? reinterpret_cast<InputTimerFunc>(GetProcAddress(m_hPlayer, "EndInputTimer")) : nullptr;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    MSG msg;
    for (;;) {
        BOOL nResult = GetMessageW(&msg, NULL, 0, 0);
        if (nResult == 0 || nResult == -1)
            break;
        if (pfnStart)
            pfnStart();
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
        if (pfnEnd)
            pfnEnd();
        if (!m_pPlayer || m_pPlayer->Tick() == PLAYER_TICK_QUIT)
            PostQuitMessage(0);
    }
}
