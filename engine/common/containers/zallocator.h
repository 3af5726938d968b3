#pragma once

#include <stdint.h>

// Where pools take their chunks from when they must not use the heap.
class ZAllocator
{
public:
    virtual void* Alloc(int nSize) = 0;
    virtual void Free(void* p) = 0;

protected:
    ~ZAllocator() {}
};

// Hands out ranges of a numeric interval; only the free ranges are kept, in an unsorted table.
class ZOffsetAllocator
{
public:
    enum : uint32_t
    {
        NoRange = 0xFFFFFFFFu
    };

    struct Range
    {
        uint32_t m_nOffset;
        uint32_t m_nSize;
    };

    // pTable null: a table of nMaxRanges entries is allocated and owned.
    ZOffsetAllocator(uint32_t nBegin, uint32_t nEnd, uint32_t nMaxRanges, Range* pTable);
    virtual ~ZOffsetAllocator();

    ZOffsetAllocator(const ZOffsetAllocator&) = delete;
    ZOffsetAllocator& operator=(const ZOffsetAllocator&) = delete;

    uint32_t Reset(uint32_t nBegin, uint32_t nEnd);

    uint32_t AllocHigh(uint32_t nSize);
    uint32_t AllocLow(uint32_t nSize);
    uint32_t AllocBestFit(uint32_t nSize);

    void Free(uint32_t nOffset, uint32_t nSize);
    bool Reserve(uint32_t nOffset, uint32_t nSize);
    bool IsFree(uint32_t nOffset, uint32_t nSize) const;

    uint32_t GetTotalFree() const;
    uint32_t GetLargestFree() const;

    // False when the table is full (the range is not added) / empty.
    bool PushRange(uint32_t nOffset, uint32_t nSize);
    bool PopRange(Range& range);

    uint32_t GetRangeCount() const { return m_nCount; }
    const Range& GetRange(uint32_t nIndex) const { return m_pRanges[nIndex]; }

private:
    enum Strategy
    {
        High,
        Low,
        BestFit
    };
    uint32_t AllocWith(uint32_t nSize, Strategy eStrategy);
    void RemoveAt(uint32_t nIndex);

    Range* m_pRanges;
    uint32_t m_nCount;
    uint32_t m_nMaxRanges;
    bool m_bExternalTable;
};

static_assert(sizeof(ZOffsetAllocator::Range) == 8, "free-range entries are two 32-bit words");
static_assert(sizeof(void*) != 4 || sizeof(ZOffsetAllocator) == 20, "32-bit layout of ZOffsetAllocator");

// Fixed byte buffer managed by an offset allocator whose range table sits at the buffer's start.
// Every block carries a 4-byte size header; free bytes read 0xCD.
class ZMemoryArena : public ZAllocator
{
public:
    enum
    {
        HeaderSize = 4
    };
    enum : unsigned char
    {
        FreeFill = 0xCD
    };

    ZMemoryArena(void* pBuffer, uint32_t nBufferSize, uint32_t nMaxRanges);

    ZMemoryArena(const ZMemoryArena&) = delete;
    ZMemoryArena& operator=(const ZMemoryArena&) = delete;

    // An exhausted arena stops the process: owners size it for their peak.
    void* Alloc(int nSize) override;
    void Free(void* p) override;

    unsigned char* GetData() const { return m_pData; }
    uint32_t GetSize() const { return m_nSize; }
    const ZOffsetAllocator& GetOffsetAllocator() const { return m_Offsets; }

private:
    unsigned char* m_pData;
    uint32_t m_nSize;
    ZOffsetAllocator m_Offsets;
};

static_assert(sizeof(void*) != 4 || sizeof(ZMemoryArena) == 32, "32-bit layout of ZMemoryArena");
