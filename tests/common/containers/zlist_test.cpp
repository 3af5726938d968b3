#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

#include "common/containers/zfixedalloc.h"
#include "common/containers/zlist.h"

namespace
{
// Counts allocator calls and checks that every block given out comes back; refuses calls once
// nAllowed runs out, as a full address space does.
class CountingAllocator : public ZAllocator
{
public:
    void* Alloc(int nSize) override
    {
        sizes.push_back(nSize);
        if (nAllowed == 0)
            return nullptr;
        if (nAllowed > 0)
            --nAllowed;
        void* p = malloc(size_t(nSize));
        live.insert(p);
        return p;
    }
    void Free(void* p) override
    {
        EXPECT_EQ(live.erase(p), 1u) << "freed a block it never gave out";
        ++frees;
        free(p);
    }
    std::vector<int> sizes;
    std::set<void*> live;
    int frees = 0;
    int nAllowed = -1;  // -1: no limit
};

// Element whose destructor calls are counted per id.
struct Tracked
{
    static std::map<int, int>* s_pDestroyed;

    void* m_pFirst = nullptr;       // the word a free block links through
    unsigned char m_nMarkByte = 0;  // the byte after that word: the pool's mark byte
    int m_nId = -1;

    Tracked() = default;
    explicit Tracked(int nId) : m_nId(nId) {}
    Tracked(const Tracked& other) = default;
    ~Tracked()
    {
        if (s_pDestroyed)
            ++(*s_pDestroyed)[m_nId];
    }
    bool operator==(int nId) const { return m_nId == nId; }
};
std::map<int, int>* Tracked::s_pDestroyed = nullptr;

struct DestroyCounter
{
    DestroyCounter() { Tracked::s_pDestroyed = &counts; }
    ~DestroyCounter() { Tracked::s_pDestroyed = nullptr; }
    std::map<int, int> counts;
};

struct Plain
{
    uint32_t a, b;
    void* p;
};
}

static_assert(offsetof(Tracked, m_nMarkByte) == ZFixedAllocBase::MarkOffset, "test element puts its byte at the mark");

TEST(FixedAlloc, ChunksOf64BlocksInAddressOrder)
{
    CountingAllocator alloc;
    ZFixedAlloc<Plain> pool(&alloc);
    std::vector<Plain*> blocks;
    for (int i = 0; i < 64; ++i)
        blocks.push_back(pool.Alloc());
    ASSERT_EQ(alloc.sizes.size(), 1u);
    EXPECT_EQ(alloc.sizes[0], int(64 * sizeof(Plain) + sizeof(void*)));
    for (int i = 1; i < 64; ++i)
        EXPECT_EQ(reinterpret_cast<char*>(blocks[i]) - reinterpret_cast<char*>(blocks[i - 1]),
                  ptrdiff_t(sizeof(Plain)));

    blocks.push_back(pool.Alloc());
    EXPECT_EQ(alloc.sizes.size(), 2u) << "the 65th block needs a second chunk";
    EXPECT_EQ(pool.GetLiveCount(), 65);

    pool.Free(blocks[10]);
    EXPECT_EQ(pool.GetLiveCount(), 64);
    EXPECT_EQ(pool.Alloc(), blocks[10]);
    EXPECT_EQ(alloc.sizes.size(), 2u);

    pool.FreeAll();
    EXPECT_EQ(pool.GetLiveCount(), 0);
    EXPECT_TRUE(alloc.live.empty());
    EXPECT_EQ(alloc.sizes.size(), 2u) << "no scratch table for elements without a destructor";
}

TEST(FixedAlloc, AllocWithoutMemoryForAChunkGivesNull)
{
    CountingAllocator alloc;
    alloc.nAllowed = 1;
    ZFixedAlloc<Tracked> pool(&alloc);
    std::vector<Tracked*> blocks;
    for (int i = 0; i < 64; ++i)
        blocks.push_back(pool.Alloc());
    EXPECT_EQ(nullptr, pool.Alloc());
    EXPECT_EQ(64, pool.GetLiveCount());
    pool.Free(blocks[5]);
    EXPECT_EQ(blocks[5], pool.Alloc()) << "a freed block is still handed out";
    EXPECT_EQ(nullptr, pool.Alloc());
    alloc.nAllowed = -1;
    EXPECT_NE(nullptr, pool.Alloc()) << "growth resumes once there is memory";
    EXPECT_EQ(65, pool.GetLiveCount());
}

TEST(FixedAlloc, AllocValueInitialisesReusedBlocks)
{
    ZFixedAlloc<Plain> pool;
    Plain* p = pool.Alloc();
    p->a = 7;
    p->b = 9;
    p->p = p;
    pool.Free(p);
    Plain* q = pool.Alloc();
    ASSERT_EQ(q, p);
    EXPECT_EQ(q->a, 0u);
    EXPECT_EQ(q->b, 0u);
    EXPECT_EQ(q->p, nullptr);
}

