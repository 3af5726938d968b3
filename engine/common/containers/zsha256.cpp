#include "common/containers/zsha256.h"

#include <string.h>

#include "common/containers/zmemorybuffer.h"
#include "common/system/file.h"
#include "common/system/path.h"

namespace
{
const uint32_t k_anRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

const char k_acHexDigits[] = "0123456789abcdef";

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t LoadBE(const uint8_t* p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

inline void StoreBE(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}
} // namespace

void Sha256::Init(Sha256Context& ctx)
{
    static const uint32_t k_anInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memcpy(ctx.m_anHash, k_anInit, sizeof(k_anInit));
    ctx.m_anBlocks[0] = 0;
    ctx.m_anBlocks[1] = 0;
    memset(ctx.m_abBuffer, 0, sizeof(ctx.m_abBuffer));
    ctx.m_nBuffered = 0;
}

void Sha256::ProcessBlock(Sha256Context& ctx, const uint8_t* pBlock)
{
    if (++ctx.m_anBlocks[0] == 0)
        ++ctx.m_anBlocks[1];

    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = LoadBE(pBlock + 4 * i);
    for (int i = 16; i < 64; ++i)
    {
        uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }

    uint32_t a = ctx.m_anHash[0], b = ctx.m_anHash[1], c = ctx.m_anHash[2], d = ctx.m_anHash[3];
    uint32_t e = ctx.m_anHash[4], f = ctx.m_anHash[5], g = ctx.m_anHash[6], h = ctx.m_anHash[7];
    for (int i = 0; i < 64; ++i)
    {
        uint32_t S1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
        uint32_t ch = (e & f) ^ (~e & g);
        uint32_t t1 = h + S1 + ch + k_anRound[i] + w[i];
        uint32_t S0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
        uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        uint32_t t2 = S0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    ctx.m_anHash[0] += a;
    ctx.m_anHash[1] += b;
    ctx.m_anHash[2] += c;
    ctx.m_anHash[3] += d;
    ctx.m_anHash[4] += e;
    ctx.m_anHash[5] += f;
    ctx.m_anHash[6] += g;
    ctx.m_anHash[7] += h;
}

void Sha256::Update(Sha256Context& ctx, const void* pData, size_t nLength)
{
    const uint8_t* p = (const uint8_t*)pData;
    if (ctx.m_nBuffered > 0)
    {
        size_t nFree = 64 - ctx.m_nBuffered;
        if (nLength < nFree)
        {
            memcpy(ctx.m_abBuffer + ctx.m_nBuffered, p, nLength);
            ctx.m_nBuffered += (uint32_t)nLength;
            return;
        }
        memcpy(ctx.m_abBuffer + ctx.m_nBuffered, p, nFree);
        ProcessBlock(ctx, ctx.m_abBuffer);
        ctx.m_nBuffered = 0;
        p += nFree;
        nLength -= nFree;
    }
    while (nLength >= 64)
    {
        ProcessBlock(ctx, p);
        p += 64;
        nLength -= 64;
    }
    if (nLength > 0)
        memcpy(ctx.m_abBuffer, p, nLength);
    ctx.m_nBuffered = (uint32_t)nLength;
}

void Sha256::Final(Sha256Context& ctx)
{
    // The bit length counts whole blocks before the padding changes the count.
    uint64_t nBits = ((((uint64_t)ctx.m_anBlocks[1] << 32) | ctx.m_anBlocks[0]) << 9) +
                     (uint64_t)ctx.m_nBuffered * 8;
    uint32_t n = ctx.m_nBuffered;
    ctx.m_abBuffer[n++] = 0x80;
    if (n > 56)
    {
        memset(ctx.m_abBuffer + n, 0, 64 - n);
        ProcessBlock(ctx, ctx.m_abBuffer);
        n = 0;
    }
    memset(ctx.m_abBuffer + n, 0, 56 - n);
    StoreBE(ctx.m_abBuffer + 56, (uint32_t)(nBits >> 32));
    StoreBE(ctx.m_abBuffer + 60, (uint32_t)nBits);
    ProcessBlock(ctx, ctx.m_abBuffer);
    ctx.m_nBuffered = 0;
}

void Sha256::GetDigest(const Sha256Context& ctx, uint8_t abDigest[32])
{
    for (int i = 0; i < 8; ++i)
        StoreBE(abDigest + 4 * i, ctx.m_anHash[i]);
}

void Sha256::BytesToHex(const void* pData, size_t nLength, char* pOut)
{
    const uint8_t* p = (const uint8_t*)pData;
    for (size_t i = 0; i < nLength; ++i)
    {
        pOut[2 * i] = k_acHexDigits[p[i] >> 4];
        pOut[2 * i + 1] = k_acHexDigits[p[i] & 15];
    }
}

void Sha256::HashToHex(const void* pData, size_t nLength, char* pOut)
{
    Sha256Context ctx;
    Init(ctx);
    Update(ctx, pData, nLength);
    Final(ctx);
    uint8_t abDigest[32];
    GetDigest(ctx, abDigest);
    BytesToHex(abDigest, sizeof(abDigest), pOut);
}

ZStringBuffer<256> Sha256::HexString(const void* pBytes, size_t nCount)
{
    ZStringBuffer<256> result;
    result.Reserve((int)(2 * nCount + 1));
    for (size_t i = 0; i < nCount; ++i)
    {
        char ac[2];
        BytesToHex((const uint8_t*)pBytes + i, 1, ac);
        result.AppendChar(ac[0]);
        result.AppendChar(ac[1]);
    }
    return result;
}

ZStringBuffer<256> Sha256::HexOfString(const ZStringBase& str)
{
    char acHex[64];
    HashToHex(str.GetData(), (size_t)str.GetLength(), acHex);
    ZStringBuffer<256> result;
    result.Assign(acHex, 64);
    return result;
}

void Sha256Hex(ZStringBase& strOut, const void* pData, size_t nLength)
{
    char acHex[64];
    Sha256::HashToHex(pData, nLength, acHex);
    strOut.Assign(acHex, 64);
}

bool GetFileSha256(const char* szPath, ZStringBase& strOut)
{
    int64_t nSize = File::GetSize(szPath);
    if (nSize < 0)
        return false;
    ZMemoryBuffer buffer;
    size_t nRead = ReadFileToBuffer(szPath, &buffer);
    if ((int64_t)nRead != nSize)
        return false;
    Sha256Hex(strOut, buffer.GetData(), nRead);
    return true;
}
