#include "common/system/zwin.h"

#include "shared/net/remotenames.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/containers/zfiletable.h"
#include "common/containers/zstr.h"
#include "common/containers/zstringbuffer.h"

const char* const kSyncCacheOwnFiles[] = {"currentfiles.txt", "currentfiles.txt.1", "currentfiles.txt.journal"};
const size_t kSyncCacheOwnFileCount = sizeof(kSyncCacheOwnFiles) / sizeof(kSyncCacheOwnFiles[0]);

namespace
{
bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

bool SameLetters(const char* p, const char* szUpper, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (ZCharToLower(p[i]) != ZCharToLower(szUpper[i]))
            return false;
    return true;
}

// A digit as Windows reads it after COM or LPT: 0-9, or the superscripts 1, 2 and 3 (UTF-8).
bool IsDeviceDigit(const char* p, size_t n)
{
    if (n == 1)
        return p[0] >= '0' && p[0] <= '9';
    return n == 2 && (unsigned char)p[0] == 0xC2 &&
        ((unsigned char)p[1] == 0xB9 || (unsigned char)p[1] == 0xB2 || (unsigned char)p[1] == 0xB3);
}

bool IsLineEnd(char c)
{
    return c == '\r' || c == '\n' || c == 0;
}

// True (problem set) when the quoted name of the line holds a ".." piece after its leading ones.
bool ClimbsMidway(const char* pLine, const char* pEnd, ZStringBase& problem)
{
    const char* pFirst = (const char*)memchr(pLine, '"', (size_t)(pEnd - pLine));
    const char* pLast = pFirst;
    for (const char* q = pFirst; q && q < pEnd; ++q)
        if (*q == '"')
            pLast = q;
    if (!pFirst || pLast - pFirst < 2)
        return false;
    const char* pName = pFirst + 1;
    while (pLast - pName >= 2 && pName[0] == '.' && pName[1] == '.' && (pLast - pName == 2 || pName[2] == '/'))
        pName += pLast - pName == 2 ? 2 : 3;
    for (const char* q = pName; q < pLast; ++q) {
        const char* pPiece = q;
        while (q < pLast && !IsSeparator(*q))
            ++q;
        if (q - pPiece == 2 && pPiece[0] == '.' && pPiece[1] == '.') {
            problem.Format("Refusing file name %.*s", (int)(pLast - pFirst - 1), pFirst + 1);
            return true;
        }
    }
    return false;
}

// The name as Windows compares it: UTF-16 as the file calls convert it, '/' for '\', each piece
// without its trailing dots and blanks, upper case.
std::wstring Fold(const char* szName)
{
    size_t nLength = strlen(szName);
    std::wstring wide(nLength + 1, L'\0');
    wide.resize((size_t)ZUtf8ToUtf16(&wide[0], szName));
    std::wstring folded;
    folded.reserve(wide.size());
    size_t nPiece = 0;
    for (size_t i = 0; i <= wide.size(); ++i) {
        wchar_t c = i < wide.size() ? wide[i] : L'/';
        if (c == L'/' || c == L'\\') {
            size_t nEnd = i;
            while (nEnd > nPiece && (wide[nEnd - 1] == L'.' || wide[nEnd - 1] == L' '))
                --nEnd;
            folded.append(wide, nPiece, nEnd - nPiece);
            if (i < wide.size())
                folded.push_back(L'/');
            nPiece = i + 1;
        }
    }
    if (!folded.empty()) {
        std::wstring upper(folded.size(), L'\0');
        if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, folded.data(), (int)folded.size(), &upper[0],
                         (int)upper.size()) == (int)upper.size())
            return upper;
        for (wchar_t& c : folded)
            if (c >= L'a' && c <= L'z')
                c = (wchar_t)(c - L'a' + L'A');
    }
    return folded;
}

// a lies inside folder b ("B/..." under "B").
bool IsInside(const std::wstring& a, const std::wstring& b)
{
    return a.size() > b.size() && a[b.size()] == L'/' && a.compare(0, b.size(), b) == 0;
}

