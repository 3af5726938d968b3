// Base of every session of the command server: the work that a command started, running on
// threads of its own and reporting on the command's connection with the command's session id.
#pragma once
#include <atomic>
#include <cstdint>
#include "common/containers/zstringbuffer.h"
#include "common/system/socket.h"
#include "common/system/zthread.h"
#include "launch/ivlsync/ivlsyncwindowbase.h"

class FlashServer;

// How a session's work ended: the end reply that the session base sends for it, or none when
// the work sent it already (a cancel that replied at once).
struct SessionEnd
{
    SessionEnd() : m_nCode(0), m_bHasText(false) {}
    void Set(int nCode, const char* szText = nullptr)
    {
        m_nCode = nCode;
        m_bHasText = szText != nullptr;
        m_sText.Assign(szText ? szText : "");
    }

    int m_nCode;  // 0: no end reply
    bool m_bHasText;
    ZStringBuffer<256> m_sText;
};

class Session : public ILiveObject
{
public:
    // Every kind is made with (session id, connection, window, command server).
    Session(int nSessionId, const Socket& connection, ZIvlSync* pWindow, FlashServer* pServer);
    virtual ~Session();

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Slot 0: sets the cancel flag and runs the kind's own stop step; with bWait returns once
    // the work thread has ended. Sends nothing itself unless the kind's stop step does. A
    // caller that waits must not hold the session lock: the session's last step takes it.
    void Cancel(bool bWait) override;
    int IsSession() override { return 1; }
    // 0 download (both kinds), 1 run game, 2 ping, 3 verify.
    virtual int GetKind() = 0;

    enum
    {
        KIND_DOWNLOAD = 0,
        KIND_RUNGAME = 1,
        KIND_PING = 2,
        KIND_VERIFY = 3,
    };

    int GetSessionId() const { return m_nSessionId; }
    // One line in the program log; the formatted text is not formatted again.
    void Log(const char* szFormat, ...) ZPRINTF_FORMAT(2, 3);
    // A message with this session's id on its connection.
    void Reply(int nCode, const char* szText = nullptr);

protected:
    // The work thread's body; the base then sends the end reply it set, takes the session out
    // of the command server's table and deletes it, on the same thread.
    virtual void Run(SessionEnd& end) = 0;
    // Runs in Cancel right after the flag is set, before any waiting.
    virtual void OnCancel() {}
    // Makes the work thread, suspended until StartWorkThread, so that Cancel never meets a
    // half-made handle; a null name leaves the thread unnamed. False when it could not be made.
    bool CreateWorkThread(const char* szName);
    void StartWorkThread() { m_WorkThread.Resume(); }

    int32_t m_nSessionId;
    Socket m_Socket;
    ZIvlSync* m_pWindow;
    FlashServer* m_pServer;
    ZThread m_WorkThread;
    // Written by the cancelling thread, polled by the session's threads.
    std::atomic<bool> m_bCancel;

private:
    static int32_t WorkThreadMain(void* pArgument);

    friend class FlashServer;
};
