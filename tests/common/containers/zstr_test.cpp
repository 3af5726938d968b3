#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common/containers/zstr.h"
#include "common/containers/zstringbuffer.h"

namespace
{

TEST(CStr, CopiesAndLengths)
{
    char buf[8];
    memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(buf, ZStrCopyN(buf, 1, "abc"));
    EXPECT_EQ(0, buf[0]);
    EXPECT_EQ('x', buf[1]);  // only the terminator is written
    EXPECT_EQ(nullptr, ZStrCopyN(buf, 0, "abc"));
    ZStrCopyN(buf, 3, "abc");
    EXPECT_STREQ("ab", buf);
    ZStrCopyN(buf, 8, "abc");
    EXPECT_STREQ("abc", buf);
    ZStrCat(buf, "de");
    EXPECT_STREQ("abcde", buf);
    EXPECT_EQ(5, ZStrLen(buf));
    EXPECT_EQ(3, ZWcsLen(L"abc"));

    wchar_t w[8];
    EXPECT_EQ(3, ZStrWiden(w, "a\xE9z"));
    EXPECT_EQ(0xE9, (int)w[1]);  // zero extension, not sign extension
    EXPECT_EQ(0, w[3]);
}

TEST(CStr, CompareResults)
{
    struct Case
    {
        const char* a;
        const char* b;
        int nExpected;
    };
    const Case cases[] = {
        {"abc", "abc", 0}, {"abc", "abd", -1}, {"abd", "abc", 1},
        {"ab", "abc", -1}, {"", "", 0},        {"\xE9", "a", 1},  // unsigned bytes
        {"a", "\xE9", -1}, {"b", "aaaa", 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.nExpected, ZStrCompare(c.a, c.b)) << c.a << " / " << c.b;
    EXPECT_EQ(1, ZWcsCompare(L"\xE000", L"a"));
    EXPECT_EQ(-1, ZWcsCompare(L"a", L"b"));
    EXPECT_EQ(0, ZWcsCompare(L"ab", L"ab"));
    EXPECT_EQ(0, ZMemCompare("ab", "cd", 0));
    EXPECT_EQ(-1, ZMemCompare("\x01", "\xFF", 1));
    EXPECT_EQ(1, ZMemCompare("b", "a", 1));
    EXPECT_EQ(0, ZStrICompare("HeLLo", "hello"));
    EXPECT_EQ(0, ZStrNICompare("HeLLo!", "hello?", 5));
    EXPECT_EQ(0, ZWcsICompare(L"ABC", L"abc"));
    EXPECT_EQ(0, ZMemICompare("ABC", "abc", 3));
}

TEST(CStr, FoldedWideCompare)
{
    EXPECT_EQ(0, ZWcsNICompareFold(L"ABc", L"abC", 3));
    EXPECT_EQ(0, ZWcsNICompareFold(L"abX", L"abY", 2));
    EXPECT_EQ(0, ZWcsNICompareFold(L"a", L"b", 0));
    EXPECT_EQ(0, ZWcsNICompareFold(L"a", L"b", -1));
    EXPECT_EQ((int)L'a' - (int)L'b', ZWcsNICompareFold(L"A", L"b", 1));
}

TEST(CStr, CharHelpers)
{
    EXPECT_TRUE(ZCharEqualNoCase('Q', 'q'));
    EXPECT_FALSE(ZCharEqualNoCase('[', '{'));  // only letters fold
    EXPECT_TRUE(ZCharLessNoCase('A', 'b'));
    EXPECT_FALSE(ZCharLessNoCase('b', 'A'));
    EXPECT_TRUE(ZCharLessNoCase('\xE9', 'a'));  // signed bytes
    EXPECT_EQ('a', ZCharToLower('A'));
    EXPECT_EQ('1', ZCharToLower('1'));
    EXPECT_EQ('\xC9', ZCharToLower('\xC9'));
    EXPECT_EQ('Z', ZCharToUpper('z'));
    EXPECT_EQ('{', ZCharToUpper('{'));
    EXPECT_TRUE(ZIsDigit('7'));
    EXPECT_FALSE(ZIsDigit('a'));
    EXPECT_TRUE(ZIsAlpha('a'));
    EXPECT_TRUE(ZIsAlnum('5'));
    EXPECT_TRUE(ZIsSpace('\t'));
    EXPECT_FALSE(ZIsSpace('x'));
}

TEST(CStr, PrefixAndSuffix)
{
    struct Case
    {
        const char* s;
        const char* affix;
        bool bStarts;
        bool bStartsNoCase;
        bool bEnds;
        int nEndsNoCase;
    };
    const Case cases[] = {
        {"abc", "abd", false, false, false, -1}, {"abc", "ab", true, true, false, 1},
        {"ab", "abc", false, false, false, 1},  // affix longer than the text
        {"abc", "", true, true, true, 0},        {"ABC", "ab", false, true, false, 1},
        {"abc", "bc", false, false, true, 0},    {"ABC", "bc", false, false, false, 0},
        {"c", "abc", false, false, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.s) + " / " + c.affix);
        EXPECT_EQ(c.bStarts, ZStrStartsWith(c.s, c.affix));
        EXPECT_EQ(c.bStartsNoCase, ZStrStartsWithNoCase(c.s, c.affix));
        EXPECT_EQ(c.bEnds, ZStrEndsWith(c.s, c.affix));
        int r = ZStrEndsWithNoCase(c.s, c.affix);
        EXPECT_EQ(c.nEndsNoCase == 0, r == 0);
    }
    EXPECT_EQ(1, ZStrEndsWithNoCase("c", "abc"));
    EXPECT_TRUE(ZWcsStartsWith(L"abc", L"ab"));
    EXPECT_FALSE(ZWcsStartsWith(L"ab", L"abc"));
    EXPECT_TRUE(ZWcsStartsWithNoCase(L"ABC", L"ab"));
    EXPECT_TRUE(ZWcsEndsWith(L"abc", L"bc"));
    EXPECT_FALSE(ZWcsEndsWith(L"c", L"abc"));
    EXPECT_EQ(0, ZWcsEndsWithNoCase(L"ABC", L"bc"));
    EXPECT_EQ(1, ZWcsEndsWithNoCase(L"c", L"abc"));
}

TEST(CStr, Searches)
{
    const char* s = "line1\nline2\n";
    EXPECT_EQ(s + 6, ZStrNextLine(s));
    EXPECT_EQ(s + 12, ZStrNextLine(s + 6));
    EXPECT_EQ(nullptr, ZStrNextLine("no newline"));
    EXPECT_EQ(s + 4, ZStrChr(s, '1'));
    EXPECT_EQ(s + 10, ZStrRChr(s, '2'));
    EXPECT_EQ(nullptr, ZStrChr(s, 'z'));

    struct Case
    {
        const char* text;
        int nLen;
        const char* pattern;
        int nExpected;
    };
    const Case cases[] = {
        {"Hello World", 11, "WORLD", 6},
        {"Hello World", 10, "WORLD", -1},  // cut by the length
        {"abc", 3, "abcd", -1},
        {"abc", 3, "", 0},
        {"aaab", 4, "AB", 2},
        {"abc", 3, "c", 2},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.nExpected, ZStrIFindN(c.text, c.nLen, c.pattern)) << c.text << " / " << c.pattern;
    EXPECT_EQ(6, ZStrIIndexOf("Hello World", "wor"));
    const char* h = "Hello World";
    EXPECT_EQ(h + 6, ZStrIStr(h, "wOr"));
    EXPECT_EQ(nullptr, ZStrIStr(h, "xyz"));

    const wchar_t* w = L"Hello World";
    EXPECT_EQ(6, ZWcsIIndexOf(w, L"WORLD"));
    EXPECT_EQ(-1, ZWcsIFindN(w, 10, L"WORLD"));
    EXPECT_EQ(w + 6, ZWcsIStr(w, L"world"));
    EXPECT_EQ(nullptr, ZWcsIStr(w, L"worlds"));
    EXPECT_EQ(w + 4, ZWcsChr(w, L'o'));
    EXPECT_EQ(w + 7, ZWcsRChr(w, L'o'));
}

TEST(CStr, Numbers)
{
    EXPECT_EQ(42, ZStrToInt("42abc"));
    EXPECT_EQ(-7, ZStrToInt("  -7"));
    EXPECT_EQ(10, ZStrToInt("010"));  // decimal, not octal
    EXPECT_DOUBLE_EQ(2.5, ZStrToFloat("2.5x"));
    EXPECT_DOUBLE_EQ(-0.25, ZWcsToFloat(L"-0.25"));
    char buf[16];
    EXPECT_STREQ("-123", ZIntToStr(-123, sizeof(buf), buf));
    char small[3];
    ZIntToStr(12345, sizeof(small), small);
    EXPECT_STREQ("", small);  // does not fit: no partial digits

    EXPECT_FLOAT_EQ(1.0f, ZPowF(5.0f, 0));
    EXPECT_FLOAT_EQ(1024.0f, ZPowF(2.0f, 10));
    EXPECT_FLOAT_EQ(0.125f, ZPowF(2.0f, -3));
    EXPECT_FLOAT_EQ(-27.0f, ZPowF(-3.0f, 3));
}

TEST(CStr, DoubleToText)
{
    struct Case
    {
        double d;
        const char* szExpected;  // exact text, or prefix when bPrefix
        bool bPrefix;
    };
    const double inf = std::numeric_limits<double>::infinity();
    // Digits past about seven significant ones come from single-precision powers of ten,
    // so finite values are checked by their leading digits.
    const Case cases[] = {
        {0.0, "0", false},
        {1.0, "1", true},
        {10.0, "10", true},
        {0.5, "0.5", true},
        {0.05, "0.05", true},
        {0.005, "0.005", true},
        {-2.0, "-2", true},
        {1.5, "1.5", true},
        {-123.0, "-123", true},
        {1234567.0, "1234567", true},
        {1e17, "inf", false},
        {-1e18, "-inf", false},
        {9.0e18, "inf", false},  // below 2^63
        {1e19, "nan", false},    // above 2^63
        {inf, "nan", false},
        {-inf, "-nan", false},
        {std::nan(""), "nan", false},
    };
    for (const Case& c : cases) {
        char buf[64];
        ZDoubleToText(c.d, buf, sizeof(buf));
        if (c.bPrefix) {
            size_t n = strlen(c.szExpected);
            EXPECT_EQ(0, strncmp(buf, c.szExpected, n)) << c.d << " gave " << buf;
            if (!strchr(c.szExpected, '.')) {
                EXPECT_TRUE(buf[n] == '.' || buf[n] == 0) << c.d << " gave " << buf;
            }
            EXPECT_EQ(strlen(buf), strspn(buf, "-0123456789.")) << c.d << " gave " << buf;
        } else {
            EXPECT_STREQ(c.szExpected, buf) << c.d;
        }
    }
    char tiny[4];
    ZDoubleToText(0.000123, tiny, sizeof(tiny));  // bounded by the size
    EXPECT_STREQ("0.0", tiny);
}

TEST(CStr, Scan)
{
    int a = 0, b = 0;
    EXPECT_EQ(2, ZStrScan("12 34", "%d %d", &a, &b));
    EXPECT_EQ(12, a);
    EXPECT_EQ(34, b);
    EXPECT_EQ(0, ZStrScan("%", "%%"));
    EXPECT_EQ(0, ZStrScan("12", "no conversions"));
    a = 0;
    EXPECT_EQ(1, ZStrScan("5% 9", "%d%% %*d", &a));  // %% and %* take no argument
    EXPECT_EQ(5, a);

    int v[12] = {};
    EXPECT_EQ(12,
              ZStrScan("1 2 3 4 5 6 7 8 9 10 11 12", "%d %d %d %d %d %d %d %d %d %d %d %d", &v[0], &v[1], &v[2], &v[3],
                       &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11]));
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(i + 1, v[i]);

