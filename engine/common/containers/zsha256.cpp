#include "common/containers/zsha256.h"

#include <string.h>

#include <cpuid.h>
#include <immintrin.h>

#include "common/containers/zmemorybuffer.h"
#include "common/system/file.h"

namespace
{
const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

const char kHexDigits[] = "0123456789abcdef";

inline uint32_t Rotr(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

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
}  // namespace

void Sha256::Init(Sha256Context& ctx)
{
    static const uint32_t kInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memcpy(ctx.m_anHash, kInit, sizeof(kInit));
    ctx.m_anBlocks[0] = 0;
    ctx.m_anBlocks[1] = 0;
    memset(ctx.m_abBuffer, 0, sizeof(ctx.m_abBuffer));
    ctx.m_nBuffered = 0;
}

namespace
{
// ---- portable rounds: no per-byte work, the schedule kept in 16 words ----

inline uint32_t LoadBEWord(const uint8_t* p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}

#define ZSHA_S0(x) (Rotr(x, 2) ^ Rotr(x, 13) ^ Rotr(x, 22))
#define ZSHA_S1(x) (Rotr(x, 6) ^ Rotr(x, 11) ^ Rotr(x, 25))
#define ZSHA_s0(x) (Rotr(x, 7) ^ Rotr(x, 18) ^ ((x) >> 3))
#define ZSHA_s1(x) (Rotr(x, 17) ^ Rotr(x, 19) ^ ((x) >> 10))
#define ZSHA_CH(e, f, g) ((g) ^ ((e) & ((f) ^ (g))))
#define ZSHA_MAJ(a, b, c) (((a) & (b)) | ((c) & ((a) | (b))))
// Word j of the 16-word window after round base i (i >= 16 expands the schedule in place).
#define ZSHA_W(j)                                                                                                      \
    (i == 0 ? w[j] : (w[j] += ZSHA_s1(w[((j) + 14) & 15]) + w[((j) + 9) & 15] + ZSHA_s0(w[((j) + 1) & 15])))
#define ZSHA_ROUND(a, b, c, d, e, f, g, h, j)                                                                          \
    {                                                                                                                  \
        uint32_t t1 = h + ZSHA_S1(e) + ZSHA_CH(e, f, g) + kRound[i + (j)] + ZSHA_W(j);                                 \
        d += t1;                                                                                                       \
        h = t1 + ZSHA_S0(a) + ZSHA_MAJ(a, b, c);                                                                       \
    }

void ProcessBlocksPortable(uint32_t anHash[8], const uint8_t* p, size_t nBlocks)
{
    for (; nBlocks > 0; --nBlocks, p += 64) {
        uint32_t w[16];
        for (int j = 0; j < 16; ++j)
            w[j] = LoadBEWord(p + 4 * j);
        uint32_t a = anHash[0], b = anHash[1], c = anHash[2], d = anHash[3];
        uint32_t e = anHash[4], f = anHash[5], g = anHash[6], h = anHash[7];
        for (int i = 0; i < 64; i += 16) {
            ZSHA_ROUND(a, b, c, d, e, f, g, h, 0);
            ZSHA_ROUND(h, a, b, c, d, e, f, g, 1);
            ZSHA_ROUND(g, h, a, b, c, d, e, f, 2);
            ZSHA_ROUND(f, g, h, a, b, c, d, e, 3);
            ZSHA_ROUND(e, f, g, h, a, b, c, d, 4);
            ZSHA_ROUND(d, e, f, g, h, a, b, c, 5);
            ZSHA_ROUND(c, d, e, f, g, h, a, b, 6);
            ZSHA_ROUND(b, c, d, e, f, g, h, a, 7);
            ZSHA_ROUND(a, b, c, d, e, f, g, h, 8);
            ZSHA_ROUND(h, a, b, c, d, e, f, g, 9);
            ZSHA_ROUND(g, h, a, b, c, d, e, f, 10);
            ZSHA_ROUND(f, g, h, a, b, c, d, e, 11);
            ZSHA_ROUND(e, f, g, h, a, b, c, d, 12);
            ZSHA_ROUND(d, e, f, g, h, a, b, c, 13);
            ZSHA_ROUND(c, d, e, f, g, h, a, b, 14);
            ZSHA_ROUND(b, c, d, e, f, g, h, a, 15);
        }
        anHash[0] += a;
        anHash[1] += b;
        anHash[2] += c;
        anHash[3] += d;
        anHash[4] += e;
        anHash[5] += f;
        anHash[6] += g;
        anHash[7] += h;
    }
}

// ---- x86 SHA extensions ----

// 32-bit Windows promises threads only a 4-byte aligned stack (the crash reporter's own thread
// among them), while the SSE spills here need 16: realign on entry.
__attribute__((target("sha,sse4.1,ssse3"), force_align_arg_pointer)) void
ProcessBlocksShaExt(uint32_t anHash[8], const uint8_t* p, size_t nBlocks)
{
    const __m128i kSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    // The instructions keep the state as ABEF and CDGH.
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128((const __m128i*)&anHash[0]), 0xB1);     // CDAB
    __m128i state1 = _mm_shuffle_epi32(_mm_loadu_si128((const __m128i*)&anHash[4]), 0x1B);  // HGFE
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);                                       // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);                                            // CDGH
    for (; nBlocks > 0; --nBlocks, p += 64) {
        const __m128i abefSave = state0;
        const __m128i cdghSave = state1;
        __m128i w[4];
#pragma GCC unroll 16
        for (int i = 0; i < 16; ++i) {
            __m128i& wi = w[i & 3];
            if (i < 4)
                wi = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i*)(p + 16 * i)), kSwap);
            else
                wi = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(wi, w[(i + 1) & 3]),
                                                        _mm_alignr_epi8(w[(i + 3) & 3], w[(i + 2) & 3], 4)),
                                          w[(i + 3) & 3]);
            __m128i msg = _mm_add_epi32(wi, _mm_loadu_si128((const __m128i*)&kRound[4 * i]));
            state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
            state0 = _mm_sha256rnds2_epu32(state0, state1, _mm_shuffle_epi32(msg, 0x0E));
        }
        state0 = _mm_add_epi32(state0, abefSave);
        state1 = _mm_add_epi32(state1, cdghSave);
    }
    tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);     // HGFE
    _mm_storeu_si128((__m128i*)&anHash[0], state0);
    _mm_storeu_si128((__m128i*)&anHash[4], state1);
}

