// Vocabulary of the resource layer: four-character type codes, resource index handles,
// composite names "path:ext(Type):member", the path rewrite and the trailing-number rule.
#pragma once
#include <stdint.h>

#include "common/containers/zstringbuffer.h"

typedef ZStringBuffer<256> ResourceText;

// ---- Four-character codes: the first character is the most significant byte ----

uint32_t MakeFourCC(char a, char b, char c, char d);
// The code of the first four characters of the text (missing ones count as 0).
uint32_t TextToFourCC(const char* szText);

// Text of a code: its four bytes high to low, "ZERO" for 0.
class FourCCText
{
public:
    explicit FourCCText(uint32_t nCode);
    const char* Get() const { return m_szText; }

private:
    char m_szText[5];
};

// ---- Resource index handle ----

class ResourceIndex
{
public:
    enum : uint32_t
    {
        None = 0xFFFFFFFFu,
        IndexMask = 0x1FFFFF
    };

    ResourceIndex() : m_nValue(None) {}
    explicit ResourceIndex(uint32_t nValue) : m_nValue(nValue) {}

    uint32_t GetValue() const { return m_nValue; }
    uint32_t GetIndex() const { return m_nValue & IndexMask; }
    bool IsNone() const { return m_nValue == None; }
    // "" for no resource, else the name the process's resource index allocator gives it.
    const char* GetName() const;
    // "%d" of the value.
    ResourceText ToText() const;

    bool operator==(const ResourceIndex& other) const { return m_nValue == other.m_nValue; }
    bool operator!=(const ResourceIndex& other) const { return m_nValue != other.m_nValue; }
    bool operator<(const ResourceIndex& other) const { return m_nValue < other.m_nValue; }

private:
    uint32_t m_nValue;
};

// Compares two handles by their names, ignoring case.
int CompareResourceNamesNoCase(const ResourceIndex& a, const ResourceIndex& b);

// (code, index); the index is none when only a code is given.
struct ResourceRef
{
    explicit ResourceRef(uint32_t nCode, ResourceIndex index = ResourceIndex()) : m_nCode(nCode), m_Index(index) {}
    uint32_t m_nCode;
    ResourceIndex m_Index;
};

// Something that holds name texts at offsets from a base address of its own.
class RelativeNameOwner
{
public:
    virtual void Unused() {}
    virtual const char* GetBase() const = 0;  // operation 1

protected:
    ~RelativeNameOwner() {}
};

// A name at an offset from its owner's base, or at the offset itself without an owner.
class RelativeName
{
public:
    RelativeName(const RelativeNameOwner* pOwner, uintptr_t nOffset) : m_pOwner(pOwner), m_nOffset(nOffset) {}
    const char* GetText() const;
    bool operator<(const RelativeName& other) const;
    bool operator==(const RelativeName& other) const;

private:
    const RelativeNameOwner* m_pOwner;
    uintptr_t m_nOffset;
};

// ---- Composite names ----

// path with its last '.' turned into ':', then "(" type "):" member.
ResourceText ComposeResourceName(const char* szPath, const char* szType, const char* szMember);
// After the last ':' (the whole name without one).
ResourceText GetNameMember(const char* szName);
// Before the first '(' after the first ':', every ':' turned back into '.'.
ResourceText GetNameFile(const char* szName);
// Between the first ':' and the next '(' ("" without a ':').
ResourceText GetNameExtension(const char* szName);
// Between the last '(' and the last ')' ("" when they are missing or out of order).
ResourceText GetNameType(const char* szName);
// Up to and including the first ':', with it turned into '\' ("" without a ':').
ResourceText GetNameFolder(const char* szName);
// Up to and including the last ':', every ':' turned into '\', then the suffix.
ResourceText GetNameFolder(const char* szName, const char* szSuffix);
// The path up to and including its last '\', with that '\' and the one before it turned into
// ':'; returns the position of the earlier one. Paths with fewer than two '\' give "" and -1.
int RewriteResourcePath(const char* szPath, ResourceText& result);

// Value of the digits that end the text plus 1 (1 without such digits), and in *pnStart where
// they start (-1 without). Values past what an int holds saturate.
int GetTrailingNumber(const char* szText, int* pnStart);
