// The ActiveX control's DLL entry points: the DLL's attach, the class factory, and
// self-registration with the type library and the two component categories.
#include "common/system/zwin.h"
#include <comcat.h>
#include <olectl.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/containers/zstringbuffer.h"
#include "common/system/path.h"
#include "launch/vostx/activex.h"
#include "launch/vostx/activexcontrol.h"
#include "launch/vostx/comobject.h"
#include "launch/vostx/vostxcore.h"

HMODULE g_hModule = nullptr;

namespace
{
std::atomic<long> s_nLocks(0);

const char kTypeName[] = "Vostx Control (live)";

class ClassFactory : public IClassFactory
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        bool bOurs = riid == IID_IUnknown || riid == IID_IClassFactory;
        return ComAnswer(ppv, bOurs ? static_cast<IClassFactory*>(this) : nullptr);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (pOuter)
            return CLASS_E_NOAGGREGATION;
        return CreateControl(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL bLock) override
    {
        if (bLock)
            ++s_nLocks;
        else
            --s_nLocks;
        return S_OK;
    }
};

ClassFactory s_Factory;

// ---- Registration ----

void GuidText(const GUID& guid, char* szText)
{
    sprintf(szText, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned long)guid.Data1, guid.Data2,
            guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
            guid.Data4[6], guid.Data4[7]);
}

bool SetKey(const char* szKey, const char* szName, const char* szValue)
{
    HKEY hKey = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, szKey, 0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr) != ERROR_SUCCESS)
        return false;
    LONG n = ERROR_SUCCESS;
    if (szValue)
        n = RegSetValueExA(hKey, szName, 0, REG_SZ, (const BYTE*)szValue, (DWORD)strlen(szValue) + 1);
    RegCloseKey(hKey);
    return n == ERROR_SUCCESS;
}

bool ModulePath(wchar_t* szPath, DWORD nSize)
{
    DWORD n = GetModuleFileNameW(g_hModule, szPath, nSize);
    return n > 0 && n < nSize;
}

bool RegisterClassKeys()
{
    char szClsid[64], szLibid[64], szKey[256], szValue[MAX_PATH * 3 + 8];
    GuidText(CLSID_VostxCtrl, szClsid);
    GuidText(LIBID_VostxLib, szLibid);
    wchar_t szPath[MAX_PATH];
    if (!ModulePath(szPath, MAX_PATH))
        return false;
    char szPathA[MAX_PATH * 3];
    if (!WideCharToMultiByte(CP_ACP, 0, szPath, -1, szPathA, sizeof(szPathA), nullptr, nullptr))
        return false;
    bool b = SetKey(VOSTX_PROGID, nullptr, kTypeName);
    b = b && SetKey(VOSTX_PROGID "\\CLSID", nullptr, szClsid);
    snprintf(szKey, sizeof(szKey), "CLSID\\%s", szClsid);
    b = b && SetKey(szKey, nullptr, kTypeName);
    snprintf(szKey, sizeof(szKey), "CLSID\\%s\\ProgID", szClsid);
    b = b && SetKey(szKey, nullptr, VOSTX_PROGID);
    snprintf(szKey, sizeof(szKey), "CLSID\\%s\\InprocServer32", szClsid);
    b = b && SetKey(szKey, nullptr, szPathA) && SetKey(szKey, "ThreadingModel", "Apartment");
    snprintf(szKey, sizeof(szKey), "CLSID\\%s\\Control", szClsid);
    b = b && SetKey(szKey, nullptr, "");
    snprintf(szKey, sizeof(szKey), "CLSID\\%s\\ToolboxBitmap32", szClsid);
    snprintf(szValue, sizeof(szValue), "%s, 1", szPathA);
    b = b && SetKey(szKey, nullptr, szValue);
    snprintf(szKey, sizeof(szKey), "CLSID\\%s\\MiscStatus", szClsid);
    b = b && SetKey(szKey, nullptr, "0");
    snprintf(szKey, sizeof(szKey), "CLSID\\%s\\MiscStatus\\1", szClsid);
    snprintf(szValue, sizeof(szValue), "%lu", (unsigned long)kMiscStatus);
    b = b && SetKey(szKey, nullptr, szValue);
    snprintf(szKey, sizeof(szKey), "CLSID\\%s\\TypeLib", szClsid);
    b = b && SetKey(szKey, nullptr, szLibid);
    snprintf(szKey, sizeof(szKey), "CLSID\\%s\\Version", szClsid);
    b = b && SetKey(szKey, nullptr, "1.0");
    return b;
}

