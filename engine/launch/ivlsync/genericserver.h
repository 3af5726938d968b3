// The sync program's TCP listener: accepts on one host and port on a thread of its own and
// serves each connection through HandleConnection, on the listener thread or on a thread per
// connection. Shows itself and its connections as lines in the program window.
#pragma once
#include <cstdint>
#include "common/containers/zlist.h"
#include "common/containers/zstringbuffer.h"
#include "common/system/socket.h"
#include "common/system/zlock.h"
#include "common/system/zthread.h"
#include "launch/ivlsync/ivlsyncwindowbase.h"

class GenericServer;

struct ServerStartInfo
{
    GenericServer* m_pServer;
    int32_t m_nPort;
    ZStringBuffer<16> m_sHost;
    bool m_bThreadPerConnection;
};

struct ServerConnection
{
    void CopyStartInfo(const ServerStartInfo& info);

    ServerStartInfo m_Info;
    Socket m_Socket;
};

class GenericServer : public ILiveObject
{
public:
    explicit GenericServer(ZIvlSync* pWindow);
    // Stops nothing: Stop with waiting comes first.
    virtual ~GenericServer();

    GenericServer(const GenericServer&) = delete;
    GenericServer& operator=(const GenericServer&) = delete;

    // False when the server was started before.
    bool Start(const char* szHost, int nPort, bool bThreadPerConnection);
    // Closes the listening socket and every connection; with bWait returns once the listener
    // thread and every connection thread have ended.
    virtual void Stop(bool bWait);
    // The window stops live objects through Cancel.
    void Cancel(bool bWait) override { Stop(bWait); }
    int IsSession() override { return 0; }
    // Serves one connection; 0 lets the server go on listening.
    virtual int HandleConnection(Socket& connection) = 0;

    // A socket added after Stop is closed at once, so no connection outlives a stop.
    void AddConnection(const Socket& socket);
    void RemoveConnection(const Socket& socket);
    void AddThread(const ZThread& thread);
    void RemoveThread(const ZThread& thread);

    // Socket handles count their users without atomics, so every copy and release of a
    // handle that other threads share goes through these (under the connection lock).
    void ShareSocket(Socket& target, const Socket& source);
    void ReleaseSocket(Socket& target);

protected:
    // How many connections may wait to be accepted.
    virtual int GetListenBacklog() const { return 0; }

    ZIvlSync* m_pWindow;

private:
    static int32_t ListenThreadMain(void* pArgument);
    static int32_t ConnectionThreadMain(void* pArgument);
    int AcceptLoop(ServerStartInfo* pInfo);
    int ServeConnection(Socket& connection, ServerConnection* pConnection);
    bool IsStopping();

    ZThread m_ListenerThread;
    ZList<Socket> m_Connections;
    ZList<ZThread> m_Threads;
    ZCriticalSection m_ConnectionLock;
    ZCriticalSection m_ThreadLock;
    ZEvent m_StopEvent;
    HWND m_hServerLine;
};

// The policy text with its line feed and NUL: 120 bytes on the wire.
extern const char g_szFlashPolicy[];
const int kFlashPolicySize = 120;

// Reads byte by byte up to one of the delimiters or a NUL; the ending byte is kept in the text.
// An empty delimiter set reads up to a NUL. False when the connection fails first, or when the
// text reaches kMaxReadLength bytes without an ending byte (a peer must not fill our memory).
// With nDeadlineMs above 0 the whole read also ends (false) after that long, however the
// bytes trickle in: a receive time-out alone restarts with every byte.
const int kMaxReadLength = 64 * 1024;
bool ReadUntil(Socket& connection, ZStringBase& text, const char* szDelimiters, int nDeadlineMs = 0);