bool CpuHasShaExt()
{
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return false;
    const bool bSse = (c & bit_SSSE3) && (c & bit_SSE4_1);
    if (!bSse || __get_cpuid_max(0, nullptr) < 7)
        return false;
    __cpuid_count(7, 0, a, b, c, d);
    return (b & bit_SHA) != 0;
}

typedef void (*BlockFunction)(uint32_t anHash[8], const uint8_t* p, size_t nBlocks);

BlockFunction Pick(bool bAllowHardware)
{
    return bAllowHardware && CpuHasShaExt() ? &ProcessBlocksShaExt : &ProcessBlocksPortable;
}

void ProcessBlocksFirst(uint32_t anHash[8], const uint8_t* p, size_t nBlocks);

// Chosen at the first use (constant-initialised, so hashing from other static initialisers
// works); a plain pointer store, and threads that race on it pick the same.
BlockFunction g_pfnBlocks = &ProcessBlocksFirst;

void ProcessBlocksFirst(uint32_t anHash[8], const uint8_t* p, size_t nBlocks)
{
    g_pfnBlocks = Pick(true);
    g_pfnBlocks(anHash, p, nBlocks);
}
}  // namespace

bool Sha256::AllowHardware(bool bAllow)
{
    g_pfnBlocks = Pick(bAllow);
    return g_pfnBlocks == &ProcessBlocksShaExt;
}

void Sha256::ProcessBlocks(Sha256Context& ctx, const uint8_t* pBlocks, size_t nBlocks)
{
    uint32_t nLow = ctx.m_anBlocks[0];
    ctx.m_anBlocks[0] += (uint32_t)nBlocks;
    ctx.m_anBlocks[1] += (uint32_t)((uint64_t)nBlocks >> 32) + (ctx.m_anBlocks[0] < nLow ? 1 : 0);
    g_pfnBlocks(ctx.m_anHash, pBlocks, nBlocks);
}

