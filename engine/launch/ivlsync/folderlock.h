// Keeps downloads and verifications of one install folder from running at once: both rewrite
// "currentfiles.txt", and the second writer would lose the first one's state.
#pragma once
#include "common/system/zwin.h"

class InstallFolderLock
{
public:
    InstallFolderLock() : m_hMutex(nullptr) {}
    ~InstallFolderLock() { Release(); }
    InstallFolderLock(const InstallFolderLock&) = delete;
    InstallFolderLock& operator=(const InstallFolderLock&) = delete;

    // False when another download or verification of the same folder holds it (in this or
    // another process); the caller then refuses, it never waits.
    bool TryAcquire(const char* szFolder);
    void Release();

private:
    HANDLE m_hMutex;
};

// The text a refused download or verification reports.
extern const char kInstallFolderBusy[];
