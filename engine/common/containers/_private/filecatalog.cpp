#include "common/containers/zfilecatalog.h"

#include <cstring>

#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/zlog.h"

namespace
{

void Log(const char* szText)
{
    ZLog::Write(ZLOG_CATEGORY, __FILE__, ZLogText("%s", szText).GetData());
}

inline uint32_t GetU32(const unsigned char* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

inline void PutU32(unsigned char* p, uint32_t n)
{
    p[0] = (unsigned char)n;
    p[1] = (unsigned char)(n >> 8);
    p[2] = (unsigned char)(n >> 16);
    p[3] = (unsigned char)(n >> 24);
}

// One index record as read from the index bytes.
struct Record
{
    uint32_t m_nNameLength;
    int32_t m_nSize;
    uint32_t m_nRemoved;
    uint64_t m_nTime;
    const char* m_pName;
};

enum ReadResult
{
    READ_OK,
    READ_BAD,
    READ_OVERFLOW
};

ReadResult ReadRecord(const unsigned char* pIndex, uint32_t nIndexSize, uint32_t& nPos, Record& record)
{
    if (nIndexSize - nPos < ZFileCatalog::RECORD_HEADER)
        return READ_OVERFLOW;
    const unsigned char* p = pIndex + nPos;
    record.m_nNameLength = GetU32(p + 4);
    if (GetU32(p) != ZFileCatalog::RECORD_MAGIC || record.m_nNameLength < 1 ||
        record.m_nNameLength > ZFileCatalog::MAX_NAME)
        return READ_BAD;
    record.m_nSize = (int32_t)GetU32(p + 8);
    record.m_nRemoved = GetU32(p + 12);
    record.m_nTime = (uint64_t)GetU32(p + 16) | ((uint64_t)GetU32(p + 20) << 32);
    record.m_pName = (const char*)p + ZFileCatalog::RECORD_HEADER;
    nPos += ZFileCatalog::RECORD_HEADER + record.m_nNameLength;
    if (nPos > nIndexSize)
        return READ_OVERFLOW;
    return READ_OK;
}

// Name as Store, Read and Remove look it up: '/' separators, ASCII lower case.
void NormalizeName(ZStringBase& out, const char* szName)
{
    out.Assign(szName);
    char* p = out.GetData();
    for (; *p; ++p) {
        if (*p == '\\')
            *p = '/';
        else if (*p >= 'A' && *p <= 'Z')
            *p = (char)(*p - 'A' + 'a');
    }
}

// A new entry under the name, in the tree; null without memory for its node or its name.
template <class Node>
Node* AddEntry(ZTreeMap<Node>& tree, const ZStringBase& name)
{
    Node* pNode = tree.GetPool().Alloc();
    if (!pNode)
        return nullptr;
    pNode->m_Key = name;
    if (pNode->m_Key.GetLength() != name.GetLength()) {
        tree.FreeNode(pNode);
        return nullptr;
    }
    tree.InsertNode(pNode);
    return pNode;
}

// Whole file appended to the buffer: -1 when missing, else the file's size; *pbShort when the
// read came up short.
int64_t ReadWhole(const char* szPath, ZMemoryBuffer& buffer, bool* pbShort)
{
    int64_t nSize = File::GetSize(szPath);
    *pbShort = false;
    if (nSize < 0)
        return -1;
    size_t nRead = nSize > 0 ? ReadFileToBuffer(szPath, &buffer) : 0;
    *pbShort = (int64_t)nRead != nSize;
    return nSize;
}

void PutRecordHeader(unsigned char* p, uint32_t nNameLength, int32_t nSize, uint32_t nRemoved, uint64_t nTime)
{
    PutU32(p, ZFileCatalog::RECORD_MAGIC);
    PutU32(p + 4, nNameLength);
    PutU32(p + 8, (uint32_t)nSize);
    PutU32(p + 12, nRemoved);
    PutU32(p + 16, (uint32_t)nTime);
    PutU32(p + 20, (uint32_t)(nTime >> 32));
}

}  // namespace

ZFileCatalog::ZFileCatalog() : m_nHitCount(0), m_nMissCount(0), m_bDirty(0)
{
}

ZFileCatalog::~ZFileCatalog()
{
    Save();
    ZLockGuard lock(m_Lock);
    ReleaseEntries();
    m_Data.Clear();
}

void ZFileCatalog::ReleaseEntries()
{
    m_Tree.Clear();
}

ZFileCatalog::Node* ZFileCatalog::FindNode(const char* szName) const
{
    return m_Tree.FindText(szName);
}

bool ZFileCatalog::LoadPair(const char* szIndexPath, const char* szDataPath)
{
    uint32_t nAppendPos = m_Data.GetSize();
    bool bDataShort = false;
    bool bIndexShort = false;
    // The data goes straight into the catalog's buffer; a failed pair empties the catalog.
    int64_t nDataSize = ReadWhole(szDataPath, m_Data, &bDataShort);
    if (bDataShort)
        Log("#error3 Filecatalog -> error reading datafile");
    ZMemoryBuffer index;
    int64_t nIndexSize = ReadWhole(szIndexPath, index, &bIndexShort);
    if (bIndexShort)
        Log("#error3 Filecatalog -> ");
    bool bFailed = bDataShort || bIndexShort;

    bool bData = nDataSize >= 0;
    bool bIndex = nIndexSize >= 0;
    if (!bFailed && ((!bData && !bIndex) || (nDataSize == 0 && nIndexSize == 0)))
        return true;
    if (bData != bIndex || (bFailed && nIndexSize <= 0)) {
        Log("#error3 Filecatalog -> missing data");
        return false;
    }
    if (bFailed)
        return false;

    const unsigned char* pIndex = index.GetData();
    const unsigned char* pData = m_Data.GetData() + nAppendPos;
    uint32_t nIndex = (uint32_t)nIndexSize;
    int64_t nDataPos = 0;
    uint32_t nPos = 0;
    Record record;
    while (nPos < nIndex) {
        ReadResult result = ReadRecord(pIndex, nIndex, nPos, record);
        if (result == READ_BAD) {
            Log("#error3 Filecatalog -> bad entry");
            return false;
        }
        if (result == READ_OVERFLOW) {
            Log("#error3 Filecatalog -> input buffer overflow");
            return false;
        }
        if (record.m_nRemoved)
            continue;
        if (record.m_nSize < 0) {
            Log("#error3 Filecatalog -> bad entry size (negative)");
            return false;
        }
        if (record.m_nSize > 0) {
            if (nDataPos + 4 > nDataSize) {
                Log("#error3 Filecatalog -> out of data");
                return false;
            }
            if (record.m_nSize < 4 || GetU32(pData + nDataPos) != (uint32_t)record.m_nSize) {
                Log("#error3 Filecatalog -> bad entry data");
                return false;
            }
        }
        nDataPos += record.m_nSize;
    }
    if (nPos != nIndex) {
        Log("#error3 Filecatalog -> wrong idx size");
        return false;
    }
    if (nDataPos != nDataSize) {
        Log("#error3 Filecatalog -> wrong data size");
        return false;
    }

    uint32_t nOffset = nAppendPos;
    nPos = 0;
    ZStringBuffer<256> name;
    while (nPos < nIndex) {
        ReadRecord(pIndex, nIndex, nPos, record);
        uint32_t nBlob = record.m_nRemoved ? 0 : (uint32_t)record.m_nSize;
        // A name holding a NUL byte cannot be written back under the same name (Save would
        // cut it, at worst to an empty name that fails the whole pair): only this record goes.
        if (memchr(record.m_pName, 0, record.m_nNameLength)) {
            nOffset += nBlob;
            continue;
        }
        name.Assign(record.m_pName, (int)record.m_nNameLength);
        // Without memory for the name the buffer still holds the one before: only this record goes.
        if (name.GetLength() != (int)record.m_nNameLength) {
            nOffset += nBlob;
            continue;
        }
        name.Replace('\\', '/');
        Node* pNode = FindNode(name.GetData());
        if (record.m_nRemoved) {
            if (pNode)
                m_Tree.FreeNode(m_Tree.RemoveNode(pNode));
            continue;
        }
        if (!pNode && !(pNode = AddEntry(m_Tree, name))) {
            nOffset += nBlob;
            continue;
        }
        pNode->m_Value.m_nOffset = (int32_t)nOffset;
        pNode->m_Value.m_nSize = record.m_nSize;
        pNode->m_Value.m_nRemoved = 0;
        pNode->m_Value.m_nTime = record.m_nTime;
        nOffset += (uint32_t)record.m_nSize;
    }
    return true;
}

bool ZFileCatalog::Open(const char* szFolder, const char* szName)
{
    ZLockGuard lock(m_Lock);
    m_Folder.Assign(szFolder);
    ReleaseEntries();
    m_Data.Clear();
    m_bDirty = 0;
    m_Name.Assign(szName);
    m_MainIndexPath.Format("%s/%s.idx", m_Folder.GetData(), m_Name.GetData());
    m_MainDataPath.Format("%s/%s.bin", m_Folder.GetData(), m_Name.GetData());
    m_DeltaIndexPath.Format("%s/%s_delta.idx", m_Folder.GetData(), m_Name.GetData());
    m_DeltaDataPath.Format("%s/%s_delta.bin", m_Folder.GetData(), m_Name.GetData());

    bool bLoaded = LoadPair(m_MainIndexPath.GetData(), m_MainDataPath.GetData());
    int nMainCount = m_Tree.Size();
    if (bLoaded)
        bLoaded = LoadPair(m_DeltaIndexPath.GetData(), m_DeltaDataPath.GetData());
    if (!bLoaded) {
        Log("#error3 Filecatalog -> Deleting file catalog");
        Delete();
    } else if (m_Tree.Size() > nMainCount) {
        Save();
    }
    ZLog::Write(ZLOG_CATEGORY, __FILE__,
                ZLogText("File catalog %s loaded - %i files", m_Name.GetData(), m_Tree.Size()).GetData());
    return bLoaded;
}

void ZFileCatalog::Delete()
{
    ZLockGuard lock(m_Lock);
    if (!m_Folder.IsEmpty()) {
        File::Delete(m_MainDataPath.GetData());
        File::Delete(m_MainIndexPath.GetData());
        File::Delete(m_DeltaDataPath.GetData());
        File::Delete(m_DeltaIndexPath.GetData());
    }
    ReleaseEntries();
    m_Data.Clear();
    m_bDirty = 0;
}

bool ZFileCatalog::Read(const char* szName, const void** ppData, int32_t* pnSize)
{
    ZLockGuard lock(m_Lock);
    ZStringBuffer<256> name;
    NormalizeName(name, szName);
    Node* pNode = FindNode(name.GetData());
    if (pNode) {
        ++m_nHitCount;
        if (ppData)
            *ppData = m_Data.GetData() + pNode->m_Value.m_nOffset;
        if (pnSize)
            *pnSize = pNode->m_Value.m_nSize;
    } else {
        ++m_nMissCount;
    }
    return pNode != nullptr;
}

void ZFileCatalog::AppendRecord(const char* szPath, const Node* pNode, uint32_t nRemoved)
{
    unsigned char header[RECORD_HEADER];
    uint32_t nNameLength = (uint32_t)pNode->m_Key.GetLength();
    PutRecordHeader(header, nNameLength, pNode->m_Value.m_nSize, nRemoved, pNode->m_Value.m_nTime);
    File file = File::Open(szPath, File::MODE_WRITE | File::MODE_APPEND);
    file.Write(header, sizeof(header));
    file.Write(pNode->m_Key.GetData(), nNameLength);
}

int ZFileCatalog::Store(const char* szName, const void* pData, int32_t nSize)
{
    const char* pDot = strrchr(szName, '.');
    ZStringBuffer<256> name;
    NormalizeName(name, szName);
    // Open rejects a pair holding a blob or name it cannot check, and deletes the whole
    // catalog; so such a file is not kept at all.
    bool bKeepable = nSize >= 0 && name.GetLength() == (int)strlen(szName) && name.GetLength() <= (int)MAX_NAME &&
        (nSize == 0 || (nSize >= 4 && pData && GetU32((const unsigned char*)pData) == (uint32_t)nSize));
    if (!pDot || strcmp(pDot, ".bin") != 0 || !bKeepable) {
        ZLog::Write(ZLOG_CATEGORY, __FILE__, ZLogText("Skipping file %s in small files catalog", szName).GetData());
        return 1;
    }

    ZLockGuard guard(m_Lock);
    uint32_t nOffset = m_Data.GetSize();
    // Without memory for the bytes nothing is stored: an entry must never point past the data.
    if (nSize > 0 && m_Data.Append(pData, (unsigned)nSize) == ZMemoryBuffer::NO_ROOM)
        return 1;
    m_bDirty = 1;
    Node* pNode = FindNode(name.GetData());
    if (!pNode && !(pNode = AddEntry(m_Tree, name)))
        return 1;  // the bytes stay unused; Save keeps only what entries point at
    pNode->m_Value.m_nOffset = (int32_t)nOffset;
    pNode->m_Value.m_nSize = nSize;
    pNode->m_Value.m_nRemoved = 0;
    pNode->m_Value.m_nTime = (uint64_t)File::GetSystemTime().m_nTime;

    if (!m_Folder.IsEmpty()) {
        File data = File::Open(m_DeltaDataPath.GetData(), File::MODE_WRITE | File::MODE_APPEND);
        if (nSize > 0)
            data.Write(pData, (size_t)nSize);
        data.Close();
        AppendRecord(m_DeltaIndexPath.GetData(), pNode, 0);
    }
    return 1;
}

int ZFileCatalog::StoreStream(const char* szName, const ZMemoryBuffer& buffer)
{
    return Store(szName, buffer.GetData(), (int32_t)buffer.GetSize());
}

void ZFileCatalog::Remove(const char* szName)
{
    ZLockGuard lock(m_Lock);
    ZStringBuffer<256> name;
    NormalizeName(name, szName);
    if (Node* pNode = FindNode(name.GetData())) {
        m_bDirty = 1;
        if (!m_Folder.IsEmpty()) {
            AppendRecord(m_DeltaIndexPath.GetData(), pNode, 1);
            // A delta index without its data file counts as corrupt when the catalog is
            // opened again, so make sure the (possibly empty) data file exists.
            File::Open(m_DeltaDataPath.GetData(), File::MODE_WRITE | File::MODE_APPEND);
        }
        m_Tree.FreeNode(m_Tree.RemoveNode(pNode));
    }
}

int ZFileCatalog::GetHitCount()
{
    return m_nHitCount;
}

void ZFileCatalog::Save()
{
    ZLockGuard guard(m_Lock);
    if (m_Folder.IsEmpty())
        return;
    int64_t nDeltaIndexSize = File::GetSize(m_DeltaIndexPath.GetData());
    if (nDeltaIndexSize >= 1)
        m_bDirty = 1;
    if (!m_bDirty)
        return;
    m_bDirty = 0;
    int64_t nSizes = 0;
    int64_t nRecords = 0;
    for (Node* p = m_Tree.Begin(); p; p = ZTree::Next(p)) {
        nSizes += p->m_Value.m_nSize;
        nRecords += RECORD_HEADER + p->m_Key.GetLength();
    }
    if (nDeltaIndexSize == 0 && nSizes == (int64_t)m_Data.GetSize() &&
        File::GetSize(m_MainIndexPath.GetData()) == nRecords)
        return;

    ZStringBuffer<256> dataTemp(m_MainDataPath);
    dataTemp.Append(".tmp");
    ZStringBuffer<256> indexTemp(m_MainIndexPath);
    indexTemp.Append(".tmp");
    bool bWritten;
    {
        File data = File::Open(dataTemp.GetData(), File::MODE_WRITE | File::MODE_CREATE);
        File index = File::Open(indexTemp.GetData(), File::MODE_WRITE | File::MODE_CREATE);
        bWritten = data.IsOpen() && index.IsOpen();
        for (Node* p = m_Tree.Begin(); p && bWritten; p = ZTree::Next(p)) {
            size_t nSize = (size_t)p->m_Value.m_nSize;
            if (nSize > 0)
                bWritten = data.Write(m_Data.GetData() + p->m_Value.m_nOffset, nSize) == nSize;
            unsigned char header[RECORD_HEADER];
            size_t nNameLength = (size_t)p->m_Key.GetLength();
            PutRecordHeader(header, (uint32_t)nNameLength, p->m_Value.m_nSize, 0, p->m_Value.m_nTime);
            bWritten = bWritten && index.Write(header, sizeof(header)) == sizeof(header) &&
                index.Write(p->m_Key.GetData(), nNameLength) == nNameLength;
        }
        bWritten = bWritten && data.Flush() && index.Flush();
    }
    if (!bWritten) {
        // Keep the old pair and the delta, which still hold every change, for the next Open.
        File::Delete(dataTemp.GetData());
        File::Delete(indexTemp.GetData());
        m_bDirty = 1;
        return;
    }
    File::Delete(m_MainDataPath.GetData());
    File::Delete(m_MainIndexPath.GetData());
    File::Delete(m_DeltaIndexPath.GetData());
    File::Delete(m_DeltaDataPath.GetData());
    File::Move(dataTemp.GetData(), m_MainDataPath.GetData());
    File::Move(indexTemp.GetData(), m_MainIndexPath.GetData());
}
