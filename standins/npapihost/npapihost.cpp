// Stand-in for an NPAPI browser (the plug-in's host in Mozilla-type browsers): loads the plug-in
// DLL through its exports, offers the browser functions the plug-in calls, a page whose window
// has a "document" with "getElementById", and one Flash element that records the calls made on
// it with their argument types and the thread they arrive on. Async calls are posted to the
// main thread's message loop, as a browser runs them on its plug-in thread.
//
// It is as strict as a browser: invoke only after hasMethod said yes; strings handed to the
// plug-in are bounded by their length alone (no terminating NUL); every browser function but
// the async call must come on the page's thread; the page's window, document and element
// objects must be released exactly once each; the DLL is unloaded after NP_Shutdown. A fault
// is a "fault ..." line, and the run then ends with exit code 3.
//
//   npapihost --dll PATH --out FILE [--flash-id ID] COMMAND...
//
// Commands (run in order; every result is a line in FILE):
//   init-null           NP_Initialize without a table
//   init                NP_Initialize with the browser table
//   entry               NP_GetEntryPoints; prints the version and which entries were set
//   new                 NPP_New of the one instance
//   getvalue N          NPP_GetValue of variable N
//   object              the scriptable object (NPP_GetValue 15)
//   invoke NAME ARG...  a method of the object; ARG: s:TEXT i:N d:X b:0|1 null void
//   default             the object called itself
//   hasmethod NAME
//   wait-flash N SECS   runs the message loop until N Flash calls arrived (or the time is up)
//   pump MS             runs the message loop for MS milliseconds
//   release             drops the host's reference to the object
//   destroy             NPP_Destroy
//   shutdown            NP_Shutdown, then FreeLibrary of the DLL
//   loaded              whether the DLL is still in the process
//   threads SECS        waits until the process runs no thread but those it had at start
//   version             the DLL's version texts that browsers read
//   new-again           NPP_New once more on the same instance
//   nodata-getvalue     NPP_GetValue on an instance the plug-in never saw
//   messagebox SECS     the text of the plug-in's message box, which is then closed
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "launch/vostx/npapi.h"
#include "standins/pagehost/pagehost.h"

