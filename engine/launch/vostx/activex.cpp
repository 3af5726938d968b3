// The plug-in as an ActiveX control on plain COM: the control object (IDispatch with InitVostX
// and GetVersion, IOleObject for the client site, IPersistStreamInit for reset), its class
// factory, self-registration with the type library and the two component categories, and the
// core whose page calls reach the page's script from the install thread through marshalling.
#include "common/system/zwin.h"
#include <comcat.h>
#include <olectl.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "common/containers/zstringarray.h"
#include "common/system/path.h"
#include "common/system/zlog.h"
#include "common/system/zwin.h"
#include "launch/vostx/activex.h"
#include "launch/vostx/vostxcore.h"

namespace
{
HMODULE s_hModule = nullptr;
volatile long s_nObjects = 0;
volatile long s_nLocks = 0;

const unsigned kServerGrowMin = 32;
const DWORD kMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INVISIBLEATRUNTIME | OLEMISC_INSIDEOUT |
    OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;
static_assert(kMiscStatus == 0x20491, "misc status of the control");

const char kTypeName[] = "Vostx Control (live)";

// {7DD95801-9882-11CF-9FA9-00AA006C42C4} and {7DD95802-...}: the published categories.
const CATID kCatSafeForScripting = {0x7DD95801, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};
const CATID kCatSafeForInitializing = {0x7DD95802, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};

int ThreadId()
{
    return (int)GetCurrentThreadId();
}

// The whole text of a BSTR in the thread's ANSI code page; a null BSTR is empty.
ZStringBuffer<256> Narrow(BSTR bstr)
{
    ZStringBuffer<256> text;
    if (!bstr)
        return text;
    int nUnits = (int)SysStringLen(bstr);
    int nBytes = WideCharToMultiByte(CP_THREAD_ACP, 0, bstr, nUnits, nullptr, 0, nullptr, nullptr);
    if (nBytes <= 0)
        return text;
    if (!text.Reserve(nBytes + 1))
        return text;  // a page's text too long for memory reads as empty
    WideCharToMultiByte(CP_THREAD_ACP, 0, bstr, nUnits, text.GetData(), nBytes, nullptr, nullptr);
    text.GetData()[nBytes] = 0;
    ZStringBuffer<256> copy;
    copy.Assign(text.GetData(), nBytes);
    return copy;
}

BSTR Widen(const char* szText)
{
    int nUnits = MultiByteToWideChar(CP_THREAD_ACP, 0, szText, -1, nullptr, 0);
    if (nUnits <= 0)
        return SysAllocString(L"");
    BSTR bstr = SysAllocStringLen(nullptr, (UINT)(nUnits - 1));
    if (bstr)
        MultiByteToWideChar(CP_THREAD_ACP, 0, szText, -1, bstr, nUnits);
    return bstr;
}

class CvostxCtrl;

// Carries the page script from the page's thread to the install thread.
struct ScriptThreadData
{
    IStream* m_pStream;
    IDispatch* m_pScript;
};

class VostxActiveXCore : public VostxCore
{
public:
    VostxActiveXCore(const char* szName, IOleClientSite* pSite) : VostxCore(szName), m_pSite(pSite)
    {
        if (m_pSite)
            m_pSite->AddRef();
    }
    // The control is going: later calls find no site.
    void Detach()
    {
        m_SiteLock.Enter();
        IOleClientSite* pSite = m_pSite;
        m_pSite = nullptr;
        m_SiteLock.Leave();
        if (pSite)
            pSite->Release();
    }
    void SetSite(IOleClientSite* pSite)
    {
        if (pSite)
            pSite->AddRef();
        m_SiteLock.Enter();
        IOleClientSite* pOld = m_pSite;
        m_pSite = pSite;
        m_SiteLock.Leave();
        if (pOld)
            pOld->Release();
    }

