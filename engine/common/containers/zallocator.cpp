#include "common/containers/zallocator.h"

#include <stdlib.h>
#include <string.h>

ZOffsetAllocator::ZOffsetAllocator(uint32_t nBegin, uint32_t nEnd, uint32_t nMaxRanges, Range* pTable)
    : m_pRanges(pTable), m_nCount(0), m_nMaxRanges(nMaxRanges), m_bExternalTable(pTable != nullptr)
{
    if (!m_pRanges) {
        uint64_t nBytes = uint64_t(nMaxRanges) * sizeof(Range);
        m_pRanges = static_cast<Range*>(malloc(nBytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : size_t(nBytes)));
    }
    Reset(nBegin, nEnd);
}

ZOffsetAllocator::~ZOffsetAllocator()
{
    if (!m_bExternalTable)
        free(m_pRanges);
}

uint32_t ZOffsetAllocator::Reset(uint32_t nBegin, uint32_t nEnd)
{
    m_nCount = 0;
    PushRange(nBegin, nEnd - nBegin);
    return nEnd - nBegin;
}

void ZOffsetAllocator::RemoveAt(uint32_t nIndex)
{
    m_pRanges[nIndex] = m_pRanges[m_nCount - 1];
    --m_nCount;
}

uint32_t ZOffsetAllocator::AllocWith(uint32_t nSize, Strategy eStrategy)
{
    uint32_t nCandidate = NoRange;
    for (uint32_t i = 0; i < m_nCount; ++i) {
        const Range& r = m_pRanges[i];
        if (r.m_nSize == nSize) {
            uint32_t nOffset = r.m_nOffset;
            RemoveAt(i);
            return nOffset;
        }
        if (r.m_nSize < nSize)
            continue;
        if (nCandidate == NoRange) {
            nCandidate = i;
            continue;
        }
        const Range& c = m_pRanges[nCandidate];
        bool bBetter = false;
        switch (eStrategy) {
        case High: bBetter = r.m_nOffset > c.m_nOffset; break;
        case Low: bBetter = r.m_nOffset < c.m_nOffset; break;
        case BestFit: bBetter = r.m_nSize < c.m_nSize; break;
        }
        if (bBetter)
            nCandidate = i;
    }
    if (nCandidate == NoRange)
        return NoRange;

    Range& c = m_pRanges[nCandidate];
    c.m_nSize -= nSize;
    if (eStrategy == High)
        return c.m_nOffset + c.m_nSize;
    uint32_t nOffset = c.m_nOffset;
    c.m_nOffset += nSize;
    return nOffset;
}

uint32_t ZOffsetAllocator::AllocHigh(uint32_t nSize)
{
    return AllocWith(nSize, High);
}
uint32_t ZOffsetAllocator::AllocLow(uint32_t nSize)
{
    return AllocWith(nSize, Low);
}
uint32_t ZOffsetAllocator::AllocBestFit(uint32_t nSize)
{
    return AllocWith(nSize, BestFit);
}

void ZOffsetAllocator::Free(uint32_t nOffset, uint32_t nSize)
{
    uint32_t nEnd = nOffset + nSize;
    for (uint32_t i = 0; i < m_nCount; ++i) {
        Range& r = m_pRanges[i];
        if (r.m_nOffset == nEnd) {
            r.m_nOffset -= nSize;
            r.m_nSize += nSize;
            for (uint32_t j = i + 1; j < m_nCount; ++j) {
                Range& left = m_pRanges[j];
                if (left.m_nOffset + left.m_nSize == nOffset) {
                    r.m_nOffset -= left.m_nSize;
                    r.m_nSize += left.m_nSize;
                    RemoveAt(j);
                    break;
                }
            }
            return;
        }
        if (r.m_nOffset + r.m_nSize == nOffset) {
            r.m_nSize += nSize;
            for (uint32_t j = i + 1; j < m_nCount; ++j) {
                Range& right = m_pRanges[j];
                if (right.m_nOffset == nEnd) {
                    r.m_nSize += right.m_nSize;
                    RemoveAt(j);
                    break;
                }
            }
            return;
        }
    }
    PushRange(nOffset, nSize);
}