namespace
{
std::string s_Exception;
const UINT WM_ASYNC_CALL = WM_APP + 1;
bool s_bFault = false;

void Fault(const char* szText, const char* szWhat)
{
    HostOut("fault %s %s", szText, szWhat);
    s_bFault = true;
}

// A browser runs the plug-in's calls to it on the page's thread only.
void OnPageThread(const char* szFunction)
{
    if (!HostOnPageThread())
        Fault("off the page's thread:", szFunction);
}

// Identifiers: one interned string each, for the process's life.
std::set<std::string>& Identifiers()
{
    static std::set<std::string> s_Names;
    return s_Names;
}

NPIdentifier NP_CALLBACK GetStringIdentifier(const NPUTF8* szName)
{
    OnPageThread("NPN_GetStringIdentifier");
    return (NPIdentifier) & *Identifiers().insert(szName ? szName : "").first;
}

const std::string& NameOf(NPIdentifier id)
{
    return *static_cast<const std::string*>(id);
}

void* NP_CALLBACK MemAlloc(uint32_t nSize)
{
    OnPageThread("NPN_MemAlloc");
    return malloc(nSize);
}

void NP_CALLBACK MemFree(void* p)
{
    OnPageThread("NPN_MemFree");
    free(p);
}

NPUTF8* NP_CALLBACK Utf8FromIdentifier(NPIdentifier id)
{
    OnPageThread("NPN_UTF8FromIdentifier");
    const std::string& name = NameOf(id);
    char* p = static_cast<char*>(malloc(name.size() + 1));
    memcpy(p, name.c_str(), name.size() + 1);
    return p;
}

// The page's own objects (window, document, element): counted, and kept after their last
// release so that one release too many is seen rather than freed twice.
int s_nPageObjects = 0;
bool IsPageClass(const NPClass* pClass);

NPObject* NewObject(NPP npp, NPClass* pClass)
{
    NPObject* pObject =
        pClass->allocate ? pClass->allocate(npp, pClass) : static_cast<NPObject*>(calloc(1, sizeof(NPObject)));
    if (pObject) {
        pObject->_class = pClass;
        pObject->referenceCount = 1;
        if (IsPageClass(pClass))
            ++s_nPageObjects;
    }
    return pObject;
}

NPObject* NP_CALLBACK CreateObject(NPP npp, NPClass* pClass)
{
    OnPageThread("NPN_CreateObject");
    return NewObject(npp, pClass);
}

NPObject* NP_CALLBACK RetainObject(NPObject* pObject)
{
    OnPageThread("NPN_RetainObject");
    if (pObject && IsPageClass(pObject->_class) && pObject->referenceCount == 0)
        Fault("retain of a released page object", "");
    if (pObject)
        ++pObject->referenceCount;
    return pObject;
}

void ReleaseOne(NPObject* pObject)
{
    if (!pObject)
        return;
    if (IsPageClass(pObject->_class)) {
        if (pObject->referenceCount == 0) {
            Fault("page object released once too often", "");
            return;
        }
        if (--pObject->referenceCount == 0)
            --s_nPageObjects;
        return;
    }
    if (--pObject->referenceCount == 0) {
        if (pObject->_class->deallocate)
            pObject->_class->deallocate(pObject);
        else
            free(pObject);
    }
}

void NP_CALLBACK ReleaseObject(NPObject* pObject)
{
    OnPageThread("NPN_ReleaseObject");
    ReleaseOne(pObject);
}

void FreeVariant(NPVariant* pVariant)
{
    if (pVariant->type == NPVariantType_String)
        free((void*)pVariant->value.stringValue.UTF8Characters);
    else if (pVariant->type == NPVariantType_Object)
        ReleaseOne(pVariant->value.objectValue);
    pVariant->type = NPVariantType_Void;
}

void NP_CALLBACK ReleaseVariantValue(NPVariant* pVariant)
{
    OnPageThread("NPN_ReleaseVariantValue");
    FreeVariant(pVariant);
}

void NP_CALLBACK SetException(NPObject*, const NPUTF8* szMessage)
{
    OnPageThread("NPN_SetException");
    s_Exception = szMessage ? szMessage : "";
}

bool NP_CALLBACK Invoke(NPP, NPObject* pObject, NPIdentifier name, const NPVariant* pArgs, uint32_t nCount,
                        NPVariant* pResult)
{
    OnPageThread("NPN_Invoke");
    return pObject->_class->invoke && pObject->_class->invoke(pObject, name, pArgs, nCount, pResult);
}

bool NP_CALLBACK GetProperty(NPP, NPObject* pObject, NPIdentifier name, NPVariant* pResult)
{
    OnPageThread("NPN_GetProperty");
    return pObject->_class->getProperty && pObject->_class->getProperty(pObject, name, pResult);
}

bool NP_CALLBACK HasMethod(NPP, NPObject* pObject, NPIdentifier name)
{
    OnPageThread("NPN_HasMethod");
    return pObject->_class->hasMethod && pObject->_class->hasMethod(pObject, name);
}

struct AsyncCall
{
    NPPluginThreadAsyncCallFunc m_pfnFunc;
    void* m_pData;
};

void NP_CALLBACK PluginThreadAsyncCall(NPP, NPPluginThreadAsyncCallFunc pfnFunc, void* pData)
{
    AsyncCall* pCall = new AsyncCall{pfnFunc, pData};
    if (!PostThreadMessageA(HostPageThread(), WM_ASYNC_CALL, 0, (LPARAM)pCall))
        delete pCall;
}

// The page's message loop runs the queued async calls.
bool RunAsyncCall(const MSG& msg)
{
    if (msg.message != WM_ASYNC_CALL)
        return false;
    AsyncCall* pCall = reinterpret_cast<AsyncCall*>(msg.lParam);
    pCall->m_pfnFunc(pCall->m_pData);
    delete pCall;
    return true;
}

// ---- The page: window -> document -> getElementById(id) -> the Flash element ----

std::string VariantText(const NPVariant& v)
{
    char sz[64];
    switch (v.type) {
    case NPVariantType_Void: return "void";
    case NPVariantType_Null: return "null";
    case NPVariantType_Bool: return v.value.boolValue ? "bool:true" : "bool:false";
    case NPVariantType_Int32: snprintf(sz, sizeof(sz), "int:%d", (int)v.value.intValue); return sz;
    case NPVariantType_Double: snprintf(sz, sizeof(sz), "double:%.9g", v.value.doubleValue); return sz;
    case NPVariantType_String:
        return "string:" + std::string(v.value.stringValue.UTF8Characters, v.value.stringValue.UTF8Length);
    case NPVariantType_Object: return "object";
    }
    return "?";
}

bool NP_CALLBACK FlashHasMethod(NPObject*, NPIdentifier)
{
    return true;
}

bool NP_CALLBACK FlashInvoke(NPObject*, NPIdentifier name, const NPVariant* pArgs, uint32_t nCount, NPVariant* pResult)
{
    std::vector<std::string> args;
    for (uint32_t i = 0; i < nCount; ++i)
        args.push_back(VariantText(pArgs[i]));
    HostFlashCall(NameOf(name), args);
    pResult->type = NPVariantType_Void;
    return true;
}

NPClass MakeClass(NPHasMethodFunctionPtr pfnHasMethod, NPInvokeFunctionPtr pfnInvoke, NPGetPropertyFunctionPtr pfnGet)
{
    NPClass c;
    memset(&c, 0, sizeof(c));
    c.structVersion = NP_CLASS_STRUCT_VERSION;
    c.hasMethod = pfnHasMethod;
    c.invoke = pfnInvoke;
    c.getProperty = pfnGet;
    return c;
}

NPClass s_FlashClass = MakeClass(FlashHasMethod, FlashInvoke, nullptr);

bool NP_CALLBACK DocumentHasMethod(NPObject*, NPIdentifier name)
{
    return NameOf(name) == "getElementById";
}

bool NP_CALLBACK DocumentInvoke(NPObject*, NPIdentifier name, const NPVariant* pArgs, uint32_t nCount,
                                NPVariant* pResult)
{
    if (NameOf(name) != "getElementById" || nCount != 1 || pArgs[0].type != NPVariantType_String)
        return false;
    std::string id(pArgs[0].value.stringValue.UTF8Characters, pArgs[0].value.stringValue.UTF8Length);
    if (!HostFindElement(id)) {
        pResult->type = NPVariantType_Null;
        return true;
    }
    pResult->type = NPVariantType_Object;
    pResult->value.objectValue = NewObject(nullptr, &s_FlashClass);
    return true;
}

NPClass s_DocumentClass = MakeClass(DocumentHasMethod, DocumentInvoke, nullptr);

bool NP_CALLBACK WindowGetProperty(NPObject*, NPIdentifier name, NPVariant* pResult)
{
    if (NameOf(name) != "document")
        return false;
    pResult->type = NPVariantType_Object;
    pResult->value.objectValue = NewObject(nullptr, &s_DocumentClass);
    return true;
}

NPClass s_WindowClass = MakeClass(nullptr, nullptr, WindowGetProperty);

NPError NP_CALLBACK GetValue(NPP, NPNVariable variable, void* pValue)
{
    OnPageThread("NPN_GetValue");
    if (variable != NPNVWindowNPObject)
        return NPERR_GENERIC_ERROR;
    *static_cast<NPObject**>(pValue) = NewObject(nullptr, &s_WindowClass);
    return NPERR_NO_ERROR;
}

bool IsPageClass(const NPClass* pClass)
{
    return pClass == &s_WindowClass || pClass == &s_DocumentClass || pClass == &s_FlashClass;
}

// Text arguments live here for the run, each followed by other bytes instead of a NUL: only
// UTF8Length bounds an NPString.
std::vector<std::vector<char>> s_Texts;

NPVariant ParseArg(const char* sz)
{
    NPVariant v;
    v.type = NPVariantType_Void;
    if (strncmp(sz, "s:", 2) == 0) {
        size_t nLength = strlen(sz + 2);
        std::vector<char> text(sz + 2, sz + 2 + nLength);
        text.insert(text.end(), 8, '#');
        s_Texts.push_back(text);
        v.type = NPVariantType_String;
        v.value.stringValue.UTF8Characters = s_Texts.back().data();
        v.value.stringValue.UTF8Length = (uint32_t)nLength;
    } else if (strncmp(sz, "i:", 2) == 0) {
        v.type = NPVariantType_Int32;
        v.value.intValue = atoi(sz + 2);
    } else if (strncmp(sz, "d:", 2) == 0) {
        v.type = NPVariantType_Double;
        v.value.doubleValue = atof(sz + 2);
    } else if (strncmp(sz, "b:", 2) == 0) {
        v.type = NPVariantType_Bool;
        v.value.boolValue = sz[2] == '1';
    } else if (strcmp(sz, "null") == 0) {
        v.type = NPVariantType_Null;
    }
    return v;
}

bool IsCommand(const char* sz)
{
    static const char* aszCommands[] = {"init-null", "init",      "entry",           "new",        "getvalue",
                                        "object",    "invoke",    "default",         "hasmethod",  "wait-flash",
                                        "pump",      "release",   "destroy",         "shutdown",   "threads",
                                        "version",   "new-again", "nodata-getvalue", "messagebox", "loaded"};
    for (const char* szCommand : aszCommands)
        if (strcmp(sz, szCommand) == 0)
            return true;
    return false;
}
}  // namespace

