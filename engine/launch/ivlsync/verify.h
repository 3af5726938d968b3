// Checks an installed distribution against its "synccache/currentfiles.txt": every listed file
// must exist with its SHA-256, and an image pack needs its repacked companion. Failed records
// are dropped and the table written back, so the next download fetches those files again.
#pragma once
#include <atomic>
#include <cstdint>
#include "common/containers/zstringbuffer.h"
#include "common/system/zlock.h"
#include "common/system/zthread.h"
#include "launch/ivlsync/session.h"

class ZFileRecord;
class ZFileTable;
class ZMemoryBuffer;

class IVerifyListener
{
public:
    virtual void Log(const char* szText) = 0;
    virtual void Error(const char* szText) = 0;
    // Polled before each file.
    virtual bool IsCancelled() = 0;
    // After each file.
    virtual void Progress(float fFraction, const char* szText) = 0;

protected:
    ~IVerifyListener() {}
};

struct VerifyContext
{
    explicit VerifyContext(IVerifyListener* pListener) : m_pListener(pListener) {}

    IVerifyListener* m_pListener;
    ZStringBuffer<16> m_sFolder;  // ends with a separator once VerifyFiles has set it
};

// True when the table was read and every file passed (or the check was cancelled).
bool VerifyFiles(VerifyContext& context, const char* szFolder);
// Removes the failed records; true when none failed (or on cancel).
bool VerifyFileTable(VerifyContext& context, ZFileTable& table);
// pScratch: the block the file is read into (the table's loop passes one for every file).
bool VerifyFile(VerifyContext& context, const char* szName, const ZFileRecord& record,
                ZMemoryBuffer* pScratch = nullptr);
// "a/bmp(1)/pack.bin" gives "bmp"; false for anything that is not a pack in a format folder.
bool GetPackFormat(const char* szName, ZStringBase& sFormat);
// Packs of "bmp", "tga" and "hdr" need their "repack.bin".
bool NeedsRepackFile(const char* szName);

class VerifySession;

class VerifySessionListener final : public IVerifyListener
{
public:
    explicit VerifySessionListener(VerifySession* pSession);
    void Log(const char* szText) override;
    void Error(const char* szText) override;
    bool IsCancelled() override { return m_bCancel; }
    // Sends at most about one reply per hundredth; none once cancelled.
    void Progress(float fFraction, const char* szText) override;
    // Sets the flag and sends STATUS_STOPPED, so no progress can follow the stop.
    void CancelAndReply();
    const ZStringBase& GetLastError() const { return m_sLastError; }

private:
    VerifySession* m_pSession;
    float m_fLastProgress;
    std::atomic<bool> m_bCancel;
    ZCriticalSection m_ReplyLock;
    ZStringBuffer<16> m_sLastError;
};

class VerifySession : public Session
{
public:
    VerifySession(int nSessionId, const Socket& connection, ZIvlSync* pWindow, FlashServer* pServer);
    ~VerifySession() override;

    bool Start(const char* szDistribution, const char* szInstalledVersion);
    int GetKind() override { return KIND_VERIFY; }

protected:
    void Run(SessionEnd& end) override;
    // The listener's flag and STATUS_STOPPED, so that no progress follows the stop.
    void OnCancel() override;

private:
    ZStringBuffer<16> m_sDistribution;
    ZStringBuffer<16> m_sInstalledVersion;
    VerifySessionListener* m_pListener;
    VerifyContext* m_pContext;
};