bool ZOffsetAllocator::Reserve(uint32_t nOffset, uint32_t nSize)
{
    if (nSize == 0)
        return true;
    for (uint32_t i = 0; i < m_nCount; ++i) {
        Range& r = m_pRanges[i];
        uint64_t a = r.m_nOffset;
        uint64_t e = a + r.m_nSize;
        if (nOffset < a || nOffset >= e)
            continue;
        uint64_t t = uint64_t(nOffset) + nSize;
        if (a == nOffset) {
            if (t >= e)
                RemoveAt(i);
            else
                r = Range{uint32_t(t), uint32_t(e - t)};
            return true;
        }
        // Splitting needs a second entry: refuse rather than write past the table.
        if (t < e && m_nCount >= m_nMaxRanges)
            return false;
        r.m_nSize = uint32_t(nOffset - a);
        if (t < e)
            PushRange(uint32_t(t), uint32_t(e - t));
        return true;
    }
    return false;
}

bool ZOffsetAllocator::IsFree(uint32_t nOffset, uint32_t nSize) const
{
    if (nSize == 0)
        return true;
    for (uint32_t i = 0; i < m_nCount; ++i) {
        const Range& r = m_pRanges[i];
        uint64_t e = uint64_t(r.m_nOffset) + r.m_nSize;
        if (nOffset >= r.m_nOffset && nOffset < e)
            return uint64_t(nOffset) + nSize <= e;
    }
    return false;
}

uint32_t ZOffsetAllocator::GetTotalFree() const
{
    uint32_t nTotal = 0;
    for (uint32_t i = 0; i < m_nCount; ++i)
        nTotal += m_pRanges[i].m_nSize;
    return nTotal;
}

uint32_t ZOffsetAllocator::GetLargestFree() const
{
    uint32_t nLargest = 0;
    for (uint32_t i = 0; i < m_nCount; ++i)
        if (m_pRanges[i].m_nSize > nLargest)
            nLargest = m_pRanges[i].m_nSize;
    return nLargest;
}

bool ZOffsetAllocator::PushRange(uint32_t nOffset, uint32_t nSize)
{
    // A full table must not overflow into whatever follows it (the arena keeps its data there).
    if (m_nCount >= m_nMaxRanges || !m_pRanges)
        return false;
    m_pRanges[m_nCount++] = Range{nOffset, nSize};
    return true;
}

bool ZOffsetAllocator::PopRange(Range& range)
{
    if (m_nCount == 0)
        return false;
    range = m_pRanges[--m_nCount];
    return true;
}

ZMemoryArena::ZMemoryArena(void* pBuffer, uint32_t nBufferSize, uint32_t nMaxRanges)
    : m_pData(static_cast<unsigned char*>(pBuffer) + size_t(nMaxRanges) * sizeof(ZOffsetAllocator::Range)),
      m_nSize(nBufferSize - nMaxRanges * uint32_t(sizeof(ZOffsetAllocator::Range))),
      m_Offsets(0, nBufferSize - nMaxRanges * uint32_t(sizeof(ZOffsetAllocator::Range)), nMaxRanges,
                static_cast<ZOffsetAllocator::Range*>(pBuffer))
{
    memset(m_pData, FreeFill, m_nSize);
}

void* ZMemoryArena::Alloc(int nSize)
{
    uint32_t nOffset = m_Offsets.AllocBestFit(uint32_t(nSize) + HeaderSize);
    if (nOffset == ZOffsetAllocator::NoRange)
        __builtin_trap();
    unsigned char* p = m_pData + nOffset;
    uint32_t nHeader = uint32_t(nSize);
    memcpy(p, &nHeader, HeaderSize);
    return p + HeaderSize;
}

void ZMemoryArena::Free(void* p)
{
    if (!p)
        return;
    unsigned char* pBlock = static_cast<unsigned char*>(p) - HeaderSize;
    uint32_t nSize;
    memcpy(&nSize, pBlock, HeaderSize);
    memset(pBlock, FreeFill, size_t(nSize) + HeaderSize);
    m_Offsets.Free(uint32_t(pBlock - m_pData), nSize + HeaderSize);
}
