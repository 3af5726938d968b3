// The engine's text type: NUL-terminated 8-bit (UTF-8) text in an inline buffer that moves to a
// heap block (next power of two) when it outgrows it.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#ifdef __MINGW_PRINTF_FORMAT
#define ZPRINTF_FORMAT(fmt, first) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, first)))
#else
#define ZPRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#endif

// Owner of a UTF-16 block (from ZStringBase::ToWide, or a UTF-8 text given to the constructor);
// frees it when destroyed.
class ZWideText
{
public:
    ZWideText() : m_pText(nullptr) {}
    // UTF-16 copy of UTF-8 text (null is taken as empty).
    explicit ZWideText(const char* szUtf8);
    ZWideText(ZWideText&& other) noexcept : m_pText(other.m_pText) { other.m_pText = nullptr; }
    ~ZWideText();
    ZWideText(const ZWideText&) = delete;
    ZWideText& operator=(const ZWideText&) = delete;

    const wchar_t* Get() const { return m_pText; }
    // The text, or an empty one when there is no block (allocation failed).
    const wchar_t* c_str() const { return m_pText ? m_pText : L""; }
    void Set(wchar_t* pText);  // takes ownership of a block from malloc
    wchar_t* Detach();         // hands the block (from malloc) to the caller

private:
    wchar_t* m_pText;
};

// Common part of every string buffer (fields and all operations that do not depend on the
// inline size). Layout: vtable, capacity, size, data; the inline bytes follow in ZStringBuffer.
// m_nCapacity: 0 = inline, > 0 = owned heap block of that size, < 0 = borrowed text,
// -(length + 1). Text arguments of the changing operations must not point into the buffer
// itself, except for Assign and Append (handled).
//
// Growth that cannot be had (sizes from outside exhaust a 32-bit address space) leaves the text
// as it was, and Reserve says so. That is the one report: the object has no spare field for a
// failure flag (arrays rely on its size) and the changing operations return the buffer for
// chaining. A caller whose sizes come from outside reserves the whole size first and checks
// the result, or checks the length afterwards; an unchanged length means the change failed.
class ZStringBase
{
public:
    // Slot 0: back to the empty inline state; releases nothing.
    virtual void Reset() = 0;
    // Slot 1: room for nSize bytes including the terminator; false when there is no memory
    // for it (the text is then as it was).
    virtual bool Reserve(int nSize) = 0;

    // Reading
    int GetLength() const { return m_nCapacity < 0 ? -m_nCapacity - 1 : m_nSize - 1; }
    int GetSize() const { return m_nSize; }
    int GetCapacity() const { return m_nCapacity; }
    const char* GetData() const { return m_pData; }
    char* GetData() { return m_pData; }
    const char* c_str() const { return m_pData; }
    bool IsHeap() const { return m_nCapacity > 0; }
    bool IsEmpty() const { return m_pData[0] == 0; }
    char* At(int i) { return m_pData + i; }  // i must be below the size
    const char* At(int i) const { return m_pData + i; }
    int Find(char c) const;
    int Find(char c, int nStart) const;  // -1 when nStart >= size
    int ReverseFind(char c) const;
    bool operator==(const ZStringBase& other) const;
    bool operator!=(const ZStringBase& other) const { return !(*this == other); }
    bool operator==(const char* szText) const;
    bool operator!=(const char* szText) const { return !(*this == szText); }
    bool operator<(const ZStringBase& other) const;
    bool operator<=(const char* szText) const;
    bool EqualsNoCase(const char* szText) const;
    bool EndsWith(const char* szText) const;
    int ToInt(int nIndex = 0) const;            // 0 when nIndex > length
    double ToFloat(int nIndex = 0) const;       // 0.0 when nIndex > length
    int Scan(const char* szFormat, ...) const;  // sscanf-style, at most 12 outputs
    // UTF-16 copy of the text in a heap block owned by the holder; returns it.
    const wchar_t* ToWide(ZWideText& holder) const;

    // Changing (the buffer must own its text)
    char* Clear();
    ZStringBase& Assign(const char* szText);
    ZStringBase& Assign(const char* szText, int nCount);  // nCount < 0: the whole text
    ZStringBase& AssignFrom(const ZStringBase& other);
    ZStringBase& AssignLatin1(const char* szText);
    ZStringBase& AssignWide(const wchar_t* szText);
    // UTF-16 text (from the system) as UTF-8: see ZUtf16ToUtf8.
    ZStringBase& AssignUtf16(const wchar_t* szText);
    ZStringBase& Append(const char* szText);
    ZStringBase& Append(const ZStringBase& other);
    ZStringBase& AppendChar(char c);
    ZStringBase& operator+=(const char* szText) { return Append(szText); }
    ZStringBase& operator+=(const ZStringBase& other) { return Append(other); }
    ZStringBase& Format(const char* szFormat, ...) ZPRINTF_FORMAT(2, 3);
    ZStringBase& FormatV(const char* szFormat, va_list args);
    ZStringBase& AppendFormat(const char* szFormat, ...) ZPRINTF_FORMAT(2, 3);
    ZStringBase& AppendFormatV(const char* szFormat, va_list args);
    // As FormatV, then a "\n" unless the text already ends with one: a line for a log.
    ZStringBase& FormatLineV(const char* szFormat, va_list args);
    ZStringBase& AppendFloat4(float a, float b, float c, float d);
    ZStringBase& AppendMatrix4(const float* pValues);  // sixteen values
    void Truncate(int nLength);                        // negative: empty
    void Replace(char cFrom, char cTo);

protected:
    ZStringBase(int nCapacity, int nSize, char* pData) : m_nCapacity(nCapacity), m_nSize(nSize), m_pData(pData) {}
    // Not virtual: callers destroy buffers through their own type (arrays destroy in place).
    ~ZStringBase();
    ZStringBase(const ZStringBase&) = delete;
    ZStringBase& operator=(const ZStringBase&) = delete;

