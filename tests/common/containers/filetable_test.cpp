#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/containers/zfiletable.h"
#include "common/containers/zmemorybuffer.h"
#include "common/stream/streams.h"
#include "common/system/file.h"
#include "common/system/path.h"

#include "testhelpers.h"

namespace
{

struct LineCase
{
    const char* m_szLine;
    bool m_bParsed;
    const char* m_szName;
    const char* m_szText;
    uint32_t m_nNumber;
    int32_t m_nSize;
    int m_nFlag1;
    int m_nFlag2;
};

TEST(FileRecord, ParsesOneLine)
{
    const LineCase cases[] = {
        {"\"a/b.dat\",abc-17_x,100,1,0", true, "a/b.dat", "abc-17_x", 17, 100, 1, 0},
        {"\"a/b.dat\",abc,100", true, "a/b.dat", "abc", 0, 100, 0, 0},
        {"\"a/b.dat\",abc,100,", true, "a/b.dat", "abc", 0, 100, 0, 0},  // empty last piece dropped
        {"\"a/b.dat\",abc,100,1", false, "", "", 0, 0, 0, 0},            // 4 fields
        {"\"a/b.dat\",abc", false, "", "", 0, 0, 0, 0},                  // 2 fields
        {"\"a/b.dat\",abc,100,1,0,9", false, "", "", 0, 0, 0, 0},        // 6 fields
        {"\"a/b.dat\",abc,100,1,0,,", false, "", "", 0, 0, 0, 0},
        {"\"x\",t,-5,7,0", true, "x", "t", 0, -5, 1, 0},     // flags are 0 or 1
        {"\"x\",t,12abc,0,2", true, "x", "t", 0, 12, 0, 1},  // numbers by atoi rules
        {"\"x\",t, 42,1,1", true, "x", "t", 0, 42, 1, 1},
        {"\"x\",,1", true, "x", "", 0, 1, 0, 0},
        {"\"x\" junk,h,5", true, "x", "h", 0, 5, 0, 0},                   // up to the first ',' dropped
        {"\"a,b\"c\".dat\",h,1", true, "a,b\"c\".dat", "h", 0, 1, 0, 0},  // all between the outer quotes
        {"\"\",h,1", true, "", "h", 0, 1, 0, 0},                          // adjacent quotes: empty name
        {"a.dat,h,1", false, "", "", 0, 0, 0, 0},                         // no quoted name
        {"\"a.dat,h,1", false, "", "", 0, 0, 0, 0},                       // one quote only
        {"\"../c.dat\",t,1", true, "c.dat", "t", 0, 1, 0, 0},             // leading ".." dropped
        {"\"../../x/c.dat\",t,1", true, "x/c.dat", "t", 0, 1, 0, 0},
        {"\"a/b/\",t,1", true, "a/b", "t", 0, 1, 0, 0},  // no empty last piece
        {"\"a//b\",t,1", true, "a//b", "t", 0, 1, 0, 0},
        // A ".." inside a name would lead out of the table's folder: not read.
        {"\"a/../../c.dat\",t,1", false, "", "", 0, 0, 0, 0},
        {"\"a/..\",t,1", false, "", "", 0, 0, 0, 0},
        {"\"a\\..\\..\\c.dat\",t,1", false, "", "", 0, 0, 0, 0},  // '\' separates too
        {"\"..\\c.dat\",t,1", false, "", "", 0, 0, 0, 0},
        {"\"a\\b.dat\",t,1", true, "a\\b.dat", "t", 0, 1, 0, 0},
        {"\"a/..b/c\",t,1", true, "a/..b/c", "t", 0, 1, 0, 0},
        {"", false, "", "", 0, 0, 0, 0},
    };
    for (const LineCase& c : cases) {
        ZFileRecord record("old", 9, 9, "old", 1, 1);
        EXPECT_EQ(record.Parse(c.m_szLine, (int)strlen(c.m_szLine), ""), c.m_bParsed) << c.m_szLine;
        EXPECT_STREQ(record.m_Name.GetData(), c.m_szName) << c.m_szLine;
        EXPECT_STREQ(record.m_Text.GetData(), c.m_szText) << c.m_szLine;
        EXPECT_EQ(record.m_nNumber, c.m_nNumber) << c.m_szLine;
        EXPECT_EQ(record.m_nSize, c.m_nSize) << c.m_szLine;
        EXPECT_EQ(record.m_nFlag1, c.m_nFlag1) << c.m_szLine;
        EXPECT_EQ(record.m_nFlag2, c.m_nFlag2) << c.m_szLine;
    }
}

TEST(FileRecord, TakesTheNumberAfterTheLastDash)
{
    const struct
    {
        const char* m_szText;
        uint32_t m_nNumber;
    } cases[] = {
        {"x-5", 5},
        {"x_1-5", 5},
        {"x-", 0},
        {"abc-17_x", 17},
        {"a-12-34", 34},
        {"a-12_3_4", 12},
        {"nodash", 0},
        {"a-b", 0},
        {"a-_5", 0},
        {"a-7b", 7},
        {"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08-1234", 1234},
        {"h-4096_bz2-77_", 77},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ZFileRecord::NumberFromText(c.m_szText), c.m_nNumber) << c.m_szText;
        std::string line = std::string("\"n\",") + c.m_szText + ",1";
        ZFileRecord record;
        ASSERT_TRUE(record.Parse(line.c_str(), (int)line.size(), nullptr)) << line;
        EXPECT_EQ(record.m_nNumber, c.m_nNumber) << line;
    }
}

