// The plug-in in NPAPI browsers: the exported entry points, the plug-in functions, the
// scriptable object with InitVostX and GetVersion, and the core whose page calls are queued to
// the browser's plug-in thread.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/system/zlock.h"
#include "common/system/zthread.h"
#include "common/system/zwin.h"
#include "launch/vostx/npapi.h"
#include "launch/vostx/vostxcore.h"

namespace
{
NPNetscapeFuncs* s_pBrowser = nullptr;

const char kInvocationError[] = "exception during invocation";

// Instances the browser has not destroyed yet, each with the serial of its InstanceData: a
// queued page call checks it on arrival, so it never reaches a destroyed instance, nor a new
// one that the browser made at the same address.
ZCriticalSection& LiveLock()
{
    static ZCriticalSection s_Lock;
    return s_Lock;
}
struct LiveEntry
{
    NPP m_Instance;
    unsigned m_nSerial;
};
LiveEntry* s_pLive = nullptr;
int s_nLive = 0;
int s_nLiveCapacity = 0;
unsigned s_nNextSerial = 1;

// The caller holds LiveLock.
bool IsLiveLocked(NPP instance, unsigned nSerial)
{
    for (int i = 0; i < s_nLive; ++i) {
        if (s_pLive[i].m_Instance == instance && s_pLive[i].m_nSerial == nSerial)
            return true;
    }
    return false;
}

bool IsLive(NPP instance, unsigned nSerial)
{
    ZLockGuard guard(LiveLock());
    return IsLiveLocked(instance, nSerial);
}

unsigned AddLive(NPP instance)
{
    ZLockGuard guard(LiveLock());
    if (s_nLive == s_nLiveCapacity) {
        int nCapacity = s_nLiveCapacity ? s_nLiveCapacity * 2 : 8;
        LiveEntry* p = static_cast<LiveEntry*>(realloc(s_pLive, nCapacity * sizeof(LiveEntry)));
        if (!p)
            return 0;
        s_pLive = p;
        s_nLiveCapacity = nCapacity;
    }
    unsigned nSerial = s_nNextSerial++;
    s_pLive[s_nLive++] = {instance, nSerial};
    return nSerial;
}

// Every entry of the instance: a browser that called NPP_New on it twice made two, and the
// destroyed instance must take neither's calls.
void RemoveLive(NPP instance)
{
    ZLockGuard guard(LiveLock());
    for (int i = 0; i < s_nLive;) {
        if (s_pLive[i].m_Instance == instance)
            s_pLive[i] = s_pLive[--s_nLive];
        else
            ++i;
    }
}

struct ScriptableObject;

struct InstanceData
{
    ScriptableObject* m_pObject;
    unsigned m_nSerial;
};

class VostxNpapiCore : public VostxCore
{
public:
    VostxNpapiCore(NPP instance, unsigned nSerial, const char* szName)
        : VostxCore(szName), m_Instance(instance), m_nSerial(nSerial)
    {
    }
    void CallFlash(const char* szMethod, const char* szText, float fValue, const char* szId, void* pData) override
    {
        Queue(szMethod, szText, fValue, true, szId);
    }
    void CallFlashError(const char* szMethod, const char* szText, const char* szId, void* pData) override
    {
        Queue(szMethod, szText, 0.0f, false, szId);
    }

private:
    void Queue(const char* szMethod, const char* szText, float fValue, bool bHasValue, const char* szId);

