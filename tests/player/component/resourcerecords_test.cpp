#include <gtest/gtest.h>

#include "player/component/componentmanager.h"

namespace
{

// This program refers to no resource component: only the linked records object brings them.
TEST(ResourceRecords, LinkedRecordsRegisterBeforeMain)
{
    ComponentManager& manager = ComponentManager::Get();
    for (const char* szName :
         {"resourcestrings", "resourcestringssingleton", "resourceindexallocator", "resourceindexallocatorsingleton"}) {
        ComponentConstructor* pRecord = manager.FindConstructor(szName);
        ASSERT_NE(nullptr, pRecord) << szName;
        EXPECT_STREQ(szName, pRecord->GetName());
        EXPECT_NE(0u, pRecord->GetTypeId()) << szName;
    }
    // The two names of a component hand out one shared object.
    EXPECT_EQ(manager.FindConstructor("resourcestrings")->GetShared(),
              manager.FindConstructor("resourcestringssingleton")->GetShared());
    EXPECT_NE(manager.FindConstructor("resourcestrings")->GetShared(),
              manager.FindConstructor("resourceindexallocator")->GetShared());
    manager.Shutdown();
    EXPECT_EQ(0, manager.GetConstructorCount());
}

}  // namespace
