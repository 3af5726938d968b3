// Stateless helpers over NUL-terminated 8-bit (UTF-8) and UTF-16 text; none allocates.
// Ignoring case means ASCII folding unless stated otherwise.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdarg>

// Lengths, copies and memory
int ZStrLen(const char* s);
int ZWcsLen(const wchar_t* s);
char* ZStrCopy(char* dst, const char* src);
char* ZStrCopyN(char* dst, int nSize, const char* src);  // nSize 0: null; always terminates
char* ZStrNCopy(char* dst, const char* src, int n);      // strncpy
char* ZStrCat(char* dst, const char* src);
int ZStrWiden(wchar_t* dst, const char* src);  // zero extension; returns units written
void* ZMemCopy(void* dst, const void* src, size_t n);
void* ZMemMove(void* dst, const void* src, size_t n);
void* ZMemSet(void* dst, int nByte, size_t n);
int ZMemCompare(const void* a, const void* b, size_t n);  // -1, 0 or 1
int ZMemICompare(const void* a, const void* b, size_t n);

// Comparisons
int ZStrCompare(const char* a, const char* b);        // -1, 0 or 1
int ZWcsCompare(const wchar_t* a, const wchar_t* b);  // -1, 0 or 1
int ZStrNCompare(const char* a, const char* b, int n);
int ZStrICompare(const char* a, const char* b);
int ZWcsICompare(const wchar_t* a, const wchar_t* b);
int ZStrNICompare(const char* a, const char* b, int n);
int ZWcsNICompare(const wchar_t* a, const wchar_t* b, int n);
int ZWcsNICompareFold(const wchar_t* a, const wchar_t* b, int n);  // towlower folding
bool ZCharEqualNoCase(char a, char b);
bool ZCharLessNoCase(char a, char b);
char ZCharToLower(char c);
char ZCharToUpper(char c);
bool ZIsDigit(char c);
bool ZIsAlpha(char c);
bool ZIsAlnum(char c);
bool ZIsSpace(char c);

// Prefix and suffix tests
bool ZStrStartsWith(const char* s, const char* prefix);
bool ZWcsStartsWith(const wchar_t* s, const wchar_t* prefix);
bool ZStrStartsWithNoCase(const char* s, const char* prefix);
bool ZWcsStartsWithNoCase(const wchar_t* s, const wchar_t* prefix);
bool ZStrEndsWith(const char* s, const char* suffix);
bool ZWcsEndsWith(const wchar_t* s, const wchar_t* suffix);
int ZStrEndsWithNoCase(const char* s, const char* suffix);        // 0 = ends with it
int ZWcsEndsWithNoCase(const wchar_t* s, const wchar_t* suffix);  // 0 = ends with it

// Searches
const char* ZStrChr(const char* s, int c);
const wchar_t* ZWcsChr(const wchar_t* s, wchar_t c);
const char* ZStrRChr(const char* s, int c);
const wchar_t* ZWcsRChr(const wchar_t* s, wchar_t c);
inline char* ZStrChr(char* s, int c)
{
    return const_cast<char*>(ZStrChr(const_cast<const char*>(s), c));
}
inline char* ZStrRChr(char* s, int c)
{
    return const_cast<char*>(ZStrRChr(const_cast<const char*>(s), c));
}
const char* ZStrNextLine(const char* s);  // after the first '\n', or null
int ZStrIFindN(const char* text, int nLen, const char* pattern);
int ZStrIIndexOf(const char* text, const char* pattern);
int ZWcsIFindN(const wchar_t* text, int nLen, const wchar_t* pattern);
int ZWcsIIndexOf(const wchar_t* text, const wchar_t* pattern);
const char* ZStrIStr(const char* text, const char* pattern);
const wchar_t* ZWcsIStr(const wchar_t* text, const wchar_t* pattern);

// Numbers
int ZStrToInt(const char* s);
double ZStrToFloat(const char* s);
double ZWcsToFloat(const wchar_t* s);
char* ZIntToStr(int nValue, int nSize, char* buf);
float ZPowF(float fBase, int nExp);
char* ZDoubleToText(double dValue, char* buf, int nSize);  // no exponent; returns buf

// Scanning: sscanf/swscanf with at most 12 output pointers; returns the scanner's count.
int ZStrScan(const char* text, const char* format, ...);
int ZStrScanV(const char* text, const char* format, va_list args);
int ZWcsScan(const wchar_t* text, const wchar_t* format, ...);
int ZWcsScanV(const wchar_t* text, const wchar_t* format, va_list args);

// Wildcards: '*' stands for any run; other characters match ignoring case.
int ZWildcardCompare(const char* text, const char* pattern);         // 0 = match
int ZWildcardCompareW(const wchar_t* text, const wchar_t* pattern);  // 0 = match
bool ZWildcardMatch(const char* text, const char* pattern);
bool ZWildcardMatchW(const wchar_t* text, const wchar_t* pattern);

// UTF-8 and UTF-16
int ZUtf8Encode(char* out, uint32_t nCodePoint);  // 1..6 bytes, 0 above 0x7FFFFFFF
int ZUtf8Decode(uint32_t* pOut, const char* s);   // bytes consumed, 0 at a terminator
int ZUtf8ToUtf16(wchar_t* dst, const char* src);  // dst: one unit per byte + 1
// Whole NUL-terminated UTF-16 text to UTF-8, surrogate pairs combined and a lone half written as
// U+FFFD; returns the bytes without the terminator (always written). dst: three bytes per unit
// + 1; a null dst only counts.
int ZUtf16ToUtf8(char* dst, const wchar_t* src);
enum
{
    ZUTF8_LENIENT = 1,
    ZUTF8_DROP_BOM = 2,
};
int ZUtf8ToUtf16N(const char* src, int nSrcBytes, wchar_t* dst, int nDstUnits, unsigned nFlags);
int ZUtf16IsSurrogate(wchar_t nUnit);  // -1 for 0xD800..0xDFFF, else 0
