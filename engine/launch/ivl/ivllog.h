// The launcher's "print" log lines.
#pragma once
#include "common/containers/zstringbuffer.h"
#include "common/system/zlog.h"

// The source of the line is the file that calls, as when each file logged for itself.
inline void LogPrint(const ZStringBase& text, const char* szSource = __builtin_FILE())
{
    ZLog::Output(ZLOG_PRINT, "launch.ivl", szSource, text.c_str());
}
