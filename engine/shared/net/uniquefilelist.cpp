#include "shared/net/uniquefilelist.h"

#include "common/containers/zmemorybuffer.h"
#include "common/containers/zxml.h"
#include "common/net/http.h"
#include "common/stream/streams.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/zlog.h"
#include "common/system/zwin.h"
#include "shared/net/remotenames.h"

namespace
{
// Server arrays grow to 32 elements on their first growth.
const unsigned kServerGrowMin = 32;
// Suffix of the file a cached download is written to before it takes its real name.
const char kPartSuffix[] = ".part";

void LogLine(const ZStringBase& text)
{
    ZLog::Write(ZLOG_CATEGORY, __FILE__, text.GetData());
}

// The body into the caller's buffer; false (logged) when the buffer cannot take it.
bool AppendBody(ZMemoryBuffer& buffer, const ResponseHolder& holder, const char* szName)
{
    if (buffer.Append(holder.m_pData, holder.m_nSize) != ZMemoryBuffer::NO_ROOM)
        return true;
    LogLine(ZLogText("No memory for %s (%u bytes)", szName, (unsigned)holder.m_nSize));
    return false;
}

// Writes the bytes to the path (created or truncated); false unless all of them reached the file.
bool WriteWhole(const char* szPath, const void* pData, uint32_t nSize, DWORD* pOpenError)
{
    ZFileOutputStream stream(szPath);
    if (!stream.IsOpen()) {
        if (pOpenError)
            *pOpenError = GetLastError();
        return false;
    }
    bool bWritten = nSize == 0 || stream.Write(pData, (int)nSize);
    return stream.GetFile().Flush() && bWritten;
}
}

UniqueFileList::UniqueFileList(const ZStringArray& servers, ISocketCancel* pCancel)
    : m_Servers(kServerGrowMin), m_pCancel(pCancel)
{
    for (unsigned i = 0; i < servers.Size(); ++i)
        m_Servers.Add(servers[i].GetData());
}

ZStringBuffer<16> UniqueFileList::GetServer(int nIndex) const
{
    ZASSERT(!m_Servers.IsEmpty(), this);
    if (m_Servers.IsEmpty())
        return ZStringBuffer<16>();
    return m_Servers[(unsigned)nIndex % m_Servers.Size()];
}

bool UniqueFileList::Download(ResponseHolder* pHolder, const char* szName, ZStringBase& response)
{
    // The name becomes the request line's path: a line end in it would add header lines.
    for (const char* p = szName ? szName : ""; *p; ++p)
        if ((unsigned char)*p < 0x20)
            return false;
    for (unsigned i = 0; i < m_Servers.Size(); ++i) {
        if (m_pCancel && m_pCancel->IsCancelled())
            return false;
        if (HttpDownload(pHolder, m_Servers[i].GetData(), szName, response, m_pCancel) == HTTP_OK)
            return true;
    }
    return false;
}

bool UniqueFileList::DownloadToBuffer(ZMemoryBuffer& buffer, const char* szName, ZStringBase& response)
{
    ResponseHolder holder;
    if (!Download(&holder, szName, response))
        return false;
    return AppendBody(buffer, holder, szName);
}

bool UniqueFileList::DownloadToFile(const char* szLocalPath, const char* szName, ZStringBase& response)
{
    ResponseHolder holder;
    if (!Download(&holder, szName, response)) {
        LogLine(ZLogText("Download failed"));
        return false;
    }
    DWORD nError = 0;
    if (!WriteWhole(szLocalPath, holder.m_pData, holder.m_nSize, &nError)) {
        // A file that opened but took only part of the body is no download.
        if (nError)
            LogLine(ZLogText("Create file failed: %d", (int)nError));
        else
            LogLine(ZLogText("Write file failed: %s", szLocalPath));
        return false;
    }
    return true;
}

bool UniqueFileList::GetCachedFile(ZMemoryBuffer& buffer, const char* szCacheFolder, const char* szName,
                                   ZStringBase& response)
{
    if (!szName || !szName[0])
        return false;
    ZStringBuffer<256> problem;
    if (!CheckListedName(szName, kSyncCacheOwnFiles, kSyncCacheOwnFileCount, problem)) {
        LogLine(ZLogText("Refused list name for the cache: %s", problem.GetData()));
        return false;
    }
    ZStringBuffer<256> path;
    if (szCacheFolder && szCacheFolder[0]) {
        path.Assign(szCacheFolder);
        path.AppendChar('\\');
    }
    path.Append(szName);

    if (File::Exists(path.GetData())) {
        int64_t nSize = File::GetSize(path.GetData());
        size_t nRead = ReadFileToBuffer(path.GetData(), &buffer);
        return nSize >= 0 && (int64_t)nRead == nSize;
    }

    ResponseHolder holder;
    if (!Download(&holder, szName, response))
        return false;
    if (!AppendBody(buffer, holder, szName))
        return false;  // nothing cached either: the caller fails now and asks again later

    // The body goes to a side file first and takes the cached name only once it is all on
    // disk, so a cut write never passes for the list later.
    ZStringBuffer<256> partPath(path);
    partPath.Append(kPartSuffix);
    if (WriteWhole(partPath.GetData(), holder.m_pData, holder.m_nSize, nullptr)) {
        if (!File::Move(partPath.GetData(), path.GetData()))
            File::Delete(partPath.GetData());
    } else {
        File::Delete(partPath.GetData());
    }
    return true;
}

ZStringBuffer<16> UniqueFileList::FindUniqueFile(const char* szListId, const ZMemoryBuffer& rootList,
                                                 ZStringBase* pBundleName)
{
    ZXmlDocument document;
    // A list cut short for want of memory might lack the id or hold a part of its entry.
    if (!document.Parse((const char*)rootList.GetData(), (int)rootList.GetSize())) {
        LogLine(ZLogText("No memory to read the root list"));
        return ZStringBuffer<16>();
    }
    ZXmlElement* pRoot = ZXmlNodeList::Find(document.m_Elements, "uniquelists");
    if (!pRoot)
        return ZStringBuffer<16>();
    for (ZXmlElement* pList = ZXmlNodeList::First(pRoot->m_Children); pList; pList = pList->m_pNext) {
        if (pList->m_Name != "list")
            continue;
        ZXmlAttribute* pId = pList->FindAttribute("id");
        if (!pId || pId->Value() != szListId)
            continue;
        ZXmlAttribute* pFile = pList->FindAttribute("uniquefile");
        if (!pFile)
            continue;
        ZXmlAttribute* pBundle = pList->FindAttribute("uniquefilebundle");
        if (pBundleName && pBundle)
            pBundleName->AssignFrom(pBundle->Value());
        return ZStringBuffer<16>(pFile->Value());
    }
    return ZStringBuffer<16>();
}

ZStringBuffer<16> UniqueFileList::GetListUniqueName(const char* szListId, const char* szCacheFolder,
                                                    const char* szRootListName, ZStringBase& response,
                                                    ZStringBase* pBundleName)
{
    ZMemoryBuffer rootList;
    if (!GetCachedFile(rootList, szCacheFolder, szRootListName, response))
        return ZStringBuffer<16>();
    return FindUniqueFile(szListId, rootList, pBundleName);
}
