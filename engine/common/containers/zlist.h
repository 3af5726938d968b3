#pragma once

#include <new>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <type_traits>

#include "common/containers/zallocator.h"

// Appends pItem to a doubly linked chain of items that carry their own m_pPrev and m_pNext,
// held by its first and last item (both null when it is empty).
template <class T>
void ZLinkLast(T*& pFirst, T*& pLast, T* pItem)
{
    pItem->m_pNext = nullptr;
    pItem->m_pPrev = pLast;
    if (pLast)
        pLast->m_pNext = pItem;
    else
        pFirst = pItem;
    pLast = pItem;
}

// Doubly linked list whose nodes come from chunks of 32 nodes owned by the list. Only the newest
// chunk hands out nodes; a chunk is freed when its last node is erased.
template <class T>
class ZList
{
public:
    enum
    {
        NodesPerChunk = 32
    };

    struct Chunk;
    struct Node
    {
        T m_Value;
        Node* m_pNext;
        Node* m_pPrev;
        Chunk* m_pChunk;
    };

    struct Chunk
    {
        alignas(Node) unsigned char m_Nodes[NodesPerChunk * sizeof(Node)];
        Chunk* m_pNewer;
        Chunk* m_pOlder;
        Node* m_pFree;
        int32_t m_nUsed;

        Node* NodeAt(int i) { return reinterpret_cast<Node*>(m_Nodes) + i; }
    };

    template <bool bConst>
    class IteratorT
    {
    public:
        typedef typename std::conditional<bConst, const T, T>::type Value;

        IteratorT(Node* pNode = nullptr) : m_pNode(pNode) {}
        template <bool b, class = typename std::enable_if<bConst && !b>::type>
        IteratorT(const IteratorT<b>& other) : m_pNode(other.GetNode())
        {
        }

        Value& operator*() const { return m_pNode->m_Value; }
        Value* operator->() const { return &m_pNode->m_Value; }
        IteratorT& operator++()
        {
            m_pNode = m_pNode->m_pNext;
            return *this;
        }
        IteratorT operator++(int)
        {
            IteratorT it(*this);
            m_pNode = m_pNode->m_pNext;
            return it;
        }
        bool operator==(const IteratorT& other) const { return m_pNode == other.m_pNode; }
        bool operator!=(const IteratorT& other) const { return m_pNode != other.m_pNode; }
        Node* GetNode() const { return m_pNode; }

    private:
        Node* m_pNode;
    };
    typedef IteratorT<false> Iterator;
    typedef IteratorT<true> ConstIterator;

    ZList()
        : m_pAllocator(nullptr), m_nCount(0), m_pHead(nullptr), m_pTail(nullptr), m_pNewestChunk(nullptr),
          m_pOldestChunk(nullptr)
    {
    }
    ~ZList() { Clear(); }

    ZList(const ZList&) = delete;
    ZList& operator=(const ZList&) = delete;

    int Size() const { return m_nCount; }
    bool IsEmpty() const { return m_nCount == 0; }

    Iterator Begin() { return Iterator(m_pHead); }
    Iterator End() { return Iterator(); }
    ConstIterator Begin() const { return ConstIterator(m_pHead); }
    ConstIterator End() const { return ConstIterator(); }
    Iterator begin() { return Begin(); }
    Iterator end() { return End(); }
    ConstIterator begin() const { return Begin(); }
    ConstIterator end() const { return End(); }

    T& Front() { return m_pHead->m_Value; }
    T& Back() { return m_pTail->m_Value; }

    Iterator PushBack(const T& value)
    {
        Node* pNode = AllocNode();
        new (&pNode->m_Value) T(value);
        ZLinkLast(m_pHead, m_pTail, pNode);
        return Iterator(pNode);
    }

