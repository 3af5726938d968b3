#include <gtest/gtest.h>
#include "testhelpers.h"

#include <string>
#include <vector>

#include "common/containers/zmemorybuffer.h"
#include "common/containers/zsha256.h"
#include "common/system/file.h"
#include "common/system/path.h"

namespace
{
std::string Hex(const std::string& data)
{
    ZStringBuffer<256> str;
    Sha256Hex(str, data.data(), data.size());
    return str.GetData();
}

struct Vector
{
    std::string message;
    const char* digest;
};

// FIPS 180-2 examples, the empty message, and lengths around the padding and block boundaries.
const Vector kVectors[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
    {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
    {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
    {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
    {std::string(65, 'a'), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
    {std::string(119, 'a'), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
    {std::string(120, 'a'), "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
    {std::string(128, 'a'), "6836cf13bac400e9105071cd6af47084dfacad4e5e302c94bfed24e013afb73e"},
};

TEST(Sha256, KnownDigests)
{
    for (const Vector& v : kVectors)
        EXPECT_EQ(v.digest, Hex(v.message)) << "length " << v.message.size();
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
