#include "common/containers/zfixedalloc.h"

#include <stdlib.h>
#include <string.h>

#include "common/system/zlog.h"

namespace
{
void*& NextChunk(void* pChunk, size_t nBlockSize, size_t nBlocks)
{
    return *reinterpret_cast<void**>(static_cast<char*>(pChunk) + nBlockSize * nBlocks);
}

void*& NextFree(void* pBlock)
{
    return *static_cast<void**>(pBlock);
}

unsigned char& Mark(void* pBlock)
{
    return static_cast<unsigned char*>(pBlock)[ZFixedAllocBase::MarkOffset];
}

// Sorts a chain linked through link(item) into ascending addresses, in place (bottom-up merge
// sort: no memory needed); returns the new head.
template <class Link>
void* SortByAddress(void* pList, Link link)
{
    if (!pList)
        return nullptr;
    for (size_t nRun = 1;; nRun *= 2) {
        void* p = pList;
        void* pTail = nullptr;
        size_t nMerges = 0;
        pList = nullptr;
        while (p) {
            ++nMerges;
            void* q = p;
            size_t nP = 0;
            while (nP < nRun && q) {
                ++nP;
                q = link(q);
            }
            size_t nQ = nRun;
            while (nP > 0 || (nQ > 0 && q)) {
                void* e;
                if (nP > 0 && (nQ == 0 || !q || uintptr_t(p) < uintptr_t(q))) {
                    e = p;
                    p = link(p);
                    --nP;
                } else {
                    e = q;
                    q = link(q);
                    --nQ;
                }
                if (pTail)
                    link(pTail) = e;
                else
                    pList = e;
                pTail = e;
            }
            p = q;
        }
        link(pTail) = nullptr;
        if (nMerges <= 1)
            return pList;
    }
}
}

void* ZFixedAllocBase::AllocMemory(size_t nSize)
{
    if (m_pAllocator)
        return m_pAllocator->Alloc(int(nSize));
    return malloc(nSize);
}

void ZFixedAllocBase::FreeMemory(void* p)
{
    if (m_pAllocator)
        m_pAllocator->Free(p);
    else
        free(p);
}

void* ZFixedAllocBase::AllocBlock(size_t nBlockSize, size_t nBlocks)
{
    if (!m_pFree) {
        char* pChunk = static_cast<char*>(AllocMemory(ChunkSize(nBlockSize, nBlocks)));
        // Pools grow with input from outside (XML nodes, table entries) and can fill a 32-bit
        // address space: the caller fails its operation.
        if (!pChunk)
            return nullptr;
        NextChunk(pChunk, nBlockSize, nBlocks) = m_pChunks;
        m_pChunks = pChunk;
        // Address order: the first block of the chunk is handed out first.
        for (size_t i = nBlocks; i-- > 0;) {
            void* pBlock = pChunk + i * nBlockSize;
            NextFree(pBlock) = m_pFree;
            m_pFree = pBlock;
        }
    }
    void* pBlock = m_pFree;
    m_pFree = NextFree(pBlock);
    ++m_nLiveCount;
    return pBlock;
}

void ZFixedAllocBase::FreeBlock(void* pBlock)
{
    NextFree(pBlock) = m_pFree;
    m_pFree = pBlock;
    --m_nLiveCount;
}

void ZFixedAllocBase::ReleaseAll(size_t nBlockSize, size_t nBlocks, DestroyFn pfnDestroy)
{
    if (m_nLiveCount != 0 && pfnDestroy) {
        // Live blocks are not tracked: mark the free ones, then destroy every block that is not free.
        for (void* p = m_pFree; p; p = NextFree(p))
            Mark(p) = 1;

        size_t nChunks = 0;
        for (void* c = m_pChunks; c; c = NextChunk(c, nBlockSize, nBlocks))
            ++nChunks;
        uint64_t nTableBytes = uint64_t(nChunks) * nBlocks * sizeof(void*);
        int32_t lEntryCount = int32_t(nChunks * nBlocks);
        void** pTable = static_cast<void**>(AllocMemory(nTableBytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : size_t(nTableBytes)));
        if (!pTable) {
            // A pool that filled the address space leaves no room for the table. Walking the
            // chunks and the free list both in address order tells the free blocks apart as
            // surely, at the cost of sorting both chains.
            m_pFree = SortByAddress(m_pFree, [](void* p) -> void*& { return NextFree(p); });
            m_pChunks = SortByAddress(m_pChunks, [=](void* c) -> void*& { return NextChunk(c, nBlockSize, nBlocks); });
            void* pNextFree = m_pFree;
            for (void* c = m_pChunks; c; c = NextChunk(c, nBlockSize, nBlocks))
                for (size_t i = 0; i < nBlocks; ++i) {
                    void* pBlock = static_cast<char*>(c) + i * nBlockSize;
                    if (pBlock == pNextFree)
                        pNextFree = NextFree(pBlock);
                    else
                        pfnDestroy(pBlock);
                }
        } else {
            // Candidates: every free block, and every live block whose own data holds 1 at the mark.
            int32_t lFreeCount = 0;
            for (void* c = m_pChunks; c; c = NextChunk(c, nBlockSize, nBlocks))
                for (size_t i = 0; i < nBlocks; ++i) {
                    void* pBlock = static_cast<char*>(c) + i * nBlockSize;
                    if (Mark(pBlock) != 1)
                        continue;
                    ZASSERT(lFreeCount < lEntryCount, this);
                    if (lFreeCount < lEntryCount)
                        pTable[lFreeCount++] = pBlock;
                }

            // Only free blocks are re-marked: a candidate that does not read 2 now is live.
            for (void* p = m_pFree; p; p = NextFree(p))
                Mark(p) = 2;

            int32_t nCursor = 0;
            for (void* c = m_pChunks; c; c = NextChunk(c, nBlockSize, nBlocks))
                for (size_t i = 0; i < nBlocks; ++i) {
                    void* pBlock = static_cast<char*>(c) + i * nBlockSize;
                    if (nCursor < lFreeCount && pTable[nCursor] == pBlock) {
                        ++nCursor;
                        if (Mark(pBlock) == 2)
                            continue;
                    }
                    pfnDestroy(pBlock);
                }

            FreeMemory(pTable);
        }
    }
    m_nLiveCount = 0;
    m_pFree = nullptr;
    while (m_pChunks) {
        void* pNext = NextChunk(m_pChunks, nBlockSize, nBlocks);
        FreeMemory(m_pChunks);
        m_pChunks = pNext;
    }
}
