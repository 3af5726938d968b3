#include <gtest/gtest.h>
#include "testhelpers.h"

#include <string>
#include <vector>

#include "common/containers/zstringarray.h"

namespace
{
std::vector<std::string> Texts(const ZStringArray& a)
{
    std::vector<std::string> v;
    for (const auto& s : a)
        v.push_back(s.GetData());
    return v;
}

ZStringArray Make(const std::vector<std::string>& texts, unsigned nGrowMin = 0)
{
    ZStringArray a(nGrowMin);
    for (const auto& t : texts)
        a.Add(t.c_str());
    return a;
}
}

TEST(LinearArray, GrowCapacity)
{
    struct Case
    {
        unsigned nCount, nGrowMin, nExpected;
    } cases[] = {
        {0, 0, 1},   {1, 0, 2}, {2, 0, 4}, {4, 0, 7},  {7, 0, 11},  {11, 0, 17},
        {17, 0, 26}, {0, 8, 8}, {7, 8, 8}, {8, 8, 13}, {0, 32, 32}, {32, 32, 49},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ZArrayGrowCapacity(c.nCount, c.nGrowMin), c.nExpected) << c.nCount << " min " << c.nGrowMin;
}

TEST(LinearArray, CapacitiesTakenByPushBack)
{
    struct Case
    {
        unsigned nGrowMin;
        std::vector<unsigned> capacities;  // each capacity the array passes through for 30 pushes
    } cases[] = {
        {0, {1, 2, 4, 7, 11, 17, 26, 40}},
        {8, {8, 13, 20, 31}},
        {32, {32}},
    };
    for (const Case& c : cases) {
        ZLinearArray<int> a(c.nGrowMin);
        EXPECT_EQ(a.Begin(), nullptr) << "nothing allocated before the first element";
        EXPECT_EQ(a.GetCapacity(), 0u);
        std::vector<unsigned> seen;
        for (int i = 0; i < 30; ++i) {
            a.PushBack(i);
            if (seen.empty() || seen.back() != a.GetCapacity())
                seen.push_back(a.GetCapacity());
        }
        EXPECT_EQ(seen, c.capacities) << "minimum " << c.nGrowMin;
        for (int i = 0; i < 30; ++i)
            EXPECT_EQ(*a.At(unsigned(i)), i);
    }
}

// Megabyte elements: a capacity of 2^31 of them fits no address space, 32 or 64 bits.
TEST(LinearArray, GrowthThatCannotBeHadKeepsTheElements)
{
    struct Mega
    {
        char acBytes[1 << 20];
    };
    static Mega s_value;
    ZLinearArray<Mega> a(0x80000000u);
    EXPECT_EQ(nullptr, a.PushBack(s_value)) << "the first growth asks for the minimum";
    EXPECT_EQ(0u, a.Size());
    ASSERT_TRUE(a.SetCapacity(2, false));
    for (char c : {'a', 'b'}) {
        s_value.acBytes[0] = c;
        ASSERT_NE(nullptr, a.PushBack(s_value));
    }
    const Mega* pBlock = a.Begin();
    EXPECT_EQ(nullptr, a.PushBack(s_value));
    EXPECT_EQ(nullptr, a.PushBack(a[0])) << "an element of the full array itself";
    EXPECT_FALSE(a.SetCapacity(0xFFFFFFFFu, false));
    EXPECT_EQ(2u, a.Size());
    EXPECT_EQ(2u, a.GetCapacity());
    EXPECT_EQ(pBlock, a.Begin());
    EXPECT_EQ('a', a[0].acBytes[0]);
    EXPECT_EQ('b', a[1].acBytes[0]);
}

TEST(StringArray, ElementsSurviveGrowth)
{
    ZStringArray a;
    std::vector<std::string> expected;
    for (int i = 0; i < 50; ++i) {
        std::string t = (i % 2) ? std::to_string(i) : "a longer text on the heap, number " + std::to_string(i);
        a.Add(t.c_str());
        expected.push_back(t);
    }
    EXPECT_EQ(Texts(a), expected);
    EXPECT_EQ(a.Size(), 50u);
    EXPECT_STREQ(a[3].GetData(), "3");
}

