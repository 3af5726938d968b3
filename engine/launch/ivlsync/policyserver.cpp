#include "launch/ivlsync/policyserver.h"

namespace
{
// The request is one short line: a client that has not sent it by then gets the answer anyway,
// so that an idle or trickling connection holds this one-at-a-time port only briefly.
const int kRequestDeadlineMs = 2500;
// After the answer: how long the client may take to close its side, and how much it may still
// send meanwhile.
const int kCloseDeadlineMs = 1000;
const int kMaxTrailingBytes = 4096;

// Reads and drops what the client still sends (the request's NUL at least) until it closes its
// side, within the bounds above. A socket closed with unread bytes is reset, and a reset may
// make the client drop the answer before it has read it.
void DrainUntilClosed(Socket& connection)
{
    char acScrap[512];
    int nLeft = kMaxTrailingBytes;
    const DWORD nStart = GetTickCount();
    while (nLeft > 0) {
        DWORD nElapsed = GetTickCount() - nStart;
        if (nElapsed >= (DWORD)kCloseDeadlineMs)
            return;
        int nWait = kCloseDeadlineMs - (int)nElapsed;
        if (connection.WaitReadable(nWait / 1000, nWait % 1000) <= 0)
            return;
        int n = connection.Receive(acScrap, (int)sizeof(acScrap), 0);
        if (n <= 0)
            return;
        nLeft -= n;
    }
}
}

int PolicyServer::HandleConnection(Socket& connection)
{
    m_pWindow->Log("%s", m_pWindow->GetLocalizedText("connected_policy"));
    connection.SetReceiveTimeout(kRequestDeadlineMs);
    connection.SetSendTimeout(kRequestDeadlineMs);
    // Whatever came (or nothing, after the deadline), the answer is the same.
    ZStringBuffer<256> sRequest;
    ReadUntil(connection, sRequest, ">", kRequestDeadlineMs);
    connection.Send(g_szFlashPolicy, kFlashPolicySize, 0);
    // The client sees the answer and then the end of the stream, never a reset.
    connection.ShutdownSend();
    DrainUntilClosed(connection);
    connection.Close();
    return 0;
}
