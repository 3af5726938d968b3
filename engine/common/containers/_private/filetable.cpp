#include "common/containers/zfiletable.h"

#include <climits>
#include <cstring>

#include "common/containers/zmemorybuffer.h"
#include "common/stream/streams.h"
#include "common/system/file.h"
#include "common/system/path.h"

namespace
{

const int kMaxStream = 99999999;

// atoi over [p, pEnd): leading blanks, a sign, digits; 0 when none.
int32_t BoundedAtoi(const char* p, const char* pEnd)
{
    while (p < pEnd && (*p == ' ' || (*p >= '\t' && *p <= '\r')))
        ++p;
    bool bNegative = false;
    if (p < pEnd && (*p == '+' || *p == '-')) {
        bNegative = *p == '-';
        ++p;
    }
    uint32_t nValue = 0;
    while (p < pEnd && *p >= '0' && *p <= '9')
        nValue = nValue * 10 + (uint32_t)(*p++ - '0');
    return (int32_t)(bNegative ? 0u - nValue : nValue);
}

const char* FindLast(const char* p, const char* pEnd, char c)
{
    for (const char* q = pEnd; q > p;)
        if (*--q == c)
            return q;
    return nullptr;
}

// A field of a line.
struct Piece
{
    const char* m_p;
    int m_n;
};

inline bool IsDotDotAt(const char* p, const char* pEnd)
{
    return pEnd - p >= 2 && p[0] == '.' && p[1] == '.' && (pEnd - p == 2 || p[2] == '/');
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Record

ZFileRecord::ZFileRecord() : m_nNumber(0), m_nSize(0), m_nFlag1(0), m_nFlag2(0)
{
}

ZFileRecord::ZFileRecord(const char* szName, uint32_t nNumber, int32_t nSize, const char* szText, uint8_t nFlag1,
                         uint8_t nFlag2)
    : m_Name(szName), m_Text(szText), m_nNumber(nNumber), m_nSize(nSize), m_nFlag1(nFlag1), m_nFlag2(nFlag2)
{
}

ZFileRecord::ZFileRecord(const ZFileRecord& other)
    : m_Name(other.m_Name), m_Text(other.m_Text), m_nNumber(other.m_nNumber), m_nSize(other.m_nSize),
      m_nFlag1(other.m_nFlag1), m_nFlag2(other.m_nFlag2)
{
}

ZFileRecord& ZFileRecord::operator=(const ZFileRecord& other)
{
    if (this != &other) {
        m_Name = other.m_Name;
        m_Text = other.m_Text;
        m_nNumber = other.m_nNumber;
        m_nSize = other.m_nSize;
        m_nFlag1 = other.m_nFlag1;
        m_nFlag2 = other.m_nFlag2;
    }
    return *this;
}

uint32_t ZFileRecord::NumberFromText(const char* szText)
{
    const char* pEnd = szText + strlen(szText);
    const char* pDash = FindLast(szText, pEnd, '-');
    if (!pDash)
        return 0;
    const char* pStop = pEnd;
    const char* pUnderscore = FindLast(szText, pEnd, '_');
    if (pUnderscore && pUnderscore > pDash)
        pStop = pUnderscore;
    if (pStop - (pDash + 1) < 1)
        return 0;
    return (uint32_t)BoundedAtoi(pDash + 1, pStop);
}

bool ZFileRecord::Parse(const char* pLine, int nLength, const char* szBase)
{
    m_Name.Clear();
    m_Text.Clear();
    m_nNumber = 0;
    m_nSize = 0;
    m_nFlag1 = 0;
    m_nFlag2 = 0;
    if (!pLine || nLength <= 0 || nLength >= MAX_LINE)
        return false;
    const char* pEnd = pLine + nLength;

    // The name part runs to the last double quote; the fields follow its first ','.
    const char* pLastQuote = FindLast(pLine, pEnd, '"');
    if (!pLastQuote)
        return false;  // no quoted name, whatever follows
    const char* pRest = pLastQuote + 1;
    const char* pComma = (const char*)memchr(pRest, ',', pEnd - pRest);
    pRest = pComma ? pComma + 1 : pEnd;

    Piece fields[5];
    int nPieces = 0;
    const char* p = pRest;
    while (p < pEnd) {
        const char* q = (const char*)memchr(p, ',', pEnd - p);
        if (nPieces == 4)
            return false;  // 5 pieces or more: 6 fields or more
        if (!q) {
            fields[nPieces++] = {p, (int)(pEnd - p)};
            break;
        }
        fields[nPieces++] = {p, (int)(q - p)};
        p = q + 1;
    }
    if (nPieces != 2 && nPieces != 4)
        return false;

    const char* pFirstQuote = (const char*)memchr(pLine, '"', pLastQuote - pLine + 1);
    int nApart = (int)(pLastQuote - pFirstQuote);
    if (nApart < 1 || nApart > 4999)
        return false;

    // Resolve the name against the base: each leading ".." climbs one folder above the
    // base's own folder (the base's last piece is its file name).
    const char* pName = pFirstQuote + 1;
    const char* pNameEnd = pLastQuote;
    int nUp = 0;
    while (IsDotDotAt(pName, pNameEnd)) {
        ++nUp;
        pName += pNameEnd - pName == 2 ? 2 : 3;
    }
    // A ".." left inside the name (between '/' or '\' separators, which the file system
    // also takes) would climb out of the folder the table is read into.
    for (const char* q = pName; q <= pNameEnd;) {
        const char* pPiece = q;
        while (q < pNameEnd && *q != '/' && *q != '\\')
            ++q;
        if (q - pPiece == 2 && pPiece[0] == '.' && pPiece[1] == '.')
            return false;
        ++q;
    }
    bool bHasName = pName < pNameEnd;
    if (bHasName && pNameEnd[-1] == '/')
        --pNameEnd;  // the empty last piece

    // The base keeps all but its last 1 + nUp pieces (its file name and one folder a ".."),
    // found from its end so the cost does not grow with the base's depth.
    const char* szBaseText = szBase ? szBase : "";
    const char* pCut = szBaseText + strlen(szBaseText);
    if (pCut > szBaseText && pCut[-1] == '/')
        --pCut;  // the empty last piece
    bool bKeep = true;
    for (int i = 0; i <= nUp && bKeep; ++i) {
        while (pCut > szBaseText && pCut[-1] != '/')
            --pCut;
        bKeep = pCut > szBaseText;
        if (bKeep)
            --pCut;  // onto the '/' before the dropped piece
    }
    int nKeep = bKeep ? (int)(pCut - szBaseText) : 0;
    int nName = bHasName ? (int)(pNameEnd - pName) : 0;
    // Each relative name builds on the one before: unbounded, a list of short lines would make
    // names (and memory) grow with the square of its length. Longer names are refused anyway.
    if ((int64_t)nKeep + (bKeep && bHasName ? 1 : 0) + nName > MAX_NAME)
        return false;
    char acName[MAX_NAME + 1];
    int nResolved = 0;
    if (bKeep) {
        memcpy(acName, szBaseText, (size_t)nKeep);
        nResolved = nKeep;
        if (bHasName)
            acName[nResolved++] = '/';
    }
    memcpy(acName + nResolved, pName, (size_t)nName);
    m_Name.Assign(acName, nResolved + nName);
    m_Text.Assign(fields[0].m_p, fields[0].m_n);
    m_nNumber = NumberFromText(m_Text.GetData());
    m_nSize = BoundedAtoi(fields[1].m_p, fields[1].m_p + fields[1].m_n);
    if (nPieces == 4) {
        m_nFlag1 = BoundedAtoi(fields[2].m_p, fields[2].m_p + fields[2].m_n) != 0;
        m_nFlag2 = BoundedAtoi(fields[3].m_p, fields[3].m_p + fields[3].m_n) != 0;
    }
    return true;
}

ZStringBuffer<16> ZFileRecord::ToText() const
{
    ZStringBuffer<16> line;
    line.Format("\"%s\",%s,%d,%d,%d", m_Name.GetData(), m_Text.GetData(), (int)m_nSize, (int)m_nFlag1, (int)m_nFlag2);
    return line;
}

// ---------------------------------------------------------------------------------------------
// Table

ZFileTable::ZFileTable()
{
}

ZFileTable::~ZFileTable()
{
    Clear();
}

ZFileTable::Node* ZFileTable::FindNode(const char* szName) const
{
    return m_Tree.FindText(szName);
}

ZFileRecord* ZFileTable::Find(const char* szName)
{
    ZLockGuard lock(m_Lock);
    Node* pNode = FindNode(szName);
    return pNode ? pNode->m_Value : nullptr;
}

void ZFileTable::Add(const char* szName, const ZFileRecord& record, int32_t nOffset)
{
    ZLockGuard lock(m_Lock);
    Node* pParent;
    bool bLeft;
    if (Node* pNode = m_Tree.FindTextPlace(szName, pParent, bLeft)) {
        *pNode->m_Value = record;
    } else {
        pNode = m_Tree.GetPool().Alloc();
        pNode->m_Key.Assign(szName);
        pNode->m_Value = m_Records.Alloc();
        *pNode->m_Value = record;
        m_Tree.LinkNode(pNode, pParent, bLeft);
        if (nOffset >= 0)
            m_Offsets.PushBack(ZFileOffset{pNode->m_Value, (uint32_t)nOffset});
    }
}

void ZFileTable::Remove(const char* szName)
{
    ZLockGuard lock(m_Lock);
    if (Node* pNode = FindNode(szName)) {
        // The unlinked node may be the successor whose entry moved into pNode.
        ZFileRecord* pRecord = pNode->m_Value;
        m_Tree.FreeNode(m_Tree.RemoveNode(pNode));
        m_Records.Free(pRecord);
    }
}

void ZFileTable::Clear()
{
    m_Tree.Clear();
    m_Records.FreeAll();
    m_Offsets.Clear();
}

void ZFileTable::Write(IOutputStream& stream) const
{
    for (Node* p = m_Tree.Begin(); p; p = ZTree::Next(p)) {
        ZStringBuffer<16> line = p->m_Value->ToText();
        line.Append("\r\n");
        stream.Write(line.GetData(), line.GetLength());
    }
    stream.Flush();
}

void ZFileTable::Load(IInputStream& stream, const char* szBaseFolder, bool bRelative, bool bNoExistCheck,
                      bool bWithOffsets)
{
    if (!stream.IsOpen())
        return;
    int nRemaining = stream.GetRemaining();
    if (nRemaining < 1 || nRemaining > kMaxStream)
        return;
    ZMemoryBuffer buffer;
    unsigned char* pData = buffer.AppendSpace((unsigned)nRemaining);
    if (!pData)
        return;  // no memory for the text: nothing loads
    int nRead = 0;
    while (nRead < nRemaining) {
        int n = stream.Read(pData + nRead, nRemaining - nRead);
        if (n <= 0)
            break;
        nRead += n;
    }
    // After a short read only what came is parsed.
    ParseText((const char*)pData, (uint32_t)nRead, szBaseFolder, bRelative, bNoExistCheck, bWithOffsets);
}

void ZFileTable::ParseText(const ZMemoryBuffer& buffer, const char* szBaseFolder, bool bRelative, bool bNoExistCheck,
                           bool bWithOffsets)
{
    ParseText((const char*)buffer.GetData(), buffer.GetSize(), szBaseFolder, bRelative, bNoExistCheck, bWithOffsets);
}

void ZFileTable::ParseText(const char* pText, uint32_t nSize, const char* szBaseFolder, bool bRelative,
                           bool bNoExistCheck, bool bWithOffsets)
{
    if (!pText)
        return;
    ZStringBuffer<256> base;
    ZStringBuffer<256> path;
    ZFileRecord record;
    // Wide: a 32-bit sum would wrap past 4 GB and give a later line a small, wrong offset.
    uint64_t nOffset = 0;
    const char* p = pText;
    const char* pEnd = pText + nSize;
    while (p < pEnd) {
        if (*p == '\r' || *p == '\n' || *p == 0) {
            ++p;
            continue;
        }
        const char* pLine = p;
        while (p < pEnd && *p != '\r' && *p != '\n' && *p != 0)
            ++p;
        int nLength = (int)(p - pLine);
        if (nLength >= ZFileRecord::MAX_LINE)
            continue;
        if (!record.Parse(pLine, nLength, base.GetData())) {
            if (bRelative)
                base.Clear();
            continue;
        }
        bool bAdd = true;
        if (szBaseFolder && !bNoExistCheck) {
            JoinPath2(path, szBaseFolder, record.m_Name.GetData());
            bAdd = File::Exists(path.GetData());
        }
        if (bRelative)
            base = record.m_Name;
        // Only lines that start within the first 2 GB get an entry; readers of the offsets
        // leave the others to a file-by-file fetch.
        if (bAdd)
            Add(record.m_Name.GetData(), record, bWithOffsets && nOffset <= INT32_MAX ? (int32_t)nOffset : -1);
        nOffset += record.m_nNumber;
    }
}
