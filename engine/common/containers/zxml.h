// Small, forgiving XML reader and writer for the configuration texts (language tables,
// unique-file lists). Malformed text never fails a parse: what cannot be read is skipped or
// cut short. Only running out of memory for nodes does (then the parse ends there).
// Every element and attribute lives in its document's pools and dies with the document.
#pragma once
#include "common/containers/zstringbuffer.h"
#include "common/containers/zfixedalloc.h"
#include "common/containers/zlist.h"

class ZXmlDocument;
class ZXmlElement;
class ZXmlAttribute;
class IInputStream;
class IOutputStream;

// A list of child elements (first, last), in insertion order.
class ZXmlNodeList
{
public:
    ZXmlNodeList() : m_pFirst(nullptr), m_pLast(nullptr) {}

    static ZXmlElement* First(const ZXmlNodeList& list) { return list.m_pFirst; }
    // First child whose name equals szName bytewise, or null.
    static ZXmlElement* Find(const ZXmlNodeList& list, const char* szName);
    // Appends every child named szName to result; returns how many.
    static int FindAll(const ZXmlNodeList& list, ZList<ZXmlElement*>& result, const char* szName);
    // Appends every child to result; returns how many.
    static int All(const ZXmlNodeList& list, ZList<ZXmlElement*>& result);

    void Append(ZXmlElement* pElement);

    ZXmlElement* m_pFirst;
    ZXmlElement* m_pLast;
};

// The attribute list of an element (first, last).
struct ZXmlAttributeList
{
    ZXmlAttributeList() : m_pFirst(nullptr), m_pLast(nullptr) {}
    void Append(ZXmlAttribute* pAttribute);

    ZXmlAttribute* m_pFirst;
    ZXmlAttribute* m_pLast;
};

class ZXmlAttribute
{
public:
    ZXmlAttribute() : m_pDocument(nullptr), m_pPrev(nullptr), m_pNext(nullptr) {}

    const ZStringBuffer<16>& Value() const { return m_Value; }
    // Reads one attribute from p (end is one past the text); returns the bytes consumed.
    int Parse(const char* p, const char* pEnd);

    ZXmlDocument* m_pDocument;
    ZStringBuffer<16> m_Name;
    ZStringBuffer<16> m_Value;
    ZXmlAttribute* m_pPrev;
    ZXmlAttribute* m_pNext;
};

class ZXmlElement
{
public:
    ZXmlElement() : m_pDocument(nullptr), m_pPrev(nullptr), m_pNext(nullptr) {}

    // The new node, or null without memory for it.
    ZXmlElement* AddChild(const char* szName, const char* szText);
    ZXmlElement* AddChildCopy(const ZXmlElement* pElement, bool bDeep);
    ZXmlAttribute* AddAttribute(const char* szName, const char* szValue);
    ZXmlAttribute* AddAttributeCopy(const ZXmlAttribute* pAttribute);
    // First attribute named szName (bytewise), or null.
    ZXmlAttribute* FindAttribute(const char* szName) const;

    // Reads one element from the '<' at p; nDepth is its nesting level (1 at top level).
    // Returns the bytes consumed.
    int Parse(const char* p, const char* pEnd, int nDepth);

    ZXmlDocument* m_pDocument;
    ZStringBuffer<16> m_Name;
    ZStringBuffer<16> m_Text;
    ZXmlNodeList m_Children;
    ZXmlAttributeList m_Attributes;
    ZXmlElement* m_pPrev;
    ZXmlElement* m_pNext;
};

class ZXmlDocument
{
public:
    // Elements nested deeper than this end the parse (the rest of the text is dropped), so
    // that hostile input cannot exhaust the stack.
    enum
    {
        MAX_DEPTH = 256
    };

    // pAllocator: where the pools take their chunks from (null: the heap).
    explicit ZXmlDocument(ZAllocator* pAllocator = nullptr);
    virtual ~ZXmlDocument();
    ZXmlDocument(const ZXmlDocument&) = delete;
    ZXmlDocument& operator=(const ZXmlDocument&) = delete;

    // Appends the top-level elements of the text (the document is not emptied first). False
    // when memory for the nodes ran out: the tree then holds what was read up to there.
    bool Parse(const char* pText, int nLength);
    // Parses the stream's remaining bytes; nothing for none. False as Parse, or without memory
    // for the bytes.
    bool Load(IInputStream* pStream);
    bool Load(IInputStream& stream) { return Load(&stream); }
    // Declaration line and the first top-level element.
    ZStringBuffer<16> ToText() const;
    void Write(IOutputStream* pStream) const;
    void Write(IOutputStream& stream) const { Write(&stream); }

    // New nodes owned by the document and in no list; null texts count as "". Null without
    // memory for the node (a parse then ends and reports it).
    ZXmlElement* NewElement(const char* szName, const char* szText);
    ZXmlAttribute* NewAttribute(const char* szName, const char* szValue);
    // Copy of name, text and attributes (and, when deep, all descendants), in no list.
    ZXmlElement* CopyElement(const ZXmlElement* pElement, bool bDeep);
    // Deep copy of the other document's first top-level element appended at top level:
    // the new element (null when the other is empty), or this document.
    ZXmlElement* AppendCopy(const ZXmlDocument* pOther);
    ZXmlDocument& AppendCopy(const ZXmlDocument& other);

    ZXmlNodeList m_Elements;

private:
    ZFixedAlloc<ZXmlElement> m_ElementPool;
    ZFixedAlloc<ZXmlAttribute> m_AttributePool;
    bool m_bOutOfMemory;  // a node could not be had during the current parse
};
