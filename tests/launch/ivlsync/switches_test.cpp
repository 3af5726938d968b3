// Command-line switches of the sync program and the language file they select.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "launch/ivlsync/syncmain.h"

namespace
{
struct SwitchCase
{
    const char* m_szName;
    std::vector<const char*> m_Args;
    int m_nPort;
    bool m_bMinimised;
    bool m_bElevated;
    bool m_bUpdate;
    bool m_bQuiet;
    const char* m_szLanguage;
    const char* m_szFolder;
    const char* m_szServer;  // null: the default
};

const SwitchCase kSwitchCases[] = {
    {"nothing", {}, 50010, false, false, false, false, "", "", nullptr},
    {"plugin start", {"/m", "/l", "en"}, 50010, true, false, false, false, "en", "", nullptr},
    {"relaunch", {"-e"}, 50010, false, true, false, false, "", "", nullptr},
    {"port", {"/p", "4000"}, 4000, false, false, false, false, "", "", nullptr},
    {"port upper case dash", {"-P", "4001"}, 4001, false, false, false, false, "", "", nullptr},
    {"port then minimised", {"/p", "/m"}, 50010, true, false, false, false, "", "", nullptr},
    {"port without digits", {"/p", "x12"}, 50010, false, false, false, false, "", "", nullptr},
    {"port digits then text", {"/p", "123abc"}, 123, false, false, false, false, "", "", nullptr},
    {"port with sign", {"/p", "-5"}, 50010, false, false, false, false, "", "", nullptr},
    {"port last", {"/m", "/p"}, 50010, true, false, false, false, "", "", nullptr},
    {"port twice", {"/p", "1", "/p", "2"}, 2, false, false, false, false, "", "", nullptr},
    {"language last", {"/m", "/l"}, 50010, true, false, false, false, "", "", nullptr},
    {"language consumes a switch", {"/l", "/m"}, 50010, false, false, false, false, "/m", "", nullptr},
    {"language twice", {"/l", "de", "-L", "fr"}, 50010, false, false, false, false, "fr", "", nullptr},
    {"language folder", {"/ld", "C:\\lang", "/l", "en"}, 50010, false, false, false, false, "en", "C:\\lang", nullptr},
    {"update quiet server", {"/q", "/rs", "host:81", "/a"}, 50010, false, false, true, true, "", "", "host:81"},
    {"update anywhere", {"/l", "en", "-A"}, 50010, false, false, true, false, "en", "", nullptr},
    {"server last", {"/rs"}, 50010, false, false, false, false, "", "", ""},
    {"unknown ignored", {"/x", "hello", "/mm", "m", "/"}, 50010, false, false, false, false, "", "", nullptr},
    {"prefix is no match", {"/lang", "en", "/elevated"}, 50010, false, false, false, false, "", "", nullptr},
};

class SwitchScan : public testing::TestWithParam<SwitchCase>
{};

TEST_P(SwitchScan, Settings)
{
    const SwitchCase& c = GetParam();
    SyncSettings settings;
    ScanSwitches(static_cast<int>(c.m_Args.size()), c.m_Args.data(), settings);
    EXPECT_EQ(settings.m_nPort, c.m_nPort);
    EXPECT_EQ(settings.m_bMinimised, c.m_bMinimised);
    EXPECT_EQ(settings.m_bElevated, c.m_bElevated);
    EXPECT_EQ(settings.m_bUpdateMode, c.m_bUpdate);
    EXPECT_EQ(settings.m_bQuiet, c.m_bQuiet);
    EXPECT_STREQ(settings.m_sLanguage.GetData(), c.m_szLanguage);
    EXPECT_STREQ(settings.m_sLanguageFolder.GetData(), c.m_szFolder);
    if (c.m_szServer)
        EXPECT_STREQ(settings.m_sSettingsServer.GetData(), c.m_szServer);
    else
        EXPECT_STREQ(settings.m_sSettingsServer.GetData(), SyncSettings().m_sSettingsServer.GetData());
}

std::string CaseName(const testing::TestParamInfo<SwitchCase>& info)
{
    std::string sName;
    for (const char* p = info.param.m_szName; *p; ++p)
        sName += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return sName;
}

INSTANTIATE_TEST_SUITE_P(Cases, SwitchScan, testing::ValuesIn(kSwitchCases), CaseName);

TEST(SwitchScan, DefaultSettingsServerIsAHost)
{
    EXPECT_FALSE(SyncSettings().m_sSettingsServer.IsEmpty());
}

TEST(LanguageFilePath, FolderAndName)
{
    struct Case
    {
        std::vector<const char*> m_Args;
        const char* m_szPath;
    } cases[] = {
        {{}, ""},
        {{"/l"}, ""},
        {{"/l", "en"}, "locale\\ivlsync_en.xml"},
        {{"/l", "de", "/ld", "C:/lang/"}, "C:\\lang\\ivlsync_de.xml"},
        {{"/ld", "texts", "/l", "fr"}, "texts\\ivlsync_fr.xml"},
    };
    for (const Case& c : cases) {
        SyncSettings settings;
        ScanSwitches(static_cast<int>(c.m_Args.size()), c.m_Args.data(), settings);
        ZStringBuffer<256> sPath("previous");
        GetLanguageFilePath(settings, sPath);
        EXPECT_STREQ(sPath.GetData(), c.m_szPath);
    }
}
}  // namespace
