// Typed values over byte streams: the text reader the launcher reads its pack list with, and
// the binary encoding.
#include <gtest/gtest.h>
#include "launch/ivl/textinputstream.h"
#include "testhelpers.h"
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

namespace
{
struct Reader
{
    explicit Reader(const std::string& sText)
        : m_sText(sText), m_Memory(m_sText.data(), m_sText.size()), m_Text(&m_Memory)
    {
    }
    std::string m_sText;
    ZMemoryReader m_Memory;
    TextInputStream m_Text;
};

TEST(TextInputStream, ReadsEachValueLine)
{
    struct Case
    {
        const char* m_szLine;
        char m_cKind;  // B, W, D, Q, F, R
        double m_fExpected;
    };
    const Case cases[] = {
        {"B:1\n", 'B', 1},
        {"B:0\r\n", 'B', 0},
        {"W:-3\n", 'W', -3},
        {"D:123456\n", 'D', 123456},
        {"D:-7\r\n", 'D', -7},
        {"D:x\n", 'D', 0},
        {"Q:1,-1\n", 'Q', 8589934591.0},
        {"Q:0,5\n", 'Q', 5},
        {"Q:-1,-1\n", 'Q', -1},
        {"F:2.500000e+00\n", 'F', 2.5},
        {"R:-1.250000e-01\n", 'R', -0.125},
        {"F:nonsense\n", 'F', 0},
        {"D:42", 'D', 42},  // last line without its line feed
        {"", 'D', 0},       // nothing left
    };
    for (const Case& c : cases) {
        Reader r(c.m_szLine);
        double fValue = 0;
        switch (c.m_cKind) {
        case 'B': fValue = r.m_Text.ReadBool(); break;
        case 'W': fValue = r.m_Text.ReadInt16(); break;
        case 'D': fValue = r.m_Text.ReadInt32(); break;
        case 'Q': fValue = static_cast<double>(r.m_Text.ReadInt64()); break;
        case 'F': fValue = r.m_Text.ReadFloat(); break;
        case 'R': fValue = r.m_Text.ReadDouble(); break;
        }
        EXPECT_DOUBLE_EQ(c.m_fExpected, fValue) << c.m_szLine;
    }
    EXPECT_EQ(0x1FFFFFFFFLL, Reader("Q:1,-1\n").m_Text.ReadInt64());
}

TEST(TextInputStream, ReadsTextLines)
{
    Reader r("abc\r\n\nsecond line\nlast");
    std::vector<std::string> lines;
    while (r.m_Memory.GetRemaining() > 0) {
        ZStringBuffer<256> line;
        r.m_Text.ReadTextLine(line);
        lines.push_back(line.c_str());
    }
    EXPECT_EQ((std::vector<std::string>{"abc", "", "second line", "last"}), lines);
}

TEST(TextInputStream, ByteBlocks)
{
    struct Case
    {
        const char* m_szText;
        int m_nCount;
        int m_nResult;
        std::vector<uint8_t> m_Bytes;
    };
    const Case cases[] = {
        {"W2:ab01\n", 2, 2, {0xAB, 0x01}},
        {"W2:AB01\r\n", 2, 2, {0xAB, 0x01}},
        {"W0:\n", 0, 0, {}},
        {"W3:ab01\n", 2, -1, {}},    // count differs
        {"W2:ab0g\n", 2, -1, {}},    // not a hexadecimal digit
        {"W2:ab01x", 2, -1, {}},     // no line feed after the bytes
        {"W2:ab", 2, -1, {}},        // short
        {"X2:ab01\n", 2, -1, {}},    // not a block
        {"W\n2:ab01\n", 2, -1, {}},  // line feed before ':'
        {"W:ab01\n", 2, -1, {}},     // no count
    };
    for (const Case& c : cases) {
        Reader r(c.m_szText);
        uint8_t aBytes[8] = {};
        EXPECT_EQ(c.m_nResult, r.m_Text.ReadBytes(aBytes, c.m_nCount)) << c.m_szText;
        if (c.m_nResult > 0) {
            EXPECT_EQ(0, memcmp(c.m_Bytes.data(), aBytes, c.m_Bytes.size())) << c.m_szText;
        }
    }
}

TEST(TextInputStream, VirtualOperationsSitAtTheirSlots)
{
    using ivltest::VirtualSlot;
    ivltest::ExpectSlots({
        {"IsOpen", 0, VirtualSlot(&TextInputStream::IsOpen)},
        {"Destroy", 1, VirtualSlot(&TextInputStream::Destroy)},
        {"GetRemaining", 2, VirtualSlot(&TextInputStream::GetRemaining)},
        {"Read", 3, VirtualSlot(&TextInputStream::Read)},
        {"ReadBool", 4, VirtualSlot(&TextInputStream::ReadBool)},
        {"GetData", 5, VirtualSlot(&TextInputStream::GetData)},
        {"Rewind", 6, VirtualSlot(&TextInputStream::Rewind)},
        {"Skip", 7, VirtualSlot(&TextInputStream::Skip)},
        {"ReadInt64", 8, VirtualSlot(&TextInputStream::ReadInt64)},
        {"ReadInt32", 9, VirtualSlot(&TextInputStream::ReadInt32)},
        {"ReadVarInt", 10, VirtualSlot(&TextInputStream::ReadVarInt)},
        {"ReadInt16", 11, VirtualSlot(&TextInputStream::ReadInt16)},
        {"ReadFloat", 12, VirtualSlot(&TextInputStream::ReadFloat)},
        {"ReadDouble", 13, VirtualSlot(&TextInputStream::ReadDouble)},
        {"ReadBytes", 14, VirtualSlot(&TextInputStream::ReadBytes)},
        {"ReadTextLine", 15, VirtualSlot(&TextInputStream::ReadTextLine)},
    });
}

TEST(TextInputStream, RawOperationsReachTheWrappedStream)
{
    const uint8_t aData[] = {'a', 'b', 0xAC, 0x02, 'c', 'd', 'e', 'f'};
    ZMemoryReader memory(aData, sizeof(aData));
    TextInputStream text(&memory);
    EXPECT_TRUE(text.IsOpen());
    EXPECT_EQ(8, text.GetRemaining());
    uint32_t nSize = 0;
    EXPECT_EQ(nullptr, text.GetData(&nSize));  // the wrapped reader's data is not handed out
    char aRaw[2] = {};
    EXPECT_EQ(2, text.Read(aRaw, 2));
    EXPECT_EQ(0, memcmp("ab", aRaw, 2));
    EXPECT_EQ(300, text.ReadVarInt());  // binary: the text encoding has no line for it
    EXPECT_EQ(3, text.Skip(3));
    EXPECT_EQ(1, memory.GetRemaining());
    EXPECT_EQ(1, text.Skip(10));  // what was left
    EXPECT_EQ(-1, text.ReadVarInt());
    EXPECT_TRUE(text.Rewind());
    EXPECT_EQ(8, memory.GetRemaining());

    TextInputStream unwrapped(nullptr);
    EXPECT_FALSE(unwrapped.IsOpen());
    EXPECT_EQ(-1, unwrapped.Read(aRaw, 2));
    EXPECT_EQ(0, unwrapped.Skip(2));
}

TEST(TextOutput, ByteBlockLinesReadBack)
{
    std::vector<uint8_t> large(300);
    for (size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<uint8_t>(i * 7);
    std::string largeLine = "W300:";
    for (uint8_t n : large) {
        char szPair[3];
        snprintf(szPair, sizeof(szPair), "%02x", n);
        largeLine += szPair;
    }
    const std::pair<std::vector<uint8_t>, std::string> cases[] = {
        {{0xAB, 0x01}, "W2:ab01\n"},
        {{}, "W0:\n"},
        {{0x00, 0xFF, 0x10, 0x0A}, "W4:00ff100a\n"},
        {large, largeLine + "\n"},  // longer than the line buffer's inline bytes
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second.substr(0, 16));
        std::vector<uint8_t> buffer(1024);
        ZMemoryWriter writer(buffer.data(), buffer.size());
        ASSERT_TRUE(WriteBytesLine(writer, c.first.data(), static_cast<int>(c.first.size())));
        EXPECT_EQ(c.second, std::string(buffer.begin(), buffer.begin() + writer.GetPosition()));
        Reader r(c.second);
        std::vector<uint8_t> bytes(c.first.size() + 1);
        EXPECT_EQ(static_cast<int>(c.first.size()), r.m_Text.ReadBytes(bytes.data(), static_cast<int>(c.first.size())));
        bytes.pop_back();
        EXPECT_EQ(c.first, bytes);
    }
    uint8_t aSmall[4];
    ZMemoryWriter tooSmall(aSmall, sizeof(aSmall));
    const uint8_t aTwo[] = {1, 2};
    EXPECT_FALSE(WriteBytesLine(tooSmall, aTwo, 2));
}

TEST(BinaryEncoding, VariableLengthIntegers)
{
    const std::pair<int32_t, std::vector<uint8_t>> cases[] = {
        {0, {0x00}},
        {127, {0x7F}},
        {128, {0x80, 0x01}},
        {300, {0xAC, 0x02}},
        {0x7FFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0x07}},
    };
    for (const auto& c : cases) {
        uint8_t aBuffer[16];
        ZMemoryWriter writer(aBuffer, sizeof(aBuffer));
        ASSERT_TRUE(PutVarInt(writer, c.first));
        std::vector<uint8_t> bytes(aBuffer, aBuffer + writer.GetPosition());
        EXPECT_EQ(c.second, bytes) << c.first;
        ZMemoryReader reader(c.second.data(), c.second.size());
        EXPECT_EQ(c.first, GetVarInt(reader)) << c.first;
    }
    uint8_t aOne[1];
    ZMemoryWriter tooSmall(aOne, sizeof(aOne));
    EXPECT_FALSE(PutVarInt(tooSmall, 300));
    const uint8_t aTruncated[] = {0x80};
    ZMemoryReader reader(aTruncated, 1);
    EXPECT_EQ(-1, GetVarInt(reader));
}

