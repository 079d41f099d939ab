#pragma once

#include "net/IdTCPConnection.h"

class TIdTCPServer;

// A server's connection to one client. It has no component owner: the client's peer thread owns
// it and frees it when the client's run is over.
class TIdTCPServerConnection : public TIdTCPConnection {
 public:
  explicit TIdTCPServerConnection(TIdTCPServer* AServer)
      : TIdTCPConnection(nullptr), server_(AServer) {}

  TIdTCPServer* Server() const { return server_; }

 private:
  TIdTCPServer* const server_;
};