    // Returns the node that followed the erased one (End after the tail).
    Iterator Erase(Iterator it)
    {
        Node* pNode = it.GetNode();
        Node* pNext = pNode->m_pNext;
        if (pNode->m_pPrev)
            pNode->m_pPrev->m_pNext = pNext;
        else
            m_pHead = pNext;
        if (pNext)
            pNext->m_pPrev = pNode->m_pPrev;
        else
            m_pTail = pNode->m_pPrev;
        pNode->m_pNext = nullptr;
        pNode->m_pPrev = nullptr;
        pNode->m_Value.~T();
        ReleaseNode(pNode);
        --m_nCount;
        return Iterator(pNext);
    }

    template <class V>
    Iterator Find(const V& value)
    {
        for (Node* p = m_pHead; p; p = p->m_pNext)
            if (p->m_Value == value)
                return Iterator(p);
        return End();
    }

    void Clear()
    {
        for (Node* p = m_pHead; p; p = p->m_pNext)
            p->m_Value.~T();
        while (m_pNewestChunk) {
            Chunk* pOlder = m_pNewestChunk->m_pOlder;
            free(m_pNewestChunk);
            m_pNewestChunk = pOlder;
        }
        m_nCount = 0;
        m_pHead = m_pTail = nullptr;
        m_pOldestChunk = nullptr;
    }

    const Chunk* GetNewestChunk() const { return m_pNewestChunk; }
    const Chunk* GetOldestChunk() const { return m_pOldestChunk; }

private:
    static Chunk* NewChunk()
    {
        Chunk* pChunk = static_cast<Chunk*>(malloc(sizeof(Chunk)));
        pChunk->m_pNewer = nullptr;
        pChunk->m_pOlder = nullptr;
        pChunk->m_nUsed = 0;
        pChunk->m_pFree = nullptr;
        for (int i = NodesPerChunk; i-- > 0;) {
            Node* pNode = pChunk->NodeAt(i);
            pNode->m_pChunk = pChunk;
            pNode->m_pPrev = nullptr;
            pNode->m_pNext = pChunk->m_pFree;
            pChunk->m_pFree = pNode;
        }
        return pChunk;
    }

    // The element of the returned node is not constructed.
    Node* AllocNode()
    {
        if (!m_pNewestChunk)
            m_pNewestChunk = m_pOldestChunk = NewChunk();
        else if (!m_pNewestChunk->m_pFree) {
            Chunk* pChunk = NewChunk();
            pChunk->m_pOlder = m_pNewestChunk;
            m_pNewestChunk->m_pNewer = pChunk;
            m_pNewestChunk = pChunk;
        }
        Chunk* pChunk = m_pNewestChunk;
        Node* pNode = pChunk->m_pFree;
        pChunk->m_pFree = pNode->m_pNext;
        ++pChunk->m_nUsed;
        ++m_nCount;
        return pNode;
    }

    void ReleaseNode(Node* pNode)
    {
        Chunk* pChunk = pNode->m_pChunk;
        if (pChunk->m_nUsed != 1) {
            pNode->m_pNext = pChunk->m_pFree;
            pChunk->m_pFree = pNode;
            --pChunk->m_nUsed;
            return;
        }
        if (pChunk->m_pNewer)
            pChunk->m_pNewer->m_pOlder = pChunk->m_pOlder;
        else
            m_pNewestChunk = pChunk->m_pOlder;
        if (pChunk->m_pOlder)
            pChunk->m_pOlder->m_pNewer = pChunk->m_pNewer;
        else
            m_pOldestChunk = pChunk->m_pNewer;
        free(pChunk);
    }

    ZAllocator* m_pAllocator;  // always null: lists use the heap
    int32_t m_nCount;
    Node* m_pHead;
    Node* m_pTail;
    Chunk* m_pNewestChunk;
    Chunk* m_pOldestChunk;
};

static_assert(sizeof(void*) != 4 || sizeof(ZList<uint32_t>::Node) == 16, "a list node of a 32-bit value is 16 bytes");
static_assert(sizeof(void*) != 4 || sizeof(ZList<uint32_t>::Chunk) == 32 * 16 + 16,
              "a list chunk is 32 nodes and four words");
static_assert(sizeof(void*) != 4 || sizeof(ZList<uint32_t>) == 24, "32-bit layout of ZList");
