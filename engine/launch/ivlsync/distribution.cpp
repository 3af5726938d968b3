#include "launch/ivlsync/distribution.h"

#include "common/containers/zstringbuffer.h"
#include "shared/net/remotenames.h"

bool IsDistributionUnderRoot(const char* szDistribution)
{
    if (szDistribution == nullptr)
        return false;
    const char* p = szDistribution;
    if (*p == '\\' || *p == '/')
        return false;
    // Every folder on the way is one more distribution's place: none may be the state folder of
    // the one above it, in any spelling, nor a device.
    const char* const kReserved[] = {"synccache"};
    while (*p) {
        const char* pStart = p;
        while (*p && *p != '\\' && *p != '/')
            ++p;
        if (p > pStart) {
            ZStringBuffer<256> piece;
            piece.Assign(pStart, (int)(p - pStart));
            ZStringBuffer<256> problem;
            if (!CheckListedName(piece.GetData(), kReserved, 1, problem))
                return false;
        }
        if (*p)
            ++p;
    }
    return true;
}
