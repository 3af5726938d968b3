#include "player/resource/resourcestrings.h"

#include <string.h>

#include "player/component/componentmanager.h"
#include "player/resource/resourcenames.h"

namespace
{

// Bytewise order of a counted name against a stored (terminated) one, as strcmp orders them.
int CompareCounted(const char* pName, int nLength, const char* szStored)
{
    const unsigned char* a = (const unsigned char*)pName;
    const unsigned char* b = (const unsigned char*)szStored;
    for (int i = 0; i < nLength; ++i) {
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;  // also when the stored name ends (b[i] == 0)
    }
    return b[nLength] == 0 ? 0 : -1;
}

SharedComponentConstructor<ResourceStrings> s_Record("resourcestrings");
SharedComponentConstructor<ResourceStrings> s_SingletonRecord("resourcestringssingleton");

}  // namespace

ResourceStrings* GetResourceStrings()
{
    return static_cast<ResourceStrings*>(s_Record.GetShared());
}

bool ResourceStrings::NameKey::operator<(const NameKey& other) const
{
    return strcmp(GetText(), other.GetText()) < 0;
}

ResourceStrings::NameNode* ResourceStrings::NameMap::FindName(const char* pName, int nLength) const
{
    NameNode* p = m_pRoot;
    while (p) {
        int nCompare = CompareCounted(pName, nLength, p->m_Key.GetText());
        if (nCompare == 0)
            return p;
        p = nCompare < 0 ? p->m_pLeft : p->m_pRight;
    }
    return nullptr;
}

ResourceStrings::ResourceStrings() : m_nRotation(0)
{
    Reset();
}

ResourceStrings::~ResourceStrings()
{
    for (auto* p = m_Tables.Begin(); p; p = m_Tables.Next(p))
        delete p->m_Value;
}

void ResourceStrings::Destroy(int nFlags)
{
    DestroyComponentObject(this, nFlags);
}

void* ResourceStrings::GetInterface(uint32_t nTypeId)
{
    return IsComponentType(nTypeId) ? this : nullptr;
}

bool ResourceStrings::IsComponentType(uint32_t nTypeId)
{
    return SharedComponentConstructor<ResourceStrings>::HasTypeId(nTypeId);
}

ResourceStrings::Table* ResourceStrings::GetTable(uint32_t nKind, bool bCreate)
{
    auto* pNode = m_Tables.Find(nKind);
    if (pNode)
        return pNode->m_Value;
    if (!bCreate)
        return nullptr;
    Table* pTable = new Table;
    m_Tables.Insert(nKind, pTable);
    return pTable;
}

void ResourceStrings::Reset()
{
    ZLockGuard lock(m_Lock);
    for (auto* p = m_Tables.Begin(); p; p = m_Tables.Next(p))
        p->m_Value->Clear();
    for (const PredefinedName* p = g_PredefinedNames; p->m_szName; ++p)
        AddString(p->m_szName, p->m_nId >> 24);
}

uint32_t ResourceStrings::ComputeSignature(const PredefinedName* pTable)
{
    uint32_t nHash = 0;
    uint32_t nCount = 0;
    int nShift = 0;
    for (const PredefinedName* p = pTable; p->m_szName; ++p) {
        for (const char* c = p->m_szName; *c; ++c) {
            nHash ^= (uint32_t)(int32_t)(signed char)*c << nShift;
            nShift = nShift == 24 ? 0 : nShift + 1;
        }
        ++nCount;
    }
    return nCount | nHash;
}

uint32_t ResourceStrings::ResourceStringsSignature()
{
    ZLockGuard lock(m_Lock);
    return ComputeSignature(g_PredefinedNames);
}

int ResourceStrings::SplitName(const char* szName, int* pnSuffix)
{
    int nLength = (int)strlen(szName);
    int nStart;
    int nSuffix = GetTrailingNumber(szName, &nStart);
    *pnSuffix = 0;
    // Digits with a leading zero stay in the base name: "Light07" would come back as "Light7".
    // So does a base too long for the 255-byte limit of split names.
    if (nStart < 0 || nSuffix > 255 || (szName[nStart] == '0' && nStart + 1 < nLength) || nStart > (int)MaxBaseName)
        return nLength;
    *pnSuffix = nSuffix;
    return nStart;
}

