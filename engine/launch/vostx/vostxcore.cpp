#include "launch/vostx/vostxcore.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/zwin.h"
#include "shared/net/remotenames.h"

namespace
{
// Guards the current-core pointer: cores are made and dropped on the page's threads while
// install threads and engine threads log through it.
ZCriticalSection& CurrentLock()
{
    static ZCriticalSection s_Lock;
    return s_Lock;
}
VostxCore* s_pCurrent = nullptr;

bool IsPlainText(const char* szText, const char* szRefused)
{
    for (const char* p = szText; *p; ++p) {
        if ((unsigned char)*p < 0x20 || strchr(szRefused, *p))
            return false;
    }
    return true;
}
}

std::atomic<long> VostxCore::s_nInUse(0);

VostxCore::VostxCore(const char* szName) : m_bInitialized(false), m_nRefs(1)
{
    ++s_nInUse;
    m_Name.Assign(szName ? szName : "");
    ZLog::SetDisplayHook(&VostxCore::LogDisplayHook);
    ZStringBuffer<256> workDir = GetWorkDir(m_Name.GetData());
    if (!workDir.IsEmpty()) {
        CreateDirectoryPath(workDir.GetData());
        JoinPath2(m_LogPath, workDir.GetData(), "vostx.log");
        File::Delete(m_LogPath.GetData());
    }
    ZLockGuard guard(CurrentLock());
    s_pCurrent = this;
}

VostxCore::~VostxCore()
{
    {
        // Only its own entry: an older core that outlives a newer one (its install thread ended
        // late) must not take the newer core's engine lines away.
        ZLockGuard guard(CurrentLock());
        if (s_pCurrent == this)
            s_pCurrent = nullptr;
    }
    --s_nInUse;
}

void VostxCore::AddRef()
{
    ++m_nRefs;
}

void VostxCore::Release()
{
    if (--m_nRefs == 0)
        delete this;
}

long VostxCore::GetInUseCount()
{
    return s_nInUse.load();
}

VostxCore* VostxCore::GetCurrent()
{
    ZLockGuard guard(CurrentLock());
    return s_pCurrent;
}

ZStringBuffer<256> VostxCore::GetWorkDir(const char* szName)
{
    ZStringBuffer<256> path;
    if (IsSafeFolderName(szName))
        JoinPath3(path, File::GetTempPath().GetData(), "IVL", szName);
    return path;
}

bool VostxCore::IsSafeFolderName(const char* szName)
{
    // The one check of names from outside (dots and blanks only climb, devices, short-name
    // aliases of another work folder), and none of the characters Windows refuses in a name.
    return szName && IsSafePiece(szName, strlen(szName)) && IsPlainText(szName, "\\/:*?\"<>|");
}

bool VostxCore::IsSafeLanguage(const char* szLanguage)
{
    // It becomes the word after "/l" and the middle of "ivlsync_<language>.xml".
    return szLanguage && IsPlainText(szLanguage, " \\/:*?\"<>|");
}

void VostxCore::WriteLogLine(const char* szText, bool bAddNewline)
{
    ZLockGuard guard(m_LogLock);
    FILE* pFile = m_LogPath.IsEmpty() ? nullptr : fopen(m_LogPath.GetData(), "at");
    if (pFile) {
        time_t now = time(nullptr);
        const char* szTime = asctime(gmtime(&now));
        char szStamp[32];
        snprintf(szStamp, sizeof(szStamp), "%.24sZ", szTime ? szTime : "");
        fputs(szStamp, pFile);
        fputc(' ', pFile);
        fputs(szText, pFile);
        if (bAddNewline)
            fputc('\n', pFile);
        fclose(pFile);
    }
}

void VostxCore::CoreLog(const char* szFormat, ...)
{
    ZStringBuffer<256> text;
    va_list args;
    va_start(args, szFormat);
    text.FormatV(szFormat, args);
    va_end(args);
    size_t nLength = strlen(szFormat);
    WriteLogLine(text.GetData(), nLength == 0 || szFormat[nLength - 1] != '\n');
}

void VostxCore::LogDisplayHook(int32_t nLevel, const char* szCategory, const char* szSource, const char* szText)
{
    // Held while writing, so the core cannot be destroyed under the line.
    ZLockGuard guard(CurrentLock());
    // The line as it is (it may hold '%'), with the one line end it already carries.
    if (s_pCurrent && szText) {
        size_t nLength = strlen(szText);
        s_pCurrent->WriteLogLine(szText, nLength == 0 || szText[nLength - 1] != '\n');
    }
}

void* VostxCore::CreateThreadData()
{
    return nullptr;
}

void VostxCore::OnThreadStart()
{
}

void VostxCore::OnThreadEnd(void* pThreadData)
{
}

void VostxCore::FireProgress(const char* szText, float fFraction, void* pThreadData)
{
    CallFlash("VostxProgress", szText, fFraction, m_FlashObjectId.GetData(), pThreadData);
}

void VostxCore::FireError(const char* szText, void* pThreadData)
{
    CallFlashError("VostxError", szText, m_FlashObjectId.GetData(), pThreadData);
}
