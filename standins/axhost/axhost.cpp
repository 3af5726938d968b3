// Stand-in for an ActiveX container (the plug-in's host in Internet Explorer): creates the
// control by its ProgID (after regsvr32), gives it a client site whose container answers the
// page document's script object (a window with "document" and "getElementById"), and records
// the calls made on the page's Flash element with their argument types and the thread they
// arrive on. Its own thread is a single-threaded apartment with a message loop, so the install
// thread's marshalled calls arrive there.
//
//   axhost --out FILE [--flash-id ID] COMMAND...
//
// Commands: create | cwd | version | init A1..A7 | init6 A1..A6 | wait-flash N SECS | pump MS |
//           reset | release | threads SECS | canunload | freeunused | toolbox
// (threads: waits until no thread that started in the plug-in's DLL is left; canunload: the
// DLL's DllCanUnloadNow; freeunused: CoFreeUnusedLibraries, then whether the DLL is loaded;
// toolbox: the bitmap that the class's ToolboxBitmap32 key names, loaded as a container does.)
#include <windows.h>
#include <ole2.h>
#include <ocidl.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "launch/vostx/activex.h"

namespace
{
FILE* s_pOut = nullptr;
DWORD s_nMainThread = 0;
std::wstring s_FlashId = L"flashObj";
int s_nFlashCalls = 0;

void Out(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    vfprintf(s_pOut, szFormat, args);
    va_end(args);
    fputs("\n", s_pOut);
    fflush(s_pOut);
}

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

const char* ThreadName()
{
    return GetCurrentThreadId() == s_nMainThread ? "thread:main" : "thread:other";
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
    explicit PageObject(Kind kind) : m_nRefs(1), m_Kind(kind) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IDispatch) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return (ULONG)InterlockedIncrement(&m_nRefs); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        long n = InterlockedDecrement(&m_nRefs);
        if (n == 0)
            delete this;
        return (ULONG)n;
    }
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
            pResult->pdispVal = new PageObject(DOCUMENT);
            return S_OK;
        }
        if (m_Kind == DOCUMENT) {
            if (name != "getElementById" || pParams->cArgs != 1 || pParams->rgvarg[0].vt != VT_BSTR || !pResult)
                return DISP_E_MEMBERNOTFOUND;
            std::wstring wanted = pParams->rgvarg[0].bstrVal ? pParams->rgvarg[0].bstrVal : L"";
            Out("page getElementById|%s|%s", Narrow(wanted.c_str()).c_str(), ThreadName());
            pResult->vt = VT_DISPATCH;
            pResult->pdispVal = wanted == s_FlashId ? new PageObject(FLASH) : nullptr;
            return S_OK;
        }
        std::string line = "flash " + name;
        for (UINT i = pParams->cArgs; i > 0; --i)
            line += "|" + VariantText(pParams->rgvarg[i - 1]);
        Out("%s|%s", line.c_str(), ThreadName());
        ++s_nFlashCalls;
        return S_OK;
    }

private:
    virtual ~PageObject() {}
    volatile long m_nRefs;
    Kind m_Kind;
    std::vector<std::wstring> m_Names;
};

// The page document as the control's container sees it.
class Container : public IOleContainer, public IVostxHtmlDocument
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IOleContainer || riid == IID_IParseDisplayName)
            *ppv = static_cast<IOleContainer*>(this);
        else if (riid == IID_IVostxHtmlDocument)
            *ppv = static_cast<IVostxHtmlDocument*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
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
        Out("page get_Script|%s", ThreadName());
        *ppScript = new PageObject(PageObject::WINDOW);
        return S_OK;
    }
};

Container s_Container;

class ClientSite : public IOleClientSite
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IOleClientSite) {
            *ppv = static_cast<IOleClientSite*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
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

void Pump(DWORD nMs, int nUntilCalls)
{
    DWORD nEnd = GetTickCount() + nMs;
    for (;;) {
        if (nUntilCalls >= 0 && s_nFlashCalls >= nUntilCalls)
            return;
        DWORD nNow = GetTickCount();
        if ((LONG)(nEnd - nNow) <= 0)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, nEnd - nNow, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

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
    HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL b = Thread32First(hSnap, &entry); b; b = Thread32Next(hSnap, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId())
            continue;
        HANDLE hThread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
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
    CloseHandle(hSnap);
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
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocString(Widen(args[i].c_str()).c_str());
    }
    DISPPARAMS params = {vars.empty() ? nullptr : vars.data(), nullptr, (UINT)vars.size(), 0};
    e = pControl->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, pResult, nullptr, nullptr);
    for (VARIANT& v : vars)
        VariantClear(&v);
    return e;
}
}  // namespace

