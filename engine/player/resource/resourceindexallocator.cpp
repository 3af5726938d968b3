#include "player/resource/resourceindexallocator.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/system/zlog.h"
#include "player/component/componentmanager.h"
#include "player/resource/resourcenames.h"

namespace
{

class Locked
{
public:
    explicit Locked(ZCriticalSection& lock) : m_Lock(lock) { m_Lock.Enter(); }
    ~Locked() { m_Lock.Leave(); }

private:
    ZCriticalSection& m_Lock;
};

const char kFileMarker[] = "):FILE//";
const int kFileMarkerLength = 8;

inline unsigned char Lower(unsigned char c)
{
    return (unsigned char)(c | ((unsigned)(c - 'A') < 26u ? 0x20 : 0));
}

// The order of _stricmp in the C locale (ASCII letters folded to lower case).
inline int CompareNoCase(const char* a, const char* b)
{
    const unsigned char* x = (const unsigned char*)a;
    const unsigned char* y = (const unsigned char*)b;
    for (;; ++x, ++y) {
        unsigned char cx = Lower(*x), cy = Lower(*y);
        if (cx != cy)
            return cx < cy ? -1 : 1;
        if (!cx)
            return 0;
    }
}

// The tree's insert asks "a < b" and then "b < a" of the same pair on every step to the right;
// this answers the second from the first, so long shared path prefixes are compared once.
template <class Node, int (*Compare)(const char*, const char*)>
class OnceLess
{
public:
    bool operator()(const Node* a, const Node* b)
    {
        if (a == m_pB && b == m_pA)
            return m_nLast > 0;
        m_pA = a;
        m_pB = b;
        m_nLast = Compare(a->m_Key.m_szText, b->m_Key.m_szText);
        return m_nLast < 0;
    }

private:
    const Node* m_pA = nullptr;
    const Node* m_pB = nullptr;
    int m_nLast = 0;
};

inline int CompareBytes(const char* a, const char* b)
{
    return strcmp(a, b);
}

// A new node for the key, or the existing one with its value replaced.
template <class Node, class Pool, class Less>
Node* InsertInto(Node*& pRoot, Pool& pool, const char* szKey, int32_t nValue, Less less)
{
    Node* pNode = pool.Alloc();
    pNode->m_Key.m_szText = szKey;
    pNode->m_Value = nValue;
    Node* pExisting = ZTree::InsertNode(pRoot, pNode, less);
    if (!pExisting)
        return pNode;
    pExisting->m_Value = nValue;
    pool.Free(pNode);
    return pExisting;
}

// FNV-1a over the name folded as CompareNoCase folds it.
inline uint32_t HashNoCase(const char* szName)
{
    uint32_t nHash = 2166136261u;
    for (const unsigned char* p = (const unsigned char*)szName; *p; ++p)
        nHash = (nHash ^ Lower(*p)) * 16777619u;
    return nHash;
}

SharedComponentConstructor<ResourceIndexAllocator> s_Record("resourceindexallocator");
SharedComponentConstructor<ResourceIndexAllocator> s_SingletonRecord("resourceindexallocatorsingleton");

}  // namespace

ResourceIndexAllocator* GetResourceIndexAllocator()
{
    return static_cast<ResourceIndexAllocator*>(s_Record.GetShared());
}

bool ResourceIndexAllocator::NoCaseKey::operator<(const NoCaseKey& other) const
{
    return CompareNoCase(m_szText, other.m_szText) < 0;
}

bool ResourceIndexAllocator::BytewiseKey::operator<(const BytewiseKey& other) const
{
    return strcmp(m_szText, other.m_szText) < 0;
}

ResourceIndexAllocator::NameNode* ResourceIndexAllocator::NameMap::Insert(const char* szName, int32_t nIndex)
{
    return InsertInto(m_pRoot, m_Pool, szName, nIndex, OnceLess<NameNode, CompareNoCase>());
}

void ResourceIndexAllocator::FileMap::Insert(const char* szName, int32_t nIndex)
{
    InsertInto(m_pRoot, m_Pool, szName, nIndex, OnceLess<FileNode, CompareBytes>());
}

ResourceIndexAllocator::NameIndex::~NameIndex()
{
    free(m_pSlots);
}

