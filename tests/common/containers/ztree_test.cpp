#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/containers/zmap.h"

namespace
{
// Checks links, order and the red-black rules; returns the black height (-1 on a fault).
template <class Node, class Less>
int CheckSubtree(const Node* p, const Node* pParent, Less less, std::string& fault)
{
    if (!p)
        return 1;
    if (p->m_pParent != pParent)
        fault = "parent link";
    if (p->m_nColor != ZTree::Red && p->m_nColor != ZTree::Black)
        fault = "colour value";
    if (p->m_nColor == ZTree::Red && (ZTree::IsRed(p->m_pLeft) || ZTree::IsRed(p->m_pRight)))
        fault = "red node with a red child";
    if (p->m_pLeft && !less(p->m_pLeft, p))
        fault = "left child not less";
    if (p->m_pRight && !less(p, p->m_pRight))
        fault = "right child not greater";
    int nLeft = CheckSubtree(p->m_pLeft, p, less, fault);
    int nRight = CheckSubtree(p->m_pRight, p, less, fault);
    if (nLeft != nRight)
        fault = "black heights differ";
    return nLeft + (p->m_nColor == ZTree::Black ? 1 : 0);
}

template <class Map>
std::string CheckTree(const Map& map)
{
    typedef typename std::remove_pointer<decltype(map.GetRoot())>::type Node;
    std::string fault;
    const Node* pRoot = map.GetRoot();
    if (pRoot && pRoot->m_nColor != ZTree::Black)
        fault = "red root";
    CheckSubtree(
        pRoot, static_cast<const Node*>(nullptr), [](const Node* a, const Node* b) { return a->m_Key < b->m_Key; },
        fault);
    return fault;
}

template <class Node>
int Height(const Node* p)
{
    return p ? 1 + std::max(Height(p->m_pLeft), Height(p->m_pRight)) : 0;
}

typedef ZIntMap<int32_t, int32_t> IntMap;

std::vector<int32_t> Walk(const IntMap& map)
{
    std::vector<int32_t> keys;
    for (IntMap::Node* p = map.Begin(); p; p = IntMap::Next(p)) {
        keys.push_back(p->m_Key);
        EXPECT_EQ(p->m_Value, p->m_Key * 10) << "entry " << p->m_Key << " lost its value";
    }
    return keys;
}

std::vector<int32_t> Order(const char* szName)
{
    std::vector<int32_t> keys;
    for (int32_t i = 1; i <= 1000; ++i)
        keys.push_back(i);
    if (std::string(szName) == "descending")
        std::reverse(keys.begin(), keys.end());
    else if (std::string(szName) == "mixed")
        std::shuffle(keys.begin(), keys.end(), std::mt19937(20261210));
    return keys;
}
}

// Every insertion and removal keeps the invariants and the in-order walk, for each pair of
// insertion and removal orders over the keys 1..1000.
TEST(IntMap, InvariantsHoldAfterEveryInsertAndRemove)
{
    const char* orders[] = {"ascending", "descending", "mixed"};
    for (const char* szInsert : orders)
        for (const char* szRemove : orders) {
            SCOPED_TRACE(testing::Message() << "insert " << szInsert << ", remove " << szRemove);
            IntMap map;
            std::set<int32_t> expected;
            bool bOk = true;
            for (int32_t k : Order(szInsert)) {
                map.Insert(k, k * 10);
                expected.insert(k);
                std::string fault = CheckTree(map);
                std::vector<int32_t> walk = Walk(map);
                if (!fault.empty() || walk != std::vector<int32_t>(expected.begin(), expected.end()) ||
                    map.Size() != int(expected.size())) {
                    ADD_FAILURE() << "after inserting " << k << ": " << fault;
                    bOk = false;
                    break;
                }
            }
            ASSERT_TRUE(bOk);
            EXPECT_LE(Height(map.GetRoot()), 2 * std::log2(1001.0));

            std::vector<int32_t> removeOrder = Order(szRemove);
            if (std::string(szRemove) == "mixed")
                std::shuffle(removeOrder.begin(), removeOrder.end(), std::mt19937(7));
            for (int32_t k : removeOrder) {
                IntMap::Node* pNode = map.Find(k);
                ASSERT_NE(pNode, nullptr) << k;
                map.FreeNode(map.RemoveNode(pNode));
                expected.erase(k);
                std::string fault = CheckTree(map);
                std::vector<int32_t> walk = Walk(map);
                if (!fault.empty() || walk != std::vector<int32_t>(expected.begin(), expected.end()) ||
                    map.Size() != int(expected.size()) || map.Find(k)) {
                    ADD_FAILURE() << "after removing " << k << ": " << fault;
                    break;
                }
            }
            EXPECT_EQ(map.GetRoot(), nullptr);
            EXPECT_EQ(map.GetPool().GetLiveCount(), 0);
        }
}