bool RemoveClassKeys()
{
    char szClsid[64], szKey[128];
    GuidText(CLSID_VostxCtrl, szClsid);
    snprintf(szKey, sizeof(szKey), "CLSID\\%s", szClsid);
    LONG n1 = RegDeleteTreeA(HKEY_CLASSES_ROOT, szKey);
    LONG n2 = RegDeleteTreeA(HKEY_CLASSES_ROOT, VOSTX_PROGID);
    return (n1 == ERROR_SUCCESS || n1 == ERROR_FILE_NOT_FOUND) && (n2 == ERROR_SUCCESS || n2 == ERROR_FILE_NOT_FOUND);
}

HRESULT WithCategories(HRESULT (*pfn)(ICatRegister*))
{
    ICatRegister* pRegister = nullptr;
    HRESULT e = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                                 (void**)&pRegister);
    if (FAILED(e))
        return e;
    e = pfn(pRegister);
    pRegister->Release();
    return e;
}

HRESULT CreateCategory(ICatRegister* pRegister, const CATID& catid, const wchar_t* szDescription)
{
    CATEGORYINFO info;
    memset(&info, 0, sizeof(info));
    info.catid = catid;
    info.lcid = 0x0409;
    wcsncpy(info.szDescription, szDescription, 127);
    info.szDescription[127] = 0;
    return pRegister->RegisterCategories(1, &info);
}

HRESULT PutInCategory(ICatRegister* pRegister, const CATID& catid)
{
    CATID ids[1] = {catid};
    return pRegister->RegisterClassImplCategories(CLSID_VostxCtrl, 1, ids);
}

HRESULT TakeOutOfCategory(ICatRegister* pRegister, const CATID& catid)
{
    CATID ids[1] = {catid};
    return pRegister->UnRegisterClassImplCategories(CLSID_VostxCtrl, 1, ids);
}

bool MakeTempCurrentFolder()
{
    const DWORD kMax = 10000;
    char* szTemp = new (std::nothrow) char[kMax];
    if (!szTemp)
        return false;
    DWORD n = GetTempPathA(kMax, szTemp);
    bool bOk = n > 0 && n < kMax;
    if (bOk) {
        ZStringBuffer<256> folder;
        JoinPath2(folder, szTemp, "IVL");
        CreateDirectoryPath(folder.GetData());
        SetCurrentDirectoryA(folder.GetData());
    }
    delete[] szTemp;
    return bOk;
}
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD nReason, LPVOID)
{
    if (nReason == DLL_PROCESS_ATTACH) {
        g_hModule = hInstance;
        DisableThreadLibraryCalls(hInstance);
        return MakeTempCurrentFolder() ? TRUE : FALSE;
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_VostxCtrl)
        return CLASS_E_CLASSNOTAVAILABLE;
    return s_Factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    // A released or reset control may leave its core's install thread running in this DLL.
    return g_nObjects == 0 && s_nLocks == 0 && VostxCore::GetInUseCount() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    wchar_t szPath[MAX_PATH];
    ITypeLib* pLib = nullptr;
    if (!ModulePath(szPath, MAX_PATH) || FAILED(LoadTypeLibEx(szPath, REGKIND_REGISTER, &pLib)))
        return SELFREG_E_TYPELIB;
    pLib->Release();
    if (!RegisterClassKeys())
        return SELFREG_E_CLASS;
    HRESULT e = WithCategories([](ICatRegister* p) {
        HRESULT e = CreateCategory(p, kCatSafeForInitializing, L"Controls safely initializable from persistent data!");
        return SUCCEEDED(e) ? PutInCategory(p, kCatSafeForInitializing) : e;
    });
    if (FAILED(e))
        return e;
    e = WithCategories([](ICatRegister* p) {
        HRESULT e = CreateCategory(p, kCatSafeForScripting, L"Controls safely scriptable!");
        return SUCCEEDED(e) ? PutInCategory(p, kCatSafeForScripting) : e;
    });
    return FAILED(e) ? e : S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
    if (FAILED(UnRegisterTypeLib(LIBID_VostxLib, 1, 0, 0, kind)))
        return SELFREG_E_TYPELIB;
    // Out of the categories while the class key still exists, then the class keys: a class's
    // categories are kept under its key, and once that is gone taking it out fails, so the
    // unregistration would report a failure after removing everything.
    HRESULT e1 = WithCategories([](ICatRegister* p) { return TakeOutOfCategory(p, kCatSafeForInitializing); });
    HRESULT e2 = WithCategories([](ICatRegister* p) { return TakeOutOfCategory(p, kCatSafeForScripting); });
    if (!RemoveClassKeys())
        return SELFREG_E_CLASS;
    if (FAILED(e1))
        return e1;
    return FAILED(e2) ? e2 : S_OK;
}