TEST(FileRecord, ResolvesNamesAgainstTheBase)
{
    const struct
    {
        const char* m_szBase;
        const char* m_szName;
        const char* m_szResolved;
    } cases[] = {
        {"data/a/x.dat", "y.dat", "data/a/y.dat"},
        {"data/a/y.dat", "../b/z.dat", "data/b/z.dat"},
        {"data/a/y.dat", "../../z.dat", "z.dat"},
        {"data/a/y.dat", "../../../../z.dat", "z.dat"},
        {"data/a/", "y.dat", "data/y.dat"},  // the base's empty last piece is dropped
        {"x.dat", "sub/y.dat", "sub/y.dat"},
        {"data/a/x.dat", "", "data/a"},
        {"", "a/b", "a/b"},
        // Climbing from a deep base only looks at the base's last pieces; the results are those
        // of counting pieces from the front.
        {"data/a/x.dat", "../../../z.dat", "z.dat"},
        {"a/b/", "c", "a/c"},
        {"/x", "y", "/y"},
        {"a//b", "c", "a//c"},
        {"a//b", "../c", "a/c"},
        {"x", "y", "y"},
        {"", "../y", "y"},
    };
    for (const auto& c : cases) {
        std::string line = std::string("\"") + c.m_szName + "\",t,1";
        ZFileRecord record;
        ASSERT_TRUE(record.Parse(line.c_str(), (int)line.size(), c.m_szBase)) << c.m_szBase << " + " << c.m_szName;
        EXPECT_STREQ(record.m_Name.GetData(), c.m_szResolved) << c.m_szBase << " + " << c.m_szName;
    }
}

TEST(FileRecord, ReadsLinesUpTo4999Characters)
{
    for (int nLength : {4999, 5000}) {
        std::string line = "\"" + std::string(nLength - 6, 'n') + "\",t,1";
        ASSERT_EQ((int)line.size(), nLength);
        ZFileRecord record;
        EXPECT_EQ(record.Parse(line.c_str(), nLength, ""), nLength < 5000) << nLength;
        ZFileTable table;
        table.ParseText(line.c_str(), (uint32_t)line.size(), nullptr, false, false, false);
        EXPECT_EQ(table.GetCount(), nLength < 5000 ? 1 : 0) << nLength;
    }
}

