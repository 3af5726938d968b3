// The plug-in as an ActiveX control on plain COM: the control object (IDispatch with InitVostX
// and GetVersion, and the least of each interface a control container asks for: IOleObject,
// IPersistStreamInit and IPersistPropertyBag, in-place activation, view, control, class
// information and connection points, quick activation), its class factory, self-registration
// with the type library and the two component categories, and the core whose page calls reach
// the page's script from the install thread through marshalling.
#include "common/system/zwin.h"
#include <comcat.h>
#include <olectl.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/containers/zstringarray.h"
#include "common/system/path.h"
#include "common/system/zlog.h"
#include "common/system/zwin.h"
#include "launch/vostx/activex.h"
#include "launch/vostx/comobject.h"
#include "launch/vostx/vostxcore.h"

namespace
{
HMODULE s_hModule = nullptr;
std::atomic<long> s_nObjects(0);
std::atomic<long> s_nLocks(0);

const DWORD kMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INVISIBLEATRUNTIME | OLEMISC_INSIDEOUT |
    OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;
static_assert(kMiscStatus == 0x20491, "misc status of the control");

const char kTypeName[] = "Vostx Control (live)";


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
        SetSite(nullptr);
    }
    void SetSite(IOleClientSite* pSite)
    {
        if (pSite)
            pSite->AddRef();
        IOleClientSite* pOld = nullptr;
        {
            // The old site is released outside the lock: its release may call out.
            ZLockGuard guard(m_SiteLock);
            pOld = m_pSite;
            m_pSite = pSite;
        }
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
    IOleClientSite* pSite = nullptr;
    {
        ZLockGuard guard(m_SiteLock);
        pSite = m_pSite;
        if (pSite)
            pSite->AddRef();
    }
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
    } else if (SUCCEEDED(e) && !document.pdispVal) {
        e = E_POINTER;  // a document of no object is no document either
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

// An enumerator over a fixed array of items that its owner keeps alive; Traits::Copy hands one
// item to the caller (who then owns what it got).
template <class IEnum, class Item, class Traits>
class ArrayEnum : public IEnum
{
public:
    ArrayEnum(REFIID iid, const Item* pItems, ULONG nCount, ULONG nPos, IUnknown* pOwner)
        : m_Iid(iid), m_pItems(pItems), m_nCount(nCount), m_nPos(nPos), m_pOwner(pOwner)
    {
        m_pOwner->AddRef();
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        return ComAnswer(ppv, riid == IID_IUnknown || riid == m_Iid ? static_cast<IEnum*>(this) : nullptr);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return m_Refs.Add(); }
    ULONG STDMETHODCALLTYPE Release() override { return m_Refs.Drop(this); }
    HRESULT STDMETHODCALLTYPE Next(ULONG nWanted, Item* pOut, ULONG* pFetched) override
    {
        if (!pOut || (nWanted > 1 && !pFetched))
            return E_POINTER;
        ULONG nGot = 0;
        while (nGot < nWanted && m_nPos < m_nCount && Traits::Copy(pOut[nGot], m_pItems[m_nPos])) {
            ++nGot;
            ++m_nPos;
        }
        if (pFetched)
            *pFetched = nGot;
        return nGot == nWanted ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG nCount) override
    {
        ULONG nLeft = m_nCount - m_nPos;
        m_nPos += nCount < nLeft ? nCount : nLeft;
        return nCount <= nLeft ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        m_nPos = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnum** ppEnum) override
    {
        if (!ppEnum)
            return E_POINTER;
        *ppEnum = new (std::nothrow) ArrayEnum(m_Iid, m_pItems, m_nCount, m_nPos, m_pOwner);
        return *ppEnum ? S_OK : E_OUTOFMEMORY;
    }

private:
    friend class ::ComRefs;
    virtual ~ArrayEnum() { m_pOwner->Release(); }

    ComRefs m_Refs;
    IID m_Iid;
    const Item* m_pItems;
    ULONG m_nCount;
    ULONG m_nPos;
    IUnknown* m_pOwner;
};

struct VerbTraits
{
    static bool Copy(OLEVERB& out, const OLEVERB& verb)
    {
        size_t nBytes = (wcslen(verb.lpszVerbName) + 1) * sizeof(wchar_t);
        LPOLESTR szName = static_cast<LPOLESTR>(CoTaskMemAlloc(nBytes));
        if (!szName)
            return false;
        memcpy(szName, verb.lpszVerbName, nBytes);
        out = verb;
        out.lpszVerbName = szName;
        return true;
    }
};
typedef ArrayEnum<IEnumOLEVERB, OLEVERB, VerbTraits> VerbEnum;

struct ConnectionPointTraits
{
    static bool Copy(IConnectionPoint*& pOut, IConnectionPoint* const& pPoint)
    {
        pOut = pPoint;
        pOut->AddRef();
        return true;
    }
};
typedef ArrayEnum<IEnumConnectionPoints, IConnectionPoint*, ConnectionPointTraits> ConnectionPointEnum;

// The only verb besides the standard ones: the Properties entry of the container's menu.
OLEVERB s_aVerbs[] = {
    {OLEIVERB_PROPERTIES, const_cast<LPOLESTR>(L"&Properties..."), 0, OLEVERBATTRIB_ONCONTAINERMENU},
};

// The control's event connection point. The event set is empty, so nothing is ever fired;
// sinks are kept (with their references) until they are unadvised or the control goes.
class EventPoint : public IConnectionPoint
{
public:
    explicit EventPoint(IConnectionPointContainer* pOwner) : m_pOwner(pOwner) {}
    ~EventPoint() { DropAll(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        bool bOurs = riid == IID_IUnknown || riid == IID_IConnectionPoint;
        return ComAnswer(ppv, bOurs ? static_cast<IConnectionPoint*>(this) : nullptr);
    }
    // Part of the control: its references are the control's.
    ULONG STDMETHODCALLTYPE AddRef() override { return m_pOwner->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return m_pOwner->Release(); }
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIid) override
    {
        if (!pIid)
            return E_POINTER;
        *pIid = IID__DvostxEvents;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppContainer) override
    {
        if (!ppContainer)
            return E_POINTER;
        *ppContainer = m_pOwner;
        m_pOwner->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pSink, DWORD* pCookie) override
    {
        if (!pSink || !pCookie)
            return E_POINTER;
        *pCookie = 0;
        IUnknown* pEvents = nullptr;
        if (FAILED(pSink->QueryInterface(IID__DvostxEvents, (void**)&pEvents)) &&
            FAILED(pSink->QueryInterface(IID_IDispatch, (void**)&pEvents)))
            return CONNECT_E_CANNOTCONNECT;
        for (DWORD i = 0; i < kMaxSinks; ++i) {
            if (!m_apSinks[i]) {
                m_apSinks[i] = pEvents;
                *pCookie = i + 1;
                return S_OK;
            }
        }
        pEvents->Release();
        return CONNECT_E_ADVISELIMIT;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD nCookie) override
    {
        if (nCookie < 1 || nCookie > kMaxSinks || !m_apSinks[nCookie - 1])
            return CONNECT_E_NOCONNECTION;
        IUnknown* pSink = m_apSinks[nCookie - 1];
        m_apSinks[nCookie - 1] = nullptr;
        pSink->Release();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

    void DropAll()
    {
        for (DWORD i = 0; i < kMaxSinks; ++i)
            Unadvise(i + 1);
    }

private:
    static const DWORD kMaxSinks = 8;
    IConnectionPointContainer* m_pOwner;
    IUnknown* m_apSinks[kMaxSinks] = {};
};

ITypeInfo* LoadTypeInfo(REFGUID guid, LCID lcid, HRESULT* pResult)
{
    ITypeInfo* pInfo = nullptr;
    ITypeLib* pLib = nullptr;
    HRESULT e = LoadRegTypeLib(LIBID_VostxLib, 1, 0, lcid, &pLib);
    if (SUCCEEDED(e)) {
        e = pLib->GetTypeInfoOfGuid(guid, &pInfo);
        pLib->Release();
    }
    *pResult = e;
    return SUCCEEDED(e) ? pInfo : nullptr;
}

class CvostxCtrl : public IDispatch,
                   public IOleObject,
                   public IPersistStreamInit,
                   public IPersistPropertyBag,
                   public IOleInPlaceObject,
                   public IOleInPlaceActiveObject,
                   public IViewObject2,
                   public IOleControl,
                   public IProvideClassInfo2,
                   public IConnectionPointContainer,
                   public IQuickActivate
{
public:
    CvostxCtrl()
        : m_pSite(nullptr), m_pCore(nullptr), m_Events(this), m_pInPlaceSite(nullptr), m_hWnd(nullptr),
          m_bUIActive(false), m_pViewSink(nullptr), m_nViewAspects(0), m_nViewAdvf(0), m_pFrame(nullptr),
          m_pUIWindow(nullptr)
    {
        m_Extent.cx = m_Extent.cy = 0;
        ++s_nObjects;
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        typedef CvostxCtrl C;
        static const ComInterface<C> kInterfaces[] = {
            {&IID_IUnknown, ComAs<C, IDispatch>},
            {&IID_IDispatch, ComAs<C, IDispatch>},
            {&IID__Dvostx, ComAs<C, IDispatch>},
            {&IID_IOleObject, ComAs<C, IOleObject>},
            {&IID_IPersistStreamInit, ComAs<C, IPersistStreamInit>},
            {&IID_IPersist, ComAs<C, IPersistStreamInit>},
            {&IID_IPersistPropertyBag, ComAs<C, IPersistPropertyBag>},
            {&IID_IOleInPlaceObject, ComAs<C, IOleInPlaceObject>},
            {&IID_IOleWindow, ComAs<C, IOleInPlaceObject>},
            {&IID_IOleInPlaceActiveObject, ComAs<C, IOleInPlaceActiveObject>},
            {&IID_IViewObject2, ComAs<C, IViewObject2>},
            {&IID_IViewObject, ComAs<C, IViewObject2>},
            {&IID_IOleControl, ComAs<C, IOleControl>},
            {&IID_IProvideClassInfo2, ComAs<C, IProvideClassInfo2>},
            {&IID_IProvideClassInfo, ComAs<C, IProvideClassInfo2>},
            {&IID_IConnectionPointContainer, ComAs<C, IConnectionPointContainer>},
            {&IID_IQuickActivate, ComAs<C, IQuickActivate>},
        };
        return ComAnswer(ppv, riid, this, kInterfaces);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return m_Refs.Add(); }
    ULONG STDMETHODCALLTYPE Release() override { return m_Refs.Drop(this); }

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
        HRESULT e = S_OK;
        *ppInfo = LoadTypeInfo(IID__Dvostx, lcid, &e);
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
        ComReplace(m_pSite, pSite);
        if (m_pCore)
            m_pCore->SetSite(pSite);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** ppSite) override
    {
        ComHandOut(ppSite, m_pSite);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Close(DWORD) override
    {
        InPlaceDeactivate();
        SetClientSite(nullptr);
        m_Events.DropAll();
        SetAdvise(DVASPECT_CONTENT, 0, nullptr);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD, IDataObject**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DoVerb(LONG nVerb, LPMSG, IOleClientSite* pActiveSite, LONG, HWND hParent,
                                     LPCRECT pRect) override
    {
        switch (nVerb) {
        case OLEIVERB_PRIMARY:
        case OLEIVERB_SHOW:
        case OLEIVERB_INPLACEACTIVATE: return ActivateInPlace(pActiveSite, hParent, pRect, false);
        case OLEIVERB_UIACTIVATE: return ActivateInPlace(pActiveSite, hParent, pRect, true);
        case OLEIVERB_HIDE:
            if (m_hWnd)
                ShowWindow(m_hWnd, SW_HIDE);
            return S_OK;
        case OLEIVERB_PROPERTIES: return OLEOBJ_S_CANNOT_DOVERB_NOW;  // the control has no property pages
        default: return nVerb > 0 ? OLEOBJ_S_INVALIDVERB : E_NOTIMPL;
        }
    }
    HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB** ppEnum) override
    {
        if (!ppEnum)
            return E_POINTER;
        *ppEnum = new (std::nothrow)
            VerbEnum(IID_IEnumOLEVERB, s_aVerbs, sizeof(s_aVerbs) / sizeof(s_aVerbs[0]), 0,
                     static_cast<IOleObject*>(this));
        return *ppEnum ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE Update() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE IsUpToDate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* pClsid) override
    {
        *pClsid = CLSID_VostxCtrl;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetUserType(DWORD, LPOLESTR*) override { return OLE_S_USEREG; }
    HRESULT STDMETHODCALLTYPE SetExtent(DWORD nAspect, SIZEL* pSize) override
    {
        HRESULT e = CheckExtentArguments(nAspect, pSize);
        if (e == S_OK)
            m_Extent = *pSize;
        return e;
    }
    HRESULT STDMETHODCALLTYPE GetExtent(DWORD nAspect, SIZEL* pSize) override
    {
        HRESULT e = CheckExtentArguments(nAspect, pSize);
        if (e == S_OK)
            *pSize = m_Extent;
        return e;
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
    // InitNew of both persistence interfaces: the container's reset.
    HRESULT STDMETHODCALLTYPE InitNew() override
    {
        DropCore();
        return S_OK;
    }

    // IPersistPropertyBag: the control keeps no properties of its own.
    HRESULT STDMETHODCALLTYPE Load(IPropertyBag* pBag, IErrorLog*) override { return pBag ? S_OK : E_POINTER; }
    HRESULT STDMETHODCALLTYPE Save(IPropertyBag* pBag, BOOL, BOOL) override { return pBag ? S_OK : E_POINTER; }

    // IOleWindow, shared by the two in-place interfaces.
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* phWnd) override
    {
        if (!phWnd)
            return E_POINTER;
        *phWnd = m_hWnd;
        return m_hWnd ? S_OK : E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // IOleInPlaceObject
    HRESULT STDMETHODCALLTYPE InPlaceDeactivate() override
    {
        if (!m_pInPlaceSite)
            return S_OK;
        UIDeactivate();
        if (m_hWnd)
            DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
        IOleInPlaceSite* pSite = m_pInPlaceSite;
        m_pInPlaceSite = nullptr;
        pSite->OnInPlaceDeactivate();
        pSite->Release();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UIDeactivate() override
    {
        if (!m_bUIActive)
            return S_OK;
        m_bUIActive = false;
        if (m_pUIWindow) {
            m_pUIWindow->SetActiveObject(nullptr, nullptr);
            m_pUIWindow->Release();
            m_pUIWindow = nullptr;
        }
        if (m_pFrame) {
            m_pFrame->SetActiveObject(nullptr, nullptr);
            m_pFrame->Release();
            m_pFrame = nullptr;
        }
        if (m_pInPlaceSite)
            m_pInPlaceSite->OnUIDeactivate(FALSE);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT pPos, LPCRECT) override
    {
        if (!pPos)
            return E_POINTER;
        if (m_hWnd)
            MoveWindow(m_hWnd, pPos->left, pPos->top, pPos->right - pPos->left, pPos->bottom - pPos->top, FALSE);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReactivateAndUndo() override { return INPLACE_E_NOTUNDOABLE; }

    // IOleInPlaceActiveObject: no menus, tools or keys of its own.
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG) override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE OnFrameWindowActivate(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDocWindowActivate(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EnableModeless(BOOL) override { return S_OK; }

    // IViewObject2: the control draws nothing.
    HRESULT STDMETHODCALLTYPE Draw(DWORD nAspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC hdcDraw, LPCRECTL pBounds,
                                   LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) override
    {
        if (nAspect != DVASPECT_CONTENT)
            return DV_E_DVASPECT;
        return hdcDraw && pBounds ? S_OK : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** ppSet) override
    {
        if (!ppSet)
            return E_POINTER;
        *ppSet = nullptr;
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Freeze(DWORD, LONG, void*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unfreeze(DWORD) override { return OLE_E_NOCONNECTION; }
    HRESULT STDMETHODCALLTYPE SetAdvise(DWORD nAspects, DWORD nAdvf, IAdviseSink* pSink) override
    {
        ComReplace(m_pViewSink, pSink);
        m_nViewAspects = nAspects;
        m_nViewAdvf = nAdvf;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAdvise(DWORD* pAspects, DWORD* pAdvf, IAdviseSink** ppSink) override
    {
        if (pAspects)
            *pAspects = m_nViewAspects;
        if (pAdvf)
            *pAdvf = m_nViewAdvf;
        if (ppSink)
            ComHandOut(ppSink, m_pViewSink);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetExtent(DWORD nAspect, LONG, DVTARGETDEVICE*, LPSIZEL pSize) override
    {
        return GetExtent(nAspect, pSize);
    }

    // IOleControl: no mnemonics; ambient properties and frozen events change nothing here.
    HRESULT STDMETHODCALLTYPE GetControlInfo(CONTROLINFO* pInfo) override
    {
        if (!pInfo)
            return E_POINTER;
        pInfo->cb = sizeof(CONTROLINFO);
        pInfo->hAccel = nullptr;
        pInfo->cAccel = 0;
        pInfo->dwFlags = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnMnemonic(LPMSG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnAmbientPropertyChange(DISPID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE FreezeEvents(BOOL) override { return S_OK; }

    // IProvideClassInfo2
    HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** ppInfo) override
    {
        if (!ppInfo)
            return E_POINTER;
        HRESULT e = S_OK;
        *ppInfo = LoadTypeInfo(CLSID_VostxCtrl, LOCALE_USER_DEFAULT, &e);
        return e;
    }
    HRESULT STDMETHODCALLTYPE GetGUID(DWORD nKind, GUID* pGuid) override
    {
        if (!pGuid)
            return E_POINTER;
        if (nKind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
            *pGuid = GUID_NULL;
            return E_INVALIDARG;
        }
        *pGuid = IID__DvostxEvents;
        return S_OK;
    }

    // IConnectionPointContainer: the event interface only.
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override
    {
        if (!ppEnum)
            return E_POINTER;
        *ppEnum = new (std::nothrow)
            ConnectionPointEnum(IID_IEnumConnectionPoints, &m_pEventPoint, 1, 0, static_cast<IOleObject*>(this));
        return *ppEnum ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppPoint) override
    {
        if (!ppPoint)
            return E_POINTER;
        *ppPoint = nullptr;
        if (riid != IID__DvostxEvents)
            return CONNECT_E_NOCONNECTION;
        *ppPoint = &m_Events;
        m_Events.AddRef();
        return S_OK;
    }

    // IQuickActivate: the client site and the sinks in one call.
    HRESULT STDMETHODCALLTYPE QuickActivate(QACONTAINER* pContainer, QACONTROL* pControl) override
    {
        if (!pContainer || !pControl)
            return E_POINTER;
        // Older containers pass shorter blocks: only the fields up to the event sink are read,
        // and only those up to the property-notification cookie are written.
        if (pContainer->cbSize < offsetof(QACONTAINER, dwAmbientFlags) ||
            pControl->cbSize < offsetof(QACONTROL, dwPointerActivationPolicy))
            return E_UNEXPECTED;
        ULONG nSize = pControl->cbSize;
        memset(pControl, 0, nSize < sizeof(QACONTROL) ? nSize : sizeof(QACONTROL));
        pControl->cbSize = nSize;
        SetClientSite(pContainer->pClientSite);
        if (pContainer->pAdviseSink)
            SetAdvise(DVASPECT_CONTENT, 0, pContainer->pAdviseSink);
        if (pContainer->pUnkEventSink)
            m_Events.Advise(pContainer->pUnkEventSink, &pControl->dwEventCookie);
        pControl->dwMiscStatus = kMiscStatus;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetContentExtent(LPSIZEL pSize) override { return SetExtent(DVASPECT_CONTENT, pSize); }
    HRESULT STDMETHODCALLTYPE GetContentExtent(LPSIZEL pSize) override { return GetExtent(DVASPECT_CONTENT, pSize); }

private:
    friend class ::ComRefs;
    virtual ~CvostxCtrl()
    {
        InPlaceDeactivate();
        SetAdvise(0, 0, nullptr);
        DropCore();
        if (m_pSite)
            m_pSite->Release();
        --s_nObjects;
    }

    // The control has one aspect, its content.
    static HRESULT CheckExtentArguments(DWORD nAspect, const SIZEL* pSize)
    {
        if (nAspect != DVASPECT_CONTENT)
            return DV_E_DVASPECT;
        return pSize ? S_OK : E_POINTER;
    }

    // In-place activation in the site's window: a hidden child window, since the control
    // shows nothing while the page runs.
    HRESULT ActivateInPlace(IOleClientSite* pActiveSite, HWND hParent, LPCRECT pRect, bool bUIActivate)
    {
        if (!m_pInPlaceSite) {
            IOleClientSite* pClient = pActiveSite ? pActiveSite : m_pSite;
            if (!pClient)
                return E_UNEXPECTED;
            IOleInPlaceSite* pSite = nullptr;
            if (FAILED(pClient->QueryInterface(IID_IOleInPlaceSite, (void**)&pSite)) || !pSite)
                return E_NOINTERFACE;
            if (pSite->CanInPlaceActivate() != S_OK) {
                pSite->Release();
                return E_FAIL;
            }
            HRESULT e = pSite->OnInPlaceActivate();
            if (FAILED(e)) {
                pSite->Release();
                return e;
            }
            m_pInPlaceSite = pSite;
            HWND hSiteWindow = nullptr;
            if (FAILED(pSite->GetWindow(&hSiteWindow)) || !hSiteWindow)
                hSiteWindow = hParent;
            RECT pos = {0, 0, 0, 0};
            RECT clip = {0, 0, 0, 0};
            OLEINPLACEFRAMEINFO frameInfo;
            memset(&frameInfo, 0, sizeof(frameInfo));
            frameInfo.cb = sizeof(frameInfo);
            IOleInPlaceFrame* pFrame = nullptr;
            IOleInPlaceUIWindow* pUIWindow = nullptr;
            if (SUCCEEDED(pSite->GetWindowContext(&pFrame, &pUIWindow, &pos, &clip, &frameInfo))) {
                m_pFrame = pFrame;
                m_pUIWindow = pUIWindow;
            }
            if (pRect)
                pos = *pRect;
            m_hWnd = hSiteWindow ? CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_CLIPSIBLINGS, pos.left, pos.top,
                                                   pos.right - pos.left, pos.bottom - pos.top, hSiteWindow, nullptr,
                                                   s_hModule, nullptr)
                                 : nullptr;
            if (!m_hWnd) {
                InPlaceDeactivate();
                ReleaseFrames();
                return E_FAIL;
            }
        }
        if (bUIActivate && !m_bUIActive) {
            m_bUIActive = true;
            m_pInPlaceSite->OnUIActivate();
            if (m_pFrame)
                m_pFrame->SetActiveObject(static_cast<IOleInPlaceActiveObject*>(this), nullptr);
            if (m_pUIWindow)
                m_pUIWindow->SetActiveObject(static_cast<IOleInPlaceActiveObject*>(this), nullptr);
        } else if (!m_bUIActive) {
            // Only a UI-active control keeps the frame and the document window.
            ReleaseFrames();
        }
        return S_OK;
    }
    void ReleaseFrames()
    {
        if (m_pFrame)
            m_pFrame->Release();
        if (m_pUIWindow)
            m_pUIWindow->Release();
        m_pFrame = nullptr;
        m_pUIWindow = nullptr;
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
        m_pCore->InitFromPage(args);
    }

    ComRefs m_Refs;
    IOleClientSite* m_pSite;
    VostxActiveXCore* m_pCore;
    EventPoint m_Events;
    IConnectionPoint* m_pEventPoint = &m_Events;
    IOleInPlaceSite* m_pInPlaceSite;
    HWND m_hWnd;
    bool m_bUIActive;
    IAdviseSink* m_pViewSink;
    DWORD m_nViewAspects;
    DWORD m_nViewAdvf;
    IOleInPlaceFrame* m_pFrame;
    IOleInPlaceUIWindow* m_pUIWindow;
    SIZEL m_Extent;
};

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