    int w1 = 0;
    wchar_t ws[8] = {};
    EXPECT_EQ(2, ZWcsScan(L"77 word", L"%d %7ls", &w1, ws));
    EXPECT_EQ(77, w1);
    EXPECT_STREQ(L"word", ws);
}

TEST(CStr, Wildcards)
{
    struct Case
    {
        const char* text;
        const char* pattern;
        bool bMatch;
    };
    const Case cases[] = {
        {"file.txt", "*.txt", true},
        {"FILE.TXT", "*.txt", true},
        {"file.txt", "*.doc", false},
        {"anything", "", true},
        {"", "", true},
        {"file.txt", "*", true},
        {"file.txt", "file*", true},
        {"file.txt", "File.Txt", true},
        {"file.txt", "file.tx", false},
        {"file.txt", "f*e.t*t", true},
        {"file.txt", "x*", false},
        {"file.txt", "*le.*", true},
        {"file.txt", "*zz*", false},
        {"ab", "*abc*", false},
        {"a", "a**b", true},  // two '*' in a row match the rest
        {"short", "*longer.txt", false},
        {"data_001.bin", "data_*.bin", true},
        {"data_001.bin", "data_*.bix", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.bMatch, ZWildcardMatch(c.text, c.pattern)) << c.text << " ~ " << c.pattern;
        std::wstring wt(c.text, c.text + strlen(c.text)), wp(c.pattern, c.pattern + strlen(c.pattern));
        EXPECT_EQ(c.bMatch, ZWildcardMatchW(wt.c_str(), wp.c_str())) << c.text << " ~ " << c.pattern << " (wide)";
    }
    EXPECT_EQ(0, ZWildcardCompare("a.txt", "*.TXT"));
    EXPECT_EQ(1, ZWildcardCompare("t", "*.txt"));  // run longer than the rest
    EXPECT_EQ(-1, ZWildcardCompare("abc", "x*"));
}