TEST(FileRecord, WritesItsTextForm)
{
    ZFileRecord record("a/b.dat", 17, -3, "abc-17", 1, 0);
    EXPECT_STREQ(record.ToText().GetData(), "\"a/b.dat\",abc-17,-3,1,0");
    ZFileRecord copy(record);
    ZFileRecord assigned;
    assigned = copy;
    EXPECT_STREQ(assigned.m_Name.GetData(), "a/b.dat");
    EXPECT_EQ(assigned.m_nNumber, 17u);
    EXPECT_EQ(assigned.m_nSize, -3);
    EXPECT_EQ(assigned.m_nFlag1, 1);
}

// Names in the table, in order, as "name:text:size:flag1:flag2" joined by blanks.
std::string Dump(const ZFileTable& table)
{
    std::string s;
    for (ZFileTable::Node* p = table.First(); p; p = ZFileTable::Next(p)) {
        const ZFileRecord* r = p->m_Value;
        if (!s.empty())
            s += " ";
        s += std::string(p->m_Key.GetData()) + ":" + r->m_Text.GetData() + ":" + std::to_string(r->m_nSize) + ":" +
            std::to_string(r->m_nFlag1) + ":" + std::to_string(r->m_nFlag2);
    }
    return s;
}

std::string Offsets(const ZFileTable& table)
{
    std::string s;
    for (const ZFileOffset& entry : table.GetOffsets()) {
        if (!s.empty())
            s += " ";
        s += std::string(entry.m_pRecord->m_Name.GetData()) + "@" + std::to_string(entry.m_nOffset);
    }
    return s;
}

void ParseText(ZFileTable& table, const std::string& text, bool bRelative, bool bWithOffsets,
               const char* szBase = nullptr, bool bNoCheck = false)
{
    ZMemoryBuffer buffer;
    buffer.Append(text.data(), (unsigned)text.size());
    table.ParseText(buffer, szBase, bRelative, bNoCheck, bWithOffsets);
}

TEST(FileTable, ParsesATextLineByLine)
{
    static const char kText[] = "\"b\",h-3,3,1,1\r\n"
                                "\r\n\n"
                                "garbage line\n"
                                "\"a\",h-2,2\r"
                                "\"c\",h-4,4,0,1\0"
                                "\"d\",h,1";
    ZFileTable table;
    ParseText(table, std::string(kText, sizeof(kText) - 1), false, false);
    EXPECT_EQ(Dump(table), "a:h-2:2:0:0 b:h-3:3:1:1 c:h-4:4:0:1 d:h:1:0:0");
    EXPECT_TRUE(table.GetOffsets().IsEmpty());
}

TEST(FileTable, ReadsRelativeNamesInRelativeMode)
{
    ZFileTable table;
    ParseText(table,
              "\"data/a/x.dat\",t,1\n"
              "\"y.dat\",t,1\n"
              "\"../b/z.dat\",t,1\n"
              "not a record\n"  // resets the base
              "\"w.dat\",t,1\n",
              true, false);
    EXPECT_EQ(Dump(table), "data/a/x.dat:t:1:0:0 data/a/y.dat:t:1:0:0 data/b/z.dat:t:1:0:0 w.dat:t:1:0:0");

    ZFileTable plain;
    ParseText(plain, "\"data/a/x.dat\",t,1\n\"y.dat\",t,1\n\"../c.dat\",t,1\n", false, false);
    EXPECT_EQ(Dump(plain), "c.dat:t:1:0:0 data/a/x.dat:t:1:0:0 y.dat:t:1:0:0");
}

TEST(FileTable, KeepsOffsetsAsTheSumOfTheNumbersBefore)
{
    ZFileTable table;
    ParseText(table,
              "\"a\",h-10,10\n"
              "\"bad\",h-1000,1,1\n"  // not a record: adds nothing to the offset
              "\"b\",h-20,20\n"
              "\"a\",h-5,5\n"  // same name: values replaced, no second entry
              "\"c\",h,0\n"
              "\"d\",h-1,1\n",
              false, true);
    EXPECT_EQ(Dump(table), "a:h-5:5:0:0 b:h-20:20:0:0 c:h:0:0:0 d:h-1:1:0:0");
    EXPECT_EQ(Offsets(table), "a@0 b@10 c@35 d@35");
    // The record of the entry is the table's record, which took the later values.
    EXPECT_EQ(table.GetOffsets().Begin()->m_pRecord, table.Find("a"));
    table.Clear();
    EXPECT_EQ(table.GetCount(), 0);
    EXPECT_TRUE(table.GetOffsets().IsEmpty());
}

