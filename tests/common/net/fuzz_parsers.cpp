// Mutation fuzzing of the readers that take input from file servers and pages, run under Wine
// by tools/fuzz.sh (make fuzz), not by the test run. The readers include the engine's system
// layer (windows.h), so this is an in-process mutation loop rather than a native libFuzzer run.
//   fuzz_parsers PARSER COUNT [SEED]     PARSER: xml filetable catalog bzip2 http names command all
// Each input is a mutation of a valid sample (byte flips, inserted markup tokens, repeated and
// cut ranges). A crash ends the program; the slowest input of each parser is reported so that
// a quadratic path shows as a time far above the rest. Exit code 0 when every input ran.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "common/containers/zfilecatalog.h"
#include "common/containers/zfiletable.h"
#include "common/containers/zmemorybuffer.h"
#include "common/containers/zxml.h"
#include "common/net/http.h"
#include "common/stream/bzipstream.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/ztimer.h"
#include "launch/launchlibs/flashmessage.h"
#include "loopback.h"
#include "shared/net/remotenames.h"
#include "shared/net/uniquefilelist.h"

namespace
{
uint32_t g_nRandom = 2463534242u;

uint32_t Random()
{
    g_nRandom ^= g_nRandom << 13;
    g_nRandom ^= g_nRandom >> 17;
    g_nRandom ^= g_nRandom << 5;
    return g_nRandom;
}

size_t Below(size_t n)
{
    return n ? Random() % n : 0;
}

const char* const kTokens[] = {"<",
                                   ">",
                                   "/>",
                                   "</",
                                   "<![CDATA[",
                                   "]]>",
                                   "<!--",
                                   "-->",
                                   "\"",
                                   "'",
                                   "=",
                                   "&amp;",
                                   "&#x",
                                   "&#",
                                   ";",
                                   "..",
                                   "/",
                                   "\\",
                                   ",",
                                   "\r\n",
                                   "\n",
                                   "\0",
                                   "-",
                                   "_",
                                   "0",
                                   "9999999999",
                                   "\r\n\r\n",
                                   "chunked",
                                   "Content-Length: ",
                                   "Transfer-Encoding: ",
                                   "ffffffff",
                                   "~",
                                   "~1",
                                   ".TXT",
                                   "synccache",
                                   "COM1",
                                   "2147483648"};

std::string Mutate(const std::string& seed)
{
    std::string s = seed;
    int nSteps = 1 + (int)Below(8);
    for (int i = 0; i < nSteps; ++i) {
        size_t nAt = Below(s.size() + 1);
        switch (Below(6)) {
        case 0:
            if (!s.empty())
                s[Below(s.size())] ^= (char)(1 << Below(8));
            break;
        case 1: s.insert(nAt, 1, (char)Random()); break;
        case 2: {
            const char* t = kTokens[Below(sizeof(kTokens) / sizeof(kTokens[0]))];
            s.insert(nAt, t, *t ? strlen(t) : 1);
            break;
        }
        case 3: s.erase(nAt, Below(64)); break;
        case 4: {
            // A range repeated many times: the shape that shows quadratic paths.
            size_t nLength = 1 + Below(16);
            if (nAt + nLength <= s.size()) {
                std::string piece = s.substr(nAt, nLength);
                size_t nTimes = Below(4) == 0 ? 1 + Below(20000) : 1 + Below(8);
                std::string many;
                for (size_t k = 0; k < nTimes; ++k)
                    many += piece;
                s.insert(nAt, many);
            }
            break;
        }
        default: s.resize(Below(s.size() + 1)); break;
        }
    }
    return s;
}

double Now()
{
    return (double)ZTimer::Now() / (double)ZTimer::GetTicksPerSecond();
}

std::string Packed(const std::string& data)
{
    ZMemoryStream out(65536);
    {
        ZBzipOutputStream bzip(&out, 1);
        bzip.Write(data.data(), (int)data.size());
    }
    uint32_t n = 0;
    const char* p = (const char*)out.GetData(&n);
    return std::string(p, n);
}

// ---- one input for each reader ----

void RunXml(const std::string& input)
{
    ZXmlDocument doc;
    doc.Parse(input.data(), (int)input.size());
    ZStringBuffer<16> text = doc.ToText();
    ZXmlDocument again;
    again.Parse(text.GetData(), text.GetLength());
    // The root-list look-up walks the same documents.
    ZMemoryBuffer rootList;
    rootList.Append(input.data(), (unsigned)input.size());
    ZStringBuffer<16> bundle;
    for (const char* szId : {"a", "b", ""})
        UniqueFileList::FindUniqueFile(szId, rootList, &bundle);
}

void RunFileTable(const std::string& input)
{
    for (bool bRelative : {false, true}) {
        ZFileTable table;
        table.ParseText(input.data(), (uint32_t)input.size(), nullptr, bRelative, true, true);
        for (ZFileTable::Node* p = table.First(); p; p = ZFileTable::Next(p))
            if (p->m_Value->m_Name.GetLength() > ZFileRecord::MAX_NAME)
                abort();
    }
}

std::string g_CatalogFolder;

void RunCatalog(const std::string& input)
{
    // The input holds both files: one byte with the index's length, the index, the data.
    size_t nIndex = input.empty() ? 0 : (uint8_t)input[0];
    std::string index = input.substr(input.empty() ? 0 : 1, nIndex);
    std::string data = input.size() > 1 + nIndex ? input.substr(1 + nIndex) : std::string();
    std::string base = g_CatalogFolder + "/bank5";
    WriteBufferToFile((base + ".idx").c_str(), index.data(), index.size());
    WriteBufferToFile((base + ".bin").c_str(), data.data(), data.size());
    {
        ZFileCatalog catalog;
        catalog.Open(g_CatalogFolder.c_str(), "bank5");
        const void* p;
        int32_t n;
        catalog.Read("a.bin", &p, &n);
        catalog.Store("new.bin", "\x08\0\0\0abcd", 8);
    }
    ZFileCatalog reopened;
    reopened.Open(g_CatalogFolder.c_str(), "bank5");
    reopened.Delete();
}

void RunBzip2(const std::string& input)
{
    ZMemoryReader reader(input.data(), (uint32_t)input.size());
    ZBzipInputStream bzip(&reader);
    static char s_ac[65536];
    uint64_t nTotal = 0;
    int n;
    // Output is bounded here as the HTTP client bounds it.
    while ((n = bzip.Read(s_ac, (int)sizeof(s_ac))) > 0 && nTotal < kHttpMaxBody)
        nTotal += (uint32_t)n;
}

// One answer from a loopback server thread per input.
void RunHttp(const std::string& input)
{
    int nPort = 0;
    SOCKET hListen = ivltest::ListenOnLoopback(nPort);
    std::thread server([&] {
        SOCKET h = accept(hListen, nullptr, nullptr);
        if (h == INVALID_SOCKET)
            return;
        char ac[512];
        recv(h, ac, sizeof(ac), 0);
        send(h, input.data(), (int)input.size(), 0);
        shutdown(h, SD_SEND);
        closesocket(h);
    });
    ResponseHolder holder;
    ZStringBuffer<256> status;
    std::string host = "127.0.0.1:" + std::to_string(nPort);
    HttpDownload(&holder, host.c_str(), "x", status);
    server.join();
    closesocket(hListen);
}

// One name a line: each checked alone, the safe ones then together as one list (as long as
// the table's reader lets them be). A name that passes the listed-name check must pass the
// plain one.
void RunNames(const std::string& input)
{
    ZFileTable table;
    for (size_t nStart = 0; nStart <= input.size();) {
        size_t nEnd = input.find('\n', nStart);
        if (nEnd == std::string::npos)
            nEnd = input.size();
        std::string name = input.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        ZStringBuffer<256> problem;
        bool bSafe = IsSafeRelativeName(name.c_str());
        if (CheckListedName(name.c_str(), kSyncCacheOwnFiles, kSyncCacheOwnFileCount, problem) && !bSafe)
            abort();
        if (bSafe && name.size() <= ZFileRecord::MAX_NAME)
            table.Add(name.c_str(), ZFileRecord(name.c_str(), 1, 0, "ab-1", 1, 1));
    }
    ZStringBuffer<256> problem;
    CheckListedNames(table, kSyncCacheOwnFiles, kSyncCacheOwnFileCount, nullptr, problem);
}

// A command text and its text form read again: the same code, session and parameters (but for
// an empty last parameter, which the text form cannot carry).
void RunCommand(const std::string& input)
{
    FlashMessage message;
    message.Parse(input.c_str());
    FlashMessage again;
    again.Parse(message.ToString().GetData());
    int nCount = message.GetParamCount();
    if (nCount > 0 && !*message.GetParam(nCount - 1))
        return;
    if (again.GetCode() != message.GetCode() || again.GetSessionId() != message.GetSessionId() ||
        again.GetParamCount() != nCount)
        abort();
    for (int i = 0; i < nCount; ++i)
        if (strcmp(again.GetParam(i), message.GetParam(i)) != 0)
            abort();
}

struct Parser
{
    const char* szName;
    void (*pfnRun)(const std::string&);
    std::vector<std::string> seeds;
    int nShare;  // inputs per 100 of the count (slow readers get fewer)
};

int Fuzz(const Parser& parser, int nCount)
{
    double tWorst = 0, tAll = 0;
    size_t nWorstSize = 0;
    for (int i = 0; i < nCount; ++i) {
        std::string input = Mutate(parser.seeds[Below(parser.seeds.size())]);
        double t = Now();
        parser.pfnRun(input);
        t = Now() - t;
        tAll += t;
        if (t > tWorst) {
            tWorst = t;
            nWorstSize = input.size();
        }
    }
    printf("%-10s inputs=%d seconds=%.2f slowest=%.3f s (%u bytes)\n", parser.szName, nCount, tAll, tWorst,
           (unsigned)nWorstSize);
    fflush(stdout);
    return 0;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: fuzz_parsers xml|filetable|catalog|bzip2|http|names|command|all COUNT [SEED]\n");
        return 2;
    }
    int nCount = atoi(argv[2]);
    if (argc > 3)
        g_nRandom = (uint32_t)strtoul(argv[3], nullptr, 10) | 1u;
    ivltest::Winsock winsock;
    HttpSetLowSpeedLimit(1024, 2000);

