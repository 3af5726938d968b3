#include "launch/launchlibs/launchhelpers.h"

#include <cstdlib>
#include "common/system/zwin.h"
#include "common/containers/zstr.h"
#include "common/system/zlog.h"

namespace
{
// Bytes of the default value that can be read (1024 UTF-16 units).
const DWORD kValueBytes = 2048;
}

void GetInstallRegistryKey(const char* szVersion, ZStringBase& keyName)
{
    if (!szVersion || !szVersion[0] || ZStrICompare(szVersion, "live") == 0)
        keyName.Assign("Software\\Vost-Parn\\Ironvale");
    else
        keyName.Format("Software\\Vost-Parn\\Ironvale %s", szVersion);
}

bool GetInstallDirFromRegistry(const char* szSub, const char* szVersion, ZStringBase& path)
{
    ZStringBuffer<256> sKey;
    GetInstallRegistryKey(szVersion, sKey);
    wchar_t* szKeyName = static_cast<wchar_t*>(malloc((sKey.GetLength() + 1) * sizeof(wchar_t)));
    if (!szKeyName)
        return false;
    ZUtf8ToUtf16(szKeyName, sKey.GetData());

    HKEY hKey = nullptr;
    LONG nCode = RegOpenKeyExW(HKEY_LOCAL_MACHINE, szKeyName, 0, KEY_READ, &hKey);
    free(szKeyName);
    if (nCode != ERROR_SUCCESS)
    {
        ZLog::Write(ZLOG_CATEGORY, __FILE__,
                    ZLogText("RegOpenKeyEx(%s) failed, code %d", sKey.GetData(), static_cast<int>(nCode)).GetData());
        return false;
    }
    // One unit more than the value may fill, so a value of the full 2048 bytes still ends.
    wchar_t szValue[kValueBytes / 2 + 1];
    DWORD nBytes = kValueBytes;
    DWORD nType = 0;
    nCode = RegQueryValueExW(hKey, nullptr, nullptr, &nType, reinterpret_cast<BYTE*>(szValue), &nBytes);
    RegCloseKey(hKey);
    if (nCode != ERROR_SUCCESS)
    {
        ZLog::Write(ZLOG_CATEGORY, __FILE__,
                    ZLogText("RegQueryValueEx() failed, code %d", static_cast<int>(nCode)).GetData());
        return false;
    }
    szValue[nBytes / 2] = 0;

    // UTF-16 to UTF-8, with surrogate pairs combined.
    ZStringBuffer<256> sRoot;
    for (const wchar_t* p = szValue; *p; ++p)
    {
        unsigned nCodePoint = static_cast<unsigned short>(*p);
        if (nCodePoint >= 0xD800 && nCodePoint < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000)
        {
            nCodePoint = 0x10000 + ((nCodePoint - 0xD800) << 10) + (static_cast<unsigned short>(p[1]) - 0xDC00);
            ++p;
        }
        char szBytes[8];
        int nCount = ZUtf8Encode(szBytes, nCodePoint);
        szBytes[nCount] = 0;
        sRoot.Append(szBytes);
    }
    path.AssignFrom(sRoot);
    if (!path.EndsWith("\\"))
        path.AppendChar('\\');
    if (szSub)
        path.Append(szSub);
    return true;
}
