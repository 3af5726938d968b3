#include "common/containers/zstringbuffer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/containers/zstr.h"

// ---- ZWideText ----

ZWideText::ZWideText(const char* szUtf8) : m_pText(nullptr)
{
    if (!szUtf8)
        szUtf8 = "";
    m_pText = (wchar_t*)malloc((strlen(szUtf8) + 1) * sizeof(wchar_t));
    if (m_pText)
        ZUtf8ToUtf16(m_pText, szUtf8);
}

ZWideText::~ZWideText()
{
    free(m_pText);
}

wchar_t* ZWideText::Detach()
{
    wchar_t* pText = m_pText;
    m_pText = nullptr;
    return pText;
}

void ZWideText::Set(wchar_t* pText)
{
    if (pText != m_pText)
        free(m_pText);
    m_pText = pText;
}

// ---- ZStringBase ----

ZStringBase::~ZStringBase()
{
    if (m_nCapacity > 0)
        free(m_pData);
}

void ZStringBase::Fail()
{
    __builtin_trap();
}

bool ZStringBase::GrowTo(int nSize, int nInline)
{
    if (nSize <= nInline || nSize <= m_nCapacity)
        return true;
    RequireOwned();
    int nNew = nSize;
    if ((nSize & (nSize - 1)) != 0) {
        // Next power of two above; sizes past 2^30 are taken as they are.
        nNew = nSize > 0x40000000 ? nSize : 1;
        while (nNew < nSize)
            nNew <<= 1;
    }
    char* pBlock = (char*)malloc((size_t)nNew);
    if (!pBlock)
        return false;
    memcpy(pBlock, m_pData, (size_t)m_nSize);
    if (m_nCapacity > 0)
        free(m_pData);
    m_pData = pBlock;
    m_nCapacity = nNew;
    return true;
}

bool ZStringBase::CopyFrom(const char* pText, int nLength)
{
    if (!ReserveCounted((int64_t)nLength + 1))
        return false;
    memmove(m_pData, pText, (size_t)nLength);
    m_pData[nLength] = 0;
    m_nSize = nLength + 1;
    return true;
}

int ZStringBase::Find(char c) const
{
    const void* p = memchr(m_pData, c, (size_t)GetLength());
    return p ? (int)((const char*)p - m_pData) : -1;
}

int ZStringBase::Find(char c, int nStart) const
{
    if (nStart >= m_nSize)
        return -1;
    if (nStart < 0)
        nStart = 0;
    int nLength = GetLength();
    if (nStart >= nLength)
        return -1;
    const void* p = memchr(m_pData + nStart, c, (size_t)(nLength - nStart));
    return p ? (int)((const char*)p - m_pData) : -1;
}

int ZStringBase::ReverseFind(char c) const
{
    for (int i = GetLength() - 1; i >= 0; --i) {
        if (m_pData[i] == c)
            return i;
    }
    return -1;
}

bool ZStringBase::operator==(const ZStringBase& other) const
{
    return strcmp(m_pData, other.m_pData) == 0;
}
bool ZStringBase::operator==(const char* szText) const
{
    return strcmp(m_pData, szText ? szText : "") == 0;
}
bool ZStringBase::operator<(const ZStringBase& other) const
{
    return strcmp(m_pData, other.m_pData) < 0;
}
bool ZStringBase::operator<=(const char* szText) const
{
    return strcmp(m_pData, szText) <= 0;
}
bool ZStringBase::EqualsNoCase(const char* szText) const
{
    return _stricmp(m_pData, szText) == 0;
}
bool ZStringBase::EndsWith(const char* szText) const
{
    return ZStrEndsWith(m_pData, szText);
}

int ZStringBase::ToInt(int nIndex) const
{
    if (nIndex > GetLength())
        return 0;
    return atoi(m_pData + nIndex);
}

double ZStringBase::ToFloat(int nIndex) const
{
    if (nIndex > GetLength())
        return 0.0;
    return atof(m_pData + nIndex);
}

int ZStringBase::Scan(const char* szFormat, ...) const
{
    va_list args;
    va_start(args, szFormat);
    int n = ZStrScanV(m_pData, szFormat, args);
    va_end(args);
    return n;
}

