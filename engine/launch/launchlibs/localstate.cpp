// The installed state of a target folder: "currentfiles.txt" in its sync cache, the ".1" form
// written before it replaces it, and the journal of files stored since the last completed run.
#include "common/system/zwin.h"

#include "launch/launchlibs/downloader.h"

#include "common/containers/zstr.h"
#include "common/stream/streams.h"
#include "common/system/file.h"
#include "common/system/path.h"

namespace
{
// A file output that remembers whether every write and the flush reached the system: the
// table writer does not look at results, and a short state file must never replace a whole one.
class CheckedFileOutput : public IOutputStream
{
public:
    explicit CheckedFileOutput(const char* szPath)
        : m_File(File::Open(szPath, File::MODE_WRITE | File::MODE_CREATE)), m_bFailed(!m_File.IsOpen())
    {
    }

    bool IsOpen() override { return m_File.IsOpen(); }
    void Flush() override
    {
        if (!m_File.Flush())
            m_bFailed = true;
    }
    bool Write(const void* pData, int nCount) override
    {
        if (nCount > 0 && m_File.Write(pData, (size_t)nCount) != (size_t)nCount)
            m_bFailed = true;
        return !m_bFailed;
    }
    bool Close()
    {
        if (m_File.IsOpen() && fflush(m_File.GetStream()) != 0)
            m_bFailed = true;
        m_File.Close();
        return !m_bFailed;
    }

private:
    File m_File;
    bool m_bFailed;
};
}

bool Downloader::WriteStateFile(const char* szPath)
{
    CheckedFileOutput out(szPath);
    if (!out.IsOpen())
        return false;
    m_LocalTable.Write(out);
    return out.Close();
}

bool Downloader::LoadLocalState(bool bQuickCheck)
{
    m_StatePath = GetSyncCacheDir();
    m_StatePath.Append("/currentfiles.txt");
    ZStringBuffer<256> backup(m_StatePath);
    backup.Append(".1");

    const char* szSource = File::Exists(m_StatePath.GetData()) ? m_StatePath.GetData() : backup.GetData();
    {
        ZFileInputStream stream(szSource);
        m_LocalTable.Load(stream, m_Target.GetData(), false, bQuickCheck, false);
    }

    if (ReplayJournal(m_LocalTable)) {
        // The journal is folded into the state the same way a run ends (".1", then replace),
        // and only deleted once that worked: otherwise its records would be lost.
        if (!WriteStateFile(backup.GetData()))
            return true;
        if (File::Exists(m_StatePath.GetData()) && !File::Delete(m_StatePath.GetData()))
            return true;
        if (!File::Move(backup.GetData(), m_StatePath.GetData()))
            return true;
    }
    DeleteJournal();
    return true;
}

ZStringBuffer<256> Downloader::GetJournalPath() const
{
    ZStringBuffer<256> path(m_StatePath);
    path.Append(".journal");
    return path;
}

bool Downloader::ReplayJournal(ZFileTable& table)
{
    ZStringBuffer<256> path = GetJournalPath();
    if (!File::Exists(path.GetData()))
        return false;
    ZFileInputStream stream(path.GetData());
    table.Load(stream, nullptr, false, false, false);
    return true;
}

void Downloader::DeleteJournal()
{
    File::Delete(GetJournalPath().GetData());
}

void Downloader::AppendJournal(const ZFileRecord& record)
{
    ZStringBuffer<16> line = record.ToText();
    line.Append("\r\n");
    ZStringBuffer<256> path = GetJournalPath();
    ZLockGuard guard(m_JournalLock);
    AppendBufferToFile(path.GetData(), line.GetData(), (size_t)line.GetLength());
}

bool Downloader::IsCurrent(const ZFileRecord& remote)
{
    const ZFileRecord* pLocal = m_LocalTable.Find(remote.m_Name.GetData());
    return pLocal && pLocal->m_nFlag1 && ZStrCompare(pLocal->m_Text.GetData(), remote.m_Text.GetData()) == 0 &&
        pLocal->m_nFlag2;
}

int Downloader::SelectFiles(ZFileTable& local, ZFileTable& remote)
{
    m_nTransferBytesTotal = 0;
    int nCount = 0;
    for (ZFileTable::Node* p = remote.First(); p; p = ZFileTable::Next(p)) {
        const ZFileRecord& record = *p->m_Value;
        if (IsSkippedPath(record.m_Name.GetData()))
            continue;
        const ZFileRecord* pLocal = local.Find(record.m_Name.GetData());
        if (pLocal && pLocal->m_nFlag1 && ZStrCompare(pLocal->m_Text.GetData(), record.m_Text.GetData()) == 0)
            continue;
        ++nCount;
        m_nTransferBytesTotal += TransferSize(record);
    }
    return nCount;
}

uint64_t Downloader::TransferSize(const ZFileRecord& record)
{
    return record.m_nSize > 0 ? (uint64_t)record.m_nSize : (uint64_t)record.m_nNumber;
}

bool Downloader::IsSkippedPath(const char* szName)
{
    return ZStrIIndexOf(szName, "_servers/website") >= 0;
}
