#include "player/resource/resourcenamestore.h"

#include <stdlib.h>
#include <string.h>

ResourceNameStore::ResourceNameStore() : m_pCurrent(nullptr), m_nUsed(BlockSize)
{
}

ResourceNameStore::~ResourceNameStore()
{
    Release();
}

const char* ResourceNameStore::Intern(const char* pName, uint32_t nLength)
{
    char* pCopy;
    if (nLength >= BlockSize) {
        pCopy = (char*)malloc((size_t)nLength + 1);
        m_Large.PushBack(pCopy);
    } else {
        if (m_nUsed + nLength + 1 > BlockSize) {
            m_pCurrent = m_Pool.Alloc()->m_Bytes;
            m_nUsed = 0;
        }
        pCopy = m_pCurrent + m_nUsed;
        m_nUsed += nLength + 1;
    }
    memcpy(pCopy, pName, nLength);
    pCopy[nLength] = 0;
    return pCopy;
}

void ResourceNameStore::Restart()
{
    m_pCurrent = nullptr;
    m_nUsed = BlockSize;
}

void ResourceNameStore::Release()
{
    Restart();
    m_Pool.FreeAll();
    for (char* p : m_Large)
        free(p);
    m_Large.Clear();
}
