#include "launch/launchlibs/launchhelpers.h"

#include "common/containers/zstr.h"
#include "common/system/registry.h"
#include "common/system/zlog.h"

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
    ZStringBuffer<256> sRoot;
    long nCode = 0;
    switch (ZRegistry::ReadMachineDefault(sKey.GetData(), sRoot, &nCode)) {
    case ZRegistry::OPEN_FAILED:
        ZLog::Write(ZLOG_CATEGORY, __FILE__,
                    ZLogText("RegOpenKeyEx(%s) failed, code %d", sKey.GetData(), static_cast<int>(nCode)).GetData());
        return false;
    case ZRegistry::QUERY_FAILED:
        ZLog::Write(ZLOG_CATEGORY, __FILE__,
                    ZLogText("RegQueryValueEx() failed, code %d", static_cast<int>(nCode)).GetData());
        return false;
    default: break;
    }
    path.AssignFrom(sRoot);
    if (!path.EndsWith("\\"))
        path.AppendChar('\\');
    if (szSub)
        path.Append(szSub);
    return true;
}
