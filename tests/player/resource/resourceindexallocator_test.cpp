#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "player/component/componentmanager.h"
#include "player/resource/resourceindexallocator.h"
#include "testhelpers.h"

namespace
{

const int32_t kFresh = ResourceIndexAllocator::InitialHighest;

std::string SaveText(ResourceIndexAllocator& allocator)
{
    ZMemoryBuffer buffer;
    allocator.Save(buffer);
    return std::string((const char*)buffer.GetData(), buffer.GetSize());
}

void Load(ResourceIndexAllocator& allocator, const std::string& text)
{
    allocator.Load(text.data(), (uint32_t)text.size());
}

// The game engine library calls the component through its table.
TEST(ResourceIndexAllocator, VirtualOperationsSitAtTheirSlots)
{
    using ivltest::VirtualSlot;
    ivltest::ExpectSlots({
        {"Destroy", 0, VirtualSlot(&ResourceIndexAllocator::Destroy)},
        {"GetInterface", 1, VirtualSlot(&ResourceIndexAllocator::GetInterface)},
        {"ResetHighest", 2, VirtualSlot(&ResourceIndexAllocator::ResetHighest)},
        {"Clear", 3, VirtualSlot(&ResourceIndexAllocator::Clear)},
        {"GetHighest", 4, VirtualSlot(&ResourceIndexAllocator::GetHighest)},
        {"Allocate", 5, VirtualSlot(&ResourceIndexAllocator::Allocate)},
        {"Register", 6, VirtualSlot(&ResourceIndexAllocator::Register)},
        {"Find", 7, VirtualSlot(&ResourceIndexAllocator::Find)},
        {"FindByFile", 8, VirtualSlot(&ResourceIndexAllocator::FindByFile)},
        {"GetName", 9, VirtualSlot(&ResourceIndexAllocator::GetName)},
        {"Load", 10, VirtualSlot(&ResourceIndexAllocator::Load)},
        {"Save", 11, VirtualSlot(&ResourceIndexAllocator::Save)},
        {"StopReverseMaps", 12, VirtualSlot(&ResourceIndexAllocator::StopReverseMaps)},
        {"CollectNames", 13, VirtualSlot(&ResourceIndexAllocator::CollectNames)},
        {"IsComponentType", 14, VirtualSlot(&ResourceIndexAllocator::IsComponentType)},
    });
}

TEST(ResourceIndexAllocator, FreshComponentAllocatesAboveTheWatermark)
{
    ResourceIndexAllocator allocator;
    EXPECT_EQ(kFresh, allocator.GetHighest());
    EXPECT_EQ(kFresh + 1, allocator.Allocate("a:tex(x)"));
    EXPECT_EQ(kFresh + 2, allocator.Allocate("b:tex(x)"));
    struct Case
    {
        const char* szName;
        int32_t nIndex;
    } cases[] = {
        {"a:tex(x)", kFresh + 1}, {"A:TEX(X)", kFresh + 1}, {"b:TEX(x)", kFresh + 2}, {"c:tex(x)", -1}, {"", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.nIndex, allocator.Find(c.szName)) << c.szName;
    EXPECT_STREQ("a:tex(x)", allocator.GetName(kFresh + 1));
    EXPECT_STREQ("", allocator.GetName(12345));
}

TEST(ResourceIndexAllocator, FileNamesAreFoundCaseSensitively)
{
    ResourceIndexAllocator allocator;
    allocator.Allocate("a:tex(x)");
    allocator.Register("b:mesh(1):FILE//data/b.bin", 7);
    struct Case
    {
        const char* szFile;
        int32_t nIndex;
    } cases[] = {{"data/b.bin", 7}, {"DATA/B.BIN", -1}, {"data/b", -1}, {"b:mesh(1):FILE//data/b.bin", -1}};
    for (const Case& c : cases)
        EXPECT_EQ(c.nIndex, allocator.FindByFile(c.szFile)) << c.szFile;
    EXPECT_STREQ("b:mesh(1):FILE//data/b.bin", allocator.GetName(7));
    EXPECT_EQ(kFresh + 1, allocator.GetHighest());
    // A registered name takes a new index; the reverse maps follow.
    allocator.Register("B:MESH(1):FILE//data/b.bin", 9);
    EXPECT_EQ(9, allocator.Find("b:mesh(1):FILE//data/b.bin"));
    EXPECT_EQ(9, allocator.FindByFile("data/b.bin"));
    EXPECT_STREQ("B:MESH(1):FILE//data/b.bin", allocator.GetName(9));
}

TEST(ResourceIndexAllocator, ReverseMapsStop)
{
    ResourceIndexAllocator allocator;
    allocator.StopReverseMaps();
    EXPECT_EQ(0, allocator.GetHighest());
    allocator.Register("c:mesh(1):FILE//data/c.bin", 9);
    EXPECT_EQ(9, allocator.Find("c:mesh(1):FILE//data/c.bin"));
    EXPECT_EQ(-1, allocator.FindByFile("data/c.bin"));
    EXPECT_STREQ("", allocator.GetName(9));
    EXPECT_EQ(9, allocator.GetHighest());
}

TEST(ResourceIndexAllocator, WatermarkAfterClearResetAndLoad)
{
    struct Case
    {
        const char* szLabel;
        void (*pfnStep)(ResourceIndexAllocator&);
        int32_t nHighest;
        bool bNamesKept;
    } cases[] = {
        {"Clear", [](ResourceIndexAllocator& a) { a.Clear(); }, 0, false},
        {"ResetHighest", [](ResourceIndexAllocator& a) { a.ResetHighest(); }, 0, true},
        {"Load", [](ResourceIndexAllocator& a) { Load(a, "x:tex(x)=40\r\ny:tex(x)=12\r\n"); }, 40, false},
    };
    for (const Case& c : cases) {
        ResourceIndexAllocator allocator;
        allocator.Allocate("a:tex(x)");
        allocator.Register("f:mesh(1):FILE//f.bin", 5);
        c.pfnStep(allocator);
        EXPECT_EQ(c.nHighest, allocator.GetHighest()) << c.szLabel;
        EXPECT_EQ(c.bNamesKept ? kFresh + 1 : -1, allocator.Find("a:tex(x)")) << c.szLabel;
        EXPECT_EQ(c.bNamesKept ? 5 : -1, allocator.Find("f:mesh(1):FILE//f.bin")) << c.szLabel;
        EXPECT_EQ(c.nHighest + 1, allocator.Allocate("new:tex(x)")) << c.szLabel;
        EXPECT_EQ(c.nHighest + 1, allocator.Find("NEW:tex(x)")) << c.szLabel;
        EXPECT_STREQ("new:tex(x)", allocator.GetName(c.nHighest + 1)) << c.szLabel;
        allocator.Register("g:mesh(1):FILE//g.bin", 0);
        EXPECT_EQ(0, allocator.FindByFile("g.bin")) << c.szLabel;
        EXPECT_EQ(c.nHighest + 1, allocator.GetHighest()) << c.szLabel;
    }
}

TEST(ResourceIndexAllocator, LoadKeepsTheFileMap)
{
    ResourceIndexAllocator allocator;
    allocator.Register("f:mesh(1):FILE//f.bin", 5);
    Load(allocator, "x:tex(x)=40\n");
    EXPECT_EQ(5, allocator.FindByFile("f.bin"));
    EXPECT_EQ(-1, allocator.Find("f:mesh(1):FILE//f.bin"));
}

TEST(ResourceIndexAllocator, LoadReadsLines)
{
    struct Case
    {
        const char* szLabel;
        std::string text;
        std::vector<std::pair<std::string, int32_t>> entries;
        int32_t nHighest;
    } cases[] = {
        {"CR LF", "a:t(x)=3\r\nb:t(x)=17\r\n", {{"a:t(x)", 3}, {"b:t(x)", 17}}, 17},
        {"LF", "a:t(x)=3\nb:t(x)=17\n", {{"a:t(x)", 3}, {"b:t(x)", 17}}, 17},
        {"no final ending", "a:t(x)=3\r\nb:t(x)=17", {{"a:t(x)", 3}, {"b:t(x)", 17}}, 17},
        {"number cut short", "a:t(x)=3", {{"a:t(x)", 3}}, 3},
        {"line without '='", "junk\r\nb:t(x)=4\r\n", {{"b:t(x)", 4}, {"junk\r\nb:t(x)", -1}, {"junk", -1}}, 4},
        {"'=' in the index part", "a=b=5\r\n", {{"a", 0}}, 0},
        {"negative index", "a:t(x)=-4\r\n", {{"a:t(x)", -4}}, 0},
        {"empty", "", {}, 0},
    };
    for (const Case& c : cases) {
        ResourceIndexAllocator allocator;
        allocator.Allocate("old:tex(x)");
        Load(allocator, c.text);
        for (const auto& entry : c.entries)
            EXPECT_EQ(entry.second, allocator.Find(entry.first.c_str())) << c.szLabel << ": " << entry.first;
        EXPECT_EQ(-1, allocator.Find("old:tex(x)")) << c.szLabel;
        EXPECT_EQ(c.nHighest, allocator.GetHighest()) << c.szLabel;
    }
}

TEST(ResourceIndexAllocator, SaveWritesNameOrderIgnoringCase)
{
    ResourceIndexAllocator allocator;
    allocator.Register("b:tex(x)", 2);
    allocator.Register("_u:tex(x)", 4);
    allocator.Register("C:tex(x)", 3);
    allocator.Register("a:tex(x)", 1);
    // '_' sorts before letters once they are folded to lower case, as _stricmp orders them.
    EXPECT_EQ("_u:tex(x)=4\r\na:tex(x)=1\r\nb:tex(x)=2\r\nC:tex(x)=3\r\n", SaveText(allocator));
}

TEST(ResourceIndexAllocator, SaveSeesEveryChangeSinceTheLastWalk)
{
    ResourceIndexAllocator allocator;
    allocator.Register("b:tex(x)", 2);
    allocator.Register("a:tex(x)", 1);
    EXPECT_EQ("a:tex(x)=1\r\nb:tex(x)=2\r\n", SaveText(allocator));
    // A walked name takes a new index (its first spelling stays), a new name joins the order.
    allocator.Register("B:TEX(X)", 9);
    allocator.Register("c:tex(x)", 3);
    allocator.Register("c:tex(x)", 4);
    EXPECT_EQ("a:tex(x)=1\r\nb:tex(x)=9\r\nc:tex(x)=4\r\n", SaveText(allocator));
    EXPECT_STREQ("B:TEX(X)", allocator.GetName(9));
    allocator.Clear();
    allocator.Register("d:tex(x)", 5);
    EXPECT_EQ("d:tex(x)=5\r\n", SaveText(allocator));
    ZStringMap set;
    allocator.CollectNames(set);
    EXPECT_EQ(1, set.Size());
}

TEST(ResourceIndexAllocator, SaveThenLoadGivesTheSameAnswers)
{
    for (int nCount : {50, 30000})  // the larger table is over 1 MB of text
    {
        ResourceIndexAllocator allocator;
        std::vector<std::string> names;
        for (int i = 0; i < nCount; ++i) {
            names.push_back("data/levels/harbour/props/crate_" + std::to_string(i) + ":mesh(Mesh):FILE//props/crate_" +
                            std::to_string(i) + ".msh");
            if (i % 3 == 0)
                allocator.Register(names.back().c_str(), i * 5);
            else
                allocator.Allocate(names.back().c_str());
        }
        std::string text = SaveText(allocator);
        ResourceIndexAllocator loaded;
        Load(loaded, text);
        for (const std::string& name : names)
            ASSERT_EQ(allocator.Find(name.c_str()), loaded.Find(name.c_str())) << name;
        EXPECT_EQ(allocator.GetHighest(), loaded.GetHighest());
        EXPECT_EQ(allocator.Find(names[7].c_str()), loaded.FindByFile("props/crate_7.msh"));
        EXPECT_EQ(text, SaveText(loaded));
    }
}

TEST(ResourceIndexAllocator, NamesLongerThanAStoreBlock)
{
    ResourceIndexAllocator allocator;
    std::string name = "long:tex(x):FILE//" + std::string(40000, 'n');
    allocator.Register(name.c_str(), 11);
    allocator.Register("short:tex(x)", 12);
    EXPECT_EQ(11, allocator.Find(name.c_str()));
    EXPECT_EQ(name, allocator.GetName(11));
    EXPECT_EQ(11, allocator.FindByFile(std::string(40000, 'n').c_str()));
    EXPECT_STREQ("short:tex(x)", allocator.GetName(12));
}

TEST(ResourceIndexAllocator, CollectNamesSkipsLinksPropertiesAndPlainNames)
{
    ResourceIndexAllocator allocator;
    for (const char* szName : {"hall:xml(Mesh):m_pos", "hall:prp(Prop):m_a", "hall:lnk(Link):m_b", "plain",
                               "door:PRP(x)", "a:prpx(y)", "gate:tex"})
        allocator.Allocate(szName);
    ZStringMap set;
    set.Insert("hall:xml(Mesh):m_pos", "");
    allocator.CollectNames(set);
    std::vector<std::string> collected;
    for (ZStringMap::Node* p = set.Begin(); p; p = ZStringMap::Next(p))
        collected.push_back(p->m_Key.c_str());
    EXPECT_EQ((std::vector<std::string>{"a:prpx(y)", "door:PRP(x)", "gate:tex", "hall:xml(Mesh):m_pos"}), collected);
}

TEST(ResourceIndexAllocator, RegisteredWithTheComponentManager)
{
    ComponentManager& manager = ComponentManager::Get();
    ComponentConstructor* pRecord = manager.FindConstructor("ResourceIndexAllocator");
    ComponentConstructor* pSingleton = manager.FindConstructor("resourceindexallocatorsingleton");
    ASSERT_NE(nullptr, pRecord);
    ASSERT_NE(nullptr, pSingleton);
    ASSERT_NE(nullptr, manager.FindConstructor("resourcestrings"));
    ASSERT_NE(nullptr, manager.FindConstructor("resourcestringssingleton"));
    // Both names hand out the one shared component.
    void* pShared = pRecord->GetShared();
    EXPECT_EQ(pShared, pSingleton->GetShared());
    EXPECT_EQ(pShared, GetResourceIndexAllocator());
    ResourceIndexAllocator* pAllocator = GetResourceIndexAllocator();
    EXPECT_EQ(pShared, pAllocator->GetInterface(pRecord->GetTypeId()));
    EXPECT_EQ(pShared, pAllocator->GetInterface(pSingleton->GetTypeId()));
    EXPECT_EQ(nullptr, pAllocator->GetInterface(0));
    EXPECT_EQ(nullptr, pAllocator->GetInterface(manager.FindConstructor("resourcestrings")->GetTypeId()));
}

}  // namespace
