// Client side of the file servers' unique-file lists: the servers of one distribution, fetches
// from the first server that answers, a cache folder for root lists, and the lookup of a list
// id in a root list ("uniquelists" / "list" with "id", "uniquefile", "uniquefilebundle").
#pragma once
#include "common/containers/zstringbuffer.h"
#include "common/containers/zstringarray.h"

class ISocketCancel;
class ResponseHolder;
class ZMemoryBuffer;

class UniqueFileList
{
public:
    // pCancel (may be null) ends every fetch's wait when it answers true, as a failed fetch.
    explicit UniqueFileList(const ZStringArray& servers, ISocketCancel* pCancel = nullptr);

    // Server nIndex modulo the count; the list must not be empty.
    ZStringBuffer<16> GetServer(int nIndex) const;

    // Tries the servers in order from the first; the holder and the response keep what the
    // last attempt left.
    bool Download(ResponseHolder* pHolder, const char* szName, ZStringBase& response);
    // Appends the body to the buffer.
    bool DownloadToBuffer(ZMemoryBuffer& buffer, const char* szName, ZStringBase& response);
    // Writes the body to szLocalPath (created or truncated); false when it cannot be written whole.
    bool DownloadToFile(const char* szLocalPath, const char* szName, ZStringBase& response);
    // The file of that name in the cache folder, or downloaded and stored there first. Only a
    // whole, successful download is ever stored under the name, so a cut or failed one is
    // fetched again next time. Names that would leave the cache folder or take a file the downloader
    // keeps there are refused.
    bool GetCachedFile(ZMemoryBuffer& buffer, const char* szCacheFolder, const char* szName, ZStringBase& response);

    // The "uniquefile" value of the first "list" with that id that has one, or "". The bundle
    // name (may be null) is only written when the match carries "uniquefilebundle".
    static ZStringBuffer<16> FindUniqueFile(const char* szListId, const ZMemoryBuffer& rootList,
                                            ZStringBase* pBundleName);
    ZStringBuffer<16> GetListUniqueName(const char* szListId, const char* szCacheFolder, const char* szRootListName,
                                        ZStringBase& response, ZStringBase* pBundleName);

private:
    ZStringArray m_Servers;
    ISocketCancel* m_pCancel;
};
