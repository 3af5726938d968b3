// Timings for tools/bench.sh: each mode prints "seconds=<s> bytes=<n> ..." on one line.
//   bench_data sha256 FILE           GetFileSha256 of the file
//   bench_data bunzip FILE.bz2       ZBzipInputStream over ZFileInputStream, output discarded
//   bench_data download HOST PATH    HttpDownload of the path
#include <stdio.h>

#include "benchmodes.h"
#include "common/containers/zsha256.h"
#include "common/net/http.h"
#include "common/stream/bzipstream.h"
#include "common/system/file.h"
#include "common/system/ztimer.h"

namespace
{
double Now()
{
    return (double)ZTimer::Now() / (double)ZTimer::GetTicksPerSecond();
}

int Sha(const char* szPath)
{
    ZStringBuffer<256> strHex;
    double t = Now();
    bool bOk = GetFileSha256(szPath, strHex);
    t = Now() - t;
    printf("seconds=%.3f bytes=%lld sha256=%s\n", t, (long long)File::GetSize(szPath), strHex.GetData());
    return bOk ? 0 : 1;
}

int Bunzip(const char* szPath)
{
    static char s_acBuffer[65536];
    double t = Now();
    ZFileInputStream file(szPath);
    ZBzipInputStream bzip(&file);
    long long nTotal = 0;
    int n;
    while ((n = bzip.Read(s_acBuffer, (int)sizeof(s_acBuffer))) > 0)
        nTotal += n;
    t = Now() - t;
    printf("seconds=%.3f bytes=%lld end=%d\n", t, nTotal, n);
    return file.IsOpen() && n == -1 ? 0 : 1;
}

int Download(const char* szHost, const char* szPath)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    ResponseHolder holder;
    ZStringBuffer<256> strStatus;
    double t = Now();
    int nResult = HttpDownload(&holder, szHost, szPath, strStatus);
    t = Now() - t;
    printf("seconds=%.3f bytes=%u result=%d\n", t, holder.m_nSize, nResult);
    return nResult == 0 ? 0 : 1;
}
}  // namespace

int main(int argc, char** argv)
{
    return ivlbench::RunMode(argc, argv,
                             {
                                 {"sha256", 1, [](char** a) { return Sha(a[0]); }},
                                 {"bunzip", 1, [](char** a) { return Bunzip(a[0]); }},
                                 {"download", 2, [](char** a) { return Download(a[0], a[1]); }},
                             },
                             "bench_data sha256 FILE | bunzip FILE.bz2 | download HOST PATH");
}
