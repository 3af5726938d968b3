// The engine globals library (globals.dll, linked by name): the process-wide state that the
// launcher shares with the game engine library. The options store, the settings-file reader,
// root paths, the locale, the small-files catalog, the Python host and the crash hooks.
#pragma once
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "common/containers/zstringbuffer.h"

#if defined(IVL_GLOBALS_BUILD)
#define GLOBALS_API __declspec(dllexport)
#else
#define GLOBALS_API __declspec(dllimport)
#endif
// Virtual operations that cross the DLL boundary.
#define GLOBALS_CALL __stdcall

class ZFileCatalog;
class IPython;

enum ZOptionType : int32_t
{
    ZOPTION_BOOL = 0,
    ZOPTION_INT = 1,
    ZOPTION_FLOAT = 2,
    ZOPTION_STRING = 3,  // set through ZOptionSet::SetString
};

// One option: the type, the typed value, then the text value (always the text that was set
// last, also for a typed value set through the helpers below).
struct ZOption
{
    int32_t m_nType;
    union
    {
        uint8_t m_bValue;
        int32_t m_nValue;
        float m_fValue;
    };
    ZStringBuffer<64> m_sValue;
    ZStringBuffer<64> m_sName;
};

static_assert(sizeof(void*) != 4 || sizeof(ZOption) == 168, "option record shared with globals.dll");

class ZOptionSet
{
public:
    virtual int GLOBALS_CALL GetCount() = 0;                     // slot 0
    virtual ZOption* GLOBALS_CALL GetAt(int nIndex) = 0;         // slot 1
    virtual ZOption* GLOBALS_CALL Find(const char* szName) = 0;  // slot 2, null when missing
    virtual ZOption* GLOBALS_CALL Add(const char* szName) = 0;   // slot 3, a new empty string option
    virtual void GLOBALS_CALL SetString(ZOption* pOption, const ZStringBase& s) = 0;  // slot 4, type becomes string

    // The one process-wide store.
    GLOBALS_API static ZOptionSet* GetOptions();

protected:
    ~ZOptionSet() = default;
};

// Settings files. Format of a file (one setting a line, text in UTF-8):
//   ; comment            # comment           (whole lines only)
//   [section]            names below are "section.name" until the next section line
//   name = value         blanks around name and value are dropped; a value in double quotes
//                        keeps its blanks (the quotes are not part of it)
// A value of true/false is a boolean, a decimal integer an integer, a decimal number with a '.'
// or an exponent a float, anything else a string. A later line overrides an earlier one.
class IniFile
{
public:
    // False when the file cannot be read; the store keeps what an earlier file set.
    GLOBALS_API static bool Read(const char* szPath);
};

class ZLocale
{
public:
    virtual const char* GLOBALS_CALL GetFileName() = 0;               // slot 0: the file loaded last, "" before
    virtual int GLOBALS_CALL GetCount() = 0;                          // slot 1: texts loaded
    virtual const char* GLOBALS_CALL GetText(const char* szKey) = 0;  // slot 2: the key itself when missing
    virtual void GLOBALS_CALL Clear() = 0;                            // slot 3
    virtual bool GLOBALS_CALL Load(const char* szPath) = 0;           // slot 4: a settings-format file of key = text

protected:
    ~ZLocale() = default;
};
GLOBALS_API ZLocale* GetLocale();

typedef void(__cdecl* ZLogFileNameFunc)(char* szBuffer, int nSize);
typedef void(__cdecl* ZCrashCloseFunc)(void* pContext);

namespace globvals
{
// Folder texts the launcher appends file names to (with their trailing '\' when not empty).
GLOBALS_API const ZStringBuffer<512, 0>& GetRootGfxPath();
GLOBALS_API const ZStringBuffer<512, 0>& GetRootResourcePath();

GLOBALS_API ZFileCatalog* GetSmallFilesCatalog();
GLOBALS_API void SetSmallFilesCatalog(ZFileCatalog* pCatalog);

GLOBALS_API IPython* GetPython();
GLOBALS_API void SetPython(IPython* pPython);

GLOBALS_API void SetLogFileFunc(ZLogFileNameFunc pfnFunc);
// Fills the buffer through the registered function; "" without one.
GLOBALS_API void GetLogFileName(char* szBuffer, int nSize);

GLOBALS_API void SetCrashClose(ZCrashCloseFunc pfnFunc, void* pContext);
GLOBALS_API ZCrashCloseFunc GetCrashClose(void** ppContext);

GLOBALS_API const char* GetUsername();
GLOBALS_API const char* GetCurrentScene();
}  // namespace globvals

