#include "common/containers/zstr.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

// ---- Lengths, copies and memory ----

int ZStrLen(const char* s)
{
    return (int)strlen(s);
}
int ZWcsLen(const wchar_t* s)
{
    return (int)wcslen(s);
}
char* ZStrCopy(char* dst, const char* src)
{
    return strcpy(dst, src);
}

char* ZStrCopyN(char* dst, int nSize, const char* src)
{
    if (nSize <= 0)
        return nullptr;
    int i = 0;
    for (; i < nSize - 1 && src[i]; ++i)
        dst[i] = src[i];
    dst[i] = 0;
    return dst;
}

char* ZStrNCopy(char* dst, const char* src, int n)
{
    return strncpy(dst, src, (size_t)n);
}
char* ZStrCat(char* dst, const char* src)
{
    return strcat(dst, src);
}

int ZStrWiden(wchar_t* dst, const char* src)
{
    int n = 0;
    for (; src[n]; ++n)
        dst[n] = (wchar_t)(unsigned char)src[n];
    dst[n] = 0;
    return n;
}

void* ZMemCopy(void* dst, const void* src, size_t n)
{
    return memcpy(dst, src, n);
}
void* ZMemMove(void* dst, const void* src, size_t n)
{
    return memmove(dst, src, n);
}
void* ZMemSet(void* dst, int nByte, size_t n)
{
    return memset(dst, nByte, n);
}

int ZMemCompare(const void* a, const void* b, size_t n)
{
    int r = n ? memcmp(a, b, n) : 0;
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int ZMemICompare(const void* a, const void* b, size_t n)
{
    return _memicmp(a, b, n);
}

// ---- Comparisons ----

int ZStrCompare(const char* a, const char* b)
{
    const unsigned char* p = (const unsigned char*)a;
    const unsigned char* q = (const unsigned char*)b;
    while (*p && *p == *q) {
        ++p;
        ++q;
    }
    return *p < *q ? -1 : (*p > *q ? 1 : 0);
}

int ZWcsCompare(const wchar_t* a, const wchar_t* b)
{
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    // wchar_t is an unsigned 16-bit unit on Windows
    unsigned x = (unsigned)(uint16_t)*a, y = (unsigned)(uint16_t)*b;
    return x < y ? -1 : (x > y ? 1 : 0);
}

int ZStrNCompare(const char* a, const char* b, int n)
{
    return strncmp(a, b, (size_t)n);
}
int ZStrICompare(const char* a, const char* b)
{
    return _stricmp(a, b);
}
int ZWcsICompare(const wchar_t* a, const wchar_t* b)
{
    return _wcsicmp(a, b);
}
int ZStrNICompare(const char* a, const char* b, int n)
{
    return _strnicmp(a, b, (size_t)n);
}
int ZWcsNICompare(const wchar_t* a, const wchar_t* b, int n)
{
    return _wcsnicmp(a, b, (size_t)n);
}

int ZWcsNICompareFold(const wchar_t* a, const wchar_t* b, int n)
{
    for (int i = 0; i < n; ++i) {
        int x = (int)towlower(a[i]);
        int y = (int)towlower(b[i]);
        if (x != y)
            return x - y;
    }
    return 0;
}

static inline unsigned char FoldAscii(char c)
{
    unsigned char u = (unsigned char)c;
    return (u >= 'A' && u <= 'Z') ? (unsigned char)(u + ('a' - 'A')) : u;
}

bool ZCharEqualNoCase(char a, char b)
{
    return FoldAscii(a) == FoldAscii(b);
}
bool ZCharLessNoCase(char a, char b)
{
    return (signed char)FoldAscii(a) < (signed char)FoldAscii(b);
}
char ZCharToLower(char c)
{
    return (char)FoldAscii(c);
}
char ZCharToUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? (char)(c - ('a' - 'A')) : c;
}
bool ZIsDigit(char c)
{
    return isdigit((unsigned char)c) != 0;
}
bool ZIsAlpha(char c)
{
    return isalpha((unsigned char)c) != 0;
}
bool ZIsAlnum(char c)
{
    return isalnum((unsigned char)c) != 0;
}
bool ZIsSpace(char c)
{
    return isspace((unsigned char)c) != 0;
}

