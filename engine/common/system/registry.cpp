#include "common/system/registry.h"
#include "common/system/zwin.h"

ZRegistry::Result ZRegistry::ReadMachineDefault(const char* szKey, ZStringBase& value, long* pnCode)
{
    long nUnused;
    long& nCode = pnCode ? *pnCode : nUnused;
    ZWideText keyName(szKey);
    if (!keyName.Get()) {
        nCode = ERROR_NOT_ENOUGH_MEMORY;
        return OPEN_FAILED;
    }
    HKEY hKey = nullptr;
    nCode = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName.Get(), 0, KEY_READ, &hKey);
    if (nCode != ERROR_SUCCESS)
        return OPEN_FAILED;
    // One unit more than the value may fill, so a value of the full size still ends.
    wchar_t szValue[VALUE_BYTES / 2 + 1];
    DWORD nBytes = VALUE_BYTES;
    DWORD nType = 0;
    nCode = RegQueryValueExW(hKey, nullptr, nullptr, &nType, reinterpret_cast<BYTE*>(szValue), &nBytes);
    RegCloseKey(hKey);
    if (nCode != ERROR_SUCCESS)
        return QUERY_FAILED;
    szValue[nBytes / 2] = 0;
    value.AssignUtf16(szValue);
    return READ_OK;
}
