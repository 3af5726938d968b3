// Helpers shared by the unit tests: a scoped temporary folder, whole-file reads and writes,
// capture of what the engine log displays, and a scoped registry value. They use Win32 directly,
// so that a fault in the engine's file or log code cannot hide behind its own test helpers.
#pragma once
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/containers/zstringbuffer.h"
#include "common/system/zlog.h"
#include "common/system/zwin.h"
#include "loopback.h"

namespace ivltest
{
inline std::wstring Wide(const std::string& sUtf8)
{
    ZWideText wide(sUtf8.c_str());
    return wide.c_str();
}

// The value of an environment variable of this process; empty when it is not set.
inline std::string EnvText(const char* szName)
{
    const char* sz = getenv(szName);
    return sz ? sz : "";
}

// A suite whose tests use sockets: Winsock runs from before its first test to after its last.
class WinsockTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        WSADATA data;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    }
    static void TearDownTestSuite() { WSACleanup(); }
};

// Position of a virtual function in its class's table of virtual operations, from a pointer to
// it (g++ follows the Itanium C++ ABI here: the pointer holds 1 + the entry's byte offset); -1 for
// a function that is not virtual.
template <class F>
int VirtualSlot(F pfnMember)
{
    struct Parts
    {
        ptrdiff_t nPointer;
        ptrdiff_t nAdjust;
    };
    static_assert(sizeof(F) == sizeof(Parts), "a pointer to a member function and its this adjustment");
    Parts parts;
    memcpy(&parts, &pfnMember, sizeof(parts));
    return (parts.nPointer & 1) ? static_cast<int>((parts.nPointer - 1) / static_cast<ptrdiff_t>(sizeof(void*))) : -1;
}

// One operation of a class and the slot its table must give it.
struct SlotCase
{
    const char* szName;
    int nSlot;
    int nActual;  // VirtualSlot of the operation
};

inline void ExpectSlots(std::initializer_list<SlotCase> cases)
{
    for (const SlotCase& c : cases)
        EXPECT_EQ(c.nSlot, c.nActual) << c.szName;
}

