#include <gtest/gtest.h>
#include "testhelpers.h"
#include "recordingtarget.h"

#include <string.h>

#include <algorithm>

#include <string>
#include <vector>

#include "common/stream/streams.h"
#include "common/system/file.h"
#include "common/system/path.h"

namespace
{
uint8_t PatternByte(uint32_t i)
{
    return (uint8_t)(i * 131 + (i >> 8) + 7);
}

// A source that only implements Read, so the interface defaults are what is tested.
class PatternSource : public IInputStream
{
public:
    explicit PatternSource(uint32_t nSize) : m_nSize(nSize), m_nPos(0) {}
    bool IsOpen() override { return true; }
    int GetRemaining() override { return (int)(m_nSize - m_nPos); }
    int Read(void* pBuffer, int nCount) override
    {
        uint32_t n = m_nSize - m_nPos < (uint32_t)nCount ? m_nSize - m_nPos : (uint32_t)nCount;
        if (n == 0)
            return -1;
        for (uint32_t i = 0; i < n; ++i)
            ((uint8_t*)pBuffer)[i] = PatternByte(m_nPos + i);
        m_nPos += n;
        return (int)n;
    }
    uint32_t m_nSize, m_nPos;
};

std::string Pattern(uint32_t nSize)
{
    std::string s(nSize, 0);
    for (uint32_t i = 0; i < nSize; ++i)
        s[i] = (char)PatternByte(i);
    return s;
}

TEST(InputStreamDefaults, SkipReadsInPieces)
{
    struct Case
    {
        uint32_t nSource;
        int nSkip;
        int nExpected;
    };
    const Case aCases[] = {
        {20000, 10000, 10000}, {6000, 10000, 6000}, {20000, 0, 0}, {0, 100, 0}, {4096, 4096, 4096}, {5000, -3, 0},
    };
    for (const Case& c : aCases) {
        PatternSource source(c.nSource);
        EXPECT_EQ(c.nExpected, source.Skip(c.nSkip)) << c.nSource << " skip " << c.nSkip;
        EXPECT_EQ((uint32_t)c.nExpected, source.m_nPos);
    }
}

TEST(InputStreamDefaults, ReadByteGetDataRewind)
{
    PatternSource source(2);
    EXPECT_EQ(PatternByte(0), source.ReadByte());
    EXPECT_EQ(PatternByte(1), source.ReadByte());
    EXPECT_EQ(-1, source.ReadByte());
    uint32_t nSize = 77;
    EXPECT_EQ(nullptr, source.GetData(&nSize));
    EXPECT_FALSE(source.Rewind());

    RecordingTarget target;
    EXPECT_TRUE(target.WriteByte(0x41));
    EXPECT_EQ("A", target.m_data);
}

TEST(MemoryStream, ChunksGrowByDoublingUpToOneMebibyte)
{
    ZMemoryStream stream(0);
    std::string piece(4096, 'x');
    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(stream.Write(piece.data(), 4096));

    std::vector<uint32_t> anExpected(13, 4096);
    for (uint32_t n = 8192; n <= 1048576; n *= 2)
        anExpected.push_back(n);
    std::vector<uint32_t> anChunks;
    for (const ZMemoryStream::Chunk* p = stream.GetFirstChunk(); p; p = p->m_pNext)
        anChunks.push_back(p->m_nSize);
    EXPECT_EQ(anExpected, anChunks);
    EXPECT_EQ(300u * 4096, stream.GetSize());
}

TEST(MemoryStream, WritesAcrossChunksReadBackInOtherPieces)
{
    const std::string data = Pattern(70001);
    // Odd write and read sizes so pieces straddle chunk ends.
    const int aWriteSizes[] = {1, 7, 4095, 4097, 3, 10000};
    const int aReadSizes[] = {1, 13, 4096, 9999, 65536};
    for (int nReadSize : aReadSizes) {
        ZMemoryStream stream(16);
        size_t nPos = 0;
        for (int i = 0; nPos < data.size(); ++i) {
            size_t n = std::min((size_t)aWriteSizes[i % 6], data.size() - nPos);
            ASSERT_TRUE(stream.Write(data.data() + nPos, (int)n));
            nPos += n;
        }
        EXPECT_EQ((int)data.size(), stream.GetRemaining());
        std::string out;
        std::vector<char> buffer(nReadSize);
        int n;
        while ((n = stream.Read(buffer.data(), nReadSize)) > 0)
            out.append(buffer.data(), (size_t)n);
        EXPECT_EQ(-1, n);
        EXPECT_TRUE(out == data) << "read size " << nReadSize;
        EXPECT_EQ(0, stream.GetRemaining());
    }
}

TEST(MemoryStream, ResultsAtTheEnds)
{
    ZMemoryStream stream(4);
    char ac[100];
    EXPECT_EQ(-1, stream.Read(ac, 10)) << "empty stream";
    EXPECT_EQ(0, stream.Skip(10));
    ASSERT_TRUE(stream.Write("0123456789", 10));
    EXPECT_EQ(0, stream.Read(ac, 0));
    EXPECT_EQ(10, stream.Read(ac, 100));
    EXPECT_EQ(0, memcmp(ac, "0123456789", 10));
    EXPECT_EQ(-1, stream.Read(ac, 100));
    EXPECT_EQ(-1, stream.ReadByte());

    EXPECT_TRUE(stream.Rewind());
    EXPECT_EQ(-1, stream.Skip(-1));
    EXPECT_EQ(3, stream.Skip(3));
    EXPECT_EQ('3', stream.ReadByte());
    EXPECT_EQ(6, stream.Skip(100)) << "skips only what was written";
    EXPECT_EQ(-1, stream.Read(ac, 1));

    // Writing after reading to the end makes the new bytes readable.
    ASSERT_TRUE(stream.Write("ab", 2));
    EXPECT_EQ(2, stream.Read(ac, 100));
    EXPECT_EQ(0, memcmp(ac, "ab", 2));
}

TEST(MemoryStream, GetDataCompactsAndKeepsReadPosition)
{
    const std::string data = Pattern(20000);
    ZMemoryStream stream(100);
    for (size_t i = 0; i < data.size(); i += 1000)
        stream.Write(data.data() + i, 1000);
    char ac[3];
    ASSERT_EQ(3, stream.Read(ac, 3));
    uint32_t nSize = 0;
    const void* p = stream.GetData(&nSize);
    ASSERT_EQ(20000u, nSize);
    EXPECT_EQ(0, memcmp(p, data.data(), data.size()));
    ASSERT_NE(nullptr, stream.GetFirstChunk());
    EXPECT_EQ(nullptr, stream.GetFirstChunk()->m_pNext) << "one block after compaction";
    EXPECT_EQ(p, stream.GetData(nullptr)) << "a compacted stream is left as it is";

    EXPECT_EQ(19997, stream.GetRemaining());
    EXPECT_EQ((uint8_t)data[3], stream.ReadByte());
    stream.Write("tail", 4);
    std::string rest(20000, 0);
    EXPECT_EQ(19996 + 4, stream.Read(&rest[0], 20000));
    EXPECT_EQ(data.substr(4) + "tail", rest.substr(0, 20000));

    ZMemoryStream empty;
    EXPECT_NE(nullptr, empty.GetData(&nSize));
    EXPECT_EQ(0u, nSize);
}

TEST(MemoryStream, ClearReadFromWriteTo)
{
    ZMemoryStream stream(1);
    stream.Write("old", 3);
    PatternSource source(10000);
    stream.ReadFrom(source);
    EXPECT_EQ(10000u, stream.GetSize());

    RecordingTarget target;
    EXPECT_TRUE(stream.WriteTo(target));
    EXPECT_TRUE(target.m_data == Pattern(10000));

    RecordingTarget full;
    full.m_bFull = true;
    EXPECT_FALSE(stream.WriteTo(full));

    stream.Clear();
    EXPECT_EQ(0u, stream.GetSize());
    EXPECT_EQ(nullptr, stream.GetFirstChunk());
    stream.Write("x", 1);
    EXPECT_EQ(4096u, stream.GetFirstChunk()->m_nSize) << "next chunk size after Clear";
}

TEST(MemoryReaderWriter, ResultsAtTheEnds)
{
    const char acData[] = "abcdef";
    ZMemoryReader reader(acData, 6);
    char ac[10];
    EXPECT_EQ(6, reader.GetRemaining());
    EXPECT_EQ(4, reader.Read(ac, 4));
    EXPECT_EQ(2, reader.Read(ac, 10));
    EXPECT_EQ(0, memcmp(ac, "ef", 2));
    EXPECT_EQ(-1, reader.Read(ac, 10)) << "the end is -1, not 0";
    EXPECT_EQ(0, reader.Skip(5));
    EXPECT_TRUE(reader.Rewind());
    EXPECT_EQ(5, reader.Skip(5));
    EXPECT_EQ(1, reader.Skip(5));
    uint32_t nSize = 0;
    EXPECT_EQ((const void*)acData, reader.GetData(&nSize));
    EXPECT_EQ(6u, nSize);

    char acOut[8];
    ZMemoryWriter writer(acOut, 8);
    EXPECT_TRUE(writer.Write("12345", 5));
    EXPECT_FALSE(writer.Write("6789", 4)) << "would pass the end";
    EXPECT_EQ(5u, writer.GetPosition()) << "a refused write writes nothing";
    EXPECT_TRUE(writer.Write("678", 3));
    EXPECT_FALSE(writer.Write("9", 1));
    EXPECT_FALSE(writer.WriteByte('9'));
    EXPECT_EQ(0, memcmp(acOut, "12345678", 8));
}

class FileStreams : public ::testing::Test
{
protected:
    void SetUp() override { JoinPath2(m_strPath, m_strDir.GetData(), "data.bin"); }

