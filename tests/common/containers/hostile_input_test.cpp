// Input from file servers and pages that is built to hurt: every reader must stay bounded in
// memory and time (one scan, not one per occurrence) and lose no more than the bad part.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/containers/zfilecatalog.h"
#include "common/containers/zfiletable.h"
#include "common/containers/zmemorybuffer.h"
#include "common/containers/zxml.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "testhelpers.h"

namespace
{

std::string Repeat(const std::string& piece, size_t nTotal)
{
    std::string s;
    s.reserve(nTotal + piece.size());
    while (s.size() < nTotal)
        s += piece;
    return s;
}

int CountElements(const ZXmlNodeList& list)
{
    int n = 0;
    for (const ZXmlElement* e = list.m_pFirst; e; e = e->m_pNext)
        n += 1 + CountElements(e->m_Children);
    return n;
}

}  // namespace

// Patterns that made the reader search to the end of the text once per occurrence: each
// must parse in one pass and still give the tree the reading rules make of it.
TEST(HostileXml, RepeatedUnfinishedMarkupParsesInOnePass)
{
    struct Case
    {
        const char* szName;
        std::string text;
        const char* szRootName;   // the first top-level element's name
        const char* szFirstAttr;  // its first attribute's name, or null when it has none
    };
    const size_t kSize = 512 * 1024;  // quadratic work took seconds already at this size
    const Case cases[] = {
        {"unterminated CDATA, repeated", "<r>" + Repeat("<![CDATA[", kSize), "r", nullptr},
        {"attributes without a double quote", "<r " + Repeat("x=y ", kSize), "r", "x"},
        {"apostrophe values without a double quote", "<r " + Repeat("x='y' ", kSize), "r", "x"},
        {"CDATA and quote-less attributes mixed", "<r>" + Repeat("<![CDATA[<a x=y ", kSize), "r", nullptr},
    };
    for (const Case& c : cases) {
        ZXmlDocument doc;
        doc.Parse(c.text.data(), (int)c.text.size());
        ZXmlElement* pRoot = doc.m_Elements.m_pFirst;
        ASSERT_NE(pRoot, nullptr) << c.szName;
        EXPECT_STREQ(c.szRootName, pRoot->m_Name.GetData()) << c.szName;
        if (c.szFirstAttr) {
            ASSERT_NE(pRoot->m_Attributes.m_pFirst, nullptr) << c.szName;
            EXPECT_STREQ(c.szFirstAttr, pRoot->m_Attributes.m_pFirst->m_Name.GetData()) << c.szName;
        }
    }
}