// Removes a file or a folder with everything in it, read-only entries too; true when it is gone.
inline bool RemoveTree(const std::string& sPath)
{
    std::wstring sWide = Wide(sPath);
    DWORD nAttributes = GetFileAttributesW(sWide.c_str());
    if (nAttributes == INVALID_FILE_ATTRIBUTES)
        return true;
    SetFileAttributesW(sWide.c_str(), nAttributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(nAttributes & FILE_ATTRIBUTE_DIRECTORY) || (nAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return (nAttributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(sWide.c_str()) : DeleteFileW(sWide.c_str());
    WIN32_FIND_DATAW data;
    HANDLE hFind = FindFirstFileW((sWide + L"\\*").c_str(), &data);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            std::wstring sName = data.cFileName;
            if (sName == L"." || sName == L"..")
                continue;
            ZStringBuffer<256> sChild;
            sChild.AssignUtf16(sName.c_str());
            RemoveTree(sPath + "\\" + sChild.GetData());
        } while (FindNextFileW(hFind, &data));
        FindClose(hFind);
    }
    return RemoveDirectoryW(sWide.c_str()) != 0;
}

// A new, empty folder in the system's temporary folder, named after the running test and this
// process (test programs run side by side); removed with everything in it when it goes.
class TempFolder
{
public:
    explicit TempFolder(const char* szName = nullptr)
    {
        wchar_t szTemp[MAX_PATH + 1];
        DWORD n = GetTempPathW(MAX_PATH + 1, szTemp);
        ZStringBuffer<256> sTemp;
        sTemp.AssignUtf16(n > 0 && n <= MAX_PATH ? szTemp : L".\\");
        if (!szName) {
            const ::testing::TestInfo* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
            szName = pInfo ? pInfo->name() : "test";
        }
        std::string sBase =
            std::string(sTemp.GetData()) + "ivltest_" + szName + "_" + std::to_string(GetCurrentProcessId());
        for (int i = 0; i < 1000 && m_sPath.empty(); ++i) {
            std::string sTry = sBase + "_" + std::to_string(i);
            if (CreateDirectoryW(Wide(sTry).c_str(), nullptr))
                m_sPath = sTry;
        }
        EXPECT_FALSE(m_sPath.empty()) << "no temporary folder made at " << sBase;
    }
    ~TempFolder()
    {
        if (!m_sPath.empty()) {
            EXPECT_TRUE(RemoveTree(m_sPath)) << m_sPath << " stays behind";
        }
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Without a trailing backslash.
    const std::string& Path() const { return m_sPath; }
    std::string At(const std::string& sName) const { return m_sPath + "\\" + sName; }

private:
    std::string m_sPath;
};

// Sets an environment variable of this process and puts the old value back when it goes.
class EnvironmentValue
{
public:
    EnvironmentValue(const char* szName, const std::string& sValue) : m_sName(Wide(szName))
    {
        wchar_t szOld[32768];
        DWORD n = GetEnvironmentVariableW(m_sName.c_str(), szOld, 32768);
        m_bHad = n > 0 && n < 32768;
        if (m_bHad)
            m_sOld = szOld;
        SetEnvironmentVariableW(m_sName.c_str(), Wide(sValue).c_str());
    }
    ~EnvironmentValue() { SetEnvironmentVariableW(m_sName.c_str(), m_bHad ? m_sOld.c_str() : nullptr); }
    EnvironmentValue(const EnvironmentValue&) = delete;
    EnvironmentValue& operator=(const EnvironmentValue&) = delete;

private:
    std::wstring m_sName;
    std::wstring m_sOld;
    bool m_bHad;
};

// The whole file (UTF-8 name); empty when it cannot be read.
inline std::string ReadWholeFile(const std::string& sPath)
{
    std::string sData;
    HANDLE h = CreateFileW(Wide(sPath).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return sData;
    char buffer[65536];
    DWORD nRead = 0;
    while (ReadFile(h, buffer, sizeof(buffer), &nRead, nullptr) && nRead > 0)
        sData.append(buffer, nRead);
    CloseHandle(h);
    return sData;
}

// Makes or replaces the file with the bytes; false when it cannot.
inline bool WriteWholeFile(const std::string& sPath, const std::string& sData)
{
    HANDLE h =
        CreateFileW(Wide(sPath).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD nWritten = 0;
    bool bOk =
        WriteFile(h, sData.data(), static_cast<DWORD>(sData.size()), &nWritten, nullptr) && nWritten == sData.size();
    CloseHandle(h);
    return bOk;
}

struct LoggedLine
{
    int32_t nLevel;
    std::string sCategory;
    std::string sText;
};

// While it lives, the engine log's display hook keeps every line (from any thread); the hook it
// replaced comes back when it goes. One at a time.
class LogCapture
{
public:
    LogCapture()
    {
        InitializeCriticalSection(&m_Lock);
        Active() = this;
        m_pfnOld = ZLog::SetDisplayHook(&Hook);
    }
    ~LogCapture()
    {
        ZLog::SetDisplayHook(m_pfnOld);
        Active() = nullptr;
        DeleteCriticalSection(&m_Lock);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LoggedLine> Lines()
    {
        EnterCriticalSection(&m_Lock);
        std::vector<LoggedLine> lines = m_Lines;
        LeaveCriticalSection(&m_Lock);
        return lines;
    }
    // Texts of the lines of one category (all when null).
    std::vector<std::string> Texts(const char* szCategory = nullptr)
    {
        std::vector<std::string> texts;
        for (const LoggedLine& line : Lines())
            if (!szCategory || line.sCategory == szCategory)
                texts.push_back(line.sText);
        return texts;
    }
    // Whether a line (of the category, when not null) holds the part.
    bool Has(const std::string& sPart, const char* szCategory = nullptr)
    {
        for (const std::string& sText : Texts(szCategory))
            if (sText.find(sPart) != std::string::npos)
                return true;
        return false;
    }
    void Clear()
    {
        EnterCriticalSection(&m_Lock);
        m_Lines.clear();
        LeaveCriticalSection(&m_Lock);
    }

private:
    static LogCapture*& Active()
    {
        static LogCapture* s_pActive = nullptr;
        return s_pActive;
    }
    static void Hook(int32_t nLevel, const char* szCategory, const char* szSource, const char* szText)
    {
        LogCapture* pCapture = Active();
        if (!pCapture)
            return;
        EnterCriticalSection(&pCapture->m_Lock);
        pCapture->m_Lines.push_back({nLevel, szCategory ? szCategory : "", szText ? szText : ""});
        LeaveCriticalSection(&pCapture->m_Lock);
    }

    CRITICAL_SECTION m_Lock;
    ZLogDisplayHook m_pfnOld;
    std::vector<LoggedLine> m_Lines;
};

// Writes the default value of HKEY_LOCAL_MACHINE\key (made when missing) and removes the key
// again when it goes.
class RegistryValue
{
public:
    RegistryValue(const std::wstring& sKey, const void* pData, DWORD nBytes, DWORD nType = REG_SZ) : m_sKey(sKey)
    {
        HKEY hKey = nullptr;
        m_bCreated = RegCreateKeyExW(HKEY_LOCAL_MACHINE, sKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                                     nullptr) == ERROR_SUCCESS;
        if (m_bCreated) {
            if (pData)
                RegSetValueExW(hKey, nullptr, 0, nType, static_cast<const BYTE*>(pData), nBytes);
            RegCloseKey(hKey);
        }
    }
    static RegistryValue Text(const std::wstring& sKey, const wchar_t* szValue)
    {
        return RegistryValue(sKey, szValue, static_cast<DWORD>((wcslen(szValue) + 1) * sizeof(wchar_t)));
    }
    RegistryValue(RegistryValue&& other) noexcept : m_sKey(other.m_sKey), m_bCreated(other.m_bCreated)
    {
        other.m_bCreated = false;
    }
    ~RegistryValue()
    {
        if (m_bCreated)
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_sKey.c_str());
    }
    RegistryValue(const RegistryValue&) = delete;
    RegistryValue& operator=(const RegistryValue&) = delete;
    bool IsCreated() const { return m_bCreated; }

private:
    std::wstring m_sKey;
    bool m_bCreated;
};
}  // namespace ivltest