// Growth frees the old block: a copy of one of the array's own elements must be taken first.
TEST(StringArray, PushBackOfOwnElementWhenFull)
{
    ZStringArray a;
    a.Add("first element, long enough for a heap block");
    a.Add("second");
    ASSERT_EQ(a.Size(), a.GetCapacity());
    a.PushBack(*a.At(0));
    ASSERT_EQ(a.Size(), 3u);
    EXPECT_STREQ(a.At(2)->GetData(), "first element, long enough for a heap block");
    a.Add(a.At(1)->GetData());
    EXPECT_STREQ(a.At(3)->GetData(), "second");
}

TEST(StringArray, SetCapacity)
{
    struct Case
    {
        unsigned n;
        bool bShrink;
        unsigned nCapacity;
        std::vector<std::string> texts;
    } cases[] = {
        {2, false, 8, {"a", "b", "c", "d", "e"}}, {8, true, 8, {"a", "b", "c", "d", "e"}},    {2, true, 2, {"a", "b"}},
        {5, true, 5, {"a", "b", "c", "d", "e"}},  {20, false, 20, {"a", "b", "c", "d", "e"}}, {0, true, 0, {}},
    };
    for (const Case& c : cases) {
        ZStringArray a = Make({"a", "b", "c", "d", "e"}, 8);
        ASSERT_EQ(a.GetCapacity(), 8u);
        const ZStringBuffer<16>* pBefore = a.Begin();
        a.SetCapacity(c.n, c.bShrink);
        EXPECT_EQ(a.GetCapacity(), c.nCapacity) << c.n << " " << c.bShrink;
        EXPECT_EQ(Texts(a), c.texts) << c.n << " " << c.bShrink;
        if (c.nCapacity == 8) {
            EXPECT_EQ(a.Begin(), pBefore) << "unchanged capacity keeps the block";
        }
        a.Add("z");
        EXPECT_STREQ(a.At(a.Size() - 1)->GetData(), "z");
    }
}

TEST(StringArray, ClearKeepsTheBlock)
{
    ZStringArray a = Make({"x", "y", "z"});
    unsigned nCapacity = a.GetCapacity();
    const ZStringBuffer<16>* pBlock = a.Begin();
    a.Clear();
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(a.Size(), 0u);
    EXPECT_EQ(a.GetCapacity(), nCapacity);
    a.Add("w");
    EXPECT_EQ(a.Begin(), pBlock);
}

TEST(StringArray, Erase)
{
    struct Case
    {
        unsigned nIndex;
        std::vector<std::string> after;
        const char* szAtResult;  // null: the result is the end
    } cases[] = {
        {0, {"b", "a long text that lives on the heap", "d"}, "b"},
        {1, {"a", "a long text that lives on the heap", "d"}, "a long text that lives on the heap"},
        {3, {"a", "b", "a long text that lives on the heap"}, nullptr},
    };
    for (const Case& c : cases) {
        ZStringArray a = Make({"a", "b", "a long text that lives on the heap", "d"});
        ZStringBuffer<16>* p = a.Erase(a.At(c.nIndex));
        EXPECT_EQ(p, a.Begin() + c.nIndex);
        EXPECT_EQ(Texts(a), c.after) << c.nIndex;
        if (c.szAtResult)
            EXPECT_STREQ(p->GetData(), c.szAtResult);
        else
            EXPECT_EQ(p, a.End());
    }
}

