// The script bridge of the ActiveX control: each install thread's access to the page's script,
// and the Flash calls made through it.
#include "common/system/zwin.h"

#include <new>

#include "common/system/zlog.h"
#include "launch/vostx/activex.h"
#include "launch/vostx/activexcore.h"

namespace
{
int ThreadId()
{
    return (int)GetCurrentThreadId();
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
}  // namespace

// Carries the page script from the page's thread to the install thread.
struct ScriptThreadData
{
    IStream* m_pStream;
    IDispatch* m_pScript;
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