// The remembered search answers must give exactly what a fresh search gives: a closing quote
// or "]]" that does come later is still found, for every element that needs it.
TEST(HostileXml, LaterQuotesAndSectionEndsAreStillFound)
{
    const char szText[] = "<r><a v=\"1\" w=\"2\"/><b><![CDATA[one]]></b><c><![CDATA[x</c>"
                          "<d k=lost m=\"3\">t</d><e><![CDATA[two]]></e></r>";
    ZXmlDocument doc;
    doc.Parse(szText, (int)strlen(szText));
    ZXmlElement* r = doc.m_Elements.m_pFirst;
    ASSERT_NE(r, nullptr);
    ZXmlElement* a = ZXmlNodeList::Find(r->m_Children, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ("2", a->FindAttribute("w")->m_Value.GetData());
    ZXmlElement* b = ZXmlNodeList::Find(r->m_Children, "b");
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ("one", b->m_Text.GetData());
    // "<![CDATA[x</c>...<e><![CDATA[two]]" is one section: its "]]" lies after the later ones.
    ZXmlElement* c = ZXmlNodeList::Find(r->m_Children, "c");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(0, strncmp(c->m_Text.GetData(), "x</c>", 5)) << c->m_Text.GetData();

    // Nested documents parsed one after the other keep their own answers.
    for (int i = 0; i < 3; ++i) {
        std::string s = "<q a=b c=\"" + std::to_string(i) + "\"/>";
        ZXmlDocument again;
        again.Parse(s.data(), (int)s.size());
        ASSERT_NE(again.m_Elements.m_pFirst, nullptr);
        ZXmlAttribute* pA = again.m_Elements.m_pFirst->FindAttribute("a");
        ASSERT_NE(pA, nullptr);
        EXPECT_EQ("b c=", std::string(pA->m_Value.GetData()));
    }
}

TEST(HostileXml, DeepNestingStopsAtTheDepthBound)
{
    std::string text = Repeat("<a>", 3 * 200000);
    ZXmlDocument doc;
    doc.Parse(text.data(), (int)text.size());
    EXPECT_LE(CountElements(doc.m_Elements), (int)ZXmlDocument::MAX_DEPTH + 1);
}

namespace
{
// Hands out a number of blocks, then refuses, as a full 32-bit address space does.
class RationedAllocator : public ZAllocator
{
public:
    explicit RationedAllocator(int nBlocks) : m_nLeft(nBlocks) {}
    void* Alloc(int nSize) override
    {
        if (m_nLeft <= 0)
            return nullptr;
        --m_nLeft;
        ++m_nLive;
        return malloc((size_t)nSize);
    }
    void Free(void* p) override
    {
        m_nLive -= p ? 1 : 0;
        free(p);
    }
    int m_nLeft;
    int m_nLive = 0;
};

int CountAttributes(const ZXmlNodeList& list, const char* szValue, int* pnOther)
{
    int n = 0;
    for (const ZXmlElement* e = list.m_pFirst; e; e = e->m_pNext) {
        for (const ZXmlAttribute* a = e->m_Attributes.m_pFirst; a; a = a->m_pNext, ++n)
            *pnOther += a->m_Value == szValue ? 0 : 1;
        n += CountAttributes(e->m_Children, szValue, pnOther);
    }
    return n;
}
}  // namespace

// A root list of many small elements fills a 32-bit process with nodes long before its text
// runs out: the parse ends where the pool can grow no more, and says so.
TEST(HostileXml, NodesPastMemoryEndTheParse)
{
    const std::string element = "<an_element_named_past_inline/>";
    const std::string attribute = "<a v=\"value past sixteen bytes\"/>";
    const std::string many = "<uniquelists>" + Repeat(element, 64 * 40 * element.size()) + "</uniquelists>";
    const std::string attrs = "<r>" + Repeat(attribute, 64 * 40 * attribute.size()) + "</r>";
    struct Case
    {
        const char* szName;
        const std::string& text;
        int nChunks;
        bool bParsed;
        int nElements;  // -1: fewer than the text holds
    };
    const Case cases[] = {
        {"elements, no memory at all", many, 0, false, 0},
        {"elements, four chunks", many, 4, false, 4 * 64},
        {"elements, enough chunks", many, 41, true, 64 * 40 + 1},
        {"elements and attributes, three chunks", attrs, 3, false, -1},
        {"elements and attributes, enough chunks", attrs, 81, true, 64 * 40 + 1},
    };
    for (const Case& c : cases) {
        RationedAllocator alloc(c.nChunks);
        {
            ZXmlDocument doc(&alloc);
            EXPECT_EQ(c.bParsed, doc.Parse(c.text.data(), (int)c.text.size())) << c.szName;
            int nElements = CountElements(doc.m_Elements);
            if (c.nElements >= 0) {
                EXPECT_EQ(c.nElements, nElements) << c.szName;
            } else {
                EXPECT_LT(nElements, 64 * 40 + 1) << c.szName;
            }
            // Every attribute that was made was read whole.
            int nOther = 0;
            int nAttributes = CountAttributes(doc.m_Elements, "value past sixteen bytes", &nOther);
            EXPECT_EQ(0, nOther) << c.szName;
            if (c.text == attrs) {
                EXPECT_GT(nAttributes, 0) << c.szName;
            }
            // The document goes with no memory left for the pools' scratch table.
        }
        EXPECT_EQ(0, alloc.m_nLive) << c.szName << ": every chunk released";
    }
}

// Relative lists: each name builds on the one before. A list of one repeated short line must
// not grow names (and memory) with its square.
TEST(HostileFileTable, RelativeNamesAreBounded)
{
    const std::string line = "\"d/x\",t,1\r\n";
    std::string text = Repeat(line, 128 * 1024);
    ZFileTable table;
    table.ParseText(text.data(), (uint32_t)text.size(), nullptr, true, true, false);
    size_t nLongest = 0;
    uint64_t nTotal = 0;
    for (ZFileTable::Node* p = table.First(); p; p = ZFileTable::Next(p)) {
        nLongest = std::max(nLongest, (size_t)p->m_Value->m_Name.GetLength());
        nTotal += p->m_Value->m_Name.GetLength();
    }
    EXPECT_GT(table.GetCount(), 0);
    EXPECT_LE(nLongest, (size_t)ZFileRecord::MAX_NAME);
    // After the longest name the next line starts again from the top, so names repeat.
    EXPECT_LE(table.GetCount(), ZFileRecord::MAX_NAME / 2 + 1);
    EXPECT_LE(nTotal, (uint64_t)ZFileRecord::MAX_NAME * ZFileRecord::MAX_NAME);
}

TEST(HostileFileTable, ResolvedNameAtAndPastTheBound)
{
    struct Case
    {
        size_t nBase;  // length of the base's folder part
        size_t nName;  // length of the relative name
        bool bRecord;
    };
    const int kMax = ZFileRecord::MAX_NAME;
    const Case cases[] = {
        {(size_t)kMax - 1 - 10, 10, true},   // folder + '/' + name = the bound
        {(size_t)kMax - 1 - 10, 11, false},  // one past
        {0, 4990, true},                       // a long quoted name alone
    };
    for (const Case& c : cases) {
        std::string base = c.nBase ? std::string(c.nBase, 'f') + "/file" : "";
        std::string line = "\"" + std::string(c.nName, 'n') + "\",t-1,5";
        ZFileRecord record;
        EXPECT_EQ(c.bRecord, record.Parse(line.data(), (int)line.size(), base.c_str())) << c.nBase << " + " << c.nName;
        if (c.bRecord)
            EXPECT_EQ(c.nBase + (c.nBase ? 1 : 0) + c.nName, (size_t)record.m_Name.GetLength());
        else
            EXPECT_TRUE(record.m_Name.IsEmpty());
    }
}

namespace
{
// A text whose growth past its inline bytes is always refused, as when memory has run out:
// every changing operation must then leave the text as it was.
class NoGrowthText : public ZStringBase
{
public:
    NoGrowthText() : ZStringBase(0, 1, m_acInline) { m_acInline[0] = 0; }
    void Reset() override {}
    bool Reserve(int nSize) override { return nSize <= (int)sizeof(m_acInline); }

private:
    char m_acInline[16];
};
}  // namespace

TEST(HostileString, RefusedGrowthLeavesTheText)
{
    const std::string sLong(40, 'L');
    const ZStringBuffer<64> other(sLong.c_str());
    struct Case
    {
        const char* szName;
        std::function<void(ZStringBase&)> change;
        const char* szResult;  // what a refusal leaves
    };
    const Case cases[] = {
        {"Assign", [&](ZStringBase& s) { s.Assign(sLong.c_str()); }, "kept"},
        {"Assign with a count", [&](ZStringBase& s) { s.Assign(sLong.c_str(), 20); }, "kept"},
        {"AssignFrom", [&](ZStringBase& s) { s.AssignFrom(other); }, "kept"},
        {"AssignLatin1", [](ZStringBase& s) { s.AssignLatin1("\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9"); }, "kept"},
        {"AssignWide", [](ZStringBase& s) { s.AssignWide(L"\x20AC\x20AC\x20AC\x20AC\x20AC\x20AC"); }, "kept"},
        {"AssignUtf16", [](ZStringBase& s) { s.AssignUtf16(L"\x20AC\x20AC\x20AC\x20AC\x20AC\x20AC"); }, "kept"},
        {"Append", [&](ZStringBase& s) { s.Append(sLong.c_str()); }, "kept"},
        {"Append of a buffer", [&](ZStringBase& s) { s.Append(other); }, "kept"},
        {"Append of itself",
         [](ZStringBase& s) {
             s.Append("xxx");
             s.Append(s);  // 14 characters: still inline
             s.Append(s);
         },
         "keptxxxkeptxxx"},
        {"AppendChar when full",
         [](ZStringBase& s) {
             s.Append("01234567890");
             s.AppendChar('!');
         },
         "kept01234567890"},
        {"AppendFormat", [&](ZStringBase& s) { s.AppendFormat("%s", sLong.c_str()); }, "kept"},
        {"Format empties the text first", [&](ZStringBase& s) { s.Format("%s", sLong.c_str()); }, ""},
    };
    for (const Case& c : cases) {
        NoGrowthText s;
        s.Assign("kept");
        c.change(s);
        EXPECT_STREQ(c.szResult, s.GetData()) << c.szName;
        EXPECT_EQ((int)strlen(c.szResult) + 1, s.GetSize()) << c.szName;
    }
}

// Sizes that a 32-bit process cannot hold in one block; those counted past 31 bits none at all.
TEST(HostileString, GrowthPastTheAddressSpaceIsRefused)
{
    const bool b32 = sizeof(void*) == 4;
    for (bool bHeap : {false, true}) {
        const char* szText = bHeap ? "a text that lives on the heap already" : "inline";
        ZStringBuffer<16> s(szText);
        const int nCapacity = s.GetCapacity();
        struct Case
        {
            const char* szName;
            std::function<bool(ZStringBase&)> change;  // true: the room was had
            bool bRefusedEverywhere;
        };
        const Case cases[] = {
            {"Reserve of 2 GB", [](ZStringBase& s) { return s.Reserve(0x7FFFFFFF); }, false},
            {"Assign with a count of 2 GB - 2",
             [](ZStringBase& s) { return s.Assign("ab", 0x7FFFFFFE).GetLength() == 2; }, false},
            {"Assign with a count of 2 GB - 1",
             [](ZStringBase& s) { return s.Assign("ab", 0x7FFFFFFF).GetLength() == 2; }, true},
        };
        for (const Case& c : cases) {
            ZStringBuffer<16> t(s);
            bool bHad = c.change(t);
            if (c.bRefusedEverywhere || b32) {
                EXPECT_FALSE(bHad) << c.szName << (bHeap ? ", heap" : ", inline");
                EXPECT_STREQ(szText, t.GetData()) << c.szName;
                EXPECT_EQ(nCapacity, t.GetCapacity()) << c.szName;
            }
            t.Append("+");  // still a working buffer
            EXPECT_EQ('+', t.GetData()[t.GetLength() - 1]) << c.szName;
        }
    }
}

TEST(HostileMemoryBuffer, GrowthPastThirtyTwoBitsFailsAndKeepsTheBytes)
{
    ZMemoryBuffer buffer;
    ASSERT_NE(buffer.Append("abcd", 4), ZMemoryBuffer::NO_ROOM);
    EXPECT_FALSE(buffer.Reserve(0xFFFFFFFFu - 2));
    EXPECT_EQ(nullptr, buffer.AppendSpace(0xFFFFFFFFu - 4));
    EXPECT_EQ(ZMemoryBuffer::NO_ROOM, buffer.Append("x", 0xFFFFFFFFu - 3));
    EXPECT_EQ(ZMemoryBuffer::NO_ROOM, buffer.AppendSpaceOffset(0xFFFFFFFFu));
    ASSERT_EQ(4u, buffer.GetSize());
    EXPECT_EQ(0, memcmp(buffer.GetData(), "abcd", 4));
    EXPECT_TRUE(buffer.AppendByte('e'));
    EXPECT_EQ(5u, buffer.GetSize());
}

namespace
{

std::string U32(uint32_t n)
{
    return std::string((const char*)&n, 4);
}

std::string IndexRecord(const std::string& name, uint32_t nSize, uint32_t nRemoved = 0)
{
    return U32(ZFileCatalog::RECORD_MAGIC) + U32((uint32_t)name.size()) + U32(nSize) + U32(nRemoved) +
        std::string(8, '\x11') + name;
}

std::string Blob(uint32_t nSize, char cFill)
{
    return U32(nSize) + std::string(nSize - 4, cFill);
}

class HostileCatalog : public ::testing::Test
{
protected:
    std::string Path(const char* szSuffix) const { return std::string(m_Folder.GetData()) + "/bank5" + szSuffix; }
    void Put(const char* szSuffix, const std::string& bytes) const
    {
        ASSERT_TRUE(WriteBufferToFile(Path(szSuffix).c_str(), bytes.data(), bytes.size()));
    }
    std::string Read(ZFileCatalog& catalog, const char* szName)
    {
        const void* p = nullptr;
        int32_t n = 0;
        if (!catalog.Read(szName, &p, &n))
            return "<missing>";
        return std::string((const char*)p, n);
    }
    ivltest::TempFolder m_Temp;
    const ZStringBuffer<256> m_Folder{m_Temp.Path().c_str()};
};

}  // namespace

// A record whose name holds a NUL byte cannot be saved under its name; it costs that record
// only, however often the catalog is opened and saved (main pair or delta pair).
TEST_F(HostileCatalog, NameWithNulCostsOnlyThatRecord)
{
    struct Case
    {
        const char* szWhere;
        std::string badName;
    };
    const Case cases[] = {
        {"_delta", std::string("\0x.bin", 6)},
        {"_delta", std::string("a\0b.bin", 7)},
        {"", std::string("\0x.bin", 6)},
    };
    for (const Case& c : cases) {
        const std::string good = Blob(8, 'g');
        const std::string bad = Blob(12, 'b');
        const std::string later = Blob(6, 'l');
        std::string index = IndexRecord("good.bin", 8) + IndexRecord(c.badName, 12) + IndexRecord("later.bin", 6);
        std::string data = good + bad + later;
        if (std::string(c.szWhere).empty()) {
            Put(".idx", index);
            Put(".bin", data);
        } else {
            Put(".idx", IndexRecord("main.bin", 5));
            Put(".bin", Blob(5, 'm'));
            Put("_delta.idx", index);
            Put("_delta.bin", data);
        }
        for (int nOpen = 0; nOpen < 3; ++nOpen) {
            ZFileCatalog catalog;
            EXPECT_TRUE(catalog.Open(m_Folder.GetData(), "bank5")) << c.szWhere << " open " << nOpen;
            EXPECT_EQ(good, Read(catalog, "good.bin")) << c.szWhere << " open " << nOpen;
            EXPECT_EQ(later, Read(catalog, "later.bin")) << c.szWhere << " open " << nOpen;
            EXPECT_EQ("<missing>", Read(catalog, "")) << c.szWhere;
            EXPECT_EQ("<missing>", Read(catalog, "a")) << c.szWhere;
        }
        for (const char* s : {".idx", ".bin", "_delta.idx", "_delta.bin"})
            File::Delete(Path(s).c_str());
    }
}