// The C functions behind the char and wchar_t twins below, so that each twin has one body.
namespace
{
struct NarrowOps
{
    typedef char Ch;
    static size_t Len(const Ch* s) { return strlen(s); }
    static const Ch* Chr(const Ch* s, Ch c) { return strchr(s, c); }
    static bool Equal(const Ch* a, const Ch* b, size_t n) { return memcmp(a, b, n) == 0; }
    static bool EqualN(const Ch* a, const Ch* b, size_t n) { return _memicmp(a, b, n) == 0; }
    static int Compare(const Ch* a, const Ch* b) { return _stricmp(a, b); }
    static int EndsWith(const Ch* s, const Ch* run, size_t nRun)
    {
        size_t n = strlen(s);
        return nRun > n ? 1 : _stricmp(s + n - nRun, run);
    }
    static int (*const Scan)(const Ch*, const Ch*, ...);
};
struct WideOps
{
    typedef wchar_t Ch;
    static size_t Len(const Ch* s) { return wcslen(s); }
    static const Ch* Chr(const Ch* s, Ch c) { return wcschr(s, c); }
    static bool Equal(const Ch* a, const Ch* b, size_t n) { return wmemcmp(a, b, n) == 0; }
    static bool EqualN(const Ch* a, const Ch* b, size_t n) { return ZWcsNICompareFold(a, b, (int)n) == 0; }
    static int Compare(const Ch* a, const Ch* b) { return _wcsicmp(a, b); }
    static int EndsWith(const Ch* s, const Ch* run, size_t nRun)
    {
        size_t n = wcslen(s);
        return nRun > n ? 1 : _wcsicmp(s + n - nRun, run);
    }
    static int (*const Scan)(const Ch*, const Ch*, ...);
};
int (*const NarrowOps::Scan)(const char*, const char*, ...) = sscanf;
int (*const WideOps::Scan)(const wchar_t*, const wchar_t*, ...) = swscanf;
}  // namespace

// ---- Prefix and suffix tests ----

bool ZStrStartsWith(const char* s, const char* prefix)
{
    return strncmp(s, prefix, strlen(prefix)) == 0;
}
bool ZWcsStartsWith(const wchar_t* s, const wchar_t* prefix)
{
    return wcsncmp(s, prefix, wcslen(prefix)) == 0;
}
bool ZStrStartsWithNoCase(const char* s, const char* prefix)
{
    return _strnicmp(s, prefix, strlen(prefix)) == 0;
}
bool ZWcsStartsWithNoCase(const wchar_t* s, const wchar_t* prefix)
{
    return _wcsnicmp(s, prefix, wcslen(prefix)) == 0;
}

template <typename Ops>
static bool EndsWithCore(const typename Ops::Ch* s, const typename Ops::Ch* suffix)
{
    size_t n = Ops::Len(s), m = Ops::Len(suffix);
    return m <= n && Ops::Equal(s + n - m, suffix, m);
}

bool ZStrEndsWith(const char* s, const char* suffix)
{
    return EndsWithCore<NarrowOps>(s, suffix);
}
bool ZWcsEndsWith(const wchar_t* s, const wchar_t* suffix)
{
    return EndsWithCore<WideOps>(s, suffix);
}
int ZStrEndsWithNoCase(const char* s, const char* suffix)
{
    return NarrowOps::EndsWith(s, suffix, strlen(suffix));
}
int ZWcsEndsWithNoCase(const wchar_t* s, const wchar_t* suffix)
{
    return WideOps::EndsWith(s, suffix, wcslen(suffix));
}

// ---- Searches ----

