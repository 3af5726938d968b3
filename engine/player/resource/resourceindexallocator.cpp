#include "player/resource/resourceindexallocator.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/system/zlog.h"
#include "player/component/componentmanager.h"
#include "player/resource/resourcenames.h"

namespace
{

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

inline uint32_t HashBytes(const char* szName)
{
    uint32_t nHash = 2166136261u;
    for (const unsigned char* p = (const unsigned char*)szName; *p; ++p)
        nHash = (nHash ^ *p) * 16777619u;
    return nHash;
}

// Spreads neighbouring indexes over the table's low bits.
inline uint32_t HashIndex(uint32_t nKey)
{
    uint32_t n = nKey * 2654435761u;
    return n ^ (n >> 15);
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

ResourceIndexAllocator::NameNode* ResourceIndexAllocator::NameMap::Insert(const char* szName, int32_t nIndex)
{
    return InsertInto(m_pRoot, m_Pool, szName, nIndex, OnceLess<NameNode, CompareNoCase>());
}

template <class Entry>
ResourceIndexAllocator::ProbeTable<Entry>::~ProbeTable()
{
    free(m_pEntries);
}

template <class Entry>
template <class Match>
Entry* ResourceIndexAllocator::ProbeTable<Entry>::Find(uint32_t nHash, Match match) const
{
    if (!m_pEntries)
        return nullptr;
    for (uint32_t i = nHash & m_nMask;; i = (i + 1) & m_nMask) {
        Entry& entry = m_pEntries[i];
        if (!entry.m_pText)
            return nullptr;
        if (entry.m_nHash == nHash && match(entry))
            return &entry;
    }
}

template <class Entry>
Entry* ResourceIndexAllocator::ProbeTable<Entry>::Add(uint32_t nHash)
{
    // At most half full, so probes stay short and always meet an unused entry.
    if (!m_pEntries || (m_nCount + 1) * 2 > m_nMask + 1)
        Grow();
    uint32_t i = nHash & m_nMask;
    while (m_pEntries[i].m_pText)
        i = (i + 1) & m_nMask;
    m_pEntries[i].m_nHash = nHash;
    ++m_nCount;
    return &m_pEntries[i];
}

template <class Entry>
void ResourceIndexAllocator::ProbeTable<Entry>::Grow()
{
    uint32_t nOldSize = m_pEntries ? m_nMask + 1 : 0;
    uint32_t nSize = nOldSize ? nOldSize * 2 : 1024;
    Entry* pOld = m_pEntries;
    m_pEntries = (Entry*)calloc(nSize, sizeof(Entry));
    m_nMask = nSize - 1;
    for (uint32_t n = 0; n < nOldSize; ++n) {
        if (!pOld[n].m_pText)
            continue;
        uint32_t i = pOld[n].m_nHash & m_nMask;
        while (m_pEntries[i].m_pText)
            i = (i + 1) & m_nMask;
        m_pEntries[i] = pOld[n];
    }
    free(pOld);
}

template <class Entry>
void ResourceIndexAllocator::ProbeTable<Entry>::Clear()
{
    free(m_pEntries);
    m_pEntries = nullptr;
    m_nMask = 0;
    m_nCount = 0;
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
    ZLockGuard lock(m_Lock);
    m_nHighest = 0;
}

void ResourceIndexAllocator::Clear()
{
    ZLockGuard lock(m_Lock);
    m_nHighest = 0;
    // Copies already made stay valid: callers may still hold names from GetName.
    m_NameStore.Restart();
    m_NameToIndex.Clear();
    m_NameLookup.Clear();
    m_NamesToOrder.Clear();
    m_FileToIndex.Clear();
    m_IndexToName.Clear();
}

int32_t ResourceIndexAllocator::GetHighest()
{
    ZLockGuard lock(m_Lock);
    return m_nHighest;
}

int32_t ResourceIndexAllocator::Allocate(const char* szName)
{
    ZLockGuard lock(m_Lock);
    int32_t nIndex = (int32_t)((uint32_t)m_nHighest + 1);
    Register(szName, nIndex);
    return nIndex;
}

void ResourceIndexAllocator::Register(const char* szName, int32_t nIndex)
{
    if (!szName)
        szName = "";
    ZLockGuard lock(m_Lock);
    // A name registered before with the same letters keeps its copy; any other gets one.
    uint32_t nHash = HashNoCase(szName);
    NameEntry* pExisting = LookUpName(szName, nHash);
    const char* szInterned = pExisting && strcmp(pExisting->m_pText, szName) == 0
        ? pExisting->m_pText
        : m_NameStore.Intern(szName, (uint32_t)strlen(szName));
    if (pExisting) {
        pExisting->m_nIndex = nIndex;
        if (pExisting->m_pNode)
            pExisting->m_pNode->m_Value = nIndex;
    } else {
        NameEntry* pEntry = m_NameLookup.Add(nHash);
        *pEntry = NameEntry{nHash, nIndex, szInterned, nullptr};
        m_NamesToOrder.PushBack(szInterned);
    }
    if (!m_bNoReverse) {
        uint32_t nKey = (uint32_t)nIndex & IndexMask;
        uint32_t nKeyHash = HashIndex(nKey);
        IndexEntry* pIndex = m_IndexToName.Find(nKeyHash, [nKey](const IndexEntry& e) { return e.m_nKey == nKey; });
        if (!pIndex) {
            pIndex = m_IndexToName.Add(nKeyHash);
            pIndex->m_nKey = nKey;
        }
        pIndex->m_pText = szInterned;
        if (const char* pMarker = strstr(szInterned, kFileMarker)) {
            const char* szFile = pMarker + kFileMarkerLength;
            uint32_t nFileHash = HashBytes(szFile);
            FileEntry* pFile = LookUpFile(szFile, nFileHash);
            if (!pFile) {
                pFile = m_FileToIndex.Add(nFileHash);
                pFile->m_pText = szFile;
            }
            pFile->m_nIndex = nIndex;
        }
    }
    if (m_nHighest < nIndex)
        m_nHighest = nIndex;
}

ResourceIndexAllocator::NameEntry* ResourceIndexAllocator::LookUpName(const char* szName, uint32_t nHash) const
{
    return m_NameLookup.Find(nHash, [szName](const NameEntry& e) { return CompareNoCase(szName, e.m_pText) == 0; });
}

ResourceIndexAllocator::FileEntry* ResourceIndexAllocator::LookUpFile(const char* szFile, uint32_t nHash) const
{
    return m_FileToIndex.Find(nHash, [szFile](const FileEntry& e) { return strcmp(szFile, e.m_pText) == 0; });
}

int32_t ResourceIndexAllocator::Find(const char* szName)
{
    const char* szKey = szName ? szName : "";
    ZLockGuard lock(m_Lock);
    NameEntry* pEntry = LookUpName(szKey, HashNoCase(szKey));
    return pEntry ? pEntry->m_nIndex : NotFound;
}

int32_t ResourceIndexAllocator::FindByFile(const char* szFileName)
{
    const char* szKey = szFileName ? szFileName : "";
    ZLockGuard lock(m_Lock);
    FileEntry* pEntry = LookUpFile(szKey, HashBytes(szKey));
    return pEntry ? pEntry->m_nIndex : NotFound;
}

const char* ResourceIndexAllocator::GetName(int32_t nIndex)
{
    uint32_t nKey = (uint32_t)nIndex & IndexMask;
    ZLockGuard lock(m_Lock);
    IndexEntry* pEntry = m_IndexToName.Find(HashIndex(nKey), [nKey](const IndexEntry& e) { return e.m_nKey == nKey; });
    return pEntry ? pEntry->m_pText : "";
}

void ResourceIndexAllocator::FillNameMap()
{
    for (const char* szName : m_NamesToOrder) {
        NameEntry* pEntry =
            m_NameLookup.Find(HashNoCase(szName), [szName](const NameEntry& e) { return e.m_pText == szName; });
        pEntry->m_pNode = m_NameToIndex.Insert(szName, pEntry->m_nIndex);
    }
    m_NamesToOrder.Clear();
}

void ResourceIndexAllocator::Load(const char* pText, uint32_t nSize)
{
    ZLockGuard lock(m_Lock);
    m_NameToIndex.Clear();
    m_NameLookup.Clear();
    m_NamesToOrder.Clear();
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
    ZLockGuard lock(m_Lock);
    // Written straight into the caller's buffer, so no table is too large for it.
    char szNumber[16];
    FillNameMap();
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
    ZLockGuard lock(m_Lock);
    ResetHighest();
    m_bNoReverse = true;
}

void ResourceIndexAllocator::CollectNames(ZStringMap& set)
{
    ZLockGuard lock(m_Lock);
    FillNameMap();
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
