#pragma once

#include <stdint.h>

// Growable byte buffer: doubles its block when full; may wrap memory it must not free.
class ZMemoryBuffer
{
public:
    ZMemoryBuffer();
    ZMemoryBuffer(const ZMemoryBuffer& other);
    virtual ~ZMemoryBuffer();

    ZMemoryBuffer& operator=(const ZMemoryBuffer& other);

    // Slot 0 and 1 of the table.
    virtual unsigned GetSize() const;
    virtual unsigned char* GetCurrent() const;

    unsigned char* GetData() const { return m_pData; }
    unsigned GetCapacity() const { return m_nCapacity; }
    unsigned GetPosition() const { return m_nPosition; }
    void SetPosition(unsigned nPosition) { m_nPosition = nPosition; }
    bool IsOwned() const { return !m_bNotOwned; }

    void Clear();
    void SetEmpty() { m_nSize = 0; }
    // bNotOwned: the block stays the caller's and is never freed by the buffer.
    void Attach(void* pBlock, unsigned nSize, unsigned nPosition, bool bNotOwned);

    // Growth that cannot be had (no memory, or past 32 bits) changes nothing: Reserve and
    // AppendByte give false, AppendSpace and Grow null, AppendSpaceOffset and Append NO_ROOM.
    enum : unsigned
    {
        NO_ROOM = 0xFFFFFFFFu
    };
    bool Reserve(unsigned n);
    bool AppendByte(unsigned char b);
    unsigned char* AppendSpace(unsigned n);
    unsigned AppendSpaceOffset(unsigned n);
    unsigned Append(const void* pBytes, unsigned n);
    unsigned char* Grow(int n);
    // The range must lie inside the block.
    void Write(unsigned nOffset, const void* pBytes, unsigned n);

private:
    void FreeBlock();

    uint32_t m_nSize;
    uint32_t m_nCapacity;
    uint32_t m_nPosition;
    unsigned char* m_pData;
    bool m_bNotOwned;
};

static_assert(sizeof(void*) != 4 || sizeof(ZMemoryBuffer) == 24, "32-bit layout of ZMemoryBuffer");
