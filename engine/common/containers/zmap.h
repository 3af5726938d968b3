#pragma once

#include <stdint.h>
#include <string.h>

#include "common/containers/zfixedalloc.h"
#include "common/containers/zstringbuffer.h"
#include "common/containers/ztree.h"

// Red-black tree map whose nodes come from its own block pool. Node: payload (m_Key, m_Value)
// first, then the tree links. The pool's live count is the number of entries.
template <class Node>
class ZTreeMap
{
public:
    typedef ZFixedAlloc<Node> Pool;

    explicit ZTreeMap(ZAllocator* pAllocator = nullptr) : m_pRoot(nullptr), m_Pool(pAllocator) {}
    ~ZTreeMap() { Clear(); }

    ZTreeMap(const ZTreeMap&) = delete;
    ZTreeMap& operator=(const ZTreeMap&) = delete;

    int Size() const { return m_Pool.GetLiveCount(); }
    bool IsEmpty() const { return m_pRoot == nullptr; }
    Node* GetRoot() const { return m_pRoot; }

    Node* Begin() const { return ZTree::First(m_pRoot); }
    Node* Last() const { return ZTree::Last(m_pRoot); }
    static Node* Next(Node* pNode) { return ZTree::Next(pNode); }

    Node* Find(const ZTree::Comparator<Node>& cmp) const { return ZTree::Find(m_pRoot, cmp); }

    // For string-buffer keys ordered bytewise (strcmp); a null key finds "".
    Node* FindText(const char* szKey) const
    {
        if (!szKey)
            szKey = "";
        Node* p = m_pRoot;
        while (p) {
            int nCompare = strcmp(szKey, p->m_Key.GetData());
            if (nCompare == 0)
                return p;
            p = nCompare < 0 ? p->m_pLeft : p->m_pRight;
        }
        return nullptr;
    }

    // Links a prepared node from this map's pool: null when linked, else the node holding its key.
    Node* InsertNode(Node* pNode) { return ZTree::InsertNode(m_pRoot, pNode, &KeyLess); }

    // One walk for find-or-insert: the node holding szKey (bytewise order), or null with the
    // place for a new one, which LinkNode then takes.
    Node* FindTextPlace(const char* szKey, Node*& pParent, bool& bLeft) const
    {
        const unsigned char* k = (const unsigned char*)(szKey ? szKey : "");
        pParent = nullptr;
        bLeft = false;
        for (Node* p = m_pRoot; p;) {
            const unsigned char* q = (const unsigned char*)p->m_Key.GetData();
            const unsigned char* a = k;
            while (*a && *a == *q) {
                ++a;
                ++q;
            }
            if (*a == *q)
                return p;
            pParent = p;
            bLeft = *a < *q;
            p = bLeft ? p->m_pLeft : p->m_pRight;
        }
        return nullptr;
    }
    void LinkNode(Node* pNode, Node* pParent, bool bLeft) { ZTree::LinkNode(m_pRoot, pNode, pParent, bLeft); }

    // Unlinks a node of this tree. A node with two children stays in place holding its successor's
    // entry and the successor's node is returned: give the returned node back with FreeNode.
    Node* RemoveNode(Node* pNode) { return ZTree::RemoveNode(m_pRoot, pNode, &CopyPayload); }
    void FreeNode(Node* pNode) { m_Pool.Free(pNode); }

    void Clear()
    {
        m_Pool.FreeAll();
        m_pRoot = nullptr;
        m_Pool.FreeAll();
    }

    Pool& GetPool() { return m_Pool; }

protected:
    static bool KeyLess(const Node* a, const Node* b) { return a->m_Key < b->m_Key; }
    static void CopyPayload(Node* pTo, const Node* pFrom)
    {
        pTo->m_Key = pFrom->m_Key;
        pTo->m_Value = pFrom->m_Value;
    }

