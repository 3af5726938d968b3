// Timings for tools/bench.d/tables.sh: each mode prints "seconds=<s> bytes=<n> ..." on one line.
//   bench_tables xml FILE         ZXmlDocument::Load of the file through a file stream
//   bench_tables filetable FILE   ZFileTable::Load of the file (no base folder, not relative)
#include <stdio.h>

#include "benchmodes.h"
#include "common/containers/zfiletable.h"
#include "common/containers/zxml.h"
#include "common/stream/streams.h"
#include "common/system/file.h"
#include "common/system/ztimer.h"

namespace
{

double Now()
{
    return (double)ZTimer::Now() / (double)ZTimer::GetTicksPerSecond();
}

int Xml(const char* szPath)
{
    double t = Now();
    ZXmlDocument doc;
    ZFileInputStream stream(szPath);
    doc.Load(&stream);
    t = Now() - t;
    int nElements = 0;
    if (ZXmlElement* pRoot = doc.m_Elements.m_pFirst)
        for (ZXmlElement* p = pRoot->m_Children.m_pFirst; p; p = p->m_pNext)
            ++nElements;
    printf("seconds=%.3f bytes=%lld elements=%d\n", t, (long long)File::GetSize(szPath), nElements);
    return nElements > 0 ? 0 : 1;
}

int Table(const char* szPath)
{
    double t = Now();
    ZFileTable table;
    ZFileInputStream stream(szPath);
    table.Load(&stream, nullptr, false, false, false);
    t = Now() - t;
    printf("seconds=%.3f bytes=%lld records=%d\n", t, (long long)File::GetSize(szPath), table.GetCount());
    return table.GetCount() > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    return ivlbench::RunMode(argc, argv,
                             {
                                 {"xml", 1, [](char** a) { return Xml(a[0]); }},
                                 {"filetable", 1, [](char** a) { return Table(a[0]); }},
                             },
                             "bench_tables xml|filetable FILE");
}