    ivltest::TempFolder m_Temp;
    const ZStringBuffer<256> m_strDir{m_Temp.Path().c_str()};
    ZStringBuffer<256> m_strPath;
};

TEST_F(FileStreams, WriteThenReadBack)
{
    const std::string data = Pattern(5000);
    {
        ZFileOutputStream out(m_strPath.GetData());
        ASSERT_TRUE(out.IsOpen());
        EXPECT_TRUE(out.Write(data.data(), 4999));
        EXPECT_TRUE(out.WriteByte((uint8_t)data[4999]));
        out.Flush();
    }
    ZFileInputStream in(m_strPath.GetData());
    ASSERT_TRUE(in.IsOpen());
    EXPECT_EQ(5000, in.GetRemaining());
    EXPECT_EQ((uint8_t)data[0], in.ReadByte());
    EXPECT_EQ(4999, in.GetRemaining()) << "GetRemaining keeps the position";
    EXPECT_EQ(99, in.Skip(99));
    std::string rest(6000, 0);
    EXPECT_EQ(4900, in.Read(&rest[0], 6000));
    EXPECT_EQ(data.substr(100), rest.substr(0, 4900));
    EXPECT_EQ(-1, in.Read(&rest[0], 10));
    EXPECT_EQ(-1, in.ReadByte());
    EXPECT_EQ(0, in.GetRemaining());

    ASSERT_TRUE(in.Rewind());
    // A read that ends exactly at the end still reports the end on the next call.
    EXPECT_EQ(5000, in.Read(&rest[0], 5000));
    EXPECT_EQ(-1, in.Read(&rest[0], 10));

    ZFileInputStream copy(in);
    EXPECT_TRUE(copy.IsOpen());
}

TEST_F(FileStreams, SkipStopsAtTheEnd)
{
    ASSERT_TRUE(WriteBufferToFile(m_strPath.GetData(), "0123456789", 10));
    ZFileInputStream in(m_strPath.GetData());
    EXPECT_EQ(4, in.Skip(4));
    EXPECT_EQ(6, in.Skip(100)) << "seeking past the end must not count bytes that are not there";
    EXPECT_EQ(0, in.GetRemaining());
    EXPECT_EQ(-1, in.ReadByte());
}

TEST_F(FileStreams, WrongFileModesGiveClosedStreams)
{
    ASSERT_TRUE(WriteBufferToFile(m_strPath.GetData(), "abc", 3));
    File writeOnly = File::Open(m_strPath.GetData(), File::MODE_WRITE | File::MODE_APPEND);
    ASSERT_TRUE(writeOnly.IsOpen());
    ZFileInputStream in(writeOnly);
    EXPECT_FALSE(in.IsOpen());
    char ac[4];
    EXPECT_EQ(-1, in.Read(ac, 4));
    EXPECT_EQ(-1, in.ReadByte());
    EXPECT_EQ(0, in.GetRemaining());
    EXPECT_EQ(0, in.Skip(2));
    EXPECT_FALSE(in.Rewind());
    writeOnly.Close();

    File readOnly = File::Open(m_strPath.GetData(), File::MODE_READ);
    ZFileOutputStream out(readOnly);
    EXPECT_FALSE(out.IsOpen());
    EXPECT_FALSE(out.Write("x", 1));

    ZFileInputStream missing("Z:\\no\\such\\file.bin");
    EXPECT_FALSE(missing.IsOpen());

    ZFileInputStream readable(readOnly);
    EXPECT_TRUE(readable.IsOpen());
    EXPECT_EQ(3, readable.Read(ac, 4));
}

TEST(SocketStream, OverLoopbackConnection)
{
    ivltest::Winsock winsock;
    Socket listener = Socket::Create(0, 0, 0);
    SocketAddress address;
    address.Set(127, 0, 0, 1, 0);
    ASSERT_TRUE(listener.Bind(address));
    ASSERT_TRUE(listener.Listen(1));
    address.SetPort(listener.GetLocalAddress().GetPort());
    Socket client = Socket::Create(0, 0, 0);
    ASSERT_TRUE(client.Connect(address));
    Socket server = listener.Accept();
    ASSERT_TRUE(server.IsValid());

    ZSocketStream clientStream(client);
    ZSocketStream serverStream(server);
    EXPECT_TRUE(clientStream.IsOpen());
    EXPECT_FALSE(clientStream.Rewind());
    EXPECT_TRUE(clientStream.Write("hello", 5));
    clientStream.Flush();

    char ac[16];
    int nGot = 0;
    while (nGot < 5) {
        int n = serverStream.Read(ac + nGot, 16 - nGot);
        ASSERT_GT(n, 0);
        nGot += n;
    }
    EXPECT_EQ(0, memcmp(ac, "hello", 5));
    EXPECT_EQ(0, serverStream.GetRemaining());

    // Closing every copy of the client side ends the stream with 0.
    client = Socket();
    clientStream = ZSocketStream();
    EXPECT_FALSE(clientStream.IsOpen());
    EXPECT_EQ(0, serverStream.Read(ac, 16));
}
}  // namespace
