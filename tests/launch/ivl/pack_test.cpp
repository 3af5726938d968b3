// The application object's pack steps against the pack.dll and texforge.dll stand-ins, which
// lie beside this test and log what they are given there.
#include <gtest/gtest.h>
#include "launch/ivl/globvals.h"
#include "launch/ivl/zivl.h"
#include "common/system/zwin.h"
#include <fstream>
#include <sstream>
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

std::vector<std::string> Lines(const char* szName)
{
    std::vector<std::string> lines;
    std::ifstream file(Beside(szName));
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

class PackTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const char* szName : {"pack.log", "texforge.log"})
            DeleteFileA(Beside(szName).c_str());
        std::ofstream control(Beside("pack.ctl"));
        control << "null scenes\\broken.xml\nfail scenes\\refused.xml\n";
        ZOptions::SetString("resource.ResourcesPath", "res\\");
        ZOptions::SetString("resource.GfxPath", "");
        ZOptions::SetString("resourcePack.GfxPath", "gfxpack\\");
        ZOptions::SetBool("resource.repack", false);
        ZOptions::SetBool("resource.repack.DXT5", true);
    }
    void TearDown() override
    {
        for (const char* szName : {"pack.ctl", "pack.log", "texforge.log", "globals.log"})
            DeleteFileA(Beside(szName).c_str());
    }
};

// A pack step frees pack.dll on every path and fails when pack.dll says the pack failed.
TEST_F(PackTest, ResultsAndUnloadOfEachPackStep)
{
    struct Case
    {
        const char* m_szName;
        const char* m_szScene;
        int m_nStep;  // 0 Pack, 1 PackAndRepack, 2 PackScene without repack, 3 PackScene with repack
        bool m_bResult;
        const char* m_szRepack;  // the repacker's call, or null when it must not run
    };
    const Case cases[] = {
        {"Pack", "scenes\\hall.xml", 0, true, nullptr},
        {"Pack of a scene pack.dll cannot read", "scenes\\broken.xml", 0, false, nullptr},
        {"Pack that pack.dll reports as failed", "scenes\\refused.xml", 0, false, nullptr},
        {"PackAndRepack", "scenes\\hall.xml", 1, true,
         "RepackFiles PackAndRepack all=0 0 0 types=DXT1=0,DXT5=1 files=2"},
        {"PackAndRepack that pack.dll reports as failed", "scenes\\refused.xml", 1, false, nullptr},
        {"PackScene without repack", "scenes\\hall.xml", 2, true, nullptr},
        {"PackScene with repack", "scenes\\hall.xml", 3, true,
         "RepackFiles PackRepack all=0 0 0 types=DXT1=0,DXT5=1 files=2"},
        {"PackScene that pack.dll reports as failed", "scenes\\refused.xml", 3, false, nullptr},
        {"PackScene of a scene pack.dll cannot read", "scenes\\broken.xml", 2, false, nullptr},
    };
    ZIvL* pApp = ZIvL::Get();
    for (const Case& c : cases) {
        DeleteFileA(Beside("pack.log").c_str());
        DeleteFileA(Beside("texforge.log").c_str());
        bool bResult = false;
        switch (c.m_nStep) {
        case 0: bResult = pApp->Pack(c.m_szScene); break;
        case 1: bResult = pApp->PackAndRepack(c.m_szScene); break;
        case 2: bResult = pApp->PackScene(c.m_szScene, false); break;
        case 3: bResult = pApp->PackScene(c.m_szScene, true); break;
        }
        EXPECT_EQ(c.m_bResult, bResult) << c.m_szName;
        std::vector<std::string> pack = Lines("pack.log");
        ASSERT_EQ(3u, pack.size()) << c.m_szName;
        EXPECT_EQ("attach", pack[0]) << c.m_szName;
        EXPECT_EQ(std::string("Pack 0 scene=") + c.m_szScene + " resources=res\\ gfx=gfxpack\\", pack[1]) << c.m_szName;
        EXPECT_EQ("unload", pack[2]) << c.m_szName;

        std::vector<std::string> texforge = Lines("texforge.log");
        if (!c.m_szRepack) {
            EXPECT_TRUE(texforge.empty()) << c.m_szName;
            continue;
        }
        std::vector<std::string> expected = {"GetInterface",
                                             "SetUp res\\ 0 0",
                                             "GetImageTypes",
                                             c.m_szRepack,
                                             std::string("file ") + c.m_szScene + ".pak",
                                             std::string("file ") + c.m_szScene + ".tex",
                                             "Release"};
        EXPECT_EQ(expected, texforge) << c.m_szName;
    }
}

TEST_F(PackTest, RepackEverythingSkipsTheTypeList)
{
    ZOptions::SetBool("resource.repack", true);
    ZOptions::SetString("resource.GfxPath", "gfx\\");
    EXPECT_TRUE(ZIvL::Get()->PackScene("scenes\\hall.xml", true));
    std::vector<std::string> texforge = Lines("texforge.log");
    ASSERT_EQ(7u - 1, texforge.size());
    EXPECT_EQ("RepackFiles PackRepack all=1 0 0 types=DXT1=0,DXT5=0 files=2", texforge[2]);
    EXPECT_EQ("Pack 0 scene=scenes\\hall.xml resources=res\\ gfx=gfx\\", Lines("pack.log")[1]);
}
}  // namespace