struct ReservedSet
{
    ReservedSet(const char* const* ppReserved, size_t nReserved) : m_ppNames(ppReserved)
    {
        for (size_t i = 0; i < nReserved; ++i)
            m_Folded.push_back(Fold(ppReserved[i]));
    }
    // The reserved entry that the folded name takes, lies in, or would have to hold; or null.
    const char* Clash(const std::wstring& folded) const
    {
        for (size_t i = 0; i < m_Folded.size(); ++i)
            if (folded == m_Folded[i] || IsInside(folded, m_Folded[i]) || IsInside(m_Folded[i], folded))
                return m_ppNames[i];
        return nullptr;
    }
    const char* const* m_ppNames;
    std::vector<std::wstring> m_Folded;
};

// A piece that could be an 8.3 short name (see IsSafePiece).
bool IsShortNameAlias(const char* szPiece, size_t nLength)
{
    // Windows drops trailing dots and blanks before it looks the piece up.
    while (nLength > 0 && (szPiece[nLength - 1] == '.' || szPiece[nLength - 1] == ' '))
        --nLength;
    if (!memchr(szPiece, '~', nLength))
        return false;
    // Characters, not bytes: a short name may hold letters beyond ASCII, so the longest form
    // that could be one is counted by code points (UTF-8 continuation bytes do not count).
    size_t nBase = 0, nExtension = 0;
    bool bDot = false;
    for (size_t i = 0; i < nLength; ++i) {
        unsigned char c = (unsigned char)szPiece[i];
        if ((c & 0xC0) == 0x80)
            continue;
        if (c == '.') {
            if (bDot)
                return false;
            bDot = true;
        } else if (bDot) {
            ++nExtension;
        } else {
            ++nBase;
        }
    }
    return nBase >= 1 && nBase <= 8 && nExtension <= 3;
}

// The name alone: safe, and clear of the reserved entries; its folded form in folded.
bool CheckOne(const char* szName, const ReservedSet& reserved, ZStringBase& problem, std::wstring& folded)
{
    if (!IsSafeRelativeName(szName)) {
        problem.Format("Refusing file name %s", szName ? szName : "");
        return false;
    }
    folded = Fold(szName);
    if (const char* szOwn = reserved.Clash(folded)) {
        problem.Format("Refusing file name %s: the program keeps %s for itself", szName, szOwn);
        return false;
    }
    return true;
}
}

bool IsDeviceName(const char* szPiece, size_t nLength)
{
    // Windows reads the piece up to its first dot, without trailing blanks, as the device.
    const char* pDot = (const char*)memchr(szPiece, '.', nLength);
    size_t n = pDot ? (size_t)(pDot - szPiece) : nLength;
    while (n > 0 && szPiece[n - 1] == ' ')
        --n;
    if (n == 3)
        return SameLetters(szPiece, "CON", 3) || SameLetters(szPiece, "PRN", 3) || SameLetters(szPiece, "AUX", 3) ||
            SameLetters(szPiece, "NUL", 3);
    if (n == 4 || n == 5)
        return (SameLetters(szPiece, "COM", 3) || SameLetters(szPiece, "LPT", 3)) && IsDeviceDigit(szPiece + 3, n - 3);
    if (n == 6)
        return SameLetters(szPiece, "CONIN$", 6) || SameLetters(szPiece, "CLOCK$", 6);
    return n == 7 && SameLetters(szPiece, "CONOUT$", 7);
}

bool IsSafePiece(const char* szPiece, size_t nLength)
{
    if (nLength == 0)
        return false;
    for (size_t i = 0; i < nLength; ++i)
        if (szPiece[i] == ':' || (unsigned char)szPiece[i] < 0x20 || IsSeparator(szPiece[i]))
            return false;
    size_t nDotsAndBlanks = 0;
    while (nDotsAndBlanks < nLength && (szPiece[nDotsAndBlanks] == '.' || szPiece[nDotsAndBlanks] == ' '))
        ++nDotsAndBlanks;
    return nDotsAndBlanks < nLength && !IsDeviceName(szPiece, nLength) && !IsShortNameAlias(szPiece, nLength);
}

