// The plug-in core as the ActiveX control runs it: the page's script, found through the
// control's client site, is carried to the install thread by marshalling, and the core's two
// page calls reach the page's Flash object through it.
#pragma once
#include "common/system/zwin.h"
#include <ole2.h>

#include "common/system/zlock.h"
#include "launch/vostx/vostxcore.h"

struct ScriptThreadData;

class VostxActiveXCore : public VostxCore
{
public:
    VostxActiveXCore(const char* szName, IOleClientSite* pSite) : VostxCore(szName), m_pSite(pSite)
    {
        if (m_pSite)
            m_pSite->AddRef();
    }
    // The control is going: later calls find no site.
    void Detach() { SetSite(nullptr); }
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
