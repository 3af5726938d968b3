// Stands in for the outside scene packer pack.dll. It packs nothing: "Pack" records its
// arguments in "pack.log" beside itself and returns a result whose file list names the scene
// with ".pak" and ".tex" appended. The control file "pack.ctl" beside it chooses other results
// per scene: "null SCENE" (no result) and "fail SCENE" (a result that says it failed). Loading
// and unloading are logged ("attach", "unload" for FreeLibrary, "exit" at process end).
#include "launch/ivl/packdll.h"
#include "standins/standinlog.h"

namespace
{
const char* const kLog = "pack.log";

bool HasLine(const std::vector<std::string>& lines, const std::string& line)
{
    for (const std::string& l : lines)
        if (l == line)
            return true;
    return false;
}
}  // namespace

extern "C" PackResult* __cdecl Pack(int nZero, const char* szScene, const char* szResourcesPath, const char* szGfxPath)
{
    static PackResult* s_pResult = new PackResult();
    std::string sScene = szScene ? szScene : "(null)";
    StandinLog(kLog, "Pack %d scene=%s resources=%s gfx=%s", nZero, sScene.c_str(),
               szResourcesPath ? szResourcesPath : "(null)", szGfxPath ? szGfxPath : "(null)");
    std::vector<std::string> control = StandinControlLines("pack.ctl");
    if (HasLine(control, "null " + sScene))
        return nullptr;
    s_pResult->m_bSuccess = HasLine(control, "fail " + sScene) ? 0 : 1;
    s_pResult->m_Files.Clear();
    s_pResult->m_Files.Add((sScene + ".pak").c_str());
    s_pResult->m_Files.Add((sScene + ".tex").c_str());
    return s_pResult;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD nReason, LPVOID pReserved)
{
    if (nReason == DLL_PROCESS_ATTACH)
        StandinLog(kLog, "attach");
    else if (nReason == DLL_PROCESS_DETACH)
        StandinLog(kLog, pReserved ? "exit" : "unload");
    return TRUE;
}