    NPP m_Instance;
    unsigned m_nSerial;
};

// One page call on its way from the install thread to the browser's thread.
struct FlashCallArgs
{
    ZStringBuffer<256> m_Method;
    ZStringBuffer<256> m_Text;
    float m_fValue;
    bool m_bHasValue;
    ZStringBuffer<256> m_FlashObjectId;
    NPP m_Instance;
    unsigned m_nSerial;
};

bool GetElementById(NPP instance, const char* szId, NPObject** ppElement)
{
    NPObject* pWindow = nullptr;
    if (s_pBrowser->getvalue(instance, NPNVWindowNPObject, &pWindow) != NPERR_NO_ERROR || !pWindow)
        return false;
    bool bFound = false;
    NPVariant document;
    document.type = NPVariantType_Void;
    if (s_pBrowser->getproperty(instance, pWindow, s_pBrowser->getstringidentifier("document"), &document)) {
        if (document.type == NPVariantType_Object && document.value.objectValue) {
            NPObject* pDocument = document.value.objectValue;
            NPIdentifier getElementById = s_pBrowser->getstringidentifier("getElementById");
            if (s_pBrowser->hasmethod(instance, pDocument, getElementById)) {
                NPVariant arg;
                arg.type = NPVariantType_String;
                arg.value.stringValue.UTF8Characters = szId;
                arg.value.stringValue.UTF8Length = (uint32_t)strlen(szId);
                NPVariant element;
                element.type = NPVariantType_Void;
                if (s_pBrowser->invoke(instance, pDocument, getElementById, &arg, 1, &element)) {
                    if (element.type == NPVariantType_Object && element.value.objectValue) {
                        *ppElement = element.value.objectValue;
                        bFound = true;
                    } else {
                        s_pBrowser->releasevariantvalue(&element);
                    }
                }
            }
        }
        s_pBrowser->releasevariantvalue(&document);
    }
    s_pBrowser->releaseobject(pWindow);
    return bFound;
}

void NP_CALLBACK DeliverFlashCall(void* pUserData)
{
    FlashCallArgs* pArgs = static_cast<FlashCallArgs*>(pUserData);
    NPObject* pElement = nullptr;
    if (IsLive(pArgs->m_Instance, pArgs->m_nSerial) &&
        GetElementById(pArgs->m_Instance, pArgs->m_FlashObjectId.GetData(), &pElement)) {
        NPVariant args[2];
        args[0].type = NPVariantType_String;
        args[0].value.stringValue.UTF8Characters = pArgs->m_Text.GetData();
        args[0].value.stringValue.UTF8Length = (uint32_t)pArgs->m_Text.GetLength();
        args[1].type = NPVariantType_Double;
        args[1].value.doubleValue = pArgs->m_fValue;
        NPVariant result;
        result.type = NPVariantType_Void;
        if (s_pBrowser->invoke(pArgs->m_Instance, pElement, s_pBrowser->getstringidentifier(pArgs->m_Method.GetData()),
                               args, pArgs->m_bHasValue ? 2 : 1, &result))
            s_pBrowser->releasevariantvalue(&result);
        s_pBrowser->releaseobject(pElement);
    }
    delete pArgs;
}

void VostxNpapiCore::Queue(const char* szMethod, const char* szText, float fValue, bool bHasValue, const char* szId)
{
    FlashCallArgs* pArgs = new (std::nothrow) FlashCallArgs;
    if (!pArgs)
        return;
    pArgs->m_Method.Assign(szMethod);
    pArgs->m_Text.Assign(szText);
    pArgs->m_fValue = fValue;
    pArgs->m_bHasValue = bHasValue;
    pArgs->m_FlashObjectId.Assign(szId);
    pArgs->m_Instance = m_Instance;
    pArgs->m_nSerial = m_nSerial;
    // The browser must not be handed an instance it has destroyed, nor anything after
    // NP_Shutdown; the check holds the lock that NppDestroy and NP_Shutdown take, so neither
    // can happen between check and call.
    {
        ZLockGuard guard(LiveLock());
        if (s_pBrowser && IsLiveLocked(m_Instance, m_nSerial)) {
            s_pBrowser->pluginthreadasynccall(m_Instance, &DeliverFlashCall, pArgs);
            return;
        }
    }
    delete pArgs;
}

// The object the page scripts: the NPAPI header, then our fields. The browser may keep it after
// NPP_Destroy, so it carries the serial of the instance data it was made for.
struct ScriptableObject
{
    NPObject m_Header;
    uint32_t m_nReserved;
    VostxNpapiCore* m_pCore;
    NPP m_Instance;
    unsigned m_nSerial;
};

NPObject* NP_CALLBACK ObjectAllocate(NPP instance, NPClass* pClass)
{
    ScriptableObject* pObject = static_cast<ScriptableObject*>(calloc(1, sizeof(ScriptableObject)));
    if (!pObject)
        return nullptr;
    pObject->m_Instance = instance;
    return &pObject->m_Header;
}

void NP_CALLBACK ObjectDeallocate(NPObject* pHeader)
{
    ScriptableObject* pObject = reinterpret_cast<ScriptableObject*>(pHeader);
    // The object's reference only: a running install thread keeps the core alive.
    if (pObject->m_pCore)
        pObject->m_pCore->Release();
    free(pObject);
}

bool NP_CALLBACK ObjectHasMethod(NPObject*, NPIdentifier)
{
    return true;
}

ZStringBuffer<256> VariantToText(const NPVariant& variant)
{
    ZStringBuffer<256> text;
    switch (variant.type) {
    case NPVariantType_Bool: text.Assign(variant.value.boolValue ? "1" : "0"); break;
    case NPVariantType_Int32: text.Format("%d", (int)variant.value.intValue); break;
    case NPVariantType_Double: text.Format("%f", (double)(float)variant.value.doubleValue); break;
    case NPVariantType_String:
        if (variant.value.stringValue.UTF8Characters)
            text.Assign(variant.value.stringValue.UTF8Characters, (int)variant.value.stringValue.UTF8Length);
        break;
    default: break;
    }
    return text;
}

bool InvokeInitVostX(ScriptableObject* pObject, const NPVariant* pArgs, uint32_t nCount)
{
    if (nCount != 7) {
        s_pBrowser->setexception(&pObject->m_Header, "InitVostX: invalid number of parameters (expected 7)");
        return false;
    }
    // A destroyed instance may be freed already: it is not touched, and no run starts for it.
    if (!IsLive(pObject->m_Instance, pObject->m_nSerial)) {
        s_pBrowser->setexception(&pObject->m_Header, kInvocationError);
        return false;
    }
    ZStringBuffer<256> texts[7];
    for (int i = 0; i < 7; ++i)
        texts[i] = VariantToText(pArgs[i]);
    if (pObject->m_pCore) {
        pObject->m_pCore->Release();
        pObject->m_pCore = nullptr;
    }
    pObject->m_pCore = new (std::nothrow) VostxNpapiCore(pObject->m_Instance, pObject->m_nSerial, texts[0].GetData());
    if (!pObject->m_pCore)
        return true;
    pObject->m_pCore->InitFromPage(texts);
    return true;
}

bool NP_CALLBACK ObjectInvoke(NPObject* pHeader, NPIdentifier name, const NPVariant* pArgs, uint32_t nCount,
                              NPVariant* pResult)
{
    ScriptableObject* pObject = reinterpret_cast<ScriptableObject*>(pHeader);
    NPUTF8* szName = s_pBrowser->utf8fromidentifier(name);
    if (!szName) {
        s_pBrowser->setexception(pHeader, kInvocationError);
        return false;
    }
    bool bResult = false;
    if (strcmp(szName, "InitVostX") == 0) {
        pResult->type = NPVariantType_Void;
        bResult = InvokeInitVostX(pObject, pArgs, nCount);
    } else if (strcmp(szName, "GetVersion") == 0) {
        char* szVersion = static_cast<char*>(s_pBrowser->memalloc(8));
        if (szVersion) {
            memcpy(szVersion, "1.0.4.6", 8);
            pResult->type = NPVariantType_String;
            pResult->value.stringValue.UTF8Characters = szVersion;
            pResult->value.stringValue.UTF8Length = 7;
            bResult = true;
        } else {
            s_pBrowser->setexception(pHeader, kInvocationError);
        }
    } else {
        s_pBrowser->setexception(pHeader, kInvocationError);
    }
    s_pBrowser->memfree(szName);
    return bResult;
}

bool NP_CALLBACK ObjectInvokeDefault(NPObject*, const NPVariant*, uint32_t, NPVariant* pResult)
{
    pResult->type = NPVariantType_Int32;
    pResult->value.intValue = 42;
    return true;
}

bool NP_CALLBACK ObjectNoProperty(NPObject*, NPIdentifier)
{
    return false;
}

bool NP_CALLBACK ObjectGetProperty(NPObject*, NPIdentifier, NPVariant*)
{
    return false;
}

NPClass s_ScriptableClass = {
    NP_CLASS_STRUCT_VERSION,
    ObjectAllocate,
    ObjectDeallocate,
    nullptr,
    ObjectHasMethod,
    ObjectInvoke,
    ObjectInvokeDefault,
    ObjectNoProperty,
    ObjectGetProperty,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

DWORD WINAPI MessageThread(void* pText)
{
    MessageBoxA(nullptr, static_cast<char*>(pText), "Ironvale plugin", MB_OK | MB_ICONEXCLAMATION);
    free(pText);
    return 0;
}

void ShowPluginMessage(const char* szFormat, ...) ZPRINTF_FORMAT(1, 2);
void ShowPluginMessage(const char* szFormat, ...)
{
    char szText[4001];
    va_list args;
    va_start(args, szFormat);
    vsnprintf(szText, sizeof(szText), szFormat, args);
    va_end(args);
    char* pCopy = _strdup(szText);
    if (!pCopy)
        return;
    HANDLE hThread = CreateThread(nullptr, 0, &MessageThread, pCopy, 0, nullptr);
    if (hThread)
        CloseHandle(hThread);
    else
        free(pCopy);
}

NPError NP_CALLBACK NppNew(const char*, NPP instance, uint16_t, int16_t, char*[], char*[], NPSavedData*)
{
    if (instance->pdata)
        ShowPluginMessage("newp with pdata already initialized");
    InstanceData* pData = static_cast<InstanceData*>(calloc(1, sizeof(InstanceData)));
    if (pData)
        pData->m_nSerial = AddLive(instance);
    instance->pdata = pData;
    return NPERR_NO_ERROR;
}

NPError NP_CALLBACK NppDestroy(NPP instance, NPSavedData**)
{
    InstanceData* pData = static_cast<InstanceData*>(instance->pdata);
    if (pData) {
        RemoveLive(instance);
        if (pData->m_pObject)
            s_pBrowser->releaseobject(&pData->m_pObject->m_Header);
        free(pData);
        instance->pdata = nullptr;
    }
    return NPERR_NO_ERROR;
}

NPError NP_CALLBACK NppSetWindow(NPP, void*)
{
    return NPERR_NO_ERROR;
}

int16_t NP_CALLBACK NppHandleEvent(NPP, void*)
{
    return 0;
}

NPError NP_CALLBACK NppGetValue(NPP instance, NPPVariable variable, void* pValue)
{
    InstanceData* pData = instance ? static_cast<InstanceData*>(instance->pdata) : nullptr;
    if (!pData) {
        ShowPluginMessage("getValue with NULL data");
        return NPERR_GENERIC_ERROR;
    }
    switch (variable) {
    case NPPVpluginNameString: *static_cast<const char**>(pValue) = "Vost-Parn"; return NPERR_NO_ERROR;
    case NPPVpluginDescriptionString:
        *static_cast<const char**>(pValue) = "<a href=\"http://www.vost-parn.com/\">Vost-Parn</a> Ironvale plugin.";
        return NPERR_NO_ERROR;
    case NPPVpluginNeedsXEmbed: *static_cast<NPBool*>(pValue) = 0; return NPERR_NO_ERROR;
    case NPPVpluginScriptableNPObject:
        if (!pData->m_pObject) {
            pData->m_pObject =
                reinterpret_cast<ScriptableObject*>(s_pBrowser->createobject(instance, &s_ScriptableClass));
            if (pData->m_pObject)
                pData->m_pObject->m_nSerial = pData->m_nSerial;
        }
        if (pData->m_pObject)
            s_pBrowser->retainobject(&pData->m_pObject->m_Header);
        *static_cast<NPObject**>(pValue) = pData->m_pObject ? &pData->m_pObject->m_Header : nullptr;
        return NPERR_NO_ERROR;
    default: return NPERR_GENERIC_ERROR;
    }
}
}  // namespace

extern "C" NPError NP_EXPORT_CALL NP_Initialize(NPNetscapeFuncs* pFuncs)
{
    if (!pFuncs)
        return NPERR_INVALID_FUNCTABLE_ERROR;
    s_pBrowser = pFuncs;
    return NPERR_NO_ERROR;
}

extern "C" NPError NP_EXPORT_CALL NP_GetEntryPoints(NPPluginFuncs* pFuncs)
{
    pFuncs->version = 19;
    pFuncs->newp = &NppNew;
    pFuncs->destroy = &NppDestroy;
    pFuncs->setwindow = &NppSetWindow;
    pFuncs->event = &NppHandleEvent;
    pFuncs->getvalue = &NppGetValue;
    return NPERR_NO_ERROR;
}

extern "C" NPError NP_EXPORT_CALL NP_Shutdown()
{
    // An install thread may run on (it holds the module itself); from here on it reaches no
    // instance and no browser function.
    ZLockGuard guard(LiveLock());
    s_pBrowser = nullptr;
    free(s_pLive);
    s_pLive = nullptr;
    s_nLive = 0;
    s_nLiveCapacity = 0;
    return NPERR_NO_ERROR;
}

extern "C" void* NP_EXPORT_CALL NewPlugin()
{
    return new (std::nothrow) VostxStandaloneCore();
}
