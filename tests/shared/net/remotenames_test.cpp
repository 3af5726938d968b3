// The one check of names from servers and pages, and the checks of a whole list of them as
// Windows compares names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/containers/zfiletable.h"
#include "common/containers/zstringbuffer.h"
#include "shared/net/remotenames.h"

TEST(RemoteNames, SafeRelativeNames)
{
    struct Case
    {
        const char* szName;
        bool bSafe;
    } cases[] = {
        {"a.txt", true},
        {"lists/root.xml", true},
        {"a\\b\\c..d.xml", true},
        {"console.txt", true},  // device names only as a whole base name
        {"com10", true},
        {"lpt", true},
        {"nul_x.dat", true},
        {"data.con", true},
        {"CONOUT", true},
        {"COM\xC2\xB4", true},  // an accent, not a superscript digit
        // '~' outside the short-name form: too long before or after the dot, or two dots
        {"backup~old.txt", true},
        {"long~name.text", true},
        {"a~b.c.d", true},
        {"~\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4.txt", true},  // 9 letters
        {".~ab", true},
        {"", false},
        {"/x", false},
        {"x/", false},
        {"a//b", false},
        {".", false},
        {"..\\up2.txt", false},
        {"sub/../../up3.txt", false},
        {". .\\x", false},
        {"C:x", false},
        {"a.txt:stream", false},
        {"a\tb", false},
        {"x\r\nHost: y", false},
        // devices, in any piece, with or without an extension, any case, trailing dots and blanks
        {"CON", false},
        {"prn", false},
        {"Aux", false},
        {"NUL", false},
        {"nul.txt", false},
        {"sub/NUL", false},
        {"sub/COM1.txt", false},
        {"COM0", false},
        {"com9.tar.gz", false},
        {"LPT1", false},
        {"lpt0.log", false},
        {"COM\xC2\xB9", false},  // COM with a superscript one
        {"lpt\xC2\xB2.x", false},
        {"LPT\xC2\xB3", false},
        {"CONIN$", false},
        {"conout$.txt", false},
        {"CLOCK$", false},
        {"nul.", false},
        {"NUL .txt", false},
        {"aux ", false},
        {"con/x.txt", false},
        {"a\\Com3\\b.dat", false},
        // pieces the file system could take as another file's short name
        {"SYNCCA~1", false},
        {"sync~sqd/curr~yrd.txt", false},
        {"LONGFI~1.TXT", false},
        {"data/LONG~LMQ.TXT", false},
        {"~", false},
        {"a~b.", false},
        {"a~b.txt. ", false},
        {"~\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4.txt", false},  // 8 letters, 15 bytes
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsSafeRelativeName(c.szName), c.bSafe) << c.szName;
    EXPECT_FALSE(IsSafeRelativeName(nullptr));
}

namespace
{
const char* const kReserved[] = {"synccache", "fetchbatch.log", "_packed/bank5.idx"};

bool IsIgnored(const char* szName)
{
    return strncmp(szName, "skip/", 5) == 0;
}

// The check of a table holding these names; the problem text, or "" when the table passed.
std::string Check(const std::vector<const char*>& names)
{
    ZFileTable table;
    for (const char* szName : names)
        table.Add(szName, ZFileRecord(szName, 1, 0, "ab-1", 1, 1));
    ZStringBuffer<256> problem;
    bool bOk = CheckListedNames(table, kReserved, 3, &IsIgnored, problem);
    EXPECT_EQ(bOk, problem.IsEmpty()) << problem.GetData();
    return bOk ? std::string() : std::string(problem.GetData());
}
}