int main(int argc, char** argv)
{
    s_nMainThread = GetCurrentThreadId();
    const char* szOut = nullptr;
    int i = 1;
    for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (strcmp(argv[i], "--out") == 0)
            szOut = argv[i + 1];
        else if (strcmp(argv[i], "--flash-id") == 0)
            s_FlashId = Widen(argv[i + 1]);
    }
    s_pOut = szOut ? fopen(szOut, "wb") : stdout;
    if (!s_pOut)
        return 2;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IDispatch* pControl = nullptr;
    for (; i < argc; ++i) {
        std::string command = argv[i];
        if (command == "create") {
            CLSID clsid;
            HRESULT e = CLSIDFromProgID(L"" VOSTX_PROGID, &clsid);
            if (SUCCEEDED(e))
                e = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, (void**)&pControl);
            IOleObject* pObject = nullptr;
            if (SUCCEEDED(e) && SUCCEEDED(pControl->QueryInterface(IID_IOleObject, (void**)&pObject))) {
                e = pObject->SetClientSite(&s_Site);
                pObject->Release();
            }
            Out("create 0x%08lx", (unsigned long)e);
        } else if (command == "cwd") {
            wchar_t szDir[MAX_PATH];
            GetCurrentDirectoryW(MAX_PATH, szDir);
            Out("cwd %s", Narrow(szDir).c_str());
        } else if (command == "version" && pControl) {
            std::vector<std::string> none;
            VARIANT result;
            VariantInit(&result);
            HRESULT e = CallControl(pControl, L"GetVersion", none, &result);
            Out("version 0x%08lx %s", (unsigned long)e, VariantText(result).c_str());
            VariantClear(&result);
        } else if ((command == "init" || command == "init6") && pControl) {
            size_t nCount = command == "init" ? 7 : 6;
            std::vector<std::string> args;
            while (args.size() < nCount && i + 1 < argc)
                args.push_back(argv[++i]);
            VARIANT result;
            VariantInit(&result);
            HRESULT e = CallControl(pControl, L"InitVostX", args, &result);
            Out("%s 0x%08lx", command.c_str(), (unsigned long)e);
            VariantClear(&result);
        } else if (command == "wait-flash" && i + 2 < argc) {
            int nCount = atoi(argv[++i]);
            int nSeconds = atoi(argv[++i]);
            Pump((DWORD)nSeconds * 1000, nCount);
            Out("wait-flash %d", s_nFlashCalls);
        } else if (command == "pump" && i + 1 < argc) {
            Pump((DWORD)atoi(argv[++i]), -1);
        } else if (command == "reset" && pControl) {
            IPersistStreamInit* pPersist = nullptr;
            HRESULT e = pControl->QueryInterface(IID_IPersistStreamInit, (void**)&pPersist);
            if (SUCCEEDED(e)) {
                e = pPersist->InitNew();
                pPersist->Release();
            }
            Out("reset 0x%08lx", (unsigned long)e);
        } else if (command == "release" && pControl) {
            IOleObject* pObject = nullptr;
            if (SUCCEEDED(pControl->QueryInterface(IID_IOleObject, (void**)&pObject))) {
                pObject->Close(OLECLOSE_NOSAVE);
                pObject->Release();
            }
            pControl->Release();
            pControl = nullptr;
            Out("release");
        } else if (command == "threads" && i + 1 < argc) {
            // The install threads end on their own; their marshalled calls keep arriving meanwhile.
            DWORD nEnd = GetTickCount() + (DWORD)atoi(argv[++i]) * 1000;
            int nLeft = PluginThreads();
            while (nLeft && (LONG)(nEnd - GetTickCount()) > 0) {
                Pump(100, -1);
                nLeft = PluginThreads();
            }
            Out("threads plugin=%d", nLeft);
        } else if (command == "canunload") {
            typedef HRESULT(STDAPICALLTYPE * CanUnloadNow)();
            HMODULE hDll = GetModuleHandleA("npvostxlive.dll");
            auto pfnCanUnload = hDll ? (CanUnloadNow)(void*)GetProcAddress(hDll, "DllCanUnloadNow") : nullptr;
            if (pfnCanUnload)
                Out("canunload 0x%08lx", (unsigned long)pfnCanUnload());
            else
                Out("canunload unloaded");
        } else if (command == "toolbox") {
            Out("%s", ToolboxBitmap().c_str());
        } else if (command == "freeunused") {
            CoFreeUnusedLibraries();
            Out("freeunused loaded=%d", GetModuleHandleA("npvostxlive.dll") != nullptr);
        } else {
            Out("bad command %s", command.c_str());
            return 2;
        }
    }
    if (pControl)
        pControl->Release();
    CoUninitialize();
    return 0;
}
