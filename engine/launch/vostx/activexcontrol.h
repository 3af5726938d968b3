// What the ActiveX control shares with its class factory and the DLL's entry points.
#pragma once
#include "common/system/zwin.h"
#include <ole2.h>

#include <atomic>

// What the control tells its container of itself, and what its registration records.
const DWORD kMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INVISIBLEATRUNTIME | OLEMISC_INSIDEOUT |
    OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;
static_assert(kMiscStatus == 0x20491, "misc status of the control");

// The DLL's module, set when it is attached: the control's window and the registration's path.
extern HMODULE g_hModule;
// Controls not yet destroyed; the DLL cannot unload while there is one.
extern std::atomic<long> g_nObjects;

// A new control handed out as riid (the class factory's instance).
HRESULT CreateControl(REFIID riid, void** ppv);