ResourceIndexAllocator::NameIndex::Slot* ResourceIndexAllocator::NameIndex::Find(const char* szName) const
{
    if (!m_pSlots)
        return nullptr;
    uint32_t nHash = HashNoCase(szName);
    for (uint32_t i = nHash & m_nMask;; i = (i + 1) & m_nMask) {
        Slot& slot = m_pSlots[i];
        if (!slot.m_pNode)
            return nullptr;
        if (slot.m_nHash == nHash && CompareNoCase(szName, slot.m_szName) == 0)
            return &slot;
    }
}

void ResourceIndexAllocator::NameIndex::Add(NameNode* pNode)
{
    // At most half full, so probes stay short and always meet an empty slot.
    if ((m_nCount + 1) * 2 > m_nMask + 1 || !m_pSlots)
        Grow();
    uint32_t nHash = HashNoCase(pNode->m_Key.m_szText);
    uint32_t i = nHash & m_nMask;
    while (m_pSlots[i].m_pNode)
        i = (i + 1) & m_nMask;
    m_pSlots[i].m_nHash = nHash;
    m_pSlots[i].m_nIndex = pNode->m_Value;
    m_pSlots[i].m_szName = pNode->m_Key.m_szText;
    m_pSlots[i].m_pNode = pNode;
    ++m_nCount;
}

void ResourceIndexAllocator::NameIndex::Grow()
{
    uint32_t nOldSize = m_pSlots ? m_nMask + 1 : 0;
    uint32_t nSize = nOldSize ? nOldSize * 2 : 1024;
    Slot* pOld = m_pSlots;
    m_pSlots = (Slot*)calloc(nSize, sizeof(Slot));
    m_nMask = nSize - 1;
    for (uint32_t n = 0; n < nOldSize; ++n) {
        if (!pOld[n].m_pNode)
            continue;
        uint32_t i = pOld[n].m_nHash & m_nMask;
        while (m_pSlots[i].m_pNode)
            i = (i + 1) & m_nMask;
        m_pSlots[i] = pOld[n];
    }
    free(pOld);
}

void ResourceIndexAllocator::NameIndex::Clear()
{
    free(m_pSlots);
    m_pSlots = nullptr;
    m_nMask = 0;
    m_nCount = 0;
}

ResourceIndexAllocator::FileNode* ResourceIndexAllocator::FileMap::FindName(const char* szName) const
{
    FileNode* p = m_pRoot;
    while (p) {
        int nCompare = strcmp(szName, p->m_Key.m_szText);
        if (nCompare == 0)
            return p;
        p = nCompare < 0 ? p->m_pLeft : p->m_pRight;
    }
    return nullptr;
}

ResourceIndexAllocator::ResourceIndexAllocator() : m_bNoReverse(false), m_nHighest(InitialHighest)
{
}

ResourceIndexAllocator::~ResourceIndexAllocator()
{
}

void ResourceIndexAllocator::Destroy(int nFlags)
{
    DestroyComponentObject(this, nFlags);
}

void* ResourceIndexAllocator::GetInterface(uint32_t nTypeId)
{
    return IsComponentType(nTypeId) ? this : nullptr;
}

bool ResourceIndexAllocator::IsComponentType(uint32_t nTypeId)
{
    return SharedComponentConstructor<ResourceIndexAllocator>::HasTypeId(nTypeId);
}

void ResourceIndexAllocator::ResetHighest()
{
    Locked lock(m_Lock);
    m_nHighest = 0;
}

void ResourceIndexAllocator::Clear()
{
    Locked lock(m_Lock);
    m_nHighest = 0;
    // Copies already made stay valid: callers may still hold names from GetName.
    m_NameStore.Restart();
    m_NameToIndex.Clear();
    m_NameLookup.Clear();
    m_FileToIndex.Clear();
    m_IndexToName.Clear();
}

int32_t ResourceIndexAllocator::GetHighest()
{
    Locked lock(m_Lock);
    return m_nHighest;
}

int32_t ResourceIndexAllocator::Allocate(const char* szName)
{
    Locked lock(m_Lock);
    int32_t nIndex = (int32_t)((uint32_t)m_nHighest + 1);
    Register(szName, nIndex);
    return nIndex;
}

