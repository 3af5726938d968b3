// Base of every session of the command server: the work that a command started, running on
// threads of its own and reporting on the command's connection with the command's session id.
#pragma once
#include <cstdint>
#include "common/system/socket.h"
#include "launch/ivlsync/ivlsyncwindowbase.h"

class FlashServer;

class Session : public ILiveObject
{
public:
    // Every kind is made with (session id, connection, window, command server).
    Session(int nSessionId, const Socket& connection, ZIvlSync* pWindow, FlashServer* pServer);
    virtual ~Session();

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Slot 0: ask the session to stop; with bWait return once its threads have ended.
    void Cancel(bool bWait) override = 0;
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
    int32_t m_nSessionId;
    Socket m_Socket;
    ZIvlSync* m_pWindow;

    friend class FlashServer;
};
