// The texforge.dll stand-in's downloader side, which the sync program's tests rely on: one
// callback per pack path with the same text, failures chosen by its control file, and late
// callbacks from a thread of its own that have all come once slot 5 returns.
#include <gtest/gtest.h>
#include "launch/launchlibs/texforge_iface.h"
#include "common/containers/zstringarray.h"
#include "common/system/zwin.h"
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace
{
std::string Beside(const char* szName)
{
    char szPath[MAX_PATH];
    GetModuleFileNameA(NULL, szPath, MAX_PATH);
    *(strrchr(szPath, '\\') + 1) = 0;
    return std::string(szPath) + szName;
}

struct Callbacks
{
    std::mutex m_Lock;
    std::vector<std::string> m_Calls;
    DWORD m_nCallerThread;
    bool m_bOtherThread = false;
};

void __cdecl OnRepacked(const char* szPath, bool bResult, void* pContext)
{
    Callbacks* p = static_cast<Callbacks*>(pContext);
    std::lock_guard<std::mutex> lock(p->m_Lock);
    p->m_Calls.push_back(std::string(szPath) + (bResult ? " ok" : " failed"));
    if (GetCurrentThreadId() != p->m_nCallerThread)
        p->m_bOtherThread = true;
}

std::vector<std::string> s_LogLines;
void __cdecl OnLog(int, int, int, const char* szText)
{
    s_LogLines.push_back(szText);
}

TEST(TexforgeStandin, CallbacksPerPath)
{
    {
        std::ofstream control(Beside("texforge.ctl"));
        control << "fail gfx\\b\\pack.bin\nlate gfx\\c\\pack.bin\n";
    }
    HMODULE hLibrary = LoadLibraryA("texforge.dll");
    ASSERT_NE(nullptr, hLibrary);
    auto pfnGetInterface = reinterpret_cast<TexforgeGetInterfaceFunc>(GetProcAddress(hLibrary, "GetInterface"));
    ASSERT_NE(nullptr, pfnGetInterface);
    RepackerInterface* pRepacker = pfnGetInterface();
    ASSERT_NE(nullptr, pRepacker);
    EXPECT_TRUE(pRepacker->Initialise("_packed", &OnLog, 0, nullptr));
    EXPECT_EQ(1u, s_LogLines.size());

    ZStringArray packs;
    for (const char* szPath : {"gfx\\a\\pack.bin", "gfx\\b\\pack.bin", "gfx\\c\\pack.bin"})
        packs.Add(szPath);
    Callbacks callbacks;
    callbacks.m_nCallerThread = GetCurrentThreadId();
    pRepacker->Repack(&packs, &OnRepacked, &callbacks, "RepackDownloadedFiles");
    pRepacker->Release();
    {
        std::lock_guard<std::mutex> lock(callbacks.m_Lock);
        EXPECT_EQ((std::vector<std::string>{"gfx\\a\\pack.bin ok", "gfx\\b\\pack.bin failed", "gfx\\c\\pack.bin ok"}),
                  callbacks.m_Calls);
        EXPECT_TRUE(callbacks.m_bOtherThread);
    }
    FreeLibrary(hLibrary);
    DeleteFileA(Beside("texforge.ctl").c_str());
    DeleteFileA(Beside("texforge.log").c_str());
}
}  // namespace
