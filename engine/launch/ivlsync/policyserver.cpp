#include "launch/ivlsync/policyserver.h"

int PolicyServer::HandleConnection(Socket& connection)
{
    m_pWindow->Log("%s", m_pWindow->GetLocalizedText("connected_policy"));
    connection.SetReceiveTimeout(10000);
    connection.SetSendTimeout(10000);
    // Whatever came (or nothing, after the time-out), the answer is the same.
    ZStringBuffer<256> sRequest;
    // The 10 s hold for the whole request, not per byte: this port serves one client at a time.
    ReadUntil(connection, sRequest, ">", 10000);
    connection.Send(g_szFlashPolicy, kFlashPolicySize, 0);
    connection.Close();
    return 0;
}
