#include <gtest/gtest.h>
#include "recordingtarget.h"

#include <string.h>

#include <algorithm>

#include <string>
#include <vector>

#include "common/stream/bzipstream.h"

#include <psapi.h>

namespace
{
// "hello, bzip2\n" as the bzip2 program writes it (bzip2 -9).
const uint8_t kHello[] = {0x42, 0x5a, 0x68, 0x39, 0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0xb1, 0x23, 0xde, 0x43,
                             0x00, 0x00, 0x03, 0x59, 0x80, 0x00, 0x10, 0x40, 0x04, 0x10, 0x00, 0x12, 0x64, 0xc0,
                             0x10, 0x20, 0x00, 0x31, 0x03, 0x40, 0xd0, 0x20, 0x01, 0xa6, 0x91, 0x03, 0xab, 0x6c,
                             0x82, 0x84, 0xf8, 0xbb, 0x92, 0x29, 0xc2, 0x84, 0x85, 0x89, 0x1e, 0xf2, 0x18};

// Text-like data compresses; a pseudo-random sequence does not.
std::string MakeData(size_t nSize, bool bRandom)
{
    std::string s(nSize, 0);
    uint32_t x = 12345;
    for (size_t i = 0; i < nSize; ++i) {
        x = x * 1103515245 + 12345;
        s[i] = bRandom ? (char)(x >> 23) : "the quick brown fox jumps over "[(i * 7 + i / 91) % 31];
    }
    return s;
}

std::string Compress(const std::string& data, int nWriteSize, int nBlockSize = 9)
{
    RecordingTarget target;
    {
        ZBzipOutputStream bzip(&target, nBlockSize, 0);
        EXPECT_TRUE(bzip.IsOpen());
        for (size_t i = 0; i < data.size(); i += (size_t)nWriteSize)
            EXPECT_TRUE(bzip.Write(data.data() + i, (int)std::min(data.size() - i, (size_t)nWriteSize)));
    }
    for (int n : target.m_anWrites)
        EXPECT_LE(n, 65536) << "compressed output leaves in pieces of at most 64 KiB";
    return target.m_data;
}

size_t CommittedBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), (PROCESS_MEMORY_COUNTERS*)&counters, sizeof(counters));
    // Wine reports PrivateUsage as 0; PagefileUsage tracks committed memory.
    return counters.PagefileUsage;
}

// Reads until Read returns 0 or -1; the last result goes to nLast.
std::string DecompressAll(IInputStream& in, int nReadSize, int& nLast)
{
    std::string out;
    std::vector<char> buffer((size_t)nReadSize);
    while ((nLast = in.Read(buffer.data(), nReadSize)) > 0)
        out.append(buffer.data(), (size_t)nLast);
    return out;
}

TEST(Bzip, RoundTrip)
{
    struct Case
    {
        size_t nSize;
        bool bRandom;
        int nWriteSize;
        int nReadSize;
        bool bSmall;
    };
    const Case aCases[] = {
        {0, false, 1, 4096, false},          {1, false, 1, 1, false},
        {100, false, 7, 4096, false},        {70000, false, 4096, 333, true},
        {300000, true, 65536, 65536, false}, {1000000, false, 100000, 8192, false},
    };
    for (const Case& c : aCases) {
        const std::string data = MakeData(c.nSize, c.bRandom);
        const std::string packed = Compress(data, c.nWriteSize);
        ASSERT_GE(packed.size(), 4u);
        EXPECT_EQ(0, memcmp(packed.data(), "BZh9", 4));

        ZMemoryReader reader(packed.data(), (uint32_t)packed.size());
        ZBzipInputStream bzip(&reader, c.bSmall);
        EXPECT_TRUE(bzip.IsOpen());
        int nLast;
        std::string out = DecompressAll(bzip, c.nReadSize, nLast);
        EXPECT_TRUE(out == data) << "size " << c.nSize;
        char ac[16];
        EXPECT_EQ(-1, bzip.Read(ac, 16)) << "the stream has ended";
    }
}

