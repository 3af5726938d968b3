#include "launch/ivlsync/policyserver.h"

namespace
{
// The request is one short line: a client that has not sent it by then gets the answer anyway,
// so that an idle or trickling connection holds this one-at-a-time port only briefly.
const int kRequestDeadlineMs = 2500;
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
    connection.Close();
    return 0;
}
