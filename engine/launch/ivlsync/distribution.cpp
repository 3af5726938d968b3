#include "launch/ivlsync/distribution.h"

bool IsDistributionUnderRoot(const char* szDistribution)
{
    if (szDistribution == nullptr)
        return false;
    const char* p = szDistribution;
    if (*p == '\\' || *p == '/')
        return false;
    while (*p) {
        // One name, up to the next separator.
        bool bOnlyDotsAndBlanks = true;
        const char* pStart = p;
        for (; *p && *p != '\\' && *p != '/'; ++p) {
            if (*p == ':')
                return false;  // a drive, or a stream of a file
            if (*p != '.' && *p != ' ')
                bOnlyDotsAndBlanks = false;
        }
        if (p > pStart && bOnlyDotsAndBlanks)
            return false;
        if (*p)
            ++p;
    }
    return true;
}
