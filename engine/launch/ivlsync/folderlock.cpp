#include "launch/ivlsync/folderlock.h"

#include "common/containers/zsha256.h"
#include "common/containers/zstringbuffer.h"
#include "common/system/path.h"
#include "common/system/zlock.h"

const char kInstallFolderBusy[] = "Another download or verification of this folder is running";

namespace
{
// One name for every spelling of the folder: case, separators and a trailing separator do not
// count. Mutex names may not hold '\', so the path goes in as its digest.
void MakeMutexName(const char* szFolder, ZStringBase& sName)
{
    ZStringBuffer<256> sPath;
    NormalizePath(sPath, szFolder ? szFolder : "");
    for (char* p = sPath.GetData(); *p; ++p)
        if (*p >= 'A' && *p <= 'Z')
            *p = (char)(*p - 'A' + 'a');
    ZStringBuffer<80> sDigest;
    Sha256Hex(sDigest, sPath.GetData(), (size_t)sPath.GetLength());
    sName.Format("IvlSync_Folder_%.32s", sDigest.GetData());
}
}

bool InstallFolderLock::TryAcquire(const char* szFolder)
{
    Release();
    ZStringBuffer<64> sName;
    MakeMutexName(szFolder, sName);
    m_hMutex = ZCreateMutex(sName.GetData());
    return m_hMutex != nullptr;
}

void InstallFolderLock::Release()
{
    if (m_hMutex) {
        ZCloseMutex(m_hMutex);
        m_hMutex = nullptr;
    }
}
