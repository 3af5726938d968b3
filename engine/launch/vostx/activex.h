// Identifiers of the ActiveX control and the page-document interface the control asks its
// container for (declared here from its public documentation).
#pragma once
#include <ole2.h>

// {da9d2fd4-0933-4430-bf36-6b70b42da387}
static const CLSID CLSID_VostxCtrl = {0xda9d2fd4, 0x0933, 0x4430, {0xbf, 0x36, 0x6b, 0x70, 0xb4, 0x2d, 0xa3, 0x87}};
// {a7bf4f67-0a74-47d0-ae3a-77dc9025c4af}
static const GUID LIBID_VostxLib = {0xa7bf4f67, 0x0a74, 0x47d0, {0xae, 0x3a, 0x77, 0xdc, 0x90, 0x25, 0xc4, 0xaf}};
// {bc35fb24-93ec-4e2d-994f-11b0d2724561}: the dispatch interface of the type library.
static const IID IID__Dvostx = {0xbc35fb24, 0x93ec, 0x4e2d, {0x99, 0x4f, 0x11, 0xb0, 0xd2, 0x72, 0x45, 0x61}};
// {5ac758bb-73bf-4f59-9c74-8e20f55b5c76}: its event interface (no events).
static const IID IID__DvostxEvents = {0x5ac758bb, 0x73bf, 0x4f59, {0x9c, 0x74, 0x8e, 0x20, 0xf5, 0x5b, 0x5c, 0x76}};
// {7DD95801-9882-11CF-9FA9-00AA006C42C4} and {7DD95802-...}: the published component categories
// of controls safe for scripting and safe for initialising.
static const GUID kCatSafeForScripting = {0x7DD95801, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};
static const GUID kCatSafeForInitializing = {
    0x7DD95802, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};
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