void Sha256::Update(Sha256Context& ctx, const void* pData, size_t nLength)
{
    const uint8_t* p = (const uint8_t*)pData;
    if (ctx.m_nBuffered > 0) {
        size_t nFree = 64 - ctx.m_nBuffered;
        if (nLength < nFree) {
            memcpy(ctx.m_abBuffer + ctx.m_nBuffered, p, nLength);
            ctx.m_nBuffered += (uint32_t)nLength;
            return;
        }
        memcpy(ctx.m_abBuffer + ctx.m_nBuffered, p, nFree);
        ProcessBlocks(ctx, ctx.m_abBuffer, 1);
        ctx.m_nBuffered = 0;
        p += nFree;
        nLength -= nFree;
    }
    if (nLength >= 64) {
        size_t nBlocks = nLength / 64;
        ProcessBlocks(ctx, p, nBlocks);
        p += nBlocks * 64;
        nLength -= nBlocks * 64;
    }
    if (nLength > 0)
        memcpy(ctx.m_abBuffer, p, nLength);
    ctx.m_nBuffered = (uint32_t)nLength;
}

void Sha256::Final(Sha256Context& ctx)
{
    // The bit length counts whole blocks before the padding changes the count.
    uint64_t nBits = ((((uint64_t)ctx.m_anBlocks[1] << 32) | ctx.m_anBlocks[0]) << 9) + (uint64_t)ctx.m_nBuffered * 8;
    uint32_t n = ctx.m_nBuffered;
    ctx.m_abBuffer[n++] = 0x80;
    if (n > 56) {
        memset(ctx.m_abBuffer + n, 0, 64 - n);
        ProcessBlocks(ctx, ctx.m_abBuffer, 1);
        n = 0;
    }
    memset(ctx.m_abBuffer + n, 0, 56 - n);
    StoreBE(ctx.m_abBuffer + 56, (uint32_t)(nBits >> 32));
    StoreBE(ctx.m_abBuffer + 60, (uint32_t)nBits);
    ProcessBlocks(ctx, ctx.m_abBuffer, 1);
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
    for (size_t i = 0; i < nLength; ++i) {
        pOut[2 * i] = kHexDigits[p[i] >> 4];
        pOut[2 * i + 1] = kHexDigits[p[i] & 15];
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
    // Without room for all of it the result is empty rather than a prefix.
    if (nCount > 0x3FFFFFFF || !result.Reserve((int)(2 * nCount + 1)))
        return result;
    for (size_t i = 0; i < nCount; ++i) {
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

bool GetFileSha256(const char* szPath, ZStringBase& strOut, ZMemoryBuffer* pScratch)
{
    // One open gives both the size and the bytes: under Wine a separate size query by path
    // costs as much as opening the file again. Writers are denied while it is open.
    File file = File::Open(szPath, File::MODE_READ);
    if (!file.IsOpen()) {
        // What the size query and the failed read would give: only a file of no bytes passes.
        if (File::GetSize(szPath) != 0)
            return false;
        Sha256Hex(strOut, "", 0);
        return true;
    }
    if (!file.SeekEnd())
        return false;
    long nSize = file.Tell();
    if (nSize < 0 || !file.Seek(0))
        return false;
    ZMemoryBuffer local;
    ZMemoryBuffer& buffer = pScratch ? *pScratch : local;
    buffer.SetEmpty();
    if (nSize > 0 && !buffer.Reserve(static_cast<unsigned>(nSize)))
        return false;
    size_t nRead = nSize > 0 ? file.Read(buffer.GetData(), static_cast<size_t>(nSize)) : 0;
    // A byte past the size found means the file grew meanwhile, as a short read means it shrank.
    unsigned char bMore;
    if ((int64_t)nRead != (int64_t)nSize || file.Read(&bMore, 1) != 0)
        return false;
    Sha256Hex(strOut, nRead ? buffer.GetData() : (const unsigned char*)"", nRead);
    return true;
}