TEST(IntMap, AscendingInsertStaysBalancedAndOrdered)
{
    IntMap map;
    for (int32_t k = 1; k <= 1000; ++k)
        map.Insert(k, k * 10);
    EXPECT_LE(Height(map.GetRoot()), 2 * std::log2(1001.0));
    EXPECT_EQ(map.Begin()->m_Key, 1);
    EXPECT_EQ(map.Last()->m_Key, 1000);
    EXPECT_EQ(Walk(map).size(), 1000u);
}

TEST(IntMap, SignednessOfTheKeyDecidesTheOrder)
{
    ZIntMap<int32_t, int32_t> sessions;
    sessions.Insert(0, 1);
    sessions.Insert(-1, 2);
    sessions.Insert(5, 3);
    EXPECT_EQ(sessions.Begin()->m_Key, -1);
    EXPECT_EQ(sessions.Last()->m_Key, 5);

    ZIntMap<uint32_t, int32_t> threads;
    threads.Insert(0xFFFFFFFFu, 1);
    threads.Insert(0, 2);
    threads.Insert(5, 3);
    EXPECT_EQ(threads.Begin()->m_Key, 0u);
    EXPECT_EQ(threads.Last()->m_Key, 0xFFFFFFFFu);
    ASSERT_NE(threads.Find(0xFFFFFFFFu), nullptr);
    EXPECT_EQ(threads.Find(0xFFFFFFFFu)->m_Value, 1);
}

TEST(IntMap, InsertingAnExistingKeyReplacesItsValue)
{
    IntMap map;
    IntMap::Node* pFirst = map.Insert(4, 40);
    map.Insert(2, 20);
    IntMap::Node* pAgain = map.Insert(4, 44);
    EXPECT_EQ(pAgain, pFirst);
    EXPECT_EQ(pFirst->m_Value, 44);
    EXPECT_EQ(map.Size(), 2);
    EXPECT_EQ(map.GetPool().GetLiveCount(), 2);
    EXPECT_EQ(CheckTree(map), "");
}

TEST(IntMap, EmptyMapAndLastNode)
{
    IntMap map;
    EXPECT_EQ(map.Find(1), nullptr);
    EXPECT_EQ(map.Begin(), nullptr);
    EXPECT_EQ(map.Last(), nullptr);
    IntMap::Node* p = map.Insert(1, 10);
    EXPECT_EQ(map.RemoveNode(p), p);
    EXPECT_EQ(map.GetRoot(), nullptr);
    map.FreeNode(p);
    EXPECT_EQ(map.Size(), 0);
    EXPECT_EQ(map.Begin(), nullptr);
}

// Callers keep node pointers from Find: a removed node with two children stays in the tree
// holding the entry that followed it, and the successor's node is the one unlinked.
TEST(IntMap, RemovingANodeWithTwoChildrenKeepsItHoldingTheSuccessor)
{
    IntMap map;
    for (int32_t k : {50, 30, 70, 20, 40, 60, 80, 65})
        map.Insert(k, k * 10);
    for (int32_t k : {50, 30, 70}) {
        SCOPED_TRACE(k);
        IntMap::Node* z = map.Find(k);
        ASSERT_TRUE(z->m_pLeft && z->m_pRight);
        int32_t nSuccessor = IntMap::Next(z)->m_Key;
        IntMap::Node* pSuccessorNode = IntMap::Next(z);
        int nBefore = map.Size();
        IntMap::Node* y = map.RemoveNode(z);
        EXPECT_EQ(y, pSuccessorNode);
        EXPECT_EQ(z->m_Key, nSuccessor);
        EXPECT_EQ(z->m_Value, nSuccessor * 10);
        EXPECT_EQ(map.Find(nSuccessor), z);
        EXPECT_EQ(map.Find(k), nullptr);
        map.FreeNode(y);
        EXPECT_EQ(map.Size(), nBefore - 1);
        EXPECT_EQ(CheckTree(map), "");
    }
}

TEST(IntMap, FindThroughAComparator)
{
    struct Near : ZTree::Comparator<IntMap::Node>
    {
        explicit Near(int32_t n) : m_n(n) {}
        bool IsEqual(const IntMap::Node* p) const override { return p->m_Key / 10 == m_n / 10; }
        bool IsLess(const IntMap::Node* p) const override { return m_n < p->m_Key; }
        int32_t m_n;
    };
    IntMap map;
    for (int32_t k = 0; k < 100; k += 10)
        map.Insert(k, k);
    ASSERT_NE(map.Find(Near(47)), nullptr);
    EXPECT_EQ(map.Find(Near(47))->m_Key, 40);
    IntMap empty;
    EXPECT_EQ(empty.Find(Near(1)), nullptr);
}

