#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "common/containers/zallocator.h"
#include "common/containers/zmap.h"

namespace
{
typedef std::vector<std::pair<uint32_t, uint32_t>> Ranges;  // {offset, size}
const uint32_t kNone = ZOffsetAllocator::NoRange;

Ranges SortedRanges(const ZOffsetAllocator& a)
{
    Ranges r;
    for (uint32_t i = 0; i < a.GetRangeCount(); ++i)
        r.push_back({a.GetRange(i).m_nOffset, a.GetRange(i).m_nSize});
    std::sort(r.begin(), r.end());
    return r;
}

// An allocator whose table holds exactly the given ranges, in the given order.
struct Fixture
{
    explicit Fixture(const Ranges& ranges, uint32_t nMax = 16) : a(0, 1, nMax, nullptr)
    {
        ZOffsetAllocator::Range r;
        a.PopRange(r);
        for (auto& p : ranges)
            a.PushRange(p.first, p.second);
    }
    ZOffsetAllocator a;
};
}

TEST(OffsetAllocator, AllocationSequenceOnFreshInterval)
{
    ZOffsetAllocator a(0, 100, 8, nullptr);
    EXPECT_EQ(a.AllocLow(30), 0u);
    EXPECT_EQ(a.AllocHigh(30), 70u);
    EXPECT_EQ(a.AllocBestFit(40), 30u);
    EXPECT_EQ(a.GetRangeCount(), 0u);
    EXPECT_EQ(a.AllocLow(1), kNone);
    EXPECT_EQ(a.AllocHigh(1), kNone);
    EXPECT_EQ(a.AllocBestFit(1), kNone);
    EXPECT_EQ(a.GetTotalFree(), 0u);
    EXPECT_EQ(a.GetLargestFree(), 0u);
}

TEST(OffsetAllocator, StrategiesPickTheirCandidate)
{
    enum Kind
    {
        High,
        Low,
        Best
    };
    struct Case
    {
        Kind kind;
        uint32_t nSize;
        uint32_t nExpected;
        Ranges after;
    } cases[] = {
        // Table order: {50,30}, {0,10}, {20,20}, {200,25}
        {High, 15, 210, {{0, 10}, {20, 20}, {50, 30}, {200, 10}}},
        {Low, 15, 20, {{0, 10}, {35, 5}, {50, 30}, {200, 25}}},
        {Best, 15, 20, {{0, 10}, {35, 5}, {50, 30}, {200, 25}}},
        {Best, 21, 200, {{0, 10}, {20, 20}, {50, 30}, {221, 4}}},
        // An exact fit is taken whole, whatever the strategy prefers.
        {High, 10, 0, {{20, 20}, {50, 30}, {200, 25}}},
        {Low, 20, 20, {{0, 10}, {50, 30}, {200, 25}}},
        {Best, 30, 50, {{0, 10}, {20, 20}, {200, 25}}},
        {High, 31, kNone, {{0, 10}, {20, 20}, {50, 30}, {200, 25}}},
        {Low, 31, kNone, {{0, 10}, {20, 20}, {50, 30}, {200, 25}}},
        {Best, 31, kNone, {{0, 10}, {20, 20}, {50, 30}, {200, 25}}},
    };
    for (const Case& c : cases) {
        Fixture f({{50, 30}, {0, 10}, {20, 20}, {200, 25}});
        uint32_t nGot = c.kind == High ? f.a.AllocHigh(c.nSize)
            : c.kind == Low            ? f.a.AllocLow(c.nSize)
                                       : f.a.AllocBestFit(c.nSize);
        EXPECT_EQ(nGot, c.nExpected) << "kind " << c.kind << " size " << c.nSize;
        EXPECT_EQ(SortedRanges(f.a), c.after) << "kind " << c.kind << " size " << c.nSize;
    }
}

TEST(OffsetAllocator, TiesKeepTheEarlierEntry)
{
    Fixture f({{40, 20}, {0, 20}, {80, 20}});
    EXPECT_EQ(f.a.AllocBestFit(5), 40u);  // all three are the same size
    Fixture g({{40, 20}, {0, 20}});
    EXPECT_EQ(g.a.AllocBestFit(5), 40u);
}

TEST(OffsetAllocator, FreeMergesWithNeighbours)
{
    struct Case
    {
        const char* name;
        Ranges before;
        uint32_t nOffset, nSize;
        Ranges after;
    } cases[] = {
        {"both neighbours", {{0, 30}, {70, 30}}, 30, 40, {{0, 100}}},
        {"both, right first", {{70, 30}, {0, 30}}, 30, 40, {{0, 100}}},
        {"left only", {{0, 30}}, 30, 10, {{0, 40}}},
        {"right only", {{70, 30}}, 50, 20, {{50, 50}}},
        {"no neighbour", {{0, 10}, {70, 30}}, 30, 10, {{0, 10}, {30, 10}, {70, 30}}},
        {"empty table", {}, 5, 5, {{5, 5}}},
        {"merge keeps others", {{0, 10}, {50, 10}, {200, 5}, {30, 10}}, 40, 10, {{0, 10}, {30, 30}, {200, 5}}},
    };
    for (const Case& c : cases) {
        Fixture f(c.before);
        f.a.Free(c.nOffset, c.nSize);
        EXPECT_EQ(SortedRanges(f.a), c.after) << c.name;
    }
}