TEST(Utf8, Encode)
{
    struct Case
    {
        uint32_t cp;
        const char* bytes;
        int n;
    };
    const Case cases[] = {
        {0x41, "\x41", 1},
        {0xE9, "\xC3\xA9", 2},
        {0x7FF, "\xDF\xBF", 2},
        {0x20AC, "\xE2\x82\xAC", 3},
        {0x1F600, "\xF0\x9F\x98\x80", 4},
        {0x200000, "\xF8\x88\x80\x80\x80", 5},
        {0x7FFFFFFF, "\xFD\xBF\xBF\xBF\xBF\xBF", 6},
    };
    for (const Case& c : cases) {
        char out[8] = {};
        EXPECT_EQ(c.n, ZUtf8Encode(out, c.cp)) << std::hex << c.cp;
        EXPECT_EQ(0, memcmp(out, c.bytes, (size_t)c.n)) << std::hex << c.cp;
    }
    char out[8];
    EXPECT_EQ(0, ZUtf8Encode(out, 0x80000000u));
}

TEST(Utf8, Decode)
{
    struct Case
    {
        const char* bytes;
        uint32_t cp;
        int n;
    };
    const Case cases[] = {
        {"A", 0x41, 1},
        {"\xC3\xA9", 0xE9, 2},
        {"\xE2\x82\xAC", 0x20AC, 3},
        {"\xF0\x9F\x98\x80", 0x1F600, 4},
        {"\xC3\x28", 0xFFFD, 1},          // bad continuation
        {"\xE0\x80\x80", 0xFFFD, 3},      // overlong, whole sequence consumed
        {"\xC0\x80", 0xFFFD, 2},          // overlong NUL
        {"\xED\xA0\x80", 0xFFFD, 3},      // surrogate
        {"\xEF\xBF\xBF", 0xFFFD, 3},      // U+FFFF
        {"\xEF\xBF\xBE", 0xFFFD, 3},      // U+FFFE
        {"\xF0\x8F\xBF\xBF", 0xFFFD, 4},  // overlong four bytes
        {"\x80", 0xFFFD, 1},              // stray continuation
        {"\xFE", 0xFFFD, 1},
        {"\xFF", 0xFFFD, 1},
        {"\xF8\x88\x80\x80\x80", 0x200000, 5},
        {"\xF8\x80\x80\x80\x80", 0xFFFD, 5},
        {"\xFC\x84\x80\x80\x80\x80", 0x4000000, 6},
    };
    for (const Case& c : cases) {
        uint32_t cp = 0;
        EXPECT_EQ(c.n, ZUtf8Decode(&cp, c.bytes)) << c.bytes;
        EXPECT_EQ(c.cp, cp) << std::hex << (unsigned)(unsigned char)c.bytes[0];
    }
    uint32_t cp = 0;
    EXPECT_EQ(0, ZUtf8Decode(&cp, ""));
    EXPECT_EQ(0, ZUtf8Decode(&cp, "\xE2\x82"));  // cut short
}