void ResourceIndexAllocator::Register(const char* szName, int32_t nIndex)
{
    if (!szName)
        szName = "";
    Locked lock(m_Lock);
    // A name registered before with the same letters keeps its copy; any other gets one.
    NameIndex::Slot* pExisting = m_NameLookup.Find(szName);
    const char* szInterned = pExisting && strcmp(pExisting->m_szName, szName) == 0
        ? pExisting->m_szName
        : m_NameStore.Intern(szName, (uint32_t)strlen(szName));
    if (pExisting)
        pExisting->m_nIndex = pExisting->m_pNode->m_Value = nIndex;
    else
        m_NameLookup.Add(m_NameToIndex.Insert(szInterned, nIndex));
    if (!m_bNoReverse) {
        m_IndexToName.Insert(nIndex & IndexMask, szInterned);
        if (const char* pMarker = strstr(szInterned, kFileMarker))
            m_FileToIndex.Insert(pMarker + kFileMarkerLength, nIndex);
    }
    if (m_nHighest < nIndex)
        m_nHighest = nIndex;
}

int32_t ResourceIndexAllocator::Find(const char* szName)
{
    Locked lock(m_Lock);
    NameIndex::Slot* pSlot = m_NameLookup.Find(szName ? szName : "");
    return pSlot ? pSlot->m_nIndex : NotFound;
}

int32_t ResourceIndexAllocator::FindByFile(const char* szFileName)
{
    Locked lock(m_Lock);
    FileNode* pNode = m_FileToIndex.FindName(szFileName ? szFileName : "");
    return pNode ? pNode->m_Value : NotFound;
}

const char* ResourceIndexAllocator::GetName(int32_t nIndex)
{
    Locked lock(m_Lock);
    auto* pNode = m_IndexToName.Find(nIndex & IndexMask);
    return pNode ? pNode->m_Value : "";
}

void ResourceIndexAllocator::Load(const char* pText, uint32_t nSize)
{
    Locked lock(m_Lock);
    m_NameToIndex.Clear();
    m_NameLookup.Clear();
    m_IndexToName.Clear();
    m_nHighest = 0;
    if (!pText)
        return;
    // A terminated copy, so the number parse stops at the end of the text.
    char* pCopy = (char*)malloc((size_t)nSize + 1);
    memcpy(pCopy, pText, nSize);
    pCopy[nSize] = 0;
    char* pEnd = pCopy + nSize;
    for (char* p = pCopy; p < pEnd;) {
        char* pLineEnd = (char*)memchr(p, '\n', (size_t)(pEnd - p));
        if (!pLineEnd)
            pLineEnd = pEnd;
        char* pEquals = (char*)memchr(p, '=', (size_t)(pLineEnd - p));
        if (pEquals) {
            *pEquals = 0;
            int32_t nIndex = atoi(pEquals + 1);
            if (m_nHighest < nIndex)
                m_nHighest = nIndex;
            Register(p, nIndex);
            ZLog::Write(ZLOG_CATEGORY, __FILE__, ZLogText("test %s %d", p, nIndex).GetData());
        }
        p = pLineEnd + 1;
    }
    free(pCopy);
}

void ResourceIndexAllocator::Save(ZMemoryBuffer& buffer)
{
    Locked lock(m_Lock);
    // Written straight into the caller's buffer, so no table is too large for it.
    char szNumber[16];
    for (NameNode* p = m_NameToIndex.Begin(); p; p = NameMap::Next(p)) {
        size_t nName = strlen(p->m_Key.m_szText);
        int nNumber = snprintf(szNumber, sizeof(szNumber), "%d", (int)p->m_Value);
        unsigned char* pOut = buffer.AppendSpace((unsigned)(nName + 1 + (size_t)nNumber + 2));
        memcpy(pOut, p->m_Key.m_szText, nName);
        pOut[nName] = '=';
        memcpy(pOut + nName + 1, szNumber, (size_t)nNumber);
        pOut[nName + 1 + nNumber] = '\r';
        pOut[nName + 2 + nNumber] = '\n';
    }
}

void ResourceIndexAllocator::StopReverseMaps()
{
    Locked lock(m_Lock);
    ResetHighest();
    m_bNoReverse = true;
}

void ResourceIndexAllocator::CollectNames(ZStringMap& set)
{
    Locked lock(m_Lock);
    for (NameNode* p = m_NameToIndex.Begin(); p; p = NameMap::Next(p)) {
        const char* szName = p->m_Key.m_szText;
        if (!strchr(szName, ':'))
            continue;
        ResourceText type = GetNameExtension(szName);
        if (type == "prp" || type == "lnk")
            continue;
        if (!set.Find(szName))
            set.Insert(szName, "");
    }
}
