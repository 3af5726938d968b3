// The sync program's texts by key, loaded from "ivlsync_<language>.xml": a "root" element with a
// "language" attribute holding entries with a "name" attribute and a "value" child. A key that
// is not in the table is its own text.
#pragma once
#include "common/containers/zmap.h"
#include "common/containers/zstringbuffer.h"
#include "common/system/zlock.h"

class IInputStream;

class LanguageTable
{
public:
    LanguageTable();
    virtual void SetPrefix(const char* szPrefix);
    // The stored text, or szKey itself when there is none.
    virtual const char* GetText(const char* szKey);
    virtual ZWideText GetTextWide(const char* szKey);
    virtual void LoadFromStream(IInputStream* pStream);
    // Nothing happens when the file cannot be opened.
    virtual void LoadFile(const char* szPath);
    virtual const char* GetLanguage();
    // The text of "ErrorMessages/ActionGame/<code>"; valid as long as the table lives.
    virtual const char* GetErrorMessage(int nCode);
    virtual ~LanguageTable();

    LanguageTable(const LanguageTable&) = delete;
    LanguageTable& operator=(const LanguageTable&) = delete;

    int GetCount() const { return m_Texts.Size(); }

private:
    ZStringMap m_Texts;
    ZStringBuffer<16> m_sLanguage;
    ZStringBuffer<16> m_sPrefix;
    // Keys of error messages without a text, kept so that the returned text outlives the call.
    ZStringMap m_MissingKeys;
    ZCriticalSection m_MissingLock;
};
