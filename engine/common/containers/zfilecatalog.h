// The small-files catalog: many small files kept in one index file (".idx") and one data file
// (".bin"), with recent changes appended to a delta pair ("_delta.idx", "_delta.bin") that Save
// merges into a fresh main pair. All blobs stay in memory while the catalog is open.
#pragma once
#include <stdint.h>
#include <atomic>

#include "common/containers/zmap.h"
#include "common/containers/zmemorybuffer.h"
#include "common/containers/zstringbuffer.h"
#include "common/system/zlock.h"

class ZFileCatalog
{
public:
    enum : uint32_t
    {
        RECORD_MAGIC = 0x46434531,  // "1ECF"
        RECORD_HEADER = 24,         // magic, name length, size, removed flag, time
        MAX_NAME = 5119,
    };

    // One stored file; its name is the tree key.
    struct Entry
    {
        int32_t m_nOffset;  // in the memory buffer; -1 until placed
        int32_t m_nSize;
        uint32_t m_nRemoved;  // 1 in a removal record
        uint64_t m_nTime;     // system time (FILETIME units) when stored
    };

    struct Node
    {
        ZStringBuffer<256> m_Key;  // '/' separators; lower case when stored through Store
        Entry m_Value;
        Node* m_pParent;
        Node* m_pLeft;
        Node* m_pRight;
        uint8_t m_nColor;
    };

    ZFileCatalog();
    virtual ~ZFileCatalog();  // Save, then frees everything
    ZFileCatalog(const ZFileCatalog&) = delete;
    ZFileCatalog& operator=(const ZFileCatalog&) = delete;

    // Loads the main pair, then the delta pair; a corrupt pair deletes the whole catalog
    // (false). Saves when the delta added files.
    virtual bool Open(const char* szFolder, const char* szName);
    // Deletes the four files (when a folder is set) and forgets everything.
    virtual void Delete();
    // The stored blob; the pointer stays valid until the next Store or Delete.
    virtual bool Read(const char* szName, const void** ppData, int32_t* pnSize);
    // Stores or replaces a file whose name ends in exactly ".bin"; others are skipped. Always 1.
    virtual int Store(const char* szName, const void* pData, int32_t nSize);
    virtual int StoreStream(const char* szName, const ZMemoryBuffer& buffer);
    virtual void Remove(const char* szName);
    virtual int GetHitCount();
    // Merges main and delta into a new main pair when needed.
    virtual void Save();

    int GetMissCount() const { return m_nMissCount; }
    int GetCount() const { return m_Tree.Size(); }
    bool IsDirty() const { return m_bDirty != 0; }
    // In-order walk of the entries (hold no Store/Remove meanwhile).
    Node* First() const { return m_Tree.Begin(); }
    static Node* Next(Node* pNode) { return ZTree::Next(pNode); }

private:
    bool LoadPair(const char* szIndexPath, const char* szDataPath);
    void AppendRecord(const char* szPath, const Node* pNode, uint32_t nRemoved);
    Node* FindNode(const char* szName) const;
    void ReleaseEntries();

    ZStringBuffer<256> m_Folder;
    ZStringBuffer<256> m_Name;
    ZStringBuffer<256> m_MainDataPath;
    ZStringBuffer<256> m_MainIndexPath;
    ZStringBuffer<256> m_DeltaDataPath;
    ZStringBuffer<256> m_DeltaIndexPath;
    ZTreeMap<Node> m_Tree;
    ZMemoryBuffer m_Data;
    // Changed under the lock, read without it.
    std::atomic<int32_t> m_nHitCount;
    std::atomic<int32_t> m_nMissCount;
    std::atomic<int32_t> m_bDirty;
    ZCriticalSection m_Lock;
};