TEST(BinaryEncoding, IntegersStringsAndShortStreams)
{
    uint8_t aBuffer[64];
    ZMemoryWriter writer(aBuffer, sizeof(aBuffer));
    ASSERT_TRUE(PutU16(writer, 0x1234));
    ASSERT_TRUE(PutU32(writer, 0xA1B2C3D4u));
    ASSERT_TRUE(PutU64(writer, 0x0102030405060708ull));
    ASSERT_TRUE(PutCString(writer, "hi"));
    ASSERT_TRUE(PutCString(writer, nullptr));
    const uint8_t* p = aBuffer;
    ASSERT_EQ(2u + 4 + 8 + 3 + 1, writer.GetPosition());
    EXPECT_EQ(0x34, p[0]);
    EXPECT_EQ(0xD4, p[2]);
    EXPECT_EQ(0x08, p[6]);

    ZMemoryReader reader(p, writer.GetPosition());
    EXPECT_EQ(0x1234, GetU16(reader));
    EXPECT_EQ(0xA1B2C3D4LL, GetU32(reader));
    EXPECT_EQ(0x0102030405060708LL, GetU64(reader));
    ZStringBuffer<16> text;
    ReadCString(reader, text);
    EXPECT_STREQ("hi", text.c_str());
    text.Clear();
    ReadCString(reader, text);
    EXPECT_STREQ("", text.c_str());
    EXPECT_EQ(-1, GetU16(reader));
    EXPECT_EQ(-1, GetU64(reader));
}
}  // namespace