TEST(RemoteNames, ListsWithTwoNamesForOneFileOrTheProgramsOwnFiles)
{
    struct Case
    {
        const char* szWhat;
        std::vector<const char*> names;
        const char* szProblem;  // null: accepted
    } cases[] = {
        {"ordinary",
         {"a.txt", "A.txt2", "a/b.txt", "_packed/gfx/pack.bin", "synccache2/x", "fetchbatch.log.old"},
         nullptr},
        {"case", {"Dup.txt", "dup.txt"}, "Refusing file names Dup.txt and dup.txt: they name the same file"},
        {"separators", {"d/x.txt", "d\\x.txt"}, "Refusing file names d/x.txt and d\\x.txt: they name the same file"},
        {"trailing dot", {"t.txt", "t.txt."}, "Refusing file names t.txt and t.txt.: they name the same file"},
        {"trailing blank in a folder", {"d /x", "D/x"}, "they name the same file"},
        {"beyond ASCII", {"\xC3\x84.txt", "\xC3\xA4.txt"}, "they name the same file"},
        {"file and folder", {"p", "p/q.txt"}, "Refusing file name p: p/q.txt needs it as a folder"},
        {"file and folder, deeper", {"a/b/c", "A/B./c/d/e.txt"}, "Refusing file name a/b/c: A/B./c/d/e.txt needs"},
        {"file and folder, names between them",
         {"p", "p-x", "p!/y", "p/q.txt"},
         "Refusing file name p: p/q.txt needs it as a folder"},
        {"into the sync cache",
         {"synccache/currentfiles.txt"},
         "Refusing file name synccache/currentfiles.txt: the program keeps synccache for itself"},
        {"into the sync cache, another spelling", {"SyncCache.\\currentfiles.txt.1\\x"}, "keeps synccache"},
        {"the sync cache as a file", {"synccache"}, "keeps synccache"},
        {"the log", {"FetchBatch.LOG"}, "keeps fetchbatch.log"},
        {"the log as a folder", {"fetchbatch.log/x"}, "keeps fetchbatch.log"},
        {"a folder the program needs", {"_packed"}, "Refusing file name _packed: the program keeps _packed/bank5.idx"},
        {"a device", {"a.txt", "sub/nul.txt"}, "Refusing file name sub/nul.txt"},
        {"climbing", {"sub/../../up3.txt"}, "Refusing file name sub/../../up3.txt"},
        {"ignored records are never written", {"skip/x", "skip/X", "skip/nul", "skip/../../y"}, nullptr},
    };
    for (const Case& c : cases) {
        std::string problem = Check(c.names);
        if (c.szProblem)
            EXPECT_NE(problem.find(c.szProblem), std::string::npos) << c.szWhat << ": " << problem;
        else
            EXPECT_EQ(problem, "") << c.szWhat;
    }
}

TEST(RemoteNames, SingleNamesKeepClearOfReservedEntries)
{
    struct Case
    {
        const char* szName;
        bool bOk;
    } cases[] = {
        {"Main_1f.txt", true},
        {"lists/root.xml", true},
        {"currentfiles.txt", false},
        {"CurrentFiles.TXT. ", false},
        {"currentfiles.txt.1/x", false},
        {"currentfiles.txt.journal", false},
        {"nul", false},
        {"../x", false},
    };
    for (const Case& c : cases) {
        ZStringBuffer<256> problem;
        EXPECT_EQ(CheckListedName(c.szName, kSyncCacheOwnFiles, kSyncCacheOwnFileCount, problem), c.bOk) << c.szName;
        if (!c.bOk) {
            EXPECT_NE(strstr(problem.GetData(), c.szName), nullptr) << problem.GetData();
        }
    }
}

TEST(RemoteNames, RecordsThatClimbOutMidwayAreFound)
{
    struct Case
    {
        const char* szText;
        const char* szProblem;  // null: none found
    } cases[] = {
        {"\"a.txt\",ab-1,0,1,1\r\n\"../b/c.txt\",ab-1,0,1,1\r\n\"../../d\",ab-1,0\n", nullptr},
        {"not a record\r\n\"\",x,1\r\n\"..\",x,1\r\n", nullptr},  // leading ".." only climb from the name before
        {"\"a.txt\",ab-1,0,1,1\r\n\"..\\up2.txt\",ab-1,0,1,1\r\n", "Refusing file name ..\\up2.txt"},
        {"\"sub/../../up3.txt\",ab-1,0,1,1\r\n", "Refusing file name sub/../../up3.txt"},
        {"\"../x/..\",ab-1,0,1,1", "Refusing file name ../x/.."},
        {"\"a\\..\\b\",junk", "Refusing file name a\\..\\b"},  // never a record, but a refused name all the same
    };
    for (const Case& c : cases) {
        ZStringBuffer<256> problem;
        bool bOk = CheckClimbingRecords(c.szText, strlen(c.szText), problem);
        EXPECT_EQ(bOk, c.szProblem == nullptr) << c.szText;
        if (c.szProblem) {
            EXPECT_STREQ(problem.GetData(), c.szProblem);
        }
    }
}