    void* CreateThreadData() override;
    void OnThreadStart() override;
    void OnThreadEnd(void* pThreadData) override;
    void CallFlash(const char* szMethod, const char* szText, float fValue, const char* szId, void* pData) override;
    void CallFlashError(const char* szMethod, const char* szText, const char* szId, void* pData) override;

private:
    ~VostxActiveXCore() override { Detach(); }
    IDispatch* GetScriptRaw();
    IDispatch* GetScript(ScriptThreadData* pData);
    HRESULT DispatchInvoke(IDispatch* pDispatch, const char* szName, WORD nFlags, VARIANT* pArgs, UINT nCount,
                           VARIANT* pResult);
    HRESULT DispatchInvoke1(IDispatch* pDispatch, const char* szName, WORD nFlags, const char* szText,
                            VARIANT* pResult);
    bool GetFlashObject(const char* szId, VARIANT* pObject, ScriptThreadData* pData);

    ZCriticalSection m_SiteLock;
    IOleClientSite* m_pSite;
};

IDispatch* VostxActiveXCore::GetScriptRaw()
{
    IDispatch* pScript = nullptr;
    m_SiteLock.Enter();
    IOleClientSite* pSite = m_pSite;
    if (pSite)
        pSite->AddRef();
    m_SiteLock.Leave();
    if (pSite) {
        IOleContainer* pContainer = nullptr;
        if (SUCCEEDED(pSite->GetContainer(&pContainer)) && pContainer) {
            IVostxHtmlDocument* pDocument = nullptr;
            if (SUCCEEDED(pContainer->QueryInterface(IID_IVostxHtmlDocument, (void**)&pDocument)) && pDocument) {
                if (FAILED(pDocument->get_Script(&pScript)))
                    pScript = nullptr;
                pDocument->Release();
            }
            pContainer->Release();
        }
        pSite->Release();
    }
    CoreLog("Thread %d GetScriptRaw() returning %p\n", ThreadId(), (void*)pScript);
    return pScript;
}

void* VostxActiveXCore::CreateThreadData()
{
    ScriptThreadData* pData = new (std::nothrow) ScriptThreadData{nullptr, nullptr};
    if (!pData)
        return nullptr;
    IDispatch* pScript = GetScriptRaw();
    HRESULT e = pScript ? CoMarshalInterThreadInterfaceInStream(IID_IDispatch, pScript, &pData->m_pStream) : E_POINTER;
    if (!SUCCEEDED(e)) {
        ZAssertFailed(ZLOG_CATEGORY, "activex", __LINE__, "SUCCEEDED(e)");
        pData->m_pStream = nullptr;
    }
    CoreLog("Thread %d preparing another thread. Stream %p, xdata %p\n", ThreadId(), (void*)pData->m_pStream,
            (void*)pData);
    if (pScript)
        pScript->Release();
    return pData;
}

void VostxActiveXCore::OnThreadStart()
{
    CoreLog("Thread %d starting\n", ThreadId());
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
}

IDispatch* VostxActiveXCore::GetScript(ScriptThreadData* pData)
{
    if (!pData) {
        CoreLog("Thread %d using unmarshalled script\n", ThreadId());
        return GetScriptRaw();
    }
    if (pData->m_pScript) {
        ULONG nRefs = pData->m_pScript->AddRef();
        CoreLog("Thread %d using cached script %p. refcnt %d\n", ThreadId(), (void*)pData->m_pScript, (int)nRefs);
        return pData->m_pScript;
    }
    if (pData->m_pStream) {
        IStream* pStream = pData->m_pStream;
        pData->m_pStream = nullptr;
        HRESULT e = CoGetInterfaceAndReleaseStream(pStream, IID_IDispatch, (void**)&pData->m_pScript);
        if (FAILED(e))
            pData->m_pScript = nullptr;
        CoreLog("Thread %d demarshalling stream %p into %p\n", ThreadId(), (void*)pStream, (void*)pData->m_pScript);
        if (pData->m_pScript) {
            pData->m_pScript->AddRef();
            return pData->m_pScript;
        }
    }
    return nullptr;
}

void VostxActiveXCore::OnThreadEnd(void* pThreadData)
{
    ScriptThreadData* pData = static_cast<ScriptThreadData*>(pThreadData);
    CoreLog("Thread %d terminating. xdata %p\n", ThreadId(), pThreadData);
    if (pData) {
        if (pData->m_pStream) {
            // A stream nobody unmarshalled: release the marshalled reference it carries.
            IStream* pStream = pData->m_pStream;
            CoReleaseMarshalData(pStream);
            ULONG nRefs = pStream->Release();
            CoreLog("Thread %d releasing stream %p. new refcnt %d.\n", ThreadId(), (void*)pStream, (int)nRefs);
        }
        if (pData->m_pScript) {
            ULONG nRefs = pData->m_pScript->Release();
            CoreLog("Thread %d releasing script %p. new refcnt %d.\n", ThreadId(), (void*)pData->m_pScript, (int)nRefs);
        }
        delete pData;
    }
    CoUninitialize();
}

HRESULT VostxActiveXCore::DispatchInvoke(IDispatch* pDispatch, const char* szName, WORD nFlags, VARIANT* pArgs,
                                         UINT nCount, VARIANT* pResult)
{
    BSTR bstrName = Widen(szName);
    LPOLESTR pName = bstrName;
    DISPID id = 0;
    HRESULT e = pDispatch->GetIDsOfNames(IID_NULL, &pName, 1, LOCALE_SYSTEM_DEFAULT, &id);
    SysFreeString(bstrName);
    if (FAILED(e)) {
        CoreLog("Thread %d: GetIDsOfNames(%s) failed with %d\n", ThreadId(), szName, (int)e);
        return e;
    }
    CoreLog("Thread %d: GetIDsOfNames(%s) Succeeded\n", ThreadId(), szName);
    DISPPARAMS params = {pArgs, nullptr, nCount, 0};
    return pDispatch->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, nFlags, &params, pResult, nullptr, nullptr);
}

