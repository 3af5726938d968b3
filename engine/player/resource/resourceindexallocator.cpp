#include "player/resource/resourceindexallocator.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/system/zlog.h"
#include "player/component/componentmanager.h"
#include "player/resource/resourcenames.h"

namespace {

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
    return c >= 'A' && c <= 'Z' ? (unsigned char)(c + ('a' - 'A')) : c;
}

// The order of _stricmp in the C locale (ASCII letters folded to lower case).
inline int CompareNoCase(const char* a, const char* b)
{
    const unsigned char* x = (const unsigned char*)a;
    const unsigned char* y = (const unsigned char*)b;
    for (;; ++x, ++y)
    {
        unsigned char cx = Lower(*x), cy = Lower(*y);
        if (cx != cy)
            return cx < cy ? -1 : 1;
        if (!cx)
            return 0;
    }
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

ResourceIndexAllocator::NameNode* ResourceIndexAllocator::NameMap::FindName(const char* szName) const
{
    NameNode* p = m_pRoot;
    while (p)
    {
        int nCompare = CompareNoCase(szName, p->m_Key.m_szText);
        if (nCompare == 0)
            return p;
        p = nCompare < 0 ? p->m_pLeft : p->m_pRight;
    }
    return nullptr;
}

ResourceIndexAllocator::FileNode* ResourceIndexAllocator::FileMap::FindName(const char* szName) const
{
    FileNode* p = m_pRoot;
    while (p)
    {
        int nCompare = strcmp(szName, p->m_Key.m_szText);
        if (nCompare == 0)
            return p;
        p = nCompare < 0 ? p->m_pLeft : p->m_pRight;
    }
    return nullptr;
}

ResourceIndexAllocator::ResourceIndexAllocator() : m_bNoReverse(false), m_nHighest(InitialHighest) {}

ResourceIndexAllocator::~ResourceIndexAllocator() {}

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
    NameNode* pExisting = m_NameToIndex.FindName(szName);
    const char* szInterned = pExisting && strcmp(pExisting->m_Key.m_szText, szName) == 0
                                 ? pExisting->m_Key.m_szText
                                 : m_NameStore.Intern(szName, (uint32_t)strlen(szName));
    if (pExisting)
        pExisting->m_Value = nIndex;
    else
        m_NameToIndex.Insert(szInterned, nIndex);
    if (!m_bNoReverse)
    {
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
    NameNode* pNode = m_NameToIndex.FindName(szName ? szName : "");
    return pNode ? pNode->m_Value : NotFound;
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
    m_IndexToName.Clear();
    m_nHighest = 0;
    if (!pText)
        return;
    // A terminated copy, so the number parse stops at the end of the text.
    char* pCopy = (char*)malloc((size_t)nSize + 1);
    memcpy(pCopy, pText, nSize);
    pCopy[nSize] = 0;
    char* pEnd = pCopy + nSize;
    for (char* p = pCopy; p < pEnd;)
    {
        char* pLineEnd = (char*)memchr(p, '\n', (size_t)(pEnd - p));
        if (!pLineEnd)
            pLineEnd = pEnd;
        char* pEquals = (char*)memchr(p, '=', (size_t)(pLineEnd - p));
        if (pEquals)
        {
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
    for (NameNode* p = m_NameToIndex.Begin(); p; p = NameMap::Next(p))
    {
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
    for (NameNode* p = m_NameToIndex.Begin(); p; p = NameMap::Next(p))
    {
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
