// Names to 32-bit string ids and back, starting from the predefined name table. An id holds the
// kind (bits 24-31), a numeric suffix + 1 (bits 16-23, 0 = none) and the base name's index.
#pragma once
#include <stdint.h>
#include <atomic>

#include "common/containers/zarray.h"
#include "common/containers/zmap.h"
#include "common/containers/zmemorybuffer.h"
#include "common/containers/zstringbuffer.h"
#include "common/system/zlock.h"
#include "player/resource/resourcenamestore.h"

struct PredefinedName
{
    const char* m_szName;  // null ends the table
    uint32_t m_nId;
};

// 1115 entries: ids 0-1079 (names), then 0x1000000 + 0 to 34 (component type names).
extern const PredefinedName g_PredefinedNames[];
enum
{
    PredefinedNameCount = 1115
};

// Virtual operations in the engine's slot order; slot 0 is Destroy, since g++ would give a
// virtual destructor two entries.
class ResourceStrings final
{
public:
    enum : uint32_t
    {
        NoString = 0xFFFFFFFFu,
        MaxNamesPerKind = 65536,
        MaxBaseName = 255
    };

    ResourceStrings();
    ~ResourceStrings();
    ResourceStrings(const ResourceStrings&) = delete;
    ResourceStrings& operator=(const ResourceStrings&) = delete;

    // Destroys the object, and frees it when bit 0 of the flags is set.
    virtual void Destroy(int nFlags);
    // This object when nTypeId is the type id the component manager gave its records, else null.
    virtual void* GetInterface(uint32_t nTypeId);
    // Every kind emptied, then the predefined table added in order.
    virtual void Reset();
    // Checksum of the predefined table (not of the current tables).
    virtual uint32_t ResourceStringsSignature();
    // Id of the name, adding its base name when new; NoString when the kind is full or above 255.
    virtual uint32_t AddString(const char* szName, uint32_t nKind);
    // Text of an id; "" for ids that name nothing. A suffixed text lives in one of 32 rotating
    // buffers and stays valid for 32 further suffixed lookups.
    virtual const char* GetString(uint32_t nId);
    // Id of the name, or NoString when its base name is unknown.
    virtual uint32_t FindString(const char* szName, uint32_t nKind);
    // Replaces the kind-0 names by the lines of the text (CR LF or LF endings, the last line
    // may lack one); lines past the 65536th are left out.
    virtual void LoadNames(const char* pText, uint32_t nSize);
    // Appends every kind-0 name in index order, each followed by CR LF.
    virtual void SaveNames(ZMemoryBuffer& buffer);
    virtual bool IsComponentType(uint32_t nTypeId);

    // The signature of any name table ending with a null name.
    static uint32_t ComputeSignature(const PredefinedName* pTable);

private:
    struct Table;
    struct NameKey
    {
        const char* m_szText;
        const char* GetText() const { return m_szText; }
        bool operator<(const NameKey& other) const;
    };
    struct NameNode
    {
        NameKey m_Key;
        uint32_t m_Value;
        NameNode* m_pParent;
        NameNode* m_pLeft;
        NameNode* m_pRight;
        uint8_t m_nColor;
    };
    class NameMap : public ZTreeMap<NameNode>
    {
    public:
        NameNode* FindName(const char* szName, int nLength) const;
        void Insert(const NameKey& key, uint32_t nIndex) { InsertEntry(key, nIndex); }
    };
    // The stored names never move, so texts handed out survive later additions.
    struct Table
    {
        ResourceNameStore m_Storage;
        ZLinearArray<const char*> m_Names;  // position = index
        NameMap m_Map;
        void Clear();
        uint32_t Append(const char* pName, int nLength);  // the new index
    };

    Table* GetTable(uint32_t nKind, bool bCreate);
    // Index of the base name in the table, appending it when new (NoString when full).
    uint32_t Intern(Table& table, const char* pName, int nLength);
    // Id of the name in its kind's table; with bAdd its base name is added when new.
    uint32_t LookUp(const char* szName, uint32_t nKind, bool bAdd);
    // Base name and suffix of a name: (base length, suffix + 1 or 0).
    static int SplitName(const char* szName, int* pnSuffix);

    ZIntMap<uint32_t, Table*> m_Tables;
    ZStringBuffer<48> m_Rotating[32];
    std::atomic<uint32_t> m_nRotation;
    ZCriticalSection m_Lock;
};

static_assert(sizeof(void*) != 4 || sizeof(PredefinedName) == 8, "name table entries are 8 bytes");

// The process's shared resource strings (made on first request through its record).
ResourceStrings* GetResourceStrings();