    // Growing Reserve for an inline size of nInline bytes.
    bool GrowTo(int nSize, int nInline);
    // Reserve for a size counted past 32 bits: a size over INT_MAX cannot be had.
    bool ReserveCounted(int64_t nSize) { return nSize <= 0x7FFFFFFF && Reserve((int)nSize); }
    // Copy of another text with its terminator (length bytes + 1); false (unchanged) without room.
    bool CopyFrom(const char* pText, int nLength);
    // Stops the process (write to a borrowed text, oversize fixed buffer).
    [[noreturn]] static void Fail();
    void RequireOwned() const
    {
        if (m_nCapacity < 0)
            Fail();
    }

    int32_t m_nCapacity;
    int32_t m_nSize;
    char* m_pData;
};

// N inline bytes; M = 0 is the fixed form that never leaves its inline buffer.
template <int N, int M = 1>
class ZStringBuffer : public ZStringBase
{
public:
    ZStringBuffer() : ZStringBase(0, 1, m_szInline) { m_szInline[0] = 0; }
    ZStringBuffer(const char* szText) : ZStringBuffer() { Assign(szText); }
    ZStringBuffer(const ZStringBuffer& other) : ZStringBuffer() { CopyFrom(other.GetData(), other.GetLength()); }
    ZStringBuffer(const ZStringBase& other) : ZStringBuffer() { CopyFrom(other.GetData(), other.GetLength()); }
    explicit ZStringBuffer(const wchar_t* szText) : ZStringBuffer() { AssignWide(szText); }
    // Formatted text: a format and at least one argument (one text alone is copied; for a
    // counted copy use Assign(text, count), not this constructor).
    template <typename TArg, typename... TRest>
    ZStringBuffer(const char* szFormat, TArg arg, TRest... rest) : ZStringBuffer()
    {
        Format(szFormat, arg, rest...);
    }
    explicit ZStringBuffer(int nValue) : ZStringBuffer() { Format("%d", nValue); }
    ~ZStringBuffer() = default;

    ZStringBuffer& operator=(const ZStringBuffer& other)
    {
        if (this != &other)
            AssignFrom(other);
        return *this;
    }
    ZStringBuffer& operator=(const ZStringBase& other)
    {
        if (this != &other)
            AssignFrom(other);
        return *this;
    }
    ZStringBuffer& operator=(const char* szText)
    {
        Assign(szText);
        return *this;
    }

    void Reset() override
    {
        m_nCapacity = 0;
        m_pData = m_szInline;
        m_szInline[0] = 0;
        m_nSize = 1;
    }
    bool Reserve(int nSize) override
    {
        if (M == 0) {
            if (nSize >= N)
                Fail();
            return true;
        }
        return GrowTo(nSize, N);
    }

    ZStringBuffer SubString(int nStart, int nCount) const
    {
        ZStringBuffer s;
        s.Assign(m_pData + nStart, nCount);
        return s;
    }
    ZStringBuffer operator+(const char* szText) const
    {
        ZStringBuffer s(*this);
        s.Append(szText);
        return s;
    }
    ZStringBuffer operator+(const ZStringBase& other) const
    {
        ZStringBuffer s(*this);
        s.Append(other);
        return s;
    }

private:
    char m_szInline[N];
};

// Read-only reference to text it does not own (vtable, capacity, size, data; no inline bytes).
class ZStringRef : public ZStringBase
{
public:
    explicit ZStringRef(const char* szText);
    ZStringRef(const ZStringRef& other);
    ZStringRef& operator=(const ZStringRef& other);
    ~ZStringRef() = default;
    // Outside the contract of a reference: both stop the process.
    void Reset() override;
    bool Reserve(int nSize) override;
};

static_assert(sizeof(void*) != 4 || sizeof(ZStringBuffer<16>) == 32, "string array elements are 32 bytes");
static_assert(sizeof(void*) != 4 || sizeof(ZStringRef) == 16, "a string reference is 16 bytes");
static_assert(sizeof(void*) != 4 || sizeof(ZStringBuffer<512, 0>) == 528, "fixed root-path buffer layout");

// Level-tagged log message: 'a' + level, then the formatted text (at most 8191 characters).
ZStringBuffer<16> ZLogText(const char* szFormat, ...) ZPRINTF_FORMAT(1, 2);
ZStringBuffer<16> ZLogTextLevel(uint8_t nLevel, const char* szFormat, ...) ZPRINTF_FORMAT(2, 3);
ZStringBuffer<16> ZLogTextV(uint8_t nLevel, const char* szFormat, va_list args);
