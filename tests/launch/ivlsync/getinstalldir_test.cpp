// The sync program's install folder: the registry's answer, else the temporary folder.
#include <gtest/gtest.h>
#include <string>
#include "common/system/file.h"
#include "launch/ivlsync/ivlsyncwindowbase.h"
#include "testhelpers.h"

namespace
{
using ivltest::RegistryValue;

TEST(InstallDir, FallsBackToTheTemporaryFolder)
{
    ZStringBuffer<256> sTemp(File::GetTempPath());
    struct Case
    {
        const char* m_szSub;
        std::string m_sPath;
    } cases[] = {
        {"live", std::string(sTemp.GetData()) + "IVL\\live"},
        {"", std::string(sTemp.GetData()) + "IVL\\"},
        {nullptr, std::string(sTemp.GetData()) + "IVL"},
    };
    for (const Case& c : cases) {
        ZStringBuffer<256> sPath("unchanged");
        ZIvlSync::GetInstallDir(sPath, c.m_szSub, "h5-missing");
        EXPECT_EQ(std::string(sPath.GetData()), c.m_sPath);
    }
}

TEST(InstallDir, RegistryWinsOverTheFallback)
{
    RegistryValue value = RegistryValue::Text(L"Software\\Vost-Parn\\Ironvale h5-set", L"F:\\Set");
    ASSERT_TRUE(value.IsCreated());
    ZStringBuffer<256> sPath;
    ZIvlSync::GetInstallDir(sPath, "live", "h5-set");
    EXPECT_STREQ(sPath.GetData(), "F:\\Set\\live");
}
}  // namespace
