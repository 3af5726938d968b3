// Answers Adobe Flash's socket policy request on its own port and closes the connection.
#pragma once
#include "launch/ivlsync/genericserver.h"

class PolicyServer : public GenericServer
{
public:
    explicit PolicyServer(ZIvlSync* pWindow) : GenericServer(pWindow) {}
    int HandleConnection(Socket& connection) override;

protected:
    // Clients wait in the queue while one is served, instead of being turned away.
    int GetListenBacklog() const override { return 8; }
};
