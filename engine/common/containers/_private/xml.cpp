#include "common/containers/zxml.h"

#include <cstdlib>
#include <cstring>

#include "common/containers/zstr.h"
#include "common/stream/streams.h"

namespace
{

const int kMaxName = 1024;   // names, attribute values and closing names
const int kMaxText = 10240;  // character data and CDATA sections

inline bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

inline const char* SkipSpace(const char* p, const char* pEnd)
{
    while (p < pEnd && IsSpace(*p))
        ++p;
    return p;
}

inline bool StartsWith(const char* p, const char* pEnd, const char* szPrefix, int nPrefix)
{
    return pEnd - p >= nPrefix && memcmp(p, szPrefix, nPrefix) == 0;
}

inline const char* FindChar(const char* p, const char* pEnd, char c)
{
    return p < pEnd ? (const char*)memchr(p, c, pEnd - p) : nullptr;
}

// First occurrence of the two-or-three-character marker, or null.
const char* FindMarker(const char* p, const char* pEnd, const char* szMarker, int nMarker)
{
    while (pEnd - p >= nMarker) {
        const char* q = FindChar(p, pEnd - nMarker + 1, szMarker[0]);
        if (!q)
            return nullptr;
        if (memcmp(q, szMarker, nMarker) == 0)
            return q;
        p = q + 1;
    }
    return nullptr;
}

// While a document parses, the last answer of each forward search is kept: a search that
// starts at or after where the last one started, and not past what it found, has the same
// answer. Text without the searched character (an unterminated CDATA section, attribute values
// without a closing quote) then costs one scan in all instead of one per occurrence.
struct ScanCache
{
    const char* m_pEnd;  // the text being parsed; null outside ZXmlDocument::Parse
    const char* m_pFrom;
    const char* m_pFound;  // first occurrence at or after m_pFrom, null when none
};
thread_local ScanCache t_quoteCache;
thread_local ScanCache t_cdataEndCache;

template <typename Search>
const char* CachedFind(ScanCache& cache, const char* p, const char* pEnd, Search search)
{
    if (cache.m_pEnd != pEnd)
        return search(p, pEnd);
    if (cache.m_pFrom && p >= cache.m_pFrom && (!cache.m_pFound || p <= cache.m_pFound))
        return cache.m_pFound;
    cache.m_pFrom = p;
    cache.m_pFound = search(p, pEnd);
    return cache.m_pFound;
}

inline const char* FindQuote(const char* p, const char* pEnd)
{
    return CachedFind(t_quoteCache, p, pEnd, [](const char* a, const char* b) { return FindChar(a, b, '"'); });
}

inline const char* FindCdataEnd(const char* p, const char* pEnd)
{
    return CachedFind(t_cdataEndCache, p, pEnd, [](const char* a, const char* b) { return FindMarker(a, b, "]]", 2); });
}

// Turns the caches on for one document parse (nested parses keep the outer text's caches).
class ScanScope
{
public:
    ScanScope(const char* pEnd) : m_bOwner(t_quoteCache.m_pEnd == nullptr)
    {
        if (m_bOwner) {
            t_quoteCache = ScanCache{pEnd, nullptr, nullptr};
            t_cdataEndCache = ScanCache{pEnd, nullptr, nullptr};
        }
    }
    ~ScanScope()
    {
        if (m_bOwner) {
            t_quoteCache = ScanCache{nullptr, nullptr, nullptr};
            t_cdataEndCache = ScanCache{nullptr, nullptr, nullptr};
        }
    }

private:
    bool m_bOwner;
};

// Position after a comment that starts at p (after whitespace), or null when none does.
// An unterminated comment runs to the end.
const char* SkipComment(const char* p, const char* pEnd)
{
    p = SkipSpace(p, pEnd);
    if (!StartsWith(p, pEnd, "<!--", 4))
        return nullptr;
    const char* pClose = FindMarker(p + 4, pEnd, "-->", 3);
    return pClose ? pClose + 3 : pEnd;
}

inline int HexDigit(char c, bool bHex)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (bHex && c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

struct Entity
{
    const char* m_szName;  // after the '&'
    int m_nLength;
    char m_cValue;
};

const Entity kEntities[] = {
    {"amp;", 4, '&'}, {"apos;", 5, '\''}, {"gt;", 3, '>'}, {"lt;", 3, '<'}, {"quot;", 5, '"'},
};

// Decodes character data into pOut (never longer than the input, so pOut may be p);
// returns the length.
int DecodeEntities(const char* p, const char* pEnd, char* pOut)
{
    char* o = pOut;
    while (p < pEnd) {
        if (*p != '&') {
            *o++ = *p++;
            continue;
        }
        const char* q = p + 1;
        if (q >= pEnd)
            break;  // a lone '&' at the end is dropped
        bool bNamed = false;
        for (const Entity& entity : kEntities) {
            if (StartsWith(q, pEnd, entity.m_szName, entity.m_nLength)) {
                *o++ = entity.m_cValue;
                p = q + entity.m_nLength;
                bNamed = true;
                break;
            }
        }
        if (bNamed)
            continue;
        char c = *q;
        if (c == 'a' || c == 'g' || c == 'l' || c == 'q') {
            *o++ = '&';
            p = q;
            continue;
        }
        if (c != '#') {
            p = q;  // the '&' is dropped, the next character read as usual
            continue;
        }
        ++q;
        bool bHex = q < pEnd && *q == 'x';
        if (bHex)
            ++q;
        uint32_t nValue = 0;
        bool bTooLarge = false;
        int nDigit;
        while (q < pEnd && (nDigit = HexDigit(*q, bHex)) >= 0) {
            // Past 0x7FFFFFFF no UTF-8 form exists; stop counting so it cannot wrap around.
            if (!bTooLarge) {
                nValue = nValue * (bHex ? 16 : 10) + (uint32_t)nDigit;
                if (nValue > 0x7FFFFFFFu)
                    bTooLarge = true;
            }
            ++q;
        }
        if (q < pEnd && *q == ';') {
            if (nValue != 0 && !bTooLarge)
                o += ZUtf8Encode(o, nValue);
            ++q;
        }
        p = q;
    }
    return (int)(o - pOut);
}

// Character data [p, pEnd) whose first '&' is at pAmp, decoded on its way into the text. Not
// inlined: its buffer must not sit in every frame of the recursive element parse.
__attribute__((noinline)) void AssignDecoded(ZStringBase& text, const char* p, const char* pAmp, const char* pEnd)
{
    char acText[kMaxText];
    size_t nPlain = (size_t)(pAmp - p);
    memcpy(acText, p, nPlain);
    text.Assign(acText, (int)nPlain + DecodeEntities(pAmp, pEnd, acText + nPlain));
}

void AppendTabs(ZStringBase& out, int nLevel)
{
    for (int i = 0; i < nLevel; ++i)
        out.AppendChar('\t');
}

void WriteElement(ZStringBase& out, const ZXmlElement* pElement, int nLevel)
{
    AppendTabs(out, nLevel);
    out.AppendChar('<');
    out.Append(pElement->m_Name);
    for (const ZXmlAttribute* a = pElement->m_Attributes.m_pFirst; a; a = a->m_pNext) {
        out.AppendChar(' ');
        out.Append(a->m_Name);
        out.Append("=\"");
        out.Append(a->m_Value);
        out.Append("\" ");
    }
    out.AppendChar('>');
    if (!pElement->m_Children.m_pFirst) {
        out.Append(pElement->m_Text);
    } else {
        out.AppendChar('\n');
        if (!pElement->m_Text.IsEmpty()) {
            AppendTabs(out, nLevel + 1);
            out.Append(pElement->m_Text);
            out.AppendChar('\n');
        }
        for (const ZXmlElement* c = pElement->m_Children.m_pFirst; c; c = c->m_pNext)
            WriteElement(out, c, nLevel + 1);
        AppendTabs(out, nLevel);
    }
    out.Append("</");
    out.Append(pElement->m_Name);
    out.Append(">\n");
}

const char kDeclaration[] = "<?xml version=\"1.0\"?>\n";

}  // namespace

// ---------------------------------------------------------------------------------------------
// Lists

void ZXmlNodeList::Append(ZXmlElement* pElement)
{
    ZLinkLast(m_pFirst, m_pLast, pElement);
}

ZXmlElement* ZXmlNodeList::Find(const ZXmlNodeList& list, const char* szName)
{
    for (ZXmlElement* e = list.m_pFirst; e; e = e->m_pNext)
        if (strcmp(e->m_Name.GetData(), szName) == 0)
            return e;
    return nullptr;
}

int ZXmlNodeList::FindAll(const ZXmlNodeList& list, ZList<ZXmlElement*>& result, const char* szName)
{
    int nCount = 0;
    for (ZXmlElement* e = list.m_pFirst; e; e = e->m_pNext) {
        if (strcmp(e->m_Name.GetData(), szName) == 0) {
            result.PushBack(e);
            ++nCount;
        }
    }
    return nCount;
}

int ZXmlNodeList::All(const ZXmlNodeList& list, ZList<ZXmlElement*>& result)
{
    int nCount = 0;
    for (ZXmlElement* e = list.m_pFirst; e; e = e->m_pNext) {
        result.PushBack(e);
        ++nCount;
    }
    return nCount;
}

void ZXmlAttributeList::Append(ZXmlAttribute* pAttribute)
{
    ZLinkLast(m_pFirst, m_pLast, pAttribute);
}

// ---------------------------------------------------------------------------------------------
// Attribute

int ZXmlAttribute::Parse(const char* pStart, const char* pEnd)
{
    const char* p = SkipSpace(pStart, pEnd);
    const char* pName = p;
    while (p < pEnd && *p != ' ' && *p != '\t' && *p != '>' && *p != '=')
        ++p;
    if (p - pName >= kMaxName)
        return (int)(p - pStart);
    m_Name.Assign(pName, (int)(p - pName));
    if (p < pEnd && *p == '=') {
        ++p;
        while (p < pEnd && (IsSpace(*p) || *p == '\''))
            ++p;
        if (p < pEnd && *p == '"')
            ++p;
        const char* pValue = p;
        const char* pQuote = FindQuote(p, pEnd);
        p = pQuote ? pQuote : pEnd;
        if (p - pValue >= kMaxName)
            return (int)(pValue - pStart);
        m_Value.Assign(pValue, (int)(p - pValue));
    }
    if (p < pEnd && (*p == '"' || *p == '\''))
        ++p;
    return (int)(p - pStart);
}

// ---------------------------------------------------------------------------------------------
// Element

int ZXmlElement::Parse(const char* pStart, const char* pEnd, int nDepth)
{
    const char* p = SkipSpace(pStart + 1, pEnd);
    if (p < pEnd && *p == '?') {
        const char* q = FindChar(p + 1, pEnd, '?');
        return (int)((q ? q : pEnd) - pStart);
    }

    const char* pName = p;
    while (p < pEnd && !IsSpace(*p) && *p != '>' && *p != '=' && *p != '/')
        ++p;
    if (p - pName >= kMaxName)
        return (int)(p - pStart);
    m_Name.Assign(pName, (int)(p - pName));

    // Start tag and attributes
    for (;;) {
        p = SkipSpace(p, pEnd);
        if (p >= pEnd)
            return (int)(pEnd - pStart);
        if (*p == '>') {
            ++p;
            break;
        }
        if (*p == '/') {
            p = SkipSpace(p + 1, pEnd);
            if (p < pEnd)
                ++p;
            return (int)(p - pStart);
        }
        ZXmlAttribute* pAttribute = m_pDocument->NewAttribute(nullptr, nullptr);
        if (!pAttribute)
            return (int)(pEnd - pStart);  // no memory: the parse ends here
        p += pAttribute->Parse(p, pEnd);
        m_Attributes.Append(pAttribute);
    }

    // Content
    for (;;) {
        p = SkipSpace(p, pEnd);
        if (p >= pEnd)
            return (int)(pEnd - pStart);

        if (*p == '<' && p + 1 < pEnd && p[1] == '/') {
            const char* pClose = SkipSpace(p + 2, pEnd);
            const char* pGreater = FindChar(pClose, pEnd, '>');
            if (!pGreater)
                return (int)(pEnd - pStart);
            const char* pTrim = pGreater;
            while (pTrim > pClose && IsSpace(pTrim[-1]))
                --pTrim;
            if (pTrim - pClose >= kMaxName)
                return (int)(pGreater - pStart);
            return (int)(pGreater + 1 - pStart);
        }

        if (const char* pAfter = SkipComment(p, pEnd)) {
            p = pAfter;
            continue;
        }

        if (StartsWith(p, pEnd, "<![CDATA[", 9)) {
            const char* pData = p + 9;
            const char* pClose = FindCdataEnd(pData, pEnd);
            if (pClose) {
                // Texts keep to one bound; a longer section ends the element as long data does.
                if (pClose - pData >= kMaxText)
                    return (int)(p - pStart);
                m_Text.Assign(pData, (int)(pClose - pData));
                p = SkipSpace(pClose + 2, pEnd);
                if (p < pEnd && *p == '>')
                    ++p;
                continue;
            }
        }

        if (*p == '<') {
            if (nDepth >= ZXmlDocument::MAX_DEPTH)
                return (int)(pEnd - pStart);  // too deep: the parse ends here
            ZXmlElement* pChild = m_pDocument->NewElement(nullptr, nullptr);
            if (!pChild)
                return (int)(pEnd - pStart);
            p += pChild->Parse(p, pEnd, nDepth + 1);
            m_Children.Append(pChild);
            continue;
        }

        const char* pLess = FindChar(p, pEnd, '<');
        if (!pLess)
            return (int)(pEnd - pStart);
        const char* pTrim = pLess;
        while (pTrim > p && IsSpace(pTrim[-1]))
            --pTrim;
        int nData = (int)(pTrim - p);
        if (nData >= kMaxText)
            return (int)(p - pStart);
        // Stored in one pass: plain text is copied, text with entities decoded on its way in
        // (decoding never lengthens it, and it is under kMaxText bytes).
        if (const char* pAmp = FindChar(p, pTrim, '&')) {
            AssignDecoded(m_Text, p, pAmp, pTrim);
        } else {
            m_Text.Assign(p, nData);
        }
        p = pLess;
    }
}

ZXmlElement* ZXmlElement::AddChild(const char* szName, const char* szText)
{
    ZXmlElement* pChild = m_pDocument->NewElement(szName, szText);
    if (pChild)
        m_Children.Append(pChild);
    return pChild;
}

ZXmlElement* ZXmlElement::AddChildCopy(const ZXmlElement* pElement, bool bDeep)
{
    // The copy is complete before it joins the list, so copying an element into itself ends.
    ZXmlElement* pCopy = m_pDocument->CopyElement(pElement, bDeep);
    if (pCopy)
        m_Children.Append(pCopy);
    return pCopy;
}

ZXmlAttribute* ZXmlElement::AddAttribute(const char* szName, const char* szValue)
{
    ZXmlAttribute* pAttribute = m_pDocument->NewAttribute(szName, szValue);
    if (pAttribute)
        m_Attributes.Append(pAttribute);
    return pAttribute;
}

ZXmlAttribute* ZXmlElement::AddAttributeCopy(const ZXmlAttribute* pAttribute)
{
    return AddAttribute(pAttribute->m_Name.GetData(), pAttribute->m_Value.GetData());
}

ZXmlAttribute* ZXmlElement::FindAttribute(const char* szName) const
{
    for (ZXmlAttribute* a = m_Attributes.m_pFirst; a; a = a->m_pNext)
        if (strcmp(a->m_Name.GetData(), szName) == 0)
            return a;
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Document

ZXmlDocument::ZXmlDocument(ZAllocator* pAllocator)
    : m_ElementPool(pAllocator), m_AttributePool(pAllocator), m_bOutOfMemory(false)
{
}

ZXmlDocument::~ZXmlDocument()
{
    m_ElementPool.FreeAll();
    m_AttributePool.FreeAll();
}

bool ZXmlDocument::Parse(const char* pText, int nLength)
{
    m_bOutOfMemory = false;
    if (!pText || nLength <= 0)
        return true;
    const char* p = pText;
    const char* pEnd = pText + nLength;
    ScanScope scan(pEnd);
    while (p < pEnd && !m_bOutOfMemory) {
        if (*p != '<') {
            ++p;
            continue;
        }
        if (const char* pAfter = SkipComment(p, pEnd)) {
            p = pAfter;
            continue;
        }
        ZXmlElement* pElement = NewElement(nullptr, nullptr);
        if (!pElement)
            break;
        p += pElement->Parse(p, pEnd, 1);
        if (!pElement->m_Name.IsEmpty())
            m_Elements.Append(pElement);
    }
    return !m_bOutOfMemory;
}

bool ZXmlDocument::Load(IInputStream* pStream)
{
    if (!pStream)
        return true;
    int nRemaining = pStream->GetRemaining();
    if (nRemaining <= 0)
        return true;
    char* pBlock = (char*)malloc((size_t)nRemaining);
    if (!pBlock)
        return false;
    int nRead = 0;
    while (nRead < nRemaining) {
        int n = pStream->Read(pBlock + nRead, nRemaining - nRead);
        if (n <= 0)
            break;
        nRead += n;
    }
    bool bParsed = Parse(pBlock, nRead);  // a short read parses what came
    free(pBlock);
    return bParsed;
}

ZStringBuffer<16> ZXmlDocument::ToText() const
{
    ZStringBuffer<16> text(kDeclaration);
    if (m_Elements.m_pFirst)
        WriteElement(text, m_Elements.m_pFirst, 0);
    return text;
}

void ZXmlDocument::Write(IOutputStream* pStream) const
{
    if (!pStream)
        return;
    pStream->Write(kDeclaration, (int)sizeof(kDeclaration) - 1);
    if (m_Elements.m_pFirst) {
        ZStringBuffer<16> text;
        WriteElement(text, m_Elements.m_pFirst, 0);
        pStream->Write(text.GetData(), text.GetLength());
    }
}

namespace
{
// Elements and attributes alike: a node from its pool, bound to the document, with its name and
// its second text (an element's text, an attribute's value). Null, and the document marked out
// of memory, when the pool has none.
template <class T>
T* NewNode(ZFixedAlloc<T>& pool, ZXmlDocument* pDocument, bool& bOutOfMemory, ZStringBuffer<16> T::*pSecond,
           const char* szName, const char* szSecond)
{
    T* pNode = pool.Alloc();
    if (!pNode) {
        bOutOfMemory = true;
        return nullptr;
    }
    pNode->m_pDocument = pDocument;
    pNode->m_Name.Assign(szName);
    (pNode->*pSecond).Assign(szSecond);
    return pNode;
}
}  // namespace

ZXmlElement* ZXmlDocument::NewElement(const char* szName, const char* szText)
{
    return NewNode(m_ElementPool, this, m_bOutOfMemory, &ZXmlElement::m_Text, szName, szText);
}

ZXmlAttribute* ZXmlDocument::NewAttribute(const char* szName, const char* szValue)
{
    return NewNode(m_AttributePool, this, m_bOutOfMemory, &ZXmlAttribute::m_Value, szName, szValue);
}

ZXmlElement* ZXmlDocument::CopyElement(const ZXmlElement* pElement, bool bDeep)
{
    ZXmlElement* pCopy = NewElement(pElement->m_Name.GetData(), pElement->m_Text.GetData());
    if (!pCopy)
        return nullptr;
    for (const ZXmlAttribute* a = pElement->m_Attributes.m_pFirst; a; a = a->m_pNext)
        pCopy->AddAttributeCopy(a);
    if (bDeep) {
        for (const ZXmlElement* c = pElement->m_Children.m_pFirst; c; c = c->m_pNext)
            if (ZXmlElement* pChild = CopyElement(c, true))
                pCopy->m_Children.Append(pChild);
    }
    return pCopy;
}

ZXmlElement* ZXmlDocument::AppendCopy(const ZXmlDocument* pOther)
{
    if (!pOther || !pOther->m_Elements.m_pFirst)
        return nullptr;
    ZXmlElement* pCopy = CopyElement(pOther->m_Elements.m_pFirst, true);
    if (pCopy)
        m_Elements.Append(pCopy);
    return pCopy;
}

ZXmlDocument& ZXmlDocument::AppendCopy(const ZXmlDocument& other)
{
    AppendCopy(&other);
    return *this;
}