const wchar_t* ZStringBase::ToWide(ZWideText& holder) const
{
    uint64_t nBytes = 2ull * ((uint64_t)GetLength() + 1);
    if (nBytes > 0xFFFFFFFFull)
        nBytes = 0xFFFFFFFFull;
    wchar_t* pWide = (wchar_t*)malloc((size_t)nBytes);
    if (pWide)
        ZUtf8ToUtf16(pWide, m_pData);
    holder.Set(pWide);
    return pWide;
}

char* ZStringBase::Clear()
{
    RequireOwned();
    m_pData[0] = 0;
    m_nSize = 1;
    return m_pData;
}

ZStringBase& ZStringBase::Assign(const char* szText)
{
    if (!szText)
        szText = "";
    // A text inside this buffer stays valid: its length never needs a bigger block.
    CopyFrom(szText, (int)strlen(szText));
    return *this;
}

ZStringBase& ZStringBase::Assign(const char* szText, int nCount)
{
    if (!szText)
        szText = "";
    if (nCount < 0)
        return Assign(szText);
    int nCopy = (int)strnlen(szText, (size_t)nCount);
    if (szText >= m_pData && szText < m_pData + m_nSize) {
        CopyFrom(szText, nCopy);  // within the current text: no growth needed
        return *this;
    }
    if (!ReserveCounted((int64_t)nCount + 1))
        return *this;
    memcpy(m_pData, szText, (size_t)nCopy);
    m_pData[nCopy] = 0;
    m_nSize = nCopy + 1;
    return *this;
}

ZStringBase& ZStringBase::AssignFrom(const ZStringBase& other)
{
    if (&other != this)
        CopyFrom(other.m_pData, other.GetLength());
    return *this;
}

ZStringBase& ZStringBase::AssignLatin1(const char* szText)
{
    if (!szText)
        szText = "";
    int64_t nBytes = 0;
    for (const unsigned char* p = (const unsigned char*)szText; *p; ++p)
        nBytes += *p < 0x80 ? 1 : 2;
    if (!ReserveCounted(nBytes + 1))
        return *this;
    char* pOut = m_pData;
    for (const unsigned char* p = (const unsigned char*)szText; *p; ++p)
        pOut += ZUtf8Encode(pOut, *p);
    *pOut = 0;
    m_nSize = (int)nBytes + 1;
    return *this;
}

ZStringBase& ZStringBase::AssignWide(const wchar_t* szText)
{
    if (!szText)
        szText = L"";
    char tmp[8];
    int64_t nBytes = 0;
    for (const wchar_t* p = szText; *p; ++p)
        nBytes += ZUtf8Encode(tmp, (uint16_t)*p);
    if (!ReserveCounted(nBytes + 1))
        return *this;
    char* pOut = m_pData;
    for (const wchar_t* p = szText; *p; ++p)
        pOut += ZUtf8Encode(pOut, (uint16_t)*p);
    *pOut = 0;
    m_nSize = (int)nBytes + 1;
    return *this;
}

ZStringBase& ZStringBase::AssignUtf16(const wchar_t* szText)
{
    if (!szText)
        szText = L"";
    int nBytes = ZUtf16ToUtf8(nullptr, szText);
    if (nBytes < 0 || !ReserveCounted((int64_t)nBytes + 1))
        return *this;
    ZUtf16ToUtf8(m_pData, szText);
    m_nSize = nBytes + 1;
    return *this;
}

ZStringBase& ZStringBase::Append(const char* szText)
{
    if (!szText)
        return *this;
    size_t nAdd = strlen(szText);
    // Appending (part of) the buffer's own text: find it again after a reallocation.
    intptr_t nOffset = -1;
    if (szText >= m_pData && szText < m_pData + m_nSize)
        nOffset = szText - m_pData;
    if (!ReserveCounted((int64_t)m_nSize + (int64_t)nAdd))
        return *this;
    if (nOffset >= 0)
        szText = m_pData + nOffset;
    memmove(m_pData + m_nSize - 1, szText, nAdd);
    m_nSize += (int)nAdd;
    m_pData[m_nSize - 1] = 0;
    return *this;
}

ZStringBase& ZStringBase::Append(const ZStringBase& other)
{
    int nAdd = other.GetLength();
    const bool bSelf = &other == this;
    if (!ReserveCounted((int64_t)m_nSize + nAdd))
        return *this;
    const char* pSrc = bSelf ? m_pData : other.m_pData;
    memmove(m_pData + m_nSize - 1, pSrc, (size_t)nAdd);
    m_nSize += nAdd;
    m_pData[m_nSize - 1] = 0;
    return *this;
}