TEST(IntMap, ClearReleasesAllNodesAndMapIsReusable)
{
    IntMap map;
    for (int32_t k = 0; k < 200; ++k)
        map.Insert(k, k * 10);
    map.Clear();
    EXPECT_EQ(map.GetRoot(), nullptr);
    EXPECT_EQ(map.Size(), 0);
    map.Insert(3, 30);
    EXPECT_EQ(Walk(map), std::vector<int32_t>{3});
}

namespace
{
struct Record
{
    uint32_t m_nNumber;
    ZStringBuffer<16> m_sText;
};
typedef ZIntMap<uint32_t, Record> RecordMap;
}

static_assert(sizeof(void*) != 4 || sizeof(RecordMap::Node) == 56, "record-map node is 56 bytes");
static_assert(sizeof(void*) != 4 || RecordMap::Pool::kChunkSize == 3588, "record-map chunk is 3588 bytes");

TEST(IntMap, RecordValuesAreCopiedOnRemoval)
{
    RecordMap map;
    const char* texts[] = {"one", "a text too long for the inline bytes", "three", "four", "five"};
    for (uint32_t k = 0; k < 5; ++k)
        map.Insert(k, Record{k * 100, ZStringBuffer<16>(texts[k])});
    RecordMap::Node* z = map.Find(0);
    while (!(z->m_pLeft && z->m_pRight))
        z = RecordMap::Next(z);
    uint32_t k = z->m_Key;
    map.FreeNode(map.RemoveNode(z));
    EXPECT_EQ(z->m_Key, k + 1);
    EXPECT_EQ(z->m_Value.m_nNumber, (k + 1) * 100);
    EXPECT_STREQ(z->m_Value.m_sText.GetData(), texts[k + 1]);
    EXPECT_EQ(CheckTree(map), "");
}

TEST(StringMap, BytewiseOrderAndLookups)
{
    ZStringMap map;
    map.Insert("a", "lower");
    map.Insert("B", "upper");
    map.Insert("", "empty");
    map.Insert("ab", "longer");
    std::vector<std::string> keys;
    for (ZStringMap::Node* p = map.Begin(); p; p = ZStringMap::Next(p))
        keys.push_back(p->m_Key.GetData());
    EXPECT_EQ(keys, (std::vector<std::string>{"", "B", "a", "ab"}));

    ASSERT_NE(map.Find(""), nullptr);
    EXPECT_STREQ(map.Find("")->m_Value.GetData(), "empty");
    ASSERT_NE(map.Find(ZStringBuffer<16>("ab")), nullptr);
    EXPECT_STREQ(map.Find(ZStringBuffer<16>("ab"))->m_Value.GetData(), "longer");
    EXPECT_EQ(map.Find("A"), nullptr);
    EXPECT_EQ(map.Find(ZStringBuffer<256>("b")), nullptr);
    EXPECT_EQ(CheckTree(map), "");
}

TEST(StringMap, ReplaceRemoveAndClearWithHeapStrings)
{
    ZStringMap map;
    std::vector<std::string> keys;
    for (int i = 0; i < 300; ++i) {
        char key[64];
        snprintf(key, sizeof(key), "key number %04d with a heap-sized text", i);
        keys.push_back(key);
        map.Insert(key, key + 4);
    }
    ZStringMap::Node* p = map.Insert(keys[7].c_str(), "replaced value that is long enough for the heap");
    EXPECT_EQ(map.Size(), 300);
    EXPECT_EQ(map.Find(keys[7].c_str()), p);
    EXPECT_STREQ(p->m_Value.GetData(), "replaced value that is long enough for the heap");

    std::mt19937 rng(99);
    std::shuffle(keys.begin(), keys.end(), rng);
    for (size_t i = 0; i < 150; ++i) {
        ZStringMap::Node* z = map.Find(keys[i].c_str());
        ASSERT_NE(z, nullptr);
        map.FreeNode(map.RemoveNode(z));
        ASSERT_EQ(CheckTree(map), "") << i;
    }
    EXPECT_EQ(map.Size(), 150);
    for (size_t i = 150; i < keys.size(); ++i) {
        ZStringMap::Node* z = map.Find(keys[i].c_str());
        ASSERT_NE(z, nullptr) << keys[i];
        if (keys[i].find("0007") == std::string::npos)  // the replaced one
        {
            EXPECT_STREQ(z->m_Value.GetData(), keys[i].c_str() + 4);
        }
    }
    map.Clear();
    EXPECT_EQ(map.Size(), 0);
    EXPECT_EQ(map.Begin(), nullptr);
}
