#include "common/containers/zmap.h"

#include <string.h>

bool ZStringMap::BufferComparator::IsEqual(const Node* pNode) const
{
    return strcmp(pNode->m_Key.GetData(), m_Key.GetData()) == 0;
}
bool ZStringMap::BufferComparator::IsLess(const Node* pNode) const
{
    return strcmp(m_Key.GetData(), pNode->m_Key.GetData()) < 0;
}
bool ZStringMap::TextComparator::IsEqual(const Node* pNode) const
{
    return strcmp(pNode->m_Key.GetData(), m_szKey) == 0;
}
bool ZStringMap::TextComparator::IsLess(const Node* pNode) const
{
    return strcmp(m_szKey, pNode->m_Key.GetData()) < 0;
}

ZStringMap::Node* ZStringMap::Insert(const char* szKey, const char* szValue)
{
    return InsertEntry(szKey, szValue);
}
ZStringMap::Node* ZStringMap::Insert(const ZStringBase& key, const ZStringBase& value)
{
    return InsertEntry(key, value);
}
ZStringMap::Node* ZStringMap::Find(const char* szKey) const
{
    return FindText(szKey);
}
ZStringMap::Node* ZStringMap::Find(const ZStringBase& key) const
{
    return Find(BufferComparator(key));
}
