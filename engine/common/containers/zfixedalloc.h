#pragma once

#include <new>
#include <stddef.h>
#include <stdint.h>
#include <type_traits>

#include "common/containers/zallocator.h"

// Untyped core of the block pool: chunks of nBlocks blocks followed by a link to the older chunk.
class ZFixedAllocBase
{
public:
    int GetLiveCount() const { return m_nLiveCount; }

    // Bytes per block and per chunk for a given element type.
    static constexpr size_t BlockSize(size_t nElementSize, size_t nElementAlign)
    {
        // A free block holds the free-list link and, after it, the mark byte of ReleaseAll.
        size_t nSize = nElementSize > MarkOffset ? nElementSize : MarkOffset + 1;
        size_t nAlign = nElementAlign > alignof(void*) ? nElementAlign : alignof(void*);
        return (nSize + nAlign - 1) / nAlign * nAlign;
    }
    static constexpr size_t ChunkSize(size_t nBlockSize, size_t nBlocks)
    {
        return nBlockSize * nBlocks + sizeof(void*);
    }

    // The mark byte sits right after the free-list link: the fifth byte on 32-bit builds.
    static constexpr size_t MarkOffset = sizeof(void*);

protected:
    typedef void (*DestroyFn)(void* pBlock);

    explicit ZFixedAllocBase(ZAllocator* pAllocator)
        : m_pAllocator(pAllocator), m_nLiveCount(0), m_pChunks(nullptr), m_pFree(nullptr)
    {
    }
    ~ZFixedAllocBase() {}

    // Null when a new chunk is needed and cannot be had.
    void* AllocBlock(size_t nBlockSize, size_t nBlocks);
    void FreeBlock(void* pBlock);
    // Destroys every live block with pfnDestroy (null: nothing to destroy) and releases all chunks.
    void ReleaseAll(size_t nBlockSize, size_t nBlocks, DestroyFn pfnDestroy);

private:
    void* AllocMemory(size_t nSize);
    void FreeMemory(void* p);

    ZAllocator* m_pAllocator;
    int32_t m_nLiveCount;
    void* m_pChunks;
    void* m_pFree;
};

// Pool of equal-sized blocks for T, taken from chunks of nBlocks blocks.
template <class T, unsigned nBlocks = 64>
class ZFixedAlloc : public ZFixedAllocBase
{
public:
    static constexpr size_t kBlockSize = BlockSize(sizeof(T), alignof(T));
    static constexpr size_t kChunkSize = ChunkSize(kBlockSize, nBlocks);

    explicit ZFixedAlloc(ZAllocator* pAllocator = nullptr) : ZFixedAllocBase(pAllocator) {}
    ~ZFixedAlloc() { FreeAll(); }

    ZFixedAlloc(const ZFixedAlloc&) = delete;
    ZFixedAlloc& operator=(const ZFixedAlloc&) = delete;

    // A value-initialised element (zeroed links, empty strings); null without memory for a chunk.
    T* Alloc()
    {
        void* pBlock = AllocBlock(kBlockSize, nBlocks);
        return pBlock ? new (pBlock) T() : nullptr;
    }

    void Free(T* p)
    {
        p->~T();
        FreeBlock(p);
    }

    void FreeAll() { ReleaseAll(kBlockSize, nBlocks, std::is_trivially_destructible<T>::value ? nullptr : &Destroy); }

private:
    static void Destroy(void* p) { static_cast<T*>(p)->~T(); }
};

static_assert(sizeof(void*) != 4 || sizeof(ZFixedAlloc<uint64_t>) == 16, "32-bit layout of ZFixedAlloc");
// Chunk sizes of the block sizes in use: 24, 28, 56, 72, 80 and 96 bytes.
static_assert(sizeof(void*) != 4 ||
                  (ZFixedAllocBase::ChunkSize(ZFixedAllocBase::BlockSize(24, 4), 64) == 1540 &&
                   ZFixedAllocBase::ChunkSize(ZFixedAllocBase::BlockSize(28, 4), 64) == 1796 &&
                   ZFixedAllocBase::ChunkSize(ZFixedAllocBase::BlockSize(56, 4), 64) == 3588 &&
                   ZFixedAllocBase::ChunkSize(ZFixedAllocBase::BlockSize(72, 4), 64) == 4612 &&
                   ZFixedAllocBase::ChunkSize(ZFixedAllocBase::BlockSize(80, 4), 64) == 5124 &&
                   ZFixedAllocBase::ChunkSize(ZFixedAllocBase::BlockSize(96, 4), 64) == 6148),
              "pool chunk sizes");
