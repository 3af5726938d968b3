#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/system/zlog.h"
#include "player/component/componentmanager.h"
#include "testhelpers.h"

namespace
{

std::vector<std::string>* g_pEvents = nullptr;

class Record final : public ComponentConstructor
{
public:
    Record(const char* szName, ComponentManager* pManager) : ComponentConstructor(pManager), m_Name(szName) {}
    void Destroy(int nFlags) override { DestroyComponentObject(this, nFlags); }
    void Shutdown() override
    {
        if (g_pEvents)
            g_pEvents->push_back(m_Name);
    }
    void* Create() override { return nullptr; }
    void* GetShared() override { return nullptr; }
    const char* GetName() const override { return m_Name.c_str(); }

private:
    std::string m_Name;
};

class Instance : public ComponentInstance
{
public:
    explicit Instance(const char* szName) : ComponentInstance(szName) {}
    void Lifecycle0() override { Note(0); }
    void Lifecycle1() override { Note(1); }
    void Lifecycle2() override { Note(2); }
    void Lifecycle3() override { Note(3); }
    void Lifecycle4() override { Note(4); }
    void Lifecycle5() override { Note(5); }
    void Lifecycle6() override { Note(6); }
    void Lifecycle7() override { Note(7); }

private:
    void Note(int nOperation) { g_pEvents->push_back(std::to_string(nOperation) + GetName()); }
};

class ComponentManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_pEvents = &m_Events;
    }
    void TearDown() override { g_pEvents = nullptr; }

    Record* Add(const char* szName)
    {
        m_Records.push_back(std::make_unique<Record>(szName, &m_Manager));
        return m_Records.back().get();
    }

    ComponentManager m_Manager;
    std::vector<std::unique_ptr<Record>> m_Records;
    std::vector<std::string> m_Events;
    ivltest::LogCapture m_Capture;

    // "category|text" of each line the engine logged.
    std::vector<std::string> Logged()
    {
        std::vector<std::string> lines;
        for (const ivltest::LoggedLine& line : m_Capture.Lines())
            lines.push_back(line.sCategory + "|" + line.sText);
        return lines;
    }
};

TEST_F(ComponentManagerTest, LookupIgnoresCaseAndGivesTypeIdsOnFirstSuccess)
{
    Record* pStrings = Add("resourcestrings");
    Record* pAllocator = Add("ResourceIndexAllocator");
    Add("unused");
    struct Case
    {
        const char* szName;
        Record* pExpected;
        uint32_t nTypeId;
    } cases[] = {
        {"RESOURCEINDEXALLOCATOR", pAllocator, 1},
        {"ResourceStrings", pStrings, 2},
        {"resourceindexallocator", pAllocator, 1},  // second lookup keeps its id
        {"resourcestrings", pStrings, 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.pExpected, m_Manager.FindConstructor(c.szName)) << c.szName;
        EXPECT_EQ(c.nTypeId, c.pExpected->GetTypeId()) << c.szName;
    }
    EXPECT_EQ(0u, m_Records[2]->GetTypeId());
    EXPECT_TRUE(Logged().empty());
}

TEST_F(ComponentManagerTest, UnknownNameLogsOnceAndGivesNull)
{
    Add("known");
    EXPECT_EQ(nullptr, m_Manager.FindConstructor("unknown"));
    ASSERT_EQ(1u, Logged().size());
    EXPECT_EQ("player.component|Unable to find component constructor unknown\n", Logged()[0]);
    // A failed lookup hands out no type id: the next success still gets 1.
    EXPECT_EQ(m_Records[0].get(), m_Manager.FindConstructor("KNOWN"));
    EXPECT_EQ(1u, m_Records[0]->GetTypeId());
}

TEST_F(ComponentManagerTest, RedirectSendsLaterLookupsToTheOtherRecord)
{
    Record* pOld = Add("oldname");
    Record* pNew = Add("newname");
    pOld->Redirect("NewName");
    EXPECT_EQ(pNew, pOld->GetRedirect());
    EXPECT_EQ(pNew, m_Manager.FindConstructor("oldname"));
    EXPECT_EQ(pNew, m_Manager.FindConstructor("newname"));
}

