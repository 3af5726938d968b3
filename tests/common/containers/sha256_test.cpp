#include <gtest/gtest.h>
#include "testhelpers.h"

#include <string>
#include <vector>

#include "common/containers/zmemorybuffer.h"
#include "common/containers/zsha256.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "sha256vectors.h"

namespace
{
std::string Hex(const std::string& data)
{
    ZStringBuffer<256> str;
    Sha256Hex(str, data.data(), data.size());
    return str.GetData();
}

TEST(Sha256, KnownDigests)
{
    for (const ivltest::Sha256Vector& v : ivltest::kSha256Vectors)
        EXPECT_EQ(v.szDigest, Hex(v.message)) << "length " << v.message.size();
}

TEST(Sha256, PiecewiseUpdateMatchesOneCall)
{
    std::string data;
    for (int i = 0; i < 1000; ++i)
        data.push_back((char)(i * 37 + 11));
    const std::string expected = Hex(data);

    // Piece patterns that start, fill and straddle the partial-block buffer.
    const std::vector<size_t> aPatterns[] = {{1}, {63}, {64}, {1, 63, 64}, {65, 3}, {0, 7}};
    for (const std::vector<size_t>& pattern : aPatterns) {
        Sha256Context ctx;
        Sha256::Init(ctx);
        size_t nPos = 0, i = 0;
        while (nPos < data.size()) {
            size_t n = pattern[i++ % pattern.size()];
            if (n > data.size() - nPos)
                n = data.size() - nPos;
            Sha256::Update(ctx, data.data() + nPos, n);
            nPos += n;
        }
        Sha256::Final(ctx);
        uint8_t abDigest[32];
        Sha256::GetDigest(ctx, abDigest);
        char acHex[64];
        Sha256::BytesToHex(abDigest, 32, acHex);
        EXPECT_EQ(expected, std::string(acHex, 64)) << "first piece " << pattern[0];
    }
}

TEST(Sha256, HexHelpers)
{
    const uint8_t ab[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_STREQ("000fa5ff", Sha256::HexString(ab, 4).GetData());
    EXPECT_STREQ("", Sha256::HexString(ab, 0).GetData());

    ZStringBuffer<16> str("abc");
    EXPECT_STREQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
                 Sha256::HexOfString(str).GetData());

    char acOut[65];
    acOut[64] = '#';
    Sha256::HashToHex("abc", 3, acOut);
    EXPECT_EQ('#', acOut[64]) << "no terminator is written";
    EXPECT_EQ("ba7816bf", std::string(acOut, 8));
}

class Sha256File : public ::testing::Test
{
protected:
    ZStringBuffer<256> PathOf(const char* szName)
    {
        ZStringBuffer<256> str;
        JoinPath2(str, m_strDir.GetData(), szName);
        return str;
    }

    ivltest::TempFolder m_Temp;
    const ZStringBuffer<256> m_strDir{m_Temp.Path().c_str()};
};

TEST_F(Sha256File, DigestOfFiles)
{
    ZStringBuffer<256> strPath = PathOf("abc.bin");
    ASSERT_TRUE(WriteBufferToFile(strPath.GetData(), "abc", 3));
    ZStringBuffer<256> strHex("unchanged");
    ASSERT_TRUE(GetFileSha256(strPath.GetData(), strHex));
    EXPECT_STREQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", strHex.GetData());

    ZStringBuffer<256> strEmpty = PathOf("empty.bin");
    ASSERT_TRUE(WriteBufferToFile(strEmpty.GetData(), "", 0));
    ASSERT_TRUE(GetFileSha256(strEmpty.GetData(), strHex));
    EXPECT_STREQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", strHex.GetData());

    strHex = "unchanged";
    EXPECT_FALSE(GetFileSha256(PathOf("missing.bin").GetData(), strHex));
    EXPECT_STREQ("unchanged", strHex.GetData());
}
}  // namespace

// One block read into for many files: each digest is of that file alone, whether the block
// held a larger file before, a smaller one, or none.
TEST_F(Sha256File, ScratchBlockReusedAcrossFiles)
{
    std::string big(200000, 'b');
    big[12345] = 'x';
    const std::string small = "abc";
    ZStringBuffer<256> strBig = PathOf("big.bin"), strSmall = PathOf("small.bin"), strEmpty = PathOf("empty.bin");
    ASSERT_TRUE(WriteBufferToFile(strBig.GetData(), big.data(), big.size()));
    ASSERT_TRUE(WriteBufferToFile(strSmall.GetData(), small.data(), small.size()));
    ASSERT_TRUE(WriteBufferToFile(strEmpty.GetData(), "", 0));

    ZMemoryBuffer scratch;
    ZStringBuffer<256> strHex;
    ASSERT_TRUE(GetFileSha256(strSmall.GetData(), strHex, &scratch));
    EXPECT_EQ(Hex(small), strHex.GetData());
    ASSERT_TRUE(GetFileSha256(strBig.GetData(), strHex, &scratch));
    EXPECT_EQ(Hex(big), strHex.GetData());
    ASSERT_TRUE(GetFileSha256(strSmall.GetData(), strHex, &scratch));
    EXPECT_EQ(Hex(small), strHex.GetData());
    ASSERT_TRUE(GetFileSha256(strEmpty.GetData(), strHex, &scratch));
    EXPECT_EQ(Hex(""), strHex.GetData());
    strHex = "unchanged";
    EXPECT_FALSE(GetFileSha256(PathOf("missing.bin").GetData(), strHex, &scratch));
    EXPECT_STREQ("unchanged", strHex.GetData());
    ASSERT_TRUE(GetFileSha256(strBig.GetData(), strHex, &scratch));
    EXPECT_EQ(Hex(big), strHex.GetData());
}

// A file that another handle holds open for writing may change under the read: it fails,
// and so does a file nobody may open, unless it is empty (the size read then matches).
TEST_F(Sha256File, FileOpenForWritingElsewhereFails)
{
    ZStringBuffer<256> strPath = PathOf("busy.bin");
    ASSERT_TRUE(WriteBufferToFile(strPath.GetData(), "abc", 3));
    ZStringBuffer<256> strHex("unchanged");
    {
        HANDLE hWriter =
            File::OpenHandle(strPath.GetData(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
        ASSERT_NE(INVALID_HANDLE_VALUE, hWriter);
        EXPECT_FALSE(GetFileSha256(strPath.GetData(), strHex));
        EXPECT_STREQ("unchanged", strHex.GetData());
        CloseHandle(hWriter);
    }
    ASSERT_TRUE(GetFileSha256(strPath.GetData(), strHex));
    EXPECT_EQ(Hex("abc"), strHex.GetData());

    ZStringBuffer<256> strEmpty = PathOf("locked-empty.bin");
    ASSERT_TRUE(WriteBufferToFile(strEmpty.GetData(), "", 0));
    HANDLE hLock = File::OpenHandle(strEmpty.GetData(), GENERIC_READ, 0, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, hLock);
    strHex = "unchanged";
    EXPECT_TRUE(GetFileSha256(strEmpty.GetData(), strHex));
    EXPECT_EQ(Hex(""), strHex.GetData());
    CloseHandle(hLock);
}
