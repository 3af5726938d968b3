// Interned copies of names in 16384-byte blocks from a block pool (8 blocks a chunk); a copy's
// address never changes while the store lives. A name too long for a block gets a heap block.
#pragma once
#include <stdint.h>

#include "common/containers/zarray.h"
#include "common/containers/zfixedalloc.h"

class ResourceNameStore
{
public:
    enum : uint32_t
    {
        BlockSize = 16384
    };

    ResourceNameStore();
    ~ResourceNameStore();
    ResourceNameStore(const ResourceNameStore&) = delete;
    ResourceNameStore& operator=(const ResourceNameStore&) = delete;

    // The terminated copy of nLength bytes.
    const char* Intern(const char* pName, uint32_t nLength);
    // The next name starts a new block; copies made so far stay valid.
    void Restart();
    // Frees every copy.
    void Release();

private:
    struct Block
    {
        char m_Bytes[BlockSize];
    };

    ZFixedAlloc<Block, 8> m_Pool;
    char* m_pCurrent;
    uint32_t m_nUsed;  // starts full, so the first name takes a block
    ZLinearArray<char*> m_Large;
};
