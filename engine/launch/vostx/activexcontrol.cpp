// The ActiveX control on plain COM: the control object (IDispatch with InitVostX and GetVersion,
// and the least of each interface a control container asks for: IOleObject, IPersistStreamInit
// and IPersistPropertyBag, in-place activation, view, control, class information and connection
// points, quick activation).
#include "common/system/zwin.h"
#include <olectl.h>

#include <cstddef>
#include <cstring>
#include <new>

#include "common/containers/zstringbuffer.h"
#include "launch/vostx/activex.h"
#include "launch/vostx/activexcontrol.h"
#include "launch/vostx/activexcore.h"
#include "launch/vostx/comobject.h"

std::atomic<long> g_nObjects(0);

namespace
{
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
        ++g_nObjects;
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
        *ppEnum = new (std::nothrow) VerbEnum(IID_IEnumOLEVERB, s_aVerbs, sizeof(s_aVerbs) / sizeof(s_aVerbs[0]), 0,
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
        --g_nObjects;
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
            m_hWnd = hSiteWindow
                ? CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_CLIPSIBLINGS, pos.left, pos.top,
                                  pos.right - pos.left, pos.bottom - pos.top, hSiteWindow, nullptr, g_hModule, nullptr)
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
}  // namespace

HRESULT CreateControl(REFIID riid, void** ppv)
{
    CvostxCtrl* pCtrl = new (std::nothrow) CvostxCtrl;
    if (!pCtrl)
        return E_OUTOFMEMORY;
    HRESULT e = pCtrl->QueryInterface(riid, ppv);
    pCtrl->Release();
    return e;
}
