#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "proxy/PacedRelay.h"
#include "proxy/ProxyCounters.h"
#include "proxy/ProxyView.h"

class TIdTCPConnection;

namespace proxy {

// Carries one CONNECT tunnel: raw bytes both ways between a client and the server it asked for,
// none of them rewritten or shown.
//
// What the server sends is paced exactly like an answer (PacedRelay), on the run's own thread.
// What the client sends goes on as soon as its own pacing allows, on a second thread of the
// tunnel's own, so a pause of the other direction never holds up a handshake or a window update.
// The client's close is passed on as a close of our sending side; the tunnel ends when the server's
// close has been relayed (paced), when either side resets (the reset is passed on to the other),
// when the client has gone, or when the client has closed its side and nothing has moved either way
// for the idle limit. A tunnel whose two sides are open stays however long it is quiet, as a
// WebSocket's may be.
//
// Threads: the second thread uses only the two sockets, by number; the connection objects stay
// with the run's thread, which drops both sockets and waits for the second thread before the
// tunnel is gone.
class Tunnel {
 public:
  // download paces what goes to the client, upload what goes to the server.
  Tunnel(TIdTCPConnection& client, TIdTCPConnection& upstream, ProxyView& view,
         ProxyCounters& counters, Pacing download, Pacing upload, std::function<bool()> terminated,
         std::chrono::milliseconds idleLimit);
  ~Tunnel();
  Tunnel(const Tunnel&) = delete;
  Tunnel& operator=(const Tunnel&) = delete;

  // early: bytes the client sent right after its header block; they go first. True when the
  // server's close ended the tunnel, with all it sent relayed. Errors of the server connection
  // leave as exceptions.
  bool Run(std::string early);

 private:
  class Upload;

  TIdTCPConnection& client_;
  TIdTCPConnection& upstream_;
  ProxyView& view_;
  ProxyCounters& counters_;
  Pacing downloadPacing_;
  Pacing uploadPacing_;
  const std::function<bool()> terminated_;
  const std::chrono::milliseconds idleLimit_;
  std::unique_ptr<Upload> upload_;
};

}  // namespace proxy