const char* ZStrChr(const char* s, int c)
{
    return strchr(s, c);
}
const wchar_t* ZWcsChr(const wchar_t* s, wchar_t c)
{
    return wcschr(s, c);
}
const char* ZStrRChr(const char* s, int c)
{
    return strrchr(s, c);
}
const wchar_t* ZWcsRChr(const wchar_t* s, wchar_t c)
{
    return wcsrchr(s, c);
}

const char* ZStrNextLine(const char* s)
{
    const char* p = strchr(s, '\n');
    return p ? p + 1 : nullptr;
}

template <typename Ops>
static int IFindCore(const typename Ops::Ch* text, int nLen, const typename Ops::Ch* pattern)
{
    int m = (int)Ops::Len(pattern);
    if (m > nLen)
        return -1;
    for (int p = 0; p + m <= nLen; ++p) {
        if (Ops::EqualN(text + p, pattern, (size_t)m))
            return p;
    }
    return -1;
}

template <typename Ops>
static const typename Ops::Ch* IStrCore(const typename Ops::Ch* text, const typename Ops::Ch* pattern)
{
    int i = IFindCore<Ops>(text, (int)Ops::Len(text), pattern);
    return i < 0 ? nullptr : text + i;
}

int ZStrIFindN(const char* text, int nLen, const char* pattern)
{
    return IFindCore<NarrowOps>(text, nLen, pattern);
}
int ZStrIIndexOf(const char* text, const char* pattern)
{
    return ZStrIFindN(text, (int)strlen(text), pattern);
}
int ZWcsIFindN(const wchar_t* text, int nLen, const wchar_t* pattern)
{
    return IFindCore<WideOps>(text, nLen, pattern);
}
int ZWcsIIndexOf(const wchar_t* text, const wchar_t* pattern)
{
    return ZWcsIFindN(text, (int)wcslen(text), pattern);
}
const char* ZStrIStr(const char* text, const char* pattern)
{
    return IStrCore<NarrowOps>(text, pattern);
}
const wchar_t* ZWcsIStr(const wchar_t* text, const wchar_t* pattern)
{
    return IStrCore<WideOps>(text, pattern);
}

// ---- Numbers ----

int ZStrToInt(const char* s)
{
    return (int)strtol(s, nullptr, 10);
}
double ZStrToFloat(const char* s)
{
    return atof(s);
}
double ZWcsToFloat(const wchar_t* s)
{
    return _wtof(s);
}

char* ZIntToStr(int nValue, int nSize, char* buf)
{
    if (nSize <= 0)
        return buf;
    char tmp[16];
    int n = snprintf(tmp, sizeof(tmp), "%d", nValue);
    // Like _itoa_s: a buffer that is too small receives the empty text.
    if (n < 0 || n >= nSize)
        buf[0] = 0;
    else
        memcpy(buf, tmp, (size_t)n + 1);
    return buf;
}

float ZPowF(float fBase, int nExp)
{
    if (nExp == 0)
        return 1.0f;
    bool bInvert = nExp < 0;
    unsigned n = bInvert ? 0u - (unsigned)nExp : (unsigned)nExp;
    float r = 1.0f, b = fBase;
    while (n) {
        if (n & 1)
            r *= b;
        b *= b;
        n >>= 1;
    }
    return bInvert ? 1.0f / r : r;
}

// Double to int64 as the x86 conversion does: out-of-range values give the indefinite value.
static int64_t ToInt64Indefinite(double d)
{
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0))
        return INT64_MIN;
    return (int64_t)d;
}

