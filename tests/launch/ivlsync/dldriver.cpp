// Test driver of the downloader: one download run with a listener that records what it is told.
//   dldriver.exe --target DIR --lists NAMES --server S [--server S ...] [--threads N] [--quick]
//                [--quiet] [--runs K] [--bundle NAME [--bundle-only]] [--low-speed BYTES,MS] [--progress]
//   dldriver.exe --target DIR --verify [--runs K]
// With --bundle, each run first installs the bundle NAME whose manifest is the first list
// ("BUNDLE ok=<0|1>"), as a named download session does, then runs the lists unless
// --bundle-only. With --verify, each run verifies the installation in DIR instead.
// --low-speed shortens the HTTP low-speed limit, so that slow servers are cut off within a
// test's time.
// Each listener call is printed as one line: "LOG <text>", "ERROR <text>"; with --progress each
// LOG line is followed by the downloader's progress at that moment, and so is the bundle's end:
// "PROGRESS <bytes done> <bytes total> <files done> <files total>". After each run:
// "RESULT failed=<0|1>", "CWD restored=<0|1>", "SECONDS <run time>"; at the end
// "PEAK_MEMORY <bytes>" (peak private bytes of the process). Exit code: 0 when every run
// succeeded, 1 when one failed, 2 for a bad command line.
#include "common/system/zwin.h"

#include <psapi.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/containers/zstringarray.h"
#include "common/net/http.h"
#include "common/system/file.h"
#include "common/system/ztimer.h"
#include "launch/launchlibs/downloader.h"
#include "launch/ivlsync/verify.h"

namespace
{
class RecordingListener : public IDownloadListener, public IVerifyListener
{
public:
    void Log(const char* szText) override
    {
        Print("LOG", szText);
        PrintProgress();
    }
    void Error(const char* szText) override { Print("ERROR", szText); }
    bool IsCancelled() override { return false; }
    void Progress(float, const char*) override {}  // one line a file would drown the log

    // The downloader whose progress follows each log line (null: none).
    Downloader* m_pProgress = nullptr;

    void PrintProgress()
    {
        if (!m_pProgress)
            return;
        uint64_t nDone = 0, nTotal = 0;
        int32_t nRepackTotal = 0, nRepackDone = 0, nFilesTotal = 0, nFilesDone = 0;
        m_pProgress->GetProgress(&nDone, &nTotal, &nRepackTotal, &nRepackDone, &nFilesTotal, &nFilesDone);
        m_Lock.Enter();
        fprintf(stdout, "PROGRESS %" PRIu64 " %" PRIu64 " %d %d\n", nDone, nTotal, (int)nFilesDone, (int)nFilesTotal);
        fflush(stdout);
        m_Lock.Leave();
    }

private:
    // One line per call: the text's own line ends are dropped.
    void Print(const char* szKind, const char* szText)
    {
        size_t n = strlen(szText);
        while (n > 0 && (szText[n - 1] == '\n' || szText[n - 1] == '\r'))
            --n;
        m_Lock.Enter();
        fprintf(stdout, "%s %.*s\n", szKind, (int)n, szText);
        fflush(stdout);
        m_Lock.Leave();
    }

    ZCriticalSection m_Lock;
};
}

int main(int argc, char** argv)
{
    ZStringArray servers(32);
    const char* szTarget = nullptr;
    const char* szLists = nullptr;
    const char* szThreads = nullptr;
    bool bQuick = false;
    bool bQuiet = false;
    const char* szBundle = nullptr;
    bool bBundleOnly = false;
    bool bVerify = false;
    bool bProgress = false;
    int nRuns = 1;
    for (int i = 1; i < argc; ++i) {
        bool bHasValue = i + 1 < argc;
        if (!strcmp(argv[i], "--target") && bHasValue)
            szTarget = argv[++i];
        else if (!strcmp(argv[i], "--lists") && bHasValue)
            szLists = argv[++i];
        else if (!strcmp(argv[i], "--server") && bHasValue)
            servers.PushBack(ZStringBuffer<16>(argv[++i]));
        else if (!strcmp(argv[i], "--threads") && bHasValue)
            szThreads = argv[++i];
        else if (!strcmp(argv[i], "--runs") && bHasValue)
            nRuns = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--bundle") && bHasValue)
            szBundle = argv[++i];
        else if (!strcmp(argv[i], "--low-speed") && bHasValue) {
            unsigned nBytes = 0, nMs = 0;
            if (sscanf(argv[++i], "%u,%u", &nBytes, &nMs) != 2) {
                fprintf(stderr, "dldriver: --low-speed expects BYTES,MS\n");
                return 2;
            }
            HttpSetLowSpeedLimit(nBytes, nMs);
        } else if (!strcmp(argv[i], "--bundle-only"))
            bBundleOnly = true;
        else if (!strcmp(argv[i], "--progress"))
            bProgress = true;
        else if (!strcmp(argv[i], "--verify"))
            bVerify = true;
        else if (!strcmp(argv[i], "--quick"))
            bQuick = true;
        else if (!strcmp(argv[i], "--quiet"))
            bQuiet = true;
        else {
            fprintf(stderr, "dldriver: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    if (!szTarget || (!szLists && !bVerify)) {
        fprintf(stderr, "dldriver: --target and --lists (or --verify) are required\n");
        return 2;
    }

    RecordingListener listener;
    bool bAnyFailed = false;
    for (int nRun = 0; nRun < nRuns; ++nRun) {
        Downloader downloader;
        downloader.SetListener(&listener);
        listener.m_pProgress = bProgress ? &downloader : nullptr;
        ZStringBuffer<256> before = File::GetCurrentDirectory();
        int64_t nStart = ZTimer::Now();
        bool bFailed = false;
        if (bVerify) {
            VerifyContext context(&listener);
            bFailed = !VerifyFiles(context, szTarget);
        } else if (szBundle) {
            ZStringArray lists;
            lists.Split(szLists, ',');
            bool bBundleOk = downloader.DownloadBundle(servers, szTarget, lists.Size() ? lists[0].GetData() : "",
                                                       szBundle, true, true);
            printf("BUNDLE ok=%d\n", bBundleOk ? 1 : 0);
            fflush(stdout);
            listener.PrintProgress();
            bFailed = !bBundleOk;
        }
        if (!bVerify && (!szBundle || (!bFailed && !bBundleOnly)))
            bFailed = downloader.DownloadAndUpdateFiles(servers, szTarget, szLists, bQuiet, szThreads, bQuick);
        int64_t nEnd = ZTimer::Now();
        ZStringBuffer<256> after = File::GetCurrentDirectory();
        printf("RESULT failed=%d\n", bFailed ? 1 : 0);
        printf("CWD restored=%d\n", before == after ? 1 : 0);
        printf("WORKERS %d\n", downloader.GetWorkerCount());
        printf("SECONDS %.3f\n", (double)(nEnd - nStart) / (double)ZTimer::TICKS_PER_SECOND);
        fflush(stdout);
        bAnyFailed = bAnyFailed || bFailed;
        listener.m_pProgress = nullptr;
    }
    PROCESS_MEMORY_COUNTERS counters;
    memset(&counters, 0, sizeof(counters));
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
        printf("PEAK_MEMORY %" PRIu64 "\n", (uint64_t)counters.PeakPagefileUsage);
    fflush(stdout);
    return bAnyFailed ? 1 : 0;
}
