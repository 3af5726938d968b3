#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/containers/zxml.h"
#include "common/stream/streams.h"

namespace
{

ZXmlElement* ParseRoot(ZXmlDocument& doc, const std::string& text)
{
    doc.Parse(text.data(), (int)text.size());
    return ZXmlNodeList::First(doc.m_Elements);
}

int CountChildren(const ZXmlNodeList& list)
{
    ZList<ZXmlElement*> all;
    return ZXmlNodeList::All(list, all);
}

struct TextCase
{
    const char* m_szXml;
    const char* m_szText;
};

// The root's text after parsing: entity decoding, trimming, CDATA and "last text wins".
TEST(XmlText, DecodesEntitiesAndKeepsTheLastText)
{
    const TextCase cases[] = {
        {"<a>x &amp; y &#65;&#x42; AT&T</a>", "x & y AB ATT"},
        {"<a>&apos;&gt;&lt;&quot;</a>", "'><\""},
        {"<a>  hello  </a>", "hello"},
        {"<a>\r\n\thello\r\n</a>", "hello"},
        {"<a>one<b/>two</a>", "two"},
        {"<a><![CDATA[<raw> &amp;]]></a>", "<raw> &amp;"},
        {"<a>one<![CDATA[two]] ></a>", "two"},
        {"<a>&ampx &gx &lx &qx</a>", "&ampx &gx &lx &qx"},  // known first letters keep the '&'
        {"<a>&b &&amp; &</a>", "b & "},                     // other '&' are dropped
        {"<a>&#;&#x;z</a>", "z"},
        {"<a>&#65x</a>", "x"},    // digits without ';' are dropped
        {"<a>&#x4A;</a>", "A;"},  // upper-case hex ends the digits
        {"<a>&#X41;</a>", "X41;"},
        {"<a>&#0;k</a>", "k"},
        {"<a>&#233;</a>", "\xC3\xA9"},
        {"<a>&#x20ac;</a>", "\xE2\x82\xAC"},
        {"<a>&#x1f600;</a>", "\xF0\x9F\x98\x80"},
        {"<a>&#x200000;</a>", "\xF8\x88\x80\x80\x80"},
        {"<a>&#x7fffffff;</a>", "\xFD\xBF\xBF\xBF\xBF\xBF"},
        {"<a>&#x80000000;&#99999999999999999999;ok</a>", "ok"},  // beyond UTF-8: nothing
        {"<a>no end", ""},                                       // data without a following '<' is dropped
        {"<a><!-- c -->t<!-- d --></a>", "t"},
    };
    for (const TextCase& c : cases) {
        ZXmlDocument doc;
        ZXmlElement* pRoot = ParseRoot(doc, c.m_szXml);
        ASSERT_NE(pRoot, nullptr) << c.m_szXml;
        EXPECT_STREQ(pRoot->m_Text.GetData(), c.m_szText) << c.m_szXml;
    }
}

TEST(XmlStructure, FindsChildrenAndAttributesByExactName)
{
    ZXmlDocument doc;
    ZXmlElement* pRoot = ParseRoot(doc, "<root><a x=\"1\">t</a><a x=\"2\"/><A/><b k=\"v\" k=\"w\"/></root>");
    ASSERT_NE(pRoot, nullptr);
    ZList<ZXmlElement*> found;
    EXPECT_EQ(ZXmlNodeList::FindAll(pRoot->m_Children, found, "a"), 2);
    ASSERT_EQ(found.Size(), 2);
    ZXmlElement* pFirst = found.Front();
    EXPECT_STREQ(pFirst->m_Text.GetData(), "t");
    ASSERT_NE(pFirst->FindAttribute("x"), nullptr);
    EXPECT_STREQ(pFirst->FindAttribute("x")->Value().GetData(), "1");
    EXPECT_STREQ(found.Back()->FindAttribute("x")->Value().GetData(), "2");
    EXPECT_EQ(pFirst->FindAttribute("X"), nullptr);

    EXPECT_EQ(ZXmlNodeList::Find(pRoot->m_Children, "a"), pFirst);
    EXPECT_STREQ(ZXmlNodeList::Find(pRoot->m_Children, "A")->m_Name.GetData(), "A");
    EXPECT_EQ(ZXmlNodeList::Find(pRoot->m_Children, "c"), nullptr);
    // Duplicate attribute names: the first wins.
    EXPECT_STREQ(ZXmlNodeList::Find(pRoot->m_Children, "b")->FindAttribute("k")->Value().GetData(), "v");
    EXPECT_EQ(CountChildren(pRoot->m_Children), 4);
    // Siblings link both ways.
    EXPECT_EQ(pFirst->m_pNext->m_pPrev, pFirst);
    EXPECT_EQ(pFirst->m_pDocument, &doc);

    ZXmlDocument upper;
    ZXmlElement* pUpper = ParseRoot(upper, "<A/>");
    EXPECT_EQ(ZXmlNodeList::Find(upper.m_Elements, "a"), nullptr);
    EXPECT_EQ(ZXmlNodeList::Find(upper.m_Elements, "A"), pUpper);
}

struct ShapeCase
{
    const char* m_szXml;
    const char* m_szShape;  // top-level elements and their children, as Shape() prints them
};

// Names of the elements as nested lists: "r(a,c)".
std::string Shape(const ZXmlNodeList& list)
{
    std::string s;
    for (ZXmlElement* e = list.m_pFirst; e; e = e->m_pNext) {
        if (!s.empty())
            s += ",";
        s += e->m_Name.GetData();
        if (e->m_Children.m_pFirst)
            s += "(" + Shape(e->m_Children) + ")";
    }
    return s;
}

TEST(XmlStructure, ForgivesMalformedMarkup)
{
    const ShapeCase cases[] = {
        {"<r><a></b><c/></r>", "r(a,c)"},  // a mismatched closing tag closes the current element
        {"<?xml version=\"1.0\"?>\n<!-- head -->\n<r/>", "r"},
        {"stray <r/> text <s></s>", "r,s"},
        {"<!DOCTYPE x><r/>", "!DOCTYPE(r)"},  // read as an element that is never closed
        {"<r><!-- <x/> --><y/></r>", "r(y)"},
        {"<r><!-- never closed <x/>", "r"},
        {"<!-- never closed <x/>", ""},
        {"<r><a><b></r>", "r(a(b))"},
        {"<r><![CDATA[open <x/>", "r(![CDATA[open)"},  // no "]]": read as a child element
        {"<r>< ></r>", "r()"},                         // a nameless child stays in the list
        {"< r >< s / ></ r >", "r(s)"},
        {"<r\n/><s\t/>", "r,s"},
        {"<r", "r"},
        {"</r><s/>", "s"},
    };
    for (const ShapeCase& c : cases) {
        ZXmlDocument doc;
        doc.Parse(c.m_szXml, (int)strlen(c.m_szXml));
        EXPECT_EQ(Shape(doc.m_Elements), c.m_szShape) << c.m_szXml;
    }
}

TEST(XmlStructure, ReadsAttributeValuesRaw)
{
    ZXmlDocument doc;
    ZXmlElement* pRoot = ParseRoot(doc, "<r a=\"x &amp; y\" b = \"2\" c d=\"\"><s e='1' f=\"2\"/></r>");
    ASSERT_NE(pRoot, nullptr);
    EXPECT_STREQ(pRoot->FindAttribute("a")->Value().GetData(), "x &amp; y");
    // A blank before '=' ends the attribute; the '=' then starts a nameless one.
    EXPECT_STREQ(pRoot->FindAttribute("b")->Value().GetData(), "");
    ASSERT_NE(pRoot->FindAttribute(""), nullptr);
    EXPECT_STREQ(pRoot->FindAttribute("")->Value().GetData(), "2");
    ASSERT_NE(pRoot->FindAttribute("c"), nullptr);
    EXPECT_STREQ(pRoot->FindAttribute("c")->Value().GetData(), "");
    EXPECT_STREQ(pRoot->FindAttribute("d")->Value().GetData(), "");
    // After '=' an apostrophe is skipped and the value runs to the next double quote.
    ZXmlElement* pChild = ZXmlNodeList::First(pRoot->m_Children);
    ASSERT_NE(pChild, nullptr);
    EXPECT_STREQ(pChild->FindAttribute("e")->Value().GetData(), "1' f=");
}

// Names, values and texts at their limits: below the limit they are kept, at it the parse
// is cut short.
TEST(XmlLimits, CutsOversizedPiecesShort)
{
    const std::string name1023(1023, 'n');
    const std::string name1024(1024, 'n');
    {
        ZXmlDocument doc;
        ZXmlElement* pRoot = ParseRoot(doc, "<" + name1023 + "/>");
        ASSERT_NE(pRoot, nullptr);
        EXPECT_EQ(pRoot->m_Name.GetLength(), 1023);
    }
    {
        ZXmlDocument doc;
        ParseRoot(doc, "<" + name1024 + "/><ok/>");
        EXPECT_EQ(Shape(doc.m_Elements), "ok");
    }
    {
        ZXmlDocument doc;
        ZXmlElement* pRoot = ParseRoot(doc, "<r a=\"" + name1023 + "\" b=\"" + name1024 + "\"/>");
        ASSERT_NE(pRoot, nullptr);
        EXPECT_EQ(pRoot->FindAttribute("a")->Value().GetLength(), 1023);
        ASSERT_NE(pRoot->FindAttribute("b"), nullptr);
        EXPECT_STREQ(pRoot->FindAttribute("b")->Value().GetData(), "");
    }
    const std::string text10239(10239, 't');
    const std::string text10240(10240, 't');
    const struct
    {
        std::string xml;
        std::string text;  // of the root: a text of 10240 bytes or more is dropped
        const char* szShape;  // null: not checked
    } texts[] = {
        {"<r>" + text10239 + "</r>", text10239, nullptr},
        {"<r><a/>" + text10240 + "<b/></r><s/>", "", "r(a),b,s"},
        {"<r><![CDATA[" + text10239 + "]]></r>", text10239, nullptr},
        {"<r><![CDATA[" + text10240 + "]]></r>", "", nullptr},
    };
    for (const auto& c : texts) {
        SCOPED_TRACE(c.xml.substr(0, 20));
        ZXmlDocument doc;
        ZXmlElement* pRoot = ParseRoot(doc, c.xml);
        ASSERT_NE(pRoot, nullptr);
        EXPECT_EQ(c.text, pRoot->m_Text.GetData());
        if (c.szShape) {
            EXPECT_EQ(Shape(doc.m_Elements), c.szShape);
        }
    }
    {
        ZXmlDocument doc;
        ZXmlElement* pRoot = ParseRoot(doc, "<r><a></" + name1024 + "><b/></r>");
        // The oversized closing name ends a before its '>', which r then reads as text.
        EXPECT_EQ(Shape(doc.m_Elements), "r(a,b)");
        EXPECT_STREQ(pRoot->m_Text.GetData(), ">");
    }
}

int Depth(const ZXmlElement* p)
{
    int n = 0;
    for (; p; p = p->m_Children.m_pFirst)
        ++n;
    return n;
}

TEST(XmlLimits, BoundsTheNestingDepth)
{
    // Hostile input: far deeper than any stack would take with unbounded recursion.
    std::string deep;
    for (int i = 0; i < 200000; ++i)
        deep += "<a>";
    deep += "<after/>";
    ZXmlDocument doc;
    ZXmlElement* pRoot = ParseRoot(doc, deep);
    ASSERT_NE(pRoot, nullptr);
    EXPECT_EQ(Depth(pRoot), (int)ZXmlDocument::MAX_DEPTH);
    EXPECT_EQ(pRoot->m_pNext, nullptr);

    // Nesting up to the bound is read whole.
    std::string ok;
    for (int i = 0; i < ZXmlDocument::MAX_DEPTH; ++i)
        ok += "<a>";
    ok += "x";
    for (int i = 0; i < ZXmlDocument::MAX_DEPTH; ++i)
        ok += "</a>";
    ok += "<next/>";
    ZXmlDocument doc2;
    ZXmlElement* pRoot2 = ParseRoot(doc2, ok);
    EXPECT_EQ(Depth(pRoot2), (int)ZXmlDocument::MAX_DEPTH);
    EXPECT_NE(ZXmlNodeList::Find(doc2.m_Elements, "next"), nullptr);
}

TEST(XmlDocument, ParseAppendsAndLoadReadsAStream)
{
    ZXmlDocument doc;
    doc.Parse("<a/>", 4);
    doc.Parse("<b/>", 4);
    doc.Parse(nullptr, 0);
    EXPECT_EQ(Shape(doc.m_Elements), "a,b");

    const char szText[] = "<?xml version=\"1.0\"?><list><item id=\"7\">seven</item></list>";
    ZMemoryReader reader(szText, (uint32_t)strlen(szText));
    ZXmlDocument loaded;
    loaded.Load(&reader);
    ZXmlElement* pList = ZXmlNodeList::Find(loaded.m_Elements, "list");
    ASSERT_NE(pList, nullptr);
    ZXmlElement* pItem = ZXmlNodeList::Find(pList->m_Children, "item");
    ASSERT_NE(pItem, nullptr);
    EXPECT_STREQ(pItem->m_Text.GetData(), "seven");
    EXPECT_EQ(reader.GetRemaining(), 0);

    ZMemoryReader empty(szText, 0);
    ZXmlDocument none;
    none.Load(&empty);
    none.Load(nullptr);
    EXPECT_EQ(none.m_Elements.m_pFirst, nullptr);
}

TEST(XmlWriter, WritesIndentedTextWithoutEscaping)
{
    ZXmlDocument doc;
    EXPECT_STREQ(doc.ToText().GetData(), "<?xml version=\"1.0\"?>\n");

    ZXmlElement* pRoot = doc.NewElement("r", "t");
    doc.m_Elements.Append(pRoot);
    pRoot->AddAttribute("k", "v");
    pRoot->AddChild("c", "u");
    EXPECT_STREQ(doc.ToText().GetData(),
                 "<?xml version=\"1.0\"?>\n"
                 "<r k=\"v\" >\n"
                 "\tt\n"
                 "\t<c>u</c>\n"
                 "</r>\n");

    // Deeper levels, no text, several attributes, raw texts; only the first top-level element.
    ZXmlDocument doc2;
    ZXmlElement* pTop = doc2.NewElement("top", nullptr);
    doc2.m_Elements.Append(pTop);
    doc2.m_Elements.Append(doc2.NewElement("ignored", nullptr));
    ZXmlElement* pMid = pTop->AddChild("mid", nullptr);
    pMid->AddAttribute("a", "1");
    pMid->AddAttribute("b", "<&>");
    pMid->AddChild("leaf", "x & y");
    pMid->AddChild(nullptr, nullptr);
    const char* szExpected = "<?xml version=\"1.0\"?>\n"
                             "<top>\n"
                             "\t<mid a=\"1\"  b=\"<&>\" >\n"
                             "\t\t<leaf>x & y</leaf>\n"
                             "\t\t<></>\n"
                             "\t</mid>\n"
                             "</top>\n";
    EXPECT_STREQ(doc2.ToText().GetData(), szExpected);

    ZMemoryStream stream;
    doc2.Write(&stream);
    uint32_t nSize = 0;
    const char* pData = (const char*)stream.GetData(&nSize);
    EXPECT_EQ(std::string(pData, nSize), szExpected);
}

TEST(XmlWriter, WrittenTextParsesBackToTheSameTree)
{
    const char* szXml =
        "<cfg v=\"2\"><lang id=\"en\" file=\"a.xml\">English</lang><lang id=\"de\"/><x><y>z</y></x></cfg>";
    ZXmlDocument doc;
    doc.Parse(szXml, (int)strlen(szXml));
    ZStringBuffer<16> text = doc.ToText();
    ZXmlDocument again;
    again.Parse(text.GetData(), text.GetLength());
    EXPECT_STREQ(again.ToText().GetData(), text.GetData());
    EXPECT_EQ(Shape(again.m_Elements), "cfg(lang,lang,x(y))");
}

TEST(XmlDocument, CopiesElementsShallowAndDeep)
{
    ZXmlDocument source;
    ZXmlElement* pRoot = ParseRoot(source, "<r a=\"1\">t<c b=\"2\"><g/></c></r>");
    ASSERT_NE(pRoot, nullptr);

    ZXmlDocument target;
    ZXmlElement* pShallow = target.CopyElement(pRoot, false);
    EXPECT_EQ(pShallow->m_pDocument, &target);
    EXPECT_STREQ(pShallow->m_Name.GetData(), "r");
    EXPECT_STREQ(pShallow->m_Text.GetData(), "t");
    EXPECT_STREQ(pShallow->FindAttribute("a")->Value().GetData(), "1");
    EXPECT_EQ(pShallow->m_Children.m_pFirst, nullptr);
    EXPECT_EQ(target.m_Elements.m_pFirst, nullptr);  // in no list

    ZXmlElement* pDeep = target.AppendCopy(&source);
    ASSERT_NE(pDeep, nullptr);
    EXPECT_EQ(target.m_Elements.m_pFirst, pDeep);
    EXPECT_NE(pDeep, pRoot);
    EXPECT_EQ(Shape(target.m_Elements), "r(c(g))");
    EXPECT_STREQ(pDeep->m_Children.m_pFirst->FindAttribute("b")->Value().GetData(), "2");
    EXPECT_EQ(pDeep->m_Children.m_pFirst->m_pDocument, &target);

    target.AppendCopy(source).AppendCopy(source);
    EXPECT_EQ(Shape(target.m_Elements), "r(c(g)),r(c(g)),r(c(g))");
    ZXmlDocument empty;
    EXPECT_EQ(target.AppendCopy(&empty), nullptr);

    // Copying an element into its own children copies what it held before.
    pDeep->AddChildCopy(pDeep, true);
    EXPECT_EQ(Shape(pDeep->m_Children), "c(g),r(c(g))");
    pDeep->AddAttributeCopy(pRoot->FindAttribute("a"));
    EXPECT_EQ(pDeep->m_Attributes.m_pLast->m_pPrev, pDeep->m_Attributes.m_pFirst);
}

}  // namespace