char* ZDoubleToText(double dValue, char* buf, int nSize)
{
    if (nSize <= 0)
        return buf;
    buf[0] = 0;
    if (dValue == 0) {
        ZStrCopyN(buf, nSize, "0");
        return buf;
    }
    int nPos = 0;
    auto put = [&](char c) {
        if (nPos < nSize - 1)
            buf[nPos++] = c;
        buf[nPos] = 0;
    };
    auto putFixed = [&](const char* szText) {
        ZStrCopyN(buf + nPos, nSize - nPos, szText);
        return buf;
    };
    double dMag = dValue;
    if (dValue < 0) {
        put('-');
        dMag = -dValue;
    }
    if (ToInt64Indefinite(dMag) == INT64_MIN)
        return putFixed("nan");
    double dLog = log10(dMag);
    int e = (int)dLog;
    if (16 - e < 0)
        return putFixed("inf");
    int s = 16 - e < 16 ? 16 - e : 16;
    int64_t nScale = ToInt64Indefinite((double)ZPowF(10.0f, s));
    int64_t nMantissa = ToInt64Indefinite((double)nScale * dMag);
    if (nMantissa < 0)
        return putFixed("inf");
    int n = (int)(dLog + 1);
    int64_t nDivisor = ToInt64Indefinite((double)ZPowF(10.0f, n + s));
    if (nDivisor < 0)
        return putFixed("inf");
    if (n < 0) {
        put('0');
        put('.');
        for (int i = 0; i < -n; ++i)
            put('0');
    } else if (n == 0) {
        put('0');
    }
    while (nMantissa != 0 || n >= 1) {
        if (n == 0)
            put('.');
        nDivisor /= 10;
        if (nDivisor == 0)
            break;  // out of digits; avoids a division by zero
        int64_t nDigit = nMantissa / nDivisor;
        put((char)('0' + nDigit));
        nMantissa -= nDigit * nDivisor;
        n -= 1;
    }
    return buf;
}

// ---- Scanning ----

template <typename Ch>
static int CountScanTargets(const Ch* format)
{
    int n = 0;
    for (const Ch* p = format; *p; ++p) {
        if (*p != '%')
            continue;
        Ch c = p[1];
        if (c == '%') {
            ++p;
            continue;
        }
        if (c == '*' || c == 0)
            continue;
        ++n;
    }
    return n;
}

// The targets go on as twelve pointer arguments; the scanner ignores those the format does not use.
template <typename Ops>
static int ScanCore(const typename Ops::Ch* text, const typename Ops::Ch* format, va_list args)
{
    int n = CountScanTargets(format);
    if (n == 0)
        return 0;
    void* p[12] = {};
    for (int i = 0; i < n && i < 12; ++i)
        p[i] = va_arg(args, void*);
    return Ops::Scan(text, format, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11]);
}

int ZStrScanV(const char* text, const char* format, va_list args)
{
    return ScanCore<NarrowOps>(text, format, args);
}
int ZWcsScanV(const wchar_t* text, const wchar_t* format, va_list args)
{
    return ScanCore<WideOps>(text, format, args);
}

int ZStrScan(const char* text, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int r = ZStrScanV(text, format, args);
    va_end(args);
    return r;
}

int ZWcsScan(const wchar_t* text, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    int r = ZWcsScanV(text, format, args);
    va_end(args);
    return r;
}

// ---- Wildcards ----

template <typename Ops>
static int WildcardCore(const typename Ops::Ch* text, const typename Ops::Ch* pattern)
{
    typedef typename Ops::Ch Ch;
    if (!*pattern)
        return 0;
    while (*pattern) {
        if (*pattern == '*') {
            const Ch* pRun = pattern + 1;
            const Ch* pNext = Ops::Chr(pRun, (Ch)'*');
            if (!pNext)
                return Ops::EndsWith(text, pRun, Ops::Len(pRun));  // the rest ends with the run
            size_t nRun = (size_t)(pNext - pRun);
            if (nRun == 0)
                return 0;  // "**": anything goes
            size_t nRest = Ops::Len(text);
            if (nRun > nRest)
                return -1;
            size_t nTries = nRest - nRun + 1;
            size_t i = 0;
            for (; i < nTries; ++i) {
                if (Ops::EqualN(text + i, pRun, nRun))
                    break;
            }
            if (i == nTries)
                return -1;
            text += i;  // the run is matched again as a literal by the next step
            pattern = pRun;
        } else {
            const Ch* pNext = Ops::Chr(pattern, (Ch)'*');
            if (!pNext)
                return Ops::Compare(text, pattern) == 0 ? 0 : -1;
            size_t nRun = (size_t)(pNext - pattern);
            if (Ops::Len(text) < nRun || !Ops::EqualN(text, pattern, nRun))
                return -1;
            text += nRun;
            pattern = pNext;
        }
    }
    return 0;
}