TEST(Bzip, ReadsWhatTheBzip2ProgramWrites)
{
    ZMemoryReader reader(kHello, sizeof(kHello));
    ZBzipInputStream bzip(&reader);
    char ac[4096];
    EXPECT_EQ(13, bzip.Read(ac, 4096));
    EXPECT_EQ(0, memcmp(ac, "hello, bzip2\n", 13));
    EXPECT_EQ(4096 - 13, bzip.GetRemaining()) << "the unfilled part of the last request";
    EXPECT_EQ(-1, bzip.Read(ac, 4096));
    EXPECT_EQ(0, bzip.Read(ac, 0));
}

TEST(Bzip, BadInput)
{
    const std::string data = MakeData(200000, false);
    const std::string packed = Compress(data, 65536);

    // Cut before the end marker: what came so far, then 0 on every later call.
    for (size_t nKeep : {packed.size() / 2, packed.size() - 1, (size_t)10}) {
        ZMemoryReader reader(packed.data(), (uint32_t)nKeep);
        ZBzipInputStream bzip(&reader);
        int nLast;
        std::string out = DecompressAll(bzip, 4096, nLast);
        EXPECT_EQ(0, nLast) << "kept " << nKeep;
        EXPECT_LE(out.size(), data.size());
        EXPECT_TRUE(out == data.substr(0, out.size()));
        char ac[16];
        EXPECT_EQ(0, bzip.Read(ac, 16));
    }

    // Not bzip2 at all, and bzip2 with a damaged block.
    std::string damaged = packed;
    damaged[damaged.size() / 2] ^= 0x55;
    const std::string aBad[] = {"this is plain text, not bzip2 data", damaged, std::string("BZh0", 4)};
    for (const std::string& bad : aBad) {
        ZMemoryReader reader(bad.data(), (uint32_t)bad.size());
        ZBzipInputStream bzip(&reader);
        int nLast;
        DecompressAll(bzip, 4096, nLast);
        EXPECT_EQ(-1, nLast);
        char ac[16];
        EXPECT_EQ(-1, bzip.Read(ac, 16)) << "later reads fail too";
    }

    ZMemoryReader empty("", 0);
    ZBzipInputStream bzip(&empty);
    char ac[16];
    EXPECT_EQ(0, bzip.Read(ac, 16));
}

TEST(Bzip, StreamNotReadToTheEndIsReleased)
{
    // Many half-read streams: the library's block memory must go with each one.
    const std::string packed = Compress(MakeData(300000, false), 65536);
    const size_t nBefore = CommittedBytes();
    for (int i = 0; i < 200; ++i) {
        ZMemoryReader reader(packed.data(), (uint32_t)packed.size());
        ZBzipInputStream bzip(&reader);
        char ac[100];
        ASSERT_EQ(100, bzip.Read(ac, 100));
    }
    // Each stream left open inside the library holds more than a megabyte.
    EXPECT_LT(CommittedBytes(), nBefore + 64 * 1024 * 1024);
}

TEST(Bzip, OutputFlushAndForwarding)
{
    RecordingTarget target;
    {
        ZBzipOutputStream bzip(&target, 1, 30);
        EXPECT_TRUE(bzip.WriteByte('a'));
        bzip.Flush();
        EXPECT_EQ(1, target.m_nFlushes) << "Flush reaches the target";
        // The library keeps its current block until the stream is finished.
        EXPECT_TRUE(target.m_data.size() < 20);
    }
    ZMemoryReader reader(target.m_data.data(), (uint32_t)target.m_data.size());
    ZBzipInputStream bzip(&reader);
    char ac[8];
    EXPECT_EQ(1, bzip.Read(ac, 8));
    EXPECT_EQ('a', ac[0]);
    EXPECT_EQ(0, memcmp(target.m_data.data(), "BZh1", 4));

    ZMemoryReader inner("abc", 3);
    ZForwardInputStream forward(&inner);
    EXPECT_EQ(3, forward.GetRemaining());
    EXPECT_EQ('a', forward.ReadByte());
    EXPECT_EQ(1, forward.Skip(1));
    EXPECT_TRUE(forward.Rewind());
    EXPECT_EQ(nullptr, forward.GetData(nullptr));
}
}  // namespace
