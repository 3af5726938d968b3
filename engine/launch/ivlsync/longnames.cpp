// The long-file-name clean-up of an install folder, run by the download sessions' start.
#include "launch/ivlsync/ivlsyncwindowbase.h"

#include "common/containers/zstringarray.h"
#include "common/system/file.h"
#include "common/system/path.h"

namespace
{
const char kMarkerName[] = "longfilesscanned1.txt";
const int kLongNameMargin = 193;

void JoinName(ZStringBase& out, const char* szFolder, const char* szName)
{
    out.Assign(szFolder);
    if (!out.EndsWith("\\"))
        out.AppendChar('\\');
    out.Append(szName);
}

// Depth first; a folder follows its contents.
void CollectLongPaths(const char* szFolder, int nLimit, ZStringArray& found)
{
    ZStringBuffer<256> sPattern;
    JoinName(sPattern, szFolder, "*");
    ZStringArray files;
    File::ListFiles(files, sPattern.GetData());
    for (unsigned i = 0; i < files.Size(); ++i) {
        ZStringBuffer<256> sPath;
        JoinName(sPath, szFolder, files[i].GetData());
        if (sPath.GetLength() > nLimit)
            found.Add(sPath.GetData());
    }
    ZStringArray folders;
    File::ListDirectories(folders, sPattern.GetData());
    for (unsigned i = 0; i < folders.Size(); ++i) {
        ZStringBuffer<256> sPath;
        JoinName(sPath, szFolder, folders[i].GetData());
        CollectLongPaths(sPath.GetData(), nLimit, found);
        if (sPath.GetLength() > nLimit)
            found.Add(sPath.GetData());
    }
}
}

void ZIvlSync::CleanLongFileNames(const char* szFolder)
{
    ZStringBuffer<256> sMarker;
    JoinName(sMarker, szFolder, kMarkerName);
    if (File::Exists(sMarker.GetData()))
        return;
    Log("Looking for files with long names (known to create problems with Windows Disk Cleanup)");

    ZStringBuffer<256> sFolder(szFolder);
    ZStringArray found;
    CollectLongPaths(szFolder, sFolder.GetLength() + kLongNameMargin, found);

    bool bFailed = false;
    if (found.Size() > 0) {
        Log("Deleting %d files with long names", (int)found.Size());
        for (unsigned i = 0; i < found.Size(); ++i) {
            const char* szPath = found[i].GetData();
            Log("%s", szPath);
            bool bRemoved = File::IsDirectory(szPath) ? File::RemoveDirectory(szPath) : File::Delete(szPath);
            if (!bRemoved) {
                Log("Couldn't delete %s", szPath);
                bFailed = true;
            }
        }
    }
    // After a failure the next start scans again.
    if (!bFailed)
        WriteBufferToFile(sMarker.GetData(), "", 0);
}