namespace
{

// Random texts made of markup pieces: the parser must end on each without crashing, and
// nesting stays within the bound.
TEST(XmlLimits, SurvivesRandomMarkup)
{
    static const char* const kPieces[] = {
        "<", ">",  "/",  "?", "=", "\"",      "'",  "&",   "&#",   "&#x",  ";",     "!--",   "-->", "<![CDATA[", "]]",
        " ", "\t", "\n", "a", "b", "x=\"1\"", "</", "<a>", "</a>", "<b/>", "&amp;", "&#65;", "9",   "f",
    };
    uint32_t nSeed = 12345;
    auto next = [&nSeed]() {
        nSeed = nSeed * 1103515245u + 12345u;
        return (nSeed >> 16) & 0x7FFF;
    };
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        int nPieces = 1 + (int)(next() % 200);
        for (int j = 0; j < nPieces; ++j)
            text += kPieces[next() % (sizeof(kPieces) / sizeof(kPieces[0]))];
        ZXmlDocument doc;
        // Parse a copy without a terminator so that reads past the end would show.
        std::string copy = text;
        doc.Parse(copy.data(), (int)copy.size());
        for (ZXmlElement* p = doc.m_Elements.m_pFirst; p; p = p->m_pNext)
            EXPECT_LE(Depth(p), (int)ZXmlDocument::MAX_DEPTH);
        ZStringBuffer<16> out = doc.ToText();
        EXPECT_GE(out.GetLength(), 22) << text;
    }
}

}  // namespace