TEST(FixedAlloc, SmallerChunksForLargeBlocks)
{
    struct Big
    {
        char bytes[16384];
    };
    CountingAllocator alloc;
    ZFixedAlloc<Big, 8> pool(&alloc);
    for (int i = 0; i < 9; ++i)
        pool.Alloc();
    ASSERT_EQ(alloc.sizes.size(), 2u);
    EXPECT_EQ(alloc.sizes[0], int(8 * 16384 + sizeof(void*)));
}

// Live elements must each be destroyed once and free blocks never, whatever a live element holds
// in the byte the pool uses to mark free blocks.
TEST(FixedAlloc, FreeAllDestroysEachLiveElementOnce)
{
    const unsigned char markValues[] = {0, 1, 2, 0xFF};
    struct Pattern
    {
        const char* name;
        int nAllocs;
        int nFreeEvery;  // 0: nothing freed
    } patterns[] = {
        {"three chunks, every third freed", 150, 3},
        {"one chunk, every other freed", 40, 2},
        {"all live, full chunks", 128, 0},
        {"one live", 1, 0},
    };
    for (const Pattern& pat : patterns)
        for (unsigned char nMark : markValues)
            for (bool bNoTable : {false, true}) {
                SCOPED_TRACE(testing::Message() << pat.name << ", mark byte " << int(nMark)
                                                << (bNoTable ? ", no memory for the scratch table" : ""));
                CountingAllocator alloc;
                DestroyCounter counter;
                std::set<int> liveIds;
                {
                    ZFixedAlloc<Tracked> pool(&alloc);
                    std::vector<Tracked*> blocks;
                    for (int i = 0; i < pat.nAllocs; ++i) {
                        Tracked* p = pool.Alloc();
                        p->m_nId = i;
                        p->m_nMarkByte = nMark;
                        blocks.push_back(p);
                    }
                    for (int i = 0; i < pat.nAllocs; ++i)
                        if (pat.nFreeEvery && i % pat.nFreeEvery == 0)
                            pool.Free(blocks[i]);
                        else
                            liveIds.insert(i);
                    EXPECT_EQ(pool.GetLiveCount(), int(liveIds.size()));
                    std::map<int, int> before = counter.counts;
                    alloc.nAllowed = bNoTable ? 0 : -1;
                    pool.FreeAll();
                    alloc.nAllowed = -1;
                    EXPECT_EQ(pool.GetLiveCount(), 0);
                    for (int i = 0; i < pat.nAllocs; ++i)
                        EXPECT_EQ(counter.counts[i] - before[i], liveIds.count(i) ? 1 : 0) << "element " << i;
                    EXPECT_EQ(counter.counts.count(-1), 0u) << "a never-used block was destroyed";
                    EXPECT_TRUE(alloc.live.empty()) << "chunks and scratch table released";
                    pool.Alloc()->m_nId = 1000;  // usable again; the destructor takes it
                }
                EXPECT_EQ(counter.counts[1000], 1);
            }
}

TEST(FixedAlloc, DestructorReleasesLiveElements)
{
    DestroyCounter counter;
    {
        ZFixedAlloc<Tracked> pool;
        for (int i = 0; i < 70; ++i)
            pool.Alloc()->m_nId = i;
    }
    for (int i = 0; i < 70; ++i)
        EXPECT_EQ(counter.counts[i], 1) << i;
}

namespace
{
template <class T>
std::vector<T> Items(ZList<T>& list)
{
    std::vector<T> v;
    for (auto it = list.Begin(); it != list.End(); ++it)
        v.push_back(*it);
    return v;
}

template <class T>
std::set<const void*> Chunks(ZList<T>& list)
{
    std::set<const void*> s;
    for (auto it = list.Begin(); it != list.End(); ++it)
        s.insert(it.GetNode()->m_pChunk);
    return s;
}
}

TEST(List, ChunksOf32Nodes)
{
    ZList<uint32_t> list;
    EXPECT_EQ(list.GetNewestChunk(), nullptr);
    std::vector<ZList<uint32_t>::Iterator> its;
    for (uint32_t i = 0; i < 33; ++i)
        its.push_back(list.PushBack(i));
    EXPECT_EQ(list.Size(), 33);
    EXPECT_EQ(its[0].GetNode()->m_pChunk, its[31].GetNode()->m_pChunk);
    EXPECT_NE(its[31].GetNode()->m_pChunk, its[32].GetNode()->m_pChunk) << "the 33rd node starts a second chunk";
    EXPECT_EQ(list.GetOldestChunk(), its[0].GetNode()->m_pChunk);
    EXPECT_EQ(list.GetNewestChunk(), its[32].GetNode()->m_pChunk);

    const void* pSecond = its[32].GetNode()->m_pChunk;
    for (int i = 0; i < 32; ++i)
        list.Erase(list.Begin());
    EXPECT_EQ(list.GetOldestChunk(), pSecond) << "the emptied first chunk is freed";
    EXPECT_EQ(list.GetNewestChunk(), pSecond);
    EXPECT_EQ(Items(list), std::vector<uint32_t>{32});
}

