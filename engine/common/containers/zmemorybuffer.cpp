#include "common/containers/zmemorybuffer.h"

#include <stdlib.h>
#include <string.h>

ZMemoryBuffer::ZMemoryBuffer() : m_nSize(0), m_nCapacity(0), m_nPosition(0), m_pData(nullptr), m_bNotOwned(false)
{
}

ZMemoryBuffer::ZMemoryBuffer(const ZMemoryBuffer& other) : ZMemoryBuffer()
{
    *this = other;
}

ZMemoryBuffer::~ZMemoryBuffer()
{
    FreeBlock();
}

void ZMemoryBuffer::FreeBlock()
{
    if (m_pData && !m_bNotOwned)
        free(m_pData);
}

ZMemoryBuffer& ZMemoryBuffer::operator=(const ZMemoryBuffer& other)
{
    // Freeing first would lose the source when it is this buffer.
    if (this == &other)
        return *this;
    FreeBlock();
    m_nSize = other.m_nSize;
    m_nCapacity = other.m_nCapacity;
    m_nPosition = other.m_nPosition;
    m_pData = nullptr;
    m_bNotOwned = false;
    if (m_nCapacity > 0) {
        m_pData = static_cast<unsigned char*>(malloc(m_nCapacity));
        if (!m_pData) {
            // No memory for the copy: left empty rather than pointing at nothing.
            m_nSize = m_nCapacity = m_nPosition = 0;
            return *this;
        }
        memcpy(m_pData, other.m_pData, m_nSize);
    }
    return *this;
}

unsigned ZMemoryBuffer::GetSize() const
{
    return m_nSize;
}

unsigned char* ZMemoryBuffer::GetCurrent() const
{
    return m_pData + m_nPosition;
}

void ZMemoryBuffer::Clear()
{
    FreeBlock();
    m_nSize = m_nCapacity = m_nPosition = 0;
    m_pData = nullptr;
    m_bNotOwned = false;
}

void ZMemoryBuffer::Attach(void* pBlock, unsigned nSize, unsigned nPosition, bool bNotOwned)
{
    FreeBlock();
    m_pData = static_cast<unsigned char*>(pBlock);
    m_nSize = m_nCapacity = nSize;
    m_nPosition = nPosition;
    m_bNotOwned = bNotOwned;
}

bool ZMemoryBuffer::Reserve(unsigned n)
{
    uint64_t nNeeded = uint64_t(m_nSize) + n;
    uint64_t nCapacity;
    if (m_nCapacity > 0) {
        if (nNeeded <= m_nCapacity)
            return true;
        nCapacity = m_nCapacity;
    } else {
        nCapacity = 1;
        nNeeded = n;
    }
    // More than 32 bits of size cannot be held (nor a size that would meet NO_ROOM).
    if (nNeeded >= 0xFFFFFFFFu)
        return false;
    while (nCapacity < nNeeded)
        nCapacity *= 2;
    // Doubling past 32 bits would wrap: take what is needed instead.
    if (nCapacity > 0xFFFFFFFFu)
        nCapacity = nNeeded;

    unsigned char* pBlock = static_cast<unsigned char*>(malloc(size_t(nCapacity)));
    // Sizes from outside (bodies, files) can exhaust a 32-bit address space: the caller fails
    // its operation and the buffer stays as it was.
    if (!pBlock)
        return false;
    if (m_nSize && m_pData)
        memcpy(pBlock, m_pData, m_nSize);
    FreeBlock();
    m_pData = pBlock;
    m_nCapacity = uint32_t(nCapacity);
    m_bNotOwned = false;
    return true;
}

bool ZMemoryBuffer::AppendByte(unsigned char b)
{
    if (!Reserve(1))
        return false;
    m_pData[m_nSize++] = b;
    return true;
}

unsigned char* ZMemoryBuffer::AppendSpace(unsigned n)
{
    if (!Reserve(n))
        return nullptr;
    unsigned char* p = m_pData + m_nSize;
    m_nSize += n;
    return p;
}

unsigned ZMemoryBuffer::AppendSpaceOffset(unsigned n)
{
    if (!Reserve(n))
        return NO_ROOM;
    unsigned nOffset = m_nSize;
    m_nSize += n;
    return nOffset;
}

unsigned ZMemoryBuffer::Append(const void* pBytes, unsigned n)
{
    if (!Reserve(n))
        return NO_ROOM;
    unsigned nOffset = m_nSize;
    if (n)
        memcpy(m_pData + nOffset, pBytes, n);
    m_nSize += n;
    return nOffset;
}

unsigned char* ZMemoryBuffer::Grow(int n)
{
    return AppendSpace(unsigned(n));
}

void ZMemoryBuffer::Write(unsigned nOffset, const void* pBytes, unsigned n)
{
    if (n)
        memcpy(m_pData + nOffset, pBytes, n);
}