TEST(OffsetAllocator, AllocAndFreeRoundTripRestoresOneRange)
{
    ZOffsetAllocator a(0, 1000, 64, nullptr);
    std::vector<std::pair<uint32_t, uint32_t>> taken;
    for (uint32_t n = 1; n <= 20; ++n) {
        uint32_t off = (n % 3 == 0) ? a.AllocHigh(n) : (n % 3 == 1) ? a.AllocLow(n) : a.AllocBestFit(n);
        ASSERT_NE(off, kNone);
        taken.push_back({off, n});
    }
    EXPECT_EQ(a.GetTotalFree(), 1000u - 210u);
    // Free in an order that is neither ascending nor descending.
    for (size_t i = 0; i < taken.size(); i += 2)
        a.Free(taken[i].first, taken[i].second);
    for (size_t i = 1; i < taken.size(); i += 2)
        a.Free(taken[i].first, taken[i].second);
    EXPECT_EQ(SortedRanges(a), (Ranges{{0, 1000}}));
}

TEST(OffsetAllocator, Reserve)
{
    struct Case
    {
        const char* name;
        Ranges before;
        uint32_t nOffset, nSize;
        bool bResult;
        Ranges after;
    } cases[] = {
        {"middle splits", {{0, 100}}, 10, 5, true, {{0, 10}, {15, 100 - 15}}},
        {"whole range", {{0, 100}}, 0, 100, true, {}},
        {"front", {{0, 100}}, 0, 10, true, {{10, 90}}},
        {"tail", {{0, 100}}, 90, 10, true, {{0, 90}}},
        // The part beyond the containing range is ignored.
        {"past the end", {{0, 100}}, 90, 20, true, {{0, 90}}},
        {"outside", {{0, 100}}, 100, 1, false, {{0, 100}}},
        {"zero size", {}, 5, 0, true, {}},
        {"empty table", {}, 5, 1, false, {}},
        {"second range", {{0, 10}, {50, 50}}, 60, 10, true, {{0, 10}, {50, 10}, {70, 30}}},
    };
    for (const Case& c : cases) {
        Fixture f(c.before);
        EXPECT_EQ(f.a.Reserve(c.nOffset, c.nSize), c.bResult) << c.name;
        EXPECT_EQ(SortedRanges(f.a), c.after) << c.name;
    }
}

TEST(OffsetAllocator, IsFree)
{
    struct Case
    {
        uint32_t nOffset, nSize;
        bool bFree;
    } cases[] = {
        {5, 10, true},   {0, 100, true},   {95, 10, false},
        {100, 1, false}, {150, 0, true},   {99, 1, true},
        {200, 5, true},  {195, 10, false}, {0xFFFFFFF0u, 0x20, false},
    };
    Fixture f({{0, 100}, {200, 5}});
    for (const Case& c : cases)
        EXPECT_EQ(f.a.IsFree(c.nOffset, c.nSize), c.bFree) << c.nOffset << "+" << c.nSize;
}

TEST(OffsetAllocator, ResetAndTotals)
{
    ZOffsetAllocator a(10, 60, 8, nullptr);
    EXPECT_EQ(a.GetTotalFree(), 50u);
    a.AllocLow(5);
    a.AllocHigh(5);
    a.Free(0, 3);
    EXPECT_EQ(a.GetTotalFree(), 43u);
    EXPECT_EQ(a.GetLargestFree(), 40u);
    EXPECT_EQ(a.Reset(100, 164), 64u);
    EXPECT_EQ(SortedRanges(a), (Ranges{{100, 64}}));

    ZOffsetAllocator::Range r;
    ASSERT_TRUE(a.PopRange(r));
    EXPECT_EQ(r.m_nOffset, 100u);
    EXPECT_EQ(r.m_nSize, 64u);
    EXPECT_FALSE(a.PopRange(r));
    EXPECT_EQ(a.GetTotalFree(), 0u);
}