    // A new node holding the entry, or the existing one with its value replaced.
    template <class K, class V>
    Node* InsertEntry(const K& key, const V& value)
    {
        Node* pNode = m_Pool.Alloc();
        pNode->m_Key = key;
        pNode->m_Value = value;
        Node* pExisting = InsertNode(pNode);
        if (!pExisting)
            return pNode;
        pExisting->m_Value = pNode->m_Value;
        m_Pool.Free(pNode);
        return pExisting;
    }

    Node* m_pRoot;
    Pool m_Pool;
};

template <class TKey, class TValue>
struct ZIntMapNode
{
    TKey m_Key;
    TValue m_Value;
    ZIntMapNode* m_pParent;
    ZIntMapNode* m_pLeft;
    ZIntMapNode* m_pRight;
    uint8_t m_nColor;
};

// Integer-keyed map; the key type's signedness decides the order (int32_t: -1 before 0).
template <class TKey = int32_t, class TValue = int32_t>
class ZIntMap : public ZTreeMap<ZIntMapNode<TKey, TValue>>
{
    typedef ZTreeMap<ZIntMapNode<TKey, TValue>> Base;

public:
    typedef ZIntMapNode<TKey, TValue> Node;

    explicit ZIntMap(ZAllocator* pAllocator = nullptr) : Base(pAllocator) {}

    Node* Insert(TKey key, const TValue& value) { return this->InsertEntry(key, value); }

    Node* Find(TKey key) const
    {
        Node* p = this->m_pRoot;
        while (p) {
            if (key == p->m_Key)
                return p;
            p = key < p->m_Key ? p->m_pLeft : p->m_pRight;
        }
        return nullptr;
    }
    using Base::Find;
};

struct ZStringMapNode
{
    ZStringBuffer<16> m_Key;
    ZStringBuffer<16> m_Value;
    ZStringMapNode* m_pParent;
    ZStringMapNode* m_pLeft;
    ZStringMapNode* m_pRight;
    uint8_t m_nColor;
};

// String-to-string map ordered bytewise (strcmp): "B" before "a"; "" is a valid key.
class ZStringMap : public ZTreeMap<ZStringMapNode>
{
public:
    typedef ZStringMapNode Node;

    // Searches by a string buffer.
    class BufferComparator : public ZTree::Comparator<Node>
    {
    public:
        explicit BufferComparator(const ZStringBase& key) : m_Key(key) {}
        bool IsEqual(const Node* pNode) const override;
        bool IsLess(const Node* pNode) const override;

    private:
        const ZStringBase& m_Key;
    };

    // Searches by a C string, without building a key.
    class TextComparator : public ZTree::Comparator<Node>
    {
    public:
        explicit TextComparator(const char* szKey) : m_szKey(szKey ? szKey : "") {}
        bool IsEqual(const Node* pNode) const override;
        bool IsLess(const Node* pNode) const override;

    private:
        const char* m_szKey;
    };

    explicit ZStringMap(ZAllocator* pAllocator = nullptr) : ZTreeMap<ZStringMapNode>(pAllocator) {}

    Node* Insert(const char* szKey, const char* szValue);
    Node* Insert(const ZStringBase& key, const ZStringBase& value);
    Node* Find(const char* szKey) const;
    Node* Find(const ZStringBase& key) const;
    using ZTreeMap<ZStringMapNode>::Find;
};

// Node sizes fix the pool chunk sizes: 1540 and 5124 bytes on 32-bit builds.
static_assert(sizeof(void*) != 4 || sizeof(ZIntMap<>::Node) == 24, "integer-map node is 24 bytes");
static_assert(sizeof(void*) != 4 || ZIntMap<>::Pool::kChunkSize == 1540, "integer-map chunk is 1540 bytes");
static_assert(sizeof(void*) != 4 || sizeof(ZStringMap::Node) == 80, "string-map node is 80 bytes");
static_assert(sizeof(void*) != 4 || ZStringMap::Pool::kChunkSize == 5124, "string-map chunk is 5124 bytes");