// Bundles of several GB: a line gets an entry only while its running offset fits a signed
// 32-bit value, and the sum never wraps, so no line past 4 GB gets a small, wrong offset.
TEST(FileTable, OffsetsPastTwoAndFourGigabytes)
{
    ZFileTable table;
    ParseText(table,
              "\"a\",h-2147483000,0\n"  // a at 0
              "\"b\",h-647,0\n"         // b at 2^31 - 648: the last one below 2 GB
              "\"c\",h-1,0\n"           // c at 2^31 - 1
              "\"d\",h-2147483648,0\n"  // d at 2^31: no entry
              "\"e\",h-1000,0\n"        // e at 2^32: would wrap to 0
              "\"f\",h-1,0\n",          // f at 2^32 + 1000: would wrap to 1000
              false, true);
    EXPECT_EQ(table.GetCount(), 6);
    EXPECT_EQ(Offsets(table), "a@0 b@2147483000 c@2147483647");
}

TEST(FileTable, AddsReplacesAndRemovesUnderOneAddress)
{
    ZFileTable table;
    EXPECT_EQ(table.Find("x"), nullptr);
    table.Add("x", ZFileRecord("x", 1, 10, "t1", 0, 0), -1);
    ZFileRecord* pRecord = table.Find("x");
    ASSERT_NE(pRecord, nullptr);
    table.Add("x", ZFileRecord("x", 2, 20, "t2", 1, 1), 5);
    EXPECT_EQ(table.Find("x"), pRecord);  // replaced in place
    EXPECT_EQ(pRecord->m_nSize, 20);
    EXPECT_STREQ(pRecord->m_Text.GetData(), "t2");
    EXPECT_TRUE(table.GetOffsets().IsEmpty());  // only new records get an entry
    table.Remove("absent");
    table.Remove("x");
    EXPECT_EQ(table.Find("x"), nullptr);
    EXPECT_EQ(table.GetCount(), 0);

    // Removing nodes with two children moves entries between nodes: every name must keep
    // its own record.
    for (int i = 0; i < 300; ++i) {
        std::string name = "f" + std::to_string(i);
        table.Add(name.c_str(), ZFileRecord(name.c_str(), 0, i, "t", 0, 0), -1);
    }
    for (int i = 0; i < 300; i += 3)
        table.Remove(("f" + std::to_string(i)).c_str());
    EXPECT_EQ(table.GetCount(), 200);
    for (int i = 0; i < 300; ++i) {
        ZFileRecord* p = table.Find(("f" + std::to_string(i)).c_str());
        if (i % 3 == 0) {
            EXPECT_EQ(p, nullptr) << i;
        } else {
            ASSERT_NE(p, nullptr) << i;
            EXPECT_EQ(p->m_nSize, i);
        }
    }
    for (ZFileTable::Node* p = table.First(); p; p = ZFileTable::Next(p))
        EXPECT_STREQ(p->m_Key.GetData(), p->m_Value->m_Name.GetData());
}

TEST(FileTable, WritesLinesInBytewiseOrderAndReadsThemBack)
{
    ZFileTable table;
    table.Add("b", ZFileRecord("b", 0, 2, "tb", 0, 1), -1);
    table.Add("A", ZFileRecord("A", 0, 1, "ta", 1, 0), -1);
    table.Add("a,\"q\".dat", ZFileRecord("a,\"q\".dat", 0, 3, "h-3", 1, 1), -1);
    ZMemoryStream stream;
    table.Write(stream);
    uint32_t nSize = 0;
    const char* pData = (const char*)stream.GetData(&nSize);
    EXPECT_EQ(std::string(pData, nSize),
              "\"A\",ta,1,1,0\r\n"
              "\"a,\"q\".dat\",h-3,3,1,1\r\n"
              "\"b\",tb,2,0,1\r\n");

    ZFileTable back;
    back.Load(stream, nullptr, false, false, false);
    EXPECT_EQ(Dump(back), Dump(table));
    EXPECT_EQ(back.Find("a,\"q\".dat")->m_nNumber, 3u);
}

