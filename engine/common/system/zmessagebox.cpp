#include "common/system/zmessagebox.h"
#include "common/system/zwin.h"
#include "common/containers/zstr.h"
#include <cstdlib>

namespace
{
const char* const s_szCaption = "vpplayer";

// UTF-16 copy of a UTF-8 text: on the stack when short, on the heap otherwise, so a long text
// cannot overrun the stack.
class WideText
{
public:
    explicit WideText(const char* szText)
        : m_pText(m_szLocal), m_pHeap(nullptr)
    {
        if (szText == nullptr)
            szText = "";
        size_t nUnits = strlen(szText) + 1;  // one unit per byte is always enough
        if (nUnits > sizeof(m_szLocal) / sizeof(m_szLocal[0])) {
            m_pHeap = static_cast<wchar_t*>(malloc(nUnits * sizeof(wchar_t)));
            m_pText = m_pHeap;
        }
        if (m_pText != nullptr)
            ZUtf8ToUtf16(m_pText, szText);
    }
    ~WideText() { free(m_pHeap); }
    WideText(const WideText&) = delete;
    WideText& operator=(const WideText&) = delete;
    const wchar_t* Get() const { return m_pText != nullptr ? m_pText : L""; }

private:
    wchar_t m_szLocal[1024];
    wchar_t* m_pText;
    wchar_t* m_pHeap;
};
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
    WideText caption(szCaption);
    WideText text(szText);
    MessageBoxW(nullptr, text.Get(), caption.Get(), MB_SETFOREGROUND);
}