TEST(List, OnlyTheNewestChunkHandsOutNodes)
{
    ZList<uint32_t> list;
    for (uint32_t i = 0; i < 64; ++i)
        list.PushBack(i);
    list.Erase(list.Begin());  // a free node in the older chunk
    auto it = list.PushBack(100);
    EXPECT_EQ(Chunks(list).size(), 3u);
    EXPECT_EQ(list.GetNewestChunk(), it.GetNode()->m_pChunk);
    // When the newest chunk empties, the one before it serves again.
    list.Erase(it);
    EXPECT_EQ(Chunks(list).size(), 2u);
    const void* pSecond = list.Find(40u).GetNode()->m_pChunk;
    list.Erase(list.Find(40u));
    auto again = list.PushBack(101);
    EXPECT_EQ(again.GetNode()->m_pChunk, pSecond);
    EXPECT_EQ(again.GetNode()->m_pChunk, list.GetNewestChunk());
    EXPECT_EQ(Chunks(list).size(), 2u);
}

TEST(List, EraseLinksAndResults)
{
    ZList<uint32_t> one;
    auto it = one.PushBack(5);
    EXPECT_TRUE(one.Erase(it) == one.End());
    EXPECT_EQ(one.Size(), 0);
    EXPECT_TRUE(one.Begin() == one.End());
    EXPECT_EQ(one.GetNewestChunk(), nullptr);
    EXPECT_EQ(one.GetOldestChunk(), nullptr);

    struct Case
    {
        const char* name;
        uint32_t nErase;
        std::vector<uint32_t> after;
        int nNext;  // -1: the end
    } cases[] = {
        {"head", 1, {2, 3, 4}, 2},
        {"middle", 3, {1, 2, 4}, 4},
        {"tail", 4, {1, 2, 3}, -1},
    };
    for (const Case& c : cases) {
        ZList<uint32_t> list;
        for (uint32_t i = 1; i <= 4; ++i)
            list.PushBack(i);
        auto next = list.Erase(list.Find(c.nErase));
        EXPECT_EQ(Items(list), c.after) << c.name;
        if (c.nNext < 0)
            EXPECT_TRUE(next == list.End()) << c.name;
        else
            EXPECT_EQ(*next, uint32_t(c.nNext)) << c.name;
        EXPECT_EQ(list.Size(), 3) << c.name;
        // Links in both directions stay consistent.
        EXPECT_EQ(list.Front(), c.after.front()) << c.name;
        EXPECT_EQ(list.Back(), c.after.back()) << c.name;
        EXPECT_EQ(list.Begin().GetNode()->m_pPrev, nullptr);
        auto n = list.Begin().GetNode();
        while (n->m_pNext) {
            EXPECT_EQ(n->m_pNext->m_pPrev, n);
            n = n->m_pNext;
        }
        EXPECT_EQ(&n->m_Value, &list.Back());
    }
}

TEST(List, FindReturnsFirstMatchOrEnd)
{
    ZList<int> list;
    list.PushBack(3);
    auto first = list.PushBack(7);
    list.PushBack(7);
    EXPECT_TRUE(list.Find(7) == first);
    EXPECT_TRUE(list.Find(8) == list.End());
    ZList<int> empty;
    EXPECT_TRUE(empty.Find(1) == empty.End());
}

TEST(List, ElementsAreDestroyedOnceByEraseClearAndDestructor)
{
    DestroyCounter counter;
    {
        ZList<Tracked> list;
        for (int i = 0; i < 40; ++i)
            list.PushBack(Tracked(i));
        std::map<int, int> base = counter.counts;  // the temporaries
        for (auto it = list.Begin(); it != list.End();)
            it = (it->m_nId % 4 == 0) ? list.Erase(it) : ++it;
        for (int i = 0; i < 40; ++i)
            EXPECT_EQ(counter.counts[i] - base[i], i % 4 == 0 ? 1 : 0) << i;
        EXPECT_EQ(list.Size(), 30);

        list.Clear();
        for (int i = 0; i < 40; ++i)
            EXPECT_EQ(counter.counts[i] - base[i], 1) << i;
        EXPECT_EQ(list.Size(), 0);
        EXPECT_EQ(list.GetNewestChunk(), nullptr);

        for (int i = 100; i < 105; ++i)
            list.PushBack(Tracked(i));
        base = counter.counts;
    }
    for (int i = 100; i < 105; ++i)
        EXPECT_EQ(counter.counts[i], 2) << "temporary and list element";
}
