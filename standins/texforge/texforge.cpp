// Stands in for the outside image repacker texforge.dll. It repacks nothing: it records every
// call and every path it is given in "texforge.log" beside itself and calls the repack callback
// once per pack path. The control file "texforge.ctl" beside it, read at each repack call,
// holds lines "fail PATH" (the callback reports false for that path) and "late PATH" (the
// callback for that path comes after the call has returned, from a thread of the stand-in).
#include "launch/launchlibs/texforge_iface.h"
#include "standins/standinlog.h"
#include "common/containers/zstringarray.h"
#include "common/containers/zfilecatalog.h"

namespace
{
const char* const kLog = "texforge.log";

struct LateCall
{
    std::string m_sPath;
    bool m_bResult;
};

char FourCcChar(uint32_t nCode, int nShift)
{
    char c = static_cast<char>((nCode >> nShift) & 0xFF);
    return c ? c : '.';
}

class Repacker : public RepackerInterface
{
public:
    Repacker() : m_hLateThread(NULL), m_pfnCallback(nullptr), m_pContext(nullptr)
    {
        m_aTypes[0] = {0x44585431u, 0};  // "DXT1"
        m_aTypes[1] = {0x44585435u, 0};  // "DXT5"
        m_List.m_nCount = 2;
        m_List.m_pEntries = m_aTypes;
    }

    TexforgeTypeList* TEXFORGE_CALL GetImageTypes() override
    {
        StandinLog(kLog, "GetImageTypes");
        return &m_List;
    }

    bool TEXFORGE_CALL Initialise(const char* szStagingFolder, TexforgeLogFunc pfnLog, int nZero,
                                  ZFileCatalog* pCatalog) override
    {
        StandinLog(kLog, "Initialise %s %d catalog=%s", szStagingFolder ? szStagingFolder : "(null)", nZero,
                   pCatalog ? "set" : "null");
        if (pfnLog)
            pfnLog(0, 0, 0, "texforge stand-in ready");
        return true;
    }

    bool TEXFORGE_CALL SetUp(const char* szResourcesPath, int nZero1, int nZero2) override
    {
        StandinLog(kLog, "SetUp %s %d %d", szResourcesPath ? szResourcesPath : "(null)", nZero1, nZero2);
        return true;
    }

    bool TEXFORGE_CALL RepackFiles(const ZStringArray* pFiles, bool bAll, int nZero1, int nZero2,
                                   const char* szOperation) override
    {
        char szTypes[128] = "";
        for (int i = 0; i < m_List.m_nCount; ++i) {
            uint32_t n = m_aTypes[i].m_nCode;
            char szOne[16];
            snprintf(szOne, sizeof(szOne), "%s%c%c%c%c=%d", i ? "," : "", FourCcChar(n, 24), FourCcChar(n, 16),
                     FourCcChar(n, 8), FourCcChar(n, 0), m_aTypes[i].m_bRepack);
            strcat(szTypes, szOne);
        }
        int nCount = pFiles ? static_cast<int>(pFiles->Size()) : -1;
        StandinLog(kLog, "RepackFiles %s all=%d %d %d types=%s files=%d", szOperation ? szOperation : "(null)",
                   bAll ? 1 : 0, nZero1, nZero2, szTypes, nCount);
        for (int i = 0; i < nCount; ++i)
            StandinLog(kLog, "file %s", (*pFiles)[i].c_str());
        return true;
    }

    void TEXFORGE_CALL Repack(const ZStringArray* pPacks, RepackCallback pfnCallback, void* pContext,
                              const char* szOperation) override
    {
        WaitForLateCalls();
        std::vector<std::string> control = StandinControlLines("texforge.ctl");
        int nCount = pPacks ? static_cast<int>(pPacks->Size()) : 0;
        StandinLog(kLog, "Repack %s packs=%d", szOperation ? szOperation : "(null)", nCount);
        m_Late.clear();
        for (int i = 0; i < nCount; ++i) {
            const char* szPath = (*pPacks)[i].c_str();
            bool bResult = !HasLine(control, "fail ", szPath);
            StandinLog(kLog, "pack %s", szPath);
            if (HasLine(control, "late ", szPath)) {
                m_Late.push_back({szPath, bResult});
                continue;
            }
            StandinLog(kLog, "callback %s %d", szPath, bResult ? 1 : 0);
            if (pfnCallback)
                pfnCallback(szPath, bResult, pContext);
        }
        if (!m_Late.empty()) {
            m_pfnCallback = pfnCallback;
            m_pContext = pContext;
            m_hLateThread = CreateThread(NULL, 0, &Repacker::LateThread, this, 0, NULL);
        }
    }

    void TEXFORGE_CALL Release() override
    {
        WaitForLateCalls();
        StandinLog(kLog, "Release");
    }

private:
    static bool HasLine(const std::vector<std::string>& lines, const char* szKey, const char* szPath)
    {
        for (const std::string& line : lines)
            if (line.rfind(szKey, 0) == 0 && line.compare(strlen(szKey), std::string::npos, szPath) == 0)
                return true;
        return false;
    }

    // The late callbacks run once the repack call has returned to its caller.
    static DWORD WINAPI LateThread(void* pParam)
    {
        Repacker* pThis = static_cast<Repacker*>(pParam);
        for (const LateCall& call : pThis->m_Late) {
            StandinLog(kLog, "late callback %s %d", call.m_sPath.c_str(), call.m_bResult ? 1 : 0);
            if (pThis->m_pfnCallback)
                pThis->m_pfnCallback(call.m_sPath.c_str(), call.m_bResult, pThis->m_pContext);
        }
        return 0;
    }

    void WaitForLateCalls()
    {
        if (!m_hLateThread)
            return;
        WaitForSingleObject(m_hLateThread, INFINITE);
        CloseHandle(m_hLateThread);
        m_hLateThread = NULL;
    }

    TexforgeTypeEntry m_aTypes[2];
    TexforgeTypeList m_List;
    std::vector<LateCall> m_Late;
    HANDLE m_hLateThread;
    RepackCallback m_pfnCallback;
    void* m_pContext;
};

Repacker* s_pRepacker;
}  // namespace

extern "C" RepackerInterface* __cdecl GetInterface()
{
    StandinLog(kLog, "GetInterface");
    if (!s_pRepacker)
        s_pRepacker = new Repacker();
    return s_pRepacker;
}
