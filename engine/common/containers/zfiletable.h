// The list of files with their checksums: one record a file, kept in name order under a lock,
// with a one-line-per-record text form: "name",text,size,flag1,flag2 ended by CR LF.
#pragma once
#include <stdint.h>

#include "common/containers/zstringbuffer.h"
#include "common/containers/zfixedalloc.h"
#include "common/containers/zlist.h"
#include "common/containers/zmap.h"
#include "common/system/zlock.h"

class IInputStream;
class IOutputStream;
class ZMemoryBuffer;

class ZFileRecord
{
public:
    // Lines of this length or more are not read; a resolved name longer than MAX_NAME makes
    // its line hold no record (no file path that long is stored).
    enum
    {
        MAX_LINE = 5000,
        MAX_NAME = 10240
    };

    ZFileRecord();
    ZFileRecord(const char* szName, uint32_t nNumber, int32_t nSize, const char* szText, uint8_t nFlag1,
                uint8_t nFlag2);
    ZFileRecord(const ZFileRecord& other);
    ZFileRecord& operator=(const ZFileRecord& other);

    // Reads one text line (without its line end); the name is resolved against szBase (the
    // name before it in a relative text, or "" / null). False, leaving the empty record, when
    // the line does not hold a record.
    bool Parse(const char* pLine, int nLength, const char* szBase);
    // The line without its line end.
    ZStringBuffer<16> ToText() const;

    // The number in a checksum text: the digits after its last '-' (up to a later '_').
    static uint32_t NumberFromText(const char* szText);

    ZStringBuffer<16> m_Name;  // relative path, '/' between pieces
    ZStringBuffer<16> m_Text;  // checksum text
    uint32_t m_nNumber;        // from the text; never written
    int32_t m_nSize;
    uint8_t m_nFlag1;  // 0 or 1
    uint8_t m_nFlag2;  // 0 or 1
};

// One entry of the offset list made by loading with offsets.
struct ZFileOffset
{
    ZFileRecord* m_pRecord;
    uint32_t m_nOffset;
};

class ZFileTable
{
public:
    // Tree node: its own copy of the name and the record, which the table owns.
    struct Node
    {
        ZStringBuffer<16> m_Key;
        ZFileRecord* m_Value;
        Node* m_pParent;
        Node* m_pLeft;
        Node* m_pRight;
        uint8_t m_nColor;
    };

    ZFileTable();
    ~ZFileTable();
    ZFileTable(const ZFileTable&) = delete;
    ZFileTable& operator=(const ZFileTable&) = delete;

    // Null when absent. The pointer stays valid until the name is removed or the table cleared.
    ZFileRecord* Find(const char* szName);
    // An existing record of that name gets a copy of the given one (keeping its address);
    // otherwise a copy is inserted and, for an offset of 0 or more, listed with that offset.
    void Add(const char* szName, const ZFileRecord& record, int32_t nOffset = -1);
    void Remove(const char* szName);
    // No lock: the owner keeps other threads away.
    void Clear();
    // Every record as a line, in name order, then a flush. No lock.
    void Write(IOutputStream& stream) const;
    void Write(IOutputStream* pStream) const
    {
        if (pStream)
            Write(*pStream);
    }
    // Reads the stream's remaining bytes (1 to 99,999,999) and parses them.
    void Load(IInputStream& stream, const char* szBaseFolder, bool bRelative, bool bNoExistCheck, bool bWithOffsets);
    void Load(IInputStream* pStream, const char* szBaseFolder, bool bRelative, bool bNoExistCheck, bool bWithOffsets)
    {
        if (pStream)
            Load(*pStream, szBaseFolder, bRelative, bNoExistCheck, bWithOffsets);
    }
    void ParseText(const ZMemoryBuffer& buffer, const char* szBaseFolder, bool bRelative, bool bNoExistCheck,
                   bool bWithOffsets);
    void ParseText(const char* pText, uint32_t nSize, const char* szBaseFolder, bool bRelative, bool bNoExistCheck,
                   bool bWithOffsets);

    int GetCount() const { return m_Tree.Size(); }
    bool IsEmpty() const { return GetCount() == 0; }

    // In-order walk, no lock: for (Node* p = table.First(); p; p = ZFileTable::Next(p)) ...
    Node* First() const { return m_Tree.Begin(); }
    static Node* Next(Node* pNode) { return ZTree::Next(pNode); }

    // Entries in the order in which they were added. An entry whose record was removed since
    // must not be followed.
    const ZList<ZFileOffset>& GetOffsets() const { return m_Offsets; }

private:
    Node* FindNode(const char* szName) const;

    ZTreeMap<Node> m_Tree;
    ZFixedAlloc<ZFileRecord> m_Records;  // one heap block a chunk, not one a record
    ZList<ZFileOffset> m_Offsets;
    mutable ZCriticalSection m_Lock;
};
