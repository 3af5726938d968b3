// SHA-256 (FIPS 180-2) and the hex text that file tables and checks compare.
#pragma once
#include <stdint.h>
#include <stddef.h>

#include "common/containers/zstringbuffer.h"

class ZMemoryBuffer;

struct Sha256Context
{
    uint32_t m_anHash[8];
    uint32_t m_anBlocks[2];  // processed 64-byte blocks, low word first
    uint8_t m_abBuffer[64];  // partial block
    uint32_t m_nBuffered;    // bytes in m_abBuffer (0..63)
};
static_assert(sizeof(Sha256Context) == 108, "Sha256Context layout");

class Sha256
{
public:
    virtual ~Sha256() {}

    static void Init(Sha256Context& ctx);
    static void Update(Sha256Context& ctx, const void* pData, size_t nLength);
    static void Final(Sha256Context& ctx);
    static void GetDigest(const Sha256Context& ctx, uint8_t abDigest[32]);

    // 64 characters, no terminator.
    static void HashToHex(const void* pData, size_t nLength, char* pOut);
    // 2 * nLength characters, no terminator.
    static void BytesToHex(const void* pData, size_t nLength, char* pOut);
    static ZStringBuffer<256> HexString(const void* pBytes, size_t nCount);
    static ZStringBuffer<256> HexOfString(const ZStringBase& str);

    // The x86 SHA extensions are used when the processor has them; false forces the portable
    // rounds (same digests). Returns whether the extensions are now in use.
    static bool AllowHardware(bool bAllow);

private:
    static void ProcessBlocks(Sha256Context& ctx, const uint8_t* pBlocks, size_t nBlocks);
};

void Sha256Hex(ZStringBase& strOut, const void* pData, size_t nLength);

// False, leaving strOut unchanged, when the file is missing or its size changed while read.
// The file is read into pScratch (emptied first; null: a buffer of its own), so that a caller
// checking many files reuses one block instead of allocating each file's size anew.
bool GetFileSha256(const char* szPath, ZStringBase& strOut, ZMemoryBuffer* pScratch = nullptr);
