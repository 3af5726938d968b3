#pragma once

#include <new>
#include <stdint.h>
#include <stdlib.h>

#include "common/system/zlog.h"

// Element-range operations of the arrays.
struct ZArrayHelper
{
    // Copy-constructs each element of [pBegin, pEnd) at pDest onwards and destroys the source.
    template <class T>
    static void Move(T* pBegin, T* pEnd, T* pDest)
    {
        ZASSERT(pBegin <= pEnd);
        for (; pBegin < pEnd; ++pBegin, ++pDest) {
            new (pDest) T(*pBegin);
            pBegin->~T();
        }
    }

    template <class T>
    static void Destroy(T* pBegin, T* pEnd)
    {
        ZASSERT(pBegin <= pEnd);
        for (; pBegin < pEnd; ++pBegin)
            pBegin->~T();
    }

    // Assigns [pBegin, pEnd), ascending, to the constructed elements at pDest onwards.
    template <class T>
    static void Copy(const T* pBegin, const T* pEnd, T* pDest)
    {
        ZASSERT(pBegin <= pEnd);
        for (; pBegin < pEnd; ++pBegin, ++pDest)
            *pDest = *pBegin;
    }
};

// Next capacity of a full array of nCount elements: 0, 1, 2, 4, 7, 11, 17, ... past the minimum.
inline unsigned ZArrayGrowCapacity(unsigned nCount, unsigned nGrowMin)
{
    return nCount < nGrowMin ? nGrowMin : nCount + nCount / 2 + 1;
}

// Contiguous array in one heap block; nothing is allocated before the first element.
// Pointers to elements are invalidated when the array grows.
template <class T>
class ZLinearArray
{
public:
    explicit ZLinearArray(unsigned nGrowMin = 0)
        : m_nGrowMin(nGrowMin), m_pBegin(nullptr), m_pEnd(nullptr), m_pEndOfStorage(nullptr)
    {
    }
    ZLinearArray(const ZLinearArray& other) : ZLinearArray(other.m_nGrowMin) { AppendAll(other); }
    ~ZLinearArray()
    {
        ZArrayHelper::Destroy(m_pBegin, m_pEnd);
        free(m_pBegin);
    }

    ZLinearArray& operator=(const ZLinearArray& other)
    {
        if (this != &other) {
            Clear();
            AppendAll(other);
        }
        return *this;
    }

    unsigned Size() const { return unsigned(m_pEnd - m_pBegin); }
    unsigned GetCapacity() const { return unsigned(m_pEndOfStorage - m_pBegin); }
    unsigned GetGrowMin() const { return m_nGrowMin; }
    bool IsEmpty() const { return Size() < 1; }

    T* At(unsigned nIndex)
    {
        ZASSERT(nIndex < Size(), this);
        return m_pBegin + nIndex;
    }
    const T* At(unsigned nIndex) const
    {
        ZASSERT(nIndex < Size(), this);
        return m_pBegin + nIndex;
    }
    // Unchecked.
    T& operator[](unsigned nIndex) { return m_pBegin[nIndex]; }
    const T& operator[](unsigned nIndex) const { return m_pBegin[nIndex]; }

    T* Begin() { return m_pBegin; }
    T* End() { return m_pEnd; }
    const T* Begin() const { return m_pBegin; }
    const T* End() const { return m_pEnd; }
    T* begin() { return m_pBegin; }
    T* end() { return m_pEnd; }
    const T* begin() const { return m_pBegin; }
    const T* end() const { return m_pEnd; }

    // The new element, or null (nothing added) when the array is full and cannot grow.
    T* PushBack(const T& value)
    {
        if (m_pEnd == m_pEndOfStorage) {
            // value may live in this array: build the copy before the block moves.
            if (m_pBegin <= &value && &value < m_pEnd) {
                T copy(value);
                if (!Reallocate(ZArrayGrowCapacity(Size(), m_nGrowMin)))
                    return nullptr;
                return new (m_pEnd++) T(copy);
            }
            if (!Reallocate(ZArrayGrowCapacity(Size(), m_nGrowMin)))
                return nullptr;
        }
        return new (m_pEnd++) T(value);
    }

    // False when the new block cannot be had: the elements stay where they are (those from n
    // on are destroyed all the same when shrinking).
    bool SetCapacity(unsigned n, bool bShrink)
    {
        unsigned nCapacity = GetCapacity();
        if (n == nCapacity || (n < nCapacity && !bShrink))
            return true;
        if (n < Size()) {
            ZArrayHelper::Destroy(m_pBegin + n, m_pEnd);
            m_pEnd = m_pBegin + n;
        }
        return Reallocate(n);
    }

    // The block stays allocated.
    void Clear()
    {
        ZArrayHelper::Destroy(m_pBegin, m_pEnd);
        m_pEnd = m_pBegin;
    }

    // Returns pErase, which then addresses the element that followed (or the end).
    T* Erase(T* pErase)
    {
        ZASSERT(pErase >= m_pBegin && pErase < m_pEnd, this);
        if (pErase < m_pBegin || pErase >= m_pEnd)
            return pErase;  // nothing of ours to erase: leave the elements alone
        ZArrayHelper::Copy(pErase + 1, const_cast<const T*>(m_pEnd), pErase);
        --m_pEnd;
        m_pEnd->~T();
        return pErase;
    }

protected:
    void AppendAll(const ZLinearArray& other)
    {
        for (const T* p = other.m_pBegin; p < other.m_pEnd; ++p)
            PushBack(*p);
    }

    // A block of exactly nCapacity elements (n >= count); none for 0. Arrays grow with input
    // from outside: a block that cannot be had (no memory, or a size past the address space)
    // leaves the array as it was and gives false.
    bool Reallocate(unsigned nCapacity)
    {
        unsigned nCount = Size();
        T* pBlock = nullptr;
        if (nCapacity) {
            if (nCapacity < nCount || nCapacity > SIZE_MAX / sizeof(T))
                return false;
            pBlock = static_cast<T*>(malloc(size_t(nCapacity) * sizeof(T)));
            if (!pBlock)
                return false;
        }
        ZArrayHelper::Move(m_pBegin, m_pEnd, pBlock);
        free(m_pBegin);
        m_pBegin = pBlock;
        m_pEnd = pBlock + nCount;
        m_pEndOfStorage = pBlock + nCapacity;
        return true;
    }

    uint32_t m_nGrowMin;
    T* m_pBegin;
    T* m_pEnd;
    T* m_pEndOfStorage;
};

static_assert(sizeof(void*) != 4 || sizeof(ZLinearArray<int>) == 16, "32-bit layout of ZLinearArray");
