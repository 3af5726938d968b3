// Crash reporter: writes a report about an unhandled exception from inside the failing
// process. Text grows only in private heaps and fixed stack buffers, so a corrupted process
// heap does not stop the report; dbghelp.dll is loaded late, by name.
#pragma once
#include "common/system/zwin.h"
#include <stdint.h>

// Growable text in a private heap of its own; one zero byte always follows the text.
class PrivateHeapBuffer
{
public:
    PrivateHeapBuffer();
    ~PrivateHeapBuffer();
    PrivateHeapBuffer(const PrivateHeapBuffer&) = delete;
    PrivateHeapBuffer& operator=(const PrivateHeapBuffer&) = delete;

    void Append(const void* pData, uint32_t nLength);  // drops the bytes when the heap refuses
    void Truncate(uint32_t nLength);                   // zeroes the tail
    void DestroyHeap();
    const char* GetData() const { return m_pData ? m_pData : ""; }
    uint32_t GetSize() const { return m_nSize; }
    uint32_t GetCapacity() const { return m_nCapacity; }

private:
    char* m_pData;
    uint32_t m_nSize;
    uint32_t m_nCapacity;
    HANDLE m_hHeap;
};

class ReportSink
{
public:
    ReportSink() = default;
    virtual ~ReportSink() = default;

    virtual void Write(const void* pData, uint32_t nLength);
    virtual void WriteString(const char* szText);
    virtual void Printf(const char* szFormat, ...);
    virtual void WriteValue(const char* szName, int32_t nValue);
    virtual void WriteTextValue(const char* szName, const char* szText);
    virtual void WriteLine(const char* szText);
    virtual void PrintLine(const char* szFormat, ...);
    virtual void BeginSection(const char* szName);
    virtual void EndSection(const char* szName);
    virtual void Finish() = 0;

    const PrivateHeapBuffer& GetText() const { return m_Text; }
    virtual void DestroyHeaps() { m_Text.DestroyHeap(); }

protected:
    PrivateHeapBuffer m_Text;
};

// Plain text appended to "crash.log" beside the program.
class CrashLogWriter : public ReportSink
{
public:
    CrashLogWriter();
    ~CrashLogWriter() override;
    void Finish() override;

protected:
    HANDLE m_hFile;
};

// The launcher's message box that offers to copy the report to the clipboard.
class MessageBoxReportWriter : public ReportSink
{
public:
    void Finish() override;
    // The clipboard copy: a CR before every LF after the first byte that does not follow one.
    static void AddCarriageReturns(const char* szText, PrivateHeapBuffer& out);
};

// XML report plus minidump for the crash-report program, and the same text to "crash.log".
class CrashReportWriter : public CrashLogWriter
{
public:
    CrashReportWriter(EXCEPTION_POINTERS* pExceptionPointers, int nDumpMode, uint8_t bDialog);

    void WriteValue(const char* szName, int32_t nValue) override;
    void WriteTextValue(const char* szName, const char* szText) override;
    void WriteLine(const char* szText) override;
    void PrintLine(const char* szFormat, ...) override;
    void BeginSection(const char* szName) override;
    void EndSection(const char* szName) override;
    void Finish() override;
    void DestroyHeaps() override;

    const PrivateHeapBuffer& GetHumanReadable() const { return m_HumanReadable; }
    // The crash-report program's command line for the two files.
    static void BuildReporterCommandLine(char* szOut, size_t nSize, const char* szXml, const char* szDump,
                                         uint8_t bDialog);

private:
    enum
    {
        kMaxDepth = 32
    };
    PrivateHeapBuffer m_HumanReadable;
    int32_t m_nDepth;
    uint32_t m_anSaved[kMaxDepth];
    EXCEPTION_POINTERS* m_pExceptionPointers;
    int m_nDumpMode;
    uint8_t m_bDialog;
};

class ZSelfDebug
{
public:
    explicit ZSelfDebug(ReportSink* pSink);
    ~ZSelfDebug();

    static bool IsIgnoredException(DWORD nCode);
    static void SuspendOtherThreads(bool bResume);
    static bool IsDebuggerPresent();

    int WriteReport(EXCEPTION_POINTERS* pExceptionPointers, const char* szLogFile, const char* szUserName,
                    const char* szSceneName);

    // Name and details of an exception, as the report shows them.
    static const char* GetExceptionName(const EXCEPTION_RECORD* pRecord, const char** pszDetails);
    // "<", "&", ">", '"', "'" as entities; bytes outside 32..127 as "&#n;".
    static void EscapeXml(const char* szText, PrivateHeapBuffer& out);
    // "----- " heading: the run of dashes that follows a section name.
    static const char* SectionDashes(const char* szName);

    bool LoadDbgHelp();
    void UnloadDbgHelp();
    void FormatFrame(uintptr_t nAddress, char* szOut, size_t nSize);

private:
    void PrintStackTrace(const CONTEXT* pContext);
    void PrintFunctionDump(uintptr_t nAddress);
    void PrintFileInfo();
    void PrintLogTail(const char* szLogFile);

    HANDLE m_hProcess;
    ReportSink* m_pSink;
    char m_szFolder[260];
    bool m_bStarted;
};

// Writes the report for an unhandled exception on the calling thread with every other
// thread suspended. Returns 0.
int CrashHandler(EXCEPTION_POINTERS* pExceptionPointers, uint8_t bDialog, const char* szLogFile, const char* szUserName,
                 const char* szSceneName);
