// The bzip2 library built by set-up compresses and decompresses with our toolchain.
#include <gtest/gtest.h>
#include <bzlib.h>
#include <string>
#include <vector>

TEST(Bzip2Library, RoundTripAndCorruptInput)
{
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += "line " + std::to_string(i * 7919 % 1000) + "\n";

    std::vector<char> packed(text.size() + text.size() / 100 + 600);
    unsigned int packedLen = packed.size();
    ASSERT_EQ(
        BZ_OK,
        BZ2_bzBuffToBuffCompress(packed.data(), &packedLen, const_cast<char*>(text.data()), text.size(), 9, 0, 0));
    ASSERT_LT(packedLen, text.size());
    EXPECT_EQ(0, memcmp(packed.data(), "BZh9", 4));

    std::vector<char> out(text.size());
    unsigned int outLen = out.size();
    ASSERT_EQ(BZ_OK, BZ2_bzBuffToBuffDecompress(out.data(), &outLen, packed.data(), packedLen, 0, 0));
    EXPECT_EQ(text, std::string(out.data(), outLen));

    // a truncated stream must not decode as complete
    outLen = out.size();
    EXPECT_NE(BZ_OK, BZ2_bzBuffToBuffDecompress(out.data(), &outLen, packed.data(), packedLen / 2, 0, 0));
}