// Option reads and writes as the launcher does them: a read finds the option or adds it with the
// default; a write finds or adds it, then sets the type and value (the text follows the value).
namespace ZOptions
{
inline ZOption* FindOrAdd(const char* szName)
{
    ZOptionSet* pSet = ZOptionSet::GetOptions();
    ZOption* pOption = pSet->Find(szName);
    return pOption ? pOption : pSet->Add(szName);
}

inline void SetString(const char* szName, const char* szValue)
{
    ZOption* pOption = FindOrAdd(szName);
    ZOptionSet::GetOptions()->SetString(pOption, ZStringBuffer<64>(szValue ? szValue : ""));
}

// The text and the type of a typed write; the caller sets the value.
inline ZOption* SetTyped(const char* szName, const ZStringBase& text, ZOptionType nType)
{
    ZOption* pOption = FindOrAdd(szName);
    ZOptionSet::GetOptions()->SetString(pOption, text);
    pOption->m_nType = nType;
    return pOption;
}

inline void SetBool(const char* szName, bool bValue)
{
    ZOption* pOption = SetTyped(szName, ZStringBuffer<64>(bValue ? "true" : "false"), ZOPTION_BOOL);
    pOption->m_nValue = 0;
    pOption->m_bValue = bValue ? 1 : 0;
}

inline void SetInt(const char* szName, int32_t nValue)
{
    SetTyped(szName, ZStringBuffer<64>("%d", nValue), ZOPTION_INT)->m_nValue = nValue;
}

inline void SetFloat(const char* szName, float fValue)
{
    SetTyped(szName, ZStringBuffer<64>("%g", static_cast<double>(fValue)), ZOPTION_FLOAT)->m_fValue = fValue;
}

inline bool TextIsTrue(const char* szText)
{
    return _stricmp(szText, "true") == 0 || _stricmp(szText, "yes") == 0 || atoi(szText) != 0;
}

// A typed read: a missing option is added with the default (through set); a text option is
// converted by parse.
template <class T, class TSet, class TParse>
inline T GetTyped(const char* szName, T defaultValue, TSet set, TParse parse)
{
    ZOption* pOption = ZOptionSet::GetOptions()->Find(szName);
    if (!pOption) {
        set(szName, defaultValue);
        return defaultValue;
    }
    switch (pOption->m_nType) {
    case ZOPTION_BOOL: return static_cast<T>(pOption->m_bValue);
    case ZOPTION_INT: return static_cast<T>(pOption->m_nValue);
    case ZOPTION_FLOAT: return static_cast<T>(pOption->m_fValue);
    default: return parse(pOption->m_sValue.c_str());
    }
}

inline bool GetBool(const char* szName, bool bDefault)
{
    return GetTyped(szName, bDefault, SetBool, TextIsTrue);
}

inline int32_t GetInt(const char* szName, int32_t nDefault)
{
    return GetTyped(szName, nDefault, SetInt, [](const char* szText) { return static_cast<int32_t>(atoi(szText)); });
}

inline float GetFloat(const char* szName, float fDefault)
{
    return GetTyped(szName, fDefault, SetFloat, [](const char* szText) { return static_cast<float>(atof(szText)); });
}

// The text stays owned by the store; copy it before the option changes.
inline const char* GetString(const char* szName, const char* szDefault)
{
    ZOption* pOption = ZOptionSet::GetOptions()->Find(szName);
    if (!pOption) {
        SetString(szName, szDefault);
        pOption = ZOptionSet::GetOptions()->Find(szName);
    }
    return pOption ? pOption->m_sValue.c_str() : szDefault;
}
}  // namespace ZOptions