TEST(Utf8, ToUtf16)
{
    struct Case
    {
        const char* src;
        std::vector<uint16_t> units;
    };
    const Case cases[] = {
        {"abc", {'a', 'b', 'c'}},
        {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
        {"a\xED\xA0\x80"
         "b",
         {'a', 'b'}},                  // encoded surrogate dropped
        {"\xF4\x90\x80\x80!", {'!'}},  // above U+10FFFF dropped
        {"x\xE2\x82", {'x'}},          // ends inside a sequence: stops there
        {"\xC3\xA9\xE2\x82\xAC", {0xE9, 0x20AC}},
        {"", {}},
    };
    for (const Case& c : cases) {
        wchar_t dst[32];
        wmemset(dst, 0x7777, 32);
        int n = ZUtf8ToUtf16(dst, c.src);
        ASSERT_EQ((int)c.units.size(), n) << c.src;
        for (int i = 0; i < n; ++i)
            EXPECT_EQ(c.units[i], (uint16_t)dst[i]) << c.src << " at " << i;
        EXPECT_EQ(0, dst[n]);
    }
}

TEST(Utf16, ToUtf8)
{
    struct Case
    {
        std::vector<uint16_t> units;
        const char* utf8;
    };
    const Case cases[] = {
        {{'a', 'b', 'c'}, "abc"},
        {{0xE9, 0x20AC}, "\xC3\xA9\xE2\x82\xAC"},
        {{0xD83D, 0xDE00, '!'}, "\xF0\x9F\x98\x80!"},  // a pair is one code point
        {{0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF"},        // the last one
        {{'a', 0xD83D, 'b'},
         "a\xEF\xBF\xBD"
         "b"},                                           // lone high half
        {{0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},  // halves the wrong way round
        {{'x', 0xD83D}, "x\xEF\xBF\xBD"},                // high half at the end
        {{0xFFFF}, "\xEF\xBF\xBF"},
        {{}, ""},
    };
    for (const Case& c : cases) {
        std::vector<wchar_t> src(c.units.begin(), c.units.end());
        src.push_back(0);
        char dst[64];
        memset(dst, 0x77, sizeof(dst));
        int n = ZUtf16ToUtf8(dst, src.data());
        EXPECT_EQ((int)strlen(c.utf8), n) << c.utf8;
        EXPECT_STREQ(c.utf8, dst);
        EXPECT_EQ(n, ZUtf16ToUtf8(nullptr, src.data())) << "counting gives the same length";
        // Back again: what was valid comes back unchanged.
        ZStringBuffer<16> back;
        back.AssignUtf16(src.data());
        EXPECT_STREQ(c.utf8, back.GetData());
    }
}

TEST(Utf8, ToUtf16Counted)
{
    wchar_t dst[16];
    struct Case
    {
        const char* src;
        int nBytes;
        unsigned nFlags;
        int nExpected;
    };
    const Case cases[] = {
        {"abc", 3, 0, 3},
        {"abc", 2, 0, 2},
        {"a\xC3\xA9", 3, 0, 2},
        {"a\xC3", 2, 0, 0},              // runs past the source: strict fails
        {"a\xC3", 2, ZUTF8_LENIENT, 1},  // lenient skips the lead byte
        {"a\xC1\x81", 3, 0, 0},          // 0xC1 is refused in strict mode
        {"a\xC1\x81", 3, ZUTF8_LENIENT, 2},
        {"a\x80z", 3, 0, 0},
        {"a\x80z", 3, ZUTF8_LENIENT, 2},
        {"\xED\xA0\x80z", 4, 0, 0},  // surrogate unit
        {"\xED\xA0\x80z", 4, ZUTF8_LENIENT, 1},
        {"\xEF\xBB\xBFok", 5, 0, 3},
        {"\xEF\xBB\xBFok", 5, ZUTF8_DROP_BOM, 2},
        {"\xC3(", 2, 0, 0},
        {"\xC3(", 2, ZUTF8_LENIENT, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.nExpected, ZUtf8ToUtf16N(c.src, c.nBytes, dst, 16, c.nFlags)) << c.src << " flags " << c.nFlags;
    }
    EXPECT_EQ(2, ZUtf8ToUtf16N("\xEF\xBB\xBFok", 5, dst, 16, ZUTF8_DROP_BOM));
    EXPECT_EQ(L'o', dst[0]);
    EXPECT_EQ(L'k', dst[1]);
    EXPECT_EQ(0, ZUtf8ToUtf16N(nullptr, 3, dst, 16, 0));
    EXPECT_EQ(0, ZUtf8ToUtf16N("abc", 0, dst, 16, 0));
    EXPECT_EQ(0, ZUtf8ToUtf16N("abc", 3, dst, 0, 0));
    EXPECT_EQ(0, ZUtf8ToUtf16N("abc", 3, dst, 2, 0));  // destination full
    EXPECT_EQ(4,
              ZUtf8ToUtf16N("a\xF0\x9F\x98\x80"
                            "bc",
                            7, nullptr, 0, 0));  // counting only
    EXPECT_EQ(-1, ZUtf16IsSurrogate((wchar_t)0xD800));
    EXPECT_EQ(-1, ZUtf16IsSurrogate((wchar_t)0xDFFF));
    EXPECT_EQ(0, ZUtf16IsSurrogate((wchar_t)0xE000));
    EXPECT_EQ(0, ZUtf16IsSurrogate(L'a'));
}

}  // namespace
