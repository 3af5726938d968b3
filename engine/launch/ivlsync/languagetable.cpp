#include "launch/ivlsync/languagetable.h"

#include <cstdlib>
#include <cstring>
#include "common/containers/zstr.h"
#include "common/containers/zxml.h"
#include "common/stream/streams.h"

LanguageTable::LanguageTable()
{
}

LanguageTable::~LanguageTable()
{
}

void LanguageTable::SetPrefix(const char* szPrefix)
{
    m_sPrefix = szPrefix ? szPrefix : "";
    // An empty prefix means none: a lone "/" would hide every entry.
    if (!m_sPrefix.IsEmpty() && !m_sPrefix.EndsWith("/"))
        m_sPrefix.AppendChar('/');
}

const char* LanguageTable::GetText(const char* szKey)
{
    if (!szKey)
        return szKey;
    ZStringMap::Node* pNode;
    if (m_sPrefix.IsEmpty()) {
        pNode = m_Texts.Find(szKey);
    } else {
        ZStringBuffer<256> sKey(m_sPrefix);
        sKey.Append(szKey);
        pNode = m_Texts.Find(sKey);
    }
    return pNode ? pNode->m_Value.GetData() : szKey;
}

ZWideText LanguageTable::GetTextWide(const char* szKey)
{
    return ZWideText(GetText(szKey));
}

void LanguageTable::LoadFromStream(IInputStream* pStream)
{
    ZXmlDocument document;
    document.Load(pStream);
    ZXmlElement* pRoot = ZXmlNodeList::Find(document.m_Elements, "root");
    if (!pRoot)
        return;
    ZXmlAttribute* pLanguage = pRoot->FindAttribute("language");
    m_sLanguage = pLanguage ? pLanguage->Value().GetData() : "";
    for (ZXmlElement* pEntry = ZXmlNodeList::First(pRoot->m_Children); pEntry; pEntry = pEntry->m_pNext) {
        ZXmlAttribute* pName = pEntry->FindAttribute("name");
        ZXmlElement* pValue = ZXmlNodeList::Find(pEntry->m_Children, "value");
        if (pName && pValue)
            m_Texts.Insert(pName->Value(), pValue->m_Text);
    }
}

void LanguageTable::LoadFile(const char* szPath)
{
    ZFileInputStream stream(szPath);
    if (stream.IsOpen())
        LoadFromStream(&stream);
}

const char* LanguageTable::GetLanguage()
{
    return m_sLanguage.GetData();
}

const char* LanguageTable::GetErrorMessage(int nCode)
{
    ZStringBuffer<256> sKey;
    sKey.Format("ErrorMessages/ActionGame/%d", nCode);
    const char* szText = GetText(sKey.GetData());
    if (szText != sKey.GetData())
        return szText;
    // Lookups run on many threads without a lock; only this cache of absent keys needs one.
    ZLockGuard guard(m_MissingLock);
    ZStringMap::Node* pNode = m_MissingKeys.Find(sKey);
    if (!pNode)
        pNode = m_MissingKeys.Insert(sKey, sKey);
    return pNode->m_Value.GetData();
}