// Reports a remaining count without holding the bytes; counts the reads.
class SizedStream : public IInputStream
{
public:
    SizedStream(bool bOpen, int nRemaining) : m_bOpen(bOpen), m_nRemaining(nRemaining) {}
    bool IsOpen() override { return m_bOpen; }
    int GetRemaining() override { return m_nRemaining; }
    int Read(void* pBuffer, int nCount) override
    {
        ++m_nReads;
        return -1;
    }

    int m_nReads = 0;

private:
    bool m_bOpen;
    int m_nRemaining;
};

TEST(FileTable, LoadsOnlyOpenStreamsOfAcceptedSize)
{
    const struct
    {
        bool m_bOpen;
        int m_nRemaining;
    } refused[] = {{true, 0}, {true, -1}, {true, 100000000}, {false, 10}};
    for (const auto& c : refused) {
        SizedStream stream(c.m_bOpen, c.m_nRemaining);
        ZFileTable table;
        table.Load(stream, nullptr, false, false, false);
        EXPECT_EQ(stream.m_nReads, 0) << c.m_nRemaining;
        EXPECT_EQ(table.GetCount(), 0);
    }
    // A short read parses what came.
    const char szText[] = "\"a\",t,1\n\"b\",t,2\n";
    ZMemoryReader reader(szText, 8);
    ZFileTable table;
    table.Load(&reader, nullptr, false, false, false);
    EXPECT_EQ(Dump(table), "a:t:1:0:0");
    // Loading adds to what the table holds.
    ZMemoryReader more(szText + 8, 8);
    table.Load(&more, nullptr, false, false, false);
    EXPECT_EQ(Dump(table), "a:t:1:0:0 b:t:2:0:0");
}

class FileTableFolder : public ::testing::Test
{
protected:
    void Touch(const char* szRelative)
    {
        ZStringBuffer<256> path;
        JoinPath2(path, m_Folder.GetData(), szRelative);
        ZStringBuffer<256> parent;
        if (GetParentDirectory(path.GetData(), parent))
            CreateDirectoryPath(parent.GetData());
        ASSERT_TRUE(WriteBufferToFile(path.GetData(), "x", 1));
    }

    ivltest::TempFolder m_Temp;
    const ZStringBuffer<256> m_Folder{m_Temp.Path().c_str()};
};

TEST_F(FileTableFolder, AddsOnlyExistingFilesUnlessTold)
{
    Touch("sub/here.dat");
    const std::string text = "\"sub/here.dat\",h-1,1\n\"sub/gone.dat\",h-2,2\n\"last.dat\",h-3,3\n";
    Touch("last.dat");

    ZFileTable checked;
    ParseText(checked, text, false, true, m_Folder.GetData());
    EXPECT_EQ(Dump(checked), "last.dat:h-3:3:0:0 sub/here.dat:h-1:1:0:0");
    // The missing file's number still counts towards the offsets.
    EXPECT_EQ(Offsets(checked), "sub/here.dat@0 last.dat@3");

    ZFileTable unchecked;
    ParseText(unchecked, text, false, false, m_Folder.GetData(), true);
    EXPECT_EQ(unchecked.GetCount(), 3);

    // Written to a file and loaded again through a file stream.
    ZStringBuffer<256> path;
    JoinPath2(path, m_Folder.GetData(), "currentfiles.txt");
    {
        ZFileOutputStream out(path.GetData());
        unchecked.Write(&out);
    }
    ZFileInputStream in(path.GetData());
    ZFileTable loaded;
    loaded.Load(&in, m_Folder.GetData(), false, false, false);
    EXPECT_EQ(Dump(loaded), Dump(checked));
}

}  // namespace