bool IsSafeRelativeName(const char* szName)
{
    if (!szName || !szName[0])
        return false;
    const char* p = szName;
    for (;;) {
        const char* pPiece = p;
        while (*p && !IsSeparator(*p))
            ++p;
        if (!IsSafePiece(pPiece, (size_t)(p - pPiece)))
            return false;
        if (!*p)
            return true;
        ++p;
    }
}

bool CheckListedName(const char* szName, const char* const* ppReserved, size_t nReserved, ZStringBase& problem)
{
    std::wstring folded;
    return CheckOne(szName, ReservedSet(ppReserved, nReserved), problem, folded);
}

bool CheckListedNames(const ZFileTable& table, const char* const* ppReserved, size_t nReserved,
                      bool (*pfnIgnored)(const char*), ZStringBase& problem)
{
    ReservedSet reserved(ppReserved, nReserved);
    struct Entry
    {
        std::wstring m_Folded;
        const char* m_szName;
        // '/' before every other character, so that the names inside a folder come right after
        // the folder's own name; ties in the bytewise order of the names, so that a refusal
        // always reads the same.
        bool operator<(const Entry& other) const
        {
            const std::wstring& a = m_Folded;
            const std::wstring& b = other.m_Folded;
            size_t n = a.size() < b.size() ? a.size() : b.size();
            size_t i = (size_t)(std::mismatch(a.begin(), a.begin() + (ptrdiff_t)n, b.begin()).first - a.begin());
            if (i < n)
                return b[i] != L'/' && (a[i] == L'/' || a[i] < b[i]);
            if (a.size() != b.size())
                return a.size() < b.size();
            return strcmp(m_szName, other.m_szName) < 0;
        }
    };
    std::vector<Entry> entries;
    entries.reserve((size_t)table.GetCount());
    for (ZFileTable::Node* p = table.First(); p; p = ZFileTable::Next(p)) {
        const char* szName = p->m_Value->m_Name.GetData();
        if (pfnIgnored && pfnIgnored(szName))
            continue;
        Entry entry = {std::wstring(), szName};
        if (!CheckOne(szName, reserved, problem, entry.m_Folded))
            return false;
        entries.push_back(std::move(entry));
    }

    // Sorted so, two records for one file sit side by side, and so do a file and the first name
    // that needs it as a folder: one pass over neighbours (a search for every folder of every
    // name took minutes on a list of long, deep names).
    std::sort(entries.begin(), entries.end());
    for (size_t i = 1; i < entries.size(); ++i) {
        if (entries[i].m_Folded == entries[i - 1].m_Folded) {
            problem.Format("Refusing file names %s and %s: they name the same file", entries[i - 1].m_szName,
                           entries[i].m_szName);
            return false;
        }
    }
    for (size_t i = 1; i < entries.size(); ++i) {
        if (IsInside(entries[i].m_Folded, entries[i - 1].m_Folded)) {
            problem.Format("Refusing file name %s: %s needs it as a folder", entries[i - 1].m_szName,
                           entries[i].m_szName);
            return false;
        }
    }
    return true;
}

bool CheckClimbingRecords(const char* pText, size_t nSize, ZStringBase& problem)
{
    // Lines as the table's reader cuts them: at CR, LF and NUL; those of MAX_LINE bytes or more
    // are never read, whatever they name.
    size_t nStart = 0;
    while (nStart < nSize) {
        size_t nEnd = nStart;
        while (nEnd < nSize && !IsLineEnd(pText[nEnd]))
            ++nEnd;
        if (nEnd - nStart < ZFileRecord::MAX_LINE && ClimbsMidway(pText + nStart, pText + nEnd, problem))
            return false;
        nStart = nEnd + 1;
    }
    return true;
}
