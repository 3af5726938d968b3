#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/containers/zstringbuffer.h"
#include "common/system/zwin.h"

static_assert(sizeof(void*) != 4 || sizeof(ZStringBuffer<16>) == 32, "32-byte array elements");
static_assert(sizeof(void*) != 4 || sizeof(ZStringRef) == 16, "16-byte string reference");

namespace
{

template <typename T>
bool DataIsInline(const T& s)
{
    const char* p = s.GetData();
    const char* pObj = reinterpret_cast<const char*>(&s);
    return p >= pObj && p < pObj + sizeof(T);
}

TEST(StringBuffer, NewBufferIsEmptyAndInline)
{
    ZStringBuffer<16> s;
    EXPECT_EQ(0, s.GetLength());
    EXPECT_EQ(1, s.GetSize());
    EXPECT_EQ(0, s.GetCapacity());
    EXPECT_FALSE(s.IsHeap());
    EXPECT_TRUE(DataIsInline(s));
    EXPECT_STREQ("", s.GetData());
}

TEST(StringBuffer, GrowthToPowersOfTwo)
{
    struct Case
    {
        int nChars;
        bool bHeap;
        int nCapacity;
    };
    const Case cases[] = {
        {0, false, 0}, {15, false, 0}, {16, true, 32}, {31, true, 32}, {32, true, 64}, {100, true, 128},
    };
    for (const Case& c : cases) {
        std::string text(c.nChars, 'x');
        ZStringBuffer<16> s(text.c_str());
        SCOPED_TRACE(c.nChars);
        EXPECT_EQ(c.bHeap, s.IsHeap());
        EXPECT_EQ(c.nCapacity, s.GetCapacity());
        EXPECT_EQ(c.nChars + 1, s.GetSize());
        EXPECT_EQ(text, s.GetData());
        EXPECT_EQ(!c.bHeap, DataIsInline(s));
    }
}

TEST(StringBuffer, GrowthOfOtherInlineSizes)
{
    ZStringBuffer<48> a(std::string(47, 'a').c_str());
    EXPECT_FALSE(a.IsHeap());
    a.AppendChar('b');
    EXPECT_EQ(64, a.GetCapacity());
    ZStringBuffer<256> b(std::string(256, 'b').c_str());
    EXPECT_EQ(512, b.GetCapacity());
    ZStringBuffer<4096> c(std::string(4095, 'c').c_str());
    EXPECT_FALSE(c.IsHeap());
    EXPECT_EQ(4096, c.GetSize());
}

TEST(StringBuffer, ReserveExactPowerAndNeverShrinks)
{
    ZStringBuffer<16> s;
    s.Reserve(32);
    EXPECT_EQ(32, s.GetCapacity());
    s.Assign("hello");
    const char* pBlock = s.GetData();
    s.Reserve(8);
    s.Reserve(20);
    EXPECT_EQ(32, s.GetCapacity());
    EXPECT_EQ(pBlock, s.GetData());
    EXPECT_STREQ("hello", s.GetData());
    s.Reserve(33);
    EXPECT_EQ(64, s.GetCapacity());
    EXPECT_STREQ("hello", s.GetData());  // text moves with the block
    s.Assign("a");
    EXPECT_TRUE(s.IsHeap());  // never goes back inline
    EXPECT_EQ(64, s.GetCapacity());
}

TEST(StringBuffer, AssignForms)
{
    struct Case
    {
        const char* szText;
        int nCount;
        const char* szExpected;
    };
    const Case cases[] = {
        {"ab", 3, "ab"},  // stops at the NUL
        {"abcdef", 3, "abc"}, {"abcdef", -1, "abcdef"}, {"abcdef", 0, ""}, {nullptr, -1, ""}, {nullptr, 5, ""},
    };
    for (const Case& c : cases) {
        ZStringBuffer<16> s("old text");
        s.Assign(c.szText, c.nCount);
        EXPECT_STREQ(c.szExpected, s.GetData());
        EXPECT_EQ((int)strlen(c.szExpected) + 1, s.GetSize());
    }
    ZStringBuffer<16> s("x");
    s.Assign(nullptr);
    EXPECT_STREQ("", s.GetData());
    EXPECT_EQ(1, s.GetSize());
}

TEST(StringBuffer, CopiesBetweenSizesAreDeep)
{
    ZStringBuffer<256> big("a text longer than sixteen bytes");
    ZStringBuffer<16> small(big);
    EXPECT_STREQ(big.GetData(), small.GetData());
    EXPECT_TRUE(small.IsHeap());
    EXPECT_NE(big.GetData(), small.GetData());
    ZStringBuffer<16> copy(small);
    EXPECT_NE(small.GetData(), copy.GetData());
    small.Assign("changed");
    EXPECT_STREQ("a text longer than sixteen bytes", copy.GetData());
    ZStringBuffer<4096> other;
    other = small;
    EXPECT_STREQ("changed", other.GetData());
    other = other;
    EXPECT_STREQ("changed", other.GetData());
    ZStringBuffer<16> fromInt(-42);
    EXPECT_STREQ("-42", fromInt.GetData());
    ZStringBuffer<256> formatted("%s=%d", "n", 7);
    EXPECT_STREQ("n=7", formatted.GetData());
    ZStringBuffer<16> percent("100%");  // one text alone is copied, not formatted
    EXPECT_STREQ("100%", percent.GetData());
}

TEST(StringBuffer, Latin1AndWideToUtf8)
{
    ZStringBuffer<16> s;
    s.AssignLatin1("\xE9");
    EXPECT_STREQ("\xC3\xA9", s.GetData());
    EXPECT_EQ(3, s.GetSize());
    s.AssignLatin1("a\xFF"
                   "b");
    EXPECT_STREQ("a\xC3\xBF"
                 "b",
                 s.GetData());

    s.AssignWide(L"\x20AC");
    EXPECT_STREQ("\xE2\x82\xAC", s.GetData());
    EXPECT_EQ(4, s.GetSize());
    // Surrogate halves are not combined: three bytes each.
    const wchar_t pair[] = {0xD83D, 0xDE00, 0};
    s.AssignWide(pair);
    EXPECT_STREQ("\xED\xA0\xBD\xED\xB8\x80", s.GetData());
    ZStringBuffer<16> w(L"abc");
    EXPECT_STREQ("abc", w.GetData());
}

TEST(StringBuffer, Find)
{
    ZStringBuffer<16> s("a,b,c");
    struct Case
    {
        char c;
        int nStart;
        int nExpected;
    };
    const Case cases[] = {
        {',', 0, 1},    {',', 1, 1},  {',', 2, 3}, {',', 4, -1},
        {'a', 1, -1},   {'x', 0, -1}, {'c', 4, 4}, {'x', 6, -1},  // start equal to the size
        {'c', 100, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.nExpected, s.Find(c.c, c.nStart)) << c.c << " from " << c.nStart;
    EXPECT_EQ(1, s.Find(','));
    EXPECT_EQ(-1, s.Find('z'));
    EXPECT_EQ(3, s.ReverseFind(','));
    EXPECT_EQ(-1, s.ReverseFind('z'));
}

TEST(StringBuffer, Comparisons)
{
    ZStringBuffer<16> a("apple"), b("banana"), a2("apple");
    ZStringBuffer<256> longA("apple");
    EXPECT_TRUE(a == a2);
    EXPECT_TRUE(a == longA);
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
    EXPECT_FALSE(a < a2);
    EXPECT_TRUE(a <= "apple");
    EXPECT_TRUE(a <= "b");
    EXPECT_FALSE(b <= "apple");
    EXPECT_TRUE(a == "apple");
    EXPECT_TRUE(a != "Apple");
    EXPECT_TRUE(a.EqualsNoCase("APPLE"));
    EXPECT_FALSE(a.EqualsNoCase("APPLES"));
    EXPECT_TRUE(b.EndsWith("ana"));
    EXPECT_FALSE(b.EndsWith("xbanana"));
}

TEST(StringBuffer, ToIntAndToFloat)
{
    ZStringBuffer<16> s("12 -34 2.5");
    EXPECT_EQ(12, s.ToInt());
    EXPECT_EQ(-34, s.ToInt(3));
    EXPECT_DOUBLE_EQ(2.5, s.ToFloat(7));
    EXPECT_EQ(0, s.ToInt(s.GetLength()));      // the empty tail
    EXPECT_EQ(0, s.ToInt(s.GetLength() + 1));  // past it: not read
    EXPECT_DOUBLE_EQ(0.0, s.ToFloat(s.GetLength() + 1));
}

TEST(StringBuffer, Scan)
{
    ZStringBuffer<16> s("7 x 9");
    int a = 0, b = 0;
    char c = 0;
    EXPECT_EQ(3, s.Scan("%d %c %d", &a, &c, &b));
    EXPECT_EQ(7, a);
    EXPECT_EQ('x', c);
    EXPECT_EQ(9, b);
}

TEST(StringBuffer, SubString)
{
    ZStringBuffer<16> s("hello world");
    EXPECT_STREQ("world", s.SubString(6, -1).GetData());
    EXPECT_STREQ("hello", s.SubString(0, 5).GetData());
    EXPECT_STREQ("", s.SubString(11, 3).GetData());
    EXPECT_STREQ("ld", s.SubString(9, 10).GetData());
}

TEST(StringBuffer, AppendAndOperators)
{
    ZStringBuffer<16> s("abc");
    s.Append("defghijklmnop");  // crosses the inline size
    EXPECT_STREQ("abcdefghijklmnop", s.GetData());
    EXPECT_EQ(17, s.GetSize());
    EXPECT_EQ(32, s.GetCapacity());
    s.AppendChar('!');
    EXPECT_STREQ("abcdefghijklmnop!", s.GetData());
    s += ZStringBuffer<256>("?");
    EXPECT_EQ(19, s.GetSize());
    ZStringBuffer<16> t = ZStringBuffer<16>("x") + "y" + ZStringBuffer<16>("z");
    EXPECT_STREQ("xyz", t.GetData());
    s.Append(static_cast<const char*>(nullptr));
    EXPECT_EQ(19, s.GetSize());
}

TEST(StringBuffer, AppendOwnTextSurvivesReallocation)
{
    ZStringBuffer<16> s("0123456789");
    s.Append(s.GetData());  // grows from inline to heap while reading itself
    EXPECT_STREQ("01234567890123456789", s.GetData());
    s.Append(s);
    EXPECT_STREQ("0123456789012345678901234567890123456789", s.GetData());
    s.Append(s.GetData() + 38);
    EXPECT_STREQ("012345678901234567890123456789012345678989", s.GetData());
    s.Assign(s.GetData() + 30);
    EXPECT_STREQ("012345678989", s.GetData());
    s.Assign(s.GetData() + 2, 3);
    EXPECT_STREQ("234", s.GetData());
}

TEST(StringBuffer, FormatDiscardsOldTextKeepsBlock)
{
    ZStringBuffer<16> s("abc");
    s.Format("%d", 5);
    EXPECT_STREQ("5", s.GetData());
    EXPECT_EQ(2, s.GetSize());

    ZStringBuffer<16> h("a text well past the inline size");
    int nCapacity = h.GetCapacity();
    h.Format("%s", "x");
    EXPECT_STREQ("x", h.GetData());
    EXPECT_EQ(nCapacity, h.GetCapacity());
    h.AppendFormat("-%03d-%s", 7, "y");
    EXPECT_STREQ("x-007-y", h.GetData());
    EXPECT_EQ(8, h.GetSize());

    // No upper bound on the formatted length in the buffer itself.
    std::string big(20000, 'q');
    ZStringBuffer<16> l;
    l.Format("[%s]", big.c_str());
    EXPECT_EQ(20002, l.GetLength());
    EXPECT_EQ(32768, l.GetCapacity());
    EXPECT_EQ(']', l.GetData()[20001]);
}

// A log line ends in exactly one "\n" of its own, whatever the format or its arguments carry;
// old text goes.
ZStringBase& FormatLine(ZStringBase& s, const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    s.FormatLineV(szFormat, args);
    va_end(args);
    return s;
}

TEST(StringBuffer, FormatLineEndsInOneNewline)
{
    struct Case
    {
        const char* szFormat;
        const char* szArg;
        const char* szLine;
    };
    const Case cases[] = {
        {"", "", "\n"},           {"a", "", "a\n"},       {"a\n", "", "a\n"},
        {"a\n\n", "", "a\n\n"}, {"%s", "x\n", "x\n"}, {"%s", "x", "x\n"},
    };
    for (const Case& c : cases) {
        ZStringBuffer<16> s("old text");
        EXPECT_STREQ(c.szLine, FormatLine(s, c.szFormat, c.szArg).GetData()) << c.szFormat << "|" << c.szArg;
    }
}

TEST(StringBuffer, FloatVectorsAndMatrices)
{
    ZStringBuffer<16> s;
    s.AppendFloat4(1, 2, 3, 4);
    EXPECT_STREQ("(1.000000,2.000000,3.000000,4.000000)", s.GetData());
    float m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = (float)i;
    ZStringBuffer<256> t;
    t.AppendMatrix4(m);
    EXPECT_STREQ("(0.000000,1.000000,2.000000,3.000000)(4.000000,5.000000,6.000000,7.000000)"
                 "(8.000000,9.000000,10.000000,11.000000)(12.000000,13.000000,14.000000,15.000000)",
                 t.GetData());
}

TEST(StringBuffer, ClearTruncateReplace)
{
    ZStringBuffer<16> s("a text past the inline size");
    const char* pBlock = s.GetData();
    EXPECT_EQ(pBlock, s.Clear());
    EXPECT_EQ(1, s.GetSize());
    EXPECT_TRUE(s.IsHeap());

    struct Case
    {
        int n;
        const char* szExpected;
    };
    const Case cases[] = {{2, "a/"}, {0, ""}, {-3, ""}, {5, "a/b/c"}, {9, "a/b/c"}, {4, "a/b/"}};
    for (const Case& c : cases) {
        ZStringBuffer<16> t("a/b/c");
        t.Truncate(c.n);
        EXPECT_STREQ(c.szExpected, t.GetData()) << c.n;
        EXPECT_EQ((int)strlen(c.szExpected) + 1, t.GetSize());
    }
    ZStringBuffer<16> p("a/b/c");
    p.Replace('/', '\\');
    EXPECT_STREQ("a\\b\\c", p.GetData());
}

TEST(StringBuffer, ToWide)
{
    ZStringBuffer<16> s("\xE2\x82\xAC x \xF0\x9F\x98\x80");
    ZWideText holder;
    const wchar_t* w = s.ToWide(holder);
    ASSERT_NE(nullptr, w);
    EXPECT_EQ(w, holder.Get());
    const wchar_t expected[] = {0x20AC, L' ', L'x', L' ', 0xD83D, 0xDE00, 0};
    EXPECT_EQ(0, wcscmp(expected, w));
}

TEST(StringBuffer, WideTextOfUtf8)
{
    const char* texts[] = {"\xE2\x82\xAC x \xF0\x9F\x98\x80", "", nullptr, "plain"};
    for (const char* szText : texts) {
        ZWideText wide(szText);
        ASSERT_NE(nullptr, wide.Get());
        ZStringBuffer<16> s(szText ? szText : "");
        ZWideText holder;
        EXPECT_EQ(0, wcscmp(s.ToWide(holder), wide.c_str())) << (szText ? szText : "(null)");
        // The round trip through UTF-16 gives the text back.
        ZStringBuffer<16> back;
        back.AssignUtf16(wide.c_str());
        EXPECT_STREQ(s.GetData(), back.GetData());
        ZWideText moved(static_cast<ZWideText&&>(wide));
        EXPECT_EQ(nullptr, wide.Get());
        wchar_t* pOwned = moved.Detach();
        EXPECT_EQ(nullptr, moved.Get());
        EXPECT_STREQ(L"", moved.c_str());
        free(pOwned);
    }
}

TEST(StringBuffer, FixedFormStaysInline)
{
    ZStringBuffer<512, 0> s;
    std::string text(510, 'p');
    s.Assign(text.c_str());
    EXPECT_FALSE(s.IsHeap());
    EXPECT_EQ(0, s.GetCapacity());
    EXPECT_TRUE(DataIsInline(s));
    EXPECT_EQ(text, s.GetData());
}

TEST(StringRef, BorrowsTextWithoutCopy)
{
    static const char szText[] = "borrowed";
    ZStringRef r(szText);
    EXPECT_EQ(szText, r.GetData());
    EXPECT_EQ(8, r.GetLength());
    EXPECT_EQ(-9, r.GetCapacity());
    EXPECT_FALSE(r.IsHeap());
    ZStringRef r2(r);
    EXPECT_TRUE(r2 == r);
    EXPECT_TRUE(ZStringRef("a") < ZStringRef("b"));
    ZStringBuffer<16> owned(r);  // a copy owns its text
    EXPECT_NE(szText, owned.GetData());
    EXPECT_STREQ("borrowed", owned.GetData());
}

TEST(LogText, LevelLetterAndLimit)
{
    EXPECT_STREQ("ax=1", ZLogText("x=%d", 1).GetData());
    EXPECT_STREQ("cx", ZLogTextLevel(2, "%s", "x").GetData());
    EXPECT_STREQ("dfail", ZLogTextLevel(3, "fail").GetData());

    std::string big(9000, 'z');
    ZStringBuffer<16> s = ZLogText("%s", big.c_str());
    EXPECT_EQ(8192, s.GetLength());  // the letter and 8191 characters
    EXPECT_EQ('a', s.GetData()[0]);
    EXPECT_EQ(std::string(8191, 'z'), s.GetData() + 1);
}

}  // namespace

namespace
{

// Writes that the buffer cannot hold stop the process instead of overrunning memory.
// The dying child skips the debugger that Wine would start for the crash.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS*)
{
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}
void QuietCrash()
{
    SetUnhandledExceptionFilter(EndOnCrash);
}

void FillFixedToItsSize()
{
    QuietCrash();
    ZStringBuffer<512, 0> s;
    s.Assign(std::string(511, 'x').c_str());
}

void AppendToBorrowed()
{
    QuietCrash();
    ZStringRef r("borrowed");
    r.Append("more");
}

void ClearBorrowed()
{
    QuietCrash();
    ZStringRef r("borrowed");
    r.Clear();
}

TEST(StringBufferDeathTest, WritesOutsideTheContractStop)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(FillFixedToItsSize(), "");
    EXPECT_DEATH(AppendToBorrowed(), "");
    EXPECT_DEATH(ClearBorrowed(), "");
}

}  // namespace
