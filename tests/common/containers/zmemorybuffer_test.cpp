#include <gtest/gtest.h>

#include <string.h>
#include <vector>

#include "common/containers/zmemorybuffer.h"

TEST(MemoryBuffer, CapacityGrowth)
{
    struct Case
    {
        const char* name;
        std::vector<unsigned> appends;     // byte counts appended one call each
        std::vector<unsigned> capacities;  // capacity after each call
        std::vector<unsigned> offsets;     // offset returned by each call
    } cases[] = {
        {"single bytes", {1, 1, 1, 1, 1}, {1, 2, 4, 4, 8}, {0, 1, 2, 3, 4}},
        {"5 then 4", {5, 4}, {8, 16}, {0, 5}},
        {"exact power", {8, 8}, {8, 16}, {0, 8}},
        {"large then small", {100, 1, 200}, {128, 128, 512}, {0, 100, 101}},
        {"empty append", {0, 3}, {1, 4}, {0, 0}},
    };
    for (const Case& c : cases) {
        ZMemoryBuffer b;
        unsigned nSize = 0;
        for (size_t i = 0; i < c.appends.size(); ++i) {
            std::vector<unsigned char> bytes(c.appends[i], (unsigned char)i);
            EXPECT_EQ(b.Append(bytes.data(), c.appends[i]), c.offsets[i]) << c.name << " call " << i;
            nSize += c.appends[i];
            EXPECT_EQ(b.GetCapacity(), c.capacities[i]) << c.name << " call " << i;
            EXPECT_EQ(b.GetSize(), nSize);
        }
        unsigned nOffset = 0;
        for (size_t i = 0; i < c.appends.size(); ++i)
            for (unsigned j = 0; j < c.appends[i]; ++j, ++nOffset)
                ASSERT_EQ(b.GetData()[nOffset], (unsigned char)i) << c.name;
    }
}

TEST(MemoryBuffer, AppendByteAndSpace)
{
    ZMemoryBuffer b;
    b.AppendByte(1);
    EXPECT_EQ(b.GetCapacity(), 1u);
    b.AppendByte(2);
    EXPECT_EQ(b.GetCapacity(), 2u);
    b.AppendByte(3);
    EXPECT_EQ(b.GetCapacity(), 4u);
    EXPECT_EQ(memcmp(b.GetData(), "\1\2\3", 3), 0);

    EXPECT_EQ(b.AppendSpaceOffset(2), 3u);
    unsigned char* p = b.AppendSpace(3);
    EXPECT_EQ(p, b.GetData() + 5);
    EXPECT_EQ(b.GetSize(), 8u);
    b.Write(3, "ab", 2);
    EXPECT_EQ(memcmp(b.GetData(), "\1\2\3ab", 5), 0);
}

TEST(MemoryBuffer, Grow)
{
    ZMemoryBuffer fresh;
    unsigned char* p = fresh.Grow(65536);
    EXPECT_EQ(p, fresh.GetData());
    EXPECT_EQ(fresh.GetSize(), 65536u);
    EXPECT_EQ(fresh.GetCapacity(), 65536u);

    ZMemoryBuffer ten;
    ten.Append("0123456789", 10);
    p = ten.Grow(65536);
    EXPECT_EQ(p, ten.GetData() + 10);
    EXPECT_EQ(memcmp(ten.GetData(), "0123456789", 10), 0);
    EXPECT_EQ(ten.GetSize(), 65546u);
    EXPECT_EQ(ten.GetCapacity(), 131072u);
}

TEST(MemoryBuffer, AttachedMemoryIsNeverFreed)
{
    unsigned char block[100];
    for (int i = 0; i < 100; ++i)
        block[i] = (unsigned char)i;
    {
        ZMemoryBuffer b;
        b.Append("xyz", 3);
        b.Attach(block, 100, 7, true);
        EXPECT_EQ(b.GetData(), block);
        EXPECT_EQ(b.GetSize(), 100u);
        EXPECT_EQ(b.GetCapacity(), 100u);
        EXPECT_EQ(b.GetCurrent(), block + 7);
        EXPECT_FALSE(b.IsOwned());
        b.Clear();
        EXPECT_EQ(b.GetData(), nullptr);
        EXPECT_EQ(b.GetCapacity(), 0u);
        EXPECT_TRUE(b.IsOwned());
    }
    {
        ZMemoryBuffer b;
        b.Attach(block, 100, 0, true);
        b.AppendByte(0xEE);
        EXPECT_NE(b.GetData(), block);
        EXPECT_TRUE(b.IsOwned());
        EXPECT_EQ(b.GetCapacity(), 200u);
        EXPECT_EQ(b.GetSize(), 101u);
        EXPECT_EQ(memcmp(b.GetData(), block, 100), 0);
        EXPECT_EQ(b.GetData()[100], 0xEE);
    }
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(block[i], (unsigned char)i);
}

TEST(MemoryBuffer, SetEmptyKeepsBlockAndPosition)
{
    ZMemoryBuffer b;
    b.Append("abcdef", 6);
    b.SetPosition(2);
    unsigned char* pData = b.GetData();
    b.SetEmpty();
    EXPECT_EQ(b.GetSize(), 0u);
    EXPECT_EQ(b.GetCapacity(), 8u);
    EXPECT_EQ(b.GetPosition(), 2u);
    EXPECT_EQ(b.GetData(), pData);
    EXPECT_EQ(b.Append("gh", 2), 0u);
    EXPECT_EQ(b.GetData(), pData);
}

TEST(MemoryBuffer, VirtualAccessors)
{
    ZMemoryBuffer b;
    b.Append("hello", 5);
    b.SetPosition(3);
    const ZMemoryBuffer& r = b;
    EXPECT_EQ(r.GetSize(), 5u);
    EXPECT_EQ(r.GetCurrent(), b.GetData() + 3);
}

TEST(MemoryBuffer, AssignmentIsADeepCopy)
{
    ZMemoryBuffer a;
    a.Append("some bytes", 10);
    a.SetPosition(4);
    ZMemoryBuffer b;
    b.Append("old", 3);
    b = a;
    EXPECT_NE(b.GetData(), a.GetData());
    EXPECT_EQ(b.GetSize(), 10u);
    EXPECT_EQ(b.GetCapacity(), 16u);
    EXPECT_EQ(b.GetPosition(), 4u);
    EXPECT_EQ(memcmp(b.GetData(), "some bytes", 10), 0);
    a.Write(0, "S", 1);
    EXPECT_EQ(b.GetData()[0], 's');

    // Freeing before copying would lose the data when both sides are the same buffer.
    unsigned char* pData = a.GetData();
    a = a;
    EXPECT_EQ(a.GetData(), pData);
    EXPECT_EQ(a.GetSize(), 10u);
    EXPECT_EQ(memcmp(a.GetData(), "Some bytes", 10), 0);

    ZMemoryBuffer empty, c;
    c.Append("x", 1);
    c = empty;
    EXPECT_EQ(c.GetData(), nullptr);
    EXPECT_EQ(c.GetSize(), 0u);
    ZMemoryBuffer d(a);
    EXPECT_EQ(memcmp(d.GetData(), "Some bytes", 10), 0);
    EXPECT_NE(d.GetData(), a.GetData());
}