int main(int argc, char** argv)
{
    std::map<std::string, std::string> options;
    int i = 0;
    bool bStarted = HostStart(argc, argv, &options, &i);
    const char* szDll = options.count("dll") ? options["dll"].c_str() : nullptr;
    if (!bStarted || !szDll) {
        fprintf(stderr, "usage: npapihost --dll PATH --out FILE [--flash-id ID] COMMAND...\n");
        return 2;
    }
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the thread's message queue, for async calls
    HostSetMessageHook(RunAsyncCall);
    std::set<DWORD> threadsAtStart = HostThreadIds();

    HMODULE hDll = LoadLibraryA(szDll);
    if (!hDll) {
        HostOut("load failed %lu", GetLastError());
        return 1;
    }
    auto pfnGetEntryPoints = (NP_GetEntryPointsFunc)(void*)GetProcAddress(hDll, "NP_GetEntryPoints");
    auto pfnInitialize = (NP_InitializeFunc)(void*)GetProcAddress(hDll, "NP_Initialize");
    auto pfnShutdown = (NP_ShutdownFunc)(void*)GetProcAddress(hDll, "NP_Shutdown");
    HostOut("exports NP_GetEntryPoints=%d NP_Initialize=%d NP_Shutdown=%d NewPlugin=%d", pfnGetEntryPoints != nullptr,
            pfnInitialize != nullptr, pfnShutdown != nullptr, GetProcAddress(hDll, "NewPlugin") != nullptr);
    if (!pfnGetEntryPoints || !pfnInitialize || !pfnShutdown)
        return 1;

    NPNetscapeFuncs browser;
    memset(&browser, 0, sizeof(browser));
    browser.size = sizeof(browser);
    browser.version = 19;
    browser.memalloc = MemAlloc;
    browser.memfree = MemFree;
    browser.getvalue = GetValue;
    browser.getstringidentifier = GetStringIdentifier;
    browser.utf8fromidentifier = Utf8FromIdentifier;
    browser.createobject = CreateObject;
    browser.retainobject = RetainObject;
    browser.releaseobject = ReleaseObject;
    browser.invoke = Invoke;
    browser.getproperty = GetProperty;
    browser.hasmethod = HasMethod;
    browser.releasevariantvalue = ReleaseVariantValue;
    browser.setexception = SetException;
    browser.pluginthreadasynccall = PluginThreadAsyncCall;

    NPPluginFuncs plugin;
    memset(&plugin, 0xEE, sizeof(plugin));  // entries the plug-in leaves alone keep this
    plugin.size = sizeof(plugin);
    NPP_t instance = {nullptr, nullptr};
    NPObject* pObject = nullptr;

    for (; i < argc; ++i) {
        const char* szCommand = argv[i];
        if (strcmp(szCommand, "init-null") == 0)
            HostOut("init-null %d", pfnInitialize(nullptr));
        else if (strcmp(szCommand, "init") == 0)
            HostOut("init %d", pfnInitialize(&browser));
        else if (strcmp(szCommand, "entry") == 0) {
            int nResult = pfnGetEntryPoints(&plugin);
            const void* pUntouched;
            memset(&pUntouched, 0xEE, sizeof(pUntouched));
            HostOut("entry %d version=%d size=%d newp=%d destroy=%d setwindow=%d event=%d getvalue=%d newstream=%s "
                    "setvalue=%s",
                    nResult, plugin.version, plugin.size == sizeof(plugin), plugin.newp != nullptr,
                    plugin.destroy != nullptr, plugin.setwindow != nullptr, plugin.event != nullptr,
                    plugin.getvalue != nullptr, plugin.newstream == pUntouched ? "untouched" : "changed",
                    plugin.setvalue == pUntouched ? "untouched" : "changed");
            if (plugin.setwindow)
                HostOut("setwindow %d event %d", plugin.setwindow(&instance, nullptr),
                        plugin.event(&instance, nullptr));
        } else if (strcmp(szCommand, "new") == 0)
            HostOut("new %d",
                    plugin.newp("application/x-vost-plugin-live", &instance, 1, 0, nullptr, nullptr, nullptr));
        else if (strcmp(szCommand, "getvalue") == 0 && i + 1 < argc) {
            int nVariable = atoi(argv[++i]);
            void* pValue = nullptr;
            NPError nResult = plugin.getvalue(&instance, (NPPVariable)nVariable, &pValue);
            if (nResult == NPERR_NO_ERROR && (nVariable == 1 || nVariable == 2))
                HostOut("getvalue %d %d %s", nVariable, nResult, static_cast<const char*>(pValue));
            else if (nResult == NPERR_NO_ERROR && nVariable == 14)
                HostOut("getvalue %d %d %d", nVariable, nResult, *reinterpret_cast<NPBool*>(&pValue));
            else
                HostOut("getvalue %d %d", nVariable, nResult);
            if (nResult == NPERR_NO_ERROR && nVariable == 15 && pValue)
                ReleaseObject(static_cast<NPObject*>(pValue));
        } else if (strcmp(szCommand, "object") == 0) {
            NPObject* pNew = nullptr;
            NPError nResult = plugin.getvalue(&instance, NPPVpluginScriptableNPObject, &pNew);
            if (pObject)
                ReleaseObject(pObject);
            pObject = pNew;
            HostOut("object %d %s refs=%u", nResult, pObject ? "set" : "null", pObject ? pObject->referenceCount : 0);
        } else if (strcmp(szCommand, "invoke") == 0 && i + 1 < argc && pObject) {
            const char* szName = argv[++i];
            std::vector<NPVariant> args;
            while (i + 1 < argc && !IsCommand(argv[i + 1]))
                args.push_back(ParseArg(argv[++i]));
            NPVariant result;
            result.type = NPVariantType_Void;
            s_Exception.clear();
            NPIdentifier name = GetStringIdentifier(szName);
            if (!pObject->_class->hasMethod || !pObject->_class->hasMethod(pObject, name)) {
                HostOut("invoke %s nomethod", szName);
                continue;
            }
            bool bOk = pObject->_class->invoke(pObject, name, args.data(), (uint32_t)args.size(), &result);
            HostOut("invoke %s %s %s exception=%s", szName, bOk ? "true" : "false", VariantText(result).c_str(),
                    s_Exception.c_str());
            if (bOk)
                FreeVariant(&result);
        } else if (strcmp(szCommand, "default") == 0 && pObject) {
            NPVariant result;
            result.type = NPVariantType_Void;
            bool bOk = pObject->_class->invokeDefault(pObject, nullptr, 0, &result);
            HostOut("default %s %s", bOk ? "true" : "false", VariantText(result).c_str());
        } else if (strcmp(szCommand, "hasmethod") == 0 && i + 1 < argc && pObject) {
            const char* szName = argv[++i];
            HostOut("hasmethod %s %s", szName,
                    pObject->_class->hasMethod(pObject, GetStringIdentifier(szName)) ? "true" : "false");
        } else if (HostLoopCommand(szCommand, argc, argv, &i)) {
            // wait-flash, pump: run alike in both hosts
        } else if (strcmp(szCommand, "release") == 0) {
            if (pObject)
                ReleaseObject(pObject);
            pObject = nullptr;
            HostOut("release");
        } else if (strcmp(szCommand, "destroy") == 0)
            HostOut("destroy %d", plugin.destroy(&instance, nullptr));
        else if (strcmp(szCommand, "shutdown") == 0) {
            HostOut("shutdown %d", pfnShutdown());
            FreeLibrary(hDll);
            hDll = nullptr;
        } else if (strcmp(szCommand, "loaded") == 0)
            HostOut("loaded %d", GetModuleHandleA(szDll) != nullptr);
        else if (strcmp(szCommand, "threads") == 0 && i + 1 < argc) {
            // Other threads of the plug-in end on their own; queued calls keep arriving meanwhile.
            int nExtra = HostPumpWhile((DWORD)atoi(argv[++i]), [&threadsAtStart] {
                int n = 0;
                for (DWORD id : HostThreadIds())
                    n += threadsAtStart.count(id) ? 0 : 1;
                return n;
            });
            HostOut("threads extra=%d", nExtra);
        } else if (strcmp(szCommand, "new-again") == 0)
            HostOut("new-again %d",
                    plugin.newp("application/x-vost-plugin-live", &instance, 1, 0, nullptr, nullptr, nullptr));
        else if (strcmp(szCommand, "nodata-getvalue") == 0) {
            NPP_t bare = {nullptr, nullptr};
            void* pValue = nullptr;
            HostOut("nodata-getvalue %d", plugin.getvalue(&bare, NPPVpluginNameString, &pValue));
        } else if (strcmp(szCommand, "messagebox") == 0 && i + 1 < argc) {
            DWORD nEnd = GetTickCount() + (DWORD)atoi(argv[++i]) * 1000;
            HWND hBox = nullptr;
            while (!(hBox = FindWindowA(nullptr, "Ironvale plugin")) && (LONG)(nEnd - GetTickCount()) > 0)
                HostPump(100);
            if (!hBox) {
                HostOut("messagebox none");
            } else {
                char szText[512] = "";
                GetDlgItemTextA(hBox, 0xFFFF, szText, sizeof(szText));  // the message box's text control
                HostOut("messagebox %s", szText);
                PostMessageA(hBox, WM_COMMAND, IDOK, 0);
                while (IsWindow(hBox) && (LONG)(nEnd - GetTickCount()) > 0)
                    HostPump(50);
            }
        } else if (strcmp(szCommand, "version") == 0) {
            DWORD nHandle = 0;
            DWORD nSize = GetFileVersionInfoSizeA(szDll, &nHandle);
            std::vector<char> block(nSize ? nSize : 1);
            if (!nSize || !GetFileVersionInfoA(szDll, 0, nSize, block.data()))
                HostOut("version none");
            static const char* aszKeys[] = {"MIMEType",       "FileExtents",    "FileOpenName",     "FileDescription",
                                            "ProductName",    "InternalName",   "OriginalFilename", "FileVersion",
                                            "ProductVersion", "OLESelfRegister"};
            for (const char* szKey : aszKeys) {
                std::string query = std::string("\\StringFileInfo\\040904e4\\") + szKey;
                char* pValue = nullptr;
                UINT nLength = 0;
                if (nSize && VerQueryValueA(block.data(), query.c_str(), (void**)&pValue, &nLength))
                    HostOut("version %s=%s", szKey, nLength ? pValue : "");
                else
                    HostOut("version %s missing", szKey);
            }
        } else {
            HostOut("bad command %s", szCommand);
            return 2;
        }
    }
    if (s_nPageObjects != 0)
        Fault("page objects not released:", std::to_string(s_nPageObjects).c_str());
    return s_bFault ? 3 : 0;
}
