#include "common/system/zlog.h"

#include <cstdlib>
#include <cstring>

#include "common/containers/zlist.h"
#include "common/containers/zstr.h"
#include "common/system/file.h"
#include "common/system/zinit.h"
#include "common/system/ztimer.h"
#include "common/system/zwin.h"

// ---- Hooks and debugger output ----

static ZLogFilterHook s_pfnFilterHook = nullptr;
static ZLogDisplayHook s_pfnDisplayHook = nullptr;
static bool s_bDebugOutput = false;

void ZDebugOutput::Enable()
{
    s_bDebugOutput = true;
}
void ZDebugOutput::Disable()
{
    s_bDebugOutput = false;
}
bool ZDebugOutput::IsEnabled()
{
    return s_bDebugOutput;
}

void ZDebugOutput::Write(const char* szText)
{
    if (!s_bDebugOutput)
        return;
    ZWideText wide(szText);
    if (wide.Get())
        OutputDebugStringW(wide.Get());
}

ZLogFilterHook ZLog::SetFilterHook(ZLogFilterHook pfnHook)
{
    s_pfnFilterHook = pfnHook;
    return pfnHook;
}

ZLogDisplayHook ZLog::SetDisplayHook(ZLogDisplayHook pfnHook)
{
    s_pfnDisplayHook = pfnHook;
    return pfnHook;
}

const char* ZLog::GetLevelName(int nLevel)
{
    static const char* const s_Names[4] = {"print", "message", "warning", "error"};
    return (nLevel >= 0 && nLevel <= 3) ? s_Names[nLevel] : nullptr;
}

// ---- Sinks ----

namespace
{
struct SinkRecord
{
    File m_File;
    const char* m_szPattern;  // not owned; null writes the text as it is
};
typedef ZList<SinkRecord> SinkList;
}  // namespace

// Built at its start-up step, emptied (every File released) at exit.
static SinkList s_Sinks ZINIT_PRIORITY(ZINIT_STEP_LOG_SINKS);

ZLogSinkHandle ZLog::AddSink(File& file, const char* szPattern)
{
    if (!file.IsOpen() || !file.IsWritable())
        return nullptr;
    SinkRecord record = {file, szPattern};
    return s_Sinks.PushBack(record).GetNode();
}

void ZLog::RemoveSink(ZLogSinkHandle hSink)
{
    for (SinkList::Iterator it = s_Sinks.Begin(); it != s_Sinks.End(); ++it) {
        if (it.GetNode() == hSink) {
            s_Sinks.Erase(it);
            return;
        }
    }
}

void ZLog::RemoveAllSinks()
{
    s_Sinks.Clear();
}

static void ExpandPattern(ZStringBase& out, const char* szPattern, int nLevel, const char* szCategory,
                          const char* szSource, const char* szText)
{
    for (const char* p = szPattern; *p; ++p) {
        if (*p != '%') {
            out.AppendChar(*p);
            continue;
        }
        char c = *++p;
        if (c == 0)
            break;  // a '%' at the end is dropped
        switch (c) {
        case '%': out.AppendChar('%'); break;
        case 'M': out.Append(szCategory); break;
        case 'i': out.Append(szSource); break;
        case 'm': out.Append(szText); break;
        case 'v':
            out.Append(ZLog::GetLevelName(nLevel));  // nothing for other levels
            break;
        case 'e': out.AppendFormat("%f", (double)ZTimer::GetTicks() / (double)ZTimer::GetTicksPerSecond()); break;
        case 'd': out.Append(ZDateTimeText("%x")); break;
        case 't': out.Append(ZDateTimeText("%X")); break;
        default:
            out.AppendChar('%');
            out.AppendChar(c);
            break;
        }
    }
}

static void WriteSinks(int nLevel, const char* szCategory, const char* szSource, const ZStringBase& text)
{
    for (SinkList::Iterator it = s_Sinks.Begin(); it != s_Sinks.End(); ++it) {
        if (!it->m_szPattern) {
            it->m_File.Write(text.GetData(), (size_t)text.GetLength());
            continue;
        }
        ZStringBuffer<256> line;
        ExpandPattern(line, it->m_szPattern, nLevel, szCategory, szSource, text.GetData());
        it->m_File.Write(line.GetData(), (size_t)line.GetLength());
    }
}

static void WriteSinksRaw(const char* szText)
{
    size_t nLength = strlen(szText);
    for (SinkList::Iterator it = s_Sinks.Begin(); it != s_Sinks.End(); ++it)
        it->m_File.Write(szText, nLength);
}

// ---- Output ----

bool ZLog::Output(int nLevel, const char* szCategory, const char* szSource, const char* szText)
{
    ZStringBuffer<256> text(szText ? szText : "");
    if (text.GetLength() == 0 || text.GetData()[text.GetLength() - 1] != '\n')
        text.AppendChar('\n');
    if (s_pfnFilterHook)
        text = s_pfnFilterHook(nLevel, szCategory, szSource, text.GetData());
    ZDebugOutput::Write(text.GetData());
    WriteSinks(nLevel, szCategory, szSource, text);
    if (s_pfnDisplayHook)
        s_pfnDisplayHook(nLevel, szCategory, szSource, text.GetData());
    return true;
}

bool ZLog::Write(const char* szCategory, const char* szSource, const char* szTagged)
{
    int nLevel = (int)(signed char)szTagged[0] - 'a';
    return Output(nLevel, szCategory, szSource, szTagged[0] ? szTagged + 1 : szTagged);
}

bool ZLog::Print(const char* szCategory, const char* szSource, const char* szText)
{
    return Output(0, szCategory, szSource, szText);
}

bool ZLog::PrintRaw(const char* szText)
{
    ZDebugOutput::Write(szText);
    WriteSinksRaw(szText);
    if (s_pfnDisplayHook)
        s_pfnDisplayHook(0, "", "", szText);
    return true;
}

// ---- Assertions ----

void ZAssertFailed(const char* szCategory, const char* szFile, int nLine, const char* szCondition)
{
    ZLog::Write(szCategory, szFile, ZLogText("%s(%d): ZASSERT(%s)", szFile, nLine, szCondition).GetData());
    if (IsDebuggerPresent())
        DebugBreak();
}

void ZAssertFailed(const char* szCategory, const char* szFile, int nLine, const char* szCondition, const void* pObject)
{
    ZLog::Write(
        szCategory, szFile,
        ZLogText("%s(%d): ZASSERT(%s), this=0x%x", szFile, nLine, szCondition, (unsigned)(uintptr_t)pObject).GetData());
    if (IsDebuggerPresent())
        DebugBreak();
}