int ZWildcardCompare(const char* text, const char* pattern)
{
    return WildcardCore<NarrowOps>(text, pattern);
}
int ZWildcardCompareW(const wchar_t* text, const wchar_t* pattern)
{
    return WildcardCore<WideOps>(text, pattern);
}
bool ZWildcardMatch(const char* text, const char* pattern)
{
    return ZWildcardCompare(text, pattern) == 0;
}
bool ZWildcardMatchW(const wchar_t* text, const wchar_t* pattern)
{
    return ZWildcardCompareW(text, pattern) == 0;
}

// ---- UTF-8 and UTF-16 ----

int ZUtf8Encode(char* out, uint32_t cp)
{
    unsigned char* o = (unsigned char*)out;
    if (cp < 0x80) {
        o[0] = (unsigned char)cp;
        return 1;
    }
    int n;
    unsigned char lead;
    if (cp < 0x800) {
        n = 2;
        lead = 0xC0;
    } else if (cp < 0x10000) {
        n = 3;
        lead = 0xE0;
    } else if (cp < 0x200000) {
        n = 4;
        lead = 0xF0;
    } else if (cp < 0x4000000) {
        n = 5;
        lead = 0xF8;
    } else if (cp <= 0x7FFFFFFF) {
        n = 6;
        lead = 0xFC;
    } else {
        return 0;
    }
    for (int i = n - 1; i > 0; --i) {
        o[i] = (unsigned char)(0x80 | (cp & 0x3F));
        cp >>= 6;
    }
    o[0] = (unsigned char)(lead | cp);
    return n;
}

// Length of the sequence a lead byte starts (1 to 6) with the lead's value bits; 0 for a byte
// that starts none.
static int Utf8Lead(unsigned char c, uint32_t* pValue)
{
    static const struct
    {
        unsigned char nMask, nLead;
    } s_Leads[] = {{0x80, 0x00}, {0xE0, 0xC0}, {0xF0, 0xE0}, {0xF8, 0xF0}, {0xFC, 0xF8}, {0xFE, 0xFC}};
    for (int i = 0; i < 6; ++i) {
        if ((c & s_Leads[i].nMask) == s_Leads[i].nLead) {
            *pValue = c & (unsigned char)~s_Leads[i].nMask;
            return i + 1;
        }
    }
    *pValue = 0;
    return 0;
}

// Decodes like ZUtf8Decode; *pRaw receives the assembled value before the U+FFFD replacement.
static int Utf8DecodeRaw(uint32_t* pOut, uint32_t* pRaw, const char* s);

int ZUtf8Decode(uint32_t* pOut, const char* s)
{
    uint32_t nRaw = 0;
    return Utf8DecodeRaw(pOut, &nRaw, s);
}

static int Utf8DecodeRaw(uint32_t* pOut, uint32_t* pRaw, const char* s)
{
    const unsigned char* p = (const unsigned char*)s;
    unsigned char c = p[0];
    if (c == 0)
        return 0;
    if (c < 0x80) {
        *pOut = *pRaw = c;
        return 1;
    }
    uint32_t v;
    int n = Utf8Lead(c, &v);
    if (n == 0) {
        *pOut = *pRaw = 0xFFFD;
        return 1;
    }
    for (int i = 1; i < n; ++i) {
        unsigned char b = p[i];
        if (b == 0)
            return 0;
        if ((b & 0xC0) != 0x80) {
            *pOut = *pRaw = 0xFFFD;
            return 1;
        }
        v = (v << 6) | (b & 0x3F);
    }
    static const uint32_t s_Min[7] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
    *pRaw = v;
    bool bBad = v < s_Min[n];
    if (n == 3 && ((v >= 0xD800 && v <= 0xDFFF) || v == 0xFFFE || v == 0xFFFF))
        bBad = true;
    *pOut = bBad ? 0xFFFD : v;
    return n;
}