TEST_F(ComponentManagerTest, ShutdownGoesNewestLookupFirstThenRegistrationOrder)
{
    for (const char* szName : {"a", "b", "c", "d", "e"})
        Add(szName);
    m_Manager.FindConstructor("d");
    m_Manager.FindConstructor("b");
    m_Manager.FindConstructor("d");  // a repeat does not move it
    m_Manager.Shutdown();
    EXPECT_EQ((std::vector<std::string>{"b", "d", "a", "c", "e"}), m_Events);
    EXPECT_EQ(0, m_Manager.GetConstructorCount());
    EXPECT_EQ(0, m_Manager.GetInstanceCount());
}

TEST_F(ComponentManagerTest, BroadcastsReachInstancesInTheirOrder)
{
    Instance first("First"), second("Second"), third("Third");
    ASSERT_EQ(0, m_Manager.AddInstance(&first));
    ASSERT_EQ(1, m_Manager.AddInstance(&second));
    ASSERT_EQ(2, m_Manager.AddInstance(&third));
    struct Case
    {
        void (ComponentManager::*pfnBroadcast)();
        std::vector<std::string> expected;
    } cases[] = {
        {&ComponentManager::Broadcast2, {"2First", "2Second", "2Third"}},
        {&ComponentManager::Broadcast3, {"3First", "3Second", "3Third"}},
        {&ComponentManager::Broadcast4, {"4Third", "4Second", "4First"}},
        {&ComponentManager::Broadcast5, {"5First", "5Second", "5Third"}},
        {&ComponentManager::Broadcast6, {"6Third", "6Second", "6First"}},
        {&ComponentManager::Broadcast7, {"7Third", "7Second", "7First"}},
        {&ComponentManager::Broadcast0And1, {"0First", "0Second", "0Third", "1First", "1Second", "1Third"}},
    };
    for (const Case& c : cases) {
        m_Events.clear();
        (m_Manager.*c.pfnBroadcast)();
        EXPECT_EQ(c.expected, m_Events) << c.expected[0];
    }
}

TEST_F(ComponentManagerTest, FindInstanceIgnoresCaseAndTakesTheFirst)
{
    Instance a("Players"), b("PLAYERS"), c("Wind");
    m_Manager.AddInstance(&a);
    m_Manager.AddInstance(&b);
    m_Manager.AddInstance(&c);
    EXPECT_EQ(&a, m_Manager.FindInstance("players"));
    EXPECT_EQ(&c, m_Manager.FindInstance("WIND"));
    EXPECT_EQ(nullptr, m_Manager.FindInstance("Items"));
    // The name is held right after the table pointer.
    EXPECT_EQ(reinterpret_cast<const char*>(&c) + sizeof(void*), c.GetName());
    EXPECT_EQ(&a, m_Manager.GetInstances()[0]);
}

TEST_F(ComponentManagerTest, FullTablesRefuseInsteadOfWritingPastTheirEnd)
{
    std::vector<std::unique_ptr<Instance>> instances;
    for (int i = 0; i < ComponentManager::MaxInstances; ++i) {
        instances.push_back(std::make_unique<Instance>("i"));
        ASSERT_EQ(i, m_Manager.AddInstance(instances.back().get()));
    }
    Instance extra("extra");
    EXPECT_EQ(-1, m_Manager.AddInstance(&extra));
    EXPECT_EQ(ComponentManager::MaxInstances, m_Manager.GetInstanceCount());
    EXPECT_EQ(nullptr, m_Manager.FindInstance("extra"));

    for (int i = 0; i < ComponentManager::MaxConstructors; ++i)
        Add("r");
    EXPECT_EQ(ComponentManager::MaxConstructors, m_Manager.GetConstructorCount());
    Record* pLate = Add("late");
    EXPECT_EQ(ComponentManager::MaxConstructors, m_Manager.GetConstructorCount());
    EXPECT_EQ(nullptr, m_Manager.FindConstructor("late"));
    EXPECT_EQ(0u, pLate->GetTypeId());
    EXPECT_FALSE(m_Manager.RegisterConstructor(pLate));
    // The instances were not overwritten by the records' table.
    EXPECT_EQ(ComponentManager::MaxInstances, m_Manager.GetInstanceCount());
    EXPECT_EQ(instances[0].get(), m_Manager.GetInstances()[0]);
}