TEST(StringArray, Split)
{
    struct Case
    {
        const char* szText;
        char cSep;
        std::vector<std::string> pieces;
    } cases[] = {
        {"a,,b", ',', {"a", "", "b"}},
        {"a,b,", ',', {"a", "b"}},
        {"", ',', {}},
        {",a", ',', {"", "a"}},
        {",,", ',', {"", ""}},
        {"abc", ',', {"abc"}},
        {"host:8080", ':', {"host", "8080"}},
        {"one piece of text longer than sixteen;x", ';', {"one piece of text longer than sixteen", "x"}},
        {"abc", '\0', {"abc"}},
    };
    for (const Case& c : cases) {
        ZStringArray a;
        a.Split(c.szText, c.cSep);
        EXPECT_EQ(Texts(a), c.pieces) << "'" << c.szText << "'";
    }
    ZStringArray more = Make({"keep"});
    more.Split("x;y", ';');
    EXPECT_EQ(Texts(more), (std::vector<std::string>{"keep", "x", "y"}));
}

TEST(StringArray, Join)
{
    struct Case
    {
        std::vector<std::string> texts;
        std::string joined;
    } cases[] = {
        {{"x", "y"}, "x;y"},
        {{"x"}, "x"},
        {{}, ""},
        {{"", ""}, ";"},
        {{std::string(3000, 'a'), std::string(3000, 'b')}, std::string(3000, 'a') + ";" + std::string(3000, 'b')},
    };
    for (const Case& c : cases)
        EXPECT_EQ(std::string(Make(c.texts).Join(';').GetData()), c.joined);
}

TEST(StringArray, ArgumentAccess)
{
    struct Case
    {
        std::vector<std::string> tokens;
        int nCount;
        std::vector<std::string> args;  // GetArgText(-1), (0), (1), (2)
    } cases[] = {
        {{}, 0, {"", "", "", ""}},
        {{"prog"}, 0, {"", "", "", ""}},
        {{"prog", "/m"}, 1, {"", "/m", "", ""}},
        {{"prog", "/m", "en"}, 2, {"", "/m", "en", ""}},
    };
    for (const Case& c : cases) {
        ZStringArray a = Make(c.tokens);
        EXPECT_EQ(a.GetArgCount(), c.nCount);
        for (int i = -1; i <= 2; ++i)
            EXPECT_STREQ(a.GetArgText(i), c.args[size_t(i + 1)].c_str()) << c.tokens.size() << " tokens, arg " << i;
    }
}

TEST(StringArray, AssignmentCopiesTexts)
{
    ZStringArray a = Make({"one", "a second text that is long"}, 32);
    ZStringArray b = Make({"old", "old", "old"});
    b = a;
    EXPECT_EQ(Texts(b), Texts(a));
    a.At(0)->Assign("changed");
    EXPECT_STREQ(b.At(0)->GetData(), "one");
    b = b;
    EXPECT_EQ(Texts(b), (std::vector<std::string>{"one", "a second text that is long"}));
    ZStringArray c(a);
    EXPECT_EQ(Texts(c), Texts(a));
    EXPECT_EQ(c.GetGrowMin(), 32u);
}

// Outside a debugger a failed check logs its line and carries on.
TEST(LinearArray, BreachedPreconditionsAreLogged)
{
    std::vector<std::string> logged;
    ZStringArray a = Make({"x", "y"});
    {
        ivltest::LogCapture log;
        a.At(1);
        EXPECT_TRUE(log.Lines().empty());
        a.At(2);
        a.Erase(a.End());
        for (const ivltest::LoggedLine& line : log.Lines())
            logged.push_back(std::to_string(line.nLevel) + "|" + line.sCategory + "|" + line.sText);
    }

    ASSERT_EQ(logged.size(), 2u);
    char szThis[32];
    snprintf(szThis, sizeof(szThis), "this=0x%x", unsigned(uintptr_t(&a)));
    // The condition's source text as written in zarray.h.
    const char* expected[] = {"ZASSERT(nIndex < Size()), ", "ZASSERT(pErase >= m_pBegin && pErase < m_pEnd), "};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(logged[i].rfind("0|test|", 0), 0u) << logged[i];
        EXPECT_NE(logged[i].find("zarray.h("), std::string::npos) << logged[i];
        EXPECT_NE(logged[i].find(std::string(expected[i]) + szThis), std::string::npos) << logged[i];
    }
    EXPECT_EQ(a.Size(), 2u);
}