    ZStringBuffer<256> folder = File::GetTempFileName("fz");
    CreateDirectoryPath(folder.GetData());
    g_CatalogFolder = folder.GetData();

    const std::string blob = std::string("\x08\0\0\0abcd", 8);
    const std::string idx =
        std::string("1ECF", 4) + std::string("\x05\0\0\0\x08\0\0\0\0\0\0\0", 12) + std::string(8, '\0') + "a.bin";
    const Parser parsers[] = {
        {"xml",
         &RunXml,
         {"<?xml version=\"1.0\"?>\n<!-- c --><uniquelist v=\"3\"><list id=\"a\" name=\"d/f.dat\">t &amp; &#65;</list>"
          "<b><![CDATA[<raw>]]></b><e x='1' y=\"2\"/></uniquelist>",
          "<lang><text key=\"ready\">Ready</text><text key=\"k\">&#x42;&lt;</text></lang>",
          "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<uniquelists>\r\n  <list id=\"a\" uniquefile=\"a_1f2e.txt\"/>\r\n"
          "  <list id=\"b\"/><list id=\"b\" uniquefile=\"b_9c.txt\" uniquefilebundle=\"b_9c_bundle\"/>\r\n"
          "</uniquelists>\r\n"},
         100},
        {"filetable",
         &RunFileTable,
         {"\"data/a/x.dat\",abc-17_x,100,1,0\r\n\"y.dat\",t-5,3\r\n\"../b/z.dat\",t,1\r\n",
          "\"a\",x-1,1\n\"b,\"\"c\",y,2,0,1\n"},
         100},
        {"catalog", &RunCatalog, {std::string(1, (char)idx.size()) + idx + blob}, 10},
        {"bzip2",
         &RunBzip2,
         {Packed("hello, bzip2\n"), Packed(std::string(200000, 'z')), Packed("a b c d e f g h i j k l m n o p")},
         30},
        {"http",
         &RunHttp,
         {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello",
          "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n3\r\nabc\r\n0\r\n\r\n",
          "HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n"},
         5},
        {"names",
         &RunNames,
         {"data/a/x.dat\nlongfilename.txt\nLONG~LMQ.TXT\nSYNC~SQD/CURR~YRD.TXT\nbackup~old.txt",
          "synccache/currentfiles.txt\nsub\\COM1.txt\nDup.txt\ndup.txt.\np\np/q\n\xC3\x84~b.c"},
         100},
        {"command",
         &RunCommand,
         {"1000;5;dl\\nest;;root.xml;false;127.0.0.1:8080", "1003;7;live;;u;set:x,set:y;w;true;a;b",
          "1001;3;w;live;;1;2;en;a=b", " 12x;-4294968296;;", "2147483647;-2147483648"},
         100},
    };
    std::vector<Parser> chosen;
    for (const Parser& p : parsers)
        if (strcmp(argv[1], "all") == 0 || strcmp(argv[1], p.szName) == 0)
            chosen.push_back(p);
    if (chosen.empty()) {
        fprintf(stderr, "unknown parser %s\n", argv[1]);
        return 2;
    }
    for (const Parser& p : chosen)
        Fuzz(p, strcmp(argv[1], "all") == 0 ? nCount * p.nShare / 100 : nCount);
    DeleteTree(folder.GetData());
    return 0;
}