// Adding to a full table must not write past it: the arena keeps its data right behind it.
TEST(OffsetAllocator, FullTableIsNeverOverrun)
{
    ZOffsetAllocator::Range table[3] = {};
    table[2] = ZOffsetAllocator::Range{0xAAAAAAAAu, 0xBBBBBBBBu};
    ZOffsetAllocator a(0, 100, 2, table);
    EXPECT_TRUE(a.Reserve(10, 10));  // [0,10) [20,100): two entries, full
    EXPECT_FALSE(a.Reserve(50, 10)) << "a split needs a third entry";
    EXPECT_EQ(SortedRanges(a), (Ranges{{0, 10}, {20, 80}}));
    a.AllocLow(10);  // takes [0,10) whole
    a.AllocLow(5);   // [25,100)
    a.Free(0, 5);    // no neighbour: second entry
    a.Free(10, 5);   // no neighbour, table full: dropped
    EXPECT_FALSE(a.PushRange(200, 1));
    EXPECT_EQ(a.GetRangeCount(), 2u);
    EXPECT_EQ(table[2].m_nOffset, 0xAAAAAAAAu);
    EXPECT_EQ(table[2].m_nSize, 0xBBBBBBBBu);
}

namespace
{
bool AllBytesAre(const unsigned char* p, size_t n, unsigned char b)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] != b)
            return false;
    return true;
}
}

TEST(MemoryArena, ProcessArenaLayoutAllocAndFree)
{
    static unsigned char buffer[16384];
    ZMemoryArena arena(buffer, sizeof(buffer), 128);
    EXPECT_EQ(arena.GetSize(), 15360u);
    EXPECT_EQ(arena.GetData(), buffer + 1024);
    EXPECT_TRUE(AllBytesAre(arena.GetData(), 15360, 0xCD));
    EXPECT_EQ(arena.GetOffsetAllocator().GetTotalFree(), 15360u);

    unsigned char* p = static_cast<unsigned char*>(arena.Alloc(100));
    EXPECT_EQ(p, arena.GetData() + 4);
    uint32_t nHeader;
    memcpy(&nHeader, p - 4, 4);
    EXPECT_EQ(nHeader, 100u);
    EXPECT_TRUE(AllBytesAre(p, 100, 0xCD));
    EXPECT_EQ(arena.GetOffsetAllocator().GetTotalFree(), 15360u - 104u);

    memset(p, 0x11, 100);
    arena.Free(p);
    EXPECT_TRUE(AllBytesAre(arena.GetData(), 15360, 0xCD));
    EXPECT_EQ(arena.GetOffsetAllocator().GetTotalFree(), 15360u);
    EXPECT_EQ(arena.GetOffsetAllocator().GetRangeCount(), 1u);
    arena.Free(nullptr);
    EXPECT_EQ(arena.GetOffsetAllocator().GetTotalFree(), 15360u);
}

TEST(MemoryArena, BestFitReusesTheFittingHole)
{
    static unsigned char buffer[8 * 16 + 1000];
    ZMemoryArena arena(buffer, sizeof(buffer), 16);
    void* a = arena.Alloc(100);
    void* b = arena.Alloc(50);
    void* c = arena.Alloc(200);
    void* d = arena.Alloc(50);
    (void)d;
    arena.Free(c);
    arena.Free(a);
    // The 104-byte hole fits best; the 204-byte one stays for larger requests.
    EXPECT_EQ(arena.Alloc(96), a);
    EXPECT_EQ(arena.Alloc(196), c);
    // b's block merges with the 4 bytes left of a's hole; the merged range is the best fit.
    arena.Free(b);
    EXPECT_EQ(arena.Alloc(50), static_cast<unsigned char*>(a) + 100);
}

// The thread registry's use: map nodes from pool chunks in an arena, all returned at the end.
TEST(MemoryArena, SuppliesPoolChunksOfAMap)
{
    typedef ZIntMap<uint32_t, void*> Map;
    const uint32_t nChunks = 9;
    const uint32_t nBytes = 128 * 8 + nChunks * uint32_t(Map::Pool::kChunkSize + 4);
    std::vector<unsigned char> buffer(nBytes);
    ZMemoryArena arena(buffer.data(), nBytes, 128);
    {
        Map map(&arena);
        for (uint32_t i = 0; i < nChunks * 64; ++i)
            map.Insert(i * 7919u, &buffer[i]);
        EXPECT_EQ(map.Size(), int(nChunks * 64));
        EXPECT_LT(arena.GetOffsetAllocator().GetTotalFree(), Map::Pool::kChunkSize + 4);
        for (uint32_t i = 0; i < nChunks * 64; i += 2)
            map.FreeNode(map.RemoveNode(map.Find(i * 7919u)));
        ASSERT_NE(map.Find(7919u), nullptr);
        EXPECT_EQ(map.Find(7919u)->m_Value, &buffer[1]);
    }
    EXPECT_EQ(arena.GetOffsetAllocator().GetTotalFree(), arena.GetSize());
    EXPECT_TRUE(AllBytesAre(arena.GetData(), arena.GetSize(), 0xCD));
}
