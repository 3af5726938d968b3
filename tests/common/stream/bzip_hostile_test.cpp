// bzip2 input that ends early or lies about its content: everything decodable comes out, and a
// stream is complete only when its end marker and checksums were read.
#include <gtest/gtest.h>

#include <string>

#include "common/stream/bzipstream.h"

namespace
{
std::string Pack(const std::string& data, int nBlockSize)
{
    ZMemoryStream packed(65536);
    {
        ZBzipOutputStream bzip(&packed, nBlockSize);
        bzip.Write(data.data(), (int)data.size());
    }
    uint32_t nSize = 0;
    const char* p = (const char*)packed.GetData(&nSize);
    return std::string(p, nSize);
}

// Text-like bytes that compress well but are not one run.
std::string Text(size_t nSize)
{
    std::string s(nSize, 0);
    uint32_t x = 7;
    for (size_t i = 0; i < nSize; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = "abcdefgh ,.\n"[(x >> 16) % 12];
    }
    return s;
}

struct Result
{
    std::string out;
    int nLast;
    bool bEnded;
};

Result Unpack(const std::string& packed, int nPiece)
{
    ZMemoryReader reader(packed.data(), (uint32_t)packed.size());
    ZBzipInputStream bzip(&reader);
    Result r;
    std::string piece(nPiece, 0);
    while ((r.nLast = bzip.Read(&piece[0], nPiece)) > 0)
        r.out.append(piece.data(), r.nLast);
    r.bEnded = bzip.HasEnded();
    return r;
}
}  // namespace

TEST(BzipHostile, CutTrailerStillGivesEveryByteButIsNotComplete)
{
    const std::string data = Text(300000);
    struct Case
    {
        int nBlockSize;  // 100 kB units: 9 gives one block, 1 gives three
        size_t nCut;     // bytes cut from the end; up to 9 only the end marker and CRC go
        bool bEnded;
    };
    const Case cases[] = {
        {9, 0, true}, {9, 1, false}, {9, 5, false}, {9, 9, false}, {1, 0, true}, {1, 1, false}, {1, 9, false},
    };
    for (const Case& c : cases) {
        std::string packed = Pack(data, c.nBlockSize);
        packed.resize(packed.size() - c.nCut);
        for (int nPiece : {4096, 1, 65536}) {
            if (nPiece == 1 && c.nBlockSize == 1)
                continue;  // one byte at a time over three blocks adds time, not cases
            Result r = Unpack(packed, nPiece);
            EXPECT_EQ(data.size(), r.out.size())
                << "block " << c.nBlockSize << " cut " << c.nCut << " piece " << nPiece;
            EXPECT_TRUE(r.out == data) << "block " << c.nBlockSize << " cut " << c.nCut;
            EXPECT_EQ(c.bEnded, r.bEnded) << "block " << c.nBlockSize << " cut " << c.nCut;
            if (!c.bEnded) {
                EXPECT_EQ(0, r.nLast) << "a cut stream reads as a short one";
            }
        }
    }
}

TEST(BzipHostile, DamagedChecksumFails)
{
    const std::string data = Text(50000);
    std::string packed = Pack(data, 9);
    // The last two bytes lie inside the stream's combined CRC (32 bits before at most 7 pad bits).
    packed[packed.size() - 2] ^= 0x01;
    Result r = Unpack(packed, 4096);
    EXPECT_EQ(-1, r.nLast);
    EXPECT_FALSE(r.bEnded);
}