HRESULT VostxActiveXCore::DispatchInvoke1(IDispatch* pDispatch, const char* szName, WORD nFlags, const char* szText,
                                          VARIANT* pResult)
{
    VARIANT arg;
    VariantInit(&arg);
    if (szText) {
        arg.vt = VT_BSTR;
        arg.bstrVal = Widen(szText);
    }
    HRESULT e = DispatchInvoke(pDispatch, szName, nFlags, szText ? &arg : nullptr, szText ? 1 : 0, pResult);
    VariantClear(&arg);
    return e;
}

bool VostxActiveXCore::GetFlashObject(const char* szId, VARIANT* pObject, ScriptThreadData* pData)
{
    IDispatch* pScript = GetScript(pData);
    if (!pScript) {
        CoreLog("GetFlashObject/GetScript() failed\n");
        return false;
    }
    VARIANT document;
    VariantInit(&document);
    HRESULT e = DispatchInvoke(pScript, "document", DISPATCH_PROPERTYGET, nullptr, 0, &document);
    bool bFound = false;
    if (SUCCEEDED(e) && document.vt != VT_DISPATCH) {
        ZAssertFailed(ZLOG_CATEGORY, __FILE__, __LINE__, "domDocument.vt == (VT_DISPATCH)");
        e = E_NOINTERFACE;
    }
    if (FAILED(e)) {
        CoreLog("GetFlashObject/document failed\n");
    } else {
        e = DispatchInvoke1(document.pdispVal, "getElementById", DISPATCH_METHOD, szId, pObject);
        if (FAILED(e))
            CoreLog("GetFlashObject/getElementById(%s) failed\n", szId);
        else if (pObject->vt != VT_DISPATCH)
            ZAssertFailed(ZLOG_CATEGORY, __FILE__, __LINE__, "pFlashObject->vt == VT_DISPATCH");
        else if (!pObject->pdispVal)
            CoreLog("GetFlashObject/pdispVal is NULL\n");
        else
            bFound = true;
        if (!bFound)
            VariantClear(pObject);
    }
    VariantClear(&document);
    pScript->Release();
    return bFound;
}

