// Identifiers of the ActiveX control and the page-document interface the control asks its
// container for (declared here from its public documentation).
#pragma once
#include <ole2.h>

// {da9d2fd4-0933-4430-bf36-6b70b42da387}
static const CLSID CLSID_VostxCtrl = {0xda9d2fd4, 0x0933, 0x4430, {0xbf, 0x36, 0x6b, 0x70, 0xb4, 0x2d, 0xa3, 0x87}};
// {a7bf4f67-0a74-47d0-ae3a-77dc9025c4af}
static const GUID LIBID_VostxLib = {0xa7bf4f67, 0x0a74, 0x47d0, {0xae, 0x3a, 0x77, 0xdc, 0x90, 0x25, 0xc4, 0xaf}};
// The HTML document object of the page: its script object (the page's window) is what the
// install thread calls into.
static const IID IID_IVostxHtmlDocument = {
    0x626FC520, 0xA41E, 0x11CF, {0xA7, 0x31, 0x00, 0xA0, 0xC9, 0x08, 0x26, 0x37}};

struct IVostxHtmlDocument : public IDispatch
{
    virtual HRESULT STDMETHODCALLTYPE get_Script(IDispatch** ppScript) = 0;
};

// Dispatch ids of the control's methods.
enum
{
    DISPID_VOSTX_INITVOSTX = 1,
    DISPID_VOSTX_GETVERSION = 2,
};

#define VOSTX_PROGID "VOSTX.vostxCtrl.live"
