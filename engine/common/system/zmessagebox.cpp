#include "common/system/zmessagebox.h"
#include "common/system/zwin.h"
#include "common/containers/zstringbuffer.h"
#include <cstdlib>

namespace
{
const char* const s_szCaption = "vpplayer";

}

void ZMessageBox(const char* szText)
{
    MessageBoxA(nullptr, szText, s_szCaption, MB_SETFOREGROUND | MB_OK);
}

bool ZMessageBoxOkCancel(const char* szText)
{
    return MessageBoxA(nullptr, szText, s_szCaption, MB_SETFOREGROUND | MB_OKCANCEL) == IDOK;
}

void ZMessageBoxW(const char* szCaption, const char* szText)
{
    ZWideText caption(szCaption);
    ZWideText text(szText);
    MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_SETFOREGROUND);
}
