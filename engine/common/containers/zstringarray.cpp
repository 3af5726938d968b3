#include "common/containers/zstringarray.h"

#include "common/containers/zstr.h"

ZStringArray& ZStringArray::operator=(const ZStringArray& other)
{
    ZLinearArray<Element>::operator=(other);
    return *this;
}

int ZStringArray::GetArgCount() const
{
    int nCount = int(Size()) - 1;
    return nCount > 0 ? nCount : 0;
}

const char* ZStringArray::GetArgText(int nIndex) const
{
    if (nIndex < 0 || unsigned(nIndex) + 1 >= Size())
        return "";
    return m_pBegin[nIndex + 1].GetData();
}

ZStringArray::Element* ZStringArray::Add(const char* szText)
{
    Element text(szText);
    return PushBack(text);
}

void ZStringArray::Split(const char* szText, char cSeparator)
{
    if (!szText)
        return;
    const char* p = szText;
    // A NUL separator would be found at the terminator: it splits nothing.
    for (const char* pSep; (pSep = ZStrChr(p, cSeparator)) != nullptr && *pSep; p = pSep + 1) {
        Element piece;
        piece.Assign(p, int(pSep - p));
        PushBack(piece);
    }
    if (*p)
        Add(p);
}

ZStringArray::Element ZStringArray::Join(char cSeparator) const
{
    if (IsEmpty())
        return Element("");
    ZStringBuffer<4096> work(m_pBegin[0]);
    for (const Element* p = m_pBegin + 1; p < m_pEnd; ++p) {
        work.AppendChar(cSeparator);
        work.Append(*p);
    }
    return Element(work);
}