TEST(TypeIndexRegistry, HandsOutIndexesInOrderUntilFull)
{
    TypeIndexRegistry registry;
    static int descriptors[TypeIndexRegistry::MaxTypes + 1];
    for (int i = 0; i < TypeIndexRegistry::MaxTypes; ++i)
        ASSERT_EQ(i, registry.Register(&descriptors[i]));
    EXPECT_EQ(-1, registry.Register(&descriptors[TypeIndexRegistry::MaxTypes]));
    EXPECT_EQ(TypeIndexRegistry::MaxTypes, registry.GetCount());
    EXPECT_EQ(&descriptors[7], registry.GetDescriptor(7));
    EXPECT_EQ(nullptr, registry.GetDescriptor(TypeIndexRegistry::MaxTypes));
    EXPECT_EQ(nullptr, registry.GetDescriptor(-1));
}

// The engine calls these operations through the tables: each must sit at its slot.
TEST(ComponentLayer, VirtualOperationsSitAtTheirSlots)
{
    using ivltest::VirtualSlot;
    ivltest::ExpectSlots({
        {"ComponentConstructor::Destroy", 0, VirtualSlot(&ComponentConstructor::Destroy)},
        {"ComponentConstructor::Shutdown", 1, VirtualSlot(&ComponentConstructor::Shutdown)},
        {"ComponentConstructor::Create", 2, VirtualSlot(&ComponentConstructor::Create)},
        {"ComponentConstructor::GetShared", 3, VirtualSlot(&ComponentConstructor::GetShared)},
        {"ComponentConstructor::GetName", 4, VirtualSlot(&ComponentConstructor::GetName)},
        {"ComponentInstance::Lifecycle0", 0, VirtualSlot(&ComponentInstance::Lifecycle0)},
        {"ComponentInstance::Lifecycle7", 7, VirtualSlot(&ComponentInstance::Lifecycle7)},
        {"ComponentManager::Broadcast2", 0, VirtualSlot(&ComponentManager::Broadcast2)},
        {"ComponentManager::Broadcast3", 1, VirtualSlot(&ComponentManager::Broadcast3)},
        {"ComponentManager::Broadcast4", 2, VirtualSlot(&ComponentManager::Broadcast4)},
        {"ComponentManager::Broadcast5", 3, VirtualSlot(&ComponentManager::Broadcast5)},
        {"ComponentManager::Broadcast6", 4, VirtualSlot(&ComponentManager::Broadcast6)},
        {"ComponentManager::Broadcast7", 5, VirtualSlot(&ComponentManager::Broadcast7)},
        {"ComponentManager::Broadcast0And1", 6, VirtualSlot(&ComponentManager::Broadcast0And1)},
        {"ComponentManager::Shutdown", 7, VirtualSlot(&ComponentManager::Shutdown)},
        {"ComponentManager::AddInstance", 8, VirtualSlot(&ComponentManager::AddInstance)},
        {"ComponentManager::FindInstance", 9, VirtualSlot(&ComponentManager::FindInstance)},
        {"ComponentManager::RegisterConstructor", 10, VirtualSlot(&ComponentManager::RegisterConstructor)},
        {"ComponentManager::FindConstructor", 11, VirtualSlot(&ComponentManager::FindConstructor)},
        {"ComponentManager::GetInstanceCount", 12, VirtualSlot(&ComponentManager::GetInstanceCount)},
        {"ComponentManager::GetInstances", 13, VirtualSlot(&ComponentManager::GetInstances)},
    });
}

// The descriptors' static initialisers ran before main: each sits at its own index.
TEST(TypeIndexRegistry, ValueTypesAreRegisteredBeforeMain)
{
    const TypeDescriptor* types[] = {&g_BoolType, &g_IntType, &g_LongType, &g_FloatType, &g_DoubleType, &g_StringType};
    std::vector<int> indexes;
    for (const TypeDescriptor* pType : types) {
        ASSERT_GE(pType->m_nIndex, 0) << pType->m_szName;
        EXPECT_EQ(pType, TypeIndexRegistry::Get().GetDescriptor(pType->m_nIndex)) << pType->m_szName;
        indexes.push_back(pType->m_nIndex);
    }
    std::sort(indexes.begin(), indexes.end());
    EXPECT_EQ(indexes.end(), std::adjacent_find(indexes.begin(), indexes.end())) << "two types share an index";
    EXPECT_EQ(6, TypeIndexRegistry::Get().GetCount());
}

}  // namespace