void VostxActiveXCore::CallFlash(const char* szMethod, const char* szText, float fValue, const char* szId, void* pData)
{
    CoreLog("Calling Flash: %s.%s(%s, %f)\n", szId, szMethod, szText, (double)fValue);
    VARIANT object;
    VariantInit(&object);
    if (!GetFlashObject(szId, &object, static_cast<ScriptThreadData*>(pData))) {
        CoreLog("GetFlashObject(%s) failed\n", szId);
        return;
    }
    VARIANT args[2];  // in reverse: the value, then the text
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[0].vt = VT_R4;
    args[0].fltVal = fValue;
    args[1].vt = VT_BSTR;
    args[1].bstrVal = Widen(szText);
    VARIANT result;
    VariantInit(&result);
    DispatchInvoke(object.pdispVal, szMethod, DISPATCH_METHOD, args, 2, &result);
    VariantClear(&result);
    VariantClear(&args[1]);
    VariantClear(&object);
}

void VostxActiveXCore::CallFlashError(const char* szMethod, const char* szText, const char* szId, void* pData)
{
    VARIANT object;
    VariantInit(&object);
    if (!GetFlashObject(szId, &object, static_cast<ScriptThreadData*>(pData))) {
        CoreLog("GetFlashObject(%s) failed\n", szId);
        return;
    }
    VARIANT result;
    VariantInit(&result);
    DispatchInvoke1(object.pdispVal, szMethod, DISPATCH_METHOD, szText, &result);
    VariantClear(&result);
    VariantClear(&object);
}

// ---- The control ----