ZStringBase& ZStringBase::AppendChar(char c)
{
    if (!ReserveCounted((int64_t)m_nSize + 1))
        return *this;
    m_pData[m_nSize - 1] = c;
    m_pData[m_nSize] = 0;
    m_nSize += 1;
    return *this;
}

ZStringBase& ZStringBase::Format(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    FormatV(szFormat, args);
    va_end(args);
    return *this;
}

ZStringBase& ZStringBase::FormatV(const char* szFormat, va_list args)
{
    Clear();
    return AppendFormatV(szFormat, args);
}

ZStringBase& ZStringBase::FormatLineV(const char* szFormat, va_list args)
{
    FormatV(szFormat, args);
    if (!EndsWith("\n"))
        AppendChar('\n');
    return *this;
}

ZStringBase& ZStringBase::AppendFormat(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    AppendFormatV(szFormat, args);
    va_end(args);
    return *this;
}

ZStringBase& ZStringBase::AppendFormatV(const char* szFormat, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int nCount = vsnprintf(nullptr, 0, szFormat, copy);
    va_end(copy);
    if (nCount <= 0)
        return *this;
    if (!ReserveCounted((int64_t)m_nSize + nCount))
        return *this;
    vsnprintf(m_pData + m_nSize - 1, (size_t)nCount + 1, szFormat, args);
    m_nSize += nCount;
    return *this;
}

ZStringBase& ZStringBase::AppendFloat4(float a, float b, float c, float d)
{
    return AppendFormat("(%f,%f,%f,%f)", a, b, c, d);
}

ZStringBase& ZStringBase::AppendMatrix4(const float* pValues)
{
    for (int i = 0; i < 16; i += 4)
        AppendFloat4(pValues[i], pValues[i + 1], pValues[i + 2], pValues[i + 3]);
    return *this;
}

void ZStringBase::Truncate(int nLength)
{
    RequireOwned();
    if (nLength >= GetLength())
        return;
    if (nLength < 0)
        nLength = 0;
    m_pData[nLength] = 0;
    m_nSize = nLength + 1;
}

void ZStringBase::Replace(char cFrom, char cTo)
{
    RequireOwned();
    int nLength = GetLength();
    for (int i = 0; i < nLength; ++i) {
        if (m_pData[i] == cFrom)
            m_pData[i] = cTo;
    }
}

// ---- ZStringRef ----

ZStringRef::ZStringRef(const char* szText) : ZStringBase(0, 0, nullptr)
{
    if (!szText)
        szText = "";
    int nLength = (int)strlen(szText);
    m_nCapacity = -(nLength + 1);
    m_nSize = nLength + 1;
    m_pData = const_cast<char*>(szText);
}

ZStringRef::ZStringRef(const ZStringRef& other) : ZStringBase(other.m_nCapacity, other.m_nSize, other.m_pData)
{
}

ZStringRef& ZStringRef::operator=(const ZStringRef& other)
{
    m_nCapacity = other.m_nCapacity;
    m_nSize = other.m_nSize;
    m_pData = other.m_pData;
    return *this;
}

void ZStringRef::Reset()
{
    Fail();
}
bool ZStringRef::Reserve(int)
{
    Fail();
}

// ---- Log message texts ----

ZStringBuffer<16> ZLogTextV(uint8_t nLevel, const char* szFormat, va_list args)
{
    char szWork[8196];
    szWork[0] = (char)('a' + nLevel);
    memset(szWork + 8188, 0, 8);  // always terminated, also when the text is cut
    vsnprintf(szWork + 1, 8192, szFormat, args);
    szWork[8192] = 0;  // at most 8191 characters after the level letter
    return ZStringBuffer<16>(static_cast<const char*>(szWork));
}

ZStringBuffer<16> ZLogText(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    ZStringBuffer<16> s = ZLogTextV(0, szFormat, args);
    va_end(args);
    return s;
}

ZStringBuffer<16> ZLogTextLevel(uint8_t nLevel, const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    ZStringBuffer<16> s = ZLogTextV(nLevel, szFormat, args);
    va_end(args);
    return s;
}
