// Stable numbers for resource names: new indexes above a watermark, given name/index pairs,
// lookups by name (ignoring case), by index and by the file name after "):FILE//", and the
// whole table as lines "name=index".
#pragma once
#include <stdint.h>

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
    struct BytewiseKey
    {
        const char* m_szText;
        bool operator<(const BytewiseKey& other) const;
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
    typedef Node<BytewiseKey, int32_t> FileNode;
    class NameMap : public ZTreeMap<NameNode>
    {
    public:
        // The node holding the name (its value set to the index).
        NameNode* Insert(const char* szName, int32_t nIndex);
    };
    // Hash index over the name map's nodes (names folded to lower case): the tree keeps the
    // name order that Save and CollectNames walk, the index answers lookups without walking
    // 20 levels of shared path prefixes. A slot keeps the name and index beside the node, so a
    // lookup touches the slot and the name only. Entries are only added or all dropped.
    class NameIndex
    {
    public:
        struct Slot
        {
            uint32_t m_nHash;
            int32_t m_nIndex;  // the node's value, kept equal to it
            const char* m_szName;
            NameNode* m_pNode;
        };

        NameIndex() : m_pSlots(nullptr), m_nMask(0), m_nCount(0) {}
        ~NameIndex();
        NameIndex(const NameIndex&) = delete;
        NameIndex& operator=(const NameIndex&) = delete;
        Slot* Find(const char* szName) const;
        void Add(NameNode* pNode);
        void Clear();

    private:
        void Grow();
        Slot* m_pSlots;
        uint32_t m_nMask;
        uint32_t m_nCount;
    };
    class FileMap : public ZTreeMap<FileNode>
    {
    public:
        FileNode* FindName(const char* szName) const;
        void Insert(const char* szName, int32_t nIndex);
    };

    bool m_bNoReverse;
    ResourceNameStore m_NameStore;
    int32_t m_nHighest;
    NameMap m_NameToIndex;
    NameIndex m_NameLookup;
    FileMap m_FileToIndex;
    ZIntMap<int32_t, const char*> m_IndexToName;
    ZCriticalSection m_Lock;
};

// The process's shared allocator (made on first request through its record).
ResourceIndexAllocator* GetResourceIndexAllocator();