class CvostxCtrl : public IDispatch, public IOleObject, public IPersistStreamInit
{
public:
    CvostxCtrl() : m_nRefs(1), m_pSite(nullptr), m_pCore(nullptr) { InterlockedIncrement(&s_nObjects); }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch)
            *ppv = static_cast<IDispatch*>(this);
        else if (riid == IID_IOleObject)
            *ppv = static_cast<IOleObject*>(this);
        else if (riid == IID_IPersistStreamInit || riid == IID_IPersist)
            *ppv = static_cast<IPersistStreamInit*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return (ULONG)InterlockedIncrement(&m_nRefs); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        long n = InterlockedDecrement(&m_nRefs);
        if (n == 0)
            delete this;
        return (ULONG)n;
    }

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pCount) override
    {
        *pCount = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT nIndex, LCID lcid, ITypeInfo** ppInfo) override
    {
        *ppInfo = nullptr;
        if (nIndex != 0)
            return DISP_E_BADINDEX;
        ITypeLib* pLib = nullptr;
        HRESULT e = LoadRegTypeLib(LIBID_VostxLib, 1, 0, lcid, &pLib);
        if (FAILED(e))
            return e;
        e = pLib->GetTypeInfoOfGuid(CLSID_VostxCtrl, ppInfo);
        pLib->Release();
        return e;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* pNames, UINT nCount, LCID, DISPID* pIds) override
    {
        HRESULT e = S_OK;
        for (UINT i = 0; i < nCount; ++i) {
            if (i == 0 && _wcsicmp(pNames[i], L"InitVostX") == 0)
                pIds[i] = DISPID_VOSTX_INITVOSTX;
            else if (i == 0 && _wcsicmp(pNames[i], L"GetVersion") == 0)
                pIds[i] = DISPID_VOSTX_GETVERSION;
            else {
                pIds[i] = DISPID_UNKNOWN;
                e = DISP_E_UNKNOWNNAME;
            }
        }
        return e;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD nFlags, DISPPARAMS* pParams, VARIANT* pResult,
                                     EXCEPINFO*, UINT*) override
    {
        if (!(nFlags & DISPATCH_METHOD))
            return DISP_E_MEMBERNOTFOUND;
        if (id == DISPID_VOSTX_GETVERSION) {
            if (pResult) {
                VariantInit(pResult);
                pResult->vt = VT_BSTR;
                pResult->bstrVal = SysAllocString(L"1.0.4.6");
            }
            return S_OK;
        }
        if (id != DISPID_VOSTX_INITVOSTX)
            return DISP_E_MEMBERNOTFOUND;
        if (!pParams || pParams->cArgs != 7)
            return DISP_E_BADPARAMCOUNT;
        ZStringBuffer<256> args[7];
        for (int i = 0; i < 7; ++i) {
            // Arguments come last first; anything but text is turned into text.
            VARIANT text;
            VariantInit(&text);
            if (SUCCEEDED(VariantChangeType(&text, &pParams->rgvarg[6 - i], 0, VT_BSTR)))
                args[i] = Narrow(text.bstrVal);
            VariantClear(&text);
        }
        InitVostX(args);
        return S_OK;
    }

    // IOleObject: the client site is all the control needs from its container.
    HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* pSite) override
    {
        if (pSite)
            pSite->AddRef();
        if (m_pSite)
            m_pSite->Release();
        m_pSite = pSite;
        if (m_pCore)
            m_pCore->SetSite(pSite);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** ppSite) override
    {
        *ppSite = m_pSite;
        if (m_pSite)
            m_pSite->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Close(DWORD) override
    {
        SetClientSite(nullptr);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD, IDataObject**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DoVerb(LONG, LPMSG, IOleClientSite*, LONG, HWND, LPCRECT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Update() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE IsUpToDate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* pClsid) override
    {
        *pClsid = CLSID_VostxCtrl;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetUserType(DWORD, LPOLESTR*) override { return OLE_S_USEREG; }
    HRESULT STDMETHODCALLTYPE SetExtent(DWORD, SIZEL*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetExtent(DWORD, SIZEL* pSize) override
    {
        pSize->cx = pSize->cy = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD, DWORD* pStatus) override
    {
        *pStatus = kMiscStatus;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

    // IPersistStreamInit: InitNew is the container's reset.
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClsid) override
    {
        *pClsid = CLSID_VostxCtrl;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE Load(LPSTREAM) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Save(LPSTREAM, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* pSize) override
    {
        pSize->QuadPart = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE InitNew() override
    {
        DropCore();
        return S_OK;
    }

private:
    virtual ~CvostxCtrl()
    {
        DropCore();
        if (m_pSite)
            m_pSite->Release();
        InterlockedDecrement(&s_nObjects);
    }

    // The control's reference only: a running install thread keeps the core until it ends.
    void DropCore()
    {
        if (m_pCore) {
            m_pCore->Detach();
            m_pCore->Release();
            m_pCore = nullptr;
        }
    }

    void InitVostX(ZStringBuffer<256>* args)
    {
        if (!m_pCore)
            m_pCore = new (std::nothrow) VostxActiveXCore(args[0].GetData(), m_pSite);
        if (!m_pCore)
            return;
        ZStringArray servers(kServerGrowMin);
        servers.Add(args[3].GetData());
        servers.Add(args[4].GetData());
        m_pCore->Init(args[0].GetData(), args[1].GetData(), args[2].GetData(), servers, args[5].GetData(),
                      args[6].GetData());
    }

    volatile long m_nRefs;
    IOleClientSite* m_pSite;
    VostxActiveXCore* m_pCore;
};

class ClassFactory : public IClassFactory
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (pOuter)
            return CLASS_E_NOAGGREGATION;
        CvostxCtrl* pCtrl = new (std::nothrow) CvostxCtrl;
        if (!pCtrl)
            return E_OUTOFMEMORY;
        HRESULT e = pCtrl->QueryInterface(riid, ppv);
        pCtrl->Release();
        return e;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL bLock) override
    {
        if (bLock)
            InterlockedIncrement(&s_nLocks);
        else
            InterlockedDecrement(&s_nLocks);
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
    DWORD n = GetModuleFileNameW(s_hModule, szPath, nSize);
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
        s_hModule = hInstance;
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
    return s_nObjects == 0 && s_nLocks == 0 && VostxCore::GetInUseCount() == 0 ? S_OK : S_FALSE;
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
    // Out of the categories while the class key still exists, then the class keys.
    HRESULT e1 = WithCategories([](ICatRegister* p) { return TakeOutOfCategory(p, kCatSafeForInitializing); });
    HRESULT e2 = WithCategories([](ICatRegister* p) { return TakeOutOfCategory(p, kCatSafeForScripting); });
    if (!RemoveClassKeys())
        return SELFREG_E_CLASS;
    if (FAILED(e1))
        return e1;
    return FAILED(e2) ? e2 : S_OK;
}
