// Stand-in for an ActiveX container (the plug-in's host in Internet Explorer): creates the
// control by its ProgID (after regsvr32), gives it a client site whose container answers the
// page document's script object (a window with "document" and "getElementById"), and records
// the calls made on the page's Flash element with their argument types and the thread they
// arrive on. Its own thread is a single-threaded apartment with a message loop, so the install
// thread's marshalled calls arrive there.
//
//   axhost --out FILE [--flash-id ID] [--document null] COMMAND...
//
// With "--document null" the page's window answers "document" with a dispatch type and no object.
//
// Commands: create | atl | cwd | version | init A1..A7 | init6 A1..A6 | wait-flash N SECS | pump MS |
//           reset | release | threads SECS | canunload | freeunused | toolbox | siterefs
// (create: as a browser does: only a control registered safe for scripting and initialising,
// client site first when it asks for that, initialised, activated in place; atl: the same in
// Wine's own container window "AtlAxWin" instead; threads: waits until no thread that started in
// the plug-in's DLL is left; canunload: the DLL's DllCanUnloadNow; freeunused:
// CoFreeUnusedLibraries, then whether the DLL is loaded; toolbox: the bitmap that the class's
// ToolboxBitmap32 key names, loaded as a container does; siterefs: the references the control
// holds on the client site.) Arguments of init: i:N is a VT_I4, b:0|1 a VT_BOOL, anything else
// a BSTR; methods are called as scripts call them (method and property get).
#include <windows.h>
#include <ole2.h>
#include <comcat.h>
#include <ocidl.h>
#include <winternl.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "launch/vostx/activex.h"
#include "launch/vostx/comobject.h"
#include "standins/pagehost/pagehost.h"

namespace
{
std::string Narrow(const wchar_t* sz, int n = -1)
{
    if (!sz)
        return "";
    int nBytes = WideCharToMultiByte(CP_UTF8, 0, sz, n, nullptr, 0, nullptr, nullptr);
    std::string s(nBytes > 0 ? nBytes : 0, '\0');
    if (nBytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, sz, n, &s[0], nBytes, nullptr, nullptr);
    if (n < 0 && !s.empty())
        s.pop_back();
    return s;
}

std::wstring Widen(const char* sz)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, sz, -1, nullptr, 0);
    std::wstring s(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1)
        MultiByteToWideChar(CP_UTF8, 0, sz, -1, &s[0], n);
    return s;
}

std::string VariantText(const VARIANT& v)
{
    char sz[64];
    switch (v.vt) {
    case VT_EMPTY: return "empty";
    case VT_NULL: return "null";
    case VT_BSTR: return "bstr:" + Narrow(v.bstrVal, (int)SysStringLen(v.bstrVal));
    case VT_R4: snprintf(sz, sizeof(sz), "r4:%.9g", (double)v.fltVal); return sz;
    case VT_R8: snprintf(sz, sizeof(sz), "r8:%.9g", v.dblVal); return sz;
    case VT_I4: snprintf(sz, sizeof(sz), "i4:%ld", (long)v.lVal); return sz;
    case VT_DISPATCH: return "dispatch";
    default: snprintf(sz, sizeof(sz), "vt:%d", (int)v.vt); return sz;
    }
}

bool s_bNullDocument = false;

