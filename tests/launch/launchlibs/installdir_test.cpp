// Install folder from the registry (HKEY_LOCAL_MACHINE, UTF-16 key names and values).
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include "common/system/zwin.h"
#include "launch/launchlibs/launchhelpers.h"
#include "testhelpers.h"

namespace
{
using ivltest::RegistryValue;

const wchar_t kPlainKey[] = L"Software\\Vost-Parn\\Ironvale";

// Keeps the shared plain key of the test prefix as it was.
class PlainKeyGuard
{
public:
    PlainKeyGuard()
    {
        HKEY hKey = nullptr;
        m_bExisted = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPlainKey, 0, KEY_READ, &hKey) == ERROR_SUCCESS;
        m_nBytes = sizeof(m_szValue);
        m_bHadValue = m_bExisted &&
            RegQueryValueExW(hKey, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(m_szValue), &m_nBytes) ==
                ERROR_SUCCESS;
        if (m_bExisted)
            RegCloseKey(hKey);
    }
    ~PlainKeyGuard()
    {
        if (!m_bExisted) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPlainKey);
            return;
        }
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPlainKey, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS)
            return;
        if (m_bHadValue)
            RegSetValueExW(hKey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(m_szValue), m_nBytes);
        else
            RegDeleteValueW(hKey, nullptr);
        RegCloseKey(hKey);
    }

private:
    bool m_bExisted;
    bool m_bHadValue;
    wchar_t m_szValue[1100];
    DWORD m_nBytes;
};

TEST(InstallRegistryKey, VersionSelectsKey)
{
    struct Case
    {
        const char* m_szVersion;
        const char* m_szKey;
    } cases[] = {
        {"live", "Software\\Vost-Parn\\Ironvale"},      {"LIVE", "Software\\Vost-Parn\\Ironvale"},
        {"", "Software\\Vost-Parn\\Ironvale"},          {nullptr, "Software\\Vost-Parn\\Ironvale"},
        {"beta", "Software\\Vost-Parn\\Ironvale beta"}, {"live2", "Software\\Vost-Parn\\Ironvale live2"},
    };
    for (const Case& c : cases) {
        ZStringBuffer<256> sKey;
        GetInstallRegistryKey(c.m_szVersion, sKey);
        EXPECT_STREQ(sKey.GetData(), c.m_szKey) << (c.m_szVersion ? c.m_szVersion : "(null)");
    }
}

TEST(InstallDirFromRegistry, RootAndSubFolder)
{
    struct Case
    {
        const wchar_t* m_szRoot;
        const char* m_szSub;
        const char* m_szPath;
    } cases[] = {
        {L"C:\\Games\\X", "live", "C:\\Games\\X\\live"},
        {L"C:\\Games\\X\\", "live", "C:\\Games\\X\\live"},
        {L"C:\\Games\\X", nullptr, "C:\\Games\\X\\"},
        {L"C:\\Games\\X", "", "C:\\Games\\X\\"},
        {L"C:\\Games\\X", "a\\b\\", "C:\\Games\\X\\a\\b\\"},
        {L"C:\\Jeux\\\u00c9t\u00e9 \u6e38\u620f", "live", "C:\\Jeux\\\xC3\x89t\xC3\xA9 \xE6\xB8\xB8\xE6\x88\x8F\\live"},
        {L"C:\\\U0001F600", nullptr, "C:\\\xF0\x9F\x98\x80\\"},
    };
    for (const Case& c : cases) {
        RegistryValue value = RegistryValue::Text(L"Software\\Vost-Parn\\Ironvale h5-test", c.m_szRoot);
        ASSERT_TRUE(value.IsCreated());
        ZStringBuffer<256> sPath("unchanged");
        EXPECT_TRUE(GetInstallDirFromRegistry(c.m_szSub, "h5-test", sPath));
        EXPECT_STREQ(sPath.GetData(), c.m_szPath);
    }
}

TEST(InstallDirFromRegistry, VersionNameIsUtf16)
{
    RegistryValue value = RegistryValue::Text(L"Software\\Vost-Parn\\Ironvale b\u00eata", L"D:\\Beta");
    ASSERT_TRUE(value.IsCreated());
    ZStringBuffer<256> sPath;
    EXPECT_TRUE(GetInstallDirFromRegistry("live", "b\xC3\xAAta", sPath));
    EXPECT_STREQ(sPath.GetData(), "D:\\Beta\\live");
}

TEST(InstallDirFromRegistry, LiveInAnyCaseReadsThePlainKey)
{
    PlainKeyGuard guard;
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPlainKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    const wchar_t kRoot[] = L"E:\\Plain";
    RegSetValueExW(hKey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(kRoot), sizeof(kRoot));
    RegCloseKey(hKey);
    for (const char* szVersion : {"live", "LIVE", "Live", ""}) {
        ZStringBuffer<256> sPath;
        EXPECT_TRUE(GetInstallDirFromRegistry("live", szVersion, sPath)) << szVersion;
        EXPECT_STREQ(sPath.GetData(), "E:\\Plain\\live") << szVersion;
    }
}

TEST(InstallDirFromRegistry, UnreadableEntriesLeaveThePathUnchanged)
{
    std::wstring sLong(1100, L'x');
    struct Case
    {
        const char* m_szName;
        bool m_bKey;
        const void* m_pData;
        DWORD m_nBytes;
    } cases[] = {
        {"no key", false, nullptr, 0},
        {"no default value", true, nullptr, 0},
        {"value above 2048 bytes", true, sLong.c_str(), static_cast<DWORD>((sLong.size() + 1) * 2)},
    };
    for (const Case& c : cases) {
        RegistryValue value(c.m_bKey ? L"Software\\Vost-Parn\\Ironvale h5-bad" : L"Software\\Vost-Parn\\h5-none",
                            c.m_pData, c.m_nBytes);
        ZStringBuffer<256> sPath("unchanged");
        EXPECT_FALSE(GetInstallDirFromRegistry("live", "h5-bad", sPath)) << c.m_szName;
        EXPECT_STREQ(sPath.GetData(), "unchanged") << c.m_szName;
    }
}

TEST(InstallDirFromRegistry, ValueWithoutTerminatorEndsAtItsByteCount)
{
    // Values stored without a terminating NUL: the text ends where the value's bytes end.
    std::wstring sRoot = L"C:\\" + std::wstring(1021, L'r') + L"zzzz";
    {
        RegistryValue value(L"Software\\Vost-Parn\\Ironvale h5-full", sRoot.data(), 2046);
        ASSERT_TRUE(value.IsCreated());
        ZStringBuffer<256> sPath;
        EXPECT_TRUE(GetInstallDirFromRegistry(nullptr, "h5-full", sPath));
        EXPECT_EQ(std::string(sPath.GetData()), "C:\\" + std::string(1020, 'r') + "\\");
    }
    {
        // All 2048 bytes: Windows hands them over without a terminator, Wine refuses the read.
        // Either way the text must not run past the value.
        RegistryValue value(L"Software\\Vost-Parn\\Ironvale h5-full", sRoot.data(), 2048);
        ASSERT_TRUE(value.IsCreated());
        ZStringBuffer<256> sPath("unchanged");
        if (GetInstallDirFromRegistry(nullptr, "h5-full", sPath))
            EXPECT_EQ(std::string(sPath.GetData()), "C:\\" + std::string(1021, 'r') + "\\");
        else
            EXPECT_STREQ(sPath.GetData(), "unchanged");
    }
}

}  // namespace