void ResourceStrings::Table::Clear()
{
    m_Map.Clear();
    m_Names.Clear();
    m_Storage.Release();
}

uint32_t ResourceStrings::Table::Append(const char* pName, int nLength)
{
    const char* szStored = m_Storage.Intern(pName, (uint32_t)nLength);
    m_Names.PushBack(szStored);
    uint32_t nIndex = m_Names.Size() - 1;
    // A repeated name keeps both positions; the map gives the later one.
    m_Map.Insert(NameKey{szStored}, nIndex);
    return nIndex;
}

uint32_t ResourceStrings::Intern(Table& table, const char* pName, int nLength)
{
    if (NameNode* pNode = table.m_Map.FindName(pName, nLength))
        return pNode->m_Value;
    if (table.m_Names.Size() >= MaxNamesPerKind)
        return NoString;
    return table.Append(pName, nLength);
}

uint32_t ResourceStrings::LookUp(const char* szName, uint32_t nKind, bool bAdd)
{
    if (!szName || nKind > 0xFF)
        return NoString;
    ZLockGuard lock(m_Lock);
    int nSuffix;
    int nBase = SplitName(szName, &nSuffix);
    Table* pTable = GetTable(nKind, bAdd);
    uint32_t nIndex = NoString;
    if (bAdd)
        nIndex = Intern(*pTable, szName, nBase);
    else if (NameNode* pNode = pTable ? pTable->m_Map.FindName(szName, nBase) : nullptr)
        nIndex = pNode->m_Value;
    if (nIndex == NoString)
        return NoString;
    return nKind << 24 | (uint32_t)nSuffix << 16 | nIndex;
}

uint32_t ResourceStrings::AddString(const char* szName, uint32_t nKind)
{
    return LookUp(szName, nKind, true);
}

uint32_t ResourceStrings::FindString(const char* szName, uint32_t nKind)
{
    return LookUp(szName, nKind, false);
}

const char* ResourceStrings::GetString(uint32_t nId)
{
    ZLockGuard lock(m_Lock);
    Table* pTable = GetTable(nId >> 24, false);
    uint32_t nIndex = nId & 0xFFFF;
    if (!pTable || nIndex >= pTable->m_Names.Size())
        return "";
    const char* szBase = pTable->m_Names[nIndex];
    uint32_t nSuffix = (nId >> 16) & 0xFF;
    if (nSuffix == 0)
        return szBase;
    long nSlot = (long)((m_nRotation.fetch_add(1) + 1) & 31);
    m_Rotating[nSlot].Format("%s%d", szBase, (int)nSuffix - 1);
    return m_Rotating[nSlot].GetData();
}

void ResourceStrings::LoadNames(const char* pText, uint32_t nSize)
{
    ZLockGuard lock(m_Lock);
    Table* pTable = GetTable(0, true);
    pTable->Clear();
    if (!pText)
        return;
    const char* p = pText;
    const char* pEnd = pText + nSize;
    while (p < pEnd && pTable->m_Names.Size() < MaxNamesPerKind) {
        const char* pLineEnd = (const char*)memchr(p, '\n', (size_t)(pEnd - p));
        const char* pNext = pLineEnd ? pLineEnd + 1 : pEnd;
        if (!pLineEnd)
            pLineEnd = pEnd;
        if (pLineEnd > p && pLineEnd[-1] == '\r')
            --pLineEnd;
        pTable->Append(p, (int)(pLineEnd - p));
        p = pNext;
    }
}

void ResourceStrings::SaveNames(ZMemoryBuffer& buffer)
{
    ZLockGuard lock(m_Lock);
    Table* pTable = GetTable(0, false);
    if (!pTable)
        return;
    // Written straight into the caller's buffer, so no table is too large for it.
    for (const char* szName : pTable->m_Names) {
        size_t nLength = strlen(szName);
        unsigned char* pOut = buffer.AppendSpace((unsigned)nLength + 2);
        memcpy(pOut, szName, nLength);
        pOut[nLength] = '\r';
        pOut[nLength + 1] = '\n';
    }
}