// One page object: the window, the document or the Flash element.
class PageObject : public IDispatch
{
public:
    enum Kind
    {
        WINDOW,
        DOCUMENT,
        FLASH
    };
    explicit PageObject(Kind kind) : m_Kind(kind) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        bool bOurs = riid == IID_IUnknown || riid == IID_IDispatch;
        return ComAnswer(ppv, bOurs ? static_cast<IDispatch*>(this) : nullptr);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return m_Refs.Add(); }
    ULONG STDMETHODCALLTYPE Release() override { return m_Refs.Drop(this); }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* p) override
    {
        *p = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* pNames, UINT nCount, LCID, DISPID* pIds) override
    {
        // Every name gets an id of its own: the index in this object's name list.
        for (UINT i = 0; i < nCount; ++i) {
            std::wstring name = pNames[i];
            size_t n = 0;
            while (n < m_Names.size() && m_Names[n] != name)
                ++n;
            if (n == m_Names.size())
                m_Names.push_back(name);
            pIds[i] = (DISPID)(n + 1);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD nFlags, DISPPARAMS* pParams, VARIANT* pResult,
                                     EXCEPINFO*, UINT*) override
    {
        if (id < 1 || (size_t)id > m_Names.size())
            return DISP_E_MEMBERNOTFOUND;
        std::string name = Narrow(m_Names[id - 1].c_str());
        if (m_Kind == WINDOW) {
            if (name != "document" || !(nFlags & DISPATCH_PROPERTYGET) || !pResult)
                return DISP_E_MEMBERNOTFOUND;
            pResult->vt = VT_DISPATCH;
            pResult->pdispVal = s_bNullDocument ? nullptr : new PageObject(DOCUMENT);
            return S_OK;
        }
        if (m_Kind == DOCUMENT) {
            if (name != "getElementById" || pParams->cArgs != 1 || pParams->rgvarg[0].vt != VT_BSTR || !pResult)
                return DISP_E_MEMBERNOTFOUND;
            // A browser answers a missing element with null.
            if (!HostFindElement(Narrow(pParams->rgvarg[0].bstrVal))) {
                pResult->vt = VT_NULL;
                return S_OK;
            }
            pResult->vt = VT_DISPATCH;
            pResult->pdispVal = new PageObject(FLASH);
            return S_OK;
        }
        std::vector<std::string> args;
        for (UINT i = pParams->cArgs; i > 0; --i)
            args.push_back(VariantText(pParams->rgvarg[i - 1]));
        HostFlashCall(name, args);
        return S_OK;
    }

private:
    friend class ::ComRefs;
    virtual ~PageObject() {}
    ComRefs m_Refs;
    Kind m_Kind;
    std::vector<std::wstring> m_Names;
};

// The page document as the control's container sees it.
class Container : public IOleContainer, public IVostxHtmlDocument
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        IUnknown* pInterface = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOleContainer || riid == IID_IParseDisplayName)
            pInterface = static_cast<IOleContainer*>(this);
        else if (riid == IID_IVostxHtmlDocument)
            pInterface = static_cast<IVostxHtmlDocument*>(this);
        return ComAnswer(ppv, pInterface);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx*, LPOLESTR, ULONG*, IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumObjects(DWORD, IEnumUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockContainer(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* p) override
    {
        *p = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_Script(IDispatch** ppScript) override
    {
        HostOut("page get_Script|%s", HostThreadName());
        *ppScript = new PageObject(PageObject::WINDOW);
        return S_OK;
    }
};

Container s_Container;

// The page's site for the control, with the window it is activated in. It lives for the
// process; the references the control takes on it are counted.
class ClientSite : public IOleClientSite, public IOleInPlaceSite
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        IUnknown* pInterface = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOleClientSite)
            pInterface = static_cast<IOleClientSite*>(this);
        else if (riid == IID_IOleInPlaceSite || riid == IID_IOleWindow)
            pInterface = static_cast<IOleInPlaceSite*>(this);
        return ComAnswer(ppv, pInterface);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return (ULONG)++m_nRefs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        long n = --m_nRefs;
        if (n < 0)
            HostOut("fault site released once too often");
        return (ULONG)n;
    }
    long Refs() const { return m_nRefs; }
    HWND m_hWnd = nullptr;
    bool m_bInPlace = false;

    // IOleWindow and IOleInPlaceSite
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* phWnd) override
    {
        *phWnd = m_hWnd;
        return m_hWnd ? S_OK : E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override
    {
        m_bInPlace = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnUIActivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** ppFrame, IOleInPlaceUIWindow** ppDoc, LPRECT pPos,
                                               LPRECT pClip, LPOLEINPLACEFRAMEINFO pInfo) override
    {
        *ppFrame = nullptr;
        *ppDoc = nullptr;
        SetRect(pPos, 0, 0, 100, 50);
        SetRect(pClip, 0, 0, 100, 50);
        pInfo->fMDIApp = FALSE;
        pInfo->hwndFrame = m_hWnd;
        pInfo->haccel = nullptr;
        pInfo->cAccelEntries = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override
    {
        m_bInPlace = false;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT) override { return S_OK; }

private:
    std::atomic<long> m_nRefs{0};

public:
    // IOleClientSite
    HRESULT STDMETHODCALLTYPE SaveObject() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** ppContainer) override
    {
        *ppContainer = &s_Container;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }
};

ClientSite s_Site;

