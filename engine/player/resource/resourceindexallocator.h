// Stable numbers for resource names: new indexes above a watermark, given name/index pairs,
// lookups by name (ignoring case), by index and by the file name after "):FILE//", and the
// whole table as lines "name=index".
#pragma once
#include <stdint.h>

#include "common/containers/zarray.h"
#include "common/containers/zmap.h"
#include "common/containers/zmemorybuffer.h"
#include "common/system/zlock.h"
#include "player/resource/resourcenamestore.h"

// Virtual operations in the engine's slot order; slot 0 is Destroy, since g++ would give a
// virtual destructor two entries.
class ResourceIndexAllocator final
{
public:
    enum : int32_t
    {
        NotFound = -1,
        InitialHighest = 0x100000,
        IndexMask = 0x1FFFFF
    };

    ResourceIndexAllocator();
    ~ResourceIndexAllocator();
    ResourceIndexAllocator(const ResourceIndexAllocator&) = delete;
    ResourceIndexAllocator& operator=(const ResourceIndexAllocator&) = delete;

    // Destroys the object, and frees it when bit 0 of the flags is set.
    virtual void Destroy(int nFlags);
    // This object when nTypeId is the type id the component manager gave its records, else null.
    virtual void* GetInterface(uint32_t nTypeId);
    virtual void ResetHighest();
    // Watermark 0 and every map emptied; names handed out so far stay readable.
    virtual void Clear();
    virtual int32_t GetHighest();
    // Registers the name under watermark + 1 and returns that index.
    virtual int32_t Allocate(const char* szName);
    virtual void Register(const char* szName, int32_t nIndex);
    // Index of a registered name (ignoring case), or NotFound.
    virtual int32_t Find(const char* szName);
    // Index of the resource whose name carries this file name after "):FILE//" (case matters).
    virtual int32_t FindByFile(const char* szFileName);
    // The name registered for an index while the reverse maps were kept; "" for any other.
    virtual const char* GetName(int32_t nIndex);
    // Replaces the name and index maps (not the file map) by the "name=index" lines of the
    // text; CR LF or LF endings, the last line may lack one, lines without '=' are skipped.
    virtual void Load(const char* pText, uint32_t nSize);
    // Appends "name=index" CR LF for every registered name, in name order ignoring case.
    virtual void Save(ZMemoryBuffer& buffer);
    // Watermark 0; later registrations fill only the name map.
    virtual void StopReverseMaps();
    // Adds each registered name with a ':' whose type (between the first ':' and the next '(')
    // is neither "prp" nor "lnk" to the set (keys), once.
    virtual void CollectNames(ZStringMap& set);
    virtual bool IsComponentType(uint32_t nTypeId);

private:
    struct NoCaseKey
    {
        const char* m_szText;
        bool operator<(const NoCaseKey& other) const;
    };
    template <class K, class V>
    struct Node
    {
        K m_Key;
        V m_Value;
        Node* m_pParent;
        Node* m_pLeft;
        Node* m_pRight;
        uint8_t m_nColor;
    };
    typedef Node<NoCaseKey, int32_t> NameNode;
    class NameMap : public ZTreeMap<NameNode>
    {
    public:
        // The node holding the name (its value set to the index).
        NameNode* Insert(const char* szName, int32_t nIndex);
    };

    // Open addressing with linear probes, at most half full; entries are added or changed, and
    // only dropped all at once. An entry is in use when its m_pText is set.
    template <class Entry>
    class ProbeTable
    {
    public:
        ProbeTable() : m_pEntries(nullptr), m_nMask(0), m_nCount(0) {}
        ~ProbeTable();
        ProbeTable(const ProbeTable&) = delete;
        ProbeTable& operator=(const ProbeTable&) = delete;
        // The entry of that hash that matches, or null.
        template <class Match>
        Entry* Find(uint32_t nHash, Match match) const;
        // An unused entry for a new key of that hash (m_nHash set), which the caller fills.
        Entry* Add(uint32_t nHash);
        void Clear();

    private:
        void Grow();
        Entry* m_pEntries;
        uint32_t m_nMask;
        uint32_t m_nCount;
    };

    // Names, folded to lower case, to their index. Lookups need no order, so the name map (the
    // order that Save and CollectNames walk) takes the names only when such a walk comes.
    struct NameEntry
    {
        uint32_t m_nHash;
        int32_t m_nIndex;
        const char* m_pText;  // the interned name
        NameNode* m_pNode;    // null until the name map holds it
    };
    // The file name after "):FILE//" (bytewise) to its index.
    struct FileEntry
    {
        uint32_t m_nHash;
        int32_t m_nIndex;
        const char* m_pText;
    };
    // An index's low 21 bits to the interned name.
    struct IndexEntry
    {
        uint32_t m_nHash;
        uint32_t m_nKey;
        const char* m_pText;
    };

    // Gives the name map every name registered since the last walk.
    void FillNameMap();
    NameEntry* LookUpName(const char* szName, uint32_t nHash) const;
    FileEntry* LookUpFile(const char* szFile, uint32_t nHash) const;

    bool m_bNoReverse;
    ResourceNameStore m_NameStore;
    int32_t m_nHighest;
    NameMap m_NameToIndex;
    ProbeTable<NameEntry> m_NameLookup;
    ZLinearArray<const char*> m_NamesToOrder;  // registered names the name map does not hold yet
    ProbeTable<FileEntry> m_FileToIndex;
    ProbeTable<IndexEntry> m_IndexToName;
    ZCriticalSection m_Lock;
};

// The process's shared allocator (made on first request through its record).
ResourceIndexAllocator* GetResourceIndexAllocator();
