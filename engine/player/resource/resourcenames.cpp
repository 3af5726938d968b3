#include "player/resource/resourcenames.h"

#include <limits.h>
#include <string.h>

#include "common/containers/zstr.h"
#include "player/resource/resourceindexallocator.h"

uint32_t MakeFourCC(char a, char b, char c, char d)
{
    return (uint32_t)(uint8_t)a << 24 | (uint32_t)(uint8_t)b << 16 | (uint32_t)(uint8_t)c << 8 | (uint8_t)d;
}

uint32_t TextToFourCC(const char* szText)
{
    char c[4] = {0, 0, 0, 0};
    for (int i = 0; i < 4 && szText && szText[i]; ++i)
        c[i] = szText[i];
    return MakeFourCC(c[0], c[1], c[2], c[3]);
}

FourCCText::FourCCText(uint32_t nCode)
{
    if (nCode == 0) {
        memcpy(m_szText, "ZERO", 5);
        return;
    }
    for (int i = 0; i < 4; ++i)
        m_szText[i] = (char)(nCode >> (24 - 8 * i));
    m_szText[4] = 0;
}

// ---- ResourceIndex ----

const char* ResourceIndex::GetName() const
{
    if (IsNone())
        return "";
    ResourceIndexAllocator* pAllocator = GetResourceIndexAllocator();
    return pAllocator ? pAllocator->GetName((int32_t)m_nValue) : "";
}

ResourceText ResourceIndex::ToText() const
{
    return ResourceText("%d", (int)m_nValue);
}

int CompareResourceNamesNoCase(const ResourceIndex& a, const ResourceIndex& b)
{
    return ZStrICompare(a.GetName(), b.GetName());
}

// ---- RelativeName ----

const char* RelativeName::GetText() const
{
    return m_pOwner ? m_pOwner->GetBase() + m_nOffset : reinterpret_cast<const char*>(m_nOffset);
}

bool RelativeName::operator<(const RelativeName& other) const
{
    return ZStrCompare(GetText(), other.GetText()) < 0;
}

bool RelativeName::operator==(const RelativeName& other) const
{
    return ZStrCompare(GetText(), other.GetText()) == 0;
}

// ---- Composite names ----

namespace
{

const char* Safe(const char* sz)
{
    return sz ? sz : "";
}

// The name up to and with the colon, every ':' made a backslash; "" without a colon.
ResourceText FolderUpTo(const char* szName, const char* pColon)
{
    ResourceText folder;
    if (pColon) {
        folder.Assign(szName, (int)(pColon - szName) + 1);
        folder.Replace(':', '\\');
    }
    return folder;
}

}  // namespace

ResourceText ComposeResourceName(const char* szPath, const char* szType, const char* szMember)
{
    ResourceText name(Safe(szPath));
    int nDot = name.ReverseFind('.');
    if (nDot >= 0)
        *name.At(nDot) = ':';
    name.Append("(");
    name.Append(Safe(szType));
    name.Append("):");
    name.Append(Safe(szMember));
    return name;
}

ResourceText GetNameMember(const char* szName)
{
    const char* p = ZStrRChr(Safe(szName), ':');
    return ResourceText(p ? p + 1 : Safe(szName));
}

ResourceText GetNameFile(const char* szName)
{
    szName = Safe(szName);
    const char* pColon = ZStrChr(szName, ':');
    const char* pParen = pColon ? ZStrChr(pColon, '(') : nullptr;
    ResourceText file;
    file.Assign(szName, pParen ? (int)(pParen - szName) : -1);
    file.Replace(':', '.');
    return file;
}

ResourceText GetNameExtension(const char* szName)
{
    const char* pColon = ZStrChr(Safe(szName), ':');
    if (!pColon)
        return ResourceText();
    const char* pParen = ZStrChr(pColon, '(');
    ResourceText ext;
    ext.Assign(pColon + 1, pParen ? (int)(pParen - pColon - 1) : -1);
    return ext;
}

ResourceText GetNameType(const char* szName)
{
    const char* pOpen = ZStrRChr(Safe(szName), '(');
    const char* pClose = ZStrRChr(Safe(szName), ')');
    ResourceText type;
    if (pOpen && pClose && pClose > pOpen)
        type.Assign(pOpen + 1, (int)(pClose - pOpen - 1));
    return type;
}

ResourceText GetNameFolder(const char* szName)
{
    szName = Safe(szName);
    return FolderUpTo(szName, ZStrChr(szName, ':'));
}

ResourceText GetNameFolder(const char* szName, const char* szSuffix)
{
    szName = Safe(szName);
    ResourceText folder = FolderUpTo(szName, ZStrRChr(szName, ':'));
    folder.Append(Safe(szSuffix));
    return folder;
}

int RewriteResourcePath(const char* szPath, ResourceText& result)
{
    szPath = Safe(szPath);
    result.Clear();
    const char* pLast = ZStrRChr(szPath, '\\');
    if (!pLast)
        return -1;
    const char* pBefore = nullptr;
    for (const char* p = szPath; p < pLast; ++p)
        if (*p == '\\')
            pBefore = p;
    if (!pBefore)
        return -1;
    result.Assign(szPath, (int)(pLast - szPath) + 1);
    if (result.GetLength() != (int)(pLast - szPath) + 1)
        return -1;  // no memory for the copy
    int nBefore = (int)(pBefore - szPath);
    *result.At(nBefore) = ':';
    *result.At((int)(pLast - szPath)) = ':';
    return nBefore;
}

int GetTrailingNumber(const char* szText, int* pnStart)
{
    int nStart = -1;
    int nValue = 0;
    szText = Safe(szText);
    for (int i = 0; szText[i]; ++i) {
        char c = szText[i];
        if (c >= '0' && c <= '9') {
            if (nStart < 0) {
                nStart = i;
                nValue = c - '0';
            } else
                nValue = nValue > (INT_MAX - 1 - 9) / 10 ? INT_MAX - 1 : nValue * 10 + (c - '0');
        } else {
            nStart = -1;
            nValue = 0;
        }
    }
    if (pnStart)
        *pnStart = nStart;
    return nValue + 1;
}