// Threads of this process that started inside the plug-in's DLL.
int PluginThreads()
{
    HMODULE hDll = GetModuleHandleA("npvostxlive.dll");
    if (!hDll)
        return 0;
    auto pDos = reinterpret_cast<IMAGE_DOS_HEADER*>(hDll);
    auto pNt = reinterpret_cast<IMAGE_NT_HEADERS*>(reinterpret_cast<char*>(hDll) + pDos->e_lfanew);
    char* pBegin = reinterpret_cast<char*>(hDll);
    char* pEnd = pBegin + pNt->OptionalHeader.SizeOfImage;
    typedef LONG(NTAPI * QueryThread)(HANDLE, int, PVOID, ULONG, PULONG);
    auto pfnQuery = (QueryThread)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread");
    int nCount = 0;
    for (DWORD nThread : HostThreadIds()) {
        HANDLE hThread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, nThread);
        if (!hThread)
            continue;
        void* pStart = nullptr;
        if (pfnQuery &&
            pfnQuery(hThread, 9 /* ThreadQuerySetWin32StartAddress */, &pStart, sizeof(pStart), nullptr) == 0) {
            // The engine starts its threads through the C runtime, whose thread entry lies in
            // the DLL too (the runtime is linked statically).
            if ((char*)pStart >= pBegin && (char*)pStart < pEnd)
                ++nCount;
        }
        CloseHandle(hThread);
    }
    return nCount;
}

// "toolbox ID WIDTHxHEIGHT" for the bitmap "<module>, <id>" of the class's ToolboxBitmap32 key.
std::string ToolboxBitmap()
{
    wchar_t szClsid[64];
    StringFromGUID2(CLSID_VostxCtrl, szClsid, 64);
    std::wstring key = std::wstring(L"CLSID\\") + szClsid + L"\\ToolboxBitmap32";
    wchar_t szValue[MAX_PATH + 16] = L"";
    LONG nSize = sizeof(szValue);
    if (RegQueryValueW(HKEY_CLASSES_ROOT, key.c_str(), szValue, &nSize) != ERROR_SUCCESS)
        return "toolbox no key";
    std::wstring value = szValue;
    size_t nComma = value.rfind(L',');
    if (nComma == std::wstring::npos)
        return "toolbox no id in " + Narrow(szValue);
    int nId = _wtoi(value.c_str() + nComma + 1);
    HMODULE hModule = LoadLibraryExW(value.substr(0, nComma).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!hModule)
        return "toolbox no module " + Narrow(szValue);
    HBITMAP hBitmap = LoadBitmapW(hModule, MAKEINTRESOURCEW(nId));
    BITMAP info;
    char sz[64];
    if (hBitmap && GetObjectW(hBitmap, sizeof(info), &info) == sizeof(info))
        snprintf(sz, sizeof(sz), "toolbox %d %ldx%ld", nId, (long)info.bmWidth, (long)info.bmHeight);
    else
        snprintf(sz, sizeof(sz), "toolbox %d no bitmap", nId);
    if (hBitmap)
        DeleteObject(hBitmap);
    FreeLibrary(hModule);
    return sz;
}

// Only a control registered safe for scripting and for initialising is scripted by a page.
HRESULT CheckSafeCategories(REFCLSID clsid)
{
    ICatInformation* pInfo = nullptr;
    HRESULT e = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatInformation,
                                 (void**)&pInfo);
    if (FAILED(e))
        return e;
    CATID required[2] = {kCatSafeForScripting, kCatSafeForInitializing};
    e = pInfo->IsClassOfCategories(clsid, 2, required, 0, nullptr);
    pInfo->Release();
    return e == S_OK ? S_OK : E_ACCESSDENIED;
}

