// The floor for tools/bench.sh: the least a Windows program under Wine must do for the work
// that the engine's code does, each mode printing "seconds=<s> ..." on one line.
//   bench_floor sha256 FILE            one ReadFile of the whole file, then the digest
//   bench_floor bunzip FILE.bz2        libbz2 alone over the file read whole
//   bench_floor download HOST PORT PATH  raw Winsock: the header a byte at a time, the body in
//                                      10,000-byte pieces with a yield after each
//   bench_floor filetable FILE         lines into a std::map
//   bench_floor bundle HOST PORT PATH  raw Winsock GET of a .bz2 body, decompressed by libbz2 as
//                                      it arrives, on one thread (the output is dropped)
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>

#include <bzlib.h>

#include "benchmodes.h"
#include "common/containers/zsha256.h"

namespace
{
double Now()
{
    LARGE_INTEGER n, f;
    QueryPerformanceCounter(&n);
    QueryPerformanceFrequency(&f);
    return (double)n.QuadPart / (double)f.QuadPart;
}

// The whole file in one block, or null.
unsigned char* ReadWhole(const char* szPath, size_t& nSize)
{
    HANDLE h =
        CreateFileA(szPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    LARGE_INTEGER size;
    GetFileSizeEx(h, &size);
    nSize = (size_t)size.QuadPart;
    unsigned char* p = (unsigned char*)VirtualAlloc(nullptr, nSize ? nSize : 1, MEM_COMMIT, PAGE_READWRITE);
    size_t nDone = 0;
    while (p && nDone < nSize) {
        DWORD nPiece = nSize - nDone > 0x40000000 ? 0x40000000 : (DWORD)(nSize - nDone), nRead = 0;
        if (!ReadFile(h, p + nDone, nPiece, &nRead, nullptr) || nRead == 0)
            break;
        nDone += nRead;
    }
    CloseHandle(h);
    return p;
}

// Reads the file whole and hands it to work; the seconds cover the read and the work, not the
// release of the block. False when the file cannot be read.
template <class Work>
bool OverWholeFile(const char* szPath, double& t, size_t& nSize, Work work)
{
    t = Now();
    unsigned char* p = ReadWhole(szPath, nSize);
    if (!p)
        return false;
    work(p, nSize);
    t = Now() - t;
    VirtualFree(p, 0, MEM_RELEASE);
    return true;
}

int Sha(const char* szPath)
{
    double t = 0;
    size_t nSize = 0;
    char acHex[65] = {0};
    if (!OverWholeFile(szPath, t, nSize, [&](unsigned char* p, size_t n) { Sha256::HashToHex(p, n, acHex); }))
        return 1;
    printf("seconds=%.3f bytes=%llu sha256=%s\n", t, (unsigned long long)nSize, acHex);
    return 0;
}

int Bunzip(const char* szPath)
{
    static char s_acOut[65536];
    double t = 0;
    size_t nSize = 0;
    unsigned long long nTotal = 0;
    int r = BZ_OK;
    bool bRead = OverWholeFile(szPath, t, nSize, [&](unsigned char* p, size_t n) {
        bz_stream s;
        memset(&s, 0, sizeof(s));
        BZ2_bzDecompressInit(&s, 0, 0);
        s.next_in = (char*)p;
        s.avail_in = (unsigned)n;
        do {
            s.next_out = s_acOut;
            s.avail_out = sizeof(s_acOut);
            r = BZ2_bzDecompress(&s);
            nTotal += sizeof(s_acOut) - s.avail_out;
        } while (r == BZ_OK);
        BZ2_bzDecompressEnd(&s);
    });
    if (!bRead)
        return 1;
    printf("seconds=%.3f bytes=%llu end=%d\n", t, nTotal, r);
    return r == BZ_STREAM_END ? 0 : 1;
}

// A connection to the host with the GET request sent, or INVALID_SOCKET.
SOCKET SendGet(const char* szHost, int nPort, const char* szPath)
{
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET h = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((u_short)nPort);
    a.sin_addr.s_addr = inet_addr(szHost);
    if (connect(h, (sockaddr*)&a, sizeof(a)) != 0) {
        closesocket(h);
        return INVALID_SOCKET;
    }
    std::string request = std::string("GET /") + szPath + " HTTP/1.1\r\nHost: " + szHost + "\r\nAccept: */*\r\n\r\n";
    send(h, request.data(), (int)request.size(), 0);
    return h;
}

int Download(const char* szHost, int nPort, const char* szPath)
{
    double t = Now();
    SOCKET h = SendGet(szHost, nPort, szPath);
    if (h == INVALID_SOCKET)
        return 1;
    std::string header;
    char c;
    while (header.size() < 4 || header.compare(header.size() - 4, 4, "\r\n\r\n") != 0) {
        if (recv(h, &c, 1, 0) != 1)
            return 1;
        header += c;
    }
    const char* pLength = strstr(header.c_str(), "Content-Length:");
    unsigned nSize = pLength ? (unsigned)strtoul(pLength + 15, nullptr, 10) : 0;
    unsigned char* pBody = (unsigned char*)malloc(nSize ? nSize : 1);
    unsigned nDone = 0;
    while (nDone < nSize) {
        unsigned nPiece = nSize - nDone < 10000 ? nSize - nDone : 10000;
        for (unsigned nGot = 0; nGot < nPiece;) {
            int n = recv(h, (char*)pBody + nDone + nGot, (int)(nPiece - nGot), 0);
            if (n <= 0)
                return 1;
            nGot += (unsigned)n;
        }
        nDone += nPiece;
        Sleep(0);
    }
    t = Now() - t;
    closesocket(h);
    free(pBody);
    printf("seconds=%.3f bytes=%u\n", t, nDone);
    return 0;
}

int Bundle(const char* szHost, int nPort, const char* szPath)
{
    static char s_acIn[65536];
    static char s_acOut[65536];
    double t = Now();
    SOCKET h = SendGet(szHost, nPort, szPath);
    if (h == INVALID_SOCKET)
        return 1;
    // The header, and whatever of the body came with it.
    std::string header;
    size_t nHeaderEnd;
    for (;;) {
        int n = recv(h, s_acIn, sizeof(s_acIn), 0);
        if (n <= 0)
            return 1;
        header.append(s_acIn, (size_t)n);
        if ((nHeaderEnd = header.find("\r\n\r\n")) != std::string::npos)
            break;
    }
    nHeaderEnd += 4;
    const char* pLength = strstr(header.c_str(), "Content-Length:");
    unsigned long long nSize = pLength ? strtoull(pLength + 15, nullptr, 10) : 0;
    bz_stream s;
    memset(&s, 0, sizeof(s));
    BZ2_bzDecompressInit(&s, 0, 0);
    unsigned long long nReceived = header.size() - nHeaderEnd, nTotal = 0;
    std::string first = header.substr(nHeaderEnd);
    s.next_in = (char*)first.data();
    s.avail_in = (unsigned)first.size();
    int r = BZ_OK;
    for (;;) {
        while (s.avail_in > 0 && r == BZ_OK) {
            s.next_out = s_acOut;
            s.avail_out = sizeof(s_acOut);
            r = BZ2_bzDecompress(&s);
            nTotal += sizeof(s_acOut) - s.avail_out;
        }
        if (r != BZ_OK || nReceived >= nSize)
            break;
        int n = recv(h, s_acIn, sizeof(s_acIn), 0);
        if (n <= 0)
            break;
        nReceived += (unsigned)n;
        s.next_in = s_acIn;
        s.avail_in = (unsigned)n;
    }
    // Output still held by the decoder once the input has gone.
    while (r == BZ_OK) {
        s.next_out = s_acOut;
        s.avail_out = sizeof(s_acOut);
        r = BZ2_bzDecompress(&s);
        unsigned nOut = sizeof(s_acOut) - s.avail_out;
        nTotal += nOut;
        if (nOut == 0)
            break;
    }
    BZ2_bzDecompressEnd(&s);
    t = Now() - t;
    closesocket(h);
    printf("seconds=%.3f bytes=%llu received=%llu end=%d\n", t, nTotal, nReceived, r);
    return r == BZ_STREAM_END ? 0 : 1;
}

struct Record
{
    std::string text;
    int nSize, nFlag1, nFlag2;
};

// The records of a file-table text: the name between the first and the last quote, then the
// checksum text, the size and the two flags.
void ParseTable(const unsigned char* p, size_t nSize, std::map<std::string, Record>& table)
{
    const char* s = (const char*)p;
    const char* pEnd = s + nSize;
    while (s < pEnd) {
        const char* pLineEnd = (const char*)memchr(s, '\n', pEnd - s);
        if (!pLineEnd)
            pLineEnd = pEnd;
        const char* e = pLineEnd;
        if (e > s && e[-1] == '\r')
            --e;
        const char* q = e;
        while (q > s && *--q != '"') {
        }
        if (q > s && *s == '"') {
            Record r;
            const char* f = q + 2;
            const char* c1 = (const char*)memchr(f, ',', e - f);
            if (c1) {
                r.text.assign(f, c1 - f);
                r.nSize = atoi(c1 + 1);
                const char* c2 = (const char*)memchr(c1 + 1, ',', e - c1 - 1);
                r.nFlag1 = c2 ? atoi(c2 + 1) : 0;
                const char* c3 = c2 ? (const char*)memchr(c2 + 1, ',', e - c2 - 1) : nullptr;
                r.nFlag2 = c3 ? atoi(c3 + 1) : 0;
                table[std::string(s + 1, q - s - 1)] = r;
            }
        }
        s = pLineEnd + 1;
    }
}

int Table(const char* szPath)
{
    double t = 0;
    size_t nSize = 0;
    std::map<std::string, Record> table;  // dropped after the clock stops
    if (!OverWholeFile(szPath, t, nSize, [&](unsigned char* p, size_t n) { ParseTable(p, n, table); }))
        return 1;
    printf("seconds=%.3f bytes=%llu records=%u\n", t, (unsigned long long)nSize, (unsigned)table.size());
    return table.empty() ? 1 : 0;
}
}  // namespace

int main(int argc, char** argv)
{
    return ivlbench::RunMode(argc, argv,
                             {
                                 {"sha256", 1, [](char** a) { return Sha(a[0]); }},
                                 {"bunzip", 1, [](char** a) { return Bunzip(a[0]); }},
                                 {"download", 3, [](char** a) { return Download(a[0], atoi(a[1]), a[2]); }},
                                 {"filetable", 1, [](char** a) { return Table(a[0]); }},
                                 {"bundle", 3, [](char** a) { return Bundle(a[0], atoi(a[1]), a[2]); }},
                             },
                             "bench_floor sha256 FILE | bunzip FILE.bz2 | download HOST PORT PATH | filetable FILE"
                             " | bundle HOST PORT PATH");
}