int ZUtf8ToUtf16(wchar_t* dst, const char* src)
{
    int nOut = 0;
    while (*src) {
        uint32_t cp = 0, nRaw = 0;
        int n = Utf8DecodeRaw(&cp, &nRaw, src);
        if (n == 0)
            break;  // text ends inside a sequence: the partial code point is dropped
        src += n;
        // Encoded surrogates are dropped, not replaced.
        if ((nRaw >= 0xD800 && nRaw <= 0xDFFF) || cp > 0x10FFFF)
            continue;
        if (cp >= 0x10000) {
            dst[nOut++] = (wchar_t)(0xD800 + (((cp - 0x10000) >> 10) & 0x3FF));
            dst[nOut++] = (wchar_t)(0xDC00 + (cp & 0x3FF));
        } else {
            dst[nOut++] = (wchar_t)cp;
        }
    }
    dst[nOut] = 0;
    return nOut;
}

int ZUtf16ToUtf8(char* dst, const wchar_t* src)
{
    char tmp[8];
    int nOut = 0;
    for (; *src; ++src) {
        uint32_t cp = (uint16_t)*src;
        if (cp >= 0xD800 && cp <= 0xDBFF && (uint16_t)src[1] >= 0xDC00 && (uint16_t)src[1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + ((uint16_t)src[1] - 0xDC00);
            ++src;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        nOut += ZUtf8Encode(dst ? dst + nOut : tmp, cp);
    }
    if (dst)
        dst[nOut] = 0;
    return nOut;
}

int ZUtf8ToUtf16N(const char* src, int nSrcBytes, wchar_t* dst, int nDstUnits, unsigned nFlags)
{
    if (!src || nSrcBytes <= 0)
        return 0;
    if (dst && nDstUnits <= 0)
        return 0;
    const bool bLenient = (nFlags & ZUTF8_LENIENT) != 0;
    const bool bDropBom = (nFlags & ZUTF8_DROP_BOM) != 0;
    const unsigned char* p = (const unsigned char*)src;
    const unsigned char* pEnd = p + nSrcBytes;
    int nCount = 0;
    while (p < pEnd) {
        unsigned char c = *p;
        if (!bLenient && (c == 0xC0 || c == 0xC1 || c == 0xF5 || c == 0xFF))
            return 0;
        uint32_t v;
        int n = Utf8Lead(c, &v);
        bool bValid = n > 0 && n <= pEnd - p;
        for (int i = 1; bValid && i < n; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                bValid = false;
            else
                v = (v << 6) | (p[i] & 0x3F);
        }
        if (!bValid) {
            if (!bLenient)
                return 0;
            ++p;
            continue;
        }
        p += n;
        uint16_t u = (uint16_t)v;  // only the low 16 bits are kept
        if (dst) {
            if (nCount >= nDstUnits)
                return 0;
            if (u >= 0xD800 && u <= 0xDFFF) {
                if (!bLenient)
                    return 0;
                continue;  // taken back
            }
        }
        if (u == 0xFEFF && bDropBom)
            continue;
        if (dst)
            dst[nCount] = (wchar_t)u;
        ++nCount;
    }
    return nCount;
}

int ZUtf16IsSurrogate(wchar_t nUnit)
{
    unsigned u = (unsigned)(uint16_t)nUnit;
    return (u >= 0xD800 && u <= 0xDFFF) ? -1 : 0;
}