// Creation as a browser does it: client site first when the control asks, initialised as new,
// activated in place in the site's window.
HRESULT CreateControl(IDispatch** ppControl)
{
    CLSID clsid;
    HRESULT e = CLSIDFromProgID(L"" VOSTX_PROGID, &clsid);
    if (SUCCEEDED(e))
        e = CheckSafeCategories(clsid);
    if (SUCCEEDED(e))
        e = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, (void**)ppControl);
    if (FAILED(e))
        return e;
    IOleObject* pObject = nullptr;
    IPersistStreamInit* pPersist = nullptr;
    e = (*ppControl)->QueryInterface(IID_IOleObject, (void**)&pObject);
    if (SUCCEEDED(e))
        e = (*ppControl)->QueryInterface(IID_IPersistStreamInit, (void**)&pPersist);
    DWORD nMisc = 0;
    if (SUCCEEDED(e))
        e = pObject->GetMiscStatus(DVASPECT_CONTENT, &nMisc);
    if (SUCCEEDED(e) && (nMisc & OLEMISC_SETCLIENTSITEFIRST))
        e = pObject->SetClientSite(&s_Site);
    if (SUCCEEDED(e))
        e = pPersist->InitNew();
    if (SUCCEEDED(e) && !(nMisc & OLEMISC_SETCLIENTSITEFIRST))
        e = pObject->SetClientSite(&s_Site);
    RECT pos = {0, 0, 100, 50};
    if (SUCCEEDED(e))
        e = pObject->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &s_Site, 0, s_Site.m_hWnd, &pos);
    if (SUCCEEDED(e) && !s_Site.m_bInPlace)
        e = E_UNEXPECTED;
    if (pPersist)
        pPersist->Release();
    if (pObject)
        pObject->Release();
    return e;
}

// The control in Wine's ATL container window, made by its ProgID; hands out the control.
HRESULT CreateInAtl(HWND hParent, HWND* phAx, IDispatch** ppControl, bool* pbInPlace)
{
    typedef BOOL(WINAPI * AxWinInit)();
    typedef HRESULT(WINAPI * AxGetControl)(HWND, IUnknown**);
    HMODULE hAtl = LoadLibraryA("atl.dll");
    auto pfnInit = hAtl ? (AxWinInit)(void*)GetProcAddress(hAtl, "AtlAxWinInit") : nullptr;
    auto pfnGetControl = hAtl ? (AxGetControl)(void*)GetProcAddress(hAtl, "AtlAxGetControl") : nullptr;
    if (!pfnInit || !pfnGetControl || !pfnInit())
        return E_NOTIMPL;
    *phAx = CreateWindowExW(0, L"AtlAxWin", L"" VOSTX_PROGID, WS_CHILD | WS_VISIBLE, 0, 0, 100, 50, hParent, nullptr,
                            nullptr, nullptr);
    if (!*phAx)
        return HRESULT_FROM_WIN32(GetLastError());
    IUnknown* pUnknown = nullptr;
    HRESULT e = pfnGetControl(*phAx, &pUnknown);
    if (SUCCEEDED(e) && !pUnknown)
        e = E_POINTER;
    if (FAILED(e))
        return e;
    IOleInPlaceObject* pInPlace = nullptr;
    HWND hControl = nullptr;
    if (SUCCEEDED(pUnknown->QueryInterface(IID_IOleInPlaceObject, (void**)&pInPlace))) {
        *pbInPlace = SUCCEEDED(pInPlace->GetWindow(&hControl)) && hControl && GetParent(hControl) == *phAx;
        pInPlace->Release();
    }
    e = pUnknown->QueryInterface(IID_IDispatch, (void**)ppControl);
    pUnknown->Release();
    return e;
}

HRESULT CallControl(IDispatch* pControl, const wchar_t* szName, std::vector<std::string>& args, VARIANT* pResult)
{
    LPOLESTR pName = const_cast<LPOLESTR>(szName);
    DISPID id = 0;
    HRESULT e = pControl->GetIDsOfNames(IID_NULL, &pName, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(e))
        return e;
    std::vector<VARIANT> vars(args.size());
    for (size_t i = 0; i < args.size(); ++i) {
        VARIANT& v = vars[args.size() - 1 - i];
        VariantInit(&v);
        const std::string& arg = args[i];
        if (arg.compare(0, 2, "i:") == 0) {
            v.vt = VT_I4;
            v.lVal = atol(arg.c_str() + 2);
        } else if (arg.compare(0, 2, "b:") == 0) {
            v.vt = VT_BOOL;
            v.boolVal = arg[2] == '1' ? VARIANT_TRUE : VARIANT_FALSE;
        } else {
            v.vt = VT_BSTR;
            v.bstrVal = SysAllocString(Widen(arg.c_str()).c_str());
        }
    }
    DISPPARAMS params = {vars.empty() ? nullptr : vars.data(), nullptr, (UINT)vars.size(), 0};
    e = pControl->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params, pResult,
                         nullptr, nullptr);
    for (VARIANT& v : vars)
        VariantClear(&v);
    return e;
}
}  // namespace

