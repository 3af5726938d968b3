// Both ways of running the rounds (the x86 SHA extensions where the processor has them, the
// portable rounds otherwise) give the standard digests and agree on every length and split.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/containers/zsha256.h"
#include "sha256vectors.h"

namespace
{
std::string Hex(const std::string& data, const std::vector<size_t>& pieces = {})
{
    Sha256Context ctx;
    Sha256::Init(ctx);
    size_t nDone = 0;
    for (size_t n : pieces) {
        n = std::min(n, data.size() - nDone);
        Sha256::Update(ctx, data.data() + nDone, n);
        nDone += n;
    }
    Sha256::Update(ctx, data.data() + nDone, data.size() - nDone);
    Sha256::Final(ctx);
    uint8_t ab[32];
    Sha256::GetDigest(ctx, ab);
    char ac[64];
    Sha256::BytesToHex(ab, 32, ac);
    return std::string(ac, 64);
}

// Restores the hardware choice whatever a test does.
class BothPaths : public ::testing::Test
{
protected:
    void TearDown() override { Sha256::AllowHardware(true); }
};
}  // namespace

TEST_F(BothPaths, StandardVectors)
{
    for (bool bHardware : {false, true}) {
        Sha256::AllowHardware(bHardware);
        for (const ivltest::Sha256Vector& c : ivltest::kSha256Vectors) {
            EXPECT_EQ(c.szDigest, Hex(c.message)) << "hardware " << bHardware << " length " << c.message.size();
            EXPECT_EQ(c.szDigest, Hex(c.message, {1, 63, 64, 129, 3})) << "pieces, length " << c.message.size();
        }
    }
}

TEST_F(BothPaths, AgreeOnRandomLengthsAndSplits)
{
    std::string data(1 << 20, 0);
    uint32_t x = 2463534242u;
    for (char& c : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = (char)x;
    }
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n)
        lengths.push_back(n);
    for (size_t n : {1023u, 4096u, 65535u, 65536u, 65600u, 1u << 20})
        lengths.push_back(n);
    for (size_t n : lengths) {
        std::string message = data.substr((n * 7919) % 4096, n);
        if (message.size() < n)
            message = data.substr(0, n);
        std::vector<size_t> split = {n % 61, n % 200, 64 * (n % 5)};
        Sha256::AllowHardware(false);
        std::string portable = Hex(message);
        std::string portableSplit = Hex(message, split);
        Sha256::AllowHardware(true);
        EXPECT_EQ(portable, Hex(message)) << "length " << n;
        EXPECT_EQ(portable, portableSplit) << "length " << n;
        EXPECT_EQ(portable, Hex(message, split)) << "length " << n;
    }
}

// The block count crosses 32 bits inside one call of many blocks.
TEST_F(BothPaths, BlockCountCarriesIntoTheHighWord)
{
    for (bool bHardware : {false, true}) {
        Sha256::AllowHardware(bHardware);
        Sha256Context ctx;
        Sha256::Init(ctx);
        ctx.m_anBlocks[0] = 0xFFFFFFFFu;
        std::string data(3 * 64, 'x');
        Sha256::Update(ctx, data.data(), data.size());
        EXPECT_EQ(2u, ctx.m_anBlocks[0]);
        EXPECT_EQ(1u, ctx.m_anBlocks[1]);
    }
}