int main(int argc, char** argv)
{
    std::map<std::string, std::string> options;
    int i = 0;
    if (!HostStart(argc, argv, &options, &i))
        return 2;
    s_bNullDocument = options["document"] == "null";
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    s_Site.m_hWnd = CreateWindowExA(0, "STATIC", "axhost page", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr,
                                    nullptr, nullptr);
    IDispatch* pControl = nullptr;
    HWND hAtlWindow = nullptr;
    for (; i < argc; ++i) {
        std::string command = argv[i];
        if (command == "create") {
            HRESULT e = CreateControl(&pControl);
            HostOut("create 0x%08lx", (unsigned long)e);
        } else if (command == "atl") {
            bool bInPlace = false;
            HRESULT e = CreateInAtl(s_Site.m_hWnd, &hAtlWindow, &pControl, &bInPlace);
            HostOut("atl 0x%08lx inplace=%d", (unsigned long)e, bInPlace ? 1 : 0);
        } else if (command == "siterefs") {
            HostOut("siterefs %ld", s_Site.Refs());
        } else if (command == "cwd") {
            wchar_t szDir[MAX_PATH];
            GetCurrentDirectoryW(MAX_PATH, szDir);
            HostOut("cwd %s", Narrow(szDir).c_str());
        } else if (command == "version" && pControl) {
            std::vector<std::string> none;
            VARIANT result;
            VariantInit(&result);
            HRESULT e = CallControl(pControl, L"GetVersion", none, &result);
            HostOut("version 0x%08lx %s", (unsigned long)e, VariantText(result).c_str());
            VariantClear(&result);
        } else if ((command == "init" || command == "init6") && pControl) {
            size_t nCount = command == "init" ? 7 : 6;
            std::vector<std::string> args;
            while (args.size() < nCount && i + 1 < argc)
                args.push_back(argv[++i]);
            VARIANT result;
            VariantInit(&result);
            HRESULT e = CallControl(pControl, L"InitVostX", args, &result);
            HostOut("%s 0x%08lx", command.c_str(), (unsigned long)e);
            VariantClear(&result);
        } else if (HostLoopCommand(command, argc, argv, &i)) {
            // wait-flash, pump: run alike in both hosts
        } else if (command == "reset" && pControl) {
            IPersistStreamInit* pPersist = nullptr;
            HRESULT e = pControl->QueryInterface(IID_IPersistStreamInit, (void**)&pPersist);
            if (SUCCEEDED(e)) {
                e = pPersist->InitNew();
                pPersist->Release();
            }
            HostOut("reset 0x%08lx", (unsigned long)e);
        } else if (command == "release" && pControl) {
            if (hAtlWindow) {
                // The container closes and releases the control with its window.
                pControl->Release();
                DestroyWindow(hAtlWindow);
                hAtlWindow = nullptr;
            } else {
                IOleObject* pObject = nullptr;
                if (SUCCEEDED(pControl->QueryInterface(IID_IOleObject, (void**)&pObject))) {
                    pObject->Close(OLECLOSE_NOSAVE);
                    pObject->Release();
                }
                pControl->Release();
            }
            pControl = nullptr;
            HostOut("release");
        } else if (command == "threads" && i + 1 < argc) {
            // The install threads end on their own; their marshalled calls keep arriving meanwhile.
            HostOut("threads plugin=%d", HostPumpWhile((DWORD)atoi(argv[++i]), PluginThreads));
        } else if (command == "canunload") {
            typedef HRESULT(STDAPICALLTYPE * CanUnloadNow)();
            HMODULE hDll = GetModuleHandleA("npvostxlive.dll");
            auto pfnCanUnload = hDll ? (CanUnloadNow)(void*)GetProcAddress(hDll, "DllCanUnloadNow") : nullptr;
            if (pfnCanUnload)
                HostOut("canunload 0x%08lx", (unsigned long)pfnCanUnload());
            else
                HostOut("canunload unloaded");
        } else if (command == "toolbox") {
            HostOut("%s", ToolboxBitmap().c_str());
        } else if (command == "freeunused") {
            CoFreeUnusedLibraries();
            HostOut("freeunused loaded=%d", GetModuleHandleA("npvostxlive.dll") != nullptr);
        } else {
            HostOut("bad command %s", command.c_str());
            return 2;
        }
    }
    if (pControl)
        pControl->Release();
    CoUninitialize();
    return 0;
}
